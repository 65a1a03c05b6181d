// Statistics of the routed discharge: the table without basin total, the intervals of
// Accumulate, the goodness-of-fit blocks and the two entries in the table of statistics outputs.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <filesystem>
#include <sstream>
#include <vector>

#include "kernel/zonestat.hpp"
#include "kernel_fixture.hpp"

namespace {

using talvo_test::Rank;
using talvo_test::ReadFile;

std::string Golden(const std::string& name) {
    return ReadFile((std::filesystem::path(TALVO_KERNEL_GOLDEN_DIR) / name).string());
}

class RoutStatTest : public talvo_test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        records_.assign(4, zoneFZT{});
        for (int i = 1; i <= 3; ++i) records_[static_cast<std::size_t>(i)].zonenwert = 100.0 + i;
    }

    std::unique_ptr<routstatistic> Make(long code, std::vector<int> selected = {}) {
        int err = -1;
        auto s = std::make_unique<routstatistic>(&err, log_.get(), nullptr, 0, 0, records_.data(), areas_, 3, code, 5,
                                                 "Q.txt", "", static_cast<int>(selected.size()), selected);
        EXPECT_EQ(err, 0);
        return s;
    }

    // The routing's step: every subbasin s gets discharge s + t/2.
    void RouteStep(routstatistic& s, int t) {
        s.Reset();
        for (int i = 1; i <= 3; ++i) {
            records_[static_cast<std::size_t>(i)].n += 1;
            records_[static_cast<std::size_t>(i)].RelCellSum += 1;
            records_[static_cast<std::size_t>(i)].sx += i + 0.5 * t;
        }
        s.Accumulate(2016, 9, 25, t);
    }

    static std::string ReadTable() { return talvo_test::ReadShared("Q.txt"); }

    std::vector<double> areas_{0.0, 12.5, 3.25, 40.0};
    std::vector<zoneFZT> records_;
    std::vector<OutputCodeEntry> table_ = std::vector<OutputCodeEntry>(kOutputCodeTableSize + 1);
};

// Sums of the shifts -10..+10: subbasin 1 varies with the shift, subbasin 2 has only two pairs,
// subbasin 3 constant observations (both give 1.0).
void FillSums(LagTables& lin, LagTables& log) {
    for (int k = 0; k < 21; ++k) {
        const double d = k - 10;
        auto& l = lin[static_cast<std::size_t>(k)];
        auto& g = log[static_cast<std::size_t>(k)];
        l.assign(4, FitSums{});
        g.assign(4, FitSums{});
        l[1] = {10, 0.5 * d, 2 + 0.25 * d * d, 10, 20, 58};
        g[1] = {10, 0.1 * d, 0.5 + 0.01 * d * d, 10, 5, 3.5};
        l[2] = g[2] = {2, 1, 1, 2, 3, 5};
        l[3] = g[3] = {6, 1, 3, 5, 10, 20};
    }
}

TEST(FitTest, RSquareAndCoefficientOfVariation) {
    // Observed variance (58 - 400/10) / 9 = 2; deviations 9/9 = 1.
    const FitSums s{10, 3, 9, 10, 20, 58};
    EXPECT_DOUBLE_EQ(FitRSquare(s), 0.5);
    EXPECT_DOUBLE_EQ(FitCoefficientOfVariation(s), 1 - ((9 - 0.9) / 9) / 2);
    // Undefined (1.0): two pairs or fewer, constant observations, perfect fit, no variance.
    for (const FitSums& u : {FitSums{2, 1, 1, 10, 20, 58}, FitSums{10, 1, 1, 5, 10, 20}, FitSums{10, 0, 0, 10, 20, 58},
                             FitSums{10, 1, 1, 2, 20, 58}})
        EXPECT_EQ(FitRSquare(u), 1.0) << u.pairs;
    EXPECT_EQ(FitCoefficientOfVariation({10, 2, 0.4, 10, 20, 58}), 1.0);  // constant deviation
}

TEST_F(RoutStatTest, TableAndEfficiencyBlocksMatchGolden) {
    auto s = Make(2002);
    const int entry = s->WriteHeader("routed discharge [mm per subbasin] ", "routing_model", table_.data(),
                                     kOutputCodeTableSize);
    for (int t = 1; t <= 4; ++t) RouteStep(*s, t);
    LagTables lin, log;
    FillSums(lin, log);
    s->WriteEfficiency(lin, log);
    EXPECT_EQ(ReadTable(), Golden("routstat_efficiency.txt"));
    if (Rank() == 0) {
        ASSERT_EQ(entry, 0);
        EXPECT_EQ(table_[0].valueCount, 4);  // three subbasins, 1-based, no total
        EXPECT_EQ(table_[0].lastValues[3], 3 + 1.75);
        EXPECT_EQ(table_[0].codes[2], 102);
        EXPECT_EQ(table_[0].areas[3], 40.0);
        EXPECT_EQ(*table_[1].title, "observed Runoff");
        EXPECT_EQ(table_[1].codes[1], 101);
        EXPECT_EQ(table_[1].areas[2], 3.25);
        // The routing files observed values into the second entry.
        s->observedValues()[2] = 7.5;
        EXPECT_EQ(table_[1].lastValues[2], 7.5);
        // The linear coefficients of variation at shift 0 stay in the zone records.
        EXPECT_EQ(records_[1].n, 1.0);
        EXPECT_EQ(records_[1].sx, FitCoefficientOfVariation(lin[10][1]));
        EXPECT_EQ(records_[3].sx, 1.0);
    } else {
        EXPECT_EQ(entry, -1);
    }
    s->Release();
    EXPECT_TRUE(table_[0].isFree());
    EXPECT_TRUE(table_[1].isFree());
}

TEST_F(RoutStatTest, SelectedSubbasinsAndIntervalOne) {
    auto s = Make(5001, {101, 103});
    s->WriteHeader("Q", "routing_model", nullptr, 0);
    for (int t = 1; t <= 2; ++t) RouteStep(*s, t);
    LagTables lin, log;
    FillSums(lin, log);
    s->WriteEfficiency(lin, log);
    s->Release();
    const std::string text = ReadTable();
    EXPECT_EQ(text.substr(0, text.find("----")),
              "YY\tMM\tDD\tHH\t\"101\"\t\"103\"\nQ_submodel:routing_model\n--\t--\t--\t--\t12.5000000\t40.0000000\n"
              "2016\t 9\t25\t 1\t1.50000\t3.50000\n2016\t 9\t25\t 2\t2.00000\t4.00000\n");
    EXPECT_NE(text.find("COEFF.VAR.LOG\t0\t0.5000\t1.0000\n"), std::string::npos);
}

TEST_F(RoutStatTest, SecondEntryOnlyWhenItExistsAndIsFree) {
    auto s = Make(2001);
    for (int i = 0; i < kOutputCodeTableSize - 1; ++i) table_[static_cast<std::size_t>(i)].lastValues = &areas_[0];
    // Only the last usable entry is free: the observed runoff has no room after it.
    EXPECT_EQ(s->WriteHeader("Q", "m", table_.data(), kOutputCodeTableSize),
              Rank() == 0 ? kOutputCodeTableSize - 1 : -1);
    EXPECT_TRUE(table_[kOutputCodeTableSize].isFree());
    if (Rank() == 0) {
        EXPECT_NE(Console().find("no free entry after 199"), std::string::npos);
    }
    s->Release();
    EXPECT_TRUE(table_[kOutputCodeTableSize - 1].isFree());
    EXPECT_EQ(table_[kOutputCodeTableSize - 2].lastValues, &areas_[0]);
}

TEST_F(RoutStatTest, InactiveRoutingWritesNothing) {
    auto s = Make(999);
    EXPECT_EQ(s->WriteHeader("Q", "m", table_.data(), kOutputCodeTableSize), -1);
    RouteStep(*s, 1);
    LagTables lin, log;
    s->WriteEfficiency(lin, log);
    s->Release();
    MPI_Barrier(MPI_COMM_WORLD);
    EXPECT_FALSE(std::filesystem::exists("Q.txt"));
    EXPECT_TRUE(table_[0].isFree());
}

}  // namespace
