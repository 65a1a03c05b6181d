// Dynamic phenology on the test division of a small basin: the season starts from summed
// forcing (scaled by root-zone moisture), chilling sets the threshold, degree-days move fix
// points, leaf fall moves the fix points of the season's end, and the resets of each method.
#include <cmath>

#include "landuse_grids_fixture.hpp"

namespace {

using talvo_test::Rank;
using Grids = LanduseParameterGrids;

const char* kPlain = "RootDist = 1; TReduWet = 0.95;\n";
const std::string kDp1 =
    "F* = 100; DP1_t1_dorm = 100; DP1_T_Bf = 0; JDReset_TStart = 300; maxStartJDforDP1 = 200;\n";
const std::string kDp3 = "HReduDry = 3.45; DP1_t1_dorm = 1; DP1_T_Bf = 5; JDReset_TStart = 1; "
                         "maxStartJDforDP1 = 1; ForcingThreshold = -1 100 300 -1;\n";

// Arrays of n values: LAI = 1 2 5 1 for four fix points, constant elsewhere.
std::string Arrays(int n) {
    const std::string c = n == 4 ? "0.2 0.2 0.2 0.2" : "0.2 0.2";
    return "Albedo = " + c + "; rsc = " + c + "; Z0 = " + c + "; VCF = " + c + "; RootDepth = " + c + "; AltDep = " +
           (n == 4 ? "0 0 0 0" : "0 0") + "; LAI = " + (n == 4 ? "1 2 5 1" : "1 2") + ";\n";
}
std::string Entry(int code, const char* method, const std::string& days, const std::string& keys, int n = 4) {
    return std::to_string(code) + " veg" + std::to_string(code) + " method = " + method + " {\n" + kPlain +
           "JulDays = " + days + ";\n" + keys + Arrays(n) + "}\n";
}

class PhenologyTest : public LanduseGridFixture {
protected:
    static double Halves(int r, int c) { return r == 3 && c == 3 ? kNodata : c <= 3 ? 1 : 2; }
    // Sets the day's mean (and the 7-day mean) of this process's cells, then runs the day.
    void Day(int d, double T, double T7 = 20) {
        ForOwnCells([&](int r, int c) {
            Of("TemperatureAVG")[r][c] = T;
            Of("TemperatureMOVAVG7")[r][c] = T7;
        });
        Grids().UpdateDynamicPhenology(d, 1);
    }
    template <class F>
    void ForEntry(int position, F f) {
        ForOwnCells([&](int r, int c) {
            if (Halves(r, c) == position) f(r, c);
        });
    }
    const double* Days(int r, int c) { return (*Grids().StartTimes(1))[r][c]; }
};

// DynamicPhenology_1 through the whole per-step update: forcing units of 14.2 a day (18.4 °C
// over a base of 0) from day 100 on exceed F* = 100 on the eighth day; the land use in the
// right half gets half again as much forcing from its moist root zone.
TEST_F(PhenologyTest, SeasonStartsWhenForcingExceedsTheThreshold) {
    Build("2\n" + Entry(1, "DynamicPhenology_1", "1 -1 30 366", kDp1 + "HReduDry = 3.45;\n") +
              Entry(2, "DynamicPhenology_1", "1 -1 30 366", kDp1 + "HReduDry = 50; StressFactorDynPhen = 1;\n"),
          Halves);
    AddWholeGrid("temperature", 18.4);
    AddWholeGrid("MeanThetaInRootZone", 100);  // (100 - 50) / (150 - 50): forcing times 1.5
    AddWholeGrid("Pheno_start1", -1);          // the control file gives seasons not started
    Create(1, {0, 1, 4, 2001});
    ASSERT_TRUE(Grids().Dynamic());
    for (int day = 1; day <= 15; ++day) Step(0, day, 4, 2001, 1440);  // days 91..105
    ForEntry(1, [&](int r, int c) {
        EXPECT_EQ(At("Pheno_start1", r, c), -1.0);
        EXPECT_DOUBLE_EQ(At("leaf_area_index1", r, c), 1.0);  // dormant
    });
    ForEntry(2, [&](int r, int c) { EXPECT_EQ(At("Pheno_start1", r, c), 104.0); });
    for (int day = 16; day <= 20; ++day) Step(0, day, 4, 2001, 1440);  // to day 110
    ForOwnCells([&](int r, int c) {
        if (Halves(r, c) == kNodata) {
            EXPECT_EQ(At("Pheno_start1", r, c), kNodata);
            return;
        }
        const bool first = Halves(r, c) == 1;
        EXPECT_EQ(At("Pheno_start1", r, c), first ? 107.0 : 104.0);
        EXPECT_NEAR(At("SumOfForcingUnits1", r, c), first ? 8 * 14.2 : 5 * 21.3, 1e-9);
        EXPECT_NEAR(At("leaf_area_index1", r, c), first ? 2.3 : 2.6, 1e-12);
        EXPECT_NEAR(At("TemperatureMOVAVG7", r, c), 18.4, 1e-12);
        EXPECT_EQ(At("TemperatureAVG", r, c), 0.0);
    });
    // A day whose second half has no temperature data (no valid station value): its mean is the
    // first half's, not half of it.
    Object().hourOffset = 12;
    Step(0, 21, 4, 2001, 720);
    Of("temperature").fill(-9999);
    Step(12, 21, 4, 2001, 720);
    Of("temperature").fill(18.4);
    ForOwnCells([&](int r, int c) {
        if (Halves(r, c) != kNodata) {
            EXPECT_NEAR(At("TemperatureMOVAVG7", r, c), 18.4, 1e-12);
        }
    });
    Object().hourOffset = 24;
    // The reset day ends the season.
    Grids().UpdateDynamicPhenology(300, 1);
    ForEntry(1, [&](int r, int c) {
        EXPECT_EQ(At("Pheno_start1", r, c), -1.0);
        EXPECT_EQ(At("SumOfForcingUnits1", r, c), 0.0);
    });
}

// Phenology grids the control file does not give start as not given: the season has not
// begun (a cold start in February is dormant), the cell's threshold is the entry's F*, and a
// land use of method 4 keeps the simple forcing rule, since no chilling sum was given.
TEST_F(PhenologyTest, PhenologyGridsNotGivenStartBeforeTheSeason) {
    const std::string keys = "HReduDry = 3.45; F* = 100; DP1_t1_dorm = 1; DP1_T_Bf = 0; JDReset_TStart = 300; "
                             "maxStartJDforDP1 = 200; DP2_t0_dorm = 280; DP2_t1_dorm = 30; DP2_T_Bf = 0; "
                             "DP2_T_Bc = 4; DP2_Par_a = 100; DP2_Par_b = -0.01;\n";
    Build("2\n" + Entry(1, "DynamicPhenology_1", "1 -1 30 366", kDp1 + "HReduDry = 3.45;\n") +
              Entry(2, "DynamicPhenology_2", "1 -1 30 366", keys),
          Halves);
    Create(1, {0, 27, 2, 2001});  // day 58
    EXPECT_EQ(Table()[1].simpleForcing, 1);
    EXPECT_EQ(Table()[2].simpleForcing, 1);
    ForOwnCells([&](int r, int c) {
        if (Halves(r, c) == kNodata) return;
        EXPECT_EQ(At("Pheno_start1", r, c), -1.0);
        EXPECT_EQ(At("SumOfChillingUnits1", r, c), 0.0);
        EXPECT_EQ(At("FStar_ForcingThreshold1", r, c), 100.0);
        EXPECT_EQ(At("SumOfForcingUnits1", r, c), 0.0);
        EXPECT_DOUBLE_EQ(At("leaf_area_index1", r, c), 1.0);  // dormant
    });
    // Warm days: the method-4 land use (right half) sums 25.4 a day and starts its season on
    // the day its sum passes F* (day 62, 3 March), not before; the method-3 land use (left
    // half) sums nothing before its forcing start day 100.
    AddWholeGrid("temperature", 30);
    const int months[] = {2, 3, 3, 3}, days[] = {28, 1, 2, 3};
    for (int k = 0; k < 4; ++k) {
        Step(0, days[k], months[k], 2001, 1440);
        ForOwnCells([&](int r, int c) {
            if (Halves(r, c) == kNodata) return;
            const bool first = Halves(r, c) == 1;
            EXPECT_NEAR(At("SumOfForcingUnits1", r, c), first ? 0.0 : (k + 1) * 25.4264, 1e-3);
            EXPECT_EQ(At("Pheno_start1", r, c), !first && k == 3 ? 62.0 : -1.0);
        });
    }
}

// Seasons the control file started on different days give cells of one land use and one
// altitude (a row of the fixture) different values: on day 58 the left half (started on day 10)
// is past the point 30 days after its start, the right half (day 40) before it.
TEST_F(PhenologyTest, GivenSeasonStartsSetTheValuesOfEachCell) {
    auto layout = [](int r, int c) { return r == 3 && c == 3 ? kNodata : 1.0; };
    Build("1\n" + Entry(1, "DynamicPhenology_1", "1 -1 30 366", kDp1 + "HReduDry = 3.45;\n"), layout);
    AddWholeGrid("Pheno_start1", [](int, int c) { return c <= 3 ? 10.0 : 40.0; });
    Create(1, {0, 27, 2, 2001});  // day 58
    ForOwnCells([&](int r, int c) {
        if (layout(r, c) == kNodata) return;
        EXPECT_DOUBLE_EQ(At("leaf_area_index1", r, c),
                         c <= 3 ? 5.0 + (1.0 - 5.0) * 18.0 / 326.0 : 2.0 * 12.0 / 30.0 + 5.0 * 18.0 / 30.0)
            << r << "," << c;
    });
}

TEST_F(PhenologyTest, DynamicMethodNeedsTheTemperatureGrid) {
    Build("1\n" + Entry(1, "DynamicPhenology_1", "1 -1 30 366", kDp1 + "HReduDry = 3.45;\n"),
          [](int, int) { return 1.0; });
    Create(1, {0, 1, 4, 2001});
    EXPECT_EQ(talvo_test::ErrorCode([&] { Step(0, 1, 4, 2001, 1440); }), 33);
    EXPECT_TRUE(Logged("could not find grid with label \"temperature\". \nThis grid must be present (either by "
                       "interpolating or by reading or as standard grid) for using dynamic phenology"));
}

// DynamicPhenology_2: the simple forcing rule until the chilling start day, then triangular
// chilling units over the turn of the year set the threshold a * exp(b * chilling).
TEST_F(PhenologyTest, ChillingSetsTheForcingThreshold) {
    const std::string keys = "HReduDry = 3.45; F* = 1e9; DP1_t1_dorm = 100; DP1_T_Bf = 0; JDReset_TStart = 330; "
                             "maxStartJDforDP1 = 300; DP2_t0_dorm = 280; DP2_t1_dorm = 30; DP2_T_Bf = 5; "
                             "DP2_T_Bc = 4; DP2_Par_a = 100; DP2_Par_b = -0.01;\n";
    Build("1\n" + Entry(1, "DynamicPhenology_2", "1 -1 30 366", keys), [](int, int) { return 1.0; });
    // Given as not known: the season not started, no chilling sums, the table's threshold.
    for (const char* name : {"Pheno_start1", "SumOfChillingUnits1", "FStar_ForcingThreshold1"})
        AddWholeGrid(name, -1);
    Create(1, {0, 1, 10, 2001});
    ASSERT_EQ(Table()[1].simpleForcing, 1);
    Day(279, 4);
    ForOwnCells([&](int r, int c) { EXPECT_EQ(At("SumOfChillingUnits1", r, c), 0.0); });
    Day(280, 4);   // full chilling
    Day(281, 8);   // half way down to the upper offset
    Day(282, -5);  // below the lower offset
    EXPECT_EQ(Table()[1].simpleForcing, 0);
    Day(29, 0);
    const double chilling = 1.0 + 0.5 + 3.4 / 7.4;
    ForOwnCells([&](int r, int c) {
        EXPECT_NEAR(At("SumOfChillingUnits1", r, c), chilling, 1e-12);
        EXPECT_NEAR(At("FStar_ForcingThreshold1", r, c), 100.0 * std::exp(-0.01 * chilling), 1e-9);
    });
    // About 17.6 units so far, then 14.2 and 28.4 a day against a threshold near 98.
    Day(30, 23.4);
    for (int d = 31; d <= 33; ++d) Day(d, 100);
    ForOwnCells([&](int r, int c) { EXPECT_EQ(At("Pheno_start1", r, c), 33.0); });
    // The reset day ends the season: no start, no forcing.
    Day(330, 100);
    ForOwnCells([&](int r, int c) {
        EXPECT_EQ(At("Pheno_start1", r, c), -1.0);
        EXPECT_EQ(At("SumOfForcingUnits1", r, c), 0.0);
    });
    Day(279, 4);  // the day before the chilling start clears the sum
    ForOwnCells([&](int r, int c) { EXPECT_EQ(At("SumOfChillingUnits1", r, c), 0.0); });
}

// DynamicPhenology_4 before its first chilling start day follows the simple forcing rule: the
// season starts when the forcing passes the table's F* (28.4 units a day in the heat, over 100
// on the fourth day), and the cell's fix points move with it; the reset day restores them.
TEST_F(PhenologyTest, ChillingDaysMethodBeforeItsChillingStartMovesTheFixPoints) {
    const std::string keys = "HReduDry = 3.45; F* = 100; DP1_t1_dorm = 140; DP1_T_Bf = 0; JDReset_TStart = 360; "
                             "maxStartJDforDP1 = 300; DP4_t0_dorm = 250; DP4_t1_dorm = 1; DP4_T0 = 5; DP4_T1 = 0; "
                             "DP4_Par_a = 50; DP4_Par_b = 0; DP4_T_xylstop = 8; DP4_t_xs1 = 300; DP4_SPSLF = 4;\n";
    Build("1\n" + Entry(1, "DynamicPhenology_4", "1 -1 60 330", keys), [](int, int) { return 1.0; });
    for (const char* name : {"Pheno_start1", "SumOfChillingUnits1", "FStar_ForcingThreshold1"})
        AddWholeGrid(name, -1);
    Create(1, {0, 1, 5, 2001});
    ASSERT_EQ(Table()[1].simpleForcing, 1);
    for (int d = 139; d <= 142; ++d) Day(d, 200);
    ForOwnCells([&](int r, int c) {
        EXPECT_EQ(At("Pheno_start1", r, c), -1.0);
        EXPECT_NEAR(At("SumOfForcingUnits1", r, c), 3 * 28.4, 1e-6);
        EXPECT_EQ(Days(r, c)[2], -1.0);
    });
    Day(143, 200);
    ForOwnCells([&](int r, int c) {
        EXPECT_EQ(At("Pheno_start1", r, c), 143.0);
        EXPECT_EQ(Days(r, c)[2], 143.0);
        EXPECT_EQ(Days(r, c)[3], 60.0 + 143.0);
    });
    Day(360, 10);
    ForOwnCells([&](int r, int c) {
        EXPECT_EQ(At("Pheno_start1", r, c), -1.0);
        EXPECT_EQ(At("SumOfForcingUnits1", r, c), 0.0);
        EXPECT_EQ(Days(r, c)[2], -1.0);
        EXPECT_EQ(Days(r, c)[3], 60.0);
    });
}

// DynamicPhenology_4 in both halves: four fix points on the left, two on the right (whose
// levels 3 and 4 hold nodata). Degree-days of 10 from day 150 exceed the chilling threshold
// of 50 on day 155 (not on day 154, where they equal it); leaf fall follows five cool days
// from day 200 on the left and starts at once on the right, whose leaf-fall fix point is
// missing.
TEST_F(PhenologyTest, ChillingDaysStartTheSeasonAndLeafFallMovesItsEnd) {
    const std::string keys = "HReduDry = 3.45; F* = 1000; DP1_t1_dorm = 1; DP1_T_Bf = 0; JDReset_TStart = 360; "
                             "maxStartJDforDP1 = 300; DP4_t0_dorm = 150; DP4_t1_dorm = 1; DP4_T0 = 5; DP4_T1 = 0; "
                             "DP4_Par_a = 50; DP4_Par_b = 0; DP4_T_xylstop = 8; DP4_t_xs1 = 200; DP4_SPSLF = 4;\n";
    Build("2\n" + Entry(1, "DynamicPhenology_4", "1 -1 60 330", keys) +
              Entry(2, "DynamicPhenology_4", "1 -1", keys, 2),
          Halves);
    for (const char* name : {"Pheno_start1", "SumOfChillingUnits1", "FStar_ForcingThreshold1"})
        AddWholeGrid(name, -1);
    Create(1, {0, 1, 5, 2001});
    ASSERT_TRUE(Grids().CellFixPoints());
    ForEntry(2, [&](int r, int c) { EXPECT_EQ(Days(r, c)[3], kNodata); });
    for (int d = 150; d <= 154; ++d) Day(d, 10, 5);
    ForOwnCells([&](int r, int c) {
        if (Halves(r, c) == kNodata) return;
        EXPECT_EQ(At("Pheno_start1", r, c), -1.0);
        EXPECT_EQ(At("FStar_ForcingThreshold1", r, c), 50.0);
        EXPECT_EQ(At("SumOfForcingUnits1", r, c), 50.0);
    });
    for (int d = 155; d <= 203; ++d) Day(d, 10, 5);
    ForEntry(1, [&](int r, int c) {
        EXPECT_EQ(At("Pheno_start1", r, c), 155.0);
        EXPECT_EQ(At("StartDayOfLeaveFall", r, c), 0.0);
        EXPECT_EQ(Days(r, c)[2], 155.0);
        EXPECT_EQ(Days(r, c)[3], 215.0);  // 60 days after the start
    });
    ForEntry(2, [&](int r, int c) {
        EXPECT_EQ(At("StartDayOfLeaveFall", r, c), 200.0);
        EXPECT_EQ(Days(r, c)[2], 155.0);  // the last fix point: nothing after it is written
        EXPECT_EQ(Days(r, c)[3], kNodata);
        EXPECT_EQ(Days(r, c)[4], kNodata);
    });
    Day(204, 10, 5);
    ForEntry(1, [&](int r, int c) {
        EXPECT_EQ(At("StartDayOfLeaveFall", r, c), 204.0);
        EXPECT_EQ(Days(r, c)[4], 204.0);  // the leaf-fall point, the last one of the land use
        EXPECT_EQ(Days(r, c)[3], 203.0);  // pulled before it
        EXPECT_EQ(Days(r, c)[2], 155.0);
    });
    // Level 0 of every cell is untouched by the fix points of its neighbours.
    ForOwnCells([&](int r, int c) {
        if (Halves(r, c) != kNodata) {
            EXPECT_EQ(Days(r, c)[0], 0.0);
        }
    });
    Day(360, 10, 5);
    ForEntry(1, [&](int r, int c) {
        EXPECT_EQ(At("Pheno_start1", r, c), -1.0);
        EXPECT_EQ(At("StartDayOfLeaveFall", r, c), 0.0);
        EXPECT_EQ(Days(r, c)[2], -1.0);
        EXPECT_EQ(Days(r, c)[4], 330.0);
    });
}

// DynamicPhenology_3: degree-days above 5 °C reach fix point 2 at a sum of 100 (exactly, on
// the tenth day of 10), the interpolation then runs by the forcing sum, a fix point whose
// table day has passed counts as reached, and day 1 starts the year anew.
TEST_F(PhenologyTest, DegreeDaysReachFixPoints) {
    Build("1\n" + Entry(1, "DynamicPhenology_3", "1 120 200 366", kDp3), [](int, int) { return 1.0; });
    Create(1, {0, 10, 4, 2001});
    ForOwnCells([&](int r, int c) {
        const double expected[5] = {0, 1, -1, -1, 366};
        for (int k = 0; k <= 4; ++k) EXPECT_EQ(Days(r, c)[k], expected[k]) << k;
    });
    Day(101, 5);  // at the base temperature: nothing
    for (int d = 102; d <= 111; ++d) Day(d, 15);
    ForOwnCells([&](int r, int c) {
        EXPECT_EQ(At("SumOfForcingUnits1", r, c), 100.0);
        EXPECT_EQ(Days(r, c)[2], 111.0);
        EXPECT_EQ(Days(r, c)[0], 100.0);
        EXPECT_DOUBLE_EQ(Table()[1].LAIAtJulianDay(Log(), 112, 1, r, c, 400), 2.0);
    });
    Day(112, 15);
    ForOwnCells([&](int r, int c) {
        EXPECT_DOUBLE_EQ(Table()[1].LAIAtJulianDay(Log(), 113, 1, r, c, 400), 2.0 + 3.0 * 10.0 / 200.0);
    });
    Day(200, 6);
    ForOwnCells([&](int r, int c) {
        EXPECT_EQ(Days(r, c)[3], 200.0);
        EXPECT_EQ(Days(r, c)[0], 300.0);
    });
    // The end of a run keeps the fix-point days of every cell, in text and in binary form.
    for (bool text : {true, false}) {
        Object().textOutput = text;
        Grids().WriteStartTimesAtEnd();
        Stack kept;
        EXPECT_EQ(Object().ReadStack("MultipleStartTimes1_End", &kept, true), 4);
        ForOwnCells([&](int r, int c) {
            for (int k = 0; k <= 4; ++k) EXPECT_EQ(kept[r][c][k], Days(r, c)[k]) << text << " " << k;
        });
    }
    Day(1, 6);
    ForOwnCells([&](int r, int c) {
        const double expected[5] = {0, 1, -1, -1, 366};
        for (int k = 0; k <= 4; ++k) EXPECT_EQ(Days(r, c)[k], expected[k]) << k;
        EXPECT_EQ(At("SumOfForcingUnits1", r, c), 0.0);
    });
}

// The per-cell fix points are made before the first fill: a bad value found there stops every
// process too, and the grids made so far leave the store.
TEST_F(PhenologyTest, ValueThatIsNoTablePositionStopsEveryProcess) {
    Build("1\n" + Entry(1, "DynamicPhenology_3", "1 120 200 366", kDp3),
          [](int r, int c) { return r == 2 && c == 4 ? 3.0 : 1.0; });
    EXPECT_EQ(CreateFails(1, {0, 10, 4, 2001}), 31);
    EXPECT_EQ(Object().FindGrid("root_depth1", true), 0);
    EXPECT_EQ(Object().FindGrid("SurfaceEvaporationResistance", true), 0);
    EXPECT_EQ(Table()[1].cellFixPointDays, nullptr);
}

// The per-cell fix-point days are a stack made from the land-use table: a grid of that name in
// the store (a 2-D grid of the control file) cannot stand for it and stops the start.
TEST_F(PhenologyTest, AGridNamedLikeTheFixPointDaysStopsEveryProcess) {
    Build("1\n" + Entry(1, "DynamicPhenology_3", "1 120 200 366", kDp3), [](int, int) { return 1.0; });
    AddWholeGrid("MultipleStartTimes1", 0.0);
    EXPECT_EQ(CreateFails(1, {0, 10, 4, 2001}), 12);
    EXPECT_TRUE(Logged("MultipleStartTimes1 is already in memory: the fix-point days of the cells are made from the "
                       "land use table and cannot be read"));
    EXPECT_EQ(Object().FindGrid("root_depth1", true), 0);
}

}  // namespace
