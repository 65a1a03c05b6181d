// Heat conduction in one column against closed forms: the steady linear profile, energy
// conservation of the explicit fluxes, the damped daily wave and the conductivity limits.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "soil/soilheat.hpp"

namespace {
using soilheat::Column;

struct Uniform {
    int n;
    std::vector<double> lambda, capacity, thickness, T, q, dT, start, a, b, c, r, Tnew;
    Uniform(int layers, double d, double lam, double H, double T0)
        : n(layers),
          lambda(n + 1, lam), capacity(n + 1, H), thickness(n + 1, d), T(n + 1, T0), q(n + 1), dT(n + 1),
          start(n + 1), a(n + 1), b(n + 1), c(n + 1), r(n + 1), Tnew(n + 1) {}
    Column col() const { return Column{n, lambda, capacity, thickness}; }
    void Explicit(double surface, double lower, double dt) {
        soilheat::ExplicitStep(col(), T, surface, lower, surface, dt, q, dT, start);
    }
    void Implicit(double surface, double lower, double dt, const soilheat::Advection* adv = nullptr) {
        soilheat::ImplicitStep(col(), T, surface, lower, false, 0.0, dt, adv, {a, b, c, r}, Tnew);
        for (int k = 1; k <= n; ++k) T[static_cast<std::size_t>(k)] = Tnew[static_cast<std::size_t>(k)];
    }
};
}  // namespace

TEST(SoilHeatConduction, SaturatedColumnKeepsTheLinearProfile) {
    const double expected[] = {9.85, 9.55, 9.25, 8.95, 8.65};
    for (bool implicit : {false, true}) {
        SCOPED_TRACE(implicit ? "implicit" : "explicit");
        // Starting cold, the column settles on the line between air (10) and boundary (8.5).
        Uniform u(5, 0.2, 1.8, 2.5e6, 0.0);
        for (int day = 0; day < 60; ++day)
            for (int s = 0; s < 24; ++s) implicit ? u.Implicit(10.0, 8.5, 3600.0) : u.Explicit(10.0, 8.5, 3600.0);
        for (int k = 1; k <= 5; ++k) EXPECT_NEAR(u.T[static_cast<std::size_t>(k)], expected[k - 1], 0.01) << k;
        // And stays there day after day.
        for (int s = 0; s < 48; ++s) implicit ? u.Implicit(10.0, 8.5, 3600.0) : u.Explicit(10.0, 8.5, 3600.0);
        for (int k = 1; k <= 5; ++k) EXPECT_NEAR(u.T[static_cast<std::size_t>(k)], expected[k - 1], 0.01) << k;
    }
}

TEST(SoilHeatConduction, ExplicitAndImplicitAgreeOnAWarmingColumn) {
    Uniform e(5, 0.2, 1.2, 2.2e6, 2.0), i(5, 0.2, 1.2, 2.2e6, 2.0);
    for (int s = 0; s < 72; ++s) {
        const double air = 5.0 + 6.0 * std::sin(2.0 * std::numbers::pi * s / 24.0);
        e.Explicit(air, 4.0, 600.0);
        i.Implicit(air, 4.0, 600.0);
        for (int k = 1; k <= 5; ++k)
            ASSERT_NEAR(e.T[static_cast<std::size_t>(k)], i.T[static_cast<std::size_t>(k)], 0.05) << s << " " << k;
    }
}

TEST(SoilHeatConduction, ExplicitFluxesConserveEnergy) {
    Uniform u(6, 0.1, 1.5, 2.0e6, 0.0);
    for (int k = 1; k <= 6; ++k) {
        u.T[static_cast<std::size_t>(k)] = 3.0 - k;
        u.thickness[static_cast<std::size_t>(k)] = 0.05 * k;
        u.capacity[static_cast<std::size_t>(k)] = 1.5e6 + 1e5 * k;
    }
    const double dt = 120.0;
    soilheat::LayerFluxes(u.col(), u.T, 7.0, -1.0, u.q);
    soilheat::TemperatureChange(u.col(), u.q, dt, u.dT);
    double stored = 0;
    for (std::size_t k = 1; k <= 6; ++k) stored += u.dT[k] * u.thickness[k] * u.capacity[k];
    // Heat gained equals heat entering at the surface minus heat leaving at the bottom.
    EXPECT_NEAR(stored, dt * (u.q[6] - u.q[0]), 1e-9 * std::fabs(stored));
    EXPECT_GT(stored, 0.0);
}

TEST(SoilHeatConduction, DailyWaveDecaysAndLagsWithDepth) {
    const double lam = 1.0, H = 2.0e6, omega = 2.0 * std::numbers::pi / 86400.0;
    const double depth = std::sqrt(2.0 * lam / H / omega);
    for (bool implicit : {false, true}) {
        SCOPED_TRACE(implicit ? "implicit" : "explicit");
        Uniform u(40, 0.1, lam, H, 0.0);
        const int perDay = 288;
        const double dt = 86400.0 / perDay;
        std::vector<double> maxT(4, -1e9), minT(4, 1e9), tMax(4, 0);
        const std::size_t nodes[] = {1, 2, 3, 4};
        for (int s = 0; s < 20 * perDay; ++s) {
            const double surface = 10.0 * std::sin(omega * (s + 1) * dt);
            implicit ? u.Implicit(surface, 0.0, dt) : u.Explicit(surface, 0.0, dt);
            if (s < 19 * perDay) continue;
            for (std::size_t j = 0; j < 4; ++j) {
                const double t = u.T[nodes[j]];
                if (t > maxT[j]) {
                    maxT[j] = t;
                    tMax[j] = (s + 1) * dt;
                }
                minT[j] = std::min(minT[j], t);
            }
        }
        for (std::size_t j = 1; j < 4; ++j) {
            const double dz = 0.1 * static_cast<double>(j);
            const double ratio = (maxT[j] - minT[j]) / (maxT[0] - minT[0]);
            EXPECT_NEAR(ratio, std::exp(-dz / depth), 0.15 * std::exp(-dz / depth)) << j;
            double lag = tMax[j] - tMax[0];
            if (lag < 0) lag += 86400.0;
            const double lagExpected = dz / depth / omega;
            EXPECT_NEAR(lag, lagExpected, 0.15 * lagExpected) << j;
        }
    }
}

TEST(SoilHeatConduction, OneLayerColumnCouplesToBothBoundaries) {
    // A single layer settles between surface and boundary, weighted by its two half-layer couplings.
    Uniform u(1, 0.4, 0.8, 2e6, 0.0);
    for (int s = 0; s < 2000; ++s) u.Implicit(6.0, 2.0, 3600.0);
    EXPECT_NEAR(u.T[1], 4.0, 1e-9);
    // One step from rest matches the closed form of the two couplings.
    Uniform v(1, 0.4, 0.8, 2e6, 1.0);
    v.Implicit(6.0, 2.0, 600.0);
    const double g = 2.0 * 0.8 * 600.0 / (0.4 * 0.4 * 2e6);
    EXPECT_NEAR(v.T[1], (1.0 + 6.0 * g + 2.0 * g) / (1.0 + 2.0 * g), 1e-12);
}

TEST(SoilHeatConduction, ColdWaterEnteringCoolsTheColumn) {
    Uniform dry(4, 0.1, 1.0, 2e6, 5.0), wet(4, 0.1, 1.0, 2e6, 5.0);
    std::vector<double> flux(5, -1e-6), macro(5, 0.0);
    // Macropore water entering the first layer counts downwards, like the fluxes.
    macro[1] = -1e-7;
    const soilheat::Advection adv{flux, macro, 0.0};
    for (int s = 0; s < 24; ++s) {
        dry.Implicit(5.0, 5.0, 3600.0);
        wet.Implicit(5.0, 5.0, 3600.0, &adv);
    }
    for (std::size_t k = 1; k <= 4; ++k) {
        EXPECT_NEAR(dry.T[k], 5.0, 1e-12);
        EXPECT_LT(wet.T[k], 5.0) << k;
    }
}

TEST(SoilHeatConduction, ConductivityLimits) {
    const double ls = 3.0, lw = 0.57, li = 2.2;
    struct Case {
        double thetaS, theta, f, expected;
    };
    const Case cases[] = {
        // Saturated and unfrozen: geometric mean of mineral and water.
        {0.4, 0.4, 1.0, std::pow(ls, 0.6) * std::pow(lw, 0.4)},
        // Saturated and frozen.
        {0.4, 0.4, 0.0, std::pow(ls, 0.6) * std::pow(li, 0.4)},
        // Dry: air in the pores, mineral for the rest.
        {0.4, 0.0, 1.0, 0.0262 * 0.4 + 0.6 * ls},
        // Half frozen, unsaturated.
        {0.4, 0.2, 0.5, 0.0262 * 0.2 + 0.8 * std::pow(ls, 0.6 / 0.8) * std::pow(lw, 0.1 / 0.8) * std::pow(li, 0.1 / 0.8)},
    };
    for (const Case& c : cases)
        EXPECT_NEAR(soilheat::Conductivity(c.thetaS, c.theta, c.f, ls, lw, li), c.expected, 1e-12) << c.theta << " " << c.f;
    EXPECT_DOUBLE_EQ(soilheat::LatentHeatCapacity(0.3, 0.05, 0.02, 334000.0, 1000.0), 334000.0 * 1000.0 * 0.25 * 0.02);
    EXPECT_DOUBLE_EQ(soilheat::LatentHeatCapacity(0.05, 0.05, 0.02, 334000.0, 1000.0), 0.0);
}

TEST(SoilHeatConduction, SubstepCountFollowsTheTrialChange) {
    struct Case {
        double change, air, T1, dt, shortest, longest;
        int expected;
    };
    const Case cases[] = {
        {0.5, 10.0, 0.0, 3600.0, 60.0, 3600.0, 1},    // small change: one step
        {10.0, 10.0, 0.0, 3600.0, 60.0, 3600.0, 4},   // |10| > 2.5 N until N = 4
        {10.0, 10.0, 0.0, 3600.0, 1800.0, 3600.0, 2}, // stops at the shortest step
        {0.1, 10.0, 0.0, 3600.0, 60.0, 900.0, 4},     // longest step 900 s
        {1.0, 3.0, 3.0, 3600.0, 600.0, 3600.0, 6},    // air equals T1: down to the shortest step
    };
    for (const Case& c : cases)
        EXPECT_EQ(soilheat::HeatSubsteps(c.change, c.air, c.T1, c.dt, c.shortest, c.longest), c.expected);
}
