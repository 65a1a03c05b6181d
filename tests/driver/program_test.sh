#!/usr/bin/env bash
# Runs the program as a user would: no argument, and options without a control file.
# Then runs the example basin and compares its diagnostics with the expected ones.
# usage: program_test.sh <talvo> <processes> <mpiexec> <work dir>
set -u
exe=$1; np=$2; mpiexec=$3; wd=$4
rm -rf "$wd"; mkdir -p "$wd"; cd "$wd" || exit 1
fail() { echo "FAIL: $*"; exit 1; }

# No argument: banner, thread report, usage, abort with code 2.
# Each process writes its console text to a file of its own (out.<rank>.txt), so that lines of
# different processes never interleave.
run() { "$mpiexec" -n "$np" -outfile-pattern 'out.%r.txt' -errfile-pattern 'err.%r.txt' "$exe" "$@"; }
run
status=$?
cat out.*.txt >out.txt
[ "$status" -eq 2 ] || fail "no argument: exit status $status, expected 2"
grep -q "This is OpenMP thread 0" out.txt || fail "thread report missing"
grep -q "\*\*\* There are [0-9]* OpenMP threads total for MPI process 0" out.txt || fail "thread total missing"
grep -q "^usage: talvovz" out.0.txt || fail "usage text missing"
grep -q "Exception 2 caught at top level!" out.txt || fail "top-level line missing"
grep -q "Program aborted with exit code 2" out.txt || fail "abort line missing"
grep -q "FATAL: " out.txt && fail "console shows a prefix"
for ((r = 0; r < np; r++)); do
  f=Talvo_Diag_$r.xml
  [ -f "$f" ] || fail "$f missing"
  head -1 "$f" | grep -q "^<?xml version='1.0' encoding='UTF-8'?>$" || fail "$f: declaration"
  grep -q '<Diag version="1.2"' "$f" || fail "$f: root"
  grep -q 'description= "Talvo start at ' "$f" || fail "$f: start line"
  grep -q 'description= "Talvo finished at ' "$f" || fail "$f: finish line"
  [ "$(tail -1 "$f")" = "</Diag>" ] || fail "$f: not closed"
  grep -q '<line level="0" description= "Exception 2 caught at top level!"/>' "$f" || fail "$f: fatal entry"
done

# Only options: no control file to run is the usage answer of no argument, status 2; the last
# -diagfile: wins and is never a control file.
rm -f ./*.xml out.*.txt
run -diagfile:first.xml -diagfile:run.d/diag -diaglevel:warning -dumpmode
status=$?
[ "$status" -eq 2 ] || fail "options only: exit status $status, expected 2"
grep -q "^usage: talvovz" out.0.txt || fail "options only: usage text missing"
[ -f first_0.xml ] && fail "an earlier -diagfile: was used"
# run.d does not exist: every process falls back to its own default file.
for ((r = 0; r < np; r++)); do
  [ -f Talvo_Diag_$r.xml ] || fail "fallback file of process $r missing"
  grep -q 'level="4"' Talvo_Diag_$r.xml && fail "DEBUG entries written at level WARNING"
done
mkdir -p run.d
"$mpiexec" -n "$np" "$exe" -diagfile:run.d/diag >/dev/null 2>&1
[ $? -eq 2 ] || fail "diag file in directory: exit status"
# An unknown level word is named, with the words that are accepted.
rm -f out.*.txt
run -diaglevel:loud
grep -q "unknown diagnostics level \"loud\" in -diaglevel:, accepted are FATAL, ERROR, WARNING, INFO and DEBUG" \
  out.0.txt || fail "unknown -diaglevel: word not reported"
[ -f run.d/diag_0.xml ] || fail "run.d/diag_0.xml missing"

# The example basin: every sub-model off, status 0, the end-of-run sequence, and the same
# diagnostics of process 0 whatever the number of processes. The basin ships the speed factors
# of its processes, so that the shares do not depend on a benchmark.
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p basin && cp -r "$here"/../../examples/basin/. basin/ && cd basin || fail "example basin missing"
basin_run=$(pwd)
run basin.ctl
status=$?
cp out.0.txt out.txt
[ "$status" -eq 0 ] || { cat out.txt; fail "example basin: exit status $status"; }
expected=("end of initialization reached..." "reached end of simulation sucessfully" "o.k." "deleting modules..."
          "exitcode 0" "o.k." "the end.")
line=0
for text in "${expected[@]}"; do
  next=$(awk -v t="$text" -v from="$line" 'NR > from && $0 == t { print NR; exit }' out.txt)
  [ -n "$next" ] || fail "example basin: \"$text\" missing or out of order"
  line=$next
done
for ((r = 0; r < np; r++)); do [ -f "basin.ctl_$r.\$\$\$" ] || fail "compiled control file of process $r missing"; done
# Lines that name times, build dates or the speed and cell share of each process are left out.
grep -v 'compiled at\|Talvo start at\|Talvo finished at\|here is instance\|MPI wtime\|MPI performance weight\|MPI num cells' \
  Talvo_Diag_0.xml >diag0.txt
# Every expected line appears, in this order; entries that further work adds in between are allowed,
# but no FATAL, ERROR or WARNING entry.
awk 'BEGIN { n = 0; i = 0 } NR == FNR { want[n++] = $0; next } i < n && $0 == want[i] { i++ }
     END { if (i < n) { print "missing or out of order: " want[i]; exit 1 } }' "$here/example_basin_diag.txt" diag0.txt ||
  { cat diag0.txt; fail "example basin: diagnostics differ"; }
grep -q 'level="[012]"' diag0.txt && { cat diag0.txt; fail "example basin: FATAL, ERROR or WARNING entries"; }
# No process finds a section of the control file that no module reads (the rule sections of the
# reservoirs are read by process 0 alone).
for ((r = 0; r < np; r++)); do
  grep -q 'is read by no module' "Talvo_Diag_$r.xml" && { grep 'is read by no module' "Talvo_Diag_$r.xml"; fail "example basin: unread section on process $r"; }
done
# The example's tables and grids are the same whatever the number of processes: every file of
# example/ is compared with the file of that name that the run wrote.
# Groundwater heads are solved by over-relaxation in place, which is not bitwise the same over
# processes and threads, and the soil columns above take their base flow: the files of
# example_tolerance/ agree word by word, numbers within 1e-4 or one unit of their sixth digit.
compare_outputs() {
  for golden in "$here"/example/*; do
    out=$(basename "$golden")
    cmp -s "$out" "$golden" || { diff "$golden" "$out" | head -20; fail "example basin${1:+ ($1)}: $out differs"; }
  done
  for golden in "$here"/example_tolerance/*; do
    out=$(basename "$golden")
    [ -f "$out" ] || fail "example basin${1:+ ($1)}: $out missing"
    awk -v tol=1e-4 'function num(x) { return x ~ /^[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?$/ }
      function abs(x) { return x < 0 ? -x : x }
      # One unit of the last of the six significant digits a number is printed with.
      function digit(x) { return x == 0 ? 0 : 10 ^ (int(log(abs(x)) / log(10) + 100) - 100 - 5) }
      NR == FNR { line[FNR] = $0; n = FNR; next }
      { if (FNR > n) { print "extra line " FNR; bad = 1; exit }
        k = split(line[FNR], g); if (k != NF) { print "line " FNR ": " NF " words, expected " k; bad = 1; exit }
        for (i = 1; i <= NF; i++) {
          same = num($i) && num(g[i]) ? abs($i - g[i]) <= tol || abs($i - g[i]) <= 1.01 * digit(g[i]) : $i == g[i]
          if (!same) { print "line " FNR ", word " i ": " $i ", expected " g[i]; bad = 1; exit } } }
      END { if (!bad && FNR != n) { print "missing lines"; bad = 1 } exit bad }' "$golden" "$out" ||
      fail "example basin${1:+ ($1)}: $out differs beyond 1e-4"
  done
}
compare_outputs
# The tracer comes with the rain at 1 mg/l (the stores start without it); the water that evaporates
# leaves it behind, which raises the channels' concentration a little above 1 mg/l in these three
# days. No lake or reservoir comes near 2 mg/l (the soil keeps the lake cells' tracer as a load,
# mm times mg/l, that the lake divides by its cells' water; taken as a concentration it made 25).
for f in lake_2.txt reservoir_1.txt; do
  awk -F'\t' 'NR > 2 && $35 + 0 > 2 { print FILENAME ": " $1 "-" $2 "-" $3 " " $4 " h: " $35 " mg/l"; bad = 1; exit }
               END { exit bad }' "$f" || fail "example basin: a concentration above the inputs' in $f"
done
# With one process, the same again with one thread and with eight (fewer where the machine has
# fewer cores): results never depend on the number of threads.
if [ "$np" -eq 1 ]; then
  cores=$(nproc)
  for threads in 1 $((cores < 8 ? cores : 8)); do
    rm -rf ../threads && mkdir -p ../threads && cp -r "$here"/../../examples/basin/. ../threads/ && cd ../threads || fail "copy"
    OMP_NUM_THREADS=$threads "$mpiexec" -n 1 "$exe" basin.ctl >out.txt 2>&1 || { tail -20 out.txt; fail "example basin with $threads threads: exit status $?"; }
    compare_outputs "$threads threads"
  done
fi
# The glacier variant of the example basin: the same tables and grids at any number of
# processes and threads.
rm -rf "$wd/glacier" && mkdir -p "$wd/glacier" && cp -r "$here"/../../examples/basin/. "$wd/glacier"/ &&
  cd "$wd/glacier" && bash glacier_variant.sh . || fail "glacier example: copy"
run glacier.ctl >/dev/null 2>&1
status=$?
[ "$status" -eq 0 ] || { tail -20 out.0.txt; fail "glacier example: exit status $status"; }
for golden in "$here"/example_glacier/*; do
  cmp -s "$(basename "$golden")" "$golden" || { diff "$golden" "$(basename "$golden")" | head; fail "glacier example: $(basename "$golden") differs"; }
done
# Outside the basin the yearly glacier balance is 0, not nodata, at any number of processes.
tail -n +7 glacier_balance.asc | grep -q -- -9999 && fail "glacier example: nodata outside the basin in glacier_balance.asc"

# The example basin with the soil model, surface routing and groundwater off: the routing
# network (subbasins 1 and 2 into 3 with a tributary, a joined channel and a constant inflow) is
# set up, then the run stops, as there is no runoff to route. Its water-level/discharge tables are
# put in place at the normal end only: the failed run leaves none; the good run of the example
# basin (the same network) wrote them, the same at any number of processes.
rm -rf "$wd/routing" && mkdir -p "$wd/routing" && cp -r "$here"/../../examples/basin/. "$wd/routing"/ &&
  cd "$wd/routing" || fail "routing example: copy"
cp basin.ctl routing.ctl
# Without the soil model and surface routing there is no runoff to route (and no ponding for the
# lake: lakes off too).
. "$here/ctl_edit.sh"
set_flow_control routing.ctl 0 SurfaceRoutingModel unsatzon_model groundwater_flow irrigation lake_model
run routing.ctl >/dev/null 2>&1
status=$?
[ "$status" -eq 43 ] || fail "routing example: exit status $status, expected 43"
# The routing lives on process 0 alone; every process stops with its code and ends on its own
# (none is aborted), so the status is the code every time.
for ((r = 0; r < np; r++)); do
  grep -q 'description= "Program aborted with exit code 43"' Talvo_Diag_$r.xml ||
    fail "routing example: process $r did not stop with the code 43"
done
grep -q "^No valid discharges for discharge routing!" out.0.txt || { cat out.0.txt; fail "routing example: no stop for missing runoff"; }
grep -q "^number inbetween areas (routings)    : 3" out.0.txt || fail "routing example: descriptions not counted"
ls wq_tab* >/dev/null 2>&1 && { ls wq_tab*; fail "routing example: the failed run left water-level/discharge tables"; }
for golden in "$here"/example_routing/*; do
  out=$basin_run/$(basename "$golden")
  cmp -s "$out" "$golden" || { diff "$golden" "$out" | head -20; fail "routing example: $out differs"; }
done
echo "program test passed with $np processes"
