#!/usr/bin/env bash
# Meteorological grids with missing values give the zone tables and grids of one thread with a
# team of threads, in every step, when the threads add up the zones they found at the first step:
# the example basin refined to 96 x 80 cells, three hours, the wind speed nodata wherever it is
# below a lower limit and the temperature of the third hour missing at every station (the zone
# sums leave nodata out), run with one thread and with four. Every zone table gets a row each
# step; the wind's as the sums of the steps' zone means.
# usage: threaded_missing_test.sh <talvo> <processes> <mpiexec> <work dir>
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
program_test_start "$@"
rm -rf "$wd"; mkdir -p "$wd" || fail "work directory"

for threads in 1 4; do
  run=$wd/threads_$threads
  copy_refined_example "$run" 4
  run_first_day_hours basin.ctl 1 3
  sed -E -i 's/^([^ \t]+[ \t]+[1-6])024([ \t]|$)/\1001\2/; s/statcode = ([1-6])024([ ;])/statcode = \1001\2/
             s/^(wind_zones\.txt[ \t]+)0([ \t])/\14001\2/' basin.ctl
  # Where the wind is below 1.5 m/s its grid holds nodata (the replacement below the lower
  # limit): some cells of a zone or all. A station value of -9999 is missing.
  awk '/^\[wind_speed\]/ { on = 1 } on && /lower limit/ { $1 = 1.5 } on && /replacement below it/ { $1 = -9999; on = 0 }
    { print }' basin.ctl >b.new && mv b.new basin.ctl
  awk '$1 == 2020 && $2 == 1 && $3 == 1 && $4 == 3 { $5 = $6 = $7 = -9999 } { print }' temperature.dat >t.new &&
    mv t.new temperature.dat
  run_with_threads "$threads"
done

cd "$wd" || fail "work directory"
compare_thread_runs "" 4
# The tables of the inputs and of the superposition of the temperature: a row each step, the
# temperature's third row without values.
for f in wind_zones.txt temperature_zones.txt temperature_regional_zones.txt; do
  [ "$(tail -n +4 "threads_1/$f" | wc -l)" -eq 3 ] || fail "$f: not a row per step"
done
row_has_values() {  # <table> <row>: some zone of the row holds a value that is neither 0 nor nodata
  tail -n +4 "$1" | awk -v row="$2" 'NR == row { for (i = 5; i <= NF; ++i) if ($i + 0 != 0 && $i + 0 != -9999) found = 1 }
    END { exit !found }'
}
# The wind: every zone's mean over its cells with a value (at least the lower limit), nodata for
# a zone without any.
tail -n +4 threads_1/wind_zones.txt | awk '{ for (i = 5; i <= NF; ++i) if ($i < 1.5 && $i != -9999) bad = 1; else if ($i >= 1.5) seen = 1 } END { exit bad || !seen }' ||
  fail "wind_zones.txt: a value below the lower limit or none at all"
row_has_values threads_1/temperature_zones.txt 2 || fail "temperature_zones.txt: no values in the second step"
row_has_values threads_1/temperature_zones.txt 3 && fail "temperature_zones.txt: values in the step without data"
row_has_values threads_1/temperature_regional_zones.txt 3 && fail "temperature_regional_zones.txt: values in the step without data"

echo "threaded missing data test passed ($compared files)"
