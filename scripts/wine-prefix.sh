#!/usr/bin/env bash
# Creates the project's 32-bit Japanese Wine prefix in the build tree (once) and applies its
# settings (again whenever this script changes).
#   wine-prefix.sh BUILD_DIR
set -euo pipefail
export WINE_BUILD_DIR=$(cd "${1:?build dir}" && pwd)
. "$(dirname "$0")/wine-env.sh"
stamp=$WINEPREFIX/.tembrook-ready

setsid wineserver -p30 </dev/null >/dev/null 2>&1 || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "wine: creating prefix $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  setsid wineserver -p30 </dev/null >/dev/null 2>&1 || true
  wineboot -i </dev/null >/dev/null 2>&1
fi

reg() { wine reg add "$@" /f </dev/null >/dev/null 2>&1; }
fonts='HKCU\Software\Wine\Fonts\Replacements'
for face in "ＭＳ Ｐゴシック" "MS PGothic" "MS UI Gothic" "メイリオ" "Meiryo" "Meiryo UI"; do
  reg "$fonts" /v "$face" /t REG_SZ /d IPAPGothic
done
for face in "ＭＳ ゴシック" "MS Gothic"; do
  reg "$fonts" /v "$face" /t REG_SZ /d IPAGothic
done
# A crashing test must fail, not hang in Wine's crash dialog.
reg 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0
# Wine draws the window frames itself: with no window manager on the test display, a
# managed window that is hidden makes Wine wait about two seconds for an unmap that never
# comes.
reg 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N
wineserver -w
touch "$stamp"
