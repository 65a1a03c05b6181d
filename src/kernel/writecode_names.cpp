// Date tests and output file names of the output by write code.
#include "kernel/gridstore.hpp"
#include "kernel/modelobject.hpp"
#include "kernel/writecode.hpp"

namespace writecode {

bool EndOfDay(double hourOffset, std::int64_t hour) { return static_cast<std::int64_t>(hourOffset) + hour == 24; }

bool EndOfMonth(double hourOffset, const OutputDate& d) {
    static constexpr int kMonthLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (!EndOfDay(hourOffset, d.hour) || d.month < 1 || d.month > 12) return false;
    return d.day == kMonthLengths[d.month - 1];
}

bool EndOfYear(double hourOffset, const OutputDate& d) {
    return EndOfDay(hourOffset, d.hour) && d.day == 31 && d.month == 12;
}

PeriodEnds Ends(double hourOffset, const OutputDate& d, std::int64_t endKey) {
    PeriodEnds e;
    e.run = DateKey(d.year, d.month, d.day, d.hour) >= endKey;
    e.day = EndOfDay(hourOffset, d.hour);
    e.month = EndOfMonth(hourOffset, d);
    e.year = EndOfYear(hourOffset, d);
    return e;
}

bool PeriodEnded(int tens, const PeriodEnds& ends) {
    switch (tens) {
        case 1:
        case 5: return ends.run;
        case 2:
        case 6: return ends.year;
        case 3:
        case 7: return ends.month;
        case 4:
        case 8: return ends.day;
        default: return false;
    }
}

NameParts SplitName(const std::string& fileName) {
    NameParts p;
    const std::size_t slash = fileName.find_last_of('/');
    std::string base = fileName;
    if (slash != std::string::npos) {
        p.directory = fileName.substr(0, slash + 1);
        base = fileName.substr(slash + 1);
    }
    const std::size_t dot = base.empty() ? std::string::npos : base.find('.', 1);
    p.prefix = base.substr(0, dot);
    return p;
}

namespace {
long L(std::int64_t v) { return static_cast<long>(v); }
long YY(std::int64_t year) { return static_cast<long>(year % 100); }
}  // namespace

std::string DatedName(const std::string& fileName, const OutputDate& d, std::int64_t counter, bool stack) {
    const NameParts p = SplitName(fileName);
    const int len = static_cast<int>(stack ? std::min<std::size_t>(p.prefix.size(), 4) : p.prefix.size());
    std::string name =
        counter == 0
            ? StrFormat("%.*s_%04ld%02ld%02ld.%03ld", len, p.prefix.c_str(), L(d.year), L(d.month), L(d.day), L(d.hour))
            : StrFormat("%.*s_%04ld%02ld%02ld.%03ld_%.03ld", len, p.prefix.c_str(), L(d.year), L(d.month), L(d.day),
                        L(d.hour), L(counter));
    return p.directory + name;
}

std::string NextDatedName(GridStoreEntry& e, const std::string& fileName, const OutputDate& d, bool stack) {
    if (d.year == e.lastYear && d.month == e.lastMonth && d.day == e.lastDay && d.hour == e.lastHour) {
        ++e.datedCounter;
    } else {
        e.datedCounter = 0;
    }
    e.lastYear = d.year;
    e.lastMonth = d.month;
    e.lastDay = d.day;
    e.lastHour = d.hour;
    return DatedName(fileName, d, e.datedCounter, stack);
}

std::string PeriodName(const std::string& fileName, int tens, const OutputDate& d) {
    const NameParts p = SplitName(fileName);
    const int len = static_cast<int>(p.prefix.size());
    const char* s = p.prefix.c_str();
    const bool mean = tens >= 5;
    std::string name;
    switch (tens) {
        case 1:
        case 5: name = StrFormat(mean ? "%.*s.mit" : "%.*s.sum", len, s); break;
        case 2:
        case 6: name = StrFormat(mean ? "%.*s_%02ld00.mit" : "%.*s_%02ld00.sum", len, s, YY(d.year)); break;
        case 3:
        case 7:
            name = StrFormat(mean ? "%.*s_%02ld%02ld.mit" : "%.*s_%02ld%02ld.sum", len, s, YY(d.year), L(d.month));
            break;
        case 4:
        case 8:
            name = StrFormat(mean ? "%.*s_%02ld%02ld.%02ldm" : "%.*s_%02ld%02ld.%02lds", len, s, YY(d.year), L(d.month),
                             L(d.day));
            break;
        default: return std::string();
    }
    return p.directory + name;
}

std::string ExtremeName(const std::string& fileName, bool maximum) {
    const NameParts p = SplitName(fileName);
    return p.directory + StrFormat(maximum ? "%.*s.max" : "%.*s.min", static_cast<int>(p.prefix.size()),
                                   p.prefix.c_str());
}

std::string VegetationName(const std::string& fileName, int thousands, std::int64_t year) {
    const NameParts p = SplitName(fileName);
    return p.directory + StrFormat(thousands == 2 ? "%.*s_%04ld_vegper.mit" : "%.*s_%04ld_vegper.sum",
                                   static_cast<int>(p.prefix.size()), p.prefix.c_str(), YY(year));
}

std::string FilledName(const std::string& fileName) { return fileName + ".filled"; }

UnitsOutput GridOutput(int units, const PeriodEnds& ends) {
    UnitsOutput o;
    switch (units) {
        case 1: o.kind = NameKind::Plain; break;
        case 2: o.kind = NameKind::Dated; break;
        case 3: o.kind = ends.run ? NameKind::Plain : NameKind::None; break;
        case 4: o.kind = ends.day ? NameKind::Plain : NameKind::None; break;
        case 5: o.kind = ends.day ? NameKind::Dated : NameKind::None; break;
        case 6: o.kind = ends.month ? NameKind::Dated : NameKind::None; break;
        case 7: o.kind = ends.year ? NameKind::Dated : NameKind::None; break;
        case 8: o.kind = NameKind::Filled; break;
        default: break;
    }
    o.plainAgain = ends.run && (o.kind == NameKind::Dated || o.kind == NameKind::Filled);
    return o;
}

UnitsOutput StackOutput(int units, const PeriodEnds& ends) {
    UnitsOutput o;
    switch (units) {
        case 1: o.kind = NameKind::Plain; break;
        case 2: o.kind = NameKind::Dated; break;
        case 3: o.kind = ends.run ? NameKind::Plain : NameKind::None; break;
        case 4: o.kind = ends.day ? NameKind::Plain : NameKind::None; break;
        case 5: o.kind = ends.day ? NameKind::Dated : NameKind::None; break;
        default: break;
    }
    o.plainAgain = ends.run && o.kind == NameKind::Dated;
    return o;
}

std::string VegetationSuffix(const std::string& baseFileName) {
    const std::size_t at = baseFileName.find("_Layer_");
    if (at == std::string::npos) return "1";
    const std::string rest = baseFileName.substr(at + 7);
    return rest.substr(0, rest.find('.'));
}

}  // namespace writecode
