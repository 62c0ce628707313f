#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and `make run` need.
# Quiet and quick when everything is there already; non-interactive, through
# sudo when not root.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libgl-dev
  librtmidi-dev libasound2-dev libjack-jackd2-dev
  googletest libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
  fonts-ipafont-gothic
  jackd2 fluidsynth timgm6mb-soundfont pipewire pipewire-jack wireplumber dbus
  xvfb xauth openbox xdotool x11-utils imagemagick libxcb1-dev
  procps psmisc python3
  desktop-file-utils appstream dpkg-dev file man-db
)

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
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
