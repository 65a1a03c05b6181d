#include <gtest/gtest.h>

#include <mpi.h>
#include <sstream>

#include "kernel/modelobject.hpp"
#include "setup/mpiregions.hpp"
#include "support/test_support.hpp"

namespace {

TEST(LoadBalance, SharesFollowTheSpeedValues) {
    const auto equal = PerformanceWeights({3.0, 3.0});
    EXPECT_DOUBLE_EQ(equal[0], 0.5);
    EXPECT_EQ(CellShares(11, equal), (std::vector<std::int64_t>{5, 6}));
    // A cost of 2 against 1: one third and two thirds.
    const auto uneven = PerformanceWeights({2.0, 1.0});
    EXPECT_NEAR(uneven[0], 1.0 / 3, 1e-15);
    EXPECT_EQ(CellShares(9, uneven), (std::vector<std::int64_t>{3, 6}));
    // Zero or negative values count as weight 1 before normalising.
    const auto odd = PerformanceWeights({0.0, -4.0, 1.0, 0.5});
    EXPECT_DOUBLE_EQ(odd[0], 0.2);
    EXPECT_DOUBLE_EQ(odd[3], 0.4);
}

TEST(LoadBalance, EveryProcessGetsAtLeastOneCell) {
    // A very slow process would round to no cell: it takes one from the largest share.
    const auto w = PerformanceWeights({1.0, 1.0, 1000.0});
    const auto shares = CellShares(4, w);
    for (auto s : shares) EXPECT_GE(s, 1);
    EXPECT_EQ(shares[0] + shares[1] + shares[2], 4);
}

// 4 x 5 zone grid, nodata -9999, valid cells marked by value 1.
Matrix ZoneGrid(const std::vector<std::string>& rows) {
    memory_handling mh;
    const int nrows = static_cast<int>(rows.size()), ncols = static_cast<int>(rows[0].size());
    Matrix z = mh.matrix(1, nrows, 1, ncols, nrows);
    for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) z[r][c] = rows[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)] == 'x' ? 1 : -9999;
    return z;
}

TEST(LoadBalance, HighestProcessTakesTheFirstCellsAndRowsMayBeShared) {
    Matrix zone = ZoneGrid({"xxx..", ".xxxx", "xxxx."});  // 11 valid cells
    memory_handling mh;
    Matrix regions = mh.matrix(1, 3, 1, 5, 3);
    regions.fill(-9999);
    std::vector<int> first, last;
    AssignOwners(zone, regions, 3, 5, -9999, {5, 6}, first, last);
    // Process 1 owns the first 6 valid cells (row 1 and three of row 2), process 0 the rest.
    EXPECT_EQ(regions[1][1], 1);
    EXPECT_EQ(regions[2][4], 1);
    EXPECT_EQ(regions[2][5], 0);
    EXPECT_EQ(regions[1][4], -9999);
    EXPECT_EQ(first, (std::vector<int>{2, 1}));
    EXPECT_EQ(last, (std::vector<int>{3, 2}));
}

TEST(StripTable, RunsAndLeadingGaps) {
    const double nd = -9999;
    double row[9] = {0, nd, nd, 1, 1, nd, 0, 0, 0};  // trailing nodata would be no run
    double helper[9];
    ASSERT_TRUE(BuildHelperRowAll(row, helper, 8, nd));
    EXPECT_EQ(helper[0], 2);
    EXPECT_EQ(helper[1], 1);
    EXPECT_EQ(helper[2], 2);
    EXPECT_EQ(helper[3], nd);
    EXPECT_EQ(helper[4], 1);
    EXPECT_EQ(helper[5], 0);
    EXPECT_EQ(helper[6], 3);
    EXPECT_EQ(helper[7], 0);  // the list ends here
    EXPECT_EQ(helper[8], 0);
    double empty[4] = {0, nd, nd, nd};
    double h2[4];
    ASSERT_TRUE(BuildHelperRowAll(empty, h2, 3, nd));
    EXPECT_EQ(h2[0], 3);
    EXPECT_EQ(h2[1], 0);
    ASSERT_TRUE(BuildHelperRowOwn(row, helper, 8, 1));
    EXPECT_EQ(helper[1], 3);
    EXPECT_EQ(helper[2], 2);
    EXPECT_EQ(helper[3], 0);
    // Alternating owners need more slots than the row has: refused, never written past. The
    // pair ending the list needs room too, so three runs do not fit six columns.
    double alternating[5] = {0, 0, 1, 0, 1};
    double h3[5];
    EXPECT_FALSE(BuildHelperRowAll(alternating, h3, 4, nd));
    double threeRuns[7] = {0, 2, 2, 1, 1, nd, 0};
    double h4[7];
    EXPECT_FALSE(BuildHelperRowAll(threeRuns, h4, 6, nd));
    double twoRunsThenGap[7] = {0, 2, 2, 1, 1, nd, nd};
    ASSERT_TRUE(BuildHelperRowAll(twoRunsThenGap, h4, 6, nd));
    EXPECT_EQ(h4[4], 2);
    EXPECT_EQ(h4[5], 0);
    EXPECT_FALSE(BuildHelperRowOwn(alternating, h3, 4, 1));
    EXPECT_TRUE(BuildHelperRowOwn(twoRunsThenGap, h4, 6, 1));
}

TEST(HaloRuns, GapsOfOneOwnerAreCoveredByOneRecord) {
    memory_handling mh;
    Matrix halo = mh.matrix(1, 2, 1, 8, 2);
    halo.fill(-9999);
    halo[1][4] = 2;
    halo[1][6] = 2;
    halo[1][7] = 3;
    halo[2][1] = 3;
    halo[2][2] = 3;
    const auto runs = ReceiveHaloRuns(halo, 1, 2, 8);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].row, 1);
    EXPECT_EQ(runs[0].firstCol, 4);
    EXPECT_EQ(runs[0].count, 3);
    EXPECT_EQ(runs[0].rank, 2);
    EXPECT_EQ(runs[1].firstCol, 7);
    EXPECT_EQ(runs[2].row, 2);
    EXPECT_EQ(runs[2].count, 2);
}

class DecompositionTest : public talvo_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        log_ = std::make_unique<DiagLog>("diag.xml", 4);
        log_->SetConsole(console_);
        obj_ = std::make_unique<modelobject>(log_.get(), "x", 0, false, false, ObjectRecord{});
        if (talvo_test::Rank() == 0) talvo_test::WriteFile("MpiSpeedFactor.dat", "1.0\n");
        MPI_Barrier(MPI_COMM_WORLD);
    }
    void TearDown() override {
        obj_.reset();
        log_.reset();
        TempDirTest::TearDown();
    }
    std::ostringstream console_;
    std::unique_ptr<DiagLog> log_;
    std::unique_ptr<modelobject> obj_;
};

TEST_F(DecompositionTest, EveryValidCellHasExactlyOneOwnerAndHalosMatch) {
    // Twelve columns leave room for four strips in a row (the gaps split the owners' runs).
    const std::vector<std::string> pattern = {"..xxxx......", ".xxxxxx.....", "xxxxxxxx....",
                                              "xxx..xxx....", ".xx..xx.....", "..x..x......"};
    Matrix zone = ZoneGrid(pattern);
    obj_->nrows = 6;
    obj_->ncols = 12;
    obj_->nodata = -9999;
    DecompositionGrids grids;
    DecompositionResult res;
    int registered = 0;
    CreateMPIRegions(*obj_, &zone, grids, res, [&](DecompositionGrids&, int, int) { ++registered; });
    EXPECT_EQ(registered, 1);
    const int size = talvo_test::Size(), rank = talvo_test::Rank();
    // Cells per process add up to the valid cells and are equal everywhere.
    std::int64_t total = 0;
    for (int i = 0; i < size; ++i) {
        EXPECT_GE(res.cellsPerProcess[static_cast<std::size_t>(i)], 1);
        total += res.cellsPerProcess[static_cast<std::size_t>(i)];
    }
    EXPECT_EQ(total, 30);
    // Owned cells lie within the own row range, and each owned count matches.
    std::int64_t own = 0;
    for (int r = res.ownFirstRow; r <= res.ownLastRow; ++r)
        for (int c = 1; c <= 12; ++c)
            if (grids.regions[r][c] == rank) ++own;
    EXPECT_EQ(own, res.cellsPerProcess[static_cast<std::size_t>(rank)]);
    // Every halo record names cells of the peer; what one process receives the peer sends.
    std::int64_t sendCells = 0, recvCells = 0;
    for (const HaloRecord& h : res.recvHalo) {
        EXPECT_NE(h.rank, rank);
        recvCells += h.count;
    }
    for (const HaloRecord& h : res.sendHalo) {
        EXPECT_NE(h.rank, rank);
        sendCells += h.count;
    }
    std::int64_t sums[2] = {sendCells, recvCells}, global[2];
    MPI_Allreduce(sums, global, 2, MPI_INT64_T, MPI_SUM, MPI_COMM_WORLD);
    EXPECT_EQ(global[0], global[1]);
    if (size == 1) {
        EXPECT_EQ(global[0], 0);
        EXPECT_EQ(talvo_test::ReadFile("halo0.txt"),
                  "DEBUG: sendHalo-vector: 0 elements.\n\nDEBUG: recvHalo-vector: 0 elements.\n");
    } else {
        EXPECT_GT(global[0], 0);
    }
    if (rank == 0) {
        EXPECT_NE(console_.str().find("MPI num cells: "), std::string::npos);
    }
}

TEST_F(DecompositionTest, FewerCellsThanProcessesIsRefusedEverywhere) {
    Matrix zone = ZoneGrid({"x...", "...."});
    obj_->nrows = 2;
    obj_->ncols = 4;
    obj_->nodata = -9999;
    DecompositionGrids grids;
    DecompositionResult res;
    int code = 0;
    try {
        CreateMPIRegions(*obj_, &zone, grids, res, [](DecompositionGrids&, int, int) {});
    } catch (const ModelError& e) {
        code = e.code();
    }
    EXPECT_EQ(code, talvo_test::Size() > 1 ? 1011 : 0);
}

TEST_F(DecompositionTest, RowsWithoutRoomForTheirStripsStopEveryProcess) {
    // Three columns leave no room for a strip and the pair that ends the list; with one process
    // nothing moves between processes and the grid is fine.
    Matrix zone = ZoneGrid({"xxx", "xxx", "x.x"});
    obj_->nrows = 3;
    obj_->ncols = 3;
    obj_->nodata = -9999;
    DecompositionGrids grids;
    DecompositionResult res;
    int code = 0;
    try {
        CreateMPIRegions(*obj_, &zone, grids, res, [](DecompositionGrids&, int, int) {});
    } catch (const ModelError& e) {
        code = e.code();
    }
    EXPECT_EQ(code, talvo_test::Size() > 1 ? 120 : 0);
    if (talvo_test::Size() > 1) {
        EXPECT_NE(console_.str().find("grid row 1 has more strips than fit into its row of MPIHelper"),
                  std::string::npos);
    }
}

TEST_F(DecompositionTest, SpeedFileThatIsNoNumberFallsBackToTheBenchmark) {
    MPI_Barrier(MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0) talvo_test::WriteFile("MpiSpeedFactor.dat", "fast\n");
    MPI_Barrier(MPI_COMM_WORLD);
    const double v = ProcessSpeedValue(*obj_);
    EXPECT_GT(v, 0);
    EXPECT_NE(console_.str().find("does not begin with a number"), std::string::npos);
    EXPECT_NE(console_.str().find("MPI wtime: "), std::string::npos);
}

}  // namespace
