// Darcy flux, heads, interface conductivities, lateral outflow, frozen layers and the limitation
// of a flux against crossing heads.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <random>
#include <utility>

#include "soilcolumn_fixture.hpp"

namespace {

using namespace soilcolumn_test;

// Soil whose relative conductivity is linear in the water content: Kr = (theta - tr) / (ts - tr).
soil_entry LinearKrSoil(int layers) {
    SoilLayout def;
    def.layers = layers;
    def.ksat = 1e-5;
    soil_entry s = MakeSoil(def);
    for (int l = 0; l <= layers; ++l) {
        auto& th = s.conductivityTheta[static_cast<std::size_t>(l)];
        auto& kr = s.relConductivity[static_cast<std::size_t>(l)];
        for (int k = 1; k <= soil_entry::kTablePoints; ++k) {
            const double r = 1.0 - (k - 1.0) / (soil_entry::kTablePoints - 1.0);
            th[static_cast<std::size_t>(k)] = def.thetaRes + r * (def.thetaSat - def.thetaRes);
            kr[static_cast<std::size_t>(k)] = r;
        }
    }
    return s;
}

double ThetaForKr(const soil_entry& s, double kr) { return s.theta_res[1] + kr * (s.theta_sat[1] - s.theta_res[1]); }

void SetTheta(ColumnState& col, int i, double theta) {
    const std::size_t l = static_cast<std::size_t>(i);
    col.theta[l] = col.thetaOld[l] = col.thetaMean[l] = theta;
}

TEST(SoilColumnFluxes, DarcyFluxPointsUpwardTowardsTheHigherHead) {
    EXPECT_NEAR(DarcyFlux(1e-5, 10.0, 10.5, 0.1, 0.1), 5e-05, 1e-18);
    EXPECT_NEAR(DarcyFlux(1e-5, 10.5, 10.0, 0.1, 0.1), -5e-05, 1e-18);
    EXPECT_EQ(DarcyFlux(1e-5, 3.0, 3.0, 0.2, 0.1), 0.0);
}

TEST(SoilColumnFluxes, InterfaceConductivityRules) {
    const soil_entry s = LinearKrSoil(6);
    ColumnState col(6);
    col.SetSoil(s, 0);
    for (int i = 1; i <= 6; ++i) {
        col.K[static_cast<std::size_t>(i)] = 1e-5;
        SetTheta(col, i, ThetaForKr(s, 0.5));
    }
    SetTheta(col, 2, ThetaForKr(s, 0.0001));
    CellValues cell;
    SolverSettings set;
    const double K = 1e-5;
    auto harmonic = [](double a, double b) { return 2 * a * b / (a + b); };
    struct Case {
        int g, clay;
        double krLower;
        double expected;
    } cases[] = {
        {2, 0, 0.0001, harmonic(0.5 * K, 0.0005 * K)},  // next to the table: ratio limit 1000, harmonic mean
        {5, 0, 0.0001, 0.5 * K},                         // higher up: the larger
        {0, 0, 0.0001, K},                               // below the table: Ks of the upper layer
        {2, 0, -1, 0.5 * K},                             // a zero Kr takes the other's
        {5, 2, 0.0001, 2e-6 * 0.5},                      // clay layer below: ksat of clay x Kr of the clay layer
    };
    set.kSatClay = 2e-6;
    for (const Case& c : cases) {
        SetTheta(col, 2, c.krLower < 0 ? 0.01 : ThetaForKr(s, c.krLower));
        SetTheta(col, 2, c.clay ? ThetaForKr(s, 0.5) : col.theta[2]);
        if (c.clay) SetTheta(col, 1, ThetaForKr(s, 0.3));
        cell.tableLayer = c.g;
        cell.clayLayer = c.clay;
        EXPECT_NEAR(InterfaceConductivity(s, col, cell, set, 1), c.expected, 1e-9 * K) << c.g << " " << c.krLower;
        SetTheta(col, 1, ThetaForKr(s, 0.5));
    }
}

TEST(SoilColumnFluxes, HeadsWithTimeCentredSuctionAndTableLayer) {
    const soil_entry s = MakeSoil(SoilLayout{});
    ColumnState col(10);
    col.SetSoil(s, 0);
    for (int i = 1; i <= 10; ++i) SetTheta(col, i, 0.3);
    CellValues cell;
    cell.tableLayer = 4;
    cell.tableDistance = -0.37;  // inside layer 4 (0.3 .. 0.4 m)
    SubstepPrepare(s, col, cell, 0);
    const double psi = s.SuctionFromTheta(1, 0.3);
    EXPECT_DOUBLE_EQ(col.psiOld[1], psi);
    EXPECT_DOUBLE_EQ(col.H[1], -0.05 - psi);
    EXPECT_DOUBLE_EQ(col.H[4], -0.37);
    EXPECT_DOUBLE_EQ(col.H[5], -0.37);  // table head above the layer middle
    // Later iterations average the suction of the mean content with the start suction.
    col.thetaMean[1] = 0.35;
    SubstepPrepare(s, col, cell, 3);
    EXPECT_DOUBLE_EQ(col.psiOld[1], psi);
    EXPECT_DOUBLE_EQ(col.H[1], -0.05 - (psi + s.SuctionFromTheta(1, 0.35)) / 2);
    // A table above the top of its layer: the layer takes its own head.
    cell.tableDistance = 0.1;
    SubstepPrepare(s, col, cell, 3);
    EXPECT_DOUBLE_EQ(col.H[4], -0.35 - psi);
}

TEST(SoilColumnFluxes, InterflowAndDrainage) {
    const soil_entry s = MakeSoil(SoilLayout{});
    ColumnState col(10);
    col.SetSoil(s, 0);
    for (int i = 1; i <= 10; ++i) {
        SetTheta(col, i, 0.42);
        col.K[static_cast<std::size_t>(i)] = 1e-5 / i;  // falling with depth
        col.H[static_cast<std::size_t>(i)] = col.z[static_cast<std::size_t>(i)];
    }
    CellValues cell;
    cell.dt = 3600;
    cell.tableLayer = 5;
    cell.channelDensity = 0.002;
    cell.tanBeta = 2.0;
    SubstepTotals totals;
    const double kr = s.RelConductivityFromTheta(2, 0.42, 1.0);
    const double limit = (0.42 - col.fieldCapacity[2]) * 0.1 / 3600;
    EXPECT_DOUBLE_EQ(LateralOutflow(s, col, cell, 2, totals), std::min(limit, kr * 0.5e-5 * 0.1 * 0.002));
    EXPECT_EQ(LateralOutflow(s, col, cell, 5, totals), 0.0);  // at the table
    EXPECT_EQ(LateralOutflow(s, col, cell, 6, totals), 0.0);  // below it
    col.H[2] = col.z[2] - 3.45;
    EXPECT_EQ(LateralOutflow(s, col, cell, 2, totals), 0.0);  // dry bottom
    col.H[2] = col.z[2];
    col.K[3] = col.K[2];
    EXPECT_EQ(LateralOutflow(s, col, cell, 2, totals), 0.0);  // no lower conductivity below
    // Drains in layer 2, 10 m apart on a 100 m cell: limited to the water above field capacity.
    cell.drainageLayer = 2;
    cell.drainageDistance = 1;
    cell.cellsize = 100;
    EXPECT_DOUBLE_EQ(LateralOutflow(s, col, cell, 2, totals), limit);
    EXPECT_DOUBLE_EQ(totals.drainage, limit);
}

TEST(SoilColumnFluxes, ThawDepthAndFrozenTopLayer) {
    const soil_entry s = MakeSoil(SoilLayout{});
    ColumnState col(10);
    col.SetSoil(s, 0);
    for (int i = 1; i <= 10; ++i) SetTheta(col, i, 0.3);
    CellValues cell;
    cell.dt = 600;
    cell.tableLayer = 10;
    cell.hasThawDepth = true;
    cell.thawDepth = 0.25;
    SubstepTotals totals;
    SubstepPrepare(s, col, cell, 0);
    SubstepFluxes(s, col, cell, SolverSettings{}, 1e-6, RiverExchangeHook{}, totals);
    for (int i = 1; i <= 10; ++i) EXPECT_EQ(col.K[static_cast<std::size_t>(i)], i >= 3 ? 1e-9 : s.ksat[1]) << i;
    EXPECT_EQ(col.q[0], -1e-6);
    // A frozen top layer admits at most 1e-9 m/s, downward.
    cell.thawDepth = 0.05;
    SubstepFluxes(s, col, cell, SolverSettings{}, 1e-6, RiverExchangeHook{}, totals);
    EXPECT_EQ(col.q[0], -1e-9);
    SubstepFluxes(s, col, cell, SolverSettings{}, 4e-10, RiverExchangeHook{}, totals);
    EXPECT_EQ(col.q[0], -4e-10);
}

TEST(SoilColumnFluxes, RiverExchangeRunsOnlyWithTheGroundwaterModel) {
    const soil_entry s = MakeSoil(SoilLayout{});
    ColumnState col(10);
    col.SetSoil(s, 0);
    for (int i = 1; i <= 10; ++i) SetTheta(col, i, 0.3);
    CellValues cell;
    cell.dt = 600;
    cell.tableLayer = 3;
    int calls = 0;
    RiverExchangeHook hook{[](void* ctx, ColumnState& c, const CellValues&, double& in, double& out) {
                               ++*static_cast<int*>(ctx);
                               c.rIn[8] = 1e-7;
                               in = 1e-7;
                               out = 0;
                           },
                           &calls};
    SubstepTotals totals;
    SolverSettings set;
    SubstepFluxes(s, col, cell, set, 0, hook, totals);
    EXPECT_EQ(calls, 0);
    set.groundwaterActive = true;
    SubstepFluxes(s, col, cell, set, 0, hook, totals);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(totals.riverInfiltration, 1e-7);
    // Layers with river exchange widen the working range.
    EXPECT_EQ(WorkingRangeEnd(col, 3, 1, 1, false), 4);
    col.rIn[5] = 1e-8;
    EXPECT_EQ(WorkingRangeEnd(col, 3, 1, 1, false), 5);
    EXPECT_EQ(WorkingRangeEnd(col, 3, 1, 0, true), 5);
    col.rOut[4] = 1e-8;
    EXPECT_EQ(WorkingRangeEnd(col, 3, 1, 0, true), 7);
    EXPECT_EQ(WorkingRangeEnd(col, 9, 1, 1, false), 9);
    EXPECT_EQ(WorkingRangeEnd(col, 10, 1, 1, false), 9);
}

TEST(SoilColumnFluxes, LimitedFluxLeavesNoCrossedHeads) {
    const soil_entry s = MakeSoil(SoilLayout{});
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(0, 1);
    int limited = 0;
    for (int c = 0; c < 500; ++c) {
        ColumnState col(3);
        col.SetSoil(s, 0);
        for (int i = 1; i <= 3; ++i) SetTheta(col, i, 0.08 + 0.35 * u(rng));
        for (int i = 1; i <= 3; ++i)
            col.H[static_cast<std::size_t>(i)] = (col.z[i - 1] + col.z[i]) / 2 - s.SuctionFromTheta(i, col.theta[i]);
        const double dt = 600 + 3000 * u(rng);
        // Inflow from above that crosses the heads by itself leaves the bisection at its 51st
        // evaluation; without it the limited flux always uncrosses them.
        const bool topInflow = c % 5 == 0;
        col.q[0] = topInflow ? -1e-5 * u(rng) : 0.0;
        col.q[1] = DarcyFlux(1e-4 * u(rng), col.H[1], col.H[2], 0.1, 0.1);
        col.q[2] = 0;
        col.e[1] = 1e-7 * u(rng);
        int evaluations = 0;
        const double q = LimitInterfaceFlux(s, col, 1, dt, &evaluations);
        ASSERT_LE(evaluations, kLimitEvaluations);
        if (evaluations > 0) ++limited;
        if (topInflow) continue;
        const double ti = col.thetaOld[1] + (q - col.e[1] - col.q[0]) * dt / 0.1;
        const double tj = col.thetaOld[2] + (-q) * dt / 0.1;
        const double hi = -0.05 - s.SuctionFromTheta(1, ti), hj = -0.15 - s.SuctionFromTheta(1, tj);
        if (col.H[1] > col.H[2]) {
            EXPECT_LE(hj, hi + kHeadTolerance) << c;
        } else {
            EXPECT_GE(hj, hi - kHeadTolerance) << c;
        }
    }
    EXPECT_GT(limited, 10);
}

// The flux limitation as a plain bisection: every head from its own table look-up, no memo, no hint.
// evaluations (optional) receives the head evaluations of the bisection.
double PlainLimit(const soil_entry& s, ColumnState& col, int i, double dt, int* evaluations = nullptr) {
    if (evaluations) *evaluations = 0;
    const std::size_t a = static_cast<std::size_t>(i), b = a + 1;
    const double dzi = col.z[a - 1] - col.z[a], dzj = col.z[a] - col.z[b];
    const double zmi = (col.z[a - 1] + col.z[a]) / 2, zmj = (col.z[a] + col.z[b]) / 2;
    const double qTop = col.q[a - 1], qBelow = col.q[b], eBelow = col.e[b];
    double q = col.q[a];
    double& e = col.e[a];
    double thi = col.thetaOld[a] + (q - e - qTop) * dt / dzi;
    if (thi > s.theta_sat[a] && q > 0) {
        const double rho = std::fabs((s.theta_sat[a] - col.thetaOld[a]) * dzi / dt) / q;
        q = rho < 1 ? rho * q : 0.0;
        thi = col.thetaOld[a] + (q - e - qTop) * dt / dzi;
    }
    const double Hi = col.H[a], Hj = col.H[b];
    auto overshoot = [&](double hi, double hj) {
        return (Hi > Hj && hj > hi + kHeadTolerance) || (Hi < Hj && hj < hi - kHeadTolerance);
    };
    double hi = zmi - s.SuctionFromTheta(i, thi);
    double hj = zmj - s.SuctionFromTheta(i, col.thetaOld[b] + (qBelow - eBelow - q) * dt / dzj);
    if (!overshoot(hi, hj)) return q;
    const double q0 = q, e0 = e;
    double step = -1.0, h = 0.5;
    bool flag = true;
    for (int k = 1; k <= kLimitEvaluations; ++k) {
        q += q0 * step * h;
        e += e0 * step * h;
        if (evaluations) *evaluations = k;
        hi = zmi - s.SuctionFromTheta(i, col.thetaOld[a] + (q - e - qTop) * dt / dzi);
        hj = zmj - s.SuctionFromTheta(i, col.thetaOld[b] + (qBelow - eBelow - q) * dt / dzj);
        if (overshoot(hi, hj)) {
            if (!flag) {
                step = -step;
                flag = true;
            }
        } else {
            if (std::fabs(hj - hi) <= kHeadTolerance) return q;
            if (flag) {
                step = -step;
                flag = false;
            }
        }
        h *= 0.5;
    }
    return q;
}

TEST(SoilColumnFluxes, LimitationWithLookupMemosAndHintsIsThePlainBisectionBitForBit) {
    // Layers of three soils (two of them alike, so neighbouring tables are equal) and a table
    // that does not fall strictly; any bracket hints the layers may hold.
    SoilLayout def;
    def.layers = 6;
    soil_entry s = MakeSoil(def);
    const double n[7] = {1.56, 1.56, 1.56, 2.68, 1.09, 6.0, 1.3};
    for (std::size_t l = 3; l <= 6; ++l) {
        s.Par_n[l] = n[l];
        s.Par_m[l] = 1.0 - 1.0 / n[l];
        s.AllocateLayerTables(static_cast<std::int32_t>(l));
    }
    std::mt19937 rng(49);
    std::uniform_real_distribution<double> u(0, 1);
    std::uniform_int_distribution<int> anyHint(-3, soil_entry::kTablePoints + 3);
    auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
    int limited = 0;
    for (int c = 0; c < 3000; ++c) {
        ColumnState col(6);
        col.SetSoil(s, 0);
        for (int i = 1; i <= 6; ++i) {
            SetTheta(col, i, 0.07 + 0.37 * u(rng));
            col.H[static_cast<std::size_t>(i)] =
                (col.z[i - 1] + col.z[i]) / 2 - s.SuctionFromTheta(i, col.theta[static_cast<std::size_t>(i)]);
            col.suctionBracket[static_cast<std::size_t>(i)] = anyHint(rng);
            col.limitBracketUpper[static_cast<std::size_t>(i)] = anyHint(rng);
            col.limitBracketLower[static_cast<std::size_t>(i)] = anyHint(rng);
        }
        const double dt = 300 + 3300 * u(rng);
        col.q[0] = c % 4 == 0 ? -1e-5 * u(rng) : 0.0;
        for (int i = 1; i < 6; ++i) {
            const std::size_t l = static_cast<std::size_t>(i);
            col.q[l] = DarcyFlux(1e-4 * u(rng), col.H[l], col.H[l + 1], 0.1, 0.1);
            col.e[l] = c % 3 == 0 ? 1e-7 * u(rng) : 0.0;
        }
        for (int i = 1; i < 6; ++i) {
            ColumnState plain = col;
            const double expected = PlainLimit(s, plain, i, dt);
            int evaluations = 0;
            const double q = LimitInterfaceFlux(s, col, i, dt, &evaluations);
            ASSERT_EQ(bits(q), bits(expected)) << c << " interface " << i;
            ASSERT_EQ(bits(col.e[static_cast<std::size_t>(i)]), bits(plain.e[static_cast<std::size_t>(i)])) << c;
            if (evaluations > 0) ++limited;
            col.q[static_cast<std::size_t>(i)] = q;
        }
    }
    EXPECT_GT(limited, 500);
}

TEST(SoilColumnFluxes, EachInterfaceKeepsTheBracketsOfItsLookupsAsHintsOfTheNextIteration) {
    // Through a sub-step's iterations: after each pass of fluxes every interface holds the brackets
    // of its first two look-ups (the water contents of layers i and i + 1 from the unlimited flux,
    // the limited one above and the unlimited one below; no lateral outflow here) and of its two
    // conductivity look-ups (the layers' mean water contents). Results with any hints:
    // LimitationWithLookupMemosAndHintsIsThePlainBisectionBitForBit, ColumnMemos.*.
    SoilLayout def;
    def.layers = 8;
    const soil_entry s = MakeSoil(def);
    std::mt19937 rng(4912);
    std::uniform_real_distribution<double> u(0, 1);
    auto bracketIn = [](const soil_entry::PointTable& th, double theta) {
        for (std::size_t k = 1; k < soil_entry::kTablePoints; ++k)
            if (th[k] > theta && theta >= th[k + 1]) return static_cast<int>(k);
        return -1;
    };
    auto bracketOf = [&](int layer, double theta) {
        return bracketIn(s.retentionTheta[static_cast<std::size_t>(layer)], theta);
    };
    int checked = 0;
    for (int c = 0; c < 300; ++c) {
        ColumnState col(8);
        col.SetSoil(s, 100.0);
        for (int i = 1; i <= 8; ++i) SetTheta(col, i, s.theta_res[1] + (s.theta_sat[1] - s.theta_res[1]) * u(rng));
        CellValues cell;
        cell.dt = 600 + 3000 * u(rng);
        cell.tableLayer = 8;
        const SolverSettings set;
        SubstepTotals totals;
        BeginSubstep(col);
        for (int it = 0; it < 6; ++it) {
            SubstepPrepare(s, col, cell, it);
            SubstepFluxes(s, col, cell, set, c % 2 == 0 ? 2e-5 * u(rng) : 0.0, {}, totals);
            double unlimited[9] = {};
            for (std::size_t a = 1; a < 8; ++a)
                unlimited[a] = DarcyFlux(InterfaceConductivity(s, col, cell, set, static_cast<int>(a)), col.H[a],
                                         col.H[a + 1], s.thickness[a], s.thickness[a + 1]);
            for (std::size_t a = 1; a < 8; ++a) {
                const int i = static_cast<int>(a);
                const auto& th = s.conductivityTheta[a];
                const int upper = bracketIn(th, (col.thetaOld[a] + col.thetaMean[a]) / 2);
                const int lower = bracketIn(th, (col.thetaOld[a + 1] + col.thetaMean[a + 1]) / 2);
                if (upper > 0 && lower > 0) {
                    EXPECT_EQ(col.conductivityBracketUpper[a], upper) << c << " interface " << i;
                    EXPECT_EQ(col.conductivityBracketLower[a], lower) << c << " interface " << i;
                    ++checked;
                }
                ASSERT_EQ(col.e[a], 0.0);
                const double thi = col.thetaOld[a] + (unlimited[a] - col.q[a - 1]) * cell.dt / (col.z[a - 1] - col.z[a]);
                const double tj =
                    col.thetaOld[a + 1] + (unlimited[a + 1] - unlimited[a]) * cell.dt / (col.z[a] - col.z[a + 1]);
                if (thi > s.theta_sat[a] || bracketOf(i, thi) < 0 || bracketOf(i, tj) < 0) continue;
                EXPECT_EQ(col.limitBracketUpper[a], bracketOf(i, thi)) << c << " interface " << i;
                EXPECT_EQ(col.limitBracketLower[a], bracketOf(i, tj)) << c << " interface " << i;
                ++checked;
            }
            IterationError(s, col, cell, it + 1);
        }
    }
    EXPECT_GT(checked, 2000);
}

// Soil kinds from sand to clay and a steep curve; scale multiplies the suction table.
struct SoilKind {
    double thetaSat, thetaRes, alpha, n, scale;
};

// Layer l of kind l + c and 0.05, 0.1 or 0.3 m thick by l + c / period.
template <std::size_t N>
soil_entry VariedSoil(const SoilKind (&kinds)[N], int layers, int c, int period) {
    SoilLayout def;
    def.layers = layers;
    soil_entry s = MakeSoil(def);
    const double thickness[3] = {0.05, 0.1, 0.3};
    for (std::size_t l = 1; l <= static_cast<std::size_t>(layers); ++l) {
        const SoilKind& k = kinds[(l + static_cast<std::size_t>(c)) % N];
        s.theta_sat[l] = k.thetaSat;
        s.theta_res[l] = k.thetaRes;
        s.alpha[l] = k.alpha;
        s.Par_n[l] = k.n;
        s.Par_m[l] = 1.0 - 1.0 / k.n;
        s.thickness[l] = thickness[(l + static_cast<std::size_t>(c / period)) % 3];
        s.AllocateLayerTables(static_cast<std::int32_t>(l));
        for (double& v : s.retentionSuction[l]) v *= k.scale;
    }
    return s;
}

// The bisection's heads from the quick suctions (products with reciprocals, a bound on their
// distance from the plain look-ups) against the plain bisection: soils from sand to clay, a steep
// curve, suction tables scaled so far up that the bound reaches the tolerance (the plain heads
// then decide some or all checks), a table that does not fall strictly, water contents beyond
// both ends of the tables, fluxes over seven orders, layers of different thickness.
TEST(SoilColumnFluxes, QuickHeadsOfTheBisectionDecideAsThePlainHeads) {
    const SoilKind kinds[] = {{0.43, 0.078, 3.6, 1.56, 1},  {0.43, 0.045, 14.5, 2.68, 1}, {0.46, 0.034, 1.6, 1.37, 1},
                              {0.38, 0.068, 0.8, 1.09, 1},  {0.40, 0.050, 5.0, 6.0, 1},   {0.43, 0.078, 3.6, 1.56, 1e8},
                              {0.43, 0.045, 14.5, 2.68, 1e9}, {0.46, 0.034, 1.6, 1.37, 1e11}};
    constexpr int kLayers = 9;
    std::mt19937 rng(4911);
    std::uniform_real_distribution<double> u(0, 1);
    auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
    int bisections = 0, flat = 0;
    for (int c = 0; c < 4000; ++c) {
        soil_entry s = VariedSoil(kinds, kLayers, c, 7);
        // Every ninth soil: a layer whose dry end is flat (no strict fall, the plain search).
        if (c % 9 == 0) {
            const std::size_t l = 1 + static_cast<std::size_t>(c) % (kLayers - 1);
            s.retentionTheta[l][soil_entry::kTablePoints - 1] = s.retentionTheta[l][soil_entry::kTablePoints];
            s.retentionFalls[l] = 0;
            ++flat;
        }
        ColumnState col(kLayers);
        col.SetSoil(s, 250.0);
        for (int i = 1; i <= kLayers; ++i) {
            const std::size_t l = static_cast<std::size_t>(i);
            SetTheta(col, i, s.theta_res[l] - 0.02 + (s.theta_sat[l] - s.theta_res[l] + 0.04) * u(rng));
            col.H[l] = (col.z[l - 1] + col.z[l]) / 2 - s.SuctionFromTheta(i, col.theta[l]);
        }
        const double dt = 60 + 3540 * u(rng);
        col.q[0] = c % 4 == 0 ? -1e-5 * u(rng) : 0.0;
        for (int i = 1; i < kLayers; ++i) {
            const std::size_t l = static_cast<std::size_t>(i);
            const double K = std::pow(10.0, -9.0 + 6.0 * u(rng));
            col.q[l] = DarcyFlux(K, col.H[l], col.H[l + 1], s.thickness[l], s.thickness[l + 1]);
            col.e[l] = c % 3 == 0 ? K * 0.01 * u(rng) : 0.0;
        }
        for (int i = 1; i < kLayers; ++i) {
            const std::size_t l = static_cast<std::size_t>(i);
            ColumnState plain = col;
            const double expected = PlainLimit(s, plain, i, dt);
            int evaluations = 0;
            const double q = LimitInterfaceFlux(s, col, i, dt, &evaluations);
            ASSERT_EQ(bits(q), bits(expected)) << c << " interface " << i;
            ASSERT_EQ(bits(col.e[l]), bits(plain.e[l])) << c << " interface " << i;
            if (evaluations > 0) ++bisections;
            col.q[l] = q;
        }
    }
    EXPECT_GT(bisections, 5000);
    EXPECT_GT(flat, 100);
}

// Fluxes from above and below (and lateral outflow) that cross the heads by themselves send the
// bisection back at every step; it ends early where the heads of no flux show that, with the
// plain bisection's flux and outflow bit for bit. Soils from sand to clay, suctions scaled so far
// up that their look-ups' bound forbids the early end, a suction curve that dips, flows both
// ways, lateral outflow above the flux, layers of different thickness.
TEST(SoilColumnFluxes, HeadsCrossedByTheOtherFluxesEndTheBisectionEarlyWithThePlainResult) {
    const SoilKind kinds[] = {{0.43, 0.078, 3.6, 1.56, 1}, {0.43, 0.045, 14.5, 2.68, 1},
                              {0.46, 0.034, 1.6, 1.37, 1}, {0.38, 0.068, 0.8, 1.09, 1},
                              {0.40, 0.050, 5.0, 6.0, 1},  {0.43, 0.078, 3.6, 1.56, 1e12}};
    constexpr int kLayers = 4;
    std::mt19937 rng(4913);
    std::uniform_real_distribution<double> u(0, 1);
    auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
    int early[2] = {}, full = 0, dipping = 0;
    for (int c = 0; c < 6000; ++c) {
        soil_entry s = VariedSoil(kinds, kLayers, c, 5);
        // Every seventh soil: a suction curve that dips once (the look-ups alone decide there).
        const bool dip = c % 7 == 0;
        if (dip) std::swap(s.retentionSuction[2][12], s.retentionSuction[2][13]);
        ColumnState col(kLayers);
        col.SetSoil(s, 250.0);
        ASSERT_EQ(col.suctionLookupError[2] < 0, dip) << c;
        for (int i = 1; i <= kLayers; ++i) {
            const std::size_t l = static_cast<std::size_t>(i);
            SetTheta(col, i, s.theta_res[l] + (s.theta_sat[l] - s.theta_res[l]) * (0.05 + 0.9 * u(rng)));
            col.H[l] = (col.z[l - 1] + col.z[l]) / 2 - s.SuctionFromTheta(i, col.theta[l]);
        }
        const double dt = 60 + 3540 * u(rng);
        // Inflow from above or outflow below over six orders, lateral outflow up to twice the flux
        // (and, for the kernel's sake, lateral inflow).
        col.q[0] = c % 3 == 2 ? 0.0 : -std::pow(10.0, -9.0 + 6.0 * u(rng));
        for (int i = 1; i < kLayers; ++i) {
            const std::size_t l = static_cast<std::size_t>(i);
            const double K = std::pow(10.0, -9.0 + 5.0 * u(rng));
            col.q[l] = DarcyFlux(K, col.H[l], col.H[l + 1], s.thickness[l], s.thickness[l + 1]);
            col.e[l] = (c % 4 == 0 ? 2.0 : c % 8 == 5 ? -2.0 : 0.0) * std::fabs(col.q[l]) * u(rng);
        }
        if (c % 3 != 0) col.q[2] = (c % 2 == 0 ? -1.0 : 1.0) * std::pow(10.0, -9.0 + 6.0 * u(rng));
        for (int i = 1; i < kLayers; ++i) {
            const std::size_t l = static_cast<std::size_t>(i);
            ColumnState plain = col;
            int plainEvaluations = 0, evaluations = 0;
            const double expected = PlainLimit(s, plain, i, dt, &plainEvaluations);
            const double q = LimitInterfaceFlux(s, col, i, dt, &evaluations);
            ASSERT_EQ(bits(q), bits(expected)) << c << " interface " << i;
            ASSERT_EQ(bits(col.e[l]), bits(plain.e[l])) << c << " interface " << i;
            if (plainEvaluations == kLimitEvaluations) {
                if (evaluations < kLimitEvaluations) {
                    ++early[col.H[l] > col.H[l + 1] ? 0 : 1];
                } else {
                    ++full;
                    if (i == 2 && dip) ++dipping;
                }
            }
            col.q[l] = q;
        }
    }
    EXPECT_GT(early[0], 1000);  // downward
    EXPECT_GT(early[1], 1000);  // upward
    EXPECT_GT(full, 1000);
    EXPECT_GT(dipping, 100);
}

// The bound of a suction look-up's distance from the curve between the table points holds over
// the table of every soil kind (the curve in wider numbers); tables that do not fall have none.
TEST(SoilColumnFluxes, SuctionLookupsStayWithinTheirBoundOfTheCurveBetweenTheTablePoints) {
    const SoilKind kinds[] = {{0.43, 0.078, 3.6, 1.56, 1}, {0.43, 0.045, 14.5, 2.68, 1}, {0.46, 0.034, 1.6, 1.37, 1},
                              {0.38, 0.068, 0.8, 1.09, 1}, {0.40, 0.050, 5.0, 3.5, 1e9}};
    std::mt19937 rng(4914);
    std::uniform_real_distribution<double> u(0, 1);
    for (int c = 0; c < 5; ++c) {
        const soil_entry s = VariedSoil(kinds, 1, c + 4, 1);
        const auto& th = s.retentionTheta[1];
        const auto& v = s.retentionSuction[1];
        double worst = 0;
        for (int t = 0; t < 20000; ++t) {
            const double theta = th[soil_entry::kTablePoints] + (th[1] - th[soil_entry::kTablePoints]) * u(rng);
            std::size_t k = 1;
            while (k + 1 < soil_entry::kTablePoints && theta < th[k + 1]) ++k;
            const long double f =
                (static_cast<long double>(theta) - th[k + 1]) / (static_cast<long double>(th[k]) - th[k + 1]);
            const long double curve = v[k] * f + (1.0L - f) * v[k + 1];
            worst = std::max(worst, static_cast<double>(std::fabs(s.SuctionFromTheta(1, theta) - curve)));
        }
        EXPECT_LE(worst, SuctionLookupError(s, 1)) << c;
        EXPECT_GT(worst, 0.0) << c;
    }
    soil_entry s = VariedSoil(kinds, 1, 0, 1);
    s.retentionSuction[1][1] = -1e-3;
    EXPECT_LT(SuctionLookupError(s, 1), 0.0);
    s.retentionFalls[1] = 0;
    s.retentionSuction[1][1] = 0;
    EXPECT_LT(SuctionLookupError(s, 1), 0.0);
}

}  // namespace
