#!/usr/bin/env bash
# Plays the bundled demo show in a loop until Ctrl-C: builds a media folder under
# BUILD/demo-media (a web preview output over a 100 x 30 pixel matrix), writes the
# demo sequence with the lcsf tool, and runs tavod on it.
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

mkdir -p "$MEDIA/config" "$MEDIA/sequences" "$MEDIA/logs"

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

# 400 frames of 25 ms: a rainbow that turns across the matrix, 10 seconds a pass.
SEQUENCE="$MEDIA/sequences/demo.lcsf"
if [ ! -s "$SEQUENCE" ] || [ "$BIN/lcsf" -nt "$SEQUENCE" ]; then
    "$BIN/lcsf" create "$SEQUENCE" --channels "$CHANNELS" --frames 400 --step 25 --pattern rainbow
fi

echo "Demo show: $CHANNELS channels, 400 frames of 25 ms, looping. Ctrl-C stops it."
echo "Control:   http://localhost:$HTTP_PORT/"
echo "Preview:   http://localhost:$HTTP_PORT/preview?port=$PREVIEW_PORT"
echo "Status:    http://localhost:$HTTP_PORT/api/status"
exec "$BIN/tavod" --media-dir "$MEDIA" --http-port "$HTTP_PORT" play demo.lcsf --loop
