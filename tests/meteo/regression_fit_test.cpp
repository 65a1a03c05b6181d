// The elevation regression fitted to the station values of a step (methods 10 and 11): groups
// below and above the lower inversion, clusters, boundary stations, the zones and the residual
// plane, against parameters and cell values worked out by hand.
#include "methods_support.hpp"

namespace {

using namespace meteo_test;
using R = RegressionFile;

class RegressionFitTest : public MethodTest {
protected:
    // Builds method 10 (or 11) with "lower upper tolerance overlap cluster [lapse]" and fits
    // the regression to the first record.
    std::unique_ptr<meteointerpol> Fit(const std::vector<StationPoint>& stations, const std::vector<double>& v,
                                       const std::string& parameters, int method = 10) {
        auto ip = Build(method, StationHeaderOf(stations) + RecordOf(0, v), parameters + "\n");
        if (ip) ip->ComputeElevationRegression(0);
        return ip;
    }
    static void ExpectSet(const meteointerpol& ip, std::array<double, 8> want) {
        const auto& p = ip.RegressionParameters();
        const int order[8] = {R::a1, R::b1, R::a2, R::b2, R::a3, R::b3, R::h1, R::h2};
        for (int i = 0; i < 8; ++i) EXPECT_NEAR(p[static_cast<std::size_t>(order[i])], want[static_cast<std::size_t>(i)], 1e-9) << i;
    }
};

TEST_F(RegressionFitTest, OneGroupAndItsResidualPlane) {
    // v = 10 - 0.01 z + e with residuals e = +1 at y = 0 and -1 at y = 1000, which are not
    // related to the altitudes: the line is 10 - 0.01 z, the plane 11 - 0.002 y.
    const std::vector<StationPoint> s = {{0, 0, 100}, {1000, 0, 400}, {0, 1000, 200}, {1000, 1000, 300}};
    auto ip = Fit(s, {10, 7, 7, 6}, "1000 2000 100 0 0");
    ASSERT_TRUE(ip);
    // Zone 1 below 0 m is constant; both other zones take the one line; h2 = L.
    ExpectSet(*ip, {10, 0, 10, -0.01, 10, -0.01, 0, 1000});
    const auto& p = ip->RegressionParameters();
    EXPECT_NEAR(p[R::p0], 11, 1e-9);
    EXPECT_NEAR(p[R::px], 0, 1e-12);
    EXPECT_NEAR(p[R::py], -0.002, 1e-12);
    Step(*ip);
    ExpectNear(*ip, [](int r, int c) { return 11 - 0.002 * CellY(r) - 0.01 * CellZ(r, c); });
}

TEST_F(RegressionFitTest, TwoLinesMeetingWithinTheInversionBand) {
    // Below 250 m: 11 - 0.01 z; above: 10 - 0.005 z; they meet at 200 m.
    const std::vector<StationPoint> s = {{0, 0, 100}, {1000, 0, 200}, {0, 1000, 300}, {1000, 1000, 500}};
    const std::vector<double> v = {10, 9, 8.5, 7.5};
    auto ip = Fit(s, v, "250 1000 100 0 0");
    ASSERT_TRUE(ip);
    ExpectSet(*ip, {11, 0, 11, -0.01, 10, -0.005, 0, 200});
    auto expected = [](int r, int c) {
        const double z = CellZ(r, c);
        return z <= 200 ? 11 - 0.01 * z : 10 - 0.005 * z;
    };
    Step(*ip);
    ExpectNear(*ip, expected);
    ip.reset();

    // Method 11: half regression, half IDW.
    auto mixed = Fit(s, v, "250 1000 100 0 0", 11);
    ASSERT_TRUE(mixed);
    Step(*mixed);
    ExpectNear(*mixed, [&](int r, int c) {
        return 0.5 * expected(r, c) + 0.5 * IdwByHand(CellX(c), CellY(r), s, v);
    });
}

TEST_F(RegressionFitTest, LinesMeetingOutsideTheBandAreJoinedAcrossItAndALineHasNoPlane) {
    // Line 1: 11 - 0.01 z, line 2: 10.5 - 0.005 z, meeting at 100 m, far below 250 - 10.
    // The stations stand on one straight line: the plane stays missing.
    const std::vector<StationPoint> s = {{0, 0, 100}, {1000, 0, 200}, {2000, 0, 300}, {3000, 0, 500}};
    const std::vector<double> v = {10, 9, 9, 8};
    auto ip = Fit(s, v, "250 600 10 0 0");
    ASSERT_TRUE(ip);
    const double b2 = (-0.005 * 600 + 10.5 - 11 + 0.01 * 250) / 350;  // = -1/350
    const double a2 = 250 * (-0.01 - b2) + 11;
    ExpectSet(*ip, {11, -0.01, a2, b2, 10.5, -0.005, 250, 600});
    EXPECT_EQ(ip->RegressionParameters()[R::p0], -10000);
    Step(*ip);
    ExpectNear(*ip, [&](int r, int c) {
        const double z = CellZ(r, c);
        return z < 250 ? 11 - 0.01 * z : a2 + b2 * z;
    });
    for (int r = settings.firstRow; r <= settings.lastRow; ++r)
        for (int c = 1; c <= kCols; ++c) EXPECT_TRUE(std::isfinite(Cell(*ip, r, c)));
    ip.reset();

    // A lapse rate above the upper inversion keeps zone 3 continuous at h2 = 600.
    auto lapse = Fit(s, v, "250 600 10 0 0 -0.006");
    ASSERT_TRUE(lapse);
    ExpectSet(*lapse, {11, -0.01, a2, b2, 10.5 + 0.001 * 600, -0.006, 250, 600});
}

TEST_F(RegressionFitTest, ClusteredPointMeetsTheOtherLineAtTheLowerInversion) {
    // The two upper stations lie within 50 m: one point (450 m, 7.0). Its line meets line 1
    // (11 - 0.01 z) at 250 m: slope (8.5 - 7) / (250 - 450) = -0.0075.
    const std::vector<StationPoint> s = {{0, 0, 100}, {1000, 0, 200}, {0, 1000, 440}, {1000, 1000, 460}};
    auto ip = Fit(s, {10, 9, 7.1, 6.9}, "250 1000 100 0 50");
    ASSERT_TRUE(ip);
    ExpectSet(*ip, {11, 0, 11, -0.01, 10.375, -0.0075, 0, 250});
    // Residuals +0.025 and -0.025 at the upper stations: the plane 11.0125 - 0.000025 x.
    const auto& p = ip->RegressionParameters();
    EXPECT_NEAR(p[R::p0], 11.0125, 1e-9);
    EXPECT_NEAR(p[R::px], -2.5e-5, 1e-12);
    EXPECT_NEAR(p[R::py], 0, 1e-12);
}

TEST_F(RegressionFitTest, BoundaryStationJoinsTheGroupOfOneStation) {
    // The upper group has one station (450 m, 7): the highest lower station (200 m, 9) joins
    // it, giving 10.6 - 0.008 z, which meets 11 - 0.01 z at 200 m. Three stations: no plane.
    const std::vector<StationPoint> s = {{0, 0, 100}, {1000, 0, 200}, {0, 1000, 450}};
    auto ip = Fit(s, {10, 9, 7}, "250 1000 100 0 0");
    ASSERT_TRUE(ip);
    ExpectSet(*ip, {11, 0, 11, -0.01, 10.6, -0.008, 0, 200});
    EXPECT_EQ(ip->RegressionParameters()[R::p0], -10000);
    Step(*ip);
    ExpectNear(*ip, [](int r, int c) {
        const double z = CellZ(r, c);
        return z <= 200 ? 11 - 0.01 * z : 10.6 - 0.008 * z;
    });
}

TEST_F(RegressionFitTest, StationsAtOneAltitudeStandForOnePoint) {
    // Two upper stations at the same 400 m with cluster range 0: no line through them, their
    // mean (400 m, 6) meets line 1 at 250 m.
    const std::vector<StationPoint> s = {{0, 0, 100}, {1000, 0, 200}, {0, 1000, 400}, {2000, 3000, 400}};
    auto ip = Fit(s, {10, 9, 5, 7}, "250 1000 100 0 0");
    ASSERT_TRUE(ip);
    const double b = (8.5 - 6) / (250 - 400.0);
    ExpectSet(*ip, {11, 0, 11, -0.01, (-0.01 - b) * 250 + 11, b, 0, 250});
    Step(*ip);
    for (int r = settings.firstRow; r <= settings.lastRow; ++r)
        for (int c = 1; c <= kCols; ++c) EXPECT_TRUE(std::isfinite(Cell(*ip, r, c)));
}

TEST_F(RegressionFitTest, SinglePointsMergeOrLeaveOneConstantAndAnEmptyGroupTakesTheOtherLine) {
    // Two clustered points far apart in altitude, (105 m, 9) and (410 m, 6), make one group of
    // both: one line for every zone, meeting itself at L.
    const std::vector<StationPoint> four = {{0, 0, 100}, {1000, 0, 110}, {0, 1000, 400}, {1000, 1000, 420}};
    auto ip = Fit(four, {9, 9, 6, 6}, "250 1000 100 0 50");
    ASSERT_TRUE(ip);
    const double b = -3.0 / 305, a = 9 - 105 * b;
    ExpectSet(*ip, {a, 0, a, b, a, b, 0, 250});
    ip.reset();
    // One station on each side: each joins the other group, both groups cluster to the same
    // mean point, and the profile is constant at the mean value.
    const std::vector<StationPoint> two = {{0, 0, 100}, {1000, 1000, 400}};
    ip = Fit(two, {5, 2}, "250 1000 100 0 1000");
    ASSERT_TRUE(ip);
    ExpectSet(*ip, {3.5, 0, 3.5, 0, 3.5, 0, 0, 250});
    Step(*ip);
    ExpectNear(*ip, [](int, int) { return 3.5; });
    ip.reset();
    // Every station above the lower inversion: line 1 is line 2.
    const std::vector<StationPoint> above = {{0, 0, 100}, {1000, 0, 200}, {0, 1000, 300}, {1000, 1000, 400}};
    ip = Fit(above, {9, 8, 7, 6}, "50 1000 100 0 0");
    ASSERT_TRUE(ip);
    ExpectSet(*ip, {10, 0, 10, -0.01, 10, -0.01, 0, 50});
    ip.reset();
    // A clustered lower point (110 m, 10) and an upper line 10 - 0.005 z: line 1 runs through
    // the point and meets line 2 at L.
    const std::vector<StationPoint> five = {{0, 0, 100}, {1000, 0, 120}, {0, 1000, 300}, {1000, 1000, 400}, {2000, 0, 500}};
    ip = Fit(five, {10, 10, 8.5, 8, 7.5}, "250 1000 100 0 50");
    ASSERT_TRUE(ip);
    const double b1 = (10 - 0.005 * 250 - 10) / (250 - 110.0), a1 = (-0.005 - b1) * 250 + 10;
    ExpectSet(*ip, {a1, 0, a1, b1, 10, -0.005, 0, 250});
}

TEST_F(RegressionFitTest, StepWithoutValidStationsHoldsNodata) {
    const std::vector<StationPoint> s = {{0, 0, 100}, {1000, 0, 200}, {0, 1000, 300}, {1000, 1000, 500}};
    Share("st.dat", StationHeaderOf(s) + RecordOf(0, {10, 9, 8.5, 7.5}) + RecordOf(1, {-10000, -10000, -10000, -10000}));
    Share("test.ctl", Section("temperature", 10, "st.dat\n250 1000 100 0 0\n"));
    unsigned error = 0;
    auto ip = Make("temperature", &error);
    ASSERT_EQ(error, 0u) << Console();
    auto expected = [](int r, int c) {
        const double z = CellZ(r, c);
        return z <= 200 ? 11 - 0.01 * z : 10 - 0.005 * z;
    };
    // The step fits the regression itself when the time loop has not done so.
    Step(*ip);
    ExpectNear(*ip, expected);
    ip->ComputeElevationRegression(0);
    EXPECT_EQ(ip->RegressionParameters()[R::a1], -10000);
    // No regression without a valid station: the step has no data, not the last step's grid.
    Step(*ip);
    ExpectNear(*ip, [](int, int) { return -9999.0; });
}

TEST_F(RegressionFitTest, LowerInversionAboveTheUpperOneIsComputed) {
    // Every station at or below L = 500: one line for all of them. Its intersection (L) lies
    // above U + T = 310, so h1 := L and h2 := U, and zone 2 joins line 1 at h1 with line 3 (the
    // same line) at h2: every zone keeps line 1.
    const std::vector<StationPoint> s = {{0, 0, 100}, {1000, 0, 200}, {2000, 0, 300}, {3000, 0, 500}};
    auto ip = Fit(s, {10, 9, 9, 8}, "500 300 10 0 0");
    ASSERT_TRUE(ip);
    const double b = (9500 - 1100 * 36 / 4.0) / (390000 - 1100 * 1100 / 4.0);
    const double a = (36 - b * 1100) / 4;
    ExpectSet(*ip, {a, b, a, b, a, b, 500, 300});
    Step(*ip);
    for (int r = settings.firstRow; r <= settings.lastRow; ++r)
        for (int c = 1; c <= kCols; ++c) EXPECT_TRUE(std::isfinite(Cell(*ip, r, c)));
}

TEST_F(RegressionFitTest, ParameterLineAndRegressionSets) {
    const std::vector<StationPoint> s = {{0, 0, 100}, {1000, 0, 200}};
    const std::string file = StationHeaderOf(s) + RecordOf(0, {1, 2});
    // An empty inversion band is refused.
    EXPECT_EQ(BuildError(10, file, "300 300 10 0 0\n"), 49u);
    EXPECT_EQ(BuildError(11, file, "300 300 10 0 0\n"), 49u);
    EXPECT_TRUE(Logged("the lower inversion (300) has to differ from the upper inversion (300)"));
    EXPECT_EQ(BuildError(10, file, "300 500 10 0\n"), 49u);

    auto ip = Fit(s, {10, 9}, "1000 2000 100 0 0");
    ASSERT_TRUE(ip);
    const meteointerpol::RegressionSet set = ip->GetRegressionSet(0);
    EXPECT_NEAR(set.a[2], 11, 1e-12);
    EXPECT_NEAR(set.b[2], -0.01, 1e-12);
    EXPECT_EQ(set.h2, 1000);
    ip.reset();
    auto idw = Build(1, file, "regr.dat\n");
    ASSERT_TRUE(idw);
    EXPECT_EQ(idw->GetRegressionSet(0).h1, -10000);
    EXPECT_EQ(idw->GetRegressionSet(0).b[1], -10000);
}

}  // namespace
