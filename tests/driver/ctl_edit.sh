# Shell functions of the program tests that edit a control file in place.

# program_test_start "$@": the arguments of a program test, <talvo> <processes> <mpiexec> <work
# dir>, as exe, np, mpiexec and wd; unset variables are errors from here on; fail reports and ends
# the test, run runs a control file (run_ctl).
program_test_start() {
  set -u
  exe=$1; np=$2; mpiexec=$3; wd=$4
  fail() { echo "FAIL: $*"; exit 1; }
  run() { run_ctl "$1"; }
}

# copy_example <folder>: a copy of the example basin in <folder> (made when missing), which
# becomes the current folder; the caller's fail reports a failure.
copy_example() {
  mkdir -p "$1" && cp -r "$(dirname "${BASH_SOURCE[0]}")"/../../examples/basin/. "$1"/ && cd "$1" || fail "copy"
}

# set_flow_control <file> <value> <section>...: the first value line after each section head
# (its flow control) becomes <value>.
set_flow_control() {
  local file=$1 value=$2; shift 2
  awk -v value="$value" -v names="$*" '
    BEGIN { n = split(names, list, " "); for (i = 1; i <= n; ++i) heads["[" list[i] "]"] = 1 }
    $1 in heads { on = 1; print; next }
    on && NF > 0 { sub(/^[0-9]+/, value); on = 0 }
    { print }' "$file" >"$file.edit" && mv "$file.edit" "$file"
}

# Every sub-model section of the example basin.
SUBMODEL_SECTIONS="radiation_correction precipitation_correction RegionalSuperposition evapotranspiration snow_model
  interception_model SiltingUpModel unsatzon_model SurfaceRoutingModel irrigation groundwater_flow routing_model
  special_output lake_model"

# make_long_basin <write code> [years]: in the current folder (a copy of the example basin),
# every station file gets that many years (30) of hourly values from 2020 on and long.ctl runs
# them with only the interpolation on, the result grids written by the given write code.
make_long_basin() {
  local code=$1 years=${2:-30} f
  for f in precipitation.dat temperature.dat wind_speed.dat air_humidity.dat global_radiation.dat; do
    head -5 "$f" >long.dat
    awk -v last=$((2020 + years)) 'BEGIN { split("31 28 31 30 31 30 31 31 30 31 30 31", n, " ")
                 for (y = 2020; y < last; ++y) for (m = 1; m <= 12; ++m) {
                   days = n[m] + (m == 2 && y % 4 == 0)
                   for (d = 1; d <= days; ++d) for (h = 1; h <= 24; ++h) print y, m, d, h, 0.1, 0.2, 0.3 } }' >>long.dat
    mv long.dat "$f"
  done
  awk -v code="$code" -v years="$years" '/end month/ { sub(/^1 /, "12 ") } /end day/ { sub(/^3 /, "31 ") } /end year/ { sub(/^2020/, 2019 + years) }
       /run interval/ { sub(/^1 /, "1000 ") } /write code:/ { sub(/^[0-9]+/, code) } { print }' basin.ctl >long.ctl
  set_flow_control long.ctl 0 $SUBMODEL_SECTIONS
}

# set_time <source> <file> <first month> <first day> <first hour> <last month> <last day> <last hour>:
# <file> is the control file <source> with the run's time moved within its year.
set_time() {
  awk -v m0="$3" -v d0="$4" -v h0="$5" -v m1="$6" -v d1="$7" -v h1="$8" '/starting month/ { sub(/^[0-9]+/, m0) }
    /starting day/ { sub(/^[0-9]+/, d0) } /starting hour/ { sub(/^[0-9]+/, h0) } /end month/ { sub(/^[0-9]+/, m1) }
    /end day/ { sub(/^[0-9]+/, d1) } /end hour/ { sub(/^[0-9]+/, h1) } { print }' "$1" >"$2"
}

# set_period <source> <file> <first day> <first hour> <last day> <last hour>: <file> is the control
# file <source> with the run's time moved within January.
set_period() { set_time "$1" "$2" 1 "$3" "$4" 1 "$5" "$6"; }

# run_ctl <control file>: runs it with $np processes of $exe through $mpiexec, the console in
# <control file>.out; a status other than 0 fails the test (the caller's fail).
run_ctl() {
  "$mpiexec" -n "$np" "$exe" "$1" >"$1.out" 2>&1
  local status=$?
  [ "$status" -eq 0 ] || { tail -20 "$1.out"; fail "$(pwd): $1 ended with $status"; }
}

# The output names of the example basin's state grids and stacks that its warm start reads
# (snow, interception, silting-up, the soil, the groundwater heads and the surface routing
# velocities); a basin with more sub-models adds its own.
WARM_STATE_GRIDS="snow_total|snow_solid|snow_liquid|snowdays|snowage|interception_storage|silting_disp|silting_pause"
WARM_STATE_GRIDS="$WARM_STATE_GRIDS|silting_ekin|silting_tsbb|theta|hh|hgeo|gwst|gwth|gwlevel|deltagw|gw_head_1"
WARM_STATE_GRIDS="$WARM_STATE_GRIDS|gw_head_2|surfrout_velocity|sb05|irrig|pond"

# warm_state_ctl <source> <file>: <file> is the control file <source> set to leave every state a
# warm start reads: double grids, each grid of WARM_STATE_GRIDS written in every step (the file
# holds the last), the standard grids "albedo", "SurfStorSiltingUp" and the day mean of the
# relative sunshine "SSDTemp" (added as standard grid ssd.asc) written likewise, and a row of
# every table in every step.
warm_state_ctl() {
  awk -v states="^($WARM_STATE_GRIDS)\\\\.(asc|stk)[ \\t]" '
    /WriteAsciiGrids/ { print "WriteAsciiGrids = 0"; print "WriteDoubleGrids = 1"; next }
    $0 ~ states { print; getline; sub(/^[0-9]+/, "1"); print; next }
    /^(SurfStorSiltingUp|albedo)\.asc/ { sub(/defaultValue = [0-9.]+/, "& writecode = 1") }
    /number of standard grids/ { sub(/^[0-9]+/, $1 + 1); print
      print "ssd.asc SSDTemp fillcode = 0 readcode = 0 defaultValue = 0.5 writecode = 1"; next }
    { gsub(/ 4024/, " 4001"); gsub(/ 2024/, " 2001"); print }' "$1" >"$2"
}

# warm_start_ctl <file>: every module of the control file <file> starts from the state the run
# before left (warm_state_ctl): every "readgrid", the soil's initial state, surface routing's
# state, the groundwater heads and the read codes of the standard grids of warm_state_ctl.
# Prints how many start switches it turned on.
warm_start_ctl() {
  awk '/readgrid/ || /read the state at start/ || /initial state from the groundwater level parameter/ ||
       /grid read parameter: start heads/ || /read grid parameter: start from the section/ { sub(/^0/, "1") }
       /^(SurfStorSiltingUp|albedo|ssd)\.asc/ { sub(/readcode = 0/, "readcode = 1") } { print }' "$1" >"$1.edit" &&
    mv "$1.edit" "$1"
  grep -c '^1 .*\(readgrid\|read the state\|initial state\|grid read parameter\|read grid parameter\)' "$1"
}

# awk functions: close6(a, b) holds when two printed values agree within 2e-5 of their size plus
# one unit of their last printed digit (and 1e-12, below which a value is rounding noise), as
# values that went through a state file's six digits ("%g") do.
SIX_DIGITS_AWK='
  function unit(s,   m, e, d) {  # one unit of the last printed digit of s
    e = 0; m = s
    if (match(s, /[eE][-+]?[0-9]+$/)) { e = substr(s, RSTART + 1) + 0; m = substr(s, 1, RSTART - 1) }
    d = index(m, ".") ? length(m) - index(m, ".") : 0
    return 10 ^ (e - d) }
  function abs(x) { return x < 0 ? -x : x }
  function close6(a, b,   u) {
    u = unit(a) > unit(b) ? unit(a) : unit(b)
    return abs(a - b) <= 2e-5 * (abs(a) > abs(b) ? abs(a) : abs(b)) + u * 1.000001 + 1e-12 }'

# compare_split_run <whole run's folder> <split run's folder> <year> <month> <day> <hour> [skip] [near] [spread] [tables]:
# the split run (a run and a warm start from the given step on) left what the whole run left.
# Every table (a text file headed "YY") has the same rows from the given step on, each value
# within the six digits of the state files (close6). Every other file is the same byte for byte,
# except the run's means and sums, the state files, the logs and control files, and the files
# whose names match the extended regular expression skip (such as the sums of a day the split
# cuts); files whose names match the extended regular expression near are double grids or stacks
# (WriteDoubleGrids) whose every value is within close6 (where the land takes water the routing's
# state carries), or within the relative spread given (where that water reaches values that are
# small differences of larger ones); a table value may also lie within the relative spread tables
# gives. The caller's fail reports the first difference.
compare_split_run() {
  local whole=$1 split=$2 skip=${7:-'^$'} near=${8:-'^$'} spread=${9:-0} tables=${10:-0} key f b lakes
  key=$(printf '%04d%02d%02d%02d' "$3" "$4" "$5" "$6")
  # With lakes on, the routing gives the lakes' cells the water its channels carry, which a warm
  # start continues from their six digits: the grids then agree to the tables' precision (as
  # doubles), not byte for byte.
  # The control file the whole run read last is the newest of its folder.
  lakes=$(awk '/^\[lake_model\]/ { getline; print $1 + 0; exit }' "$(ls -t "$whole"/*.ctl | head -1)")
  after() { awk -v key="$key" '$1 ~ /^[0-9]+$/ && $4 ~ /^[0-9]+$/ && sprintf("%04d%02d%02d%02d", $1, $2, $3, $4) >= key' "$1"; }
  for f in "$whole"/*; do
    b=$(basename "$f")
    [ -f "$f" ] || continue
    case "$b" in *.ctl | *.out | *.log | *.xml | *'.$$$' | soilstate* | surfrout_state*) continue ;; esac
    [ -f "$split/$b" ] || fail "the split run wrote no $b"
    [[ "$b" =~ $skip ]] && continue
    if [ "$(head -c 2 "$f" | tr -d '\000')" != YY ]; then
      case "$b" in
        *.mit | *.sum | *.min | *.max) ;;
        *) cmp -s "$f" "$split/$b" && continue
           [[ "$b" =~ $near ]] || [ "${lakes:-0}" -ne 0 ] || fail "$b of the split run differs from the whole run's"
           # With lakes on, a value also counts within 2e-5 of the grid's largest cell value: what
           # came through the state's six digits mixes into small values with its absolute error.
           paste <(od -A n -v -t f8 -w8 "$f") <(od -A n -v -t f8 -w8 "$split/$b") |
             awk -v lakes="${lakes:-0}" -v spread="$spread" "$SIX_DIGITS_AWK"'
               NF != 2 { bad = 1 } { a[NR] = $1; b[NR] = $2 }
               NR > 12 && $1 != -9999 && abs($1) > m { m = abs($1) }
               END { if (bad) exit 1
                     for (i = 1; i <= NR; ++i)
                       if (!close6(a[i], b[i]) && !(lakes && abs(a[i] - b[i]) <= 2e-5 * m) &&
                           !(abs(a[i] - b[i]) <= spread * (abs(a[i]) > abs(b[i]) ? abs(a[i]) : abs(b[i])))) {
                         print a[i], b[i]; exit 1 } }' ||
             fail "$b of the split run differs from the whole run's beyond six digits" ;;
      esac
      continue
    fi
    [ "$(after "$f" | wc -l)" -eq "$(after "$split/$b" | wc -l)" ] || fail "$b: the split run wrote other rows"
    # The change and the error of a lake's balance (dV, Err) are small differences of its terms
    # (and of the volumes): they count within the precision of those.
    paste <(after "$f") <(after "$split/$b") |
      awk -v table="$b" -v lake="$(head -1 "$f" | grep -c 'dV\[m3\]')" -v lakes="${lakes:-0}" -v tables="$tables" \
          -v routed="$(head -2 "$f" | grep -c 'tracer concentration.*submodel:routing_model')" "$SIX_DIGITS_AWK"'
        { row[NR] = $0; n = NF / 2
          for (i = 5; i <= n; ++i) if (abs($i) > top[i]) top[i] = abs($i) }
        END { for (r = 1; r <= NR; ++r) {
          $0 = row[r]; n = NF / 2
          if (NF % 2 || $1 != $(n + 1) || $2 != $(n + 2) || $3 != $(n + 3) || $4 != $(n + 4)) {
            print table ": the rows differ: " $0; exit 1 }
          for (i = 5; i <= n; ++i) {
            a = $i; b = $(i + n)
            u = unit(a) > unit(b) ? unit(a) : unit(b)
            if (lake && i >= 8 && i <= 34) {
              k = (i - 8) % 3; m = abs(a) > abs(b) ? abs(a) : abs(b)
              if (i >= 26 && i <= 28 || i >= 32) {
                m = 0
                for (t = 8; t <= 29; t += 3) if (t != 26) m += abs($(t + k))
              }
              # A lake'"'"'s flows follow its level, and its change and error hold the volume before the
              # step: the warm start took that volume from the state file'"'"'s six digits (counted in
              # the unit of the column: the ratio of the inflow columns).
              m += abs($7) * ($8 != 0 ? abs($(8 + k) / $8) : 1)
              if (abs(a - b) <= 2e-5 * m + u * 1.000001 + 1e-12) continue
            } else if (lake && i > 34 && $8 != 0) {
              # The tracer concentration of a lake or reservoir is the mass its inflow brought over
              # its volume: it is as precise as the inflow, which follows the lakes'"'"' levels (above).
              if (abs(a - b) <= 2e-5 * (1 + abs($7 / $8)) * (abs(a) > abs(b) ? abs(a) : abs(b)) + u * 1.000001 + 1e-12) continue
            } else {
              if (close6(a, b)) continue
              # With lakes on, a sum over cells holds the lakes'"'"' cells, whose water follows the
              # lakes'"'"' levels (six digits); where the sum is a small difference of flows (runoff less
              # what seeps in), it is as precise as those flows, which the column'"'"'s largest value
              # after the split measures.
              if (lakes && !lake && abs(a - b) <= 2e-5 * top[i] + u * 1.000001 + 1e-12) continue
              # A tracer concentration of the routing is its tracer over its water, both continued
              # from the routing'"'"'s state (six digits): where it rises from nothing (below the
              # reservoir on the run'"'"'s second day) that rounding is a larger part of it than
              # six digits, and it counts against the column'"'"'s largest value (a state written
              # at full precision makes the split equal: measured).
              if (routed && abs(a - b) <= 2e-5 * top[i] + u * 1.000001 + 1e-12) continue
              # The relative spread the caller allows the tables (where irrigation takes the
              # water of the routing'"'"'s six-digit state and the soil'"'"'s runoff follows it).
              if (abs(a - b) <= tables * (abs(a) > abs(b) ? abs(a) : abs(b)) + u * 1.000001 + 1e-12) continue
            }
            print table ", " $1 "-" $2 "-" $3 " " $4 " h, column " i ": " a " in the whole run, " b " split"; exit 1 } } }' ||
      fail "a table of the split run differs from the whole run's"
  done
}

# compare_state_files <whole run's folder> <split run's folder> [spread]: the state files the split
# run left at its end (soilstate*, surfrout_state*, one per process) hold the sections of the whole
# run's, in the same order, with the same words and every number within the six digits they are
# written with (close6) or within the relative spread given: whatever section a sub-model adds is
# compared too. The caller's fail reports the first difference.
compare_state_files() {
  local whole=$1 split=$2 spread=${3:-0} f b n=0
  for f in "$whole"/soilstate* "$whole"/surfrout_state*; do
    [ -f "$f" ] || continue
    b=$(basename "$f"); n=$((n + 1))
    [ -f "$split/$b" ] || fail "the split run left no state file $b"
    diff <(grep '^\[' "$f") <(grep '^\[' "$split/$b") >/dev/null || fail "$b: the split run left other sections"
    awk -v file="$b" -v spread="$spread" "$SIX_DIGITS_AWK"'
      function words(line, w) { gsub(/\(/, " (", line); return split(line, w, /[ \t]+/) }
      function near(x, y) { return close6(x, y) || abs(x - y) <= spread * (abs(x) > abs(y) ? abs(x) : abs(y)) }
      function number(s) { return s ~ /^[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?$/ }
      NR == FNR { line[FNR] = $0; lines = FNR; next }
      { if (FNR > lines) { print file ": the split run wrote more lines"; exit 1 }
        n = words(line[FNR], a); m = words($0, b)
        if (n != m) { print file ", line " FNR ": " line[FNR] " in the whole run, " $0 " split"; exit 1 }
        for (i = 1; i <= n; ++i)
          if (number(a[i]) && number(b[i]) ? !near(a[i], b[i]) : a[i] != b[i]) {
            print file ", line " FNR ": " a[i] " in the whole run, " b[i] " split (" line[FNR] ")"; exit 1 } }
      END { if (FNR < lines) { print file ": the split run wrote fewer lines"; exit 1 } }' "$f" "$split/$b" ||
      fail "a state file of the split run differs from the whole run's"
  done
  [ "$n" -gt 0 ] || fail "the whole run left no state file"
}

# without_tracers <file>: the control file with no tracer: the count of "[substance_transport]"
# becomes 0, its tracer lines and the standard grids of tracer input ("concflux_tracer_") go.
without_tracers() {
  awk 'NR == FNR { if (/ concflux_tracer_/) ++gone; next }
       /^\[substance_transport\]/ { print; getline; n = $1; print "0       number of tracers"
         for (i = 0; i < n; ++i) getline; next }
       /^\[standard_grids\]/ { print; getline; sub(/^[0-9]+/, $1 - gone); print; next }
       / concflux_tracer_/ { next }
       { print }' "$1" "$1" >"$1.edit" && mv "$1.edit" "$1"
}

# copy_refined_example <folder> <factor>: copy_example, then every grid of the copy refined by
# <factor> (each cell becomes factor x factor cells).
copy_refined_example() {
  copy_example "$1"
  bash "$(dirname "${BASH_SOURCE[0]}")"/../../scripts/refine_grids.sh "$2" ./*.asc >/dev/null || fail "refining the grids"
}

# compare_thread_runs "<clock pattern>" <threads>...: in the current folder, every file the run in
# threads_1 wrote is compared with the same file of threads_<n> for each n, byte for byte, the
# console apart; the diagnostics files (*.xml, *.log) without the lines that match the pattern,
# or not at all where it is empty. Sets compared to the count of files compared.
compare_thread_runs() {
  local clock=$1 f t same; shift
  compared=0
  while IFS= read -r f; do
    [ "$f" = ./console.txt ] && continue
    case "$f" in *.xml | *.log) [ -n "$clock" ] || continue ;; esac
    for t in "$@"; do
      [ -f "threads_$t/$f" ] || fail "$f missing with $t threads"
      case "$f" in
        *.xml | *.log) diff -q <(grep -v -E "$clock" "threads_1/$f") <(grep -v -E "$clock" "threads_$t/$f") >/dev/null ;;
        *) cmp -s "threads_1/$f" "threads_$t/$f" ;;
      esac
      same=$?
      [ $same -eq 0 ] || fail "$f differs between 1 and $t threads"
    done
    compared=$((compared + 1))
  done < <(cd threads_1 && find . -type f | sort)
}

# run_first_day_hours <file> <first hour> <last hour>: the run of the control file covers the given
# hours of its first day (the lines after "[model_time]" hold the start hour, day, month and
# year, then the end's: the start hour, the end hour and an end day of 1 are set).
run_first_day_hours() {
  local file=$1 t
  t=$(grep -n '^\[model_time\]' "$file" | head -1 | cut -d: -f1)
  awk -v t="$t" -v first="$2" -v last="$3" 'NR == t + 1 { $1 = first } NR == t + 5 { $1 = last } NR == t + 6 { $1 = 1 }
    { print }' "$file" >"$file.edit" && mv "$file.edit" "$file"
}

# zone_tables_every_step <file>: the zone tables of a row a day (statistics codes 1024..6024, in
# the output lines and after "statcode = ") write a row every step instead.
zone_tables_every_step() {
  sed -E -i 's/^([^ \t]+[ \t]+[1-6])024([ \t]|$)/\1001\2/; s/statcode = ([1-6])024 /statcode = \1001 /' "$1"
}

# run_with_threads <threads> [what]: runs basin.ctl of the current folder on $np processes of
# <threads> threads each (waiting passively), its console into console.txt; fails with the
# console's end where the run fails.
run_with_threads() {
  OMP_NUM_THREADS=$1 OMP_WAIT_POLICY=passive "$mpiexec" -n "$np" "$exe" basin.ctl >console.txt 2>&1 ||
    { tail -5 console.txt; fail "the run${2:+ of $2} with $1 threads failed"; }
}

# table_rows_with_values <table> <rows> [last]: the zone table holds <rows> rows below its three
# header lines, and some value (from the fifth column on) of them, or of the last row alone, is
# not 0.
table_rows_with_values() {
  local rows
  [ "$(tail -n +4 "$1" | wc -l)" -eq "$2" ] || fail "$1: not a row per step"
  if [ "${3:-}" = last ]; then rows=$(tail -n 1 "$1"); else rows=$(tail -n +4 "$1"); fi
  awk '{ for (i = 5; i <= NF; ++i) if ($i + 0 != 0) found = 1 } END { exit !found }' <<<"$rows" ||
    fail "$1: every value${3:+ of the last step} is 0"
}
