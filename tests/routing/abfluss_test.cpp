// The routing model built from a control file over the shared test domain (zones 3, 5 and 9):
// its section, the network of descriptions, the observed-discharge window and the links.
#include <gtest/gtest.h>

#include <memory>

#include "routing/abfluss.hpp"
#include "submodel/riverflow_table.hpp"
#include "submodel/submodel_fixtures.hpp"

using namespace submodel_test;

namespace {

const char* kChannel = " = 1 = 2 = 10 = 50 = 1 = 30 = 20 = 0.001 = 5000 = 1";
const char* kOutputInterval = "[output_interval]\n1 run interval\n0 warnings\n1 routed discharge in m3/s\n\n";

std::string Network() {
    return std::string("TG 3 (area) = 0.004 = 1\nTG 5 (area) = 0.006 = 1\nTG 9 (area) = 0.014 = 1\n  OL 3") +
           kChannel + "\n  SUMTRIB 5 (k)" + kChannel + "\n  ZL 1 = constant 0.5" + kChannel +
           "\nend of the routing descriptions\n";
}

std::string Section(const std::string& line3 = "10 1000 2 1", const std::string& descriptors = "1\n9 1\n",
                    const std::string& network = Network(), int flowControl = 1) {
    return "[routing_model]\n" + std::to_string(flowControl) + " flow control\n60 time step\n" + line3 +
           "  qmin qmax intervals sub-intervals\nQstat.txt 0  name of the Qstatfiles for\n"
           "observed.txt  name of spec.discharge files for\n" +
           descriptors + "0  offset of the goodness of fit\n" + network + "\n";
}

class RoutingModelTest : public DomainTest {
protected:
    void SetUp() override {
        DomainTest::SetUp();
        // The routing model is given the start date in place of the end date.
        settings_.endHour = settings_.startHour;
        settings_.endDay = settings_.startDay;
        settings_.endMonth = settings_.startMonth;
        settings_.endYear = settings_.startYear;
    }
    // Builds the model from the section; returns the constructor's error word.
    unsigned Build(const std::string& section, const std::string& after = kOutputInterval, bool alone = false) {
        WriteShared("test.ctl", alone ? section : ControlFile(section, after));
        unsigned error = 0;
        model_ = std::make_unique<abflussmodellklasse>(error, log_.get(), settings_, nullptr);
        return error;
    }
    static bool Root() { return talvo_test::Rank() == 0; }
    std::unique_ptr<abflussmodellklasse> model_;
};

}  // namespace

TEST_F(RoutingModelTest, SwitchedOffItIsInert) {
    ASSERT_EQ(Build(Section("10 1000 2 1", "1\n9 1\n", Network(), 0)), 0u);
    EXPECT_EQ(model_->GetFlowControl(), 0);
    EXPECT_EQ(model_->routingRequested, Root() ? 1 : 0);
    EXPECT_FALSE(Logged("file abfluss"));
    EXPECT_EQ(model_->GetMaxIrrig(), nullptr);
    EXPECT_EQ(model_->GetMaxIrrigFromReservoirs(), nullptr);
    EXPECT_EQ(model_->GetRoutingTarget(), nullptr);
    EXPECT_EQ(model_->GetAbfrel(), nullptr);
    EXPECT_EQ(model_->SetOutputUnit(1), 0);
    model_->SetRunoffSource(nullptr);  // no 43 when off
    model_->CheckConnectionsAndInitRouting();
    model_->run(24, 1, 1, 2020);
    model_->Finish();
}

TEST_F(RoutingModelTest, OnlyProcessZeroRoutes) {
    ASSERT_EQ(Build(Section("10 1000 2 1", "1\n9 1\n", Network(), 2)), 0u);
    if (!Root()) {
        EXPECT_EQ(model_->GetFlowControl(), 0);
        EXPECT_EQ(model_->routingRequested, 2);
        EXPECT_EQ(model_->GetRoutingTarget(), nullptr);
        return;
    }
    EXPECT_EQ(model_->GetFlowControl(), 2);
    EXPECT_EQ(model_->routingRequested, 1);
    // Without the observed table routing goes on without comparison.
    EXPECT_TRUE(Logged("error opening observed.txt\nRouting will be done without comparison to observed discharge data!"));
    EXPECT_EQ(model_->endOfTableCounter, 10);
    EXPECT_EQ(model_->observedInflow, 0);
}

TEST_F(RoutingModelTest, NetworkOfTheDescriptions) {
    ASSERT_EQ(Build(Section()), 0u) << console_.str();
    if (!Root()) return;
    EXPECT_TRUE(Logged("file abfluss, compiled at "));
    for (const char* line : {"number inbetween areas (routings)    : 3", "number tributaries  total      (OL)  : 2",
                             "number of inflows              (ZL)  : 1", "reading routing description 3"})
        EXPECT_TRUE(Logged(line));
    ASSERT_EQ(model_->DescriptionCount(), 3);
    EXPECT_EQ(model_->nSub, 1);
    EXPECT_EQ(model_->outputUnit, 1);
    EXPECT_EQ(model_->observedColumn[3], 1);
    const std::vector<int> tributaries{0, 1, 2, 0, 0, 0, 0};
    EXPECT_EQ(*model_->GetRoutingTarget(), tributaries);
    EXPECT_EQ(model_->GetRoutingTarget()[1][1], 3);  // 3 flows into 9
    EXPECT_EQ(model_->GetRoutingTarget()[2][3], 3);  // 9 is the third description
    // The zone shares of the tributaries now stand in the TG's zone.
    EXPECT_NEAR((*model_->GetAbfrel())[3], 1.0, 1e-12);
    EXPECT_EQ(model_->largestDelayLine, model_->Description(3).MaxStorageElements(0));
    // "PrecOnLakes" took the first free entry of the grid store.
    EXPECT_EQ(store_[model_->precOnLakesIndex].internalName, "PrecOnLakes");
    EXPECT_EQ(model_->precOnLakesIndex, 2);
    // One table file per channel, under its temporary name until the normal end.
    for (const char* name : {"wq_table.001.part", "wq_table.002.part", "wq_tabZL.001.part"})
        EXPECT_FALSE(talvo_test::ReadFile(name).empty()) << name;
}

TEST_F(RoutingModelTest, LinksFillTheFlowsAndRiverRecords) {
    ASSERT_EQ(Build(Section()), 0u) << console_.str();
    if (!Root()) return;
    EXPECT_EQ(CodeOf([&] { model_->SetRunoffSource(nullptr); }), 43);
    EXPECT_TRUE(Logged("No valid discharges for discharge routing!\nYou have to run the model including at least "
                       "precipitation interpolation and soil model\nif discharges are wished."));
    RunoffArray qg(1, std::vector<double>(4, 0.0));
    model_->SetRunoffSource(&qg);
    ASSERT_EQ(model_->working[0].size(), 3u + 1 + 0 + 3);
    qg[0] = {0, 0.5, 0.25, 0};
    model_->CheckConnectionsAndInitRouting();
    // The constant inflow of 0.5 m3/s over its 1 km2 channel area.
    EXPECT_NEAR(model_->working[0][4], 0.5 * 0.06 * 60 / 1, 1e-12);
    std::vector<riverflow_table> records(4);
    model_->SetRiverflowTable(records.data());
    EXPECT_EQ(records[1].routingObject, 3);
    EXPECT_EQ(records[1].channel, 1);
    EXPECT_EQ(records[2].channel, 2);
    EXPECT_NEAR(records[2].flowm3s, 0.25 * 1 * 16.6666667 / 60, 1e-9);
    EXPECT_GT(records[2].speed, 0);
    model_->SetIrrigationTable(nullptr);
    EXPECT_EQ(CodeOf([&] { model_->run(24, 1, 1, 2020); }), 0);
    model_->Finish();
    EXPECT_TRUE(Logged(" free memory TG 9, OL 1 (Subb. 3), OL 2 (Subb. 5), (only ZL's), --> ZLs..."));
}

TEST_F(RoutingModelTest, SectionErrorsHaveTheirCodes) {
    const std::string tableRange =
        "values for min/max specific discharge and/or discharge and time interval splitting   \nnot found in control file";
    struct Case {
        std::string section;
        std::string after;
        unsigned code;
        std::string message;
        bool alone = false;
    } cases[] = {
        {Section("10 1000 2"), kOutputInterval, 17, tableRange},
        // Values out of range name their key, value and range (not "not found").
        {Section("0 1000 2 1"), kOutputInterval, 17,
         "min. specific discharge (min. and max. specific discharge, intervals, sub-intervals) in [routing_model]; "
         "routing_model: the value 0 in section [routing_model] must be > 0!"},
        {Section("10 5 2 1"), kOutputInterval, 17, "the value 5 in section [routing_model] must be >= 10!"},
        {Section("10 1000 0.5 1"), kOutputInterval, 17,
         "intervals of the tables (min. and max. specific discharge, intervals, sub-intervals) in [routing_model]; "
         "routing_model: the value 0.5 in section [routing_model] must be in [1, 1000000)!"},
        {Section("10 1000 2 0"), kOutputInterval, 17, "time sub-intervals (min. and max."},
        {Section("10 1000 2 1", "1\nx 1\n"), kOutputInterval, 17,
         "error reading a subbasin index for column indexing in routing model"},
        {Section("10 1000 2 1", "1\n9 y\n"), kOutputInterval, 17,
         "error reading a column number for column indexing in routing model"},
        // Five descriptors on one line: the second seek skips four lines too many.
        {Section("10 1000 2 1", "5\n9 1 5 2 3 1 9 2 5 1\n", "TG 9 = 1 = 1\nend"), "", 38,
         "error searching the second time for routing descriptions\nthe first run was ok., but not the second", true},
        {Section("10 1000 2 1", "1\n9 1\n", "TG 9 = 1 = 1 ZL 1 = Intern" + std::string(kChannel) + "\nend\n"),
         kOutputInterval, 42, "the modus \"Intern\" is not supported for inflow 1"},
        {Section("10 1000 2 1", "1\n9 1\n", "TG 9 = 1 = 0\nend\n"), kOutputInterval, 17,
         "area factor (AErel) of subbasin 9"},
        {Section(), "", 17, "[output_interval]"},
    };
    for (const Case& c : cases) {
        console_.str("");
        const unsigned error = Build(c.section, c.after, c.alone);
        if (!Root()) {
            EXPECT_EQ(error, 0u);
            continue;
        }
        EXPECT_EQ(error, c.code) << c.message;
        EXPECT_TRUE(Logged(c.message));
    }
}

TEST_F(RoutingModelTest, ACycleInTheNetworkIsRefusedNamingItsDescriptions) {
    // 9 flows into 3, 3 into 5 and 5 back into 9.
    const std::string cycle = std::string("TG 3 (area) = 0.004 = 1\n  OL 9") + kChannel + "\nTG 5 (area) = 0.006 = 1\n  OL 3" +
                              kChannel + "\nTG 9 (area) = 0.014 = 1\n  OL 5" + kChannel + "\nend\n";
    const unsigned error = Build(Section("10 1000 2 1", "1\n9 1\n", cycle));
    if (!Root()) return;
    EXPECT_EQ(error, 17u);
    EXPECT_TRUE(Logged("the routing network has a cycle: TG 3 (routing description 1) flows into TG 5 (routing "
                       "description 2) flows into TG 9 (routing description 3) flows into TG 3 (routing description 1)"))
        << console_.str();
}

TEST_F(RoutingModelTest, BadDescriptorsGiveNoObservation) {
    ASSERT_EQ(Build(Section("10 1000 2 1", "3\n4 1\n5 -2\n9 3\n")), 0u) << console_.str();
    if (!Root()) return;
    EXPECT_TRUE(Logged("column descriptor 1 (subbasin 4, column 1)"));
    EXPECT_TRUE(Logged("column descriptor 2 (subbasin 5, column -2)"));
    EXPECT_EQ(model_->observedColumn, (std::vector<int>{0, 0, 0, 3}));
}

TEST_F(RoutingModelTest, FullGridStoreIsFatal) {
    for (int i = 2; i <= 999; ++i) store_[i].hasInternalName = true;
    const unsigned error = Build(Section());
    for (int i = 2; i <= 999; ++i) store_[i].hasInternalName = false;
    if (!Root()) return;
    EXPECT_EQ(error, 12u);
    EXPECT_TRUE(Logged("no more free grids in memory, (max. 1000)!"));
}

TEST_F(RoutingModelTest, ObservationWindowAroundTheStartDate) {
    // Start date 1.1.2020 24 h on the first row; 14 hourly rows of two columns (the rows follow
    // the routing's hourly steps).
    std::string table = "observed discharge\nYYYY MM DD HH Q1 Q2\n";
    for (int k = 1; k <= 14; ++k)
        table += (k == 1 ? std::string("2020 1 1 24 ") : "2020 1 2 " + std::to_string(k - 1) + " ") + std::to_string(k) +
                 " 0.5\n";
    WriteShared("observed.txt", table);
    ASSERT_EQ(Build(Section("10 1000 2 1", "2\n9 1\n5 3\n", Network(), 2)), 0u) << console_.str();
    if (!Root()) return;
    EXPECT_EQ(model_->ncol, 2);
    EXPECT_EQ(model_->observedColumn[2], 0);  // column 3 is not in the table
    EXPECT_EQ(model_->observedColumn[3], 1);
    EXPECT_EQ(model_->endOfTableCounter, 0);
    EXPECT_EQ(model_->observedInflow, 1);
    for (int row = 0; row <= 10; ++row) EXPECT_EQ(model_->window[row][1], 1) << row;
    for (int row = 11; row <= 20; ++row) EXPECT_EQ(model_->window[row][1], row - 9) << row;
}

TEST_F(RoutingModelTest, ObservationWindowWithoutTheStartDate) {
    WriteShared("observed.txt", "observed\n2019 1 1 24 4\n2019 1 2 24 6\n");
    ASSERT_EQ(Build(Section()), 0u) << console_.str();
    if (!Root()) return;
    EXPECT_EQ(model_->endOfTableCounter, 12);
    // The table ends before the start date: no row is an observation of the run's steps.
    for (int row = 0; row <= 20; ++row) EXPECT_EQ(model_->window[row][1], -9999.0) << row;
}

TEST_F(RoutingModelTest, MalformedObservedTableIsFatal) {
    WriteShared("observed.txt", "observed\n2019 x\n");
    const unsigned error = Build(Section());
    if (!Root()) return;
    EXPECT_EQ(error, 203u);
    EXPECT_TRUE(Logged("error analysing or reading observed.txt at row"));
}

TEST_F(RoutingModelTest, TitleOfTheRoutedDischargeByUnit) {
    EXPECT_STREQ(abflussmodellklasse::UnitTitle(0), "routed discharge [mm per subbasin] ");
    EXPECT_STREQ(abflussmodellklasse::UnitTitle(1), "routed discharge [ m3 per sec ] ");
    EXPECT_STREQ(abflussmodellklasse::UnitTitle(2), "routed discharge (unknown measure)");
    ASSERT_EQ(Build(Section(), "[output_interval]\n1\n0\n2 unknown unit\n"), 0u) << console_.str();
    if (Root()) {
        EXPECT_EQ(model_->outputUnit, 2);
    }
}

TEST_F(RoutingModelTest, DescriptionsEndAtALineWithoutKeywords) {
    ASSERT_EQ(Build(Section("10 1000 2 1", "0\n", "# no descriptions here\nTG 9 = 1 = 1\n")), 0u) << console_.str();
    if (!Root()) return;
    EXPECT_EQ(model_->DescriptionCount(), 0);
    EXPECT_TRUE(Logged("number inbetween areas (routings)    : 0"));
    EXPECT_EQ(model_->largestDelayLine, 0);
}
