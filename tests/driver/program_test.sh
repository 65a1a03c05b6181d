#!/usr/bin/env bash
# Runs the program as a user would: no argument, and options without a control file.
# usage: program_test.sh <talvo> <processes> <mpiexec> <work dir>
set -u
exe=$1; np=$2; mpiexec=$3; wd=$4
rm -rf "$wd"; mkdir -p "$wd"; cd "$wd" || exit 1
fail() { echo "FAIL: $*"; exit 1; }

# No argument: banner, thread report, usage, abort with code 2.
"$mpiexec" -n "$np" "$exe" >out.txt 2>err.txt
status=$?
[ "$status" -eq 2 ] || fail "no argument: exit status $status, expected 2"
grep -q "This is OpenMP thread 0" out.txt || fail "thread report missing"
grep -q "\*\*\* There are [0-9]* OpenMP threads total for MPI process 0" out.txt || fail "thread total missing"
grep -q "^usage: talvovz" out.txt || fail "usage text missing"
grep -q "Exception 2 caught at top level!" out.txt || fail "top-level line missing"
grep -q "Program aborted with exit code 2" out.txt || fail "abort line missing"
grep -q "FATAL: " out.txt && fail "console shows a prefix"
for ((r = 0; r < np; r++)); do
  f=Talvo_Diag_$r.xml
  [ -f "$f" ] || fail "$f missing"
  head -1 "$f" | grep -q "^<?xml version='1.0' encoding='UTF-8'?>$" || fail "$f: declaration"
  grep -q '<Diag version="1.2"' "$f" || fail "$f: root"
  grep -q 'description= "Talvo start at ' "$f" || fail "$f: start line"
  grep -q 'description= "Talvo finished at ' "$f" || fail "$f: finish line"
  [ "$(tail -1 "$f")" = "</Diag>" ] || fail "$f: not closed"
  grep -q '<line level="0" description= "Exception 2 caught at top level!"/>' "$f" || fail "$f: fatal entry"
done

# Only options: nothing runs, status 0; the last -diagfile: wins and is never a control file.
rm -f ./*.xml
"$mpiexec" -n "$np" "$exe" -diagfile:first.xml -diagfile:run.d/diag -diaglevel:warning -dumpmode >out2.txt 2>&1 &&
  true || fail "options only: exit status $?"
grep -q "exitcode 0" out2.txt || fail "exitcode line missing"
grep -q "the end." out2.txt || fail "end line missing"
[ -f first_0.xml ] && fail "an earlier -diagfile: was used"
# run.d does not exist: every process falls back to its own default file.
for ((r = 0; r < np; r++)); do
  [ -f Talvo_Diag_$r.xml ] || fail "fallback file of process $r missing"
  grep -q 'level="4"' Talvo_Diag_$r.xml && fail "DEBUG entries written at level WARNING"
done
mkdir -p run.d
"$mpiexec" -n "$np" "$exe" -diagfile:run.d/diag >/dev/null 2>&1 || fail "diag file in directory"
[ -f run.d/diag_0.xml ] || fail "run.d/diag_0.xml missing"
echo "program test passed with $np processes"
