#pragma once
// Zone ranking: subbasin codes become consecutive zone numbers ordered by code, with cell
// counts, relative areas and, for every grid row, the column range of its valid cells. Used by
// the set-up for the zone grid and by the sub-models for their own zone grids.
#include <cstdint>
#include <cstddef>
#include <string>
#include <vector>

#include "kernel/decomposition.hpp"
#include "kernel/matrix.hpp"

class modelobject;

// One record per zone; record 0 holds the totals (its share field: the area in km^2).
struct ZoneRecord {
    double weightedCount = 0;  // sum of relative cell areas (1 per cell without them)
    double cellCount = 0;
    double code = 0;
    double share = 0;          // share of the zone in the weighted total
    double weightedCount2 = 0;
};

struct ZoneTables {
    static constexpr int kMaxCode = 32767;
    static constexpr int kMaxZones = 16000;
    int zoneCount = 0;
    int maxCode = 0;
    std::vector<std::int32_t> codeToZone;  // codes 0..kMaxCode; 0 for codes that do not occur
    std::vector<ZoneRecord> records;       // 0..zoneCount
    std::vector<ColumnRange> columns;      // rows 0..nrows; (0, -1) for rows without valid cells
};

// The zone code of a cell value: rounded towards zero, plus 0.5, rounded towards zero again.
long ZoneCode(double value);

// A code met first at a place of the grid in row order ((row - 1) * ncols + column - 1), with the
// cell value found there.
struct CodePlace {
    std::int64_t place = 0;
    std::int32_t code = 0;
    std::int32_t unused = 0;
    double value = 0;
};

// What a scan of the whole grid in row order meets, gathered from scans of every process's own
// cells: the codes in the order they are first met, each once, up to the first invalid code and
// at most limit + 1 of them, and the place of the first invalid code (kNoPlace: none).
struct FirstCodes {
    static constexpr std::int64_t kNoPlace = INT64_MAX;
    std::vector<CodePlace> codes;
    std::int64_t firstInvalid = kNoPlace;
    // Where the row-order scan stops: 3 at an invalid code, 4 at code number limit + 1
    // (whichever comes first), 0 when it passes every cell.
    int Stop(std::size_t limit) const;
};

// Collective. own: the codes this process met first in its cells, in place order, each once;
// only its first limit + 1 are needed (the limit + 1 codes met first in the whole grid are
// among them). ownFirstInvalid: the place of its first invalid code. The lists travel in one
// gather, so every process gets the same result.
FirstCodes MergeFirstCodes(const std::vector<CodePlace>& own, std::int64_t ownFirstInvalid, std::size_t limit);

// Ranks the zones of zone (all rows, process 0) with the relative cell areas relArea (or null)
// and broadcasts the tables; other processes keep the column ranges of their own rows only.
// Collective over all processes.
void RankZones(modelobject& obj, const Matrix* zone, const Matrix* relArea, const std::string& zoneFile,
               ZoneTables& tables);
