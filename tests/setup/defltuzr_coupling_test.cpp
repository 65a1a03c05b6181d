// The set-up object hands "[ExternalCoupling]" and "[SpinUp]" to the coupling and spin-up
// components and answers the time loop's questions from what they read.
#include <gtest/gtest.h>

#include "setup/defltuzr.hpp"
#include "setup_fixture.hpp"

namespace {

const char* const kBasin =
    "[output_interval]\n1\n0\n0\n0\n\n[output_list]\n0\n[coordinates]\n47\n8\n15\n0\n"
    "[meteo_data_count]\n1\n[meteo_names]\ntemperature\n[model_time]\n24\n1\n1\n2020\n24\n3\n1\n2020\n[radiation_correction]\n0\n"
    "[region_transition_distance]\n1000\n[zone_grid]\nzones.asc\n[elevation_model]\nzones.asc\n[standard_grids]\n0\n[variable_grids]\n0\n";

class DefaultIniCouplingTest : public setup_test::SetupTest {
protected:
    int Run(const std::string& extra) {
        setup_test::WriteShared("zones.asc", "ncols 8\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 10\n"
                                             "nodata_value -9999\n1 1 1 1 2 2 -9999 -9999\n1 1 2 2 2 2 2 -9999\n");
        setup_test::WriteShared("MpiSpeedFactor.dat", "1\n");
        setup_test::WriteShared("basin.ctl", std::string(kBasin) + extra);
        unsigned error = 1;
        setup_ = std::make_unique<defaultini>(error, log_.get(), "basin.ctl", 2, store_.get());
        EXPECT_EQ(error, 0u);
        return ErrorCode([&] {
            bool done = false;
            while (!done) setup_->InitStep(done);
        });
    }
    void TearDown() override {
        setup_.reset();
        SetupTest::TearDown();
    }
    std::unique_ptr<defaultini> setup_;
};

TEST_F(DefaultIniCouplingTest, CouplingSettingsComeFromTheComponent) {
    const std::string section =
        "[ExternalCoupling]\n2 mode\nwait.sem\n300\nM\n1440\n0\n0\n0\nout.sem\nready\n";
    if (talvo_test::Size() > 1) {
        EXPECT_EQ(Run(section), 1009);
        return;
    }
    ASSERT_EQ(Run(section), 0) << Console();
    EXPECT_FALSE(setup_->IsExternallyCoupled());
    EXPECT_EQ(setup_->GetSemaphoreFileName(), "wait.sem");
    EXPECT_EQ(setup_->GetCouplingWaitInterval(), 300);
    EXPECT_EQ(setup_->GetCouplingModeLetter(), 'M');
    EXPECT_EQ(setup_->GetExternalTimeStep(), 1440);
    EXPECT_EQ(setup_->GetExternalSemaphoreFileName(), "out.sem");
    EXPECT_EQ(setup_->GetExternalSemaphoreContent(), "ready");
    EXPECT_FALSE(setup_->HasExternalGWTable());
    OutputCodeEntry table[4];
    setup_->LinkExternalGrids(table, 4);
}

TEST_F(DefaultIniCouplingTest, WithoutTheSectionsNothingIsCoupledOrRepeated) {
    ASSERT_EQ(Run(""), 0);
    EXPECT_FALSE(setup_->IsExternallyCoupled());
    EXPECT_EQ(setup_->GetCouplingModeLetter(), 'I');
    std::vector<HydrologicResponseUnit> units;
    const SpinUpSettings s = setup_->CreateHRUs(&units);
    EXPECT_EQ(s.spinUpSwitch, 0);
    EXPECT_EQ(s.repeatCnt, 0);
    EXPECT_TRUE(units.empty());
    EXPECT_NE(Console().find("Creating HRUs"), std::string::npos);
}

}  // namespace
