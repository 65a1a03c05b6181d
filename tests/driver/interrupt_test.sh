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
rm -rf "$wd"; mkdir -p "$wd"; cp -r "$here"/../../examples/basin/. "$wd"/; cd "$wd" || fail "work directory"
# Every input runs over the whole period: an input whose data end early would stop the run.
for f in precipitation.dat temperature.dat wind_speed.dat air_humidity.dat global_radiation.dat; do
  head -5 "$f" >long.dat
  awk 'BEGIN { split("31 28 31 30 31 30 31 31 30 31 30 31", n, " ")
               for (y = 2020; y < 2050; ++y) for (m = 1; m <= 12; ++m) {
                 days = n[m] + (m == 2 && y % 4 == 0)
                 for (d = 1; d <= days; ++d) for (h = 1; h <= 24; ++h) print y, m, d, h, 1, 2, 3 } }' >>long.dat
  mv long.dat "$f"
done
awk '/end month/ { sub(/^1 /, "12 ") } /end day/ { sub(/^3 /, "31 ") } /end year/ { sub(/^2020/, "2049") }
     /run interval/ { sub(/^1 /, "1000 ") } /write code:/ { sub(/^[0-9]+/, "0") } { print }' basin.ctl >long.ctl

# Waits until the file holds the text n times (at most 30 s).
wait_for() {
  for _ in $(seq 600); do [ "$(grep -ac "$2" "$1")" -ge "$3" ] && return 0; sleep 0.05; done
  return 1
}

# answers: the menu answers in order, one interrupt each
drive() {
  local expected=$1; shift
  local out=out_$*.txt
  rm -f answers; mkfifo answers
  OMP_NUM_THREADS=1 "$mpiexec" -n "$np" "$exe" long.ctl <answers >"$out" 2>&1 &
  local launcher=$!
  exec 7>answers
  wait_for "$out" "end of initialization reached" 1 || fail "answers $*: the run did not start"
  # Some days run first, so that the zone tables have rows to flush.
  sleep 0.5
  # Process 0 is the oldest process of the program.
  local pid
  pid=$(pgrep -o -f "^$exe long.ctl") || fail "answers $*: no process"
  local n=0
  for answer in "$@"; do
    n=$((n + 1))
    kill -INT "$pid"
    wait_for "$out" "choose one of the above options" "$n" || { exec 7>&-; fail "answers $*: menu $n not shown"; }
    echo "$answer" >&7
    # After "flush buffers" the next interrupt waits until the buffers are written and the
    # menu is re-armed.
    if [ "$answer" = 3 ]; then
      wait_for "$out" "write temperature_zones.txt" "$n" || fail "answers $*: buffers not flushed"
      sleep 0.5
    fi
  done
  exec 7>&-
  wait "$launcher"
  local status=$?
  [ "$status" -eq "$expected" ] || { tail -20 "$out"; fail "answers $*: status $status, expected $expected"; }
}

drive 99 1
grep -aq "exitcode 99" out_1.txt || fail "answer 1: no exitcode line"
drive 98 2
drive 99 3 1
echo "interrupt test passed with $np processes"
