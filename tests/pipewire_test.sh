#!/usr/bin/env bash
# The tool's MIDI output service on PipeWire's JACK graph: PipeWire and
# WirePlumber on a private runtime folder with a session bus of their own,
# FluidSynth with TimGM6mb joined through pw-jack, and the service run through
# pw-jack too (voice_probe) to pick a voice that FluidSynth must then report
# on its command shell, read through its stdin and its output.
#
#   pipewire_test.sh path/to/voice_probe
#
# Exits 77 (skipped) only when PipeWire itself cannot start here, saying why.
set -euo pipefail
probe=$(readlink -f "${1:?usage: pipewire_test.sh path/to/voice_probe}")
soundfont=/usr/share/sounds/sf2/TimGM6mb.sf2
midi_port=fsynth:midi_00

if [[ -z ${TAVRELLE_PIPEWIRE_SESSION:-} ]]; then
  for program in dbus-run-session pipewire wireplumber pw-jack fluidsynth jack_lsp; do
    command -v "$program" >/dev/null ||
      { echo "pipewire test: $program is not installed (scripts/install-deps.sh installs it)" >&2; exit 1; }
  done
  [[ -r $soundfont ]] || { echo "pipewire test: $soundfont is missing" >&2; exit 1; }
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  mkdir -m 700 "$work/runtime"
  # Nothing of a user's own session is reached: its runtime folder, bus,
  # settings and JACK server name are all replaced.
  status=0
  env -u JACK_DEFAULT_SERVER -u PIPEWIRE_REMOTE -u DBUS_SESSION_BUS_ADDRESS \
    TAVRELLE_PIPEWIRE_SESSION="$work" XDG_RUNTIME_DIR="$work/runtime" \
    XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" XDG_DATA_HOME="$work/data" \
    dbus-run-session -- bash "$0" "$probe" || status=$?
  exit $status
fi

work=$TAVRELLE_PIPEWIRE_SESSION
pids=()
cleanup() {
  set +e
  exec 3>&- 2>/dev/null
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill -TERM "${pids[i]}" 2>/dev/null
    wait "${pids[i]}" 2>/dev/null
  done
}
trap cleanup EXIT

show_logs() {
  for log in "$work"/*.log; do
    echo "--- $log"
    tail -n 20 "$log"
  done
}
fail() {
  echo "pipewire test: $*" >&2
  show_logs >&2
  exit 1
}
wait_for() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

pipewire >"$work/pipewire.log" 2>&1 &
pids+=($!)
if ! wait_for 10 test -S "$XDG_RUNTIME_DIR/pipewire-0"; then
  echo "SKIPPED: PipeWire cannot start here:"
  tail -n 5 "$work/pipewire.log"
  exit 77
fi
wireplumber >"$work/wireplumber.log" 2>&1 &
pids+=($!)

# FluidSynth's shell reads commands from a FIFO kept open here and answers in
# its log.
mkfifo "$work/fluidsynth.in"
exec 3<>"$work/fluidsynth.in"
pw-jack fluidsynth -a jack -m jack -r 48000 -o audio.jack.id=fsynth -o midi.jack.id=fsynth \
  -o audio.jack.autoconnect=0 "$soundfont" <"$work/fluidsynth.in" >"$work/fluidsynth.log" 2>&1 &
pids+=($!)
listed() { pw-jack jack_lsp 2>/dev/null | grep -qx "$midi_port"; }
wait_for 20 listed || fail "FluidSynth's $midi_port did not appear on PipeWire's JACK graph"

# The preset FluidSynth reports on a channel (1-16), as "bank program".
preset_on() {
  local channel=$1 log=$work/fluidsynth.log before marker
  before=$(wc -l <"$log")
  marker="tavrelle-answered-$before"
  printf 'channels -verbose\necho %s\n' "$marker" >&3
  answered() { tail -n +$((before + 1)) "$log" | grep -qx "$marker"; }
  wait_for 5 answered || fail "FluidSynth's shell does not answer"
  tail -n +$((before + 1)) "$log" |
    sed -n "s/^\(> \)*chan $((channel - 1)), sfont [0-9]*, bank \([0-9]*\), preset \([0-9]*\),.*/\2 \3/p" | tail -n 1
}
plays() {
  [[ $(preset_on "$1") == "$2" ]]
}

# Program 1 first, so the check below cannot pass on the soundfont's default.
pw-jack "$probe" "$midi_port" 1 5 || fail "the service did not send through PipeWire's JACK (status $?)"
wait_for 5 plays 5 "0 0" || fail "channel 5 does not play program 1: $(preset_on 5)"
pw-jack "$probe" "$midi_port" 41 5 || fail "the service did not send through PipeWire's JACK (status $?)"
wait_for 5 plays 5 "0 40" || fail "channel 5 does not play program 41 (Violin): $(preset_on 5)"
echo "pipewire test: the selection sent through PipeWire's JACK changed FluidSynth's preset"
