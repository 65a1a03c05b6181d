// This build's set-up hands out the standard sub-model arguments, spin-up and coupling settings.
#include <gtest/gtest.h>

#include "driver/modapuzr_setup.hpp"
#include "driver_fixtures.hpp"
#include "tables/landuse_entry.hpp"
#include "tables/soil_entry.hpp"

using namespace driver_test;

namespace {

class DefaultSetupTest : public LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        WriteShared("zones.asc",
                    "ncols 6\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 1000\nnodata_value -9999\n"
                    "-9999 3 3 5 -9999 -9999\n3 3 5 5 5 -9999\n9 9 5 5 -9999 -9999\n-9999 9 9 -9999 -9999 -9999\n");
        WriteShared("MpiSpeedFactor.dat", "1\n");
    }
    void TearDown() override {
        setup_.reset();
        LoggedTest::TearDown();
    }
    // Initialises the set-up of this build; returns the error code (0 on success).
    int Initialise() {
        WriteShared("run.ctl",
                    "[output_interval]\n2\n1\n0\n30\n\n[output_list]\n2\n3\n9\n[coordinates]\n47.5\n8.5\n15\n1\n"
                    "[meteo_data_count]\n1\n[meteo_names]\ntemperature\n"
                    "[model_time]\n24\n1\n1\n2020\n24\n3\n1\n2020\n[region_transition_distance]\n1000\n"
                    "[zone_grid]\nzones.asc\n[elevation_model]\nzones.asc\n[standard_grids]\n3\n"
                    "lu.asc landuse fillcode = 0 readcode = 0 defaultValue = 4\n"
                    "albedo.asc albedo fillcode = 0 readcode = 0 defaultValue = 0.2\n"
                    "soil.asc soil_types fillcode = 0 readcode = 0 defaultValue = 7\n[variable_grids]\n0\n" +
                        ParameterTables(4, 7) +
                        "[SpinUp]\n1 switch\n0 pre-spin-up\n3 repetitions\n1 class grid\nelevation_model 4 linear\n" +
                        ControlFile());
        unsigned error = 1;
        setup_ = MakeDefaultSetup(error, log_.get(), "run.ctl", nullptr, 0, &store_);
        EXPECT_EQ(error, 0u);
        return CodeOf([&] { setup_->Initialise(settings_, spinUp_); });
    }
    GridStore store_;
    std::unique_ptr<ModelSetup> setup_;
    SubmodelSettings settings_;
    SpinUpState spinUp_;
};

TEST_F(DefaultSetupTest, GlobalSpinUpAndCouplingSettingsBecomeTheSubmodelArguments) {
    ASSERT_EQ(Initialise(), 0) << console_.str();
    const SubmodelSettings& s = settings_;
    EXPECT_EQ(s.controlFileName, "run.ctl_" + std::to_string(talvo_test::Rank()) + ".$$$");
    EXPECT_EQ(s.runInterval, 2);
    EXPECT_EQ(s.minToIntEnd, 30.0);
    EXPECT_EQ(s.meteoNames, (std::vector<std::string>{"", "temperature"}));
    EXPECT_EQ(s.outputList, (std::vector<int>{2, 3, 9}));
    EXPECT_EQ(s.timeShift, 1.0);
    EXPECT_EQ(s.ncols, 6);
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

    ASSERT_NE(s.landuseTable, nullptr);
    ASSERT_NE(s.soilTable, nullptr);
    EXPECT_EQ(s.landuseTable[1].code, 4);
    EXPECT_EQ(s.soilTable[1].code, 7);

    // The decomposition: every basin cell owned once, halos only between processes.
    ASSERT_NE(s.cellsPerProcess, nullptr);
    std::int64_t cells = 0;
    for (std::int64_t n : *s.cellsPerProcess) cells += n;
    EXPECT_EQ(cells, 14);
    ASSERT_NE(s.record.recvHalo, nullptr);
    EXPECT_EQ(s.record.recvHalo->empty(), talvo_test::Size() == 1);
    EXPECT_EQ(setup_->GetMaxElevation(), 9.0);
    EXPECT_EQ(spinUp_.spinUpSwitch, 1);
    EXPECT_EQ(spinUp_.repeatCnt, 3);
    ASSERT_FALSE(spinUp_.responseUnits.empty());
    EXPECT_EQ(spinUp_.responseUnits[0].id, 0u);
    EXPECT_FALSE(setup_->IsExternallyCoupled());
    EXPECT_EQ(setup_->GetCouplingModeLetter(), 'I');
}

}  // namespace
