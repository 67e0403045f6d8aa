#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) in
# build-fuzz/ and runs each for a set time, or until a number of executions, whichever comes
# first:
#   tools/fuzz.sh [seconds per target, default 120] [executions, default unlimited] [target...]
# Targets: settings_file settings_roundtrip patch output_definition input_definition dispatch hex
# (all by default).
# The seeds in tests/fuzz/corpus/<target>/ are read; what the fuzzer learns goes to
# build-fuzz/corpus/<target>/, a finding to build-fuzz/findings/. Exits 1 when any target found
# something; put such an input into the target's seed folder and fix the fault.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-120}
runs=${2:--1}
shift $(( $# > 2 ? 2 : $# ))
targets=("$@")
[ ${#targets[@]} -eq 0 ] &&
    targets=(settings_file settings_roundtrip patch output_definition input_definition dispatch hex)

CXX_FUZZ=${CXX_FUZZ:-clang++-14}
launcher=""
command -v ccache >/dev/null 2>&1 && launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$CXX_FUZZ" \
    -DTEMPOVANE_CORE_ONLY=ON -DTEMPOVANE_FUZZ=ON $launcher >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

mkdir -p build-fuzz/findings build-fuzz/logs
failed=0
printf '%-20s %14s %9s  %s\n' target executions seconds result > build-fuzz/summary.txt
for t in "${targets[@]}"; do
    mkdir -p "build-fuzz/corpus/$t"
    log="build-fuzz/logs/$t.log"
    start=$(date +%s)
    result=clean
    # The first folder takes what the fuzzer learns; the seed folder is only read. Inputs are
    # kept short: settings and definitions of a few kilobytes reach every key.
    # Short allocation stacks: recording full ones costs a third of the time of a run. A finding
    # replays with full stacks: build-fuzz/fuzz_<target> <the finding's file>.
    if ! UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ASAN_OPTIONS=detect_leaks=1:malloc_context_size=${FUZZ_MALLOC_CONTEXT:-3} \
        "build-fuzz/fuzz_$t" -max_total_time="$seconds" -runs="$runs" -max_len=4096 \
        -timeout=60 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="build-fuzz/findings/$t-" \
        "build-fuzz/corpus/$t" "tests/fuzz/corpus/$t" >"$log" 2>&1; then
        result="FINDING (see $log)"
        failed=1
    fi
    executed=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
    printf '%-20s %14s %9s  %s\n' "$t" "$executed" "$(( $(date +%s) - start ))" "$result" \
        | tee -a build-fuzz/summary.txt
done
cat build-fuzz/summary.txt
exit $failed
