# Shell functions of the program tests that edit a control file in place.

# set_flow_control <file> <value> <section>...: the first value line after each section head
# (its flow control) becomes <value>.
set_flow_control() {
  local file=$1 value=$2; shift 2
  awk -v value="$value" -v names="$*" '
    BEGIN { n = split(names, list, " "); for (i = 1; i <= n; ++i) heads["[" list[i] "]"] = 1 }
    $1 in heads { on = 1; print; next }
    on && NF > 0 { sub(/^[0-9]+/, value); on = 0 }
    { print }' "$file" >"$file.edit" && mv "$file.edit" "$file"
}

# Every sub-model section of the example basin.
SUBMODEL_SECTIONS="radiation_correction precipitation_correction RegionalSuperposition evapotranspiration snow_model
  interception_model SiltingUpModel unsatzon_model SurfaceRoutingModel irrigation groundwater_flow routing_model
  special_output"

# make_long_basin <write code> [years]: in the current folder (a copy of the example basin),
# every station file gets that many years (30) of hourly values from 2020 on and long.ctl runs
# them with only the interpolation on, the result grids written by the given write code.
make_long_basin() {
  local code=$1 years=${2:-30} f
  for f in precipitation.dat temperature.dat wind_speed.dat air_humidity.dat global_radiation.dat; do
    head -5 "$f" >long.dat
    awk -v last=$((2020 + years)) 'BEGIN { split("31 28 31 30 31 30 31 31 30 31 30 31", n, " ")
                 for (y = 2020; y < last; ++y) for (m = 1; m <= 12; ++m) {
                   days = n[m] + (m == 2 && y % 4 == 0)
                   for (d = 1; d <= days; ++d) for (h = 1; h <= 24; ++h) print y, m, d, h, 0.1, 0.2, 0.3 } }' >>long.dat
    mv long.dat "$f"
  done
  awk -v code="$code" -v years="$years" '/end month/ { sub(/^1 /, "12 ") } /end day/ { sub(/^3 /, "31 ") } /end year/ { sub(/^2020/, 2019 + years) }
       /run interval/ { sub(/^1 /, "1000 ") } /write code:/ { sub(/^[0-9]+/, code) } { print }' basin.ctl >long.ctl
  set_flow_control long.ctl 0 $SUBMODEL_SECTIONS
}

# set_period <source> <file> <first day> <first hour> <last day> <last hour>: <file> is the control
# file <source> with the run's time moved within January 2020.
set_period() {
  awk -v d0="$3" -v h0="$4" -v d1="$5" -v h1="$6" '/starting day/ { sub(/^[0-9]+/, d0) }
    /starting hour/ { sub(/^[0-9]+/, h0) } /end day/ { sub(/^[0-9]+/, d1) } /end hour/ { sub(/^[0-9]+/, h1) }
    { print }' "$1" >"$2"
}

# run_ctl <control file>: runs it with $np processes of $exe through $mpiexec, the console in
# <control file>.out; a status other than 0 fails the test (the caller's fail).
run_ctl() {
  "$mpiexec" -n "$np" "$exe" "$1" >"$1.out" 2>&1
  local status=$?
  [ "$status" -eq 0 ] || { tail -20 "$1.out"; fail "$(pwd): $1 ended with $status"; }
}

# without_tracers <file>: the control file with no tracer: the count of "[substance_transport]"
# becomes 0, its tracer lines and the standard grids of tracer input ("concflux_tracer_") go.
without_tracers() {
  awk 'NR == FNR { if (/ concflux_tracer_/) ++gone; next }
       /^\[substance_transport\]/ { print; getline; n = $1; print "0       number of tracers"
         for (i = 0; i < n; ++i) getline; next }
       /^\[standard_grids\]/ { print; getline; sub(/^[0-9]+/, $1 - gone); print; next }
       / concflux_tracer_/ { next }
       { print }' "$1" "$1" >"$1.edit" && mv "$1.edit" "$1"
}
