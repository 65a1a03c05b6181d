#pragma once
// Zone ranking: subbasin codes become consecutive zone numbers ordered by code, with cell
// counts, relative areas and, for every grid row, the column range of its valid cells. Used by
// the set-up for the zone grid and by the sub-models for their own zone grids.
#include <cstdint>
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

// Ranks the zones of zone (all rows, process 0) with the relative cell areas relArea (or null)
// and broadcasts the tables; other processes keep the column ranges of their own rows only.
// Collective over all processes.
void RankZones(modelobject& obj, const Matrix* zone, const Matrix* relArea, const std::string& zoneFile,
               ZoneTables& tables);
