// Lake cells of the routing model: process 0 takes the values of the lake cells of every process
// before each routing step, and gives their ponding storage and the lakes' tracer concentrations
// back afterwards. With the grid divided among processes process 0 holds the lake rows of the
// grids the lakes work on in copies of its own (its grids hold only its own rows).
#include <mpi.h>

#include <algorithm>

#include "kernel/gridio.hpp"
#include "routing/abfluss.hpp"
#include "setup/tracer_ini.hpp"

namespace {

// The volumes of the levels of the lakes' tables, shared among the processes while process 0
// sets the lakes up: for each lake it sends the bottoms of the cells and the levels, every
// process sums a run of the levels (each level as process 0 alone would: over the cells in the
// lake's order), and process 0 gathers the volumes. A head without "go" ends the exchange.
struct LakeShareHead {
    double go = 0, cells = 0, levels = 0, cellArea = 0;
};

int LevelRunStart(int levels, int p, int size) {
    return static_cast<int>(static_cast<long long>(levels) * p / size);
}

// After the head: the bottoms and levels from process 0 (which passes its own), this process's
// run of the levels, the volumes gathered into process 0's table.
void SumLevelRuns(const LakeShareHead& head, const double* rootBottoms, const double* rootLevels, double* rootVolumes,
                  int rank, int size) {
    const int cells = static_cast<int>(head.cells), count = static_cast<int>(head.levels);
    std::vector<double> bottoms(static_cast<std::size_t>(cells)), levels(static_cast<std::size_t>(count));
    if (rank == 0) {
        std::copy(rootBottoms, rootBottoms + cells, bottoms.begin());
        std::copy(rootLevels, rootLevels + count, levels.begin());
    }
    MPI_Bcast(bottoms.data(), cells, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    MPI_Bcast(levels.data(), count, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    const int first = LevelRunStart(count, rank, size), last = LevelRunStart(count, rank + 1, size);
    std::vector<double> mine(static_cast<std::size_t>(last - first));
    routing::LakeLevelVolumesOnThreads(bottoms, levels.data() + first, mine.size(), head.cellArea, mine.data());
    std::vector<int> counts, starts;
    if (rank == 0)
        for (int p = 0; p < size; ++p) {
            starts.push_back(LevelRunStart(count, p, size));
            counts.push_back(LevelRunStart(count, p + 1, size) - starts.back());
        }
    MPI_Gatherv(mine.data(), last - first, MPI_DOUBLE, rootVolumes, counts.data(), starts.data(), MPI_DOUBLE, 0,
                MPI_COMM_WORLD);
}

// Process 0's side, one lake.
void ShareLakeVolumes(const std::vector<double>& bottoms, const std::vector<double>& levels, std::size_t count,
                      double cellArea, std::vector<double>& volumes, int size) {
    LakeShareHead head{1, static_cast<double>(bottoms.size()), static_cast<double>(count), cellArea};
    MPI_Bcast(&head, 4, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    SumLevelRuns(head, bottoms.data(), levels.data(), volumes.data(), 0, size);
}

void EndLakeShares() {
    LakeShareHead end;
    MPI_Bcast(&end, 4, MPI_DOUBLE, 0, MPI_COMM_WORLD);
}

// The other processes' side: a run of the levels of each lake process 0 sends, until the end.
void TakeLakeShares(int rank, int size) {
    for (;;) {
        LakeShareHead head;
        MPI_Bcast(&head, 4, MPI_DOUBLE, 0, MPI_COMM_WORLD);
        if (head.go == 0) return;
        SumLevelRuns(head, nullptr, nullptr, nullptr, rank, size);
    }
}

}  // namespace

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
    MPI_Allreduce(mine.data(), lakeCellsPerRank.data(), size, MPI_INT64_T, MPI_SUM, MPI_COMM_WORLD);
    for (int r = 0; r < size; ++r)
        *log << "DEBUG: lakeCellsPerMPIRank[" << r << "] " << static_cast<long long>(lakeCellsPerRank[static_cast<std::size_t>(r)])
             << "[end-entry]";

    ownLakeGrids = FindLakeGrids();
    lakeCellsDivided = size > 1 && mpiRegions != nullptr;
    if (lakeCellsDivided) GatherLakeRows();
    // Where every process holds every row, process 0 takes the water input of every lake cell.
    if (!lakeCellsDivided && size > 1 && rank == 0) {
        lakeRows.precipitation = matrix(1, nrows, 1, ncols, nrows);
        lakeRows.precipitation.fill(0);
        ownLakeGrids.precipitation = &lakeRows.precipitation;
    }
    // Process 0 makes the reservoirs of the descriptions lakes on the grids that hold every lake
    // cell: its own with one process (or where every process holds every row), else the copies.
    unsigned error = 0;
    if (rank == 0 && Active() && totals.sp > 0) {
        lakeGrids = ownLakeGrids;
        if (lakeCellsDivided) {
            routing::LakeGrids& g = lakeGrids;
            LakeRows& rows = lakeRows;
            g.codes = &rows.codes;
            g.maxPonding = &rows.maxPonding;
            g.zones = &rows.zones;
            g.elevation = &rows.elevation;
            g.ponding = &rows.ponding;
            g.transpiration = ownLakeGrids.transpiration ? &rows.transpiration : nullptr;
            g.downflow = ownLakeGrids.downflow ? &rows.downflow : nullptr;
            g.baseflow = ownLakeGrids.baseflow ? &rows.baseflow : nullptr;
            g.precipitation = &rows.precipitation;
            for (std::size_t t = 1; t < g.tracers.size(); ++t)
                g.tracers[t] = ownLakeGrids.tracers[t] ? &rows.tracers[t] : nullptr;
        }
        const routing::LakeGrids& own = ownLakeGrids;
        if (!own.codes || !own.ponding || !own.maxPonding || !own.zones || !own.elevation || !own.transpiration ||
            std::count(own.tracers.begin() + 1, own.tracers.end(), nullptr) > 0) {
            *log << "FATAL: the grids of the lakes are not in memory" << "[end-entry]";
            error = 33;
        }
        if (size > 1)
            lakeGrids.shareVolumes = [this](const std::vector<double>& bottoms, const std::vector<double>& levels,
                                            std::size_t count, double cellArea, std::vector<double>& volumes) {
                ShareLakeVolumes(bottoms, levels, count, cellArea, volumes, size);
            };
        CatchIntoError(error, [&] {
            for (int n = 1; n <= nDesc && error == 0; ++n) Description(n).InitLakes();
        });
        lakeGrids.shareVolumes = nullptr;
    }
    // Process 0 ends the sharing of the lakes' volumes whether it set lakes up or not, failed or not.
    if (size > 1) {
        if (rank == 0)
            EndLakeShares();
        else
            TakeLakeShares(rank, size);
    }
    gridio::ThrowAgreed(static_cast<int>(error), true);
}

routing::LakeGrids abflussmodellklasse::FindLakeGrids() {
    auto grid = [&](int index) { return index > 0 ? (*gridStore)[index].grid : nullptr; };
    routing::LakeGrids g;
    g.codes = grid(lakeCodesIndex);
    const int ponding = FindGrid("ponding_storage");
    g.ponding = grid(ponding > 0 ? ponding : FindGrid("ponding_storage_top"));
    g.maxPonding = grid(FindGrid("max_ponding_storage"));
    g.zones = grid(FindGrid("zonegrid_soilmodel"));
    g.elevation = grid(FindGrid("[elevation_model]"));
    g.transpiration = grid(FindGrid(StrFormat("%s%d", "real_transpiration", 0)));
    g.downflow = grid(FindGrid(StrFormat("%s%s", "q_down", "ext")));
    g.baseflow = grid(FindGrid("baseflow"));
    g.precipitation = &precOnLakes;
    g.tracers.assign(static_cast<std::size_t>(nTr + 1), nullptr);
    for (int t = 1; t <= nTr; ++t) {
        const int index = FindGrid(StrFormat("concstor_tracer_%d_%s", t, "unsatzon_model"), true);
        if (index > 0) g.tracers[static_cast<std::size_t>(t)] = (*gridStore)[index].stack;
    }
    // The soil model keeps a tracer that does not evaporate as a load in its stores.
    g.tracerLoads.assign(static_cast<std::size_t>(nTr + 1), 0);
    for (int t = 1; t <= nTr; ++t)
        g.tracerLoads[static_cast<std::size_t>(t)] = tracerDescriptors == nullptr || tracerDescriptors[t].evaporating != 1;
    g.zoneIndex = zoneIndex;
    g.columns = basinColumns;
    g.nrows = nrows;
    g.ncols = ncols;
    g.cellsize = cellsize;
    g.nodata = nodata;
    return g;
}

void abflussmodellklasse::GatherLakeRows() {
    lakeCells = MPIGatherRegionCells(lakeCodesIndex, lakeCellsPerRank);
    const routing::LakeGrids& own = ownLakeGrids;
    LakeRows& rows = lakeRows;
    rows.tracers.resize(static_cast<std::size_t>(nTr + 1));
    if (rank == 0 && lakeCells.firstRow <= lakeCells.lastRow) {
        const int lo = lakeCells.firstRow, hi = lakeCells.lastRow;
        for (Matrix* m : {&rows.codes, &rows.maxPonding, &rows.zones, &rows.elevation, &rows.ponding, &rows.transpiration,
                          &rows.downflow, &rows.baseflow, &rows.precipitation}) {
            *m = matrix(lo, hi, 1, ncols, nrows);
            m->fill(nodata);
        }
        for (int t = 1; t <= nTr; ++t) rows.tracers[static_cast<std::size_t>(t)] = matrix3d(lo, hi, 1, ncols, 0, nrows);
    }
    // The grids that do not change during the run, once; the state of the cells as the start
    // of the run left it (a lake that starts from its cells reads it). All in one collection.
    const std::pair<Matrix*, Matrix*> once[] = {{const_cast<Matrix*>(own.codes), &rows.codes},
                                                {const_cast<Matrix*>(own.maxPonding), &rows.maxPonding},
                                                {const_cast<Matrix*>(own.zones), &rows.zones},
                                                {const_cast<Matrix*>(own.elevation), &rows.elevation},
                                                {own.ponding, &rows.ponding}};
    std::vector<CellValuePair> grids;
    auto add = [&](CellValues values, CellValues copy) { grids.push_back({values, rank == 0 ? copy : values}); };
    for (const auto& [grid, copy] : once)
        if (grid != nullptr) add(grid, copy);
    for (int t = 1; t <= nTr; ++t)
        if (own.tracers[static_cast<std::size_t>(t)] != nullptr)
            add({own.tracers[static_cast<std::size_t>(t)], 0}, {&rows.tracers[static_cast<std::size_t>(t)], 0});
    MPICollectRegionCells(lakeCells, grids);
}

void abflussmodellklasse::CollectLakeCells() {
    if (lakeModelling == 0 || routingRequested == 0 || lakeCellsPerRank.empty()) return;
    if (!lakeCellsDivided) {
        CollectWaterInput();
        return;
    }
    const routing::LakeGrids& own = ownLakeGrids;
    LakeRows& rows = lakeRows;
    const std::pair<const Matrix*, Matrix*> each[] = {{own.ponding, &rows.ponding},
                                                      {own.transpiration, &rows.transpiration},
                                                      {own.downflow, &rows.downflow},
                                                      {own.baseflow, &rows.baseflow},
                                                      {waterInputIndex > 0 ? (*gridStore)[waterInputIndex].grid : nullptr,
                                                       &rows.precipitation}};
    // Every grid's lake cells in one transfer: one check and one message per process.
    std::vector<CellValuePair> grids;
    auto add = [&](CellValues values, CellValues copy) { grids.push_back({values, rank == 0 ? copy : values}); };
    for (const auto& [grid, copy] : each)
        if (grid != nullptr) add(const_cast<Matrix*>(grid), copy);
    for (int t = 1; t <= nTr; ++t)
        if (own.tracers[static_cast<std::size_t>(t)] != nullptr)
            add({own.tracers[static_cast<std::size_t>(t)], 0}, {&rows.tracers[static_cast<std::size_t>(t)], 0});
    if (!grids.empty()) MPICollectRegionCells(lakeCells, grids);
}

void abflussmodellklasse::DistributeLakePonding() {
    if (lakeModelling == 0 || routingRequested == 0 || !lakeCellsDivided) return;
    // The lakes set the ponding storage of their cells and, in wet cells, the lake's tracer
    // concentrations: both go back to the cells' processes, in one transfer (one check and one
    // message per process).
    const routing::LakeGrids& own = ownLakeGrids;
    std::vector<CellValuePair> grids;
    auto add = [&](CellValues values, CellValues source) { grids.push_back({values, rank == 0 ? source : values}); };
    if (own.ponding != nullptr) add(own.ponding, &lakeRows.ponding);
    for (int t = 1; t <= nTr; ++t)
        if (own.tracers[static_cast<std::size_t>(t)] != nullptr)
            add({own.tracers[static_cast<std::size_t>(t)], 0}, {&lakeRows.tracers[static_cast<std::size_t>(t)], 0});
    if (!grids.empty()) MPIDistributeRegionCells(lakeCells, grids);
}

void abflussmodellklasse::CollectWaterInput() {
    Matrix& into = lakeRows.precipitation ? lakeRows.precipitation : precOnLakes;
    if (waterInputIndex == 0 || !into) return;
    // Without a division of the grid process 0 holds every lake cell itself.
    const Matrix* input = (*gridStore)[waterInputIndex].grid;
    const Matrix* lakes = (*gridStore)[lakeCodesIndex].grid;
    for (int r = 1; r <= nrows; ++r) {
        if (!input->holds(r) || !lakes->holds(r) || !into.holds(r)) continue;
        for (int c = 1; c <= ncols; ++c)
            if ((*lakes)[r][c] > nodata) into[r][c] = (*input)[r][c];
    }
}
