#!/usr/bin/env bash
# Makes docs/demo.png, docs/demo-200.png and docs/demo-languages.png, the
# pictures at the top of the README: runs the demo without a display (it
# walks the start page, the progress page and the paused notice at 100 %,
# then pictures the start page at 200 % and in English, German, Japanese and
# Arabic) and keeps its combined pictures, reduced to 64 colours.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

env -u DISPLAY bash scripts/demo.sh >/dev/null
# The demo runs the 64-bit build where 32-bit programs do not run.
shots=build/release/demo-screenshots
[ -f "$shots/demo.png" ] || shots=build/release64/demo-screenshots
for name in demo demo-200 demo-languages; do
  convert "$shots/$name.png" -strip +dither -colors 64 "PNG8:docs/$name.png"
  echo "docs/$name.png: $(identify -format '%wx%h, %b' "docs/$name.png")"
done
