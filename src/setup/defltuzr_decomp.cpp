// Load balancing and the division of the grid rows among the MPI processes, and the
// distribution of the zone grid.
#include "setup/defltuzr.hpp"

namespace {
constexpr const char* kNoRoomForDecomposition =
    "FATAL: when trying to create MPI-Regions: no free grid found in memory (at position ";
}

// The halo grid may hold fewer rows than the other two (process 0 keeps it over its own rows).
void defaultini::RegisterDecompositionGrids(int lo, int hi) {
    RegisterSetupGrid("", "MPIRegions", &decomposition_.regions, 0, lo, hi, kNoRoomForDecomposition);
    RegisterSetupGrid("", "MPIHelper", &decomposition_.helper, 0, lo, hi, kNoRoomForDecomposition);
    const Matrix& halo = decomposition_.halo;
    RegisterSetupGrid("", "MPIHalo", &decomposition_.halo, 0, halo.firstRow(), halo.lastRow(), kNoRoomForDecomposition);
}

void defaultini::CreateMPIRegions() {
    const Matrix* zone = rank == 0 ? (*gridStore)[gridDefinitions_.front().index].grid : nullptr;
    DecompositionResult result;
    ::CreateMPIRegions(*this, zone, decomposition_, result,
                       [this](DecompositionGrids&, int lo, int hi) { RegisterDecompositionGrids(lo, hi); });
    firstRow = result.ownFirstRow;
    lastRow = result.ownLastRow;
    cellsPerProcess_ = std::move(result.cellsPerProcess);
    sendHaloList_ = std::move(result.sendHalo);
    recvHaloList_ = std::move(result.recvHalo);
    mpiRegions = nullptr;
    mpiHelper = nullptr;
    FindDecompositionGrids();
}

// Process 0 holds the grid whole; every other process allocates its rows with the halo rows,
// then receives its cells and the halo cells of its neighbours.
void defaultini::DistributeWholeGrid(GridDefinition& def) {
    if (rank != 0) {
        int first = 0, last = 0;
        SharedGridRows(&first, &last);
        Matrix* grid = CreateOwnedGrid(first, last);
        grid->fill(nodata);
        UpdateSetupGrid(def.index, grid, def.writeCode, first, last);
    }
    MPIScatterGrid(def.index);
    MPIExchangeHalo(def.index);
}

void defaultini::DistributeZoneGrid() {
    if (rank == 0)
        WriteGrid(StrFormat("MPIRegions_%d", rank), decomposition_.regions, textOutput, doublePrecision);
    WriteGrid(StrFormat("MPIHelper_%d", rank), decomposition_.helper, textOutput, doublePrecision);
    WriteGrid(StrFormat("MPIHalo_%d", rank), decomposition_.halo, textOutput, doublePrecision);
    GridDefinition& zone = gridDefinitions_.front();
    DistributeWholeGrid(zone);
    if (GridDefinition* links = DefinitionNamed("river_links")) DistributeWholeGrid(*links);
    zoneData_ = (*gridStore)[zone.index].grid;
}
