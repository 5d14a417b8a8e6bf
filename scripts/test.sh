#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the 'host' preset (the
# native stamping tool) and the 'release' preset (installer, test programs),
# and runs ctest under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
cmake --preset host
cmake --build --preset host
cmake --preset release
cmake --build --preset release

source scripts/wine-env.sh build/release
trap quellox_wine_stop EXIT
ctest --preset release "$@"
