#!/usr/bin/env bash
# Builds Burrowlens and runs the whole test suite: a normal build, then the
# same tests under AddressSanitizer + UndefinedBehaviorSanitizer, then the
# threaded tests under ThreadSanitizer. Fails on any failure or report.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# run_suite DIR LABEL TARGET CMAKE-ARGS...: configure, build TARGET, run the
# tests that carry LABEL.
run_suite() {
    local dir=$1 label=$2 target=$3
    shift 3
    echo "== $dir"
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" --target "$target"
    local log="$dir/ctest.log"
    # A private session bus: the single-instance tests signal across processes.
    dbus-run-session -- ctest --test-dir "$dir" --output-on-failure --no-tests=error -L "$label" \
        --timeout 600 | tee "$log"
    if grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error:|WARNING: ThreadSanitizer' "$log" \
        "$dir"/Testing/Temporary/LastTest.log 2>/dev/null; then
        echo "sanitizer report in $dir" >&2
        return 1
    fi
}

run_suite build/test . all -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite build/asan . all -DCMAKE_BUILD_TYPE=Debug -DBL_SANITIZE=address -DBL_BUILD_BENCH=OFF
run_suite build/tsan concurrent concurrent_tests -DCMAKE_BUILD_TYPE=Debug -DBL_SANITIZE=thread -DBL_BUILD_BENCH=OFF
