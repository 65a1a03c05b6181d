// Output by write code on the small basin divided among the processes: the files written,
// their names and their contents must be the same at every number of processes.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>

#include "grid_scenario.hpp"
#include "kernel/gridstore.hpp"

using talvo_test::ErrorCode;
using talvo_test::Rank;

namespace {

class WriteCodeTest : public talvo_test::ScenarioTest {
protected:
    void SetUp() override {
        ScenarioTest::SetUp();
        obj_->textOutput = true;
        obj_->SetEndDate(2016, 9, 25, 4);
    }

    void SetDate(std::int64_t y, std::int64_t m, std::int64_t d, std::int64_t h) {
        obj_->year = y;
        obj_->month = m;
        obj_->day = d;
        obj_->hour = h;
    }

    // A grid over this process's stored rows: f on its own cells, nodata elsewhere.
    void Fill(Matrix& m, const std::function<double(int, int)>& f) {
        for (int r = d_.lo; r <= d_.hi; ++r)
            for (int c = 1; c <= kCols; ++c) m[r][c] = Mine(r, c) ? f(r, c) : -9999.0;
    }

    // Registers grid_ under "g.asc" with the write code at the next free index.
    int Register(long code, const std::string& name = "g.asc") {
        grid_ = obj_->matrix(d_.lo, d_.hi, 1, kCols, kRows);
        grid_.fill(-9999.0);
        const int index = obj_->FirstFreeGridIndex();
        obj_->RegisterGrid(index, name, &grid_, nullptr, 0, "g", code, d_.lo, d_.hi);
        return index;
    }

    // Whether process 0 wrote the file (every process asks after all have written).
    static bool Written(const std::string& name) {
        MPI_Barrier(MPI_COMM_WORLD);
        int exists = Rank() == 0 && std::filesystem::exists(name) ? 1 : 0;
        MPI_Bcast(&exists, 1, MPI_INT, 0, MPI_COMM_WORLD);
        return exists == 1;
    }
    static std::string Read(const std::string& name) { return talvo_test::ReadShared(name); }

    Matrix grid_;
};

TEST_F(WriteCodeTest, DatedGridsAndTheMeanOverTheRun) {
    // Code 52: the grid dated at every call, its mean written at the end of the run.
    const int index = Register(52);
    for (int t = 1; t <= 4; ++t) {
        SetDate(2016, 9, 25, t);
        Fill(grid_, [t](int r, int c) { return Value(r, c) + t; });
        obj_->WriteStatisticGrids(index, true, false);
    }
    for (int t = 1; t <= 4; ++t)
        EXPECT_EQ(Read(StrFormat("g_20160925.%03d", t)), BasinText([t](int r, int c) { return Value(r, c) + t; }));
    // The dated write at the end of the run is followed by one under the plain name.
    EXPECT_EQ(Read("g.asc"), BasinText([](int r, int c) { return Value(r, c) + 4; }));
    EXPECT_EQ(Read("g.mit"), BasinText([](int r, int c) { return Value(r, c) + 2.5; }));
    EXPECT_EQ((*store_)[index].stepCount, 0);

    // The same date again counts the repeat.
    obj_->WriteStatisticGrids(index, true, true);
    EXPECT_TRUE(Written("g_20160925.004_001"));
}

// Binary grids written from process 0's gathered copies are the files one process writes
// from the whole grid, header statistics included, even where each copy takes memory just
// freed by other grids.
TEST_F(WriteCodeTest, GatheredBinaryGridsOverReusedMemoryAreTheWholeGridsFiles) {
    obj_->textOutput = false;
    obj_->doublePrecision = true;
    const int index = Register(52);
    auto value = [](int t) { return [t](int r, int c) { return Value(r, c) * (t % 2 ? 1 : -0.5) + t; }; };
    for (int t = 1; t <= 4; ++t) {
        SetDate(2016, 9, 25, t);
        Fill(grid_, value(t));
        Matrix junk = obj_->FilledMatrix(1, kRows, 1, kCols, kRows, 12345.0);
        junk.reset();
        obj_->WriteStatisticGrids(index, true, false);
    }
    Matrix whole = obj_->matrix(1, kRows, 1, kCols, kRows);
    for (int t = 1; t <= 4; ++t) {
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) whole[r][c] = Valid(r, c) ? value(t)(r, c) : -9999.0;
        if (Rank() == 0) obj_->WriteGrid("whole.bin", whole, false, true);
        const std::string want = Read("whole.bin");
        ASSERT_EQ(want.size(), (12u + kRows * kCols) * 8u);
        EXPECT_EQ(Read(StrFormat("g_20160925.%03d", t)), want) << t;
        if (t == 4) {
            EXPECT_EQ(Read("g.asc"), want);
        }
    }
}

// The cells outside the basin keep their values in a gathered grid file: each row takes them
// from its lowest holder (whole rows outside the basin, runs at the row's ends, a hole), so the
// dated binary files are those one process writes from the whole grid.
TEST_F(WriteCodeTest, GatheredGridFilesKeepTheCellsOutsideTheBasin) {
    obj_->textOutput = false;
    obj_->doublePrecision = true;
    const int index = Register(2);
    auto value = [](int t, int r, int c) {
        return Valid(r, c) ? Value(r, c) - 7.0 * t : 1000.0 + 10 * r + c + 0.125 * t * (r % 2 ? 1 : -1);
    };
    for (int t = 1; t <= 3; ++t) {
        SetDate(2016, 9, 25, t);
        // The cells of the other owners hold what the owners' own cells do not.
        for (int r = d_.lo; r <= d_.hi; ++r)
            for (int c = 1; c <= kCols; ++c) grid_[r][c] = Mine(r, c) || !Valid(r, c) ? value(t, r, c) : -1.0 - t;
        obj_->WriteStatisticGrids(index, true, false);
    }
    Matrix whole = obj_->matrix(1, kRows, 1, kCols, kRows);
    for (int t = 1; t <= 3; ++t) {
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) whole[r][c] = value(t, r, c);
        if (Rank() == 0) obj_->WriteGrid("whole.bin", whole, false, true);
        const std::string want = Read("whole.bin");
        ASSERT_EQ(want.size(), (12u + kRows * kCols) * 8u);
        EXPECT_EQ(Read(StrFormat("g_20160925.%03d", t)), want) << t;
    }
}

// A value that is not finite anywhere in a gathered grid stops the write on every process
// with its place, as the write of the whole grid does: inside the basin columns (a first
// value of the count, a later one, the hole), beside them at either end and in a row without
// basin cells. No dated file is left and the next good write goes on as before.
TEST_F(WriteCodeTest, ANonFiniteCellOfAGatheredGridStopsItsWriteWhereverItLies) {
    obj_->textOutput = false;
    obj_->doublePrecision = false;
    const int index = Register(2);
    auto fill = [&](double shift) {
        for (int r = d_.lo; r <= d_.hi; ++r)
            for (int c = 1; c <= kCols; ++c) grid_[r][c] = Valid(r, c) ? Value(r, c) + shift : 7.25 + shift;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<int, int> cells[] = {{2, 2}, {4, 5}, {8, 10}, {5, 6}, {2, 1}, {8, 11}, {8, 12}, {1, 4}, {9, 12}};
    int t = 0;
    for (const auto& [r, c] : cells)
        for (const double bad : {inf, -inf, std::nan("")}) {
            ++t;
            SetDate(2016, 9, 10 + t / 10, t % 10 + 1);
            fill(t);
            // Every process storing the row holds the value, whoever sends the cell.
            if (r >= d_.lo && r <= d_.hi) grid_[r][c] = bad;
            ClearConsole();
            const std::string name = StrFormat("g_201609%02d.%03d", 10 + t / 10, t % 10 + 1);
            EXPECT_EQ(ErrorCode([&] { obj_->WriteStatisticGrids(index, true, false); }), 17) << r << " " << c;
            const std::string place = "row " + std::to_string(r) + ", column " + std::to_string(c) + " of ";
            if (Rank() == 0) {
                EXPECT_NE(Console().find(place), std::string::npos) << r << " " << c << " " << bad;
            }
            EXPECT_FALSE(Written(name)) << r << " " << c;
        }
    SetDate(2016, 9, 25, 1);
    fill(0.5);
    obj_->WriteStatisticGrids(index, true, false);
    Matrix whole = obj_->matrix(1, kRows, 1, kCols, kRows);
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) whole[r][c] = Valid(r, c) ? Value(r, c) + 0.5 : 7.75;
    if (Rank() == 0) obj_->WriteGrid("whole.bin", whole, false, false);
    EXPECT_EQ(Read("g_20160925.001"), Read("whole.bin"));
}

TEST_F(WriteCodeTest, OnlyTheExtremeGridThatExistsIsKeptAndWritten) {
    auto run = [&](long code) {
        const int index = Register(code, StrFormat("x%ld.asc", code));
        for (int t = 1; t <= 4; ++t) {
            SetDate(2016, 9, 25, t);
            const double add = t == 2 ? -10 : t;
            Fill(grid_, [add](int r, int c) { return Value(r, c) + add; });
            obj_->WriteStatisticGrids(index, true, false);
        }
        obj_->ReleaseGrid(index);
    };
    run(100);
    run(200);
    run(300);
    const auto low = BasinText([](int r, int c) { return Value(r, c) - 10; });
    const auto high = BasinText([](int r, int c) { return Value(r, c) + 4; });
    EXPECT_EQ(Read("x100.min"), low);
    EXPECT_FALSE(Written("x100.max"));
    EXPECT_FALSE(Written("x200.min"));
    EXPECT_EQ(Read("x200.max"), high);
    EXPECT_EQ(Read("x300.min"), low);
    EXPECT_EQ(Read("x300.max"), high);
    EXPECT_FALSE(Written("x300.asc"));  // units digit 0: the grid itself is never written
}

// A step without data in a cell (an input without any valid station value) is left out: the
// mean is over the cell's steps with data, the sum of a cell without any is nodata, and the
// extremes take the values only.
TEST_F(WriteCodeTest, StepsWithoutDataAreLeftOutOfMeansSumsAndExtremes) {
    const auto gap = [](int t, int r, int c) { return t == 2 || (t == 3 && (r + c) % 2 == 0); };
    const int mean = Register(350, "m.asc");
    for (int t = 1; t <= 4; ++t) {
        SetDate(2016, 9, 25, t);
        Fill(grid_, [&](int r, int c) { return gap(t, r, c) ? -9999.0 : Value(r, c) + t; });
        obj_->WriteStatisticGrids(mean, true, false);
    }
    EXPECT_EQ(Read("m.mit"), BasinText([](int r, int c) { return Value(r, c) + ((r + c) % 2 == 0 ? 2.5 : 8.0 / 3); }));
    EXPECT_EQ(Read("m.min"), BasinText([](int r, int c) { return Value(r, c) + 1; }));
    EXPECT_EQ(Read("m.max"), BasinText([](int r, int c) { return Value(r, c) + 4; }));
    obj_->ReleaseGrid(mean);
    // Sums over the run; the cells of column 2 have no data in any step.
    const int sum = Register(10, "s.asc");
    for (int t = 1; t <= 4; ++t) {
        SetDate(2016, 9, 25, t);
        Fill(grid_, [&](int r, int c) { return c == 2 || gap(t, r, c) ? -9999.0 : 1.0; });
        obj_->WriteStatisticGrids(sum, true, false);
    }
    EXPECT_EQ(Read("s.sum"), BasinText([](int r, int c) { return c == 2 ? -9999.0 : (r + c) % 2 == 0 ? 2.0 : 3.0; }));
}

// A cell without data in a step is left out of its mean wherever it lies in its row (here in
// the middle of the rows, in a step where every other cell has data).
TEST_F(WriteCodeTest, ACellWithoutDataAmongCellsWithDataIsLeftOutOfItsMean) {
    const auto gap = [](int t, int c) { return (t == 2 && c == 4) || (t == 3 && c == 7); };
    const int mean = Register(50, "g.asc");
    for (int t = 1; t <= 4; ++t) {
        SetDate(2016, 9, 25, t);
        Fill(grid_, [&](int r, int c) { return gap(t, c) ? -9999.0 : Value(r, c) + t; });
        obj_->WriteStatisticGrids(mean, true, false);
    }
    EXPECT_EQ(Read("g.mit"),
              BasinText([](int r, int c) { return Value(r, c) + (c == 4 ? 8.0 / 3 : c == 7 ? 7.0 / 3 : 2.5); }));
}

TEST_F(WriteCodeTest, MonthSumsWithTheTwentyEightDayFebruary) {
    // Daily steps dated at hour 24. 29 February 2016 is not the end of a month: its values go
    // into the sum that ends on 31 March, also for an object whose own calendar (the set-up's,
    // from a leap end year) gives February 29 days.
    obj_->daysPerMonth[1] = 29;
    obj_->SetEndDate(2016, 12, 31, 24);
    const int sums = Register(30, "s.asc");
    Matrix& sumGrid = grid_;
    Matrix means = obj_->matrix(d_.lo, d_.hi, 1, kCols, kRows);
    means.fill(-9999.0);
    const int mean = obj_->FirstFreeGridIndex();
    obj_->RegisterGrid(mean, "m.asc", &means, nullptr, 0, "m", 70, d_.lo, d_.hi);
    const int days[][2] = {{2, 27}, {2, 28}, {2, 29}, {3, 31}};
    for (int k = 0; k < 4; ++k) {
        SetDate(2016, days[k][0], days[k][1], 24);
        Fill(sumGrid, [k](int r, int c) { return Value(r, c) + k; });
        Fill(means, [k](int r, int c) { return Value(r, c) + k; });
        obj_->WriteStatisticGrids(sums, true, false);
        obj_->WriteStatisticGrids(mean, true, false);
    }
    EXPECT_EQ(Read("s_1602.sum"), BasinText([](int r, int c) { return 2 * Value(r, c) + 1; }));
    EXPECT_EQ(Read("s_1603.sum"), BasinText([](int r, int c) { return 2 * Value(r, c) + 5; }));
    EXPECT_EQ(Read("m_1603.mit"), BasinText([](int r, int c) { return Value(r, c) + 2.5; }));
    EXPECT_FALSE(Written("s_1602.29s"));
}

TEST_F(WriteCodeTest, UnitsDigitsFollowDayMonthYearAndRunEnds) {
    obj_->SetEndDate(2016, 12, 31, 24);
    const long codes[] = {3, 4, 5, 6, 7, 40};
    std::vector<int> index;
    std::vector<Matrix> grids;
    grids.reserve(6);
    for (long code : codes) {
        grids.push_back(obj_->matrix(d_.lo, d_.hi, 1, kCols, kRows));
        Fill(grids.back(), [](int r, int c) { return Value(r, c); });
        index.push_back(obj_->FirstFreeGridIndex());
        obj_->RegisterGrid(index.back(), StrFormat("u%ld.asc", code), &grids.back(), nullptr, 0,
                           StrFormat("u%ld", code), code, d_.lo, d_.hi);
    }
    const int dates[][3] = {{11, 30, 12}, {11, 30, 24}, {12, 30, 24}, {12, 31, 24}};
    for (const auto& d : dates) {
        SetDate(2016, d[0], d[1], d[2]);
        for (int i : index) obj_->WriteStatisticGrids(i, true, false);
    }
    // u5 is dated at the end of the run, then written under the plain name.
    const std::pair<const char*, bool> files[] = {
        {"u3.asc", true},           {"u4.asc", true},           {"u5_20161130.024", true}, {"u5_20161130.012", false},
        {"u5_20161231.024", true},  {"u5.asc", true},           {"u6_20161130.024", true}, {"u6_20161230.024", false},
        {"u6_20161231.024", true},  {"u7_20161130.024", false}, {"u7_20161231.024", true}, {"u40_1611.30s", true},
        {"u40_1612.31s", true},     {"u40.asc", false}};
    for (const auto& [name, written] : files) EXPECT_EQ(Written(name), written) << name;
    EXPECT_EQ(Read("u40_1612.30s"), BasinText());
}

TEST_F(WriteCodeTest, StackLevelOneFeedsTheStatisticsAndStacksAreWrittenByCode) {
    const int levels = 2;
    Stack stack = obj_->matrix3d(d_.lo, d_.hi, 1, kCols, levels, kRows);
    for (int r = d_.lo; r <= d_.hi; ++r)
        for (int c = 1; c <= kCols; ++c)
            for (int l = 0; l <= levels; ++l) stack[r][c][l] = Mine(r, c) ? LevelValue(r, c, l) : -9999.0;
    // An entry with grid and stack: the statistics see level 1 of the stack.
    grid_ = obj_->matrix(d_.lo, d_.hi, 1, kCols, kRows);
    grid_.fill(-9999.0);
    const int both = obj_->FirstFreeGridIndex();
    obj_->RegisterGrid(both, "lev.asc", &grid_, &stack, levels, "lev", 10, d_.lo, d_.hi);
    SetDate(2016, 9, 25, 4);
    obj_->WriteStatisticGrids(both, true, false);
    EXPECT_EQ(Read("lev.sum"), BasinText([](int r, int c) { return LevelValue(r, c, 1); }));

    const int index = obj_->FirstFreeGridIndex();
    obj_->RegisterGrid(index, "tsoil.asc", nullptr, &stack, levels, "tsoil", 2, d_.lo, d_.hi);
    obj_->WriteStackByCode(index);
    std::string want = "stack_ncols\t12\nnrows\t9\nxll\t100.5\nyll\t200.25\ncs\t50\nnodata\t-9999\ncnt\t0\nmin\t0\n"
                       "max\t0\nsum\t0\naverage\t0\nnumlevels\t2\n";
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c)
            for (int l = 0; l <= levels; ++l) want += StrFormat("%g\n", Valid(r, c) ? LevelValue(r, c, l) : -9999.0);
    // Dated stacks keep four characters of the prefix; at the end of the run the plain name follows.
    EXPECT_EQ(Read("tsoi_20160925.004"), want);
    EXPECT_EQ(Read("tsoil.asc"), want);

    // Binary stacks are written by all processes together, dated again at the same date.
    obj_->textOutput = false;
    obj_->doublePrecision = true;
    obj_->WriteStackByCode(index);
    EXPECT_EQ(Read("tsoi_20160925.004_001"), BasinStackBytes<double>(levels));
}

// Stacks with units 4 and 5 are written at the end of each day only: under the plain name, or
// dated (and at the end of the run once more under the plain name).
TEST_F(WriteCodeTest, StacksOfTheEndOfEachDay) {
    obj_->SetEndDate(2016, 9, 26, 24);
    const int levels = 1;
    Stack stack = obj_->matrix3d(d_.lo, d_.hi, 1, kCols, levels, kRows);
    for (int r = d_.lo; r <= d_.hi; ++r)
        for (int c = 1; c <= kCols; ++c)
            for (int l = 0; l <= levels; ++l) stack[r][c][l] = Mine(r, c) ? LevelValue(r, c, l) : -9999.0;
    const int daily = obj_->FirstFreeGridIndex();
    obj_->RegisterGrid(daily, "day.stk", nullptr, &stack, levels, "day", 4, d_.lo, d_.hi);
    const int dated = obj_->FirstFreeGridIndex();
    obj_->RegisterGrid(dated, "dated.stk", nullptr, &stack, levels, "dated", 5, d_.lo, d_.hi);
    SetDate(2016, 9, 25, 12);
    obj_->WriteStackByCode(daily);
    obj_->WriteStackByCode(dated);
    EXPECT_FALSE(Written("day.stk"));
    EXPECT_FALSE(Written("date_20160925.012"));
    SetDate(2016, 9, 25, 24);
    obj_->WriteStackByCode(daily);
    obj_->WriteStackByCode(dated);
    EXPECT_TRUE(Written("day.stk"));
    EXPECT_TRUE(Written("date_20160925.024"));
    EXPECT_FALSE(Written("dated.stk"));
    SetDate(2016, 9, 26, 24);
    obj_->WriteStackByCode(dated);
    EXPECT_TRUE(Written("date_20160926.024"));
    EXPECT_EQ(Read("dated.stk"), Read("date_20160926.024"));
}

TEST_F(WriteCodeTest, VegetationPeriodMean) {
    std::vector<Matrix> veg;
    veg.reserve(3);
    const char* names[] = {"VegetationStart1", "VegetationStop1", "VegetationDuration1"};
    const double values[] = {0.0, 0.0, 4.0};
    for (int i = 0; i < 3; ++i) {
        veg.push_back(obj_->matrix(d_.lo, d_.hi, 1, kCols, kRows));
        veg.back().fill(values[i]);
        obj_->RegisterGrid(obj_->FirstFreeGridIndex(), "v.asc", &veg.back(), nullptr, 0, names[i], 0, d_.lo, d_.hi);
    }
    if (veg[0].holds(5)) veg[0][5][5] = -1;  // a cell before its vegetation period adds nothing
    const int index = Register(2000, "etr.asc");
    GridStoreEntry& e = (*store_)[index];
    e.vegStartFlag = 1;
    for (int t = 1; t <= 2; ++t) {
        SetDate(2016, 6, t, 24);
        Fill(grid_, [](int r, int c) { return Value(r, c); });
        if (t == 2) e.vegEndFlag = 1;
        obj_->WriteStatisticGrids(index, true, false);
    }
    // The step of the start flag only starts the period; the second step is summed.
    EXPECT_EQ(Read("etr_0016_vegper.mit"),
              BasinText([](int r, int c) { return r == 5 && c == 5 ? 0.0 : Value(r, c) / 4.0; }));
    EXPECT_EQ(e.vegEndFlag, 0);
}

TEST_F(WriteCodeTest, MissingVegetationGridsAreFatalEverywhere) {
    const int index = Register(1000);
    SetDate(2016, 6, 1, 24);
    EXPECT_EQ(ErrorCode([&] { obj_->WriteStatisticGrids(index, true, false); }), 33);
    EXPECT_NE(Console().find("VegetationStart1 not found in memory"), std::string::npos);
}

TEST_F(WriteCodeTest, FilledAtRegistrationSkipAndPassedOverEntries) {
    grid_ = obj_->matrix(d_.lo, d_.hi, 1, kCols, kRows);
    Fill(grid_, [](int r, int c) { return Value(r, c); });
    SetDate(2016, 9, 25, 1);
    const int index = obj_->FirstFreeGridIndex();
    obj_->RegisterGrid(index, "dem.asc", &grid_, nullptr, 0, "dem", 358, d_.lo, d_.hi);
    EXPECT_EQ(Read("dem.asc.filled"), BasinText());
    // At the end of the run, with statistics skipped, only the grid is written.
    SetDate(2016, 9, 25, 4);
    obj_->WriteStatisticGrids(index, true, true);
    EXPECT_TRUE(Written("dem.asc"));
    EXPECT_FALSE(Written("dem.mit"));
    EXPECT_FALSE(Written("dem.min"));
    EXPECT_EQ((*store_)[index].stepCount, 2);

    obj_->WriteStatisticGrids(0, true, false);
    obj_->WriteStatisticGrids(1001, true, false);
    obj_->WriteStatisticGrids(999, true, false);  // a free entry has no grid
    obj_->WriteStackByCode(index);                // a grid entry has no stack
}

}  // namespace
