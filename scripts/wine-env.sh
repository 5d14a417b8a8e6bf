# Sourced by the scripts: a private Wine prefix in the build tree, a display
# (Xvfb when there is none) and a persistent wineserver, so that each Wine
# process starts in about 0.1 s instead of several seconds.
#   source scripts/wine-env.sh BUILD_DIR ARCH      (ARCH: x86 or x64)
# QUELLOX_WINE is the loader that runs the build's programs: Wine's 32-bit
# loader for x86, its 64-bit loader, called directly, for x64 (the `wine`
# wrapper picks the 32-bit one whenever it is installed, and on a machine
# that cannot run 32-bit programs that one fails). Every build has a
# 64-bit prefix of its own.
# Defines quellox_wine_stop, which the caller runs on exit.

quellox_build_dir=$(cd "$1" && pwd)
case "${2:-x86}" in
  x86) export QUELLOX_WINE=/usr/lib/wine/wine; unset WINELOADER ;;
  x64) export QUELLOX_WINE=/usr/lib/wine/wine64 WINELOADER=/usr/lib/wine/wine64 ;;
  *) echo "wine-env.sh: unknown build ${2}" >&2; return 2 ;;
esac
export WINEPREFIX="$quellox_build_dir/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
quellox_xvfb_pid=""

if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 90 140); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    quellox_xvfb_pid=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
    break
  done
fi

mkdir -p "$WINEPREFIX"
# A server already running for this prefix is ended first: it would refuse
# to become persistent.
wineserver -k 2>/dev/null || true
wineserver -p
# wineboot is a 64-bit program of the 64-bit prefix: the 64-bit loader starts
# it directly (through the 32-bit one, under emulation, it would first spend
# a minute becoming the 64-bit one).
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating the Wine prefix $WINEPREFIX ..."
  /usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1 || true
fi
# Start the prefix's background services now, detached from any pipe: a
# service started by a test's first Wine process would inherit its output
# and keep the reader of that output waiting.
/usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 || true
# The system's faces draw what they lack from other faces, as Windows links
# its user-interface faces to those of other scripts: the captions and
# message boxes of a translated window show Japanese, Chinese, Korean,
# Arabic and Hebrew with Debian's Noto and DejaVu faces in place of Windows'.
for face in Tahoma "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif" "Segoe UI"; do
  /usr/lib/wine/wine64 reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v "$face" \
    /t REG_MULTI_SZ /d 'NotoSansCJK-Regular.ttc,Noto Sans CJK JP\0NotoSansCJK-Regular.ttc,Noto Sans CJK SC\0NotoSansCJK-Regular.ttc,Noto Sans CJK KR\0DejaVuSans.ttf,DejaVu Sans' \
    /f </dev/null >/dev/null 2>&1 || true
done

quellox_wine_stop() {
  wineserver -k 2>/dev/null || true
  if [ -n "$quellox_xvfb_pid" ]; then kill "$quellox_xvfb_pid" 2>/dev/null || true; fi
}
