// The per-cell interpolation methods on small station sets, against values worked out by hand:
// inverse-distance weighting and its anisotropic form, nearest station with and without lapse
// rate, the elevation regression with its plane, bilinear interpolation between look-up
// stations, the splines over a station mesh, and the mesh direction of the stations.
#include <omp.h>

#include "methods_support.hpp"

namespace {

using namespace meteo_test;

constexpr double kMissing = -10000.0;  // -N-1 with N = 9999

// Four stations at the corners of a 2000 m square around cell (3, 3).
const std::vector<StationPoint> kSquare = {{1000, 0, 100}, {3000, 0, 100}, {1000, 2000, 100}, {3000, 2000, 100}};

class InterpolationMethodsTest : public MethodTest {};

TEST_F(InterpolationMethodsTest, InverseDistanceOnTheCornersOfASquare) {
    const std::vector<double> v = {1, 2, 3, 4};
    auto ip = Build(1, StationHeaderOf(kSquare) + RecordOf(0, v), "regr.dat\n");
    ASSERT_TRUE(ip);
    Step(*ip);
    ExpectNear(*ip, [&](int r, int c) { return IdwByHand(CellX(c), CellY(r), kSquare, v); });
    // The centre of the square weighs all four alike; a cell on a station gives it weight 1
    // against 1/d^2 of the others; (2000, 2000) is 1000 m from the upper two.
    ExpectCell(*ip, 3, 3, 2.5);
    ExpectCell(*ip, 4, 2, (1 + 1.75e-6) / (1 + 0.625e-6));
    ExpectCell(*ip, 2, 3, 7.6 / 2.4, 1e-12);
}

TEST_F(InterpolationMethodsTest, InverseDistanceWeightModesAndMaximumDistance) {
    SectionValues linear;
    linear.idwWeight = 1;
    auto one = Build(1, StationHeaderOf(kSquare) + RecordOf(0, {1, 2, 3, -10000}), "regr.dat\n", linear);
    ASSERT_TRUE(one);
    Step(*one);
    ExpectCell(*one, 3, 3, 2.0);  // the missing station has no weight
    ExpectCell(*one, 4, 2, 1.0025 / 1.001);  // d = 1 at the station
    one.reset();

    // p = 2 compares squared distances with D^2 = 2250000: only stations within 1500 m count.
    SectionValues reach;
    reach.maxDistance = 1500;
    auto near = Build(1, StationHeaderOf(kSquare) + RecordOf(0, {1, 2, 3, 4}), "regr.dat\n", reach);
    ASSERT_TRUE(near);
    Step(*near);
    ExpectCell(*near, 1, 5, 4.0);
    ExpectCell(*near, 3, 3, 2.5);
    ExpectCell(*near, 4, 1, 1.0);
    near.reset();

    // Below 1 m of reach even a station at the cell has no weight: every cell is missing.
    SectionValues none;
    none.maxDistance = 0.5;
    // The missing marker lies below the lower limit, whose replacement keeps it.
    none.lowerLimit = -9000;
    none.lowerReplacement = kMissing;
    auto missing = Build(1, StationHeaderOf(kSquare) + RecordOf(0, {1, 2, 3, 4}), "regr.dat\n", none);
    ASSERT_TRUE(missing);
    Step(*missing);
    ExpectNear(*missing, [](int, int) { return kMissing; });
}

TEST_F(InterpolationMethodsTest, AnisotropicWeightingInRotatedCoordinates) {
    // Main axis at 90 degrees with b/a = 0.5: rotated, (x, y) becomes (y, -x), and the distance
    // along the original y axis counts half.
    SectionValues v;
    v.slope = 90;
    v.ratio = 0.5;
    const std::vector<StationPoint> stations = {{2000, 0, 100}, {0, 2000, 100}};
    auto ip = Build(1, StationHeaderOf(stations) + RecordOf(0, {1, 2}), "regr.dat\n", v);
    ASSERT_TRUE(ip);
    const int xi = ip->FindGrid("CoordXRot_temperature");
    const int yi = ip->FindGrid("CoordYRot_temperature");
    ASSERT_GT(xi, 0);
    ASSERT_GT(yi, 0);
    for (int r = settings.firstRow; r <= settings.lastRow; ++r)
        for (int c = 1; c <= kCols; ++c) {
            EXPECT_NEAR((*store[xi].grid)[r][c], CellY(r), 1e-9);
            EXPECT_NEAR((*store[yi].grid)[r][c], -CellX(c), 1e-9);
        }
    Step(*ip);
    // (0, 0): d^2 = 2000^2 to the first station, (0.5 * 2000)^2 to the second.
    ExpectCell(*ip, 4, 1, (1 / 4.0 + 2) / (1 / 4.0 + 1), 1e-9);
    // (2000, 2000): the other way round.
    ExpectCell(*ip, 2, 3, (1 + 2 / 4.0) / (1 + 1 / 4.0), 1e-9);
}

const std::vector<StationPoint> kTriangle = {{1000, 1000, 100}, {3000, 1000, 300}, {2000, 3000, 200}};

TEST_F(InterpolationMethodsTest, NearestStationTiesAndLapseRates) {
    auto thiessen = Build(4, StationHeaderOf(kTriangle) + RecordOf(0, {5, 8, 1}), "regr.dat\n");
    ASSERT_TRUE(thiessen);
    Step(*thiessen);
    // (2000, 1000) and (2000, 0) are as far from the first as from the second station: the
    // later one wins.
    ExpectCell(*thiessen, 3, 3, 8.0, 0);
    ExpectCell(*thiessen, 4, 3, 8.0, 0);
    thiessen.reset();

    // With a lapse rate the earlier station wins the tie: 5 + (330 - 100) * -0.01.
    auto plain = Build(12, StationHeaderOf(kTriangle) + RecordOf(0, {5, 8, 1}), "-0.01 lapse rate\n");
    ASSERT_TRUE(plain);
    Step(*plain);
    ExpectCell(*plain, 3, 3, 2.7, 1e-12);
    ExpectCell(*plain, 4, 3, 1.7, 1e-12);
    plain.reset();

    // Inversion at 250 m with 0.004 above it.
    auto inversion = Build(12, StationHeaderOf(kTriangle) + RecordOf(0, {5, 8, 1}), "-0.0065 250 0.004\n");
    ASSERT_TRUE(inversion);
    Step(*inversion);
    ExpectCell(*inversion, 4, 2, 5 - 150 * 0.0065 + 170 * 0.004, 1e-12);  // 100 m, cell 420 m
    ExpectCell(*inversion, 3, 5, 8 + 50 * 0.004, 1e-12);                 // 300 m, cell 350 m
    ExpectCell(*inversion, 2, 2, 5 - 120 * 0.0065, 1e-12);               // 100 m, cell 220 m
    ExpectCell(*inversion, 2, 4, 8 - 50 * 0.004 + 10 * 0.0065, 1e-12);   // 300 m, cell 240 m
    inversion.reset();

    // P-type: a nearest value of exactly 0 stays 0.
    auto ptype = Build(12, StationHeaderOf(kTriangle) + RecordOf(0, {0, 8, 1}), "-0.0065 250 0.004 P-type\n");
    ASSERT_TRUE(ptype);
    Step(*ptype);
    ExpectCell(*ptype, 4, 2, 0.0, 0);
    ExpectCell(*ptype, 3, 5, 8.2, 1e-12);
}

TEST_F(InterpolationMethodsTest, RegressionZonesWithThePlaneAndMixedWithInverseDistance) {
    Share("regr.dat", "jr mo tt hh\n2000 1 1 0 10 -0.01 250 5 0.02 400 1 0.001 2 0.001 -0.002\n");
    auto ip = Build(2, StationHeaderOf(kTriangle) + RecordOf(0, {1, 2, 4}), "regr.dat\n");
    ASSERT_TRUE(ip);
    Step(*ip);
    ExpectNear(*ip, [](int r, int c) {
        const double plane = 2 + 0.001 * CellX(c) - 0.002 * CellY(r), z = CellZ(r, c);
        if (z < 250) return plane - 0.01 * z;
        if (z <= 400) return plane - 10 + 5 + 0.02 * z;
        return plane - 10 + 1 + 0.001 * z;
    });
    ExpectCell(*ip, 2, 5, 2.0, 1e-12);    // z = 250: middle zone
    ExpectCell(*ip, 4, 1, -6.59, 1e-12);  // z = 410: upper zone
    ip.reset();

    // Method 3 with half of each; the lines alone without the plane.
    Share("regr.dat", "jr mo tt hh\n2000 1 1 0 10 -0.01 250 5 0.02 400 1 0.001 -10000 0 0\n");
    const std::vector<double> v = {1, 2, 4};
    auto mixed = Build(3, StationHeaderOf(kTriangle) + RecordOf(0, v), "regr.dat\n");
    ASSERT_TRUE(mixed);
    Step(*mixed);
    auto line = [](double z) { return z < 250 ? 10 - 0.01 * z : (z <= 400 ? 5 + 0.02 * z : 1 + 0.001 * z); };
    ExpectNear(*mixed, [&](int r, int c) { return 0.5 * line(CellZ(r, c)) + 0.5 * IdwByHand(CellX(c), CellY(r), kTriangle, v); });
    mixed.reset();

    // Without a station within reach the cell is missing, not half regression and half -N-1.
    SectionValues none;
    none.maxDistance = 0.5;
    // The missing marker lies below the lower limit, whose replacement keeps it.
    none.lowerLimit = -9000;
    none.lowerReplacement = kMissing;
    auto far = Build(3, StationHeaderOf(kTriangle) + RecordOf(0, v), "regr.dat\n", none);
    ASSERT_TRUE(far);
    Step(*far);
    ExpectNear(*far, [](int, int) { return kMissing; });
}

// A 3 x 3 mesh of stations around the whole domain, listed row by row from the south.
const std::vector<StationPoint> kMesh = {{-500, -500, 100}, {2000, -500, 100}, {4500, -500, 100},
                                         {-500, 1500, 100}, {2000, 1500, 100}, {4500, 1500, 100},
                                         {-500, 3500, 100}, {2000, 3500, 100}, {4500, 3500, 100}};

std::vector<double> MeshValues(double (*f)(double, double)) {
    std::vector<double> v;
    for (const auto& s : kMesh) v.push_back(f(s.x, s.y));
    return v;
}

double Plane(double x, double y) { return 1 + 0.002 * x - 0.001 * y; }

TEST_F(InterpolationMethodsTest, BilinearBetweenLookUpStations) {
    const std::vector<double> v = MeshValues(Plane);
    std::vector<double> withoutCentre = v;
    withoutCentre[4] = -10000;
    // The last record lacks the four corners of cell (4, 1): they all count as missing alike.
    std::vector<double> withoutCorners = v;
    for (std::size_t s : {0u, 1u, 3u, 4u}) withoutCorners[s] = -10000;
    auto ip = Build(5,
                    StationHeaderOf(kMesh) + RecordOf(0, v) + RecordOf(1, withoutCentre) +
                        RecordOf(2, withoutCorners),
                    "regr.dat\n");
    ASSERT_TRUE(ip);
    // The mesh is not turned: no rotated coordinates, spacing 2500 m across and 2000 m up.
    EXPECT_EQ(ip->FindGrid("CoordXRot_temperature"), 0);
    EXPECT_DOUBLE_EQ(ip->meanHorizontal, 2500);
    EXPECT_DOUBLE_EQ(ip->meanVertical, 2000);
    if (Holds(4)) {
        // (0, 0): nearest station 1 is its lower-left corner.
        EXPECT_EQ(ip->LookUpStation(4, 1, meteointerpol::kLowerLeft), 1);
        EXPECT_EQ(ip->LookUpStation(4, 1, meteointerpol::kUpperLeft), 4);
        EXPECT_EQ(ip->LookUpStation(4, 1, meteointerpol::kUpperRight), 5);
        EXPECT_EQ(ip->LookUpStation(4, 1, meteointerpol::kLowerRight), 2);
    }
    if (Holds(1)) {
        // (4000, 3000): nearest station 9 is its upper-right corner.
        EXPECT_EQ(ip->LookUpStation(1, 5, meteointerpol::kUpperRight), 9);
        EXPECT_EQ(ip->LookUpStation(1, 5, meteointerpol::kUpperLeft), 8);
        EXPECT_EQ(ip->LookUpStation(1, 5, meteointerpol::kLowerLeft), 5);
        EXPECT_EQ(ip->LookUpStation(1, 5, meteointerpol::kLowerRight), 6);
    }
    Step(*ip);
    // Bilinear interpolation reproduces a plane.
    ExpectNear(*ip, [](int r, int c) { return Plane(CellX(c), CellY(r)); });
    // The centre station is a corner of every cell: without its value every cell takes IDW.
    Step(*ip);
    ExpectNear(*ip, [&](int r, int c) { return IdwByHand(CellX(c), CellY(r), kMesh, withoutCentre); });
    // Four missing corners are four equal corners: cell (4, 1) takes the weighting of the
    // stations left, as does every other cell that misses one of them.
    Step(*ip);
    ExpectNear(*ip, [&](int r, int c) { return IdwByHand(CellX(c), CellY(r), kMesh, withoutCorners); });
}

TEST_F(InterpolationMethodsTest, BilinearGradientTimesElevationPlusBilinearBase) {
    // The base gives 2 at (2000, 1000), the gradient 0.005; at 1000 m that is 7.
    elevation[3][3] = 1000;
    auto base = [](double x, double y) { return -1 + 0.002 * x - 0.001 * y; };
    std::vector<double> first, second;
    for (const auto& s : kMesh) {
        first.push_back(base(s.x, s.y));
        second.push_back(0.005);
    }
    Share("st2.dat", StationHeaderOf(kMesh) + RecordOf(0, second));
    auto ip = Build(6, StationHeaderOf(kMesh) + RecordOf(0, first), "st2.dat\nregr.dat\n");
    ASSERT_TRUE(ip);
    Step(*ip);
    ExpectNear(*ip, [&](int r, int c) { return base(CellX(c), CellY(r)) + 0.005 * elevation[r][c]; });
    ExpectCell(*ip, 3, 3, 7.0, 1e-12);
}

// The natural spline through (0, 0), (2500, 5), (5000, 0): 7.5 b - 2.5 b^3 with b = x / 2500
// on the first interval, mirrored on the second.
double ArchSpline(double x) {
    const double b = (x <= 2500 ? x : 5000 - x) / 2500;
    return 7.5 * b - 2.5 * b * b * b;
}

TEST_F(InterpolationMethodsTest, SplineOverAStationMeshListedFromTheNorth) {
    std::vector<StationPoint> stations;
    std::vector<double> v;
    for (double y : {3000.0, 1500.0, 0.0})
        for (double x : {0.0, 2500.0, 5000.0}) {
            stations.push_back({x, y, 100});
            v.push_back((x == 2500 ? 5.0 : 0.0) + 0.001 * y);
        }
    auto ip = Build(7, StationHeaderOf(stations) + RecordOf(0, v), "regr.dat\n");
    ASSERT_TRUE(ip);
    // Every column starts at its southern station, whatever the order of the file.
    const std::vector<std::vector<int>> columns = {{7, 4, 1}, {8, 5, 2}, {9, 6, 3}};
    EXPECT_EQ(ip->MeshColumns(), columns);
    Step(*ip);
    // A model cell takes the raster value whose column centre lies half a cell east of its
    // lower-left corner; along y the values are linear and the spline reproduces them.
    ExpectNear(*ip, [](int r, int c) { return ArchSpline(CellX(c) + 500) + 0.001 * CellY(r); });
    ExpectCell(*ip, 2, 1, 1.48 + 2.0, 1e-9);
    ExpectCell(*ip, 2, 2, 3.96 + 2.0, 1e-9);
    ExpectCell(*ip, 2, 3, 5.0 + 2.0, 1e-9);
}

TEST_F(InterpolationMethodsTest, SplineResidualsAndGradientsWithInverseDistanceOutsideTheMesh) {
    std::vector<StationPoint> stations;
    for (double y : {0.0, 1500.0, 3000.0})
        for (double x : {0.0, 1500.0, 3000.0}) stations.push_back({x, y, 100});
    auto base = [](double x, double y) { return 1 + 0.002 * x - 0.001 * y; };
    auto gradient = [](double x, double y) { return 0.01 - 0.000001 * x + 0.000002 * y; };
    std::vector<double> first, second;
    for (const auto& s : stations) {
        first.push_back(base(s.x, s.y));
        second.push_back(gradient(s.x, s.y));
    }
    Share("st2.dat", StationHeaderOf(stations) + RecordOf(0, second));
    auto ip = Build(8, StationHeaderOf(stations) + RecordOf(0, first), "st2.dat\nregr.dat\n");
    ASSERT_TRUE(ip);
    Step(*ip);
    // East of the mesh (cells at 3000 m and beyond) the spline has no value: IDW of the first
    // file at the cell.
    ExpectNear(*ip, [&](int r, int c) {
        const double x = CellX(c), y = CellY(r);
        if (x >= 3000) return IdwByHand(x, y, stations, first);
        return gradient(x + 500, y) * CellZ(r, c) + base(x + 500, y);
    });
}

TEST_F(InterpolationMethodsTest, StationMeshWithUnequalColumnsStops) {
    std::vector<StationPoint> stations;
    std::vector<double> v;
    for (double x : {0.0, 2000.0, 4000.0})
        for (double y : {0.0, 1000.0, 2000.0, 3000.0})
            if (!(x == 4000 && y == 3000)) {
                stations.push_back({x, y, 100});
                v.push_back(x + y);
            }
    EXPECT_EQ(BuildError(7, StationHeaderOf(stations) + RecordOf(0, v), "regr.dat\n"), 70u);
    EXPECT_TRUE(Logged("Error converting the station coordinates into a grid:\nThe actual version of "
                       "Talvo-Vey accepts only station meshs"));
}

// A 3 x 3 mesh turned by `degrees`: 2000 m between the stations of a row, 3000 m between rows.
std::vector<StationPoint> TurnedMesh(double degrees) {
    const double a = degrees * 3.14159265358979323846 / 180;
    std::vector<StationPoint> stations;
    for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 3; ++i)
            stations.push_back({1000 + i * 2000 * std::cos(a) - j * 3000 * std::sin(a),
                                500 + i * 2000 * std::sin(a) + j * 3000 * std::cos(a), 100});
    return stations;
}

TEST_F(InterpolationMethodsTest, MeshDirectionTurnsTheCoordinatesOntoTheMesh) {
    const std::vector<double> v = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    auto ip = Build(5, StationHeaderOf(TurnedMesh(30)) + RecordOf(0, v), "regr.dat\n");
    ASSERT_TRUE(ip);
    EXPECT_NEAR(ip->anisotropySlope, 30 * 0.017453292519944444, 1e-9);
    EXPECT_EQ(ip->anisotropyRatio, 0.995);
    EXPECT_GT(ip->FindGrid("CoordXRot_temperature"), 0);
    EXPECT_NEAR(ip->meanHorizontal, 2000, 1e-6);
    EXPECT_NEAR(ip->meanVertical, 3000, 1e-6);
    ip.reset();

    // A mesh turned clockwise: its rows (-20 degrees) become the columns after a turn by 70.
    auto clockwise = Build(5, StationHeaderOf(TurnedMesh(-20)) + RecordOf(0, v), "regr.dat\n");
    ASSERT_TRUE(clockwise);
    EXPECT_NEAR(clockwise->anisotropySlope, 70 * 0.017453292519944444, 1e-9);
    EXPECT_EQ(clockwise->anisotropyRatio, 0.995);
    EXPECT_NEAR(clockwise->meanHorizontal, 3000, 1e-6);
    EXPECT_NEAR(clockwise->meanVertical, 2000, 1e-6);
}

TEST_F(InterpolationMethodsTest, ResultsAreTheSameForAnyNumberOfThreads) {
    const std::vector<double> v = MeshValues([](double x, double y) { return std::sin(x / 900) + y / 1000; });
    for (int method : {1, 5, 7}) {
        auto ip = Build(method, StationHeaderOf(kMesh) + RecordOf(0, v), "regr.dat\n");
        ASSERT_TRUE(ip);
        omp_set_num_threads(1);
        Step(*ip);
        std::vector<double> single;
        for (int r = settings.firstRow; r <= settings.lastRow; ++r)
            for (int c = 1; c <= kCols; ++c) single.push_back(Cell(*ip, r, c));
        ip->Rewind();
        ip->AdvanceRecords();
        omp_set_num_threads(8);
        Step(*ip);
        std::size_t i = 0;
        for (int r = settings.firstRow; r <= settings.lastRow; ++r)
            for (int c = 1; c <= kCols; ++c) EXPECT_EQ(Cell(*ip, r, c), single[i++]) << method;
        omp_set_num_threads(2);
    }
}

}  // namespace
