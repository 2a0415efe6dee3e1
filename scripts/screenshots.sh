#!/usr/bin/env bash
# Renders the settings, drive options and password dialogs and the drop bar under Wine on a
# virtual display of its own, with a window-drawing desktop so that frames and captions
# show, into PNG files in BUILD_DIR/screenshots for a person to look at.
#   screenshots.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build dir}" && pwd)
export WINE_BUILD_DIR=$build
. "$here/wine-env.sh"

helper=$build/tools-bin/show_dialog.exe
[ -f "$helper" ] || cmake --build "$build" --target show_dialog
out=$build/screenshots
mkdir -p "$out"
start_private_display 1024x768 || { echo "screenshots: cannot start Xvfb" >&2; exit 1; }
# Wine's desktop processes stay bound to the display they were started on: stop the
# prefix's wineserver before the display goes, so that later runs start afresh.
finish() {
  wineserver -k >/dev/null 2>&1 || true
  kill "$xvfb_pid" 2>/dev/null || true
}
trap finish EXIT

setsid wineserver -p30 </dev/null >/dev/null 2>&1 || true

# shot NAME WIDTH HEIGHT ARGS...: runs the helper in a desktop window of that size and grabs
# that window.
shot() {
  local name=$1 width=$2 height=$3
  shift 3
  local ready=$out/.$name.ready
  rm -f "$ready"
  wine explorer "/desktop=tembrook-$name,${width}x$height" "$(winepath -w "$helper")" "$@" \
    "$(winepath -w "$ready")" </dev/null >/dev/null 2>&1 &
  local pid=$!
  for _ in $(seq 300); do
    [ -e "$ready" ] && break
    sleep 0.1
  done
  if [ ! -e "$ready" ]; then
    echo "screenshots: $name did not show" >&2
    kill "$pid" 2>/dev/null || true
    return 1
  fi
  import -display "$DISPLAY" -window root -crop "${width}x$height+0+0" +repage "$out/$name.png"
  rm -f "$ready"
  wait "$pid" || true
  echo "screenshots: $out/$name.png"
}

shot settings 480 320 dialog 101
shot drive_options 300 300 dialog 108
shot password 400 200 dialog 109
shot drop_bar 880 200 dropbar "$(winepath -w "$build/images/Drive.bmp")"
