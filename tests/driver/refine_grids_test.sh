#!/usr/bin/env bash
# scripts/refine_grids.sh: each cell becomes factor x factor cells of its value, the cellsize is
# divided by the factor and the lower-left corner stays (also when given as a cell centre); a grid
# whose values do not fill its header fails and is left as it was. The example basin: every grid
# of examples/basin has the measures of its zone grid.
# usage: refine_grids_test.sh <work dir>
set -u
wd=$1
here=$(cd "$(dirname "$0")" && pwd)
refine=$here/../../scripts/refine_grids.sh
fail() { echo "FAIL: $*"; exit 1; }
rm -rf "$wd"; mkdir -p "$wd" && cd "$wd" || fail "work directory"

printf 'NCOLS 2\nNROWS 2\nXLLCENTER 100\nYLLCENTER 200\nCELLSIZE 10\nNODATA_value -9999\n1 2 -9999\n4\n' >a.asc
bash "$refine" 2 a.asc || fail "refining a.asc"
expected=$'NCOLS\t4\nNROWS\t4\nXLLCENTER\t97.5\nYLLCENTER\t197.5\nCELLSIZE\t5\nNODATA_value\t-9999
1\t1\t2\t2\n1\t1\t2\t2\n-9999\t-9999\t4\t4\n-9999\t-9999\t4\t4'
[ "$(cat a.asc)" = "$expected" ] || { cat a.asc; fail "a.asc refined by 2"; }

printf 'ncols 2\nnrows 2\ncellsize 10\n1 2 3\n' >b.asc
cp b.asc b.before
bash "$refine" 3 b.asc 2>err.txt && fail "a grid of 3 values for 2 x 2 cells was refined"
grep -q 'holds 3 values, its header 2 x 2' err.txt || fail "no message for the short grid: $(cat err.txt)"
cmp -s b.asc b.before || fail "the short grid was changed"
bash "$refine" 0 a.asc 2>/dev/null && fail "factor 0 accepted"

# The example basin: every grid has the measures of its zone grid (the model refuses others).
measures() { awk 'tolower($1) ~ /^(ncols|nrows|xllcorner|yllcorner|cellsize)$/ { printf "%s %s ", tolower($1), $2 }' "$1"; }
zones=$(measures "$here/../../examples/basin/zones.asc")
for g in "$here"/../../examples/basin/*.asc; do
  [ "$(measures "$g")" = "$zones" ] || fail "$(basename "$g") has other measures than zones.asc"
done
echo "refine grids test passed"
