#!/usr/bin/env bash
# Runs every test: installs what is missing, then
#  - the native unit tests of the pure logic under ASan and UBSan ('sanitize'),
#  - each libFuzzer target briefly on its starting corpus ('fuzz'),
#  - the installer's tests under Wine ('release', which also needs the native
#    stamping tool from 'host').
# Arguments go to the last ctest (for instance -R e2e).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh

for preset in sanitize fuzz; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

cmake --preset host >/dev/null
cmake --build --preset host
cmake --preset release >/dev/null
cmake --build --preset release

source scripts/wine-env.sh build/release
trap quellox_wine_stop EXIT
ctest --preset release "$@"
