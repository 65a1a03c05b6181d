// Redistribution of water beyond the bounds, the iteration of a sub-step, the storage change at
// the table and the water over a depth range.
#include <gtest/gtest.h>

#include "soilcolumn_fixture.hpp"

namespace {

using namespace soilcolumn_test;

struct Column {
    soil_entry soil = MakeSoil(SoilLayout{});
    ColumnState col{10};
    CellValues cell;
    Column() {
        col.SetSoil(soil, 0);
        for (int i = 1; i <= 10; ++i) col.theta[static_cast<std::size_t>(i)] = 0.3;
        BeginSubstep(col);
        cell.dt = 1000;
        cell.tableLayer = 8;
    }
};

// Layer 2 of a column: water above saturation with inflow from both sides.
TEST(SoilColumnRedistribution, ExcessTakesInflowFromAboveFirstThenBelowThenRiver) {
    const double ts = 0.43, dt = 1000, d = 0.1;
    struct Case {
        double top, bottom, rIn;  // m/s (top and bottom positive upward)
        int surfaceInteraction;
        double top2, bottom2, rIn2;
    } cases[] = {
        // 0.03 m3/m3 of excess over 0.1 m in 1000 s = 3e-6 m/s.
        {-4e-6, 1e-6, 0, 0, -1e-6, 1e-6, 0},        // inflow from above covers it
        {-1e-6, 3e-6, 0, 0, 0, 1e-6, 0},            // then inflow from below
        {-1e-6, 1e-6, 2e-6, 2, 0, 0, 1e-6},         // then river infiltration
        {-1e-6, 1e-6, 2e-6, 1, 0, -1e-6, 2e-6},     // river only with exchange both ways
        // Both fluxes leave downward: the top turns upward unless river infiltration gives way.
        {-1e-6, -1e-6, 5e-6, 2, 0, -1e-6, 3e-6},    // the river takes all of it
        {-1e-6, -1e-6, 1e-6, 2, 1e-6, -1e-6, 0},    // the river its part, the top the rest
        {-1e-6, -1e-6, 5e-6, 1, 2e-6, -1e-6, 5e-6}, // no river without exchange both ways
        // Water leaves at the top and the bottom: only river infiltration can give way.
        {1e-6, -1e-6, 5e-6, 2, 1e-6, -1e-6, 2e-6},
    };
    for (const Case& c : cases) {
        Column t;
        t.col.thetaOld[2] = ts + 0.03 - (c.bottom - c.top + c.rIn) * dt / d;
        t.col.q[1] = c.top;
        t.col.q[2] = c.bottom;
        t.col.rIn[2] = c.rIn;
        SolverSettings set;
        set.groundwaterActive = true;
        set.surfaceInteraction = c.surfaceInteraction;
        SubstepTotals totals;
        totals.riverInfiltration = c.rIn;
        // Layers 1 and 3 can take what is pushed into them.
        t.col.thetaOld[1] = t.col.thetaOld[3] = 0.2;
        RedistributeExcess(t.soil, t.col, t.cell, set, kRedistributionPasses, totals);
        EXPECT_NEAR(t.col.q[1], c.top2, 1e-15) << c.top << " " << c.bottom;
        EXPECT_NEAR(t.col.q[2], c.bottom2, 1e-15) << c.top << " " << c.bottom;
        EXPECT_NEAR(t.col.rIn[2], c.rIn2, 1e-15);
        EXPECT_NEAR(totals.riverInfiltration, c.rIn2, 1e-15);
        EXPECT_LE(t.col.thetaStar[2], ts + 1e-12);
    }
}

TEST(SoilColumnRedistribution, DeficitReducesTheOutflowsOfTheLayer) {
    Column t;
    const double tr = t.soil.theta_res[2];
    // Layer 2 near residual content loses water downward and laterally (1e-6 m/s is 0.01 m3/m3
    // over 0.1 m in 1000 s). The bottom outflow gives way first, then the lateral outflow.
    struct Case {
        double bottom, lateral, bottom2, lateral2;
    } cases[] = {{-2e-6, 1e-7, 0, 1e-7}, {-5e-7, 2e-6, 0, 1e-7}, {-5e-7, 0, -1e-7, 0}};
    for (const Case& c : cases) {
        t.col.thetaOld[2] = tr + 0.001;
        t.col.q[1] = 0;
        t.col.q[2] = c.bottom;
        t.col.e[2] = c.lateral;
        SubstepTotals totals;
        RedistributeExcess(t.soil, t.col, t.cell, SolverSettings{}, kRedistributionPasses, totals);
        EXPECT_NEAR(t.col.q[2], c.bottom2, 1e-15);
        EXPECT_NEAR(t.col.e[2], c.lateral2, 1e-15);
        EXPECT_GE(t.col.thetaStar[2], tr - 1e-12);
    }
}

TEST(SoilColumnRedistribution, DeficitTakesTheExfiltrationOrMovesAShortTopToTheBottom) {
    // Layer 2 just above residual content; outflows that would take it 0.024 or 0.049 m3/m3
    // below (2.4e-6 or 4.9e-6 m/s over 0.1 m in 1000 s).
    struct Case {
        double top, bottom, lateral, rOut;
        int surfaceInteraction;
        double top2, bottom2, lateral2, rOut2;
    } cases[] = {
        // Downward flow and exfiltration: the bottom gives way, then the exfiltration.
        {0, -5e-7, 0, 2e-6, 1, 0, 0, 0, 1e-7},
        // Upward flow at the top that the layer cannot give (4.9e-6 m/s short): the top stops,
        // the bottom turns upward by the rest, the lateral outflow gives way as far as it can
        // (2e-6) and the layer below brings what is still missing; the exfiltration, second
        // only where no lateral outflow is left to take from, is kept.
        {1e-6, -1e-6, 2e-6, 1e-6, 2, 0, 9e-7, 0, 1e-6},
    };
    for (const Case& c : cases) {
        Column t;
        const double tr = t.soil.theta_res[2];
        t.col.thetaOld[2] = tr + 0.001;
        t.col.q[1] = c.top;
        t.col.q[2] = c.bottom;
        t.col.e[2] = c.lateral;
        t.col.rOut[2] = c.rOut;
        SolverSettings set;
        set.groundwaterActive = true;
        set.surfaceInteraction = c.surfaceInteraction;
        SubstepTotals totals;
        totals.riverExfiltration = c.rOut;
        RedistributeExcess(t.soil, t.col, t.cell, set, kRedistributionPasses, totals);
        EXPECT_NEAR(t.col.q[1], c.top2, 1e-15) << c.top;
        EXPECT_NEAR(t.col.q[2], c.bottom2, 1e-15) << c.top;
        EXPECT_NEAR(t.col.e[2], c.lateral2, 1e-15) << c.top;
        EXPECT_NEAR(t.col.rOut[2], c.rOut2, 1e-15) << c.top;
        EXPECT_NEAR(totals.riverExfiltration, c.rOut2, 1e-15);
        EXPECT_GE(t.col.thetaStar[2], tr - 1e-12);
    }
}

TEST(SoilColumnIteration, RelaxationPairwiseThenRunningMean) {
    Column t;
    t.col.q[0] = -1e-6;
    const double thetaNew = 0.3 + 1e-6 * 1000 / 0.1;
    for (int it : {1, 3, 4, 5, 9}) {
        t.col.theta[1] = 0.31;
        t.col.thetaMean[1] = 0.2;
        const double err = IterationError(t.soil, t.col, t.cell, it);
        EXPECT_NEAR(err, std::fabs(0.31 - thetaNew), 1e-15);
        EXPECT_DOUBLE_EQ(t.col.theta[1], thetaNew);
        const double m = it - 3;
        const double mean = it < 4 ? (0.31 + thetaNew) / 2 : (m * 0.2 + thetaNew) / (m + 1);
        EXPECT_DOUBLE_EQ(t.col.thetaMean[1], mean) << it;
    }
    t.col.thetaMean[1] = 0.2;
    IterationError(t.soil, t.col, t.cell, 5);
    EXPECT_DOUBLE_EQ(t.col.thetaMean[1], (2 * 0.2 + thetaNew) / 3);
}

TEST(SoilColumnIteration, StopsAtTheIterationLimitAndTolerance) {
    Column t;
    SolverSettings set;
    set.maxError = 0;  // never reached
    set.maxIterations = 7;
    SubstepTotals totals;
    for (int i = 1; i <= 10; ++i) t.col.theta[static_cast<std::size_t>(i)] = 0.1 + 0.03 * i;
    BeginSubstep(t.col);
    IterationResult r = IterateSubstep(t.soil, t.col, t.cell, set, 2e-6, RiverExchangeHook{}, totals);
    EXPECT_EQ(r.iterations, 7);
    set.maxError = 1.0;  // met at once
    BeginSubstep(t.col);
    r = IterateSubstep(t.soil, t.col, t.cell, set, 2e-6, RiverExchangeHook{}, totals);
    EXPECT_EQ(r.iterations, 1);
}

TEST(SoilColumnIteration, SubstepStartClearsTheFluxesOfTheWholeColumn) {
    Column t;
    for (int i = 0; i <= 10; ++i) {
        const std::size_t l = static_cast<std::size_t>(i);
        t.col.q[l] = t.col.e[l] = t.col.rIn[l] = t.col.rOut[l] = 1e-6;
    }
    t.col.theta[9] = 0.25;
    BeginSubstep(t.col);
    for (int i = 0; i <= 10; ++i) {
        const std::size_t l = static_cast<std::size_t>(i);
        EXPECT_EQ(t.col.q[l] + t.col.e[l] + t.col.rIn[l] + t.col.rOut[l], 0.0) << i;
    }
    EXPECT_EQ(t.col.thetaOld[9], 0.25);
    EXPECT_EQ(t.col.thetaMean[9], 0.25);
}

TEST(SoilColumnTable, StorageChangeOfTheFourCases) {
    Column t;
    const double ts = 0.43, F = 1000;  // F: mm for 1 m/s over the sub-step
    std::vector<double> p(11, 0.0);
    SolverSettings set;
    SubstepTotals totals;
    auto run = [&](int g0, int g1, double Z0, double Z1) {
        TableChange c{g0, g1, Z0, Z1, 0.0, F};
        return WaterTableUpdate(t.soil, t.col, set, c, t.cell.dt, p.data(), totals);
    };
    // Rising in layer 5 (0.4 .. 0.5 m deep) from 0.48 to 0.45 m: fills the part above the old
    // table to saturation over the rise.
    t.col.thetaOld[5] = 0.4;
    EXPECT_NEAR(run(5, 5, -0.48, -0.45), 0.03 * (ts - (0.1 * 0.4 - 0.02 * ts) / 0.08) * 1000, 1e-12);
    // Falling in the same layer.
    t.col.theta[5] = 0.41;
    EXPECT_NEAR(run(5, 5, -0.45, -0.48), -0.03 * (ts - (0.1 * 0.41 - 0.02 * ts) / 0.08) * 1000, 1e-12);
    // Risen into layer 3: the water gained below it plus the fill of layer 3 above its bottom.
    t.col.theta[4] = 0.35;
    t.col.theta[3] = 0.33;
    p[3] = 1e-6;
    const double risen = (0.35 - 0.3 + 0.41 - 0.4) * 0.1 * 1000 + 0.02 * (ts - (0.33 - 1000 * 1e-6 / 0.1)) * 1000;
    EXPECT_NEAR(run(5, 3, -0.48, -0.28), risen, 1e-12);
    // Fallen into layer 7: the drained part of layer 5 and the water lost by layer 6.
    t.col.theta[6] = 0.28;
    EXPECT_NEAR(run(5, 7, -0.45, -0.65), -0.05 * (ts - 0.41) * 1000 - 0.1 * 0.02 * 1000, 1e-12);
    // Base flow, water pushed to the surface and the river exchange add to it.
    p[0] = 2e-7;
    TableChange c{5, 5, -0.45, -0.45, 1e-7, F};
    totals.riverExfiltration = 5e-7;
    totals.riverInfiltration = 1e-7;
    set.groundwaterActive = true;
    EXPECT_NEAR(WaterTableUpdate(t.soil, t.col, set, c, t.cell.dt, p.data(), totals), (1e-7 + 2e-7 + 4e-7) * F, 1e-15);
    // An external table: the flux into the table layer.
    set.externalTable = true;
    t.col.q[4] = -3e-7;
    EXPECT_NEAR(WaterTableUpdate(t.soil, t.col, set, c, t.cell.dt, p.data(), totals), 3e-7 * F, 1e-15);
    c.newLayer = 1;
    EXPECT_EQ(WaterTableUpdate(t.soil, t.col, set, c, t.cell.dt, p.data(), totals), 0.0);
}

TEST(SoilColumnDepth, WaterOverADepthRange) {
    Column t;
    for (int i = 1; i <= 10; ++i) t.col.theta[static_cast<std::size_t>(i)] = 0.02 * i;
    const double* th = t.col.theta.data();
    const double nodata = -9999;
    double whole = 0;
    for (int i = 1; i <= 10; ++i) whole += 0.1 * 0.02 * i;
    EXPECT_NEAR(ThetaOverDepth(t.soil, th, 0, kWholeProfile, 1, nodata), whole, 1e-8);
    EXPECT_NEAR(ThetaOverDepth(t.soil, th, 0, 50.0, 1, nodata), whole, 1e-8);
    EXPECT_NEAR(ThetaOverDepth(t.soil, th, 0.05, 0.25, 1, nodata), 0.05 * 0.02 + 0.1 * 0.04 + 0.05 * 0.06, 1e-15);
    EXPECT_NEAR(ThetaOverDepth(t.soil, th, 0.05, 0.25, 0, nodata),
                (0.05 * 0.02 + 0.1 * 0.04 + 0.05 * 0.06) / 0.43 / 0.2, 1e-12);
    EXPECT_NEAR(ThetaOverDepth(t.soil, th, 0.12, 0.18, 1, nodata), 0.04 * 0.06, 1e-15);  // inside one layer
    EXPECT_NEAR(ThetaOverDepth(t.soil, th, 0.12, 0.18, 0, nodata), 0.04 / 0.43, 1e-12);
    EXPECT_EQ(ThetaOverDepth(t.soil, th, 0.2, 0.2, 1, nodata), 1.0);
    EXPECT_EQ(ThetaOverDepth(t.soil, th, 0, 0, 1, nodata), nodata);
    EXPECT_EQ(ThetaOverDepth(t.soil, th, -0.01, 0.3, 1, nodata), nodata);
}

}  // namespace

namespace {

TEST(SoilColumnIteration, ToleranceRelaxesFromThe21stIteration) {
    SoilLayout def;
    def.layers = 20;
    const soil_entry soil = MakeSoil(def);
    ColumnState start = HydrostaticColumn(soil);
    CellValues cell;
    cell.dt = 900;
    cell.tableLayer = TableLayer(soil, start);
    cell.tableDistance = start.z[static_cast<std::size_t>(cell.tableLayer)] - start.z[0];
    SubstepTotals totals;
    // Errors after exactly k iterations, each run from the same start.
    auto errorAfter = [&](int k, double maxError) {
        ColumnState col = start;
        BeginSubstep(col);
        SolverSettings set;
        set.maxError = maxError;
        set.maxIterations = k;
        return IterateSubstep(soil, col, cell, set, 2 * def.ksat, RiverExchangeHook{}, totals);
    };
    const double e21 = errorAfter(21, 0).error;
    ASSERT_GT(e21, 0.0);
    double smallest = 1e300;
    for (int k = 1; k <= 20; ++k) smallest = std::min(smallest, errorAfter(k, 0).error);
    ASSERT_GT(smallest, e21 / 3) << "needs a slowly converging sub-step";
    const IterationResult r = errorAfter(100, e21 / 3);
    EXPECT_EQ(r.iterations, 21);
    EXPECT_DOUBLE_EQ(r.error, e21);
}

}  // namespace
