// Initial soil temperatures from degree days: the top-of-permafrost closed form and the profile
// it starts, with and without permafrost.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "soil/soilheat.hpp"

TEST(SoilHeatSpinUp, TopOfPermafrostClosedForm) {
    double ttop = 0;
    ASSERT_TRUE(soilheat::TopOfPermafrost(1.0, 2.0, 1.0, 1.0, 1000.0, 2500.0, 1.0, ttop));
    EXPECT_NEAR(ttop, -5.479452, 1e-6);
    // Twice the period halves the value; no period gives no value at all.
    ASSERT_TRUE(soilheat::TopOfPermafrost(1.0, 2.0, 1.0, 1.0, 1000.0, 2500.0, 2.0, ttop));
    EXPECT_NEAR(ttop, -5.479452 / 2.0, 1e-6);
    ttop = 42.0;
    EXPECT_FALSE(soilheat::TopOfPermafrost(1.0, 2.0, 1.0, 1.0, 1000.0, 2500.0, 0.0, ttop));
    EXPECT_EQ(ttop, 42.0);
}

TEST(SoilHeatSpinUp, ProfileWithAndWithoutPermafrost) {
    const int n = 8;
    std::vector<double> d(n + 1, 0.25), thawed(n + 1, 1.5), frozen(n + 1, 2.5), T(n + 1, 0.0);
    EXPECT_EQ(soilheat::OneMetreLayer(d, n), 4);
    soilheat::InitialProfile(n, d, thawed, frozen, 2.0, -4.0, 0.06, T);
    // Linear from 2 at the surface to -4 at 1 m: layer bottoms at 0.25, 0.5, 0.75 m.
    EXPECT_NEAR(T[1], 0.5, 1e-12);
    EXPECT_NEAR(T[2], -1.0, 1e-12);
    EXPECT_NEAR(T[3], -2.5, 1e-12);
    EXPECT_DOUBLE_EQ(T[4], -4.0);
    // Below: frozen conductivity while at or below 0.
    for (int k = 5; k <= n; ++k) EXPECT_NEAR(T[k] - T[k - 1], 0.25 * 0.06 / 2.5, 1e-12) << k;
    // TTOP exactly 0 counts as no permafrost: annual mean on top, thawed gradient below.
    soilheat::InitialProfile(n, d, thawed, frozen, 3.0, 0.0, 0.06, T);
    EXPECT_DOUBLE_EQ(T[1], 3.0);
    for (int k = 2; k <= n; ++k) EXPECT_NEAR(T[k] - T[k - 1], 0.25 * 0.06 / 1.5, 1e-12) << k;
    // A column shallower than 1 m takes its last layer.
    EXPECT_EQ(soilheat::OneMetreLayer(std::vector<double>(4, 0.2), 3), 3);
}

TEST(SoilHeatSpinUp, DegreeDayConductivityLimits) {
    // Dry soil: air in the pores and mineral for the rest; saturated: geometric mean.
    EXPECT_NEAR(soilheat::DegreeDayConductivity(0.4, 0.0, 3.0, 0.57), 0.6 * 3.0 + 0.0262 * 0.4, 1e-12);
    EXPECT_NEAR(soilheat::DegreeDayConductivity(0.4, 0.4, 3.0, 2.2), std::pow(3.0, 0.6) * std::pow(2.2, 0.4), 1e-12);
}
