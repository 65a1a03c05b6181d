// Refit of an elevation profile of precipitation to the values corrected for undercatch.
#include "meteo/precicorr_physics.hpp"

#include <cmath>

namespace undercatch {

namespace {

// Least-squares line through the corrected values of zone k sampled from `from` in steps of
// `step` while more() holds for the sample.
template <class More>
void FitZone(ElevationProfile& out, int k, double from, double step, More more,
             const std::function<double(double)>& factorAt) {
    double n = 0, sz = 0, szz = 0, sp = 0, szp = 0;
    for (int i = 0;; ++i) {
        const double z = from + i * step;
        if (!more(z)) break;
        const double p = factorAt(z) * (out.b[k] * z + out.a[k]);
        n += 1;
        sz += z;
        szz += z * z;
        sp += p;
        szp += p * z;
    }
    const double denominator = szz * n - sz * sz;
    if (!(n > 1) || denominator == 0) return;
    const double b = (szp * n - sz * sp) / denominator;
    out.b[k] = b;
    out.a[k] = (sp - b * sz) / n;
}

}  // namespace

ElevationProfile RefitProfile(const ElevationProfile& p, double maxElevation,
                              const std::function<double(double)>& factorAt) {
    ElevationProfile out = p;
    const double h1 = p.h1, h2 = p.h2;
    // A zone is sampled only over a positive range: with h2 at or below 0 the samples would
    // not advance (h2 = 0) or give no line at all.
    if (h1 > 0 && p.b[1] != 0) {
        FitZone(out, 1, 0.0, h1 / 10.0, [&](double z) { return z <= h1; }, factorAt);
    } else if (h2 > 0) {
        FitZone(out, 2, 0.0, h2 / 10.0, [&](double z) { return z <= h2; }, factorAt);
    }
    if (p.b[3] != 0 && maxElevation > h2) {
        const double step = (maxElevation - h2) / 10.0;
        FitZone(out, 3, h2, step, [&](double z) { return z <= 2 * h2 || z <= maxElevation; }, factorAt);
    }
    // Join the lines again: zone 2 runs from line 1 at h1 to line 3 at h2 (only when that range
    // is not empty), or without zone 1 the upper limit moves to where lines 2 and 3 meet.
    if (h1 > 0) {
        if (h2 > h1) {
            out.b[2] = ((out.b[3] * h2 + out.a[3]) - (out.b[1] * h1 + out.a[1])) / (h2 - h1);
            out.a[2] = (out.b[1] - out.b[2]) * h1 + out.a[1];
        }
    } else if (std::fabs(out.b[3] - out.b[2]) > 0.0001) {
        out.h2 = (out.a[2] - out.a[3]) / (out.b[3] - out.b[2]);
    }
    return out;
}

}  // namespace undercatch
