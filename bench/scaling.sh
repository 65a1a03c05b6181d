#!/usr/bin/env bash
# Strong scaling of the whole model on the big basin of big_basin.sh: the same basin run with
# each process count of the list (one thread each) and with one process of several threads;
# prints, per run, the set-up and step times, the efficiency of the steps and of the whole run
# against the first count of the list (T(first) x first / (T(n) x cores)), cell-steps per second
# per core, and from the run's timing table (TALVO_STEP_TIMES): the share of the step time the
# processes wait in the barriers after the step's parts (mean over the processes; the imbalance
# of the work), the soil model's slowest process against the mean, and the processor seconds
# per process (mean), the load and the slowest of the run's cores side by side just before and
# after the run (bench/cores.sh: 1.00 is a core at full speed; a slower core paces every
# divided run, whatever its division). Then the set-up of one process at each basin size of the
# size list (a refinement factor each: cells grow with its square), as seconds per million cells
# (wall clock and processor time of the process), to show how the set-up grows with the cells. Factor 25 is
# the 600 x 500 grid of 10 m cells (the example holds 24 x 20 cells of 250 m). Sub-models: all
# of the example's (default) or "meteo", the meteorological ones only (see big_basin.sh).
# Prints figures, never fails on them.
# usage: scaling.sh <talvo> [factor (default 25)] [processes (default "1 2 4 8")] [hours (default 6)]
#                   [set-up factors (default "12 25")] [grids: text (default) or binary]
#                   [mpiexec (default mpiexec)] [threads of the one-process run (default 8, 0: none)]
#                   [sub-models: all (default) or meteo]
set -u
exe=$(readlink -f "$1"); factor=${2:-25}; counts=${3:-1 2 4 8}; hours=${4:-6}; sizes=${5:-12 25}
grids=${6:-text}; mpiexec=${7:-mpiexec}; threads=${8:-8}; models=${9:-all}
here=$(cd "$(dirname "$0")" && pwd)
# factor hours processes threads ->
#   "cells steps set-up seconds wait% soil-imbalance cpu-seconds set-up-processor-seconds"
run() {
  TALVO_STEP_TIMES=1 OMP_NUM_THREADS=$4 bash "$here/big_basin.sh" "$exe" "$1" "$2" "$3" "$mpiexec" "$grids" "$models" | awk '
    /^big basin:/ { for (i = 1; i <= NF; i++) { if ($i == "basin") cells = $(i - 1); if ($i == "steps,") steps = $(i - 1) }
                    if ($0 ~ /did not reach/) failed = 1 }
    /^set-up [0-9.]+ s, steps/ { setup = $2; run = $5 }
    /^set-up processor time/ { setupcpu = $(NF - 1) }
    /^step times of/ { table = 1; next }
    /^work per process/ { table = 0; inStep = 0 }
    table && $1 == "whole" && $2 == "step" { whole = $(NF - 4); inStep = 1; next }
    table && inStep { wait += $(NF - 1) }
    table && $1 == "soil" && NF == 8 && $(NF - 4) > 0 { soil = $(NF - 3) / $(NF - 4) }
    /^processor seconds per process:/ { for (i = 5; i <= NF; i++) { cpu += $i; n++ } }
    END { if (failed) print "failed"
          else printf "%s %s %s %s %s %s %s %s\n", cells, steps, setup, run, (whole > 0 ? 100 * wait / whole : -1),
                      (soil > 0 ? soil : -1), (n > 0 ? cpu / n : -1), (setupcpu == "" ? "-" : setupcpu) }'
}

only=""; [ "$models" = meteo ] && only=", meteorological sub-models only"
echo "strong scaling: factor $factor, $hours hours, $grids grids$only; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf "%9s %7s %9s %9s %9s %7s %7s %17s %7s %9s %9s\n" processes threads "set-up s" "steps s" "whole s" "E steps" \
       "E whole" "cell-steps/s/core" "wait %" "soil max" "cpu s"
first=""
# The slowest of the run's cores side by side (cores.sh), just before and just after the run.
slowest() { bash "$here/cores.sh" "$1" | awk '{ print $NF }'; }
row() {  # processes threads
  local n=$1 t=$2 cells steps setup steptime wait soil cpu setupcpu before after
  before=$(slowest $((n * t)))
  read -r cells steps setup steptime wait soil cpu setupcpu <<<"$(run "$factor" "$hours" "$n" "$t")"
  after=$(slowest $((n * t)))
  if [ "$cells" = failed ] || [ -z "${steptime:-}" ]; then
    echo "$n processes x $t threads: the run did not reach its end"
    return
  fi
  [ -n "$first" ] || { first=$((n * t)); setup1=$setup; steps1=$steptime; }
  awk -v n="$n" -v t="$t" -v f="$first" -v s="$setup" -v T="$steptime" -v s1="$setup1" -v t1="$steps1" -v c="$cells" \
      -v k="$steps" -v w="$wait" -v i="$soil" -v u="$cpu" -v load="$(cut -d' ' -f1 /proc/loadavg)" \
      -v cores="$before / $after" 'BEGIN {
    used = n * t
    printf "%9d %7d %9.2f %9.2f %9.2f %7.2f %7.2f %17.3g %7.1f %9.2f %9.2f  (load %s, slowest core %s)\n", n, t, s, T,
           s + T, t1 * f / (T * used), (s1 + t1) * f / ((s + T) * used), c * k / T / used, w, i, u, load, cores }'
}
for n in $counts; do row "$n" 1; done
[ "$threads" -gt 0 ] 2>/dev/null && row 1 "$threads"

echo "set-up of one process by basin size ($grids grids$only)"
printf "%8s %12s %10s %22s %14s %22s\n" factor cells "set-up s" "s per million cells" "processor s" "per million cells"
for f in $sizes; do
  read -r cells steps setup steptime wait soil cpu_mean cpu <<<"$(run "$f" 1 1 1)"
  [ "$cells" = failed ] && { echo "factor $f: the run did not reach its end"; continue; }
  awk -v f="$f" -v c="$cells" -v s="$setup" -v p="$cpu" 'BEGIN {
    printf "%8d %12d %10.2f %22.3f", f, c, s, s / c * 1e6
    if (p == "-") printf "\n"; else printf " %14.2f %22.3f\n", p, p / c * 1e6 }'
done
echo "load: $(uptime)"
