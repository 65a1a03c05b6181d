// Writing of stack files. Text stacks are written by process 0 alone. Binary stacks are
// written by all processes together through MPI-IO: the file is truncated first, process 0
// writes the header, and the cells of the grid are cut into one contiguous range per process
// in file order, so that every byte of the file is written exactly once. Each process writes
// the values of the cells it owns; every other cell of its range (outside the basin) gets
// the nodata value, so the file does not depend on the number of processes.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <numeric>
#include <vector>

#include "kernel/gridio.hpp"
#include "kernel/hotloop.hpp"
#include "kernel/modelobject.hpp"
#include "kernel/replacingfile.hpp"
#include "kernel/rowtext.hpp"
#include "kernel/strhelp.hpp"
#include "kernel/threading.hpp"

namespace {

class StackWriter {
public:
    StackWriter(modelobject& o, const std::string& fileName, const Stack& stack, int levels)
        : o_(o), stack_(stack), levels_(levels), name_(modelobject::ExpandPath(o.outputPath, fileName)) {}

    void Text() {
        if (const int code = CheckArguments(); code != 0) throw ModelError(code);
        ReplacingFile f(name_, "w");
        if (!f) {
            FailOnFile(*o_.log, "error opening " + name_, 26);
        }
        std::fprintf(f.get(),
                     "stack_ncols\t%lg\nnrows\t%lg\nxll\t%lg\nyll\t%lg\ncs\t%lg\nnodata\t%lg\ncnt\t%lg\nmin\t%lg\n"
                     "max\t%lg\nsum\t%lg\naverage\t%lg\nnumlevels\t%lg\n",
                     static_cast<double>(o_.ncols), static_cast<double>(o_.nrows), o_.xllcorner, o_.yllcorner,
                     o_.cellsize, o_.nodata, 0.0, 0.0, 0.0, 0.0, 0.0, static_cast<double>(levels_));
        // The rows' numbers are formatted by the threads, the rows written in order.
        FormatRowsInOrder(
            1, o_.nrows, static_cast<std::int64_t>(o_.ncols) * (levels_ + 1),
            [&](int r, std::string& text) {
                const bool held = stack_.holds(r);
                for (int c = 1; c <= o_.ncols; ++c) {
                    for (int l = 0; l <= levels_; ++l) {
                        AppendG(text, held ? stack_[r][c][l] : o_.nodata);
                        text += '\n';
                    }
                }
            },
            [&](const std::string& text) {
                if (std::fwrite(text.data(), 1, text.size(), f.get()) != text.size()) o_.WriteError(name_, 18);
            });
        if (std::fflush(f.get()) != 0 || std::ferror(f.get())) o_.WriteError(name_, 18);
        if (!f.Commit()) {
            FailOnFile(*o_.log, "error closing " + name_, 27);
        }
        SetHeader();
    }

    void Binary(bool doubles) {
        const bool collective = o_.size > 1;
        doubles_ = doubles;
        gridio::ThrowAgreed(CheckArguments(), collective);
        o_.FindDecompositionGrids();
        // The plan's exchange agrees on its errors too.
        if (const int planned = PlanRange(collective); planned != 0) throw ModelError(planned);
        if (!collective) {
            WriteSerial();
        } else {
            WriteCollective();
        }
        SetHeader();
    }

private:
    int CheckArguments() {
        if (name_.size() > gridio::kMaxFileName) {
            *o_.log << "FATAL: error opening " << name_ << " (file name longer than 1200 characters)" << "[end-entry]";
            return 26;
        }
        if (levels_ < 0 || (!stack_.empty() && (levels_ > stack_.levels() || stack_.ncols() < o_.ncols)) ||
            (static_cast<double>(levels_) + 1) * o_.ncols > INT_MAX) {
            *o_.log << "FATAL: error opening " << name_ << " (" << levels_ << " levels asked, the stack has "
                    << stack_.levels() << ")" << "[end-entry]";
            return 26;
        }
        return CheckFinite();
    }

    // Every value the file would hold is a number: a NaN or infinite value stops the run.
    // The threads look through the rows, a row whose values are all finite at once; only when
    // some row holds another value are the rows walked again in order, cell by cell, for the
    // first one, which is named.
    int CheckFinite() {
        bool allFinite = true;
        const int rows = o_.nrows;
#pragma omp parallel for schedule(static) reduction(&& : allFinite) \
    if (WorthThreads(1, rows, static_cast<std::int64_t>(o_.ncols) * (levels_ + 1)))
        for (int r = 1; r <= rows; ++r) allFinite = (!stack_.holds(r) || RowFinite(r)) && allFinite;
        if (allFinite) return 0;
        for (int r = 1; r <= o_.nrows; ++r) {
            if (!stack_.holds(r) || RowFinite(r)) continue;
            for (int c = 1; c <= o_.ncols; ++c)
                for (int l = 0; l <= levels_; ++l) {
                    const double v = stack_[r][c][l];
                    if (std::isfinite(v)) continue;
                    try {
                        NonFiniteOutputError(*o_.log, name_,
                                             "row " + std::to_string(r) + ", column " + std::to_string(c) +
                                                 ", level " + std::to_string(l),
                                             v, o_.year, o_.month, o_.day, o_.hour);
                    } catch (const ModelError& e) {
                        return e.code();
                    }
                }
        }
        return 0;
    }

    // Whether the written levels of every cell of row r are finite. The stack keeps a row's
    // cells one after the other, all levels each: when every level is written, the row's cells
    // are one block of values.
    bool RowFinite(int r) const {
        const int per = levels_ + 1;
        if (levels_ == stack_.levels())
            return gridio::AllFinite(stack_[r][1], static_cast<std::ptrdiff_t>(o_.ncols) * per);
        bool finite = true;
        for (int c = 1; c <= o_.ncols; ++c)
            finite = gridio::AllFinite(stack_[r][c], per) && finite;
        return finite;
    }

    bool Owned(int r, int c) const {
        const Matrix* regions = o_.mpiRegions;
        if (regions == nullptr) return true;
        return regions->holds(r) && (*regions)[r][c] == o_.rank;
    }

    // The range of cells (row-major, from 0) this process writes: from its first own cell up
    // to the first own cell of the process that follows in file order; the first range starts
    // at the first cell, the last one ends at the last cell. Without the decomposition
    // process 0 writes everything. Returns the largest error code of all processes (collective):
    // every process's first and last own cell and its error travel in one exchange, so each
    // process can tell whether any other's cells run past its range.
    int PlanRange(bool collective) {
        const long long cells = static_cast<long long>(o_.nrows) * o_.ncols;
        long long first = -1, last = -1;
        int error = 0;
        if (o_.mpiRegions != nullptr) {
            // Only the ends are looked for: the first own cell from the front, the last from the
            // back. An own cell in a row the stack lacks is an error; the walk then ends there,
            // at the first such cell in file order.
            const int r0 = std::max(1, o_.firstRow), r1 = std::min(o_.nrows, o_.lastRow);
            auto index = [&](int r, int c) { return static_cast<long long>(r - 1) * o_.ncols + (c - 1); };
            int stop = r1;
            for (int r = r0; r <= r1 && error == 0; ++r) {
                if (stack_.holds(r)) continue;
                for (int c = 1; c <= o_.ncols; ++c) {
                    if (!Owned(r, c)) continue;
                    *o_.log << "FATAL: error writing " << name_ << ": the stack holds no row " << r << " of mpi-rank "
                            << o_.rank << "[end-entry]";
                    error = 26;
                    stop = r;
                    last = index(r, c);
                    break;
                }
            }
            for (int r = r0; r <= stop && first < 0; ++r)
                for (int c = 1; c <= o_.ncols; ++c)
                    if (Owned(r, c)) {
                        first = index(r, c);
                        break;
                    }
            for (int r = r1; r >= r0 && error == 0 && last < 0; --r)
                for (int c = o_.ncols; c >= 1; --c)
                    if (Owned(r, c)) {
                        last = index(r, c);
                        break;
                    }
        }
        // Per process: first own cell, last own cell, error code.
        const std::size_t n = static_cast<std::size_t>(o_.size);
        std::vector<long long> all(3 * n, -1);
        const long long mine[3] = {first, last, error};
        if (collective)
            MPI_Allgather(mine, 3, MPI_LONG_LONG, all.data(), 3, MPI_LONG_LONG, MPI_COMM_WORLD);
        else
            std::copy(mine, mine + 3, all.begin());
        auto firstOf = [&](std::size_t p) { return all[3 * p]; };
        std::vector<int> order;
        for (int p = 0; p < o_.size; ++p)
            if (firstOf(static_cast<std::size_t>(p)) >= 0) order.push_back(p);
        std::sort(order.begin(), order.end(), [&](int a, int b) {
            return firstOf(static_cast<std::size_t>(a)) < firstOf(static_cast<std::size_t>(b));
        });
        long long agreed = 0;
        for (std::size_t p = 0; p < n; ++p) agreed = std::max(agreed, all[3 * p + 2]);
        begin_ = end_ = 0;
        if (o_.mpiRegions == nullptr || order.empty()) {
            if (o_.rank == 0) end_ = cells;
            return static_cast<int>(agreed);
        }
        for (std::size_t i = 0; i < order.size(); ++i) {
            const std::size_t p = static_cast<std::size_t>(order[i]);
            const long long from = i == 0 ? 0 : firstOf(p);
            const long long to = i + 1 < order.size() ? firstOf(static_cast<std::size_t>(order[i + 1])) : cells;
            if (order[i] == o_.rank) {
                begin_ = from;
                end_ = to;
            }
            // A process without an error of its own whose cells do not follow each other.
            if (all[3 * p + 2] == 0 && all[3 * p + 1] >= to) agreed = std::max(agreed, 120LL);
        }
        if (error == 0 && last >= end_) {
            *o_.log << "FATAL: error writing " << name_ << ": the cells of mpi-rank " << o_.rank
                    << " do not follow each other in file order" << "[end-entry]";
        }
        return static_cast<int>(agreed);
    }

    // Values of cells [from, to) of the range in file order, converted to the file's type; their
    // number is count_.
    const void* Values(long long from, long long to) {
        count_ = static_cast<std::size_t>(to - from) * static_cast<std::size_t>(levels_ + 1);
        if (doubles_) {
            values_.resize(count_);
            FillShared(from, to, values_.data());
            return values_.data();
        }
        floats_.resize(count_);
        FillShared(from, to, floats_.data());
        return floats_.data();
    }

    // FillValues by the threads, each a contiguous share of the cells: a cell's values have
    // their place in the buffer whoever converts them.
    template <typename T>
    void FillShared(long long from, long long to, T* out) const {
        const long long per = levels_ + 1;
        if (omp_get_max_threads() < 2 || !WorthThreads((to - from) * per)) {
            FillValues(from, to, out);
            return;
        }
#pragma omp parallel
        {
            const long long n = omp_get_num_threads();
            const long long i = omp_get_thread_num();
            const long long a = from + (to - from) * i / n;
            const long long b = from + (to - from) * (i + 1) / n;
            if (a < b) FillValues(a, b, out + (a - from) * per);
        }
    }

    // The cells of [from, to) a row at a time, with the row's regions looked up once: an own
    // cell gives its levels, any other cell nodata. Neighbouring own cells whose levels are all
    // written lie one after the other in the stack's row block: such a run is converted in one
    // pass.
    template <typename T>
    void FillValues(long long from, long long to, T* out) const {
        const int per = levels_ + 1;
        const bool contiguous = levels_ == stack_.levels();
        const T none = static_cast<T>(o_.nodata);
        const Matrix* regions = o_.mpiRegions;
        const double rank = o_.rank;
        for (long long idx = from; idx < to;) {
            const int r = static_cast<int>(idx / o_.ncols) + 1;
            const int c0 = static_cast<int>(idx % o_.ncols) + 1;
            const long long rowEnd = std::min(to, static_cast<long long>(r) * o_.ncols);
            const int c1 = c0 + static_cast<int>(rowEnd - idx) - 1;
            const bool held = stack_.holds(r);
            // No regions: every held cell is own; regions without the row: none is.
            const double* own = held && regions != nullptr && regions->holds(r) ? (*regions)[r] : nullptr;
            const bool allOwn = held && regions == nullptr;
            auto isOwn = [&](int c) { return allOwn || (own != nullptr && own[c] == rank); };
            for (int c = c0; c <= c1;) {
                if (!isOwn(c)) {
                    std::fill(out, out + per, none);
                    out += per;
                    ++c;
                    continue;
                }
                int last = c;
                if (contiguous)
                    while (last < c1 && isOwn(last + 1)) ++last;
                const double* values = stack_[r][c];
                const std::size_t n = static_cast<std::size_t>(last - c + 1) * static_cast<std::size_t>(per);
                for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<T>(values[i]);
                out += n;
                c = last + 1;
            }
            idx = rowEnd;
        }
    }

    std::array<double, gridio::kHeaderValues> FileHeader() const {
        return {static_cast<double>(o_.ncols), static_cast<double>(o_.nrows), o_.xllcorner, o_.yllcorner,
                o_.cellsize, o_.nodata, 0, 0, 0, 0, 0, static_cast<double>(levels_)};
    }
    const void* HeaderValues() {
        const auto h = FileHeader();
        values_.assign(h.begin(), h.end());
        count_ = values_.size();
        if (doubles_) return values_.data();
        floats_.assign(values_.begin(), values_.end());
        return floats_.data();
    }
    void SetHeader() {
        const auto h = FileHeader();
        std::copy(h.begin(), h.end(), o_.header.begin());
    }

    // Cells per write: at most 65536 values. The buffer they are converted into is made anew
    // for every stack: a small one costs few new pages, and a write call more is cheap.
    long long ChunkCells() const { return std::max(1LL, (1LL << 16) / (levels_ + 1)); }
    std::size_t ValueSize() const { return doubles_ ? 8 : 4; }

    void WriteSerial() {
        ReplacingFile f(name_, "wb");
        if (!f) {
            FailOnFile(*o_.log, "error opening " + name_, 26);
        }
        if (std::fwrite(HeaderValues(), ValueSize(), gridio::kHeaderValues, f.get()) != gridio::kHeaderValues)
            o_.WriteError(name_, 18);
        for (long long at = begin_; at < end_; at += ChunkCells()) {
            const long long to = std::min(end_, at + ChunkCells());
            const void* data = Values(at, to);
            if (std::fwrite(data, ValueSize(), count_, f.get()) != count_) o_.WriteError(name_, 18);
        }
        if (!f.Commit()) {
            FailOnFile(*o_.log, "error closing " + name_, 27);
        }
    }

    int WriteAt(MPI_File fh, long long offset, const void* data, std::size_t count) {
        const MPI_Datatype type = doubles_ ? MPI_DOUBLE : MPI_FLOAT;
        MPI_Status status;
        int written = 0;
        const int result = MPI_File_write_at(fh, offset, data, static_cast<int>(count), type, &status);
        if (result == MPI_SUCCESS) MPI_Get_count(&status, type, &written);
        if (written == static_cast<int>(count)) return 0;
        *o_.log << "FATAL: write error " << name_ << " ! (" << 18 << ")" << "[end-entry]";
        LogMpiFileReason(*o_.log, result);
        return 18;
    }

    void WriteCollective() {
        gridio::MpiFile f;
        int error = 0;
        // Written under the temporary name, renamed over the old file by process 0 once every
        // process has closed it.
        const std::string temporary = ReplacingFile::TemporaryName(name_);
        if (const int opened = f.Open(temporary, MPI_MODE_CREATE | MPI_MODE_WRONLY); opened != MPI_SUCCESS) {
            *o_.log << "FATAL: error opening " << name_ << "[end-entry]";
            LogMpiFileReason(*o_.log, opened);
            error = 26;
        }
        error = gridio::AgreeOnError(error, true);
        if (error != 0) throw ModelError(error);
        // An older, longer file must not keep its tail.
        if (const int truncated = MPI_File_set_size(f.get(), 0); truncated != MPI_SUCCESS) {
            *o_.log << "FATAL: error opening " << name_ << " (cannot truncate)" << "[end-entry]";
            LogMpiFileReason(*o_.log, truncated);
            error = 26;
        }
        MPI_Barrier(MPI_COMM_WORLD);
        if (error == 0 && o_.rank == 0) error = WriteAt(f.get(), 0, HeaderValues(), gridio::kHeaderValues);
        const long long per = levels_ + 1;
        const long long vs = static_cast<long long>(ValueSize());
        for (long long at = begin_; at < end_ && error == 0; at += ChunkCells()) {
            const long long to = std::min(end_, at + ChunkCells());
            const void* data = Values(at, to);
            error = WriteAt(f.get(), (gridio::kHeaderValues + at * per) * vs, data, count_);
        }
        if (const int closed = f.Close(); closed != MPI_SUCCESS && error == 0) {
            *o_.log << "FATAL: error closing " << name_ << "[end-entry]";
            LogMpiFileReason(*o_.log, closed);
            error = 27;
        }
        error = gridio::AgreeOnError(error, true);
        if (o_.rank == 0) {
            if (error != 0) {
                std::remove(temporary.c_str());
            } else if (!CommitTemporary(name_)) {
                const int reason = errno;
                *o_.log << "FATAL: error closing " << name_ << "[end-entry]";
                LogSystemReason(*o_.log, reason);
                error = 27;
            }
        }
        gridio::ThrowAgreed(error, true);
    }

    modelobject& o_;
    const Stack& stack_;
    int levels_;
    std::string name_;
    bool doubles_ = true;
    long long begin_ = 0, end_ = 0;
    std::vector<double> values_;
    std::vector<float> floats_;
    std::size_t count_ = 0;  // values of the last Values or HeaderValues
};

}  // namespace

void modelobject::WriteStack(const std::string& fileName, const Stack& stack, int levels, bool text,
                             bool doubleValues) {
    gridio::SignalScope signals(ResetCtrlCHandler);
    StackWriter writer(*this, fileName, stack, levels);
    if (text) {
        if (rank == 0) writer.Text();
        return;
    }
    writer.Binary(doubleValues);
}
