#!/usr/bin/env bash
# The Windows build under Wine, on Xvfb with openbox, unattended:
#   tests/windows/wine_test.sh BUILD-WINDOWS-DIR
# The window and its boxes drawn alike with and without the Japanese font
# names; the first run with no MIDI device (its two messages, the retries, the
# first-run bounds), keys, clicks and the wheel held to the window's rules,
# the devices listed again when the list opens and when the system announces
# a change, the taskbar button's window, the first-run file written beside
# the .exe, a save that cannot replace the file another program holds open
# (the device stays open), and a settings file that cannot be read; a
# settings file beside an .exe in a folder with a Japanese name and at a path
# over 260 characters; a read-only settings file; a folder that takes no new
# file, with the settings in %APPDATA%; a saved device that is away, greyed in
# the list's field; the tool's own message box on a small screen; the
# program's tool tip, and the instrument files beside the settings in each
# encoding. The labels, tool tips and message boxes are read through the
# window texts by probe.exe;
# what the tool hands WinMM is read from Wine's winmm trace. Wine runs in a
# private prefix inside the build folder, made on the first run and kept.
set -euo pipefail
build=$(cd "${1:?usage: wine_test.sh BUILD-WINDOWS-DIR}" && pwd)
tool=$build/tavrelle.exe
probe_exe=$build/probe.exe
[ -f "$tool" ] && [ -f "$probe_exe" ] || { echo "FAIL: build $tool and probe.exe first (make windows)" >&2; exit 1; }
work=$build/wine-test
rm -rf "$work"
mkdir -p "$work"
source "$(dirname "$0")/../e2e/session.sh"

source "$(dirname "$0")/wine_prefix.sh"
# The run ends itself, with its clean-up, well before ctest's limit: ctest
# kills only the script, and X, openbox and Wine's server run on their own.
limit=900
trap 'fail "not done within $limit s"' TERM
(trap 'kill $sleeper 2>/dev/null; exit 0' TERM; sleep "$limit" & sleeper=$!; wait $sleeper && kill -TERM $$) &
watchdog=$!
cleanup() {
  kill "$watchdog" 2>/dev/null || true
  stop "$tool_pid" 2
  wineserver -k 2>/dev/null || true
  [ -z "${services_state:-}" ] || { stop_service openbox 2 || true; stop_service xvfb 5 || true; }
}
trap cleanup EXIT

# The prefix, as Wine makes it; the Japanese font names are mapped to the
# IPA fonts (as a Japanese Windows has them) after the first case.
make_wine_prefix "$work/wineboot.log" || fail "wineboot failed: $(tail -5 "$work/wineboot.log")"
font_names() {
  if [ "$1" = mapped ]; then
    wine regedit /S "$(winepath -w "$(dirname "$0")/japanese-fonts.reg" 2>/dev/null)" >>"$work/wineboot.log" 2>&1
  else
    wine reg delete 'HKCU\Software\Wine\Fonts\Replacements' /f >>"$work/wineboot.log" 2>&1 || true
  fi
  wineserver -w
}
services_init "$work/services" tavrelle-wine
start_x 1024x768x24 || fail "no X server"

probe() { { wine "$probe_exe" "$@" 2>/dev/null || true; } | tr -d "\r"; }
# probe_says PATTERN: whether a line of the probe's texts matches.
probe_says() { probe texts | grep "$1" >/dev/null; }
# The main window's line: visible|hidden left top width height caption.
window_state() { probe texts | sed -n 's/^window //p'; }
# The texts of the value labels: program, bank, channel.
labels() { probe texts | awk '/^control Static/ { n++; if (n == 3 || n == 5 || n == 7) { printf "%s%s", sep, $NF; sep = " " } } END { print "" }'; }
# hovered_tip TEXT: the tool tip over the program number. The pointer leaves
# the label and comes back each time, so that the tip shows afresh once it has
# timed out or a busy machine let the hover pass unseen.
hovered_tip() {
  xdotool mousemove --window "$window" 5 100
  sleep 0.3
  xdotool mousemove --window "$window" 123 38
  sleep 1
  probe texts | grep -qx "tooltip $1"
}
# The message box the tool shows: "TITLE<tab>TEXT<tab>icon|no-icon", empty when none.
box() { probe texts | sed -n 's/^box //p'; }
has_box() { [ -n "$(box)" ]; }
# expect_box TEXT ICON SECONDS: waits for that box.
expect_box() {
  local want=$(printf 'tavrelle\t%s\t%s' "$1" "$2") got
  wait_for "$3" has_box || true
  got=$(box)
  [ "$got" = "$want" ] || fail "expected the box '$want', saw '${got:-no box}'"
}
# press_ok: "OK" pressed by the probe; the box must be gone afterwards.
box_gone() { [ "$(box)" != "$1" ]; }
press_ok() {
  local shown
  shown=$(box)
  probe ok
  wait_for 60 box_gone "$shown" || fail "the box did not close on OK: $shown"
}
# answer_box KEY: the key answers the box; it must be gone afterwards. The box
# is activated first: X may leave the keyboard on the taskbar button's window,
# which has the box's title, and a box takes the keyboard a moment after it
# shows, in X and then in Wine.
box_window() {
  local w
  for w in $(titled_tavrelle); do
    [ "$(xdotool getwindowname "$w" 2>/dev/null)" = tavrelle ] || continue
    [ "$(xwininfo -id "$w" 2>/dev/null | sed -n 's/^ *Width: //p')" -gt 50 ] 2>/dev/null && { echo "$w"; return 0; }
  done
  return 1
}
box_active() {
  [ "$(xdotool getactivewindow 2>/dev/null)" = "$1" ] && probe texts | grep -qx 'focus Button'
}
answer_box() {
  local shown w
  shown=$(box)
  wait_for 30 box_window || fail "no X window for the box: $shown"
  w=$(box_window)
  xdotool windowactivate --sync "$w" 2>/dev/null || true
  wait_for 30 box_active "$w" || fail "the box did not take the keyboard: $shown"
  sleep 0.3
  xdotool key "$1"
  wait_for 60 box_gone "$shown" || fail "the box did not close on $1: $shown"
}
# The start-up boxes of a run with no MIDI device, dismissed by the probe.
dismiss_startup_boxes() {
  expect_box "$no_device" no-icon 60
  probe ok
  expect_box BADDEVICEID no-icon 60
  probe ok
}
# The words the tool handed midiOutShortMsg, in hexadecimal, one a line.
sends() { sed -n 's/.*trace:winmm:midiOutShortMsg ([0-9A-Fa-f]*, \([0-9A-F]*\))$/\1/p' "$run/trace"; }
count() { grep -c "$1" "$run/trace" || true; }
# wait_sends N: until N words were sent, at most a minute.
sent_at_least() { [ "$(sends | wc -l)" -ge "$1" ]; }
wait_sends() { wait_for 60 sent_at_least "$1" || true; }
# start_tool DIR: a copy of the tool in DIR, started there.
start_tool() {
  run=$1
  mkdir -p "$run"
  cp "$tool" "$run/tavrelle.exe"
  WINEDEBUG=-all,trace+winmm wine "$run/tavrelle.exe" >"$run/out" 2>"$run/trace" &
  tool_pid=$!
}
wait_shown() {
  wait_for 60 probe_says '^window visible' || fail "the window did not show"
  wait_for 60 window_named Tavrelle || fail "no X window for the tool"
  window=$(window_named Tavrelle)
  # The window manager may hand the focus to the taskbar button's window as
  # it maps it, which hands it back; keys wait until the window has it.
  sleep 0.5
  xdotool windowactivate --sync "$window" 2>/dev/null || true
  wait_for 30 probe_says '^focus window' || fail "the window did not take the focus"
  [ "$(xdotool getwindowfocus getwindowname 2>/dev/null)" = Tavrelle ] || fail "X gives the keys to $(xdotool getwindowfocus getwindowname)"
}
wait_exit() { wait_for 60 eval "! process_alive $tool_pid" || fail "the tool did not end after the close"; wait "$tool_pid" || true; tool_pid=""; }
ini_path() { winepath -w "$1/tavrelle.ini" 2>/dev/null | tr -d '\r'; }
# window_file HEIGHT WIDTH TOP LEFT: a settings file with only those bounds;
# saved_file the same: what a close with no device saves from it.
window_file() { printf '[window]\r\nHeight=%s\r\nWidth=%s\r\nTop=%s\r\nLeft=%s\r\n' "$@"; }
saved_file() { window_file "$@"; printf '\r\n[dev]\r\ndev_num=0\r\ngakki=\r\nmap=0\r\n\r\n'; }
# The first run's file with no device listed.
first_run_file() { sed 's/^gakki=Synth A\r$/gakki=\r/' "$(dirname "$0")/../data/settings/first_run.expected.ini"; }
# shows_the_file WHAT: the started tool, past its start-up boxes, shows the
# bounds of window_file 140 300 50 60, the file the later cases start from.
shows_the_file() {
  dismiss_startup_boxes
  wait_shown
  [ "$(window_state | cut -d' ' -f1-5)" = "visible 60 50 300 140" ] || fail "$1: the file was not read: $(window_state)"
}
# closes_saving_to FOLDER: a close ends the tool, which saved that file's
# bounds in FOLDER.
closes_saving_to() {
  close_window "$window"
  wait_exit
  saved_file 140 300 50 60 | cmp -s - "$1/tavrelle.ini" || fail "not saved in $1: $(od -c "$1/tavrelle.ini" 2>&1 | head -3)"
}
# The folder of the per-user settings, %APPDATA%\Tavrelle.
per_user_folder() { echo "$(winepath -u 'C:\users' 2>/dev/null | tr -d '\r')/$(id -un)/AppData/Roaming/Tavrelle"; }

# snapshot NAME X-WINDOW: the window's pixels, frame left out, in NAME.png.
snapshot() { import -window "$2" "$work/$1.png" 2>/dev/null || fail "no snapshot of $1"; }
no_device="ＭＩＤＩ音源がないのでこのソフトは利用できません"
started=$(ms_now)

# Without the Japanese font names, as in a fresh prefix or on a Windows
# without the Japanese fonts, the tool picks a face that holds every
# character of its texts: the window and both boxes look exactly as they do
# with the names mapped (the same IPA font then), where a face without the
# glyphs would draw empty boxes.
echo "fonts: a prefix without the Japanese font names"
font_names unmapped
start_tool "$work/fresh"
expect_box "$no_device" no-icon 60
wait_for 30 box_window || fail "no X window for the box"
snapshot fresh-no-device "$(box_window)"
press_ok
expect_box BADDEVICEID no-icon 60
wait_for 30 box_window || fail "no X window for the box"
snapshot fresh-bad-device "$(box_window)"
press_ok
wait_shown
snapshot fresh-window "$window"
close_window "$window"
wait_exit
# The settings error box, from a read-only file in the folder the read-only
# case below uses, so that its text is the same there.
error_box_run() {
  run=$work/read-only
  rm -rf "$run"
  mkdir -p "$run"
  window_file 140 300 50 60 >"$run/tavrelle.ini"
  chmod 444 "$run/tavrelle.ini"
  start_tool "$run"
  shows_the_file "$1"
  close_window "$window"
  expect_box "ファイル $(ini_path "$run") を作成できません." icon 60
  wait_for 30 box_window || fail "no X window for the error box"
  snapshot "$1" "$(box_window)"
}
error_box_run fresh-error
probe ok
close_window "$window"
expect_box "ファイル $(ini_path "$run") を作成できません." icon 60
probe ok
wait_exit
font_names mapped
# same_pixels NAME: the snapshot NAME shows what fresh-NAME showed.
same_pixels() {
  local differ
  differ=$(compare -metric AE "$work/fresh-$1.png" "$work/$1.png" null: 2>&1) || true
  [ "$differ" = 0 ] || fail "$1 draws differently without the Japanese font names ($differ pixels; kept in $work)"
}

echo "first run, no MIDI device"
start_tool "$work/first-run"
expect_box "$no_device" no-icon 60
wait_for 30 box_window || fail "no X window for the box"
snapshot no-device "$(box_window)"
same_pixels no-device
[ "$(window_state | cut -d' ' -f1)" = hidden ] || fail "the window showed before the start-up messages"
answered=$(ms_now)
press_ok
expect_box BADDEVICEID no-icon 60
waited=$(($(ms_now) - answered))
wait_for 30 box_window || fail "no X window for the box"
snapshot bad-device "$(box_window)"
same_pixels bad-device
((waited >= 2400 && waited < 30000)) || fail "the open failure came after ${waited} ms, not about 2.5 s"
[ "$(count 'midiOutOpen (.*, 0, 00000000, 00000000, 00000000)')" = 6 ] || fail "not six attempts at device 0"
[ "$(count 'midiOutClose')" = 5 ] || fail "not five closes between the attempts"
press_ok
wait_shown
snapshot window "$window"
same_pixels window
read -r _ left top width height _ <<<"$(window_state)"
[ "$left $top $width $height" = "193 159 221 125" ] || fail "first-run bounds $left $top $width $height"
[ "$(sends | tr '\n' ' ')" = "000020B0 000000B0 000000C0 " ] || fail "start-up sent $(sends | tr '\n' ' ')"
[ "$(labels)" = "1 0 1" ] || fail "start labels $(labels)"
[ "$(probe texts | sed -n 's/^owner //p')" = tavrelle ] || fail "the taskbar does not show the application title"
probe texts | grep -qx 'control Static 0 visible 8 32 109 13 プログラムナンバー =' ||
  probe texts | grep -q ' プログラムナンバー =$' || fail "the program caption is missing"

echo "keys"
xdotool key Up Up Right Next
wait_sends 15
[ "$(labels)" = "3 1 16" ] || fail "after Up Up Right Page Down: $(labels)"
[ "$(sends | wc -l)" = 15 ] || fail "four key releases did not send four times: $(sends | wc -l) words"
[ "$(sends | tail -n 3 | tr '\n' ' ')" = "000020BF 000100BF 000002CF " ] || fail "last send $(sends | tail -n 3 | tr '\n' ' ')"
xdotool key Tab Prior Down
wait_sends 24
[ "$(labels)" = "2 1 1" ] || fail "Tab stepped, or Page Up and Down did not: $(labels)"
[ "$(sends | wc -l)" = 24 ] || fail "Tab's release did not send: $(sends | wc -l) words"

echo "mouse"
# Label positions in the client area: program value 120,32, bank value 120,48,
# program caption 8,32.
xdotool mousemove --window "$window" 123 38 click 1
xdotool mousemove --window "$window" 123 54 click 3
xdotool mousemove --window "$window" 30 38 click --repeat 2 --delay 80 1
wait_sends 36
[ "$(labels)" = "5 0 1" ] || fail "clicks: $(labels)"
[ "$(sends | wc -l)" = 36 ] || fail "four presses did not send four times: $(sends | wc -l) words"
xdotool mousemove --window "$window" 30 38 click 2
xdotool mousemove --window "$window" 123 38 click 2
xdotool mousemove --window "$window" 123 54 click 4 click 5
sleep 0.5
[ "$(labels)" = "5 0 1" ] || fail "middle presses or the wheel changed the labels: $(labels)"
[ "$(sends | wc -l)" = 39 ] || fail "only the middle press on the program number sends: $(sends | wc -l) words"
[ "$(sends | tail -n 3 | tr '\n' ' ')" = "000020B0 000000B0 000004C0 " ] || fail "middle press sent $(sends | tail -n 3 | tr '\n' ' ')"

echo "the device list"
# A click gives the list the focus and opens its (empty) drop-down, which
# lists the devices again first; the second closes it. Keys still step and
# send, and never reach the list.
listings=$(count 'MMDRV_GetNum (0003)')
xdotool mousemove --window "$window" 120 16 click 1
sleep 0.5
(($(count 'MMDRV_GetNum (0003)') > listings)) || fail "opening the list did not list the devices again"
xdotool mousemove --window "$window" 120 16 click 1
wait_for 30 probe_says '^focus ComboBox' || fail "the device list did not take the focus"
xdotool key Up a Right
wait_sends 48
[ "$(labels)" = "6 1 1" ] || fail "keys with the device list focused: $(labels)"
[ "$(sends | wc -l)" = 48 ] || fail "three key releases did not send three times: $(sends | wc -l) words"
# The wheel changes nothing over the focused list either.
xdotool mousemove --window "$window" 120 16 click 4 click 4 click 5
sleep 0.5
[ "$(labels)" = "6 1 1" ] && [ "$(sends | wc -l)" = 48 ] || fail "the wheel over the focused list: $(labels), $(sends | wc -l) words"

echo "a device change announced by the system"
# The devices are listed again at once and a second later; nothing is sent,
# no All Sound Off either, as no device in use came back. (WinMM lists no
# device on this host: a device that comes back is the shared rules' test.)
listings=$(count 'MMDRV_GetNum (0003)')
probe devicechange
wait_for 30 sh -c "[ \$(grep -c 'MMDRV_GetNum (0003)' '$run/trace') -gt $listings ]" || fail "a device change did not list the devices again"
sleep 0.3
listings=$(count 'MMDRV_GetNum (0003)')
wait_for 30 sh -c "[ \$(grep -c 'MMDRV_GetNum (0003)' '$run/trace') -gt $listings ]" || fail "no second listing after a device change"
[ "$(sends | wc -l)" = 48 ] && kill -0 "$tool_pid" || fail "a device change sent $(sends | wc -l) words or ended the tool"

echo "minimise and restore through the taskbar button's window"
taskbar_window=""
for w in $(xdotool search --name '^tavrelle$' 2>/dev/null); do
  [ "$(xdotool getwindowname "$w")" = tavrelle ] && taskbar_window=$w
done
[ -n "$taskbar_window" ] || fail "no taskbar button window"
xdotool windowminimize "$window"
wait_for 30 probe_says '^window hidden' || fail "minimising did not hide the window"
xdotool windowactivate "$taskbar_window" 2>/dev/null || true
# Once clicked, the device list gets the focus back whenever the window is activated.
wait_for 30 probe_says '^focus ComboBox' || fail "the taskbar button did not bring the window back with the list focused: $(window_state)"
[ "$(window_state | cut -d' ' -f1-5)" = "visible 193 159 221 125" ] || fail "restored as $(window_state)"

echo "close writes the first-run file"
close_window "$window"
wait_exit
cmp -s <(first_run_file) "$work/first-run/tavrelle.ini" || fail "the first-run file differs: $(od -c "$work/first-run/tavrelle.ini" | head)"
[ "$(ls "$work/first-run" | tr '\n' ' ')" = "out tavrelle.exe tavrelle.ini trace " ] || fail "left behind: $(ls "$work/first-run")"

echo "a save that cannot replace the file"
start_tool "$work/first-run"
expect_box "$no_device" no-icon 60
press_ok
expect_box BADDEVICEID no-icon 60
press_ok
wait_shown
xdotool key Up
# Another program holds the file open: the new file, written beside it,
# cannot take its place.
cp "$run/tavrelle.ini" "$work/saved.ini"
wine "$probe_exe" hold "$(ini_path "$run")" 60 >"$work/hold.out" 2>/dev/null &
holder=$!
wait_for 20 grep -q held "$work/hold.out" || fail "the probe could not hold the file"
closes=$(count midiOutClose)
close_window "$window"
expect_box "ファイル $(ini_path "$run") を作成できません." icon 60
cmp -s "$work/saved.ini" "$run/tavrelle.ini" || fail "the failed save changed the old file"
[ "$(ls "$run" | tr '\n' ' ')" = "out tavrelle.exe tavrelle.ini trace " ] || fail "the failed save left behind: $(ls "$run")"
press_ok
# The window follows shut-down's answer (startup_test holds the rules).
[ "$(window_state | cut -d' ' -f1)" = visible ] || fail "the window is gone although the save failed"
# The window that stays keeps its device; only the final close closes it.
[ "$(count midiOutClose)" = "$closes" ] || fail "the failed save closed the device"
stop "$holder" 2
close_window "$window"
wait_exit
first_run_file | cmp -s - "$run/tavrelle.ini" || fail "the later close did not save: $(od -c "$run/tavrelle.ini" | head)"
[ "$(count midiOutClose)" = $((closes + 1)) ] || fail "the final close did not close the device once"

echo "an unreadable settings file"
run=$work/unreadable
mkdir -p "$run"
printf '[window]\r\nHeight=200\r\nWidth=300\r\nTop=50\r\nLeft=60\r\n' >"$run/tavrelle.ini"
cp "$run/tavrelle.ini" "$work/unreadable.ini"
wine "$probe_exe" hold "$(ini_path "$run")" 60 >"$work/hold.out" 2>/dev/null &
holder=$!
wait_for 20 grep -q held "$work/hold.out" || fail "the probe could not hold the file"
start_tool "$run"
expect_box "$no_device" no-icon 60
press_ok
expect_box "ファイル $(ini_path "$run") は開けません." icon 60
# "OK" pressed by the probe: the release of a key could reach the shown window and send.
probe ok
wait_shown
read -r _ left top width height _ <<<"$(window_state)"
[ "$left $top $width $height" = "192 107 221 125" ] || fail "not the designed bounds: $left $top $width $height"
[ "$(count midiOutOpen)" = 0 ] && [ "$(sends | wc -l)" = 0 ] || fail "a device was opened or something sent"
stop "$holder" 2
close_window "$window"
wait_exit
cmp -s "$work/unreadable.ini" "$run/tavrelle.ini" || fail "the unreadable file was overwritten"

echo "a folder with a Japanese name, and a path over 260 characters"
# Under C.UTF-8 the system's code page cannot name the Japanese folder, and
# the long path is past what the old calls take: the file beside the .exe
# must still be the one read and written, not a per-user one.
per_user=$(per_user_folder)
[ -d "$(dirname "$per_user")" ] || fail "no application-data folder in the prefix: '$per_user'"
long=$work/paths/$(printf 'a%.0s' {1..60})/$(printf 'b%.0s' {1..60})/$(printf 'c%.0s' {1..60})/$(printf 'd%.0s' {1..60})
for run_dir in "$work/paths/設定のフォルダー" "$long"; do
  mkdir -p "$run_dir"
  window_file 140 300 50 60 >"$run_dir/tavrelle.ini"
  rm -rf "$per_user"
  cp "$(dirname "$0")"/../data/ins/*.ins "$run_dir/"
  LANG=C.UTF-8 start_tool "$run_dir"
  shows_the_file "$run_dir"
  # No device, so General MIDI's name; the files beside the settings read
  # from this folder in every encoding.
  wait_for 60 hovered_tip 'Acoustic Grand Piano' || fail "$run_dir: no tool tip over the program: $(probe texts | grep tooltip)"
  # (winepath cuts paths at 260 characters.)
  ini="Z:${run_dir//\//\\}\\tavrelle.ini"
  [ "$(LANG=C.UTF-8 probe voices "$ini" 和音源 3 1 | tr '\n' '|')" = "表現力のある三味線|和楽器|" ] &&
    [ "$(LANG=C.UTF-8 probe voices "$ini" 'Clavier Français' 2 9 | tr '\n' '|')" = \
      "Flûte douce|「Clavier Français」に名前のないバンク|" ] &&
    [ "$(probe voices "$ini" 'Stage Two' 9 127 | tr '\n' '|')" = "Room Kit|Stage Drums|" ] ||
    fail "$run_dir: the instrument files were not read right"
  closes_saving_to "$run_dir"
  [ ! -e "$per_user" ] || fail "$run_dir: the settings went to the user's folder"
done

echo "a read-only settings file"
# The folder takes new files, so the file beside the .exe is the one; the
# save must not replace it: the error box, the old file whole, the window
# open. The next close ends the tool, the file still whole.
error_box_run error
same_pixels error
window_file 140 300 50 60 | cmp -s - "$run/tavrelle.ini" || fail "the read-only file was changed: $(od -c "$run/tavrelle.ini" | head -3)"
[ "$(ls "$run" | tr '\n' ' ')" = "out tavrelle.exe tavrelle.ini trace " ] || fail "the failed save left behind: $(ls "$run")"
probe ok
close_window "$window"
expect_box "ファイル $(ini_path "$run") を作成できません." icon 60
probe ok
wait_exit
window_file 140 300 50 60 | cmp -s - "$run/tavrelle.ini" || fail "the read-only file was changed at the last close"

echo "a folder that takes no new file: the settings in %APPDATA%"
# The folder is read-only, and Wine runs without root's power to override
# file permissions. A tavrelle.ini beside the .exe gives the first values;
# the save goes to %APPDATA%\Tavrelle\tavrelle.ini, which the next run reads
# instead.
run=$work/read-only-folder
mkdir -p "$run"
cp "$tool" "$run/tavrelle.exe"
window_file 140 300 50 60 >"$run/tavrelle.ini"
chmod 555 "$run"
rm -rf "$per_user"
# The server opens the files: it is started first, without that power.
wineserver -k 2>/dev/null || true
wineserver -w
setpriv --bounding-set -dac_override wineserver -p 20
for beside in "140 300 50 60" "200 250 70 80"; do
  window_file $beside >"$run/tavrelle.ini"
  cp "$run/tavrelle.ini" "$work/beside.ini"
  WINEDEBUG=-all setpriv --bounding-set -dac_override wine "$run/tavrelle.exe" >"$work/read-only-folder.out" 2>&1 &
  tool_pid=$!
  shows_the_file "beside $beside"
  closes_saving_to "$per_user"
  cmp -s "$work/beside.ini" "$run/tavrelle.ini" || fail "beside $beside: the file beside the .exe was changed"
  [ "$(ls "$run" | tr '\n' ' ')" = "tavrelle.exe tavrelle.ini " ] || fail "beside $beside: the folder holds $(ls "$run")"
done
# Back to a server that may write where root may.
wineserver -k 2>/dev/null || true
wineserver -w

echo "a saved device that is away shows greyed in the list's field"
# Nothing listed, nothing else picked: the saved name, in grey, where the
# field would show the entry (the client area's 52,11 onwards).
run=$work/away
mkdir -p "$run"
printf '[dev]\r\ndev_num=0\r\ngakki=UM-ONE\r\n\r\n' >"$run/tavrelle.ini"
start_tool "$run"
dismiss_startup_boxes
wait_shown
field_darkest() { import -window "$window" -crop 100x10+52+11 -colorspace Gray -format '%[fx:int(255*minima)]' info:; }
greyed() { local d; d=$(field_darkest) && [ "$d" -gt 60 ] && [ "$d" -lt 220 ]; }
wait_for 5 greyed || fail "the saved device is not shown greyed (darkest $(field_darkest))"
import -window root "$work/away.png"
[ -z "${TAVRELLE_E2E_SHOTS:-}" ] || cp "$work/away.png" "$TAVRELLE_E2E_SHOTS/away-win32.png"
close_window "$window"
wait_exit

echo "message boxes on a small screen"
# The tool's own box wraps its text at half the screen's width, sits in the
# middle of the screen, and Enter and Esc both dismiss it.
stop_service openbox 2
stop_service xvfb 5
# A Wine server that outlives the old screen keeps its size for the next
# program: the box would be centred on a screen that is gone.
wineserver -k 2>/dev/null || true
wineserver -w
start_x 400x300x24 || fail "no small X server"
start_tool "$work/small-screen"
expect_box "$no_device" no-icon 60
read -r left top width height _ long_text screen_width screen_height <<<"$(probe geometry)"
((width <= screen_width / 2)) || fail "the box is $width pixels wide on a screen of $screen_width"
((${left} * 2 + width - screen_width <= 2 && screen_width - left * 2 - width <= 2)) ||
  fail "the box is not centred across: left $left, width $width"
((top * 2 + height - screen_height <= 2 && screen_height - top * 2 - height <= 2)) ||
  fail "the box is not centred down: top $top, height $height"
answer_box Return
expect_box BADDEVICEID no-icon 60
read -r _ _ _ _ _ one_line _ <<<"$(probe geometry)"
((long_text >= 2 * one_line)) || fail "the long text is not wrapped: $long_text pixels high, one line $one_line"
answer_box Escape
wait_shown
close_window "$window"
wait_exit

echo "PASS in $((($(ms_now) - started) / 1000)) s"
