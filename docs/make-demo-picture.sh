#!/usr/bin/env bash
# Makes docs/demo.png, the picture at the top of the README: runs the demo
# without a display (it walks the start page, the progress page and the
# paused notice) and keeps its combined picture, reduced to 64 colours.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

env -u DISPLAY bash scripts/demo.sh >/dev/null
convert build/release/demo-screenshots/demo.png -strip +dither -colors 64 PNG8:docs/demo.png
echo "docs/demo.png: $(identify -format '%wx%h, %b' docs/demo.png)"
