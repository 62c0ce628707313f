#!/usr/bin/env bash
# Launches the tool. Where the machine offers no MIDI output at all, starts a
# FluidSynth module first (on a private JACK server with the dummy driver when
# there is no sound hardware), says so, and stops it when the tool exits. The
# private server is named per user, and FluidSynth opens no network shell.
set -euo pipefail
tool=${1:?usage: run.sh path/to/tavrelle}
source "$(dirname "$0")/services.sh"

has_alsa_output() {
  [ -r /dev/snd/seq ] || return 1
  command -v aconnect >/dev/null || return 0
  aconnect -o 2>/dev/null | grep '^client' | grep -v -q -e 'Midi Through' -e "'System'"
}

has_jack_output() {
  command -v jack_lsp >/dev/null || return 1
  JACK_NO_START_SERVER=1 jack_lsp -p -t 2>/dev/null | grep -B2 'midi' | grep -q 'input'
}

state=$(mktemp -d "${TMPDIR:-/tmp}/tavrelle-run.XXXXXX")
cleanup() {
  stop_services || true
  rm -rf "$state"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if ! has_alsa_output && ! has_jack_output; then
  if [ -d /dev/snd ]; then
    services_init "$state" "${JACK_DEFAULT_SERVER:-default}"
    echo "No MIDI output found: starting FluidSynth (ALSA) for this session."
    rm -f "$state/fluidsynth.in" && mkfifo -m 600 "$state/fluidsynth.in"
    service_stdin=$state/fluidsynth.in launch_service fluidsynth \
      fluidsynth -q -a alsa -m alsa_seq "$services_soundfont"
    wait_for 10 sh -c 'aconnect -o | grep -q FLUID' ||
      { services_fail "FluidSynth did not start"; exit 1; }
  else
    services_init "$state" "tavrelle-run-$(id -un)"
    echo "No MIDI output found: starting FluidSynth on a private JACK server ($services_server) for this session."
    start_jack || exit 1
    start_fluidsynth fluidsynth || exit 1
  fi
fi

"$tool"
