// The zone statistics the snow and the interception model fill in their step: every output that
// is on holds, to the last bit, what zonalstatistic::AddValue gives for the model's cell values
// with the cells' area weights (a cell without weight counts with its plain weight, a partly
// glacier cell twice), summed over the processes; an output that is off gets nothing.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "interception_test_domain.hpp"
#include "kernel/zonerecord.hpp"
#include "kernel/zonestat.hpp"
#include "setup/tracer_ini.hpp"

namespace {

// A cell's additions to one output: (value, weight) pairs in the order the model makes them.
using CellAdds = std::function<std::vector<std::pair<double, double>>(int r, int c)>;

// Area weights that differ from cell to cell; one basin cell has none.
void VaryWeights(Matrix& weights, const Matrix& zones) {
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c)
            if (zones[r][c] != -9999) weights[r][c] = r == 2 && c == 2 ? -9999 : 0.3 + 0.11 * ((5 * r + c) % 7);
}

// The records AddValue makes of the own cells in row order, reduced as the model's step reduces.
template <class ForOwn>
std::vector<zoneFZT> Expected(const std::vector<zoneFZT>& model, const Matrix* weights, const std::vector<int>& index,
                              const Matrix& zones, ForOwn&& forOwn, const CellAdds& adds) {
    std::vector<zoneFZT> records = model;
    for (zoneFZT& z : records) z.n = z.sx = z.RelCellSum = 0;
    int error = 0;
    zonalstatistic reference(&error, nullptr, weights, 4, 5, records.data(), static_cast<int>(records.size()) - 1,
                             4001, 4, "reference.sta", "", 0, {});
    EXPECT_EQ(error, 0);
    forOwn([&](int r, int c) {
        const int zone = index[static_cast<std::size_t>(std::lround(zones[r][c]))];
        for (const auto& [value, weight] : adds(r, c)) reference.AddValue(r, c, zone, value, weight);
    });
    ReduceZoneRecords(records.data(), static_cast<int>(records.size()) - 1, true);
    return records;
}

::testing::AssertionResult SameSums(const std::vector<zoneFZT>& model, const std::vector<zoneFZT>& expected) {
    if (model.size() != expected.size()) return ::testing::AssertionFailure() << "record counts differ";
    for (std::size_t z = 0; z < model.size(); ++z) {
        const zoneFZT &a = model[z], &b = expected[z];
        if (a.n != b.n || a.sx != b.sx || a.RelCellSum != b.RelCellSum)
            return ::testing::AssertionFailure() << "zone " << z << ": n " << a.n << " / " << b.n << ", sx " << a.sx
                                                 << " / " << b.sx << ", weights " << a.RelCellSum << " / "
                                                 << b.RelCellSum;
    }
    return ::testing::AssertionSuccess();
}

class SnowZoneSums : public snow_test::SnowDomain {};

TEST_F(SnowZoneSums, EveryOutputHoldsTheWeightedSumsOfItsCells) {
    Matrix& weights = Grid("RelCellArea", 1);
    VaryWeights(weights, zone_);
    Register("RelCellArea", &weights);
    snow_test::SectionOptions o;
    o.method = 5;  // energy balance: the temperature outputs leave out cells without a cover
    o.stats = "4001";
    unsigned code = 9;
    auto snow = Make(o, &code);
    ASSERT_EQ(code, 0u) << console_.str();
    snow->LinkPrecipitation(false);
    Fill("temperature", -2);
    ForOwn([&](int r, int c) {
        G("precipitation")[r][c] = 0.7 * ((r + c) % 3);
        snow->solid.data[r][c] = c % 2 == 0 ? 0.0 : 4.0 + r;
        snow->snowAge.data[r][c] = 0.5 * c;
    });
    snow->run(12, 1, 3, 2020);
    auto forOwn = [&](auto&& f) { ForOwn(f); };
    auto one = [](const Matrix& g) { return [&g](int r, int c) { return std::vector<std::pair<double, double>>{{g[r][c], 1}}; }; };
    auto covered = [](const Matrix& g) {
        return [&g](int r, int c) {
            return g[r][c] > -9999 + 1 ? std::vector<std::pair<double, double>>{{g[r][c], 1}}
                                       : std::vector<std::pair<double, double>>{};
        };
    };
    const std::vector<std::pair<schneemodellklasse::StatOutput*, CellAdds>> outputs = {
        {&snow->statStorage,
         [&](int r, int c) {
             return std::vector<std::pair<double, double>>{{snow->solid.data[r][c] + snow->liquid.data[r][c], 1}};
         }},
        {&snow->statOutflow, one(snow->outflow.data)},       {&snow->statMeltOnly, one(snow->meltOnly.data)},
        {&snow->statDays, one(snow->daysSnow.data)},         {&snow->statAge, one(snow->snowAge.data)},
        {&snow->statSnow, one(snow->snowFraction.data)},     {&snow->statRain, one(snow->rainFraction.data)},
        {&snow->statAlbedo, one(G("albedo"))},               {&snow->statSnowTemp, covered(snow->snowTemp.data)},
        {&snow->statSurfTemp, covered(snow->surfTemp.data)}};
    for (const auto& [out, adds] : outputs) {
        ASSERT_TRUE(out->stat && out->stat->active()) << out->fileName;
        EXPECT_TRUE(SameSums(out->records, Expected(out->records, &weights, index_, zone_, forOwn, adds)))
            << out->fileName;
    }
    // Both kinds of cells reach the temperature outputs' sums on process 0.
    if (talvo_test::Rank() == 0) {
        EXPECT_GT(snow->statSnowTemp.records[1].n, 0.0);
    }
}

TEST_F(SnowZoneSums, AnOutputThatIsOffGetsNothing) {
    snow_test::SectionOptions o;
    o.method = 5;
    unsigned code = 9;
    auto snow = Make(o, &code);
    ASSERT_EQ(code, 0u) << console_.str();
    snow->LinkPrecipitation(false);
    Fill("precipitation", 3);
    snow->run(12, 1, 3, 2020);
    for (const auto* out : {&snow->statStorage, &snow->statRain, &snow->statSnowTemp, &snow->statAlbedo})
        for (const zoneFZT& z : out->records) {
            EXPECT_EQ(z.n, 0.0) << out->fileName;
            EXPECT_EQ(z.sx, 0.0) << out->fileName;
        }
}

// Two steps with the storage, snowfall and outflow tables and a tracer's table on: each table's
// last row holds its own zone means over the cells of every process.
TEST_F(SnowZoneSums, EveryTableOfAStepHoldsItsOwnZoneMeans) {
    std::vector<TracerDescriptor> d(3);
    d[1].name = "chl";
    d[1].max_conc = 1e6;
    d[2].name = "oxy";
    d[2].evaporating = 1;
    d[2].statcode = 2001;  // the tracer's table, a row a step
    d[2].path = "out_";
    Add("concflux_tracer_1_input", 2.0);
    Add("concflux_tracer_2_input", 0.0);
    snow_test::SectionOptions o;
    o.stats = "2001";  // every zone, a row a step
    unsigned code = 9;
    auto snow = Make(o, &code);
    ASSERT_EQ(code, 0u) << console_.str();
    snow->LinkTracerGrids(code, 2, d.data(), nullptr, 0);
    ASSERT_EQ(code, 0u) << console_.str();
    snow->LinkPrecipitation(false);
    const auto zoneOf = [&](int r, int c) { return static_cast<std::size_t>(index_[static_cast<std::size_t>(zone_[r][c])]); };
    // Snow falls on a cold cover and melts from a warm one; the zones differ in every input.
    for (const double T : {-2.0, 4.0}) {
        ForOwn([&](int r, int c) {
            const double z = static_cast<double>(zoneOf(r, c));
            G("temperature")[r][c] = T + 0.5 * z;
            G("precipitation")[r][c] = 3.0 + 2.0 * z + 0.1 * c;
            G("concflux_tracer_2_input")[r][c] = 1.0 + r + 3.0 * z;
        });
        snow->run(12, 1, 3, 2020);
    }
    // Per zone (0: the basin) the cells and the sums of storage, snowfall, outflow, the cover
    // and the tracer's concentration weighed with the cover.
    std::vector<double> sums(24, 0.0);
    ForOwn([&](int r, int c) {
        const double cover = snow->solid.data[r][c] + snow->liquid.data[r][c];
        for (std::size_t z : {zoneOf(r, c), std::size_t{0}}) {
            sums[6 * z] += 1;
            sums[6 * z + 1] += cover;
            sums[6 * z + 2] += snow->snowFraction.data[r][c];
            sums[6 * z + 3] += snow->outflow.data[r][c];
            sums[6 * z + 4] += cover;
            sums[6 * z + 5] += snow->Tracer(2).storage[r][c] * cover;
        }
    });
    MPI_Allreduce(MPI_IN_PLACE, sums.data(), 24, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    if (talvo_test::Rank() != 0) return;
    const std::vector<double>& storage = snow->statStorage.stat->lastValues();
    const std::vector<double>& snowfall = snow->statSnow.stat->lastValues();
    const std::vector<double>& outflow = snow->statOutflow.stat->lastValues();
    ASSERT_TRUE(snow->Tracer(2).statistics);
    const std::vector<double>& tracer = snow->Tracer(2).statistics->lastValues();
    ASSERT_GE(storage.size(), 5u);
    ASSERT_GE(tracer.size(), 5u);
    for (std::size_t j = 1; j <= 4; ++j) {
        const std::size_t z = j == 4 ? 0 : j;  // the fourth column is the basin's
        ASSERT_GT(sums[6 * z], 0.0) << j;
        EXPECT_NEAR(storage[j], sums[6 * z + 1] / sums[6 * z], 1e-12) << j;
        EXPECT_NEAR(snowfall[j], sums[6 * z + 2] / sums[6 * z], 1e-12) << j;
        EXPECT_NEAR(outflow[j], sums[6 * z + 3] / sums[6 * z], 1e-12) << j;
        EXPECT_NEAR(tracer[j], sums[6 * z + 5] / sums[6 * z + 4], 1e-9) << j;
    }
    // The zones' values differ, so a table given another's records would not pass.
    EXPECT_NE(storage[1], storage[3]);
    EXPECT_NE(outflow[1], outflow[3]);
    EXPECT_NE(tracer[1], tracer[3]);
}

class InterceptionZoneSums : public interception_test::InterceptionDomain {};

// Two layers; a glacier cell adds its free part's values and a zero for its glacier part.
TEST_F(InterceptionZoneSums, EveryLayerOutputHoldsTheWeightedSumsOfItsCells) {
    Matrix& weights = Grid("RelCellArea", 1);
    VaryWeights(weights, zone_);
    Register("RelCellArea", &weights);
    Add("GlacierizedCells", 0);
    UseLayers(2);
    interception_test::SectionOptions o;
    o.method = 2;
    o.stats = "4001";
    unsigned code = 9;
    auto m = MakeInterception(o, &code);
    ASSERT_EQ(code, 0u) << console_.str();
    ForOwn([&](int r, int c) {
        G("GlacierizedCells")[r][c] = c == 2 ? 1.0 : (c == 3 ? 0.4 : 0.0);
        G("precipitation")[r][c] = 0.9 * ((r + 2 * c) % 4);
        G("potential_InterceptionEvap1")[r][c] = 0.05 * r;
        G("pot_transpiration1")[r][c] = 0.1 * c;
    });
    m->run(1, 1, 1, 2020);
    auto forOwn = [&](auto&& f) { ForOwn(f); };
    for (int k = 0; k <= 2; ++k) {
        auto& l = m->layers[static_cast<std::size_t>(k)];
        const std::pair<std::vector<zoneFZT>*, const Matrix*> outputs[3] = {
            {&l.evaporationRecords, &l.evaporation.data},
            {&l.storageRecords, &l.storage.data},
            {&l.throughfallRecords, &l.throughfall.data}};
        for (const auto& [records, grid] : outputs) {
            const Matrix& g = *grid;
            const CellAdds adds = [&](int r, int c) {
                const double glacier = std::clamp(G("GlacierizedCells")[r][c], 0.0, 1.0);
                std::vector<std::pair<double, double>> v;
                if (glacier < 1) v.emplace_back(g[r][c], 1 - glacier);
                if (glacier > 0) v.emplace_back(0.0, glacier);
                return v;
            };
            EXPECT_TRUE(SameSums(*records, Expected(*records, &weights, index_, zone_, forOwn, adds))) << "layer " << k;
        }
    }
}

}  // namespace
