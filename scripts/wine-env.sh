# Sourced by the Wine scripts: the environment of the project's own Wine prefix.
# WINE_BUILD_DIR is the build tree; the prefix lives inside it, never in ~/.wine.
: "${WINE_BUILD_DIR:?}"
export WINEPREFIX="$WINE_BUILD_DIR/wineprefix"
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LANG=ja_JP.UTF-8
export LC_ALL=ja_JP.UTF-8
unset WINESERVER || true


# Starts a virtual display of its own (Xvfb picks a free number and reports it once it
# listens) with the given screen size; sets DISPLAY and xvfb_pid. Returns 1 when none starts.
start_private_display() {
  local size=${1:-1024x768} numfile
  numfile=$(mktemp "${TMPDIR:-/tmp}/tb-display.XXXXXX")
  setsid Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp 3>"$numfile" </dev/null >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 200); do
    [ -s "$numfile" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.05
  done
  local n
  n=$(tr -dc 0-9 < "$numfile")
  rm -f "$numfile"
  if [ -z "$n" ] || ! kill -0 "$xvfb_pid" 2>/dev/null; then
    kill "$xvfb_pid" 2>/dev/null
    xvfb_pid=
    return 1
  fi
  export DISPLAY=:$n
}
