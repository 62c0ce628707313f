# Shared by the scripts that run the built tool for real: the services of
# scripts/services.sh (X with openbox, JACK with FluidSynth and a capture
# port), the tool's copy, and the waits around them. Source it, then set (or
# have begin_scratch_run set) the first of:
#   work    a folder for logs and captures
#   server  the private JACK server's name (fixed per purpose: JACK keeps a
#           small table of servers and gives an entry back only to a server
#           of the same name)
# Every wait is bounded in seconds; `stop` always reaps, and the tool runs in
# a process group of its own that goes with it.

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/services.sh"
tool_pid="" window=""

fail() { echo "FAIL: $*" >&2; exit 1; }

# private_environment: what a desktop gives a program of its own (a runtime
# folder, a home and a session bus), and nothing from the caller's desktop.
private_environment() {
  services_init "$work/services" "$server"
  export XDG_RUNTIME_DIR="$work/runtime"; mkdir -m 700 "$XDG_RUNTIME_DIR"
  export HOME="$work/home"; mkdir -p "$HOME"
  unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM DBUS_SESSION_BUS_ADDRESS
  start_bus || fail "no session bus"
}

# start_session [x-only]: a private environment, X with openbox, JACK with
# FluidSynth and the capture port (not with x-only), and the tool's copy in
# $work/bin.
start_session() {
  private_environment
  start_x || fail "no X server"
  if [ "${1:-}" != x-only ]; then
    start_jack || fail "no JACK server"
    start_fluidsynth fsynth || fail "no FluidSynth"
    start_capture || fail "no capture port"
  fi
  mkdir "$work/bin"
  cp "$tool" "$work/bin/tavrelle"
}
# Stops the tool and every service, a Wayland compositor among them, X
# last; fails when a service did not stop or anything the run started is
# still there.
stop_session() {
  local failed=0
  stop "$tool_pid" 2
  stop_service weston 5 || failed=1
  stop_services || failed=1
  no_leftovers || failed=1
  return $failed
}

# begin_scratch_run: $work, a fresh scratch folder, and an exit that runs the
# script's own `teardown` (where it defines one), stops the session if one
# began, and keeps the folder only when the run failed.
begin_scratch_run() {
  work=$(mktemp -d)
  trap end_scratch_run EXIT
}
end_scratch_run() {
  local status=$?
  set +e
  if declare -F teardown >/dev/null; then teardown || status=1; fi
  [ -z "${services_state:-}" ] || stop_session || status=1
  if [ $status -eq 0 ]; then rm -rf "$work"; else echo "kept $work for inspection"; fi
  exit $status
}

# Every process the run started carries its runtime folder in its
# environment; any still running is named and killed, and the run fails.
no_leftovers() {
  local p left=""
  for p in /proc/[0-9]*; do
    [[ ${p#/proc/} != "$$" && ${p#/proc/} != "$BASHPID" ]] || continue
    grep -qzxF "XDG_RUNTIME_DIR=$work/runtime" "$p/environ" 2>/dev/null || continue
    left+=" ${p#/proc/} ($(tr '\0' ' ' <"$p/cmdline" 2>/dev/null | cut -c 1-60))"
    kill -KILL "${p#/proc/}" 2>/dev/null || true
  done
  [ -z "$left" ] || { echo "FAIL: left behind:$left" >&2; return 1; }
}

# Whether process $1 is a client of the session bus.
on_bus() {
  local name
  for name in $(dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
                  org.freedesktop.DBus.ListNames | grep -o '":[0-9.]*"' | tr -d '"'); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.GetConnectionUnixProcessID "string:$name" 2>/dev/null | grep -qw "uint32 $1" && return 0
  done
  return 1
}

alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }
# Ends a child started by start_tool: SIGTERM, then SIGKILL after `grace`
# seconds; always reaped, with its process group.
stop() { stop_process "$1" "${2:-5}" || true; }
ms_now() { date +%s%3N; }

# plays <channel index> <preset>: whether FluidSynth has that preset there.
plays() {
  local answer; answer=$(fluid "channels -verbose")
  grep -q "^chan $1, sfont [0-9]*, bank 0, preset $2," <<<"$answer"
}

# The tool's visible windows by title, ignoring case: the main window is
# "Tavrelle", a message box "tavrelle". The device list's drop-down has no
# title; it is the tool's one window that bypasses the window manager.
titled_tavrelle() { xdotool search --onlyvisible --name '^tavrelle$' 2>/dev/null || true; }
# other_window <candidates> <override-redirect: yes or no>: one that is not
# the main window $window.
other_window() {
  local w
  for w in $1; do
    [ "$w" != "${window:-none}" ] || continue
    xwininfo -id "$w" 2>/dev/null | grep -q "Override Redirect State: $2" && { echo "$w"; return 0; }
  done
  return 0
}
# window_named <title>: the visible window of exactly that title: the main
# window is "Tavrelle", a message box and Wine's taskbar button "tavrelle".
window_named() {
  local w
  for w in $(titled_tavrelle); do
    [ "$(xdotool getwindowname "$w" 2>/dev/null)" = "$1" ] && { echo "$w"; return 0; }
  done
  return 1
}
message_box() { other_window "$(titled_tavrelle)" no; }
has_message_box() { [ -n "$(message_box)" ]; }
no_message_box() { [ -z "$(message_box)" ]; }
drop_down() { other_window "$(xdotool search --onlyvisible --class '^tavrelle$' 2>/dev/null || true)" yes; }
has_drop_down() { [ -n "$(drop_down)" ]; }
no_drop_down() { [ -z "$(drop_down)" ]; }

# pick_device <index> <entries>: opens the device list of $window with the
# mouse and picks an entry, wherever the drop-down opens.
pick_device() {
  local index=$1 entries=$2 X Y WIDTH HEIGHT SCREEN WINDOW
  xdotool mousemove --window "$window" 120 18 click 1
  wait_for 30 has_drop_down || fail "the device list did not open"
  eval "$(xdotool getwindowgeometry --shell "$(drop_down)")"
  xdotool mousemove $((X + WIDTH / 3)) $((Y + HEIGHT * (2 * index + 1) / (2 * entries))) click 1
  wait_for 30 no_drop_down || fail "the device list did not close after the pick"
}

# The tool runs as a copy in $work/bin, so its settings file is
# $work/bin/tavrelle.ini.
main_window() { titled_tavrelle | head -1; }

# start_tool [command]: the copy of the tool (or the command), in a process
# group of its own, its output in $work/tool.out; tool_pid is its id.
start_tool() {
  setsid "${@:-$work/bin/tavrelle}" >"$work/tool.out" 2>&1 &
  tool_pid=$!
  window=""
}

# Starts the copy of the tool and waits for its window (launch_limit
# seconds, 60 unless set); launch_ms is how long that took.
launch() {
  local started; started=$(ms_now)
  start_tool
  wait_for "${launch_limit:-60}" sh -c "xdotool search --onlyvisible --name '^Tavrelle$' | grep -q ." \
    || fail "the window did not appear ($(cat "$work/tool.out"))"
  window=$(main_window)
  launch_ms=$(($(ms_now) - started))
  xdotool windowactivate --sync "$window" >/dev/null 2>&1 || true
}
# Activates a window and waits until it holds X's focus too: Alt+F4 sent
# while the focus is still moving reaches no window, and openbox closes
# nothing.
focus_window() {
  xdotool windowactivate "$1" >/dev/null 2>&1 || true
  wait_for 60 sh -c "[ \"\$(xdotool getwindowfocus 2>/dev/null)\" = $1 ] && [ \"\$(xdotool getactivewindow 2>/dev/null)\" = $1 ]"
}
# close_window <window>: Alt+F4 through the window manager.
close_window() {
  focus_window "$1" || fail "the window cannot be focused: $(tail -3 "$services_state/openbox.log")"
  xdotool key alt+F4
}
# Closes $window; the tool must end, cleanly, at once. close_ms counts from
# the key.
close_tool() {
  close_window "$window"
  local started; started=$(ms_now)
  wait_for 60 sh -c "! kill -0 $tool_pid" || fail "the tool did not exit within 60 s of Alt+F4"
  close_ms=$(($(ms_now) - started))
  local status=0
  wait "$tool_pid" || status=$?
  tool_pid=""
  [ "$status" -eq 0 ] || fail "the tool exited with status $status"
  [ ! -s "$work/tool.out" ] || fail "the tool printed: $(cat "$work/tool.out")"
}
dismiss_message_box() {
  local box; box=$(message_box)
  wait_for 30 xdotool windowactivate --sync "$box" || fail "the message box cannot be activated"
  xdotool key Return
  wait_for 30 no_message_box || fail "the message box did not answer Enter"
}
