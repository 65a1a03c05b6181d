#!/usr/bin/env bash
# A tracer of one concentration everywhere stays at it: the example basin with a tracer that
# evaporates with the water (so no store concentrates it), 1 mg/l in the precipitation, the soil
# and the aquifer's start (the aquifer itself off), tables every hour. Every tracer table of every
# sub-model holds at most 1 mg/l (none of its parts brings more), the soil's subbasin runoff among
# them, whose direct flow is net of the surface water surface routing takes back.
# usage: tracer_uniform_test.sh <talvo> <processes> <mpiexec> <work dir>
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
program_test_start "$@"
rm -rf "$wd" && copy_example "$wd"
sed -i 's/^Cl non_radioactive non_evaporating .*/Cl non_radioactive evaporating min_conc = 0 mg\/l max_conc = 1e9 mg\/l soilini = 1 mg\/l gwini = 1 mg\/l statcode = 2001 gridcode = 3 path = tr_ statext = sta gridext = grd/' basin.ctl
grep -q '^Cl non_radioactive evaporating' basin.ctl || fail "tracer line not replaced"
set_flow_control basin.ctl 0 groundwater_flow
run basin.ctl
tables=0
for f in tr_*.sta; do
  tables=$((tables + 1))
  awk -v f="$f" 'NR > 3 { for (i = 5; i <= NF; i++) if ($i + 0 > 1 + 1e-9) { print f ": line " NR ": " $i " mg/l"; exit 1 }
                           if ($NF + 0 > 0.999) seen = 1 }
                 END { if (f == "tr_cl_unsat.sta" && !seen) { print f ": no value near 1 mg/l"; exit 1 } }' "$f" ||
    fail "uniform tracer: $f"
done
[ "$tables" -ge 8 ] || fail "uniform tracer: $tables tables"
echo "uniform tracer: $tables tables hold at most 1 mg/l"
