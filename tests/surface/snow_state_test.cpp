// The snow section of the storage content file, the links to the other sub-models, tracer
// grids, statistics flushes and teardown.
#include <gtest/gtest.h>

#include <filesystem>

#include "kernel/statefiles.hpp"
#include "setup/tracer_ini.hpp"
#include "snow_test_domain.hpp"

namespace {

using snow_test::SectionOptions;

class SnowState : public snow_test::SnowDomain {
protected:
    void SetUp() override {
        SnowDomain::SetUp();
        // Two subbasins in "zonegrid_soilmodel".
        Matrix& two = Grid("two", 0);
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) two[r][c] = zone_[r][c] == -9999 ? -9999 : (c <= 2 ? 4 : 7);
        for (int i = 1; i < 1000; ++i)
            if (store_[i].internalName == "zonegrid_soilmodel") store_[i].grid = &two;
        file_ = "state_" + std::to_string(talvo_test::Rank()) + ".txt";
    }
    // A model with one non-evaporating tracer "cl_" entering at the given concentration.
    std::unique_ptr<schneemodellklasse> WithOneTracer(std::vector<TracerDescriptor>& d, double maxConc,
                                                      double input) {
        d.assign(2, TracerDescriptor{});
        d[1].name = "cl_";
        d[1].max_conc = maxConc;
        Add("concflux_tracer_1_input", input);
        auto snow = Ready();
        unsigned error = 9;
        snow->LinkTracerGrids(error, 1, d.data(), nullptr, 0);
        EXPECT_EQ(error, 0u);
        if (error != 0) return nullptr;
        snow->LinkPrecipitation(false);
        return snow;
    }
    std::unique_ptr<schneemodellklasse> Ready() {
        unsigned code = 9;
        auto snow = Make(SectionOptions{}, &code);
        EXPECT_EQ(code, 0u) << console_.str();
        return snow;
    }
    std::string file_;
};

const char* kTwoBasins =
    "[snow_model]\n2 (number of subasins)\n"
    "1\t1.500000(TG code and Qice_slr value)\n1\t0.000000(TG code and Qfirn_slr value)\n"
    "1\t0.000000(TG code and Qsnow_slr value)\n"
    "2\t2.000000(TG code and Qice_slr value)\n2\t0.000000(TG code and Qfirn_slr value)\n"
    "2\t0.000000(TG code and Qsnow_slr value)\n\n";

TEST_F(SnowState, WritesTheSectionAndReadsItBack) {
    auto snow = Ready();
    snow->SetGlacierOutflows({0, 1.5, 2}, {}, {0, 0, 0});
    snow->ReadStorageFile(&file_, 1);  // keeps the name; the firn array is missing, so nothing is read
    snow->WriteStorageFile(false);
    EXPECT_EQ(talvo_test::ReadFile(file_), kTwoBasins);

    auto again = Ready();
    again->SetGlacierOutflows({0, 0, 0}, {0, 9, 9}, {0, 9, 9});
    again->ReadStorageFile(&file_, 1);
    EXPECT_EQ(again->Qice_slr, (std::vector<double>{0, 1.5, 2}));
    EXPECT_EQ(again->Qfirn_slr, (std::vector<double>{0, 0, 0}));
}

TEST_F(SnowState, MismatchesStopWith71) {
    auto snow = Ready();
    snow->SetGlacierOutflows({0, 0, 0}, {0, 0, 0}, {0, 0, 0});
    talvo_test::WriteFile(file_, "other\n[snow_model]\n3 (number of subasins)\n");
    EXPECT_EQ(submodel_test::CodeOf([&] { snow->ReadStorageFile(&file_, 1); }), 71);
    EXPECT_TRUE(Entry("FATAL: (snow model) error in storage file content reading number of subbasins:\nvalue in "
                      "actual control is:   2\nbut value in storage file is: 3\nTalvo throws..."));
    std::string swapped = kTwoBasins;
    swapped.replace(swapped.find("2\t2.0"), 1, "5");
    talvo_test::WriteFile(file_, swapped);
    EXPECT_EQ(submodel_test::CodeOf([&] { snow->ReadStorageFile(&file_, 1); }), 71);
    EXPECT_TRUE(Logged("reading subbasin code"));
    // An outflow that is no finite number is refused, never restored.
    for (const char* bad : {"nan", "-inf"}) {
        std::string text = kTwoBasins;
        text.replace(text.find("2\t2.000000"), 10, std::string("2\t") + bad);
        talvo_test::WriteFile(file_, text);
        EXPECT_EQ(submodel_test::CodeOf([&] { snow->ReadStorageFile(&file_, 1); }), 71) << bad;
        EXPECT_TRUE(Logged(std::string("reading Qice_slr of subbasin 2 in ") + file_ + ": the value " + bad +
                           " is not a finite number"));
    }
}

TEST_F(SnowState, MissingFileOrSectionStartsCold) {
    auto snow = Ready();
    snow->SetGlacierOutflows({0, 3, 3}, {0, 3, 3}, {0, 3, 3});
    snow->ReadStorageFile(&file_, 1);
    EXPECT_TRUE(Logged("in snow/glacier model: error opening storage content file " + file_));
    EXPECT_TRUE(Logged("glacier model will be run with cold start initialization values"));
    talvo_test::WriteFile(file_, "[unsatzon_model]\n1 2 3\n");
    console_.str("");
    snow->ReadStorageFile(&file_, 1);
    EXPECT_TRUE(Logged("in snow/glacier model: [snow_model] not found in storage content file " + file_));
    EXPECT_EQ(snow->Qice_slr[1], 3.0);
    // Modes 0, 2 and 4 read nothing.
    talvo_test::WriteFile(file_, kTwoBasins);
    for (unsigned mode : {0u, 2u, 4u}) {
        snow->ReadStorageFile(&file_, mode);
        EXPECT_EQ(snow->Qice_slr[1], 3.0) << mode;
    }
}

TEST_F(SnowState, TheDestructorAppendsOnlyOnceLinked) {
    // The routing section as a writer of this run started the file, at a normal end.
    statefiles::BeginRun();
    talvo_test::WriteFile(file_, "[routing_model]\n");
    statefiles::MarkStarted(file_);
    statefiles::BeginWritingState();
    {
        auto snow = Ready();
        snow->ReadStorageFile(&file_, 1);
    }
    EXPECT_EQ(talvo_test::ReadFile(file_), "[routing_model]\n");
    {
        auto snow = Ready();
        snow->ReadStorageFile(&file_, 1);
        RunoffArray qg(1, std::vector<double>(3, 0.0));
        snow->SetQg(&qg);
    }
    EXPECT_EQ(talvo_test::ReadFile(file_).rfind("[routing_model]\n[snow_model]\n2 (number of subasins)\n", 0), 0u);
    // A file that cannot be written is reported, never thrown out of the destructor.
    const std::string bad = "no_such_dir/state.txt";
    {
        auto snow = Ready();
        snow->ReadStorageFile(&bad, 1);
        snow->SetStatus(1);
    }
    EXPECT_TRUE(Logged(bad));
    // A run that fails leaves the earlier state as it was: no section of its own.
    statefiles::BeginRun();
    const std::string before = talvo_test::ReadFile(file_);
    {
        auto snow = Ready();
        snow->ReadStorageFile(&file_, 1);
        RunoffArray qg(1, std::vector<double>(3, 0.0));
        snow->SetQg(&qg);
    }
    EXPECT_EQ(talvo_test::ReadFile(file_), before);
    // A file that no earlier writer of this run started is started, never appended to.
    statefiles::BeginWritingState();
    {
        auto snow = Ready();
        snow->ReadStorageFile(&file_, 1);
        RunoffArray qg(1, std::vector<double>(3, 0.0));
        snow->SetQg(&qg);
    }
    EXPECT_EQ(talvo_test::ReadFile(file_).rfind("[snow_model]\n2 (number of subasins)\n", 0), 0u);
    statefiles::BeginRun();
}

TEST_F(SnowState, WaterInputChoice) {
    struct Case {
        bool first, throughfall;
        const char* linked;
    } cases[] = {{false, true, "precipitation"}, {true, true, "throughfall0"}, {true, false, "precipitation"}};
    for (const Case& c : cases) {
        if (c.throughfall) Add("throughfall0", 1);
        auto snow = Ready();
        snow->LinkPrecipitation(c.first);
        EXPECT_EQ(snow->waterInput, &G(c.linked)) << c.first << c.throughfall;
        snow->LinkPrecipitation(!c.first);  // linked once
        EXPECT_EQ(snow->waterInput, &G(c.linked));
        Drop("throughfall0");
    }
    Drop("precipitation");
    auto snow = Ready();
    EXPECT_EQ(submodel_test::CodeOf([&] { snow->LinkPrecipitation(false); }), 33);
}

TEST_F(SnowState, LakeLink) {
    auto snow = Ready();
    snow->ReadLakeModel("[lake_model]");
    EXPECT_TRUE(Logged("no LAKE-grid was found in snow_model\nLake modelling is switched off for snow_model."));
    EXPECT_FALSE(snow->lakesOn);

    Add("lake_codes", 1);
    submodel_test::WriteShared("test.ctl", submodel_test::ControlFile(snow_test::SnowSection(SectionOptions{}),
                                                                      "[lake_model]\n1 flow control\n"));
    EXPECT_EQ(submodel_test::CodeOf([&] { snow->ReadLakeModel("[lake_model]"); }), 28);
    EXPECT_TRUE(Logged("LAKE-grid was found, but no POND-Grid. For using lakes,"));
    Add("ponding_storage_top", 2);
    snow->ReadLakeModel("[lake_model]");
    EXPECT_TRUE(snow->lakesOn);
    EXPECT_EQ(snow->pondingStorage, &G("ponding_storage_top"));
}

TEST_F(SnowState, LakesStayOffWithResponseUnits) {
    Add("lake_codes", 1);
    Add("ponding_storage", 1);
    Add("HydrologicResponseUnits", 1);
    Add("MasterHydrologicResponseUnits", 1);
    settings_.spinUpSwitch = 1;
    auto snow = Make(SectionOptions{}, nullptr, "[lake_model]\n1 flow control\n");
    snow->ReadLakeModel("[lake_model]");
    EXPECT_FALSE(snow->lakesOn);
}

TEST_F(SnowState, TracerInputPrefersIrrigation) {
    std::vector<TracerDescriptor> d(3);
    for (int t = 1; t <= 2; ++t) {
        d[static_cast<std::size_t>(t)].name = t == 1 ? "cl_" : "no3";
        d[static_cast<std::size_t>(t)].max_conc = 100;
    }
    Add("concflux_tracer_1_input", 1);
    Add("concflux_tracer_2_input", 2);
    Add("concflux_tracer_2_irrigation", 3);
    auto snow = Ready();
    unsigned error = 9;
    snow->LinkTracerGrids(error, 2, d.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    EXPECT_EQ(snow->upstreamFlux[1], &G("concflux_tracer_1_input"));
    EXPECT_EQ(snow->upstreamFlux[2], &G("concflux_tracer_2_irrigation"));
    snow->FreeTracerGrids();

    // After interception the snow takes in interception's throughfall, at its concentration.
    Add("throughfall0", 1);
    Add("concflux_tracer_1_interception_model", 4);
    auto after = Ready();
    after->LinkPrecipitation(true);
    after->LinkTracerGrids(error, 2, d.data(), nullptr, 0);
    ASSERT_EQ(error, 0u) << console_.str();
    EXPECT_EQ(after->upstreamFlux[1], &G("concflux_tracer_1_interception_model"));
    EXPECT_EQ(after->upstreamFlux[2], &G("concflux_tracer_2_irrigation"));
    after->FreeTracerGrids();
    Drop("concflux_tracer_1_interception_model");

    Drop("concflux_tracer_1_input");
    auto missing = Ready();
    missing->LinkTracerGrids(error, 2, d.data(), nullptr, 0);
    EXPECT_EQ(error, 33u);
}

TEST_F(SnowState, TracersLeaveWithTheOutflow) {
    std::vector<TracerDescriptor> d;
    auto snow = WithOneTracer(d, 1000, 2);  // input concentration 2
    ASSERT_TRUE(snow);
    Fill("temperature", 5);
    Fill("precipitation", 3);
    snow->run(1, 1, 5, 2020);
    // No snow: all input leaves at once and carries all tracer mass (3 mm x 2).
    ForOwn([&](int r, int c) {
        EXPECT_NEAR(snow->outflow.data[r][c], 3, 1e-12);
        EXPECT_NEAR(snow->tracers[1].flux[r][c], 2, 1e-12);
        EXPECT_NEAR(snow->tracers[1].storage[r][c], 0, 1e-12);
    });
}

// A cover that has melted away may keep a rounding residue of its tracer, of either sign; with a
// rounding-size outflow a negative one became a concentration of -1e78 below. The outflow carries
// what the cover holds, at most that, and the cover never keeps less than nothing.
TEST_F(SnowState, AVanishedCoverHandsOnNoNegativeTracer) {
    std::vector<TracerDescriptor> d;
    auto snow = WithOneTracer(d, 1e9, 1);
    ASSERT_TRUE(snow);
    Fill("temperature", 5);
    Fill("precipitation", 3.75e-95);
    ForOwn([&](int r, int c) { snow->tracers[1].storage[r][c] = (r + c) % 2 == 0 ? -5.55e-17 : 4.0; });
    for (int step = 0; step < 3; ++step) {
        snow->run(1 + step, 1, 5, 2020);
        ForOwn([&](int r, int c) {
            const double O = snow->outflow.data[r][c], flux = snow->tracers[1].flux[r][c];
            EXPECT_GE(snow->tracers[1].storage[r][c], 0.0) << r << "," << c;
            EXPECT_GE(flux, 0.0) << r << "," << c;
            EXPECT_LE(flux, 1e9) << r << "," << c;
            // What leaves is the input's tracer plus at most what the cover held.
            if ((r + c) % 2 == 0) {
                EXPECT_LE(flux * O, 3.75e-95 * 1.000001) << r << "," << c;
            }
        });
    }
}

TEST_F(SnowState, FlushWritesTheStatistics) {
    SectionOptions o;
    o.stats = "2001";
    unsigned code = 9;
    auto snow = Make(o, &code);
    ASSERT_EQ(code, 0u) << console_.str();
    snow->LinkPrecipitation(false);
    Fill("precipitation", 2);
    snow->run(1, 1, 1, 2020);
    snow->FlushStatistics();
    if (talvo_test::Rank() == 0) {
        const std::string text = talvo_test::ReadFile("p_snow.sta");
        EXPECT_NE(text.find("p_snow____"), std::string::npos) << text;
        // Half of the input falls as snow at 0 degrees.
        EXPECT_NE(text.find("2020\t 1\t 1\t 1\t1.000\t1.000\t1.000\t1.000"), std::string::npos) << text;
    }
}

}  // namespace
