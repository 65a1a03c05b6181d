// The silting-up step over the cells: the water balance of every cell for the three methods,
// formulas against the built-in laws, the formula variables, untilled land, the tillage day,
// the surface store with and without surface routing, formula failures, response units and
// the zone statistics.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "setup/spinup.hpp"
#include "siltingup_test_domain.hpp"

namespace {

using silting_test::SectionOptions;

// The built-in laws written as formulas (for intensities up to 76.2 mm/h); the comparisons keep
// the powers and logarithms finite where the laws give 0.
const char* kBuiltInFormulas =
    "SiltingUpExpressions\n{\n"
    "  Z = (O > 0) * 0.013 * (100 * L)^(-1.03) * K^0.7 * (O + (O <= 0))^(-0.19);\n"
    "  Y = 12.2 * K^0.52 * (100 * L)^(-0.64);\n"
    "  X = 65;\n"
    "  W = (P > 0.05) * (11.89 + 8.73 * log10(P + (P <= 0.05)));\n"
    "  V = (exp(-Z * Q) * (X - Y) + Y) * R / 60;\n"
    "}\n";

SectionOptions Method(int m, const std::string& formulas = kBuiltInFormulas) {
    SectionOptions o;
    if (m == 1) o.methodLine = "";
    if (m == 2) o.methodLine = "2 method";
    if (m == 3) {
        o.methodLine = "3 method";
        o.expressions = formulas;
    }
    return o;
}

class SiltingStep : public silting_test::SiltingDomain {
protected:
    // Input of cell (r, c) in step s: between 1 and 70 mm in an hour.
    static double Input(int r, int c, int s) { return 1.0 + ((r * 7 + c * 13 + s * 5) % 10) * 7.5; }
};

TEST_F(SiltingStep, EveryCellKeepsItsWater) {
    for (int method = 1; method <= 3; ++method) {
        auto s = Ready(Method(method));
        Matrix& P = G("precipitation");
        Matrix& store = G("SurfStorSiltingUp");
        for (int step = 0; step < 4; ++step) {
            std::vector<double> before;
            ForOwn([&](int r, int c) {
                // A dry step now and then lets the rain pause grow.
                P[r][c] = (r + c + step) % 4 == 0 ? 0.0 : Input(r, c, step);
                store[r][c] = 3.0;  // emptied by the model: there is no surface routing
                before.push_back(P[r][c]);
            });
            s->run(1 + step, 20, 4, 2020);
            std::size_t k = 0;
            ForOwn([&](int r, int c) {
                const double in = before[k++];
                const double q = s->directRunoff.data[r][c];
                EXPECT_NEAR(P[r][c] + q, in, 1e-12 * std::max(1.0, in)) << method << " " << r << "," << c;
                EXPECT_GE(q, 0.0);
                EXPECT_LE(q, in);
                EXPECT_EQ(store[r][c], 0.0);  // handed on: infiltration and direct runoff
                if (in == 0) {
                    EXPECT_GT(s->rainPause.data[r][c], 0.0);
                } else {
                    EXPECT_EQ(s->rainPause.data[r][c], 0.0);
                }
            });
        }
    }
}

TEST_F(SiltingStep, FormulasReproduceTheBuiltInLaws) {
    auto builtIn = Ready(Method(2));
    auto formulas = Ready(Method(3));
    Matrix& P = G("precipitation");
    for (int step = 0; step < 3; ++step) {
        std::vector<double> runoff, energy, disp;
        ForOwn([&](int r, int c) { P[r][c] = Input(r, c, step); });
        builtIn->run(10 + step, 20, 4, 2020);
        ForOwn([&](int r, int c) {
            runoff.push_back(builtIn->directRunoff.data[r][c]);
            energy.push_back(builtIn->kineticEnergy.data[r][c]);
            disp.push_back(builtIn->disposition.data[r][c]);
            P[r][c] = Input(r, c, step);
        });
        formulas->run(10 + step, 20, 4, 2020);
        std::size_t k = 0;
        bool someRunoff = false;
        ForOwn([&](int r, int c) {
            EXPECT_NEAR(formulas->directRunoff.data[r][c], runoff[k], 1e-9 * (1 + runoff[k]));
            EXPECT_NEAR(formulas->kineticEnergy.data[r][c], energy[k], 1e-9 * energy[k]);
            EXPECT_NEAR(formulas->disposition.data[r][c], disp[k], 1e-12);
            someRunoff = someRunoff || runoff[k] > 0;
            ++k;
        });
        if (step == 2) {
            EXPECT_TRUE(someRunoff);
        }
    }
}

TEST_F(SiltingStep, FormulaVariables) {
    // 6 mm in an hour on day 111, eleven days after the tillage of day 100, on the loam of the table.
    const double K = silting::GrainSizeK({0.4, 0.4, 0.2, 0, 0, 0, 0});
    struct Case {
        const char* name;
        double value;
    } cases[] = {{"A", 1.5}, {"b", 0}, {"J", 4}, {"K", K}, {"L", 0.4}, {"M", 0.2}, {"N", 0.4},
                 {"O", 11},  {"P", 6}, {"Q", 0}, {"R", 60}};
    for (const Case& k : cases) {
        const std::string block =
            std::string("SiltingUpExpressions {\nZ = ") + k.name + ";\nW = 2;\nV = Q - 5;\n}\n";
        auto s = Ready(Method(3, block));
        Fill("precipitation", 6);
        s->run(24, 20, 4, 2020);
        ForOwn([&](int r, int c) {
            EXPECT_NEAR(s->disposition.data[r][c], k.value, 1e-12) << k.name;
            // Q of the second group is the new energy: P W (1 - cover) = 6 * 2 * 0.7.
            EXPECT_NEAR(s->kineticEnergy.data[r][c], 8.4, 1e-12);
            EXPECT_NEAR(s->directRunoff.data[r][c], 6 - 3.4, 1e-12);
        });
    }
}

TEST_F(SiltingStep, UntilledLandGivesNoRunoff) {
    Fill("landuse1", 2);
    for (int method = 1; method <= 3; ++method) {
        auto s = Ready(Method(method));
        Fill("precipitation", 75);
        s->run(24, 20, 4, 2020);
        ForOwn([&](int r, int c) {
            EXPECT_EQ(s->timeSinceTillage.data[r][c], 0.0);
            EXPECT_EQ(s->kineticEnergy.data[r][c], 0.0);
            if (method != 3) {
                EXPECT_EQ(s->disposition.data[r][c], 0.0);
            }
            EXPECT_EQ(s->directRunoff.data[r][c], 0.0);
            EXPECT_EQ(G("precipitation")[r][c], 75.0);
        });
    }
}

TEST_F(SiltingStep, TillageDayAndTheCapacityWithoutEnergy) {
    // Full cover: the rain brings no energy and the capacity is A = 65 mm in an hour.
    Fill("vegetation_coverage_degree1", 0.95);
    auto s = Ready(Method(1));
    Fill("precipitation", 70);
    s->run(24, 9, 4, 2020);  // day 100 of 2020
    ForOwn([&](int r, int c) {
        EXPECT_DOUBLE_EQ(s->timeSinceTillage.data[r][c], 0.3);
        EXPECT_EQ(s->kineticEnergy.data[r][c], 0.0);
        EXPECT_GT(s->disposition.data[r][c], 0.0);
        EXPECT_NEAR(s->directRunoff.data[r][c], 5.0, 1e-12);
        EXPECT_NEAR(G("precipitation")[r][c], 65.0, 1e-12);
    });
}

// With surface routing the store brings the water it left on the surface into the step; all of
// it leaves again as infiltration or direct runoff, and the store is empty until routing refills it.
TEST_F(SiltingStep, StoreIsKeptOnlyWithSurfaceRouting) {
    // Surface routing registers its weights as a stack, without a 2-D grid.
    Register("SurfaceRoutingWeights", nullptr);
    auto s = Ready(Method(2));
    Matrix& P = G("precipitation");
    Matrix& store = G("SurfStorSiltingUp");
    std::vector<double> sum(20, 0.0);
    for (int step = 0; step < 3; ++step) {
        std::vector<double> stored;
        ForOwn([&](int r, int c) {
            P[r][c] = Input(r, c, step);
            store[r][c] = 0.5 * (step + r);  // what surface routing left on the cell
            stored.push_back(store[r][c]);
        });
        s->run(1 + step, 20, 4, 2020);
        std::size_t k = 0;
        ForOwn([&](int r, int c) {
            const double water = Input(r, c, step) + stored[k++];
            EXPECT_EQ(store[r][c], 0.0);
            EXPECT_NEAR(P[r][c] + s->directRunoff.data[r][c], water, 1e-12 * water);
        });
    }
}

TEST_F(SiltingStep, RoutingWeightsAreLookedUpAtTheFirstStepOnly) {
    auto s = Ready(Method(2));
    Fill("precipitation", 2);
    s->run(1, 20, 4, 2020);
    Add("SurfaceRoutingWeights", 1);
    Fill("SurfStorSiltingUp", 4);
    s->run(2, 20, 4, 2020);
    // Without routing weights at the first step the store left there is not taken in.
    ForOwn([&](int r, int c) {
        EXPECT_DOUBLE_EQ(G("precipitation")[r][c] + s->directRunoff.data[r][c], 2.0);
        EXPECT_EQ(G("SurfStorSiltingUp")[r][c], 0.0);
    });
}

TEST_F(SiltingStep, FormulaFailuresStopTheStep) {
    struct Case {
        const char* block;
        const char* message;
    } cases[] = {
        {"SiltingUpExpressions { Z = 2 +* 3; V = 1; }\n",
         "in instance SiltingUpModel\nexpression Z=2+*3 could not be parsed correctly. Parser message: Error"},
        {"SiltingUpExpressions { T = 0; Z = 1 / T; X = 5; V = 1; }\n", "expression Z=1/T could not be parsed"},
        {"SiltingUpExpressions { Z = 1; V = log(0); }\n", "expression V=log(0) could not be parsed"},
        {"SiltingUpExpressions { Z = 1; V = 2; nosuchfunction(3); }\n", "expression nosuchfunction(3) could not"},
    };
    for (const Case& k : cases) {
        auto s = Ready(Method(3, k.block));
        Fill("precipitation", 5);
        EXPECT_EQ(submodel_test::CodeOf([&] { s->run(24, 20, 4, 2020); }), 403) << k.block;
        EXPECT_TRUE(Logged(k.message));
    }
}

// A land use whose fix point the altitude correction pushes past the year's end cannot give the
// cell's residue cover: every process stops with the land use's code, the process of the cell
// names the cause and all of them say where the failure happened.
TEST_F(SiltingStep, ALandUseDateBeyondTheYearStopsEveryProcess) {
    // At 500 m the second fix point moves from day 366 by (500 - 400) x 0.5 = 50 days, to 416.
    std::string meadow = silting_test::kMeadow;
    const std::string from = "AltDep = 0 0;";
    meadow.replace(meadow.find(from), from.size(), "AltDep = 0 0.5;");
    landuses_[2] = landuse_entry{};
    landuses_[2].ParseLanduseBlock(*log_, meadow.c_str(), "VariableDayCount");
    auto s = Ready(Method(1));
    ASSERT_NE(zone_[2][3], -9999.0);
    G("landuse1")[2][3] = 2;
    Fill("precipitation", 5);
    EXPECT_EQ(submodel_test::CodeOf([&] { s->run(24, 20, 4, 2020); }), 152);
    if (settings_.firstRow <= 2 && 2 <= settings_.lastRow) {
        EXPECT_TRUE(Logged("altitude correction resulted in a Julian day of 416 for fix point 2"));
        EXPECT_TRUE(Logged("silting-up step failed at this process with code 152\n"));
    } else {
        EXPECT_FALSE(Logged("altitude correction"));
        EXPECT_TRUE(Logged("silting-up step failed at another process with code 152\n"));
    }
}

TEST_F(SiltingStep, ResponseUnitsCopyTheirMasterCell) {
    settings_.spinUpSwitch = 1;
    Matrix& unit = G("precipitation");  // replaced below; only its shape is used
    (void)unit;
    const int unitIndex = Add("HydrologicResponseUnits", -9999);
    const int masterIndex = Add("MasterHydrologicResponseUnits", -9999);
    Matrix& units = *store_[unitIndex].grid;
    Matrix& masters = *store_[masterIndex].grid;
    // One unit per row, its master the first basin cell of the row; cell (2,5) names no unit.
    std::vector<HydrologicResponseUnit> list(5);
    for (int r = 1; r <= 4; ++r) {
        int first = 0;
        for (int c = 1; c <= 5; ++c) {
            if (zone_[r][c] == -9999) continue;
            if (first == 0) first = c;
            units[r][c] = r;
            masters[r][c] = c == first ? r : -9999;
        }
        list[static_cast<std::size_t>(r)].row = r;
        list[static_cast<std::size_t>(r)].column = first;
    }
    units[2][5] = 99;
    settings_.responseUnits = &list;
    auto s = Ready(Method(2));
    Matrix& P = G("precipitation");
    ForOwn([&](int r, int c) { P[r][c] = 10.0 * r + c; });
    s->run(24, 20, 4, 2020);
    s->run(1, 21, 4, 2020);
    ForOwn([&](int r, int c) {
        const int mc = list[static_cast<std::size_t>(r)].column;
        if (r == 2 && c == 5) {
            // Keeps its own values: never computed, its input stays.
            EXPECT_EQ(s->directRunoff.data[r][c], 0.0);
            EXPECT_EQ(P[r][c], 25.0);
            return;
        }
        for (Matrix* g : {&s->directRunoff.data, &s->kineticEnergy.data, &s->disposition.data, &s->rainPause.data,
                          &s->timeSinceTillage.data, &P, &G("SurfStorSiltingUp")})
            EXPECT_EQ((*g)[r][c], (*g)[r][mc]) << r << "," << c;
    });
    const bool holdsRow2 = settings_.firstRow <= 2 && settings_.lastRow >= 2;
    if (holdsRow2) {
        EXPECT_TRUE(Logged("which is not in the list of units"));
        // One warning for the run.
        const std::string text = console_.str();
        EXPECT_EQ(text.find("not in the list of units"), text.rfind("not in the list of units"));
    }
}

TEST_F(SiltingStep, StatisticsOfDispositionAndRunoff) {
    SectionOptions o = Method(2);
    o.stats = "2001";
    auto s = Ready(o);
    // The same rain everywhere gives the same runoff in every subbasin.
    Fill("precipitation", 60);
    s->run(1, 20, 4, 2020);
    double q = 0, d = 0;
    ForOwn([&](int r, int c) {
        q = s->directRunoff.data[r][c];
        d = s->disposition.data[r][c];
    });
    ASSERT_GT(q, 1.0);
    s->WriteStatistics();
    if (talvo_test::Rank() != 0) return;
    const std::vector<double>& runoff = s->statRunoff.stat->lastValues();
    const std::vector<double>& disp = s->statDisposition.stat->lastValues();
    ASSERT_GE(runoff.size(), 4u);
    for (std::size_t j = 1; j < runoff.size(); ++j) {
        EXPECT_NEAR(runoff[j], q, 1e-9) << j;
        EXPECT_NEAR(disp[j], d, 1e-9) << j;
    }
    std::ifstream in("qdsu.sta");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(submodel_test::Contains(text, "Direct_Discharge_Silting_Up"));
    char expected[32];
    std::snprintf(expected, sizeof expected, "\t%.4f", q);
    EXPECT_TRUE(submodel_test::Contains(text, expected));
}

}  // namespace
