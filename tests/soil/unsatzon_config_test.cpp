// The soil model's section, per-subbasin rows, heat transfer, tuning and their error codes.
#include <gtest/gtest.h>
#include <mpi.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "unsatzon_fixture.hpp"

using namespace soil_test;
using submodel_test::Contains;

TEST_F(SoilModelTest, SwitchedOffBuildsNothingAndGettersAreNull) {
    SoilSection s;
    s.flowControl = 0;
    ASSERT_EQ(Build(s.Text()), 0u);
    EXPECT_EQ(model_->GetKelsqd(), nullptr);
    EXPECT_EQ(model_->GetStorageFileName(), nullptr);
    EXPECT_EQ(model_->SoilZoneIndex(), settings_.zoneIndex);
    model_->run(24, 1, 1, 2020);  // an inactive module returns at once
}

TEST_F(SoilModelTest, SubbasinRowsShareTheFirstListedParameters) {
    SoilSection s;
    s.kelsqd = "2 0";
    s.kelsqlat = "0.5 -1";
    ASSERT_EQ(Build(s.Text()), 0u) << console_.str();
    const SubbasinParameters& p = model_->subbasins;
    // Codes 3, 5, 9 at positions 1..3; 5 is not listed and takes the values of 3.
    EXPECT_EQ(p.subbasin_codes, (SubbasinValues{0, 3, 5, 9}));
    EXPECT_EQ(*model_->GetKelsqd(), (SubbasinValues{0, 120, 120, 0.06}));
    EXPECT_EQ(p.kelsqi, (SubbasinValues{0, 60, 60, 60}));
    EXPECT_EQ(p.kelsqlat, (SubbasinValues{0, 2, 2, 0}));
    EXPECT_EQ(p.Q0, (SubbasinValues{0, 0.1, 0.1, 0.2}));
    EXPECT_EQ(p.SR_Anteil, (SubbasinValues{0, 0.3, 0.3, 0.4}));
    EXPECT_EQ(*model_->GetStorageFileName(), "storage.txt_" + std::to_string(talvo_test::Rank()));
    EXPECT_TRUE(Logged("file unsatzon, compiled at "));
    // The soil model hands out its own ranking.
    EXPECT_EQ(model_->SoilZoneIndex(), &model_->soilZones.index);
    EXPECT_EQ(model_->soilZones.zoneCount, 3);
}

TEST_F(SoilModelTest, ZeroRecessionGivesNoBaseFlowInsteadOfInfinity) {
    SoilSection s;
    s.kelsqlat = "0 0.5";
    ASSERT_EQ(Build(s.Text()), 0u) << console_.str();
    const SubbasinParameters& p = model_->subbasins;
    EXPECT_EQ(p.kelsqlat, (SubbasinValues{0, 0, 0, 2}));
    EXPECT_EQ(p.Q0, (SubbasinValues{0, 0, 0, 0.2}));
    // Q0 x exp(distance x kelsqlat) is 0 at the surface and at any depth.
    for (double distance : {0.0, -1.0, -10.0}) EXPECT_EQ(p.Q0[1] * std::exp(distance * p.kelsqlat[1]), 0.0);
    const std::string text = console_.str();
    EXPECT_EQ(text.find("INFO: a recession constant kelsqlat of 0"),
              text.rfind("INFO: a recession constant kelsqlat of 0"));
}

TEST_F(SoilModelTest, MethodThreeReadsFourMoreValues) {
    SoilSection s;
    s.method = 3;
    ASSERT_EQ(Build(s.Text()), 0u) << console_.str();
    EXPECT_DOUBLE_EQ(model_->config.dParameterMinStep, 60);
    EXPECT_EQ(model_->config.substepGrid.name, "substeps.asc");
    EXPECT_GT(FindGridIndex("number_of_substeps"), 0);
    // Method 2 reads none of them: the next section line would be a failed read otherwise.
    s.method = 2;
    model_.reset();
    ASSERT_EQ(Build(s.Text()), 0u);
    EXPECT_EQ(FindGridIndex("number_of_substeps"), 0);
}

TEST_F(SoilModelTest, ConstructionErrorsCarryTheirCodes) {
    struct Case {
        const char* what;
        SoilSection section;
        std::string extra;
        unsigned code;
        const char* message;
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, auto change, unsigned code, const char* message, std::string extra = "") {
        SoilSection s;
        change(s);
        cases.push_back({what, s, extra, code, message});
    };
    add("method", [](SoilSection& s) { s.method = 4; }, 91, "invalid method (4)");
    add("row", [](SoilSection& s) { s.controlRow = 5; }, 8, "row index (5) for output-cell must be between 1 and 4");
    add("column", [](SoilSection& s) { s.controlCol = 6; }, 9, "column index (6)");
    add("code", [](SoilSection& s) { s.codeRow = "4 9"; }, 10, "error! there is no code 4");
    add("first code", [](SoilSection& s) { s.codeRow = "5 9"; }, 10, "possible error by using the same parameters");
    add("value", [](SoilSection& s) { s.kelsqd = "2 x"; }, 10, "error reading kelsqd[9] for unsatzon_model");
    // Rows stand on one line each: a short row names itself, not the row after it.
    add("short row", [](SoilSection& s) { s.kelsqd = "2"; }, 10,
        "-----------------error------------\nerror reading kelsqd[9] for unsatzon_model\npossible error");
    add("long row", [](SoilSection& s) { s.kelsqlat = "0.5 0.5 0.5"; }, 10,
        "error reading the row kelsqlat for unsatzon_model\npossible error");
    add("code row", [](SoilSection& s) { s.codeRow = "3\n9"; }, 10,
        "the code row \"3\" ends before the largest subbasin code 9");
    add("fraction", [](SoilSection& s) { s.kelsqlat = "0.5 0.5\n1 1 Q0\n0.3 1.5"; }, 17,
        "SnowRunoff_fraction[9] (row \"0.3 1.5\"); unsatzon_model: the value 1.5 in section [unsatzon_model] must be "
        "in [0, 1]!");
    add("ini level", [](SoilSection& s) { s.iniGwLevel = 0; }, 17, " ini_gw_level  ");
    add("lake pond", [](SoilSection&) {}, 215, "pond_use must be set in unsatzon_model",
        "[lake_model]\n1\n1\n");
    add("lake method", [](SoilSection& s) { s.pond = 1; }, 215, "Allowed values are 1 (no change of grids)",
        "[lake_model]\n1\n3\n");
    add("missing value", [](SoilSection& s) { s.methodThreeLines = ""; s.method = 3; }, 17,
        "minimum dynamic time step in secounds ");
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        console_.str("");
        model_.reset();
        if (std::string(c.what).rfind("lake", 0) == 0 && FindGridIndex("lake_codes") == 0) {
            AddGrid("lake_codes", 1.0);
            AddGrid("max_ponding_storage", 0.5);
        }
        model_.reset();
        EXPECT_EQ(Build(c.section.Text() + c.extra), c.code);
        EXPECT_TRUE(Logged(c.message));
    }
}

TEST_F(SoilModelTest, SurfaceInteractionAboveOneNeedsOneProcess) {
    SoilSection s;
    s.surfaceInteraction = 2;
    const unsigned error = Build(s.Text());
    EXPECT_EQ(error, talvo_test::Size() > 1 ? 9u : 0u);
    if (talvo_test::Size() == 1) {
        EXPECT_EQ(model_->config_tag, "+srf2,");
    }
}

TEST_F(SoilModelTest, HeatTransferDefaultsAndValues) {
    ASSERT_EQ(Build(SoilSection{}.Text()), 0u);
    EXPECT_FALSE(model_->heat.on());
    EXPECT_EQ(model_->heat.constants, SoilHeatConfig::kDefaults);
    model_.reset();
    AddGrid("temperature", 0.0);
    soils_[1].KMinFrozenSoil = -1.0;
    ASSERT_EQ(Build(SoilSection{}.Text() + HeatSection(-0.006)), 0u) << console_.str();
    EXPECT_TRUE(model_->heat.on());
    EXPECT_DOUBLE_EQ(model_->heat[SoilHeatConfig::LapseRate], -0.006);
    EXPECT_DOUBLE_EQ(model_->heat[SoilHeatConfig::NFactorThawing], 1.0);
    // Dry-soil properties the table lacks are filled in, and the freezing tables exist.
    EXPECT_DOUBLE_EQ(soils_[1].KMinFrozenSoil, 1e-10);
    EXPECT_FALSE(soils_[1].unfrozenSaturation[1].empty());
}

TEST_F(SoilModelTest, TuningScanEndsAtTheFirstEmptyLine) {
    ASSERT_EQ(Build(SoilSection{}.Text() + "[unsatzon_tuning]\n  max_error = 1e-4\nmax_iterations = 50\n"), 0u);
    EXPECT_DOUBLE_EQ(model_->max_error, 1e-4);
    EXPECT_DOUBLE_EQ(model_->max_iterations, 50);
    model_.reset();
    ASSERT_EQ(Build(SoilSection{}.Text() + "[unsatzon_tuning]\n\t \nmax_error = 1e-4\n"), 0u);
    EXPECT_DOUBLE_EQ(model_->max_error, 1e-5);
    // An error bound of 0 iterates up to the limit; a limit that allows no iteration, or a negative
    // bound, is refused.
    model_.reset();
    ASSERT_EQ(Build(SoilSection{}.Text() + "[unsatzon_tuning]\nmax_error = 0\n"), 0u) << console_.str();
    EXPECT_EQ(model_->max_error, 0.0);
    const std::pair<const char*, const char*> refused[] = {
        {"max_iterations = 0", "max_iterations; unsatzon_model: the value 0 in section [unsatzon_tuning] must be in [1, 2147483647]!"},
        {"max_iterations = 1e12", "the value 1000000000000 in section [unsatzon_tuning]"},
        {"max_error = -1e-4", "max_error; unsatzon_model: the value -0.0001 in section [unsatzon_tuning] must be >= 0!"}};
    for (const auto& [line, text] : refused) {
        model_.reset();
        EXPECT_EQ(Build(SoilSection{}.Text() + "[unsatzon_tuning]\n" + line + "\n"), 17u) << line;
        EXPECT_TRUE(Logged(text)) << line << "\n" << console_.str();
    }
}

TEST_F(SoilModelTest, StepsWithSoilHeatRunAndCarryTheTemperatures) {
    AddGrid("temperature", 5.0);
    ASSERT_EQ(Build(SoilSection{}.Text() + HeatSection()), 0u) << console_.str();
    unsigned error = 0;
    model_->InitTracerGrids(error, 0, nullptr, nullptr, 0);
    model_->SelectWaterInput(false);
    model_->BeginTimeStep(24, 1, 1, 2020);
    EXPECT_EQ(submodel_test::CodeOf([&] { model_->run(24, 1, 1, 2020); }), 0);
    EXPECT_FALSE(Logged("not implemented"));
    // Between 5 degrees in the air and the lower boundary of 12 - 0.007 x 1000 = 5 degrees.
    if (Own(2, 2)) {
        for (int k = 1; k <= 10; ++k) EXPECT_NEAR(Level("Soil_Temperature_Stack", 2, 2, k), 5.0, 1e-9) << k;
    }
}

TEST_F(SoilModelTest, StackWithOneLevelTooFewIsRefused) {
    ASSERT_EQ(Build(SoilSection{}.Text()), 0u);
    model_->WriteStack("theta.asc", model_->own.theta, 9, true, false);
    MPI_Barrier(MPI_COMM_WORLD);
    model_.reset();
    SoilSection s;
    s.readgrid = 1;
    EXPECT_EQ(Build(s.Text()), 13u);
    EXPECT_TRUE(Logged("wrong number of levels in stack theta.asc (there are 9 level, it must be 10"));
}

TEST_F(SoilModelTest, PermafrostConductivityOnlyWithTheThreeGrids) {
    const std::string permafrost = "[permafrost]\n1 method\n5 age\n10 swe\nthaw.txt 0\n2e-8 reduced k_sat\n";
    ASSERT_EQ(Build(SoilSection{}.Text() + permafrost), 0u);
    EXPECT_DOUBLE_EQ(model_->reduced_ksat, 1e-9);  // no permafrost grids: the default
    model_.reset();
    for (const char* name : {"PermafrostThawDepth", "SnowFreeDaysGrid", "ThawCoeffPermaFrost"}) AddGrid(name, 0.0);
    ASSERT_EQ(Build(SoilSection{}.Text() + permafrost), 0u) << console_.str();
    EXPECT_DOUBLE_EQ(model_->reduced_ksat, 2e-8);
    EXPECT_NE(model_->in.permafrostThawDepth, nullptr);
    // The grids make the section required.
    model_.reset();
    EXPECT_EQ(Build(SoilSection{}.Text()), 17u);
    // A conductivity of 0 is no soil.
    model_.reset();
    EXPECT_EQ(Build(SoilSection{}.Text() + "[permafrost]\n1 method\n5 age\n10 swe\nthaw.txt 0\n0 reduced k_sat\n"), 17u);
    EXPECT_TRUE(Logged("reduced k_sat (in m/s); unsatzon_model: the value 0 in section [permafrost] must be > 0!"))
        << console_.str();
}

TEST_F(SoilModelTest, StatisticsTablesStartWithTheirTitles) {
    SoilSection s;
    ASSERT_EQ(Build(s.Text()), 0u);
    EXPECT_EQ(model_->statistics[SoilModelConfig::QD]->active(), false);  // code 0: off
    EXPECT_EQ(model_->statistics[unsatzonmodellklasse::SUBSTEPS], nullptr);
    EXPECT_EQ(model_->statistics[SoilModelConfig::POND], nullptr);  // no ponding grid
    model_.reset();
    std::string text = s.Text();
    text.replace(text.find("QD.txt 0"), 8, "QD.txt 2001");
    ASSERT_EQ(Build(text), 0u) << console_.str();
    EXPECT_TRUE(model_->statistics[SoilModelConfig::QD]->active());
    MPI_Barrier(MPI_COMM_WORLD);
    // Until its first rows the header waits under the temporary name.
    EXPECT_NE(talvo_test::ReadFile("QD.txt.part").find("direct discharge [mm per Zone] (QD)"), std::string::npos);
    // Every process has read the header before process 0 puts the table in place on release.
    MPI_Barrier(MPI_COMM_WORLD);
}

TEST_F(SoilModelTest, FreezingTablesOfEveryLayerFollowItsOwnParameters) {
    // Layers of one horizon, and a horizon of the second soil alike to one of the first, share
    // their tables; every layer's must be those of its own parameters to the last bit, and the
    // horizons with other parameters must not take another's.
    const char* first =
        "1 layered { method = MultipleHorizons; layers = 4 6; thickness = 0.1; ksat = 2e-5 6e-7; "
        "theta_sat = 0.45 0.38; theta_res = 0.05 0.068; alpha = 2.0 0.8; Par_n = 1.5 1.09; }";
    const char* second =
        "2 sandy { method = MultipleHorizons; layers = 3 7; thickness = 0.1; ksat = 8e-5 7e-7; "
        "theta_sat = 0.38 0.46; theta_res = 0.05 0.034; alpha = 14.5 0.8; Par_n = 2.68 1.09; }";
    TwoSoils(first, second);
    AddGrid("temperature", 0.0);
    ASSERT_EQ(Build(SoilSection{}.Text() + HeatSection()), 0u) << console_.str();
    ASSERT_TRUE(model_->heat.on());
    const double factor = model_->heat[SoilHeatConfig::Factor];
    auto bits = [](const std::vector<double>& v) {
        std::vector<std::uint64_t> b;
        for (const double x : v) b.push_back(std::bit_cast<std::uint64_t>(x));
        return b;
    };
    const char* blocks[] = {nullptr, first, second};
    for (int s = 1; s <= 2; ++s) {
        soil_entry alone(s);
        alone.ParseSoilBlock(*log_, blocks[s], "MultipleHorizons");
        ASSERT_EQ(alone.GetLayerCount(), 10);
        for (int k = 1; k <= 10; ++k) {
            alone.ComputeFreezingTables(k, factor);
            const soil_entry& e = soils_[static_cast<std::size_t>(s)];
            const std::size_t i = static_cast<std::size_t>(k);
            ASSERT_FALSE(e.unfrozenSaturation[i].empty()) << s << " " << k;
            EXPECT_EQ(bits(e.unfrozenSaturation[i]), bits(alone.unfrozenSaturation[i])) << s << " " << k;
            EXPECT_EQ(bits(e.unfrozenDerivative[i]), bits(alone.unfrozenDerivative[i])) << s << " " << k;
            EXPECT_EQ(bits(e.freezingOffset[i]), bits(alone.freezingOffset[i])) << s << " " << k;
        }
    }
    // The sandy top horizon has parameters of its own: its tables differ from the loam's.
    EXPECT_NE(soils_[2].unfrozenSaturation[1], soils_[1].unfrozenSaturation[1]);
    // The lower horizons share their parameters across the soils, and so their tables.
    EXPECT_EQ(soils_[2].unfrozenSaturation[10], soils_[1].unfrozenSaturation[10]);
}
