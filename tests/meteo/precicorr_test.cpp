// The precipitation correction on the interpolators of the test domain: its section, the
// station variant before the interpolation and the grid variant after it.
#include <gtest/gtest.h>

#include <cmath>

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
        v.lowerLimit = v.lowerReplacement = -1e6;
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
