// The application over a small test domain: construction, the time loop with its step order,
// end test and spin-up, the interrupt menu driven by a real SIGINT, and the clean-up.
#include <gtest/gtest.h>

#include <csignal>
#include <mpi.h>

#include "driver_fixtures.hpp"
#include "kernel/signals.hpp"
#include "support/test_support.hpp"

using namespace driver_test;

namespace {

class ApplicationTest : public talvo_test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        WriteShared("test.ctl", ControlFile());
    }
    void TearDown() override {
        DisableCtrlCHandler();
        TempDirTest::TearDown();
    }
};

std::vector<Date> Days(int n) {
    std::vector<Date> d;
    for (int i = 1; i <= n; ++i) d.push_back({24, i, 1, 2020});
    return d;
}

// Position of text in s after position from; npos when absent.
std::size_t After(const std::string& s, const std::string& text, std::size_t from) {
    return from == std::string::npos ? from : s.find(text, from);
}

}  // namespace

TEST_F(ApplicationTest, RunWithoutInputsDoesOneStepDatedMinus9999AndClearsInOrder) {
    AppHarness h(DomainOptions{}, {});
    ASSERT_EQ(h.Build(), 0);
    EXPECT_TRUE(h.app().Built());
    EXPECT_EQ(h.app().run(), 0);
    EXPECT_EQ(h.app().CurrentHour(), -9999);
    EXPECT_EQ(h.app().CurrentYear(), -9999);
    EXPECT_EQ(h.rec.Count("setup.periodic"), 1);
    EXPECT_EQ(h.rec.Count("setup.writestd"), 1);
    // Evapotranspiration is off: the land-use parameters advance by a day.
    EXPECT_TRUE(h.rec.Has("setup.landuse:1440"));
    h.app().ClearMemory();
    const std::string log = h.Console();
    std::size_t p = log.find("end of initialization reached...");
    p = After(log, "reached end of simulation sucessfully", p);
    p = After(log, "o.k.\n", p);
    p = After(log, "deleting modules...", p);
    p = After(log, "deleting module routing_model", p);
    p = After(log, "deleting module unsatzon_model", p);
    EXPECT_NE(p, std::string::npos) << log;
    EXPECT_TRUE(h.rec.Has("setup.statflush"));
    EXPECT_TRUE(h.rec.Has("setup.linkexternal"));
    // Cleared twice is harmless.
    h.app().ClearMemory();
}

TEST_F(ApplicationTest, StepsFollowTheInputsDatesInTheFixedOrder) {
    DomainOptions o;
    o.inputs = {"temperature", "precipitation"};
    AppHarness h(o, Days(3));
    ASSERT_EQ(h.Build(), 0);
    ASSERT_EQ(h.inputs.size(), 2u);
    EXPECT_EQ(h.inputs[0]->warnings, 1);
    EXPECT_DOUBLE_EQ(h.inputs[0]->hourOffset, 0.0);
    EXPECT_EQ(h.inputs[0]->status, 1);
    EXPECT_EQ(h.app().run(), 0);
    EXPECT_EQ(h.inputs[0]->steps, 3);
    EXPECT_EQ(h.inputs[1]->steps, 3);
    const auto& c = h.rec.calls;
    // Within a step: the inputs run, then the set-up grids, the output grids, the set-up
    // outputs, and last the records advance.
    const int run2 = h.rec.First("temperature.run:2/24");
    ASSERT_GE(run2, 0);
    EXPECT_EQ(c[static_cast<std::size_t>(run2) + 1], "precipitation.run:2/24");
    EXPECT_EQ(c[static_cast<std::size_t>(run2) + 2], "setup.periodic");
    EXPECT_EQ(c[static_cast<std::size_t>(run2) + 3], "setup.landuse:1440");
    EXPECT_EQ(c[static_cast<std::size_t>(run2) + 4], "temperature.write");
    EXPECT_EQ(c[static_cast<std::size_t>(run2) + 5], "precipitation.write");
    EXPECT_EQ(c[static_cast<std::size_t>(run2) + 6], "setup.writestd");
    EXPECT_EQ(c[static_cast<std::size_t>(run2) + 7], "setup.writevar");
    EXPECT_EQ(c[static_cast<std::size_t>(run2) + 8], "setup.statreset");
    EXPECT_EQ(c[static_cast<std::size_t>(run2) + 9], "setup.statadd");
    EXPECT_EQ(c[static_cast<std::size_t>(run2) + 10], "setup.statstep");
    EXPECT_EQ(c[static_cast<std::size_t>(run2) + 11], "temperature.advance");
    EXPECT_EQ(c[static_cast<std::size_t>(run2) + 12], "precipitation.advance");
    EXPECT_FALSE(h.rec.Has("temperature.regression"));
}

TEST_F(ApplicationTest, RegressionMethodsComputeTheirRegressionBeforeTheRun) {
    DomainOptions o;
    o.inputs = {"temperature", "irrigation_amounts_a"};
    AppHarness h(o, Days(1));
    ASSERT_EQ(h.Build(), 0);
    h.inputs[0]->method = 11;
    EXPECT_EQ(h.inputs[1]->warnings, 0);  // an irrigation amount never warns
    h.app().run();
    EXPECT_LT(h.rec.First("temperature.regression"), h.rec.First("temperature.run:1/24"));
    EXPECT_FALSE(h.rec.Has("irrigation_amounts_a.regression"));
}

TEST_F(ApplicationTest, InterruptAnswerOneEndsAfterTheStepWithStatus99) {
    DomainOptions o;
    o.inputs = {"temperature"};
    AppHarness h(o, Days(6), "1\n", 2);
    ASSERT_EQ(h.Build(), 0);
    EXPECT_EQ(h.app().run(), 99);
    // The signal came during step 2; the menu at step 3 ends the run after step 3, with the
    // end date of every object set to that step's date.
    EXPECT_EQ(h.inputs[0]->steps, 3);
    EXPECT_TRUE(h.rec.Has("temperature.endnow"));
    EXPECT_TRUE(h.rec.Has("setup.enddate:3.1.2020 24"));
    if (talvo_test::Rank() == 0) {
        EXPECT_NE(h.Console().find("Ctrl-C: cancel the model?"), std::string::npos);
    }
    h.app().ClearMemory();
    EXPECT_TRUE(h.rec.Has("temperature.flush"));
}

TEST_F(ApplicationTest, InterruptAnswerTwoEndsAtOnceWithStatus98) {
    DomainOptions o;
    o.inputs = {"temperature"};
    AppHarness h(o, Days(6), "2\n", 1);
    ASSERT_EQ(h.Build(), 0);
    try {
        h.app().run();
        FAIL() << "no immediate end";
    } catch (const ImmediateEnd& e) {
        EXPECT_EQ(e.status, 98);
    }
    EXPECT_EQ(h.inputs[0]->steps, 1);
    EXPECT_NE(h.Console().find("program manually killed by pressing Ctrl-C and selecting 2!"), std::string::npos);
}

TEST_F(ApplicationTest, InterruptAnswerThreeFlushesAndOtherAnswersContinue) {
    for (const char* answer : {"3\n", "7\n", "x\n", ""}) {
        DomainOptions o;
        o.inputs = {"temperature"};
        AppHarness h(o, Days(4), answer, 1);
        ASSERT_EQ(h.Build(), 0);
        EXPECT_EQ(h.app().run(), 0) << answer;
        EXPECT_EQ(h.inputs[0]->steps, 4) << answer;
        const bool flushed = h.rec.Has("temperature.flush") && h.rec.Has("setup.statflush");
        EXPECT_EQ(flushed, std::string(answer) == "3\n") << answer;
    }
}

TEST_F(ApplicationTest, SecondInterruptWhilePendingChangesNothing) {
    DomainOptions o;
    o.inputs = {"temperature"};
    AppHarness h(o, Days(3), "0\n", 0);
    ASSERT_EQ(h.Build(), 0);
    std::raise(SIGINT);
    EXPECT_EQ(h.app().ctrlCOption.load(), 1);
    // The handler ignores further signals until the menu has been answered.
    std::raise(SIGINT);
    EXPECT_EQ(h.app().ctrlCOption.load(), 1);
    EXPECT_EQ(h.app().run(), 0);
    EXPECT_EQ(h.inputs[0]->steps, 3);
}

TEST_F(ApplicationTest, SpinUpRepeatsThePeriod) {
    DomainOptions o;
    o.inputs = {"temperature"};
    o.spinUp.spinUpSwitch = 1;
    o.spinUp.repeatCnt = 3;
    AppHarness h(o, Days(2));
    ASSERT_EQ(h.Build(), 0);
    EXPECT_EQ(h.app().run(), 0);
    EXPECT_EQ(h.inputs[0]->steps, 6);
    EXPECT_EQ(h.rec.Count("temperature.rewind"), 2);
    const std::string log = h.Console();
    EXPECT_NE(log.find("SpinUp reached end of defined time range for run #1, resetting inputs and starting again now "
                       "(repetition 2 of 3)"),
              std::string::npos);
    EXPECT_NE(log.find("for run #2, resetting inputs and starting again now (repetition 3 of 3)"), std::string::npos);
    EXPECT_EQ(log.find("run #3"), std::string::npos);
}

TEST_F(ApplicationTest, SpinUpWithoutRepetitionsRunsNoStep) {
    DomainOptions o;
    o.inputs = {"temperature"};
    o.spinUp.spinUpSwitch = 2;
    o.spinUp.doTemperaturePreSpinUp = 1;
    AppHarness h(o, Days(3));
    ASSERT_EQ(h.Build(), 0);
    EXPECT_EQ(h.app().run(), 0);
    EXPECT_EQ(h.app().EndFlag(), 1);
    // Only the pre-spin-up pass ran: three temperature steps, then the input was rewound.
    EXPECT_EQ(h.inputs[0]->steps, 3);
    EXPECT_EQ(h.rec.Count("temperature.rewind"), 1);
    EXPECT_FALSE(h.rec.Has("setup.periodic"));
    const std::string log = h.Console();
    EXPECT_NE(log.find("temperature pre-SpinUp 2.1.2020 24. h "), std::string::npos);
    EXPECT_NE(log.find("pre-SpinUp reached end of defined time range. Soil-temperatures are going to be set now."),
              std::string::npos);
}

TEST_F(ApplicationTest, PreSpinUpNeedsTemperatureFirst) {
    DomainOptions o;
    o.inputs = {"precipitation"};
    o.spinUp.spinUpSwitch = 1;
    o.spinUp.doTemperaturePreSpinUp = 1;
    o.spinUp.repeatCnt = 1;
    AppHarness h(o, Days(2));
    ASSERT_EQ(h.Build(), 0);
    try {
        h.app().run();
        FAIL();
    } catch (const ModelError& e) {
        EXPECT_EQ(e.code(), 1035);
    }
    EXPECT_NE(h.Console().find("Exception in Modellapplication::run() caught!"), std::string::npos);
}

TEST_F(ApplicationTest, CancelDuringSpinUpIsNotRepeated) {
    DomainOptions o;
    o.inputs = {"temperature"};
    o.spinUp.spinUpSwitch = 1;
    o.spinUp.repeatCnt = 3;
    AppHarness h(o, Days(4), "1\n", 1);
    ASSERT_EQ(h.Build(), 0);
    EXPECT_EQ(h.app().run(), 99);
    EXPECT_EQ(h.inputs[0]->steps, 2);
    EXPECT_FALSE(h.rec.Has("temperature.rewind"));
}

TEST_F(ApplicationTest, DailyCouplingWaitsAtEachNewDayAndPublishesAtItsEnd) {
    DomainOptions o;
    o.inputs = {"temperature"};
    o.coupled = true;
    o.couplingLetter = 'D';
    // Two days of 12-hour steps.
    AppHarness h(o, {{12, 1, 1, 2020}, {24, 1, 1, 2020}, {12, 2, 1, 2020}, {24, 2, 1, 2020}});
    // A coupled run has one process; here each process couples in a directory of its own.
    const std::filesystem::path own = std::filesystem::path("p") += std::to_string(talvo_test::Rank());
    std::filesystem::create_directory(own);
    std::filesystem::copy_file("test.ctl", own / "test.ctl");
    std::filesystem::current_path(own);
    talvo_test::WriteFile("incoming.sem", "go\n");
    ASSERT_EQ(h.Build(), 0);
    EXPECT_EQ(h.app().run(), 0);
    EXPECT_EQ(h.rec.Count("setup.readexternal:1/12"), 1);
    EXPECT_EQ(h.rec.Count("setup.readexternal:2/12"), 1);
    EXPECT_EQ(h.rec.Count("setup.accumulate"), 2);
    // Each day's output is dated at the day's first step; the second day ends the run, and
    // its date stays the last one.
    EXPECT_TRUE(h.rec.Has("setup.writeexternal:1.1.2020 D"));
    EXPECT_TRUE(h.rec.Has("setup.writeexternal:2.1.2020"));
    EXPECT_EQ(talvo_test::ReadFile("outgoing.sem"), "ready\n");
    EXPECT_FALSE(std::filesystem::exists("Talvo_Vey_temporary_semaphore.file"));
    std::filesystem::current_path("..");
}

TEST_F(ApplicationTest, WaitForFileAnswerTwoIsError98) {
    AppHarness h(DomainOptions{}, {}, "2\n");
    ASSERT_EQ(h.Build(), 0);
    h.app().ctrlCOption.store(1);
    try {
        h.app().WaitForFile("never.sem", 10);
        FAIL();
    } catch (const ModelError& e) {
        EXPECT_EQ(e.code(), 98);
    }
    EXPECT_NE(h.Console().find("Exception in Modellapplication::WaitForFile() caught!"), std::string::npos);
    // An existing file is found at once.
    talvo_test::WriteFile(std::to_string(talvo_test::Rank()) + ".sem", "");
    EXPECT_EQ(h.app().WaitForFile(std::to_string(talvo_test::Rank()) + ".sem", 10), 1);
}

TEST_F(ApplicationTest, FloatingPointFlagIsRaisedOnceAndNeverTouchesDeletedModels) {
    AppHarness h(DomainOptions{}, {});
    ASSERT_EQ(h.Build(), 0);
    EXPECT_TRUE(h.app().FlagFloatingPointError());
    // The soil model's flag is set: a second signal changes nothing.
    EXPECT_FALSE(h.app().FlagFloatingPointError());
    h.app().run();
    h.app().ClearMemory();
    // The sub-models are gone: the handler finds no flag to raise.
    EXPECT_TRUE(h.app().FlagFloatingPointError());
}

TEST_F(ApplicationTest, FullGridStoreStopsTheInputsWithCode12) {
    DomainOptions o;
    o.inputs = {"temperature"};
    o.occupiedStoreEntries = 998;
    AppHarness h(o, Days(1));
    EXPECT_EQ(h.Build(), 12);
    EXPECT_NE(h.Console().find("no more free grids in memeory, (max. 1000)!"), std::string::npos);
    EXPECT_NE(h.Console().find("exceptions in ModellApplication::init() caught!"), std::string::npos);
}

TEST_F(ApplicationTest, ASubModelSwitchedOnStopsTheConstructionWithItsCode) {
    WriteShared("test.ctl", ControlFile("[snow_model]\n1 flow control\n60 time step\n\n"));
    AppHarness h(DomainOptions{}, {});
    EXPECT_EQ(h.Build(), 2072);
    const std::string log = h.Console();
    EXPECT_NE(log.find("module snow_model is not implemented"), std::string::npos);
    EXPECT_EQ(log.find("end of initialization reached..."), std::string::npos);
}
