#!/usr/bin/env bash
# The built tool in a real X session under a window manager, talking to a
# private JACK server with FluidSynth and a capture port, driven by xdotool.
set -euo pipefail
tool=$(readlink -f "${1:?usage: window_e2e.sh path/to/tavrelle}")
soundfont=/usr/share/sounds/sf2/TimGM6mb.sf2

work=$(mktemp -d)
pids=()
cleanup() {
  local status=$?
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [ $status -eq 0 ] && rm -rf "$work" || echo "kept $work for inspection"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
# wait_for <seconds> <command...>: polls every 0.1 s.
wait_for() {
  local limit=$(( $1 * 10 )); shift
  for ((i = 0; i < limit; i++)); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
free_display() {
  for n in $(seq 90 140); do
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

export DISPLAY; DISPLAY=$(free_display)
# A fixed name (ctest gives one per build folder): JACK keeps a small table of
# servers and reuses an entry only for the same name, so a server that died
# uncleanly cannot use it up.
export JACK_DEFAULT_SERVER="${TAVRELLE_E2E_JACK_SERVER:-tavrelle-e2e}"
export XDG_RUNTIME_DIR="$work/runtime"; mkdir -m 700 "$XDG_RUNTIME_DIR"
export HOME="$work/home"; mkdir -p "$HOME"
shell_port=$(free_port)

Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
wait_for 10 xdpyinfo || fail "Xvfb did not start"
# openbox announces itself before it manages windows; its start-up command
# runs once it does.
openbox --startup "touch $work/wm-ready" >/dev/null 2>&1 & pids+=($!)
wait_for 10 test -e "$work/wm-ready" || fail "openbox did not start"

jackd --no-realtime -d dummy -r 48000 -p 256 >"$work/jackd.log" 2>&1 & pids+=($!)
jack_wait -w -t 10 >/dev/null 2>&1 || fail "JACK did not start: $(tail -3 "$work/jackd.log")"
fluidsynth -q -s -i -a jack -m jack -o shell.port="$shell_port" -o midi.jack.id=fsynth -o audio.jack.id=fsynth \
  "$soundfont" >"$work/fluidsynth.log" 2>&1 & pids+=($!)
wait_for 15 sh -c 'jack_lsp | grep -qx fsynth:midi_00' || fail "FluidSynth did not join JACK"
wait_for 10 fluid channels || fail "FluidSynth's shell does not answer"
jack_midi_dump capture >"$work/capture.txt" 2>/dev/null & pids+=($!)
wait_for 10 sh -c 'jack_lsp | grep -qx capture:input' || fail "capture port missing"

mkdir "$work/bin"
cp "$tool" "$work/bin/tavrelle"
"$work/bin/tavrelle" >"$work/tool.out" 2>&1 & tool_pid=$!; pids+=($tool_pid)
wait_for 15 xdotool search --onlyvisible --name '^Tavrelle$' || fail "the window did not appear"
window=$(xdotool search --onlyvisible --name '^Tavrelle$' | head -1)
xdotool windowactivate --sync "$window"

# Outer bounds of a first run: left 193, top 159, 221 x 125, frame included.
outer_bounds() {
  local x y w h l r t b
  eval "$(xwininfo -id "$window" | awk '/Absolute upper-left X/{print "x="$4} /Absolute upper-left Y/{print "y="$4} /^  Width/{print "w="$2} /^  Height/{print "h="$2}')"
  read -r l r t b < <(xprop -id "$window" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
  echo "$((x - l)) $((y - t)) $((w + l + r)) $((h + t + b))"
}
wait_for 5 sh -c "xprop -id $window _NET_FRAME_EXTENTS | grep -q =" || fail "no frame extents"
bounds=$(outer_bounds)
[ "$bounds" = "193 159 221 125" ] || fail "outer bounds are '$bounds', expected '193 159 221 125'"

# On FluidSynth (the first device): Up four times, a left press on the program
# number and a right press on its caption leave program 5; Page Up moves to
# channel 2, whose release sends there too.
xdotool key --delay 60 Up Up Up Up
xdotool mousemove --window "$window" 122 38 click 1
xdotool mousemove --window "$window" 20 38 click 3
xdotool key --delay 60 Prior
expect_preset() {  # channel index, preset
  fluid "channels -verbose" | grep -q "^chan $1, sfont [0-9]*, bank 0, preset $2,"
}
wait_for 5 expect_preset 0 4 || fail "FluidSynth does not play preset 4 on channel 1: $(fluid 'channels -verbose' | head -2)"
wait_for 5 expect_preset 1 4 || fail "FluidSynth does not play preset 4 on channel 2"
[ ! -s "$work/capture.txt" ] || fail "the capture port heard something before it was picked"

# Pick the second device with the mouse, wherever the drop-down opens: it is
# the tool's one visible window that bypasses the window manager.
drop_down() {
  for w in $(xdotool search --onlyvisible --class '^tavrelle$' 2>/dev/null); do
    [ "$w" != "$window" ] && xwininfo -id "$w" | grep -q 'Override Redirect State: yes' && { echo "$w"; return 0; }
  done
  return 1
}
xdotool mousemove --window "$window" 120 18 click 1
wait_for 5 drop_down || fail "the device list did not open"
eval "$(xdotool getwindowgeometry --shell "$(drop_down)")"
xdotool mousemove $((X + WIDTH / 3)) $((Y + HEIGHT * 3 / 4)) click 1
wait_for 5 sh -c '! xdotool search --onlyvisible --class "^tavrelle$" | while read -r w; do xwininfo -id "$w" | grep -q "Override Redirect State: yes" && echo open; done | grep -q open' \
  || fail "the device list did not close after the pick"
wait_for 5 sh -c "[ \$(wc -l < '$work/capture.txt') -ge 3 ]" || fail "nothing reached the capture port after the switch"
# A right press on the bank caption: bank 127, sent at once.
xdotool mousemove --window "$window" 60 54 click 3
wait_for 5 sh -c "[ \$(wc -l < '$work/capture.txt') -ge 6 ]" || fail "the bank press did not send"

got=$(awk '{print $2, $3, $4}' "$work/capture.txt" | sed 's/ *$//')
expected=$'b1 20 00\nb1 00 00\nc1 04\nb1 20 00\nb1 00 7f\nc1 04'
[ "$got" = "$expected" ] || fail "capture port got:
$got
expected:
$expected"

# Close through the window manager.
xdotool windowactivate --sync "$window" key alt+F4
wait_for 10 sh -c "! kill -0 $tool_pid" || fail "the tool did not exit after closing"
wait "$tool_pid" || fail "the tool exited with an error"

settings=$(tr -d '\r' < "$work/bin/tavrelle.ini")
expected_settings=$'[window]\nHeight=125\nWidth=221\nTop=159\nLeft=193\n\n[dev]\ndev_num=1\ngakki=capture:input\nmap=0'
[ "$settings" = "$expected_settings" ] || fail "settings file:
$settings"
grep -q $'\r\n\r\n$' "$work/bin/tavrelle.ini" 2>/dev/null || [ "$(tail -c 4 "$work/bin/tavrelle.ini" | od -An -c | tr -d ' ')" = '\r\n\r\n' ] || fail "settings file does not end in CR LF CR LF"
[ ! -s "$work/tool.out" ] || fail "the tool printed: $(cat "$work/tool.out")"
echo "window end-to-end: ok"
