#!/usr/bin/env bash
# Makes mainicon.ico from a simple drawing of our own: a teal rounded square
# with a white arrow pointing down into a tray. Its sizes serve the caption
# and the task bar at 100 %, 150 % and 200 % (16, 24, 32, 48 and 64 px)
# and Explorer's largest view (256 px); every image is a PNG with its
# alpha (pack-art.py), which Windows reads from Vista on.
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

sizes='16 24 32 48 64 256'
images=()
for size in $sizes; do
  convert "$work/master.png" -filter Lanczos -resize "${size}x${size}" -define png:color-type=6 "$work/icon-$size.png"
  # The largest in 256 colours with their alpha (a palette PNG): a third of
  # the bytes, and the flat drawing loses nothing to the eye.
  if [ "$size" = 256 ]; then
    convert "$work/icon-$size.png" -dither None -colors 256 "$work/icon-$size-q.png"
    mv "$work/icon-$size-q.png" "$work/icon-$size.png"
  fi
  images+=("$work/icon-$size.png")
done
/usr/bin/python3 "$here/pack-art.py" ico "$here/mainicon.ico" "${images[@]}"
ls -l "$here/mainicon.ico"
