#!/usr/bin/env bash
# Installs the Debian packages of the sets named on the command line:
#   run      building the program and running it (make run)
#   package  building the Debian package (make package)
#   test     the tests, the fuzzer, the sanitizer suite and the packaging checks
#   bench    the benchmarks
#   windows  the Windows build (mingw-w64) and its tests under Wine
#   windows-vm  the Windows program with a real ALSA sequencer in a QEMU guest
#   alsa     the ALSA sequencer test's throw-away virtual machine (scripts/alsa-guest.sh)
#   scripts/install-deps.sh run [package] [test] [bench] [alsa] [windows] [windows-vm]
# Quiet and quick when everything is there already; non-interactive, through
# sudo when not root.
set -euo pipefail

run=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libgl-dev
  libasound2-dev libjack-jackd2-dev
  fonts-ipafont-gothic
  jackd2 fluidsynth timgm6mb-soundfont
)
package=(
  dpkg-dev file
)
test=(
  googletest libgtest-dev
  pipewire pipewire-jack wireplumber dbus
  clang libclang-rt-14-dev
  xvfb xauth openbox xdotool x11-utils imagemagick
  weston xwayland qt6-wayland
  procps psmisc python3
  desktop-file-utils appstream man-db lintian
  dpkg-dev file
)
bench=(
  libbenchmark-dev libxcb1-dev librtmidi-dev
)
alsa=(
  qemu-system-x86 alsa-utils kmod
)
windows=(
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 cmake ninja-build
  wine wine64 fonts-ipafont-gothic
  xvfb xauth openbox xdotool x11-utils
)
windows_vm=(
  qemu-system-x86 alsa-utils kmod xz-utils python3
)

[ $# -gt 0 ] || set -- run
packages=()
for set in "$@"; do
  case $set in
    run) packages+=("${run[@]}") ;;
    package) packages+=("${package[@]}") ;;
    test) packages+=("${test[@]}") ;;
    bench) packages+=("${bench[@]}") ;;
    alsa) packages+=("${alsa[@]}") ;;
    windows) packages+=("${windows[@]}") ;;
    windows-vm) packages+=("${windows[@]}" "${windows_vm[@]}") ;;
    *) echo "install-deps: unknown package set '$set' (run, package, test, bench, alsa, windows, windows-vm)" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "Need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
