// Construction of the silting-up model: the section with and without a method line, subbasin
// groups, readgrid, the formula block, the grids it registers, the water-input choice and the
// failures with their codes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "siltingup_test_domain.hpp"

namespace {

using silting_test::SectionOptions;

// A text grid of the 5 x 4 domain holding v everywhere but a hole at (2, 3).
std::string GridWithHole(double v) {
    std::string s = "ncols 5\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 1000\nnodata_value -9999\n";
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c)
            s += (r == 2 && c == 3 ? std::string("-9999") : std::to_string(v)) + (c < 5 ? " " : "\n");
    return s;
}

class SiltingConfig : public silting_test::SiltingDomain {
protected:
    // Eight subbasins with the codes 1..8 (the grid keeps its zones; only the table changes).
    void EightSubbasins() {
        index_.assign(10, 0);
        records_.assign(9, zoneFZT{});
        for (int c = 1; c <= 8; ++c) {
            index_[static_cast<std::size_t>(c)] = c;
            records_[static_cast<std::size_t>(c)].zonenwert = c;
        }
        settings_.zoneCount = 8;
        settings_.maxZoneCode = 8;
    }
    unsigned CodeOf(const SectionOptions& o) {
        unsigned code = 0;
        Make(o, &code);
        return code;
    }
};

TEST_F(SiltingConfig, FirstLineWithoutMethodMeansMethodOneWithDefaults) {
    SectionOptions o;
    o.methodLine = "";
    auto s = Ready(o);
    EXPECT_EQ(s->method, 1);
    EXPECT_EQ(s->statDisposition.fileName, "sdisp.sta");
    EXPECT_EQ(s->statRunoff.fileName, "qdsu.sta");
    EXPECT_DOUBLE_EQ(s->parameters.A, 65.0);
    EXPECT_DOUBLE_EQ(s->parameters.H, -0.19);
    EXPECT_EQ(s->directRunoff.fileName, "qdsu.asc");
}

TEST_F(SiltingConfig, MethodTwoReadsItsEightParameters) {
    SectionOptions o;
    o.parameters = "70\n11\n0.5\n-0.6\n0.02\n-1\n0.8\n-0.2\n";
    auto s = Ready(o);
    EXPECT_EQ(s->method, 2);
    const silting::BuiltInParameters& p = s->parameters;
    const double got[8] = {p.A, p.B, p.C, p.D, p.E, p.F, p.G, p.H};
    const double want[8] = {70, 11, 0.5, -0.6, 0.02, -1, 0.8, -0.2};
    for (int i = 0; i < 8; ++i) EXPECT_DOUBLE_EQ(got[i], want[i]) << "parameter " << i;
    // Any method other than 2 keeps the defaults (and no parameter lines are read).
    o.methodLine = "5 method";
    auto other = Ready(o);
    EXPECT_EQ(other->method, 5);
    EXPECT_DOUBLE_EQ(other->parameters.A, 65.0);
}

TEST_F(SiltingConfig, SubbasinGroupsTakeTheValueOfTheCodeBelow) {
    EightSubbasins();
    struct Case {
        std::string codes, pauses;
        std::vector<double> expected;  // subbasins 1..8
    } cases[] = {
        {"1 8", "0.4 0.1", {0.4, 0.4, 0.4, 0.4, 0.4, 0.4, 0.4, 0.1}},
        {"3 8", "0.4 0.1", {0.4, 0.4, 0.4, 0.4, 0.4, 0.4, 0.4, 0.1}},
        {"3 5 8", "0.4 0.3 0.1", {0.4, 0.4, 0.4, 0.4, 0.3, 0.3, 0.3, 0.1}},
        {"1 4 8  codes, then a comment", "0.4 0.2 0.1 pauses", {0.4, 0.4, 0.4, 0.2, 0.2, 0.2, 0.2, 0.1}},
        {"1 2 3 4 5 6 7 8", "1 2 3 4 5 6 7 8", {1, 2, 3, 4, 5, 6, 7, 8}},
    };
    for (const Case& k : cases) {
        SectionOptions o;
        o.codes = k.codes;
        o.pauses = k.pauses;
        auto s = Ready(o);
        ASSERT_EQ(s->minRainPause.size(), 9u);
        for (int i = 1; i <= 8; ++i)
            EXPECT_DOUBLE_EQ(s->minRainPause[static_cast<std::size_t>(i)], k.expected[static_cast<std::size_t>(i - 1)])
                << "codes " << k.codes << " subbasin " << i;
    }
}

TEST_F(SiltingConfig, BadSubbasinCodesAndValuesStopWithCodeTen) {
    struct Case {
        std::string codes, pauses, readGrid, message;
    } cases[] = {
        {"3 4 9", "1 1 1", "0", "error! there is no code 4 (from test.ctl) for a subbasin in SiltingUpModel"},
        {"3 12", "1 1", "0", "error! there is no code 12"},
        {"0 9", "1 1", "0", "error! there is no code 0"},
        {"3 x", "1 1", "0", "error reading code[3] for SiltingUpModel\npossible error by using the same parameters"},
        {"3 9", "0.5 x", "0", "error reading RainPause[9] for SiltingUpModel (minimum rainpause)\npossible error"},
        // Each row stands on one line: a row continued on the next line, or one value too many,
        // names the row instead of shifting the values after it.
        {"3\n9", "0.4 0.1", "0", "error reading code[3] for SiltingUpModel\npossible error"},
        {"3\n9", "0.4 0.1", "0", "assigned!\nthe code row \"3\" ends before the largest subbasin code 9"},
        {"3 9", "0.5\n0.2", "0", "the row of minimum rain pauses \"0.5\" holds 1 values where the code row lists 2"},
        {"3 9", "0.5 0.2 0.1", "0", "error reading the row RainPause for SiltingUpModel\npossible error"},
        {"3 9", "0.5 0.2 0.1", "0", "assigned!\nthe row of minimum rain pauses \"0.5 0.2 0.1 minimum rain pause\" holds 3"},
        {"3 9 9", "0.5 0.2", "0", "the code row \"3 9 9 codes\" goes on after the largest subbasin code 9"},
        {"3 9", "0.5 0.2", "x", "error reading readgrid-Parameter for SiltingUpModel\npossible reason: parameter "
                                "missing or a linefeed \nbefore the end of the parameter block"},
    };
    for (const Case& k : cases) {
        SectionOptions o;
        o.codes = k.codes;
        o.pauses = k.pauses;
        o.readGrid = k.readGrid;
        EXPECT_EQ(CodeOf(o), 10u) << k.codes << " / " << k.pauses;
        EXPECT_TRUE(Logged(k.message));
    }
    EXPECT_TRUE(Logged("have\nto be specified with all their parameters like this:\n(if the smallest code is 1"));
}

TEST_F(SiltingConfig, OtherFailuresOfTheConstruction) {
    SectionOptions o;
    // No statistics on the first line.
    o.methodLine = "";
    o.stats = "x";
    EXPECT_EQ(CodeOf(o), 17u);
    EXPECT_TRUE(Logged("name of the statistics for silting disposition SDISP"));

    SectionOptions plain;
    Add("GlacierCodes", 1);
    EXPECT_EQ(CodeOf(plain), 2u);
    EXPECT_TRUE(Logged("error: Silting-Up module cannot be used when glacier model is active"));
}

TEST_F(SiltingConfig, RequiredGridsAreLookedUp) {
    for (const char* name : {"SurfStorSiltingUp", "soil_types", "vegetation_coverage_degree1", "landuse1"}) {
        for (int i = 1; i < 1000; ++i)
            if (store_[i].internalName == name) store_[i] = GridStoreEntry{};
        EXPECT_EQ(CodeOf(SectionOptions{}), 33u) << name;
        EXPECT_TRUE(Logged(std::string(name) + " not found in memory"));
        Register(name, &G(name));
    }
    EXPECT_EQ(CodeOf(SectionOptions{}), 0u);
}

TEST_F(SiltingConfig, SwitchedOffDoesNothing) {
    SectionOptions o;
    o.flow = 0;
    auto s = Ready(o);
    EXPECT_EQ(s->method, 0);
    EXPECT_EQ(EntryOf("DirectRunoffSiltingUp"), 0);
    s->run(24, 1, 1, 2020);
    s->WriteStatistics();
}

TEST_F(SiltingConfig, FiveGridsTakeFreeEntriesWithTheirNamesAndCodes) {
    // An entry in use after the first free one is passed over, never overwritten.
    const int first = FirstFreeGridEntry(store_);
    store_[first + 2].internalName = "in use";
    store_[first + 2].hasInternalName = true;
    SectionOptions o;
    auto s = Ready(o);
    const char* names[5] = {"SiltingUpDisposition", "RainPause", "KineticEnergy", "TimeSinceLastSoilTillage",
                            "DirectRunoffSiltingUp"};
    const int want[5] = {first, first + 1, first + 3, first + 4, first + 5};
    const char* files[5] = {"disp.asc", "pause.asc", "ekin.asc", "tsbb.asc", "qdsu.asc"};
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(EntryOf(names[k]), want[k]) << names[k];
        EXPECT_EQ(store_[want[k]].fileName, files[k]);
    }
    EXPECT_EQ(store_[first + 2].internalName, "in use");
    EXPECT_EQ(s->disposition.index, first);
    EXPECT_EQ(s->directRunoff.index, first + 5);

    // A store without room left: code 12.
    s.reset();
    for (int k = 1; k < 1000; ++k)
        if (!store_[k].hasInternalName && store_[k].grid == nullptr) {
            store_[k].internalName = "filler";
            store_[k].hasInternalName = true;
        }
    EXPECT_EQ(CodeOf(o), 12u);
    EXPECT_TRUE(Logged("no free grid left, allowed number of grids is (contact the author)1000!"));
}

TEST_F(SiltingConfig, WaterInputIsChosenOnceByTheInterceptionFlag) {
    SectionOptions o;
    {
        auto s = Ready(o);  // only "precipitation"
        EXPECT_EQ(s->waterInput, &G("precipitation"));
    }
    Add("snowcover_outflow", 0);
    Add("throughfall0", 0);
    for (bool flag : {false, true}) {
        unsigned code = 0;
        auto s = Make(o, &code);
        ASSERT_EQ(code, 0u);
        s->UpdateInputGrid(flag);
        // The output of whichever of snow and interception runs last, as the soil model takes it.
        EXPECT_EQ(s->waterInput, &G(flag ? "snowcover_outflow" : "throughfall0"));
        s->UpdateInputGrid(!flag);
        EXPECT_EQ(s->waterInput, &G(flag ? "snowcover_outflow" : "throughfall0"));
    }
}

TEST_F(SiltingConfig, NoWaterInputIsFatal) {
    for (int i = 1; i < 1000; ++i)
        if (store_[i].internalName == "precipitation") store_[i] = GridStoreEntry{};
    unsigned code = 0;
    auto s = Make(SectionOptions{}, &code);
    ASSERT_EQ(code, 0u);
    EXPECT_EQ(submodel_test::CodeOf([&] { s->UpdateInputGrid(false); }), 33);
}

TEST_F(SiltingConfig, ReadgridContinuesFromTheGridsOfAnEarlierRun) {
    // Text grids of the domain with a hole at (2, 3), which starts from 0.
    const std::pair<const char*, double> files[] = {
        {"disp.asc", 0.004}, {"pause.asc", 0.75}, {"ekin.asc", 120}, {"tsbb.asc", 14}};
    for (const auto& [name, value] : files) submodel_test::WriteShared(name, GridWithHole(value));
    SectionOptions o;
    o.readGrid = "1 readgrid";
    auto s = Ready(o);
    // Without decomposition grids process 0 reads its own rows.
    if (talvo_test::Rank() != 0) return;
    ForOwn([&](int r, int c) {
        const bool hole = r == 2 && c == 3;
        EXPECT_DOUBLE_EQ(s->disposition.data[r][c], hole ? 0.0 : 0.004);
        EXPECT_DOUBLE_EQ(s->rainPause.data[r][c], hole ? 0.0 : 0.75);
        EXPECT_DOUBLE_EQ(s->kineticEnergy.data[r][c], hole ? 0.0 : 120.0);
        EXPECT_DOUBLE_EQ(s->timeSinceTillage.data[r][c], hole ? 0.0 : 14.0);
        EXPECT_EQ(s->directRunoff.data[r][c], 0.0);
    });
}

TEST_F(SiltingConfig, StartGridsHoldNodataOutsideTheZonesInEveryHeldCell) {
    // Every column of every held row, the cells outside the zones too: a fresh start holds 0 in
    // the zones; a warm start keeps the file's values there (0 in its hole) and nodata outside,
    // whatever the file holds there.
    auto held = [&](const Matrix& m, double inside, double hole, const char* name) {
        for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
            for (int c = 1; c <= 5; ++c) {
                const double want = zone_[r][c] == -9999 ? -9999 : r == 2 && c == 3 ? hole : inside;
                EXPECT_EQ(m[r][c], want) << name << " at " << r << ", " << c;
            }
    };
    {
        auto s = Ready(SectionOptions{});
        for (const auto* g : {&s->disposition, &s->rainPause, &s->kineticEnergy, &s->timeSinceTillage, &s->directRunoff})
            held(g->data, 0.0, 0.0, "fresh start");
    }
    for (const char* name : {"disp.asc", "pause.asc", "ekin.asc", "tsbb.asc"}) submodel_test::WriteShared(name, GridWithHole(7.5));
    SectionOptions o;
    o.readGrid = "1 readgrid";
    auto s = Ready(o);
    if (talvo_test::Rank() != 0) return;  // without decomposition grids process 0 reads its own rows
    for (const auto* g : {&s->disposition, &s->rainPause, &s->kineticEnergy, &s->timeSinceTillage})
        held(g->data, 7.5, 0.0, "warm start");
    held(s->directRunoff.data, 0.0, 0.0, "direct runoff of a warm start");
}

// ------------------------------------------------------------------ formula block

TEST_F(SiltingConfig, FormulaBlockOverSeveralLines) {
    SectionOptions o;
    o.methodLine = "3 method";
    o.expressions = "a comment line\nSiltingUpExpressions\n  \n{ Z = 0.1 *\n   K ;\n\tY=2 ;X = 60;\r\n W = 20;\n"
                    "V = X * R / 60 ; t = 5\n}\n";
    auto s = Ready(o);
    const std::vector<std::string> want = {"Z=0.1*K", "Y=2", "X=60", "W=20", "V=X*R/60"};
    EXPECT_EQ(s->expressions, want);
    EXPECT_EQ(s->firstCapacityExpression, 4u);
}

TEST_F(SiltingConfig, BlockWithoutSemicolonIsPassedOver) {
    SectionOptions o;
    o.methodLine = "3 method";
    o.expressions = "SiltingUpExpressions { Z = 1 }\nSiltingUpExpressions {Z=1; V=2;}\n";
    auto s = Ready(o);
    EXPECT_EQ(s->expressions, (std::vector<std::string>{"Z=1", "V=2"}));
    EXPECT_EQ(s->firstCapacityExpression, 1u);
}

TEST_F(SiltingConfig, FormulaBlockFailures) {
    struct Case {
        std::string text;
        unsigned code;
        std::string message;
    } cases[] = {
        {"SiltingUpExpressions x { Z=1; }\n", 400,
         "error looking for opening bracket \"{\" after \"SiltingUpExpressions\" in control file \"test.ctl\""},
        {"SiltingUpExpressions\n", 400, "error looking for opening bracket"},
        {"SiltingUpExpressions { Z=1;\n V=2;\n", 401,
         "error looking for closing bracket \"}\" after \"SiltingUpExpressions\" in control file \"test.ctl\""},
        {"", 402,
         "no SiltingUpExpressios found (at least X, Y and Z must be initialized) in control file \"test.ctl\""},
        {"some words\n\nSiltingUpExpressions { Z=1; }\n", 402, "no SiltingUpExpressios found"},
    };
    for (const Case& k : cases) {
        SectionOptions o;
        o.methodLine = "3 method";
        o.expressions = k.text;
        std::string section = silting_test::SiltingSection(o);
        // The block is the last thing of the file for the end-of-file cases.
        submodel_test::WriteShared("test.ctl", "test control file\n\n" + section.substr(0, section.size() - 1));
        unsigned error = 0;
        siltingupclass s(error, log_.get(), settings_);
        EXPECT_EQ(error, k.code) << k.text;
        EXPECT_TRUE(Logged(k.message));
    }
}

}  // namespace
