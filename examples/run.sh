#!/usr/bin/env bash
# Runs the example basin: run.sh <talvo executable>
set -euo pipefail
exe=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
cp -r "$here"/basin/. "$work"/ 2>/dev/null || true
cd "$work"
mpiexec -n 2 "$exe" basin.ctl -diaglevel:INFO
echo "example basin: output in $work"
