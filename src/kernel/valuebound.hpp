#pragma once
// The range of values a parameter can physically take, and the check every reader applies when
// it reads one: a value outside is a FATAL entry naming section, key, value and the range, and
// the reader's code (17 for the control file). Unusual but possible values pass.
#include <cstdint>
#include <limits>
#include <string>

class DiagLog;

struct ValueBound {
    double low = -std::numeric_limits<double>::infinity();
    double high = std::numeric_limits<double>::infinity();
    bool lowOpen = false;   // low itself is refused
    bool highOpen = false;  // high itself is refused

    bool Holds(double v) const {
        const bool aboveLow = lowOpen ? v > low : v >= low;
        const bool belowHigh = highOpen ? v < high : v <= high;
        return aboveLow && belowHigh;  // false for NaN
    }
    // "> 0", ">= 1", "<= 1", "in [0, 1]", "in (0, 2)".
    std::string Text() const;
};

namespace bound {
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr ValueBound Above(double low) { return {low, kInf, true, false}; }
constexpr ValueBound AtLeast(double low) { return {low, kInf, false, false}; }
constexpr ValueBound Below(double high) { return {-kInf, high, false, true}; }
constexpr ValueBound Within(double low, double high) { return {low, high, false, false}; }
constexpr ValueBound Positive = Above(0);
constexpr ValueBound NonNegative = AtLeast(0);
constexpr ValueBound Fraction = Within(0, 1);
}  // namespace bound

// Logs "FATAL: error in <where>, <key>; <place>: the value <v> in section <section> must be
// <range>!" and throws code.
[[noreturn]] void BoundError(DiagLog& log, const std::string& where, const std::string& section,
                             const std::string& key, const std::string& place, double value, const ValueBound& range,
                             int code = 17);

inline void RequireBound(DiagLog& log, const std::string& where, const std::string& section, const std::string& key,
                         const std::string& place, double value, const ValueBound& range, int code = 17) {
    if (!range.Holds(value)) BoundError(log, where, section, key, place, value, range, code);
}

// Unknown method codes: "FATAL: error in control file, <key>; <place>: the method <m> in section
// <section> is unknown; known methods are <list>!" and code 17.
[[noreturn]] void UnknownMethodError(DiagLog& log, const std::string& section, const std::string& key,
                                     const std::string& place, int method, const std::string& known);

// A grid, stack or table about to hold a value that is not a finite number: "FATAL: the value
// <v> for <place> of <file> on <d>.<m>.<y> <h> h is not a finite number; it is not written!" and
// code 17. The inputs that lead to one are refused by the readers' ranges where they are known.
[[noreturn]] void NonFiniteOutputError(DiagLog& log, const std::string& file, const std::string& place, double value,
                                       std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour);
