#include "setup/derivedgrids.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include <omp.h>

#include "kernel/hotloop.hpp"
#include "kernel/threading.hpp"

namespace {
constexpr double kDegrees = 57.29577951307855;

// A cell's size, the header cell size where the grid has none.
double SizeOr(const Matrix& m, int r, int c, double cs, double nodata) { return m[r][c] <= nodata ? cs : m[r][c]; }

// A row's coordinates before masking, accumulated from the cell sizes: x along the row from its
// first cell (sizes x of the row), y from the row below (sizes y of the row below). The x sums
// run one after the other; the y sums are apart, so they go several at a time.
TALVO_HOT_LOOP void AccumulatedRow(double* cx, double* cy, const double* cyBelow, const double* sizeX,
                                   const double* sizeYBelow, int ncols, double cs, double nodata) {
    for (int c = 1; c < ncols; ++c) cx[c + 1] = cx[c] + (sizeX[c] <= nodata ? cs : sizeX[c]);
    for (int c = 2; c <= ncols; ++c) cy[c] = cyBelow[c] + (sizeYBelow[c] <= nodata ? cs : sizeYBelow[c]);
}

// A row of cells of the mean size: size and area one on the valid cells, nodata elsewhere. Only
// comparisons and copies, so any build gives the same bits.
TALVO_HOT_LOOP void UnitCellRow(const double* z, double* x, double* y, double* a, int ncols, double size,
                                double nodata) {
    for (int c = 1; c <= ncols; ++c) {
        const bool valid = z[c] != nodata;
        x[c] = y[c] = valid ? size : nodata;
        a[c] = valid ? 1.0 : nodata;
    }
}

// Nodata where the zone is nodata, the other cells kept.
TALVO_HOT_LOOP void MaskRow(const double* zone, double* cx, double* cy, int ncols, double nodata) {
    for (int c = 1; c <= ncols; ++c) {
        const bool outside = zone[c] == nodata;
        cx[c] = outside ? nodata : cx[c];
        cy[c] = outside ? nodata : cy[c];
    }
}
}  // namespace

std::string DerivedFileName(const std::string& base, const std::string& suffix) {
    // Only a '.' of the file's own name starts an extension: one in a folder of the path does not.
    std::size_t dot = base.find_last_of('.');
    const std::size_t slash = base.find_last_of('/');
    if (dot != std::string::npos && slash != std::string::npos && dot < slash) dot = std::string::npos;
    return (dot == std::string::npos ? base : base.substr(0, dot)) + suffix;
}

void FillFromNeighbours(Matrix& g, int row, int col, int nrows, int ncols, double nodata) {
    double sum = 0;
    int n = 0;
    for (int r = row - 1; r <= row + 1; ++r) {
        if (r < 1 || r > nrows || !g.holds(r)) continue;
        for (int c = col - 1; c <= col + 1; ++c) {
            if (c < 1 || c > ncols || (r == row && c == col)) continue;
            if (g[r][c] != nodata) {
                sum += g[r][c];
                ++n;
            }
        }
    }
    if (n > 0) g[row][col] = sum / n;
}

CellSizeProblem DeriveCellSizes(const Matrix& zone, Matrix& X, Matrix& Y, Matrix& A, int lo, int hi, int ncols,
                                double cs, double nodata, const CellSizeSources& src) {
    if (src.unitArea && !src.xGiven && !src.yGiven) {
        // Nothing given: every valid cell is one mean cell, of the same size everywhere.
        const double size = std::sqrt(cs * cs * 1.0);
        // The first writes into the new grids: contiguous shares of rows (see WorthThreads).
#pragma omp parallel for schedule(static) if (WorthThreads(lo, hi, ncols))
        for (int r = lo; r <= hi; ++r) UnitCellRow(zone[r], X[r], Y[r], A[r], ncols, size, nodata);
        return CellSizeProblem{};
    }
    for (int r = lo; r <= hi; ++r) {
        for (int c = 1; c <= ncols; ++c) {
            if (zone[r][c] == nodata) {
                X[r][c] = Y[r][c] = A[r][c] = nodata;
                continue;
            }
            double& x = X[r][c];
            double& y = Y[r][c];
            double& a = A[r][c];
            if (src.unitArea) a = 1.0;
            if (!src.xGiven && !src.yGiven) {
                x = y = std::sqrt(cs * cs * a);
            } else if (!src.xGiven) {
                if (y == 0) return CellSizeProblem{1, r, c, x, y, a};
                x = a * cs * cs / y;
            } else {
                if (x == 0) return CellSizeProblem{2, r, c, x, y, a};
                if (src.yGiven) {
                    const double derived = x * y / (cs * cs);
                    if (!src.areaGiven) {
                        a = derived;
                    } else if (std::fabs(a - derived) > 1e-05) {
                        return CellSizeProblem{3, r, c, x, y, a};
                    }
                } else {
                    y = a * cs * cs / x;
                }
            }
        }
    }
    return CellSizeProblem{};
}

void AccumulateCoordinates(const Matrix* X, const Matrix* Y, Matrix& cx, Matrix& cy, int lo, int hi, int nrows,
                           int ncols, double xll, double yll, double cs, double nodata,
                           const std::vector<ColumnRange>* columns, bool accumulate, const Matrix* zone,
                           const std::vector<char>* unmasked) {
    for (int c = 1; c <= ncols; ++c) {
        cx[hi][c] = xll + (c - 1) * cs;
        cy[hi][c] = yll + (nrows - hi) * cs;
    }
    if (accumulate && X && Y) {
        // Only up to the last column: the next cell of column ncols does not exist.
        const int first = columns ? std::max(1, (*columns)[static_cast<std::size_t>(hi)].first) : 1;
        for (int c = first; c < ncols; ++c) cx[hi][c + 1] = cx[hi][c] + SizeOr(*X, hi, c, cs, nodata);
    }
    CoordinatesAboveRow(X, Y, cx, cy, lo, hi, nrows, ncols, xll, yll, cs, nodata, accumulate, zone, unmasked);
}

void CoordinatesAboveRow(const Matrix* X, const Matrix* Y, Matrix& cx, Matrix& cy, int lo, int below, int nrows,
                         int ncols, double xll, double yll, double cs, double nodata, bool accumulate,
                         const Matrix* zone, const std::vector<char>* unmasked) {
    const bool sum = accumulate && X && Y;
    auto mask = [&](int r) {
        if (zone && !(unmasked && (*unmasked)[static_cast<std::size_t>(r)]))
            MaskCoordinates(*zone, cx, cy, r, r, ncols, nodata);
    };
    for (int r = below - 1; r >= lo; --r) {
        cy[r][1] = yll + (nrows - r) * cs;
        if (sum) {
            cx[r][1] = xll;
            AccumulatedRow(cx[r], cy[r], cy[r + 1], (*X)[r], (*Y)[r + 1], ncols, cs, nodata);
        } else {
            for (int c = 1; c <= ncols; ++c) {
                cx[r][c] = xll + (c - 1) * cs;
                cy[r][c] = yll + (nrows - r) * cs;
            }
        }
        // The row below has given its y coordinates to this one: it may be masked now.
        mask(r + 1);
    }
    if (lo <= below) mask(lo);
}

void MaskCoordinates(const Matrix& zone, Matrix& cx, Matrix& cy, int lo, int hi, int ncols, double nodata) {
    for (int r = lo; r <= hi; ++r) MaskRow(zone[r], cx[r], cy[r], ncols, nodata);
}

namespace {
// Fills the gaps of row r of each grid from the neighbours: at the columns noted (count of
// them), or at every column when columns is null. A gap is a nodata value at a valid elevation.
void FillRowGaps(const Matrix& e, Matrix* slope, Matrix* aspect, int r, const int* columns, int count, int nrows,
                 int ncols, double nodata) {
    const double* z = e[r];
    for (Matrix* m : {slope, aspect}) {
        if (!m) continue;
        const double* row = (*m)[r];
        if (!columns) {
            for (int c = 1; c <= ncols; ++c)
                if (z[c] != nodata && row[c] == nodata) FillFromNeighbours(*m, r, c, nrows, ncols, nodata);
            continue;
        }
        for (int k = 0; k < count; ++k) {
            const int c = columns[k];
            if (z[c] != nodata && row[c] == nodata) FillFromNeighbours(*m, r, c, nrows, ncols, nodata);
        }
    }
}

void FirstAndLastRowsNodata(Matrix* slope, Matrix* aspect, int nrows, int ncols, double nodata) {
    for (Matrix* m : {slope, aspect}) {
        if (!m) continue;
        for (int c = 0; c <= ncols; ++c) (*m)[1][c] = (*m)[nrows][c] = nodata;
    }
}
}  // namespace

int SlopeAspectRow(const double* above, const double* here, const double* below, double* sl, double* as, int ncols,
                   double cs, double nodata, int* columns) {
    // A computed slope (0 to 90 degrees) or aspect (0 to 360) can equal nodata only when nodata
    // lies in that range (with room for rounding); otherwise a cell with its four neighbours is
    // never a gap.
    const bool computable = nodata >= -1 && nodata <= 361;
    const double d = 2 * cs;
    if (sl) sl[1] = sl[ncols] = nodata;
    if (as) as[1] = as[ncols] = nodata;
    int count = 0;
    columns[count] = 1;
    count += here[1] != nodata ? 1 : 0;
    for (int c = 2; c < ncols; ++c) {
        const double N = above[c], S = below[c], W = here[c - 1], E = here[c + 1];
        double s = nodata, a = nodata;
        columns[count] = c;
        if (N != nodata && S != nodata && W != nodata && E != nodata) {
            const double dx = (E - W) / d, dy = (N - S) / d;
            s = (dx == 0 && dy == 0) ? 0 : std::atan(std::sqrt(dx * dx + dy * dy)) * kDegrees;
            if (dx == 0)
                a = dy > 0 ? 180 : 0;
            else
                a = 180 - std::atan(dy / dx) * kDegrees + 90 * (dx / std::fabs(dx));
            if (computable) count += (here[c] != nodata && (s == nodata || a == nodata)) ? 1 : 0;
        } else {
            count += here[c] != nodata ? 1 : 0;
        }
        if (sl) sl[c] = s;
        if (as) as[c] = a;
    }
    if (ncols > 1) {
        columns[count] = ncols;
        count += here[ncols] != nodata ? 1 : 0;
    }
    return count;
}

void ComputeSlopeAspect(const Matrix& e, Matrix* slope, Matrix* aspect, int nrows, int ncols, double cs,
                        double nodata) {
    if (nrows >= 3 && omp_get_max_threads() > 1 && WorthThreads(2, nrows - 1, ncols)) {
        // Every row computed from the elevation alone by a team of threads, each noting its
        // columns that may hold a gap; the gaps then filled in row order as below.
        const std::size_t stride = static_cast<std::size_t>(ncols) + 1;
        std::vector<int> columns(static_cast<std::size_t>(nrows) * stride), counts(static_cast<std::size_t>(nrows));
#pragma omp parallel for schedule(runtime)
        for (int r = 2; r < nrows; ++r)
            counts[static_cast<std::size_t>(r)] =
                SlopeAspectRow(e[r - 1], e[r], e[r + 1], slope ? (*slope)[r] : nullptr, aspect ? (*aspect)[r] : nullptr,
                               ncols, cs, nodata, columns.data() + static_cast<std::size_t>(r) * stride);
        std::vector<int> noted;
        for (int r = 2; r < nrows; ++r) {
            const int* listed = columns.data() + static_cast<std::size_t>(r) * stride;
            noted.push_back(counts[static_cast<std::size_t>(r)]);
            noted.insert(noted.end(), listed, listed + counts[static_cast<std::size_t>(r)]);
        }
        FillSlopeAspectGaps(e, slope, aspect, nrows, ncols, nodata, noted);
        return;
    }
    FirstAndLastRowsNodata(slope, aspect, nrows, ncols, nodata);
    // Gaps are filled in row order from the neighbours, filled ones included; a row is filled
    // as soon as the row below it is computed, while the three rows are in the cache. Filling a
    // cell changes that cell only, so the gaps of a row are those it has as computed: the
    // computation notes the columns that may hold one (each column that does, in order), and
    // the filling visits those alone. The first and last row, which are nodata throughout, are
    // looked through whole.
    // The noted columns of the row being computed and of the row above it.
    std::vector<int> noted(2 * (static_cast<std::size_t>(std::max(ncols, 0)) + 1));
    int* hereColumns = noted.data();
    int* aboveColumns = noted.data() + ncols + 1;
    int aboveCount = 0;
    int filled = 0;
    for (int r = 2; r < nrows; ++r) {
        const int count = SlopeAspectRow(e[r - 1], e[r], e[r + 1], slope ? (*slope)[r] : nullptr,
                                         aspect ? (*aspect)[r] : nullptr, ncols, cs, nodata, hereColumns);
        if (r == 2)
            FillRowGaps(e, slope, aspect, 1, nullptr, 0, nrows, ncols, nodata);
        else
            FillRowGaps(e, slope, aspect, r - 1, aboveColumns, aboveCount, nrows, ncols, nodata);
        filled = r - 1;
        std::swap(hereColumns, aboveColumns);
        aboveCount = count;
    }
    for (int r = filled + 1; r <= nrows; ++r) {
        if (r == filled + 1 && r > 1 && r < nrows)
            FillRowGaps(e, slope, aspect, r, aboveColumns, aboveCount, nrows, ncols, nodata);
        else
            FillRowGaps(e, slope, aspect, r, nullptr, 0, nrows, ncols, nodata);
    }
}

void FillSlopeAspectGaps(const Matrix& e, Matrix* slope, Matrix* aspect, int nrows, int ncols, double nodata,
                         const std::vector<int>& noted) {
    FirstAndLastRowsNodata(slope, aspect, nrows, ncols, nodata);
    // The same filling in row order as ComputeSlopeAspect's once every row is computed: a
    // row's filling reads the rows above it filled and the row below it as computed either way.
    std::size_t at = 0;
    for (int r = 1; r <= nrows; ++r) {
        if (r > 1 && r < nrows && at < noted.size()) {
            const int count = noted[at];
            FillRowGaps(e, slope, aspect, r, noted.data() + at + 1, count, nrows, ncols, nodata);
            at += 1 + static_cast<std::size_t>(count);
        } else {
            FillRowGaps(e, slope, aspect, r, nullptr, 0, nrows, ncols, nodata);
        }
    }
}
