// Lake cells of the routing model: the grids of the lake cells are gathered to process 0 before
// each routing step and the ponding storage goes back to the owners afterwards.
#include <mpi.h>

#include "routing/abfluss.hpp"

void abflussmodellklasse::ReadLakeCodes(const std::string& section) {
    const int lakeCodes = FindGrid("lake_codes");
    if (lakeCodes == 0) {
        lakeModelling = 0;
        *log << "INFO: no LAKE-grid was found in " << moduleName << "\n"
             << "Lake modelling is switched off for " << moduleName << ".\n" << "[end-entry]";
        return;
    }
    lakeCodesIndex = lakeCodes;
    SeekSection(section, true);
    std::FILE* f = ControlStream();
    ReadValue(f, "%d", &lakeModelling, "flow control parameter for " + section);
    if (settings.responseUnits != nullptr && !settings.responseUnits->empty()) lakeModelling = 0;
    if (lakeModelling == 0) {
        lakeReadGrids = 0;
        return;
    }
    ReadLineRest(f);
    ReadLineRest(f);
    ReadLineRest(f);
    ReadValue(f, "%d", &lakeReadGrids, "readgrids for " + section);
}

void abflussmodellklasse::InitLakeModel(bool interceptionFirst) {
    if (routingRequested == 0) return;
    if (rank != 0) {
        // Process 0 read the lake settings while it was constructed; the others open the
        // control file for them now.
        if (FindGrid("lake_codes") > 0) {
            controlFile = OpenFile(controlFileName, "r");
            if (!controlFile) FailOnFile(*log, "error opening " + controlFileName, 28);
            ReadLakeCodes("[lake_model]");
            controlFile.reset();
        } else {
            lakeModelling = 0;
        }
    }
    if (lakeModelling == 0) return;
    // The water that falls on the lakes: what passes the canopy and the snow cover, else the
    // precipitation itself.
    const std::string throughfall = StrFormat("%s%d", "throughfall", 0);
    const std::string first = interceptionFirst ? "snowcover_outflow" : throughfall;
    const std::string second = interceptionFirst ? throughfall : "snowcover_outflow";
    waterInputIndex = 0;
    for (const std::string& name : {first, second, std::string("precipitation")})
        if (waterInputIndex == 0) waterInputIndex = FindGrid(name);
    FindDecompositionGrids();
    pondingIndex = FindGrid("ponding_storage");
    const int zones = FindGrid("[zone_grid]") > 0 ? FindGrid("[zone_grid]") : 1;
    const Matrix* lakes = (*gridStore)[lakeCodesIndex].grid;
    const Matrix* zone = (*gridStore)[zones].grid;
    std::int64_t own = 0;
    for (int r = firstRow; r <= lastRow && lakes != nullptr && zone != nullptr; ++r)
        for (int c = 1; c <= ncols; ++c) {
            const bool mine = mpiRegions == nullptr || static_cast<int>((*mpiRegions)[r][c]) == rank;
            if (mine && (*zone)[r][c] > nodata && (*lakes)[r][c] > nodata) ++own;
        }
    lakeCellsPerRank.assign(static_cast<std::size_t>(size), 0);
    std::vector<std::int64_t> mine(static_cast<std::size_t>(size), 0);
    mine[static_cast<std::size_t>(rank)] = own;
    MPI_Reduce(mine.data(), lakeCellsPerRank.data(), size, MPI_INT64_T, MPI_SUM, 0, MPI_COMM_WORLD);
    MPI_Bcast(lakeCellsPerRank.data(), size, MPI_INT64_T, 0, MPI_COMM_WORLD);
    for (int r = 0; r < size; ++r)
        *log << "DEBUG: lakeCellsPerMPIRank[" << r << "] " << static_cast<long long>(lakeCellsPerRank[static_cast<std::size_t>(r)])
             << "[end-entry]";
    if (pondingIndex > 0) MPIDistributeRegionValues(pondingIndex, lakeCodesIndex, lakeCellsPerRank);
}

void abflussmodellklasse::CollectLakeCells() {
    if (lakeModelling == 0 || routingRequested == 0 || lakeCellsPerRank.empty()) return;
    if (pondingIndex > 0) MPICollectRegionValues(pondingIndex, lakeCodesIndex, lakeCellsPerRank);
    CollectWaterInput();
    for (const char* name : {"real_transpiration0", "q_downext", "baseflow"}) {
        const int index = FindGrid(name);
        if (index > 0) MPICollectRegionValues(index, lakeCodesIndex, lakeCellsPerRank);
    }
    for (int k = 1; k <= nTr; ++k) {
        const int index = FindGrid(StrFormat("concstor_tracer_%d_%s", k, "unsatzon_model"), true);
        if (index > 0) MPICollectRegionValues(index, lakeCodesIndex, lakeCellsPerRank);
    }
}

void abflussmodellklasse::DistributeLakePonding() {
    if (lakeModelling == 0 || routingRequested == 0 || lakeCellsPerRank.empty() || pondingIndex == 0) return;
    MPIDistributeRegionValues(pondingIndex, lakeCodesIndex, lakeCellsPerRank);
}

void abflussmodellklasse::CollectWaterInput() {
    if (waterInputIndex == 0 || !precOnLakes) return;
    const Matrix* input = (*gridStore)[waterInputIndex].grid;
    const Matrix* lakes = (*gridStore)[lakeCodesIndex].grid;
    if (size > 1 && mpiRegions != nullptr) {
        MPICollectRegionValues(waterInputIndex, lakeCodesIndex, lakeCellsPerRank, rank == 0 ? &precOnLakes : nullptr);
        return;
    }
    // Without a decomposition the grids of process 0 hold every lake cell itself.
    for (int r = 1; r <= nrows; ++r) {
        if (!input->holds(r) || !lakes->holds(r) || !precOnLakes.holds(r)) continue;
        for (int c = 1; c <= ncols; ++c)
            if ((*lakes)[r][c] > nodata) precOnLakes[r][c] = (*input)[r][c];
    }
}
