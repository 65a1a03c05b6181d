// Solar geometry of the sub-model base: declination, equation of time, sun elevation and
// position, sunrise and sunset, and the daylight share of the current step. All of it is pure
// and may run inside the sub-models' cell loops.
#include <algorithm>
#include <cmath>

#include "submodel/teilmod.hpp"

namespace {
int ClampMonth(int month) { return std::clamp(month, 1, 12); }
// acos of a value that rounding may have pushed just outside [-1, 1].
double SafeAcos(double x) { return std::acos(std::clamp(x, -1.0, 1.0)); }
}  // namespace

double teilmodellklasse::GetTimeEquation(int day, int month) const {
    month = ClampMonth(month);
    const double days = daysPerMonth[static_cast<std::size_t>(month - 1)];
    return ((days - day + 1) / days) * timeEquationTable[month] / 60.0 +
           ((day - 1) / days) * timeEquationTable[month + 1] / 60.0;
}

double teilmodellklasse::GetDeclination(int day, int month) const {
    month = ClampMonth(month);
    int n = day;
    for (int m = 1; m < month; ++m) n += daysPerMonth[static_cast<std::size_t>(m - 1)];
    return -23.4 * std::cos((n + 10) / 58.09155423);
}

double teilmodellklasse::GetSunElevation(double lat, double lon, double hour_, int day_, int month_) const {
    const double e = GetTimeEquation(day_, month_);
    const double d = GetDeclination(day_, month_);
    const double t = hour_ - (meridian - lon) / 15.0 + e;
    const double w = (12.0 - t) * 15.0;
    const double rad = pi / 180.0;
    const double s = std::sin(lat * rad) * std::sin(d * rad) + std::cos(lat * rad) * std::cos(d * rad) * std::cos(w * rad);
    const double z = SafeAcos(s) / rad;
    return s >= 0 ? 90.0 - z : z - 90.0;
}

void teilmodellklasse::GetSunPosition(double lat, double lon, double hour_, int day_, int month_, double* azimuth,
                                      double* elevation) const {
    lat = std::fmod(lat, 360.0);
    lon = std::fmod(lon, 360.0);
    const double e = GetTimeEquation(day_, month_);
    const double d = GetDeclination(day_, month_);
    const double t = std::fmod(e + hour_ - (meridian - lon) / 15.0 + 24.0, 24.0);
    const double w = ((12.0 - t) / 12.0) * pi;
    const double rad = pi / 180.0;
    const double latR = lat * rad;
    const double dR = d * rad;
    const double s = std::sin(latR) * std::sin(dR) + std::cos(latR) * std::cos(dR) * std::cos(w);
    const double c = (std::cos(latR) * std::sin(dR) - std::cos(dR) * std::sin(latR) * std::cos(w)) / std::sqrt(1.0 - s * s);
    *elevation = pi / 2.0 - SafeAcos(s);
    // With the sun in the zenith the azimuth is undefined (c is not finite): it is taken as south.
    double az = (c <= -1.0 || c >= 1.0 || !std::isfinite(c)) ? 3.14159265359 : std::acos(c);
    if (t > 12.0) az = 6.28318530718 - az;
    *azimuth = az;
}

double teilmodellklasse::CosAngleBetween(double a1, double z1, double a2, double z2) const {
    return std::cos(z1) * std::cos(z2) + std::sin(z1) * std::sin(z2) * std::cos(a2 - a1);
}

void teilmodellklasse::GetSunriseSunset(double lat, double lon, int day_, int month_, double* rise,
                                        double* set) const {
    lat = std::fmod(lat, 360.0);
    lon = std::fmod(lon, 360.0);
    const double e = GetTimeEquation(day_, month_);
    const double d = GetDeclination(day_, month_);
    const double rad = pi / 180.0;
    const double x = std::tan(lat * rad) * std::tan(d * rad);
    if (std::fabs(x) <= 1.0) {
        if (x == 0) {
            *rise = 6.0;
            *set = 18.0;
        } else {
            *rise = (12.0 / pi) * std::acos(x);
            *set = 24.0 - *rise;
        }
        const double shift = (meridian - lon) / 15.0 - e;
        *rise += shift;
        *set += shift;
    } else {
        *rise = 24.0;
        *set = 0.0;
    }
}

void teilmodellklasse::ComputeDaylightFraction(double extraHours) {
    double rise = 0, set = 0;
    GetSunriseSunset(latitude, longitude, static_cast<int>(day), static_cast<int>(month), &rise, &set);
    rise = std::fmod(rise + 24.0, 24.0);
    set = std::fmod(set + 24.0, 24.0);
    sunrise = rise;
    sunset = set;

    const double te = static_cast<double>(hour) + hourOffset + extraHours;
    const double stepHours = timeInterval / 60.0;
    const double length = timeInterval > 1440.0 ? 24.0 : stepHours;
    const double ts = te - length;

    const double a = (ts <= rise && rise < te) ? rise - ts : 0.0;
    double b = 0.0;
    if (set <= rise) {
        if (set <= te && set > ts)
            b = te - set;
        else if (set <= ts)
            b = te < rise ? stepHours : 0.0;
        else
            b = 0.0;
    } else if (set <= te || te <= rise) {
        b = (set <= ts || te <= set) ? stepHours : te - set;
    }
    darkBeforeSunrise = a;
    darkAfterSunset = b;

    double f = length > 0 ? (a + b) / length : 0.0;
    if (f > 1.0) f -= 1.0;
    nightFraction = f;
    if (f > 0.95) {
        nightFraction = 1.0;
        dayFraction = 0.0;
        nightFlag = 1;
    } else {
        dayFraction = 1.0 - f;
        nightFlag = dayFraction < 0.05 ? 1 : 0;
    }
}
