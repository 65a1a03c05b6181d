// The solver's arithmetic on plain numbers: leakage, face transmissivities, the adaptive
// factor, the cell update and one sweep over a small band of rows.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "lateral/gwflow_numerics.hpp"

using namespace gwnum;

TEST(GwNumerics, LeakageClipsTheHeadDifferenceToOneMetre) {
    struct Case {
        double hu, hd, td, expected;
    };
    const double k = 1e-6;
    for (const Case& c : {Case{10, 12, 20, 1e-6}, Case{10, 8, 9, -1e-6}, Case{8.5, 8, 9, 0.0}, Case{10, 10.4, 20, 0.4e-6},
                          Case{10, 5, 4, -1e-6}, Case{9.5, 9.2, 9.0, -0.3e-6}}) {
        EXPECT_NEAR(Leakage(c.hu, c.hd, c.td, k), c.expected, 1e-18) << c.hu << " " << c.hd << " " << c.td;
    }
}

TEST(GwNumerics, FaceTransmissivityIsTheHarmonicMean) {
    EXPECT_DOUBLE_EQ(HarmonicMean(10, 30), 15);
    EXPECT_DOUBLE_EQ(HarmonicMean(0, 30), 0);
    EXPECT_DOUBLE_EQ(HarmonicMean(0, 0), 0);
    // Confined cells use their full thickness: 10 m x 1 and 10 m x 3.
    const FaceCell a{20, 10, 10, 10, 1.0, 0}, b{20, 10, 10, 10, 3.0, 0};
    EXPECT_DOUBLE_EQ(FaceTransmissivity(a, &b, false), 15);
    EXPECT_DOUBLE_EQ(FaceTransmissivity(a, nullptr, false), 0);
}

TEST(GwNumerics, HeadAtTopPlusMarginIsUnconfinedOnlyAlongRows) {
    const double top = 10, h = top + kConfinedMargin;
    // Thickness 4 m, effective 3 m: unconfined gives h - top + 3 = 3.01, confined 4.
    const FaceCell cell{h, top, 3, 4, 1.0, 0};
    const FaceCell nb{h, top, 3, 4, 1.0, 0};
    const double unconfined = h - top + 3;
    EXPECT_DOUBLE_EQ(FaceTransmissivity(cell, &nb, false), HarmonicMean(unconfined, 4.0));
    EXPECT_DOUBLE_EQ(FaceTransmissivity(cell, &nb, true), 4.0);
}

TEST(GwNumerics, DryCellFillsFromAHigherNeighbourButPassesNothingOn) {
    const FaceCell dry{0, 10, 5, 5, 1.0, 0};   // head 5 m below the bottom
    const FaceCell wet{12, 10, 5, 5, 2.0, 0};  // confined: 5 x 2 = 10
    EXPECT_DOUBLE_EQ(FaceTransmissivity(dry, &wet, false), 10);
    EXPECT_DOUBLE_EQ(FaceTransmissivity(wet, &dry, false), 10);
    // A dry neighbour higher than the cell gets nothing from it; neither does a glacier cell.
    const FaceCell low{-20, 10, 5, 5, 1.0, 0};
    EXPECT_DOUBLE_EQ(FaceTransmissivity(low, &dry, false), 0);
    FaceCell ice = wet;
    ice.g = 0.5;
    EXPECT_DOUBLE_EQ(FaceTransmissivity(dry, &ice, false), 0);
    EXPECT_DOUBLE_EQ(FaceTransmissivity(ice, &wet, false), 0);
}

TEST(GwNumerics, AdaptiveFactorHandValues) {
    struct Case {
        double hn, expected;
    };
    // h* = 10, hp = 9: the relaxed head h* + w (hn - h*).
    for (const Case& c : {Case{10.5, 10.75}, Case{9.5, 9.75}, Case{12, 14}, Case{8.5, 8.5}}) {
        const double w = AdaptiveFactor(c.hn, 10, 9);
        EXPECT_DOUBLE_EQ(10 + w * (c.hn - 10), c.expected) << c.hn;
    }
    EXPECT_DOUBLE_EQ(AdaptiveFactor(12, 10, 10), 1.0);
}

TEST(GwNumerics, CellWithoutStorageOrFacesKeepsItsHead) {
    const double c[4] = {0, 0, 0, 0}, hk[4] = {1, 2, 3, 4};
    double hn = 7;
    EXPECT_FALSE(CellHead(100, 1e-3, 0, 3600, 1, 5, c, hk, &hn));
    EXPECT_EQ(hn, 7);
    // With storage only the head rises by the source over the step: Q dt / S.
    ASSERT_TRUE(CellHead(100, 1e-6, 0.1, 3600, 1, 5, c, hk, &hn));
    EXPECT_NEAR(hn, 5 + 1e-6 * 3600 / 0.1, 1e-12);
}

namespace {

// A band of rows x cols cells with halo rows, uniform transmissivity and no storage.
struct Band {
    int rows, cols;
    std::vector<std::vector<double>> h, h0, hp, tx, ty, q, st, top;
    std::vector<double*> ph, ph0, php, ptx, pty, pq, pst, ptop;
    std::vector<std::uint8_t> upd;
    Band(int r, int c, double t) : rows(r), cols(c) {
        for (auto* g : {&h, &h0, &hp, &tx, &ty, &q, &st, &top}) g->assign(r + 2, std::vector<double>(c + 2, 0.0));
        for (int i = 1; i <= r; ++i)
            for (int j = 1; j <= c; ++j) {
                tx[i][j] = j < c ? t : 0;
                ty[i][j] = i < r ? t : 0;
                q[i][j] = -9999;
                top[i][j] = -100;
            }
        upd.assign(static_cast<std::size_t>((r + 2) * (c + 2)), 0);
    }
    SorLayer View() {
        auto rows_of = [](std::vector<std::vector<double>>& g, std::vector<double*>& p) {
            p.clear();
            for (auto& row : g) p.push_back(row.data());
            return p.data();
        };
        SorLayer v;
        v.nrows = rows;
        v.ncols = cols;
        v.h = rows_of(h, ph);
        v.h0 = rows_of(h0, ph0);
        v.hp = rows_of(hp, php);
        v.tx = rows_of(tx, ptx);
        v.ty = rows_of(ty, pty);
        v.fixQ = rows_of(q, pq);
        v.st = rows_of(st, pst);
        v.st1 = v.st;
        v.top = rows_of(top, ptop);
        v.update = upd.data();
        v.stride = cols + 2;
        v.cellsize = 10;
        v.dt = 3600;
        return v;
    }
};

}  // namespace

TEST(GwNumerics, SweepSolvesTheLinearProfileAndSkipsIsolatedCells) {
    Band b(3, 6, 1e-3);
    for (int i = 1; i <= 3; ++i) {
        b.h[i][1] = b.h0[i][1] = 10;
        b.h[i][6] = b.h0[i][6] = 5;
        for (int j = 2; j <= 5; ++j) b.upd[static_cast<std::size_t>(i * 8 + j)] = 1;
    }
    // Row 3 is cut off from row 2, and its column 3 has no faces at all and no storage: it
    // keeps its head while its neighbours take the fixed head they are connected to.
    for (int j = 1; j <= 6; ++j) b.ty[2][j] = 0;
    b.tx[3][2] = b.tx[3][3] = 0;
    b.h[3][3] = 42;
    SorLayer v = b.View();
    v.sor = 1.5;
    double change = 1;
    int sweeps = 0;
    while (change > 1e-12 && sweeps < 1000) {
        change = SorSweep(v, 1, 3).maxChange;
        ++sweeps;
    }
    EXPECT_LT(sweeps, 1000);
    for (int i = 1; i <= 2; ++i)
        for (int j = 1; j <= 6; ++j) EXPECT_NEAR(b.h[i][j], 10 - (j - 1), 1e-9) << i << " " << j;
    EXPECT_EQ(b.h[3][3], 42);
    EXPECT_NEAR(b.h[3][2], 10, 1e-9);
    EXPECT_NEAR(b.h[3][4], 5, 1e-9);
}

TEST(GwNumerics, ThreadedSweepOfIndependentCellsAddsTheSources) {
    // Large enough for a team of threads; without faces every cell only stores its inflow.
    const int n = 130;
    Band b(n, n, 0.0);
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) {
            b.st[i][j] = 0.2;
            b.q[i][j] = 1e-6 * (1 + (i + j) % 3);
            b.h[i][j] = b.h0[i][j] = b.hp[i][j] = 3;
            b.upd[static_cast<std::size_t>(i * (n + 2) + j)] = 1;
        }
    SorLayer v = b.View();
    v.adaptive = true;
    const SweepResult res = SorSweep(v, 1, n);
    EXPECT_EQ(res.factorCount, static_cast<std::int64_t>(n) * n);
    EXPECT_DOUBLE_EQ(res.factorSum, static_cast<double>(n) * n);
    // The heads stand above the top of the layer, so a change counts a fifth.
    EXPECT_NEAR(res.maxChange, 3e-6 * 3600 / 0.2 / 5, 1e-12);
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) ASSERT_NEAR(b.h[i][j], 3 + b.q[i][j] * 3600 / 0.2, 1e-12);
}

TEST(GwNumerics, PreparedCellTermsGiveTheHeadsOfThePlainSweepBitForBit) {
    // Irregular values everywhere: per-cell sizes, leakage from above and below, fixed inflows
    // and nodata, cells above and below the top, an isolated cell without storage, alpha < 1.
    // The terms are prepared by a team of threads; the sweeps run on one (their rows read the
    // rows other threads write, as the model's sweeps do).
    const int rows = 140, cols = 130;
    const std::int64_t oldThreshold = threadedCells;
    std::uint64_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(seed >> 11) / 9007199254740992.0;
    };
    for (const bool adaptive : {false, true}) {
        Band plain(rows, cols, 0.0);
        std::vector<std::vector<double>> dx(rows + 2, std::vector<double>(cols + 2, 1.0)), dy = dx, below = dx,
                                         above = dx;
        std::vector<double*> pdx, pdy, pbelow, pabove;
        for (int i = 1; i <= rows; ++i)
            for (int j = 1; j <= cols; ++j) {
                plain.h[i][j] = plain.h0[i][j] = plain.hp[i][j] = 10 + 3 * next();
                plain.h[i][j] += 0.1 * next();
                plain.top[i][j] = 11.5 + next();
                plain.st[i][j] = 0.01 + 0.2 * next();
                plain.tx[i][j] = j < cols ? 1e-3 * next() : 0;
                plain.ty[i][j] = i < rows ? 1e-3 * next() : 0;
                plain.q[i][j] = next() < 0.3 ? -9999 : 1e-6 * (next() - 0.5);
                dx[i][j] = 30 + 40 * next();
                dy[i][j] = 30 + 40 * next();
                below[i][j] = 1e-7 * (next() - 0.5);
                above[i][j] = 1e-7 * (next() - 0.5);
                plain.upd[static_cast<std::size_t>(i * (cols + 2) + j)] = next() < 0.9 ? 1 : 0;
            }
        plain.st[5][5] = plain.tx[5][5] = plain.tx[5][4] = plain.ty[5][5] = plain.ty[4][5] = 0;
        plain.upd[static_cast<std::size_t>(5 * (cols + 2) + 5)] = 1;
        Band prepared = plain;
        const double isolated = plain.h[5][5];
        auto rows_of = [](std::vector<std::vector<double>>& g, std::vector<double*>& p) {
            p.clear();
            for (auto& row : g) p.push_back(row.data());
            return p.data();
        };
        auto view = [&](Band& b) {
            SorLayer v = b.View();
            v.dx = rows_of(dx, pdx);
            v.dy = rows_of(dy, pdy);
            v.leakBelow = rows_of(below, pbelow);
            v.leakAbove = rows_of(above, pabove);
            v.alpha = 0.7;
            v.sor = 1.3;
            v.adaptive = adaptive;
            return v;
        };
        const SorLayer vp = view(plain);
        SorLayer vc = view(prepared);
        // Rows 1..rows in two bands, as two processes would hold them.
        std::vector<SorCell> top(static_cast<std::size_t>(70 * (cols + 2))), bottom(top.size());
        for (int sweep = 0; sweep < 6; ++sweep) {
            const SweepResult a1 = SorSweep(vp, 1, 70), a2 = SorSweep(vp, 71, rows);
            threadedCells = 256;
            PrepareSweeps(vc, 1, 70, top.data());
            PrepareSweeps(vc, 71, rows, bottom.data());
            threadedCells = oldThreshold;
            vc.cells = top.data();
            vc.cellsFirstRow = 1;
            const SweepResult b1 = SorSweep(vc, 1, 70);
            vc.cells = bottom.data();
            vc.cellsFirstRow = 71;
            const SweepResult b2 = SorSweep(vc, 71, rows);
            ASSERT_EQ(a1.maxChange, b1.maxChange);
            ASSERT_EQ(a2.maxChange, b2.maxChange);
            ASSERT_EQ(a1.factorSum + a2.factorSum, b1.factorSum + b2.factorSum);
            ASSERT_EQ(a1.factorCount + a2.factorCount, b1.factorCount + b2.factorCount);
        }
        int differing = 0;
        for (int i = 1; i <= rows; ++i)
            for (int j = 1; j <= cols; ++j)
                differing += std::memcmp(&plain.h[i][j], &prepared.h[i][j], sizeof(double)) != 0 ||
                             std::memcmp(&plain.hp[i][j], &prepared.hp[i][j], sizeof(double)) != 0;
        EXPECT_EQ(differing, 0) << "adaptive " << adaptive;
        EXPECT_EQ(prepared.h[5][5], isolated);
    }
}

// Irregular heads about the tops, storage (none in a share noStorage of the cells), faces (a
// share face of them transmissive), fixed inflows and nodata, and cells the sweep leaves alone.
template <class Next>
void FillVaried(Band& b, Next& next, double noStorage, double face) {
    for (int i = 1; i <= b.rows; ++i)
        for (int j = 1; j <= b.cols; ++j) {
            b.h[i][j] = b.h0[i][j] = b.hp[i][j] = 10 + 3 * next();
            b.h[i][j] += 0.1 * next();
            b.top[i][j] = 11.5 + next();
            b.st[i][j] = next() < noStorage ? 0.0 : 0.01 + 0.2 * next();
            b.tx[i][j] = j < b.cols && next() < face ? 1e-3 * next() : 0;
            b.ty[i][j] = i < b.rows && next() < face ? 1e-3 * next() : 0;
            b.q[i][j] = next() < 0.3 ? -9999 : 1e-6 * (next() - 0.5);
            b.upd[static_cast<std::size_t>(i * (b.cols + 2) + j)] = next() < 0.85 ? 1 : 0;
        }
}

// Sweeps rows 1..rows in two bands as two processes hold them (1..split, split + 1..rows) four
// times, plain and with the terms PrepareSweeps lays out (lanes, and with spans the updated
// columns of each row, the first band's into firstSpans): every sweep's largest change and
// factor sums must be the same bit for bit. Counts the bands swept both ways into swept.
void SweepBandsBothWays(const SorLayer& plain, SorLayer prepared, int rows, int split, bool spans, int& swept,
                        std::vector<RowSpan>* firstSpans = nullptr) {
    const int bands[2][2] = {{1, split}, {split + 1, rows}};
    const std::int64_t stride = prepared.ncols + 2;
    std::vector<SorCell> cells[2];
    std::vector<double> lanes[2];
    std::vector<RowSpan> rowSpans[2];
    for (int sweep = 0; sweep < 4; ++sweep)
        for (int k = 0; k < 2; ++k) {
            const int first = bands[k][0], last = bands[k][1];
            if (sweep == 0) {
                cells[k].resize(static_cast<std::size_t>((last - first + 1) * stride));
                lanes[k].resize(static_cast<std::size_t>(LaneTermsSize(first, last, stride)));
                rowSpans[k].resize(static_cast<std::size_t>(last - first + 1));
                PrepareSweeps(prepared, first, last, cells[k].data(), lanes[k].data(),
                              spans ? rowSpans[k].data() : nullptr);
            }
            prepared.cells = cells[k].data();
            prepared.lanes = lanes[k].data();
            prepared.spans = spans ? rowSpans[k].data() : nullptr;
            prepared.cellsFirstRow = first;
            const SweepResult a = SorSweep(plain, first, last), b = SorSweep(prepared, first, last);
            ASSERT_EQ(std::memcmp(&a.maxChange, &b.maxChange, sizeof(double)), 0) << "sweep " << sweep;
            ASSERT_EQ(std::memcmp(&a.factorSum, &b.factorSum, sizeof(double)), 0) << "sweep " << sweep;
            ASSERT_EQ(a.factorCount, b.factorCount);
            ++swept;
        }
    if (firstSpans != nullptr) *firstSpans = rowSpans[0];
}

// Cells of two bands whose heads or previous iterates differ in any bit.
int DifferingCells(const Band& a, const Band& b) {
    int differing = 0;
    for (int i = 1; i <= a.rows; ++i)
        for (int j = 1; j <= a.cols; ++j)
            differing += std::memcmp(&a.h[i][j], &b.h[i][j], sizeof(double)) != 0 ||
                         std::memcmp(&a.hp[i][j], &b.hp[i][j], sizeof(double)) != 0;
    return differing;
}

TEST(GwNumerics, RowsSweptInGroupsGiveTheHeadsOfTheRowSweepForAnyShape) {
    // One thread sweeps rows held one after the other in groups, each row a column behind the
    // row above; bands of any height and width (lower or narrower than a group) must give the
    // heads, previous iterates, largest change and factor sums of the row-by-row sweep bit for
    // bit.
    std::uint64_t seed = 777;
    auto next = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(seed >> 11) / 9007199254740992.0;
    };
    for (const int rows : {1, 3, 4, 5, 9, 13})
        for (const int cols : {1, 2, 3, 4, 7})
            for (const bool adaptive : {false, true}) {
                    Band rowwise(rows, cols, 0.0);
                    FillVaried(rowwise, next, 0.1, 1.0);
                    Band grouped = rowwise;
                    auto view = [&](Band& b) {
                        SorLayer v = b.View();
                        v.alpha = 0.6;
                        v.sor = 1.4;
                        v.adaptive = adaptive;
                        return v;
                    };
                    SorLayer vr = view(rowwise), vg = view(grouped);
                    std::vector<SorCell> cells(static_cast<std::size_t>(rows * (cols + 2)));
                    PrepareSweeps(vg, 1, rows, cells.data());
                    vg.cells = cells.data();
                    vg.cellsFirstRow = 1;
                    for (int sweep = 0; sweep < 4; ++sweep) {
                        const SweepResult a = SorSweep(vr, 1, rows), b = SorSweep(vg, 1, rows);
                        ASSERT_EQ(std::memcmp(&a.maxChange, &b.maxChange, sizeof(double)), 0);
                        ASSERT_EQ(std::memcmp(&a.factorSum, &b.factorSum, sizeof(double)), 0);
                        ASSERT_EQ(a.factorCount, b.factorCount);
                    }
                    int differing = 0;
                    for (int i = 1; i <= rows; ++i)
                        for (int j = 1; j <= cols; ++j)
                            differing += std::memcmp(&rowwise.h[i][j], &grouped.h[i][j], sizeof(double)) != 0 ||
                                         std::memcmp(&rowwise.hp[i][j], &grouped.hp[i][j], sizeof(double)) != 0;
                    ASSERT_EQ(differing, 0) << rows << " x " << cols << " adaptive " << adaptive;
                }
}

TEST(GwNumerics, RowGroupsInVectorRegistersGiveTheHeadsOfTheRowSweep) {
    // Bands as two processes hold them (the lower band's first group reads the halo row above),
    // heights with wide groups at the first and last row of the grid and in between, widths just
    // above and well above a group; cells the sweep leaves alone, cells without storage or faces
    // (no denominator), start heads above and below the top, fixed inflows; alpha 1 and below;
    // the plain, the fixed and the adaptive factor. Heads, previous iterates, largest changes
    // and factor sums equal the row-by-row sweep's bit for bit.
    std::uint64_t seed = 4242;
    auto next = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(seed >> 11) / 9007199254740992.0;
    };
    int swept = 0;
    for (const int rows : {17, 26, 41})
        for (const int cols : {10, 11, 23})
            for (const double alpha : {1.0, 0.6})
                for (const double sor : {1.0, 1.4, 0.0}) {
                    Band rowwise(rows, cols, 0.0);
                    FillVaried(rowwise, next, 0.05, 0.95);
                    Band grouped = rowwise;
                    auto view = [&](Band& b) {
                        SorLayer v = b.View();
                        v.alpha = alpha;
                        v.sor = sor;
                        v.adaptive = sor <= 0;
                        return v;
                    };
                    SweepBandsBothWays(view(rowwise), view(grouped), rows, rows / 2, false, swept);
                    ASSERT_FALSE(HasFatalFailure()) << rows << " x " << cols << " alpha " << alpha << " sor " << sor;
                    ASSERT_EQ(DifferingCells(rowwise, grouped), 0)
                        << rows << " x " << cols << " alpha " << alpha << " sor " << sor;
                }
    EXPECT_EQ(swept, 3 * 3 * 2 * 3 * 4 * 2);
}

TEST(GwNumerics, SweepsOverTheUpdatedColumnsOfEachRowGiveTheHeadsOfWholeRows) {
    // A basin as a big grid holds it: in each row the updated cells lie between margins of
    // cells the sweep leaves alone, of other widths from row to row (a row without any, rows of
    // one cell, whole rows), with holes. Swept over each row's span of updated columns, in
    // vector registers, cell by cell and by a team of threads, the heads, previous iterates,
    // largest changes and factor sums are those of the plain row sweep over whole rows.
    std::uint64_t seed = 99;
    auto next = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(seed >> 11) / 9007199254740992.0;
    };
    const std::int64_t oldThreshold = threadedCells;
    const int oldThreads = omp_get_max_threads();
    const int rows = 43, cols = 37;
    for (const double sor : {1.0, 1.3, 0.0})
        for (const int way : {0, 1, 2}) {  // vector registers, cell by cell, a team
            Band whole(rows, cols, 0.0);
            FillVaried(whole, next, 0.05, 0.95);
            for (int i = 1; i <= rows; ++i) {
                int from = 1 + static_cast<int>(next() * cols * 0.6), to = cols - static_cast<int>(next() * cols * 0.6);
                if (i == 7) from = cols + 1;               // no updated cell
                if (i == 19 || i == 20) from = to = 1 + i;  // one cell
                if (i == 30 || i == 31) from = 1, to = cols;
                for (int j = 1; j <= cols; ++j)
                    if (j < from || j > to) whole.upd[static_cast<std::size_t>(i * (cols + 2) + j)] = 0;
            }
            Band spanned = whole;
            auto view = [&](Band& b) {
                SorLayer v = b.View();
                v.alpha = 0.8;
                v.sor = sor;
                v.adaptive = sor <= 0;
                return v;
            };
            vectorSweeps = way == 0;
            threadedCells = way == 2 ? 64 : oldThreshold;
            omp_set_num_threads(way == 2 ? 3 : 1);
            std::vector<RowSpan> spans;
            int swept = 0;
            SweepBandsBothWays(view(whole), view(spanned), rows, 26, true, swept, &spans);
            vectorSweeps = true;
            threadedCells = oldThreshold;
            omp_set_num_threads(oldThreads);
            ASSERT_FALSE(HasFatalFailure()) << "way " << way << " sor " << sor;
            EXPECT_EQ(DifferingCells(whole, spanned), 0) << "way " << way << " sor " << sor;
            ASSERT_EQ(swept, 4 * 2);
            ASSERT_EQ(spans.size(), 26u);
            EXPECT_EQ(spans[6].first, 1);  // the row without updated cells: an empty span
            EXPECT_EQ(spans[6].last, 0);
        }
}

TEST(GwNumerics, ATeamSweepsEveryPlanOfRowGroupsAsTheRowSweep) {
    // The grid's first row alone, then a band from row 2 as the model sweeps it: wide groups in
    // vector registers, the band's last rows in the group of its last eight rows (three to seven
    // of them) or in narrow groups and single rows (fewer). Teams of two and three cut the band
    // into pieces of whole groups (the last rows with the rows their group shares) and the
    // columns into blocks narrower and wider than a group; heads, previous iterates,
    // largest changes and factor sums must be those of the plain row sweep bit for bit.
    std::uint64_t seed = 2024;
    auto next = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(seed >> 11) / 9007199254740992.0;
    };
    const std::int64_t oldThreshold = threadedCells;
    const int oldThreads = omp_get_max_threads();
    threadedCells = 16;
    for (const int rows : {21, 28, 32, 35})
        for (const int cols : {23, 61})
            for (const bool adaptive : {false, true})
                for (const int team : {2, 3}) {
                    Band rowwise(rows, cols, 0.0);
                    FillVaried(rowwise, next, 0.05, 0.95);
                    Band grouped = rowwise;
                    auto view = [&](Band& b) {
                        SorLayer v = b.View();
                        v.alpha = 0.7;
                        v.sor = 1.3;
                        v.adaptive = adaptive;
                        return v;
                    };
                    const SorLayer vr = view(rowwise);
                    SorLayer vg = view(grouped);
                    vg.bandFirst = 2;
                    const std::int64_t stride = cols + 2;
                    std::vector<SorCell> cells(static_cast<std::size_t>(rows * stride));
                    std::vector<double> lanes(static_cast<std::size_t>(LaneTermsSize(1, rows + kWideGroupRows, stride)));
                    std::vector<RowSpan> spans(static_cast<std::size_t>(rows));
                    omp_set_num_threads(team);
                    PrepareSweeps(vg, 1, 1, cells.data(), nullptr, spans.data());
                    PrepareSweeps(vg, 2, rows, cells.data() + stride, lanes.data() + LaneTermsSize(1, 1, stride),
                                  spans.data() + 1);
                    vg.cells = cells.data();
                    vg.lanes = lanes.data();
                    vg.spans = spans.data();
                    vg.cellsFirstRow = 1;
                    for (int sweep = 0; sweep < 3; ++sweep) {
                        const SweepResult a = SorSweep(vr, 1, rows);
                        const SweepResult b = SorSweep(vg, 2, rows, SorSweep(vg, 1, 1));
                        EXPECT_EQ(std::memcmp(&a.maxChange, &b.maxChange, sizeof(double)), 0);
                        EXPECT_EQ(std::memcmp(&a.factorSum, &b.factorSum, sizeof(double)), 0);
                        EXPECT_EQ(a.factorCount, b.factorCount);
                    }
                    omp_set_num_threads(oldThreads);
                    EXPECT_EQ(DifferingCells(rowwise, grouped), 0)
                        << rows << " x " << cols << " adaptive " << adaptive << " team " << team;
                }
    threadedCells = oldThreshold;
}

TEST(GwNumerics, ABandSweptInTwoPartsGivesTheSweepOfTheWholeBand) {
    // A process sweeps its upper rows while the halo rows below are on their way, then the rest:
    // the second part continues the first part's largest change and factor sums, so heads,
    // previous iterates, largest change and factor sums are those of one sweep of the band.
    std::uint64_t seed = 31;
    auto next = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(seed >> 11) / 9007199254740992.0;
    };
    const int rows = 30, cols = 25;
    for (const double sor : {1.2, 0.0})
        for (const int split : {kWideGroupRows, 2 * kWideGroupRows, rows - 1}) {
            Band one(rows, cols, 0.0);
            FillVaried(one, next, 0.05, 0.95);
            Band two = one;
            auto view = [&](Band& b, std::vector<SorCell>& cells, std::vector<double>& lanes) {
                SorLayer v = b.View();
                v.sor = sor;
                v.adaptive = sor <= 0;
                cells.resize(static_cast<std::size_t>(rows * (cols + 2)));
                lanes.resize(static_cast<std::size_t>(LaneTermsSize(1, rows, cols + 2)));
                PrepareSweeps(v, 1, rows, cells.data(), lanes.data());
                v.cells = cells.data();
                v.lanes = lanes.data();
                v.cellsFirstRow = 1;
                return v;
            };
            std::vector<SorCell> c1, c2;
            std::vector<double> l1, l2;
            const SorLayer v1 = view(one, c1, l1), v2 = view(two, c2, l2);
            for (int sweep = 0; sweep < 3; ++sweep) {
                const SweepResult a = SorSweep(v1, 1, rows);
                const SweepResult b = SorSweep(v2, split + 1, rows, SorSweep(v2, 1, split));
                ASSERT_EQ(std::memcmp(&a.maxChange, &b.maxChange, sizeof(double)), 0) << split;
                ASSERT_EQ(std::memcmp(&a.factorSum, &b.factorSum, sizeof(double)), 0) << split;
                ASSERT_EQ(a.factorCount, b.factorCount);
            }
            EXPECT_EQ(DifferingCells(one, two), 0) << "split " << split << " sor " << sor;
        }
}

TEST(GwNumerics, TheLastRowsOfABandInAGroupOfTheirOwnGiveTheHeadsOfTheRowSweep) {
    // A process's band of row groups from row 2 (the first row swept alone) ends in 0..7 rows
    // fewer than a wide group; from 3 on they go through the vector registers in the group of
    // the band's last 8 rows, the rows above them left alone. Swept in two calls cut at whole
    // groups (the halo split), the band gives the heads, previous iterates, largest changes and
    // factor sums of the plain row sweep bit for bit.
    std::uint64_t seed = 47;
    auto next = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(seed >> 11) / 9007199254740992.0;
    };
    const int rows = 40, cols = 21, first = 2;
    for (const double sor : {1.3, 0.0})
        for (int tail = 0; tail < kWideGroupRows; ++tail) {
            const int last = first + 3 * kWideGroupRows + tail - 1, split = first + 2 * kWideGroupRows - 1;
            Band plain(rows, cols, 0.0);
            FillVaried(plain, next, 0.05, 0.95);
            Band grouped = plain;
            SorLayer p = plain.View(), v = grouped.View();
            p.sor = v.sor = sor;
            p.adaptive = v.adaptive = sor <= 0;
            v.bandFirst = first;
            std::vector<SorCell> cells(static_cast<std::size_t>((last - first + 1) * (cols + 2)));
            std::vector<double> lanes(static_cast<std::size_t>(LaneTermsSize(first, last + kWideGroupRows, cols + 2)));
            PrepareSweeps(v, first, last, cells.data(), lanes.data());
            v.cells = cells.data();
            v.lanes = lanes.data();
            v.cellsFirstRow = first;
            for (int sweep = 0; sweep < 3; ++sweep) {
                const SweepResult a = SorSweep(p, first, last);
                const SweepResult b = SorSweep(v, split + 1, last, SorSweep(v, first, split));
                ASSERT_EQ(std::memcmp(&a.maxChange, &b.maxChange, sizeof(double)), 0) << tail;
                ASSERT_EQ(std::memcmp(&a.factorSum, &b.factorSum, sizeof(double)), 0) << tail;
                ASSERT_EQ(a.factorCount, b.factorCount);
            }
            EXPECT_EQ(DifferingCells(plain, grouped), 0) << "tail " << tail << " sor " << sor;
        }
}
