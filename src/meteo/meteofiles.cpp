#include "meteo/meteofiles.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

using meteo_text::ParseInteger;
using meteo_text::ParseNumber;
using meteo_text::SplitTokens;
using TokenList = std::vector<std::string_view>;

// Date fields beyond this are not dates; the bound also keeps every date key far from overflow.
constexpr std::int64_t kDateFieldLimit = 1000000000;

bool PlausibleDate(const MeteoDate& d) {
    for (std::int64_t v : {d.year, d.month, d.day, d.hour}) {
        if (v < -kDateFieldLimit || v > kDateFieldLimit) return false;
    }
    return true;
}

// Year, month, day, hour from the first four tokens of a record.
bool ParseDate(const TokenList& tokens, MeteoDate* d) {
    if (tokens.size() < 4) return false;
    return ParseInteger(tokens[0], &d->year) && ParseInteger(tokens[1], &d->month) &&
           ParseInteger(tokens[2], &d->day) && ParseInteger(tokens[3], &d->hour) && PlausibleDate(*d);
}

// Before the first record a file's date is -N-1 in every field, which matches no start date.
MeteoDate NoRecordYet(double nodata) {
    const double limit = static_cast<double>(kDateFieldLimit);
    const auto none = static_cast<std::int64_t>(std::clamp(-nodata - 1, -limit, limit));
    return MeteoDate{none, none, none, none};
}

bool IsEndMarker(const MeteoDate& d) { return d.year == 0 && d.month == 0 && d.day == 0; }

// Two-digit years of station files and grid lists (limit 99), three-digit years of regression
// files (limit 999) belong to the 20th century.
MeteoDate WithCentury(MeteoDate d, std::int64_t limit) {
    if (d.year <= limit) d.year += 1900;
    return d;
}

std::string DateText(const MeteoDate& d) {
    return StrFormat("%lld.%lld.%lld %lld h", static_cast<long long>(d.day), static_cast<long long>(d.month),
                     static_cast<long long>(d.year), static_cast<long long>(d.hour));
}

// The search for the start date shows progress as one dot per first of a month.
void ProgressDot(DiagLog* log, const MeteoDate& d, bool* dots) {
    if (d.day == 1 && (d.hour == 0 || d.hour >= 24)) {
        *log << ".";
        *dots = true;
    }
}

void CloseDots(DiagLog* log, bool dots) {
    if (dots) *log << "[end-entry]";
}

void LogStartSearch(DiagLog* log, const MeteoDate& start, const std::string& section, const std::string& file) {
    *log << "looking for starting date " << start.day << "." << start.month << "." << start.year << " for "
         << section << " in " << file << "[end-entry]";
}

[[noreturn]] void FailOpen(DiagLog* log, const std::string& file) {
    const int reason = errno;
    *log << "FATAL: \nerror opening file " << file << "[end-entry]";
    LogSystemReason(*log, reason);
    throw ModelError(49);
}

[[noreturn]] void FailClose(DiagLog* log, const std::string& file) {
    FailOnFile(*log, "error closing " + file, 50);
}

[[noreturn]] void FailStationStart(DiagLog* log, const std::string& file, const MeteoDate& start) {
    *log << "FATAL: \nfile " << file << " dosnt contain date " << start.day << "." << start.month << "."
         << start.year << ", hour " << start.hour << "(feof)!" << "[end-entry]";
    throw ModelError(51);
}

// A record line after the start record whose date cannot be read: ending the data there would
// end the run early without a word, so it stops the run instead.
[[noreturn]] void FailRecordDate(DiagLog* log, const std::string& file, const MeteoDate& previous) {
    *log << "FATAL: unreadable date in the record after " << DateText(previous) << " in " << file << "[end-entry]";
    throw ModelError(19);
}

[[noreturn]] void FailStationValue(DiagLog* log, const std::string& file, const char* what, int station,
                                   std::string_view token) {
    *log << "FATAL: \nerror reading station description from " << file << ": the " << what << " of station "
         << station << " is \"" << std::string(token.substr(0, 60)) << "\", not a finite number" << "[end-entry]";
    throw ModelError(19);
}

void SeekOrFail(DiagLog* log, LineFile& file, std::int64_t offset, const std::string& name) {
    if (!file.Seek(offset)) {
        *log << "FATAL: error positioning " << name << " at byte " << static_cast<long long>(offset) << "[end-entry]";
        throw ModelError(19);
    }
}

// Reads the next line holding any token; false at the end of the file.
bool NextRecordLine(LineFile& file, std::string* line, TokenList* tokens) {
    while (file.ReadLine(line)) {
        SplitTokens(*line, tokens);
        if (!tokens->empty()) return true;
    }
    return false;
}

// The record of the start date in a station or grid-list file, opened here: its date, where it
// begins and where the next one does, its fields in tokens (views into line). The four header
// lines and line 5 are never read; lines without a date before the start record are passed
// over. The search is logged (with a dot per first of a month, the dots' line left open for the
// caller to close) and fails when no record carries the start date.
struct StartRecord {
    MeteoDate date;
    std::int64_t begins = 0, next = 0;
    bool dots = false;
};

StartRecord FindStartRecord(DiagLog* log, const std::string& section, const std::string& fileName,
                            const MeteoDate& start, std::string* line, TokenList* tokens) {
    LogStartSearch(log, start, section, fileName);
    LineFile f;
    if (!f.Open(fileName)) FailOpen(log, fileName);
    for (int i = 0; i < 5; ++i) f.ReadLine(line);
    StartRecord found;
    for (;;) {
        found.begins = f.Tell();
        if (!NextRecordLine(f, line, tokens)) FailStationStart(log, fileName, start);
        MeteoDate d;
        if (!ParseDate(*tokens, &d)) continue;
        found.date = WithCentury(d, 99);
        ProgressDot(log, found.date, &found.dots);
        if (found.date == start) break;
    }
    found.next = f.Tell();
    if (!f.Close()) FailClose(log, fileName);
    return found;
}

}  // namespace

// ---------------------------------------------------------------- station header

StationHeader ReadStationHeader(DiagLog* log, const std::string& sectionName, const std::string& fileName,
                                int additionalColumns, bool stations) {
    *log << "reading station description for " << sectionName << " from " << fileName << " ..." << "[end-entry]";
    LineFile f;
    if (!f.Open(fileName)) {
        const int reason = errno;
        *log << "FATAL: \nerror opening " << fileName << "[end-entry]";
        LogSystemReason(*log, reason);
        throw ModelError(49);
    }
    std::string lines[4];
    for (std::string& line : lines) {
        if (!f.ReadLine(&line)) line.clear();
    }
    // Four label tokens and the additional columns come before the stations.
    const std::size_t skip = 4 + static_cast<std::size_t>(std::max(additionalColumns, 0));
    TokenList tokens;
    SplitTokens(lines[1], &tokens);
    StationHeader h;
    double v = 0;
    std::size_t i = skip;
    for (; i < tokens.size() && ParseNumber(tokens[i], &v); ++i) ++h.count;
    // A token that begins like a number ends the stations only when it is comment; "34O3200" or
    // "nan" is a station whose altitude cannot be used.
    if (i < tokens.size() && meteo_text::StartsLikeNumber(tokens[i]))
        FailStationValue(log, fileName, "altitude", h.count + 1, tokens[i]);
    *log << " (" << h.count << ") Stationen " << "[end-entry]";
    if (stations && h.count == 0) {
        *log << "FATAL: \nerror reading station description from " << fileName
             << ": line 2 gives no station altitude after its " << static_cast<long>(skip) << " leading columns" << "[end-entry]";
        throw ModelError(19);
    }

    const auto n = static_cast<std::size_t>(h.count);
    std::vector<double>* targets[3] = {&h.altitude, &h.x, &h.y};
    static const char* const kWhat[3] = {"altitude", "x coordinate", "y coordinate"};
    for (int l = 0; l < 3; ++l) {
        SplitTokens(lines[l + 1], &tokens);
        if (n > 0 && tokens.size() < skip + n) {
            *log << "FATAL: \nerror reading station description from " << fileName << ": line " << l + 2
                 << " holds fewer than " << h.count << " station values" << "[end-entry]";
            throw ModelError(19);
        }
        targets[l]->assign(n + 1, 0.0);
        for (std::size_t k = 1; k <= n; ++k) {
            if (!ParseNumber(tokens[skip + k - 1], &(*targets[l])[k]))
                FailStationValue(log, fileName, kWhat[l], static_cast<int>(k), tokens[skip + k - 1]);
        }
        // More coordinates than altitudes: line 2 may have lost a station, whose values the
        // records then hold unread.
        double more = 0;
        if (stations && l > 0 && tokens.size() > skip + n && ParseNumber(tokens[skip + n], &more))
            *log << "WARNING: " << fileName << ": line " << l + 2 << " holds more station values than the "
                 << h.count << " altitudes of line 2; the stations beyond them are not read" << "[end-entry]";
    }
    if (!f.Close()) FailClose(log, fileName);
    return h;
}

// ---------------------------------------------------------------- station files

StationFile::StationFile(DiagLog* log, std::string sectionName, double nodata)
    : log_(log), section_(std::move(sectionName)), nodata_(nodata), missing_(-nodata - 1) {
    date_ = NoRecordYet(nodata);
}

void StationFile::SetFile(const std::string& fileName, int additionalColumns) {
    fileName_ = fileName;
    additionalColumns_ = std::max(additionalColumns, 0);
}

int StationFile::BlockCapacityFor(std::int64_t stations) {
    const std::int64_t b = 2097152 / (8 * std::max<std::int64_t>(stations, 0) + 40);
    return static_cast<int>(std::max<std::int64_t>(b, 1));
}

void StationFile::LimitBlockCapacity(int records) {
    capacity_ = std::clamp(records, 1, capacity_);
    blockDates_.clear();
    blockValues_.clear();
    fill_ = next_ = 0;
}

int StationFile::ReadDescription() {
    header_ = ReadStationHeader(log_, section_, fileName_, additionalColumns_, true);
    values_.assign(static_cast<std::size_t>(header_.count) + 1, missing_);
    capacity_ = BlockCapacityFor(header_.count);
    return header_.count;
}

int StationFile::ParseValues(const TokenList& tokens, double* out) const {
    const std::size_t first = 4 + static_cast<std::size_t>(additionalColumns_);
    int unreadable = 0;
    for (int k = 0; k < header_.count; ++k) {
        const std::size_t i = first + static_cast<std::size_t>(k);
        double v = missing_;
        if (i >= tokens.size() || !ParseNumber(tokens[i], &v)) {
            v = missing_;
            ++unreadable;
        } else if (v < -nodata_ || v > nodata_) {
            v = missing_;
        }
        out[k] = v;
    }
    return unreadable;
}

void StationFile::WarnUnreadable(int count, const MeteoDate& date) const {
    *log_ << "WARNING: unreadable station values in " << fileName_ << " for " << DateText(date) << ": " << count
          << " set to missing (" << missing_ << ")" << "[end-entry]";
}

void StationFile::UpdateAllEqual() {
    bool any = false;
    double lo = 0, hi = 0;
    for (int k = 1; k <= header_.count; ++k) {
        const double v = values_[static_cast<std::size_t>(k)];
        if (v < -nodata_) continue;
        if (!any) {
            lo = hi = v;
            any = true;
        } else {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    allEqual_ = !any || lo == hi;
}

void StationFile::CloseOrFail(LineFile& file) const {
    if (!file.Close()) FailClose(log_, fileName_);
}

void StationFile::FindStartDate(const MeteoDate& start) {
    std::string line;
    TokenList tokens;
    const StartRecord found = FindStartRecord(log_, section_, fileName_, start, &line, &tokens);
    date_ = found.date;
    std::fill(values_.begin(), values_.end(), missing_);
    const int unreadable = ParseValues(tokens, values_.data() + 1);
    if (unreadable > 0) WarnUnreadable(unreadable, date_);
    // The first step is always interpolated in full: the start record clears the all-equal
    // flag whatever its values are; every later record sets it by its own values.
    allEqual_ = false;
    CloseDots(log_, found.dots);
    readPosition_ = found.next;
    startPosition_ = found.begins;
    fill_ = next_ = 0;
}

bool StationFile::ReadRecords(std::int64_t endKey) {
    LineFile f;
    if (!f.Open(fileName_)) FailOpen(log_, fileName_);
    SeekOrFail(log_, f, readPosition_, fileName_);
    const auto n = static_cast<std::size_t>(header_.count);
    if (blockDates_.empty()) {
        blockDates_.resize(static_cast<std::size_t>(capacity_));
        blockValues_.resize(static_cast<std::size_t>(capacity_) * n);
    }
    fill_ = next_ = 0;
    std::string line;
    TokenList tokens;
    MeteoDate previous = date_;
    while (fill_ < capacity_ && NextRecordLine(f, &line, &tokens)) {
        MeteoDate d;
        if (!ParseDate(tokens, &d)) {
            // A line without a date after the records of the model period (a footer) ends the
            // data of the file; inside the model period it is an error.
            if (previous.Key() >= endKey) break;
            FailRecordDate(log_, fileName_, previous);
        }
        const auto slot = static_cast<std::size_t>(fill_);
        blockDates_[slot] = d;
        const int unreadable = ParseValues(tokens, blockValues_.data() + slot * n);
        if (unreadable > 0 && !IsEndMarker(d)) WarnUnreadable(unreadable, WithCentury(d, 99));
        previous = WithCentury(d, 99);
        ++fill_;
        readPosition_ = f.Tell();
    }
    CloseOrFail(f);
    return fill_ > 0;
}

bool StationFile::HasNextRecord(std::int64_t endKey) {
    if (date_.Key() >= endKey) return false;
    if (next_ >= fill_ && !ReadRecords(endKey)) return false;
    return !IsEndMarker(blockDates_[static_cast<std::size_t>(next_)]);
}

int StationFile::BufferedNextRecord(std::int64_t endKey) const {
    if (date_.Key() >= endKey) return 0;
    if (next_ >= fill_) return -1;
    return IsEndMarker(blockDates_[static_cast<std::size_t>(next_)]) ? 0 : 1;
}

bool StationFile::GetRecordForDate(std::int64_t endKey) {
    if (!HasNextRecord(endKey)) return false;
    const auto slot = static_cast<std::size_t>(next_);
    const MeteoDate& d = blockDates_[slot];
    date_ = WithCentury(d, 99);
    const auto n = static_cast<std::size_t>(header_.count);
    std::copy_n(blockValues_.begin() + static_cast<std::ptrdiff_t>(slot * n), n, values_.begin() + 1);
    UpdateAllEqual();
    ++next_;
    return true;
}

void StationFile::Rewind(const MeteoDate& start) {
    readPosition_ = startPosition_;
    fill_ = next_ = 0;
    date_ = start;
}

// ---------------------------------------------------------------- regression files

RegressionFile::RegressionFile(DiagLog* log, std::string sectionName, double nodata)
    : log_(log), section_(std::move(sectionName)), nodata_(nodata) {}

void RegressionFile::SetFile(const std::string& fileName) { fileName_ = fileName; }

void RegressionFile::LimitBlockCapacity(int records) {
    capacity_ = std::clamp(records, 1, capacity_);
    blockDates_.clear();
    blockValues_.clear();
    fill_ = next_ = 0;
}

void RegressionFile::CloseOrFail(LineFile& file) const {
    if (!file.Close()) FailClose(log_, fileName_);
}

RegressionFile::Read RegressionFile::ReadOne(LineFile& file, MeteoDate* date, double* values, int* unreadable) {
    const double missing = -nodata_ - 1;
    *unreadable = 0;
    if (text_) {
        if (!NextRecordLine(file, &line_, &tokens_)) return Read::End;
        if (!ParseDate(tokens_, date)) return Read::BadDate;
        for (int k = 0; k < kParameters; ++k) {
            const auto i = static_cast<std::size_t>(4 + k);
            if (i >= tokens_.size() || !ParseNumber(tokens_[i], &values[k])) {
                values[k] = missing;
                ++*unreadable;
            }
        }
    } else {
        unsigned char raw[kBinaryRecordBytes];
        if (file.ReadBytes(raw, sizeof raw) != sizeof raw) return Read::End;
        std::int64_t fields[4];
        std::memcpy(fields, raw, sizeof fields);
        *date = MeteoDate{fields[3], fields[2], fields[1], fields[0]};
        if (!PlausibleDate(*date)) return Read::BadDate;
        std::memcpy(values, raw + sizeof fields, sizeof(double) * kParameters);
        for (int k = 0; k < kParameters; ++k) {
            if (!std::isfinite(values[k])) {
                values[k] = missing;
                ++*unreadable;
            }
        }
    }
    return Read::Record;
}

void RegressionFile::WarnUnreadable(int count, const MeteoDate& date) const {
    if (count == 0 || IsEndMarker(date)) return;
    *log_ << "WARNING: unreadable regression parameters in " << fileName_ << " for "
          << DateText(WithCentury(date, 999)) << ": "
          << count << " set to missing (" << -nodata_ - 1 << ")" << "[end-entry]";
}

void RegressionFile::FindStartDate(const MeteoDate& start) {
    LogStartSearch(log_, start, section_, fileName_);
    LineFile f;
    if (!f.Open(fileName_)) FailOpen(log_, fileName_);
    char head[5] = {};
    const std::size_t got = f.ReadBytes(head, sizeof head);
    text_ = got == 5 && head[0] == 'j' && head[1] == 'r' && head[3] == 'm' && head[4] == 'o';
    if (text_) {
        f.ReadLine(&line_);
    } else {
        SeekOrFail(log_, f, 0, fileName_);
    }

    date_ = MeteoDate{};
    bool dots = false;
    bool found = false;
    std::int64_t recordStart = 0;
    std::array<double, kParameters> values{};
    int unreadable = 0;
    while (!found) {
        recordStart = f.Tell();
        MeteoDate d;
        const Read r = ReadOne(f, &d, values.data(), &unreadable);
        if (r == Read::End) break;
        if (r == Read::BadDate) continue;
        date_ = WithCentury(d, 999);
        params_ = values;
        ProgressDot(log_, date_, &dots);
        found = date_ == start;
    }
    CloseDots(log_, dots);
    if (!found) {
        *log_ << "FATAL: \nEOF reached: " << fileName_ << ", date " << start.day << "." << start.month << "."
              << start.year << ", " << start.hour << ". h not found!" << "[end-entry]";
        throw ModelError(51);
    }
    // Only the start record's parameters are used, so only its unreadable values are reported.
    WarnUnreadable(unreadable, date_);
    readPosition_ = f.Tell();
    startPosition_ = recordStart;
    CloseOrFail(f);
    fill_ = next_ = 0;
}

void RegressionFile::OpenForBlock(LineFile& file) const {
    if (file.Open(fileName_)) return;
    if (text_) FailOpen(log_, fileName_);
    FailOnFile(*log_, "error opening regression file " + fileName_ + " in binary mode", 49);
}

bool RegressionFile::ReadRecords(std::int64_t endKey) {
    LineFile f;
    OpenForBlock(f);
    SeekOrFail(log_, f, readPosition_, fileName_);
    if (blockDates_.empty()) {
        blockDates_.resize(static_cast<std::size_t>(capacity_));
        blockValues_.resize(static_cast<std::size_t>(capacity_) * kParameters);
    }
    fill_ = next_ = 0;
    MeteoDate previous = date_;
    while (fill_ < capacity_) {
        const auto slot = static_cast<std::size_t>(fill_);
        MeteoDate d;
        int unreadable = 0;
        const Read r = ReadOne(f, &d, blockValues_.data() + slot * kParameters, &unreadable);
        if (r == Read::End) break;
        if (r == Read::BadDate) {
            // A footer after the records of the model period ends the data.
            if (previous.Key() >= endKey) break;
            FailRecordDate(log_, fileName_, previous);
        }
        blockDates_[slot] = d;
        previous = WithCentury(d, 999);
        WarnUnreadable(unreadable, d);
        ++fill_;
        readPosition_ = f.Tell();
    }
    CloseOrFail(f);
    return fill_ > 0;
}

bool RegressionFile::HasNextRecord(std::int64_t endKey, bool checkEnd) {
    if (checkEnd && date_.Key() >= endKey) return false;
    if (next_ >= fill_ && !ReadRecords(endKey)) return false;
    return !IsEndMarker(blockDates_[static_cast<std::size_t>(next_)]);
}

int RegressionFile::BufferedNextRecord(std::int64_t endKey, bool checkEnd) const {
    if (checkEnd && date_.Key() >= endKey) return 0;
    if (next_ >= fill_) return -1;
    return IsEndMarker(blockDates_[static_cast<std::size_t>(next_)]) ? 0 : 1;
}

bool RegressionFile::NextRecord(std::int64_t endKey, bool checkEnd) {
    if (!HasNextRecord(endKey, checkEnd)) return false;
    const auto slot = static_cast<std::size_t>(next_);
    const MeteoDate& d = blockDates_[slot];
    date_ = WithCentury(d, 999);
    std::copy_n(blockValues_.begin() + static_cast<std::ptrdiff_t>(slot * kParameters), kParameters,
                params_.begin());
    ++next_;
    return true;
}

void RegressionFile::Rewind(const MeteoDate& start) {
    readPosition_ = startPosition_;
    fill_ = next_ = 0;
    date_ = start;
}

// ---------------------------------------------------------------- grid lists

GridListFile::GridListFile(DiagLog* log, std::string sectionName, double nodata)
    : log_(log), section_(std::move(sectionName)) {
    date_ = NoRecordYet(nodata);
}

void GridListFile::SetFile(const std::string& fileName, int additionalColumns) {
    fileName_ = fileName;
    additionalColumns_ = std::max(additionalColumns, 0);
}

int GridListFile::ReadDescription() {
    header_ = ReadStationHeader(log_, section_, fileName_, additionalColumns_, false);
    return header_.count;
}

std::string GridListFile::GridNameOf(const TokenList& tokens, const MeteoDate& date) const {
    const std::size_t i = 4 + static_cast<std::size_t>(additionalColumns_);
    if (i < tokens.size()) return std::string(tokens[i]);
    *log_ << "WARNING: no grid name in " << fileName_ << " for " << DateText(date)
          << ", no new grid is read for this date" << "[end-entry]";
    return "-9999";
}

void GridListFile::CloseOrFail() {
    if (!file_.Close()) FailClose(log_, fileName_);
}

void GridListFile::FindStartDate(const MeteoDate& start) {
    std::string line;
    TokenList tokens;
    const StartRecord found = FindStartRecord(log_, section_, fileName_, start, &line, &tokens);
    date_ = found.date;
    gridName_ = GridNameOf(tokens, date_);
    CloseDots(log_, found.dots);
    readPosition_ = found.next;
    startPosition_ = found.begins;
}

bool GridListFile::ReadRecord(std::int64_t endKey) {
    if (date_.Key() >= endKey) {
        CloseOrFail();
        return false;
    }
    if (!file_.IsOpen()) {
        if (!file_.Open(fileName_)) FailOpen(log_, fileName_);
        SeekOrFail(log_, file_, readPosition_, fileName_);
    }
    std::string line;
    TokenList tokens;
    if (!NextRecordLine(file_, &line, &tokens)) {
        CloseOrFail();
        return false;
    }
    MeteoDate d;
    if (!ParseDate(tokens, &d)) FailRecordDate(log_, fileName_, date_);
    date_ = WithCentury(d, 99);
    gridName_ = GridNameOf(tokens, date_);
    readPosition_ = file_.Tell();
    return true;
}

bool GridListFile::HasNextRecord(std::int64_t endKey) {
    if (date_.Key() >= endKey) return false;
    if (!file_.IsOpen() && !file_.Open(fileName_)) FailOpen(log_, fileName_);
    SeekOrFail(log_, file_, readPosition_, fileName_);
    std::string line;
    TokenList tokens;
    const bool further = NextRecordLine(file_, &line, &tokens);
    SeekOrFail(log_, file_, readPosition_, fileName_);
    return further;
}

void GridListFile::Rewind(const MeteoDate& start) {
    CloseOrFail();
    readPosition_ = startPosition_;
    date_ = start;
}
