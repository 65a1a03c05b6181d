#!/usr/bin/env bash
# Warm starts read the state of the run before them: two runs in one folder (the first ends at
# 6 h on 2 January, the second at noon, in the rain), then a warm start of surface routing from
# 13 h. Its results equal those of the same warm start in a folder where only the second run was
# made, and every state file holds each section once.
# usage: warm_start_test.sh <talvo> <processes> <mpiexec> <work dir>
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
program_test_start "$@"
period() { set_period basin.ctl "$@"; }

rm -rf "$wd"; mkdir -p "$wd/two" "$wd/one" || exit 1
for folder in two one; do
  copy_example "$wd/$folder"
  period first.ctl 1 1 2 6
  period second.ctl 1 1 2 12
  period warm.ctl 2 13 3 24
  # Only surface routing reads its state in the warm start.
  awk '/read the state at start/ { sub(/^0/, "1") } { print }' warm.ctl >warm.edit && mv warm.edit warm.ctl
  grep -q "^1 *read the state at start" warm.ctl || fail "warm.ctl: no warm start"
done

cd "$wd/two" && run first.ctl && run second.ctl
for ((r = 0; r < np; r++)); do
  [ "$(grep -c '^\[SurfaceRoutingModel\]' "surfrout_state_$r")" -eq 1 ] ||
    fail "surfrout_state_$r holds $(grep -c '^\[SurfaceRoutingModel\]' "surfrout_state_$r") sections after two runs"
  # Discharge routing runs on process 0 only; the other processes' files start with the soil model.
  for section in routing_model unsatzon_model snow_model; do
    count=$(grep -c "^\[$section\]" "soilstate.txt_$r")
    expected=1
    [ "$section" = routing_model ] && [ "$r" -gt 0 ] && expected=0
    [ "$count" -eq "$expected" ] || fail "soilstate.txt_$r: [$section] $count times, expected $expected"
  done
done
run warm.ctl
cd "$wd/one" && run second.ctl
# A run that fails on its way (its precipitation skips an hour of the first day) adds nothing to
# the state of the run before it.
mkdir -p before && cp soilstate.txt_* surfrout_state_* before/
grep -v '^2020 1 1 20 ' precipitation.dat >short.dat
sed 's/^precipitation.dat /short.dat /' second.ctl >failing.ctl
"$mpiexec" -n "$np" "$exe" failing.ctl >failing.out 2>&1 && fail "the failing run ended with 0"
for f in before/*; do cmp -s "$f" "$(basename "$f")" || fail "the failing run changed $(basename "$f")"; done
run warm.ctl
# The surface routing state of the second run, and the warm start's tables, are the same.
for ((r = 0; r < np; r++)); do
  cmp -s "$wd/two/surfrout_state_$r" "$wd/one/surfrout_state_$r" || fail "surfrout_state_$r differs"
done
for table in surfrout_qd.txt surfrout_qg.txt Qg.txt; do
  cmp -s "$wd/two/$table" "$wd/one/$table" ||
    { diff "$wd/one/$table" "$wd/two/$table" | head; fail "warm start: $table differs from the one after the second run only"; }
done
# The warm start took the state: its tables differ from those of a cold start, in a fresh folder.
copy_example "$wd/cold"
period cold.ctl 2 13 3 24
run cold.ctl
cmp -s surfrout_qg.txt "$wd/one/surfrout_qg.txt" && fail "the warm start gives the tables of a cold start"
echo "warm start test passed with $np processes"
