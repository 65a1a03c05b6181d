#!/usr/bin/env bash
# Turns a copy of the example basin into its half-year run: winter to summer, 1 January to
# 30 June 2020 in hourly steps. The station files keep their first five days and get synthetic
# weather for the rest (a seasonal temperature with daily and synoptic swings, rain and snow
# days, wind, humidity and clear-sky radiation damped on wet days); observed_discharge.dat gets
# a synthetic observed discharge at the basin outlet (subbasin 3, mm per hour over the basin),
# and basin.ctl runs to the end of June and compares its routed discharge with it.
# Every number comes from integer arithmetic and fixed formulas, so any awk writes the same files.
# usage: half_year.sh <folder holding a copy of the basin>
set -euo pipefail
cd "$1"
last=$(tail -1 precipitation.dat)
[ "${last% * * *}" = "2020 1 5 24" ] || { echo "half_year.sh: precipitation.dat does not end at 5 January, hour 24" >&2; exit 1; }

# One line per hour from 6 January on: date, then temperature, precipitation, wind, humidity and
# radiation of the three stations (Nordhang 810 m, Talboden 600 m, Suedrand 540 m).
awk 'function rnd() { seed = (seed * 16807) % 2147483647; return seed / 2147483647 }
  BEGIN { pi = 3.141592653589793; seed = 20200106; lat = 47.5 * pi / 180
    split("31 29 31 30 31 30", len, " "); doy = 5
    for (m = 1; m <= 6; ++m) for (d = (m == 1 ? 6 : 1); d <= len[m]; ++d) {
      ++doy
      # Weather of the day: a synoptic anomaly held for three days, a wet day with its amount.
      if (doy % 3 == 0) anomaly = 6 * rnd() - 3
      wet = rnd() < 0.38; amount = wet ? 2 + 14 * rnd() * rnd() + 6 * rnd() : 0
      start = 1 + int(12 * rnd()); width = 6 + int(10 * rnd()); wind = 1 + 2.5 * rnd()
      mean = 4.5 - 9.5 * cos(2 * pi * (doy - 18) / 365) + anomaly - (wet ? 1 : 0)
      amp = (wet ? 1.5 : 4) + 2 * (doy / 182)
      decl = 23.45 * pi / 180 * sin(2 * pi * (284 + doy) / 365)
      for (h = 1; h <= 24; ++h) {
        t = mean + amp * cos(2 * pi * (h - 15) / 24)
        p = 0
        if (wet && h >= start && h < start + width) p = amount * pi / 2 / width * sin(pi * (h - start + 0.5) / width)
        hum = wet ? 0.93 - 0.03 * cos(2 * pi * (h - 4) / 24) : 0.72 + 0.12 * cos(2 * pi * (h - 4) / 24)
        hourangle = (h - 0.5 - 12) * 15 * pi / 180
        elev = sin(lat) * sin(decl) + cos(lat) * cos(decl) * cos(hourangle)
        rad = elev > 0 ? 1100 * elev * (wet ? 0.3 : 0.72) : 0
        printf "2020 %d %d %d %.2f %.2f %.2f %.2f %.2f %.2f %.2f %.2f %.2f %.2f %.2f %.2f %.0f %.0f %.0f\n", m, d, h,
               t - 1.37, t, t + 0.39, p * 1.3, p, p * 0.92, wind - 0.4, wind, wind + 0.4,
               hum + 0.03, hum, hum - 0.03, rad * 1.05, rad, rad * 0.97
      } } }' >weather.tmp
awk '{ print $1, $2, $3, $4, $5, $6, $7 }' weather.tmp >>temperature.dat
awk '{ print $1, $2, $3, $4, $8, $9, $10 }' weather.tmp >>precipitation.dat
awk '{ print $1, $2, $3, $4, $11, $12, $13 }' weather.tmp >>wind_speed.dat
awk '{ print $1, $2, $3, $4, $14, $15, $16 }' weather.tmp >>air_humidity.dat
awk '{ print $1, $2, $3, $4, $17, $18, $19 }' weather.tmp >>global_radiation.dat
rm -f weather.tmp

# Observed discharge at the outlet: the basin's precipitation (the mean of the stations, snow
# below 0.5 degrees C melting by a degree-day factor) through a fast and a slow linear storage,
# plus the constant inflow of 0.5 m3/s that enters the basin's channels from outside
# (0.0818 mm per hour over 22 km2).
awk 'NR > 5 { p = 0; k = 0; for (i = 5; i <= 7; ++i) if ($i >= 0 && $i < 999) { p += $i; ++k }; print $1, $2, $3, $4, k ? p / k : 0 }' \
  precipitation.dat >p.tmp
awk 'NR > 5 { print $6 }' temperature.dat >t.tmp
{
  echo "observed discharge at the outlet of subbasin 3, mm per hour over the basin (synthetic)"
  echo "YYYY MM DD HH Q3"
  paste -d ' ' p.tmp t.tmp | awk '{ p = $5 * 1.15; t = $6
      if (t < 0.5) { snow += p; p = 0 }
      melt = t > 0 ? 2.5 * t / 24 : 0; if (melt > snow) melt = snow; snow -= melt; water = p + melt
      fast += 0.5 * water; slow += 0.3 * water
      q = fast / 12 + slow / 400; fast -= fast / 12; slow -= slow / 400
      printf "%d %d %d %d %.5f\n", $1, $2, $3, $4, q + 0.0818 }'
} >observed_discharge.dat
rm -f p.tmp t.tmp

# The period and the observed discharge of the control file.
awk '/end day/ { sub(/^[0-9]+/, "30") } /end month/ { sub(/^[0-9]+/, "6") }
     /observed discharge file for the comparison/ { sub(/^none/, "observed_discharge.dat") }
     { print }' basin.ctl >basin.ctl.tmp && mv basin.ctl.tmp basin.ctl
