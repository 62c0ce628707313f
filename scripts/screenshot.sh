#!/usr/bin/env bash
# Takes docs/screenshot.png: the window, framed by openbox, on a private X
# server with a private JACK server and FluidSynth as its device.
#   scripts/screenshot.sh [path/to/tavrelle] [output.png]
# QT_SCALE_FACTOR is passed through, for a look at other pixel densities.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
tool=$(readlink -f "${1:-$here/build/src/tavrelle}")
output=$(readlink -f "${2:-$here/docs/screenshot.png}")
work=$(mktemp -d)
source "$here/scripts/services.sh"
services_init "$work/services" tavrelle-shot
tool_pid=
cleanup() {
  [ -z "$tool_pid" ] || { kill "$tool_pid" 2>/dev/null; wait "$tool_pid" 2>/dev/null; } || true
  stop_services
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR="$work" HOME="$work"
start_x 1600x1200x24
start_jack
start_fluidsynth fluidsynth

mkdir "$work/bin" && cp "$tool" "$work/bin/tavrelle"
"$work/bin/tavrelle" >/dev/null 2>&1 & tool_pid=$!
wait_for 60 xdotool search --onlyvisible --name '^Tavrelle$'
window=$(xdotool search --onlyvisible --name '^Tavrelle$' | head -1)
xdotool windowactivate --sync "$window"
# A voice worth showing: program 41, bank 8, channel 3.
xdotool key --delay 20 $(printf 'Up %.0s' $(seq 40)) Right Right Right Right Right Right Right Right Prior Prior
sleep 0.5
import -frame -window "$window" "$output"
echo "wrote $output"
