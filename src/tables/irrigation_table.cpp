#include "tables/irrigation_table.hpp"

#include "kernel/modelobject.hpp"
#include "tables/table_text.hpp"

using namespace table_text;

namespace {

constexpr int kTableFailure = 29;
constexpr std::string_view kStart = "starting from";

struct Date {
    std::int64_t month;
    std::int64_t day;
};

int DaysIn(const std::array<int, 12>& daysPerMonth, std::int64_t month) {
    return daysPerMonth[static_cast<std::size_t>(month - 1)];
}

// Month limited to 1..12, day to 1..(days of that month).
Date Limit(const std::array<int, 12>& daysPerMonth, std::int32_t month, std::int32_t day) {
    Date d{month < 1 ? 1 : (month > 12 ? 12 : month), day};
    const int last = DaysIn(daysPerMonth, d.month);
    d.day = d.day < 1 ? 1 : (d.day > last ? last : d.day);
    return d;
}

// The date step days later; an interval longer than a month carries over as many months as
// it spans (December is followed by January).
Date Advance(const std::array<int, 12>& daysPerMonth, Date d, std::int64_t step) {
    d.day += step;
    while (d.day > DaysIn(daysPerMonth, d.month)) {
        d.day -= DaysIn(daysPerMonth, d.month);
        d.month = d.month % 12 + 1;
    }
    return d;
}

std::int64_t DayOfYear(const std::array<int, 12>& daysPerMonth, Date d) {
    std::int64_t n = d.day;
    for (std::int64_t m = 1; m < d.month; ++m) n += DaysIn(daysPerMonth, m);
    return n;
}

// Position right behind keyword at and one more character, where the value is read.
bool ValueStart(std::string_view text, std::size_t at, std::string_view keyword, std::size_t& pos) {
    if (at == std::string_view::npos || at + keyword.size() + 1 > text.size()) return false;
    pos = at + keyword.size() + 1;
    return true;
}

// One scheme of a schedule, as read.
struct Scheme {
    Date first{};
    Date last{};  // form 1 only
    double x = 0;
    double y = 0;
    std::int64_t times = 0;  // form 2 only
    std::int64_t step = 0;
    bool toForm = false;
    std::size_t consumed = 0;  // end of the scheme's text
};

// Reads the scheme that starts at text[start] ("starting from"). False: wrong description.
bool ReadScheme(DiagLog& log, std::string_view text, std::size_t start, const std::array<int, 12>& daysPerMonth,
                Scheme& s) {
    const std::string_view rest = text.substr(start);
    if (rest.find("to") == std::string_view::npos && rest.find("times") == std::string_view::npos) return false;
    std::size_t pos = 0;
    std::int32_t m = 0, d = 0;
    if (!ValueStart(text, start, kStart, pos) || !ScanInt(text, pos, m) || !ScanInt(text, pos, d)) return false;
    s.first = Limit(daysPerMonth, m, d);
    const std::size_t with = text.find("with", start);
    if (!ValueStart(text, with, "with", pos) || !ScanDouble(text, pos, s.x)) return false;
    std::size_t every = std::string_view::npos;
    if (const std::size_t to = text.find("to", with); to != std::string_view::npos) {
        s.toForm = true;
        if (!ValueStart(text, to, "to", pos) || !ScanInt(text, pos, m) || !ScanInt(text, pos, d)) return false;
        s.last = Limit(daysPerMonth, m, d);
        const std::size_t with2 = text.find("with", to);
        if (!ValueStart(text, with2, "with", pos) || !ScanDouble(text, pos, s.y)) return false;
        every = text.find("every", with2);
    } else if (text.find("times", with) != std::string_view::npos) {
        s.y = s.x;
        const std::size_t mm = text.find("mm", with);
        std::int32_t times = 0;
        if (!ValueStart(text, mm, "mm", pos) || !ScanInt(text, pos, times)) return false;
        s.times = times;
        every = text.find("every", mm);
    } else {
        log << "FATAL: none of the keywords \"to\" or \"times\" could be found!\n" << "[end-entry]";
        return false;
    }
    long long step = 0;
    if (!ValueStart(text, every, "every", pos) || !ScanLong(text, pos, step)) return false;
    s.step = step;
    s.consumed = pos;
    // A scheme needs at least one event and a step of one day to a year.
    if (s.step < 1 || s.step > 366) return false;
    if (!s.toForm && s.times < 1) return false;
    return true;
}

void AddEvent(DiagLog& log, irrigation_entry& e, Date d, double amount, std::int32_t position) {
    if (e.tabcnt >= irrigation_entry::kMaxEvents) {
        log << "FATAL: irrigation description for irrigation type " << position << " has more than "
            << irrigation_entry::kMaxEvents << " irrigation events" << "[end-entry]";
        throw ModelError(kTableFailure);
    }
    ++e.tabcnt;
    e.months.push_back(d.month);
    e.days.push_back(d.day);
    e.amounts.push_back(amount);
}

void AddSchemeEvents(DiagLog& log, irrigation_entry& e, const Scheme& s, const std::array<int, 12>& daysPerMonth,
                     std::int32_t position) {
    const std::int32_t first = e.tabcnt + 1;
    Date date = s.first;
    AddEvent(log, e, date, s.x, position);
    if (s.toForm) {
        // The end is the first occurrence of the end date from the start on (over the turn of
        // the year if need be), so no step can pass it by.
        std::int64_t yearLength = 0;
        for (int m = 1; m <= 12; ++m) yearLength += DaysIn(daysPerMonth, m);
        std::int64_t end = DayOfYear(daysPerMonth, s.last) - DayOfYear(daysPerMonth, s.first);
        if (end < 0) end += yearLength;
        for (std::int64_t offset = s.step; offset <= end; offset += s.step) {
            date = Advance(daysPerMonth, date, s.step);
            AddEvent(log, e, date, s.x, position);
        }
    } else {
        for (std::int64_t k = 2; k <= s.times; ++k) {
            date = Advance(daysPerMonth, date, s.step);
            AddEvent(log, e, date, s.x, position);
        }
    }
    const std::int32_t last = e.tabcnt;
    e.amounts[static_cast<std::size_t>(last)] = s.y;
    for (std::int32_t k = first + 1; k < last; ++k)
        e.amounts[static_cast<std::size_t>(k)] = s.x + (s.y - s.x) * (k - first) / (last - first);
}

}  // namespace

void ReportIrrigationDescriptionError(DiagLog& log, std::int32_t position) {
    log << "FATAL: irrigation description for irrigation type " << position << " is wrong "
        << "there are 4 possible ways to define irrigation rules:\ntwo schedule variants:\n1.: \"starting from MM "
           "DD with XX mm to MM DD with YY mm every ZZ day\"\n2.: \"starting from MM DD with XX mm AA times every "
           "ZZ days\"\n where MM and DD are Month and day, XX is the first irrigation amount \n per irrigation "
           "event in mm/day, ZZ is the time step (e.g. every 4 days..),\n YY is the last irrigation amount in "
           "mm/day (it is linearly interpolated)\n and AA is a repeat counter (only in the secound format).\n The "
           "model recognises both formats by the different formats by analysing the\n key-words \"starting "
           "from\", \"to\" and \"times\"\n note: there may be defined multiple irrigation schemes in one row,\n but "
           "they have to be of the same type (1. or 2.) \n and they have to be seperated by a semicolon (;)\n 3.: "
           "irrigation control by demand (1): suction (psi) for start and end of irrigation must be provided\n "
           "4.: irrigation control by demand (2): ratio between ETR and ETP for irrigation start must be "
           "provided\n"
        << "[end-entry]";
    throw ModelError(kTableFailure);
}

void ParseIrrigationSchedule(DiagLog& log, irrigation_entry& entry, std::string_view text,
                             const std::array<int, 12>& daysPerMonth, std::int32_t position) {
    entry.tabcnt = 0;
    entry.months.assign(1, 0);
    entry.days.assign(1, 0);
    entry.amounts.assign(1, 0.0);
    std::size_t start = text.find(kStart);
    if (start == std::string_view::npos) ReportIrrigationDescriptionError(log, position);
    while (start != std::string_view::npos) {
        Scheme s;
        if (!ReadScheme(log, text, start, daysPerMonth, s)) ReportIrrigationDescriptionError(log, position);
        AddSchemeEvents(log, entry, s, daysPerMonth, position);
        start = text.find(kStart, s.consumed);
    }
}

namespace {

// The rest of the control file from the current position, read as one text: the table's
// values run across line ends.
std::string RestOfStream(std::FILE* stream) {
    std::string text;
    if (!stream) return text;
    char buf[4096];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, stream)) > 0) text.append(buf, got);
    return text;
}

// The rest of the current line (at most 1200 characters; the line end is consumed with it).
std::string_view LineRest(std::string_view text, std::size_t& pos) {
    const std::size_t start = pos;
    std::size_t end = start;
    while (end < text.size() && end - start < static_cast<std::size_t>(modelobject::kLineLength)) {
        if (text[end++] == '\n') break;
    }
    pos = end;
    return text.substr(start, end - start);
}

[[noreturn]] void EntryFailure(DiagLog& log, std::int32_t position, const char* what) {
    log << "FATAL: for irrigation code " << position << what << "[end-entry]";
    throw ModelError(kTableFailure);
}

void ReadEntry(modelobject& reader, std::string_view text, std::size_t& pos, irrigation_entry& e,
               std::int32_t i) {
    DiagLog& log = *reader.log;
    std::string word;
    if (!ScanInt(text, pos, e.code) || !ScanWord(text, pos, word) || !ScanInt(text, pos, e.method) ||
        !ScanInt(text, pos, e.origin))
        EntryFailure(log, i, ": code, name, method, or origin could not be read correctly\n");
    e.name = word.substr(0, irrigation_entry::kMaxNameLength);
    if (e.method == 4) {
        if (!ScanDouble(text, pos, e.minRatio))
            EntryFailure(log, i, ": min(ETR/ETP) could not be read correctly\n");
        e.psi_dry = 20.0;
        e.psi_wet = 3.45;
    } else if (!ScanDouble(text, pos, e.psi_dry) || !ScanDouble(text, pos, e.psi_wet)) {
        EntryFailure(log, i, ": psi_dry or psi_wet could not be read correctly\n");
    }
    if (e.method == 1) {
        if (!ScanInt(text, pos, e.tabcnt)) EntryFailure(log, i, ": tabcnt could not be read correctly\n");
        if (e.tabcnt < 0 || e.tabcnt > irrigation_entry::kMaxEvents)
            EntryFailure(log, i, ": tabcnt must lie between 0 and 366\n");
        const std::size_t n = static_cast<std::size_t>(e.tabcnt) + 1;
        e.months.assign(n, 0);
        e.days.assign(n, 0);
        e.amounts.assign(n, 0.0);
        for (std::size_t j = 1; j < n; ++j) {
            long long month = 0, day = 0;
            if (!ScanLong(text, pos, month) || !ScanLong(text, pos, day) || !ScanDouble(text, pos, e.amounts[j])) {
                log << "FATAL: for irrigation code " << i << " month[" << static_cast<int>(j) << "] or day["
                    << static_cast<int>(j) << "] or amount[" << static_cast<int>(j) << "] could not be read\n"
                    << "[end-entry]";
                throw ModelError(kTableFailure);
            }
            e.months[j] = month;
            e.days[j] = day;
        }
    } else if (e.method == 2) {
        ParseIrrigationSchedule(log, e, LineRest(text, pos), reader.daysPerMonth, i);
    }
}

}  // namespace

int ReadIrrigationSections(modelobject& reader, int soilModelVariant, std::vector<irrigation_entry>& table) {
    table.clear();
    if (soilModelVariant < 2) return 0;
    DiagLog& log = *reader.log;
    reader.SeekSection("[irrigation]", true);
    int irrigationSwitch = 0;
    reader.ReadValue(reader.ControlStream(), "%d", &irrigationSwitch, "irrigation switch in [irrigation]");
    if (irrigationSwitch == 0) return 0;

    reader.SeekSection("[irrigation_table]", true);
    std::int32_t count = 0;
    if (!ReadStreamInt(reader.ControlStream(), count) || count < 0) {
        log << "FATAL: irrigation table: the number of entries could not be read (a number of 0 or more is needed)"
            << "[end-entry]";
        throw ModelError(kTableFailure);
    }
    const std::string text = RestOfStream(reader.ControlStream());
    std::size_t pos = 0;
    table.resize(1);
    table[0].code = count;
    for (std::int32_t i = 1; i <= count; ++i) {
        irrigation_entry e;
        e.code = i;
        ReadEntry(reader, text, pos, e, i);
        table.push_back(std::move(e));
    }
    return irrigationSwitch;
}
