#!/usr/bin/env bash
# The local demo: builds the installer and a demo setup program, serves the
# download and collects the analytics events on a loopback server, and runs
# the installer under Wine. On your display you click "Start installation";
# without a display it runs on Xvfb with /SkipStart. Ends with a summary.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target QuelloxSetup fake_setup wininspect startup_probe

interactive=${DISPLAY:+1}
source scripts/wine-env.sh build/release
trap quellox_wine_stop EXIT
QUELLOX_DEMO_INTERACTIVE=${interactive:-0} /usr/bin/python3 scripts/demo.py "$@"
