// The regression regions step of the set-up: the region grid, the transition distance, the
// region ranking and the grids of up to three regions per cell with their weights, the same on
// every process and in the files for any number of processes.
#include <gtest/gtest.h>

#include <mpi.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "domain_fixture.hpp"
#include "setup/regionweights.hpp"

using setup_test::GridText;
using setup_test::kNd;
using setup_test::Fill;
using setup_test::Rows;

namespace {

constexpr int kRows = 6, kCols = 12;

// Weight of the own region in column c when columns 1-6 and 7-12 are two regions.
double OwnWeight(int c) {
    const int distance = std::min(4, c <= 6 ? 7 - c : c - 6);
    return std::min(1.0, distance / 8.0 + 0.5);
}

// The five weight grids one process computes over the whole grid (D in cells).
std::array<Rows, 5> OneProcessWeights(const Rows& zone, const Rows& regions, double D, int regionCount) {
    const int rows = static_cast<int>(zone.size()), cols = static_cast<int>(zone[0].size());
    memory_handling mh;
    Matrix reg = mh.matrix(1, rows, 1, cols, rows), z = mh.matrix(1, rows, 1, cols, rows);
    Matrix out[5];
    for (Matrix& m : out) m = mh.matrix(1, rows, 1, cols, rows);
    std::vector<ColumnRange> columns(static_cast<std::size_t>(rows) + 1, ColumnRange{0, -1});
    for (int r = 1; r <= rows; ++r)
        for (int c = 1; c <= cols; ++c) {
            const double v = zone[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)];
            z[r][c] = v;
            reg[r][c] = v == kNd ? kNd : regions[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)];
            if (v == kNd) continue;
            ColumnRange& range = columns[static_cast<std::size_t>(r)];
            if (range.first == 0) range.first = c;
            range.last = c;
        }
    RegionWeightGrids whole{&reg, &out[0], &out[1], &out[2], &out[3], &out[4]};
    RegionWeightRows(reg, z, columns, 1, rows, rows, cols, D, regionCount, kNd, whole);
    std::array<Rows, 5> result;
    for (int k = 0; k < 5; ++k) result[static_cast<std::size_t>(k)] = Fill(rows, cols, [&](int r, int c) { return out[k][r][c]; });
    return result;
}

class RegionStepsTest : public setup_test::SmallDomainTest {
protected:
    // A rectangle of zone 1 with a nodata corner; transition distance 40 over cells of 10.
    void BuildBasin(const std::string& control = Control("")) {
        Rows zone = Fill(kRows, kCols, [](int, int) { return 1.0; });
        zone[0][0] = kNd;
        Build(zone, {}, 1000, 2000, 10, "basin.asc", "dem.grd", control);
    }
    // Process 0's grid of that name, known to every process.
    Rows RootGrid(const std::string& name) {
        const int nr = setup_->nrows, nc = setup_->ncols;
        std::vector<double> flat(static_cast<std::size_t>(nr * nc));
        if (setup_->rank == 0) {
            const Matrix& m = *(*store_)[setup_->FindGrid(name, true)].grid;
            for (int r = 1; r <= nr; ++r)
                for (int c = 1; c <= nc; ++c) flat[static_cast<std::size_t>((r - 1) * nc + c - 1)] = m[r][c];
        }
        MPI_Bcast(flat.data(), nr * nc, MPI_DOUBLE, 0, MPI_COMM_WORLD);
        Rows out(static_cast<std::size_t>(nr));
        for (int r = 0; r < nr; ++r) out[static_cast<std::size_t>(r)].assign(flat.begin() + r * nc, flat.begin() + (r + 1) * nc);
        return out;
    }
    // Every process's rows and process 0's whole grids of the three regions' weights are what one
    // process computes (distance in map units over cells of 10); returns those grids.
    std::array<Rows, 5> ExpectOneProcessWeights(const Rows& zone, const Rows& regions, double distance) {
        const std::array<Rows, 5> out = OneProcessWeights(zone, regions, distance / 10, 3);
        const char* names[5] = {"regression_weights1", "regression_regions2", "regression_weights2",
                                "regression_regions3", "regression_weights3"};
        for (int k = 0; k < 5; ++k) {
            ExpectHeldRows(names[k], out[static_cast<std::size_t>(k)]);
            EXPECT_EQ(RootGrid(names[k]), out[static_cast<std::size_t>(k)]) << names[k] << ", distance " << distance;
        }
        return out;
    }
    // The ranking of a ragged basin against a count of its cells: the regions change from cell
    // to cell, or in runs of several cells that the processes' shares of a row cut anywhere.
    void ExpectRankingOfRaggedBasin(bool longRuns) {
        constexpr int rows = 17, cols = 11;
        const Rows zone = Fill(rows, cols, [](int r, int c) { return (c + 2 * r) % 9 == 0 || (r > 12 && c > 6) ? kNd : 1.0; });
        const Rows regions = Fill(rows, cols, [&](int r, int c) {
            return longRuns ? double(3 + (r + (c + r % 3) / 4) % 7) : double(9 - (r * 3 + c) % 7);
        });
        Build(zone, {}, 1000, 2000, 10, "basin.asc", "dem.grd", Control(""));
        Given("regions.asc", "regression_regions", regions);
        setup_->MakeRegionWeightGrids();
        const RegionTables& t = setup_->Regions();
        ASSERT_EQ(t.regionCount, 7);
        for (int k = 1; k <= 7; ++k) {
            const int code = k + 2;  // codes 3..9
            EXPECT_EQ(t.codes[static_cast<std::size_t>(k)], code);
            EXPECT_EQ(t.codeToRegion[static_cast<std::size_t>(code)], k);
            double cells = 0, rowSum = 0, colSum = 0;
            for (int r = 1; r <= rows; ++r)
                for (int c = 1; c <= cols; ++c)
                    if (zone[r - 1][c - 1] != kNd && regions[r - 1][c - 1] == code) {
                        ++cells;
                        rowSum += r;
                        colSum += c;
                    }
            EXPECT_EQ(t.records[static_cast<std::size_t>(k)].cellCount, cells) << code;
            EXPECT_EQ(t.records[static_cast<std::size_t>(k)].meanRow, rowSum / cells) << code;
            EXPECT_EQ(t.records[static_cast<std::size_t>(k)].meanCol, colSum / cells) << code;
            EXPECT_EQ(t.records[static_cast<std::size_t>(k)].centreCol, static_cast<int>(colSum / cells)) << code;
        }
        EXPECT_EQ(t.maxCode, 9);
    }
};

TEST_F(RegionStepsTest, WithoutRegionGridTheBasinIsOneRegionOfWeightOne) {
    BuildBasin();
    setup_->MakeRegionWeightGrids();
    EXPECT_EQ(setup_->Regions().regionCount, 1);
    EXPECT_EQ(setup_->Regions().codeToRegion[1], 1);
    // The nodata corner lies outside row 1's column range: never computed, it keeps the 0 of
    // the new grid.
    Rows one = Fill(kRows, kCols, [](int, int) { return 1.0; });
    one[0][0] = 0.0;
    ExpectHeldRows("regression_weights1", one);
    EXPECT_EQ(setup_->FindGrid("regression_regions2", true), 0);
    EXPECT_EQ(setup_->FindGrid("regression_weights2", true), 0);
    EXPECT_EQ(SharedFile("basin.$w1"), GridText(one, 1000, 2000, 10));
    // The region grid itself is not written.
    EXPECT_FALSE(Exists("basin.$r1"));
    EXPECT_EQ((*store_)[setup_->FindGrid("regression_regions", true)].fileName, "basin.$r1");
}

TEST_F(RegionStepsTest, TwoRegionsBlendWithinTheTransitionDistance) {
    BuildBasin();
    Given("regions.asc", "regression_regions", Fill(kRows, kCols, [](int, int c) { return c <= 6 ? 1.0 : 2.0; }));
    setup_->MakeRegionWeightGrids();
    const RegionTables& t = setup_->Regions();
    ASSERT_EQ(t.regionCount, 2);
    EXPECT_EQ(t.records[1].cellCount, 35);  // the nodata corner is not counted
    EXPECT_EQ(t.records[2].centreCol, 9);
    EXPECT_DOUBLE_EQ(t.records[2].meanRow, 3.5);

    // D = 4 cells: the weight of the own region is (distance to the other one) / 8 + 0.5, at
    // most 1; a cell next to the border gets 0.625 and 0.375.
    Rows w1 = Fill(kRows, kCols, [](int, int c) { return OwnWeight(c); });
    Rows w2 = Fill(kRows, kCols, [](int, int c) { return 1.0 - OwnWeight(c); });
    Rows r2 = Fill(kRows, kCols, [](int, int c) { return c <= 6 ? (c >= 3 ? 2.0 : 0.0) : (c <= 10 ? 1.0 : 0.0); });
    for (Rows* g : {&w1, &w2, &r2}) (*g)[0][0] = 0.0;  // outside the column ranges
    EXPECT_EQ(w1[2][5], 0.625);
    EXPECT_EQ(w2[2][5], 0.375);
    ExpectHeldRows("regression_weights1", w1);
    ExpectHeldRows("regression_weights2", w2);
    ExpectHeldRows("regression_regions2", r2);
    EXPECT_EQ(setup_->FindGrid("regression_regions3", true), 0);
    EXPECT_EQ(SharedFile("regions.$w1"), GridText(w1, 1000, 2000, 10));
    EXPECT_EQ(SharedFile("regions.$w2"), GridText(w2, 1000, 2000, 10));
    EXPECT_EQ(SharedFile("regions.$r2"), GridText(r2, 1000, 2000, 10));
}

TEST_F(RegionStepsTest, ThreeRegionWeightsAddUpToOneOnEveryProcess) {
    BuildBasin();
    Given("regions", "regression_regions", Fill(kRows, kCols, [](int r, int c) { return c <= 4 ? 7.0 : (c <= 8 || r > 4 ? 3.0 : 9.0); }));
    setup_->MakeRegionWeightGrids();
    ASSERT_EQ(setup_->Regions().regionCount, 3);
    EXPECT_EQ(setup_->Regions().codeToRegion[3], 1);
    EXPECT_EQ(setup_->Regions().codeToRegion[9], 3);
    const Rows w1 = RootGrid("regression_weights1"), w2 = RootGrid("regression_weights2"),
               w3 = RootGrid("regression_weights3");
    for (int r = 0; r < kRows; ++r) {
        for (int c = 0; c < kCols; ++c) {
            if (r == 0 && c == 0) continue;
            const double a = w1[r][c], b = w2[r][c], d = w3[r][c];
            EXPECT_NEAR(a + b + d, 1.0, 1e-12) << r << " " << c;
            for (double w : {a, b, d}) {
                EXPECT_GE(w, 0.0);
                EXPECT_LE(w, 1.0);
            }
        }
    }
    for (const char* name : {"regression_weights1", "regression_regions2", "regression_weights2", "regression_regions3",
                             "regression_weights3"})
        ExpectHeldRows(name, RootGrid(name));
    // A region grid named without '.' gives its first weights the suffix ".$rw1".
    for (const char* file : {"regions.$rw1", "regions.$r2", "regions.$w2", "regions.$r3", "regions.$w3"})
        EXPECT_TRUE(Exists(file)) << file;
}

TEST_F(RegionStepsTest, TransitionDistanceOfZeroKeepsEveryCellInItsRegion) {
    BuildBasin("[region_transition_distance]\n0\n");
    Given("regions.asc", "regression_regions", Fill(kRows, kCols, [](int, int c) { return c <= 6 ? 1.0 : 2.0; }));
    setup_->MakeRegionWeightGrids();
    Rows one = Fill(kRows, kCols, [](int, int) { return 1.0; }), zero = Fill(kRows, kCols, [](int, int) { return 0.0; });
    one[0][0] = 0.0;  // outside the column ranges
    ExpectHeldRows("regression_weights1", one);
    ExpectHeldRows("regression_weights2", zero);
    ExpectHeldRows("regression_regions2", zero);
}

// Tall basins whose processes' neighbourhoods reach less than a row, a few rows, most rows or
// the whole grid (the region rows then go to the processes in one broadcast): every process
// holds in each of its rows, process 0 in all rows, what one process computes over the whole
// grid, and the files are the same.
TEST_F(RegionStepsTest, TallBasinsGiveTheOneProcessWeightsForAnyReach) {
    constexpr int rows = 26, cols = 9;
    const Rows zone = Fill(rows, cols, [](int r, int c) { return (c == 1 && r % 5 == 0) || (c == cols && r % 7 == 3) ? kNd : 1.0; });
    const Rows regions = Fill(rows, cols, [](int r, int c) { return r + c < 12 ? 4.0 : (r - c > 9 ? 8.0 : 6.0); });
    for (double distance : {5.0, 35.0, 120.0, 1000.0}) {  // 0.5, 3.5, 12 and 100 cells of 10
        Build(zone, {}, 1000, 2000, 10, "basin.asc", "dem.grd", StrFormat("[region_transition_distance]\n%g\n", distance));
        Given("regions.asc", "regression_regions", regions);
        setup_->MakeRegionWeightGrids();
        ASSERT_EQ(setup_->Regions().regionCount, 3);

        const std::array<Rows, 5> out = ExpectOneProcessWeights(zone, regions, distance);
        EXPECT_EQ(SharedFile("regions.$w2"), GridText(out[2], 1000, 2000, 10));
    }
}

// The region grid held over its own rows and the rows next to them on every process (process 0
// too), other owners' cells there holding a code of their own: each cell's region comes from
// its owner, also in rows shared by two processes whose cells lie far apart (a comb basin: in
// each row a cell in column 1 and one far right).
TEST_F(RegionStepsTest, RegionRowsOfTheOwnersGiveTheOneProcessWeights) {
    constexpr int rows = 23, cols = 14;
    const Rows zone = Fill(rows, cols, [](int r, int c) { return c == 1 || c == 8 + r % 7 ? 1.0 : kNd; });
    const Rows regions = Fill(rows, cols, [](int r, int c) { return c == 1 ? (r < 12 ? 2.0 : 3.0) : (r % 5 < 2 ? 4.0 : 3.0); });
    for (double distance : {25.0, 70.0, 400.0}) {
        Build(zone, {}, 1000, 2000, 10, "basin.asc", "dem.grd", StrFormat("[region_transition_distance]\n%g\n", distance));
        const int lo = std::max(1, setup_->firstRow - 1), hi = std::min(rows, setup_->lastRow + 1);
        const Matrix& owners = *setup_->mpiRegions;
        given_.push_back(Filled(lo, hi, Fill(rows, cols, [&](int r, int c) {
            return owners.holds(r) && owners[r][c] == setup_->rank ? regions[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)] : 9.0;
        })));
        setup_->RegisterSetupGrid("regions.asc", "regression_regions", &given_.back(), 0, lo, hi);
        setup_->MakeRegionWeightGrids();
        ASSERT_EQ(setup_->Regions().regionCount, 3);
        ExpectOneProcessWeights(zone, regions, distance);
    }
}

TEST_F(RegionStepsTest, FailuresStopEveryProcess) {
    BuildBasin("[other]\n1\n");
    EXPECT_EQ(ErrorCode([&] { setup_->MakeRegionWeightGrids(); }), 17);
    EXPECT_TRUE(Logged("[region_transition_distance]"));

    BuildBasin("[region_transition_distance]\nfar\n");
    EXPECT_EQ(ErrorCode([&] { setup_->MakeRegionWeightGrids(); }), 17);
    EXPECT_TRUE(Logged("transition distance (if or if not using a region grid) "));

    BuildBasin();
    Rows regions = Fill(kRows, kCols, [](int, int) { return 1.0; });
    regions[3][3] = 0;
    Given("regions.asc", "regression_regions", regions);
    EXPECT_EQ(ErrorCode([&] { setup_->MakeRegionWeightGrids(); }), 3);

    BuildBasin();
    Given("regions.asc", "regression_regions", Fill(kRows, kCols, [](int r, int c) { return (r - 1) * 12.0 + c; }));
    EXPECT_EQ(ErrorCode([&] { setup_->MakeRegionWeightGrids(); }), 4);

    // Codes 2, 3, ... from the second cell on (the first is outside the basin): the 31st code
    // lies in row 3, column 8, among the cells of process 1 of 2 or 2 of 4. An invalid code
    // just before it stops with 3, just after it with 4, and 30 codes with one met again rank.
    for (const auto& [invalidAt, code] : {std::pair{31, 3}, std::pair{33, 4}, std::pair{0, 0}}) {
        BuildBasin();
        Given("regions.asc", "regression_regions", Fill(kRows, kCols, [&, invalid = invalidAt](int r, int c) {
                  const int place = (r - 1) * 12 + c;
                  return place == invalid ? 0.0 : (invalid == 0 ? std::min(place, 31) : place);
              }));
        EXPECT_EQ(ErrorCode([&] { setup_->MakeRegionWeightGrids(); }), code) << invalidAt;
        if (code == 0) {
            EXPECT_EQ(setup_->Regions().regionCount, 30);
            EXPECT_EQ(setup_->Regions().records[30].cellCount, 72 - 30);
        } else {
            EXPECT_TRUE(Logged(setup_->rank != 0 ? "region ranking failed on process 0"
                                                 : (code == 3 ? "invalid region code in regions.asc!"
                                                              : "too much zones in regions.asc, (max. 30)!")));
        }
    }
}

// Binary weight files are process 0's whole copies as one write gives them. A failed write ends
// every process with its code; the grids after it are not written.
TEST_F(RegionStepsTest, BinaryFilesAreTheWholeCopiesAndAFailedWriteStopsEveryProcess) {
    const Rows regions = Fill(kRows, kCols, [](int r, int c) { return c <= 4 ? 7.0 : (c <= 8 || r > 4 ? 3.0 : 9.0); });
    BuildBasin();
    setup_->textOutput = false;
    Given("regions.asc", "regression_regions", regions);
    setup_->MakeRegionWeightGrids();
    const std::pair<const char*, const char*> files[] = {
        {"regions.$w1", "regression_weights1"}, {"regions.$r2", "regression_regions2"},
        {"regions.$w2", "regression_weights2"}, {"regions.$r3", "regression_regions3"},
        {"regions.$w3", "regression_weights3"}};
    for (const auto& [file, name] : files) {
        if (setup_->rank == 0) setup_->WriteGrid("whole.bin", *(*store_)[setup_->FindGrid(name, true)].grid, false, false);
        EXPECT_EQ(SharedFile(file), SharedFile("whole.bin")) << file;
    }

    MPI_Barrier(MPI_COMM_WORLD);
    if (setup_->rank == 0) {
        for (const auto& [file, name] : files) std::remove(file);
        ASSERT_EQ(mkdir("regions.$w2", 0755), 0);
    }
    BuildBasin();
    setup_->textOutput = false;
    Given("regions.asc", "regression_regions", regions);
    ExpectFailedWriteStopsEveryProcess([&] { setup_->MakeRegionWeightGrids(); });
    EXPECT_TRUE(Exists("regions.$r2"));
    EXPECT_FALSE(Exists("regions.$r3"));
    EXPECT_FALSE(Exists("regions.$w3"));
}

// A ragged basin with holes whose regions are spread over the processes: the tables are those
// of one scan of the whole grid (cells, mean row and column of each region, codes ascending).
TEST_F(RegionStepsTest, RaggedBasinRanksAsOneProcess) { ExpectRankingOfRaggedBasin(false); }

TEST_F(RegionStepsTest, RaggedBasinWithRunsOfRegionsRanksAsOneProcess) { ExpectRankingOfRaggedBasin(true); }

}  // namespace
