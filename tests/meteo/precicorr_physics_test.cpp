// The undercatch factor and the refit of a precipitation elevation profile.
#include <gtest/gtest.h>
#include <cmath>

#include "meteo/precicorr_physics.hpp"

using namespace undercatch;

namespace {

TEST(UndercatchFactor, RainAboveTheThresholdSnowAtOrBelow) {
    const Coefficients k{1.0, 1.1, 0.05, 1.3, 0.2};
    EXPECT_NEAR(Factor(k, 5.0, 4.0) * 10.0, 13.0, 1e-12);
    EXPECT_NEAR(Factor(k, 1.0, 4.0) * 10.0, 21.0, 1e-12);  // equal to the threshold: snow
    EXPECT_NEAR(Factor(k, 1.0000001, 0.0), 1.1, 1e-15);
    // Constant 1 and slope 0 leave every value bitwise as it is.
    const Coefficients none{0.0, 1.0, 0.0, 1.0, 0.0};
    for (double p : {0.1, 1.0 / 3.0, 123.456789, 1e-300})
        for (double u : {0.0, 3.7, 25.0}) EXPECT_EQ(p * Factor(none, -3.0, u), p);
}

double Line(const ElevationProfile& p, int k, double z) { return p.a[k] + p.b[k] * z; }

TEST(RefitProfile, ConstantFactorScalesEveryZoneAndKeepsItContinuous) {
    ElevationProfile p;
    p.h1 = 500;
    p.h2 = 1500;
    p.a = {0, 2.0, 1.5, 3.0};
    p.b = {0, 0.002, 0.003, 0.00133333333};
    const ElevationProfile f = RefitProfile(p, 3000, [](double) { return 1.2; });
    for (int k : {1, 3}) {
        EXPECT_NEAR(f.a[k], 1.2 * p.a[k], 1e-9) << k;
        EXPECT_NEAR(f.b[k], 1.2 * p.b[k], 1e-12) << k;
    }
    // Zone 2 joins line 1 at h1 and line 3 at h2; h1 and h2 stay.
    EXPECT_NEAR(Line(f, 2, 500), Line(f, 1, 500), 1e-9);
    EXPECT_NEAR(Line(f, 2, 1500), Line(f, 3, 1500), 1e-9);
    EXPECT_EQ(f.h1, 500);
    EXPECT_EQ(f.h2, 1500);
}

TEST(RefitProfile, SnowHigherUpGetsTheSnowFactor) {
    // Rain (factor 1.1) up to 1000 m, snow (1.5) above: zone 3 above h2 = 1200 is all snow.
    ElevationProfile p;
    p.h1 = 800;
    p.h2 = 1200;
    p.a = {0, 1.0, 1.0, 1.0};
    p.b = {0, 0.001, 0.001, 0.001};
    const ElevationProfile f = RefitProfile(p, 2400, [](double z) { return z > 1000 ? 1.5 : 1.1; });
    EXPECT_NEAR(Line(f, 1, 400), 1.1 * 1.4, 1e-9);
    EXPECT_NEAR(Line(f, 3, 2000), 1.5 * 3.0, 1e-9);
}

TEST(RefitProfile, WithoutZoneOneTheUpperLimitMovesToTheCrossing) {
    ElevationProfile p;
    p.h1 = 0;
    p.h2 = 1000;
    p.a = {0, 0, 1.0, 1.0};
    p.b = {0, 0, 0.002, 0.001};
    const ElevationProfile f = RefitProfile(p, 3000, [](double) { return 1.0; });
    // Unchanged lines: 1 + 0.002 z and 1 + 0.001 z meet at z = 0.
    EXPECT_NEAR(f.h2, 0.0, 1e-9);
    // Parallel lines (slopes within 0.0001) keep h2.
    p.b = {0, 0, 0.00105, 0.001};
    EXPECT_EQ(RefitProfile(p, 3000, [](double) { return 1.0; }).h2, 1000);
}

TEST(RefitProfile, EmptyOrInvertedZonesAreLeftAsFitted) {
    // Upper limit at or below 0 without zone 1: nothing to sample, zone 2 stays; the crossing
    // still moves h2 (the lines are finite).
    for (double h2 : {0.0, -200.0}) {
        ElevationProfile p;
        p.h1 = 0;
        p.h2 = h2;
        p.a = {0, 0, 2.0, 1.0};
        p.b = {0, 0, 0.001, 0.003};
        const ElevationProfile f = RefitProfile(p, 1000, [](double) { return 2.0; });
        EXPECT_EQ(f.a[2], 2.0) << h2;
        EXPECT_EQ(f.b[2], 0.001) << h2;
        EXPECT_TRUE(std::isfinite(f.h2)) << h2;
        EXPECT_TRUE(std::isfinite(f.a[3]) && std::isfinite(f.b[3])) << h2;
    }
    // h2 at or below h1: zone 2 keeps its line instead of a division by h2 - h1.
    ElevationProfile q;
    q.h1 = 800;
    q.h2 = 800;
    q.a = {0, 1.0, 7.0, 1.0};
    q.b = {0, 0.001, 0.0, 0.001};
    const ElevationProfile g = RefitProfile(q, 2000, [](double) { return 1.0; });
    EXPECT_EQ(g.a[2], 7.0);
    EXPECT_EQ(g.b[2], 0.0);
    EXPECT_NEAR(g.a[1], 1.0, 1e-12);
}

}  // namespace
