#!/usr/bin/env bash
# Installs everything that building, testing and the demo need, from Debian's
# packages. Safe to run again: it does nothing when every package is present.
set -euo pipefail

packages=(
  cmake ninja-build make
  mingw-w64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
  wine wine32:i386 wine64 fonts-wine
  googletest
  xvfb x11-utils
  osslsigncode openssl
  imagemagick
  python3 python3-pytest python3-fonttools
  fonts-roboto-unhinted
  clang libclang-rt-14-dev g++ curl
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
