// The set-up object: construction, the step machine with its log lines and table hooks, the
// model time, the output control, the radiation switch, the sub-steps and the global settings.
#include <gtest/gtest.h>

#include <map>

#include "setup/defltuzr.hpp"
#include "setup_fixture.hpp"

using setup_test::Count;
using talvo_test::Rank;

namespace {
struct Sections {
    std::string outputInterval = "60 output interval\n7 second switch\n7 third\n-60 minutes\n"
                                 "   WriteAsciiGrids = 1\nInitialStateDirectory = ./ rest\n";
    std::string outputList = "3 subbasins\n2\n5\n9\n";
    std::string meteoCount = "2\n";
    std::string meteoNames = "precipitation\ntemperature\n";
    std::string modelTime = "1\n1\n1\n95\n24\n29\n2\n2000\n";
    std::string radiation = "[radiation_correction]\n1\n";
    std::string grids = "[zone_grid]\nzones.asc\n[elevation_model]\ndem.asc\n[standard_grids]\n0\n"
                        "[variable_grids]\n0\n";
    std::string extra;

    std::string Text() const {
        return "$set $y = 2000\n"
               "[output_interval]\n" + outputInterval + "\n"
               "[output_list]\n" + outputList +
               "[coordinates]\n50.5 latitude\n8.25\n15\n1\n"
               "[meteo_data_count]\n" + meteoCount +
               "[meteo_names]\n" + meteoNames +
               "[model_time]\n" + modelTime + grids + radiation + extra + "[region_transition_distance]\n1000\n";
    }
};

// Records the calls of the set-up into the tables and reads a value of its own section from the
// set-up's open control file, as the table readers do.
class FakeTables : public ParameterTables {
public:
    void ReadMultilayerLanduseTable(defaultini&) override { calls += "multilayer "; }
    void ReadLanduseTable(defaultini&) override { calls += "landuse "; }
    void ReadSoilTable(defaultini& setup) override {
        setup.SeekSection("[soil_table]", true);
        setup.ReadValue(setup.ControlStream(), "%d", &soilEntries, "soil entries");
        calls += "soil ";
    }
    int ReadIrrigation(defaultini&) override {
        calls += "irrigation ";
        return irrigation;
    }
    int MultilayerLayerCount() const override { return 0; }
    void CheckLanduse(defaultini&, int index) override { calls += "checkLanduse:" + std::to_string(index) + " "; }
    void generateMultiLayerParameterGrids(defaultini&, int layers) override {
        calls += "parameterGrids:" + std::to_string(layers) + " ";
    }
    void check_irrig_Codes(defaultini&, int index) override { calls += "irrigCodes:" + std::to_string(index) + " "; }
    void ClearIrrigationTable() override { calls += "clearIrrigation "; }
    void check_SOIL_Codes(defaultini&, int index) override { calls += "soilCodes:" + std::to_string(index) + " "; }
    void WriteEndOfRunGrids(defaultini&) override { calls += "end "; }

    std::string calls;
    int irrigation = 0;
    int soilEntries = 0;
};

class DefaultIniTest : public setup_test::SetupTest {
protected:
    std::unique_ptr<defaultini> Make(const Sections& s) {
        const std::string header = "ncols 8\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 10\nnodata_value -9999\n";
        setup_test::WriteShared("zones.asc", header + "1 1 1 1 -9999 -9999 -9999 -9999\n1 1 1 2 2 2 -9999 -9999\n"
                                                      "-9999 1 2 2 2 2 2 -9999\n-9999 -9999 2 2 2 2 -9999 -9999\n");
        setup_test::WriteShared("dem.asc", header + "1 2 3 4 5 6 7 8\n1 2 3 4 5 6 7 8\n1 2 3 4 5 6 7 8\n1 2 3 4 5 6 7 8\n");
        setup_test::WriteShared("MpiSpeedFactor.dat", "1\n");
        setup_test::WriteShared("basin.ctl", s.Text());
        unsigned error = 1;
        auto setup = std::make_unique<defaultini>(error, log_.get(), "basin.ctl", 2, store_.get());
        EXPECT_EQ(error, 0u);
        return setup;
    }
    // Runs the steps up to and including the given one.
    static void RunTo(defaultini& setup, int last) {
        bool done = false;
        while (setup.CurrentStep() <= last) setup.InitStep(done);
    }
    static void RunAll(defaultini& setup) {
        bool done = false;
        while (!done) setup.InitStep(done);
    }
    int FailingStep(const Sections& s) {
        auto setup = Make(s);
        return ErrorCode([&] { RunAll(*setup); });
    }
};

TEST_F(DefaultIniTest, StepsRunInOrderWithTheirLogLines) {
    Sections s;
    s.extra = "[soil_table]\n4 entries\n";
    s.grids = "[zone_grid]\nzones.asc\n[elevation_model]\ndem.asc\n[standard_grids]\n1\n"
              "lu.grd landuse fillcode = 0 readcode = 0 defaultValue = 1\n[variable_grids]\n0\n";
    auto setup = Make(s);
    EXPECT_EQ(setup->ModuleName(), "defaults");
    EXPECT_EQ(setup->GetRunInterval(), 0);
    EXPECT_EQ(setup->SoilModelVariant(), 2);
    EXPECT_TRUE(Logged("file defltuzr, compiled at "));
    auto tables = std::make_shared<FakeTables>();
    tables->irrigation = 1;
    setup->SetParameterTables(tables);
    const int landuseIndex = 3;

    int steps = 0;
    bool done = false;
    while (!done) {
        ASSERT_LT(steps, 100);
        setup->InitStep(done);
        ++steps;
    }
    EXPECT_EQ(steps, defaultini::kLastStep + 1);
    EXPECT_EQ(setup->GetRunInterval(), 1);
    EXPECT_EQ(tables->soilEntries, 4);
    const std::string idx = std::to_string(landuseIndex);
    EXPECT_EQ(tables->calls, "multilayer landuse soil irrigation checkLanduse:" + idx +
                                 " parameterGrids:1 irrigCodes:0 soilCodes:0 ");
    // A single-layer run renames the land-use grid.
    EXPECT_EQ((*store_)[landuseIndex].internalName, "landuse1");

    const std::string log = Console();
    const char* expected[] = {"before reading variable grids",
                              "generateMultiLayerParameterGrids...\n...ok",
                              "check_irrig_Codes\n...ok",
                              "check_SOIL_Codes...\n...ok",
                              "make_Slope_and_Aspect...\ncalculating the lokal topography",
                              "check_ice_firn_grid...\nice-grid not found in memory (at position ",
                              "MakeRegionWeightGrids...",
                              "GetCouplingParameters...\n...ok"};
    std::size_t at = 0;
    for (const char* text : expected) {
        const std::size_t found = log.find(text, at);
        ASSERT_NE(found, std::string::npos) << text;
        at = found;
    }
    EXPECT_TRUE(Logged("before reading variable grids" + std::to_string(Rank()) + "\n...ok"));

    // Further calls change nothing.
    setup->InitStep(done);
    EXPECT_TRUE(done);
}

// The state grids of the land-use tables are written when the set-up goes at the end date of
// the run; not before it, and not while a failure unwinds the run.
TEST_F(DefaultIniTest, EndOfRunGridsAreWrittenWhenTheRunReachedItsEnd) {
    auto tables = std::make_shared<FakeTables>();
    auto endAt = [&](std::int64_t day, bool failing) {
        auto setup = Make(Sections{});
        setup->SetParameterTables(tables);
        setup->SetEndDate(2000, 1, 2, 24);
        setup->year = 2000;
        setup->month = 1;
        setup->day = day;
        setup->hour = 24;
        if (failing) {
            try {
                auto unwound = std::move(setup);
                throw ModelError(7);
            } catch (const ModelError&) {
            }
        }
    };
    endAt(1, false);
    EXPECT_EQ(tables->calls, "");
    endAt(2, false);
    EXPECT_EQ(tables->calls, "end ");
    endAt(2, true);
    EXPECT_EQ(tables->calls, "end ");
}

TEST_F(DefaultIniTest, WithoutLanduseOrIrrigationTheirStepsStayQuiet) {
    Sections s;
    s.extra = "[soil_table]\n0\n";
    auto setup = Make(s);
    auto tables = std::make_shared<FakeTables>();
    setup->SetParameterTables(tables);
    RunAll(*setup);
    EXPECT_EQ(tables->calls, "multilayer landuse soil irrigation checkLanduse:0 clearIrrigation soilCodes:0 ");
    EXPECT_FALSE(Logged("generateMultiLayerParameterGrids"));
    EXPECT_FALSE(Logged("check_irrig_Codes"));
}

TEST_F(DefaultIniTest, ReadersUseTheCompiledCopy) {
    Sections s;
    s.modelTime = "1\n1\n1\n95\n24\n29\n2\n$y\n";
    auto setup = Make(s);
    RunTo(*setup, 2);
    const std::string compiled = "basin.ctl_" + std::to_string(Rank()) + ".$$$";
    EXPECT_EQ(setup->controlFileName, compiled);
    EXPECT_EQ(setup->CompiledControlFileName(), compiled);
    EXPECT_EQ(setup->endYear, 2000);
}

TEST_F(DefaultIniTest, ModelTimeCompletesYearsAndKeepsLeapDays) {
    auto setup = Make(Sections{});
    RunTo(*setup, 2);
    EXPECT_EQ(setup->StartYear(), 1995);
    EXPECT_EQ(setup->StartMonth(), 1);
    // 2000 is a leap year: 29 February stays.
    EXPECT_EQ(setup->endDay, 29);
    EXPECT_EQ(setup->daysPerMonth[1], 29);
    EXPECT_EQ(setup->endKey, DateKey(2000, 2, 29, 24));

    Sections s;
    s.modelTime = "1\n5\n3\n99\n24\n29\n2\n2004\n";
    auto other = Make(s);
    RunTo(*other, 2);
    EXPECT_EQ(other->StartYear(), 1999);
    EXPECT_EQ(other->endDay, 29);
}

// A date that does not exist, or an end before the start, stops the set-up with both dates named.
TEST_F(DefaultIniTest, ImpossibleModelPeriodsAreControlFileErrors) {
    struct Case {
        const char* time;
        const char* message;
    };
    const Case cases[] = {
        {"1\n0\n1\n2000\n24\n3\n1\n2000\n", "start day 0 is not 1..31 of month 1 (start 0.1.2000 1 h, end 3.1.2000 24 h)"},
        {"1\n1\n1\n2000\n24\n32\n1\n2000\n", "end day 32 is not 1..31 of month 1"},
        {"1\n1\n1\n2001\n24\n29\n2\n2001\n", "end day 29 is not 1..28 of month 2"},
        {"0\n1\n1\n2000\n24\n3\n1\n2000\n", "start hour 0 is not 1..24"},
        {"1\n1\n1\n2000\n25\n3\n1\n2000\n", "end hour 25 is not 1..24"},
        {"1\n1\n13\n2000\n24\n3\n1\n2001\n", "start month 13 is not 1..12"},
        {"1\n1\n1\n2000\n24\n3\n0\n2000\n", "end month 0 is not 1..12"},
        {"1\n3\n1\n2000\n24\n2\n1\n2000\n", "the end lies before the start (start 3.1.2000 1 h, end 2.1.2000 24 h)"},
        {"5\n3\n1\n2000\n4\n3\n1\n2000\n", "the end lies before the start"},
    };
    for (const Case& c : cases) {
        Sections s;
        s.modelTime = c.time;
        EXPECT_EQ(FailingStep(s), 17) << c.time;
        EXPECT_TRUE(Logged(std::string("error in control file, [model_time]: ") + c.message)) << c.time;
    }
}

TEST_F(DefaultIniTest, MissingModelTimeValuesAndSectionsAreControlFileErrors) {
    Sections s;
    s.modelTime = "1\n1\n1\n95\n24\nend\n";
    EXPECT_EQ(FailingStep(s), 17);
    EXPECT_TRUE(Logged("error in control file, and day in ; defaultsnot found!"));

    Sections noRadiation;
    noRadiation.radiation = "";
    EXPECT_EQ(FailingStep(noRadiation), 17);
    EXPECT_TRUE(Logged("error in control file, [radiation_correction]; (EOF)not found!"));
}

TEST_F(DefaultIniTest, OutputControlAndGlobalSettings) {
    auto setup = Make(Sections{});
    RunAll(*setup);
    const GlobalSettings g = setup->GetGlobalSettings();
    EXPECT_EQ(g.controlFileName, "basin.ctl_" + std::to_string(Rank()) + ".$$$");
    EXPECT_EQ(g.outputInterval, 60);
    EXPECT_EQ(g.meteoOption, 1);
    EXPECT_EQ(g.thirdSwitch, 0);
    EXPECT_EQ(g.minToIntEnd, 0.0);
    EXPECT_TRUE(g.textOutput);
    EXPECT_FALSE(g.doublePrecision);
    EXPECT_EQ(g.inputPath, "./");
    EXPECT_EQ(g.outputPath, "");
    EXPECT_EQ(g.outputListCount, 3);
    EXPECT_EQ(g.outputListCodes, (std::vector<std::int32_t>{3, 2, 5, 9}));
    EXPECT_EQ(g.latitude, 50.5);
    EXPECT_EQ(g.longitude, 8.25);
    EXPECT_EQ(g.referenceMeridian, 15.0);
    EXPECT_EQ(g.timeShift, 1.0);
    EXPECT_EQ(g.meteoCount, 2);
    EXPECT_EQ(g.meteoNames, (std::vector<std::string>{"", "precipitation", "temperature"}));
    EXPECT_EQ(g.startYear, 1995);
    EXPECT_EQ(g.endHour, 24);
    EXPECT_EQ(g.endDay, 29);
    EXPECT_EQ(g.endMonth, 2);
    EXPECT_EQ(g.endYear, 2000);
    EXPECT_EQ(g.tables, nullptr);
    EXPECT_EQ(setup->RadiationCorrection(), 1);
    EXPECT_EQ(setup->ReadSubsteps(), 1);
    // Without "[ExternalCoupling]" and "[SpinUp]" nothing is coupled or repeated.
    EXPECT_FALSE(setup->IsExternallyCoupled());
    EXPECT_EQ(setup->GetCouplingModeLetter(), 'I');
    std::vector<HydrologicResponseUnit> units;
    const SpinUpSettings spin = setup->CreateHRUs(&units);
    EXPECT_EQ(spin.spinUpSwitch, 0);
    EXPECT_EQ(spin.repeatCnt, 0);
    EXPECT_TRUE(units.empty());
    EXPECT_TRUE(Logged("Creating HRUs"));

    // A blank line ends the key block; the switches keep 0 and 1 as read; minutes become hours.
    Sections s;
    s.outputInterval = "1\n1\n1\n90\nWriteAsciiGrids = 0\n \t\nWriteDoubleGrids = 1\n";
    auto other = Make(s);
    RunTo(*other, 0);
    const GlobalSettings h = other->GetGlobalSettings();
    EXPECT_EQ(h.meteoOption, 1);
    EXPECT_EQ(h.thirdSwitch, 1);
    EXPECT_EQ(h.minToIntEnd, 90.0);
    EXPECT_EQ(other->GetHourOffset(), 1.5);
    EXPECT_FALSE(h.doublePrecision);
}

TEST_F(DefaultIniTest, UnreadableRadiationSwitchIsZeroAndSubstepsAreRead) {
    Sections s;
    s.radiation = "[radiation_correction]\nnone\n";
    s.extra = "[soil_surface_groundwater_substeps]\n3\n";
    auto three = Make(s);
    RunAll(*three);
    EXPECT_EQ(three->RadiationCorrection(), 0);
    EXPECT_EQ(three->ReadSubsteps(), 3);

    s.extra = "[soil_surface_groundwater_substeps]\nmany\n";
    auto bad = Make(s);
    RunAll(*bad);
    EXPECT_EQ(ErrorCode([&] { bad->ReadSubsteps(); }), 17);
    EXPECT_TRUE(Logged("sub step counter from [soil_surface_groundwater_substeps] not found"));
}

TEST_F(DefaultIniTest, OutputControlFailures) {
    Sections unordered;
    unordered.outputList = "3\n3\n7\n7\n";
    EXPECT_EQ(FailingStep(unordered), 97);
    EXPECT_TRUE(Logged("order of subbasin codes in output_list!"));

    Sections missingName;
    missingName.meteoNames = "precipitation\n";
    EXPECT_EQ(FailingStep(missingName), 17);
    EXPECT_TRUE(Logged("name 2 of the meteorological variables in [meteo_names]; not found!"));

    Sections longName;
    longName.meteoNames = "precipitation\n" + std::string(201, 't') + "\n";
    EXPECT_EQ(FailingStep(longName), 17);

    Sections noInterval;
    noInterval.outputInterval = "hourly\n";
    EXPECT_EQ(FailingStep(noInterval), 17);
    EXPECT_TRUE(Logged("error in control file, output control; not found!"));
}

TEST_F(DefaultIniTest, RunIntervalBelowOneBecomesOneWithOneWarning) {
    for (const char* value : {"0", "-5", "24"}) {
        console_.str("");
        Sections s;
        s.outputInterval = std::string(value) + "\n0\n0\n0\n";
        auto setup = Make(s);
        RunTo(*setup, 0);
        const bool below = std::string(value) != "24";
        EXPECT_EQ(setup->GetGlobalSettings().outputInterval, below ? 1 : 24);
        EXPECT_EQ(Count(Console(), "output interval " + std::string(value) + " in [output_interval] is below 1"),
                  below ? 1 : 0);
    }
}

TEST_F(DefaultIniTest, OutputListIsReadBeforeItsOrderIsChecked) {
    // A missing code is reported as such even when the codes read so far are out of order; a
    // count far beyond the list fails on the first missing code.
    for (const auto& [list, code] : std::map<std::string, int>{{"3\n7\n3\n", 17}, {"2000000000\n1\n", 17}}) {
        Sections s;
        s.outputList = list;
        EXPECT_EQ(FailingStep(s), code) << list;
    }
    Sections s;
    s.outputList = "1\n7\n";
    auto setup = Make(s);
    RunTo(*setup, 0);
    EXPECT_EQ(setup->GetGlobalSettings().outputListCodes, (std::vector<std::int32_t>{1, 7}));
}

TEST_F(DefaultIniTest, CouplingSettingsComeFromTheComponent) {
    Sections s;
    s.extra = "[ExternalCoupling]\n2 mode\nwait.sem\n300\nM\n1440\n0\n0\n0\nout.sem\nready\n";
    if (talvo_test::Size() > 1) {
        EXPECT_EQ(FailingStep(s), 1009);
        return;
    }
    auto setup = Make(s);
    RunAll(*setup);
    EXPECT_FALSE(setup->IsExternallyCoupled());
    EXPECT_EQ(setup->GetSemaphoreFileName(), "wait.sem");
    EXPECT_EQ(setup->GetCouplingWaitInterval(), 300);
    EXPECT_EQ(setup->GetCouplingModeLetter(), 'M');
    EXPECT_EQ(setup->GetExternalTimeStep(), 1440);
    EXPECT_EQ(setup->GetExternalSemaphoreFileName(), "out.sem");
    EXPECT_EQ(setup->GetExternalSemaphoreContent(), "ready");
    EXPECT_FALSE(setup->HasExternalGWTable());
    OutputCodeEntry table[4];
    setup->LinkExternalGrids(table, 4);
}

TEST_F(DefaultIniTest, MissingControlFileStopsStepZero) {
    auto setup = Make(Sections{});
    setup->controlFileName = "missing.ctl";
    bool done = false;
    EXPECT_EQ(ErrorCode([&] { setup->InitStep(done); }), 28);
    EXPECT_FALSE(done);
    EXPECT_EQ(setup->CurrentStep(), 0);
}
}  // namespace
