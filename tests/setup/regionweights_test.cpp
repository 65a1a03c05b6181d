// The region weight rows against a plain scan of every cell's neighbourhood: the rows skip the
// runs of cells that cannot change a cell's result, and must give the scan's values bit for bit
// for any region layout, nodata cells and transition distance, whole or in blocks of rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "setup/regionweights.hpp"

namespace {

constexpr double kNd = -9999;
constexpr int kRows = 40, kCols = 57;

struct Grids {
    memory_handling mh;
    Matrix w1, r2, w2, r3, w3;
    Grids() {
        for (Matrix* m : {&w1, &r2, &w2, &r3, &w3}) *m = mh.matrix(1, kRows, 1, kCols, kRows);
    }
    RegionWeightGrids View(Matrix* regions) { return {regions, &w1, &r2, &w2, &r3, &w3}; }
};

// Every cell's neighbourhood scanned cell by cell (the rule the rows follow).
void PlainScan(const Matrix& reg, const Matrix& zone, const std::vector<ColumnRange>& columns, double D,
               int regionCount, RegionWeightGrids& g) {
    const int reach = static_cast<int>(std::min(D, 1e6));
    for (int r = 1; r <= kRows; ++r) {
        for (int c = std::max(columns[static_cast<std::size_t>(r)].first, 1); c <= columns[static_cast<std::size_t>(r)].last; ++c) {
            if (zone[r][c] <= kNd) {
                for (Matrix* m : {g.weights1, g.regions2, g.weights2, g.regions3, g.weights3}) (*m)[r][c] = kNd;
                continue;
            }
            double w1 = D, w2 = D, w3 = D, r2 = 0, r3 = 0;
            int p2r = 0, p2c = 0, p3r = 0, p3c = 0;
            const double own = reg[r][c];
            for (int rr = std::max(1, r - reach); rr <= std::min(kRows, r + reach); ++rr) {
                const double dr = r - rr, h2 = D * D - dr * dr;
                const int h = h2 > 0 ? static_cast<int>(std::min(std::sqrt(h2), 1e6)) : 0;
                for (int cc = std::max(1, c - h); cc <= std::min(kCols, c + h); ++cc) {
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

bool SameBits(const Matrix& a, const Matrix& b) {
    for (int r = 1; r <= kRows; ++r)
        if (std::memcmp(a[r] + 1, b[r] + 1, sizeof(double) * kCols) != 0) return false;
    return true;
}

// Blobs of regions around random seeds (nearest seed), nodata holes, an irregular basin edge;
// with bands, the regions are bands of whole rows, some rows without a basin cell.
void Layout(std::mt19937& rng, int regions, bool bands, Matrix& reg, Matrix& zone, std::vector<ColumnRange>& columns) {
    std::uniform_int_distribution<int> row(1, kRows), col(1, kCols);
    std::vector<std::pair<int, int>> seeds;
    for (int k = 0; k < 2 * regions; ++k) seeds.emplace_back(row(rng), col(rng));
    columns.assign(kRows + 1, ColumnRange{0, -1});
    for (int r = 1; r <= kRows; ++r) {
        const int first = 1 + static_cast<int>(rng() % 6), last = kCols - static_cast<int>(rng() % 6);
        columns[static_cast<std::size_t>(r)] = {first, last};
        for (int c = 1; c <= kCols; ++c) {
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
