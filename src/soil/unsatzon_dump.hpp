#pragma once
// Plausibility check of one soil column after a water sub-step in dump mode, and the name of
// the snapshot file written when it fails.
#include <cstdint>
#include <span>
#include <string>

class DiagLog;

namespace soildump {

struct Flags {
    bool temperature = false;  // "h_"
    bool water = false;        // "th_"
    bool groundwater = false;  // "dgw_"
    bool any() const { return temperature || water || groundwater; }
};

// Layers 1..n. Told/Tnew are empty without heat transfer; surface is the air temperature
// times the n-factor.
Flags Check(int n, std::span<const double> theta, std::span<const double> thetaS, double baseflow,
            std::span<const double> Told, std::span<const double> Tnew, double surface);

// "h_th_dgw_dump_row_5_col_7_substep_1_2000010112.dmp" with the prefixes of the flags set.
std::string FileName(const Flags& f, int row, int col, int substep, std::int64_t year, std::int64_t month,
                     std::int64_t day, std::int64_t hour);

// The error code that ends the run after the first snapshot with "-closeAfterDump".
constexpr int kCloseAfterDumpCode = 199;
// Logs why the run ends after a snapshot; the caller carries the code out of its parallel loop.
int ReportCloseAfterDump(DiagLog& log);

}  // namespace soildump
