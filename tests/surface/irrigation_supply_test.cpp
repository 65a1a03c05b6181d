// Surface-water supply per subbasin: reservoirs, the river chains, the channel records, supply
// factors and the blended reduction under a shortage, and rows that would loop or overrun.
#include <gtest/gtest.h>

#include <vector>

#include "surface/irrigation_supply.hpp"

using namespace irrigation;

namespace {

struct Basin {
    std::vector<double> demand{0, 2, 1, 0}, area{0, 10, 20, 40}, sx{0, 2, 1, 0};
    std::vector<int> targets{0, 1, 3, 0};
    std::vector<double> rivers{0, 5, 5, 5}, reservoirs{0, 0, 0, 0};
    std::vector<RiverChannel> channels;
    SupplyResult Draw(double dt = 1440) {
        SupplyInput in{demand, area, targets, dt};
        return DrawSurfaceWater(in, sx, rivers, reservoirs, channels);
    }
};

}  // namespace

TEST(IrrigationSupply, MeanDemandWithoutCellsIsZero) {
    EXPECT_EQ(MeanDemand(0, 0), 0.0);
    EXPECT_EQ(MeanDemand(3, 0), 0.0);
    EXPECT_NEAR(MeanDemand(3, 2), 1.5, 1e-15);
}

TEST(IrrigationSupply, RiversLowerTheChainBelowEachTarget) {
    // Entry 1 names subbasin 2, whose chain leads to 3; entry 2 names subbasin 3.
    Basin b;
    b.demand = {0, 2, 1, 9};
    b.sx = {0, 2, 1, 9};
    b.targets = {0, 2, 3, 0};
    const SupplyResult r = b.Draw();
    ASSERT_EQ(r.badSubbasin, 0);
    // Subbasin 2 draws 1 mm over 20 km2: subbasin 3 (40 km2) can give 0.5 mm less, 4.5 of its
    // demand of 9: factor 0.5.
    EXPECT_NEAR(r.factor[3], 0.5, 1e-15);
    EXPECT_NEAR(b.rivers[3], 0.5, 1e-15);
    EXPECT_EQ(r.factor[1], 1.0);
    EXPECT_EQ(r.factor[2], 1.0);
    EXPECT_TRUE(r.shortage);
}

TEST(IrrigationSupply, ReservoirsFirstThenRiversWithFactors) {
    Basin b;
    b.reservoirs = {0, 1.5, 0, 0};
    b.rivers = {0, 0.25, 0.5, 5};
    b.targets = {0, 0, 0, 0};
    const SupplyResult r = b.Draw();
    EXPECT_NEAR(r.fromReservoirs[1], 1.5, 1e-15);
    EXPECT_EQ(r.fromReservoirs[2], 0.0);
    // Unmet 0.5 against 0.25 from rivers: factor 0.5; subbasin 2: 0.5 of 1.
    EXPECT_NEAR(r.factor[1], 0.5, 1e-15);
    EXPECT_NEAR(r.factor[2], 0.5, 1e-15);
    EXPECT_EQ(r.factor[3], 1.0);
    EXPECT_TRUE(r.shortage);
    EXPECT_NEAR(b.rivers[1], 0.5, 1e-15);  // the factor replaces the river supply
}

TEST(IrrigationSupply, ChannelsLoseTheDrawnDischarge) {
    const double dt = 60;
    const double q = 1 * 20 / (dt * 0.06);  // 1 mm over 20 km2 in 60 minutes, m3/s
    Basin b;
    b.targets = {0, 2, 3, 0};
    b.channels.resize(4);
    b.channels[1] = {10.0, 7, 100, true};
    b.channels[2] = {10.0, 0, 100, true};
    b.channels[3] = {100.0, 0, 0, true};  // no catchment area: flow in mm 0
    ASSERT_EQ(b.Draw(dt).badSubbasin, 0);
    EXPECT_NEAR(b.channels[2].flowm3s, 10 - q, 1e-12);
    EXPECT_NEAR(b.channels[2].flowMm, (10 - q) / 100 * dt * 0.06, 1e-12);
    EXPECT_NEAR(b.channels[3].flowm3s, 100 - q, 1e-12);
    EXPECT_EQ(b.channels[3].flowMm, 0.0);
    EXPECT_EQ(b.channels[1].flowm3s, 10.0);  // not in any chain
    EXPECT_EQ(b.channels[1].flowMm, 7.0);

    // A discharge that would turn negative ends at 0, and a record without routing object
    // keeps its values.
    Basin c;
    c.targets = {0, 2, 3, 0};
    c.channels.resize(4);
    c.channels[2] = {0.01, 1, 100, true};
    c.channels[3] = {0.01, 1, 100, false};
    ASSERT_EQ(c.Draw(dt).badSubbasin, 0);
    EXPECT_EQ(c.channels[2].flowm3s, 0.0);
    EXPECT_EQ(c.channels[2].flowMm, 0.0);
    EXPECT_EQ(c.channels[3].flowm3s, 0.01);
}

TEST(IrrigationSupply, CyclicOrOverrunningRowsNameTheSubbasin) {
    Basin b;
    b.targets = {0, 2, 3, 2};  // the chain of 2 runs 3, 2, 3, ...
    SupplyResult r = b.Draw();
    EXPECT_EQ(r.badSubbasin, 2);
    EXPECT_TRUE(r.cyclic);
    Basin c;
    c.targets = {0, 7, 0, 0};
    r = c.Draw();
    EXPECT_EQ(r.badSubbasin, 1);
    EXPECT_FALSE(r.cyclic);
    Basin d;
    d.targets = {0, 2, 9, 0};  // the chain of 2 leads outside
    r = d.Draw();
    EXPECT_EQ(r.badSubbasin, 2);
}

TEST(IrrigationSupply, ReducedAmountBlendsRiverAndReservoirShares) {
    // No reservoir: the river factor alone.
    EXPECT_NEAR(ReducedAmount(4, 0, 0, 0.5), 2.0, 1e-15);
    // Reservoir capacity 1 mm of which 0.5 were given, factor 1: p = 0.5.
    EXPECT_NEAR(ReducedAmount(4, 1, 0.5, 1), 0.5 * 4 + 0.5 * 4 * 0.5, 1e-15);
    EXPECT_EQ(ReducedAmount(4, 0, 0, 0), 0.0);
}
