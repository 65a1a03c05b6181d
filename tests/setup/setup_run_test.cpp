// A whole initialisation from files, then a few time steps: the derived grids written at start,
// a periodic standard grid and the zone statistics of a standard grid, all the same for any
// number of processes.
#include <gtest/gtest.h>

#include <omp.h>

#include <string>
#include <vector>

#include "domain_fixture.hpp"

using setup_test::GridText;
using setup_test::kNd;
using setup_test::Rows;

namespace {

// Zone 4 in columns 1-6, zone 8 in columns 7-12; two cells outside the basin.
Rows Zone() {
    Rows z = setup_test::Fill(6, 12, [](int, int c) { return c <= 6 ? 4.0 : 8.0; });
    z[0][0] = z[5][11] = kNd;
    return z;
}
Rows Terrain() {
    Rows e = setup_test::Fill(6, 12, [](int r, int c) { return 800.0 + 2.0 * r * r - 5.0 * c + r * c; });
    e[2][6] = kNd;
    return e;
}
Rows Basin(double v) { return setup_test::OnZone(Zone(), v); }
std::string Shared(const std::string& path) { return setup_test::SmallDomainTest::SharedFile(path); }

// The control file of the runs, with the given "[standard_grids]" section body.
std::string Control(const std::string& standardGrids) {
    return "[output_interval]\n1\n0\n0\n0\nWriteAsciiGrids = 1\n\n[output_list]\n0\n[coordinates]\n47\n8\n15\n0\n"
           "[meteo_data_count]\n0\n[meteo_names]\n[model_time]\n1\n1\n1\n2000\n24\n2\n1\n2000\n"
           "[zone_grid]\nzones.asc\n[elevation_model]\ndem.asc\n[standard_grids]\n" +
           standardGrids + "[variable_grids]\n0\n[radiation_correction]\n0\n[region_transition_distance]\n20\n";
}

class SetupRunTest : public setup_test::SetupTest {
protected:
    void SetUp() override {
        SetupTest::SetUp();
        setup_test::WriteShared("MpiSpeedFactor.dat", "1\n");
        setup_test::WriteShared("zones.asc", GridText(Zone(), 0, 0, 10));
        setup_test::WriteShared("dem.asc", GridText(Terrain(), 0, 0, 10));
    }
};

TEST_F(SetupRunTest, DerivedGridsPeriodicGridsAndStatisticsOfAWholeRun) {
    setup_test::WriteShared("lai.asc", GridText(Basin(1), 0, 0, 10));
    setup_test::WriteShared("lai.asc_2000010101", GridText(Basin(2), 0, 0, 10));
    setup_test::WriteShared("lai.asc_2000010201", GridText(Basin(3), 0, 0, 10));
    setup_test::WriteShared("run.ctl",
                            Control("2\nrain.asc rain fillcode = 0 readcode = 0 defaultValue = 2 statfile = rainstat.txt "
                                    "statcode = 2001\nlai.asc lai fillcode = 0 periodicity = 1 D 1\n"));
    std::vector<OutputCodeEntry> table(kOutputCodeTableSize);
    {
        unsigned error = 1;
        defaultini setup(error, log_.get(), "run.ctl", 2, store_.get());
        ASSERT_EQ(error, 0u);
        bool done = false;
        while (!done) setup.InitStep(done);
        setup.CreateStandardGridStatistics(table.data(), static_cast<int>(table.size()));

        // Cell sizes, area and coordinates of the header measures; the region weights.
        EXPECT_EQ(Shared("zones.$rca"), GridText(Basin(1), 0, 0, 10));
        EXPECT_EQ(Shared("zones.$csy"), GridText(Basin(10), 0, 0, 10));
        const Rows cx = setup_test::OnZone(Zone(), [](int, int c) { return (c - 1) * 10.0; });
        const Rows cy = setup_test::OnZone(Zone(), [](int r, int) { return (6 - r) * 10.0; });
        EXPECT_EQ(Shared("zones.$cx"), GridText(cx, 0, 0, 10));
        EXPECT_EQ(Shared("zones.$cy"), GridText(cy, 0, 0, 10));
        // The weights are computed over the rows' column ranges: the nodata corners outside
        // them keep the 0 of the new grid.
        Rows weights = Basin(1);
        weights.front().front() = weights.back().back() = 0.0;
        EXPECT_EQ(Shared("zones.$w1"), GridText(weights, 0, 0, 10));

        Rows slope, aspect;
        setup_test::WholeGridSlopeAspect(Terrain(), 10, &slope, &aspect);
        EXPECT_EQ(Shared("dem.$sl"), GridText(slope, 0, 0, 10));
        EXPECT_EQ(Shared("dem.$ex"), GridText(aspect, 0, 0, 10));

        // Two days of hourly steps: the land-use grid changes at the first step of each day.
        for (int day = 1; day <= 2; ++day) {
            for (int hour = 1; hour <= 24; ++hour) {
                setup.UpdatePeriodicGrids(hour, day, 1, 2000);
                setup.WriteStandardGrids(hour, day, 1, 2000);
                setup.ResetStandardGridStatistics();
                setup.AddStandardGridStatistics();
                setup.StepStandardGridStatistics(hour, day, 1, 2000);
            }
            const Matrix& lai = *(*store_)[setup.FindGrid("lai", true)].grid;
            if (setup.rank == 0) { EXPECT_EQ(lai[3][3], day + 1.0); }
        }
        setup.WriteStandardGridStatisticLines();
    }
    std::string expected = StrFormat("YY\tMM\tDD\tHH\t\"4\"\t\"8\"\ttot_average\nrain_submodel:(default)\n"
                                     "--\t--\t--\t--\t%.7lf\t%.7lf\t1.0000\n",
                                     35.0 / 70, 35.0 / 70);
    for (int day = 1; day <= 2; ++day)
        for (int hour = 1; hour <= 24; ++hour)
            expected += StrFormat("2000\t 1\t%2d\t%2d\t2.00000\t2.00000\t2.00000\n", day, hour);
    EXPECT_EQ(Shared("rainstat.txt"), expected);
}

// A non-persistent periodic grid of a whole initialisation returns to the values read at the
// start, two steps after each switch.
TEST_F(SetupRunTest, ANonPersistentGridReturnsToTheValuesReadAtTheStart) {
    setup_test::WriteShared("wet.asc", GridText(Basin(7), 0, 0, 10));
    setup_test::WriteShared("wet.asc_2000010101", GridText(Basin(50), 0, 0, 10));
    setup_test::WriteShared("run.ctl", Control("1\nwet.asc wet fillcode = 0 periodicity = 1 D 1 persistent = 0 2\n"));
    unsigned error = 1;
    defaultini setup(error, log_.get(), "run.ctl", 2, store_.get());
    ASSERT_EQ(error, 0u);
    bool done = false;
    while (!done) setup.InitStep(done);
    const Matrix& wet = *(*store_)[setup.FindGrid("wet", true)].grid;
    const Matrix& zone = *(*store_)[1].grid;
    auto expectOwn = [&](double v) {
        for (int r = setup.firstRow; r <= setup.lastRow; ++r)
            for (int c = 1; c <= setup.ncols; ++c)
                if (zone[r][c] > kNd && (*setup.mpiRegions)[r][c] == setup.rank) {
                    ASSERT_EQ(wet[r][c], v) << r << "," << c;
                }
    };
    expectOwn(7);
    const double expected[] = {50, 50, 7, 7};
    for (int hour = 1; hour <= 4; ++hour) {
        SCOPED_TRACE(hour);
        setup.UpdatePeriodicGrids(hour, 1, 1, 2000);
        expectOwn(expected[hour - 1]);
    }
}

// A text elevation model of half a megabyte (values spelt with 100 trailing zeros) on an 80 x 60
// domain with gaps: the set-up parses it in byte shares with a team of four threads and computes
// the slope and aspect by rows on the team before it fills their gaps, and the elevation it holds
// and the files written are those of one thread.
TEST_F(SetupRunTest, ATextGridParsedByThreadsSetsUpAsWithOneThread) {
    const Rows zone = setup_test::Fill(80, 60, [](int r, int c) { return r + c < 8 || (r > 60 && c > 55) ? kNd : 4.0 + (c > 25 ? 4 : 0); });
    Rows terrain = setup_test::OnZone(zone, [](int r, int c) { return 700.0 + 0.125 * r * r - 1.5 * c + 0.25 * r * c; });
    terrain[30][20] = terrain[30][21] = terrain[31][20] = terrain[55][5] = kNd;  // gaps inside the basin
    std::string dem = "ncols 60\nnrows 80\nxllcorner 0\nyllcorner 0\ncellsize 10\nnodata_value -9999\n";
    for (const auto& row : terrain)
        for (double v : row) dem += (v == kNd ? std::string("-9999") : StrFormat("%.3f", v) + std::string(100, '0')) + " \n"[v == kNd];
    setup_test::WriteShared("zones.asc", GridText(zone, 0, 0, 10));
    setup_test::WriteShared("dem.asc", dem);
    setup_test::WriteShared("run.ctl", Control("0\n"));
    const int saved = omp_get_max_threads();
    std::vector<std::string> files[2];
    for (int pass = 0; pass < 2; ++pass) {
        omp_set_num_threads(pass == 0 ? 1 : 4);
        store_ = std::make_unique<GridStore>();
        unsigned error = 1;
        defaultini setup(error, log_.get(), "run.ctl", 2, store_.get());
        ASSERT_EQ(error, 0u);
        bool done = false;
        while (!done) setup.InitStep(done);
        const Matrix& elevation = *(*store_)[setup.FindGrid("[elevation_model]", true)].grid;
        for (int r = setup.firstRow; r <= setup.lastRow; ++r)
            for (int c = 1; c <= 60; ++c)
                if (elevation.holds(r) && setup.mpiRegions->holds(r) && (*setup.mpiRegions)[r][c] == setup.rank) {
                    ASSERT_EQ(elevation[r][c], terrain[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)])
                        << r << "," << c;
                }
        MPI_Barrier(MPI_COMM_WORLD);
        for (const char* name : {"dem.$sl", "dem.$ex", "zones.$w1", "zones.$cx"}) files[pass].push_back(Shared(name));
    }
    omp_set_num_threads(1);
    EXPECT_EQ(files[0], files[1]);
    Rows slope, aspect;
    setup_test::WholeGridSlopeAspect(terrain, 10, &slope, &aspect);
    EXPECT_EQ(files[1][0], GridText(slope, 0, 0, 10));
    EXPECT_EQ(files[1][1], GridText(aspect, 0, 0, 10));
    omp_set_num_threads(saved);
}

// Two land-use layers; the code check of a re-read grid is recorded, its codes are positions.
class TwoLayerTables : public ParameterTables {
public:
    int MultilayerLayerCount() const override { return 2; }
    double MultilayerLanduseCode(int position, int layer) const override { return position * 10.0 + layer; }
    void RecheckLanduse(defaultini&, int) override { ++rechecks; }
    int rechecks = 0;
};

TEST_F(SetupRunTest, ReReadLanduseRefillsTheLayerGridsOfTheOwnCells) {
    setup_test::WriteShared("lu.asc", GridText(Basin(1), 0, 0, 10));
    setup_test::WriteShared("lu.asc_2000010101", GridText(Basin(2), 0, 0, 10));
    setup_test::WriteShared("run.ctl", Control("1\nlu.asc landuse fillcode = 0 periodicity = 1 D 1\n"));

    unsigned error = 1;
    defaultini setup(error, log_.get(), "run.ctl", 2, store_.get());
    auto tables = std::make_shared<TwoLayerTables>();
    setup.SetParameterTables(tables);
    bool done = false;
    while (!done) setup.InitStep(done);
    const int layer1 = setup.FindGrid("landuse1", true), layer2 = setup.FindGrid("landuse2", true);
    ASSERT_GT(layer1, 0);
    ASSERT_GT(layer2, 0);

    setup.UpdatePeriodicGrids(1, 1, 1, 2000);
    EXPECT_EQ(tables->rechecks, 1);
    const Matrix& zone = *(*store_)[1].grid;
    for (int r = setup.firstRow; r <= setup.lastRow; ++r)
        for (int c = 1; c <= setup.ncols; ++c) {
            if (!(zone[r][c] > kNd) || (*setup.mpiRegions)[r][c] != setup.rank) continue;
            EXPECT_EQ((*(*store_)[layer1].grid)[r][c], 21.0) << r << " " << c;
            EXPECT_EQ((*(*store_)[layer2].grid)[r][c], 22.0) << r << " " << c;
        }
}

}  // namespace
