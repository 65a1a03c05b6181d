// Station data files: header, search for the start date, records handed out per step, blocks,
// end of the data, rewinding and the handling of unreadable or out-of-range values.
#include <gtest/gtest.h>

#include "meteo/meteofiles.hpp"
#include "meteo_test_support.hpp"

namespace {

using meteo_test::MeteoFileTest;
using meteo_test::StationHeaderText;

constexpr double kN = 9999.0;
const MeteoDate kStart{0, 1, 1, 2000};  // hour, day, month, year

class StationFileTest : public MeteoFileTest {
protected:
    StationFile Open(const std::string& name, const std::string& text, const MeteoDate& start = kStart,
                     int additionalColumns = 0) {
        Share(name, text);
        StationFile f(log.get(), "temperature", kN);
        f.SetFile(name, additionalColumns);
        f.ReadDescription();
        f.FindStartDate(start);
        return f;
    }
};

TEST_F(StationFileTest, HeaderCountsStationsUpToTheFirstNonNumber) {
    Share("st.dat",
          "title\n"
          "YY MM DD HH X1 X2 100 200.5 -3 name 400\n"
          "a b c d e f 1000 2000 3000 4000\n"
          "a b c d e f 5000 6000 7000\n"
          "line five\n");
    StationFile f(log.get(), "temperature", kN);
    f.SetFile("st.dat", 2);
    EXPECT_EQ(f.ReadDescription(), 3);
    EXPECT_EQ(f.Altitude()[2], 200.5);
    EXPECT_EQ(f.Altitude()[3], -3.0);
    EXPECT_EQ(f.X()[3], 3000.0);
    EXPECT_EQ(f.Y()[2], 6000.0);
    for (int k = 1; k <= 3; ++k) EXPECT_EQ(f.Values()[static_cast<std::size_t>(k)], -kN - 1);
    EXPECT_TRUE(Logged("reading station description for temperature from st.dat ..."));
    EXPECT_TRUE(Logged(" (3) Stationen "));
    // Line 3 holds a fourth value: a station line 2 may have lost.
    EXPECT_TRUE(Logged("st.dat: line 3 holds more station values than the 3 altitudes of line 2"));
    EXPECT_FALSE(Logged("line 4 holds more"));
}

TEST_F(StationFileTest, HeaderFailures) {
    StationFile missing(log.get(), "temperature", kN);
    missing.SetFile("nowhere.dat", 0);
    EXPECT_EQ(ErrorOf([&] { missing.ReadDescription(); }), 49);
    EXPECT_TRUE(Logged("error opening nowhere.dat"));

    // Coordinates missing for the third station.
    Share("short.dat", "t\nY M D H 1 2 3\nY M D H 10 20 30\nY M D H 10 20\nx\n");
    StationFile f(log.get(), "temperature", kN);
    f.SetFile("short.dat", 0);
    EXPECT_EQ(ErrorOf([&] { f.ReadDescription(); }), 19);
    EXPECT_TRUE(FatalLogged());
}

// An altitude or coordinate that is no finite number would place the station wrongly.
TEST_F(StationFileTest, StationAltitudesAndCoordinatesMustBeFiniteNumbers) {
    struct Case {
        const char* lines;  // lines 2 to 4
        const char* message;
    };
    const Case cases[] = {
        {"Y M D H 1 2 3\nY M D H 3401500 34O3200 3405600\nY M D H 5 6 7\n",
         "error reading station description from bad.dat: the x coordinate of station 2 is \"34O3200\", not a "
         "finite number"},
        {"Y M D H 1 2 3\nY M D H 10 20 30\nY M D H 5 6 inf\n", "the y coordinate of station 3 is \"inf\""},
        {"Y M D H 1 nan 3\nY M D H 10 20 30\nY M D H 5 6 7\n", "the altitude of station 2 is \"nan\""},
        {"Y M D H 1 2 8l0\nY M D H 10 20 30\nY M D H 5 6 7\n", "the altitude of station 3 is \"8l0\""},
        {"Y M D H 1 2 3\nY M D H 10 20 1e999\nY M D H 5 6 7\n", "the x coordinate of station 3 is \"1e999\""},
    };
    for (const Case& c : cases) {
        Share("bad.dat", std::string("t\n") + c.lines + "x\n");
        StationFile f(log.get(), "temperature", kN);
        f.SetFile("bad.dat", 0);
        EXPECT_EQ(ErrorOf([&] { f.ReadDescription(); }), 19) << c.lines;
        EXPECT_TRUE(Logged(c.message)) << c.lines;
    }
}

TEST_F(StationFileTest, BlockCapacity) {
    EXPECT_EQ(StationFile::BlockCapacityFor(131067), 2);
    EXPECT_EQ(StationFile::BlockCapacityFor(131068), 1);
    EXPECT_EQ(StationFile::BlockCapacityFor(262140), 1);  // the formula gives 0 here
}

TEST_F(StationFileTest, StartRecordOnLineSixWithRangeRuleAndCentury) {
    StationFile f = Open("st.dat", StationHeaderText() +
                                       "2000 1 1 0 -10000.5 10000 -9999\n"
                                       "2000 1 1 1 1 2 3\n");
    EXPECT_EQ(f.Date(), kStart);
    EXPECT_EQ(f.Values()[1], -10000.0);
    EXPECT_EQ(f.Values()[2], -10000.0);
    EXPECT_EQ(f.Values()[3], -9999.0);
    EXPECT_FALSE(f.AllEqual());  // a single valid value, but the start record clears the flag
}

TEST_F(StationFileTest, TwoDigitYearsAndThreeDigitYears) {
    StationFile f = Open("st.dat", StationHeaderText() +
                                       "95 12 31 23 1 1 1\n"
                                       "96 1 1 0 2 2 2\n"
                                       "105 1 1 0 3 3 3\n",
                         MeteoDate{23, 31, 12, 1995});
    EXPECT_EQ(f.Date().year, 1995);
    ASSERT_TRUE(f.GetRecordForDate(DateKey(3000, 1, 1, 0)));
    EXPECT_EQ(f.Date().year, 1996);
    ASSERT_TRUE(f.GetRecordForDate(DateKey(3000, 1, 1, 0)));
    EXPECT_EQ(f.Date().year, 105);
}

TEST_F(StationFileTest, MissingStartDateFailsAfterOneDotPerMonth) {
    std::string text = StationHeaderText();
    for (int m = 1; m <= 3; ++m) {
        for (int h = 0; h < 24; h += 12) text += "1999 " + std::to_string(m) + " 1 " + std::to_string(h) + " 1 2 3\n";
    }
    Share("st.dat", text);
    StationFile f(log.get(), "temperature", kN);
    f.SetFile("st.dat", 0);
    f.ReadDescription();
    EXPECT_EQ(ErrorOf([&] { f.FindStartDate(kStart); }), 51);
    const std::string out = Console();
    EXPECT_NE(out.find("looking for starting date 1.1.2000 for temperature in st.dat"), std::string::npos);
    EXPECT_NE(out.find("...\nfile st.dat dosnt contain date 1.1.2000, hour 0(feof)!"), std::string::npos);
}

TEST_F(StationFileTest, AllEqualFlag) {
    StationFile f = Open("st.dat", StationHeaderText() +
                                       "2000 1 1 0 5 5 5\n"
                                       "2000 1 1 1 -9999 -9999 -9999\n"
                                       "2000 1 1 2 -10000 -10000 -10000\n"
                                       "2000 1 1 3 4 -10000 4\n"
                                       "2000 1 1 4 4 5 4\n");
    const std::int64_t end = DateKey(2001, 1, 1, 0);
    EXPECT_FALSE(f.AllEqual());  // the start record is always interpolated in full
    ASSERT_TRUE(f.GetRecordForDate(end));
    EXPECT_TRUE(f.AllEqual());  // -9999 is valid and equal everywhere
    ASSERT_TRUE(f.GetRecordForDate(end));
    EXPECT_TRUE(f.AllEqual());  // no valid value
    ASSERT_TRUE(f.GetRecordForDate(end));
    EXPECT_TRUE(f.AllEqual());  // the valid ones are equal
    ASSERT_TRUE(f.GetRecordForDate(end));
    EXPECT_FALSE(f.AllEqual());
}

TEST_F(StationFileTest, UnreadableValueIsMissingWithOneWarning) {
    StationFile f = Open("st.dat", StationHeaderText() +
                                       "2000 1 1 0 1 2 3\n"
                                       "2000 1 1 1 4 abc 6\n"
                                       "2000 1 1 2 7 8\n"
                                       "2000 1 1 3 9 10 11 extra tokens\n");
    const std::int64_t end = DateKey(2001, 1, 1, 0);
    ASSERT_TRUE(f.GetRecordForDate(end));
    // The value of the previous record must not survive in place of the unreadable one.
    EXPECT_EQ(f.Values()[1], 4.0);
    EXPECT_EQ(f.Values()[2], -kN - 1);
    EXPECT_EQ(f.Values()[3], 6.0);
    ASSERT_TRUE(f.GetRecordForDate(end));
    EXPECT_EQ(f.Values()[2], 8.0);
    EXPECT_EQ(f.Values()[3], -kN - 1);
    ASSERT_TRUE(f.GetRecordForDate(end));
    EXPECT_EQ(f.Values()[3], 11.0);
    const std::string out = Console();
    EXPECT_EQ(Count(out, "unreadable station values"), 2u);
    EXPECT_NE(out.find("unreadable station values in st.dat for 1.1.2000 1 h: 1 set to missing (-10000)"),
              std::string::npos);
    EXPECT_NE(out.find("st.dat for 1.1.2000 2 h"), std::string::npos);
}

TEST_F(StationFileTest, UnreadableDateAfterStartIsFatal) {
    StationFile f = Open("st.dat", StationHeaderText() +
                                       "2000 1 1 0 1 2 3\n"
                                       "2000 1 x 1 1 2 3\n");
    EXPECT_EQ(ErrorOf([&] { f.GetRecordForDate(DateKey(2001, 1, 1, 0)); }), 19);
    EXPECT_TRUE(FatalLogged());
    EXPECT_TRUE(Logged("unreadable date in the record after 1.1.2000 0 h in st.dat"));
}

TEST_F(StationFileTest, FooterAfterTheModelPeriodEndsTheData) {
    // The block reads ahead past the end date: a closing line without a date there ends the
    // data instead of stopping the run.
    const std::string text = StationHeaderText() +
                             "2000 1 1 0 1 2 3\n"
                             "2000 1 1 1 4 5 6\n"
                             "2000 1 1 2 7 8 9\n"
                             "end of data, written by the station network\n";
    StationFile f = Open("st.dat", text);
    const std::int64_t end = DateKey(2000, 1, 1, 2);
    ASSERT_TRUE(f.GetRecordForDate(end));
    ASSERT_TRUE(f.GetRecordForDate(end));
    EXPECT_EQ(f.Values()[3], 9.0);
    EXPECT_FALSE(f.GetRecordForDate(end));
    EXPECT_FALSE(FatalLogged());
    // The same line before the end date is an unreadable record inside the model period.
    StationFile early = Open("st2.dat", text);
    EXPECT_EQ(ErrorOf([&] { for (int i = 0; i < 3; ++i) early.GetRecordForDate(DateKey(2000, 1, 1, 5)); }), 19);
    EXPECT_TRUE(Logged("unreadable date in the record after 1.1.2000 2 h in st2.dat"));
}

TEST_F(StationFileTest, LinesWithoutDateBeforeStartAndBlankLinesArePassedOver) {
    StationFile f = Open("st.dat", StationHeaderText() +
                                       "a comment line\n"
                                       "2000 1 1 0 1 2 3\n"
                                       "\n  \t\n"
                                       "2000 1 1 1 4 5 6");  // no end-of-line at the end
    ASSERT_TRUE(f.GetRecordForDate(DateKey(2001, 1, 1, 0)));
    EXPECT_EQ(f.Values()[3], 6.0);
    EXPECT_FALSE(f.GetRecordForDate(DateKey(2001, 1, 1, 0)));
}

TEST_F(StationFileTest, ManyBlocksEndAfterLastRecordAndRewind) {
    // 65000 stations: blocks of four records; nine records after the start give 4 + 4 + 1.
    constexpr int n = 65000;
    std::string header = "title\n";
    for (int l = 0; l < 3; ++l) {
        header += "Y M D H";
        for (int k = 1; k <= n; ++k) {
            header += ' ';
            header += std::to_string(k % 97);
        }
        header += "\n";
    }
    header += "fifth\n";
    std::string text = header;
    for (int r = 0; r < 10; ++r) {
        text += "2000 1 1 " + std::to_string(r);
        std::string v(1, ' ');
        v += std::to_string(r);
        for (int k = 1; k <= n; ++k) text += v;
        text += "\n";
    }
    StationFile f = Open("big.dat", text);
    EXPECT_EQ(f.StationCount(), n);
    EXPECT_EQ(f.BlockCapacity(), 4);
    const std::int64_t end = DateKey(2000, 2, 1, 0);
    for (int r = 1; r < 10; ++r) {
        ASSERT_TRUE(f.GetRecordForDate(end)) << r;
        EXPECT_EQ(f.Date().hour, r);
        EXPECT_EQ(f.Values()[1], r);
        EXPECT_EQ(f.Values()[n], r);
    }
    EXPECT_FALSE(f.GetRecordForDate(end));
    EXPECT_FALSE(f.GetRecordForDate(end));

    f.Rewind(kStart);
    ASSERT_TRUE(f.GetRecordForDate(end));
    EXPECT_EQ(f.Date(), kStart);
    EXPECT_EQ(f.Values()[n], 0.0);
    ASSERT_TRUE(f.GetRecordForDate(end));
    EXPECT_EQ(f.Date().hour, 1);
}

TEST_F(StationFileTest, EndDateAndEndMarker) {
    const std::string records = "2000 1 1 0 1 2 3\n2000 1 1 1 1 2 3\n2000 1 1 2 1 2 3\n";
    StationFile f = Open("st.dat", StationHeaderText() + records);
    // The last step is the first whose date reaches the end date.
    const std::int64_t end = DateKey(2000, 1, 1, 1);
    ASSERT_TRUE(f.GetRecordForDate(end));
    EXPECT_EQ(f.Date().hour, 1);
    EXPECT_FALSE(f.GetRecordForDate(end));
    EXPECT_EQ(f.Date().hour, 1);

    StationFile g = Open("marker.dat", StationHeaderText() + "2000 1 1 0 1 2 3\n0 0 0 0 9 9 9\n2000 1 1 2 1 2 3\n");
    EXPECT_FALSE(g.GetRecordForDate(DateKey(2001, 1, 1, 0)));
    EXPECT_EQ(g.Date(), kStart);
}

TEST_F(StationFileTest, AdditionalColumnsAreSkipped) {
    StationFile f = Open("st.dat",
                         StationHeaderText("c1 c2 ") + "2000 1 1 0 x y 1 2 3\n2000 1 1 1 77 88 4 5 6\n", kStart, 2);
    EXPECT_EQ(f.StationCount(), 3);
    EXPECT_EQ(f.Values()[1], 1.0);
    ASSERT_TRUE(f.GetRecordForDate(DateKey(2001, 1, 1, 0)));
    EXPECT_EQ(f.Values()[1], 4.0);
    EXPECT_EQ(f.Values()[3], 6.0);
}

}  // namespace
