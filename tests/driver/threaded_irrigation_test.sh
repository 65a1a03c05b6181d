#!/usr/bin/env bash
# Irrigation's cell loops and sums, with the zone sums of the other sub-models, give with threads
# the bits of one thread: the half-year basin refined to 96 x 80 cells (a team in every threaded
# loop), 6 January, hours 1 to 12, when irrigation starts drawing on the rivers; zone tables of a
# row per step; runs with one, three and four threads. The sums in row order are visited by the
# threads in pieces and added piece after piece.
# usage: threaded_irrigation_test.sh <talvo> <processes> <mpiexec> <work dir>
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
program_test_start "$@"
rm -rf "$wd"; mkdir -p "$wd" || fail "work directory"

for threads in 1 3 4; do
  run=$wd/threads_$threads
  mkdir -p "$run" && cp -r "$here"/../../examples/basin/. "$run"/ && cd "$run" || fail "copy of the basin"
  bash half_year.sh . >/dev/null || fail "half_year.sh"
  bash "$here/../../scripts/refine_grids.sh" 4 ./*.asc >/dev/null || fail "refining the grids"
  # The lines after "[model_time]" hold the start hour, day, month and year, then the end's.
  t=$(grep -n '^\[model_time\]' basin.ctl | head -1 | cut -d: -f1)
  awk -v t="$t" 'NR == t + 1 { $1 = 1 } NR == t + 2 { $1 = 6 } NR == t + 5 { $1 = 12 } NR == t + 6 { $1 = 6 }
                 NR == t + 7 { $1 = 1 } { print }' basin.ctl >basin.ctl.new && mv basin.ctl.new basin.ctl
  sed -E -i 's/^([^ \t]+[ \t]+[1-6])024([ \t]|$)/\1001\2/; s/statcode = ([1-6])024 /statcode = \1001 /
             s/^(snow_evap_zones\.txt[ \t]+)0([ \t])/\14001\2/' basin.ctl
  touch .inputs
  run_with_threads "$threads"
done

cd "$wd" || fail "work directory"
compared=0
for f in $(cd threads_1 && find . -type f -newer .inputs | sort); do
  case "$f" in ./console.txt | *.xml | *.log) continue ;; esac
  for threads in 3 4; do
    [ -f "threads_$threads/$f" ] || fail "$f missing with $threads threads"
    cmp -s "threads_1/$f" "threads_$threads/$f" || fail "$f differs between 1 and $threads threads"
  done
  compared=$((compared + 1))
done
[ $compared -ge 40 ] || fail "only $compared outputs compared"
# The irrigation took water from the rivers (the tables of the comparison hold values).
tail -n +4 threads_1/irrigation_river_zones.txt | awk '$NF + 0 > 0 { found = 1 } END { exit !found }' ||
  fail "no irrigation from the rivers in the window"
echo "threaded irrigation test passed ($compared files)"
