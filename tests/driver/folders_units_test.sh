#!/usr/bin/env bash
# Input and output folders, cells of hydrologic response units and tracer tables.
# 1. With "DefaultOutputDirectory = out/" and "InitialStateDirectory = in/" the example basin
#    reads everything from in/ and writes everything to out/ (never to out/out/), the same files
#    as without the folders.
# 2. With spin-up response units and no zone table of the temperature, every basin cell of the
#    interpolated temperature grid holds the value of its unit's master cell, never nodata.
# 3. A tracer carried by a sub-model has its zone table, headed with the tracer and the module.
# usage: folders_units_test.sh <talvo> <processes> <mpiexec> <work dir>
set -u
exe=$1; np=$2; mpiexec=$3; wd=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
. "$here/ctl_edit.sh"
fresh() { rm -rf "$wd/$1"; mkdir -p "$wd/$1"; cp -r "$here"/../../examples/basin/. "$wd/$1"/; cd "$wd/$1" || fail "$1: copy"; }
run() { "$mpiexec" -n "$np" "$exe" basin.ctl >out.txt 2>&1; local s=$?; [ $s -eq 0 ] || { tail -20 out.txt; fail "$1: exit status $s"; }; }

fresh folders
mkdir in out && mv ./*.asc ./*.dat in/
sed -i 's#^WriteAsciiGrids = 1#WriteAsciiGrids = 1\nDefaultOutputDirectory = out/\nInitialStateDirectory = in/#' basin.ctl
# The regional superposition's grid written as well (its writer adds the folder, once).
sed -i 's/outputgrid = temperature_regional.asc; writecode = 0;/outputgrid = temperature_regional.asc; writecode = 1;/' basin.ctl
inputs=$(ls in | sort)
run folders
[ -d out/out ] && fail "folders: outputs in out/out/"
[ -f out/temperature_regional.asc ] || fail "folders: out/temperature_regional.asc missing"
[ "$(ls in | sort)" = "$inputs" ] || fail "folders: files written to the input folder"
for golden in "$here"/example/*; do
  name=$(basename "$golden")
  [ -f "out/$name" ] || fail "folders: out/$name missing"
  cmp -s "out/$name" "$golden" || fail "folders: out/$name differs from the run without folders"
done

fresh units
awk '/^temperature_zones.txt/ { print "temperature_zones.txt 0        no zone table"; next }
     /^temp.asc/ { print; getline; print "1                         write code: every step"; next } { print }' basin.ctl >b.ctl
printf '\n[SpinUp]\n1 switch\n0 pre-spin-up\n1 repetitions\n1 class grids\nelevation_model 5000 linear\n' >>b.ctl
mv b.ctl basin.ctl
run units
[ -f temp.asc ] && [ -f All_HydrologicResponseUnits ] && [ -f MPIRegions_0 ] || fail "units: temp.asc or the unit grid missing"
# Response units are formed within the rows of each process, each unit with its master cell
# there: (process, unit, value) over the basin cells gives one value per unit of a process, and
# no nodata.
cells() { tail -n +7 "$1" | tr -s ' \t' '\n' | grep -v '^$'; }
triples=$(paste <(cells MPIRegions_0) <(cells All_HydrologicResponseUnits) <(cells temp.asc) |
          awk '$2 != -9999 { print $1, $2, $3 }' | sort -u)
[ -n "$triples" ] || fail "units: no basin cells"
echo "$triples" | awk '$3 == -9999 { exit 1 }' || fail "units: a cell of a response unit holds nodata"
units=$(echo "$triples" | awk '{ print $1, $2 }' | sort -u | wc -l)
[ "$(echo "$triples" | wc -l)" -eq "$units" ] || { echo "$triples"; fail "units: cells of one unit hold different values"; }
fresh tracers
without_tracers basin.ctl
awk '/^\[substance_transport\]/ { print; getline; print "1       number of tracers"
       print "Cl non_radioactive evaporating min_conc = 0.1 max_conc = 2.5 mg/l soilini = 0.3 gwini = 0.4" \
             " statcode = 2004 gridcode = 3 path = tr_ statext = .sta gridext = .grd"; next }
     /^\[standard_grids\]/ { print; getline; print $1 + 1 "      number of standard grids"
       print "tracer_in.asc concflux_tracer_1_input fillcode = 0 readcode = 0 defaultValue = 1"; next } { print }' \
  basin.ctl >b.ctl && mv b.ctl basin.ctl
# Surface routing would need the soil model's tracer grids.
set_flow_control basin.ctl 0 SurfaceRoutingModel
run tracers
# The snow model carries the tracer: its zone table is headed with the tracer and the module.
table="tr_cl_snow_..st"
[ -f "$table" ] || fail "tracers: $table missing"
sed -n 2p "$table" | grep -q "^tracer concentration for tracer 1 (cl_) _submodel:snow_model" ||
  { cat "$table"; fail "tracers: header of $table"; }
echo "folders and units test passed with $np processes"
