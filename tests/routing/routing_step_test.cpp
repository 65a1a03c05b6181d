// The routing time step of the whole network: runoff of the subbasins through their channels to
// the outlets, inflows, the routed-discharge table, the initialisation passes and the
// connections of internal inflows.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "routing/connections.hpp"
#include "routing_harness.hpp"

using namespace routing_test;
using submodel_test::CodeOf;

namespace {
class RoutingStepTest : public RoutingHarness {
protected:
    void RoutesAsIfAlone(int nSub);
    // The observed table of subbasin 3 (column "Q3"), steps 0..29, the value of step n value(n).
    static std::string ObservedRows(const std::function<double(int)>& value) {
        std::string table = "observed\nYYYY MM DD HH Q3\n";
        for (int n = 0; n < 30; ++n) {
            const Date d = StepDate(n);
            table += StrFormat("%d %d %d %d %g\n", d.year, d.month, d.day, d.hour, value(n));
        }
        return table;
    }
    // Subbasin 9 fed by 3 through the given channel, the observed discharge of 3 replacing its
    // simulated inflow (flow control 2).
    std::string ObservedSection(const std::string& channel) {
        return Section("TG 9 (area) = 100 = 1\n  OL 3" + channel + "\n", 1, 2001, "1\n3 1\n", 0, 2);
    }
};

// Water held by channel element e of a description (mm over the element's catchment): what waits
// in the delay lines of its sub-channels behind their outflow and what their retention holds.
// Main channel and flood plain (factors cm, cf, flood-plain share a) act as one storage with
// f = cm (1 - a) + cf a whose outflow o follows o' = (1 - f) u + f o: it holds f / (1 - f) o.
double ChannelWater(const routingclass& d, int e, int nSub, double* shares = nullptr) {
    const routingclass::Element& el = d.ElementAt(e);
    const auto line = d.DelayLine(0, d.FlowIndex(e));
    const int stride = el.table.Stride(nSub);
    double mm = 0;
    for (int j = 1; j <= static_cast<int>(el.table.m); ++j) {
        const auto jj = static_cast<std::size_t>(j);
        for (int y = (j - 1) * stride + nSub + 1; y <= el.writePos[jj]; ++y) mm += line[static_cast<std::size_t>(y)];
        const double a = el.qvzuq[jj], f = el.cm * (1 - a) + el.cf * a;
        if (shares != nullptr) *shares += a;
        for (int s = 1; s <= nSub; ++s) mm += f / (1 - f) * el.Qaus[jj][static_cast<std::size_t>(s)];
    }
    return mm / nSub;
}
}  // namespace

TEST_F(RoutingStepTest, NetworkCarriesTheRunoffOfItsSubbasins) {
    // 100 km2 split 0.3 / 0.2 / 0.5; subbasin 9 takes 3 and 5 through its channels.
    SetZones(100, 0.3, 0.2, 0.5);
    const std::string network = "TG 9 (area) = 100 = 1\n  OL 3" + Channel(2, 5000, 30) + "\n  OL 5" +
                                Channel(3, 8000, 20) + "\n";
    for (int unit : {1, 0}) {
        ASSERT_EQ(Build(Section(network), unit), 0u) << console_.str();
        if (!Root()) continue;
        for (int i = 1; i <= 3; ++i) qg_[0][static_cast<std::size_t>(i)] = 1.0;
        Start();
        for (int n = 0; n < 5; ++n) Step(n);
        if (unit == 1) {
            EXPECT_NEAR(model_->SimulatedDischarge(1), 8.3333333, 1e-6 * 8.3333);
            EXPECT_NEAR(model_->SimulatedDischarge(2), 5.5555556, 1e-6 * 5.5556);
            EXPECT_NEAR(model_->SimulatedDischarge(3), 27.777778, 1e-6 * 27.778);
            // The table holds the same values.
            ASSERT_GE(model_->statistic->lastValues().size(), 4u);
            EXPECT_NEAR(model_->statistic->lastValues()[3], 27.777778, 1e-6 * 27.778);
        } else {
            EXPECT_NEAR(model_->SimulatedDischarge(3), 1.0, 1e-6);
        }
        model_->Finish();
    }
}

TEST_F(RoutingStepTest, PulseOfAnInflowReachesTheNextOutletUnchanged) {
    // Inflow 1 (10 m3/s in step 2) enters 5 and goes on through a storage-free channel into 9.
    SetZones(100, 0.3, 0.2, 0.5);
    std::string table = "inflow\nYYYY MM DD HH Q\n";
    for (int n = 0; n < 8; ++n) {
        const Date d = StepDate(n);
        table += StrFormat("%d %d %d %d %g\n", d.year, d.month, d.day, d.hour, n == 2 ? 10.0 : 0.0);
    }
    submodel_test::WriteShared("inflow.txt", table);
    const std::string network = "TG 5 (area) = 20 = 1\n  ZL 1 = extern inflow.txt 1 5" + Channel(0.01, 1, 20) +
                                "\nTG 9 (area) = 80 = 1\n  OL 5" + Channel(0.01, 1, 20) + "\n";
    ASSERT_EQ(Build(Section(network), 1), 0u) << console_.str();
    if (!Root()) return;
    Start();
    for (int n = 0; n < 6; ++n) {
        Step(n);
        const double expected = n == 2 ? 10.0 : 0.0;
        // Unchanged up to the rounding of the unit conversions (16.6666667 x 0.06).
        EXPECT_NEAR(model_->SimulatedDischarge(2), expected, 1e-7) << n;
        EXPECT_NEAR(model_->SimulatedDischarge(3), expected, 1e-7) << n;
    }
}

TEST_F(RoutingStepTest, RoutedDischargeTableHasOneLinePerStep) {
    SetZones(100, 0.3, 0.2, 0.5);
    ASSERT_EQ(Build(Section("TG 9 (area) = 50 = 1\n  OL 3" + Channel(1, 1000, 30) + "\n"), 0), 0u) << console_.str();
    if (!Root()) return;
    Start();
    for (int n = 0; n < 3; ++n) {
        qg_[0] = {0, 0.5 * (n + 1), 0.25, 0.1};
        Step(n);
    }
    model_->Finish();
    const std::string text = talvo_test::ReadFile("Qstat.txt");
    EXPECT_NE(text.find("routed discharge [mm per subbasin] "), std::string::npos) << text;
    EXPECT_NE(text.find("2020\t 1\t 2\t 2"), std::string::npos) << text;
    // Subbasin 5 has no description: its runoff passes unrouted.
    EXPECT_NE(text.find("\t0.25000\t"), std::string::npos) << text;
}

TEST_F(RoutingStepTest, InitialisationPassesCoverTheFlowTimes) {
    EXPECT_EQ(abflussmodellklasse::InitialisationPasses({5.8, 11.2, 0.4}, 60), 16);
    EXPECT_EQ(abflussmodellklasse::InitialisationPasses({5.8, 11.2, 0.4}, 1440), 1);
    EXPECT_EQ(abflussmodellklasse::InitialisationPasses({}, 60), 1);
    EXPECT_EQ(abflussmodellklasse::InitialisationPasses({0.9}, 60), 1);
    SetZones(100, 0.3, 0.2, 0.5);
    // A channel of 3.6 h: three passes at one hour.
    ASSERT_EQ(Build(Section("TG 9 (area) = 50 = 1\n  OL 3" + Channel(0.01, 1, 30) + "\n")), 0u);
    // The flow time of 1 m, known on the routing process.
    const double perMetre = Root() ? model_->Description(1).LargestFlowTime() : 1.0;
    ASSERT_EQ(Build(Section("TG 9 (area) = 50 = 1\n  OL 3" + Channel(0.01, 3.6 / perMetre, 30) + "\n")), 0u);
    if (!Root()) return;
    Start();
    EXPECT_EQ(model_->initialisationPasses, 3);
    EXPECT_TRUE(Logged("routing the initialization discharges (3 times)..."));
}

TEST_F(RoutingStepTest, StartFillsTheChannelsWithTheFirstRunoff) {
    // After the passes a steady runoff leaves every channel as it entered.
    SetZones(100, 0.3, 0.2, 0.5);
    ASSERT_EQ(Build(Section("TG 9 (area) = 50 = 1\n  OL 3" + Channel(4, 30000, 30) + "\n", 2)), 0u);
    if (!Root()) return;
    qg_[0] = {0, 2.0, 1.0, 0.5};
    Start();
    Step(0);
    EXPECT_NEAR(Routed(9), 0.5 * 0.5 / 0.8 + 2.0 * 0.3 / 0.8, 1e-12);
}

TEST_F(RoutingStepTest, InternalInflowWithoutAbstractionStops) {
    ASSERT_EQ(Build(Section("TG 9 (area) = 50 = 1\n  ZL 1 = intern" + Channel(1, 100, 1) + "\n")), 0u);
    if (!Root()) return;
    EXPECT_EQ(CodeOf([&] { Start(); }), 302);
    EXPECT_TRUE(Logged("checking connection of internal inflows and abstractions"));
    EXPECT_TRUE(Logged("\n ---> Error in connecting internal abstractions with internal inflows:\n"
                       "in routing description 1 for TG 9:\nInternal Inflow ZL 1 has no conenction to an internal "
                       "abstraction.\nthis is not allowed\n"));
}

TEST_F(RoutingStepTest, ConnectionsOfInternalFlows) {
    using routing::InternalAbstraction;
    using routing::InternalInflow;
    struct Case {
        std::vector<InternalInflow> inflows;
        std::vector<InternalAbstraction> abstractions;
        int code;
        const char* message;
    } cases[] = {
        {{{1, 9, 1}}, {{2, 5, 1}}, 0, ""},
        {{{1, 9, 1}}, {{2, 5, 1}, {3, 3, 1}}, 300,
         "in routing description 3 for TG 3:\nInflow 1 is already connected to an internal abstraction.\n"
         "Each abstaction (AL-element) must be conencted to exactly one internal inflow(ZL-element)\n"},
        {{{1, 9, 2}}, {{1, 9, 2}}, 301,
         "Abstraction AL 2 from routing description 1 and inflow ZL 2 are both defined for the same routing-subbasin "
         "TG 9.\nthis is not allowed\n"},
        {{{1, 9, 1}}, {{2, 5, 1}, {2, 5, 4}}, 303,
         "in routing description 2 for TG 5:\nInternal abstraction AL 4 is not connected to any internal inflow.\n"},
    };
    for (const Case& c : cases) {
        console_.str("");
        std::vector<int> source;
        EXPECT_EQ(CodeOf([&] { source = routing::ConnectInternalFlows(c.inflows, c.abstractions, *log_); }), c.code);
        if (c.code == 0) {
            EXPECT_EQ(source, std::vector<int>{0});
        } else {
            EXPECT_TRUE(Logged(c.message));
        }
    }
}

TEST_F(RoutingStepTest, JoinedSubbasinsWithoutFlowCarryNoTracer) {
    SetZones(100, 0.3, 0.2, 0.5);
    ASSERT_EQ(Build(Section("TG 9 (area) = 100 = 1\n  SUMTRIB 3&5 (k)" + Channel(1, 1000, 50) + "\n"), 1, 1), 0u)
        << console_.str();
    if (!Root()) return;
    qg_[1] = {0, 5.0, 7.0, 2.0};
    Start();
    Step(0);
    for (double h : {model_->inflowHistory(1, 1, 1), Routed(9, 1)}) {
        EXPECT_TRUE(std::isfinite(h));
    }
    EXPECT_EQ(model_->inflowHistory(1, 1, 1), 0.0);
    // With flow the tracers mix by the flows' weights.
    qg_[0] = {0, 1.0, 3.0, 0.0};
    Step(1);
    const double a3 = 0.3, a5 = 0.2;
    EXPECT_NEAR(model_->inflowHistory(1, 1, 1), (a3 * 1 * 5 + a5 * 3 * 7) / (a3 * 1 + a5 * 3), 1e-12);
}

TEST_F(RoutingStepTest, IrrigationAroundTheRouting) {
    SetZones(100, 0.3, 0.2, 0.5);
    ASSERT_EQ(Build(Section("TG 9 (area) = 100 = 1\n  OL 3" + Channel(0.01, 1, 30) + "\n  OL 5" +
                            Channel(0.01, 1, 20) + "\n")),
              0u);
    if (!Root()) return;
    // Demand (sum) per cell weight; subbasin 9 has no irrigated cells (relative area 0).
    std::vector<zoneFZT> irrigation = {{0, 0, 0, 0, 0}, {0, 0.4, 3, 0.5, 2}, {0, 0.0, 5, 0.25, 1}, {0, 0.3, 9, 0, 0}};
    qg_[0] = {0, 1.0, 0.2, 0.5};
    model_->SetRunoffSource(&qg_);
    model_->CheckConnectionsAndInitRouting();
    model_->SetIrrigationTable(&irrigation);
    Step(0);
    RunoffArray& mi = *model_->GetMaxIrrig();
    EXPECT_NEAR(irrigation[1].sx, 0.2, 1e-12);  // 0.4 over a weight of 2
    EXPECT_EQ(irrigation[3].sx, 0.0);           // no weight: no demand
    EXPECT_NEAR(mi[0][1], 1.0, 1e-12);          // the tributary's flow before the withdrawal
    for (int i = 1; i <= 3; ++i) EXPECT_TRUE(std::isfinite(mi[0][static_cast<std::size_t>(i)])) << i;
    EXPECT_EQ(mi[0][3], 0.0);
    // The outlet lost the 0.2 mm taken from 3 (weight 0.3 of the basin).
    EXPECT_NEAR(Routed(9), 0.5 * 0.5 + 0.3 * (1.0 - 0.2) + 0.2 * 0.2, 1e-9);
}

TEST_F(RoutingStepTest, ObservedDischargeReplacesTheInflowOfItsChannel) {
    SetZones(100, 0.3, 0.2, 0.5);
    submodel_test::WriteShared("observed.txt", ObservedRows([](int n) { return n == 1 ? -1.0 : 4.0; }));
    ASSERT_EQ(Build(ObservedSection(Channel(0.01, 1, 30)), 0), 0u) << console_.str();
    if (!Root()) return;
    qg_[0] = {0, 1.0, 0.0, 0.0};
    Start();
    Step(0);
    // The channel of 3 carries 0.3 of the 0.8 that 9 and 3 cover together.
    EXPECT_NEAR(Routed(9), 0.3 / 0.8 * 4.0, 1e-9);
    Step(1);  // missing observation: the simulated inflow
    EXPECT_NEAR(Routed(9), 0.3 / 0.8 * 1.0, 1e-9);
}

TEST_F(RoutingStepTest, AMissingObservationAtTheStartFillsTheChannelWithTheSimulatedInflow) {
    // The channel starts filled with the step's inflow; where the observation of the first step
    // is missing (-9999), that is the simulated inflow, as in any later step without one.
    SetZones(100, 0.3, 0.2, 0.5);
    submodel_test::WriteShared("observed.txt", ObservedRows([](int n) { return n == 0 ? -9999.0 : 4.0; }));
    ASSERT_EQ(Build(ObservedSection(Channel(1, 1000, 30)), 0), 0u) << console_.str();
    if (!Root()) return;
    qg_[0] = {0, 1.0, 0.0, 0.0};
    Start();
    Step(0);
    EXPECT_NEAR(Routed(9), 0.3 / 0.8 * 1.0, 1e-6);
}

TEST_F(RoutingStepTest, ObservedTableEndsAtAClosingMarkOrAtAnUnreadableRow) {
    SetZones(100, 0.3, 0.2, 0.5);
    const std::string section = ObservedSection(Channel(0.01, 1, 30));
    // A closing mark after the last row is no row: the table is read as it stands.
    submodel_test::WriteShared("observed.txt", ObservedRows([](int) { return 4.0; }) + "end\n");
    ASSERT_EQ(Build(section, 0), 0u) << console_.str();

    // An unreadable row in the table's second block (a block holds 41,666 rows of one column)
    // ends the table: the routing takes no observation of the rows after it and says so; past the
    // end the channel takes the simulated inflow again (neither the last value nor 0).
    std::string table = "observed\nYYYY MM DD HH Q3\n";
    for (int n = 0; n < 41660; ++n) table += "2019 1 1 1 4\n";
    for (int n = 0; n < 40; ++n) {
        const Date d = StepDate(n);
        if (n == 12) table += "2020 1 1 NA\n";
        table += StrFormat("%d %d %d %d %d\n", d.year, d.month, d.day, d.hour, n < 12 ? 4 : 8);
    }
    submodel_test::WriteShared("observed.txt", table);
    ASSERT_EQ(Build(section, 0), 0u) << console_.str();
    if (!Root()) return;
    qg_[0] = {0, 1.0, 0.0, 0.0};
    Start();
    for (int n = 0; n < 30; ++n) {
        Step(n);
        if (n < 12) {
            EXPECT_NEAR(Routed(9), 0.3 / 0.8 * 4.0, 1e-9) << n;
        }
    }
    EXPECT_TRUE(Logged("data row 41673 of observed.txt cannot be read as a date and 1 value: the table ends before it"));
    EXPECT_TRUE(Logged("end of discharge file reached!"));
    EXPECT_NEAR(Routed(9), 0.3 / 0.8 * 1.0, 1e-9);
}

TEST_F(RoutingStepTest, TracerTablePerTracer) {
    SetZones(100, 0.3, 0.2, 0.5);
    ASSERT_EQ(Build(Section("TG 9 (area) = 100 = 1\n  OL 3" + Channel(1, 1000, 30) + "\n"), 0, 1), 0u)
        << console_.str();
    if (!Root()) return;
    qg_[0] = {0, 1.0, 1.0, 1.0};
    qg_[1] = {0, 4.0, 6.0, 2.0};
    Start();
    Step(0);
    model_->Finish();
    // Path, three characters of the tracer's name, five of the module's and the extension.
    const std::string text = talvo_test::ReadFile("tr1routi.txt");
    EXPECT_NE(text.find("tracer concentration for tracer 1 (tr1) "), std::string::npos) << text;
    EXPECT_NE(text.find("\t4\t6\t"), std::string::npos) << text;  // subbasins 3 and 5 unrouted
}

TEST_F(RoutingStepTest, LakeCellsAreCountedOnEveryProcess) {
    // Lake cells in the first and the last row of the grid: each process counts its own rows.
    memory_handling mh;
    Matrix lakes = mh.matrix(1, 4, 1, 5, 4);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) lakes[r][c] = (r == 1 || r == 4) ? 1 : -9999;
    store_[2].grid = &lakes;
    store_[2].internalName = "lake_codes";
    store_[2].hasInternalName = true;
    store_[2].fileName = "lakes.asc";
    store_[2].hasFileName = true;
    SetZones(100, 0.3, 0.2, 0.5);
    const std::string lake = "[lake_model]\n1 flow control parameter for\n1 initialization method for\nx\nx\n0 readgrids for\n";
    submodel_test::WriteShared("test.ctl", submodel_test::ControlFile(Section("TG 9 (area) = 100 = 1\n") + lake,
                                                                      OutputInterval(0)));
    unsigned error = 0;
    model_ = std::make_unique<abflussmodellklasse>(error, log_.get(), settings_, nullptr);
    ASSERT_EQ(error, 0u) << console_.str();
    model_->InitLakeModel(false);
    // Rows 1 and 4 hold 3 and 2 lake cells of the basin.
    const int size = talvo_test::Size();
    ASSERT_EQ(model_->lakeCellsPerRank.size(), static_cast<std::size_t>(size)) << console_.str();
    std::int64_t total = 0;
    for (int r = 0; r < size; ++r) total += model_->lakeCellsPerRank[static_cast<std::size_t>(r)];
    EXPECT_EQ(total, 5);
    EXPECT_TRUE(Logged("lakeCellsPerMPIRank[0] "));
    store_[2] = GridStoreEntry{};
}

TEST_F(RoutingStepTest, PulseKeepsItsVolumeWhenDelaysChangeWithDischarge) {
    // A pulse from subbasins 3 and 5 through two channels whose delays change with the discharge
    // (20 classes of 10 .. 5000 l/s/km2) leaves with the volume it brings, as through channels
    // of a single class.
    SetZones(100, 0.3, 0.2, 0.5);
    const std::string network = "TG 9 (area) = 50 = 1\n  OL 3" + Channel(0.5, 20000, 30) + "\n  OL 5" +
                                Channel(0.3, 35000, 20) + "\n";
    double totals[2] = {0, 0};
    const char* tables[2] = {"10 10 1 1", "10 5000 20 1"};
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(Build(Section(network, 1, 2001, "0\n", 0, 1, tables[run]), 0), 0u) << console_.str();
        if (!Root()) continue;
        qg_[0] = {0, 0, 0, 0};
        Start();
        for (int n = 0; n < 400; ++n) {
            const double pulse = n < 3 ? 8.0 * (n + 1) : (n < 8 ? 2.0 : 0.0);
            qg_[0] = {0, pulse, 0.5 * pulse, 0};
            Step(n);
            totals[run] += Routed(9);
        }
        model_->Finish();
    }
    if (!Root()) return;
    EXPECT_GT(totals[0], 0);
    EXPECT_NEAR(totals[1] / totals[0], 1.0, 1e-9);
}

TEST_F(RoutingStepTest, ChannelsHoldWhatEnteredAndHasNotLeftTheOutlet) {
    // Subbasins 3 (30 km2) and 5 (20 km2) reach the outlet of 9 (50 km2 of its own) through
    // channels with delays and storages; the runoff varies every step. In every step the
    // runoff of the three subbasins = the routed discharge at 9 + the change of the water the
    // channels hold: in the delay lines of their sub-channels and in their storages.
    // Second case: floods that reach the flood plain of a slower storage, with delays and
    // shares that change with the discharge (20 classes): the storage keeps its water when the
    // share changes.
    SetZones(100, 0.3, 0.2, 0.5);
    struct Case {
        double kf3, kf5, scale;
        const char* classes;
    } cases[] = {{2, 0.7, 1, "10 10 1 "}, {8, 3, 30, "10 5000 20 "}};
    for (const Case& k : cases)
        for (int nSub : {1, 2}) {
            const std::string network = "TG 9 (area) = 100 = 1\n  OL 3" + Channel(2, 20000, 30, k.kf3) + "\n  OL 5" +
                                        Channel(0.7, 35000, 20, k.kf5) + "\n";
            ASSERT_EQ(Build(Section(network, nSub, 2001, "0\n", 0, 1, k.classes + std::to_string(nSub)), 0), 0u)
                << console_.str();
            if (!Root()) continue;
            qg_[0] = {0, 2, 1, 0.5};
            Start();
            routingclass& d = model_->Description(1);
            ASSERT_EQ(d.TributaryCount(), 2);
            double shares = 0;
            auto held = [&] { return 30 * ChannelWater(d, 1, nSub, &shares) + 20 * ChannelWater(d, 2, nSub, &shares); };
            double before = held(), in = 0, out = 0;
            EXPECT_GT(before, 0.0);  // the start fills the channels
            for (int n = 0; n < 60; ++n) {
                qg_[0] = {0, n < 20 ? k.scale * (1.0 + (n % 4)) : 0.0, n < 30 ? k.scale * 0.3 * (n % 5) : 0.0,
                          n < 10 ? 0.5 : 0.0};
                const double entered = 30 * qg_[0][1] + 20 * qg_[0][2] + 50 * qg_[0][3];
                Step(n);
                const double left = 100 * Routed(9), now = held();
                EXPECT_NEAR(entered, left + now - before, 1e-10 * (entered + left + now + before))
                    << k.classes << nSub << " step " << n;
                in += entered;
                out += left;
                before = now;
            }
            EXPECT_GT(out, 0.1 * in);
            EXPECT_EQ(shares > 0, k.scale > 1);  // the floods reach the flood plain
            model_->Finish();
        }
}

TEST_F(RoutingStepTest, InflowsAbstractionAndReservoirKeepTheBalanceOfTheNetwork) {
    // As the example basin: subbasin 5 gives 30 % of its outflow above 0.05 m3/s (at most 1 m3/s)
    // to inflow 2 of 9 by an internal abstraction; 9 takes 3 and the rest of 5 through
    // channels, a constant inflow of 0.5 m3/s and inflow 2 through their own channels, and ends
    // in a reservoir. Every step, what the subbasins and the constant inflow bring = the routed
    // discharge below the reservoir + the change of the water in the channels and in the
    // reservoir (1 mm x km2 = 1000 m3). Water moving between m3/s and mm passes the conversion
    // constant 16.6666667, which adds 2e-9 of that water: 1e-9 of the terms.
    SetZones(100, 0.3, 0.2, 0.5);
    const std::string network = "TG 5 (area) = 20 = 1\n  AL 2 = intern 0.05 0.3 1 m3/s\nTG 9 (area) = 100 = 1\n  OL 3" +
                                Channel(2, 20000, 30, 4) + "\n  OL 5" + Channel(0.7, 35000, 20) +
                                "\n  ZL 1 = constant 0.5 (m3/s)" + Channel(1, 10000, 15, 2) + "\n  ZL 2 = intern (from 5)" +
                                Channel(1, 8000, 6) + "\n  SP 1 = file = res1.txt V0 = 1e5 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 60\n";
    const std::string rule = "\n[abstraction_rule_reservoir_1]\n3 1 182\n0 0 0\n5e4 0.5 1\n5e5 4 6\nTargetCap = 8 10\n";
    ASSERT_EQ(Build(Section(network) + rule, 0), 0u) << console_.str();
    if (!Root()) return;
    Start();
    ASSERT_EQ(model_->DescriptionCount(), 2);
    routingclass& d = model_->Description(2);
    ASSERT_EQ(d.InflowCount(), 2);
    ASSERT_EQ(d.ReservoirCount(), 1);
    auto held = [&] {
        double v = d.ReservoirAt(1).Volume() / 1000;
        for (int k = 1; k <= 4; ++k) v += d.ElementAt(k).p.A * ChannelWater(d, k, 1);
        return v;
    };
    double before = held(), out = 0, fed = 0;
    for (int n = 0; n < 48; ++n) {
        qg_[0] = {0, n < 12 ? 1.0 + (n % 4) : 0.0, n < 20 ? 0.3 * (n % 5) : 0.0, n < 6 ? 0.5 : 0.0};
        const double entered = 30 * qg_[0][1] + 20 * qg_[0][2] + 50 * qg_[0][3] + 0.5 * 3.6;
        Step(n);
        const double left = 100 * Routed(9), now = held();
        EXPECT_NEAR(entered, left + now - before, 1e-9 * (entered + left + now + before)) << "step " << n;
        before = now;
        out += left;
        fed += 6 * ChannelWater(d, 4, 1);
    }
    EXPECT_GT(out, 0.0);  // the reservoir releases
    EXPECT_GT(fed, 0.0);  // the abstraction feeds inflow 2
    model_->Finish();
}

TEST_F(RoutingStepTest, IrrigationTakesFromRiverAndReservoirWhatTheCellsReceive) {
    // Subbasin 9 (50 of the 100 km2 of its routing subbasin) irrigates 0.4 mm per step over its
    // own cells, as the irrigation model hands it over: the records' sum over their cell weights,
    // and the part the reservoir gives (at most what it holds) in maxirrigFromReservoirs, both
    // in mm over the subbasin. Every step the network loses exactly 0.4 mm x 50 km2: what the
    // subbasins bring = the routed discharge + the change in the channels and the reservoir +
    // the irrigation water. The reservoir's availability comes back in mm over the subbasin.
    SetZones(100, 0.3, 0.2, 0.5);
    const std::string network = "TG 9 (area) = 100 = 1\n  OL 3" + Channel(2, 20000, 30, 4) + "\n  OL 5" +
                                Channel(0.7, 35000, 20) +
                                "\n  SP 1 = file = res1.txt V0 = 1e5 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 60\n";
    const std::string rule = "\n[abstraction_rule_reservoir_1]\n3 1 182\n0 0 0\n5e4 0.5 1\n5e5 4 6\nTargetCap = 8 10\n";
    ASSERT_EQ(Build(Section(network) + rule, 0), 0u) << console_.str();
    if (!Root()) return;
    Start();
    routingclass& d = model_->Description(1);
    auto held = [&] {
        return d.ReservoirAt(1).Volume() / 1000 + 30 * ChannelWater(d, 1, 1) + 20 * ChannelWater(d, 2, 1);
    };
    std::vector<zoneFZT> irrigation = {{0, 0, 0, 100, 0}, {0, 0, 3, 0.3, 4}, {0, 0, 5, 0.2, 4}, {0, 0, 9, 0.5, 4}};
    model_->SetIrrigationTable(&irrigation);
    RunoffArray& reservoirs = *model_->GetMaxIrrigFromReservoirs();
    reservoirs[0][3] = 0;
    const double demand = 0.4, cells = 50;
    double before = held(), fromReservoir = 0;
    for (int n = 0; n < 24; ++n) {
        qg_[0] = {0, 2.0, 1.0, 1.0 + (n % 3)};
        const double entered = 30 * qg_[0][1] + 20 * qg_[0][2] + 50 * qg_[0][3];
        for (zoneFZT& z : irrigation) z.sx = 0;
        irrigation[3].sx = demand * irrigation[3].RelCellSum;
        // What the reservoir held after the last step, in mm over the subbasin's cells.
        const double offered = reservoirs[0][3];
        if (n > 0) {
            EXPECT_NEAR(offered * cells * 1000, d.ReservoirAt(1).Volume(), 1e-6 * d.ReservoirAt(1).Volume());
        }
        reservoirs[0][3] = std::min(offered, 0.15);
        fromReservoir += reservoirs[0][3];
        Step(n);
        const double left = 100 * Routed(9), now = held();
        EXPECT_NEAR(entered, left + now - before + demand * cells, 1e-9 * (entered + left + now + before))
            << "step " << n;
        before = now;
    }
    EXPECT_GT(fromReservoir, 1.0);  // the reservoir gave its share in most steps
    model_->Finish();
}

TEST_F(RoutingStepTest, OutletGivesAllTheCellsReceivedWhenTheRiverFallsBelowItsOffer) {
    // Irrigation gives the cells of 9 at most what the outlet offered in the step before. In a
    // recession the outlet then carries less than that in the step that pays for it, with one
    // and with three sub-intervals: still all of it leaves the network, every step the network
    // loses exactly what the cells received, and the outlet's flow falls below 0 where the
    // river had less.
    SetZones(100, 0.3, 0.2, 0.5);
    const std::string network = "TG 9 (area) = 100 = 1\n  OL 3" + Channel(2, 20000, 30, 4) + "\n  OL 5" +
                                Channel(0.7, 35000, 20) + "\n";
    for (int nSub : {1, 3}) {
        ASSERT_EQ(Build(Section(network, nSub), 0), 0u) << console_.str();
        if (!Root()) continue;
        Start();
        routingclass& d = model_->Description(1);
        auto held = [&] { return 30 * ChannelWater(d, 1, nSub) + 20 * ChannelWater(d, 2, nSub); };
        std::vector<zoneFZT> irrigation = {{0, 0, 0, 100, 0}, {0, 0, 3, 0.3, 4}, {0, 0, 5, 0.2, 4}, {0, 0, 9, 0.5, 4}};
        model_->SetIrrigationTable(&irrigation);
        const RunoffArray& offers = *model_->GetMaxIrrig();
        const double demand = 2.5, cells = 50;
        double before = held(), offered = 0, given = 0;
        int below = 0;
        for (int n = 0; n < 30; ++n) {
            const double fall = std::pow(0.75, n);
            qg_[0] = {0, 3.0 * fall, 2.0 * fall, 4.0 * fall};
            const double entered = 30 * qg_[0][1] + 20 * qg_[0][2] + 50 * qg_[0][3];
            // What the irrigation model hands over: 9's cells receive what it asks, at most the offer.
            const double received = std::min(demand, offered);
            for (zoneFZT& z : irrigation) z.sx = 0;
            irrigation[3].sx = received * irrigation[3].RelCellSum;
            Step(n);
            const double left = 100 * Routed(9), now = held();
            EXPECT_NEAR(entered, left + now - before + received * cells, 1e-9 * (entered + std::fabs(left) + now + before))
                << "step " << n << ", " << nSub << " sub-intervals";
            below += left < 0 ? 1 : 0;
            given += received * cells;
            before = now;
            offered = offers[0][3];
        }
        EXPECT_GT(below, 5) << nSub;   // the river fell below the offer in the recession
        EXPECT_GT(given, 100.0) << nSub;  // and the cells received water in many steps
        model_->Finish();
    }
}

TEST_F(RoutingStepTest, EachTracerRoutesAsIfItWereAlone) {
    // Every tracer travels with the water and by itself: routed beside two others of other
    // inputs and half-lives, each gives bit for bit what it gives as the only tracer (outlets
    // and delay lines), and the water what it gives without tracers. Two descriptions, a
    // channel of several sub-channels whose delays change with the discharge, four
    // sub-intervals and one (water alone takes passes of its own for both), a constant inflow.
    for (const int nSub : {4, 1}) {
        SCOPED_TRACE(nSub);
        RoutesAsIfAlone(nSub);
    }
}

void RoutingStepTest::RoutesAsIfAlone(int nSub) {
    SetZones(100, 0.3, 0.2, 0.5);
    const std::string section =
        Section("TG 5 (area) = 20 = 1\n  OL 3 = 2 = 4 = 20 = 2000 = 0.1 = 40 = 0.5 = 0.001 = 50000 = 30\n"
                "TG 9 (area) = 80 = 1\n  OL 5" + Channel(0.5, 20000, 50) + "\n  ZL 1 = constant 2.5" +
                    Channel(3, 1000, 10) + "\n",
                nSub, 2001, "0\n", 0, 1, "10 1000 10 " + std::to_string(nSub));
    const double halfLives[4] = {0, -9999, 5, 0.5};  // days; kind 1 does not decay
    struct Result {
        std::vector<std::vector<double>> routed, lines;  // per tracer
    };
    // 60 steps with one tracer of each kind given (kind k: its input and half-life).
    auto route = [&](const std::vector<int>& kinds, Result& r) {
        const int nTr = static_cast<int>(kinds.size());
        ASSERT_EQ(Build(section, 0, nTr), 0u) << console_.str();
        if (!Root()) return;
        for (int t = 1; t <= nTr; ++t) {
            TracerDescriptor& d = tracers_[static_cast<std::size_t>(t)];
            d.half_time = halfLives[kinds[static_cast<std::size_t>(t - 1)]];
            d.radioactive = d.half_time > 0 ? 1 : 0;
        }
        auto fill = [&](int n) {
            qg_[0] = {0, 5 + 4 * std::sin(0.4 * n) + (n % 7 == 0 ? 20 : 0), 1 + 0.5 * std::cos(0.9 * n), 0.3 + 0.01 * n};
            for (int t = 1; t <= nTr; ++t) {
                const int k = kinds[static_cast<std::size_t>(t - 1)];
                qg_[static_cast<std::size_t>(t)] = {0, k + 0.3 * n + std::sin(n * k), 2.0 * k + std::cos(0.5 * n), 0.1 * k * n};
            }
        };
        r.routed.assign(static_cast<std::size_t>(nTr + 1), {});
        r.lines.assign(static_cast<std::size_t>(nTr + 1), {});
        fill(0);
        Start();
        for (int n = 0; n < 60; ++n) {
            fill(n);
            Step(n);
            for (int t = 0; t <= nTr; ++t)
                for (int code : {5, 9}) r.routed[static_cast<std::size_t>(t)].push_back(Routed(code, t));
        }
        for (int n = 1; n <= model_->DescriptionCount(); ++n) {
            const routingclass& d = model_->Description(n);
            for (int e = 1; e <= d.TributaryCount() + d.InflowCount(); ++e)
                for (int t = 0; t <= nTr; ++t) {
                    const auto line = d.DelayLine(t, d.FlowIndex(e));
                    for (std::size_t y = 0; y < line.size(); ++y) r.lines[static_cast<std::size_t>(t)].push_back(line[y]);
                }
        }
        model_->Finish();
    };
    Result all, water, alone[4];
    route({1, 2, 3}, all);
    route({}, water);
    for (int k = 1; k <= 3; ++k) route({k}, alone[k]);
    if (!Root()) return;
    EXPECT_EQ(all.routed[0], water.routed[0]);
    EXPECT_EQ(all.lines[0], water.lines[0]);
    EXPECT_NE(all.routed[2], all.routed[3]);
    for (int k = 1; k <= 3; ++k) {
        EXPECT_EQ(all.routed[static_cast<std::size_t>(k)], alone[k].routed[1]) << k;
        EXPECT_EQ(all.lines[static_cast<std::size_t>(k)], alone[k].lines[1]) << k;
        EXPECT_EQ(all.routed[0], alone[k].routed[0]) << k;
    }
}
