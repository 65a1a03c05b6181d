#!/usr/bin/env bash
# The balance of a conservative tracer in the example basin, from written grids and stacks only.
# One tracer (not radioactive, not evaporating: carried as mass) comes with the precipitation at a
# fixed concentration; snow, interception and the soil run, and nothing leaves the cells (no base
# flow, no interflow, no snow-melt runoff at the surface, no silting-up, surface routing or
# groundwater, no lake (it takes its cells' water and tracer into the routing), and no soil heat, whose frozen top would turn rain away; the rain is scaled down so that the soil takes all of it in). After every step and in every cell the tracer in the interception store, the
# snow pack and the soil's store stack (surface store and layers) equals what came with the
# corrected precipitation, within 1e-9 relative; no store is ever negative. The balance closes too
# with interception running before snow (the snow takes the throughfall in, the soil the snow's
# outflow, each at the concentration of the module whose water it is).
# usage: tracer_balance_test.sh <talvo> <processes> <mpiexec> <work dir>
set -u -o pipefail
exe=$1; np=$2; mpiexec=$3; wd=$4
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
fail() { echo "FAIL: $*"; exit 1; }
rm -rf "$wd"; mkdir -p "$wd" || exit 1
cp -r "$here/../../examples/basin/." "$wd/" || exit 1
cd "$wd" || exit 1
# The tracers of this test replace the example's own.
without_tracers basin.ctl

concentration=2.5
# with_tracer <file>: basin.ctl with the tracer, grids as binary doubles, the corrected
# precipitation written every step.
with_tracer() {
  awk -v conc="$concentration" '
    /WriteAsciiGrids/ { print "WriteAsciiGrids = 0"; print "WriteDoubleGrids = 1"; next }
    /^\[substance_transport\]/ { print; getline; print "1       number of tracers"
      print "Cl non_radioactive non_evaporating min_conc = 0 mg/l max_conc = 1e9 mg/l soilini = 0 mg/l gwini = 0 mg/l" \
            " statcode = 0 gridcode = 2 path = tr_ statext = sta gridext = grd"; next }
    /^\[standard_grids\]/ { print; getline; print $1 + 1 "      number of standard grids"
      print "tracer_in.asc concflux_tracer_1_input fillcode = 0 readcode = 0 defaultValue = " conc; next }
    /^precip\.asc / { print; getline; sub(/^[0-9]+/, "2") }
    { print }' basin.ctl >"$1"
}
with_tracer tracer.ctl
awk '
  /^1\.0 +scaling factor/ && !scaled { $0 = "0.2                       scaling factor: rain that the soil takes in whole"; scaled = 1 }
  /Q0: base flow at the surface/ { $0 = "0 0 0            Q0: no base flow" }
  /channel network density/ { $0 = "0 0 0            channel network density: no interflow" }
  /fraction of snow melt running off/ { $0 = "0 0 0            no snow melt runs off at the surface" }
  { print }' tracer.ctl >closed.ctl && mv closed.ctl tracer.ctl
set_flow_control tracer.ctl 0 SiltingUpModel SurfaceRoutingModel irrigation groundwater_flow heat_transfer lake_model
# The same with interception before snow (method 11): the snow takes in the throughfall and the
# soil the snow's outflow, each with the concentration of the water it takes.
mkdir -p before_snow && cp ./*.asc ./*.dat ./*.txt before_snow/ 2>/dev/null
awk '/^\[interception_model\]/ { on = 1 } on && /method: after snow/ { sub(/^2 /, "11"); on = 0 } { print }' \
  tracer.ctl >before_snow/tracer.ctl
grep -q '^11 *method' before_snow/tracer.ctl || fail "before_snow/tracer.ctl: interception method not set"
"$mpiexec" -n "$np" "$exe" tracer.ctl >run.txt 2>&1 || { tail -20 run.txt; fail "run failed"; }
(cd before_snow && "$mpiexec" -n "$np" "$exe" tracer.ctl >run.txt 2>&1) || { tail -20 before_snow/run.txt; fail "run with interception before snow failed"; }

# Values of a binary double grid or stack (12 header values, then the cells, each with its
# levels 0..L for a stack) as one line.
values() { od -A n -t f8 -v -w8 "$1" | awk 'NR > 12 { printf "%s ", $1 } END { print "" }'; }
mask=$(awk 'NR > 6 { for (i = 1; i <= NF; ++i) printf "%d ", ($i != -9999) }' zones.asc)
# Four lines per step: precipitation, interception store, snow store, soil store stack.
step_values() {
  local p d f
  for p in precip_2020*; do
    d=${p#precip_}
    for f in "tr_cl_inter_$d" "tr_cl_snow__$d" "tr_c_$d"; do [ -f "$f" ] || { echo "$f missing" >&2; return 1; }; done
    echo "$d $(values "$p")"
    echo "$d $(values "tr_cl_inter_$d")"
    echo "$d $(values "tr_cl_snow__$d")"
    echo "$d $(values "tr_c_$d")"
  done
}
closed_balance() {
step_values | awk -v mask="$mask" -v conc="$concentration" '
  function abs(x) { return x < 0 ? -x : x }
  BEGIN { cells = split(mask, m, " ") }
  { k = (NR - 1) % 4 }
  k == 0 { for (i = 1; i <= cells; ++i) if (m[i]) entered[i] += $(i + 1) * conc }
  k == 1 { for (i = 1; i <= cells; ++i) held[i] = $(i + 1) }
  k == 2 { for (i = 1; i <= cells; ++i) held[i] += $(i + 1) }
  k == 3 { levels = (NF - 1) / cells; soil = 0
    for (i = 1; i <= cells; ++i) {
      if (!m[i]) continue
      for (l = 0; l < levels; ++l) { v = $(1 + (i - 1) * levels + l + 1); held[i] += v; soil += v
        if (v < 0) { printf "step %s cell %d level %d: negative store %g\n", $1, i, l, v; bad = 1 } }
      if (abs(held[i] - entered[i]) > 1e-9 * (entered[i] > 1 ? entered[i] : 1)) {
        printf "step %s cell %d: stores %.12g, entered %.12g\n", $1, i, held[i], entered[i]; bad = 1 }
      total += entered[i]
    }
    ++n }
  END { if (n == 0) { print "no steps"; exit 1 }
        if (!(soil > 0)) { print "no tracer reached the soil"; exit 1 }
        printf "%d steps, tracer entered %.6f (sum over cells and steps of the running input), in the soil at the end %.6f\n", n, total, soil
        exit bad }'
}
closed_balance || fail "the tracer balance does not close"
echo "tracer balance closed"
(cd before_snow && closed_balance) || fail "interception before snow: the tracer balance does not close"
echo "tracer balance closed with interception before snow"

# Warm start: the soil's tracer store stack is part of the soil's state. Snow and interception off
# (the rain reaches the soil), the soil's state grids and stacks written at the end of the run; a
# run split at 12 h on 2 January into a run and a warm start (state read back, readgrid 1) ends
# with the same tracer in every cell's column as one run over the whole period: all that came
# with the rain, as nothing leaves. (The soil water of the two differs slightly, as the warm
# start does not carry every daily state of evapotranspiration, so the layers' shares are
# compared by the cell totals, not level by level.)
awk '/^(theta\.stk|hh\.stk|hgeo\.stk|gwst\.asc|gwth\.asc|gwlevel\.asc|deltagw\.asc|pond\.asc) / { print; getline; sub(/^[0-9]+/, "1") }
     { print }' tracer.ctl >soil.ctl
set_flow_control soil.ctl 0 snow_model interception_model
period() {
  awk -v d0="$2" -v h0="$3" -v d1="$4" -v h1="$5" -v warm="$6" '/starting day/ { sub(/^[0-9]+/, d0) }
    /starting hour/ { sub(/^[0-9]+/, h0) } /end day/ { sub(/^[0-9]+/, d1) } /end hour/ { sub(/^[0-9]+/, h1) }
    /initial state from the groundwater level parameter/ { sub(/^[0-9]+/, warm) } { print }' ../soil.ctl >"$1"
}
mkdir -p one split || exit 1
for folder in one split; do cp ./*.asc ./*.dat ./*.txt "$folder"/ 2>/dev/null; done
(cd one && period one.ctl 1 1 3 24 0 && "$mpiexec" -n "$np" "$exe" one.ctl >one.out 2>&1) || fail "one run"
(cd split && period first.ctl 1 1 2 12 0 && period warm.ctl 2 13 3 24 1 &&
  "$mpiexec" -n "$np" "$exe" first.ctl >first.out 2>&1 &&
  "$mpiexec" -n "$np" "$exe" warm.ctl >warm.out 2>&1) || { tail -5 split/*.out; fail "split run"; }
grep -q "^1 *initial state" split/warm.ctl || fail "warm.ctl: no warm start"
cells=$(awk 'NR > 6 { for (i = 1; i <= NF; ++i) ++k } END { print k }' zones.asc)
column_totals() {
  od -A n -t f8 -v -w8 "$1" | awk -v cells="$cells" 'NR == 12 { levels = $1 + 1 }
    NR > 12 { i = int((NR - 13) / levels); s[i] += ($1 == -9999 ? 0 : $1) }
    END { for (i = 0; i < cells; ++i) print s[i] }'
}
[ -f one/tr_cl_unsat.grd ] && [ -f split/tr_cl_unsat.grd ] || fail "tr_cl_unsat.grd missing"
paste <(column_totals one/tr_cl_unsat.grd) <(column_totals split/tr_cl_unsat.grd) | awk '
  function abs(x) { return x < 0 ? -x : x }
  { if (abs($1 - $2) > 1e-9 * (abs($1) > 1 ? abs($1) : 1)) { printf "cell %d: one run %.15g, split %.15g\n", NR, $1, $2; bad = 1 }
    s += $1 }
  END { if (!(s > 0)) { print "no tracer in the soil"; bad = 1 } exit bad }' || fail "warm start: the soil tracer differs from one run"
echo "warm start of the soil tracer store equals one run"

# The example basin as shipped (runoff, silting-up, surface routing, groundwater, channels) with the
# tracer: no store of interception, snow or the soil is ever negative (beyond rounding), and
# together they never hold more than came with the precipitation.
mkdir -p shipped && cp ./*.asc ./*.dat ./*.txt shipped/ 2>/dev/null
with_tracer shipped/shipped.ctl
(cd shipped && "$mpiexec" -n "$np" "$exe" shipped.ctl >shipped.out 2>&1) || { tail -5 shipped/shipped.out; fail "shipped run"; }
cd shipped || exit 1
step_values | awk -v mask="$mask" -v conc="$concentration" '
  BEGIN { cells = split(mask, m, " ") }
  { k = (NR - 1) % 4; levels = k == 3 ? (NF - 1) / cells : 1 }
  k == 0 { for (i = 1; i <= cells; ++i) if (m[i]) entered += $(i + 1) * conc; held = 0; next }
  { for (i = 1; i <= cells; ++i) {
      if (!m[i]) continue
      for (l = 0; l < levels; ++l) { v = $(1 + (i - 1) * levels + l + 1); held += v
        if (v < -1e-12 * (entered > 1 ? entered : 1)) { printf "step %s store %d cell %d level %d: %g\n", $1, k, i, l, v; bad = 1 } } }
    if (k == 3 && held > entered * (1 + 1e-9)) { printf "step %s: stores hold %.12g, entered %.12g\n", $1, held, entered; bad = 1 } }
  END { printf "shipped: entered %.6f, held at the end %.6f\n", entered, held; exit bad }' || fail "shipped: tracer stores"
