#!/usr/bin/env bash
# A run split in two, the second a warm start of every module, against one run over the whole
# period (1 to 3 January, split after 2 January). The first run writes its state grids at its
# end as double grids (snow, interception, silting-up, the soil's stacks and grids, the
# groundwater heads, the surface store and the albedo) and the state file; the warm start reads
# them (every "readgrid" 1, the soil's initial state 1, surface routing's state, the two
# standard grids by their read code).
# 1. Every state section is in the state file once, the snow model finds its section and the
#    discharge routing reads its own: the routed discharge of the first step after the warm start
#    is that of the whole run within 2 % (without the routing's state it is far off).
# 2. The first run's tables equal the whole run's up to the split, and the tables of the
#    interpolated inputs stay the same after it.
# What the warm start cannot carry: the potential evapotranspiration's daily mean of the relative
# sunshine ("SSDTemp") has no state of its own, so the values after the split differ slightly.
# usage: warm_split_test.sh <talvo> <processes> <mpiexec> <work dir>
set -u
exe=$1; np=$2; mpiexec=$3; wd=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
. "$here/ctl_edit.sh"
run() { run_ctl "$1"; }
period() { set_period base.ctl "$@"; }
states="snow_total|snow_solid|snow_liquid|snowdays|snowage|interception_storage|silting_disp|silting_pause"
states="$states|silting_ekin|silting_tsbb|theta|hh|hgeo|gwst|gwth|gwlevel|deltagw|gw_head_1|gw_head_2"
rm -rf "$wd"; mkdir -p "$wd"
for folder in one split; do
  cp -r "$here"/../../examples/basin/. "$wd/$folder"/ && cd "$wd/$folder" || fail "copy"
  # Double grids, the state grids written at the end of the run, a table row every step.
  awk -v states="^($states)\\\\.(asc|stk)[ \\t]" '
    /WriteAsciiGrids/ { print "WriteAsciiGrids = 0"; print "WriteDoubleGrids = 1"; next }
    $0 ~ states { print; getline; sub(/^[0-9]+/, "1"); print; next }
    /^(SurfStorSiltingUp|albedo)\.asc/ { sub(/defaultValue = [0-9.]+/, "& writecode = 1") }
    { gsub(/ 4024/, " 4001"); gsub(/ 2024/, " 2001"); print }' basin.ctl >base.ctl
done
cd "$wd/one" && period one.ctl 1 1 3 24 && run one.ctl
cd "$wd/split" && period first.ctl 1 1 2 24 && period warm.ctl 3 1 3 24
awk '/readgrid/ || /read the state at start/ || /initial state from the groundwater level parameter/ ||
     /grid read parameter: start heads/ || /read grid parameter: start from the section/ { sub(/^0/, "1") }
     /^(SurfStorSiltingUp|albedo)\.asc/ { sub(/readcode = 0/, "readcode = 1") } { print }' warm.ctl >warm.edit &&
  mv warm.edit warm.ctl
[ "$(grep -c '^1 .*\(readgrid\|read the state\|initial state\|grid read parameter\|read grid parameter\)' warm.ctl)" -eq 7 ] ||
  fail "warm.ctl: not every module starts warm"
run first.ctl
for ((r = 0; r < np; r++)); do
  for section in routing_model unsatzon_model snow_model; do
    expected=1
    [ "$section" = routing_model ] && [ "$r" -gt 0 ] && expected=0
    [ "$(grep -c "^\[$section\]" "soilstate.txt_$r")" -eq "$expected" ] || fail "soilstate.txt_$r: [$section]"
  done
done
mkdir -p first && cp ./*.txt first/
# The snow model found its section (it warns when it cannot).
run warm.ctl
grep -q 'snow_model\] not found\|glacier model will be run with cold start' warm.ctl.out && fail "snow: no state read"
# 2. The first run is the whole run up to the split.
for table in "$wd"/one/*.txt; do
  b=$(basename "$table")
  [ -f "first/$b" ] || continue
  diff <(grep -E '^2020[[:space:]]+1[[:space:]]+[12][[:space:]]' "$table") \
       <(grep -E '^2020[[:space:]]+1[[:space:]]+[12][[:space:]]' "first/$b") >/dev/null ||
    fail "the first run's $b differs from the whole run's before the split"
done
for b in precipitation_zones.txt temperature_zones.txt cloudiness_zones.txt; do
  cmp -s <(grep -E '^2020[[:space:]]+1[[:space:]]+3[[:space:]]' "$wd/one/$b") \
         <(grep -E '^2020[[:space:]]+1[[:space:]]+3[[:space:]]' "$b") || fail "$b differs after the split"
done
# 1. The routed discharge of the first step after the split.
paste <(grep -E '^2020[[:space:]]+1[[:space:]]+3[[:space:]]+1[[:space:]]' "$wd/one/Qstat.txt") \
      <(grep -E '^2020[[:space:]]+1[[:space:]]+3[[:space:]]+1[[:space:]]' Qstat.txt) |
  awk '{ n = NF / 2; if (n < 5) exit 1
         for (i = 5; i <= n; ++i) { a = $i; b = $(i + n); d = a - b; if (d < 0) d = -d
           if (d > 0.02 * (a < 0 ? -a : a) + 1e-9) { print "column", i, a, b; exit 1 } } }' ||
  fail "the routed discharge after the warm start is not that of the whole run"
echo "warm split test passed with $np processes"
