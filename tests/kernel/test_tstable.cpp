// Dated time-series tables: layout, block loading, cursor and the end of the data.
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/diaglog.hpp"
#include "kernel/tstable.hpp"
#include "kernel_fixture.hpp"

namespace {

class TimeSeriesTableTest : public talvo_test::TempDirTest {
protected:
    // Every process writes a file of its own into the shared directory.
    std::string Write(const std::string& text) {
        const std::string name = "table_" + std::to_string(talvo_test::Rank()) + "_" + std::to_string(files_++);
        talvo_test::WriteFile(name, text);
        return name;
    }
    // Rows year 2000, month 1, day 1, hour i, one value i * 10, for i = 1..n.
    static std::string Rows(int n) {
        std::string s;
        for (int i = 1; i <= n; ++i) s += "2000 1 1 " + std::to_string(i) + " " + std::to_string(i * 10) + "\n";
        return s;
    }
    // Walks from before the first row to the end, collecting the first value of every row.
    static std::vector<double> Walk(TimeSeriesTable& t) {
        std::vector<double> seen;
        t.SetRow(-1);
        for (int guard = 0; guard < 1000; ++guard) {
            t.NextRow();
            if (t.State() != TimeSeriesTable::kMoreRows && t.State() != TimeSeriesTable::kLastBlock) break;
            seen.push_back(t.GetValue(0));
        }
        return seen;
    }
    int files_ = 0;
};

// Budget of exactly n rows of one value column.
constexpr std::uint64_t RowsBudget(std::uint64_t n) { return n * (8 + 16); }

TEST_F(TimeSeriesTableTest, LearnsHeaderColumnsAndValues) {
    const std::string name = Write("Observed discharge\n-- YY MM DD HH Q1 Q2\n 1999 header with blank\n"
                                   "1999 12 31 23 1.5 -2.25\r\n2000 1 1 0 3e2 4\r\n");
    TimeSeriesTable t;
    EXPECT_EQ(t.State(), TimeSeriesTable::kNotOpened);
    EXPECT_EQ(t.Open(name, 7, 1000000), 3);
    EXPECT_EQ(t.State(), TimeSeriesTable::kLastBlock);
    EXPECT_EQ(t.Columns(), 2);
    EXPECT_EQ(t.RowsInBlock(), 2);
    EXPECT_EQ(t.Mode(), 7);
    EXPECT_EQ(t.Row(), 0);
    int y, m, d, h;
    t.GetDate(y, m, d, h);
    EXPECT_EQ(std::vector<int>({y, m, d, h}), std::vector<int>({1999, 12, 31, 23}));
    EXPECT_DOUBLE_EQ(t.GetValue(0), 1.5);
    EXPECT_DOUBLE_EQ(t.GetValue(1), -2.25);
    EXPECT_EQ(t.GetValue(2), -9999.0);
    EXPECT_EQ(t.GetValue(-1), -9999.0);
    t.NextRow();
    EXPECT_DOUBLE_EQ(t.GetValue(0), 300.0);
    // An opened table ignores a second Open.
    EXPECT_EQ(t.Open(name, 0, 10), 0);
    EXPECT_EQ(t.Row(), 1);
}

TEST_F(TimeSeriesTableTest, HeaderCasesAndUnreadableFiles) {
    TimeSeriesTable direct(Write(Rows(2)), 0, 1000000);
    EXPECT_EQ(direct.State(), TimeSeriesTable::kLastBlock);
    EXPECT_DOUBLE_EQ(direct.GetValue(0), 10.0);

    TimeSeriesTable noData(Write("header only\nno data\n"), 0, 1000000);
    EXPECT_EQ(noData.State(), TimeSeriesTable::kFormatError);
    TimeSeriesTable empty(Write(""), 0, 1000000);
    EXPECT_EQ(empty.State(), TimeSeriesTable::kFormatError);

    TimeSeriesTable missing("does_not_exist.txt", 0, 1000000);
    EXPECT_EQ(missing.State(), TimeSeriesTable::kCannotOpen);
    missing.NextRow();
    EXPECT_EQ(missing.State(), TimeSeriesTable::kCannotOpen);
    EXPECT_EQ(missing.GetValue(0), -9999.0);
    int y = 1, m = 1, d = 1, h = 1;
    missing.GetDate(y, m, d, h);
    EXPECT_EQ(y + m + d + h, 0);

    // Only the four date integers: no value columns.
    TimeSeriesTable dates(Write("2000 1 1 0\n2000 1 1 1\n"), 0, 1000000);
    EXPECT_EQ(dates.Columns(), 0);
    EXPECT_EQ(dates.GetValue(0), -9999.0);
}

TEST_F(TimeSeriesTableTest, FirstDataRowWithoutDateThrows) {
    std::ostringstream console;
    DiagLog log("diag.xml", 4);
    log.SetConsole(console);
    EXPECT_EQ(talvo_test::ErrorCode([&] { TimeSeriesTable t(Write("head\n2000 1\n"), 0, 1000000, &log); }), 201);
    EXPECT_NE(console.str().find("first data row"), std::string::npos);
}

TEST_F(TimeSeriesTableTest, BlockSizeFollowsTheBudget) {
    TimeSeriesTable three(Write("2000 1 1 0 1 2 3\n"), 0, 1000000);
    EXPECT_EQ(three.RowsPerBlock(), 25000);
    // Even a budget below one row loads one row per block.
    TimeSeriesTable tiny(Write(Rows(3)), 0, 5);
    EXPECT_EQ(tiny.RowsPerBlock(), 1);
    EXPECT_EQ(Walk(tiny), (std::vector<double>{10, 20, 30}));
    EXPECT_EQ(tiny.State(), TimeSeriesTable::kAtEnd);
}

TEST_F(TimeSeriesTableTest, RowsAcrossBlocksAreHandedOutOnceInOrder) {
    TimeSeriesTable t(Write("head\n" + Rows(10)), 0, RowsBudget(3));
    ASSERT_EQ(t.RowsPerBlock(), 3);
    EXPECT_EQ(t.State(), TimeSeriesTable::kMoreRows);
    std::vector<double> expected;
    for (int i = 1; i <= 10; ++i) expected.push_back(i * 10);
    EXPECT_EQ(Walk(t), expected);
    EXPECT_EQ(t.State(), TimeSeriesTable::kAtEnd);
    EXPECT_EQ(t.RowsInBlock(), 1);
    EXPECT_DOUBLE_EQ(t.GetValue(0), 100.0);
    int y, m, d, h;
    t.GetDate(y, m, d, h);
    EXPECT_EQ(h, 10);
}

TEST_F(TimeSeriesTableTest, DataEndingAtABlockBoundaryEndsCleanly) {
    // Without and with trailing newline and blank lines after the last row.
    for (const std::string& tail : {std::string(), std::string("\n"), std::string("\n   \n\t\n\n")}) {
        std::string rows = Rows(6);
        rows.pop_back();
        TimeSeriesTable t(Write(rows + tail), 0, RowsBudget(3));
        t.NextRow();
        t.NextRow();
        EXPECT_EQ(t.State(), TimeSeriesTable::kMoreRows);
        t.NextRow();  // loads the second block, the last one
        EXPECT_EQ(t.State(), TimeSeriesTable::kLastBlock);
        EXPECT_EQ(t.RowsInBlock(), 3);
        t.NextRow();
        t.NextRow();
        EXPECT_DOUBLE_EQ(t.GetValue(0), 60.0);
        t.NextRow();
        EXPECT_EQ(t.State(), TimeSeriesTable::kAtEnd);
        EXPECT_EQ(t.Row(), 2);
        EXPECT_DOUBLE_EQ(t.GetValue(0), 60.0);
        t.NextRow();
        EXPECT_EQ(t.State(), TimeSeriesTable::kAtEnd);
        EXPECT_DOUBLE_EQ(t.GetValue(0), 60.0);
    }
    // The whole file in one block that is exactly full.
    TimeSeriesTable full(Write(Rows(4)), 0, RowsBudget(4));
    EXPECT_EQ(full.State(), TimeSeriesTable::kLastBlock);
    EXPECT_EQ(Walk(full), (std::vector<double>{10, 20, 30, 40}));
}

TEST_F(TimeSeriesTableTest, RowWithOtherValueCountIsAFormatError) {
    const std::vector<std::string> badRows = {"2000 1 1 9 1 2\n",      // one value too many
                                              "2000 1 1 9\n",          // none
                                              "2000 1 1 9\n90\n",      // value on the next line
                                              "2000 1 1 x 90\n",       // date not readable
                                              "# remark\n"};
    for (const std::string& bad : badRows) {
        std::ostringstream console;
        DiagLog log("diag_" + std::to_string(talvo_test::Rank()) + ".xml", 4);
        log.SetConsole(console);
        TimeSeriesTable t(Write(Rows(4) + bad + Rows(2)), 0, RowsBudget(3), &log);
        EXPECT_EQ(t.State(), TimeSeriesTable::kMoreRows) << bad;
        t.SetRow(2);
        t.NextRow();  // the second block holds row 4, then the bad row
        EXPECT_EQ(t.State(), TimeSeriesTable::kFormatError) << bad;
        EXPECT_EQ(t.RowsInBlock(), 1) << bad;
        EXPECT_DOUBLE_EQ(t.GetValue(0), 40.0) << bad;
        EXPECT_NE(console.str().find("data row 5 of " + t.FileName() + " cannot be read as a date and 1 value:"), std::string::npos)
            << console.str();
        // The last readable row is the end of the table: no caller takes it again for later dates.
        t.NextRow();
        EXPECT_EQ(t.State(), TimeSeriesTable::kAtEnd) << bad;
        EXPECT_DOUBLE_EQ(t.GetValue(0), 40.0) << bad;
    }
    // A bad row at the start of a block leaves no row to hand out.
    TimeSeriesTable t(Write(Rows(3) + "2000 1 1 4 1 2\n"), 0, RowsBudget(3));
    t.SetRow(2);
    t.NextRow();
    EXPECT_EQ(t.State(), TimeSeriesTable::kFormatError);
    EXPECT_EQ(t.GetValue(0), -9999.0);
    int y = 1, m = 1, d = 1, h = 1;
    t.GetDate(y, m, d, h);
    EXPECT_EQ(y + m + d + h, 0);
}

TEST_F(TimeSeriesTableTest, FewerThanTenBytesAfterTheLastValueEndTheData) {
    // A closing mark after the last row ("end", a control character) is no row: the data end
    // there, in the first block as in a later one.
    for (const std::string& mark : {std::string("end\n"), std::string("\x1a"), std::string("x 12345\n")}) {
        TimeSeriesTable one(Write(Rows(3) + mark), 0, 1000000);
        EXPECT_EQ(one.State(), TimeSeriesTable::kLastBlock) << mark;
        EXPECT_EQ(Walk(one), (std::vector<double>{10, 20, 30})) << mark;
        EXPECT_EQ(one.State(), TimeSeriesTable::kAtEnd) << mark;
        TimeSeriesTable blocks(Write(Rows(5) + mark), 0, RowsBudget(2));
        EXPECT_EQ(Walk(blocks), (std::vector<double>{10, 20, 30, 40, 50})) << mark;
        EXPECT_EQ(blocks.State(), TimeSeriesTable::kAtEnd) << mark;
    }
    // Ten bytes or more after the last value are read as a row.
    TimeSeriesTable longer(Write(Rows(3) + "end of data\n"), 0, 1000000);
    EXPECT_EQ(longer.State(), TimeSeriesTable::kFormatError);
}

TEST_F(TimeSeriesTableTest, CursorMovesStayWithinTheBlock) {
    TimeSeriesTable t(Write(Rows(5)), 0, 1000000);
    ASSERT_EQ(t.RowsInBlock(), 5);
    t.SetRow(-1);
    EXPECT_EQ(t.Row(), -1);
    EXPECT_EQ(t.GetValue(0), -9999.0);
    t.SetRow(6);
    EXPECT_EQ(t.Row(), -1);
    t.SetRow(5);  // one past the last row is a valid cursor but no row
    EXPECT_EQ(t.Row(), 5);
    EXPECT_EQ(t.GetValue(0), -9999.0);
    t.MoveRow(-3);
    EXPECT_EQ(t.Row(), 2);
    EXPECT_DOUBLE_EQ(t.GetValue(0), 30.0);
    t.MoveRow(-4);
    EXPECT_EQ(t.Row(), 2);
    t.MoveRow(std::numeric_limits<std::int64_t>::max());
    t.MoveRow(std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(t.Row(), 2);
    t.MoveRow(-3);
    EXPECT_EQ(t.Row(), -1);
}

TEST_F(TimeSeriesTableTest, ReloadAndClear) {
    const std::string name = Write(Rows(5));
    TimeSeriesTable t(name, 0, RowsBudget(2));
    t.Reload();
    EXPECT_DOUBLE_EQ(t.GetValue(0), 30.0);
    t.Reload();
    EXPECT_EQ(t.State(), TimeSeriesTable::kLastBlock);
    EXPECT_DOUBLE_EQ(t.GetValue(0), 50.0);
    t.Reload();  // nothing more to load
    EXPECT_DOUBLE_EQ(t.GetValue(0), 50.0);

    t.Clear();
    EXPECT_EQ(t.State(), TimeSeriesTable::kNotOpened);
    EXPECT_EQ(t.GetValue(0), -9999.0);
    EXPECT_EQ(t.Open(name, 0, 1000000), 0);
    EXPECT_EQ(t.RowsInBlock(), 5);
}

}  // namespace
