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
  for n in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 100); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      sleep 0.05
    done
    if kill -0 "$pid" 2>/dev/null; then
      echo "$pid" > "$pidfile"
      echo ":$n" > "$file"
      # Test discovery ran programs before the display existed; a wineserver left from then
      # would hand the window tests a desktop without a display.
      export WINE_BUILD_DIR=$build
      . "$(dirname "$0")/wine-env.sh"
      wineserver -k >/dev/null 2>&1 || true
      wineserver -w >/dev/null 2>&1 || true
      exit 0
    fi
  done
  echo "display: cannot start Xvfb" >&2
  exit 1 ;;
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
