#!/usr/bin/env bash
# The example basin with given cell sizes in x and y ("CellSizeX", "CellSizeY": x from 0.95 to
# 1.05 of the header's size across the columns, y varying down the rows), one day: at every
# process count the run ends well and the grids derived from the given sizes (the relative cell
# area, the coordinates) equal one process's.
# Process 0 checks the given sizes on every row, so it must hold them whole whatever it keeps of
# other grids.
# usage: cell_sizes_test.sh <talvo> <processes> <mpiexec> <work dir>
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
program_test_start "$@"
rm -rf "$wd"; mkdir -p "$wd"
for run in one many; do
  copy_example "$wd/$run"
  awk 'NR <= 6 { next } {
         for (c = 1; c <= NF; ++c) { x[c] = 250 * (0.95 + 0.1 * (c - 1) / (NF - 1)); y[c] = 250 * (1.02 - 0.002 * (NR - 6)) }
         line = ""; for (c = 1; c <= NF; ++c) line = line (c > 1 ? " " : "") x[c]; print line > "csx.asc"
         line = ""; for (c = 1; c <= NF; ++c) line = line (c > 1 ? " " : "") y[c]; print line > "csy.asc" }
     ' zones.asc
  head -6 zones.asc | cat - csx.asc >csx.tmp && mv csx.tmp csx.asc
  head -6 zones.asc | cat - csy.asc >csy.tmp && mv csy.tmp csy.asc
  awk '/^\[standard_grids\]/ { print; getline; print $1 + 2 "      number of standard grids"
         print "csx.asc CellSizeX 0"; print "csy.asc CellSizeY 0"; next } { print }' basin.ctl >all.ctl
  set_period all.ctl sizes.ctl 1 1 1 24
  touch .inputs
done
cd "$wd/one" && np_all=$np && np=1 && run sizes.ctl && np=$np_all
cd "$wd/many" && run sizes.ctl
cd "$wd" || fail "cd"
count=0
for f in $(cd one && find . -maxdepth 1 -type f -newer .inputs \( -name '*.$rca' -o -name '*.$cx' -o -name '*.$cy' \) | sort); do
  cmp -s one/"$f" many/"$f" || fail "$f differs between 1 and $np processes"
  count=$((count + 1))
done
[ "$count" -eq 3 ] || fail "expected the 3 grids derived from the cell sizes, found $count"
# The relative area varies: the given sizes were taken.
awk 'NR > 6 { for (i = 1; i <= NF; ++i) if ($i != -9999) { if ($i < 0.9 || $i > 1.1) bad = 1; if ($i != 1) varied = 1 } }
     END { exit bad || !varied }' one/*.'$rca' || fail "the relative cell area does not follow the given sizes"
# Every other text grid the set-up writes once (the processes format their rows together, process
# 0 writes them): the derived grids of the zones, the elevation and the regions, and the soil
# model's temperature of the lower boundary.
others=0
for f in '*.$sl' '*.$ex' '*.$w1' '*.$r2' '*.$w2' T_Lower_Boundary_Condition; do
  for g in $(cd one && find . -maxdepth 1 -type f -newer .inputs -name "$f" | sort); do
    cmp -s one/"$g" many/"$g" || fail "$g differs between 1 and $np processes"
    head -1 one/"$g" | grep -q '^ncols' || fail "$g is no text grid"
    others=$((others + 1))
  done
done
[ "$others" -eq 6 ] || fail "expected 6 more text grids of the set-up, found $others"
# Process 0's owner grid of the processes is a text grid of every row.
[ "$(wc -l <many/MPIRegions_0)" -eq "$(($(awk 'NR == 2 { print $2 }' one/zones.asc) + 6))" ] || fail "MPIRegions_0 rows"
echo "cell sizes: $count derived grids and $others more text grids of the set-up equal at 1 and $np processes"
