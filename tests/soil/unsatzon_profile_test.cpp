// The start state of one soil column: water-table layer, hydrostatic profile, the layer of the
// water table, the drain layer and the root-zone water.
#include <gtest/gtest.h>

#include <vector>

#include "kernel/diaglog.hpp"
#include "soil/unsatzon_profile.hpp"
#include "tables/soil_entry.hpp"

using namespace soil_profile;

namespace {
// Heads of n layers of 0.1 m below a surface at 500 m.
std::vector<double> Heads(int n) {
    std::vector<double> h(static_cast<std::size_t>(n) + 1);
    for (int k = 0; k <= n; ++k) h[static_cast<std::size_t>(k)] = 500.0 - 0.1 * k;
    return h;
}

soil_entry TenLayers() {
    DiagLog log("", 0);
    soil_entry s(1);
    s.ParseSoilBlock(log,
                     "1 loam { method = MultipleHorizons; layers = 10; thickness = 0.1; ksat = 1e-5; theta_sat = 0.4; "
                     "theta_res = 0.05; alpha = 2.0; Par_n = 1.5; }",
                     "MultipleHorizons");
    return s;
}
}  // namespace

TEST(SoilProfile, WaterTableLayerFromTheLevelParameter) {
    struct Case {
        double level;
        int g;
    };
    // floor(9 / level) + 1, held within the profile; levels of 1 or less reach its bottom.
    for (const Case& c : {Case{2, 5}, Case{3, 4}, Case{10, 1}, Case{100, 1}, Case{1.5, 7}, Case{1, 10}, Case{0.5, 10},
                          Case{1e-9, 10}})
        EXPECT_EQ(WaterTableLayerFromLevel(10, c.level), c.g) << c.level;
}

TEST(SoilProfile, WaterTableLayerFromDepth) {
    const std::vector<double> h = Heads(10);
    struct Case {
        double depth;
        int g;
    };
    for (const Case& c : {Case{0.05, 0}, Case{0.1, 0}, Case{0.15, 1}, Case{0.19, 1}, Case{0.45, 4}, Case{0.95, 9},
                          Case{3.0, 10}})
        EXPECT_EQ(WaterTableLayerFromDepth(h, 10, c.depth), c.g) << c.depth;
}

TEST(SoilProfile, HydrostaticColumnHasOneHeadAboveTheTable) {
    const soil_entry soil = TenLayers();
    const std::vector<double> h = Heads(10);
    for (int g : {0, 3, 5, 10}) {
        SCOPED_TRACE(g);
        std::vector<double> theta(11), hh(11);
        HydrostaticColumn(soil, h, 10, g, theta, hh);
        EXPECT_DOUBLE_EQ(theta[0], 0.4);
        EXPECT_DOUBLE_EQ(hh[0], 500.0);
        // The table lies at the centre of layer g + 1 (a virtual layer below the profile for g = 10).
        const double table = 500.0 - 0.1 * g - 0.05;
        EXPECT_DOUBLE_EQ(LayerCentre(h, 10, g + 1), table);
        for (int k = 1; k <= 10; ++k) {
            if (k > g) {
                EXPECT_DOUBLE_EQ(theta[static_cast<std::size_t>(k)], 0.4) << k;
            } else {
                EXPECT_NEAR(hh[static_cast<std::size_t>(k)], table, 1e-9) << k;
                EXPECT_LT(theta[static_cast<std::size_t>(k)], 0.4) << k;
            }
        }
        // The water table of that column is the top of layer g + 1.
        const std::vector<double> sat(11, 0.4);
        const WaterTable t = FindWaterTable(theta, sat, h, 10);
        if (g >= 1 && g < 9) {
            EXPECT_EQ(t.level, g + 1);
            EXPECT_NEAR(t.distance, -0.1 * g, 1e-12);
            EXPECT_DOUBLE_EQ(t.thetaAbove, theta[static_cast<std::size_t>(g)]);
        }
        if (g == 0) {
            EXPECT_EQ(t.level, 1);
            EXPECT_DOUBLE_EQ(t.thetaAbove, theta[0]);
        }
        if (g == 10) {
            EXPECT_EQ(t.level, 10);  // nothing saturated above the last layer
        }
    }
}

TEST(SoilProfile, WaterTableWalkStopsAtTheFirstUnsaturatedLayerAboveIt) {
    const std::vector<double> h = Heads(5);
    const std::vector<double> sat(6, 0.4);
    // A perched saturated layer 1 above unsaturated layer 2 does not count.
    const std::vector<double> theta{0.4, 0.4, 0.2, 0.4, 0.4, 0.4};
    const WaterTable t = FindWaterTable(theta, sat, h, 5);
    EXPECT_EQ(t.level, 3);
    EXPECT_DOUBLE_EQ(t.thetaAbove, 0.2);
}

TEST(SoilProfile, DrainLayer) {
    const std::vector<double> h = Heads(10);
    struct Case {
        double depth;
        int layer;
    };
    for (const Case& c : {Case{0.35, 4}, Case{0.01, 0}, Case{0.005, 0}, Case{0.11, 1}, Case{1.0, 10}, Case{5.0, 10}})
        EXPECT_EQ(DrainageLayer(h, 10, c.depth), c.layer) << c.depth;
}

TEST(SoilProfile, RootZoneWater) {
    const std::vector<double> theta{0.4, 0.1, 0.2, 0.3};
    const std::vector<double> d{0, 0.1, 0.1, 0.1};
    EXPECT_DOUBLE_EQ(RootZoneWater(theta, d, 3, 0.0), 0.1);  // no roots: the top layer
    EXPECT_NEAR(RootZoneWater(theta, d, 3, 0.15), (0.1 * 0.1 + 0.2 * 0.05) / 0.15, 1e-15);
    // Roots below the profile: the profile's water over the root depth.
    EXPECT_NEAR(RootZoneWater(theta, d, 3, 0.6), (0.01 + 0.02 + 0.03 - 0.3e-8) / 0.6, 1e-15);
    EXPECT_NEAR(RootZoneWater(theta, d, 3, 9999), (0.01 + 0.02 + 0.03 - 0.3e-8) / 9999, 1e-15);
}
