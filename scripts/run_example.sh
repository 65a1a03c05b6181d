#!/usr/bin/env bash
# Builds Talvo and runs the example basin with 2 MPI processes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh" build -DCMAKE_BUILD_TYPE=Release -DTALVO_TESTS=OFF -DTALVO_BENCH=OFF
exec bash "$root/examples/run.sh" "$root/build/src/driver/talvo"
