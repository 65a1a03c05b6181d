// The radiation correction as a sub-model: its section, the grids it publishes and the
// correction of whole steps on the test domain.
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "radiation_test_support.hpp"

using namespace meteo_test;
using submodel_test::kZones;

namespace {

bool InZone(int r, int c) { return kZones[r - 1][c - 1] != -9999; }

TEST_F(RadiationTest, HorizontalCellGetsOneByDayAndNothingAtNight) {
    unsigned error = 0;
    auto m = Make(RadiationSection(1, 1, 4, 1.0, 60), &error);
    ASSERT_EQ(error, 0u);
    m->run(12, 21, 3, 2020);  // the hour from 11 to 12
    EXPECT_GT(m->HorizontalSum(), 0.0);
    for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
        for (int c = 1; c <= 5; ++c) {
            if (!InZone(r, c)) {
                EXPECT_EQ(At("radiation_correction", r, c), -9999.0);
                continue;
            }
            EXPECT_NEAR(At("radiation_correction", r, c), 1.0, 1e-12);
            EXPECT_NEAR(At("Ieff_max", r, c), m->HorizontalSum(), 1e-9);
            EXPECT_EQ(At("Shadow", r, c), 0.0);
        }
    m->run(2, 22, 3, 2020);  // a dark hour
    EXPECT_EQ(m->HorizontalSum(), 0.0);
    for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
        for (int c = 1; c <= 5; ++c)
            if (InZone(r, c)) { EXPECT_EQ(At("radiation_correction", r, c), 0.0); }
    // Polar night: no sun the whole day.
    settings_.latitude = 80.0;
    auto polar = Make(RadiationSection(3, 1, 24), &error);
    ASSERT_EQ(error, 0u);
    polar->run(24, 21, 12, 2020);
    EXPECT_EQ(polar->HorizontalSum(), 0.0);
}

// The daily factor of a cell of the given slope and aspect on 21 March at 47° N.
class SlopeTest : public RadiationTest {
protected:
    double DailyFactor(double slopeDegrees, double aspectDegrees) {
        Fill(slope_, [&](int, int) { return slopeDegrees; });
        Fill(aspect_, [&](int, int) { return aspectDegrees; });
        unsigned error = 0;
        auto m = Make(RadiationSection(3, 1, 24), &error);
        EXPECT_EQ(error, 0u);
        m->run(24, 21, 3, 2020);
        // Every own cell has the same factor; the last row is held by some process.
        double f = -1;
        for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
            if (InZone(r, 3)) f = At("radiation_correction", r, 3);
        double all = 0;
        MPI_Allreduce(&f, &all, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
        return all;
    }
};

TEST_F(SlopeTest, SouthSlopeOfTheLatitudeAtTheEquinox) {
    // A south slope as steep as the latitude sees the sun as a horizontal cell at the equator:
    // 1 / cos 47° of the horizontal beam.
    EXPECT_NEAR(DailyFactor(47.0, 180.0), 1.0 / std::cos(47.0 * 3.141592653 / 180.0), 0.02 * 1.466);
    EXPECT_NEAR(DailyFactor(0.0, 180.0), 1.0, 1e-12);
    // North slopes get less, south slopes more.
    EXPECT_LT(DailyFactor(30.0, 0.0), 1.0);
    EXPECT_GT(DailyFactor(30.0, 180.0), 1.0);
}

TEST_F(SlopeTest, EastAndWestSlopesAgree) {
    for (double s : {15.0, 30.0, 60.0}) {
        const double east = DailyFactor(s, 90.0), west = DailyFactor(s, 270.0);
        EXPECT_NEAR(east / west, 1.0, 0.02) << s;
        EXPECT_LT(east, 1.0) << s;
    }
}

TEST_F(SlopeTest, NeverAboveFiveTimesTheHorizontal) {
    settings_.latitude = 66.0;
    for (int day : {1, 10, 20}) {
        (void)day;
        EXPECT_LE(DailyFactor(89.0, 180.0), 5.0);
        EXPECT_GT(DailyFactor(89.0, 180.0), 1.0);
    }
    // An hour of low morning sun (about 9° high, from east-south-east): steep slopes turned
    // towards it would get more than six times the horizontal beam; the best of them get five.
    Fill(slope_, [](int r, int) { return 70.0 + 5.0 * r; });
    Fill(aspect_, [](int, int c) { return 95.0 + 7.0 * c; });
    unsigned error = 0;
    auto m = Make(RadiationSection(3, 1, 1, 1.0, 60), &error);
    ASSERT_EQ(error, 0u);
    m->run(8, 21, 3, 2020);
    ASSERT_GT(m->HorizontalSum(), 0.0);
    double best = 0;
    for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
        for (int c = 1; c <= 5; ++c)
            if (InZone(r, c)) best = std::max(best, At("radiation_correction", r, c));
    double all = 0;
    MPI_Allreduce(&best, &all, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    EXPECT_NEAR(all, 5.0, 1e-12);
}

TEST_F(RadiationTest, TerrainShadowOnlyForMethodsOneAndTwo) {
    // A ridge of 3000 m along row 3 shades row 2 north of it when the sun is low (noon, 21 Dec).
    // The rows are shared among the processes as in a decomposed run: process 0 finds the
    // shadow and every process sees it on its own rows.
    DecomposeInBands();
    Fill(elevation_, [](int r, int) { return r == 3 ? 3000.0 : 500.0; });
    for (int method : {1, 2, 3, 4}) {
        unsigned error = 0;
        auto m = Make(RadiationSection(method, 1, 1, 1.0, 60), &error);
        ASSERT_EQ(error, 0u);
        m->run(13, 21, 12, 2020);
        const bool shading = method <= 2;
        if (Own(2)) {
            EXPECT_EQ(At("Shadow", 2, 3), shading ? 1.0 : 0.0) << method;
            EXPECT_EQ(At("radiation_correction", 2, 3), shading ? 0.0 : 1.0) << method;
        }
        if (Own(4)) {
            EXPECT_EQ(At("Shadow", 4, 3), 0.0) << method;
            EXPECT_GT(At("radiation_correction", 4, 3), 0.0) << method;
        }
        std::int64_t visits = m->ShadowCellVisits(), all = 0;
        MPI_Allreduce(&visits, &all, 1, MPI_INT64_T, MPI_SUM, MPI_COMM_WORLD);
        EXPECT_EQ(all > 0, shading) << method;
    }
}

TEST_F(RadiationTest, SharedRayMarchCastsTheShadowOfOneProcess) {
    // A ridge with uneven slopes, the sun low from the south-east, south and south-west in
    // winter and from north of east and west in summer, so that the rays run along rows and
    // along columns and cross. The reference is process 0 marching every ray over whole grids;
    // the decomposed run shares the rays out, and every own cell's shadow and correction must
    // be the reference's bit for bit, and the grids it writes, gathered from the owners, the
    // reference's files byte for byte.
    Fill(elevation_, [](int r, int c) { return (r == 3 ? 2600.0 : 500.0) + 190.0 * ((r * 7 + c * 3) % 5); });
    const int first = settings_.firstRow, last = settings_.lastRow;
    struct Sun {
        int hour, day, month;
    };
    const std::vector<Sun> suns = {{9, 21, 12}, {12, 21, 12}, {15, 21, 12}, {6, 21, 6}, {19, 21, 6}};
    std::vector<std::vector<double>> shadow, correction;
    const std::vector<const char*> written = {"exkorr.asc", "shadow.asc"};
    std::vector<std::string> files;
    std::vector<long long> visits;
    settings_.firstRow = 1;
    settings_.lastRow = 4;
    for (const Sun& sun : suns) {
        unsigned error = 0;
        auto whole = Make(RadiationSection(1, 1, 2, 1.0, 60, 1), &error);
        ASSERT_EQ(error, 0u);
        whole->run(sun.hour, sun.day, sun.month, 2020);
        visits.push_back(whole->ShadowCellVisits());
        if (talvo_test::Rank() == 0)
            for (const char* name : written) files.push_back(talvo_test::ReadFile(name));
        shadow.push_back(WholeGridOfProcessZero("Shadow"));
        correction.push_back(WholeGridOfProcessZero("radiation_correction"));
    }
    settings_.firstRow = first;
    settings_.lastRow = last;
    DecomposeInBands();
    int shaded = 0, lit = 0;
    for (std::size_t k = 0; k < suns.size(); ++k) {
        const Sun& sun = suns[k];
        unsigned error = 0;
        auto shared = Make(RadiationSection(1, 1, 2, 1.0, 60, 1), &error);
        ASSERT_EQ(error, 0u);
        shared->run(sun.hour, sun.day, sun.month, 2020);
        // The blocks of the processes together march every ray once: as many visits as the
        // march of process 0 alone, wherever the zone lies on the rays.
        long long mine = shared->ShadowCellVisits(), sum = 0, alone = visits[k];
        MPI_Allreduce(&mine, &sum, 1, MPI_LONG_LONG, MPI_SUM, MPI_COMM_WORLD);
        MPI_Bcast(&alone, 1, MPI_LONG_LONG, 0, MPI_COMM_WORLD);
        EXPECT_EQ(sum, alone) << sun.hour << "h " << sun.month;
        for (std::size_t j = 0; j < written.size() && talvo_test::Rank() == 0; ++j)
            EXPECT_EQ(talvo_test::ReadFile(written[j]), files[written.size() * k + j]) << written[j] << " " << sun.hour;
        for (int r = first; r <= last; ++r)
            for (int c = 1; c <= 5; ++c) {
                if (!InZone(r, c)) continue;
                const double s = shadow[k][(r - 1) * 5 + c - 1];
                (s == 1.0 ? shaded : lit) += 1;
                EXPECT_EQ(At("Shadow", r, c), s) << sun.hour << "h " << sun.month << " cell " << r << "," << c;
                EXPECT_EQ(At("radiation_correction", r, c), correction[k][(r - 1) * 5 + c - 1])
                    << sun.hour << "h " << sun.month << " cell " << r << "," << c;
            }
    }
    int counts[2] = {shaded, lit}, all[2] = {0, 0};
    MPI_Allreduce(counts, all, 2, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
    EXPECT_GT(all[0], 3);
    EXPECT_GT(all[1], 3);
}

TEST_F(RadiationTest, SharedTerrainTakesEachRowFromItsOwner) {
    // Each process hands its own rows of the terrain to the others, with the rows in bands and
    // with rows split between processes (a shared row comes from one of its owners). Every
    // process's copy of the rows it does not own is made wrong (a wall that would shade every
    // cell north of it): the shadow and the correction of every own cell must still be those of
    // process 0 marching every ray over the true terrain, bit for bit.
    const auto height = [](int r, int c) { return (r == 2 ? 2400.0 : 600.0) + 170.0 * ((r * 3 + c * 5) % 4); };
    Fill(elevation_, height);
    const int first = settings_.firstRow, last = settings_.lastRow;
    const std::vector<int> hours = {9, 12, 15};
    std::vector<std::vector<double>> shadow, correction;
    settings_.firstRow = 1;
    settings_.lastRow = 4;
    for (int hour : hours) {
        unsigned error = 0;
        auto whole = Make(RadiationSection(1, 1, 2, 1.0, 60), &error);
        ASSERT_EQ(error, 0u);
        whole->run(hour, 21, 12, 2020);
        shadow.push_back(WholeGridOfProcessZero("Shadow"));
        correction.push_back(WholeGridOfProcessZero("radiation_correction"));
    }
    int shaded = 0;
    for (const bool bands : {true, false}) {
        settings_.firstRow = first;
        settings_.lastRow = last;
        if (bands)
            DecomposeInBands();
        else
            DecomposeCellRuns();
        Fill(elevation_, [&](int r, int c) { return Own(r) ? height(r, c) : 9000.0; });
        for (std::size_t k = 0; k < hours.size(); ++k) {
            unsigned error = 0;
            auto shared = Make(RadiationSection(1, 1, 2, 1.0, 60), &error);
            ASSERT_EQ(error, 0u);
            shared->run(hours[k], 21, 12, 2020);
            for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
                for (int c = 1; c <= 5; ++c) {
                    if (!InZone(r, c) || regions_[r][c] != talvo_test::Rank()) continue;
                    const auto i = static_cast<std::size_t>((r - 1) * 5 + c - 1);
                    shaded += shadow[k][i] == 1.0 ? 1 : 0;
                    EXPECT_EQ(At("Shadow", r, c), shadow[k][i]) << bands << " " << hours[k] << "h cell " << r << "," << c;
                    EXPECT_EQ(At("radiation_correction", r, c), correction[k][i])
                        << bands << " " << hours[k] << "h cell " << r << "," << c;
                }
        }
    }
    int all = 0;
    MPI_Allreduce(&shaded, &all, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
    EXPECT_GT(all, 0);
}

TEST_F(RadiationTest, SharedMarchOnRowsSplitBetweenProcessesFollowsTheSunThroughTheDay) {
    // One correction runs hour by hour through a winter and a summer day (night, low sun from
    // every side, night again), its rays shared out over processes that split rows between
    // them. Each hour, every own cell's shadow and correction must be those of process 0
    // marching every ray alone, bit for bit: marks of an earlier sub-step or of rays of another
    // process never leak into a cell.
    Fill(elevation_, [](int r, int c) { return (r == 3 ? 2600.0 : 500.0) + 230.0 * ((r * 5 + c * 7) % 4); });
    const int first = settings_.firstRow, last = settings_.lastRow;
    const std::vector<std::pair<int, int>> days = {{21, 12}, {21, 6}};
    std::vector<std::vector<double>> shadow, correction;
    settings_.firstRow = 1;
    settings_.lastRow = 4;
    for (const auto& [day, month] : days) {
        unsigned error = 0;
        auto whole = Make(RadiationSection(2, 1, 3, 1.0, 60), &error);
        ASSERT_EQ(error, 0u);
        for (int hour = 1; hour <= 24; ++hour) {
            whole->run(hour, day, month, 2020);
            shadow.push_back(WholeGridOfProcessZero("Shadow"));
            correction.push_back(WholeGridOfProcessZero("radiation_correction"));
        }
    }
    settings_.firstRow = first;
    settings_.lastRow = last;
    DecomposeCellRuns();
    int shaded = 0, sunny = 0;
    std::size_t k = 0;
    for (const auto& [day, month] : days) {
        unsigned error = 0;
        auto shared = Make(RadiationSection(2, 1, 3, 1.0, 60), &error);
        ASSERT_EQ(error, 0u);
        for (int hour = 1; hour <= 24; ++hour, ++k) {
            shared->run(hour, day, month, 2020);
            // The hours of the night (sun set by 17 h in winter, 21 h in summer) keep no shadow
            // of the evening before.
            const bool dark = month == 12 ? hour <= 6 || hour >= 18 : hour <= 3 || hour >= 22;
            for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
                for (int c = 1; c <= 5; ++c) {
                    if (regions_[r][c] != talvo_test::Rank()) continue;
                    const std::size_t i = static_cast<std::size_t>((r - 1) * 5 + c - 1);
                    if (correction[k][i] > 0.0) (shadow[k][i] == 1.0 ? shaded : sunny) += 1;
                    if (dark) {
                        EXPECT_EQ(At("Shadow", r, c), 0.0) << hour << "h " << month;
                    }
                    EXPECT_EQ(At("Shadow", r, c), shadow[k][i]) << hour << "h " << month << " cell " << r << "," << c;
                    EXPECT_EQ(At("radiation_correction", r, c), correction[k][i])
                        << hour << "h " << month << " cell " << r << "," << c;
                }
        }
    }
    int counts[2] = {shaded, sunny}, all[2] = {0, 0};
    MPI_Allreduce(counts, all, 2, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
    EXPECT_GT(all[0], 10);
    EXPECT_GT(all[1], 10);
}

TEST_F(RadiationTest, EveryMarchSetsTheShadowOfEveryCell) {
    // A correction runs hour by hour through a summer and a winter day, and before every hour
    // that follows a lit hour its shadow is spoilt: every cell marked shaded. The march of the
    // hour must set every cell again, so that each hour's shadow, correction and corrected
    // temperature are bit for bit those of a fresh correction run for that hour alone. Once
    // with every process marching the whole grid, once with the rays shared out.
    Fill(elevation_, [](int r, int c) { return (r == 2 ? 2400.0 : 600.0) + 170.0 * ((r * 3 + c * 5) % 4); });
    Fill(slope_, [](int r, int c) { return 10.0 * ((r + c) % 4); });
    Fill(aspect_, [](int r, int c) { return 45.0 * ((r * c) % 8); });
    const std::vector<const char*> grids = {"Shadow", "radiation_correction", "corr_temperature"};
    const std::vector<std::pair<int, int>> days = {{21, 6}, {21, 12}};
    auto own = [&](bool shared, int r, int c) {
        return Own(r) && InZone(r, c) && (!shared || regions_[r][c] == talvo_test::Rank());
    };
    for (const bool shared : {false, true}) {
        if (shared) DecomposeInBands();
        // The hours alone: which are lit, and the values of the own cells.
        std::vector<bool> lit;
        std::vector<double> alone;
        unsigned error = 0;
        for (const auto& [day, month] : days)
            for (int hour = 1; hour <= 24; ++hour) {
                auto fresh = Make(RadiationSection(2, 1, 3, 1.0, 60), &error);
                ASSERT_EQ(error, 0u);
                fresh->run(hour, day, month, 2020);
                lit.push_back(fresh->HorizontalSum() > 0.0);
                for (const char* name : grids)
                    for (int r = 1; r <= 4; ++r)
                        for (int c = 1; c <= 5; ++c)
                            if (own(shared, r, c)) alone.push_back(At(name, r, c));
            }
        int spoilt = 0, shaded = 0;
        std::size_t k = 0, v = 0;
        for (const auto& [day, month] : days) {
            auto kept = Make(RadiationSection(2, 1, 3, 1.0, 60), &error);
            ASSERT_EQ(error, 0u);
            for (int hour = 1; hour <= 24; ++hour, ++k) {
                // After a lit hour the shadow is not known to be clear: only the march sets it.
                if (hour > 1 && lit[k - 1] && lit[k])
                    for (int i = 1; i < GridStore::kEntries; ++i)
                        if (store_[i].hasInternalName && store_[i].internalName == "Shadow") {
                            Matrix& shadow = *store_[i].grid;
                            for (int r = 1; r <= 4; ++r)
                                for (int c = 1; c <= 5 && shadow.holds(r); ++c)
                                    if (InZone(r, c)) shadow[r][c] = 1.0, ++spoilt;
                            break;
                        }
                kept->run(hour, day, month, 2020);
                for (const char* name : grids)
                    for (int r = 1; r <= 4; ++r)
                        for (int c = 1; c <= 5; ++c) {
                            if (!own(shared, r, c)) continue;
                            if (name == grids[0] && lit[k] && alone[v] == 1.0) ++shaded;
                            EXPECT_EQ(At(name, r, c), alone[v++])
                                << name << " " << hour << "h " << month << " cell " << r << "," << c;
                        }
            }
        }
        int counts[2] = {spoilt, shaded}, all[2] = {0, 0};
        MPI_Allreduce(counts, all, 2, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
        EXPECT_GT(all[0], 0);
        EXPECT_GT(all[1], 5);
    }
}

TEST_F(RadiationTest, CorrectedTemperatureWithMethodsTwoAndFour) {
    // North-facing steep cells in winter get almost no sun: the temperature drops by
    // 1.6094 · c · 0.5 (no sunshine grid). Horizontal cells keep the temperature.
    Fill(slope_, [](int, int c) { return c == 2 ? 60.0 : 0.0; });
    Fill(aspect_, [](int, int) { return 0.0; });
    for (int method : {2, 4}) {
        unsigned error = 0;
        auto m = Make(RadiationSection(method, 1, 24, 2.0), &error);
        ASSERT_EQ(error, 0u);
        m->run(24, 10, 12, 2020);
        for (int r = settings_.firstRow; r <= settings_.lastRow; ++r) {
            if (InZone(r, 2)) { EXPECT_NEAR(At("corr_temperature", r, 2), temperature_[r][2] - 1.6094, 1e-12); }
            if (InZone(r, 3)) { EXPECT_NEAR(At("corr_temperature", r, 3), temperature_[r][3], 1e-12); }
            if (!InZone(r, 1)) { EXPECT_EQ(At("corr_temperature", r, 1), -9999.0); }
        }
    }
    // With a sunshine grid r is the cell's value.
    Add(sunshine_, "sunshine_duration");
    Fill(sunshine_, [](int, int) { return 0.8; });
    unsigned error = 0;
    auto m = Make(RadiationSection(2, 1, 24, 2.0), &error);
    m->run(24, 10, 12, 2020);
    for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
        if (InZone(r, 2)) { EXPECT_NEAR(At("corr_temperature", r, 2), temperature_[r][2] - 1.6094 * 2.0 * 0.8, 1e-12); }
}

TEST_F(RadiationTest, RecomputedEveryNumberOfStepsTemperatureFollowsEveryStep) {
    Fill(slope_, [](int, int) { return 40.0; });
    Fill(aspect_, [](int, int) { return 180.0; });
    unsigned error = 0;
    auto m = Make(RadiationSection(2, 3, 24, 1.0), &error);
    ASSERT_EQ(error, 0u);
    m->run(24, 1, 4, 2020);
    const int r = settings_.lastRow >= 2 && settings_.firstRow <= 2 ? 2 : settings_.lastRow;
    if (r < settings_.firstRow || !InZone(r, 3)) return;
    const double f = At("radiation_correction", r, 3);
    const double h = m->HorizontalSum();
    EXPECT_GT(f, 1.0);
    const double shift = At("corr_temperature", r, 3) - temperature_[r][3];
    EXPECT_NEAR(shift, std::log(f) * 0.5, 1e-12);
    // The next two steps keep the factors and the sum, but the temperature is the step's own:
    // repeated in-place changes of a consumer do not accumulate.
    for (int d = 2; d <= 3; ++d) {
        temperature_[r][3] += 5.0;
        At("corr_temperature", r, 3);
        m->run(24, d, 4, 2020);
        EXPECT_EQ(At("radiation_correction", r, 3), f);
        EXPECT_EQ(m->HorizontalSum(), h);
        EXPECT_NEAR(At("corr_temperature", r, 3) - temperature_[r][3], shift, 1e-12);
    }
    // The fourth step recomputes for its own date.
    m->run(24, 4, 4, 2020);
    EXPECT_NE(m->HorizontalSum(), h);
}

TEST_F(RadiationTest, CorrectedTemperatureIsWrittenEveryStep) {
    // Recomputed every third step, written with the mean over the run (write code 50): the
    // three days of the run each count with their own corrected temperature.
    Fill(slope_, [](int, int) { return 40.0; });
    Fill(aspect_, [](int, int) { return 180.0; });
    std::string section = RadiationSection(2, 3, 24, 1.0);
    section.replace(section.find("tkorr.asc\n0\n"), 12, "tkorr.asc\n50\n");
    settings_.textOutput = true;
    settings_.doublePrecision = true;
    DecomposeInBands();
    unsigned error = 0;
    auto m = Make(section, &error);
    ASSERT_EQ(error, 0u);
    std::vector<double> sum(20, 0.0);
    for (int d = 1; d <= 3; ++d) {
        Fill(temperature_, [&](int r, int c) { return 10.0 + r + 0.1 * c + 4.0 * d; });
        m->run(24, d, 1, 2020);
        for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
            for (int c = 1; c <= 5; ++c)
                if (InZone(r, c)) sum[static_cast<std::size_t>((r - 1) * 5 + c - 1)] += At("corr_temperature", r, c);
    }
    m.reset();
    std::vector<double> all(20, 0.0);
    MPI_Allreduce(sum.data(), all.data(), 20, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0) {
        std::istringstream text(talvo_test::ReadFile("tkorr.mit"));
        std::string line;
        for (int i = 0; i < 6; ++i) std::getline(text, line);
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) {
                double v = 0;
                text >> v;
                const double mean = all[static_cast<std::size_t>((r - 1) * 5 + c - 1)] / 3.0;
                if (InZone(r, c)) {
                    EXPECT_NEAR(v, mean, 1e-3) << r << "," << c;
                }
            }
    }
}

TEST_F(RadiationTest, NightTemperatureForLongStepsAlsoWhenOff) {
    unsigned error = 0;
    auto off = Make("[radiation_correction]\n0 flow control\n1440 time step\n\n", &error);
    ASSERT_EQ(error, 0u);
    EXPECT_EQ(off->GetCorrectionGrid(), nullptr);
    off->run(24, 1, 1, 2020);
    for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
        for (int c = 1; c <= 5; ++c)
            EXPECT_EQ(At("temperature_night", r, c), InZone(r, c) ? temperature_[r][c] : -9999.0);
    off.reset();
    // Short steps: the night temperature is the temperature grid itself.
    auto hourly = Make(RadiationSection(1, 1, 1, 1.0, 60), &error);
    ASSERT_EQ(error, 0u);
    EXPECT_NE(hourly->GetCorrectionGrid(), nullptr);
    for (int i = 1; i < 1000; ++i)
        if (store_[i].hasInternalName) { EXPECT_NE(store_[i].internalName, "temperature_night"); }
}

TEST_F(RadiationTest, SectionValues) {
    unsigned error = 0;
    // A method outside 1..4 is 2 without a word.
    auto seven = Make(RadiationSection(7, 1, 2), &error);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(seven->Method(), 2);
    seven.reset();
    // No sub-step at all cannot follow the sun.
    for (int s : {0, -3}) {
        console_.str("");
        Make(RadiationSection(1, 1, s), &error);
        EXPECT_EQ(error, 17u) << s;
        EXPECT_TRUE(Logged("number of splittings")) << s;
        EXPECT_TRUE(Logged("is " + std::to_string(s))) << s;
    }
    // Sub-steps shorter than a second: an hourly step holds at most 3600.
    console_.str("");
    EXPECT_NE(Make(RadiationSection(1, 1, 3600, 1.0, 60), &error), nullptr);
    EXPECT_EQ(error, 0u) << console_.str();
    Make(RadiationSection(1, 1, 2000000000, 1.0, 60), &error);
    EXPECT_EQ(error, 17u);
    EXPECT_TRUE(Logged("is 2000000000, it must be at most 3600 (sub-steps of at least one second in a step of 60"));
    // A missing value names itself.
    console_.str("");
    Make("[radiation_correction]\n1\n1440\n1 method\ntkorr.asc\n0\n1.0\nexkorr.asc\n0\nshadow.asc\n0\n", &error);
    EXPECT_EQ(error, 17u);
    EXPECT_TRUE(Logged("number if timesteps for "));
    // Slope and aspect are required.
    store_[3].internalName = "something_else";
    Make(RadiationSection(3, 1, 1), &error);
    EXPECT_EQ(error, 33u);
}

TEST_F(RadiationTest, NodataSlopeCountsAsHorizontal) {
    Fill(slope_, [](int r, int) { return r == 2 ? -9999.0 : 30.0; });
    Fill(aspect_, [](int r, int) { return r == 3 ? -9999.0 : 180.0; });
    unsigned error = 0;
    auto m = Make(RadiationSection(3, 1, 24), &error);
    ASSERT_EQ(error, 0u);
    m->run(24, 21, 6, 2020);
    for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
        for (int c = 1; c <= 5; ++c)
            if (InZone(r, c) && (r == 2 || r == 3)) { EXPECT_NEAR(At("radiation_correction", r, c), 1.0, 1e-12); }
}

TEST_F(RadiationTest, PublishedGridsStartAtZeroInTheZoneAndNodataElsewhere) {
    // Before the first step every published grid holds 0 in the zone's cells, nodata in every
    // other cell of its rows and 0 in column 0: compared as bits, on every row a process holds
    // (the shadow of a terrain method whole on process 0).
    auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    for (int method : {1, 2}) {
        unsigned error = 0;
        auto m = Make(RadiationSection(method, 1, 2), &error);
        ASSERT_EQ(error, 0u) << console_.str();
        std::vector<const char*> names = {"radiation_correction", "Shadow", "Ieff_max"};
        if (method == 2) names.push_back("corr_temperature");
        for (const char* name : names) {
            const Matrix* grid = nullptr;
            for (int i = 1; i < 1000 && grid == nullptr; ++i)
                if (store_[i].hasInternalName && store_[i].internalName == name) grid = store_[i].grid;
            ASSERT_NE(grid, nullptr) << name;
            int held = 0;
            for (int r = 1; r <= 4; ++r) {
                if (!grid->holds(r)) continue;
                ++held;
                EXPECT_TRUE(same((*grid)[r][0], 0.0)) << method << " " << name << " row " << r;
                for (int c = 1; c <= 5; ++c)
                    EXPECT_TRUE(same((*grid)[r][c], InZone(r, c) ? 0.0 : -9999.0))
                        << method << " " << name << " " << r << "," << c << " " << (*grid)[r][c];
            }
            EXPECT_GE(held, settings_.lastRow - settings_.firstRow + 1) << method << " " << name;
        }
    }
}

}  // namespace

namespace {

// 75 degrees west of the meridian the clock runs five hours ahead of the sun: on 21 June at
// 47.5 N the sun sets after midnight by the clock. The hour from 22 to 23 then is lit as the
// hour from 17 to 18 is on the meridian, the hour from 2 to 3 is dark.
TEST_F(RadiationTest, AnHourLitBeforeMidnightWhenTheSunSetsAfterIt) {
    unsigned error = 0;
    settings_.latitude = 47.5;
    settings_.longitude = settings_.meridian;
    auto onMeridian = Make(RadiationSection(1, 1, 4, 1.0, 60), &error);
    ASSERT_EQ(error, 0u);
    onMeridian->run(18, 21, 6, 2020);
    const double expected = onMeridian->HorizontalSum();
    EXPECT_GT(expected, 0.0);
    onMeridian.reset();

    settings_.longitude = settings_.meridian - 75.0;
    auto west = Make(RadiationSection(1, 1, 4, 1.0, 60), &error);
    ASSERT_EQ(error, 0u);
    west->run(23, 21, 6, 2020);
    EXPECT_NEAR(west->HorizontalSum(), expected, 1e-9 * expected);
    for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
        for (int c = 1; c <= 5; ++c)
            if (InZone(r, c)) { EXPECT_NEAR(At("radiation_correction", r, c), 1.0, 1e-12); }
    west->run(3, 22, 6, 2020);
    EXPECT_EQ(west->HorizontalSum(), 0.0);
}

}  // namespace
