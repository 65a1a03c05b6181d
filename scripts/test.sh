#!/usr/bin/env bash
# Builds and runs every test: the Release build, the AddressSanitizer/UBSan build, the fuzz
# targets for a bounded time each, and the example basin. Every stage states its options, so
# that nothing a build folder cached from another command (such as the example's build without
# tests) can leave a stage with no tests; a stage that finds none fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
# Test processes set their own threads (see cmake/TalvoHelpers.cmake).
status=0

echo "== Release build"
bash "$root/scripts/build.sh" build -DCMAKE_BUILD_TYPE=Release -DTALVO_SANITIZE=OFF -DTALVO_TESTS=ON -DTALVO_BENCH=ON
(cd "$root/build" && ctest -j "$jobs" --no-tests=error --output-on-failure) || status=1

echo "== Sanitizer build (address, undefined)"
# Optimised lightly (-O1, assertions on): the model runs of the tests take a third of the time.
# Line tables only (-g1): the sanitizers' reports name file and line, and the build takes a third
# less time than with full debug information.
bash "$root/scripts/build.sh" build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DTALVO_SANITIZE=ON \
  -DTALVO_TESTS=ON -DTALVO_BENCH=OFF
# Leak detection is off: the MPI library keeps allocations until the process ends.
# The five longest whole-model tests run here at 1 and 2 processes; the Release stage runs them at
# 4 as well.
(cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest -j "$jobs" --no-tests=error --output-on-failure \
    -E '^(water_balance|warm_season|warm_split|tracer_balance|partition)_np4$') || status=1

echo "== Fuzz targets"
FUZZ_SECONDS=${FUZZ_SECONDS:-3} bash "$root/scripts/fuzz.sh" || status=1

echo "== Example basin"
# The half-year's water balance and tracer bounds, from what the example run wrote.
if bash "$root/examples/run.sh" "$root/build/src/driver/talvo" "$root/build/example_run"; then
  bash "$root/tests/driver/half_year_check.sh" "$root/build/example_run" || status=1
else
  status=1
fi

if [ $status -eq 0 ]; then echo "all test stages passed"; else echo "some test stage FAILED"; fi
exit $status
