// The groundwater step gives the same heads, fluxes, balances, base flow, tracer zone sums and
// solver report bit for bit whatever the number of threads of a process: the threads of a sweep
// must read what the sweep on one thread reads, and sums must add in the order of one thread.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "gwflow_fixture.hpp"
#include "lateral/gwflow_numerics.hpp"
#include "setup/tracer_ini.hpp"

using namespace gwtest;

namespace {

class GwThreads : public GwDomain {
protected:
    static constexpr int kRows = 48, kCols = 40;

    // Two layers with conductivities, storage, inflows and leakage varying from cell to cell,
    // fixed heads at the west edge of layer 2 and wells; every value of the run's output grids
    // over the own rows after three steps, the oscillations the solver counts, a tracer's zone
    // sums and the solver's report entries.
    std::vector<double> Run(int threads, double sor, std::string& report, double maxerr = 1e-6, int maxiter = 10000) {
        grids_.clear();
        for (int i = 2; i < 1000; ++i) store_[i] = GridStoreEntry{};
        StandardGrids(2, 10, -1, 1e-4, 2e-3, 10.0);
        auto vary = [](int r, int c, double a, double b) { return 1.0 + a * std::sin(0.7 * r + b * c); };
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                Find("groundwater_distance")[r][c] = -1.5 * vary(r, c, 0.5, 0.3);
                for (const char* n : {"gw_k_x_1", "gw_k_y_2"}) Find(n)[r][c] = 1e-4 * vary(r, c, 0.9, 1.3);
                for (const char* n : {"gw_k_y_1", "gw_k_x_2"}) Find(n)[r][c] = 2e-4 * vary(c, r, 0.8, 0.9);
                Find("gw_storage_coeff_2")[r][c] = 1e-3 * vary(r, c, 0.7, 2.1);
                Find("gw_kolmation_1")[r][c] = 1e-6 * vary(c, r, 0.9, 0.5);
            }
        for (int r = 1; r <= kRows; ++r) Find("gw_boundary_fix_h_2")[r][1] = 5.0 + 0.05 * r;
        Find("gw_boundary_fix_q_1")[2 * kRows / 3][kCols / 4] = 1e-5;
        Section sec;
        sec.layers = 2;
        sec.sor = sor;
        // Converged loosely by default: few sweeps, and the heads still end where the sweeps took them.
        sec.maxerr = maxerr;
        sec.maxiter = maxiter;
        auto g = MakeOk(sec);
        // A tracer: its zone sums add every mixed cell of a layer.
        std::vector<TracerDescriptor> tracers(2);
        tracers[1].name = "chl";
        tracers[1].gwini = 1;
        unsigned error = 0;
        g->CreateTracerGrids(error, 1, tracers.data(), nullptr, 0);
        EXPECT_EQ(error, 0u) << console_.str();
        const std::size_t logged = console_.str().size();
        const int before = omp_get_max_threads();
        omp_set_num_threads(threads);
        std::vector<double> out;
        for (int day = 1; day <= 3; ++day) {
            // A well that pumps and recharges in turn: heads turn round, and the solver sums
            // their changes (the oscillations of its report).
            Find("gw_boundary_fix_q_2")[kRows / 3][kCols / 2] = day % 2 == 1 ? -2e-4 : 2e-4;
            Step(*g, day);
            out.push_back(static_cast<double>(g->oscillations));
            out.push_back(g->oscillationSum);
            for (int l = 1; l <= 2; ++l)
                for (const zoneFZT& z : g->gwTracers[1].layers[static_cast<std::size_t>(l)].zones)
                    out.insert(out.end(), {z.sx, z.n, z.RelCellSum});
        }
        omp_set_num_threads(before);
        for (int l = 1; l <= 2; ++l) {
            const auto& L = g->layers[static_cast<std::size_t>(l)];
            for (int r = s_.firstRow; r <= s_.lastRow; ++r)
                for (int c = 1; c <= kCols; ++c) {
                    out.insert(out.end(), {L.head[r][c], L.flowX[r][c], L.flowY[r][c], L.balance[r][c]});
                    if (l == 1) out.push_back(Find("baseflow")[r][c]);
                }
        }
        report = console_.str().substr(logged);
        return out;
    }
};

}  // namespace

TEST_F(GwThreads, ATeamOfThreadsGivesTheResultsOfOneThreadBitForBit) {
    Init(kRows, kCols, 100.0, 2.0);
    // Bands of a few hundred cells already go to a team, as a big basin's do.
    const std::int64_t oldThreshold = gwnum::threadedCells;
    gwnum::threadedCells = 960;
    const int threads = std::max(2, omp_get_num_procs() / talvo_test::Size());
    // Plain Gauss-Seidel and the adaptive factor (its report sums the factors of a sweep).
    for (double sor : {1.0, 0.0}) {
        std::string oneReport, teamReport;
        const std::vector<double> one = Run(1, sor, oneReport);
        ASSERT_NE(oneReport.find("GWlevel 2"), std::string::npos);
        // A race shows only now and then: several runs with the team. The last one with more
        // threads than cores: threads wait for a core midway (the waiting ones offer theirs in
        // turn), and the blocks of their pieces go to the threads that run.
        for (int run = 0; run < 3; ++run) {
            const std::vector<double> team = Run(run < 2 ? threads : 3 * threads, sor, teamReport);
            ASSERT_EQ(one.size(), team.size());
            std::size_t differ = 0;
            for (std::size_t i = 0; i < one.size(); ++i)
                if (std::memcmp(&one[i], &team[i], sizeof(double)) != 0) ++differ;
            EXPECT_EQ(differ, 0u) << "sor " << sor << ", " << threads << " threads, run " << run;
            EXPECT_EQ(oneReport, teamReport) << "sor " << sor;
        }
    }
    gwnum::threadedCells = oldThreshold;
}

TEST_F(GwThreads, TeamsOfSeveralSizesSweepTheirBlocksOfColumnsAsOneThread) {
    // Each thread sweeps the row groups of its pieces block of columns by block, the groups of
    // eight rows through the vector registers, the stages at a block's edges with the lanes beyond
    // it left alone, the band's last rows in the group of its last eight rows. Teams of two, three
    // and four cut the 40 columns into blocks of 20 or 16 (the last one 8), and the rows into
    // pieces of one or several groups; each must give the bits of one thread, the adaptive
    // factors (stored per cell, added in row order) and the plain relaxation alike.
    Init(kRows, kCols, 100.0, 2.0);
    const std::int64_t oldThreshold = gwnum::threadedCells, oldBlockCells = gwnum::minPieceBlockCells;
    gwnum::threadedCells = 240;
    gwnum::minPieceBlockCells = 0;
    const int most = std::max(2, std::min(4, omp_get_num_procs() / talvo_test::Size()));
    // The plain relaxation with a team of three, the adaptive one with two and with the most.
    for (double sor : {1.0, 0.0}) {
        std::string oneReport, teamReport;
        const std::vector<double> one = Run(1, sor, oneReport);
        for (const int threads : sor == 1.0 ? std::vector<int>{3} : std::vector<int>{2, most}) {
            const std::vector<double> team = Run(threads, sor, teamReport);
            ASSERT_EQ(one.size(), team.size());
            std::size_t differ = 0;
            for (std::size_t i = 0; i < one.size(); ++i)
                if (std::memcmp(&one[i], &team[i], sizeof(double)) != 0) ++differ;
            EXPECT_EQ(differ, 0u) << "sor " << sor << ", " << threads << " threads";
            EXPECT_EQ(oneReport, teamReport) << "sor " << sor << ", " << threads << " threads";
        }
    }
    gwnum::threadedCells = oldThreshold;
    gwnum::minPieceBlockCells = oldBlockCells;
}

TEST_F(GwThreads, PiecesOfMoreRowsWhereTheBlocksAreNarrowSweepAsOneThread) {
    // Where the blocks of columns are narrow, the pieces take more rows so that each block holds
    // enough cells, as long as each thread gets a piece. Four threads on 40 columns cut blocks of
    // 16 columns (the last one 8), two threads blocks of 20: without a minimum the band's pieces
    // are single groups of eight rows, with a minimum the pieces take a quarter (a half) of the
    // band, several groups, and the last one holds the band's last rows.
    Init(kRows, kCols, 100.0, 2.0);
    const std::int64_t oldThreshold = gwnum::threadedCells, oldBlockCells = gwnum::minPieceBlockCells;
    gwnum::threadedCells = 240;
    const int threads = std::max(2, std::min(4, omp_get_num_procs() / talvo_test::Size()));
    std::string oneReport, teamReport;
    const std::vector<double> one = Run(1, 0.0, oneReport);
    for (const std::int64_t cells : {std::int64_t{0}, std::int64_t{2048}, std::int64_t{1} << 40}) {
        gwnum::minPieceBlockCells = cells;
        const std::vector<double> team = Run(threads, 0.0, teamReport);
        ASSERT_EQ(one.size(), team.size());
        std::size_t differ = 0;
        for (std::size_t i = 0; i < one.size(); ++i)
            if (std::memcmp(&one[i], &team[i], sizeof(double)) != 0) ++differ;
        EXPECT_EQ(differ, 0u) << threads << " threads, blocks of " << cells << " cells at least";
        EXPECT_EQ(oneReport, teamReport) << "blocks of " << cells << " cells at least";
    }
    gwnum::threadedCells = oldThreshold;
    gwnum::minPieceBlockCells = oldBlockCells;
}

TEST_F(GwThreads, TracerZoneSumsAreTheSameWhetherOneThreadAddsThemAsItMixesOrATeamAfterTheRows) {
    // One thread adds a mixed cell to the tracer's zone sums as it mixes it, in rows too small
    // for a team and in a team of one alike; in a team the threads keep the water of their rows'
    // cells, and whichever thread finds no other adding adds the rows mixed so far, row after row.
    // All must give the same sums (and everything else) bit for bit, also a team of more threads
    // than cores, whose rows are mixed out of turn.
    Init(kRows, kCols, 100.0, 2.0);
    const std::int64_t oldThreshold = gwnum::threadedCells;
    std::string report;
    gwnum::threadedCells = std::int64_t{1} << 40;
    const std::vector<double> alone = Run(1, 1.0, report);
    gwnum::threadedCells = 960;
    const std::vector<double> teamOfOne = Run(1, 1.0, report);
    const int threads = std::max(2, omp_get_num_procs() / talvo_test::Size());
    const std::vector<double> team = Run(threads, 1.0, report);
    const std::vector<double> crowded = Run(3 * threads, 1.0, report);
    gwnum::threadedCells = oldThreshold;
    ASSERT_EQ(alone.size(), teamOfOne.size());
    ASSERT_EQ(alone.size(), team.size());
    ASSERT_EQ(alone.size(), crowded.size());
    // The first day's zone sums follow its two oscillation figures: the tracer is in the cells
    // (its initial concentration is 1), so some zone holds mass and water.
    ASSERT_GT(alone.size(), 8u);
    EXPECT_GT(*std::max_element(alone.begin() + 2, alone.begin() + 8), 0.0);
    EXPECT_EQ(std::memcmp(alone.data(), teamOfOne.data(), alone.size() * sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(alone.data(), team.data(), alone.size() * sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(alone.data(), crowded.data(), alone.size() * sizeof(double)), 0);
}

TEST_F(GwThreads, OverlappedSweepsEndAtTheSweepOfOneThread) {
    // A team begins a layer's next sweep in the first pieces while the last pieces of the sweep
    // before are swept. The sweeps end where one thread's end: at the first sweep within the limit
    // (loosely: a few sweeps; tightly: many, the last ones changing little in the first pieces, so
    // that the next sweep begins there on trial and its heads go back), or at maxiter (one and two
    // sweeps, far from the limit). Each must give the heads, fluxes and report of one thread, with
    // teams of two, of the cores and of more threads than cores (threads wait for a core midway),
    // pieces of one group and of several, and the same with the sweeps one after the other.
    Init(kRows, kCols, 100.0, 2.0);
    const std::int64_t oldThreshold = gwnum::threadedCells, oldBlockCells = gwnum::minPieceBlockCells;
    gwnum::threadedCells = 240;
    const int threads = std::max(2, omp_get_num_procs() / talvo_test::Size());
    struct Case {
        double maxerr;
        int maxiter;
        std::int64_t blockCells;
    };
    const std::int64_t putBackBefore = gwnum::piecesPutBack;
    for (const Case k : {Case{1e-6, 10000, 0}, Case{1e-13, 10000, 0}, Case{1e-13, 10000, 2048}, Case{1e-13, 1, 0},
                         Case{1e-13, 2, 2048}}) {
        gwnum::minPieceBlockCells = k.blockCells;
        std::string oneReport, teamReport;
        const std::vector<double> one = Run(1, 1.0, oneReport, k.maxerr, k.maxiter);
        for (const int team : {2, threads, 3 * threads})
            for (const bool overlap : {true, false}) {
                gwnum::overlapSweeps = overlap;
                const std::vector<double> got = Run(team, 1.0, teamReport, k.maxerr, k.maxiter);
                gwnum::overlapSweeps = true;
                ASSERT_EQ(one.size(), got.size());
                std::size_t differ = 0;
                for (std::size_t i = 0; i < one.size(); ++i)
                    if (std::memcmp(&one[i], &got[i], sizeof(double)) != 0) ++differ;
                EXPECT_EQ(differ, 0u) << "maxerr " << k.maxerr << ", maxiter " << k.maxiter << ", " << team
                                      << " threads, overlap " << overlap;
                EXPECT_EQ(oneReport, teamReport) << "maxerr " << k.maxerr << ", maxiter " << k.maxiter;
            }
        if (k.maxiter <= 2) {
            // maxiter reached: the report says so.
            EXPECT_NE(oneReport.find("Steps " + std::to_string(k.maxiter) + " "), std::string::npos) << oneReport;
        }
    }
    // One process only overlaps its sweeps (between the sweeps of several the halo rows travel).
    if (talvo_test::Size() == 1) {
        EXPECT_GT(gwnum::piecesPutBack, putBackBefore);
    }
    gwnum::threadedCells = oldThreshold;
    gwnum::minPieceBlockCells = oldBlockCells;
}
