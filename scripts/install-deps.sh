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

LOG=${TMPDIR:-/tmp}/tavo-install-deps.log
: >"$LOG"
run_logged() {
    if ! "$@" >>"$LOG" 2>&1; then
        tail -n 20 "$LOG" >&2
        echo "install-deps: '$*' failed; the whole log is in $LOG" >&2
        exit 1
    fi
}

echo "Installing ${#missing[@]} missing packages (log: $LOG): ${missing[*]}"
echo "  updating the package lists"
run_logged $SUDO apt-get update -q
echo "  downloading and installing"
# Services that come with test peers (the MQTT broker) are started by the tests
# themselves; a policy layer keeps apt from starting them on the machine.
POLICY=
if [ -z "$SUDO" ] && [ ! -e /usr/sbin/policy-rc.d ]; then
    POLICY=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' >"$POLICY"
    chmod 755 "$POLICY"
    trap 'rm -f "$POLICY"' EXIT
fi
run_logged env DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
echo "  done"
