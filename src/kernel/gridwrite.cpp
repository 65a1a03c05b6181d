// Writing of grid files: text with "%g" values (exact header values), or binary doubles or floats with a header of
// 12 values whose last six are the statistics of the written values.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "kernel/gridio.hpp"
#include "kernel/modelobject.hpp"
#include "kernel/replacingfile.hpp"
#include "kernel/strhelp.hpp"

namespace {

// First and last basin column of row r; false when the row has none or none are known.
bool BasinRange(const modelobject& o, int r, int* first, int* last) {
    if (o.basinColumns == nullptr || r < 0 || r >= static_cast<int>(o.basinColumns->size())) return false;
    const ColumnRange& range = (*o.basinColumns)[static_cast<std::size_t>(r)];
    if (range.first < 1 || range.last < range.first) return false;
    *first = range.first;
    *last = std::min(range.last, o.ncols);
    return true;
}

// A header value with as many digits as it needs to be read back exactly: "%g" where that is
// enough (1000, 3.4e+06), more digits where it is not (3401234.5), so that a corner or a cell
// size never moves the grid.
std::string HeaderNumber(double value) {
    char text[64];
    for (int digits = 6; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    return text;
}

class GridWriter {
public:
    GridWriter(modelobject& o, const std::string& fileName, const Matrix& grid, bool ownCells)
        : o_(o), grid_(grid), ownCells_(ownCells), name_(modelobject::ExpandPath(o.outputPath, fileName)) {}

    void Text() {
        CheckArguments(" for writing in text mode.");
        ReplacingFile f(name_, "w");
        if (!f) CreateError(" for writing in text mode.");
        std::fprintf(f.get(), "ncols\t%d\nnrows\t%d\nxllcorner\t%s\nyllcorner\t%s\ncellsize\t%s\nnodata_value\t%s\n",
                     o_.ncols, o_.nrows, HeaderNumber(o_.xllcorner).c_str(), HeaderNumber(o_.yllcorner).c_str(),
                     HeaderNumber(o_.cellsize).c_str(), HeaderNumber(o_.nodata).c_str());
        std::string line;
        for (int r = 1; r <= o_.nrows; ++r) {
            line.clear();
            const bool held = grid_.holds(r);
            for (int c = 1; c <= o_.ncols; ++c) {
                if (c > 1) line += '\t';
                if (held)
                    AppendG(line, grid_[r][c]);
                else if (ownCells_)
                    AppendG(line, o_.nodata);
                else
                    line += "-9999";
            }
            line += '\n';
            if (std::fwrite(line.data(), 1, line.size(), f.get()) != line.size()) o_.WriteError(name_, 18);
        }
        if (std::fflush(f.get()) != 0 || std::ferror(f.get())) o_.WriteError(name_, 18);
        Commit(f);
        o_.header = {static_cast<double>(o_.ncols), static_cast<double>(o_.nrows), o_.xllcorner, o_.yllcorner,
                     o_.cellsize, o_.nodata, 0, 0, 0, 0, 0, 0};
    }

    // Each row is checked, counted into the statistics and converted while it is in the cache,
    // and the file is written in large blocks rather than a call per row.
    void Binary(bool doubles) {
        CheckArguments(" for writing in binary mode.", true);
        ReplacingFile f(name_, "wb");
        if (!f) {
            CheckFinite();
            CreateError(" for writing in binary mode.");
        }
        std::array<double, gridio::kHeaderValues> header{static_cast<double>(o_.ncols), static_cast<double>(o_.nrows),
                                                         o_.xllcorner, o_.yllcorner, o_.cellsize, o_.nodata,
                                                         0, 0, 0, 0, 0, 0};
        Put(f.get(), header.data(), header.size(), doubles);
        o_.ResetStatistics(o_.nodata);
        std::vector<double> nodataRow(static_cast<std::size_t>(o_.ncols), o_.nodata);
        for (int r = 1; r <= o_.nrows; ++r) {
            if (!grid_.holds(r)) {
                Put(f.get(), nodataRow.data(), nodataRow.size(), doubles);
                continue;
            }
            CheckRowFinite(r);
            AddRowToStatistics(r);
            Put(f.get(), grid_[r] + 1, static_cast<std::size_t>(o_.ncols), doubles);
        }
        Flush(f.get());
        o_.GetStatistics(&header[6], &header[7], &header[8], &header[9], &header[10], &header[11]);
        if (std::fseek(f.get(), 6L * (doubles ? 8 : 4), SEEK_SET) != 0) o_.WriteError(name_, 18);
        Put(f.get(), header.data() + 6, 6, doubles);
        Flush(f.get());
        if (std::fflush(f.get()) != 0) o_.WriteError(name_, 18);
        Commit(f);
        std::copy(header.begin(), header.end(), o_.header.begin());
    }

private:
    // Every value the file would hold is a number: a NaN or infinite cell stops the run.
    // Only the columns the grid has (a narrower grid is refused after this check).
    void CheckRowFinite(int r) const {
        const double* row = grid_[r];
        const int cols = std::min(o_.ncols, grid_.ncols());
        // A whole row at a time without a branch per value; the cell is looked for only then.
        bool finite = true;
        for (int c = 1; c <= cols; ++c) finite &= std::fabs(row[c]) <= std::numeric_limits<double>::max();
        if (finite) return;
        for (int c = 1; c <= cols; ++c)
            if (!std::isfinite(row[c]))
                NonFiniteOutputError(*o_.log, name_, "row " + std::to_string(r) + ", column " + std::to_string(c),
                                     row[c], o_.year, o_.month, o_.day, o_.hour);
    }
    void CheckFinite() const {
        for (int r = 1; r <= o_.nrows; ++r)
            if (grid_.holds(r)) CheckRowFinite(r);
    }
    // A non-finite cell is reported before any other fault of the write. A writer that checks
    // the rows as it writes them (rowsLater) looks through the whole grid only when the name or
    // the columns are at fault.
    void CheckArguments(const char* mode, bool rowsLater = false) {
        const bool longName = name_.size() > gridio::kMaxFileName;
        const bool narrow = !grid_.empty() && grid_.ncols() < o_.ncols;
        if (!rowsLater || longName || narrow) CheckFinite();
        if (longName) {
            *o_.log << "FATAL: error creating " << name_ << mode << " (file name longer than 1200 characters)"
                    << "[end-entry]";
            throw ModelError(26);
        }
        if (narrow) {
            *o_.log << "FATAL: error creating " << name_ << mode << " (the grid has " << grid_.ncols()
                    << " columns, the model " << o_.ncols << ")" << "[end-entry]";
            throw ModelError(26);
        }
    }
    [[noreturn]] void CreateError(const char* mode) {
        FailOnFile(*o_.log, "error creating " + name_ + mode, 26);
    }
    // The finished file replaces the old one only now.
    void Commit(ReplacingFile& f) {
        if (!f.Commit()) {
            FailOnFile(*o_.log, "error closing " + name_, 27);
        }
    }

    // Statistics over the row's basin columns (all columns when it has none), each value
    // weighted by the relative area of its cell when that grid holds the row.
    void AddRowToStatistics(int r) {
        int c1 = 1, c2 = o_.ncols;
        if (!BasinRange(o_, r, &c1, &c2)) {
            c1 = 1;
            c2 = o_.ncols;
        }
        const Matrix* area = o_.relCellArea;
        const double* weights = area && area->holds(r) ? (*area)[r] : nullptr;
        o_.AddRowToStatistics(grid_[r], weights, c1, c2);
    }

    // Values go to a block that is written once full; a failed write reports a non-finite
    // cell of a row not yet written first, as a check before writing would have.
    void Put(std::FILE* f, const double* values, std::size_t n, bool doubles) {
        if (doubles)
            PutAs(f, values, n, doubles_);
        else
            PutAs(f, values, n, floats_);
    }
    template <typename T>
    void PutAs(std::FILE* f, const double* values, std::size_t n, std::vector<T>& block) {
        if (block.empty()) block.resize(std::max(kBlockBytes / sizeof(T), n));
        if (used_ + n > block.size()) {
            Flush(f);
            if (n > block.size()) block.resize(n);
        }
        std::transform(values, values + n, block.begin() + static_cast<std::ptrdiff_t>(used_),
                       [](double v) { return static_cast<T>(v); });
        used_ += n;
        bytes_ = sizeof(T);
    }
    void Flush(std::FILE* f) {
        if (used_ == 0) return;
        const void* data = bytes_ == sizeof(double) ? static_cast<const void*>(doubles_.data()) : floats_.data();
        const bool written = std::fwrite(data, bytes_, used_, f) == used_;
        used_ = 0;
        if (!written) {
            CheckFinite();
            o_.WriteError(name_, 18);
        }
    }

    static constexpr std::size_t kBlockBytes = std::size_t{1} << 18;
    modelobject& o_;
    const Matrix& grid_;
    bool ownCells_;
    std::string name_;
    std::vector<float> floats_;
    std::vector<double> doubles_;
    std::size_t used_ = 0, bytes_ = sizeof(double);
};

}  // namespace

void modelobject::WriteGrid(const std::string& fileName, const Matrix& grid, bool text, bool doubleValues) {
    gridio::SignalScope signals(ResetCtrlCHandler);
    GridWriter writer(*this, fileName, grid, false);
    if (text)
        writer.Text();
    else
        writer.Binary(doubleValues);
}

void modelobject::WriteGridOwnCells(const std::string& fileName, Matrix& grid, bool text, bool doubleValues) {
    gridio::SignalScope signals(ResetCtrlCHandler);
    const int cols = std::min(ncols, grid.ncols());
    for (int r = 1; r <= nrows && basinColumns != nullptr; ++r) {
        if (!grid.holds(r)) continue;
        int c1 = 1, c2 = 0;
        if (!BasinRange(*this, r, &c1, &c2)) {
            c1 = 1;
            c2 = 0;
        }
        double* row = grid[r];
        for (int c = 1; c <= cols; ++c)
            if (c < c1 || c > c2) row[c] = nodata;
    }
    GridWriter writer(*this, fileName, grid, true);
    if (text)
        writer.Text();
    else
        writer.Binary(doubleValues);
}
