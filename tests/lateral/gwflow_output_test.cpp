// Outputs of the groundwater model: the control-point file with its buffer, grids by write
// code, and the tracer grids with decay, upwind mixing and statistics weights.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <sstream>

#include "gwflow_fixture.hpp"
#include "kernel/replacingfile.hpp"
#include "kernel/test_decomposition.hpp"
#include "setup/tracer_ini.hpp"

using namespace gwtest;

namespace {

class GwOutput : public GwDomain {
protected:
    void SetUp() override {
        GwDomain::SetUp();
        Init(4, 5, 100.0, 10.0);
    }
    static int Lines(const std::string& text) {
        int n = 0;
        for (char ch : text) n += ch == '\n';
        return n;
    }
};

}  // namespace

TEST_F(GwOutput, ControlPointBufferCapacity) {
    EXPECT_EQ(gwflowclass::ControlCapacity(1), 23831u);
    EXPECT_EQ(gwflowclass::ControlCapacity(3), 11397u);
    EXPECT_EQ(gwflowclass::ControlCapacity(1000000), 1u);
}

TEST_F(GwOutput, ControlPointFileHeaderRowsAndBuffer) {
    StandardGrids(2, 0, 5, 1e-4, 1e-3);
    Find("gw_boundary_fix_h_1")[2][2] = 7;  // a gradient towards the control cell
    Section sec;
    sec.layers = 2;
    sec.row = 2;
    sec.col = 3;
    auto g = MakeOk(sec);
    const bool here = Owns(2);
    EXPECT_EQ(g->controlHere, here);
    // The buffer writes when it holds its capacity of records.
    if (here) g->controlCapacity = 2;
    Step(*g, 1);
    submodel_test::WriteShared("sync", "");
    const std::string header =
        "YY\tMM\tDD\tHH\tcontrol_point_fluxes[2][3][lr: 1, 1]\t[lr: 1, 2]\t[lr: 1, 3]\t[lr: 1, 4]\t[lr: 1, up]\t"
        "[lr: 1, down]\t[lr: 2, 1]\t[lr: 2, 2]\t[lr: 2, 3]\t[lr: 2, 4]\t[lr: 2, up]\t[lr: 2, down]\t\n";
    // Until its first rows the header waits under the temporary name.
    EXPECT_EQ(talvo_test::ReadFile("cp.txt.part"), header);
    // Every process has read the header before the owner's next rows put the file in place.
    MPI_Barrier(MPI_COMM_WORLD);
    Step(*g, 2);
    submodel_test::WriteShared("sync", "");
    EXPECT_EQ(Lines(talvo_test::ReadFile("cp.txt")), 3);
    Step(*g, 3);
    if (here) {
        const Matrix& h = g->layers[1].head;
        char expected[512];
        std::snprintf(expected, sizeof expected, "2020\t1\t3\t24\t%g\t%g\t%g\t%g\t%g\t%g", h[2][3], h[1][3], h[2][4],
                      h[3][3], h[2][2], Find("baseflow")[2][2]);
        g->FlushStatistics();
        const std::string text = talvo_test::ReadFile("cp.txt");
        EXPECT_EQ(Lines(text), 4);
        EXPECT_NE(text.find(std::string(expected) + "\t"), std::string::npos) << text << "\n" << expected;
        EXPECT_TRUE(Logged("write cp.txt"));
        EXPECT_TRUE(Logged("(136 of 2097152 buffer-bytes)"));
    }
}

// A run that fails holds control-point records not yet written. Once its table has replaced the
// one of the run before, the module writes them when it is deleted; before that the table of the
// run before stays as it was.
TEST_F(GwOutput, AFailedRunWritesTheHeldRecordsOnlyToATableInPlace) {
    struct Run {
        Run() { SetNormalEndPending(true); }
        ~Run() { SetNormalEndPending(false); }
    };
    StandardGrids(2, 0, 5, 1e-4, 1e-3);
    Section sec;
    sec.layers = 2;
    sec.row = 2;
    sec.col = 3;
    const bool here = Owns(2);
    if (here) talvo_test::WriteFile("cp.txt", "the run before\n");
    {
        Run run;
        auto g = MakeOk(sec);
        g->SetStatus(1);
        Step(*g, 1);
        g.reset();
    }
    if (here) {
        EXPECT_EQ(talvo_test::ReadFile("cp.txt"), "the run before\n");
        EXPECT_FALSE(std::filesystem::exists("cp.txt.part"));
    }
    {
        Run run;
        auto g = MakeOk(sec);
        g->SetStatus(1);
        if (here) g->controlCapacity = 2;
        Step(*g, 1);
        Step(*g, 2);
        if (here) {
            EXPECT_EQ(Lines(talvo_test::ReadFile("cp.txt")), 3);
        }
        Step(*g, 3);
        g.reset();
    }
    if (here) {
        const std::string text = talvo_test::ReadFile("cp.txt");
        EXPECT_EQ(Lines(text), 4);
        EXPECT_NE(text.find("\n2020\t1\t3\t24\t"), std::string::npos) << text;
    }
}

TEST_F(GwOutput, ControlPointInTheFirstColumnMarksTheMissingNeighbours) {
    StandardGrids(1, 0, 5, 1e-4, 1e-3);
    Section sec;
    sec.row = 1;
    sec.col = 1;
    auto g = MakeOk(sec);
    Step(*g);
    g->FlushStatistics();
    submodel_test::WriteShared("sync", "");
    const std::string text = talvo_test::ReadFile("cp.txt");
    std::istringstream in(text.substr(text.find('\n') + 1));
    std::vector<double> v;
    for (double x; in >> x;) v.push_back(x);
    ASSERT_EQ(v.size(), 10u) << text;
    EXPECT_EQ(v[5], -8888);  // row above
    EXPECT_EQ(v[8], -8888);  // previous column
    EXPECT_EQ(v[9], -8888);  // base flow of the previous column
    EXPECT_EQ(v[4], 5);
}

TEST_F(GwOutput, ControlPointFileThatCannotBeAppendedTo) {
    StandardGrids(1, 0, 5, 1e-4, 1e-3);
    auto g = MakeOk(Section{});
    std::vector<gwflowclass::ControlRecord> records(2);
    records[1].values.assign(7, 0.0);
    const int code = submodel_test::CodeOf([&] { g->WriteControlPointFluxes("no_dir/cp.txt", "no_dir/cp.txt", 1, records); });
    EXPECT_EQ(code, 65);
    EXPECT_TRUE(Logged("error opening file no_dir/cp.txt"));
    // Nothing buffered writes nothing.
    EXPECT_EQ(submodel_test::CodeOf([&] { g->WriteControlPointFluxes("no_dir/cp.txt", "x", 0, records); }), 0);
}

TEST_F(GwOutput, GridsByWriteCode) {
    StandardGrids(1, 0, 5, 1e-4, 1e-3);
    s_.textOutput = true;
    Section sec;
    sec.codes = {1, 0, 1, 0};
    auto g = MakeOk(sec);
    Step(*g);
    g->WriteOutputs(24, 1, 1, 2020);
    submodel_test::WriteShared("sync", "");
    EXPECT_TRUE(std::filesystem::exists("head_1.asc"));
    EXPECT_TRUE(std::filesystem::exists("head_1_old.asc"));
    EXPECT_TRUE(std::filesystem::exists("qy_1.asc"));
    EXPECT_FALSE(std::filesystem::exists("qx_1.asc"));
    EXPECT_FALSE(std::filesystem::exists("bal_1.asc"));
}

namespace {

class GwTracer : public GwOutput {
protected:
    void SetUp() override {
        GwDomain::SetUp();
        Init(4, 2, 100.0, 10.0);
        tracers_.resize(2);
        TracerDescriptor& d = tracers_[1];
        d.name = "chl";
        d.path = "out_";
        d.gridext = "asc";
        d.statext = "txt";
        d.gwini = 0.2;
        d.statcode = 0;
    }
    std::vector<TracerDescriptor> tracers_;
};

}  // namespace

TEST_F(GwTracer, GridsNamesAndStartValues) {
    StandardGrids(2, 0, 5, 1e-4, 1e-3);
    Section sec;
    sec.layers = 2;
    auto g = MakeOk(sec);
    unsigned error = 9;
    g->CreateTracerGrids(error, 1, tracers_.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    const auto& tl = g->gwTracers[1].layers[2];
    EXPECT_EQ(store_[tl.index].internalName, "concstor_tracer_1_layer_2_groundwater_flow");
    EXPECT_EQ(tl.fileName, "out_chl2grou.asc");
    EXPECT_EQ(tl.statFileName, "out_chlgrou2.txt");
    const int flux = g->gwTracers[1].fluxIndex;
    EXPECT_EQ(store_[flux].internalName, "concflux_tracer_1_groundwater_flow");
    EXPECT_EQ(flux, tl.index + 1);
    for (int r = s_.firstRow; r <= s_.lastRow; ++r) EXPECT_DOUBLE_EQ(tl.conc[r][1], 0.2 * 10 * 1e-3 * 1000);
    g->FreeTracerGrids();
    EXPECT_FALSE(store_[flux].hasInternalName);
    // No tracers: nothing is created.
    g->CreateTracerGrids(error, 0, tracers_.data(), nullptr, 0);
    EXPECT_EQ(error, 0u);
    EXPECT_TRUE(g->gwTracers.empty());
}

TEST_F(GwTracer, UpwindMixingOfTwoCellsByHand) {
    const double k = 1e-4, T = 10 * k, S = 1e-3, A = 1e4, dt = 3600;
    StandardGrids(1, 0, 5, k, S);
    for (int r = 1; r <= 4; ++r) Find("gw_boundary_fix_h_1")[r][1] = 6;
    auto g = MakeOk(Section{});
    unsigned error = 0;
    g->CreateTracerGrids(error, 1, tracers_.data(), nullptr, 0);
    ASSERT_EQ(error, 0u);
    Matrix& conc = g->gwTracers[1].layers[1].conc;
    for (int r = s_.firstRow; r <= s_.lastRow; ++r) {
        conc[r][1] = 8;
        conc[r][2] = 2;
    }
    Step(*g);
    // The free cell: implicit head, inflow from the fixed cell. Both cells stand above the
    // layer's top (0): they hold the water of the whole thickness (10 m) and of the head above
    // the top (5 m, the fixed cell 6 m).
    const double h = (S * A * 5 / dt + T * 6) / (S * A / dt + T);
    const double volume = S * A * 15, inflow = (6 - h) / 100 * T * 100 * dt;
    double weights = 0, values = 0;
    for (int r = s_.firstRow; r <= s_.lastRow; ++r) {
        EXPECT_NEAR(g->layers[1].head[r][2], h, 1e-7);
        EXPECT_NEAR(conc[r][2], (2 * volume + 8 * inflow) / (volume + inflow), 1e-9);
        EXPECT_NEAR(conc[r][1], 8, 1e-9);  // it loses water but keeps its concentration
    }
    // Without "RelCellArea" the statistics weigh every cell by its water W.
    const zoneFZT& z = g->gwTracers[1].layers[1].zones[1];
    weights = Sum(z.n);
    values = Sum(z.sx);
    EXPECT_NEAR(weights, 4 * (S * A * 16 - inflow) + 4 * (volume + inflow), 1e-6);
    EXPECT_NEAR(values, 4 * 8 + 4 * (2 * volume + 8 * inflow) / (volume + inflow), 1e-9);
    EXPECT_NEAR(Sum(z.RelCellSum), weights, 1e-6);
}

TEST_F(GwTracer, DecayWithTheSubStepAndNoWaterGivesZero) {
    tracers_[1].radioactive = 1;
    tracers_[1].half_time = 2.0;
    for (double storage : {1e-3, 0.0}) {
        grids_.clear();
        for (int i = 2; i < 1000; ++i) store_[i] = GridStoreEntry{};
        StandardGrids(1, 0, 5, 1e-4, storage);
        submodel_test::WriteShared("test.ctl", submodel_test::ControlFile(Section{}.Text()));
        unsigned error = 0;
        // Two inner sub-steps: the factor belongs to 30 minutes.
        gwflowclass g(error, log_.get(), s_, 2);
        if (storage == 0) {
            // An aquifer without storage holds no water: refused when the grids are checked.
            EXPECT_EQ(error, 17u);
            EXPECT_TRUE(Logged("gw_storage_coeff_1 at row "));
            EXPECT_TRUE(Logged("groundwater_flow: the value 0 in section [standard_grids] must be in (0, 1]!"));
            continue;
        }
        ASSERT_EQ(error, 0u);
        g.CreateTracerGrids(error, 1, tracers_.data(), nullptr, 0);
        const double f = std::exp(-(30.0 / 60 / 24) / (1.442695041111 * 2.0));
        EXPECT_DOUBLE_EQ(g.gwTracers[1].decay, f);
        const double start = g.gwTracers[1].layers[1].conc[s_.firstRow][1];
        Step(g);
        for (int r = s_.firstRow; r <= s_.lastRow; ++r)
            EXPECT_NEAR(g.gwTracers[1].layers[1].conc[r][2], storage > 0 ? start * f : 0.0, 1e-12) << storage;
    }
}

TEST_F(GwTracer, StatisticsWeighCellsByTheirRelativeArea) {
    const double S = 1e-3, A = 1e4;
    Grid("RelCellArea", 0.5);
    Grid("CellSizeX", 100);
    Grid("CellSizeY", 100);
    StandardGrids(1, 0, 5, 1e-4, S);
    auto g = MakeOk(Section{});
    unsigned error = 0;
    g->CreateTracerGrids(error, 1, tracers_.data(), nullptr, 0);
    ASSERT_EQ(error, 0u);
    Step(*g);
    // Level heads 5 m above the top: every cell keeps its water S A (b + 5) and its start
    // concentration 0.2 x b x S x 1000.
    const zoneFZT& z = g->gwTracers[1].layers[1].zones[1];
    const double c0 = 0.2 * 10 * S * 1000;
    EXPECT_NEAR(Sum(z.n), 8 * 0.5 * S * A * 15, 1e-9);
    EXPECT_NEAR(Sum(z.sx), 8 * 0.5 * c0, 1e-12);
    EXPECT_NEAR(Sum(z.RelCellSum), 8 * 0.5, 1e-12);
}

// The start value is the initial value times thickness, storage coefficient and 1000 whatever the
// descriptor's other fields hold; a fully glaciated cell, which the mixing skips, keeps its tracer
// through the step while its neighbours mix.
TEST_F(GwTracer, StartValueAndGlaciatedCellsKeepTheirTracer) {
    tracers_[1].reserved1 = 1;
    StandardGrids(1, 0, 5, 1e-4, 1e-3);
    Grid("GlacierizedCells", 0);
    for (int r = 1; r <= 4; ++r) Find("GlacierizedCells")[r][2] = 1.0;
    for (int r = 1; r <= 4; ++r) Find("gw_boundary_fix_h_1")[r][1] = 6;
    auto g = MakeOk(Section{});
    unsigned error = 0;
    g->CreateTracerGrids(error, 1, tracers_.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    Matrix& conc = g->gwTracers[1].layers[1].conc;
    for (int r = s_.firstRow; r <= s_.lastRow; ++r) {
        EXPECT_DOUBLE_EQ(conc[r][1], 0.2 * 10 * 1e-3 * 1000);
        conc[r][2] = 5000;
    }
    Step(*g);
    for (int r = s_.firstRow; r <= s_.lastRow; ++r) EXPECT_EQ(conc[r][2], 5000.0) << r;
}

// Tracer entering at a fixed head travels on from row to row, step by step, also where the rows
// lie on different processes: the second step's mixing sees the first step's values of the
// neighbour rows.
TEST_F(GwTracer, TracerTravelsAcrossTheRowsOfOtherProcesses) {
    StandardGrids(1, 0, 5, 1e-4, 1e-3);
    for (int c = 1; c <= 2; ++c) Find("gw_boundary_fix_h_1")[1][c] = 6;
    auto g = MakeOk(Section{});
    unsigned error = 0;
    g->CreateTracerGrids(error, 1, tracers_.data(), nullptr, 0);
    ASSERT_EQ(error, 0u);
    Matrix& conc = g->gwTracers[1].layers[1].conc;
    for (int r = s_.firstRow; r <= s_.lastRow; ++r)
        for (int c = 1; c <= 2; ++c) conc[r][c] = r == 1 ? 8 : 2;
    Step(*g);
    for (int r = s_.firstRow; r <= s_.lastRow; ++r) {
        if (r == 2) {
            EXPECT_GT(conc[r][1], 2.0 + 1e-6) << g->layers[1].head[r][1] << " " << g->layers[1].flowY[r - 1][1];
        } else if (r == 3) {
            EXPECT_NEAR(conc[r][1], 2.0, 1e-12);  // nothing reached it yet
        }
    }
    Step(*g);
    for (int r = s_.firstRow; r <= s_.lastRow; ++r) {
        if (r == 3) {
            EXPECT_GT(conc[r][1], 2.0 + 1e-9);
        }
    }
}

// Where a row is divided between processes, the balance and the upwind mixing of a cell read its
// west neighbour's flux of this step from the other process: the divided grid gives the heads,
// balances and tracer of one process holding the whole grid (the west inflow was missing in the
// first step, and later came with last step's direction). A control point whose west neighbour
// lies on another process records that cell's base flow of the step, as one process does.
TEST_F(GwTracer, RowsSharedByProcessesMixLikeOneProcess) {
    constexpr int kRows = 5, kCols = 5;
    Section sec;
    sec.maxerr = 1e-14;  // heads converged whatever the order of the sweeps
    struct Result {
        std::vector<double> head, balance, conc, controlBaseflow;
    };
    auto run = [&](bool divided, talvo_test::TestDecomposition& division) {
        grids_.clear();
        for (int i = 2; i < 1000; ++i) store_[i] = GridStoreEntry{};
        Init(kRows, kCols, 100.0, 10.0);
        if (divided) {
            modelobject probe(log_.get(), "test.ctl", 0, false, false, ObjectRecord{});
            probe.nrows = kRows;
            probe.ncols = kCols;
            probe.gridStore = &store_;
            const std::vector<std::vector<double>> whole(kRows + 1, std::vector<double>(kCols + 1, 1.0));
            talvo_test::Decompose(probe, whole, &division);
            s_.firstRow = probe.firstRow;
            s_.lastRow = probe.lastRow;
            s_.record.sendHalo = &division.sendHalo;
            s_.record.recvHalo = &division.recvHalo;
            s_.record.basinColumns = &division.basin;
            // The control point: the first cell whose west neighbour another process owns.
            for (int r = 1; r <= kRows && sec.row == 0; ++r)
                for (int c = 2; c <= kCols && sec.row == 0; ++c)
                    if (division.owner[r][c - 1] != division.owner[r][c]) {
                        sec.row = r;
                        sec.col = c;
                    }
        } else {
            // Every process holds the whole grid on its own.
            send_.clear();
            recv_.clear();
            s_.firstRow = 1;
            s_.lastRow = kRows;
        }
        StandardGrids(1, 0, 5, 1e-4, 1e-3);
        // Water enters in the west and leaves in the south-east: it flows along the rows and
        // across them, towards the east through the cells where the rows are divided.
        for (int r = 1; r <= kRows; ++r) Find("gw_boundary_fix_h_1")[r][1] = 6.0 + 0.1 * r;
        Find("gw_boundary_fix_h_1")[kRows][kCols] = 4.5;
        auto g = MakeOk(sec);
        unsigned error = 0;
        g->CreateTracerGrids(error, 1, tracers_.data(), nullptr, 0);
        EXPECT_EQ(error, 0u) << console_.str();
        auto own = [&](int r, int c) { return !divided || division.owner[r][c] == talvo_test::Rank(); };
        Matrix& conc = g->gwTracers[1].layers[1].conc;
        for (int r = s_.firstRow; r <= s_.lastRow; ++r)
            for (int c = 1; c <= kCols; ++c)
                if (own(r, c)) conc[r][c] = 10.0 - 2.0 * c + 0.3 * r;
        Result out;
        for (int day = 1; day <= 3; ++day) Step(*g, day);
        // The base flow west of the control point, step by step.
        for (std::size_t k = 1; g->controlHere && k <= g->controlCount; ++k)
            out.controlBaseflow.push_back(g->controlRecords[k].values[6]);
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                const bool here = own(r, c);
                out.head.push_back(here ? g->layers[1].head[r][c] : 0.0);
                out.balance.push_back(here ? g->layers[1].balance[r][c] : 0.0);
                out.conc.push_back(here ? conc[r][c] : 0.0);
            }
        return out;
    };
    talvo_test::TestDecomposition unused, division;
    const Result parts = run(true, division);
    const Result whole = run(false, unused);
    int shared = 0;
    for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) {
            if (division.owner[r][c] != talvo_test::Rank()) continue;
            const std::size_t i = static_cast<std::size_t>((r - 1) * kCols + c - 1);
            EXPECT_NEAR(parts.head[i], whole.head[i], 1e-11) << r << "," << c;
            EXPECT_NEAR(parts.balance[i], whole.balance[i], 1e-6) << r << "," << c;
            EXPECT_NEAR(parts.conc[i], whole.conc[i], 1e-9) << r << "," << c;
            if (c > 1 && division.owner[r][c - 1] != division.owner[r][c]) ++shared;
        }
    }
    // At 2 and 4 processes some rows are divided.
    if (talvo_test::Size() > 1) {
        EXPECT_GT(Sum(shared), 0.0);
        ASSERT_GT(sec.row, 0);
    }
    if (parts.controlBaseflow.empty()) return;
    ASSERT_EQ(parts.controlBaseflow.size(), 3u);
    ASSERT_EQ(whole.controlBaseflow.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_NE(whole.controlBaseflow[k], 0.0) << k;
        EXPECT_NEAR(parts.controlBaseflow[k], whole.controlBaseflow[k], 1e-6 * std::fabs(whole.controlBaseflow[k]))
            << "step " << k + 1;
    }
}

namespace {

// A fresh closed aquifer of 4 x 3 cells of 100 m, storage coefficient 0.1, layers of 10 m under
// a surface at 0 m, its water 3.3 to 4.3 m below the surface, uneven so that it flows; the model
// with its tracer set up (solver tolerance 1e-13), null on failure.
class GwClosed : public GwTracer {
protected:
    static constexpr int kRows = 4, kCols = 3;
    static constexpr double S = 0.1, area = 100.0 * 100.0;
    std::unique_ptr<gwflowclass> UnevenAquifer(int layerCount, double k, double kolmation, double lowerStorage = S) {
        grids_.clear();
        for (int i = 2; i < 1000; ++i) store_[i] = GridStoreEntry{};
        Init(kRows, kCols, 100.0, 10.0);
        StandardGrids(layerCount, 0, -3, k, S);
        if (layerCount > 1) Find("gw_kolmation_1").fill(kolmation);
        if (layerCount > 1) Find("gw_storage_coeff_2").fill(lowerStorage);
        Matrix& distance = Find("groundwater_distance");
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) distance[r][c] = -3.0 - 0.5 * c + 0.2 * r;
        Section sec;
        sec.layers = layerCount;
        sec.maxerr = 1e-13;
        auto g = MakeOk(sec);
        unsigned error = 0;
        g->CreateTracerGrids(error, 1, tracers_.data(), nullptr, 0);
        EXPECT_EQ(error, 0u) << console_.str();
        return error == 0 ? std::move(g) : nullptr;
    }

    // Concentration x stored water of tracer 1 over both layers' cells, summed over the processes;
    // at the start the upper layer's head is the soil's groundwater table.
    template <class Water>
    double TwoLayerTracerStock(gwflowclass& g, bool start, Water water) {
        const Matrix& distance = Find("groundwater_distance");
        double v = 0;
        for (int l = 1; l <= 2; ++l)
            for (int r = s_.firstRow; r <= s_.lastRow; ++r)
                for (int c = 1; c <= kCols; ++c) {
                    const double h = start && l == 1 ? distance[r][c] : g.layers[static_cast<std::size_t>(l)].head[r][c];
                    v += g.gwTracers[1].layers[static_cast<std::size_t>(l)].conc[r][c] * water(l, h);
                }
        return Sum(v);
    }
};

}  // namespace

// A closed unconfined aquifer (no fixed heads, no recharge) whose water flows from the high heads
// to the low ones keeps its water and its tracer: the sum of concentration x stored water over
// the cells stays what it was, step after step, on any number of processes. The soil's table
// follows the aquifer's head from step to step as in a coupled run.
TEST_F(GwClosed, AClosedAquiferKeepsItsTracer) {
    auto g = UnevenAquifer(1, 1e-4, 0);
    ASSERT_NE(g, nullptr);
    Matrix& distance = Find("groundwater_distance");
    Matrix& conc = g->gwTracers[1].layers[1].conc;
    for (int r = s_.firstRow; r <= s_.lastRow; ++r)
        for (int c = 1; c <= kCols; ++c) conc[r][c] = 1.0 + r + 2.0 * c;
    // Stored water of a cell: storage coefficient x area x saturated thickness (top 0, 10 m).
    auto totals = [&](bool start) {
        double v[2] = {0, 0};
        for (int r = s_.firstRow; r <= s_.lastRow; ++r)
            for (int c = 1; c <= kCols; ++c) {
                const double h = start ? distance[r][c] : g->layers[1].head[r][c];
                const double water = S * area * (h + 10.0);
                v[0] += water;
                v[1] += conc[r][c] * water;
            }
        MPI_Allreduce(MPI_IN_PLACE, v, 2, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        return std::array<double, 2>{v[0], v[1]};
    };
    const std::array<double, 2> before = totals(true);
    for (int day = 1; day <= 4; ++day) {
        Step(*g, day);
        const std::array<double, 2> now = totals(false);
        EXPECT_NEAR(now[0], before[0], 1e-9 * before[0]) << day;
        EXPECT_NEAR(now[1], before[1], 1e-9 * before[1]) << day;
        for (int r = s_.firstRow; r <= s_.lastRow; ++r)
            for (int c = 1; c <= kCols; ++c) distance[r][c] = g->layers[1].head[r][c];
    }
    // Water moved: the heads are no longer those of the start.
    EXPECT_GT(Max(std::fabs(g->layers[1].head[s_.firstRow][1] - (-3.5 + 0.2 * s_.firstRow))), 1e-4);
}

// Two layers: the upper one drains into the lower one, which is not full. The water that leaks
// down carries the upper layer's tracer as the step found it, on both sides of the exchange: the
// tracer of both layers together stays what it was.
TEST_F(GwClosed, TracerLeakingIntoTheLayerBelowIsKept) {
    auto g = UnevenAquifer(2, 1e-3, 1e-5);
    ASSERT_NE(g, nullptr);
    Matrix& distance = Find("groundwater_distance");
    for (int r = s_.firstRow; r <= s_.lastRow; ++r)
        for (int c = 1; c <= kCols; ++c) {
            g->gwTracers[1].layers[1].conc[r][c] = 1.0 + r + 2.0 * c;
            g->gwTracers[1].layers[2].conc[r][c] = 0.5;
            // The lower layer's water stands 2 m below its top.
            g->layers[2].head[r][c] = g->layers[2].headOld[r][c] = -12.0;
        }
    // Stored water: storage coefficient x area x saturated thickness (tops 0 and -10, 10 m each).
    auto tracer = [&](bool start) {
        double v = 0;
        for (int l = 1; l <= 2; ++l)
            for (int r = s_.firstRow; r <= s_.lastRow; ++r)
                for (int c = 1; c <= kCols; ++c) {
                    const double top = l == 1 ? 0.0 : -10.0;
                    const double h = start && l == 1 ? distance[r][c] : g->layers[static_cast<std::size_t>(l)].head[r][c];
                    v += g->gwTracers[1].layers[static_cast<std::size_t>(l)].conc[r][c] * S * area * (h - top + 10.0);
                }
        return Sum(v);
    };
    const double before = tracer(true);
    for (int day = 1; day <= 3; ++day) {
        Step(*g, day);
        EXPECT_NEAR(tracer(false), before, 1e-9 * before) << day;
        for (int r = s_.firstRow; r <= s_.lastRow; ++r)
            for (int c = 1; c <= kCols; ++c) distance[r][c] = g->layers[1].head[r][c];
    }
    // Water went down: the lower layer rose.
    EXPECT_GT(Max(g->layers[2].head[s_.firstRow][1]), -12.0 + 1e-3);
}

// Two layers of different storage coefficients (0.1 above, 0.002 below). The lower layer is full
// in the first column, its head 0.4 m above its top, and 2 m below its top elsewhere: its first
// column drains sideways and falls below its top, the upper layer leaks into it. The water a
// cell holds is its pores filled up to the head (0.1) plus, above a full layer's top, the water
// pressed into it (the layer's own coefficient): concentration x that water, summed over both
// layers, stays what it was through the step that crosses the top and those after it.
TEST_F(GwClosed, TwoLayersOfDifferentStorageKeepTheirTracer) {
    constexpr double lower = 0.002;
    auto g = UnevenAquifer(2, 1e-4, 1e-8, lower);
    ASSERT_NE(g, nullptr);
    Matrix& distance = Find("groundwater_distance");
    for (int r = s_.firstRow; r <= s_.lastRow; ++r)
        for (int c = 1; c <= kCols; ++c) {
            g->gwTracers[1].layers[1].conc[r][c] = 1.0 + r + 2.0 * c;
            g->gwTracers[1].layers[2].conc[r][c] = 7.0 - c;
            g->layers[2].head[r][c] = g->layers[2].headOld[r][c] = c == 1 ? -9.6 : -12.0;
        }
    auto water = [&](int l, double h) {
        const double top = l == 1 ? 0.0 : -10.0, st = l == 1 ? S : lower;
        return area * (S * std::clamp(h - top + 10.0, 0.0, 10.0) + st * std::max(h - top, 0.0));
    };
    auto tracer = [&](bool start) { return TwoLayerTracerStock(*g, start, water); };
    const double before = tracer(true);
    double lowest = -9.6;
    for (int day = 1; day <= 4; ++day) {
        Step(*g, day);
        EXPECT_NEAR(tracer(false), before, 1e-9 * before) << day;
        for (int r = s_.firstRow; r <= s_.lastRow; ++r) {
            lowest = std::min(lowest, g->layers[2].head[r][1]);
            for (int c = 1; c <= kCols; ++c) distance[r][c] = g->layers[1].head[r][c];
        }
    }
    // The full column fell below its layer's top.
    EXPECT_LT(-Max(-lowest), -10.0 - 1e-3);
}

// Two tracers in two layers, the second starting at twice the first's concentrations. The upwind
// mixing is linear and doubling a value is exact, so after steps with water flowing in from the
// first row and out at the last one and leaking between the layers, the second tracer is twice
// the first bit for bit in every cell and in the zone sums: each tracer mixes with its own rows of
// its own layers. A fully glaciated cell keeps both; a cell outside the basin holds no value.
TEST_F(GwTracer, TwoTracersOfTwoLayersMixEachWithItsOwnValues) {
    constexpr int kRows = 5, kCols = 4, kOutRow = 3, kIceRow = 2, kIceCol = 2;
    grids_.clear();
    for (int i = 2; i < 1000; ++i) store_[i] = GridStoreEntry{};
    Init(kRows, kCols, 100.0, 10.0);
    zone_[kOutRow][kCols] = -9999;
    StandardGrids(2, 0, 5, 1e-4, 1e-3);
    Find("gw_kolmation_1").fill(1e-6);
    Grid("GlacierizedCells", 0)[kIceRow][kIceCol] = 1;
    for (int c = 1; c <= kCols; ++c) {
        Find("gw_boundary_fix_h_1")[1][c] = 6.0 + 0.2 * c;
        Find("gw_boundary_fix_h_1")[kRows][c] = 4.0;
    }
    Section sec;
    sec.layers = 2;
    auto g = MakeOk(sec);
    tracers_.push_back(tracers_[1]);
    tracers_[2].name = "sul";
    unsigned error = 0;
    g->CreateTracerGrids(error, 2, tracers_.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    auto conc = [&](int t, int l) -> Matrix& {
        return g->gwTracers[static_cast<std::size_t>(t)].layers[static_cast<std::size_t>(l)].conc;
    };
    auto start = [](int l, int r, int c) { return 1.0 + 0.7 * r + 1.3 * c + 2.1 * l; };
    for (int l = 1; l <= 2; ++l)
        for (int r = s_.firstRow; r <= s_.lastRow; ++r)
            for (int c = 1; c <= kCols; ++c) {
                conc(1, l)[r][c] = start(l, r, c);
                conc(2, l)[r][c] = 2 * start(l, r, c);
            }
    for (int day = 1; day <= 3; ++day) Step(*g, day);
    double mixed = 0;
    for (int l = 1; l <= 2; ++l) {
        for (int r = s_.firstRow; r <= s_.lastRow; ++r)
            for (int c = 1; c <= kCols; ++c) {
                const double a = conc(1, l)[r][c], b = conc(2, l)[r][c];
                if (r == kOutRow && c == kCols) {
                    EXPECT_EQ(a, -9999.0) << l;
                    EXPECT_EQ(b, -9999.0) << l;
                    EXPECT_EQ(g->layers[static_cast<std::size_t>(l)].head[r][c], -9999.0) << l;
                } else if (r == kIceRow && c == kIceCol) {
                    EXPECT_EQ(a, start(l, r, c)) << l;
                    EXPECT_EQ(b, 2 * start(l, r, c)) << l;
                } else {
                    EXPECT_EQ(b, 2 * a) << l << " " << r << " " << c;
                    if (std::fabs(a - start(l, r, c)) > 1e-6) ++mixed;
                }
            }
        const zoneFZT &z1 = g->gwTracers[1].layers[static_cast<std::size_t>(l)].zones[1],
                      &z2 = g->gwTracers[2].layers[static_cast<std::size_t>(l)].zones[1];
        EXPECT_EQ(z2.sx, 2 * z1.sx) << l;
        EXPECT_EQ(z2.n, z1.n) << l;
        EXPECT_EQ(z2.RelCellSum, z1.RelCellSum) << l;
        EXPECT_GT(Sum(z1.n), 0.0) << l;
    }
    // The water moved the tracers in both layers.
    EXPECT_GT(Sum(mixed), 4.0);
}

// Two layers, the lower one full with its head above the upper one's: water rises into the upper
// layer with the lower layer's tracer. The tracer of both layers together stays what it was.
TEST_F(GwClosed, TracerRisingFromTheLayerBelowIsKept) {
    auto g = UnevenAquifer(2, 1e-4, 1e-6);
    ASSERT_NE(g, nullptr);
    Matrix& distance = Find("groundwater_distance");
    for (int r = s_.firstRow; r <= s_.lastRow; ++r)
        for (int c = 1; c <= kCols; ++c) {
            g->gwTracers[1].layers[1].conc[r][c] = 1.0 + r + 2.0 * c;
            g->gwTracers[1].layers[2].conc[r][c] = 20.0 - 3.0 * c;
            g->layers[2].head[r][c] = g->layers[2].headOld[r][c] = -2.0 - 0.1 * r;
        }
    auto water = [&](int l, double h) {
        const double top = l == 1 ? 0.0 : -10.0;
        return area * S * (std::clamp(h - top + 10.0, 0.0, 10.0) + std::max(h - top, 0.0));
    };
    auto tracer = [&](bool start) { return TwoLayerTracerStock(*g, start, water); };
    const double before = tracer(true);
    for (int day = 1; day <= 3; ++day) {
        Step(*g, day);
        EXPECT_NEAR(tracer(false), before, 1e-9 * before) << day;
        for (int r = s_.firstRow; r <= s_.lastRow; ++r)
            for (int c = 1; c <= kCols; ++c) distance[r][c] = g->layers[1].head[r][c];
    }
    // Water rose: the upper layer's heads went up.
    EXPECT_GT(Max(g->layers[1].head[s_.firstRow][kCols] - (-3.0 - 0.5 * kCols + 0.2 * s_.firstRow)), 1e-4);
}

// A pumped cell (fixed inflow) of a uniformly traced aquifer: the pumped water leaves with the
// cell's concentration, which stays that of the rest, step after step.
TEST_F(GwTracer, PumpedWaterLeavesWithTheCellsConcentration) {
    StandardGrids(1, 0, -3, 1e-4, 0.1);
    Find("gw_boundary_fix_q_1")[2][1] = -1e-6;
    Section sec;
    sec.maxerr = 1e-13;
    auto g = MakeOk(sec);
    unsigned error = 0;
    g->CreateTracerGrids(error, 1, tracers_.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    Matrix& conc = g->gwTracers[1].layers[1].conc;
    Matrix& distance = Find("groundwater_distance");
    for (int r = s_.firstRow; r <= s_.lastRow; ++r)
        for (int c = 1; c <= 2; ++c) conc[r][c] = 3.0;
    for (int day = 1; day <= 3; ++day) {
        Step(*g, day);
        for (int r = s_.firstRow; r <= s_.lastRow; ++r)
            for (int c = 1; c <= 2; ++c) {
                EXPECT_NEAR(conc[r][c], 3.0, 1e-9) << r << "," << c << " " << day;
                distance[r][c] = g->layers[1].head[r][c];
            }
    }
    // Water was pumped: the pumped cell fell.
    EXPECT_LT(-Max(-(Owns(2) ? g->layers[1].head[2][1] : 0.0)), -3.0 - 1e-3);
}
