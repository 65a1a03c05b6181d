// The snow model's step over the cells: the water balance of every cell for every method, the
// two passes of long steps, the liquid water holding, snow age and albedo, and response units.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "setup/spinup.hpp"
#include "snow_test_domain.hpp"
#include "tables/landuse_entry.hpp"

namespace {

using snow_test::SectionOptions;

class SnowLoop : public snow_test::SnowDomain {
protected:
    std::unique_ptr<schneemodellklasse> Ready(const SectionOptions& o) {
        unsigned code = 9;
        auto snow = Make(o, &code);
        EXPECT_EQ(code, 0u) << console_.str();
        snow->LinkPrecipitation(false);
        return snow;
    }
    // The energy balance (method 5) at -5 degrees C under 300 W/m2, the albedo grid at 0.2.
    std::unique_ptr<schneemodellklasse> ColdEnergyBalance() {
        SectionOptions o;
        o.method = 5;
        auto snow = Ready(o);
        Fill("temperature", -5);
        Fill("AspectCorrectedGlobalRadiation", 300);
        Fill("albedo", 0.2);
        return snow;
    }
};

// Water input after deposition = change of solid and liquid storage + outflow + evaporation,
// for every cell, every method, hourly and daily, over three steps.
TEST_F(SnowLoop, EveryCellKeepsItsWaterBalance) {
    for (double step : {60.0, 1440.0}) {
        for (int method = 1; method <= 14; ++method) {
            SectionOptions o;
            o.method = method;
            o.timeStep = step;
            o.CWH = 0.05;
            auto snow = Ready(o);
            Matrix& T = G("temperature");
            Matrix& Tn = G("temperature_night");
            Matrix& P = G("precipitation");
            Matrix& E = G("snow_evaporation");
            ForOwn([&](int r, int c) {
                snow->solid.data[r][c] = (r * 7 + c * 3) % 5 == 0 ? 0.0 : 3.0 * r + c;
                snow->liquid.data[r][c] = (c % 2) * 0.8;
            });
            for (int s = 0; s < 3; ++s) {
                std::vector<double> before;
                ForOwn([&](int r, int c) {
                    T[r][c] = -6 + 2.5 * c - r + 2 * s;
                    Tn[r][c] = T[r][c] - 4;
                    P[r][c] = ((r + c + s) % 3) * 1.7;
                    E[r][c] = 0;
                    before.push_back(snow->solid.data[r][c] + snow->liquid.data[r][c]);
                });
                snow->run(24, 10 + s, 2, 2020);
                std::size_t k = 0;
                ForOwn([&](int r, int c) {
                    const double S = snow->solid.data[r][c], L = snow->liquid.data[r][c];
                    const double evaporation = snow::IsEnergyBalanceMethod(method) ? E[r][c] : 0.0;
                    const double change = S + L - before[k++];
                    EXPECT_NEAR(P[r][c], change + snow->outflow.data[r][c] + evaporation, 1e-9)
                        << "method " << method << " step " << step << " cell " << r << "," << c;
                    EXPECT_GE(S, 0.0);
                    EXPECT_GE(L, 0.0);
                    EXPECT_NEAR(snow->total.data[r][c], S + L, 1e-12);
                    EXPECT_NEAR(snow->snowFraction.data[r][c] + snow->rainFraction.data[r][c], P[r][c], 1e-9);
                });
            }
        }
    }
}

// A cell whose temperature, precipitation or (energy balance) humidity is nodata in a step (no
// valid station value) keeps its snow, and the precipitation it has passes as rain (none where the
// precipitation itself is missing); the other cells keep their balance.
TEST_F(SnowLoop, CellsWithoutMeteorologicalDataKeepTheirSnow) {
    for (int method = 1; method <= 14; ++method) {
        SectionOptions o;
        o.method = method;
        o.CWH = 0.05;
        auto snow = Ready(o);
        Fill("temperature", 2);
        Fill("precipitation", 1.5);
        Fill("air_humidity", 0.7);
        std::vector<std::pair<int, int>> cells;
        ForOwn([&](int r, int c) {
            snow->solid.data[r][c] = 4.0 + r;
            snow->liquid.data[r][c] = 0.1;
            snow->outflow.data[r][c] = snow->snowFraction.data[r][c] = 7;  // the step before's values
            cells.emplace_back(r, c);
        });
        // A process with few rows blanks as many inputs as it has cells (the others cover the rest;
        // every process must reach the run, which exchanges rows).
        const char* inputs[] = {"temperature", "precipitation", "air_humidity"};
        const int missing = std::min(snow::IsEnergyBalanceMethod(method) ? 3 : 2, static_cast<int>(cells.size()));
        for (int k = 0; k < missing; ++k) G(inputs[k])[cells[k].first][cells[k].second] = -9999;
        snow->run(12, 10, 2, 2020);
        for (std::size_t k = 0; k < cells.size(); ++k) {
            const auto [r, c] = cells[k];
            const double S = snow->solid.data[r][c], L = snow->liquid.data[r][c];
            const double E = snow::IsEnergyBalanceMethod(method) ? G("snow_evaporation")[r][c] : 0.0;
            if (k < static_cast<std::size_t>(missing)) {
                // Slides move snow after the cell loop whatever the weather.
                if (!snow::IsSlideMethod(method)) {
                    EXPECT_EQ(S, 4.0 + r) << "method " << method << " missing " << inputs[k];
                    EXPECT_EQ(L, 0.1) << "method " << method << " missing " << inputs[k];
                }
                const double passed = k == 1 ? 0.0 : 1.5;
                EXPECT_EQ(snow->outflow.data[r][c], passed) << "method " << method << " missing " << inputs[k];
                EXPECT_EQ(snow->rainFraction.data[r][c], passed) << method;
                EXPECT_EQ(snow->snowFraction.data[r][c], 0.0) << method;
                EXPECT_EQ(E, 0.0) << method;
            } else if (!snow::IsSlideMethod(method)) {
                // The input after deposition (written back to the grid).
                EXPECT_NEAR(G("precipitation")[r][c] + 4.0 + r + 0.1, S + L + snow->outflow.data[r][c] + E, 1e-9)
                    << method;
            }
        }
    }
}

TEST_F(SnowLoop, DepositionRaisesTheInputOncePerStep) {
    SectionOptions o;
    o.method = 10;
    o.timeStep = 1440;
    auto snow = Ready(o);
    Fill("temperature", -5);
    Fill("temperature_night", -5);
    Fill("precipitation", 10);
    snow->run(24, 1, 1, 2020);
    // Both passes split the original 10 mm: the input grows by the index once.
    ForOwn([&](int r, int c) {
        EXPECT_NEAR(G("precipitation")[r][c], 12, 1e-9);
        EXPECT_NEAR(snow->solid.data[r][c], 12, 1e-9);
    });
}

TEST_F(SnowLoop, DailyStepMeltsInTwoPasses) {
    SectionOptions o;
    o.timeStep = 1440;
    o.CWH = 0;
    auto snow = Ready(o);
    Fill("temperature", 5);
    Fill("temperature_night", 5);
    ForOwn([&](int r, int c) { snow->solid.data[r][c] = 100; });
    snow->run(24, 1, 6, 2020);
    ForOwn([&](int r, int c) {
        EXPECT_NEAR(snow->outflow.data[r][c], 15, 1e-9);
        EXPECT_NEAR(snow->meltOnly.data[r][c], 15, 1e-9);
        EXPECT_NEAR(snow->solid.data[r][c], 85, 1e-9);
    });
    // A cold night and a warm day melt only in the day share.
    Fill("temperature_night", -10);
    snow->run(24, 2, 6, 2020);
    const double dayShare = snow->dayFraction;
    ASSERT_GT(dayShare, 0.3);
    ASSERT_LT(dayShare, 1.0);
    ForOwn([&](int r, int c) { EXPECT_NEAR(snow->outflow.data[r][c], 15 * dayShare, 1e-9); });
}

TEST_F(SnowLoop, HalfDayStepsMakeOnePass) {
    SectionOptions o;
    o.timeStep = 720;
    o.CWH = 0;
    Drop("temperature_night");
    auto snow = Ready(o);
    Fill("temperature", 4);
    ForOwn([&](int r, int c) { snow->solid.data[r][c] = 100; });
    snow->run(12, 1, 6, 2020);
    ForOwn([&](int r, int c) { EXPECT_NEAR(snow->outflow.data[r][c], 3 * 4 / 2.0, 1e-9); });
}

TEST_F(SnowLoop, HoldingCapacityAndMeltLimit) {
    SectionOptions o;
    o.CWH = 0.1;
    auto snow = Ready(o);
    Fill("temperature", -5);
    ForOwn([&](int r, int c) {
        snow->solid.data[r][c] = 100;
        snow->liquid.data[r][c] = 15;
    });
    snow->run(1, 1, 1, 2020);
    ForOwn([&](int r, int c) {
        EXPECT_NEAR(snow->outflow.data[r][c], 5, 1e-9);
        EXPECT_NEAR(snow->liquid.data[r][c], 10, 1e-9);
        EXPECT_EQ(snow->meltOnly.data[r][c], 0.0);
    });
    // Melt beyond the solid storage moves only the storage.
    Fill("temperature", 10);
    ForOwn([&](int r, int c) {
        snow->solid.data[r][c] = 0.3;
        snow->liquid.data[r][c] = 0;
    });
    snow->run(2, 1, 1, 2020);
    ForOwn([&](int r, int c) {
        EXPECT_EQ(snow->solid.data[r][c], 0.0);
        EXPECT_NEAR(snow->outflow.data[r][c], 0.3, 1e-12);
    });
}

// A cover kept at its holding capacity (as the slides keep it: liquid and solid move in the same
// ratio) exceeds it by the rounding of its stores only: no water leaves it. Released, these 1e-16 mm
// carried the cover's whole tracer concentration into the flows below it. An excess of a
// thousandth of a millimetre still leaves.
TEST_F(SnowLoop, ACoverAtItsCapacityReleasesNoRounding) {
    SectionOptions o;
    o.CWH = 0.1;
    auto snow = Ready(o);
    Fill("temperature", -5);
    Fill("precipitation", 0);
    ForOwn([&](int r, int c) {
        const double S = 5.0 + 0.37 * r + 0.11 * c;
        snow->solid.data[r][c] = S;
        // Up to four units of the last digit above the capacity, or a real excess.
        snow->liquid.data[r][c] = (r + c) % 5 == 0 ? 0.1 * S + 1e-3 : 0.1 * S;
        for (int k = 0; k < (r + c) % 5; ++k)
            snow->liquid.data[r][c] = std::nextafter(snow->liquid.data[r][c], 1.0e9);
    });
    snow->run(19, 7, 1, 2020);
    ForOwn([&](int r, int c) {
        const double S = 5.0 + 0.37 * r + 0.11 * c;
        if ((r + c) % 5 == 0) {
            EXPECT_NEAR(snow->outflow.data[r][c], 1e-3, 1e-12) << r << "," << c;
            EXPECT_NEAR(snow->liquid.data[r][c], 0.1 * S, 1e-12) << r << "," << c;
        } else {
            EXPECT_EQ(snow->outflow.data[r][c], 0.0) << r << "," << c;
            EXPECT_NEAR(snow->solid.data[r][c] + snow->liquid.data[r][c], 1.1 * S, 1e-12) << r << "," << c;
        }
    });
}

TEST_F(SnowLoop, SnowAgeAndAlbedo) {
    auto snow = Ready(SectionOptions{});
    Fill("temperature", -5);
    ForOwn([&](int r, int c) {
        snow->solid.data[r][c] = 20;
        snow->snowAge.data[r][c] = 10 - 1.0 / 24;
    });
    snow->run(1, 1, 1, 2020);
    ForOwn([&](int r, int c) {
        EXPECT_NEAR(snow->snowAge.data[r][c], 10, 1e-12);
        EXPECT_NEAR(G("albedo")[r][c], 0.550597, 1e-6);
        EXPECT_NEAR(snow->daysSnow.data[r][c], 1.0 / 24, 1e-12);
    });
    // Above 0 degrees the snow ages faster.
    Fill("temperature", 1);
    ForOwn([&](int r, int c) { snow->snowAge.data[r][c] = 10 - 1.0 / 24; });
    snow->run(1, 2, 1, 2020);
    ForOwn([&](int r, int c) { EXPECT_NEAR(G("albedo")[r][c], 0.703265, 1e-6); });
    // Fresh snow over 1 mm on more than 5 mm resets the age.
    Fill("temperature", -5);
    Fill("precipitation", 2);
    snow->run(2, 1, 1, 2020);
    ForOwn([&](int r, int c) {
        EXPECT_EQ(snow->snowAge.data[r][c], 0.0);
        EXPECT_EQ(G("albedo")[r][c], 0.9);
    });
    // A thin cover shows the land use.
    Fill("precipitation", 0);
    Fill("albedo", 0.2);
    ForOwn([&](int r, int c) {
        snow->solid.data[r][c] = 2.5;
        snow->liquid.data[r][c] = 0;
    });
    snow->run(3, 1, 1, 2020);
    ForOwn([&](int r, int c) {
        EXPECT_EQ(G("albedo")[r][c], 0.2);
        EXPECT_EQ(snow->daysSnow.data[r][c], 0.0);
    });
}

TEST_F(SnowLoop, EnergyBalanceWithoutEvaporationGrid) {
    Drop("snow_evaporation");
    SectionOptions o;
    o.method = 5;
    auto snow = Ready(o);
    Fill("temperature", 3);
    ForOwn([&](int r, int c) { snow->solid.data[r][c] = 30; });
    snow->run(12, 1, 4, 2020);
    ForOwn([&](int r, int c) {
        EXPECT_GE(snow->solid.data[r][c], 0.0);
        EXPECT_LE(snow->solid.data[r][c] + snow->liquid.data[r][c] + snow->outflow.data[r][c], 30 + 1e-9);
        EXPECT_EQ(snow->surfTemp.data[r][c], 273.16);
    });
}

TEST_F(SnowLoop, LakeCellsTakeRainOnly) {
    Add("lake_codes", 1);
    Add("ponding_storage", 5);
    auto snow = Ready(SectionOptions{});
    submodel_test::WriteShared("test.ctl",
                               submodel_test::ControlFile(snow_test::SnowSection(SectionOptions{}),
                                                          "[lake_model]\n1 flow control\n1 init\n"));
    snow->ReadLakeModel("[lake_model]");
    Fill("temperature", -20);
    Fill("precipitation", 4);
    snow->run(1, 1, 1, 2020);
    ForOwn([&](int r, int c) {
        EXPECT_EQ(snow->solid.data[r][c], 0.0);
        EXPECT_NEAR(snow->outflow.data[r][c], 4, 1e-12);
    });
}

TEST_F(SnowLoop, ResponseUnitsCopyTheirMasterCells) {
    // One unit per row, its master the first basin cell of the row.
    std::vector<HydrologicResponseUnit> units;
    PutRowResponseUnits(units, 4, [](int, int) { return true; });
    auto snow = Ready(SectionOptions{});
    Fill("temperature", 2);
    ForOwn([&](int r, int c) { snow->solid.data[r][c] = 10 * c; });
    snow->run(1, 1, 3, 2020);
    ForOwn([&](int r, int c) {
        const int mc = units[static_cast<std::size_t>(r)].column;
        EXPECT_EQ(snow->solid.data[r][c], snow->solid.data[r][mc]);
        EXPECT_EQ(snow->outflow.data[r][c], snow->outflow.data[r][mc]);
        EXPECT_EQ(snow->total.data[r][c], snow->total.data[r][mc]);
        EXPECT_NEAR(snow->solid.data[r][mc], 10 * mc - 0.25, 1e-12);
    });
}

}  // namespace

namespace {

// The albedo before the step decides the short-wave gain of the energy balance: 2.5 mm of
// snow show the land use, 2.6 mm the aged snow.
TEST_F(SnowLoop, ThinCoversShowTheLandUseToTheEnergyBalance) {
    auto snow = ColdEnergyBalance();
    ForOwn([&](int r, int c) {
        snow->solid.data[r][c] = c % 2 == 1 ? 2.5 : 2.6;
        snow->snowAge.data[r][c] = 3;
    });
    snow->run(12, 1, 3, 2020);
    snow::SnowParameters p;
    p.method = 5;
    p.transzone = 1;
    p.timeStep = 60;
    p.stepsPerDay = 24;
    ForOwn([&](int r, int c) {
        snow::CellInput in;
        in.T = -5;
        in.wind = 2;
        in.humidity = 0.7;
        in.cloudiness = 0.4;
        in.radiation = 300;
        in.elevation = 1500;
        in.albedo = c % 2 == 1 ? 0.2 : 0.4 + 0.5 * std::exp(-0.12 * 3);
        snow::CellState st;
        st.S = c % 2 == 1 ? 2.5 : 2.6;
        st.Tp = st.Ts = -9999;
        snow::SnowCellStep(p, in, st);
        EXPECT_DOUBLE_EQ(snow->surfTemp.data[r][c], st.Ts) << r << "," << c;
        EXPECT_DOUBLE_EQ(snow->snowTemp.data[r][c], st.Tp) << r << "," << c;
    });
}

// With a land-use table a thin cover shows the table's albedo at the step's date and the cell's
// altitude, before the melt (to the energy balance) and after it; a cell without a valid land
// use keeps the albedo the grid holds at the time, the snow's after a thick start.
TEST_F(SnowLoop, TheLandUseTableGivesTheAlbedoOfThinCovers) {
    std::vector<landuse_entry> table(2, landuse_entry{});
    table[0] = landuse_entry(1);
    table[1].ParseLanduseBlock(
        *log_,
        "1 field method = VariableDayCount { RootDist = 1; TReduWet = 0.9; HReduDry = 3; JulDays = 1 200;\n"
        " Albedo = 0.15 0.35; rsc = 60 60; LAI = 2 2; Z0 = 0.05 0.05; VCF = 0.8 0.8; RootDepth = 0.5 0.5;\n"
        " AltDep = 0 0.02; }",
        "VariableDayCount");
    settings_.landuseTable = table.data();
    auto snow = ColdEnergyBalance();
    // Column 5 has no valid land use; columns 1 and 2 start thin, 3 to 5 thick but end thin.
    ForOwn([&](int r, int c) {
        G("landuse1")[r][c] = c == 5 ? 0 : 1;
        G("[elevation]")[r][c] = 1000 + 100 * r + 150 * c;
        snow->solid.data[r][c] = c <= 2 ? 2.0 : 2.6;
        snow->snowAge.data[r][c] = 3;
    });
    snow->run(12, 1, 3, 2020);
    snow::SnowParameters p;
    p.method = 5;
    p.transzone = 1;
    p.timeStep = 60;
    p.stepsPerDay = 24;
    const double aged = 0.4 + 0.5 * std::exp(-0.12 * 3);
    ForOwn([&](int r, int c) {
        const double land = c == 5 ? 0.2 : table[1].AlbedoAtDate(*log_, 1, 3, 2020, 1, r, c, G("[elevation]")[r][c]);
        snow::CellInput in;
        in.T = -5;
        in.wind = 2;
        in.humidity = 0.7;
        in.cloudiness = 0.4;
        in.radiation = 300;
        in.elevation = G("[elevation]")[r][c];
        in.albedo = c <= 2 ? land : aged;
        snow::CellState st;
        st.S = c <= 2 ? 2.0 : 2.6;
        st.Tp = st.Ts = -9999;
        snow::SnowCellStep(p, in, st);
        EXPECT_DOUBLE_EQ(snow->surfTemp.data[r][c], st.Ts) << r << "," << c;
        // Every cover ends at 5 mm or less: the land use's albedo, or the grid's at the time.
        EXPECT_EQ(G("albedo")[r][c], c == 5 ? aged : land) << r << "," << c;
    });
    // The table's albedo differs between the cells (altitude) and from the grid's.
    if (settings_.firstRow <= settings_.lastRow) {
        const int r = settings_.firstRow;
        EXPECT_NE(G("albedo")[r][1], G("albedo")[r][2]);
        EXPECT_NE(G("albedo")[r][1], 0.2);
    }
}

}  // namespace

namespace {

// Below the melt threshold the pack exchanges vapour with the air by the latent heat of its
// surface: dry air takes snow away (sublimation, a positive evaporation), moist air over a pack
// that radiation has cooled below the air adds hoar frost (a negative evaporation); either way
// the pack changes by exactly what the evaporation grid reports.
TEST_F(SnowLoop, ColdPackSublimatesIntoDryAirAndGainsFrostFromMoistAir) {
    for (const double humidity : {0.1, 1.0}) {
        SectionOptions o;
        o.method = 5;
        auto snow = Ready(o);
        Fill("temperature", -5);
        Fill("precipitation", 0);
        Fill("AspectCorrectedGlobalRadiation", 0);
        Fill("air_humidity", humidity);
        ForOwn([&](int r, int c) {
            snow->solid.data[r][c] = 30;
            snow->liquid.data[r][c] = 0;
        });
        snow->run(1, 10, 1, 2020);
        ForOwn([&](int r, int c) {
            const double E = G("snow_evaporation")[r][c];
            if (humidity < 0.5)
                EXPECT_GT(E, 0.0) << r << " " << c;
            else
                EXPECT_LT(E, 0.0) << r << " " << c;
            EXPECT_NEAR(snow->solid.data[r][c] + snow->liquid.data[r][c], 30 - E, 1e-12) << humidity;
            EXPECT_EQ(snow->outflow.data[r][c], 0.0);
        });
    }
}

}  // namespace
