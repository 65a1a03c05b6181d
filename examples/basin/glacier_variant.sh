#!/usr/bin/env bash
# Writes glacier.ctl beside basin.ctl: the example basin with a small dynamic glacier in
# subbasin 2 (snow slides as in basin.ctl, degree-day method 8), evaluated at the end of 2 January so that
# the yearly glacier step runs. Silting-up and surface routing cannot run beside glaciers and
# are switched off.
# usage: glacier_variant.sh <example folder>
set -euo pipefail
cd "$1"
awk 'FNR == NR { grids = grids $0 "\n"; n++; next }
     /^\[standard_grids\]/ { print; getline; print $1 + n "       number of standard grids"; printf "%s", grids; next }
     /method for snow: degree-day/ { print "8       method for snow: degree-day with snow slides"; next }
     /T0: threshold temperature of melt/ { print "-3.0    T0: threshold temperature of melt: the glacier snow is gone at the end of 2 January"; next }
     /^\[(SiltingUpModel|SurfaceRoutingModel)\]/ { print; getline; print "0       flow control parameter: off beside glaciers"; next }
     { print }' glacier_grids.txt basin.ctl >glacier.ctl
