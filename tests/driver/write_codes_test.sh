#!/usr/bin/env bash
# Interpolated grids follow their write codes: eight inputs interpolate the same daily station
# values (1, 2, 3, 4 on 30 January to 2 February 2020, equal at every station, so every cell
# holds the day's value) with write codes that use every units digit, sums and means of each
# period and both extremes. The written files and their values are worked out by hand, and the
# files of a run with two processes are the same as with one.
# usage: write_codes_test.sh <talvo> <mpiexec> <work dir>
set -u
exe=$1; mpiexec=$2; wd=$3
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
. "$here/ctl_edit.sh"

section() {  # name, write code
  cat <<EOT
[$1]
1                         method: inverse distance
daily.dat                 daily station data
none                      regression file
$1.asc                    result grid
$2                        write code
1.0                       scaling factor
$1_zones.txt 4024         zone sums
999                       nodata
2                         idw weight
0.5                       idw fraction
20000                     maximum distance
0                         anisotropy slope
1                         anisotropy ratio
-500                      lower limit
-500                      replacement below it
500                       upper limit
500                       replacement above it
0                         no scenario

EOT
}

names=(a b c d e f g h)
codes=(311 152 223 84 35 76 47 8)
# file = value of every basin cell
expected=(
  a.asc=4 a.sum=10 a.min=1 a.max=4
  b_20200130.024=1 b_20200131.024=2 b_20200201.024=3 b_20200202.024=4 b.asc=4 b.mit=2.5 b.min=1
  c.asc=4 c.max=4
  d.asc=4 d_2001.30m=1 d_2001.31m=2 d_2002.01m=3 d_2002.02m=4
  e_20200130.024=1 e_20200131.024=2 e_20200201.024=3 e_20200202.024=4 e.asc=4 e_2001.sum=3
  f_20200131.024=2 f_2001.mit=1.5
  g_2001.30s=1 g_2001.31s=2 g_2002.01s=3 g_2002.02s=4
  h.asc.filled=4 h.asc=4
)

for np in 1 2; do
  dir=$wd/np$np
  rm -rf "$dir"; mkdir -p "$dir"; cp -r "$here"/../../examples/basin/. "$dir"/; cd "$dir" || fail "work directory"
  {
    echo "daily test values"
    echo "YY MM DD HH 810 600 540"
    echo "YY MM DD HH 3401500 3403200 3405600"
    echo "YY MM DD HH 5204800 5202100 5200300"
    echo "YY MM DD HH Nordhang Talboden Suedrand"
    printf '2020 1 30 24 1 1 1\n2020 1 31 24 2 2 2\n2020 2 1 24 3 3 3\n2020 2 2 24 4 4 4\n'
  } >daily.dat
  {
    awk '/^\[meteo_data_count\]/ { exit } { print }' basin.ctl
    printf '[meteo_data_count]\n8\n\n[meteo_names]\n'; printf '%s\n' "${names[@]}"; echo
    printf '[model_time]\n24\n30\n1\n2020\n24\n2\n2\n2020\n\n'
    for i in "${!names[@]}"; do section "${names[$i]}" "${codes[$i]}"; done
    awk '/^\[zone_grid\]/ { on = 1 } on { print }' basin.ctl
  } >codes.ctl
  # Only the interpolation runs.
  set_flow_control codes.ctl 0 $SUBMODEL_SECTIONS
  # The land-use grid, read from its file, is written filled beside it: the run's end leaves the
  # input as it was (it holds table positions in memory, which a later run cannot read as codes).
  sed -i 's/^landuse.asc   landuse      0 /landuse.asc   landuse      fillcode = 1 writecode = 8 /' codes.ctl
  grep -q '^landuse.asc   landuse      fillcode = 1 writecode = 8' codes.ctl || fail "land-use line not changed"
  "$mpiexec" -n "$np" "$exe" codes.ctl >out.txt 2>&1
  status=$?
  [ "$status" -eq 0 ] || { tail -20 out.txt; fail "$np processes: exit status $status"; }
  # Every output of the eight grids, and nothing else of their names.
  written=$(ls | grep -E '^[a-h](\.|_)' | grep -v '_zones\.txt$' | sort)
  want=$(for e in "${expected[@]}"; do echo "${e%=*}"; done | sort)
  [ "$written" = "$want" ] || { diff <(echo "$want") <(echo "$written"); fail "$np processes: written files differ"; }
  cmp -s landuse.asc "$here"/../../examples/basin/landuse.asc || fail "$np processes: the input landuse.asc was rewritten"
  [ -s landuse.asc.filled ] || fail "$np processes: no landuse.asc.filled"
  for e in "${expected[@]}"; do
    file=${e%=*}; value=${e#*=}
    got=$(tail -n +7 "$file" | tr -s ' \t' '\n' | grep -v -e '^$' -e '^-9999$' | sort -u | tr '\n' ' ')
    [ "$got" = "$value " ] || fail "$np processes: $file holds '$got', expected $value in every cell"
  done
done
for e in "${expected[@]}"; do
  cmp -s "$wd/np1/${e%=*}" "$wd/np2/${e%=*}" || fail "${e%=*} differs between 1 and 2 processes"
done
echo "write code test passed"
