# Shared by the scripts that run the built tool for real: a private X server
# with openbox, a private JACK server with FluidSynth and a capture port, and
# the waits around them. Source it after setting:
#   work    a scratch folder for logs and captures
#   server  the private JACK server's name (fixed per build folder: JACK keeps
#           a small table of servers and gives an entry back only to a server
#           of the same name)
# Every wait is bounded; `stop` always reaps.

soundfont=/usr/share/sounds/sf2/TimGM6mb.sf2
x_pids=()
jackd_pid="" fluid_pid="" capture_pid="" tool_pid="" window=""

fail() { echo "FAIL: $*" >&2; exit 1; }

# start_session <first display> <last display>: a private environment, X with
# openbox, JACK with FluidSynth and the capture port, and the tool's copy in
# $work/bin.
start_session() {
  export DISPLAY; DISPLAY=$(free_display "$1" "$2")
  export JACK_DEFAULT_SERVER=$server
  export XDG_RUNTIME_DIR="$work/runtime"; mkdir -m 700 "$XDG_RUNTIME_DIR"
  export HOME="$work/home"; mkdir -p "$HOME"
  shell_port=$(free_port)
  start_x
  start_jack || fail "no JACK server"
  start_fluidsynth
  start_capture
  mkdir "$work/bin"
  cp "$tool" "$work/bin/tavrelle"
}
# Stops everything start_session and launch started, the tool first.
stop_session() {
  stop "$tool_pid" 2
  stop "$capture_pid" 2
  stop "$fluid_pid" 2
  stop "$jackd_pid" 10
}

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
  [ -n "$pid" ] || return 0
  alive "$pid" || { wait "$pid" 2>/dev/null || true; return 0; }
  kill -TERM "$pid" 2>/dev/null || true
  wait_for "$grace" sh -c "! kill -0 $pid" || kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
ms_now() { date +%s%3N; }

# free_display <first> <last>: an X display number nobody uses.
free_display() {
  for n in $(seq "$1" "$2"); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || { echo ":$n"; return; }
  done
  fail "no free X display"
}
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Xvfb on $DISPLAY and openbox on it. openbox announces itself before it
# manages windows; its start-up command runs once it does.
start_x() {
  Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 & x_pids+=($!)
  wait_for 10 xdpyinfo || fail "Xvfb did not start"
  openbox --startup "touch $work/wm-ready" >"$work/openbox.log" 2>&1 & x_pids+=($!)
  wait_for 10 test -e "$work/wm-ready" || fail "openbox did not start"
}
stop_x() {
  for pid in "${x_pids[@]}"; do stop "$pid" 2; done
  x_pids=()
}

start_jack() {
  jackd -n "$server" --no-realtime -d dummy -r 48000 -p 256 >>"$work/jackd.log" 2>&1 &
  jackd_pid=$!
  JACK_DEFAULT_SERVER=$server jack_wait -w -t 10 >/dev/null 2>&1 \
    || { echo "JACK server $server did not start: $(tail -3 "$work/jackd.log")" >&2; return 1; }
}
has_port() {
  local ports; ports=$(JACK_DEFAULT_SERVER=$server jack_lsp 2>/dev/null)
  grep -qx -- "$1" <<<"$ports"
}

# FluidSynth as JACK client "fsynth" (port fsynth:midi_00), its shell on
# $shell_port.
start_fluidsynth() {
  JACK_DEFAULT_SERVER=$server fluidsynth -q -s -i -a jack -m jack -o shell.port="$shell_port" \
    -o midi.jack.id=fsynth -o audio.jack.id=fsynth "$soundfont" >>"$work/fluidsynth.log" 2>&1 &
  fluid_pid=$!
  wait_for 15 has_port fsynth:midi_00 || fail "FluidSynth did not join JACK"
  wait_for 10 fluid channels || fail "FluidSynth's shell does not answer"
}
# One shell command to FluidSynth; its answer on stdout.
fluid() {
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
# plays <channel index> <preset>: whether FluidSynth has that preset there.
plays() {
  local answer; answer=$(fluid "channels -verbose")
  grep -q "^chan $1, sfont [0-9]*, bank 0, preset $2," <<<"$answer"
}

# A capture port "capture:input" that writes what it hears to
# $work/capture.txt, one message a line.
start_capture() {
  JACK_DEFAULT_SERVER=$server jack_midi_dump capture >"$work/capture.txt" 2>/dev/null &
  capture_pid=$!
  wait_for 10 has_port capture:input || fail "capture port missing"
}
captured() { awk '{print $2, $3, $4}' "$work/capture.txt" | sed 's/ *$//'; }

# The tool's visible windows by title, ignoring case: the main window is
# "Tavrelle", a message box "tavrelle". The device list's drop-down has no
# title; it is the tool's one window that bypasses the window manager.
titled_tavrelle() { xdotool search --onlyvisible --name '^tavrelle$' 2>/dev/null || true; }
# other_window <candidates> <override-redirect: yes or no>: one that is not
# the main window $window.
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

# pick_device <index> <entries>: opens the device list of $window with the
# mouse and picks an entry, wherever the drop-down opens.
pick_device() {
  local index=$1 entries=$2 X Y WIDTH HEIGHT SCREEN WINDOW
  xdotool mousemove --window "$window" 120 18 click 1
  wait_for 5 has_drop_down || fail "the device list did not open"
  eval "$(xdotool getwindowgeometry --shell "$(drop_down)")"
  xdotool mousemove $((X + WIDTH / 3)) $((Y + HEIGHT * (2 * index + 1) / (2 * entries))) click 1
  wait_for 5 no_drop_down || fail "the device list did not close after the pick"
}

# The tool runs as a copy in $work/bin, so its settings file is
# $work/bin/tavrelle.ini.
main_window() { titled_tavrelle | head -1; }

# Starts the copy of the tool and waits for its window; launch_ms is how
# long that took.
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
