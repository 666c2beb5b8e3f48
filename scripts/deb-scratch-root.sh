#!/usr/bin/env bash
# Installs a tavo .deb with apt into a scratch root and checks what the install did,
# without touching this machine and without the network: the root is this machine's
# own file system seen through an overlay whose changes vanish afterwards, so the
# libraries tavo depends on are already there.
#
#   bash scripts/deb-scratch-root.sh build/package/tavo_*.deb
#
# Needs root (mount namespaces and overlayfs). Exit status 0 when every check
# passes, 1 when one fails (each failure is printed), 77 when the machine cannot
# make the scratch root.
set -euo pipefail

DEB=$(readlink -f "$1")
if [ "$(id -u)" -ne 0 ]; then
    echo "deb-scratch-root: needs root for the overlay"
    exit 77
fi
# The scratch root is this machine's own: apt there installs only what its dpkg
# knows the architecture of (a board's package built here is for the board).
ARCH=$(dpkg-deb -f "$DEB" Architecture)
if [ "$ARCH" != all ] && [ "$ARCH" != "$(dpkg --print-architecture)" ] &&
    ! dpkg --print-foreign-architectures | grep -qx "$ARCH"; then
    echo "deb-scratch-root: the package is for $ARCH, which this machine's dpkg does not install"
    exit 77
fi
WORK=$(mktemp -d /tmp/tavo-scratch-root.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/upper" "$WORK/work" "$WORK/root"
cp "$DEB" "$WORK/upper/tavo.deb"

# Everything below runs in a mount namespace of its own: the mounts end with it.
exec unshare --mount --propagation private bash -s "$WORK" <<'INNER'
set -euo pipefail
WORK=$1
ROOT=$WORK/root
if ! mount -t overlay overlay -o "lowerdir=/,upperdir=$WORK/upper,workdir=$WORK/work" "$ROOT" 2>/dev/null; then
    echo "deb-scratch-root: overlayfs cannot be mounted here"
    exit 77
fi
mount -t proc proc "$ROOT/proc"
mount --rbind /dev "$ROOT/dev"
# No service manager of this machine may be reached from inside: /run is empty.
mount -t tmpfs tmpfs "$ROOT/run"
mount -t tmpfs tmpfs "$ROOT/tmp"
printf '#!/bin/sh\nexit 101\n' > "$ROOT/usr/sbin/policy-rc.d"
chmod 755 "$ROOT/usr/sbin/policy-rc.d"

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

# A first install on this root: whatever an earlier one left is gone.
if in_root dpkg-query -W tavo >/dev/null 2>&1; then
    in_root dpkg --purge tavo >/dev/null
fi
if in_root id tavo >/dev/null 2>&1; then
    in_root userdel tavo
fi
rm -rf "$ROOT/var/lib/tavo"
check "apt installs the package (the libraries it needs are here already)" \
    in_root sh -c "cd / && DEBIAN_FRONTEND=noninteractive apt-get install -y -o Debug::NoLocking=1 ./tavo.deb"
check "tavod --version runs" sh -c "chroot '$ROOT' tavod --version | grep -qx 'tavod [0-9.]*'"
check "the plug-ins are found without options" \
    sh -c "chroot '$ROOT' tavod --list-outputs | grep -qx CustomUDP"
check "lcsf runs" in_root lcsf help info
check "the tavo user exists, in the gpio, spi and i2c groups" \
    sh -c "chroot '$ROOT' id -nG tavo | tr ' ' '\n' | sort | tr '\n' ' ' | grep -qx 'gpio i2c spi tavo '"
check "the media folder belongs to tavo" \
    sh -c "[ \"\$(chroot '$ROOT' stat -c %U:%G /var/lib/tavo /var/lib/tavo/config /var/lib/tavo/sequences | sort -u)\" = tavo:tavo ]"
check "tavo checks its empty media folder as the tavo user" \
    in_root runuser -u tavo -- tavod --media-dir /var/lib/tavo --check-config
check "the service is enabled" test -L "$ROOT/etc/systemd/system/multi-user.target.wants/tavod.service"
check "the installed unit verifies" in_root systemd-analyze verify /usr/lib/systemd/system/tavod.service
check "the unit runs the installed tavod" grep -qx 'ExecStart=/usr/bin/tavod --media-dir /var/lib/tavo --quiet run' \
    "$ROOT/usr/lib/systemd/system/tavod.service"
check "apt removes it" in_root env DEBIAN_FRONTEND=noninteractive apt-get remove -y -o Debug::NoLocking=1 tavo
check "the programs are gone" test ! -e "$ROOT/usr/bin/tavod"
check "the shows stay" test -d "$ROOT/var/lib/tavo/sequences"
if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
INNER
