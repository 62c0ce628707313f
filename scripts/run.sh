#!/usr/bin/env bash
# Launches the tool. Where the machine offers no MIDI output at all, starts a
# FluidSynth module first (on a private JACK server with the dummy driver when
# there is no sound hardware), says so, and stops it when the tool exits. The
# private server is named per user (TAVRELLE_RUN_JACK_SERVER overrides the
# name), FluidSynth opens no network shell, and a second run while the first
# window is open uses the first one's module.
#   scripts/run.sh path/to/tavrelle
#   scripts/run.sh --check-display   fails at once when there is no display
set -euo pipefail
source "$(dirname "$0")/services.sh"

# Whether a display is there to open the window on: a Wayland socket, or an
# X display that is remote or has its socket.
check_display() {
  local runtime=${XDG_RUNTIME_DIR:-/run/user/$(id -u)} number
  if [ -n "${WAYLAND_DISPLAY:-}" ]; then
    [[ $WAYLAND_DISPLAY == /* ]] && [ -S "$WAYLAND_DISPLAY" ] && return 0
    [ -S "$runtime/$WAYLAND_DISPLAY" ] && return 0
  fi
  if [[ ${DISPLAY:-} =~ ^(unix)?:([0-9]+)(\.[0-9]+)?$ ]]; then
    number=${BASH_REMATCH[2]}
    [ -S "/tmp/.X11-unix/X$number" ] && return 0
  elif [ -n "${DISPLAY:-}" ]; then
    return 0
  fi
  echo "run: no display to open the window on (DISPLAY='${DISPLAY:-}', WAYLAND_DISPLAY='${WAYLAND_DISPLAY:-}');" \
    "start it from a desktop session" >&2
  return 1
}

if [ "${1:-}" = --check-display ]; then
  check_display
  exit
fi
tool=${1:?usage: run.sh path/to/tavrelle | --check-display}
check_display || exit 1

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
    services_init "$state" "${TAVRELLE_RUN_JACK_SERVER:-tavrelle-run-$(id -un)}"
    if jack_running; then
      # Another run's window is open: its module serves this one too.
      echo "FluidSynth is already running for another window (JACK server $services_server): using it;" \
        "it stops when that window closes."
      wait_for 10 has_port fluidsynth:midi_00 ||
        { echo "run: the JACK server $services_server runs, but without FluidSynth; close the other window first" >&2
          exit 1; }
    else
      echo "No MIDI output found: starting FluidSynth on a private JACK server ($services_server) for this session."
      start_jack || exit 1
      start_fluidsynth fluidsynth || exit 1
    fi
  fi
fi

# In the background, so that a TERM or INT ends the tool before the services.
"$tool" &
tool_pid=$!
trap 'kill -TERM "$tool_pid" 2>/dev/null; wait "$tool_pid"; exit 130' INT TERM
wait "$tool_pid"
