#!/usr/bin/env bash
# The built tool under Xvfb and openbox, driven by xdotool, when things go
# wrong around it:
#   1. it starts on settings files that are no ordinary settings files;
#   2. its JACK server is killed while it runs;
#   3. the port it plays on goes away and comes back.
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
soundfont=/usr/share/sounds/sf2/TimGM6mb.sf2

work=$(mktemp -d)
x_pids=()
jackd_pid="" fluid_pid="" capture_pid="" tool_pid=""
server_killed=0

fail() { echo "FAIL: $*" >&2; exit 1; }
note() { echo "jack faults: $*"; }

# wait_for <seconds> <command...>: polls every 0.1 s.
wait_for() {
  local limit=$(($1 * 10)); shift
  for ((i = 0; i < limit; i++)); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }
# Ends a child: SIGTERM, then SIGKILL after `grace` seconds; always reaped.
stop() {
  local pid=$1 grace=${2:-5}
  alive "$pid" || { wait "$pid" 2>/dev/null || true; return 0; }
  kill -TERM "$pid" 2>/dev/null || true
  wait_for "$grace" sh -c "! kill -0 $pid" || kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
ms_now() { date +%s%3N; }

cleanup() {
  local status=$?
  set +e
  stop "$tool_pid" 2
  stop "$capture_pid" 2
  stop "$fluid_pid" 2
  stop "$jackd_pid" 10
  # A server this run killed gives back its place in JACK's table only when
  # one of the same name has run.
  if ((server_killed)); then
    start_jack && stop "$jackd_pid" 10
  fi
  for pid in "${x_pids[@]}"; do stop "$pid" 2; done
  if [ $status -eq 0 ]; then rm -rf "$work"; else echo "kept $work for inspection"; fi
}
trap cleanup EXIT

free_display() {
  for n in $(seq 150 200); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || { echo ":$n"; return; }
  done
  fail "no free X display"
}
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
fluid() {  # one shell command to FluidSynth, its answer on stdout
  python3 - "$shell_port" "$1" <<'PY'
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=5)
s.sendall(sys.argv[2].encode() + b"\n")
time.sleep(0.3)
s.settimeout(0.5)
out = b""
try:
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        out += chunk
except socket.timeout:
    pass
print(out.decode(errors="replace"))
PY
}

start_jack() {
  jackd -n "$server" --no-realtime -d dummy -r 48000 -p 256 >>"$work/jackd.log" 2>&1 &
  jackd_pid=$!
  jack_wait -w -t 10 >/dev/null 2>&1 || { echo "JACK server $server did not start: $(tail -3 "$work/jackd.log")" >&2; return 1; }
}
has_port() {
  local ports; ports=$(jack_lsp 2>/dev/null)
  grep -qx -- "$1" <<<"$ports"
}
start_fluidsynth() {
  fluidsynth -q -s -i -a jack -m jack -o shell.port="$shell_port" -o midi.jack.id=fsynth -o audio.jack.id=fsynth \
    "$soundfont" >>"$work/fluidsynth.log" 2>&1 &
  fluid_pid=$!
  wait_for 15 has_port fsynth:midi_00 || fail "FluidSynth did not join JACK"
  wait_for 10 fluid channels || fail "FluidSynth's shell does not answer"
}
start_capture() {
  jack_midi_dump capture >"$work/capture.txt" 2>/dev/null &
  capture_pid=$!
  wait_for 10 has_port capture:input || fail "capture port missing"
}
# channel index, preset
plays() {
  local answer; answer=$(fluid "channels -verbose")
  grep -q "^chan $1, sfont [0-9]*, bank 0, preset $2," <<<"$answer"
}
captured() { awk '{print $2, $3, $4}' "$work/capture.txt" | sed 's/ *$//'; }

# xdotool matches titles ignoring case: the main window is "Tavrelle", the
# message box "tavrelle". The list's drop-down has no title, and it is the
# tool's one window that bypasses the window manager.
titled_tavrelle() { xdotool search --onlyvisible --name '^tavrelle$' 2>/dev/null || true; }
main_window() { titled_tavrelle | head -1; }
# other_window <candidates> <override-redirect state: yes or no>
other_window() {
  local w
  for w in $1; do
    [ "$w" != "${window:-none}" ] || continue
    xwininfo -id "$w" 2>/dev/null | grep -q "Override Redirect State: $2" && { echo "$w"; return 0; }
  done
  return 0
}
message_box() { other_window "$(titled_tavrelle)" no; }
has_message_box() { [ -n "$(message_box)" ]; }
no_message_box() { [ -z "$(message_box)" ]; }
drop_down() { other_window "$(xdotool search --onlyvisible --class '^tavrelle$' 2>/dev/null || true)" yes; }
has_drop_down() { [ -n "$(drop_down)" ]; }
no_drop_down() { [ -z "$(drop_down)" ]; }

# Starts the copy of the tool and waits for its window; prints how long that
# took in milliseconds.
launch() {
  local started; started=$(ms_now)
  "$work/bin/tavrelle" >"$work/tool.out" 2>&1 &
  tool_pid=$!
  window=""
  wait_for 15 sh -c "xdotool search --onlyvisible --name '^Tavrelle$' | grep -q ." \
    || fail "the window did not appear ($(cat "$work/tool.out"))"
  window=$(main_window)
  launch_ms=$(($(ms_now) - started))
  xdotool windowactivate --sync "$window" >/dev/null 2>&1 || true
}
# Alt+F4 through the window manager; the tool must end, cleanly, at once.
close_tool() {
  local started; started=$(ms_now)
  wait_for 5 xdotool windowactivate --sync "$window" \
    || fail "the window cannot be activated: $(tail -3 "$work/openbox.log")"
  xdotool key alt+F4
  wait_for 10 sh -c "! kill -0 $tool_pid" || fail "the tool did not exit within 10 s of Alt+F4"
  close_ms=$(($(ms_now) - started))
  local status=0
  wait "$tool_pid" || status=$?
  tool_pid=""
  [ "$status" -eq 0 ] || fail "the tool exited with status $status"
  [ ! -s "$work/tool.out" ] || fail "the tool printed: $(cat "$work/tool.out")"
}
dismiss_message_box() {
  local box; box=$(message_box)
  wait_for 5 xdotool windowactivate --sync "$box" || fail "the message box cannot be activated"
  xdotool key Return
  wait_for 5 no_message_box || fail "the message box did not answer Enter"
}
# Picks entry `index` of the two in the device list with the mouse, wherever
# the drop-down opens.
pick_device() {
  local index=$1 entries=2 X Y WIDTH HEIGHT SCREEN WINDOW
  xdotool mousemove --window "$window" 120 18 click 1
  wait_for 5 has_drop_down || fail "the device list did not open"
  eval "$(xdotool getwindowgeometry --shell "$(drop_down)")"
  xdotool mousemove $((X + WIDTH / 3)) $((Y + HEIGHT * (2 * index + 1) / (2 * entries))) click 1
  wait_for 5 no_drop_down || fail "the device list did not close after the pick"
}
# Pixels of the program and bank numbers, as a checksum.
labels_shot() {
  xdotool mousemove 0 0
  sleep 0.3
  import -silent -window "$window" -crop 40x32+116+30 +repage rgb:- | md5sum
}
settings_text() { tr -d '\r' <"$work/bin/tavrelle.ini"; }
# Whether the saved settings hold this whole line.
saved_line() {
  local saved; saved=$(settings_text)
  grep -aqxF -- "$1" <<<"$saved"
}

export DISPLAY; DISPLAY=$(free_display)
export JACK_DEFAULT_SERVER=$server
export XDG_RUNTIME_DIR="$work/runtime"; mkdir -m 700 "$XDG_RUNTIME_DIR"
export HOME="$work/home"; mkdir -p "$HOME"
shell_port=$(free_port)

Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 & x_pids+=($!)
wait_for 10 xdpyinfo || fail "Xvfb did not start"
openbox >"$work/openbox.log" 2>&1 & x_pids+=($!)
wait_for 10 sh -c 'xprop -root _NET_SUPPORTED | grep -q _NET_ACTIVE_WINDOW' || fail "openbox did not start"

start_jack || fail "no JACK server"
start_fluidsynth
start_capture
mkdir "$work/bin"
cp "$tool" "$work/bin/tavrelle"
ini=$work/bin/tavrelle.ini

# --- 1. Settings files that are no ordinary settings files -----------------
mkfifo "$ini"
launch
no_message_box || fail "a FIFO as settings file brought up a message"
fifo_ms=$launch_ms
close_tool
[ -f "$ini" ] && [ ! -p "$ini" ] || fail "the FIFO was not replaced by a settings file"
saved_line 'gakki=fsynth:midi_00' || fail "settings after the FIFO: $(settings_text)"

head -c 10485760 /dev/zero | tr '\0' 'A' >"$ini"
printf '\n[other]\nkeep=yes\n' >>"$ini"
launch
no_message_box || fail "a 10 MiB line brought up a message"
long_line_ms=$launch_ms
close_tool
[ "$(settings_text | sed -n '/^\[other\]$/,/^$/p')" = $'[other]\nkeep=yes' ] || fail "the section after the long line was lost"

python3 -c 'import os, sys; r = os.urandom(65536); sys.stdout.buffer.write(r + b"\n[other]\nkeep=yes\n" + r)' >"$ini"
launch
no_message_box || fail "random bytes brought up a message"
random_ms=$launch_ms
close_tool
saved_line '[other]' && saved_line 'keep=yes' || fail "the section among random bytes was lost"
note "start-up to a shown window: FIFO ${fifo_ms} ms, 10 MiB line ${long_line_ms} ms, random bytes ${random_ms} ms"

# --- 2. The JACK server is killed while the tool runs ----------------------
rm -f "$ini"
: >"$work/capture.txt"
launch
xdotool key --delay 60 Up
wait_for 5 plays 0 1 || fail "FluidSynth does not play preset 1 before the server dies"

kill -KILL "$jackd_pid"
wait "$jackd_pid" 2>/dev/null || true
jackd_pid="" server_killed=1
stop "$capture_pid" 2; capture_pid=""
stop "$fluid_pid" 2; fluid_pid=""

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

# A device switch cannot open anything now and says so.
started=$(ms_now)
pick_device 1
wait_for 10 has_message_box || fail "no message after a device switch without a server"
switch_ms=$(($(ms_now) - started))
dismiss_message_box
alive "$tool_pid" || fail "the tool died after the failed switch"
close_tool
dead_close_ms=$close_ms
saved_line 'dev_num=1' && saved_line 'gakki=capture:input' \
  || fail "settings after the server died: $(settings_text)"
note "server killed: failed switch reported after ${switch_ms} ms, closed in ${dead_close_ms} ms"

# --- 3. The port goes away and comes back ----------------------------------
rm -f "$ini"
start_jack || fail "JACK did not start again under $server"
server_killed=0
start_fluidsynth
start_capture
launch
xdotool key --delay 60 Up Up Up Up
wait_for 5 plays 0 4 || fail "FluidSynth does not play preset 4"

stop "$fluid_pid" 5; fluid_pid=""
wait_for 10 eval '! has_port fsynth:midi_00' || fail "FluidSynth's port did not go away"
xdotool key --delay 60 Up
no_message_box || fail "a send to a port that went away brought up a message"
# Picking it while it is gone fails and says so.
pick_device 0
wait_for 10 has_message_box || fail "no message after picking a port that is gone"
dismiss_message_box

start_fluidsynth
plays 0 0 || fail "the new FluidSynth does not start on preset 0"
# Picking it again opens it where it is now and sends the selection there.
pick_device 0
wait_for 10 plays 0 5 || fail "FluidSynth does not play preset 5 after it came back: $(fluid 'channels -verbose' | head -1);
message box: $(message_box); connections: $(jack_lsp -c 2>&1 | tr '\n' ' ')"
no_message_box || fail "reopening the port that came back brought up a message"
close_tool
saved_line 'gakki=fsynth:midi_00' || fail "settings after the port came back: $(settings_text)"
note "port gone and back: reopened, closed in ${close_ms} ms"
echo "jack faults end-to-end: ok"
