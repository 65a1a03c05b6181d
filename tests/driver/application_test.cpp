// The application over the small test domain: the time loop's step order, the interrupt menu
// driven by a real SIGINT, spin-up, coupling and the clean-up.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "driver_fixtures.hpp"
#include "kernel/signals.hpp"

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

DomainOptions Inputs(std::vector<std::string> names) {
    DomainOptions o;
    o.inputs = std::move(names);
    return o;
}

}  // namespace

TEST_F(ApplicationTest, RunWithoutInputsDoesOneStepDatedMinus9999AndClearsInOrder) {
    AppHarness h(DomainOptions{}, {});
    ASSERT_EQ(h.Build(), 0);
    EXPECT_EQ(h.app().run(), 0);
    EXPECT_EQ(h.app().CurrentHour(), -9999);
    EXPECT_EQ(h.app().CurrentYear(), -9999);
    EXPECT_EQ(h.rec.Count("setup.periodic"), 1);
    // Evapotranspiration is off: the land-use parameters advance by a day.
    EXPECT_TRUE(h.rec.Has("setup.landuse:1440"));
    h.app().ClearMemory();
    const std::string log = h.Console();
    std::size_t p = 0;
    for (const char* entry : {"end of initialization reached...", "reached end of simulation sucessfully", "o.k.\n",
                              "deleting modules...", "deleting module routing_model", "deleting module unsatzon_model"}) {
        p = log.find(entry, p);
        ASSERT_NE(p, std::string::npos) << entry << " in order in:\n" << log;
    }
    EXPECT_TRUE(h.rec.Has("setup.statflush"));
    h.app().ClearMemory();  // cleared twice is harmless
}

TEST_F(ApplicationTest, StepsFollowTheInputsDatesInTheFixedOrder) {
    AppHarness h(Inputs({"temperature", "precipitation"}), Days(3));
    ASSERT_EQ(h.Build(), 0);
    ASSERT_EQ(h.inputs.size(), 2u);
    EXPECT_EQ(h.inputs[0]->warnings, 1);
    EXPECT_DOUBLE_EQ(h.inputs[0]->hourOffset, 0.0);
    EXPECT_EQ(h.inputs[0]->status, 1);
    EXPECT_EQ(h.app().run(), 0);
    EXPECT_EQ(h.inputs[0]->steps, 3);
    EXPECT_EQ(h.inputs[1]->steps, 3);
    const std::vector<std::string> step2 = {
        "temperature.run:2/24", "precipitation.run:2/24", "setup.periodic",      "setup.landuse:1440",
        "temperature.write",    "precipitation.write",    "setup.writestd",      "setup.writevar",
        "setup.statreset",      "setup.statadd",          "setup.statstep",      "temperature.advance",
        "precipitation.advance"};
    const int at = h.rec.First(step2[0]);
    ASSERT_GE(at, 0);
    const auto first = h.rec.calls.begin() + at;
    ASSERT_GE(h.rec.calls.end() - first, static_cast<long>(step2.size()));
    EXPECT_EQ(std::vector<std::string>(first, first + static_cast<long>(step2.size())), step2);
}

TEST_F(ApplicationTest, RegressionMethodsComputeTheirRegressionBeforeTheRun) {
    AppHarness h(Inputs({"temperature", "irrigation_amounts_a"}), Days(1));
    ASSERT_EQ(h.Build(), 0);
    h.inputs[0]->method = 11;
    EXPECT_EQ(h.inputs[1]->warnings, 0);  // an irrigation amount never warns
    h.app().run();
    EXPECT_LT(h.rec.First("temperature.regression"), h.rec.First("temperature.run:1/24"));
    EXPECT_FALSE(h.rec.Has("irrigation_amounts_a.regression"));
}

TEST_F(ApplicationTest, InterruptAnswerOneEndsAfterTheStepWithStatus99) {
    AppHarness h(Inputs({"temperature"}), Days(6), "1\n", 2);
    ASSERT_EQ(h.Build(), 0);
    EXPECT_EQ(h.app().run(), 99);
    // The signal came during step 2; the menu at step 3 ends the run after step 3, with the
    // end date of every object set to that step's date.
    EXPECT_EQ(h.inputs[0]->steps, 3);
    EXPECT_TRUE(h.rec.Has("temperature.endnow"));
    EXPECT_TRUE(h.rec.Has("setup.enddate:3.1.2020 24"));
    if (talvo_test::Rank() == 0) {
        EXPECT_TRUE(Contains(h.Console(), "Ctrl-C: cancel the model?"));
    }
    h.app().ClearMemory();
    EXPECT_TRUE(h.rec.Has("temperature.flush"));
}

TEST_F(ApplicationTest, InterruptAnswerTwoEndsAtOnceWithStatus98) {
    AppHarness h(Inputs({"temperature"}), Days(6), "2\n", 1);
    ASSERT_EQ(h.Build(), 0);
    try {
        h.app().run();
        FAIL() << "no immediate end";
    } catch (const ImmediateEnd& e) {
        EXPECT_EQ(e.status, 98);
    }
    EXPECT_EQ(h.inputs[0]->steps, 1);
    EXPECT_TRUE(Contains(h.Console(), "program manually killed by pressing Ctrl-C and selecting 2!"));
}

TEST_F(ApplicationTest, InterruptAnswerThreeFlushesAndOtherAnswersContinue) {
    for (const char* answer : {"3\n", "7\n", "x\n", ""}) {
        AppHarness h(Inputs({"temperature"}), Days(4), answer, 1);
        ASSERT_EQ(h.Build(), 0);
        EXPECT_EQ(h.app().run(), 0) << answer;
        EXPECT_EQ(h.inputs[0]->steps, 4) << answer;
        const bool flushed = h.rec.Has("temperature.flush") && h.rec.Has("setup.statflush");
        EXPECT_EQ(flushed, std::string(answer) == "3\n") << answer;
    }
}

TEST_F(ApplicationTest, SecondInterruptWhilePendingChangesNothing) {
    AppHarness h(Inputs({"temperature"}), Days(3), "0\n");
    ASSERT_EQ(h.Build(), 0);
    std::raise(SIGINT);
    EXPECT_EQ(h.app().ctrlCOption.load(), 1);
    std::raise(SIGINT);
    EXPECT_EQ(h.app().ctrlCOption.load(), 1);
    EXPECT_EQ(h.app().run(), 0);
    EXPECT_EQ(h.inputs[0]->steps, 3);
}

// A failure that only the last process finds during step 2 ends every process at the start of
// step 3 with its code; the others name it as another process's.
TEST_F(ApplicationTest, AFailureOfOneProcessStopsEveryProcessBeforeTheNextStep) {
    AppHarness h(Inputs({"temperature"}), Days(5));
    ASSERT_EQ(h.Build(), 0);
    const bool failing = talvo_test::Rank() == talvo_test::Size() - 1;
    h.inputs[0]->failAtStep = 2;
    h.inputs[0]->failOnRank = talvo_test::Size() - 1;
    h.inputs[0]->failCode = 31;
    EXPECT_EQ(CodeOf([&] { h.app().run(); }), 31);
    EXPECT_EQ(h.inputs[0]->steps, 2);
    EXPECT_EQ(Contains(h.Console(), "another process stopped with error 31; this process stops with it"), !failing);
    EXPECT_EQ(TakeDeferredFailure(), 0);
}

// An interrupt pending at the same step comes first: its menu runs on every process, then the
// failure stops them all (answers 1 and 3), or the immediate end leaves the failure waiting (2).
TEST_F(ApplicationTest, TheInterruptMenuComesBeforeAFailureOfOneProcess) {
    const int last = talvo_test::Size() - 1;
    const bool failing = talvo_test::Rank() == last;
    for (const char* answer : {"1\n", "3\n"}) {
        AppHarness h(Inputs({"temperature"}), Days(5), answer, 2);
        ASSERT_EQ(h.Build(), 0);
        h.inputs[0]->failAtStep = 2;
        h.inputs[0]->failOnRank = last;
        h.inputs[0]->failCode = 27;
        EXPECT_EQ(CodeOf([&] { h.app().run(); }), 27) << answer;
        EXPECT_EQ(h.inputs[0]->steps, 2) << answer;
        EXPECT_EQ(h.rec.Has("temperature.endnow"), std::string(answer) == "1\n") << answer;
        EXPECT_EQ(h.rec.Has("temperature.flush"), std::string(answer) == "3\n") << answer;
        if (talvo_test::Rank() == 0) {
            EXPECT_TRUE(Contains(h.Console(), "Ctrl-C: cancel the model?")) << answer;
        }
        EXPECT_EQ(Contains(h.Console(), "another process stopped with error 27"), !failing) << answer;
        DisableCtrlCHandler();
    }
    AppHarness h(Inputs({"temperature"}), Days(5), "2\n", 2);
    ASSERT_EQ(h.Build(), 0);
    h.inputs[0]->failAtStep = 2;
    h.inputs[0]->failOnRank = last;
    h.inputs[0]->failCode = 27;
    EXPECT_THROW(h.app().run(), ImmediateEnd);
    EXPECT_EQ(h.inputs[0]->steps, 2);
    EXPECT_EQ(TakeDeferredFailure(), failing ? 27 : 0);
}

// Data that end early on one process end every process's run with that step, whether the inputs
// can tell it from what they have read or one of them needs a read.
TEST_F(ApplicationTest, DataThatEndOnOneProcessEndTheRunOfEveryProcess) {
    const int last = talvo_test::Size() - 1;
    for (int readOnRank : {-1, 0}) {
        AppHarness h(Inputs({"temperature", "precipitation"}), Days(6));
        ASSERT_EQ(h.Build(), 0);
        h.inputs[1]->dataEndAtStep = 3;
        h.inputs[1]->dataEndOnRank = last;
        h.inputs[0]->readOnRank = readOnRank;
        EXPECT_EQ(h.app().run(), 0) << readOnRank;
        EXPECT_EQ(h.inputs[0]->steps, 3) << readOnRank;
        EXPECT_TRUE(h.rec.Has("setup.enddate:3.1.2020 24")) << readOnRank;
        EXPECT_EQ(h.rec.Count("precipitation.dataend"), talvo_test::Rank() == last ? 1 : 0) << readOnRank;
        EXPECT_LT(h.rec.First("precipitation.dataend"), h.rec.First("precipitation.endnow")) << readOnRank;
    }
}

// The zone statistics of several inputs, an input without statistics between them, take their
// rows from one exchange: each row holds the mean over the processes of its own input's values.
TEST_F(ApplicationTest, EveryInputsTableHoldsTheMeanOfItsOwnValues) {
    AppHarness h(Inputs({"temperature", "precipitation", "wind_speed", "air_humidity"}), Days(3));
    ASSERT_EQ(h.Build(), 0);
    const double factors[] = {1, 10, 0, 100};
    for (int k : {0, 1, 3}) h.inputs[static_cast<std::size_t>(k)]->KeepStatistics(factors[k]);
    EXPECT_EQ(h.app().run(), 0);
    if (talvo_test::Rank() != 0) return;
    const double meanRank = (talvo_test::Size() + 1) / 2.0;
    for (int k : {0, 1, 3}) {
        const zonalstatistic& s = *h.inputs[static_cast<std::size_t>(k)]->Statistics();
        EXPECT_EQ(s.bufferedRows(), 3u) << k;
        EXPECT_DOUBLE_EQ(s.lastValues()[1], meanRank * 3 * factors[k]) << k;
    }
}

// The processes' zone sums add from process 0 upwards even where process 1 reaches the exchange
// last: with values where the order of the additions shows (1e16 + 1 rounds to 1e16), each row
// holds the sum in process order over three steps.
TEST_F(ApplicationTest, ZoneSumsAddInProcessOrderWhenAProcessComesLate) {
    AppHarness h(Inputs({"temperature", "precipitation"}), Days(3));
    ASSERT_EQ(h.Build(), 0);
    const std::vector<double> values = {1e16, 1, -1e16, 1};
    for (int k = 0; k < 2; ++k) {
        SteppingInput& in = *h.inputs[static_cast<std::size_t>(k)];
        in.KeepStatistics(k + 1);
        in.rankValues = values;
        in.lateRank = k == 0 ? 1 : -1;
    }
    EXPECT_EQ(h.app().run(), 0);
    if (talvo_test::Rank() != 0) return;
    for (int k = 0; k < 2; ++k) {
        double sum = 0.0;
        for (int p = 0; p < talvo_test::Size(); ++p) sum += values[static_cast<std::size_t>(p)] * 3 * (k + 1);
        const zonalstatistic& s = *h.inputs[static_cast<std::size_t>(k)]->Statistics();
        EXPECT_EQ(s.bufferedRows(), 3u) << k;
        EXPECT_EQ(s.lastValues()[1], sum / talvo_test::Size()) << k;
    }
}

// In a step where process 0 may write an input's table the inputs exchange one by one (its log
// entry then comes before the next input's), with the same rows.
TEST_F(ApplicationTest, InputsExchangeOneByOneWhereATableMayBeWritten) {
    AppHarness h(Inputs({"temperature", "precipitation"}), Days(3));
    ASSERT_EQ(h.Build(), 0);
    h.inputs[0]->KeepStatistics(1);
    h.inputs[1]->KeepStatistics(10);
    h.inputs[1]->writeAtStep = 2;
    EXPECT_EQ(h.app().run(), 0);
    const std::vector<std::string> step2 = {"temperature.run:2/24", "temperature.alone", "precipitation.run:2/24",
                                            "precipitation.alone"};
    const int at = h.rec.First(step2[0]);
    ASSERT_GE(at, 0);
    EXPECT_EQ(std::vector<std::string>(h.rec.calls.begin() + at, h.rec.calls.begin() + at + 4), step2);
    EXPECT_EQ(h.rec.Count("temperature.alone"), 1);
    if (talvo_test::Rank() != 0) return;
    const double meanRank = (talvo_test::Size() + 1) / 2.0;
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(h.inputs[k]->Statistics()->bufferedRows(), 3u) << k;
        EXPECT_DOUBLE_EQ(h.inputs[k]->Statistics()->lastValues()[1], meanRank * 3 * (k == 0 ? 1 : 10)) << k;
    }
}

// An input that fails (on every process) ends the run with its code after the inputs before it
// took their rows of the step; it and the inputs after it did not.
TEST_F(ApplicationTest, AFailingInputLeavesTheRowsOfTheInputsBeforeIt) {
    AppHarness h(Inputs({"temperature", "precipitation", "air_humidity"}), Days(4));
    ASSERT_EQ(h.Build(), 0);
    for (SteppingInput* in : h.inputs) in->KeepStatistics(1);
    h.inputs[1]->throwAtStep = 3;
    h.inputs[1]->throwCode = 61;
    EXPECT_EQ(CodeOf([&] { h.app().run(); }), 61);
    EXPECT_EQ(h.inputs[2]->steps, 2);
    if (talvo_test::Rank() != 0) return;
    const double meanRank = (talvo_test::Size() + 1) / 2.0;
    const std::uint64_t rows[] = {3, 2, 2};
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(h.inputs[k]->Statistics()->bufferedRows(), rows[k]) << k;
        EXPECT_DOUBLE_EQ(h.inputs[k]->Statistics()->lastValues()[1], meanRank * static_cast<double>(rows[k])) << k;
    }
}

TEST_F(ApplicationTest, SpinUpRepeatsThePeriod) {
    DomainOptions o = Inputs({"temperature"});
    o.spinUp.spinUpSwitch = 1;
    o.spinUp.repeatCnt = 3;
    AppHarness h(o, Days(2));
    ASSERT_EQ(h.Build(), 0);
    EXPECT_EQ(h.app().run(), 0);
    EXPECT_EQ(h.inputs[0]->steps, 6);
    EXPECT_EQ(h.rec.Count("temperature.rewind"), 2);
    const std::string log = h.Console();
    EXPECT_TRUE(Contains(log, "SpinUp reached end of defined time range for run #1, resetting inputs and starting "
                              "again now (repetition 2 of 3)"));
    EXPECT_TRUE(Contains(log, "for run #2, resetting inputs and starting again now (repetition 3 of 3)"));
    EXPECT_EQ(log.find("run #3"), std::string::npos);
}

TEST_F(ApplicationTest, SpinUpWithoutRepetitionsRunsOnlyThePreSpinUp) {
    DomainOptions o = Inputs({"temperature"});
    o.spinUp.spinUpSwitch = 2;
    o.spinUp.doTemperaturePreSpinUp = 1;
    AppHarness h(o, Days(3));
    ASSERT_EQ(h.Build(), 0);
    EXPECT_EQ(h.app().run(), 0);
    EXPECT_EQ(h.app().EndFlag(), 1);
    EXPECT_EQ(h.inputs[0]->steps, 3);
    EXPECT_EQ(h.rec.Count("temperature.rewind"), 1);
    EXPECT_FALSE(h.rec.Has("setup.periodic"));
    EXPECT_TRUE(Contains(h.Console(), "temperature pre-SpinUp 2.1.2020 24. h "));
    EXPECT_TRUE(Contains(h.Console(), "pre-SpinUp reached end of defined time range. Soil-temperatures are going to "
                                      "be set now."));
}

TEST_F(ApplicationTest, PreSpinUpNeedsTemperatureFirst) {
    DomainOptions o = Inputs({"precipitation"});
    o.spinUp.spinUpSwitch = 1;
    o.spinUp.doTemperaturePreSpinUp = 1;
    o.spinUp.repeatCnt = 1;
    AppHarness h(o, Days(2));
    ASSERT_EQ(h.Build(), 0);
    EXPECT_EQ(CodeOf([&] { h.app().run(); }), 1035);
    EXPECT_TRUE(Contains(h.Console(), "Exception in Modellapplication::run() caught!"));
}

TEST_F(ApplicationTest, CancelDuringSpinUpIsNotRepeated) {
    DomainOptions o = Inputs({"temperature"});
    o.spinUp.spinUpSwitch = 1;
    o.spinUp.repeatCnt = 3;
    AppHarness h(o, Days(4), "1\n", 1);
    ASSERT_EQ(h.Build(), 0);
    EXPECT_EQ(h.app().run(), 99);
    EXPECT_EQ(h.inputs[0]->steps, 2);
    EXPECT_FALSE(h.rec.Has("temperature.rewind"));
}

TEST_F(ApplicationTest, DailyCouplingWaitsAtEachNewDayAndPublishesAtItsEnd) {
    DomainOptions o = Inputs({"temperature"});
    o.coupled = true;
    o.couplingLetter = 'D';
    AppHarness h(o, {{12, 1, 1, 2020}, {24, 1, 1, 2020}, {12, 2, 1, 2020}, {24, 2, 1, 2020}});
    // A coupled run has one process; here each process couples in a directory of its own.
    const std::filesystem::path own = StrFormat("p%d", talvo_test::Rank());
    std::filesystem::create_directory(own);
    std::filesystem::copy_file("test.ctl", own / "test.ctl");
    std::filesystem::current_path(own);
    talvo_test::WriteFile("incoming.sem", "go\n");
    ASSERT_EQ(h.Build(), 0);
    EXPECT_EQ(h.app().run(), 0);
    EXPECT_EQ(h.rec.Count("setup.readexternal:1/12"), 1);
    EXPECT_EQ(h.rec.Count("setup.readexternal:2/12"), 1);
    EXPECT_EQ(h.rec.Count("setup.accumulate"), 2);
    // Each day's output is dated at the day's first step; the second day ends the run.
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
    EXPECT_EQ(CodeOf([&] { h.app().WaitForFile("never.sem", 10); }), 98);
    EXPECT_TRUE(Contains(h.Console(), "Exception in Modellapplication::WaitForFile() caught!"));
    const std::string own = std::to_string(talvo_test::Rank()) + ".sem";
    talvo_test::WriteFile(own, "");
    EXPECT_EQ(h.app().WaitForFile(own, 10), 1);
}

TEST_F(ApplicationTest, FloatingPointFlagIsRaisedOnceAndNeverTouchesDeletedModels) {
    AppHarness h(DomainOptions{}, {});
    ASSERT_EQ(h.Build(), 0);
    EXPECT_TRUE(h.app().FlagFloatingPointError());
    EXPECT_FALSE(h.app().FlagFloatingPointError());
    h.app().run();
    h.app().ClearMemory();
    // The sub-models are gone: the handler finds no flag to raise.
    EXPECT_TRUE(h.app().FlagFloatingPointError());
}

TEST_F(ApplicationTest, ConstructionStopsWithTheCodeOfWhatFailed) {
    DomainOptions full = Inputs({"temperature"});
    full.occupiedStoreEntries = 998;
    AppHarness h(full, Days(1));
    EXPECT_EQ(h.Build(), 12);
    EXPECT_TRUE(Contains(h.Console(), "no more free grids in memeory, (max. 1000)!"));
    EXPECT_TRUE(Contains(h.Console(), "exceptions in ModellApplication::init() caught!"));

    WriteShared("test.ctl", ControlFile("[snow_model]\n1 flow control\n60 time step\n\n"));
    AppHarness snow(DomainOptions{}, {});
    // The snow model needs the subbasin grid of the soil model, which this domain lacks.
    EXPECT_EQ(snow.Build(), 33);
    EXPECT_TRUE(Contains(snow.Console(), "zonegrid_soilmodel not found in memory,"));
    EXPECT_EQ(snow.Console().find("end of initialization reached..."), std::string::npos);
}
