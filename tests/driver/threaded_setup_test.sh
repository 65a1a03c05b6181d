#!/usr/bin/env bash
# The set-up's grids, derived grids and log are the same whether the threads of a process share its
# cell loops and the filling of its new grids or one thread does it all: the example basin refined
# to 288 x 240 cells (every filled grid of a process large enough for a team of threads), one
# hourly step, run with one thread and with four. Every file the runs write is compared byte for
# byte, the diagnostics file apart from its clock lines.
# usage: threaded_setup_test.sh <talvo> <processes> <mpiexec> <work dir>
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
program_test_start "$@"
rm -rf "$wd"; mkdir -p "$wd" || fail "work directory"

for threads in 1 4; do
  run=$wd/threads_$threads
  copy_refined_example "$run" 12
  # One step, the last hour of the first day.
  run_first_day_hours basin.ctl 24 24
  OMP_NUM_THREADS=$threads OMP_WAIT_POLICY=passive "$mpiexec" -n "$np" "$exe" basin.ctl >console.txt 2>&1 ||
    { tail -5 console.txt; fail "the run with $threads threads failed"; }
  grep -q "reached end of simulation sucessfully" console.txt || fail "the run with $threads threads did not end"
done

cd "$wd" || fail "work directory"
compare_thread_runs 'Talvo start|finished at|compiled|wtime|grid store holds|seconds' 4
# The set-up's own grids are among them: cell sizes and coordinates, slope and exposition, the
# regions' weights and the soil's start state; so is the lake's water-level/volume table, whose
# levels the threads share (2304 cells under about 300 levels).
for f in 'zones.$csx' 'zones.$cx' 'elevation.$sl' 'elevation.$ex' 'regions.$w1' soil_temper.stk W_V_Table_02.dat; do
  [ -s "threads_1/$f" ] || fail "no $f written"
done
echo "threaded set-up test passed ($compared files)"
