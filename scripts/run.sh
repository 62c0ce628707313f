#!/usr/bin/env bash
# Launches the tool. Where the machine offers no MIDI output at all, starts a
# FluidSynth module first (on a private JACK server with the dummy driver when
# there is no sound hardware), says so, and stops it when the tool exits.
set -euo pipefail
tool=${1:?usage: run.sh path/to/tavrelle}
soundfont=/usr/share/sounds/sf2/TimGM6mb.sf2

has_alsa_output() {
  [ -r /dev/snd/seq ] || return 1
  command -v aconnect >/dev/null || return 0
  aconnect -o 2>/dev/null | grep '^client' | grep -v -q -e 'Midi Through' -e "'System'"
}

has_jack_output() {
  command -v jack_lsp >/dev/null || return 1
  JACK_NO_START_SERVER=1 jack_lsp -p -t 2>/dev/null | grep -B2 'midi' | grep -q 'input'
}

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT INT TERM

if ! has_alsa_output && ! has_jack_output; then
  if [ -d /dev/snd ]; then
    echo "No MIDI output found: starting FluidSynth (ALSA) for this session."
    fluidsynth -q -s -i -a alsa -m alsa_seq "$soundfont" >/dev/null 2>&1 &
    pids+=($!)
    sleep 1
  else
    export JACK_DEFAULT_SERVER="tavrelle-run"
    echo "No MIDI output found: starting FluidSynth on a private JACK server ($JACK_DEFAULT_SERVER) for this session."
    jackd --no-realtime -d dummy -r 48000 -p 256 >/dev/null 2>&1 &
    pids+=($!)
    timeout 10 jack_wait -w >/dev/null 2>&1 || { echo "JACK did not start." >&2; exit 1; }
    fluidsynth -q -s -i -a jack -m jack -o midi.jack.id=fluidsynth -o audio.jack.id=fluidsynth "$soundfont" >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
      jack_lsp 2>/dev/null | grep -q '^fluidsynth:midi' && break
      sleep 0.1
    done
  fi
fi

"$tool"
