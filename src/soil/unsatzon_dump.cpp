// Plausibility check and snapshot name of a soil column in dump mode (see unsatzon_dump.hpp).
#include "soil/unsatzon_dump.hpp"

#include <cmath>
#include <cstdio>

#include "kernel/diaglog.hpp"

namespace soildump {

namespace {
std::size_t U(int i) { return static_cast<std::size_t>(i); }

// Above every neighbour value by more than 0.001, or below every one by more than 0.001.
bool LocalExtreme(double t, std::span<const double> others) {
    bool above = true, below = true;
    for (double o : others) {
        above = above && t > o + 0.001;
        below = below && t < o - 0.001;
    }
    return above || below;
}
}  // namespace

Flags Check(int n, std::span<const double> theta, std::span<const double> thetaS, double baseflow,
            std::span<const double> Told, std::span<const double> Tnew, double surface) {
    Flags f;
    f.groundwater = baseflow < -10.0 || baseflow > 10.0;
    for (int i = 1; i <= n; ++i)
        if (theta[U(i)] < 0 || theta[U(i)] > thetaS[U(i)] + 0.001) f.water = true;
    if (Tnew.empty()) return f;
    for (int i = 1; i < n && !f.temperature; ++i) {
        const double t = Tnew[U(i)];
        if (t < -50.0 || t > 50.0) {
            f.temperature = true;
            break;
        }
        if (i == 1) {
            const double others[] = {Told[1], surface, Told[2], Tnew[2]};
            f.temperature = LocalExtreme(t, others);
        } else {
            const double others[] = {Told[U(i)], Told[U(i - 1)], Tnew[U(i - 1)], Told[U(i + 1)], Tnew[U(i + 1)]};
            f.temperature = LocalExtreme(t, others);
        }
    }
    return f;
}

std::string FileName(const Flags& f, int row, int col, int substep, std::int64_t year, std::int64_t month,
                     std::int64_t day, std::int64_t hour) {
    std::string name;
    if (f.temperature) name += "h_";
    if (f.water) name += "th_";
    if (f.groundwater) name += "dgw_";
    char tail[160];
    std::snprintf(tail, sizeof tail, "dump_row_%d_col_%d_substep_%d_%lld%02lld%02lld%02lld.dmp", row, col, substep,
                  static_cast<long long>(year), static_cast<long long>(month), static_cast<long long>(day),
                  static_cast<long long>(hour));
    return name + tail;
}

int ReportCloseAfterDump(DiagLog& log) {
    log << "FATAL: \n\n -------- command line option -closeAfterDump active! "
           "---------------------------------------------\n\n"
        << " a dumpfile has been written and Talvo aborts now.\n"
        << "-----------------------------------------------------------------------------------------------"
        << "[end-entry]";
    return kCloseAfterDumpCode;
}

}  // namespace soildump
