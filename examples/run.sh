#!/usr/bin/env bash
# Runs the example basin over its half-year (1 January to 30 June 2020, hourly), names what it
# wrote and prints the basin's water balance and the fit of its discharge at the outlet:
# run.sh <talvo executable> [output folder]
# The folder (example_run in the current folder by default) is started anew with a copy of the
# basin, and every output of the run stays in it; nothing is left anywhere else.
set -euo pipefail
exe=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(realpath -m "${2:-example_run}")
case "$work" in
  "$here/basin" | "$here/basin/"*) echo "example basin: $work is the basin itself, choose another folder" >&2; exit 1 ;;
esac
rm -rf "$work"
mkdir -p "$work"
cp -r "$here"/basin/. "$work"/ || { echo "example basin: cannot copy $here/basin to $work" >&2; exit 1; }
cd "$work"
bash half_year.sh .
# Two processes of one thread each: the basin is small, so more threads only add waiting.
# Threads that wait passively sleep instead of spinning on a core: on a loaded machine spinning
# threads make the run many times slower. Both can be overridden from the environment.
processes=2
export OMP_NUM_THREADS=${OMP_NUM_THREADS:-1}
export OMP_WAIT_POLICY=${OMP_WAIT_POLICY:-passive}
start=$(date +%s.%N)
mpiexec -n "$processes" "$exe" basin.ctl -diaglevel:INFO >console.txt 2>&1 || {
  status=$?
  tail -20 console.txt
  echo "example basin: talvo ended with status $status; console output in $work/console.txt" >&2
  exit "$status"
}
seconds=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }')
cat <<EOT
example basin: $processes processes x $OMP_NUM_THREADS thread(s), $seconds s; every output is in
  $work
  precipitation_zones.txt   precipitation, mm: daily sums per subbasin (zone table)
  temperature_zones.txt     air temperature, degrees C: daily means per subbasin
  precip_YYMM.DDs           precipitation, mm: daily sum grid of day DD (one file a day)
  temp_YYMM.DDm             air temperature, degrees C: daily mean grid of day DD
  etp_zones.txt             potential evapotranspiration, mm: daily sums per subbasin
  snow_storage_zones.txt    snow water equivalent, mm: daily means per subbasin
  p_rain.txt, p_snow.txt    corrected precipitation as rain and as snow, mm: daily sums
  irrigation_river_zones.txt  irrigation water from the river, mm: daily sums
  Qg.txt                    runoff of the soil model, mm: daily sums per subbasin
  Qstat.txt                 routed discharge, mm per step (hourly): daily means per subbasin;
                            m3/s = value x subbasin area in km2 / 3.6 (see the README); below
                            the table the fit to observed_discharge.dat (R-square = Nash-Sutcliffe)
  tr_cl_<module>.sta        the tracer's concentration in each sub-model's store, mg/l: daily means
  gw_head_2.asc             groundwater head of the second layer at the end, m a.s.l.
  gw_balance_<layer>.sum    groundwater cell balances summed over the run, mm: minus the
                            outflow through the fixed heads there, 0 elsewhere
  soilstate.txt_<process>   state at the end (a warm start reads it): the soil model's, and in
                            that of process 0 the routing's, with the water in its channels
  surfrout_state_<process>  state of surface routing at the end: its travel-time zones and
                            linear storages
  console.txt               what the run printed; Talvo_Diag_<process>.xml the diagnostics of
                            each process; modell_0.log the text log of process 0
EOT
bash "$here/summary.sh" "$work"
