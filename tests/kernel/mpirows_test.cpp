// Scatter, gather and halo exchange of grids and stacks, the zone-record reduction and the
// region-value transfers, at whatever number of processes the test runs with.
#include <gtest/gtest.h>
#include <mpi.h>

#include "grid_scenario.hpp"

using talvo_test::ErrorCode;
using talvo_test::Rank;
using talvo_test::Size;

namespace {

class MpiRowsTest : public talvo_test::ScenarioTest {};

TEST_F(MpiRowsTest, ScatterAndGatherMoveEveryOwnersCells) {
    // Process 0 holds the whole grid; every cell outside the basin carries 7 there.
    Matrix g = Rank() == 0 ? obj_->matrix(1, kRows, 1, kCols, kRows) : OwnGrid();
    if (Rank() == 0)
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) g[r][c] = Valid(r, c) ? Value(r, c) : 7.0;
    else
        for (int r = d_.lo; r <= d_.hi; ++r)
            for (int c = 1; c <= kCols; ++c) g[r][c] = -1.0;
    obj_->RegisterGrid(obj_->FirstFreeGridIndex(), "g.asc", &g, nullptr, 0, "g", 0, 1, kRows);
    obj_->MPIScatterGrid(obj_->GetGridIndex("g"));
    for (int r = g.firstRow(); r <= g.lastRow(); ++r)
        for (int c = 1; c <= kCols; ++c) {
            const double want = Rank() == 0 ? (Valid(r, c) ? Value(r, c) : 7.0) : (Mine(r, c) ? Value(r, c) : -1.0);
            ASSERT_EQ(g[r][c], want) << r << "," << c;
        }

    Matrix h = Rank() == 0 ? obj_->matrix(1, kRows, 1, kCols, kRows) : OwnGrid();
    if (Rank() == 0)
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) h[r][c] = Mine(r, c) ? Value(r, c) : 0.0;
    obj_->MPIGatherGrid(0, &h);
    if (Rank() != 0) return;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) ASSERT_EQ(h[r][c], Valid(r, c) ? Value(r, c) : 0.0) << r << "," << c;
}

TEST_F(MpiRowsTest, GatherCopyBuildsTheWholeGridOnProcessZero) {
    Matrix g = OwnGrid();
    // Cells outside the basin hold garbage; the copy must show them as nodata.
    for (int r = d_.lo; r <= d_.hi; ++r)
        for (int c = 1; c <= kCols; ++c)
            if (!Valid(r, c)) g[r][c] = 5.0;
    Matrix copy = obj_->MPIGatherGridCopy(0, &g);
    if (Size() == 1 || Rank() != 0) {
        EXPECT_TRUE(copy.empty());
        return;
    }
    ASSERT_FALSE(copy.empty());
    for (int r = 1; r <= kRows; ++r) {
        EXPECT_EQ(copy[r][0], 0.0);
        for (int c = 1; c <= kCols; ++c) ASSERT_EQ(copy[r][c], Valid(r, c) ? Value(r, c) : -9999.0) << r << "," << c;
    }
}

TEST_F(MpiRowsTest, GatherCopyForWritingKeepsTheCellsOutsideTheBasin) {
    // Every process holding a row has the same values outside the basin, as one process has;
    // the copy for writing shows them, the plain copy still nodata.
    Matrix g = OwnGrid();
    for (int r = d_.lo; r <= d_.hi; ++r)
        for (int c = 1; c <= kCols; ++c)
            if (!Valid(r, c)) g[r][c] = 1000.0 + 10 * r + c;
    Matrix written = obj_->MPIGatherGridCopy(0, &g, true);
    Matrix plain = obj_->MPIGatherGridCopy(0, &g);
    if (Size() == 1 || Rank() != 0) {
        EXPECT_TRUE(written.empty());
        return;
    }
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
            ASSERT_EQ(written[r][c], Valid(r, c) ? Value(r, c) : 1000.0 + 10 * r + c) << r << "," << c;
            ASSERT_EQ(plain[r][c], Valid(r, c) ? Value(r, c) : -9999.0) << r << "," << c;
        }
}

TEST_F(MpiRowsTest, GatherCopyForWritingTakesTheCellsOutsideFromTheLowestHolderOfTheRow) {
    // Cells outside the basin differ between the processes holding a row (halo rows): the copy
    // takes each row's from the lowest of them, whatever the other cells of the row hold.
    Matrix g = OwnGrid();
    for (int r = d_.lo; r <= d_.hi; ++r)
        for (int c = 1; c <= kCols; ++c)
            if (!Valid(r, c)) g[r][c] = 1000.0 + 10 * r + c + 0.25 * Rank();
            else if (!Mine(r, c)) g[r][c] = 500.0 + Rank();
    std::vector<int> lowest(kRows + 1, Size());
    for (int r = d_.lo; r <= d_.hi; ++r) lowest[static_cast<std::size_t>(r)] = Rank();
    MPI_Allreduce(MPI_IN_PLACE, lowest.data(), kRows + 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
    Matrix written = obj_->MPIGatherGridCopy(0, &g, true);
    if (Size() == 1 || Rank() != 0) return;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
            const double outside = 1000.0 + 10 * r + c + 0.25 * lowest[static_cast<std::size_t>(r)];
            ASSERT_EQ(written[r][c], Valid(r, c) ? Value(r, c) : outside) << r << "," << c;
        }
}

TEST_F(MpiRowsTest, GatherCopyForWritingTakesWholeRowsFromAHolderWithoutTheirRegions) {
    if (Size() == 1) return;  // nothing is gathered
    // The process of the first rows does not know the regions of its first row: it sends that
    // row whole, and the copy is the one made where it knows them.
    Matrix g = OwnGrid();
    for (int r = d_.lo; r <= d_.hi; ++r)
        for (int c = 1; c <= kCols; ++c)
            if (!Valid(r, c)) g[r][c] = 1000.0 + 10 * r + c;
            else if (!Mine(r, c)) g[r][c] = 500.0 + Rank();
    const Matrix known = obj_->MPIGatherGridCopy(0, &g, true);
    obj_->FindDecompositionGrids();
    Matrix* regions = obj_->mpiRegions;
    Matrix partial;
    if (Rank() == Size() - 1) {
        partial = obj_->matrix(d_.lo + 1, d_.hi, 1, kCols, kRows);
        for (int r = d_.lo + 1; r <= d_.hi; ++r)
            for (int c = 1; c <= kCols; ++c) partial[r][c] = (*regions)[r][c];
        obj_->mpiRegions = &partial;
    }
    const Matrix written = obj_->MPIGatherGridCopy(0, &g, true);
    obj_->mpiRegions = regions;
    if (Rank() != 0) return;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) ASSERT_EQ(written[r][c], known[r][c]) << r << "," << c;
}

TEST_F(MpiRowsTest, GatherCopyForWritingWithoutCellsOutsideEveryRegion) {
    // Every cell outside the basin given to process 0's region: no holder has a cell to send,
    // and process 0 keeps only the ones of its own rows.
    obj_->FindDecompositionGrids();
    Matrix& regions = *obj_->mpiRegions;
    for (int r = regions.firstRow(); r <= regions.lastRow(); ++r)
        for (int c = 1; c <= kCols; ++c)
            if (!Valid(r, c)) regions[r][c] = 0;
    Matrix g = OwnGrid();
    for (int r = d_.lo; r <= d_.hi; ++r)
        for (int c = 1; c <= kCols; ++c)
            if (!Valid(r, c)) g[r][c] = 7.0;
    Matrix written = obj_->MPIGatherGridCopy(0, &g, true);
    if (Size() == 1 || Rank() != 0) return;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c)
            ASSERT_EQ(written[r][c], Valid(r, c) ? Value(r, c) : (g.holds(r) ? 7.0 : -9999.0)) << r << "," << c;
}

TEST_F(MpiRowsTest, GatherCopyForWritingOfAGridOneProcessLacksStopsEveryProcess) {
    if (Size() == 1) return;  // nothing is gathered
    // The last process has no grid at the entry: every process stops with its code, only that
    // one names the cause, and the next gathering finds no message left over.
    Matrix g = OwnGrid();
    const int index = obj_->FirstFreeGridIndex();
    const bool lacking = Rank() == Size() - 1;
    if (!lacking) obj_->RegisterGrid(index, "g.asc", &g, nullptr, 0, "g", 0, 1, kRows);
    ClearConsole();
    EXPECT_EQ(ErrorCode([&] { obj_->MPIGatherGridCopy(index, nullptr, true); }), 12);
    EXPECT_EQ(Console().find("MPIGatherGridCopy: no data at grid-store index") != std::string::npos, lacking);
    Matrix written = obj_->MPIGatherGridCopy(0, &g, true);
    if (Rank() != 0) return;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
            if (!Valid(r, c)) continue;
            ASSERT_EQ(written[r][c], Value(r, c)) << r << "," << c;
        }
}

// Counts the entries of a text in the console of this process.
int Occurrences(const std::string& console, const std::string& text) {
    int n = 0;
    for (std::size_t at = console.find(text); at != std::string::npos; at = console.find(text, at + 1)) ++n;
    return n;
}

TEST_F(MpiRowsTest, GatherCopyForWritingWithABrokenStripTableStopsEveryProcess) {
    if (Size() == 1) return;  // nothing is gathered
    // The last process's table names a strip past the last column in its first row with
    // strips: every process stops with 120, that process alone logs the cause, once.
    Matrix g = OwnGrid();
    obj_->FindDecompositionGrids();
    ASSERT_NE(obj_->mpiHelper, nullptr);
    Matrix& helper = *obj_->mpiHelper;
    const bool broken = Rank() == Size() - 1;
    int row = 0;
    for (int r = d_.lo; r <= d_.hi && broken && row == 0; ++r)
        if (helper[r][1] > 0) row = r;
    const double kept = row > 0 ? helper[row][1] : 0.0;
    if (row > 0) helper[row][1] = kCols + 1;
    ClearConsole();
    EXPECT_EQ(ErrorCode([&] { obj_->MPIGatherGridCopy(0, &g, true); }), 120);
    EXPECT_EQ(Occurrences(Console(), "strip beyond the last column in row " + std::to_string(row) +
                                         " of the strip table of mpi-rank " + std::to_string(Rank())),
              row > 0 ? 1 : 0);
    EXPECT_EQ(Occurrences(Console(), "strip beyond the last column"), row > 0 ? 1 : 0);
    // The table mended, the next gathering moves every owner's cells.
    if (row > 0) helper[row][1] = kept;
    Matrix written = obj_->MPIGatherGridCopy(0, &g, true);
    if (Rank() != 0) return;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c)
            if (Valid(r, c)) {
                ASSERT_EQ(written[r][c], Value(r, c)) << r << "," << c;
            }
}

TEST_F(MpiRowsTest, StacksMoveWithAllTheirLevels) {
    const int levels = 3;
    Stack whole = obj_->matrix3d(1, kRows, 1, kCols, levels, kRows);
    Stack own = OwnStack(levels);
    if (Rank() == 0)
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c)
                for (int l = 0; l <= levels; ++l) whole[r][c][l] = Valid(r, c) ? LevelValue(r, c, l) : 3.0;
    Stack target = obj_->matrix3d(d_.lo, d_.hi, 1, kCols, levels, kRows);
    obj_->RegisterGrid(obj_->FirstFreeGridIndex(), "s.stk", nullptr, Rank() == 0 ? &whole : &target, levels, "s", 0,
                       1, kRows);
    const int index = obj_->FindGrid("s", true);
    obj_->MPIScatterStack(index);
    if (Rank() != 0) {
        for (int r = d_.lo; r <= d_.hi; ++r)
            for (int c = 1; c <= kCols; ++c)
                for (int l = 0; l <= levels; ++l) ASSERT_EQ(target[r][c][l], Mine(r, c) ? LevelValue(r, c, l) : 0.0);
    }

    Stack gathered = obj_->matrix3d(Rank() == 0 ? 1 : d_.lo, Rank() == 0 ? kRows : d_.hi, 1, kCols, levels, kRows);
    if (Rank() != 0) gathered = OwnStack(levels);
    obj_->MPISynchroniseStack(0, &gathered);
    if (Rank() == 0 && Size() > 1) {
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c)
                for (int l = 0; l <= levels; ++l)
                    ASSERT_EQ(gathered[r][c][l], Valid(r, c) && !Mine(r, c) ? LevelValue(r, c, l) : 0.0);
    }

    Stack copy = obj_->MPISynchroniseStackCopy(0, &own);
    if (Rank() != 0 || Size() == 1) {
        EXPECT_TRUE(copy.empty());
    } else {
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c)
                for (int l = 0; l <= levels; ++l)
                    ASSERT_EQ(copy[r][c][l], Valid(r, c) ? LevelValue(r, c, l) : -9999.0);
    }
    if (Size() > 1) {
        EXPECT_NE(Console().find("synchronising stack  for mpi-rank " + std::to_string(Rank())), std::string::npos);
        EXPECT_NE(Console().find("re-distributing stack s for mpi-rank"), std::string::npos);
    }
}

TEST_F(MpiRowsTest, ScatterStackWithoutIndexNeedsLevels) {
    Stack s = OwnStack(2);
    const int code = ErrorCode([&] { obj_->MPIScatterStack(0, &s, 0); });
    if (Size() == 1) {
        EXPECT_EQ(code, 0);
        return;
    }
    EXPECT_EQ(code, 1010);
    EXPECT_NE(Console().find("no level-count given as (optional) parameter to MPIScatterStack."), std::string::npos);
    EXPECT_EQ(ErrorCode([&] { obj_->MPIScatterStack(0, &s, 5); }), 1010) << "levels must match the stack";
}

TEST_F(MpiRowsTest, HaloExchangeFillsTheNeighboursCells) {
    Matrix g = OwnGrid();
    obj_->MPIExchangeHalo(-1, &g);
    for (const HaloRecord& h : d_.recvHalo) EXPECT_EQ(g[h.row][h.firstCol], -9999.0) << "index -1 does nothing";
    obj_->MPIExchangeHalo(0, &g);
    int checked = 0;
    for (int r = d_.lo; r <= d_.hi; ++r)
        for (int c = 1; c <= kCols; ++c) {
            bool inHalo = false;
            for (const HaloRecord& h : d_.recvHalo)
                inHalo = inHalo || (h.row == r && c >= h.firstCol && c < h.firstCol + h.count && Valid(r, c));
            if (Mine(r, c) || inHalo) {
                ASSERT_EQ(g[r][c], Value(r, c)) << r << "," << c;
                ++checked;
            }
        }
    EXPECT_GT(checked, 0);
    if (Size() > 1) {
        EXPECT_FALSE(d_.recvHalo.empty());
    }

    // Together with the maximum over the processes: the same halo cells, the largest value.
    Matrix k = OwnGrid();
    EXPECT_EQ(obj_->MPIExchangeHaloAndMax(-1, 2.5 - Rank(), &k), 2.5);
    for (const HaloRecord& h : d_.recvHalo) EXPECT_EQ(k[h.row][h.firstCol], -9999.0) << "index -1 exchanges nothing";
    EXPECT_EQ(obj_->MPIExchangeHaloAndMax(0, Rank() + 0.5, &k), Size() - 0.5);
    for (int r = d_.lo; r <= d_.hi; ++r)
        for (int c = 1; c <= kCols; ++c) ASSERT_EQ(k[r][c], g[r][c]) << r << "," << c;
    // Several grids in one exchange, with the same row tags: each halo gets its own grid's cells.
    Matrix a = OwnGrid(), b = OwnGrid();
    for (int r = d_.lo; r <= d_.hi; ++r)
        for (int c = 1; c <= kCols; ++c)
            if (Mine(r, c)) b[r][c] = -a[r][c];
    Matrix* both[] = {&a, &b};
    obj_->MPIExchangeHalos(both);
    for (int r = d_.lo; r <= d_.hi; ++r)
        for (int c = 1; c <= kCols; ++c) {
            ASSERT_EQ(a[r][c], g[r][c]) << r << "," << c;
            if (Mine(r, c) || a[r][c] != -9999.0) {
                ASSERT_EQ(b[r][c], -a[r][c]) << r << "," << c;
            }
        }

    const int levels = 2;
    Stack s = OwnStack(levels);
    obj_->RegisterGrid(obj_->FirstFreeGridIndex(), "h.stk", nullptr, &s, levels, "h", 0, d_.lo, d_.hi);
    obj_->MPIExchangeHaloStack(obj_->FindGrid("h", true));
    for (const HaloRecord& h : d_.recvHalo)
        for (int c = h.firstCol; c < h.firstCol + h.count; ++c)
            if (Valid(h.row, c)) {
                for (int l = 0; l <= levels; ++l) ASSERT_EQ(s[h.row][c][l], LevelValue(h.row, c, l));
            }
}

TEST_F(MpiRowsTest, HaloRecordsOutsideTheGridAreRefused) {
    if (Size() == 1) GTEST_SKIP() << "no halo with one process";
    Matrix narrow = obj_->matrix(obj_->firstRow, obj_->lastRow, 1, kCols, kRows);
    // Only a process with a halo row outside its own rows can find the fault; it must not
    // write there.
    int outside = 0, anywhere = 0;
    for (const HaloRecord& h : d_.recvHalo) outside = outside || !narrow.holds(h.row);
    MPI_Allreduce(&outside, &anywhere, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    EXPECT_EQ(anywhere, 1);
    if (!outside) return;
    EXPECT_EQ(ErrorCode([&] { obj_->MPIExchangeHalo(0, &narrow); }), 120);
    // The report names the data of the exchange (a grid given without a store entry by its index).
    EXPECT_NE(Console().find("of the receive list does not fit grid 0 on mpi-rank " + std::to_string(Rank())),
              std::string::npos)
        << Console();
}

TEST_F(MpiRowsTest, OneProcessOrNoDecompositionMovesNothing) {
    // A store without "MPIRegions" and "MPIHelper": nothing is distributed yet.
    GridStore other;
    auto fresh = MakeObject(kCols, kRows);
    fresh->gridStore = &other;
    Matrix g = OwnGrid(true);
    fresh->MPIScatterGrid(0, &g);
    fresh->MPIGatherGrid(0, &g);
    EXPECT_TRUE(fresh->MPIGatherGridCopy(0, &g).empty());
    Stack s = OwnStack(1, true);
    fresh->MPIScatterStack(0, &s, 1);
    fresh->MPISynchroniseStack(0, &s);
    EXPECT_TRUE(fresh->MPISynchroniseStackCopy(0, &s).empty());
    EXPECT_EQ(fresh->mpiRegions, nullptr);
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) ASSERT_EQ(g[r][c], Mine(r, c) ? Value(r, c) : -9999.0);
}

TEST_F(MpiRowsTest, TooManyStripsForTheRowIsError120) {
    // Three columns leave no room for a strip and the pair after it.
    GridStore narrowStore;
    auto narrow = MakeObject(3, 4);
    narrow->gridStore = &narrowStore;
    std::vector<std::vector<double>> zone(5, std::vector<double>(4, 1.0));
    talvo_test::TestDecomposition d;
    Decompose(*narrow, zone, &d);
    Matrix g = narrow->matrix(d.lo, d.hi, 1, 3, 4);
    const int code = ErrorCode([&] { narrow->MPIScatterGrid(0, &g); });
    EXPECT_EQ(code, Size() == 1 ? 0 : 120);
    if (Rank() == 0 && Size() > 1) {
        EXPECT_NE(Console().find("MPI-Regions: to much strips to be stored in a grid row in row 1"), std::string::npos);
    }
    Stack s = narrow->matrix3d(d.lo, d.hi, 1, 3, 1, 4);
    if (Size() > 1) {
        EXPECT_EQ(ErrorCode([&] { narrow->MPISynchroniseStack(0, &s); }), 120);
        if (Rank() == 0) {
            EXPECT_NE(Console().find("to much strips to be stored in a grid row (in row 1)"), std::string::npos);
        }
        // The copy for writing agrees on its strips with the row holders: the same failure, the
        // entry logged once.
        ClearConsole();
        EXPECT_EQ(ErrorCode([&] { narrow->MPIGatherGridCopy(0, &g, true); }), 120);
        EXPECT_LE(Occurrences(Console(), "to much strips to be stored in a grid row"), 1);
        if (Rank() == 0) {
            EXPECT_EQ(Occurrences(Console(), "to much strips to be stored in a grid row in row 1"), 1);
        }
    }
}

TEST_F(MpiRowsTest, ZoneRecordsAreSummedOnProcessZero) {
    std::vector<zoneFZT> records(4);
    for (int i = 0; i < 4; ++i) records[i] = {1.0 + Rank(), 10.0 * (Rank() + 1) + i, 100.0 + i, 0.25, 2.0 * (Rank() + 1)};
    obj_->MPIReduceZoneRecords(records.data(), 3, true);
    const int n = Size();
    const double sumRanks = n * (n + 1) / 2.0;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(records[i].zonenwert, 100.0 + i);
        EXPECT_EQ(records[i].rel, 0.25);
        if (Rank() == 0) {
            EXPECT_EQ(records[i].n, sumRanks);
            EXPECT_EQ(records[i].sx, 10.0 * sumRanks + n * i);
            EXPECT_EQ(records[i].RelCellSum, 2.0 * sumRanks);
        } else {
            EXPECT_EQ(records[i].n, 0.0);
            EXPECT_EQ(records[i].sx, 0.0);
            EXPECT_EQ(records[i].RelCellSum, 0.0);
        }
    }
    for (auto& r : records) r = {1.0, 1.0, 5.0, 0.5, 3.0};
    obj_->MPIReduceZoneRecords(records.data(), 3, false);
    EXPECT_EQ(records[2].RelCellSum, 3.0) << "without the flag RelCellSum stays";
    EXPECT_EQ(records[2].n, Rank() == 0 ? n : 0.0);
}

class RegionValuesTest : public talvo_test::ScenarioTest {
protected:
    void SetUp() override {
        ScenarioTest::SetUp();
        const bool whole = Rank() == 0;
        mask_ = obj_->matrix(whole ? 1 : d_.lo, whole ? kRows : d_.hi, 1, kCols, kRows);
        mask_.fill(-9999.0);
        for (int r = mask_.firstRow(); r <= mask_.lastRow(); ++r)
            for (int c = 1; c <= kCols; ++c)
                if (Valid(r, c) && c % 2 == 0) mask_[r][c] = 1.0;
        values_ = OwnGrid(whole);
        counts_.assign(static_cast<std::size_t>(Size()), 0);
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c)
                if (Valid(r, c) && c % 2 == 0) ++counts_[static_cast<std::size_t>(Owner(r, c))];
        valueIndex_ = obj_->FirstFreeGridIndex();
        obj_->RegisterGrid(valueIndex_, "v.asc", &values_, nullptr, 0, "v", 0, 1, kRows);
        obj_->RegisterGrid(valueIndex_ + 1, "m.asc", &mask_, nullptr, 0, "mask", 0, 1, kRows);
    }
    Matrix mask_, values_;
    std::vector<std::int64_t> counts_;
    int valueIndex_ = 0;
};

TEST_F(RegionValuesTest, CollectBringsTheMaskedValuesToProcessZero) {
    // Into a target grid, then (without target) into the value grid itself.
    Matrix target = obj_->matrix(1, kRows, 1, kCols, kRows);
    obj_->MPICollectRegionValues(valueIndex_, valueIndex_ + 1, counts_, Rank() == 0 ? &target : nullptr);
    obj_->MPICollectRegionValues(valueIndex_, valueIndex_ + 1, counts_);
    if (Rank() != 0) return;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
            const bool taken = Valid(r, c) && c % 2 == 0;
            if (Size() > 1) {
                ASSERT_EQ(target[r][c], taken ? Value(r, c) : 0.0);
            }
            ASSERT_EQ(values_[r][c], taken || Mine(r, c) ? Value(r, c) : -9999.0);
        }
}

// Several grids of the same cells in one collection: each value lands in its own grid.
TEST_F(RegionValuesTest, GridsOfTheSameCellsAreCollectedTogether) {
    const RegionCells cells = obj_->MPIGatherRegionCells(valueIndex_ + 1, counts_);
    Matrix twice = OwnGrid(Rank() == 0);
    for (int r = twice.firstRow(); r <= twice.lastRow(); ++r)
        for (int c = 1; c <= kCols; ++c) twice[r][c] = 2 * values_[r][c];
    Matrix a = obj_->matrix(1, kRows, 1, kCols, kRows), b = obj_->matrix(1, kRows, 1, kCols, kRows);
    a.fill(0);
    b.fill(0);
    const CellValuePair grids[] = {{&values_, Rank() == 0 ? &a : &values_}, {&twice, Rank() == 0 ? &b : &twice}};
    obj_->MPICollectRegionCells(cells, grids);
    if (Rank() != 0 || Size() == 1) return;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
            const bool taken = Valid(r, c) && c % 2 == 0;
            ASSERT_EQ(a[r][c], taken ? Value(r, c) : 0.0) << r << "," << c;
            ASSERT_EQ(b[r][c], taken ? 2 * Value(r, c) : 0.0) << r << "," << c;
        }
}

TEST_F(RegionValuesTest, DistributeSendsProcessZerosValuesToTheOwners) {
    if (Rank() == 0)
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) values_[r][c] = -Value(r, c);
    obj_->MPIDistributeRegionValues(valueIndex_, valueIndex_ + 1, counts_);
    for (int r = values_.firstRow(); r <= values_.lastRow(); ++r)
        for (int c = 1; c <= kCols; ++c) {
            if (Rank() == 0) continue;
            const double want = Mine(r, c) ? (c % 2 == 0 ? -Value(r, c) : Value(r, c)) : -9999.0;
            ASSERT_EQ(values_[r][c], want) << r << "," << c;
        }
}

// Several grids of the same cells in one distribution: each owner's cells take the values of
// their own grid on process 0, whose own cells are copied there; the other cells stay.
TEST_F(RegionValuesTest, GridsOfTheSameCellsAreDistributedTogether) {
    const RegionCells cells = obj_->MPIGatherRegionCells(valueIndex_ + 1, counts_);
    Matrix twice = OwnGrid(Rank() == 0);
    Matrix a = obj_->matrix(1, kRows, 1, kCols, kRows), b = obj_->matrix(1, kRows, 1, kCols, kRows);
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
            a[r][c] = -Value(r, c);
            b[r][c] = -2 * Value(r, c);
        }
    const CellValuePair grids[] = {{&values_, Rank() == 0 ? &a : &values_}, {&twice, Rank() == 0 ? &b : &twice}};
    obj_->MPIDistributeRegionCells(cells, grids);
    for (int r = values_.firstRow(); r <= values_.lastRow(); ++r)
        for (int c = 1; c <= kCols; ++c) {
            if (!Mine(r, c)) continue;
            const bool moved = Size() > 1 && Valid(r, c) && c % 2 == 0;
            ASSERT_EQ(values_[r][c], moved ? -Value(r, c) : Value(r, c)) << r << "," << c;
            ASSERT_EQ(twice[r][c], moved ? -2 * Value(r, c) : Value(r, c)) << r << "," << c;
        }
}

TEST_F(RegionValuesTest, CountsThatDoNotMatchTheMaskAreFatal) {
    if (Size() == 1) GTEST_SKIP() << "nothing moves with one process";
    counts_[1] += 1;
    EXPECT_EQ(ErrorCode([&] { obj_->MPICollectRegionValues(valueIndex_, valueIndex_ + 1, counts_); }), 120);
    EXPECT_EQ(ErrorCode([&] { obj_->MPIDistributeRegionValues(valueIndex_, valueIndex_ + 1, counts_); }), 120);
    counts_[1] -= 1;
    std::vector<std::int64_t> tooShort(counts_.begin(), counts_.end() - 1);
    EXPECT_EQ(ErrorCode([&] { obj_->MPICollectRegionValues(valueIndex_, valueIndex_ + 1, tooShort); }), 120);
    // After the refusals the transfers still pair up.
    obj_->MPICollectRegionValues(valueIndex_, valueIndex_ + 1, counts_);
}

}  // namespace
