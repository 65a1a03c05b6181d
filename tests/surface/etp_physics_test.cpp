// The physics of one cell and layer: published reference values (FAO-56 style, in kPa and MJ
// converted to the model's hPa and Wh) and hand-worked values of every method.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "surface/evaporation_physics.hpp"

using namespace evaporation;

namespace {

// Relative difference from a published value must stay within tolerance.
void ExpectNear(double value, double published, double tolerance, const char* what) {
    EXPECT_LE(std::fabs(value - published) / std::fabs(published), tolerance) << what << ": " << value;
}

LayerInput DaylightLayer() {
    LayerInput in;
    in.T = 15;
    in.fraction = 0.5;
    in.daytime = true;
    in.top = true;
    in.lowest = true;
    in.lai = 3;
    in.vcf = 1;
    in.rsc = 70;
    in.rsi = 0;
    in.z0 = 0.1;
    in.rse = 200;
    in.wind = 2;
    in.pressure = 1013;
    in.vapour = 10;
    in.stepMinutes = 1440;
    in.c0 = 0.2;
    in.sunshine = 0.5;
    in.netShortwave = 3000;
    return in;
}

}  // namespace

TEST(EvaporationPhysics, PublishedVapourAndPsychrometricValues) {
    ExpectNear(SaturationVapourPressure(20.0), 23.38, 0.001, "es(20 °C)");
    ExpectNear(VapourPressureSlope(20.0), 1.45, 0.005, "slope(20 °C)");
    EXPECT_NEAR(VapourPressureSlope(20.0), 1.4462, 5e-4);
    const double p = BarometricPressure(1800.0, 20.0);
    EXPECT_NEAR(PsychrometricConstant(p, 20.0), 0.5409, 5e-4);
    ExpectNear(PsychrometricConstant(p, 20.0), 0.54, 0.015, "gamma at 1800 m");
}

TEST(EvaporationPhysics, EmpiricalMethodsMatchHandWorkedValues) {
    EXPECT_NEAR(Hamon(20, 1, 0.5), 2.851955, 1e-5);
    // The published Hamon form: 0.1651 · day length in 12 h units · saturated vapour density.
    const double rhoSat = 216.7 * SaturationVapourPressure(20.0) / (20.0 + 273.3);
    ExpectNear(Hamon(20, 1, 0.5), 0.1651 * 1.0 * rhoSat, 0.001, "Hamon");
    ExpectNear(Hamon(20, 1, 0.5), 2.852, 0.001, "Hamon published");
    EXPECT_NEAR(Wendling(4166.667, 0.23, 1, 15), 2.498841, 1e-5);
    EXPECT_NEAR(Haude(20, true, 0.5, 0, 0.26), 3.031383, 1e-5);
    // Never negative, never above 7 mm.
    EXPECT_EQ(Hamon(-280, 1, 1), 0.0);
    EXPECT_EQ(Wendling(0, 0.2, 1, -25), 0.0);
    EXPECT_EQ(Haude(45, true, 0.0, 0, 0.5), 7.0);
    // A humidity above 1 (a percentage or an overshoot) means saturated air, as a vapour pressure
    // above saturation does: no negative Haude value.
    EXPECT_EQ(Haude(20, true, 52.0, 0, 0.26), 0.0);
    EXPECT_EQ(Haude(20, true, 1.2, 0, 0.26), 0.0);
    EXPECT_EQ(Haude(20, false, 0, 40.0, 0.26), 0.0);
    EXPECT_EQ(Haude(20, true, -0.5, 0, 0.26), Haude(20, true, 0.0, 0, 0.26));
    // Below freezing Haude uses the ice branch.
    EXPECT_NEAR(Haude(-5, false, 0, 0, 0.1), 0.1 * 6.11 * std::exp(22.46 * -5 / (-5 + 272.46)), 1e-12);
}

TEST(EvaporationPhysics, ResistancesAndCloudiness) {
    struct Case {
        double z0, u, ra;
    } cases[] = {{0.1, 2, 63.7022}, {2.0, 0, 25.025}, {3.0, 0, 25.0}};
    for (const Case& k : cases) EXPECT_NEAR(AerodynamicResistance(k.z0, k.u), k.ra, 1e-4) << k.z0;
    EXPECT_NEAR(SurfaceResistance(3, 1, 70, true), 89.2857, 1e-4);
    EXPECT_NEAR(SurfaceResistance(3, 1, 70, false), 833.333, 1e-3);
    EXPECT_EQ(SurfaceResistance(0, 1, 70, true), 2500.0);
    EXPECT_EQ(SurfaceResistance(3, 1, 0, true), 0.0);
    EXPECT_EQ(SurfaceResistance(0, 0, 0, false), 0.0);
    EXPECT_NEAR(Cloudiness(1.0), 0.0384, 1e-12);
    EXPECT_NEAR(Cloudiness(0.5), 0.869175, 1e-12);
    EXPECT_EQ(Cloudiness(1.01), 0.0);
    EXPECT_EQ(Cloudiness(0.0), 0.997);
}

TEST(EvaporationPhysics, RootsOfTheSunshineCubic) {
    double x1 = 9, x2 = 9;
    EXPECT_EQ(QuadraticRoots(-3, 2, &x1, &x2), 2);
    EXPECT_EQ(x1, 1.0);
    EXPECT_EQ(x2, 2.0);
    EXPECT_EQ(QuadraticRoots(-2, 1, &x1, &x2), 1);
    EXPECT_EQ(x1, 1.0);
    EXPECT_EQ(QuadraticRoots(0, 1, &x1, &x2), 0);
    EXPECT_EQ(x1 + x2, 0.0);

    struct Case {
        double cs[4];
        SunshineRootStatus status;
        double x0;
    } cases[] = {
        {{0.072, -0.808, 1.749, -0.239}, SunshineRootStatus::found, 0.2431029},
        {{-0.2, 1, 0, 0}, SunshineRootStatus::found, 0.2},
        {{0.5, 1, 0, 0}, SunshineRootStatus::noRoot, 0},
        {{0.5, 0, 0, 0}, SunshineRootStatus::notRelated, 0},
        {{-0.25, 0, 1, 0}, SunshineRootStatus::found, 0.5},
        // The larger root beyond 1: the smaller one (quadratic 1.5 (x - 0.2)(x - 1.4); cubic
        // with its stationary points at 0.3 and 1.5).
        {{0.42, -2.4, 1.5, 0}, SunshineRootStatus::found, 0.2},
        {{0, 1.35, -2.7, 1}, SunshineRootStatus::found, 0.3},
        // A cubic whose two stationary points meet at 0.5.
        {{0, 0.75, -1.5, 1}, SunshineRootStatus::found, 0.5},
    };
    for (const Case& k : cases) {
        double x0 = -1;
        EXPECT_EQ(SunshineRoot(k.cs, &x0), k.status) << k.cs[0];
        if (k.status == SunshineRootStatus::found) {
            EXPECT_NEAR(x0, k.x0, 1e-7) << k.cs[0];
        }
    }
    const double cs[4] = {0.072, -0.808, 1.749, -0.239};
    EXPECT_EQ(SunshineFromRadiation(cs, 0.2431029, 0.2), 0.0);
    EXPECT_NEAR(SunshineFromRadiation(cs, 0.2431029, 1.0), 0.774, 1e-12);
}

TEST(EvaporationPhysics, TopLayerEnergyByDayAndNight) {
    LayerInput in = DaylightLayer();
    LayerRunning running;
    // Net long-wave loss of half a day: 772.425 Wh/m².
    const double lambda = LatentHeat(15);
    const double rnl = (0.48 - 0.065 * std::sqrt(10.0)) * (0.2 + 0.8 * 0.5) * 5.67e-8 * 24 * 0.5 * std::pow(288.15, 4);
    EXPECT_NEAR(rnl, 772.425, 1e-3);
    EXPECT_NEAR(0.9 * (3000 - rnl) / lambda, 2.927653, 1e-6);
    // Without leaf area the layer takes nothing and leaves the whole energy for the soil.
    in.lai = 0;
    in.rsc = 0;
    PenmanMonteithLayer(in, running);
    EXPECT_NEAR(running.remainderDay, 2.927653, 1e-6);
    in.daytime = false;
    PenmanMonteithLayer(in, running);
    EXPECT_EQ(running.remainderNight, 0.0);  // E0 = -1.127979: nothing left by night
    // A leafy top layer by night takes a negative share of the negative energy.
    in.lai = 3;
    in.rsc = 70;
    running = LayerRunning{};
    const LayerResult night = PenmanMonteithLayer(in, running);
    const double q = (1 - std::exp(-0.3 * 3)) * -1.127979;
    const double ratio = VapourPressureSlope(15) / PsychrometricConstant(1013, 15);
    const double ea = 0.5 * 1440 * 60 * 0.216876 * (SaturationVapourPressure(15) - 10) / (288.15 * 63.7022);
    EXPECT_NEAR(night.transpiration, (ratio * q + ea) / (ratio + 1 + 833.333 / 63.7022), 1e-5);
    EXPECT_NEAR(running.raTop, 63.7022, 1e-4);
}

TEST(EvaporationPhysics, PublishedHourlyReferenceEvaporation) {
    // An hour of a hot day: 38 °C, 52 % humidity, 3.3 m/s, net radiation less soil heat 437.2
    // Wh/m², 1012 hPa; published 0.63 mm.
    LayerInput in;
    in.T = 38;
    in.fraction = 1;
    in.daytime = true;
    in.top = in.lowest = true;
    in.lai = 20;
    in.vcf = 1;
    in.rsc = 70;
    in.z0 = 0.04508;
    in.wind = 3.3;
    in.pressure = 1012;
    in.vapour = 0.52 * SaturationVapourPressure(38);
    in.stepMinutes = 60;
    in.netRadiationGiven = true;
    in.netRadiation = 437.2;
    LayerRunning running;
    const LayerResult out = PenmanMonteithLayer(in, running);
    EXPECT_NEAR(out.transpiration, 0.6365, 5e-4);
    ExpectNear(out.transpiration, 0.63, 0.05, "hourly reference");
}

TEST(EvaporationPhysics, NetRadiationIsSharedBetweenNightAndDay) {
    // A daily step split into night and day: each part takes its fraction of the net radiation,
    // so the two parts together see it once.
    LayerInput in = DaylightLayer();
    in.netRadiationGiven = true;
    in.netRadiation = 2000;
    in.lai = 0;
    in.rsc = 0;
    LayerRunning running;
    PenmanMonteithLayer(in, running);
    in.daytime = false;
    PenmanMonteithLayer(in, running);
    EXPECT_NEAR(running.remainderDay + running.remainderNight, 2000 / LatentHeat(15), 1e-12);
    // A step wholly by day takes all of it.
    in.daytime = true;
    in.fraction = 1;
    PenmanMonteithLayer(in, running);
    EXPECT_NEAR(running.remainderDay, 2000 / LatentHeat(15), 1e-12);
}

TEST(EvaporationPhysics, EnergyIsConservedDownTheLayers) {
    // Each layer takes (1 - exp(-k·LAI))·VCF of what reaches it; the shares and the rest add up
    // to the top layer's energy.
    LayerInput in = DaylightLayer();
    LayerRunning running;
    const double e0 = 0.9 * (3000 - 772.425) / LatentHeat(15);
    const double lais[] = {2.0, 0.0, 1.5};
    double taken = 0, above = 0;
    for (int i = 0; i < 3; ++i) {
        in.top = i == 0;
        in.lowest = i == 2;
        in.lai = lais[i];
        in.vcf = 0.8;
        in.laiAbove = above;
        const double before = in.top ? e0 : running.remainderDay;
        PenmanMonteithLayer(in, running);
        taken += before - running.remainderDay;
        if (i == 1) {
            EXPECT_EQ(running.remainderDay, before);  // no leaves, no share
        }
        above += lais[i];
    }
    EXPECT_NEAR(taken + running.remainderDay, e0, 1e-4);
    // Lower layers: ra = ra(top) + LAI_scale · L.
    in.top = false;
    in.laiAbove = 3;
    in.lai = 0;
    in.vcf = 0;
    in.rsc = 0;
    in.rse = 0;
    running.remainderDay = 0;
    const LayerResult r = PenmanMonteithLayer(in, running);
    const double ratio = VapourPressureSlope(15) / PsychrometricConstant(1013, 15);
    const double ea = 0.5 * 1440 * 60 * 0.216876 * (SaturationVapourPressure(15) - 10) / (288.15 * (63.7022 + 30));
    EXPECT_NEAR(r.transpiration, ea / (ratio + 1), 1e-5);
}

TEST(EvaporationPhysics, OpenWaterTakesAllEnergyWithoutInterceptionOrSoil) {
    LayerInput in = DaylightLayer();
    in.openWater = true;
    in.lai = in.vcf = in.rsc = 0;
    in.rsi = 100;
    LayerRunning running;
    const LayerResult out = PenmanMonteithLayer(in, running);
    const double e0 = 0.9 * (3000 - 772.425) / LatentHeat(15);
    const double ratio = VapourPressureSlope(15) / PsychrometricConstant(1013, 15);
    const double ea = 0.5 * 1440 * 60 * 0.216876 * (SaturationVapourPressure(15) - 10) / (288.15 * 63.7022);
    EXPECT_NEAR(out.transpiration, (ratio * e0 + ea) / (ratio + 1), 1e-4);
    EXPECT_EQ(out.interception, 0.0);
    EXPECT_EQ(out.soil, 0.0);
}

TEST(EvaporationPhysics, SnowTakesTheDemandInOrder) {
    // 2 mm of snow against 1.5 and 1.0 mm of transpiration and 0.5 mm of soil evaporation.
    double snow = 2, taken = 0;
    double demands[] = {1.5, 1.0, 0.5};
    for (double& d : demands) TakeFromSnow(d, snow, taken);
    EXPECT_EQ(taken, 2.0);
    EXPECT_EQ(snow, 0.0);
    EXPECT_EQ(demands[0], 0.0);
    EXPECT_EQ(demands[1], 0.5);
    EXPECT_EQ(demands[2], 0.5);
}

TEST(EvaporationPhysics, ClearSkySumSkipsSunBelowTheHorizon) {
    const std::vector<double> sines = {0.5, -0.001, 0.0};
    EXPECT_NEAR(ClearSkyRadiation(sines, 1.0, 1.0, 1013), 1367 * 0.5, 1e-9);
    EXPECT_NEAR(ClearSkyRadiation(std::vector<double>{0.5}, 1.0, 0.7, 1013), 1367 * 0.5 * 0.49, 1e-9);
}
