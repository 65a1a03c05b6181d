// The interpolator of one meteorological input over the test domain: section, methods,
// scaling, limits, scenarios, the step date, the progress line and steps without values.
#include <gtest/gtest.h>

#include <mpi.h>

#include <cmath>
#include <sstream>
#include <vector>

#include "methods_support.hpp"
#include "setup/spinup.hpp"

namespace {

using namespace meteo_test;

// Stations: (1000, 3000) at 100 m, (2000, 1000) at 200 m, (4000, 0) at 300 m, each at the
// lower-left corner of a basin cell.
const std::vector<StationPoint> kStations = {{1000, 3000, 100}, {2000, 1000, 200}, {4000, 0, 300}};
const std::string kStationHeader = StationHeaderOf(kStations);
const std::vector<double> kValues = {1.5, 4, -7.25};

double Idw2(int r, int c) { return IdwByHand(CellX(c), CellY(r), kStations, kValues); }

class MeteoInterpolatorTest : public MethodTest {
protected:
    std::unique_ptr<meteointerpol> Build(int method, const std::string& records, const SectionValues& v = {},
                                         const std::string& extraLines = "regr.dat\n") {
        Share("st.dat", kStationHeader + records);
        Share("test.ctl", Section("temperature", method, "st.dat\n" + extraLines, v));
        unsigned error = 0;
        auto ip = Make("temperature", &error);
        EXPECT_EQ(error, 0u) << Console();
        return error == 0 ? std::move(ip) : nullptr;
    }
    unsigned BuildError(int method, const std::string& fileLines, const SectionValues& v = {}) {
        Share("st.dat", kStationHeader + "2000 1 1 0 1 2 3\n");
        Share("test.ctl", Section("temperature", method, fileLines, v));
        unsigned error = 0;
        Make("temperature", &error);
        return error;
    }
    // Column 5 of every row belongs to no process; a scaling grid of 1 + column / 10.
    void ScalingGridAndAnUnownedColumn() {
        for (int r = 1; r <= kRows; ++r) regions[r][5] = 99;
        scale_ = mh_.matrix(1, kRows, 1, kCols, kRows);
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) scale_[r][c] = 1.0 + c / 10.0;
        GridStoreEntry& e = store[7];
        e.grid = &scale_;
        e.fileName = e.internalName = "ScalingGrid_temperature";
        e.hasFileName = e.hasInternalName = true;
    }
    // The station nearest to a cell (the earlier one on a tie).
    static std::size_t Nearest(int r, int c) {
        std::size_t best = 0;
        double bestD2 = 1e20;
        for (std::size_t k = 0; k < kStations.size(); ++k) {
            const double dx = kStations[k].x - CellX(c), dy = kStations[k].y - CellY(r);
            if (dx * dx + dy * dy < bestD2) bestD2 = dx * dx + dy * dy, best = k;
        }
        return best;
    }
    memory_handling mh_;
    Matrix scale_;
};

TEST_F(MeteoInterpolatorTest, InverseDistanceGridAndDescription) {
    auto ip = Build(1, "2000 1 1 0 1.5 4 -7.25\n");
    ASSERT_TRUE(ip);
    Step(*ip);
    ExpectCells(*ip, Idw2);
    EXPECT_NE(ip->Description().find("temperature interpolated with idw from st.dat, zones from zones.asc, "
                                     "weighting =  2.0,  maxentf =    30000, control file test.ctl"),
              std::string::npos);
}

TEST_F(MeteoInterpolatorTest, ScalingAndLimitsWithTheirSwappedPrompts) {
    SectionValues v;
    v.scaling = 2.0;
    v.lowerLimit = -50;
    v.lowerReplacement = -49;
    v.upperLimit = 50;
    v.upperReplacement = 49;
    auto ip = Build(1, "2000 1 1 0 -30 -30 -30\n2000 1 1 1 30 30 30\n2000 1 1 2 25 25 25\n", v);
    ASSERT_TRUE(ip);
    for (double want : {-49.0, 49.0, 50.0}) {
        Step(*ip);
        ExpectCells(*ip, [&](int, int) { return want; });
    }
}

TEST_F(MeteoInterpolatorTest, StepsWithoutAnyValidStationHoldNodataNamedOncePerStretch) {
    auto ip = Build(1, "2000 1 1 0 -10000 -10000 x\n2000 1 1 1 -10000 -10000 -10000\n"
                       "2000 1 1 2 1.5 4 -7.25\n2000 1 1 3 -10000 -10000 -10000\n");
    ASSERT_TRUE(ip);
    const auto none = [](int, int) { return -9999.0; };
    // The start record has no valid station either: no data, not the replacement of the lower
    // limit; the next record continues the stretch without a second entry.
    Step(*ip);
    ExpectCells(*ip, none);
    Step(*ip);
    ExpectCells(*ip, none);
    EXPECT_EQ(Count(Console(), "no valid value of temperature for 1.1.2000 0 h: the grid temperature holds nodata"), 1u);
    EXPECT_EQ(Count(Console(), "holds nodata until"), 1u);
    Step(*ip);
    ExpectCells(*ip, Idw2);
    // A step without data after one with data: nodata, never the previous grid.
    Step(*ip);
    ExpectCells(*ip, none);
    EXPECT_EQ(Count(Console(), "no valid value of temperature for 1.1.2000 3 h"), 1u);
}

TEST_F(MeteoInterpolatorTest, NoStationWithinReachGivesMissingAndOrderedWarnings) {
    SectionValues v;
    v.maxDistance = 600;  // only the cells at a station reach it
    v.lowerLimit = -9000;  // the missing marker -10000 lies below and is replaced by itself
    v.lowerReplacement = -10000;
    auto ip = Build(1, "2000 1 1 0 1 2 3\n", v);
    ASSERT_TRUE(ip);
    ip->SetWarnings(1);
    Step(*ip);
    ExpectCells(*ip, [&](int r, int c) {
        for (std::size_t k = 0; k < kStations.size(); ++k)
            if (CellX(c) == kStations[k].x && CellY(r) == kStations[k].y) return k + 1.0;
        return -10000.0;
    });
    std::size_t expected = 0;
    for (int r = settings.firstRow; r <= settings.lastRow; ++r)
        for (int c = 1; c <= kCols; ++c)
            if (InBasin(r, c) && ip->ResultGrid()[r][c] == -10000.0) ++expected;
    EXPECT_EQ(Count(Console(), "no station within the specified search radius!"), expected);
    // The console shows the entry without its "WARNING: " prefix.
    if (settings.firstRow == 1) {
        EXPECT_TRUE(Logged("\n at x=2000, y=3000 no station"));
    }
}

TEST_F(MeteoInterpolatorTest, ElevationRegressionZonesAndMissingParameters) {
    // h1 = 250, h2 = 400; p0 missing, so the lines alone count.
    Share("regr.dat", "jr mo tt hh\n"
                      "2000 1 1 0 10 -0.01 250 5 0.02 400 1 0.001 -10000 0 0\n"
                      "2000 1 1 1 -10000 0 250 0 0 400 0 0 -10000 0 0\n");
    auto ip = Build(2, "2000 1 1 0 1 2 3\n");
    ASSERT_TRUE(ip);
    auto line = [](int r, int c) {
        const double z = CellZ(r, c);
        if (z < 250) return 10 - 0.01 * z;
        if (z <= 400) return 5 + 0.02 * z;  // z = 250 (row 2, column 5) is in the middle zone
        return 1 + 0.001 * z;
    };
    Step(*ip);
    ExpectCells(*ip, line);
    Step(*ip);
    // a1 missing: the step has no data, never the previous step's grid.
    ExpectCells(*ip, [](int, int) { return -9999.0; });
    EXPECT_EQ(Count(Console(), "no valid value of temperature for 1.1.2000 1 h: the grid temperature holds nodata"), 1u);
}

TEST_F(MeteoInterpolatorTest, ScenariosAddMonthlyChangesOrMultiplyByPercent) {
    SectionValues v;
    v.scenario = "1 SzenUse\n3 SzenMeth\n2 SzenNum\n0 0 10 10 10 10 10 10 10 10 10 10 10 10\n"
                 "99999 99999 50 50 50 50 50 50 50 50 50 50 50 50";
    auto percent = Build(1, "2000 1 1 0 5 5 5\n", v);
    ASSERT_TRUE(percent);
    Step(*percent);
    ExpectCells(*percent, [](int, int) { return 5 * 1.1; });
    percent.reset();

    settings.startMonth = 3;
    settings.endMonth = 4;
    v.scenario = "1 SzenUse\n1 SzenMeth\n1 SzenNum\n0 0 1 2 3 4 5 6 7 8 9 10 11 12";
    auto ip = Build(1, "2000 3 1 0 5 5 5\n", v);
    ASSERT_TRUE(ip);
    Step(*ip);
    // 1 March: M(3)*13/28 + M(2)*15/28 added.
    ExpectCells(*ip, [](int, int) { return 5 + 3.0 * 13 / 28 + 2.0 * 15 / 28; });
    EXPECT_TRUE(Logged("using scenarios!"));
    ip.reset();

    // From the 16th on towards the next month, round the year: 20 December takes
    // M(1)*5/31 + M(12)*26/31.
    settings.startMonth = settings.endMonth = 12;
    settings.startDay = 20;
    settings.endDay = 21;
    ip = Build(1, "2000 12 20 0 5 5 5\n", v);
    ASSERT_TRUE(ip);
    Step(*ip);
    ExpectCells(*ip, [](int, int) { return 5 + 1.0 * 5 / 31 + 12.0 * 26 / 31; });
}

TEST_F(MeteoInterpolatorTest, StepDateMustMatchTheRecord) {
    auto ip = Build(1, "2000 1 1 0 1 2 3\n");
    ASSERT_TRUE(ip);
    EXPECT_EQ(ErrorOf([&] { ip->run(1, 1, 1, 2000); }), 52);
    EXPECT_TRUE(Logged("error in date columns of temperature\n\nfirst Meteo data set (this is the set from "
                       "which data is get:\n1.1.2000 1. h\n\nbut in temperature:\n1.1.2000 0. h"));
}

TEST_F(MeteoInterpolatorTest, ProgressLineAndRunIntervalBelowOne) {
    settings.runInterval = 0;
    auto ip = Build(1, "2000 1 1 0 1 2 3\n2000 1 1 1 1 2 3\n2000 1 1 2 1 2 3\n");
    ASSERT_TRUE(ip);
    EXPECT_EQ(Count(Console(), "run interval 0 of [output_interval] is below 1"), 1u);
    for (int i = 0; i < 3; ++i) Step(*ip);
    EXPECT_EQ(Count(Console(), ". h "), 3u);
    EXPECT_TRUE(Logged("         temperature 1.1.2000 2. h "));

    ip->runInterval = 24;
    ip->SetHourOffset(0);
    EXPECT_TRUE(ip->ProgressLineDue(0));
    EXPECT_FALSE(ip->ProgressLineDue(6));
    ip->SetHourOffset(1);
    for (int h = 0; h <= 24; ++h) EXPECT_FALSE(ip->ProgressLineDue(h)) << h;
    ip->runInterval = 1;
    EXPECT_TRUE(ip->ProgressLineDue(7));
}

TEST_F(MeteoInterpolatorTest, SectionFailures) {
    EXPECT_EQ(BuildError(13, "st.dat\n"), 53u);
    SectionValues ratio;
    ratio.ratio = 0;
    EXPECT_EQ(BuildError(1, "st.dat\nregr.dat\n", ratio), 54u);
    ratio.ratio = 1.5;
    EXPECT_EQ(BuildError(1, "st.dat\nregr.dat\n", ratio), 54u);
    SectionValues slope;
    slope.slope = 100;
    slope.ratio = 0.5;
    EXPECT_EQ(BuildError(4, "st.dat\nregr.dat\n", slope), 54u);
    EXPECT_TRUE(Logged("anisotropy slope has to range from -90 to +90 degree"));
    EXPECT_EQ(BuildError(12, "st.dat\n-0.0065 100\n"), 49u);
    SectionValues scenario;
    scenario.scenario = "1 SzenUse\n0 SzenMeth\n1 SzenNum\n0 0 1 2 x";
    EXPECT_EQ(BuildError(1, "st.dat\nregr.dat\n", scenario), 48u);
    EXPECT_TRUE(Logged("scenario-data row 1, column 5 in temperature: read error!"));
    // Numbers of the method lines and the scenario table pass the check of every control-file number.
    SectionValues nanPoint;
    nanPoint.scenario = "1 SzenUse\n0 SzenMeth\n1 SzenNum\n0 0 1 2 nan 4 5 6 7 8 9 10 11 12";
    EXPECT_EQ(BuildError(1, "st.dat\nregr.dat\n", nanPoint), 17u);
    EXPECT_TRUE(Logged("scenario-data row 1, column 5 in temperature; "));
    EXPECT_TRUE(Logged("the value nan in section [temperature] is not a finite number!"));
    SectionValues negative;
    negative.scenario = "1 SzenUse\n0 SzenMeth\n-1 SzenNum\n";
    EXPECT_EQ(BuildError(1, "st.dat\nregr.dat\n", negative), 17u);
    EXPECT_TRUE(Logged("the count -1 in section [temperature] is below 0!"));
    // Settings under which no station could count: all of them stop at the section.
    SectionValues noData, noDistance, hugePower;
    noData.nodata = 0;
    noDistance.maxDistance = 0;
    hugePower.idwWeight = 1e308;
    EXPECT_EQ(BuildError(1, "st.dat\nregr.dat\n", noData), 17u);
    EXPECT_TRUE(Logged("nodata value in temperature (station values are valid within [-N, N]); temperature: the value 0 "
                       "in section [temperature] must be > 0!"));
    EXPECT_EQ(BuildError(1, "st.dat\nregr.dat\n", noDistance), 17u);
    EXPECT_TRUE(Logged("maximum distance in temperature; temperature: the value 0 in section [temperature] must be > 0!"));
    EXPECT_EQ(BuildError(1, "st.dat\nregr.dat\n", hugePower), 17u);
    EXPECT_TRUE(Logged("the value 1e+308 in section [temperature] must be in (0, 50]!"));
    EXPECT_EQ(BuildError(12, "st.dat\ninf 100 -0.005\n"), 17u);
    EXPECT_TRUE(Logged("lapse rate parameters of temperature; "));
    // A section that ends before its station file line, a grid list without all five mapping
    // parameters, and scenario grids named for three months only.
    Share("test.ctl", "x\n[temperature]\n1 method\n");
    unsigned early = 0;
    Make("temperature", &early);
    EXPECT_EQ(early, 49u);
    EXPECT_TRUE(Logged("error reading station data file name nr. 0 for interpolation of temperature")) << Console();
    EXPECT_TRUE(FatalLogged());
    EXPECT_EQ(BuildError(9, "grids.lst\n8.9e-5 0.0767 127 6e-6\n"), 49u);
    EXPECT_TRUE(Logged("error reading the required 5 GIF-Mapping parameters f1 (default=8.916787e-5), x1 "
                       "(0.0767528404), threshold (127), f2 (default=6.00e-006), x2 (0.098) for interpolation of "
                       "temperature"));
    SectionValues threeMonths;
    threeMonths.scenario = "1 SzenUse\n5 SzenMeth\njan.asc\nfeb.asc\nmar.asc\n";
    const std::string text = Section("temperature", 1, "st.dat\nregr.dat\n", threeMonths);
    Share("test.ctl", text.substr(0, text.rfind("[other]")));
    unsigned months = 0;
    Make("temperature", &months);
    EXPECT_EQ(months, 17u);
    EXPECT_TRUE(Logged("error in control file: scenario grid for month 4 in temperature not found!\nThere "
                       "have to be exactly 12 filenames after the sceario application mode\nreferring to each of the "
                       "12 months if using scenario method 5.\nHowever, if methods 0..4 are used, NO FILENAMES are "
                       "allowed there\n (for backwards compatibility reasons)"));
    // A statistics line without its output code.
    SectionValues noCode;
    noCode.statistics = "stat.txt";
    EXPECT_EQ(BuildError(1, "st.dat\nregr.dat\n", noCode), 17u);
    EXPECT_TRUE(Logged("name of the statistic result file in temperature")) << Console();
    // A section that ends early misses a value.
    Share("test.ctl", "x\n[temperature]\n1\nst.dat\nregr.dat\nresult\n0\n");
    unsigned error = 0;
    Make("temperature", &error);
    EXPECT_EQ(error, 17u);
    EXPECT_TRUE(Logged("scaling factor for temperature"));
}

TEST_F(MeteoInterpolatorTest, AdditionalColumnsOfTheStationFileAreSkipped) {
    // Two columns between the date and the stations, numbers on every line: read as stations
    // they would make five, and their values would win the nearest-station search.
    std::string header = "stations\nYY MM DD HH 7 7 100 200 300\nYY MM DD HH 0 0 1000 2000 4000\n"
                         "YY MM DD HH 0 0 3000 1000 0\nfifth\n";
    Share("st.dat", header + "2000 1 1 0 77 88 1.5 4 -7.25\n");
    Share("test.ctl", Section("temperature", 4, "st.dat AdditionalColumns=2\nregr.dat\n"));
    unsigned error = 0;
    auto ip = Make("temperature", &error);
    ASSERT_EQ(error, 0u) << Console();
    ASSERT_EQ(ip->Station(0).StationCount(), 3);
    EXPECT_EQ(ip->Station(0).Altitude()[3], 300.0);
    Step(*ip);
    ExpectCells(*ip, [](int r, int c) { return kValues[Nearest(r, c)]; });
}

TEST_F(MeteoInterpolatorTest, StatisticsTableHoldsTheDescription) {
    SectionValues v;
    v.statistics = "stat.txt 1001";
    auto ip = Build(1, "2000 1 1 0 2 2 2\n2000 1 1 1 4 4 4\n", v);
    ASSERT_TRUE(ip);
    Step(*ip);
    Step(*ip);
    ip->FlushStatistics();
    MPI_Barrier(MPI_COMM_WORLD);
    if (talvo_test::Rank() == 0) {
        const std::string table = talvo_test::ReadFile("stat.txt");
        EXPECT_NE(table.find("temperature_submodel:temperature interpolated with idw from st.dat"), std::string::npos)
            << table;
        EXPECT_NE(table.find("2000\t 1\t 1\t 1"), std::string::npos) << table;
    }
}

TEST_F(MeteoInterpolatorTest, ZoneMeanTakesEveryBasinCellWithinTheRowsColumnRanges) {
    // The set-up's column ranges of the basin cells: row 1 starts at column 2. The basin mean
    // (3 decimals) covers every basin cell once, on any number of processes.
    std::vector<ColumnRange> ranges(kRows + 1, ColumnRange{1, kCols});
    ranges[0] = ColumnRange{0, -1};
    ranges[1] = ColumnRange{2, kCols};
    SectionValues v;
    v.statistics = "stat.txt 1001";
    auto ip = Build(1, "2000 1 1 0 1.5 4 -7.25\n", v);
    ASSERT_TRUE(ip);
    ip->basinColumns = &ranges;
    Step(*ip);
    ExpectCells(*ip, Idw2);
    ip->FlushStatistics();
    MPI_Barrier(MPI_COMM_WORLD);
    if (talvo_test::Rank() != 0) return;
    double sum = 0;
    int cells = 0;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c)
            if (InBasin(r, c)) sum += Idw2(r, c), ++cells;
    const std::string table = talvo_test::ReadFile("stat.txt");
    const std::size_t line = table.find("2000\t 1\t 1\t 0");
    ASSERT_NE(line, std::string::npos) << table;
    std::istringstream row(table.substr(line));
    double year = 0, month = 0, day = 0, hour = 0, mean = 0;
    row >> year >> month >> day >> hour >> mean;
    EXPECT_NEAR(mean, sum / cells, 0.6e-3) << table;
}

TEST_F(MeteoInterpolatorTest, ZoneMeanOfEachStepIsThatOfItsGridOnEitherCellLoop) {
    // Plain inverse distance runs the row kernel, an anisotropic one the general cell loop; both
    // add their rows to the statistics. Each step's basin mean must be that of the step's grid
    // over all processes, not of the grid before.
    for (const double ratio : {1.0, 0.5}) {
        SectionValues v;
        v.ratio = ratio;
        v.statistics = ratio == 1.0 ? "kernel.txt 1001" : "general.txt 1001";
        auto ip = Build(1, "2000 1 1 0 1.5 4 -7.25\n2000 1 1 1 9 -2 30\n", v);
        ASSERT_TRUE(ip);
        for (int hour = 0; hour <= 1; ++hour) {
            Step(*ip);
            double mine[2] = {0, 0}, all[2] = {0, 0};
            for (int r = settings.firstRow; r <= settings.lastRow; ++r)
                for (int c = 1; c <= kCols; ++c)
                    if (InBasin(r, c)) mine[0] += Cell(*ip, r, c), mine[1] += 1;
            MPI_Allreduce(mine, all, 2, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
            ip->FlushStatistics();
            if (talvo_test::Rank() != 0) continue;
            const std::string table = talvo_test::ReadFile(v.statistics.substr(0, v.statistics.find(' ')));
            const std::size_t line = table.find("2000\t 1\t 1\t " + std::to_string(hour));
            ASSERT_NE(line, std::string::npos) << table;
            std::istringstream row(table.substr(line));
            double year = 0, month = 0, day = 0, h = 0, mean = 0;
            row >> year >> month >> day >> h >> mean;
            EXPECT_NEAR(mean, all[0] / all[1], 0.6e-3) << ratio << " hour " << hour << "\n" << table;
        }
    }
}

TEST_F(MeteoInterpolatorTest, GridListReadsNamedGridsAndRepeatsTheLastOne) {
    std::string grid = "ncols 5\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 1000\nNODATA_value -9999\n";
    for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) grid += std::to_string(10 * r + c) + " ";
        grid += "\n";
    }
    Share("g1.asc", grid);
    Share("list.txt", kStationHeader + "2000 1 1 0 g1.asc\n2000 1 1 1 -9999\n");
    Share("test.ctl", Section("temperature", 9, "list.txt\n8.9e-5 0.0767 127 6e-6 0.098\n"));
    unsigned error = 0;
    auto ip = Make("temperature", &error);
    ASSERT_EQ(error, 0u) << Console();
    for (int step = 0; step < 2; ++step) {
        Step(*ip);
        // Without the decomposition grids of the set-up process 0 keeps what it read.
        if (talvo_test::Rank() == 0) ExpectCells(*ip, [](int r, int c) { return 10.0 * r + c; });
    }
    ip.reset();
    Share("list.txt", kStationHeader + "2000 1 1 0 -9999\n");
    auto none = Make("temperature", &error);
    ASSERT_EQ(error, 0u);
    EXPECT_EQ(ErrorOf([&] { Step(*none); }), 1050);
}

TEST_F(MeteoInterpolatorTest, ResponseUnitCellsTakeTheirMastersValue) {
    // Unit 1: master (2, 2) with the dependent cells (2, 3) and (2, 4); every other basin cell
    // is a master of a unit of its own. Row 2 lies on one process, so the master is held there.
    memory_handling mh;
    Matrix units = mh.matrix(1, kRows, 1, kCols, kRows), masters = mh.matrix(1, kRows, 1, kCols, kRows);
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
            units[r][c] = (r == 2 && c >= 2 && c <= 4) ? 1 : 2;
            masters[r][c] = (r == 2 && (c == 3 || c == 4)) ? -9999 : 1;
        }
    GridStoreEntry& u = store[7];
    u.grid = &units;
    u.fileName = u.internalName = "HydrologicResponseUnits";
    u.hasFileName = u.hasInternalName = true;
    GridStoreEntry& m = store[8];
    m.grid = &masters;
    m.fileName = m.internalName = "MasterHydrologicResponseUnits";
    m.hasFileName = m.hasInternalName = true;
    std::vector<HydrologicResponseUnit> table(3);
    table[1].row = 2;
    table[1].column = 2;
    table[2].row = 1;
    table[2].column = 2;
    settings.spinUpSwitch = 1;
    settings.responseUnits = &table;
    SectionValues v;
    v.statistics = "stat.txt 1001";
    auto ip = Build(1, "2000 1 1 0 1.5 4 -7.25\n", v);
    ASSERT_TRUE(ip);
    Step(*ip);
    if (Holds(2)) {
        EXPECT_DOUBLE_EQ(ip->ResultGrid()[2][2], Idw2(2, 2));
        EXPECT_DOUBLE_EQ(ip->ResultGrid()[2][3], Idw2(2, 2));
        EXPECT_DOUBLE_EQ(ip->ResultGrid()[2][4], Idw2(2, 2));
        EXPECT_DOUBLE_EQ(ip->ResultGrid()[2][5], Idw2(2, 5));
    }
}

TEST_F(MeteoInterpolatorTest, AStepOfEqualValuesGivesEveryOwnCellItsFinishedValue) {
    // Column 5 of every row belongs to no process; a scaling grid of 1 + column / 10. Steps:
    // all equal, unequal, equal but for a missing first station (the limit replaces 6 by 4.5;
    // not checked with lapse rate).
    ScalingGridAndAnUnownedColumn();
    SectionValues v;
    v.upperLimit = 5;
    v.upperReplacement = 4.5;
    const std::string records = "2000 1 1 0 2.5 2.5 2.5\n2000 1 1 1 1.5 4 -7.25\n2000 1 1 2 -99999 6 6\n";
    const auto finished = [](int c, double value) {
        return c == 5 ? -9999.0 : (value > 5 ? 4.5 : value) * (1.0 + c / 10.0);
    };
    // The nearest station (the earlier one on a tie) with its lapse to the cell.
    const auto lapsed = [](int r, int c, double value) {
        return value + (CellZ(r, c) - kStations[Nearest(r, c)].z) * -0.01;
    };
    // Inverse distance and nearest station take the value as it is; the nearest station with
    // lapse rate still adds its station's lapse to each cell.
    for (const int method : {1, 4, 12}) {
        auto ip = Build(method, records, v, method == 12 ? "-0.01 lapse rate\n" : "regr.dat\n");
        ASSERT_TRUE(ip);
        Step(*ip);
        ExpectCells(*ip, [&](int r, int c) { return finished(c, method == 12 ? lapsed(r, c, 2.5) : 2.5); });
        Step(*ip);
        if (method == 1) ExpectCells(*ip, [&](int r, int c) { return finished(c, Idw2(r, c)); });
        Step(*ip);
        if (method != 12) ExpectCells(*ip, [&](int, int c) { return finished(c, 6); });
    }
}

TEST_F(MeteoInterpolatorTest, TheRowLoopBoundsAndScalesEveryOwnCell) {
    // Inverse distance and the nearest station on a step of unequal values: every own cell
    // holds its interpolated value, replaced below -5 and above 3.5 (the cells nearest to the
    // second and third station reach both), times a scaling grid of 1 + column / 10; column 5
    // of every row belongs to no process.
    ScalingGridAndAnUnownedColumn();
    SectionValues v;
    v.lowerLimit = -5;
    v.lowerReplacement = -4.5;
    v.upperLimit = 3.5;
    v.upperReplacement = 3.25;
    const auto nearest = [](int r, int c) { return kValues[Nearest(r, c)]; };
    for (const int method : {1, 4}) {
        auto ip = Build(method, "2000 1 1 0 1.5 4 -7.25\n", v);
        ASSERT_TRUE(ip);
        Step(*ip);
        ExpectCells(*ip, [&](int r, int c) {
            if (c == 5) return -9999.0;
            const double value = method == 1 ? Idw2(r, c) : nearest(r, c);
            return (value < -5 ? -4.5 : value > 3.5 ? 3.25 : value) * (1.0 + c / 10.0);
        });
    }
}

}  // namespace
