// The sub-model base: its section, the base step, the floating-point report, solar geometry,
// tracer grids and the ranking of "zonegrid_soilmodel".
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "setup/mpiregions.hpp"
#include "submodel/teilmod.hpp"
#include "submodel_fixtures.hpp"
#include "setup/tracer_ini.hpp"

using namespace submodel_test;

namespace {

// A sub-model that only uses the base.
class Probe : public teilmodellklasse {
public:
    Probe(DiagLog* log, const SubmodelSettings& s, bool required, unsigned& error, const std::string& name = "probe")
        : teilmodellklasse(log, name, s, 1) {
        CatchIntoError(error, [&] { ReadModuleSection(required); });
    }
    using teilmodellklasse::ReadModuleSection;
};

class SubmodelBaseTest : public DomainTest {
protected:
    std::unique_ptr<Probe> Make(const std::string& sectionText, unsigned& error, bool required = false) {
        WriteShared("test.ctl", "head\n\n" + sectionText);
        return std::make_unique<Probe>(log_.get(), settings_, required, error);
    }
    std::unique_ptr<Probe> Active() {
        unsigned error = 0;
        auto p = Make("[probe]\n1\n60\n", error);
        EXPECT_EQ(error, 0u);
        return p;
    }
};

}  // namespace

TEST_F(SubmodelBaseTest, ReadsFlowControlAndTimeStep) {
    unsigned error = 99;
    auto p = Make("[probe]\n2 flow control\n60.0 minutes\n", error);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(p->GetFlowControl(), 2);
    EXPECT_EQ(p->GetTimeStep(), 60);
    EXPECT_DOUBLE_EQ(p->stepsPerDay, 24.0);
    EXPECT_TRUE(Logged("initializing module probe"));
    // Switched on, the section stays open for the subclass's own values.
    EXPECT_NE(p->ControlStream(), nullptr);
}

TEST_F(SubmodelBaseTest, MissingSectionIsOffUnlessRequired) {
    unsigned error = 99;
    auto p = Make("[other]\n1\n60\n", error);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(p->GetFlowControl(), 0);
    p->run(1, 2, 3, 2020);
    EXPECT_EQ(p->hour, 0);  // an inactive module does not even store the date
    auto q = Make("[other]\n1\n60\n", error, true);
    EXPECT_EQ(error, 17u);
}

TEST_F(SubmodelBaseTest, TimeOffsetLongerThanTheStepIsFatal63) {
    settings_.minToIntEnd = 120;
    unsigned error = 0;
    Make("[probe]\n1\n60\n", error);
    EXPECT_EQ(error, 63u);
    EXPECT_TRUE(Logged("is shorter than the parameter min_to_int_end with 120"));
    // An active module without a positive step is refused as well.
    settings_.minToIntEnd = 0;
    Make("[probe]\n1\n0\n", error);
    EXPECT_EQ(error, 63u);
    Make("[probe]\n1\nsixty\n", error);
    EXPECT_EQ(error, 17u);
    // Nor a step so short that a day holds no finite number of steps; an infinite one is no
    // number the control-file reader accepts.
    Make("[probe]\n1\n1e-320\n", error);
    EXPECT_EQ(error, 63u);
    EXPECT_TRUE(Logged("gives no finite number of steps per day"));
    // Steps are compared in whole minutes of an int: one longer than that is refused too.
    Make("[probe]\n1\n3e9\n", error);
    EXPECT_EQ(error, 63u);
    EXPECT_TRUE(Logged("is longer than 2147483647 minutes"));
    for (const char* step : {"inf", "1e400"}) {
        error = 0;
        Make(std::string("[probe]\n1\n") + step + "\n", error);
        EXPECT_EQ(error, 17u) << step;
    }
}

TEST_F(SubmodelBaseTest, StepLineFollowsTheRunInterval) {
    settings_.runInterval = 24;
    auto p = Active();
    console_.str("");
    for (int h = 0; h <= 24; ++h) p->run(h, 5, 6, 2020);
    EXPECT_TRUE(Logged("probe 5.6.2020 0. h (time of meteo data)"));
    EXPECT_TRUE(Logged("probe 5.6.2020 24. h (time of meteo data)"));
    EXPECT_FALSE(Logged("5.6.2020 12. h"));
    EXPECT_EQ(p->hour, 24);
}

TEST_F(SubmodelBaseTest, FloatingPointErrorIsReportedOnce) {
    auto p = Active();
    EXPECT_TRUE(p->RaiseFpeFlag());
    EXPECT_FALSE(p->RaiseFpeFlag());
    p->ReportFPE(1, 2, 3, 4, 0.5, 1, 2, 3, 4);
    EXPECT_TRUE(Logged("fpe in i1: 1, i2: 2, i3: 3, i4: 4\na1: 0.5"));
    EXPECT_EQ(p->FpeFlag(), 2u);
    p->ReportFPE(0, 0, 0, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(p->FpeFlag(), 0u);
    EXPECT_TRUE(p->RaiseFpeFlag());  // a later signal is reported again
}

TEST_F(SubmodelBaseTest, SolarGeometry) {
    auto p = Active();
    EXPECT_DOUBLE_EQ(p->GetTimeEquation(1, 1), -3.2 / 60);
    const double minutes = p->GetTimeEquation(16, 12) * 60;
    EXPECT_LT(minutes, 11.3);
    EXPECT_GT(minutes, -3.2);
    EXPECT_NEAR(p->GetDeclination(1, 1), -23.0, 0.1);
    EXPECT_NEAR(p->GetDeclination(21, 6), 23.4, 0.1);

    // Noon at the equinox on the reference meridian: the sun stands 90 - latitude high.
    const double noon = 12.0 - p->GetTimeEquation(21, 3);
    EXPECT_NEAR(p->GetSunElevation(47.5, 15.0, noon, 21, 3), 42.5, 0.6);
    double az = 0, el = 0;
    p->GetSunPosition(47.5, 15.0, noon + 0.001, 21, 3, &az, &el);
    EXPECT_NEAR(az, 3.14159265359, 0.01);
    EXPECT_NEAR(el * 57.29577952383886, 42.5, 0.6);

    double rise = 0, set = 0;
    p->GetSunriseSunset(0.0, 15.0, 21, 3, &rise, &set);  // x = 0 on the equator
    EXPECT_DOUBLE_EQ(rise, 6.0 - p->GetTimeEquation(21, 3));
    EXPECT_DOUBLE_EQ(set, 18.0 - p->GetTimeEquation(21, 3));
    p->GetSunriseSunset(80.0, 15.0, 21, 6, &rise, &set);  // polar day
    EXPECT_EQ(rise, 24.0);
    EXPECT_EQ(set, 0.0);
}

TEST_F(SubmodelBaseTest, DaylightFractionOfTheStep) {
    auto p = Active();
    p->latitude = 0;
    p->longitude = 15;
    p->day = 21;
    p->month = 3;
    p->hour = 3;  // 2 to 3 o'clock: entirely dark
    p->ComputeDaylightFraction();
    EXPECT_EQ(p->nightFraction, 1.0);
    EXPECT_EQ(p->dayFraction, 0.0);
    EXPECT_EQ(p->nightFlag, 1u);
    p->hour = 12;  // entirely light
    p->ComputeDaylightFraction();
    EXPECT_EQ(p->dayFraction, 1.0);
    EXPECT_EQ(p->nightFlag, 0u);
    p->latitude = 80;  // polar day: the whole step counts as daylight
    p->month = 6;
    p->hour = 3;
    p->ComputeDaylightFraction();
    EXPECT_EQ(p->dayFraction, 1.0);
}

// Over the 24 hourly steps of a day the daylight fractions add up to the length of the day,
// also where the local sunset falls after midnight of the data's clock (far west of the
// reference meridian).
TEST_F(SubmodelBaseTest, DaylightFractionsOfADayAddUpToItsLength) {
    auto p = Active();
    p->hourOffset = 0;
    p->latitude = 47.5;
    p->day = 10;
    p->month = 5;
    for (double lon : {15.0, -122.0}) {
        SCOPED_TRACE(lon);
        p->longitude = lon;
        p->hour = 1;
        p->ComputeDaylightFraction();
        const double rise = p->sunrise, set = p->sunset;
        // The partial steps stay clear of the 5 % limits that round a step to day or night.
        for (double t : {rise, set}) ASSERT_TRUE(t - std::floor(t) > 0.06 && t - std::floor(t) < 0.94) << t;
        ASSERT_EQ(set < rise, lon < 0);
        double daylight = 0;
        for (int h = 1; h <= 24; ++h) {
            p->hour = h;
            p->ComputeDaylightFraction();
            daylight += p->dayFraction;
        }
        EXPECT_NEAR(daylight, set > rise ? set - rise : set + 24.0 - rise, 1e-9);
    }
}

TEST_F(SubmodelBaseTest, TracerGridsKeepTheirOwnDecayFactor) {
    auto hourly = Active();
    unsigned error = 0;
    WriteShared("test.ctl", "head\n\n[daily]\n1\n1440\n");
    Probe daily(log_.get(), settings_, false, error, "daily");
    TracerDescriptor d[2];
    d[1].name = "tri";
    d[1].radioactive = 1;
    d[1].half_time = 4500;
    d[1].path = "out_";
    d[1].statext = "stat";
    d[1].gridext = "grid";
    d[1].gridcode = 1;
    d[1].statcode = 2004;  // zone sums, one row a day
    hourly->InitTracerGrids(error, 1, d, nullptr, 0);
    ASSERT_EQ(error, 0u);
    daily.InitTracerGrids(error, 1, d, nullptr, 0);
    ASSERT_EQ(error, 0u);
    EXPECT_DOUBLE_EQ(hourly->Tracer(1).decayPerStep, std::exp(-(60 / 60.0 / 24) / (1.442695041111 * 4500)));
    EXPECT_DOUBLE_EQ(daily.Tracer(1).decayPerStep, std::exp(-(1.0) / (1.442695041111 * 4500)));
    EXPECT_EQ(d[1].reserved1, 0);  // the shared descriptor is left alone

    const auto& r = hourly->Tracer(1);
    EXPECT_EQ(store_[r.storageIndex].internalName, "concstor_tracer_1_probe");
    EXPECT_EQ(store_[r.fluxIndex].internalName, "concflux_tracer_1_probe");
    EXPECT_EQ(store_[r.storageIndex].units, 1);
    EXPECT_EQ(r.storageFileName, "out_triprobe.gri");
    EXPECT_EQ(r.statFileName, "out_triprobe.sta");
    ASSERT_EQ(r.zones.size(), 4u);
    EXPECT_EQ(r.zones[2].zonenwert, 5);
    for (int row = settings_.firstRow; row <= settings_.lastRow; ++row)
        for (int c = 1; c <= 5; ++c)
            EXPECT_EQ(r.storage[row][c], kZones[row - 1][c - 1] == -9999 ? -9999 : 0.0);

    // Each tracer of each module has its zone table, headed on process 0.
    ASSERT_NE(r.statistics, nullptr);
    EXPECT_TRUE(r.statistics->active());
    if (talvo_test::Rank() == 0) {
        // Until its first rows the header waits under the temporary name.
        const std::string table = talvo_test::ReadFile("out_triprobe.sta.part");
        EXPECT_NE(table.find("tracer concentration for tracer 1 (tri) "), std::string::npos) << table;
        EXPECT_NE(table.find("probe"), std::string::npos) << table;
    }

    const int storage = r.storageIndex;
    hourly->FreeTracerGrids();
    EXPECT_EQ(store_[storage].grid, nullptr);
    EXPECT_FALSE(store_[storage].hasInternalName);
    // Deleting a module releases what it still holds.
    const int dailyStorage = daily.Tracer(1).storageIndex;
    { Probe gone(log_.get(), settings_, false, error, "daily"); }
    EXPECT_NE(store_[dailyStorage].grid, nullptr);
}

TEST_F(SubmodelBaseTest, WarmStartReadsTheStoredTracerGrid) {
    auto p = Active();
    std::string grid = "ncols 5\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 1000\nnodata_value -9999\n";
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 5; ++c) grid += std::to_string(kZones[r][c] == -9999 ? -9999 : 10 * r + c) + (c == 4 ? "\n" : " ");
    WriteShared("out_triprobe.gri", grid);
    TracerDescriptor d[2];
    d[1].name = "tri";
    d[1].path = "out_";
    d[1].statext = "sta";
    d[1].gridext = "gri";
    p->warmStart = 1;
    unsigned error = 0;
    p->InitTracerGrids(error, 1, d, nullptr, 0);
    ASSERT_EQ(error, 0u);
    const auto& r = p->Tracer(1);
    // The test domain has no decomposition grids to hand the rows out by, so only process 0's
    // own rows are checked.
    if (talvo_test::Rank() == 0) {
        for (int row = settings_.firstRow; row <= settings_.lastRow; ++row) {
            for (int c = 1; c <= 5; ++c) {
                if (kZones[row - 1][c - 1] != -9999) {
                    EXPECT_EQ(r.storage[row][c], 10 * (row - 1) + c - 1);
                }
            }
        }
    }
    p->FreeTracerGrids();
}

namespace {
// grid as "zonegrid_soilmodel" at store index 2.
void RegisterSoilZoneEntry(GridStore& store, Matrix& grid) {
    GridStoreEntry& e = store[2];
    e.grid = &grid;
    e.fileName = "soilzones.asc";
    e.hasFileName = true;
    e.internalName = "zonegrid_soilmodel";
    e.hasInternalName = true;
}

void RegisterSoilZones(GridStore& store, Matrix& grid, const std::vector<double>& values, int ncols, int nrows) {
    memory_handling mh;
    grid = mh.matrix(1, nrows, 1, ncols, nrows);
    for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) grid[r][c] = values[static_cast<std::size_t>((r - 1) * ncols + c - 1)];
    RegisterSoilZoneEntry(store, grid);
}
}  // namespace

TEST_F(SubmodelBaseTest, RankZonesNumbersCodesInAscendingOrder) {
    auto p = Active();
    Matrix soil;
    // Process 0 holds the whole grid; the others receive the tables.
    RegisterSoilZones(store_, soil, {5, 5, 3, -9999, 9, 3, 3, 5, 9, 9, 3, -9999, -9999, 5, 5, 5, 3, 3, -9999, -9999}, 5, 4);
    p->basinColumns = nullptr;
    ZoneRanking z;
    p->RankZones(z);
    ASSERT_EQ(z.zoneCount, 3);
    EXPECT_EQ(z.maxCode, 9);
    EXPECT_EQ(z.index[3], 1);
    EXPECT_EQ(z.index[5], 2);
    EXPECT_EQ(z.index[9], 3);
    EXPECT_EQ(z.records[1].zonenwert, 3);
    EXPECT_EQ(z.records[2].sx, 6);
    EXPECT_DOUBLE_EQ(z.records[3].rel, 3.0 / 15);
    EXPECT_DOUBLE_EQ(z.records[0].rel, 15.0);  // km2 of 15 cells of 1 km
}

TEST_F(SubmodelBaseTest, RankZonesFailsTheSameWayOnEveryProcess) {
    auto p = Active();
    ZoneRanking z;
    auto codeOf = [&](const std::vector<double>& values) {
        Matrix soil;
        RegisterSoilZones(store_, soil, values, 2, 2);
        p->ncols = 2;
        p->nrows = 2;
        return CodeOf([&] { p->RankZones(z); });
    };
    EXPECT_EQ(codeOf({1, 40000, 2, 3}), 3);
    EXPECT_EQ(codeOf({-9999, -9999, -9999, -9999}), 7);
    EXPECT_EQ(codeOf({1, 1, 2, 2}), 0);
    store_[2] = GridStoreEntry{};
    EXPECT_EQ(CodeOf([&] { p->RankZones(z); }), 33);
}

namespace {

// A ragged basin divided among the processes as the set-up divides it (row-major, the highest
// process first), with soil zones that also hold values in the holes between a row's basin
// cells (ranked) and beside the basin (not ranked). Each process holds its own rows of the
// soil zones and the weights with one row each side only.
class DividedZonesTest : public SubmodelBaseTest {
protected:
    static constexpr int kRows = 9, kCols = 8;
    using Rows = std::vector<std::vector<double>>;

    static bool InBasin(int r, int c) { return !(c == 1 && r % 3 == 0) && !(c == 5 && r % 2 == 1) && c != 8 && !(r == 2 && c > 5); }

    void Divide(Probe& p, const Rows& soil, const Rows* weights) {
        memory_handling mh;
        const int size = talvo_test::Size(), rank = talvo_test::Rank();
        Matrix zone = mh.matrix(1, kRows, 1, kCols, kRows);
        owners_ = mh.matrix(1, kRows, 1, kCols, kRows);
        columns_.assign(kRows + 1, ColumnRange{0, -1});
        std::int64_t cells = 0;
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                zone[r][c] = InBasin(r, c) ? 1.0 : -9999.0;
                if (!InBasin(r, c)) continue;
                ++cells;
                if (columns_[r].first == 0) columns_[r].first = c;
                columns_[r].last = c;
            }
        std::vector<int> firsts, lasts;
        AssignOwners(zone, owners_, kRows, kCols, -9999.0,
                     CellShares(cells, std::vector<double>(static_cast<std::size_t>(size), 1.0 / size)), firsts, lasts);
        p.ncols = kCols;
        p.nrows = kRows;
        p.firstRow = firsts[static_cast<std::size_t>(rank)];
        p.lastRow = lasts[static_cast<std::size_t>(rank)];
        const int lo = std::max(1, p.firstRow - 1), hi = std::min(kRows, p.lastRow + 1);
        soil_ = mh.matrix(lo, hi, 1, kCols, kRows);
        weights_ = mh.matrix(lo, hi, 1, kCols, kRows);
        for (int r = lo; r <= hi; ++r)
            for (int c = 1; c <= kCols; ++c) {
                soil_[r][c] = soil[r - 1][c - 1];
                weights_[r][c] = weights ? (*weights)[r - 1][c - 1] : 0.0;
            }
        RegisterSoilZoneEntry(store_, soil_);
        p.mpiRegions = &owners_;
        p.basinColumns = &columns_;
        p.relCellArea = weights ? &weights_ : nullptr;
    }

    // One scan of the whole grid in row order, as a single process ranks.
    ZoneRanking OneScan(const Rows& soil, const Rows* weights) const {
        ZoneRanking z;
        std::map<long, zoneFZT> byCode;
        for (int r = 1; r <= kRows; ++r)
            for (int c = columns_[r].first; c >= 1 && c <= columns_[r].last; ++c) {
                const double v = soil[r - 1][c - 1];
                if (v == -9999.0) continue;
                zoneFZT& rec = byCode.try_emplace(static_cast<long>(std::floor(v + 0.5)), zoneFZT{0, 0, v, 0, 0}).first->second;
                rec.sx += 1;
                rec.n += weights ? (*weights)[r - 1][c - 1] : 1.0;
            }
        z.records.push_back(zoneFZT{0, 0, 1.0, 1.0, 0});
        for (const auto& [code, rec] : byCode) {
            z.records.push_back(rec);
            z.records.back().RelCellSum = rec.n;
            z.maxCode = static_cast<int>(code);
        }
        z.zoneCount = static_cast<int>(byCode.size());
        return z;
    }

    Matrix owners_, soil_, weights_;
    std::vector<ColumnRange> columns_;
};

}  // namespace

// Every process ranks its own cells and all end with the tables of one row-order scan: the
// value met first in each zone, the cells (holes between basin cells included, cells beside
// the basin not), and weights that are no whole numbers added in row order bit for bit.
TEST_F(DividedZonesTest, RankingOfOwnCellsEqualsOneRowOrderScan) {
    auto p = Active();
    const Rows soil = [] {
        Rows s(kRows, std::vector<double>(kCols));
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) s[r - 1][c - 1] = (r * 5 + c * 3) % 7 == 0 ? -9999.0 : ((r + c) % 4) * 2 + 0.1 * (c % 3);
        return s;
    }();
    Rows weights(kRows, std::vector<double>(kCols));
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) weights[r - 1][c - 1] = 1.0 / (r + 2 * c) + 1e8 * ((r * c) % 3 == 0);
    for (const Rows* w : {static_cast<const Rows*>(nullptr), static_cast<const Rows*>(&weights)}) {
        Divide(*p, soil, w);
        ZoneRanking z;
        ASSERT_EQ(CodeOf([&] { p->RankZones(z); }), 0);
        const ZoneRanking want = OneScan(soil, w);
        ASSERT_EQ(z.zoneCount, want.zoneCount);
        EXPECT_EQ(z.maxCode, want.maxCode);
        double total = 0;
        for (int i = 1; i <= z.zoneCount; ++i) {
            const zoneFZT &got = z.records[i], &exp = want.records[i];
            EXPECT_EQ(got.zonenwert, exp.zonenwert) << i;
            EXPECT_EQ(got.sx, exp.sx) << i;
            EXPECT_EQ(got.n, exp.n) << i << (w ? " weighted" : "");
            EXPECT_EQ(got.RelCellSum, exp.n) << i;
            EXPECT_EQ(z.index[static_cast<std::size_t>(std::floor(exp.zonenwert + 0.5))], i);
            total += got.rel;
        }
        EXPECT_NEAR(total, 1.0, 1e-9);
    }
}

// A sub-model built later takes over the ranking of the same grid with the same weights as it
// stands (here the grid changed since: the tables stay those of the first ranking), and ranks
// for itself where its weights differ.
TEST_F(DividedZonesTest, RankingOfTheSameGridAndWeightsIsTakenOver) {
    Rows soil(kRows, std::vector<double>(kCols));
    Rows weights(kRows, std::vector<double>(kCols));
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
            soil[r - 1][c - 1] = (r + 2 * c) % 5 + 1;
            weights[r - 1][c - 1] = 0.5 + 0.01 * r;
        }
    auto first = Active();
    Divide(*first, soil, nullptr);
    ZoneRanking made;
    ASSERT_EQ(CodeOf([&] { first->RankZones(made); }), 0);
    const ZoneRanking want = OneScan(soil, nullptr);
    ASSERT_EQ(made.zoneCount, want.zoneCount);

    settings_.zoneRanking = &made;
    auto later = Active();
    settings_.zoneRanking = nullptr;
    Rows changed = soil;
    changed[0][1] = 9;  // a new zone
    Divide(*later, changed, nullptr);
    ZoneRanking taken;
    ASSERT_EQ(CodeOf([&] { later->RankZones(taken); }), 0);
    ASSERT_EQ(taken.zoneCount, want.zoneCount);
    for (int i = 1; i <= want.zoneCount; ++i) EXPECT_EQ(taken.records[i].sx, want.records[i].sx) << i;

    Divide(*later, soil, &weights);
    ZoneRanking own;
    ASSERT_EQ(CodeOf([&] { later->RankZones(own); }), 0);
    const ZoneRanking weighted = OneScan(soil, &weights);
    ASSERT_EQ(own.zoneCount, weighted.zoneCount);
    for (int i = 1; i <= weighted.zoneCount; ++i) EXPECT_EQ(own.records[i].n, weighted.records[i].n) << i;
}

// A code out of range or zone number 16001, wherever it lies, stops every process with the
// code of the row-order scan, which comes to the first of the two; process 0 says why.
TEST_F(DividedZonesTest, ScanStopsAsOneRowOrderScanStops) {
    auto p = Active();
    Rows soil(kRows, std::vector<double>(kCols, 2.0));
    auto stopWith = [&](int r, int c, double v) {
        Rows s = soil;
        s[r - 1][c - 1] = v;
        Divide(*p, s, nullptr);
        ZoneRanking z;
        return CodeOf([&] { p->RankZones(z); });
    };
    EXPECT_EQ(stopWith(1, 2, -3), 3);  // the first process's cells
    EXPECT_EQ(stopWith(5, 3, 40000), 3);
    EXPECT_EQ(stopWith(9, 7, -1), 3);  // process 0's last cell
    EXPECT_EQ(stopWith(2, 6, -3), 0);  // beside the basin
    EXPECT_EQ(stopWith(3, 5, -3), 3);  // a hole between basin cells
    if (talvo_test::Rank() == 0) {
        EXPECT_TRUE(Logged("wrong zone index in soilzones.asc!"));
    }

    // Too many zones: 16001 codes in a grid of 127 x 127 cells (every cell in the basin).
    const int n = 127;
    memory_handling mh;
    Matrix zone = mh.matrix(1, n, 1, n, n);
    zone.fill(1.0);
    auto codeWith = [&](int invalidAt, int distinct = 127 * 127) {
        std::vector<int> firsts, lasts;
        const int size = talvo_test::Size(), rank = talvo_test::Rank();
        AssignOwners(zone, owners_, n, n, -9999.0,
                     CellShares(n * n, std::vector<double>(static_cast<std::size_t>(size), 1.0 / size)), firsts, lasts);
        p->ncols = p->nrows = n;
        p->firstRow = firsts[static_cast<std::size_t>(rank)];
        p->lastRow = lasts[static_cast<std::size_t>(rank)];
        columns_.assign(n + 1, ColumnRange{1, n});
        soil_ = mh.matrix(1, n, 1, n, n);
        for (int r = 1; r <= n; ++r)
            for (int c = 1; c <= n; ++c)
                soil_[r][c] = (r - 1) * n + c - 1 == invalidAt ? -5 : ((r - 1) * n + c - 1) % distinct;
        p->relCellArea = nullptr;
        ZoneRanking z;
        return CodeOf([&] { p->RankZones(z); });
    };
    owners_ = mh.matrix(1, n, 1, n, n);
    EXPECT_EQ(codeWith(16000), 3);  // just before the zone number 16001
    EXPECT_EQ(codeWith(16001), 4);  // just after it
    if (talvo_test::Rank() == 0) {
        EXPECT_TRUE(Logged("too much zones in soilzones.asc, (max. 16000!)"));
    }
    // Fewer zones than that but more than 10000 subbasins stop every process as well.
    EXPECT_EQ(codeWith(-1, 10000), 0);
    EXPECT_EQ(codeWith(-1, 10001), 4);
    if (talvo_test::Rank() == 0) {
        EXPECT_TRUE(Logged("too much subbasins (10001) in probe (max. 10000). Ende!"));
    }
}
