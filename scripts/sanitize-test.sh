#!/usr/bin/env bash
# Builds the tool and its tests with AddressSanitizer (leaks included) and
# UndefinedBehaviorSanitizer in a build folder of its own and runs every test
# there, at -O1 with line tables only (the sanitizers' own advice, and half
# the build time of -O2 -g; a report still names its lines). Fails when a
# test fails or when any instrumented process, the tool started by the
# end-to-end tests included, reported a problem.
#   scripts/sanitize-test.sh [ctest arguments...]
#   scripts/sanitize-test.sh --build-only
# The build folder is TAVRELLE_ASAN_BUILD_DIR (default build-asan). Known
# leaks of libraries we do not build are listed in
# tests/faults/lsan-suppressions.txt; nothing of ours may be listed there.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAVRELLE_ASAN_BUILD_DIR:-$root/build-asan}
reports=$build/sanitizer-reports
log=$build/sanitize-build.log

mkdir -p "$build"
if ! { cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRELLE_SANITIZE=ON \
         -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
         -DTAVRELLE_BUILD_BENCH=OFF -DTAVRELLE_BUILD_FUZZ=OFF &&
       cmake --build "$build" -j $(($(nproc) + 2)); } >"$log" 2>&1; then
    cat "$log"
    echo "sanitize-test: the instrumented build failed" >&2
    exit 1
fi
[ "${1:-}" != --build-only ] || exit 0

# Every report goes to a file of its own (<prefix>.<pid>), so that a report
# from a process whose output nobody reads still fails the run. The folder
# is open to all: the install test runs the tool as another user.
rm -rf "$reports"
mkdir -p "$reports"
chmod 1777 "$reports"
export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
export LSAN_OPTIONS="suppressions=$root/tests/faults/lsan-suppressions.txt:print_suppressions=0"
# The instrumented tool runs two to three times slower: the scripts' waits
# (scripts/services.sh) get three times their seconds.
export TAVRELLE_WAIT_SCALE=${TAVRELLE_WAIT_SCALE:-3}

# The ALSA guest test is left out: its guest runs the tool in an environment
# of its own, where these settings and the report folder do not reach.
status=0
# The Windows program is not instrumented, and the guest reaches neither the
# sanitizers' settings nor their report folder: both run once, in make test.
# So does the native Wayland run: Qt's Wayland plugin leaks and is unloaded
# before the leak check can name it. The checks of the package, its desktop
# files and the dependency script run nothing instrumented.
ctest --test-dir "$build" --output-on-failure -j 1 -LE '^(windows|alsa)$' \
    -E '^(wayland_e2e|package_lint|desktop_entry_validate|metainfo_validate|install_deps_test)$' "$@" || status=$?

shopt -s nullglob
found=("$reports"/*)
if ((${#found[@]})); then
    for report in "${found[@]}"; do
        echo "--- $report"
        cat "$report"
    done
    echo "sanitize-test: ${#found[@]} sanitizer report(s), above" >&2
    exit 1
fi
if ((status != 0)); then
    echo "sanitize-test: tests failed in the instrumented build" >&2
    exit "$status"
fi
echo "sanitize-test: every test passed with AddressSanitizer and UndefinedBehaviorSanitizer, no reports"
