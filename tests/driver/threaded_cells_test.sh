#!/usr/bin/env bash
# The cell loops whose rows the threads of a process share give the tables and grids of one
# thread bit for bit: the example basin refined to 96 x 80 cells (enough for a team of threads in
# every threaded loop), two hourly steps, run with one thread and with four.
# usage: threaded_cells_test.sh <talvo> <processes> <mpiexec> <work dir>
set -u
exe=$1; np=$2; mpiexec=$3; wd=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
rm -rf "$wd"; mkdir -p "$wd" || fail "work directory"

for threads in 1 4; do
  run=$wd/threads_$threads
  mkdir -p "$run" && cp -r "$here"/../../examples/basin/. "$run"/ && cd "$run" || fail "copy of the basin"
  bash "$here/../../scripts/refine_grids.sh" 4 ./*.asc || fail "refining the grids"
  # The run ends after the second hour of its first day (the lines after "[model_time]" hold the
  # start hour, day, month and year, then the end's).
  t=$(grep -n '^\[model_time\]' basin.ctl | head -1 | cut -d: -f1)
  awk -v t="$t" 'NR == t + 5 { $1 = 2 } NR == t + 6 { $1 = 1 } { print }' basin.ctl >basin.ctl.new &&
    mv basin.ctl.new basin.ctl
  OMP_NUM_THREADS=$threads OMP_WAIT_POLICY=passive "$mpiexec" -n "$np" "$exe" basin.ctl >console.txt 2>&1 ||
    { tail -5 console.txt; fail "the run with $threads threads failed"; }
done

cd "$wd" || fail "work directory"
compared=0
while IFS= read -r f; do
  case "$f" in ./console.txt | *.xml | *.log) continue ;; esac
  [ -f "threads_4/$f" ] || fail "$f missing with 4 threads"
  cmp -s "threads_1/$f" "threads_4/$f" || fail "$f differs between 1 and 4 threads"
  compared=$((compared + 1))
done < <(cd threads_1 && find . -type f | sort)
for f in interception_storage.asc throughfall_zones.txt snow_total.asc silting_ekin.asc; do
  [ -f "threads_1/$f" ] || fail "no $f written"
done
echo "threaded cells test passed ($compared files)"
