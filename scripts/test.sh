#!/usr/bin/env bash
# Runs every test: installs what is missing, then
#  - the native unit tests of the pure logic under ASan and UBSan ('sanitize'),
#  - each libFuzzer target briefly on its starting corpus ('fuzz'),
#  - the installer's tests under Wine, for each build this machine runs: the
#    shipped 32-bit build ('release') where 32-bit programs run, the 64-bit
#    build ('release64') everywhere (both need the native stamping tool from
#    'host'). QUELLOX_ARCH=x86|x64|both forces the choice.
# Arguments go to the last ctest of each build (for instance -R e2e).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
source scripts/arch.sh
quellox_choose_archs all
case "$quellox_archs" in
  *" "*) which="the 32-bit and the 64-bit builds" ;;
  *) which="the $(quellox_arch_name "$quellox_archs") build" ;;
esac
echo "test: testing $which under Wine ($quellox_arch_reason)"

for preset in sanitize fuzz; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

cmake --preset host >/dev/null
cmake --build --preset host

# The shipped installer is the 32-bit one: where it is not tested under Wine,
# it is still built and held to its size budget.
case " $quellox_archs " in
  *" x86 "*) ;;
  *)
    echo "test: building the shipped 32-bit installer for its size budget (it is not run here)"
    cmake --preset release >/dev/null
    cmake --build --preset release --target QuelloxSetup
    ctest --preset release -R '^size_budget$'
    ;;
esac

# Every build first: where both run, the 32-bit suite also runs the 64-bit
# programs beside its own.
for arch in $quellox_archs; do
  preset=$(quellox_preset "$arch")
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
for arch in $quellox_archs; do
  preset=$(quellox_preset "$arch")
  # Each build in a shell of its own: its own prefix, display and wineserver.
  (
    source scripts/wine-env.sh "build/$preset" "$arch"
    trap quellox_wine_stop EXIT
    echo "test: the $(quellox_arch_name "$arch") build's tests under Wine (preset $preset)"
    ctest --preset "$preset" "$@"
  )
done
