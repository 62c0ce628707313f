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
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
wait_for() {
  local limit=$(( $1 * 10 )); shift
  for ((i = 0; i < limit; i++)); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  echo "timed out: $*" >&2; return 1
}
for n in $(seq 150 199); do [ -e "/tmp/.X$n-lock" ] || { export DISPLAY=":$n"; break; }; done
export JACK_DEFAULT_SERVER="tavrelle-shot" XDG_RUNTIME_DIR="$work" HOME="$work"

Xvfb "$DISPLAY" -screen 0 1600x1200x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
wait_for 10 xdpyinfo
openbox --startup "touch $work/wm-ready" >/dev/null 2>&1 & pids+=($!)
wait_for 10 test -e "$work/wm-ready"
jackd --no-realtime -d dummy -r 48000 -p 256 >/dev/null 2>&1 & pids+=($!)
jack_wait -w -t 10 >/dev/null 2>&1
fluidsynth -q -s -i -a jack -m jack -o shell.port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')" -o midi.jack.id=FluidSynth -o audio.jack.id=FluidSynth \
  /usr/share/sounds/sf2/TimGM6mb.sf2 >/dev/null 2>&1 & pids+=($!)
wait_for 15 sh -c 'jack_lsp | grep -q "^FluidSynth:midi"'

mkdir "$work/bin" && cp "$tool" "$work/bin/tavrelle"
"$work/bin/tavrelle" >/dev/null 2>&1 & pids+=($!)
wait_for 15 xdotool search --onlyvisible --name '^Tavrelle$'
window=$(xdotool search --onlyvisible --name '^Tavrelle$' | head -1)
xdotool windowactivate --sync "$window"
# A voice worth showing: program 41, bank 8, channel 3.
xdotool key --delay 20 $(printf 'Up %.0s' $(seq 40)) Right Right Right Right Right Right Right Right Prior Prior
sleep 0.5
import -frame -window "$window" "$output"
echo "wrote $output"
