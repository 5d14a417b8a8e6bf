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
  imagemagick
  python3 python3-pytest python3-fonttools
  fonts-roboto-unhinted
  clang libclang-rt-14-dev g++ curl
  libboost-dev libssl-dev libcpp-httplib-dev nginx-light wrk
  libsqlite3-dev sqlite3 libpq-dev postgresql chromium
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
source "$root/scripts/arch.sh"
# One line when this machine cannot run 32-bit programs: the scripts then use
# the 64-bit build of the installer.
say_which_builds_run() {
  quellox_runs_x86 ||
    echo "setup: this machine cannot run 32-bit programs; the scripts use the 64-bit build of the installer"
}

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages are installed"
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
say_which_builds_run
