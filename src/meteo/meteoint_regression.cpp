// meteointerpol: the elevation regression fitted to the station values of a step (methods 10
// and 11). Two groups of stations below and above the lower inversion give one line each; the
// lines are joined into three elevation zones, and the residuals of the stations are fitted by
// a horizontal plane when there are enough stations that are not on one straight line.
#include <algorithm>
#include <cmath>

#include "meteo/meteoint.hpp"

namespace {

// The sums of one group of stations.
struct Group {
    double n = 0, sz = 0, sv = 0, szz = 0, szv = 0;
    double low = 1e9, high = -1e8;

    void Add(double z, double v) {
        n += 1;
        sz += z;
        sv += v;
        szz += z * z;
        szv += z * v;
        low = std::min(low, z);
        high = std::max(high, z);
    }
    // Replaces the group by one point at its mean altitude and mean value.
    void ToPoint() {
        const double z = sz / n, v = sv / n;
        *this = Group{};
        Add(z, v);
    }
    bool IsPoint() const { return n == 1; }
    double Z() const { return sz / n; }
    double V() const { return sv / n; }
};

struct Line {
    double a, b;
};

// The least-squares line of a group of more than one station at different altitudes.
Line Fit(const Group& g, double missing) {
    const double denominator = g.szz - g.sz * g.sz / g.n;
    if (g.n < 2 || !(denominator > 0)) return {missing, missing};
    const double b = (g.szv - g.sz * g.sv / g.n) / denominator;
    return {(g.sv - b * g.sz) / g.n, b};
}

// The line through the point (z, v) that meets `other` at the altitude at. A point at that
// very altitude takes the slope of the other line.
Line Through(double z, double v, const Line& other, double at) {
    if (at == z) return {v - other.b * z, other.b};
    const double b = (other.a + other.b * at - v) / (at - z);
    return {(other.b - b) * at + other.a, b};
}

}  // namespace

void meteointerpol::ComputeElevationRegression(int file) {
    regressionFitted_ = true;
    using R = RegressionFile;
    const double missing = -N - 1;
    const StationFile& f = Station(file);
    const int n = f.StationCount();
    const auto at = [](int k) { return static_cast<std::size_t>(k); };
    const double L = lowerInversion;
    const auto counted = [&](int k) { return f.Values()[at(k)] > -N; };

    // Groups below (at) and above the lower inversion.
    Group g1, g2;
    for (int k = 1; k <= n; ++k) {
        if (!counted(k)) continue;
        const double z = f.Altitude()[at(k)];
        (z <= L ? g1 : g2).Add(z, f.Values()[at(k)]);
    }
    // Stations at the border between the groups count in both where asked for, or where the
    // other group has only one station.
    const bool toUpper = overlap >= 1 || g2.n == 1;
    const bool toLower = overlap >= 1 || g1.n == 1;
    const double high1 = g1.high, low2 = g2.low;
    Group added1, added2;
    for (int k = 1; k <= n; ++k) {
        if (!counted(k)) continue;
        const double z = f.Altitude()[at(k)], v = f.Values()[at(k)];
        if (toUpper && z <= L && z == high1) added2.Add(z, v);
        if (toLower && z > L && z == low2) added1.Add(z, v);
    }
    for (auto [group, extra] : {std::pair{&g1, &added1}, std::pair{&g2, &added2}}) {
        if (extra->n == 0) continue;
        group->n += extra->n;
        group->sz += extra->sz;
        group->sv += extra->sv;
        group->szz += extra->szz;
        group->szv += extra->szv;
        group->low = std::min(group->low, extra->low);
        group->high = std::max(group->high, extra->high);
    }
    // Stations closer in altitude than the cluster range stand for one point; so do stations
    // at one and the same altitude, through which no line can be laid.
    for (Group* g : {&g1, &g2})
        if (g->n > 1 && (g->high - g->low < clusterRange || !(g->high > g->low))) g->ToPoint();

    if (g1.n == 0 && g2.n == 0) {
        regression.fill(missing);
        return;
    }
    if (g1.IsPoint() && g2.IsPoint()) {
        if (std::max(g1.high, g2.high) - std::min(g1.low, g2.low) >= clusterRange) {
            g1.Add(g2.Z(), g2.V());
            if (!(g1.high > g1.low)) g1.ToPoint();
        }
        g2 = Group{};
    }
    Line l1 = Fit(g1, missing), l2 = Fit(g2, missing);
    if (g1.n == 0) {
        l1 = g2.IsPoint() ? Line{g2.V(), 0} : l2;
        l2 = l1;
    } else if (g2.n == 0) {
        l1 = g1.IsPoint() ? Line{g1.V(), 0} : l1;
        l2 = l1;
    } else if (g2.IsPoint()) {
        l2 = Through(g2.Z(), g2.V(), l1, L);
    } else if (g1.IsPoint()) {
        l1 = Through(g1.Z(), g1.V(), l2, L);
    }

    // Zones: where the lines meet, or the inversion band when they meet far outside it.
    double h1 = 0;
    double h2 = (!(l2.a < -N) && l1.b != l2.b) ? (l2.a - l1.a) / (l1.b - l2.b) : L;
    Line z1 = l1, z2 = l1, z3 = l2;
    z1.b = 0;
    if (h2 < L - tolerance || h2 > upperInversion + tolerance) {
        h2 = upperInversion;
        h1 = L;
        if (L > 0) {
            // Zone 1 keeps line 1, zone 2 joins line 1 at h1 with line 2 at h2.
            z1 = l1;
            z2.b = (z3.b * h2 + z3.a - l1.a - l1.b * h1) / (h2 - h1);
            z2.a = h1 * (l1.b - z2.b) + l1.a;
        }
    }
    if (upperLapseAbove > -9998.0) {
        z3.a += (z3.b - upperLapseAbove) * h2;
        z3.b = upperLapseAbove;
    }
    regression[R::a1] = z1.a;
    regression[R::b1] = z1.b;
    regression[R::a2] = z2.a;
    regression[R::b2] = z2.b;
    regression[R::a3] = z3.a;
    regression[R::b3] = z3.b;
    regression[R::h1] = h1;
    regression[R::h2] = h2;

    // Residual plane: the residuals of the stations, added to a1, fitted by p0 + px x + py y.
    // The normal equations are solved with coordinates taken relative to the mean station,
    // which gives the same plane without the loss of digits of large map coordinates.
    regression[R::p0] = regression[R::px] = regression[R::py] = missing;
    double count = 0, sx = 0, sy = 0, sw = 0;
    for (int k = 1; k <= n; ++k) {
        if (!counted(k)) continue;
        const double z = f.Altitude()[at(k)];
        const Line& zone = z < h1 ? z1 : (z <= h2 ? z2 : z3);
        count += 1;
        sx += f.X()[at(k)];
        sy += f.Y()[at(k)];
        sw += z1.a + f.Values()[at(k)] - (zone.a + zone.b * z);
    }
    if (count <= 3) return;
    const double mx = sx / count, my = sy / count;
    double sxx = 0, syy = 0, sxy = 0, sxw = 0, syw = 0;
    for (int k = 1; k <= n; ++k) {
        if (!counted(k)) continue;
        const double z = f.Altitude()[at(k)];
        const Line& zone = z < h1 ? z1 : (z <= h2 ? z2 : z3);
        const double x = f.X()[at(k)] - mx, y = f.Y()[at(k)] - my;
        const double w = z1.a + f.Values()[at(k)] - (zone.a + zone.b * z);
        sxx += x * x;
        syy += y * y;
        sxy += x * y;
        sxw += x * w;
        syw += y * w;
    }
    const double c1[4] = {0, count, 0, 0}, c2[4] = {0, 0, sxx, sxy}, c3[4] = {0, 0, sxy, syy};
    const double rhs[4] = {0, sw, sxw, syw};
    const double det = Determinant3(c1, c2, c3);
    // Stations on one straight line (or nearly so) leave the plane undetermined.
    if (!(det > 1e-10 * count * sxx * syy)) return;
    const double px = Determinant3(c1, rhs, c3) / det;
    const double py = Determinant3(c1, c2, rhs) / det;
    regression[R::px] = px;
    regression[R::py] = py;
    regression[R::p0] = (sw - px * sx - py * sy) / count;
}

meteointerpol::RegressionSet meteointerpol::GetRegressionSet(int index) const {
    using R = RegressionFile;
    RegressionSet set;
    const bool regressionMethod = method == 2 || method == 3 || method == 10 || method == 11;
    if (index != 0 || !regressionMethod) {
        const double missing = -N - 1;
        set.h1 = set.h2 = missing;
        set.a.fill(missing);
        set.b.fill(missing);
        return set;
    }
    set.h1 = regression[R::h1];
    set.h2 = regression[R::h2];
    set.a = {0, regression[R::a1], regression[R::a2], regression[R::a3]};
    set.b = {0, regression[R::b1], regression[R::b2], regression[R::b3]};
    return set;
}

void meteointerpol::SetRegressionSet(int index, const std::array<double, 4>& a, const std::array<double, 4>& b,
                                     double h2) {
    using R = RegressionFile;
    if (index != 0) return;
    regression[R::a1] = a[1];
    regression[R::a2] = a[2];
    regression[R::a3] = a[3];
    regression[R::b1] = b[1];
    regression[R::b2] = b[2];
    regression[R::b3] = b[3];
    regression[R::h2] = h2;
}
