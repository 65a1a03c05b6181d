// Checking code grids against the tables and rewriting them to table positions.
#include <cmath>

#include "tables/code_checks.hpp"
#include "table_test_support.hpp"

namespace {

constexpr double kNodata = -9999.0;

// A whole grid of the given rows (each a list of column values).
Matrix Grid(const std::vector<std::vector<double>>& rows) {
    memory_handling mh;
    const int nrows = static_cast<int>(rows.size()), ncols = static_cast<int>(rows[0].size());
    Matrix m = mh.matrix(1, nrows, 1, ncols, nrows);
    for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) m[r][c] = rows[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)];
    return m;
}

std::vector<std::vector<double>> Values(const Matrix& m, int nrows, int ncols) {
    std::vector<std::vector<double>> v(static_cast<std::size_t>(nrows));
    for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) v[static_cast<std::size_t>(r - 1)].push_back(m[r][c]);
    return v;
}

class CodeCheckTest : public TableTest {
protected:
    // Zones: the last column lies outside the basin.
    Matrix zones_ = Grid({{1, 1, 1, kNodata}, {1, 2, 2, kNodata}});

    int Check(CodeGridKind kind, Matrix& grid, const std::vector<std::int32_t>& codes) {
        return ErrorCode([&] { CheckAndReplaceCodes(Log(), kind, grid, zones_, 2, 4, kNodata, codes, "soil.asc", "soil_types"); });
    }
};

TEST_F(CodeCheckTest, CodesBecomeTablePositions) {
    Matrix g = Grid({{10, 20, 20, 10}, {20, 10, 10, 55}});
    EXPECT_EQ(Check(CodeGridKind::Soil, g, {0, 10, 20}), 0);
    EXPECT_EQ(Values(g, 2, 4), (std::vector<std::vector<double>>{{1, 2, 2, 1}, {2, 1, 1, 55}}));
    EXPECT_TRUE(Logged("1.: checking soil type codes\n2.:replacing soil type codes soil.asc\n10 replaced by 1 ...\n"
                       "20 replaced by 2 ...\n"));
    // The integer part of a cell is its code.
    Matrix f = Grid({{3.7, 3, 8, 3.2}, {8.9, 8, 3, kNodata}});
    EXPECT_EQ(Check(CodeGridKind::Soil, f, {0, 8, 3}), 0);
    EXPECT_EQ(Values(f, 2, 4), (std::vector<std::vector<double>>{{2, 2, 1, 2}, {1, 1, 2, kNodata}}));
}

TEST_F(CodeCheckTest, SwappedCodesDoNotChain) {
    Matrix g = Grid({{1, 2, 2, 1}, {2, 1, 1, 2}});
    EXPECT_EQ(Check(CodeGridKind::Landuse, g, {0, 2, 1}), 0);
    EXPECT_EQ(Values(g, 2, 4), (std::vector<std::vector<double>>{{2, 1, 1, 2}, {1, 2, 2, 1}}));
    // A table in position order changes nothing and logs no replacement.
    Matrix h = Grid({{1, 2, 2, 1}, {2, 1, 1, 2}});
    const std::size_t before = Console().size();
    EXPECT_EQ(Check(CodeGridKind::Landuse, h, {0, 1, 2}), 0);
    EXPECT_EQ(Values(h, 2, 4), (std::vector<std::vector<double>>{{1, 2, 2, 1}, {2, 1, 1, 2}}));
    EXPECT_EQ(Console().substr(before).find("replaced by"), std::string::npos);
}

TEST_F(CodeCheckTest, MissingCodesFailWithTheirTablesMessage) {
    Matrix soil = Grid({{1, 1, 1, 7}, {1, 0, 1, 7}});
    EXPECT_EQ(Check(CodeGridKind::Soil, soil, {0, 1}), 32);
    const std::string rule(71, '-');
    EXPECT_TRUE(Logged("\n" + rule + "\nsoil type 0 in grid soil.asc (soil_types)\nis not present in the control file \n" +
                       rule + "\n\n"));
    // Nothing is rewritten before every cell has passed.
    EXPECT_EQ(soil[2][2], 0.0);

    // Irrigation cells of 0 are not tested and keep their value.
    Matrix irrigation = Grid({{0, 4, 0, 9}, {4, 0, 0, 9}});
    EXPECT_EQ(Check(CodeGridKind::Irrigation, irrigation, {0, 4}), 0);
    EXPECT_EQ(irrigation[1][1], 0.0);
    EXPECT_EQ(irrigation[1][2], 1.0);
    Matrix unknown = Grid({{0, 4, 0, 9}, {4, 0, 5, 9}});
    EXPECT_EQ(Check(CodeGridKind::Irrigation, unknown, {0, 4}), 31);
    EXPECT_TRUE(Logged("irrigation type 5 in grid soil.asc (soil_types)\nis not present in the irrigation table"));

    Matrix landuse = Grid({{1, 2, 2, 1}, {2, 1, 1, NAN}});
    landuse[1][1] = NAN;
    EXPECT_EQ(Check(CodeGridKind::Landuse, landuse, {0, 1, 2}), 31);
    EXPECT_TRUE(Logged(")\nis not present in the land use table in the control file \n"));
    Matrix multi = Grid({{1, 2, 3, 1}, {2, 1, 1, 1}});
    EXPECT_EQ(Check(CodeGridKind::MultilayerLanduse, multi, {0, 1, 2}), 311);
    EXPECT_TRUE(Logged("land use 3 in grid soil.asc (soil_types)\nis not present in the multilayer-landuse-table"));
    // A table of no entries has no codes at all.
    Matrix empty = Grid({{1, 2, 3, 1}, {2, 1, 1, 1}});
    EXPECT_EQ(Check(CodeGridKind::Soil, empty, {0}), 32);
}

multilayer_landuse_entry Multilayer(std::int32_t code, std::vector<std::int32_t> layers) {
    multilayer_landuse_entry m(code);
    m.layerCount = static_cast<std::int32_t>(layers.size());
    layers.insert(layers.begin(), m.layerCount);
    m.layerCodes = layers;
    m.layerCodesAsRead = layers;
    return m;
}

TEST_F(CodeCheckTest, MultilayerLayerCodesBecomeLanduseTablePositions) {
    std::vector<landuse_entry> landuse{landuse_entry(3), landuse_entry(20), landuse_entry(10), landuse_entry(3)};
    std::vector<multilayer_landuse_entry> table{multilayer_landuse_entry(2), Multilayer(1, {10, 20}),
                                                Multilayer(2, {20, -9999})};
    CheckMultilayerLayerCodes(Log(), table, landuse, kNodata);
    EXPECT_EQ(table[1].layerCodes, (std::vector<std::int32_t>{2, 2, 1}));
    EXPECT_EQ(table[2].layerCodes, (std::vector<std::int32_t>{2, 1, -9999}));
    EXPECT_TRUE(Logged("Code replacement in MultiLayer-Landuse 1: changed Layer-Code #2 from 20 to 1\n"
                       "Code replacement in MultiLayer-Landuse 2: changed Layer-Code #1 from 20 to 1\n"
                       "Code replacement in MultiLayer-Landuse 1: changed Layer-Code #1 from 10 to 2\n"));

    std::vector<multilayer_landuse_entry> emptyFirst{multilayer_landuse_entry(1), Multilayer(5, {-9999, 10})};
    EXPECT_EQ(ErrorCode([&] { CheckMultilayerLayerCodes(Log(), emptyFirst, landuse, kNodata); }), 312);
    EXPECT_TRUE(Logged("must be a valid entry (not 9999 or larger):\nHere, line 1 contains -9999 as first layer code.\n"));
    std::vector<multilayer_landuse_entry> noCodes{multilayer_landuse_entry(1), multilayer_landuse_entry(1)};
    EXPECT_EQ(ErrorCode([&] { CheckMultilayerLayerCodes(Log(), noCodes, landuse, kNodata); }), 312);
    std::vector<multilayer_landuse_entry> unknown{multilayer_landuse_entry(1), Multilayer(5, {10, 30})};
    EXPECT_EQ(ErrorCode([&] { CheckMultilayerLayerCodes(Log(), unknown, landuse, kNodata); }), 312);
    EXPECT_TRUE(Logged("Error: not all layer codes from landuse 5 from MultiLayer_Landuse-Table\nare present in the "
                       "landuse-table in the control file: Here, code 30 is missing.\n"));
}

}  // namespace
