#!/usr/bin/env bash
# Installs a build into a scratch prefix, checks the tree as a desktop sees it
# (menu entry, icons, metainfo, manual page), then runs the installed program
# the way a user of a system-wide copy does: as an ordinary user, from a
# folder that user cannot write, in an X session with a window manager. It
# closes the window through the window manager and expects the settings file
# in that user's configuration folder.
#   scripts/install-test.sh <build folder> <project version>
#   scripts/install-test.sh --installed <prefix> <project version>
# The second form checks a copy installed already (by the Debian package,
# under /usr) instead of installing one.
# As root the program runs as "nobody": an account every Debian system has,
# so the test adds no user and changes nothing outside its scratch folder.
set -euo pipefail
usage="usage: install-test.sh [--installed] <build folder | prefix> <project version>"
installed=false
if [ "${1:-}" = --installed ]; then installed=true; shift; fi
target=$(readlink -f "${1:?$usage}")
version=${2:?$usage}
app_id=io.github.tavrelle.Tavrelle

work=$(mktemp -d /tmp/tavrelle-install.XXXXXX)
# The unprivileged user must reach the installed program.
chmod 755 "$work"
if $installed; then prefix=$target; else prefix=$work/prefix; fi
source "$(dirname "$0")/services.sh"
services_init "$work/services" tavrelle-install
tool_pid=
cleanup() {
  local status=$?
  [ -z "$tool_pid" ] || kill "$tool_pid" 2>/dev/null || true
  stop_services
  $installed || [ ! -d "$prefix/bin" ] || chmod u+w "$prefix/bin"
  if [ $status -eq 0 ]; then rm -rf "$work"; else echo "kept $work for inspection" >&2; fi
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
# desktop_key <key>: the value of an untranslated key of the menu entry.
desktop_key() { sed -n "s/^$1=//p" "$desktop"; }

# --- The installed tree -------------------------------------------------------

if ! $installed; then
  cmake --install "$target" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install failed"; }
fi

desktop=$prefix/share/applications/$app_id.desktop
metainfo=$prefix/share/metainfo/$app_id.metainfo.xml
man_page=$prefix/share/man/man1/tavrelle.1.gz
icons=$prefix/share/icons/hicolor
[ -x "$prefix/bin/tavrelle" ] || fail "bin/tavrelle is missing or not executable"
for file in "$desktop" "$metainfo" "$man_page" "$icons/scalable/apps/$app_id.svg"; do
  [ -f "$file" ] || fail "not installed: ${file#"$prefix"/}"
done
for size in 16 32; do
  png=$icons/${size}x${size}/apps/$app_id.png
  [ -f "$png" ] || fail "not installed: ${png#"$prefix"/}"
  actual=$(identify -format '%wx%h' "$png")
  [ "$actual" = "${size}x${size}" ] || fail "${png#"$prefix"/} is $actual pixels"
done
python3 - "$icons/scalable/apps/$app_id.svg" <<'PY' || fail "the scalable icon is not a well-formed SVG with a viewBox"
import sys, xml.etree.ElementTree as tree
root = tree.parse(sys.argv[1]).getroot()
sys.exit(0 if root.tag == "{http://www.w3.org/2000/svg}svg" and root.get("viewBox") else 1)
PY

desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the installed entry"
# The tree check also finds the menu entry the metainfo names; a shared
# prefix holds other programs' metainfo, so there only ours is checked.
if $installed; then
  appstreamcli validate --strict --no-net "$metainfo" >"$work/appstream.log" 2>&1 ||
    { cat "$work/appstream.log"; fail "appstreamcli rejects the installed metainfo"; }
else
  appstreamcli validate-tree --strict --no-net "$prefix" >"$work/appstream.log" 2>&1 ||
    { cat "$work/appstream.log"; fail "appstreamcli rejects the installed tree"; }
fi

# The entry must start the installed program and find the installed icons.
for key in Exec TryExec; do
  [ -x "$prefix/bin/$(desktop_key "$key" | cut -d' ' -f1)" ] || fail "$key=$(desktop_key "$key") is not the installed program"
done
[ "$(desktop_key Icon)" = "$app_id" ] || fail "Icon=$(desktop_key Icon) does not name the installed icons"

# The version users see must follow the project's.
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo has no release $version"
zcat "$man_page" | grep -q "^\.TH TAVRELLE 1 [^ ]* \"Tavrelle $version\"" || fail "the manual page is not for version $version"
gzip -t "$man_page" || fail "the manual page is not a valid gzip file"
man_warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 MANPAGER=cat man --warnings -E UTF-8 -l "$man_page" 2>&1 >/dev/null) || fail "man cannot format the manual page"
[ -z "$man_warnings" ] || fail "the manual page has formatting problems: $man_warnings"
# Without a UTF-8 locale the window's texts are romanized, not dropped with warnings.
man_ascii=$(LC_ALL=C LANG=C MANWIDTH=80 MANPAGER=cat man -l "$man_page" 2>&1) || fail "man cannot format the manual page in the C locale"
[[ $man_ascii == *"ongen="* && $man_ascii != *warning* ]] || fail "the manual page in the C locale: $(grep -m 3 -e warning -e '^   Labels' -A 2 <<<"$man_ascii")"
LC_ALL=C.UTF-8 MANWIDTH=80 MANPAGER=cat man -l "$man_page" 2>/dev/null | grep -q '音源=' || fail "the manual page in UTF-8 lost the Japanese texts"

# --- The installed program, run by an ordinary user ---------------------------

# A system-wide copy sits in a folder its users cannot write.
$installed || chmod a-w "$prefix/bin"
home=$work/home
runtime=$work/runtime
mkdir -m 700 "$home" "$runtime"
run_as=()
if [ "$(id -u)" -eq 0 ]; then
  getent passwd nobody >/dev/null || fail "no user \"nobody\" to run the program as"
  chown nobody:"$(id -gn nobody)" "$home" "$runtime"
  run_as=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups --)
fi

start_x || fail "no X server"

# A clean environment: the user's HOME decides the configuration folder, a
# JACK server name of its own keeps the program off any session's server,
# and a session bus that is not there keeps libdbus from starting one.
"${run_as[@]}" env -i HOME="$home" XDG_RUNTIME_DIR="$runtime" DISPLAY="$DISPLAY" PATH=/usr/bin:/bin \
  LANG=C.UTF-8 JACK_DEFAULT_SERVER="$services_server" DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/no-bus" \
  "$prefix/bin/tavrelle" >"$work/tool.out" 2>"$work/tool.err" & tool_pid=$!

# window_named <exact title>: the first visible window of the program with
# that title. xdotool matches names without regard to case, and the boxes
# ("tavrelle") and the window ("Tavrelle") differ only in case.
window_named() {
  local w
  for w in $(xdotool search --onlyvisible --pid "$tool_pid" 2>/dev/null); do
    [ "$(xdotool getwindowname "$w" 2>/dev/null)" = "$1" ] && { echo "$w"; return 0; }
  done
  return 1
}
shown() { xdotool search --onlyvisible --pid "$tool_pid" 2>/dev/null | grep -qx "$1"; }
gone() { ! shown "$1"; }

# Without a MIDI device the program explains itself in message boxes before
# its window appears; each answers Enter.
boxes=0
main=
deadline=$(($(clock_us) + 30 * ${TAVRELLE_WAIT_SCALE:-1} * 1000000))
while (($(clock_us) < deadline)); do
  if ! kill -0 "$tool_pid" 2>/dev/null; then
    wait "$tool_pid" && status=0 || status=$?
    fail "the program ended during start-up with status $status: $(cat "$work/tool.err")"
  fi
  if box=$(window_named tavrelle); then
    xdotool windowactivate --sync "$box" key Return
    boxes=$((boxes + 1))
    [ $boxes -le 5 ] || fail "message boxes keep coming"
    wait_for 5 gone "$box" || fail "a message box did not close on Enter"
  elif main=$(window_named Tavrelle); then
    break
  fi
  sleep 0.1
done
[ -n "$main" ] || fail "the window did not appear"

# Docks and task bars tie the window to the menu entry through its class.
wm_class=$(xprop -id "$main" WM_CLASS | sed -n 's/.*= "[^"]*", "\([^"]*\)"$/\1/p')
[ "$wm_class" = "$(desktop_key StartupWMClass)" ] ||
  fail "the window's class \"$wm_class\" is not the entry's StartupWMClass \"$(desktop_key StartupWMClass)\""

xdotool windowactivate --sync "$main" key alt+F4
if ! wait_for 15 sh -c "! kill -0 $tool_pid"; then
  window_named tavrelle >/dev/null && fail "closing the window showed a message box (could the settings not be saved?)"
  fail "the program did not exit after its window was closed"
fi
wait "$tool_pid" || fail "the program exited with status $?"
tool_pid=

[ ! -s "$work/tool.out" ] || fail "the program printed on stdout: $(cat "$work/tool.out")"
[ ! -s "$work/tool.err" ] || fail "the program printed on stderr: $(cat "$work/tool.err")"
[ ! -e "$prefix/bin/tavrelle.ini" ] || fail "a settings file was written beside the installed program"
settings=$home/.config/tavrelle/tavrelle.ini
[ -f "$settings" ] || fail "no settings file in the user's configuration folder; the home holds: $(cd "$home" && find . | tr '\n' ' ')"
sections=$(tr -d '\r' <"$settings" | grep '^\[' | tr '\n' ' ')
[ "$sections" = "[window] [dev] " ] || fail "settings sections are \"$sections\", expected [window] and [dev]"
[ "$(stat -c %U "$settings")" = "$("${run_as[@]}" id -un)" ] || fail "the settings file belongs to $(stat -c %U "$settings")"

echo "install test: ok ($boxes message boxes at start-up, settings in ~/.config/tavrelle)"
