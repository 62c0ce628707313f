#!/usr/bin/env bash
# Runs every benchmark of the tool and prints its figures beside their
# baselines (docs/performance.md explains them):
#
#   scripts/bench.sh BUILD-DIR [PART...]      (make bench runs them all)
#
# PARTs: settings startup steps send keys.
#
# Starts and stops its own X server (Xvfb), window manager (openbox), private
# JACK server (dummy driver, named tavrelle-bench) and FluidSynth on it,
# through scripts/services.sh.
# TAVRELLE_BENCH_RUNS sets the rounds of the start-up comparison (default 15).
set -euo pipefail

build=$(readlink -f "${1:?usage: bench.sh BUILD-DIR [settings|startup|steps|send|keys]...}")
shift
parts=" ${*:-settings startup steps send keys} "
bin=$build/bench
tool=$build/src/tavrelle
runs=${TAVRELLE_BENCH_RUNS:-15}
releases=200
source "$(dirname "$0")/services.sh"

for program in "$tool" "$bin/settings_bench" "$bin/floor_window" "$bin/launch_probe" "$bin/startup_steps" \
  "$bin/send_bench" "$bin/key_latency"; do
  [ -x "$program" ] || { echo "bench: $program is missing; build with TAVRELLE_BUILD_BENCH=ON" >&2; exit 1; }
done

work=$(mktemp -d)
services_init "$work/services" tavrelle-bench
cleanup() {
  stop_services
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() { echo "bench: $*" >&2; exit 1; }
heading() { printf '\n== %s\n' "$*"; }

wanted() { [[ $parts == *" $1 "* ]]; }

if wanted settings; then
heading "Settings file beside QSettings ($bin/settings_bench, 10 repetitions)"
# Short repetitions: most of its wall time goes to untimed set-up between
# timed rounds, so ten full-length repetitions would take most of an hour.
"$bin/settings_bench" --benchmark_min_time=0.05 --benchmark_repetitions=10 --benchmark_report_aggregates_only=true \
  --benchmark_out="$work/settings.json" --benchmark_out_format=json >"$work/settings.txt" 2>&1 \
  || { cat "$work/settings.txt"; fail "settings_bench failed"; }
python3 - "$work/settings.json" <<'PY'
import json, sys
rows = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("aggregate_name") == "median":
        kind, rest = b["run_name"].split("_", 1)
        rows.setdefault(rest, {})[kind] = b["real_time"]
print(f"{'step / entries (median of 10, microseconds)':44} {'Tavrelle':>12} {'QSettings':>12} {'ratio':>7}")
for name, pair in rows.items():
    t, q = pair.get("Tavrelle"), pair.get("QSettings")
    if t and q:
        print(f"{name:44} {t:12.1f} {q:12.1f} {t / q:7.3f}")
PY
fi
wanted startup || wanted steps || wanted send || wanted keys || exit 0

export HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/home/.config"
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
start_x || fail "no X server"
start_jack || fail "no JACK server"
start_fluidsynth fsynth || fail "no FluidSynth"

if wanted startup; then
heading "Start-up to the window mapped, and memory 1 s later ($runs interleaved rounds, fresh folder each run)"
: >"$work/tavrelle.runs"; : >"$work/floor.runs"
launch() {  # <name> <binary> <title>: one run of a fresh copy, appended to <name>.runs
  local folder; folder=$(mktemp -d "$work/run.XXXXXX")
  cp "$2" "$folder/$1"
  "$bin/launch_probe" "$folder/output" "$folder/$1" "$3" >>"$work/$1.runs" \
    || fail "run of $1 failed: $(tail -1 "$work/$1.runs") $(head -3 "$folder/output")"
  [ ! -s "$folder/output" ] || fail "$1 printed: $(head -3 "$folder/output")"
  rm -rf "$folder"
}
for ((round = 0; round < runs; round++)); do
  # Alternating the order keeps a warm-up of either from favouring the other.
  if ((round % 2 == 0)); then
    launch floor "$bin/floor_window" Floor; launch tavrelle "$tool" Tavrelle
  else
    launch tavrelle "$tool" Tavrelle; launch floor "$bin/floor_window" Floor
  fi
done
python3 - "$work/tavrelle.runs" "$work/floor.runs" <<'PY'
import statistics, sys
def load(path):
    runs = [dict(field.split("=") for field in line.split()) for line in open(path) if line.strip()]
    return {key: [int(run[key]) for run in runs] for key in runs[0]}
tool, floor = load(sys.argv[1]), load(sys.argv[2])
def row(label, values, scale, unit):
    v = [x / scale for x in values]
    return f"  {label:10} median {statistics.median(v):8.1f} {unit}  min {min(v):8.1f}  max {max(v):8.1f}"
print("launch to mapped")
print(row("tavrelle", tool["map_us"], 1000, "ms"))
print(row("floor", floor["map_us"], 1000, "ms"))
ratio = statistics.median(tool["map_us"]) / statistics.median(floor["map_us"])
print(f"  ratio of medians {ratio:.3f} (aim: at most 1.2)")
print("resident set size 1 s after mapped")
for key, label in (("rss_kib", "RSS"), ("anon_kib", "anonymous"), ("file_kib", "file"), ("shmem_kib", "shared mem"),
                   ("pss_kib", "PSS"), ("uss_kib", "private")):
    print(row(label + " t", tool[key], 1024, "MiB"))
    print(row(label + " f", floor[key], 1024, "MiB"))
    extra = (statistics.median(tool[key]) - statistics.median(floor[key])) / 1024
    print(f"  {'':10} tavrelle above floor (medians): {extra:.2f} MiB")
print("  aim: RSS at most 4 MiB above the floor")
PY
fi

if wanted steps; then
heading "Start-up steps from the program's point of view ($bin/startup_steps $runs)"
"$bin/startup_steps" "$runs" || fail "startup_steps failed"
fi

if wanted send; then
heading "Send path through JACK ($bin/send_bench)"
"$bin/send_bench" --benchmark_out="$work/send.json" --benchmark_out_format=json \
  --benchmark_report_aggregates_only=true || fail "send_bench failed"
python3 - "$work/send.json" <<'PY'
import json, sys
agg = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("run_type") == "aggregate":
        agg.setdefault(b["run_name"].split("/")[0], {})[b["aggregate_name"]] = b["real_time"]
f = agg["RtMidi_ThreeSendMessages"]
print("per selection, ns                         median      min      max  ratio of medians")
print(f"{'RtMidi, three sendMessage (floor)':40} {f['median']:8.1f} {f['min']:8.1f} {f['max']:8.1f}")
for name, label in (("Tavrelle_SendVoiceSelection", "SendVoiceSelection"),
                    ("Tavrelle_SendVoiceSelection_WindowLabels", "SendVoiceSelection, window labels")):
    t = agg[name]
    print(f"{label:40} {t['median']:8.1f} {t['min']:8.1f} {t['max']:8.1f}  {t['median'] / f['median']:.3f}")
print("aim: at most 1.1 times the floor")
PY
fi

if wanted keys; then
heading "Key release to the capture port ($bin/key_latency WINDOW $releases)"
folder=$(mktemp -d "$work/run.XXXXXX")
cp "$tool" "$folder/tavrelle"
"$folder/tavrelle" >"$folder/output" 2>&1 & tool_pid=$!
wait_for 15 xdotool search --onlyvisible --name '^Tavrelle$' || fail "the tool's window did not appear"
window=$(xdotool search --onlyvisible --name '^Tavrelle$' | head -1)
xdotool windowactivate --sync "$window"
wait_for 10 sh -c 'jack_lsp | grep -qx tavrelle:out' || fail "the tool opened no JACK port"
"$bin/key_latency" "$window" "$releases" || { kill "$tool_pid"; fail "key_latency failed"; }
xdotool windowactivate --sync "$window" key alt+F4
wait_for 10 sh -c "! kill -0 $tool_pid" || { kill "$tool_pid"; fail "the tool did not close"; }
wait "$tool_pid" || fail "the tool exited with an error"
[ ! -s "$folder/output" ] || fail "the tool printed: $(head -3 "$folder/output")"
fi
