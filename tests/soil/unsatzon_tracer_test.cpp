// Tracers of the soil model through its run: the store stack (surface store and layers) that the
// grid store publishes (read at a warm start, refused when it has another level count or finds
// no free entry), conservation of a mass tracer given as a pulse, radioactive decay over a
// day however the steps are split, and the aquifer's tracer below the water table.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>


#include "setup/tracer_ini.hpp"
#include "surface/irrigate.hpp"
#include "unsatzon_fixture.hpp"

using namespace soil_test;

namespace {
constexpr int kCells[][2] = {{1, 2}, {1, 3}, {1, 4}, {2, 1}, {2, 2}, {2, 3}, {2, 4}, {2, 5},
                             {3, 1}, {3, 2}, {3, 3}, {3, 4}, {4, 2}, {4, 3}};
constexpr int kLayers = 10;

class SoilTracerTest : public SoilModelTest {
protected:
    static TracerDescriptor Tracer(const char* name, bool evaporating, double soilini) {
        TracerDescriptor d;
        d.name = name;
        d.statext = "txt";
        d.gridext = "asc";
        d.evaporating = evaporating ? 1 : 0;
        d.soilini = soilini;
        d.max_conc = 1e12;  // no limit on what a unit of water carries
        return d;
    }
    // The model with hourly steps (daily with daily = true).
    unsigned Start(int method, bool daily = false, int controlRow = 0, int controlCol = 0) {
        SoilSection s;
        s.method = method;
        s.controlRow = controlRow;
        s.controlCol = controlCol;
        std::string t = s.Text();
        const std::string from = "1440 time step";
        if (!daily) t.replace(t.find(from), from.size(), "60 time step");
        unsigned error = Build(t);
        if (error != 0) return error;
        model_->SelectWaterInput(interceptionFirst_);
        model_->InitTracerGrids(error, static_cast<int>(d_.size()) - 1, d_.data(), nullptr, 0);
        return error;
    }
    void Step(int h) {
        model_->BeginTimeStep(h % 24, 1 + h / 24, 6, 2020);
        model_->run(h % 24, 1 + h / 24, 6, 2020);
        model_->ComputeSubbasinRunoff();
    }
    // Tracer t in the cell's surface store and layers.
    double Stored(int t, int r, int c) const {
        double m = 0;
        for (int l = 0; l <= kLayers; ++l) m += model_->tracerLayers[static_cast<std::size_t>(t)][r][c][l];
        return m;
    }
    // Tracer t that left the cell with the runoff of the last step.
    double Left(int t, int r, int c) const {
        const std::size_t k = static_cast<std::size_t>(t);
        return model_->tracerDirect[k][r][c] * Value("directflow", r, c) +
               model_->tracerInterflow[k][r][c] * Value("interflow", r, c) +
               model_->tracerBaseflow[k][r][c] * Value("baseflow", r, c);
    }
    std::vector<TracerDescriptor> d_ = std::vector<TracerDescriptor>(1);
    bool interceptionFirst_ = false;  // the order of snow and interception that Start hands on
};

// The store is the stack of the grid store under its name, with the surface store as level 0; a
// mass tracer starts with the mass of its start concentration in the layer's water, a
// concentration tracer with the concentration.
TEST_F(SoilTracerTest, TheStoreIsAStackOfTheLayersAndStartsFromTheDescriptor) {
    d_.push_back(Tracer("mas", false, 3.0));
    d_.push_back(Tracer("con", true, 3.0));
    ASSERT_EQ(Start(2), 0u) << console_.str();
    for (int t = 1; t <= 2; ++t) {
        const int i = FindGridIndex(StrFormat("concstor_tracer_%d_unsatzon_model", t));
        ASSERT_GT(i, 0);
        EXPECT_EQ(store_[i].stack, &model_->tracerLayers[static_cast<std::size_t>(t)]);
        EXPECT_EQ(store_[i].levels, kLayers);
        EXPECT_NE(store_[i].grid, nullptr);
    }
    for (const auto& cell : kCells) {
        const int r = cell[0], c = cell[1];
        if (!Own(r, c)) continue;
        EXPECT_EQ(Level("concstor_tracer_1_unsatzon_model", r, c, 0), 0.0);
        for (int l = 1; l <= kLayers; ++l) {
            EXPECT_NEAR(Level("concstor_tracer_1_unsatzon_model", r, c, l),
                        3.0 * Level("theta", r, c, l) * 0.1 * 1000.0, 1e-9);
            EXPECT_EQ(Level("concstor_tracer_2_unsatzon_model", r, c, l), 3.0);
        }
        // The 2-D grid holds the concentration of the deepest layer, for both kinds.
        EXPECT_NEAR(Value("concstor_tracer_1_unsatzon_model", r, c), 3.0, 1e-12);
        EXPECT_NEAR(Value("concstor_tracer_2_unsatzon_model", r, c), 3.0, 1e-12);
    }
    // After a step the flux grids hold the concentration of layer 1 (a mass over its water).
    Step(0);
    for (const auto& cell : kCells) {
        const int r = cell[0], c = cell[1];
        if (!Own(r, c)) continue;
        const double mass = Level("concstor_tracer_1_unsatzon_model", r, c, 1);
        EXPECT_NEAR(Value("concflux_tracer_1_unsatzon_model", r, c), mass / (Level("theta", r, c, 1) * 100.0), 1e-12);
        EXPECT_EQ(Value("concflux_tracer_2_unsatzon_model", r, c), Level("concstor_tracer_2_unsatzon_model", r, c, 1));
    }
}

// A warm start (readgrid 1) reads the store stack back from its file, every level; a stack of
// another level count stops the start with code 13.
TEST_F(SoilTracerTest, AWarmStartReadsTheStoreStackAndRefusesAWrongLevelCount) {
    d_.push_back(Tracer("chl", false, 3.0));
    d_[1].path = StrFormat("warm_%d_", talvo_test::Size());
    AddGrid("concflux_tracer_1_input", 4.0);
    ASSERT_EQ(Start(2), 0u) << console_.str();
    Step(1);
    // The state the warm start reads: the water stacks and grids, the state section, the store.
    model_->WriteStack("theta.asc", model_->own.theta, kLayers, false, true);
    model_->WriteStack("hh.asc", model_->own.hydraulicHeads, kLayers, false, true);
    model_->WriteStack("hgeo.asc", model_->own.geodeticHeads, kLayers, false, true);
    model_->WriteStorageState(false);
    const std::string file = model_->tracers[1].storageFileName;
    EXPECT_EQ(file, d_[1].path + "chlunsat.asc");
    model_->WriteStack(file, model_->tracerLayers[1], kLayers, false, true);
    std::vector<double> kept;
    for (const auto& cell : kCells) {
        if (!Own(cell[0], cell[1])) continue;
        for (int l = 0; l <= kLayers; ++l) kept.push_back(model_->tracerLayers[1][cell[0]][cell[1]][l]);
    }
    model_.reset();
    WriteGridFile("gwstand.asc", -0.3);
    WriteGridFile("gwlevel.asc", 4.0);
    WriteGridFile("gwtheta.asc", 0.31);
    WriteGridFile("deltagw.asc", 0.0);
    SoilSection warm;
    warm.readgrid = 1;
    ASSERT_EQ(Build(warm.Text()), 0u) << console_.str();
    unsigned error = 9;
    model_->InitTracerGrids(error, 1, d_.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    std::size_t i = 0;
    for (const auto& cell : kCells) {
        if (!Own(cell[0], cell[1])) continue;
        for (int l = 0; l <= kLayers; ++l) EXPECT_EQ(model_->tracerLayers[1][cell[0]][cell[1]][l], kept[i++]);
    }

    model_->WriteStack(file, model_->tracerLayers[1], kLayers - 1, false, true);
    model_.reset();
    ASSERT_EQ(Build(warm.Text()), 0u) << console_.str();
    model_->InitTracerGrids(error, 1, d_.data(), nullptr, 0);
    EXPECT_EQ(error, 13u);
    EXPECT_NE(console_.str().find("wrong number of levels in stack " + file + " (there are 9 levels, it must be 10"),
              std::string::npos);

    // A grid store without a free entry for the store stops the set-up with 12.
    model_.reset();
    ASSERT_EQ(Build(warm.Text()), 0u) << console_.str();
    Matrix taken;
    std::vector<int> filled;
    for (int i = 1; i <= 999; ++i) {
        if (store_[i].grid != nullptr || store_[i].stack != nullptr) continue;
        store_[i].grid = &taken;
        filled.push_back(i);
    }
    error = 0;
    model_->InitTracerGrids(error, 1, d_.data(), nullptr, 0);
    for (const int i : filled) store_[i].grid = nullptr;
    EXPECT_EQ(error, 12u);
    EXPECT_NE(console_.str().find("FATAL: no free grid left. please contact the author to set the number of grids "
                                  "to a larger value \n"),
              std::string::npos)
        << console_.str();
}

// The tracer's zone table gets a row of the subbasins' runoff values each step (they were all 0).
TEST_F(SoilTracerTest, TheTracerZoneTableHoldsTheSubbasinsRunoffValues) {
    d_.push_back(Tracer("con", true, 2.0));
    AddGrid("concflux_tracer_1_input", 2.0);
    ASSERT_EQ(Start(2), 0u) << console_.str();
    Step(1);
    if (talvo_test::Rank() != 0) return;
    const std::vector<zoneFZT>& zones = model_->tracers[1].zones;
    for (int s = 1; s <= model_->soilZones.zoneCount; ++s) {
        const std::size_t i = static_cast<std::size_t>(s);
        ASSERT_LT(i, zones.size());
        EXPECT_NEAR(zones[i].sx, 2.0, 1e-9) << s;
        EXPECT_EQ(zones[i].sx, model_->Qg[1][i]);
        EXPECT_EQ(zones[i].n, 1.0);
    }
}

// The tracer's zone table is written whenever the model's outputs are flushed (the interrupt
// menu's "flush buffers"), not only at the end of the run; its name keeps the whole extension.
TEST_F(SoilTracerTest, FlushingTheOutputsWritesTheTracerZoneTable) {
    d_.push_back(Tracer("con", true, 2.0));
    d_[1].statcode = 2001;  // a row a step
    d_[1].statext = "stax";
    d_[1].path = StrFormat("flush_%d_", talvo_test::Size());
    AddGrid("concflux_tracer_1_input", 2.0);
    ASSERT_EQ(Start(2), 0u) << console_.str();
    Step(1);
    model_->WriteOutputs();
    if (talvo_test::Rank() != 0) return;
    const std::string name = model_->tracers[1].statistics->fileName();
    EXPECT_EQ(name.substr(name.size() - 5), ".stax") << name;
    std::ifstream table(name);
    ASSERT_TRUE(table.good()) << name;
    std::string line;
    int rows = 0;
    while (std::getline(table, line)) rows += line.rfind("2020", 0) == 0 ? 1 : 0;
    EXPECT_EQ(rows, 1) << name;
}

// A non-evaporating tracer given as a pulse with the rain stays in the cell or leaves with its
// runoff: after every step, store + what left = what entered, in every cell.
TEST_F(SoilTracerTest, APulseOfAMassTracerIsConservedInEveryCellAndStep) {
    d_.push_back(Tracer("pul", false, 0.0));
    Matrix& input = AddGrid("concflux_tracer_1_input", 5.0);
    ASSERT_EQ(Start(3), 0u) << console_.str();
    std::vector<double> left(20, 0.0);
    auto at = [](int r, int c) { return static_cast<std::size_t>(r * 5 + c - 6); };
    const double rain = 3.0;
    double outSum = 0;
    for (int h = 0; h < 12; ++h) {
        for (const auto& cell : kCells) {
            if (!Own(cell[0], cell[1])) continue;
            (*model_->in.waterInput)[cell[0]][cell[1]] = h < 4 ? rain : 0.0;
            input[cell[0]][cell[1]] = h == 0 ? 5.0 : 0.0;
        }
        Step(h);
        model_->DrainablePoreVolume();
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            left[at(r, c)] += Left(1, r, c);
            const double entered = rain * 5.0;
            EXPECT_NEAR(Stored(1, r, c) + left[at(r, c)], entered, 1e-9 * entered) << r << "," << c << " step " << h;
            for (int l = 0; l <= kLayers; ++l) EXPECT_GE(model_->tracerLayers[1][r][c][l], 0.0);
        }
    }
    for (const auto& cell : kCells)
        if (Own(cell[0], cell[1])) outSum += left[at(cell[0], cell[1])];
    MPI_Allreduce(MPI_IN_PLACE, &outSum, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    EXPECT_GT(outSum, 0.0);  // some of it left: the balance counts the runoff loads
}

// Where silting-up hands the water input on, that water holds the water that stood on the
// surface too; its tracer is silting-up's mixture, not the incoming flux of the water that fell
// (here the capped concentration of a rounding-size snow outflow, which would charge the whole
// input with it). Cells that silting-up does not compute (nodata in its grid) take the incoming
// flux. What the cell holds and sent on after the step is what the water brought.
TEST_F(SoilTracerTest, WaterHandedOnBySiltingUpCarriesSiltingUpsConcentration) {
    d_.push_back(Tracer("cap", false, 0.0));
    AddGrid("DirectRunoffSiltingUp", 0.0);
    Matrix& silted = AddGrid("concflux_tracer_1_SiltingUpModel", 0.5);
    Matrix& input = AddGrid("concflux_tracer_1_input", 1e9);
    ASSERT_EQ(Start(3), 0u) << console_.str();
    const double rain = 3.0;
    for (const auto& cell : kCells) {
        if (!Own(cell[0], cell[1])) continue;
        (*model_->in.waterInput)[cell[0]][cell[1]] = rain;
        if (cell[0] == 2) {
            silted[cell[0]][cell[1]] = -9999.0;
            input[cell[0]][cell[1]] = 4.0;
        }
    }
    Step(0);
    for (const auto& cell : kCells) {
        const int r = cell[0], c = cell[1];
        if (!Own(r, c)) continue;
        const double entered = rain * (r == 2 ? 4.0 : 0.5);
        EXPECT_NEAR(Stored(1, r, c) + Left(1, r, c), entered, 1e-9 * entered) << r << "," << c;
    }
}

// With interception before snow the water reaching the ground is the snow's outflow, and its
// tracer comes with it at the snow's concentration, not at that of interception's throughfall
// (which the snow took in). What the cell holds and sent on is the outflow times the snow's
// concentration.
TEST_F(SoilTracerTest, AfterInterceptionTheSnowsOutflowBringsTheSnowsConcentration) {
    d_.push_back(Tracer("ord", false, 0.0));
    AddGrid("throughfall0", 5.0);
    Matrix& outflow = AddGrid("snowcover_outflow", 3.0);
    AddGrid("concflux_tracer_1_interception_model", 7.0);
    AddGrid("concflux_tracer_1_snow_model", 2.0);
    AddGrid("concflux_tracer_1_input", 11.0);
    interceptionFirst_ = true;
    ASSERT_EQ(Start(3), 0u) << console_.str();
    ASSERT_EQ(model_->in.waterInput, &outflow);
    Step(0);
    for (const auto& cell : kCells) {
        const int r = cell[0], c = cell[1];
        if (!Own(r, c)) continue;
        EXPECT_NEAR(Stored(1, r, c) + Left(1, r, c), 3.0 * 2.0, 1e-9) << r << "," << c;
    }
}

// A tracer with a half-life of one day keeps the share of its half-life law of what its stable
// twin keeps, in every level, after two daily steps that the column splits into several water
// sub-steps each (decaying per sub-step with the whole step's factor would leave far less).
TEST_F(SoilTracerTest, ARadioactiveTracerDecaysByItsHalfLifeWhateverTheSubsteps) {
    d_.push_back(Tracer("rad", false, 2.0));
    d_.back().radioactive = 1;
    d_.back().half_time = 1.0;
    d_.push_back(Tracer("sta", false, 2.0));
    AddGrid("concflux_tracer_1_input", 0.0);
    AddGrid("concflux_tracer_2_input", 0.0);
    ASSERT_EQ(Start(3, true), 0u) << console_.str();
    int mostSubsteps = 0;
    for (int day = 0; day < 2; ++day) {
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1])) (*model_->in.waterInput)[cell[0]][cell[1]] = day == 0 ? 20.0 : 0.0;
        Step(24 * day);
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1]))
                mostSubsteps = std::max(mostSubsteps, static_cast<int>(Value("number_of_substeps", cell[0], cell[1])));
    }
    MPI_Allreduce(MPI_IN_PLACE, &mostSubsteps, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    EXPECT_GT(mostSubsteps, 1);
    // The system's decay law: exp(-t / (T_half x 1.442695041111)), t and T_half in days.
    const double share = std::exp(-2.0 / 1.442695041111);
    EXPECT_NEAR(share, 0.25, 1e-9);
    for (const auto& cell : kCells) {
        const int r = cell[0], c = cell[1];
        if (!Own(r, c)) continue;
        for (int l = 0; l <= kLayers; ++l) {
            const double stable = model_->tracerLayers[2][r][c][l];
            EXPECT_NEAR(model_->tracerLayers[1][r][c][l], share * stable, 1e-12 * std::max(1.0, stable))
                << r << "," << c << " level " << l;
        }
    }
}

// Under the groundwater model the layers below the water table are the aquifer's water: they take
// its tracer and mix with the aquifer part below the profile, which keeps the value. A water of
// one concentration everywhere keeps it.
TEST_F(SoilTracerTest, TheAquifersTracerFillsTheSaturatedLayersAndKeepsItsValue) {
    d_.push_back(Tracer("con", true, 2.0));
    d_.push_back(Tracer("mas", false, 2.0));
    AddGrid("concflux_tracer_1_input", 2.0);
    AddGrid("concflux_tracer_2_input", 2.0);
    AddGrid("aquifer_thickness_1", 5.0);
    Matrix& gw1 = AddGrid("concstor_tracer_1_layer_1_groundwater_flow", 2.0);
    Matrix& gw2 = AddGrid("concstor_tracer_2_layer_1_groundwater_flow", 2.0);
    ASSERT_EQ(Start(2), 0u) << console_.str();
    model_->EnableGroundwater();
    for (int h = 0; h < 6; ++h) {
        Step(h);
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            const int g = static_cast<int>(Value("groundwater_level", r, c));
            ASSERT_GE(g, 1);
            for (int l = 1; l <= kLayers; ++l)
                EXPECT_NEAR(model_->tracerLayers[1][r][c][l], 2.0, 1e-9) << r << "," << c << " layer " << l;
            EXPECT_NEAR(gw1[r][c], 2.0, 1e-9);
            // The mass tracer's saturated layers hold the aquifer's concentration.
            for (int l = g; l <= kLayers; ++l)
                EXPECT_NEAR(model_->TracerConcentration(2, r, c, l), gw2[r][c], 1e-9 * gw2[r][c]) << r << "," << c;
            EXPECT_GT(gw2[r][c], 1.0);
        }
    }
}

// Water of one concentration everywhere (start, rain, aquifer) keeps it in every layer while the
// base flow drains the columns from the table down or fills them from below: the base flow's water
// leaves or enters before the sub-step, and its tracer must be counted against the water the
// layer held before (counted against the water after, 4.0 fell to 3.998 in three steps).
TEST_F(SoilTracerTest, BaseFlowKeepsTheConcentrationOfAUniformWater) {
    for (const bool aquifer : {false, true}) {
        model_.reset();
        d_.resize(1);
        d_.push_back(Tracer("con", true, 4.0));
        d_.push_back(Tracer("mas", false, 4.0));
        for (const char* name : {"concflux_tracer_1_input", "concflux_tracer_2_input",
                                 "concstor_tracer_1_layer_1_groundwater_flow",
                                 "concstor_tracer_2_layer_1_groundwater_flow"}) {
            if (FindGridIndex(name) <= 0) AddGrid(name, 4.0);
        }
        if (FindGridIndex("aquifer_thickness_1") <= 0) AddGrid("aquifer_thickness_1", 5.0);
        ASSERT_EQ(Start(2), 0u) << console_.str();
        // Without the aquifer the subbasins' recession drains every column; with it the odd
        // columns give water to the aquifer and the even ones are filled from it.
        if (aquifer) model_->EnableGroundwater();
        for (int h = 0; h < 3; ++h) {
            for (const auto& cell : kCells) {
                if (!Own(cell[0], cell[1])) continue;
                (*model_->in.waterInput)[cell[0]][cell[1]] = 0.0;
                if (aquifer) model_->own.baseflow[cell[0]][cell[1]] = cell[1] % 2 == 1 ? 3e-8 : -3e-8;
            }
            Step(h);
            for (const auto& cell : kCells) {
                const int r = cell[0], c = cell[1];
                if (!Own(r, c)) continue;
                EXPECT_NE(Value("baseflow", r, c), 0.0);
                for (int l = 1; l <= kLayers; ++l) {
                    EXPECT_NEAR(model_->tracerLayers[1][r][c][l], 4.0, 1e-12) << aquifer << r << c << l;
                    EXPECT_NEAR(model_->TracerConcentration(2, r, c, l), 4.0, 1e-12) << aquifer << r << c << l;
                }
                if (aquifer) {
                    EXPECT_NEAR(Value("concstor_tracer_1_layer_1_groundwater_flow", r, c), 4.0, 1e-12);
                }
            }
        }
    }
}

// Irrigation from groundwater mixes the rain's tracer with the soil store's (the deepest layer's
// concentration, which the soil model publishes), reports that water's concentration in its
// table, and the soil takes the mixed water in with its tracer: what the column holds and what
// left it grow by rain x its concentration + irrigation x the store's concentration.
TEST_F(SoilTracerTest, GroundwaterIrrigationCarriesTheStoresTracerIntoTheColumn) {
    // Irrigation type 1: 24 mm on 1 June from groundwater, on every cell.
    irrigation_.assign(2, irrigation_entry{});
    irrigation_[0].code = 1;
    irrigation_[1].code = 1;
    irrigation_[1].method = 1;
    irrigation_[1].origin = 1;
    irrigation_[1].tabcnt = 1;
    irrigation_[1].months = {0, 6};
    irrigation_[1].days = {0, 1};
    irrigation_[1].amounts = {0, 24};
    settings_.irrigationTable = irrigation_.data();
    AddGrid("irrigation_codes", 1.0);
    d_.push_back(Tracer("mas", false, 6.0));
    d_[1].statcode = 2001;  // a row a step
    d_[1].path = StrFormat("irr_%d_", talvo_test::Size());
    AddGrid("concflux_tracer_1_input", 2.0);
    Matrix& rain = *store_[FindGridIndex("precipitation")].grid;
    SoilSection soil;
    std::string text = soil.Text();
    text.replace(text.find("1440 time step"), 14, "60 time step");
    ASSERT_EQ(Build(text + "[irrigation]\n1 flow control\n60 time step\ngw.sta 0\nsw.sta 0\n\n"), 0u)
        << console_.str();
    unsigned error = 0;
    irrigationclass irrigation(error, log_.get(), settings_);
    ASSERT_EQ(error, 0u) << console_.str();
    irrigation.InitTracerGrids(error, 1, d_.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    model_->InitTracerGrids(error, 1, d_.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    irrigation.LinkSoilTracerStores();
    model_->SelectWaterInput(false);
    model_->DrainablePoreVolume();  // what the columns can give, as the driver fills it
    const Matrix& mixed = *store_[FindGridIndex("concflux_tracer_1_irrigation")].grid;
    std::vector<double> left(20, 0.0);
    auto at = [](int r, int c) { return static_cast<std::size_t>(r * 5 + c - 6); };
    std::vector<double> expected(20, 0.0);
    for (const auto& cell : kCells)
        if (Own(cell[0], cell[1])) expected[at(cell[0], cell[1])] = Stored(1, cell[0], cell[1]);
    double irrigated = 0;
    for (int h = 0; h < 3; ++h) {
        double sums[2] = {0, 0};  // tracer and water reaching the ground
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1])) rain[cell[0]][cell[1]] = 0.5;
        irrigation.run(h, 1, 6, 2020);
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            const double A = Value("irrigation_amounts", r, c);
            const double store = Value("concstor_tracer_1_unsatzon_model", r, c);
            // The store's grid is the deepest layer's concentration of the column.
            EXPECT_NEAR(store, model_->TracerConcentration(1, r, c, kLayers), 1e-12 * store);
            EXPECT_NEAR(rain[r][c], 0.5 + A, 1e-12);
            EXPECT_NEAR(mixed[r][c], (0.5 * 2.0 + A * store) / (0.5 + A), 1e-12) << r << "," << c;
            expected[at(r, c)] += 0.5 * 2.0 + A * store;
            sums[0] += mixed[r][c] * rain[r][c];
            sums[1] += rain[r][c];
            irrigated += A;
        }
        MPI_Allreduce(MPI_IN_PLACE, sums, 2, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        irrigation.FlushStatistics();
        if (talvo_test::Rank() == 0) {
            const zonalstatistic& table = *irrigation.tracers[1].statistics;
            EXPECT_NEAR(table.lastValues()[static_cast<std::size_t>(table.valuesPerRow() - 1)], sums[0] / sums[1],
                        1e-9);
        }
        Step(h);
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            left[at(r, c)] += Left(1, r, c);
            EXPECT_NEAR(Stored(1, r, c) + left[at(r, c)], expected[at(r, c)], 1e-9 * expected[at(r, c)])
                << r << "," << c << " hour " << h;
        }
    }
    MPI_Allreduce(MPI_IN_PLACE, &irrigated, 1, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    EXPECT_GT(irrigated, 0.0);
    irrigation.FreeTracerGrids();
    model_.reset();
    for (const char* module : {"irrig", "unsat"}) std::remove((d_[1].path + "mas" + module + ".txt").c_str());
}

// Ponding: a mass tracer that comes with the rain onto cells that pond the water is in the column,
// in the pond (the surface store) or has left with the runoff, after every step; the pond keeps
// the tracer of the water it keeps.
TEST_F(SoilTracerTest, PondedWaterKeepsItsTracer) {
    d_.push_back(Tracer("pul", false, 0.0));
    d_.push_back(Tracer("con", true, 0.0));
    AddGrid("max_ponding_storage", 0.005);  // m
    AddGrid("concflux_tracer_1_input", 5.0);
    AddGrid("concflux_tracer_2_input", 5.0);
    SoilSection s;
    s.pond = 1;
    std::string text = s.Text();
    text.replace(text.find("1440 time step"), 14, "60 time step");
    ASSERT_EQ(Build(text), 0u) << console_.str();
    unsigned error = 0;
    model_->InitTracerGrids(error, 2, d_.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    model_->SelectWaterInput(false);
    std::vector<double> left(20, 0.0);
    auto at = [](int r, int c) { return static_cast<std::size_t>(r * 5 + c - 6); };
    double entered = 0, ponded = 0;
    for (int h = 0; h < 6; ++h) {
        const double rain = h < 3 ? 30.0 : 0.0;
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1])) (*model_->in.waterInput)[cell[0]][cell[1]] = rain;
        entered += rain * 5.0;
        Step(h);
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            left[at(r, c)] += Left(1, r, c);
            EXPECT_NEAR(Stored(1, r, c) + left[at(r, c)], entered, 1e-9 * entered) << r << "," << c << " hour " << h;
            const double pond = Value("ponding_storage", r, c);
            ponded = std::max(ponded, pond);
            // The pond holds the mass of its water at the rain's concentration, and the
            // concentration tracer that concentration.
            EXPECT_NEAR(model_->tracerLayers[1][r][c][0], 5.0 * pond, 1e-9 * entered) << r << "," << c << " hour " << h;
            if (pond > 0) {
                EXPECT_NEAR(model_->tracerLayers[2][r][c][0], 5.0, 1e-12);
            }
        }
    }
    MPI_Allreduce(MPI_IN_PLACE, &ponded, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    EXPECT_GT(ponded, 0.0);
}

// The control point's series of every tracer: one record per step with the layer concentrations
// (a mass tracer's mass over its layer's water), written when the outputs are flushed.
TEST_F(SoilTracerTest, TheControlPointSeriesHoldsTheLayerConcentrationsOfEveryStep) {
    d_.push_back(Tracer("mas", false, 3.0));
    d_.push_back(Tracer("con", true, 4.0));
    // A prefix of the run's process count: the runs at 1, 2 and 4 processes may run at once.
    const std::string prefix = StrFormat("tracer_point_%d_", talvo_test::Size());
    d_[1].path = d_[2].path = prefix;
    AddGrid("concflux_tracer_1_input", 3.0);
    AddGrid("concflux_tracer_2_input", 4.0);
    ASSERT_EQ(Start(2, false, 2, 2), 0u) << console_.str();
    for (int h = 0; h < 3; ++h) Step(h);
    model_->WriteOutputs();
    if (!Own(2, 2)) return;
    for (const std::string& file : {prefix + "maspoint.txt", prefix + "conpoint.txt"}) {
        std::FILE* f = std::fopen(file.c_str(), "r");
        ASSERT_NE(f, nullptr) << file;
        char line[4096];
        ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
        EXPECT_EQ(std::string(line).rfind("YY\tMM\tDD\tHH\t", 0), 0u);
        int rows = 0;
        while (std::fgets(line, sizeof line, f) != nullptr) {
            long y, m, d, h;
            double v[kLayers];
            ASSERT_EQ(std::sscanf(line, "%ld %ld %ld %ld %lg %lg %lg %lg %lg %lg %lg %lg %lg %lg", &y, &m, &d, &h,
                                  &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9]),
                      14)
                << line;
            EXPECT_EQ(h, rows);
            ++rows;
            // The last record holds the layers' concentrations as the model ends the steps.
            const int t = file.find("conpoint") != std::string::npos ? 2 : 1;
            for (int l = 1; l <= kLayers && rows == 3; ++l) {
                const double want = model_->TracerConcentration(t, 2, 2, l);
                EXPECT_NEAR(v[l - 1], want, 1e-5 * want) << file << " layer " << l;
                EXPECT_GT(want, 2.5);
            }
        }
        std::fclose(f);
        std::remove(file.c_str());
        EXPECT_EQ(rows, 3) << file;
    }
}

}  // namespace
