#!/usr/bin/env bash
# Prints the basin water balance of an example run and the goodness of fit of its routed
# discharge, from the files the run wrote: summary.sh <output folder> [control file] [decimals]
# Every term is in mm over the basin (the cells of the zone grid), printed with 2 decimals or
# the given number (at most 6). Every store is counted, so the residual is what the digits of the
# written values leave (the reservoirs' volumes have six, so a volume of 1.7e6 m3 is known to 5 m3,
# 2e-4 mm over the example basin; the zone tables have four to six decimals) and any water the
# model itself makes or loses.
set -euo pipefail
cd "$1"
ctl=${2:-basin.ctl}
decimals=${3:-2}
case "$decimals" in [0-6]) ;; *) echo "summary: decimals $decimals: 0 to 6" >&2; exit 1 ;; esac
for f in "$ctl" zones.asc etr_zones.txt Qstat.txt modell_0.log; do
  [ -f "$f" ] || { echo "summary: $f missing in $(pwd)" >&2; exit 1; }
done

# Sum over the rows of a zone table of its last column (the basin).
table_total() { awk 'NR > 3 && $1 ~ /^[0-9]+$/ { s += $NF } END { printf "%.6f", s }' "$1"; }
# Mean over the basin cells of a text grid (0 when the file is missing).
grid_mean() {
  if [ -f "$1" ]; then
    paste <(tail -n +7 zones.asc | tr -s ' \t' '\n' | grep -v '^$') <(tail -n +7 "$1" | tr -s ' \t' '\n' | grep -v '^$') |
      awk '$1 != -9999 { s += $2; ++n } END { printf "%.6f", n ? s / n : 0 }'
  else printf 0; fi
}

cells=$(awk 'NR > 6 { for (i = 1; i <= NF; ++i) if ($i != -9999) ++k } END { print k }' zones.asc)
cellsize=$(awk '$1 == "cellsize" { print $2; exit }' zones.asc)
area=$(awk -v n="$cells" -v c="$cellsize" 'BEGIN { printf "%.0f", n * c * c }')
mm() { awk -v m3="$1" -v a="$area" 'BEGIN { printf "%.6f", m3 / a * 1000 }'; }

# Hourly steps. A row of the routed discharge holds the mean of the steps since the row before
# (the first row: since the start of the run, the first four values of [model_time]).
start_hours=$(awk '/^\[model_time\]/ { for (i = 1; i <= 4; ++i) { getline; v[i] = $1 }; print v[4], v[3], v[2], v[1]; exit }' "$ctl")
# hours <year> <month> <day> <hour>: hours since a fixed day (days from the civil date).
HOURS='function hours(y, m, d, h,   a, yy, mm) { a = int((14 - m) / 12); yy = y + 4800 - a; mm = m + 12 * a - 3
         return ((d + int((153 * mm + 2) / 5) + 365 * yy + int(yy / 4) - int(yy / 100) + int(yy / 400)) * 24 + h) }'
first=$(awk 'NR > 3 && $1 ~ /^[0-9]+$/ { printf "%d-%02d-%02d", $1, $2, $3; exit }' Qstat.txt)
last=$(awk 'NR > 3 && $1 ~ /^[0-9]+$/ { d = sprintf("%d-%02d-%02d", $1, $2, $3) } END { print d }' Qstat.txt)
steps=$(awk -v s="$start_hours" "$HOURS"' BEGIN { split(s, v, " "); t0 = hours(v[1], v[2], v[3], v[4]) - 1 }
  NR > 3 && $1 ~ /^[0-9]+$/ { t = hours($1, $2, $3, $4) } END { print t - t0 }' Qstat.txt)

# Corrected precipitation: the snow model's rain and snow (they hold the correction whichever
# way it is made: of the stations, or of the grid after regional superposition, when the
# interpolation's own table comes before it), less irrigation, which is added to the
# precipitation before the snow model and only moves water within the basin.
irrigation=0
for f in irrigation_groundwater_zones.txt irrigation_river_zones.txt; do
  [ -f "$f" ] && irrigation=$(awk -v a="$irrigation" -v b="$(table_total "$f")" 'BEGIN { printf "%.6f", a + b }')
done
if [ -f p_rain.txt ] && [ -f p_snow.txt ]; then
  P=$(awk -v r="$(table_total p_rain.txt)" -v s="$(table_total p_snow.txt)" -v i="$irrigation" 'BEGIN { printf "%.6f", r + s - i }')
  P_file="p_rain.txt + p_snow.txt"
else
  P=$(table_total precipitation_zones.txt)
  P_file=precipitation_zones.txt
fi
ET=$(table_total etr_zones.txt)
# The outlet: the column of Qstat.txt whose share of the basin area (third header line) is 1.
outlet_col=$(awk 'NR == 3 { for (i = 5; i <= NF; ++i) if ($i + 0 == 1) { print i; exit } }' Qstat.txt)
[ -n "$outlet_col" ] || { echo "summary: no subbasin of Qstat.txt drains the whole basin" >&2; exit 1; }
outlet=$(awk -v c="$outlet_col" 'NR == 1 { name = $c } END { gsub(/"/, "", name); print name }' Qstat.txt)
Q=$(awk -v c="$outlet_col" -v s="$start_hours" "$HOURS"' BEGIN { split(s, v, " "); t0 = hours(v[1], v[2], v[3], v[4]) - 1 }
  NR > 3 && $1 ~ /^[0-9]+$/ { t = hours($1, $2, $3, $4); q += $c * (t - t0); t0 = t } END { printf "%.6f", q }' Qstat.txt)

# Water from outside the basin: the constant inflows of the routing descriptions.
inflow_m3s=$(awk '/^[ \t]*ZL [0-9]+ = constant/ { for (i = 1; i < NF; ++i) if ($i == "constant") s += $(i + 1) } END { print s + 0 }' "$ctl")
inflow=$(mm "$(awk -v q="$inflow_m3s" -v n="$steps" 'BEGIN { print q * n * 3600 }')")
# Water leaving the basin through abstractions to outside ("extern" with its file, m3/s a step).
abstraction_m3=0
for f in $(awk '/^[ \t]*AL [0-9]+ = extern/ { for (i = 1; i < NF; ++i) if ($i == "extern") print $(i + 1) }' "$ctl"); do
  [ -f "$f" ] || continue
  abstraction_m3=$(awk -v s="$abstraction_m3" 'NR > 3 && $1 ~ /^[0-9]+$/ { s += $5 * 3600 } END { print s }' "$f")
done
A=$(mm "$abstraction_m3")

# Stores: snow and interception start empty (their read-grid switches are 0) and are written
# at the end; soil water from the soil model's start and end lines; the surface store from the
# last day's mean; each reservoir and lake from its start volume and the volume of its last row.
snow=$(grid_mean snow_total.asc)
icpt=$(grid_mean interception_storage.asc)
soil=$(awk 'index($0, "mean soil water content for all cells at model-start:") { s = $(NF - 1) }
            index($0, "mean soil water content for all cells at model-end:") { e = $(NF - 1) }
            END { printf "%.6f", (e - s) * 1000 }' modell_0.log)
surface=0
[ -f surfrout_storage.txt ] && surface=$(awk 'NR > 3 && $1 ~ /^[0-9]+$/ { v = $NF } END { printf "%.6f", v }' surfrout_storage.txt)
reservoir_m3=0
while read -r file v0; do
  [ -f "$file" ] || continue
  reservoir_m3=$(awk -v s="$reservoir_m3" -v v0="$v0" 'NR > 3 && $1 ~ /^[0-9]+$/ { v = $7 } END { print s + v - v0 }' "$file")
done < <(awk '/^[ \t]*SP [0-9]+ = file = / { for (i = 1; i < NF; ++i) { if ($i == "=" && $(i - 1) == "file") f = $(i + 1); if ($i == "V0") v = $(i + 2) }; print f, v }' "$ctl")
R=$(mm "$reservoir_m3")
# Surface routing holds the runoff the land handed it in its travel-time zones and in the two
# linear storages of each subbasin (direct flow and interflow) until it passes it on; both are
# empty at the start, and its storage content file (one per process, named by the 22nd line of
# its section) holds them at the end: the zone records (weight, runoff sum) of every zone, of
# which zone 1 has left already, and the storages' outflow in the last step. A storage whose
# outflow follows new = inflow (1 - e) + e old, e = exp(-step / k), holds e / (1 - e) times its
# outflow; its constants k (minutes) are the soil model's ("(kelsqd in min)", "(kelsqi in min)"
# of its state file). The subbasins count with their shares of the basin (surfrout_qg.txt).
routed=0
routing_file=
routing_state=$(awk '/^\[SurfaceRoutingModel\]/ { on = 1; n = 0; next } /^\[/ { on = 0 }
                     on && NF > 0 && ++n == 1 { flow = $1 } on && n == 2 { step = $1 } on && n == 22 { print flow + 0, step, $1; exit }' "$ctl")
[ -n "$routing_state" ] && read -r routing_on routing_step routing_file <<<"$routing_state"
if [ "${routing_on:-0}" -ne 0 ] && [ -f surfrout_qg.txt ] && compgen -G "${routing_file}_[0-9]*" >/dev/null; then
  soil_state=$(grep -l '(kelsqd in min)' -- *_0 2>/dev/null | head -1 || true)
  routed=$(awk -v step="$routing_step" -v soil="$soil_state" '
    FILENAME == "surfrout_qg.txt" { if (FNR == 3) for (i = 5; i < NF; ++i) share[i - 4] = $i; next }
    FILENAME == soil { if (index($0, "(kelsqd in min)")) for (i = 1; i < NF - 2; ++i) kd[i] = $i
                       if (index($0, "(kelsqi in min)")) for (i = 1; i < NF - 2; ++i) ki[i] = $i
                       next }
    FNR == 1 { t = -1 }
    index($0, "(0=runoff, 1...9 = tracers)") { t = $1; next }
    t != 0 { next }
    index($0, "and maxzeit)") { s = $1; z = 0; next }
    index($0, "(zoneFZT_QD.") { if (++z == 1) W[s] += $5; else held[s] += $2; next }
    index($0, "(zoneFZT_QI.") { if (z > 1) held[s] += $2; next }
    index($0, "(QDd[0][") { qd[s] += $1; next }
    index($0, "(QIi[0][") { qi[s] += $1 }
    function keep(k,   e) { if (!(k > 0)) return 0; e = exp(-step / k); return e / (1 - e) }
    END { for (s in share) v += share[s] * ((W[s] > 0 ? held[s] / W[s] : 0) + keep(kd[s]) * qd[s] + keep(ki[s]) * qi[s])
          printf "%.6f", v }' surfrout_qg.txt ${soil_state:+"$soil_state"} "$routing_file"_[0-9]*)
fi
# The discharge routing's channels hold water in their delay lines and linear storages. The
# routing writes them at the end into its section "[routing_model]" of the storage content file
# (on process 0): per channel element (a tributary or an inflow, numbered in its routing
# description as the routing numbers them: OL, then SUMTRIB, then ZL elements) its delay line,
# then per sub-channel the outflow of each time sub-interval (Qaus) and the flood-plain share
# (qvzuq). A sub-channel's block of the delay line spans S = length / sub-channels positions, of
# which the first nSub hold what left it in the last step; the rest is water on its way. Main
# channel and flood plain act as one linear storage of factor e = cm (1 - a) + cf a (cm, cf =
# exp(-1 / k) of the description's km, kf; a the share), which holds e / (1 - e) times its
# outflow. The sum over a sub-interval's values is mm over the element's area (a joined
# tributary's first blocks are its joined subbasins' runoff, its own block comes last). A cold
# start fills the channel of a constant inflow with its discharge q: every sub-channel holds
# q x delay / nSub + e / (1 - e) q, the delay that of q's class in its table (wq_tabZL.<code>);
# every other channel starts empty.
channel_state=$(grep -l '(routing subbasin with tributaries' -- *_[0-9]* 2>/dev/null | head -1 || true)
channels=0
if [ -n "$channel_state" ]; then
  channels=$(awk -v state="$channel_state" '
    function keep(e) { return e < 1 ? e / (1 - e) : 0 }
    function class(q,   x, c) { x = 16666.668 / dt * q; if (!(x >= 1e-7)) x = 1e-7
      c = log(x / qmin) / (log(qmax / qmin) / n); c = c == int(c) ? c : int(c) + (c > 0)
      return c < 1 ? 1 : (c > n + 1 ? n + 1 : c) }
    FILENAME == "zones.asc" { if ($1 == "cellsize") cs = $2
      if (FNR > 6) for (i = 1; i <= NF; ++i) if ($i != -9999) { ++cells; ++count[$i] }
      next }
    FILENAME ~ /^wq_tabZL[.]/ { z = substr(FILENAME, 10) + 0
      if (index($0, "number of sub-channels")) subs[z] = $NF
      if (NF == 12 && $1 ~ /^[0-9]+$/) delay[z, $1] = $11
      next }
    FILENAME != state {
      if (/^\[routing_model\]/) { on = 1; row = 0; next }
      if (/^\[/) on = 0
      if (!on) next
      if (++row == 2) dt = $1
      if (row == 3) { qmin = $1; qmax = $2; n = $3; nSub = $4 }
      if ($1 == "TG") { split($0, f, "="); tg[++d] = $2; factor[$2] = f[3] + 0; next }
      if ($1 != "OL" && $1 != "SUMTRIB" && $1 != "ZL") next
      # The ten channel values follow ten "=" (an inflow has its mode after the first).
      split($0, f, "="); v = $1 == "ZL" ? 3 : 2
      if ($1 == "ZL") { key = d ":ZL:" (++elements[d, "ZL"]); code[key] = $2
                        if (f[2] ~ /^[ \t]*constant/) { split(f[2], w, " "); q0[key] = w[2] } }
      else { key = d ":" $1 ":" (++elements[d, $1]); c = $2; sub(/[(].*/, "", c); code[key] = c }
      cm[key] = exp(-1 / (f[v] > 0 ? f[v] : 0.01)); cf[key] = exp(-1 / (f[v + 1] > 0 ? f[v + 1] : 0.01))
      area[key] = f[v + 9] > 0 ? f[v + 9] + 0 : 1e-6
      next }
    /^\[routing_model\]/ { on = 1; d = 0; next }
    /^\[/ { on = 0 }
    !on { next }
    index($0, "(routing subbasin with tributaries") { ++d; reading = 0; next }
    # A block starts with "<tracer> <flow index> (tracer/flow index and ...)"; an inflow writes
    # that line behind the values of the tracer before.
    index($0, "(tracer/flow index and") { nf = split(substr($0, 1, index($0, "(tracer/flow") - 1), f, " ")
      if (reading) for (i = 1; i <= nf - 2; ++i) value[++len] = f[i]
      reading = f[nf - 1] == 0; if (reading) len = 0; kind = index($0, "inflow") ? "z" : "t"; next }
    index($0, ".Qaus[subchannel") { reading = 0
      t = $0; sub(/.*local tributary /, "", t); s = $0; sub(/.*\[subchannel /, "", s); key = d ":" kind ":" (t + 0); s += 0
      if (s == 1) { length_[key] = len; for (y = 1; y <= len; ++y) line[key, y] = value[y] }
      subchannels[key] = s; out[key, s] = 0
      for (i = 1; i <= NF && $i !~ /^[(]/; ++i) out[key, s] += $i
      next }
    index($0, ".qvzuq[subchannel") { s = $0; sub(/.*\[subchannel /, "", s); share[key, s + 0] = $1; next }
    /[(]/ { reading = 0; next }
    reading { for (i = 1; i <= NF; ++i) value[++len] = $i }
    END {
      basin = cells * cs * cs / 1e6
      for (c in count) rel[c] = count[c] / cells
      # Weights (mm over the basin per mm of the element), in the order the routing checks the
      # areas: a routing subbasin then stands for the area of its tributaries as well.
      for (k = 1; k <= d; ++k) {
        S = rel[tg[k]]; nol = elements[k, "OL"] + 0
        for (i = 1; i <= nol; ++i) { c = code[k ":OL:" i]; el[k ":t:" i] = k ":OL:" i
          weight[k ":t:" i] = rel[c] / (factor[c] ? factor[c] : 1); S += rel[c] }
        for (i = 1; i <= elements[k, "SUMTRIB"]; ++i) { key = k ":SUMTRIB:" i; el[k ":t:" (nol + i)] = key
          nj = split(code[key], joined, "&")
          for (j = 1; j <= nj; ++j) { weight[k ":t:" (nol + i)] += rel[joined[j]] / (factor[joined[j]] ? factor[joined[j]] : 1); S += rel[joined[j]] } }
        for (i = 1; i <= elements[k, "ZL"]; ++i) { el[k ":z:" i] = k ":ZL:" i; weight[k ":z:" i] = area[k ":ZL:" i] / basin }
        rel[tg[k]] = S
      }
      for (key in length_) {
        c = el[key]; stride = length_[key] / subchannels[key]; mm = 0
        for (j = 1; j <= subchannels[key]; ++j) {
          for (y = (j - 1) * stride + nSub + 1; y <= j * stride; ++y) mm += line[key, y]
          mm += keep(cm[c] * (1 - share[key, j]) + cf[c] * share[key, j]) * out[key, j]
        }
        end += mm / nSub * weight[key]
      }
      for (key in q0) {
        q = q0[key] * 0.06 * dt / area[key]; z = code[key]; own = key; sub(/:ZL:/, ":z:", own)
        start += subs[z] * (delay[z, class(q)] * q / nSub + keep(cm[key]) * q) * weight[own]
      }
      printf "%.6f", end - start }' "$ctl" zones.asc $(compgen -G 'wq_tabZL.*' || true) "$channel_state")
fi
# The water of a lake is the ponding storage of its cells: what the soil model booked there (rain
# and evaporation on the lake, exchange with the soil: the PREC, QGW, ETR and Err columns of the
# balance file; 0 for a reservoir) did not reach the channels and is part of the reservoirs'
# change above, not of the land's.
lake_land_m3=0
while read -r file v0; do
  [ -f "$file" ] || continue
  lake_land_m3=$(awk -v s="$lake_land_m3" 'NR > 3 && $1 ~ /^[0-9]+$/ { s += $23 + $17 - $20 + $32 } END { print s }' "$file")
done < <(awk '/^[ \t]*SP [0-9]+ = file = / { for (i = 1; i < NF; ++i) { if ($i == "=" && $(i - 1) == "file") f = $(i + 1); if ($i == "V0") v = $(i + 2) }; print f, v }' "$ctl")
L=$(mm "$lake_land_m3")

# Groundwater. The aquifer's first layer is the soil's saturated zone (its water is in the soil
# water above); what the soil columns gave to the aquifer below them is not written, but the land
# balance closes in every step, so it is what the land leaves: precipitation with all irrigation
# water - evapotranspiration - what the land handed to the channels (surface routing's total
# runoff and what its zones and storages still hold, or the soil model's runoff without surface
# routing) - change of the land stores. Less
# the water irrigation took from the aquifer, it is the outflow through the fixed heads (and
# fixed inflows: minus the sums over the run of the layers' cell balances, which are 0 in every
# other cell) plus the storage change of the lower layers.
groundwater=$(awk '/^\[groundwater_flow\]/ { getline; print $1 + 0; exit }' "$ctl")
irrigation_gw=0
[ -f irrigation_groundwater_zones.txt ] && irrigation_gw=$(table_total irrigation_groundwater_zones.txt)
handed_file=surfrout_qg.txt
[ -f "$handed_file" ] || handed_file=Qg.txt
handed=0
[ -f "$handed_file" ] && handed=$(table_total "$handed_file")
fixed=0
for f in gw_balance*.sum; do
  [ -f "$f" ] && fixed=$(awk -v a="$fixed" -v b="$(grid_mean "$f")" 'BEGIN { printf "%.6f", a - b }')
done

awk -v P="$P" -v Pf="$P_file" -v irr="$irrigation" -v I="$inflow" -v ET="$ET" -v Q="$Q" -v A="$A" -v snow="$snow" -v icpt="$icpt" -v soil="$soil" \
    -v surf="$surface" -v routed="$routed" -v rf="${routing_file:-surfrout_state}" -v R="$R" -v C="$channels" -v cf="${channel_state:-soilstate}" -v L="$L" -v outlet="$outlet" -v first="$first" -v last="$last" -v steps="$steps" \
    -v gw="$groundwater" -v irrgw="$irrigation_gw" -v handed="$handed" -v hf="$handed_file" -v fixed="$fixed" \
    -v dec="$decimals" -v km2="$(awk -v a="$area" 'BEGIN { printf "%g", a / 1e6 }')" 'BEGIN {
  v = "%" (7 + dec) "." dec "f"; sv = "%+" (7 + dec) "." dec "f"
  aquifer = gw ? P + irr - ET - handed - snow - icpt - soil - surf - routed - L - irrgw : 0
  res = P + I - ET - Q - A - snow - icpt - soil - surf - routed - R - C - aquifer
  printf "water balance %s to %s (%d hourly steps), mm over the basin (%s km2):\n", first, last, steps, km2
  printf "  precipitation (corrected)          " v "   %s\n", P, Pf
  printf "  inflow from outside the basin      " v "   constant inflows of the routing (control file)\n", I
  printf "  evapotranspiration (real)          " v "   etr_zones.txt\n", ET
  printf "  runoff at the outlet (subbasin %s)  " v "   Qstat.txt\n", outlet, Q
  printf "  abstractions out of the basin      " v "   abstraction files of the routing\n", A
  printf "  change of snow                     " sv "   snow_total.asc (empty at the start)\n", snow
  printf "  change of interception             " sv "   interception_storage.asc (empty at the start)\n", icpt
  printf "  change of soil water               " sv "   modell_0.log (model-start and model-end)\n", soil
  printf "  change of the surface store        " sv "   surfrout_storage.txt (mean of the last day)\n", surf
  printf "  change of surface routing storage  " sv "   %s_<process> (travel-time zones and linear storages)\n", routed, rf
  printf "  change of reservoirs and lakes     " sv "   reservoir and lake files (last volume - V0)\n", R
  printf "  change of channel storage          " sv "   %s [routing_model] (delay lines and linear storages)\n", C, cf
  if (gw) {
    printf "  outflow through fixed heads        " v "   gw_balance_<layer>.sum (cell balances summed over the run)\n", fixed
    printf "  change of groundwater below soil   " sv "   what the land gave it (land balance with %s) less that outflow\n", aquifer - fixed, hf
  }
  printf "  residual                           " sv "   in - out - every change\n", res
  printf "  (irrigation moved %.2f mm from the rivers and the aquifer onto the land)\n", irr }'

# Goodness of fit: the routing compares its routed discharge with the observed discharge in
# every step and writes the result below the table of Qstat.txt; at time shift 0, "LIN.
# R-SQUARE" is the Nash-Sutcliffe efficiency of the hourly values, "LOG. R-SQUARE" that of their
# logarithms.
obsfile=$(awk '/observed discharge file/ || /name of spec.discharge files/ { print $1; exit }' "$ctl")
if grep -q '^LIN. R-SQUARE' Qstat.txt && [ -n "$obsfile" ] && [ -f "$obsfile" ]; then
  # The first column of the efficiency lines after the label and the shift is subbasin 1.
  col=$((outlet_col - 2))
  nse=$(awk -v c="$col" '$1 == "LIN." && $2 == "R-SQUARE" { print $(c + 1) }' Qstat.txt)
  lognse=$(awk -v c="$col" '$1 == "LOG." && $2 == "R-SQUARE" { print $(c + 1) }' Qstat.txt)
  obs=$(awk -v f="$first" -v l="$last" '$1 ~ /^[0-9]+$/ && NF >= 5 { d = sprintf("%d-%02d-%02d", $1, $2, $3); if (d >= f && d <= l && $5 >= 0) s += $5 }
            END { printf "%.2f", s }' "$obsfile")
  printf "goodness of fit at the outlet against %s (hourly, Qstat.txt):\n" "$obsfile"
  printf "  Nash-Sutcliffe efficiency %s, of the logarithms %s; volume observed %s mm, simulated %.2f mm\n" \
         "$nse" "$lognse" "$obs" "$Q"
else
  echo "goodness of fit: no observed discharge in this run"
fi
