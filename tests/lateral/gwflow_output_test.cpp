// Outputs of the groundwater model: the control-point file with its buffer, grids by write
// code, and the tracer grids with decay, upwind mixing and statistics weights.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <filesystem>
#include <sstream>

#include "gwflow_fixture.hpp"
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
    // The free cell: implicit head, stored volume S A b, inflow from the fixed cell.
    const double h = (S * A * 5 / dt + T * 6) / (S * A / dt + T);
    const double volume = S * A * 10, inflow = (6 - h) / 100 * T * 100 * dt;
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
    EXPECT_NEAR(weights, 4 * (volume - inflow) + 4 * (volume + inflow), 1e-6);
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
    // Level heads: every cell keeps its water S A b and its start concentration 0.2 x b x S x 1000.
    const zoneFZT& z = g->gwTracers[1].layers[1].zones[1];
    const double c0 = 0.2 * 10 * S * 1000;
    EXPECT_NEAR(Sum(z.n), 8 * 0.5 * S * A * 10, 1e-9);
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
