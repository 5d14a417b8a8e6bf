# Sourced by the scripts: which builds of the installer this machine can run
# under Wine, how, and which of them to use.
#   source scripts/arch.sh
#   quellox_x86_mode          prints how 32-bit programs run here: native,
#                             emulated (qemu-i386 through binfmt_misc) or none
#   quellox_runs_x86          true when 32-bit programs run here at all
#   quellox_choose_archs all  sets quellox_archs ("x86 x64", or "x64"),
#                             quellox_x86_set (all, or shipped: the shipped
#                             file's own set, where 32-bit runs only emulated)
#                             and quellox_arch_reason; "one" picks a single
#                             build for the demo
# QUELLOX_ARCH=x86|x64|both forces the choice; a forced x86 on a machine that
# cannot run 32-bit programs ends the script at once. QUELLOX_X86_SET=all
# runs the whole suite on the 32-bit build even under emulation.
# QUELLOX_NO_EMULATION=1 counts an emulated 32-bit side as none.
#
# The 32-bit build (preset release) is the shipped installer. The 64-bit
# build (preset release64) is the same program for 64-bit Windows; it runs
# under Wine's 64-bit loader on every machine, including those whose kernel
# refuses 32-bit programs.

# (The QUELLOX_TEST_* names let the scripts' tests stand in for the loader
# and binfmt_misc.)
quellox_loader_x86=${QUELLOX_TEST_LOADER_X86:-/usr/lib/wine/wine}
quellox_loader_x64=/usr/lib/wine/wine64
# Where the emulator is registered: binfmt_misc hands it every i386 program
# before the kernel's own loader sees one (its handlers are tried first).
quellox_binfmt_dir=${QUELLOX_TEST_BINFMT_DIR:-/proc/sys/fs/binfmt_misc}
quellox_binfmt_entry=$quellox_binfmt_dir/qemu-i386

quellox_x86_emulated() {
  [ -r "$quellox_binfmt_entry" ] && [ "$(head -n 1 "$quellox_binfmt_entry")" = enabled ]
}

# Asked of Wine's 32-bit loader itself, which is a 32-bit program (it prints
# its version without starting Wine).
quellox_x86_mode() {
  if ! "$quellox_loader_x86" --version >/dev/null 2>&1; then
    echo none
  elif quellox_x86_emulated; then
    if [ "${QUELLOX_NO_EMULATION:-}" = 1 ]; then echo none; else echo emulated; fi
  else
    echo native
  fi
}

quellox_runs_x86() {
  [ "$(quellox_x86_mode)" != none ]
}

quellox_preset() {
  case "$1" in x86) echo release ;; x64) echo release64 ;; esac
}

quellox_choose_archs() {
  local how=$1 forced=${QUELLOX_ARCH:-} mode
  mode=$(quellox_x86_mode)
  case "$forced" in
    "") ;;
    x86 | x64 | both) ;;
    *) echo "QUELLOX_ARCH=$forced: expected x86, x64 or both" >&2; exit 2 ;;
  esac
  if [ "$forced" = x86 ] || [ "$forced" = both ]; then
    if [ "$mode" = none ]; then
      echo "QUELLOX_ARCH=$forced: this machine cannot run 32-bit programs ($quellox_loader_x86 does not start); use QUELLOX_ARCH=x64" >&2
      exit 2
    fi
  fi
  # Emulation runs the 32-bit side about a minute per process start: there
  # the 32-bit build runs the set chosen for what differs between the builds,
  # and the 64-bit build everything.
  quellox_x86_set=all
  if [ "$mode" = emulated ] && [ "${QUELLOX_X86_SET:-}" != all ]; then quellox_x86_set=shipped; fi
  if [ -n "$forced" ]; then
    case "$forced" in both) quellox_archs="x86 x64" ;; *) quellox_archs=$forced ;; esac
    quellox_arch_reason="forced by QUELLOX_ARCH=$forced"
  elif [ "$mode" = native ]; then
    if [ "$how" = all ]; then
      quellox_archs="x86 x64"
      quellox_arch_reason="this machine runs both 32-bit and 64-bit programs"
    else
      quellox_archs=x86
      quellox_arch_reason="the shipped build; this machine runs 32-bit programs"
    fi
  elif [ "$mode" = emulated ]; then
    if [ "$how" = all ]; then
      quellox_archs="x86 x64"
      quellox_arch_reason="this machine runs 32-bit programs only emulated: the shipped 32-bit file runs its own set, the 64-bit build every test"
    else
      # The demo: under emulation the shipped file takes minutes more
      # (docs/benchmarks.md), so the newcomer sees the 64-bit build.
      quellox_archs=x64
      quellox_arch_reason="this machine runs 32-bit programs only emulated, minutes slower"
    fi
  else
    quellox_archs=x64
    quellox_arch_reason="this machine cannot run 32-bit programs"
  fi
}

quellox_arch_name() {
  case "$1" in x86) echo "32-bit" ;; x64) echo "64-bit" ;; esac
}
