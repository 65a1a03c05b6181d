// Grids derived from the zone grid and the elevation model: cell sizes and relative cell area,
// cell coordinates, slope and aspect, and the ice and firn grid.
//
// Placeholders: filled in by the derived-grid work.
#include "setup/defltuzr.hpp"

void defaultini::CreateCellSizeGrids() {}

void defaultini::CreateCoordinateGrids() {}

void defaultini::make_Slope_and_Aspect() {}

void defaultini::check_ice_firn_grid() {}
