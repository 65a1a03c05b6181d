// The soil model's published grids and start state on the test domain: the hydrostatic
// profile, the water table, derived grids, control-point files, the summary and lakes.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <filesystem>

#include "unsatzon_fixture.hpp"

using namespace soil_test;

namespace {
// Basin cells of the test domain with their rows.
constexpr int kCells[][2] = {{1, 2}, {1, 3}, {1, 4}, {2, 1}, {2, 2}, {2, 3}, {2, 4}, {2, 5},
                             {3, 1}, {3, 2}, {3, 3}, {3, 4}, {4, 2}, {4, 3}};
}  // namespace

TEST_F(SoilModelTest, ModeZeroStartsHydrostaticAboveTheWaterTable) {
    ASSERT_EQ(Build(SoilSection{}.Text()), 0u) << console_.str();
    const double centreOfLayer6 = 1000.0 - 0.55;
    for (const auto& cell : kCells) {
        const int r = cell[0], c = cell[1];
        if (!Own(r, c)) continue;
        SCOPED_TRACE(testing::Message() << r << "," << c);
        EXPECT_DOUBLE_EQ(Level("geodetic_heads", r, c, 0), 1000.0);
        EXPECT_NEAR(Level("geodetic_heads", r, c, 10), 999.0, 1e-12);
        EXPECT_DOUBLE_EQ(Level("theta", r, c, 0), 0.4);
        for (int k = 1; k <= 10; ++k) {
            const double theta = Level("theta", r, c, k);
            const double hh = Level("hydraulic_heads", r, c, k);
            if (k >= 6) {
                EXPECT_DOUBLE_EQ(theta, 0.4) << k;
            } else {
                // Unsaturated and drier towards the surface, every head at the water table.
                EXPECT_LT(theta, Level("theta", r, c, k + 1)) << k;
                EXPECT_NEAR(hh, centreOfLayer6, 1e-9) << k;
            }
        }
        EXPECT_DOUBLE_EQ(Value("groundwater_level", r, c), 6.0);
        EXPECT_NEAR(Value("groundwater_distance", r, c), -0.5, 1e-12);
        EXPECT_DOUBLE_EQ(Value("Theta_in_GWLEVEL", r, c), Level("theta", r, c, 5));
        EXPECT_DOUBLE_EQ(Value("baseflow", r, c), 0.0);
        EXPECT_DOUBLE_EQ(Value("tangens_beta", r, c), 45.0 * 3.141592653 / 180.0);
        EXPECT_DOUBLE_EQ(Value("ETR2ETP", r, c), 1.0);
        EXPECT_DOUBLE_EQ(Value("MeanThetaInRootZone", r, c), soils_[1].SuctionFromTheta(1, Level("theta", r, c, 1)));
        // Roots as deep as the profile: its mean water content, without the last 1e-8 m.
        double sum = -1e-8 * 0.4;
        for (int k = 1; k <= 10; ++k) sum += Level("theta", r, c, k) * 0.1;
        EXPECT_NEAR(Value("SB_1_grid", r, c), sum, 1e-12);
    }
    // Cells outside the basin hold nodata.
    if (Own(1, 2)) {
        EXPECT_DOUBLE_EQ(Value("groundwater_level", 1, 1), -9999.0);
    }
    EXPECT_NEAR(0.78539816325, 45.0 * 3.141592653 / 180.0, 1e-11);
}

TEST_F(SoilModelTest, PublishedGridsCarryTheirOutputNames) {
    ASSERT_EQ(Build(SoilSection{}.Text()), 0u);
    struct Expect {
        const char* name;
        const char* file;
        bool stack;
    };
    for (const Expect& e : {Expect{"groundwater_distance", "gwstand.asc", false}, Expect{"theta", "theta.asc", true},
                            Expect{"geodetic_heads", "hgeo.asc", true}, Expect{"q_down", "qu.asc", true},
                            Expect{"directflow", "qd.asc", false}, Expect{"q_downext", "q_downext", false},
                            Expect{"tangens_beta", "tangens_beta", false}}) {
        SCOPED_TRACE(e.name);
        const int i = FindGridIndex(e.name);
        ASSERT_GT(i, 0);
        EXPECT_EQ(store_[i].fileName, e.file);
        EXPECT_EQ(store_[i].stack != nullptr, e.stack);
        if (e.stack) {
            EXPECT_EQ(store_[i].levels, 10);
        }
    }
    EXPECT_EQ(FindGridIndex("max_ponding_storage"), 0);
    EXPECT_EQ(FindGridIndex("ponding_storage"), 0);
    EXPECT_EQ(FindGridIndex("Soil_Temperature_Stack"), 0);
    // The store entries go with the model.
    model_.reset();
    EXPECT_EQ(FindGridIndex("theta"), 0);
}

TEST_F(SoilModelTest, ModeTwoSaturatesBelowAShallowWaterTable) {
    WriteGridFile("gwstand.asc", -0.05);
    SoilSection s;
    s.readgrid = 2;
    ASSERT_EQ(Build(s.Text()), 0u) << console_.str();
    for (const auto& cell : kCells) {
        const int r = cell[0], c = cell[1];
        if (!Own(r, c)) continue;
        for (int k = 1; k <= 10; ++k) EXPECT_DOUBLE_EQ(Level("theta", r, c, k), 0.4);
        EXPECT_DOUBLE_EQ(Value("groundwater_level", r, c), 1.0);
        EXPECT_DOUBLE_EQ(Value("groundwater_distance", r, c), -0.05);
    }
}

TEST_F(SoilModelTest, ModeTwoWithPondingReadsThePondsToo) {
    // A start from the groundwater-distance grid keeps the water that stood in the ponds (mm) when
    // the grids were written.
    WriteGridFile("gwstand.asc", -0.05);
    WriteGridFile("pond.asc", 3.0);
    AddGrid("max_ponding_storage", 0.005);  // m
    SoilSection s;
    s.readgrid = 2;
    s.pond = 1;
    ASSERT_EQ(Build(s.Text()), 0u) << console_.str();
    for (const auto& cell : kCells) {
        const int r = cell[0], c = cell[1];
        if (!Own(r, c)) continue;
        EXPECT_DOUBLE_EQ(Value("ponding_storage", r, c), 3.0);
        EXPECT_DOUBLE_EQ(Value("max_ponding_storage", r, c), 5.0);
        EXPECT_DOUBLE_EQ(Value("groundwater_distance", r, c), -0.05);
    }
}

TEST_F(SoilModelTest, StartGridsComeFromTheInputDirectoryOnly) {
    // An output directory never enters the name of a start grid.
    if (talvo_test::Rank() == 0) {
        std::filesystem::create_directories("in");
        std::filesystem::create_directories("out");
    }
    MPI_Barrier(MPI_COMM_WORLD);
    WriteGridFile("in/gwstand.asc", -0.05);
    settings_.record.inputPath = "in/";
    settings_.record.outputPath = "out/";
    SoilSection s;
    s.readgrid = 2;
    ASSERT_EQ(Build(s.Text()), 0u) << console_.str();
    for (const auto& cell : kCells) {
        if (!Own(cell[0], cell[1])) continue;
        EXPECT_DOUBLE_EQ(Value("groundwater_distance", cell[0], cell[1]), -0.05);
    }
}

TEST_F(SoilModelTest, DrainLayerAndLowerBoundaryTemperature) {
    Matrix& depth = AddGrid("drainage_depth", 0.35);
    AddGrid("drainage_distance", 10.0);
    AddGrid("temperature", 0.0);
    AddGrid("gw_k_x_1", 1e-4);
    AddGrid("gw_k_y_1", 1e-4);
    depth[2][1] = 5.0;  // below the profile: the last layer
    SoilSection s;
    s.drainage = 1;
    ASSERT_EQ(Build(s.Text() + HeatSection()), 0u) << console_.str();
    for (const auto& cell : kCells) {
        const int r = cell[0], c = cell[1];
        if (!Own(r, c)) continue;
        EXPECT_DOUBLE_EQ(Value("drainage_level", r, c), r == 2 && c == 1 ? 10.0 : 4.0);
        EXPECT_DOUBLE_EQ(Value("T_Lower_Boundary_Condition", r, c), 5.0);
        EXPECT_DOUBLE_EQ(Level("Soil_Temperature_Stack", r, c, 3), 0.0);
        EXPECT_NEAR(Value("frozenSoilInGroundwater", r, c), 1.0, 1e-9);  // the profile depth
    }
    EXPECT_TRUE(model_->deriveInitialTemperatures);
    EXPECT_EQ(model_->config_tag, "+dr,");
    MPI_Barrier(MPI_COMM_WORLD);
    EXPECT_FALSE(talvo_test::ReadFile("T_Lower_Boundary_Condition").empty());
}

TEST_F(SoilModelTest, LowerBoundaryTemperatureGridHoldsTheCellsOfEveryProcess) {
    // Process 0 writes the whole grid (made from its whole elevation where it holds it, gathered
    // otherwise): every basin cell follows its own elevation, the cells outside are nodata.
    Matrix& z = *store_[2].grid;
    for (const auto& cell : kCells) z[cell[0]][cell[1]] = 900 + 100 * cell[0] + 10 * cell[1];
    AddGrid("temperature", 0.0);
    ASSERT_EQ(Build(SoilSection{}.Text() + HeatSection(-0.01)), 0u) << console_.str();
    MPI_Barrier(MPI_COMM_WORLD);
    Matrix read;
    model_->ReadGrid("T_Lower_Boundary_Condition", &read, 0, true, false, -9999.0, false, true);
    if (talvo_test::Rank() != 0) return;
    const double base = SoilHeatConfig::kDefaults[SoilHeatConfig::LowBoundBase];
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c)
            EXPECT_NEAR(read[r][c], submodel_test::kZones[r - 1][c - 1] == -9999 ? -9999.0 : -0.01 * z[r][c] + base,
                        1e-5) << r << c;  // written in single precision
}

TEST_F(SoilModelTest, ControlPointFilesAndStartSummary) {
    SoilSection s;
    s.controlRow = 2;
    s.controlCol = 2;
    ASSERT_EQ(Build(s.Text()), 0u) << console_.str();
    MPI_Barrier(MPI_COMM_WORLD);
    auto header = [](const char* head, int from) {
        std::string t = StrFormat("YY\tMM\tDD\tHH\t%s[2][2]", head);
        for (int k = from; k <= 10; ++k) t += StrFormat("[%d]\t", k);
        return t + "\n";
    };
    // Until their first records the headers wait under the temporary names.
    EXPECT_EQ(talvo_test::ReadFile("hhyd.txt.part"), header("hhyd", 1));
    EXPECT_EQ(talvo_test::ReadFile("qi.txt.part"), header("interflow_per_layer", 1));
    EXPECT_EQ(talvo_test::ReadFile("qbot.txt.part"), header("q_bottom", 1));
    const std::string etr = header("etr", 0);
    EXPECT_EQ(talvo_test::ReadFile("etr.txt.part"),
              etr.substr(0, etr.find("[0]")) + "(etr[0] is evaporation from first layer)" + etr.substr(etr.find("[0]")));
    EXPECT_NE(talvo_test::ReadFile("other.txt.part").find("\tAlbedo\tRSE\tLAI_1\tVCF_1\tRSC_1\tRSI_1\tROOT_1\tZ0_1\n"),
              std::string::npos);
    // Every process has read the headers before the owner puts the files in place.
    MPI_Barrier(MPI_COMM_WORLD);
    if (Own(2, 2)) {
        ASSERT_EQ(model_->pointBuffers.size(), 6u);
        EXPECT_EQ(model_->pointBuffers[0].capacity, 2097152 / (32 + 8 * 11));
        EXPECT_EQ(model_->pointBuffers[5].values, 6 + 19);
        double w = 0;
        for (int k = 1; k <= 10; ++k) w += Level("theta", 2, 2, k) * 0.1 * 1000.0;
        const std::string line = StrFormat("soil water content (for control point r=2 c=2) at model-start: %lf mm\n", w);
        EXPECT_NE(talvo_test::ReadFile(StrFormat("modell_%d.log", talvo_test::Rank())).find(line), std::string::npos);
    }
    // Every cell starts with the same column: the basin mean is the column's water.
    double column = 0;
    if (talvo_test::Rank() == 0) {
        for (int k = 1; k <= 10; ++k) column += Level("theta", 1, 2, k) * 0.1;
        const std::string log = talvo_test::ReadFile("modell_0.log");
        EXPECT_NE(log.find(StrFormat("mean soil water content for all cells at model-start: %lf m^3/m^2\n", column)),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("for partly or completely glacierized cells at model-start: 0.000000 m^3/m^2\n"),
                  std::string::npos);
    }
}

TEST_F(SoilModelTest, SummaryWeighsWaterByTheCellAreaLikeTheArea) {
    // Half a cell's area everywhere: the mean water of the basin is still the column's water.
    AddGrid("RelCellArea", 0.5);
    ASSERT_EQ(Build(SoilSection{}.Text()), 0u) << console_.str();
    if (talvo_test::Rank() != 0) return;
    double column = 0;
    for (int k = 1; k <= 10; ++k) column += Level("theta", 1, 2, k) * 0.1;
    const std::string log = talvo_test::ReadFile("modell_0.log");
    EXPECT_NE(log.find(StrFormat("mean soil water content for all cells at model-start: %lf m^3/m^2\n", column)),
              std::string::npos)
        << log;
}

TEST_F(SoilModelTest, SummaryOfAHalfGlacierizedBasinIsAMeanOverTheCells) {
    // Every cell half under ice: its ice-free half holds the column's water, its glacierized
    // half a saturated column. The basin's mean is the mean of the two halves, each line the
    // share of one half; no line can exceed a saturated column.
    AddGrid("ice_firn", 0.5);
    ASSERT_EQ(Build(SoilSection{}.Text()), 0u) << console_.str();
    if (talvo_test::Rank() != 0) return;
    double column = 0, saturated = 0;
    for (int k = 1; k <= 10; ++k) {
        column += Level("theta", 1, 2, k) * 0.1;
        saturated += soils_[1].theta_sat[static_cast<std::size_t>(k)] * 0.1;
    }
    const std::string log = talvo_test::ReadFile("modell_0.log");
    for (const auto& [part, value] :
         {std::pair<const char*, double>{"for all cells", 0.5 * column + 0.5 * saturated},
          {"for unglacierized or only partly unglacierized cells", 0.5 * column},
          {"for partly or completely glacierized cells", 0.5 * saturated}})
        EXPECT_NE(log.find(StrFormat("mean soil water content %s at model-start: %lf m^3/m^2\n", part, value)),
                  std::string::npos)
            << part << " " << value << "\n" << log;
}

TEST_F(SoilModelTest, NegativeCapacityReductionStopsTheStart) {
    soils_[1].CapacityRedu = -0.5;
    EXPECT_EQ(Build(SoilSection{}.Text()), 17u);
    EXPECT_TRUE(Logged("soil type 1 (loam): CapacityRedu = -0.5 is negative")) << console_.str();
}

TEST_F(SoilModelTest, GlacierTableFromProcessZero) {
    Matrix& ice = AddGrid("ice_firn", 0.0);
    ice[1][2] = 0.5;  // zone 3
    ice[4][2] = 1.0;  // zone 9
    ASSERT_EQ(Build(SoilSection{}.Text()), 0u) << console_.str();
    const auto& t = model_->glacier_table;
    ASSERT_EQ(t.size(), 4u);
    EXPECT_TRUE(t[1].glacierized);
    EXPECT_FALSE(t[2].glacierized);
    EXPECT_TRUE(t[3].glacierized);
    EXPECT_DOUBLE_EQ(t[1].fractionSum, 0.5);
    EXPECT_DOUBLE_EQ(t[1].iceFreeSum, 3.5);
    EXPECT_DOUBLE_EQ(t[2].iceFreeSum, 6.0);
    EXPECT_DOUBLE_EQ(t[3].iceFreeSum, 3.0);
}

TEST_F(SoilModelTest, LakesWithoutCodesAreOff) {
    ASSERT_EQ(Build(SoilSection{}.Text()), 0u);
    EXPECT_EQ(model_->lake_control, 0);
    EXPECT_TRUE(Logged("no LAKE-grid was found in unsatzon_model\nLake modelling is switched off for unsatzon_model."));
}

TEST_F(SoilModelTest, LakeMethodsSaturateAndLowerTheTerrain) {
    Matrix& lakes = AddGrid("lake_codes", -9999.0);
    lakes[2][3] = 1;
    lakes[3][3] = 0;
    AddGrid("max_ponding_storage", 2.0);  // m, held in mm
    SoilSection s;
    s.pond = 1;
    ASSERT_EQ(Build(s.Text() + "[lake_model]\n1 on\n2 method\n"), 0u) << console_.str();
    EXPECT_EQ(model_->lake_control, 1);
    for (const auto& cell : kCells) {
        const int r = cell[0], c = cell[1];
        if (!Own(r, c)) continue;
        const bool lake = c == 3 && (r == 2 || r == 3);
        EXPECT_DOUBLE_EQ((*store_[2].grid)[r][c], lake ? 998.0 : 1000.0);
        EXPECT_DOUBLE_EQ(Value("max_ponding_storage", r, c), 2000.0);
        EXPECT_NEAR(Value("groundwater_distance", r, c), lake ? 0.0 : -0.5, 1e-9);
        EXPECT_DOUBLE_EQ(Level("theta", r, c, 1), lake ? 0.4 : Level("theta", r, c, 1));
        if (lake) {
            EXPECT_DOUBLE_EQ(Value("slope_angle", r, c), 0.0);
        }
        // The heads were set from the terrain before it was lowered.
        EXPECT_DOUBLE_EQ(Level("geodetic_heads", r, c, 0), 1000.0);
    }
    // Response units switch lakes off.
    model_.reset();
    settings_.spinUpSwitch = 1;
    AddGrid("HydrologicResponseUnits", 0.0);
    AddGrid("MasterHydrologicResponseUnits", 1.0);
    ASSERT_EQ(Build(s.Text() + "[lake_model]\n1 on\n2 method\n"), 0u) << console_.str();
    EXPECT_EQ(model_->lake_control, 0);
}

TEST_F(SoilModelTest, ModesOneAndThreeReadTheStateAndRecomputeTheGeodeticHeads) {
    ASSERT_EQ(Build(SoilSection{}.Text()), 0u);
    for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
        for (int c = 1; c <= 5; ++c) {
            if (!Own(r, c)) continue;
            for (int k = 0; k <= 10; ++k) {
                model_->own.theta[r][c][k] = 0.3 + 0.001 * k;
                model_->own.geodeticHeads[r][c][k] = 5000.0;  // not what the terrain gives
            }
        }
    for (const char* name : {"theta.asc", "hh.asc", "hgeo.asc"}) {
        const Stack& s = std::string(name) == "hgeo.asc" ? model_->own.geodeticHeads : model_->own.theta;
        model_->WriteStack(name, s, 10, false, true);
    }
    model_.reset();
    WriteGridFile("gwstand.asc", -0.3);
    WriteGridFile("gwlevel.asc", 4.0);
    WriteGridFile("gwtheta.asc", 0.31);
    WriteGridFile("deltagw.asc", 0.7);
    for (int mode : {1, 3}) {
        SCOPED_TRACE(mode);
        model_.reset();
        SoilSection s;
        s.readgrid = mode;
        ASSERT_EQ(Build(s.Text()), 0u) << console_.str();
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            EXPECT_DOUBLE_EQ(Level("theta", r, c, 7), 0.307);
            EXPECT_DOUBLE_EQ(Level("hydraulic_heads", r, c, 7), 0.307);
            EXPECT_DOUBLE_EQ(Level("geodetic_heads", r, c, 0), 1000.0);
            EXPECT_NEAR(Level("geodetic_heads", r, c, 4), 999.6, 1e-12);
            EXPECT_DOUBLE_EQ(Value("groundwater_distance", r, c), -0.3);
            EXPECT_DOUBLE_EQ(Value("groundwater_level", r, c), 4.0);
            EXPECT_DOUBLE_EQ(Value("Theta_in_GWLEVEL", r, c), 0.31);
            EXPECT_DOUBLE_EQ(Value("baseflow", r, c), 0.7);
        }
        EXPECT_EQ(model_->GetReadGrid(), mode);
    }
}

// A state whose water contents no soil can hold (a damaged or foreign theta stack) stops the warm
// start with 71 on every process, instead of starting with water that does not exist.
TEST_F(SoilModelTest, AWarmStartFromWaterContentsNoSoilHoldsStops) {
    for (const double wrong : {5.0, -1.0}) {
        SCOPED_TRACE(wrong);
        model_.reset();
        ASSERT_EQ(Build(SoilSection{}.Text()), 0u);
        for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
            for (int c = 1; c <= 5; ++c)
                if (Own(r, c))
                    for (int k = 0; k <= 10; ++k) model_->own.theta[r][c][k] = r == 2 && c == 3 && k == 4 ? wrong : 0.3;
        for (const char* name : {"theta.asc", "hh.asc", "hgeo.asc"})
            model_->WriteStack(name, std::string(name) == "hgeo.asc" ? model_->own.geodeticHeads : model_->own.theta,
                               10, false, true);
        model_.reset();
        WriteGridFile("gwstand.asc", -0.3);
        WriteGridFile("gwlevel.asc", 4.0);
        WriteGridFile("gwtheta.asc", 0.31);
        WriteGridFile("deltagw.asc", 0.7);
        SoilSection s;
        s.readgrid = 1;
        EXPECT_EQ(Build(s.Text()), 71u);
        if (Own(2, 3)) {
            EXPECT_NE(console_.str().find("of level 4 at row 2, column 3 lies outside 0 .."), std::string::npos)
                << console_.str();
        }
    }
}

TEST_F(SoilModelTest, AWarmStartTakesTheRootZoneWaterAndIrrigationAmountsTheRunBeforeWrote) {
    // Irrigation reads the root zone's water and its own amounts of the step before ahead of the
    // soil's first step; a warm start whose run before wrote them (write code not 0) goes on from
    // them, one that did not starts from the start formula and 0.
    irrigation_.assign(2, irrigation_entry{});
    irrigation_[0].code = 1;
    irrigation_[1].code = 1;
    irrigation_[1].method = 3;
    irrigation_[1].origin = 2;
    irrigation_[1].psi_dry = 10.0;
    irrigation_[1].psi_wet = 1.0;
    settings_.irrigationTable = irrigation_.data();
    AddGrid("irrigation_codes", 1.0);
    ASSERT_EQ(Build(SoilSection{}.Text()), 0u);
    for (const char* name : {"theta.asc", "hh.asc", "hgeo.asc"})
        model_->WriteStack(name, std::string(name) == "hgeo.asc" ? model_->own.geodeticHeads : model_->own.theta, 10,
                           false, true);
    model_.reset();
    WriteGridFile("gwstand.asc", -0.3);
    WriteGridFile("gwlevel.asc", 4.0);
    WriteGridFile("gwtheta.asc", 0.31);
    WriteGridFile("deltagw.asc", 0.7);
    WriteGridFile("sb05.asc", 0.123);
    WriteGridFile("irrig.asc", 0.25);
    for (const bool written : {true, false}) {
        SCOPED_TRACE(written);
        model_.reset();
        SoilSection s;
        s.readgrid = 1;
        std::string text = s.Text();
        if (written)
            for (const char* name : {"sb05.asc\n0", "irrig.asc\n0"})
                text.replace(text.find(name), std::string(name).size(), std::string(name, std::string(name).size() - 1) + "1");
        ASSERT_EQ(Build(text), 0u) << console_.str();
        for (const auto& cell : kCells) {
            const int r = cell[0], c = cell[1];
            if (!Own(r, c)) continue;
            if (written) {
                EXPECT_DOUBLE_EQ(Value("SB_1_grid", r, c), 0.123);
                EXPECT_DOUBLE_EQ(Value("irrigation_amounts", r, c), 0.25);
            } else {
                EXPECT_GT(Value("SB_1_grid", r, c), 0.2);  // the start formula over the read theta
                EXPECT_EQ(Value("irrigation_amounts", r, c), 0.0);
            }
        }
    }
}
