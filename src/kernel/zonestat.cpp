// Zone statistics tables: accumulation per zone, the row buffer and the table file.
#include "kernel/zonestat.hpp"

#include "kernel/replacingfile.hpp"

#include <mpi.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <new>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/gridio.hpp"
#include "kernel/matrix.hpp"
#include "kernel/signals.hpp"
#include "kernel/valuebound.hpp"
#include "kernel/zonestat_detail.hpp"

namespace zonestat_detail {

SignalScope::SignalScope(After after) : after_(after) { IgnoreCtrlC(); }

SignalScope::~SignalScope() {
    if (after_ == After::Reinstall) {
        ResetCtrlCHandler();
    } else {
        DisableCtrlCHandler();
    }
}

}  // namespace zonestat_detail

using zonestat_detail::SignalScope;

namespace {

int ProcessCount() {
    int initialised = 0;
    MPI_Initialized(&initialised);
    int size = 1;
    if (initialised) MPI_Comm_size(MPI_COMM_WORLD, &size);
    return size;
}

int ProcessRank() {
    int initialised = 0;
    MPI_Initialized(&initialised);
    int rank = 0;
    if (initialised) MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    return rank;
}

}  // namespace

zonalstatistic::zonalstatistic(int* error, DiagLog* log, const Matrix* weights, int nrows, int ncols,
                               zoneFZT* records, int nzones, long outputCode, int decimals,
                               const std::string& fileName, const std::string& pathPrefix, int maxSelected,
                               const std::vector<int>& selectedCodes)
    : log_(log), rank_(ProcessRank()) {
    if (error) *error = 0;
    if (outputCode <= 1000) {
        kind_ = -1;
        ok_ = true;
        return;
    }
    const int code = [&]() -> int {
        try {
            return Construct(weights, nrows, ncols, records, nzones, outputCode, decimals, fileName, pathPrefix,
                             maxSelected, selectedCodes);
        } catch (const std::bad_alloc&) {
            if (log_) *log_ << "FATAL: no free memory in zonalstatistik::zonalstatistik " << "[end-entry]";
            return 1;
        }
    }();
    if (code != 0) {
        // A failed output stays inert, so that a caller that goes on anyway touches nothing.
        kind_ = -1;
        if (error) *error = code;
        return;
    }
    ok_ = true;
}

int zonalstatistic::Construct(const Matrix* weights, int nrows, int ncols, zoneFZT* records, int nzones,
                              long outputCode, int decimals, const std::string& fileName,
                              const std::string& pathPrefix, int maxSelected, const std::vector<int>& selectedCodes) {
    records_ = records;
    weights_ = weights;
    weightRows_ = nrows;
    weightCols_ = ncols;
    nzones_ = std::max(nzones, 0);
    decimals_ = decimals;
    kind_ = static_cast<int>(outputCode / 1000);
    interval_ = static_cast<int>(outputCode % 1000);
    nodata_ = -9999.0;
    if (records_ == nullptr) {
        if (log_) *log_ << "FATAL: no zone records given for the statistics " << fileName << "[end-entry]";
        return 1;
    }
    selected_ = std::clamp(std::min(nzones_, maxSelected), 0, static_cast<int>(selectedCodes.size()));
    selectedCodes_.assign(1, 0);
    selectedCodes_.insert(selectedCodes_.end(), selectedCodes.begin(), selectedCodes.begin() + selected_);

    fileName_ = fileName;
    if (!pathPrefix.empty() && !fileName.empty() && fileName[0] != '/' && fileName[0] != '~')
        fileName_ = pathPrefix + fileName;
    if (fileName_.size() > static_cast<std::size_t>(kFileNameLength)) {
        fileName_.resize(kFileNameLength);
        if (log_)
            *log_ << "WARNING: statistics file name cut to " << kFileNameLength << " characters: " << fileName_
                  << "[end-entry]";
    }
    table_file_.SetName(fileName_);

    // The selected codes must follow the order of the zone records: selected code j is searched
    // from zone position j upward.
    selectedZone_.assign(static_cast<std::size_t>(selected_) + 1, 0);
    for (int j = 1; j <= selected_; ++j) {
        for (int i = j; i <= nzones_; ++i) {
            if (static_cast<long>(records_[i].zonenwert) == selectedCodes_[static_cast<std::size_t>(j)]) {
                selectedZone_[static_cast<std::size_t>(j)] = i;
                break;
            }
        }
        if (selectedZone_[static_cast<std::size_t>(j)] == 0) {
            if (log_)
                *log_ << "\n\n ------ error ------\n\n there is a code in the output list which no zone exists for ("
                      << selectedCodes_[static_cast<std::size_t>(j)] << ")" << "[end-entry]";
            return 1;
        }
    }

    // Row buffer of kBufferBytes, counted as 32 bytes of date and 8 per value.
    long values;
    long rows;
    if (kind_ == 1 || kind_ == 3) {
        values = 1;
        rows = 43690;
    } else if (kind_ == 2 || kind_ == 4) {
        values = nzones_ + 1;
        rows = kBufferBytes / ((nzones_ + 1L) * 8 + 32);
    } else {
        values = selected_ + 1;
        rows = kBufferBytes / ((selected_ + 1L) * 8 + 32);
    }
    capacity_ = static_cast<std::uint64_t>(std::max(rows, 1L));
    valueCount_ = values + 1;
    stride_ = values + 1;
    lastValues_.assign(static_cast<std::size_t>(valueCount_), 0.0);
    secondValues_.assign(static_cast<std::size_t>(valueCount_), 0.0);
    areas_.assign(static_cast<std::size_t>(valueCount_), 0.0);
    codes_.assign(static_cast<std::size_t>(valueCount_), 0);
    title_.clear();

    for (int i = 0; i <= nzones_; ++i) records_[i].n = records_[i].sx = records_[i].RelCellSum = 0;
    if (interval_ >= 2) {
        accN_.assign(static_cast<std::size_t>(nzones_) + 1, 0.0);
        accSx_.assign(static_cast<std::size_t>(nzones_) + 1, 0.0);
        accRel_.assign(static_cast<std::size_t>(nzones_) + 1, 0.0);
    }
    return 0;
}

zonalstatistic::~zonalstatistic() { Unregister(); }

// The table file keeps the table of the run before until this run's first rows (TableFile).
void zonalstatistic::Open(const char* mode) {
    out_ = table_file_.Open(mode[0] == 'a');
    if (out_ == nullptr) {
        const int reason = errno;
        if (log_) {
            *log_ << "FATAL: error opening \n" << fileName_ << "[end-entry]";
            LogSystemReason(*log_, reason);
        }
        throw ModelError(15);
    }
}

void zonalstatistic::Close() {
    if (out_ == nullptr) return;
    out_ = nullptr;
    // A write that failed (a full disk) shows up here: the table is not complete, and the old
    // one stays.
    if (!table_file_.Close()) {
        const int reason = errno;
        if (log_) {
            *log_ << "FATAL: cannot close " << fileName_ << "[end-entry]";
            LogSystemReason(*log_, reason);
        }
        throw ModelError(16);
    }
}

int zonalstatistic::ZoneColumns() const {
    if (kind_ == 2 || kind_ == 4) return nzones_;
    if (kind_ == 5 || kind_ == 6) return selected_;
    return 0;
}

int zonalstatistic::ColumnZone(int j) const {
    if (kind_ == 2 || kind_ == 4) return j;
    if (kind_ == 5 || kind_ == 6) return selectedZone_[static_cast<std::size_t>(j)];
    return 0;
}

double zonalstatistic::RecordMean(const zoneFZT& z) {
    // A zone without weight has no mean; the table shows 0 for it.
    return (z.n > 0 && z.RelCellSum != 0) ? z.sx / z.RelCellSum : 0.0;
}

void zonalstatistic::AddValue(int row, int column, int zone, double value, double weight) {
    if (!active() || zone < 0 || zone > nzones_) return;
    const bool weighed = row >= 1 && row <= weightRows_ && column >= 1 && column <= weightCols_ &&
                         weights_ != nullptr && weights_->holds(row);
    AddWeighted(records_[zone], value, weight, weighed ? &(*weights_)[row][column] : nullptr, nodata_);
}

zonalstatistic::RowAdder zonalstatistic::Row(int row) const {
    RowAdder adder;
    if (!active()) return adder;
    adder.records_ = records_;
    adder.nzones_ = nzones_;
    adder.nodata_ = nodata_;
    if (row >= 1 && row <= weightRows_ && weights_ != nullptr && weights_->holds(row)) {
        adder.weights_ = (*weights_)[row];
        adder.columns_ = weightCols_;
    }
    return adder;
}

void zonalstatistic::SetMissingAsNodata(bool on) {
    missingAsNodata_ = on;
    validSteps_.assign(static_cast<std::size_t>(nzones_) + 1, 0);
    referenceWeight_.assign(static_cast<std::size_t>(nzones_) + 1, 0.0);
}

void zonalstatistic::NoteValidZones() {
    for (int i = 0; i <= nzones_; ++i) {
        zoneFZT& z = records_[i];
        const auto k = static_cast<std::size_t>(i);
        if (!(z.n > 0) || z.RelCellSum == 0) continue;
        ++validSteps_[k];
        if (!SumsSteps()) continue;
        // Equal weights keep the plain sum; a step with fewer valid cells counts with its mean.
        if (referenceWeight_[k] == 0) {
            referenceWeight_[k] = z.RelCellSum;
        } else if (z.RelCellSum != referenceWeight_[k]) {
            z.sx *= referenceWeight_[k] / z.RelCellSum;
            z.RelCellSum = referenceWeight_[k];
        }
    }
}

void zonalstatistic::KeepIntervalWeights() {
    if (!SumsSteps()) return;
    for (int i = 0; i <= nzones_; ++i) {
        zoneFZT& z = records_[i];
        const auto k = static_cast<std::size_t>(i);
        if (z.RelCellSum != 0 || referenceWeight_[k] == 0) continue;
        z.RelCellSum = referenceWeight_[k];
        z.n = 1;
    }
}

void zonalstatistic::Reset() {
    if (!active()) return;
    ++stepCounter_;
    for (int i = 0; i <= nzones_; ++i) records_[i].n = records_[i].sx = records_[i].RelCellSum = 0;
}

void zonalstatistic::AddIntervalTotals() {
    const bool allFields = kind_ == 1 || kind_ == 2 || kind_ == 5;
    for (int i = 0; i <= nzones_; ++i) {
        const auto k = static_cast<std::size_t>(i);
        records_[i].sx += accSx_[k];
        if (allFields) {
            records_[i].n += accN_[k];
            records_[i].RelCellSum += accRel_[k];
        }
    }
}

void zonalstatistic::SaveIntervalTotals() {
    for (int i = 0; i <= nzones_; ++i) {
        const auto k = static_cast<std::size_t>(i);
        accSx_[k] = records_[i].sx;
        accN_[k] = records_[i].n;
        accRel_[k] = records_[i].RelCellSum;
    }
}

void zonalstatistic::ClearIntervalTotals() {
    std::fill(accN_.begin(), accN_.end(), 0.0);
    std::fill(accSx_.begin(), accSx_.end(), 0.0);
    std::fill(accRel_.begin(), accRel_.end(), 0.0);
}

void zonalstatistic::OpenRow(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour) {
    valuesInRow_ = 0;
    ++rowsInBuffer_;
    rowDates_.push_back(RowDate{year, month, day, hour});
    rowValues_.resize(static_cast<std::size_t>(rowsInBuffer_) * static_cast<std::size_t>(stride_), 0.0);
    lastDate_ = RowDate{year, month, day, hour};
}

void zonalstatistic::Append(double value) {
    if (valuesInRow_ + 1 >= static_cast<std::uint64_t>(stride_)) return;
    ++valuesInRow_;
    // A table row holds numbers only: a NaN or infinite value stops the run.
    if (!std::isfinite(value) && log_ != nullptr)
        NonFiniteOutputError(*log_, fileName_, "column " + std::to_string(valuesInRow_), value, lastDate_.year,
                             lastDate_.month, lastDate_.day, lastDate_.hour);
    const std::size_t row = static_cast<std::size_t>(rowsInBuffer_ - 1) * static_cast<std::size_t>(stride_);
    rowValues_[row + valuesInRow_] = value;
    if (valuesInRow_ < lastValues_.size()) lastValues_[valuesInRow_] = value;
}

void zonalstatistic::AppendZone(int zone, double value) {
    if (kind_ == 2 || kind_ == 4) {
        Append(value);
    } else if (kind_ == 5 || kind_ == 6) {
        if (valuesInRow_ < static_cast<std::uint64_t>(selected_) &&
            static_cast<long>(records_[zone].zonenwert) == selectedCodes_[valuesInRow_ + 1])
            Append(value);
    }
}

void zonalstatistic::Step(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour, int reduce) {
    if (!active()) return;
    if (reduce > 0) ReduceZoneRecords(records_, nzones_, true);
    Advance(year, month, day, hour, reduce > 0);
}

void zonalstatistic::StepReduced(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour) {
    if (!active()) return;
    Advance(year, month, day, hour, true);
}

void ReduceStatisticsTogether(std::span<zonalstatistic* const> stats) {
    std::vector<zoneFZT*> records;
    std::vector<int> highest;
    for (const zonalstatistic* s : stats) {
        if (s == nullptr || !s->active()) continue;
        records.push_back(s->records());
        highest.push_back(s->zoneCount());
    }
    ReduceZoneRecordSets(records, highest, true);
}

void zonalstatistic::StepFilledOnRoot(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour) {
    if (!active()) return;
    // The reduction starts every total at 0 and adds the records of the processes in turn: with
    // zeros beyond process 0 a total is 0 + the value of process 0 (which turns -0 into 0).
    for (int i = 0; i <= nzones_; ++i) {
        zoneFZT& z = records_[i];
        z.n = rank_ == 0 ? 0.0 + z.n : 0.0;
        z.sx = rank_ == 0 ? 0.0 + z.sx : 0.0;
        z.RelCellSum = rank_ == 0 ? 0.0 + z.RelCellSum : 0.0;
    }
    Advance(year, month, day, hour, true);
}

void zonalstatistic::Advance(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour,
                             bool reduced) {
    if (rank_ != 0) return;
    if (missingAsNodata_) NoteValidZones();
    if (interval_ >= 2) AddIntervalTotals();
    if (missingAsNodata_) KeepIntervalWeights();
    const bool rowDue = stepCounter_ == interval_;
    if (rowDue) OpenRow(year, month, day, hour);
    double basinSum = 0, basinWeight = 0;
    for (int i = 1; i <= nzones_; ++i) {
        double mean = RecordMean(records_[i]);
        if (missingAsNodata_ && validSteps_[static_cast<std::size_t>(i)] == 0) mean = nodata_;
        basinSum += records_[i].sx;
        basinWeight += records_[i].RelCellSum;
        if (rowDue) AppendZone(i, mean);
    }
    mean_ = basinWeight > 0 ? basinSum / basinWeight : (missingAsNodata_ ? nodata_ : 0.0);
    if (interval_ >= 2) SaveIntervalTotals();
    if (!rowDue) return;
    Append(mean_);
    if (interval_ >= 2) ClearIntervalTotals();
    if (missingAsNodata_) {
        std::fill(validSteps_.begin(), validSteps_.end(), 0);
        std::fill(referenceWeight_.begin(), referenceWeight_.end(), 0.0);
    }
    stepCounter_ = 0;
    if (rowsInBuffer_ < capacity_) return;
    // After a step that every process took part in (reduce), process 0 alone would stop here:
    // the others would wait for it in their next exchange. Its failure stops them all at the next
    // common point instead; the table is not written again.
    if (reduced && ProcessCount() > 1) {
        if (const int code = gridio::Attempt([&] { FlushBuffer(); }); code != 0) {
            ok_ = false;
            rowsInBuffer_ = 0;
            rowDates_.clear();
            rowValues_.clear();
            DeferFailure(code);
        }
        return;
    }
    FlushBuffer();
}

void zonalstatistic::FlushBuffer() {
    if (!active() || rowsInBuffer_ == 0) return;
    SignalScope signals(SignalScope::After::Reinstall);
    if (log_) *log_ << "write " << fileName_;
    Open("a+");
    std::FILE* f = out_;
    const int columns = Columns();
    for (std::uint64_t r = 0; r < rowsInBuffer_; ++r) {
        const RowDate& d = rowDates_[r];
        std::fprintf(f, "%2ld\t%2ld\t%2ld\t%2ld", static_cast<long>(d.year), static_cast<long>(d.month),
                     static_cast<long>(d.day), static_cast<long>(d.hour));
        const double* values = rowValues_.data() + r * static_cast<std::uint64_t>(stride_);
        for (int j = 1; j <= columns; ++j) {
            if (decimals_ < 99) {
                std::fprintf(f, "\t%.*f", decimals_, values[j]);
            } else {
                std::fprintf(f, "\t%.6g", values[j]);
            }
        }
        std::fputc('\n', f);
    }
    Close();
    if (log_)
        *log_ << "(" << static_cast<long>((valueCount_ * 8 + 32) * static_cast<std::int64_t>(rowsInBuffer_)) << " of "
              << kBufferBytes << " buffer-bytes)" << "[end-entry]";
    rowsInBuffer_ = 0;
    valuesInRow_ = 0;
    rowDates_.clear();
    rowValues_.clear();
}

int zonalstatistic::FindFreeEntry(OutputCodeEntry* table, int tableSize, int from) const {
    if (table != nullptr) {
        for (int i = std::max(from, 0); i < tableSize; ++i) {
            if (table[i].isFree()) return i;
        }
    }
    if (log_)
        *log_ << "WARNING: the table of statistics outputs is full (" << tableSize << " entries), "
              << fileName_ << " is not registered" << "[end-entry]";
    return -1;
}

void zonalstatistic::Register(OutputCodeEntry* table, int index) {
    OutputCodeEntry& e = table[index];
    e.year = lastDate_.year;
    e.month = lastDate_.month;
    e.day = lastDate_.day;
    e.hour = lastDate_.hour;
    e.valueCount = valueCount_;
    e.lastValues = lastValues_.data();
    e.secondValues = secondValues_.data();
    e.areas = areas_.data();
    e.title = &title_;
    e.codes = codes_.data();
    table_ = table;
    tableIndex_ = index;
}

void zonalstatistic::Unregister() {
    if (table_ != nullptr && tableIndex_ >= 0) table_[tableIndex_] = OutputCodeEntry{};
    tableIndex_ = -1;
}

void zonalstatistic::WriteText(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), out_);
}

void zonalstatistic::SetTitle(const std::string& gridName, const std::string& subModelName) {
    const std::string full = gridName + "_submodel:" + subModelName;
    WriteText(full + "\n");
    title_ = full.substr(0, kTitleLength - 1);
}

void zonalstatistic::WriteZoneCodes() {
    WriteText("YY\tMM\tDD\tHH");
    for (int j = 1; j <= ZoneColumns(); ++j) {
        const auto k = static_cast<std::size_t>(j);
        const double code = records_[ColumnZone(j)].zonenwert;
        WriteText(StrFormat("\t\"%.0lf\"", code));
        lastValues_[k] = 0;
        secondValues_[k] = 0;
        codes_[k] = static_cast<std::int64_t>(code);
    }
}

int zonalstatistic::WriteHeader(const std::string& gridName, const std::string& subModelName,
                                OutputCodeEntry* table, int tableSize) {
    if (!active() || rank_ != 0) return -1;
    SignalScope signals(SignalScope::After::Default);
    Open("wt");
    const int index = FindFreeEntry(table, tableSize, 0);
    if (index >= 0 && !lastValues_.empty()) Register(table, index);

    WriteZoneCodes();
    WriteText("\ttot_average\n");
    SetTitle(gridName, subModelName);
    WriteText("--\t--\t--\t--");
    const int columns = ZoneColumns();
    for (int j = 1; j <= columns; ++j) {
        const double rel = records_[ColumnZone(j)].rel;
        WriteText(StrFormat("\t%.7lf", rel));
        areas_[static_cast<std::size_t>(j)] = rel;
    }
    const auto total = static_cast<std::size_t>(columns) + 1;
    if (total < lastValues_.size()) {
        lastValues_[total] = 0;
        secondValues_[total] = 0;
        codes_[total] = 0;
        areas_[total] = 1.0;
    }
    WriteText("\t1.0000\n");
    Close();
    return index;
}

void zonalstatistic::Release() {
    if (released_) return;
    // Before the normal end of a run (a run that failed), a table that holds only its header
    // is dropped and the table of the run before stays; a table that this run has already put
    // in place gets its last rows.
    if (NormalEndPending()) {
        if (active() && rowsInBuffer_ > 0 && ok_ && !table_file_.pending()) FlushBuffer();
    } else {
        if (active() && rowsInBuffer_ > 0 && ok_) FlushBuffer();
        if (active() && !table_file_.Finish()) {
            const int reason = errno;
            if (log_) {
                *log_ << "FATAL: cannot close " << fileName_ << "[end-entry]";
                LogSystemReason(*log_, reason);
            }
            throw ModelError(16);
        }
    }
    Unregister();
    released_ = true;
    kind_ = -1;
    rowDates_ = {};
    rowValues_ = {};
    lastValues_ = {};
    secondValues_ = {};
    areas_ = {};
    codes_ = {};
    selectedZone_ = {};
    accN_ = {};
    accSx_ = {};
    accRel_ = {};
}
