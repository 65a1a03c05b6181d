#!/usr/bin/env bash
# Grids that one sub-model keeps and others fill are written once a step: the soil's "baseflow"
# (DELTAGW, which the aquifer fills) and "irrigation_amounts" (IRRIG, which irrigation fills)
# with write code 12, a dated grid every step and the run's sum. The run's sum is the sum of the
# dated grids (a second write in a step ended the sum with that step's grid alone), and no step
# writes a second dated grid.
# usage: shared_grids_test.sh <talvo> <processes> <mpiexec> <work dir>
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
program_test_start "$@"
rm -rf "$wd" && copy_example "$wd"
awk '/^(deltagw|irrig)\.asc / { print; getline; print "12               write code: every step dated, and the run'"'"'s sum"; next }
     { print }' basin.ctl >shared.ctl
run shared.ctl
for name in deltagw irrig; do
  [ -f "$name.sum" ] || fail "$name.sum missing"
  ls "${name}"_2020*_001 >/dev/null 2>&1 && fail "$name: a step wrote a second dated grid"
  steps=$(ls "${name}"_2020* | wc -l)
  [ "$steps" -eq 72 ] || fail "$name: $steps dated grids, expected 72"
  # Text grids hold six digits: the sums agree within 1e-4 of the summed magnitudes of the steps.
  awk -v name="$name" 'FNR == 6 { nodata = $2 } FNR > 6 { for (i = 1; i <= NF; i++) if ($i != nodata) {
                         if (FILENAME ~ /\.sum$/) total += $i; else { steps += $i; size += $i < 0 ? -$i : $i } } }
       END { d = total - steps; if (d < 0) d = -d
             if (d > 1e-4 * size) { printf "%s: run sum %.12g, sum of the steps %.12g\n", name, total, steps; exit 1 } }' \
    "${name}"_2020* "$name.sum" || fail "$name: the run's sum is not the sum of its steps"
done
echo "shared grids: written once a step, their run sums add up"
