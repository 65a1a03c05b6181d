#include "kernel/tsplines.hpp"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <new>
#include <numbers>
#include <omp.h>
#include <stdexcept>

#include "kernel/error.hpp"

namespace {
// Slopes above this give natural ends; every caller in the model passes 1.0e30.
constexpr double kNaturalEnd = 1.0e30;
// More raster cells or work entries than this cannot be meant.
constexpr double kMaxEntries = 2.0e9;

double ValueAt(const Matrix& m, int r, int c, double missing) {
    return m.holds(r) && c <= m.ncols() ? m[r][c] : missing;
}
}  // namespace

void TSplines::Work::Resize(std::size_t n) {
    x.assign(n, 0.0);
    y.assign(n, 0.0);
    y2.assign(n, 0.0);
    u.assign(n, 0.0);
}

const std::string& TSplines::MemoryOwnerName() const {
    static const std::string name("TSplines");
    return name;
}

template <class T>
void TSplines::Allocate(std::vector<T>& v, double count, T value, int number) {
    if (!(count >= 0) || count > kMaxEntries) MemoryError(number);
    try {
        v.assign(static_cast<std::size_t>(count), value);
    } catch (const std::bad_alloc&) {
        MemoryError(number);
    } catch (const std::length_error&) {
        MemoryError(number);
    }
}

TSplines::TSplines(const SplineSetup& s)
    : sourceRows_(std::max(s.sourceRows, 0)),
      sourceCols_(std::max(s.sourceCols, 0)),
      dx_(s.dx),
      dy_(s.dy),
      modelRows_(s.modelRows),
      modelCols_(s.modelCols),
      coordX_(s.coordX),
      coordY_(s.coordY),
      mask_(s.mask),
      nodata_(s.nodata),
      fill_(s.fill),
      extend_(s.extend),
      centreX_(s.centreX),
      centreY_(s.centreY),
      angle_(s.angle) {
    memLog_ = s.log;
    // Fill values written by one stage must never pass as data in the next, whatever the
    // order of nodata and fill value.
    validFrom_ = std::max(nodata_, fill_);
    invalid_ = std::min(nodata_, fill_) - 1.0;
    RotatePoint(s.referenceX, s.referenceY, &refX_, &refY_, angle_);

    const int R = sourceRows_, C = sourceCols_;
    const double points = (static_cast<double>(R) + 1) * (static_cast<double>(C) + 1);
    Allocate(srcX_, points, 0.0, 1);
    Allocate(srcY_, points, 0.0, 2);
    Allocate(srcY2_, points, fill_, 3);
    for (int r = 1; r <= R; ++r) {
        for (int c = 1; c <= C; ++c) {
            const std::size_t i = static_cast<std::size_t>(r) * (C + 1) + c;
            double x = s.sourceX ? ValueAt(*s.sourceX, r, c, nodata_) : nodata_;
            double y = s.sourceY ? ValueAt(*s.sourceY, r, c, nodata_) : nodata_;
            // A missing coordinate continues the regular grid from the reference point, which
            // is the south-western source point (row R, column 1).
            if (!(x > nodata_)) x = refX_ + (c - 1) * dx_;
            if (!(y > nodata_)) y = refY_ + (R - r) * dy_;
            srcX_[i] = x;
            srcY_[i] = y;
        }
    }

    // Columns from south to north as the raster interpolation walks them; index R + 1 is the
    // point one spacing north of row 1.
    colStride_ = static_cast<std::size_t>(R) + 2;
    const double colEntries = (static_cast<double>(C) + 1) * static_cast<double>(colStride_);
    Allocate(colAbsY_, colEntries, 0.0, 4);
    Allocate(colAbsX_, colEntries, 0.0, 5);
    Allocate(colValue_, colEntries, invalid_, 6);
    Allocate(colY2_, colEntries, invalid_, 7);
    for (int c = 1; c <= C && R >= 1; ++c) {
        for (int k = 1; k <= R; ++k) {
            const std::size_t i = static_cast<std::size_t>(R + 1 - k) * (C + 1) + c;
            colAbsY_[Slot(c, k)] = srcY_[i];
            colAbsX_[Slot(c, k)] = srcX_[i];
        }
        colAbsY_[Slot(c, R + 1)] = colAbsY_[Slot(c, R)] + dy_;
        colAbsX_[Slot(c, R + 1)] = colAbsX_[Slot(c, R)];
    }

    // Bounding coordinates: x over the first and last column, y over the last and first row.
    if (R >= 1 && C >= 1) {
        xMin_ = xMax_ = srcX_[static_cast<std::size_t>(1) * (C + 1) + 1];
        yMin_ = srcY_[static_cast<std::size_t>(R) * (C + 1) + 1];
        yMax_ = srcY_[static_cast<std::size_t>(1) * (C + 1) + 1];
        xMax_ = srcX_[static_cast<std::size_t>(1) * (C + 1) + C];
        for (int r = 1; r <= R; ++r) {
            xMin_ = std::min(xMin_, srcX_[static_cast<std::size_t>(r) * (C + 1) + 1]);
            xMax_ = std::max(xMax_, srcX_[static_cast<std::size_t>(r) * (C + 1) + C]);
        }
        for (int c = 1; c <= C; ++c) {
            yMin_ = std::min(yMin_, srcY_[static_cast<std::size_t>(R) * (C + 1) + c]);
            yMax_ = std::max(yMax_, srcY_[static_cast<std::size_t>(1) * (C + 1) + c]);
        }
    }
    rasterCell_ = s.cellsize / std::max(s.refinement, 1);
    if (R >= 1 && C >= 1 && rasterCell_ > 0) {
        const double rows = std::floor((yMax_ - yMin_) / rasterCell_ + 0.49999) + 1;
        const double cols = std::floor((xMax_ - xMin_) / rasterCell_ + 0.49999) + 1;
        if (!(rows >= 1 && cols >= 1 && rows * cols <= kMaxEntries)) MemoryError(8);
        rasterRows_ = static_cast<int>(rows);
        rasterCols_ = static_cast<int>(cols);
    }

    MarkModelCells();
    ComputeWindow();

    const double winRows = std::max(winRow2_ - winRow1_ + 1, 0);
    const double winCols = std::max(winCol2_ - winCol1_ + 1, 0);
    Allocate(rowValue_, winRows * (C + 1), fill_, 10);
    Allocate(rowX_, winRows * (C + 1), 0.0, 11);
    Allocate(raster_, winRows * winCols, fill_, 12);
    work_.resize(1);
    work_[0].Resize(static_cast<std::size_t>(std::max(R, C)) + 3);
}

void TSplines::RotatePoint(double x, double y, double* xOut, double* yOut, double angle) const {
    const double dx = x - centreX_;
    const double dy = y - centreY_;
    const double r = std::sqrt(dx * dx + dy * dy);
    double phi;
    if (dx == 0)
        phi = dy >= 0 ? std::numbers::pi / 2 : -std::numbers::pi / 2;
    else
        phi = std::atan2(dy, dx);
    *xOut = centreX_ + r * std::cos(phi - angle);
    *yOut = centreY_ + r * std::sin(phi - angle);
}

bool TSplines::Spline(const double* x, const double* y, int lo, int hi, double* y2, double* u, double slopeFirst,
                      double slopeLast, EqualAbscissae* bad) {
    if (hi < lo) return true;
    for (int i = lo; i < hi; ++i) {
        if (x[i + 1] == x[i]) {
            *bad = {x[i], x[i + 1], i, i + 1};
            return false;
        }
    }
    if (hi == lo) {
        y2[lo] = 0;
        return true;
    }
    if (slopeFirst > 9.9e29) {
        y2[lo] = u[lo] = 0;
    } else {
        y2[lo] = -0.5;
        u[lo] = (3.0 / (x[lo + 1] - x[lo])) * ((y[lo + 1] - y[lo]) / (x[lo + 1] - x[lo]) - slopeFirst);
    }
    for (int i = lo + 1; i <= hi - 1; ++i) {
        const double sig = (x[i] - x[i - 1]) / (x[i + 1] - x[i - 1]);
        const double p = sig * y2[i - 1] + 2.0;
        y2[i] = (sig - 1.0) / p;
        u[i] = (y[i + 1] - y[i]) / (x[i + 1] - x[i]) - (y[i] - y[i - 1]) / (x[i] - x[i - 1]);
        u[i] = (6.0 * u[i] / (x[i + 1] - x[i - 1]) - sig * u[i - 1]) / p;
    }
    double qn = 0, un = 0;
    if (!(slopeLast > 9.9e29)) {
        qn = 0.5;
        un = (3.0 / (x[hi] - x[hi - 1])) * (slopeLast - (y[hi] - y[hi - 1]) / (x[hi] - x[hi - 1]));
    }
    y2[hi] = (un - qn * u[hi - 1]) / (qn * y2[hi - 1] + 1.0);
    for (int k = hi - 1; k >= lo; --k) y2[k] = y2[k] * y2[k + 1] + u[k];
    return true;
}

void TSplines::ReportEqual(const EqualAbscissae& bad) {
    std::cout << "The two input coordinates " << bad.xLower << " (index " << bad.lower << ") \n"
              << "and " << bad.xUpper << " (index " << bad.upper
              << ") for the 1-D-Splineevaluation are the same!" << std::endl;
    throw ModelError(82);
}

void TSplines::SecondDerivatives(std::span<const double> x, std::span<const double> y, int lo, int hi,
                                 std::span<double> y2, double slopeFirst, double slopeLast) {
    const std::size_t n = std::min({x.size(), y.size(), y2.size()});
    if (lo < 0 || n == 0) return;
    hi = std::min(hi, static_cast<int>(n) - 1);
    std::vector<double> u(n, 0.0);
    EqualAbscissae bad;
    if (!Spline(x.data(), y.data(), lo, hi, y2.data(), u.data(), slopeFirst, slopeLast, &bad)) ReportEqual(bad);
}

TSplines::Result TSplines::Evaluate(double x, double nodata, double fill, const double* xa, const double* ya,
                                    const double* y2a, std::size_t size, int last, int* lower, int* upper,
                                    double* result, EqualAbscissae* bad) const {
    *result = fill;
    // Index last + 1 is read as the point after the run; never read beyond the arrays.
    if (size < 3) return Result::Fill;
    last = std::min(last, static_cast<int>(size) - 2);
    if (last < 1) return Result::Fill;
    int lo = std::clamp(*lower, 1, last);
    while (lo > 1 && xa[lo] > x) --lo;
    while (lo < last && xa[lo + 1] <= x) ++lo;
    int up = lo + 1;
    while (up < last + 1 && xa[up] < x) ++up;
    *lower = lo;
    *upper = up;
    if (!(x >= xa[lo] && x <= xa[up])) return Result::Fill;
    auto valid = [nodata](double v) { return v >= nodata + 0.01; };
    const double yl = ya[lo], dl = y2a[lo];
    if (!(valid(yl) && valid(dl))) return Result::Fill;
    double yu = ya[up], du = y2a[up];
    if (extend_ && !(valid(yu) && valid(du))) {
        yu = yl;
        du = dl;
    }
    const bool upperValid = valid(yu) && valid(du);
    const double h = xa[up] - xa[lo];
    if (upperValid && h == 0) {
        *bad = {xa[lo], xa[up], lo, up};
        return Result::Equal;
    }
    // A point exactly on an abscissa takes that point's value, also at the end of a run where
    // the next interval has no data.
    if (x == xa[lo]) {
        *result = yl;
        return Result::Value;
    }
    if (!upperValid) return Result::Fill;
    const double a = (xa[up] - x) / h;
    const double b = (x - xa[lo]) / h;
    *result = a * yl + b * yu + ((a * a * a - a) * dl + (b * b * b - b) * du) * (h * h) / 6.0;
    return Result::Value;
}

void TSplines::Evaluate1D(double x, double nodata, double fill, std::span<const double> xa,
                          std::span<const double> ya, int* lower, int* upper, std::span<const double> y2a, int last,
                          double* result) {
    const std::size_t n = std::min({xa.size(), ya.size(), y2a.size()});
    EqualAbscissae bad;
    if (Evaluate(x, nodata, fill, xa.data(), ya.data(), y2a.data(), n, last, lower, upper, result, &bad) ==
        Result::Equal)
        ReportEqual(bad);
}

void TSplines::MarkModelCells() {
    Allocate(marker_, (static_cast<double>(rasterRows_) + 1) * (static_cast<double>(rasterCols_) + 1),
             std::uint16_t{0}, 9);
    if (rasterRows_ < 1 || !coordX_ || !coordY_) return;
    for (int r = 1; r <= modelRows_; ++r) {
        for (int c = 1; c <= modelCols_; ++c) {
            if (!ValidCoordinate(coordX_, r, c) || !ValidCoordinate(coordY_, r, c)) continue;
            if (mask_ && !ValidCoordinate(mask_, r, c)) continue;
            double row, col;
            RasterPosition((*coordX_)[r][c], (*coordY_)[r][c], &row, &col);
            if (row >= 1 && row <= rasterRows_ && col >= 1 && col <= rasterCols_)
                marker_[static_cast<std::size_t>(row) * (rasterCols_ + 1) + static_cast<std::size_t>(col)] = 1;
        }
    }
}

void TSplines::ComputeWindow() {
    winRow1_ = rasterRows_ + 1;
    winRow2_ = 0;
    winCol1_ = rasterCols_ + 1;
    winCol2_ = 0;
    for (int r = 1; r <= rasterRows_; ++r) {
        for (int c = 1; c <= rasterCols_; ++c) {
            if (!Marked(r, c)) continue;
            winRow1_ = std::min(winRow1_, r);
            winRow2_ = std::max(winRow2_, r);
            winCol1_ = std::min(winCol1_, c);
            winCol2_ = std::max(winCol2_, c);
        }
    }
    if (winRow2_ == 0) {
        winRow1_ = winCol1_ = 1;
        winRow2_ = winCol2_ = 0;
        return;
    }
    winRow1_ = std::max(winRow1_ - 1, 1);
    winRow2_ = std::min(winRow2_ + 1, rasterRows_);
    winCol1_ = std::max(winCol1_ - 1, 1);
    winCol2_ = std::min(winCol2_ + 1, rasterCols_);
}

bool TSplines::Marked(int row, int col) const {
    if (row < 1 || row > rasterRows_ || col < 1 || col > rasterCols_) return false;
    return marker_[static_cast<std::size_t>(row) * (rasterCols_ + 1) + static_cast<std::size_t>(col)] != 0;
}

void TSplines::RasterPosition(double x, double y, double* row, double* col) const {
    *row = rasterRows_ - std::floor((y - yMin_) / rasterCell_ + 0.4999);
    *col = std::floor((x - xMin_) / rasterCell_) + 1;
}

double TSplines::RasterValue(int row, int col) const {
    if (row < winRow1_ || row > winRow2_ || col < winCol1_ || col > winCol2_) return fill_;
    const std::size_t width = static_cast<std::size_t>(winCol2_ - winCol1_ + 1);
    return raster_[static_cast<std::size_t>(row - winRow1_) * width + static_cast<std::size_t>(col - winCol1_)];
}

bool TSplines::ValidCoordinate(const Matrix* m, int r, int c) const {
    return m->holds(r) && c <= m->ncols() && (*m)[r][c] > fill_ + 0.01;
}

void TSplines::SetupColumns(const Matrix& values) {
    const int R = sourceRows_, C = sourceCols_;
    Work& w = work_[0];
    EqualAbscissae bad;
    auto value = [&](int r, int c) { return ValueAt(values, r, c, nodata_); };
    auto isValid = [&](double v) { return v > nodata_ + 0.01; };
    for (int c = 1; c <= C; ++c) {
        int r = 1;
        while (r <= R) {
            if (!isValid(value(r, c))) {
                srcY2_[static_cast<std::size_t>(r) * (C + 1) + c] = fill_;
                ++r;
                continue;
            }
            const int start = r;
            int n = 0;
            for (; r <= R && isValid(value(r, c)); ++r) {
                ++n;
                w.x[n] = srcY_[static_cast<std::size_t>(r) * (C + 1) + c];
                w.y[n] = value(r, c);
            }
            int hi = n;
            if (extend_) {
                // The run goes on one spacing further south with its last value.
                w.x[n + 1] = w.x[n] - dy_;
                w.y[n + 1] = w.y[n];
                hi = n + 1;
            }
            if (!Spline(w.x.data(), w.y.data(), 1, hi, w.y2.data(), w.u.data(), kNaturalEnd, kNaturalEnd, &bad))
                ReportEqual(bad);
            for (int k = 1; k <= n; ++k) srcY2_[static_cast<std::size_t>(start + k - 1) * (C + 1) + c] = w.y2[k];
        }
        // The column from south to north, and the point north of row 1: the extension of row 1
        // when it has a value, else the invalid marker.
        for (int k = 1; k <= R; ++k) {
            const int row = R + 1 - k;
            const double v = value(row, c);
            colValue_[Slot(c, k)] = isValid(v) ? v : invalid_;
            colY2_[Slot(c, k)] = isValid(v) ? srcY2_[static_cast<std::size_t>(row) * (C + 1) + c] : invalid_;
        }
        const bool north = extend_ && R >= 1 && isValid(value(1, c));
        colValue_[Slot(c, R + 1)] = north ? value(1, c) : invalid_;
        colY2_[Slot(c, R + 1)] = north ? srcY2_[static_cast<std::size_t>(1) * (C + 1) + c] : invalid_;
    }
}

bool TSplines::ColumnToRaster(int c, EqualAbscissae* bad) {
    const int R = sourceRows_;
    const double* ya = &colAbsY_[Slot(c, 0)];
    const double* xs = &colAbsX_[Slot(c, 0)];
    const double* values = &colValue_[Slot(c, 0)];
    const double* y2 = &colY2_[Slot(c, 0)];
    const int e = extend_ ? 1 : 0;
    int lower = 1, upper = 2, k = 1;
    EqualAbscissae local;
    for (int row = winRow1_; row <= winRow2_; ++row) {
        const double y = yMin_ + (rasterRows_ + e - row) * rasterCell_;
        double v;
        if (Evaluate(y, validFrom_, fill_, ya, values, y2, colStride_, R, &lower, &upper, &v, &local) ==
            Result::Equal) {
            if (bad) *bad = local;
            return false;
        }
        rowValue_[WinSlot(row, c)] = v;
        // The column's x at y, linear between the two source rows around y.
        double x = xs[1];
        if (R >= 2) {
            while (k > 1 && ya[k] > y) --k;
            while (k < R - 1 && ya[k + 1] < y) ++k;
            const double d = ya[k + 1] - ya[k];
            x = d == 0 ? xs[k] : xs[k] * (ya[k + 1] - y) / d + xs[k + 1] * (y - ya[k]) / d;
        }
        rowX_[WinSlot(row, c)] = x;
    }
    return true;
}

bool TSplines::RasterRow(int row, Work& w, EqualAbscissae* bad) {
    const int C = sourceCols_;
    const std::size_t width = static_cast<std::size_t>(winCol2_ - winCol1_ + 1);
    double* out = &raster_[static_cast<std::size_t>(row - winRow1_) * width];
    std::fill(out, out + width, fill_);
    auto isValid = [&](double v) { return v > validFrom_ + 0.01; };
    EqualAbscissae local;
    int c = 1;
    while (c <= C) {
        if (!isValid(rowValue_[WinSlot(row, c)])) {
            ++c;
            continue;
        }
        int n = 0;
        for (; c <= C && isValid(rowValue_[WinSlot(row, c)]); ++c) {
            ++n;
            w.x[n] = rowX_[WinSlot(row, c)];
            w.y[n] = rowValue_[WinSlot(row, c)];
        }
        int hi = n;
        if (extend_) {
            // One more point at the x of the next source column, repeating the last value.
            w.x[n + 1] = refX_ + (c - 1) * dx_;
            w.y[n + 1] = w.y[n];
            hi = n + 1;
        }
        if (!Spline(w.x.data(), w.y.data(), 1, hi, w.y2.data(), w.u.data(), kNaturalEnd, kNaturalEnd, &local)) {
            if (bad) *bad = local;
            return false;
        }
        if (!extend_) {
            w.x[n + 1] = w.x[n] + std::abs(dx_);
            w.y[n + 1] = w.y2[n + 1] = invalid_;
        }
        const double xFirst = w.x[1];
        const double xLast = w.x[hi];
        int lower = 1, upper = 2;
        for (int col = winCol1_; col <= winCol2_; ++col) {
            if (!Marked(row, col)) continue;
            const double x = xMin_ + (col - 0.5) * rasterCell_;
            if (x < xFirst) continue;
            if (x > xLast) break;
            double v;
            if (Evaluate(x, validFrom_, fill_, w.x.data(), w.y.data(), w.y2.data(), w.x.size(), n, &lower, &upper,
                         &v, &local) == Result::Equal) {
                if (bad) *bad = local;
                return false;
            }
            out[col - winCol1_] = v;
        }
    }
    return true;
}

void TSplines::InterpolateRaster(Matrix& target) {
    if (winRow2_ >= winRow1_ && sourceCols_ >= 1) {
        const auto threads = static_cast<std::size_t>(std::max(omp_get_max_threads(), 1));
        if (work_.size() < threads) {
            const std::size_t n = static_cast<std::size_t>(std::max(sourceRows_, sourceCols_)) + 3;
            for (std::size_t i = work_.size(); i < threads; ++i) {
                work_.emplace_back();
                work_.back().Resize(n);
            }
        }
        // Equal abscissae are found in parallel and then reported in a fixed order, so the
        // message does not depend on the thread count.
        bool failed = false;
#pragma omp parallel for schedule(runtime) reduction(|| : failed)
        for (int c = 1; c <= sourceCols_; ++c)
            if (!ColumnToRaster(c, nullptr)) failed = true;
        EqualAbscissae bad;
        if (failed)
            for (int c = 1; c <= sourceCols_; ++c)
                if (!ColumnToRaster(c, &bad)) ReportEqual(bad);

#pragma omp parallel reduction(|| : failed)
        {
            Work& w = work_[static_cast<std::size_t>(omp_get_thread_num())];
#pragma omp for schedule(runtime)
            for (int row = winRow1_; row <= winRow2_; ++row)
                if (!RasterRow(row, w, nullptr)) failed = true;
        }
        if (failed)
            for (int row = winRow1_; row <= winRow2_; ++row)
                if (!RasterRow(row, work_[0], &bad)) ReportEqual(bad);
    }
    WriteToGrid(target);
}

void TSplines::WriteToGrid(Matrix& target) const {
    const int rows = std::min(modelRows_, target.rowCount());
    const int cols = std::min(modelCols_, target.ncols());
#pragma omp parallel for schedule(runtime)
    for (int r = 1; r <= rows; ++r) {
        if (!target.holds(r)) continue;
        double* out = target[r];
        for (int c = 1; c <= cols; ++c) {
            double v = fill_;
            const bool valid = coordX_ && coordY_ && ValidCoordinate(coordX_, r, c) &&
                               ValidCoordinate(coordY_, r, c) && (!mask_ || ValidCoordinate(mask_, r, c));
            if (valid) {
                double row, col;
                RasterPosition((*coordX_)[r][c], (*coordY_)[r][c], &row, &col);
                if (row >= winRow1_ && row <= winRow2_ && col >= winCol1_ && col <= winCol2_)
                    v = RasterValue(static_cast<int>(row), static_cast<int>(col));
            }
            out[c] = v;
        }
    }
}
