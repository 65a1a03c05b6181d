#pragma once
// Records of the division of the grid among the MPI processes, shared by every model object
// of a process (built by the set-up's load balancing, used by the row transfers).
#include <cstdint>
#include <string>
#include <vector>

// A run of cells of one global grid row that crosses a process boundary.
struct HaloRecord {
    std::int32_t row = 0;
    std::int32_t firstCol = 0;
    std::int32_t count = 0;
    std::int32_t rank = 0;  // receiving process (send list) or owner (receive list)
};

// First and last column of the basin cells of one grid row.
struct ColumnRange {
    std::int32_t first = 0;
    std::int32_t last = 0;
};

// What every model object receives from the set-up: path prefixes and references to the
// process decomposition (null or empty before the decomposition exists).
struct ObjectRecord {
    std::string inputPath;
    std::string outputPath;
    std::vector<HaloRecord>* sendHalo = nullptr;
    std::vector<HaloRecord>* recvHalo = nullptr;
    // Per-row basin column ranges, indexed by row 0..nrows.
    std::vector<ColumnRange>* basinColumns = nullptr;
};
