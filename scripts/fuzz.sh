#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang, AddressSanitizer and UndefinedBehaviorSanitizer
# in a build folder of their own, and runs each on its seed corpus (fuzz/corpus/<target>) for a
# fixed number of runs with a fixed seed. Fails on any finding: a crash, a sanitizer report, a
# leak, a time-out or a violated oracle. The input that caused it is saved under fuzz/findings/.
#
#   scripts/fuzz.sh                  the short run (part of scripts/test.sh)
#   scripts/fuzz.sh --long [SECONDS] every target for SECONDS (default 600) with a random seed,
#                                    keeping what it learns in build-fuzz/corpus/<target>
#   scripts/fuzz.sh [--long] TARGET  only that target (for example upgrade_script)
set -euo pipefail
cd "$(dirname "$0")/.."

long=0
seconds=600
only=""
while [ $# -gt 0 ]; do
    case "$1" in
    --long)
        long=1
        if [ $# -gt 1 ] && [[ "$2" =~ ^[0-9]+$ ]]; then
            seconds="$2"
            shift
        fi
        ;;
    -h | --help)
        sed -n '2,10p' "$0"
        exit 0
        ;;
    *) only="$1" ;;
    esac
    shift
done

build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DDECKCTL_FUZZ=ON -DDECKCTL_BUILD_TESTS=OFF -DDECKCTL_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target deckctl_fuzzers

# Runs per target in the short run: each target's share of about a minute on two cores (the
# package target unpacks into real folders and compares them; the model target reads a 5 MiB
# window for some inputs).
declare -A runs=(
    [device_id]=20000
    [usb_descriptors]=20000
    [bot_status]=20000
    [virtual_camera_config]=10000
    [cli]=5000
    [upgrade_script]=2000
    [package_model]=300
    [package_entry]=1000
)
targets=(device_id usb_descriptors bot_status virtual_camera_config cli upgrade_script package_model package_entry)
if [ -n "$only" ]; then
    if [ -z "${runs[$only]+set}" ]; then
        echo "unknown fuzz target $only; targets: ${targets[*]}" >&2
        exit 2
    fi
    targets=("$only")
fi

mkdir -p fuzz/findings
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Full allocation stacks, so that suppressions can name a library function behind Qt frames.
export LSAN_OPTIONS=fast_unwind_on_malloc=0:suppressions=$PWD/tests/lsan.supp:print_suppressions=0
status=0
for target in "${targets[@]}"; do
    options=(-seed=1 -runs="${runs[$target]}" -max_len=8192 -timeout=30 -rss_limit_mb=4096
        -artifact_prefix="fuzz/findings/$target-" -print_final_stats=1)
    if [ "$long" = 1 ]; then
        options=(-max_total_time="$seconds" -max_len=8192 -timeout=30 -rss_limit_mb=4096
            -artifact_prefix="fuzz/findings/$target-" -print_final_stats=1)
    fi
    if [ -f "fuzz/$target.dict" ]; then
        options+=(-dict="fuzz/$target.dict")
    fi
    # New inputs go to a corpus folder in the build folder; the committed seeds stay as they are.
    corpus="$build/corpus/$target"
    if [ "$long" = 0 ]; then
        rm -rf "$corpus"
    fi
    mkdir -p "$corpus"
    log="$build/fuzz-$target.log"
    start=$(date +%s)
    if "$build/bin/fuzz_$target" "${options[@]}" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
        echo "fuzz_$target: $(grep -Eo 'Done [0-9]+ runs' "$log" | tail -1) in $(($(date +%s) - start)) s, no findings"
    else
        echo "fuzz_$target: FINDING (see $log and fuzz/findings/$target-*):" >&2
        grep -E '==FUZZ ORACLE==|ERROR:|runtime error|SUMMARY' -A2 "$log" | head -20 >&2 || true
        status=1
    fi
done
exit "$status"
