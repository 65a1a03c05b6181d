// The soil model's pass over layered soils gives the plain columns' bits (every memo off): the flux
// limitation's quick suctions (with the layer's bounds and the brackets an interface kept from
// the last iteration) and early end where horizons meet steep retention curves in rain, and the
// roots' dry stress shared by the layers of a horizon; wet columns in steady rain, whose heads the
// inflow alone keeps crossed; and the limited interflow of a saturated loam over clay in rain.
#include <gtest/gtest.h>
#include <mpi.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tables/landuse_entry.hpp"
#include "unsatzon_fixture.hpp"

using namespace soil_test;

namespace {
constexpr int kCells[][2] = {{1, 2}, {1, 3}, {1, 4}, {2, 1}, {2, 2}, {2, 3}, {2, 4}, {2, 5},
                             {3, 1}, {3, 2}, {3, 3}, {3, 4}, {4, 2}, {4, 3}};

class SoilLimitRunTest : public SoilModelTest {
protected:
    // Two soils in a chequerboard, so that a thread's column meets both in turn: loam over a
    // steep clay over silt, and sand over clay. Hourly steps; plain: every memo of the columns off.
    void Start(bool plain) {
        TwoSoils("1 layered { method = MultipleHorizons; layers = 3 3 4; thickness = 0.1; "
                 "ksat = 2e-5 6e-7 7e-7; theta_sat = 0.45 0.38 0.46; theta_res = 0.05 0.068 0.034; "
                 "alpha = 2.0 0.8 1.6; Par_n = 1.5 1.09 1.37; }",
                 "2 sandy { method = MultipleHorizons; layers = 4 6; thickness = 0.1; "
                 "ksat = 8e-5 5.6e-7; theta_sat = 0.38 0.38; theta_res = 0.05 0.068; "
                 "alpha = 14.5 0.8; Par_n = 2.68 1.09; }");
        ASSERT_NO_FATAL_FAILURE(BuildHourly());
        if (plain) PlainColumns();
    }
    void TearDown() override {
        SoilModelTest::TearDown();
        settings_.landuseTable = nullptr;
    }
    void Step(int h) {
        model_->BeginTimeStep(h, 1, 6, 2020);
        model_->run(h, 1, 6, 2020);
        model_->ComputeSubbasinRunoff();
    }
    std::vector<landuse_entry> landuse_;
};

void ExpectSameBits(const std::vector<double> (&results)[2]) {
    ASSERT_EQ(results[0].size(), results[1].size());
    for (std::size_t i = 0; i < results[0].size(); ++i)
        EXPECT_EQ(std::bit_cast<std::uint64_t>(results[0][i]), std::bit_cast<std::uint64_t>(results[1][i])) << i;
}

TEST_F(SoilLimitRunTest, QuickChecksAndKeptBracketsGiveThePlainBisectionsBits) {
    std::vector<double> results[2];
    double moved = 0;
    for (int pass = 0; pass < 2; ++pass) {
        // The plain pass (0) evaluates the plain heads at every step of each bisection.
        ASSERT_NO_FATAL_FAILURE(Start(pass == 0));
        // Downpours on the dry columns (heads crossing at the horizons' boundaries), then drying.
        for (int h = 0; h < 8; ++h) {
            std::vector<double> before;
            if (pass == 1) CollectRunoffAndTheta(before);
            for (const auto& cell : kCells)
                if (Own(cell[0], cell[1]))
                    (*model_->in.waterInput)[cell[0]][cell[1]] = h < 5 && h % 2 == 0 ? 12.0 * cell[1] : 0.0;
            Step(h);
            if (pass == 1) {
                std::vector<double> after;
                CollectRunoffAndTheta(after);
                for (std::size_t i = 0; i < after.size(); ++i) moved = std::max(moved, std::fabs(after[i] - before[i]));
            }
        }
        CollectRunoffAndTheta(results[pass]);
        model_.reset();
    }
    ExpectSameBits(results);
    // The water moved (a process without cells of its own has nothing to compare).
    if (!results[1].empty()) {
        EXPECT_GT(moved, 0.01);
    }
}

TEST_F(SoilLimitRunTest, DryStressOfRootsAcrossHorizonsGivesThePlainBits) {
    // Dry columns and a strong demand: the roots meet the suction of dry stress in horizons of
    // other retention, each with its own water content of dry stress (layers of one horizon
    // share it).
    std::vector<double> results[2];
    double stressed = 0;
    // One land use: roots over the whole rooted depth, dry stress from 3 m suction on.
    landuse_.assign(2, landuse_entry{});
    landuse_[0].code = 1;
    landuse_[1].code = 1;
    landuse_[1].RootDist = 1.0;
    landuse_[1].HReduDry = 3.0;
    landuse_[1].TReduWet = 0.95;
    settings_.landuseTable = landuse_.data();
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_NO_FATAL_FAILURE(Start(pass == 0));
        // Above the table the columns start at the water contents of 6 m suction.
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1]))
                for (int k = 1; k <= 8; ++k)
                    model_->own.theta[cell[0]][cell[1]][k] = model_->SoilOf(cell[0], cell[1]).ThetaFromSuction(k, 6.0);
        for (int h = 0; h < 4; ++h) {
            for (const auto& cell : kCells) {
                if (!Own(cell[0], cell[1])) continue;
                (*model_->in.waterInput)[cell[0]][cell[1]] = 0.0;
                for (Matrix* m : {model_->in.potTranspiration[0], model_->in.potTranspiration[1]})
                    (*m)[cell[0]][cell[1]] = 0.5 * cell[1];
            }
            Step(h);
        }
        for (const auto& cell : kCells) {
            if (!Own(cell[0], cell[1])) continue;
            const double demand = 0.5 * cell[1];  // of the last hour, vegetation layer 1
            const double taken = Value("real_transpiration0", cell[0], cell[1]) +
                                 Value("real_transpiration1", cell[0], cell[1]);
            results[pass].push_back(taken);
            if (pass == 1) stressed = std::max(stressed, demand - taken);
        }
        CollectRunoffAndTheta(results[pass]);
        model_.reset();
    }
    ExpectSameBits(results);
    // The roots took less than the demand somewhere: dry stress acted.
    if (!results[1].empty()) {
        EXPECT_GT(stressed, 0.1);
    }
}

TEST_F(SoilLimitRunTest, WetColumnsInSteadyRainCloseTheirBalanceWithThePlainBits) {
    // Columns near saturation under rain every hour: the heavy columns of a wet valley, whose
    // sub-steps need many iterations and whose limitations often find the heads crossed by the
    // inflow alone, down to no flux (the bisection's steps back then only halve the flux). The
    // pass with every shortcut gives the plain pass's bits, and each column closes its water
    // balance every hour.
    std::vector<double> results[2];
    double worst = 0;
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_NO_FATAL_FAILURE(Start(pass == 0));
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1]))
                for (int k = 1; k <= 10; ++k)
                    model_->own.theta[cell[0]][cell[1]][k] = model_->SoilOf(cell[0], cell[1]).ThetaFromSuction(k, 0.4);
        for (int h = 0; h < 4; ++h) {
            double before[20] = {};
            for (const auto& cell : kCells) {
                const int r = cell[0], c = cell[1];
                if (!Own(r, c)) continue;
                (*model_->in.waterInput)[r][c] = 3.0 * c;
                for (int k = 1; k <= 10; ++k) before[r * 5 + c - 6] += model_->own.theta[r][c][k] * 100.0;
            }
            Step(h);
            for (const auto& cell : kCells) {
                const int r = cell[0], c = cell[1];
                if (!Own(r, c)) continue;
                double stored = 0;
                for (int k = 1; k <= 10; ++k) stored += model_->own.theta[r][c][k] * 100.0;
                const double out = Value("real_transpiration0", r, c) + Value("real_transpiration1", r, c) +
                                   Value("real_evaporation", r, c) + Value("directflow", r, c) +
                                   Value("interflow", r, c) + Value("baseflow", r, c);
                const double error = 3.0 * c - out - (stored - before[r * 5 + c - 6]);
                EXPECT_NEAR(error, 0.0, 1e-9 * (3.0 * c + out)) << r << "," << c << " hour " << h;
                worst = std::max(worst, std::fabs(stored - before[r * 5 + c - 6]));
            }
        }
        CollectRunoffAndTheta(results[pass]);
        model_.reset();
    }
    ExpectSameBits(results);
    // The columns took up or gave off water (a process without cells of its own has none).
    if (!results[1].empty()) {
        EXPECT_GT(worst, 0.1);
    }
}

TEST_F(SoilLimitRunTest, RainOnASaturatedLoamOverClayFeedsItsLimitedInterflow) {
    // Loam over clay on a 45 degree slope, saturated by the first hours' rain. The clay takes
    // little, so the loam's bottom layer would drain by interflow below the clay's head; the
    // limitation scales its outflow with the flux down, to what keeps the heads apart. The rain
    // that keeps the loam wet then lets more out: the interflow of a saturated column rises with
    // the rain (an outflow kept at the unscaled rate would be the same on every such column),
    // and each column closes its water balance.
    ASSERT_NO_FATAL_FAILURE(Start(false));
    constexpr int kSaturatedHour = 2;
    double rain[20] = {}, interflow[20] = {};
    for (int h = 0; h <= kSaturatedHour; ++h) {
        std::vector<double> before(20, -1.0);
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            (*model_->in.waterInput)[r][c] = 12.0 * c;
            const soil_entry& soil = model_->SoilOf(r, c);
            double stored = 0;
            bool saturated = true;
            for (int k = 1; k <= 10; ++k) {
                const double theta = model_->own.theta[r][c][k];
                stored += theta * 100.0;  // mm in a 0.1 m layer
                if (k <= 4) saturated = saturated && theta > soil.theta_sat[static_cast<std::size_t>(k)] - 1e-9;
            }
            if (h == kSaturatedHour && saturated) before[static_cast<std::size_t>(r * 5 + c - 6)] = stored;
        }
        Step(h);
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            const std::size_t at = static_cast<std::size_t>(r * 5 + c - 6);
            if (!Own(r, c) || before[at] < 0) continue;
            double stored = 0;
            for (int k = 1; k <= 10; ++k) stored += model_->own.theta[r][c][k] * 100.0;
            const double out = Value("real_transpiration0", r, c) + Value("real_transpiration1", r, c) +
                               Value("real_evaporation", r, c) + Value("directflow", r, c) +
                               Value("interflow", r, c) + Value("baseflow", r, c);
            EXPECT_NEAR(12.0 * c - out - (stored - before[at]), 0.0, 1e-9 * (12.0 * c + out)) << r << "," << c;
            rain[at] = 12.0 * c;
            interflow[at] = Value("interflow", r, c);
        }
    }
    MPI_Allreduce(MPI_IN_PLACE, rain, 20, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    MPI_Allreduce(MPI_IN_PLACE, interflow, 20, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    int pairs = 0;
    for (int a = 0; a < 20; ++a)
        for (int b = 0; b < 20; ++b)
            if (rain[a] > rain[b] && rain[b] > 0) {
                ++pairs;
                EXPECT_GT(interflow[a], 1.01 * interflow[b]) << "rain " << rain[a] << " and " << rain[b];
            }
    // Columns of three rains were saturated (at any process count: the values are gathered).
    EXPECT_GE(pairs, 3);
}

}  // namespace
