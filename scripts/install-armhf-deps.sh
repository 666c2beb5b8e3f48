#!/usr/bin/env bash
# Installs what cross-building tavo for armhf boards (Debian 12) and running its
# tests under qemu-user needs: the cross compiler and the emulator on this machine,
# and the armhf libraries in a root of their own (scripts/armhf-sysroot.sh). Only
# what is missing is installed, so a second run costs nothing and needs no network.
#
#   bash scripts/install-armhf-deps.sh SYSROOT
#
# apt's own output goes to a log file, named when something fails.
set -euo pipefail

SYSROOT=${1:?usage: install-armhf-deps.sh SYSROOT}

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

. "$(dirname "${BASH_SOURCE[0]}")/apt-common.sh"

missing=()
for p in "${HOST_PACKAGES[@]}"; do
    installed "$p" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    apt_begin install-armhf-deps
    echo "Installing ${#missing[@]} missing packages (log: $LOG): ${missing[*]}"
    apt_update
    apt_install "${missing[@]}"
fi

bash "$(dirname "${BASH_SOURCE[0]}")/armhf-sysroot.sh" "$SYSROOT"
