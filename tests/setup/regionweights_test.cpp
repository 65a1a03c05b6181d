// The region weight rows against a plain scan of every cell's neighbourhood: the rows find the
// nearest cells of other regions by a distance transform, search only where that does not settle
// a cell and skip the runs of cells that cannot change its result, and must give the scan's
// values bit for bit for any region layout, nodata cells, ties and transition distance, whole or
// in blocks of rows, on one thread or several.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "setup/regionweights.hpp"
#include "support/test_support.hpp"

namespace {

constexpr double kNd = -9999;
constexpr int kRows = 40, kCols = 57;

struct Grids {
    memory_handling mh;
    Matrix w1, r2, w2, r3, w3;
    explicit Grids(int rows = kRows, int cols = kCols) {
        for (Matrix* m : {&w1, &r2, &w2, &r3, &w3}) *m = mh.matrix(1, rows, 1, cols, rows);
    }
    RegionWeightGrids View(Matrix* regions) { return {regions, &w1, &r2, &w2, &r3, &w3}; }
};

// Every cell's neighbourhood scanned cell by cell (the rule the rows follow).
void PlainScan(const Matrix& reg, const Matrix& zone, const std::vector<ColumnRange>& columns, double D,
               int regionCount, RegionWeightGrids& g, int rows = kRows, int cols = kCols) {
    const int reach = static_cast<int>(std::min(D, 1e6));
    for (int r = 1; r <= rows; ++r) {
        for (int c = std::max(columns[static_cast<std::size_t>(r)].first, 1); c <= columns[static_cast<std::size_t>(r)].last; ++c) {
            if (zone[r][c] <= kNd) {
                for (Matrix* m : {g.weights1, g.regions2, g.weights2, g.regions3, g.weights3}) (*m)[r][c] = kNd;
                continue;
            }
            double w1 = D, w2 = D, w3 = D, r2 = 0, r3 = 0;
            int p2r = 0, p2c = 0, p3r = 0, p3c = 0;
            const double own = reg[r][c];
            for (int rr = std::max(1, r - reach); rr <= std::min(rows, r + reach); ++rr) {
                const double dr = r - rr, h2 = D * D - dr * dr;
                const int h = h2 > 0 ? static_cast<int>(std::min(std::sqrt(h2), 1e6)) : 0;
                for (int cc = std::max(1, c - h); cc <= std::min(cols, c + h); ++cc) {
                    const double v = reg[rr][cc];
                    if (v == own || !(v > kNd)) continue;
                    const double dist = std::trunc(std::sqrt(double(c - cc) * (c - cc) + dr * dr));
                    if (r2 == 0) r2 = v;
                    if (v == r2) {
                        if (w1 >= dist) w1 = w2 = dist, p2r = rr, p2c = cc;
                    } else {
                        if (r3 == 0) r3 = v;
                        if (v == r3) {
                            if (w3 >= dist) w3 = dist, p3r = rr, p3c = cc;
                        } else if (w3 > w2 && w3 > dist) {
                            r3 = v, w3 = dist, p3r = rr, p3c = cc;
                        } else if (w2 > dist) {
                            r2 = v, w2 = dist, p2r = rr, p2c = cc;
                        }
                    }
                }
            }
            const double t = std::min(w1 / (2 * D) + 0.5, 1.0);
            if (regionCount <= 1) {
                w1 = 1;
            } else if (regionCount == 2) {
                w1 = t;
                w2 = 1 - w1;
            } else if (r3 <= 0) {
                w1 = t;
                w2 = r2 > 0 ? 1 - w1 : 0;
                w3 = 0;
            } else {
                const double d2 = std::hypot(double(r - p2r), double(c - p2c));
                const double d3 = std::hypot(double(r - p3r), double(c - p3c));
                double a = D - std::min(d2, d3), b = D + d2, e = D + d3;
                auto inverse = [](double& x) { return x <= 0 ? (x = 1, 1.0) : 1.0 / x; };
                double A1 = inverse(a), A2 = inverse(b), A3 = inverse(e);
                const double f = (0.9 - 0.5 * std::cos(std::min({a, b, e}) / D * 1.5707963)) / (2 * D);
                A1 = std::max(A1 - f, 0.0), A2 = std::max(A2 - f, 0.0), A3 = std::max(A3 - f, 0.0);
                const double s = A1 + A2 + A3;
                w1 = s > 0 ? A1 / s : 1.0;
                w2 = s > 0 ? A2 / s : 0.0;
                if (w1 + w2 > 1) w2 = 1 - w1;
                w3 = 1 - w1 - w2;
            }
            (*g.weights1)[r][c] = w1;
            (*g.regions2)[r][c] = r2;
            (*g.weights2)[r][c] = w2;
            (*g.regions3)[r][c] = r3;
            (*g.weights3)[r][c] = w3;
        }
    }
}

bool SameBits(const Matrix& a, const Matrix& b, int rows = kRows, int cols = kCols) {
    for (int r = 1; r <= rows; ++r)
        if (std::memcmp(a[r] + 1, b[r] + 1, sizeof(double) * cols) != 0) return false;
    return true;
}

// Blobs of regions around random seeds (nearest seed), nodata holes, an irregular basin edge;
// with bands, the regions are bands of whole rows, some rows without a basin cell.
void Layout(std::mt19937& rng, int regions, bool bands, Matrix& reg, Matrix& zone, std::vector<ColumnRange>& columns,
            int rows = kRows, int cols = kCols) {
    std::uniform_int_distribution<int> row(1, rows), col(1, cols);
    std::vector<std::pair<int, int>> seeds;
    for (int k = 0; k < 2 * regions; ++k) seeds.emplace_back(row(rng), col(rng));
    columns.assign(rows + 1, ColumnRange{0, -1});
    for (int r = 1; r <= rows; ++r) {
        const int first = 1 + static_cast<int>(rng() % 6), last = cols - static_cast<int>(rng() % 6);
        columns[static_cast<std::size_t>(r)] = {first, last};
        for (int c = 1; c <= cols; ++c) {
            std::size_t best = 0;
            for (std::size_t k = 1; k < seeds.size(); ++k)
                if (std::hypot(r - seeds[k].first, c - seeds[k].second) < std::hypot(r - seeds[best].first, c - seeds[best].second))
                    best = k;
            const bool inside = c >= first && c <= last && rng() % 23 != 0 && !(bands && r % 7 == 3);
            const std::size_t region = bands ? static_cast<std::size_t>(r / 9) : best;
            zone[r][c] = inside ? 1.0 : kNd;
            reg[r][c] = inside ? 3.0 + static_cast<double>(region % static_cast<std::size_t>(regions)) * 2 : kNd;
        }
    }
}

// The rows computed whole and in blocks of 7 rows give the plain scan's grids bit for bit.
void ExpectThePlainScan(Matrix& reg, const Matrix& zone, const std::vector<ColumnRange>& columns, double D, int regions,
                        const std::string& what) {
    Grids plain, rows, blocks;
    RegionWeightGrids pv = plain.View(&reg), rv = rows.View(&reg), bv = blocks.View(&reg);
    PlainScan(reg, zone, columns, D, regions, pv);
    RegionWeightRows(reg, zone, columns, 1, kRows, kRows, kCols, D, regions, kNd, rv);
    for (int lo = 1; lo <= kRows; lo += 7) RegionWeightRows(reg, zone, columns, lo, std::min(kRows, lo + 6), kRows, kCols, D, regions, kNd, bv);
    const char* names[] = {"weights1", "regions2", "weights2", "regions3", "weights3"};
    int k = 0;
    for (Matrix Grids::*m : {&Grids::w1, &Grids::r2, &Grids::w2, &Grids::r3, &Grids::w3}) {
        EXPECT_TRUE(SameBits(rows.*m, plain.*m)) << names[k] << ": " << what << ", " << regions << " regions, D " << D;
        EXPECT_TRUE(SameBits(blocks.*m, plain.*m)) << names[k] << " in blocks: " << what << ", " << regions << " regions, D " << D;
        ++k;
    }
}

// Layouts where many cells lie at equal distances from cells of other regions: single cells of
// other regions on a square lattice over one region, bands along both diagonals, square blocks,
// two lone cells of other regions side by side (every cell of the circle around them is the
// nearest); "signed" puts a lattice of the codes -3, 2.5 and 7 over columns of 0 and -0 in turn
// (the scan counts 0 as "no region yet", so every 0 or -0 it meets becomes the second region).
enum class Tie { kLattice, kDiagonal, kBlocks, kLone, kSigned };

void TieLayout(Tie kind, int regions, int spacing, Matrix& reg, Matrix& zone, std::vector<ColumnRange>& columns) {
    const double signedCodes[] = {-3.0, 2.5, 7.0};
    auto code = [&](int i, int c) {
        if (kind != Tie::kSigned) return 3.0 + 2.0 * (i % regions);
        return i == 0 ? (c % 2 ? -0.0 : 0.0) : signedCodes[(i - 1) % 3];
    };
    columns.assign(kRows + 1, ColumnRange{1, kCols});
    for (int r = 1; r <= kRows; ++r) {
        for (int c = 1; c <= kCols; ++c) {
            int i = 0;
            switch (kind) {
                case Tie::kLattice:
                case Tie::kSigned:
                    i = r % spacing == 0 && c % spacing == 0 ? 1 + (r / spacing + 2 * (c / spacing)) % std::max(regions - 1, 1) : 0;
                    break;
                case Tie::kDiagonal: i = (r + c) / spacing + (r - c + kCols) / spacing; break;
                case Tie::kBlocks: i = (r - 1) / spacing + (c - 1) / spacing; break;
                case Tie::kLone:
                    i = r == kRows / 2 && (c == kCols / 2 || c == kCols / 2 + spacing) ? 1 + (c - kCols / 2) / spacing : 0;
                    break;
            }
            zone[r][c] = 1.0;
            reg[r][c] = code(i, c);
        }
    }
}

TEST(RegionWeightRows, EqualThePlainScanWhereDistancesTie) {
    memory_handling mh;
    // Whole and fractional distances, two whose rounded circle is uneven (some cells at the
    // squared distance 305, or 401, are inside and some outside), and one beyond the grid rows
    // (three regions only: the plain scan of so wide a circle is slow).
    for (double D : {1.5, 3.0, 5.0, 10.0, 17.464249196572979, 20.024984394500784, 45.0}) {
        for (Tie kind : {Tie::kLattice, Tie::kDiagonal, Tie::kBlocks, Tie::kLone, Tie::kSigned}) {
            for (int regions : {2, 3, 5}) {
                if (D > kRows && regions != 3) continue;
                for (int spacing : {3, 7}) {
                    if (D > 10 && spacing < 7) continue;  // the scans of wide circles are slow
                    Matrix reg = mh.matrix(1, kRows, 1, kCols, kRows), zone = mh.matrix(1, kRows, 1, kCols, kRows);
                    std::vector<ColumnRange> columns;
                    TieLayout(kind, regions, spacing, reg, zone, columns);
                    ExpectThePlainScan(reg, zone, columns, D, regions,
                                       "layout " + std::to_string(static_cast<int>(kind)) + ", spacing " + std::to_string(spacing));
                }
            }
        }
    }
}

// A grid big enough for its rows to be shared among threads: the plain scan's grids with one
// thread and with several.
TEST(RegionWeightRows, EqualThePlainScanOnSeveralThreads) {
    constexpr int rows = 120, cols = 90;
    constexpr double D = 9.5;
    std::mt19937 rng(7);
    memory_handling mh;
    const int saved = omp_get_max_threads();
    for (int regions : {2, 3}) {
        Matrix reg = mh.matrix(1, rows, 1, cols, rows), zone = mh.matrix(1, rows, 1, cols, rows);
        std::vector<ColumnRange> columns;
        Layout(rng, regions, false, reg, zone, columns, rows, cols);
        Grids plain(rows, cols);
        RegionWeightGrids pv = plain.View(&reg);
        PlainScan(reg, zone, columns, D, regions, pv, rows, cols);
        for (int threads : {1, std::max(2, 8 / talvo_test::Size())}) {
            omp_set_num_threads(threads);
            Grids computed(rows, cols);
            RegionWeightGrids cv = computed.View(&reg);
            RegionWeightRows(reg, zone, columns, 1, rows, rows, cols, D, regions, kNd, cv);
            for (Matrix Grids::*m : {&Grids::w1, &Grids::r2, &Grids::w2, &Grids::r3, &Grids::w3})
                EXPECT_TRUE(SameBits(computed.*m, plain.*m, rows, cols)) << regions << " regions, " << threads << " threads";
        }
    }
    omp_set_num_threads(saved);
}

// Runs of equal codes of random lengths, the rows cut anywhere: zeros of both signs mixed
// within a run (equal, but two values by their bits), cells that are not a number, nodata;
// rows of one code but for cells outside the zone, or for cells without a region inside it.
TEST(RegionWeightRows, EqualThePlainScanOverRunsOfMixedZerosAndNotANumber) {
    std::mt19937 rng(4711);
    memory_handling mh;
    const double codes[] = {0.0, 4.0, 6.0, std::nan(""), kNd, 6.0};
    for (bool zoneEverywhere : {false, true}) {
        for (double D : {2.5, 6.0, 13.7}) {
            Matrix reg = mh.matrix(1, kRows, 1, kCols, kRows), zone = mh.matrix(1, kRows, 1, kCols, kRows);
            std::vector<ColumnRange> columns(kRows + 1, ColumnRange{1, kCols});
            for (int r = 1; r <= kRows; ++r) {
                const bool oneCode = r % 4 == 1 || (r > kRows / 2 && r % 4 == 2);
                for (int c = 1; c <= kCols;) {
                    const double code = oneCode ? (r % 8 == 1 ? 4.0 : 6.0) : codes[rng() % 6];
                    const int length = 1 + static_cast<int>(rng() % (r % 3 == 0 ? 40 : 12));
                    for (int k = 0; k < length && c <= kCols; ++k, ++c) {
                        reg[r][c] = code == 0.0 && rng() % 3 == 0 ? -0.0 : code;
                        if (oneCode && rng() % 9 == 0) reg[r][c] = kNd;
                        zone[r][c] = reg[r][c] == kNd && !zoneEverywhere ? kNd : 1.0;
                    }
                }
            }
            for (int regions : {2, 3})
                ExpectThePlainScan(reg, zone, columns, D, regions,
                                   zoneEverywhere ? "runs, zone everywhere" : "runs of mixed zeros");
        }
    }
}

TEST(RegionWeightRows, EqualThePlainScanForAnyLayoutAndDistance) {
    std::mt19937 rng(20261207);
    memory_handling mh;
    for (int regions : {1, 2, 3, 5}) {
        for (double D : {0.001, 2.5, 7.0, 13.7, 1e12}) {
          for (bool bands : {false, true}) {
            Matrix reg = mh.matrix(1, kRows, 1, kCols, kRows), zone = mh.matrix(1, kRows, 1, kCols, kRows);
            std::vector<ColumnRange> columns;
            Layout(rng, regions, bands, reg, zone, columns);
            Grids plain, rows, blocks;
            RegionWeightGrids pv = plain.View(&reg), rv = rows.View(&reg), bv = blocks.View(&reg);
            PlainScan(reg, zone, columns, D, regions, pv);
            RegionWeightRows(reg, zone, columns, 1, kRows, kRows, kCols, D, regions, kNd, rv);
            for (int lo = 1; lo <= kRows; lo += 7) RegionWeightRows(reg, zone, columns, lo, std::min(kRows, lo + 6), kRows, kCols, D, regions, kNd, bv);
            for (Matrix Grids::*m : {&Grids::w1, &Grids::r2, &Grids::w2, &Grids::r3, &Grids::w3}) {
                EXPECT_TRUE(SameBits(rows.*m, plain.*m)) << regions << " regions, D " << D;
                EXPECT_TRUE(SameBits(rows.*m, blocks.*m)) << regions << " regions, D " << D;
            }
          }
        }
    }
}

}  // namespace
