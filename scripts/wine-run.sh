#!/usr/bin/env bash
# Runs one Windows program under the project's Wine prefix and passes its exit code on.
# Used as CTest's emulator. Output goes through files: Wine's helper processes inherit
# the output pipe and outlive the program, which would keep CTest waiting.
#   wine-run.sh PROGRAM.exe ARGS...
set -u
here=$(cd "$(dirname "$0")" && pwd)
export WINE_BUILD_DIR=${WINE_BUILD_DIR:-$(cd "$here/.." && pwd)/build}
. "$here/wine-env.sh"
if [ -f "$WINE_BUILD_DIR/display" ]; then
  export DISPLAY=$(cat "$WINE_BUILD_DIR/display")
fi
setsid wineserver -p30 </dev/null >/dev/null 2>&1 || true

out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
wine "$@" </dev/null >"$out.out" 2>"$out.err"
rc=$?
cat "$out.out"
cat "$out.err" >&2
rm -f "$out" "$out.out" "$out.err"
exit $rc
