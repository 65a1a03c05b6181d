// The precipitation correction on the interpolators of the test domain: its section, the
// station variant before the interpolation and the grid variant after it.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "methods_support.hpp"

namespace {

using namespace meteo_test;

// Four stations at cell corners.
const std::vector<StationPoint> kPoints = {{1000, 3000, 100}, {2000, 1000, 200}, {4000, 0, 300}, {3000, 2000, 400}};

std::string Correction(const std::string& values) { return "[precipitation_correction]\n" + values + "\n"; }
const std::string kOn = "1 do_it\n0.0 threshold\n1.1 constant rain\n0.05 slope rain\n1.2 constant snow\n0.1 slope snow\n";

class PrecicorrTest : public MethodTest {
protected:
    // The interpolators log while they go: before the log.
    void TearDown() override {
        inputs_.clear();
        MethodTest::TearDown();
    }
    // Interpolators "precipitation", "temperature" and "wind_speed" (Thiessen) over kPoints
    // with one record each, and the correction section.
    void BuildInputs(const std::vector<double>& p, const std::vector<double>& t, const std::vector<double>& u,
                     const std::string& correction, const std::string& more = "") {
        const std::string header = StationHeaderOf(kPoints);
        Share("p.dat", header + RecordOf(0, p));
        Share("t.dat", header + RecordOf(0, t));
        Share("u.dat", header + RecordOf(0, u));
        SectionValues v;
        v.upperLimit = v.upperReplacement = 1e6;
        v.lowerLimit = v.lowerReplacement = -9000;
        std::string text;
        for (const char* name : {"precipitation", "temperature", "wind_speed"}) {
            v.resultGrid = std::string(name) + ".asc";
            text += Section(name, 4, std::string(name == std::string("wind_speed") ? "u" : std::string(1, name[0])) + ".dat\nregr.dat\n", v);
        }
        Share("test.ctl", text + Correction(correction) + more);
        for (const char* name : {"precipitation", "temperature", "wind_speed"}) {
            unsigned error = 0;
            inputs_.push_back(Make(name, &error));
            ASSERT_EQ(error, 0u) << name << Console();
        }
    }
    std::unique_ptr<precicorrclass> Correct(unsigned* error) {
        std::vector<meteointerpol*> ips{nullptr};
        for (auto& ip : inputs_) ips.push_back(ip.get());
        auto pc = std::make_unique<precicorrclass>(*error, log.get(), ips, names_, settings);
        if (*error == 0) pc->SetMaxElevation(500);
        return pc;
    }
    const std::vector<double>& Stations() { return inputs_[0]->Station(0).Values(); }

    std::vector<std::unique_ptr<meteointerpol>> inputs_;
    std::vector<std::string> names_{"", "precipitation", "temperature", "wind_speed"};
};

TEST_F(PrecicorrTest, StationValuesCorrectedByWindAndPhase) {
    // Rain at 0.5 °C, snow at exactly the threshold, calm rain, and a missing value.
    BuildInputs({10, 10, 10, -10000}, {0.5, 0.0, 0.5, 0.5}, {4, 4, 0, 4}, kOn);
    unsigned error = 0;
    auto pc = Correct(&error);
    ASSERT_EQ(error, 0u) << Console();
    EXPECT_TRUE(pc->AllInterpolators());
    pc->CorrectStations();
    const std::vector<double>& p = Stations();
    EXPECT_NEAR(p[1], 13.0, 1e-12);
    EXPECT_NEAR(p[2], (0.1 * 4 + 1.2) * 10, 1e-12);
    EXPECT_NEAR(p[3], 11.0, 1e-12);
    EXPECT_EQ(p[4], -10000.0);
    // The interpolated grid is built from the corrected stations: every cell holds the value
    // of its nearest station.
    Step(*inputs_[0]);
    for (int r = settings.firstRow; r <= settings.lastRow; ++r)
        for (int c = 1; c <= kCols; ++c)
            if (InBasin(r, c)) {
                const double v = Cell(*inputs_[0], r, c);
                EXPECT_TRUE(v == p[1] || v == p[2] || v == p[3]) << r << " " << c << " " << v;
            }
}

TEST_F(PrecicorrTest, UnitCoefficientsLeaveStationsBitwise) {
    BuildInputs({0.1, 1.0 / 3.0, 7.77, 123.456}, {-5, 5, 0, 1}, {3, 0, 12, 7},
                "1\n0\n1.0\n0.0\n1.0\n0.0\n");
    const std::vector<double> before = Stations();
    unsigned error = 0;
    auto pc = Correct(&error);
    ASSERT_EQ(error, 0u);
    pc->CorrectStations();
    EXPECT_EQ(Stations(), before);
}

TEST_F(PrecicorrTest, WithoutTemperatureEverythingIsRainWithoutWindCalm) {
    BuildInputs({10, 10, 10, 10}, {-5, -5, -5, -5}, {4, 4, 4, 4}, kOn);
    names_ = {"", "precipitation", "not_temperature", "not_wind"};
    for (int i = 1; i < 1000; ++i)
        if (store[i].internalName == "temperature" || store[i].internalName == "wind_speed") store[i].internalName += "_x";
    unsigned error = 0;
    auto pc = Correct(&error);
    ASSERT_EQ(error, 0u);
    pc->CorrectStations();
    for (int i = 1; i <= 4; ++i) EXPECT_NEAR(Stations()[static_cast<std::size_t>(i)], 11.0, 1e-12);
}

TEST_F(PrecicorrTest, SectionIsReadWholeBeforeDoIt) {
    BuildInputs({1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}, "0 do_it\n0.0 threshold\n1.1\n0.05\n");
    unsigned error = 0;
    Correct(&error);
    EXPECT_EQ(error, 17u);
    EXPECT_TRUE(Logged("Konstante Schnee fuer ; precipitation_correctionnot found!")) << Console();
    // do_it 0 with all six values: nothing is corrected, in neither variant.
    Share("test.ctl", Correction("0\n0\n2\n0.5\n3\n0.5\n"));
    auto off = Correct(&error);
    ASSERT_EQ(error, 0u);
    EXPECT_EQ(off->GetFlowControl(), 0);
    const std::vector<double> before = Stations();
    off->CorrectStations();
    off->CorrectGrid();
    EXPECT_EQ(Stations(), before);
    // A negative catch factor would make precipitation negative.
    Share("test.ctl", Correction("1\n0\n1.1\n-0.05\n1.3\n0.1\n"));
    Correct(&error);
    EXPECT_EQ(error, 17u);
    EXPECT_TRUE(Logged("Anstieg Regen fuer ; precipitation_correction: the value -0.05 in section "
                       "[precipitation_correction] must be >= 0!"))
        << Console();
    // The section is required.
    Share("test.ctl", "[other]\n1\n");
    Correct(&error);
    EXPECT_EQ(error, 17u);
}

// The grid variant over grids that no interpolator produces.
class PrecicorrGridTest : public InterpolatorTest {
protected:
    void SetUp() override {
        InterpolatorTest::SetUp();
        memory_handling mh;
        for (Matrix* m : {&p_, &t_, &u_}) *m = mh.matrix(1, kRows, 1, kCols, kRows);
        int index = 7;
        for (auto [m, name] : {std::pair{&p_, "precipitation"}, {&t_, "temperature"}, {&u_, "wind_speed"}}) {
            GridStoreEntry& e = store[index++];
            e.grid = m;
            e.fileName = e.internalName = name;
            e.hasFileName = e.hasInternalName = true;
        }
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                p_[r][c] = InBasin(r, c) ? 10.0 : -9999.0;
                t_[r][c] = c == 2 ? 0.0 : 5.0;  // column 2 at the threshold: snow
                u_[r][c] = 4.0;
            }
    }
    std::unique_ptr<precicorrclass> Correct(const std::string& extra, unsigned* error) {
        Share("test.ctl", Correction(kOn) + extra);
        return std::make_unique<precicorrclass>(*error, log.get(), std::vector<meteointerpol*>{nullptr},
                                                std::vector<std::string>{""}, settings);
    }
    Matrix p_, t_, u_;
};

TEST_F(PrecicorrGridTest, CellsCorrectedInOneLoop) {
    u_[2][3] = -9999.0;  // no wind station yet: calm
    t_[3][3] = -9999.0;  // no temperature: rain
    unsigned error = 0;
    auto pc = Correct("[RegionalSuperposition]\n1\n60\n", &error);
    ASSERT_EQ(error, 0u) << Console();
    EXPECT_FALSE(Logged("WARNING"));
    pc->CorrectGrid();
    for (int r = settings.firstRow; r <= settings.lastRow; ++r)
        for (int c = 1; c <= kCols; ++c) {
            double want = c == 2 ? 16.0 : 13.0;
            if (r == 2 && c == 3) want = 11.0;
            if (!InBasin(r, c)) want = -9999.0;
            EXPECT_NEAR(p_[r][c], want, 1e-12) << r << " " << c;
        }
    // Cells of other processes are not touched.
    for (int r = 1; r <= kRows; ++r)
        if (r < settings.firstRow || r > settings.lastRow) {
            EXPECT_EQ(p_[r][4], 10.0);
        }
}

TEST_F(PrecicorrGridTest, GridInputsWithoutSuperpositionWarnOnceAndChangeNothing) {
    unsigned error = 0;
    auto pc = Correct("[RegionalSuperposition]\n0\n60\n", &error);
    ASSERT_EQ(error, 0u);
    EXPECT_EQ(Count(Console(), "is not corrected"), 1u) << Console();
    EXPECT_FALSE(pc->AllInterpolators());
    pc->CorrectStations();
    EXPECT_EQ(p_[settings.firstRow][3], 10.0);
}

TEST_F(PrecicorrGridTest, PrecipitationRequired) {
    store[7].internalName = "rain";
    unsigned error = 0;
    Correct("", &error);
    EXPECT_EQ(error, 33u);
}

}  // namespace

namespace {

// Precipitation (10 mm at every station) and calm wind by Thiessen over kPoints; the
// temperature section is the test's.
class PrecicorrPointTest : public PrecicorrTest {
protected:
    void SetUp() override {
        PrecicorrTest::SetUp();
        InstallRowHelper();
    }
    std::unique_ptr<precicorrclass> Inputs(const std::string& temperatureSection) {
        const std::string header = StationHeaderOf(kPoints);
        Share("p.dat", header + RecordOf(0, {10, 10, 10, 10}));
        Share("u.dat", header + RecordOf(0, {0, 0, 0, 0}));
        Share("test.ctl", Section("precipitation", 4, "p.dat\nregr.dat\n") + temperatureSection +
                              Section("wind_speed", 4, "u.dat\nregr.dat\n") + Correction(kOn));
        for (const char* name : {"precipitation", "temperature", "wind_speed"}) {
            unsigned error = 0;
            inputs_.push_back(Make(name, &error));
            EXPECT_EQ(error, 0u) << name << Console();
        }
        unsigned error = 0;
        auto pc = Correct(&error);
        EXPECT_EQ(error, 0u) << Console();
        return pc;
    }
    double At(precicorrclass& pc, double x, double y, double z) {
        std::vector<double> buffer(16, 0.0);
        return pc.InterpolateAtPoint(*inputs_[1], buffer.data(), x, y, z);
    }
};

TEST_F(PrecicorrPointTest, ScenarioGridsChangeTheStationTemperature) {
    // 0.5 °C at every station; a scenario grid of -5 K added (method 6) or of -1 multiplied
    // (method 5) turns every station's 10 mm into snow: 12 mm, whichever process holds the
    // station's cell.
    std::string grid = "ncols 5\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 1000\nnodata_value -9999\n";
    for (const auto& [method, value] : {std::pair{6, -5.0}, std::pair{5, -1.0}}) {
        std::string g = grid;
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) g += std::to_string(value) + (c == kCols ? "\n" : " ");
        Share("scen.asc", g);
        Share("t.dat", StationHeaderOf(kPoints) + RecordOf(0, {0.5, 0.5, 0.5, 0.5}));
        SectionValues v;
        v.scenario = "1 SzenUse\n" + std::to_string(method) + " SzenMeth\n";
        for (int m = 1; m <= 12; ++m) v.scenario += "scen.asc\n";
        auto pc = Inputs(Section("temperature", 4, "t.dat\nregr.dat\n", v));
        ASSERT_TRUE(pc);
        EXPECT_NEAR(At(*pc, 1000, 3000, 100), method == 6 ? -4.5 : -0.5, 1e-12);
        pc->CorrectStations();
        for (int i = 1; i <= 4; ++i) EXPECT_NEAR(Stations()[static_cast<std::size_t>(i)], 12.0, 1e-12) << method;
        pc.reset();
        inputs_.clear();
    }
}

TEST_F(PrecicorrPointTest, BilinearAtStationsWithTheCellsLookUpStationsAndElevation) {
    const std::vector<StationPoint> mesh = {{-500, -500, 100}, {2000, -500, 100}, {4500, -500, 100},
                                            {-500, 1500, 100}, {2000, 1500, 100}, {4500, 1500, 100},
                                            {-500, 3500, 100}, {2000, 3500, 100}, {4500, 3500, 100}};
    // A plane crossing 0 near station 2 (2000, 1000): bilinear gives 0.2 there (rain, 11 mm),
    // inverse distance about -0.17 (snow).
    const auto plane = [](double x, double y) { return -2.8 + 0.002 * x - 0.001 * y; };
    std::vector<double> t;
    for (const auto& s : mesh) t.push_back(plane(s.x, s.y));
    Share("t.dat", StationHeaderOf(mesh) + RecordOf(0, t));
    auto pc = Inputs(Section("temperature", 5, "t.dat\nregr.dat\n"));
    ASSERT_TRUE(pc);
    EXPECT_NEAR(At(*pc, 2000, 1000, 200), plane(2000, 1000), 1e-12);
    EXPECT_LT(IdwByHand(2000, 1000, mesh, t), 0.0);
    pc->CorrectStations();
    EXPECT_NEAR(Stations()[2], 11.0, 1e-12);
    pc.reset();
    inputs_.clear();

    // Method 6: 1 °C less 0.005 K per metre of the cell's elevation. Station 2 stands at 200 m
    // in cell (3, 3) at 330 m: -0.65 °C, snow (at its own altitude it would be rain).
    Share("t.dat", StationHeaderOf(mesh) + RecordOf(0, std::vector<double>(9, 1.0)));
    Share("t2.dat", StationHeaderOf(mesh) + RecordOf(0, std::vector<double>(9, -0.005)));
    pc = Inputs(Section("temperature", 6, "t.dat\nt2.dat\nregr.dat\n"));
    ASSERT_TRUE(pc);
    EXPECT_NEAR(At(*pc, 2000, 1000, 200), 1.0 - 0.005 * CellZ(3, 3), 1e-12);
    pc->CorrectStations();
    EXPECT_NEAR(Stations()[2], 12.0, 1e-12);
    EXPECT_NEAR(Stations()[1], 11.0, 1e-12);  // cell (1, 2) at 120 m: 0.4 °C
}

TEST_F(PrecicorrPointTest, PointsByInverseDistanceRegressionAndScenarioBlend) {
    const std::vector<double> t = {1, 2, 3, 4};
    Share("t.dat", StationHeaderOf(kPoints) + RecordOf(0, t));
    auto pc = Inputs(Section("temperature", 1, "t.dat\nregr.dat\n"));
    ASSERT_TRUE(pc);
    EXPECT_NEAR(At(*pc, 1500, 2500, 0), IdwByHand(1500, 2500, kPoints, t), 1e-12);
    pc.reset();
    inputs_.clear();

    // Regression: zone 2 (250..400 m) is 5 + 0.02 z.
    Share("regr.dat", "jr mo tt hh\n2000 1 1 0 10 -0.01 250 5 0.02 400 1 0.001 -10000 0 0\n");
    pc = Inputs(Section("temperature", 2, "t.dat\nregr.dat\n"));
    ASSERT_TRUE(pc);
    EXPECT_NEAR(At(*pc, 1500, 2500, 300), 11.0, 1e-12);
    pc.reset();
    inputs_.clear();

    // Scenario points: on 1 January the change is M(1) 16/31 + M(12) 15/31, added.
    SectionValues v;
    v.scenario = "1 SzenUse\n1 SzenMeth\n1 SzenNum\n0 0 1 2 3 4 5 6 7 8 9 10 11 12";
    pc = Inputs(Section("temperature", 4, "t.dat\nregr.dat\n", v));
    ASSERT_TRUE(pc);
    EXPECT_NEAR(At(*pc, 2000, 1000, 0), 2.0 + 1.0 * 16 / 31 + 12.0 * 15 / 31, 1e-12);
}

TEST_F(PrecicorrPointTest, PointsByBlendLapseRateMeshCellCoordinatesAnisotropyAndLimits) {
    const std::vector<double> t = {1, 2, 3, 4};
    Share("t.dat", StationHeaderOf(kPoints) + RecordOf(0, t));
    // Inverse distance and regression blended with the IDW fraction 0.25; where one of them
    // has no value the other alone.
    Share("regr.dat", "jr mo tt hh\n2000 1 1 0 10 -0.01 250 5 0.02 400 1 0.001 -10000 0 0\n");
    SectionValues blend;
    blend.idwFraction = 0.25;
    auto pc = Inputs(Section("temperature", 3, "t.dat\nregr.dat\n", blend));
    ASSERT_TRUE(pc);
    EXPECT_NEAR(At(*pc, 1500, 2500, 300), 0.25 * IdwByHand(1500, 2500, kPoints, t) + 0.75 * 11.0, 1e-12);
    pc.reset();
    inputs_.clear();
    Share("regr.dat", "jr mo tt hh\n2000 1 1 0 -10000 -0.01 250 5 0.02 400 1 0.001 -10000 0 0\n");
    pc = Inputs(Section("temperature", 3, "t.dat\nregr.dat\n", blend));
    ASSERT_TRUE(pc);
    EXPECT_NEAR(At(*pc, 1500, 2500, 300), IdwByHand(1500, 2500, kPoints, t), 1e-12);
    pc.reset();
    inputs_.clear();
    Share("regr.dat", "jr mo tt hh\n2000 1 1 0 10 -0.01 250 5 0.02 400 1 0.001 -10000 0 0\n");
    Share("t.dat", StationHeaderOf(kPoints) + RecordOf(0, {-10000, -10000, -10000, -10000}));
    pc = Inputs(Section("temperature", 3, "t.dat\nregr.dat\n", blend));
    ASSERT_TRUE(pc);
    EXPECT_NEAR(At(*pc, 1500, 2500, 300), 11.0, 1e-12);
    pc.reset();
    inputs_.clear();

    // Nearest station with a lapse rate: one station at 250 m with 0 °C and -0.01 K/m makes
    // the precipitation stations at 100 and 200 m warm (rain, 11 mm), those at 300 and 400 m
    // cold (snow, 12 mm).
    const std::vector<StationPoint> one = {{2500, 1500, 250}};
    Share("t.dat", StationHeaderOf(one) + RecordOf(0, {0.0}));
    pc = Inputs(Section("temperature", 12, "t.dat\n-0.01 lapse rate\n"));
    ASSERT_TRUE(pc);
    EXPECT_NEAR(At(*pc, 0, 0, 600), -3.5, 1e-12);
    pc->CorrectStations();
    EXPECT_NEAR(Stations()[1], 11.0, 1e-12);
    EXPECT_NEAR(Stations()[2], 11.0, 1e-12);
    EXPECT_NEAR(Stations()[3], 12.0, 1e-12);
    EXPECT_NEAR(Stations()[4], 12.0, 1e-12);
    pc.reset();
    inputs_.clear();
    // Above an inversion at 400 m the fixed upper lapse rate 0.004 K/m; a fixed upper lapse rate
    // of -9998 or less means none, and the one lapse rate applies throughout.
    pc = Inputs(Section("temperature", 12, "t.dat\n-0.01 400 0.004\n"));
    ASSERT_TRUE(pc);
    EXPECT_NEAR(At(*pc, 0, 0, 600), -1.5 + 200 * 0.004, 1e-12);
    EXPECT_NEAR(At(*pc, 0, 0, 300), -0.5, 1e-12);
    pc.reset();
    inputs_.clear();
    pc = Inputs(Section("temperature", 12, "t.dat\n-0.01 400 -9998\n"));
    ASSERT_TRUE(pc);
    EXPECT_NEAR(At(*pc, 0, 0, 600), -3.5, 1e-12);
    pc.reset();
    inputs_.clear();

    // Spline over a station mesh: the point takes the station nearest to its cell's
    // coordinates. (1900, 900) lies in cell (4, 2) at (1000, 0), nearest to station (0, 0),
    // whereas the point itself is nearest to (2500, 1500).
    std::vector<StationPoint> mesh;
    std::vector<double> meshValues;
    for (double y : {3000.0, 1500.0, 0.0})
        for (double x : {0.0, 2500.0, 5000.0}) {
            mesh.push_back({x, y, 100});
            meshValues.push_back(x / 1000 + y / 100 - 17);
        }
    Share("t.dat", StationHeaderOf(mesh) + RecordOf(0, meshValues));
    pc = Inputs(Section("temperature", 7, "t.dat\nregr.dat\n"));
    ASSERT_TRUE(pc);
    EXPECT_NEAR(At(*pc, 1900, 900, 100), -17.0, 1e-12);
    // Cells of varying size: cell (3, 3) with the coordinates (1000, 200) instead of its corner
    // (2000, 1000) takes station (0, 0), not (2500, 1500), whichever process holds it, and the
    // precipitation station 2 standing in it becomes snow. The others: stations (0, 3000),
    // (5000, 0) and (2500, 1500), rain, snow and rain.
    coordX[3][3] = 1000;
    coordY[3][3] = 200;
    EXPECT_NEAR(At(*pc, 2100, 1100, 100), -17.0, 1e-12);
    pc->CorrectStations();
    EXPECT_NEAR(Stations()[1], 11.0, 1e-12);
    EXPECT_NEAR(Stations()[2], 12.0, 1e-12);
    EXPECT_NEAR(Stations()[3], 12.0, 1e-12);
    EXPECT_NEAR(Stations()[4], 11.0, 1e-12);
    coordX[3][3] = CellX(3);
    coordY[3][3] = CellY(3);
    pc.reset();
    inputs_.clear();

    // A temperature read from grids has no stations: at a station it is missing, and the
    // precipitation there counts as rain (11 mm) however cold the grid.
    std::string cold = "ncols 5\nnrows 4\nxllcorner 0\nyllcorner 0\ncellsize 1000\nNODATA_value -9999\n";
    for (int r = 1; r <= kRows; ++r) cold += "-5 -5 -5 -5 -5\n";
    Share("cold.asc", cold);
    Share("list.txt", StationHeaderOf(kPoints) + "2000 1 1 0 cold.asc\n");
    pc = Inputs(Section("temperature", 9, "list.txt\n8.9e-5 0.0767 127 6e-6 0.098\n"));
    ASSERT_TRUE(pc);
    EXPECT_EQ(At(*pc, 2000, 1000, 200), -10000.0);
    pc->CorrectStations();
    for (int i = 1; i <= 4; ++i) EXPECT_NEAR(Stations()[static_cast<std::size_t>(i)], 11.0, 1e-12);
    pc.reset();
    inputs_.clear();

    // Anisotropic inverse distance (main axis 30 degrees, ratio 0.5): at a cell's lower-left
    // corner the point takes the value of the cell in the interpolated grid, which weights the
    // stations by their distances in the turned coordinates.
    const std::vector<StationPoint> spread = {{500, 2500, 100}, {3500, 3200, 100}, {4200, 300, 100}, {1200, 600, 100}};
    const std::vector<double> tv = {-2, 3, 5, 1};
    Share("t.dat", StationHeaderOf(spread) + RecordOf(0, tv));
    SectionValues turned;
    turned.slope = 30;
    turned.ratio = 0.5;
    pc = Inputs(Section("temperature", 1, "t.dat\nregr.dat\n", turned));
    ASSERT_TRUE(pc);
    Step(*inputs_[1]);
    for (int r = settings.firstRow; r <= settings.lastRow; ++r)
        for (int c = 1; c <= kCols; ++c) {
            if (!InBasin(r, c)) continue;
            EXPECT_NEAR(At(*pc, CellX(c), CellY(r), CellZ(r, c)), Cell(*inputs_[1], r, c), 1e-12) << r << " " << c;
        }
    const double theta = 30 * std::acos(-1.0) / 180;
    auto turn = [&](double x, double y, double* tx, double* ty) {
        *tx = x * std::cos(theta) + y * std::sin(theta);
        *ty = -x * std::sin(theta) + y * std::cos(theta);
    };
    double px, py, sum = 0, weights = 0;
    turn(2700, 1800, &px, &py);
    for (std::size_t k = 0; k < spread.size(); ++k) {
        double sx, sy;
        turn(spread[k].x, spread[k].y, &sx, &sy);
        const double w = 1 / (0.25 * (sx - px) * (sx - px) + (sy - py) * (sy - py));
        sum += w * tv[k];
        weights += w;
    }
    EXPECT_NEAR(At(*pc, 2700, 1800, 100), sum / weights, 1e-9);
    EXPECT_GT(std::fabs(sum / weights - IdwByHand(2700, 1800, spread, tv)), 0.01);
    pc.reset();
    inputs_.clear();

    // Scaling by 2, then the limits: 8 above the upper limit 7 becomes 6.5, -2 below the lower
    // limit -1.5 becomes -1.2; a point without any station value keeps the missing value.
    Share("t.dat", StationHeaderOf(kPoints) + RecordOf(0, {-1, 2, 3, 4}));
    SectionValues limited;
    limited.scaling = 2;
    limited.lowerLimit = -1.5;
    limited.lowerReplacement = -1.2;
    limited.upperLimit = 7;
    limited.upperReplacement = 6.5;
    pc = Inputs(Section("temperature", 4, "t.dat\nregr.dat\n", limited));
    ASSERT_TRUE(pc);
    EXPECT_NEAR(At(*pc, 3000, 2000, 0), 6.5, 1e-12);
    EXPECT_NEAR(At(*pc, 1000, 3000, 0), -1.2, 1e-12);
    EXPECT_NEAR(At(*pc, 2000, 1000, 0), 4.0, 1e-12);
    pc.reset();
    inputs_.clear();
    Share("t.dat", StationHeaderOf(kPoints) + RecordOf(0, {-10000, -10000, -10000, -10000}));
    pc = Inputs(Section("temperature", 4, "t.dat\nregr.dat\n", limited));
    ASSERT_TRUE(pc);
    EXPECT_EQ(At(*pc, 3000, 2000, 0), -10000.0);
}

TEST_F(PrecicorrTest, ElevationRegressionRefittedAndJoined) {
    // Precipitation by elevation regression (h1 = 250, h2 = 400); warm everywhere, no wind:
    // every value is rain with the factor 1.1.
    Share("regr.dat", "jr mo tt hh\n2000 1 1 0 10 -0.01 250 5 0.02 400 1 0.001 -10000 0 0\n");
    const std::string header = StationHeaderOf(kPoints);
    Share("p.dat", header + RecordOf(0, {1, 1, 1, 1}));
    Share("t.dat", header + RecordOf(0, {5, 5, 5, 5}));
    std::string text = Section("precipitation", 2, "p.dat\nregr.dat\n") + Section("temperature", 4, "t.dat\nregr.dat\n");
    Share("test.ctl", text + Correction(kOn));
    for (const char* name : {"precipitation", "temperature"}) {
        unsigned error = 0;
        inputs_.push_back(Make(name, &error));
        ASSERT_EQ(error, 0u) << name << Console();
    }
    names_ = {"", "precipitation", "temperature"};
    unsigned error = 0;
    auto pc = Correct(&error);
    ASSERT_EQ(error, 0u) << Console();
    pc->CorrectStations();
    const meteointerpol::RegressionSet s = inputs_[0]->GetRegressionSet(0);
    EXPECT_NEAR(s.a[1], 11.0, 1e-9);
    EXPECT_NEAR(s.b[1], -0.011, 1e-12);
    EXPECT_NEAR(s.a[3], 1.1, 1e-9);
    EXPECT_NEAR(s.b[3], 0.0011, 1e-12);
    EXPECT_EQ(s.h1, 250);
    EXPECT_EQ(s.h2, 400);
    // Zone 2 runs from line 1 at h1 to line 3 at h2.
    EXPECT_NEAR(s.a[2] + s.b[2] * 250, s.a[1] + s.b[1] * 250, 1e-9);
    EXPECT_NEAR(s.a[2] + s.b[2] * 400, s.a[3] + s.b[3] * 400, 1e-9);
    pc.reset();
    inputs_.clear();

    // With a wind of 4 m/s at every station the factor is 1.3 at every elevation; a wind
    // without any valid station value counts as calm (1.1).
    for (const auto& [wind, factor] : {std::pair{4.0, 1.3}, std::pair{-10000.0, 1.1}}) {
        Share("u.dat", header + RecordOf(0, {wind, wind, wind, wind}));
        Share("test.ctl", text + Section("wind_speed", 4, "u.dat\nregr.dat\n") + Correction(kOn));
        for (const char* name : {"precipitation", "temperature", "wind_speed"}) {
            unsigned e = 0;
            inputs_.push_back(Make(name, &e));
            ASSERT_EQ(e, 0u) << name << Console();
        }
        names_ = {"", "precipitation", "temperature", "wind_speed"};
        pc = Correct(&error);
        ASSERT_EQ(error, 0u) << Console();
        pc->CorrectStations();
        const meteointerpol::RegressionSet w = inputs_[0]->GetRegressionSet(0);
        EXPECT_NEAR(w.a[1], 10 * factor, 1e-9);
        EXPECT_NEAR(w.b[1], -0.01 * factor, 1e-12);
        EXPECT_NEAR(w.a[3], 1 * factor, 1e-9);
        EXPECT_NEAR(w.b[3], 0.001 * factor, 1e-12);
        pc.reset();
        inputs_.clear();
    }
}

}  // namespace

namespace {

TEST_F(PrecicorrTest, GridVariantCorrectsTheInterpolatedCells) {
    BuildInputs({10, 20, 30, 40}, {0.5, 0.0, -3, 0.5}, {4, 2, 0, 1}, kOn, "[RegionalSuperposition]\n1\n60\n");
    unsigned error = 0;
    auto pc = Correct(&error);
    ASSERT_EQ(error, 0u) << Console();
    EXPECT_FALSE(Logged("WARNING"));
    for (auto& ip : inputs_) Step(*ip);
    std::vector<double> before;
    for (int r = settings.firstRow; r <= settings.lastRow; ++r)
        for (int c = 1; c <= kCols; ++c) before.push_back(Cell(*inputs_[0], r, c));
    pc->CorrectGrid();
    std::size_t i = 0;
    for (int r = settings.firstRow; r <= settings.lastRow; ++r)
        for (int c = 1; c <= kCols; ++c, ++i) {
            if (!InBasin(r, c)) {
                EXPECT_EQ(Cell(*inputs_[0], r, c), -9999.0);
                continue;
            }
            const double t = Cell(*inputs_[1], r, c), u = Cell(*inputs_[2], r, c);
            const double factor = t > 0.0 ? 0.05 * u + 1.1 : 0.1 * u + 1.2;
            EXPECT_NEAR(Cell(*inputs_[0], r, c), before[i] * factor, 1e-12) << r << " " << c;
        }
}

}  // namespace
