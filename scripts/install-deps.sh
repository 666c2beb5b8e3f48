#!/usr/bin/env bash
# Installs the Debian 12 packages that the build, the tests and the benchmarks need.
# Only what is missing is installed, so a second run costs nothing and needs no network.
set -euo pipefail

PACKAGES=(
    build-essential cmake pkg-config
    libzstd-dev zlib1g-dev libjsoncpp-dev
    libmicrohttpd-dev libgpiod-dev libmosquitto-dev
    # The window preview output draws with Xlib; tavod serves overlay pictures as PNG.
    libx11-dev libpng-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev clang-format
    zstd python3
    # Test only: the MQTT tests start a real broker, with TLS certificates they make with openssl.
    mosquitto openssl
    # make package: dpkg-shlibdeps finds the packages of the libraries tavo links.
    dpkg-dev
    # Test only: the service unit is checked with systemd-analyze verify.
    systemd
    # Test only: network namespaces and veth pairs for the receiver-card output.
    iproute2
    # Test only: a real X server for the window preview output.
    xvfb
    # Test only: the preview page is checked in headless Chromium (large, about 350 MB installed).
    chromium
    # Test only: peers for the E1.31 and Art-Net outputs: olad receives what tavod sends,
    # tshark decodes it.
    ola tshark
)

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi

echo "Installing missing packages: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
