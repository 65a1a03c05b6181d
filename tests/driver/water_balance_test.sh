#!/usr/bin/env bash
# The water balance of the example basin, from written outputs only: in every step and over the
# run, corrected precipitation + irrigation water = real evapotranspiration (all components) + water handed to the
# channels (direct flow of the river cells after surface routing, interflow, base flow) + change
# of the stores (snow, interception, soil water, ponding, the surface store "SurfStorSiltingUp"
# that silting-up and surface routing share), within 1e-9 of the summed magnitudes of the terms.
# Configurations of the example: as shipped, surface routing off, silting-up off, a warm
# variant (45 degrees C, day 2's rain on every day) that makes runoff every day, one whose
# meadows are irrigated from the river on the second day, and interception off. The last runs the
# groundwater model as shipped (see check_aquifer_balance).
# usage: water_balance_test.sh <talvo> <processes> <mpiexec> <work dir>
set -u
exe=$1; np=$2; mpiexec=$3; wd=$4
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
fail() { echo "FAIL: $*"; exit 1; }
rm -rf "$wd"; mkdir -p "$wd" || exit 1

# Grids of every balance term written every step under dated names, as binary doubles (text grids
# carry six digits only); the groundwater model is off, so the soil column keeps its own base flow.
balance_ctl() {
  awk '/WriteAsciiGrids/ { print "WriteAsciiGrids = 0"; print "WriteDoubleGrids = 1"; next }
       /^SurfStorSiltingUp.asc/ { sub(/defaultValue = 0/, "defaultValue = 0 writecode = 2") }
       /^(precip|etr|interception_storage|snow_total|sb1_|qd|qi|deltagw|pond|irrig)\.asc / { print; getline; sub(/^[0-9]+/, "2") }
       { print }' basin.ctl >balance.ctl
  set_flow_control balance.ctl 0 groundwater_flow "$@"
}

# The irrigated variant: the valley meadows get 12 mm from the river on 2 January, 0.5 mm in each
# hourly step of the day (what the river can give; the soil's "irrig" grid holds what they got).
irrigated_ctl() {
  awk '/^1 valley_meadow / { print "1 valley_meadow 1 2 0.5 0.1 1"; print " 1 2 12"; next } { print }' balance.ctl >i.ctl &&
    mv i.ctl balance.ctl
}

# The warm variant: every temperature 45 degrees C, and the rain of 2 January on every day.
warm_inputs() {
  awk 'NR <= 5 { print; next } { for (i = 5; i <= NF; ++i) $i = 45; print }' temperature.dat >t.dat && mv t.dat temperature.dat
  awk 'NR <= 5 { print; next } $3 == 2 { rain[$4] = $5 " " $6 " " $7 } { row[NR] = $1 " " $2 " " $3 " " $4; hour[NR] = $4; n = NR }
       END { for (i = 6; i <= n; ++i) print row[i], rain[hour[i]] }' precipitation.dat >p.dat && mv p.dat precipitation.dat
}

# Three hours of 2 January (rain and snow melt) in which no station of any input has a valid value:
# the inputs hold nodata, which the sub-models take as steps without them.
missing_inputs() {
  for f in precipitation temperature wind_speed air_humidity global_radiation; do
    awk 'NR > 5 && $1 == 2020 && $2 == 1 && $3 == 2 && $4 >= 5 && $4 <= 7 { for (i = 5; i <= NF; ++i) $i = -9999 } { print }' \
      $f.dat >m.dat && mv m.dat $f.dat
  done
}

# Basin sum of each binary double grid given (12 header values, then the rows): the cells of
# zones.asc (or of the text grid $mask_grid); a cell without data (a step without any valid
# precipitation value) brings nothing, a missing file 0. One od reads every file of the call (each
# of the mask grid's size), so that a step costs two processes, not two a grid.
grid_sums() {
  local f present=() names=""
  for f in "$@"; do
    if [ -f "$f" ]; then present+=("$f"); names+="1 "; else names+="0 "; fi
  done
  { [ ${#present[@]} -eq 0 ] || od -A n -t f8 -v -w8 "${present[@]}"; } | awk -v names="$names" '
    BEGIN { files = split(names, has, " ") }
    NR == FNR { if ($1 == "ncols") nc = $2; if ($1 == "nrows") nr = $2; size = 12 + nc * nr
                if (FNR > 6) for (i = 1; i <= NF; ++i) { ++k; if ($i != -9999) want[k + 12] = 1 }
                next }
    { i = FNR - 1; f = int(i / size) + 1; p = i % size + 1
      if (p in want && $1 != -9999) s[f] += $1; lines = FNR }
    END { for (g = 1; g <= files; ++g) if (has[g]) ++n
          if (lines != n * size) { print "grid_sums: the grids are not of the mask grid'"'"'s size" > "/dev/stderr"; exit 1 }
          for (g = 1; g <= files; ++g) { if (has[g]) ++j; printf "%.17g ", has[g] ? s[j] + 0 : 0 } }' "${mask_grid:-zones.asc}" -
  echo
}

# What the routing moved into the lakes in each step: inflow - outflow - irrigation - abstractions
# of every lake's balance file (rows with a lake area; a reservoir's are 0), as the sum of mm over
# the cells, and the summed magnitudes of these terms. The water lives in the ponding storage of
# the lake cells, whose grid the soil model writes before the routing of its step: the ponding of
# a step holds what the routing moved in the step before. The balance files carry six
# significant digits ("%lg"), so the lake's terms count to within 5e-6 of their magnitudes.
# Writes lakes.txt: date (as the grid names give it), amount, magnitude.
lake_exchange() {
  local a files
  : >lakes.txt
  a=$(awk '$1 == "cellsize" { print $2 * $2 }' zones.asc)
  files=$(awk '/^[ \t]*SP [0-9]+ = file = / { for (i = 1; i < NF; ++i) if ($i == "=" && $(i - 1) == "file") print $(i + 1) }' balance.ctl)
  [ -n "$files" ] || return 0
  # shellcheck disable=SC2086
  awk -v a="$a" 'FNR > 3 && $1 ~ /^[0-9]+$/ && $6 > 0 {
      d = sprintf("%04d%02d%02d.%03d", $1, $2, $3, $4)
      e[d] += ($8 - $11 - $14 - $29) / a * 1000
      m[d] += ($8 + $11 + $14 + $29) / a * 1000 }
    END { for (d in e) printf "%s %.17g %.17g\n", d, e[d], m[d] }' $files >lakes.txt
}

# The lake terms of a step: amount and magnitude (0 0 without lakes).
lake_terms() { awk -v d="$1" '$1 == d { e = $2; m = $3 } END { printf "%.17g %.17g", e + 0, m + 0 }' lakes.txt; }

# One line per step: date, P, ET, direct flow, interflow, base flow, snow, interception, soil,
# surface store, ponding, irrigation, and the lake terms of the step.
step_terms() {
  local f d
  lake_exchange
  for f in precip_2020*; do
    d=${f#precip_}
    echo "$d $(grid_sums precip_$d etr_$d qd_$d qi_$d deltagw_$d snow_total_$d interception_storage_$d sb1__$d SurfStorSiltingUp_$d pond_$d irrig_$d | tr -d '\n') $(lake_terms "$d")"
  done
}

# The balance of every step after the first (the stores before the first step are not written)
# and over those steps; prints the run totals in mm over the basin.
check_balance() {
  step_terms | awk -v name="$1" -v cells="$(awk 'NR > 6 { for (i = 1; i <= NF; ++i) if ($i != -9999) ++k } END { print k }' zones.asc)" '
    function abs(x) { return x < 0 ? -x : x }
    { P = $2; ET = $3; out = $4 + $5 + $6; for (k = 7; k <= 11; ++k) S[k] = $k
      if (NR > 1) {
        res = P + $12 + L - ET - out; mag = abs(P) + abs($12) + abs(L) + abs(ET) + abs($4) + abs($5) + abs($6)
        for (k = 7; k <= 11; ++k) { res -= S[k] - S0[k]; mag += abs(S[k] - S0[k]) }
        if (abs(res) > 1e-9 * mag + 5e-6 * Lmag) { printf "%s, step %s: residual %.3e of %.3e\n", name, $1, res, mag; bad = 1 }
        tP += P; tI += $12; tL += L; tLmag += Lmag; tET += ET; tQD += $4; tQI += $5; tQB += $6; tmag += mag; days[substr($1, 1, 8)] += $4 + $5 + $6
        if ($4 + $5 + $6 > 0) wet[substr($1, 1, 8)] = 1
      } else for (k = 7; k <= 11; ++k) S1[k] = S[k]
      for (k = 7; k <= 11; ++k) S0[k] = S[k]
      L = $13; Lmag = $14 }
    END { res = tP + tI + tL - tET - tQD - tQI - tQB; dS = 0
      for (k = 7; k <= 11; ++k) { res -= S0[k] - S1[k]; dS += S0[k] - S1[k] }
      if (NR < 2) { print name ": no steps written"; exit 1 }
      if (abs(res) > 1e-9 * tmag + 5e-6 * tLmag) { printf "%s, run: residual %.3e of %.3e\n", name, res, tmag; bad = 1 }
      printf "%s: P %.6f irrigation %.6f ET %.6f direct %.6f interflow %.6f base %.6f into lakes %.6f stores %+.6f mm, residual %.1e\n",
             name, tP / cells, tI / cells, tET / cells, tQD / cells, tQI / cells, tQB / cells, tL / cells, dS / cells, res / cells
      if (name == "irrigated" && tI <= 0) { print name ": no irrigation water arrived"; bad = 1 }
      for (d in days) if (!(d in wet)) printf "%s: no runoff on %s\n", name, d > "/dev/stderr"
      exit bad }'
}

# The groundwater configuration: the aquifer on as the example ships it, its heads, old heads,
# storage coefficients and cell balances written every step as well, and the river exchange.
aquifer_ctl() {
  awk '/^gw_st_[12]\.asc/ { sub(/defaultValue = [0-9.e-]+/, "& writecode = 2") }
       /^gw_thick_1\.asc/ { sub(/defaultValue = [0-9.e-]+/, "& writecode = 3") }
       /^(gw_head_[12]|gw_balance_[12]|gwin|gwex)\.asc / { print; getline; sub(/^[0-9]+/, "2") }
       { print }' balance.ctl >aquifer.ctl && mv aquifer.ctl balance.ctl
  set_flow_control balance.ctl 1 groundwater_flow
}

# Storage change of aquifer layer <l> (1 or 2) in step <date>, in mm over the basin: sum of (head
# - old head) x the storage coefficient of the step, which is the layer's own while the old head
# is at or above the layer's top and layer 1's below it. Layer 1's top is the elevation, layer 2's
# the elevation less layer 1's thickness (the soil depth, written once as gw_thick_1.asc).
aquifer_change() {
  local d=$2 mask
  mask=$(awk 'NR > 6 { for (i = 1; i <= NF; ++i) { ++k; if ($i != -9999) printf "%d ", k } }' zones.asc)
  paste <(od -A n -t f8 -v -w8 "gw_head_$1_$d") <(od -A n -t f8 -v -w8 "gw_head_$1_old_$d") \
        <(od -A n -t f8 -v -w8 "gw_st_$1_$d") <(od -A n -t f8 -v -w8 "gw_st_1_$d") \
        <(od -A n -t f8 -v -w8 gw_thick_1.asc) \
        <(awk 'NR == 1 { for (i = 1; i <= 12; ++i) print 0 } NR > 6 { for (i = 1; i <= NF; ++i) print $i }' elevation.asc) |
    awk -v mask="$mask" -v layer="$1" '
    BEGIN { n = split(mask, m, " "); for (i = 1; i <= n; ++i) want[m[i] + 12] = 1 }
    NR in want { top = layer == 1 ? $6 : $6 - $5; s += ($1 - $2) * ($2 >= top ? $3 : $4) * 1000 }
    END { printf "%.17g", s }'
}

# The balance of the groundwater configuration. The soil column gives up in each step the
# layer-1 storage change the aquifer made in the step before (dS1, from heads and storage
# coefficients): precipitation = ET + direct flow + interflow + river exfiltration - river
# infiltration - dS1 of the step before + change of the land stores, within 1e-9 per step and
# over the run. The aquifer's own balance, per step and over the run to 1e-9 as well: what its
# layers stored (dS1 + dS2) is what flowed into it, here minus the flow into its fixed-head
# cells (minus their gw_balance_2; the example has fixed heads in layer 2 only, no fixed inflow
# and no river exchange of the aquifer).
# One line per step of the groundwater configuration (basin sums, mm-cells): date, P, ET, direct
# flow, interflow, river exfiltration, river infiltration, snow, interception, soil, surface
# store, ponding, balance of the fixed-head cells of layer 2, storage change of layers 1 and 2.
aquifer_step_terms() {
  local f d
  lake_exchange
  for f in precip_2020*; do
    d=${f#precip_}
    echo "$d $(grid_sums precip_$d etr_$d qd_$d qi_$d gwex_$d gwin_$d snow_total_$d interception_storage_$d sb1__$d SurfStorSiltingUp_$d pond_$d | tr -d '\n')" \
         "$(mask_grid=gw_fixed_head_2.asc grid_sums gw_balance_2_$d | tr -d '\n')" "$(aquifer_change 1 "$d") $(aquifer_change 2 "$d")" \
         "$(lake_terms "$d")"
  done
}

check_aquifer_balance() {
  aquifer_step_terms | awk -v name="$1" -v cells="$(awk 'NR > 6 { for (i = 1; i <= NF; ++i) if ($i != -9999) ++k } END { print k }' zones.asc)" '
    function abs(x) { return x < 0 ? -x : x }
    # fields: 2 P, 3 ET, 4 qd, 5 qi, 6 gwex, 7 gwin, 8-12 stores, 13 fixed-head balance, 14 dS1, 15 dS2,
    # 16 and 17 the lake terms (of the step before, see lake_exchange)
    { out = $4 + $5 + $6 - $7; for (k = 8; k <= 12; ++k) S[k] = $k
      if (NR > 1) {
        res = $2 + L - $3 - out + dS1; mag = abs($2) + abs(L) + abs($3) + abs($4) + abs($5) + abs($6) + abs($7) + abs(dS1)
        for (k = 8; k <= 12; ++k) { res -= S[k] - S0[k]; mag += abs(S[k] - S0[k]) }
        if (abs(res) > 1e-9 * mag + 5e-6 * Lmag) { printf "%s, step %s: residual %.3e of %.3e\n", name, $1, res, mag; bad = 1 }
        tP += $2; tL += L; tLmag += Lmag; tET += $3; tQ += out; tB -= dS1; tmag += mag
        own = $14 + $15 - $13; omag = abs($14) + abs($15) + abs($13)
        if (abs(own) > 1e-9 * omag) { printf "%s, step %s: aquifer residual %.3e of %.3e\n", name, $1, own, omag; bad = 1 }
        tA += own; tS1 += $14; tS2 += $15; tF -= $13; tomag += omag
      } else for (k = 8; k <= 12; ++k) S1[k] = S[k]
      dS1 = $14; L = $16; Lmag = $17; for (k = 8; k <= 12; ++k) S0[k] = S[k] }
    END { if (NR < 2) { print name ": no steps written"; exit 1 }
      dS = 0; for (k = 8; k <= 12; ++k) dS += S0[k] - S1[k]
      res = tP + tL - tET - tQ - tB - dS
      if (abs(res) > 1e-9 * tmag + 5e-6 * tLmag) { printf "%s, run: residual %.3e of %.3e\n", name, res, tmag; bad = 1 }
      if (abs(tA) > 1e-9 * tomag) { printf "%s, run: aquifer residual %.3e of %.3e\n", name, tA, tomag; bad = 1 }
      printf "%s: P %.6f ET %.6f to the rivers %.6f to the aquifer %.6f land stores %+.6f mm, residual %.1e\n",
             name, tP / cells, tET / cells, tQ / cells, tB / cells, dS / cells, res / cells
      printf "%s: aquifer dS1 %+.6f dS2 %+.6f into fixed heads %.6f mm, own residual %.1e\n",
             name, tS1 / cells, tS2 / cells, tF / cells, tA / cells
      exit bad }'
}

# Sum of the last column (the basin) over the rows of a zone table.
table_total() { awk 'NR > 3 { s += $NF } END { printf "%.6f\n", s }' "$1"; }

# Mean soil water of every cell (mm) at "model-start" or "model-end", from the soil model's log.
soil_water() {
  awk -v at="$1" 'index($0, "mean soil water content for all cells at " at ":") { v = $(NF - 1) * 1000 } END { if (v != "") printf "%.6f", v }' modell_0.log
}

for config in ${BALANCE_CONFIGS:-shipped no_routing no_silting warm missing irrigated no_interception groundwater}; do
  mkdir -p "$wd/$config" && cp -r "$here"/../../examples/basin/. "$wd/$config"/ && cd "$wd/$config" || fail "$config: copy"
  case $config in
    shipped) balance_ctl ;;
    no_routing) balance_ctl SurfaceRoutingModel ;;
    no_silting) balance_ctl SiltingUpModel ;;
    warm) balance_ctl; warm_inputs ;;
    missing) balance_ctl; missing_inputs ;;
    irrigated) balance_ctl; irrigated_ctl ;;
    # The evapotranspiration's total takes the soil's evaporation and transpiration also without
    # interception.
    no_interception) balance_ctl interception_model ;;
    groundwater) balance_ctl; aquifer_ctl ;;
  esac
  "$mpiexec" -n "$np" "$exe" balance.ctl >out.txt 2>&1
  status=$?
  [ "$status" -eq 0 ] || { tail -20 out.txt; fail "$config: exit status $status"; }
  if [ "$config" = groundwater ]; then
    check_aquifer_balance "$config" || fail "$config: the water balance with the aquifer does not close"
  else
    check_balance "$config" 2>days.txt || fail "$config: the water balance does not close"
  fi
  if [ "$config" = warm ]; then
    [ -s days.txt ] && { cat days.txt; fail "warm: a day without runoff"; }
  fi
  # The soil model's runoff counts the water that stays on the surface once: over the run it
  # never exceeds the water that reached the soil (throughfall) plus what the soil's own stores
  # gave up (soil water from the model-start to the model-end line of the log, ponding from
  # empty, or a lake's initial volume, to the last step's grid, less what the routing moved into
  # the lakes before that grid), less the soil's evapotranspiration (>= 0, left out). Ponded
  # water counted again in every step would exceed it by far. Tolerance: the tables' and the
  # log's decimals.
  # Without interception the snow cover's outflow reaches the soil.
  reaching=throughfall_zones.txt; [ "$config" = no_interception ] && reaching=snow_outflow_zones.txt
  qg=$(table_total Qg.txt); tf=$(table_total $reaching)
  w0=$(soil_water model-start); w1=$(soil_water model-end)
  [ -n "$w0" ] && [ -n "$w1" ] || fail "$config: no soil water summary in modell_0.log"
  cells=$(awk 'NR > 6 { for (i = 1; i <= NF; ++i) if ($i != -9999) ++k } END { print k }' zones.asc)
  last_pond=$(ls pond_2020* 2>/dev/null | sort | tail -1)
  pond=0
  [ -n "$last_pond" ] && pond=$(grid_sums "$last_pond" | awk -v c="$cells" '{ printf "%.9f", $1 / c }')
  lakes=$(sort lakes.txt | awk -v c="$cells" '{ if (NR > 1) s += e; e = $2 } END { printf "%.9f", s / c }')
  a=$(awk '$1 == "cellsize" { print $2 * $2 }' zones.asc)
  while read -r file v0; do
    awk '$6 > 0 && $1 ~ /^[0-9]+$/ { found = 1 } END { exit !found }' "$file" 2>/dev/null &&
      lakes=$(awk -v l="$lakes" -v v="$v0" -v a="$a" -v c="$cells" 'BEGIN { printf "%.9f", l + v / a * 1000 / c }')
  done < <(awk '/^[ \t]*SP [0-9]+ = file = / { for (i = 1; i < NF; ++i) { if ($i == "=" && $(i - 1) == "file") f = $(i + 1); if ($i == "V0") v = $(i + 2) }; print f, v }' balance.ctl)
  given=$(awk -v w0="$w0" -v w1="$w1" -v p="$pond" -v l="$lakes" 'BEGIN { printf "%.6f", w0 - w1 - p + l }')
  awk -v qg="$qg" -v tf="$tf" -v g="$given" 'BEGIN { exit !(qg <= tf + g + 0.005) }' ||
    fail "$config: soil runoff $qg mm exceeds the throughfall $tf mm plus the $given mm the soil's stores gave up"
  echo "$config: soil runoff $qg mm, throughfall $tf mm, soil stores gave up $given mm"
done
echo "water balance test passed with $np processes"
