// Zone, elevation, standard and variable grids: the grid definitions of the control file, the
// header of the zone grid, the zone grid itself, the standard grids created from their default
// values or read from their files, the variable grids and the land-use layer grids.
//
// Placeholders: the reading of the definitions and the grid files is filled in by the grid
// work; until then these steps leave the store empty and the geometry at zero.
#include "setup/defltuzr.hpp"

void defaultini::ReadStandardGrids() {}

void defaultini::ReadGridHeader(std::int32_t* /*ncolsOut*/, std::int32_t* /*nrowsOut*/, double* /*xll*/,
                                double* /*yll*/, double* /*cell*/, double* /*nodataOut*/) {}

void defaultini::ReadZoneGrid() {}

void defaultini::CreateStandardGridData() {}

int defaultini::ReadVariableGrids() { return 0; }

void defaultini::CreateLanduseGrids() {}
