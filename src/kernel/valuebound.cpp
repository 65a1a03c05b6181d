// Range checks of the values readers accept.
#include "kernel/valuebound.hpp"

#include <cmath>
#include <iomanip>
#include <sstream>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"

namespace {
std::string Number(double v) {
    std::ostringstream s;
    s << std::setprecision(15) << v;
    return s.str();
}
}  // namespace

std::string ValueBound::Text() const {
    const bool lowFinite = std::isfinite(low), highFinite = std::isfinite(high);
    if (lowFinite && !highFinite) return (lowOpen ? "> " : ">= ") + Number(low);
    if (!lowFinite && highFinite) return (highOpen ? "< " : "<= ") + Number(high);
    if (!lowFinite && !highFinite) return "a finite number";
    return std::string("in ") + (lowOpen ? "(" : "[") + Number(low) + ", " + Number(high) + (highOpen ? ")" : "]");
}

void BoundError(DiagLog& log, const std::string& where, const std::string& section, const std::string& key,
                const std::string& place, double value, const ValueBound& range, int code) {
    log << "FATAL: error in " << where << ", " << key << "; " << place << ": the value " << Number(value) << " in section "
        << section << " must be " << range.Text() << "!" << "[end-entry]";
    throw ModelError(code);
}

void UnknownMethodError(DiagLog& log, const std::string& section, const std::string& key, const std::string& place,
                        int method, const std::string& known) {
    log << "FATAL: error in control file, " << key << "; " << place << ": the method " << method << " in section "
        << section << " is unknown; known methods are " << known << "!" << "[end-entry]";
    throw ModelError(17);
}

void NonFiniteOutputError(DiagLog& log, const std::string& file, const std::string& place, double value,
                          std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour) {
    log << "FATAL: the value " << Number(value) << " for " << place << " of " << file << " on "
        << static_cast<long long>(day) << "." << static_cast<long long>(month) << "." << static_cast<long long>(year)
        << " " << static_cast<long long>(hour) << " h is not a finite number; it is not written!" << "[end-entry]";
    throw ModelError(17);
}
