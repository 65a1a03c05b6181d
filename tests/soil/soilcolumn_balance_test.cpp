// Water balance of soil columns run sub-step by sub-step in the order of the column pass:
// closure, a closed column, bounds of the water content, and infiltration under rain.
#include <gtest/gtest.h>

#include <random>

#include "soilcolumn_fixture.hpp"

namespace {

using namespace soilcolumn_test;

TEST(SoilColumnBalance, ClosesEverySubstepUnderRandomRainAndDemand) {
    SoilLayout def;
    def.layers = 12;
    soil_entry soil = MakeSoil(def);
    soil.MacroCapacity = 2.0 / 3600000.0;
    soil.PMacroThresh = 1.0 / 3600000.0;
    soil.MacroDepth = 0.35;
    ColumnState col = HydrostaticColumn(soil);
    CellValues cell;
    cell.dt = 600;
    cell.channelDensity = 0.002;
    cell.tanBeta = 0.3;
    const SolverSettings set;
    DriverWork work(col.n);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(0, 1);
    double in = 0, out = 0, net = 0;
    const double start = Stored(soil, col);
    for (int s = 0; s < 1000; ++s) {
        Forcing f;
        f.rain = u(rng) < 0.3 ? u(rng) * 3 * def.ksat : 0.0;
        f.roots = true;
        f.transpiration = u(rng) * 5e-8;
        f.evaporation = u(rng) * 2e-8;
        const double before = Stored(soil, col);
        const Booked b = RunSubstep(soil, col, cell, set, f, work);
        const double change = Stored(soil, col) - before;
        ASSERT_NEAR(change, b.Net(), 1e-12 * before) << "sub-step " << s;
        in += b.infiltration + b.macropore;
        out += b.uptake + b.evaporation + b.lateral;
        net += b.Net();
        for (int i = 1; i <= col.n; ++i) {
            ASSERT_GE(col.theta[static_cast<std::size_t>(i)], 0.0);
            ASSERT_LE(col.theta[static_cast<std::size_t>(i)], def.thetaSat + 0.001);
        }
    }
    EXPECT_GT(in, 0.0);
    EXPECT_GT(out, 0.0);
    EXPECT_NEAR(Stored(soil, col) - start, net, 1e-12 * start);
}

TEST(SoilColumnBalance, ClosedColumnKeepsItsWater) {
    for (const double wet : {0.15, 0.3, 0.42}) {
        soil_entry soil = MakeSoil(SoilLayout{});
        ColumnState col(soil.layerCount);
        col.SetSoil(soil, 0.0);
        for (int i = 1; i <= col.n; ++i) col.theta[static_cast<std::size_t>(i)] = wet - 0.005 * i;
        InitialHeads(soil, col);
        CellValues cell;
        cell.dt = 900;
        DriverWork work(col.n);
        const double start = Stored(soil, col);
        for (int s = 0; s < 200; ++s) RunSubstep(soil, col, cell, SolverSettings{}, Forcing{}, work);
        EXPECT_NEAR(Stored(soil, col), start, 1e-12 * start) << wet;
    }
}

TEST(SoilColumnBalance, RandomColumnsCloseAndStayWithinBounds) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(0, 1);
    for (int c = 0; c < 40; ++c) {
        SoilLayout def;
        def.layers = 4 + static_cast<int>(u(rng) * 12);
        def.thickness = 0.05 + 0.2 * u(rng);
        def.ksat = std::pow(10.0, -7 + 3 * u(rng));
        def.thetaSat = 0.35 + 0.15 * u(rng);
        def.thetaRes = 0.02 + 0.08 * u(rng);
        def.alpha = 1 + 8 * u(rng);
        def.n = 1.2 + 1.3 * u(rng);
        const soil_entry soil = MakeSoil(def);
        ColumnState col(soil.layerCount);
        col.SetSoil(soil, 10.0);
        for (int i = 1; i <= col.n; ++i)
            col.theta[static_cast<std::size_t>(i)] = def.thetaRes + (def.thetaSat - def.thetaRes) * u(rng);
        CellValues cell;
        cell.dt = 300 + 3000 * u(rng);
        cell.channelDensity = 0.001 * u(rng);
        cell.tanBeta = u(rng);
        DriverWork work(col.n);
        for (int s = 0; s < 30; ++s) {
            Forcing f;
            f.rain = u(rng) < 0.5 ? 4 * def.ksat * u(rng) : 0.0;
            f.roots = true;
            f.transpiration = 1e-7 * u(rng);
            f.evaporation = 5e-8 * u(rng);
            const double before = Stored(soil, col);
            const Booked b = RunSubstep(soil, col, cell, SolverSettings{}, f, work);
            ASSERT_NEAR(Stored(soil, col) - before, b.Net(), 1e-12 * before) << "column " << c;
            for (int i = 1; i <= col.n; ++i) {
                const double t = col.theta[static_cast<std::size_t>(i)];
                ASSERT_GE(t, 0.0) << "column " << c << " layer " << i;
                ASSERT_LE(t, def.thetaSat + 0.001) << "column " << c << " layer " << i;
            }
        }
    }
}

// Rain on a deep loam in equilibrium with a table at its bottom.
struct RainRun {
    double firstExcessTime = -1, lastRate = 0, cumulative = 0, time = 0;
    bool excessWhileUnsaturated = false;
};

RainRun Rain(double rainOverKs, double hours) {
    SoilLayout def;
    def.layers = 30;
    const soil_entry soil = MakeSoil(def);
    ColumnState col = HydrostaticColumn(soil);
    CellValues cell;
    cell.dt = 120;
    DriverWork work(col.n);
    Forcing f;
    f.rain = rainOverKs * def.ksat;
    RainRun run;
    for (int s = 0; s < static_cast<int>(hours * 3600 / cell.dt); ++s) {
        const bool unsaturated = col.theta[1] < 0.999 * def.thetaSat;
        const Booked b = RunSubstep(soil, col, cell, SolverSettings{}, f, work);
        run.time += cell.dt;
        run.cumulative += b.infiltration;
        run.lastRate = b.infiltration / cell.dt;
        if (b.excess > 1e-12 * cell.dt) {
            if (unsaturated) run.excessWhileUnsaturated = true;
            if (run.firstExcessTime < 0) run.firstExcessTime = run.time;
        }
    }
    return run;
}

TEST(SoilColumnBalance, RainOfTwiceKsPondsOnlyOnceTheTopIsSaturated) {
    const double ks = SoilLayout{}.ksat;
    const RainRun run = Rain(2.0, 12.0);
    EXPECT_FALSE(run.excessWhileUnsaturated);
    ASSERT_GT(run.firstExcessTime, 0.0);
    EXPECT_NEAR(run.lastRate, ks, 0.3 * ks);
    EXPECT_GE(run.cumulative, ks * run.time);
    EXPECT_LE(run.cumulative, 2 * ks * run.time);
}

TEST(SoilColumnBalance, RainOfHalfKsInfiltratesCompletely) {
    const RainRun run = Rain(0.5, 12.0);
    EXPECT_LT(run.firstExcessTime, 0.0);
    EXPECT_NEAR(run.cumulative, 0.5 * SoilLayout{}.ksat * run.time, 1e-9);
}

}  // namespace

namespace {

// Look-ups shared between the identical tables of neighbouring layers give the same bits as
// looking every value up afresh.
TEST(SoilColumnBalance, SharedLookupsChangeNoResult) {
    SoilLayout def;
    def.layers = 15;
    const soil_entry soil = MakeSoil(def);
    ColumnState shared = HydrostaticColumn(soil);
    ColumnState fresh = shared;
    std::fill(fresh.sameTableAsAbove.begin(), fresh.sameTableAsAbove.end(), 0);
    EXPECT_EQ(shared.sameTableAsAbove[2], 1);
    CellValues cell;
    cell.dt = 600;
    DriverWork work(def.layers);
    std::mt19937 rng(2);
    std::uniform_real_distribution<double> u(0, 1);
    for (int s = 0; s < 200; ++s) {
        Forcing f;
        f.rain = u(rng) < 0.4 ? 3 * def.ksat * u(rng) : 0.0;
        CellValues c2 = cell;
        RunSubstep(soil, shared, cell, SolverSettings{}, f, work);
        RunSubstep(soil, fresh, c2, SolverSettings{}, f, work);
        ASSERT_EQ(shared.theta, fresh.theta) << s;
        ASSERT_EQ(shared.q, fresh.q) << s;
    }
}

}  // namespace
