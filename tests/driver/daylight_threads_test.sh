#!/usr/bin/env bash
# The meteorological sub-models by day with the threads of one process: the example basin refined
# to 96 x 80 cells (enough for a team of threads in the terrain shadow's march and the cell
# loops), the hourly steps of the daylight with the terrain shadow, the radiation correction and the
# corrected temperature written every step, run with one thread and with four. Every grid and
# table must be the one thread's bit for bit, and the shadow must have both shaded and lit cells.
# usage: daylight_threads_test.sh <talvo> <processes> <mpiexec> <work dir>
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
program_test_start "$@"
rm -rf "$wd"; mkdir -p "$wd" || fail "work directory"

for threads in 1 4; do
  run=$wd/threads_$threads
  copy_refined_example "$run" 4
  # Hours 8 to 16 of the first day (the lines after "[model_time]" hold the start hour, day,
  # month and year, then the end's); the shadow, the correction factor and the corrected
  # temperature written every step under dated names (write code 2); every zone table one row a
  # step, also those of the wind, humidity, radiation and of the evaporation's parts.
  t=$(grep -n '^\[model_time\]' basin.ctl | head -1 | cut -d: -f1)
  awk -v t="$t" 'NR == t + 1 { $1 = 8 } NR == t + 5 { $1 = 16 } NR == t + 6 { $1 = 1 }
    /^(tkorr|exkorr|shadow)\.asc/ { print; getline; sub(/^[0-9]+/, "2") }
    /^[a-z_]+\.txt +[24]024 / { sub(/024 /, "001 ") }
    /outputtable = temperature_regional_zones\.txt; statcode = 2024;/ { sub(/statcode = 2024/, "statcode = 2001") }
    /^(wind|humidity|radiation|evap_pot|evap_real|eip|rgex)_zones\.txt +0 / { sub(/\.txt +0 /, ".txt 2001 ") }
    { print }' basin.ctl >basin.ctl.new && mv basin.ctl.new basin.ctl
  run_with_threads "$threads"
done

cd "$wd" || fail "work directory"
compare_thread_runs "" 4
shadows=$(ls threads_1/shadow_2020010*.* 2>/dev/null | wc -l)
[ "$shadows" -ge 9 ] || fail "$shadows shadow grids written, expected one a step"
# Cells of value 1 (shaded) and 0 (lit) among the shadow grids' values.
counts=$(cat threads_1/shadow_2020010*.* | awk 'NF > 2 && $1 !~ /^[a-zA-Z]/ {
  for (i = 1; i <= NF; i++) { if ($i == 1) s++; else if ($i == 0) l++ } } END { print s + 0, l + 0 }')
set -- $counts
[ "$1" -gt 0 ] && [ "$2" -gt 0 ] || fail "the shadow grids hold $1 shaded and $2 lit cells"
# A data row a step in the zone tables of the meteorological sub-models and the evaporation.
for f in temperature_zones.txt precipitation_zones.txt wind_zones.txt temperature_regional_zones.txt rgex_zones.txt \
  etp_zones.txt etr_zones.txt evap_real_zones.txt; do
  rows=$(grep -c '^2020' "threads_1/$f")
  [ "$rows" -ge 9 ] || fail "$f holds $rows rows, expected one a step"
done
echo "daylight threads test passed ($compared files, $1 shaded and $2 lit cell-steps)"
