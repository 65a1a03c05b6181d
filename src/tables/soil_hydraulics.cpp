// Hydraulic look-up tables of the soil layers: water content by suction, suction by water
// content, relative conductivity by water content (31-point tables built from the van
// Genuchten parameters) and the freezing tables of frozen soil.
#include <algorithm>
#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "tables/soil_entry.hpp"

namespace {

constexpr int kPoints = soil_entry::kTablePoints;

// Suction points in m of water column, the same for every layer; element 0 is no table point.
constexpr std::array<double, kPoints + 1> kSuction{0,    0,    0.0005, 0.001, 0.002, 0.005, 0.007, 0.01,
                                                   0.02, 0.03, 0.05,   0.07,  0.1,   0.15,  0.2,   0.3,
                                                   0.4,  0.6,  0.8,    1.2,   1.6,   2.6,   3.45,  6.9,
                                                   20.0, 35.0, 50.0,   75.0,  100.0, 125.0, 150.0};

std::size_t Idx(std::int32_t i) { return static_cast<std::size_t>(i); }

// Bracket k (table points k and k + 1) of x by bisection over points 1..30. rising: the
// table grows with the index (suctions), else it falls (water contents). A point equal to x
// ends the search with x at the upper end of the bracket.
int Bracket(const soil_entry::PointTable& t, double x, bool rising) {
    int low = 1;
    int high = kPoints;
    int mid = (high - 1) / 2 + 1;
    while (low <= high) {
        const bool below = rising ? x <= t[Idx(mid)] : x >= t[Idx(mid)];
        if (below) {
            high = mid - 1;
        } else {
            low = mid + 1;
        }
        if (t[Idx(mid)] == x) break;
        mid = (high - low) / 2 + low;
    }
    // Arguments that are no number end outside the table; keep the bracket inside it.
    if (high < 0) return 0;
    if (high > kPoints - 1) return kPoints - 1;
    return high;
}

}  // namespace

void soil_entry::AllocateLayerTables(std::int32_t layer) {
    const std::size_t l = Idx(layer);
    const double ts = theta_sat[l], tr = theta_res[l];
    const double a = alpha[l], n = Par_n[l], m = Par_m[l], tau = Par_tau[l];
    auto se = [&](double h) { return std::pow(1.0 / (1.0 + std::pow(a * h, n)), m); };
    PointTable& hR = retentionSuction[l];
    PointTable& thR = retentionTheta[l];
    PointTable& thK = conductivityTheta[l];
    PointTable& kr = relConductivity[l];
    hR = kSuction;
    thR[0] = ts;
    thK[0] = ts;
    for (int k = 1; k < kPoints; ++k) {
        const double s = se(kSuction[Idx(k)]);
        thR[Idx(k)] = tr + (ts - tr) * s;
        thK[Idx(k)] = thR[Idx(k)];
        kr[Idx(k)] = std::pow(s, tau) * std::pow(1.0 - std::pow(1.0 - std::pow(s, 1.0 / m), m), 2.0);
    }
    thK[1] = ts;
    thR[kPoints] = tr;
    thK[kPoints] = tr;
    kr[kPoints] = 0.0;
    kr[0] = kr[1];
    auto falls = [](const PointTable& t) {
        bool strictly = true;
        for (int k = 1; k < kPoints; ++k) strictly = strictly && t[Idx(k)] > t[Idx(k + 1)];
        return strictly ? 1 : 0;
    };
    if (retentionFalls.size() <= l) retentionFalls.resize(l + 1, 0);
    retentionFalls[l] = falls(thR);
    if (conductivityFalls.size() <= l) conductivityFalls.resize(l + 1, 0);
    conductivityFalls[l] = falls(thK);
    if (suctionRises.size() <= l) suctionRises.resize(l + 1, 0);
    bool rises = true;
    for (int k = 1; k < kPoints; ++k) rises = rises && hR[Idx(k)] < hR[Idx(k + 1)];
    suctionRises[l] = rises ? 1 : 0;
}

namespace {

// Number of the 28 points first..first + 27 of t that lie below x (Below) or above it, counted
// without a branch (a bisection's branches follow the water content, which the processor cannot
// foresee): the compares side by side and their sum as a tree, so that the count is ready a few
// cycles after x.
template <bool Below>
int CountPoints(const soil_entry::PointTable& t, std::size_t first, double x) {
    static_assert(kPoints == 30, "28 points in 14 pairs: every table point but the two at one end");
#if defined(__SSE2__)
    const __m128d v = _mm_set1_pd(x);
    // Each compare gives -1 (all bits set) per point counted.
    auto pair = [&](std::size_t j) {
        const __m128d p = _mm_loadu_pd(&t[j]);
        return _mm_castpd_si128(Below ? _mm_cmplt_pd(p, v) : _mm_cmpgt_pd(p, v));
    };
    __m128i s[7];
    for (std::size_t i = 0; i < 7; ++i) s[i] = _mm_add_epi64(pair(first + 4 * i), pair(first + 2 + 4 * i));
    const __m128i u = _mm_add_epi64(_mm_add_epi64(_mm_add_epi64(s[0], s[1]), _mm_add_epi64(s[2], s[3])),
                                    _mm_add_epi64(_mm_add_epi64(s[4], s[5]), s[6]));
    return -static_cast<int>(_mm_cvtsi128_si64(_mm_add_epi64(u, _mm_unpackhi_epi64(u, u))));
#else
    int n = 0;
    for (std::size_t j = first; j < first + 28; ++j) n += (Below ? t[j] < x : t[j] > x) ? 1 : 0;
    return n;
#endif
}

// Bracket of h in a suction table that rises strictly over points 1..kPoints, with h < t[kPoints]
// and a number: the number of points 1..kPoints - 1 below h (a point equal to h is the upper end of
// the bracket, as in the bisection, which ends at the same bracket).
int CountedRisingBracket(const soil_entry::PointTable& t, double h) {
    return (t[kPoints - 1] < h ? 1 : 0) + CountPoints<true>(t, 1, h);
}

}  // namespace

double soil_entry::ThetaFromSuction(std::int32_t layer, double h) const {
    const std::size_t l = Idx(layer);
    const PointTable& hR = retentionSuction[l];
    const PointTable& th = retentionTheta[l];
    if (h >= hR[kPoints]) return th[kPoints];
    const bool rises = l < suctionRises.size() && suctionRises[l] != 0;
    const int k = rises && !std::isnan(h) ? CountedRisingBracket(hR, h) : Bracket(hR, h, true);
    const double w = hR[Idx(k + 1)] - hR[Idx(k)];
    if (w < 0.001) return th[Idx(k)];
    const double f = (h - hR[Idx(k)]) / w;
    return f * th[Idx(k + 1)] + (1.0 - f) * th[Idx(k)];
}

double soil_entry::SuctionFromTheta(std::int32_t layer, double theta) const {
    int hint = 0;
    return SuctionFromTheta(layer, theta, hint);
}

namespace {

// Bracket of theta in a strictly falling table with th[kPoints] <= theta < th[1]: the one k with
// th[k] > theta >= th[k + 1], which is 1 plus the number of points 2..kPoints - 1 above theta (the
// last point never is); the bisection ends at the same bracket.
int CountedBracket(const soil_entry::PointTable& th, double theta) { return 1 + CountPoints<false>(th, 2, theta); }

}  // namespace

double soil_entry::SuctionFromThetaSearch(std::int32_t layer, double theta, int& hint) const {
    const std::size_t l = Idx(layer);
    const PointTable& th = retentionTheta[l];
    const bool falls = l < retentionFalls.size() && retentionFalls[l] != 0;
    hint = falls && !std::isnan(theta) ? CountedBracket(th, theta) : Bracket(th, theta, false);
    return Interpolate(th, retentionSuction[l], hint, theta);
}

int soil_entry::RetentionBracket(std::int32_t layer, double theta) const {
    return CountedBracket(retentionTheta[Idx(layer)], theta);
}

double soil_entry::RelConductivityFromTheta(std::int32_t layer, double theta1, double theta2) const {
    int hint = 0;
    return RelConductivityFromTheta(layer, theta1, theta2, hint);
}

double soil_entry::ThetaFromSuctionBySearch(std::int32_t layer, double h) const {
    const std::size_t l = Idx(layer);
    const PointTable& hR = retentionSuction[l];
    const PointTable& th = retentionTheta[l];
    if (h >= hR[kPoints]) return th[kPoints];
    const int k = Bracket(hR, h, true);
    const double w = hR[Idx(k + 1)] - hR[Idx(k)];
    if (w < 0.001) return th[Idx(k)];
    const double f = (h - hR[Idx(k)]) / w;
    return f * th[Idx(k + 1)] + (1.0 - f) * th[Idx(k)];
}

double soil_entry::SuctionFromThetaBySearch(std::int32_t layer, double theta) const {
    const std::size_t l = Idx(layer);
    const PointTable& th = retentionTheta[l];
    if (theta <= th[kPoints]) return retentionSuction[l][kPoints];
    if (theta >= th[1]) return 0.0;
    return Interpolate(th, retentionSuction[l], Bracket(th, theta, false), theta);
}

double soil_entry::RelConductivityFromThetaBySearch(std::int32_t layer, double theta1, double theta2) const {
    const std::size_t l = Idx(layer);
    const PointTable& th = conductivityTheta[l];
    const PointTable& kr = relConductivity[l];
    const double theta = std::min(theta1, theta2);
    if (theta < th[kPoints]) return kr[kPoints];
    if (theta >= th[1]) return 1.0;
    return Interpolate(th, kr, Bracket(th, theta, false), theta);
}

double soil_entry::RelConductivityFromThetaSearch(std::int32_t layer, double theta, int& hint) const {
    const std::size_t l = Idx(layer);
    const PointTable& th = conductivityTheta[l];
    const bool falls = l < conductivityFalls.size() && conductivityFalls[l] != 0;
    hint = falls && !std::isnan(theta) ? CountedBracket(th, theta) : Bracket(th, theta, false);
    return Interpolate(th, relConductivity[l], hint, theta);
}

void soil_entry::ComputeFreezingTables(std::int32_t layer, double c) {
    const std::size_t l = Idx(layer);
    const int N = freezingSteps;
    const double dT = freezingTmin / N;
    const double a = alpha[l], n = Par_n[l], m = Par_m[l];
    std::vector<double>& U = unfrozenSaturation[l];
    std::vector<double>& D = unfrozenDerivative[l];
    std::vector<double>& F = freezingOffset[l];
    U.assign(static_cast<std::size_t>(N) + 1, 0.0);
    D.assign(static_cast<std::size_t>(N) + 1, 0.0);
    F.assign(static_cast<std::size_t>(N) + 1, 0.0);
    U[0] = 1.0;
    D[0] = 0.0;
    double dMax = -HUGE_VAL;
    double tPeak = dT;
    for (int j = 1; j <= N; ++j) {
        const double T = j * dT;
        const double x = std::fabs(c * T) * a;
        const double xn = std::pow(x, n);
        U[Idx(j)] = std::pow(1.0 / (xn + 1.0), m);
        D[Idx(j)] = m * n * a * c * std::pow(x, n - 1.0) * std::pow(xn + 1.0, -m - 1.0);
        if (D[Idx(j)] > dMax) {
            dMax = D[Idx(j)];
            tPeak = T;
        }
    }
    // Freezing offsets by relative water content: the temperature at which the derivative
    // falls to the share i/N of its peak, measured from the cold end, i.e. at the last step
    // j < N whose derivative reaches the share (0 if none does). The largest derivative from
    // each step up to step N - 1 (no number where all there are none) reaches the share up to
    // that step and no further, so a bisection finds it instead of a scan from the cold end
    // for every share.
    std::vector<double> largest(static_cast<std::size_t>(std::max(N, 1)), NAN);
    for (int j = N - 1; j >= 1; --j) {
        const double next = j + 1 <= N - 1 ? largest[Idx(j + 1)] : NAN;
        const double d = D[Idx(j)];
        largest[Idx(j)] = std::isnan(d) ? next : (std::isnan(next) || d > next ? d : next);
    }
    for (int i = 0; i <= N; ++i) {
        const double g = static_cast<double>(i) / N * dMax;
        double T = freezingTmin;
        if (!(D[Idx(N)] > g)) {
            int j = 0;
            for (int low = 1, high = N - 1; low <= high;) {
                const int mid = low + (high - low) / 2;
                if (largest[Idx(mid)] >= g) {
                    j = mid;
                    low = mid + 1;
                } else {
                    high = mid - 1;
                }
            }
            const double span = D[Idx(j)] - D[Idx(j + 1)];
            const double q = span != 0 ? (g - D[Idx(j + 1)]) / span : 0.0;
            T = dT * (j * q + (j + 1) * (1.0 - q));
        }
        if (T >= tPeak) {
            F[Idx(i)] = 0.0;
        } else {
            const double s = 1.2999999999999998 * tPeak > T
                                 ? 1.15 * tPeak
                                 : tPeak * ((T - tPeak) * 0.1499999999999999 / (tPeak * 0.2999999999999998) + 1.0);
            F[Idx(i)] = T - s;
        }
    }
}

double soil_entry::FreezingOffset(std::int32_t layer, double theta) const {
    const std::size_t l = Idx(layer);
    const std::vector<double>& F = freezingOffset[l];
    if (F.empty()) return 0.0;
    const int N = freezingSteps;
    const double x = (theta - theta_res[l]) / (theta_sat[l] - theta_res[l]) * N;
    double value;
    if (!(x >= 0)) {
        value = F[0];
    } else if (x >= N) {
        value = F[Idx(N)];
    } else {
        const int j = static_cast<int>(x);
        const double f = x - j;
        value = F[Idx(j)] * (1.0 - f) + F[Idx(j + 1)] * f;
    }
    return std::fabs(value);
}

void soil_entry::UnfrozenFractionPerLayer(double* out, const double* T, const double* theta, double* offsets) const {
    if (!T) return;
    const int N = freezingSteps;
    for (std::int32_t l = 1; l <= layerCount; ++l) {
        const std::size_t i = Idx(l);
        if (T[i] > 0) {
            out[i] = 1.0;
            continue;
        }
        if (T[i] <= freezingTmin) {
            out[i] = 0.0;
            continue;
        }
        double o;
        if (offsets == nullptr) {
            o = FreezingOffset(l, theta[i]);
        } else {
            if (std::isnan(offsets[i])) offsets[i] = FreezingOffset(l, theta[i]);
            o = offsets[i];
        }
        const double t = T[i] + o;
        out[i] = t >= 0 ? 1.0 : UnfrozenAt(unfrozenSaturation[i], t * N / freezingTmin);
    }
}

void soil_entry::FreezingDerivativePerLayer(double* out, const double* T, const double* theta) const {
    if (!T) return;
    const int N = freezingSteps;
    for (std::int32_t l = 1; l <= layerCount; ++l) {
        const std::size_t i = Idx(l);
        out[i] = 0.0;
        if (!(T[i] <= 0) || !(T[i] >= freezingTmin)) continue;
        const double t = T[i] + FreezingOffset(l, theta[i]);
        if (t < 0) out[i] = UnfrozenAt(unfrozenDerivative[i], t * N / freezingTmin);
    }
}

void soil_entry::UnfrozenAndDerivativePerLayer(double* unfrozen, double* derivative, const double* T,
                                               const double* theta, double* offsets) const {
    if (!T) return;
    for (std::int32_t l = 1; l <= layerCount; ++l) {
        const std::size_t i = Idx(l);
        UnfrozenAndDerivative(l, T[i], theta[i], offsets == nullptr ? nullptr : &offsets[i], unfrozen[i],
                              derivative[i]);
    }
}

void soil_entry::ComputeLayerHeatCapacity(const double* T, double* out, const double* f, const double* extra,
                                          const double* theta, double factor, double cWater, double cIce0,
                                          double cIce20) const {
    for (std::int32_t l = 1; l <= layerCount; ++l) {
        const std::size_t i = Idx(l);
        out[i] = LayerHeatCapacity(l, T[i], f[i], extra[i], theta[i], factor, cWater, cIce0, cIce20);
    }
}
