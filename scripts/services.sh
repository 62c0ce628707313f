# The one place that starts and stops the services the tests, the benchmarks
# and `make run` need: an X server (Xvfb) with openbox, a private JACK server
# on the dummy driver, FluidSynth on it, and a capture port. Sourced by
# scripts/test-services.sh (the ctest fixture), scripts/run.sh,
# scripts/bench.sh, scripts/install-test.sh, scripts/screenshot.sh and the
# end-to-end scripts under tests/.
#
#   services_init STATEDIR JACK-SERVER-NAME
#   start_bus | start_x [WxHxD] | start_jack [synchronous] | start_fluidsynth [JACK-ID] | start_capture
#   fluid COMMAND       one FluidSynth shell command, its answer on stdout
#   stop_service NAME [grace seconds] | stop_services
#   release_server NAME | server_leftovers NAME
#
# Each service runs in a session of its own (ctest waits for every holder of
# a test's output), its process id in STATEDIR/NAME.pid, its standard output
# in NAME.out and its errors in NAME.log, so that a later call, even from
# another script, can stop it. FluidSynth takes shell commands on its
# standard input through the FIFO STATEDIR/fluidsynth.in and listens on no
# network interface. JACK server names are fixed per purpose, never per run:
# libjack keeps eight server slots per machine and gives the slot of a server
# that died back only when a server of the same name runs again.

services_soundfont=/usr/share/sounds/sf2/TimGM6mb.sf2

services_fail() {
  local log
  echo "services: $*" >&2
  for log in "$services_state"/*.log; do
    [ -s "$log" ] || continue
    echo "--- ${log##*/}" >&2
    tail -n 20 "$log" >&2
  done
  return 1
}

# Microseconds on the clock; the deadline of every wait below.
clock_us() { echo "${EPOCHREALTIME//[!0-9]/}"; }

# wait_for <seconds> <command...>: tries the command until it succeeds or the
# seconds have passed on the clock, however long each try takes. The seconds
# are multiplied by TAVRELLE_WAIT_SCALE (1 unless set; the sanitizer run sets
# more). Tries come every poll_tenths tenths of a second (1 unless set).
wait_for() {
  local tenths=${poll_tenths:-1} deadline
  deadline=$(($(clock_us) + $1 * ${TAVRELLE_WAIT_SCALE:-1} * 1000000))
  shift
  while :; do
    "$@" >/dev/null 2>&1 && return 0
    (($(clock_us) < deadline)) || return 1
    sleep "$((tenths / 10)).$((tenths % 10))"
  done
}

services_init() {
  services_state=${1:?services_init STATEDIR SERVER}
  services_server=${2:?services_init STATEDIR SERVER}
  mkdir -p "$services_state"
  export JACK_DEFAULT_SERVER=$services_server
}

# Whether a process runs; a zombie nobody reaped has finished.
process_alive() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}
service_pid() { cat "$services_state/$1.pid" 2>/dev/null; }
service_running() { local pid; pid=$(service_pid "$1") && process_alive "$pid"; }

# launch_service NAME COMMAND...: standard input from $service_stdin (read
# and write, so a FIFO never reaches its end), default /dev/null.
launch_service() {
  local name=$1
  shift
  rm -f "$services_state/$name.pid"
  setsid sh -c 'echo $$ >"$0"; exec "$@"' "$services_state/$name.pid" "$@" \
    <>"${service_stdin:-/dev/null}" >"$services_state/$name.out" 2>"$services_state/$name.log" &
  wait_for 30 test -s "$services_state/$name.pid" || services_fail "$name did not start"
}

# stop_process PID [grace]: SIGTERM, SIGKILL after the grace period (5 s),
# always reaped; then whatever is left in the process group it leads (a
# child forked on its way to an exec, say) is killed too.
stop_process() {
  local pid=$1 grace=${2:-5}
  [[ $pid =~ ^[0-9]+$ ]] || return 0
  if process_alive "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    wait_for "$grace" eval "! process_alive $pid" || kill -KILL "$pid" 2>/dev/null || true
    wait_for 5 eval "! process_alive $pid" || true
  fi
  wait "$pid" 2>/dev/null || true
  kill -KILL -- "-$pid" 2>/dev/null || true
  ! process_alive "$pid" || { echo "services: process $pid does not stop" >&2; return 1; }
}

# stop_service NAME [grace]: stop_process, only while the process is still
# the program it was started as.
stop_service() {
  local name=$1 grace=${2:-5} pid
  pid=$(service_pid "$name") || return 0
  rm -f "$services_state/$name.pid"
  [[ $pid =~ ^[0-9]+$ ]] && process_alive "$pid" || { wait "$pid" 2>/dev/null || true; return 0; }
  tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q -- "$(service_program "$name")" || return 0
  stop_process "$pid" "$grace" || { echo "services: $name does not stop" >&2; return 1; }
}
service_program() {
  case $1 in
    xvfb) echo Xvfb ;; capture) echo jack_midi_dump ;; bus) echo dbus-daemon ;; *) echo "$1" ;;
  esac
}

# The reverse of the start order: clients leave the JACK server before it
# ends, and jackd gets the time it needs to give its slot back.
stop_services() {
  local failed=0
  stop_service capture 2 || failed=1
  stop_service fluidsynth 5 || failed=1
  stop_service jackd 20 || failed=1
  if [ -e "$services_state/jackd.ours" ]; then
    release_server "$services_server" && rm -f "$services_state/jackd.ours" || failed=1
  fi
  stop_service openbox 2 || failed=1
  stop_service xvfb 5 || failed=1
  stop_service bus 2 || failed=1
  return $failed
}

# A session bus of its own, as a desktop gives every program: without one,
# libdbus starts one itself by forking from Qt's D-Bus thread, and that child
# can hang before its exec. It starts no services; exports
# DBUS_SESSION_BUS_ADDRESS.
# Its socket is abstract: the state folder may be on a file system that takes
# no sockets (the ALSA guest sees the host's folders through 9p).
start_bus() {
  command -v dbus-daemon >/dev/null || services_fail "dbus-daemon is not installed (Debian package dbus)" || return 1
  cat >"$services_state/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:abstract=tavrelle-bus-$(printf %s "$services_state" | md5sum | cut -c1-16)</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
  launch_service bus dbus-daemon --nofork --nopidfile --config-file="$services_state/bus.conf" --print-address=1 ||
    return 1
  wait_for 60 grep -q . "$services_state/bus.out" || services_fail "the session bus did not start" || return 1
  export DBUS_SESSION_BUS_ADDRESS
  DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$services_state/bus.out")
}

# Xvfb on a display it picks itself, and openbox managing it; exports DISPLAY.
start_x() {
  local size=${1:-1024x768x24}
  rm -f "$services_state/display"
  launch_service xvfb Xvfb -displayfd 1 -screen 0 "$size" -nolisten tcp || return 1
  wait_for 60 grep -q . "$services_state/xvfb.out" || services_fail "Xvfb did not start" || return 1
  export DISPLAY=":$(head -n 1 "$services_state/xvfb.out")"
  # openbox announces itself before it manages windows; its start-up command
  # runs once it does.
  rm -f "$services_state/wm-ready"
  mkdir -p "$services_state/openbox-home"
  HOME=$services_state/openbox-home launch_service openbox \
    openbox --startup "touch $services_state/wm-ready" || return 1
  wait_for 60 test -e "$services_state/wm-ready" || services_fail "openbox did not start"
}

jack_running() { [ "$(jack_wait -s "$services_server" -c 2>/dev/null)" = running ]; }

start_jack() {
  command -v jackd >/dev/null || services_fail "jackd is not installed (Debian package jackd2)" || return 1
  # The same purpose in another build tree: its run ends first.
  wait_for 120 sh -c '! jack_wait -s "$0" -c 2>/dev/null | grep -qx running' "$services_server" ||
    { services_fail "a JACK server named $services_server is already running"; return 1; }
  reclaim_dead_server_slots
  # Only a server name this state started is released at the end.
  : >"$services_state/jackd.ours"
  # `start_jack synchronous` (-S): each cycle waits until every client has
  # run, so that a capture client that runs late on a busy machine still
  # reads the cycle's MIDI; in the default mode the next cycle overwrites
  # what it had not read yet. The default mode keeps a busy machine's graph
  # in real time, for the sessions that play FluidSynth.
  launch_service jackd jackd ${1:+-S} -n "$services_server" --no-realtime -d dummy -r 48000 -p 256 || return 1
  wait_for 60 eval 'jack_running || ! service_running jackd' && jack_running ||
    services_fail "the JACK server $services_server did not start"
}
has_port() { jack_lsp -s "$services_server" 2>/dev/null | grep -qx -- "$1"; }

# FluidSynth as JACK client JACK-ID (default fsynth; its port JACK-ID:midi_00),
# answering shell commands on its standard input.
start_fluidsynth() {
  local id=${1:-fsynth}
  [ -r "$services_soundfont" ] || services_fail "$services_soundfont is missing (Debian package timgm6mb-soundfont)" || return 1
  rm -f "$services_state/fluidsynth.in"
  mkfifo -m 600 "$services_state/fluidsynth.in"
  service_stdin=$services_state/fluidsynth.in launch_service fluidsynth \
    fluidsynth -q -a jack -m jack -r 48000 -o audio.jack.server="$services_server" \
    -o midi.jack.server="$services_server" -o audio.jack.id="$id" -o midi.jack.id="$id" "$services_soundfont" ||
    return 1
  wait_for 60 eval '(has_port "$id:midi_00" && fluid echo) || ! service_running fluidsynth' &&
    service_running fluidsynth || services_fail "FluidSynth did not join $services_server as $id"
}

# The shell marks no end of an answer, so an echo of a fresh marker does.
fluid() {
  local out=$services_state/fluidsynth.out marker="tavrelle-answer-$RANDOM$RANDOM" start
  service_running fluidsynth || return 1
  start=$(stat -c %s "$out")
  timeout 2 sh -c 'printf "%s\necho %s\n" "$1" "$2" >"$0"' "$services_state/fluidsynth.in" "$1" "$marker" || return 1
  wait_for 3 sh -c 'tail -c +"$1" "$2" | grep -q "$3"' sh $((start + 1)) "$out" "$marker" || return 1
  tail -c +$((start + 1)) "$out" | sed 's/^\(> \)*//' | sed "/$marker/,\$d"
}

# A JACK MIDI input "capture:input"; what it hears goes to
# STATEDIR/capture.out, one message a line.
start_capture() {
  launch_service capture jack_midi_dump capture || return 1
  wait_for 60 has_port capture:input || services_fail "the capture port did not appear"
}
captured() { awk '{print $2, $3, $4}' "$services_state/capture.out" | sed 's/ *$//'; }

# Frees the slots of this user's servers that died without stopping, by
# starting and cleanly stopping a server of each such name (jackd2 1.9's
# registry: six 32-bit fields, then eight slots of a process id and a
# 257-byte name, padded to 264 bytes).
reclaim_dead_server_slots() {
  local registry=/dev/shm/jack-shm-registry
  [ -r $registry ] || return 0
  local magic header_length slot offset pid name uid reclaimer
  magic=$(od -An -c -N 4 "$registry" | tr -d ' ')
  header_length=$(od -An -t u4 -j 16 -N 4 "$registry" | tr -d ' ')
  [[ $magic == KCAJ && $header_length == 2136 ]] || return 0
  uid=$(id -u)
  for slot in 0 1 2 3 4 5 6 7; do
    offset=$((24 + slot * 264))
    pid=$(od -An -t d4 -j "$offset" -N 4 "$registry" | tr -d ' ')
    [[ $pid =~ ^[0-9]+$ && $pid -gt 0 && ! -e /proc/$pid ]] || continue
    name=$(dd if="$registry" bs=1 skip=$((offset + 4)) count=257 2>/dev/null | tr '\0' '\n' | head -n 1 || true)
    [[ $name == "jack-$uid:"*: ]] || continue
    name=${name#"jack-$uid:"}
    name=${name%:}
    [ -n "$name" ] || continue
    jackd -n "$name" --no-realtime -d dummy -r 48000 -p 256 </dev/null >>"$services_state/reclaim.log" 2>&1 &
    reclaimer=$!
    jack_wait -s "$name" -w -t 5 >/dev/null 2>&1 || true
    kill -TERM "$reclaimer" 2>/dev/null || true
    wait "$reclaimer" 2>/dev/null || true
  done
}

# What a JACK server of that name holds while none runs: its place in the
# registry (with the dead process's id) and its semaphores and sockets in
# /dev/shm, those of clients that never closed included. One line each.
server_leftovers() {
  local name=$1 uid registry=/dev/shm/jack-shm-registry slot offset pid held
  uid=$(id -u)
  if [ -r $registry ] && [ "$(od -An -c -N 4 $registry | tr -d ' ')" = KCAJ ]; then
    for slot in 0 1 2 3 4 5 6 7; do
      offset=$((24 + slot * 264))
      pid=$(od -An -t d4 -j "$offset" -N 4 "$registry" | tr -d ' ')
      [[ $pid =~ ^[0-9]+$ && $pid -gt 0 ]] || continue
      held=$(dd if="$registry" bs=1 skip=$((offset + 4)) count=257 2>/dev/null | tr '\0' '\n' | head -n 1 || true)
      [ "$held" = "jack-$uid:$name:" ] && echo "registry slot $slot, process $pid"
    done
  fi
  find /dev/shm -maxdepth 1 \( -name "jack_sem.${uid}_${name}_*" -o -name "jack_${name}_*" \) -print 2>/dev/null
  return 0
}

# After its server stopped: a place a killed server still holds is given back
# by running one of the same name, and what its clients left in /dev/shm is
# removed. Nothing is touched while a server of that name runs.
release_server() {
  local name=$1 uid
  uid=$(id -u)
  [ "$(jack_wait -s "$name" -c 2>/dev/null)" = running ] && return 0
  if server_leftovers "$name" | grep -q '^registry'; then
    local reviver
    jackd -n "$name" --no-realtime -d dummy -r 48000 -p 256 </dev/null >>"$services_state/reclaim.log" 2>&1 &
    reviver=$!
    jack_wait -s "$name" -w -t 5 >/dev/null 2>&1 || true
    kill -TERM "$reviver" 2>/dev/null || true
    wait "$reviver" 2>/dev/null || true
  fi
  find /dev/shm -maxdepth 1 \( -name "jack_sem.${uid}_${name}_*" -o -name "jack_${name}_*" \) -delete 2>/dev/null
  [ -z "$(server_leftovers "$name")" ] || services_fail "the JACK server $name left: $(server_leftovers "$name")"
}

# Runs `bash SCRIPT ARGS...` in a session of its own for PipeWire: a new
# runtime folder, settings folders and session bus, none of the user's own
# and no JACK server name, with TAVRELLE_PIPEWIRE_SESSION naming the folder
# that holds them, which the caller's exit removes. Its status is the
# script's.
in_private_pipewire_session() {
  local work status=0
  work=$(mktemp -d)
  trap "rm -rf '$work'" EXIT
  mkdir -m 700 "$work/runtime"
  env -u JACK_DEFAULT_SERVER -u PIPEWIRE_REMOTE -u DBUS_SESSION_BUS_ADDRESS \
    TAVRELLE_PIPEWIRE_SESSION="$work" XDG_RUNTIME_DIR="$work/runtime" \
    XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" XDG_DATA_HOME="$work/data" \
    dbus-run-session -- bash "$@" || status=$?
  return $status
}

# PipeWire and WirePlumber on $XDG_RUNTIME_DIR (a private one, under a session
# bus of its own: in_private_pipewire_session makes both), as services
# pipewire and wireplumber. Started, PipeWire answers on its socket and
# WirePlumber has joined it, so JACK clients of the graph run cycles.
pipewire_socket() { echo "${XDG_RUNTIME_DIR:?}/pipewire-0"; }
start_pipewire() {
  launch_service pipewire pipewire || return 1
  wait_for 20 test -S "$(pipewire_socket)" || services_fail "PipeWire did not start" || return 1
  launch_service wireplumber wireplumber || return 1
  wait_for 30 sh -c 'pw-cli ls Client 2>/dev/null | grep -q "application.name = \"WirePlumber\""' ||
    services_fail "WirePlumber did not join PipeWire"
}
# A socket left by a PipeWire that was killed would answer nobody, yet be
# taken for a running one.
stop_pipewire() {
  local failed=0
  stop_service wireplumber 5 || failed=1
  stop_service pipewire 5 || failed=1
  rm -f "$(pipewire_socket)" "$(pipewire_socket).lock"
  return $failed
}
