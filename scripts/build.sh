#!/usr/bin/env bash
# Configures and builds one build tree: build.sh <dir> [cmake options...]
set -euo pipefail
dir=$1; shift
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/$dir" "$@" >/dev/null
cmake --build "$root/$dir" -j "$(nproc)"
