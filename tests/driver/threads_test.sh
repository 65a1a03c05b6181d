#!/usr/bin/env bash
# The program's own thread set-up. With OMP_NUM_THREADS unset each process runs the cores of the
# machine shared among its processes (at least one); a set OMP_NUM_THREADS holds. Idle threads
# spin briefly (GNU runtime: GOMP_SPINCOUNT 10000) unless the user chose a wait policy. The example
# basin with threads unset writes the same tables and grids as with one thread (whose run times
# the parts of its steps, TALVO_STEP_TIMES=1), and the times of both runs are printed; each run reports the bytes of its grid store at the end of the set-up.
# usage: threads_test.sh <talvo> <processes> <mpiexec> <work dir>
set -u
exe=$1; np=$2; mpiexec=$3; wd=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
rm -rf "$wd"; mkdir -p "$wd"; cd "$wd" || exit 1

cores=$(getconf _NPROCESSORS_ONLN)
want=$((cores / np)); [ "$want" -le "$(env -u OMP_NUM_THREADS nproc)" ] || want=$(env -u OMP_NUM_THREADS nproc); [ "$want" -ge 1 ] || want=1
env -u OMP_NUM_THREADS "$mpiexec" -n "$np" "$exe" >out.txt 2>&1
[ $? -eq 2 ] || fail "no argument: exit status, expected 2"
for ((r = 0; r < np; r++)); do
  grep -q "^\*\*\* There are $want OpenMP threads total for MPI process $r$" out.txt ||
    { grep "There are" out.txt; fail "threads unset: process $r does not run $want threads ($cores cores, $np processes)"; }
done
OMP_NUM_THREADS=3 "$mpiexec" -n "$np" "$exe" >out.txt 2>&1
[ "$(grep -c '^\*\*\* There are 3 OpenMP threads total' out.txt)" -eq "$np" ] || fail "OMP_NUM_THREADS=3 not kept"

# The wait policy as the GNU runtime reports it; skipped where the runtime reports no spin count.
env -u OMP_WAIT_POLICY -u GOMP_SPINCOUNT OMP_DISPLAY_ENV=verbose "$mpiexec" -n 1 "$exe" >env.txt 2>&1
if grep -q "GOMP_SPINCOUNT = " env.txt; then
  grep -q "GOMP_SPINCOUNT = '10000'" env.txt || fail "no brief spinning without a wait policy"
  env -u GOMP_SPINCOUNT OMP_WAIT_POLICY=active OMP_DISPLAY_ENV=verbose "$mpiexec" -n 1 "$exe" >env.txt 2>&1
  grep -q "GOMP_SPINCOUNT = '10000'" env.txt && fail "the user's OMP_WAIT_POLICY was overridden"
  grep -q "OMP_WAIT_POLICY = 'ACTIVE'" env.txt || fail "OMP_WAIT_POLICY=active not reported"
fi

# The example basin, once with one thread and once with threads unset.
for run in one unset; do
  mkdir -p $run && cp -r "$here"/../../examples/basin/. $run/ && cd $run || fail "copy"
  start=$(date +%s%N)
  if [ $run = one ]; then
    # With the timing of the step's parts on: the same outputs, and a table at the end.
    TALVO_STEP_TIMES=1 OMP_NUM_THREADS=1 "$mpiexec" -n "$np" "$exe" basin.ctl >out.txt 2>&1
  else
    env -u OMP_NUM_THREADS "$mpiexec" -n "$np" "$exe" basin.ctl >out.txt 2>&1
  fi
  status=$?
  end=$(date +%s%N)
  [ $status -eq 0 ] || { tail -20 out.txt; fail "example basin ($run): exit status $status"; }
  echo "example basin, $np processes, threads $run: $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", (b - a) / 1e9 }') s"
  cd ..
done
# The timing table: every part with its calls (soil once per sub-step), the processor time of
# each process; none without TALVO_STEP_TIMES.
grep -q "^step times of $np processes" one/out.txt || fail "TALVO_STEP_TIMES=1: no timing table"
awk '$1 == "soil" && $2 ~ /^[1-9][0-9]*$/ { found = 1 } END { exit !found }' one/out.txt || fail "timing table: no soil line"
awk '$1 == "whole" && $2 == "step" && $3 >= 1 { found = 1 } END { exit !found }' one/out.txt || fail "timing table: no whole steps"
awk -v n="$np" '/^processor seconds per process:/ { found = (NF - 4 == n) } END { exit !found }' one/out.txt ||
  fail "timing table: not one processor time per process"
# The groundwater solve's own rows: its sweeps, its waits for halo rows and its agreements, each
# with a call per layer solved (the example's two layers in every step, as many as the part's).
steps=$(awk '$1 == "groundwater" && NF == 8 { print $2; exit }' one/out.txt)
for row in "sweeps" "halo waits" "agreements"; do
  awk -v r="groundwater: $row" -v n="$steps" 'index($0, r " ") == 1 && NF == 8 + split(r, w, " ") - 1 && $(NF - 6) == 2 * n {
    found = 1 } END { exit !found }' one/out.txt || fail "timing table: no line of the groundwater $row"
done
# The set-up of the sub-models: each sub-model's own part, passed once; so are the parts after
# them up to the first step and MPI's start, so that the table accounts for the whole set-up.
# So are the parts before the sub-models: the control file, the statistics of the standard grids
# with the response units, the meteorological inputs and the tracer descriptions.
for row in "superposition" "radiation, temperature" "snow" "soil" "surface routing" "groundwater" "tracer grids" \
  "discharge routing" "links, lakes" "special output, end" "control file" "statistics, response units" \
  "meteorological inputs" "tracer descriptions"; do
  awk -v r="set-up: $row" 'index($0, r " ") == 1 && NF == 7 + split(r, w, " ") && $(NF - 6) == 1 {
    found = 1 } END { exit !found }' one/out.txt || fail "timing table: no line of the set-up of the $row"
done
awk '$1 == "MPI" && $2 == "start" && NF == 9 && $3 == 1 { found = 1 } END { exit !found }' one/out.txt ||
  fail "timing table: no line of MPI's start"
# The rest of the program's start and its end, passed once each; the finer rows of the set-ups of
# the snow and of the soil, once each.
for row in "start: banner, threads" "end of the run" "snow set-up: slide order" "snow set-up: zero grids" \
  "soil set-up: own grids" "soil set-up: start state"; do
  awk -v r="$row" 'index($0, r " ") == 1 && NF == 7 + split(r, w, " ") && $(NF - 6) == 1 {
    found = 1 } END { exit !found }' one/out.txt || fail "timing table: no line of the $row"
done
grep -q "^step times" unset/out.txt && fail "a timing table without TALVO_STEP_TIMES"
# The end of the set-up reports the bytes of the grid store of each process.
for run in one unset; do
  grep -q '<line level="3" description= "the grid store holds [1-9][0-9]* bytes on this process"/>' $run/Talvo_Diag_0.xml ||
    fail "example basin ($run): no grid-store entry"
done
for golden in "$here"/example/*; do
  f=$(basename "$golden")
  cmp -s one/"$f" unset/"$f" || fail "example basin: $f differs between one thread and threads unset"
done
echo "load: $(uptime)"
