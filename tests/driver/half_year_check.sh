#!/usr/bin/env bash
# Checks the example basin's run over its half-year (examples/run.sh), from the files it wrote:
# - the water balance that summary.sh computes closes: its residual (what the written digits of
#   the terms leave) is at most 0.01 mm over the basin;
# - the routed discharge table reaches the last hour of 30 June;
# - the tracer reaches every store that writes a table of it (each table has a concentration
#   above 0), and no concentration is negative, not a number, or above 500 mg/l (the snow cover's
#   sublimation concentrates what it leaves to about 420 mg/l; the precipitation brings 1 mg/l).
# usage: half_year_check.sh <folder of the example run>
set -u -o pipefail
here=$(cd "$(dirname "$0")" && pwd)
run=$1
fail() { echo "FAIL: half-year of the example: $*"; exit 1; }
[ -d "$run" ] || fail "no run folder $run"
cd "$run" || fail "$run"

residual=$(bash "$here/../../examples/summary.sh" . basin.ctl 6 | awk '$1 == "residual" { print $2 }')
[ -n "$residual" ] || fail "summary.sh printed no residual"
awk -v r="$residual" 'BEGIN { exit !(r + 0 <= 0.01 && r + 0 >= -0.01) }' ||
  fail "the water balance leaves a residual of $residual mm"

last=$(awk '$1 ~ /^20[0-9][0-9]$/ { d = sprintf("%04d%02d%02d%02d", $1, $2, $3, $4) } END { print d }' Qstat.txt)
[ "$last" = 2020063024 ] || fail "Qstat.txt ends at $last, not at 2020-06-30 24 h"

tables=0
for table in tr_*.sta; do
  [ -f "$table" ] || continue
  tables=$((tables + 1))
  awk -v table="$table" '
    $1 ~ /^20[0-9][0-9]$/ {
      for (i = 5; i <= NF; ++i) {
        if ($i !~ /^-?[0-9.]+([eE][-+]?[0-9]+)?$/ || $i + 0 < 0 || $i + 0 > 500) {
          print "FAIL: half-year of the example: " table ", " $1 "-" $2 "-" $3 " " $4 " h: concentration " $i; bad = 1; exit 1 }
        if ($i + 0 > top) top = $i + 0 } }
    END { if (bad) exit 1
          if (top <= 0) { print "FAIL: half-year of the example: " table ": the tracer never reaches this store"; exit 1 } }' \
    "$table" || exit 1
done
[ "$tables" -ge 10 ] || fail "only $tables tracer tables (one for each store the tracer passes)"
echo "half-year check passed: residual $residual mm, $tables tracer tables between 0 and 500 mg/l"
