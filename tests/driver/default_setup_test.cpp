// The set-up of the build behind the application's interface: the initialisation runs every
// step of the set-up object, hands out the standard sub-model arguments and the spin-up
// settings, and the coupling settings come from the set-up object.
#include <gtest/gtest.h>

#include <sstream>

#include "driver/modapuzr_setup.hpp"
#include "driver_fixtures.hpp"
#include "kernel/diaglog.hpp"
#include "tables/landuse_entry.hpp"
#include "tables/soil_entry.hpp"

namespace {

const char* kZoneGrid =
    "ncols 6\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 1000\nnodata_value -9999\n"
    "-9999 3 3 5 -9999 -9999\n3 3 5 5 5 -9999\n9 9 5 5 -9999 -9999\n-9999 9 9 -9999 -9999 -9999\n";

std::string Sections(const std::string& extra) {
    return "[output_interval]\n2\n1\n0\n30\n\n[output_list]\n2\n3\n9\n[coordinates]\n47.5\n8.5\n15\n1\n"
           "[meteo_data_count]\n1\n[meteo_names]\ntemperature\n"
           "[model_time]\n24\n1\n1\n2020\n24\n3\n1\n2020\n[region_transition_distance]\n1000\n"
           "[zone_grid]\nzones.asc\n[elevation_model]\nzones.asc\n[standard_grids]\n3\n"
           "lu.asc landuse fillcode = 0 readcode = 0 defaultValue = 4\n"
           "albedo.asc albedo fillcode = 0 readcode = 0 defaultValue = 0.2\n"
           "soil.asc soil_types fillcode = 0 readcode = 0 defaultValue = 7\n[variable_grids]\n0\n"
           "[landuse_table]\n1\n4 meadow method = VariableDayCount { RootDist = 1; TReduWet = 0.9; HReduDry = 3; "
           "JulDays = 1 366;\n Albedo = 0.2 0.2; rsc = 60 60; LAI = 2 2; Z0 = 0.05 0.05; VCF = 0.8 0.8; "
           "RootDepth = 0.5 0.5; AltDep = 0 0; }\n"
           "[soil_table]\n1\n7 loam { method = MultipleHorizons; layers = 2 8; thickness = 0.05 0.1; ksat = 1e-5;\n"
           " theta_sat = 0.45 0.40; theta_res = 0.05 0.04; alpha = 2.0 1.5; Par_n = 1.5 1.25; }\n" +
           extra + driver_test::ControlFile();
}

class DefaultSetupTest : public talvo_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        log_ = std::make_unique<DiagLog>("diag.xml", 4);
        log_->SetConsole(console_);
        driver_test::WriteShared("zones.asc", kZoneGrid);
        driver_test::WriteShared("MpiSpeedFactor.dat", "1\n");
    }
    void TearDown() override {
        setup_.reset();
        log_.reset();
        TempDirTest::TearDown();
    }
    // Initialises the set-up of this build; returns the error code (0 on success).
    int Initialise(const std::string& extra) {
        driver_test::WriteShared("run.ctl", Sections(extra));
        unsigned error = 1;
        setup_ = MakeDefaultSetup(error, log_.get(), "run.ctl", nullptr, 0, &store_);
        EXPECT_EQ(error, 0u);
        try {
            setup_->Initialise(settings_, spinUp_);
        } catch (const ModelError& e) {
            return e.code();
        }
        return 0;
    }
    std::ostringstream console_;
    std::unique_ptr<DiagLog> log_;
    GridStore store_;
    std::unique_ptr<ModelSetup> setup_;
    SubmodelSettings settings_;
    SpinUpState spinUp_;
};

TEST_F(DefaultSetupTest, TheGlobalSettingsBecomeTheSubmodelArguments) {
    ASSERT_EQ(Initialise(""), 0) << console_.str();
    const SubmodelSettings& s = settings_;
    EXPECT_EQ(s.controlFileName, "run.ctl_" + std::to_string(talvo_test::Rank()) + ".$$$");
    EXPECT_EQ(s.runInterval, 2);
    EXPECT_EQ(s.warningSwitch, 1);
    EXPECT_EQ(s.minToIntEnd, 30.0);
    EXPECT_EQ(s.meteoNames, (std::vector<std::string>{"", "temperature"}));
    EXPECT_EQ(s.outputList, (std::vector<int>{2, 3, 9}));
    EXPECT_EQ(s.timeShift, 1.0);
    EXPECT_EQ(s.ncols, 6);
    EXPECT_EQ(s.nrows, 4);
    EXPECT_EQ(s.cellsize, 1000.0);
    EXPECT_EQ(s.startDay, 1);
    EXPECT_EQ(s.endDay, 3);
    // Three standard grids and the derived ones: cell sizes and area, coordinates, slope and
    // aspect, the region grid and its weights.
    EXPECT_EQ(s.standardGridCount, 12);

    // Zones 3, 5 and 9 as the sub-models read them: code-to-zone map and records.
    ASSERT_NE(s.zoneIndex, nullptr);
    ASSERT_NE(s.zoneRecords, nullptr);
    EXPECT_EQ(s.zoneCount, 3);
    EXPECT_EQ(s.maxZoneCode, 9);
    EXPECT_EQ((*s.zoneIndex)[5], 2);
    EXPECT_EQ((*s.zoneRecords)[2].zonenwert, 5.0);
    EXPECT_EQ((*s.zoneRecords)[2].sx, 6.0);
    EXPECT_DOUBLE_EQ((*s.zoneRecords)[3].rel, 4.0 / 14);
    EXPECT_DOUBLE_EQ((*s.zoneRecords)[0].rel, 14.0);

    // The tables are read, and the code grids point into them.
    ASSERT_NE(s.landuseTable, nullptr);
    ASSERT_NE(s.soilTable, nullptr);
    EXPECT_EQ(s.landuseTable[1].code, 4);
    EXPECT_EQ(s.soilTable[1].code, 7);
    EXPECT_EQ(s.irrigationTable, nullptr);
    EXPECT_EQ(s.multilayerTable, nullptr);

    // Own rows, cell counts and halo lists of the decomposition.
    ASSERT_NE(s.cellsPerProcess, nullptr);
    std::int64_t cells = 0;
    for (std::int64_t n : *s.cellsPerProcess) cells += n;
    EXPECT_EQ(cells, 14);
    EXPECT_LE(s.firstRow, s.lastRow);
    ASSERT_NE(s.record.sendHalo, nullptr);
    ASSERT_NE(s.record.recvHalo, nullptr);
    ASSERT_NE(s.record.basinColumns, nullptr);
    EXPECT_EQ(s.record.recvHalo->empty(), talvo_test::Size() == 1);
    EXPECT_EQ(spinUp_.spinUpSwitch, 0);
    EXPECT_EQ(setup_->GetMaxElevation(), 9.0);
    EXPECT_EQ(setup_->ReadSubsteps(), 1);
}

TEST_F(DefaultSetupTest, SpinUpUnitsAndCouplingSettingsComeFromTheSetup) {
    ASSERT_EQ(Initialise("[SpinUp]\n1 switch\n0 pre-spin-up\n3 repetitions\n1 class grid\n"
                         "elevation_model 4 linear\n"),
              0);
    EXPECT_EQ(spinUp_.spinUpSwitch, 1);
    EXPECT_EQ(spinUp_.repeatCnt, 3);
    // Elevations 3, 5 and 9 fall into the classes 0, 1 and 2; record 0 comes first.
    ASSERT_FALSE(spinUp_.responseUnits.empty());
    EXPECT_EQ(spinUp_.responseUnits[0].id, 0u);
    EXPECT_FALSE(setup_->IsExternallyCoupled());
    EXPECT_EQ(setup_->GetCouplingModeLetter(), 'I');
    EXPECT_EQ(setup_->GetCouplingWaitInterval(), 100);
}

}  // namespace
