// Flow directions and outflow shares of one cell, worked by hand.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include "lateral/surfrout_flowdir.hpp"

using namespace surfrout;

namespace {

// A 3 x 3 neighbourhood with cell level `centre` and every neighbour at `around`.
Neighbourhood Flat(double centre, double around) {
    Neighbourhood n{};
    n.level[0] = n.bare[0] = centre;
    for (int d = 1; d <= 8; ++d) {
        n.level[d] = n.bare[d] = around;
        n.exists[d] = n.inside[d] = true;
    }
    n.exists[0] = n.inside[0] = true;
    return n;
}

}  // namespace

TEST(SurfaceFlowDirections, SectorsAndOpposites) {
    struct Case {
        double aspect;
        int main;
        double delta;
    } cases[] = {{0, 1, 0},       {22.4999, 1, 22.4999}, {22.5, 2, -22.5}, {67.5, 3, -22.5},
                 {180, 5, 0},     {337.4999, 8, 22.4999}, {337.5, 1, -22.5}, {359, 1, -1}};
    for (const Case& c : cases) {
        double delta = 0;
        EXPECT_EQ(SectorOfAspect(c.aspect, &delta), c.main) << c.aspect;
        EXPECT_NEAR(delta, c.delta, 1e-9) << c.aspect;
    }
    const int opposite[9] = {0, 5, 6, 7, 8, 1, 2, 3, 4};
    for (int d = 1; d <= 8; ++d) EXPECT_EQ(Opposite(d), opposite[d]);
}

TEST(SurfaceFlowDirections, SlopeAndTieRule) {
    // Plane falling to the north, cellsize 10: direction 1, aspect 0, slope 0.1.
    Neighbourhood n = Flat(10, 10);
    for (int d : {1, 2, 8}) n.level[d] = 9;
    for (int d : {4, 5, 6}) n.level[d] = 11;
    SlopeAspect sa = SlopeAndAspect(n, true, 10);
    EXPECT_EQ(sa.type, kInteriorCell);
    EXPECT_NEAR(sa.slope, 0.1, 1e-12);
    EXPECT_EQ(sa.aspect, 0);

    // A tie of direction 1 with one other direction keeps direction 1's aspect.
    n = Flat(10, 10);
    n.level[1] = n.level[3] = 9;
    EXPECT_EQ(SlopeAndAspect(n, true, 10).aspect, 0);
    // Two of the directions 2..8 tie: aspect from central differences (east lower: 90).
    n.level[1] = 10;
    n.level[5] = 9;
    sa = SlopeAndAspect(n, true, 10);
    EXPECT_NEAR(sa.aspect, 135.0, 1e-9);  // east and south lower: south-east
    n.level[5] = 10;
    n.level[3] = n.level[2] = 9;
    n.level[2] = 9 + (10 - 9) * (1 - 1.414);  // same drop per length as direction 3
    sa = SlopeAndAspect(n, true, 10);
    EXPECT_NEAR(sa.aspect, 90.0, 1e-9);  // dx < 0, dy = 0
}

TEST(SurfaceFlowDirections, BorderCellMirrorsMissingNeighbours) {
    // Border cell with the west neighbour outside: equal drops east and south give central
    // differences with the west mirrored through the cell.
    Neighbourhood n = Flat(10, 10);
    n.inside[7] = n.exists[7] = false;
    n.level[7] = -9999;
    n.level[3] = n.level[5] = 9;
    n.bare[3] = 9;
    const SlopeAspect sa = SlopeAndAspect(n, false, 10);
    EXPECT_EQ(sa.type, kBorderCell);
    // west mirrored: 2 x 10 - 9 = 11; dx = (9 - 11)/20 = -0.1, dy = (10 - 9)/20 = 0.05
    const double dx = -0.1, dy = 0.05;
    EXPECT_NEAR(sa.slope, std::atan(std::sqrt(dx * dx + dy * dy)) * kDegreesPerRadian, 1e-9);
    EXPECT_NEAR(sa.aspect, 180 - std::atan(dy / dx) * kDegreesPerRadian - 90, 1e-9);
}

TEST(SurfaceFlowDirections, AspectSharesKeepTheirSides) {
    // Aspect 30: main direction 2 with delta -15; the larger side share goes to direction 3,
    // as the shares are defined (they look reversed against the nearer direction 1).
    Neighbourhood n = Flat(10, 9);
    double w[9];
    ASSERT_EQ(AspectWeights(30, 1, -1, n, w), 2);
    const double wm = std::cos(15 * kRadiansPerDegree);
    const double wl = std::fabs(std::sin(30 * kRadiansPerDegree) * wm);
    const double wr = std::fabs(std::cos(30 * kRadiansPerDegree) * wm);
    const double sum = wm + wl + wr;
    EXPECT_NEAR(w[2], wm / sum, 1e-12);
    EXPECT_NEAR(w[1], wl / sum, 1e-12);
    EXPECT_NEAR(w[3], wr / sum, 1e-12);
    EXPECT_NEAR(w[2], 0.422651, 1e-5);
    EXPECT_NEAR(w[1], 0.211326, 1e-5);
    EXPECT_NEAR(w[3], 0.366025, 1e-5);

    // Single-direction methods and positive plan curvature send everything to the main direction.
    for (int method : {1, 2, 3, 4, 5}) {
        const double curvature = (method == 1 || method == 3) ? 0.5 : -0.5;
        ASSERT_EQ(AspectWeights(30, method, curvature, n, w), 2);
        EXPECT_DOUBLE_EQ(w[2], 1.0) << method;
        EXPECT_EQ(w[1] + w[3], 0.0) << method;
    }
    // A higher side neighbour loses its share; the rest is normalised again.
    n.level[3] = 11;
    ASSERT_EQ(AspectWeights(30, 1, 0, n, w), 2);
    EXPECT_EQ(w[3], 0);
    EXPECT_NEAR(w[1] + w[2], 1.0, 1e-12);
    EXPECT_NEAR(w[2] / w[1], wm / wl, 1e-9);
    // Every share uphill: none left, the cell falls back to the drop rule.
    n = Flat(10, 11);
    EXPECT_EQ(AspectWeights(30, 1, 0, n, w), 0);
}

TEST(SurfaceFlowDirections, AspectsAlongAFlowDirectionShareAsTheAnglesGive) {
    // An aspect along a flow direction (no offset from it): the shares are those of the cosine
    // and sine of the angles taken at run time, bit for bit, in every sector.
    const Neighbourhood n = Flat(10, 9);
    volatile double zero = 0.0;
    const double phi = zero * kRadiansPerDegree, psi = (45.0 - zero) * kRadiansPerDegree;
    double wm = std::cos(phi), wl = std::fabs(std::sin(psi) * std::cos(phi)),
           wr = std::fabs(std::cos(psi) * std::cos(phi));
    const double total = wl + wm + wr;
    wl /= total;
    wm /= total;
    wr /= total;
    for (int m = 1; m <= 8; ++m) {
        double e[9] = {}, w[9];
        e[m] = wm;
        e[m == 1 ? 8 : m - 1] = wl;
        e[m == 8 ? 1 : m + 1] = wr;
        double sum = 0;
        for (int d = 1; d <= 8; ++d) sum += e[d];
        ASSERT_EQ(AspectWeights((m - 1) * 45.0, 1, -1, n, w), m);
        for (int d = 1; d <= 8; ++d) EXPECT_EQ(w[d], e[d] / sum) << m << " " << d;
    }
}

// The shares of an aspect along a flow direction, looked up, are those AspectWeights computes,
// bit for bit: every method, sector and curvature (NaN and -0 too), neighbours higher, lower,
// level with the cell, NaN or -0, and an aspect of -0 or 360 - 0 for the first sector.
TEST(SurfaceFlowDirections, LookedUpOnAxisSharesAreTheComputedOnes) {
    const double nan = std::nan("");
    const double levels[] = {9.5, 10.0, 10.5, nan, -0.0};
    const double curvatures[] = {-0.3, -0.0, 0.0, 0.2, nan};
    int compared = 0, toDrops = 0;
    for (int method = 1; method <= 5; ++method)
        for (int m = 1; m <= 8; ++m)
            for (const double curvature : curvatures)
                for (int pick = 0; pick < 5 * 5 * 5; ++pick) {
                    Neighbourhood n = Flat(10, 9.75);
                    const int left = m == 1 ? 8 : m - 1, right = m == 8 ? 1 : m + 1;
                    n.level[left] = levels[pick % 5];
                    n.level[m] = levels[pick / 5 % 5];
                    n.level[right] = levels[pick / 25];
                    // A cell below zero sees a neighbour of -0 above it.
                    if (pick % 7 == 0) n.level[0] = -0.5;
                    for (const double aspect : {(m - 1) * 45.0, m == 1 ? -0.0 : (m - 1) * 45.0}) {
                        double computed[9], looked[9];
                        for (int d = 0; d <= 8; ++d) computed[d] = looked[d] = 7.0;
                        const int a = AspectWeights(aspect, method, curvature, n, computed);
                        const int b = OnAxisAspectWeights(m, method, curvature, n, looked);
                        ASSERT_EQ(a, b) << method << " " << m << " " << pick;
                        for (int d = 0; d <= 8; ++d)
                            ASSERT_EQ(std::bit_cast<std::uint64_t>(computed[d]), std::bit_cast<std::uint64_t>(looked[d]))
                                << method << " " << m << " " << curvature << " " << pick << " " << d;
                        ++compared;
                        toDrops += a == 0 ? 1 : 0;
                    }
                }
    // Some cases find every share uphill (the cell then distributes by drops).
    EXPECT_GT(toDrops, 0);
    EXPECT_EQ(compared, 5 * 8 * 5 * 125 * 2);
}

TEST(SurfaceFlowDirections, DropRuleAndPits) {
    Neighbourhood n = Flat(10, 10);
    n.level[1] = 9;
    n.level[2] = 9;
    double w[9];
    ASSERT_EQ(DropWeights(1, n, w), 1);
    EXPECT_NEAR(w[1], 1 / (1 + 1 / kDiagonal), 1e-12);
    EXPECT_NEAR(w[2], (1 / kDiagonal) / (1 + 1 / kDiagonal), 1e-12);
    // Steepest only, the first on ties.
    n.level[3] = 9;
    ASSERT_EQ(DropWeights(4, n, w), 1);
    EXPECT_EQ(w[1], 1.0);
    EXPECT_EQ(w[2] + w[3], 0.0);
    // Neighbours outside the zone grid take nothing.
    n.exists[1] = false;
    ASSERT_EQ(DropWeights(5, n, w), 3);
    // A pit: every drop at most 1e-5.
    n = Flat(10, 10 - 0.9e-5);
    EXPECT_EQ(DropWeights(1, n, w), 0);
    for (int d = 1; d <= 8; ++d) EXPECT_EQ(w[d], 0);
}

TEST(SurfaceFlowDirections, UnchangedWeightsAndCurvature) {
    const double a[9] = {0, 0.5, 0.5, 0, 0, 0, 0, 0, 0};
    const double b[9] = {0, 0.505, 0.47, 0.02, 0, 0, 0, 0, 0};
    EXPECT_EQ(UnchangedWeights(a, b), 6);  // 0.005 counts as unchanged, 0.03 and 0.02 not
    // z = x + y^2 (y north): p = 1, q = 0, D = 1 -> curvature 2.
    const double z[3][3] = {{0, 1, 2}, {-1, 0, 1}, {0, 1, 2}};
    EXPECT_NEAR(PlanCurvature(z, 1.0), 2.0, 1e-12);
    const double flat[3][3] = {{1, 1, 1}, {1, 1, 1}, {1, 1, 1}};
    EXPECT_EQ(PlanCurvature(flat, 10.0), 0.0);
}
