#!/usr/bin/env bash
# The MIDI output services' contract against WinMM, under Wine:
#   tests/windows/contract_test.sh BUILD-WINDOWS-DIR [GoogleTest flags]
# The Windows build's midi_contract_test.exe runs its WinMM cases in the
# Windows tests' prefix, without a display (WinMM needs none). A case Wine
# cannot show is skipped with its reason in the output; the run fails unless
# at least one case ran and passed. What Wine itself prints (alsa-lib's
# complaints on a machine without a sound card) goes to contract-test/wine.log
# in the build folder, shown when the run fails.
set -euo pipefail
build=$(cd "${1:?usage: contract_test.sh BUILD-WINDOWS-DIR [GoogleTest flags]}" && pwd)
shift
suite=$build/midi_contract_test.exe
fail() { echo "FAIL: $*" >&2; exit 1; }
[ -f "$suite" ] || fail "build $suite first (make windows)"
work=$build/contract-test
rm -rf "$work"
mkdir -p "$work"
source "$(dirname "$0")/wine_prefix.sh"
# Wine's server and the prefix's services end with the run.
trap 'wineserver -k 2>/dev/null || true' EXIT
started=$(date +%s)

# Each step is bounded well within ctest's limit.
if [ ! -e "$WINEPREFIX/.tavrelle-prefix" ]; then
  echo "contract on WinMM: making the Wine prefix, once for the build folder"
  export -f make_wine_prefix
  timeout -k 5 150 bash -c 'make_wine_prefix "$0"' "$work/wineboot.log" ||
    fail "wineboot failed or took over 150 s: $(tail -5 "$work/wineboot.log")"
fi
status=0
DISPLAY= timeout -k 5 60 wine "$suite" --gtest_color=no --gtest_filter='services/midi_contract_test.*/winmm' "$@" \
  2>"$work/wine.log" | tr -d '\r' | tee "$work/out" || status=$?
if ((status != 0)); then
  echo "--- Wine's output" >&2
  tail -n 20 "$work/wine.log" >&2
  ((status != 124)) || fail "the suite did not end within 60 s"
  fail "the contract failed on WinMM"
fi
grep -q '^\[       OK \]' "$work/out" || fail "no case ran and passed against WinMM"
echo "contract on WinMM under Wine: ok ($(($(date +%s) - started)) s)"
