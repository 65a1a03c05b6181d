// Lakes: reservoirs whose water lives in the ponding storage of their cells, driven through the
// routing model's step with the lake grids in the grid store.
#include <gtest/gtest.h>

#include <mpi.h>

#include <cmath>
#include <filesystem>

#include "routing_harness.hpp"

using namespace routing_test;
using submodel_test::CodeOf;

namespace {

// The cells of subbasin 9 (rows 3 and 4) form lake 1.
constexpr int kLakeCells[4][2] = {{3, 1}, {3, 2}, {4, 2}, {4, 3}};

class LakeTest : public RoutingHarness {
protected:
    void SetUp() override {
        RoutingHarness::SetUp();
        SetZones(100, 0.3, 0.2, 0.5);
        settings_.cellsize = 100;  // lake cells of 1e4 m2
        memory_handling mh;
        const char* names[] = {"lake_codes", "ponding_storage", "max_ponding_storage", "zonegrid_soilmodel",
                               "[elevation_model]", "real_transpiration0", "precipitation"};
        for (int g = 0; g < 7; ++g) {
            grids_[g] = mh.matrix(1, 4, 1, 5, 4);
            grids_[g].fill(0);
            Register(2 + g, grids_[g], names[g]);
        }
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) {
                Codes()[r][c] = -9999;
                grids_[3][r][c] = submodel_test::kZones[r - 1][c - 1];
            }
        for (const auto& cell : kLakeCells) Codes()[cell[0]][cell[1]] = 1;
        // A sloping bottom from 100 m to 101.5 m, full at 102 m.
        SetTerrain({100, 100.5, 101, 101.5}, 102);
    }
    void TearDown() override {
        model_.reset();
        for (int g = 0; g < 7; ++g) store_[2 + g] = GridStoreEntry{};
        RoutingHarness::TearDown();
    }
    // Puts a grid into the store under its name.
    void Register(int index, Matrix& grid, const char* name) {
        GridStoreEntry& e = store_[index];
        e.grid = &grid;
        e.internalName = name;
        e.hasInternalName = true;
        e.fileName = std::string(name) + ".asc";
        e.hasFileName = true;
    }
    Matrix& Codes() { return grids_[0]; }
    Matrix& Ponding() { return grids_[1]; }
    Matrix& Elevation() { return grids_[4]; }
    void SetTerrain(std::vector<double> bottoms, double full) {
        for (int i = 0; i < 4; ++i) {
            const int r = kLakeCells[i][0], c = kLakeCells[i][1];
            Elevation()[r][c] = bottoms[static_cast<std::size_t>(i)];
            grids_[2][r][c] = (full - bottoms[static_cast<std::size_t>(i)]) * 1000;
        }
    }
    unsigned BuildLake(double V0, const std::string& rule = "2\n0 0\n1e6 5", bool interceptionFirst = false,
                       int readGrids = 0, int nTr = 0) {
        const std::string lake = "[lake_model]\n1 flow control parameter for\n1 initialization method for\nx\nx\n" +
                                 std::to_string(readGrids) + " readgrids for\n";
        const std::string section =
            Section(StrFormat("TG 9 (area) = 50 = 1\n  SP 1 = file = lake1.txt V0 = %g C0 = 0 0 0 0 0 0 0 0 0\n", V0)) +
            "\n[abstraction_rule_reservoir_1]\n" + rule + "\n\n" + lake;
        const unsigned error = Build(section, 1, nTr);
        // Only process 0 builds the descriptions; the lake set-up is collective.
        unsigned agreed = error;
        MPI_Bcast(&agreed, 1, MPI_UNSIGNED, 0, MPI_COMM_WORLD);
        if (agreed != 0) return error;
        // The reservoirs become lakes once every process takes part: set-up faults stop them all.
        return static_cast<unsigned>(CodeOf([&] { model_->InitLakeModel(interceptionFirst); }));
    }
    routing::Reservoir& Lake() { return model_->Description(1).ReservoirAt(1); }
    // Every wet lake cell stands at the lake's level, every dry one at or above it.
    void ExpectOneLevel(const char* where) {
        const double W = Lake().VolumeToLevel(Lake().Volume());
        double V = 0;
        for (const auto& cell : kLakeCells) {
            const double e = Elevation()[cell[0]][cell[1]], p = Ponding()[cell[0]][cell[1]];
            if (p > 0) EXPECT_NEAR(e + p / 1000, W, 1e-9) << where;
            else EXPECT_GE(e, W - 1e-9) << where;
            V += p / 1000 * 1e4;
        }
        EXPECT_NEAR(V, Lake().Volume(), 1e-9 * Lake().Volume()) << where;
    }
    Matrix grids_[7];
};

}  // namespace

TEST_F(LakeTest, LevelVolumeTableOfFlatCells) {
    SetTerrain({100, 100, 100, 100}, 102);
    ASSERT_EQ(BuildLake(4e4), 0u) << console_.str();
    if (!Root()) return;
    const routing::Reservoir& lake = Lake();
    ASSERT_EQ(lake.Levels().size(), 201u);
    EXPECT_EQ(lake.Levels().back(), 100);
    EXPECT_EQ(lake.Volumes().back(), 0);
    EXPECT_NEAR(lake.VolumeToLevel(4e4), 101.0, 1e-9 * 101);
    EXPECT_NEAR(lake.LevelToVolume(101.5), 6e4, 1e-9 * 6e4);
    // Above the full lake and below the bottom the table is extended by its end segments.
    EXPECT_NEAR(lake.VolumeToLevel(1e5), 102.5, 1e-9 * 102.5);
    EXPECT_NEAR(lake.LevelToVolume(99.5), -2e4, 1e-6);
    const std::string table = talvo_test::ReadFile("W_V_Table_01.dat.part");
    EXPECT_EQ(table.substr(0, table.find("102\t")), "waterlevel-volume-table lake 1\nLevel[m a.s.l.]\tVolume[m^3]\n");
    // The set-up gave the volume to the cells.
    for (const auto& cell : kLakeCells) EXPECT_NEAR(Ponding()[cell[0]][cell[1]], 1000, 1e-9);
    // The normal end puts the table in place.
    model_->Finish();
    EXPECT_EQ(talvo_test::ReadFile("W_V_Table_01.dat"), table);
    EXPECT_FALSE(std::filesystem::exists("W_V_Table_01.dat.part"));
}

// Each level's volume is the sum over the lake's cells in row order of the columns of water
// above the cells under it: as the levels fall, the cells leave the sum one after the other.
TEST_F(LakeTest, VolumeOfEachLevelSumsTheCellsUnderItInRowOrder) {
    const std::vector<double> bottoms = {100.013, 101.5, 100.5, 101.937};
    SetTerrain(bottoms, 102);
    ASSERT_EQ(BuildLake(0), 0u) << console_.str();
    if (!Root()) return;
    const std::vector<double>& L = Lake().Levels();
    const std::vector<double>& V = Lake().Volumes();
    ASSERT_EQ(L.size(), 199u);
    for (std::size_t i = 0; i + 1 < L.size(); ++i) {
        double expected = 0;
        for (const double e : bottoms)
            if (e < L[i]) expected += 1e4 * (L[i] - e);
        EXPECT_EQ(V[i], expected) << i << " " << L[i];
    }
    EXPECT_EQ(L.back(), 100.013);
    EXPECT_EQ(V.back(), 0);
    // A level above the one before it takes every cell again.
    const double levels[] = {101.7, 100.2, 101.95, 100.6};
    double volumes[4];
    routing::LakeLevelVolumes(bottoms, levels, 4, 3.0, volumes);
    for (int i = 0; i < 4; ++i) {
        double expected = 0;
        for (const double e : bottoms)
            if (e < levels[i]) expected += 3.0 * (levels[i] - e);
        EXPECT_EQ(volumes[i], expected) << i;
    }
}

TEST_F(LakeTest, BandsOfLevelsByDepth) {
    struct Case {
        double depth;
        std::size_t points;
    } cases[] = {{2.5, 251}, {20, 1021}, {0.005, 2}, {7, 551}};
    for (const Case& c : cases) {
        SetTerrain({100, 100, 100, 100}, 100 + c.depth);
        ASSERT_EQ(BuildLake(0), 0u) << console_.str();
        if (!Root()) continue;
        const std::vector<double>& L = Lake().Levels();
        EXPECT_EQ(L.size(), c.points) << c.depth;
        for (std::size_t i = 1; i < L.size(); ++i) {
            EXPECT_LT(L[i], L[i - 1]) << c.depth << " " << i;
            EXPECT_LT(Lake().Volumes()[i], Lake().Volumes()[i - 1]) << c.depth << " " << i;
        }
    }
}

TEST_F(LakeTest, CellsOfOneLakeShareTheirFullLevel) {
    // A difference of exactly 1 cm passes, more stops the set-up.
    SetTerrain({100, 100, 100, 100}, 102);
    grids_[2][4][3] = 2010;
    EXPECT_EQ(BuildLake(0), 0u) << console_.str();
    grids_[2][4][3] = 2011;
    const unsigned code = BuildLake(0);
    if (Root()) {
        EXPECT_EQ(code, 213u);
        EXPECT_TRUE(Logged("All Cells for a lake must have the same Altitude value for DEM + MAXPOND"));
    }
    // A lake cell in subbasin 5.
    grids_[2][4][3] = 2000;
    Codes()[2][3] = 1;
    Elevation()[2][3] = 100;
    grids_[2][2][3] = 2000;
    const unsigned outside = BuildLake(0);
    if (Root()) {
        EXPECT_EQ(outside, 224u);
        EXPECT_TRUE(Logged("Lake 1 must be located completely within subbasin 9."));
    }
}

TEST_F(LakeTest, LakeWithoutCellsOrDepthHasNoTable) {
    SetTerrain({100, 100, 100, 100}, 100);
    const unsigned flat = BuildLake(0);
    // Without cells in "lake_codes" the element stays a reservoir under its rule (a basin can
    // have lakes and reservoirs side by side): its volume is its own, the cells keep theirs.
    for (const auto& cell : kLakeCells) Codes()[cell[0]][cell[1]] = 2;
    for (const auto& cell : kLakeCells) Ponding()[cell[0]][cell[1]] = 7;
    const unsigned none = BuildLake(3e4);
    if (!Root()) return;
    EXPECT_EQ(flat, 226u);
    EXPECT_EQ(none, 0u);
    EXPECT_TRUE(Logged("lake 1 of subbasin 9 has no depth"));
    EXPECT_TRUE(Logged("lake 1 of subbasin 9 has no cell in \"lake_codes\": it is routed as a reservoir"));
    EXPECT_FALSE(Lake().IsLake());
    Start();
    qg_[0][3] = 0.2;
    Step(0);
    const routing::ReservoirBalance& b = Lake().Balance();
    EXPECT_GT(b.Qout.m3, 0);
    EXPECT_NEAR(Lake().Volume(), 3e4 + b.Qin.m3 - b.Qout.m3, 1e-9 * 3e4);
    EXPECT_EQ(b.A, 0.0);
    for (const auto& cell : kLakeCells) EXPECT_EQ(Ponding()[cell[0]][cell[1]], 7.0);
    model_->Finish();
}

TEST_F(LakeTest, LakeLevelFollowsItsVolumeEveryStep) {
    for (const auto& cell : kLakeCells) grids_[6][cell[0]][cell[1]] = 3;  // mm of rain per step
    ASSERT_EQ(BuildLake(1e4), 0u) << console_.str();
    if (!Root()) return;
    ExpectOneLevel("set-up");
    Start();
    ExpectOneLevel("initialisation");
    for (int n = 0; n < 12; ++n) {
        qg_[0][3] = n < 6 ? 0.5 : 0.0;  // 0.5 mm on 50 km2: 6944 m3 per step
        // The last steps have no precipitation data (no valid station value): no rain.
        if (n == 9)
            for (const auto& cell : kLakeCells) grids_[6][cell[0]][cell[1]] = -9999;
        const double before = Lake().Volume();
        Step(n);
        ExpectOneLevel("step");
        const routing::ReservoirBalance& b = Lake().Balance();
        // The rain on the wet cells reaches the lake; the balance closes.
        int wet = 0;
        for (const auto& cell : kLakeCells) wet += Ponding()[cell[0]][cell[1]] > 0 ? 1 : 0;
        if (n < 9) {
            EXPECT_GT(b.PREC.m3, 0);
        } else {
            EXPECT_EQ(b.PREC.m3, 0.0) << n;
        }
        EXPECT_LE(b.PREC.m3, 4 * 30 + 1e-9);
        EXPECT_NEAR(b.Err.m3, -b.PREC.m3, 1e-6 * before) << n;  // the lake cells' rain is not in their ponding
        EXPECT_NEAR(Lake().Volume() - before, b.Qin.m3 - b.Qout.m3, 1e-9 * before) << n;
        EXPECT_GT(b.A, 0);
        EXPECT_LE(wet * 1e4, 4e4);
    }
    model_->Finish();
}

TEST_F(LakeTest, WaterInputOfTheLakesIsTheFirstPresentOfItsGrids) {
    // Throughfall 1 mm, snow cover outflow 2 mm, precipitation 3 mm per step on the lake cells.
    memory_handling mh;
    Matrix extra[2] = {mh.matrix(1, 4, 1, 5, 4), mh.matrix(1, 4, 1, 5, 4)};
    const char* names[2] = {"throughfall0", "snowcover_outflow"};
    for (int g = 0; g < 2; ++g) {
        extra[g].fill(0);
        for (const auto& cell : kLakeCells) extra[g][cell[0]][cell[1]] = 1.0 + g;
        Register(9 + g, extra[g], names[g]);
    }
    for (const auto& cell : kLakeCells) grids_[6][cell[0]][cell[1]] = 3;
    // Without interception first the throughfall falls on the lakes, with it the snow cover's outflow.
    for (bool interceptionFirst : {false, true}) {
        ASSERT_EQ(BuildLake(1e4, "2\n0 0\n1e6 5", interceptionFirst), 0u) << console_.str();
        if (!Root()) continue;
        Start();
        Step(0);
        const routing::ReservoirBalance& b = Lake().Balance();
        EXPECT_GT(b.A, 0);
        EXPECT_NEAR(b.PREC.m3, b.A * (interceptionFirst ? 2.0 : 1.0) / 1000, 1e-9) << interceptionFirst;
        model_->Finish();
    }
    model_.reset();
    store_[9] = GridStoreEntry{};
    store_[10] = GridStoreEntry{};
}

TEST_F(LakeTest, WarmRestartFromTheLakeCellsContinuesTheRun) {
    // The lake's water lives in the ponding storage of its cells: a warm start that reads the
    // cells (readgrids 1) and the routing state continues like the run that never stopped.
    // Steps from..to-1 of the run; routed discharge and lake volume of each step.
    auto run = [&](int from, int to, std::vector<double>& out) {
        for (int n = from; n < to; ++n) {
            qg_[0][3] = 0.3 + 0.2 * std::sin(0.8 * n);
            Step(n);
            out.push_back(Routed(9));
            out.push_back(Lake().Volume());
        }
    };
    std::vector<double> continuous, warm;
    ASSERT_EQ(BuildLake(1e4), 0u) << console_.str();
    if (Root()) {
        Start();
        run(0, 12, continuous);
        model_->Finish();
    }
    std::vector<double> saved;
    ASSERT_EQ(BuildLake(1e4), 0u);
    if (Root()) {
        Start();
        run(0, 6, warm);
        model_->Finish();
        for (const auto& cell : kLakeCells) saved.push_back(Ponding()[cell[0]][cell[1]]);
    }
    // A new run on the cells as the first one left them.
    ASSERT_EQ(BuildLake(5e5, "2\n0 0\n1e6 5", false, 1), 0u) << console_.str();
    if (!Root()) return;
    for (std::size_t i = 0; i < 4; ++i) {
        const auto& cell = kLakeCells[i];
        EXPECT_EQ(Ponding()[cell[0]][cell[1]], saved[i]);  // V0 does not overwrite the cells
    }
    Start();
    const std::string name = "storage.ftz";
    model_->ReadStorageState(&name, 1);
    run(6, 12, warm);
    ASSERT_EQ(warm.size(), continuous.size());
    for (std::size_t i = 0; i < warm.size(); ++i)
        EXPECT_NEAR(warm[i], continuous[i], 1e-5 * std::fabs(continuous[i]) + 1e-12) << i;
}

TEST_F(LakeTest, WarmStartGivesTheLakesTheVolumeOfTheirState) {
    // The ponding grid a run leaves is written before the routing of its last step, so its lake
    // cells miss that step's inflow and outflow (here: all their water). The warm start gives the
    // lake the volume of its state section back to its cells.
    double V = 0;
    ASSERT_EQ(BuildLake(1e4), 0u) << console_.str();
    if (Root()) {
        Start();
        for (int n = 0; n < 6; ++n) {
            qg_[0][3] = 0.3;
            Step(n);
        }
        V = Lake().Volume();
        model_->Finish();
    }
    for (const auto& cell : kLakeCells) Ponding()[cell[0]][cell[1]] = 0;
    ASSERT_EQ(BuildLake(5e5, "2\n0 0\n1e6 5", false, 1), 0u) << console_.str();
    if (!Root()) return;
    Start();
    const std::string name = "storage.ftz";
    model_->ReadStorageState(&name, 1);
    double cells = 0;
    for (const auto& cell : kLakeCells) cells += Ponding()[cell[0]][cell[1]] / 1000 * 1e4;
    EXPECT_GT(V, 1e4);
    EXPECT_NEAR(cells, V, 1e-5 * V);  // the state holds six digits
    ExpectOneLevel("warm start");
}

TEST_F(LakeTest, LakeHalfAMetreAboveItsFullLevelReleasesItsInflow) {
    SetTerrain({100, 100, 100, 100}, 102);
    // 5 m3/s into a lake above its rule table (whose top releases about 0.1 m3/s): 0.6 m above
    // the full level it lets the inflow pass; 0.02 m above it keeps it (the step's 0.45 m of
    // inflow never lift it 0.5 m above).
    for (double above : {0.6, 0.02}) {
        ASSERT_EQ(BuildLake(4e4 * (2 + above), "2\n0 0\n1e3 0.001"), 0u) << console_.str();
        if (!Root()) continue;
        Start();
        qg_[0][3] = 5 * 0.06 * 60 / 50;
        Step(0);
        if (above > 0.5) EXPECT_NEAR(Lake().Outflow(), 5, 1e-6);
        else EXPECT_LT(Lake().Outflow(), 0.2);
        model_->Finish();
    }
}

TEST_F(LakeTest, TableFileThatCannotBeCreatedIsFatal) {
    if (Root()) std::filesystem::create_directory("W_V_Table_01.dat.part");
    const unsigned code = BuildLake(0);
    if (!Root()) return;
    EXPECT_EQ(code, 225u);
    EXPECT_TRUE(Logged("error opening W_V_Table_01.dat for writing the waterlevel-volume-relation to disk."));
}

TEST_F(LakeTest, LakeGridWithoutARowIsFatal) {
    // Process 0 must hold every row of the lake grids; a ponding grid of rows 1 and 2 only cannot
    // give the water of the lake cells in rows 3 and 4.
    memory_handling mh;
    Matrix partial = mh.matrix(1, 2, 1, 5, 4);
    partial.fill(0);
    store_[3].grid = &partial;
    const unsigned code = BuildLake(0);
    store_[3].grid = &grids_[1];
    if (!Root()) return;
    EXPECT_EQ(code, 226u);
    EXPECT_TRUE(Logged("lake 1: the grid \"ponding_storage\" holds no row 3 on this process"));
}

namespace {

// The lake of LakeTest on a grid divided among the processes as the set-up divides it: the valid
// cells in row-major order, the highest process taking the first equal share, process 0 the
// last. Every process's lake grids hold only the rows of its own cells. At 4 processes the lake
// lies on processes 1 and 0, its row 3 split between them.
class DividedLakeTest : public LakeTest {
protected:
    void Divide() {
        const int size = talvo_test::Size(), rank = talvo_test::Rank();
        int valid = 0;
        for (const auto& row : submodel_test::kZones)
            for (double z : row) valid += z > -9999 ? 1 : 0;
        const int share = static_cast<int>(std::floor(static_cast<double>(valid) / size + 0.4999));
        memory_handling mh;
        regions_ = mh.matrix(1, 4, 1, 5, 4);
        regions_.fill(-9999);
        int p = size - 1, taken = 0, first = 5, last = 0;
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) {
                if (!(submodel_test::kZones[r - 1][c - 1] > -9999)) continue;
                if (taken == share && p > 0) {
                    --p;
                    taken = 0;
                }
                regions_[r][c] = p;
                ++taken;
                if (p == rank) {
                    first = std::min(first, r);
                    last = std::max(last, r);
                }
            }
        settings_.firstRow = first;
        settings_.lastRow = last;
        for (int g = 0; g < 7; ++g) {
            band_[g] = mh.matrix(first, last, 1, 5, 4);
            for (int r = first; r <= last; ++r)
                for (int c = 1; c <= 5; ++c) band_[g][r][c] = grids_[g][r][c];
            store_[2 + g].grid = &band_[g];
        }
        tracerBand_ = mh.matrix3d(first, last, 1, 5, 1, 4);
        for (int r = first; r <= last; ++r)
            for (int c = 1; c <= 5; ++c) tracerBand_[r][c][0] = tracerBand_[r][c][1] = 0;
        store_[10].stack = &tracerBand_;
        // The store is searched up to its first free entry: the routing of the run before goes first.
        model_.reset();
        Register(9, regions_, "MPIRegions");
    }
    void TearDown() override {
        model_.reset();
        store_[9] = GridStoreEntry{};
        store_[10] = GridStoreEntry{};
        LakeTest::TearDown();
    }
    // The soil model's tracer store (level 0 the concentration of the cell), held whole.
    void AddTracerStore() {
        memory_handling mh;
        tracer_ = mh.matrix3d(1, 4, 1, 5, 1, 4);
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) tracer_[r][c][0] = tracer_[r][c][1] = 0;
        GridStoreEntry& e = store_[10];
        e.stack = &tracer_;
        e.levels = 1;
        e.internalName = "concstor_tracer_1_unsatzon_model";
        e.hasInternalName = true;
        e.fileName = "tracer.stk";
        e.hasFileName = true;
    }
    bool Mine(int r, int c) const { return regions_ ? regions_[r][c] == talvo_test::Rank() : talvo_test::Rank() == 0; }
    // The lake's terms of every step on process 0 (in step order) and the lake cells' ponding
    // storage at the end, each on the process that owns the cell.
    struct Run {
        std::vector<double> steps;
        double ponding[4] = {0, 0, 0, 0};
        double tracer[4] = {0, 0, 0, 0};  // level 0 of the tracer store
    };
    // What the soil model does to the lake cells in a step: 3 mm of rain onto their ponding
    // storage, of which 0.5 mm evaporate; the routing sees both in its grids.
    Run Steps(Matrix* grids, Stack& tracer) {
        Run run;
        if (Root()) Start();
        model_->DistributeLakePonding();  // as the driver does after the set-up
        for (int n = 0; n < 10; ++n) {
            for (const auto& cell : kLakeCells) {
                const int r = cell[0], c = cell[1];
                if (!Mine(r, c)) continue;
                grids[1][r][c] += 3 - 0.5;
                grids[5][r][c] = 0.5;
                grids[6][r][c] = 3;
            }
            qg_[0][3] = n < 5 ? 0.4 : 0.05;
            qg_[1][3] = 2.0;  // the river brings the tracer into the lake
            const Date d = StepDate(n);
            if (Root()) model_->SetEndDate(d.year, d.month, d.day, d.hour);
            model_->run(d.hour, d.day, d.month, d.year);
            model_->WriteOutputs();
            if (!Root()) continue;
            const routing::ReservoirBalance& b = Lake().Balance();
            for (double v : {Routed(9), Lake().Volume(), Lake().Outflow(), b.A, b.Qin.m3, b.PREC.m3, b.ETR.m3, b.Qout.m3,
                             b.dV.m3, b.Err.m3, Lake().Content()[1]})
                run.steps.push_back(v);
        }
        for (int i = 0; i < 4; ++i)
            if (Mine(kLakeCells[i][0], kLakeCells[i][1])) {
                run.ponding[i] = grids[1][kLakeCells[i][0]][kLakeCells[i][1]];
                run.tracer[i] = tracer[kLakeCells[i][0]][kLakeCells[i][1]][0];
            }
        if (Root()) model_->Finish();
        return run;
    }
    Matrix regions_;
    Matrix band_[7];
    Stack tracer_, tracerBand_;
};

}  // namespace

TEST_F(DividedLakeTest, LakeOnCellsOfSeveralProcessesRunsAsOnOne) {
    // The same run on grids every process holds whole (process 0 alone takes the cells) and on
    // the divided grid: every routed value, lake volume and balance term and the ponding
    // storage of every cell agree bit for bit.
    AddTracerStore();
    ASSERT_EQ(BuildLake(2e4, "3\n0 0\n4e4 0.2\n1e6 5", false, 0, 1), 0u) << console_.str();
    const Run one = Steps(grids_, tracer_);
    // The divided run starts from the same cells.
    for (const auto& cell : kLakeCells)
        for (int g : {1, 5, 6}) grids_[g][cell[0]][cell[1]] = 0;
    Divide();
    ASSERT_EQ(BuildLake(2e4, "3\n0 0\n4e4 0.2\n1e6 5", false, 0, 1), 0u) << console_.str();
    const Run divided = Steps(band_, tracerBand_);
    if (Root()) {
        ASSERT_EQ(divided.steps.size(), one.steps.size());
        for (std::size_t i = 0; i < one.steps.size(); ++i) EXPECT_EQ(divided.steps[i], one.steps[i]) << i << StrFormat(" %.17g %.17g", divided.steps[i], one.steps[i]);
        // The lake's balance closes every step: the cells' rain and evaporation reach it as the
        // soil model booked them, inflow and outflow as the routing did.
        double V = 2e4, sum = 0;
        for (std::size_t s = 0; s < one.steps.size(); s += 11) {
            const double* t = &one.steps[s];
            EXPECT_GT(t[5], 0);
            EXPECT_NEAR(t[5], 4 * 3e-3 * 1e4, 1e-9);
            EXPECT_NEAR(t[6], 4 * 0.5e-3 * 1e4, 1e-9);
            EXPECT_NEAR(t[9], 0, 1e-9 * t[1]);
            EXPECT_NEAR(t[1] - V, t[4] + t[5] - t[6] - t[7], 1e-9 * t[1]);
            sum += t[4] + t[5] - t[6] - t[7];
            V = t[1];
        }
        EXPECT_NEAR(V - 2e4, sum, 1e-9 * V);
    }
    // Process 0 had every cell's ponding of the whole run; each owner has it in the divided one.
    // The lake's tracer concentration reaches its wet cells on their processes as well.
    double reference[8];
    std::copy(one.ponding, one.ponding + 4, reference);
    std::copy(one.tracer, one.tracer + 4, reference + 4);
    MPI_Bcast(reference, 8, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    EXPECT_GT(reference[4], 0);
    for (int i = 0; i < 4; ++i) {
        if (Mine(kLakeCells[i][0], kLakeCells[i][1])) {
            EXPECT_EQ(divided.ponding[i], reference[i]) << i;
            EXPECT_EQ(divided.tracer[i], reference[4 + i]) << i;
        }
    }
}
