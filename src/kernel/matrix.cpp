#include "kernel/matrix.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"

namespace {
constexpr double kMaxBlockBytes = 2147480000.0;

[[noreturn]] void AllocationFailure(DiagLog* log, const char* text, int code) {
    if (log) *log << text << "[end-entry]";
    throw ModelError(code);
}

// Zeroed values. calloc leaves the zeroing of fresh pages to the system (they come zeroed), so a
// large grid is not written twice before its first use, as a value-initialised new[] would.
ValueBlock ZeroedDoubles(std::size_t n, DiagLog* log, const char* text) {
    ValueBlock block(static_cast<double*>(std::calloc(n == 0 ? 1 : n, sizeof(double))));
    if (!block) AllocationFailure(log, text, 1);
    return block;
}

// Values from which a fill is shared among the threads. Most of a large fill's time goes into the
// faults that bring its fresh pages in, and the threads take those in parallel; a fill of fewer
// values than this (half a megabyte) is over before a team would have started.
constexpr std::int64_t kThreadedFillValues = std::int64_t{1} << 16;

bool FillWorthThreads(std::int64_t values) { return values >= kThreadedFillValues && omp_get_max_threads() > 1; }

// Sets the n values at p to v; each thread takes one contiguous share, so that the pages (and
// the page tables) of a share are faulted in by one thread. Every value gets the same v either way.
void FillValues(double* p, std::int64_t n, double v) {
#pragma omp parallel for schedule(static) if (FillWorthThreads(n))
    for (std::int64_t i = 0; i < n; ++i) p[i] = v;
}

// n values, each v; allocated without zeroing, since every value is set.
ValueBlock FilledDoubles(std::size_t n, double v, DiagLog* log, const char* text) {
    ValueBlock block(static_cast<double*>(std::malloc((n == 0 ? 1 : n) * sizeof(double))));
    if (!block) AllocationFailure(log, text, 1);
    FillValues(block.get(), static_cast<std::int64_t>(n == 0 ? 1 : n), v);
    return block;
}

// n values none of which is set.
ValueBlock UnsetDoubles(std::size_t n, DiagLog* log, const char* text) {
    ValueBlock block(static_cast<double*>(std::malloc((n == 0 ? 1 : n) * sizeof(double))));
    if (!block) AllocationFailure(log, text, 1);
    return block;
}

ValueBlock Values(std::size_t n, const double* fill, DiagLog* log, const char* text) {
    return fill == nullptr ? ZeroedDoubles(n, log, text) : FilledDoubles(n, *fill, log, text);
}
}  // namespace

void Matrix::fill(double v) {
    const int top = rowCount();
    const std::int64_t rowLen = static_cast<std::int64_t>(ncols_) + 1;
#pragma omp parallel for schedule(static) if (FillWorthThreads(static_cast<std::int64_t>(top + 1) * rowLen))
    for (int r = 0; r <= top; ++r)
        if (double* row = rows_[static_cast<std::size_t>(r)]) std::fill(row, row + rowLen, v);
}

void Matrix::reset() { *this = Matrix(); }
void Stack::reset() { *this = Stack(); }

std::size_t Matrix::bytes() const {
    const auto held = static_cast<std::size_t>(std::count_if(rows_.begin(), rows_.end(), [](double* r) { return r != nullptr; }));
    return rows_.size() * sizeof(double*) + held * (static_cast<std::size_t>(ncols_) + 1) * sizeof(double);
}

std::size_t Stack::bytes() const {
    const auto held = static_cast<std::size_t>(std::count_if(rows_.begin(), rows_.end(), [](double** r) { return r != nullptr; }));
    const std::size_t cells = static_cast<std::size_t>(ncols_) + 1;
    return rows_.size() * sizeof(double**) +
           held * cells * (sizeof(double*) + (static_cast<std::size_t>(levels_) + 1) * sizeof(double));
}

double memory_handling::HalvingCount(double value) {
    double n = 0;
    while (value > 1.0) {
        value /= 2.0;
        n += 1;
    }
    return n;
}

const std::string& memory_handling::MemoryOwnerName() const {
    static const std::string none;
    return none;
}

Matrix memory_handling::matrix(int firstRow, int lastRow, int /*firstCol*/, int ncols, int nrows) {
    return MakeMatrix(firstRow, lastRow, ncols, nrows, nullptr);
}

Matrix memory_handling::FilledMatrix(int firstRow, int lastRow, int /*firstCol*/, int ncols, int nrows, double v) {
    return MakeMatrix(firstRow, lastRow, ncols, nrows, &v);
}

Matrix memory_handling::UnsetMatrix(int firstRow, int lastRow, int /*firstCol*/, int ncols, int nrows) {
    return MakeMatrix(firstRow, lastRow, ncols, nrows, nullptr, true);
}

Matrix memory_handling::MakeMatrix(int firstRow, int lastRow, int ncols, int nrows, const double* fill, bool unset,
                                   bool zeroColumn0) {
    Matrix m;
    const double rowBytes = (static_cast<double>(ncols) + 1) * sizeof(double);
    if (rowBytes + 24 > kMaxBlockBytes) AllocationFailure(memLog_, "FATAL: too long matrix rows", 1);
    const int top = nrows > 0 ? nrows : lastRow;
    try {
        m.rows_.assign(static_cast<std::size_t>(std::max(top, 0)) + 1, nullptr);
    } catch (const std::bad_alloc&) {
        AllocationFailure(memLog_, "FATAL: memory allocation error 1 in matrix()", 1);
    }
    m.firstRow_ = firstRow;
    m.lastRow_ = lastRow;
    m.ncols_ = ncols;
    if (lastRow < firstRow) return m;

    const std::size_t rowLen = static_cast<std::size_t>(ncols) + 1;
    const double total = (static_cast<double>(lastRow) - firstRow + 2) * rowBytes;
    const double smallShare = std::floor(total * 0.1);
    double remaining = total;
    int next = firstRow;
    auto carve = [&](int count) {
        const std::size_t n = static_cast<std::size_t>(count) * rowLen;
        const char* text = "FATAL: memory allocation error 2 in matrix()";
        auto block = unset ? UnsetDoubles(n, memLog_, text) : Values(n, fill, memLog_, text);
        double* const first = block.get();
        for (int i = 0; i < count; ++i) m.rows_[static_cast<std::size_t>(next + i)] = first + i * rowLen;
        // Setting column 0 touches a page of every row: the threads share the rows, so that the
        // fresh pages of an unset grid are faulted in together.
        if (unset || zeroColumn0) {
#pragma omp parallel for schedule(static) if (FillWorthThreads(static_cast<std::int64_t>(n)))
            for (int i = 0; i < count; ++i) first[static_cast<std::size_t>(i) * rowLen] = 0;
        }
        m.blocks_.push_back(std::move(block));
        next += count;
    };
    while (next <= lastRow && remaining > 0) {
        const double e = std::ceil(HalvingCount(remaining + 24));
        const double full = std::ldexp(1.0, static_cast<int>(e));
        const double half = std::ldexp(1.0, static_cast<int>(e) - 1);
        if ((remaining <= smallShare && full < kMaxBlockBytes) || half < rowBytes + 24) break;
        const double blockBytes = std::min(half - 24, kMaxBlockBytes);
        int count = static_cast<int>(std::floor(blockBytes / rowBytes));
        count = std::min(count, lastRow + 1 - next);
        if (count <= 0) break;
        carve(count);
        remaining = (static_cast<double>(lastRow) + 1 - next) * rowBytes;
    }
    if (next <= lastRow) carve(lastRow + 1 - next);
    return m;
}

void memory_handling::FreeMatrix(Matrix& m, int, int, int, int, int) { m.reset(); }

Stack memory_handling::matrix3d(int firstRow, int lastRow, int /*firstCol*/, int ncols, int levels, int nrows) {
    return MakeMatrix3d(firstRow, lastRow, ncols, levels, nrows, nullptr);
}

Stack memory_handling::FilledMatrix3d(int firstRow, int lastRow, int /*firstCol*/, int ncols, int levels, int nrows,
                                      double v) {
    return MakeMatrix3d(firstRow, lastRow, ncols, levels, nrows, &v);
}

Stack memory_handling::FilledCellsMatrix3d(int firstRow, int lastRow, int /*firstCol*/, int ncols, int levels,
                                           int nrows, double v) {
    return MakeMatrix3d(firstRow, lastRow, ncols, levels, nrows, &v, true);
}

Stack memory_handling::UnsetMatrix3d(int firstRow, int lastRow, int /*firstCol*/, int ncols, int levels, int nrows) {
    return MakeMatrix3d(firstRow, lastRow, ncols, levels, nrows, nullptr, false, true);
}

Stack memory_handling::MakeMatrix3d(int firstRow, int lastRow, int ncols, int levels, int nrows, const double* fill,
                                    bool zeroColumn0, bool unset) {
    Stack s;
    const int top = nrows > 0 ? nrows : lastRow;
    try {
        s.rows_.assign(static_cast<std::size_t>(std::max(top, 0)) + 1, nullptr);
    } catch (const std::bad_alloc&) {
        AllocationFailure(memLog_, "FATAL: memory allocation error (1) in 3_d_matrix()", 1);
    }
    s.firstRow_ = firstRow;
    s.lastRow_ = lastRow;
    s.ncols_ = ncols;
    s.levels_ = levels;
    const std::size_t cells = static_cast<std::size_t>(ncols) + 1;
    const std::size_t perCell = static_cast<std::size_t>(levels) + 1;
    // The rows are allocated one after the other; the pointers to the cells of each row, and the
    // values of a filled stack, are then set row by row by the threads together (contiguous shares
    // of the rows), which takes most of the time (faulting the fresh pages in).
    for (int r = firstRow; r <= lastRow; ++r) {
        std::unique_ptr<double*[]> ptrs;
        try {
            ptrs.reset(new double*[cells]);  // every pointer is set below
        } catch (const std::bad_alloc&) {
            AllocationFailure(memLog_, "FATAL: memory allocation error (2) in 3_d_matrix()", 1);
        }
        const char* text = "FATAL: memory allocation error (3) in 3_d_matrix()";
        auto block = fill == nullptr && !unset ? ZeroedDoubles(cells * perCell, memLog_, text)
                                               : UnsetDoubles(cells * perCell, memLog_, text);
        s.rows_[static_cast<std::size_t>(r)] = ptrs.get();
        s.cellPointers_.push_back(std::move(ptrs));
        s.blocks_.push_back(std::move(block));
    }
    if (lastRow < firstRow) return s;
    const bool filled = fill != nullptr && !unset;
    const double v = filled ? *fill : 0.0;
    const auto rowValues = static_cast<std::int64_t>(cells * perCell);
    const int rowCount = lastRow - firstRow + 1;
#pragma omp parallel for schedule(static) if (FillWorthThreads(rowCount * rowValues))
    for (int i = 0; i < rowCount; ++i) {
        double* const values = s.blocks_[static_cast<std::size_t>(i)].get();
        double** const ptrs = s.cellPointers_[static_cast<std::size_t>(i)].get();
        for (std::size_t c = 0; c < cells; ++c) ptrs[c] = values + c * perCell;
        if (!filled) continue;
        std::fill_n(values, rowValues, v);
        if (zeroColumn0) std::fill_n(values, perCell, 0.0);
    }
    return s;
}

void memory_handling::Free3DMatrix(Stack& stack, int, int) { stack.reset(); }

std::unique_ptr<unsigned char[]> memory_handling::AllocMemory(std::size_t bytes, int number) {
    try {
        return std::unique_ptr<unsigned char[]>(new unsigned char[bytes == 0 ? 1 : bytes]());
    } catch (const std::bad_alloc&) {
        MemoryError(number);
    }
}

void memory_handling::MemoryError(int number) {
    if (memLog_)
        *memLog_ << "FATAL: memory allocation error in " << MemoryOwnerName() << " (" << number << ")"
                 << "[end-entry]";
    throw ModelError(81);
}
