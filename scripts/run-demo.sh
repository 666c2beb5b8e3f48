#!/usr/bin/env bash
# Plays the bundled demo show until Ctrl-C: builds a media folder under
# BUILD/demo-media (a web preview output over a 100 x 30 pixel matrix), writes two
# sequences with the lcsf tool, a playlist of them (an intro once, then the show in
# a loop) and a schedule that plays it all day, and runs tavod on it as the service
# would (tavod run).
#
#   bash scripts/run-demo.sh [BUILD]        (BUILD defaults to build)
#
# TAVO_HTTP_PORT (default 8080) and TAVO_PREVIEW_PORT (default 32328) choose the ports.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-build}
case "$BUILD" in
    /*) ;;
    *) BUILD="$ROOT/$BUILD" ;;
esac
BIN="$BUILD/bin"
MEDIA="$BUILD/demo-media"
HTTP_PORT=${TAVO_HTTP_PORT:-8080}
PREVIEW_PORT=${TAVO_PREVIEW_PORT:-32328}
WIDTH=100
HEIGHT=30
CHANNELS=$((WIDTH * HEIGHT * 3))

for program in tavod lcsf; do
    if [ ! -x "$BIN/$program" ]; then
        echo "run-demo: $BIN/$program is missing; build first (make build)" >&2
        exit 1
    fi
done

mkdir -p "$MEDIA/config" "$MEDIA/sequences" "$MEDIA/playlists" "$MEDIA/logs"

cat > "$MEDIA/config/channeloutputs.json" <<EOF
{
  "channelOutputs": [
    {
      "type": "WebPreview",
      "enabled": 1,
      "startChannel": 1,
      "channelCount": $CHANNELS,
      "port": $PREVIEW_PORT,
      "layout": {"type": "matrix", "width": $WIDTH, "height": $HEIGHT}
    }
  ]
}
EOF

cat > "$MEDIA/config/settings.json" <<EOF
{
  "blankBetweenSequences": 0,
  "LogLevel": "info"
}
EOF

# demo.lcsf, 400 frames of 25 ms: a rainbow that turns across the matrix, 10 seconds
# a pass; intro.lcsf, 2 seconds of a moving ramp.
make_sequence() {
    local file="$MEDIA/sequences/$1"
    shift
    if [ ! -s "$file" ] || [ "$BIN/lcsf" -nt "$file" ]; then
        "$BIN/lcsf" create "$file" --channels "$CHANNELS" --step 25 "$@" >/dev/null
    fi
}
make_sequence demo.lcsf --frames 400 --pattern rainbow
make_sequence intro.lcsf --frames 80 --pattern ramp

cat > "$MEDIA/playlists/demo.json" <<EOF
{"name": "demo", "repeat": true,
 "leadIn": [{"type": "sequence", "sequence": "intro.lcsf"}],
 "mainPlaylist": [{"type": "sequence", "sequence": "demo.lcsf"}]}
EOF

cat > "$MEDIA/config/schedule.json" <<EOF
{"schedule": [{"enabled": true, "playlist": "demo", "days": "everyday",
               "startTime": "00:00", "endTime": "24:00", "repeat": true, "stopType": "graceful"}]}
EOF

echo "Demo show: $CHANNELS channels; the playlist demo (intro.lcsf, then demo.lcsf in a loop),"
echo "started by its schedule (all day). Ctrl-C stops it."
echo "Control:   http://localhost:$HTTP_PORT/"
echo "Preview:   http://localhost:$HTTP_PORT/preview?port=$PREVIEW_PORT"
echo "Status:    http://localhost:$HTTP_PORT/api/status"
exec "$BIN/tavod" --media-dir "$MEDIA" --http-port "$HTTP_PORT" run
