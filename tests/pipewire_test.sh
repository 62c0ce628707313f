#!/usr/bin/env bash
# The tool's MIDI output service on PipeWire's JACK graph: PipeWire and
# WirePlumber on a private runtime folder with a session bus of their own,
# FluidSynth with TimGM6mb joined through pw-jack, and the service run
# without it (voice_probe), as a desktop user starts the tool, to pick a
# voice that FluidSynth must then report on its command shell
# (scripts/services.sh's fluid). One service runs from before PipeWire
# starts until after it has restarted many times.
#
#   pipewire_test.sh path/to/voice_probe
#
# At the end PipeWire gives way to a JACK 2 server named
# TAVRELLE_PIPEWIRE_JACK_SERVER (tavrelle-pipewire unless set), named for
# this purpose alone, as scripts/services.sh asks.
#
# Exits 77 (skipped) only when PipeWire itself cannot start here, saying why.
set -euo pipefail
probe=$(readlink -f "${1:?usage: pipewire_test.sh path/to/voice_probe}")
soundfont=/usr/share/sounds/sf2/TimGM6mb.sf2
midi_port=fsynth:midi_00

if [[ -z ${TAVRELLE_PIPEWIRE_SESSION:-} ]]; then
  for program in dbus-run-session pipewire wireplumber pw-jack fluidsynth jack_lsp jackd; do
    command -v "$program" >/dev/null ||
      { echo "pipewire test: $program is not installed (scripts/install-deps.sh installs it)" >&2; exit 1; }
  done
  [[ -r $soundfont ]] || { echo "pipewire test: $soundfont is missing" >&2; exit 1; }
  source "$(dirname "$0")/../scripts/services.sh"
  in_private_pipewire_session "$0" "$probe"
  exit
fi

work=$TAVRELLE_PIPEWIRE_SESSION
jack_server=${TAVRELLE_PIPEWIRE_JACK_SERVER:-tavrelle-pipewire}
# scripts/services.sh's helpers run the services here, their files in $work:
# launch_service, stop_service, wait_for and fluid (FluidSynth's shell).
source "$(dirname "$0")/../scripts/services.sh"
services_state=$work
cleanup() {
  set +e
  exec 3>&-
  stop_service probe
  stop_service fluidsynth
  stop_service wireplumber
  stop_service pipewire
  stop_service jackd 20
  [[ ! -e $work/jackd.ours ]] || release_server "$jack_server"
}
trap cleanup EXIT

fail() {
  echo "pipewire test: $*" >&2
  for log in "$work"/*.log; do echo "--- ${log##*/}"; tail -n 20 "$log"; done >&2
  exit 1
}

launch_service pipewire pipewire || exit 1
if ! wait_for 10 test -S "$XDG_RUNTIME_DIR/pipewire-0"; then
  echo "SKIPPED: PipeWire cannot start here:"
  tail -n 5 "$work/pipewire.log"
  exit 77
fi

# A service started before PipeWire (a session script that starts it a
# moment later, or by hand) lists no device, and reaches PipeWire's JACK
# graph once it is there, without being started again.
stop_service pipewire
mkfifo -m 600 "$work/probe.in"
JACK_DEFAULT_SERVER=$jack_server service_stdin=$work/probe.in launch_service probe "$probe" "$midi_port"
exec 3>"$work/probe.in"
answers() { [[ $(grep -c . "$work/probe.out") -ge $1 ]]; }
echo "20 6" >&3
wait_for 10 answers 1 || fail "the service started before PipeWire did not answer"
[[ $(tail -n 1 "$work/probe.out") == "failed 10" ]] ||
  fail "before PipeWire started, the service answered $(tail -n 1 "$work/probe.out") instead of failed 10"
# It keeps its name for ps, pgrep and killall.
name=$(cat "/proc/$(service_pid probe)/comm")
[[ $name == voice_probe ]] || fail "the probe is named $name"
launch_service pipewire pipewire || exit 1
wait_for 10 test -S "$XDG_RUNTIME_DIR/pipewire-0" || fail "PipeWire did not start again"
launch_service wireplumber wireplumber || exit 1

mkfifo -m 600 "$work/fluidsynth.in"
listed() { pw-jack jack_lsp 2>/dev/null | grep -qx "$midi_port"; }
start_fluidsynth() {
  service_stdin=$work/fluidsynth.in launch_service fluidsynth \
    pw-jack fluidsynth -a jack -m jack -r 48000 -o audio.jack.id=fsynth -o midi.jack.id=fsynth \
    -o audio.jack.autoconnect=0 "$soundfont" || fail "FluidSynth did not start"
  wait_for 20 listed || fail "FluidSynth's $midi_port did not appear on PipeWire's JACK graph"
}
start_fluidsynth

# The preset FluidSynth reports on a channel (1-16), as "bank program".
preset_on() {
  fluid "channels -verbose" |
    sed -n "s/^chan $(($1 - 1)), sfont [0-9]*, bank \([0-9]*\), preset \([0-9]*\),.*/\1 \2/p" | tail -n 1
}
plays() { [[ $(preset_on "$1") == "$2" ]]; }

echo "20 6" >&3
wait_for 15 answers 2 || fail "the service started before PipeWire did not answer once it was there"
wait_for 5 plays 6 "0 19" ||
  fail "started before PipeWire, the service does not reach it: channel 6 plays $(preset_on 6) ($(tail -n 1 "$work/probe.out"))"
echo "pipewire test: the service started before PipeWire reached FluidSynth on it"

# The service runs without pw-jack: with no JACK server but PipeWire there,
# it reaches PipeWire's JACK graph by itself. Program 1 first, so the check
# below cannot pass on the soundfont's default.
"$probe" "$midi_port" 1 5 || fail "the service did not send through PipeWire's JACK (status $?)"
wait_for 5 plays 5 "0 0" || fail "channel 5 does not play program 1: $(preset_on 5)"
"$probe" "$midi_port" 41 5 || fail "the service did not send through PipeWire's JACK (status $?)"
wait_for 5 plays 5 "0 40" || fail "channel 5 does not play program 41 (Violin): $(preset_on 5)"
echo "pipewire test: the selection sent through PipeWire's JACK changed FluidSynth's preset"

# Started through the dynamic loader, the program reaches PipeWire all the same.
loader=$(readelf -l "$probe" | sed -n 's/.*program interpreter: \(.*\)]$/\1/p')
"$loader" "$probe" "$midi_port" 9 5 || fail "started through $loader, the probe ended with status $?"
wait_for 5 plays 5 "0 8" || fail "started through $loader, channel 5 does not play program 9: $(preset_on 5)"
# With JACK 2's libjack in the global scope (the tests' own clients link
# it), PipeWire's still reaches PipeWire. Instrumented builds load no other.
if ! readelf -d "$probe" | grep -q 'NEEDED.*libasan'; then
  LD_PRELOAD=libjack.so.0 "$probe" "$midi_port" 10 5 || fail "beside JACK 2's libjack, the probe ended with status $?"
  wait_for 5 plays 5 "0 9" || fail "beside JACK 2's libjack, channel 5 does not play program 10: $(preset_on 5)"
fi

# A service that keeps running while PipeWire restarts must notice that its
# graph went (PipeWire's libjack reports it only to jack_on_shutdown) and
# reach the new one, instead of queueing for a client that is dead.
stop_service fluidsynth
stop_service wireplumber
stop_service pipewire
launch_service pipewire pipewire || fail "PipeWire did not start again"
wait_for 10 test -S "$XDG_RUNTIME_DIR/pipewire-0" || fail "PipeWire did not start again"
launch_service wireplumber wireplumber || fail "WirePlumber did not start again"
start_fluidsynth
echo "30 6" >&3
wait_for 15 answers 3 || fail "the running service did not answer after the restart"
wait_for 5 plays 6 "0 29" ||
  fail "after PipeWire restarted, channel 6 does not play program 30: $(preset_on 6) ($(tail -n 1 "$work/probe.out"))"
echo "pipewire test: after PipeWire restarted, the running service reached FluidSynth again"

# Each PipeWire restart leaves the running service a dead client, which it
# must let go of: its tasks and descriptors after many restarts are those
# after two (TAVRELLE_PIPEWIRE_RESTARTS restarts, 8 unless set).
stop_service fluidsynth
stop_service wireplumber
usage() {
  local pid
  pid=$(service_pid probe)
  echo "$(awk '/^Threads/ {print $2}' "/proc/$pid/status") $(find "/proc/$pid/fd" -mindepth 1 | wc -l)" \
    "$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")"
}
restarts=${TAVRELLE_PIPEWIRE_RESTARTS:-8}
asked=3
for ((restart = 1; restart <= restarts; restart++)); do
  stop_service pipewire
  launch_service pipewire pipewire || fail "PipeWire did not start again"
  wait_for 10 test -S "$XDG_RUNTIME_DIR/pipewire-0" || fail "PipeWire did not start again"
  # The first request finds the handle dead and lists the new graph; the
  # second finds the device missing there.
  for _ in 1 2; do
    echo "1 7" >&3
    asked=$((asked + 1))
    wait_for 15 answers "$asked" || fail "the running service did not answer at restart $restart"
  done
  ((restart == 2)) && read -r tasks2 fds2 rss2 < <(usage)
done
read -r tasks fds rss < <(usage)
echo "pipewire test: tasks, descriptors, RSS (kB): $tasks2 $fds2 $rss2 after 2 restarts, $tasks $fds $rss after $restarts"
((tasks <= tasks2 + 1 && fds <= fds2 + 2)) || fail "restarts leak: $tasks2 -> $tasks tasks, $fds2 -> $fds descriptors"

# PipeWire gone for good while its libjack is in use, a JACK 2 server that
# starts is reached in the same session, through JACK 2's libjack.
stop_service pipewire
services_server=$jack_server
start_jack || fail "the JACK server $jack_server did not start"
service_stdin=$work/fluidsynth.in launch_service fluidsynth \
  fluidsynth -a jack -m jack -r 48000 -o audio.jack.server="$jack_server" -o midi.jack.server="$jack_server" \
  -o audio.jack.id=fsynth -o midi.jack.id=fsynth "$soundfont" || fail "FluidSynth did not start on JACK 2"
wait_for 20 has_port "$midi_port" || fail "FluidSynth's $midi_port did not appear on $jack_server"
echo "50 6" >&3
wait_for 15 answers $((asked + 1)) || fail "the running service did not answer once JACK 2 was there"
wait_for 5 plays 6 "0 49" ||
  fail "after PipeWire gave way to JACK 2, channel 6 does not play program 50: $(preset_on 6) ($(tail -n 1 "$work/probe.out"))"
echo "pipewire test: after PipeWire gave way to JACK 2, the running service reached FluidSynth there"
