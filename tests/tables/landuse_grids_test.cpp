// The land-use parameter grids on the test division of a small basin (any number of
// processes): values of the table at the start date, the daily update, control-file grids,
// the balance vegetation period and failures that stop every process alike.
#include <algorithm>
#include <cmath>

#include "landuse_grids_fixture.hpp"

namespace {

using talvo_test::Rank;

// Two land uses with fix points 1, 100, 200, 366: "grass" with plain values, "forest" with
// values beyond the bounds of the grids (a leaf area below 0, a cover above 1, a roughness length
// below 0.01).
std::string Grass(const std::string& extra = "", const std::string& altDep = "0 0 0 0") {
    return "1 grass method = VariableDayCount {\n"
           "RootDist = 1; TReduWet = 0.95; HReduDry = 3.45; JulDays = 1 100 200 366;\n"
           "StartVegetationPeriodForBalance = 2; StopVegetationPeriodForBalance = 3;\n"
           "Albedo = 0.2 0.25 0.3 0.2; rsc = 80 60 50 80; rs_interception = 30 25 20 30;\n"
           "rs_evaporation = 150 120 100 150; LAI = 1 4 5 2; Z0 = 0.02 0.1 0.15 0.02; VCF = 0.5 0.9 0.95 0.5;\n"
           "RootDepth = 0.2 0.4 0.6 0.2; AltDep = " + altDep + ";\n" + extra + "}\n";
}
std::string Forest(const std::string& altDep = "0 0 0 0") {
    return "2 forest method = VariableDayCount {\n"
           "RootDist = 1; TReduWet = 0.95; HReduDry = 3.45; JulDays = 1 100 200 366;\n"
           "Albedo = 0.1 0.12 0.14 0.1; rsc = 70 -5 40 70; rs_interception = 10 -2 8 10;\n"
           "rs_evaporation = 90 -1 80 90; LAI = 3 -1 7 3; Z0 = 0.5 0.005 1 0.5; VCF = 0.8 1.2 1 0.8;\n"
           "RootDepth = 1 0.001 1.5 1; AltDep = " + altDep + ";\n}\n";
}

class LanduseGridTest : public LanduseGridFixture {
protected:
    // Forest in column 2, grass elsewhere; cell (3, 3) has no land use.
    static double Layout(int r, int c) { return r == 3 && c == 3 ? kNodata : c == 2 ? 2 : 1; }
    static double GrassOnly(int r, int c) { return r == 3 && c == 3 ? kNodata : 1; }
};

TEST_F(LanduseGridTest, GridsHoldTheTableValuesAtTheStartDate) {
    Build("2\n" + Grass() + Forest(), Layout, [](int, int c) { return c == 2 ? 1.0 : 2.0; }, 2);
    Create(2, {0, 10, 4, 2001});  // day 100: fix point 2 of both land uses

    // Layer 1 of a cell: grass or forest; layer 2 the other one.
    ForOwnCells([&](int r, int c) {
        const bool forest = Layout(r, c) == 2;
        if (Layout(r, c) == kNodata) {
            for (const char* name : {"root_depth1", "leaf_area_index1", "SurfaceCanopyResistance1", "albedo",
                                     "SurfaceEvaporationResistance", "VegetationStart1"})
                EXPECT_EQ(At(name, r, c), kNodata) << name;
            EXPECT_DOUBLE_EQ(At("leaf_area_index2", r, c), 0.0);  // forest in layer 2
            return;
        }
        EXPECT_DOUBLE_EQ(At("root_depth1", r, c), forest ? 0.01 : 0.4);
        EXPECT_DOUBLE_EQ(At("leaf_area_index1", r, c), forest ? 0.0 : 4.0);
        EXPECT_DOUBLE_EQ(At("vegetation_coverage_degree1", r, c), forest ? 1.0 : 0.9);
        EXPECT_DOUBLE_EQ(At("SurfaceCanopyResistance1", r, c), forest ? 0.0 : 60.0);
        EXPECT_DOUBLE_EQ(At("SurfaceIntercepResistance1", r, c), forest ? 0.0 : 25.0);
        EXPECT_DOUBLE_EQ(At("RoughnessLength1", r, c), forest ? 0.01 : 0.1);
        EXPECT_DOUBLE_EQ(At("SurfaceEvaporationResistance", r, c), forest ? 0.0 : 120.0);
        EXPECT_DOUBLE_EQ(At("leaf_area_index2", r, c), forest ? 4.0 : 0.0);
        EXPECT_DOUBLE_EQ(At("root_depth2", r, c), forest ? 0.4 : 0.01);
        EXPECT_DOUBLE_EQ(At("albedo", r, c), forest ? 0.12 : 0.25);
        // The balance period of grass starts at fix point 2, forest sets none.
        EXPECT_DOUBLE_EQ(At("VegetationStart1", r, c), forest ? 0.0 : 100.0);
        EXPECT_DOUBLE_EQ(At("VegetationStop1", r, c), -1.0);
        EXPECT_DOUBLE_EQ(At("VegetationDuration1", r, c), 0.0);
    });
    // Neighbour cells of other processes arrive by the halo exchange.
    ForHaloCells([&](int r, int c) {
        if (Layout(r, c) == kNodata) return;
        EXPECT_DOUBLE_EQ(At("leaf_area_index1", r, c), Layout(r, c) == 2 ? 0.0 : 4.0);
        EXPECT_DOUBLE_EQ(At("RoughnessLength2", r, c), Layout(r, c) == 2 ? 0.1 : 0.01);
    });
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c)
            if (!ValidZone(r, c) && Grids().Grid(LanduseParameterGrids::kRootDepth, 1)->holds(r)) {
                EXPECT_EQ(At("root_depth1", r, c), kNodata);
            }

    // A table of plain methods makes no phenology grids.
    for (const char* name : {"TemperatureAVG", "TemperatureMOVAVG7", "Pheno_start1", "MultipleStartTimes1"})
        EXPECT_EQ(Object().FindGrid(name, true), 0) << name;
    EXPECT_FALSE(Grids().Dynamic());
}

TEST_F(LanduseGridTest, LeafAreaPastTheLastFixPointFollowsItsLine) {
    // A pasture at 790 m whose last fix point moves 9 days earlier: on 31 December 1999 the
    // line from the wrap-around point (day 0, 1) to the first point (day 10, 2) gives 0.9.
    const std::string pasture = "1 pasture method = VariableDayCount {\n"
                                "RootDist = 1; TReduWet = 0.95; HReduDry = 3.45; JulDays = 10 120 250 366;\n"
                                "Albedo = 0.2 0.25 0.3 0.2; rsc = 80 60 50 80; rs_interception = 30 25 20 30;\n"
                                "rs_evaporation = 150 120 100 150; LAI = 2 4 4 1; Z0 = 0.02 0.1 0.15 0.02;\n"
                                "VCF = 0.5 0.9 0.95 0.5; RootDepth = 0.2 0.4 0.6 0.2; AltDep = 0 0 0 -0.025;\n}\n";
    Build("1\n" + pasture, GrassOnly);
    Elevation().fill(790);
    Create(1, {0, 31, 12, 1999});
    ForOwnCells([&](int r, int c) {
        if (GrassOnly(r, c) != kNodata) {
            EXPECT_NEAR(At("leaf_area_index1", r, c), 0.9, 1e-12) << r << "," << c;
        }
    });
}

TEST_F(LanduseGridTest, DailyPartAtTheLastStepOfADay) {
    Build("1\n" + Grass(), GrassOnly);
    Object().hourOffset = 1;  // hourly steps
    Create(1, {0, 10, 4, 2001});
    for (int h = 0; h <= 22; ++h) Step(h, 11, 4, 2001, 60);
    ForOwnCells([&](int r, int c) {
        if (Layout(r, c) != 1) return;
        EXPECT_DOUBLE_EQ(At("leaf_area_index1", r, c), 4.0);
        EXPECT_DOUBLE_EQ(At("VegetationDuration1", r, c), 23.0);  // counts steps
    });
    EXPECT_FALSE(Logged("actual parameters"));
    Step(23, 11, 4, 2001, 60);
    ForOwnCells([&](int r, int c) {
        if (Layout(r, c) != 1) return;
        EXPECT_DOUBLE_EQ(At("leaf_area_index1", r, c), 4.01);
        EXPECT_DOUBLE_EQ(At("VegetationDuration1", r, c), 24.0);
    });
    EXPECT_TRUE(Logged("   actual parameters 11.4.2001 23. h\n"));

    // Daily steps: every step at hour 0 is the last of its day.
    Object().hourOffset = 24;
    Step(0, 12, 4, 2001, 1440);
    ForOwnCells([&](int r, int c) {
        if (Layout(r, c) == 1) { EXPECT_DOUBLE_EQ(At("leaf_area_index1", r, c), 4.02); }
    });
}

TEST_F(LanduseGridTest, ControlFileGridWithItsMaskBitClearedIsKept) {
    Build("2\n" + Grass("useInternalParameters = 10111111;\n") + Forest(), Layout);
    Matrix& given = AddWholeGrid("root_depth1", 0.005);
    const int index = Object().FindGrid("root_depth1", true);
    Create(1, {0, 10, 4, 2001});
    EXPECT_EQ(Grids().Index(LanduseParameterGrids::kRootDepth, 1), index);
    EXPECT_EQ(Grids().Grid(LanduseParameterGrids::kRootDepth, 1), &given);
    Step(0, 11, 4, 2001, 1440);
    ForOwnCells([&](int r, int c) {
        if (Layout(r, c) == 1) {
            EXPECT_DOUBLE_EQ(At("root_depth1", r, c), 0.01);  // only the bound applies
            EXPECT_DOUBLE_EQ(At("leaf_area_index1", r, c), 4.01);
        }
        if (Layout(r, c) == 2) { EXPECT_DOUBLE_EQ(At("root_depth1", r, c), 0.001 + 1.499 / 100.0); }
    });
}

TEST_F(LanduseGridTest, BalancePeriodFollowsTheTableDays) {
    Build("1\n" + Grass("JDVegetationResetForBalance = 102; JDVegetationWriteForBalance = 103;\n"), GrassOnly);
    Create(1, {0, 10, 4, 2001});
    Step(0, 11, 4, 2001, 1440);
    ForOwnCells([&](int r, int c) {
        if (Layout(r, c) == 1) { EXPECT_DOUBLE_EQ(At("VegetationDuration1", r, c), 1.0); }
    });
    EXPECT_EQ(Store()[1].vegStartFlag, 0);
    Step(0, 12, 4, 2001, 1440);  // day 102: the period starts anew
    ForOwnCells([&](int r, int c) {
        if (Layout(r, c) != 1) return;
        EXPECT_DOUBLE_EQ(At("VegetationStart1", r, c), -1.0);
        EXPECT_DOUBLE_EQ(At("VegetationDuration1", r, c), 0.0);
    });
    EXPECT_EQ(Store()[1].vegStartFlag, 1);
    EXPECT_EQ(Store()[1].vegEndFlag, 0);
    Step(0, 13, 4, 2001, 1440);
    EXPECT_EQ(Store()[1].vegEndFlag, 1);

    // The stop fix point (day 200) ends the counting.
    for (int d = 14; d <= 30; ++d) Step(0, d, 4, 2001, 1440);
    for (int d = 1; d <= 31; ++d) Step(0, d, 5, 2001, 1440);
    for (int d = 1; d <= 30; ++d) Step(0, d, 6, 2001, 1440);
    for (int d = 1; d <= 19; ++d) Step(0, d, 7, 2001, 1440);  // day 200
    ForOwnCells([&](int r, int c) {
        if (Layout(r, c) != 1) return;
        EXPECT_DOUBLE_EQ(At("VegetationStop1", r, c), 200.0);
        EXPECT_DOUBLE_EQ(At("VegetationDuration1", r, c), 0.0);  // the start day 100 lies before the reset
    });
}

// Cells of one land use at one altitude share its values; cells of another altitude or land use
// take their own. Fix point 2 moves by 0.02 days per metre above 400 m: on day 100 a cell at
// 400 m sits on it, one at 900 m (point 2 on day 110) still between points 1 and 2.
TEST_F(LanduseGridTest, CellsOfOneLanduseAndAltitudeShareTheirValues) {
    Build("2\n" + Grass("", "0 0.02 0 0") + Forest("0 0.02 0 0"), Layout);
    auto height = [](int r, int c) { return (r + 2 * c) % 3 == 0 ? 900.0 : (r + 2 * c) % 3 == 1 ? 400.0 : 650.0; };
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) Elevation()[r][c] = height(r, c);
    Create(1, {0, 10, 4, 2001});
    auto line = [](double a0, double a1, double right, double d) {
        return a0 * (right - d) / (right - 1) + a1 * (d - 1) / (right - 1);
    };
    ForOwnCells([&](int r, int c) {
        if (Layout(r, c) == kNodata) return;
        const bool forest = Layout(r, c) == 2;
        const double right = 100 + std::trunc((height(r, c) - 400) * 0.02);
        const double lai = right == 100 ? (forest ? 0.0 : 4.0) : std::max(line(forest ? 3 : 1, forest ? -1 : 4, right, 100), 0.0);
        const double z0 = right == 100 ? (forest ? 0.005 : 0.1) : line(forest ? 0.5 : 0.02, forest ? 0.005 : 0.1, right, 100);
        EXPECT_DOUBLE_EQ(At("leaf_area_index1", r, c), lai) << r << "," << c;
        EXPECT_DOUBLE_EQ(At("RoughnessLength1", r, c), std::max(z0, 0.01)) << r << "," << c;
        EXPECT_DOUBLE_EQ(At("albedo", r, c), right == 100 ? (forest ? 0.12 : 0.25) : line(forest ? 0.1 : 0.2, forest ? 0.12 : 0.25, right, 100));
        // Grass opens its balance period at fix point 2: reached at 400 m only.
        EXPECT_DOUBLE_EQ(At("VegetationStart1", r, c), !forest && right == 100 ? 100.0 : forest ? 0.0 : -1.0);
    });
}

// A cell whose altitude moves a fix point past the year stops the fill at the first such cell
// of each process, also where another cell of the land use at that altitude follows.
TEST_F(LanduseGridTest, AltitudeThatMovesAFixPointPastTheYearStopsAtItsFirstCell) {
    Build("1\n" + Grass("", "0 0 0.01 0"), GrassOnly);
    Elevation()[2][3] = 100000;
    Elevation()[4][5] = 100000;
    EXPECT_EQ(CreateFails(1, {0, 10, 4, 2001}), 152);
    const std::string message = "altitude correction resulted in a Julian day of 1196 for fix point 3";
    if (OwnerOf(2, 3) == Rank()) {
        EXPECT_EQ(Count(message), 1u);
        EXPECT_TRUE(Logged("Coordinates: i=2, j=3"));
        EXPECT_FALSE(Logged("Coordinates: i=4, j=5"));
    } else if (OwnerOf(4, 5) == Rank()) {
        EXPECT_EQ(Count(message), 1u);
        EXPECT_TRUE(Logged("Coordinates: i=4, j=5"));
    } else {
        EXPECT_TRUE(Logged("stopped with error code 152 of another process"));
    }
}

TEST_F(LanduseGridTest, EveryStepCountsTheOwnCellsOfEachLayerInTheirPeriod) {
    // Grass starts its period on day 100, forest has none; cell (3, 4) leaves the zones after
    // the start (its counts become nodata on the processes whose rows hold it), other
    // processes' cells keep what they hold (77).
    Build("2\n" + Grass() + Forest(), Layout, [](int, int c) { return c == 2 ? 1.0 : 2.0; }, 2);
    Object().hourOffset = 1;
    Create(2, {0, 10, 4, 2001});
    Of("[zone_grid]")[3][4] = kNodata;
    using G = LanduseParameterGrids;
    const auto mine = [this](int r, int c) { return ValidZone(r, c) && OwnerOf(r, c) == talvo_test::Rank(); };
    double before[3][kRows + 1][kCols + 1] = {};
    for (int l = 1; l <= 2; ++l) {
        Matrix& duration = *Grids().Grid(G::kVegetationDuration, l);
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c)
                if (duration.holds(r) && ValidZone(r, c)) {
                    if (!mine(r, c)) {
                        duration[r][c] = 77;
                        (*Grids().Grid(G::kVegetationStart, l))[r][c] = 1;  // in a period if it were counted
                        (*Grids().Grid(G::kVegetationStop, l))[r][c] = 0;
                    }
                    before[l][r][c] = duration[r][c];
                }
    }
    for (int h = 0; h <= 2; ++h) Step(h, 11, 4, 2001, 60);
    for (int l = 1; l <= 2; ++l) {
        const Matrix& duration = *Grids().Grid(G::kVegetationDuration, l);
        const Matrix& start = *Grids().Grid(G::kVegetationStart, l);
        const Matrix& stop = *Grids().Grid(G::kVegetationStop, l);
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                if (!duration.holds(r) || !ValidZone(r, c)) continue;
                double want = before[l][r][c] + (mine(r, c) && start[r][c] >= 0 && stop[r][c] <= 0 ? 3 : 0);
                if (r == 3 && c == 4 && r >= Object().firstRow && r <= Object().lastRow) want = kNodata;
                EXPECT_EQ(duration[r][c], want) << "layer " << l << " row " << r << " column " << c;
            }
    }
}

TEST_F(LanduseGridTest, TheDailyUpdateGivesEachCellTheValuesOfItsLandUseAndAltitude) {
    // Both land uses shift their fix points by altitude; along a row the altitude changes
    // between columns 3 and 4 and back at column 6, and the land use between columns.
    Build("2\n" + Grass("", "0 0.01 0.02 0") + Forest("0 0.01 0.02 0"), Layout,
          [](int, int c) { return c == 2 ? 1.0 : 2.0; }, 2);
    Create(2, {0, 10, 4, 2001});
    for (int r = 1; r <= kRows; ++r)
        for (int c = 4; c <= 5; ++c) Elevation()[r][c] += 2000;
    Step(0, 11, 4, 2001, 1440);  // day 101
    using P = landuse_entry::Parameter;
    ForOwnCells([&](int r, int c) {
        for (int l = 1; l <= 2; ++l) {
            const double code = l == 1 ? Layout(r, c) : (c == 2 ? 1.0 : 2.0);
            if (code == kNodata) continue;
            const landuse_entry& e = Table()[static_cast<std::size_t>(code)];
            const double h = Elevation()[r][c];
            const auto of = [&](P p) { return e.ValueAtJulianDay(nullptr, p, 101, l, r, c, h); };
            const std::string n = std::to_string(l);
            EXPECT_EQ(At("leaf_area_index" + n, r, c), std::max(of(P::LAI), 0.0)) << r << "," << c << " " << l;
            EXPECT_EQ(At("vegetation_coverage_degree" + n, r, c), std::clamp(of(P::VCF), 0.0, 1.0));
            EXPECT_EQ(At("RoughnessLength" + n, r, c), of(P::Z0) <= 0 ? 0.01 : of(P::Z0));
            EXPECT_EQ(At("SurfaceCanopyResistance" + n, r, c), of(P::rsc));
            if (l == 1) { EXPECT_EQ(At("albedo", r, c), of(P::Albedo)); }
        }
    });
}

// A run that continues an earlier one (it reads the albedo that run wrote) starts from the
// values of the day before its start date, and keeps the albedo it read.
TEST_F(LanduseGridTest, AContinuedRunStartsFromTheDayBeforeItsStart) {
    struct Case {
        LanduseParameterGrids::Date start;
        bool continued;
        double lai;  // grass: 1, 4, 5, 2 at days 1, 100, 200, 366, linear in between
    };
    const Case cases[] = {
        {{0, 1, 1, 2001}, true, 2.0},                 // 31 December 2000, day 366
        {{0, 1, 1, 2001}, false, 1.0},                // 1 January, day 1
        {{0, 1, 3, 2000}, true, 1.0 + 59 * 3 / 99.0},  // 29 February 2000, day 60
        {{0, 1, 3, 2001}, true, 1.0 + 58 * 3 / 99.0},  // 28 February 2001, day 59
        {{0, 11, 4, 2001}, true, 4.0},                // 10 April, day 100
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(StrFormat("%d.%d.%d continued %d", static_cast<int>(k.start.day), static_cast<int>(k.start.month),
                               static_cast<int>(k.start.year), k.continued ? 1 : 0));
        Build("1\n" + Grass(), GrassOnly);
        Create(1, k.start, k.continued);
        ForOwnCells([&](int r, int c) {
            if (GrassOnly(r, c) == kNodata) return;
            EXPECT_NEAR(At("leaf_area_index1", r, c), k.lai, 1e-12) << r << "," << c;
            // The albedo of the earlier run stays; a new run takes the table's (0.2 on 1 January).
            if (k.continued) {
                EXPECT_EQ(At("albedo", r, c), 0.5);
            } else {
                EXPECT_NEAR(At("albedo", r, c), 0.2, 1e-12);
            }
        });
    }
}

TEST_F(LanduseGridTest, MissingAlbedoStopsEveryProcess) {
    Build("1\n" + Grass(), Layout, nullptr, 1, false);
    EXPECT_EQ(CreateFails(1, {0, 10, 4, 2001}), 12);
    EXPECT_TRUE(Logged("Albedo Grid not found for use within Landuse-Table.\n This grid must be read in as standard "
                       "or variable grid (there, it can be created automatically)"));
}

TEST_F(LanduseGridTest, ValueThatIsNoTablePositionStopsEveryProcess) {
    Build("1\n" + Grass(), [](int r, int c) { return r == 4 && c == 5 ? 7.0 : 1.0; });
    EXPECT_EQ(CreateFails(1, {0, 10, 4, 2001}), 31);
    if (OwnerOf(4, 5) == Rank()) {
        EXPECT_TRUE(Logged("land use 7 in grid landuse1 (row 4, column 5) is not a position of the land use table"));
    } else {
        EXPECT_TRUE(Logged("stopped with error code 31 of another process"));
    }
}

// A failure inside the parallel daily update is reported once, as a serial run reports it,
// and every process stops with its code.
TEST_F(LanduseGridTest, FailureOfTheDailyUpdateStopsEveryProcess) {
    Build("1\n" + Grass("", "0 0 0.01 0"), GrassOnly);
    Create(1, {0, 10, 4, 2001});
    Elevation()[4][5] = 100000;
    Elevation()[4][6] = 200000;
    EXPECT_EQ(talvo_test::ErrorCode([&] { Step(0, 11, 4, 2001, 1440); }), 152);
    const std::string message = "altitude correction resulted in a Julian day of 1196 for fix point 3";
    if (OwnerOf(4, 5) == Rank()) { EXPECT_EQ(Count(message), 1u); }
    if (OwnerOf(4, 5) == Rank() && OwnerOf(4, 6) == Rank()) { EXPECT_FALSE(Logged("of 2196")); }
}

}  // namespace
