#!/usr/bin/env bash
# `make run` on a machine without MIDI output or sound hardware, on its own X
# display:
#   1. without a display it fails at once, before it builds or starts
#      anything;
#   2. it starts FluidSynth on a private JACK server for the window;
#   3. a second run while the first window is open says at once that it uses
#      that FluidSynth, and opens its own window on it;
#   4. each run ends with its window; FluidSynth stays while any window plays
#      on it, a killed run included, and the last run to end stops it and
#      says so.
#
#   run_e2e.sh path/to/tavrelle
# The private server is named $TAVRELLE_E2E_JACK_SERVER-run.
set -euo pipefail
tool=$(readlink -f "${1:?usage: run_e2e.sh path/to/tavrelle}")
root=$(cd "$(dirname "$0")/../.." && pwd)
server=${TAVRELLE_E2E_JACK_SERVER:-tavrelle-e2e}
export TAVRELLE_RUN_JACK_SERVER=$server-run

source "$(dirname "$0")/session.sh"
begin_scratch_run
first="" second="" third=""
teardown() {
  stop "$third" 10
  stop "$second" 5
  stop "$first" 10
  release_server "$TAVRELLE_RUN_JACK_SERVER"
}

start_session x-only
# No MIDI output anywhere: no JACK server under the default name either.
export JACK_DEFAULT_SERVER=$server-none

# --- 1. No display --------------------------------------------------------
started=$(ms_now)
status=0
env -u DISPLAY -u WAYLAND_DISPLAY make -s -C "$root" run BUILD_DIR="$work/no-build" >"$work/make.out" 2>&1 || status=$?
elapsed=$(($(ms_now) - started))
[ "$status" -ne 0 ] && grep -q "no display" "$work/make.out" || fail "make run without a display: $(cat "$work/make.out")"
((elapsed < 5000)) || fail "make run without a display took $elapsed ms to fail"
[ ! -e "$work/no-build" ] || fail "make run built without a display"
! jack_wait -s "$TAVRELLE_RUN_JACK_SERVER" -c 2>/dev/null | grep -qx running || fail "make run started JACK without a display"

# --- 2. The first run -----------------------------------------------------
# window_of <run>: the main window of the tool that run started.
window_of() {
  local w
  for w in $(xdotool search --onlyvisible --pid "$(pgrep -P "$1" -x tavrelle)" 2>/dev/null); do
    [ "$(xdotool getwindowname "$w" 2>/dev/null)" = Tavrelle ] && { echo "$w"; return 0; }
  done
  return 1
}
windows_shown() { for w in $(titled_tavrelle); do echo "$w $(xdotool getwindowname "$w")"; done | tr '\n' ' '; }
setsid "$root/scripts/run.sh" "$work/bin/tavrelle" >"$work/first.out" 2>&1 &
first=$!
wait_for 60 window_of "$first" || fail "the first run opened no window: $(cat "$work/first.out")"
grep -q "starting FluidSynth on a private JACK server ($TAVRELLE_RUN_JACK_SERVER)" "$work/first.out" ||
  fail "the first run did not say what it started: $(cat "$work/first.out")"
window=$(window_of "$first")

# --- 3. A second run beside it -------------------------------------------
started=$(ms_now)
setsid "$root/scripts/run.sh" "$work/bin/tavrelle" >"$work/second.out" 2>&1 &
second=$!
wait_for 30 grep -q "already running" "$work/second.out" || fail "the second run said nothing: $(cat "$work/second.out")"
said_ms=$(($(ms_now) - started))
wait_for 60 window_of "$second" || fail "the second run opened no window: $(cat "$work/second.out")"
other=$(window_of "$second")
# Both play on the one FluidSynth.
wait_for 60 sh -c "[ \$(jack_lsp -s '$TAVRELLE_RUN_JACK_SERVER' -c fluidsynth:midi_00 | grep -c '^ *tavrelle') -ge 2 ]" ||
  fail "the two windows do not both play on FluidSynth: $(jack_lsp -s "$TAVRELLE_RUN_JACK_SERVER" -c)"

# --- 4. Each run ends with its window -------------------------------------
# Alt+F4 again, up to three times, for a window still there 3 s later (a
# close takes under a second): with two windows of the tool open, openbox now
# and then takes no notice of the key (the tool was seen idle, never told to
# close).
close_for_good() {
  local try
  for try in 1 2 3; do
    close_window "$1"
    wait_for 3 sh -c "! xwininfo -id $1 >/dev/null 2>&1" && return 0
  done
}
server_runs() { jack_wait -s "$TAVRELLE_RUN_JACK_SERVER" -c 2>/dev/null | grep -qx running; }
players() { jack_lsp -s "$TAVRELLE_RUN_JACK_SERVER" -c fluidsynth:midi_00 2>/dev/null | grep -c '^ *tavrelle' || true; }
# The first window, which started FluidSynth, closes while the second plays.
close_for_good "$window"
wait_for 60 eval "! process_alive $first" || fail "the first run did not end with its window; shown: $(windows_shown)"
wait "$first" || fail "the first run failed: $(cat "$work/first.out")"
first=""
grep -q "keeps running for 1 other window" "$work/first.out" ||
  fail "the first run did not say FluidSynth stays: $(cat "$work/first.out")"
server_runs && jack_lsp -s "$TAVRELLE_RUN_JACK_SERVER" | grep -qx fluidsynth:midi_00 || fail "closing the first window stopped the second one's FluidSynth"
[ "$(players)" -ge 1 ] || fail "the second window no longer plays on FluidSynth: $(jack_lsp -s "$TAVRELLE_RUN_JACK_SERVER" -c)"

# A third run joins; then the second is killed, tool and all, so that it
# never takes itself off the list.
setsid "$root/scripts/run.sh" "$work/bin/tavrelle" >"$work/third.out" 2>&1 &
third=$!
wait_for 60 window_of "$third" || fail "the third run opened no window: $(cat "$work/third.out")"
grep -q "already running" "$work/third.out" || fail "the third run did not use the running FluidSynth: $(cat "$work/third.out")"
last=$(window_of "$third")
killed_tool=$(pgrep -P "$second" -x tavrelle)
kill -KILL "$second" "$killed_tool"
wait "$second" 2>/dev/null || true
wait_for 30 eval "! process_alive $killed_tool" || fail "the killed tool is still there"
second=""
server_runs || fail "killing the second run stopped FluidSynth under the third window"

close_for_good "$last"
wait_for 60 eval "! process_alive $third" || fail "the third run did not end with its window; shown: $(windows_shown)"
wait "$third" || fail "the third run failed: $(cat "$work/third.out")"
third=""
grep -q "Stopped FluidSynth and the private JACK server $TAVRELLE_RUN_JACK_SERVER" "$work/third.out" ||
  fail "the last run did not say it stopped FluidSynth: $(cat "$work/third.out")"
! server_runs || fail "the last run left its JACK server running"
echo "make run: ok (the second run spoke after $said_ms ms)"
