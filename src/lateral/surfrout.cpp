#include "kernel/error.hpp"
#include "lateral/surfrout.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <span>

#include "kernel/statefiles.hpp"
#include "kernel/threading.hpp"
#include "lateral/surfrout_storage.hpp"
#include "tables/landuse_entry.hpp"
#include "tables/multilayer_landuse.hpp"

namespace {

const char* const kStatTitles[5] = {"Direct_Discharge_Surface_Routing", "Interflow_Surface_Routing",
                                    "Baseflow_Surface_Routing", "Total_Runoff_Surface_Routing",
                                    "Surface_Storage_in_SurfaceRouting_Module"};
const int kStatDecimals[5] = {5, 5, 5, 6, 6};

}  // namespace

surfaceroutingclass::surfaceroutingclass(unsigned& error, DiagLog* log_, const SubmodelSettings& s,
                                         unsigned numSubSteps_)
    : teilmodellklasse(log_, "SurfaceRoutingModel", s, numSubSteps_ > 0 ? numSubSteps_ : 1) {
    CatchIntoError(error, [&] {
        if (mpiRegions == nullptr) FindDecompositionGrids();
        ReadModuleSection(false);
        if (flowControl == 0) return;
        LogBanner("surfrout");
        // Overland flow between cells has no meaning on hydrologic response units.
        if (s.spinUpSwitch != 0) {
            flowControl = 0;
            controlFile.reset();
            return;
        }
        if (FindGrid("GlacierizedCells") > 0 || FindGrid("GlacierCodes") > 0) {
            *log << "FATAL: error: Surface routing module cannot be used when glacier model is active. Remove "
                    "grids for glacier codes and glaciated cell fractions from the grid list"
                 << "[end-entry]";
            throw ModelError(2);
        }
        elevation = (*gridStore)[2].grid;
        if (elevation == nullptr) {
            *log << "FATAL: no elevation model in the grid store for " << moduleName << "[end-entry]";
            throw ModelError(33);
        }
        LinkLanduse();
        soilTypes = (*gridStore)[GetGridIndex("soil_types")].grid;
        surfaceStorage = (*gridStore)[GetGridIndex("SurfStorSiltingUp")].grid;
        ReadParameters();
        std::FILE* f = controlFile.release();
        if (std::fclose(f) != 0) {
            FailOnFile(*log, "error closing control file \"" + controlFileName + "\"", 11);
        }
        BuildHaloCopies();
        CreateGrids();
        CreateStatistics();
        directflow = (*gridStore)[GetGridIndex("directflow")].grid;
        interflow = (*gridStore)[GetGridIndex("interflow")].grid;
        riverDepth = (*gridStore)[GetGridIndex("river_depth")].grid;
        riverWidth = (*gridStore)[GetGridIndex("river_width")].grid;
        riverLinks = (*gridStore)[GetGridIndex("river_links")].grid;
        const int ft = FindGrid("flow_times");
        flowTimes = ft > 0 ? (*gridStore)[ft].grid : nullptr;
        const int rel = FindGrid("RelCellArea");
        cellArea = rel > 0 ? (*gridStore)[rel].grid : nullptr;
        BuildQuietCells();
        constructed = true;
    });
}

surfaceroutingclass::~surfaceroutingclass() {
    ReleaseInDestructor([&] { ReleaseAll(); });
}

void surfaceroutingclass::LinkLanduse() {
    const int layers = LanduseLayerCount(settings.multilayerTable);
    landuseLayers.assign(static_cast<std::size_t>(layers) + 1, nullptr);
    for (int i = 1; i <= layers; ++i) {
        landuseLayers[static_cast<std::size_t>(i)] = (*gridStore)[GetGridIndex(StrFormat("%s%d", "landuse", i))].grid;
        GetGridIndex(StrFormat("%s%d", "vegetation_coverage_degree", i));
    }
}

void surfaceroutingclass::ReadParameters() {
    std::FILE* f = ControlStream();
    ReadValue(f, "%d", &method, "method for flowpath-calculation ");
    if (method < 1 || method > 5) {
        *log << "FATAL: \n-----------------error------------\nwrong method (" << method << ") read for "
             << moduleName << "\n" << "[end-entry]";
        throw ModelError(10);
    }
    const char* statKeys[4] = {"name of the statistics for direct runoff from surface routing (QDSR) ",
                               "name of the statistics for interflow from surface routing (QISR) ",
                               "name of the statistics for baseflow from surface routing (QBSR) ",
                               "name of the statistics for total runoff from surface routing (QGSR) "};
    for (int i = 0; i < 4; ++i) {
        char name[1201] = {0};
        int code = 0;
        if (std::fscanf(f, "%1200s%d", name, &code) != 2) {
            *log << "--> In .\n  Next line in Talvo control file: " << "[end-entry]";
            ControlFileError(statKeys[i], moduleName);
        }
        ReadLineRest(f);
        statNames[static_cast<std::size_t>(i)] = name;
        statCodes[static_cast<std::size_t>(i)] = code;
    }
    ReadValue(f, "%s", &velocityStackName, "name of the surface-routing-velocity-stack, ");
    ReadValue(f, "%d", &velocityStackCode, "Writegrid for surface-routing-velocity-stack, ");
    ReadValue(f, "%s", &fluxStackName, "name of the surface-routing-fluxes-stack, ");
    ReadValue(f, "%d", &fluxStackCode, "Writegrid for surface-routing-fluxes-stack, ");
    // A tolerance of 0 iterates up to the limit; without A_NL iterations the wake length takes its
    // fixed share.
    ReadBoundedValue(f, "%lf", &aNLTolerance, "maximum iteration error for A_NL [m] in ", bound::NonNegative);
    ReadBoundedValue(f, "%d", &aNLIterations, "maximum iteration steps for A_NL in ", bound::NonNegative);
    ReadBoundedValue(f, "%lf", &velocityTolerance, "maximum iteration error [m/s] for velocity in ",
                     bound::NonNegative);
    // A limit of 0 or less still iterates once: the velocity is always computed.
    ReadValue(f, "%d", &velocityIterations, "maximum iteration steps for velocity in ");
    ReadValue(f, "%lf", &minSubStep, "minimum sub time step [s] in ");
    ReadValue(f, "%lf", &maxSubStep, "maximum sub time step [s] in ");
    ReadBoundedValue(f, "%lf", &minCropDepth,
                     "minimum flow depth to take into account the roughness of the crops [m] in ", bound::NonNegative);
    // A factor of 1 or less changes nothing.
    ReadBoundedValue(f, "%lf", &concentrationFactor, "Concentration factor [1/1] in ", bound::Below(bound::kInf));
    CheckSubStepLimits();
    ReadValue(f, "%d", &readGrids, "read control parameter for storage grids for ");
    // The surface-storage statistics stand on the next line without a key; the rest of that
    // line is not skipped.
    char name[1201] = {0};
    int code = 0;
    if (std::fscanf(f, "%1200s%d", name, &code) == 2) {
        statNames[4] = name;
        statCodes[4] = code;
    } else {
        statNames[4].clear();
        statCodes[4] = 0;
    }
    std::string fileName;
    ReadValue(f, "%s", &fileName, "name of the storage content file ");
    if (fileName == "[unsatzon_model]")
        *log << "WARNING: \n-----------------error------------\nerror reading storage file name for " << moduleName
             << "\npossible reason: parameter missing or a linefeed \nbefore the end of the parameter block"
             << "[end-entry]";
    storageFileName = StrFormat("%s_%d", fileName.c_str(), rank);
}

double surfaceroutingclass::CouplingStep() const {
    return timeInterval / static_cast<double>(numSubSteps > 0 ? numSubSteps : 1) * 60.0;
}

void surfaceroutingclass::CheckSubStepLimits() {
    const double T = CouplingStep();
    const double longest = surfrout::WholeFraction(T, maxSubStep);
    if (longest != maxSubStep) {
        *log << "INFO: longest allowed subtimestep changed from " << maxSubStep << " to " << longest
             << ". Must be integer fraction of time step in seconds." << "[end-entry]";
        maxSubStep = longest;
    }
    // A shortest step <= 0 sets no lower limit and stays as it is.
    if (minSubStep > 0) {
        const double shortest = surfrout::WholeFraction(T, minSubStep);
        if (shortest != minSubStep) {
            *log << "WARNING: shortest allowed subtimestep changed from " << minSubStep << " to " << shortest
                 << ". Must be integer fraction of time step in seconds." << "[end-entry]";
            minSubStep = shortest;
        }
    }
}

bool surfaceroutingclass::OwnBasinCell(int r, int c) const {
    if ((*gridStore)[1].grid == nullptr || (*(*gridStore)[1].grid)[r][c] == nodata) return false;
    return mpiRegions == nullptr || (*mpiRegions)[r][c] == rank;
}

void surfaceroutingclass::ListOwnCells() {
    ownStart.assign(static_cast<std::size_t>(std::max(0, lastRow - firstRow + 1)) + 1, 0);
    ownCols.clear();
    const Matrix* zone = (*gridStore)[1].grid;
    const double none = nodata;
    for (int r = firstRow; r <= lastRow; ++r) {
        if (zone != nullptr) {
            const double* z = (*zone)[r];
            const double* owner = mpiRegions != nullptr ? (*mpiRegions)[r] : nullptr;
            const double me = rank;
            for (int c = 1; c <= ncols; ++c)
                if (z[c] != none && (owner == nullptr || owner[c] == me)) ownCols.push_back(c);
        }
        ownStart[static_cast<std::size_t>(r - firstRow + 1)] = static_cast<int>(ownCols.size());
    }
    // Until a velocity pass counted them, every own cell counts as computed.
    rowWork.resize(ownStart.size() - 1);
    for (std::size_t row = 0; row < rowWork.size(); ++row) rowWork[row] = ownStart[row + 1] - ownStart[row];
    countedWork = rowWork;
}

std::span<const int> surfaceroutingclass::OwnColumns(int r) const {
    const std::size_t row = static_cast<std::size_t>(r - firstRow);
    const std::size_t from = static_cast<std::size_t>(ownStart[row]), to = static_cast<std::size_t>(ownStart[row + 1]);
    return std::span<const int>(ownCols.data() + from, to - from);
}

void surfaceroutingclass::BuildHaloCopies() {
    lo = std::max(1, firstRow - 1);
    hi = std::min(static_cast<int>(nrows), lastRow + 1);
    if (firstRow > lastRow) hi = lo - 1;
    ListOwnCells();
    zoneHalo = FilledMatrix(lo, hi, 1, ncols, nrows, nodata);
    terrain = FilledMatrix(lo, hi, 1, ncols, nrows, nodata);
    const Matrix& zone = *(*gridStore)[1].grid;
    const Matrix& heights = *elevation;
    // The own cells' values by the threads in contiguous shares of the rows (each cell on its own).
    const bool threaded = WorthThreads(firstRow, lastRow, ncols);
#pragma omp parallel for schedule(static) if (threaded)
    for (int r = firstRow; r <= lastRow; ++r)
        for (const int c : OwnColumns(r)) {
            zoneHalo[r][c] = zone[r][c];
            terrain[r][c] = heights[r][c];
        }
    MPIExchangeHalo(0, &zoneHalo);
    MPIExchangeHalo(0, &terrain);

    // Land-use record of every own cell: the highest layer with a code.
    cellLanduse = FilledMatrix(firstRow, lastRow, 1, ncols, nrows, -1);
    cellLayer = FilledMatrix(firstRow, lastRow, 1, ncols, nrows, 0);
    residueCover = FilledMatrix(firstRow, lastRow, 1, ncols, nrows, 0);
    stemDiameter = FilledMatrix(firstRow, lastRow, 1, ncols, nrows, 0);
    bool missing = false;
#pragma omp parallel for schedule(static) if (threaded) reduction(|| : missing)
    for (int r = firstRow; r <= lastRow; ++r)
        for (const int c : OwnColumns(r)) {
            for (std::size_t i = landuseLayers.size() - 1; i >= 1; --i) {
                const double code = (*landuseLayers[i])[r][c];
                if (code != -9999.0 && code != nodata && code >= 0) {
                    cellLanduse[r][c] = code;
                    cellLayer[r][c] = static_cast<double>(i);
                    break;
                }
            }
            if (cellLanduse[r][c] < 0) missing = true;
        }
    if (missing)
        *log << "WARNING: surface routing: cells without a land-use code route with the default roughness "
                "(K_ST 10)"
             << "[end-entry]";
}

int surfaceroutingclass::NextFreeEntry() {
    const int index = FirstFreeGridIndex();
    if (index >= 1000) {
        *log << "FATAL: no free grid anymore, allowed number of grids is " << 1000 << "!" << "[end-entry]";
        throw ModelError(12);
    }
    return index;
}

int surfaceroutingclass::RegisterOwn(const std::string& name, Matrix* grid, Stack* stack, int levels,
                                     const std::string& file, long code, int first, int last) {
    const int index = NextFreeEntry();
    RegisterGrid(index, file, grid, stack, levels, name, code, first, last);
    ownedEntries.push_back(index);
    return index;
}

void surfaceroutingclass::CreateGrids() {
    // Every value of the cells nodata (allocated so, without clearing first; column 0 holds 0 on
    // every level, as in a cleared allocation), then the levels of the own basin cells set.
    // The own cells' values are set by the threads in contiguous shares of the rows (each cell
    // on its own, so any share gives the same grids).
    const bool threaded = WorthThreads(firstRow, lastRow, ncols);
    auto makeStack = [&](int first, int last, int levelsToZero) {
        Stack st = FilledCellsMatrix3d(first, last, 1, ncols, kLevels, nrows, nodata);
        const int from = std::max(first, firstRow), to = std::min(last, lastRow);
#pragma omp parallel for schedule(static) if (threaded)
        for (int r = from; r <= to; ++r)
            for (const int c : OwnColumns(r)) std::fill(st[r][c], st[r][c] + levelsToZero + 1, 0.0);
        return st;
    };
    auto makeGrid = [&](int first, int last, double value) {
        Matrix g = FilledMatrix(first, last, 1, ncols, nrows, nodata);
#pragma omp parallel for schedule(static) if (threaded)
        for (int r = firstRow; r <= lastRow; ++r)
            for (const int c : OwnColumns(r)) g[r][c] = value;
        return g;
    };
    velocity = makeStack(lo, hi, kLevels);
    velocityGrid = makeGrid(lo, hi, 0);
    velocityIndex = RegisterOwn("SurfaceRoutingVelocity", &velocityGrid, &velocity, kLevels, velocityStackName,
                                velocityStackCode, lo, hi);
    fluxes = makeStack(lo, hi, kLevels);
    fluxGrid = makeGrid(lo, hi, 0);
    fluxIndex = RegisterOwn("SurfaceRoutingFluxes", &fluxGrid, &fluxes, kLevels, fluxStackName, fluxStackCode, lo, hi);
    MPIExchangeHaloStack(fluxIndex);
    weights = makeStack(firstRow, lastRow, 7);
    RegisterOwn("SurfaceRoutingWeights", nullptr, &weights, kLevels, "", 0, firstRow, lastRow);
    totalInput = makeGrid(lo, hi, 0);
    totalInputIndex = RegisterOwn("SurfaceRoutingTotalInput", &totalInput, nullptr, 0, "", 0, lo, hi);
    MPIExchangeHalo(totalInputIndex);

    curvatureIndex = FindGrid("Plancurvature");
    if (curvatureIndex > 0) {
        curvature = (*gridStore)[curvatureIndex].grid;
    } else {
        ownCurvature = FilledMatrix(lo, hi, 1, ncols, nrows, nodata);
        curvature = &ownCurvature;
        curvatureIndex = RegisterOwn("Plancurvature", &ownCurvature, nullptr, 0, "", 0, lo, hi);
        ComputePlanCurvature();
        MPIExchangeHalo(curvatureIndex);
    }
    auto findOrCreate = [&](const char* name, Matrix& own, double value) -> Matrix* {
        const int index = FindGrid(name);
        if (index > 0) return (*gridStore)[index].grid;
        own = makeGrid(firstRow, lastRow, value);
        RegisterOwn(name, &own, nullptr, 0, "", 0, firstRow, lastRow);
        return &own;
    };
    qIn = findOrCreate("SurfaceRoutingQIn", ownQIn, 0);
    qOut = findOrCreate("SurfaceRoutingQOut", ownQOut, 0);
    criticalShear = findOrCreate("CriticalShearStress", ownCriticalShear, 0.9);
}

void surfaceroutingclass::CreateStatistics() {
    for (std::size_t i = 0; i < 5; ++i) {
        statRecords[i].assign(static_cast<std::size_t>(zoneCount) + 1, zoneFZT{});
        for (int s = 0; s <= zoneCount && zoneRecords && static_cast<std::size_t>(s) < zoneRecords->size(); ++s) {
            const zoneFZT& z = (*zoneRecords)[static_cast<std::size_t>(s)];
            statRecords[i][static_cast<std::size_t>(s)].zonenwert = z.zonenwert;
            statRecords[i][static_cast<std::size_t>(s)].rel = z.rel;
            statRecords[i][static_cast<std::size_t>(s)].RelCellSum = z.RelCellSum;
        }
        int err = 0;
        statistics[i] = std::make_unique<zonalstatistic>(&err, log, cellArea != nullptr ? cellArea : relCellArea,
                                                         nrows, ncols, statRecords[i].data(), zoneCount,
                                                         statCodes[i], kStatDecimals[i], statNames[i], outputPath,
                                                         settings.SelectedZoneCount(), settings.SelectedZones());
        if (err != 0) throw ModelError(err);
        statistics[i]->WriteHeader(kStatTitles[i], moduleName, settings.outputCodes, settings.outputCodeCount);
    }
}

void surfaceroutingclass::SetQBb(RunoffArray* a) {
    if (flowControl != 0) QBb = a;
}
void surfaceroutingclass::SetQI(RunoffArray* a) {
    if (flowControl != 0) qi = a;
}
void surfaceroutingclass::SetQD(RunoffArray* a) {
    if (flowControl != 0) qd = a;
}
void surfaceroutingclass::SetKelsqd(SubbasinValues* k) {
    if (flowControl != 0) kelsqd = k;
}
void surfaceroutingclass::SetKelsqi(SubbasinValues* k) {
    if (flowControl != 0) kelsqi = k;
}

RunoffArray* surfaceroutingclass::GetQg() {
    if (flowControl == 0) return nullptr;
    if (Qg.empty() || Qg[0].empty()) {
        *log << (Qg.empty() ? "FATAL: Qg (surface routing) not initialized (may be, tracer module not linked? -> "
                              "programmers error!)"
                            : "FATAL: Qg[0] (surface routing) not initialized (may be, tracer module not linked? "
                              "-> programmers error!)")
             << "[end-entry]";
        throw ModelError(57);
    }
    return &Qg;
}

void surfaceroutingclass::FlushStatistics() {
    if (flowControl == 0) return;
    for (auto& s : statistics)
        if (s) s->WriteLine();
    FlushTracerStatistics();
    for (auto& s : storageTracerStats)
        if (s) s->WriteLine();
}

void surfaceroutingclass::ModelEnd(bool append) {
    if (flowControl == 0) return;
    if (constructed && !Qg.empty()) WriteStateDeferred([&] { WriteStorageFile(append); });
    ReleaseAll();
}

void surfaceroutingclass::ReleaseAll() {
    FreeTracerGrids();
    for (auto& s : statistics)
        if (s) {
            s->Release();
            s.reset();
        }
    if (gridStore != nullptr)
        for (int index : ownedEntries) ReleaseGrid(index);
    ownedEntries.clear();
}
