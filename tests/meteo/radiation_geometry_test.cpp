// Sun path, incidence and terrain shadow of one cell or one grid, without the sub-model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "kernel/matrix.hpp"
#include "meteo/radiation_geometry.hpp"

using namespace radiation;

namespace {

constexpr double kPi = 3.141592653;

TEST(SubStepDarkness, SplitsTheSubStepsAtSunriseAndSunset) {
    struct Case {
        double t, d, rise, set, darkBefore, dark;
        bool night;
    };
    const Case cases[] = {
        {12.0, 1.0, 6.0, 18.0, 0.0, 0.0, false},   // noon
        {2.0, 1.0, 6.0, 18.0, 0.0, 1.0, true},     // before sunrise
        {6.0, 1.0, 6.25, 18.0, 0.75, 0.75, false},  // sunrise inside
        {18.0, 1.0, 6.0, 17.75, 0.0, 0.75, false},  // sunset inside
        {22.0, 1.0, 6.0, 18.0, 0.0, 1.0, true},    // after sunset
        {12.0, 24.0, 6.0, 18.0, 6.0, 0.5, false},  // a whole day
        {1.0, 1.0, 22.0, 4.0, 0.0, 0.0, false},    // midnight sun: sunset before sunrise
        {12.0, 1.0, 22.0, 4.0, 0.0, 1.0, true},
        {23.0, 1.0, 22.0, 4.0, 0.0, 0.0, false},     // lit between sunrise and midnight
        {22.0, 1.0, 22.25, 4.0, 0.75, 0.75, false},  // sunrise inside, sunset after midnight
    };
    for (const Case& c : cases) {
        const SubStepLight l = SubStepDarkness(c.t, c.d, c.rise, c.set);
        EXPECT_NEAR(l.darkBeforeSunrise, c.darkBefore, 1e-12) << c.t;
        EXPECT_NEAR(l.darkFraction, c.dark, 1e-12) << c.t;
        EXPECT_NEAR(l.daylightFraction, 1.0 - c.dark, 1e-12) << c.t;
        EXPECT_EQ(l.night, c.night) << c.t;
    }
    // The sun is taken in the middle of the lit part: 12:00 for a whole day lit from 6 to 18.
    const SubStepLight day = SubStepDarkness(12.0, 24.0, 6.0, 18.0);
    EXPECT_NEAR(LitMiddle(12.0, 24.0, day), 12.0, 1e-12);
}

TEST(BeamRadiation, ClearSkyBeamAttenuatedByAirMass) {
    // Sun in the zenith: 1367 · 0.86^0.9 per hour.
    EXPECT_NEAR(BeamRadiation(1.0, 1.0, kPi / 2, 1.0), 1367.0 * std::pow(0.86, 0.9), 1e-9);
    // Half the sub-step lit gives half; a sun below 0.017 rad gives nothing.
    const double cz = std::cos(kPi / 3);
    EXPECT_NEAR(BeamRadiation(2.0, 0.5, kPi / 6, cz), 1367.0 * std::pow(0.86, 1.8), 1e-6);
    EXPECT_EQ(BeamRadiation(1.0, 1.0, 0.0169, std::cos(kPi / 2 - 0.0169)), 0.0);
}

TEST(Incidence, SlopeFacingTheSunAndTheCap) {
    const double zenith = 60.0 * kPi / 180.0;
    const SunStep sun = MakeSunStep(kPi, zenith, 100.0, false);  // from the south
    // Horizontal: cos z.
    EXPECT_NEAR(InclinedBeam(OrientationOf(0, 0, -9999), sun, false, false), 100.0 * std::cos(zenith), 1e-9);
    // A 60° slope facing south looks straight at the sun (capped at 5 · cos z = 2.5).
    EXPECT_NEAR(CosIncidence(OrientationOf(60, 180, -9999), sun), 1.0, 1e-8);
    EXPECT_NEAR(InclinedBeam(OrientationOf(60, 180, -9999), sun, false, false), 100.0, 1e-6);
    // Facing north, it is in its own shadow; shaded or at night nothing arrives.
    EXPECT_EQ(InclinedBeam(OrientationOf(60, 0, -9999), sun, false, false), 0.0);
    EXPECT_EQ(InclinedBeam(OrientationOf(60, 180, -9999), sun, true, false), 0.0);
    EXPECT_EQ(InclinedBeam(OrientationOf(60, 180, -9999), MakeSunStep(kPi, zenith, 100, true), false, false), 0.0);
    // Under clouds the slope gets the horizontal share.
    EXPECT_NEAR(InclinedBeam(OrientationOf(60, 180, -9999), sun, false, true), 50.0, 1e-6);
    // A low sun: the facing slope would get 1/cos 88° = 28.7 times the horizontal, capped at 5.
    const double low = 88.0 * kPi / 180.0;
    const SunStep dawn = MakeSunStep(kPi, low, 10.0, false);
    EXPECT_NEAR(InclinedBeam(OrientationOf(88, 180, -9999), dawn, false, false), 5.0 * std::cos(low) * 10.0, 1e-9);
    // Nodata slope or aspect counts as horizontal.
    EXPECT_NEAR(InclinedBeam(OrientationOf(-9999, 180, -9999), sun, false, false), 50.0, 1e-6);
    EXPECT_NEAR(InclinedBeam(OrientationOf(30, -9999, -9999), sun, false, false), 50.0, 1e-6);
}

TEST(CorrectedTemperature, LogarithmOfTheFactorFloorAtPointTwo) {
    EXPECT_DOUBLE_EQ(CorrectedTemperature(10.0, 1.0, 5.0, 2.0, 0.5), 10.0);
    EXPECT_NEAR(CorrectedTemperature(10.0, 2.0, 5.0, 2.0, 0.5), 10.0 + std::log(2.0), 1e-12);
    // At and below 0.2 the change is that of 0.2, never further; without sun none.
    EXPECT_NEAR(CorrectedTemperature(10.0, 0.2, 5.0, 2.0, 0.5), 10.0 - 1.6094, 1e-12);
    EXPECT_NEAR(CorrectedTemperature(10.0, 0.0, 5.0, 2.0, 0.5), 10.0 - 1.6094, 1e-12);
    EXPECT_NEAR(CorrectedTemperature(10.0, 0.2000001, 5.0, 2.0, 0.5), 10.0 + std::log(0.2000001), 1e-12);
    EXPECT_DOUBLE_EQ(CorrectedTemperature(10.0, 0.0, 0.0, 2.0, 0.5), 10.0);
    EXPECT_EQ(CorrectionFactor(3.0, 0.0), 0.0);
    EXPECT_EQ(CorrectionFactor(3.0, 2.0), 1.5);
}

// A flat plain of n x n cells with a wall of height h along one row or column.
struct Terrain {
    explicit Terrain(int n_) : n(n_) {
        memory_handling mh;
        elevation = mh.matrix(1, n, 1, n, n);
        zone = mh.matrix(1, n, 1, n, n);
        shadow = mh.matrix(1, n, 1, n, n);
        zone.fill(1.0);
    }
    int n;
    Matrix elevation, zone, shadow;
};

TEST(TerrainShadow, ShadedBehindAWallExactlyWhereTheWallHidesTheSun) {
    const int n = 60;
    const double cell = 10.0, wall = 50.0;
    for (double degrees : {10.0, 20.0, 30.0, 45.0, 60.0}) {
        const double e = degrees * kPi / 180.0;
        // Sun in the south; the wall along row 50 (rows count from the north).
        Terrain t(n);
        for (int c = 1; c <= n; ++c) t.elevation[50][c] = wall;
        MarchTerrainShadow(t.elevation, t.zone, t.shadow, n, n, cell, -9999, -9999, 3.14159265359, e);
        for (int k = 1; k < 49; ++k) {
            const bool expected = std::tan(e) < wall / (k * cell);
            if (std::fabs(std::tan(e) - wall / (k * cell)) < 1e-9) continue;
            EXPECT_EQ(t.shadow[50 - k][30] == 1.0, expected) << degrees << "° row " << 50 - k;
        }
        EXPECT_EQ(t.shadow[50][30], 0.0);
        EXPECT_EQ(t.shadow[55][30], 0.0);  // in front of the wall
    }
}

TEST(TerrainShadow, DiagonalSunWithinOneCell) {
    // Sun in the south-west (azimuth 225°): shadows fall to the north-east of a wall along
    // column 20. Distance along the ray to a cell k columns east is k·cell / sin 45°.
    const int n = 80;
    const double cell = 10.0, wall = 80.0, e = 30.0 * kPi / 180.0;
    Terrain t(n);
    for (int r = 1; r <= n; ++r) t.elevation[r][20] = wall;
    MarchTerrainShadow(t.elevation, t.zone, t.shadow, n, n, cell, -9999, -9999, 225.0 * kPi / 180.0, e);
    const double reach = wall / std::tan(e) * std::sin(kPi / 4) / cell;  // in columns
    for (int k = 1; k < 40; ++k) {
        if (std::fabs(k - reach) <= 1.0) continue;
        EXPECT_EQ(t.shadow[40][20 + k] == 1.0, k < reach) << "column " << 20 + k;
    }
    // Cells outside the zone are neither marked nor cast shadows.
    Terrain u(n);
    for (int r = 1; r <= n; ++r) u.elevation[r][20] = wall;
    for (int r = 1; r <= n; ++r) u.zone[r][20] = -9999;
    u.shadow.fill(-1);
    MarchTerrainShadow(u.elevation, u.zone, u.shadow, n, n, cell, -9999, -9999, 225.0 * kPi / 180.0, e);
    EXPECT_EQ(u.shadow[40][20], -1.0);
    EXPECT_EQ(u.shadow[40][22], 0.0);
}

TEST(TerrainShadow, EveryQuadrantMarchesAwayFromTheSun) {
    // A single tower in the middle shades the cell next to it on the side away from the sun.
    const int n = 21;
    struct Case {
        double azimuthDegrees;
        int dr, dc;  // where the shadow falls
    };
    for (const Case& c : {Case{180, -1, 0}, Case{0.001, 1, 0}, Case{90, 0, -1}, Case{270, 0, 1},
                          Case{45, 1, -1}, Case{135, -1, -1}, Case{225, -1, 1}, Case{315, 1, 1}}) {
        Terrain t(n);
        t.elevation[11][11] = 1000.0;
        const std::int64_t visits = MarchTerrainShadow(t.elevation, t.zone, t.shadow, n, n, 10.0, -9999, -9999,
                                                       c.azimuthDegrees * kPi / 180.0, 0.3);
        EXPECT_EQ(t.shadow[11 + c.dr][11 + c.dc], 1.0) << c.azimuthDegrees;
        EXPECT_EQ(t.shadow[11 - c.dr][11 - c.dc], 0.0) << c.azimuthDegrees;
        EXPECT_GE(visits, static_cast<std::int64_t>(n) * n) << c.azimuthDegrees;
    }
}

}  // namespace

namespace {

// Flat terrain of rows x cols whose zone is a triangle (r + c small) with a hole, a one-cell
// diagonal and a strip along the last column: zone cells spread very unevenly over the rays,
// runs of one cell and several runs a row or column.
radiation::Terrain UnevenZone(int rows, int cols) {
    radiation::Terrain t;
    t.nrows = rows;
    t.ncols = cols;
    t.elevation.assign(static_cast<std::size_t>(rows * cols), 100.0);
    t.inside.assign(static_cast<std::size_t>(rows * cols), 0);
    for (int r = 1; r <= rows; ++r)
        for (int c = 1; c <= cols; ++c) {
            const bool triangle = r + c < (rows + cols) / 2 && !(r > 3 && r < 6 && c > 2 && c < 5);
            t.inside[static_cast<std::size_t>((r - 1) * cols + c - 1)] = triangle || r == c || c == cols ? 1 : 0;
        }
    FindZoneRuns(t);
    return t;
}

}  // namespace

TEST(RayBlocks, ZoneRunsOfEveryRowAndColumn) {
    // The runs found eight cells at a time must be those of walking every cell: long runs and
    // gaps across whole words, runs of one cell, runs touching the grid's edges, on widths below,
    // at and between multiples of eight.
    for (const auto& [rows, cols] : {std::pair{5, 1}, std::pair{9, 7}, std::pair{13, 8}, std::pair{11, 23}, std::pair{21, 64}}) {
        radiation::Terrain t;
        t.nrows = rows;
        t.ncols = cols;
        t.inside.assign(static_cast<std::size_t>(rows * cols), 0);
        std::uint32_t seed = 12345u + static_cast<std::uint32_t>(cols);
        for (int r = 1; r <= rows; ++r)
            for (int c = 1; c <= cols; ++c) {
                seed = seed * 1103515245u + 12345u;
                const bool block = r % 7 != 3 && (c < cols / 2 || r > rows / 2);
                t.inside[static_cast<std::size_t>((r - 1) * cols + c - 1)] = block || (seed >> 16) % 3 == 0 ? 1 : 0;
            }
        FindZoneRuns(t);
        auto in = [&](int r, int c) { return t.inside[static_cast<std::size_t>((r - 1) * cols + c - 1)] != 0; };
        std::vector<int> rowRuns, rowStart{0}, colRuns, colStart{0};
        for (int r = 1; r <= rows; ++r) {
            for (int c = 1; c <= cols; ++c)
                if (in(r, c) && (c == 1 || !in(r, c - 1))) {
                    int end = c;
                    while (end < cols && in(r, end + 1)) ++end;
                    rowRuns.insert(rowRuns.end(), {c, end});
                }
            rowStart.push_back(static_cast<int>(rowRuns.size() / 2));
        }
        for (int c = 1; c <= cols; ++c) {
            for (int r = 1; r <= rows; ++r)
                if (in(r, c) && (r == 1 || !in(r - 1, c))) {
                    int end = r;
                    while (end < rows && in(end + 1, c)) ++end;
                    colRuns.insert(colRuns.end(), {r, end});
                }
            colStart.push_back(static_cast<int>(colRuns.size() / 2));
        }
        EXPECT_EQ(t.rowRuns, rowRuns) << rows << "x" << cols;
        EXPECT_EQ(t.rowRunStart, rowStart) << rows << "x" << cols;
        EXPECT_EQ(t.colRuns, colRuns) << rows << "x" << cols;
        EXPECT_EQ(t.colRunStart, colStart) << rows << "x" << cols;
    }
}

TEST(RayBlocks, WorkOfEveryRayIsThatOfItsMarch) {
    // The visits and zone cells counted from the zone runs must be those of marching the ray
    // alone, for suns from every side, steep and flat rays, on grids wider and taller than long.
    for (const auto& [rows, cols] : {std::pair{17, 29}, std::pair{31, 12}}) {
        const radiation::Terrain t = UnevenZone(rows, cols);
        for (double degrees : {0.001, 10.0, 45.0, 60.0, 90.0, 120.0, 135.0, 180.0, 200.0, 225.0, 260.0, 300.0, 350.0}) {
            const double azimuth = degrees * kPi / 180.0;
            const std::vector<RayWork> work = RaysWork(t, azimuth);
            ASSERT_EQ(work.size(), static_cast<std::size_t>(rows + cols));
            std::vector<std::uint8_t> marks;
            RowSpans spans;
            for (int k = 0; k < rows + cols; ++k) {
                marks.assign(t.inside.size(), 0);
                spans.Clear(rows, cols);
                const std::int64_t visits = MarchTerrainShadowRays(t, marks, spans, 1, k, k + 1, 10.0, -9999, azimuth, 0.2);
                const auto marked = std::count_if(marks.begin(), marks.end(), [](std::uint8_t m) { return m != 0; });
                EXPECT_EQ(work[static_cast<std::size_t>(k)].visits, visits) << rows << "x" << cols << " " << degrees << "° ray " << k;
                EXPECT_EQ(work[static_cast<std::size_t>(k)].zoneCells, marked) << rows << "x" << cols << " " << degrees << "° ray " << k;
            }
        }
    }
}

TEST(RayBlocks, BlocksShareTheMarkedZoneCells) {
    // On a zone crowded into one corner, blocks of equal ray length would give one block most of
    // the zone; the blocks of four processes must each mark about a quarter of it.
    const radiation::Terrain t = UnevenZone(120, 150);
    for (double degrees : {10.0, 100.0, 170.0, 200.0, 280.0}) {
        const double azimuth = degrees * kPi / 180.0;
        const std::vector<RayWork> work = RaysWork(t, azimuth);
        const std::vector<int> blocks = RayBlocks(t, azimuth, 4);
        std::vector<std::int64_t> marked;
        for (int p = 0; p < 4; ++p) {
            std::int64_t sum = 0;
            for (int k = blocks[static_cast<std::size_t>(p)]; k < blocks[static_cast<std::size_t>(p) + 1]; ++k)
                sum += work[static_cast<std::size_t>(k)].zoneCells;
            marked.push_back(sum);
        }
        const double mean = static_cast<double>(marked[0] + marked[1] + marked[2] + marked[3]) / 4.0;
        for (int p = 0; p < 4; ++p)
            EXPECT_LT(static_cast<double>(marked[static_cast<std::size_t>(p)]), 1.4 * mean) << degrees << "° block " << p;
    }
}

TEST(RayBlocks, BlocksTogetherCastTheShadowOfTheWholeMarch) {
    // Rugged terrain over the uneven zone: three blocks of rays marched apart, each cell keeping
    // its largest mark as its owner does, must shade exactly the zone cells that the march of
    // the whole grid shades, and each block's span of a row must be the columns it marked there.
    for (const auto& [rows, cols] : {std::pair{17, 29}, std::pair{31, 12}}) {
        radiation::Terrain t = UnevenZone(rows, cols);
        memory_handling mh;
        Matrix elevation = mh.matrix(1, rows, 1, cols, rows), zone = mh.matrix(1, rows, 1, cols, rows),
               shadow = mh.matrix(1, rows, 1, cols, rows);
        for (int r = 1; r <= rows; ++r)
            for (int c = 1; c <= cols; ++c) {
                const std::size_t i = static_cast<std::size_t>((r - 1) * cols + c - 1);
                t.elevation[i] = elevation[r][c] = 100.0 + 37.0 * ((r * 7 + c * 11) % 9) + (r == rows / 2 ? 400.0 : 0.0);
                zone[r][c] = t.inside[i] != 0 ? 1.0 : -9999.0;
            }
        for (double degrees : {0.001, 30.0, 45.0, 100.0, 160.0, 200.0, 250.0, 300.0, 340.0}) {
            const double azimuth = degrees * kPi / 180.0;
            shadow.fill(0.0);
            MarchTerrainShadow(elevation, zone, shadow, rows, cols, 10.0, -9999, -9999, azimuth, 0.25);
            const std::vector<int> blocks = RayBlocks(t, azimuth, 3);
            std::vector<std::uint8_t> merged(t.inside.size(), 0), marks;
            RowSpans spans;
            for (int p = 0; p < 3; ++p) {
                marks.assign(t.inside.size(), 0);
                spans.Clear(rows, cols);
                MarchTerrainShadowRays(t, marks, spans, static_cast<std::uint8_t>(2 * p + 1), blocks[static_cast<std::size_t>(p)],
                                       blocks[static_cast<std::size_t>(p) + 1], 10.0, -9999, azimuth, 0.25);
                for (int r = 1; r <= rows; ++r) {
                    int first = cols + 1, last = 0;
                    for (int c = 1; c <= cols; ++c) {
                        const std::size_t i = static_cast<std::size_t>((r - 1) * cols + c - 1);
                        if (marks[i] != 0) first = std::min(first, c), last = std::max(last, c);
                        merged[i] = std::max(merged[i], marks[i]);
                    }
                    EXPECT_EQ(spans.first[static_cast<std::size_t>(r - 1)], first) << degrees << "° block " << p << " row " << r;
                    EXPECT_EQ(spans.last[static_cast<std::size_t>(r - 1)], last) << degrees << "° block " << p << " row " << r;
                }
            }
            int shaded = 0;
            for (int r = 1; r <= rows; ++r)
                for (int c = 1; c <= cols; ++c) {
                    const unsigned m = merged[static_cast<std::size_t>((r - 1) * cols + c - 1)];
                    if (zone[r][c] == -9999.0) continue;
                    shaded += shadow[r][c] == 1.0 ? 1 : 0;
                    EXPECT_EQ(m != 0 && m % 2 == 0 ? 1.0 : 0.0, shadow[r][c]) << degrees << "° cell " << r << "," << c;
                }
            EXPECT_GT(shaded, 3) << rows << "x" << cols << " " << degrees << "°";
        }
    }
}
