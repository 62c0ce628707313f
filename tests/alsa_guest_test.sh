#!/usr/bin/env bash
# The built tool against a real kernel ALSA sequencer, in a throw-away virtual
# machine (scripts/alsa-guest.sh): VirMIDI ports, whose raw MIDI devices show
# the bytes a module on a cable would get, and aseqdump clients as named
# receivers. Driven under Xvfb and openbox with xdotool, like the other
# end-to-end tests; no JACK server runs in the guest. First, in the same
# guest, the MIDI output services' contract (midi_contract_test) runs against
# the sequencer.
#   alsa_guest_test.sh path/to/tavrelle path/to/midi_contract_test CACHE WORK
# CACHE keeps the guest's kernel and initramfs, WORK the guest's scratch files
# (kept after a failure).
set -euo pipefail
usage="usage: alsa_guest_test.sh path/to/tavrelle path/to/midi_contract_test CACHE WORK"

# In the guest, for the contract: the kernel's sequencer unloaded, or loaded
# again as the guest's start loaded it.
if [ "${1:-}" = --sequencer ]; then
  case ${2:-} in
    stop)
      modprobe -r snd-virmidi snd-seq-dummy snd-seq-midi-event snd-seq && [ ! -e /dev/snd/seq ] ;;
    start) modprobe snd-seq && modprobe snd-seq-dummy && modprobe snd-virmidi && [ -e /dev/snd/seq ] ;;
    *) echo "usage: alsa_guest_test.sh --sequencer stop|start" >&2; exit 2 ;;
  esac
  exit
fi

if [ "${1:-}" != --in-guest ]; then
  tool=$(readlink -f "${1:?$usage}")
  contract=$(readlink -f "${2:?$usage}")
  cache=${3:?$usage}
  work=${4:?$usage}
  here=$(cd "$(dirname "$0")" && pwd)
  started=$(date +%s)
  rm -rf "$work"
  mkdir -p "$work"
  "$here/../scripts/alsa-guest.sh" "$cache" "$work" "$here/alsa_guest_test.sh" --in-guest "$tool" "$contract" ||
    { status=$?; echo "kept $work for inspection" >&2; exit $status; }
  rm -rf "$work"
  echo "ALSA sequencer end-to-end: ok ($(($(date +%s) - started)) s with the guest's start-up)"
  exit 0
fi

# In the guest, as root, in WORK.
tool=$2
contract=$3
# The contract's devices are sequencer clients of its own; it unloads the
# sequencer only with no client left, before anything else here holds it.
contract_started=$(date +%s)
TAVRELLE_CONTRACT_SYSTEM="bash $(printf %q "$(readlink -f "$0")") --sequencer" \
  "$contract" --gtest_color=no --gtest_filter='services/midi_contract_test.*/alsa' ||
  { echo "alsa guest: the MIDI output contract failed on the kernel's sequencer" >&2; exit 1; }
echo "MIDI output contract on the kernel's sequencer: ok ($(($(date +%s) - contract_started)) s)"
work=$PWD/session
server=tavrelle-alsa-guest # never started: there is no JACK server here
# A virtual machine without acceleration, on a machine other builds share:
# every wait in seconds is three times as long (TCG under load).
export TAVRELLE_WAIT_SCALE=${TAVRELLE_WAIT_SCALE:-3}
mkdir -p "$work"
source "$(dirname "$0")/e2e/session.sh"
receivers=()
cleanup() {
  local pid
  set +e
  for pid in "${receivers[@]}"; do stop "$pid" 2; done
  stop_session
}
trap cleanup EXIT

# Receivers. raw N: what comes out of VirMIDI 0-N's raw device (the port's
# sequencer side is VirMIDI 0-N); dump NAME: an aseqdump client.
start_raw() {
  amidi -p "hw:0,$1" -d >"$work/raw-$1.out" 2>/dev/null &
  receivers+=($!)
  eval "raw_pid_$1=$!"
}
stop_raw() { local pid="raw_pid_$1"; stop "${!pid}" 2; }
client_of() { aconnect -o | sed -n "s/^client \([0-9]*\): .*pid=$1\].*/\1/p"; }
start_dump() {
  aseqdump >"$work/$1.out" 2>/dev/null &
  receivers+=($!)
  eval "dump_pid_$1=$!"
  wait_for 60 sh -c "aconnect -o | grep -q 'pid=$!\]'" || fail "aseqdump $1 did not become a client"
  eval "dump_client_$1=$(client_of $!)"
}
stop_dump() { local pid="dump_pid_$1"; stop "${!pid}" 2; }

# Messages one a line ("b0 20 00"), decoded from amidi's bytes (ALSA sends
# with running status) or from aseqdump's events.
raw_messages() {
  tr -d ' \n' <"$work/raw-$1.out" | fold -w 2 | tr 'A-F' 'a-f' | awk '
    !/^[0-9a-f][0-9a-f]$/ { next }
    /^[89abcdef]/ { status = $0; need = /^[cd]/ ? 1 : 2; line = status; got = 0; next }
    status != "" { line = line " " $0; if (++got == need) { print line; line = status; got = 0 } }'
}
dump_messages() {
  sed 's/^ *[0-9]*:[0-9]* *//' "$work/$1.out" | awk -F'[^0-9]+' '
    /^Control change/ { printf "b%x %02x %02x\n", $2, $3, $4; next }
    /^Program change/ { printf "c%x %02x\n", $2, $3; next }
    /^Port (un)?subscribed|^Waiting for data|^Source/ { next }
    /./ { print "unexpected: " $0 }'
}
has_messages() { [ "$("$1_messages" "$2" | wc -l)" -ge "$3" ]; }
# expect raw|dump WHICH LINES: waits for that many messages, then compares.
expect() {
  local kind=$1 which=$2 wanted=$3 count got
  count=$(printf '%s' "$wanted" | grep -c . || true)
  wait_for 60 has_messages "$kind" "$which" "$count" || true
  got=$("${kind}_messages" "$which")
  [ "$got" = "$wanted" ] || fail "$kind $which got:
$got
expected:
$wanted"
}

select1=$'b0 20 00\nb0 00 00\nc0 00'
select2=$'b0 20 00\nb0 00 00\nc0 01'
select3=$'b0 20 00\nb0 00 00\nc0 02'
sound_off=$'b9 78 00'

settings_say() {
  local got; got=$(tr -d '\r' <"$work/bin/tavrelle.ini" | sed -n 's/^\(dev_num\|gakki\)=//p' | paste -sd '|')
  [ "$got" = "$1" ] || fail "the settings keep '$got', expected '$1'"
}
# The device list's height when opened; a click on the bare desktop closes
# it untouched (a key would send the selection on its release). From two
# known lengths it tells how many entries a list holds.
list_height() {
  local X Y WIDTH HEIGHT SCREEN WINDOW
  xdotool mousemove --window "$window" 120 18 click 1
  wait_for 30 has_drop_down || fail "the device list did not open"
  eval "$(xdotool getwindowgeometry --shell "$(drop_down)")"
  xdotool mousemove 1000 740 click 1
  wait_for 30 no_drop_down || fail "a click beside the device list did not close it"
  echo "$HEIGHT"
}
entries() {
  local height; height=$(list_height)
  [ $(((height - height6) % entry_height)) -eq 0 ] || fail "a device list $height high holds no whole number of entries"
  echo $((6 + (height - height6) / entry_height))
}
expect_entries() {
  local n; n=$(entries)
  [ "$n" -eq "$1" ] || fail "the device list holds $n entries, expected $1 ($2)"
}

guest_started=$(ms_now)
elapsed() { echo "$((($(ms_now) - guest_started) / 1000)) s"; }
start_session x-only
for n in 0 1 2 3; do start_raw $n; done
start_dump a

# First run: VirMIDI 0-0..0-3, aseqdump, then Midi Through; the first real
# port opens. Its start-up selection, the release of Up and a left press on the
# program number arrive at VirMIDI 0-0 as sent.
launch
xdotool key Up
xdotool mousemove --window "$window" 122 38 click 1
expect raw 0 "$select1"$'\n'"$select2"$'\n'"$select3"
height6=$(list_height)
# A switch to aseqdump: All Sound Off (channel 10) to the old port first.
pick_device 4 6
expect dump a "$select3"
expect raw 0 "$select1"$'\n'"$select2"$'\n'"$select3"$'\n'"$sound_off"
# The port in use leaves and is back at once, under another client number:
# the tool opens it again by itself and sends the selection, nothing else.
stop_dump a
start_dump a
expect dump a "$select3"
# The close exits promptly, silently, with the choice saved by name.
close_tool
# About a second here when the machine is idle, four under load; a close
# that waits on anything takes far longer.
[ "$close_ms" -le 8000 ] || fail "the tool took $close_ms ms to exit after the close"
settings_say "4|aseqdump:aseqdump"
echo "first run: ok (window after $launch_ms ms, exit $close_ms ms after the close; $(elapsed))"

# Restore by name: another client now holds aseqdump's old number and sits at
# its old place in the list.
old_a=$dump_client_a
stop_dump a
arecordmidi -p 14:0 "$work/holder.mid" &
receivers+=($!)
wait_for 60 sh -c "aconnect -o | grep -q arecordmidi" || fail "arecordmidi did not become a client"
start_dump a
[ "$dump_client_a" != "$old_a" ] || fail "aseqdump kept client $old_a"
launch
expect dump a "$select1"
# A second aseqdump after start-up is offered when the list opens, told
# apart from the first by its numbers; picking it reaches it and not its
# namesake.
start_dump b
height8=$(list_height)
entry_height=$(((height8 - height6) / 2))
[ "$entry_height" -gt 0 ] || fail "the device list did not grow with two more ports ($height6, then $height8)"
pick_device 6 8
expect dump b "$select1"
expect dump a "$select1"$'\n'"$sound_off"
close_tool
settings_say "6|aseqdump:aseqdump $dump_client_b:0"
echo "restore by name, a new port, namesakes: ok ($(elapsed))"

# The namesake that was picked, the later one, restores to itself.
launch
expect dump b "$select1"$'\n'"$select1"
echo "a namesake restores to itself: ok ($(elapsed))"

# The open port's client ends: sends go nowhere, silently, and the list
# loses it (the other aseqdump is now alone under its name).
stop_dump b
xdotool key Up
expect_entries 7 "the ended client is gone"
expect dump a "$select1"$'\n'"$sound_off"
has_message_box && fail "a message box appeared after the port's client ended"
pick_device 1 7
expect raw 1 "$select2"

# The VirMIDI card is unplugged while its port is open (the kernel takes the
# device away, as when a USB cable is pulled), and its module removed: the
# tool keeps running and releases it.
for n in 0 1 2 3; do stop_raw $n; done
echo snd_virmidi.0 >/sys/bus/platform/drivers/snd_virmidi/unbind
xdotool key Up
modprobe -r snd-virmidi || fail "the VirMIDI module stays in use after its card was unplugged"
expect_entries 3 "the VirMIDI ports are gone"
alive "$tool_pid" || fail "the tool ended when the card was unplugged"
[ ! -s "$work/tool.out" ] || fail "the tool printed: $(cat "$work/tool.out")"
# The module comes back: its ports are listed again, and the one in use is
# opened again by the tool itself, with no pick and no All Sound Off. The
# selection it sends then may come before this reader is there, so a key
# shows that the port is open.
modprobe snd-virmidi
wait_for 60 sh -c "aconnect -o | grep -q 'VirMIDI 0-1'" || fail "VirMIDI did not come back"
mv "$work/raw-1.out" "$work/raw-1.before-unplug.out"
start_raw 1
reconnected() {
  aconnect -l | awk "/VirMIDI 0-1/ { port = 1; next } /^client/ { port = 0 } port && /Connected From/ { found = 1 } END { exit !found }"
}
wait_for 60 reconnected || fail "the tool did not open VirMIDI 0-1 again when it came back: $(aconnect -l)"
xdotool key Down
wait_for 60 has_messages raw 1 3 || true
got=$(raw_messages 1)
[ "$got" = "$select2" ] || [ "$got" = "$select3"$'\n'"$select2" ] \
  || fail "VirMIDI 0-1 got after it came back:
$got"
expect_entries 7 "the VirMIDI ports are listed again"
close_tool
settings_say "1|Virtual Raw MIDI 0-1:VirMIDI 0-1"
# Nothing reached a port it was not sent to.
expect raw 0 "$select1"$'\n'"$select2"$'\n'"$select3"$'\n'"$sound_off"
for n in 2 3; do expect raw $n ""; done
echo "a port that vanishes and comes back: ok ($(elapsed))"
