#!/usr/bin/env bash
# The land use's daily renewal. Land uses whose seasons follow the weather: the example's meadow
# with a phenology of forcing units (DynamicPhenology_3) and of chilling and forcing
# (DynamicPhenology_4). Their per-cell fix-point days live in a stack of the grid store; the run
# must still find every grid created after it (the meteorological inputs, the sub-models' grids),
# and end with the stack written. Then a run without any land-use grid (only the meteorological
# sub-models): the daily renewal still logs its entry once a day.
# usage: phenology_test.sh <talvo> <processes> <mpiexec> <work dir>
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
program_test_start "$@"
rm -rf "$wd"

meadow() {
  python3 - "$1" "$2" <<'PY'
import sys
path, block = sys.argv[1], sys.argv[2]
s = open(path).read()
head = '1 meadow method = VariableDayCount {'
start = s.index(head)
end = s.index('}', start) + 1
open(path, 'w').write(s[:start] + block + s[end:])
PY
}

three='1 meadow method = DynamicPhenology_3 { RootDist = 1; TReduWet = 0.9; HReduDry = 3.45; JulDays = 1 100 366;
  Albedo = 0.2 0.2 0.2; rsc = 60 60 60; LAI = 2 4 2; Z0 = 0.05 0.05 0.05; VCF = 0.8 0.8 0.8; RootDepth = 0.5 0.5 0.5;
  AltDep = 0 0 0; DP1_t1_dorm = 32; DP1_T_Bf = 0; JDReset_TStart = 300; maxStartJDforDP1 = 200;
  ForcingThreshold = -1 300 -1; SoilTillage = 1 120 280; SR_ResidCovrg = 0.1 0.1 0.1; }'
four='1 meadow method = DynamicPhenology_4 { RootDist = 1; TReduWet = 0.9; HReduDry = 3.45; JulDays = 1 -1 60 150 366;
  Albedo = 0.2 0.2 0.2 0.2 0.2; rsc = 60 60 60 60 60; LAI = 1 1 5 4 1; Z0 = 0.05 0.05 0.05 0.05 0.05;
  VCF = 0.8 0.8 0.8 0.8 0.8; RootDepth = 0.5 0.5 0.5 0.5 0.5; AltDep = 0 0 0 0 0; F* = 150; DP1_t1_dorm = 32;
  DP1_T_Bf = 0; JDReset_TStart = 300; maxStartJDforDP1 = 200; DP4_t0_dorm = 300; DP4_t1_dorm = 40; DP4_T0 = 5;
  DP4_T1 = 0; DP4_Par_a = 400; DP4_Par_b = -20; DP4_T_xylstop = 10; DP4_t_xs1 = 120; DP4_SPSLF = 4;
  SoilTillage = 1 120 280; SR_ResidCovrg = 0.1 0.1 0.1 0.1 0.1; }'

for method in three four; do
  copy_example "$wd/$method"
  meadow basin.ctl "${!method}" || fail "$method: control file"
  grep -q "meadow method = DynamicPhenology" basin.ctl || fail "$method: meadow not replaced"
  run basin.ctl
  [ -s MultipleStartTimes1_End ] || fail "$method: the fix-point days were not written"
  [ -s Qg.txt ] && [ -s etr.txt ] || fail "$method: tables missing"
done
# The day's mean air temperature, of which the seven-day mean follows, with and without the
# evapotranspiration: the meadow of DynamicPhenology_4 and the standard grid "TemperatureAVG", whose
# write code the seven-day mean "TemperatureMOVAVG7" takes; once with every sub-model, once with
# the meteorological ones and snow alone (hourly steps as well). The seven-day means written at
# the end are the same, and the mean of the example's air temperatures (a step is an hour, not a
# day, whichever sub-models run).
for case in all meteo; do
  copy_example "$wd/day_mean_$case"
  meadow basin.ctl "$four" || fail "day mean: control file"
  sed -i 's/^\([0-9]*\)\( *number of standard grids\)/echo "$((\1 + 1))\2"/e' basin.ctl
  sed -i '/number of standard grids/a tavg.asc TemperatureAVG fillcode = 0 readcode = 0 defaultValue = 0 writecode = 1' basin.ctl
  if [ "$case" = meteo ]; then
    set_flow_control basin.ctl 0 evapotranspiration interception_model SiltingUpModel unsatzon_model \
      SurfaceRoutingModel irrigation groundwater_flow routing_model
    sed -i '/^lake_codes.asc /d' basin.ctl  # no lakes without the soil
    sed -i 's/^\([0-9]*\)\( *number of standard grids\)/echo "$((\1 - 1))\2"/e' basin.ctl
  fi
  run basin.ctl
  [ -s TemperatureMOVAVG7 ] || fail "day mean ($case): TemperatureMOVAVG7 not written"
done
cmp -s "$wd/day_mean_all/TemperatureMOVAVG7" "$wd/day_mean_meteo/TemperatureMOVAVG7" ||
  fail "day mean: the seven-day mean without the evapotranspiration differs"
awk 'NR > 6 { for (i = 1; i <= NF; i++) if ($i != -9999 && ($i < -15 || $i > 15)) { print "value " $i; exit 1 } }' \
  "$wd/day_mean_meteo/TemperatureMOVAVG7" || fail "day mean: a seven-day mean outside the air temperatures"
copy_example "$wd/no_landuse"
sed -i -e '/^landuse.asc /d' -e '/^lake_codes.asc /d' basin.ctl
sed -i 's/^\([0-9]*\)\( *number of standard grids\)/echo "$((\1 - 2))\2"/e' basin.ctl
set_flow_control basin.ctl 0 radiation_correction RegionalSuperposition evapotranspiration snow_model \
  interception_model SiltingUpModel unsatzon_model SurfaceRoutingModel irrigation groundwater_flow routing_model ||
  fail "no land use: sub-models off"
grep -q '^landuse.asc ' basin.ctl && fail "no land use: landuse.asc still a standard grid"
run basin.ctl
days=$(grep -c 'description= "   actual parameters [0-9]*\.[0-9]*\.2020 24\. h"' Talvo_Diag_0.xml)
[ "$days" -eq 3 ] || fail "no land use: $days daily renewal entries, expected 3"
echo "phenology_test: both phenology methods ran; the daily renewal logs without land-use grids"
