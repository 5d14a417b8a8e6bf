# Sourced by the scripts: which builds of the installer this machine can run
# under Wine, and which of them to use.
#   source scripts/arch.sh
#   quellox_runs_x86          true when 32-bit programs run here
#   quellox_choose_archs all  sets quellox_archs ("x86 x64", or "x64") and
#                             quellox_arch_reason; "one" picks a single build
# QUELLOX_ARCH=x86|x64|both forces the choice; a forced x86 on a machine that
# cannot run 32-bit programs ends the script at once.
#
# The 32-bit build (preset release) is the shipped installer. The 64-bit
# build (preset release64) is the same program for 64-bit Windows; it runs
# under Wine's 64-bit loader on every machine, including those whose kernel
# refuses 32-bit programs.

quellox_loader_x86=/usr/lib/wine/wine
quellox_loader_x64=/usr/lib/wine/wine64

# Whether 32-bit programs run here: asked of Wine's 32-bit loader itself,
# which is a 32-bit program (it prints its version without starting Wine).
quellox_runs_x86() {
  "$quellox_loader_x86" --version >/dev/null 2>&1
}

quellox_preset() {
  case "$1" in x86) echo release ;; x64) echo release64 ;; esac
}

quellox_choose_archs() {
  local how=$1 forced=${QUELLOX_ARCH:-}
  case "$forced" in
    "") ;;
    x86 | x64 | both) ;;
    *) echo "QUELLOX_ARCH=$forced: expected x86, x64 or both" >&2; exit 2 ;;
  esac
  if [ "$forced" = x86 ] || [ "$forced" = both ]; then
    if ! quellox_runs_x86; then
      echo "QUELLOX_ARCH=$forced: this machine cannot run 32-bit programs ($quellox_loader_x86 does not start); use QUELLOX_ARCH=x64" >&2
      exit 2
    fi
  fi
  if [ -n "$forced" ]; then
    case "$forced" in both) quellox_archs="x86 x64" ;; *) quellox_archs=$forced ;; esac
    quellox_arch_reason="forced by QUELLOX_ARCH=$forced"
  elif quellox_runs_x86; then
    if [ "$how" = all ]; then
      quellox_archs="x86 x64"
      quellox_arch_reason="this machine runs both 32-bit and 64-bit programs"
    else
      quellox_archs=x86
      quellox_arch_reason="the shipped build; this machine runs 32-bit programs"
    fi
  else
    quellox_archs=x64
    quellox_arch_reason="this machine cannot run 32-bit programs"
  fi
}

quellox_arch_name() {
  case "$1" in x86) echo "32-bit" ;; x64) echo "64-bit" ;; esac
}
