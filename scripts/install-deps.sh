#!/usr/bin/env bash
# Installs the Debian 12 packages that tavo needs. Only what is missing is installed,
# so a second run costs nothing and needs no network.
#
#   bash scripts/install-deps.sh run     what building and running tavod need (make run)
#   bash scripts/install-deps.sh all     that and what the tests and benchmarks need (default)
#
# apt's own output goes to a log file, named when something fails.
set -euo pipefail

SET=${1:-all}

# Building and running: the compiler, the libraries tavod links.
RUN_PACKAGES=(
    build-essential cmake pkg-config
    libzstd-dev zlib1g-dev libjsoncpp-dev
    libmicrohttpd-dev libgpiod-dev libmosquitto-dev
    # The window preview output draws with Xlib; tavod serves overlay pictures as PNG.
    libx11-dev libpng-dev
)

# The tests, benchmarks and fuzz harnesses.
TEST_PACKAGES=(
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev clang-format
    zstd python3
    # The MQTT tests start a real broker, with TLS certificates they make with openssl.
    mosquitto openssl
    # make package: dpkg-shlibdeps finds the packages of the libraries tavo links, and
    # needs file(1) to tell programs from other files.
    dpkg-dev file
    # The manual page is checked with man(1), as users read it.
    man-db
    # The service unit is checked with systemd-analyze verify.
    systemd
    # Network namespaces and veth pairs for the receiver-card and network outputs.
    iproute2
    # A real X server for the window preview output.
    xvfb
    # The preview page is checked in headless Chromium (large, about 350 MB installed).
    chromium
    # The schedule is tested through the daemon with its clock shifted by faketime.
    faketime
    # Peers for the E1.31 and Art-Net outputs and the bridge: olad sends and receives,
    # tshark decodes.
    ola tshark
)

case "$SET" in
    run) PACKAGES=("${RUN_PACKAGES[@]}") ;;
    all) PACKAGES=("${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
    *)
        echo "install-deps: unknown set '$SET' (run or all)" >&2
        exit 2
        ;;
esac

. "$(dirname "${BASH_SOURCE[0]}")/apt-common.sh"

missing=()
for p in "${PACKAGES[@]}"; do
    installed "$p" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

apt_begin install-deps
echo "Installing ${#missing[@]} missing packages (log: $LOG): ${missing[*]}"
apt_update
apt_install "${missing[@]}"
