// Cell physics of silting-up: the grain-size value K, the rain energy law, the time since
// tillage, the capacity law and the split of the water, and a hand-worked run of six hourly
// steps in two subbasins with different minimum rain pauses.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "lateral/siltingup_physics.hpp"

namespace {

using namespace silting;

TEST(SiltingPhysics, GrainSizeValueIsTheGeometricMeanOfTheFractions) {
    // K of one pure fraction is 10^(c/2); a mixture multiplies the K of each fraction raised to
    // its share.
    const double c[7] = {5.100385157531412, 2.1003620619491743, -1.0969100130080562, 7.100370545117563,
                         8.100370545117563, 9.100370545117563, 10.100370545117563};
    for (int i = 0; i < 7; ++i) {
        double f[7] = {0, 0, 0, 0, 0, 0, 0};
        f[i] = 1;
        const double K = GrainSizeK({f[0], f[1], f[2], f[3], f[4], f[5], f[6]});
        EXPECT_NEAR(K, std::pow(10.0, c[i] / 2), 1e-12 * K) << "fraction " << i;
    }
    const double mix = GrainSizeK({0.4, 0.4, 0.2, 0, 0, 0, 0});
    const double expected = std::pow(std::pow(10.0, c[0] / 2), 0.4) * std::pow(std::pow(10.0, c[1] / 2), 0.4) *
                            std::pow(std::pow(10.0, c[2] / 2), 0.2);
    EXPECT_NEAR(mix, expected, 1e-12 * expected);
    EXPECT_NEAR(mix, 21.40, 0.01);
}

TEST(SiltingPhysics, RainEnergyPerMm) {
    struct Case {
        double P, W;
    } cases[] = {{10, 20.62}, {1, 11.89}, {76.2, 28.33}, {200, 28.33}, {0.05, 0}, {0.01, 0}, {0, 0}, {-3, 0},
                 {100 / 3.0, 11.89 + 8.73 * std::log10(100 / 3.0)}};
    for (const Case& k : cases) EXPECT_NEAR(RainEnergyPerMm(k.P), k.W, 1e-12) << "P " << k.P;
    // The law is continuous at the upper limit within the rounding of its constants.
    EXPECT_NEAR(RainEnergyPerMm(76.19999), 28.33, 0.02);
}

TEST(SiltingPhysics, RainPauseGrowsOnlyOnDrySteps) {
    EXPECT_DOUBLE_EQ(NextRainPause(0.25, 0.05, 60), 0.25 + 60 / 1440.0);
    EXPECT_DOUBLE_EQ(NextRainPause(0.25, 0.0, 1440), 1.25);
    EXPECT_DOUBLE_EQ(NextRainPause(3.0, 0.051, 60), 0.0);
    EXPECT_DOUBLE_EQ(RainIntensity(2.5, 30), 5.0);
}

TEST(SiltingPhysics, TimeSinceTillage) {
    // Tillage on days 100 and 250: element 0 is 250 - 366.
    const std::int32_t two[] = {-116, 100, 250};
    const std::int32_t three[] = {-66, 50, 120, 300};
    const std::int32_t none[] = {-9999};
    struct Case {
        int jd;
        std::int32_t count;
        const std::int32_t* days;
        double previous, expected;
    } cases[] = {
        {100, 2, two, 7, 0.3},        // tillage day
        {101, 2, two, 7, 1},          //
        {250, 2, two, 7, 0.3},        // the last tillage day
        {300, 2, two, 7, 50},         // after the last one
        {30, 2, two, 7, 146},         // before the first: since last year's last tillage
        {99, 2, two, 7, 215},         //
        {200, 2, two, 7, 100},        // between the two
        {130, 3, three, 7, 10},       // between the second and the third
        {119, 3, three, 7, 69},       //
        {10, 0, none, 7, 0},          // no tillage
        {10, 1, nullptr, 7, 0},       // no list
    };
    for (const Case& k : cases)
        EXPECT_DOUBLE_EQ(TimeSinceTillage(k.jd, k.count, k.days, k.previous), k.expected) << "day " << k.jd;
    // A list without days after element 0 gives no reference before it: the value stays.
    const std::int32_t bare[] = {200};
    EXPECT_DOUBLE_EQ(TimeSinceTillage(150, 0, bare, 7.5), 7.5);
    EXPECT_DOUBLE_EQ(TimeSinceTillage(220, 0, bare, 7.5), 20);
}

TEST(SiltingPhysics, CapacityWithoutEnergyIsTheInitialRate) {
    const BuiltInParameters p;
    const double K = GrainSizeK({0.4, 0.4, 0.2, 0, 0, 0, 0});
    const double Iinf = FinalInfiltrationRate(p, K, 0.4);
    EXPECT_NEAR(Iinf, 12.2 * std::pow(K, 0.52) * std::pow(40.0, -0.64), 1e-12);
    EXPECT_DOUBLE_EQ(InfiltrationCapacity(Disposition(p, K, 0.4, 5), 0, p.A, Iinf, 60), 65.0);
    EXPECT_DOUBLE_EQ(InfiltrationCapacity(0.2, 0, p.A, Iinf, 30), 32.5);
    // Much energy leaves the final rate.
    EXPECT_NEAR(InfiltrationCapacity(1, 1e6, p.A, Iinf, 60), Iinf, 1e-12);
    EXPECT_EQ(InfiltrationCapacity(1, 5, p.A, std::numeric_limits<double>::infinity(), 60),
              std::numeric_limits<double>::infinity());
    EXPECT_DOUBLE_EQ(Disposition(p, K, 0.4, 0), 0.0);
    EXPECT_DOUBLE_EQ(Disposition(p, K, 0.4, -1), 0.0);
    const double d2 = 0.013 * std::pow(40.0, -1.03) * std::pow(K, 0.7) * std::pow(2.0, -0.19);
    EXPECT_NEAR(Disposition(p, K, 0.4, 2), d2, 1e-15);
    // The same from the factors prepared once per soil.
    const SoilLaws laws = PrepareSoilLaws(p, K, 0.4);
    EXPECT_NEAR(Disposition(laws, p.H, 2), d2, 1e-15);
    EXPECT_EQ(Disposition(laws, p.H, 0), 0.0);
    EXPECT_DOUBLE_EQ(laws.finalRate, Iinf);
}

TEST(SiltingPhysics, SplitKeepsTheWaterAndBoundsTheRunoff) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double input, store, capacity;
        bool tilled;
        double runoff;
    } cases[] = {{10, 0, 4, true, 6},  {10, 2, 4, true, 8},   {3, 0, 4, true, 0},      {10, 2, 4, false, 0},
                 {10, 0, -5, true, 10}, {10, 0, nan, true, 10}, {0, 0, 4, true, 0},     {10, 0, 1e300, true, 0},
                 {1e-9, 0, 0, true, 1e-9}};
    for (const Case& k : cases) {
        const WaterSplit s = SplitWater(k.input, k.store, k.capacity, k.tilled);
        EXPECT_DOUBLE_EQ(s.runoff, k.runoff) << k.input << " " << k.store << " " << k.capacity;
        EXPECT_DOUBLE_EQ(s.water, k.input + k.store);
        EXPECT_NEAR(s.infiltration + s.runoff, k.input + k.store, 1e-12 * (k.input + k.store));
        EXPECT_GE(s.runoff, 0.0);
        EXPECT_LE(s.runoff, s.water);
    }
}

// Six hourly steps of 60, 1, 0, 0, 0 and 60 mm on soil tilled 5 days ago with a cover of 0.3, in
// a subbasin with a minimum rain pause of 0.1 days and in one with 0: the energies by hand,
// e = P W (1 - 0.3) with W(60) = 11.89 + 8.73 log10(60) and W(1) = 11.89.
TEST(SiltingPhysics, HandWorkedStepsInTwoSubbasins) {
    const BuiltInParameters p;
    const double inputs[6] = {60, 1, 0, 0, 0, 60};
    const double e10 = 60 * (11.89 + 8.73 * std::log10(60.0)) * 0.7, e1 = 1 * 11.89 * 0.7;
    // The pause reaches 3/24 > 0.1 days only in the fifth step: the energy restarts there.
    const double energyA[6] = {e10, e10 + e1, e10 + e1, e10 + e1, 0, e10};
    const double energyB[6] = {e10, e1, 0, 0, 0, e10};
    const double pause[6] = {0, 0, 1 / 24.0, 2 / 24.0, 3 / 24.0, 0};
    const double K = std::pow(10.0, 0.5 * (5.100385157531412 * 0.4 + 2.1003620619491743 * 0.4 -
                                            1.0969100130080562 * 0.2));
    const double Iinf = 12.2 * std::pow(K, 0.52) * std::pow(40.0, -0.64);
    const double disp = 0.013 * std::pow(40.0, -1.03) * std::pow(K, 0.7) * std::pow(5.0, -0.19);
    for (int sub = 0; sub < 2; ++sub) {
        CellState st;
        double store = 0;
        for (int s = 0; s < 6; ++s) {
            CellInput in;
            in.input = inputs[s];
            in.store = store;
            in.K = GrainSizeK({0.4, 0.4, 0.2, 0, 0, 0, 0});
            in.sand = 0.4;
            in.cover = 0.3;
            in.timeSinceTillage = 5;
            in.tilled = true;
            in.minPause = sub == 0 ? 0.1 : 0.0;
            in.dtMinutes = 60;
            const WaterSplit w = BuiltInCellStep(p, in, st);
            const double E = sub == 0 ? energyA[s] : energyB[s];
            EXPECT_NEAR(st.rainPause, pause[s], 1e-15) << "step " << s;
            EXPECT_NEAR(st.energy, E, 1e-9) << "subbasin " << sub << " step " << s;
            EXPECT_NEAR(st.disposition, disp, 1e-15);
            const double V = std::exp(-disp * E) * (65 - Iinf) + Iinf;
            EXPECT_NEAR(w.runoff, std::max(0.0, inputs[s] - V), 1e-9) << "subbasin " << sub << " step " << s;
            EXPECT_NEAR(w.infiltration + w.runoff, inputs[s], 1e-12);
            if (s == 0) {
                EXPECT_GT(w.runoff, 40.0);
            }
            store = 0;  // no surface routing: the store is emptied every step
        }
    }
}

TEST(SiltingPhysics, UntilledSoilGathersNoEnergy) {
    CellState st;
    st.energy = 40;
    CellInput in;
    in.input = 80;
    in.K = 20;
    in.sand = 0.4;
    in.timeSinceTillage = 0;
    in.tilled = false;
    const WaterSplit w = BuiltInCellStep(BuiltInParameters{}, in, st);
    EXPECT_EQ(st.energy, 0.0);
    EXPECT_EQ(st.disposition, 0.0);
    EXPECT_EQ(w.runoff, 0.0);
    EXPECT_EQ(w.infiltration, 80.0);
}

}  // namespace
