// Soil heat transfer in model runs: a steady profile at the control point, a freezing column
// that admits less rain, the thaw depth, and the explicit against the implicit scheme.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tables/landuse_entry.hpp"
#include "unsatzon_fixture.hpp"

using namespace soil_test;

namespace {
constexpr int kCells[][2] = {{1, 2}, {1, 3}, {1, 4}, {2, 1}, {2, 2}, {2, 3}, {2, 4}, {2, 5},
                             {3, 1}, {3, 2}, {3, 3}, {3, 4}, {4, 2}, {4, 3}};

// "[heat_transfer]" with a method and a longest heat sub-step; the rest as HeatSection.
std::string Heat(int method, double longest = 1800.0) {
    std::string t = "[heat_transfer]\n1 on\n" + std::to_string(method) + " method\n0\n0\n";
    for (std::size_t k = 0; k < SoilHeatConfig::kConstantCount; ++k) {
        const double v = k == SoilHeatConfig::LongestStep ? longest : SoilHeatConfig::kDefaults[k];
        t += StrFormat("%.10g", v) + SoilHeatConfig::kKeys[k] + "\n";
    }
    return t + "tempfile.txt\ntemper.txt 0\ntemper.stk\n0\nthaw.asc\n0\n\n";
}

std::string Hourly(const std::string& text) {
    std::string t = text;
    const std::string from = "1440 time step";
    t.replace(t.find(from), from.size(), "60 time step");
    return t;
}

std::vector<std::string> Lines(const std::string& name) {
    std::ifstream in(name);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

class SoilHeatRunTest : public SoilModelTest {
protected:
    void SetGrid(const std::string& name, double value) {
        for (int i = 1; i < 1000; ++i)
            if (store_[i].internalName == name && store_[i].grid != nullptr)
                for (const auto& c : kCells) (*store_[i].grid)[c[0]][c[1]] = value;
    }
    unsigned Start(const std::string& sections) {
        const unsigned built = Build(sections);
        if (built != 0) return built;
        unsigned error = 0;
        model_->InitTracerGrids(error, 0, nullptr, nullptr, 0);
        model_->SelectWaterInput(false);
        return error;
    }
    void Rain(double mm) {
        for (const auto& c : kCells) (*model_->in.waterInput)[c[0]][c[1]] = mm;
    }
    void Step(int h, int day) {
        model_->BeginTimeStep(h, day, 1, 2021);
        model_->run(h, day, 1, 2021);
        model_->ComputeSubbasinRunoff();
    }
    // No water moves: no input, evaporation, transpiration, base flow or interflow.
    void Rest() {
        Rain(0.0);
        for (Matrix* m : {model_->in.potEvaporation, model_->in.potTranspiration[0], model_->in.potTranspiration[1]})
            for (const auto& c : kCells) (*m)[c[0]][c[1]] = 0.0;
    }
    void StartSteadyColumn(bool dump, bool closeAfterDump);
    static int DumpFiles() {
        int n = 0;
        for (const auto& e : std::filesystem::directory_iterator("."))
            n += e.path().extension() == ".dmp";
        return n;
    }
    static double Max(double v) {
        MPI_Allreduce(MPI_IN_PLACE, &v, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
        return v;
    }
};

// Five layers of 0.2 m, saturated and at rest, 10 degrees in the air and 8.5 below the profile.
void SoilHeatRunTest::StartSteadyColumn(bool dump, bool closeAfterDump) {
    soils_[1] = soil_entry(1);
    soils_[1].ParseSoilBlock(*log_,
                             "1 loam { method = MultipleHorizons; layers = 5; thickness = 0.2; ksat = 1e-5; "
                             "theta_sat = 0.4; theta_res = 0.05; alpha = 2.0; Par_n = 1.5; }",
                             "MultipleHorizons");
    AddGrid("temperature", 10.0);
    AddGrid("T_Lower_Boundary_Condition", 8.5);
    SetGrid("slope_angle", 0.0);
    SoilSection s;
    s.controlRow = 2;
    s.controlCol = 2;
    s.iniGwLevel = 1;
    std::string text = s.Text();
    text.replace(text.find("0.1 0.2 Q0"), 10, "0 0 Q0");
    ASSERT_EQ(Start(text + Heat(1)), 0u) << console_.str();
    Rest();
    for (const auto& c : kCells) {
        if (!Own(c[0], c[1])) continue;
        for (int k = 1; k <= 5; ++k) model_->own.theta[c[0]][c[1]][k] = 0.4;
    }
    model_->SetDumpMode(dump, closeAfterDump);
}

TEST_F(SoilHeatRunTest, ASaturatedColumnAtRestKeepsTheLinearProfileDayAfterDay) {
    StartSteadyColumn(false, false);
    const double expected[] = {9.85, 9.55, 9.25, 8.95, 8.65};
    for (int day = 1; day <= 4; ++day) {
        Step(24, day);
        for (const auto& c : kCells) {
            if (!Own(c[0], c[1])) continue;
            for (int k = 1; k <= 5; ++k)
                ASSERT_NEAR(Level("Soil_Temperature_Stack", c[0], c[1], k), expected[k - 1], 1e-9) << day << " " << k;
            // No layer reaches its freezing threshold: thawed through the profile.
            EXPECT_NEAR(Value("ThawDepthTMod", c[0], c[1]), 1.0, 1e-12);
        }
    }
    model_->WriteOutputs();
    MPI_Barrier(MPI_COMM_WORLD);
    EXPECT_EQ(DumpFiles(), 0);
    if (!Own(2, 2)) return;
    // The control point's temperature file: one record a day with the profile.
    const std::vector<std::string> lines = Lines(model_->heat.temperatureFile);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "YY\tMM\tDD\tHH\ttemper[2][2][1]\t[2]\t[3]\t[4]\t[5]\t");
    for (int day = 1; day <= 4; ++day)
        EXPECT_EQ(lines[static_cast<std::size_t>(day)],
                  StrFormat("2021\t1\t%d\t24\t9.85\t9.55\t9.25\t8.95\t8.65", day));
}

TEST_F(SoilHeatRunTest, TheLandUsesThawingNFactorScalesTheSurfaceTemperature) {
    // A land use without n-factors over the year, 0.5 when thawing: the surface of the columns
    // sees 5 of the 10 degrees, and the profile settles between 5 and the lower 8.5 degrees.
    std::vector<landuse_entry> landuse(2);
    landuse[0].code = 1;
    landuse[1].code = 1;
    landuse[1].nf_thawing = 0.5;
    landuse[1].nf_freezing = 2.0;
    settings_.landuseTable = landuse.data();
    StartSteadyColumn(false, false);
    for (int day = 1; day <= 60; ++day) Step(24, day % 28 + 1);
    for (const auto& c : kCells) {
        if (!Own(c[0], c[1])) continue;
        for (int k = 1; k <= 5; ++k)
            EXPECT_NEAR(Level("Soil_Temperature_Stack", c[0], c[1], k), 5.0 + 3.5 * (k - 0.5) / 5.0, 0.01) << k;
    }
    model_.reset();
    settings_.landuseTable = nullptr;
}

TEST_F(SoilHeatRunTest, ALandUseWithoutNFactorsLeavesThemToTheHeatSection) {
    // An entry that gives no n-factors (as every entry of the fixed-column format): the
    // section's n-factors apply, and the column settles on the profile it reaches without a
    // land-use table, not on one cut off from the air.
    std::vector<landuse_entry> landuse(2);
    landuse[0].code = 1;
    landuse[1].code = 1;
    settings_.landuseTable = landuse.data();
    StartSteadyColumn(false, false);
    for (int day = 1; day <= 4; ++day) Step(24, day);
    const double expected[] = {9.85, 9.55, 9.25, 8.95, 8.65};
    for (const auto& c : kCells) {
        if (!Own(c[0], c[1])) continue;
        for (int k = 1; k <= 5; ++k) EXPECT_NEAR(Level("Soil_Temperature_Stack", c[0], c[1], k), expected[k - 1], 1e-9) << k;
    }
    model_.reset();
    settings_.landuseTable = nullptr;
}

TEST_F(SoilHeatRunTest, AFreezingColumnAdmitsLessRainThanTheSameColumnWithoutHeat) {
    // A day under -10 degrees freezes the column from the top, then an hour of rain.
    AddGrid("temperature", -10.0);
    SoilSection s;
    s.iniGwLevel = 1;  // the table in the last layer
    auto run = [&](const std::string& heat, double& excess, double& thaw, double& top) {
        ASSERT_EQ(Start(Hourly(s.Text()) + heat), 0u) << console_.str();
        Rest();
        for (int h = 0; h < 24; ++h) Step(h, 1);
        Rain(5.0);
        Step(0, 2);
        excess = Own(2, 2) ? Value("infiltration_excess", 2, 2) : 0.0;
        thaw = heat.empty() || !Own(2, 2) ? 0.0 : Value("ThawDepthTMod", 2, 2);
        top = heat.empty() || !Own(2, 2) ? 0.0 : Level("Soil_Temperature_Stack", 2, 2, 1);
        model_.reset();
    };
    double frozen = 0, open = 0, thaw = 0, top = 0, unused = 0;
    run(Heat(1), frozen, thaw, top);
    run("", open, unused, unused);
    if (!Own(2, 2)) return;
    // Frozen from the top: the top layer is below 0 and the thaw depth is 0.
    EXPECT_LT(top, -1.0);
    EXPECT_EQ(thaw, 0.0);
    // Of 5 mm of rain in an hour the open column takes nearly all, the frozen one less than half.
    EXPECT_LT(open, 0.5);
    EXPECT_GT(frozen, open + 2.5) << frozen << " " << open;
}

TEST_F(SoilHeatRunTest, FrozenLayersAtAndBelowTheTableAreHandedToTheGroundwaterModel) {
    // Air at -10 and 5 degrees below the profile: the upper half of the column is frozen, the
    // table in layer 5.
    AddGrid("temperature", -10.0);
    AddGrid("gw_k_x_1", 1e-4);
    AddGrid("gw_k_y_1", 1e-4);
    SoilSection s;
    s.iniGwLevel = 2;
    ASSERT_EQ(Start(Hourly(s.Text()) + Heat(11)), 0u) << console_.str();
    model_->EnableGroundwater();
    Rest();
    Step(0, 1);
    if (!Own(2, 2)) return;
    const int g = static_cast<int>(Value("groundwater_level", 2, 2));
    const std::vector<double>& threshold = model_->freezingThreshold[1];
    double frozen = 0;
    for (int k = g; k <= 10; ++k)
        if (Level("Soil_Temperature_Stack", 2, 2, k) <= threshold[static_cast<std::size_t>(k)]) frozen += 0.1;
    EXPECT_EQ(g, 5);
    EXPECT_GE(frozen, 0.1);
    EXPECT_LE(frozen, 0.5);
    EXPECT_NEAR(Value("frozenSoilInGroundwater", 2, 2), frozen, 1e-9);
}

TEST_F(SoilHeatRunTest, ExplicitAndImplicitAgreeWithShortHeatSteps) {
    Matrix& air = AddGrid("temperature", 0.0);
    AddGrid("T_Lower_Boundary_Condition", 5.0);
    auto run = [&](int method, double longest) {
        for (const auto& c : kCells) air[c[0]][c[1]] = 0.0;
        EXPECT_EQ(Start(Hourly(SoilSection{}.Text()) + Heat(method, longest)), 0u) << console_.str();
        Rest();
        Step(0, 1);
        // A swing of 10 K in the air.
        for (const auto& c : kCells) air[c[0]][c[1]] = 10.0;
        for (int h = 1; h <= 6; ++h) Step(h, 1);
        std::vector<double> T;
        for (const auto& c : kCells)
            for (int k = 1; k <= 10; ++k)
                T.push_back(Own(c[0], c[1]) ? Level("Soil_Temperature_Stack", c[0], c[1], k) : 0.0);
        model_.reset();
        return T;
    };
    auto difference = [](const std::vector<double>& a, const std::vector<double>& b) {
        double d = 0;
        for (std::size_t i = 0; i < a.size(); ++i) d = std::max(d, std::fabs(a[i] - b[i]));
        return Max(d);
    };
    const std::vector<double> explicitShort = run(1, 300.0), implicitShort = run(11, 300.0);
    const std::vector<double> explicitLong = run(1, 1800.0), implicitLong = run(11, 1800.0);
    const double shortSteps = difference(explicitShort, implicitShort);
    const double longSteps = difference(explicitLong, implicitLong);
    EXPECT_LT(shortSteps, 0.05);
    EXPECT_GT(longSteps, shortSteps);
    // The top layer warmed towards the air.
    EXPECT_GT(Max(implicitShort[40]), 1.0);
    std::printf("explicit - implicit: %.4f K at 300 s, %.4f K at 1800 s\n", shortSteps, longSteps);
}

TEST_F(SoilHeatRunTest, DumpModeWritesTheImplausibleColumnInItsOrder) {
    StartSteadyColumn(true, false);
    model_->BeginTimeStep(24, 1, 1, 2021);
    // Layer 3 of cell (2, 2) far too warm: still above 50 degrees after the heat steps.
    if (Own(2, 2)) model_->own.soilTemperature[2][2][3] = 1000.0;
    model_->run(24, 1, 1, 2021);
    MPI_Barrier(MPI_COMM_WORLD);
    EXPECT_EQ(DumpFiles(), 1);
    if (!Own(2, 2)) return;
    const std::string name = "h_dump_row_2_col_2_substep_1_2021010124.dmp";
    std::ifstream in(name, std::ios::binary);
    ASSERT_TRUE(in.good()) << name;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t L = 6, V = 2;  // n + 1 values per array, V + 1 vegetation values
    const std::size_t expected = 4 + 3 * 8 + V * 8 + 14 * L * 8 + 7 * L * 8 + 8 + 4 + V * 8 + 16 + 16 + 8 + 4 + 8;
    ASSERT_EQ(bytes.size(), expected);
    auto number = [&](std::size_t at) {
        double v;
        std::memcpy(&v, bytes.data() + at, 8);
        return v;
    };
    const std::size_t arrays = 4 + 24 + V * 8;
    // theta (array 14) saturated, the temperatures before the heat steps (array 16) hold the 1000.
    EXPECT_DOUBLE_EQ(number(arrays + 13 * L * 8 + 3 * 8), 0.4);
    EXPECT_DOUBLE_EQ(number(arrays + 15 * L * 8 + 3 * 8), 1000.0);
    EXPECT_LT(number(arrays + 20 * L * 8 + 3 * 8), 1000.0);
    // The air temperature ends the file.
    EXPECT_DOUBLE_EQ(number(bytes.size() - 8), 10.0);
}

TEST_F(SoilHeatRunTest, CloseAfterDumpEndsTheRunAfterTheFirstFile) {
    StartSteadyColumn(true, true);
    model_->BeginTimeStep(24, 1, 1, 2021);
    // Every process holds such a column; each writes one file and stops.
    for (const auto& c : kCells)
        if (Own(c[0], c[1])) model_->own.soilTemperature[c[0]][c[1]][2] = 1000.0;
    EXPECT_EQ(submodel_test::CodeOf([&] { model_->run(24, 1, 1, 2021); }), 199);
    EXPECT_TRUE(Logged(" a dumpfile has been written and Talvo aborts now."));
    MPI_Barrier(MPI_COMM_WORLD);
    EXPECT_EQ(DumpFiles(), talvo_test::Size());
}

TEST_F(SoilHeatRunTest, AWarmStartContinuesTheTemperaturesBitForBit) {
    Matrix& air = AddGrid("temperature", -4.0);
    AddGrid("T_Lower_Boundary_Condition", 3.0);
    auto hour = [&](int h) {
        // Air between -6 and +6 degrees, rain in the afternoon: freezing, thawing and advection.
        for (const auto& c : kCells) air[c[0]][c[1]] = 6.0 * std::sin(0.5 * h + c[1]);
        Rain(h >= 5 ? 2.0 : 0.0);
        Step(h, 1);
    };
    SoilSection cold;
    ASSERT_EQ(Start(Hourly(cold.Text()) + Heat(12)), 0u) << console_.str();
    for (int h = 1; h <= 8; ++h) hour(h);
    std::vector<double> once;
    for (const auto& c : kCells)
        for (int k = 1; k <= 10; ++k)
            once.push_back(Own(c[0], c[1]) ? Level("Soil_Temperature_Stack", c[0], c[1], k) : 0.0);
    model_.reset();

    // Four hours, then the state files in double precision, as a run leaves them.
    ASSERT_EQ(Start(Hourly(cold.Text()) + Heat(12)), 0u) << console_.str();
    for (int h = 1; h <= 4; ++h) hour(h);
    for (const auto& [file, name] : std::vector<std::pair<std::string, std::string>>{
             {"theta.asc", "theta"}, {"hgeo.asc", "geodetic_heads"}, {"hh.asc", "hydraulic_heads"},
             {"temper.stk", "Soil_Temperature_Stack"}})
        model_->WriteStack(file, *store_[FindGridIndex(name)].stack, 10, false, true);
    for (const auto& [file, name] : std::vector<std::pair<std::string, std::string>>{
             {"gwstand.asc", "groundwater_distance"}, {"gwlevel.asc", "groundwater_level"},
             {"gwtheta.asc", "Theta_in_GWLEVEL"}, {"deltagw.asc", "baseflow"}}) {
        const int index = FindGridIndex(name);
        const Matrix whole = model_->MPIGatherGridCopy(index);
        if (talvo_test::Rank() == 0)
            model_->WriteGrid(file, whole.empty() ? *store_[index].grid : whole, false, true);
    }
    model_->WriteStorageState(false);
    MPI_Barrier(MPI_COMM_WORLD);
    model_.reset();

    SoilSection warm;
    warm.readgrid = 1;
    ASSERT_EQ(Start(Hourly(warm.Text()) + Heat(12)), 0u) << console_.str();
    for (int h = 5; h <= 8; ++h) hour(h);
    std::size_t i = 0;
    for (const auto& c : kCells)
        for (int k = 1; k <= 10; ++k, ++i)
            if (Own(c[0], c[1])) {
                EXPECT_EQ(Level("Soil_Temperature_Stack", c[0], c[1], k), once[i]) << c[0] << " " << c[1] << " " << k;
            }
}

}  // namespace
