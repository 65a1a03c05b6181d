#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS seconds, as many side by
# side as the machine has cores. A crash, a hang (an input that takes longer than FUZZ_TIMEOUT
# seconds) or undefined behaviour fails the stage.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-20}
timeout=${FUZZ_TIMEOUT:-10}
jobs=${FUZZ_JOBS:-$(nproc)}
if ! ls "$root"/fuzz/*.cpp >/dev/null 2>&1; then echo "no fuzz targets"; exit 1; fi
# Line tables only: a crash report names file and line; full debug information only slows the build.
bash "$root/scripts/build.sh" build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only -DNDEBUG" -DTALVO_FUZZ=ON -DTALVO_TESTS=OFF -DTALVO_BENCH=OFF

run_target() {
  local name=$1 corpus="$root/build-fuzz/corpus/$1" seeds="$root/fuzz/seeds/$1"
  mkdir -p "$corpus"
  [ -d "$seeds" ] || seeds=""
  if (cd "$root/build-fuzz" && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        UCX_HANDLE_ERRORS=none ./fuzz/"$name" -max_total_time="$seconds" -timeout="$timeout" -rss_limit_mb=2048 \
        -print_final_stats=0 "$corpus" $seeds >"$name.log" 2>&1); then
    echo "-- $name: ${seconds}s${seeds:+ from seeds}, passed"
  else
    echo "fuzz target $name FAILED"; tail -40 "$root/build-fuzz/$name.log"; return 1
  fi
}

names=()
for src in "$root"/fuzz/*.cpp; do names+=("$(basename "$src" .cpp)"); done
status=0
running=()
for name in "${names[@]}"; do
  run_target "$name" &
  running+=($!)
  if [ ${#running[@]} -ge "$jobs" ]; then
    wait "${running[0]}" || status=1
    running=("${running[@]:1}")
  fi
done
for pid in "${running[@]}"; do wait "$pid" || status=1; done
echo "${#names[@]} fuzz targets run"
exit $status
