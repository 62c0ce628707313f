#!/usr/bin/env bash
# `make test`: the packages, the builds, every ctest test, the ALSA guest
# beside a fuzz run and the sanitizer build, then the sanitizer suite. Each
# stage is announced with the time since the start, a quiet stage says every
# 25 s that it still runs, and the end lists how long each stage took.
#   scripts/make-test.sh BUILD-DIR MAKE
set -euo pipefail
build=${1:?usage: make-test.sh BUILD-DIR MAKE}
make=${2:-make}
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/progress.sh"

durations=()
stage_started=0
begin() {
  stage_started=$(date +%s)
  stage "$1"
}
finish() { durations+=("$(printf '%5d s  %s' $(($(date +%s) - stage_started)) "$1")"); }
summary() {
  local line
  stage "make test: $1 after $(elapsed); the stages took:"
  for line in "${durations[@]}"; do echo "  $line"; done
}
failed() {
  summary "FAILED in the stage '$1'"
  exit 1
}

stage "make test: packages, the native and the Windows builds, every ctest test, the ALSA guest," \
  "a 30 s fuzz run and the sanitizer suite; 11 to 14 minutes on a quiet 2-core machine, 20" \
  "to 31 beside six CPU-bound loops; each stage's time is listed at the end"

begin "packages and the native build with its tests"
"$make" --no-print-directory test-build 2>&1 | beat "the native build" || failed "native build"
finish "packages and the native build"

begin "the Windows build (mingw-w64) and its zip"
"$make" --no-print-directory windows 2>&1 | beat "the Windows build" || failed "Windows build"
finish "the Windows build"

begin "every ctest test but the ALSA guest, one at a time (a line as each ends)"
ctest --test-dir "$build" --output-on-failure -j 1 -LE '^alsa$' 2>&1 | beat "ctest" || failed "ctest"
finish "ctest"

# The guest waits on its own virtual cores, the fuzz run and the sanitizer
# build on the machine's: they run side by side, the guest's output after.
begin "the ALSA guest in the background, beside a 30 s fuzz run and the sanitizer build"
ctest --test-dir "$build" --output-on-failure -L '^alsa$' >"$build/alsa-test.out" 2>&1 &
guest=$!
guest_started=$stage_started
side=0
{ "$root/scripts/fuzz-settings.sh" 30 &&
  "$root/scripts/sanitize-test.sh" --build-only; } 2>&1 |
  beat "the fuzz run and the sanitizer build" "${TAVRELLE_ASAN_BUILD_DIR:-$root/build-asan}/sanitize-build.log" ||
  side=1
finish "the fuzz run and the sanitizer build"
if kill -0 "$guest" 2>/dev/null; then
  stage "waiting for the ALSA guest"
  tail -f --pid="$guest" /dev/null | beat "the ALSA guest"
fi
guest_status=0
wait "$guest" || guest_status=$?
durations+=("$(printf '%5d s  %s' $(($(date +%s) - guest_started)) "the ALSA guest (beside them)")")
cat "$build/alsa-test.out"
((side == 0)) || failed "fuzz run or sanitizer build"
((guest_status == 0)) || failed "ALSA guest"

begin "the sanitizer suite (every test again, instrumented)"
"$root/scripts/sanitize-test.sh" 2>&1 | beat "the sanitizer suite" || failed "sanitizer suite"
finish "the sanitizer suite"
summary "passed"
