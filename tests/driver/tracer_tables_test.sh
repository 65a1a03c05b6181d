#!/usr/bin/env bash
# Tracer tables of the example basin with two tracers in its precipitation (a mass tracer and a
# radioactive concentration tracer): every sub-model that carries them writes a row per step,
# with values, and the tables are the same at 1, 2 and 4 processes and with 1 and 8 threads.
# usage: tracer_tables_test.sh <talvo> <processes> <mpiexec> <work dir>
set -u
exe=$1; np=$2; mpiexec=$3; wd=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
. "$here/ctl_edit.sh"
# run <folder> <processes> <threads>
run() {
  rm -rf "$wd/$1"; mkdir -p "$wd/$1"; cp -r "$here"/../../examples/basin/. "$wd/$1"/; cd "$wd/$1" || fail "$1: copy"
  # The two tracers of this test replace the example's own.
  without_tracers basin.ctl
  awk '/^\[substance_transport\]/ { print; getline; print "2       number of tracers"
         print "Mas non_radioactive non_evaporating min_conc = 0 max_conc = 1000 mg/l soilini = 0 gwini = 0" \
               " statcode = 2001 gridcode = 0 path = tr_ statext = .sta gridext = .grd"
         print "Iso radioactive half_time = 2 d evaporating min_conc = 0 max_conc = 1000 mg/l soilini = 0" \
               " gwini = 0 statcode = 2001 gridcode = 0 path = tr_ statext = .sta gridext = .grd"; next }
       /^\[standard_grids\]/ { print; getline; print $1 + 2 "      number of standard grids"
         print "tracer_in_1.asc concflux_tracer_1_input fillcode = 0 readcode = 0 defaultValue = 2"
         print "tracer_in_2.asc concflux_tracer_2_input fillcode = 0 readcode = 0 defaultValue = 5"; next }
       { print }' basin.ctl >t.ctl
  OMP_NUM_THREADS=$3 "$mpiexec" -n "$2" "$exe" t.ctl >out.txt 2>&1
  local s=$?
  [ $s -eq 0 ] || { tail -20 out.txt; fail "$1: exit status $s"; }
}
run one 1 1
# 72 hourly steps: three header lines and a row per step in the table of every carrying module.
for module in snow_ interception_model SiltingUpModel SurfaceRoutingModel routing_model; do
  for t in 1 2; do
    table=$(grep -l "tracer concentration for tracer $t .*_submodel:$module" tr_* 2>/dev/null | head -1)
    [ -n "$table" ] || fail "no table of tracer $t for $module"
    rows=$(tail -n +4 "$table" | wc -l)
    [ "$rows" -eq 72 ] || fail "$table: $rows rows, expected 72"
    # Some step of the run carries the tracer (every table column past the date).
    tail -n +4 "$table" | awk '{ for (i = 5; i <= NF; ++i) if ($i + 0 > 0) found = 1 } END { exit !found }' ||
      fail "$table: every value is 0"
  done
done
# Surface routing's table of the storage's concentration, beside the water's storage table.
for t in 1 2; do
  table=$(grep -l "tracer concentration of the surface storage for tracer $t " tr_* 2>/dev/null | head -1)
  [ -n "$table" ] || fail "no surface-storage table of tracer $t"
  [ "$(tail -n +4 "$table" | wc -l)" -eq 72 ] || fail "$table: not 72 rows"
  tail -n +4 "$table" | awk '{ for (i = 5; i <= NF; ++i) if ($i + 0 > 0) found = 1 } END { exit !found }' ||
    fail "$table: every value is 0"
done
if [ "$np" -eq 1 ]; then other=threads8; run "$other" 1 8; else other=np$np; run "$other" "$np" 1; fi
for table in "$wd"/one/tr_*; do
  cmp -s "$table" "$wd/$other/$(basename "$table")" ||
    { diff "$table" "$wd/$other/$(basename "$table")" | head; fail "$other: $(basename "$table") differs"; }
done
echo "tracer tables test passed with $np processes"
