#!/usr/bin/env bash
# The built tool under Xvfb and openbox, driven by xdotool, when things go
# wrong around it:
#   1. its JACK server is killed while it runs;
#   2. the port it plays on goes away and comes back, and the device list
#      follows;
#   3. its JACK server stalls (SIGSTOP) at start-up and at the close.
# Settings files that are no ordinary files are faults_window_test's.
# Each step checks that nothing crashes or hangs, that the user is told what
# they must know, and that the settings file is saved.
#
#   jack_faults_e2e.sh path/to/tavrelle
#
# The private JACK server is named by $TAVRELLE_FAULTS_JACK_SERVER (default
# tavrelle-faults). The name must stay the same from run to run: a killed
# server keeps its place in JACK's small table of servers until a server of
# the same name starts again, which this script does before it ends.
set -euo pipefail
tool=$(readlink -f "${1:?usage: jack_faults_e2e.sh path/to/tavrelle}")
server=${TAVRELLE_FAULTS_JACK_SERVER:-tavrelle-faults}

source "$(dirname "$0")/../e2e/session.sh"
begin_scratch_run
jackd_stopped=""

note() { echo "jack faults: $*"; }

# A stalled server goes on before the session stops, which gives back the
# place in JACK's table the killed server held and removes what it and its
# clients left in /dev/shm; a run that leaves either, or a process, behind
# fails.
teardown() { [ -z "$jackd_stopped" ] || kill -CONT "$jackd_stopped"; }

# Pixels of the program and bank numbers, as a checksum.
labels_shot() {
  xdotool mousemove 0 0
  sleep 0.3
  import -silent -window "$window" -crop 40x32+116+30 +repage rgb:- | md5sum
}
# Pixels of the device list's field, as a checksum.
device_shot() {
  import -silent -window "$window" -crop 150x18+50+9 +repage rgb:- | md5sum
}
settings_text() { tr -d '\r\0' <"$work/bin/tavrelle.ini"; }
# Whether the saved settings hold this whole line.
saved_line() {
  local saved; saved=$(settings_text)
  grep -aqxF -- "$1" <<<"$saved"
}

start_session
ini=$work/bin/tavrelle.ini

# --- 1. The JACK server is killed while the tool runs ----------------------
rm -f "$ini"
: >"$services_state/capture.out"
launch
xdotool key --delay 60 Up
wait_for 5 plays 0 1 || fail "FluidSynth does not play preset 1 before the server dies"

first_port=$(jack_lsp -s "$server" | grep -xE 'fsynth:midi_00|capture:input' | head -1)
jackd_pid=$(service_pid jackd)
kill -KILL "$jackd_pid"
wait "$jackd_pid" 2>/dev/null || true
stop_service capture 2
stop_service fluidsynth 2
stop_service jackd

# Keys and label presses still step the numbers and send, silently.
before=$(labels_shot)
xdotool key --delay 60 Up Up Up
xdotool mousemove --window "$window" 60 54 click 1
stepped=$(labels_shot)
[ "$stepped" != "$before" ] || fail "the program and bank numbers did not change without a server"
xdotool key --delay 60 Down Down Down
xdotool mousemove --window "$window" 60 54 click 3
[ "$(labels_shot)" = "$before" ] || fail "stepping back did not bring back the same numbers"
no_message_box || fail "a send without a server brought up a message"
alive "$tool_pid" || fail "the tool died with its server"

# The list, opened again, reads the ports anew: the dead server's are gone,
# so there is nothing to pick, and the device in use is still the one saved.
xdotool mousemove --window "$window" 120 18 click 1
sleep 0.5
! has_drop_down || fail "the list still offers the ports of a server that died"
no_message_box || fail "opening the list without a server brought up a message"
alive "$tool_pid" || fail "the tool died after the list was read without a server"
close_tool
dead_close_ms=$close_ms
saved_line "dev_num=0" && saved_line "gakki=$first_port" \
  || fail "settings after the server died: $(settings_text)"
note "server killed: list emptied, closed in ${dead_close_ms} ms"

# --- 2. The port goes away and comes back ----------------------------------
rm -f "$ini"
start_jack || fail "JACK did not start again under $server"
start_fluidsynth
start_capture
launch
xdotool key --delay 60 Up Up Up Up
wait_for 5 plays 0 4 || fail "FluidSynth does not play preset 4"

shown_device=$(device_shot)
stop_service fluidsynth 5
wait_for 10 eval '! has_port fsynth:midi_00' || fail "FluidSynth's port did not go away"
# The list follows by itself: the device that went is no longer shown.
wait_for 10 eval '[ "$(device_shot)" != "$shown_device" ]' || fail "the list still shows the port that went away"
xdotool key --delay 60 Up
no_message_box || fail "a send to a port that went away brought up a message"
alive "$tool_pid" || fail "the tool died after the port went away"

# The module comes back under the same name, as one switched off and on
# again: the tool opens it again by itself and gives it the selection once,
# with no message and no pick.
start_fluidsynth
wait_for 10 plays 0 5 || fail "FluidSynth was not given its voice when it came back: $(fluid 'channels -verbose' | head -1);
connections: $(jack_lsp -c 2>&1 | tr '\n' ' ')"
no_message_box || fail "the port that came back brought up a message"
# The list, opened again, holds it where JACK now lists it (its new client
# may take the old one's place).
position=$(jack_lsp | grep -xE 'fsynth:midi_00|capture:input' | grep -nx 'fsynth:midi_00' | cut -d: -f1)
close_tool
saved_line "dev_num=$((position - 1))" && saved_line 'gakki=fsynth:midi_00' \
  || fail "settings after the port came back: $(settings_text)"
note "port gone and back: reopened by itself, closed in ${close_ms} ms"
# --- 3. The JACK server stalls ----------------------------------------------
stall() { jackd_stopped=$(service_pid jackd); kill -STOP "$jackd_stopped"; }
resume() { kill -CONT "$jackd_stopped"; jackd_stopped=""; }

rm -f "$ini"
stall
started=$(ms_now)
start_tool
# Start-up cannot list the server's ports: it says so, then that the first
# entry does not open, then shows the window.
wait_for 6 window_named tavrelle || fail "no message within 6 s of a start-up against a stalled server"
first_message_ms=$(($(ms_now) - started))
boxes=0
while box=$(window_named tavrelle); do
  boxes=$((boxes + 1))
  ((boxes <= 2)) || fail "more than two messages at a start-up against a stalled server"
  wait_for 5 xdotool windowactivate --sync "$box" || fail "a message box cannot be activated"
  xdotool key Return
  answered=$(ms_now)
  wait_for 6 eval "! xwininfo -id $box | grep -q IsViewable" || fail "a message box did not answer Enter"
  wait_for 6 eval 'window_named tavrelle || window_named Tavrelle' || fail "nothing within 6 s of the message box"
done
window=$(window_named Tavrelle) || fail "no window after the messages"
window_ms=$(($(ms_now) - answered))

# The server resumes: the list, opened again, finds FluidSynth, and picking it plays.
resume
position=$(jack_lsp -s "$server" | grep -xE 'fsynth:midi_00|capture:input' | grep -nx 'fsynth:midi_00' | cut -d: -f1)
sleep 1
pick_device $((position - 1)) 2
xdotool key --delay 60 Up Up
wait_for 5 plays 0 2 || fail "FluidSynth does not play preset 2 after the server resumed"

# Stalled again, the close still saves and ends the tool at once.
stall
close_tool
((close_ms <= 1000)) || fail "the close took ${close_ms} ms with the server stalled"
saved_line 'gakki=fsynth:midi_00' || fail "settings after a close against a stalled server: $(settings_text)"
resume
note "server stalled: first message after ${first_message_ms} ms, window ${window_ms} ms after the last of ${boxes}, close to exit ${close_ms} ms"
echo "jack faults end-to-end: ok"
