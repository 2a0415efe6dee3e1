#!/usr/bin/env bash
# Starts Tembrook.exe from the installed copy (BUILD_DIR/out) under the project's Wine prefix
# and returns when the program has ended. Its settings file, Tembrook.ini, lives beside it
# in BUILD_DIR/out, so virtual drives come back at the next run.
#
# With $DISPLAY set the program shows there (its icon in the display's notification area,
# or in Wine's own "Wine System Tray" window when there is none). Without it, it runs on a
# virtual display started here, and a screenshot of that display is kept up to date in
# BUILD_DIR/run-screen.png.
#
#   run.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build dir}" && pwd)
out=$build/out
if [ ! -f "$out/Tembrook.exe" ]; then
  echo "run: $out/Tembrook.exe is not built" >&2
  exit 1
fi
export WINE_BUILD_DIR=$build
. "$here/wine-env.sh"

xvfb_pid=
shooter_pid=
finish() {
  [ -n "$shooter_pid" ] && kill "$shooter_pid" 2>/dev/null
  if [ -n "$xvfb_pid" ]; then
    # Wine's desktop process stays bound to the display it started on: end it with the
    # display, so that the next run starts afresh.
    wineserver -k >/dev/null 2>&1 || true
    kill "$xvfb_pid" 2>/dev/null
  fi
  return 0
}
trap finish EXIT

if [ -z "${DISPLAY:-}" ]; then
  if ! start_private_display 1280x1024; then
    echo "run: no \$DISPLAY, and no virtual display could be started" >&2
    exit 1
  fi
  screen=$build/run-screen.png
  (
    while sleep 3; do
      import -silent -display "$DISPLAY" -window root "$screen.tmp.png" 2>/dev/null &&
        mv -f "$screen.tmp.png" "$screen"
    done
  ) &
  shooter_pid=$!
  echo "run: no \$DISPLAY: Tembrook runs on the virtual display $DISPLAY."
  echo "run: to look at it, open $screen (refreshed every 3 seconds);"
  echo "run: to use it, e.g. DISPLAY=$DISPLAY xdotool search --name 'Wine System Tray'."
fi

setsid wineserver -p30 </dev/null >/dev/null 2>&1 || true
cd "$out"
log=$build/run.log
# Started in the background so that Ctrl+C reaches this script, not the program: the
# program is then asked to end as its own Exit would end it, with its drives written back,
# saved and unmapped.
wine Tembrook.exe </dev/null >"$log" 2>&1 &
program=$!
stop() {
  echo "run: asking Tembrook to end"
  # Without /f, taskkill closes the program's windows; closing the main window ends it.
  wine taskkill /im Tembrook.exe >/dev/null 2>&1 || true
}
trap stop INT TERM
echo "run: Tembrook is running (Wine's log: $log)."
echo "run: to stop it, choose 終了 in its tray menu, press Ctrl+C, or: kill $$"

set +e
status=0
while :; do
  wait "$program"
  status=$?
  kill -0 "$program" 2>/dev/null || break
done
echo "run: Tembrook ended with exit code $status"
exit "$status"
