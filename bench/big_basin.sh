#!/usr/bin/env bash
# Whole-model speed and memory on a big basin generated from the example basin: every grid of
# the example is refined by a factor (scripts/refine_grids.sh: each cell becomes factor x factor
# cells of a cellsize divided by the factor, so the basin keeps its extent, stations, subbasins and
# network). The example holds 24 x 20 cells of 250 m: factor 25 makes 600 x 500 cells of 10 m. The
# basin is written to a temporary directory and removed afterwards. Runs the model and prints
# the set-up time and the time of the steps apart, cell-steps per second per core, the bytes the
# grid store holds at the end of the set-up and the peak memory of each process against it, and
# the table of the times of the run's parts when TALVO_STEP_TIMES is set. Threads per process:
# OMP_NUM_THREADS (default 1). Sub-models: all of the example's (default), or "meteo": only the
# meteorological ones (station interpolation, precipitation correction, regional superposition,
# radiation and temperature correction, evapotranspiration and their outputs), every sub-model
# after the evapotranspiration switched off in the copied control file. Prints figures, never
# fails on them.
# usage: big_basin.sh <talvo> [factor (default 25)] [hours (default 24)] [processes (default 1)]
#                     [mpiexec (default mpiexec)] [grids: text (default, as the example) or binary]
#                     [sub-models: all (default) or meteo]
set -u
exe=$(readlink -f "$1"); factor=${2:-25}; hours=${3:-24}; np=${4:-1}; mpiexec=${5:-mpiexec}; grids=${6:-text}
models=${7:-all}
here=$(cd "$(dirname "$0")" && pwd)
threads=${OMP_NUM_THREADS:-1}
work=$(mktemp -d "${TMPDIR:-/tmp}/talvo_big_basin.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp -r "$here"/../examples/basin/. "$work"/ && cd "$work" || exit 1

bash "$here/../scripts/refine_grids.sh" "$factor" ./*.asc || exit 1
# The run ends after the given hours of its first day: the eight lines after "[model_time]" hold
# the start hour, day, month and year, then the end hour, day, month and year.
t=$(grep -n '^\[model_time\]' basin.ctl | head -1 | cut -d: -f1)
awk -v t="$t" -v h="$hours" 'NR == t + 5 { $1 = h % 24 == 0 ? 24 : h % 24 } NR == t + 6 { $1 = int((h - 1) / 24) + 1 }
  { print }' basin.ctl >basin.ctl.new && mv basin.ctl.new basin.ctl
if [ "$grids" = binary ]; then
  sed -i 's/^WriteAsciiGrids = 1/WriteAsciiGrids = 0/' basin.ctl
fi
if [ "$models" = meteo ]; then
  # From the snow model on, the first line of a section that reads "flow control parameter" is
  # its switch: 0 turns the sub-model off (the glacier section belongs to the snow model).
  awk '/^\[/ { if ($0 == "[snow_model]") after = 1; first = 1; print; next }
    after && first && /flow control parameter/ { sub(/^[0-9]+/, "0") } { first = 0; print }' basin.ctl >basin.ctl.new &&
    mv basin.ctl.new basin.ctl
fi
cells=$(awk 'NR > 6 { for (i = 1; i <= NF; i++) if ($i != -9999) n++ } END { print n + 0 }' zones.asc)
# Steps of the run: hourly from the start to the end of the control file's period.
steps=$(awk -v t="$t" 'NR > t && NR <= t + 8 { v[NR - t] = $1 } END {
  s = mktime(v[4] " " v[3] " " v[2] " " v[1] " 0 0"); e = mktime(v[8] " " v[7] " " v[6] " " v[5] " 0 0")
  print int((e - s) / 3600) + 1 }' basin.ctl)

start=$(date +%s%N)
set_up=""
# Each process under /usr/bin/time (its peak memory into peak.<rank>.txt), its console line-buffered
# so that the end of the set-up is seen when it happens; then the processor time process 0 has
# used so far (user + system) is read from /proc: on a loaded machine it is the set-up's own cost.
tick=$(getconf CLK_TCK)
OMP_NUM_THREADS=$threads "$mpiexec" -n "$np" bash -c \
  'echo $$ >"time.${PMI_RANK:-0}.pid"; exec /usr/bin/time -f "peak_kb %M" -o "peak.${PMI_RANK:-0}.txt" stdbuf -oL "$0" basin.ctl' \
  "$exe" 2>&1 |
  while IFS= read -r line; do
    if [ -z "$set_up" ] && [ "$line" = "end of initialization reached..." ]; then
      set_up=$(date +%s%N); echo "$set_up" >setup_done.txt
      child=$(pgrep -P "$(cat time.0.pid 2>/dev/null)" 2>/dev/null | head -1)
      [ -n "$child" ] && awk -v t="$tick" '{ sub(/^.*\) /, ""); print ($12 + $13) / t }' "/proc/$child/stat" >setup_cpu.txt
    fi
    echo "$line" >>out.txt
  done
end=$(date +%s%N)
status=$(grep -c "reached end of simulation sucessfully" out.txt)
set_up=$(cat setup_done.txt 2>/dev/null || echo "$end")
awk -v s="$start" -v u="$set_up" -v e="$end" -v cells="$cells" -v steps="$steps" -v np="$np" -v t="$threads" \
    -v f="$factor" -v ok="$status" -v g="$grids" -v cpu="$(cat setup_cpu.txt 2>/dev/null)" -v m="$models" 'BEGIN {
  setup = (u - s) / 1e9; run = (e - u) / 1e9
  printf "big basin: factor %d, %d basin cells, %d steps, %d processes x %d threads, %s grids%s%s\n", f, cells, steps, np, t, g,
         (m == "meteo" ? ", meteorological sub-models only" : ""), (ok > 0 ? "" : " (the run did not reach its end)")
  printf "set-up %.2f s, steps %.2f s\n", setup, run
  if (cpu != "") printf "set-up processor time of process 0: %.2f s\n", cpu
  if (run > 0) printf "whole model: %.3g cell-steps/s, %.3g cell-steps/s per core\n", cells * steps / run, cells * steps / run / (np * t)
}'
# Process 0's figure from its own diagnostics file: on the console the lines of several processes
# can run into each other, so there only a whole line counts.
bytes=$(grep -ho "the grid store holds [0-9]* bytes on this process" ./*_0.xml 2>/dev/null | head -1 | awk '{ print $5 }')
[ -n "$bytes" ] || bytes=$(grep -Ex "the grid store holds [0-9]+ bytes on this process" out.txt | head -1 | awk '{ print $5 }')
for p in peak.*.txt; do
  [ -f "$p" ] || continue
  kb=$(awk '/peak_kb/ { print $2 }' "$p")
  awk -v kb="$kb" -v b="${bytes:-0}" -v name="${p//[!0-9]/}" 'BEGIN {
    printf "process %s: peak memory %.1f MB, grid store %.1f MB", name, kb / 1024, b / 1048576
    if (b > 0) printf ", ratio %.2f", kb * 1024 / b
    printf "\n" }'
done
# The timing table of the run's parts, when TALVO_STEP_TIMES asked for it.
sed -n '/^step times of/,/^processor seconds per process/p' out.txt
echo "load: $(uptime)"
