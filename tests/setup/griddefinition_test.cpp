// Lines of "[standard_grids]": the old and the new form, every key and its default.
#include <gtest/gtest.h>

#include "setup/griddefinition.hpp"

namespace {

GridDefinition Parse(const std::string& line, GridLineResult expected = GridLineResult::Ok,
                     std::vector<std::string>* unreadable = nullptr) {
    GridDefinition d;
    EXPECT_EQ(ParseStandardGridLine(line, &d, unreadable), expected) << line;
    return d;
}

TEST(StandardGridLine, OldFormGivesTheFillCodeAndDefaults) {
    const GridDefinition d = Parse("soil.grd soil_types 1   soil types of the basin");
    EXPECT_EQ(d.fileName, "soil.grd");
    EXPECT_EQ(d.internalName, "soil_types");
    EXPECT_EQ(d.fillCode, 1);
    EXPECT_EQ(d.readCode, 1);
    EXPECT_EQ(d.defaultValue, 0.0);
    EXPECT_EQ(d.writeCode, 0);
    EXPECT_EQ(d.outName, "soil.grd");
    EXPECT_EQ(d.statFile, "");
    EXPECT_EQ(d.statCode, 0);
    EXPECT_FALSE(d.HasPeriodicity());
    EXPECT_EQ(d.periodSteps, -1);
    EXPECT_TRUE(d.persistent);

    // Keys may follow the old form; a "fillcode" key overrides its value.
    const GridDefinition k = Parse("dem.grd elevation 1 readcode = 0");
    EXPECT_EQ(k.fillCode, 1);
    EXPECT_EQ(k.readCode, 0);
    EXPECT_EQ(Parse("a.grd a 2 fillcode = 7").fillCode, 7);
}

TEST(StandardGridLine, NewFormReadsEveryKey) {
    const GridDefinition d = Parse("x.grd xname fillcode = 3");
    EXPECT_EQ(d.fillCode, 3);
    EXPECT_EQ(d.readCode, 1);
    EXPECT_EQ(d.outName, "x.grd");
    EXPECT_TRUE(d.persistent);

    const GridDefinition all = Parse(
        "lai.grd leaf_area writecode = 52 defaultValue = 2.5 readcode = 0 fillcode = 1 outname = out/lai.asc "
        "statfile = lai.tab statcode = 4 periodicity = 2 DM 3 persistent = 0 5");
    EXPECT_EQ(all.fillCode, 1);
    EXPECT_EQ(all.readCode, 0);
    EXPECT_EQ(all.defaultValue, 2.5);
    EXPECT_EQ(all.writeCode, 52);
    EXPECT_EQ(all.outName, "out/lai.asc");
    EXPECT_EQ(all.statFile, "lai.tab");
    EXPECT_EQ(all.statCode, 4);
    EXPECT_EQ(all.periodCount, 2);
    EXPECT_EQ(all.periodLetters, "DM");
    EXPECT_EQ(all.periodSteps, 3);
    EXPECT_FALSE(all.persistent);
    EXPECT_EQ(all.revertSteps, 5);

    // Without "periodicity" the grid stays persistent whatever "persistent" says.
    const GridDefinition p = Parse("p.grd p fillcode = 0 persistent = 0 3");
    EXPECT_TRUE(p.persistent);
    EXPECT_EQ(p.revertSteps, 0);
}

TEST(StandardGridLine, MissingNamesOrFillCodeAreRefused) {
    Parse("x.grd xname readcode = 1", GridLineResult::NoFillCode);
    Parse("x.grd xname", GridLineResult::NoFillCode);
    Parse("lonely.grd", GridLineResult::NoNames);
    Parse("", GridLineResult::NoNames);
    // A fill code too large for its integer is no fill code.
    Parse("x.grd xname 99999999999", GridLineResult::NoFillCode);
}

TEST(StandardGridLine, KeysWithoutReadableValuesKeepTheirDefaults) {
    std::vector<std::string> unreadable;
    const GridDefinition d = Parse("x.grd xname 2 readcode = none writecode periodicity = 1 D", GridLineResult::Ok,
                                   &unreadable);
    EXPECT_EQ(d.fillCode, 2);
    EXPECT_EQ(d.readCode, 1);
    EXPECT_FALSE(d.HasPeriodicity());
    // "writecode" takes the value after the next '=', which belongs to "periodicity".
    EXPECT_EQ(d.writeCode, 1);
    EXPECT_EQ(unreadable, (std::vector<std::string>{"readcode", "periodicity"}));
    unreadable.clear();
    Parse("x.grd xname fillcode = ? 4", GridLineResult::NoFillCode, &unreadable);
    EXPECT_EQ(unreadable, (std::vector<std::string>{"fillcode"}));
    // A default value or a persistence without its numbers: the grid keeps 0 and stays
    // persistent.
    unreadable.clear();
    const GridDefinition p = Parse("x.grd xname 2 defaultValue = high periodicity = 1 D 1 persistent = 0",
                                   GridLineResult::Ok, &unreadable);
    EXPECT_EQ(p.defaultValue, 0.0);
    EXPECT_TRUE(p.HasPeriodicity());
    EXPECT_TRUE(p.persistent);
    EXPECT_EQ(p.revertSteps, 0);
    EXPECT_EQ(unreadable, (std::vector<std::string>{"defaultValue", "persistent"}));
}

}  // namespace
