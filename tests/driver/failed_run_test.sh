#!/usr/bin/env bash
# A failed run never destroys the results of the run before it: the example basin runs once,
# then runs that stop with a FATAL entry (before the first step, or in the middle of the run)
# follow in the same folder, and every table, grid and state file of the good run must be left
# byte for byte as it was, with no temporary file behind; station data that end early end the
# run through its normal end.
# usage: failed_run_test.sh <talvo> <processes> <mpiexec> <work dir>
set -u
exe=$1; np=$2; mpiexec=$3; wd=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
rm -rf "$wd"; mkdir -p "$wd"; cp -r "$here"/../../examples/basin/. "$wd"/; cd "$wd" || fail "work directory"
. "$here/ctl_edit.sh"
run() { "$mpiexec" -n "$np" -outfile-pattern 'out.%r.txt' -errfile-pattern 'err.%r.txt' "$exe" "$@"; }

run basin.ctl
status=$?
[ "$status" -eq 0 ] || { tail -5 out.0.txt; fail "good run: exit status $status"; }
cp basin.ctl good.ctl
# What the good run wrote (logs, console texts and the compiled control files are rewritten
# by every run and left out).
results() {
  ls | grep -v -E '^(Talvo_Diag_[0-9]+\.xml|modell_0\.log|out\.[0-9]+\.txt|err\.[0-9]+\.txt|.*\.ctl|.*\.ctl_[0-9]+\.\$\$\$|.*\.dat|checksums.*|early_end|one_writer)$' |
    sort | xargs md5sum
}
results >checksums.good
grep -q ' Qg.txt$' checksums.good && grep -q ' soilstate.txt_0$' checksums.good && grep -q ' precip_2001.01s$' checksums.good ||
  fail "good run: tables, state file or grids missing"

# True when process 0 logged the text (in its diagnostics file, entities undone).
found() { sed 's/&quot;/"/g; s/&lt;/</g; s/&gt;/>/g; s/&amp;/\&/g' Talvo_Diag_0.xml | grep -qF -- "$1"; }

# Station data that end before the end date (here only wind_speed.dat) end the run through the
# normal end at their last step: status 0, a WARNING naming the file, the run-end grid (write
# code 3) and the run means written, the last table row that of the last data.
# Its own copy of the basin, so that the good run's results stay as they were.
mkdir early_end && cp -r "$here"/../../examples/basin/. early_end/ && cd early_end || fail "early data end: copy"
sed -i '/^rain.asc /{n;s/^0 /3 /;}' basin.ctl
grep -A1 '^rain.asc ' basin.ctl | grep -q '^3 ' || fail "early data end: write code not set"
sed -i '/^2020 1 3 /,$d' wind_speed.dat
# ended_early <case> <control file> <file that ends>: the run ends at 2.1.2020 24 h through the
# normal end, with status 0 and the WARNING naming the file.
ended_early() {
  run "$2"
  local status=$? f
  [ "$status" -eq 0 ] || { tail -5 out.0.txt; fail "$1: exit status $status"; }
  found "the data of $3 end with 2.1.2020 24 h, before the end date 3.1.2020 24 h of [model_time]" ||
    fail "$1: no WARNING naming $3"
  for f in rain.asc tkorr.mit exkorr.mit sb1_.mit; do [ -s "$f" ] || fail "$1: $f not written"; done
  tail -1 Qg.txt | grep -qE '^2020[[:space:]]+1[[:space:]]+2[[:space:]]+24[[:space:]]' ||
    fail "$1: last row of Qg.txt is not 2.1.2020 24 h: $(tail -1 Qg.txt | cut -c1-40)"
}
ended_early "early data end" basin.ctl wind_speed.dat
ls ./*.part >/dev/null 2>&1 && { ls ./*.part; fail "early data end: temporary files left behind"; }
# The same with a list of grids per date (method 9) for the wind speed that ends after
# 2.1.2020 24 h: one grid, then "-9999" (the last grid again).
cp "$here"/../../examples/basin/wind_speed.dat .
awk 'NR <= 6 { print; next } { gsub(/-?[0-9.]+/, "1.5"); print }' zones.asc >wind_grid.asc
{ head -5 wind_speed.dat; awk 'NR > 5 && !/^2020 1 [3-9] / { print $1, $2, $3, $4, (NR == 6 ? "wind_grid.asc" : "-9999") }' wind_speed.dat; } >wind_list.txt
awk '/^\[wind_speed\]/ { s = 1 } s == 1 && /method:/ { sub(/^1 /, "9 ") } s == 1 && /^wind_speed.dat/ { $1 = "wind_list.txt" }
     s == 1 && /regression file/ { $0 = "8.916787e-5 0.0767528404 127 6.0e-6 0.098  grid mapping"; s = 2 } { print }' basin.ctl >list.ctl
rm -f rain.asc ./*.mit
ended_early "grid list end" list.ctl wind_list.txt
cd ..

# Writes on process 0 alone that fail (a grid written every step, a table written at the end):
# every process stops with the code and ends on its own (none is aborted: each diagnostics file
# holds the end line), so the status is the code. Its own copy of the basin.
# stopped_with <case> <code>: every process ended on its own with the code (none was aborted).
stopped_with() {
  local r
  for ((r = 0; r < np; ++r)); do
    grep -q "description= \"Program aborted with exit code $2\"" Talvo_Diag_$r.xml ||
      fail "$1: process $r did not stop with $2 on its own"
  done
}
mkdir one_writer && cp -r "$here"/../../examples/basin/. one_writer/ && cd one_writer || fail "one writer: copy"
cp basin.ctl plain.ctl
sed -i '/^rain.asc /{n;s/^0 /1 /;}' basin.ctl
mkdir rain.asc.part
for entry in "grid written every step|26|error creating rain.asc for writing in text mode." "table written at the end|16|cannot close Qg.txt"; do
  IFS='|' read -r name want text <<<"$entry"
  rm -f Talvo_Diag_*.xml
  run basin.ctl
  status=$?
  [ "$status" -eq "$want" ] || { tail -5 out.0.txt; fail "one writer, $name: exit status $status, expected $want"; }
  found "$text" || fail "one writer, $name: no \"$text\""
  found "reason given by the operating system: Is a directory" || fail "one writer, $name: no reason"
  stopped_with "one writer, $name" "$want"
  # The second case: the grid is written again, the zone table of the soil model cannot be.
  [ -d rain.asc.part ] && { rmdir rain.asc.part; cp plain.ctl basin.ctl; mkdir -p Qg.txt/in_the_way; }
done
# A state file that the last process cannot write (a directory in the way of its temporary
# file): every process stops with 18 before any state file is put in place, and each keeps the
# state of the good run before.
rm -rf Qg.txt
run basin.ctl || fail "one writer, good run: exit status $?"
md5sum soilstate.txt_* surfrout_state_* >states.good
mkdir -p "soilstate.txt_$((np - 1)).part/in_the_way"
rm -f Talvo_Diag_*.xml
run basin.ctl
status=$?
[ "$status" -eq 18 ] || { tail -5 out.0.txt; fail "one writer, state file: exit status $status, expected 18"; }
grep -qF "error writing storage content file soilstate.txt_$((np - 1))" Talvo_Diag_$((np - 1)).xml ||
  fail "one writer, state file: not named"
stopped_with "one writer, state file" 18
md5sum -c --quiet states.good || fail "one writer, state file: the state of the good run changed"
rm -rf "soilstate.txt_$((np - 1)).part"
ls ./*state*.part >/dev/null 2>&1 && { ls ./*state*.part; fail "one writer, state file: temporary files left behind"; }
# A zone table whose buffer fills within the run (a row every step for four years) and cannot be
# put in place: process 0 finds it within a step, every process stops at the start of the next.
make_long_basin 0 4
sed -i 's/^precipitation_zones.txt 4024 /precipitation_zones.txt 4001 /' long.ctl
rm -f precipitation_zones.txt && mkdir precipitation_zones.txt
rm -f Talvo_Diag_*.xml
run long.ctl
status=$?
[ "$status" -eq 16 ] || { tail -5 out.0.txt; fail "one writer, table within the run: exit status $status, expected 16"; }
found "cannot close precipitation_zones.txt" || fail "one writer, table within the run: not named"
stopped_with "one writer, table within the run" 16
cd ..

# Each case: name | expected status | texts process 0 must log | corruption of the copy of the
# control file or inputs. Mistakes are named where they are made.
cases=(
  "negative_step|63|the time step -60 minutes as given in the section for the module unsatzon_model must be greater than 0|awk '/^\\[unsatzon_model\\]/ { s = 1 } s && /time step in minutes/ { sub(/^60/, \"-60\"); s = 0 } { print }' good.ctl >basin.ctl"
  "offset_too_long|63|min_to_int_end is the fourth value of the section [output_interval] of the control file|sed 's/^0       min_to_int_end/90      min_to_int_end/' good.ctl >basin.ctl"
  "missing_grid|21|reason given by the operating system: No such file or directory|mv soil.asc soil.asc.away"
  "missing_station_file|49|reason given by the operating system: No such file or directory|rm wind_speed.dat"
  "missing_warm_start_stack|21|error opening theta.stk~reason given by the operating system: No such file or directory|sed 's/^0                initial state from/1                initial state from/' good.ctl >basin.ctl"
  "station_gap|52|the dates of temperature.dat do not advance by one time step|sed -i '/^2020 1 2 5 /d' temperature.dat"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r name want text corrupt <<<"$entry"
  cp good.ctl basin.ctl
  cp -r "$here"/../../examples/basin/*.dat .
  eval "$corrupt" || fail "$name: corruption failed"
  run basin.ctl
  status=$?
  [ "$status" -eq "$want" ] || { tail -5 out.0.txt; fail "$name: exit status $status, expected $want"; }
  # Several texts are separated by "~".
  IFS='~' read -r -a texts <<<"$text"
  for t in "${texts[@]}"; do found "$t" || fail "$name: no \"$t\""; done
  # One FATAL entry names the mistake; the top level adds its two.
  fatal=$(grep -c 'level="0"' Talvo_Diag_0.xml)
  [ "$fatal" -le 4 ] || { grep 'level="0"' Talvo_Diag_0.xml; fail "$name: $fatal FATAL entries"; }
  [ -f soil.asc.away ] && mv soil.asc.away soil.asc
  results >checksums.now
  # A run that fails in the middle has rewritten the grids written every step (write code 1);
  # its tables and state files stay those of the good run.
  if [ "$name" = station_gap ]; then
    grep -E '(\.txt|state.*_[0-9]+)$' checksums.good >checksums.want
    grep -E '(\.txt|state.*_[0-9]+)$' checksums.now >checksums.got
  else
    cp checksums.good checksums.want; cp checksums.now checksums.got
  fi
  diff checksums.want checksums.got >/dev/null || { diff checksums.want checksums.got; fail "$name: results of the good run changed"; }
  ls ./*.part >/dev/null 2>&1 && { ls ./*.part; fail "$name: temporary files left behind"; }
done

# A good run after them puts its own tables in place, the same as the first.
cp good.ctl basin.ctl; cp -r "$here"/../../examples/basin/*.dat .
run basin.ctl || fail "second good run: exit status $?"
results >checksums.now
diff checksums.good checksums.now || fail "second good run: results differ from the first"
echo "failed run test passed with $np processes"
