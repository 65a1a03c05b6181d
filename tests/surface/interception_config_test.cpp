// Construction of the interception model: the section, the layer names, the grids it
// registers and looks up, its statistics tables, a warm start from the storage grids and the
// model switched off.
#include <gtest/gtest.h>

#include "interception_test_domain.hpp"

namespace {

using interception_test::SectionOptions;
using submodel_test::CodeOf;

using InterceptionConfig = interception_test::InterceptionDomain;

TEST(InterceptionLayerNames, InsertedBeforeTheLastDotOrAppended) {
    struct Case {
        const char *name, *expected;
        int layer;
    } cases[] = {
        {"tf.asc", "tf.asc", 0},
        {"tf.asc", "tf_Layer_2.asc", 2},
        {"out/tf.2020.asc", "out/tf.2020_Layer_1.asc", 1},
        {"tf", "tf_Layer_3", 3},
    };
    for (const Case& c : cases) EXPECT_EQ(LayerFileName(c.name, c.layer), c.expected) << c.name;
}

TEST_F(InterceptionConfig, RegistersThreeGridsPerLayerWithTheirFileNames) {
    UseLayers(2);
    SectionOptions o;
    o.writeCode = 1;
    o.outflow = "tf";
    auto m = Ready(o);
    EXPECT_EQ(m->GetMethod(), 2);
    EXPECT_EQ(m->layerCount, 2);
    const char* expected[][2] = {{"throughfall0", "tf"},           {"throughfall2", "tf_Layer_2"},
                                 {"interception_storage1", "st_Layer_1.asc"}, {"interception_evaporation0", "ei.asc"},
                                 {"interception_evaporation2", "ei_Layer_2.asc"}};
    for (const auto& e : expected) {
        const int i = m->FindGrid(e[0]);
        ASSERT_GT(i, 0) << e[0];
        EXPECT_EQ(store_[i].fileName, e[1]);
        EXPECT_EQ(store_[i].units, 1);
    }
    // The own cells start empty, the others hold nodata.
    ForOwn([&](int r, int c) { EXPECT_EQ(m->layers[2].storage.data[r][c], 0.0); });
    m.reset();
    for (int i = 1; i < 1000; ++i) EXPECT_NE(store_[i].internalName, "throughfall0") << i;
}

TEST_F(InterceptionConfig, StatisticsTablesOfEveryLayer) {
    UseLayers(2);
    SectionOptions o;
    o.stats = "2001";
    auto m = Ready(o);
    Fill("precipitation", 1);
    m->run(1, 1, 1, 2020);
    m->FlushStatistics();
    MPI_Barrier(MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0) {
        EXPECT_TRUE(submodel_test::Contains(talvo_test::ReadFile("tf.sta"), "throughfall_in_mm_layer_0_"));
        EXPECT_TRUE(
            submodel_test::Contains(talvo_test::ReadFile("st_Layer_2.sta"), "interception_storage_in_mm_layer_2_"));
        EXPECT_TRUE(submodel_test::Contains(talvo_test::ReadFile("ei_Layer_1.sta"),
                                            "interception_evaporation_in_mm_layer_1_"));
    }
}

TEST_F(InterceptionConfig, EveryHeldCellStartsEmptyInTheZonesAndNodataOutside) {
    // Every column of every held row of the three grids of every layer, the cells outside the
    // zones too.
    UseLayers(2);
    DecomposeInBands();
    auto m = Ready(SectionOptions{});
    for (int k = 0; k <= 2; ++k) {
        const auto& l = m->layers[static_cast<std::size_t>(k)];
        for (const auto* g : {&l.storage, &l.evaporation, &l.throughfall})
            for (int r = 1; r <= 4; ++r) {
                if (!g->data.holds(r)) continue;
                for (int c = 1; c <= 5; ++c)
                    EXPECT_EQ(g->data[r][c], zone_[r][c] == -9999 ? -9999.0 : 0.0)
                        << g->fileName << " at " << r << ", " << c;
            }
    }
}

TEST_F(InterceptionConfig, ReadgridRestoresTheStorages) {
    std::string grid = "ncols 5\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 1000\nnodata_value -9999\n";
    for (int r = 1; r <= 4; ++r) {
        for (int c = 1; c <= 5; ++c) grid += (zone_[r][c] == -9999 ? "-9999" : std::to_string(0.1 * c)) + " ";
        grid += "\n";
    }
    submodel_test::WriteShared("st_Layer_1.asc", grid);
    submodel_test::WriteShared("st.asc", grid);
    DecomposeInBands();
    SectionOptions o;
    o.readGrid = 1;
    auto m = Ready(o);
    ForOwn([&](int r, int c) { EXPECT_NEAR(m->layers[1].storage.data[r][c], 0.1 * c, 1e-9); });
    // A missing storage grid stops the construction.
    submodel_test::WriteShared("st_Layer_1.asc", "");
    unsigned code = 0;
    auto broken = MakeInterception(o, &code);
    EXPECT_NE(code, 0u);
}

TEST_F(InterceptionConfig, MissingGridsAndValuesStopTheConstruction) {
    Drop("real_transpiration0");  // the last entry: the search ends at a hole
    unsigned code = 0;
    auto m = MakeInterception(SectionOptions{}, &code);
    EXPECT_EQ(code, 33u);
    EXPECT_TRUE(Logged("real_transpiration0 not found in memory"));

    submodel_test::WriteShared("test.ctl", submodel_test::ControlFile("[interception_model]\n1\n60\n2\ntf.asc\n"));
    unsigned error = 0;
    interzeptionsmodellklasse cut(error, log_.get(), settings_);
    EXPECT_EQ(error, 17u);
    EXPECT_TRUE(Logged("write code outflow grid for [interception_model]"));
}

TEST_F(InterceptionConfig, ResponseUnitsNeedTheirGrids) {
    settings_.spinUpSwitch = 2;
    unsigned code = 0;
    auto m = MakeInterception(SectionOptions{}, &code);
    EXPECT_EQ(code, 33u);
    EXPECT_TRUE(Logged("HydrologicResponseUnits"));
}

TEST_F(InterceptionConfig, SwitchedOffItIsInert) {
    SectionOptions o;
    o.flow = 0;
    o.method = 12;
    auto m = Ready(o);
    EXPECT_EQ(m->GetMethod(), 0);
    m->run(1, 1, 1, 2020);
    m->FlushStatistics();
    unsigned error = 9;
    m->LinkTracerGrids(error, 0, nullptr, nullptr, 0);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(m->FindGrid("throughfall0"), 0);
}

}  // namespace
