// Dated text tables read block by block.
#include "kernel/tstable.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"

namespace {

bool IsDigit(int c) { return c >= '0' && c <= '9'; }

bool IsBlankLine(const std::string& line) {
    return std::all_of(line.begin(), line.end(),
                       [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; });
}

// Reads the four date integers at the start of a row. Numbers are taken the way formatted
// reads take them: each ends where its text stops being a number.
bool ReadDate(const char*& p, std::int64_t* fields) {
    for (int i = 0; i < 4; ++i) {
        char* end = nullptr;
        const long long v = std::strtoll(p, &end, 10);
        if (end == p) return false;
        fields[i] = v;
        p = end;
    }
    return true;
}

// Reads the next number of a row; false when none follows.
bool ReadNumber(const char*& p, double* value) {
    char* end = nullptr;
    const double v = std::strtod(p, &end);
    if (end == p) return false;
    *value = v;
    p = end;
    return true;
}

}  // namespace

TimeSeriesTable::TimeSeriesTable(const std::string& fileName, int mode, std::uint64_t budget, DiagLog* log) {
    Open(fileName, mode, budget, log);
}

void TimeSeriesTable::Fail(int code, const char* what) {
    state_ = kFormatError;
    if (log_) *log_ << "FATAL: time-series table " << fileName_ << what << "[end-entry]";
    throw ModelError(code);
}

std::int64_t TimeSeriesTable::Open(const std::string& fileName, int mode, std::uint64_t budget, DiagLog* log) {
    if (state_ != kNotOpened) return 0;
    fileName_ = fileName;
    mode_ = mode;
    budget_ = budget;
    log_ = log;

    std::ifstream in(fileName_, std::ios::binary);
    if (!in.is_open()) {
        openError_ = errno;
        state_ = kCannotOpen;
        return 0;
    }

    // Header: every line up to the first one that begins with a digit.
    std::int64_t headerLines = 0;
    std::string line;
    while (!IsDigit(in.peek())) {
        if (!std::getline(in, line)) {
            state_ = kFormatError;
            return headerLines;
        }
        ++headerLines;
    }
    const std::streamoff first = in.tellg();
    if (!in || first < 0) Fail(202, ": the data rows after the header cannot be read");
    nextRowPosition_ = first;

    // The first data row fixes the number of value columns.
    std::getline(in, line);
    const char* p = line.c_str();
    std::int64_t date[4];
    if (!ReadDate(p, date)) Fail(201, ": the first data row has no year, month, day and hour");
    double value = 0.0;
    columns_ = 0;
    while (ReadNumber(p, &value)) ++columns_;
    in.clear();
    in.seekg(0, std::ios::end);
    fileSize_ = in.tellg();
    in.close();
    afterLastValue_ = first;
    rowsBefore_ = 0;

    const std::uint64_t rowBytes = static_cast<std::uint64_t>(columns_) * 8 + 16;
    rowsPerBlock_ = static_cast<std::int64_t>(std::max<std::uint64_t>(1, budget_ / rowBytes));

    state_ = kMoreRows;
    LoadBlock();
    return headerLines;
}

void TimeSeriesTable::LoadBlock() {
    if (state_ != kMoreRows) return;
    cursor_ = -1;
    rowsInBlock_ = 0;
    dates_.clear();
    values_.clear();

    std::ifstream in(fileName_, std::ios::binary);
    if (!in.is_open() || !in.seekg(nextRowPosition_)) {
        state_ = kFormatError;
        return;
    }

    // Rows are read line by line; blank lines are no rows. Fewer than 10 bytes left after the
    // last value of a row are no row either: the data end there (a closing mark such as "end").
    std::string line;
    bool ended = false;
    std::int64_t loaded = 0;
    const auto columns = static_cast<std::size_t>(columns_);
    const auto dataEnd = [&] { return fileSize_ - afterLastValue_ < 10; };
    while (loaded < rowsPerBlock_) {
        const std::streamoff start = in.tellg();
        if (dataEnd() || !std::getline(in, line)) {
            ended = true;
            break;
        }
        if (IsBlankLine(line)) continue;
        const char* p = line.c_str();
        std::int64_t f[4] = {};
        bool ok = ReadDate(p, f);
        const std::size_t base = values_.size();
        values_.resize(base + columns);
        for (std::size_t c = 0; ok && c < columns; ++c) ok = ReadNumber(p, &values_[base + c]);
        double extra = 0.0;
        if (ok && ReadNumber(p, &extra)) ok = false;
        if (!ok) {
            // The rows before the bad one stay available; the state tells the caller. Past the
            // first block the caller has taken the table as readable: the entry names the row
            // from which on the table ends.
            values_.resize(base);
            state_ = kFormatError;
            if (rowsBefore_ > 0 && log_)
                *log_ << "WARNING: data row " << rowsBefore_ + loaded + 1 << " of " << fileName_
                      << " cannot be read as a date and " << columns_ << (columns_ == 1 ? " value" : " values")
                      << ": the table ends before it" << "[end-entry]";
            rowsInBlock_ = loaded;
            cursor_ = loaded > 0 ? 0 : -1;
            return;
        }
        afterLastValue_ = start + (p - line.c_str());
        dates_.push_back(RowDate{f[0], f[1], f[2], f[3]});
        ++loaded;
    }

    // Look ahead for the next row, so that a block ending exactly at the end of the data is
    // known to be the last one and no empty block is ever loaded.
    while (!ended) {
        const std::streamoff pos = in.tellg();
        if (dataEnd() || !std::getline(in, line)) {
            ended = true;
        } else if (!IsBlankLine(line)) {
            nextRowPosition_ = pos;
            break;
        }
    }

    state_ = ended ? kLastBlock : kMoreRows;
    rowsBefore_ += loaded;
    rowsInBlock_ = loaded;
    cursor_ = loaded > 0 ? 0 : -1;
}

void TimeSeriesTable::Reload() {
    if (state_ == kMoreRows) LoadBlock();
}

void TimeSeriesTable::SetRow(std::int64_t row) {
    if (row >= -1 && row <= rowsInBlock_) cursor_ = row;
}

void TimeSeriesTable::MoveRow(std::int64_t offset) {
    // Compared against the distances to both ends so that no sum can overflow.
    if (offset >= -1 - cursor_ && offset <= rowsInBlock_ - cursor_) cursor_ += offset;
}

void TimeSeriesTable::NextRow() {
    if (cursor_ < rowsInBlock_ - 1) {
        ++cursor_;
    } else if (state_ == kMoreRows) {
        LoadBlock();
    } else if (state_ == kLastBlock || state_ == kFormatError) {
        // Past the last row, or past the last readable one: a caller never reads a row twice.
        state_ = kAtEnd;
    }
}

void TimeSeriesTable::GetDate(int& year, int& month, int& day, int& hour) const {
    if (!OnRow()) {
        year = month = day = hour = 0;
        return;
    }
    const RowDate& d = dates_[static_cast<std::size_t>(cursor_)];
    year = static_cast<int>(d.year);
    month = static_cast<int>(d.month);
    day = static_cast<int>(d.day);
    hour = static_cast<int>(d.hour);
}

double TimeSeriesTable::GetValue(std::int64_t column) const {
    if (!OnRow() || column < 0 || column >= columns_) return kNoValue;
    return values_[static_cast<std::size_t>(cursor_ * columns_ + column)];
}

void TimeSeriesTable::Clear() {
    std::vector<RowDate>().swap(dates_);
    std::vector<double>().swap(values_);
    cursor_ = -1;
    rowsInBlock_ = 0;
    rowsPerBlock_ = 0;
    columns_ = 0;
    nextRowPosition_ = 0;
    fileSize_ = 0;
    afterLastValue_ = 0;
    rowsBefore_ = 0;
    state_ = kNotOpened;
}
