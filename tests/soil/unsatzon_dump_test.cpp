// Dump-mode plausibility check of a column and the name of its snapshot file.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "kernel/diaglog.hpp"

#include "soil/unsatzon_dump.hpp"
#include "support/test_support.hpp"

namespace {
const std::vector<double> kThetaS = {0, 0.4, 0.4, 0.4};
const std::vector<double> kNone;
}  // namespace

TEST(SoilDump, WaterAndGroundwaterLimits) {
    struct Case {
        double theta2, baseflow;
        bool water, groundwater;
    };
    const Case cases[] = {
        {0.3, 0.0, false, false},     {0.401, 0.0, false, false},  // theta_s + 0.001 exactly passes
        {0.4011, 0.0, true, false},   {-1e-12, 0.0, true, false},  {0.3, 10.0, false, false},
        {0.3, -10.0, false, false},   {0.3, 10.001, false, true},  {0.3, -10.5, false, true},
        {0.5, 11.0, true, true},
    };
    for (const Case& c : cases) {
        const std::vector<double> theta = {0, 0.2, c.theta2, 0.3};
        const soildump::Flags f = soildump::Check(3, theta, kThetaS, c.baseflow, kNone, kNone, 0.0);
        EXPECT_EQ(f.water, c.water) << c.theta2;
        EXPECT_EQ(f.groundwater, c.groundwater) << c.baseflow;
        EXPECT_FALSE(f.temperature);
    }
}

TEST(SoilDump, TemperatureRangeAndLocalExtremes) {
    const std::vector<double> theta = {0, 0.2, 0.2, 0.2, 0.2};
    const std::vector<double> thetaS = {0, 0.4, 0.4, 0.4, 0.4};
    struct Case {
        const char* what;
        std::vector<double> Told, Tnew;
        double surface;
        bool flagged;
    };
    const std::vector<Case> cases = {
        {"smooth warming", {0, 4, 3, 2, 1}, {0, 4.2, 3.1, 2.05, 1.0}, 6.0, false},
        {"layer 2 spike", {0, 4, 3, 2, 1}, {0, 4.2, 5.0, 2.05, 1.0}, 6.0, true},
        {"layer 1 colder than all", {0, 4, 3, 2, 1}, {0, -1.0, 3.0, 2.0, 1.0}, 6.0, true},
        {"within 0.001", {0, 1, 1, 1, 1}, {0, 1.0005, 1, 1, 1}, 1.0, false},
        {"out of range", {0, 60, 60, 60, 60}, {0, 60, 60, 60, 60}, 60.0, true},
        // The last layer is not checked.
        {"last layer spike", {0, 4, 3, 2, 1}, {0, 4, 3, 2, 9}, 5.0, false},
    };
    for (const Case& c : cases) {
        const soildump::Flags f = soildump::Check(4, theta, thetaS, 0.0, c.Told, c.Tnew, c.surface);
        EXPECT_EQ(f.temperature, c.flagged) << c.what;
    }
}

TEST(SoilDump, FileNameCarriesEveryPrefixInOrder) {
    soildump::Flags f;
    f.water = true;
    EXPECT_EQ(soildump::FileName(f, 5, 7, 1, 2000, 1, 1, 12), "th_dump_row_5_col_7_substep_1_2000010112.dmp");
    f.temperature = f.groundwater = true;
    EXPECT_EQ(soildump::FileName(f, 12, 3, 4, 2021, 11, 30, 0), "h_th_dgw_dump_row_12_col_3_substep_4_2021113000.dmp");
    EXPECT_FALSE(soildump::Flags{}.any());
}

class SoilDumpLog : public talvo_test::TempDirTest {};

TEST_F(SoilDumpLog, CloseAfterDumpReportsItsCode) {
    std::ostringstream console;
    DiagLog log("diag.xml", 4);
    log.SetConsole(console);
    EXPECT_EQ(soildump::ReportCloseAfterDump(log), 199);
    EXPECT_NE(console.str().find("command line option -closeAfterDump active!"), std::string::npos) << console.str();
    EXPECT_NE(console.str().find(" a dumpfile has been written and Talvo aborts now."), std::string::npos);
}
