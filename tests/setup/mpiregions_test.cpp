#include <gtest/gtest.h>

#include <cmath>
#include <mpi.h>

#include "kernel/modelobject.hpp"
#include "setup/mpiregions.hpp"
#include "setup_fixture.hpp"

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

TEST(LoadBalance, ExtremeSpeedValuesGiveWeightsThatAddUp) {
    // Reciprocals of the tiniest numbers overflow; infinite values weigh nothing unless all are.
    const std::vector<std::vector<double>> cases = {
        {4.9e-324, 1.0, 4.9e-324, 2.0}, {1e-308, 1e-308, 1e-308}, {1e308, 1e308}, {HUGE_VAL, 1.0}, {HUGE_VAL, HUGE_VAL}};
    for (const auto& values : cases) {
        const auto w = PerformanceWeights(values);
        double sum = 0;
        for (double x : w) {
            EXPECT_TRUE(std::isfinite(x) && x >= 0 && x <= 1);
            sum += x;
        }
        EXPECT_NEAR(sum, 1.0, 1e-12);
        const auto shares = CellShares(1000, w);
        std::int64_t total = 0;
        for (auto s : shares) {
            EXPECT_GE(s, 1);
            total += s;
        }
        EXPECT_EQ(total, 1000);
    }
    EXPECT_DOUBLE_EQ(PerformanceWeights({4.9e-324, 1.0})[0], 1.0);
    EXPECT_DOUBLE_EQ(PerformanceWeights({HUGE_VAL, HUGE_VAL})[1], 0.5);
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

// One run of cells passes through three owners; process 0 keeps taking cells past its share.
TEST(LoadBalance, OwnersChangeInsideARunOfCells) {
    Matrix zone = ZoneGrid({"xxxxxxxxxx", "..xx......"});  // 12 valid cells, shares for 9
    memory_handling mh;
    Matrix regions = mh.matrix(1, 2, 1, 10, 2);
    std::vector<int> first, last;
    AssignOwners(zone, regions, 2, 10, -9999, {2, 3, 4}, first, last);
    const double owners[] = {2, 2, 2, 2, 1, 1, 1, 0, 0, 0};
    for (int c = 1; c <= 10; ++c) EXPECT_EQ(regions[1][c], owners[c - 1]) << c;
    EXPECT_EQ(regions[2][2], -9999);
    EXPECT_EQ(regions[2][3], 0);
    EXPECT_EQ(regions[2][4], 0);
    EXPECT_EQ(first, (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(last, (std::vector<int>{1, 1, 1}));  // process 0's share ended in row 1
}

TEST(StripTable, RunsAndLeadingGaps) {
    const double nd = -9999;
    double row[9] = {0, nd, nd, 1, 1, nd, 0, 0, 0};  // trailing nodata would be no run
    double helper[9];
    using V = std::vector<double>;
    ASSERT_TRUE(BuildHelperRowAll(row, helper, 8, nd));
    EXPECT_EQ(V(helper, helper + 9), (V{2, 1, 2, nd, 1, 0, 3, 0, 0}));  // the list ends at the 0 pair
    double empty[4] = {0, nd, nd, nd};
    double h2[4];
    ASSERT_TRUE(BuildHelperRowAll(empty, h2, 3, nd));
    EXPECT_EQ(V(h2, h2 + 2), (V{3, 0}));
    ASSERT_TRUE(BuildHelperRowOwn(row, helper, 8, 1));
    EXPECT_EQ(V(helper + 1, helper + 4), (V{3, 2, 0}));
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
    EXPECT_EQ(V(h4 + 4, h4 + 6), (V{2, 0}));
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
    const int want[3][4] = {{1, 4, 3, 2}, {1, 7, 1, 3}, {2, 1, 2, 3}};  // row, first column, count, owner
    for (int i = 0; i < 3; ++i) {
        const HaloRecord& h = runs[static_cast<std::size_t>(i)];
        EXPECT_EQ((std::vector<int>{h.row, h.firstCol, h.count, h.rank}), std::vector<int>(want[i], want[i] + 4)) << i;
    }
}

class DecompositionTest : public setup_test::SetupTest {
protected:
    void SetUp() override {
        SetupTest::SetUp();
        obj_ = std::make_unique<modelobject>(log_.get(), "x", 0, false, false, ObjectRecord{});
        setup_test::WriteShared("MpiSpeedFactor.dat", "1.0\n");
    }
    void TearDown() override {
        obj_.reset();
        SetupTest::TearDown();
    }
    // Divides the valid cells ('x') of pattern among the processes; returns the error code.
    int Decompose(const std::vector<std::string>& pattern, int* registered = nullptr) {
        zone_ = ZoneGrid(pattern);
        obj_->nrows = static_cast<int>(pattern.size());
        obj_->ncols = static_cast<int>(pattern[0].size());
        obj_->nodata = -9999;
        return ErrorCode([&] {
            CreateMPIRegions(*obj_, &zone_, grids_, res_, [&](DecompositionGrids&, int, int) {
                if (registered) ++*registered;
            });
        });
    }
    std::unique_ptr<modelobject> obj_;
    Matrix zone_;
    DecompositionGrids grids_;
    DecompositionResult res_;
};

TEST_F(DecompositionTest, EveryValidCellHasExactlyOneOwnerAndHalosMatch) {
    // Twelve columns leave room for four strips in a row (the gaps split the owners' runs).
    const std::vector<std::string> pattern = {"..xxxx......", ".xxxxxx.....", "xxxxxxxx....",
                                              "xxx..xxx....", ".xx..xx.....", "..x..x......"};
    int registered = 0;
    ASSERT_EQ(Decompose(pattern, &registered), 0);
    EXPECT_EQ(registered, 1);
    const int size = talvo_test::Size(), rank = talvo_test::Rank();
    // Cells per process add up to the valid cells and are equal everywhere.
    std::int64_t total = 0;
    for (int i = 0; i < size; ++i) {
        EXPECT_GE(res_.cellsPerProcess[static_cast<std::size_t>(i)], 1);
        total += res_.cellsPerProcess[static_cast<std::size_t>(i)];
    }
    EXPECT_EQ(total, 30);
    // Owned cells lie within the own row range, and each owned count matches.
    std::int64_t own = 0;
    for (int r = res_.ownFirstRow; r <= res_.ownLastRow; ++r)
        for (int c = 1; c <= 12; ++c)
            if (grids_.regions[r][c] == rank) ++own;
    EXPECT_EQ(own, res_.cellsPerProcess[static_cast<std::size_t>(rank)]);
    // Every halo record names cells of the peer; what one process receives the peer sends.
    std::int64_t sendCells = 0, recvCells = 0;
    for (const HaloRecord& h : res_.recvHalo) {
        EXPECT_NE(h.rank, rank);
        recvCells += h.count;
    }
    for (const HaloRecord& h : res_.sendHalo) {
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
        EXPECT_NE(Console().find("MPI num cells: "), std::string::npos);
    }
}

TEST_F(DecompositionTest, FewerCellsThanProcessesIsRefusedEverywhere) {
    EXPECT_EQ(Decompose({"x...", "...."}), talvo_test::Size() > 1 ? 1011 : 0);
}

TEST_F(DecompositionTest, RowsWithoutRoomForTheirStripsStopEveryProcess) {
    // Three columns leave no room for a strip and the pair that ends the list; with one process
    // nothing moves between processes and the grid is fine.
    EXPECT_EQ(Decompose({"xxx", "xxx", "x.x"}), talvo_test::Size() > 1 ? 120 : 0);
    if (talvo_test::Size() > 1) {
        EXPECT_NE(Console().find("grid row 1 has more strips than fit into its row of MPIHelper; this grid can be "
                                 "divided among at most 1 processes of equal speed"),
                  std::string::npos);
    }
}

TEST_F(DecompositionTest, SpeedFileThatIsNoNumberFallsBackToTheBenchmark) {
    setup_test::WriteShared("MpiSpeedFactor.dat", "fast\n");
    const double v = ProcessSpeedValue(*obj_);
    EXPECT_GT(v, 0);
    EXPECT_NE(Console().find("does not begin with a finite number"), std::string::npos);
    EXPECT_NE(Console().find("MPI wtime: "), std::string::npos);
}

TEST(LoadBalance, SpeedFactorsMustBeFiniteNumbersAndWeighAsOneWhenNotPositive) {
    struct Case {
        const char* text;
        SpeedFactorFile result;
        double value;
    };
    const Case cases[] = {{"2.5\n1\n", SpeedFactorFile::Read, 2.5}, {"fast\n", SpeedFactorFile::Unusable, 0},
                          {"inf\n", SpeedFactorFile::Unusable, 0},    {"nan\n", SpeedFactorFile::Unusable, 0},
                          {"0\n", SpeedFactorFile::Read, 0},         {"-2\n", SpeedFactorFile::Read, -2},
                          {"1e999\n", SpeedFactorFile::Unusable, 0},  {"", SpeedFactorFile::Unusable, 0}};
    const std::string name = "speed_" + std::to_string(talvo_test::Rank()) + ".dat";
    for (const Case& c : cases) {
        talvo_test::WriteFile(name, c.text);
        double v = 0;
        EXPECT_EQ(ReadSpeedFactorFile(name, &v), c.result) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
    std::remove(name.c_str());
    double v = 0;
    EXPECT_EQ(ReadSpeedFactorFile("no_such_speed.dat", &v), SpeedFactorFile::Missing);
    // A factor of 0 or below weighs as 1: with 1 on the other process both get half the cells.
    EXPECT_EQ(PerformanceWeights({0.0, 1.0}), (std::vector<double>{0.5, 0.5}));
    EXPECT_EQ(PerformanceWeights({-2.0, 1.0}), (std::vector<double>{0.5, 0.5}));
}

// Each row of MPIHelper holds (value, length) pairs up to its last column less the closing pair:
// eight columns hold three runs, so one full row of eight cells fits three processes, not four.
TEST(LoadBalance, LargestProcessCountThatFitsTheStripTable) {
    memory_handling mh;
    Matrix one = ZoneGrid({"xxxxxxxx"});
    EXPECT_EQ(MaxProcessesForGrid(mh, one, 1, 8, -9999, 4), 3);
    EXPECT_EQ(MaxProcessesForGrid(mh, one, 1, 8, -9999, 2), 2);
    Matrix gaps = ZoneGrid({"x.x.x.x."});
    EXPECT_EQ(MaxProcessesForGrid(mh, gaps, 1, 8, -9999, 4), 1) << "the gaps alone fill the row";
}

}  // namespace
