// The regression regions step of the set-up: the region grid, the transition distance, the
// region ranking and the grids of up to three regions per cell with their weights, the same on
// every process and in the files for any number of processes.
#include <gtest/gtest.h>

#include <mpi.h>

#include <algorithm>
#include <cmath>

#include "domain_fixture.hpp"

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
        std::vector<double> flat(static_cast<std::size_t>(kRows * kCols));
        if (setup_->rank == 0) {
            const Matrix& m = *(*store_)[setup_->FindGrid(name, true)].grid;
            for (int r = 1; r <= kRows; ++r)
                for (int c = 1; c <= kCols; ++c) flat[static_cast<std::size_t>((r - 1) * kCols + c - 1)] = m[r][c];
        }
        MPI_Bcast(flat.data(), kRows * kCols, MPI_DOUBLE, 0, MPI_COMM_WORLD);
        Rows out(kRows);
        for (int r = 0; r < kRows; ++r) out[static_cast<std::size_t>(r)].assign(flat.begin() + r * kCols, flat.begin() + (r + 1) * kCols);
        return out;
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
}

}  // namespace
