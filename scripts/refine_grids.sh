#!/usr/bin/env bash
# Refines ASCII grids in place by an integer factor: each cell becomes factor x factor cells of the
# same value, of a cellsize divided by the factor, so that a grid keeps its extent and corner and
# every code, parameter and elevation keeps its place (lakes keep one level over their cells).
# The values of a grid may be wrapped over lines in any way; each row is written on one line.
# A grid given by its lower-left cell centre (xllcenter, yllcenter) keeps its lower-left corner.
# usage: refine_grids.sh <factor> <grid.asc>...
set -euo pipefail
factor=${1:-}
case "$factor" in
  '' | *[!0-9]* | 0) echo "refine_grids.sh: the factor must be a whole number above 0, not '$factor'" >&2; exit 1 ;;
esac
shift
for grid in "$@"; do
  awk -v f="$factor" -v name="$grid" '
    function fail(why) { print "refine_grids.sh: " name ": " why >"/dev/stderr"; bad = 1; exit 1 }
    # Header lines start with a key; the values follow them.
    n == 0 && $1 ~ /^[A-Za-z_]/ { key[++keys] = $1; value[keys] = $2; k = tolower($1)
      if (k == "ncols") cols = $2; else if (k == "nrows") rows = $2; else if (k == "cellsize") size = $2
      next }
    { for (i = 1; i <= NF; i++) v[n++] = $i }
    END {
      if (bad) exit 1
      if (cols <= 0 || rows <= 0 || size <= 0) fail("no ncols, nrows or cellsize in its header")
      if (n != cols * rows) fail("holds " n " values, its header " cols " x " rows)
      for (i = 1; i <= keys; i++) { k = tolower(key[i]); x = value[i]
        if (k == "ncols" || k == "nrows") x = x * f
        else if (k == "xllcenter" || k == "yllcenter") x = sprintf("%.10g", x - size / 2 + size / f / 2)
        else if (k == "cellsize") x = sprintf("%.10g", size / f)
        print key[i] "\t" x }
      for (r = 0; r < rows; r++) {
        line = ""
        for (c = 0; c < cols; c++) for (k = 0; k < f; k++) line = line (line == "" ? "" : "\t") v[r * cols + c]
        for (k = 0; k < f; k++) print line }
    }' "$grid" >"$grid.refined" || { rm -f "$grid.refined"; exit 1; }
  mv "$grid.refined" "$grid"
done
