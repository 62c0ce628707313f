#!/usr/bin/env bash
# Runs every benchmark of the tool and prints its figures beside their
# baselines (docs/performance.md explains them):
#
#   scripts/bench.sh BUILD-DIR [PART...]      (make bench runs them all)
#
# PARTs: startup steps stalled send keys idle.
#
# Starts and stops its own X server (Xvfb), window manager (openbox), private
# JACK server (dummy driver, named tavrelle-bench) and FluidSynth on it,
# through scripts/services.sh.
#
# Run as root, the start-up part also measures as an ordinary user: it
# creates the system user tavrelle-bench (useradd --system, no home, no
# login shell) when it does not exist yet, and runs that user's own JACK
# server (tavrelle-bench-user) and FluidSynth, since JACK's sockets belong to
# one user; the X server is shared. Run as another user, the start-up part
# measures as that user only.
# TAVRELLE_BENCH_RUNS sets the rounds of the start-up comparison (default 15),
# TAVRELLE_BENCH_STALLED_RUNS those against a stalled server (default 5),
# TAVRELLE_BENCH_IDLE_SECONDS each idle look (default 60).
set -euo pipefail

build=$(readlink -f "${1:?usage: bench.sh BUILD-DIR [startup|steps|stalled|send|keys|idle]...}")
shift
parts=" ${*:-startup steps stalled send keys} "
bin=$build/bench
tool=$build/src/tavrelle
runs=${TAVRELLE_BENCH_RUNS:-15}
stalled_runs=${TAVRELLE_BENCH_STALLED_RUNS:-5}
idle_seconds=${TAVRELLE_BENCH_IDLE_SECONDS:-60}
releases=200
bench_user=tavrelle-bench
user_server=tavrelle-bench-user
scripts=$(readlink -f "$(dirname "$0")")
source "$scripts/services.sh"

for program in "$tool" "$bin/floor_window" "$bin/floor_timeline" "$bin/launch_probe" "$bin/startup_steps" "$bin/startup_timeline" \
  "$bin/send_bench" "$bin/key_latency"; do
  [ -x "$program" ] || { echo "bench: $program is missing; build with TAVRELLE_BUILD_BENCH=ON" >&2; exit 1; }
done

wanted() { [[ $parts == *" $1 "* ]]; }
as_other_user=0
((EUID == 0)) && wanted startup && as_other_user=1

work=$(mktemp -d)
user_work=""
stopped_server=""
services_init "$work/services" tavrelle-bench
# The ordinary user's services, through the same script, as that user.
as_user() {
  setpriv --reuid="$bench_user" --regid="$bench_user" --init-groups \
    env -i PATH="$PATH" HOME="$user_work/home" XDG_RUNTIME_DIR="$user_work/runtime" \
    XDG_CONFIG_HOME="$user_work/home/.config" DISPLAY="${DISPLAY:-}" JACK_DEFAULT_SERVER="$user_server" "$@"
}
user_services() {  # <services.sh commands...>
  as_user bash -c 'source "$0/services.sh"; services_init "$1" "$2"; shift 2; eval "$*"' \
    "$scripts" "$user_work/services" "$user_server" "$@"
}
cleanup() {
  [ -z "$stopped_server" ] || kill -CONT "$stopped_server" 2>/dev/null || true
  [ -z "$user_work" ] || user_services stop_services || true
  stop_services
  rm -rf "$work" ${user_work:+"$user_work"}
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() { echo "bench: $*" >&2; exit 1; }
heading() { printf '\n== %s\n' "$*"; }

export HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/home/.config"
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
start_x || fail "no X server"
start_jack || fail "no JACK server"
start_fluidsynth fsynth || fail "no FluidSynth"

if ((as_other_user)); then
  id -u "$bench_user" >/dev/null 2>&1 ||
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$bench_user" ||
    fail "cannot create the user $bench_user"
  user_work=$(mktemp -d /tmp/tavrelle-bench-user.XXXXXX)
  mkdir -p "$user_work/home" && mkdir -m 700 "$user_work/runtime"
  chown -R "$bench_user:$bench_user" "$user_work"
  chmod 755 "$user_work"
  # The X server takes local clients of every user: it runs without an
  # authorisation file.
  as_user xdotool getdisplaygeometry >/dev/null 2>&1 || fail "$bench_user cannot connect to the X server $DISPLAY"
  user_services start_jack '&&' start_fluidsynth fsynth || fail "no JACK server or FluidSynth for $bench_user"
fi

# launch <who> <name> <binary> <title> [probe options]: one run of a fresh
# copy of <binary> as root or the ordinary user ("root" or "user"), its
# figures appended to <who>-<name>.runs.
launch() {
  local who=$1 name=$2 binary=$3 title=$4 folder
  shift 4
  if [ "$who" = user ] && ((as_other_user)); then
    folder=$(mktemp -d "$user_work/run.XXXXXX")
    cp "$binary" "$folder/$name"
    chown -R "$bench_user:$bench_user" "$folder"
    as_user "$bin/launch_probe" "$@" "$folder/output" "$folder/$name" "$title" >>"$work/$who-$name.runs" \
      || fail "run of $name as $bench_user failed: $(tail -1 "$work/$who-$name.runs") $(head -3 "$folder/output")"
  else
    folder=$(mktemp -d "$work/run.XXXXXX")
    cp "$binary" "$folder/$name"
    "$bin/launch_probe" "$@" "$folder/output" "$folder/$name" "$title" >>"$work/$who-$name.runs" \
      || fail "run of $name failed: $(tail -1 "$work/$who-$name.runs") $(head -3 "$folder/output")"
  fi
  if [[ $name == *timeline ]]; then
    # Its own step times, beside the probe's figures of the same run.
    sed -i '$ s/$/ '"$(head -1 "$folder/output")"'/' "$work/$who-$name.runs"
  else
    [ ! -s "$folder/output" ] || fail "$name printed: $(head -3 "$folder/output")"
  fi
  rm -rf "$folder"
}

if wanted startup; then
who="root"
((as_other_user)) && who="root user"
((EUID == 0)) || who="user"
heading "Start-up to the window mapped, memory 1 s later, close request to exit ($runs interleaved rounds as: $who)"
for ((round = 0; round < runs; round++)); do
  for w in $who; do
    # Alternating the order keeps a warm-up of either from favouring the other.
    if ((round % 2 == 0)); then
      launch "$w" floor "$bin/floor_window" Floor; launch "$w" tavrelle "$tool" Tavrelle
    else
      launch "$w" tavrelle "$tool" Tavrelle; launch "$w" floor "$bin/floor_window" Floor
    fi
  done
done
python3 - "$work" $who <<'PY'
import statistics, sys
work, whos = sys.argv[1], sys.argv[2:]
def load(path):
    runs = [dict(field.split("=") for field in line.split()) for line in open(path) if line.strip()]
    return {key: [int(run[key]) for run in runs] for key in runs[0]}
def row(label, values, scale, unit):
    v = [x / scale for x in values]
    return f"  {label:12} median {statistics.median(v):8.1f} {unit}  min {min(v):8.1f}  max {max(v):8.1f}"
aims = {"root": 1.4, "user": 1.2}
for who in whos:
    tool, floor = load(f"{work}/{who}-tavrelle.runs"), load(f"{work}/{who}-floor.runs")
    print(f"-- as {'root' if who == 'root' else 'an ordinary user'}")
    print("launch to mapped")
    print(row("tavrelle", tool["map_us"], 1000, "ms"))
    print(row("floor", floor["map_us"], 1000, "ms"))
    ratio = statistics.median(tool["map_us"]) / statistics.median(floor["map_us"])
    print(f"  ratio of medians {ratio:.3f} (aim: at most {aims[who]}" + (", moonshot 1.2)" if who == "root" else ")"))
    print("close request to exit, window idle 1 s")
    print(row("tavrelle", tool["close_us"], 1000, "ms"))
    print(row("floor", floor["close_us"], 1000, "ms"))
    extra = (statistics.median(tool["close_us"]) - statistics.median(floor["close_us"])) / 1000
    print(f"  tavrelle above floor (medians): {extra:.1f} ms (aim: at most 15 ms)")
    print("memory 1 s after mapped")
    for key, label in (("rss_kib", "RSS"), ("anon_kib", "anonymous"), ("file_kib", "file"),
                       ("shmem_kib", "shared mem"), ("pss_kib", "PSS"), ("uss_kib", "private")):
        print(row(label + " t", tool[key], 1024, "MiB"))
        print(row(label + " f", floor[key], 1024, "MiB"))
        extra = (statistics.median(tool[key]) - statistics.median(floor[key])) / 1024
        print(f"  {'':12} tavrelle above floor (medians): {extra:.2f} MiB")
PY
fi

if wanted steps; then
heading "Start-up steps from the program's point of view ($bin/startup_steps $runs)"
"$bin/startup_steps" "$runs" || fail "startup_steps failed"
heading "Start-up step by step, the tool and the floor on one clock ($runs interleaved rounds)"
for ((round = 0; round < runs; round++)); do
  if ((round % 2 == 0)); then
    launch root floor-timeline "$bin/floor_timeline" Floor; launch root timeline "$bin/startup_timeline" Tavrelle
  else
    launch root timeline "$bin/startup_timeline" Tavrelle; launch root floor-timeline "$bin/floor_timeline" Floor
  fi
done
python3 - "$work/root-timeline.runs" "$work/root-floor-timeline.runs" <<'PY'
import statistics, sys
def load(path):
    return [dict(field.split("=") for field in line.split()) for line in open(path) if line.strip()]
tool, floor = load(sys.argv[1]), load(sys.argv[2])
def median(runs, key):
    values = [int(run[key]) for run in runs if key in run]
    return statistics.median(values) / 1000 if values else float("nan")
print("ms from the launch, medians: when each step ended              tavrelle    floor")
for label, key in (("main entered (libraries loaded and relocated)", "main"),
                   ("QApplication constructed (display connected)", "qapplication"),
                   ("window built (the tool: start-up run too)", "window_built"),
                   ("shown", "shown"),
                   ("mapped, as the X server reports it", "map_us")):
    print(f"  {label:60} {median(tool, key):8.2f} {median(floor, key):8.2f}")
print("the window's thread, and the MIDI service's first calls                start      end")
for label, start, end in (
    ("window thread: window icon", "qapplication", "icon_missing" if "icon_missing" in tool[0] else "icon"),
    ("the service created (its MIDI thread begins the listing)", "icon_missing" if "icon_missing" in tool[0] else "icon", "service_created"),
    ("window thread: window construction", "window_begins", "window_built"),
    ("first device count (waits for the rest of the listing)", "window_count_start", "window_count_end"),
    ("first open (the connection)", "window_open_start", "window_open_end"),
    ("the selection sent", "window_send_start", "window_send_end"),
):
    print(f"  {label:64} {median(tool, start):7.2f} {median(tool, end):8.2f}")
if "icon_missing" in tool[0]:
    print("  note: the window icon's resources were not found in this build")
PY
fi

if wanted stalled; then
heading "Against a stalled JACK server (SIGSTOP; $stalled_runs rounds each)"
jackd_pid=$(service_pid jackd)
for ((round = 0; round < stalled_runs; round++)); do
  # Start-up while the server is stopped: the messages, then the window.
  stopped_server=$jackd_pid
  kill -STOP "$jackd_pid"
  launch root stalled-start "$tool" Tavrelle --boxes
  kill -CONT "$jackd_pid"
  stopped_server=""
  wait_for 10 jack_running || fail "the JACK server did not resume"
  # A running tool whose server stops just before the close request.
  stopped_server=$jackd_pid
  launch root stalled-close "$tool" Tavrelle --stop-before-close "$jackd_pid"
  stopped_server=""
  wait_for 10 jack_running || fail "the JACK server did not resume"
done
python3 - "$work" <<'PY'
import statistics, sys
def load(path):
    runs = [dict(field.split("=") for field in line.split()) for line in open(path) if line.strip()]
    return {key: [int(run[key]) for run in runs] for key in runs[0]}
start, close = load(f"{sys.argv[1]}/root-stalled-start.runs"), load(f"{sys.argv[1]}/root-stalled-close.runs")
def row(label, values):
    v = [x / 1000 for x in values]
    print(f"  {label:52} median {statistics.median(v):8.1f} ms  min {min(v):8.1f}  max {max(v):8.1f}")
row("launch to first message box", start["box_us"])
print(f"  message boxes per start-up: {sorted(set(start['boxes']))}")
row("launch to main window mapped (boxes closed at once)", start["map_us"])
row("close request to exit, stalled since start-up", start["close_us"])
row("close request to exit, stalled just before the close", close["close_us"])
print("  aims: first message within 6 s; exit within 1 s of the close request")
PY
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
        agg.setdefault(b["run_name"].split("/")[0], {})[b["aggregate_name"]] = (b["real_time"], b["time_unit"])
f = agg["RtMidi_ThreeSendMessages"]
print("per selection, ns                         median      min      max  ratio of medians")
print(f"{'RtMidi, three sendMessage (floor)':40} {f['median'][0]:8.1f} {f['min'][0]:8.1f} {f['max'][0]:8.1f}")
t = agg["Tavrelle_SendVoiceSelection"]
print(f"{'SendVoiceSelection':40} {t['median'][0]:8.1f} {t['min'][0]:8.1f} {t['max'][0]:8.1f}  {t['median'][0] / f['median'][0]:.3f}")
print("aim: at most 1.1 times the floor")
print("device list, ms                           median      min      max")
for name, label in (("Tavrelle_FirstListing", "first listing, new service"),
                    ("Tavrelle_RescanDevices_NothingOpen", "re-read, nothing open"),
                    ("Tavrelle_RescanDevices_PortOpen", "re-read, a port open")):
    t = agg[name]
    print(f"{label:40} {t['median'][0]:8.3f} {t['min'][0]:8.3f} {t['max'][0]:8.3f}")
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

# switches TID: the times the thread was switched in, waiting or preempted.
switches() { awk '/ctxt_switches/ { n += $2 } END { print n }' "/proc/$tool_pid/task/$1/status" 2>/dev/null; }
# idle_look WHAT: the running tool's own threads, how often each ran in
# $idle_seconds of an idle window, then its system calls over as long again.
idle_look() {
  local tid names before=() i=0
  # libjack's threads are the library's own; they are counted apart.
  names=$(for tid in $(ls "/proc/$tool_pid/task"); do echo "$tid:$(cat "/proc/$tool_pid/task/$tid/comm")"; done)
  echo "-- $1"
  echo "  threads: $(echo $names)"
  for tid in $(ls "/proc/$tool_pid/task"); do before+=("$(switches "$tid")"); done
  sleep "$idle_seconds"
  echo "  times each thread ran in $idle_seconds s:"
  for tid in $(ls "/proc/$tool_pid/task"); do
    echo "    $(cat "/proc/$tool_pid/task/$tid/comm") ($tid): $(($(switches "$tid") - ${before[i]:-0}))"
    i=$((i + 1))
  done
  echo "  strace -f -c -p over $idle_seconds s:"
  timeout -s INT "$idle_seconds" strace -f -c -p "$tool_pid" -o "$work/strace.out" 2>/dev/null || true
  sed 's/^/    /' "$work/strace.out"
}
# titled NAME: the visible windows of exactly that title (xdotool's search
# ignores case: the main window is "Tavrelle", a message box "tavrelle").
titled() {
  local w
  for w in $(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null); do
    [ "$(xdotool getwindowname "$w" 2>/dev/null)" != "$1" ] || echo "$w"
  done
}
# idle_run WHAT [environment...]: a copy of the tool started, its start-up
# boxes answered, its window idle and looked at, then closed.
idle_run() {
  local what=$1 folder
  shift
  folder=$(mktemp -d "$work/run.XXXXXX")
  cp "$tool" "$folder/tavrelle"
  env "$@" "$folder/tavrelle" >"$folder/output" 2>&1 & tool_pid=$!
  until window=$(titled Tavrelle | head -1) && [ -n "$window" ]; do
    # A start-up message (no device): Enter answers it.
    box=$(titled tavrelle | head -1)
    [ -z "$box" ] || xdotool windowactivate --sync "$box" key Return 2>/dev/null || true
    kill -0 "$tool_pid" 2>/dev/null || fail "the tool ended: $(head -3 "$folder/output")"
    sleep 0.5
  done
  sleep 2
  idle_look "$what"
  echo "  the tool's JACK port and its connection: $(jack_lsp -c 2>/dev/null | grep -A1 '^tavrelle:' | tr '\n' ' ')"
  xdotool windowactivate --sync "$window" key alt+F4
  wait_for 10 sh -c "! kill -0 $tool_pid" || { kill "$tool_pid"; fail "the tool did not close"; }
  wait "$tool_pid" || true
}

if wanted idle; then
heading "Idle: the tool's threads, how often they run, their system calls"
command -v strace >/dev/null || fail "strace is not installed (Debian package strace)"
idle_run "a JACK device open (FluidSynth's port)"
idle_run "no MIDI system: no JACK server, no ALSA sequencer" JACK_DEFAULT_SERVER=tavrelle-bench-absent
fi
