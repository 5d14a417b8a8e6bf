#!/usr/bin/env bash
# The local demo: builds the installer and a demo setup program, serves the
# download on a loopback server that passes the analytics events on to
# quellox-collect (on a SQLite file), and runs
# the installer under Wine. On your display you click "Start installation";
# without a display it runs on Xvfb and the demo clicks through the window
# itself, leaving pictures of its pages in build/<preset>/demo-screenshots.
# Ends with a summary. It runs the shipped 32-bit build where 32-bit programs
# run natively, the 64-bit build (preset release64) elsewhere: under
# emulation each start of the 32-bit file costs about a minute and its
# download fails by a fault of the emulator (docs/building.md);
# QUELLOX_ARCH=x86|x64|both forces the choice.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
source scripts/arch.sh
quellox_choose_archs one
mkdir -p build

for arch in $quellox_archs; do
  preset=$(quellox_preset "$arch")
  printf 'demo: building the %s installer and the demo programs (preset %s) ... ' "$(quellox_arch_name "$arch")" "$preset"
  if (cmake --preset "$preset" && cmake --build --preset "$preset" --target QuelloxSetup fake_setup wininspect) \
      >build/demo-build.log 2>&1; then
    echo "done"
  else
    echo "failed; the last lines of build/demo-build.log:"
    tail -n 25 build/demo-build.log | sed 's/^/  /'
    exit 1
  fi

  printf 'demo: building quellox-collect, the collector the events go to (preset host) ... '
  if (cmake --preset host && cmake --build --preset host --target quellox-collect) >>build/demo-build.log 2>&1; then
    echo "done"
  else
    echo "failed; the last lines of build/demo-build.log:"
    tail -n 25 build/demo-build.log | sed 's/^/  /'
    exit 1
  fi

  interactive=${DISPLAY:+1}
  (
    source scripts/wine-env.sh "build/$preset" "$arch"
    trap quellox_wine_stop EXIT
    QUELLOX_BIN="$root/build/$preset/bin" QUELLOX_DEMO_INTERACTIVE=${interactive:-0} \
      QUELLOX_DEMO_BUILD="the $(quellox_arch_name "$arch") build, preset $preset ($quellox_arch_reason)" \
      /usr/bin/python3 scripts/demo.py "$@"
  )
done
