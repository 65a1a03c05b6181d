#!/usr/bin/env bash
# Zone tables of statistics codes 5 (means) and 6 (sums) show the subbasins of "[output_list]",
# then the basin's total, in every sub-model that writes zone tables: the example basin with the
# list 1 and 3 and every zone table of code 2024 or 4024 turned into 5024 or 6024 (the tracer's
# tables in every sub-model among them) gives each
# table with the columns "1", "3" and the total of the example's own table, value for value.
# usage: zone_selection_test.sh <talvo> <processes> <mpiexec> <work dir>
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
program_test_start "$@"
rm -rf "$wd" && copy_example "$wd"
awk '/number of subbasins in output list/ { print "2       number of subbasins in output list"; print "1"; print "3"
                                            getline; getline; getline; next }
     /^[A-Za-z_0-9]+\.(txt|mit) +[24]024/ { sub(/ 2024/, " 5024"); sub(/ 4024/, " 6024") }
     /statcode = 2024;/ { sub(/statcode = 2024;/, "statcode = 5024;") }
     /^Cl .* statcode = 2024 / { sub(/statcode = 2024 /, "statcode = 5024 ") }
     { print }' basin.ctl >selected.ctl
run selected.ctl
tables=0
for golden in "$here"/example/*.txt "$here"/example/tr_*.sta "$here"/example_tolerance/*.txt \
              "$here"/example_tolerance/tr_*.sta; do
  [ -f "$golden" ] || continue
  out=$(basename "$golden")
  # The tracer's tables (every sub-model's) follow the tracer's statistics code.
  [ "$out" = tr_cl_point.sta ] && continue  # the soil's control point, no zone table
  [[ $out == tr_*.sta ]] || grep -q "^$out  *[56]024\|outputtable = $out; statcode = 5024" selected.ctl || continue
  tables=$((tables + 1))
  awk -v name="$out" -v tol="$([[ $golden == */example_tolerance/* ]] && echo 1e-4 || echo 0)" '
    function abs(x) { return x < 0 ? -x : x }
    NR == FNR { line[FNR] = $0; n = FNR; next }
    FNR == 1 { k = split(line[1], g)
               for (i = 1; i <= k; i++) if (g[i] == "\"1\"" || g[i] == "\"3\"" || i == k || i <= 4) keep[++m] = i
               want = ""; for (j = 1; j <= m; j++) want = want (j > 1 ? "\t" : "") g[keep[j]]
               if ($0 != want) { print name ": header " $0 ", expected " want; bad = 1; exit } next }
    FNR == 2 { next }
    { split(line[FNR], g); if (NF != m) { print name ": line " FNR " has " NF " values, expected " m; bad = 1; exit }
      for (j = 1; j <= m; j++) if ($j != g[keep[j]] && !(tol > 0 && abs($j - g[keep[j]]) <= tol)) {
        print name ": line " FNR ", value " j ": " $j ", expected " g[keep[j]]; bad = 1; exit } }
    END { if (!bad && FNR != n) { print name ": " FNR " lines, expected " n; bad = 1 } exit bad }' "$golden" "$out" ||
    fail "zone selection: $out"
done
[ "$tables" -ge 30 ] || fail "zone selection: only $tables tables compared"
# With two coupling passes of soil, surface routing and groundwater a step, every table still takes
# one row a step, on the same dates (the aquifer's tracer tables among them).
mkdir -p twice && cp -r ./*.asc ./*.dat ./*.txt twice/ 2>/dev/null
awk '/^\[soil_surface_groundwater_substeps\]/ { print; getline; print "2"; next } { print }' selected.ctl >twice/selected.ctl
cp MpiSpeedFactor.dat twice/ 2>/dev/null
(cd twice && run selected.ctl) || exit 1
for f in tr_cl_grou1.sta tr_cl_grou2.sta temperature_zones.txt SB_2.txt; do
  cmp -s <(cut -f1-4 "$f") <(cut -f1-4 "twice/$f") || fail "zone selection: $f has other rows with two coupling passes"
done
echo "zone selection: $tables tables show the subbasins 1 and 3 and the total"
