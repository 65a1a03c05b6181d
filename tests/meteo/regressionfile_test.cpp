// Regression files in text and binary form: telling the forms apart, the start record, the
// parameters in file order, years, unreadable values, end of data and rewinding.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "meteo/meteofiles.hpp"
#include "meteo_test_support.hpp"

namespace {

using meteo_test::MeteoFileTest;

constexpr double kN = 9999.0;
const MeteoDate kStart{0, 1, 1, 2000};
const std::int64_t kFarEnd = DateKey(2100, 1, 1, 0);

// One binary record: four 64-bit integers, eleven doubles, machine byte order.
std::string BinaryRecord(std::int64_t y, std::int64_t m, std::int64_t d, std::int64_t h, double first) {
    std::string r(RegressionFile::kBinaryRecordBytes, '\0');
    const std::int64_t date[4] = {y, m, d, h};
    std::memcpy(r.data(), date, sizeof date);
    for (int k = 0; k < RegressionFile::kParameters; ++k) {
        const double v = first + k;
        std::memcpy(r.data() + 32 + 8 * k, &v, sizeof v);
    }
    return r;
}

std::string TextRecord(int y, int m, int d, int h, double first) {
    std::string r = std::to_string(y);
    for (const std::string& piece : {std::to_string(m), std::to_string(d), std::to_string(h)}) {
        r += '\t';
        r += piece;
    }
    for (int k = 0; k < RegressionFile::kParameters; ++k) {
        r += ' ';
        r += std::to_string(first + k);
    }
    r += "   free comment\n";
    return r;
}

class RegressionFileTest : public MeteoFileTest {
protected:
    RegressionFile Open(const std::string& text, const MeteoDate& start = kStart) {
        Share("regr.dat", text);
        RegressionFile f(log.get(), "temperature", kN);
        f.SetFile("regr.dat");
        f.FindStartDate(start);
        return f;
    }
};

TEST_F(RegressionFileTest, TextFormParametersInFileOrder) {
    RegressionFile f = Open("jr mo tt hh a1 b1 h1 a2 b2 h2 a3 b3 p0 px py\n" + TextRecord(1999, 12, 31, 23, 0) +
                            TextRecord(2000, 1, 1, 0, 10) + TextRecord(2000, 1, 1, 1, 20));
    EXPECT_TRUE(f.IsText());
    EXPECT_EQ(f.Date(), kStart);
    EXPECT_EQ(f.Parameters()[RegressionFile::a1], 10.0);
    EXPECT_EQ(f.Parameters()[RegressionFile::b3], 17.0);
    EXPECT_EQ(f.Parameters()[RegressionFile::py], 20.0);
    ASSERT_TRUE(f.NextRecord(kFarEnd, true));
    EXPECT_EQ(f.Date().hour, 1);
    EXPECT_EQ(f.Parameters()[RegressionFile::a1], 20.0);
    EXPECT_FALSE(f.NextRecord(kFarEnd, true));
}

TEST_F(RegressionFileTest, FormIsToldByBytesOneTwoFourFive) {
    RegressionFile any = Open("jrXmoanything\n" + TextRecord(2000, 1, 1, 0, 1));
    EXPECT_TRUE(any.IsText());

    // A capital J is binary: its first record's year is no date and is passed over.
    std::string first = BinaryRecord(0, 1, 1, 0, 0);
    std::memcpy(first.data(), "Jr mo", 5);
    RegressionFile bin = Open(first + BinaryRecord(2000, 1, 1, 0, 5) + BinaryRecord(2000, 1, 1, 1, 6));
    EXPECT_FALSE(bin.IsText());
    EXPECT_EQ(bin.Parameters()[RegressionFile::a1], 5.0);
    EXPECT_EQ(bin.StartPosition(), RegressionFile::kBinaryRecordBytes);
    ASSERT_TRUE(bin.NextRecord(kFarEnd, true));
    EXPECT_EQ(bin.Parameters()[RegressionFile::py], 16.0);
}

TEST_F(RegressionFileTest, ThreeDigitYears) {
    RegressionFile f = Open(BinaryRecord(100, 1, 1, 0, 0) + BinaryRecord(105, 1, 1, 0, 1) +
                                BinaryRecord(1000, 1, 1, 0, 2),
                            MeteoDate{0, 1, 1, 2000});
    EXPECT_EQ(f.Date().year, 2000);
    ASSERT_TRUE(f.NextRecord(kFarEnd, true));
    EXPECT_EQ(f.Date().year, 2005);
    ASSERT_TRUE(f.NextRecord(kFarEnd, true));
    EXPECT_EQ(f.Date().year, 1000);
}

TEST_F(RegressionFileTest, MissingStartDate) {
    Share("regr.dat", BinaryRecord(1999, 1, 1, 0, 0) + BinaryRecord(1999, 2, 1, 0, 0) + "partial");
    RegressionFile f(log.get(), "temperature", kN);
    f.SetFile("regr.dat");
    EXPECT_EQ(ErrorOf([&] { f.FindStartDate(kStart); }), 51);
    EXPECT_TRUE(Logged("..\n\nEOF reached: regr.dat, date 1.1.2000, 0. h not found!"));
    EXPECT_TRUE(FatalLogged());

    RegressionFile none(log.get(), "temperature", kN);
    none.SetFile("nowhere.dat");
    EXPECT_EQ(ErrorOf([&] { none.FindStartDate(kStart); }), 49);
}

TEST_F(RegressionFileTest, UnreadableParametersAreMissingWithOneWarning) {
    std::string bad = "2000 1 1 1 1 2 x 4 5 6 7 8 9 10\n";  // one unreadable, one absent
    RegressionFile f = Open("jr mo\n" + TextRecord(2000, 1, 1, 0, 100) + bad);
    ASSERT_TRUE(f.NextRecord(kFarEnd, true));
    EXPECT_EQ(f.Parameters()[RegressionFile::b1], 2.0);
    EXPECT_EQ(f.Parameters()[RegressionFile::h1], -kN - 1);
    EXPECT_EQ(f.Parameters()[RegressionFile::px], 10.0);
    EXPECT_EQ(f.Parameters()[RegressionFile::py], -kN - 1);
    EXPECT_EQ(Count(Console(), "unreadable regression parameters"), 1u);
    EXPECT_TRUE(Logged("unreadable regression parameters in regr.dat for 1.1.2000 1 h: 2 set to missing "
                       "(-10000)"));

    // Binary values that are no numbers are treated alike.
    std::string rec = BinaryRecord(2000, 1, 1, 1, 0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::memcpy(rec.data() + 32, &nan, sizeof nan);
    Share("bin.dat", BinaryRecord(2000, 1, 1, 0, 0) + rec);
    RegressionFile b(log.get(), "temperature", kN);
    b.SetFile("bin.dat");
    b.FindStartDate(kStart);
    ASSERT_TRUE(b.NextRecord(kFarEnd, true));
    EXPECT_EQ(b.Parameters()[RegressionFile::a1], -kN - 1);
    EXPECT_EQ(b.Parameters()[RegressionFile::b1], 1.0);
}

TEST_F(RegressionFileTest, EndDateEndMarkerAndRewind) {
    RegressionFile f = Open(BinaryRecord(2000, 1, 1, 0, 0) + BinaryRecord(2000, 1, 1, 1, 1) +
                            BinaryRecord(2000, 1, 1, 2, 2) + BinaryRecord(0, 0, 0, 5, 0));
    const std::int64_t end = DateKey(2000, 1, 1, 1);
    ASSERT_TRUE(f.NextRecord(end, true));
    EXPECT_FALSE(f.NextRecord(end, true));
    // Without the end test (a station file decides) the next record is still taken, then the
    // zero date ends the data.
    ASSERT_TRUE(f.NextRecord(end, false));
    EXPECT_EQ(f.Date().hour, 2);
    EXPECT_FALSE(f.NextRecord(end, false));

    f.Rewind(kStart);
    ASSERT_TRUE(f.NextRecord(end, true));
    EXPECT_EQ(f.Date(), kStart);
    EXPECT_EQ(f.Parameters()[RegressionFile::a1], 0.0);
}

TEST_F(RegressionFileTest, SmallBlocksHandOutEveryRecordOnce) {
    std::string text = "jr mo\n";
    for (int h = 0; h < 7; ++h) text += TextRecord(2000, 1, 1, h, h);
    RegressionFile f = Open(text);
    f.LimitBlockCapacity(2);
    for (int round = 0; round < 2; ++round) {
        for (int h = 1; h < 7; ++h) {
            ASSERT_TRUE(f.NextRecord(kFarEnd, true));
            EXPECT_EQ(f.Date().hour, h);
            EXPECT_EQ(f.Parameters()[RegressionFile::a1], h);
        }
        EXPECT_FALSE(f.NextRecord(kFarEnd, true));
        f.Rewind(kStart);
        ASSERT_TRUE(f.NextRecord(kFarEnd, true));
        EXPECT_EQ(f.Date(), kStart);
    }
}

TEST_F(RegressionFileTest, TruncatedBinaryRecordEndsTheData) {
    const std::string partial = BinaryRecord(2000, 1, 1, 1, 1).substr(0, 60);
    RegressionFile f = Open(BinaryRecord(2000, 1, 1, 0, 0) + partial);
    EXPECT_FALSE(f.NextRecord(kFarEnd, true));
}

TEST_F(RegressionFileTest, UnreadableDateAfterStartIsFatal) {
    RegressionFile f = Open("jr mo\n" + TextRecord(2000, 1, 1, 0, 0) + "2000 1 one 1 1 2 3 4 5 6 7 8 9 10 11\n");
    EXPECT_EQ(ErrorOf([&] { f.NextRecord(kFarEnd, true); }), 19);
}

TEST_F(RegressionFileTest, FooterAfterTheModelPeriodEndsTheData) {
    RegressionFile f = Open("jr mo\n" + TextRecord(2000, 1, 1, 0, 0) + TextRecord(2000, 1, 1, 1, 1) + "end\n");
    const std::int64_t end = DateKey(2000, 1, 1, 1);
    ASSERT_TRUE(f.NextRecord(end, false));
    EXPECT_EQ(f.Date().hour, 1);
    EXPECT_FALSE(f.NextRecord(end, false));
}

}  // namespace
