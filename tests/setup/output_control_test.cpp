// The output control of step 0: the run interval is never below 1, and the subbasin codes of
// "[output_list]" are read in full before their order is checked.
#include <gtest/gtest.h>

#include "setup/defltuzr.hpp"
#include "setup_fixture.hpp"

using setup_test::Count;

namespace {

class OutputControlTest : public setup_test::SetupTest {
protected:
    // Runs step 0 on a control file with the given "[output_interval]" and "[output_list]".
    int StepZero(const std::string& interval, const std::string& list, GlobalSettings* out = nullptr) {
        setup_test::WriteShared("run.ctl", "[output_interval]\n" + interval + "\n[output_list]\n" + list +
                                               "[coordinates]\n50\n8\n15\n1\n[meteo_data_count]\n1\n"
                                               "[meteo_names]\nprecipitation\n");
        unsigned error = 1;
        defaultini setup(error, log_.get(), "run.ctl", 2, store_.get());
        EXPECT_EQ(error, 0u);
        bool done = false;
        const int code = ErrorCode([&] { setup.InitStep(done); });
        if (out && code == 0) *out = setup.GetGlobalSettings();
        return code;
    }
};

TEST_F(OutputControlTest, RunIntervalBelowOneBecomesOneWithOneWarning) {
    for (const char* value : {"0", "-5"}) {
        console_.str("");
        GlobalSettings g;
        ASSERT_EQ(StepZero(std::string(value) + "\n0\n0\n0\n", "0\n", &g), 0);
        EXPECT_EQ(g.outputInterval, 1);
        EXPECT_EQ(Count(Console(), "output interval " + std::string(value) + " in [output_interval] is below 1"), 1);
    }
    console_.str("");
    GlobalSettings g;
    ASSERT_EQ(StepZero("24\n0\n0\n0\n", "0\n", &g), 0);
    EXPECT_EQ(g.outputInterval, 24);
    EXPECT_EQ(Count(Console(), "is below 1"), 0);
}

TEST_F(OutputControlTest, OutputListIsReadBeforeItsOrderIsChecked) {
    // A missing code is reported as such even when the codes read so far are out of order.
    EXPECT_EQ(StepZero("1\n0\n0\n0\n", "3\n7\n3\n"), 17);
    EXPECT_EQ(StepZero("1\n0\n0\n0\n", "3\n7\n3\n9\n"), 97);
    GlobalSettings g;
    EXPECT_EQ(StepZero("1\n0\n0\n0\n", "1\n7\n", &g), 0);
    EXPECT_EQ(g.outputListCodes, (std::vector<std::int32_t>{1, 7}));
    // A count far beyond the list fails on the first missing code.
    EXPECT_EQ(StepZero("1\n0\n0\n0\n", "2000000000\n1\n"), 17);
}

}  // namespace
