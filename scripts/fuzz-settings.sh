#!/bin/sh
# Fuzzes loading and saving the settings file for N seconds (default 30).
#   scripts/fuzz-settings.sh [seconds]
# Builds the fuzzer with clang in its own build folder (TAVRELLE_FUZZ_BUILD_DIR,
# default build-fuzz), seeds it from tests/data/settings, and prints one line
# on success. On a crash, a sanitizer report or a broken fixed point it prints
# the fuzzer's log and the input that failed, and exits non-zero.
set -eu

seconds=${1:-30}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAVRELLE_FUZZ_BUILD_DIR:-$root/build-fuzz}
corpus=$build/fuzz/settings-corpus
artifacts=$build/fuzz/settings-artifacts/
log=$build/fuzz/settings-fuzz.log

mkdir -p "$build/fuzz"
if ! { CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
         -DTAVRELLE_BUILD_FUZZ=ON -DTAVRELLE_BUILD_TESTS=OFF -DTAVRELLE_BUILD_BENCH=OFF &&
       cmake --build "$build" --target settings_fuzzer; } >"$log" 2>&1; then
    cat "$log"
    echo "fuzz-settings: the fuzzer did not build" >&2
    exit 1
fi

mkdir -p "$corpus" "$artifacts"
# The working corpus grows from run to run; the seeds are the test inputs.
if ! "$build/fuzz/settings_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$artifacts" -print_final_stats=1 \
        "$corpus" "$root/tests/data/settings" >"$log" 2>&1; then
    cat "$log"
    echo "fuzz-settings: failed; the input is in $artifacts" >&2
    exit 1
fi

runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
echo "fuzz-settings: ${runs:-?} inputs in ${seconds} s, no crash, saving stays a fixed point"
