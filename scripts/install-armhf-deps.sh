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

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi

LOG=${TMPDIR:-/tmp}/tavo-install-armhf-deps.log
: >"$LOG"
run_logged() {
    if ! "$@" >>"$LOG" 2>&1; then
        tail -n 20 "$LOG" >&2
        echo "install-armhf-deps: '$*' failed; the whole log is in $LOG" >&2
        exit 1
    fi
}

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

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

echo "Installing ${#missing[@]} missing packages (log: $LOG): ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx "$ARCH"; then
    echo "  adding the $ARCH architecture"
    run_logged $SUDO dpkg --add-architecture "$ARCH"
fi
echo "  updating the package lists"
# A mirror caught mid-sync fails one list (the armhf security one, seen); what is
# missing may still come from the others, and the install below says if not.
if ! $SUDO apt-get update -q >>"$LOG" 2>&1; then
    grep -E '^(E|W):' "$LOG" | sed 's/^/    /' >&2
    echo "install-armhf-deps: apt-get update failed for some lists (log: $LOG); installing from the others" >&2
fi
echo "  downloading and installing"
# The broker package would start a service on the machine; the tests start their own.
POLICY=
if [ -z "$SUDO" ] && [ ! -e /usr/sbin/policy-rc.d ]; then
    POLICY=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' >"$POLICY"
    chmod 755 "$POLICY"
    trap 'rm -f "$POLICY"' EXIT
fi
run_logged env DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
echo "  done"
