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
source "$(dirname "$0")/progress.sh"

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

# The module and its server are shared by every window of this user that
# plays on them: each run lists itself (its own and its tool's process id) in
# users/ of one state folder per module, under a lock, and the run that finds
# no other living window there when its window closes stops them. A run that
# was killed is skipped as soon as neither of its processes lives.
shared=""
registered=0
jack_server=""
lock() {
  exec 9>"$shared/lock"
  flock -w 120 9 || { echo "run: another run holds $shared/lock for two minutes" >&2; exit 1; }
}
unlock() { flock -u 9; exec 9>&-; }
living_users() {
  local entry pid alive count=0
  for entry in "$shared"/users/*; do
    [ -e "$entry" ] || continue
    alive=0
    for pid in $(cat "$entry" 2>/dev/null); do process_alive "$pid" && alive=1; done
    if ((alive)); then count=$((count + 1)); else rm -f "$entry"; fi
  done
  echo "$count"
}
register() {
  mkdir -p "$shared/users"
  echo $$ >"$shared/users/$$"
  registered=1
}
cleanup() {
  local others
  ((registered)) || return 0
  lock
  rm -f "$shared/users/$$"
  others=$(living_users)
  if ((others > 0)); then
    echo "FluidSynth keeps running for $others other window(s); the last one to close stops it."
  elif service_running fluidsynth || service_running jackd; then
    stop_services 9>&- || true
    echo "Stopped FluidSynth${1:+ and the private JACK server $services_server}: this was the last window playing on it."
  fi
  unlock
}
trap 'cleanup "$jack_server"' EXIT
trap 'exit 130' INT TERM

# shared_state NAME: the state folder of a module, this user's alone.
shared_state() {
  local base=${XDG_RUNTIME_DIR:-}
  [ -n "$base" ] && [ -d "$base" ] && [ -w "$base" ] || base=${TMPDIR:-/tmp}
  shared=$base/tavrelle-run-$(id -u)-$1
  mkdir -p -m 700 "$shared"
  [ -O "$shared" ] || { echo "run: $shared belongs to someone else" >&2; exit 1; }
}

if [ -d /dev/snd ]; then
  shared_state alsa
  services_init "$shared" "${JACK_DEFAULT_SERVER:-default}"
  lock
  if service_running fluidsynth; then
    echo "FluidSynth is already running for another window: using it; it stops when the last window playing on it closes."
    register
  elif ! has_alsa_output && ! has_jack_output; then
    stage "No MIDI output found: starting FluidSynth (ALSA) for this session."
    rm -f "$shared/fluidsynth.in" && mkfifo -m 600 "$shared/fluidsynth.in"
    register
    service_stdin=$shared/fluidsynth.in launch_service fluidsynth \
      fluidsynth -q -a alsa -m alsa_seq "$services_soundfont" 9>&-
    wait_for 60 sh -c 'aconnect -o | grep -q FLUID' ||
      { services_fail "FluidSynth did not start"; exit 1; }
  fi
  unlock
elif ! has_alsa_output && ! has_jack_output; then
  jack_server=${TAVRELLE_RUN_JACK_SERVER:-tavrelle-run-$(id -un)}
  shared_state "$jack_server"
  services_init "$shared" "$jack_server"
  lock
  if jack_running && has_port fluidsynth:midi_00; then
    # Another run's window is open: its module serves this one too.
    echo "FluidSynth is already running for another window (JACK server $services_server): using it;" \
      "it stops when the last window playing on it closes."
    register
  else
    stage "No MIDI output found: starting FluidSynth on a private JACK server ($services_server) for this session."
    register
    { jack_running || start_jack; } 9>&- || exit 1
    start_fluidsynth fluidsynth 9>&- || exit 1
  fi
  unlock
fi

stage "opening the window"
# In the background, so that a TERM or INT ends the tool before the services.
"$tool" 9>&- &
tool_pid=$!
if ((registered)); then echo "$$ $tool_pid" >"$shared/users/$$"; fi
trap 'kill -TERM "$tool_pid" 2>/dev/null; wait "$tool_pid"; exit 130' INT TERM
wait "$tool_pid"
