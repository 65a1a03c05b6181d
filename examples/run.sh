#!/usr/bin/env bash
# Runs the example basin in a fresh folder and names what it wrote: run.sh <talvo executable>
set -euo pipefail
exe=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
cp -r "$here"/basin/. "$work"/ || { echo "example basin: cannot copy $here/basin to $work" >&2; exit 1; }
cd "$work"
# Two processes with the cores shared out between them: more threads than cores make every
# OpenMP barrier spin.
processes=2
cores=$(nproc)
export OMP_NUM_THREADS=${OMP_NUM_THREADS:-$(( cores / processes > 0 ? cores / processes : 1 ))}
mpiexec -n "$processes" "$exe" basin.ctl -diaglevel:INFO
cat <<EOT

example basin: output in $work
  precipitation_zones.txt   precipitation, mm: daily sums per subbasin (zone table)
  temperature_zones.txt     air temperature, degrees C: daily means per subbasin (zone table)
  precip_YYMM.DDs           precipitation, mm: daily sum grid of day DD (one file a day)
  temp_YYMM.DDm             air temperature, degrees C: daily mean grid of day DD (one file a day)
  etp_zones.txt             potential evapotranspiration, mm: daily sums per subbasin
  snow_storage_zones.txt    snow water equivalent, mm: daily means per subbasin
  Qg.txt                    runoff of the soil model, mm: daily sums per subbasin
  Qstat.txt                 routed discharge, mm per step: daily means per subbasin
  gw_head_2.asc             groundwater head of the second layer at the end, m
  Talvo_Diag_<process>.xml  diagnostics of each process; modell_0.log the text log of process 0
EOT
