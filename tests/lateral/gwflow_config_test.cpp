// The "[groundwater_flow]" section, the grids looked up and created, the start heads, the lake
// settings and the error codes of the construction.
#include <gtest/gtest.h>
#include <omp.h>

#include <string>
#include <vector>

#include "gwflow_fixture.hpp"

using namespace gwtest;

namespace {

class GwConfig : public GwDomain {
protected:
    void SetUp() override {
        GwDomain::SetUp();
        Init(4, 5);
    }
};

}  // namespace

TEST_F(GwConfig, ReadsTheSectionValueByValue) {
    StandardGrids(2, 500, -2, 1e-4, 0.1);
    Section sec;
    sec.method = 3;
    sec.maxiter = 77;
    sec.maxerr = 0.002;
    sec.alpha = 0.5;
    sec.sor = -1;
    sec.layers = 2;
    sec.row = 2;
    sec.col = 3;
    auto g = MakeOk(sec);
    EXPECT_EQ(g->GetFlowControl(), 1);
    EXPECT_EQ(g->method, 3);
    EXPECT_EQ(g->maxiter, 77);
    EXPECT_DOUBLE_EQ(g->maxErrorAllowed, 0.002);
    EXPECT_DOUBLE_EQ(g->alpha, 0.5);
    EXPECT_TRUE(g->adaptive);
    EXPECT_EQ(g->layerCount, 2);
    EXPECT_EQ(g->controlRow, 2);
    EXPECT_EQ(g->controlCol, 3);
    EXPECT_EQ(g->layers[2].headName, "head_2.asc");
    EXPECT_EQ(g->layers[2].oldName, "head_2_old.asc");
    EXPECT_EQ(g->layers[1].balanceName, "bal_1.asc");
    EXPECT_TRUE(Logged("file gwflow.cc, compiled at "));
    EXPECT_TRUE(Logged("no POND-Grid will be used because Use-Pond-Flag is not present"));
    EXPECT_TRUE(Logged("no LAKE-grid was found in groundwater_flow"));
    // A fixed factor of 1 is plain Gauss-Seidel, not adaptive.
    sec.sor = 1.0;
    EXPECT_FALSE(MakeOk(sec)->adaptive);
}

TEST_F(GwConfig, OldNamesGoBeforeTheLastDotOfTheFileName) {
    EXPECT_EQ(gwflowclass::InsertSuffix("heads.asc", "_old"), "heads_old.asc");
    EXPECT_EQ(gwflowclass::InsertSuffix("heads", "_old"), "heads_old");
    EXPECT_EQ(gwflowclass::InsertSuffix("a.b.asc", "_old"), "a.b_old.asc");
    EXPECT_EQ(gwflowclass::InsertSuffix("out.d/heads", "_old"), "out.d/heads_old");
    EXPECT_EQ(gwflowclass::InsertSuffix("out.d/heads.asc", "_oldold"), "out.d/heads_oldold.asc");
}

TEST_F(GwConfig, PondFlagLineVariants) {
    StandardGrids(1, 500, -2, 1e-4, 0.1);
    struct Case {
        std::string line, text;
        int flag;
        bool pond;
    };
    Section sec;
    const std::vector<Case> cases = {
        {"0 no ponds", "Use-Pond-Flag is 0; --> no PONDs will be used in GW-Model", 0, false},
        {"1 ponds", "Use-Pond-Flag is 1\n POND-Grid was not found --> no PONDs will be used in GW-Model", 1, false},
    };
    for (const Case& c : cases) {
        sec.pondLine = c.line;
        auto g = MakeOk(sec);
        EXPECT_EQ(g->usePondFlag, c.flag) << c.line;
        EXPECT_EQ(g->usePond, c.pond) << c.line;
        EXPECT_TRUE(Logged(c.text));
    }
    // With the flag line absent the first head name is read as such.
    sec.pondLine = "";
    EXPECT_EQ(MakeOk(sec)->layers[1].headName, "head_1.asc");
    Grid("ponding_storage", 0);
    sec.pondLine = "1";
    auto g = MakeOk(sec);
    EXPECT_TRUE(g->usePond);
    EXPECT_TRUE(Logged("POND-Grid was found --> PONDs will be used in GW-Model"));
}

TEST_F(GwConfig, StartHeadsAndCreatedGrids) {
    StandardGrids(2, 500, -2, 1e-4, 0.1, 30);
    auto g = MakeOk([] {
        Section s;
        s.layers = 2;
        return s;
    }());
    for (int l = 1; l <= 2; ++l) {
        const auto& L = g->layers[static_cast<std::size_t>(l)];
        for (int r = s_.firstRow; r <= s_.lastRow; ++r) {
            for (int c = 1; c <= 5; ++c) {
                EXPECT_DOUBLE_EQ(L.head[r][c], 498);
                EXPECT_DOUBLE_EQ(L.headOld[r][c], 498);
                EXPECT_DOUBLE_EQ(L.headOldOld[r][c], 498);
                // Layer 1 is as thick as the soil (10 m), layer 2 lies below it.
                EXPECT_DOUBLE_EQ(L.top[r][c], l == 1 ? 500 : 490);
                const double b = l == 1 ? 10 : 30;
                EXPECT_DOUBLE_EQ(L.tx[r][c], (b - 2) * 1e-4);
            }
        }
    }
    // Heads first, then nine grids per layer in order; the previous-iteration grid shares the
    // name of the start-of-step grid and a lookup finds the first.
    const GridStoreEntry& h1 = store_[g->layers[1].headIndex];
    EXPECT_EQ(h1.internalName, "gw_head_1");
    EXPECT_EQ(store_[g->layers[1].oldIndex].fileName, "head_1_old.asc");
    EXPECT_EQ(g->layers[2].headIndex, g->layers[1].oldIndex + 1);
    EXPECT_EQ(g->layers[1].oldOldIndex, g->layers[2].oldIndex + 1);
    EXPECT_EQ(store_[g->layers[1].iterIndex].internalName, "gw_head_old_old_1");
    EXPECT_EQ(g->FindGrid("gw_head_old_old_1"), g->layers[1].oldOldIndex);
    EXPECT_EQ(store_[g->layers[2].topIndex].internalName, "aquifer_upper_limit2");
    EXPECT_EQ(store_[g->layers[1].balanceIndex].internalName, "gw_balance1");
    EXPECT_EQ(store_[g->layers[1].flowXIndex].fileName, "qx_1.asc");
    const int created = g->layers[2].topIndex;
    g.reset();
    // Every created entry is released with the object.
    EXPECT_FALSE(store_[created].hasInternalName);
}

// The construction looks at the cells of the zones only: values no aquifer can have outside
// them are no error there and leave the created grids' cells outside the zones untouched; within
// the zones the grids are checked in turn (layer by layer) and row by row, and the first value
// outside its range stops the construction on every process.
TEST_F(GwConfig, OnlyCellsOfTheZonesAreCheckedAndStarted) {
    StandardGrids(2, 500, -2, 1e-4, 0.1, 30);
    auto hole = [](int r) { return 2 + r % 3; };  // a cell outside the zones in every row
    for (int r = 1; r <= 4; ++r) {
        zone_[r][hole(r)] = -9999.0;
        Find("aquifer_thickness_1")[r][hole(r)] = -1;
        Find("gw_k_y_2")[r][hole(r)] = 0;
        Find("gw_storage_coeff_1")[r][hole(r)] = 2;
        Find("gw_kolmation_1")[r][hole(r)] = -1;
    }
    Section sec;
    sec.layers = 2;
    auto g = MakeOk(sec);
    for (int l = 1; l <= 2; ++l) {
        const auto& L = g->layers[static_cast<std::size_t>(l)];
        const double b = l == 1 ? 10 : 30;
        for (int r = s_.firstRow; r <= s_.lastRow; ++r)
            for (int c = 0; c <= 5; ++c) {
                const bool in = c >= 1 && c != hole(r);
                EXPECT_EQ(L.head[r][c], in ? 498 : -9999.0) << l << " " << r << " " << c;
                EXPECT_EQ(L.headOldOld[r][c], in ? 498 : -9999.0) << l << " " << r << " " << c;
                EXPECT_EQ(L.top[r][c], in ? (l == 1 ? 500 : 490) : -9999.0) << l << " " << r << " " << c;
                EXPECT_EQ(L.balance[r][c], -9999.0);
                // No transmissivity leaves a cell outside the zones.
                EXPECT_EQ(L.tx[r][c], in ? (b - 2) * 1e-4 : 0.0) << l << " " << r << " " << c;
                EXPECT_EQ(L.ty[r][c], in ? (b - 2) * 1e-4 : 0.0) << l << " " << r << " " << c;
            }
    }
    // Layer 1 takes the soil's depth in the zones only.
    for (int r = s_.firstRow; r <= s_.lastRow; ++r)
        for (int c = 1; c <= 5; ++c) EXPECT_EQ(Find("aquifer_thickness_1")[r][c], c == hole(r) ? -1 : 10);
    g.reset();
    // Row 3: a conductivity of layer 1 at its last column goes before a thickness of layer 2 at its
    // first column; the value in the cell outside the zones is passed over.
    Find("aquifer_thickness_2")[3][1] = 0;
    Find("gw_k_x_1")[3][5] = -1;
    Find("gw_k_x_1")[3][hole(3)] = -5;
    unsigned error = 0;
    Make(sec, error);
    EXPECT_EQ(error, 17u);
    EXPECT_EQ(Logged("gw_k_x_1 at row 3, column 5"), Owns(3)) << console_.str();
    EXPECT_FALSE(Logged("at row 3, column " + std::to_string(hole(3))));
    EXPECT_FALSE(Logged("aquifer_thickness_2 at row"));
}

// A team of threads looks at the rows of a grid together, and the entry still names the first
// value outside its range as one thread going through the grids and rows in turn finds it: the
// first grid with one (gw_k_x_1 before gw_k_y_1), its first row, the first column of that row.
TEST_F(GwConfig, ATeamNamesTheFirstCellOutsideItsRangeAsOneThread) {
    StandardGrids(2, 500, -2, 1e-4, 0.1, 30);
    Find("gw_k_y_1")[1][3] = -1;
    Find("gw_k_x_1")[4][1] = -0.5;
    Find("gw_k_x_1")[2][5] = -1;
    Find("gw_k_x_1")[2][2] = -2;
    const std::vector<std::string> places = {"gw_k_x_1 at row 2, column 2", "gw_k_x_1 at row 2, column 5",
                                             "gw_k_x_1 at row 4, column 1", "gw_k_y_1 at row 1, column 3"};
    // Each process names the first of its own rows (none where its rows hold no such value).
    const std::string named = Owns(2) ? places[0] : Owns(4) ? places[2] : Owns(1) ? places[3] : "";
    Section sec;
    sec.layers = 2;
    const std::int64_t oldThreshold = gwnum::threadedCells;
    gwnum::threadedCells = 1;
    const int before = omp_get_max_threads();
    for (const int threads : {1, 4}) {
        omp_set_num_threads(threads);
        console_.str("");
        unsigned error = 0;
        Make(sec, error);
        EXPECT_EQ(error, 17u) << threads << " threads";
        for (const std::string& place : places)
            EXPECT_EQ(static_cast<bool>(Logged(place)), place == named) << place << ", " << threads << " threads";
    }
    omp_set_num_threads(before);
    gwnum::threadedCells = oldThreshold;
}

TEST_F(GwConfig, ControlFileErrors) {
    StandardGrids(1, 500, -2, 1e-4, 0.1);
    struct Case {
        int row, col;
        unsigned code;
        std::string text;
    };
    for (const Case& c : {Case{5, 1, 8, "row index (5) for output-cell must be between 1 and 4 (Input as row col) or 0 0 "},
                          Case{-1, 1, 8, "row index (-1)"},
                          Case{1, 6, 9, "column index (6) for output-cell must be between 1 and 5 (Input as row col) "}}) {
        Section sec;
        sec.row = c.row;
        sec.col = c.col;
        unsigned error = 0;
        Make(sec, error);
        EXPECT_EQ(error, c.code);
        EXPECT_TRUE(Logged(c.text));
    }
    // A missing value is the control-file error, a missing layer grid the grid-store error.
    submodel_test::WriteShared("test.ctl", "[groundwater_flow]\n1\n60\n1 method\nmany\n");
    unsigned error = 0;
    gwflowclass a(error, log_.get(), s_, 1);
    EXPECT_EQ(error, 17u);
    Section two;
    two.layers = 2;
    Make(two, error);
    EXPECT_EQ(error, 33u);
    Section none;
    none.layers = 0;
    Make(none, error);
    EXPECT_EQ(error, 17u);
}

TEST_F(GwConfig, ControlPointFileThatCannotBeCreated) {
    StandardGrids(1, 500, -2, 1e-4, 0.1);
    Section sec;
    sec.row = 1;
    sec.col = 1;
    sec.file = "no_such_dir/cp.txt";
    unsigned error = 0;
    Make(sec, error);
    // Only the owner of the control cell creates the file.
    EXPECT_EQ(error, Owns(1) ? 62u : 0u);
}

TEST_F(GwConfig, LakeSettings) {
    StandardGrids(1, 500, -2, 1e-4, 0.1);
    Grid("lake_codes", 0);
    Section sec;
    unsigned error = 0;
    // Lakes on without the pond flag.
    Make(sec, error, "[lake_model]\n1 flow\n1 init\n");
    EXPECT_EQ(error, 214u);
    EXPECT_TRUE(Logged("pond_use must be set in groundwater_flow"));
    // A lake grid without a pond grid.
    sec.pondLine = "1";
    Make(sec, error, "[lake_model]\n1 flow\n1 init\n");
    EXPECT_EQ(error, 28u);
    EXPECT_TRUE(Logged("LAKE-grid was found, but no POND-Grid."));
    Grid("ponding_storage", 0);
    Make(sec, error, "[lake_model]\n1 flow\n3 init\n");
    EXPECT_EQ(error, 214u);
    EXPECT_TRUE(Logged("Lake initialization method (3) not valid."));
    auto g = Make(sec, error, "[lake_model]\n1 flow\n2 init\n");
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(g->lakeInitMethod, 2);
    // Lakes off: nothing more is read.
    Make(Section{}, error, "[lake_model]\n0 flow\n9 init\n");
    EXPECT_EQ(error, 0u);
}

TEST_F(GwConfig, OffOrUnderResponseUnitsWithoutTheirGrid) {
    StandardGrids(1, 500, -2, 1e-4, 0.1);
    Section sec;
    sec.flow = 0;
    auto off = MakeOk(sec);
    EXPECT_EQ(off->GetFlowControl(), 0);
    Step(*off);
    off->WriteOutputs(24, 1, 1, 2020);
    off->FlushStatistics();
    EXPECT_EQ(off->SetQg(nullptr), 0);
    s_.spinUpSwitch = 1;
    auto hru = MakeOk(Section{});
    EXPECT_EQ(hru->GetFlowControl(), 0);
    EXPECT_TRUE(hru->layers.empty());
}

TEST_F(GwConfig, FullGridStoreIsFatal12) {
    StandardGrids(1, 500, -2, 1e-4, 0.1);
    // Leave room for the heads of the layer only: the further grids find no entry.
    int used = 1;
    while (store_[used].hasInternalName) ++used;
    for (int i = used + 2; i < 1000; ++i) {
        store_[i].internalName = "taken_" + std::to_string(i);
        store_[i].hasInternalName = true;
        store_[i].fileName = store_[i].internalName;
        store_[i].hasFileName = true;
    }
    unsigned error = 0;
    Make(Section{}, error);
    EXPECT_EQ(error, 12u);
    EXPECT_TRUE(Logged("no free grid (gridmaxanzahl must be larger than 1000)!"));
    // Grids in use are never overwritten.
    for (int i = used + 2; i < 1000; ++i) ASSERT_EQ(store_[i].internalName, "taken_" + std::to_string(i));
}

TEST_F(GwConfig, PondedCellsStartAboveTheSurface) {
    StandardGrids(1, 500, 0, 1e-4, 0.1);
    Grid("ponding_storage", 250);
    Section sec;
    sec.pondLine = "1";
    auto g = MakeOk(sec);
    for (int r = s_.firstRow; r <= s_.lastRow; ++r) EXPECT_DOUBLE_EQ(g->layers[1].head[r][2], 500.25);
    Step(*g);
    // No gradient anywhere: the head stays where the pond puts it.
    for (int r = s_.firstRow; r <= s_.lastRow; ++r) EXPECT_NEAR(g->layers[1].head[r][2], 500.25, 1e-9);
}

TEST_F(GwConfig, StartHeadsReadFromTheirFiles) {
    // The grid reader scatters through the process decomposition, which this domain lacks.
    if (talvo_test::Size() > 1) GTEST_SKIP() << "one process only";
    StandardGrids(1, 500, -2, 1e-4, 0.1);
    const std::string header = "ncols 5\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 100\nnodata_value -9999\n";
    std::string heads = header, old = header;
    for (int r = 1; r <= 4; ++r) {
        for (int c = 1; c <= 5; ++c) {
            heads += std::to_string(400 + 10 * r + c) + (c < 5 ? " " : "\n");
            old += std::to_string(300 + 10 * r + c) + (c < 5 ? " " : "\n");
        }
    }
    talvo_test::WriteFile("head_1.asc", heads);
    talvo_test::WriteFile("head_1_old.asc", old);
    Section sec;
    sec.read = 1;
    auto g = MakeOk(sec);
    EXPECT_DOUBLE_EQ(g->layers[1].head[3][4], 434);
    EXPECT_DOUBLE_EQ(g->layers[1].headOld[3][4], 334);
    EXPECT_EQ(store_[g->layers[1].oldIndex].internalName, "gw_head_old_1");
}

TEST_F(GwConfig, PermafrostThawDepthIsThePositiveDepthTheSoilReads) {
    // Table 0.5 m below the surface, thawed to 3 m of a 10 m layer: 2.5 m conduct.
    StandardGrids(1, 10, -0.5, 1e-4, 0.1);
    Grid("PermafrostThawDepth", 3);
    Grid("SnowFreeDaysGrid", 0);
    Grid("ThawCoeffPermaFrost", 0.1);
    auto g = MakeOk(Section{});
    Step(*g);
    for (int r = s_.firstRow; r <= s_.lastRow; ++r) EXPECT_NEAR(g->layers[1].tx[r][2], 2.5 * 1e-4, 1e-15);
}

TEST_F(GwConfig, FrozenSoilThinsTheFirstLayer) {
    StandardGrids(1, 10, -5, 1e-4, 0.1);
    // The soil model registers its stacks before its thaw depth and frozen thickness; a search
    // of plain grids ends at a stack.
    int stack = 1;
    while (store_[stack].hasInternalName) ++stack;
    store_[stack].fileName = store_[stack].internalName = "theta";
    store_[stack].hasFileName = store_[stack].hasInternalName = true;
    Grid("ThawDepthTMod", -1);
    unsigned error = 0;
    Make(Section{}, error);
    EXPECT_EQ(error, 33u);  // the frozen thickness must come with the thaw depth
    Grid("frozenSoilInGroundwater", 3);
    auto g = MakeOk(Section{});
    Step(*g);
    // Head 5 m in a layer of 10 m below 10 m, 3 m of it frozen: 5 - 10 + 7 = 2 m saturated.
    for (int r = s_.firstRow; r <= s_.lastRow; ++r) EXPECT_NEAR(g->layers[1].tx[r][2], 2 * 1e-4, 1e-15);
}
