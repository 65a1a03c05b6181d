#!/usr/bin/env bash
# The machine's own ceiling of strong scaling: how fast its cores run the model when all of them
# work at once. A run divided over n processes waits at every step for its slowest process, so
# its efficiency at n cannot exceed what n independent one-process runs of an n-th of the basin
# reach side by side against one of them alone (cores that share caches, memory bandwidth or a
# host with others run slower together; a virtual machine's cores also differ from moment to
# moment). The n-th of the basin is the example refined by factor / sqrt(n), rounded (see
# big_basin.sh). Prints the time of the steps of the run alone (best of the repeats) and of each
# copy side by side, and the ceiling: alone / slowest copy (what a divided run can reach at most)
# and alone / mean copy, then the cores' own speed side by side (cores.sh). Prints figures,
# never fails on them.
# usage: ceiling.sh <talvo> [factor (default 25)] [processes (default 8)] [hours (default 6)]
#                   [grids: text or binary (default)] [sub-models: all (default) or meteo]
#                   [repeats (default 3)]
set -u
exe=$(readlink -f "$1"); factor=${2:-25}; n=${3:-8}; hours=${4:-6}; grids=${5:-binary}; models=${6:-all}
repeats=${7:-3}
here=$(cd "$(dirname "$0")" && pwd)
share=$(awk -v f="$factor" -v n="$n" 'BEGIN { s = int(f / sqrt(n) + 0.5); print (s < 1 ? 1 : s) }')
out=$(mktemp -d "${TMPDIR:-/tmp}/talvo_ceiling.XXXXXX")
trap 'rm -rf "$out"' EXIT
# One one-process run of the share: "cells steps-seconds", or "failed".
one() {
  OMP_NUM_THREADS=1 bash "$here/big_basin.sh" "$exe" "$share" "$hours" 1 mpiexec "$grids" "$models" | awk '
    /^big basin:/ { for (i = 1; i <= NF; i++) if ($i == "basin") cells = $(i - 1); if ($0 ~ /did not reach/) failed = 1 }
    /^set-up [0-9.]+ s, steps/ { steps = $5 }
    END { if (failed || steps == "") print "failed"; else print cells, steps }'
}
echo "machine ceiling: $n one-process runs of factor $share ($hours hours, $grids grids, sub-models: $models)" \
     "side by side against one alone; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((r = 1; r <= repeats; r++)); do
  read -r cells alone <<<"$(one)"
  [ "$cells" = failed ] && { echo "the run alone did not reach its end"; exit 0; }
  for ((i = 0; i < n; i++)); do one >"$out/copy.$i" & done
  wait
  cat "$out"/copy.* | awk -v a="$alone" -v c="$cells" -v r="$r" -v load="$(cut -d' ' -f1 /proc/loadavg)" '
    $1 == "failed" { failed = 1; next }
    { t[++k] = $2; sum += $2; if ($2 > max) max = $2 }
    END {
      if (failed || k == 0) { print "repeat " r ": a copy did not reach its end"; exit }
      printf "repeat %d: %d basin cells per run; steps alone %.2f s, side by side", r, c, a
      for (i = 1; i <= k; i++) printf " %.2f", t[i]
      printf " s; ceiling %.2f (alone / slowest), %.2f (alone / mean)  (load %s)\n", a / max, a * k / sum, load }'
done
# The cores themselves side by side, without the model's memory traffic: when they too run
# slower together, the host and not the model's memory use limits the ceiling.
bash "$here/cores.sh" "$n"
