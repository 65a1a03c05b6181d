// Reading of grid files: text, binary double or float and GIF, with the measure check, the
// filling of nodata holes and the distribution of the rows over the processes.
#include <mpi.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "kernel/gifreader.hpp"
#include "kernel/gridio.hpp"
#include "kernel/modelobject.hpp"
#include "kernel/mpirows.hpp"

std::string modelobject::ExpandPath(const std::string& prefix, const std::string& name) {
    if (!name.empty() && (name[0] == '/' || name[0] == '~')) return name;
    return prefix + name;
}

namespace gridio {

namespace {
std::string LastChars(const std::string& s, std::size_t n) { return s.size() > n ? s.substr(s.size() - n) : s; }
}  // namespace

int CheckMeasures(const modelobject& o, const std::string& name, std::array<double, kHeaderValues>* header,
                  bool logIt) {
    std::array<double, kHeaderValues>& h = *header;
    h[2] = std::floor(h[2]);
    h[3] = std::floor(h[3]);
    const bool fits = std::floor(h[0]) == o.ncols && std::floor(h[1]) == o.nrows &&
                      std::floor(o.xllcorner) == h[2] && std::floor(o.yllcorner) == h[3] && o.cellsize == h[4] &&
                      !(h[5] > o.nodata);
    if (fits) return 0;
    if (logIt) {
        std::string zoneName;
        if (o.gridStore) zoneName = (*o.gridStore)[1].fileName;
        *o.log << "FATAL: " << name << " has not the specified grid measures (in " << o.moduleName << ")!\n"
               << LastChars(zoneName, 35) << " " << LastChars(name, 35) << "\n"
               << o.ncols << " " << h[0] << "\n"
               << o.nrows << " " << h[1] << "\n"
               << o.xllcorner << " " << h[2] << "\n"
               << o.yllcorner << " " << h[3] << "\n"
               << o.cellsize << " " << h[4] << "\n"
               << o.nodata << " " << h[5] << "[end-entry]";
        // The entry above lists model value and file value line by line; this one says what
        // each line is and which of them differ.
        const char* names[6] = {"columns (ncols)", "rows (nrows)", "lower left x (xllcorner)",
                                "lower left y (yllcorner)", "cell size (cellsize)", "nodata value (nodata_value)"};
        const double model[6] = {static_cast<double>(o.ncols), static_cast<double>(o.nrows), std::floor(o.xllcorner),
                                 std::floor(o.yllcorner), o.cellsize, o.nodata};
        const bool differs[6] = {std::floor(h[0]) != model[0], std::floor(h[1]) != model[1], h[2] != model[2],
                                 h[3] != model[3], h[4] != model[4], h[5] > model[5]};
        *o.log << "ERROR: in the lines above, the first number is the model's (from the zone grid " << zoneName
               << "), the second that of " << name << ":";
        for (int i = 0; i < 6; ++i)
            *o.log << (i == 0 ? " " : ", ") << names[i] << (differs[i] ? " differ" : " agree");
        *o.log << "[end-entry]";
    }
    return 24;
}

}  // namespace gridio

namespace {

using gridio::Format;

struct ReadOptions {
    int fillMode;
    bool allocate, verbose;
    double fillValue;
    bool report, keepWhole, local, halo;
    bool rootOnly = false;  // process 0 keeps the whole grid, nothing is handed out
    // The others hold the cells they own, as after a scatter, and a text grid's shares go
    // straight to the processes that keep them: process 0 needs no whole grid to hand out.
    bool ownRows = false;
};

class GridReader {
public:
    GridReader(modelobject& o, const std::string& fileName, Matrix* target, const ReadOptions& opt)
        : o_(o), fileName_(fileName), target_(target), opt_(opt) {}

    void Run() {
        collective_ = (!opt_.local || opt_.rootOnly) && o_.size > 1;
        reader_ = (opt_.local && !opt_.rootOnly) || o_.rank == 0;
        name_ = modelobject::ExpandPath(o_.inputPath, fileName_);
        int error = 0;
        if (target_ == nullptr || (!opt_.allocate && target_->empty())) {
            *o_.log << "FATAL: error reading grid " << name_
                    << " no memory allocated (pointer given to function is NULL)" << "[end-entry]";
            error = 22;
        }
        if (error == 0 && reader_) error = gridio::Attempt([&] { OpenAndReadHeader(); });
        // One agreement: the first error, and whether any process keeps the whole grid.
        int agreed[2] = {error, opt_.keepWhole ? 1 : 0};
        if (collective_) MPI_Allreduce(MPI_IN_PLACE, agreed, 2, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
        if (agreed[0] != 0) throw ModelError(agreed[0]);
        anyWhole_ = agreed[1] != 0;
        if (collective_) ShareHeader();
        if (gridio::CheckMeasures(o_, name_, &header_, reader_) != 0) throw ModelError(24);
        PlanRows();
        error = gridio::Attempt([&] { PrepareWork(); });
        if (collective_ && !readAll_) {
            error = ReadOwnRowsMpi(error);
        } else if (collective_ && format_ == Format::Text && TextReadInSlices(error)) {
            if (reader_) error = gridio::Attempt([&] {
                if (opt_.fillMode != 0) FillHoles();
                CloseFile();
            });
        } else {
            // Every process learns it together: the shares could not be read, process 0 reads
            // every row itself and hands them out.
            if (direct_) error = gridio::Attempt([&] { ReadWholeInstead(); });
            if (reader_ && error == 0) error = gridio::Attempt([&] {
                ReadValues();
                if (readAll_ && opt_.fillMode != 0) FillHoles();
                CloseFile();
            });
        }
        if (error == 0) error = stripError_;
        gridio::ThrowAgreed(error, collective_);
        if (!opt_.local) Distribute();
        Deliver();
        std::copy(header_.begin(), header_.end(), o_.header.begin());
    }

private:
    void OpenAndReadHeader() {
        if (name_.size() > gridio::kMaxFileName) {
            *o_.log << "FATAL: error opening " << name_ << " (file name longer than 1200 characters)"
                    << "[end-entry]";
            throw ModelError(21);
        }
        OpenWithRetries();
        format_ = gridio::DetectFormat(file_.get(), "ncol", &header_);
        switch (format_) {
            case Format::Text: ReadTextHeader(); break;
            case Format::Gif:
                header_ = {static_cast<double>(o_.ncols), static_cast<double>(o_.nrows), o_.xllcorner, o_.yllcorner,
                           o_.cellsize, o_.nodata, 0, 0, 0, 0, 0, 0};
                break;
            case Format::Double:
            case Format::Float: break;
            case Format::Unknown:
                *o_.log << "FATAL: could not recognise file format (ascii, double or double) for " << name_
                        << "[end-entry]";
                throw ModelError(22);
        }
        if (opt_.verbose) *o_.log << "reading " << name_ << " for " << o_.moduleName << "..." << "[end-entry]";
    }

    void OpenWithRetries() {
        constexpr int kRetries = 5;
        for (int left = kRetries;; --left) {
            file_ = OpenFile(name_, "rb");
            if (file_) return;
            if (left == 0) break;
            // Only the last attempt's failure is the FATAL entry; the retries are warnings.
            *o_.log << "WARNING: error opening " << name_ << ". Will try again in " << 200
                    << " ms... (retriesleft = " << left << ")" << "[end-entry]";
            gridio::GetRetryWait()(left);
        }
        const int reason = errno;
        *o_.log << "FATAL: still error opening " << name_ << " - no retry." << "[end-entry]";
        LogSystemReason(*o_.log, reason);
        throw ModelError(21);
    }

    void ReadTextHeader() {
        scanner_.emplace(file_.get());
        std::string keyword;
        for (int i = 0; i < 6; ++i) {
            if (!scanner_->Token(&keyword) || !scanner_->Number(&header_[static_cast<std::size_t>(i)])) {
                *o_.log << "FATAL: error reading header of ascii grid " << name_ << "[end-entry]";
                throw ModelError(22);
            }
        }
    }

    // Process 0 hands the name, the format and the first six header values to all: the
    // format, the values and the length of the name in one message, then the name.
    void ShareHeader() {
        double shared[8];
        shared[0] = static_cast<double>(format_);
        std::copy(header_.begin(), header_.begin() + 6, shared + 1);
        shared[7] = static_cast<double>(name_.size());
        MPI_Bcast(shared, 8, MPI_DOUBLE, 0, MPI_COMM_WORLD);
        format_ = static_cast<Format>(static_cast<int>(shared[0]));
        if (!reader_) {
            header_.fill(0);
            std::copy(shared + 1, shared + 7, header_.begin());
        }
        name_.resize(static_cast<std::size_t>(shared[7]));
        if (!name_.empty()) MPI_Bcast(name_.data(), static_cast<int>(name_.size()), MPI_CHAR, 0, MPI_COMM_WORLD);
    }

    void PlanRows() {
        const int nrows = o_.nrows;
        const int own1 = std::max(1, o_.firstRow), own2 = std::min(nrows, o_.lastRow);
        keepFrom_ = opt_.halo ? std::max(1, own1 - 1) : own1;
        keepTo_ = opt_.halo ? std::min(nrows, own2 + 1) : own2;
        if (opt_.rootOnly) keepFrom_ = 1, keepTo_ = reader_ ? nrows : 0;
        // Process 0 alone may keep the whole grid (the snow model's slides do): every process must
        // then take the same way, process 0 reading all rows and handing each its own, since the
        // binary way reads the own rows by a collective open that process 0 would not join.
        // (anyWhole_: agreed by every process at the start of the read.)
        readAll_ = format_ == Format::Text || format_ == Format::Gif || opt_.fillMode != 0 || anyWhole_ || opt_.ownRows;
        // The text parsed in shares needs no whole grid anywhere when no hole is filled: every
        // process takes the values of its kept rows from the processes that parsed them.
        direct_ = opt_.ownRows && collective_ && format_ == Format::Text && opt_.fillMode == 0 && opt_.allocate &&
                  mpirows::Distributed(o_);
        if (direct_ && opt_.keepWhole && reader_) keepFrom_ = 1, keepTo_ = nrows;
        if (direct_) {
            workFrom_ = keepFrom_;
            workTo_ = keepTo_;
        } else if (readAll_ && reader_) {
            workFrom_ = 1;
            workTo_ = nrows;
        } else {
            workFrom_ = keepFrom_;
            workTo_ = keepTo_;
        }
    }

    void PrepareWork() {
        // A process reading a text grid gets every cell of its rows from the file (in shares or
        // by its own reading), or the read fails and the rows are dropped or prepared again: only
        // the column before the first takes the nodata value, no pass over the whole grid (nor
        // a clearing of the memory by the allocation).
        if (opt_.allocate && reader_ && format_ == Format::Text) {
            work_ = o_.UnsetMatrix(workFrom_, workTo_, 1, o_.ncols, o_.nrows);
            for (int r = workFrom_; r <= workTo_; ++r) work_[r][0] = o_.nodata;
            return;
        }
        work_ = o_.FilledMatrix(workFrom_, workTo_, 1, o_.ncols, o_.nrows, o_.nodata);
        if (opt_.allocate) return;
        // Cells the file does not give keep the caller's values.
        const int cols = std::min(o_.ncols, target_->ncols());
        for (int r = workFrom_; r <= workTo_; ++r)
            if (target_->holds(r)) std::copy((*target_)[r], (*target_)[r] + cols + 1, work_[r]);
    }

    void ReadValues() {
        switch (format_) {
            case Format::Text: ReadTextValues(); break;
            case Format::Double:
            case Format::Float: ReadBinaryRows(workFrom_, workTo_); break;
            case Format::Gif: ReadGifGrid(o_, name_, work_); break;
            case Format::Unknown: throw ModelError(22);
        }
    }

    // The values parsed in byte shares by a team of threads, from where the scanner stands: when
    // every share holds whole finite numbers only and all together ncols x nrows of them, they are
    // the numbers the scanner would read one after the other, and they fill the rows. False
    // otherwise, the scanner untouched: it then reads the values and names the fault.
    bool ReadTextInShares() {
        std::vector<std::vector<double>> parts;
        const long long from = scanner_->Offset();
        if (!gridio::ParseSharesOnThreads(name_, from, from, -1, &parts)) return false;
        const long long ncols = o_.ncols;
        std::vector<long long> first(parts.size() + 1, 0);
        for (std::size_t i = 0; i < parts.size(); ++i) first[i + 1] = first[i] + static_cast<long long>(parts[i].size());
        if (first.back() != ncols * o_.nrows) return false;
        const int n = static_cast<int>(parts.size());
#pragma omp parallel for schedule(static, 1) num_threads(n) if (n > 1)
        for (int i = 0; i < n; ++i) {
            const double* value = parts[static_cast<std::size_t>(i)].data();
            for (long long k = first[static_cast<std::size_t>(i)]; k < first[static_cast<std::size_t>(i) + 1];) {
                const long long run = std::min(first[static_cast<std::size_t>(i) + 1] - k, ncols - k % ncols);
                std::copy(value, value + run, work_[static_cast<int>(k / ncols) + 1] + k % ncols + 1);
                value += run;
                k += run;
            }
        }
        return true;
    }

    void ReadTextValues() {
        if (ReadTextInShares()) return;
        for (int r = 1; r <= o_.nrows; ++r) {
            double* row = work_[r];
            for (int c = 1; c <= o_.ncols; ++c) {
                if (!scanner_->Number(&row[c])) {
                    *o_.log << "FATAL: error reading ascii grid " << name_ << " in ASCII-Format in row " << r
                            << ", col " << c << "[end-entry]";
                    throw ModelError(22);
                }
            }
            RequireFiniteRow(r, "ascii");
        }
        // Rows may wrap over several lines, so only the count tells a value too many: one extra
        // value in a row would shift every later cell.
        std::string extra;
        if (scanner_->Token(&extra)) {
            *o_.log << "FATAL: error reading ascii grid " << name_ << ": it holds more than ncols x nrows = "
                    << o_.ncols << " x " << o_.nrows << " values (next: " << extra.substr(0, 40) << ")"
                    << "[end-entry]";
            throw ModelError(22);
        }
    }

    // Every process parses about an equal count of the numbers (the bounds placed from samples
    // of the values' density along the file), from its own read of the file, and the keepers gather them in
    // their order: the numbers are the same as process 0's reading of all rows, whose parsing no
    // longer holds up the others. False (on every process) when the
    // shares could not all be read as whole finite numbers, do not hold ncols x nrows numbers
    // together, or on an earlier error: process 0 then reads the values itself and reports what
    // it finds, as with one process.
    bool TextReadInSlices(int error) {
        // One agreement: a process that failed says so, process 0 gives where the values start
        // and where the file ends (the others add nothing to the maxima).
        constexpr long long kNone = std::numeric_limits<long long>::min();
        long long agreed[3] = {error == 0 ? 0 : 1, kNone, kNone};
        if (reader_ && error == 0) {
            agreed[1] = scanner_->Offset();
            // The scanner reads on from where the stream is: it is put back there.
            const off_t at = ftello(file_.get());
            agreed[2] = 0;
            if (at >= 0 && fseeko(file_.get(), 0, SEEK_END) == 0) agreed[2] = static_cast<long long>(ftello(file_.get()));
            if (at < 0 || fseeko(file_.get(), at, SEEK_SET) != 0) agreed[2] = -1;
            if (agreed[2] < agreed[1]) agreed[0] = 1;
        }
        MPI_Allreduce(MPI_IN_PLACE, agreed, 3, MPI_LONG_LONG, MPI_MAX, MPI_COMM_WORLD);
        if (agreed[0] != 0) return false;
        const long long bytes[2] = {agreed[1], agreed[2]};
        const int n = o_.size, nrows = o_.nrows, ncols = o_.ncols;
        const long long span = bytes[1] - bytes[0];
        const auto byteOf = [&](int p) { return bytes[0] + span / n * p + span % n * p / n; };
        // The shares go to the processes in reverse order: the division of the rows gives the
        // first rows to the last process and the last rows to process 0, so most processes
        // parse much of what they keep and fewer values move. Process 0, which receives the most
        // after the parse, takes the file's end: the division gives it the rows with the fewest
        // basin cells, whose long nodata words make the fewest values per byte.
        // Equal shares of the bytes hold unequal work: the basin's rows hold short numbers, many
        // per byte. The values are estimated first, and each process parses about an equal share.
        long long range[2] = {0, 0};
        std::vector<long long> byteShares(static_cast<std::size_t>(n) + 1);
        for (int s = 0; s <= n; ++s) byteShares[static_cast<std::size_t>(s)] = byteOf(s);
        if (!ValueShare(byteShares, range)) return false;
        std::vector<double> mine;
        std::vector<std::vector<double>> parts;
        bool parsed = gridio::ParseSharesOnThreads(name_, bytes[0], range[0], range[1], &parts);
        if (parsed && parts.size() == 1) mine = std::move(parts.front());
        if (parsed && parts.size() > 1) {
            std::size_t count = 0;
            for (const std::vector<double>& part : parts) count += part.size();
            mine.reserve(count);
            for (const std::vector<double>& part : parts) mine.insert(mine.end(), part.begin(), part.end());
        }
        // One gathering: each process's count of values (-1 when its share could not be read)
        // and the rows it keeps (process 0 alone keeps the grid, or each process its rows).
        const long long keep[3] = {parsed ? static_cast<long long>(mine.size()) : -1, direct_ ? keepFrom_ : 1,
                                   direct_ ? keepTo_ : (reader_ ? nrows : 0)};
        std::vector<long long> table(3 * static_cast<std::size_t>(n));
        MPI_Allgather(keep, 3, MPI_LONG_LONG, table.data(), 3, MPI_LONG_LONG, MPI_COMM_WORLD);
        long long total = 0;
        for (int p = 0; p < n; ++p) {
            const long long count = table[3 * static_cast<std::size_t>(p)];
            if (count < 0) return false;
            total += count;
        }
        // Too few or too many values: process 0's own reading names the row and column.
        if (total != static_cast<long long>(nrows) * ncols) return false;
        return ShareToKeepers(table, mine);
    }

    // The bytes [range[0], range[1]) this process parses, so that the shares (in the order of
    // ParsedShare) hold about equal counts of values: every process estimates the values along its
    // share of the bytes (byteShares: where the shares begin, the file's end last) from samples,
    // the estimates are shared and every process places the same bounds from them. Any bounds give
    // the same numbers (a token belongs to the share it begins in); they only even out the work.
    // False (on every process) when a sample could not be read.
    bool ValueShare(const std::vector<long long>& byteShares, long long range[2]) {
        constexpr int kRegions = 64;
        const int n = o_.size, share = ParsedShare(o_.rank);
        const auto bound = [&](int s) { return byteShares[static_cast<std::size_t>(s)]; };
        std::vector<double> estimates;
        if (!gridio::SampleTokenStarts(name_, bound(0), bound(share), bound(share + 1), kRegions, &estimates))
            estimates.assign(kRegions, -1.0);
        std::vector<double> all(static_cast<std::size_t>(n) * kRegions);
        MPI_Allgather(estimates.data(), kRegions, MPI_DOUBLE, all.data(), kRegions, MPI_DOUBLE, MPI_COMM_WORLD);
        // Regions in the file's order: their bytes and estimated values.
        std::vector<long long> from, to;
        std::vector<double> weight;
        from.reserve(all.size());
        to.reserve(all.size());
        weight.reserve(all.size());
        for (int s = 0; s < n; ++s) {
            const long long b = bound(s), span = bound(s + 1) - b;
            for (int i = 0; i < kRegions; ++i) {
                const double w = all[static_cast<std::size_t>(ParsedShare(s)) * kRegions + static_cast<std::size_t>(i)];
                if (w < 0) return false;
                from.push_back(b + span / kRegions * i + span % kRegions * i / kRegions);
                to.push_back(b + span / kRegions * (i + 1) + span % kRegions * (i + 1) / kRegions);
                weight.push_back(w);
            }
        }
        double total = 0;
        for (const double w : weight) total += w;
        // The byte at which the estimated values before it reach part m / n of all.
        const auto place = [&](int m) {
            if (m <= 0) return bound(0);
            if (m >= n) return bound(n);
            const double target = total * m / n;
            double before = 0;
            for (std::size_t r = 0; r < weight.size(); ++r) {
                if (before + weight[r] >= target && weight[r] > 0) {
                    const double into = (target - before) / weight[r];
                    return std::min(to[r], from[r] + static_cast<long long>(into * static_cast<double>(to[r] - from[r])));
                }
                before += weight[r];
            }
            return bound(n);
        };
        range[0] = total > 0 ? place(share) : bound(share);
        range[1] = total > 0 ? place(share + 1) : bound(share + 1);
        return true;
    }

    // Each process's share goes to every process keeping rows of it (table: per process its
    // count of values, first and last kept row); each receives the values of its kept rows in
    // one piece per sender. Process 0 keeps every cell of its rows; the others, reading in shares
    // straight to the keepers, the cells they own, as the scatter from a whole grid gives them
    // (the halo follows). False, before anything moves, when a piece would not fit one message.
    bool ShareToKeepers(const std::vector<long long>& table, const std::vector<double>& mine) {
        const int n = o_.size, me = o_.rank;
        const long long ncols = o_.ncols;
        const auto entry = [&](int p, int k) { return table[3 * static_cast<std::size_t>(p) + static_cast<std::size_t>(k)]; };
        // Values [starts[p], ends[p]) of the grid in row order are those process p parsed.
        std::vector<long long> starts(static_cast<std::size_t>(n), 0), ends(static_cast<std::size_t>(n), 0);
        for (long long s = 0, at = 0; s < n; ++s) {
            const int p = ParsedShare(static_cast<int>(s));
            starts[static_cast<std::size_t>(p)] = at;
            at += entry(p, 0);
            ends[static_cast<std::size_t>(p)] = at;
        }
        // Values [first, last) of the grid in row order that process q keeps.
        const auto keptRange = [&](int q, long long* first, long long* last) {
            const long long from = entry(q, 1), to = entry(q, 2);
            *first = (from - 1) * ncols;
            *last = to >= from ? to * ncols : *first;
        };
        // The values process p parsed that process q keeps: [*a, *b).
        const auto piece = [&](int p, int q, long long* a, long long* b) {
            long long first = 0, last = 0;
            keptRange(q, &first, &last);
            *a = std::max(starts[static_cast<std::size_t>(p)], first);
            *b = std::min(ends[static_cast<std::size_t>(p)], last);
        };
        for (int p = 0; p < n; ++p)
            for (int q = 0; q < n; ++q) {
                long long a = 0, b = 0;
                piece(p, q, &a, &b);
                if (b - a > std::numeric_limits<int>::max()) return false;
            }
        long long myFirst = 0, myLast = 0;
        keptRange(me, &myFirst, &myLast);
        // Process 0 keeps every cell of its rows: the pieces arrive straight into them (an hindexed
        // type over the row pieces of each); the others take their cells from the rows received.
        const bool everyCell = me == 0;
        // Every value of the kept rows arrives (the shares hold the whole grid), so none is set before.
        const auto rows = std::make_unique_for_overwrite<double[]>(everyCell ? 0 : static_cast<std::size_t>(myLast - myFirst));
        const auto at = [&](long long k) {
            return everyCell ? work_[static_cast<int>(k / ncols) + 1] + k % ncols + 1 : rows.get() + (k - myFirst);
        };
        std::vector<MPI_Request> requests;
        std::vector<MPI_Datatype> types;
        requests.reserve(2 * static_cast<std::size_t>(n));
        const long long mineFirst = starts[static_cast<std::size_t>(me)];
        for (int p = 0; p < n; ++p) {
            long long a = 0, b = 0;
            piece(p, me, &a, &b);
            if (a >= b) continue;
            if (p == me) {
                for (long long k = a; k < b;) {
                    const long long run = everyCell ? std::min(b - k, ncols - k % ncols) : b - k;
                    std::copy(mine.data() + (k - mineFirst), mine.data() + (k - mineFirst) + run, at(k));
                    k += run;
                }
                continue;
            }
            requests.emplace_back();
            if (!everyCell) {
                MPI_Irecv(at(a), static_cast<int>(b - a), MPI_DOUBLE, p, 0, MPI_COMM_WORLD, &requests.back());
                continue;
            }
            std::vector<int> lengths;
            std::vector<MPI_Aint> places;
            for (long long k = a; k < b;) {
                const long long run = std::min(b - k, ncols - k % ncols);
                MPI_Aint address = 0;
                MPI_Get_address(at(k), &address);
                lengths.push_back(static_cast<int>(run));
                places.push_back(address);
                k += run;
            }
            MPI_Datatype type;
            MPI_Type_create_hindexed(static_cast<int>(lengths.size()), lengths.data(), places.data(), MPI_DOUBLE, &type);
            MPI_Type_commit(&type);
            types.push_back(type);
            MPI_Irecv(MPI_BOTTOM, 1, type, p, 0, MPI_COMM_WORLD, &requests.back());
        }
        for (int q = 0; q < n; ++q) {
            long long a = 0, b = 0;
            piece(me, q, &a, &b);
            if (a >= b || q == me) continue;
            requests.emplace_back();
            MPI_Isend(mine.data() + (a - mineFirst), static_cast<int>(b - a), MPI_DOUBLE, q, 0, MPI_COMM_WORLD,
                      &requests.back());
        }
        MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
        for (MPI_Datatype& type : types) MPI_Type_free(&type);
        if (everyCell || !direct_) return true;
        std::vector<mpirows::OwnedStrip> strips;
        stripError_ = mpirows::OwnStrips(o_, &strips);
        for (const mpirows::OwnedStrip& s : strips) {
            if (s.row < keepFrom_ || s.row > keepTo_) {
                *o_.log << "FATAL: MPI-Regions: " << name_ << " holds no row " << s.row << " on mpi-rank " << me
                        << "[end-entry]";
                stripError_ = 120;
                break;
            }
            const long long k = (s.row - 1) * ncols + (s.col - 1);
            std::copy(at(k), at(k) + s.len, work_[s.row] + s.col);
        }
        return true;
    }

    // The byte share of the values a process parses (and the process parsing a share).
    int ParsedShare(int process) const { return o_.size - 1 - process; }

    // Process 0 needs the whole grid after all (the shares could not be read).
    void ReadWholeInstead() {
        direct_ = false;
        if (!reader_) return;
        workFrom_ = 1;
        workTo_ = o_.nrows;
        PrepareWork();
    }

    // NaN or an infinite value in a grid file would spread into every grid derived from it.
    int FiniteRowFault(int r, const char* kind) const {
        const double* row = work_[r];
        for (int c = 1; c <= o_.ncols; ++c) {
            if (std::isfinite(row[c])) continue;
            *o_.log << "FATAL: error reading " << kind << " grid " << name_ << ": value " << row[c] << " in row " << r
                    << ", col " << c << " is not a finite number" << "[end-entry]";
            return 22;
        }
        return 0;
    }

    void RequireFiniteRow(int r, const char* kind) const {
        if (FiniteRowFault(r, kind) != 0) throw ModelError(22);
    }

    long long RowOffset(int r) const {
        const long long vs = gridio::ValueSize(format_);
        return (gridio::kHeaderValues + static_cast<long long>(r - 1) * o_.ncols) * vs;
    }

    void ReadBinaryRows(int from, int to) {
        std::vector<float> floats(format_ == Format::Float ? static_cast<std::size_t>(o_.ncols) : 0);
        for (int r = from; r <= to; ++r) {
            bool ok = fseeko(file_.get(), RowOffset(r), SEEK_SET) == 0;
            if (ok && format_ == Format::Double) {
                ok = std::fread(work_[r] + 1, sizeof(double), static_cast<std::size_t>(o_.ncols), file_.get()) ==
                     static_cast<std::size_t>(o_.ncols);
            } else if (ok) {
                ok = std::fread(floats.data(), sizeof(float), floats.size(), file_.get()) == floats.size();
                if (ok) std::copy(floats.begin(), floats.end(), work_[r] + 1);
            }
            if (!ok) {
                *o_.log << "FATAL: error reading double grid " << name_ << "[end-entry]";
                throw ModelError(22);
            }
            RequireFiniteRow(r, format_ == Format::Float ? "float" : "double");
        }
    }

    // Every process reads its own rows through MPI-IO; the open and the close are collective,
    // so every process takes part even after an error of its own.
    int ReadOwnRowsMpi(int error) {
        if (reader_) error = error ? error : gridio::Attempt([&] { CloseFile(); });
        gridio::MpiFile f;
        if (const int opened = f.Open(name_, MPI_MODE_RDONLY); opened != MPI_SUCCESS && error == 0) {
            *o_.log << "FATAL: error reading double grid " << name_ << "[end-entry]";
            LogMpiFileReason(*o_.log, opened);
            error = 22;
        }
        if (error == 0) {
            const MPI_Datatype type = format_ == Format::Float ? MPI_FLOAT : MPI_DOUBLE;
            std::vector<float> floats(format_ == Format::Float ? static_cast<std::size_t>(o_.ncols) : 0);
            for (int r = workFrom_; r <= workTo_ && error == 0; ++r) {
                void* into = format_ == Format::Float ? static_cast<void*>(floats.data()) : work_[r] + 1;
                MPI_Status status;
                int got = 0;
                if (MPI_File_read_at(f.get(), RowOffset(r), into, o_.ncols, type, &status) == MPI_SUCCESS)
                    MPI_Get_count(&status, type, &got);
                if (got != o_.ncols) {
                    *o_.log << "FATAL: error reading double grid " << name_ << "[end-entry]";
                    error = 22;
                } else if (format_ == Format::Float) {
                    std::copy(floats.begin(), floats.end(), work_[r] + 1);
                }
                if (error == 0) error = FiniteRowFault(r, format_ == Format::Float ? "float" : "double");
            }
        }
        if (const int closed = f.Close(); closed != MPI_SUCCESS && error == 0) {
            *o_.log << "FATAL: error closing grid " << name_ << "[end-entry]";
            LogMpiFileReason(*o_.log, closed);
            error = 23;
        }
        return error;
    }

    void CloseFile() {
        if (!file_) return;
        if (std::fclose(file_.release()) != 0) {
            FailOnFile(*o_.log, "error closing grid " + name_, 23);
        }
    }

    void FillHoles();

    // Scatter after a whole read on process 0, keep only the own rows there, exchange halos.
    void Distribute() {
        if (collective_ && readAll_ && !direct_ && mpirows::Distributed(o_))
            mpirows::TransferGrid(o_, work_, mpirows::Direction::Scatter, name_);
        if (reader_ && readAll_ && !opt_.keepWhole && (workFrom_ != keepFrom_ || workTo_ != keepTo_)) {
            Matrix own = o_.matrix(keepFrom_, keepTo_, 1, o_.ncols, o_.nrows);
            for (int r = keepFrom_; r <= keepTo_; ++r) std::copy(work_[r], work_[r] + o_.ncols + 1, own[r]);
            work_ = std::move(own);
            workFrom_ = keepFrom_;
            workTo_ = keepTo_;
        }
        if (opt_.halo) o_.MPIExchangeHalo(0, &work_);
    }

    void Deliver() {
        if (opt_.allocate) {
            *target_ = std::move(work_);
            return;
        }
        const int cols = std::min(o_.ncols, target_->ncols());
        for (int r = workFrom_; r <= workTo_; ++r)
            if (target_->holds(r) && work_.holds(r)) std::copy(work_[r] + 1, work_[r] + cols + 1, (*target_)[r] + 1);
    }

    modelobject& o_;
    std::string fileName_;
    Matrix* target_;
    ReadOptions opt_;
    bool collective_ = false, reader_ = false, readAll_ = false, direct_ = false, anyWhole_ = false;
    int stripError_ = 0;
    std::string name_;
    FileHandle file_;
    Format format_ = Format::Unknown;
    std::array<double, gridio::kHeaderValues> header_{};
    std::optional<gridio::TextScanner> scanner_;
    int workFrom_ = 1, workTo_ = 0, keepFrom_ = 1, keepTo_ = 0;
    Matrix work_;
};

// Nodata holes of the basin get the nearest value of the file (fill mode 1) or the fill
// value (fill mode 2). Replacements are found on the values as read, so a filled cell never
// feeds another hole. Every filling goes to the text log; with report also to the
// diagnostics log, and a hole without a value within 10 cells is fatal.
void GridReader::FillHoles() {
    if (opt_.verbose) *o_.log << "... " << name_ << " checking nodata values and replace" << "[end-entry]";
    const double fileNodata = header_[5];
    const double nodata = o_.nodata;
    for (int r = 1; r <= o_.nrows; ++r)
        for (int c = 1; c <= o_.ncols; ++c)
            if (work_[r][c] == fileNodata) work_[r][c] = nodata;

    const std::string logName = StrFormat("modell_%d.log", o_.rank);
    FileHandle textLog = OpenFile(logName, "a");
    if (!textLog) FailOnFile(*o_.log, "error opening log file " + logName, 5);
    // The lines go to the text log in one piece at the end (or before the failure).
    std::string lines;
    const Matrix* zone = o_.gridStore ? (*o_.gridStore)[1].grid : nullptr;
    struct Filling {
        int r, c;
        double value;
    };
    std::vector<Filling> fillings;
    for (int r = 1; r <= o_.nrows; ++r) {
        if (!zone || !zone->holds(r)) continue;
        for (int c = 1; c <= o_.ncols; ++c) {
            if (work_[r][c] != nodata || (*zone)[r][c] == nodata) continue;
            std::optional<double> found;
            if (opt_.fillMode == 2) found = opt_.fillValue;
            for (int d = 1; d <= 10 && !found; ++d) {
                for (int rr = std::max(1, r - d); rr <= std::min(o_.nrows, r + d) && !found; ++rr) {
                    const bool edgeRow = rr == r - d || rr == r + d;
                    for (int cc = std::max(1, c - d); cc <= std::min(o_.ncols, c + d); ++cc) {
                        if (!edgeRow && cc != c - d && cc != c + d) continue;
                        if (work_[rr][cc] != nodata) {
                            found = work_[rr][cc];
                            break;
                        }
                    }
                }
            }
            if (!found && opt_.report) {
                *o_.log << "FATAL: In " << name_ << " is a too big hole at x/y = " << r << "/" << c << "!"
                        << "[end-entry]";
                lines += StrFormat("In %s is a too big hole at x/y = %d/%d\n!\n", name_.c_str(), r, c);
                WriteTextLog(std::move(textLog), logName, lines);
                throw ModelError(25);
            }
            const double value = found ? *found : opt_.fillValue;
            if (opt_.report) {
                *o_.log << "DEBUG: y: " << r << " x: " << c << "in " << name_ << ": " << nodata << " replaced by "
                        << value << "[end-entry]";
                lines += StrFormat("y: %d x: %d  in %s %lf replaced by %lf!\n", r, c, name_.c_str(), nodata, value);
            }
            fillings.push_back({r, c, value});
        }
    }
    for (const Filling& f : fillings) work_[f.r][f.c] = f.value;
    const long count = static_cast<long>(fillings.size());
    lines += StrFormat("in %s: %ld nodata values replaced!\n\n", name_.c_str(), count);
    WriteTextLog(std::move(textLog), logName, lines);
    *o_.log << "DEBUG: In " << name_ << ": " << count << " nodata values replaced!" << "[end-entry]";
}

}  // namespace

void modelobject::ReadGrid(const std::string& fileName, Matrix* target, int fillMode, bool allocate, bool verbose,
                           double fillValue, bool report, bool keepWhole, bool local, bool halo) {
    gridio::SignalScope signals(DisableCtrlCHandler);
    const ReadOptions opt{fillMode, allocate, verbose, fillValue, report, keepWhole, local, halo};
    GridReader(*this, fileName, target, opt).Run();
}

void modelobject::ReadGridIntoRoot(const std::string& fileName, Matrix* target, double fillValue) {
    gridio::SignalScope signals(DisableCtrlCHandler);
    ReadOptions opt{0, true, false, fillValue, false, true, true, false};
    opt.rootOnly = true;
    GridReader(*this, fileName, target, opt).Run();
}

void modelobject::ReadGridOwnRows(const std::string& fileName, Matrix* target, int fillMode, bool verbose,
                                  double fillValue, bool wholeOnRoot) {
    gridio::SignalScope signals(DisableCtrlCHandler);
    ReadOptions opt{fillMode, true, verbose, fillValue, false, wholeOnRoot, false, true};
    opt.ownRows = true;
    GridReader(*this, fileName, target, opt).Run();
}
