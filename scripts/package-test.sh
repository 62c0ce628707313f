#!/usr/bin/env bash
# Builds the Debian package and checks it as a distribution would (lintian:
# no errors, no warnings; copyright and changelog; AppStream data), then
# installs it with apt, runs the installed program as an ordinary user
# (scripts/install-test.sh --installed), purges the package and checks that
# it left nothing behind: every path it brought is gone again unless it was
# there before. The install needs root or sudo and changes the system's
# package set while it runs, so `make test` runs only the first part
# (--lint-only).
#   scripts/package-test.sh [--lint-only] [build folder]      (default: build)
set -euo pipefail
lint_only=false
if [ "${1:-}" = --lint-only ]; then lint_only=true; shift; fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(readlink -f "${1:-$root/build}")
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

fail() { echo "FAIL: $*" >&2; exit 1; }
package_status() { dpkg-query -W -f='${db:Status-Status}' tavrelle 2>/dev/null || true; }

# Purging at the end would take away a copy the machine's owner installed.
$lint_only || case "$(package_status)" in
  "" | not-installed) ;;
  *) fail "tavrelle is installed on this machine already ($(package_status)); remove it first" ;;
esac

work=$(mktemp -d)
installed=false
cleanup() {
  local status=$?
  if $installed; then
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq tavrelle >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
  exit $status
}
trap cleanup EXIT

cmake --build "$build" --target package >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "the package did not build"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$build/tavrelle_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no $deb after building the package"

# The package installs files only: anything a maintainer script created
# would outlive the package's own file list.
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -v -x -e './' -e './control' -e './md5sums' || true)
[ -z "$control" ] || fail "the package carries maintainer scripts or other control files: $control"
field() { dpkg-deb -f "$deb" "$1"; }
for library in libqt6widgets6 libasound2 libc6; do
  field Depends | grep -q "\b$library\b" || fail "Depends lacks $library: $(field Depends)"
done
# libjack is loaded when a JACK client opens: without one the tool runs on ALSA.
! field Depends | grep -q '\blibjack' || fail "Depends names a libjack: $(field Depends)"
field Recommends | grep -q '\blibjack-jackd2-0 | libjack-0.125 | pipewire-jack\b' ||
  fail "Recommends lacks a libjack: $(field Recommends)"
field Recommends | grep -q '\bfonts-ipafont-gothic\b' || fail "Recommends lacks the window's font: $(field Recommends)"
field Recommends | grep -q '\bqt6-wayland\b' || fail "Recommends lacks Qt's Wayland platform: $(field Recommends)"
field Suggests | grep -q '\bfluidsynth\b' || fail "Suggests lacks a software synthesizer: $(field Suggests)"

# What a distribution asks of every package. Overrides, if ever needed, go
# in the package with a one-line reason each.
lintian_as_root=()
[ "$(id -u)" -ne 0 ] || lintian_as_root=(--allow-root)
lintian "${lintian_as_root[@]}" --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 ||
  { cat "$work/lintian.log"; fail "lintian reports errors or warnings"; }
dpkg-deb -x "$deb" "$work/tree"
doc=$work/tree/usr/share/doc/tavrelle
head -n 1 "$doc/copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "usr/share/doc/tavrelle/copyright is not in the machine-readable format"
grep -qx 'License: Expat' "$doc/copyright" || fail "the copyright file names no MIT (Expat) licence"
zcat "$doc/changelog.gz" | head -n 1 | grep -q "^tavrelle ($version) " || fail "the changelog does not start at $version"
metainfo=$work/tree/usr/share/metainfo/io.github.tavrelle.Tavrelle.metainfo.xml
appstreamcli validate --strict --no-net "$metainfo" >"$work/appstream.log" 2>&1 ||
  { cat "$work/appstream.log"; fail "appstreamcli rejects the packaged metainfo"; }
grep -q '<project_license>MIT</project_license>' "$metainfo" || fail "the metainfo names no project licence"
if $lint_only; then
  echo "package lint: ok ($(basename "$deb"))"
  exit 0
fi

# Which of the package's paths the machine had before it came.
dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\.||; s|/$||' | grep . >"$work/paths"
while read -r path; do
  [ -e "$path" ] && echo "$path"
done <"$work/paths" >"$work/existing-before" || true

installed=true
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt could not install the package"; }
[ "$(package_status)" = installed ] || fail "dpkg reports the package as '$(package_status)' after installing"

"$root/scripts/install-test.sh" --installed /usr "$version"

"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq tavrelle >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt could not remove the package"; }
installed=false
case "$(package_status)" in
  "" | not-installed) ;;
  *) fail "dpkg still knows the package after purging: $(package_status)" ;;
esac
left=$(while read -r path; do
  if [ -e "$path" ] && ! grep -q -x -F "$path" "$work/existing-before"; then echo "$path"; fi
done <"$work/paths")
[ -z "$left" ] || fail "left behind after purging: $left"

echo "package test: ok ($(basename "$deb"), $(wc -l <"$work/paths") paths installed and removed)"
