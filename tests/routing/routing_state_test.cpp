// The routing section of the storage content file and the warm start from it, and the
// goodness of fit against observed discharge.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "routing_harness.hpp"

using namespace routing_test;
using submodel_test::CodeOf;

namespace {

class RoutingStateTest : public RoutingHarness {
protected:
    // Subbasins 3 and 5 joined into a channel of two hours to 9, and a constant inflow.
    std::string Network() const {
        return "TG 9 (area) = 100 = 1\n  SUMTRIB 3&5 (k)" + Channel(1.5, 2.5 * 3600 * velocity_, 50) +
               "\n  ZL 1 = constant 2.5" + Channel(3, 1000, 10) + "\n";
    }
    // Runoff of step n, the same in every run.
    void Fill(int n) {
        qg_[0] = {0, 1.0 + std::sin(n * 0.7), 0.5 + 0.3 * std::cos(n * 1.3), 0.2 + 0.05 * n};
        if (qg_.size() > 1) qg_[1] = {0, 3.0 + n, 1.0, 2.0};
    }
    void Run(int from, int to, std::vector<double>& out) {
        for (int n = from; n < to; ++n) {
            Fill(n);
            Step(n);
            out.push_back(Routed(9));
            if (qg_.size() > 1) out.push_back(Routed(9, 1));
        }
    }
    // Runs `total` steps in one go and, again, `split` steps and then a warm start from the
    // state written there (the initialisation passes of the warm run on `warmRunoff` when given);
    // the warm run equals the continuous one to 1e-5.
    void ExpectWarmEqualsContinuous(const std::string& section, int nTr, int split, int total,
                                    const std::string& label, const std::vector<double>* warmRunoff = nullptr) {
        std::vector<double> continuous, warm;
        ASSERT_EQ(Build(section, 0, nTr), 0u) << console_.str();
        if (Root()) {
            Fill(0);
            Start();
            Run(0, total, continuous);
            model_->Finish();
        }
        ASSERT_EQ(Build(section, 0, nTr), 0u);
        if (Root()) {
            Fill(0);
            Start();
            Run(0, split, warm);
            model_->Finish();
        }
        ASSERT_EQ(Build(section, 0, nTr), 0u);
        if (!Root()) return;
        if (warmRunoff != nullptr) qg_[0] = *warmRunoff;
        else Fill(split);
        Start();
        const std::string name = "storage.ftz";
        model_->ReadStorageState(&name, 1);
        Run(split, total, warm);
        ASSERT_EQ(warm.size(), continuous.size());
        for (std::size_t i = 0; i < warm.size(); ++i)
            EXPECT_NEAR(warm[i], continuous[i], 1e-5 * std::fabs(continuous[i]) + 1e-12) << label << " value " << i;
    }
    double velocity_ = 0;
};

}  // namespace

TEST_F(RoutingStateTest, WarmRestartContinuesTheRun) {
    SetZones(100, 0.3, 0.2, 0.5);
    for (int nTr : {0, 1}) {
        for (int nSub : {1, 3}) {
            // The velocity of the single class, from a channel of 1 m.
            ASSERT_EQ(Build(Section("TG 9 (area) = 100 = 1\n  OL 3" + Channel(1.5, 3600, 50) + "\n", nSub)), 0u);
            velocity_ = Root() ? 1.0 / model_->Description(1).LargestFlowTime() : 1.0;
            ExpectWarmEqualsContinuous(Section(Network(), nSub), nTr, 6, 12,
                                       "nTr " + std::to_string(nTr) + " nSub " + std::to_string(nSub));
        }
    }
}

TEST_F(RoutingStateTest, SectionLinesAndTheirFormats) {
    SetZones(100, 0.3, 0.2, 0.5);
    ASSERT_EQ(Build(Section("TG 9 (area) = 100 = 1\n  OL 3" + Channel(1, 1000, 30) + "\n  ZL 1 = constant 1" +
                            Channel(1, 1000, 10) + "\n")),
              0u);
    if (!Root()) return;
    qg_[0] = {0, 0.5, 0, 0};
    Start();
    Step(0);
    model_->Finish();
    const std::string text = talvo_test::ReadFile("storage.ftz");
    // One delay sub-interval of 1 km at the single class: nSub + d = two values per delay line;
    // the inflow's block carries its own channel (1 m3/s over 10 km2 is 0.36 mm).
    const std::string expected =
        "[routing_model]\n9 (routing subbasin with tributaries 3\n0 1 (tracer/flow index and tributary subbasin)\n"
        "0.5 0.5 \n0.5  (wqtab[local tributary 1].Qaus[subchannel 1][1..1])\n"
        "0 (wqtab[local tributary 1].qvzuq[subchannel 1])\n0 4 (tracer/flow index and external inflow)\n"
        "0.36 0.36 \n0.36  (wqtab[local tributary 1].Qaus[subchannel 1][1..1])\n"
        "0 (wqtab[local tributary 1].qvzuq[subchannel 1])\n0 (number of reservoirs)\n\n\n\n";
    EXPECT_EQ(text, expected);
}

TEST_F(RoutingStateTest, ReadingChecksTheFile) {
    SetZones(100, 0.3, 0.2, 0.5);
    const std::string network = "TG 9 (area) = 100 = 1\n  OL 3" + Channel(1, 1000, 30) + "\n";
    const std::string good =
        "[routing_model]\n9 (routing subbasin with tributaries 3\n0 1 (tracer/flow index and tributary subbasin)\n"
        "0.5 0.5 0.5 \n0.25  (wqtab[local tributary 1].Qaus[subchannel 1][1..1])\n"
        "0 (wqtab[local tributary 1].qvzuq[subchannel 1])\n0 (number of reservoirs)\n\n\n\n";
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string s = good;
        s.replace(s.find(from), from.size(), to);
        return s;
    };
    struct Case {
        std::string file;
        unsigned mode;
        int code;
        const char* message;
    } cases[] = {
        {good, 1, 0, ""},
        // Start modes 0, 2 and 4 never open the file, even a bad one.
        {"[snow_model]\n", 0, 0, ""},
        {"[snow_model]\n", 2, 0, ""},
        {"[snow_model]\n", 4, 0, ""},
        {"", 1, 64, "error opening storage content file state.ftz"},
        {"[snow_model]\n", 3, 71, "error looking for the section routing_model in state.ftz"},
        {replaced("9 (routing", "5 (routing"), 1, 71, "error reading subbasin code in file state.ftz (position 1)"},
        {replaced("0 1 (tracer", "1 1 (tracer"), 1, 71, "error reading tracer code in file state.ftz (position 2)"},
        {replaced("0 1 (tracer", "0 2 (tracer"), 1, 71, "error reading tributary index in file state.ftz (position 2)"},
        {replaced("0 (number", "1 (number"), 1, 71, "error reading reservoir code in file state.ftz (position 3)"},
        {good.substr(0, good.find("0.25")), 1, 71, "error reading a stored value in file state.ftz (position 2)"},
        {replaced("0.25", "x.25"), 1, 71, "error reading a stored value in file state.ftz (position 2)"},
        {replaced("0.25", "nan"), 1, 71, "error reading a stored value in file state.ftz (position 2)"},
    };
    for (const Case& c : cases) {
        if (Root()) std::remove("state.ftz");
        if (!c.file.empty()) submodel_test::WriteShared("state.ftz", c.file);
        ASSERT_EQ(Build(Section(network)), 0u);
        if (!Root()) continue;
        console_.str("");
        Start();
        const std::string name = "state.ftz";
        EXPECT_EQ(CodeOf([&] { model_->ReadStorageState(&name, c.mode); }), c.code) << c.message;
        EXPECT_TRUE(Logged(c.message));
        if (c.code == 0 && c.mode == 1) {
            EXPECT_EQ(model_->Description(1).ElementAt(1).Qaus[1][1], 0.25);
        }
    }
}

TEST_F(RoutingStateTest, MismatchOfAStoredValue) {
    ASSERT_EQ(Build(Section("TG 9 (area) = 100 = 1\n")), 0u);
    if (!Root()) return;
    EXPECT_EQ(CodeOf([&] { model_->StorageMismatch("number of tracers", 1, 2); }), 72);
    EXPECT_TRUE(Logged("error in storage file content reading number of tracers:\nvalue in actual control is:   1\n"
                       "but value in storage file is: 2\nTalvo throws..."));
    EXPECT_EQ(model_->CountSubstring("OLOLOL", "OLO"), 2);
}

TEST_F(RoutingStateTest, GoodnessOfFitAgainstObservedDischarge) {
    // Subbasin 3 has no description: its simulated discharge is its runoff 1 + 0.1 n.
    std::string table = "observed\nYYYY MM DD HH Q3\n";
    auto simulated = [](int n) { return 1 + 0.1 * n; };
    auto observed = [&](int n) { return n == 3 ? simulated(n) + 0.5 : (n == 5 ? -1.0 : simulated(n)); };
    for (int n = 0; n < 40; ++n) {
        const Date d = StepDate(n);
        table += StrFormat("%d %d %d %d %.10g\n", d.year, d.month, d.day, d.hour, observed(n));
    }
    submodel_test::WriteShared("observed.txt", table);
    for (int offset : {0, 2}) {
        ASSERT_EQ(Build(Section("TG 9 (area) = 100 = 1\n", 1, 2001, "1\n3 1\n", offset), 0), 0u) << console_.str();
        if (!Root()) continue;
        Start();
        double n = 0, so = 0, so2 = 0, sd2 = 0;
        for (int step = 0; step < 8; ++step) {
            qg_[0][1] = simulated(step);
            Step(step);
            const double o = observed(step);
            if (step < offset || o <= 0) continue;
            n += 1;
            so += o;
            so2 += o * o;
            sd2 += (simulated(step) - o) * (simulated(step) - o);
        }
        const FitSums& lag0 = model_->fitValues[10][1];
        EXPECT_EQ(lag0.pairs, n);
        const double vo = (so2 - so * so / n) / (n - 1);
        EXPECT_NEAR(FitRSquare(lag0), 1 - (sd2 / (n - 1)) / vo, 1e-12);
        EXPECT_EQ(model_->fitLogs[10][1].pairs, n);
        EXPECT_EQ(model_->fitValues[10][2].pairs, 0);  // no column for subbasin 5
        model_->Finish();
        EXPECT_NE(talvo_test::ReadFile("Qstat.txt").find("LIN. R-SQUARE\t0"), std::string::npos);
    }
    // Identical series fit perfectly.
    FitSums same;
    for (double o : {1.0, 2.0, 4.0}) {
        same.pairs += 1;
        same.observed += 1;
        same.sumObs += o;
        same.sumObs2 += o * o;
    }
    EXPECT_EQ(FitRSquare(same), 1.0);
}

TEST_F(RoutingStateTest, EndOfTheObservedTable) {
    std::string table = "observed\nYYYY MM DD HH Q3\n";
    for (int n = 0; n < 12; ++n) {
        const Date d = StepDate(n);
        table += StrFormat("%d %d %d %d 1\n", d.year, d.month, d.day, d.hour);
    }
    submodel_test::WriteShared("observed.txt", table);
    ASSERT_EQ(Build(Section("TG 9 (area) = 100 = 1\n", 1, 2001, "1\n3 1\n"), 0), 0u) << console_.str();
    if (!Root()) return;
    Start();
    for (int step = 0; step < 10; ++step) Step(step);
    EXPECT_TRUE(Logged("end of discharge file reached!"));
    EXPECT_FALSE(Logged("h not found (end of discharge file at "));
    const double pairs = model_->fitValues[10][1].pairs;
    Step(10);
    EXPECT_TRUE(Logged("observed runoff: actual date 2.1.2020 10h not found (end of discharge file at 1.1.2020, 24h)"));
    EXPECT_EQ(model_->fitValues[10][1].pairs, pairs);
}

TEST_F(RoutingStateTest, WarmRestartWithAReservoirContinuesTheRun) {
    SetZones(100, 0.3, 0.2, 0.5);
    // The routed runoff passes a reservoir with a linear rule at the outlet of 9.
    const std::string section =
        Section("TG 9 (area) = 100 = 1\n  OL 3" + Channel(1.5, 5000, 50) +
                "\n  SP 1 = file = res1.txt V0 = 2e5 C0 = 0.5 0 0 0 0 0 0 0 0\n") +
        "\n[abstraction_rule_reservoir_1]\n2\n0 0\n1e7 40\n";
    for (int nTr : {0, 1}) {
        ExpectWarmEqualsContinuous(section, nTr, 6, 12, "nTr " + std::to_string(nTr));
        if (Root()) {
            EXPECT_NE(talvo_test::ReadFile("storage.ftz").find(" (reservoir 1)\n"), std::string::npos);
        }
    }
}

TEST_F(RoutingStateTest, WarmRestartOfSubChannelsWhoseDelaysChange) {
    SetZones(100, 0.3, 0.2, 0.5);
    // A long channel with flood plains in several sub-channels, ten classes whose delays differ,
    // four sub-intervals: each sub-channel's history and where its water ends survive the restart.
    const std::string section =
        Section("TG 9 (area) = 100 = 1\n  OL 3 = 2 = 4 = 20 = 2000 = 0.1 = 40 = 0.5 = 0.001 = 50000 = 30\n", 4, 2001,
                "0\n", 0, 1, "10 1000 10 4");
    ASSERT_EQ(Build(section), 0u) << console_.str();
    if (Root()) {
        ASSERT_GT(model_->Description(1).ElementAt(1).table.m, 1);
    }
    // The initialisation passes of the warm run see a flood: their delays are not the ones the
    // stored water was written with.
    const std::vector<double> flood = {0, 20, 20, 20};
    ExpectWarmEqualsContinuous(section, 0, 15, 30, "sub-channels", &flood);
}

TEST_F(RoutingStateTest, AWarmStartKeepsWhatRiversAndTheReservoirOfferIrrigation) {
    // Irrigation runs before the routing in a step and takes what the routing's last step left
    // available. The state file keeps it at full precision when irrigation is on, so the first
    // step of a warm start finds what the run before offered; a state written without irrigation
    // offers nothing.
    SetZones(100, 0.3, 0.2, 0.5);
    const std::string section =
        Section("TG 9 (area) = 100 = 1\n  OL 3" + Channel(1.5, 5000, 50) +
                "\n  SP 1 = file = res1.txt V0 = 2e5 C0 = 0 0 0 0 0 0 0 0 0\n") +
        "\n[abstraction_rule_reservoir_1]\n2\n0 0\n1e7 40\n";
    std::vector<zoneFZT> irrigation = {{0, 0, 0, 100, 0}, {0, 0, 3, 0.3, 4}, {0, 0, 5, 0.2, 4}, {0, 0, 9, 0.5, 4}};
    const std::string name = "storage.ftz";
    for (bool irrigated : {true, false}) {
        ASSERT_EQ(Build(section), 0u) << console_.str();
        RunoffArray rivers, reservoirs;
        if (Root()) {
            Fill(0);
            Start();
            if (irrigated) model_->SetIrrigationTable(&irrigation);
            for (int n = 0; n < 6; ++n) {
                Fill(n);
                Step(n);
            }
            model_->Finish();
            rivers = *model_->GetMaxIrrig();
            reservoirs = *model_->GetMaxIrrigFromReservoirs();
            EXPECT_EQ(talvo_test::ReadFile(name).find("irrigation availability") != std::string::npos, irrigated);
        }
        ASSERT_EQ(Build(section), 0u);
        if (!Root()) continue;
        Fill(6);
        Start();
        model_->SetIrrigationTable(&irrigation);
        model_->ReadStorageState(&name, 1);
        if (irrigated) {
            EXPECT_GT(reservoirs[0][3], 0.0);  // the reservoir of 9 (zone 3) holds water
            EXPECT_EQ(*model_->GetMaxIrrig(), rivers);
            EXPECT_EQ(*model_->GetMaxIrrigFromReservoirs(), reservoirs);
        } else {
            for (const RunoffArray* a : {model_->GetMaxIrrig(), model_->GetMaxIrrigFromReservoirs()})
                for (const std::vector<double>& row : *a)
                    for (double v : row) EXPECT_EQ(v, 0.0);
        }
        model_->Finish();
    }
}

TEST_F(RoutingStateTest, AStateReadBackIsWrittenAgainByteForByte) {
    // Three tracers, four sub-intervals, a channel of several sub-channels and an inflow: what
    // a warm start reads from the section it writes again unchanged.
    SetZones(100, 0.3, 0.2, 0.5);
    const std::string section =
        Section("TG 9 (area) = 100 = 1\n  OL 3 = 2 = 4 = 20 = 2000 = 0.1 = 40 = 0.5 = 0.001 = 50000 = 30\n"
                "  ZL 1 = constant 2.5" + Channel(3, 1000, 10) + "\n",
                4, 2001, "0\n", 0, 1, "10 1000 10 4");
    auto fill = [&](int n) {
        Fill(n);
        qg_[2] = {0, 0.5 * n, 7.0, 1.0};
        qg_[3] = {0, 2.0, 0.1 * n, 4.0};
    };
    ASSERT_EQ(Build(section, 0, 3), 0u) << console_.str();
    if (Root()) {
        tracers_[2].radioactive = 1;
        tracers_[2].half_time = 3;
        fill(0);
        Start();
        for (int n = 0; n < 9; ++n) {
            fill(n * 3);
            Step(n);
        }
        model_->Finish();
    }
    const std::string written = Root() ? talvo_test::ReadFile("storage.ftz") : "";
    ASSERT_EQ(Build(section, 0, 3), 0u);
    if (!Root()) return;
    fill(1);
    Start();
    const std::string name = "storage.ftz";
    model_->ReadStorageState(&name, 1);
    model_->Finish();
    EXPECT_GT(written.size(), 1000u);
    EXPECT_EQ(talvo_test::ReadFile("storage.ftz"), written);
}
