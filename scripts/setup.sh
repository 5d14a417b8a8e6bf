#!/usr/bin/env bash
# Installs everything that building, testing and the demo need, from Debian's
# packages. Safe to run again: it prints one line and does nothing when every
# package is present. One line per step; the package manager's own output
# goes to build/setup.log, and its last lines are shown when a step fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  cmake ninja-build make
  mingw-w64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  wine wine32:i386 wine64 fonts-wine
  googletest
  xvfb x11-utils
  osslsigncode openssl softhsm2 libengine-pkcs11-openssl
  imagemagick zopfli
  python3 python3-pytest python3-fonttools
  fonts-roboto-unhinted
  # The window's scripts beyond Latin, in place of the system fonts of each
  # script, and the locales Wine takes a process's UI language from.
  fonts-noto-core fonts-noto-cjk locales-all
  clang libclang-rt-14-dev g++ curl
  libboost-dev libssl-dev libcpp-httplib-dev nginx-light wrk
  libsqlite3-dev sqlite3 libpq-dev postgresql chromium
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
source "$root/scripts/arch.sh"

# Where the kernel refuses 32-bit programs, Wine's 32-bit side still runs
# under the user-mode emulator qemu-i386, registered with binfmt_misc. The F
# flag opens the emulator once, at registration, so it also serves programs
# started from other mount namespaces. Nothing changes on a machine that
# runs 32-bit programs itself, or with QUELLOX_NO_EMULATION=1.
emulator=${QUELLOX_TEST_EMULATOR:-/usr/bin/qemu-i386-static}
i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
register_emulator() {
  if [ ! -e "$quellox_binfmt_dir/register" ]; then
    mount -t binfmt_misc binfmt_misc "$quellox_binfmt_dir" || return 1
  fi
  if [ -e "$quellox_binfmt_entry" ]; then
    echo 1 >"$quellox_binfmt_entry"
  else
    echo ":qemu-i386:M::$i386_magic:$i386_mask:$emulator:F" >"$quellox_binfmt_dir/register"
  fi
  "$quellox_loader_x86" --version
}

emulate_x86_where_needed() {
  [ "${QUELLOX_NO_EMULATION:-}" = 1 ] && return 0
  [ "$(quellox_x86_mode)" = none ] || return 0
  [ -x "$quellox_loader_x86" ] || return 0 # wine32 is missing: the package step said why
  if [ "$(id -u)" -ne 0 ]; then
    said_which_builds_run=1
    echo "setup: this machine cannot run 32-bit programs; to run them emulated, as root: apt-get install qemu-user-static, then register $emulator for i386 programs with binfmt_misc (flag F), or run this script as root; until then the scripts use the 64-bit build of the installer"
    return 0
  fi
  mkdir -p "$root/build"
  step_name=setup step_log="$root/build/setup.log"
  source "$root/scripts/steps.sh"
  if [ ! -x "$emulator" ]; then
    step "installing the emulator for 32-bit programs (qemu-user-static)" \
      env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends qemu-user-static
  fi
  if register_emulator >>"$step_log" 2>&1; then
    said_which_builds_run=1
    echo "setup: this machine's kernel refuses 32-bit programs: they now run emulated (qemu-i386 registered with binfmt_misc), and Wine's 32-bit loader answers"
  else
    said_which_builds_run=1
    echo "setup: this machine cannot run 32-bit programs, and the emulator could not be registered (see $step_log); the scripts use the 64-bit build of the installer"
  fi
}

# One line on how 32-bit programs run here, except where they run natively.
said_which_builds_run=0
say_which_builds_run() {
  [ "$said_which_builds_run" = 1 ] && return 0
  case "$(quellox_x86_mode)" in
    native) ;;
    emulated) echo "setup: 32-bit programs run here only emulated (qemu-i386): the tests run the shipped 32-bit file's own set, the 64-bit build every test" ;;
    none) echo "setup: this machine cannot run 32-bit programs; the scripts use the 64-bit build of the installer" ;;
  esac
}

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages are installed"
  if [ "$(quellox_x86_mode)" = none ]; then emulate_x86_where_needed; fi
  say_which_builds_run
  exit 0
fi

mkdir -p "$root/build"
log="$root/build/setup.log"
: >"$log"

step_name=setup step_log=$log
source "$root/scripts/steps.sh"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  step "adding the i386 architecture (for wine32)" $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
step "updating the package lists" $sudo apt-get update
# No package starts a service of its own while it is installed (nginx would
# listen on port 80): the tests start what they need, on loopback.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
  $sudo chmod 755 "$policy"
  trap '$sudo rm -f "$policy"' EXIT
fi
step "installing ${#missing[@]} packages: ${missing[*]}" \
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
echo "setup: complete (the package manager's output is in $log)"
emulate_x86_where_needed
say_which_builds_run
