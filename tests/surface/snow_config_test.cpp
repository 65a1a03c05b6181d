// Construction of the snow model: the section values and their checks, the input grids of each
// method and the registration of the own grids.
#include <gtest/gtest.h>

#include "snow_test_domain.hpp"
#include "tables/multilayer_landuse.hpp"

namespace {

using snow_test::SectionOptions;

class SnowConfig : public snow_test::SnowDomain {};

TEST_F(SnowConfig, FlowControlZeroReadsAndRegistersNothing) {
    SectionOptions o;
    o.flow = 0;
    o.method = 5;
    const int before = FirstFreeGridEntry(store_);
    unsigned code = 9;
    auto snow = Make(o, &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(snow->GetMethod(), 0);
    EXPECT_EQ(snow->GetSolidSnowStorage(), nullptr);
    EXPECT_EQ(FirstFreeGridEntry(store_), before);
    EXPECT_FALSE(Logged("file snowmod"));
    snow->LinkPrecipitation(false);
    snow->run(1, 1, 1, 2020);
    unsigned tracerError = 5;
    snow->LinkTracerGrids(tracerError, 0, nullptr, nullptr, 0);
    EXPECT_EQ(tracerError, 0u);
}

TEST_F(SnowConfig, SimpleMethodsKeepTheDefaults) {
    SectionOptions o;
    o.method = 3;
    unsigned code = 9;
    auto snow = Make(o, &code);
    ASSERT_EQ(code, 0u) << console_.str();
    EXPECT_EQ(snow->GetMethod(), 3);
    EXPECT_TRUE(Logged("file snowmod, compiled at "));
    EXPECT_EQ(snow->maxDepositionSlope, 55.0);
    EXPECT_EQ(snow->maxDepositionFactor, 1.0);
    EXPECT_EQ(snow->minSlideSlope, 30.0);
    EXPECT_EQ(snow->slideMassFrac, 0.01);
    EXPECT_EQ(snow->LWINcorr, 1.0);
    EXPECT_EQ(snow->LWOUTcorr, 1.0);
    EXPECT_EQ(snow->CWH, 0.1);
    EXPECT_EQ(snow->RMFMAX, 3.0);
    EXPECT_EQ(snow->GetSolidSnowStorage(), &snow->solid.data);
}

TEST_F(SnowConfig, ContradictingThresholdsAreRepaired) {
    SectionOptions o;
    o.T0R = -1;
    auto snow = Make(o);
    EXPECT_EQ(snow->T0R, 0.0);
    EXPECT_TRUE(Entry("ERROR: \n-----------------------------------------------------------------------\n"
                       "   T0R (threshold temperature rain/snow) < T0 (threshold temperature snow melt)  \n"));
}

TEST_F(SnowConfig, EqualThresholdsLogNothing) {
    auto snow = Make(SectionOptions{});
    EXPECT_FALSE(Logged("T0R (threshold"));
}

TEST_F(SnowConfig, ExtendedValuesAreChecked) {
    struct Case {
        const char* what;
        SectionOptions o;
        unsigned code;
        const char* text;
    };
    auto with = [](auto change) {
        SectionOptions o;
        o.method = 5;
        change(o);
        return o;
    };
    const Case cases[] = {
        {"valid", with([](SectionOptions& o) { o.minSlideSlope = 0; }), 0, ""},
        {"short line", with([](SectionOptions& o) { o.extendedFirst = "x"; }), 404,
         "FATAL: cannot read additional parameters for snow model methods 5 to 11 from test.ctl"},
        {"deposition slope", with([](SectionOptions& o) { o.maxDepositionSlope = 95; }), 405,
         "FATAL: maxDepositionSlope not within parameter bounds of [0...90] Here: "},
        {"deposition factor", with([](SectionOptions& o) { o.maxDepositionFactor = 0; }), 406,
         "FATAL: maxDepositionFactor not within parameter bounds of (0...inf). Here: "},
        {"slide slope", with([](SectionOptions& o) { o.minSlideSlope = -1; }), 407,
         "FATAL: minSlideSlope not within parameter bounds of [0...90]. Here: "},
        {"slide fraction", with([](SectionOptions& o) { o.slideMassFrac = 0; }), 408,
         "FATAL: slideMassFrac not within parameter bounds of (0...1.0]. Here: "},
        {"long wave in", with([](SectionOptions& o) { o.LWINcorr = 0; }), 408,
         "FATAL: incoming long wave radiation correction factor LWINcorr not within parameter bounds of (0...3.0]."},
        {"long wave out", with([](SectionOptions& o) { o.LWOUTcorr = 3.5; }), 408,
         "FATAL: outgoing long wave radiation correction factor LWOUTcorr not within parameter bounds of (0...3.0]."},
    };
    for (const Case& c : cases) {
        console_.str("");
        unsigned code = 9;
        auto snow = Make(c.o, &code);
        EXPECT_EQ(code, c.code) << c.what << "\n" << console_.str();
        if (c.code != 0) {
            EXPECT_TRUE(Entry(c.text)) << c.what;
        } else {
            EXPECT_EQ(snow->minSlideSlope, 0.0);
        }
    }
}

TEST_F(SnowConfig, AnUnreadableValueNamesItsPrompt) {
    submodel_test::WriteShared("test.ctl", submodel_test::ControlFile("[snow_model]\n1\n60\n1 method\n1 tz\nxx\n"));
    unsigned error = 0;
    schneemodellklasse snow(error, log_.get(), settings_);
    EXPECT_EQ(error, 17u);
    EXPECT_TRUE(Logged("T0R for [snow_model]"));
}

TEST_F(SnowConfig, TheSnowAgePromptKeepsItsSpelling) {
    SectionOptions o;
    std::string text = snow_test::SnowSection(o);
    text.replace(text.find("0 readgrid"), 10, "x readgrid");
    submodel_test::WriteShared("test.ctl", submodel_test::ControlFile(text));
    unsigned error = 0;
    schneemodellklasse snow(error, log_.get(), settings_);
    EXPECT_EQ(error, 17u);
    EXPECT_TRUE(Logged("readgrid forr storage grids for [snow_model]"));
}

TEST_F(SnowConfig, RequiredGridsByMethod) {
    struct Case {
        int method;
        double step;
        const char* missing;
        unsigned code;
    } cases[] = {
        {5, 60, "cloudiness", 33},      {11, 60, "AspectCorrectedGlobalRadiation", 33},
        {6, 60, "air_humidity", 33},    {4, 60, "vapor_pressure", 33},
        {2, 60, "wind_speed", 33},      {1, 60, "wind_speed", 0},
        {1, 1440, "temperature_night", 33}, {1, 720, "temperature_night", 0},
        {10, 60, "deposition_index", 33}, {8, 60, "slope_angle", 33},
        {5, 60, "snow_evaporation", 0}, {1, 60, "albedo", 33},
    };
    for (const Case& c : cases) {
        Drop(c.missing);
        SectionOptions o;
        o.method = c.method;
        o.timeStep = c.step;
        unsigned code = 9;
        auto snow = Make(o, &code);
        EXPECT_EQ(code, c.code) << c.method << " without " << c.missing;
        snow.reset();
        Register(c.missing, &G(c.missing));
    }
}

TEST_F(SnowConfig, LandUseLayersComeFromTheMultilayerTable) {
    // Two layers in the table: "landuse2" is required, and a third grid in the store is not
    // a layer.
    std::vector<multilayer_landuse_entry> table(2);
    table[0].code = 1;
    table[1].layerCount = 2;
    settings_.multilayerTable = table.data();
    Add("landuse3", 1);
    unsigned code = 9;
    auto snow = Make(SectionOptions{}, &code);
    EXPECT_EQ(code, 33u);
    EXPECT_TRUE(Logged("landuse2 not found in memory"));
    snow.reset();

    Add("landuse2", 1);
    snow = Make(SectionOptions{}, &code);
    ASSERT_EQ(code, 0u) << console_.str();
    EXPECT_EQ(snow->landuseLayers, 2);
    EXPECT_EQ(snow->landuse[2], &G("landuse2"));
}

TEST_F(SnowConfig, GridsAreRegisteredInOrder) {
    SectionOptions o;
    o.method = 5;
    auto snow = Make(o);
    const char* names[] = {"snowstorage_solid", "snowstorage_liquid", "snow_storage_total", "days_snow", "snow_age",
                           "snowtemp",          "surftemp",           "snow_fraction",      "rain_fraction",
                           "snowcover_outflow", "melt_from_snowcover"};
    int last = 0;
    for (const char* n : names) {
        int i = 0;
        for (int k = 1; k < 1000; ++k)
            if (store_[k].internalName == n) i = k;
        EXPECT_GT(i, last) << n;
        last = i;
    }
    // Without a state file the storages start at 0 and the temperatures at nodata.
    ForOwn([&](int r, int c) {
        EXPECT_EQ(snow->solid.data[r][c], 0.0);
        EXPECT_EQ(snow->snowTemp.data[r][c], -9999.0);
    });
    if (snow->total.data.holds(1)) {
        EXPECT_EQ(snow->total.data[1][1], -9999.0);
    }
}

TEST_F(SnowConfig, EveryGridTakesTheFirstFreeEntry) {
    // An entry taken behind the first free one is skipped, not overwritten.
    const int first = FirstFreeGridEntry(store_);
    Matrix& other = Grid("other", 7);
    store_[first + 1].grid = &other;
    store_[first + 1].internalName = "someone_else";
    store_[first + 1].hasInternalName = true;
    auto snow = Make(SectionOptions{});
    EXPECT_EQ(snow->solid.index, first);
    EXPECT_NE(snow->liquid.index, first + 1);
    EXPECT_EQ(store_[first + 1].internalName, "someone_else");
    EXPECT_EQ(store_[first + 1].grid, &other);
    snow.reset();
    // Deletion releases the model's own entries and leaves the others.
    EXPECT_EQ(store_[first].grid, nullptr);
    EXPECT_EQ(store_[first + 1].grid, &other);
}

TEST_F(SnowConfig, AFullStoreIsFatal) {
    for (int i = FirstFreeGridEntry(store_); i < 1000; ++i) {
        store_[i].internalName = "filler" + std::to_string(i);
        store_[i].hasInternalName = true;
    }
    unsigned code = 0;
    auto snow = Make(SectionOptions{}, &code);
    EXPECT_EQ(code, 12u);
    EXPECT_TRUE(Entry("FATAL: no free grid left."));
}

TEST(MaxDeposition, NeverNegativeNorDividedByZero) {
    EXPECT_NEAR(MaxDepositionOfSlope(2, 20, 40), 1.0, 1e-12);
    EXPECT_EQ(MaxDepositionOfSlope(2, 40, 40), 0.0);
    EXPECT_EQ(MaxDepositionOfSlope(2, 60, 40), 0.0);
    EXPECT_EQ(MaxDepositionOfSlope(2, 0, 0), 0.0);
    EXPECT_EQ(MaxDepositionOfSlope(2, 10, 0), 0.0);
}

TEST_F(SnowConfig, SlideMethodsOrderTheCellsByElevation) {
    // Elevations with ties: equal cells keep their row-major order.
    Matrix& z = *store_[2].grid;
    const double heights[4][5] = {{0, 300, 100, 200, 0}, {100, 500, 50, 100, 400}, {20, 20, 600, 700, 0},
                                  {0, 800, 10, 0, 0}};
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) z[r][c] = heights[r - 1][c - 1];
    Fill("slope_angle", 44);
    SectionOptions o;
    o.method = 8;
    o.maxDepositionSlope = 55;
    o.maxDepositionFactor = 2;
    o.method = 6;
    auto snow = Make(o);
    ASSERT_EQ(snow->GetMethod(), 6);
    if (talvo_test::Rank() != 0) {
        EXPECT_EQ(snow->elevOrderRow.index, 0);
        EXPECT_EQ(snow->solid.data.firstRow(), settings_.firstRow);
        return;
    }
    EXPECT_EQ(snow->solid.data.firstRow(), 1);
    EXPECT_EQ(snow->solid.data.lastRow(), 4);
    // Basin cells from lowest to highest: (4,3) 10, (3,1) 20, (3,2) 20, (2,3) 50, (1,3) 100, (2,1) 100, ...
    const int expected[][2] = {{4, 3}, {3, 1}, {3, 2}, {2, 3}, {1, 3}, {2, 1}, {2, 4}, {1, 4},
                               {1, 2}, {2, 5}, {2, 2}, {3, 3}, {3, 4}, {4, 2}};
    // The order grids name the cells in that order; the steps move by the order's ranks.
    ASSERT_TRUE(snow->slideOrder_.usable);
    ASSERT_EQ(snow->slideOrder_.cells.size(), 14u);
    int k = 0;
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            if (zone_[r][c] == -9999) {
                EXPECT_EQ(snow->elevOrderRow.data[r][c], -9999.0);
                EXPECT_EQ(snow->slideOrder_.rankOf[snow->slideOrder_.Index(r, c)], -1);
                continue;
            }
            EXPECT_EQ(snow->elevOrderRow.data[r][c], expected[k][0]) << k;
            EXPECT_EQ(snow->elevOrderCol.data[r][c], expected[k][1]) << k;
            EXPECT_EQ(snow->slideOrder_.cells[static_cast<std::size_t>(k)],
                      (std::pair<int, int>{expected[k][0], expected[k][1]}))
                << k;
            EXPECT_NEAR((*snow->maxDepositionGrid)[r][c], 2 * (1 - 44.0 / 55), 1e-12);
            ++k;
        }
    EXPECT_EQ(k, 14);
}

}  // namespace

namespace {

// A text grid of the test domain with value v in every cell, and a hole at (2, 3).
std::string TextGrid(double v, bool hole) {
    std::string s = "ncols 5\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 1000\nnodata_value -9999\n";
    for (int r = 1; r <= 4; ++r) {
        for (int c = 1; c <= 5; ++c)
            s += (hole && r == 2 && c == 3 ? std::string("-9999") : std::to_string(v)) + (c < 5 ? " " : "\n");
    }
    return s;
}

TEST_F(SnowConfig, StateGridsAreReadFromFiles) {
    const std::pair<const char*, double> files[] = {{"solid.asc", 12}, {"liquid.asc", 1.5}, {"total.asc", 13.5},
                                                    {"days.asc", 4},   {"age.asc", 6},      {"stemp.asc", 270},
                                                    {"surftemp.asc", 265}};
    for (const auto& [name, value] : files)
        submodel_test::WriteShared(name, TextGrid(value, std::string(name).find("temp") != std::string::npos));
    SectionOptions o;
    o.method = 5;
    o.readStorage = 1;
    unsigned code = 9;
    auto snow = Make(o, &code);
    ASSERT_EQ(code, 0u) << console_.str();
    // The test domain has no decomposition grids to scatter with: process 0 reads its own rows.
    if (talvo_test::Rank() != 0) return;
    ForOwn([&](int r, int c) {
        EXPECT_EQ(snow->solid.data[r][c], 12.0);
        EXPECT_EQ(snow->liquid.data[r][c], 1.5);
        EXPECT_EQ(snow->snowAge.data[r][c], 6.0);
        // Holes of the temperature grids in the basin hold the melting point.
        const double pack = r == 2 && c == 3 ? 273.16 : 270.0;
        EXPECT_EQ(snow->snowTemp.data[r][c], pack);
    });
}

}  // namespace
