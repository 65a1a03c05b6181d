// Pieces of the derived grids the set-up steps do not reach: derived file names of grids in
// dotted directories, and the gap filling of slopes next to missing elevations.
#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "domain_fixture.hpp"
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
    // A dot in a folder of the path is no extension of the file.
    EXPECT_EQ(DerivedFileName("../run.6/zones", ".$csx"), "../run.6/zones.$csx");
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

// Gaps are filled in row order, each from its neighbours as they stand then (filled cells
// above and to the left, computed ones below): the same as filling the whole grid after
// computing it, for any size and any pattern of holes.
TEST(DerivedGrids, GapsAreFilledAsAfterTheWholeGridWasComputed) {
    for (const auto& [nrows, ncols] : {std::pair{1, 4}, {2, 3}, {3, 5}, {9, 7}}) {
        Matrix e = Filled(nrows, ncols, 0);
        unsigned seed = 7;
        for (int r = 1; r <= nrows; ++r)
            for (int c = 1; c <= ncols; ++c) {
                seed = seed * 1103515245u + 12345u;
                e[r][c] = (seed >> 16) % 4 == 0 ? kNd : 100 + 3.0 * r * c - 2.0 * c + (seed >> 20) % 7;
            }
        Matrix slope = Filled(nrows, ncols, 0), aspect = Filled(nrows, ncols, 0);
        ComputeSlopeAspect(e, &slope, &aspect, nrows, ncols, 10, kNd);
        // The whole grid without gap filling (rows 1 and nrows, columns 1 and ncols are gaps),
        // then every gap filled in row order.
        Matrix want = Filled(nrows, ncols, kNd);
        for (int r = 2; r < nrows; ++r)
            for (int c = 2; c < ncols; ++c) {
                const double N = e[r - 1][c], S = e[r + 1][c], W = e[r][c - 1], E = e[r][c + 1];
                if (N == kNd || S == kNd || W == kNd || E == kNd) continue;
                const double dx = (E - W) / 20, dy = (N - S) / 20;
                want[r][c] = (dx == 0 && dy == 0) ? 0 : std::atan(std::sqrt(dx * dx + dy * dy)) * 57.29577951307855;
            }
        for (int r = 1; r <= nrows; ++r)
            for (int c = 1; c <= ncols; ++c)
                if (e[r][c] != kNd && want[r][c] == kNd) FillFromNeighbours(want, r, c, nrows, ncols, kNd);
        for (int r = 1; r <= nrows; ++r)
            for (int c = 1; c <= ncols; ++c) {
                ASSERT_EQ(slope[r][c], want[r][c]) << nrows << " x " << ncols << ": row " << r << ", column " << c;
                // Aspect has its gaps exactly where slope has them.
                ASSERT_EQ(aspect[r][c] == kNd, want[r][c] == kNd) << "row " << r << ", column " << c;
            }
    }
}

// Gaps of every kind against the plain computation: rows without any elevation, holes, valid
// edge cells, a flat plateau and a slope facing due north. With nodata 0 the plateau's slope
// and aspect and the north slope's aspect come out as nodata and are gaps as well (filled in
// the aspect grid alone where only the aspect is 0). Each grid alone gives the same values.
setup_test::Rows EveryKindOfGap(double nd) {
    return setup_test::Fill(12, 9, [nd](int r, int c) {
        if (r == 4 || r == 12 || (c == 1 && r % 3 == 0) || (c == 9 && r % 2 == 0)) return nd;
        if ((r == 2 && c == 5) || (r == 9 && c == 3) || (r == 11 && c == 7)) return nd;
        if (r >= 6 && r <= 8 && c >= 3 && c <= 6) return 50.0;
        if (r >= 9 && c >= 4) return 100.0 + 7 * r;
        return 100.0 + 3.0 * r * c - 2.0 * c + (r * c) % 5;
    });
}

TEST(DerivedGrids, EveryKindOfGapIsFilledAsInThePlainComputation) {
    for (const double nd : {kNd, 0.0}) {
        const setup_test::Rows terrain = EveryKindOfGap(nd);
        setup_test::Rows want_s, want_a;
        setup_test::ReferenceSlopeAspect(terrain, 10, nd, &want_s, &want_a);
        Matrix e = Filled(12, 9, 0);
        for (int r = 1; r <= 12; ++r)
            for (int c = 1; c <= 9; ++c) e[r][c] = terrain[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)];
        for (const auto& [withSlope, withAspect] : {std::pair{true, true}, {true, false}, {false, true}}) {
            Matrix slope = Filled(12, 9, 1), aspect = Filled(12, 9, 1);
            ComputeSlopeAspect(e, withSlope ? &slope : nullptr, withAspect ? &aspect : nullptr, 12, 9, 10, nd);
            for (int r = 1; r <= 12; ++r)
                for (int c = 1; c <= 9; ++c) {
                    const auto k = [](int i) { return static_cast<std::size_t>(i - 1); };
                    if (withSlope) {
                        ASSERT_EQ(slope[r][c], want_s[k(r)][k(c)]) << "nodata " << nd << ", row " << r << ", column " << c;
                    }
                    if (withAspect) {
                        ASSERT_EQ(aspect[r][c], want_a[k(r)][k(c)]) << "nodata " << nd << ", row " << r << ", column " << c;
                    }
                }
        }
        // A plateau cell: a slope of 0, which with nodata 0 is a gap filled from its neighbours;
        // a cell of the north slope keeps its slope while its aspect of 0 is such a gap.
        EXPECT_EQ(want_s[6][3] == 0.0, nd != 0.0);
        EXPECT_EQ(want_a[7][3] == 0.0, nd != 0.0);
        EXPECT_GT(want_s[7][3], 79.0);
    }
}

// Rows computed apart (here from the last one up) with their noted columns, then filled in
// one pass, give the values of the computation that fills each row as it goes, bit for bit,
// the gaps where a computed value equals nodata included.
TEST(DerivedGrids, RowsComputedApartAndFilledAfterwardsGiveTheOnePassValues) {
    for (const double nd : {kNd, 0.0}) {
        const setup_test::Rows terrain = EveryKindOfGap(nd);
        Matrix e = Filled(12, 9, 0);
        for (int r = 1; r <= 12; ++r)
            for (int c = 1; c <= 9; ++c) e[r][c] = terrain[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(c - 1)];
        for (const auto& [withSlope, withAspect] : {std::pair{true, true}, {false, true}}) {
            Matrix s1 = Filled(12, 9, 1), a1 = Filled(12, 9, 1), s2 = Filled(12, 9, 1), a2 = Filled(12, 9, 1);
            ComputeSlopeAspect(e, withSlope ? &s1 : nullptr, &a1, 12, 9, 10, nd);
            std::vector<std::vector<int>> rowNotes(13);
            for (int r = 11; r >= 2; --r) {
                std::vector<int> columns(10);
                const int n = SlopeAspectRow(e[r - 1], e[r], e[r + 1], withSlope ? s2[r] : nullptr, a2[r], 9, 10, nd,
                                             columns.data());
                rowNotes[static_cast<std::size_t>(r)] = {n};
                rowNotes[static_cast<std::size_t>(r)].insert(rowNotes[static_cast<std::size_t>(r)].end(),
                                                             columns.begin(), columns.begin() + n);
            }
            std::vector<int> noted;
            for (int r = 2; r <= 11; ++r)
                noted.insert(noted.end(), rowNotes[static_cast<std::size_t>(r)].begin(),
                             rowNotes[static_cast<std::size_t>(r)].end());
            FillSlopeAspectGaps(e, withSlope ? &s2 : nullptr, &a2, 12, 9, nd, noted);
            for (int r = 1; r <= 12; ++r)
                for (int c = 0; c <= 9; ++c) {
                    ASSERT_EQ(s2[r][c], s1[r][c]) << "nodata " << nd << ", row " << r << ", column " << c;
                    ASSERT_EQ(a2[r][c], a1[r][c]) << "nodata " << nd << ", row " << r << ", column " << c;
                }
        }
    }
}

}  // namespace
