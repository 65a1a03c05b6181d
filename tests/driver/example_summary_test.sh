#!/usr/bin/env bash
# The summary of the README's example: the basin made by half_year.sh, run over its first three
# days with the routed discharge written every hour. summary.sh prints every term of the water
# balance (the aquifer's among them) and the goodness of fit; the residual is only what the digits
# of the written values leave, the water in surface routing's zones and storages is what the land
# handed it and it has not passed on, the change of the water in the discharge routing's channels
# is what entered them and did not reach the first reservoir (also with two time sub-intervals), and
# the Nash-Sutcliffe efficiency (the routing's own "LIN. R-SQUARE" at shift 0) is that of the hourly
# discharge at the outlet against the observed one, computed here from Qstat.txt and
# observed_discharge.dat (within the 4 decimals it is printed with).
# usage: example_summary_test.sh <talvo> <processes> <mpiexec> <work dir>
set -u
exe=$1; np=$2; mpiexec=$3; wd=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
. "$here/ctl_edit.sh"
rm -rf "$wd"; mkdir -p "$wd" && cp -r "$here"/../../examples/basin/. "$wd"/ && cd "$wd" || fail "copy"
bash half_year.sh . || fail "half_year.sh failed"
[ "$(wc -l <precipitation.dat)" -eq $((5 + 182 * 24)) ] || fail "precipitation.dat: not 182 days of hours"
grep -q '^observed_discharge.dat ' basin.ctl || fail "basin.ctl does not name the observed discharge"
# Also the land's direct flow, interflow and exfiltration into rivers (what it hands surface
# routing), each summed over the run (write code 10: qd.sum, qi.sum, gwex.sum).
awk '/end day/ { sub(/^[0-9]+/, "3") } /end month/ { sub(/^[0-9]+/, "1") } /^Qstat.txt / { sub(/ 2024 /, " 2001 ") }
     /^(qd|qi|gwex)\.asc / { print; getline; sub(/^[0-9]+/, "10") } { print }' basin.ctl >summary.ctl
run_ctl summary.ctl
bash "$here/../../examples/summary.sh" . summary.ctl >summary.txt 2>&1 || { cat summary.txt; fail "summary.sh failed"; }
cat summary.txt
for term in "precipitation (corrected)" "inflow from outside the basin" "evapotranspiration (real)" \
            "runoff at the outlet (subbasin 3)" "abstractions out of the basin" "change of snow" \
            "change of interception" "change of soil water" "change of the surface store" \
            "change of surface routing storage" "change of reservoirs and lakes" "change of channel storage" \
            "outflow through fixed heads" "change of groundwater below soil" \
            "residual" "Nash-Sutcliffe efficiency"; do
  grep -q "$term" summary.txt || fail "summary: no line \"$term\""
done
grep -q "(72 hourly steps)" summary.txt || fail "summary: not 72 steps"
# balance <summary>: the residual is what the printed terms leave (in minus out minus every change),
# and it is only what the digits of the written values leave: the reservoirs' volumes have six
# (the lake's 1.7e6 m3 to 5 m3, 2.3e-4 mm), the routed discharge five decimals a step (at most
# 3.6e-4 mm over 72 steps): below 1e-3 mm (1e-5 of the summed magnitudes of the terms, 110 mm).
# Leaving out the channels' water (1.67 mm at the end of the third day) or what a cold start puts
# into the channel of the constant inflow (0.10 mm), or taking e instead of e / (1 - e) for a linear
# storage, each takes it far beyond.
balance() {
  awk '/^  [a-z]/ { v = ""; for (i = 2; i <= NF && v == ""; ++i) if ($i ~ /^[+-]?[0-9]+[.][0-9]+$/) v = $i
         m += v < 0 ? -v : v
         if ($0 ~ /^  residual/) res = v; else if ($0 ~ /^  (precipitation|inflow from)/) s += v
         else if ($0 ~ /^  (evapotranspiration|runoff|abstractions|outflow|change)/) s -= v }
       END { d = s - res; a = res < 0 ? -res : res; printf "residual %.6f mm, %.1e of the terms\n", res, a / (m - a)
             exit !(d * d < 1e-5 ^ 2 && a < 1e-3) }' "$1"
}
# channels <summary>: the channels' change against what entered them and did not reach the
# outlet's first reservoir (the lake): the constant inflow, what surface routing passed on, less
# the abstraction out of the basin and the lake's inflow (m3 over the 22 km2), to the digits of
# those files (the lake's inflow has six digits a step: 5e-5 mm); the run ends while they carry the
# rain of its last two days (above 1 mm).
channels() {
  local entered
  entered=$(awk 'FILENAME == "surfrout_qg.txt" { if (FNR > 3 && $1 ~ /^[0-9]+$/) s += $NF; next }
                 FNR > 3 && $1 ~ /^[0-9]+$/ { if (FILENAME == "lake_2.txt") s -= $8 / 22e3; else s -= $5 * 3600 / 22e3 }
                 END { printf "%.7f", s + 0.5 * 72 * 3600 / 22e3 }' surfrout_qg.txt abstraction_3.txt lake_2.txt)
  awk -v e="$entered" '/^  change of channel storage/ { c = $5 }
    END { printf "channels %s mm, entered and not passed on %s mm\n", c, e; exit !(c > 1 && (c - e) ^ 2 < 5e-5 ^ 2) }' "$1"
}
bash "$here/../../examples/summary.sh" . summary.ctl 6 >summary6.txt 2>&1 || { cat summary6.txt; fail "summary.sh with 6 decimals failed"; }
balance summary6.txt || fail "summary: the residual is not what the terms leave or not below 1e-3 mm"
channels summary6.txt || fail "summary: the channels' change is not what entered them and has not left"
# Surface routing's zones and storages start empty and hold what the land handed them less what
# they passed on (surfrout_qg.txt): 0.32 mm at the end of the third day; without the storages'
# water (a wrong storage factor) the line would be 0.
handed=$(paste <(tail -n +7 zones.asc | tr -s ' \t' '\n' | grep -v '^$') \
           <(tail -n +7 qd.sum | tr -s ' \t' '\n' | grep -v '^$') <(tail -n +7 qi.sum | tr -s ' \t' '\n' | grep -v '^$') \
           <(tail -n +7 gwex.sum | tr -s ' \t' '\n' | grep -v '^$') | awk '$1 != -9999 { s += $2 + $3 + $4; ++n } END { print s / n }')
passed=$(awk 'NR > 3 && $1 ~ /^[0-9]+$/ { s += $NF } END { print s }' surfrout_qg.txt)
routed=$(sed -n 's/^  change of surface routing storage *\([-+0-9.]*\) .*/\1/p' summary.txt)
awk -v h="$handed" -v p="$passed" -v r="$routed" 'BEGIN { d = h - p - r; exit !(r != "" && r + 0 > 0.1 && d * d < 0.006 ^ 2) }' ||
  fail "surface routing storage: summary $routed mm, handed $handed mm less passed on $passed mm"
printed=$(sed -n 's/.*Nash-Sutcliffe efficiency \([-0-9.]*\),.*/\1/p' summary.txt)
# Pairs of the same hour: the outlet's column of Qstat.txt (the third subbasin) and the observation.
recomputed=$(awk 'NR == FNR { if (FNR > 2) obs[$1 " " $2 " " $3 " " $4] = $5; next }
  FNR > 3 && $1 ~ /^[0-9]+$/ { o = obs[$1 " " $2 " " $3 " " $4]; if (o == "" || o <= 0) next
    n++; d = $7 - o; sd2 += d * d; so += o; so2 += o * o }
  END { vo = (so2 - so * so / n) / (n - 1); printf "%.6f", 1 - sd2 / (n - 1) / vo }' observed_discharge.dat Qstat.txt)
awk -v a="$printed" -v b="$recomputed" 'BEGIN { exit !(a != "" && (a - b) ^ 2 < 0.0003 ^ 2) }' ||
  fail "Nash-Sutcliffe efficiency: summary $printed, recomputed from the hourly discharge $recomputed"
# The same days with two time sub-intervals a step: longer delay lines, whose inflow blocks hold
# water on its way.
awk '/time sub-intervals$/ { sub(/ 1 /, " 2 ") } { print }' summary.ctl >sub2.ctl
grep -q '^10 1000 10 2 ' sub2.ctl || fail "sub2.ctl: no second sub-interval"
run_ctl sub2.ctl
bash "$here/../../examples/summary.sh" . sub2.ctl 6 >sub2.txt 2>&1 || { cat sub2.txt; fail "summary.sh of sub2.ctl failed"; }
balance sub2.txt || fail "summary with two sub-intervals: the residual is not what the terms leave or not below 1e-3 mm"
channels sub2.txt || fail "summary with two sub-intervals: the channels' change is not what entered them and has not left"
echo "example summary test passed with $np processes (efficiency $printed, recomputed $recomputed)"
