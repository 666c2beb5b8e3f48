#!/usr/bin/env bash
# Builds the sequence file reader fuzzer with clang (ASan + UBSan + libFuzzer) and runs it.
#
#   bash fuzz/run-fuzz.sh [--seconds N] [--build-dir DIR] [--workers N] [--build-only] [-- libFuzzer args]
#
# The main build uses g++, which has no libFuzzer, so the codec and the few host
# sources it needs are compiled here again with clang. Seeds are written by a small
# generator using the codec's writer; inputs the fuzzer finds interesting go to
# DIR/corpus and are reused by the next run. Exits non-zero when the fuzzer reports
# a crash, a leak, undefined behaviour, a time-out or running out of memory;
# exits 77 (skipped) when clang cannot build a fuzzer on this machine.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SECONDS_TO_RUN=60
BUILD="$ROOT/build-fuzz"
WORKERS=1
BUILD_ONLY=0
EXTRA=()
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) SECONDS_TO_RUN="$2"; shift 2 ;;
        --build-dir) BUILD="$2"; shift 2 ;;
        --workers) WORKERS="$2"; shift 2 ;;
        --build-only) BUILD_ONLY=1; shift ;;
        --) shift; EXTRA=("$@"); break ;;
        *) echo "run-fuzz.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done

CXX="${FUZZ_CXX:-clang++}"
if ! command -v "$CXX" > /dev/null; then
    echo "run-fuzz.sh: $CXX not found (scripts/install-deps.sh installs clang); skipping" >&2
    exit 77
fi

mkdir -p "$BUILD/obj" "$BUILD/corpus" "$BUILD/seeds" "$BUILD/artifacts"
# One build and run per folder at a time.
exec 9> "$BUILD/.lock"
flock 9

PKG_CFLAGS="$(pkg-config --cflags libzstd zlib jsoncpp 2>/dev/null || true)"
PKG_LIBS="$(pkg-config --libs libzstd zlib jsoncpp 2>/dev/null || echo "-lzstd -lz -ljsoncpp")"
SAN="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
CXXFLAGS="-std=c++17 -O1 -g -Wall -Wextra $SAN -fsanitize=fuzzer-no-link
    -I$ROOT/src/lcsf -I$ROOT/src/host -I$ROOT/src $PKG_CFLAGS"

# The codec, and the host services it calls (logging, thread names, warnings).
SOURCES=("$ROOT"/src/lcsf/*.cpp "$ROOT/src/host/Log.cpp" "$ROOT/src/host/Common.cpp" "$ROOT/src/host/Warnings.cpp")
HEADERS=("$ROOT"/src/lcsf/*.h "$ROOT"/src/host/*.h "$ROOT/fuzz/run-fuzz.sh")

# Checks once that this clang can link a fuzzer at all (libclang-rt-14-dev).
if [ ! -f "$BUILD/.clang-ok" ]; then
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
        > "$BUILD/probe.cpp"
    if ! "$CXX" -fsanitize=fuzzer,address,undefined "$BUILD/probe.cpp" -o "$BUILD/probe" 2> "$BUILD/probe.log"; then
        cat "$BUILD/probe.log" >&2
        echo "run-fuzz.sh: $CXX cannot build a libFuzzer program (is libclang-rt-14-dev installed?); skipping" >&2
        exit 77
    fi
    touch "$BUILD/.clang-ok"
fi

stale() { # stale OUTPUT INPUT...: true when OUTPUT is missing or older than an input
    local out="$1"; shift
    [ ! -f "$out" ] || [ -n "$(find "$@" -newer "$out" -print -quit)" ]
}

OBJECTS=()
pids=()
compile() {
    local src="$1" obj="$2"
    if stale "$obj" "$src" "${HEADERS[@]}"; then
        # shellcheck disable=SC2086
        $CXX $CXXFLAGS -c "$src" -o "$obj.tmp" && mv "$obj.tmp" "$obj" &
        pids+=($!)
        # Two compilers at a time: the machine is shared.
        if [ ${#pids[@]} -ge 2 ]; then
            wait "${pids[0]}"
            pids=("${pids[@]:1}")
        fi
    fi
}
for src in "${SOURCES[@]}"; do
    name="$(basename "$(dirname "$src")")_$(basename "$src" .cpp)"
    compile "$src" "$BUILD/obj/$name.o"
    OBJECTS+=("$BUILD/obj/$name.o")
done
compile "$ROOT/fuzz/lcsf_reader_fuzz.cpp" "$BUILD/obj/harness.o"
compile "$ROOT/fuzz/lcsf_seed_gen.cpp" "$BUILD/obj/seedgen.o"
for p in "${pids[@]}"; do
    wait "$p"
done

if stale "$BUILD/lcsf_reader_fuzz" "${OBJECTS[@]}" "$BUILD/obj/harness.o"; then
    # shellcheck disable=SC2086
    $CXX $SAN -fsanitize=fuzzer "${OBJECTS[@]}" "$BUILD/obj/harness.o" -o "$BUILD/lcsf_reader_fuzz" $PKG_LIBS -pthread
fi
if stale "$BUILD/lcsf_seed_gen" "${OBJECTS[@]}" "$BUILD/obj/seedgen.o"; then
    # shellcheck disable=SC2086
    $CXX $SAN -fsanitize=fuzzer-no-link "${OBJECTS[@]}" "$BUILD/obj/seedgen.o" -o "$BUILD/lcsf_seed_gen" $PKG_LIBS -pthread
    rm -f "$BUILD"/seeds/*
fi
if [ -z "$(ls -A "$BUILD/seeds")" ]; then
    "$BUILD/lcsf_seed_gen" "$BUILD/seeds"
fi
if [ "$BUILD_ONLY" = 1 ]; then
    exit 0
fi

INPUT_DIRS=("$BUILD/corpus" "$BUILD/seeds")
for d in "$ROOT/fuzz/corpus" "$ROOT/tests/data/fuzz-regressions"; do
    if [ -d "$d" ]; then
        INPUT_DIRS+=("$d")
    fi
done

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

ARGS=(-max_total_time="$SECONDS_TO_RUN" -timeout=25 -rss_limit_mb=2048 -max_len=16384
      -artifact_prefix="$BUILD/artifacts/" -print_final_stats=1)
if [ "$WORKERS" -gt 1 ]; then
    ARGS+=(-fork="$WORKERS" -ignore_crashes=0)
fi
echo "run-fuzz.sh: fuzzing for $SECONDS_TO_RUN s; corpus in $BUILD/corpus"
status=0
"$BUILD/lcsf_reader_fuzz" "${ARGS[@]}" "${EXTRA[@]}" "${INPUT_DIRS[@]}" || status=$?
if [ "$status" -ne 0 ]; then
    echo "run-fuzz.sh: the fuzzer failed (status $status); the input is in $BUILD/artifacts/." >&2
    echo "  Reproduce: $BUILD/lcsf_reader_fuzz <file>; once fixed, add it to tests/data/fuzz-regressions/." >&2
fi
exit "$status"
