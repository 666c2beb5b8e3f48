#!/usr/bin/env bash
# Installs what cross-building tavo for armhf boards (Debian 12) and running its
# tests under qemu-user needs: the cross compiler, the emulator and the armhf
# libraries by multiarch. Only what is missing is installed, so a second run
# costs nothing and needs no network.
#
#   bash scripts/install-armhf-deps.sh
#
# apt's own output goes to a log file, named when something fails.
set -euo pipefail

ARCH=armhf

# Host tools: the cross compiler and the emulator that runs the built programs.
HOST_PACKAGES=(
    crossbuild-essential-armhf cmake pkg-config
    qemu-user-static
    # Registers qemu-arm with the kernel where binfmt_misc is mounted by systemd.
    binfmt-support
    # The tests start a broker, make certificates, and read sequences with zstd;
    # these run natively (the suite starts them as host programs).
    mosquitto openssl zstd python3 xvfb
    # make package in build-armhf: dpkg-shlibdeps and file(1).
    dpkg-dev file
)

# The libraries tavo links, as armhf -dev packages (CMakeLists.txt finds them through
# pkg-config and CMake's own modules); benchmarks and fuzz harnesses stay off here.
TARGET_PACKAGES=(
    libzstd-dev zlib1g-dev libjsoncpp-dev
    libmicrohttpd-dev libgpiod-dev libmosquitto-dev
    libx11-dev libpng-dev
    libgtest-dev libgmock-dev
    # The schedule tests preload faketime's library into tavod: the armhf one.
    libfaketime
)

. "$(dirname "${BASH_SOURCE[0]}")/apt-common.sh"

missing=()
for p in "${HOST_PACKAGES[@]}"; do
    installed "$p" || missing+=("$p")
done
for p in "${TARGET_PACKAGES[@]}"; do
    installed "$p:$ARCH" || missing+=("$p:$ARCH")
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

apt_begin install-armhf-deps

echo "Installing ${#missing[@]} missing packages (log: $LOG): ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx "$ARCH"; then
    echo "  adding the $ARCH architecture"
    run_logged $SUDO dpkg --add-architecture "$ARCH"
fi
apt_update
apt_install "${missing[@]}"
