// Writing of grid files: text with "%g" values (exact header values), or binary doubles or floats with a header of
// 12 values whose last six are the statistics of the written values.
#include <fcntl.h>
#include <mpi.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kernel/gridio.hpp"
#include "kernel/hotloop.hpp"
#include "kernel/modelobject.hpp"
#include "kernel/replacingfile.hpp"
#include "kernel/rowtext.hpp"
#include "kernel/statcount.hpp"
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

// Whether values c1..c2 are all exactly one. Only 1.0 has the bits of 1.0, so the values are
// compared as integers, without a branch per value, several at a time.
TALVO_HOT_LOOP bool AllOnes(const double* v, int c1, int c2) {
    constexpr std::uint64_t kOne = 0x3FF0000000000000u;
    std::uint64_t other = 0;
    for (int c = c1; c <= c2; ++c) other |= std::bit_cast<std::uint64_t>(v[c]) ^ kOne;
    return other == 0;
}

// Whether values c1..c2 (at least one) are all above floor (a NaN is not), and their extremes
// as a count taking them one by one in order finds them (x < low, x > high) where the bits
// tell. Equal values other than zeros have equal bits, so only an extreme of zero (-0 and 0
// compare equal, the first met is kept) is left for the caller to find in order. Four values
// at a time with AVX2 where the processor has it: only comparisons, so the same answer.
bool RowAboveWithExtremesPlain(const double* v, int c1, int c2, double floor, double* low, double* high) {
    double lo = v[c1], hi = v[c1];
    bool above = true;
    for (int c = c1; c <= c2; ++c) {
        const double x = v[c];
        lo = x < lo ? x : lo;
        hi = x > hi ? x : hi;
        above = above && x > floor;
    }
    *low = lo;
    *high = hi;
    return above;
}

#ifdef TALVO_AVX2_PATHS
// The extremes of four lanes taken in lane order, then of values c..c2 of v one by one, into low
// and high; whether the lanes and those values are all above floor.
__attribute__((target("avx2"), always_inline)) inline bool EndExtremesAvx2(const double* v, int c, int c2, double floor,
                                                                            __m256d lo, __m256d hi, __m256d above,
                                                                            double* low, double* high) {
    alignas(32) double los[4], his[4];
    _mm256_store_pd(los, lo);
    _mm256_store_pd(his, hi);
    double l = los[0], h = his[0];
    for (int k = 1; k < 4; ++k) {
        l = los[k] < l ? los[k] : l;
        h = his[k] > h ? his[k] : h;
    }
    bool all = _mm256_movemask_pd(above) == 15;
    for (; c <= c2; ++c) {
        const double x = v[c];
        l = x < l ? x : l;
        h = x > h ? x : h;
        all = all && x > floor;
    }
    *low = l;
    *high = h;
    return all;
}

__attribute__((target("avx2"))) bool RowAboveWithExtremesAvx2(const double* v, int c1, int c2, double floor,
                                                              double* low, double* high) {
    __m256d lo = _mm256_set1_pd(v[c1]), hi = lo, above = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    const __m256d limit = _mm256_set1_pd(floor);
    int c = c1;
    for (; c + 4 <= c2 + 1; c += 4) {
        const __m256d x = _mm256_loadu_pd(v + c);
        lo = _mm256_min_pd(x, lo);
        hi = _mm256_max_pd(x, hi);
        above = _mm256_and_pd(above, _mm256_cmp_pd(x, limit, _CMP_GT_OQ));
    }
    return EndExtremesAvx2(v, c, c2, floor, lo, hi, above, low, high);
}
#endif

bool RowAboveWithExtremes(const double* v, int c1, int c2, double floor, double* low, double* high) {
#ifdef TALVO_AVX2_PATHS
    if (CpuHasAvx2()) return RowAboveWithExtremesAvx2(v, c1, c2, floor, low, high);
#endif
    return RowAboveWithExtremesPlain(v, c1, c2, floor, low, high);
}

// The running extremes after values c1..c2 of a row whose extremes are rowLow and rowHigh (from
// RowAboveWithExtremes), as a count taking the values one by one leaves them. A row extreme
// of zero that moves the running one is the first zero of the row (of either sign).
double FirstZero(const double* v, int c1, int c2) {
    int c = c1;
    while (c < c2 && v[c] != 0) ++c;
    return v[c];
}
void MergeExtremes(const double* v, int c1, int c2, double rowLow, double rowHigh, double* low, double* high) {
    if (rowLow < *low) *low = rowLow == 0 ? FirstZero(v, c1, c2) : rowLow;
    if (rowHigh > *high) *high = rowHigh == 0 ? FirstZero(v, c1, c2) : rowHigh;
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

// The columns of row r counted into a binary file's statistics, the row's basin columns (all
// columns when it has none); returns the relative cell areas weighting them (none when that
// grid does not hold the row).
const double* StatisticColumns(const modelobject& o, int r, int* c1, int* c2) {
    if (!BasinRange(o, r, c1, c2)) {
        *c1 = 1;
        *c2 = o.ncols;
    }
    const Matrix* area = o.relCellArea;
    return area && area->holds(r) ? (*area)[r] : nullptr;
}

// The place of row r's first value in a binary grid file.
off_t FileRowOffset(const modelobject& o, int r, bool doubles) {
    const off_t values = gridio::kHeaderValues + static_cast<off_t>(r - 1) * o.ncols;
    return values * static_cast<off_t>(doubles ? sizeof(double) : sizeof(float));
}

// Values of a binary file gathered into a block that is written once full, rather than a
// write call per row.
class BlockOutput {
public:
    // False when a block write failed.
    bool Put(std::FILE* f, const double* values, std::size_t n, bool doubles) {
        return doubles ? PutAs(f, values, n, doubles_) : PutAs(f, values, n, floats_);
    }
    bool Flush(std::FILE* f) {
        if (used_ == 0) return true;
        const void* data = bytes_ == sizeof(double) ? static_cast<const void*>(doubles_.values.get())
                                                    : static_cast<const void*>(floats_.values.get());
        const bool written = std::fwrite(data, bytes_, used_, f) == used_;
        used_ = 0;
        return written;
    }

private:
    // A block's values are written before they are read: it is not cleared when made.
    template <typename T>
    struct Block {
        std::unique_ptr<T[]> values;
        std::size_t size = 0;
        void Make(std::size_t n) {
            values.reset(new T[n]);
            size = n;
        }
    };

    template <typename T>
    bool PutAs(std::FILE* f, const double* values, std::size_t n, Block<T>& block) {
        if (block.size == 0) block.Make(std::max(kBlockBytes / sizeof(T), n));
        bool written = true;
        if (used_ + n > block.size) {
            written = Flush(f);
            if (n > block.size) block.Make(n);
        }
        std::transform(values, values + n, block.values.get() + used_, [](double v) { return static_cast<T>(v); });
        used_ += n;
        bytes_ = sizeof(T);
        return written;
    }

    static constexpr std::size_t kBlockBytes = std::size_t{1} << 18;
    Block<float> floats_;
    Block<double> doubles_;
    std::size_t used_ = 0, bytes_ = sizeof(double);
};

// How the weights of columns c1..c2 stand: all above zero (NaN is not), all exactly one (no
// weights: all are one), or neither.
struct WeightsKind {
    bool positive;
    bool unit;
};
WeightsKind ClassifyWeights(const double* weights, int c1, int c2);
template <int G>
bool CountRows(const double* const* rows, const double* weights, WeightsKind kind, int c1, int c2, double floor,
               std::array<double, 5>* stats);
template <int G>
void AddRows(const double* const* rows, int c1, int c2, double* sum, double* squares);
bool AddRowAbove(const double* row, int c1, int c2, double floor, double* low, double* high, double* sum,
                 double* squares);

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
        const auto put = [&](const std::string& text) {
            if (std::fwrite(text.data(), 1, text.size(), f.get()) != text.size()) o_.WriteError(name_, 18);
        };
        std::string formatted;
        if (!ownCells_ && o_.TakeFormattedTextRows(grid_, &formatted)) {
            // The processes have formatted the lines together.
            put(formatted);
        } else {
            // The rows' numbers are formatted by the threads, the lines written in row order.
            FormatRowsInOrder(
                1, o_.nrows, o_.ncols,
                [&](int r, std::string& line) {
                    const bool held = grid_.holds(r);
                    if (held || !ownCells_) {
                        AppendGridTextRow(line, held ? grid_[r] : nullptr, o_.ncols);
                        return;
                    }
                    for (int c = 1; c <= o_.ncols; ++c) {
                        if (c > 1) line += '\t';
                        AppendG(line, o_.nodata);
                    }
                    line += '\n';
                },
                put);
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
            CountCheckedRow(r);
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
        if (gridio::AllFinite(row + 1, cols)) return;
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

    // Row r counted into the statistics, which take it only once every value of the row is
    // known to be finite (a non-finite value stops the run as a check before counting would).
    // A count that took every value of the counted columns as a number above the floor and
    // below infinity has looked at them already: only the columns outside are looked through.
    void CountCheckedRow(int r) {
        int c1 = 1, c2 = o_.ncols;
        const double* weights = StatisticColumns(o_, r, &c1, &c2);
        // The sums in the order of one count per value, the row taken at once where its
        // weights allow (see CountRows).
        std::array<double, 5> stats{o_.statCount, o_.statSum, o_.statSumSquares, o_.statMin, o_.statMax};
        const double* row = grid_[r];
        const double floor = o_.statThreshold + 1;
        bool seen = false;
        if (!CountUnitRow(row, weights, c1, c2, floor, &stats, &seen))
            seen = CountRows<1>(&row, weights, ClassifyWeights(weights, c1, c2), c1, c2, floor, &stats);
        const int cols = o_.ncols;
        if (!seen || !gridio::AllFinite(row + 1, c1 - 1) || !gridio::AllFinite(row + c2 + 1, cols - c2))
            CheckRowFinite(r);
        o_.statCount = stats[0];
        o_.statSum = stats[1];
        o_.statSumSquares = stats[2];
        o_.statMin = stats[3];
        o_.statMax = stats[4];
    }

    // The row counted as CountRows counts a row whose weights are all exactly one once the count
    // is settled on a whole number. False, the statistics left as they were, where the count is
    // not so settled or a weight is not exactly one. seen: whether the count took every value as
    // a finite one (false says nothing).
    static bool CountUnitRow(const double* row, const double* weights, int c1, int c2, double floor,
                             std::array<double, 5>* stats, bool* seen) {
        const double count = (*stats)[0];
        if (!(count > 0 && count == std::trunc(count) && count + (c2 - c1 + 1) <= 9007199254740992.0)) return false;
        if (weights != nullptr && !AllOnes(weights, c1, c2)) return false;
        double sum = (*stats)[1], squares = (*stats)[2], low = (*stats)[3], high = (*stats)[4];
        // A row of values all counted adds them without a test each.
        double rowLow = 0, rowHigh = 0;
        if (c1 <= c2 && AddRowAbove(row, c1, c2, floor, &rowLow, &rowHigh, &sum, &squares)) {
            MergeExtremes(row, c1, c2, rowLow, rowHigh, &low, &high);
            *stats = {count + static_cast<double>(c2 - c1 + 1), sum, squares, low, high};
            // Values above the floor are neither NaN nor minus infinity.
            *seen = rowHigh < std::numeric_limits<double>::infinity();
            return true;
        }
        std::int64_t counted = 0;
        for (int c = c1; c <= c2; ++c) {
            const double x = row[c];
            if (!(x > floor)) continue;
            ++counted;
            sum += x;
            squares += x * x;
            low = x < low ? x : low;
            high = x > high ? x : high;
        }
        *stats = {count + static_cast<double>(counted), sum, squares, low, high};
        return true;
    }

    // A failed block write reports a non-finite cell of a row not yet written first, as a check
    // before writing would have.
    void Put(std::FILE* f, const double* values, std::size_t n, bool doubles) {
        if (!block_.Put(f, values, n, doubles)) WriteFailed();
    }
    void Flush(std::FILE* f) {
        if (!block_.Flush(f)) WriteFailed();
    }
    [[noreturn]] void WriteFailed() {
        CheckFinite();
        o_.WriteError(name_, 18);
    }

    modelobject& o_;
    const Matrix& grid_;
    bool ownCells_;
    std::string name_;
    BlockOutput block_;
};

// Sums of ones for the weights that are not, without a branch per weight.
WeightsKind ClassifyWeightsPlain(const double* weights, int c1, int c2) {
    double s0 = 0, s1 = 0, u0 = 0, u1 = 0;
    int c = c1;
    for (; c + 1 <= c2; c += 2) {
        s0 += weights[c] > 0 ? 0.0 : 1.0;
        s1 += weights[c + 1] > 0 ? 0.0 : 1.0;
        u0 += weights[c] == 1.0 ? 0.0 : 1.0;
        u1 += weights[c + 1] == 1.0 ? 0.0 : 1.0;
    }
    if (c <= c2) {
        s0 += weights[c] > 0 ? 0.0 : 1.0;
        u0 += weights[c] == 1.0 ? 0.0 : 1.0;
    }
    return {s0 + s1 == 0, u0 + u1 == 0};
}

#ifdef TALVO_AVX2_PATHS
// The same four weights at a time (ordered comparisons: a NaN is neither above zero nor one).
__attribute__((target("avx2"))) WeightsKind ClassifyWeightsAvx2(const double* weights, int c1, int c2) {
    const __m256d zero = _mm256_setzero_pd(), one = _mm256_set1_pd(1.0);
    __m256d positive = _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), unit = positive;
    int c = c1;
    for (; c + 4 <= c2 + 1; c += 4) {
        const __m256d w = _mm256_loadu_pd(weights + c);
        positive = _mm256_and_pd(positive, _mm256_cmp_pd(w, zero, _CMP_GT_OQ));
        unit = _mm256_and_pd(unit, _mm256_cmp_pd(w, one, _CMP_EQ_OQ));
    }
    WeightsKind kind{_mm256_movemask_pd(positive) == 15, _mm256_movemask_pd(unit) == 15};
    for (; c <= c2; ++c) {
        kind.positive = kind.positive && weights[c] > 0;
        kind.unit = kind.unit && weights[c] == 1.0;
    }
    return kind;
}
#endif

WeightsKind ClassifyWeights(const double* weights, int c1, int c2) {
    if (weights == nullptr) return {true, true};
#ifdef TALVO_AVX2_PATHS
    if (CpuHasAvx2()) return ClassifyWeightsAvx2(weights, c1, c2);
#endif
    return ClassifyWeightsPlain(weights, c1, c2);
}

// Adds columns c1..c2 of G rows and their squares to each row's running sums, column by column
// in order. The plain way takes the grids one after the other per column; the AVX2 way keeps each
// grid's sum and squares in a lane of their own (two or three grids: the fourth lane of three
// carries nothing), so that a column's values go in with one addition each, the same additions
// in the same order per grid; one grid keeps its sum and squares in two lanes.
template <int G>
void AddRowsPlain(const double* const* rows, int c1, int c2, double* sum, double* squares) {
    for (int c = c1; c <= c2; ++c) {
        for (int g = 0; g < G; ++g) {
            const double x = rows[g][c];
            sum[g] += x;
            squares[g] += x * x;
        }
    }
}

#ifdef TALVO_AVX2_PATHS
// Four values and their squares added in turn (value and square side by side: (x0, q0 | x2, q2)
// and (x1, q1 | x3, q3) taken in the order 0, 1, 2, 3) to the sum and squares lanes of acc.
__attribute__((target("avx2"), always_inline)) inline __m128d AddFourAvx2(__m256d x, __m128d acc) {
    const __m256d q = _mm256_mul_pd(x, x);
    const __m256d even = _mm256_unpacklo_pd(x, q), odd = _mm256_unpackhi_pd(x, q);
    acc = _mm_add_pd(acc, _mm256_castpd256_pd128(even));
    acc = _mm_add_pd(acc, _mm256_castpd256_pd128(odd));
    acc = _mm_add_pd(acc, _mm256_extractf128_pd(even, 1));
    return _mm_add_pd(acc, _mm256_extractf128_pd(odd, 1));
}

// Values c..c2 of v (fewer than four) into the lanes of sum and squares: two at a time, then one.
__attribute__((target("avx2"), always_inline)) inline __m128d AddTailAvx2(const double* v, int c, int c2, __m128d acc) {
    for (; c + 1 <= c2; c += 2) {
        const __m128d x = _mm_loadu_pd(v + c);
        const __m128d q = _mm_mul_pd(x, x);
        acc = _mm_add_pd(acc, _mm_unpacklo_pd(x, q));
        acc = _mm_add_pd(acc, _mm_unpackhi_pd(x, q));
    }
    if (c <= c2) {
        const __m128d x = _mm_load_sd(v + c);
        acc = _mm_add_pd(acc, _mm_unpacklo_pd(x, _mm_mul_sd(x, x)));
    }
    return acc;
}

__attribute__((target("avx2"), always_inline)) inline void StoreSums(__m128d acc, double* sum, double* squares) {
    _mm_storel_pd(sum, acc);
    _mm_storeh_pd(squares, acc);
}

// One grid: the sum in one lane, the squares in the other, four values loaded and squared at
// once and added one after the other (value and square side by side: (x0, q0 | x2, q2) and
// (x1, q1 | x3, q3) taken in the order 0, 1, 2, 3).
__attribute__((target("avx2"))) void AddOneRowAvx2(const double* row, int c1, int c2, double* sum, double* squares) {
    __m128d acc = _mm_set_pd(*squares, *sum);
    int c = c1;
    for (; c + 3 <= c2; c += 4) {
        acc = AddFourAvx2(_mm256_loadu_pd(row + c), acc);
    }
    StoreSums(AddTailAvx2(row, c, c2, acc), sum, squares);
}

__attribute__((target("avx2"))) void AddTwoRowsAvx2(const double* const* rows, int c1, int c2, double* sum,
                                                    double* squares) {
    __m128d s = _mm_loadu_pd(sum), q = _mm_loadu_pd(squares);
    const double* a = rows[0];
    const double* b = rows[1];
    for (int c = c1; c <= c2; ++c) {
        const __m128d x = _mm_loadh_pd(_mm_load_sd(a + c), b + c);
        s = _mm_add_pd(s, x);
        q = _mm_add_pd(q, _mm_mul_pd(x, x));
    }
    _mm_storeu_pd(sum, s);
    _mm_storeu_pd(squares, q);
}

__attribute__((target("avx2"))) void AddThreeRowsAvx2(const double* const* rows, int c1, int c2, double* sum,
                                                      double* squares) {
    __m256d s = _mm256_set_pd(0.0, sum[2], sum[1], sum[0]), q = _mm256_set_pd(0.0, squares[2], squares[1], squares[0]);
    const double* a = rows[0];
    const double* b = rows[1];
    const double* d = rows[2];
    for (int c = c1; c <= c2; ++c) {
        const __m256d x = _mm256_set_m128d(_mm_load_sd(d + c), _mm_loadh_pd(_mm_load_sd(a + c), b + c));
        s = _mm256_add_pd(s, x);
        q = _mm256_add_pd(q, _mm256_mul_pd(x, x));
    }
    alignas(32) double out[4];
    _mm256_store_pd(out, s);
    std::copy(out, out + 3, sum);
    _mm256_store_pd(out, q);
    std::copy(out, out + 3, squares);
}

// Column c of each row into its lane's sum, squares, extremes and test.
__attribute__((target("avx2"), always_inline)) inline void AddColumnAbove(__m128d x, __m128d limit, __m128d& s,
                                                                           __m128d& q, __m128d& lo, __m128d& hi,
                                                                           __m128d& above) {
    s = _mm_add_pd(s, x);
    q = _mm_add_pd(q, _mm_mul_pd(x, x));
    lo = _mm_min_pd(x, lo);
    hi = _mm_max_pd(x, hi);
    above = _mm_and_pd(above, _mm_cmp_pd(x, limit, _CMP_GT_OQ));
}

__attribute__((target("avx2"), always_inline)) inline void AddColumnAbove(__m256d x, __m256d limit, __m256d& s,
                                                                           __m256d& q, __m256d& lo, __m256d& hi,
                                                                           __m256d& above) {
    s = _mm256_add_pd(s, x);
    q = _mm256_add_pd(q, _mm256_mul_pd(x, x));
    lo = _mm256_min_pd(x, lo);
    hi = _mm256_max_pd(x, hi);
    above = _mm256_and_pd(above, _mm256_cmp_pd(x, limit, _CMP_GT_OQ));
}

__attribute__((target("avx2"), always_inline)) inline __m128d TwoAt(const double* a, const double* b, int c) {
    return _mm_loadh_pd(_mm_load_sd(a + c), b + c);
}

__attribute__((target("avx2"), always_inline)) inline __m256d ThreeAt(const double* a, const double* b,
                                                                      const double* d, int c) {
    return _mm256_set_m128d(_mm_load_sd(d + c), _mm_loadh_pd(_mm_load_sd(a + c), b + c));
}

// RowAboveWithExtremes of two or three rows and, where all are above the floor, AddRows of them,
// in one pass over the columns: each grid keeps its sum, squares, extremes and test in a lane of
// its own, the sums taking AddTwoRowsAvx2's and AddThreeRowsAvx2's additions in their order, so
// the results are theirs bit for bit, while each value is loaded once. A row with a value that is
// not above is left after the block of 32 columns it lies in: sum and squares are then as they
// were. The extremes are those of the lanes (equal values other than zeros have equal bits).
__attribute__((target("avx2"))) bool AddTwoRowsAboveAvx2(const double* const* rows, int c1, int c2, double floor,
                                                         double* low, double* high, double* sum, double* squares) {
    const double* a = rows[0];
    const double* b = rows[1];
    __m128d s = _mm_loadu_pd(sum), q = _mm_loadu_pd(squares);
    __m128d lo = TwoAt(a, b, c1), hi = lo, above = _mm_castsi128_pd(_mm_set1_epi64x(-1));
    const __m128d limit = _mm_set1_pd(floor);
    int c = c1;
    for (; c + 32 <= c2 + 1; c += 32) {
        for (int k = 0; k < 32; ++k) AddColumnAbove(TwoAt(a, b, c + k), limit, s, q, lo, hi, above);
        if (_mm_movemask_pd(above) != 3) return false;
    }
    for (; c <= c2; ++c) AddColumnAbove(TwoAt(a, b, c), limit, s, q, lo, hi, above);
    if (_mm_movemask_pd(above) != 3) return false;
    _mm_storeu_pd(sum, s);
    _mm_storeu_pd(squares, q);
    _mm_storeu_pd(low, lo);
    _mm_storeu_pd(high, hi);
    return true;
}

__attribute__((target("avx2"))) bool AddThreeRowsAboveAvx2(const double* const* rows, int c1, int c2, double floor,
                                                           double* low, double* high, double* sum, double* squares) {
    const double* a = rows[0];
    const double* b = rows[1];
    const double* d = rows[2];
    __m256d s = _mm256_set_pd(0.0, sum[2], sum[1], sum[0]), q = _mm256_set_pd(0.0, squares[2], squares[1], squares[0]);
    __m256d lo = ThreeAt(a, b, d, c1), hi = lo, above = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    const __m256d limit = _mm256_set1_pd(floor);
    // The fourth lane carries nothing: only the first three say whether the rows are above.
    int c = c1;
    for (; c + 32 <= c2 + 1; c += 32) {
        for (int k = 0; k < 32; ++k) AddColumnAbove(ThreeAt(a, b, d, c + k), limit, s, q, lo, hi, above);
        if ((_mm256_movemask_pd(above) & 7) != 7) return false;
    }
    for (; c <= c2; ++c) AddColumnAbove(ThreeAt(a, b, d, c), limit, s, q, lo, hi, above);
    if ((_mm256_movemask_pd(above) & 7) != 7) return false;
    alignas(32) double out[4];
    _mm256_store_pd(out, s);
    std::copy(out, out + 3, sum);
    _mm256_store_pd(out, q);
    std::copy(out, out + 3, squares);
    _mm256_store_pd(out, lo);
    std::copy(out, out + 3, low);
    _mm256_store_pd(out, hi);
    std::copy(out, out + 3, high);
    return true;
}
#endif

// RowAboveWithExtremes of each of G rows and, where all are above the floor, AddRows<G> of them:
// true and the rows added when values c1..c2 (at least one) of every row are above floor; false
// leaves sum and squares as they were (low and high are then of no use).
template <int G>
bool AddRowsAbove(const double* const* rows, int c1, int c2, double floor, double* low, double* high, double* sum,
                  double* squares) {
#ifdef TALVO_AVX2_PATHS
    if constexpr (G == 2 || G == 3) {
        if (CpuHasAvx2()) {
            if constexpr (G == 2)
                return AddTwoRowsAboveAvx2(rows, c1, c2, floor, low, high, sum, squares);
            else
                return AddThreeRowsAboveAvx2(rows, c1, c2, floor, low, high, sum, squares);
        }
    }
#endif
    for (int g = 0; g < G; ++g)
        if (!RowAboveWithExtremes(rows[g], c1, c2, floor, &low[g], &high[g])) return false;
    AddRows<G>(rows, c1, c2, sum, squares);
    return true;
}

template <int G>
void AddRows(const double* const* rows, int c1, int c2, double* sum, double* squares) {
#ifdef TALVO_AVX2_PATHS
    if constexpr (G == 1 || G == 2 || G == 3) {
        if (CpuHasAvx2()) {
            if constexpr (G == 1)
                AddOneRowAvx2(rows[0], c1, c2, sum, squares);
            else if constexpr (G == 2)
                AddTwoRowsAvx2(rows, c1, c2, sum, squares);
            else
                AddThreeRowsAvx2(rows, c1, c2, sum, squares);
            return;
        }
    }
#endif
    AddRowsPlain<G>(rows, c1, c2, sum, squares);
}

// One row's RowAboveWithExtremes and, where it is true, AddRows<1> of the row: true and the
// row added to sum and squares when values c1..c2 (at least one) are all above floor; false
// leaves sum and squares as they were (low and high are then of no use). With AVX2 both go in
// one pass over the row, each with the operations of its own pass in the same order, so the
// results are theirs bit for bit: the extremes ride along the chain of additions, which the
// row's values are loaded for once.
#ifdef TALVO_AVX2_PATHS
// Four values into the running extremes, the test against the floor and the sums.
__attribute__((target("avx2"), always_inline)) inline void AddFourAbove(const double* v, __m256d limit, __m256d& lo,
                                                                         __m256d& hi, __m256d& above, __m128d& acc) {
    const __m256d x = _mm256_loadu_pd(v);
    lo = _mm256_min_pd(x, lo);
    hi = _mm256_max_pd(x, hi);
    above = _mm256_and_pd(above, _mm256_cmp_pd(x, limit, _CMP_GT_OQ));
    acc = AddFourAvx2(x, acc);
}

__attribute__((target("avx2"))) bool AddRowAboveAvx2(const double* v, int c1, int c2, double floor, double* low,
                                                     double* high, double* sum, double* squares) {
    __m256d lo = _mm256_set1_pd(v[c1]), hi = lo, above = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    const __m256d limit = _mm256_set1_pd(floor);
    __m128d acc = _mm_set_pd(*squares, *sum);
    int c = c1;
    // A row with a value that is not counted is left after the block of 32 values it lies in:
    // its sums are not used, and the caller counts it value by value.
    for (; c + 32 <= c2 + 1; c += 32) {
        for (int k = 0; k < 32; k += 4) AddFourAbove(v + c + k, limit, lo, hi, above, acc);
        if (_mm256_movemask_pd(above) != 15) return false;
    }
    for (; c + 4 <= c2 + 1; c += 4) AddFourAbove(v + c, limit, lo, hi, above, acc);
    if (!EndExtremesAvx2(v, c, c2, floor, lo, hi, above, low, high)) return false;
    StoreSums(AddTailAvx2(v, c, c2, acc), sum, squares);
    return true;
}
#endif

bool AddRowAbove(const double* row, int c1, int c2, double floor, double* low, double* high, double* sum,
                 double* squares) {
#ifdef TALVO_AVX2_PATHS
    if (CpuHasAvx2()) return AddRowAboveAvx2(row, c1, c2, floor, low, high, sum, squares);
#endif
    if (!RowAboveWithExtremesPlain(row, c1, c2, floor, low, high)) return false;
    AddRowsPlain<1>(&row, c1, c2, sum, squares);
    return true;
}

// Counts columns c1..c2 of G rows into their running statistics value by value side by side:
// each grid takes its values in column order as a row of its own would, while the G chains of
// additions overlap instead of one waiting for the other.
// kind: how the weights of columns c1..c2 stand (see ClassifyWeights). True when the count
// saw every value of columns c1..c2 finite (only rows of values all counted are looked at so);
// false says nothing.
template <int G>
bool CountRows(const double* const* rows, const double* weights, WeightsKind kind, int c1, int c2, double floor,
               std::array<double, 5>* stats) {
    double count[G], sum[G], squares[G], low[G], high[G];
    for (int g = 0; g < G; ++g) {
        count[g] = stats[g][0];
        sum[g] = stats[g][1];
        squares[g] = stats[g][2];
        low[g] = stats[g][3];
        high[g] = stats[g][4];
    }
    // Once every grid has counted a value and the row's weights are all positive, no count can
    // come back to zero: no value of the row is a first one, and the extremes (low <= high since
    // the first) move only past a value strictly beyond them, an equal one leaving them as they
    // are. The row then goes without the test for a first value and without a branch for the
    // extremes; otherwise value by value as a single count takes them.
    bool settled = kind.positive;
    for (int g = 0; g < G; ++g) settled = settled && count[g] > 0;
    // With weights of exactly one a value adds itself and its square (x * 1 is x), and each
    // count adds ones: while a count is a whole number and stays below 2^53 each of these
    // additions is exact, so the row's ones go in at once.
    bool whole = settled && kind.unit;
    for (int g = 0; g < G; ++g)
        whole = whole && count[g] == std::trunc(count[g]) && count[g] + (c2 - c1 + 1) <= 9007199254740992.0;
    // Rows of values all counted (above the floor) add them without a test each; their extremes
    // come from a pass of their own.
    double rowLow[G], rowHigh[G];
    const bool above = whole && c1 <= c2 && AddRowsAbove<G>(rows, c1, c2, floor, rowLow, rowHigh, sum, squares);
    if (above) {
        bool finite = true;
        for (int g = 0; g < G; ++g) {
            count[g] += static_cast<double>(c2 - c1 + 1);
            MergeExtremes(rows[g], c1, c2, rowLow[g], rowHigh[g], &low[g], &high[g]);
            // Values above the floor are neither NaN nor minus infinity.
            finite = finite && rowHigh[g] < std::numeric_limits<double>::infinity();
        }
        for (int g = 0; g < G; ++g) stats[g] = {count[g], sum[g], squares[g], low[g], high[g]};
        return finite;
    } else if (whole) {
        std::int64_t counted[G] = {};
        for (int c = c1; c <= c2; ++c) {
            for (int g = 0; g < G; ++g) {
                const double x = rows[g][c];
                if (!(x > floor)) continue;
                ++counted[g];
                sum[g] += x;
                squares[g] += x * x;
                low[g] = x < low[g] ? x : low[g];
                high[g] = x > high[g] ? x : high[g];
            }
        }
        for (int g = 0; g < G; ++g) count[g] += static_cast<double>(counted[g]);
    } else if (settled) {
        for (int c = c1; c <= c2; ++c) {
            const double w = weights ? weights[c] : 1.0;
            for (int g = 0; g < G; ++g) {
                const double x = rows[g][c];
                if (!(x > floor)) continue;
                count[g] += w;
                sum[g] += x * w;
                squares[g] += x * x * w;
                low[g] = x < low[g] ? x : low[g];
                high[g] = x > high[g] ? x : high[g];
            }
        }
    } else {
        for (int c = c1; c <= c2; ++c) {
            const double w = weights ? weights[c] : 1.0;
            for (int g = 0; g < G; ++g)
                if (rows[g][c] > floor)
                    CountStatisticValue(rows[g][c], w, count[g], sum[g], squares[g], low[g], high[g]);
        }
    }
    for (int g = 0; g < G; ++g) stats[g] = {count[g], sum[g], squares[g], low[g], high[g]};
    return false;
}

// Binary files of several whole grids written in one pass over the rows, as GridWriter writes
// each. Nothing is reported: a fault leaves the files not committed for the caller to write
// one by one, which reports it as a single write does. Rows another process puts into the
// files (Rows with skip) are checked and counted here all the same, only not written.
class GridsWriter {
public:
    GridsWriter(modelobject& o, const std::vector<std::pair<std::string, const Matrix*>>& files, bool doubles)
        : o_(o), doubles_(doubles), files_(files.size()) {
        for (std::size_t k = 0; k < files.size(); ++k) {
            files_[k].name = modelobject::ExpandPath(o.outputPath, files[k].first);
            files_[k].grid = files[k].second;
        }
    }

    // The count of files committed, in order.
    int Write() { return Open() && Rows(nullptr) ? Finish() : 0; }

    // Every file created under its temporary name with its header; false on any fault.
    bool Open() {
        for (std::size_t k = 0; k < files_.size(); ++k) {
            const File& f = files_[k];
            if (f.name.size() > gridio::kMaxFileName || (!f.grid->empty() && f.grid->ncols() < o_.ncols)) return false;
            for (std::size_t j = 0; j < k; ++j)
                if (files_[j].name == f.name) return false;
        }
        for (File& f : files_) {
            f.header = {static_cast<double>(o_.ncols), static_cast<double>(o_.nrows), o_.xllcorner, o_.yllcorner,
                        o_.cellsize, o_.nodata, 0, 0, 0, 0, 0, 0};
            f.file = std::make_unique<ReplacingFile>(f.name, "wb");
            if (!*f.file || !f.block.Put(f.file->get(), f.header.data(), f.header.size(), doubles_)) return false;
        }
        return true;
    }

    // Every row checked and counted; the rows with skip[r] != 0 are left to another writer.
    bool Rows(const std::vector<char>* skip) {
        std::vector<double> nodataRow(static_cast<std::size_t>(o_.ncols), o_.nodata);
        for (int r = 1; r <= o_.nrows; ++r) {
            const bool skipped = skip != nullptr && (*skip)[static_cast<std::size_t>(r)] != 0;
            if (!WriteRow(r, nodataRow, skipped)) return false;
        }
        return true;
    }

    // The statistics into each header, the files committed in order; the count committed.
    int Finish() {
        const double count = o_.statCount, sum = o_.statSum, squares = o_.statSumSquares, low = o_.statMin,
                     high = o_.statMax, threshold = o_.statThreshold;
        int committed = 0;
        for (File& f : files_) {
            std::FILE* out = f.file->get();
            o_.statCount = f.stats[0];
            o_.statSum = f.stats[1];
            o_.statSumSquares = f.stats[2];
            o_.statMin = f.stats[3];
            o_.statMax = f.stats[4];
            o_.GetStatistics(&f.header[6], &f.header[7], &f.header[8], &f.header[9], &f.header[10], &f.header[11]);
            if (!f.block.Flush(out) || std::fseek(out, 6L * (doubles_ ? 8 : 4), SEEK_SET) != 0 ||
                !f.block.Put(out, f.header.data() + 6, 6, doubles_) || !f.block.Flush(out) || std::fflush(out) != 0 ||
                !f.file->Commit())
                break;
            ++committed;
            std::copy(f.header.begin(), f.header.end(), o_.header.begin());
        }
        // The model's statistics are those of the last file committed, as after its single write.
        if (committed == 0) {
            o_.statCount = count;
            o_.statSum = sum;
            o_.statSumSquares = squares;
            o_.statMin = low;
            o_.statMax = high;
            o_.statThreshold = threshold;
        } else {
            const std::array<double, 5>& last = files_[static_cast<std::size_t>(committed - 1)].stats;
            o_.statCount = last[0];
            o_.statSum = last[1];
            o_.statSumSquares = last[2];
            o_.statMin = last[3];
            o_.statMax = last[4];
            o_.statThreshold = o_.nodata;
        }
        return committed;
    }

private:
    struct File {
        std::string name;
        const Matrix* grid = nullptr;
        std::unique_ptr<ReplacingFile> file;
        BlockOutput block;
        std::array<double, 5> stats{};
        std::array<double, gridio::kHeaderValues> header{};
    };

    bool WriteRow(int r, const std::vector<double>& nodataRow, bool skipped) {
        int c1 = 1, c2 = o_.ncols;
        const double* weights = StatisticColumns(o_, r, &c1, &c2);
        const double floor = o_.nodata + 1;
        // Grids holding the row are counted three at a time.
        const double* rows[3];
        std::array<double, 5> stats[3];
        File* counted[3];
        int n = 0;
        const WeightsKind kind = ClassifyWeights(weights, c1, c2);
        // Every value of the row must be finite: the columns outside c1..c2 are looked through
        // first, columns c1..c2 by the count where it sees them all, otherwise after it (a row
        // with a value that is not is left before the file goes on, whatever was counted).
        bool finite = true;
        const int left = std::min(c1 - 1, o_.ncols), right = c1 <= c2 ? o_.ncols - c2 : 0;
        auto count = [&] {
            bool seen = true;
            if (n == 3) seen = CountRows<3>(rows, weights, kind, c1, c2, floor, stats);
            if (n == 2) seen = CountRows<2>(rows, weights, kind, c1, c2, floor, stats);
            if (n == 1) seen = CountRows<1>(rows, weights, kind, c1, c2, floor, stats);
            for (int g = 0; g < n && !seen; ++g) finite = finite && gridio::AllFinite(rows[g] + c1, c2 - c1 + 1);
            for (int g = 0; g < n; ++g) counted[g]->stats = stats[g];
            n = 0;
        };
        for (File& f : files_) {
            if (!f.grid->holds(r)) continue;
            const double* row = (*f.grid)[r];
            if (!gridio::AllFinite(row + 1, left) || !gridio::AllFinite(row + o_.ncols - right + 1, right))
                return false;
            rows[n] = row;
            stats[n] = f.stats;
            counted[n++] = &f;
            if (n == 3) count();
        }
        count();
        if (!finite) return false;
        if (skipped) {
            seekTo_ = true;
            return true;
        }
        for (File& f : files_) {
            std::FILE* out = f.file->get();
            // After rows left to another writer, the block goes out and the file moves to row r.
            if (seekTo_ && (!f.block.Flush(out) || fseeko(out, FileRowOffset(o_, r, doubles_), SEEK_SET) != 0))
                return false;
            const double* values = f.grid->holds(r) ? (*f.grid)[r] + 1 : nodataRow.data();
            if (!f.block.Put(out, values, static_cast<std::size_t>(o_.ncols), doubles_)) return false;
        }
        seekTo_ = false;
        return true;
    }

    modelobject& o_;
    bool doubles_;
    std::vector<File> files_;
    bool seekTo_ = false;
};

// Rows from..to of each grid into its temporary file, created by process 0, at their places in
// the file: converted as the file's values and written with one call per grid. 0 or the code of
// the first fault.
int WriteRowsInto(const modelobject& o, const std::vector<std::pair<std::string, const Matrix*>>& files,
                  bool doubles, int from, int to) {
    if (to < from) return 0;
    const std::size_t count = static_cast<std::size_t>(to - from + 1) * static_cast<std::size_t>(o.ncols);
    std::vector<float> floats;
    std::vector<double> values;
    for (const auto& [fileName, grid] : files) {
        const std::string temporary = ReplacingFile::TemporaryName(modelobject::ExpandPath(o.outputPath, fileName));
        const char* data = nullptr;
        if (doubles) {
            values.resize(count);
            for (int r = from; r <= to; ++r)
                std::copy((*grid)[r] + 1, (*grid)[r] + o.ncols + 1,
                          values.begin() + static_cast<std::ptrdiff_t>(r - from) * o.ncols);
            data = reinterpret_cast<const char*>(values.data());
        } else {
            floats.resize(count);
            for (int r = from; r <= to; ++r)
                std::transform((*grid)[r] + 1, (*grid)[r] + o.ncols + 1,
                               floats.begin() + static_cast<std::ptrdiff_t>(r - from) * o.ncols,
                               [](double v) { return static_cast<float>(v); });
            data = reinterpret_cast<const char*>(floats.data());
        }
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return 18;
        std::size_t left = count * (doubles ? sizeof(double) : sizeof(float));
        off_t at = FileRowOffset(o, from, doubles);
        bool failed = false;
        while (left > 0 && !failed) {
            const ssize_t n = ::pwrite(fd, data, left, at);
            if (n <= 0) {
                failed = n < 0 && errno == EINTR ? false : true;
                continue;
            }
            data += n;
            at += n;
            left -= static_cast<std::size_t>(n);
        }
        if (::close(fd) != 0 || failed) return 18;
    }
    return 0;
}

}  // namespace

// A value times zero is a zero unless the value is infinite or not a number, and a NaN stays in a
// sum: four sums of such products hold the answer without a branch or a comparison per value,
// which lets the compiler take two values per instruction (four with AVX2).
TALVO_HOT_LOOP bool gridio::AllFinite(const double* v, std::ptrdiff_t n) {
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    std::ptrdiff_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += v[i] * 0.0;
        s1 += v[i + 1] * 0.0;
        s2 += v[i + 2] * 0.0;
        s3 += v[i + 3] * 0.0;
    }
    for (; i < n; ++i) s0 += v[i] * 0.0;
    return s0 + s1 + s2 + s3 == 0;
}

void modelobject::WriteGrid(const std::string& fileName, const Matrix& grid, bool text, bool doubleValues) {
    gridio::SignalScope signals(ResetCtrlCHandler);
    GridWriter writer(*this, fileName, grid, false);
    if (text)
        writer.Text();
    else
        writer.Binary(doubleValues);
}

int modelobject::WriteBinaryGrids(const std::vector<std::pair<std::string, const Matrix*>>& files,
                                  bool doubleValues) {
    gridio::SignalScope signals(ResetCtrlCHandler);
    return GridsWriter(*this, files, doubleValues).Write();
}

int modelobject::WriteBinaryGridsShared(const std::vector<std::pair<std::string, const Matrix*>>& files,
                                        bool doubleValues, const std::vector<int>& rows) {
    gridio::SignalScope signals(ResetCtrlCHandler);
    // Process 0 creates the files and tells the others to go on (a broadcast it need not wait
    // in); while they write their rows, it checks and counts every row and writes the rest. It
    // waits only at the end, for the others' outcome, before it commits the files.
    const auto entry = [&](int p, int k) {
        const std::size_t i = 2 * static_cast<std::size_t>(p) + static_cast<std::size_t>(k);
        return i < rows.size() ? rows[i] : (k == 0 ? 1 : 0);
    };
    std::optional<GridsWriter> writer;
    std::vector<char> skip;
    int go = 0;
    if (rank == 0) {
        // Rows claimed twice: nothing is written.
        skip.assign(static_cast<std::size_t>(nrows) + 1, 0);
        bool apart = true;
        for (int p = 1; p < size; ++p)
            for (int r = std::max(entry(p, 0), 1); r <= std::min(entry(p, 1), nrows); ++r) {
                apart = apart && skip[static_cast<std::size_t>(r)] == 0;
                skip[static_cast<std::size_t>(r)] = 1;
            }
        writer.emplace(*this, files, doubleValues);
        go = apart && writer->Open() ? 1 : 0;
    }
    MPI_Bcast(&go, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (go == 0) return 0;
    int failed = 0;
    if (rank == 0) {
        failed = writer->Rows(&skip) ? 0 : 1;
    } else {
        const int from = entry(rank, 0), to = entry(rank, 1);
        const bool held = std::all_of(files.begin(), files.end(), [&](const auto& f) {
            for (int r = from; r <= to; ++r)
                if (!f.second->holds(r) || f.second->ncols() < ncols) return false;
            return true;
        });
        failed = !held || WriteRowsInto(*this, files, doubleValues, from, to) != 0 ? 1 : 0;
    }
    MPI_Reduce(rank == 0 ? MPI_IN_PLACE : &failed, &failed, 1, MPI_INT, MPI_MAX, 0, MPI_COMM_WORLD);
    if (rank != 0 || failed != 0) return 0;
    return writer->Finish();
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
        for (int c = 1; c <= std::min(c1 - 1, cols); ++c) row[c] = nodata;
        for (int c = std::max(c2 + 1, 1); c <= cols; ++c) row[c] = nodata;
    }
    GridWriter writer(*this, fileName, grid, true);
    if (text)
        writer.Text();
    else
        writer.Binary(doubleValues);
}
