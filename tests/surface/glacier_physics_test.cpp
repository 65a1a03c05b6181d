// Glacier runoff storages, firn levels, melt rates, volume-area scaling and permafrost thaw.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "surface/glacier_physics.hpp"

namespace {

using namespace glacier;

TEST(GlacierRunoff, OneStepOfALinearStorage) {
    // k = 10, Q0 = 0, input / phi = 5: 5 (1 - e^-0.1).
    EXPECT_NEAR(StorageOutflow(0, 10, 5), 0.475813, 1e-6);
    EXPECT_NEAR(StorageOutflow(0, 10, 5), 5 * (1 - std::exp(-0.1)), 1e-12);
}

TEST(GlacierRunoff, ConstantInputConvergesAndTheStorageKeepsItsWater) {
    // Water stored in a linear storage is k Q in steady state; the balance over many steps:
    // input - outflow = change of storage k (Q_end - Q_0) to first order in each step.
    double Q = 0;
    for (int i = 0; i < 2000; ++i) Q = StorageOutflow(Q, 24, 3.0);
    EXPECT_NEAR(Q, 3.0, 1e-9);
    // From a full storage without input the outflow decays as e^(-n/k).
    double q = 2.0;
    for (int i = 0; i < 5; ++i) q = StorageOutflow(q, 4, 0);
    EXPECT_NEAR(q, 2.0 * std::exp(-5.0 / 4), 1e-12);
}

TEST(GlacierRunoff, SubbasinRecordScalesByTheGlacierShare) {
    struct Case {
        double phi, expectedFactor;
    };
    const Triple k{10, 20, 5};
    const Triple in{1.0, 0.5, 0.25};
    for (const Case cs : {Case{0.5, 1}, Case{1.0, 1}, Case{0.0, 0}, Case{-0.1, 0}}) {
        Triple q{0.3, 0.2, 0.1};
        const Triple before = q;
        const double sx = RouteSubbasin(q, k, in, cs.phi);
        if (cs.expectedFactor == 0) {
            EXPECT_EQ(sx, 0.0);
            EXPECT_EQ(q.ice + q.firn + q.snow, 0.0);
            continue;
        }
        EXPECT_NEAR(q.ice, StorageOutflow(before.ice, 10, 1.0 / cs.phi), 1e-12);
        EXPECT_NEAR(q.firn, StorageOutflow(before.firn, 20, 0.5 / cs.phi), 1e-12);
        EXPECT_NEAR(q.snow, StorageOutflow(before.snow, 5, 0.25 / cs.phi), 1e-12);
        EXPECT_NEAR(sx, (q.ice + q.firn + q.snow) * cs.phi, 1e-12);
    }
}

TEST(Firn, PushDownDropsTheDeepestLevel) {
    std::vector<double> levels{600, 1, 2, 3};
    PushDownFirn(levels, 7, -9999);
    EXPECT_EQ(levels, (std::vector<double>{10, 7, 1, 2}));
    std::vector<double> one{5, 5};
    PushDownFirn(one, 2, -9999);
    EXPECT_EQ(one, (std::vector<double>{2, 2}));
}

TEST(Firn, MeltTakesFromTheYoungestLevelAndReturnsTheRest) {
    struct Case {
        std::vector<double> levels;
        double melt, rest;
        std::vector<double> after;
    };
    const std::vector<Case> cases{
        {{6, 1, 2, 3}, 2.5, 0, {3.5, 0, 0.5, 3}},
        {{6, 1, 2, 3}, 10, 4, {0, 0, 0, 0}},
        {{2, -9999, 2, -9999}, 1, 0, {1, 0, 1, -9999}},
        {{6, 1, 2, 3}, 0, 0, {6, 1, 2, 3}},
    };
    for (const Case& cs : cases) {
        std::vector<double> l = cs.levels;
        const double total = FirnSum(l, -9999);
        const double rest = MeltFirn(l, cs.melt, -9999);
        EXPECT_NEAR(rest, cs.rest, 1e-12);
        EXPECT_EQ(l, cs.after);
        // Mass: what the firn gave plus the rest is the melt.
        EXPECT_NEAR(total - FirnSum(l, -9999) + rest, cs.melt, 1e-12);
    }
}

TEST(GlacierMelt, RatesOfTheMethods) {
    MeltParameters p;
    p.T0 = 0;
    p.DDFice = 6;
    p.DDFfirn = 5;
    p.DDFsnow = 4;
    p.MF = 2;
    p.stepsPerDay = 24;
    p.debrisScale = 0.5;
    for (int m : {1, 11}) {
        p.method = m;
        EXPECT_NEAR(SnowMelt(p, 3, 0.1, 50), 4 * 3 / 24.0, 1e-12);
        EXPECT_NEAR(FirnMeltRate(p, 3, 0.1, 50), 5 * 3 / 24.0, 1e-12);
        EXPECT_NEAR(IceMeltRate(p, 3, 0.2, 50, 0.8), 0.8 * 0.5 * 6 * 3 / 24.0, 1e-12);
    }
    for (int m : {2, 12, 13}) {
        p.method = m;
        EXPECT_NEAR(SnowMelt(p, 3, 0.1, 50), (2 / 24.0 + 5) * 3, 1e-12);
        EXPECT_NEAR(FirnMeltRate(p, 3, 0.1, 50), (2 / 24.0 + 5) * 3, 1e-12);
        EXPECT_NEAR(IceMeltRate(p, 3, 0.2, 50, 1), 0.5 * (2 / 24.0 + 10) * 3, 1e-12);
    }
    EXPECT_EQ(IceMeltRate(p, 0, 0.2, 50, 1), 0.0);
    EXPECT_EQ(SnowMelt(p, -1, 0.1, 50), 0.0);
}

TEST(VolumeArea, FloorsAndScaling) {
    Scaling s{28.5, 1.36};
    double a = 1.0;
    EXPECT_NEAR(VolumeOfArea(a, s), 28.5, 1e-12);
    a = 10.0;
    EXPECT_NEAR(VolumeOfArea(a, s), 652.90, 0.005);
    a = 0.005;
    EXPECT_NEAR(VolumeOfArea(a, s), 0.0543056, 1e-7);
    EXPECT_EQ(a, 0.01);
    double v = 0.01;
    EXPECT_NEAR(AreaOfVolume(v, s), std::pow(0.0543 / 28.5, 1 / 1.36), 1e-12);
    EXPECT_EQ(v, 0.0543);
    // Area and volume are inverse above the floors.
    double v2 = 100;
    double a2 = AreaOfVolume(v2, s);
    EXPECT_NEAR(VolumeOfArea(a2, s), 100, 1e-9);
}

TEST(VolumeArea, StartRecords) {
    StartValues v = StartRecord(0.005, {28.5, 1.36});
    EXPECT_EQ(v.area, 0.01);
    EXPECT_NEAR(v.volume, 0.0543056, 1e-7);
    EXPECT_EQ(v.previousVolume, v.volume);
    EXPECT_NEAR(v.previousArea, 0.01, 1e-9);
    v = StartRecord(0.005, {1.0, 1.36});
    EXPECT_NEAR(v.volume, std::pow(0.01, 1.36), 1e-12);
    EXPECT_EQ(v.previousVolume, 0.0543);
    EXPECT_NEAR(v.previousArea, std::pow(0.0543, 1 / 1.36), 1e-12);
}

TEST(Permafrost, ThawGrowsWithTheRootOfSnowFreeDays) {
    PermafrostParameters p{3.0, 5.0, 1.0};
    PermafrostCell cell;
    for (int d = 0; d < 100; ++d) PermafrostStep(p, 2.0, 0.05, cell);
    EXPECT_NEAR(cell.thawDepth, 0.5, 1e-12);
    EXPECT_NEAR(cell.snowFreeDays, 100, 1e-9);
    // Two days of cover keep the thaw, the third resets it.
    PermafrostStep(p, 10.0, 0.05, cell);
    PermafrostStep(p, 10.0, 0.05, cell);
    EXPECT_NEAR(cell.thawDepth, 0.5, 1e-12);
    PermafrostStep(p, 10.0, 0.05, cell);
    EXPECT_EQ(cell.thawDepth, 0.0);
    EXPECT_EQ(cell.snowFreeDays, 0.0);
    // Hourly steps: 24 steps make one day.
    PermafrostParameters hourly{3.0, 5.0, 24.0};
    PermafrostCell h;
    for (int i = 0; i < 24 * 4; ++i) PermafrostStep(hourly, 0.0, 0.1, h);
    EXPECT_NEAR(h.thawDepth, 0.2, 1e-9);
}

}  // namespace
