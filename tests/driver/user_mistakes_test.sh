#!/usr/bin/env bash
# Mistakes a new user makes are named where they are made, and outputs go where they are asked
# to go: a misspelt option, an output folder without "/", a diagnostics file that cannot be
# written, a missing second station record, station files of only two records, a standard grid
# with its own output name and a grid corner that "%g" would round.
# usage: user_mistakes_test.sh <talvo> <processes> <mpiexec> <work dir>
set -u
exe=$1; np=$2; mpiexec=$3; wd=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
run() { "$mpiexec" -n "$np" -outfile-pattern 'out.%r.txt' -errfile-pattern 'err.%r.txt' "$exe" "$@"; }
fresh() { rm -rf "$wd/$1"; mkdir -p "$wd/$1" && cp -r "$here"/../../examples/basin/. "$wd/$1"/ && cd "$wd/$1" || fail "$1: copy"; }
found() { sed "s/&apos;/'/g" Talvo_Diag_0.xml | sed 's/&quot;/"/g; s/&lt;/</g; s/&gt;/>/g; s/&amp;/\&/g' | grep -qF -- "$1"; }

# A misspelt option ends with the usage and 2 before anything runs.
fresh option
run basin.ctl -diaglevl:INFO
status=$?
[ "$status" -eq 2 ] || fail "misspelt option: exit status $status, expected 2"
grep -q '^usage: talvovz' out.0.txt || fail "misspelt option: no usage"
found '"-diaglevl:INFO" is no option of talvo (nor a control file)' || fail "misspelt option: not named"
grep -q 'initializing module' out.0.txt && fail "misspelt option: the model ran"

# An output folder named without its "/" is written beside, and the user is told.
fresh folder
mkdir out
sed -i 's/^WriteAsciiGrids = 1/WriteAsciiGrids = 1\nDefaultOutputDirectory = out/' basin.ctl
run basin.ctl || fail "output folder: exit status $?"
found 'DefaultOutputDirectory = out names a folder but does not end with "/"' || fail "output folder: no WARNING"
found 'the files are written as "outQg.txt"' || fail "output folder: the WARNING does not name outQg.txt"
[ -f outQg.txt ] || fail "output folder: outQg.txt missing"
# The writers of the text log append to it, none overwrites another's lines: the soil model's
# start summary, the flow-time lines and its end summary, each once and in this order.
grep -n -e 'at model-start: .* m^3/m^2' -e '^flow time distribution:' -e 'at model-end: .* m^3/m^2' modell_0.log |
  awk -F: '/model-start/ { s++ } /flow time/ { f++; if (!s) bad = 1 } /model-end/ { e++; if (!f) bad = 1 }
           END { exit !(s == 3 && f == 1 && e == 3 && !bad) }' ||
  { cat modell_0.log; fail "text log: lines missing, repeated or out of order"; }

# A diagnostics file or text log that cannot be written is reported on standard error with the
# reason.
fresh diagfile
ln -s /dev/full full_0.xml
ln -s /dev/full modell_0.log
run basin.ctl -diagfile:full.xml
status=$?
[ "$status" -eq 0 ] || fail "full diagnostics file: exit status $status"
grep -q 'diagnostics file full_0.xml cannot be written, its entries are lost: No space left on device' err.0.txt ||
  { cat err.0.txt; fail "full diagnostics file: not reported on standard error"; }
grep -q 'the text log modell_0.log cannot be written, its lines are lost: No space left on device' err.0.txt ||
  { cat err.0.txt; fail "full text log: not reported on standard error"; }

# A missing second record: the first pair is named, not the second.
fresh second_record
for f in precipitation temperature wind_speed air_humidity global_radiation; do sed -i '/^2020 1 1 2 /d' $f.dat; done
run basin.ctl
status=$?
[ "$status" -eq 52 ] || fail "second record: exit status $status, expected 52"
found 'the dates of precipitation.dat do not advance by one time step: 1.1.2020 1 h is followed by 1.1.2020 3 h, 120 minutes later instead of one step of 60 minutes' ||
  { grep 'level="0"' Talvo_Diag_0.xml; fail "second record: the first pair is not named"; }

# Station files of only two records: their one interval is compared with the modules' time step,
# a gap between them is named; two records one step apart run (and end with the data).
fresh two_records
for f in precipitation temperature wind_speed air_humidity global_radiation; do
  awk 'NR <= 5 || /^2020 1 1 [13] /' $f.dat >$f.two && mv $f.two $f.dat
done
run basin.ctl
status=$?
[ "$status" -eq 52 ] || fail "two records: exit status $status, expected 52"
found 'the dates of precipitation.dat do not advance by one time step: 1.1.2020 1 h is followed by 1.1.2020 3 h, 120 minutes later instead of one step of 60 minutes' ||
  { grep 'level="0"' Talvo_Diag_0.xml; fail "two records: the gap is not named"; }
found 'the run holds only two records: their interval is compared with the time step of the modules' ||
  fail "two records: no entry saying what the interval is compared with"
for f in precipitation temperature wind_speed air_humidity global_radiation; do sed -i 's/^2020 1 1 3 /2020 1 1 2 /' $f.dat; done
run basin.ctl || fail "two records one step apart: exit status $?"
found 'the data of precipitation.dat end with 1.1.2020 2 h, before the end date' || fail "two records one step apart: no end of the data"

# A grid whose measures differ from the zone grid's: every number is named.
fresh measures
sed -i 's/^cellsize\t\([0-9]*\)$/cellsize\t1\1/' soil.asc
run basin.ctl
status=$?
[ "$status" -eq 24 ] || { tail -5 out.0.txt; fail "grid measures: exit status $status, expected 24"; }
found 'the first number is the model'"'"'s (from the zone grid zones.asc), the second that of soil.asc: columns (ncols) agree, rows (nrows) agree, lower left x (xllcorner) agree, lower left y (yllcorner) agree, cell size (cellsize) differ' ||
  { grep 'level="[01]"' Talvo_Diag_0.xml; fail "grid measures: the numbers are not named"; }

# A standard grid is written under its "outname", never over the grid it was read from; a
# corner of 3400000.5 is written as it is.
fresh outname
sed -i 's/^soil.asc      soil_types   0 .*/soil.asc soil_types fillcode = 0 readcode = 1 writecode = 3 outname = soil_out.asc/' basin.ctl
for g in *.asc; do sed -i 's/^xllcorner\t3400000$/xllcorner\t3400000.5/' "$g"; done
cp soil.asc soil.asc.before
run basin.ctl || { tail -5 out.0.txt; fail "outname: exit status $?"; }
cmp -s soil.asc soil.asc.before || fail "outname: the input soil.asc was overwritten"
[ -f soil_out.asc ] || fail "outname: soil_out.asc missing"
grep -q $'^xllcorner\t3400000.5$' soil_out.asc || { head -6 soil_out.asc; fail "outname: the corner moved"; }
echo "user mistakes test passed with $np processes"
