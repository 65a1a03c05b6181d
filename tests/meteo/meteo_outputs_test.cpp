// The outputs of an interpolated input over its steps: the zone table weighing each cell by its
// relative area, and the write code's sum and mean grids over the run, which leave out the step
// without any valid station value. On 1, 2 or 4 processes the files are the same.
#include <gtest/gtest.h>

#include <mpi.h>

#include <cstdio>
#include <sstream>
#include <vector>

#include "methods_support.hpp"

namespace {

using namespace meteo_test;

const std::vector<StationPoint> kStations = {{1000, 3000, 100}, {2000, 1000, 200}, {4000, 0, 300}};
const std::vector<double> kValues = {1.5, 4, -7.25};
// Hour 0 interpolated, hour 1 without any valid value, hour 2 the same value everywhere.
const std::string kRecords = "2000 1 1 0 1.5 4 -7.25\n2000 1 1 1 -10000 -10000 -10000\n2000 1 1 2 2 2 2\n";

double Idw2(int r, int c) { return IdwByHand(CellX(c), CellY(r), kStations, kValues); }
// Relative areas that differ from cell to cell; cell (2, 2) has none and counts with weight 1.
double Area(int r, int c) { return r == 2 && c == 2 ? -9999.0 : 0.25 * c + 0.5 * r; }
double Weight(int r, int c) { return Area(r, c) > -9999.0 ? Area(r, c) : 1.0; }

class MeteoOutputsTest : public MethodTest {
protected:
    void SetUp() override {
        MethodTest::SetUp();
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) relArea[r][c] = Area(r, c);
        InstallRowHelper();
        // The run ends with the third record; binary grids of doubles.
        settings.endHour = 2;
        settings.endMonth = 1;
        settings.doublePrecision = true;
    }
    // The run of the driver: each step the interpolation, then the output of its write code.
    void RunThreeSteps(meteointerpol& ip) {
        for (int step = 0; step < 3; ++step) {
            std::int64_t h, d, m, y;
            ip.GetDate(&h, &d, &m, &y);
            ip.run(h, d, m, y);
            ip.WriteOutputGrid();
            ip.AdvanceRecords();
        }
        ip.FlushStatistics();
        MPI_Barrier(MPI_COMM_WORLD);
    }
    // The values of a binary grid of doubles: 12 header values, then the rows from the top.
    static std::vector<double> ReadDoubles(const std::string& name) {
        std::vector<double> values(12 + kRows * kCols, -1.0);
        std::FILE* f = std::fopen(name.c_str(), "rb");
        if (f == nullptr) return {};
        const std::size_t n = std::fread(values.data(), sizeof(double), values.size(), f);
        std::fclose(f);
        if (n != values.size()) return {};
        return values;
    }
    static double Basin(const std::string& table, const std::string& date) {
        const std::size_t line = table.find(date);
        if (line == std::string::npos) return -1e300;
        std::istringstream row(table.substr(line));
        double year = 0, month = 0, day = 0, hour = 0, mean = 0;
        row >> year >> month >> day >> hour >> mean;
        return mean;
    }
};

TEST_F(MeteoOutputsTest, ZoneMeansWeighEachCellByItsArea) {
    SectionValues v;
    v.statistics = "stat.txt 1001";
    auto ip = Build(1, StationHeaderOf(kStations) + kRecords, "regr.dat\n", v);
    ASSERT_NE(ip, nullptr);
    RunThreeSteps(*ip);
    if (talvo_test::Rank() != 0) return;
    double sum = 0, weights = 0, plain = 0, cells = 0;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c)
            if (InBasin(r, c)) sum += Idw2(r, c) * Weight(r, c), weights += Weight(r, c), plain += Idw2(r, c), ++cells;
    // The weights move the mean well beyond the table's three decimals.
    ASSERT_GT(std::abs(sum / weights - plain / cells), 0.05);
    const std::string table = talvo_test::ReadFile("stat.txt");
    EXPECT_NEAR(Basin(table, "2000\t 1\t 1\t 0"), sum / weights, 0.6e-3) << table;
    // A uniform step has its value as the mean whatever the weights.
    EXPECT_NEAR(Basin(table, "2000\t 1\t 1\t 2"), 2.0, 0.6e-3) << table;
}

TEST_F(MeteoOutputsTest, RunSumAndMeanLeaveOutTheStepWithoutData) {
    // Every cell with an area here, for the header's weighed count and sum.
    relArea[2][2] = 0.75;
    const auto weight = [&](int r, int c) { return r == 2 && c == 2 ? 0.75 : Weight(r, c); };
    for (const long code : {10L, 50L}) {
        SectionValues v;
        v.writeCode = code;
        v.resultGrid = code == 10 ? "sum_grid" : "mean_grid";
        auto ip = Build(1, StationHeaderOf(kStations) + kRecords, "regr.dat\n", v);
        ASSERT_NE(ip, nullptr);
        RunThreeSteps(*ip);
        if (talvo_test::Rank() != 0) continue;
        const std::string name = code == 10 ? "sum_grid.sum" : "mean_grid.mit";
        const std::vector<double> file = ReadDoubles(name);
        ASSERT_FALSE(file.empty()) << name;
        double count = 0, sum = 0;
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                const double total = Idw2(r, c) + 2.0;
                const double want = !InBasin(r, c) ? -9999.0 : code == 10 ? total : total / 2;
                EXPECT_DOUBLE_EQ(file[12 + (r - 1) * kCols + (c - 1)], want) << name << " row " << r << " column " << c;
                if (!InBasin(r, c)) continue;
                count += weight(r, c);
                sum += want * weight(r, c);
            }
        // The header's count and sum are those of the basin cells, weighed by their areas.
        EXPECT_NEAR(file[6], count, 1e-9) << name;
        EXPECT_NEAR(file[9], sum, 1e-9 * std::abs(sum)) << name;
    }
}

}  // namespace
