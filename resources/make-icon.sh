#!/usr/bin/env bash
# Makes mainicon.ico (16, 24, 32 and 48 px) from a simple drawing of our own:
# a teal rounded square with a white arrow pointing down into a tray.
# Run it again after changing the drawing; the .ico is committed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Drawn once at 384 px, then scaled down for each size.
convert -size 384x384 xc:none \
  -fill '#0E7C86' -draw 'roundrectangle 16,16 367,367 72,72' \
  -fill '#14A3A8' -draw 'roundrectangle 16,16 367,200 72,72' \
  -fill '#14A3A8' -draw 'rectangle 16,120 367,200' \
  -fill white -draw 'polygon 162,72 222,72 222,182 272,182 192,262 112,182 162,182' \
  -fill white -draw 'rectangle 92,286 292,314' \
  -fill white -draw 'rectangle 92,246 120,314' \
  -fill white -draw 'rectangle 264,246 292,314' \
  "$work/master.png"

for size in 16 24 32 48; do
  convert "$work/master.png" -filter Lanczos -resize "${size}x${size}" -define png:color-type=6 "$work/icon-$size.png"
done
convert "$work/icon-16.png" "$work/icon-24.png" "$work/icon-32.png" "$work/icon-48.png" "$here/mainicon.ico"
