// Date tests and file names of the output by write code.
#include <gtest/gtest.h>

#include "kernel/gridstore.hpp"
#include "kernel/modelobject.hpp"
#include "kernel/writecode.hpp"

namespace {

using namespace writecode;

TEST(WriteCodeDates, DayMonthYearAndRunEnds) {
    EXPECT_TRUE(EndOfDay(0.0, 24));
    EXPECT_TRUE(EndOfDay(24.0, 0));   // daily steps dated at hour 0
    EXPECT_TRUE(EndOfDay(23.9, 1));   // only the integer part of the offset counts
    EXPECT_FALSE(EndOfDay(0.0, 23));

    EXPECT_TRUE(EndOfMonth(0, {2016, 3, 31, 24}));
    EXPECT_FALSE(EndOfMonth(0, {2016, 3, 31, 23}));
    EXPECT_FALSE(EndOfMonth(0, {2016, 4, 31, 24}));
    // February has 28 days in every year: 28 February 2016 ends the month, the 29th does not.
    EXPECT_TRUE(EndOfMonth(0, {2016, 2, 28, 24}));
    EXPECT_FALSE(EndOfMonth(0, {2016, 2, 29, 24}));
    EXPECT_FALSE(EndOfMonth(0, {2016, 13, 31, 24}));  // no month 13, no crash

    const std::int64_t end = DateKey(2016, 9, 25, 12);
    EXPECT_TRUE(Ends(0, {2016, 9, 25, 12}, end).run);
    EXPECT_TRUE(Ends(0, {2017, 1, 1, 0}, end).run);
    EXPECT_FALSE(Ends(0, {2016, 9, 25, 11}, end).run);
}

TEST(WriteCodeNames, DatedNamesAndRepeats) {
    const OutputDate d{2016, 9, 25, 12};
    EXPECT_EQ(DatedName("tsoil.asc", d, 0, false), "tsoil_20160925.012");
    EXPECT_EQ(DatedName("tsoil.asc", d, 1, false), "tsoil_20160925.012_001");
    EXPECT_EQ(DatedName("tsoil.asc", d, 0, true), "tsoi_20160925.012");
    EXPECT_EQ(DatedName("out/run.1/tsoil.asc", d, 0, false), "out/run.1/tsoil_20160925.012");
    EXPECT_EQ(DatedName("rain", d, 0, false), "rain_20160925.012");
    EXPECT_EQ(DatedName("ab.x", d, 0, true), "ab_20160925.012");

    GridStoreEntry e;
    EXPECT_EQ(NextDatedName(e, "tsoil.asc", d, false), "tsoil_20160925.012");
    EXPECT_EQ(NextDatedName(e, "tsoil.asc", d, false), "tsoil_20160925.012_001");
    EXPECT_EQ(NextDatedName(e, "tsoil.asc", d, false), "tsoil_20160925.012_002");
    EXPECT_EQ(NextDatedName(e, "tsoil.asc", {2016, 9, 25, 13}, false), "tsoil_20160925.013");
}

TEST(WriteCodeNames, PeriodExtremeVegetationAndFilledNames) {
    const OutputDate d{2016, 3, 31, 24};
    EXPECT_EQ(PeriodName("rain.grd", 1, d), "rain.sum");
    EXPECT_EQ(PeriodName("rain.grd", 5, d), "rain.mit");
    EXPECT_EQ(PeriodName("rain.grd", 2, d), "rain_1600.sum");
    EXPECT_EQ(PeriodName("rain.grd", 6, d), "rain_1600.mit");
    EXPECT_EQ(PeriodName("rain.grd", 3, d), "rain_1603.sum");
    EXPECT_EQ(PeriodName("rain.grd", 7, d), "rain_1603.mit");
    EXPECT_EQ(PeriodName("rain.grd", 4, {2016, 3, 1, 24}), "rain_1603.01s");
    EXPECT_EQ(PeriodName("out/rain.grd", 8, d), "out/rain_1603.31m");
    EXPECT_EQ(PeriodName("rain.grd", 2, {2005, 12, 31, 24}), "rain_0500.sum");
    EXPECT_EQ(ExtremeName("d/rain.grd", false), "d/rain.min");
    EXPECT_EQ(ExtremeName("rain.grd", true), "rain.max");
    EXPECT_EQ(VegetationName("etr.grd", 1, 2016), "etr_0016_vegper.sum");
    EXPECT_EQ(VegetationName("etr.grd", 2, 2016), "etr_0016_vegper.mit");
    EXPECT_EQ(FilledName("in/dem.asc"), "in/dem.asc.filled");
    // A leading "." is part of the name, not the start of its extension.
    EXPECT_EQ(ExtremeName(".rain", true), ".rain.max");
    EXPECT_EQ(ExtremeName("d/.rain.grd", true), "d/.rain.max");

    EXPECT_EQ(VegetationSuffix("etr_Layer_2.grd"), "2");
    EXPECT_EQ(VegetationSuffix("etr_Layer_12"), "12");
    EXPECT_EQ(VegetationSuffix("etr.grd"), "1");

    const std::string longName(5000, 'a');
    EXPECT_EQ(DatedName(longName + ".asc", {2016, 9, 25, 12}, 0, false), longName + "_20160925.012");
}

}  // namespace
