#pragma once
// Gauge undercatch of precipitation: a correction factor linear in the wind speed, one pair of
// coefficients for rain and one for snow, the phase chosen by the air temperature; and the
// refit of an elevation regression of precipitation to corrected values.
#include <array>
#include <functional>

namespace undercatch {

struct Coefficients {
    double threshold = 0;  // above: rain; at or below: snow
    double constantRain = 1, slopeRain = 0, constantSnow = 1, slopeSnow = 0;
};

// The factor for wind speed u at temperature t.
inline double Factor(const Coefficients& k, double t, double u) {
    return t > k.threshold ? k.slopeRain * u + k.constantRain : k.slopeSnow * u + k.constantSnow;
}

// Lower and upper zone limits and the lines value = a[k] + b[k]·z of zones 1..3 (index 0 unused).
struct ElevationProfile {
    double h1 = 0, h2 = 0;
    std::array<double, 4> a{}, b{};
};

// Refits the profile to the corrected precipitation factorAt(z)·(a[k] + b[k]·z): zone 1 from
// 0 to h1 (or, without zone 1, zone 2 from 0 to h2), zone 3 from h2 upwards to the highest
// elevation, each by least squares over eleven samples; then joins the lines again. h1 stays.
ElevationProfile RefitProfile(const ElevationProfile& p, double maxElevation,
                              const std::function<double(double)>& factorAt);

}  // namespace undercatch
