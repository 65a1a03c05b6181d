// The glacier part of the snow model's step: snow, firn and ice melt of glacierized cells,
// permafrost thaw, the runoff of the glacier storages into the soil model's runoff and the
// yearly glacier step.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <functional>
#include <map>

#include "glacier_test_domain.hpp"
#include "setup/spinup.hpp"
#include "surface/glacier_physics.hpp"

namespace {

using glacier_test::GlacierOptions;
using glacier_test::kFraction;
using snow_test::SectionOptions;

std::pair<int, int> Key(int r, int c) { return {r, c}; }

class GlacierLoop : public glacier_test::GlacierDomain {
protected:
    std::unique_ptr<schneemodellklasse> Ready(const SectionOptions& o, const GlacierOptions& g,
                                              const std::string& more = "") {
        unsigned code = 9;
        auto snow = MakeGlacier(o, g, &code, more);
        EXPECT_EQ(code, 0u) << console_.str();
        snow->LinkPrecipitation(false);
        return snow;
    }
    static double F(int r, int c) { return kFraction[r - 1][c - 1]; }
    // Snow on both parts of every own cell: solid and liquid, outside and on the glacier.
    void FillBothSnowParts(schneemodellklasse& snow) {
        ForOwn([&](int r, int c) {
            snow.solid.data[r][c] = 10 + r;
            snow.liquid.data[r][c] = 0.5;
            snow.solidG.data[r][c] = 20 + c;
            snow.liquidG.data[r][c] = 1;
        });
    }
};

TEST_F(GlacierLoop, BothSnowPartsKeepTheirWaterBalance) {
    for (int method : {11, 12, 13}) {
        GlacierOptions g;
        g.method = method;
        auto snow = Ready(SectionOptions{}, g);
        FillBothSnowParts(*snow);
        for (int step = 0; step < 3; ++step) {
            std::map<std::pair<int, int>, std::pair<double, double>> before;
            ForOwn([&](int r, int c) {
                G("temperature")[r][c] = -1 + 2.0 * step + 0.5 * c;
                G("precipitation")[r][c] = 1.5 * ((r + step) % 3);
                before[Key(r, c)] = {snow->solid.data[r][c] + snow->liquid.data[r][c],
                                  snow->solidG.data[r][c] + snow->liquidG.data[r][c]};
            });
            snow->run(12 + step, 5, 6, 2020);
            ForOwn([&](int r, int c) {
                const double P = G("precipitation")[r][c];
                const double cell = snow->solid.data[r][c] + snow->liquid.data[r][c];
                EXPECT_NEAR(P, cell - before[Key(r, c)].first + snow->outflow.data[r][c], 1e-9)
                    << method << " " << r << "," << c;
                if (F(r, c) > 0) {
                    const double glacierSnow = snow->solidG.data[r][c] + snow->liquidG.data[r][c];
                    EXPECT_NEAR(P, glacierSnow - before[Key(r, c)].second + snow->meltG.data[r][c], 1e-9)
                        << method << " " << r << "," << c;
                    EXPECT_NEAR(snow->totalG.data[r][c], glacierSnow, 1e-12);
                } else {
                    EXPECT_EQ(snow->totalG.data[r][c], 0.0);
                }
            });
        }
    }
}

TEST_F(GlacierLoop, EnergyBalanceSnowOnGlaciersKeepsItsWaterBalance) {
    // Snow by the energy balance on glacier cells: the cell's pack and the glacier part's pack
    // keep their water balance under every glacier method. With method 13 the glacier part's
    // pack runs the energy balance itself, with its own temperatures (at most melting) and its
    // own evaporation, counted in its grid.
    snow_test::SectionOptions o;
    o.method = 5;
    for (int method : {11, 12, 13}) {
        GlacierOptions g;
        g.method = method;
        auto snow = Ready(o, g);
        Matrix& E = G("snow_evaporation");
        FillBothSnowParts(*snow);
        for (int step = 0; step < 3; ++step) {
            std::map<std::pair<int, int>, std::pair<double, double>> before;
            ForOwn([&](int r, int c) {
                G("temperature")[r][c] = -4 + 3.0 * step + 0.5 * c;
                G("precipitation")[r][c] = 1.5 * ((r + step) % 3);
                E[r][c] = 0;
                before[Key(r, c)] = {snow->solid.data[r][c] + snow->liquid.data[r][c],
                                     snow->solidG.data[r][c] + snow->liquidG.data[r][c]};
            });
            snow->run(12 + step, 5, 6, 2020);
            ForOwn([&](int r, int c) {
                const double P = G("precipitation")[r][c];
                const double cell = snow->solid.data[r][c] + snow->liquid.data[r][c];
                EXPECT_NEAR(P, cell - before[Key(r, c)].first + snow->outflow.data[r][c] + E[r][c], 1e-9)
                    << method << " " << r << "," << c;
                if (F(r, c) <= 0) return;
                const double glacierSnow = snow->solidG.data[r][c] + snow->liquidG.data[r][c];
                EXPECT_NEAR(P,
                            glacierSnow - before[Key(r, c)].second + snow->meltG.data[r][c] +
                                snow->evaporationG.data[r][c],
                            1e-9)
                    << method << " " << r << "," << c;
                EXPECT_GE(snow->solidG.data[r][c], 0.0);
                EXPECT_GE(snow->liquidG.data[r][c], 0.0);
                if (method == 13 && glacierSnow > 0) {
                    EXPECT_LE(snow->surfTempG.data[r][c], 273.16 + 1e-9) << r << "," << c;
                    EXPECT_GT(snow->surfTempG.data[r][c], 200.0) << r << "," << c;
                    EXPECT_LE(snow->snowTempG.data[r][c], 273.16 + 1e-9) << r << "," << c;
                }
            });
        }
    }
}

TEST_F(GlacierLoop, MethodThirteenKeepsTheGlacierSnowEvaporationOfEvapotranspiration) {
    // Without an energy balance the snow passes compute no evaporation: what evapotranspiration
    // took from the glacier part's snow before the snow step stays in its grid.
    GlacierOptions g;
    g.method = 13;
    auto snow = Ready(SectionOptions{}, g);
    Fill("temperature", -2);
    Fill("precipitation", 1);
    ForOwn([&](int r, int c) {
        snow->solidG.data[r][c] = 20;
        snow->evaporationG.data[r][c] = F(r, c) > 0 ? 0.25 : 0.0;
    });
    snow->run(12, 5, 6, 2020);
    ForOwn([&](int r, int c) {
        EXPECT_EQ(snow->evaporationG.data[r][c], F(r, c) > 0 ? 0.25 : 0.0) << r << "," << c;
    });
}

TEST_F(GlacierLoop, FirnMeltsFromTheTopLevelAndIceTakesTheRest) {
    auto snow = Ready(SectionOptions{}, GlacierOptions{});
    Fill("temperature", 12);
    Fill("precipitation", 0);
    // Two cells with little firn, one without any.
    ForOwn([&](int r, int c) {
        if (r == 1 && c == 4) {
            double* l = snow->firnStack[r][c];
            l[1] = 1.0;
            l[2] = 0.5;
            l[3] = 0;
            l[0] = snow->firn.data[r][c] = 1.5;
        }
        if (r == 3 && c == 3) {
            double* l = snow->firnStack[r][c];
            l[1] = l[2] = l[3] = l[0] = 0;
            snow->firn.data[r][c] = 0;
        }
    });
    snow->run(12, 5, 7, 2020);
    const double firnRate = 5 * 12 / 24.0, iceRate = 6 * 12 / 24.0;
    ForOwn([&](int r, int c) {
        if (F(r, c) <= 0) {
            EXPECT_EQ(snow->meltFirn.data[r][c], 0.0);
            EXPECT_EQ(snow->meltIce.data[r][c], 0.0);
            return;
        }
        const double* l = snow->firnStack[r][c];
        if (r == 1 && c == 4) {
            // 2.5 mm wanted, 1.5 in the firn: the rest is ice melt.
            EXPECT_NEAR(snow->meltFirn.data[r][c], 1.5, 1e-12);
            EXPECT_NEAR(snow->meltIce.data[r][c], firnRate - 1.5, 1e-12);
            EXPECT_EQ(l[0], 0.0);
        } else if (r == 3 && c == 3) {
            EXPECT_EQ(snow->meltFirn.data[r][c], 0.0);
            EXPECT_NEAR(snow->meltIce.data[r][c], iceRate, 1e-12);
        } else {
            const double each = (2600 - 100 * r - 2000) * 0.5;
            EXPECT_NEAR(snow->meltFirn.data[r][c], firnRate, 1e-12);
            EXPECT_NEAR(l[1], each - firnRate, 1e-12);
            EXPECT_NEAR(l[0], 3 * each - firnRate, 1e-9);
            EXPECT_NEAR(snow->firn.data[r][c], l[0], 1e-12);
        }
    });
    // Snow on the glacier part keeps firn and ice from melting.
    ForOwn([&](int r, int c) { snow->solidG.data[r][c] = 50; });
    snow->run(13, 5, 7, 2020);
    ForOwn([&](int r, int c) {
        EXPECT_EQ(snow->meltFirn.data[r][c], 0.0);
        EXPECT_EQ(snow->meltIce.data[r][c], 0.0);
    });
}

TEST_F(GlacierLoop, IceAndFirnCodesOfTheStaticMethods) {
    Drop("GlacierizedCells");
    Add("ice_firn", 0);
    ForOwn([&](int r, int c) { G("ice_firn")[r][c] = c == 2 ? 1 : (c == 3 ? 2 : 0); });
    GlacierOptions g;
    g.method = 1;
    auto snow = Ready(SectionOptions{}, g);
    EXPECT_EQ(snow->totalG.index, 0);  // no glacier snow grids: the cell's snow stands for them
    Fill("temperature", 6);
    Fill("precipitation", 0);
    ForOwn([&](int r, int c) { snow->solid.data[r][c] = r == 2 ? 0.1 : 0; });
    snow->run(12, 5, 7, 2020);
    ForOwn([&](int r, int c) {
        // Row 2 melts 0.1 mm of its own snow first, which the glacier melt then lacks.
        const double ms = r == 2 ? 0.1 : 0.0;
        const double ice = 6 * 6 / 24.0 - ms, firnMelt = 5 * 6 / 24.0 - ms;
        EXPECT_NEAR(snow->meltIce.data[r][c], c == 2 ? ice : 0.0, 1e-12) << r << "," << c;
        EXPECT_NEAR(snow->meltFirn.data[r][c], c == 3 ? firnMelt : 0.0, 1e-12) << r << "," << c;
    });
}

TEST_F(GlacierLoop, PermafrostThawsWithTheRootOfSnowFreeDays) {
    Drop("GlacierizedCells");
    Add("ThawCoeffPermaFrost", 0.05);
    Add("PermafrostThawDepth", 0);
    Add("root_depth1", 1.0);
    SectionOptions o;
    o.timeStep = 1440;
    unsigned code = 0;
    auto snow = Make(o, &code, glacier_test::PermafrostSection(1));
    ASSERT_EQ(code, 0u) << console_.str();
    snow->LinkPrecipitation(false);
    Fill("temperature", 5);
    Fill("temperature_night", 5);
    Fill("precipitation", 0);
    for (int d = 0; d < 16; ++d) snow->run(24, 1 + d, 6, 2020);
    ForOwn([&](int r, int c) {
        EXPECT_NEAR(G("PermafrostThawDepth")[r][c], 0.05 * 4, 1e-9);
        // The root depth is only ever lowered: the first day's thaw of 0.05 m holds it.
        EXPECT_NEAR(G("root_depth1")[r][c], 0.05, 1e-9);
    });
    // Three days under 20 mm of snow refreeze the ground.
    Fill("temperature", -5);
    Fill("temperature_night", -5);
    Fill("precipitation", 20);
    for (int d = 0; d < 3; ++d) snow->run(24, 20 + d, 10, 2020);
    ForOwn([&](int r, int c) {
        EXPECT_EQ(G("PermafrostThawDepth")[r][c], 0.0);
        EXPECT_EQ(G("root_depth1")[r][c], 0.0);
    });
}

TEST_F(GlacierLoop, GlacierRunoffReachesTheSoilModelsRunoff) {
    auto snow = Ready(SectionOptions{}, GlacierOptions{});
    RunoffArray qg(1, std::vector<double>(4, -1.0));
    snow->SetQg(&qg);
    Fill("temperature", 12);
    Fill("precipitation", 0);
    ForOwn([&](int r, int c) {
        if (F(r, c) > 0) {
            for (int l = 0; l <= 3; ++l) snow->firnStack[r][c][l] = 0;
            snow->firn.data[r][c] = 0;
        }
    });
    snow->run(12, 5, 7, 2020);
    // Zone 5 (rank 2): six cells, 4.4 of them glacierized, all ice melting.
    const double ice = 6 * 12 / 24.0;
    const double phi = 4.4 / 6;
    const double input = ice * 4.4 / 6;
    const double Q = (1 - std::exp(-1.0 / 10)) * input / phi;
    if (talvo_test::Rank() == 0) {
        EXPECT_NEAR(qg[0][2], Q * phi, 1e-12);
        EXPECT_NEAR(snow->Qice_slr[2], Q, 1e-12);
        // Zones without glacier are left to the soil model.
        EXPECT_EQ(qg[0][1], -1.0);
        EXPECT_EQ(qg[0][3], -1.0);
    }
    snow->SetStatus(0);
}

TEST_F(GlacierLoop, IceRunoffIsTheSameInItsLastDigitAtAnyProcessCount) {
    // One cell melts 2^53 mm, the others less than half its last digit each but more together:
    // summed cell by cell in row-major order they are lost, as partial sums of rows or
    // processes they would not be. The subbasin's sums must be the row-major ones whichever
    // process holds the cells.
    const auto ready = [&](const std::function<double(int, int)>& temperature) {
        auto snow = Ready(SectionOptions{}, GlacierOptions{});
        Fill("precipitation", 0);
        ForOwn([&](int r, int c) {
            G("temperature")[r][c] = temperature(r, c);
            if (F(r, c) > 0) {
                for (int l = 0; l <= 3; ++l) snow->firnStack[r][c][l] = 0;
                snow->firn.data[r][c] = 0;
            }
        });
        snow->run(12, 5, 7, 2020);
        std::vector<double> melt(20, 0.0), all(20, 0.0);
        ForOwn([&](int r, int c) { melt[static_cast<std::size_t>((r - 1) * 5 + c - 1)] = snow->meltIce.data[r][c]; });
        MPI_Allreduce(melt.data(), all.data(), 20, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        return std::make_pair(std::move(snow), all);
    };
    // Ice melt per degree of this day (the melt is linear in the temperature).
    const double perDegree = ready([](int, int) { return 1.0; }).second[3];
    ASSERT_GT(perDegree, 0.0);
    auto [snow, all] = ready([&](int r, int c) {
        const double share = F(r, c) > 0 ? F(r, c) : 1.0;
        return (r == 1 ? std::ldexp(1.0, 53) : 0.8 / share) / perDegree;
    });

    // Zone 5 cell by cell, as one process sums it.
    double rel = 0, sx = 0, glacierCells = 0, freeCells = 0;
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            if (zone_[r][c] != 5) continue;
            const double g = F(r, c), v = all[static_cast<std::size_t>((r - 1) * 5 + c - 1)];
            rel += g;
            sx += v * g;
            rel += 1 - g;
            glacierCells += g;
            freeCells += 1 - g;
        }
    EXPECT_EQ(sx, all[3]);  // the small melts were lost
    glacier::Triple q;
    glacier::RouteSubbasin(q, {10, 20, 5}, {sx / rel, 0, 0}, glacierCells / (freeCells + glacierCells));
    if (talvo_test::Rank() == 0) {
        EXPECT_EQ(snow->Qice_slr[2], q.ice);
    }
    snow->SetStatus(0);
}

TEST_F(GlacierLoop, YearlyStepPushesTheFirnDownOnTheLastStepOfTheDay) {
    auto snow = Ready(SectionOptions{}, GlacierOptions{});
    Fill("temperature", -5);
    Fill("precipitation", 2);
    std::map<std::pair<int, int>, std::vector<double>> levels;
    snow->run(23, 2, 1, 2020);  // 23 + 61/60 is not above 24.001 without a time shift
    ForOwn([&](int r, int c) {
        if (F(r, c) > 0) {
            const double* l = snow->firnStack[r][c];
            levels[Key(r, c)] = {l[0], l[1], l[2], l[3]};
            EXPECT_GT(snow->totalG.data[r][c], 0.0);
        }
    });
    std::map<std::pair<int, int>, double> swe;
    snow->run(24, 2, 1, 2020);
    ForOwn([&](int r, int c) {
        if (F(r, c) <= 0) return;
        const double* l = snow->firnStack[r][c];
        const std::vector<double>& b = levels[Key(r, c)];
        // The day's snow (4 mm) became level 1; levels moved down and the deepest dropped.
        EXPECT_NEAR(l[1], 4.0, 1e-12);
        EXPECT_EQ(l[2], b[1]);
        EXPECT_EQ(l[3], b[2]);
        EXPECT_NEAR(l[0], 4.0 + b[1] + b[2], 1e-9);
        EXPECT_EQ(snow->totalG.data[r][c], 0.0);
        EXPECT_EQ(snow->solidG.data[r][c], 0.0);
        EXPECT_EQ(snow->oldMassBalance.data[r][c], snow->massBalance.data[r][c]);
        EXPECT_EQ(snow->codesOld.data[r][c], 1.0);
    });
    EXPECT_TRUE(Logged("glaciers changed, updating glaicerlist now..."));
}

}  // namespace

namespace {

using glacier_test::GlacierOptions;
using snow_test::SectionOptions;

class GlacierYear : public glacier_test::GlacierDomain {};

// The yearly step runs when hour + (step + shift / 60) / 60 > 24.001: hourly steps end the
// evaluation day at hour 24 without a time shift and at hour 23 with a shift of 60 minutes.
TEST_F(GlacierYear, EvaluationHourDependsOnTheTimeShift) {
    struct Case {
        double shift;
        int hour;
        bool runs;
    };
    for (const Case cs : {Case{0, 23, false}, Case{0, 24, true}, Case{60, 22, false}, Case{60, 23, true}}) {
        settings_.minToIntEnd = cs.shift;
        console_.str("");
        unsigned code = 9;
        auto snow = MakeGlacier(SectionOptions{}, GlacierOptions{}, &code);
        ASSERT_EQ(code, 0u) << console_.str();
        snow->LinkPrecipitation(false);
        Fill("temperature", -5);
        Fill("precipitation", 1);
        snow->run(cs.hour, 2, 1, 2020);
        EXPECT_EQ(Logged("glaciers changed, updating glaicerlist now...").operator bool(), cs.runs)
            << cs.shift << " " << cs.hour;
        // Not on another day.
        console_.str("");
        snow->run(24, 3, 1, 2020);
        EXPECT_FALSE(Logged("glaciers changed"));
    }
}

// A glacier of three whole cells gains the volume of one cell more (4 km2 by the scaling):
// the first yearly balance grows it into the ice-free cells of its subbasin, the second, with
// no new mass, leaves volume and area as they are.
TEST_F(GlacierYear, AGrowingGlacierTakesNewCellsAndKeepsThemWithoutNewMass) {
    for (auto [r, c] : {Key(2, 3), Key(2, 5), Key(3, 4)}) {
        G("GlacierizedCells")[r][c] = 0;
        G("GlacierCodes")[r][c] = -9999;
    }
    GlacierOptions g;
    g.line24 = "3 3000 0.5";  // no firn
    unsigned code = 9;
    auto snow = MakeGlacier(SectionOptions{}, g, &code);
    ASSERT_EQ(code, 0u) << console_.str();
    snow->LinkPrecipitation(false);
    Fill("temperature", -5);
    Fill("precipitation", 0);
    const glacier::Scaling s{28.5, 1.36};
    const double v0 = s.c * std::pow(3.0, s.exponent), v1 = s.c * std::pow(4.0, s.exponent);
    // Balance in mm on the three cells of 1 km2 that adds v1 - v0 (10^6 m3) of ice.
    const double gain = (v1 - v0) * 0.85 * 1000.0 / 3.0;
    ForOwn([&](int r, int c) {
        if (G("GlacierizedCells")[r][c] > 0) snow->massBalance.data[r][c] = gain;
    });
    const auto area = [&] { return SumOwn([&](int r, int c) { return G("GlacierizedCells")[r][c]; }); };
    const auto cells = [&] {
        return SumOwn([&](int r, int c) { return G("GlacierCodes")[r][c] == 1 ? 1.0 : 0.0; });
    };

    for (int year : {2020, 2021}) {
        console_.str("");
        snow->run(24, 2, 1, year);
        const double a = area();
        EXPECT_NEAR(a, 4.0, 1e-4) << year;
        EXPECT_EQ(cells(), 6.0) << year;  // the three ice-free cells of the subbasin joined it
        EXPECT_FALSE(Logged("too many iterations")) << year;
        if (talvo_test::Rank() == 0) {
            const glacier::Glacier& gl = snow->glacierList.glaciers.at(0);
            EXPECT_NEAR(gl.volume, v1, 1e-9) << year;
            EXPECT_NEAR(gl.previousArea, a, 1e-9) << year;
        }
    }
}

}  // namespace

namespace {

class GlacierBalanceMpi : public glacier_test::GlacierDomain {};

// The glacier crosses the process boundary at 2 processes: the yearly balance on process 0
// changes every cell as one whole-grid balance from the same start does.
TEST_F(GlacierBalanceMpi, ShrinkingGlacierEqualsTheWholeGridBalance) {
    glacier_test::GlacierOptions g;
    g.line24 = "3 3000 0.5";  // no firn: every edge and partly covered cell can change
    unsigned code = 9;
    auto snow = MakeGlacier(snow_test::SectionOptions{}, g, &code);
    ASSERT_EQ(code, 0u) << console_.str();
    snow->LinkPrecipitation(false);
    Fill("temperature", -5);
    Fill("precipitation", 0);
    const double loss = -400000;  // mm over the year
    ForOwn([&](int r, int c) {
        if (glacier_test::kFraction[r - 1][c - 1] > 0) snow->massBalance.data[r][c] = loss;
    });
    snow->run(24, 2, 1, 2020);

    // The same balance over whole grids.
    memory_handling mh;
    std::deque<Matrix> m;
    auto make = [&](double v) -> Matrix& {
        m.push_back(mh.matrix(1, 4, 1, 5, 4));
        m.back().fill(v);
        return m.back();
    };
    Matrix& frac = make(0);
    Matrix& codes = make(-9999);
    Matrix& mb = make(0);
    Matrix& old = make(0);
    Matrix& firn = make(-9999);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            frac[r][c] = glacier_test::kFraction[r - 1][c - 1];
            if (frac[r][c] > 0) {
                codes[r][c] = 1;
                mb[r][c] = loss;
                firn[r][c] = 0;
            }
        }
    glacier::GlacierGrids w;
    w.zone = &zone_;
    w.elevation = store_[2].grid;
    w.fraction = &frac;
    w.codes = &codes;
    w.fractionOld = &frac;
    w.codesOld = &codes;
    w.massBalance = &mb;
    w.oldMassBalance = &old;
    w.firn = &firn;
    w.firnLevels = 3;
    w.nrows = 4;
    w.ncols = 5;
    w.cellSize = 1000;
    glacier::GlacierList list;
    list.scaling = {28.5, 1.36};
    list.numBands = 2;
    list.extraWeight = 1;
    ASSERT_FALSE(list.Build(w).found);
    list.Start(w);
    list.Balance(w, [](const std::string&) {});
    double before = 0, after = 0;
    ForOwn([&](int r, int c) {
        EXPECT_NEAR(G("GlacierizedCells")[r][c], frac[r][c], 1e-12) << r << "," << c;
        EXPECT_EQ(G("GlacierCodes")[r][c], codes[r][c]) << r << "," << c;
        before += glacier_test::kFraction[r - 1][c - 1];
        after += G("GlacierizedCells")[r][c];
    });
    double sums[2] = {before, after}, all[2] = {0, 0};
    MPI_Allreduce(sums, all, 2, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    EXPECT_LT(all[1], all[0]);
}

}  // namespace

namespace {

// With response units, the cells of a unit end the step with the snow and glacier states of
// its master cell: the energy-balance temperatures, the melt of firn and ice, every firn level
// and the glacier part's snow, whatever they held before. The master's own packs keep their
// water balance.
TEST_F(GlacierLoop, ResponseUnitsTakeTheSnowAndGlacierStatesOfTheirMaster) {
    // One unit per glacier row (1..3) over its glacier cells, the master the first of them.
    std::vector<HydrologicResponseUnit> units;
    const Matrix& master = PutRowResponseUnits(units, 3, [](int r, int c) { return F(r, c) > 0; });
    SectionOptions o;
    o.method = 5;
    GlacierOptions g;
    g.method = 11;
    auto snow = Ready(o, g);
    ASSERT_GE(snow->firn_levels, 1);
    const auto isMaster = [&](int r, int c) { return r <= 3 && master[r][c] != -9999; };
    ForOwn([&](int r, int c) {
        // Every cell starts apart from its master.
        snow->solid.data[r][c] = 10 + 3 * c;
        snow->liquid.data[r][c] = 0.1 * c;
        snow->solidG.data[r][c] = 20 + c;
        snow->liquidG.data[r][c] = 0.5;
        snow->snowTemp.data[r][c] = 265 + c;
        snow->surfTemp.data[r][c] = 260 + c;
        for (int l = 0; l <= snow->firn_levels; ++l) snow->firnStack[r][c][l] = 100.0 * (l + 1) + c;
    });
    Fill("temperature", 4);
    Fill("precipitation", 2);
    Fill("AspectCorrectedGlobalRadiation", 400);
    std::map<std::pair<int, int>, std::pair<double, double>> before;
    ForOwn([&](int r, int c) {
        before[Key(r, c)] = {snow->solid.data[r][c] + snow->liquid.data[r][c],
                             snow->solidG.data[r][c] + snow->liquidG.data[r][c]};
    });
    snow->run(12, 5, 7, 2020);
    int copies = 0;
    ForOwn([&](int r, int c) {
        if (isMaster(r, c)) {
            // The master is computed: its packs keep their balance and it melted firn or ice.
            const double cell = snow->solid.data[r][c] + snow->liquid.data[r][c];
            EXPECT_NEAR(2.0, cell - before[Key(r, c)].first + snow->outflow.data[r][c] + G("snow_evaporation")[r][c],
                        1e-9)
                << r << "," << c;
            const double glacierSnow = snow->solidG.data[r][c] + snow->liquidG.data[r][c];
            EXPECT_NEAR(2.0,
                        glacierSnow - before[Key(r, c)].second + snow->meltG.data[r][c] +
                            snow->evaporationG.data[r][c],
                        1e-9)
                << r << "," << c;
            return;
        }
        if (G("HydrologicResponseUnits")[r][c] < 1) return;
        ++copies;
        const int mr = units[static_cast<std::size_t>(r)].row, mc = units[static_cast<std::size_t>(r)].column;
        const auto same = [&](const char* what, double a, double b) {
            EXPECT_EQ(a, b) << what << " " << r << "," << c;
        };
        same("solid", snow->solid.data[r][c], snow->solid.data[mr][mc]);
        same("liquid", snow->liquid.data[r][c], snow->liquid.data[mr][mc]);
        same("snowtemp", snow->snowTemp.data[r][c], snow->snowTemp.data[mr][mc]);
        same("surftemp", snow->surfTemp.data[r][c], snow->surfTemp.data[mr][mc]);
        same("firn melt", snow->meltFirn.data[r][c], snow->meltFirn.data[mr][mc]);
        same("ice melt", snow->meltIce.data[r][c], snow->meltIce.data[mr][mc]);
        same("firn", snow->firn.data[r][c], snow->firn.data[mr][mc]);
        same("mass balance", snow->massBalance.data[r][c], snow->massBalance.data[mr][mc]);
        same("old mass balance", snow->oldMassBalance.data[r][c], snow->oldMassBalance.data[mr][mc]);
        same("glacier solid", snow->solidG.data[r][c], snow->solidG.data[mr][mc]);
        same("glacier liquid", snow->liquidG.data[r][c], snow->liquidG.data[mr][mc]);
        same("glacier total", snow->totalG.data[r][c], snow->totalG.data[mr][mc]);
        same("glacier melt", snow->meltG.data[r][c], snow->meltG.data[mr][mc]);
        same("glacier evaporation", snow->evaporationG.data[r][c], snow->evaporationG.data[mr][mc]);
        if (snow->surfTempG.index > 0)
            same("glacier surftemp", snow->surfTempG.data[r][c], snow->surfTempG.data[mr][mc]);
        if (snow->snowTempG.index > 0)
            same("glacier snowtemp", snow->snowTempG.data[r][c], snow->snowTempG.data[mr][mc]);
        // Each cell keeps its own levels, holding the master's values.
        EXPECT_NE(snow->firnStack[r][c], snow->firnStack[mr][mc]);
        for (int l = 0; l <= snow->firn_levels; ++l)
            same("firn level", snow->firnStack[r][c][l], snow->firnStack[mr][mc][l]);
    });
    // The copies really differ from where they started.
    ForOwn([&](int r, int c) {
        if (G("HydrologicResponseUnits")[r][c] >= 1 && !isMaster(r, c)) {
            EXPECT_NE(snow->snowTemp.data[r][c], 265.0 + c) << r << "," << c;
        }
    });
    if (settings_.firstRow <= 3 && settings_.lastRow >= 2) {
        EXPECT_GT(copies, 0);
    }
}

}  // namespace
