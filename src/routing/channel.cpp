#include "routing/channel.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace routing {

namespace {
// Sub-channels beyond this are no channel a model can hold (the delay lines scale with them).
constexpr double kMaxSubChannels = 1.0e6;
// Longest delay line (positions per tracer and flow index) a channel may ask for.
constexpr double kMaxDelay = 1.0e7;

bool PositiveFinite(double x) { return std::isfinite(x) && x > 0; }

int TopClass(const WQTable& t) { return static_cast<int>(1 + t.n); }

// Place of a runoff x on the class scale: class c holds the places in (c-1, c].
double ClassPlace(const WQTable& t, double x) { return std::log(x / t.qmin) / t.dln; }

int ClassOfPlace(const WQTable& t, double place) {
    const double k = std::ceil(place);
    return k < 1 ? 1 : (k > t.n + 1 ? static_cast<int>(t.n) + 1 : static_cast<int>(k));
}

int ClassByLog(const WQTable& t, double x) {
    const int c = t.dln > 0 ? ClassOfPlace(t, ClassPlace(t, x)) : 1;
    return std::min(c, TopClass(t));
}

// Distance that a computed place keeps from a class boundary so that every runoff between two
// runoffs of the same class falls into that class: the logarithm and the two divisions err by a
// few units in the last place of the place, far below this.
double BoundaryMargin(int c) { return 1e-9 * (1.0 + c); }

// Buckets of runoffs by their bit pattern, so that a look-up is a shift and an index. The place
// grows with the runoff, so a bucket whose lowest and highest runoff lie in one class, each with
// the margin from the boundaries, holds only runoffs of that class. Buckets that hold a boundary
// keep 0 and their runoffs take the logarithm. Runoffs below the first bucket are in class 1,
// from the last bucket's end on in the top class.
void BuildClassBuckets(WQTable& t) {
    t.bucketClass.clear();
    const double octaves = std::log2(t.qmax / t.qmin);
    if (!(t.dln > 0) || !std::isfinite(t.dln) || !(octaves > 0)) return;
    // About eight buckets per class, a power of two per octave.
    const double perOctave = 8 * (t.n + 1) / octaves;
    const int bits = std::clamp(static_cast<int>(std::ceil(std::log2(perOctave))), 0, 52);
    const int top = TopClass(t);
    const std::size_t cap = 16 * static_cast<std::size_t>(top + 1) + 64;
    t.bucketShift = 52 - bits;
    t.bucketFirst = std::bit_cast<std::uint64_t>(t.qmin) >> t.bucketShift;
    auto lowest = [&](std::uint64_t key) { return std::bit_cast<double>(key << t.bucketShift); };
    if (!(ClassPlace(t, lowest(t.bucketFirst)) <= 1 - BoundaryMargin(1))) return;
    std::vector<int> buckets;
    for (std::uint64_t key = t.bucketFirst;; ++key) {
        const double lo = lowest(key), hi = std::bit_cast<double>(((key + 1) << t.bucketShift) - 1);
        if (!std::isfinite(hi) || buckets.size() >= cap) return;
        const double pl = ClassPlace(t, lo), ph = ClassPlace(t, hi);
        if (pl >= top - 1 + BoundaryMargin(top)) break;
        const int c = ClassOfPlace(t, pl);
        const bool inside = ClassOfPlace(t, ph) == c && (c == 1 || pl >= c - 1 + BoundaryMargin(c)) &&
                            (c == top || ph <= c - BoundaryMargin(c));
        buckets.push_back(inside ? std::min(c, top) : 0);
    }
    t.bucketClass = std::move(buckets);
}
}  // namespace

ChannelParams ChannelWithDefaults(const double c[10]) {
    ChannelParams p;
    if (c[0] > 0) p.km = c[0];
    if (c[1] > 0) p.kf = c[1];
    if (c[2] > 0) p.bm = c[2];
    if (c[3] > 0) p.bf = c[3];
    if (c[4] > 0) p.D = c[4];
    if (c[5] > 0) p.Mm = c[5];
    if (c[6] > 0) p.Mf = c[6];
    if (c[7] > 0) p.sqrtI = std::sqrt(c[7]);
    if (c[8] > 0) p.L = c[8];
    if (c[9] > 0) p.A = c[9];
    return p;
}

ManningResult ManningVelocity(double Q, double b, double v0, double M, double sqrtI, int maxIter, double tol) {
    ManningResult r;
    double v = v0;
    for (int it = 0; it < maxIter; ++it) {
        const double a = v > 0 ? Q / v : 0.0;
        r.h = a / b;
        const double P = 2 * r.h + b;
        double vNew = 0;
        if (P > 0) {
            r.R = a / P;
            vNew = r.R > 0 ? std::pow(r.R, 0.66667) * M * sqrtI : 0.0;
        } else {
            r.R = 0;
        }
        r.v = vNew;
        if (std::fabs(v - vNew) <= tol) break;
        v = vNew;
    }
    return r;
}

CompoundFlow CompoundChannelFlow(double Q, const ChannelParams& p, double vStart) {
    CompoundFlow f;
    f.Qm = Q;
    const double v0 = PositiveFinite(vStart) ? vStart : 1.0;
    f.main = ManningVelocity(f.Qm, p.bm, v0, p.Mm, p.sqrtI);
    if (!(f.main.h > p.D)) return f;

    f.flood.v = f.main.v;
    for (int it = 0; it < 50; ++it) {
        const double hOld = f.main.h;
        const double hm = (f.flood.h + hOld + p.D) / 2;
        f.flood.h = hm - p.D;
        const double d = std::fabs(hOld - hm);
        double dQ = std::min(p.bm * d * f.main.v, d * p.bf * f.flood.v);
        if (hOld > hm) {
            dQ = std::clamp(dQ, 0.0, f.Qm);
            f.Qm -= dQ;
            f.Qf += dQ;
        } else {
            dQ = std::clamp(dQ, 0.0, f.Qf);
            f.Qm += dQ;
            f.Qf -= dQ;
        }
        f.main = ManningVelocity(f.Qm, p.bm, PositiveFinite(f.main.v) ? f.main.v : 1.0, p.Mm, p.sqrtI);
        f.flood = ManningVelocity(f.Qf, p.bf, PositiveFinite(f.flood.v) ? f.flood.v : 1.0, p.Mf, p.sqrtI);
        if (std::fabs(f.main.h - f.flood.h - p.D) <= 0.01) break;
    }
    return f;
}

bool ValidTableRange(double qmin, double qmax, double n, int nSub) {
    return std::isfinite(qmin) && std::isfinite(qmax) && std::isfinite(n) && qmin > 0 && qmax >= qmin &&
           n >= 1 && n < 1.0e6 && nSub >= 1;
}

TableStatus BuildWQTable(const ChannelParams& p, double qmin, double qmax, double n, double dt, int nSub,
                         WQTable& t) {
    if (!ValidTableRange(qmin, qmax, n, nSub) || !PositiveFinite(dt)) return TableStatus::BadRange;
    t.qmin = qmin;
    t.qmax = qmax;
    t.n = n;
    t.dln = std::log(qmax / qmin) / n;
    BuildClassBuckets(t);
    const auto size = static_cast<std::size_t>(static_cast<int>(n) + 2);
    for (auto* col : {&t.q, &t.qmm, &t.Q, &t.v, &t.vm, &t.vf, &t.t, &t.Rm, &t.Rf, &t.dm, &t.df, &t.share})
        col->assign(size, 0.0);
    t.delta.assign(size, 0);

    const int top = static_cast<int>(n) + 1;
    double vCarried = 1.0;
    for (int c = top; c >= 1; --c) {
        t.q[c] = qmin * std::pow(qmax / qmin, (c - 1) / n);
        t.qmm[c] = 0.0036 * t.q[c] * dt / 60;
        t.Q[c] = t.q[c] / 1000 * p.A;
        const CompoundFlow f = CompoundChannelFlow(t.Q[c], p, vCarried);
        t.vm[c] = f.main.v;
        t.vf[c] = f.flood.v;
        t.Rm[c] = f.main.R;
        t.Rf[c] = f.flood.R;
        t.dm[c] = f.main.h;
        t.df[c] = f.flood.h;
        const double sum = f.Qm + f.Qf;
        t.v[c] = sum > 0 ? (f.Qm * f.main.v + f.Qf * f.flood.v) / sum : 0.0;
        t.share[c] = sum > 0 ? f.Qf / sum : 0.0;
        if (!PositiveFinite(t.v[c])) return TableStatus::NoVelocity;
        t.t[c] = p.L / t.v[c] / 3600;
        if (!std::isfinite(t.t[c])) return TableStatus::NoVelocity;
        vCarried = f.main.v;
    }

    const double m = SubChannels(t.t[1], t.t[top], dt);
    if (m < 1) return TableStatus::TooManySubChannels;
    t.m = m;

    t.maxDelta = 0;
    for (int c = 1; c <= top; ++c) {
        const double delay = t.t[c] / m / dt * 60 * nSub;
        if (!(delay < kMaxDelay)) return TableStatus::TooManySubChannels;
        t.delta[c] = static_cast<int>(delay);
        t.maxDelta = std::max(t.maxDelta, t.delta[c]);
    }
    const double length = (nSub + static_cast<double>(t.maxDelta)) * m;
    if (!(length < kMaxDelay)) return TableStatus::TooManySubChannels;
    t.length = static_cast<int>(length);
    return TableStatus::Ok;
}

double SubChannels(double tSlow, double tFast, double dt) {
    // The search starts just below the closed-form value, so it takes a few steps only.
    const double step = dt / 60;
    const double estimate = (tSlow - tFast) / step;
    if (!(estimate < kMaxSubChannels) || !(step > 0)) return 0;
    double m = std::max(1.0, std::floor(estimate) - 2);
    while (tSlow / m > tFast / m + step) m += 1;
    return m;
}

int WQClassOfRunoffByLog(const WQTable& t, double x) { return ClassByLog(t, x); }

int WQClassIndexByLog(const WQTable& t, double q, double dt) { return ClassByLog(t, SpecificRunoff(q, dt)); }

}  // namespace routing
