#include <gtest/gtest.h>

#include "setup/derivedgrids.hpp"

namespace {

constexpr double kNd = -9999;

Matrix Filled(int nrows, int ncols, double v) {
    memory_handling mh;
    Matrix m = mh.matrix(1, nrows, 1, ncols, nrows);
    m.fill(v);
    return m;
}

TEST(DerivedGrids, FileNamesCutAtTheLastDot) {
    EXPECT_EQ(DerivedFileName("basin.asc", ".$csx"), "basin.$csx");
    EXPECT_EQ(DerivedFileName("basin", ".$cy"), "basin.$cy");
    EXPECT_EQ(DerivedFileName("a.b/dem.grd", ".$sl"), "a.b/dem.$sl");
}

TEST(DerivedGrids, CellSizesFromTheHeaderWhenNothingIsGiven) {
    Matrix zone = Filled(2, 2, 1), x = Filled(2, 2, 0), y = Filled(2, 2, 0), a = Filled(2, 2, 1);
    zone[2][2] = kNd;
    const auto p = DeriveCellSizes(zone, x, y, a, 1, 2, 2, 100, kNd, {});
    EXPECT_EQ(p.kind, 0);
    EXPECT_EQ(x[1][1], 100);
    EXPECT_EQ(y[2][1], 100);
    EXPECT_EQ(x[2][2], kNd);
    EXPECT_EQ(a[2][2], kNd);
}

TEST(DerivedGrids, GivenCellSizesMustAgreeWithTheGivenArea) {
    Matrix zone = Filled(1, 2, 1), x = Filled(1, 2, 100), y = Filled(1, 2, 100), a = Filled(1, 2, 1);
    EXPECT_EQ(DeriveCellSizes(zone, x, y, a, 1, 1, 2, 100, kNd, {true, true, true}).kind, 0);
    a[1][2] = 1.1;
    const auto p = DeriveCellSizes(zone, x, y, a, 1, 1, 2, 100, kNd, {true, true, true});
    EXPECT_EQ(p.kind, 3);
    EXPECT_EQ(p.col, 2);
    x[1][1] = 0;
    EXPECT_EQ(DeriveCellSizes(zone, x, y, a, 1, 1, 2, 100, kNd, {true, false, true}).kind, 2);
    Matrix y0 = Filled(1, 2, 0);
    EXPECT_EQ(DeriveCellSizes(zone, x, y0, a, 1, 1, 2, 100, kNd, {false, true, true}).kind, 1);
    // Area derived from given sizes.
    Matrix x2 = Filled(1, 2, 50), a2 = Filled(1, 2, 0);
    DeriveCellSizes(zone, x2, y, a2, 1, 1, 2, 100, kNd, {true, true, false});
    EXPECT_DOUBLE_EQ(a2[1][1], 0.5);
}

TEST(DerivedGrids, CoordinatesAreLowerLeftCorners) {
    Matrix zone = Filled(3, 4, 1), cx = Filled(3, 4, 0), cy = Filled(3, 4, 0);
    Matrix sx = Filled(3, 4, 10), sy = Filled(3, 4, 10);
    std::vector<ColumnRange> cols(4, ColumnRange{1, 4});
    zone[1][4] = kNd;
    ComputeCoordinates(zone, &sx, &sy, cx, cy, 1, 3, 3, 4, 1000, 2000, 10, kNd, &cols, true);
    EXPECT_EQ(cx[2][1], 1000);
    EXPECT_EQ(cx[2][4], 1030);
    EXPECT_EQ(cy[3][2], 2000);
    EXPECT_EQ(cy[1][3], 2020);
    EXPECT_EQ(cx[1][4], kNd);
    // Varying sizes accumulate along the row.
    sx[2][1] = 15;
    ComputeCoordinates(zone, &sx, &sy, cx, cy, 1, 3, 3, 4, 1000, 2000, 10, kNd, &cols, true);
    EXPECT_EQ(cx[2][2], 1015);
    EXPECT_EQ(cx[2][3], 1025);
}

TEST(DerivedGrids, SlopeAndAspectOfPlanes) {
    // Rising 10 units per cell towards the west, cell size 10: slope 45, aspect 90.
    Matrix e = Filled(4, 4, 0), slope = Filled(4, 4, 0), aspect = Filled(4, 4, 0);
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 4; ++c) e[r][c] = 100 - 10 * c;
    ComputeSlopeAspect(e, &slope, &aspect, 4, 4, 10, kNd);
    EXPECT_NEAR(slope[2][2], 45, 1e-9);
    EXPECT_NEAR(aspect[2][3], 90, 1e-9);
    // The border rows and columns are filled from their computed neighbours.
    EXPECT_NEAR(slope[1][1], 45, 1e-9);
    // Rising towards the north: aspect 180; flat: slope 0 and aspect 0.
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 4; ++c) e[r][c] = 100 - 10 * r;
    ComputeSlopeAspect(e, &slope, &aspect, 4, 4, 10, kNd);
    EXPECT_EQ(aspect[2][2], 180);
    Matrix flat = Filled(4, 4, 5);
    ComputeSlopeAspect(flat, &slope, &aspect, 4, 4, 10, kNd);
    EXPECT_EQ(slope[2][2], 0);
    EXPECT_EQ(aspect[3][3], 0);
}

TEST(DerivedGrids, CellNextToAGapGetsTheMeanOfItsNeighbours) {
    Matrix e = Filled(5, 5, 0), slope = Filled(5, 5, 0);
    for (int r = 1; r <= 5; ++r)
        for (int c = 1; c <= 5; ++c) e[r][c] = 100 - 10 * c;
    e[2][3] = kNd;  // (3,3) loses its northern neighbour
    ComputeSlopeAspect(e, &slope, nullptr, 5, 5, 10, kNd);
    EXPECT_NEAR(slope[3][3], 45, 1e-9);
    EXPECT_NEAR(slope[2][3], 45, 1e-9);  // the cell itself is not consulted
    Matrix g = Filled(3, 3, kNd);
    g[2][2] = 7;
    FillFromNeighbours(g, 2, 2, 3, 3, kNd);  // no valid neighbour: unchanged
    EXPECT_EQ(g[2][2], 7);
    g[1][1] = 3;
    FillFromNeighbours(g, 1, 2, 3, 3, kNd);
    EXPECT_EQ(g[1][2], 5);
}

}  // namespace
