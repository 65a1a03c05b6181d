#!/usr/bin/env bash
# Surface routing's passes, whose rows the threads of a process share (one process has no edge
# rows, two have both kinds), and its count of the cells of each travel-time zone at the set-up
# (two zones in every subbasin), give the tables, grids and state of one thread bit for bit while
# water flows over the surface: the example basin refined to 96 x 80 cells (enough for a team of
# threads in every pass), its first four hours, in which the direct flow starts to run off, with
# one thread, with two, with three and with seven (the threads' parts of a pass, weighed by the
# cells the last pass of its kind computed, end within rows: seven parts of a few wet rows of
# twelve chunks of 8 cells each). The tables of surface routing get a row every step; so do
# the zone sums of each pass's end (exact sums the threads keep apart and merge, the storage
# tables walked in row order beside them) and silting-up's tables (addends kept per piece of rows).
# usage: threaded_surface_test.sh <talvo> <processes> <mpiexec> <work dir>
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
program_test_start "$@"
rm -rf "$wd"; mkdir -p "$wd" || fail "work directory"

# prepare <folder>: the refined basin in <folder>, which becomes the current folder.
prepare() {
  copy_refined_example "$1" 4
  # Travel times of one and two hours in bands across rows and columns: subbasins of two
  # flow-time zones, whose cells the threads count apart.
  awk 'NR <= 6 { print; next } { for (i = 1; i <= NF; i++) if ($i != -9999) $i = 3600 * (1 + int((NR + i) / 9) % 2)
    print }' flow_times.asc >flow_times.new && mv flow_times.new flow_times.asc
  # Hours 1..4 of the first day.
  run_first_day_hours basin.ctl 1 4
  # Zone tables of a row a day (codes 1024..6024) write a row every step instead.
  zone_tables_every_step basin.ctl
}

for threads in 1 2 3 7; do
  prepare "$wd/threads_$threads"
  run_with_threads "$threads"
done

cd "$wd" || fail "work directory"
compare_thread_runs "" 2 3 7
# Water is on the surface and leaves it through the rivers: some value of the last step's row is
# not 0, so the comparison above has flowing water to compare.
for f in surfrout_storage.txt surfrout_qd.txt; do table_rows_with_values "threads_1/$f" 4 last; done

# The meadow of conserving cultivation: its residue cover, looked up by date for the cultivated
# cells in every pass, sets the flow coefficient (without it the coefficient would not be finite
# and K_ST would stand in, with a warning). One thread and three give the same files, which
# differ from those of the meadow of no cultivation.
for threads in 1 3; do
  prepare "$wd/conserving/threads_$threads"
  sed -i 's/SR_ResidCovrg = 0.1 0.1; }/SR_ResidCovrg = 0.1 0.1; SR_cultivation = conserving; }/' basin.ctl
  grep -q "SR_cultivation = conserving" basin.ctl || fail "no land use to cultivate"
  run_with_threads "$threads" "conserving cultivation"
done
cd "$wd/conserving" || fail "work directory"
compare_thread_runs "" 3
! grep -q -r "K_ST was used instead" . || fail "conserving cultivation: a flow coefficient fell back to K_ST"
cmp -s threads_1/surfrout_storage.txt "$wd/threads_1/surfrout_storage.txt" &&
  fail "conserving cultivation routes as no cultivation"
cd "$wd" || fail "work directory"

# Surface routing's travel-time zones: two in every subbasin.
[ "$(grep -c "^TG.*(  2	Zonen)" threads_1/modell_0.log)" -ge 6 ] || fail "not two flow-time zones in every subbasin"

echo "threaded surface test passed"
