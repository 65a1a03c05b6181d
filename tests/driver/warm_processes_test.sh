#!/usr/bin/env bash
# A warm start of every module with text grids gives the grids of one process at several: each
# process reads the state grids' cells it owns, and the cells outside the basin in its rows hold
# nodata as the whole file gives them at one process. The example runs its period leaving every
# state (warm_state_ctl, text grids), then starts warm from it over the same period, at one
# process and at the test's count; every grid of the warm runs is compared byte for byte.
# usage: warm_processes_test.sh <talvo> <processes> <mpiexec> <work dir>
here=$(cd "$(dirname "$0")" && pwd)
. "$here/ctl_edit.sh"
program_test_start "$@"
rm -rf "$wd"

for n in 1 "$np"; do
  copy_example "$wd/np$n"
  warm_state_ctl basin.ctl state.ctl
  sed -i 's/^WriteAsciiGrids = 0/WriteAsciiGrids = 1/; /^WriteDoubleGrids = 1/d' state.ctl
  cp state.ctl warm.ctl
  [ "$(warm_start_ctl warm.ctl)" -ge 5 ] || fail "np$n: warm start switches not found"
  ( np=$n; run state.ctl && run warm.ctl ) || exit 1
done
cd "$wd" || fail "work dir"
grids=0
for f in np1/*.asc; do
  name=$(basename "$f")
  cmp -s "$f" "np$np/$name" || fail "$name differs between 1 and $np processes"
  grids=$((grids + 1))
done
[ "$grids" -ge 20 ] || fail "only $grids grids written"
echo "warm_processes_test: $grids grids equal at 1 and $np processes"
