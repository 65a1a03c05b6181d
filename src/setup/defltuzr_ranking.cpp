// Zone and region ranking and the regression weight grids.
//
// Placeholder: the regression weight grids are filled in by the region-weight work.
#include <algorithm>

#include "setup/defltuzr.hpp"

// Process 0 ranks the whole zone grid with the relative cell areas known so far; every process
// receives the tables and keeps the column ranges of its own rows.
void defaultini::RankZones() {
    const GridDefinition& zone = gridDefinitions_.front();
    ::RankZones(*this, (*gridStore)[zone.index].grid, relCellArea, zone.fileName, zones_);
}
