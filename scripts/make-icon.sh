#!/usr/bin/env bash
# Draws the program icon (a five-pin MIDI socket on a dark tile) at 32 and 16
# pixels, reduced to 16 colours. Run again after changing the drawing.
set -euo pipefail
out="$(dirname "$0")/../src/window/icons"
mkdir -p "$out"
draw() {
  local size=$1 scale
  scale=$(awk "BEGIN{print $size/32}")
  convert -size 32x32 xc:none \
    -fill '#1d3557' -draw 'roundrectangle 0,0 31,31 6,6' \
    -fill '#f1faee' -draw 'circle 16,16 16,4' \
    -fill '#1d3557' -draw 'circle 16,16 16,7' \
    -fill '#f1faee' -draw 'rectangle 14,5 18,8' \
    -fill '#e63946' -draw 'circle 16,21 16,19.5' -draw 'circle 10,17 10,15.5' -draw 'circle 22,17 22,15.5' \
    -draw 'circle 11.5,11 11.5,9.5' -draw 'circle 20.5,11 20.5,9.5' \
    -resize "${size}x${size}" -colors 16 "PNG8:$out/tavrelle-$size.png"
  : "$scale"
}
draw 32
draw 16
# The Windows build's icon resource: both sizes in one file, 16 colours.
convert "$out/tavrelle-32.png" "$out/tavrelle-16.png" -type Palette -colors 16 "$out/../win32/tavrelle.ico"
