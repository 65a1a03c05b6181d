#!/usr/bin/env bash
# The set-up's grids, derived grids and log are the same whether the threads of a process share its
# cell loops and the filling of its new grids (the tracers' stores among them, the snow's state and
# zero grids, surface routing's grids of the own cells, and the soil's count of the cells of each
# travel-time zone) or one thread does it all: the example basin refined to 288 x 240 cells
# (every filled grid of a process large enough for a team of threads), one hourly step, run with
# one thread and with four. Every file the runs write is compared byte for byte, the diagnostics
# file apart from its clock lines.
# usage: threaded_setup_test.sh <talvo> <processes> <mpiexec> <work dir>
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
program_test_start "$@"
rm -rf "$wd"; mkdir -p "$wd" || fail "work directory"

for threads in 1 4; do
  run=$wd/threads_$threads
  copy_refined_example "$run" 12
  # Travel times of one and two hours in bands across rows and columns: subbasins of two
  # flow-time zones in the soil, whose cells the threads count apart.
  awk 'NR <= 6 { print; next } { for (i = 1; i <= NF; i++) if ($i != -9999) $i = 3600 * (1 + int((NR + i) / 30) % 2)
    print }' flow_times.asc >flow_times.new && mv flow_times.new flow_times.asc
  # One step, the last hour of the first day.
  run_first_day_hours basin.ctl 24 24
  run_with_threads "$threads"
  grep -q "reached end of simulation sucessfully" console.txt || fail "the run with $threads threads did not end"
done

cd "$wd" || fail "work directory"
compare_thread_runs 'Talvo start|finished at|compiled|wtime|grid store holds|seconds' 4
# The set-up's own grids are among them: cell sizes and coordinates, slope and exposition, the
# regions' weights and the soil's start state; so is the lake's water-level/volume table, whose
# levels the threads share (2304 cells under about 300 levels).
# The snow's total storage grid starts from its zero grids.
for f in 'zones.$csx' 'zones.$cx' 'elevation.$sl' 'elevation.$ex' 'regions.$w1' soil_temper.stk \
  W_V_Table_02.dat snow_total.asc; do
  [ -s "threads_1/$f" ] || fail "no $f written"
done
# The soil's travel-time zones: two in every subbasin (its table comes first in the log).
awk '/^flow time distribution:/ { on = 1; next } /^[^T]/ { on = 0 } on && /^TG/' threads_1/modell_0.log >soil_zones.txt
[ -s soil_zones.txt ] || fail "no flow-time zones of the soil in the log"
grep -q -v "(  2	Zonen)" soil_zones.txt && fail "not two flow-time zones in every subbasin of the soil"
echo "threaded set-up test passed ($compared files)"
