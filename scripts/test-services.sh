#!/usr/bin/env bash
# The ctest fixture's services: a private JACK server (dummy driver, no sound
# hardware needed) and FluidSynth on it, started and stopped by
# scripts/services.sh.
#
#   scripts/test-services.sh start STATEDIR
#   scripts/test-services.sh stop STATEDIR
#
# The server is named by $JACK_DEFAULT_SERVER (default tavrelle-ctest), so a
# user's own JACK session is never touched; FluidSynth joins it as "fsynth"
# (MIDI input fsynth:midi_00) and takes shell commands through the FIFO
# STATEDIR/fluidsynth.in, answering in STATEDIR/fluidsynth.out
# (tests/support/fluidsynth_shell.h). Stopping fails when the server, or the
# integration tests' own "-private" one, left a place in JACK's table of
# servers or files in /dev/shm. Works without a terminal and as root.
set -euo pipefail
source "$(dirname "$0")/services.sh"

action=${1:-}
state=${2:-}
if [[ -z $action || -z $state ]]; then
  echo "usage: $0 start|stop STATEDIR" >&2
  exit 2
fi
services_init "$state" "${JACK_DEFAULT_SERVER:-tavrelle-ctest}"

case $action in
start)
  stop_services
  start_jack synchronous || { stop_services; exit 1; }
  start_fluidsynth fsynth || { stop_services; exit 1; }
  echo "test-services: JACK server $services_server with fsynth:midi_00, FluidSynth's shell on $state/fluidsynth.in"
  ;;
stop)
  # The integration tests' own server, which they kill, is released too.
  stop_services && release_server "$services_server-private"
  echo "test-services: stopped"
  ;;
*)
  echo "usage: $0 start|stop STATEDIR" >&2
  exit 2
  ;;
esac
