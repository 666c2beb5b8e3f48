#!/usr/bin/env bash
# Builds libFuzzer harnesses with clang (ASan + UBSan + libFuzzer) and runs them.
#
#   bash fuzz/run-fuzz.sh [--target NAME|all] [--seconds N] [--build-dir DIR] [--jobs N]
#                         [--workers N] [--build-only] [--list] [-- libFuzzer args]
#
# One harness per parser of outside input, fuzz/NAME_fuzz.cpp (--list prints them).
# --target all runs every harness, --jobs of them at a time (default 1), each for
# --seconds; the exit status is the first failure's.
#
# The main build uses g++, which has no libFuzzer, so the sources a harness needs are
# compiled here again with clang, in groups (the codec, the host's rooms, the engine,
# the daemon, ...). Objects are shared by every harness of the build folder DIR
# (DIR/obj); each harness has its own folder DIR/NAME for its program, seeds,
# corpus and artifacts. Inputs the fuzzer finds interesting go to DIR/NAME/corpus
# and are reused by the next run; the committed inputs of fuzz/corpus/NAME/ (found
# faults among them, kept as regression cases) are run every time. Exits non-zero
# when the fuzzer reports a crash, a leak, undefined behaviour, a time-out or
# running out of memory; exits 77 (skipped) when clang cannot build a fuzzer here.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SECONDS_TO_RUN=60
BUILD="$ROOT/build-fuzz"
WORKERS=1
JOBS=1
BUILD_ONLY=0
TARGET=lcsf_reader
EXTRA=()
ALL_TARGETS=(lcsf_reader output_config udp_template settings_file pins_file gpio_inputs gpio_command
             command_presets preview_layout preview_request linkcard_discovery http_api mqtt_command
             model_overlays bridge_input sync_packet)
while [ $# -gt 0 ]; do
    case "$1" in
        --target) TARGET="$2"; shift 2 ;;
        --seconds) SECONDS_TO_RUN="$2"; shift 2 ;;
        --build-dir) BUILD="$2"; shift 2 ;;
        --workers) WORKERS="$2"; shift 2 ;;
        --jobs) JOBS="$2"; shift 2 ;;
        --build-only) BUILD_ONLY=1; shift ;;
        --list) printf '%s\n' "${ALL_TARGETS[@]}"; exit 0 ;;
        --) shift; EXTRA=("$@"); break ;;
        *) echo "run-fuzz.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
case "$BUILD" in
    /*) ;;
    *) BUILD="$PWD/$BUILD" ;;
esac

if [ "$TARGET" = all ]; then
    # Every harness, JOBS at a time; each one's output goes to DIR/NAME/run.log.
    status=0
    running=()
    names=()
    finish_one() {
        local pid="${running[0]}" name="${names[0]}" rc=0
        wait "$pid" || rc=$?
        echo "run-fuzz.sh: $name finished with status $rc (log: $BUILD/$name/run.log)"
        if [ "$rc" -ne 0 ] && [ "$status" -eq 0 ]; then
            status=$rc
        fi
        running=("${running[@]:1}")
        names=("${names[@]:1}")
    }
    for t in "${ALL_TARGETS[@]}"; do
        mkdir -p "$BUILD/$t"
        bash "$0" --target "$t" --seconds "$SECONDS_TO_RUN" --build-dir "$BUILD" --workers "$WORKERS" \
            $([ "$BUILD_ONLY" = 1 ] && echo --build-only) -- "${EXTRA[@]}" > "$BUILD/$t/run.log" 2>&1 &
        running+=($!)
        names+=("$t")
        echo "run-fuzz.sh: started $t"
        if [ ${#running[@]} -ge "$JOBS" ]; then
            finish_one
        fi
    done
    while [ ${#running[@]} -gt 0 ]; do
        finish_one
    done
    exit "$status"
fi

CXX="${FUZZ_CXX:-clang++}"
if ! command -v "$CXX" > /dev/null; then
    echo "run-fuzz.sh: $CXX not found (scripts/install-deps.sh installs clang); skipping" >&2
    exit 77
fi

# Source groups: what a harness links is the groups it names.
group_sources() {
    case "$1" in
        lcsf) ls "$ROOT"/src/lcsf/*.cpp ;;
        hostcore) ls "$ROOT"/src/host/core/*.cpp ;;
        hostoutput) ls "$ROOT"/src/host/output/*.cpp ;;
        hostplayer) ls "$ROOT"/src/host/player/*.cpp ;;
        hw) ls "$ROOT"/src/host/hw/*.cpp ;;
        hostmqtt) ls "$ROOT"/src/host/mqtt/*.cpp ;;
        bridge) ls "$ROOT"/src/host/bridge/*.cpp ;;
        hostsync) ls "$ROOT"/src/host/sync/*.cpp ;;
        protocols) ls "$ROOT"/src/protocols/*.cpp ;;
        engine) ls "$ROOT"/src/Sequence*.cpp "$ROOT/src/Effects.cpp" ;;
        gpio) ls "$ROOT"/src/gpio*.cpp ;;
        httpserver) ls "$ROOT"/src/compat/httpserver/*.cpp ;;
        tavodcore) ls "$ROOT/src/tavod/OutputConfig.cpp" "$ROOT/src/tavod/PluginLoader.cpp" ;;
        daemon) ls "$ROOT"/src/tavod/*.cpp | grep -v -e '/main\.cpp$' -e '/OutputConfig\.cpp$' -e '/PluginLoader\.cpp$' ;;
        customudp) ls "$ROOT/src/channeloutput/CustomUDP/CustomUDPOutput.cpp" "$ROOT/src/channeloutput/CustomUDP/UDPTemplate.cpp" ;;
        udptemplate) ls "$ROOT/src/channeloutput/CustomUDP/UDPTemplate.cpp" ;;
        webpreviewcore) ls "$ROOT/src/channeloutput/WebPreview/RequestWatch.cpp" "$ROOT/src/channeloutput/WebPreview/PixelChangeEncoder.cpp" ;;
        linkcardcore) ls "$ROOT/src/channeloutput/LinkCard/LinkCardProtocol.cpp" ;;
        *) echo "run-fuzz.sh: unknown source group $1" >&2; exit 2 ;;
    esac
}

# What each harness compiles (GROUPS), the pkg-config modules it links (PKGS), the
# largest input to try, its seed generator if any, and where a found input belongs.
SEED_GEN=""
MAX_LEN=4096
PKGS="jsoncpp"
KEEP_FOUND="add it to fuzz/corpus/$TARGET/ (and, where it shows a fault, a test of that fault)"
case "$TARGET" in
    lcsf_reader)
        # Sequence and effect files.
        GROUPS_USED="lcsf hostcore"
        PKGS="libzstd zlib jsoncpp"
        MAX_LEN=16384
        SEED_GEN="$ROOT/fuzz/lcsf_seed_gen.cpp"
        KEEP_FOUND="add it to tests/data/fuzz-regressions/"
        ;;
    output_config)
        # channeloutputs.json checking and the CustomUDP data object made from it.
        GROUPS_USED="tavodcore customudp hostcore hostoutput"
        KEEP_FOUND="add it as a case to tests/output_config_test.cpp"
        ;;
    udp_template) GROUPS_USED="udptemplate hostcore" ;;
    settings_file) GROUPS_USED="hostcore" ;;
    pins_file) GROUPS_USED="hw hostcore"; PKGS="jsoncpp libgpiod" ;;
    gpio_inputs | gpio_command | command_presets)
        GROUPS_USED="gpio hw hostplayer hostoutput hostcore httpserver"
        PKGS="jsoncpp libgpiod libmicrohttpd"
        ;;
    preview_layout) GROUPS_USED="webpreviewcore hostoutput hostcore"; MAX_LEN=16384 ;;
    preview_request) GROUPS_USED="webpreviewcore hostcore" ;;
    model_overlays) GROUPS_USED="hostoutput hostcore" ;;
    linkcard_discovery) GROUPS_USED="linkcardcore hostcore"; MAX_LEN=2048 ;;
    bridge_input) GROUPS_USED="bridge protocols hostcore"; MAX_LEN=8192 ;;
    sync_packet) GROUPS_USED="protocols hostcore"; MAX_LEN=2048 ;;
    http_api)
        # The whole daemon in the fuzzer's process, requests through its HTTP server.
        GROUPS_USED="daemon tavodcore engine gpio lcsf hw hostplayer hostoutput hostmqtt bridge hostsync protocols hostcore httpserver"
        PKGS="jsoncpp libgpiod libmicrohttpd libzstd zlib libmosquitto libpng"
        MAX_LEN=8192
        ;;
    mqtt_command)
        # Messages of the MQTT command topic, run by the daemon as it runs them.
        GROUPS_USED="daemon tavodcore engine gpio lcsf hw hostplayer hostoutput hostmqtt bridge hostsync protocols hostcore httpserver"
        PKGS="jsoncpp libgpiod libmicrohttpd libzstd zlib libmosquitto libpng"
        ;;
    *) echo "run-fuzz.sh: unknown target $TARGET (--list names them)" >&2; exit 2 ;;
esac
HARNESS="$ROOT/fuzz/${TARGET}_fuzz.cpp"
INPUTS_COMMITTED=("$ROOT/fuzz/corpus/$TARGET")
if [ "$TARGET" = lcsf_reader ]; then
    INPUTS_COMMITTED+=("$ROOT/tests/data/fuzz-regressions")
fi
DICT="$ROOT/fuzz/$TARGET.dict"

mkdir -p "$BUILD/obj"
OUT="$BUILD/$TARGET"
mkdir -p "$OUT/corpus" "$OUT/seeds" "$OUT/artifacts"
# One build at a time per folder (objects are shared); the runs go on in parallel.
exec 9> "$BUILD/.lock"
flock 9

INCLUDES="-I$ROOT/src -I$ROOT/src/lcsf -I$ROOT/src/tavod -I$ROOT/src/compat/httpserver"
for d in "$ROOT"/src/channeloutput/*/; do
    INCLUDES="$INCLUDES -I$d"
done
# Only the modules this machine has: a harness links what it needs of them.
ALL_PKGS="jsoncpp libzstd zlib libgpiod libmicrohttpd libmosquitto libpng"
PKG_CFLAGS=""
for p in $ALL_PKGS; do
    if pkg-config --exists "$p" 2>/dev/null; then
        PKG_CFLAGS="$PKG_CFLAGS $(pkg-config --cflags "$p")"
    fi
done
PKG_LIBS=""
for p in $PKGS; do
    if pkg-config --exists "$p" 2>/dev/null; then
        PKG_LIBS="$PKG_LIBS $(pkg-config --libs "$p")"
    else
        case "$p" in
            libzstd) PKG_LIBS="$PKG_LIBS -lzstd" ;;
            zlib) PKG_LIBS="$PKG_LIBS -lz" ;;
            libgpiod) PKG_LIBS="$PKG_LIBS -lgpiod" ;;
            libmicrohttpd) PKG_LIBS="$PKG_LIBS -lmicrohttpd" ;;
            libmosquitto) PKG_LIBS="$PKG_LIBS -lmosquitto" ;;
            libpng) PKG_LIBS="$PKG_LIBS -lpng" ;;
            *) PKG_LIBS="$PKG_LIBS -l${p#lib}" ;;
        esac
    fi
done
SAN="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
CXXFLAGS="-std=c++17 -O1 -g -Wall -Wextra $SAN -fsanitize=fuzzer-no-link $INCLUDES $PKG_CFLAGS"
CXXFLAGS="$CXXFLAGS -DTAVO_DEFAULT_WEB_DIR=\"$ROOT/web\""

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

# Headers whose change means compiling again: every header of the sources.
mapfile -t HEADERS < <(find "$ROOT/src" "$ROOT/fuzz" -name '*.h' -o -name '*.hpp')
HEADERS+=("$ROOT/fuzz/run-fuzz.sh")

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
for g in $GROUPS_USED; do
    for src in $(group_sources "$g"); do
        rel="${src#"$ROOT"/src/}"
        compile "$src" "$BUILD/obj/${rel//\//_}.o"
        OBJECTS+=("$BUILD/obj/${rel//\//_}.o")
    done
done
compile "$HARNESS" "$OUT/harness.o"
if [ -n "$SEED_GEN" ]; then
    compile "$SEED_GEN" "$OUT/seedgen.o"
fi
for p in "${pids[@]}"; do
    wait "$p"
done
for o in "${OBJECTS[@]}" "$OUT/harness.o"; do
    if [ ! -f "$o" ]; then
        echo "run-fuzz.sh: $o was not built" >&2
        exit 1
    fi
done

FUZZER="$OUT/${TARGET}_fuzz"
if stale "$FUZZER" "${OBJECTS[@]}" "$OUT/harness.o"; then
    # shellcheck disable=SC2086
    $CXX $SAN -fsanitize=fuzzer "${OBJECTS[@]}" "$OUT/harness.o" -o "$FUZZER" $PKG_LIBS -ldl -pthread
fi
if [ -n "$SEED_GEN" ]; then
    if stale "$OUT/seed_gen" "${OBJECTS[@]}" "$OUT/seedgen.o"; then
        # shellcheck disable=SC2086
        $CXX $SAN -fsanitize=fuzzer-no-link "${OBJECTS[@]}" "$OUT/seedgen.o" -o "$OUT/seed_gen" $PKG_LIBS -ldl -pthread
        rm -f "$OUT"/seeds/*
    fi
    if [ -z "$(ls -A "$OUT/seeds")" ]; then
        "$OUT/seed_gen" "$OUT/seeds"
    fi
fi
# The build is done: other harnesses may build while this one runs.
exec 9>&-
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

# libFuzzer's own exit status for a finding is 77, which CTest would take for "skipped".
ARGS=(-max_total_time="$SECONDS_TO_RUN" -timeout=25 -rss_limit_mb=2048 -max_len="$MAX_LEN"
      -artifact_prefix="$OUT/artifacts/" -print_final_stats=1 -error_exitcode=1 -timeout_exitcode=1)
if [ -f "$DICT" ]; then
    ARGS+=(-dict="$DICT")
fi
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
