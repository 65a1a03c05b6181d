#!/usr/bin/env bash
# The example basin for one day with regional superposition off, so that precipitation is
# corrected for undercatch at the stations before the interpolation, temperature interpolated by
# the elevation regression fitted to its stations in every step, and a spin-up of two
# repetitions. The second repetition starts again from the first records: every row of the
# temperature and precipitation tables repeats the first repetition's. The corrected
# precipitation lies between the smallest and the largest catch factor the winds of the day give
# times the precipitation of the same run without the correction. (The spin-up's response units
# are formed within the rows of each process: the tables depend on the number of processes.)
# usage: station_correction_test.sh <talvo> <processes> <mpiexec> <work dir>
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
program_test_start "$@"
rm -rf "$wd"; mkdir -p "$wd"
for run in plain corrected; do
  copy_example "$wd/$run"
  # Temperature: regression lines below and above 650 m (joined up to 1000 m), a row of its zone
  # table in every step; precipitation: a row in every step.
  awk '/^\[temperature\]/ { section = 1 }
       section && /^1 +method/ { sub(/^1 /, "10 ") }
       section && /^none +regression file/ { print "650 1000 50 0 20          lower and upper inversion, tolerance, overlap, cluster range"; section = 0; next }
       /^temperature_zones.txt/ { sub(/ 2024/, " 2001") } /^precipitation_zones.txt/ { sub(/ 4024/, " 4001") }
       { print }' basin.ctl >all.ctl
  printf '\n[SpinUp]\n1 switch\n0 pre-spin-up\n2 repetitions\n1 class grids\nelevation_model 100 linear\n' >>all.ctl
  set_period all.ctl day.ctl 1 1 1 24
  set_flow_control day.ctl 0 RegionalSuperposition
  [ "$run" = plain ] && set_flow_control day.ctl 0 precipitation_correction
  run day.ctl
done
cd "$wd" || fail "cd"
# Process 0's diagnostics file: on the console the lines of several processes can run into each
# other.
grep -qF "SpinUp reached end of defined time range for run #1, resetting inputs and starting again now (repetition 2 of 2)" \
  corrected/Talvo_Diag_0.xml || fail "no second repetition"
# The rows of a table: 24 steps, twice over, the second 24 equal to the first.
for t in temperature_zones.txt precipitation_zones.txt; do
  rows=$(grep -c '^2020[[:space:]]' "corrected/$t")
  [ "$rows" -eq 48 ] || fail "$t: $rows rows, not 2 x 24"
  cmp -s <(grep '^2020[[:space:]]' "corrected/$t" | head -24) <(grep '^2020[[:space:]]' "corrected/$t" | tail -24) ||
    fail "$t: the second repetition differs from the first"
done
# The day's station temperatures lie between -4 and +7 degrees: the regression keeps the zone
# means within a few degrees of them.
awk '/^2020[ \t]/ { for (i = 5; i <= NF; ++i) if ($i < -15 || $i > 10) { print; exit 1 } }' corrected/temperature_zones.txt ||
  fail "a zone mean of the regression temperature is out of range"
# Catch factors: constant + slope * wind, the wind of the day at most the largest station value.
umax=$(awk 'NR > 5 { for (i = 5; i <= NF; ++i) if ($i > m) m = $i } END { print m + 0 }' corrected/wind_speed.dat)
lo=1.1; hi=$(awk -v u="$umax" 'BEGIN { a = 1.1 + 0.05 * u; b = 1.3 + 0.1 * u; print (a > b ? a : b) }')
paste <(grep '^2020[[:space:]]' plain/precipitation_zones.txt) <(grep '^2020[[:space:]]' corrected/precipitation_zones.txt) |
  awk -v lo="$lo" -v hi="$hi" '{ n = NF / 2; for (i = 5; i <= n; ++i) {
           p = $i; c = $(i + n)
           # The tables print three decimals: each value within half a unit of the last.
           if (c < lo * (p - 0.0005) - 0.0005 || c > hi * (p + 0.0005) + 0.0005) { print "column " i ": " p " -> " c; exit 1 }
           if (p > 0.001) wet = 1 } }
       END { exit !wet }' || fail "the corrected precipitation is not the plain one times a catch factor"
echo "station correction: two repetitions alike, corrected precipitation within the catch factors 1.1 .. $hi"
