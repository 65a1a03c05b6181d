// Sub-step planning and the single linear storage.
#include <gtest/gtest.h>

#include <cmath>

#include "lateral/surfrout_storage.hpp"

using namespace surfrout;

TEST(SurfaceSubSteps, LimitsAreWholeFractions) {
    struct Case {
        double limit, expected;
    } cases[] = {{700, 720}, {400, 400}, {5000, 3600}, {3600, 3600}, {0, 3600}, {-5, 3600}, {1e300, 3600}};
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(WholeFraction(3600, c.limit), c.expected) << c.limit;
}

TEST(SurfaceSubSteps, PlanFromStableStep) {
    // One more sub step than needed: 900 s gives 3600 / 5.
    SubStepPlan p = PlanSubSteps(900, 3600, 0, 3600);
    EXPECT_DOUBLE_EQ(p.dt, 720);
    EXPECT_DOUBLE_EQ(p.count, 6);
    EXPECT_DOUBLE_EQ(p.refresh, 6);
    // No water: the longest allowed step.
    EXPECT_DOUBLE_EQ(PlanSubSteps(1e36, 3600, 60, 600).dt, 600);
    EXPECT_DOUBLE_EQ(PlanSubSteps(1e36, 3600, 60, 0).dt, 3600);
    // The shortest step is a lower limit only when set.
    EXPECT_DOUBLE_EQ(PlanSubSteps(1, 3600, 60, 600).dt, 60);
    EXPECT_DOUBLE_EQ(PlanSubSteps(1, 3600, 0, 600).dt, 3600.0 / 3601.0);
    p = PlanSubSteps(100, 3600, 0, 600);
    EXPECT_DOUBLE_EQ(p.dt, 3600.0 / 37);
    EXPECT_DOUBLE_EQ(p.refresh, std::floor(38.0 / 6.0));
    EXPECT_DOUBLE_EQ(NextRefresh(p.refresh, p.count, 3600, 600), std::floor(6 + 38.0 / 6.0));
}

TEST(SurfaceLinearStorage, DecaysExponentially) {
    const double k = 120;
    double q = LinearStorage(10, 0, 60, &k);
    EXPECT_NEAR(q, 3.934693, 1e-6);
    for (int i = 0; i < 5; ++i) {
        const double next = LinearStorage(0, q, 60, &k);
        EXPECT_NEAR(next, q * std::exp(-0.5), 1e-12);
        q = next;
    }
    // Without a storage constant the inflow passes unchanged.
    EXPECT_EQ(LinearStorage(7.5, 3, 60, nullptr), 7.5);
    // A long constant keeps almost everything, a short one passes almost all inflow.
    const double slow = 1e9, fast = 1e-3;
    EXPECT_NEAR(LinearStorage(10, 4, 60, &slow), 4, 1e-5);
    EXPECT_NEAR(LinearStorage(10, 4, 60, &fast), 10, 1e-9);
    // Concentrations mix by the water amounts that leave.
    const double updated = LinearStorage(10, 4, 60, &k);
    const double e = std::exp(-0.5);
    EXPECT_NEAR(StorageConcentration(10, 2, 4, 5, 60, &k, updated), (10 * 2 * (1 - e) + 4 * 5 * e) / updated, 1e-12);
    EXPECT_EQ(StorageConcentration(0, 2, 0, 5, 60, &k, 0), 0);
}
