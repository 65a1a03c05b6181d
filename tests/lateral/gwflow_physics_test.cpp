// Closed-form checks of the groundwater step: the linear head profile between two fixed
// heads, a well against the Thiem solution, unconfined flow (h^2 linear), one implicit Euler
// step with storage and the balance of a layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "gwflow_fixture.hpp"
#include "kernel/steptimes.hpp"

using namespace gwtest;

namespace {

class GwPhysics : public GwDomain {
protected:
    // Fixed heads of a layer in whole columns.
    void FixColumn(int l, int c, double h) {
        Matrix& m = Find("gw_boundary_fix_h_" + std::to_string(l));
        for (int r = 1; r <= nrows_; ++r) m[r][c] = h;
    }
    // Two layers over a varied aquifer: glacier cells, fixed heads in a column and in single
    // cells of either layer, fixed inflows, conductivity, storage and leakage changing from cell
    // to cell (at least 35 rows and 20 columns).
    void VariedAquifer() {
        StandardGrids(2, 10, -1, 1e-4, 2e-3, 8.0);
        Grid("GlacierizedCells", 0);
        Find("GlacierizedCells")[12][7] = Find("GlacierizedCells")[30][15] = 1;
        for (int r = 1; r <= nrows_; ++r)
            for (int c = 1; c <= ncols_; ++c) {
                const double v = std::sin(0.37 * r + 0.11 * c * c);
                Find("gw_k_x_1")[r][c] = 1e-4 * (1.5 + v);
                Find("gw_k_y_1")[r][c] = 1e-4 * (1.5 - v);
                Find("gw_k_x_2")[r][c] = 3e-5 * (2 + std::cos(0.2 * r * c));
                Find("gw_k_y_2")[r][c] = 3e-5 * (2 + v);
                Find("gw_storage_coeff_2")[r][c] = 1e-3 * (1.2 + v);
                Find("gw_kolmation_1")[r][c] = 1e-6 * (1 + v * v);
                Find("groundwater_distance")[r][c] = -1 - 0.5 * v;
                if ((r + 3 * c) % 17 == 0) Find("gw_boundary_fix_q_2")[r][c] = 1e-7 * v;
            }
        FixColumn(1, 1, 8);
        Find("gw_boundary_fix_h_2")[20][ncols_] = 3;
        Find("gw_boundary_fix_h_2")[35][10] = 4;
        Find("gw_boundary_fix_h_1")[9][12] = 9.5;
    }
    // Four days of two layers with a well at (15, wellColumn) of the second layer that pumps and
    // recharges in turn, so that the heads around it turn round: each day the solver's report
    // must give the count, the sum of the changes (each process adding its rows in order, the
    // processes' sums added as a sum over the processes adds them) and the largest change of the
    // basin cells whose heads turned, recounted here: the model keeps those of the last layer
    // solved, and each layer's line of the step, both written after the last solve in layer
    // order, gives its own sweeps, count, mean and largest change (layer 1, whose start heads
    // the depth to its water sets, turns nowhere).
    void ExpectTheOscillationsRecounted(int wellColumn) {
        Section sec;
        sec.layers = 2;
        sec.maxerr = 1e-6;
        auto g = MakeOk(sec);
        std::int64_t seen = 0;
        for (int day = 1; day <= 4; ++day) {
            Find("gw_boundary_fix_q_2")[15][wellColumn] = day % 2 == 1 ? -2e-4 : 2e-4;
            console_.str("");
            Step(*g, day);
            std::size_t before = 0;
            for (int l = 1; l <= 2; ++l) {
                const auto& L = g->layers[static_cast<std::size_t>(l)];
                const double e = g->maxErrorAllowed;
                std::int64_t n = 0;
                double sum = 0, largest = 0;
                for (int r = s_.firstRow; r <= s_.lastRow; ++r)
                    for (int c = 1; c <= ncols_; ++c) {
                        if (zone_[r][c] == -9999) continue;
                        const double d1 = L.headOld[r][c] - L.headOldOld[r][c];
                        const double d2 = L.head[r][c] - L.headOld[r][c];
                        if (!((d1 > e && d2 < -e) || (d1 < -e && d2 > e))) continue;
                        ++n;
                        sum += std::fabs(d2);
                        largest = std::max(largest, std::fabs(d2));
                    }
                std::int64_t all = 0;
                MPI_Allreduce(&n, &all, 1, MPI_INT64_T, MPI_SUM, MPI_COMM_WORLD);
                const double total = Sum(sum), most = Max(largest);
                const std::string text = console_.str(),
                                  line = "GWlevel " + std::to_string(l) + ", MPI-rank " +
                                         std::to_string(talvo_test::Rank()) + ", Steps " + std::to_string(L.sweeps);
                const std::size_t at = text.find(line);
                ASSERT_NE(at, std::string::npos) << line << "\n" << text;
                EXPECT_GE(at, before) << l;
                before = at;
                long long count = -1;
                double mean = -1, top = -1;
                const char* const figures = text.c_str() + text.find("osc. at ", at);
                ASSERT_EQ(std::sscanf(figures, "osc. at %lld points (av: %lf, max %lf)", &count, &mean, &top), 3);
                EXPECT_EQ(count, all) << day << " " << l;
                EXPECT_NEAR(mean, all > 0 ? total / static_cast<double>(all) : 0.0, 1e-5 * mean) << day << " " << l;
                EXPECT_NEAR(top, most, 1e-5 * most) << day << " " << l;
                if (l == 1) continue;
                EXPECT_EQ(g->oscillations, all) << day;
                EXPECT_EQ(g->oscillationSum, total) << day;
                EXPECT_EQ(g->oscillationMax, most) << day;
                seen += all;
            }
        }
        EXPECT_GT(seen, 0);
    }
    // Three steps of two layers: the heads, flows and balances of the own rows, the factors of
    // each step's last sweep and each layer's last largest change into out, the sweeps of each
    // step into sweeps.
    std::unique_ptr<gwflowclass> ThreeSteps(double sor, double alpha, int* sweeps, std::vector<double>& out,
                                            int maxiter = 10000, double maxerr = 1e-12) {
        Section sec;
        sec.maxiter = maxiter;
        sec.layers = 2;
        sec.maxerr = maxerr;
        sec.sor = sor;
        sec.alpha = alpha;
        auto g = MakeOk(sec);
        for (int day = 1; day <= 3; ++day) {
            Step(*g, day);
            for (int l = 1; l <= 2; ++l) {
                sweeps[day - 1] += g->layers[static_cast<std::size_t>(l)].sweeps;
                out.push_back(g->layers[static_cast<std::size_t>(l)].lastChange);
            }
            // The adaptive factors of the last sweep, as the solver's report gives their mean.
            out.insert(out.end(), {g->factorSum, static_cast<double>(g->factorCount)});
        }
        for (int l = 1; l <= 2; ++l) {
            const auto& L = g->layers[static_cast<std::size_t>(l)];
            for (int r = s_.firstRow; r <= s_.lastRow; ++r)
                for (int c = 1; c <= ncols_; ++c)
                    for (const Matrix* m : {&L.head, &L.flowX, &L.flowY, &L.balance}) out.push_back((*m)[r][c]);
        }
        return g;
    }
    // Three steps with the processes waiting for every agreement and every halo row before each
    // sweep, and as they run: heads, flows, balances, factors and last largest changes the same bit
    // for bit, and the same sweeps; the sweeps of the first step.
    int SameAsWaitingForEveryAgreement(double sor, int maxiter, double maxerr) {
        std::vector<double> seen[2];
        int sweeps[2][3] = {};
        for (const bool wait : {true, false}) {
            gwflowclass::waitForEveryAgreement = wait;
            ThreeSteps(sor, sor > 0 ? 1.0 : 0.8, sweeps[wait], seen[wait], maxiter, maxerr);
            gwflowclass::waitForEveryAgreement = false;
        }
        EXPECT_EQ(seen[0].size(), seen[1].size());
        if (seen[0].size() == seen[1].size()) {
            EXPECT_EQ(std::memcmp(seen[0].data(), seen[1].data(), seen[0].size() * sizeof(double)), 0)
                << "sor " << sor << " maxiter " << maxiter;
        }
        for (int d = 0; d < 3; ++d) EXPECT_EQ(sweeps[0][d], sweeps[1][d]) << d;
        return sweeps[0][0];
    }

    // A grid of rows x cols whose rows from `firstOutside` on lie outside the basin, over a varied
    // aquifer: for over-relaxation and plain Gauss-Seidel, the sweeps of both layers in the third
    // step of a converging solve are counted, then at every lag and every limit of sweeps that
    // `limits(n1, n2)` derives from them the run equals waiting for every agreement.
    template <class Limits>
    void SameAtEveryLagAndLimit(int rows, int cols, int firstOutside, std::initializer_list<int> lags, Limits limits) {
        Init(rows, cols, 50.0, 3.0);
        for (int r = firstOutside; r <= rows; ++r)
            for (int c = 1; c <= cols; ++c) zone_[r][c] = -9999;
        VariedAquifer();
        const int lagBefore = gwflowclass::agreementLag;
        for (const double sor : {1.3, 0.0}) {
            std::vector<double> out;
            int sweeps[3] = {};
            gwflowclass::waitForEveryAgreement = true;
            const auto g = ThreeSteps(sor, sor > 0 ? 1.0 : 0.8, sweeps, out, 10000, 1e-4);
            gwflowclass::waitForEveryAgreement = false;
            SCOPED_TRACE(sor);
            for (const int lag : lags)
                for (const int maxiter : limits(g->layers[1].sweeps, g->layers[2].sweeps)) {
                    gwflowclass::agreementLag = lag;
                    const int first = SameAsWaitingForEveryAgreement(sor, maxiter, 1e-4);
                    gwflowclass::agreementLag = lagBefore;
                    EXPECT_LE(first, 2 * maxiter) << "lag " << lag << " maxiter " << maxiter;
                }
        }
    }
};

}  // namespace

TEST_F(GwPhysics, ConfinedLayerBetweenFixedHeadsIsLinearWithDarcyFlux) {
    Init(4, 11, 100.0, 10.0);
    const double k = 1e-4;
    StandardGrids(1, 0, 5, k, kSteady);
    FixColumn(1, 1, 12);
    FixColumn(1, 11, 2);
    // Plain Gauss-Seidel: with one row per process the rows couple through the halo of the
    // sweep before, where over-relaxation would not settle.
    auto g = MakeOk(Section{});
    Step(*g);
    const auto& L = g->layers[1];
    for (int r = s_.firstRow; r <= s_.lastRow; ++r) {
        for (int c = 1; c <= 11; ++c) {
            EXPECT_NEAR(L.head[r][c], 12.0 - (c - 1), 1e-4) << r << " " << c;
            EXPECT_NEAR(L.flowX[r][c], c < 11 ? k * 1.0 / 100.0 : 0.0, 1e-10);
            EXPECT_NEAR(L.flowY[r][c], 0.0, 1e-10);
            if (c > 1 && c < 11) {
                EXPECT_NEAR(L.balance[r][c], 0.0, 1e-6);
            }
        }
        // What enters at the high end leaves at the low end: 1e-6 m/s x 10 m x 3600 s / 100 m.
        EXPECT_NEAR(L.balance[r][1], 1e-6 * 10 * 3600 / 100 * 1000, 1e-6);
        EXPECT_NEAR(L.balance[r][11], -L.balance[r][1], 1e-6);
    }
}

TEST_F(GwPhysics, AnImpermeableColumnSeparatesTheFixedHeads) {
    // Cells of conductivity 0 pass no water between their neighbours: each side of the wall
    // takes its own fixed head. A tolerance of 0 sweeps until nothing changes (at most maxiter).
    Init(4, 11, 100.0, 10.0);
    StandardGrids(1, 0, 5, 1e-4, kSteady);
    FixColumn(1, 1, 12);
    FixColumn(1, 11, 2);
    for (int r = 1; r <= 4; ++r) Find("gw_k_x_1")[r][6] = Find("gw_k_y_1")[r][6] = 0.0;
    Section sec;
    sec.maxerr = 0;
    sec.maxiter = 3000;
    auto g = MakeOk(sec);
    Step(*g);
    const auto& L = g->layers[1];
    EXPECT_GT(L.sweeps, 100);
    for (int r = s_.firstRow; r <= s_.lastRow; ++r)
        for (int c = 1; c <= 11; ++c) {
            if (c != 6) {
                EXPECT_NEAR(L.head[r][c], c < 6 ? 12.0 : 2.0, 1e-6) << r << " " << c;
            }
        }
}

TEST_F(GwPhysics, WellInAConfinedLayerFollowsThiem) {
    const int n = 31, m = 16;
    Init(n, n, 10.0, 10.0);
    const double k = 1e-4, T = 10 * k, Qw = 1e-3;
    StandardGrids(1, 0, 5, k, kSteady);
    FixColumn(1, 1, 5);
    FixColumn(1, n, 5);
    Matrix& fix = Find("gw_boundary_fix_h_1");
    for (int c = 1; c <= n; ++c) fix[1][c] = fix[n][c] = 5;
    Find("gw_boundary_fix_q_1")[m][m] = -Qw / 100.0;
    Section sec;
    sec.sor = 1.5;
    sec.maxiter = 20000;
    sec.maxerr = 1e-9;
    auto g = MakeOk(sec);
    Step(*g);
    const Matrix& h = g->layers[1].head;
    // Heads of the centre row, gathered from its owner.
    double centre = Owns(m) ? h[m][m] : -1e300, next = Owns(m) ? h[m][m + 1] : -1e300;
    double at3 = Owns(m) ? h[m][m + 3] : -1e300, at9 = Owns(m) ? h[m][m + 9] : -1e300;
    centre = Max(centre);
    next = Max(next);
    at3 = Max(at3);
    at9 = Max(at9);
    EXPECT_NEAR((next - centre) / (Qw / (4 * T)), 1.0, 1e-3);
    const double thiem = Qw / (2 * M_PI * T) * std::log(9.0 / 3.0);
    EXPECT_NEAR((at9 - at3) / thiem, 1.0, 0.03);
}

TEST_F(GwPhysics, UnconfinedFlowInTheSecondLayerHasLinearSquaredHeads) {
    const int n = 21;
    Init(4, n, 100.0, 2.0);
    // Layer 1 (18..20 m) stays dry, layer 2 spans 0..18 m; no storage, no leakage.
    StandardGrids(2, 20, -12.5, 1e-4, kSteady, 18.0);
    FixColumn(2, 1, 10);
    FixColumn(2, n, 5);
    Section sec;
    sec.layers = 2;
    sec.sor = 1.0;
    auto g = MakeOk(sec);
    // Transmissivities follow the heads of the step before, so the profile settles over steps.
    for (int step = 0; step < 40; ++step) Step(*g);
    for (int r = s_.firstRow; r <= s_.lastRow; ++r) {
        for (int c = 1; c <= n; ++c) {
            const double h = g->layers[2].head[r][c];
            const double expected = 100.0 - 75.0 * (c - 1) / (n - 1);
            EXPECT_NEAR(h * h / expected, 1.0, 0.02) << c;
            // The dry layer above keeps its start head and takes no water.
            EXPECT_DOUBLE_EQ(g->layers[1].head[r][c], 7.5);
            EXPECT_FALSE(std::isnan(g->layers[1].balance[r][c]));
        }
    }
}

TEST_F(GwPhysics, OneStepWithStorageIsAnImplicitEulerStep) {
    Init(4, 3, 100.0, 10.0);
    const double k = 1e-4, T = 10 * k, S = 1e-3, A = 1e4, dt = 3600, h0 = 5;
    for (double alpha : {1.0, 0.0}) {
        grids_.clear();
        for (int i = 2; i < 1000; ++i) store_[i] = GridStoreEntry{};
        StandardGrids(1, 0, h0, k, S);
        FixColumn(1, 1, 6);
        FixColumn(1, 3, 8);
        Section sec;
        sec.alpha = alpha;
        auto g = MakeOk(sec);
        Step(*g);
        // Implicit: S A (h - h0) / dt = T (6 - h) + T (8 - h); explicit with alpha 0.
        const double expected = alpha == 1.0 ? (S * A * h0 / dt + T * 14) / (S * A / dt + 2 * T)
                                             : h0 + dt / (S * A) * T * ((6 - h0) + (8 - h0));
        double stored = 0, balance = 0;
        const auto& L = g->layers[1];
        for (int r = s_.firstRow; r <= s_.lastRow; ++r) {
            EXPECT_NEAR(L.head[r][2], expected, 1e-6) << alpha;
            EXPECT_NEAR(Find("baseflow")[r][2], (h0 - expected) * S / dt, 1e-12);
            EXPECT_EQ(Find("baseflow")[r][1], 0.0);
            if (alpha == 1.0) {
                EXPECT_NEAR(L.balance[r][2], 0.0, 1e-7);
            }
            stored += S * A * (L.head[r][2] - h0);
            for (int c = 1; c <= 3; ++c) balance += L.balance[r][c] * A / 1000.0;
        }
        // What the fixed heads gave is what the free cells stored.
        const double given = Sum(balance), gained = Sum(stored);
        if (alpha == 1.0) {
            EXPECT_NEAR(given, gained, 1e-6 * std::fabs(gained));
        }
    }
}

TEST_F(GwPhysics, SeparateZonesExchangeNothingUnderFlowControl3) {
    Init(4, 4, 100.0, 10.0);
    for (int r = 1; r <= 4; ++r) zone_[r][3] = zone_[r][4] = 2;
    index_[2] = 2;
    records_.push_back({0, 0, 2, 0.5, 0});
    s_.zoneCount = 2;
    s_.maxZoneCode = 2;
    StandardGrids(1, 0, 5, 1e-4, kSteady);
    FixColumn(1, 1, 10);
    FixColumn(1, 4, 2);
    Section sec;
    sec.flow = 3;
    auto g = MakeOk(sec);
    Step(*g);
    for (int r = s_.firstRow; r <= s_.lastRow; ++r) {
        EXPECT_NEAR(g->layers[1].head[r][2], 10, 1e-6);
        EXPECT_NEAR(g->layers[1].head[r][3], 2, 1e-6);
        EXPECT_EQ(g->layers[1].tx[r][2], 0.0);
    }
}

TEST_F(GwPhysics, CellsOutsideTheBasinTakeNoPart) {
    Init(4, 5, 100.0, 10.0);
    zone_[1][1] = zone_[4][5] = -9999;
    StandardGrids(1, 0, 5, 1e-4, 1e-3);
    // Glaciated cells of the basin at the ends of their rows: no part in the flow, but their
    // flows and balances are 0, not nodata.
    Grid("GlacierizedCells", 0);
    Find("GlacierizedCells")[2][5] = Find("GlacierizedCells")[3][1] = 1;
    FixColumn(1, 2, 9);
    auto g = MakeOk(Section{});
    for (int day = 1; day <= 3; ++day) Step(*g, day);
    for (int r = s_.firstRow; r <= s_.lastRow; ++r) {
        for (int c = 1; c <= 5; ++c) {
            const double h = g->layers[1].head[r][c];
            if (zone_[r][c] == -9999) {
                EXPECT_EQ(h, -9999) << r << " " << c;
                // Flows and balances outside the basin are nodata, as every process count writes them.
                EXPECT_EQ(g->layers[1].flowX[r][c], -9999) << r << " " << c;
                EXPECT_EQ(g->layers[1].flowY[r][c], -9999) << r << " " << c;
                EXPECT_EQ(g->layers[1].balance[r][c], -9999) << r << " " << c;
            } else if (Find("GlacierizedCells")[r][c] >= 1) {
                EXPECT_EQ(h, 5.0) << r << " " << c;
                EXPECT_EQ(g->layers[1].flowX[r][c], 0.0) << r << " " << c;
                EXPECT_EQ(g->layers[1].flowY[r][c], 0.0) << r << " " << c;
                EXPECT_EQ(g->layers[1].balance[r][c], 0.0) << r << " " << c;
            } else {
                EXPECT_TRUE(h >= 5 && h <= 9) << r << " " << c << ": " << h;
            }
        }
        EXPECT_EQ(g->layers[1].tx[r][1], r == 1 ? 0.0 : g->layers[1].tx[r][1]);
    }
}

TEST_F(GwPhysics, FixedHeadsTakeEffectAfterTheTransmissivities) {
    // Unconfined layer 1 starting 5 m below its top (saturated 5 of 10 m); column 1 is fixed
    // at 2 m below the top. The transmissivities of the step come from the start heads, so the
    // face between columns 1 and 2 carries 5 k; the fixed head then drives the flow.
    Init(3, 4, 100.0, 10.0);
    const double k = 1e-4;
    StandardGrids(1, 0, -5, k, 1e-3);
    FixColumn(1, 1, -2);
    auto g = MakeOk(Section{});
    Step(*g);
    const auto& L = g->layers[1];
    for (int r = s_.firstRow; r <= s_.lastRow; ++r) {
        EXPECT_DOUBLE_EQ(L.tx[r][1], 5 * k) << r;
        EXPECT_EQ(L.head[r][1], -2.0);
        EXPECT_EQ(L.headOld[r][1], -2.0);
        EXPECT_GT(L.head[r][2], -5.0);
        EXPECT_GT(L.flowX[r][1], 0.0);
    }
}

TEST_F(GwPhysics, GlacierCellsKeepTheirHeads) {
    Init(4, 5, 100.0, 10.0);
    StandardGrids(1, 0, 5, 1e-4, kSteady);
    Grid("GlacierizedCells", 0);
    for (int r = 1; r <= 4; ++r) Find("GlacierizedCells")[r][3] = 1.5;  // clamped to 1
    FixColumn(1, 1, 10);
    FixColumn(1, 5, 2);
    auto g = MakeOk(Section{});
    Step(*g);
    for (int r = s_.firstRow; r <= s_.lastRow; ++r) {
        EXPECT_DOUBLE_EQ(g->layers[1].head[r][3], 5.0);
        EXPECT_NEAR(g->layers[1].head[r][2], 10, 1e-6);
        EXPECT_NEAR(g->layers[1].head[r][4], 2, 1e-6);
        EXPECT_EQ(g->layers[1].flowX[r][3], 0.0);
        EXPECT_EQ(g->layers[1].flowX[r][2], 0.0);  // the glacier neighbour takes nothing
        EXPECT_EQ(Find("baseflow")[r][3], 0.0);
    }
}

TEST_F(GwPhysics, SweepCountFollowsMaxiter) {
    Init(4, 11, 100.0, 10.0);
    StandardGrids(1, 0, 5, 1e-4, kSteady);
    FixColumn(1, 1, 12);
    FixColumn(1, 11, 2);
    Section sec;
    for (int maxiter : {1, 0, -3, 7}) {
        sec.maxiter = maxiter;
        // A limit of 0 or less still makes the one sweep every step makes.
        auto g = MakeOk(sec);
        Step(*g);
        EXPECT_EQ(g->layers[1].sweeps, std::max(maxiter, 1)) << maxiter;
    }
    EXPECT_TRUE(Logged("GWlevel 1, MPI-rank "));
    EXPECT_TRUE(Logged(", SOR 1, osc. at "));
}

// The report counts the heads that turned round over every process.
TEST_F(GwPhysics, TheOscillationsReportedAreThoseOfEveryProcess) {
    Init(24, 18, 100.0, 10.0);
    StandardGrids(2, 10, -1, 1e-4, 2e-3);
    ExpectTheOscillationsRecounted(9);
}

// The same report over a basin whose rows are broken by cells outside it (a notch beside the
// well, a whole row, the first and last columns of some rows): only basin cells count, at any
// division among the processes.
TEST_F(GwPhysics, TheOscillationsReportedCountOnlyTheBasinCells) {
    Init(24, 18, 100.0, 10.0);
    for (int r = 13; r <= 17; ++r) zone_[r][11] = zone_[r][12] = -9999;
    for (int c = 1; c <= 18; ++c) zone_[6][c] = -9999;
    for (int r = 1; r <= 24; r += 3) zone_[r][1] = zone_[r][18] = -9999;
    StandardGrids(2, 10, -1, 1e-4, 2e-3);
    ExpectTheOscillationsRecounted(10);
}

TEST_F(GwPhysics, LeakageBetweenLayersEntersSolverAndBalanceAlike) {
    Init(4, 6, 100.0, 2.0);
    const double K = 1e-6, S = 2e-3;
    // Layer 1 (8..10 m) restarts full every step; layer 2 (below 8 m) drains to a fixed head.
    StandardGrids(2, 10, 0, 1e-4, S, 10.0);
    Find("gw_kolmation_1").fill(K);
    FixColumn(2, 1, 7);
    Section sec;
    sec.layers = 2;
    auto g = MakeOk(sec);
    Step(*g, 1);
    std::vector<double> upper(7, 0.0), lower(7, 0.0);
    const int r0 = s_.firstRow;
    for (int c = 1; c <= 6; ++c) {
        upper[static_cast<std::size_t>(c)] = g->layers[1].head[r0][c];
        lower[static_cast<std::size_t>(c)] = g->layers[2].head[r0][c];
    }
    Step(*g, 2);
    for (int c = 2; c <= 6; ++c) {
        // The leakage of the step comes from the heads the step before ended with.
        const std::size_t i = static_cast<std::size_t>(c);
        EXPECT_DOUBLE_EQ(g->layers[1].leakage[r0][c], gwnum::Leakage(upper[i], lower[i], 8, K));
        EXPECT_LT(g->layers[1].leakage[r0][c], 0.0);  // water goes down
        // Where the storage coefficient is the solver's, free cells balance to 0 in both layers.
        for (int l = 1; l <= 2; ++l) EXPECT_NEAR(g->layers[static_cast<std::size_t>(l)].balance[r0][c], 0.0, 1e-6) << l << " " << c;
    }
}

TEST_F(GwPhysics, AHeadFallingBelowItsLayerTopStoresWithLayerOnesCoefficient) {
    // Layer 2 (top 8 m, no lateral flow) starts 0.1 m above its top and is pumped at q: the
    // first step falls with its own coefficient to below the top, the second with layer 1's.
    // Every cell balance, fixed inflow included, is 0.
    Init(2, 3, 100.0, 2.0);
    const double st1 = 0.2, st2 = 0.01, q = -1e-6, dt = 3600;
    StandardGrids(2, 10, -1.9, kNoFlow, st1);
    Find("gw_storage_coeff_2").fill(st2);
    Find("gw_boundary_fix_q_2").fill(q);
    Section sec;
    sec.layers = 2;
    auto g = MakeOk(sec);
    const auto& L = g->layers[2];
    double expected = 8.1;
    for (int day = 1; day <= 2; ++day) {
        const double storage = expected >= 8.0 ? st2 : st1;
        expected += q * dt / storage;
        Step(*g, day);
        for (int r = s_.firstRow; r <= s_.lastRow; ++r)
            for (int c = 1; c <= 3; ++c) {
                EXPECT_NEAR(L.head[r][c], expected, 1e-12) << day;
                // 0.36 mm pumped in a step: the balance closes far below that.
                EXPECT_NEAR(L.balance[r][c], 0.0, 1e-9) << day;
                EXPECT_NEAR(g->layers[1].balance[r][c], 0.0, 1e-9) << day;
            }
    }
    EXPECT_NEAR(expected, 8.1 - 0.36 - 0.018, 1e-12);  // the second step fell with st1
}

TEST_F(GwPhysics, AFreeCellAboveAFixedHeadOfTheLayerBelowDrainsIntoIt) {
    // Only layer 2 has a fixed head (7 m, below its top of 8 m), under column 2. From the second
    // step on layer 1 leaks 1 m x K into it there (the leakage comes from the last step's heads):
    // layer 1's cell of column 2 is free and falls by K dt / St1, the others keep their heads.
    Init(2, 3, 100.0, 2.0);
    const double K = 1e-6, st = 0.1, dt = 3600;
    StandardGrids(2, 10, -0.5, kNoFlow, st);
    Find("gw_kolmation_1").fill(K);
    FixColumn(2, 2, 7);
    Section sec;
    sec.layers = 2;
    auto g = MakeOk(sec);
    Step(*g, 1);
    Step(*g, 2);
    const auto& L = g->layers[1];
    for (int r = s_.firstRow; r <= s_.lastRow; ++r) {
        EXPECT_NEAR(L.head[r][2], 9.5 - K * dt / st, 1e-12);
        EXPECT_NEAR(Find("baseflow")[r][2], K, 1e-15);
        EXPECT_DOUBLE_EQ(L.head[r][1], 9.5);
        EXPECT_DOUBLE_EQ(L.head[r][3], 9.5);
        for (int c = 1; c <= 3; ++c) EXPECT_NEAR(L.balance[r][c], 0.0, 1e-9) << c;
        // The fixed cell's balance is minus what it took in: K dt in mm.
        EXPECT_NEAR(g->layers[2].balance[r][2], -K * dt * 1000, 1e-9);
    }
}

TEST_F(GwPhysics, RowGroupsInVectorRegistersGiveTheHeadsOfTheCellByCellSweep) {
    // Two layers over a varied aquifer: cells outside the basin, glacier cells, fixed heads in a
    // column and in single cells of either layer, fixed inflows, conductivity, storage and leakage
    // changing from cell to cell. Three steps of the model with its row groups swept in vector
    // registers and three with every cell swept on its own give the same heads, flows, balances
    // and sweep counts bit for bit, at any number of processes (groups at the first and last row
    // of the grid and of every band, and at 2 and 4 processes bands ending in 3 to 5 rows fewer
    // than a group). With alpha 1 every free cell balances to 0.
    const int rows = 45, cols = 23;
    Init(rows, cols, 50.0, 3.0);
    for (int r = 1; r <= rows; ++r)
        for (int c = 1; c <= cols; ++c)
            if ((r * 7 + c * 5) % 23 == 0 || (c > 19 && r < 6)) zone_[r][c] = -9999;
    VariedAquifer();
    for (const double sor : {1.0, 0.0}) {
        const double alpha = sor > 0 ? 1.0 : 0.7;
        std::vector<double> seen[2];
        int sweeps[2][3] = {};
        for (const bool vector : {true, false}) {
            gwnum::vectorSweeps = vector;
            const auto g = ThreeSteps(sor, alpha, sweeps[vector], seen[vector]);
            gwnum::vectorSweeps = true;
            for (int l = 1; l <= 2; ++l) {
                const auto& L = g->layers[static_cast<std::size_t>(l)];
                for (int r = s_.firstRow; r <= s_.lastRow; ++r)
                    for (int c = 1; c <= cols; ++c) {
                        const bool free = zone_[r][c] != -9999 && Find("GlacierizedCells")[r][c] < 1 &&
                                          (*L.fixH)[r][c] == -9999;
                        if (alpha == 1 && free) {
                            EXPECT_NEAR(L.balance[r][c], 0.0, 1e-6) << l << " " << r << " " << c;
                        }
                    }
            }
        }
        ASSERT_EQ(seen[0].size(), seen[1].size());
        EXPECT_EQ(std::memcmp(seen[0].data(), seen[1].data(), seen[0].size() * sizeof(double)), 0) << "sor " << sor;
        for (int d = 0; d < 3; ++d) EXPECT_EQ(sweeps[0][d], sweeps[1][d]) << d;
        EXPECT_GT(sweeps[1][2], 6);
    }
}

TEST_F(GwPhysics, BandsWhoseGroupsBeginBelowTheirFirstRowsGiveTheHeadsOfGroupsFromTheFirstRow) {
    // Bands of rows that are not a whole number of row groups, whose first rows hold three cells
    // (rows 2, 22, 43 and 64, where the bands begin at one, two and four processes): the band of
    // groups begins a few rows lower where that sweeps fewer cells one by one, and those first rows
    // are swept one by one before the halo rows below have come. Three steps give the heads, flows,
    // balances, factors and sweep counts of groups from the band's first row bit for bit.
    const int rows = 84, cols = 23;
    Init(rows, cols, 50.0, 3.0);
    for (const int r : {2, 22, 43, 64})
        for (int c = 1; c <= cols; ++c)
            if (c < 10 || c > 12) zone_[r][c] = -9999;
    VariedAquifer();
    for (const double sor : {1.0, 0.0}) {
        std::vector<double> seen[2];
        int sweeps[2][3] = {};
        int moved = 0;
        for (const bool choose : {true, false}) {
            gwnum::chooseBandFirst = choose;
            const auto g = ThreeSteps(sor, sor > 0 ? 1.0 : 0.7, sweeps[choose], seen[choose]);
            gwnum::chooseBandFirst = true;
            const int from = s_.firstRow == 1 ? 2 : s_.firstRow;
            for (int l = 1; l <= 2; ++l) {
                const int band = g->layers[static_cast<std::size_t>(l)].bandFirst;
                EXPECT_TRUE(choose ? band >= from && band <= from + 3 : band == from) << l << " " << band;
                if (choose && band > from) moved = 1;
            }
        }
        ASSERT_EQ(seen[0].size(), seen[1].size());
        EXPECT_EQ(std::memcmp(seen[0].data(), seen[1].data(), seen[0].size() * sizeof(double)), 0) << "sor " << sor;
        for (int d = 0; d < 3; ++d) EXPECT_EQ(sweeps[0][d], sweeps[1][d]) << d;
        EXPECT_GT(sweeps[1][2], 6);
        // At one and two processes every band moves (its last rows hold more cells than its first).
        int everywhere = moved;
        MPI_Allreduce(&moved, &everywhere, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
        if (talvo_test::Size() <= 2) {
            EXPECT_EQ(everywhere, 1);
        }
    }
}

TEST_F(GwPhysics, SweepsOverTheBasinColumnsOfEachRowGiveTheHeadsOfWholeRows) {
    // A basin narrower than its grid as a big basin's rows are: its columns move and change in
    // width from row to row, with holes; two rows lie wholly outside it, one holds a single
    // cell. The sweeps visit only each row's columns from its first to its last updated cell;
    // three steps give the heads, flows, balances and sweep counts of sweeps over whole rows bit
    // for bit, at any number of processes.
    const int rows = 44, cols = 31;
    Init(rows, cols, 50.0, 3.0);
    for (int r = 1; r <= rows; ++r) {
        const int mid = 12 + (r * 5) % 9, half = 3 + (r * 7) % 11;
        for (int c = 1; c <= cols; ++c)
            if (c < mid - half || c > mid + half || r == 16 || r == 17 || (r == 30 && c != mid) || (r * 3 + c) % 13 == 0)
                zone_[r][c] = -9999;
    }
    VariedAquifer();
    for (const double sor : {1.0, 0.0}) {
        std::vector<double> seen[2];
        int sweeps[2][3] = {};
        for (const bool spans : {true, false}) {
            gwnum::rowSpans = spans;
            ThreeSteps(sor, sor > 0 ? 1.0 : 0.7, sweeps[spans], seen[spans]);
            gwnum::rowSpans = true;
        }
        ASSERT_EQ(seen[0].size(), seen[1].size());
        EXPECT_EQ(std::memcmp(seen[0].data(), seen[1].data(), seen[0].size() * sizeof(double)), 0) << "sor " << sor;
        for (int d = 0; d < 3; ++d) EXPECT_EQ(sweeps[0][d], sweeps[1][d]) << d;
        EXPECT_GT(sweeps[1][2], 6);
    }
}

TEST_F(GwPhysics, AProcessWhoseOwnChangeExceedsTheLimitSweepsOnWithTheResultsOfWaitingForAll) {
    // The lower rows lie outside the basin: at two and four processes the processes holding them
    // have no change of their own and wait for the others' agreement after every sweep, while the
    // others, whose own change exceeds the limit, sweep on without waiting, and sweep their upper
    // rows before the halo rows below have arrived. Heads, flows, balances, factors, sweep counts
    // and the last largest changes are those of waiting for the agreement and all halo rows before
    // every sweep, bit for bit, converged and stopped by maxiter.
    const int rows = 36, cols = 21;
    Init(rows, cols, 50.0, 3.0);
    for (int r = 28; r <= rows; ++r)
        for (int c = 1; c <= cols; ++c) zone_[r][c] = -9999;
    VariedAquifer();
    for (const int maxiter : {10000, 9})
        for (const double sor : {1.0, 0.0}) {
            std::vector<double> seen[2];
            int sweeps[2][3] = {};
            for (const bool wait : {true, false}) {
                gwflowclass::waitForEveryAgreement = wait;
                ThreeSteps(sor, sor > 0 ? 1.0 : 0.7, sweeps[wait], seen[wait], maxiter);
                gwflowclass::waitForEveryAgreement = false;
            }
            ASSERT_EQ(seen[0].size(), seen[1].size());
            EXPECT_EQ(std::memcmp(seen[0].data(), seen[1].data(), seen[0].size() * sizeof(double)), 0)
                << "sor " << sor << " maxiter " << maxiter;
            for (int d = 0; d < 3; ++d) EXPECT_EQ(sweeps[0][d], sweeps[1][d]) << d;
            if (maxiter == 9) {
                EXPECT_EQ(sweeps[0][2], 18);
            } else {
                EXPECT_GT(sweeps[0][2], 18);
            }
        }
}

TEST_F(GwPhysics, ASweepBegunBeforeTheProcessesAgreedIsTakenBackWhereTheSweepBeforeEndedTheSolve) {
    // A coarse limit: the processes come within it in the same few sweeps, and each one within it
    // sweeps on while they agree. Where they agree that the sweep before was the last, the sweep
    // begun is taken back: the results are those of waiting for the agreement after every sweep,
    // converged and stopped by maxiter. A sweep left in place would move the heads by up to the
    // limit.
    Init(40, 23, 50.0, 3.0);
    VariedAquifer();
    for (const int maxiter : {10000, 7})
        for (const double sor : {1.3, 0.0})
            EXPECT_EQ(SameAsWaitingForEveryAgreement(sor, maxiter, 1e-4) < 2 * maxiter, maxiter > 7) << sor;
}

TEST_F(GwPhysics, RowsSweptInPiecesBetweenLooksAtTheAgreementsGiveTheSweepInOnePiece) {
    // Tall bands (48 rows at two processes, 24 at four): each process sweeps its rows in pieces
    // of two row groups and looks at the agreements under way between them. The largest change
    // and the factor sums run on over the pieces: the results are those of one piece.
    Init(96, 20, 50.0, 3.0);
    VariedAquifer();
    for (const double sor : {1.2, 0.0}) EXPECT_GT(SameAsWaitingForEveryAgreement(sor, 10000, 1e-11), 6) << sor;
}

TEST_F(GwPhysics, SweepsBeyondTheOneThatEndedTheSolveAreTakenBackAtAnyLag) {
    // The lower rows lie outside the basin: at two and four processes the processes holding them
    // are within the limit from the first sweep and sweep on several sweeps before they look at
    // the agreement, while the others come within it later. Where the processes agree that a
    // sweep ended the solve, every sweep after it is taken back, also where the last sweep allowed
    // comes before the lag has passed (each sweep under way is then looked at at once): the results
    // are those of waiting for the agreement after every sweep, at every lag.
    SameAtEveryLagAndLimit(40, 23, 33, {1, 2, 5}, [](int n1, int n2) {
        EXPECT_GT(std::min(n1, n2), 3);
        return std::vector<int>{10000, n1 + 1, n1 + 3, n2 + 2, n1, n2 - 1};
    });
}

TEST_F(GwPhysics, TrialHeadsKeptPieceByPieceDuringTheNextSweepAreThoseOfTheSweepThatEndedTheSolve) {
    // Tall bands (56 rows at two processes, 28 at four), each swept in several pieces; the last
    // rows lie outside the basin, so the last process is within the limit from the first sweep and
    // keeps the heads of every sweep during the next one, piece by piece, until the agreement
    // shows that the solve goes on; the others come within the coarse limit later. Where the
    // processes agree that a sweep ended the solve, every piece of its heads goes back: the results
    // are those of waiting for the agreement and every halo row after each sweep, at lags 1 and 3,
    // converged and stopped by maxiter.
    SameAtEveryLagAndLimit(112, 21, 85, {1, 3}, [](int n1, int) {
        EXPECT_GT(n1, 4);
        return std::vector<int>{10000, n1 + 1, n1 - 2};
    });
}

TEST_F(GwPhysics, TheStepTimesTakeTheSolvesSweepsHaloWaitsAndAgreementsWithoutChangingAResult) {
    // With the step times on, every solve adds its sweeps, its waits for the halo rows and its
    // agreements to rows of the table of its own, in the same order on every process (the table
    // lines up the processes' rows by their order); the heads, flows, balances, factors and sweeps
    // are those of a run without them, bit for bit.
    Init(40, 23, 50.0, 3.0);
    VariedAquifer();
    std::vector<double> seen[2];
    int sweeps[2][3] = {};
    StepTimes& times = StepTimes::Instance();
    const bool enabledBefore = times.Enabled();
    for (const bool timed : {false, true}) {
        times.Reset(timed);
        ThreeSteps(1.3, 1.0, sweeps[timed], seen[timed], 10000, 1e-10);
    }
    const std::vector<StepTimes::Sum> sums = times.Sums();
    times.Reset(enabledBefore);
    ASSERT_EQ(seen[0].size(), seen[1].size());
    EXPECT_EQ(std::memcmp(seen[0].data(), seen[1].data(), seen[0].size() * sizeof(double)), 0);
    for (int d = 0; d < 3; ++d) EXPECT_EQ(sweeps[0][d], sweeps[1][d]) << d;
    const char* const rows[] = {"groundwater: sweeps", "groundwater: halo waits", "groundwater: agreements"};
    ASSERT_EQ(sums.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(sums[k].name, rows[k]);
        // Two layers solved in each of the three steps.
        EXPECT_EQ(sums[k].count, 6) << rows[k];
        EXPECT_GE(sums[k].work, 0.0) << rows[k];
        EXPECT_EQ(sums[k].wait, 0.0) << rows[k];
    }
    EXPECT_GT(sums[0].work, 0.0);
}

TEST_F(GwPhysics, ConvergedHeadsOfBothLayersDoNotDependOnTheDivision) {
    // Two layers over a varied aquifer solved to the last digits: the heads near the borders of
    // the bands at two and four processes (rows 10/11, 20/21, 30/31) are those of one process, to
    // far below any flow's effect. A process that took the faces of a layer as they were before the
    // step (or not at all) across its border would solve another system there.
    Init(40, 23, 50.0, 3.0);
    VariedAquifer();
    std::vector<double> out;
    int sweeps[3] = {};
    const auto g = ThreeSteps(1.0, 1.0, sweeps, out, 100000, 1e-14);
    // The heads of one process at rows 10, 11, 20, 21, 30, 31 of columns 5 and 17, layers 1 and 2.
    const double expected[2][6][2] = {
        {{10.050680658670624, 12.022741842255039}, {9.5473544007211579, 12.530796471684519},
         {11.692344865519152, 12.102433738341315}, {12.277800169135455, 11.980859838987609},
         {8.9846462210669742, 12.289113969298354}, {9.0500308857237908, 11.745888086063257}},
        {{6.6763057268658175, 3.3649967241334875}, {7.6496701832212244, 2.0314489039339505},
         {2.8491729295651744, 5.1212190580195225}, {1.3518714749114198, 5.2378226640202401},
         {8.2227136521741357, 2.953376438706417}, {8.0194998983332528, 4.3021997127888119}},
    };
    const int rows[6] = {10, 11, 20, 21, 30, 31}, cols[2] = {5, 17};
    for (int l = 1; l <= 2; ++l)
        for (int i = 0; i < 6; ++i)
            for (int j = 0; j < 2; ++j)
                if (Owns(rows[i])) {
                    const double h = g->layers[static_cast<std::size_t>(l)].head[rows[i]][cols[j]];
                    EXPECT_NEAR(h, expected[l - 1][i][j], 1e-9)
                        << std::setprecision(17) << l << " " << rows[i] << " " << cols[j];
                }
}

TEST_F(GwPhysics, AfterEachStepTheHaloRowsHoldWhatTheNeighboursEndTheStepWith) {
    // Fixed heads on rows next to the band borders at two and four processes (rows 10, 21, 31),
    // a coarse limit, so that the processes agree on a solve's end while sweeping on and take the
    // sweeps after it back, and a limit of sweeps. After every step the halo rows of both layers'
    // heads, start heads and flows hold, bit for bit, what the neighbouring process ends the step
    // with: the balance, the next step's faces and the control point read them.
    Init(40, 23, 50.0, 3.0);
    VariedAquifer();
    Find("gw_boundary_fix_h_1")[10][5] = 9.0;
    Find("gw_boundary_fix_h_1")[21][17] = 8.5;
    Find("gw_boundary_fix_h_2")[31][6] = 5.0;
    auto expectHaloOfNeighbours = [&](const Matrix& m, const char* what, int day) {
        std::vector<std::vector<double>> got(recv_.size());
        std::vector<MPI_Request> requests;
        for (std::size_t i = 0; i < recv_.size(); ++i) {
            got[i].resize(static_cast<std::size_t>(recv_[i].count));
            requests.emplace_back();
            MPI_Irecv(got[i].data(), recv_[i].count, MPI_DOUBLE, recv_[i].rank, 7000 + recv_[i].row, MPI_COMM_WORLD,
                      &requests.back());
        }
        for (const HaloRecord& h : send_) {
            requests.emplace_back();
            MPI_Isend(m[h.row] + h.firstCol, h.count, MPI_DOUBLE, h.rank, 7000 + h.row, MPI_COMM_WORLD, &requests.back());
        }
        MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
        for (std::size_t i = 0; i < recv_.size(); ++i)
            EXPECT_EQ(std::memcmp(got[i].data(), m[recv_[i].row] + recv_[i].firstCol, got[i].size() * sizeof(double)), 0)
                << what << " row " << recv_[i].row << " day " << day;
    };
    for (const int maxiter : {10000, 7}) {
        SCOPED_TRACE(maxiter);
        Section sec;
        sec.layers = 2;
        sec.maxiter = maxiter;
        sec.maxerr = 1e-4;
        sec.sor = 1.3;
        auto g = MakeOk(sec);
        for (int day = 1; day <= 3; ++day) {
            Step(*g, day);
            for (int l = 1; l <= 2; ++l) {
                const auto& L = g->layers[static_cast<std::size_t>(l)];
                expectHaloOfNeighbours(L.head, "heads", day);
                expectHaloOfNeighbours(L.headOld, "start heads", day);
                expectHaloOfNeighbours(L.flowX, "flows along rows", day);
                expectHaloOfNeighbours(L.flowY, "flows across rows", day);
            }
        }
    }
}

TEST_F(GwPhysics, FixedHeadsNextToTheDivisionReachTheNeighboursBeforeTheirFirstSweep) {
    // Fixed heads of layer 2 on the rows on both sides of every border between the bands of two
    // and four processes, where the layer's start heads differ from them (9 m against 8 m, both
    // above the layer's top, so that the faces, which read the heads as the step begins, are
    // the same) and where they are the fixed heads already. A coarse limit and over-relaxation
    // make the heads depend on every sweep: the neighbours must sweep with the fixed heads in
    // their halo rows from the first sweep on, so three steps give the same heads, flows,
    // balances and sweeps bit for bit.
    Init(40, 12, 50.0, 3.0);
    StandardGrids(2, 10, -1, 1e-4, 2e-3, 8.0);
    for (int r = 1; r <= nrows_; ++r)
        for (int c = 1; c <= ncols_; ++c) Find("gw_k_x_2")[r][c] = 3e-5 * (2 + std::cos(0.2 * r * c));
    FixColumn(1, 1, 9.5);
    const int rows[] = {10, 11, 20, 21, 30, 31};
    for (const int r : rows) Find("gw_boundary_fix_h_2")[r][3 + r % 7] = 8.0;
    Find("gw_boundary_fix_h_2")[25][12] = 8.5;
    std::vector<double> seen[2];
    int sweeps[2] = {0, 0};
    for (const bool startAtFixed : {false, true}) {
        Section sec;
        sec.layers = 2;
        sec.maxerr = 1e-4;
        sec.sor = 1.3;
        auto g = MakeOk(sec);
        auto& L = g->layers[2];
        if (startAtFixed)
            for (const int r : rows)
                if (Owns(r)) L.head[r][3 + r % 7] = L.headOld[r][3 + r % 7] = 8.0;
        std::vector<double>& out = seen[startAtFixed];
        for (int day = 1; day <= 3; ++day) {
            Step(*g, day);
            sweeps[startAtFixed] += g->layers[1].sweeps + L.sweeps;
            for (int l = 1; l <= 2; ++l) {
                const auto& M = g->layers[static_cast<std::size_t>(l)];
                for (int r = s_.firstRow; r <= s_.lastRow; ++r)
                    for (int c = 1; c <= ncols_; ++c)
                        for (const Matrix* m : {&M.head, &M.flowX, &M.flowY, &M.balance}) out.push_back((*m)[r][c]);
            }
        }
    }
    EXPECT_EQ(sweeps[0], sweeps[1]);
    ASSERT_EQ(seen[0].size(), seen[1].size());
    EXPECT_EQ(std::memcmp(seen[0].data(), seen[1].data(), seen[0].size() * sizeof(double)), 0);
}
