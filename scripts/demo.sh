#!/usr/bin/env bash
# The local demo: builds the installer and a demo setup program, serves the
# download and collects the analytics events on a loopback server, and runs
# the installer under Wine. On your display you click "Start installation";
# without a display it runs on Xvfb and the demo clicks through the window
# itself, leaving pictures of its pages in build/release/demo-screenshots.
# Ends with a summary.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
mkdir -p build
printf 'demo: building the installer and the demo programs ... '
if (cmake --preset release && cmake --build --preset release --target QuelloxSetup fake_setup wininspect) \
    >build/demo-build.log 2>&1; then
  echo "done"
else
  echo "failed; the last lines of build/demo-build.log:"
  tail -n 25 build/demo-build.log | sed 's/^/  /'
  exit 1
fi

interactive=${DISPLAY:+1}
source scripts/wine-env.sh build/release
trap quellox_wine_stop EXIT
QUELLOX_DEMO_INTERACTIVE=${interactive:-0} /usr/bin/python3 scripts/demo.py "$@"
