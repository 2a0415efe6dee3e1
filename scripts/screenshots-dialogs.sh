#!/usr/bin/env bash
# Renders the settings dialog and the drive options dialog of the real program, filled with
# real rows, into PNG files for a person to look at: a copy of the installed program starts
# with two saved drives (M: and N:, each with an archive), the dialogs are opened from the
# tray command and grabbed, and the program exits again (unmapping both letters).
#   screenshots-dialogs.sh BUILD_DIR
# Output: BUILD_DIR/screenshots/dialogs-settings.png and dialogs-drive-options.png.
# M: and N: must be free in the build's Wine prefix (no ui test may run at the same time).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build dir}" && pwd)
export WINE_BUILD_DIR=$build
. "$here/wine-env.sh"

cmake --build "$build" --target Tembrook probe runtime_files >/dev/null
probe=$build/tests-bin/probe.exe
out=$build/screenshots
mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/tb-dialog-shots.XXXXXX")
width=640
height=420
desktop=tembrook-dialog-shots
start_private_display 1024x768 || { echo "screenshots-dialogs: cannot start Xvfb" >&2; exit 1; }

unmap() {
  for letter in M N; do
    if [ -L "$WINEPREFIX/dosdevices/${letter,,}:" ]; then
      wine "$build/out/mapdrive.exe" "$letter:" /D </dev/null >/dev/null 2>&1 || true
    fi
  done
}
program_pid=
cleanup() {
  [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null || true
  wine taskkill /f /im Tembrook.exe </dev/null >/dev/null 2>&1 || true
  unmap
  kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

setsid wineserver -p30 </dev/null >/dev/null 2>&1 || true
for letter in M N; do
  if [ -L "$WINEPREFIX/dosdevices/${letter,,}:" ]; then
    echo "screenshots-dialogs: $letter: is in use in $WINEPREFIX" >&2
    exit 1
  fi
done

# The installed copy, two archives and the settings file that brings M: and N: back.
mkdir -p "$work/program" "$work/root" "$work/archives"
cp "$build"/out/* "$work/program/"
python3 - "$work/archives" <<'EOF'
import os, sys, zipfile
folder = sys.argv[1]
with zipfile.ZipFile(os.path.join(folder, "写真2024.zip"), "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("旅行/京都.txt", "金閣寺")
    z.writestr("memo.txt", "photos")
with zipfile.ZipFile(os.path.join(folder, "documents.zip"), "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("report.txt", "draft")
EOF
root=$(winepath -w "$work/root")
photos=$(winepath -w "$work/archives/写真2024.zip")
documents=$(winepath -w "$work/archives/documents.zip")
# FLAG 3: reflect changes, on a timer; FLAG 256: keep the folder at exit.
printf '[Temporally Folder]\r\nPATH=%s\r\n[M:]\r\nFILEPATH=%s\r\nUPTIME=10\r\nFLAG=3\r\n[N:]\r\nFILEPATH=%s\r\nUPTIME=1\r\nFLAG=256\r\n' \
  "$root" "$photos" "$documents" | iconv -f UTF-8 -t CP932 > "$work/program/Tembrook.ini"

# The program and the probe share one desktop window, which draws frames and captions.
wine explorer "/desktop=$desktop,${width}x$height" "$(winepath -w "$work/program/Tembrook.exe")" \
  </dev/null >"$work/program.log" 2>&1 &
program_pid=$!

# drive ARGS...: runs the probe (tests/tools/probe.cpp) on the program's desktop and fails
# when it fails.
drive() {
  local status=$work/status
  rm -f "$status"
  # The desktop window keeps the probe's exit code to itself: the probe writes it down.
  PROBE_STATUS=$(winepath -w "$status") wine explorer "/desktop=$desktop,${width}x$height" \
    "$(winepath -w "$probe")" "$@" </dev/null >>"$work/probe.log" 2>&1 &
  local pid=$!
  for _ in $(seq 600); do
    [ -s "$status" ] && break
    sleep 0.1
  done
  wait "$pid" 2>/dev/null || true
  if [ "$(cat "$status" 2>/dev/null)" != 0 ]; then
    echo "screenshots-dialogs: probe $* failed" >&2
    cat "$work/probe.log" >&2
    exit 1
  fi
}

shot() {
  sleep 1  # let the dialog paint
  import -display "$DISPLAY" -window root -crop "${width}x$height+0+0" +repage "$out/$1"
  echo "screenshots-dialogs: $out/$1"
}

# Settings from the tray menu, with M:'s row selected by the list's own keys (Home, Down).
drive main 0 0x111 40001
drive settings 1001 0x100 0x24
drive settings 1001 0x100 0x28 12
shot dialogs-settings.png
# Its drive options button, then Cancel in both dialogs, and Exit.
drive settings 1005 0xF5 0
drive options
shot dialogs-drive-options.png
drive options 1020 0xF5 0
drive gone options
drive settings 1006 0xF5 0
drive gone settings
drive main 0 0x111 40002
for _ in $(seq 300); do
  kill -0 "$program_pid" 2>/dev/null || break
  sleep 0.1
done
