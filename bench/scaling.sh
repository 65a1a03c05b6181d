#!/usr/bin/env bash
# Strong scaling of the whole model on the big basin of big_basin.sh: the same basin run with
# each process count of the list (one thread each); prints, per count, the set-up and step
# times, the efficiency of the steps and of the whole run against the first count of the list
# (T(first) x first / (T(n) x n)) and cell-steps per second per core. Then the set-up of one
# process at each basin size of the size list (a refinement factor each: cells grow with its
# square), as seconds per million cells (wall clock and processor time of the process), to show
# how the set-up grows with the cells. Factor 25 is the 600 x 500 grid of 10 m cells (the example
# holds 24 x 20 cells of 250 m).
# Prints figures, never fails on them.
# usage: scaling.sh <talvo> [factor (default 25)] [processes (default "1 2 4 8")] [hours (default 6)]
#                   [set-up factors (default "12 25")] [grids: text (default) or binary]
#                   [mpiexec (default mpiexec)]
set -u
exe=$(readlink -f "$1"); factor=${2:-25}; counts=${3:-1 2 4 8}; hours=${4:-6}; sizes=${5:-12 25}
grids=${6:-text}; mpiexec=${7:-mpiexec}
here=$(cd "$(dirname "$0")" && pwd)
run() {  # factor hours processes -> "cells steps set-up seconds set-up-processor-seconds"
  OMP_NUM_THREADS=1 bash "$here/big_basin.sh" "$exe" "$1" "$2" "$3" "$mpiexec" "$grids" | awk '
    /^big basin:/ { for (i = 1; i <= NF; i++) { if ($i == "basin") cells = $(i - 1); if ($i == "steps,") steps = $(i - 1) }
                    if ($0 ~ /did not reach/) failed = 1 }
    /^set-up [0-9]/ { setup = $2; run = $5 }
    /^set-up processor time/ { cpu = $(NF - 1) }
    END { if (failed) print "failed"; else print cells, steps, setup, run, (cpu == "" ? "-" : cpu) }'
}

echo "strong scaling: factor $factor, $hours hours, $grids grids, 1 thread per process"
printf "%9s %10s %10s %10s %8s %8s %16s\n" processes "set-up s" "steps s" "whole s" "E steps" "E whole" "cell-steps/s/core"
first=""
for n in $counts; do
  read -r cells steps setup steptime cpu <<<"$(run "$factor" "$hours" "$n")"
  if [ "$cells" = failed ] || [ -z "${steptime:-}" ]; then
    echo "$n processes: the run did not reach its end"
    continue
  fi
  [ -n "$first" ] || { first=$n; setup1=$setup; steps1=$steptime; }
  awk -v n="$n" -v f="$first" -v s="$setup" -v t="$steptime" -v s1="$setup1" -v t1="$steps1" -v c="$cells" -v k="$steps" 'BEGIN {
    printf "%9d %10.2f %10.2f %10.2f %8.2f %8.2f %16.3g\n", n, s, t, s + t, t1 * f / (t * n), (s1 + t1) * f / ((s + t) * n),
           c * k / t / n }'
done

echo "set-up of one process by basin size ($grids grids)"
printf "%8s %12s %10s %22s %14s %22s\n" factor cells "set-up s" "s per million cells" "processor s" "per million cells"
for f in $sizes; do
  read -r cells steps setup steptime cpu <<<"$(run "$f" 1 1)"
  [ "$cells" = failed ] && { echo "factor $f: the run did not reach its end"; continue; }
  awk -v f="$f" -v c="$cells" -v s="$setup" -v p="$cpu" 'BEGIN {
    printf "%8d %12d %10.2f %22.3f", f, c, s, s / c * 1e6
    if (p == "-") printf "\n"; else printf " %14.2f %22.3f\n", p, p / c * 1e6 }'
done
echo "load: $(uptime)"
