// Load balancing and the division of the grid rows among the MPI processes, and the
// distribution of the zone grid.
#include <mpi.h>

#include <algorithm>

#include "kernel/mpistate.hpp"
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

// Process 0 writes the owner grid, every process its strip table and halo grid. Binary files go
// out in one pass over the rows each; the owner grid's rows strictly between a process's first
// and last own row are written by that process, which holds them as process 0 does (it received
// them whole). A file that pass did not finish is written alone, which reports the fault.
const std::vector<int>& defaultini::WriterRows() {
    if (!writerRows_.empty()) return writerRows_;
    const int mine[2] = {rank == 0 ? 1 : firstRow + 1, rank == 0 ? 0 : lastRow - 1};
    writerRows_.assign(2 * static_cast<std::size_t>(size), 0);
    if (size > 1 && MpiRunning())
        MPI_Gather(mine, 2, MPI_INT, writerRows_.data(), 2, MPI_INT, 0, MPI_COMM_WORLD);
    if (rank != 0) std::copy(mine, mine + 2, writerRows_.begin() + 2 * rank);
    return writerRows_;
}

void defaultini::WriteDecompositionGrids() {
    bool regionsWritten = false;
    int together = 0;
    if (!textOutput && MpiRunning()) {
        if (size > 1)
            regionsWritten =
                WriteBinaryGridsShared({{"MPIRegions_0", &decomposition_.regions}}, doublePrecision, WriterRows()) == 1;
        together = WriteBinaryGrids({{StrFormat("MPIHelper_%d", rank), &decomposition_.helper},
                                     {StrFormat("MPIHalo_%d", rank), &decomposition_.halo}},
                                    doublePrecision);
    }
    if (rank == 0 && !regionsWritten)
        WriteGrid(StrFormat("MPIRegions_%d", rank), decomposition_.regions, textOutput, doublePrecision);
    if (together < 1) WriteGrid(StrFormat("MPIHelper_%d", rank), decomposition_.helper, textOutput, doublePrecision);
    if (together < 2) WriteGrid(StrFormat("MPIHalo_%d", rank), decomposition_.halo, textOutput, doublePrecision);
}

void defaultini::DistributeZoneGrid() {
    WriteDecompositionGrids();
    GridDefinition& zone = gridDefinitions_.front();
    DistributeWholeGrid(zone);
    if (GridDefinition* links = DefinitionNamed("river_links")) DistributeWholeGrid(*links);
    zoneData_ = (*gridStore)[zone.index].grid;
}
