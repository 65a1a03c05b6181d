#pragma once
// Checks of the code grids (land use, irrigation, soil types) against their tables. Every cell
// of the basin must hold a code of the table; afterwards every cell holds the 1-based position
// of its record, so that the sub-models index the tables directly with the grid value.
#include <cstdint>
#include <string>
#include <vector>

#include "tables/irrigation_table.hpp"
#include "tables/landuse_entry.hpp"
#include "tables/multilayer_landuse.hpp"
#include "tables/soil_entry.hpp"

class DiagLog;
class Matrix;
class modelobject;

enum class CodeGridKind { Soil, Irrigation, Landuse, MultilayerLanduse };

// How the processes hold a code grid when it is checked.
enum class CodeGridRows {
    // Process 0 holds every cell and checks them; then it sends the others their cells.
    WholeOnProcessZero,
    // Every process holds its own cells and halo cells as read (process 0 every cell of its
    // rows) and checks and rewrites them; nothing moves but the first missing code.
    OwnCells,
};

// The codes of records 1..count of a table (element 0 unused).
template <class Entry>
std::vector<std::int32_t> TableCodes(const std::vector<Entry>& table) {
    std::vector<std::int32_t> codes(table.empty() ? 1 : table.size(), 0);
    for (std::size_t i = 1; i < table.size(); ++i) codes[i] = table[i].code;
    return codes;
}

// The check of one process, on the rows 1..nrows both grids hold: every cell whose zone value
// is above nodata (for irrigation, also whose value is above 0) must hold, in its integer part,
// one of codes[1..]; then every cell whose integer part equals the code of record i (code
// not i) gets the value i. The first missing code is logged and thrown (31, 32 or 311).
void CheckAndReplaceCodes(DiagLog& log, CodeGridKind kind, Matrix& grid, const Matrix& zones, std::int32_t nrows,
                          std::int32_t ncols, double nodata, const std::vector<std::int32_t>& codes,
                          const std::string& fileName, const std::string& internalName);

// Process 0: the layer codes of the multilayer table must be land-use codes (the first layer
// of every type given); they are rewritten to land-use table positions. Failure: 312.
void CheckMultilayerLayerCodes(DiagLog& log, std::vector<multilayer_landuse_entry>& multilayer,
                               const std::vector<landuse_entry>& landuse, double nodata);

// Collective checks of the grid at grid-store index (0: nothing is done). With the grid whole on
// process 0, process 0 checks and rewrites, every process then fails with the same code or
// receives its rewritten rows and halo cells; with own cells, every process checks and rewrites
// its cells and process 0 reports the first missing code in row order over all of them. With a
// multilayer table (non-empty) the land-use grid holds multilayer codes and the rewritten layer
// codes are sent to all processes.
void CheckLanduseGrid(modelobject& o, int index, const std::vector<landuse_entry>& landuse,
                      std::vector<multilayer_landuse_entry>& multilayer,
                      CodeGridRows rows = CodeGridRows::WholeOnProcessZero);
// As CheckLanduseGrid for a land-use grid read again during the run: only the grid's codes are
// checked and mapped (against the multilayer codes when there is a multilayer table); the
// tables, rewritten once at start, are left alone.
void RecheckLanduseGrid(modelobject& o, int index, const std::vector<landuse_entry>& landuse,
                        const std::vector<multilayer_landuse_entry>& multilayer,
                        CodeGridRows rows = CodeGridRows::WholeOnProcessZero);
void CheckIrrigationGrid(modelobject& o, int index, const std::vector<irrigation_entry>& irrigation,
                         CodeGridRows rows = CodeGridRows::WholeOnProcessZero);
void CheckSoilGrid(modelobject& o, int index, const std::vector<soil_entry>& soil,
                   CodeGridRows rows = CodeGridRows::WholeOnProcessZero);
