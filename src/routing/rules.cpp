#include "routing/rules.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "kernel/controlfile.hpp"
#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "routing/description.hpp"

namespace routing {

namespace {
constexpr int kMonthLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

[[noreturn]] void InvalidHead(DiagLog& log, const std::string& section) {
    log << "FATAL: invalid head line in section " << section
        << ": a row count of at least 1 (with a line for every row) followed by the rising days of the year (1 to 366)"
           " of the columns expected"
        << "[end-entry]";
    throw ModelError(34);
}

}  // namespace

// Days since 1 January 1970 of a proleptic Gregorian date.
long long DaysFromCivil(long long y, long long m, long long d) {
    y -= m <= 2 ? 1 : 0;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

namespace {

// Numbers of a text read one after the other as far as they can be read.
std::vector<double> Numbers(const char* p) {
    std::vector<double> v;
    for (;;) {
        char* end = nullptr;
        const double x = std::strtod(p, &end);
        if (end == p) break;
        v.push_back(x);
        p = end;
    }
    return v;
}

std::vector<long long> Integers(const char* p) {
    std::vector<long long> v;
    for (;;) {
        char* end = nullptr;
        const long long x = std::strtoll(p, &end, 10);
        if (end == p) break;
        v.push_back(x);
        p = end;
    }
    return v;
}

// The numbers of the head line: runs of "0123456789.eE+-" between blanks and tabs. Any other
// character makes the line no head line (-1).
int CountHeadNumbers(const std::string& line) {
    int count = 0;
    std::size_t p = 0;
    for (;;) {
        p = line.find_first_not_of(" \t", p);
        if (p == std::string::npos || line.find_first_not_of(" \t\r\n", p) == std::string::npos) return count;
        const std::size_t end = line.find_first_not_of("0123456789.eE+-", p);
        if (end == p) return -1;
        ++count;
        if (end == std::string::npos) return count;
        p = end;
    }
}

const char* AfterEquals(const std::string& line) {
    const std::size_t eq = line.find('=');
    return eq == std::string::npos ? line.c_str() + line.size() : line.c_str() + eq + 1;
}
}  // namespace

int DayOfYear(int month, int day) {
    int doy = day;
    for (int m = 1; m < month && m <= 12; ++m) doy += kMonthLengths[m - 1];
    return doy;
}

int Weekday(int year, int month, int day, int hour) {
    long long days = DaysFromCivil(year, month, day);
    const long long h = static_cast<long long>(hour) - 1;
    days += (h >= 0 ? h / 24 : -((-h + 23) / 24));
    // 1 January 1970 was a Thursday.
    const long long r = ((days % 7) + 7 + 3) % 7;
    return static_cast<int>(r) + 1;
}

SeasonalPosition RuleTable::Position(int month, int dayOfMonth) const {
    const int doy = DayOfYear(month, dayOfMonth);
    SeasonalPosition p;
    if (nCols < 2 || doy <= day[1]) return p;
    p.k = nCols;
    for (int k = 2; k <= nCols; ++k)
        if (doy <= day[static_cast<std::size_t>(k)]) {
            p.k = k;
            break;
        }
    const double d0 = day[static_cast<std::size_t>(p.k - 1)], d1 = day[static_cast<std::size_t>(p.k)];
    p.w = (doy - d0) / (d1 - d0);
    return p;
}

double RuleTable::Mix(const std::vector<std::vector<double>>& q, const SeasonalPosition& p, int j) {
    const auto jj = static_cast<std::size_t>(j);
    if (p.k <= 1) return q[1][jj];
    return p.w * q[static_cast<std::size_t>(p.k)][jj] + (1 - p.w) * q[static_cast<std::size_t>(p.k - 1)][jj];
}

bool RuleTable::Active(int k, int year, int month, int dayOfMonth, int hour, bool reservoir) const {
    if (month < 1) return false;
    const auto kk = static_cast<std::size_t>(k);
    if (reservoir && weekDays[kk] == -1) return true;
    const char digit = static_cast<char>('0' + Weekday(year, month, dayOfMonth, hour));
    if (std::to_string(weekDays[kk]).find(digit) == std::string::npos) return false;
    return startHour[kk] <= hour && hour <= stopHour[kk];
}

double RuleTable::Lookup(const SeasonalPosition& p, double V) const {
    for (int j = nRows - 1; j >= 1; --j) {
        if (flowMode) {
            const double yj = Mix(y, p, j);
            if (V > yj) return x[static_cast<std::size_t>(j)] + Mix(s, p, j) * (V - yj);
        } else if (V > x[static_cast<std::size_t>(j)]) {
            return Mix(y, p, j) + Mix(s, p, j) * (V - x[static_cast<std::size_t>(j)]);
        }
    }
    return 0.0;
}

RuleTable ParseRules(const std::vector<std::string>& lines, const std::string& section, DiagLog& log) {
    RuleTable r;
    if (lines.empty()) InvalidHead(log, section);
    const std::string& head = lines[0];
    const int count = CountHeadNumbers(head);
    if (count < 1) InvalidHead(log, section);
    char* end = nullptr;
    const long rows = std::strtol(head.c_str(), &end, 10);
    // Every row stands on its own line: a count beyond the section's lines names rows that are not there.
    if (end == head.c_str() || rows < 1 || static_cast<std::size_t>(rows) >= lines.size()) InvalidHead(log, section);
    r.nRows = static_cast<int>(rows);
    r.nCols = count > 1 ? count - 1 : 1;
    const auto cols = static_cast<std::size_t>(r.nCols);
    r.day.assign(cols + 1, 0);
    if (r.nCols == 1) {
        r.day[1] = 1;
    } else {
        const std::vector<double> v = Numbers(end);
        if (v.size() < cols) InvalidHead(log, section);
        for (std::size_t k = 1; k <= cols; ++k) {
            if (!(v[k - 1] >= 1 && v[k - 1] < 367)) InvalidHead(log, section);
            r.day[k] = static_cast<int>(v[k - 1]);
            // Equal or falling days leave no span to weigh the columns by.
            if (k > 1 && r.day[k] <= r.day[k - 1]) InvalidHead(log, section);
        }
    }
    const auto n = static_cast<std::size_t>(r.nRows);
    r.x.assign(n + 1, 0.0);
    r.y.assign(cols + 1, std::vector<double>(n + 1, 0.0));
    r.s = r.y;
    std::size_t line = 1;
    // Missing values of a row stay 0. A line holding no number is not a row (a row count too
    // high would take the keys' lines below the rows for rows, and lose them), and a value that is
    // not a finite number would reach the releases.
    for (std::size_t j = 1; j <= n && line < lines.size(); ++j, ++line) {
        const std::vector<double> v = Numbers(lines[line].c_str());
        const bool finite = std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
        if (v.empty() || !finite) {
            log << "FATAL: row " << static_cast<long>(j) << " of the " << r.nRows << " rows of section " << section << " (\""
                << lines[line].substr(0, 80) << "\") " << (v.empty() ? "holds no number" : "holds a value that is not a finite number")
                << "[end-entry]";
            throw ModelError(34);
        }
        r.x[j] = v[0];
        for (std::size_t k = 1; k <= cols && k < v.size(); ++k) r.y[k][j] = v[k];
    }
    r.targetCap.assign(cols + 1, -1.0);
    r.weekDays.assign(cols + 1, -1);
    r.startHour.assign(cols + 1, -1);
    r.stopHour.assign(cols + 1, -1);
    for (; line < lines.size(); ++line) {
        const std::string& l = lines[line];
        auto fillInts = [&](auto& target) {
            const std::vector<long long> v = Integers(AfterEquals(l));
            for (std::size_t k = 1; k <= cols && k <= v.size(); ++k)
                target[k] = static_cast<std::remove_reference_t<decltype(target[k])>>(v[k - 1]);
        };
        if (l.find("TargetCap") != std::string::npos) {
            const std::vector<double> v = Numbers(AfterEquals(l));
            for (std::size_t k = 1; k <= cols && k <= v.size(); ++k) r.targetCap[k] = v[k - 1];
        } else if (l.find("WeekDays") != std::string::npos) {
            fillInts(r.weekDays);
        } else if (l.find("start_hour") != std::string::npos) {
            fillInts(r.startHour);
        } else if (l.find("stop_hour") != std::string::npos) {
            fillInts(r.stopHour);
        } else if (l.find("TableIndex") != std::string::npos) {
            r.flowMode = std::strstr(AfterEquals(l), "Flow") != nullptr;
        }
    }
    for (std::size_t k = 1; k <= cols; ++k)
        for (std::size_t j = 1; j < n; ++j) {
            const double dx = r.x[j + 1] - r.x[j], dy = r.y[k][j + 1] - r.y[k][j];
            if (r.flowMode) r.s[k][j] = dy != 0 ? dx / dy : 0.0;
            else r.s[k][j] = dx != 0 ? dy / dx : 0.0;
        }
    return r;
}

void SeekRuleSection(std::FILE* f, const std::string& section, DiagLog& log) {
    NoteSectionSought(section);
    std::rewind(f);
    std::string line;
    while (ReadLine(f, line)) {
        const std::size_t a = line.find_first_not_of(" \t\r\n");
        if (a == std::string::npos) continue;
        const std::size_t b = line.find_first_of(" \t\r\n", a);
        if (line.compare(a, b == std::string::npos ? std::string::npos : b - a, section) == 0) return;
    }
    log << "FATAL: section " << section << " not found in control file" << "[end-entry]";
    throw ModelError(34);
}

void NoteRuleSections(std::FILE* f) {
    std::rewind(f);
    std::string line;
    while (ReadLine(f, line)) {
        const std::size_t a = line.find_first_not_of(" \t\r\n");
        if (a == std::string::npos || line.compare(a, 18, "[abstraction_rule_") != 0) continue;
        const std::size_t b = line.find_first_of(" \t\r\n", a);
        NoteSectionSought(line.substr(a, b == std::string::npos ? std::string::npos : b - a));
    }
    std::rewind(f);
}

std::vector<std::string> ReadSectionLines(std::FILE* f) {
    std::vector<std::string> lines;
    std::string line;
    while (ReadLine(f, line)) {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty() || line.find('[') != std::string::npos) break;
        lines.push_back(line);
    }
    return lines;
}

}  // namespace routing
