// The set-up's work in the time loop: standard grids re-read from dated files by their
// periodicity (and returning to their first values when not persistent), output of the
// standard grids by write code, and one zone statistics table per standard grid.
#include <gtest/gtest.h>

#include <mpi.h>

#include "domain_fixture.hpp"

using setup_test::GridText;
using setup_test::kNd;
using setup_test::Rows;

namespace {

constexpr int kRows = 6, kCols = 12;

// Zone 3 in columns 1-6, zone 5 in columns 7-12; the first cell lies outside the basin.
Rows Zone() {
    Rows z = setup_test::Fill(kRows, kCols, [](int, int c) { return c <= 6 ? 3.0 : 5.0; });
    z[0][0] = kNd;
    return z;
}
Rows Basin(double v) { return setup_test::OnZone(Zone(), v); }

class PeriodicOutputTest : public setup_test::SmallDomainTest {
protected:
    void BuildBasin() { Build(Zone(), {}); }

    // The dated file of a periodic grid, "<file>_YYYYMMDDHH", holding one value.
    void DatedFile(const std::string& file, int year, int month, int day, int hour, double value) {
        setup_test::WriteShared(StrFormat("%s_%04d%02d%02d%02d", file.c_str(), year, month, day, hour),
                                GridText(Basin(value), 1000, 2000, 10));
    }
    // A periodic standard grid; returns its store index.
    int Periodic(const std::string& file, const std::string& name, double initial, int n, const char* letters, int k,
                 bool persistent = true, int revert = 0) {
        const int index = Given(file, name, Basin(initial));
        GridDefinition& def = Define(index);
        def.periodCount = n;
        def.periodLetters = letters;
        def.periodSteps = k;
        def.persistent = persistent;
        def.revertSteps = revert;
        return index;
    }
    std::vector<OutputCodeEntry> table_ = std::vector<OutputCodeEntry>(kOutputCodeTableSize);
};

TEST_F(PeriodicOutputTest, DailyPeriodWithHourlyStepsSwitchesAtTheFirstStepOfEveryDay) {
    BuildBasin();
    Periodic("rain.asc", "rain", 0.0, 1, "D", 1);
    DatedFile("rain.asc", 2000, 1, 1, 1, 101);
    DatedFile("rain.asc", 2000, 1, 2, 1, 201);
    // Any other switch would look for a file that does not exist and fail.
    for (int day = 1; day <= 2; ++day) {
        for (int hour = 1; hour <= 24; ++hour) {
            setup_->UpdatePeriodicGrids(hour, day, 1, 2000);
            ExpectOwnCells("rain", Basin(day * 100 + 1));
        }
    }
    // With daily steps the hour never changes: only the first step switches.
    BuildBasin();
    Periodic("snow.asc", "snow", 0.0, 1, "D", 1);
    DatedFile("snow.asc", 2000, 1, 1, 24, 7);
    for (int day = 1; day <= 5; ++day) setup_->UpdatePeriodicGrids(24, day, 1, 2000);
    ExpectOwnCells("snow", Basin(7));
}

TEST_F(PeriodicOutputTest, TwoMonthPeriodSwitchesAtEverySecondNewMonth) {
    BuildBasin();
    Periodic("lai.asc", "lai", 0.0, 2, "M", 1);
    DatedFile("lai.asc", 2000, 2, 1, 24, 2);
    DatedFile("lai.asc", 2000, 4, 1, 24, 4);
    const int days[] = {31, 29, 31, 30, 31};
    double expected = 0;
    for (int month = 1; month <= 5; ++month) {
        for (int day = month == 1 ? 15 : 1; day <= days[month - 1]; ++day) {
            setup_->UpdatePeriodicGrids(24, day, month, 2000);
            if (day == 1 && (month == 2 || month == 4)) expected = month;
        }
        ExpectOwnCells("lai", Basin(expected));
    }
}

TEST_F(PeriodicOutputTest, YearlyPeriodSwitchesAtTheFirstStepOfEveryYear) {
    BuildBasin();
    Periodic("ice.asc", "ice", 0.0, 1, "Y", 1);
    // Letters without H, D, M or Y never switch: a switch would look for a missing file and fail.
    Periodic("odd.asc", "odd", 9.0, 1, "W", 1);
    DatedFile("ice.asc", 2000, 12, 30, 24, 1);
    DatedFile("ice.asc", 2001, 1, 1, 24, 2);
    struct Step {
        int day, month, year;
        double ice;
    };
    // Daily steps: the month observed rises within a year and wraps at its turn.
    const Step steps[] = {{30, 12, 2000, 1}, {31, 12, 2000, 1}, {1, 1, 2001, 2}, {2, 1, 2001, 2}, {1, 2, 2001, 2}};
    for (const Step& s : steps) {
        setup_->UpdatePeriodicGrids(24, s.day, s.month, s.year);
        ExpectOwnCells("ice", Basin(s.ice));
        ExpectOwnCells("odd", Basin(9.0));
    }
}

TEST_F(PeriodicOutputTest, ANonPersistentGridReturnsToItsFirstValues) {
    BuildBasin();
    Periodic("wet.asc", "wet", 7.0, 1, "D", 1, false, 3);
    DatedFile("wet.asc", 2000, 1, 1, 1, 50);
    DatedFile("wet.asc", 2000, 1, 2, 1, 60);
    const double expected[] = {50, 50, 50, 7, 7};
    for (int hour = 1; hour <= 5; ++hour) {
        setup_->UpdatePeriodicGrids(hour, 1, 1, 2000);
        ExpectOwnCells("wet", Basin(expected[hour - 1]));
    }
    setup_->UpdatePeriodicGrids(1, 2, 1, 2000);
    ExpectOwnCells("wet", Basin(60));
    for (int hour = 2; hour <= 4; ++hour) setup_->UpdatePeriodicGrids(hour, 2, 1, 2000);
    ExpectOwnCells("wet", Basin(7));
}

TEST_F(PeriodicOutputTest, ARevertCountOfZeroOrLessNeverReverts) {
    for (int revert : {0, -2}) {
        BuildBasin();
        Periodic("wet.asc", "wet", 7.0, 1, "D", 1, false, revert);
        DatedFile("wet.asc", 2000, 1, 1, 1, 50);
        for (int hour = 1; hour <= 6; ++hour) {
            setup_->UpdatePeriodicGrids(hour, 1, 1, 2000);
            ExpectOwnCells("wet", Basin(50));
        }
    }
}

TEST_F(PeriodicOutputTest, AMissingDatedFileStopsEveryProcess) {
    BuildBasin();
    Periodic("rain.asc", "rain", 0.0, 1, "H", 1);
    EXPECT_EQ(ErrorCode([&] { setup_->UpdatePeriodicGrids(1, 1, 1, 2000); }), 21);
}

TEST_F(PeriodicOutputTest, StandardGridsAreWrittenByTheirWriteCode) {
    BuildBasin();
    SCOPED_TRACE("write codes");
    setup_->SetEndDate(2016, 9, 26, 24);
    Given("rain.asc", "rain", Basin(2.5), 2);
    Given("keep.asc", "keep", Basin(1.0), 0);
    setup_->CreateCellSizeGrids();
    setup_->WriteStandardGrids(12, 25, 9, 2016);
    setup_->WriteStandardGrids(12, 25, 9, 2016);
    EXPECT_EQ(SharedFile("rain_20160925.012"), GridText(Basin(2.5), 1000, 2000, 10));
    EXPECT_EQ(SharedFile("rain_20160925.012_001"), GridText(Basin(2.5), 1000, 2000, 10));
    EXPECT_FALSE(Exists("keep.asc"));
    EXPECT_FALSE(Exists("keep_20160925.012"));
}

TEST_F(PeriodicOutputTest, VariableGridsAreWrittenOncePerStepByTheirOwnCall) {
    BuildBasin();
    setup_->SetEndDate(2016, 12, 31, 24);
    const int index = Given("var.asc", "var", Basin(3.0), 2);
    Define(index).variable = true;
    setup_->WriteStandardGrids(12, 25, 9, 2016);
    EXPECT_FALSE(Exists("var_20160925.012"));
    setup_->WriteVariableGrids(12, 25, 9, 2016);
    EXPECT_EQ(SharedFile("var_20160925.012"), GridText(Basin(3.0), 1000, 2000, 10));
    EXPECT_FALSE(Exists("var_20160925.012_001"));
}

TEST_F(PeriodicOutputTest, EveryStandardGridWithAStatisticsFileGetsAZoneTable) {
    BuildBasin();
    // Values r + c / 2 add up exactly in any order.
    const Rows values = setup_test::OnZone(Zone(), [](int r, int c) { return r + c * 0.5; });
    const int rain = Given("rain.asc", "rain", values);
    Define(rain).statFile = "rainstat.txt";
    setup_->DefinitionAt(rain)->statCode = 2001;
    Given("dry.asc", "dry", 1.0);
    setup_->CreateCellSizeGrids();
    setup_->CreateStandardGridStatistics(table_.data(), static_cast<int>(table_.size()));

    for (int hour = 1; hour <= 2; ++hour) {
        setup_->ResetStandardGridStatistics();
        setup_->AddStandardGridStatistics();
        setup_->StepStandardGridStatistics(hour, 1, 1, 2000);
        // The grid doubles for the second step.
        Matrix& grid = *(*store_)[rain].grid;
        for (int r = grid.firstRow(); r <= grid.lastRow(); ++r)
            for (int c = 1; c <= kCols; ++c)
                if (grid[r][c] != kNd) grid[r][c] *= 2;
    }
    setup_->WriteStandardGridStatisticLines();

    // Zone 3: 35 cells (rows 1-6 x columns 1-6 without the first), zone 5: 36 cells.
    double sum3 = 0, sum5 = 0;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c)
            if (r > 1 || c > 1) (c <= 6 ? sum3 : sum5) += r + c * 0.5;
    auto line = [&](int hour, double f) {
        return StrFormat("2000\t 1\t 1\t %d\t%.5f\t%.5f\t%.5f\n", hour, f * sum3 / 35, f * sum5 / 36,
                         f * (sum3 + sum5) / 71);
    };
    const std::string expected = StrFormat("YY\tMM\tDD\tHH\t\"3\"\t\"5\"\ttot_average\nrain_submodel:(default)\n"
                                           "--\t--\t--\t--\t%.7lf\t%.7lf\t1.0000\n",
                                           35.0 / 71, 36.0 / 71) +
                                 line(1, 1) + line(2, 2);
    EXPECT_EQ(SharedFile("rainstat.txt"), expected);
    // Process 0 writes the table and registers it among the statistics outputs.
    EXPECT_EQ(table_[0].isFree(), setup_->rank != 0);
    EXPECT_TRUE(table_[1].isFree());
}

TEST_F(PeriodicOutputTest, AStatisticsTableThatCannotBeCreatedStopsEveryProcess) {
    BuildBasin();
    const int rain = Given("rain.asc", "rain", Basin(1.0));
    Define(rain).statFile = "no/such/dir/rainstat.txt";
    setup_->DefinitionAt(rain)->statCode = 2001;
    setup_->CreateCellSizeGrids();
    EXPECT_EQ(ErrorCode([&] { setup_->CreateStandardGridStatistics(table_.data(), static_cast<int>(table_.size())); }),
              15);
}

}  // namespace
