#!/usr/bin/env bash
# The cell loops whose rows the threads of a process share give the tables and grids of one
# thread bit for bit: the example basin refined to 96 x 80 cells (enough for a team of threads in
# every threaded loop), two hourly steps, run with one thread, with three and with four. The zone
# tables get a row every step, so that the sums over the zones, which the threads share by table
# and zone, are compared too.
# usage: threaded_cells_test.sh <talvo> <processes> <mpiexec> <work dir>
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
program_test_start "$@"
rm -rf "$wd"; mkdir -p "$wd" || fail "work directory"

for threads in 1 3 4; do
  run=$wd/threads_$threads
  copy_refined_example "$run" 4
  # The run covers the last two hours of its first day, the first with rain and snow.
  run_first_day_hours basin.ctl 23 24
  # Zone tables of a row a day (codes 1024..6024) write a row every step instead; the soil's
  # tables that are off (of every soil value the threads add up one by one) too.
  sed -E -i 's/^([^ \t]+[ \t]+[1-6])024([ \t]|$)/\1001\2/; s/statcode = ([1-6])024 /statcode = \1001 /
             s/^(snow_evap_zones\.txt[ \t]+)0([ \t])/\14001\2/
             s/^((QDRAIN|GWSTAND|GWN|SB_1|ROOT|INFEX|POND|GWIN|GWEX|MACRO|INFILT)\.txt[ \t]+)0([ \t])/\12001\3/' basin.ctl
  run_with_threads "$threads"
done

cd "$wd" || fail "work directory"
compare_thread_runs "" 3 4
for f in interception_storage.asc throughfall_zones.txt snow_total.asc silting_ekin.asc exkorr.mit; do
  [ -f "threads_1/$f" ] || fail "no $f written"
done
# The period sums and means of the write codes (the day's precipitation, the run's mean corrected
# temperature and soil grid), whose first step the threads add to grids that are zeros from the
# set-up: each written, with some cell that is neither 0 nor nodata (compared above).
for f in precip_2001.01s tkorr.mit sb1_.mit; do
  [ -f "threads_1/$f" ] || fail "no $f written"
  awk 'NR > 6 { for (i = 1; i <= NF; ++i) if ($i != -9999 && $i + 0 != 0) found = 1 } END { exit !found }' \
    "threads_1/$f" || fail "$f: every cell is 0 or nodata"
done
# The tables of the sub-models whose zone sums the threads share: a row for each of the two
# steps, and some value that is not 0 (the comparison above has something to compare). The
# meteorological inputs' tables (precipitation and temperature) come from one team run for the
# sums of both inputs.
for f in precipitation_zones.txt temperature_zones.txt throughfall_zones.txt interception_storage_zones.txt snow_storage_zones.txt p_snow.txt SB_2.txt \
  SB_1.txt ROOT.txt GWSTAND.txt INFILT.txt silting_disposition_zones.txt tr_cl_snow_.sta tr_cl_inter.sta snow_evap_zones.txt; do
  table_rows_with_values "threads_1/$f" 2
done

# The binary grids and stacks, whose values the threads check and convert in shares of the
# cells, and the soil's tracer store grid: the same two hours with binary output, one thread and
# four. The soil temperature stack (written at the end of the run) is there in binary: its header
# and every cell's levels, four bytes each, more than the grid alone holds.
mkdir -p "$wd/binary" || fail "work directory"
for threads in 1 4; do
  run=$wd/binary/threads_$threads
  copy_refined_example "$run" 4
  cp "$wd/threads_1/basin.ctl" . || fail "copy of the control file"
  sed -i 's/^WriteAsciiGrids = 1/WriteAsciiGrids = 0/' basin.ctl
  run_with_threads "$threads" "with binary grids"
done
cd "$wd/binary" || fail "work directory"
compare_thread_runs "" 4
size=$(stat -c %s threads_1/soil_temper.stk) || fail "no soil_temper.stk written"
[ "$size" -gt $(((12 + 2 * 96 * 80) * 4)) ] && [ $(((size / 4 - 12) % (96 * 80))) = 0 ] ||
  fail "soil_temper.stk is no binary stack of 96 x 80 cells ($size bytes)"

# A fault found while the threads fill the land-use grids is reported as one thread reports it:
# two cells whose altitude moves the meadow's last fix point past the year (rows 30 and 60, which
# different threads fill), the first of them named, the same exit code and files left.
for threads in 1 4; do
  run=$wd/fault_$threads
  # The control file of the runs above (two hours).
  copy_refined_example "$run" 4
  cp "$wd/threads_1/basin.ctl" . || fail "copy of the control file"
  sed -i 's/AltDep = 0 0;/AltDep = 0 0.001;/' basin.ctl
  awk 'BEGIN { OFS = "\t" } NR == 6 + 30 || NR == 6 + 60 { $5 = 100000 } { print }' elevation.asc >e.new &&
    mv e.new elevation.asc
  OMP_NUM_THREADS=$threads OMP_WAIT_POLICY=passive "$mpiexec" -n "$np" "$exe" basin.ctl >console.txt 2>&1
  code=$?
  [ "$code" = 152 ] || fail "the faulty run with $threads threads ended with $code, not 152"
  grep -q '^Coordinates: i=30, j=5$' console.txt || fail "the first faulty cell is not named with $threads threads"
  grep -q 'i=60' console.txt && fail "a later faulty cell is named with $threads threads"
  grep -c 'altitude correction resulted in a Julian day of 465 for fix point 2' console.txt >count.txt
  [ "$(cat count.txt)" = 1 ] || fail "the fault is reported $(cat count.txt) times with $threads threads"
  rm count.txt
done
cd "$wd" || fail "work directory"
[ "$(cd fault_1 && find . -type f ! -name console.txt ! -name '*.xml' ! -name '*.log' | sort)" = \
  "$(cd fault_4 && find . -type f ! -name console.txt ! -name '*.xml' ! -name '*.log' | sort)" ] ||
  fail "the faulty runs leave other files"

echo "threaded cells test passed ($compared files)"
