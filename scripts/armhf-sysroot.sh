#!/usr/bin/env bash
# Makes a Debian 12 armhf root holding the libraries tavo links, for the cross build
# (the compiler's --sysroot), for qemu-user running the built programs (its -L
# prefix: the loader and every library come from here) and for dpkg-shlibdeps when
# the armhf package is made (a dpkg database of its own below var/lib/dpkg).
#
#   bash scripts/armhf-sysroot.sh DIR
#
# The packages are downloaded with apt into DIR/apt, with lists and state of their
# own, and unpacked: the build machine's dpkg is never touched, so this works
# whatever versions its own packages have (multiarch needs each armhf library at the
# very version of its amd64 twin, which a mirror's lagging armhf index can prevent).
# Runs again only when the package list changes; no network is needed then.
set -euo pipefail

ROOT=${1:?usage: armhf-sysroot.sh DIR}
ARCH=armhf
TRIPLET=arm-linux-gnueabihf

# The libraries tavo links, as -dev packages (CMakeLists.txt finds them through
# pkg-config and CMake's own modules), GoogleTest for the test programs, and the
# faketime library the schedule tests preload into tavod.
PACKAGES=(
    libc6-dev libstdc++-12-dev
    libzstd-dev zlib1g-dev libjsoncpp-dev
    libmicrohttpd-dev libgpiod-dev libmosquitto-dev
    libx11-dev libpng-dev
    libgtest-dev libgmock-dev
    libfaketime
)
STAMP="$ROOT/.packages"
if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "${PACKAGES[*]}" ]; then
    exit 0
fi

LOG=${TMPDIR:-/tmp}/tavo-armhf-sysroot.log
: >"$LOG"
fail() {
    tail -n 20 "$LOG" >&2
    echo "armhf-sysroot: $* (the whole log is in $LOG)" >&2
    exit 1
}

APTDIR="$ROOT/apt"
mkdir -p "$APTDIR/lists/partial" "$APTDIR/archives/partial"
: >"$APTDIR/status"
# Lists, state and downloads of this root only; the machine's sources. No sandbox
# user: apt's _apt could not write below a folder root made.
APT=(apt-get -q -o Debug::NoLocking=1 -o APT::Sandbox::User=root
    -o APT::Architecture=$ARCH -o "APT::Architectures::=$ARCH"
    -o "Dir::State::Lists=$APTDIR/lists" -o "Dir::State::status=$APTDIR/status"
    -o "Dir::Cache=$APTDIR" -o "Dir::Cache::archives=$APTDIR/archives")

echo "armhf-sysroot: downloading ${#PACKAGES[@]} packages and what they need into $ROOT (log: $LOG)"
# A mirror caught mid-sync fails one list (seen: the armhf security one): the others
# still name every package, at most at an older version, which is fine for a root
# used only to build and test.
if ! "${APT[@]}" update >>"$LOG" 2>&1; then
    grep -E '^(E|W):' "$LOG" | sed 's/^/    /' >&2
    echo "armhf-sysroot: some package lists failed to update; using the others" >&2
fi
rm -f "$APTDIR"/archives/*.deb
"${APT[@]}" install -y --download-only --no-install-recommends "${PACKAGES[@]}" >>"$LOG" 2>&1 ||
    fail "downloading the armhf packages failed"

# Unpacked afresh, so a package dropped from the list leaves nothing behind.
find "$ROOT" -mindepth 1 -maxdepth 1 ! -name apt -exec rm -rf {} +
ADMIN="$ROOT/var/lib/dpkg"
mkdir -p "$ADMIN/info" "$ADMIN/updates"
# Files in info/ carry the architecture of Multi-Arch: same packages.
echo 1 >"$ADMIN/info/format"
echo $ARCH >"$ADMIN/arch"
: >"$ADMIN/status"
CONTROL=$(mktemp -d)
trap 'rm -rf "$CONTROL"' EXIT
count=0
for deb in "$APTDIR"/archives/*.deb; do
    dpkg-deb -x "$deb" "$ROOT" || fail "unpacking $deb failed"
    pkg=$(dpkg-deb -f "$deb" Package)
    # dpkg names a Multi-Arch: same package's files with its architecture.
    name=$pkg
    if [ "$(dpkg-deb -f "$deb" Multi-Arch)" = same ]; then
        name=$pkg:$ARCH
    fi
    {
        echo "Status: install ok installed"
        dpkg-deb -f "$deb"
        echo
    } >>"$ADMIN/status"
    # The file list names the files where they are, so that dpkg-shlibdeps, which
    # finds a library below this root, learns which package holds it.
    dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\./|/|' -e 's|/$||' |
        grep -v '^/\?$' | sed "s|^|$ROOT|" >"$ADMIN/info/$name.list"
    rm -rf "${CONTROL:?}"/*
    dpkg-deb -e "$deb" "$CONTROL"
    for f in shlibs symbols; do
        if [ -f "$CONTROL/$f" ]; then
            cp "$CONTROL/$f" "$ADMIN/info/$name.$f"
        fi
    done
    count=$((count + 1))
done

# Links in the packages point at absolute paths of the board (libz.so to
# /lib/TRIPLET/libz.so.1): the linker and qemu would follow them into the build
# machine's own folders, so each becomes relative to where it lies.
find "$ROOT" -path "$APTDIR" -prune -o -type l -lname '/*' -print | while read -r link; do
    target=$(readlink "$link")
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$ROOT$target")" "$link"
done
[ -e "$ROOT/lib/ld-linux-armhf.so.3" ] || fail "the root has no armhf loader (lib/ld-linux-armhf.so.3)"

printf '%s' "${PACKAGES[*]}" >"$STAMP"
echo "armhf-sysroot: $count packages in $ROOT ($(du -sh --exclude=apt "$ROOT" | cut -f1))"
