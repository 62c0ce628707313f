#!/usr/bin/env bash
# The window on a Wayland compositor (weston's headless backend, with
# XWayland):
#   1. natively on Wayland, a close keeps the saved position as it was read
#      (the window test's case, run on the compositor);
#   2. without QT_QPA_PLATFORM the tool runs through XWayland, and with it set
#      to wayland it runs natively.
#
#   wayland_e2e.sh path/to/window_test path/to/tavrelle
set -euo pipefail
window_test=$(readlink -f "${1:?usage: wayland_e2e.sh path/to/window_test path/to/tavrelle}")
tool=$(readlink -f "${2:?usage: wayland_e2e.sh path/to/window_test path/to/tavrelle}")

source "$(dirname "$0")/session.sh"
begin_scratch_run

command -v weston >/dev/null || fail "weston is not installed (Debian packages weston, xwayland)"
server=tavrelle-wayland-absent
private_environment
launch_service weston weston --backend=headless-backend.so --socket=wayland-tavrelle --xwayland --idle-time=0 \
  --log="$work/services/weston-own.log" || fail "weston did not start"
wait_for 10 test -S "$XDG_RUNTIME_DIR/wayland-tavrelle" || fail "weston opened no socket"
wait_for 10 grep -q 'xserver listening on display' "$work/services/weston-own.log" || fail "XWayland is not offered"
export WAYLAND_DISPLAY=wayland-tavrelle
DISPLAY=$(grep -o 'xserver listening on display :[0-9]*' "$work/services/weston-own.log" | head -n 1 | grep -o ':[0-9]*')
export DISPLAY

# 1. Natively on Wayland.
QT_QPA_PLATFORM=wayland "$window_test" --gtest_filter='*a_close_keeps_the_saved_position*' >"$work/window_test.out" 2>&1 ||
  fail "the window test on native Wayland: $(cat "$work/window_test.out")"

# 2. The platform the tool picks; no JACK server answers, so it waits at its
# first message box meanwhile.
mkdir "$work/bin"
cp "$tool" "$work/bin/tavrelle"
uses() { grep -q "platforms/$1" "/proc/$tool_pid/maps" 2>/dev/null; }
run_tool() { start_tool; }
run_tool
wait_for 10 uses libqxcb.so || fail "the tool did not run through XWayland: $(cat "$work/tool.out")"
! uses libqwayland || fail "the tool loaded the Wayland platform besides X"
stop "$tool_pid" 2
QT_QPA_PLATFORM=wayland run_tool
wait_for 10 uses libqwayland || fail "QT_QPA_PLATFORM=wayland was not followed: $(cat "$work/tool.out")"
stop "$tool_pid" 2
tool_pid=""
echo "wayland end-to-end: ok"
