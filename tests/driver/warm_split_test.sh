#!/usr/bin/env bash
# A run split in two, the second a warm start of every module, against one run over the whole
# period (1 and 2 January, split after 1 January). The first run leaves every state a warm start
# reads (warm_state_ctl: the state grids and stacks, the surface routing velocities, the albedo,
# the surface store and the day mean of the relative sunshine as standard grids, and the state
# file); the warm start reads them all (warm_start_ctl).
# 1. Every state section is in the state file once and the snow model finds its section.
# 2. The first run's tables equal the whole run's up to the split.
# 3. After the warm start every grid and stack equals the whole run's byte for byte and every
#    table its rows within the six digits of the state file (compare_split_run): the discharge
#    routing, the reservoir and the linear storages of the runoff continue from their sections,
#    the aquifer's base flow from its grid, the evapotranspiration's night steps from the day
#    mean of the sunshine, surface routing's velocity iteration from its last velocities, and
#    the land-use grids (which change with the season here) from the values of the last day,
#    and the tracers from their stores (silting-up's as surface routing left it at the end).
# 4. The same for a split after noon of 2 January, in daylight: the evapotranspiration takes up
#    the day's sum of the sunshine and the albedo the snow model left stays (the land-use values
#    of the start do not replace it). Only the sums and means of 2 January differ.
# usage: warm_split_test.sh <talvo> <processes> <mpiexec> <work dir>
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
program_test_start "$@"
period() { set_period base.ctl "$@"; }
rm -rf "$wd"; mkdir -p "$wd"
for folder in one split noon; do
  copy_example "$wd/$folder"
  # Land-use values that change from day to day, as the season's do, and two tracers in the
  # precipitation (a mass tracer and a radioactive concentration tracer), their stores written
  # in every step.
  sed 's/LAI = 2 2;/LAI = 2 4;/; s/Albedo = 0.2 0.2;/Albedo = 0.2 0.3;/' basin.ctl |
    awk '/^\[substance_transport\]/ { print; getline; print "2       number of tracers"
           print "Mas non_radioactive non_evaporating min_conc = 0 max_conc = 1000 mg/l soilini = 0 gwini = 0" \
                 " statcode = 2001 gridcode = 1 path = tr_ statext = .sta gridext = .grd"
           print "Iso radioactive half_time = 2 d evaporating min_conc = 0 max_conc = 1000 mg/l soilini = 0" \
                 " gwini = 0 statcode = 2001 gridcode = 1 path = tr_ statext = .sta gridext = .grd"; next }
         /^\[standard_grids\]/ { print; getline; print $1 + 2 "      number of standard grids"
           print "tracer_in_1.asc concflux_tracer_1_input fillcode = 0 readcode = 0 defaultValue = 2"
           print "tracer_in_2.asc concflux_tracer_2_input fillcode = 0 readcode = 0 defaultValue = 5"; next }
         { print }' >season.ctl
  grep -q 'LAI = 2 4;' season.ctl && grep -q '^Iso radioactive' season.ctl || fail "no seasonal land use or tracers"
  warm_state_ctl season.ctl base.ctl
done
cd "$wd/one" && period one.ctl 1 1 2 24 && run one.ctl
cd "$wd/split" && period first.ctl 1 1 1 24 && period warm.ctl 2 1 2 24
[ "$(warm_start_ctl warm.ctl)" -eq 8 ] || fail "warm.ctl: not every module starts warm (the lake from its cells too)"
run first.ctl
for ((r = 0; r < np; r++)); do
  for section in routing_model unsatzon_model snow_model SurfaceRoutingModel; do
    expected=1
    [ "$section" = routing_model ] && [ "$r" -gt 0 ] && expected=0
    file=soilstate.txt_$r
    [ "$section" = SurfaceRoutingModel ] && file=surfrout_state_$r
    [ "$(grep -c "^\[$section\]" "$file")" -eq "$expected" ] || fail "$file: [$section]"
  done
done
mkdir -p first && cp ./*.txt first/
# The snow model found its section (it warns when it cannot).
run warm.ctl
grep -q 'snow_model\] not found\|glacier model will be run with cold start' warm.ctl.out && fail "snow: no state read"
# 2. The first run is the whole run up to the split.
for table in "$wd"/one/*.txt; do
  b=$(basename "$table")
  [ -f "first/$b" ] || continue
  diff <(grep -E '^2020[[:space:]]+1[[:space:]]+1[[:space:]]' "$table") \
       <(grep -E '^2020[[:space:]]+1[[:space:]]+1[[:space:]]' "first/$b") >/dev/null ||
    fail "the first run's $b differs from the whole run's before the split"
done
# 3. Everything after the split.
compare_split_run "$wd/one" "$wd/split" 2020 1 2 1
# 4. A split in daylight.
cd "$wd/noon" && period first.ctl 1 1 2 12 && period warm.ctl 2 13 2 24
[ "$(warm_start_ctl warm.ctl)" -eq 8 ] || fail "warm.ctl: not every module starts warm (the lake from its cells too)"
run first.ctl && run warm.ctl
compare_split_run "$wd/one" "$wd/noon" 2020 1 2 13 '\.02[sm]$'
echo "warm split test passed with $np processes"
