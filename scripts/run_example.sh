#!/usr/bin/env bash
# Builds the Talvo program and runs the example basin with 2 MPI processes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DTALVO_SANITIZE=OFF >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target talvo
exec bash "$root/examples/run.sh" "$root/build/src/driver/talvo"
