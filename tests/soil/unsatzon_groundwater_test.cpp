// The soil columns above the groundwater model: the aquifer's base flow leaves (or fills) the
// columns from the table down, the river grids and statistics exist, and soil and aquifer
// together close their water balance above a fixed-head edge.
#include <gtest/gtest.h>
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cmath>

#include "lateral/gwflow_fixture.hpp"
#include "unsatzon_fixture.hpp"

using namespace soil_test;

namespace {

constexpr int kCells[][2] = {{1, 2}, {1, 3}, {1, 4}, {2, 1}, {2, 2}, {2, 3}, {2, 4}, {2, 5},
                             {3, 1}, {3, 2}, {3, 3}, {3, 4}, {4, 2}, {4, 3}};

class SoilGroundwaterTest : public SoilModelTest {
protected:
    static std::string Hourly() {
        std::string t = SoilSection{}.Text();
        const std::string from = "1440 time step";
        return t.replace(t.find(from), from.size(), "60 time step");
    }
    double Stored(int r, int c) const {
        double s = 0;
        for (int k = 1; k <= 10; ++k) s += Level("theta", r, c, k) * 0.1 * 1000.0;
        return s;
    }
    unsigned Init() {
        unsigned error = 0;
        model_->InitTracerGrids(error, 0, nullptr, nullptr, 0);
        model_->SelectWaterInput(false);
        for (const auto& cell : kCells) (*model_->in.waterInput)[cell[0]][cell[1]] = 0.0;
        return error;
    }
    void SoilStep(int h) {
        model_->BeginTimeStep(h, 1, 6, 2020);
        model_->run(h, 1, 6, 2020);
        model_->ComputeSubbasinRunoff();
    }
    // Input minus outputs minus storage change of a cell's column in the step (mm), and the
    // size of the terms; the soil's own base flow is one of the outputs.
    struct Balance {
        double residual = 0, magnitude = 0;
    };
    Balance CellBalance(int r, int c, double before) const {
        const double out = Value("real_transpiration0", r, c) + Value("real_transpiration1", r, c) +
                           Value("real_evaporation", r, c) + Value("directflow", r, c) + Value("interflow", r, c) +
                           Value("soil_baseflow", r, c);
        const double dS = Stored(r, c) - before;
        return {0.0 - out - dS, std::fabs(out) + std::fabs(dS)};
    }
    static double Sum(double v) {
        MPI_Allreduce(MPI_IN_PLACE, &v, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        return v;
    }    // The soil model above a conductive aquifer as deep as the soil, held at 999.3 m in cell
    // (3, 1); null on failure.
    std::unique_ptr<gwflowclass> BuildCoupled() {
        AddGrid("[elevation_model]", 1000.0);
        AddGrid("aquifer_thickness_1", 1.0);
        AddGrid("gw_k_x_1", 1.0);
        AddGrid("gw_k_y_1", 1.0);
        AddGrid("gw_storage_coeff_1", 0.1);
        Matrix& fixedHead = AddGrid("gw_boundary_fix_h_1", -9999.0);
        fixedHead[3][1] = 999.3;
        AddGrid("gw_boundary_fix_q_1", -9999.0);
        gwtest::Section gwSection;
        gwSection.maxerr = 1e-12;
        if (Build(Hourly() + gwSection.Text()) != 0 || Init() != 0) return nullptr;
        model_->EnableGroundwater();
        // Halo rows of the row bands, which the aquifer's solver exchanges.
        const int rank = talvo_test::Rank(), size = talvo_test::Size();
        auto first = [&](int p) { return p * 4 / size + 1; };
        auto last = [&](int p) { return (p + 1) * 4 / size; };
        send_.clear();
        recv_.clear();
        if (rank > 0) {
            send_.push_back({first(rank), 1, 5, rank - 1});
            recv_.push_back({first(rank) - 1, 1, 5, rank - 1});
        }
        if (rank < size - 1) {
            send_.push_back({last(rank), 1, 5, rank + 1});
            recv_.push_back({last(rank) + 1, 1, 5, rank + 1});
        }
        SubmodelSettings gwSettings = settings_;
        gwSettings.record.sendHalo = &send_;
        gwSettings.record.recvHalo = &recv_;
        unsigned error = 0;
        auto gw = std::make_unique<gwflowclass>(error, log_.get(), gwSettings, 1u);
        EXPECT_EQ(error, 0u) << console_.str();
        return error == 0 ? std::move(gw) : nullptr;
    }
    std::vector<HaloRecord> send_, recv_;
};

TEST_F(SoilGroundwaterTest, TheAquifersBaseFlowLeavesOrFillsTheColumnsAndOnlyExfiltrationReachesTheSubbasin) {
    ASSERT_EQ(Build(Hourly()), 0u) << console_.str();
    ASSERT_EQ(Init(), 0u) << console_.str();
    model_->EnableGroundwater();
    for (const char* name : {"river_infiltration", "river_exfiltration", "soil_baseflow"})
        EXPECT_GT(FindGridIndex(name), 0) << name;
    EXPECT_NE(model_->statistics[SoilModelConfig::GWIN], nullptr);
    EXPECT_NE(model_->statistics[SoilModelConfig::GWEX], nullptr);
    // Before the aquifer's first step its base flow is 0.
    SoilStep(0);
    for (const auto& cell : kCells) {
        if (!Own(cell[0], cell[1])) continue;
        EXPECT_EQ(Value("soil_baseflow", cell[0], cell[1]), 0.0);
    }

    // The aquifer's rates (m/s) as the groundwater model leaves them in "baseflow".
    auto rate = [](int c) { return c % 2 == 1 ? 3e-8 : -2e-8; };
    std::vector<double> before(20, 0.0);
    for (const auto& cell : kCells) {
        const int r = cell[0], c = cell[1];
        if (!Own(r, c)) continue;
        model_->own.baseflow[r][c] = rate(c);
        before[static_cast<std::size_t>(r * 5 + c - 6)] = Stored(r, c);
    }
    SoilStep(1);
    double taken = 0;
    for (const auto& cell : kCells) {
        const int r = cell[0], c = cell[1];
        if (!Own(r, c)) continue;
        // Falling head: the column gives water up; rising head: it is filled from below.
        EXPECT_NEAR(Value("soil_baseflow", r, c), rate(c) * 3600.0 * 1000.0, 1e-12) << r << "," << c;
        EXPECT_EQ(Value("baseflow", r, c), Value("soil_baseflow", r, c));
        const Balance b = CellBalance(r, c, before[static_cast<std::size_t>(r * 5 + c - 6)]);
        EXPECT_LE(std::fabs(b.residual), 1e-9 * b.magnitude) << r << "," << c;
        EXPECT_EQ(Value("river_exfiltration", r, c), 0.0);
        taken += Value("soil_baseflow", r, c);
    }
    EXPECT_GT(Sum(taken), 0.0);
    // Without surface interaction nothing leaves as base flow of the subbasins: the aquifer's
    // drainage leaves through the groundwater model's own boundaries.
    if (talvo_test::Rank() == 0) {
        for (int s = 1; s <= model_->soilZones.zoneCount; ++s)
            EXPECT_EQ((*model_->GetQBb())[0][static_cast<std::size_t>(s)], 0.0) << s;
    }
}

TEST_F(SoilGroundwaterTest, GroundwaterIrrigationAddsWhatTheColumnTookFromBelow) {
    // One irrigation type that takes groundwater, on every cell.
    irrigation_.assign(2, irrigation_entry{});
    irrigation_[0].code = 1;
    irrigation_[1].code = 1;
    irrigation_[1].method = 1;
    irrigation_[1].origin = 1;
    irrigation_[1].psi_dry = 10.0;
    irrigation_[1].psi_wet = 1.0;
    settings_.irrigationTable = irrigation_.data();
    AddGrid("irrigation_codes", 1.0);
    ASSERT_EQ(Build(Hourly()), 0u) << console_.str();
    ASSERT_EQ(Init(), 0u) << console_.str();
    model_->EnableGroundwater();
    for (const auto& cell : kCells) {
        if (!Own(cell[0], cell[1])) continue;
        model_->own.baseflow[cell[0]][cell[1]] = -2e-8;  // the aquifer's head rose
        model_->own.irrigationAmounts[cell[0]][cell[1]] = 5.0;  // the irrigation model's amount
    }
    SoilStep(0);
    for (const auto& cell : kCells) {
        if (!Own(cell[0], cell[1])) continue;
        EXPECT_NEAR(Value("irrigation_amounts", cell[0], cell[1]), 5.0 + 2e-8 * 3600.0 * 1000.0, 1e-12);
    }
}

TEST_F(SoilGroundwaterTest, SoilAndAquiferCloseTheirBalanceAboveAFixedHeadEdge) {
    auto gw = BuildCoupled();
    ASSERT_NE(gw, nullptr);
    const double area = 1000.0 * 1000.0;
    std::vector<double> rates(20, 0.0), before(20, 0.0);
    double aquiferTook = 0;  // m3 the aquifer carried to the fixed head in the last step
    for (int h = 0; h < 6; ++h) {
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1])) before[static_cast<std::size_t>(cell[0] * 5 + cell[1] - 6)] = Stored(cell[0], cell[1]);
        SoilStep(h);
        double columnsLost = 0, residual = 0, magnitude = 0;
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            const std::size_t i = static_cast<std::size_t>(r * 5 + c - 6);
            // What a column gives up is the aquifer's rate of the cell from its last step.
            EXPECT_NEAR(Value("soil_baseflow", r, c), rates[i] * 3600.0 * 1000.0, 1e-9) << r << "," << c;
            const Balance b = CellBalance(r, c, before[i]);
            residual += b.residual * area / 1000.0;
            magnitude += b.magnitude * area / 1000.0;
            columnsLost += Value("soil_baseflow", r, c) * area / 1000.0;
        }
        residual = Sum(residual);
        magnitude = Sum(magnitude);
        columnsLost = Sum(columnsLost);
        // Soil and aquifer together: the columns lose what the aquifer carried to its edge.
        EXPECT_LE(std::fabs(residual), 1e-9 * magnitude) << "hour " << h;
        EXPECT_NEAR(columnsLost, aquiferTook, 1e-9 * (std::fabs(columnsLost) + std::fabs(aquiferTook)) + 1e-15)
            << "hour " << h;

        gw->BeginTimeStep(h, 1, 6, 2020);
        gw->run(h, 1, 6, 2020);
        double free = 0;
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            const std::size_t i = static_cast<std::size_t>(r * 5 + c - 6);
            rates[i] = Value("baseflow", r, c);
            if (r == 3 && c == 1) {
                EXPECT_EQ(rates[i], 0.0);
                continue;
            }
            // The heads fall towards the fixed edge (far cells by no more than round-off yet).
            const bool nextToEdge = (r == 2 && c == 1) || (r == 3 && c == 2);
            EXPECT_GT(rates[i], nextToEdge ? 0.0 : -1e-15) << r << "," << c;
            free += rates[i] * 3600.0 * area;
        }
        aquiferTook = Sum(free);
        // What the free cells lost flows into the fixed-head cell through its two open faces.
        const gwflowclass::Layer& L = gw->layers[1];
        double edge = 0;
        if (Own(3, 1)) {
            const double hf = L.head[3][1];
            edge = (L.head[2][1] - hf) / 1000.0 * L.ty[2][1] * 1000.0 * 3600.0 +
                   (L.head[3][2] - hf) / 1000.0 * L.tx[3][1] * 1000.0 * 3600.0;
        }
        edge = Sum(edge);
        EXPECT_NEAR(aquiferTook, edge, 1e-6 * edge) << "hour " << h;
    }
    EXPECT_GT(aquiferTook, 0.0);
    gw.reset();
}

TEST_F(SoilGroundwaterTest, ThreadsThatSplitTheAquifersLoopsChangeHeadsAndBaseFlowOnlyByRoundOff) {
    // The solver updates heads in place: with threads splitting its rows (the threshold lowered
    // so that this small grid is split) heads and what the soil takes agree within 1e-6.
    const std::int64_t savedThreshold = gwnum::threadedCells;
    const int savedThreads = omp_get_max_threads();
    gwnum::threadedCells = 1;
    std::vector<double> results[2];
    for (int pass = 0; pass < 2; ++pass) {
        omp_set_num_threads(pass == 0 ? 1 : std::max(2, 8 / talvo_test::Size()));
        auto gw = BuildCoupled();
        ASSERT_NE(gw, nullptr);
        for (int h = 0; h < 4; ++h) {
            SoilStep(h);
            gw->BeginTimeStep(h, 1, 6, 2020);
            gw->run(h, 1, 6, 2020);
        }
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            results[pass].push_back(gw->layers[1].head[r][c]);
            results[pass].push_back(Value("soil_baseflow", r, c));
            results[pass].push_back(Value("baseflow", r, c));
            results[pass].push_back(Stored(r, c));
        }
        gw.reset();
        model_.reset();
    }
    omp_set_num_threads(savedThreads);
    gwnum::threadedCells = savedThreshold;
    ASSERT_EQ(results[0].size(), results[1].size());
    for (std::size_t i = 0; i < results[0].size(); ++i)
        EXPECT_NEAR(results[1][i], results[0][i], 1e-6 * std::fabs(results[0][i]) + 1e-18) << i;
}

}  // namespace
