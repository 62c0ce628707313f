#!/usr/bin/env bash
# The program's command line, without a display: --help, --version, an
# unknown argument, and no display to open the window on. None of them may
# write a settings file, beside the program or per user.
#   command_line_test.sh path/to/tavrelle version
set -euo pipefail
tool=$(readlink -f "${1:?usage: command_line_test.sh path/to/tavrelle version}")
version=${2:?usage: command_line_test.sh path/to/tavrelle version}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/home"
cp "$tool" "$work/bin/tavrelle"

fail() { echo "FAIL: $*" >&2; exit 1; }
# run <expected status> <environment...> -- <arguments...>: out and err hold
# what it printed.
run() {
  local expected=$1 status=0 vars=()
  shift
  while [ "$1" != -- ]; do vars+=("$1"); shift; done
  shift
  # No session bus: the variable keeps libdbus from starting one.
  env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" "${vars[@]}" \
    timeout -k 5 20 "$work/bin/tavrelle" "$@" >"$work/out" 2>"$work/err" || status=$?
  out=$(cat "$work/out") err=$(cat "$work/err")
  [ "$status" -eq "$expected" ] || fail "tavrelle $* exited with $status, expected $expected; stderr: $err"
}
one_line() { [ "$(wc -l <"$work/err")" -eq 1 ] && [ ! -s "$work/out" ]; }

run 0 -- --help
[[ $out == "Usage: tavrelle "* && $out == *--version* ]] || fail "--help printed: $out"
[ -z "$err" ] || fail "--help wrote to stderr: $err"

run 0 -- --version
[ "$out" = "tavrelle $version" ] || fail "--version printed: $out"

run 2 -- --no-such-option
one_line && [[ $err == *"--no-such-option"* ]] || fail "an unknown option gave: $err"
run 2 DISPLAY=:0 -- extra words
one_line || fail "unknown arguments gave more than one line: $err"

run 1 --
one_line && [[ $err == *"no display"*DISPLAY*WAYLAND_DISPLAY* ]] || fail "without a display: $err"
# A display nobody serves, as after an X server ended.
for n in $(seq 400 499); do [ -e "/tmp/.X11-unix/X$n" ] || break; done
run 1 DISPLAY=":$n" XDG_RUNTIME_DIR="$work" WAYLAND_DISPLAY=wayland-none --
one_line && [[ $err == *"no display"*":$n"* ]] || fail "with a display nobody serves: $err"

left=$(cd "$work" && find bin home -mindepth 1 ! -path bin/tavrelle)
[ -z "$left" ] || fail "files were written: $left"
echo "command line: ok"
