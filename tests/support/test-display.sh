#!/usr/bin/env bash
# An X display for a CTest fixture: outputs that draw into a window need one.
#   test-display.sh start DIR   starts Xvfb on a free display number and writes
#                               the display (":N") to DIR/DISPLAY
#   test-display.sh stop DIR    ends that Xvfb
# The number is known only once Xvfb holds it, after CTest fixed the tests'
# environment: tests read it from the file. A number another server holds makes
# Xvfb exit before it says it is ready (-displayfd); the next one is tried.
set -u
action=${1:-}
dir=${2:-}
if [ -z "$action" ] || [ -z "$dir" ]; then
    echo "usage: $0 start|stop DIR" >&2
    exit 2
fi
mkdir -p "$dir"

stop() {
    if [ -f "$dir/xvfb.pid" ]; then
        pid=$(cat "$dir/xvfb.pid")
        # Only the Xvfb this script started: the number may have been reused since.
        if [ -n "$pid" ] && [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = "Xvfb" ]; then
            kill "$pid" 2>/dev/null
            for _ in $(seq 50); do
                kill -0 "$pid" 2>/dev/null || break
                sleep 0.1
            done
        fi
        rm -f "$dir/xvfb.pid"
    fi
    rm -f "$dir/DISPLAY"
}

if [ "$action" = stop ]; then
    stop
    exit 0
fi
if [ "$action" != start ]; then
    echo "usage: $0 start|stop DIR" >&2
    exit 2
fi

stop # a display left from an interrupted run
if ! command -v Xvfb >/dev/null; then
    echo "no Xvfb: install Debian's xvfb package (scripts/install-deps.sh does)" >&2
    exit 1
fi
n=$(( 100 + ($$ * 37 + RANDOM) % 800 ))
for _ in $(seq 40); do
    rm -f "$dir/ready"
    # Detached from this script's output, so CTest does not wait for the server to end.
    Xvfb ":$n" -displayfd 3 -nolisten tcp -noreset -screen 0 1280x1024x24 \
        3>"$dir/ready" </dev/null >"$dir/xvfb.log" 2>&1 &
    pid=$!
    for _ in $(seq 200); do
        if grep -q . "$dir/ready" 2>/dev/null || ! kill -0 "$pid" 2>/dev/null; then
            break
        fi
        sleep 0.05
    done
    if [ "$(cat "$dir/ready" 2>/dev/null)" = "$n" ] && kill -0 "$pid" 2>/dev/null; then
        echo "$pid" >"$dir/xvfb.pid"
        echo ":$n" >"$dir/DISPLAY"
        echo "Xvfb :$n (pid $pid) for the tests"
        exit 0
    fi
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    n=$(( 100 + (n - 100 + 97) % 800 ))
done
echo "no Xvfb could start; the last attempt said:" >&2
cat "$dir/xvfb.log" >&2
exit 1
