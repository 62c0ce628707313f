#!/usr/bin/env bash
# Starts or stops the private JACK server (dummy driver, no sound hardware
# needed) and the FluidSynth that the integration tests talk to.
#
#   scripts/test-services.sh start STATEDIR
#   scripts/test-services.sh stop STATEDIR
#
# The server is named by $JACK_DEFAULT_SERVER (default tavrelle-ctest), so a
# user's own JACK session is never touched; FluidSynth joins it as "fsynth"
# (MIDI input fsynth:midi_00) and answers shell commands on 127.0.0.1 at
# $TAVRELLE_FLUIDSYNTH_SHELL_PORT (default 9800). STATEDIR keeps the process
# ids and the logs. Works without a terminal and as root.
set -euo pipefail

action=${1:-}
state=${2:-}
if [[ -z $action || -z $state ]]; then
    echo "usage: $0 start|stop STATEDIR" >&2
    exit 2
fi
server=${JACK_DEFAULT_SERVER:-tavrelle-ctest}
shell_port=${TAVRELLE_FLUIDSYNTH_SHELL_PORT:-9800}
soundfont=/usr/share/sounds/sf2/TimGM6mb.sf2
midi_port=fsynth:midi_00
wait_seconds=20

alive() {
    local pid=$1
    [[ -r /proc/$pid/stat ]] || return 1
    # A zombie has finished; where nothing reaps it, it lingers in /proc.
    local stat
    stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [[ ${stat%% *} != Z ]]
}

# Ends the process recorded in STATEDIR/NAME.pid if it is still that program.
# jackd gets time to leave cleanly: a killed server keeps its slot in libjack's
# registry of servers.
stop_one() {
    local name=$1 pidfile=$state/$1.pid pid
    [[ -f $pidfile ]] || return 0
    pid=$(cat "$pidfile")
    rm -f "$pidfile"
    [[ $pid =~ ^[0-9]+$ ]] || return 0
    alive "$pid" || return 0
    tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q "$name" || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 200); do
        alive "$pid" || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
        alive "$pid" || return 0
        sleep 0.1
    done
    echo "test-services: $name ($pid) does not stop" >&2
    return 1
}

stop_all() {
    local failed=0
    stop_one fluidsynth || failed=1
    stop_one jackd || failed=1
    return $failed
}

# Runs a program in a session of its own, detached from the caller's output
# (ctest waits for every holder of a test's output to let go), and records
# its process id.
launch() {
    local name=$1
    shift
    rm -f "$state/$name.pid"
    setsid sh -c 'echo $$ >"$0"; exec "$@"' "$state/$name.pid" "$@" \
        </dev/null >"$state/$name.log" 2>&1 &
    for _ in $(seq 50); do
        [[ -s $state/$name.pid ]] && return 0
        sleep 0.1
    done
    fail "$name did not start"
}

fail() {
    echo "test-services: $*" >&2
    for log in "$state"/*.log; do
        [[ -f $log ]] || continue
        echo "--- $log" >&2
        tail -n 30 "$log" >&2
    done
    stop_all || true
    exit 1
}

running() {
    alive "$(cat "$state/$1.pid" 2>/dev/null || echo 0)"
}

# libjack records running servers in eight slots of a shared registry, and
# frees the slot of a server that was killed (or crashed) only when a server
# of the same name starts again. Servers that died that way under names never
# used again would use up the slots for good, so each such slot is freed by
# starting and cleanly stopping a server of its name.
reclaim_dead_server_slots() {
    local registry=/dev/shm/jack-shm-registry
    [[ -r $registry ]] || return 0
    local magic header_length
    magic=$(od -An -c -N 4 "$registry" | tr -d ' ')
    header_length=$(od -An -t u4 -j 16 -N 4 "$registry" | tr -d ' ')
    # The layout of jackd2 1.9: six 32-bit fields, then eight slots of a
    # process id and a 257-byte name, padded to 264 bytes.
    [[ $magic == KCAJ && $header_length == 2136 ]] || return 0
    local slot offset pid name uid
    uid=$(id -u)
    for slot in 0 1 2 3 4 5 6 7; do
        offset=$((24 + slot * 264))
        pid=$(od -An -t d4 -j "$offset" -N 4 "$registry" | tr -d ' ')
        [[ $pid =~ ^[0-9]+$ && $pid -gt 0 && ! -e /proc/$pid ]] || continue
        name=$(dd if="$registry" bs=1 skip=$((offset + 4)) count=257 2>/dev/null | tr '\0' '\n' | head -n 1 || true)
        [[ $name == "jack-$uid:"*: ]] || continue
        name=${name#"jack-$uid:"}
        name=${name%:}
        [[ -n $name ]] || continue
        jackd -n "$name" --no-realtime -d dummy -r 48000 -p 256 </dev/null >>"$state/reclaim.log" 2>&1 &
        local reclaimer=$!
        jack_wait -s "$name" -w -t 5 >/dev/null 2>&1 || true
        kill -TERM "$reclaimer" 2>/dev/null || true
        wait "$reclaimer" 2>/dev/null || true
    done
}

fluidsynth_answers() {
    timeout 2 bash -c '
        exec 3<>"/dev/tcp/127.0.0.1/$0" || exit 1
        printf "echo tavrelle-ready\n" >&3
        while IFS= read -r line <&3; do
            [[ $line == tavrelle-ready* ]] && exit 0
        done
        exit 1' "$shell_port" 2>/dev/null
}

start() {
    mkdir -p "$state"
    stop_all
    command -v jackd >/dev/null || fail "jackd is not installed (Debian package jackd2)"
    command -v fluidsynth >/dev/null || fail "fluidsynth is not installed"
    [[ -r $soundfont ]] || fail "$soundfont is missing (Debian package timgm6mb-soundfont)"
    if [[ $(jack_wait -s "$server" -c 2>/dev/null) == running ]]; then
        fail "a JACK server named $server is already running and is not ours"
    fi

    reclaim_dead_server_slots

    launch jackd jackd -n "$server" --no-realtime -d dummy -r 48000 -p 256
    jack_wait -s "$server" -w -t "$wait_seconds" >>"$state/jack_wait.log" 2>&1 \
        || fail "JACK server $server did not come up"

    launch fluidsynth fluidsynth -a jack -m jack -s -i -r 48000 \
        -o audio.jack.server="$server" -o midi.jack.server="$server" \
        -o audio.jack.id=fsynth -o midi.jack.id=fsynth \
        -o shell.port="$shell_port" "$soundfont"
    local deadline=$((SECONDS + wait_seconds))
    until jack_lsp -s "$server" 2>/dev/null | grep -qx "$midi_port" && fluidsynth_answers; do
        running fluidsynth || fail "fluidsynth exited"
        ((SECONDS < deadline)) || fail "fluidsynth did not offer $midi_port and its shell on port $shell_port"
        sleep 0.2
    done
    echo "test-services: JACK server $server with $midi_port, FluidSynth shell on 127.0.0.1:$shell_port"
}

case $action in
start) start ;;
stop)
    stop_all
    echo "test-services: stopped"
    ;;
*)
    echo "usage: $0 start|stop STATEDIR" >&2
    exit 2
    ;;
esac
