// The grid store: registration, write-code digits, the three searches and their failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "kernel_fixture.hpp"

using talvo_test::ErrorCode;

namespace {

class GridStoreTest : public talvo_test::KernelTest {
protected:
    Matrix NewGrid() { return obj_->matrix(1, obj_->nrows, 1, obj_->ncols, obj_->nrows); }
};

TEST(WriteCode, DigitsAndExtremeFlags) {
    // code: units, tens, hundreds, minimum flag, maximum flag, thousands
    const std::vector<std::vector<long>> cases{{1304, 4, 0, 3, 1, 1, 1}, {52, 2, 5, 0, 0, 0, 0},
                                               {100, 0, 0, 1, 1, 0, 0},   {2200, 0, 0, 2, 0, 1, 2},
                                               {400, 0, 0, 4, 0, 0, 0}};
    for (const auto& k : cases) {
        const WriteCodeDigits d = SplitWriteCode(k[0]);
        EXPECT_EQ(std::vector<long>({k[0], d.units, d.tens, d.hundreds, d.minFlag, d.maxFlag, d.thousands}), k);
    }
}

TEST_F(GridStoreTest, StackEntryEndsTheGridOnlySearch) {
    Matrix g1 = NewGrid(), g2 = NewGrid(), g3 = NewGrid(), g5 = NewGrid();
    Stack s4 = obj_->matrix3d(1, 4, 1, 5, 2, 4);
    obj_->RegisterGrid(1, "zone.asc", &g1, nullptr, 0, "[zone_grid]", 0, 1, 4);
    obj_->RegisterGrid(2, "dhm.asc", &g2, nullptr, 0, "[elevation_model]", 0, 1, 4);
    obj_->RegisterGrid(3, "slope.asc", &g3, nullptr, 0, "slope", 0, 1, 4);
    obj_->RegisterGrid(4, "soilstack.stk", nullptr, &s4, 2, "soil_stack", 0, 1, 4);
    obj_->RegisterGrid(5, "temp.asc", &g5, nullptr, 0, "temperature", 0, 1, 4);

    EXPECT_EQ(obj_->FindGrid("slope", false), 3);
    EXPECT_EQ(obj_->FindGrid("temperature", false), 0);
    EXPECT_EQ(obj_->FindGrid("temperature", true), 5);
    EXPECT_EQ(obj_->FindGrid("soil_stack", true), 4);
    EXPECT_EQ(obj_->GetGridIndex("temperature"), 5);
    EXPECT_EQ(obj_->GetGridIndex("soil_stack"), 4);
    EXPECT_EQ(obj_->FindGrid("Slope", true), 0) << "names are case-sensitive";
    EXPECT_EQ(obj_->FindGrid("slop", true), 0) << "whole names only";
    EXPECT_EQ(obj_->FirstFreeGridIndex(), 6);
    EXPECT_EQ((*store_)[5].grid, &g5);
    EXPECT_EQ((*store_)[4].stack, &s4);
    EXPECT_EQ((*store_)[4].levels, 2);
}

TEST_F(GridStoreTest, AlternativeNamesTakeTheFirstPresent) {
    Matrix a = NewGrid(), c = NewGrid();
    obj_->RegisterGrid(1, "c.asc", &c, nullptr, 0, "c", 0, 1, 4);
    EXPECT_EQ(obj_->GetGridIndexOf3("a", "b", "c"), 1);
    obj_->RegisterGrid(2, "a.asc", &a, nullptr, 0, "a", 0, 1, 4);
    EXPECT_EQ(obj_->GetGridIndexOf3("a", "b", "c"), 2);
    EXPECT_EQ(obj_->GetGridIndexOf4("x", "b", "c", "a"), 1);
    EXPECT_EQ(obj_->GetGridIndexOf4("x", "y", "z", "a"), 2);
}

TEST_F(GridStoreTest, MissingNamesAreFatalWithCode33) {
    EXPECT_EQ(ErrorCode([&] { obj_->GetGridIndex("snowcover"); }), 33);
    EXPECT_NE(Console().find("\n---------------- !!! ERROR !!!  --------------------------\nsnowcover not found in "
                             "memory,\nThese data are needed within testmodule \nif they are interpolated data, "
                             "please specify an interpolator for\nsnowcover in the control file or read it in as a "
                             "standardfile,\n"),
              std::string::npos)
        << Console();
    ClearConsole();
    EXPECT_EQ(ErrorCode([&] { obj_->GetGridIndexOf3("p", "q", "r"); }), 33);
    EXPECT_NE(Console().find("Wether p, q or r \nwhere found in memory,\nOne of these data sets has to be present "
                             "within testmodule \nIf the data are to be interpolated, please specify an "
                             "interpolatior for\np, q or r in the control file,\nor read it as a standard grid \n"),
              std::string::npos)
        << Console();
    ClearConsole();
    EXPECT_EQ(ErrorCode([&] { obj_->GetGridIndexOf4("p", "q", "r", "s"); }), 33);
    EXPECT_NE(Console().find("Wether p, q, r or s \n"), std::string::npos);
    EXPECT_NE(Console().find("\np, q, r or s in the control file,"), std::string::npos);
}

TEST_F(GridStoreTest, SearchesEndAtTheFirstGap) {
    Matrix g = NewGrid();
    obj_->RegisterGrid(1, "a.asc", &g, nullptr, 0, "a", 0, 1, 4);
    obj_->RegisterGrid(3, "b.asc", &g, nullptr, 0, "b", 0, 1, 4);
    EXPECT_EQ(obj_->FindGrid("b", true), 0);
    EXPECT_EQ(obj_->FirstFreeGridIndex(), 2);
    EXPECT_EQ(ErrorCode([&] { obj_->GetGridIndex("b"); }), 33);
    // An empty file name is still a file name: the entry does not end the search.
    obj_->RegisterGrid(2, "", &g, nullptr, 0, "MPIRegions", 0, 1, 4);
    EXPECT_EQ(obj_->FindGrid("b", false), 3);
    EXPECT_EQ(obj_->GetGridIndex("b"), 3);
}

TEST_F(GridStoreTest, IndicesOutsideTheTableAreRefused) {
    Matrix g = NewGrid();
    EXPECT_EQ(ErrorCode([&] { obj_->RegisterGrid(1000, "x.asc", &g, nullptr, 0, "x", 0, 1, 4); }), 12);
    EXPECT_NE(Console().find("no free grid in memory,(max. 1000)!"), std::string::npos) << Console();
    for (int bad : {0, -1, 1001, 5000}) {
        EXPECT_EQ(ErrorCode([&] { obj_->RegisterGrid(bad, "x.asc", &g, nullptr, 0, "x", 0, 1, 4); }), 12) << bad;
        EXPECT_EQ(ErrorCode([&] { obj_->ReleaseGrid(bad); }), 12) << bad;
    }
    EXPECT_EQ(ErrorCode([&] { obj_->ReleaseGrid(1000); }), 12);
    EXPECT_EQ(ErrorCode([&] { obj_->RegisterGrid(999, "x.asc", &g, nullptr, 0, "x", 0, 1, 4); }), 0);
    EXPECT_EQ((*store_)[999].internalName, "x");
    obj_->gridStore = nullptr;
    EXPECT_EQ(ErrorCode([&] { obj_->RegisterGrid(1, "x.asc", &g, nullptr, 0, "x", 0, 1, 4); }), 12);
    EXPECT_EQ(obj_->FindGrid("x", true), 0);
    EXPECT_EQ(ErrorCode([&] { obj_->GetGridIndex("x"); }), 33);
}

TEST_F(GridStoreTest, StatisticGridsFollowTheWriteCode) {
    Matrix g = NewGrid();
    obj_->RegisterGrid(1, "out/rain.asc", &g, nullptr, 0, "rain", 1352, 2, 3);
    const GridStoreEntry& e = (*store_)[1];
    EXPECT_EQ(std::vector<long>({e.units, e.tens, e.minFlag, e.maxFlag, e.thousands, e.firstRow, e.lastRow}),
              std::vector<long>({2, 5, 1, 1, 1, 2, 3}));
    for (const Matrix* m : {&e.sumGrid, &e.minGrid, &e.maxGrid, &e.vegGrid}) {
        ASSERT_FALSE(m->empty());
        EXPECT_TRUE(!m->holds(1) && m->holds(2) && m->holds(3) && !m->holds(4));
        EXPECT_EQ((*m)[2][5], 0.0);
    }
    for (const std::string* n : {&e.fileName, &e.sumFileName, &e.minFileName, &e.maxFileName, &e.vegFileName,
                                 &e.baseFileName})
        EXPECT_EQ(*n, "out/rain.asc");

    Matrix plain = NewGrid();
    obj_->RegisterGrid(2, "t.asc", &plain, nullptr, 0, "t", 1, 1, 4);
    EXPECT_TRUE((*store_)[2].sumGrid.empty() && (*store_)[2].minGrid.empty() && (*store_)[2].vegGrid.empty());
}

TEST_F(GridStoreTest, ReregistrationKeepsTheBaseFileName) {
    Matrix g = NewGrid();
    obj_->RegisterGrid(1, "first.asc", &g, nullptr, 0, "x", 0, 1, 4);
    obj_->RegisterGrid(1, "second.asc", &g, nullptr, 0, "x", 0, 1, 4);
    EXPECT_EQ((*store_)[1].fileName, "second.asc");
    EXPECT_EQ((*store_)[1].baseFileName, "first.asc");
}

TEST_F(GridStoreTest, ReleaseLeavesTheProducersGridAndMayBeRepeated) {
    Matrix g = NewGrid();
    g[2][3] = 7.5;
    obj_->RegisterGrid(1, "rain.asc", &g, nullptr, 0, "rain", 1352, 1, 4);
    obj_->ReleaseGrid(1);
    const GridStoreEntry& e = (*store_)[1];
    EXPECT_TRUE(e.grid == nullptr && e.stack == nullptr && !e.hasFileName && !e.hasInternalName && !e.ownsBaseFileName);
    EXPECT_EQ(e.units + e.tens + e.minFlag + e.maxFlag + e.thousands + e.levels, 0);
    for (const Matrix* m : {&e.sumGrid, &e.minGrid, &e.maxGrid, &e.vegGrid}) EXPECT_TRUE(m->empty());
    EXPECT_EQ(g[2][3], 7.5);
    obj_->ReleaseGrid(1);
    EXPECT_EQ(obj_->FindGrid("rain", true), 0);
    EXPECT_EQ(obj_->FirstFreeGridIndex(), 1);
    // A released entry can be registered again with a new base name.
    obj_->RegisterGrid(1, "snow.asc", &g, nullptr, 0, "snow", 0, 1, 4);
    EXPECT_EQ((*store_)[1].baseFileName, "snow.asc");
}

TEST_F(GridStoreTest, LongNamesAreKeptWhole) {
    Matrix g = NewGrid();
    const std::string longName(500, 'n');
    const std::string longFile(3000, 'f');
    obj_->RegisterGrid(1, longFile, &g, nullptr, 0, longName, 100, 1, 4);
    EXPECT_EQ((*store_)[1].fileName, longFile);
    EXPECT_EQ((*store_)[1].minFileName, longFile);
    EXPECT_EQ(obj_->GetGridIndex(longName), 1);
    EXPECT_EQ(obj_->FindGrid(longName.substr(0, 100), true), 0);
}

}  // namespace

namespace {

// The bytes the store holds: the held rows of each grid and stack with their row pointers, a
// grid named by two entries once, the statistic grids of an entry, and only the rows this
// process holds.
TEST(GridStoreBytes, HeldRowsOfEachGridAndStackOnce) {
    memory_handling mh;
    constexpr std::size_t kD = sizeof(double), kP = sizeof(double*);
    Matrix whole = mh.matrix(1, 10, 1, 20, 10);
    Matrix part = mh.matrix(3, 5, 1, 20, 10);  // rows 3..5 of 10 on this process
    Stack stack = mh.matrix3d(1, 4, 1, 20, 3, 4);
    EXPECT_EQ(whole.bytes(), 11 * kP + 10 * 21 * kD);
    EXPECT_EQ(part.bytes(), 11 * kP + 3 * 21 * kD);
    EXPECT_EQ(stack.bytes(), 5 * kP + 4 * 21 * (kP + 4 * kD));
    GridStore store;
    store[1].grid = &whole;
    store[2].grid = &whole;
    store[3].grid = &part;
    store[4].stack = &stack;
    store[4].sumGrid = mh.matrix(1, 10, 1, 20, 10);
    EXPECT_EQ(store.HeldBytes(), 2 * whole.bytes() + part.bytes() + stack.bytes());
    EXPECT_EQ(GridStore().HeldBytes(), 0u);
}

// Grids and stacks made with every value set hold what a zeroed allocation and a fill of every
// value give: the same held rows and the same bits in every value, column 0 and level 0
// included, also where the rows are carved from several blocks and where the memory is reused.
TEST(FilledGrids, HoldWhatAllocationAndFillGive) {
    memory_handling mh;
    struct Shape {
        int first, last, ncols, nrows;
    };
    // The last shape spans several blocks; each round reuses the memory of the one before.
    const Shape shapes[] = {{1, 1, 1, 1}, {3, 5, 20, 10}, {1, 10, 7, 0}, {2, 3000, 400, 3000}};
    for (int round = 0; round < 2; ++round)
        for (const double v : {-9999.0, -0.0, 2.5}) {
            for (const Shape& h : shapes) {
                {
                    Matrix dirty = mh.matrix(h.first, h.last, 1, h.ncols, h.nrows);
                    dirty.fill(7.0);
                }
                const Matrix got = mh.FilledMatrix(h.first, h.last, 1, h.ncols, h.nrows, v);
                Matrix want = mh.matrix(h.first, h.last, 1, h.ncols, h.nrows);
                want.fill(v);
                ASSERT_EQ(got.rowCount(), want.rowCount());
                for (int r = 0; r <= want.rowCount(); ++r) {
                    ASSERT_EQ(got.holds(r), want.holds(r)) << r;
                    if (!want.holds(r)) continue;
                    ASSERT_EQ(std::memcmp(got[r], want[r], (static_cast<std::size_t>(h.ncols) + 1) * sizeof(double)), 0)
                        << "row " << r << " of " << h.last << " value " << v;
                }
            }
            const Stack got = mh.FilledMatrix3d(2, 9, 1, 30, 4, 12, v);
            Stack want = mh.matrix3d(2, 9, 1, 30, 4, 12);
            for (int r = 2; r <= 9; ++r) std::fill_n(want.rowBlock(r), 31 * 5, v);
            ASSERT_EQ(got.rowCount(), want.rowCount());
            for (int r = 0; r <= 12; ++r) {
                ASSERT_EQ(got.holds(r), want.holds(r)) << r;
                if (!want.holds(r)) continue;
                for (int c = 0; c <= 30; ++c)
                    ASSERT_EQ(std::memcmp(got[r][c], want[r][c], 5 * sizeof(double)), 0) << r << " " << c;
            }
        }
}

}  // namespace
