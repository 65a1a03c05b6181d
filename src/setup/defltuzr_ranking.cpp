// Zone and region ranking and the regression weight grids.
//
// Placeholders: filled in by the ranking work. Until then every row counts as one column range
// over the whole grid, so that operations bounded by the ranges see every cell.
#include <algorithm>

#include "setup/defltuzr.hpp"

void defaultini::RankZones() {
    zones_.columns.assign(static_cast<std::size_t>(std::max(nrows, 0)) + 1, ColumnRange{1, ncols});
    if (!zones_.columns.empty()) zones_.columns[0] = ColumnRange{0, -1};
}

void defaultini::MakeRegionWeightGrids() {}
