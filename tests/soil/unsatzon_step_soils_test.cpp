// The soil model's pass over cells of two soils with the same layer count: a thread's column,
// handed from cell to cell, gives each cell what a basin of its soil alone gives it (the values a
// column takes from its soil type follow every change of soil), and frozen, thawing and rained-on
// columns under the implicit heat scheme give the plain columns' bits (every memo off).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "unsatzon_fixture.hpp"

using namespace soil_test;

namespace {
constexpr int kCells[][2] = {{1, 2}, {1, 3}, {1, 4}, {2, 1}, {2, 2}, {2, 3}, {2, 4}, {2, 5},
                             {3, 1}, {3, 2}, {3, 3}, {3, 4}, {4, 2}, {4, 3}};

// The implicit scheme with the heat the water carries, heat sub-steps of at most 10 minutes.
std::string ImplicitHeat() {
    std::string t = "[heat_transfer]\n1 on\n12 method\n0\n0\n";
    for (std::size_t k = 0; k < SoilHeatConfig::kConstantCount; ++k) {
        const double v = k == SoilHeatConfig::LongestStep ? 600.0 : SoilHeatConfig::kDefaults[k];
        t += StrFormat("%.10g", v) + SoilHeatConfig::kKeys[k] + "\n";
    }
    return t + "tempfile.txt\ntemper.txt 0\ntemper.stk\n0\nthaw.asc\n0\n\n";
}

class SoilTypesRunTest : public SoilModelTest {
protected:
    // Soil 1: loam over a steep clay; soil 2: sand over silt; ten layers each. layout: 0 a
    // chequerboard of both, 1 or 2 that soil on every cell. Hourly steps; plain: every memo of
    // the columns off.
    void Start(int layout, const std::string& heat, bool plain, int method = 2) {
        TwoSoils("1 layered { method = MultipleHorizons; layers = 4 6; thickness = 0.1; "
                 "ksat = 2e-5 6e-7; theta_sat = 0.45 0.38; theta_res = 0.05 0.068; "
                 "alpha = 2.0 0.8; Par_n = 1.5 1.09; }",
                 "2 sandy { method = MultipleHorizons; layers = 3 7; thickness = 0.1; "
                 "ksat = 8e-5 7e-7; theta_sat = 0.38 0.46; theta_res = 0.05 0.034; "
                 "alpha = 14.5 1.6; Par_n = 2.68 1.37; }",
                 layout);
        SoilSection section;
        section.method = method;
        ASSERT_NO_FATAL_FAILURE(BuildHourly(section.Text(), heat));
        if (plain) PlainColumns();
    }
    // The model's water input, or a grid of the store.
    void Input(const char* grid, double value) {
        Matrix& m = std::string(grid) == "water" ? *model_->in.waterInput : *store_[FindGridIndex(grid)].grid;
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1])) m[cell[0]][cell[1]] = value;
    }
    void Step(int h) {
        model_->BeginTimeStep(h, 1, 2, 2021);
        model_->run(h, 1, 2, 2021);
        model_->ComputeSubbasinRunoff();
    }
    // Per own cell its runoff, profile water and layer water contents (and temperatures with heat).
    void Collect(std::vector<std::vector<double>>& cells, bool heat) const {
        cells.clear();
        for (const auto& cell : kCells) {
            std::vector<double> v;
            if (Own(cell[0], cell[1])) {
                for (const char* name : {"directflow", "interflow", "baseflow", "groundwater_distance", "SB_2_grid"})
                    v.push_back(Value(name, cell[0], cell[1]));
                for (int k = 1; k <= 10; ++k) {
                    v.push_back(Level("theta", cell[0], cell[1], k));
                    if (heat) v.push_back(Level("Soil_Temperature_Stack", cell[0], cell[1], k));
                }
            }
            cells.push_back(v);
        }
    }
    // Wet columns (0.5 m suction above the table: interflow down to field capacity) in rain, then
    // dry hours.
    void RunHours(std::vector<std::vector<double>>& cells, int layout) {
        ASSERT_NO_FATAL_FAILURE(Start(layout, "", false));
        for (const auto& cell : kCells)
            if (Own(cell[0], cell[1]))
                for (int k = 1; k <= 8; ++k)
                    model_->own.theta[cell[0]][cell[1]][k] = model_->SoilOf(cell[0], cell[1]).ThetaFromSuction(k, 0.5);
        for (int h = 0; h < 6; ++h) {
            Input("water", h < 3 ? 8.0 : 0.0);
            Step(h);
        }
        Collect(cells, false);
        model_.reset();
    }
};

bool SameBits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::bit_cast<std::uint64_t>(a[i]) != std::bit_cast<std::uint64_t>(b[i])) return false;
    return true;
}

TEST_F(SoilTypesRunTest, EachCellOfTwoSoilsGetsWhatABasinOfItsSoilAloneGivesIt) {
    std::vector<std::vector<double>> mixed, alone[3];
    ASSERT_NO_FATAL_FAILURE(RunHours(mixed, 0));
    ASSERT_NO_FATAL_FAILURE(RunHours(alone[1], 1));
    ASSERT_NO_FATAL_FAILURE(RunHours(alone[2], 2));
    for (std::size_t i = 0; i < std::size(kCells); ++i) {
        const int soil = (kCells[i][0] + kCells[i][1]) % 2 == 0 ? 1 : 2;
        EXPECT_TRUE(SameBits(mixed[i], alone[soil][i])) << kCells[i][0] << " " << kCells[i][1];
    }
    // The two soils hold different water (else the check above could not tell them apart), and
    // interflow left the columns.
    for (std::size_t i = 0; i < std::size(kCells); ++i) {
        if (!alone[1][i].empty()) {
            EXPECT_FALSE(SameBits(alone[1][i], alone[2][i]));
            EXPECT_GT(alone[1][i][1], 0.0);
            EXPECT_GT(alone[2][i][1], 0.0);
        }
    }
}

TEST_F(SoilTypesRunTest, PartlyFrozenCellsOfTwoSoilsGetWhatABasinOfTheirSoilAloneGivesThem) {
    // The thread's column goes from cell to cell of either soil with partly frozen layers, whose
    // heads at the start of a call and in the sub-steps look up other water contents.
    std::vector<std::vector<double>> runs[3];
    AddGrid("temperature", 0.0);
    for (int layout = 0; layout < 3; ++layout) {
        ASSERT_NO_FATAL_FAILURE(Start(layout, ImplicitHeat(), false));
        for (int h = 0; h < 8; ++h) {
            Input("temperature", h < 5 ? -8.0 : -2.0);
            Input("water", h >= 3 ? 5.0 : 0.0);
            Step(h);
        }
        Collect(runs[layout], true);
        model_.reset();
    }
    for (std::size_t i = 0; i < std::size(kCells); ++i) {
        const int soil = (kCells[i][0] + kCells[i][1]) % 2 == 0 ? 1 : 2;
        EXPECT_TRUE(SameBits(runs[0][i], runs[soil][i])) << kCells[i][0] << " " << kCells[i][1];
        // The top layer is partly frozen at the end.
        if (!runs[0][i].empty()) {
            EXPECT_LT(runs[0][i][6], 0.0);
        }
    }
}

TEST_F(SoilTypesRunTest, FreezingThawingAndRainedOnColumnsGiveThePlainBits) {
    std::vector<std::vector<double>> results[2];
    double coldest = 0;
    AddGrid("temperature", 0.0);
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_NO_FATAL_FAILURE(Start(0, ImplicitHeat(), pass == 0));
        // A frost that freezes the upper layers partly, then rain in a thaw, then frost again.
        for (int h = 0; h < 14; ++h) {
            Input("temperature", h < 8 ? -8.0 : h < 11 ? 4.0 : -3.0);
            Input("water", h >= 8 && h < 11 ? 6.0 : 0.0);
            Step(h);
            if (pass == 1 && h == 7 && Own(2, 2)) coldest = Level("Soil_Temperature_Stack", 2, 2, 1);
        }
        Collect(results[pass], true);
        model_.reset();
    }
    for (std::size_t i = 0; i < std::size(kCells); ++i)
        EXPECT_TRUE(SameBits(results[0][i], results[1][i])) << kCells[i][0] << " " << kCells[i][1];
    // The top layer froze (below the freezing point but above the fully frozen temperature).
    if (Own(2, 2)) {
        EXPECT_LT(coldest, 0.0);
    }
}

TEST_F(SoilTypesRunTest, RainThroughAFrozenTopIntoThawedLayersGivesThePlainBits) {
    // Six heat sub-steps an hour; the freezing top's properties change in each of them while the
    // thawed layers below keep theirs (and so their coefficients of the implicit scheme), under
    // water and macropore water carrying heat down. In the hard frost the top two layers freeze
    // through (below -10 degrees): their conductivities stay while their heat capacities follow
    // the temperature. Then a thaw.
    std::vector<std::vector<double>> results[2];
    double top = 0, second = 0, bottom = 0;
    AddGrid("temperature", 0.0);
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_NO_FATAL_FAILURE(Start(0, ImplicitHeat(), pass == 0));
        for (int h = 0; h < 10; ++h) {
            Input("temperature", h < 2 ? -6.0 : h < 7 ? -40.0 : 3.0);
            Input("water", h >= 2 ? 7.0 : 0.0);
            Step(h);
            if (pass == 1 && h == 7 && Own(2, 3)) {
                top = Level("Soil_Temperature_Stack", 2, 3, 1);
                second = Level("Soil_Temperature_Stack", 2, 3, 2);
                bottom = Level("Soil_Temperature_Stack", 2, 3, 10);
            }
        }
        Collect(results[pass], true);
        model_.reset();
    }
    for (std::size_t i = 0; i < std::size(kCells); ++i)
        EXPECT_TRUE(SameBits(results[0][i], results[1][i])) << kCells[i][0] << " " << kCells[i][1];
    if (Own(2, 3)) {
        EXPECT_LT(top, -10.0);
        EXPECT_LT(second, -10.0);
        EXPECT_GT(bottom, 0.0);
    }
}

TEST_F(SoilTypesRunTest, ColumnsSplitIntoSubstepsCarryTheirFrozenFactorsFromSubstepToSubstep) {
    // Dynamic sub-steps in rain on partly frozen columns: each water sub-step after the first
    // sees the unfrozen fractions the heat sub-steps before it left. Bits of the computation
    // as first written (cells 2,2 and 2,3: runoff, profile water, water contents, temperatures).
    AddGrid("temperature", 0.0);
    ASSERT_NO_FATAL_FAILURE(Start(0, ImplicitHeat(), false, 3));
    for (std::size_t k = 1; k <= 10; ++k) soils_[2].ksat[k] = 1e-4;
    int most = 0;
    for (int h = 0; h < 8; ++h) {
        Input("temperature", h < 5 ? -9.5 : -1.0);
        Input("water", h >= 5 ? 9.0 : 0.0);
        Step(h);
        if (Own(2, 3)) most = std::max(most, static_cast<int>(Value("number_of_substeps", 2, 3)));
    }
    std::vector<std::vector<double>> cells;
    Collect(cells, true);
    if (Own(2, 3)) {
        EXPECT_GT(most, 2);
    }
    static constexpr std::uint64_t kBits[] = {
        0x401d228ec0a46c81ull, 0x0000000000000000ull, 0x3fa2d5de91bd8777ull, 0xbfe0000000000400ull,
        0x40784454894d2403ull, 0x3fdccccccccccccdull, 0xc018c436834460c2ull, 0x3fdccccccccccccdull,
        0xc01cbe3c4364d40eull, 0x3fd9d22ae3604d18ull, 0xc0181ec05871d5c8ull, 0x3fd556240bfacec3ull,
        0xc01237b877ac4db0ull, 0x3fd626c98ad5c46cull, 0xc008c63fb00caab9ull, 0x3fd84de2c655af43ull,
        0xbff898e81e4b62efull, 0x3fd851eb851eb852ull, 0xbfb5a264b3ab8d85ull, 0x3fd851eb851eb852ull,
        0x3ff5f7a2d563623bull, 0x3fd851eb851eb852ull, 0x400698e6a5625776ull, 0x3fd851eb851eb852ull,
        0x4011198ecac11849ull, 0x0000000000000000ull, 0x0000000000000000ull, 0x3fa2d5de91bd8777ull,
        0xbfe0000000000400ull, 0x4076e70d54db67f6ull, 0x3fd54e5d7d2cbb0full, 0xc01c6d67057155c7ull,
        0x3fb12ecf76f3f979ull, 0xc01cc70a2ec6cbbaull, 0x3fc942b0479c2632ull, 0xc01709362efa5b9full,
        0x3fd84ae975df410cull, 0xc011cd192373ea54ull, 0x3fd8cc21142faa6aull, 0xc007e4d0fd0c628bull,
        0x3fdd70a3d70a3d71ull, 0xbff86026ac793733ull, 0x3fdd70a3d70a3d71ull, 0xbfb645d85a55e91dull,
        0x3fdd70a3d70a3d71ull, 0x3ff5dab7205526b2ull, 0x3fdd70a3d70a3d71ull, 0x400695f30d82af7dull,
        0x3fdd70a3d70a3d71ull, 0x4011195b721290a4ull,
    };
    std::size_t at = 0;
    for (std::size_t i : {std::size_t{4}, std::size_t{5}}) {
        for (double v : cells[i])
            EXPECT_EQ(std::bit_cast<std::uint64_t>(v), kBits[at++]) << kCells[i][0] << " " << kCells[i][1];
        if (cells[i].empty()) at += 25;
    }
}

}  // namespace
