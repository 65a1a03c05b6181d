// One routing description: its construction, the area check, inflows from dated files, the
// flow arrays, the river records, the channel fillings, the table files and the teardown.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>

#include "routing/routingclass.hpp"
#include "submodel/riverflow_table.hpp"
#include "submodel/submodel_fixtures.hpp"

using namespace submodel_test;

namespace {

const double kZeros[10] = {};
// A channel with flood plains: km, kf, bm, bf, D, Mm, Mf, I, L, A.
const double kRiver[10] = {2, 4, 10, 50, 1, 30, 20, 0.001, 20000, 100};

class RoutingClassTest : public LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        index_.assign(10, 0);
        index_[3] = 1;
        index_[5] = 2;
        index_[9] = 3;
        size_ = {0.014, 4.0 / 14, 6.0 / 14, 4.0 / 14};
        factor_ = {1, 1, 1, 1};
    }
    RoutingDescriptionArgs Args(int tg, double area, double factor, routing::ElementCounts counts, int nTr = 0) {
        RoutingDescriptionArgs a;
        a.log = log_.get();
        a.controlFileName = "test.ctl";
        a.dt = 60;
        a.area = area;
        a.factor = factor;
        a.nSb = 3;
        a.counts = counts;
        a.tgCode = tg;
        a.zoneSize = &size_;
        a.zoneFactor = &factor_;
        a.zoneIndex = &index_;
        a.nTr = nTr;
        return a;
    }
    static routing::ElementCounts Counts(int ol, int sum, int zl, int amp = 0, int al = 0, int sp = 0) {
        routing::ElementCounts c;
        c.ol = ol;
        c.sum = sum;
        c.zl = zl;
        c.amp = amp;
        c.al = al;
        c.sp = sp;
        return c;
    }
    std::vector<int> index_;
    SubbasinValues size_, factor_;
};

// An inflow table: discharge and one tracer per hour from 1.1.2020 0 h; years with two digits.
const char* kInflowTable =
    "inflow of the test\nYY MM DD HH Q tracer\n"
    "120 1 1 0 1.5 7\n120 1 1 1 2.0 -9999\n120 1 1 2 -9999 3\n";

}  // namespace

TEST_F(RoutingClassTest, AreaFactorAndCodeAreChecked) {
    EXPECT_EQ(CodeOf([&] { routingclass r(Args(9, 1, 0, Counts(0, 0, 0))); }), 17);
    EXPECT_TRUE(Logged("area factor (AErel) of subbasin 9 must be greater than 0"));
    EXPECT_EQ(CodeOf([&] { routingclass r(Args(9, 1, -1, Counts(0, 0, 0))); }), 17);
    EXPECT_EQ(CodeOf([&] { routingclass r(Args(4, 1, 1, Counts(0, 0, 0))); }), 41);
    EXPECT_EQ(CodeOf([&] { routingclass r(Args(9, 1, 1, Counts(0, 0, 0))); }), 0);
}

TEST_F(RoutingClassTest, AreaWeightsShareTheAreaFactor) {
    // TG 9 with the tributary 3 and the joined channel 5: the zones hold 14 cells of 0.001 km2.
    routingclass r(Args(9, 0.014, 0.8, Counts(1, 1, 0, 0)));
    ASSERT_EQ(r.SetChannel(1, 3, {}, 1, 0, 10, 1000, 2, kRiver), r.ElementAt(1).table.length);
    r.SetChannel(2, 5, {}, 1, 0, 10, 1000, 2, kRiver);
    r.CheckArea();
    double sum = 0;
    for (int k = 0; k <= 2; ++k) sum += r.ElementAt(k).areaWeight;
    EXPECT_NEAR(sum, 0.8, 1e-12);
    EXPECT_NEAR(r.ElementAt(0).areaWeight, 4.0 / 14 * 0.8, 1e-12);
    EXPECT_NEAR(r.ElementAt(2).areaWeight, 6.0 / 14 * 0.8, 1e-12);
    EXPECT_NEAR(size_[3], 1.0, 1e-12);  // the TG's zone now stands for all three
    EXPECT_EQ(factor_[3], 0.8);
    EXPECT_FALSE(Logged("INFO: Basin"));  // equal within 0.001 km2
}

TEST_F(RoutingClassTest, AreaDifferingFromTheZonesIsAdjusted) {
    routingclass near(Args(9, 0.004 + 0.0009, 1, Counts(0, 0, 0)));
    near.CheckArea();
    EXPECT_FALSE(Logged("INFO: Basin"));
    EXPECT_NEAR(near.Area(), 0.0049, 1e-12);
    size_ = {0.014, 4.0 / 14, 6.0 / 14, 4.0 / 14};
    routingclass far(Args(9, 0.0055, 1, Counts(0, 0, 0)));
    far.CheckArea();
    EXPECT_TRUE(Logged("Basin 9: area in contr.file: 0.0055 <-> zone-grid 0.004 (adjusted to the latter)"));
    EXPECT_NEAR(far.Area(), 0.004, 1e-12);
}

TEST_F(RoutingClassTest, ExternalInflowIsReadStepByStep) {
    WriteShared("inflow.txt", kInflowTable);
    routingclass r(Args(9, 1, 1, Counts(0, 0, 1), 1));
    r.SetInflow(1, 1, routing::kInflowExtern, "inflow.txt", 1, 5, 2020, 1, 1, 1, 0);
    r.SetChannel(1, 1, {}, 1, 0, 10, 1000, 2, kRiver);
    EXPECT_EQ(r.InflowConstant(0, 1), 2.0);  // the row of the start date
    RunoffArray working(2, std::vector<double>(6, 0.0));
    r.ReadInflows(working, 2020, 1, 1, 1);
    EXPECT_NEAR(working[0][4], 2.0 * 0.06 * 60 / 100, 1e-12);
    EXPECT_EQ(working[1][4], 0);  // -9999 is no tracer value
    r.ReadInflows(working, 2020, 1, 1, 2);
    EXPECT_EQ(working[0][4], 0);
    EXPECT_EQ(working[1][4], 3);
    // The table is used up.
    EXPECT_EQ(CodeOf([&] { r.ReadInflows(working, 2020, 1, 1, 3); }), 39);
    EXPECT_TRUE(Logged("error reading from inflow.txt (or from its buffer) for inflow 1\nreached end of file!"));
}

TEST_F(RoutingClassTest, NegativeInflowsStopNamingFileAndDate) {
    WriteShared("inflow.txt", "inflow of the test\nYY MM DD HH Q\n2020 1 1 1 2.0\n2020 1 1 2 -0.5\n");
    routingclass r(Args(9, 1, 1, Counts(0, 0, 1)));
    r.SetInflow(1, 4, routing::kInflowExtern, "inflow.txt", 1, 5, 2020, 1, 1, 1, 0);
    r.SetChannel(1, 1, {}, 1, 0, 10, 1000, 2, kRiver);
    RunoffArray working(1, std::vector<double>(6, 0.0));
    r.ReadInflows(working, 2020, 1, 1, 1);
    EXPECT_GT(working[0][4], 0);
    EXPECT_EQ(CodeOf([&] { r.ReadInflows(working, 2020, 1, 1, 2); }), 17);
    EXPECT_TRUE(Logged("the inflow -0.5 m3/s of inflow 4 in inflow.txt on 1.1.2020, 2. h is not a discharge"));
    // A constant inflow below 0 is refused when the description is read.
    routingclass c(Args(9, 1, 1, Counts(0, 0, 1)));
    EXPECT_EQ(CodeOf([&] { c.SetInflow(1, 2, routing::kInflowConstant, "", 0, 0, 2020, 1, 1, 1, -1.5); }), 17);
    EXPECT_TRUE(Logged("the constant inflow -1.5 m3/s of inflow 2 of subbasin 9 must be >= 0"));
}

TEST_F(RoutingClassTest, InflowRowAheadOfTheModelStops) {
    WriteShared("inflow.txt", kInflowTable);
    routingclass r(Args(9, 1, 1, Counts(0, 0, 1)));
    r.SetInflow(1, 1, routing::kInflowExtern, "inflow.txt", 1, 5, 2020, 1, 1, 1, 0);
    RunoffArray working(1, std::vector<double>(6, 0.0));
    EXPECT_EQ(CodeOf([&] { r.ReadInflows(working, 2020, 1, 1, 0); }), 36);
    EXPECT_TRUE(Logged("error comparing dates in inflow.txt:\n     read: 2020.1.1, 1. h,\nshould be: 2020.1.1, 0. h.\n"));
}

TEST_F(RoutingClassTest, InflowSetUpFailures) {
    WriteShared("inflow.txt", kInflowTable);
    WriteShared("undated.txt", "inflow\n2020 1 x 1 5\n");
    struct Case {
        std::string file;
        int firstRow, column, hour, nTr, code;
        const char* message;
    } cases[] = {
        {"missing.txt", 1, 5, 0, 0, 37, "error opening missing.txt for inflow 1"},
        {"undated.txt", 1, 5, 0, 0, 37, "error opening undated.txt for inflow 1"},  // no date in the first row
        {"inflow.txt", 9, 5, 0, 0, 38, "error searching in inflow.txt for row 9\nactual reached row: 3"},
        {"inflow.txt", 1, 5, 7, 0, 38, "starting date 1.1.2020, 7. h in inflow.txt not found (search started at row 1)"},
        {"inflow.txt", 3, 5, 0, 0, 38, "starting date 1.1.2020, 0. h"},  // the search starts after it
        {"inflow.txt", 1, 6, 0, 1, 38,
         "there is not the required number of columns in inflow.txt for reading ZL[1] and the follwoing 1 tracer "
         "values starting from column 6"},
    };
    for (const Case& c : cases) {
        routingclass r(Args(9, 1, 1, Counts(0, 0, 1), c.nTr));
        EXPECT_EQ(CodeOf([&] { r.SetInflow(1, 1, routing::kInflowExtern, c.file, c.firstRow, c.column, 2020, 1, 1, c.hour, 0); }),
                  c.code)
            << c.message;
        EXPECT_TRUE(Logged(c.message));
    }
}

TEST_F(RoutingClassTest, FlowArraysArePrefilled) {
    routingclass r(Args(9, 1, 1, Counts(1, 0, 1), 1));
    const int length = r.SetChannel(1, 3, {}, 2, 1, 10, 1000, 2, kRiver);
    r.SetInflow(2, 1, routing::kInflowConstant, "", 0, 0, 2020, 1, 1, 0, 5.0);
    r.SetChannel(2, 1, {}, 2, 1, 10, 1000, 2, kRiver);
    RunoffArray working{{0, 0.7, 0, 0.4, 0, 0}, {0, 12, 0, 0, 0, 0}};
    r.AllocFlowArrays(&working, nullptr, nullptr, nullptr);
    EXPECT_NEAR(working[0][4], 5.0 * 0.06 * 60 / 100, 1e-12);  // the constant in mm per step
    const auto line = r.DelayLine(0, 1);
    ASSERT_EQ(line.size(), static_cast<std::size_t>(2 + length + 1));
    for (std::size_t i = 1; i < line.size(); ++i) EXPECT_EQ(line[i], 0.7);
    EXPECT_EQ(r.DelayLine(1, 1).back(), 12);
    EXPECT_NEAR(r.DelayLine(0, 4)[1], 0.18, 1e-12);
    // With the observed-inflow flag the observed value of the step replaces the runoff.
    ObservationWindow window(21, std::vector<double>{0, 9.5});
    window[10][1] = 2.5;
    std::vector<int> columns{0, 1, 0, 0};
    r.AllocFlowArrays(&working, nullptr, &window, &columns);
    EXPECT_EQ(r.DelayLine(0, 1)[3], 2.5);
    EXPECT_EQ(r.DelayLine(0, 4)[1], working[0][4]);  // inflows have no observed column
}

TEST_F(RoutingClassTest, RiverRecordsOfTheChannels) {
    // Two joined channels both list subbasin 3: the record of the later one stays.
    routingclass r(Args(9, 1, 1, Counts(0, 2, 0, 2)));
    r.SetChannel(1, 5, {3}, 1, 0, 10, 1000, 2, kRiver);
    double other[10] = {2, 4, 10, 50, 1, 30, 20, 0.001, 20000, 40};
    r.SetChannel(2, 9 - 4, {3}, 1, 0, 10, 1000, 2, other);
    RunoffArray working{{0, 1.0, 2.0, 0, 0, 0}};
    r.AllocFlowArrays(&working, nullptr, nullptr, nullptr);
    std::vector<riverflow_table> records(4);
    records[1].soilExchange = 9;
    r.FillRiverflowTable(records.data(), 7);
    EXPECT_EQ(records[1].channel, 2);
    EXPECT_EQ(records[1].routingObject, 7);
    EXPECT_EQ(records[1].area, 40);
    EXPECT_EQ(records[1].soilExchange, 0);
    EXPECT_NEAR(records[1].flowm3s, 1.0 * 40 * 16.6666667 / 60, 1e-9);
    EXPECT_EQ(records[1].speed, r.ElementAt(2).table.v[r.WQClassIndex(2, 1.0)]);
    EXPECT_EQ(records[2].flow_mm[0], 2.0);
    EXPECT_EQ(records[3].channel, 0);  // the TG itself has no channel here
}

TEST_F(RoutingClassTest, SubChannelBlocksHoldTheLongestDelay) {
    // A long channel with flood plains: the higher classes are slower than class 1 and the
    // channel needs several sub-channels.
    const double slow[10] = {2, 4, 20, 2000, 0.1, 40, 0.5, 0.001, 50000, 100};
    routingclass r(Args(9, 1, 1, Counts(1, 0, 0)));
    const int length = r.SetChannel(1, 3, {}, 4, 0, 10, 1000, 10, slow);
    const routingclass::Element& el = r.ElementAt(1);
    ASSERT_GT(el.table.m, 1);
    ASSERT_GT(el.table.maxDelta, el.table.delta[1]);
    RunoffArray working{{0, 30.0, 0, 0, 0, 0}};
    r.AllocFlowArrays(&working, nullptr, nullptr, nullptr);
    r.InitChannelFlows();
    const int m = static_cast<int>(el.table.m);
    const int stride = el.table.maxDelta + 4;
    for (int j = 1; j <= m; ++j) {
        // Each sub-channel writes nSub values behind its position, inside its own block.
        EXPECT_LE(el.writePos[j] + 4, j * stride + 4) << j;
        EXPECT_GE(el.writePos[j], (j - 1) * stride + 4) << j;
        EXPECT_EQ(el.Qaus[j][1], 30.0);
    }
    EXPECT_LE(m * stride, length);
}

TEST_F(RoutingClassTest, TableFileOfTheDefaultChannel) {
    if (talvo_test::Rank() != 0) GTEST_SKIP() << "files are written by process 0";
    routingclass r(Args(9, 1, 1, Counts(1, 1, 1, 2)));
    r.SetChannel(1, 3, {}, 1, 0, 10, 1000, 2, kZeros);
    r.SetChannel(2, 5, {3, 9}, 1, 0, 10, 1000, 2, kZeros);
    r.SetChannel(3, 2, {}, 1, 0, 10, 1000, 2, kZeros);
    r.WriteWQTables();
    r.FreeMemory();  // the normal end puts the tables in place
    const std::string ol = talvo_test::ReadFile("wq_table.001");
    const std::string head =
        "waterlevel-discharge-table for the channel of subbasin 3 to the outlet of subbasin 9\n"
        "input parameters from the control file:\n"
        "------------------------------------------\n"
        "storage constant mean channel [h] :    0.01\n"
        "storage constant flood plain [h]  :    0.01\n"
        "width of the mean channel [m]     :    0.10\n"
        "width of flood plains  [m]        :    0.10\n"
        "depth of mean channel  [m]        :    0.10\n"
        "Manning-coef. mean chan[m^(1/3)/s]:    1.00\n"
        "Manning-ceof. flood pl.[m^(1/3)/s]:    1.00\n"
        "slope angle            [1/1]      :  0.0010\n"
        "channel length         [m]        :     1.0\n"
        "catchment area         [km^2]     :    0.00\n"
        "min. spec. discharge   [l/s/km^2] :    10.0\n"
        "max. spec. discharge   [l/s/km^2] :  1000.0\n"
        "intervals for w-q-table[-]        :       3\n"
        "sub-intervals (time)   [-]        :       1  \n"
        "number of sub-channels            :       2\n";
    EXPECT_EQ(ol.substr(0, head.size()), head);
    const std::string rule(79, '-');
    const std::string header = rule +
                               "\n  #    q      q       Q     dm    df     v      vm     vf     t   delta   Qm/Q \n"
                               "     [mm]  l/s/km2 [m^3/s]  [m]   [m]   [m/s]  [m/s]  [m/s]  [h]  [Int]   [1/1]\n" +
                               rule + "\n";
    EXPECT_EQ(header.size(), 320u);
    const std::size_t at = ol.find(header);
    ASSERT_NE(at, std::string::npos);
    const std::string rows = ol.substr(at + header.size());
    EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 3);
    EXPECT_EQ(rows.substr(0, 18), "  1  0.036   10.0 ");
    auto firstLine = [](const std::string& text) { return text.substr(0, text.find('\n') + 1); };
    EXPECT_EQ(firstLine(talvo_test::ReadFile("wq_table.002")),
              "waterlevel-discharge-table for the channel of subbasins 5, 3 and 9 to the outlet of subbasin 9\n");
    EXPECT_EQ(firstLine(talvo_test::ReadFile("wq_tabZL.002")),
              "waterlevel-discharge-table for the channel of inflow 2 to the outlet of subbasin 9\n");
}

TEST_F(RoutingClassTest, IncompleteAbstractionAndReservoirRefuseAndTeardownIsLogged) {
    routingclass r(Args(9, 1, 1, Counts(1, 1, 0, 1, 1, 1)));
    r.SetChannel(1, 3, {}, 1, 0, 10, 1000, 2, kRiver);
    r.SetChannel(2, 5, {3}, 1, 0, 10, 1000, 2, kRiver);
    const std::string text = "AL 4 intern SP 2 file = a";
    routing::TextCursor c{text, 0};
    // An abstraction whose mode is the word after the next "=", a reservoir without "V0".
    EXPECT_EQ(CodeOf([&] { r.SetAblaufModus(nullptr, 3, c, 1, 2020, 1, 1, 0); }), 44);
    EXPECT_TRUE(Logged("the modus \"a\" is not supported for abstraction 4"));
    c.pos = text.find("SP");
    EXPECT_EQ(CodeOf([&] { r.SetSpeicherParams(nullptr, 4, c, 1); }), 35);
    EXPECT_TRUE(Logged("for reservoir 2: no \"V0 =\" found!"));
    EXPECT_EQ(CodeOf([&] { r.SetChannel(1, 3, {}, 1, 0, 0, 1000, 2, kRiver); }), 17);
    r.FreeMemory();
    EXPECT_TRUE(Logged(" free memory TG 9, OL 1 (Subb. 3), OL 2 (Subb. 5, 3), --> ZLs..., --> ALs..., --> SPs... Rest... ok"));
}

TEST_F(RoutingClassTest, SmallOperations) {
    routingclass r(Args(9, 1, 1, Counts(0, 0, 0)));
    EXPECT_NEAR(r.MmToM3s(1, 100, 60), 27.7777778, 1e-6);
    EXPECT_NEAR(r.M3sToMm(r.MmToM3s(1, 100, 60), 100, 60), 1, 1e-8);
    EXPECT_EQ(r.MixConcentration(1, 3, -1, 1), 2);
    EXPECT_EQ(r.MixConcentration(1, 3, 0, 0), 0);
    EXPECT_EQ(r.ScaleByDifference(2, 3, 3), 0);
    EXPECT_EQ(r.ScaleByDifference(2, 3, 1), 3);
    EXPECT_EQ(r.MaxStorageElements(17), 17);
    double h = 0, R = 0, v = 1.0;
    r.ManningVelocity(10, 10, h, R, v, 50, 30, std::sqrt(0.001), 0.005);
    EXPECT_NEAR(v, 0.8937, 0.01);
    EXPECT_NEAR(h, 1.1189, 0.02);
}

TEST_F(RoutingClassTest, TableFileThatCannotBeOpenedIsSkipped) {
    if (talvo_test::Rank() != 0) GTEST_SKIP() << "files are written by process 0";
    std::filesystem::create_directory("wq_table.001.part");  // a directory takes the file's name
    routingclass r(Args(9, 1, 1, Counts(0, 2, 0, 1)));
    r.SetChannel(1, 3, {}, 1, 0, 10, 1000, 2, kRiver);
    r.SetChannel(2, 5, {3}, 1, 0, 10, 1000, 2, kRiver);
    EXPECT_EQ(CodeOf([&] { r.WriteWQTables(); }), 0);
    EXPECT_TRUE(Logged("error opening file wq_table.001 (check user rights or disk space)"));
    // The next table is written all the same; one joined code gives no list of codes.
    const std::string text = talvo_test::ReadFile("wq_table.002.part");
    EXPECT_EQ(text.substr(0, text.find('\n') + 1),
              "waterlevel-discharge-table for the channel of subbasins 5 and 3 to the outlet of subbasin 9\n");
    EXPECT_TRUE(Logged("reason given by the operating system: Is a directory"));
}

// The tables are put in place at the normal end only: a run that fails leaves those of the run
// before.
TEST_F(RoutingClassTest, TablesOfAFailedRunLeaveThoseOfTheRunBefore) {
    if (talvo_test::Rank() != 0) GTEST_SKIP() << "files are written by process 0";
    struct Run {
        Run() { SetNormalEndPending(true); }
        ~Run() { SetNormalEndPending(false); }
    };
    auto build = [this] {
        auto r = std::make_unique<routingclass>(Args(9, 1, 1, Counts(0, 2, 0, 1)));
        r->SetChannel(1, 3, {}, 1, 0, 10, 1000, 2, kRiver);
        r->SetChannel(2, 5, {3}, 1, 0, 10, 1000, 2, kRiver);
        r->WriteWQTables();
        return r;
    };
    {
        std::ofstream("wq_table.001") << "the run before\n";
        Run run;
        auto r = build();
    }
    EXPECT_EQ(talvo_test::ReadFile("wq_table.001"), "the run before\n");
    EXPECT_FALSE(std::filesystem::exists("wq_table.001.part"));
    auto r = build();
    r->FreeMemory();
    EXPECT_EQ(talvo_test::ReadFile("wq_table.001").rfind("waterlevel-discharge-table for the channel of subbasin 3", 0), 0u);
    EXPECT_FALSE(std::filesystem::exists("wq_table.002.part"));
}

TEST_F(RoutingClassTest, AChannelTooLongForItsDelayLinesStopsNamingIt) {
    // A channel of 1e15 m would need delay lines no model can hold: the tributary channel and
    // the inflow's channel are named with their subbasin and inflow codes.
    const double tooLong[10] = {2, 4, 10, 50, 1, 30, 20, 0.001, 1e15, 100};
    const double usual[10] = {2, 4, 10, 50, 1, 30, 20, 0.001, 1000, 100};
    routingclass r(Args(9, 1, 1, Counts(1, 0, 1)));
    EXPECT_EQ(CodeOf([&] { r.SetChannel(1, 3, {}, 1, 0, 10, 1000, 2, usual); }), 0);
    EXPECT_EQ(CodeOf([&] { r.SetChannel(1, 3, {}, 1, 0, 10, 1000, 2, tooLong); }), 17);
    EXPECT_TRUE(Logged("the channel of subbasin 3 to the outlet of subbasin 9 needs a delay line too long to hold"));
    EXPECT_EQ(CodeOf([&] { r.SetChannel(2, 7, {}, 1, 0, 10, 1000, 2, tooLong); }), 17);
    EXPECT_TRUE(Logged("the channel of inflow 7 to the outlet of subbasin 9 needs a delay line too long to hold"));
}
