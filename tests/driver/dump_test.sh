#!/usr/bin/env bash
# Dump mode end to end: one deliberately implausible hour of air temperature (900 degrees at
# noon of the first day; below the stations' nodata value 999, the interpolation's upper limit
# raised for it) heats the top of every soil column beyond 50 degrees. With -dumpmode
# -closeAfterDump a process writes the binary snapshot of a failing column and the run stops with
# code 199 and the FATAL entry; the same run without dump mode writes no dump file.
# usage: dump_test.sh <talvo> <processes> <mpiexec> <work dir>
set -u
exe=$1; np=$2; mpiexec=$3; wd=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
rm -rf "$wd"; mkdir -p "$wd"; cp -r "$here"/../../examples/basin/. "$wd"/ && cd "$wd" || fail "copy"
sed -i 's/^60                        upper limit/2000                      upper limit/;
        s/^60                        replacement above it/2000                      replacement above it/' basin.ctl
awk '$1 == 2020 && $2 == 1 && $3 == 1 && $4 == 12 { $5 = $6 = $7 = 900 } { print }' temperature.dat >t.dat &&
  mv t.dat temperature.dat

"$mpiexec" -n "$np" "$exe" basin.ctl >plain.txt 2>&1
status=$?
[ "$status" -eq 0 ] || { tail -20 plain.txt; fail "without dump mode: exit status $status"; }
ls ./*.dmp >/dev/null 2>&1 && fail "without dump mode a dump file was written"

"$mpiexec" -n "$np" "$exe" basin.ctl -dumpmode -closeAfterDump >dump.txt 2>&1
status=$?
[ "$status" -eq 199 ] || { tail -20 dump.txt; fail "close after dump: exit status $status, expected 199"; }
grep -q " a dumpfile has been written and Talvo aborts now." Talvo_Diag_*.xml ||
  fail "close after dump: FATAL entry missing"
files=(h_*dump_row_*_col_*_substep_1_2020010112.dmp)
[ -f "${files[0]}" ] || { ls; fail "no dump file of noon, 1 January 2020"; }
[ "${#files[@]}" -le "$np" ] || fail "more than one dump file per process: ${files[*]}"
# Ten layers, one vegetation layer, with heat: 4 + 3 x 8 + 2 x 8 + 21 x 11 x 8 + 8 + 4 + 2 x 8 + 4 x 4
# + 2 x 8 + 8 + 4 + 8 bytes; the file ends with the air temperature.
for f in "${files[@]}"; do
  size=$(stat -c %s "$f")
  [ "$size" -eq 1972 ] || fail "$f: $size bytes, expected 1972"
  air=$(od -A n -t f8 -j $((size - 8)) "$f" | tr -d ' ')
  [ "$air" = "900" ] || fail "$f: air temperature $air, expected 900"
done
echo "dump test passed with $np processes"
