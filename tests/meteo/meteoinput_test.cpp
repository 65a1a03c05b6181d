// The files of one interpolator together: which files a method reads, their agreement in
// stations and dates, the end of the data, ending at the current date and rewinding.
#include <gtest/gtest.h>

#include "meteo/meteoinput.hpp"
#include "meteo_test_support.hpp"

namespace {

using meteo_test::MeteoFileTest;
using meteo_test::StationHeaderText;

constexpr double kN = 9999.0;
const MeteoDate kStart{0, 1, 1, 2000};
const MeteoDate kEnd{0, 1, 1, 2001};

std::string Records(int from, int to) {
    std::string r;
    for (int h = from; h <= to; ++h) r += "2000 1 1 " + std::to_string(h) + " 1 2 3\n";
    return r;
}

std::string RegressionText(int from, int to) {
    std::string r = "jr mo tt hh\n";
    for (int h = from; h <= to; ++h) r += "2000 1 1 " + std::to_string(h) + " 1 2 3 4 5 6 7 8 9 10 11\n";
    return r;
}

class MeteoInputTest : public MeteoFileTest {
protected:
    // The files of a method over the given station files.
    MeteoInputFiles Make(int method, const std::string& first = "", const std::string& second = "",
                         const MeteoDate& end = kEnd) {
        MeteoInputFiles in(log.get(), "temperature", method, kN, kStart, end);
        if (!first.empty()) in.SetStationFile(0, first, 0);
        if (!second.empty()) in.SetStationFile(1, second, 0);
        return in;
    }
};

TEST_F(MeteoInputTest, TwoStationFilesAdvanceTogetherUntilTheEnd) {
    Share("a.dat", StationHeaderText() + Records(0, 3));
    Share("b.dat", StationHeaderText() + Records(0, 3));
    MeteoInputFiles in = Make(6, "a.dat", "b.dat");
    in.Open();
    std::int64_t h = -1, d = 0, m = 0, y = 0;
    int steps = 0;
    do {
        in.GetDate(&h, &d, &m, &y);
        EXPECT_EQ(h, steps);
        ++steps;
        in.AdvanceRecords();
    } while (!in.IsAtEnd());
    EXPECT_EQ(steps, 4);
    EXPECT_EQ(in.Date().hour, 3);
    EXPECT_EQ(y, 2000);
}

TEST_F(MeteoInputTest, SecondStationFileMustDescribeTheSameStations) {
    Share("a.dat", StationHeaderText() + Records(0, 1));
    Share("fewer.dat", "t\nY M D H 100 200\nY M D H 1000 2000\nY M D H 5000 6000\nx\n" + Records(0, 1));
    Share("moved.dat", "t\nY M D H 100 200 300\nY M D H 1000 2000 3001\nY M D H 5000 6000 7000\nx\n" + Records(0, 1));
    MeteoInputFiles fewer = Make(8, "a.dat", "fewer.dat");
    EXPECT_EQ(ErrorOf([&] { fewer.Open(); }), 73);
    EXPECT_TRUE(Logged("meteorological station files fewer.dat \nand a.dat contain a different number of "
                       "stations \n(2 and 3, resp.)\n"));
    MeteoInputFiles moved = Make(6, "a.dat", "moved.dat");
    EXPECT_EQ(ErrorOf([&] { moved.Open(); }), 73);
    EXPECT_TRUE(Logged("Altitude and/or coordinates of station 3 are different in\nmeteorological station files "
                       "moved.dat\nH: 300,\tX: 3001\tY: 7000\nand\na.dat\nH: 300,\tX: 3000\tY: 7000\n"));
}

TEST_F(MeteoInputTest, StationFilesThatDisagreeInDate) {
    Share("a.dat", StationHeaderText() + Records(0, 2));
    Share("b.dat", StationHeaderText() + "2000 1 1 0 1 2 3\n2000 1 1 2 1 2 3\n");
    MeteoInputFiles in = Make(6, "a.dat", "b.dat");
    in.Open();
    EXPECT_EQ(ErrorOf([&] { in.AdvanceRecords(); }), 73);
    EXPECT_TRUE(FatalLogged());
    EXPECT_TRUE(Logged("error reading date from stationfiles:\nfile a.dat: YYYY=2000, MM=1, DD=1, HH=1\n"
                       "file b.dat: YYYY=2000, MM=1, DD=1, HH=2\n"));
}

TEST_F(MeteoInputTest, StationAndRegressionDatesMustAgree) {
    Share("st.dat", StationHeaderText() + Records(0, 2));
    Share("regr.dat", "jr mo\n2000 1 1 0 1 2 3 4 5 6 7 8 9 10 11\n2000 1 1 5 1 2 3 4 5 6 7 8 9 10 11\n");
    MeteoInputFiles in = Make(3, "st.dat");
    in.SetRegressionFile("regr.dat");
    in.Open();
    EXPECT_EQ(ErrorOf([&] { in.AdvanceRecords(); }), 52);
    EXPECT_TRUE(Logged("error in date column of temperature for IDW*Regress \n\nDate from station/regress file "
                       "st.dat:\n1.1.2000 1 h\n\nbut date from regres file regr.dat:\n1.1.2000 5 h\n\n"));
}

TEST_F(MeteoInputTest, WithStationAndRegressionTheStationFileDecidesTheEnd) {
    Share("st.dat", StationHeaderText() + Records(0, 2));
    Share("regr.dat", RegressionText(0, 5));
    MeteoInputFiles in = Make(3, "st.dat", "", MeteoDate{1, 1, 1, 2000});
    in.SetRegressionFile("regr.dat");
    in.Open();
    in.AdvanceRecords();
    EXPECT_FALSE(in.IsAtEnd());
    EXPECT_EQ(in.Date().hour, 1);
    in.AdvanceRecords();
    EXPECT_TRUE(in.IsAtEnd());
    EXPECT_EQ(in.Date().hour, 1);
    EXPECT_EQ(in.Regression().Date().hour, 1);
}

// The end of the data is seen one record ahead, so that the run can end with its last step; the
// look-ahead takes no record (also across a block boundary) and names the file that ends.
TEST_F(MeteoInputTest, DataEndAreSeenOneRecordAhead) {
    Share("a.dat", StationHeaderText() + Records(0, 3));
    Share("b.dat", StationHeaderText() + Records(0, 1));
    MeteoInputFiles in = Make(6, "a.dat", "b.dat", MeteoDate{24, 1, 1, 2000});
    in.Open();
    in.Station(0).LimitBlockCapacity(1);
    in.Station(1).LimitBlockCapacity(1);
    EXPECT_FALSE(in.DataEndWithThisRecord());
    in.AdvanceRecords();
    EXPECT_EQ(in.Date().hour, 1);
    EXPECT_EQ(in.Station(0).Date().hour, 1);
    EXPECT_TRUE(in.DataEndWithThisRecord());
    EXPECT_TRUE(Logged("the data of b.dat end with 1.1.2000 1 h, before the end date 1.1.2000 24 h of [model_time]"));
    // The run ends there: no second look-ahead end, and the next advance ends the data quietly.
    in.EndAtCurrentDate();
    EXPECT_FALSE(in.DataEndWithThisRecord());
    in.AdvanceRecords();
    EXPECT_TRUE(in.IsAtEnd());
    EXPECT_EQ(in.Date().hour, 1);
    const std::string text = console.str();
    EXPECT_EQ(text.find("end with"), text.rfind("end with"));

    Share("regr.dat", RegressionText(0, 2));
    MeteoInputFiles regression = Make(2, "", "", MeteoDate{24, 1, 1, 2000});
    regression.SetRegressionFile("regr.dat");
    regression.Open();
    regression.AdvanceRecords();
    EXPECT_FALSE(regression.DataEndWithThisRecord());
    regression.AdvanceRecords();
    EXPECT_TRUE(regression.DataEndWithThisRecord());
    EXPECT_TRUE(Logged("the data of regr.dat end with 1.1.2000 2 h"));

    // Data that reach the end date never end early.
    MeteoInputFiles full = Make(1, "a.dat", "", MeteoDate{3, 1, 1, 2000});
    full.Open();
    for (int step = 0; step < 4; ++step, full.AdvanceRecords()) EXPECT_FALSE(full.DataEndWithThisRecord());
    EXPECT_TRUE(full.IsAtEnd());
}

// What the records read already tell of the data end is what the look-ahead finds; where the
// answer needs a read (a block used up) they tell nothing.
TEST_F(MeteoInputTest, TheRecordsReadTellTheDataEndAsTheLookAheadDoes) {
    Share("a.dat", StationHeaderText() + Records(0, 5));
    Share("b.dat", StationHeaderText() + Records(0, 3));
    Share("regr.dat", RegressionText(0, 4));
    int known = 0;
    for (int capacity : {1, 2, 100}) {
        MeteoInputFiles stations = Make(6, "a.dat", "b.dat", MeteoDate{24, 1, 1, 2000});
        MeteoInputFiles regression = Make(2, "", "", MeteoDate{24, 1, 1, 2000});
        regression.SetRegressionFile("regr.dat");
        stations.Open();
        regression.Open();
        stations.Station(0).LimitBlockCapacity(capacity);
        stations.Station(1).LimitBlockCapacity(capacity);
        regression.Regression().LimitBlockCapacity(capacity);
        for (MeteoInputFiles* in : {&stations, &regression}) {
            for (int guard = 0; guard < 10 && !in->IsAtEnd(); ++guard, in->AdvanceRecords()) {
                const int buffered = in->BufferedDataEnd();
                const bool ending = in->DataEndWithThisRecord();
                if (buffered >= 0) {
                    ++known;
                    EXPECT_EQ(buffered, ending ? 1 : 0) << capacity << " at " << in->Date().hour;
                }
                if (ending) in->EndAtCurrentDate();
            }
        }
    }
    // The records within a block read are told (five at the capacity of 100 alone).
    EXPECT_GE(known, 5);
}

TEST_F(MeteoInputTest, RegressionOnlyRewindsToTheStartRecord) {
    Share("regr.dat", RegressionText(0, 2));
    MeteoInputFiles in = Make(2);
    in.SetRegressionFile("regr.dat");
    in.Open();
    in.AdvanceRecords();
    in.AdvanceRecords();
    in.AdvanceRecords();
    EXPECT_TRUE(in.IsAtEnd());
    in.Rewind();
    EXPECT_FALSE(in.IsAtEnd());
    in.AdvanceRecords();
    EXPECT_EQ(in.Date(), kStart);
    EXPECT_FALSE(in.IsAtEnd());
}

TEST_F(MeteoInputTest, EndAtCurrentDate) {
    Share("st.dat", StationHeaderText() + Records(0, 5));
    MeteoInputFiles in = Make(1, "st.dat");
    in.Open();
    in.AdvanceRecords();
    in.EndAtCurrentDate();
    EXPECT_EQ(in.EndKey(), DateKey(2000, 1, 1, 1));
    in.AdvanceRecords();
    EXPECT_TRUE(in.IsAtEnd());
    EXPECT_EQ(in.Date().hour, 1);
}

TEST_F(MeteoInputTest, GridListNamesPerDate) {
    Share("list.txt", StationHeaderText("extra ") +
                          "1999 12 31 0 x old.asc\n"
                          "2000 1 1 0 x first.asc\n"
                          "2000 1 1 1 x -9999\n"
                          "2000 1 1 2 x\n"
                          "2000 1 1 3 x third.asc\n");
    MeteoInputFiles in = Make(9);
    in.SetGridList("list.txt", 1);
    in.Open();
    GridListFile& list = in.GridList();
    EXPECT_EQ(list.Header().count, 3);
    EXPECT_EQ(list.Header().x[1], 1000.0);
    EXPECT_EQ(list.GridName(), "first.asc");
    EXPECT_FALSE(list.IsOpen());
    in.AdvanceRecords();
    EXPECT_EQ(list.GridName(), "-9999");
    EXPECT_TRUE(list.IsOpen());
    in.AdvanceRecords();
    EXPECT_EQ(list.GridName(), "-9999");  // no name: no new grid, with a warning
    EXPECT_TRUE(Logged("no grid name in list.txt for 1.1.2000 2 h"));
    in.AdvanceRecords();
    EXPECT_EQ(list.GridName(), "third.asc");
    EXPECT_EQ(in.Date().hour, 3);
    in.AdvanceRecords();
    EXPECT_TRUE(in.IsAtEnd());
    EXPECT_FALSE(list.IsOpen());

    in.Rewind();
    in.AdvanceRecords();
    EXPECT_EQ(list.GridName(), "first.asc");
    EXPECT_EQ(in.Date(), kStart);
}

TEST_F(MeteoInputTest, GridListWithoutStartDate) {
    Share("list.txt", StationHeaderText() + "1999 1 1 0 a.asc\n");
    MeteoInputFiles in = Make(9);
    in.SetGridList("list.txt", 0);
    EXPECT_EQ(ErrorOf([&] { in.Open(); }), 51);
    EXPECT_TRUE(FatalLogged());
    EXPECT_TRUE(Logged("\nfile list.txt dosnt contain date 1.1.2000, hour 0(feof)!"));
}

}  // namespace

namespace {

TEST(MeteoDates, MinutesBetweenFollowTheCalendar) {
    struct Case {
        MeteoDate a, b;
        std::int64_t minutes;
    };
    const Case cases[] = {
        {{1, 1, 1, 2000}, {2, 1, 1, 2000}, 60},
        {{24, 1, 1, 2000}, {1, 2, 1, 2000}, 60},          // hour 24 is hour 0 of the next day
        {{24, 28, 2, 2000}, {24, 29, 2, 2000}, 1440},     // 2000 is a leap year
        {{24, 28, 2, 2100}, {24, 1, 3, 2100}, 1440},      // 2100 is none
        {{24, 31, 12, 1999}, {24, 1, 1, 2000}, 1440},
        {{5, 1, 1, 2000}, {4, 1, 1, 2000}, -60},
    };
    for (const Case& c : cases) EXPECT_EQ(MinutesBetween(c.a, c.b), c.minutes) << c.b.day << "." << c.b.month;
}

std::string Hours(std::initializer_list<int> hours) {
    std::string r;
    for (int h : hours) r += "2000 1 1 " + std::to_string(h) + " 1 2 3\n";
    return r;
}

// Steps the input to its end or its first error; returns the error code (0 at a normal end).
class SteppedInputTest : public MeteoInputTest {
protected:
    int RunThrough(MeteoInputFiles& in) {
        return ErrorOf([&] {
            in.Open();
            for (int guard = 0; guard < 100 && !in.IsAtEnd(); ++guard) in.AdvanceRecords();
        });
    }
};

TEST_F(SteppedInputTest, DatesMustAdvanceByOneStep) {
    struct Case {
        std::initializer_list<int> hours;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {{0, 1, 2, 3}, 0, ""},
        {{0, 2, 4, 6}, 0, ""},  // the step is what lies between the first two records
        {{0, 1, 3, 4}, 52,
         "the dates of a.dat do not advance by one time step: 1.1.2000 1 h is followed by 1.1.2000 3 h, 120 minutes "
         "later instead of one step of 60 minutes"},
        {{0, 1, 1, 2}, 52, "1.1.2000 1 h is followed by 1.1.2000 1 h, 0 minutes later"},
        {{0, 2, 1, 3}, 52, "1.1.2000 2 h is followed by 1.1.2000 1 h, -60 minutes later instead of one step of 120"},
        {{0, 0, 1}, 52, "1.1.2000 0 h is followed by 1.1.2000 0 h (a record repeated, or records out of order)"},
    };
    for (const Case& c : cases) {
        Share("a.dat", StationHeaderText() + Hours(c.hours));
        MeteoInputFiles in = Make(1, "a.dat", "", MeteoDate{24, 1, 1, 2000});
        const int code = RunThrough(in);
        EXPECT_EQ(code, c.code) << c.message;
        if (c.code != 0) {
            EXPECT_TRUE(Logged(c.message)) << c.message;
        }
    }
}

TEST_F(SteppedInputTest, DataEndingBeforeTheEndDateAreReportedOnce) {
    Share("a.dat", StationHeaderText() + Hours({0, 1, 2}));
    MeteoInputFiles in = Make(1, "a.dat", "", MeteoDate{24, 1, 1, 2000});
    EXPECT_EQ(RunThrough(in), 0);
    EXPECT_TRUE(Logged("the data of a.dat end with 1.1.2000 2 h, before the end date 1.1.2000 24 h of "
                       "[model_time]; the run ends there"));
    // A spin-up repetition runs into the same end without a second entry, and the rewind to the
    // start record is no step backwards.
    in.Rewind();
    in.AdvanceRecords();
    EXPECT_EQ(in.Date().hour, 0);
    while (!in.IsAtEnd()) in.AdvanceRecords();
    const std::string text = console.str();
    EXPECT_EQ(text.find("end with"), text.rfind("end with"));

    // Data that reach the end date end without a word.
    Share("b.dat", StationHeaderText() + Hours({0, 1, 2, 3}));
    console.str("");
    MeteoInputFiles full = Make(1, "b.dat", "", MeteoDate{2, 1, 1, 2000});
    EXPECT_EQ(RunThrough(full), 0);
    EXPECT_FALSE(Logged("end with"));
}

}  // namespace
