#!/usr/bin/env bash
# The soil model's zone sums with threads when the basin has so many travel-time zones that the
# threads' own copies of the exact sums would be too large: each thread then adds the sums of its
# share of the zones over all cells. The refined example basin (96 x 80 cells) with 2000 zones per
# subbasin (each copy would take some 40 MB), four hourly steps with a table row each, run with
# one thread, with three and with four: every file as one thread writes it.
# usage: threaded_soil_zones_test.sh <talvo> <processes> <mpiexec> <work dir>
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
program_test_start "$@"
rm -rf "$wd"; mkdir -p "$wd" || fail "work directory"

for threads in 1 3 4; do
  run=$wd/threads_$threads
  copy_refined_example "$run" 4
  # The last two hours of the first day and the first two of the second, when runoff starts.
  t=$(grep -n '^\[model_time\]' basin.ctl | head -1 | cut -d: -f1)
  awk -v t="$t" 'NR == t + 1 { $1 = 23 } NR == t + 5 { $1 = 2 } NR == t + 6 { $1 = 2 } { print }' basin.ctl >b.new &&
    mv b.new basin.ctl
  # Zone tables of a row a day write a row every step instead.
  zone_tables_every_step basin.ctl
  # Travel times of an hour, and of up to 2000 hours in every seventh cell.
  awk 'BEGIN { OFS = "\t" } NR <= 6 { print; next }
    { for (i = 1; i <= NF; ++i) if ($i != -9999) { $i = 3600 * (n % 7 == 0 ? n % 2000 + 1 : 1); ++n } } { print }' \
    flow_times.asc >f.new && mv f.new flow_times.asc
  run_with_threads "$threads"
done

cd "$wd" || fail "work directory"
compare_thread_runs "" 3 4
# The soil's tables: a row for each step, with runoff in them (the comparison has something to compare).
for f in SB_2.txt Qg.txt; do table_rows_with_values "threads_1/$f" 4; done
echo "threaded soil zones test passed ($compared files)"
