#pragma once
// Records per zone (subbasin) and the table through which zone statistics report their last
// rows; shared by the set-up, the sub-models and the statistics writers.
#include <array>
#include <cstdint>

// One zone: weight sum n, weighted value sum sx, the zone code, its area share and the sum of
// the cell weights. Record 0 of a ranking holds the basin area in rel.
struct zoneFZT {
    double n = 0;
    double sx = 0;
    double zonenwert = 0;
    double rel = 0;
    double RelCellSum = 0;
};

// One entry of the table of statistics outputs (ten 64-bit words).
using OutputCodeRecord = std::array<std::int64_t, 10>;
