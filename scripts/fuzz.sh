#!/usr/bin/env bash
# Builds the archive library's core for this machine and fuzzes it with libFuzzer.
#   fuzz.sh BUILD SECONDS     fuzz for SECONDS, seeded from the library's test fixtures
#   fuzz.sh BUILD build       only configure and build BUILD/native
# The corpus grows in BUILD/fuzz-corpus and is reused by the next run; inputs that crash,
# leak or hang land in BUILD/fuzz-artifacts, and the exit code is then not 0.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)
mkdir -p "$1"
build=$(cd "$1" && pwd)
what=$2
native=$build/native

# The dependency build keeps zlib's infback9 sources; the Makefile's setup names its directory.
deps=$(cat "$build/.deps-dir")
CXX=${FUZZ_CXX:-clang++} CC=${FUZZ_CC:-clang} cmake -S "$source_dir/bench" -B "$native" \
  -DCMAKE_BUILD_TYPE=Release -DINFBACK9_DIR="$deps/infback9" >/dev/null
cmake --build "$native" -j"${JOBS:-2}" >"$native/build.log" 2>&1 || { cat "$native/build.log"; exit 1; }
[ "$what" = build ] && exit 0

seeds=$build/fuzz-seeds
if [ ! -f "$seeds/.ready" ]; then
  rm -rf "$seeds"
  python3 "$source_dir/bench/fuzz_seeds.py" "$source_dir/scripts/make-fixtures.py" "$seeds"
  touch "$seeds/.ready"
fi
mkdir -p "$build/fuzz-corpus" "$build/fuzz-artifacts"
# libarchive believes sizes in headers and may ask for gigabytes it then never fills (cpio
# names, for one); on Windows that allocation just fails. Such asks are not findings here,
# memory really used still is.
exec "$native/vessiko-fuzz" -max_total_time="$what" -timeout=30 -rss_limit_mb=2560 \
  -malloc_limit_mb=8192 -max_len=262144 -print_final_stats=1 \
  -artifact_prefix="$build/fuzz-artifacts/" "$build/fuzz-corpus" "$seeds"
