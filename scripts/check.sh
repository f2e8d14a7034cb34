#!/usr/bin/env bash
# The robustness checks that scripts/test.sh does not make, each in a build folder
# of its own (ccache keeps the rebuilds short):
#   asan  the project's code with AddressSanitizer + UBSan (build-asan), the whole
#         test suite under Xvfb;
#   tsan  the core, JUCE's core modules and the core's tests with ThreadSanitizer
#         (build-tsan): the serial, protocol, client, device and station tests;
#   fuzz  every libFuzzer target of tests/fuzz (build-fuzz, clang) for a bounded
#         time from its seed corpus;
#   debug a Debug build (build-debug: NDEBUG undefined, so JUCE's assertions are
#         live) in which every JUCE assertion ends its program and leaves a report
#         (tests/FatalAssertions.h), the whole test suite under Xvfb.
# Any sanitizer or assertion report, crash, leak or fuzzer time-out fails the step.
# With no arguments all four steps run; name steps to run only those
# (scripts/check.sh fuzz). NUBO_FUZZ_SECONDS sets each fuzzer's time (default 30).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(asan tsan fuzz debug)

# Every report also goes to a file under the step's reports folder: a report in a
# child process (the simulator, the utility an end-to-end test starts) fails the
# step even when the test that started it did not notice.
sanitizer_env() {
    local reports=$1
    rm -rf "$reports"
    mkdir -p "$reports"
    export ASAN_OPTIONS="halt_on_error=1:exitcode=23:detect_leaks=1:abort_on_error=0:log_path=$reports/report"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=24:log_path=$reports/report"
    export LSAN_OPTIONS="suppressions=$root/scripts/sanitizers/lsan.supp:print_suppressions=0"
    export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:log_path=$reports/report:suppressions=$root/scripts/sanitizers/tsan.supp:print_suppressions=0"
}

# Fails when any report file was written, after printing them.
no_reports() {
    local reports=$1 found
    found=$(find "$reports" -type f -size +0 | sort)
    if [ -n "$found" ]; then
        echo "check: reports in $reports:" >&2
        for f in $found; do
            echo "---- $f" >&2
            cat "$f" >&2
        done
        return 1
    fi
}

step_asan() {
    NUBO_BUILD_DIR="$root/build-asan" NUBO_CMAKE_ARGS="-DNUBO_SANITIZE=ON" "$root/scripts/setup.sh" || return 1
    sanitizer_env "$root/build-asan/sanitizer-reports"
    local status=0
    (cd "$root/build-asan" && xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" ctest --output-on-failure -j2) || status=$?
    no_reports "$root/build-asan/sanitizer-reports" || status=1
    return $status
}

step_tsan() {
    NUBO_BUILD_DIR="$root/build-tsan" \
        NUBO_CMAKE_ARGS="-DNUBO_TSAN=ON -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14" \
        NUBO_BUILD_TARGETS="nubo_serial_tests nubo_protocol_tests nubo_client_tests nubo_device_tests nubo_station_tests nubo-devsim nubo" \
        "$root/scripts/setup.sh" || return 1
    sanitizer_env "$root/build-tsan/sanitizer-reports"
    local status=0
    (cd "$root/build-tsan" && ctest --output-on-failure -j2 -L 'nubo_(serial|protocol|client|device|station)_tests') || status=$?
    no_reports "$root/build-tsan/sanitizer-reports" || status=1
    return $status
}

step_fuzz() {
    NUBO_BUILD_DIR="$root/build-fuzz" \
        NUBO_CMAKE_ARGS="-DNUBO_FUZZ=ON -DNUBO_GUI=OFF -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14" \
        NUBO_BUILD_TARGETS="nubo_fuzzers" "$root/scripts/setup.sh" || return 1
    unset ASAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS
    export LSAN_OPTIONS="suppressions=$root/scripts/sanitizers/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    local status=0 fuzzer name work seeds
    # One fuzzer for every seed corpus: a target that failed to build cannot slip through.
    for seeds in "$root"/tests/fuzz/corpus/*/; do
        name=$(basename "$seeds")
        fuzzer="$root/build-fuzz/fuzz/$name"
        work="$root/build-fuzz/fuzz-runs/$name"
        if [ ! -x "$fuzzer" ]; then
            echo "check: $fuzzer is missing" >&2
            status=1
            continue
        fi
        rm -rf "$work"
        mkdir -p "$work/corpus" "$work/artifacts"
        echo "check: $name for ${NUBO_FUZZ_SECONDS:-30} s"
        # New inputs go to the scratch corpus; the seeds in the repository stay as they are.
        # Standard output is closed: the assembler prints every bad header there.
        if ! "$fuzzer" -max_total_time="${NUBO_FUZZ_SECONDS:-30}" -timeout=10 -rss_limit_mb=2048 \
            -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
            "$work/corpus" "$seeds" > "$work/log" 2>&1; then
            echo "check: $name failed; the input is in $work/artifacts/:" >&2
            ls "$work/artifacts" >&2
            grep -E "ERROR|SUMMARY|==[0-9]+==|runtime error|#0 |#1 |#2 |#3 " "$work/log" | head -40 >&2
            status=1
        else
            grep -E "^stat::number_of_executed_units|^Done" "$work/log" || true
        fi
    done
    return $status
}

step_debug() {
    NUBO_BUILD_DIR="$root/build-debug" NUBO_BUILD_TYPE=Debug NUBO_CMAKE_ARGS="-DNUBO_FATAL_ASSERTIONS=ON" \
        "$root/scripts/setup.sh" || return 1
    unset ASAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS LSAN_OPTIONS
    # Every program the tests run, children included, writes its assertion here.
    local reports="$root/build-debug/assertion-reports"
    rm -rf "$reports"
    mkdir -p "$reports"
    export NUBO_ASSERTION_REPORTS="$reports"
    local status=0
    (cd "$root/build-debug" && xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" ctest --output-on-failure -j2) ||
        status=$?
    no_reports "$reports" || status=1
    unset NUBO_ASSERTION_REPORTS
    return $status
}

# Each step is a function called from an "if", where bash ignores
# "set -e": every command whose failure matters is checked explicitly.
overall=0
for step in "${steps[@]}"; do
    case "$step" in
        asan | tsan | fuzz | debug) ;;
        *) echo "check: unknown step '$step' (asan, tsan, fuzz, debug)" >&2; exit 2 ;;
    esac
    start=$SECONDS
    if "step_$step"; then
        echo "check: $step passed in $((SECONDS - start)) s"
    else
        echo "check: $step FAILED after $((SECONDS - start)) s" >&2
        overall=1
    fi
done
exit $overall
