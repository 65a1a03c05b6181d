// Pre-spin-up on the test domain: degree days from daily means, the accumulators' lifetime and
// the starting temperatures it leaves.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "unsatzon_fixture.hpp"

using namespace soil_test;

namespace {
std::string Hourly(std::string t) {
    t.replace(t.find("1440 time step"), 14, "60 time step");
    return t;
}
}  // namespace

TEST_F(SoilModelTest, PreSpinUpCountsWholeDaysOnly) {
    Matrix& air = AddGrid("temperature", 0.0);
    ASSERT_EQ(Build(Hourly(SoilSection{}.Text()) + HeatSection()), 0u) << console_.str();
    // Day 1: mean -1; day 2: mean +4; day 3 cut after 12 hours (left out).
    for (int h = 0; h < 60; ++h) {
        const int day = h / 24;
        const double value = day == 0 ? (h % 2 == 0 ? 0.0 : -2.0) : day == 1 ? 4.0 : 30.0;
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c)
                if (air[r][c] != -9999.0) air[r][c] = value;
        model_->PreSpinUpDegreeDays(h % 24, 1 + day, 1, 2020);
    }
    ASSERT_GT(FindGridIndex("FreezingDegreeDays"), 0);
    ASSERT_GT(FindGridIndex("DailyTemperature"), 0);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            if (!Own(r, c)) continue;
            EXPECT_DOUBLE_EQ(Value("FreezingDegreeDays", r, c), 1.0);
            EXPECT_DOUBLE_EQ(Value("thawingDegreeDays", r, c), 4.0);
            EXPECT_DOUBLE_EQ(Value("AnnualTemperature", r, c), 24 * -1.0 + 24 * 4.0 + 12 * 30.0);
        }
    model_->PreSpinUpInitTemperatures();
    // The accumulators are gone; no permafrost: the top layer takes the mean of all steps,
    // deeper layers warm by the geothermal flux.
    EXPECT_EQ(FindGridIndex("FreezingDegreeDays"), 0);
    EXPECT_EQ(FindGridIndex("AnnualTemperature"), 0);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            if (!Own(r, c)) continue;
            EXPECT_DOUBLE_EQ(model_->own.soilTemperature[r][c][1], (24 * -1.0 + 24 * 4.0 + 12 * 30.0) / 60.0);
            for (int k = 2; k <= 10; ++k)
                EXPECT_GT(model_->own.soilTemperature[r][c][k], model_->own.soilTemperature[r][c][k - 1]);
        }
}

TEST_F(SoilModelTest, PreSpinUpNeedsHeatTransfer) {
    ASSERT_EQ(Build(Hourly(SoilSection{}.Text())), 0u);
    EXPECT_EQ(submodel_test::CodeOf([&] { model_->PreSpinUpDegreeDays(0, 1, 1, 2020); }), 1040);
    EXPECT_TRUE(Logged("heat transfer model not active in unsatzon_model. This is required for pre-SpinUp!"));
}

TEST_F(SoilModelTest, PreSpinUpWithoutStepsKeepsTheTemperatures) {
    AddGrid("temperature", 0.0);
    ASSERT_EQ(Build(Hourly(SoilSection{}.Text()) + HeatSection()), 0u);
    model_->PreSpinUpInitTemperatures();
    EXPECT_EQ(FindGridIndex("FreezingDegreeDays"), 0);
}

TEST_F(SoilModelTest, PreSpinUpWithDailyStepsWritesItsGridsAndTheFirstStepKeepsItsProfile) {
    Matrix& air = AddGrid("temperature", 0.0);
    ASSERT_EQ(Build(SoilSection{}.Text() + HeatSection()), 0u) << console_.str();
    // Daily data stamped hour 24: day 1 at -3 degrees, day 2 at +5.
    for (int day = 1; day <= 2; ++day) {
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c)
                if (air[r][c] != -9999.0) air[r][c] = day == 1 ? -3.0 : 5.0;
        model_->PreSpinUpDegreeDays(24, day, 1, 2020);
    }
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            if (!Own(r, c)) continue;
            EXPECT_DOUBLE_EQ(Value("FreezingDegreeDays", r, c), 3.0);
            EXPECT_DOUBLE_EQ(Value("thawingDegreeDays", r, c), 5.0);
        }
    model_->PreSpinUpInitTemperatures();
    // The grids and the stack are written (the stack under its output name).
    for (const char* name : {"FreezingDegreeDays", "thawingDegreeDays", "AnnualTemperature", "temper.stk"})
        EXPECT_TRUE(std::filesystem::exists(name)) << name;
    Matrix read;
    model_->ReadGrid("FreezingDegreeDays", &read);
    Stack stack;
    EXPECT_EQ(model_->ReadStack("temper.stk", &stack), 10);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            if (!Own(r, c)) continue;
            EXPECT_DOUBLE_EQ(read[r][c], 3.0);
            EXPECT_NEAR(stack[r][c][3], model_->own.soilTemperature[r][c][3], 1e-6);
        }
    // The first step starts from the pre-spin-up's profile, not from the air and lower boundary.
    const double top = Own(2, 2) ? model_->own.soilTemperature[2][2][1] : 0.0;
    unsigned error = 0;
    model_->InitTracerGrids(error, 0, nullptr, nullptr, 0);
    model_->BeginTimeStep(24, 1, 1, 2021);
    if (Own(2, 2)) {
        EXPECT_DOUBLE_EQ(model_->own.soilTemperature[2][2][1], top);
    }
}

TEST_F(SoilModelTest, PreSpinUpMeansLeaveOutStepsWithoutTemperature) {
    Matrix& air = AddGrid("temperature", 0.0);
    ASSERT_EQ(Build(Hourly(SoilSection{}.Text()) + HeatSection()), 0u) << console_.str();
    // Day 1: 12 hours at -2, 12 hours without data; day 2 without any data; day 3 at +4.
    // Cell (3, 3) never has data.
    bool mask[5][6] = {};
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) mask[r][c] = air[r][c] != -9999.0;
    auto basin = [&](int r, int c) { return mask[r][c]; };
    const double kept = Own(3, 3) ? model_->own.soilTemperature[3][3][1] : 0.0;
    for (int h = 0; h < 72; ++h) {
        const int day = h / 24;
        const double value = day == 0 ? (h < 12 ? -2.0 : -9999.0) : day == 1 ? -9999.0 : 4.0;
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c)
                if (basin(r, c)) air[r][c] = value;
        air[3][3] = -9999.0;
        model_->PreSpinUpDegreeDays(h % 24, 1 + day, 1, 2020);
    }
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            if (!Own(r, c) || (r == 3 && c == 3)) continue;
            EXPECT_DOUBLE_EQ(Value("FreezingDegreeDays", r, c), 2.0);
            EXPECT_DOUBLE_EQ(Value("thawingDegreeDays", r, c), 4.0);
        }
    model_->PreSpinUpInitTemperatures();
    // The top layer takes the mean of the 36 steps with data, not of all 72.
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            if (!Own(r, c) || (r == 3 && c == 3) || !basin(r, c)) continue;
            EXPECT_DOUBLE_EQ(model_->own.soilTemperature[r][c][1], (12 * -2.0 + 24 * 4.0) / 36.0);
        }
    if (basin(3, 3) && Own(3, 3)) {
        EXPECT_EQ(model_->own.soilTemperature[3][3][1], kept);
        EXPECT_TRUE(std::isfinite(model_->own.soilTemperature[3][3][1]));
    }
}
