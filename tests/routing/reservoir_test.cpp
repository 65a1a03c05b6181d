// Reservoirs and abstractions at the outlet of a routing subbasin, driven through the routing
// model's step: balances, the closed forms of a linear rule, the table's top and the caps.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "routing_harness.hpp"

using namespace routing_test;
using submodel_test::CodeOf;

namespace {

// Subbasin 9 (zone share 0.5 of 100 km2) routes its own runoff into reservoir 1.
constexpr double kArea = 50;

std::string Reservoir(const std::string& extra = " dTmin = 60", double V0 = 1e6) {
    return StrFormat("TG 9 (area) = %g = 1\n  SP 1 = file = res1.txt V0 = %g C0 = 0 0 0 0 0 0 0 0 0", kArea, V0) +
           extra + "\n";
}

std::string Rule(int code, const std::string& body, const char* kind = "reservoir") {
    return StrFormat("\n[abstraction_rule_%s_%d]\n", kind, code) + body + "\n";
}

// Runoff of subbasin 9 (mm per step) that brings Q m3/s.
double RunoffFor(double Q) { return Q * 0.06 * 60 / kArea; }


class ReservoirTest : public RoutingHarness {
protected:
    routing::Reservoir& Res() { return model_->Description(1).ReservoirAt(1); }
    // Routes n steps of inflow Q(step) m3/s; checks the balance of every step.
    template <class F>
    void RouteChecked(int steps, F&& inflow) {
        for (int n = 0; n < steps; ++n) {
            qg_[0][3] = RunoffFor(inflow(n));
            const double before = Res().Volume();
            Step(n);
            const routing::ReservoirBalance& b = Res().Balance();
            const double change = b.Qin.m3 - b.Qout.m3 - b.Irrig.m3 - b.Abstr.m3;
            EXPECT_NEAR(Res().Volume() - before, change, 1e-9 * std::max(1.0, std::fabs(before))) << n;
            EXPECT_GE(Res().Volume(), 0) << n;
        }
    }
};

}  // namespace

TEST_F(ReservoirTest, LinearRuleDrainsByTheClosedForm) {
    SetZones(100, 0.3, 0.2, 0.5);
    ASSERT_EQ(Build(Section(Reservoir()) + Rule(1, "2\n0 0\n1e9 1e4")), 0u) << console_.str();
    if (!Root()) return;
    Start();
    EXPECT_EQ(Res().Volume(), 1e6);  // the initialisation passes leave the volume
    RouteChecked(24, [](int) { return 0.0; });
    const double expected = 1e6 * std::pow(1 - 6e-4, 1440);
    EXPECT_NEAR(Res().Volume(), expected, 1e-6 * expected);
    EXPECT_NEAR(expected, 421363.5, 0.1);
    EXPECT_NEAR(Res().Volume(), 1e6 * std::exp(-0.864), 1e-3 * 1e6);
    model_->Finish();
    // One row per step; a plain reservoir has no level, area, mm, lake terms or error.
    const auto rows = ElementFileRows("res1.txt");
    ASSERT_EQ(rows.size(), 24u);
    for (const auto& r : rows) {
        ASSERT_EQ(r.size(), 34u);
        for (int c : {4, 5, 8, 11, 14, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 29, 31, 32, 33})
            EXPECT_EQ(r[static_cast<std::size_t>(c)], 0) << c;
    }
    EXPECT_NEAR(rows.back()[6], expected, 1e-5 * expected);
    const std::string text = talvo_test::ReadFile("res1.txt");
    EXPECT_EQ(text.substr(0, text.find('\n')).substr(0, 36), "YY\tMM\tDD\tHH\tW[m]\tA[m2]\tV[m3]\tQin[m3]");
    EXPECT_NE(text.find("Err[m3s]\nreservoir_1\nYY\tMM"), std::string::npos);
}

TEST_F(ReservoirTest, TriangularInflowThroughALinearStoragePeaksLowerAndLater) {
    SetZones(100, 0.3, 0.2, 0.5);
    ASSERT_EQ(Build(Section(Reservoir(" dTmin = 60", 0)) + Rule(1, "2\n0 0\n1e9 1e4")), 0u) << console_.str();
    if (!Root()) return;
    Start();
    auto inflow = [](int n) { return n <= 10 ? 10.0 * n : std::max(0.0, 10.0 * (20 - n)); };
    // Reference: RK4 of dV/dt = I - V / K (K = 1e5 s) in steps of 60 s with the step's inflow.
    double V = 0;
    std::vector<double> reference;
    for (int n = 0; n < 40; ++n) {
        const double I = inflow(n), start = V, h = 60, K = 1e5;
        for (int s = 0; s < 60; ++s) {
            auto f = [&](double v) { return I - v / K; };
            const double k1 = f(V), k2 = f(V + h / 2 * k1), k3 = f(V + h / 2 * k2), k4 = f(V + h * k3);
            V += h / 6 * (k1 + 2 * k2 + 2 * k3 + k4);
        }
        reference.push_back((start - V) / 3600 + I);
    }
    RouteChecked(40, inflow);
    model_->Finish();
    const auto rows = ElementFileRows("res1.txt");
    ASSERT_EQ(rows.size(), 40u);
    int peak = 0;
    for (int n = 0; n < 40; ++n) {
        const double q = rows[static_cast<std::size_t>(n)][12];
        EXPECT_NEAR(q, reference[static_cast<std::size_t>(n)], 0.01 * 100) << n;
        if (q > rows[static_cast<std::size_t>(peak)][12]) peak = n;
    }
    const double Qpeak = rows[static_cast<std::size_t>(peak)][12];
    EXPECT_LT(Qpeak, 100);
    EXPECT_GT(peak, 10);
    // The outflow peaks where it meets the falling inflow.
    EXPECT_LE(std::fabs(Qpeak - inflow(peak)), std::fabs(inflow(peak) - inflow(peak + 1)) + 1e-9);
}

TEST_F(ReservoirTest, AboveItsTableAReservoirReleasesItsInflowUpToItsCap) {
    SetZones(100, 0.3, 0.2, 0.5);
    for (const char* cap : {"", "TargetCap = 3", "TargetCap = 0", "TargetCap = -2"}) {
        ASSERT_EQ(Build(Section(Reservoir()) + Rule(1, "2\n0 0\n1e5 1\n" + std::string(cap))), 0u) << console_.str();
        if (!Root()) continue;
        Start();
        const bool capped = std::string(cap) == "TargetCap = 3";
        for (int n = 0; n < 3; ++n) {
            qg_[0][3] = RunoffFor(5);
            const double before = Res().Volume();
            Step(n);
            // Up to the rounding of the unit conversions (16.6666667 x 0.06).
            EXPECT_NEAR(Res().Outflow(), capped ? 3 : 5, 1e-7) << cap;
            EXPECT_NEAR(Res().Volume() - before, capped ? 7200 : 0, 1e-3) << cap;
            EXPECT_NEAR(model_->SimulatedDischarge(3), capped ? 3 : 5, 1e-6) << cap;
        }
        model_->Finish();
    }
}

TEST_F(ReservoirTest, SubStepLongerThanTheStepReleasesNothing) {
    SetZones(100, 0.3, 0.2, 0.5);
    ASSERT_EQ(Build(Section(Reservoir(" dTmin = 7200")) + Rule(1, "2\n0 0\n1e9 1e4")), 0u) << console_.str();
    if (!Root()) return;
    EXPECT_TRUE(Logged("for reservoir 1: the outflow sub-step dTmin (7200 s) is longer than the time step"));
    Start();
    RouteChecked(2, [](int) { return 1.0; });
    EXPECT_EQ(Res().Outflow(), 0);
    EXPECT_NEAR(Res().Volume(), 1e6 + 7200, 1e-3);
    model_->Finish();
}

TEST_F(ReservoirTest, ParameterAndRuleErrorsHaveTheirCodes) {
    SetZones(100, 0.3, 0.2, 0.5);
    const std::string rule = Rule(1, "2\n0 0\n1e9 1e4");
    struct Case {
        std::string network, rules;
        unsigned code;
        const char* message;
    } cases[] = {
        {StrFormat("TG 9 (area) = %g = 1\n  SP 1 = V0 = 1 C0 = 0\n", kArea), rule, 35, "no \"file =\" found!"},
        {StrFormat("TG 9 (area) = %g = 1\n  SP 1 = file = r.txt C0 = 0\n", kArea), rule, 35, "no \"V0 =\" found!"},
        {StrFormat("TG 9 (area) = %g = 1\n  SP 1 = file = r.txt V0 = 1\n", kArea), rule, 35, "no \"C0 =\" found!"},
        {Reservoir(" dTmin = 0"), rule, 35, "dTmin must be greater than 0"},
        {Reservoir(" dTmin = -60"), rule, 35, "dTmin must be greater than 0"},
        {Reservoir(), "", 34, "section [abstraction_rule_reservoir_1] not found in control file"},
        {Reservoir(), Rule(1, "2 x 4\n0 0\n1 1"), 34, "invalid head line in section [abstraction_rule_reservoir_1]"},
        {Reservoir(), Rule(1, "2 100 100\n0 0 0\n1 1 1"), 34, "invalid head line"},
        {Reservoir(), Rule(1, "0\n"), 34, "invalid head line"},
    };
    for (const Case& c : cases) {
        console_.str("");
        const unsigned code = Build(Section(c.network) + c.rules);
        if (!Root()) continue;
        EXPECT_EQ(code, c.code) << c.network << c.rules;
        EXPECT_TRUE(Logged(c.message)) << c.network;
    }
}

TEST_F(ReservoirTest, WithdrawalsNeverMakeTheVolumeNegative) {
    if (!Root()) GTEST_SKIP() << "reservoirs live on process 0";
    routing::Reservoir r(3, 9, *log_, nullptr, 0, 60, "");
    std::size_t pos = 0;
    r.ReadParams("file = r3.txt V0 = 1000 C0 = 0 0 0 0 0 0 0 0 0", pos);
    EXPECT_EQ(r.DTmin(), 60);
    EXPECT_EQ(r.BufferCapacity(), 7489);
    std::vector<routing::Abstraction*> none;
    r.Route(0, {0}, none, 600, 700, 2020, 1, 1, 1);
    EXPECT_EQ(r.Volume(), 0);
    // Fewer than nine concentrations stop the reading before dTmin.
    routing::Reservoir s(4, 9, *log_, nullptr, 0, 60, "/out/");
    pos = 0;
    s.ReadParams("file = /abs/r4.txt V0 = 1 C0 = 0 0 dTmin = 120", pos);
    EXPECT_EQ(s.DTmin(), 60);
    EXPECT_EQ(s.FileName(), "/abs/r4.txt");
    // A plain name gets the output directory.
    routing::Reservoir t(5, 9, *log_, nullptr, 0, 60, "/out/");
    pos = 0;
    t.ReadParams("file = r5.txt V0 = 1 C0 = 0 0 0 0 0 0 0 0 0 dTmin = 120", pos);
    EXPECT_EQ(t.FileName(), "/out/r5.txt");
    EXPECT_EQ(t.DTmin(), 120);
}

TEST_F(ReservoirTest, BalanceBufferIsWrittenWhenFullAndAtOutputSteps) {
    if (!Root()) GTEST_SKIP() << "reservoirs live on process 0";
    routing::Reservoir r(3, 9, *log_, nullptr, 0, 60, "");
    std::size_t pos = 0;
    r.ReadParams("file = r3.txt V0 = 1000 C0 = 0 0 0 0 0 0 0 0 0", pos);
    r.OpenOutput();
    r.Flush();  // nothing buffered: no log entry
    EXPECT_FALSE(Logged("flushing to disk"));
    for (int n = 0; n < 7489; ++n) r.AddOutputRow(2020, 1, 1, n % 24);
    EXPECT_EQ(r.BufferedRows(), 7489);
    r.AddOutputRow(2020, 1, 2, 1);
    EXPECT_EQ(r.BufferedRows(), 1);
    EXPECT_TRUE(Logged("flushing to disk: r3.txt (2097152 buffersize)"));
    EXPECT_EQ(ElementFileRows("r3.txt").size(), 7489u);
    r.Flush();
    EXPECT_EQ(ElementFileRows("r3.txt").size(), 7490u);
}

TEST_F(ReservoirTest, TracersDecayAndMixWithTheInflowByVolume) {
    SetZones(100, 0.3, 0.2, 0.5);
    // A tracer of half-life 2 days at 1 in the reservoir, 0 in 10 m3/s of inflow.
    const std::string section = Section(StrFormat("TG 9 (area) = %g = 1\n  SP 1 = file = res1.txt V0 = 1e6 C0 = 1 "
                                                  "0 0 0 0 0 0 0 0 dTmin = 60\n",
                                                  kArea)) +
                                Rule(1, "2\n0 0\n1e9 0");
    ASSERT_EQ(Build(section, 1, 1, 2.0), 0u) << console_.str();
    if (!Root()) return;
    Start();
    EXPECT_EQ(Res().Content()[1], 1);  // the initialisation passes mix nothing
    qg_[0][3] = RunoffFor(10);
    qg_[1][3] = 0;
    Step(0);
    const double decayed = std::exp(-(60.0 / 60 / 24) / (2.0 * 1.442695041111));
    const double Vin = 10 * 3600 * (16.6666667 * 0.06);  // the unit conversions round a little
    EXPECT_NEAR(Res().Content()[1], decayed * 1e6 / (1e6 + Vin), 1e-9);
    // The outlet carries the reservoir's concentration.
    EXPECT_NEAR(Routed(9, 1), Res().Content()[1], 1e-12);
    model_->Finish();
    // The balance row ends with the tracer.
    const auto rows = ElementFileRows("res1.txt");
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].size(), 35u);
    EXPECT_NEAR(rows[0][34], decayed * 1e6 / (1e6 + Vin), 1e-5);
}

TEST_F(ReservoirTest, FlowModeTableReadsTheVolumeOfEachFlow) {
    SetZones(100, 0.3, 0.2, 0.5);
    // 10 m3/s at 1e6 m3 in flow mode is the linear storage of 1e5 s as well; the keys may stand
    // in any order.
    const std::string rule = Rule(1, "2\n0 0\n10 1e6\nWeekDays = -1\nTableIndex = Flow\nTargetCap = -1");
    ASSERT_EQ(Build(Section(Reservoir()) + rule), 0u) << console_.str();
    if (!Root()) return;
    EXPECT_TRUE(Res().Rule().flowMode);
    Start();
    RouteChecked(3, [](int) { return 0.0; });
    EXPECT_NEAR(Res().Volume(), 1e6 * std::pow(1 - 6e-4, 180), 1e-6 * 1e6);
    model_->Finish();
}
