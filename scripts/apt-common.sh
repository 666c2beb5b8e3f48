# What the package installers share (sourced, not run): whether a package is
# installed, apt run into a log named on failure, and the install itself with the
# services of test peers kept from starting (the tests start their own).
#
#   apt_begin NAME    the log is ${TMPDIR:-/tmp}/tavo-NAME.log; messages say NAME
#   installed PKG     true when PKG (or PKG:ARCH) is installed
#   run_logged CMD    runs CMD into the log; on failure prints its tail and exits 1
#   apt_update        the package lists; one list that fails is reported, not fatal
#   apt_install PKG...

apt_begin() {
    APT_NAME=$1
    if [ "$(id -u)" -ne 0 ]; then
        SUDO=sudo
    else
        SUDO=
    fi
    LOG=${TMPDIR:-/tmp}/tavo-$APT_NAME.log
    : >"$LOG"
}

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

run_logged() {
    if ! "$@" >>"$LOG" 2>&1; then
        tail -n 20 "$LOG" >&2
        echo "$APT_NAME: '$*' failed; the whole log is in $LOG" >&2
        exit 1
    fi
}

apt_update() {
    echo "  updating the package lists"
    # A mirror caught mid-sync fails one list (seen: the armhf security one); what is
    # missing may still come from the others, and the install says if not.
    if ! $SUDO apt-get update -q >>"$LOG" 2>&1; then
        grep -E '^(E|W):' "$LOG" | sed 's/^/    /' >&2
        echo "$APT_NAME: apt-get update failed for some lists (log: $LOG); installing from the others" >&2
    fi
}

apt_install() {
    echo "  downloading and installing"
    if [ -z "$SUDO" ] && [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
        chmod 755 /usr/sbin/policy-rc.d
        trap 'rm -f /usr/sbin/policy-rc.d' EXIT
    fi
    run_logged env DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "$@"
    echo "  done"
}
