// The multilayer land-use table and the irrigation table with its schedules.
#include "tables/irrigation_table.hpp"
#include "tables/multilayer_landuse.hpp"
#include "table_test_support.hpp"

namespace {

class MultilayerTest : public TableTest {
protected:
    std::vector<multilayer_landuse_entry> Read(const std::string& entries, int count) {
        return ReadMultilayerLanduseSection(
            Reader("[multilayer_landuse]\n" + std::to_string(count) + " types\n" + entries + "[end]\n"));
    }
    int Fails(const std::string& entries, int count) {
        return ErrorCode([&] { Read(entries, count); });
    }
};

TEST_F(MultilayerTest, LayerCodesAreSplitAtCommas) {
    const auto t = Read("11 forest { Landuse_Layers = 3, 5, 7; k_extinct = 0.5; }\n"
                        "12 park { Landuse_Layers = 4,,x, 6 8, 9;\n  LAI_scale = 2; }\n"
                        "13 mixed { Landuse_Layers = 1, 2, 3;\n k_extinct = 0.4; LAI_scale = 3;\n}\n",
                        3);
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0].code, 3);
    EXPECT_EQ(t[1].code, 11);
    EXPECT_EQ(t[1].name, "forest");
    EXPECT_EQ(t[1].layerCount, 3);
    EXPECT_EQ(t[1].layerCodes, (std::vector<std::int32_t>{3, 3, 5, 7}));
    EXPECT_EQ(t[1].layerCodesAsRead, t[1].layerCodes);
    EXPECT_DOUBLE_EQ(t[1].k_extinct, 0.5);
    EXPECT_DOUBLE_EQ(t[1].LAI_scale, 10.0);
    // Pieces that are no number are passed over; the rest of a piece after its number is ignored.
    EXPECT_EQ(t[2].layerCodes, (std::vector<std::int32_t>{3, 4, 6, 9}));
    EXPECT_EQ(t[3].layerCodes, (std::vector<std::int32_t>{3, 1, 2, 3}));
    EXPECT_DOUBLE_EQ(t[3].k_extinct, 0.4);
    EXPECT_DOUBLE_EQ(t[2].k_extinct, 0.3);
    EXPECT_DOUBLE_EQ(t[2].LAI_scale, 2.0);
    EXPECT_TRUE(Read("", 0).size() == 1u);
    EXPECT_TRUE(ReadMultilayerLanduseSection(Reader("[landuse_table]\n0\n")).empty());
}

TEST_F(MultilayerTest, LayerCountsMustAgree) {
    EXPECT_EQ(Fails("1 a { Landuse_Layers = 1, 2; }\n2 b { Landuse_Layers = 1, 2, 3; }\n", 2), 111);
    EXPECT_TRUE(Logged("\nThe numbers of landuse layers has to be equal for all multilayer-landuse types\n(here: "
                       "multilayer-landuse type 2: 3 layers, but multilayer-landuse type 1: 2 layers)\n\n"));
    // A line without "Landuse_Layers" leaves its record with one layer and no codes.
    EXPECT_EQ(Fails("1 a { Landuse_Layers = 1, 2; }\n2 b { }\n", 2), 111);
    const auto t = Read("1 a { Landuse_Layers = 1; }\n2 b { }\n", 2);
    EXPECT_EQ(t[2].layerCount, 1);
    EXPECT_FALSE(t[2].HasLayerCode(1));
    EXPECT_TRUE(t[1].HasLayerCode(1));
}

TEST_F(MultilayerTest, MalformedEntries) {
    EXPECT_EQ(Fails("1 a { Landuse_Layers = x; }\n", 1), 110);
    EXPECT_TRUE(Logged("multilayer_landuse_table code 1: some parameters could not be read\n1 a {"));
    EXPECT_EQ(Fails("1 a { Landuse_Layers = 1, 2;\n", 1), 110);  // no "}"
    EXPECT_EQ(Fails("", 2), 110);                                 // fewer lines than entries
    EXPECT_EQ(Fails("", -1), 110);
    multilayer_landuse_entry e(1);
    EXPECT_EQ(ErrorCode([&] { e.ParseMultilayerLanduseBlock(Log(), "1 a { Landuse_Layerz = 1; }"); }), 112);
    EXPECT_TRUE(Logged("multiple landuse table: parameter Landuse_Layers not found 1 a { Landuse_Layerz = 1; }\n"));
}

class IrrigationTest : public TableTest {
protected:
    std::vector<irrigation_entry> Read(const std::string& entries, int count, int* irrigationSwitch = nullptr) {
        std::vector<irrigation_entry> table;
        const int s = ReadIrrigationSections(
            Reader("[irrigation]\n1 switch\n[irrigation_table]\n" + std::to_string(count) + "\n" + entries), 2,
            table);
        if (irrigationSwitch) *irrigationSwitch = s;
        return table;
    }
    int Fails(const std::string& entries, int count) {
        return ErrorCode([&] { Read(entries, count); });
    }
    // Events as "month.day:amount" texts.
    static std::string Events(const irrigation_entry& e) {
        std::string s;
        for (std::int32_t k = 1; k <= e.tabcnt; ++k)
            s += StrFormat(" %d.%d:%.2f", static_cast<int>(e.months[k]), static_cast<int>(e.days[k]), e.amounts[k]);
        return s;
    }
};

TEST_F(IrrigationTest, SwitchZeroReadsNoTable) {
    std::vector<irrigation_entry> table(3);
    EXPECT_EQ(ReadIrrigationSections(Reader("[irrigation]\n0\n"), 2, table), 0);
    EXPECT_TRUE(table.empty());
    EXPECT_EQ(ErrorCode([&] { ReadIrrigationSections(Reader("[soil_table]\n0\n"), 2, table); }), 17);
    EXPECT_EQ(ReadIrrigationSections(Reader("[irrigation]\n1\n"), 1, table), 0);
}

TEST_F(IrrigationTest, AllMethodsReadInOrder) {
    int sw = 0;
    const auto t = Read("5 fixed_dates 1 2 80 20 2\n 6 1 25.5\n 7 15 30\n"
                        "7 schedule 2 1 80 20 starting from 6 15 with 20 mm 3 times every 10 days\n"
                        "8 suction 3 2 70 10\n"
                        "9 ratio 4 1 0.6\n",
                        4, &sw);
    EXPECT_EQ(sw, 1);
    ASSERT_EQ(t.size(), 5u);
    EXPECT_EQ(t[0].code, 4);
    EXPECT_EQ(t[1].code, 5);
    EXPECT_EQ(t[1].name, "fixed_dates");
    EXPECT_EQ(t[1].origin, 2);
    EXPECT_EQ(Events(t[1]), " 6.1:25.50 7.15:30.00");
    EXPECT_EQ(Events(t[2]), " 6.15:20.00 6.25:20.00 7.5:20.00");
    EXPECT_EQ(t[3].tabcnt, 0);
    EXPECT_DOUBLE_EQ(t[3].psi_dry, 70.0);
    EXPECT_DOUBLE_EQ(t[3].psi_wet, 10.0);
    EXPECT_DOUBLE_EQ(t[4].minRatio, 0.6);
    EXPECT_DOUBLE_EQ(t[4].psi_dry, 20.0);
    EXPECT_DOUBLE_EQ(t[4].psi_wet, 3.45);
}

TEST_F(IrrigationTest, ScheduleForms) {
    const std::string head = "1 s 2 1 80 20 ";
    EXPECT_EQ(Events(Read(head + "starting from 5 1 with 10 mm to 5 31 with 30 mm every 10 days\n", 1)[1]),
              " 5.1:10.00 5.11:16.67 5.21:23.33 5.31:30.00");
    // Start day and month are limited to the calendar.
    EXPECT_EQ(Events(Read(head + "starting from 4 31 with 5 mm 1 times every 1 days\n", 1)[1]), " 4.30:5.00");
    EXPECT_EQ(Events(Read(head + "starting from 13 0 with 5 mm 1 times every 1 days\n", 1)[1]), " 12.1:5.00");
    // Two schemes continue the numbering.
    const auto t = Read(head + "starting from 6 1 with 10 mm 2 times every 5 days; starting from 8 1 with 4 mm 2 "
                               "times every 7 days\n",
                        1);
    EXPECT_EQ(t[1].tabcnt, 4);
    EXPECT_EQ(Events(t[1]), " 6.1:10.00 6.6:10.00 8.1:4.00 8.8:4.00");
    // Names are cut to 50 characters.
    EXPECT_EQ(Read("1 " + std::string(60, 'n') + " 3 1 50 10\n", 1)[1].name, std::string(50, 'n'));
}

TEST_F(IrrigationTest, LongIntervalsAndScheduleEnds) {
    const std::string head = "1 s 2 1 80 20 ";
    // Steps longer than a month carry over (1 January + 45 days = 15 February, + 45 = 1 April).
    EXPECT_EQ(Events(Read(head + "starting from 1 1 with 5 mm 3 times every 45 days\n", 1)[1]),
              " 1.1:5.00 2.15:5.00 4.1:5.00");
    // The end of a scheme is never jumped over, also when a step leaves the end month.
    EXPECT_EQ(Events(Read(head + "starting from 5 25 with 10 mm to 5 31 with 20 mm every 10 days\n", 1)[1]),
              " 5.25:20.00");
    EXPECT_EQ(Events(Read(head + "starting from 5 25 with 10 mm to 6 2 with 20 mm every 10 days\n", 1)[1]),
              " 5.25:20.00");
    // A scheme may run over the turn of the year.
    EXPECT_EQ(Events(Read(head + "starting from 12 1 with 10 mm to 1 31 with 40 mm every 20 days\n", 1)[1]),
              " 12.1:10.00 12.21:20.00 1.10:30.00 1.30:40.00");
    EXPECT_EQ(Fails(head + "starting from 1 1 with 5 mm 367 times every 1 days\n", 1), 29);
    EXPECT_TRUE(Logged("irrigation description for irrigation type 1 has more than 366 irrigation events\n"));
    EXPECT_EQ(Fails(head + "starting from 1 1 with 5 mm 200 times every 1 days; starting from 1 1 with 5 mm 200 "
                           "times every 1 days\n",
                    1),
              29);
}

TEST_F(IrrigationTest, WrongDescriptionsAndValues) {
    const std::string head = "1 s 2 1 80 20 ";
    EXPECT_EQ(Fails(head + "every day a little\n", 1), 29);
    EXPECT_TRUE(Logged("irrigation description for irrigation type 1 is wrong there are 4 possible ways to define "
                       "irrigation rules:\n"));
    EXPECT_EQ(Fails(head + "starting from 5 1 with 10 mm every 3 days to\n", 1), 29);
    EXPECT_EQ(Fails(head + "starting from 5 1 with 10 mm 3 times every 0 days\n", 1), 29);
    EXPECT_EQ(Fails(head + "starting from 5 1 with 10 mm 0 times every 3 days\n", 1), 29);
    EXPECT_EQ(Fails(head + "starting from 5 x with 10 mm 3 times every 3 days\n", 1), 29);
    EXPECT_EQ(Fails(head + "starting from", 1), 29);
    // The form is told by the keywords after the first amount: "times" before "with" is neither.
    EXPECT_EQ(Fails(head + "starting from 5 1 times with 10 mm every 3 days\n", 1), 29);
    EXPECT_TRUE(Logged("none of the keywords \"to\" or \"times\" could be found!\n"));

    EXPECT_EQ(Fails("1 s\n", 1), 29);
    EXPECT_TRUE(Logged("for irrigation code 1: code, name, method, or origin could not be read correctly\n"));
    EXPECT_EQ(Fails("1 s 4 1 x\n", 1), 29);
    EXPECT_TRUE(Logged("for irrigation code 1: min(ETR/ETP) could not be read correctly\n"));
    EXPECT_EQ(Fails("1 s 3 1 80\n", 1), 29);
    EXPECT_TRUE(Logged("for irrigation code 1: psi_dry or psi_wet could not be read correctly\n"));
    EXPECT_EQ(Fails("1 s 1 1 80 20 x\n", 1), 29);
    EXPECT_TRUE(Logged("for irrigation code 1: tabcnt could not be read correctly\n"));
    EXPECT_EQ(Fails("1 s 1 1 80 20 400\n", 1), 29);
    EXPECT_EQ(Fails("1 s 1 1 80 20 2 5 1 10 6\n", 1), 29);
    EXPECT_TRUE(Logged("for irrigation code 1 month[2] or day[2] or amount[2] could not be read\n"));
    EXPECT_EQ(Fails("", -3), 29);
    EXPECT_EQ(Fails("1 s 3 1 80 20\n", 2), 29);
}

}  // namespace
