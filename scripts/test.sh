#!/usr/bin/env bash
# Runs every test: installs what is missing, then
#  - the native unit tests of the pure logic under ASan and UBSan ('sanitize'),
#  - each libFuzzer target briefly on its starting corpus ('fuzz'),
#  - the installer's tests under Wine, for each build this machine runs: the
#    shipped 32-bit build ('release') where 32-bit programs run, the 64-bit
#    build ('release64') everywhere (both need the native stamping tool from
#    'host'). Where 32-bit programs run only emulated, the 32-bit build runs
#    the shipped file's own set (docs/building.md), with the tests' tools
#    from the 64-bit build, in the 64-bit build's prefix.
#    QUELLOX_ARCH=x86|x64|both forces the choice, QUELLOX_X86_SET=all the
#    whole suite on the 32-bit build.
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
    cmake --build --preset release --target QuelloxSetup quellox_english
    ctest --preset release -R '^size_budget'
    ;;
esac

# The shipped file's own set under emulation runs beside the 64-bit build:
# its tools and its prefix are the 64-bit build's, so that only the
# programs under test pay the emulator's start-up (and the prefix, whose
# 32-bit half is made under emulation too, is made once).
shipped_set=0
[ "$quellox_x86_set" = shipped ] && [ "$quellox_archs" != x64 ] && shipped_set=1
if [ $shipped_set = 1 ] && [ "$quellox_archs" = x86 ]; then quellox_archs="x86 x64"; x64_for_tools_only=1; fi

prefix_of() {
  if [ "$1" = x86 ] && [ $shipped_set = 1 ]; then echo "$root/build/release64/wineprefix"; else echo "$root/build/$(quellox_preset "$1")/wineprefix"; fi
}

# Every build first: where both run, the 32-bit suite also runs the 64-bit
# programs beside its own.
for arch in $quellox_archs; do
  preset=$(quellox_preset "$arch")
  cmake --preset "$preset" -DQUELLOX_WINE_PREFIX="$(prefix_of "$arch")" >/dev/null
  cmake --build --preset "$preset"
done

tested=()
# The 64-bit build first where it makes the prefix that the 32-bit set shares.
order=$quellox_archs
[ $shipped_set = 1 ] && order="x64 x86"
for arch in $order; do
  [ "$arch" = x64 ] && [ "${x64_for_tools_only:-0}" = 1 ] && continue
  preset=$(quellox_preset "$arch")
  name=$(quellox_arch_name "$arch")
  # Each build in a shell of its own: its own display and wineserver.
  (
    source scripts/wine-env.sh "$(dirname "$(prefix_of "$arch")")" "$arch"
    trap quellox_wine_stop EXIT
    if [ "$arch" = x86 ] && [ $shipped_set = 1 ]; then
      echo "test: the shipped 32-bit file's own set under emulation (preset $preset; its tools from the 64-bit build)"
      # The unit tests stall under the emulator (docs/building.md): they run
      # where 32-bit programs run natively, and on the 64-bit build.
      QUELLOX_TEST_SET=shipped QUELLOX_TOOL_BIN="$root/build/release64/bin" \
        QUELLOX_TOOL_WINE="$quellox_loader_x64" QUELLOX_TIME_SCALE=${QUELLOX_TIME_SCALE:-5} \
        ctest --preset "$preset" -E '^unit_tests$' "$@"
    else
      echo "test: the $name build's tests under Wine (preset $preset)"
      ctest --preset "$preset" "$@"
    fi
  )
  if [ "$arch" = x86 ] && [ $shipped_set = 1 ]; then
    tested+=("the shipped 32-bit file, its own set, under emulation (qemu-i386)")
  else
    tested+=("the $name build, every test")
  fi
done
printf 'test: passed: %s\n' "$(IFS=';'; echo "${tested[*]}" | sed 's/;/; /g')"
