// Pieces of the derived grids the set-up steps do not reach: derived file names of grids in
// dotted directories, and the gap filling of slopes next to missing elevations.
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
    FillFromNeighbours(g, 3, 3, 3, 3, kNd);  // a corner looks at its three neighbours only
    EXPECT_EQ(g[3][3], 7);
}

}  // namespace
