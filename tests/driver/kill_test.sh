#!/usr/bin/env bash
# Outputs survive a kill: the example basin interpolates thirty years of hourly data, rewriting
# its temperature grid every step and flushing its daily zone tables, and every process is
# killed (SIGKILL) while it runs. Each grid and table left behind is complete: the grid has its
# header and every row, the tables only whole rows.
# usage: kill_test.sh <talvo> <processes> <mpiexec> <work dir>
set -u
exe=$1; np=$2; mpiexec=$3; wd=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
. "$here/ctl_edit.sh"
rm -rf "$wd"; mkdir -p "$wd"; cp -r "$here"/../../examples/basin/. "$wd"/; cd "$wd" || fail "work directory"
make_long_basin 1
# A name of its own, so that only this test's processes are killed.
mv long.ctl killed_np$np.ctl
# The measures of every grid the run writes: those of the zone grid.
ncols=$(awk 'tolower($1) == "ncols" { print $2 }' zones.asc); nrows=$(awk 'tolower($1) == "nrows" { print $2 }' zones.asc)

for attempt in 1 2 3; do
  rm -f temp.asc precip.asc ./*_zones.txt
  OMP_NUM_THREADS=1 "$mpiexec" -n "$np" "$exe" killed_np$np.ctl >out.txt 2>&1 &
  launcher=$!
  for _ in $(seq 600); do grep -aq "end of initialization reached" out.txt && break; sleep 0.05; done
  sleep "0.$((attempt * 3))"
  pkill -KILL -f "^$exe killed_np$np.ctl"
  wait "$launcher" 2>/dev/null
  for grid in temp.asc precip.asc; do
    [ -f "$grid" ] || continue
    lines=$(wc -l <"$grid")
    [ "$lines" -eq $((6 + nrows)) ] || fail "attempt $attempt: $grid has $lines lines, not 6 header lines and $nrows rows"
    awk -v n="$ncols" 'NR > 6 && NF != n { exit 1 }' "$grid" || fail "attempt $attempt: $grid has a cut row"
  done
  for table in ./*_zones.txt; do
    [ -f "$table" ] || continue
    [ -z "$(tail -c 1 "$table")" ] || fail "attempt $attempt: $table ends inside a row"
    awk -F'\t' 'NR > 3 && NF != 8 { exit 1 }' "$table" || fail "attempt $attempt: $table has a cut row"
  done
done
echo "kill test passed with $np processes"
