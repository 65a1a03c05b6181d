#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS seconds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-20}
if ! ls "$root"/fuzz/*.cpp >/dev/null 2>&1; then echo "no fuzz targets"; exit 0; fi
bash "$root/scripts/build.sh" build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DTALVO_FUZZ=ON -DTALVO_TESTS=OFF -DTALVO_BENCH=OFF
status=0
for src in "$root"/fuzz/*.cpp; do
  name=$(basename "$src" .cpp)
  corpus="$root/build-fuzz/corpus/$name"
  mkdir -p "$corpus"
  seeds="$root/fuzz/seeds/$name"
  [ -d "$seeds" ] || seeds=""
  echo "-- $name for ${seeds:+seeded }${seconds}s"
  (cd "$root/build-fuzz" && ASAN_OPTIONS=detect_leaks=0 UCX_HANDLE_ERRORS=none ./fuzz/"$name" -max_total_time="$seconds" \
     -rss_limit_mb=4096 -print_final_stats=0 "$corpus" $seeds 2>"$name.log") \
    || { echo "fuzz target $name FAILED"; tail -40 "$root/build-fuzz/$name.log"; status=1; }
done
exit $status
