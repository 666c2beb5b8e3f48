#!/usr/bin/env bash
# Installs a tavo .deb with apt on a fresh Debian 12 root, as a user with a new board
# would, and checks that it runs: a minimal root made with debootstrap (kept in ROOT
# for the next run, never changed: the install happens in an overlay over it).
#
#   bash scripts/deb-fresh-root.sh build/package/tavo_*.deb [ROOT]
#
# ROOT defaults to /var/tmp/tavo-deb12-root. Needs root, debootstrap and the network
# to Debian's package archive (MIRROR=URL picks another archive), so it is not part
# of `make test`; scripts/deb-scratch-root.sh is its offline cousin that is.
set -euo pipefail

DEB=$(readlink -f "$1")
ROOT=$(readlink -f "${2:-/var/tmp/tavo-deb12-root}")
if [ "$(id -u)" -ne 0 ]; then
    echo "deb-fresh-root: needs root"
    exit 1
fi
if [ ! -f "$ROOT/etc/debian_version" ]; then
    command -v debootstrap >/dev/null || {
        echo "deb-fresh-root: apt-get install debootstrap first"
        exit 1
    }
    echo "Making a fresh Debian 12 root in $ROOT"
    debootstrap --variant=minbase bookworm "$ROOT" ${MIRROR:+"$MIRROR"}
fi
WORK=$(mktemp -d /tmp/tavo-fresh-root.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/upper/etc" "$WORK/work" "$WORK/root"
cp "$DEB" "$WORK/upper/tavo.deb"
cp /etc/resolv.conf "$WORK/upper/etc/resolv.conf"

exec unshare --mount --propagation private bash -s "$WORK" "$ROOT" <<'INNER'
set -euo pipefail
WORK=$1
LOWER=$2
ROOT=$WORK/root
mount -t overlay overlay -o "lowerdir=$LOWER,upperdir=$WORK/upper,workdir=$WORK/work" "$ROOT"
mount -t proc proc "$ROOT/proc"
mount --rbind /dev "$ROOT/dev"
mount -t tmpfs tmpfs "$ROOT/run"
mount -t tmpfs tmpfs "$ROOT/tmp"

failures=0
check() {
    local what=$1
    shift
    if "$@" >"$WORK/out" 2>&1; then
        echo "ok: $what"
    else
        echo "FAILED: $what"
        sed 's/^/    /' "$WORK/out"
        failures=$((failures + 1))
    fi
}
in_root() { chroot "$ROOT" "$@"; }

echo "Debian $(cat "$ROOT/etc/debian_version"), $(in_root dpkg-query -W -f='${binary:Package}\n' | wc -l) packages before"
check "apt-get update" in_root apt-get update
check "apt install ./tavo_*.deb" in_root sh -c "cd / && DEBIAN_FRONTEND=noninteractive apt-get install -y ./tavo.deb"
sed 's/^/    /' "$WORK/out" | grep -E "^    (The following NEW|  )" | head -20
check "tavod --version runs" sh -c "chroot '$ROOT' tavod --version | grep -qx 'tavod [0-9.]*'"
check "the plug-ins are found without options" sh -c "chroot '$ROOT' tavod --list-outputs | grep -qx CustomUDP"
in_root tavod --list-outputs | sed 's/^/    output type: /'
check "the tavo user exists, in the gpio, spi and i2c groups" \
    sh -c "chroot '$ROOT' id -nG tavo | tr ' ' '\n' | sort | tr '\n' ' ' | grep -qx 'gpio i2c spi tavo '"
check "the media folder belongs to tavo" \
    sh -c "[ \"\$(chroot '$ROOT' stat -c %U:%G /var/lib/tavo /var/lib/tavo/config /var/lib/tavo/sequences | sort -u)\" = tavo:tavo ]"
check "tavo checks its media folder" in_root runuser -u tavo -- tavod --media-dir /var/lib/tavo --check-config
check "a show made with lcsf plays as tavo" in_root runuser -u tavo -- sh -c \
    "lcsf create /var/lib/tavo/sequences/demo.lcsf --channels 90 --frames 20 --step 25 --pattern rainbow &&
     tavod --media-dir /var/lib/tavo --http-port 0 --quiet play demo.lcsf"
check "the unit and udev rules are in place" test -f "$ROOT/usr/lib/systemd/system/tavod.service" -a \
    -f "$ROOT/usr/lib/udev/rules.d/60-tavo.rules"
check "the manual is there" test -f "$ROOT/usr/share/man/man8/tavod.8"
if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
INNER
