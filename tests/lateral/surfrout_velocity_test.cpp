// Overland flow velocities and flow coefficients against hand-worked cases.
#include <gtest/gtest.h>

#include <cmath>

#include "lateral/surfrout_velocity.hpp"

using namespace surfrout;

TEST(SurfaceVelocity, FixedCoefficientCase) {
    // 10 m cells, 10 mm of water, a 0.1 m drop to a dry orthogonal neighbour: slope 0.11/10.
    const double v = FixedCoefficientVelocity(0.01, std::sqrt(0.011), 10.0, 0.0);
    EXPECT_NEAR(v, 0.048681, 1e-6);
    EXPECT_NEAR(v * 10.0 * 0.01, 0.0048681, 1e-7);
    // Capped at L / (20 x shortest sub step); no cap without a shortest step.
    EXPECT_NEAR(FixedCoefficientVelocity(1.0, 1.0, 10.0, 60.0), 10.0 / 1200.0, 1e-15);
    EXPECT_NEAR(FixedCoefficientVelocity(1.0, 1.0, 10.0, -1.0), 10.0, 1e-12);
}

TEST(SurfaceVelocity, FlowCoefficientLaws) {
    RoughnessParams p;
    p.K_ST = 12.5;
    bool fallback = false;
    p.cultivation = 3;
    EXPECT_EQ(FlowCoefficient(0.3, 0.01, 0.1, p, &fallback), 12.5);
    // Conserving: Re = 0.01 x 4e6 x 0.001 = 40 < 20000: kr = 40^0.5 / (2 x 25^0.5).
    p.cultivation = 1;
    p.coeff1[0] = 2;
    p.coeff1[1] = 0.5;
    p.coeff1[2] = 0.5;
    p.coeff2[0] = 1;
    p.coeff2[1] = 0;
    p.coeff2[2] = 0.1;
    p.residueCover = 0.25;
    EXPECT_NEAR(FlowCoefficient(0.01, 0.001, 0.1, p, &fallback), std::sqrt(40.0) / 10.0, 1e-12);
    // Re = 0.1 x 4e6 x 0.1 = 40000: second coefficients, kr = 40000^0.1.
    EXPECT_NEAR(FlowCoefficient(0.1, 0.1, 0.1, p, &fallback), std::pow(40000.0, 0.1), 1e-12);
    EXPECT_FALSE(fallback);
    // No residue cover would divide by zero: K_ST instead, and the caller learns of it.
    p.residueCover = 0;
    EXPECT_EQ(FlowCoefficient(0.01, 0.001, 0.1, p, &fallback), 12.5);
    EXPECT_TRUE(fallback);
    // Nonconserving with stems too thin for drag: the bed roughness alone.
    p.cultivation = 2;
    p.stemDiameter = 0.0005;
    EXPECT_NEAR(FlowCoefficient(0.1, 0.01, 0.1, p, &fallback), 12.5, 1e-9);
    // Thick stems in deep enough water slow the flow; below the minimum depth they do not.
    p.stemDiameter = 0.005;
    p.cropDistX = 0.3;
    p.cropDistY = 0.2;
    p.aNLTolerance = 1e-6;
    p.aNLIterations = 50;
    const double withDrag = FlowCoefficient(0.1, 0.02, 0.1, p, &fallback);
    EXPECT_GT(withDrag, 0.0);
    EXPECT_LT(withDrag, 12.5);
    p.minCropDepth = 0.05;
    EXPECT_NEAR(FlowCoefficient(0.1, 0.02, 0.1, p, &fallback), 12.5, 1e-9);
}

// Stem drag above a Reynolds number of 800: the drag coefficient is 1.0 below 8000, 1.2 below
// 10000 and the land use's C_WR above. With the Froude number at its cap (fast, shallow flow)
// and no wake iteration the drag depends on the velocity only through that coefficient.
TEST(SurfaceVelocity, StemDragCoefficientBands) {
    RoughnessParams p;
    p.cultivation = 2;
    p.K_ST = 12.5;
    p.stemDiameter = 0.002;  // Re = v x 2000
    p.cropDistX = 0.3;
    p.cropDistY = 0.2;
    p.aNLIterations = 0;
    const double depth = 0.02;
    auto kr = [&](double v) { return FlowCoefficient(v, depth, 0.1, p, nullptr); };
    // Worked by hand for a drag coefficient of 1.0 (Re 1000 and 6000) and 2.0 (C_WR, Re 12000):
    // wake length 0.1 m, Froude number 2 / (3 r^3) with r = 0.2 / 0.198, x = 0.4.
    EXPECT_NEAR(kr(0.5), 12.4599022155295, 1e-11);
    EXPECT_NEAR(kr(3.0), 12.4599022155295, 1e-11);
    p.C_WR = 2.0;
    EXPECT_NEAR(kr(6.0), 12.4370363414443, 1e-11);
    // Between 8000 and 10000 the coefficient is 1.2 whatever C_WR is.
    EXPECT_NEAR(kr(4.5), 12.4553232150724, 1e-11);
    p.C_WR = 1.2;
    EXPECT_NEAR(kr(6.0), kr(4.5), 1e-13);
    // Below 800 the coefficient 3.07 Re^-0.168 (1.047 at Re 600) drags a little more than 1.0.
    EXPECT_LT(kr(0.3), kr(0.5) - 1e-4);
}

namespace {

// The fixed point of v = sq y^e K with y = c Qlim / (v L).
double ClosedFormVelocity(double sq, double k, double qlim, double length, double c) {
    return std::pow(sq * k * std::pow(c * qlim / length, kDepthExponent), 1.0 / (1.0 + kDepthExponent));
}

}  // namespace

TEST(SurfaceVelocity, IterationReachesTheFixedPoint) {
    RoughnessParams p;
    p.K_ST = 10;
    const VelocitySettings s{1e-13, 500, 1.0};
    bool fallback = false;
    const double sq = 0.1, qlim = 0.001, length = 10;
    const DirectionFlow f = RoughnessFlow(0.1, sq, qlim, length, 1.0, 0.9, p, s, &fallback);
    EXPECT_NEAR(f.velocity, ClosedFormVelocity(sq, 10, qlim, length, 1), 1e-9);
    EXPECT_NEAR(f.flux, qlim, 1e-9);  // the converged flux is the limit flux

    // Above the critical shear stress the flow concentrates: same flux, faster flow.
    const VelocitySettings concentrated{1e-13, 500, 2.0};
    const DirectionFlow g = RoughnessFlow(0.1, sq, qlim, length, 1.0, 0.0, p, concentrated, &fallback);
    EXPECT_NEAR(g.velocity, ClosedFormVelocity(sq, 10, qlim, length, 2), 1e-9);
    EXPECT_NEAR(g.flux, qlim, 1e-9);
    // A factor at or below 1 changes nothing.
    for (double c : {1.0, 0.5}) {
        const DirectionFlow u = RoughnessFlow(0.1, sq, qlim, length, 1.0, 0.0, p, {1e-13, 500, c}, &fallback);
        EXPECT_NEAR(u.velocity, f.velocity, 1e-12);
    }
}

TEST(SurfaceVelocity, DepthLimitAndThinFilms) {
    RoughnessParams p;
    p.K_ST = 10;
    const VelocitySettings s{1e-13, 500, 1.0};
    bool fallback = false;
    // Less water than the iterated depth: the depth is the water depth.
    const DirectionFlow f = RoughnessFlow(0.1, 0.1, 0.001, 10, 0.001, 0.9, p, s, &fallback);
    EXPECT_NEAR(f.velocity, 0.1 * std::pow(0.001, kDepthExponent) * 10, 1e-12);
    EXPECT_NEAR(f.flux, f.velocity * 10 * 0.001, 1e-15);
    // A flow depth below 0.1 mm gives neither velocity nor flux.
    const DirectionFlow g = RoughnessFlow(0.1, 0.1, 1e-9, 10, 1.0, 0.9, p, s, &fallback);
    EXPECT_EQ(g.velocity, 0);
    EXPECT_EQ(g.flux, 0);
    // No downhill slope, no flow.
    EXPECT_EQ(RoughnessFlow(0.1, 0.0, 0.001, 10, 1.0, 0.9, p, s, &fallback).flux, 0);
}
