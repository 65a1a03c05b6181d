// The real evapotranspiration tables of a grid large enough for the threads to share its rows:
// with glacier shares (missing, below 0, above 1 among them) the tables the threads fill are
// those of one thread, and hold the land and glacier parts each by its share.
#include <gtest/gtest.h>

#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../submodel/submodel_fixtures.hpp"
#include "etp_fixture.hpp"
#include "surface/etpetr.hpp"

namespace {

constexpr int kRows = 64, kCols = 130;  // over 4096 cells per process at 2 processes

// Zones 3, 5 and 9 in column bands; the first two columns of the first rows lie outside.
double ZoneOf(int r, int c) {
    if (r <= 3 && c <= 2) return -9999;
    return c <= 40 ? 3 : c <= 90 ? 5 : 9;
}
double GlacierOf(int r, int c) {
    const double fractions[] = {-9999, 0, 0.4, 1, 1.5, -0.5, 0.25};
    return fractions[(r + 2 * c) % 7];
}
double Share(int r, int c) {
    const double g = GlacierOf(r, c);
    return g == -9999 ? 0.0 : std::clamp(g, 0.0, 1.0);
}

class EtpThreadsTest : public etp_test::EtpTest {
protected:
    void SetUp() override {
        EtpTest::SetUp();
        memory_handling mh;
        zone_ = mh.matrix(1, kRows, 1, kCols, kRows);
        double cells[10] = {};
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                zone_[r][c] = ZoneOf(r, c);
                if (zone_[r][c] != -9999) cells[static_cast<int>(zone_[r][c])] += 1;
            }
        const double all = cells[3] + cells[5] + cells[9];
        records_ = {{0, 0, 1, 0.014, 0}};
        for (int z : {3, 5, 9})
            records_.push_back({cells[z], cells[z], static_cast<double>(z), cells[z] / all, cells[z]});
        settings_.ncols = kCols;
        settings_.nrows = kRows;
        const int size = talvo_test::Size(), rank = talvo_test::Rank();
        settings_.firstRow = rank * kRows / size + 1;
        settings_.lastRow = (rank + 1) * kRows / size;
    }
    // A grid of this test's size.
    Matrix& Put(const std::string& name, double value) { return EtpTest::Put(name, value, kRows, kCols); }
    template <class F>
    void ForOwnCells(F&& f) const {
        for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
            for (int c = 1; c <= kCols; ++c)
                if (ZoneOf(r, c) != -9999) f(r, c);
    }
    // One hour of the model with the given grids; returns the text of the three tables.
    std::map<std::string, std::string> Tables() {
        etp_test::Section s;
        s.etrStat = "etr.stat 2001";
        s.evapRealStat = "evapr.stat 2001";
        submodel_test::WriteShared("test.ctl", submodel_test::ControlFile(s.Text(), ""));
        unsigned error = 9;
        auto m = std::make_unique<verdunstungsmodellklasse>(error, log_.get(), settings_);
        EXPECT_EQ(error, 0u) << console_.str();
        m->PotentialEvapotranspirationStep(13, 15, 6, 2020);
        m->SetSnowStorageGrid(&grids_.at("snowstorage_solid"));
        m->SetSnowMethod(1);
        m->SnowEvaporationOnGlacier(13, 15, 6, 2020);  // finds the glacier grids
        Matrix& glacierEvaporation = grids_.at("SnowEvaporation_onGlacier");
        m->InterceptionEvaporationOutput(13, 15, 6, 2020);
        ForOwnCells([&](int r, int c) {
            m->etr[0][r][c] = 0.1 * (r % 5);
            m->etr[1][r][c] = 0.02 * (c % 11);
            m->realEvaporation[r][c] = 0.001 * (r * c % 13);
            m->snowEvaporation[r][c] = 0.03 * (c % 3);
            glacierEvaporation[r][c] = 0.7 + 0.01 * (r % 4);
        });
        m->AfterSoilStep(13, 15, 6, 2020);
        m->FlushStatistics();
        m.reset();
        MPI_Barrier(MPI_COMM_WORLD);
        std::map<std::string, std::string> text;
        for (const char* file : {"etr.stat", "etr_Layer_1.stat", "evapr.stat"}) {
            std::ifstream in(file);
            std::stringstream all;
            all << in.rdbuf();
            text[file] = all.str();
        }
        MPI_Barrier(MPI_COMM_WORLD);
        if (talvo_test::Rank() == 0)
            for (const char* file : {"etr.stat", "etr_Layer_1.stat", "evapr.stat"}) std::remove(file);
        MPI_Barrier(MPI_COMM_WORLD);
        return text;
    }
};

TEST_F(EtpThreadsTest, GlacierSharesGiveTheSameTablesOnEveryThreadCount) {
    Put("temperature", 15);
    Put("[elevation_model]", 500);
    Put("landuse1", 1);
    Put("albedo", 0.2);
    Put("wind_speed", 2);
    Put("air_humidity", 0.6);
    Put("leaf_area_index1", 3);
    Put("root_depth1", 0.5);
    Put("vegetation_coverage_degree1", 0.9);
    Put("SurfaceCanopyResistance1", 70);
    Put("SurfaceIntercepResistance1", 0);
    Put("RoughnessLength1", 0.1);
    Put("SurfaceEvaporationResistance", 250);
    Put("sunshine_duration", 0.5);
    Put("snowstorage_solid", 0);
    Matrix& glacier = Put("GlacierizedCells", 0);
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) glacier[r][c] = GlacierOf(r, c);
    Put("SnowEvaporation_onGlacier", 0);
    Put("TotalSnowStorage_onGlacier", 1);
    Put("SolidSnowStorage_onGlacier", 0);

    const int before = omp_get_max_threads();
    omp_set_num_threads(1);
    const auto one = Tables();
    // Four threads on one process, two on each of two; the rows of a process are then over
    // 4096 cells and the threads share them.
    omp_set_num_threads(std::max(1, 4 / talvo_test::Size()));
    const auto many = Tables();
    omp_set_num_threads(before);
    if (talvo_test::Rank() != 0) return;
    for (const auto& [file, text] : one) {
        EXPECT_FALSE(text.empty()) << file;
        EXPECT_EQ(many.at(file), text) << file;
    }

    // The basin means: the total weighs land and glacier by their shares; the layer and the
    // soil evaporation count their land part, the glacier part adds weight without value.
    double total = 0, layer = 0, soil = 0, cells = 0;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
            if (ZoneOf(r, c) == -9999) continue;
            const double g = Share(r, c);
            // Without interception the land's total holds the layer's and the soil's as well.
            total += (1 - g) * (0.1 * (r % 5) + 0.03 * (c % 3) + 0.02 * (c % 11) + 0.001 * (r * c % 13)) +
                     g * (0.7 + 0.01 * (r % 4));
            layer += (1 - g) * 0.02 * (c % 11);
            soil += (1 - g) * 0.001 * (r * c % 13);
            cells += 1;
        }
    const auto last = [&](const std::string& file) {
        std::istringstream lines(one.at(file));
        std::string line, lastLine;
        while (std::getline(lines, line))
            if (!line.empty()) lastLine = line;
        std::istringstream words(lastLine);
        double v = -1e300;
        for (std::string w; words >> w;) v = std::stod(w);
        return v;
    };
    EXPECT_NEAR(last("etr.stat"), total / cells, 5.1e-6);
    EXPECT_NEAR(last("etr_Layer_1.stat"), layer / cells, 5.1e-6);
    EXPECT_NEAR(last("evapr.stat"), soil / cells, 5.1e-6);
}

}  // namespace
