// Regional superposition on the test domain: the entity blocks, the checks of regions and
// weights, and the combination of grids by region.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>

#include "meteo/meteoint.hpp"
#include "submodel/submodel_fixtures.hpp"

using namespace submodel_test;

namespace {

class SuperpositionTest : public DomainTest {
protected:
    void SetUp() override {
        DomainTest::SetUp();
        memory_handling mh;
        for (Matrix* m : {&a_, &b_, &r1_, &w1_, &r2_, &w2_, &r3_, &w3_}) *m = mh.matrix(1, 4, 1, 5, 4);
        Add(a_, "grid_a");
        Add(b_, "grid_b");
        Add(r1_, "regression_regions");
        Add(w1_, "regression_weights1");
        Add(r2_, "regression_regions2");
        Add(w2_, "regression_weights2");
        Add(r3_, "regression_regions3");
        Add(w3_, "regression_weights3");
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) {
                a_[r][c] = 10.0 * r + c;
                b_[r][c] = 100.0 + r;
                r1_[r][c] = c <= 3 ? 20 : 40;  // west: region 20, east: region 40
                w1_[r][c] = 1.0;
            }
        // Two regions ranked: code 20 is 1, code 40 is 2.
        regionIndex_.assign(41, 0);
        regionIndex_[20] = 1;
        regionIndex_[40] = 2;
        UseRegions(1);
    }
    // The first n ranked regions (1 or 2).
    void UseRegions(int n) {
        settings_.regionIndex = &regionIndex_;
        settings_.regionCount = n;
        settings_.maxRegionCode = 40;
    }
    void Add(Matrix& grid, const std::string& name) {
        GridStoreEntry& e = store_[next_++];
        e.grid = &grid;
        e.fileName = name + ".asc";
        e.hasFileName = true;
        e.internalName = name;
        e.hasInternalName = true;
    }
    std::unique_ptr<RegionalSuperposition> Make(const std::string& entities, unsigned* error) {
        WriteShared("test.ctl", ControlFile("[RegionalSuperposition]\n1 flow control\n60 time step\n" + entities));
        return std::make_unique<RegionalSuperposition>(*error, log_.get(), settings_);
    }
    static std::string Entity(const std::string& name, const std::string& inputs,
                              const std::string& outputs = "outputgrid = out.asc; writecode = 0; "
                                                           "outputtable = table.txt; statcode = 0;") {
        return name + " {\n" + inputs + "\n" + outputs + "\n}\n";
    }
    // One entity "mean_ab": half grid_a and half grid_b in region 20, its basin mean in mean.txt.
    std::unique_ptr<RegionalSuperposition> MakeMeanOfAAndB(unsigned* error) {
        return Make("NumberOfEntities = 1;\n" +
                        Entity("mean_ab", "entityinputgrid = grid_a; regions = 20; weights = 0.5;\n"
                                          "entityinputgrid = grid_b; regions = 20; weights = 0.5;",
                               "outputgrid = mean.asc; writecode = 0; outputtable = mean.txt; statcode = 1001;"),
                    error);
    }
    bool Own(int r) const { return r >= settings_.firstRow && r <= settings_.lastRow; }
    template <class F>
    void ExpectOutput(RegionalSuperposition& s, F expected) {
        for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
            for (int c = 1; c <= 5; ++c) {
                const double want = kZones[r - 1][c - 1] == -9999 ? -9999.0 : expected(r, c);
                EXPECT_NEAR(s.Entity(0).Output()[r][c], want, 1e-12) << r << " " << c;
            }
    }

    Matrix a_, b_, r1_, w1_, r2_, w2_, r3_, w3_;
    std::vector<int> regionIndex_;
    int next_ = 2;
};

TEST_F(SuperpositionTest, OneRegionTwoGridsHalfAndHalfGiveTheMean) {
    unsigned error = 0;
    auto s = MakeMeanOfAAndB(&error);
    ASSERT_EQ(error, 0u) << console_.str();
    ASSERT_EQ(s->EntityCount(), 1);
    EXPECT_EQ(s->Entity(0).Name(), "mean_ab");
    const int index = s->Entity(0).GridIndex();
    ASSERT_GT(index, 0);
    EXPECT_EQ(store_[index].internalName, "mean_ab");
    EXPECT_EQ(store_[index].grid, &s->Entity(0).Output());
    s->run(1, 2, 3, 2020);
    // Region 40 has no rank with N = 1: nothing there.
    ExpectOutput(*s, [&](int r, int c) { return c <= 3 ? 0.5 * (a_[r][c] + b_[r][c]) : 0.0; });
    s->WriteStatistics();
    s->FlushStatistics();
    s.reset();
    if (talvo_test::Rank() == 0) {
        const std::string table = talvo_test::ReadFile("mean.txt");
        EXPECT_NE(table.find("mean_ab_submodel:RegionalSuperposition"), std::string::npos) << table;
        // The basin mean of the step with four decimals.
        double sum = 0, n = 0;
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c)
                if (kZones[r - 1][c - 1] != -9999) {
                    sum += c <= 3 ? 0.5 * (a_[r][c] + b_[r][c]) : 0.0;
                    n += 1;
                }
        char line[64];
        std::snprintf(line, sizeof line, "2020\t 3\t 2\t 1\t%.4f\n", sum / n);
        EXPECT_NE(table.find(line), std::string::npos) << table << line;
    }
}

// An input without data in a cell (a step without any valid station value) leaves the cell
// without data, and the zone table takes the other cells only.
TEST_F(SuperpositionTest, AnInputWithoutDataLeavesTheCellWithoutData) {
    unsigned error = 0;
    auto s = MakeMeanOfAAndB(&error);
    ASSERT_EQ(error, 0u) << console_.str();
    for (int r = 1; r <= 4; ++r) b_[r][2] = -9999;
    s->run(1, 2, 3, 2020);
    const auto mean = [&](int r, int c) { return c == 2 ? -9999.0 : c <= 3 ? 0.5 * (a_[r][c] + b_[r][c]) : 0.0; };
    ExpectOutput(*s, mean);
    s->WriteStatistics();
    s->FlushStatistics();
    s.reset();
    if (talvo_test::Rank() == 0) {
        const std::string table = talvo_test::ReadFile("mean.txt");
        double sum = 0, n = 0;
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c)
                if (kZones[r - 1][c - 1] != -9999 && c != 2) {
                    sum += mean(r, c);
                    n += 1;
                }
        char line[64];
        std::snprintf(line, sizeof line, "2020\t 3\t 2\t 1\t%.4f\n", sum / n);
        EXPECT_NE(table.find(line), std::string::npos) << table << line;
    }
}

TEST_F(SuperpositionTest, TwoRegionsAndTheirLayers) {
    UseRegions(2);
    // A band along the border: column 3 belongs to region 20 with 0.75 and to 40 with 0.25.
    for (int r = 1; r <= 4; ++r) {
        for (int c = 1; c <= 5; ++c) r2_[r][c] = 0;
        w1_[r][3] = 0.75;
        r2_[r][3] = 40;
        w2_[r][3] = 0.25;
    }
    unsigned error = 0;
    auto s = Make("NumberOfEntities = 1;\n" +
                      Entity("blend", "entityinputgrid = grid_a; regions = 20 40; weights = 1, 0;\n"
                                      "entityinputgrid = grid_b; regions = 20, 40; weights = 0 1;"),
                  &error);
    ASSERT_EQ(error, 0u) << console_.str();
    s->run(1, 2, 3, 2020);
    ExpectOutput(*s, [&](int r, int c) {
        if (c < 3) return a_[r][c];
        if (c > 3) return b_[r][c];
        return 0.75 * a_[r][c] + 0.25 * b_[r][c];
    });
}

// Three layers: the second and third add nothing where their code is below 1 or not a ranked
// region. Nine inputs take the general loop, two the one by rows; both add the layers and the
// inputs in their order, as computed here.
TEST_F(SuperpositionTest, ThreeLayersOfNineOrTwoInputsAddInTheirOrder) {
    regionIndex_.assign(61, 0);
    regionIndex_[20] = 1;
    regionIndex_[40] = 2;
    regionIndex_[60] = 3;
    UseRegions(3);
    settings_.maxRegionCode = 60;
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            w1_[r][c] = 0.5 + 0.1 * r;
            r2_[r][c] = c == 3 ? 40 : c == 1 ? -1 : 0;
            w2_[r][c] = 0.25;
            r3_[r][c] = c == 5 ? 60 : c == 4 ? 7 : 0;
            w3_[r][c] = 0.125 * r;
        }
    std::string nine;
    std::vector<std::array<double, 4>> nineWeights;  // per input, regions 1..3
    for (int i = 0; i < 9; ++i) {
        const std::array<double, 4> w = {0, i == 8 ? 0.2 : 0.1, i == 0 ? 0.2 : 0.1, i == 4 ? 0.2 : 0.1};
        nineWeights.push_back(w);
        char line[128];
        std::snprintf(line, sizeof line, "entityinputgrid = %s; regions = 20 40 60; weights = %g %g %g;\n",
                      i % 2 == 0 ? "grid_a" : "grid_b", w[1], w[2], w[3]);
        nine += line;
    }
    unsigned error = 0;
    auto s = Make("NumberOfEntities = 2;\n" + Entity("nine", nine) +
                      Entity("two", "entityinputgrid = grid_a; regions = 20 40 60; weights = 1 0 0.5;\n"
                                    "entityinputgrid = grid_b; regions = 20 40 60; weights = 0 1 0.5;",
                             "outputgrid = two.asc; writecode = 0; outputtable = two.txt; statcode = 0;"),
                  &error);
    ASSERT_EQ(error, 0u) << console_.str();
    ASSERT_EQ(s->EntityCount(), 2);
    s->run(1, 2, 3, 2020);
    const std::vector<std::array<double, 4>> twoWeights = {{0, 1, 0, 0.5}, {0, 0, 1, 0.5}};
    const Matrix* regions[4] = {nullptr, &r1_, &r2_, &r3_};
    const Matrix* weights[4] = {nullptr, &w1_, &w2_, &w3_};
    auto expected = [&](const std::vector<std::array<double, 4>>& inputs, int r, int c) {
        double out = 0.0;
        for (int layer = 1; layer <= 3; ++layer) {
            const long code = static_cast<long>((*regions[layer])[r][c]);
            const int k = (layer > 1 && code < 1) || code > 60 ? 0 : regionIndex_[static_cast<std::size_t>(code)];
            double contribution = 0.0;
            if (k != 0) {
                double sum = 0;
                for (std::size_t i = 0; i < inputs.size(); ++i)
                    sum += (i % 2 == 0 ? a_[r][c] : b_[r][c]) * inputs[i][static_cast<std::size_t>(k)];
                contribution = (*weights[layer])[r][c] * sum;
            }
            out += contribution;
        }
        return out;
    };
    for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
        for (int c = 1; c <= 5; ++c) {
            const bool basin = kZones[r - 1][c - 1] != -9999;
            EXPECT_DOUBLE_EQ(s->Entity(0).Output()[r][c], basin ? expected(nineWeights, r, c) : -9999.0) << r << c;
            EXPECT_DOUBLE_EQ(s->Entity(1).Output()[r][c], basin ? expected(twoWeights, r, c) : -9999.0) << r << c;
        }
}

TEST_F(SuperpositionTest, WeightsOfARegionSumToOne) {
    UseRegions(2);
    const std::string ok = "entityinputgrid = grid_a; regions = 20 40; weights = 0.3 1;\n"
                           "entityinputgrid = grid_b; regions = 20 40; weights = 0.69999 0;";
    unsigned error = 0;
    Make("NumberOfEntities = 1;\n" + Entity("e", ok), &error);
    EXPECT_EQ(error, 0u) << console_.str();
    const std::string bad = "entityinputgrid = grid_a; regions = 20 40; weights = 0.3 1;\n"
                            "entityinputgrid = grid_b; regions = 20 40; weights = 0.6998 0;";
    Make("NumberOfEntities = 1;\n" + Entity("e", bad), &error);
    EXPECT_EQ(error, 135u);
    EXPECT_TRUE(Logged("region 1: The sum of all weights is not 1.0 but 0.9998"));
    // No input at all: region 1 sums to 0.
    console_.str("");
    Make("NumberOfEntities = 1;\n" + Entity("e", ""), &error);
    EXPECT_EQ(error, 135u);
    EXPECT_TRUE(Logged("region 1: The sum of all weights is not 1.0 but 0"));
}

TEST_F(SuperpositionTest, RefusedBlocks) {
    UseRegions(2);
    struct Case {
        std::string section;
        unsigned code;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"Entities = 1;\n", 133u, "could not read \"NumberOfEntities\" keyword in section [RegionalSuperposition]"},
        {"NumberOfEntities = 1;\n" + Entity("e", "entityinputgrid = grid_a; regions = 20; weights = 1 1;"), 134u,
         "The number of regions here (1) does not equal the number of\nregions in the regiongrid (2)"},
        {"NumberOfEntities = 1;\n" + Entity("e", "entityinputgrid = grid_a; regions = 20 30; weights = 1 1;"), 134u,
         "region on position 2 was read as 30\nThere is now region with this code in the region grid"},
        {"NumberOfEntities = 1;\n" + Entity("e", "entityinputgrid = grid_a; regions = 40 20; weights = 1 1;"), 134u,
         "region on position 1 in the region list should have value 20\nbut was read as 40"},
        {"NumberOfEntities = 1;\n" + Entity("e", "entityinputgrid = grid_a; regions = 20 40; weights = 1;"), 135u,
         "The number of regions (2) does not equal the number of weights (1)"},
        {"NumberOfEntities = 1;\n" + Entity("e", "entityinputgrid = grid_z; regions = 20 40; weights = 1 1;"), 33u,
         "grid_z not found in memory"},
        {"NumberOfEntities = 1;\n" +
             Entity("e", "entityinputgrid = grid_a; regions = 20 40; weights = 1 1;",
                    "outputgrid = o.asc; writecode = 0; statcode = 0;"),
         17u, "the key \"outputtable\""},
        {"NumberOfEntities = 1;\n" +
             Entity("e", "entityinputgrid = grid_a; regions = 20 40; weights = 1 1;",
                    "outputgrid = o.asc; outputtable = t.txt; statcode = 0; writecode 0"),
         17u, "\"writecode\" (with \"= value;\") of the RegionalSuperposition entity e"},
        // An input record without its region list or its weights.
        {"NumberOfEntities = 1;\n" + Entity("e", "entityinputgrid = grid_a; weights = 1 1;"), 17u,
         "the key \"regions\" (with \"= value;\") of the RegionalSuperposition entity e is missing"},
        {"NumberOfEntities = 1;\n" + Entity("e", "entityinputgrid = grid_a; regions = 20 40;"), 17u,
         "the key \"weights\" (with \"= value;\") of the RegionalSuperposition entity e is missing"},
    };
    for (const Case& c : cases) {
        console_.str("");
        unsigned error = 0;
        Make(c.section, &error);
        EXPECT_EQ(error, c.code) << c.section;
        EXPECT_TRUE(Logged(c.text)) << c.section;
    }
}

TEST_F(SuperpositionTest, NoEntitiesAndSwitchedOff) {
    for (const char* count : {"NumberOfEntities = 0;\n", "NumberOfEntities = many;\n"}) {
        unsigned error = 0;
        auto s = Make(count, &error);
        EXPECT_EQ(error, 0u) << count;
        EXPECT_EQ(s->EntityCount(), 0) << count;
        s->run(1, 1, 1, 2020);
        s->WriteStatistics();
    }
    WriteShared("test.ctl", ControlFile());
    unsigned error = 0;
    RegionalSuperposition off(error, log_.get(), settings_);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(off.GetFlowControl(), 0);
}

}  // namespace
