#include "lateral/surfrout_flowdir.hpp"

#include <array>
#include <cmath>

namespace surfrout {
namespace {

// Aspect from central differences of east/west and north/south levels.
double AspectFromDifferences(double dx, double dy) {
    if (dx == 0) return dy > 0 ? 180.0 : 0.0;
    return 180.0 - std::atan(dy / dx) * kDegreesPerRadian + (dx / std::fabs(dx)) * 90.0;
}

// Largest drop and its first direction; counts the directions 2..8 that reach it.
struct LargestDrop {
    double drop;
    int direction;
    int ties;
};

LargestDrop FindLargest(const double drop[9]) {
    // One sweep: a new largest drop restarts the count with its own direction (every drop before
    // it is smaller), a drop equal to the largest so far adds one.
    LargestDrop best{drop[1], 1, 0};
    for (int d = 2; d <= 8; ++d)
        if (drop[d] > best.drop) {
            best.drop = drop[d];
            best.direction = d;
            best.ties = 1;
        } else if (drop[d] == best.drop) {
            ++best.ties;
        }
    return best;
}

// The cosine and sine of the angles of AspectWeights for an aspect along a flow direction (no
// offset), the aspect of most cells: taken once, from the same calls on the same angles, the
// zero offset read at run time so that the compiler evaluates nothing ahead.
struct AxisAngles {
    double cosPhi, sinPsi, cosPsi;
};

const AxisAngles& OnAxisAngles() {
    static const AxisAngles angles = [] {
        volatile double zero = 0.0;
        const double delta = zero;
        const double phi = delta * kRadiansPerDegree;
        const double psi = (45.0 - std::fabs(delta)) * kRadiansPerDegree;
        return AxisAngles{std::cos(phi), std::sin(psi), std::cos(psi)};
    }();
    return angles;
}

}  // namespace

SlopeAspect SlopeAndAspect(const Neighbourhood& n, bool interior, double cellsize) {
    SlopeAspect out;
    double drop[9] = {0};
    for (int d = 1; d <= 8; ++d) {
        const double length = IsDiagonal(d) ? kDiagonalSearch * cellsize : cellsize;
        drop[d] = (interior || n.inside[d]) ? (n.level[0] - n.level[d]) / length : -9999.0;
    }
    const LargestDrop best = FindLargest(drop);
    out.slope = best.drop;
    out.aspect = (best.direction - 1) * 45.0;
    out.type = interior ? kInteriorCell : kBorderCell;
    if (best.ties < 2) return out;

    if (interior) {
        const double dx = (n.level[3] - n.level[7]) / (2 * cellsize);
        const double dy = (n.level[1] - n.level[5]) / (2 * cellsize);
        out.aspect = AspectFromDifferences(dx, dy);
        return out;
    }
    // A missing neighbour is mirrored through the cell.
    auto level = [&](int d) {
        if (n.inside[d]) return n.level[d];
        const int o = Opposite(d);
        return n.inside[o] ? 2 * n.level[0] - n.bare[o] : n.level[0];
    };
    const double dx = (level(3) - level(7)) / (2 * cellsize);
    const double dy = (level(1) - level(5)) / (2 * cellsize);
    if (dx == 0 && dy == 0) {
        out.slope = 0;
        out.aspect = 0;
        return out;
    }
    out.slope = std::atan(std::sqrt(dx * dx + dy * dy)) * kDegreesPerRadian;
    out.aspect = AspectFromDifferences(dx, dy);
    return out;
}

int AspectWeights(double aspect, int method, double curvature, const Neighbourhood& n, double w[9]) {
    for (int d = 0; d <= 8; ++d) w[d] = 0;
    double delta = 0;
    const int m = SectorOfAspect(aspect, &delta);
    double cosPhi, sinPsi, cosPsi;
    if (delta == 0) {
        const AxisAngles& a = OnAxisAngles();
        cosPhi = a.cosPhi;
        sinPsi = a.sinPsi;
        cosPsi = a.cosPsi;
    } else {
        const double phi = delta * kRadiansPerDegree;
        const double psi = (45.0 - std::fabs(delta)) * kRadiansPerDegree;
        cosPhi = std::cos(phi);
        sinPsi = std::sin(psi);
        cosPsi = std::cos(psi);
    }
    double wm = cosPhi, wl, wr;
    // The side shares follow the sign of the offset as the terrain model defines them.
    if (delta > 0) {
        wl = std::fabs(cosPsi * cosPhi);
        wr = std::fabs(sinPsi * cosPhi);
    } else {
        wl = std::fabs(sinPsi * cosPhi);
        wr = std::fabs(cosPsi * cosPhi);
    }
    if (wl < 0.0001) wl = 0;
    if (wm < 0.0001) wm = 0;
    if (wr < 0.0001) wr = 0;
    if (SingleDirection(method)) wl = wr = 0;
    const double total = wl + wm + wr;
    if (total > 0) {
        wl /= total;
        wm /= total;
        wr /= total;
    }
    const int left = m == 1 ? 8 : m - 1, right = m == 8 ? 1 : m + 1;
    w[m] = wm;
    if (curvature <= 0) {
        w[left] = wl;
        w[right] = wr;
    }
    // Only the main direction and its two sides can hold a share; every other one is +0, which
    // neither changes the sum (it starts at +0 and adds shares >= +0) nor changes when divided
    // by a positive sum. The three are visited in the order of the directions.
    const std::array<int, 3> held = m == 1 ? std::array<int, 3>{1, 2, 8}
                                    : m == 8 ? std::array<int, 3>{1, 7, 8}
                                             : std::array<int, 3>{left, m, right};
    double sum = 0;
    for (const int d : held) {
        if (w[d] > 0 && n.level[d] > n.level[0]) w[d] = 0;
        sum += w[d];
    }
    if (!(sum > 0)) {
        for (int d = 1; d <= 8; ++d) w[d] = 0;
        return 0;
    }
    for (const int d : held) w[d] /= sum;
    return m;
}

namespace {

std::array<OnAxisEntry, 256> BuildOnAxisTable() {
    std::array<OnAxisEntry, 256> t{};
    for (int m = 1; m <= 8; ++m) {
        const int left = m == 1 ? 8 : m - 1, right = m == 8 ? 1 : m + 1;
        // Method 1 spreads over the sides, method 2 sends along one direction.
        for (const int method : {1, 2})
            for (const double curvature : {1.0, 0.0})
                for (unsigned higher = 0; higher < 8; ++higher) {
                    // Levels that compare with the cell's as the key says (AspectWeights reads
                    // nothing else of the neighbourhood).
                    Neighbourhood n{};
                    for (int d = 1; d <= 8; ++d) n.level[d] = -1.0;
                    n.level[left] = (higher & 1u) ? 1.0 : -1.0;
                    n.level[m] = (higher & 2u) ? 1.0 : -1.0;
                    n.level[right] = (higher & 4u) ? 1.0 : -1.0;
                    OnAxisEntry& e = t[OnAxisKey(m, SingleDirection(method), curvature <= 0, higher)];
                    e.main = AspectWeights((m - 1) * 45.0, method, curvature, n, e.w);
                }
    }
    return t;
}

}  // namespace

// Built when the program starts (a lookup then needs no check whether it was).
const std::array<OnAxisEntry, 256> kOnAxisTable = BuildOnAxisTable();

int DropWeights(int method, const Neighbourhood& n, double w[9]) {
    for (int d = 0; d <= 8; ++d) w[d] = 0;
    double sum = 0;
    int main = 0;
    for (int d = 1; d <= 8; ++d) {
        if (!n.exists[d]) continue;
        const double drop = n.level[0] - n.level[d];
        if (drop > 1e-5) w[d] = IsDiagonal(d) ? drop / kDiagonal : drop;
        sum += w[d];
        if (w[d] > 0 && (main == 0 || w[d] > w[main])) main = d;
    }
    if (main == 0) return 0;
    if (SingleDirection(method)) {
        for (int d = 1; d <= 8; ++d) w[d] = 0;
        w[main] = 1.0;
    } else {
        for (int d = 1; d <= 8; ++d) w[d] /= sum;
    }
    return main;
}

double PlanCurvature(const double z[3][3], double cellsize) {
    const double p = (z[1][2] - z[1][0]) / (2 * cellsize);
    const double q = (z[0][1] - z[2][1]) / (2 * cellsize);
    if (p == 0 && q == 0) return 0;
    const double c2 = cellsize * cellsize;
    const double D = ((z[0][1] + z[2][1]) / 2 - z[1][1]) / c2;
    const double E = ((z[1][0] + z[1][2]) / 2 - z[1][1]) / c2;
    const double F = (z[2][0] - z[0][0] + z[0][2] - z[2][2]) / (4 * c2);
    return 2 * (D * p * p + E * q * q - F * p * q) / (p * p + q * q);
}

}  // namespace surfrout
