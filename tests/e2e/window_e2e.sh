#!/usr/bin/env bash
# The built tool in a real X session under a window manager, talking to a
# private JACK server with FluidSynth and a capture port, driven by xdotool.
#   window_e2e.sh path/to/tavrelle
# The JACK server is named by $TAVRELLE_E2E_JACK_SERVER (default
# tavrelle-e2e), one name for this purpose on every run.
set -euo pipefail
tool=$(readlink -f "${1:?usage: window_e2e.sh path/to/tavrelle}")
server=${TAVRELLE_E2E_JACK_SERVER:-tavrelle-e2e}

source "$(dirname "$0")/session.sh"
begin_scratch_run

start_session
launch
# The session a desktop gives: the tool found the bus of its own.
wait_for 5 on_bus "$tool_pid" || fail "the tool is not on the session bus"

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
# The window carries its icon (32 x 32 and 16 x 16) for the task bar.
xprop -id "$window" _NET_WM_ICON | grep -q 'Icon (32 x 32)' || fail "the window has no 32 x 32 icon"

# On FluidSynth (the first device): Up four times, a left press on the program
# number and a right press on its caption leave program 5; Page Up moves to
# channel 2, whose release sends there too.
xdotool key --delay 60 Up Up Up Up
xdotool mousemove --window "$window" 122 38 click 1
xdotool mousemove --window "$window" 20 38 click 3
xdotool key --delay 60 Prior
wait_for 5 plays 0 4 || fail "FluidSynth does not play preset 4 on channel 1: $(fluid 'channels -verbose' | head -2)"
wait_for 5 plays 1 4 || fail "FluidSynth does not play preset 4 on channel 2"
[ ! -s "$services_state/capture.out" ] || fail "the capture port heard something before it was picked"

# Pick the second device with the mouse, then a right press on the bank
# caption: bank 127, sent at once.
pick_device 1 2
wait_for 5 sh -c "[ \$(wc -l < '$services_state/capture.out') -ge 3 ]" || fail "nothing reached the capture port after the switch"
xdotool mousemove --window "$window" 60 54 click 3
wait_for 5 sh -c "[ \$(wc -l < '$services_state/capture.out') -ge 6 ]" || fail "the bank press did not send"

expected=$'b1 20 00\nb1 00 00\nc1 04\nb1 20 00\nb1 00 7f\nc1 04'
[ "$(captured)" = "$expected" ] || fail "capture port got:
$(captured)
expected:
$expected"

# A held key sends once, on its real release, however busy the machine. The
# X server repeats the held key as release-and-press pairs, here with four
# CPU-bound loops beside the tool.
lines() { wc -l <"$services_state/capture.out"; }
busy=()
for _ in 1 2 3 4; do
  setsid sh -c 'while :; do :; done' &
  busy+=($!)
done
xdotool keydown Down
sleep 1.5
held=$(lines)
xdotool keyup Down
for pid in "${busy[@]}"; do stop "$pid" 1; done
wait_for 60 sh -c "[ \$(wc -l < '$services_state/capture.out') -ge 9 ]" || fail "the release of a held key did not send"
sleep 1
[ "$held" -eq 6 ] && [ "$(lines)" -eq 9 ] ||
  fail "a held key sent $(((held - 6) / 3)) times during the hold and $((($(lines) - held) / 3)) times after it"
program=$(captured | tail -1)
[[ $program != "c1 04" && $program != "c1 03" ]] || fail "the held key did not repeat (it sent '$program')"

# The capture port, in use, leaves: the list's field shows its name greyed
# (nothing selected), and once it is back, as before, opened and sent the
# selection once. The darkest grey of the field's text tells the two apart.
field_darkest() { import -window "$window" -crop 130x14+52+11 -colorspace Gray -format '%[fx:int(255*minima)]' info:; }
greyed() { local d; d=$(field_darkest) && [ "$d" -gt 60 ] && [ "$d" -lt 220 ]; }
drawn_black() { local d; d=$(field_darkest) && [ "$d" -le 60 ]; }
drawn_black || fail "the device list's field shows no name in black (darkest $(field_darkest))"
stop_service capture 2
wait_for 10 greyed || fail "the device that left is not shown greyed (darkest $(field_darkest))"
import -window root "$work/away.png"
start_capture || fail "the capture port did not come back"
wait_for 10 drawn_black || fail "the device that came back is not shown as before (darkest $(field_darkest))"
wait_for 60 sh -c "[ \$(wc -l < '$services_state/capture.out') -ge 3 ]" || fail "the device that came back got no selection"
sleep 1
[ "$(captured | head -2)" = $'b1 20 00\nb1 00 7f' ] && [ "$(lines)" -eq 3 ] ||
  fail "the device that came back got: $(captured)"
[ -z "${TAVRELLE_E2E_SHOTS:-}" ] || cp "$work/away.png" "$TAVRELLE_E2E_SHOTS/away-qt.png"

# Close through the window manager; the tool ends cleanly and silently.
close_tool

# The first run's file, on the capture port picked second.
sed 's/^dev_num=0/dev_num=1/; s/^gakki=Synth A/gakki=capture:input/' "$(dirname "$0")/../data/settings/first_run.expected.ini" |
  cmp -s - "$work/bin/tavrelle.ini" || fail "settings file: $(od -c "$work/bin/tavrelle.ini" | head -8)"
echo "window end-to-end: ok"
