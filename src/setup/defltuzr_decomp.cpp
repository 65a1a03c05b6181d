// Load balancing and the division of the grid rows among the MPI processes, and the
// distribution of the zone grid.
#include "setup/defltuzr.hpp"

#include <algorithm>

#include "kernel/mpistate.hpp"
#include "setup/mpiregions.hpp"

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
        Matrix* grid = CreateOwnedGrid(first, last, nodata);
        UpdateSetupGrid(def.index, grid, def.writeCode, first, last);
    }
    MPIScatterGrid(def.index);
    MPIExchangeHalo(def.index);
}

// Process 0 writes the owner grid, every process its strip table and halo grid. Binary files go
// out in one pass over the rows (their statistics side by side); a file that pass did not finish
// is written alone, which reports the fault.
void defaultini::WriteDecompositionGrids() {
    std::vector<std::pair<std::string, const Matrix*>> files;
    // A binary owner grid and process 0's strip table go out as the derived grids do: each other
    // process writes the rows strictly inside its own rows (it received the owner grid's rows
    // whole from process 0 and lists every owner's runs of them as process 0 does), process 0
    // checks and counts every row and writes the rest. A file that way did not finish is written
    // alone.
    int sharedWritten = 0;
    if (!textOutput && size > 1 && MpiRunning()) {
        const std::vector<int>& rows = WriterRows();
        Matrix everyOwnersRuns;
        if (rank != 0) {
            const int from = rows[2 * static_cast<std::size_t>(rank)], to = rows[2 * static_cast<std::size_t>(rank) + 1];
            everyOwnersRuns = matrix(from, std::max(from - 1, to), 1, ncols, nrows);
            for (int r = from; r <= to; ++r)
                BuildHelperRowAll(decomposition_.regions[r], everyOwnersRuns[r], ncols, nodata, true);
        }
        const Matrix* helper = rank == 0 ? &decomposition_.helper : &everyOwnersRuns;
        sharedWritten = WriteBinaryGridsShared({{"MPIRegions_0", &decomposition_.regions}, {"MPIHelper_0", helper}},
                                               doublePrecision, rows);
    }
    if (rank == 0 && sharedWritten < 1) files.emplace_back(StrFormat("MPIRegions_%d", rank), &decomposition_.regions);
    if (rank != 0 || sharedWritten < 2) files.emplace_back(StrFormat("MPIHelper_%d", rank), &decomposition_.helper);
    files.emplace_back(StrFormat("MPIHalo_%d", rank), &decomposition_.halo);
    // Process 0's owner grid has the most rows to format: every process formats a share of them.
    if (textOutput && size > 1) FormatTextRowsTogether({rank == 0 ? &decomposition_.regions : nullptr});
    const std::size_t together = textOutput ? 0 : static_cast<std::size_t>(WriteBinaryGrids(files, doublePrecision));
    for (std::size_t k = together; k < files.size(); ++k)
        WriteGrid(files[k].first, *files[k].second, textOutput, doublePrecision);
    DropFormattedTextRows();
}

void defaultini::DistributeZoneGrid() {
    WriteDecompositionGrids();
    GridDefinition& zone = gridDefinitions_.front();
    DistributeWholeGrid(zone);
    if (GridDefinition* links = DefinitionNamed("river_links")) DistributeWholeGrid(*links);
    zoneData_ = (*gridStore)[zone.index].grid;
}
