#!/usr/bin/env bash
# Builds one libFuzzer harness with clang (ASan + UBSan + libFuzzer) and runs it.
#
#   bash fuzz/run-fuzz.sh [--target lcsf_reader|output_config] [--seconds N] [--build-dir DIR]
#                         [--workers N] [--build-only] [-- libFuzzer args]
#
# Targets:
#   lcsf_reader    (default) the sequence file reader; seeds are written by a small
#                  generator using the codec's writer.
#   output_config  channeloutputs.json checking and the CustomUDP template compiler;
#                  seeds are the small files in fuzz/corpus/output_config/.
#
# The main build uses g++, which has no libFuzzer, so the sources a harness needs are
# compiled here again with clang. Each target has its own folder DIR/TARGET for
# objects, seeds, corpus and artifacts; inputs the fuzzer finds interesting go to
# DIR/TARGET/corpus and are reused by the next run. Exits non-zero when the fuzzer reports
# a crash, a leak, undefined behaviour, a time-out or running out of memory;
# exits 77 (skipped) when clang cannot build a fuzzer on this machine.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SECONDS_TO_RUN=60
BUILD="$ROOT/build-fuzz"
WORKERS=1
BUILD_ONLY=0
TARGET=lcsf_reader
EXTRA=()
while [ $# -gt 0 ]; do
    case "$1" in
        --target) TARGET="$2"; shift 2 ;;
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

# What each target compiles: SOURCES (besides the harness), the headers whose change
# means recompiling, include folders, libraries, the largest input to try, the
# committed folders whose files are inputs too, and where a found input belongs.
case "$TARGET" in
    lcsf_reader)
        # The codec, and the host services it calls (logging, thread names, warnings).
        SOURCES=("$ROOT"/src/lcsf/*.cpp "$ROOT/src/host/core/Log.cpp" "$ROOT/src/host/core/Common.cpp"
                 "$ROOT/src/host/core/Warnings.cpp")
        HEADERS=("$ROOT"/src/lcsf/*.h "$ROOT"/src/host/*/*.h)
        INCLUDES="-I$ROOT/src/lcsf -I$ROOT/src"
        PKGS="libzstd zlib jsoncpp"
        LIBS_FALLBACK="-lzstd -lz -ljsoncpp"
        MAX_LEN=16384
        SEED_GEN="$ROOT/fuzz/lcsf_seed_gen.cpp"
        INPUTS_COMMITTED=("$ROOT/fuzz/corpus/lcsf_reader" "$ROOT/tests/data/fuzz-regressions")
        KEEP_FOUND="add it to tests/data/fuzz-regressions/"
        ;;
    output_config)
        # The checker (and the output creation beside it, which needs the plug-in
        # loader), the CustomUDP plug-in and the host's UDP engine and output base.
        SOURCES=("$ROOT/src/tavod/OutputConfig.cpp" "$ROOT/src/tavod/PluginLoader.cpp"
                 "$ROOT"/src/channeloutput/CustomUDP/*.cpp
                 "$ROOT/src/host/core/Log.cpp" "$ROOT/src/host/core/Common.cpp" "$ROOT/src/host/core/Warnings.cpp"
                 "$ROOT/src/host/output/UDPOutput.cpp" "$ROOT/src/host/output/ChannelOutput.cpp"
                 "$ROOT/src/host/core/JsonUtils.cpp")
        HEADERS=("$ROOT"/src/tavod/*.h "$ROOT"/src/channeloutput/CustomUDP/*.h "$ROOT"/src/host/*/*.h)
        INCLUDES="-I$ROOT/src -I$ROOT/src/tavod -I$ROOT/src/channeloutput/CustomUDP"
        PKGS="jsoncpp"
        LIBS_FALLBACK="-ljsoncpp"
        MAX_LEN=4096
        SEED_GEN=""
        INPUTS_COMMITTED=("$ROOT/fuzz/corpus/output_config")
        KEEP_FOUND="add it as a case to tests/output_config_test.cpp"
        ;;
    *) echo "run-fuzz.sh: unknown target $TARGET (lcsf_reader or output_config)" >&2; exit 2 ;;
esac
HARNESS="$ROOT/fuzz/${TARGET}_fuzz.cpp"
HEADERS+=("$ROOT/fuzz/run-fuzz.sh")

mkdir -p "$BUILD"
# One build and run per folder at a time.
exec 9> "$BUILD/.lock"
flock 9
OUT="$BUILD/$TARGET"
mkdir -p "$OUT/obj" "$OUT/corpus" "$OUT/seeds" "$OUT/artifacts"

# shellcheck disable=SC2086
PKG_CFLAGS="$(pkg-config --cflags $PKGS 2>/dev/null || true)"
# shellcheck disable=SC2086
PKG_LIBS="$(pkg-config --libs $PKGS 2>/dev/null || echo "$LIBS_FALLBACK")"
SAN="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
CXXFLAGS="-std=c++17 -O1 -g -Wall -Wextra $SAN -fsanitize=fuzzer-no-link $INCLUDES $PKG_CFLAGS"

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
    compile "$src" "$OUT/obj/$name.o"
    OBJECTS+=("$OUT/obj/$name.o")
done
compile "$HARNESS" "$OUT/obj/harness.o"
if [ -n "$SEED_GEN" ]; then
    compile "$SEED_GEN" "$OUT/obj/seedgen.o"
fi
for p in "${pids[@]}"; do
    wait "$p"
done

FUZZER="$OUT/${TARGET}_fuzz"
if stale "$FUZZER" "${OBJECTS[@]}" "$OUT/obj/harness.o"; then
    # shellcheck disable=SC2086
    $CXX $SAN -fsanitize=fuzzer "${OBJECTS[@]}" "$OUT/obj/harness.o" -o "$FUZZER" $PKG_LIBS -ldl -pthread
fi
if [ -n "$SEED_GEN" ]; then
    if stale "$OUT/seed_gen" "${OBJECTS[@]}" "$OUT/obj/seedgen.o"; then
        # shellcheck disable=SC2086
        $CXX $SAN -fsanitize=fuzzer-no-link "${OBJECTS[@]}" "$OUT/obj/seedgen.o" -o "$OUT/seed_gen" $PKG_LIBS -pthread
        rm -f "$OUT"/seeds/*
    fi
    if [ -z "$(ls -A "$OUT/seeds")" ]; then
        "$OUT/seed_gen" "$OUT/seeds"
    fi
fi
if [ "$BUILD_ONLY" = 1 ]; then
    exit 0
fi

INPUT_DIRS=("$OUT/corpus" "$OUT/seeds")
for d in "${INPUTS_COMMITTED[@]}"; do
    if [ -d "$d" ]; then
        INPUT_DIRS+=("$d")
    fi
done

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

ARGS=(-max_total_time="$SECONDS_TO_RUN" -timeout=25 -rss_limit_mb=2048 -max_len="$MAX_LEN"
      -artifact_prefix="$OUT/artifacts/" -print_final_stats=1)
if [ "$WORKERS" -gt 1 ]; then
    ARGS+=(-fork="$WORKERS" -ignore_crashes=0)
fi
echo "run-fuzz.sh: fuzzing $TARGET for $SECONDS_TO_RUN s; corpus in $OUT/corpus"
status=0
"$FUZZER" "${ARGS[@]}" "${EXTRA[@]}" "${INPUT_DIRS[@]}" || status=$?
if [ "$status" -ne 0 ]; then
    echo "run-fuzz.sh: the fuzzer failed (status $status); the input is in $OUT/artifacts/." >&2
    echo "  Reproduce: $FUZZER <file>; once fixed, $KEEP_FOUND." >&2
fi
exit "$status"
