// Abstractions at the outlet of a routing subbasin, driven through the routing model's step:
// their modes and files, the water they hand to internal inflows, and the rules of
// reservoirs and abstractions (seasons, weekdays and hours).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <csignal>
#include <random>
#include <sstream>

#include "kernel/signals.hpp"
#include "routing/rules.hpp"
#include "routing_harness.hpp"

using namespace routing_test;
using submodel_test::CodeOf;

namespace {

// Subbasin 5 (20 km2) and 9 (50 km2) of a basin of 100 km2.
double MmToM3s(double q, double A) { return q * A * 16.6666667 / 60; }
double M3sToMm(double Q, double A) { return Q * 0.06 * 60 / A; }


std::string Rule(const char* kind, int code, const std::string& body) {
    return StrFormat("\n[abstraction_rule_%s_%d]\n", kind, code) + body + "\n";
}

class AbstractionTest : public RoutingHarness {
protected:
    void SetUp() override {
        RoutingHarness::SetUp();
        SetZones(100, 0.3, 0.2, 0.5);
    }
    // Routes the runoff q (mm) of subbasin 9 through one step; returns the routed mm.
    double RouteOne(int n, double q) {
        qg_[0][3] = q;
        Step(n);
        return Routed(9);
    }
};

}  // namespace

TEST_F(AbstractionTest, ShareAboveTheThresholdUpToTheMaximum) {
    ASSERT_EQ(Build(Section("TG 9 (area) = 50 = 1\n  AL 1 = extern al1.txt 10 0.5 3 mm\n"), 0), 0u) << console_.str();
    if (!Root()) return;
    Start();
    // Q 20 -> 3 (capped), 12 -> 1, 9 -> 0.
    EXPECT_NEAR(RouteOne(0, 20), 17, 1e-12);
    EXPECT_NEAR(RouteOne(1, 12), 11, 1e-12);
    EXPECT_NEAR(RouteOne(2, 9), 9, 1e-12);
    model_->Finish();
    const auto rows = ElementFileRows("al1.txt");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_NEAR(rows[0][4], MmToM3s(3, 50), 1e-4);
    EXPECT_NEAR(rows[1][4], MmToM3s(1, 50), 1e-4);
    EXPECT_EQ(rows[2][4], 0);
    EXPECT_EQ(rows[0][0], 2020);
    EXPECT_EQ(talvo_test::ReadFile("al1.txt").substr(0, 40), "YY\tMM\tDD\tHH\tm^3/s\nabstraction_1\nYY\tMM\tDD");
}

TEST_F(AbstractionTest, FlushLeavesTheProgramsInterruptHandler) {
    if (!Root()) GTEST_SKIP() << "abstractions live on process 0";
    routing::Abstraction al(1, *log_, nullptr, 0, "", 50, 1, 60);
    std::size_t pos = 0;
    al.ReadMode("extern al1.txt 0 1 10 mm", pos, 2020, 1, 1, 24);
    EXPECT_EQ(al.BufferCapacity(), 52428);
    DisableCtrlCHandler();
    al.AddRow(2020, 1, 1, 24, {1.5});
    al.Flush();
    // Ctrl-C after a flush still reaches the program's handler (ends the run in order).
    struct sigaction sa {};
    sigaction(SIGINT, nullptr, &sa);
    EXPECT_EQ(sa.sa_handler, &OnCtrlC);
    DisableCtrlCHandler();
    EXPECT_EQ(ElementFileRows("al1.txt").size(), 1u);
}

TEST_F(AbstractionTest, UnitWordsConvertThresholdAndMaximum) {
    for (const char* unit : {"m^3/s", "m3/s", "m3s"}) {
        ASSERT_EQ(Build(Section(StrFormat("TG 9 (area) = 50 = 1\n  AL 1 = extern al1.txt 10 0.5 3 %s\n", unit)), 1),
                  0u)
            << console_.str();
        if (!Root()) continue;
        Start();
        // 20 m3/s -> 3 m3/s.
        RouteOne(0, M3sToMm(20, 50));
        EXPECT_NEAR(model_->SimulatedDischarge(3), 17, 1e-6) << unit;
        model_->Finish();
    }
}

TEST_F(AbstractionTest, NoModeTakesMoreThanTheAvailableFlow) {
    std::string table = "abstraction\nYYYY MM DD HH Q\n";
    for (int n = 0; n < 40; ++n) {
        const Date d = StepDate(n);
        // Values above any flow, and missing values.
        table += StrFormat("%d %d %d %d %g\n", d.year, d.month, d.day, d.hour, n % 3 == 0 ? -9999.0 : 500.0 * n);
    }
    submodel_test::WriteShared("abs.txt", table);
    const char* modes[] = {"extern al1.txt -5 2 1e9 mm", "extern al1.txt 3 1.5 1e9 mm",
                           "from_file input_file = abs.txt column = 0 output = al1.txt",
                           "extern_with_rule al1.txt"};
    for (const char* mode : modes) {
        console_.str("");
        const std::string rule = Rule("abstraction", 1, "3\n0 0\n10 20\n100 1e4");
        ASSERT_EQ(Build(Section(StrFormat("TG 9 (area) = 50 = 1\n  AL 1 = %s\n", mode)) + rule, 0), 0u)
            << console_.str();
        if (!Root()) continue;
        Start();
        std::mt19937 random(7);
        std::uniform_real_distribution<double> flow(0, 30);
        for (int n = 0; n < 39; ++n) {
            const double q = flow(random);
            const double out = RouteOne(n, q);
            EXPECT_GE(out, -1e-12) << mode << " step " << n;
            EXPECT_LE(out, q + 1e-12) << mode << " step " << n;
        }
        model_->Finish();
        for (const auto& r : ElementFileRows("al1.txt")) EXPECT_GE(r[4], 0) << mode;
        if (std::string(mode).find("from_file") != std::string::npos) {
            EXPECT_EQ(ElementFileRows("al1.txt").size(), 39u);
            // A missing value is nothing abstracted, said once.
            EXPECT_TRUE(Logged("abs.txt holds no value (-9999) for abstraction 1"));
            EXPECT_EQ(console_.str().find("holds no value"), console_.str().rfind("holds no value"));
        }
    }
}

TEST_F(AbstractionTest, TableValuesAreTakenFromTheStartDateOn) {
    std::string table = "abstraction\nYYYY MM DD HH Q\n2019 12 31 23 99\n";
    for (int n = 0; n < 4; ++n) {
        const Date d = StepDate(n);
        table += StrFormat("%d %d %d %d %g\n", d.year, d.month, d.day, d.hour, 1.0 + n);
    }
    submodel_test::WriteShared("abs.txt", table);
    ASSERT_EQ(Build(Section("TG 9 (area) = 50 = 1\n  AL 1 = from_file input_file = abs.txt column = 0 output = "
                            "al1.txt\n"),
                    1),
              0u)
        << console_.str();
    if (Root()) {
        Start();  // the initialisation passes consume no row
        for (int n = 0; n < 4; ++n) {
            RouteOne(n, M3sToMm(10, 50));
            EXPECT_NEAR(model_->SimulatedDischarge(3), 10 - (1.0 + n), 1e-6) << n;
        }
        model_->Finish();
    }
    // The table's end is an error, not a repeated last value.
    ASSERT_EQ(Build(Section("TG 9 (area) = 50 = 1\n  AL 1 = from_file input_file = abs.txt column = 0 output = "
                            "al1.txt\n"),
                    1),
              0u);
    if (!Root()) return;
    Start();
    for (int n = 0; n < 4; ++n) RouteOne(n, 1);
    EXPECT_EQ(CodeOf([&] { RouteOne(4, 1); }), 39);
}

TEST_F(AbstractionTest, InternalAbstractionFeedsItsInflowWithItsWater) {
    // Half of subbasin 5's outflow goes to inflow 1 of subbasin 9.
    const std::string network = "TG 5 (area) = 20 = 1\n  AL 1 = intern 0 0.5 1e9 mm\nTG 9 (area) = 50 = 1\n  ZL 1 = intern" +
                                Channel(0.01, 1, 20) + "\n";
    ASSERT_EQ(Build(Section(network), 1), 0u) << console_.str();
    if (!Root()) return;
    Start();
    for (int n = 0; n < 6; ++n) {
        qg_[0] = {0, 0, M3sToMm(8, 20), M3sToMm(10, 50)};
        Step(n);
    }
    EXPECT_NEAR(model_->SimulatedDischarge(2), 4, 1e-6);
    EXPECT_NEAR(model_->SimulatedDischarge(3), 14, 1e-6);
    model_->Finish();
}

TEST_F(AbstractionTest, InternalAbstractionWithoutInflowIsFatal) {
    ASSERT_EQ(Build(Section("TG 5 (area) = 20 = 1\n  AL 1 = intern 0 0.5 1 mm\n"), 1), 0u) << console_.str();
    if (!Root()) return;
    model_->SetRunoffSource(&qg_);
    EXPECT_EQ(CodeOf([&] { model_->CheckConnectionsAndInitRouting(); }), 303);
}

TEST_F(AbstractionTest, ModeErrorsHaveTheirCodes) {
    for (const char* mode : {"sideways 1 2 3 mm", "intern 1 2", "from_file input = x"}) {
        const unsigned code = Build(Section(StrFormat("TG 9 (area) = 50 = 1\n  AL 1 = %s\n", mode)), 1);
        if (Root()) {
            EXPECT_EQ(code, 44u) << mode;
        }
    }
    const unsigned code = Build(Section("TG 9 (area) = 50 = 1\n  AL 1 = from_file input_file = none.txt column = 0 "
                                        "output = al1.txt\n"),
                                1);
    if (Root()) {
        EXPECT_EQ(code, 37u);
    }
    EXPECT_TRUE(!Root() || Logged("error opening none.txt for abstraction 1"));
    // A table that ends before the start date of the run.
    submodel_test::WriteShared("early.txt", "abstraction\nYYYY MM DD HH Q\n2019 12 31 22 1\n2019 12 31 23 2\n");
    const Date start = StepDate(0);
    const unsigned late = Build(Section("TG 9 (area) = 50 = 1\n  AL 1 = from_file input_file = early.txt column = 0 "
                                        "output = al1.txt\n"),
                                1);
    if (Root()) {
        EXPECT_EQ(late, 38u);
        EXPECT_TRUE(Logged(StrFormat("starting date %d.%d.%d, %d. h in early.txt not found.", start.day,
                                     start.month, start.year, start.hour)))
            << console_.str();
    }
}

TEST_F(AbstractionTest, RuleWithTheSeasonsOfTheYear) {
    // Two columns (days 1 and 182); 1 March lies 59/181 of the way to the second.
    const std::string rule = Rule("abstraction", 1, "2 1 182\n0 0 0\n100 10 40");
    ASSERT_EQ(Build(Section("TG 9 (area) = 50 = 1\n  AL 1 = extern_with_rule al1.txt\n") + rule, 1), 0u)
        << console_.str();
    if (!Root()) return;
    routing::Abstraction& al = model_->Description(1).AbstractionAt(1);
    const double w = 59.0 / 181;
    EXPECT_NEAR(al.RuleAmount(3, 1, 50), M3sToMm(0.5 * ((1 - w) * 10 + w * 40), 50), 1e-12);
    // Above the top row: the top value of the upper column.
    EXPECT_NEAR(al.RuleAmount(3, 1, 500), M3sToMm(40, 50), 1e-12);
    EXPECT_NEAR(al.RuleAmount(1, 1, 50), M3sToMm(5, 50), 1e-12);
    EXPECT_EQ(al.RuleAmount(1, 1, 0), 0);
}

TEST_F(AbstractionTest, AbstractionFromAReservoirDrawsInsideItsSubSteps) {
    // Reservoir 1 releases nothing; abstraction 1 takes 1e-6 V m3/s from it on every day from
    // hour 0 to 24 and brings it to subbasin 5 through inflow 1.
    const std::string network = "TG 9 (area) = 50 = 1\n  AL 1 = intern_with_rule_from_reservoir\n"
                                "  SP 1 = file = res1.txt V0 = 1e6 C0 = 0 0 0 0 0 0 0 0 0\n"
                                "TG 5 (area) = 20 = 1\n  ZL 1 = intern" +
                                Channel(0.01, 1, 20) + "\n";
    const std::string rules = Rule("reservoir", 1, "2\n0 0\n1e9 0") +
                              Rule("abstraction", 1, "2\n0 0\n1e9 1e3\nWeekDays = 1234567\nstart_hour = 0\nstop_hour = 24");
    ASSERT_EQ(Build(Section(network) + rules, 1), 0u) << console_.str();
    if (!Root()) return;
    Start();
    routing::Reservoir& res = model_->Description(1).ReservoirAt(1);
    double V = 1e6;
    for (int n = 0; n < 5; ++n) {
        Step(n);
        const double expected = V * std::pow(1 - 6e-5, 60);
        EXPECT_NEAR(res.Volume(), expected, 1e-9 * V);
        EXPECT_NEAR(res.Balance().Abstr.m3, V - expected, 1e-6 * (V - expected));
        // What left the reservoir reaches subbasin 5.
        EXPECT_NEAR(model_->SimulatedDischarge(2), (V - expected) / 3600, 1e-6);
        V = expected;
    }
    model_->Finish();
}

TEST_F(AbstractionTest, AbstractionRuleWithoutHoursNeverDraws) {
    const std::string network = "TG 9 (area) = 50 = 1\n  AL 1 = intern_with_rule_from_reservoir\n"
                                "  SP 1 = file = res1.txt V0 = 1e6 C0 = 0 0 0 0 0 0 0 0 0\n"
                                "TG 5 (area) = 20 = 1\n  ZL 1 = intern" +
                                Channel(0.01, 1, 20) + "\n";
    const std::string rules =
        Rule("reservoir", 1, "2\n0 0\n1e9 0") + Rule("abstraction", 1, "2\n0 0\n1e9 1e3\nWeekDays = 1234567");
    ASSERT_EQ(Build(Section(network) + rules, 1), 0u) << console_.str();
    if (!Root()) return;
    Start();
    for (int n = 0; n < 3; ++n) Step(n);
    EXPECT_EQ(model_->Description(1).ReservoirAt(1).Volume(), 1e6);
    model_->Finish();
}

TEST(RuleTest, HeadLineCountsItsColumns) {
    std::ostringstream console;
    DiagLog log("", 4);
    log.SetConsole(console);
    for (const char* head : {"4", "4 200", " 4\t\r"}) {
        const routing::RuleTable r = routing::ParseRules({head, "0 0", "1 1", "2 2", "3 3"}, "[s]", log);
        EXPECT_EQ(r.nRows, 4);
        EXPECT_EQ(r.nCols, 1);
        EXPECT_EQ(r.day[1], 1);
    }
    const routing::RuleTable r = routing::ParseRules(
        {"2 1 182", "0 0 0", "10 5 20", "WeekDays = 67 -1", "stop_hour = 20 3", "TargetCap = 4", "start_hour = 8 1"},
        "[s]", log);
    EXPECT_EQ(r.nCols, 2);
    EXPECT_EQ(r.day[2], 182);
    EXPECT_EQ(r.s[1][1], 0.5);
    EXPECT_EQ(r.s[2][1], 2);
    EXPECT_EQ(r.s[1][2], 0);
    EXPECT_EQ(r.weekDays[1], 67);
    EXPECT_EQ(r.targetCap[1], 4);
    EXPECT_EQ(r.targetCap[2], -1);
    EXPECT_EQ(r.startHour[1], 8);
    EXPECT_EQ(r.stopHour[2], 3);
    EXPECT_FALSE(r.flowMode);
    // Flow mode turns the slopes over.
    const routing::RuleTable f = routing::ParseRules({"2", "0 0", "10 5", "TableIndex = Flow"}, "[s]", log);
    EXPECT_TRUE(f.flowMode);
    EXPECT_EQ(f.s[1][1], 2);
    EXPECT_EQ(f.Lookup(f.Position(1, 1), 2.5), 5);
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"4 days"}, {"2 10 5", "0 0 0"}, {"x"}, {""}, {}, {"3", "0 0", "1 1"},
                                               {"2 0 10", "0 0 0", "1 1 1"}, {"2 1 400", "0 0 0", "1 1 1"}}) {
        EXPECT_EQ(CodeOf([&] { routing::ParseRules(bad, "[s]", log); }), 34);
    }
}

TEST(RuleTest, SeasonalPositionWithoutWrapAround) {
    std::ostringstream console;
    DiagLog log("", 4);
    log.SetConsole(console);
    const routing::RuleTable r = routing::ParseRules({"2 1 182", "0 0 0", "1 1 1"}, "[s]", log);
    routing::SeasonalPosition p = r.Position(3, 1);
    EXPECT_EQ(p.k, 2);
    EXPECT_DOUBLE_EQ(p.w, 59.0 / 181);
    p = r.Position(12, 31);
    EXPECT_EQ(p.k, 2);
    EXPECT_DOUBLE_EQ(p.w, 364.0 / 181);
    EXPECT_EQ(routing::DayOfYear(2, 29), routing::DayOfYear(3, 1));
    p = r.Position(1, 1);
    EXPECT_EQ(p.k, 1);
    EXPECT_EQ(p.w, 1);
}

TEST(RuleTest, WeekdayAndHourWindowsFromTheCalendarAlone) {
    std::ostringstream console;
    DiagLog log("", 4);
    log.SetConsole(console);
    // 6 January 2020 was a Monday; hour 0 belongs to the Sunday before.
    const char* zone = std::getenv("TZ");
    const std::string saved = zone ? zone : "";
    for (const char* tz : {"UTC", "Pacific/Kiritimati", "America/Adak"}) {
        setenv("TZ", tz, 1);
        EXPECT_EQ(routing::Weekday(2020, 1, 6, 1), 1) << tz;
        EXPECT_EQ(routing::Weekday(2020, 1, 6, 0), 7) << tz;
        EXPECT_EQ(routing::Weekday(2020, 1, 5, 24), 7) << tz;
        EXPECT_EQ(routing::Weekday(2024, 3, 1, 12), 5) << tz;
    }
    if (zone) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    const routing::RuleTable r =
        routing::ParseRules({"1", "0 0", "WeekDays = 67", "start_hour = 8", "stop_hour = 20"}, "[s]", log);
    // Saturday 4 and Sunday 5 January 2020 from hour 8 to hour 20.
    for (bool reservoir : {true, false}) {
        EXPECT_TRUE(r.Active(1, 2020, 1, 4, 8, reservoir));
        EXPECT_TRUE(r.Active(1, 2020, 1, 5, 20, reservoir));
        EXPECT_FALSE(r.Active(1, 2020, 1, 4, 7, reservoir));
        EXPECT_FALSE(r.Active(1, 2020, 1, 5, 21, reservoir));
        EXPECT_FALSE(r.Active(1, 2020, 1, 6, 10, reservoir));
        EXPECT_FALSE(r.Active(1, 0, 0, 0, 10, reservoir));
    }
    // Without WeekDays a reservoir column always applies, an abstraction column never.
    const routing::RuleTable d = routing::ParseRules({"1", "0 0"}, "[s]", log);
    EXPECT_TRUE(d.Active(1, 2020, 1, 6, 0, true));
    EXPECT_FALSE(d.Active(1, 2020, 1, 6, 0, false));
    EXPECT_FALSE(d.Active(1, 0, 0, 0, 0, true));
}

TEST_F(AbstractionTest, ConnectedRuleAbstractionLeavesRoomForTheTributary) {
    // Subbasin 5 gives what its rule says (all of its flow) to inflow 1 of subbasin 9, but the
    // receiving channel's capacity of 10 m3/s is shared with 9's first tributary (5 m3/s).
    // Subbasin 9 with its tributary 3 covers 80 km2.
    const std::string network = "TG 5 (area) = 20 = 1\n  AL 1 = intern_with_rule\nTG 9 (area) = 80 = 1\n  OL 3" +
                                Channel(0.01, 1, 30) + "\n  ZL 1 = intern" + Channel(0.01, 1, 20) + "\n";
    const std::string rule = Rule("abstraction", 1, "2\n0 0\n100 100\nTargetCap = 10");
    for (double tributary : {5.0, 12.0}) {
        ASSERT_EQ(Build(Section(network) + rule, 1), 0u) << console_.str();
        if (!Root()) continue;
        // The tributary's flow in mm per step over the receiving subbasin's area.
        const std::vector<double> runoff = {0, M3sToMm(tributary, 80), M3sToMm(8, 20), 0};
        qg_[0] = runoff;
        Start();
        for (int n = 0; n < 4; ++n) {
            qg_[0] = runoff;
            Step(n);
        }
        // 8 m3/s by the rule, cut to 10 - 5 = 5 (and to nothing beside 12).
        EXPECT_NEAR(model_->SimulatedDischarge(2), tributary < 10 ? 3 : 8, 1e-6) << tributary;
        model_->Finish();
    }
}

TEST_F(AbstractionTest, ConnectedReservoirAbstractionLeavesRoomForTheTributary) {
    // Reservoir 1 of subbasin 5 releases nothing; its abstraction would take 1e-6 V = 100 m3/s
    // to inflow 1 of subbasin 9, whose channel capacity of 10 m3/s it shares with 9's first
    // tributary: beside 5 m3/s it draws 5 m3/s, beside 12 m3/s nothing.
    const std::string network = "TG 5 (area) = 20 = 1\n  AL 1 = intern_with_rule_from_reservoir\n"
                                "  SP 1 = file = res1.txt V0 = 1e8 C0 = 0 0 0 0 0 0 0 0 0\n"
                                "TG 9 (area) = 80 = 1\n  OL 3" +
                                Channel(0.01, 1, 30) + "\n  ZL 1 = intern" + Channel(0.01, 1, 20) + "\n";
    const std::string rules =
        Rule("reservoir", 1, "2\n0 0\n1e9 0") +
        Rule("abstraction", 1, "2\n0 0\n1e9 1e3\nWeekDays = 1234567\nstart_hour = 0\nstop_hour = 24\nTargetCap = 10");
    for (double tributary : {5.0, 12.0}) {
        ASSERT_EQ(Build(Section(network) + rules, 1), 0u) << console_.str();
        if (!Root()) continue;
        const std::vector<double> runoff = {0, M3sToMm(tributary, 80), 0, 0};
        Start();
        routing::Reservoir& res = model_->Description(1).ReservoirAt(1);
        double before = res.Volume(), taken = 0;
        for (int n = 0; n < 5; ++n) {
            qg_[0] = runoff;
            before = res.Volume();
            Step(n);
            taken = before - res.Volume();
        }
        const double want = (tributary < 10 ? 10 - tributary : 0.0) * 3600;
        EXPECT_NEAR(taken, want, 1e-6 * 3600) << tributary;
        EXPECT_NEAR(res.Balance().Abstr.m3, want, 1e-6 * 3600) << tributary;
        model_->Finish();
    }
}

TEST_F(AbstractionTest, AReservoirGivesNoMoreWaterThanItHolds) {
    // Subbasin 9 brings nothing. First the reservoir's rule (Q = V m3/s) would release sixty
    // times its volume in a sub-step of a minute: it releases its volume, in the first sub-step,
    // and is empty. Then a reservoir that releases nothing and an abstraction of 1e6 m3/s from
    // it: the abstraction takes the volume, and subbasin 5 receives exactly that.
    const std::string drains = "TG 9 (area) = 50 = 1\n  SP 1 = file = res1.txt V0 = 5e5 C0 = 0 0 0 0 0 0 0 0 0\n";
    ASSERT_EQ(Build(Section(drains) + Rule("reservoir", 1, "2\n0 0\n1e9 1e9"), 1), 0u) << console_.str();
    if (Root()) {
        routing::Reservoir& res = model_->Description(1).ReservoirAt(1);
        Start();
        qg_[0][3] = 0;
        Step(0);
        EXPECT_NEAR(res.Volume(), 0.0, 1e-6);
        EXPECT_NEAR(res.Balance().Qout.m3, 5e5, 1e-6);
        EXPECT_NEAR(res.Outflow(), 5e5 / 3600, 1e-9);
        qg_[0][3] = 0;
        Step(1);
        EXPECT_NEAR(res.Volume(), 0.0, 1e-6);
        EXPECT_NEAR(res.Balance().Qout.m3, 0.0, 1e-6);
        model_->Finish();
    }

    const std::string taken = "TG 9 (area) = 50 = 1\n  AL 1 = intern_with_rule_from_reservoir\n"
                              "  SP 1 = file = res1.txt V0 = 5e5 C0 = 0 0 0 0 0 0 0 0 0\n"
                              "TG 5 (area) = 20 = 1\n  ZL 1 = intern" +
                              Channel(0.01, 1, 20) + "\n";
    const std::string rules = Rule("reservoir", 1, "2\n0 0\n1e9 0") +
                              Rule("abstraction", 1, "2\n0 0\n1e3 1e6\nWeekDays = 1234567\nstart_hour = 0\nstop_hour = 24");
    ASSERT_EQ(Build(Section(taken) + rules, 1), 0u) << console_.str();
    if (!Root()) return;
    Start();
    routing::Reservoir& res = model_->Description(1).ReservoirAt(1);
    double delivered = 0;
    for (int n = 0; n < 6; ++n) {
        qg_[0] = {0, 0, 0, 0};
        Step(n);
        EXPECT_EQ(res.Volume(), 0.0) << n;
        EXPECT_NEAR(res.Balance().Abstr.m3, n == 0 ? 5e5 : 0.0, 1e-6) << n;
        delivered += model_->SimulatedDischarge(2) * 3600;
    }
    // What left the reservoir has reached subbasin 5's outlet, within the channel's storage
    // (and the 2e-9 by which the conversions m3/s -> mm -> m3/s, 0.06 and 16.6666667, differ
    // from inverses).
    EXPECT_NEAR(delivered, 5e5, 0.02 * 5e5);
    EXPECT_LE(delivered, 5e5 * (1 + 1e-8));
    model_->Finish();
}
