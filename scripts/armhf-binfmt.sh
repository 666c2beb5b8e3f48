#!/usr/bin/env bash
# Makes the kernel hand armhf programs to qemu-arm-static, so that the emulated
# tests can exec tavod and lcsf like any program. The registration is the one
# Debian's qemu-user-static makes (binfmt-support does it only where systemd has
# mounted binfmt_misc, which containers often have not).
#
#   bash scripts/armhf-binfmt.sh
#
# Exits 1 with the reason when it cannot (not root, no binfmt_misc in the kernel,
# the mount refused).
set -euo pipefail

DIR=/proc/sys/fs/binfmt_misc
QEMU=/usr/bin/qemu-arm-static

fail() {
    echo "armhf-binfmt: $*" >&2
    exit 1
}

[ -x "$QEMU" ] || fail "$QEMU is missing (scripts/install-armhf-deps.sh installs qemu-user-static)"

if [ ! -e "$DIR/register" ]; then
    grep -qw binfmt_misc /proc/filesystems ||
        fail "this kernel has no binfmt_misc: armhf programs cannot be run by exec"
    [ "$(id -u)" -eq 0 ] || fail "binfmt_misc is not mounted at $DIR and mounting it needs root"
    mount -t binfmt_misc binfmt_misc "$DIR" 2>/dev/null ||
        fail "mounting binfmt_misc at $DIR was refused (a container without CAP_SYS_ADMIN?)"
fi

if [ -e "$DIR/qemu-arm" ]; then
    if grep -q '^enabled' "$DIR/qemu-arm"; then
        exit 0
    fi
    fail "qemu-arm is registered but disabled ($DIR/qemu-arm); enable it with: echo 1 > $DIR/qemu-arm"
fi

[ -w "$DIR/register" ] || fail "$DIR/register is not writable: registering qemu-arm needs root"
# A 32-bit little-endian ARM ELF executable or shared object (e_machine 40).
# F: the kernel opens the interpreter now, so it works inside other mount
# namespaces and chroots too.
MAGIC='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00'
MASK='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
printf '%s' ":qemu-arm:M::${MAGIC}:${MASK}:${QEMU}:F" >"$DIR/register" ||
    fail "the kernel refused the qemu-arm registration"
echo "armhf-binfmt: registered $QEMU for armhf programs"
