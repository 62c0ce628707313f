#!/usr/bin/env bash
# The MIDI output services' contract (midi_contract_test) on PipeWire's JACK
# graph: PipeWire and WirePlumber on a private runtime folder with a session
# bus of their own, and the test run as pw-jack runs a program, under
# PipeWire's libjack, with no JACK 2 server of its JACK server name. The
# test's devices are JACK clients of its own; it stops and starts PipeWire
# through this script's "system" command.
#
#   contract_pipewire_test.sh path/to/midi_contract_test [GoogleTest flags]
#   contract_pipewire_test.sh system stop|start    (the test's, in the session)
#
# Exits 77 (skipped) only when PipeWire itself cannot start here, saying why.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [[ ${1:-} == system ]]; then
  # What the test loaded is not for PipeWire and WirePlumber.
  unset LD_LIBRARY_PATH
  source "$here/../scripts/services.sh"
  services_state=${TAVRELLE_PIPEWIRE_SESSION:?the system command runs only inside the test session}
  case ${2:-} in
    stop) stop_pipewire ;;
    start) start_pipewire ;;
    *) echo "usage: contract_pipewire_test.sh system stop|start" >&2; exit 2 ;;
  esac
  exit
fi

suite=$(readlink -f "${1:?usage: contract_pipewire_test.sh path/to/midi_contract_test [GoogleTest flags]}")
shift
if [[ -z ${TAVRELLE_PIPEWIRE_SESSION:-} ]]; then
  for program in dbus-run-session pipewire wireplumber pw-jack pw-cli jack_wait; do
    command -v "$program" >/dev/null ||
      { echo "contract on PipeWire: $program is not installed (scripts/install-deps.sh installs it)" >&2; exit 1; }
  done
  # JACK 2's libjack would reach such a server instead of PipeWire.
  if [[ $(env -u JACK_DEFAULT_SERVER jack_wait -c 2>/dev/null) == running ]]; then
    echo "contract on PipeWire: a JACK 2 server named default runs here" >&2
    exit 1
  fi
  source "$here/../scripts/services.sh"
  in_private_pipewire_session "$0" "$suite" "$@"
  exit
fi

source "$here/../scripts/services.sh"
services_state=$TAVRELLE_PIPEWIRE_SESSION
trap 'stop_pipewire' EXIT
if ! start_pipewire; then
  if ! service_running pipewire; then
    echo "SKIPPED: PipeWire cannot start here:"
    tail -n 5 "$services_state/pipewire.log"
    exit 77
  fi
  exit 1
fi
status=0
TAVRELLE_CONTRACT_SYSTEM="bash $(printf %q "$here/contract_pipewire_test.sh") system" \
  pw-jack "$suite" --gtest_filter='services/midi_contract_test.*/pipewire' "$@" || status=$?
[[ $status -eq 0 ]] || { for log in "$services_state"/*.log; do echo "--- ${log##*/}"; tail -n 20 "$log"; done >&2; }
exit $status
