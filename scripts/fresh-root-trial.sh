#!/usr/bin/env bash
# Tries the README's first steps as a new user would: on a fresh Debian 12 root (made
# with debootstrap, kept in ROOT for the next run and never changed: the trial runs in
# an overlay over it), installs only make, git and ca-certificates, clones this
# repository and runs `make run` until the demo plays, then `make test` when asked.
# Prints the wall time and the download size of each.
#
#   bash scripts/fresh-root-trial.sh [--test] [ROOT]
#
# ROOT defaults to /var/tmp/tavo-deb12-root. Needs root, debootstrap and the network
# to Debian's package archive (MIRROR=URL picks another archive), so it is not part of
# `make test`. The trial's logs stay in the folder it names at the end.
set -euo pipefail

WITH_TEST=0
if [ "${1:-}" = "--test" ]; then
    WITH_TEST=1
    shift
fi
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ROOT=$(readlink -f "${1:-/var/tmp/tavo-deb12-root}")
if [ "$(id -u)" -ne 0 ]; then
    echo "fresh-root-trial: needs root" >&2
    exit 1
fi
if [ ! -f "$ROOT/etc/debian_version" ]; then
    command -v debootstrap >/dev/null || {
        echo "fresh-root-trial: apt-get install debootstrap first" >&2
        exit 1
    }
    echo "Making a fresh Debian 12 root in $ROOT"
    debootstrap --variant=minbase bookworm "$ROOT" ${MIRROR:+"$MIRROR"} >/dev/null
fi
WORK=$(mktemp -d /var/tmp/tavo-trial.XXXXXX)
mkdir -p "$WORK/upper/etc" "$WORK/work" "$WORK/root"
cp /etc/resolv.conf "$WORK/upper/etc/resolv.conf"

exec unshare --mount --propagation private bash -s "$WORK" "$ROOT" "$REPO" "$WITH_TEST" <<'INNER'
set -euo pipefail
WORK=$1
ROOT=$WORK/root
REPO=$3
WITH_TEST=$4
mount -t overlay overlay -o "lowerdir=$2,upperdir=$WORK/upper,workdir=$WORK/work" "$ROOT"
mount -t proc proc "$ROOT/proc"
mount --rbind /sys "$ROOT/sys"
mount --rbind /dev "$ROOT/dev"
mount -t tmpfs tmpfs "$ROOT/run"
mount -t tmpfs tmpfs "$ROOT/tmp"
mkdir -p "$ROOT/src"
mount --bind -o ro "$REPO" "$ROOT/src"
in_root() { chroot "$ROOT" env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb "$@"; }

# Bytes apt fetched from the archive, from its own summary lines.
downloaded() { grep -ho "Fetched [0-9.,]* [kMG]B" "$@" 2>/dev/null | awk '
    { v = $2; gsub(",", "", v); u = $3
      if (u == "kB") v /= 1000; else if (u == "GB") v *= 1000; total += v }
    END { printf "%.0f MB", total }'; }

echo "Debian $(cat "$ROOT/etc/debian_version"), $(in_root dpkg-query -W -f='${binary:Package}\n' | wc -l) packages"
in_root apt-get update -q >"$WORK/first.log" 2>&1
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q make git ca-certificates >>"$WORK/first.log" 2>&1
in_root git clone -q /src /root/tavo
echo "make, git, ca-certificates: $(downloaded "$WORK/first.log")"

# make run plays until stopped: it is done when the demo says where its pages are.
start=$(date +%s)
in_root sh -c 'cd /root/tavo && exec make run' >"$WORK/run.log" 2>&1 &
runner=$!
while kill -0 "$runner" 2>/dev/null && ! grep -q "^Control:" "$WORK/run.log"; do
    sleep 1
done
end=$(date +%s)
if ! grep -q "^Control:" "$WORK/run.log"; then
    tail -n 30 "$WORK/run.log"
    echo "FAILED: make run did not start the demo (log: $WORK/run.log)"
    exit 1
fi
sleep 3
status=$(in_root bash -c 'exec 3<>/dev/tcp/127.0.0.1/8080' 2>/dev/null && echo up || echo "no page")
pkill -INT -f "tavod --media-dir /root/tavo/build/demo-media" || true
wait "$runner" || true
echo "make run: $(((end - start) / 60)) min $(((end - start) % 60)) s to the demo," \
    "$(downloaded "$ROOT/tmp/tavo-install-deps.log") downloaded, control page $status"
cp "$ROOT/tmp/tavo-install-deps.log" "$WORK/run-deps.log" 2>/dev/null || true

if [ "$WITH_TEST" = 1 ]; then
    start=$(date +%s)
    rc=0
    in_root sh -c 'cd /root/tavo && exec make test' >"$WORK/test.log" 2>&1 || rc=$?
    end=$(date +%s)
    echo "make test: $(((end - start) / 60)) min $(((end - start) % 60)) s," \
        "$(downloaded "$ROOT/tmp/tavo-install-deps.log") downloaded, exit $rc"
    grep -E "tests passed|^Skipped|^  [0-9]+ x " "$WORK/test.log" || true
fi
echo "logs: $WORK"
INNER
