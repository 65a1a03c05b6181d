// Cell physics of the snow pack: split, melt formulas, refreezing, seasonal factors, energy
// balance and the water balance of one pass for every method.
#include <gtest/gtest.h>

#include <cmath>

#include "surface/snow_physics.hpp"

namespace {

using snow::CellInput;
using snow::CellState;
using snow::SnowParameters;

SnowParameters Params(int method, double timeStep = 60) {
    SnowParameters p;
    p.method = method;
    p.transzone = 1;
    p.T0R = 0;
    p.T0 = 0;
    p.C0 = 3;
    p.C1 = 2;
    p.C2 = 0.5;
    p.CRFR = 2;
    p.timeStep = timeStep;
    p.stepsPerDay = 1440.0 / timeStep;
    return p;
}

CellInput Air(double T, double P = 0) {
    CellInput in;
    in.T = T;
    in.P = P;
    in.wind = 2;
    in.humidity = 0.7;
    in.cloudiness = 0.5;
    in.radiation = 150;
    in.albedo = 0.7;
    in.elevation = 1500;
    in.rmf = 2;
    in.vapourPressure = 6;
    in.depositionIndex = 0.3;
    return in;
}

TEST(SnowPart, FallsLinearlyThroughTheBand) {
    struct Case {
        double T, T0R, tz, part;
    } cases[] = {{1, 0, 1, 0}, {0.5, 0, 1, 0.25}, {-1, 0, 1, 1}, {0, 0, 1, 0.5}, {2, 0, 1, 0},
                 {0, 0, 0, 1}, {0.01, 0, 0, 0}, {-0.01, 0, 0, 1}};
    for (const Case& c : cases) {
        const double part = snow::SnowPart(c.T, c.T0R, c.tz);
        EXPECT_FALSE(std::isnan(part));
        EXPECT_NEAR(part, c.part, 1e-12) << "T " << c.T << " tz " << c.tz;
    }
}

TEST(SnowCellStep, LakeCellsGetRainOnly) {
    CellInput in = Air(-20, 10);
    in.lake = true;
    CellState st;
    const auto r = snow::SnowCellStep(Params(1), in, st);
    EXPECT_EQ(r.snowPart, 0.0);
    EXPECT_NEAR(st.L, 10, 1e-12);
    EXPECT_EQ(st.S, 0.0);
}

TEST(SnowCellStep, DegreeDayMelt) {
    CellState st;
    st.S = 100;
    EXPECT_NEAR(snow::SnowCellStep(Params(1), Air(5), st).melt, 0.625, 1e-9);
    // A daily step in a night and a day pass of the same temperature melts C0 * (T - T0).
    CellState daily;
    daily.S = 100;
    const SnowParameters p = Params(1, 1440);
    CellInput in = Air(5);
    in.weight = 0.37;
    double melt = snow::SnowCellStep(p, in, daily).melt;
    in.weight = 0.63;
    melt += snow::SnowCellStep(p, in, daily).melt;
    EXPECT_NEAR(melt, 15, 1e-9);
}

TEST(SnowCellStep, WindDegreeDayMelt) {
    CellState st;
    st.S = 100;
    // (C1 + C2 u)(T - T0)/spd = (2 + 1) * 4 / 24
    EXPECT_NEAR(snow::SnowCellStep(Params(2), Air(4), st).melt, 0.5, 1e-12);
}

TEST(SnowCellStep, CombinationSwitchesToRainOnSnow) {
    SnowParameters p = Params(3);
    p.T0 = 1;
    const double threshold = 2.4 / 24;
    CellState below;
    below.S = 100;
    // Just below the threshold: radiation-free degree-day with the seasonal factor.
    CellInput in = Air(4, threshold);
    in.T = 4;
    in.lake = true;  // all input as rain, so the split does not matter
    EXPECT_NEAR(snow::SnowCellStep(p, in, below).melt, 3 * 2 / 24.0, 1e-12);
    // Just above: the air temperature itself enters the formula even though T0 is 1.
    CellState above;
    above.S = 100;
    in.P = threshold * 1.0001;
    const double Cw = 2 + 0.5 * 2;
    const double e = snow::SaturationVapourPressureIce(4);
    const double expected = 0.6 * 4 / 24 + Cw * 4 / 24 + (e - 6.11) * Cw / (0.662 * 24) + 0.006 * in.P * 4;
    EXPECT_NEAR(snow::SnowCellStep(p, in, above).melt, expected, 1e-12);
    // Method 4 takes the vapour pressure of the grid.
    p.method = 4;
    CellState m4;
    m4.S = 100;
    const double expected4 = 0.6 * 4 / 24 + Cw * 4 / 24 + (6 - 6.11) * Cw / (0.662 * 24) + 0.006 * in.P * 4;
    EXPECT_NEAR(snow::SnowCellStep(p, in, m4).melt, expected4, 1e-12);
}

TEST(SnowCellStep, RefreezingIsLimitedByTheLiquidWater) {
    CellState st;
    st.S = 10;
    st.L = 3;
    snow::SnowCellStep(Params(3), Air(-5), st);
    EXPECT_NEAR(st.L, 3 - 0.833333, 1e-6);
    EXPECT_NEAR(st.S, 10 + 0.833333, 1e-6);
    CellState little;
    little.S = 10;
    little.L = 0.5;
    snow::SnowCellStep(Params(4), Air(-5), little);
    EXPECT_EQ(little.L, 0.0);
    EXPECT_NEAR(little.S, 10.5, 1e-12);
    // Degree-day methods leave the liquid water alone.
    CellState dd;
    dd.S = 10;
    dd.L = 3;
    snow::SnowCellStep(Params(1), Air(-5), dd);
    EXPECT_EQ(dd.L, 3.0);
}

TEST(SeasonalFactors, MeanOnDay80AndExtremes) {
    EXPECT_EQ(snow::DayOfYear(21, 3), 80);
    EXPECT_EQ(snow::DayOfYear(20, 6), 171);
    EXPECT_EQ(snow::DayOfYear(20, 12), 354);
    EXPECT_NEAR(snow::SeasonalFactor(1, 3, 80), 2.0, 1e-9);
    EXPECT_NEAR(snow::SeasonalFactor(1, 3, 171), 2.999991, 1e-6);
    EXPECT_NEAR(snow::SeasonalFactor(1, 3, 354), 1.000009, 1e-6);
    EXPECT_NEAR(snow::SaturationVapourPressureIce(-10), 2.594623, 1e-6);
}

TEST(EnergyBalance, OutgoingLongWaveAtMelting) {
    snow::EnergyBalance eb;
    EXPECT_NEAR(eb.OutgoingLongWave(273.16), -315.68, 0.005);
    eb.fu = 1;
    eb.ea = 6.1071;
    EXPECT_NEAR(eb.LatentHeat(273.16), 0.0, 1e-12);
}

TEST(EnergyBalance, WetBulbOfDryAirIsFinite) {
    const double dry = snow::WetBulbTemperature(5, 0, 1000);
    EXPECT_TRUE(std::isfinite(dry));
    EXPECT_LT(dry, 5);
    // Dry air (and a negative humidity) takes the floor of the vapour pressure, 1e-6 hPa.
    EXPECT_EQ(dry, snow::WetBulbTemperature(5, 1e-6, 1000));
    EXPECT_EQ(snow::WetBulbTemperature(5, -3, 1000), dry);
    EXPECT_NE(snow::WetBulbTemperature(5, 1e-3, 1000), dry);
    // Saturated air: the wet-bulb temperature stays near the air temperature.
    EXPECT_NEAR(snow::WetBulbTemperature(5, 8.72, 0), 5, 0.5);
}

TEST(EnergyBalance, DryAirLosesNoHeatInTheWarmCase) {
    // A pack above melting in dry, warm air still gives its heat to melt or sublimation.
    CellInput in = Air(8);
    in.humidity = 0;
    in.radiation = 600;
    in.albedo = 0.3;
    CellState st;
    st.S = 50;
    st.Tp = 273.16;
    st.Ts = 273.16;
    const double before = st.S + st.L;
    const auto r = snow::SnowCellStep(Params(5), in, st);
    EXPECT_TRUE(std::isfinite(st.Tp));
    EXPECT_TRUE(r.melt > 0 || st.E > 0);
    EXPECT_LE(st.S + st.L, before + 1e-12);
}

TEST(EnergyBalance, ColdSearchStopsAt151Evaluations) {
    // An absurd radiation load cannot be balanced within 151 steps of 10 K.
    CellInput in = Air(-5);
    in.radiation = 1e15;
    in.albedo = 0;
    CellState st;
    st.S = 50;
    const auto r = snow::SnowCellStep(Params(5), in, st);
    EXPECT_EQ(r.evaluations, 151);
    // With liquid water the start temperature stays: one evaluation.
    CellState wet;
    wet.S = 50;
    wet.L = 2;
    const auto w = snow::SnowCellStep(Params(5), Air(-5), wet);
    EXPECT_EQ(w.evaluations, 1);
    // An ordinary cold night converges well before.
    CellState ordinary;
    ordinary.S = 50;
    EXPECT_LT(snow::SnowCellStep(Params(5), Air(-5), ordinary).evaluations, 151);
    EXPECT_LE(ordinary.Ts, 273.16);
    EXPECT_GE(ordinary.Ts, 268.16 - 13);
}

TEST(EnergyBalance, APrescribedSurfaceTemperatureInCelsiusOrKelvinTakesOneStep) {
    // A cold pack under a prescribed surface temperature of -5 degrees C, given in degrees C or
    // in K: both give the same state, and the search for the balancing temperature takes one
    // step of 10 K from it, with no bounds applied afterwards.
    CellState states[2];
    int evaluations[2] = {};
    const double given[2] = {-5.0, 268.16};
    for (int i = 0; i < 2; ++i) {
        CellInput in = Air(-8);
        in.hasSurfaceTemperature = true;
        in.surfaceTemperature = given[i];
        states[i].S = 50;
        states[i].Ts = 270;
        states[i].Tp = 270;
        evaluations[i] = snow::SnowCellStep(Params(5), in, states[i]).evaluations;
    }
    EXPECT_EQ(evaluations[0], 1);
    EXPECT_EQ(evaluations[1], 1);
    EXPECT_NEAR(std::fabs(states[0].Ts - 268.16), 10.0, 1e-9) << states[0].Ts;
    EXPECT_EQ(states[0].Ts, states[1].Ts);
    EXPECT_EQ(states[0].Tp, states[1].Tp);
    EXPECT_EQ(states[0].S, states[1].S);
    EXPECT_EQ(states[0].E, states[1].E);
}

TEST(EnergyBalance, EmptyStoragesGiveNodataTemperatures) {
    const SnowParameters p = Params(5);
    for (double T : {-5.0, 5.0}) {
        CellState st;
        st.Tp = 270;
        st.Ts = 268;
        snow::SnowCellStep(p, Air(T), st);
        EXPECT_EQ(st.Tp, p.nodata) << T;
        EXPECT_EQ(st.Ts, p.nodata) << T;
    }
}

TEST(SnowCellStep, DepositionRaisesInputAndSnow) {
    CellState st;
    const auto r = snow::SnowCellStep(Params(10), Air(-5, 10), st);
    EXPECT_NEAR(r.P, 13, 1e-12);
    EXPECT_NEAR(r.snow, 13, 1e-12);
    EXPECT_NEAR(st.S, 13, 1e-12);
}

// Water balance of one pass: weighted input = change of the storages + sublimation; the melt
// is moved by the caller and does not leave the storages here. Storages never go negative.
TEST(SnowCellStep, EveryMethodKeepsTheWaterBalanceOfAPass) {
    const double temperatures[] = {-15, -3, -0.5, 0.4, 3, 12};
    const double inputs[] = {0, 0.05, 4};
    const double weights[] = {1, 0.3};
    struct Start {
        double S, L;
    } starts[] = {{0, 0}, {0.01, 0}, {40, 0}, {40, 3}, {0, 2}};
    for (int method = 1; method <= 14; ++method) {
        const SnowParameters p = Params(method);
        for (double T : temperatures)
            for (double P : inputs)
                for (double w : weights)
                    for (const Start& s : starts) {
                        CellInput in = Air(T, P);
                        in.weight = w;
                        CellState st;
                        st.S = s.S;
                        st.L = s.L;
                        st.E = 0;
                        const auto r = snow::SnowCellStep(p, in, st);
                        const double change = st.S + st.L - s.S - s.L;
                        EXPECT_NEAR(w * r.P, change + st.E, 1e-9)
                            << "method " << method << " T " << T << " P " << P << " S " << s.S << " L " << s.L;
                        EXPECT_GE(st.S, 0.0);
                        EXPECT_GE(st.L, 0.0);
                        EXPECT_GE(r.melt, 0.0);
                        EXPECT_TRUE(std::isfinite(st.Tp) && std::isfinite(st.Ts));
                    }
    }
}

}  // namespace
