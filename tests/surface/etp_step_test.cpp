// The potential-evapotranspiration step on the test domain: clear-sky radiation against
// published extraterrestrial values, the methods through the cell loop, the radiation
// correction, night steps, empty middle layers and the temperature amplitude of daily steps.
#include <gtest/gtest.h>

#include <mpi.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>
#include <tuple>
#include <utility>
#include <vector>

#include "etp_fixture.hpp"
#include "setup/spinup.hpp"
#include "tables/multilayer_landuse.hpp"

using namespace etp_test;

namespace {

class EtpStepTest : public EtpTest {
protected:
    // A multilayer table of one entry with n layers (k 0.3, LAI_scale 10).
    void Layers(int n) {
        table_.assign(2, multilayer_landuse_entry{});
        table_[0].code = 1;
        table_[1].layerCount = n;
        settings_.multilayerTable = table_.data();
    }
    // The vegetation grids of layer i (LAI, cover, rsc, rsi, z0).
    void PutLayer(int i, double lai, double vcf = 0.9) {
        const std::string n = std::to_string(i);
        Put("landuse" + n, 1);
        Put("leaf_area_index" + n, lai);
        Put("root_depth" + n, 0.5);
        Put("vegetation_coverage_degree" + n, vcf);
        Put("SurfaceCanopyResistance" + n, 70);
        Put("SurfaceIntercepResistance" + n, 0);
        Put("RoughnessLength" + n, 0.1);
    }
    // The standard inputs at half sunshine under two layers of one land use (LAI 3 above 1).
    void TwoLayersInHalfSunshine() {
        PutStandardInputs(1);
        Put("sunshine_duration", 0.5);
        Put("landuse", 1);
        Layers(2);
        PutLayer(1, 3.0);
        PutLayer(2, 1.0);
    }
    std::vector<multilayer_landuse_entry> table_;
};

}  // namespace

TEST_F(EtpStepTest, ClearSkySumMatchesPublishedExtraterrestrialRadiation) {
    PutStandardInputs(3);
    Put("sunshine_duration", 1.0);
    struct Case {
        double latitude;
        int day, month;
        double megajoules;  // published Ra divided by the eccentricity factor
    } cases[] = {{-20.0, 3, 9, 32.72}, {50.8, 6, 7, 42.56}};
    for (const Case& k : cases) {
        settings_.latitude = k.latitude;
        settings_.longitude = settings_.meridian = 15.0;
        Section s;
        s.method = 3;
        s.step = 1440;
        s.tau = "1 0";
        auto m = Make(s);
        m->PotentialEvapotranspirationStep(24, k.day, k.month, 2020);
        ForOwnCells([&](int r, int c) {
            const double mj = m->correctedRadiation[r][c] * 3600 / 1e6;
            EXPECT_LE(std::fabs(mj - k.megajoules) / k.megajoules, 0.005) << k.latitude << ": " << mj;
        });
        m.reset();
    }
}

TEST_F(EtpStepTest, EmpiricalMethodsThroughTheCellLoop) {
    PutStandardInputs(4, 20);
    settings_.latitude = 47.5;
    Section s;
    s.step = 1440;
    for (int method : {2, 3, 4}) {
        s.method = method;
        if (method == 3) Put("sunshine_duration", 0.5);
        auto m = Make(s);
        m->PotentialEvapotranspirationStep(24, 15, 6, 2020);
        ForOwnCells([&](int r, int c) {
            double expected = 0;
            if (method == 2) expected = evaporation::Hamon(20, 1.0, m->dayFraction);
            if (method == 3) expected = evaporation::Wendling(m->correctedRadiation[r][c], 0.2, 1.0, 20);
            if (method == 4) expected = evaporation::Haude(20, true, 0.5, 0, 0.26);
            EXPECT_NEAR(m->etp[0][r][c], expected, 1e-12) << method;
            EXPECT_EQ(m->eip[0][r][c], m->etp[0][r][c]);
            EXPECT_EQ(m->etp[1][r][c], m->etp[0][r][c]);
            EXPECT_EQ(m->etr[0][r][c], 0.0);
            // Methods 2 and 4 see no sun: cloudiness 0.5, no corrected radiation.
            if (method != 3) {
                EXPECT_EQ(m->cloudiness[r][c], 0.5);
                EXPECT_EQ(m->correctedRadiation[r][c], 0.0);
            } else {
                EXPECT_GT(m->correctedRadiation[r][c], 1000.0);
            }
        });
        m.reset();
    }
    EXPECT_NEAR(evaporation::Haude(20, true, 0.5, 0, 0.26), 3.031383, 1e-6);
}

TEST_F(EtpStepTest, HourlyPenmanMonteithByDayAndByNight) {
    PutStandardInputs(1);
    Matrix& rg = Put("global_radiation", 500);
    Matrix correction;
    {
        memory_handling mh;
        correction = mh.matrix(1, 4, 1, 5, 4);
        correction.fill(1.2);
    }
    settings_.latitude = 47.5;
    auto m = Make(Section{});
    EXPECT_EQ(m->SetCorrectionGrid(&correction), 1);
    m->PotentialEvapotranspirationStep(13, 15, 6, 2020);
    ForOwnCells([&](int r, int c) {
        const double s = (*m->ssdTemp)[r][c];  // the first lit step after a night starts the sum at 0
        EXPECT_GE(s, 0.0);
        // The corrected radiation goes back into the input.
        EXPECT_NEAR(rg[r][c], 500 * ((1 - 0.2) * s * 0.2 + 1), 1e-9);
        EXPECT_EQ(m->correctedRadiation[r][c], rg[r][c]);
        EXPECT_GT(m->etp[1][r][c], 0.0);
        EXPECT_NEAR(m->etp[0][r][c], m->etp[1][r][c] + m->potEvaporation[r][c], 1e-12);
        EXPECT_EQ(m->eip[0][r][c], m->eip[1][r][c]);
        EXPECT_GE(m->cloudiness[r][c], 0.0);
        EXPECT_LE(m->cloudiness[r][c], 1.0);
    });
    // Midnight: no sun, cloudiness 0.5, no radiation.
    m->PotentialEvapotranspirationStep(1, 16, 6, 2020);
    ForOwnCells([&](int r, int c) {
        EXPECT_EQ(m->cloudiness[r][c], 0.5);
        EXPECT_EQ(m->correctedRadiation[r][c], 0.0);
        EXPECT_GE(m->etp[1][r][c], 0.0);
    });
    // Cells outside the basin hold nodata.
    if (settings_.firstRow == 1) {
        EXPECT_EQ(m->etp[0][1][1], -9999.0);
    }
}

TEST_F(EtpStepTest, AFractionalTimeShiftPlacesTheSunAsTheHourOffsetDoes) {
    // Half an hour of shift and half an hour from the data hour to the step end put the sun at
    // the same place: the same daylight fraction and the same clear-sky radiation, in the step
    // of sunrise and in a step of full daylight.
    PutStandardInputs(1);
    Put("sunshine_duration", 1.0);
    settings_.latitude = 47.5;
    settings_.longitude = settings_.meridian = 15.0;
    struct Run {
        double fday = 0;
        std::vector<double> radiation;
    };
    const auto run = [&](double shift, double minutesToEnd) {
        settings_.timeShift = shift;
        settings_.minToIntEnd = minutesToEnd;
        auto m = Make(Section{});
        m->PotentialEvapotranspirationStep(5, 15, 6, 2020);
        Run r;
        r.fday = m->dayFraction;
        ForOwnCells([&](int row, int c) { r.radiation.push_back(m->correctedRadiation[row][c]); });
        return r;
    };
    for (double whole : {0.0, 2.0}) {
        const Run shifted = run(whole + 0.5, 0), offset = run(whole, 30), plain = run(whole, 0);
        EXPECT_EQ(shifted.fday, offset.fday) << whole;
        if (whole == 0) {
            EXPECT_NE(shifted.fday, plain.fday);  // the step of sunrise
        }
        EXPECT_EQ(shifted.radiation, offset.radiation) << whole;
        EXPECT_NE(shifted.radiation, plain.radiation) << whole;
    }
}

TEST_F(EtpStepTest, SunshineDayMeanOfHourlySteps) {
    PutStandardInputs(1);
    Matrix& ssd = Put("sunshine_duration", 0.0);
    settings_.latitude = 47.5;
    auto m = Make(Section{});
    // A day of hourly steps with sunshine 0.2 .. 0.8: at night the grid holds the day mean.
    double sum = 0;
    int lit = 0;
    for (int h = 1; h <= 24; ++h) {
        const double s = 0.2 + 0.6 * (h % 4) / 3.0;
        ssd.fill(s);
        m->PotentialEvapotranspirationStep(h, 15, 6, 2020);
        if (m->dayFraction > 0.05) {
            sum += s;
            ++lit;
        }
    }
    ASSERT_GT(lit, 10);
    ForOwnCells([&](int r, int c) { EXPECT_NEAR((*m->ssdTemp)[r][c], sum / lit, 1e-12); });
}

TEST_F(EtpStepTest, ARunStartedFromTheCarriedSunshineMeanContinuesTheDay) {
    // Two June days of hourly steps in one run, and split after noon (in daylight) and after
    // midnight: the second part takes "SSDTemp" from the grid store, as a warm start reads the
    // standard grid the first part wrote, and computes every step what the one run computes.
    PutStandardInputs(1);
    Matrix& ssd = Put("sunshine_duration", 0.0);
    settings_.latitude = 47.5;
    auto step = [&](verdunstungsmodellklasse& m, int day, int h, std::vector<double>& out) {
        ssd.fill(0.2 + 0.6 * ((h + day) % 4) / 3.0);
        m.PotentialEvapotranspirationStep(h, day, 6, 2020);
        ForOwnCells([&](int r, int c) { out.insert(out.end(), {m.etp[0][r][c], (*m.ssdTemp)[r][c]}); });
    };
    for (int split : {12, 24}) {
        std::vector<double> whole, carried, resumed, ignored;
        {
            auto m = Make(Section{});
            for (int d = 15; d <= 16; ++d)
                for (int h = 1; h <= 24; ++h) {
                    step(*m, d, h, d == 15 && h <= split ? ignored : whole);
                    if (d == 15 && h == split) ForOwnCells([&](int r, int c) { carried.push_back((*m->ssdTemp)[r][c]); });
                }
        }
        Matrix& given = Put("SSDTemp", 0.5);
        std::size_t i = 0;
        ForOwnCells([&](int r, int c) { given[r][c] = carried[i++]; });
        auto m = Make(Section{});
        EXPECT_EQ(m->ssdTemp, &given);
        for (int d = 15; d <= 16; ++d)
            for (int h = d == 15 ? split + 1 : 1; h <= 24; ++h) step(*m, d, h, resumed);
        ASSERT_EQ(resumed.size(), whole.size());
        for (std::size_t k = 0; k < whole.size(); ++k) ASSERT_EQ(resumed[k], whole[k]) << split << " " << k;
        Hide("SSDTemp");
    }
}

TEST_F(EtpStepTest, AnEmptyMiddleLayerIsSkipped) {
    // Three layers with an empty middle one give what the same two layers give without it.
    settings_.latitude = 47.5;
    Put("temperature", 15);
    Put("[elevation_model]", 500);
    Put("albedo", 0.2);
    Put("wind_speed", 2);
    Put("air_humidity", 0.6);
    Put("SurfaceEvaporationResistance", 250);
    Put("sunshine_duration", 0.5);
    Put("landuse", 1);
    Layers(2);
    PutLayer(1, 3.0);
    PutLayer(2, 1.0);
    auto two = Make(Section{});
    two->PotentialEvapotranspirationStep(13, 15, 6, 2020);

    Layers(3);
    Put("landuse3", 1);
    for (const std::string n : {"leaf_area_index", "root_depth", "vegetation_coverage_degree",
                                "SurfaceCanopyResistance", "SurfaceIntercepResistance", "RoughnessLength"})
        Put(n + "3", Grid(n + "2")[settings_.firstRow][2]);
    Grid("landuse2").fill(-9999);
    Grid("leaf_area_index2").fill(-9999);
    auto three = Make(Section{});
    three->PotentialEvapotranspirationStep(13, 15, 6, 2020);
    ForOwnCells([&](int r, int c) {
        EXPECT_EQ(three->etp[2][r][c], 0.0);
        EXPECT_EQ(three->eip[2][r][c], 0.0);
        EXPECT_NEAR(three->etp[1][r][c], two->etp[1][r][c], 1e-12);
        EXPECT_NEAR(three->etp[3][r][c], two->etp[2][r][c], 1e-12);
        EXPECT_NEAR(three->potEvaporation[r][c], two->potEvaporation[r][c], 1e-12);
        EXPECT_NEAR(three->etp[0][r][c], two->etp[0][r][c], 1e-12);
        // The soil evaporation counts once in the total.
        EXPECT_NEAR(three->etp[0][r][c], three->etp[1][r][c] + three->etp[3][r][c] + three->potEvaporation[r][c],
                    1e-12);
    });
}

TEST_F(EtpStepTest, DailyStepsAddTheAmplitudeToAFreshTemperature) {
    PutStandardInputs(1);
    Put("sunshine_duration", 0.5);
    Matrix& night = Put("temperature_night", 5);
    Matrix& T = Grid("temperature");
    Section s;
    s.step = 1440;
    s.fdv = "0.6 0.0";
    auto m = Make(s);
    // r = 0.2 + 0.8·0.5; Ac = A·exp(-z/H)·r.
    const double ac = 8 * std::exp(-500.0 / 1000.0) * 0.6;
    // The temperature is renewed every third step only; every step must start from it.
    for (int step = 0; step < 6; ++step) {
        const double fresh = 15 + step / 3;
        if (step % 3 == 0) {
            T.fill(fresh);
            night.fill(fresh - 10);
        }
        m->PotentialEvapotranspirationStep(24, 10 + step, 6, 2020);
        ForOwnCells([&](int r, int c) {
            EXPECT_NEAR(T[r][c], fresh + 0.6 * ac, 1e-12) << step;
            EXPECT_NEAR(night[r][c], fresh - 10 - 0.4 * ac, 1e-12) << step;
        });
    }
}

TEST_F(EtpStepTest, MonthlyValuesAreInterpolatedAcrossTheMonthsAndTheTurnOfTheYear) {
    // Monthly values equal to the month's number: the Hamon factor of a daily step lies on the
    // line from mid-month to mid-month (the first half of a month towards the month before, the
    // second half towards the month after, December and January joined), and so does the
    // temperature amplitude of a daily Penman-Monteith step.
    struct Day {
        int day, month;
        double pec, amplitude;
    };
    const Day days[] = {
        {5, 1, 12 + (5 + 15.0) / 30 * (1 - 12), 12 + (5 + 15.5) / 30.5 * (1 - 12)},
        {20, 4, 4 + (20 - 16.0) / 30, 4 + (20 - 16.0) / 29},
        {25, 12, 12 + (25 - 16.0) / 31 * (1 - 12), 12 + (25 - 16.0) / 30 * (1 - 12)},
        {15, 6, 6, 6},
        {16, 2, 2, 2},
    };
    PutStandardInputs(2, 20);
    settings_.latitude = 47.5;
    Section s;
    s.step = 1440;
    s.method = 2;
    s.pec = "1 2 3 4 5 6 7 8 9 10 11 12";
    auto hamon = Make(s);
    for (const Day& d : days) {
        hamon->PotentialEvapotranspirationStep(24, d.day, d.month, 2021);
        const double want = evaporation::Hamon(20, d.pec, hamon->dayFraction);
        ASSERT_GT(want, 0.0);
        ForOwnCells([&](int r, int c) { EXPECT_NEAR(hamon->etp[0][r][c], want, 1e-12) << d.day << "." << d.month; });
    }
    hamon.reset();

    PutStandardInputs(1);
    Put("sunshine_duration", 0.5);
    Matrix& night = Put("temperature_night", 5);
    Matrix& T = Grid("temperature");
    s = Section{};
    s.step = 1440;
    s.fdv = "0.6 0.0";
    for (int m = 1; m <= 12; ++m) s.amplitudes.push_back(m);
    auto pm = Make(s);
    for (const Day& d : days) {
        T.fill(15);
        night.fill(5);
        pm->PotentialEvapotranspirationStep(24, d.day, d.month, 2021);
        // r = 0.2 + 0.8·0.5; Ac = A·exp(-z/H)·r.
        const double ac = d.amplitude * std::exp(-500.0 / 1000.0) * 0.6;
        ForOwnCells([&](int r, int c) {
            EXPECT_NEAR(T[r][c], 15 + 0.6 * ac, 1e-12) << d.day << "." << d.month;
            EXPECT_NEAR(night[r][c], 5 - 0.4 * ac, 1e-12) << d.day << "." << d.month;
        });
    }
}

TEST_F(EtpStepTest, NetRadiationOfADailyStepIsCountedOnce) {
    PutStandardInputs(1);
    Put("net_radiation", 3000);
    Put("temperature_night", 15);
    Grid("leaf_area_index1").fill(0);
    Grid("SurfaceCanopyResistance1").fill(0);
    Grid("air_humidity").fill(1.0);  // no vapour deficit: evaporation is the energy term alone
    Section s;
    s.step = 1440;
    s.amplitude = 0;
    auto m = Make(s);
    m->PotentialEvapotranspirationStep(24, 15, 6, 2020);
    const double ratio = evaporation::VapourPressureSlope(15) /
                         evaporation::PsychrometricConstant(evaporation::BarometricPressure(500, 15), 15);
    const double energy = 3000 / evaporation::LatentHeat(15);
    ForOwnCells([&](int r, int c) {
        // Bare soil with rse 250: the soil takes the whole net radiation of the day once.
        EXPECT_NEAR(m->potEvaporation[r][c], ratio * energy / (ratio + 1 + 250 / 63.7022), 1e-6);
    });
}

TEST_F(EtpStepTest, EachPartOfADailyStepTakesTheAirAtItsOwnTemperature) {
    // Bare soil without vapour deficit under a given net radiation: each part evaporates its
    // share of the radiation with the air terms of its temperature. Night and day at 15 °C in
    // columns 1 and 2, night at 5 °C elsewhere.
    PutStandardInputs(1);
    Put("net_radiation", 3000);
    Matrix& night = Put("temperature_night", 15);
    for (int r = 1; r <= 4; ++r)
        for (int c = 3; c <= 5; ++c) night[r][c] = 5;
    Grid("leaf_area_index1").fill(0);
    Grid("SurfaceCanopyResistance1").fill(0);
    Grid("air_humidity").fill(1.0);
    Section s;
    s.step = 1440;
    s.amplitude = 0;
    auto m = Make(s);
    m->PotentialEvapotranspirationStep(24, 15, 6, 2020);
    const auto share = [](double T) {
        using namespace evaporation;
        const double ratio = VapourPressureSlope(T) / PsychrometricConstant(BarometricPressure(500, T), T);
        return ratio * 3000 / LatentHeat(T) / (ratio + 1 + 250 / 63.7022);
    };
    ASSERT_GT(m->nightFraction, 0.1);
    ASSERT_GT(m->dayFraction, 0.1);
    ForOwnCells([&](int r, int c) {
        const double want = m->nightFraction * share(c <= 2 ? 15 : 5) + m->dayFraction * share(15);
        EXPECT_NEAR(m->potEvaporation[r][c], want, 1e-6) << r << "," << c;
    });
}

TEST_F(EtpStepTest, StepsLongerThanADayKeepTwentyFourSubSteps) {
    PutStandardInputs(3);
    Put("sunshine_duration", 1.0);
    settings_.latitude = 60.0;
    Section s;
    s.method = 3;
    s.step = 2880;
    auto m = Make(s);
    m->PotentialEvapotranspirationStep(24, 21, 6, 2020);
    EXPECT_GT(m->timeInterval / 60.0 * m->dayFraction, 24.0);  // more daylight hours than sub-steps
    ForOwnCells([&](int r, int c) {
        const double rg = m->correctedRadiation[r][c];
        EXPECT_TRUE(rg >= 0.0 && rg <= 1260.0 * 48 * m->dayFraction) << rg;
        EXPECT_GE(m->etp[0][r][c], 0.0);
    });
    EXPECT_TRUE(Logged("pot. evaptranspir. 21.6.2020 24. h (time of meteo data)"));
}

TEST_F(EtpStepTest, ResponseUnitsCopyTheirMasterCell) {
    // One unit per row; its master is the row's first basin cell. The temperature differs
    // from column to column, so only the copy makes the row's values equal.
    std::vector<HydrologicResponseUnit> units;
    PutRowResponseUnits(units);
    PutStandardInputs(1);
    Put("sunshine_duration", 0.5);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) Grid("temperature")[r][c] = 10 + 2 * c;
    auto m = Make(Section{});
    m->PotentialEvapotranspirationStep(13, 15, 6, 2020);
    ForOwnCells([&](int r, int c) {
        const int mc = units[static_cast<std::size_t>(r)].column;
        for (const Matrix* g : {&m->etp[0], &m->etp[1], &m->eip[0], &m->potEvaporation, &m->cloudiness})
            EXPECT_EQ((*g)[r][c], (*g)[r][mc]) << r << "," << c;
    });
}

TEST_F(EtpStepTest, ZoneMeansOfResponseUnitsCountTheCopiedValues) {
    // One unit per row, its master the row's last basin cell (the copies are made as the row's
    // cells are added): each zone's mean must be that of the values after the copy.
    settings_.spinUpSwitch = 1;
    std::vector<HydrologicResponseUnit> units(5);
    Matrix& unit = Put("HydrologicResponseUnits", 0);
    Matrix& master = Put("MasterHydrologicResponseUnits", -9999);
    for (int r = 1; r <= 4; ++r) {
        int last = 0;
        for (int c = 1; c <= 5; ++c) {
            unit[r][c] = r;
            if (submodel_test::kZones[r - 1][c - 1] != -9999) last = c;
        }
        units[static_cast<std::size_t>(r)].row = r;
        units[static_cast<std::size_t>(r)].column = last;
        master[r][last] = 1;
    }
    settings_.responseUnits = &units;
    PutStandardInputs(1);
    Matrix& sunshine = Put("sunshine_duration", 0);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            Grid("temperature")[r][c] = 10 + 2 * c + r;
            sunshine[r][c] = 0.1 * c;
        }
    Section s;
    s.etpStat = "etp.stat 2001";
    s.rgexStat = "rgex.stat 2001";
    s.cloudLine = "cloud.stat 2001";
    auto m = Make(s);
    m->PotentialEvapotranspirationStep(13, 15, 6, 2020);
    m->FlushStatistics();
    const auto one = [](int, int) { return 1.0; };
    const auto copied = [&](const Matrix& g) {
        return [&](int r, int) { return g[r][units[static_cast<std::size_t>(r)].column]; };
    };
    ExpectLastZoneMeans("etp.stat", copied(m->etp[0]), one, 5.1e-6);
    ExpectLastZoneMeans("rgex.stat", copied(m->correctedRadiation), one, 5.1e-3);
    ExpectLastZoneMeans("cloud.stat", copied(m->cloudiness), one, 5.1e-3);
}

TEST_F(EtpStepTest, ZoneMeansOfTheStepTakeEveryOwnCellOnce) {
    // Temperature and wind differ from cell to cell, so each zone's mean of the potential
    // evapotranspiration and of the cloudiness depends on every one of its cells; by day and by
    // night the tables must hold the means of the grids over all processes' own cells.
    PutStandardInputs(1);
    Put("sunshine_duration", 0.5);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            Grid("temperature")[r][c] = 8 + r + 3 * c;
            Grid("wind_speed")[r][c] = 1 + 0.5 * r;
            Grid("sunshine_duration")[r][c] = 0.1 * (r + c);
        }
    Section s;
    s.etpStat = "etp.stat 2001";
    s.cloudLine = "cloud.stat 2001";
    auto m = Make(s);
    const struct {
        std::int64_t hour, day;
    } steps[] = {{13, 15}, {1, 16}, {14, 16}};
    for (const auto& step : steps) {
        m->PotentialEvapotranspirationStep(step.hour, step.day, 6, 2020);
        // Sums and counts per zone position (1..3) and the basin (0), etp then cloudiness.
        std::vector<double> sums(12, 0.0), all(12, 0.0);
        ForOwnCells([&](int r, int c) {
            const double code = submodel_test::kZones[r - 1][c - 1];
            const int zone = code == 3 ? 1 : code == 5 ? 2 : 3;
            for (int z : {0, zone}) {
                sums[static_cast<std::size_t>(z)] += m->etp[0][r][c];
                sums[static_cast<std::size_t>(4 + z)] += m->cloudiness[r][c];
                sums[static_cast<std::size_t>(8 + z)] += 1;
            }
        });
        MPI_Allreduce(sums.data(), all.data(), 12, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        m->FlushStatistics();
        if (talvo_test::Rank() != 0) continue;
        for (const auto& [file, offset, rounding] : {std::tuple{"etp.stat", 0, 5.1e-6}, std::tuple{"cloud.stat", 4, 5.1e-3}}) {
            const std::vector<double> v = LastRowOf(file);
            ASSERT_EQ(v.size(), 8u) << file;
            EXPECT_EQ(v[3], static_cast<double>(step.hour)) << file;
            for (int z = 1; z <= 4; ++z) {
                const std::size_t k = static_cast<std::size_t>(z % 4);
                const double mean = all[static_cast<std::size_t>(offset) + k] / all[8 + k];
                EXPECT_NEAR(v[static_cast<std::size_t>(3 + z)], mean, rounding) << file << " column " << z;
            }
        }
    }
}

TEST_F(EtpStepTest, EveryStatisticOfTheStepHoldsTheMeanOfItsOwnGrid) {
    // All statistics of the potential step at once, two layers each: every table must hold the
    // basin mean of its own grid over all processes' cells, none another statistic's values.
    TwoLayersInHalfSunshine();
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            Grid("temperature")[r][c] = 6 + 2 * r + c;
            Grid("sunshine_duration")[r][c] = 0.1 * (r + c);
            Grid("SurfaceIntercepResistance1")[r][c] = 10.0 * c;
        }
    Section s;
    s.etpStat = "etp.stat 1001";
    s.eipStat = "eip.stat 1001";
    s.evapStat = "evap.stat 1001";
    s.rgexStat = "rgex.stat 1001";
    s.cloudLine = "cloud.stat 1001";
    auto m = Make(s);
    const struct {
        const char* file;
        const Matrix* grid;
        double rounding;
    } tables[] = {{"etp.stat", &m->etp[0], 5.1e-6},         {"etp_Layer_1.stat", &m->etp[1], 5.1e-6},
                  {"etp_Layer_2.stat", &m->etp[2], 5.1e-6}, {"eip.stat", &m->eip[0], 5.1e-6},
                  {"eip_Layer_1.stat", &m->eip[1], 5.1e-6}, {"eip_Layer_2.stat", &m->eip[2], 5.1e-6},
                  {"evap.stat", &m->potEvaporation, 5.1e-6}, {"rgex.stat", &m->correctedRadiation, 5.1e-3},
                  {"cloud.stat", &m->cloudiness, 5.1e-3}};
    for (const std::int64_t hour : {13, 1}) {
        m->PotentialEvapotranspirationStep(hour, 15, 6, 2020);
        std::vector<double> sums(std::size(tables) + 1, 0.0), all(sums.size(), 0.0);
        ForOwnCells([&](int r, int c) {
            for (std::size_t k = 0; k < std::size(tables); ++k) sums[k] += (*tables[k].grid)[r][c];
            sums.back() += 1;
        });
        MPI_Allreduce(sums.data(), all.data(), static_cast<int>(sums.size()), MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        m->FlushStatistics();
        if (talvo_test::Rank() != 0) continue;
        for (std::size_t k = 0; k < std::size(tables); ++k) {
            const std::vector<double> v = LastRowOf(tables[k].file);
            ASSERT_EQ(v.size(), 5u) << tables[k].file;
            EXPECT_EQ(v[3], static_cast<double>(hour)) << tables[k].file;
            EXPECT_NEAR(v[4], all[k] / all.back(), tables[k].rounding) << tables[k].file << " at " << hour << " h";
        }
    }
}

TEST_F(EtpStepTest, ZoneMeansOfTheStepWeighTheCellArea) {
    // Cells of different areas and values, two layers: each zone's mean of a layer, of the
    // whole, of the soil evaporation and of the cloudiness weighs every own cell by its area.
    TwoLayersInHalfSunshine();
    Matrix& area = Put("RelCellArea", 0);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            area[r][c] = 0.25 * (r + 2 * c);
            Grid("temperature")[r][c] = 6 + 2 * r + c;
            Grid("sunshine_duration")[r][c] = 0.1 * (r + c);
        }
    Section s;
    s.etpStat = "etp.stat 2001";
    s.eipStat = "eip.stat 2001";
    s.evapStat = "evap.stat 2001";
    s.cloudLine = "cloud.stat 2001";
    auto m = Make(s);
    const auto a = [&](int r, int c) { return area[r][c]; };
    const auto weighed = [&](const Matrix& grid) { return [&](int r, int c) { return area[r][c] * grid[r][c]; }; };
    for (const std::int64_t hour : {13, 1}) {
        m->PotentialEvapotranspirationStep(hour, 15, 6, 2020);
        m->FlushStatistics();
        ExpectLastZoneMeans("etp.stat", weighed(m->etp[0]), a, 5.1e-6);
        ExpectLastZoneMeans("etp_Layer_2.stat", weighed(m->etp[2]), a, 5.1e-6);
        ExpectLastZoneMeans("eip_Layer_1.stat", weighed(m->eip[1]), a, 5.1e-6);
        ExpectLastZoneMeans("evap.stat", weighed(m->potEvaporation), a, 5.1e-6);
        ExpectLastZoneMeans("cloud.stat", weighed(m->cloudiness), a, 5.1e-3);
    }
}

TEST_F(EtpStepTest, GivenPressureAndVapourActAsTheirDerivedValuesAndAGapStopsTheCell) {
    // An air pressure grid holding the barometric pressure of each cell's elevation and
    // temperature, and a vapour pressure grid holding humidity times saturation pressure, must
    // give exactly the values the model derives without them, by day and by night.
    PutStandardInputs(1);
    Put("sunshine_duration", 0.5);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            Grid("temperature")[r][c] = 4 + 3 * r + c;
            Grid("[elevation_model]")[r][c] = 300 + 150 * c + 40 * r;
            Grid("air_humidity")[r][c] = 0.4 + 0.1 * r;
            Grid("sunshine_duration")[r][c] = 0.15 * c;
        }
    auto derived = Make(Section{});
    Hide("SSDTemp");  // each model keeps its own sunshine mean
    Matrix& p = Put("air_pressure", 0);
    Matrix& e = Put("vapor_pressure", 0);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            const double T = Grid("temperature")[r][c];
            p[r][c] = evaporation::BarometricPressure(Grid("[elevation_model]")[r][c], T);
            e[r][c] = Grid("air_humidity")[r][c] * evaporation::SaturationVapourPressure(T);
        }
    auto given = Make(Section{});
    for (const std::int64_t hour : {13, 1}) {
        derived->PotentialEvapotranspirationStep(hour, 15, 6, 2020);
        given->PotentialEvapotranspirationStep(hour, 15, 6, 2020);
        ForOwnCells([&](int r, int c) {
            EXPECT_GT(given->etp[1][r][c], 0.0) << r << "," << c << " at " << hour;
            for (const auto& [a, b] : {std::pair{&derived->etp[1], &given->etp[1]}, {&derived->eip[1], &given->eip[1]},
                                       {&derived->potEvaporation, &given->potEvaporation},
                                       {&derived->cloudiness, &given->cloudiness}})
                EXPECT_EQ((*a)[r][c], (*b)[r][c]) << r << "," << c << " at " << hour;
        });
    }
    // Wind missing in the first own cell of each process's first row: the cell has no demand.
    const int r = settings_.firstRow;
    int gap = 0;
    for (int c = 5; c >= 1; --c)
        if (submodel_test::kZones[r - 1][c - 1] != -9999) gap = c;
    Grid("wind_speed")[r][gap] = -9999;
    given->PotentialEvapotranspirationStep(13, 15, 6, 2020);
    derived->PotentialEvapotranspirationStep(13, 15, 6, 2020);
    ForOwnCells([&](int row, int c) {
        if (row != r || c != gap) return;
        EXPECT_EQ(given->etp[0][row][c], 0.0);
        EXPECT_EQ(given->etp[1][row][c], 0.0);
        EXPECT_EQ(given->potEvaporation[row][c], 0.0);
        EXPECT_EQ(given->correctedRadiation[row][c], 0.0);
        EXPECT_EQ(given->cloudiness[row][c], 0.5);
    });
    ForOwnCells([&](int row, int c) {
        if (row == r && c == gap) return;
        EXPECT_EQ(given->etp[1][row][c], derived->etp[1][row][c]) << row << "," << c;
    });
}

TEST_F(EtpStepTest, EachCellTakesItsOwnVegetationWhereNeighboursDiffer) {
    // Vegetation sets (LAI, cover, z0 of layer 1; LAI, cover of layer 2) in runs of cells: a
    // roughness above 2 m, a bare layer, equal LAI x cover of other LAI. Every cell must give by
    // day and by night exactly what it gives where all cells hold its set.
    const double sets[3][5] = {{3.0, 0.9, 0.1, 1.0, 0.9}, {1.5, 0.6, 2.5, 0.0, 0.9}, {0.9, 1.0, 0.1, 1.0, 0.45}};
    const auto pattern = [](int r, int c) { return c <= 2 ? 0 : (r + c) % 3; };
    TwoLayersInHalfSunshine();
    const auto run = [&](const std::function<int(int, int)>& setOf) {
        std::vector<double> values;
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) {
                Grid("temperature")[r][c] = 6 + 2 * r + c;
                Grid("[elevation_model]")[r][c] = 400 + 100 * c;
                int k = 0;
                for (const char* n : {"leaf_area_index1", "vegetation_coverage_degree1", "RoughnessLength1",
                                      "leaf_area_index2", "vegetation_coverage_degree2"})
                    Grid(n)[r][c] = sets[setOf(r, c)][k++];
            }
        auto m = Make(Section{});
        Hide("SSDTemp");  // each model keeps its own sunshine mean
        for (const std::int64_t hour : {13, 1}) {
            m->PotentialEvapotranspirationStep(hour, 15, 6, 2020);
            ForOwnCells([&](int r, int c) {
                for (const Matrix* g : {&m->etp[1], &m->etp[2], &m->eip[1], &m->eip[2], &m->potEvaporation})
                    values.push_back((*g)[r][c]);
            });
        }
        return values;
    };
    std::vector<std::vector<double>> uniform;
    for (int k = 0; k < 3; ++k) uniform.push_back(run([k](int, int) { return k; }));
    const std::vector<double> mixed = run(pattern);
    std::size_t i = 0;
    for (int part = 0; part < 2; ++part)
        ForOwnCells([&](int r, int c) {
            for (int g = 0; g < 5; ++g, ++i)
                EXPECT_EQ(mixed[i], uniform[static_cast<std::size_t>(pattern(r, c))][i]) << r << "," << c << " " << g;
        });
    EXPECT_NE(uniform[0], uniform[1]);  // the sets differ where it matters
    EXPECT_NE(uniform[1], uniform[2]);
}
