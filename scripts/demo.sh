#!/usr/bin/env bash
# Builds the installer and runs it under Wine, with any arguments given here
# (for instance /Campaign:spring). Prints its exit code and the settings its
# start-up gathers.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target QuelloxSetup startup_probe

source scripts/wine-env.sh build/release
trap quellox_wine_stop EXIT

echo "== build/release/bin/QuelloxSetup.exe $*"
ls -l build/release/bin/QuelloxSetup.exe
set +e
wine build/release/bin/QuelloxSetup.exe "$@"
code=$?
set -e
echo "== exit code: $code"
echo "== settings gathered by the same start-up code:"
wine build/release/bin/startup_probe.exe "$@" | sed 's/^/   /'
