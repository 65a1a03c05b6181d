#pragma once
// Grids (2-D) and stacks (a vector of levels per cell), both 1-based in rows and columns.
// A process allocates only the rows it owns; the pointers of the other rows are null.
// Column 0 of every row exists and stays 0; stack levels are indexed 0..levels.
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

// A block of values from calloc: fresh pages come zeroed from the system without a pass of their own.
struct FreeValues {
    void operator()(double* p) const noexcept { std::free(p); }
};
using ValueBlock = std::unique_ptr<double[], FreeValues>;

class Matrix {
public:
    Matrix() = default;
    Matrix(Matrix&&) noexcept = default;
    Matrix& operator=(Matrix&&) noexcept = default;
    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix&) = delete;

    // Row r (0..rowCount()), or null when this process holds no such row.
    double* operator[](int r) const { return rows_[static_cast<std::size_t>(r)]; }
    double* const* rows() const { return rows_.data(); }
    bool empty() const { return rows_.empty(); }
    explicit operator bool() const { return !rows_.empty(); }
    int firstRow() const { return firstRow_; }
    int lastRow() const { return lastRow_; }
    int ncols() const { return ncols_; }
    // Highest row index of the pointer array.
    int rowCount() const { return static_cast<int>(rows_.size()) - 1; }
    bool holds(int r) const { return r >= 0 && r <= rowCount() && rows_[static_cast<std::size_t>(r)] != nullptr; }
    // Sets every value of the held rows, column 0 included.
    void fill(double v);
    void reset();
    // Bytes of the values of the held rows and of the row pointers.
    std::size_t bytes() const;

private:
    friend class memory_handling;
    std::vector<double*> rows_;
    std::vector<ValueBlock> blocks_;
    int firstRow_ = 0, lastRow_ = -1, ncols_ = 0;
};

class Stack {
public:
    Stack() = default;
    Stack(Stack&&) noexcept = default;
    Stack& operator=(Stack&&) noexcept = default;
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;

    // Cell pointers of row r (index 0..ncols); s[r][c][l] is level l of cell (r, c).
    double* const* operator[](int r) const { return rows_[static_cast<std::size_t>(r)]; }
    bool empty() const { return rows_.empty(); }
    explicit operator bool() const { return !rows_.empty(); }
    int firstRow() const { return firstRow_; }
    int lastRow() const { return lastRow_; }
    int ncols() const { return ncols_; }
    int levels() const { return levels_; }
    int rowCount() const { return static_cast<int>(rows_.size()) - 1; }
    bool holds(int r) const { return r >= 0 && r <= rowCount() && rows_[static_cast<std::size_t>(r)] != nullptr; }
    // First value of the contiguous block of row r: cell c starts at c * (levels + 1).
    double* rowBlock(int r) const { return rows_[static_cast<std::size_t>(r)][0]; }
    void reset();
    // Bytes of the values and cell pointers of the held rows and of the row pointers.
    std::size_t bytes() const;

private:
    friend class memory_handling;
    std::vector<double**> rows_;
    std::vector<std::unique_ptr<double*[]>> cellPointers_;
    std::vector<ValueBlock> blocks_;
    int firstRow_ = 0, lastRow_ = -1, ncols_ = 0, levels_ = 0;
};

class DiagLog;

// Allocation of the model's matrices. Failures are logged as FATAL entries and thrown.
class memory_handling {
public:
    memory_handling() = default;
    virtual ~memory_handling() = default;

    // Rows firstRow..lastRow of a grid of nrows rows (nrows <= 0: the pointer array ends at lastRow).
    virtual Stack matrix3d(int firstRow, int lastRow, int firstCol, int ncols, int levels, int nrows);
    virtual void Free3DMatrix(Stack& stack, int firstRow, int lastRow);
    // The grid rows are carved from a few large blocks (powers of two minus 24 bytes, each at
    // most 2147480000 bytes) rather than allocated one by one.
    virtual Matrix matrix(int firstRow, int lastRow, int firstCol, int ncols, int nrows);
    // The same rows with every value (column 0 and level 0 included) set to v: what matrix() or
    // matrix3d() and a fill of every value give, without zeroing the values first (calloc clears
    // memory it reuses before the fill would overwrite it).
    Matrix FilledMatrix(int firstRow, int lastRow, int firstCol, int ncols, int nrows, double v);
    Stack FilledMatrix3d(int firstRow, int lastRow, int firstCol, int ncols, int levels, int nrows, double v);
    // The same rows of a stack with every value of the cells (columns 1..ncols, every level) set
    // to v and column 0 zero, as a cleared allocation leaves it: what matrix3d() and a fill of the
    // cells give, in one pass over the values.
    Stack FilledCellsMatrix3d(int firstRow, int lastRow, int firstCol, int ncols, int levels, int nrows, double v);
    // The same rows with column 0 zero, as matrix() gives it, and columns 1..ncols not set: for a
    // caller that sets every one of them before any is read, which then holds what matrix() and
    // those sets give, without clearing the memory first.
    Matrix UnsetMatrix(int firstRow, int lastRow, int firstCol, int ncols, int nrows);
    // The same rows of a stack with no value set (column 0 and level 0 neither): for a caller
    // that sets every value of every held row before any is read, which then holds what
    // matrix3d() and those sets give, without clearing the memory first. The caller's threads
    // set the rows, so that they fault in the fresh pages of their own rows.
    Stack UnsetMatrix3d(int firstRow, int lastRow, int firstCol, int ncols, int levels, int nrows);
    virtual void FreeMatrix(Matrix& m, int firstRow, int lastRow, int firstCol, int ncols, int nrows);
    // Zeroed bytes; failure is error 81.
    virtual std::unique_ptr<unsigned char[]> AllocMemory(std::size_t bytes, int number);
    [[noreturn]] void MemoryError(int number);
    // Number of halvings until the value is 1 or less (0 for values of 1 or less).
    static double HalvingCount(double value);

protected:
    // fill null: zeroed values; otherwise every value *fill. unset: only column 0 set (zero).
    // zeroColumn0: column 0 (every level of it) set to zero after the fill.
    Matrix MakeMatrix(int firstRow, int lastRow, int ncols, int nrows, const double* fill, bool unset = false,
                      bool zeroColumn0 = false);
    // unset: no value set (fill ignored).
    Stack MakeMatrix3d(int firstRow, int lastRow, int ncols, int levels, int nrows, const double* fill,
                       bool zeroColumn0 = false, bool unset = false);
    // The log the allocation failures are written to (set by modelobject).
    DiagLog* memLog_ = nullptr;
    // Name used by MemoryError.
    virtual const std::string& MemoryOwnerName() const;
};
