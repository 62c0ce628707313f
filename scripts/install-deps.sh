#!/usr/bin/env bash
# Installs the Debian packages of the sets named on the command line:
#   run      building the program and running it (make run)
#   package  building the Debian package (make package)
#   test     the tests, the fuzzer, the sanitizer suite and the packaging checks
#   bench    the benchmarks
#   windows  the Windows build (mingw-w64, GoogleTest's sources) and its tests under Wine
#   windows-vm  the Windows program with a real ALSA sequencer in a QEMU guest
#   alsa     the ALSA sequencer test's throw-away virtual machine (scripts/alsa-guest.sh)
#   scripts/install-deps.sh run [package] [test] [bench] [alsa] [windows] [windows-vm]
# Quiet and quick when everything is there already; non-interactive, through
# sudo when not root.
set -euo pipefail
as_root=()

run=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libgl-dev libxcb1-dev
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
  libbenchmark-dev libxcb1-dev librtmidi-dev strace
)
alsa=(
  qemu-system-x86 alsa-utils kmod
)
windows=(
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 cmake ninja-build
  wine wine64 fonts-ipafont-gothic python3 googletest
  xvfb xauth openbox xdotool x11-utils imagemagick
)
windows_vm=(
  qemu-system-x86 alsa-utils kmod xz-utils python3
)

# apt_get <what it does> <apt-get arguments...>: one step, announced, with a
# line for each package fetched and set up. While another program holds
# apt's lock (a desktop's automatic updates often do), it says so and waits
# up to ten minutes.
apt_get() {
  local what=$1 log deadline=$((SECONDS + 600)) waited=false
  shift
  echo "install-deps: $what"
  log=$(mktemp)
  until "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -o Dpkg::Progress-Fancy=0 "$@" 2>"$log" |
        { grep --line-buffered -E '^(Get:|Setting up )' || true; } | sed -u 's/^/  /'; do
    if ! grep -q -e 'Could not get lock' -e 'Unable to acquire' -e 'Unable to lock' "$log" || ((SECONDS >= deadline)); then
      cat "$log" >&2
      rm -f "$log"
      return 1
    fi
    $waited || echo "install-deps: another program is installing packages ($(grep -m 1 -o 'held by process [0-9]* ([^)]*)' "$log" ||
      echo "apt's lock is held")); waiting for it, up to 10 minutes"
    waited=true
    sleep 5
  done
  rm -f "$log"
}

# Sourced (by its test), only the steps above are defined.
[[ ${BASH_SOURCE[0]} == "$0" ]] || return 0

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

echo "install-deps: ${#missing[@]} packages to install: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "Need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi
apt_get "updating the package lists" update
apt_get "installing (one line for each package fetched, then for each set up)" \
  install -y --no-install-recommends "${missing[@]}"
echo "install-deps: done"
