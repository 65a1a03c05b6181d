// Seasonal interpolation of a land-use entry: day of year, fix points moved by altitude and by
// the season start, per-cell fix points, monthly values, the balance vegetation period, the
// n-factor, failures, and the same results from many threads as from one.
#include <omp.h>

#include <cmath>
#include <vector>

#include "kernel/matrix.hpp"
#include "tables/landuse_entry.hpp"
#include "table_test_support.hpp"

namespace {

using P = landuse_entry::Parameter;

const char* kBase = "RootDist = 1; TReduWet = 0.95; HReduDry = 3.45;\n";
const char* kDynamic = "F* = 300; DP1_t1_dorm = 40; DP1_T_Bf = 5; JDReset_TStart = 330; maxStartJDforDP1 = 160;\n";
const char* kChillingDays = "DP4_t0_dorm = 280; DP4_t1_dorm = 1; DP4_T0 = 5; DP4_T1 = 0; DP4_Par_a = 50; "
                            "DP4_Par_b = 2; DP4_T_xylstop = 8; DP4_t_xs1 = 200; DP4_SPSLF = 3;\n";

// Fix points 1, 100, 200, 366 with distinct values of every parameter.
std::string Arrays(const std::string& days = "1 100 200 366", const std::string& altDep = "0 0 0 0") {
    return "JulDays = " + days + "; Albedo = 0.2 0.25 0.3 0.2; rsc = 80 60 50 80; LAI = 1 4 5 2;\n"
           "Z0 = 0.02 0.1 0.15 0.02; VCF = 0.5 0.9 0.95 0.5; RootDepth = 0.2 0.4 0.6 0.2; AltDep = " + altDep + ";\n"
           "SR_StemDiameter = 0.01 0.02 0.03 0.04; SR_ResidCovrg = 0.4 0.3 0.2 0.1; n-factor = 0.5 0.6 0.7 0.8;\n";
}

class LanduseSeasonTest : public TableTest {
protected:
    landuse_entry Parse(const std::string& method, const std::string& keys) {
        landuse_entry e(1);
        e.ParseLanduseBlock(Log(), "1 test method = " + method + " {\n" + kBase + keys + "}\n", method);
        return e;
    }
    landuse_entry VariableDays(const std::string& days = "1 100 200 366", const std::string& altDep = "0 0 0 0") {
        return Parse("VariableDayCount", Arrays(days, altDep));
    }
    // Old fixed format: 12 monthly resistances 10..120 (March 30), fix points 50 120 250 300.
    landuse_entry Monthly() {
        landuse_entry e(1);
        e.ReadFixedFormat(Log(),
                          "7 maize 0.23 10 20 30 40 50 60 70 80 90 100 110 120 50 120 250 300 0.5 2 4 0.5 0.01 0.1 "
                          "0.2 0.01 0.2 0.6 0.9 0.2 0.1 0.5 0.9 0.1\n",
                          1);
        return e;
    }
    Matrix Grid(double v) {
        Matrix m = mh_.matrix(1, 3, 1, 3, 3);
        m.fill(v);
        return m;
    }
    double LAI(const landuse_entry& e, int d, double h = 400, int row = 1) {
        return e.LAIAtJulianDay(Log(), d, 1, row, 1, h);
    }

    memory_handling mh_;
};

TEST_F(LanduseSeasonTest, DayOfYearFollowsGregorianLeapYears) {
    EXPECT_EQ(landuse_entry::JulianDay(31, 12, 2000), 366);  // 2000 is a leap year
    EXPECT_EQ(landuse_entry::JulianDay(1, 3, 1900), 60);     // 1900 is not
    EXPECT_EQ(landuse_entry::JulianDay(1, 3, 2004), 61);
    EXPECT_EQ(landuse_entry::JulianDay(31, 12, 2001), 365);
    EXPECT_EQ(landuse_entry::FebruaryLength(2100), 28);
    EXPECT_EQ(landuse_entry::FebruaryLength(2400), 29);
    EXPECT_EQ(ErrorCode([] { landuse_entry::JulianDay(40, 12, 2001); }), 150);
    EXPECT_EQ(ErrorCode([] { landuse_entry::JulianDay(-3, 1, 2001); }), 150);

    // The date forms of every parameter use the same day of year.
    const landuse_entry e = VariableDays();
    EXPECT_DOUBLE_EQ(e.LAIAtDate(Log(), 10, 4, 2000, 1, 1, 1, 400), LAI(e, 101));
    EXPECT_DOUBLE_EQ(e.LAIAtDate(Log(), 10, 4, 2001, 1, 1, 1, 400), LAI(e, 100));
    EXPECT_EQ(ErrorCode([&] { e.RootDepthAtDate(Log(), 40, 12, 2001, 1, 1, 1, 400); }), 150);
}

TEST_F(LanduseSeasonTest, LinearBetweenFixPointsAndAcrossTheTurnOfTheYear) {
    const landuse_entry e = VariableDays();
    EXPECT_DOUBLE_EQ(LAI(e, 100), 4.0);
    EXPECT_DOUBLE_EQ(LAI(e, 150), 4.5);
    EXPECT_DOUBLE_EQ(e.RootDepthAtJulianDay(Log(), 283, 1, 1, 1, 400), 0.6 + (0.2 - 0.6) * 83.0 / 166.0);
    EXPECT_DOUBLE_EQ(e.SR_ResidCovrgAtDate(Log(), 20, 5, 2001, 1, 1, 1, 400), 0.3 + (0.2 - 0.3) * 40.0 / 100.0);
    EXPECT_DOUBLE_EQ(e.SR_StemDiameterAtJulianDay(Log(), 1, 1, 1, 1, 400), 0.01);

    // After the last fix point: toward the first point of the next year (d - 366 between
    // JulDays[n] - 366 and the first point).
    const landuse_entry w = VariableDays("10 100 200 300");
    EXPECT_DOUBLE_EQ(LAI(w, 350), 2.0 + (1.0 - 2.0) * 50.0 / 76.0);
    EXPECT_DOUBLE_EQ(LAI(w, 5), 2.0 + (1.0 - 2.0) * 71.0 / 76.0);

    // Two fix points on one day: the left value, never a division by zero.
    const landuse_entry same = VariableDays("1 100 100 366");
    EXPECT_DOUBLE_EQ(LAI(same, 100), 4.0);
    EXPECT_FALSE(std::isnan(LAI(same, 100)));
}

TEST_F(LanduseSeasonTest, AltitudeShiftsFixPointsTruncatedTowardZero) {
    const landuse_entry e = VariableDays("1 100 200 366", "0 -0.029 0.02 0");
    std::vector<std::int32_t> actual;
    e.ShiftFixPoints(Log(), -1, 400.0, actual);
    EXPECT_EQ(actual, (std::vector<std::int32_t>{0, 1, 100, 200, 366}));
    e.ShiftFixPoints(Log(), -1, 500.0, actual);  // -2.9 days -> -2, +2 days
    EXPECT_EQ(actual, (std::vector<std::int32_t>{0, 1, 98, 202, 366}));
    EXPECT_DOUBLE_EQ(LAI(e, 98, 500), 4.0);
    EXPECT_EQ(e.FindFixPoint(Log(), 99, -1, 500), 3);
    // The n-factor ignores the altitude.
    EXPECT_DOUBLE_EQ(e.NFactorAtJulianDay(Log(), 150), 0.65);
    EXPECT_DOUBLE_EQ(e.NFactorAtDate(Log(), 31, 12, 2001), 0.7 + 0.1 * 165.0 / 166.0);

    const landuse_entry late = VariableDays("1 100 200 360", "0 0 0 0.1");
    EXPECT_EQ(ErrorCode([&] { LAI(late, 50, 470); }), 152);
    EXPECT_TRUE(Logged("altitude correction resulted in a Julian day of 367 for fix point 4 (JD should be between 1 "
                       "and 366)"));
    EXPECT_DOUBLE_EQ(LAI(late, 50, 460), 1.0 + 3.0 * 49.0 / 99.0);  // day 366 is still allowed

    // Only the root depth names the cell of a failure.
    EXPECT_EQ(ErrorCode([&] { late.RootDepthAtJulianDay(Log(), 50, 2, 7, 9, 470); }), 152);
    EXPECT_TRUE(Logged("Coordinates: i=7, j=9\nLayer=2\nAltitude=470m\nJulday=50\nLanduse Code=1\nTStart=-1"));
}

TEST_F(LanduseSeasonTest, InterpolationRunsOnPastTheFixPointsDownToZero) {
    // The last point moved 10 days earlier (356): the days after it run toward the first point
    // of the next year on the line through the unshifted wrap-around point (day 0, value 2) and
    // the first point (day 10, value 1), so day 360 (d - 366 = -6) lies before that pair.
    const landuse_entry e = VariableDays("10 100 200 366", "0 0 0 -0.025");
    EXPECT_DOUBLE_EQ(LAI(e, 360, 800), 2.0 + (1.0 - 2.0) * -6.0 / 10.0);
    EXPECT_DOUBLE_EQ(LAI(e, 356, 800), 2.0);
    EXPECT_DOUBLE_EQ(LAI(e, 300, 800), 5.0 + (2.0 - 5.0) * 100.0 / 156.0);
    EXPECT_DOUBLE_EQ(LAI(e, 360, 400), 5.0 + (2.0 - 5.0) * 160.0 / 166.0);  // unshifted

    // A pasture at 790 m whose last point moves 9 days earlier: on 31 December 1999 (day 365,
    // d - 366 = -1) the line from (0, 1) to (10, 2) runs below the smallest fix value, to 0.9.
    std::string pastureArrays = Arrays("10 120 250 366", "0 0 0 -0.025");
    pastureArrays.replace(pastureArrays.find("LAI = 1 4 5 2"), 13, "LAI = 2 4 4 1");
    const landuse_entry pasture = Parse("VariableDayCount", pastureArrays);
    EXPECT_NEAR(pasture.LAIAtDate(Log(), 31, 12, 1999, 1, 1, 1, 790), 0.9, 1e-12);

    // Where the line would give a negative leaf area it is held at 0; above the fix values it
    // runs on.
    std::string steepArrays = Arrays("1 100 200 366", "0 0 0 -0.025");
    steepArrays.replace(steepArrays.find("LAI = 1 4 5 2"), 13, "LAI = 3 4 5 0.5");
    const landuse_entry steep = Parse("VariableDayCount", steepArrays);
    EXPECT_DOUBLE_EQ(LAI(steep, 360, 800), 0.0);
    const landuse_entry rising = VariableDays("1 100 200 366", "0 0 0 -0.025");
    EXPECT_DOUBLE_EQ(LAI(rising, 360, 800), 2.0 * 7.0 - 1.0 * 6.0);

    // A first fix point moved before the year's start closes every interval: the line through
    // the wrap-around point (day 0, value 2) and it (day -5, value 1) runs on.
    const landuse_entry early = VariableDays("5 100 200 366", "-0.05 0 0 0");
    EXPECT_DOUBLE_EQ(LAI(early, 50, 600), 2.0 + (1.0 - 2.0) * 50.0 / -5.0);

    // The n-factor runs on the same way: past a negative (dynamic) table day it is held at 0.
    const landuse_entry dyn = Parse("DynamicPhenology_1", std::string(kDynamic) + Arrays("1 -1 200 366"));
    EXPECT_DOUBLE_EQ(dyn.NFactorAtJulianDay(Log(), 150), 0.0);
    const landuse_entry late = VariableDays("10 100 200 300");
    EXPECT_DOUBLE_EQ(late.NFactorAtJulianDay(Log(), 5), 0.8 + (0.5 - 0.8) * 71.0 / 76.0);
    // After the last fix point the day counts from the next year's start (333 - 366 = -33) on
    // the same line.
    EXPECT_DOUBLE_EQ(late.NFactorAtJulianDay(Log(), 333), 0.8 + (0.5 - 0.8) * 33.0 / 76.0);
    EXPECT_DOUBLE_EQ(late.NFactorAtJulianDay(Log(), 300), 0.8);

    // Without n-factor values the land use has none for any date (the soil model then takes the
    // freezing/thawing n-factor); the line held at 0 must not make one of the mark.
    std::string none = Arrays();
    none.erase(none.find(" n-factor"));
    none += "\n";
    const landuse_entry bare = Parse("VariableDayCount", none);
    for (int day : {1, 50, 150, 366}) EXPECT_LT(bare.NFactorAtJulianDay(Log(), day), 0.0) << day;
}

TEST_F(LanduseSeasonTest, DynamicStartHoldsTheDormantValueUntilTheSeasonStarts) {
    // Fix point 2 is the season start; point 3 lies 30 days after it.
    landuse_entry e = Parse("DynamicPhenology_1", std::string(kDynamic) + Arrays("1 -1 30 366", "0 0 0.1 0"));
    ASSERT_EQ(e.startFixPoint, 2);
    Matrix start = Grid(-1);
    start[2][1] = 100;
    const std::vector<Matrix*> layers{nullptr, &start};
    e.SetCellStartDays(layers.data());

    for (int d : {1, 2, 50, 99, 200, 366}) EXPECT_DOUBLE_EQ(LAI(e, d, 400, 1), 1.0) << d;  // not started
    // Started on day 100: dormant up to and on the start day, then toward point 3.
    EXPECT_DOUBLE_EQ(LAI(e, 50, 400, 2), 1.0);
    EXPECT_DOUBLE_EQ(LAI(e, 100, 400, 2), 1.0);
    EXPECT_DOUBLE_EQ(LAI(e, 115, 2000, 2), 4.5);  // altitude moves neither the start nor the point after it
    EXPECT_DOUBLE_EQ(LAI(e, 130, 400, 2), 5.0);
    EXPECT_DOUBLE_EQ(LAI(e, 248, 400, 2), 5.0 + (2.0 - 5.0) * 118.0 / 236.0);

    start[3][1] = 367;
    EXPECT_EQ(ErrorCode([&] { LAI(e, 50, 400, 3); }), 152);
    EXPECT_TRUE(Logged("dynamic phenology (method 1 or 2 at TStart) resulted in a Julian day of 367 for fix point 2"));
    start[3][1] = 340;
    EXPECT_EQ(ErrorCode([&] { LAI(e, 50, 400, 3); }), 152);
    EXPECT_TRUE(Logged("dynamic phenology (method 1 or 2 after TStart) resulted in a Julian day of 370 for fix point 3"));
}

TEST_F(LanduseSeasonTest, PerCellFixPointDays) {
    landuse_entry e = Parse("DynamicPhenology_4", std::string(kDynamic) + kChillingDays + Arrays("1 -1 200 366"));
    Stack days = mh_.matrix3d(1, 3, 1, 3, 4, 3);
    const double cell[5] = {0, 1, 100, -1, -9999};  // point 3 not reached, point 4 missing
    for (int r = 1; r <= 3; ++r)
        for (int c = 1; c <= 3; ++c) std::copy(cell, cell + 5, days[r][c]);
    const std::vector<Stack*> layers{nullptr, &days};
    e.SetCellFixPointDays(layers.data(), 4);

    EXPECT_DOUBLE_EQ(LAI(e, 50), 1.0 + 3.0 * 49.0 / 99.0);
    EXPECT_DOUBLE_EQ(LAI(e, 100), 4.0);
    EXPECT_DOUBLE_EQ(LAI(e, 250), 4.0);  // point 3 not reached: point 2's value holds
    days[1][1][3] = 200;
    days[1][1][4] = 300;
    EXPECT_DOUBLE_EQ(LAI(e, 250), 5.0 + (2.0 - 5.0) * 50.0 / 100.0);
    EXPECT_DOUBLE_EQ(LAI(e, 320), 2.0);  // after the last point its value holds

    // Degree-day method: between the thresholds of the last point reached and the next one,
    // by the cell's forcing sum.
    landuse_entry f = Parse("DynamicPhenology_3", std::string(kDynamic) + "ForcingThreshold = -1 100 300 -1;\n" +
                                                      Arrays("1 50 150 366"));
    Stack fd = mh_.matrix3d(1, 3, 1, 3, 4, 3);
    const double reached[5] = {100, 1, 60, -1, 366};
    std::copy(reached, reached + 5, fd[1][1]);
    Matrix sums = Grid(150);
    const std::vector<Stack*> flayers{nullptr, &fd};
    const std::vector<Matrix*> slayers{nullptr, &sums};
    f.SetCellFixPointDays(flayers.data(), 4);
    f.SetCellForcingSums(slayers.data());
    EXPECT_DOUBLE_EQ(LAI(f, 90), 4.0 + (5.0 - 4.0) * 50.0 / 200.0);
    sums[1][1] = 400;  // past the threshold the line runs on
    EXPECT_DOUBLE_EQ(LAI(f, 90), 4.0 + (5.0 - 4.0) * 300.0 / 200.0);
    sums[1][1] = 50;  // below the threshold reached: the line runs on
    EXPECT_DOUBLE_EQ(LAI(f, 90), 4.0 + (5.0 - 4.0) * -50.0 / 200.0);
    EXPECT_DOUBLE_EQ(f.GetDP3Value(2), 100.0);
    EXPECT_DOUBLE_EQ(f.GetDP3Value(5), -1.0);
    EXPECT_DOUBLE_EQ(e.GetDP3Value(2), -1.0);
}

TEST_F(LanduseSeasonTest, MonthlyValuesOfTheOldFormat) {
    const landuse_entry e = Monthly();
    EXPECT_DOUBLE_EQ(e.rscAtDate(Log(), 15, 3, 2001, 1, 1, 1, 400), 30.0);
    EXPECT_DOUBLE_EQ(e.rs_evaporationAtDate(Log(), 15, 12, 2001, 1, 1, 1, 400), 120.0);
    // 1 January: between December before (index 0) and January.
    EXPECT_DOUBLE_EQ(e.rscAtDate(Log(), 1, 1, 2001, 1, 1, 1, 400), 120.0 * 14.0 / 31.0 + 10.0 * 17.0 / 31.0);
    // Early March uses February's length of the year.
    EXPECT_DOUBLE_EQ(e.rscAtDate(Log(), 1, 3, 2001, 1, 1, 1, 400), 20.0 * 14.0 / 28.0 + 30.0 * 14.0 / 28.0);
    EXPECT_DOUBLE_EQ(e.rscAtDate(Log(), 1, 3, 2004, 1, 1, 1, 400), 20.0 * 14.0 / 29.0 + 30.0 * 15.0 / 29.0);
    // The day form reads a day of a common year; 366 wraps to 1 January.
    EXPECT_DOUBLE_EQ(e.rscAtJulianDay(Log(), 74, 1, 1, 1, 400), 30.0);
    EXPECT_DOUBLE_EQ(e.rscAtJulianDay(Log(), 366, 1, 1, 1, 400), e.rscAtDate(Log(), 1, 1, 2001, 1, 1, 1, 400));
    EXPECT_DOUBLE_EQ(e.rs_interceptionAtDate(Log(), 9, 9, 2001, 1, 1, 1, 400), 20.0);
    EXPECT_EQ(ErrorCode([&] { e.rscAtJulianDay(Log(), -4, 1, 1, 1, 400); }), 153);
    EXPECT_EQ(ErrorCode([&] { e.rscAtDate(Log(), 20, 13, 2001, 1, 1, 1, 400); }), 154);
    // The other parameters of the old format use its four fix points.
    EXPECT_DOUBLE_EQ(e.LAIAtJulianDay(Log(), 120, 1, 1, 1, 400), 2.0);
}

TEST_F(LanduseSeasonTest, BalanceVegetationPeriod) {
    landuse_entry e = VariableDays("1 100 200 366", "0 0.05 0 0");
    e.StartVegetationPeriodForBalance = 2;
    e.StopVegetationPeriodForBalance = 3;
    auto start = [&](int d, double h) { return e.VegetationDayAtJulianDay(Log(), d, 1, 1, 1, h); };
    auto stop = [&](int d, double h) { return e.VegetationStopDayAtJulianDay(Log(), d, 1, 1, 1, h); };
    EXPECT_EQ(start(100, 400), 100);
    EXPECT_EQ(start(99, 400), -1);
    EXPECT_EQ(start(101, 400), -1);
    EXPECT_EQ(start(105, 500), 105);  // shifted by 5 days
    EXPECT_EQ(stop(200, 400), 200);
    EXPECT_EQ(stop(199, 400), -1);
    EXPECT_EQ(e.VegetationDayAtDate(Log(), 10, 4, 2001, 1, 1, 1, 400), 100);
    e.StartVegetationPeriodForBalance = 0;
    e.StopVegetationPeriodForBalance = 0;
    EXPECT_EQ(start(100, 400), 0);
    EXPECT_EQ(stop(200, 400), 0);

    // With per-cell fix-point days the period runs from the day the cell reached its start
    // point (every day of it counts) to the day it reached its stop point.
    landuse_entry cells = Parse("DynamicPhenology_4", std::string(kDynamic) + kChillingDays + Arrays("1 -1 200 366"));
    cells.StartVegetationPeriodForBalance = 2;
    cells.StopVegetationPeriodForBalance = 3;
    Stack days = mh_.matrix3d(1, 3, 1, 3, 4, 3);
    const double reached[5] = {0, 1, 120, 210, 366};
    const double notYet[5] = {0, 1, -1, -1, 366};
    for (int r = 1; r <= 3; ++r)
        for (int c = 1; c <= 3; ++c) std::copy(r == 1 ? reached : notYet, (r == 1 ? reached : notYet) + 5, days[r][c]);
    const std::vector<Stack*> layers{nullptr, &days};
    cells.SetCellFixPointDays(layers.data(), 4);
    auto cellStart = [&](int d, int row) { return cells.VegetationDayAtJulianDay(Log(), d, 1, row, 1, 400); };
    auto cellStop = [&](int d, int row) { return cells.VegetationStopDayAtJulianDay(Log(), d, 1, row, 1, 400); };
    EXPECT_EQ(cellStart(119, 1), -1);
    EXPECT_EQ(cellStart(120, 1), 120);
    EXPECT_EQ(cellStart(150, 1), 150);
    EXPECT_EQ(cellStart(210, 1), -1);
    EXPECT_EQ(cellStop(209, 1), -1);
    EXPECT_EQ(cellStop(210, 1), 210);
    EXPECT_EQ(cellStop(211, 1), -1);
    // A cell that has not reached its start point has no period yet.
    EXPECT_EQ(cellStart(150, 2), -1);
    EXPECT_EQ(cellStop(210, 2), -1);
}

TEST_F(LanduseSeasonTest, RecordWithoutFixPointsFailsCleanly) {
    const landuse_entry e(3);
    EXPECT_EQ(ErrorCode([&] { LAI(e, 100); }), 151);
    EXPECT_TRUE(Logged("land use 3 () has no values at its fix points"));
}

// Sub-models call the record from their OpenMP cell loops: the results must be those of a
// serial run, and the record must be left as it was.
TEST_F(LanduseSeasonTest, ManyThreadsGetTheSerialResults) {
    landuse_entry shifted = VariableDays("1 100 200 366", "0.02 -0.03 0.025 0");
    landuse_entry dynamic = Parse("DynamicPhenology_1", std::string(kDynamic) + Arrays("1 -1 30 366", "0 0 0 0"));
    const landuse_entry monthly = Monthly();
    Matrix start = Grid(-1);
    start[2][2] = 120;
    start[3][3] = 60;
    const std::vector<Matrix*> layers{nullptr, &start};
    dynamic.SetCellStartDays(layers.data());
    shifted.StartVegetationPeriodForBalance = 2;
    shifted.StopVegetationPeriodForBalance = 3;
    const auto monthsBefore = shifted.monthLengths;
    const auto actualBefore = shifted.actualFixPointDays;

    constexpr int kCalls = 4000;
    auto evaluate = [&](int i) {
        const int year = 1896 + i % 12, month = 1 + i % 12, day = 1 + (i * 7) % 28;
        const int row = 1 + i % 3, col = 1 + (i / 3) % 3;
        const double h = 200 + (i % 17) * 60;
        double v = landuse_entry::JulianDay(day, month, year);
        for (P p : {P::rsc, P::Albedo, P::LAI, P::RootDepth, P::SR_ResidCovrg}) {
            v = v * 1.5 + shifted.ValueAtDate(nullptr, p, day, month, year, 1, row, col, h);
            v = v * 1.5 + dynamic.ValueAtDate(nullptr, p, day, month, year, 1, row, col, h);
            v = v * 1.5 + monthly.ValueAtDate(nullptr, p, day, month, year, 1, row, col, h);
        }
        v = v * 1.5 + shifted.VegetationDay(nullptr, landuse_entry::JulianDay(day, month, year), 1, row, col, h);
        return v;
    };
    std::vector<double> serial(kCalls), parallel(kCalls);
    for (int i = 0; i < kCalls; ++i) serial[i] = evaluate(i);
#pragma omp parallel for schedule(dynamic, 7) num_threads(8)
    for (int i = 0; i < kCalls; ++i) parallel[i] = evaluate(i);
    for (int i = 0; i < kCalls; ++i) ASSERT_EQ(serial[i], parallel[i]) << i;
    EXPECT_EQ(shifted.monthLengths, monthsBefore);
    EXPECT_EQ(shifted.actualFixPointDays, actualBefore);
}

}  // namespace
