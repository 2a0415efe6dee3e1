#!/usr/bin/env bash
# Starts or stops the virtual X display the window tests run on.
#   display.sh start|stop BUILD_DIR
set -u
action=${1:?start or stop}
build=$(cd "${2:?build dir}" && pwd)
file=$build/display
pidfile=$build/display.pid
case $action in
start)
  if [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then exit 0; fi
  rm -f "$file"
  # Xvfb chooses a free display number itself and reports it once it listens, so two
  # builds starting displays at the same moment never share one.
  setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$file.num" </dev/null >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 200); do
    [ -s "$file.num" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  n=$(tr -dc 0-9 < "$file.num" 2>/dev/null || true)
  rm -f "$file.num"
  if [ -z "$n" ] || ! kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null
    echo "display: cannot start Xvfb" >&2
    exit 1
  fi
  echo "$pid" > "$pidfile"
  echo ":$n" > "$file"
  # Test discovery ran programs before the display existed; a wineserver left from then
  # would hand the window tests a desktop without a display.
  export WINE_BUILD_DIR=$build
  . "$(dirname "$0")/wine-env.sh"
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  exit 0 ;;
stop)
  if [ -f "$pidfile" ]; then
    kill "$(cat "$pidfile")" 2>/dev/null
  fi
  rm -f "$pidfile" "$file"
  export WINE_BUILD_DIR=$build
  . "$(dirname "$0")/wine-env.sh"
  wineserver -k >/dev/null 2>&1 || true
  exit 0 ;;
esac
