#!/usr/bin/env bash
# The interrupt menu through mpiexec: process 0 gets SIGINT while the example basin runs over
# thirty years of hourly data, and the answer comes on standard input. "end after this
# interval" (1) ends with status 99, "cancel now" (2) with 98, and after "flush buffers" (3)
# the next interrupt shows the menu again.
# usage: interrupt_test.sh <talvo> <processes> <mpiexec> <work dir>
set -u
exe=$1; np=$2; mpiexec=$3; wd=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
. "$here/ctl_edit.sh"
rm -rf "$wd"; mkdir -p "$wd"; cp -r "$here"/../../examples/basin/. "$wd"/; cd "$wd" || fail "work directory"
# Sixty years with only the interpolation on: long enough to interrupt twice, however fast the build.
make_long_basin 0 60
# A name of its own, so that a test run beside this one is never signalled.
ctl=menu_np$np.ctl
mv long.ctl "$ctl"

# Waits until the file holds the text n times (at most 90 s: a loaded machine is slow).
wait_for() {
  for _ in $(seq 1800); do [ "$(grep -ac "$2" "$1")" -ge "$3" ] && return 0; sleep 0.05; done
  return 1
}

# answers: the menu answers in order, one interrupt each
drive() {
  local expected=$1; shift
  local out=out_$*.txt
  rm -f answers; mkfifo answers
  OMP_NUM_THREADS=1 "$mpiexec" -n "$np" "$exe" "$ctl" <answers >"$out" 2>&1 &
  local launcher=$!
  exec 7>answers
  wait_for "$out" "end of initialization reached" 1 || fail "answers $*: the run did not start"
  # Some days run first, so that the zone tables have rows to flush.
  sleep "${PAUSE_START:-1}"
  # Process 0 is the oldest process of the program.
  local pid
  pid=$(pgrep -o -f "^$exe $ctl") || fail "answers $*: no process"
  local n=0
  for answer in "$@"; do
    n=$((n + 1))
    kill -INT "$pid"
    wait_for "$out" "choose one of the above options" "$n" || { exec 7>&-; fail "answers $*: menu $n not shown"; }
    echo "$answer" >&7
    # After "flush buffers" the run goes on; the next interrupt comes once the menu is re-armed.
    [ "$answer" = 3 ] && sleep "${PAUSE_REARM:-1.5}"
  done
  # Standard input stays open until the run has ended: MPICH's launcher that sees it close while
  # the processes end can fail writing to its own control socket and report status 255.
  wait "$launcher"
  local status=$?
  exec 7>&-
  [ "$status" -eq "$expected" ] || { tail -20 "$out"; fail "answers $*: status $status, expected $expected"; }
}

drive 99 1
grep -aq "exitcode 99" out_1.txt || fail "answer 1: no exitcode line"
drive 98 2
drive 99 3 1

# The whole model over its half-year: "flush buffers" (3) and then "end after this interval" (1)
# lose nothing. No table waits under its temporary name, the tables written every step end on
# the same step, the daily tables on that step's day (or the day before, when the day has not
# ended), and the state file of every process holds the soil's and the snow's sections (process 0
# the routing's too). The run leaves every state a warm start reads (warm_state_ctl), and a warm
# start from the state written at answer 1 continues it: a day of it equals that day of a run
# from the start that was not interrupted.
mkdir -p "$wd/whole" && cp -r "$here"/../../examples/basin/. "$wd/whole"/ && cd "$wd/whole" || fail "whole: copy"
bash half_year.sh . || fail "whole: half_year.sh"
# Without the lake: its outflow follows its level, which a warm start takes from the six digits
# of the routing's state, so the day after the interrupt would not be equal to the day not
# interrupted beyond those digits (warm_season_test.sh counts a lake within them).
set_flow_control basin.ctl 0 lake_model || fail "whole: lake off"
cp -r "$wd/whole" "$wd/pristine" || fail "whole: copy"
ctl=whole_np$np.ctl
warm_state_ctl basin.ctl "$ctl"
# The half-year takes about a second and a half in a Release build: short pauses, so that both
# interrupts come while it runs (the menu is armed again as soon as the buffers are flushed).
PAUSE_START=0.2 PAUSE_REARM=0.3 drive 99 3 1
ls ./*.part >/dev/null 2>&1 && { ls ./*.part; fail "whole model: tables left under their temporary names"; }
last_step=$(awk '$1 ~ /^20[0-9][0-9]$/ { d = sprintf("%04d%02d%02d%02d", $1, $2, $3, $4) } END { print d }' reservoir_1.txt)
[ -n "$last_step" ] || fail "whole model: reservoir_1.txt has no rows"
for table in abstraction_3.txt gw_control_point.txt tr_cl_point.sta; do
  last=$(awk '$1 ~ /^20[0-9][0-9]$/ { d = sprintf("%04d%02d%02d%02d", $1, $2, $3, $4) } END { print d }' "$table")
  [ "$last" = "$last_step" ] || fail "whole model: $table ends at $last, reservoir_1.txt at $last_step"
done
for table in Qg.txt Qstat.txt precipitation_zones.txt snow_storage_zones.txt tr_cl_unsat.sta irrigation_river_zones.txt; do
  day=$(awk '$1 ~ /^20[0-9][0-9]$/ { d = sprintf("%04d%02d%02d", $1, $2, $3) } END { print d }' "$table")
  awk -v d="$day" -v s="$last_step" 'BEGIN { t = substr(s, 1, 8); exit !(d == t || (d < t && substr(s, 9) + 0 < 24)) }' ||
    fail "whole model: $table ends on $day, the run at $last_step"
done
for ((r = 0; r < np; r++)); do
  for section in unsatzon_model snow_model; do
    grep -q "^\[$section\]" "soilstate.txt_$r" || fail "whole model: soilstate.txt_$r holds no [$section]"
  done
done
grep -q '^\[routing_model\]' soilstate.txt_0 || fail "whole model: soilstate.txt_0 holds no [routing_model]"

# The day after the step the run ended at (model hours 1..24, hour 24 ends the day).
epoch=$(date -u -d "${last_step:0:4}-${last_step:4:2}-${last_step:6:2}" +%s)
epoch=$((epoch + 10#${last_step:8:2} * 3600))
step_of() {  # model month, day and hour of the step that ends at the given time
  local e=$1
  [ "$(date -u -d "@$e" +%H)" = 00 ] && { date -u -d "@$((e - 3600))" '+%-m %-d 24'; return; }
  date -u -d "@$e" '+%-m %-d %-H'
}
read -r m0 d0 h0 <<<"$(step_of $((epoch + 3600)))"
read -r m1 d1 h1 <<<"$(step_of $((epoch + 24 * 3600)))"
# The weather ends with June.
[ "$m1" -ge 7 ] && { m1=6; d1=30; h1=24; }
[ "$m0" -ge 7 ] && { echo "interrupt test passed with $np processes (the whole model ended at its last step)"; exit 0; }
cp -r "$wd/whole" "$wd/resumed" && cd "$wd/resumed" || fail "resumed: copy"
warm_start_ctl "$ctl" >/dev/null
set_time "$ctl" resume.ctl "$m0" "$d0" "$h0" "$m1" "$d1" "$h1"
run_ctl resume.ctl
# The run not interrupted, from the start to the end of that day.
cd "$wd/pristine" || fail "pristine"
warm_state_ctl basin.ctl full.ctl
set_time full.ctl to_day.ctl 1 1 1 "$m1" "$d1" "$h1"
run_ctl to_day.ctl
# The sums of the day the interrupt cut differ; where irrigation takes water from the routing in
# June, the routing's six-digit state reaches the grids (as in warm_season_test.sh).
near='^$'
[ "$m0" -ge 6 ] && near='\.(asc|stk|grd)$'
compare_split_run "$wd/pristine" "$wd/resumed" 2020 "$m0" "$d0" "$h0" "$(printf '_20%02d\\.%02d[sm]$' "$m0" "$d0")" "$near"
compare_state_files "$wd/pristine" "$wd/resumed"
echo "interrupt test passed with $np processes (the whole model ended at $last_step and continued to $m1-$d1 $h1 h)"
