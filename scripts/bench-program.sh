#!/usr/bin/env bash
# Program-level measurements under Wine and Xvfb: drop-to-visible time of one archive, idle
# CPU of the resident program, and the timer's write-back of an unchanged drive and after one
# change against a full pack. Prints one JSON object on stdout; progress and build output go to stderr.
#   bench-program.sh BUILD_DIR [CORPUS_DIR]
# Without CORPUS_DIR a deterministic corpus of many small text files is generated.
# Environment: BENCH_IDLE_SECONDS (default 30), BENCH_RUNS (default 5).
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?build dir}" && pwd)
corpus=${2:-}

cmake --build "$build" --target end_to_end_tools write_back_probe -j2 >&2
zip=$(ls -t "$build"/Tembrook-*.zip | head -n 1)

# The display is left running when it already was.
started_display=0
if ! { [ -f "$build/display.pid" ] && kill -0 "$(cat "$build/display.pid")" 2>/dev/null; }; then
  bash "$source_dir/scripts/display.sh" start "$build" >&2
  started_display=1
fi
trap 'if [ $started_display = 1 ]; then bash "$source_dir/scripts/display.sh" stop "$build" >&2; fi' EXIT

python3 "$source_dir/scripts/program_bench.py" --build "$build" --zip "$zip" \
  ${corpus:+--corpus "$corpus"} \
  --idle-seconds "${BENCH_IDLE_SECONDS:-30}" --runs "${BENCH_RUNS:-5}"
