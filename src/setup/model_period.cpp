#include "setup/model_period.hpp"

#include <tuple>

int DaysInMonthForCheck(std::int64_t month, std::int64_t year) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    if (month == 2 && year % 4 == 0) return 29;
    return kDays[month - 1];
}

namespace {
std::string DateFault(const PeriodDate& d, const char* which) {
    const std::string w = which;
    // Years beyond four digits have no calendar here, and their date keys would overflow.
    if (d.year < 1 || d.year > 9999) return w + " year " + std::to_string(d.year) + " is not 1..9999";
    if (d.month < 1 || d.month > 12) return w + " month " + std::to_string(d.month) + " is not 1..12";
    const int days = DaysInMonthForCheck(d.month, d.year);
    if (d.day < 1 || d.day > days)
        return w + " day " + std::to_string(d.day) + " is not 1.." + std::to_string(days) + " of month " +
               std::to_string(d.month);
    if (d.hour < 1 || d.hour > 24) return w + " hour " + std::to_string(d.hour) + " is not 1..24";
    return "";
}
}  // namespace

std::string ModelPeriodFault(const PeriodDate& start, const PeriodDate& end) {
    std::string fault = DateFault(start, "start");
    if (fault.empty()) fault = DateFault(end, "end");
    if (!fault.empty()) return fault;
    if (std::tie(end.year, end.month, end.day, end.hour) < std::tie(start.year, start.month, start.day, start.hour))
        return "the end lies before the start";
    return "";
}

std::string PeriodDateText(const PeriodDate& d) {
    return std::to_string(d.day) + "." + std::to_string(d.month) + "." + std::to_string(d.year) + " " +
           std::to_string(d.hour) + " h";
}
