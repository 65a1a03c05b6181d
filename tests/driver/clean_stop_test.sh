#!/usr/bin/env bash
# A run that fails while the model is being built stops cleanly: each sub-model of the example
# basin is switched on by itself, with nothing of its section but the flow control and the time
# step. A run either ends normally or stops with the code of its FATAL entry (modulo 256, as the
# operating system keeps it), and the diagnostics file ends with that entry; never a signal.
# usage: clean_stop_test.sh <talvo> <processes> <mpiexec> <work dir>
set -u
exe=$1; np=$2; mpiexec=$3; wd=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
. "$here/ctl_edit.sh"
for section in $SUBMODEL_SECTIONS; do
  rm -rf "$wd/$section"; mkdir -p "$wd/$section"; cp -r "$here"/../../examples/basin/. "$wd/$section"/
  cd "$wd/$section" || fail "work directory"
  cp basin.ctl switched.ctl
  set_flow_control switched.ctl 1 "$section"
  grep -A1 -F "[$section]" switched.ctl | tail -1 | grep -q '^1' || fail "$section: not switched on"
  "$mpiexec" -n "$np" "$exe" switched.ctl >out.txt 2>&1
  status=$?
  diag=Talvo_Diag_0.xml
  [ "$(tail -1 "$diag")" = "</Diag>" ] || fail "$section: diagnostics file not closed (status $status)"
  if [ "$status" -eq 0 ]; then
    # Every process's own diagnostics file (the console lines of the processes may interleave in
    # out.txt when they end at the same moment).
    for ((r = 0; r < np; ++r)); do
      grep -q 'description= "exitcode 0"' "Talvo_Diag_$r.xml" || fail "$section: status 0 without the normal end"
    done
    continue
  fi
  code=$(sed -n 's/.*description= "Program aborted with exit code \([0-9]*\)".*/\1/p' "$diag" | tail -1)
  # A process ended by a signal (mpiexec reports the signal number) leaves no abort entry.
  [ -n "$code" ] || { tail -20 out.txt; fail "$section: status $status without a FATAL abort entry"; }
  [ $((code % 256)) -eq "$status" ] || fail "$section: status $status, but the FATAL code is $code"
  # The abort entry is the last entry before the finish line.
  tail -3 "$diag" | head -1 | grep -q "Program aborted with exit code $code" ||
    fail "$section: the diagnostics file does not end with the FATAL entry"
done
echo "clean stop test passed with $np processes"
