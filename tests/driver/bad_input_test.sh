#!/usr/bin/env bash
# Bad input never ends in a silent success: the example basin is copied, one input is corrupted
# at a time, and the run must stop with the code of its FATAL entry (or go on with the stated
# WARNING), the message naming the file or key and the problem.
# usage: bad_input_test.sh <talvo> <processes> <mpiexec> <work dir>
set -u
exe=$1; np=$2; mpiexec=$3; wd=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
rm -rf "$wd"; mkdir -p "$wd"

# Replaces the first line matching a pattern (awk regular expression) by a new text.
replace() { # file pattern text
  awk -v p="$2" -v t="$3" '!done && $0 ~ p { print t; done = 1; next } { print }' "$1" >"$1.new" && mv "$1.new" "$1"
}
# True when process 0 logged the text: on its console, or in its diagnostics file, which is
# complete even when an abort cuts the console output short.
found() {
  grep -qF -- "$1" out.0.txt 2>/dev/null && return 0
  sed 's/&quot;/"/g; s/&apos;/'"'"'/g; s/&lt;/</g; s/&gt;/>/g; s/&amp;/\&/g' Talvo_Diag_0.xml 2>/dev/null | grep -qF -- "$1"
}
# Applies a sed script to every station file of the basin.
all_stations() { for f in precipitation temperature wind_speed air_humidity global_radiation; do sed -i "$1" $f.dat; done; }

# An hourly observed discharge table of the example's three days without the given day's hour,
# read by the routing for its goodness of fit.
observed_table() { # day hour
  awk -v day="$1" -v hour="$2" 'BEGIN { print "observed discharge"; print "YYYY MM DD HH Q3"
    for (d = 1; d <= 3; ++d) for (h = 1; h <= 24; ++h) if (d != day || h != hour) printf "2020 1 %d %d 0.1\n", d, h }' >obs.txt &&
    sed -i 's/^none            observed discharge file/obs.txt         observed discharge file/' basin.ctl
}

# Each case: name | expected status | text the diagnostics must hold | corruption (shell code run
# in the copied basin). Status 0 cases must also end normally.
cases=(
  "nan_scaling|17|scaling factor for precipitation; precipitation: the value nan in section [precipitation] is not a finite number|replace basin.ctl 'scaling factor\$' 'nan   scaling factor'"
  "inf_idw_weight|17|idw-weight in precipitation; precipitation: the value inf in section [precipitation] is not a finite number|replace basin.ctl 'idw weight\$' 'inf   idw weight'"
  "huge_distance|17|in section [precipitation] is not a finite number|replace basin.ctl 'maximum distance\$' '1e999  maximum distance'"
  "nan_latitude|17|geographic latitude; : the value nan in section [coordinates] is not a finite number|replace basin.ctl 'geographic latitude' 'nan  geographic latitude'"
  "nan_min_to_int_end|17|min_to_int_end in minutes; : the value nan in section [output_interval]|replace basin.ctl 'min_to_int_end' 'nan  min_to_int_end'"
  "inf_transition|17|in section [region_transition_distance] is not a finite number|replace basin.ctl 'transition distance between' '-inf transition distance between'"
  "region_code_0|3|invalid region code in regions.asc!|awk 'NR == 8 { \$6 = 0 } { print }' regions.asc >g && mv g regions.asc"
  "nan_snow_parameter|17|in section [snow_model] is not a finite number|replace basin.ctl 'T0: threshold' 'nan T0: threshold'"
  "nan_grid_default|17|defaultValue of standard grid 3; defaults: the value nan in section [standard_grids]|replace basin.ctl '^albedo.asc' 'albedo.asc albedo fillcode = 0 readcode = 0 defaultValue = nan'"
  # A count below 0 reads nothing, as 0 does: the example then misses what the lists held.
  "negative_variable_grids|0|reached end of simulation sucessfully|replace basin.ctl 'number of variable grids' '-1  number of variable grids'"
  "negative_meteo_count|33|temperature not found in memory|replace basin.ctl 'number of meteorological inputs' '-2  number of meteorological inputs'"
  "negative_grid_count|134|The number of regions here (2) does not equal the number of|replace basin.ctl 'number of standard grids' '-1  number of standard grids'"
  "day_32|17|[model_time]: end day 32 is not 1..31 of month 1 (start 1.1.2020 1 h, end 32.1.2020 24 h)|replace basin.ctl 'end day' '32  end day'"
  "day_0|17|[model_time]: start day 0 is not 1..31|replace basin.ctl 'starting day' '0  starting day'"
  "hour_25|17|[model_time]: end hour 25 is not 1..24|replace basin.ctl 'end hour' '25  end hour'"
  "year_huge|17|[model_time]: end year 7777777777 is not 1..9999|replace basin.ctl 'end year' '7777777777  end year'"
  "month_13|17|[model_time]: start month 13 is not 1..12|replace basin.ctl 'starting month' '13  starting month'"
  "end_before_start|17|[model_time]: the end lies before the start (start 1.1.2020 1 h, end 3.1.2019 24 h)|replace basin.ctl 'end year' '2019  end year'"
  "misspelt_section|0|section [snow_modell] of basin.ctl is read by no module; the nearest known section is [snow_model]|sed -i 's/^\\[snow_model\\]/[snow_modell]/' basin.ctl"
  "unknown_section|0|section [special_outputs] of basin.ctl is read by no module; the nearest known section is [special_output]|sed -i 's/^\\[special_output\\]/[special_outputs]/' basin.ctl"
  "nan_elevation|22|error reading ascii grid elevation.asc: value nan in row 2, col 3 is not a finite number|awk 'NR == 8 { \$3 = \"nan\" } { print }' elevation.asc >e && mv e elevation.asc"
  "inf_zone|22|error reading ascii grid zones.asc: value inf in row 1, col 1 is not a finite number|awk 'NR == 7 { \$1 = \"inf\" } { print }' zones.asc >z && mv z zones.asc"
  # Elevations next to a cell so far apart that their difference overflows: the aspect derived there is no number, and
  # writing the derived grid stops the run (the writers look at every column of the row).
  "aspect_overflow|17|row 5, column 9 of elevation.\$ex on 1.1.2020 1 h is not a finite number; it is not written!|awk -v OFS='\t' 'NR == 11 { \$8 = \"-1e308\"; \$10 = \"1e308\" } { print }' elevation.asc >e && mv e elevation.asc"
  "zone_rows_typo|22|bytes cannot hold the ncols x nrows = 24 x 1e+09 values of its header|sed -i '2s/20/1e9/' zones.asc"
  "zone_nodata_positive|22|error reading zones.asc: its nodata value 2.5 is not negative|sed -i '6s/-9999/2.5/' zones.asc"
  "extra_grid_value|22|error reading ascii grid zones.asc: it holds more than ncols x nrows = 24 x 20 values|awk 'NR == 8 { \$0 = \$0 \" 1\" } { print }' zones.asc >z && mv z zones.asc"
  "wrapped_rows|0|reached end of simulation sucessfully|awk 'NR <= 6 { print; next } { for (i = 1; i <= NF; i++) print \$i }' zones.asc >z && mv z zones.asc"
  "speed_factor_inf|0|MpiSpeedFactor.dat does not begin with a finite number|printf 'inf\n' >MpiSpeedFactor.dat"
  "speed_factor_word|0|MpiSpeedFactor.dat does not begin with a finite number|printf 'fast\n' >MpiSpeedFactor.dat"
  "hour_missing|52|the dates of precipitation.dat do not advance by one time step: 1.1.2020 4 h is followed by 1.1.2020 6 h, 120 minutes later instead of one step of 60 minutes|all_stations '/^2020 1 1 5 /d'"
  "hour_repeated|52|the dates of precipitation.dat do not advance by one time step: 1.1.2020 5 h is followed by 1.1.2020 5 h, 0 minutes later|all_stations '/^2020 1 1 5 /p'"
  "hours_swapped|52|the dates of precipitation.dat do not advance by one time step: 1.1.2020 4 h is followed by 1.1.2020 6 h|all_stations '/^2020 1 1 5 /{h;d};/^2020 1 1 6 /G'"
  "data_end_early|0|the data of precipitation.dat end with 2.1.2020 24 h, before the end date 3.1.2020 24 h of [model_time]|all_stations '/^2020 1 3 /,\$d'"
  "coordinate_typo|19|precipitation.dat: the x coordinate of station 2 is \"34O3200\", not a finite number|sed -i '3s/3403200/34O3200/' precipitation.dat"
  "altitude_lost|0|temperature.dat: line 3 holds more station values than the 2 altitudes of line 2; the stations beyond them are not read|sed -i '2s/ 540\$//' temperature.dat"
  "no_station|19|temperature.dat: line 2 gives no station altitude after its 4 leading columns|sed -i '2s/^YY MM DD HH /YY MM DD HH altitude: /' temperature.dat"
  "altitude_nan|19|temperature.dat: the altitude of station 1 is \"nan\", not a finite number|sed -i '2s/ 810 / nan /' temperature.dat"
  # Values no basin can have and unknown methods of the sub-models' sections and tables.
  "snow_method_99|0|reached end of simulation sucessfully|replace basin.ctl 'method for snow' '99      method for snow'"
  "interception_method_7|0|reached end of simulation sucessfully|replace basin.ctl 'method: after snow' '7       method'"
  "negative_cwh|17|CWH for [snow_model]; snow_model: the value -0.1 in section [snow_model] must be in [0, 1]!|replace basin.ctl 'CWH: liquid' '-0.1    CWH'"
  "negative_degree_day|17|C0 for [snow_model]; snow_model: the value -2.5 in section [snow_model] must be >= 0!|replace basin.ctl 'C0: degree-day' '-2.5    C0'"
  "albedo_min_above_max|17|ALBsnow_max for [snow_model]; snow_model: the value 0.3 in section [snow_model] must be in [0.45, 1]!|replace basin.ctl 'ALBsnow_max' '0.3     ALBsnow_max'"
  "glacier_31_february|17|GMBEvalDay for [ice_firn] (month 2); snow_model: the value 31 in section [ice_firn] must be in [1, 29]!|bash glacier_variant.sh . && mv glacier.ctl basin.ctl && replace basin.ctl 'GMBEvalDay, GMBEvalMonth' '31 2    GMBEvalDay, GMBEvalMonth'"
  "negative_interception_capacity|17|maximum water layer thickness for [interception_model]; interception_model: the value -0.2 in section [interception_model] must be >= 0!|replace basin.ctl 'maximum water layer thickness' '-0.2    maximum water layer thickness'"
  "transmissivity_above_1|17|transmissivity and its amplitude for evapotranspiration; evapotranspiration: the value 1.2 in section [evapotranspiration] must be in [0, 1]!|replace basin.ctl 'transmissivity and its' '1.2 0.05   transmissivity and its annual amplitude'"
  "over_relaxation_2_5|17|sor-parameter in groundwater_flow; groundwater_flow: the value 2.5 in section [groundwater_flow] must be < 2!|replace basin.ctl 'sor-parameter' '2.5     sor-parameter'"
  "negative_iteration_error|17|maximum iteration error for A_NL [m] in ; SurfaceRoutingModel: the value -0.001 in section [SurfaceRoutingModel] must be >= 0!|replace basin.ctl 'maximum iteration error for A_NL' '-0.001       maximum iteration error for A_NL [m]'"
  "substeps_0|17|the value 0 in section [soil_surface_groundwater_substeps] must be >= 1!|sed -i '/^\\[soil_surface_groundwater_substeps\\]/{n;s/.*/0/}' basin.ctl"
  "substeps_huge|17|the value 1000000000 in section [soil_surface_groundwater_substeps] must be in [1, 3600]!|sed -i '/^\\[soil_surface_groundwater_substeps\\]/{n;s/.*/1000000000/}' basin.ctl"
  "theta_sat_percent|17|error in soil table, theta_sat, layer 1; soil type 1 (loam): the value 45 in section [soil_table] must be in (0, 1]!|sed -i 's/theta_sat = 0.45 0.40/theta_sat = 45 40/' basin.ctl"
  "negative_ksat|17|error in soil table, ksat, layer 1; soil type 1 (loam): the value -1e-05 in section [soil_table] must be > 0!|sed -i 's/ksat = 1e-5/ksat = -1e-5/' basin.ctl"
  "van_genuchten_n_1|17|error in soil table, Par_n, layer 1; soil type 1 (loam): the value 1 in section [soil_table] must be > 1!|sed -i 's/Par_n = 1.5 1.25/Par_n = 1 1.25/' basin.ctl"
  "snow_runoff_fraction|17|SnowRunoff_fraction[2] (row \"0.5 1.5 0.5      fraction of snow melt running off at the surface\"); unsatzon_model: the value 1.5 in section [unsatzon_model] must be in [0, 1]!|replace basin.ctl 'fraction of snow melt running off' '0.5 1.5 0.5      fraction of snow melt running off at the surface'"
  "short_kelsqd_row|10|the row \"2 2            kelsqd\" holds 2 values where the code row lists 3|replace basin.ctl 'kelsqd: recession' '2 2            kelsqd'"
  "short_rain_pause_row|10|error reading RainPause[3] for SiltingUpModel (minimum rainpause)|replace basin.ctl 'minimum rain pause in days' '0.25    minimum rain pause in days'"
  "routing_cycle|17|the routing network has a cycle: TG 1 (routing description 1) flows into TG 3 (routing description 3) flows into TG 1 (routing description 1)|awk '{ print } /^TG 1 / { print \"  OL 3 (km kf bm bf D Mm Mf I L A) = 2 = 4 = 8 = 40 = 1 = 30 = 15 = 0.002 = 3000 = 6\" }' basin.ctl >b && mv b basin.ctl"
  # A reservoir rule's row count one too high, and a value that is no number in a row.
  "rule_rows_too_many|34|row 4 of the 4 rows of section [abstraction_rule_reservoir_1] (\"TargetCap = 8 10\") holds no number|sed -i '/^\\[abstraction_rule_reservoir_1\\]/{n;s/^3 1 182/4 1 182/}' basin.ctl"
  "rule_value_nan|34|row 2 of the 3 rows of section [abstraction_rule_reservoir_1] (\"5e4  nan  1\") holds a value that is not a finite number|sed -i 's/^5e4  0.5  1/5e4  nan  1/' basin.ctl"
  # An observed discharge table missing an hour: the rows follow the steps, and every later one would be off by one.
  "observed_hour_missing|203|the dates of obs.txt do not advance by one time step: 2.1.2020 4 h is followed by 2.1.2020 6 h, 120 minutes later instead of one step of 60 minutes|observed_table 2 5"
  "negative_inflow|17|the constant inflow -0.5 m3/s of inflow 1 of subbasin 3 must be >= 0|sed -i 's/ZL 1 = constant 0.5/ZL 1 = constant -0.5/' basin.ctl"
  "zero_max_distance|17|maximum distance in precipitation; precipitation: the value 0 in section [precipitation] must be > 0!|replace basin.ctl 'maximum distance\$' '0   maximum distance'"
  "huge_idw_weight|17|idw-weight in precipitation; precipitation: the value 1e+308 in section [precipitation] must be in (0, 50]!|replace basin.ctl 'idw weight\$' '1e308   idw weight'"
  "nodata_zero|17|nodata value in precipitation (station values are valid within [-N, N]); precipitation: the value 0 in section [precipitation] must be > 0!|replace basin.ctl 'nodata: valid values' '0   nodata'"
  "negative_gw_conductivity|17|groundwater_flow: the value -0.0001 in section [standard_grids] must be >= 0!|sed -i 's/gw_k_x_1               fillcode = 0 readcode = 0 defaultValue = 1e-4/gw_k_x_1 fillcode = 0 readcode = 0 defaultValue = -1e-4/' basin.ctl"
  "zero_gw_storage|17|error in grid, gw_storage_coeff_1 at row |sed -i 's/gw_storage_coeff_1     fillcode = 0 readcode = 0 defaultValue = 0.1/gw_storage_coeff_1 fillcode = 0 readcode = 0 defaultValue = 0/' basin.ctl"
  "gw_alpha_2|17|alpha in groundwater_flow; groundwater_flow: the value 2 in section [groundwater_flow] must be in [0, 1]!|replace basin.ctl '^1.0     alpha' '2       alpha'"
  "nodata_inside_limits|17|nodata value in temperature (-N marks a missing station value and lies within the limits [-60, 60] of the results); temperature: the value 50 in section [temperature] must be > 60!|replace basin.ctl '^999 +nodata\$' '50                        nodata'"
  "zero_aquifer_thickness|17|error in grid, aquifer_thickness_2 at row |sed -i 's/defaultValue = 20\$/defaultValue = 0/' basin.ctl"
  "time_shift_huge|17|time shift of data time to lokal time; : the value 1e+300 in section [coordinates] must be in [-24, 24]!|replace basin.ctl 'time shift of data' '1e300   time shift of data time to lokal time'"
  "elevation_1e308|17|for column 1 of etp_zones.txt on 1.1.2020 24 h is not a finite number; it is not written!|awk 'NR == 8 { \$5 = \"1e308\" } { print }' elevation.asc >e && mv e elevation.asc"
  "vegetation_beyond_ranges|0|reached end of simulation sucessfully|sed -i 's/LAI = 2 2;/LAI = -2 2;/; s/VCF = 0.8 0.8;/VCF = 0.8 1.2;/; s/Z0 = 0.05 0.05;/Z0 = 0 0.05;/' basin.ctl"
  "albedo_percent|17|error in landuse table, Albedo, fix point 1; land use 1 (meadow): the value 20 in section [landuse_table] must be in [0, 1]!|sed -i 's/Albedo = 0.2 0.2;/Albedo = 20 20;/' basin.ctl"
  "snow_step_45_minutes|17|time step in minutes; section [snow_model]: the time step of 45 minutes differs from the model time step of 60 minutes|sed -i '/^\\[snow_model\\]/{n;n;s/.*/45      time step in minutes/}' basin.ctl"
  # Flow travel times (seconds) whose time zones would not fit in integers, or whose records would not fit in memory:
  # refused before anything is allocated for them.
  "flow_time_typo|6|the flow travel time of 3e+10 s in flow_times.asc makes more than 1e+06 time zones of 60 minutes|awk 'NR == 14 { \$2 = 30000000000 } { print }' flow_times.asc >f && mv f flow_times.asc"
  "flow_times_huge|6|the soil model's flow travel time zones (up to 1000000 in a subbasin) would take |awk 'NR > 6 { for (i = 1; i <= NF; i++) if (\$i != -9999) \$i = 3600000000 } { print }' flow_times.asc >f && mv f flow_times.asc"
  "missing_stretch|0|no valid value of precipitation for 1.1.2020 5 h: the grid precipitation holds nodata until a step brings valid values|sed -i -E '/^2020 1 1 (5|6|7) /s/ [^ ]+ [^ ]+ [^ ]+\$/ -9999 -9999 -9999/' precipitation.dat"
)

for entry in "${cases[@]}"; do
  IFS='|' read -r name want text corrupt <<<"$entry"
  dir="$wd/$name"
  mkdir -p "$dir" && cp -r "$here"/../../examples/basin/. "$dir"/ && cd "$dir" || fail "$name: work directory"
  eval "$corrupt" || fail "$name: corruption failed"
  "$mpiexec" -n "$np" -outfile-pattern 'out.%r.txt' -errfile-pattern 'err.%r.txt' "$exe" basin.ctl
  status=$?
  [ "$status" -eq "$want" ] || { tail -5 out.0.txt; fail "$name: exit status $status, expected $want"; }
  found "$text" || { tail -5 out.0.txt; fail "$name: no \"$text\""; }
  if [ "$want" -eq 0 ]; then
    grep -q '^exitcode 0$' out.0.txt || fail "$name: no normal end"
  fi
done

# The routing network is checked on process 0 alone; the others learn of its failure at once and
# stop with its code, instead of waiting for process 0 until it gives up on them.
if [ "$np" -gt 1 ]; then
  grep -qF "another process stopped with error 17; this process stops with it" "$wd/routing_cycle/out.1.txt" ||
    fail "routing_cycle: process 1 did not stop with process 0's code"
fi
# An interception method without evaporation (7) evaporates nothing from the leaves.
awk 'NR > 3 { for (i = 5; i <= NF; i++) if ($i != 0) { print "evaporation " $i; exit 1 } }' \
  "$wd/interception_method_7/interception_evap_zones.txt" || fail "interception_method_7: the leaves evaporated"
# Steps whose stations are all missing hold nodata, with one entry for the whole stretch.
cd "$wd/missing_stretch" || fail "missing_stretch"
[ "$(grep -c 'no valid value of precipitation' out.0.txt)" -eq 1 ] || fail "missing_stretch: not one entry"
# A day whose stations are all missing.
dir="$wd/missing_day"; mkdir -p "$dir" && cp -r "$here"/../../examples/basin/. "$dir"/ && cd "$dir" || fail "missing_day"
sed -i -E '/^2020 1 1 /s/ [^ ]+ [^ ]+ [^ ]+$/ -9999 -9999 -9999/' precipitation.dat
# Without regional superposition the zone table holds the corrected precipitation (with it, the
# correction comes after the table).
. "$here/ctl_edit.sh"
set_flow_control basin.ctl 0 RegionalSuperposition
"$mpiexec" -n "$np" "$exe" basin.ctl >out.txt 2>&1 || fail "missing_day: exit status $?"
# The first step has no data either: a day without any valid value is nodata in every zone of the
# table (before, the first step took the replacement below the lower limit and the day was 0).
grep -q $'^2020\t 1\t 1\t24\t-9999.000\t-9999.000\t-9999.000\t-9999.000$' precipitation_zones.txt ||
  { cat precipitation_zones.txt; fail "missing_day: the first day is not empty"; }
found 'no valid value of precipitation for 1.1.2020 1 h: the grid precipitation holds nodata' ||
  fail "missing_day: no warning for the first step"
grep -q $'^2020\t 1\t 2\t24\t45.283\t39.699\t40.064\t41.355$' precipitation_zones.txt ||
  { cat precipitation_zones.txt; fail "missing_day: the second day changed"; }
# Three hours in which no station of any input has a valid value: the run goes on, each input
# names the stretch, and no table or grid of the run holds a missing or non-finite value in the
# basin (the grids hold nodata outside it only, as zones.asc).
dir="$wd/missing_all"; mkdir -p "$dir" && cp -r "$here"/../../examples/basin/. "$dir"/ && cd "$dir" || fail "missing_all"
all_stations '/^2020 1 2 [567] /s/^\(2020 1 2 [0-9]*\) .*$/\1 -9999 -9999 -9999/'
"$mpiexec" -n "$np" "$exe" basin.ctl >out.txt 2>&1 || fail "missing_all: exit status $?"
for v in precipitation temperature wind_speed air_humidity global_radiation; do
  found "no valid value of $v for 2.1.2020 5 h: the grid $v holds nodata" || fail "missing_all: no warning for $v"
done
missing_values() {
  awk '{ for (i = 1; i <= NF; ++i) if (tolower($i) ~ /nan|inf/ || ($i ~ /^-?[0-9.]+(e[-+]?[0-9]+)?$/ && $i + 0 <= -9000)) ++k }
       END { print k + 0 }' "$1"
}
outside=$(missing_values zones.asc)
for f in *_zones.txt Qg.txt Qstat.txt SB_2.txt surfrout_*.txt thaw_depth.txt; do
  [ "$(missing_values "$f")" -eq 0 ] || { cat "$f"; fail "missing_all: $f holds a missing or non-finite value"; }
done
# The day sums and means of the inputs and the means over the run leave the steps without data out.
for f in snow_total.asc interception_storage.asc silting_ekin.asc precip_2001.02s temp_2001.02m tkorr.mit exkorr.mit sb1_.mit; do
  [ "$(missing_values "$f")" -eq "$outside" ] || { cat "$f"; fail "missing_all: $f holds nodata inside the basin"; }
done
# Three hours without temperature at any station: the snow cover stays as it was and the
# precipitation reaches the ground as rain (the correction takes it as rain as well), as much as
# where those hours are 10 degrees warm.
precipitation_sum() {
  awk 'FNR > 3 && $1 ~ /^20/ { for (i = 5; i <= NF; ++i) s += $i } END { printf "%.3f\n", s }' p_rain.txt p_snow.txt
}
for t in gap warm; do
  dir="$wd/temperature_$t"; mkdir -p "$dir" && cp -r "$here"/../../examples/basin/. "$dir"/ && cd "$dir" || fail "temperature_$t"
  value=-9999; [ "$t" = warm ] && value=10
  sed -i -E "/^2020 1 2 (8|9|10) /s/ [^ ]+ [^ ]+ [^ ]+\$/ $value $value $value/" temperature.dat
  "$mpiexec" -n "$np" "$exe" basin.ctl >out.txt 2>&1 || fail "temperature_$t: exit status $?"
done
gap=$(cd "$wd/temperature_gap" && precipitation_sum); warm=$(cd "$wd/temperature_warm" && precipitation_sum)
[ "$gap" = "$warm" ] || fail "hours without temperature: rain and snow $gap mm, with 10 degrees $warm mm"
echo "bad input test passed with $np processes"
