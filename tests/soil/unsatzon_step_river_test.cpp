// River cells of the soil step (computed one by one after the parallel pass), the invalid
// river link, the tracer set-up and the pumping volume on the test domain.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>

#include "setup/tracer_ini.hpp"
#include "unsatzon_fixture.hpp"

using namespace soil_test;

namespace {

constexpr int kCells[][2] = {{1, 2}, {1, 3}, {1, 4}, {2, 1}, {2, 2}, {2, 3}, {2, 4}, {2, 5},
                             {3, 1}, {3, 2}, {3, 3}, {3, 4}, {4, 2}, {4, 3}};

class SoilRiverTest : public SoilModelTest {
protected:
    std::string Section(int interaction) {
        SoilSection s;
        s.surfaceInteraction = interaction;
        std::string t = s.Text();
        const std::string from = "1440 time step";
        t.replace(t.find(from), from.size(), "60 time step");
        return t;
    }
    // link: the river link of every cell; depth: the river bed's depth below the surface (m).
    void AddRiverGrids(double link, double depth = 0.3) {
        AddGrid("river_depth", depth);
        AddGrid("river_width", 2.0);
        AddGrid("kolmation", 1e-4);
        AddGrid("river_links", link);
        AddGrid("gw_storage_coeff_1", 0.1);
        AddGrid("aquifer_thickness_1", 10.0);
    }
    unsigned Init(int count = 0, const TracerDescriptor* d = nullptr) {
        unsigned error = 0;
        model_->InitTracerGrids(error, count, d, nullptr, 0);
        model_->SelectWaterInput(false);
        return error;
    }
};

TEST_F(SoilRiverTest, AnUnknownRiverLinkStopsWithItsCode) {
    AddRiverGrids(7.0);
    // Exchange both ways needs the whole river on one process.
    if (talvo_test::Size() > 1) {
        EXPECT_EQ(Build(Section(2)), 9u);
        return;
    }
    ASSERT_EQ(Build(Section(2)), 0u) << console_.str();
    ASSERT_EQ(Init(), 0u) << console_.str();
    model_->groundwaterActive = 1;
    model_->BeginTimeStep(1, 1, 6, 2020);
    int code = 0;
    try {
        model_->run(1, 1, 6, 2020);
    } catch (const ModelError& e) {
        code = e.code();
    }
    // Only processes with basin cells meet the link.
    bool cells = false;
    for (const auto& c : kCells) cells = cells || Own(c[0], c[1]);
    if (cells) {
        EXPECT_EQ(code, 199);
        EXPECT_NE(console_.str().find("There is a river link \"7\" from the river link grid"), std::string::npos);
    }
}

TEST_F(SoilRiverTest, RiverCellsShareTheRiverWaterInCellOrder) {
    AddRiverGrids(3.0);
    // Exchange both ways needs the whole river on one process.
    if (talvo_test::Size() > 1) {
        EXPECT_EQ(Build(Section(2)), 9u);
        return;
    }
    ASSERT_EQ(Build(Section(2)), 0u) << console_.str();
    ASSERT_EQ(Init(), 0u) << console_.str();
    model_->groundwaterActive = 1;
    riverflow_table* table = model_->GetRiverflowTable();
    ASSERT_NE(table, nullptr);
    table[1].flowm3s = 1e-4;
    table[1].speed = 1.0;
    model_->BeginTimeStep(1, 1, 6, 2020);
    model_->run(1, 1, 6, 2020);
    // Every river cell saw what the cells before it had taken: the river never gives more
    // than it carries, on any process.
    EXPECT_GT(table[1].soilExchange, 0.0);
    EXPECT_LE(table[1].soilExchange, 1e-4 * (1 + 1e-9));
    // Without the groundwater model nothing is exchanged.
    model_->groundwaterActive = 0;
    table[1].soilExchange = 0;
    model_->run(2, 1, 6, 2020);
    EXPECT_DOUBLE_EQ(table[1].soilExchange, 0.0);
}

// River water brings the channel's tracer value into the columns it enters; a clean river brings
// none (everything else of the tracer is 0 here).
TEST_F(SoilRiverTest, RiverInfiltrationCarriesTheRiversTracer) {
    AddRiverGrids(3.0);
    if (talvo_test::Size() > 1) return;  // exchange both ways needs the whole river on one process
    AddGrid("concflux_tracer_1_input", 0.0);
    ASSERT_EQ(Build(Section(2)), 0u) << console_.str();
    std::vector<TracerDescriptor> d(2);
    d[1].name = "riv";
    d[1].statext = "txt";
    d[1].gridext = "asc";
    d[1].max_conc = 1e9;
    ASSERT_EQ(Init(1, d.data()), 0u) << console_.str();
    model_->groundwaterActive = 1;
    riverflow_table* table = model_->GetRiverflowTable();
    table[1].flowm3s = 1e-4;
    table[1].speed = 1.0;
    auto columnTracer = [&] {
        double m = 0;
        for (const auto& cell : kCells)
            for (int l = 0; l <= 10; ++l) m += model_->tracerLayers[1][cell[0]][cell[1]][l];
        return m;
    };
    for (double value : {0.0, 7.0}) {
        table[1].flow_mm[1] = value;
        table[1].soilExchange = 0;
        model_->BeginTimeStep(1, 1, 6, 2020);
        model_->run(1, 1, 6, 2020);
        ASSERT_GT(table[1].soilExchange, 0.0);
        if (value == 0.0)
            EXPECT_EQ(columnTracer(), 0.0);
        else
            EXPECT_GT(columnTracer(), 0.0);
    }
}

TEST_F(SoilRiverTest, WithInteractionOneEveryColumnAboveTheRiverBedExfiltrates) {
    // A bed 0.6 m deep lies below the table (0.5 m below the surface) in every cell.
    AddRiverGrids(3.0, 0.6);
    ASSERT_EQ(Build(Section(1)), 0u) << console_.str();
    ASSERT_EQ(Init(), 0u) << console_.str();
    // Surface interaction sets up the river grids and their two statistics.
    EXPECT_GT(FindGridIndex("river_exfiltration"), 0);
    EXPECT_NE(model_->statistics[SoilModelConfig::GWEX], nullptr);
    model_->EnableGroundwater();
    for (const auto& cell : kCells) (*model_->in.waterInput)[cell[0]][cell[1]] = 0.0;
    std::vector<double> before(20, 0.0);
    auto stored = [&](int r, int c) {
        double w = 0;
        for (int k = 1; k <= 10; ++k) w += Level("theta", r, c, k) * 100.0;
        return w;
    };
    for (const auto& cell : kCells)
        if (Own(cell[0], cell[1])) before[static_cast<std::size_t>(cell[0] * 5 + cell[1] - 6)] = stored(cell[0], cell[1]);
    model_->BeginTimeStep(1, 1, 6, 2020);
    model_->run(1, 1, 6, 2020);
    model_->ComputeSubbasinRunoff();
    const int S = model_->soilZones.zoneCount;
    std::vector<double> gwex(static_cast<std::size_t>(S) + 1, 0.0), n(gwex);
    for (const auto& cell : kCells) {
        const int r = cell[0], c = cell[1];
        if (!Own(r, c)) continue;
        const double ex = Value("river_exfiltration", r, c);
        // At most k x head difference x width / cellsize over the hour.
        EXPECT_GT(ex, 0.0) << r << "," << c;
        EXPECT_LE(ex, 1e-4 * 0.1 * 2.0 / 1000.0 * 3600.0 * 1000.0 * (1 + 1e-9)) << r << "," << c;
        EXPECT_EQ(Value("river_infiltration", r, c), 0.0);
        const double out = Value("real_transpiration0", r, c) + Value("real_transpiration1", r, c) +
                           Value("real_evaporation", r, c) + Value("directflow", r, c) + Value("interflow", r, c) +
                           Value("soil_baseflow", r, c) + ex;
        const double dS = stored(r, c) - before[static_cast<std::size_t>(r * 5 + c - 6)];
        EXPECT_NEAR(out + dS, 0.0, 1e-9 * (std::fabs(out) + std::fabs(dS))) << r << "," << c;
        const std::size_t s = static_cast<std::size_t>(model_->SubbasinOf(r, c));
        gwex[s] += ex;
        n[s] += 1;
    }
    for (auto* v : {&gwex, &n}) MPI_Allreduce(MPI_IN_PLACE, v->data(), S + 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    // The exfiltration is the subbasins' base flow.
    if (talvo_test::Rank() == 0) {
        for (int s = 1; s <= S; ++s) {
            const std::size_t i = static_cast<std::size_t>(s);
            EXPECT_NEAR((*model_->GetQBb())[0][i], gwex[i] / n[i], 1e-12) << s;
        }
    }
}

// A table inside the river bed's layer (an external table 0.45 m deep, the bed 0.48 m deep in
// layer 5): the layer gives the river k x (table - bed) x width / cellsize, as long as its water
// above field capacity between table and bed can supply that.
TEST_F(SoilRiverTest, ATableInTheRiverBedsLayerExfiltratesFromThatLayer) {
    AddRiverGrids(3.0, 0.48);
    ASSERT_EQ(Build(Section(1)), 0u) << console_.str();
    ASSERT_EQ(Init(), 0u) << console_.str();
    model_->EnableGroundwater();
    for (const auto& cell : kCells)
        if (Own(cell[0], cell[1])) {
            (*model_->in.waterInput)[cell[0]][cell[1]] = 0.0;
            model_->own.gwTableExtern[cell[0]][cell[1]] = 1000.0 - 0.45;
        }
    model_->ApplyExternalGWTable();
    auto stored = [&](int r, int c) {
        double w = 0;
        for (int k = 1; k <= 10; ++k) w += Level("theta", r, c, k) * 100.0;
        return w;
    };
    std::vector<double> before(20, 0.0);
    for (const auto& cell : kCells)
        if (Own(cell[0], cell[1])) {
            ASSERT_EQ(Value("groundwater_level", cell[0], cell[1]), 5.0);
            before[static_cast<std::size_t>(cell[0] * 5 + cell[1] - 6)] = stored(cell[0], cell[1]);
        }
    model_->BeginTimeStep(1, 1, 6, 2020);
    model_->run(1, 1, 6, 2020);
    // 1e-4 m/s x 0.03 m x 2 m / 1000 m over an hour, in mm.
    const double expected = 1e-4 * 0.03 * 2.0 / 1000.0 * 3600.0 * 1000.0;
    for (const auto& cell : kCells) {
        const int r = cell[0], c = cell[1];
        if (!Own(r, c)) continue;
        const double ex = Value("river_exfiltration", r, c);
        EXPECT_NEAR(ex, expected, 1e-9 * expected) << r << "," << c;
        EXPECT_EQ(Value("river_infiltration", r, c), 0.0);
        const double out = Value("real_transpiration0", r, c) + Value("real_transpiration1", r, c) +
                           Value("real_evaporation", r, c) + Value("directflow", r, c) + Value("interflow", r, c) +
                           Value("soil_baseflow", r, c) + ex;
        const double dS = stored(r, c) - before[static_cast<std::size_t>(r * 5 + c - 6)];
        EXPECT_NEAR(out + dS, 0.0, 1e-9 * (std::fabs(out) + std::fabs(dS))) << r << "," << c;
    }
}

TEST_F(SoilRiverTest, RiverExchangeNeedsTheAquiferGrids) {
    AddGrid("river_links", 3.0);
    ASSERT_EQ(Build(Section(1)), 0u);
    EXPECT_EQ(Init(), 33u);
}

TEST_F(SoilRiverTest, TracersDecayPerModuleSubstepAndTakeTheFirstFluxGrid) {
    ASSERT_EQ(Build(Section(0)), 0u) << console_.str();
    AddGrid("concflux_tracer_1_input", 1.0);
    Matrix& snow = AddGrid("concflux_tracer_2_snow_model", 2.0);
    AddGrid("concflux_tracer_2_input", 3.0);
    std::vector<TracerDescriptor> d(3);
    for (int k = 1; k <= 2; ++k) {
        d[static_cast<std::size_t>(k)].name = k == 1 ? "tri" : "chl";
        d[static_cast<std::size_t>(k)].statext = "txt";
        d[static_cast<std::size_t>(k)].gridext = "asc";
    }
    d[2].soilini = 2.0;  // the soil holds the concentration of the water input
    d[2].evaporating = 1;
    d[1].radioactive = 1;
    d[1].half_time = 4500.0;  // days
    ASSERT_EQ(Init(2, d.data()), 0u) << console_.str();
    EXPECT_NEAR(model_->tracerDecay[1], std::exp(-(60.0 / 1440.0) / (4500.0 * 1.442695041111)), 1e-15);
    EXPECT_DOUBLE_EQ(model_->tracerDecay[2], 1.0);
    EXPECT_EQ(model_->tracerInflux[2], &snow);
    ASSERT_NE(model_->tracerInflux[1], nullptr);
    EXPECT_EQ(model_->QD.size(), 3u);
    EXPECT_EQ(model_->zoneFZT_QD.size(), 3u);
    // The runoff of a tracer is flow-weighted: the steps run and stay finite.
    model_->BeginTimeStep(1, 1, 6, 2020);
    model_->run(1, 1, 6, 2020);
    model_->ComputeSubbasinRunoff();
    if (talvo_test::Rank() == 0) {
        for (int s = 1; s <= model_->soilZones.zoneCount; ++s) {
            EXPECT_TRUE(std::isfinite(model_->Qg[1][static_cast<std::size_t>(s)]));
            // Water of one concentration everywhere leaves with that concentration.
            EXPECT_NEAR(model_->Qg[2][static_cast<std::size_t>(s)], 2.0, 1e-9) << s;
        }
    }
}

TEST_F(SoilRiverTest, TracerPointFileThatCannotBeCreatedStops) {
    SoilSection s;
    s.controlRow = 2;
    s.controlCol = 2;
    ASSERT_EQ(Build(s.Text()), 0u) << console_.str();
    std::vector<TracerDescriptor> d(2);
    d[1].name = "chloride";
    d[1].statext = "txt";
    d[1].gridext = "asc";
    d[1].path = "missing_directory/";
    const unsigned error = Init(1, d.data());
    if (Own(2, 2)) {
        EXPECT_EQ(error, 65u);
        EXPECT_NE(console_.str().find("error opening tracer concentration file missing_directory/chlpoint.txt"),
                  std::string::npos);
    } else {
        EXPECT_EQ(error, 0u);
    }
}

}  // namespace
