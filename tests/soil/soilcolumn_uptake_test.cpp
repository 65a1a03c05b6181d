// Macropore infiltration and root water uptake with soil evaporation.
#include <gtest/gtest.h>

#include <sstream>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "soilcolumn_fixture.hpp"
#include "support/test_support.hpp"

namespace {

using namespace soilcolumn_test;

constexpr double kMmPerHour = 1.0 / 3600000.0;  // m/s

struct Macro {
    soil_entry soil;
    std::vector<double> theta, cap, inflow;
    explicit Macro(double thickness, int layers = 5) {
        SoilLayout def;
        def.layers = layers;
        def.thickness = thickness;
        soil = MakeSoil(def);
        soil.PMacroThresh = 1 * kMmPerHour;
        soil.MacroCapacity = 0.5 * kMmPerHour;
        soil.MacroDepth = 0.5;
        theta.assign(static_cast<std::size_t>(layers) + 1, 0.2);
        cap.assign(theta.size(), -1);
        inflow.assign(theta.size(), -1);
    }
    double Run(double& supply, double stepFactor) {
        return MacroporeInfiltration(soil, supply, stepFactor, theta.data(), cap.data(), inflow.data());
    }
};

TEST(SoilColumnMacropores, FillTheDeepestLayerOfTheZoneFirst) {
    const double day = 86400 * 1000.0;  // mm for 1 m/s over a day
    Macro m(0.2);
    double supply = 2 * kMmPerHour;
    const double total = m.Run(supply, day);
    EXPECT_NEAR(total, 12.0, 1e-9);
    EXPECT_NEAR(m.theta[2], 0.2 + 0.012 / 0.2, 1e-12);
    EXPECT_EQ(m.theta[1], 0.2);
    EXPECT_EQ(m.theta[3], 0.2);
    EXPECT_NEAR(m.inflow[2], 0.5 * kMmPerHour, 1e-18);
    EXPECT_NEAR(supply, 1.5 * kMmPerHour, 1e-18);
    EXPECT_EQ(m.cap[3], 0.0);  // middle at 0.5 m: outside the zone
    // A saturated deepest layer passes the water on to the one above.
    Macro sat(0.2);
    sat.theta[2] = sat.soil.theta_sat[2];
    supply = 2 * kMmPerHour;
    EXPECT_NEAR(sat.Run(supply, day), 12.0, 1e-9);
    EXPECT_NEAR(sat.theta[1], 0.2 + 0.012 / 0.2, 1e-12);
    // Free pore space limits a layer and leaves it saturated.
    Macro small(0.2);
    small.theta[2] = small.soil.theta_sat[2] - 0.005;  // 1 mm free
    supply = 2 * kMmPerHour;
    EXPECT_NEAR(small.Run(supply, day), 12.0, 1e-9);
    EXPECT_EQ(small.theta[2], small.soil.theta_sat[2]);
    EXPECT_NEAR(small.theta[1], 0.2 + 0.011 / 0.2, 1e-12);
}

TEST(SoilColumnMacropores, ZoneDepthCapacityAndThreshold) {
    Macro m(0.1);
    m.soil.MacroDepth = 0.25;
    m.soil.CapacityRedu = 0.5;
    double supply = 5 * kMmPerHour;
    m.Run(supply, 3600 * 1000.0);
    EXPECT_NEAR(m.cap[1], 0.5 * kMmPerHour * std::pow(0.5, 0.05), 1e-18);
    EXPECT_NEAR(m.cap[2], 0.5 * kMmPerHour * std::pow(0.5, 0.15), 1e-18);
    EXPECT_EQ(m.cap[3], 0.0);
    struct Case {
        double capacity, depth, supply;
    } none[] = {{0, 0.5, 5}, {0.5, 0.04, 5}, {0.5, 0.5, 1.0}};
    for (const Case& c : none) {
        Macro n(0.1);
        n.soil.MacroCapacity = c.capacity * kMmPerHour;
        n.soil.MacroDepth = c.depth;
        double s = c.supply * kMmPerHour;
        EXPECT_EQ(n.Run(s, 3600 * 1000.0), 0.0);
        EXPECT_EQ(s, c.supply * kMmPerHour);
    }
}

class SoilColumnChecks : public talvo_test::TempDirTest {};

TEST_F(SoilColumnChecks, NegativeCapacityReductionIsRefused) {
    std::ostringstream console;
    DiagLog log("diag.xml", 4);
    log.SetConsole(console);
    soil_entry soil = MakeSoil(SoilLayout{});
    soil.code = 7;
    CheckMacroporeParameters(log, soil);
    soil.CapacityRedu = -0.5;
    int code = 0;
    try {
        CheckMacroporeParameters(log, soil);
    } catch (const ModelError& e) {
        code = e.code();
    }
    EXPECT_EQ(code, 17);
    log.Close();
    EXPECT_NE(console.str().find("soil type 7 (loam): CapacityRedu"), std::string::npos) << console.str();
}

struct Roots {
    soil_entry soil = MakeSoil(SoilLayout{});
    ColumnState col{10};
    std::vector<double> fraction, weight, uptake, sum, evap;
    double evapSum = 0;
    Roots() : fraction(11), weight(11), uptake(11), sum(11), evap(11) {
        col.SetSoil(soil, 0);
        for (int i = 1; i <= 10; ++i) col.theta[static_cast<std::size_t>(i)] = 0.3;
    }
    int Run(double& depth, const RootParameters& p, double T, double E0, int g = 10, double a = 1.0) {
        const RootArrays out{fraction.data(), weight.data(), uptake.data(), sum.data(), evap.data()};
        return RootDistribution(soil, p, depth, a, T, E0, 600, soil.EvapMaxDepth, col.theta.data(), col.z.data(), g,
                                out, evapSum);
    }
};

// No stress at 0.3 with a dry limit at 30 m suction and wet stress only at saturation.
const RootParameters kNoStress{0, 30.0, 1.0, 1.0};

TEST(SoilColumnRoots, TriangularWeightsOverTheRootedLayers) {
    Roots r;
    double depth = 0.2;
    EXPECT_EQ(r.Run(depth, kNoStress, 1e-7, 0), 3);
    EXPECT_NEAR(r.weight[1], 0.75, 1e-9);
    EXPECT_NEAR(r.weight[2], 0.25, 1e-9);
    EXPECT_NEAR(r.weight[3], 0.0, 1e-9);
    EXPECT_NEAR(r.uptake[1] + r.uptake[2] + r.uptake[3], 1e-7, 1e-20);
    EXPECT_NEAR(r.sum[1], 0.75e-7, 1e-16);
    // A root depth above the first layer's bottom becomes its thickness: all from layer 1.
    depth = 0.03;
    r.Run(depth, kNoStress, 1e-7, 0);
    EXPECT_EQ(depth, 0.1);
    EXPECT_NEAR(r.weight[1], 1.0, 1e-9);
    // Strongly negative shapes give no negative weights; with none left, layer 1 takes all.
    for (double shape : {-1.5, -5.0, -50.0}) {
        depth = 0.5;
        r.Run(depth, RootParameters{shape, 30.0, 1.0, 1.0}, 1e-7, 0);
        double total = 0;
        for (int i = 1; i <= 10; ++i) {
            EXPECT_GE(r.weight[static_cast<std::size_t>(i)], 0.0) << shape;
            total += r.weight[static_cast<std::size_t>(i)];
        }
        EXPECT_NEAR(total, 1.0, 1e-12) << shape;
    }
}

TEST(SoilColumnRoots, StressMovesWeightDownAboveTheTableAndOffersTheRestToEvaporation) {
    Roots r;
    const double tr = r.soil.theta_res[1], ts = r.soil.theta_sat[1];
    double depth = 0.2;
    r.col.theta[1] = tr;  // layer 1 dry: loses all its weight
    r.Run(depth, kNoStress, 1e-7, 0);
    // Layer 2 takes up to twice its own weight (0.25 -> 0.75); the remaining 0.25 is unserved.
    EXPECT_EQ(r.weight[1], 0.0);
    EXPECT_NEAR(r.weight[2], 0.75, 1e-9);
    const double unserved = 0.25 * 1e-7;
    // The unserved weight is offered to soil evaporation, from layer 1 only (EvapMaxDepth = its
    // thickness), at the share (1 - ((ts - theta) / ts)^2).
    const double dryRes = (ts - tr) / ts;
    EXPECT_NEAR(r.evap[1], (1 - dryRes * dryRes) * unserved, 1e-20);
    EXPECT_EQ(r.evap[2], 0.0);
    r.col.theta[1] = 0.3;
    r.col.theta[2] = tr;
    r.evapSum = 0;
    depth = 0.2;
    r.Run(depth, kNoStress, 1e-7, 2e-8, 1);  // table in layer 1: nothing moves down
    EXPECT_NEAR(r.weight[1], 0.75, 1e-9);
    EXPECT_EQ(r.weight[2], 0.0);
    const double dry = (ts - 0.3) / ts;
    EXPECT_NEAR(r.evap[1], (1 - dry * dry) * (unserved + 2e-8), 1e-18);
    EXPECT_EQ(r.evap[2], 0.0);
    EXPECT_NEAR(r.evapSum, r.evap[1], 1e-20);
    // Layer 1 evaporates even when EvapMaxDepth lies inside it; a deeper one reaches layer 2.
    r.soil.EvapMaxDepth = 0.01;
    r.Run(depth, kNoStress, 0, 2e-8, 1);
    EXPECT_GT(r.evap[1], 0.0);
    r.soil.EvapMaxDepth = 0.15;
    r.col.theta[1] = 0.05;
    r.Run(depth, kNoStress, 0, 2e-8, 1);
    EXPECT_GT(r.evap[2], 0.0);
    // Wet stress: at saturation the uptake falls to LimitReduWet.
    for (int i = 1; i <= 10; ++i) r.col.theta[static_cast<std::size_t>(i)] = ts;
    depth = 0.2;
    r.Run(depth, RootParameters{0, 30.0, 0.8, 0.4}, 1e-7, 0, 1);
    EXPECT_NEAR(r.uptake[1] + r.uptake[2], 0.4e-7, 1e-16);
}

}  // namespace
