#!/usr/bin/env bash
# Runs every benchmark program of a build (BUILD/bin/*_bench), keeps each one's JSON
# results in BUILD/bench-results/, and prints the codec's comparison table.
#
#   bash bench/run-bench.sh [BUILD_DIR] [extra Google Benchmark arguments]
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-build}"
shift || true
case "$BUILD" in
    /*) ;;
    *) BUILD="$ROOT/$BUILD" ;;
esac

shopt -s nullglob
programs=("$BUILD"/bin/*_bench)
if [ ${#programs[@]} -eq 0 ]; then
    echo "run-bench.sh: no benchmark programs in $BUILD/bin (build with -DTAVO_BUILD_BENCH=ON)" >&2
    exit 1
fi

RESULTS="$BUILD/bench-results"
mkdir -p "$RESULTS"
failed=0
for prog in "${programs[@]}"; do
    name="$(basename "$prog")"
    echo "== $name"
    if ! "$prog" --benchmark_out="$RESULTS/$name.json" --benchmark_out_format=json "$@"; then
        echo "run-bench.sh: $name failed" >&2
        failed=1
    fi
done

if [ -f "$RESULTS/lcsf_bench.json" ]; then
    echo
    python3 "$ROOT/bench/compare.py" "$RESULTS/lcsf_bench.json"
fi
exit "$failed"
