#!/usr/bin/env bash
# Builds and runs every test: the Release build, the AddressSanitizer/UBSan build, and the
# fuzz targets for a bounded time each.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
export OMP_NUM_THREADS=2
status=0

echo "== Release build"
bash "$root/scripts/build.sh" build -DCMAKE_BUILD_TYPE=Release
(cd "$root/build" && ctest -j "$jobs" --output-on-failure) || status=1

echo "== Sanitizer build (address, undefined)"
bash "$root/scripts/build.sh" build-asan -DCMAKE_BUILD_TYPE=Debug -DTALVO_SANITIZE=ON -DTALVO_BENCH=OFF
# Leak detection is off: the MPI library keeps allocations until the process ends.
(cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest -j "$jobs" --output-on-failure) || status=1

echo "== Fuzz targets"
FUZZ_SECONDS=${FUZZ_SECONDS:-20} bash "$root/scripts/fuzz.sh" || status=1

echo "== Example basin"
bash "$root/examples/run.sh" "$root/build/src/driver/talvo" || status=1

if [ $status -eq 0 ]; then echo "all test stages passed"; else echo "some test stage FAILED"; fi
exit $status
