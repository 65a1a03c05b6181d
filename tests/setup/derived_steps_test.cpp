// The derived-grid steps of the set-up: cell sizes and relative cell area, coordinates, slope
// and aspect, the ice and firn grid. Every process must hold, in every row it holds, what one
// process computes over the whole grid, and process 0 writes the same files for any number of
// processes.
#include <gtest/gtest.h>

#include <mpi.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "domain_fixture.hpp"
#include "setup/derivedgrids.hpp"

using setup_test::GridText;
using setup_test::kNd;
using setup_test::Fill;
using setup_test::OnZone;
using setup_test::Rows;

namespace {

// 6 rows x 12 columns, a basin with a ragged border (codes 3 and 5); no row has more runs of
// cells than the strip table of four processes can hold.
const Rows kZone = {
    {kNd, kNd, 3, 3, 3, 3, kNd, kNd, kNd, kNd, kNd, kNd}, {kNd, 3, 3, 3, 3, 5, 5, kNd, kNd, kNd, kNd, kNd},
    {3, 3, 3, 3, 5, 5, 5, 5, 5, kNd, kNd, kNd},           {3, 3, 3, kNd, kNd, 5, 5, 5, 5, 5, kNd, kNd},
    {kNd, 3, 3, kNd, kNd, 5, 5, 5, 5, 5, kNd, kNd},       {kNd, kNd, 3, kNd, kNd, 5, kNd, kNd, kNd, kNd, kNd, kNd},
};

Rows Constant(double v) { return Rows(kZone.size(), std::vector<double>(kZone[0].size(), v)); }

class DerivedStepsTest : public setup_test::SmallDomainTest {
protected:
    // Every process holds its rows of slope s and aspect a, and process 0 wrote both files.
    void ExpectSlopeAndAspect(const Rows& s, const Rows& a) {
        ExpectHeldRows("slope_angle", s);
        ExpectHeldRows("slope_aspect", a);
        EXPECT_EQ(SharedFile("dem.$sl"), GridText(s, 1000, 2000, 10));
        EXPECT_EQ(SharedFile("dem.$ex"), GridText(a, 1000, 2000, 10));
    }
};

TEST_F(DerivedStepsTest, WithoutGivenGridsCellsHaveTheHeaderSizeAndCoordinatesTheirCorners) {
    // A zone grid named without a dot gets the suffixes appended.
    Build(kZone, Fill(6, 12, [](int, int) { return 100.0; }), 1000, 2000, 10, "basin", "dem.grd");
    const int before = setup_->StandardGridCount();
    setup_->CreateCellSizeGrids();
    setup_->CreateCoordinateGrids();

    const Rows one = OnZone(kZone, 1.0);
    const Rows ten = OnZone(kZone, 10.0);
    const Rows cx = OnZone(kZone, [](int, int c) { return 1000.0 + (c - 1) * 10.0; });
    const Rows cy = OnZone(kZone, [](int r, int) { return 2000.0 + (6 - r) * 10.0; });
    ExpectHeldRows("RelCellArea", one);
    ExpectHeldRows("CellSizeX", ten);
    ExpectHeldRows("CellSizeY", ten);
    ExpectHeldRows("CoordX", cx);
    ExpectHeldRows("CoordY", cy);
    EXPECT_EQ(setup_->relCellArea, (*store_)[setup_->FindGrid("RelCellArea", true)].grid);
    EXPECT_EQ(setup_->StandardGridCount(), before + 5);

    // Written once, by write code 1, which is taken back afterwards.
    EXPECT_EQ(SharedFile("basin.$rca"), GridText(one, 1000, 2000, 10));
    EXPECT_EQ(SharedFile("basin.$csx"), GridText(ten, 1000, 2000, 10));
    EXPECT_EQ(SharedFile("basin.$csy"), GridText(ten, 1000, 2000, 10));
    EXPECT_EQ(SharedFile("basin.$cx"), GridText(cx, 1000, 2000, 10));
    EXPECT_EQ(SharedFile("basin.$cy"), GridText(cy, 1000, 2000, 10));
    for (const char* name : {"RelCellArea", "CellSizeX", "CoordY"})
        EXPECT_EQ((*store_)[setup_->FindGrid(name, true)].units, 0) << name;
    EXPECT_TRUE(Logged("Checking cell sizes for variable Cells..."));
}

TEST_F(DerivedStepsTest, GivenCellSizesAndAreaMustAgreeToOneThousandthPercent) {
    Build(kZone, {});
    Given("csx.grd", "CellSizeX", 10.0);
    Given("csy.grd", "CellSizeY", 10.0);
    Rows area = OnZone(kZone, 1.000005);
    const int areaIndex = Given("rca.grd", "RelCellArea", area);
    setup_->relCellArea = (*store_)[areaIndex].grid;
    setup_->CreateCellSizeGrids();
    // Nothing was derived, so nothing is written.
    EXPECT_FALSE(Exists("basin.$csx"));
    EXPECT_FALSE(Exists("basin.$rca"));

    Build(kZone, {});
    Given("csx.grd", "CellSizeX", 10.0);
    Given("csy.grd", "CellSizeY", 10.0);
    area[3][2] = 1.1;
    setup_->relCellArea = (*store_)[Given("rca.grd", "RelCellArea", area)].grid;
    EXPECT_EQ(ErrorCode([&] { setup_->CreateCellSizeGrids(); }), 66);
    if (setup_->rank == 0) {
        EXPECT_TRUE(Logged("Cell size Y (10, from csy.grd) times\ncell size X (10, from csx.grd) \ndivided by the "
                           "mean cell area is 1 and differs from \nthe relative grid cell size 1.1 (from rca.grd) by "
                           "more than 0.001%%\n"));
    }
}

TEST_F(DerivedStepsTest, ZeroCellSizesStopTheRun) {
    Rows sizes = OnZone(kZone, 10.0);
    sizes[2][4] = 0;
    for (const char* axis : {"y", "x"}) {
        const std::string file = StrFormat("cs%s.grd", axis);
        Build(kZone, {});
        Given(file, StrFormat("CellSize%c", axis[0] - 32), sizes);
        EXPECT_EQ(ErrorCode([&] { setup_->CreateCellSizeGrids(); }), 66);
        if (setup_->rank == 0) {
            EXPECT_TRUE(Logged(StrFormat("cell size in %s direction is zero at row 3, column 5,\nread from file %s",
                                         axis, file.c_str())));
        }
    }
}

TEST_F(DerivedStepsTest, OneGivenCellSizeDerivesTheOtherFromAUnitArea) {
    Build(kZone, {});
    Given("csx.grd", "CellSizeX", 5.0);
    setup_->CreateCellSizeGrids();
    ExpectHeldRows("RelCellArea", OnZone(kZone, 1.0));
    ExpectHeldRows("CellSizeY", OnZone(kZone, 20.0));
    EXPECT_FALSE(Exists("basin.$csx"));
    EXPECT_TRUE(Exists("basin.$csy"));
}

TEST_F(DerivedStepsTest, AGivenAreaAloneGivesSquareCellsOfThatArea) {
    // Relative areas 4 and 0.25: square cells of twice and half the header size (10).
    const Rows area = OnZone(kZone, [](int, int c) { return c <= 6 ? 4.0 : 0.25; });
    Build(kZone, {});
    setup_->relCellArea = (*store_)[Given("rca.grd", "RelCellArea", area)].grid;
    setup_->CreateCellSizeGrids();
    const Rows side = OnZone(kZone, [](int, int c) { return c <= 6 ? 20.0 : 5.0; });
    ExpectHeldRows("CellSizeX", side);
    ExpectHeldRows("CellSizeY", side);
    ExpectHeldRows("RelCellArea", area);
    EXPECT_TRUE(Exists("basin.$csx"));
    EXPECT_TRUE(Exists("basin.$csy"));
    EXPECT_FALSE(Exists("basin.$rca"));
}

// Given sizes of the variable-size test: column c is 10 + c wide, row r is 20 - r high; outside
// the basin they become nodata, which the coordinates count as the header cell size.
double SizeX(int r, int c) { return kZone[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)] == kNd ? 10.0 : 10.0 + c; }
double SizeY(int r, int c) { return kZone[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)] == kNd ? 10.0 : 20.0 - r; }

TEST_F(DerivedStepsTest, VariableCellSizesAccumulateCoordinatesOverTheWholeGrid) {
    Build(kZone, {});
    Given("csx.grd", "CellSizeX", Fill(6, 12, [](int, int c) { return 10.0 + c; }));
    Given("csy.grd", "CellSizeY", Fill(6, 12, [](int r, int) { return 20.0 - r; }));
    setup_->CreateCellSizeGrids();
    setup_->CreateCoordinateGrids();
    ExpectHeldRows("RelCellArea", OnZone(kZone, [](int r, int c) { return (10.0 + c) * (20.0 - r) / 100.0; }));
    // Rows run from the left border; the last row starts at its first valid column (3).
    ExpectHeldRows("CoordX", OnZone(kZone, [](int r, int c) {
                       const int start = r == 6 ? 3 : 1;
                       double x = 1000.0 + (start - 1) * 10.0;
                       for (int k = start; k < c; ++k) x += SizeX(r, k);
                       return x;
                   }));
    // Columns run up from the last row; column 1 keeps the header spacing.
    ExpectHeldRows("CoordY", OnZone(kZone, [](int r, int c) {
                       if (c == 1) return 2000.0 + (6 - r) * 10.0;
                       double y = 2000.0;
                       for (int k = 6; k > r; --k) y += SizeY(k, c);
                       return y;
                   }));
}

// A basin of 20 rows with holes and ragged borders, so that at 2 and 4 processes every process
// has rows of its own between rows it shares with its neighbours.
Rows TallZone() {
    return Fill(20, 16, [](int r, int c) {
        if ((r + 2 * c) % 11 == 0 || (r == 1 && c < 3) || (r > 15 && c > 13) || (r == 20 && c < 4)) return kNd;
        return static_cast<double>(3 + (r > 10 ? 2 : 0));
    });
}

// Every process derives its inner rows itself and takes the rows it shares from process 0;
// each held cell equals the whole-grid result (given X, derived Y and area, accumulated
// coordinates), with cell sizes given or derived.
TEST_F(DerivedStepsTest, TallBasinCellSizesAndCoordinatesEqualTheWholeGridResultOnEveryProcess) {
    for (const bool givenX : {true, false}) {
        const Rows zone = TallZone();
        const auto valid = [&](int r, int c) { return zone[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)] != kNd; };
        const auto sizeX = [&](int r, int c) { return givenX ? 10.0 + c + (r % 3) * 0.1 : 10.0; };
        Build(zone, {});
        if (givenX) Given("csx.grd", "CellSizeX", Fill(20, 16, sizeX));
        setup_->CreateCellSizeGrids();
        setup_->CreateCoordinateGrids();
        // Y from a unit area: 100 / x; coordinates count cells outside the basin as 10 wide.
        const auto sizeY = [&](int r, int c) { return 1.0 * 10 * 10 / sizeX(r, c); };
        const auto cellX = [&](int r, int c) { return valid(r, c) ? sizeX(r, c) : 10.0; };
        const auto cellY = [&](int r, int c) { return valid(r, c) ? sizeY(r, c) : 10.0; };
        ExpectHeldRows("CellSizeX", OnZone(zone, sizeX));
        ExpectHeldRows("CellSizeY", OnZone(zone, sizeY));
        ExpectHeldRows("RelCellArea", OnZone(zone, 1.0));
        ExpectHeldRows("CoordX", OnZone(zone, [&](int r, int c) {
                           const int start = r == 20 ? 4 : 1;
                           double x = 1000.0 + (start - 1) * 10.0;
                           for (int k = start; k < c; ++k) x += cellX(r, k);
                           return x;
                       }));
        ExpectHeldRows("CoordY", OnZone(zone, [&](int r, int c) {
                           if (c == 1) return 2000.0 + (20 - r) * 10.0;
                           double y = 2000.0;
                           for (int k = 20; k > r; --k) y += cellY(k, c);
                           return y;
                       }));
    }
}

// Binary files of a tall basin with holes in its elevation: each is process 0's whole copy
// as one process writes it. A failed write ends every process with its code; the grids
// after it in the same step are not written.
TEST_F(DerivedStepsTest, TallBasinBinaryFilesAreTheWholeCopiesAndAFailedWriteStopsEveryProcess) {
    const Rows zone = TallZone();
    Rows terrain = Fill(20, 16, [](int r, int c) { return 800.0 + 2.0 * r * r - 5.0 * c + r * c; });
    for (const auto& [r, c] : {std::pair{4, 6}, {9, 9}, {10, 2}, {11, 9}, {17, 14}}) terrain[r][c] = kNd;
    Build(zone, terrain);
    setup_->textOutput = false;
    setup_->CreateCellSizeGrids();
    setup_->CreateCoordinateGrids();
    setup_->make_Slope_and_Aspect();
    const std::pair<const char*, const char*> files[] = {
        {"basin.$rca", "RelCellArea"}, {"basin.$csx", "CellSizeX"},  {"basin.$cx", "CoordX"},
        {"basin.$cy", "CoordY"},       {"dem.$sl", "slope_angle"}, {"dem.$ex", "slope_aspect"}};
    for (const auto& [file, name] : files) {
        if (setup_->rank == 0) setup_->WriteGrid("whole.bin", *(*store_)[setup_->FindGrid(name, true)].grid, false, false);
        EXPECT_EQ(SharedFile(file), SharedFile("whole.bin")) << file;
    }

    MPI_Barrier(MPI_COMM_WORLD);
    if (setup_->rank == 0) {
        for (const char* file : {"basin.$csx", "basin.$csy", "basin.$rca"}) std::remove(file);
        ASSERT_EQ(mkdir("basin.$csy", 0755), 0);
    }
    Build(zone, terrain);
    setup_->textOutput = false;
    ExpectFailedWriteStopsEveryProcess([&] { setup_->CreateCellSizeGrids(); });
    EXPECT_TRUE(Exists("basin.$csx"));
    EXPECT_FALSE(Exists("basin.$rca"));
}

// Text files of a tall basin (values with exponents, signs and holes): every process formats a
// share of each file's rows, and each file is what process 0 writes from its whole copy alone.
// A failed write still ends every process with its code.
TEST_F(DerivedStepsTest, TallBasinTextFilesFormattedTogetherAreProcessZerosOwnFiles) {
    const Rows zone = TallZone();
    Rows terrain = Fill(20, 16, [](int r, int c) { return 1e-7 * r * c - 3.5e5 * (r % 2) + 700.0 + c * 0.125; });
    for (const auto& [r, c] : {std::pair{4, 6}, {9, 9}, {17, 14}}) terrain[r][c] = kNd;
    Build(zone, terrain);
    setup_->textOutput = true;
    setup_->CreateCellSizeGrids();
    setup_->CreateCoordinateGrids();
    setup_->make_Slope_and_Aspect();
    const std::pair<const char*, const char*> files[] = {
        {"basin.$rca", "RelCellArea"}, {"basin.$csy", "CellSizeY"}, {"basin.$cx", "CoordX"},
        {"basin.$cy", "CoordY"},       {"dem.$sl", "slope_angle"}, {"dem.$ex", "slope_aspect"}};
    for (const auto& [file, name] : files) {
        if (setup_->rank == 0) setup_->WriteGrid("whole.txt", *(*store_)[setup_->FindGrid(name, true)].grid, true, false);
        EXPECT_EQ(SharedFile(file), SharedFile("whole.txt")) << file;
    }

    MPI_Barrier(MPI_COMM_WORLD);
    if (setup_->rank == 0) {
        for (const char* file : {"basin.$csx", "basin.$csy", "basin.$rca"}) std::remove(file);
        ASSERT_EQ(mkdir("basin.$csy", 0755), 0);
    }
    Build(zone, terrain);
    setup_->textOutput = true;
    ExpectFailedWriteStopsEveryProcess([&] { setup_->CreateCellSizeGrids(); });
    EXPECT_TRUE(Exists("basin.$csx"));
    EXPECT_FALSE(Exists("basin.$rca"));
}

// Binary files of the derived grids carry the statistics of one count per value in row order
// over each row's basin columns, weighted by the relative cell area, at any number of
// processes: a basin whose rows are whole between their first and last cell (each value of
// such a row counted), a flat part of the terrain (slopes and aspects of zero) and
// coordinates running through zero.
TEST_F(DerivedStepsTest, BinaryFilesCarryTheOneByOneStatisticsOfTheirValues) {
    const Rows zone = Fill(20, 16, [](int r, int c) {
        return c >= 1 + r % 4 && c <= 16 - r % 3 ? 3.0 + (r > 10 ? 2 : 0) : kNd;
    });
    const Rows terrain = Fill(20, 16, [](int r, int c) { return r < 8 ? 500.0 : 500.0 + 2.0 * r - 3.0 * c + (r * c) % 5; });
    for (const bool doubles : {false, true}) {
        Build(zone, terrain, -50, -100, 10);
        setup_->textOutput = false;
        setup_->doublePrecision = doubles;
        setup_->CreateCellSizeGrids();
        setup_->CreateCoordinateGrids();
        setup_->make_Slope_and_Aspect();
        for (const auto& [file, name] : {std::pair{"basin.$rca", "RelCellArea"}, {"basin.$csy", "CellSizeY"},
                                         {"basin.$cx", "CoordX"}, {"basin.$cy", "CoordY"},
                                         {"dem.$sl", "slope_angle"}, {"dem.$ex", "slope_aspect"}}) {
            const std::string bytes = SharedFile(file);
            if (setup_->rank != 0) continue;
            defaultini& s = *setup_;
            const Matrix& g = *(*store_)[s.FindGrid(name, true)].grid;
            s.ResetStatistics(kNd);
            for (int r = 1; r <= s.nrows; ++r) {
                const ColumnRange range = (*s.basinColumns)[static_cast<std::size_t>(r)];
                for (int c = range.first; c <= range.last; ++c) s.AddToStatistics(g[r][c], (*s.relCellArea)[r][c]);
            }
            double want[6];
            s.GetStatistics(&want[0], &want[1], &want[2], &want[3], &want[4], &want[5]);
            if (doubles) {
                ASSERT_GE(bytes.size(), sizeof(double) * 12) << file;
                EXPECT_EQ(std::memcmp(bytes.data() + 6 * sizeof(double), want, sizeof want), 0) << file;
            } else {
                float head[6];
                for (int k = 0; k < 6; ++k) head[k] = static_cast<float>(want[k]);
                ASSERT_GE(bytes.size(), sizeof(float) * 12) << file;
                EXPECT_EQ(std::memcmp(bytes.data() + 6 * sizeof(float), head, sizeof head), 0) << file;
            }
        }
    }
}

// Elevation of a smooth surface with holes near the process boundaries.
Rows Terrain() {
    Rows e = Fill(6, 12, [](int r, int c) { return 500.0 + 3.0 * r * r - 7.0 * c + r * c; });
    e[2][3] = kNd;
    e[3][5] = kNd;
    e[0][0] = kNd;
    return e;
}

TEST_F(DerivedStepsTest, SlopeAndAspectEqualTheWholeGridResultOnEveryProcess) {
    const Rows terrain = Terrain();
    Build(kZone, terrain);
    setup_->make_Slope_and_Aspect();

    Rows s, a;
    setup_test::WholeGridSlopeAspect(terrain, 10, &s, &a);
    // Cells with a valid elevation are all filled; the hole in the middle has four valid
    // neighbours and gets a value of its own.
    EXPECT_EQ(s[0][0], kNd);
    EXPECT_NE(s[0][1], kNd);
    EXPECT_NE(s[2][3], kNd);
    ExpectSlopeAndAspect(s, a);
    EXPECT_TRUE(Logged("calculating the lokal topography (aspect, slope ...).. "));
}

// Elevation inside the basin only, a row without any and holes on the rows where the
// processes' rows meet at 2 and 4 processes: every process holds, and process 0 writes, the
// slope and aspect of the plain whole-grid computation.
TEST_F(DerivedStepsTest, TallBasinSlopeAndAspectWithHolesAtProcessBordersAreThePlainWholeGridResult) {
    const Rows zone = TallZone();
    Rows terrain = OnZone(zone, [](int r, int c) { return 800.0 + 2.0 * r * r - 5.0 * c + r * c; });
    terrain[7].assign(16, kNd);
    for (const auto& [r, c] : {std::pair{4, 6}, {5, 9}, {9, 3}, {10, 11}, {14, 5}, {15, 8}}) terrain[r][c] = kNd;
    Build(zone, terrain);
    setup_->make_Slope_and_Aspect();

    Rows s, a;
    setup_test::ReferenceSlopeAspect(terrain, 10, kNd, &s, &a);
    // The rows next to the row without elevation are filled throughout.
    EXPECT_NE(s[6][5], kNd);
    EXPECT_NE(a[8][5], kNd);
    ExpectSlopeAndAspect(s, a);
}

// At several processes each computes a block of rows from process 0's elevation model (the
// other processes' own copies play no part: here they hold other values), and process 0 fills
// the gaps in row order across the blocks' borders: a column of holes running through every
// block, a row without elevation, holes on the rows where blocks meet, elevation outside the
// basin. The result is the plain whole-grid one, with both grids derived or the aspect alone.
TEST_F(DerivedStepsTest, SlopeAndAspectComputedInBlocksAreTheWholeGridResultAcrossTheirBorders) {
    const Rows zone = TallZone();
    Rows terrain = Fill(20, 16, [](int r, int c) { return 700.0 + 1.5 * r * r - 4.0 * c + 0.5 * r * c + (r * c) % 7; });
    for (int r = 3; r <= 17; ++r) terrain[static_cast<std::size_t>(r - 1)][7] = kNd;
    terrain[9].assign(16, kNd);
    for (const auto& [r, c] : {std::pair{5, 3}, {6, 3}, {11, 12}, {14, 4}, {15, 4}, {19, 10}})
        terrain[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)] = kNd;
    Rows s, a;
    setup_test::ReferenceSlopeAspect(terrain, 10, kNd, &s, &a);
    // The cells beside the holes of column 8 are gaps, filled one from the other down the
    // column; so are the rows next to the empty one.
    EXPECT_NE(s[15][6], kNd);
    EXPECT_NE(a[10][8], kNd);
    EXPECT_NE(s[8][3], kNd);
    for (const bool givenSlope : {false, true}) {
        Build(zone, terrain);
        if (givenSlope) Given("slope.grd", "slope_angle", 12.0);
        if (setup_->rank != 0) (*store_)[2].grid->fill(1.0);
        setup_->make_Slope_and_Aspect();
        ExpectHeldRows("slope_angle", givenSlope ? Fill(20, 16, [](int, int) { return 12.0; }) : s);
        ExpectHeldRows("slope_aspect", a);
        if (!givenSlope) {
            EXPECT_EQ(SharedFile("dem.$sl"), GridText(s, 1000, 2000, 10));
        }
        EXPECT_EQ(SharedFile("dem.$ex"), GridText(a, 1000, 2000, 10));
    }
}

TEST_F(DerivedStepsTest, PlanesGiveTheirSlopeAndAspect) {
    struct Case {
        double (*elevation)(int, int);
        double slope, aspect;
    };
    const Case cases[] = {
        {[](int, int c) { return 1000.0 - 10.0 * c; }, 45, 90},   // rising towards the west
        {[](int r, int) { return 1000.0 - 10.0 * r; }, 45, 180},  // rising towards the north
        {[](int, int) { return 700.0; }, 0, 0},                   // flat
    };
    for (const Case& k : cases) {
        Build(kZone, Fill(6, 12, k.elevation));
        setup_->make_Slope_and_Aspect();
        ExpectHeldRows("slope_angle", Constant(k.slope), 1e-9);
        ExpectHeldRows("slope_aspect", Constant(k.aspect), 1e-9);
    }
}

TEST_F(DerivedStepsTest, GivenSlopeAndAspectAreUsedUnchanged) {
    Build(kZone, Terrain());
    Given("slope.grd", "slope_angle", 12.0);
    Given("aspect.grd", "slope_aspect", 34.0);
    const int before = setup_->StandardGridCount();
    setup_->make_Slope_and_Aspect();
    EXPECT_EQ(setup_->StandardGridCount(), before);
    ExpectHeldRows("slope_angle", Constant(12.0));
    EXPECT_FALSE(Exists("dem.$sl"));
    EXPECT_FALSE(Exists("dem.$ex"));
    EXPECT_FALSE(Logged("calculating the lokal topography"));

    // Only the missing one is derived.
    Build(kZone, Terrain());
    Given("slope.grd", "slope_angle", 12.0);
    setup_->make_Slope_and_Aspect();
    ExpectHeldRows("slope_angle", Constant(12.0));
    EXPECT_FALSE(Exists("dem.$sl"));
    EXPECT_TRUE(Exists("dem.$ex"));
}

TEST_F(DerivedStepsTest, WithoutElevationModelNoSlopeIsMade) {
    Build(kZone, {});
    setup_->make_Slope_and_Aspect();
    EXPECT_EQ(setup_->FindGrid("slope_angle", true), 0);
}

TEST_F(DerivedStepsTest, IceAndFirnGridIsLookedUpByName) {
    Build(kZone, {});
    setup_->check_ice_firn_grid();
    const int free = setup_->FirstFreeEntry();
    EXPECT_TRUE(Logged(StrFormat("ice-grid not found in memory (at position %d)", free)));
    console_.str("");
    Given("ice.grd", "ice_firn", 1.0);
    setup_->check_ice_firn_grid();
    EXPECT_FALSE(Logged("ice-grid not found"));
}

TEST_F(DerivedStepsTest, AFullGridStoreIsErrorTwelve) {
    // With the slope given, the aspect has no room.
    Build(kZone, Terrain());
    Given("slope.grd", "slope_angle", 12.0);
    while (setup_->FirstFreeEntry() <= GridStore::kMaxIndex) {
        GridStoreEntry& e = (*store_)[setup_->FirstFreeEntry()];
        e.internalName = "taken";
        e.hasInternalName = true;
    }
    EXPECT_EQ(ErrorCode([&] { setup_->make_Slope_and_Aspect(); }), 12);
    EXPECT_TRUE(Logged("no free grid left (at position 1000)\n"));

    setup_.reset();
    store_ = std::make_unique<GridStore>();
    Build(kZone, Terrain());
    while (setup_->FirstFreeEntry() <= GridStore::kMaxIndex) {
        GridStoreEntry& e = (*store_)[setup_->FirstFreeEntry()];
        e.internalName = "taken";
        e.hasInternalName = true;
    }
    EXPECT_EQ(ErrorCode([&] { setup_->CreateCoordinateGrids(); }), 12);
    EXPECT_EQ(ErrorCode([&] { setup_->make_Slope_and_Aspect(); }), 12);
    EXPECT_TRUE(Logged("no free grid found in memeory (at position 1000)"));
}

}  // namespace
