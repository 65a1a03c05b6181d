// Construction of the silting-up model: input grids, the own grids, the zone statistics, the
// links made by the application, and the teardown.
#include "kernel/error.hpp"
#include "kernel/threading.hpp"
#include "lateral/siltingup.hpp"

#include <algorithm>

#include "setup/tracer_ini.hpp"
#include "tables/multilayer_landuse.hpp"
#include "tables/soil_entry.hpp"

siltingupclass::siltingupclass(unsigned& error, DiagLog* log_, const SubmodelSettings& s)
    : teilmodellklasse(log_, "SiltingUpModel", s, 1) {
    CatchIntoError(error, [&] { Construct(); });
}

void siltingupclass::Construct() {
    ReadModuleSection(false);
    if (flowControl == 0) return;
    LogBanner("siltingup");
    if (mpiRegions == nullptr || mpiHelper == nullptr) FindDecompositionGrids();

    if (FindGrid("GlacierizedCells") > 0 || FindGrid("GlacierCodes") > 0) {
        *log << "FATAL: error: Silting-Up module cannot be used when glacier model is active. Remove grids for "
                "glacier codes and glaciated cell fractions from the grid list"
             << "[end-entry]";
        throw ModelError(2);
    }
    LinkInputGrids();
    ReadSection();
    CloseControlFile();
    CreateStatistic(statDisposition, "Silting_up_disposition_");
    CreateStatistic(statRunoff, "Direct_Discharge_Silting_Up");
    CreateGrids();
    PrepareSoilValues();
    constructed_ = true;
}

void siltingupclass::LinkInputGrids() {
    elevation = (*gridStore)[2].grid;
    const multilayer_landuse_entry* ml = settings.multilayerTable;
    landuseLayers = LanduseLayerCount(ml);
    landuse.assign(static_cast<std::size_t>(landuseLayers) + 1, nullptr);
    vegetationCover.assign(static_cast<std::size_t>(landuseLayers) + 1, nullptr);
    for (int l = 1; l <= landuseLayers; ++l)
        landuse[static_cast<std::size_t>(l)] = (*gridStore)[GetGridIndex(StrFormat("%s%d", "landuse", l))].grid;
    for (int l = 1; l <= landuseLayers; ++l)
        vegetationCover[static_cast<std::size_t>(l)] =
            (*gridStore)[GetGridIndex(StrFormat("%s%d", "vegetation_coverage_degree", l))].grid;
    soilTypes = (*gridStore)[GetGridIndex("soil_types")].grid;
    surfaceStore = (*gridStore)[GetGridIndex("SurfStorSiltingUp")].grid;
    // Response units are linked here: the step copies the master cell's values to the others.
    if (settings.spinUpSwitch != 0) {
        responseUnitGrid = (*gridStore)[GetGridIndex("HydrologicResponseUnits")].grid;
        masterUnitGrid = (*gridStore)[GetGridIndex("MasterHydrologicResponseUnits")].grid;
    }
}

void siltingupclass::CloseControlFile() {
    std::FILE* raw = controlFile.release();
    if (raw == nullptr || std::fclose(raw) != 0) {
        FailOnFile(*log, "error closing control file \"" + controlFileName + "\"", 11);
    }
}

void siltingupclass::CreateStatistic(StatOutput& out, const char* title) {
    out.stat = CreateZoneStatistic(out.records, out.fileName, out.code, title, relCellArea, 4, true);
}

// ------------------------------------------------------------------ own grids

int siltingupclass::NextFreeEntry() const {
    // Each grid takes the first entry holding nothing, so that no entry in use is overwritten
    // even when the entries after the first free one are taken.
    for (int i = 1; i < 1000; ++i) {
        const GridStoreEntry& e = (*gridStore)[i];
        if (e.grid == nullptr && e.stack == nullptr && !e.hasInternalName) return i;
    }
    *log << "FATAL: no free grid left, allowed number of grids is (contact the author)" << 1000 << "!"
         << "[end-entry]";
    throw ModelError(12);
}

void siltingupclass::CreateGrid(OwnGrid& grid, const char* name, bool fromFile) {
    const int index = NextFreeEntry();
    // Without a file every cell is set below, so the values are not cleared first.
    grid.data = fromFile ? matrix(firstRow, lastRow, 1, ncols, nrows) : UnsetMatrix(firstRow, lastRow, 1, ncols, nrows);
    // Basin cells the file leaves without data start from 0; cells outside the basin hold
    // nodata, whatever the rows of this process received for them.
    if (fromFile) ReadGrid(ExpandPath(inputPath, grid.fileName), &grid.data, 2, false, false, 0.0);
    // Row pointers and nodata in locals: a store into the grid could otherwise change them as far
    // as the compiler knows.
    const double none = nodata;
#pragma omp parallel for schedule(static) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!grid.data.holds(r)) continue;
        double* const to = grid.data[r];
        if (zoneGrid == nullptr || !zoneGrid->holds(r)) {
            std::fill(to + 1, to + ncols + 1, none);
            continue;
        }
        const double* const zone = (*zoneGrid)[r];
        if (fromFile) {
            for (int c = 1; c <= ncols; ++c)
                if (zone[c] == none) to[c] = none;
        } else {
            for (int c = 1; c <= ncols; ++c) to[c] = zone[c] == none ? none : 0.0;
        }
    }
    RegisterGrid(index, grid.fileName, &grid.data, nullptr, 0, name, grid.writeCode, firstRow, lastRow);
    grid.index = index;
}

void siltingupclass::CreateGrids() {
    const bool fromFile = readGrid == 1;
    CreateGrid(disposition, "SiltingUpDisposition", fromFile);
    CreateGrid(rainPause, "RainPause", fromFile);
    CreateGrid(kineticEnergy, "KineticEnergy", fromFile);
    CreateGrid(timeSinceTillage, "TimeSinceLastSoilTillage", fromFile);
    CreateGrid(directRunoff, "DirectRunoffSiltingUp", false);
}

void siltingupclass::PrepareSoilValues() {
    // K and the fractions once per soil type: the cell loop only looks them up.
    const int count = settings.soilTable != nullptr ? settings.soilTable[0].code : 0;
    soilValues_.assign(static_cast<std::size_t>(std::max(count, 0)) + 1, SoilValues{});
    for (int i = 0; i <= count; ++i) {
        const soil_entry defaults;
        const soil_entry& s = (i == 0 || settings.soilTable == nullptr) ? defaults : settings.soilTable[i];
        const auto& g = s.GrainSizeDist;
        SoilValues& v = soilValues_[static_cast<std::size_t>(i)];
        v.K = silting::GrainSizeK({g[0], g[1], g[2], g[3], g[4], g[5], g[6]});
        v.sand = g[0];
        v.silt = g[1];
        v.clay = g[2];
        for (int k = 0; k <= 10; ++k) v.par[k] = s.SU_PAR[static_cast<std::size_t>(k)];
        v.laws = silting::PrepareSoilLaws(parameters, v.K, v.sand);
    }
}

// ------------------------------------------------------------------ links

void siltingupclass::SelectInputGrid(bool first) {
    interceptionFirst = first;
    if (waterInput != nullptr) return;
    // The water that reaches the ground is the output of whichever of snow and interception runs
    // last, the grid the soil model takes too: interception first means snow runs last.
    const int i = first ? GetGridIndexOf3("snowcover_outflow", "throughfall0", "precipitation")
                        : GetGridIndexOf3("throughfall0", "snowcover_outflow", "precipitation");
    waterInput = (*gridStore)[i].grid;
}

void siltingupclass::UpdateInputGrid(bool first) {
    if (flowControl == 0) return;
    SelectInputGrid(first);
}

void siltingupclass::LinkTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors,
                                     OutputCodeEntry* table, int tableCount) {
    error = 0;
    if (flowControl == 0) return;
    InitTracerGrids(error, count, descriptors, table, tableCount);
    if (error != 0) return;
    CatchIntoError(error, [&] {
        // The flux grids come from the allocator unwritten, and the step's cell loop writes them
        // first where water reaches the ground, its threads taking rows one at a time: there the
        // threads fault in the fresh pages side by side and wait for each other (several times
        // the step's work at eight threads). Written here, each thread faults in a share of
        // consecutive rows. Their values stay 0.
        for (int t = 1; t <= count && static_cast<std::size_t>(t) < tracers.size(); ++t)
            tracers[static_cast<std::size_t>(t)].flux.fill(0.0);
        incomingFlux.assign(static_cast<std::size_t>(std::max(count, 0)) + 1, nullptr);
        // The concentration of the water input comes from the module whose water it is: the
        // flux grids are searched in the order in which the water input's grid was chosen.
        const auto sources = GroundInputTracerSources(interceptionFirst);
        for (int t = 1; t <= count; ++t) {
            auto name = [&](std::size_t s) { return StrFormat("concflux_tracer_%1d_%s", t, sources[s]); };
            const int i = GetGridIndexOf4(name(0), name(1), name(2), name(3));
            incomingFlux[static_cast<std::size_t>(t)] = (*gridStore)[i].grid;
        }
    });
}

void siltingupclass::FreeTracerGrids() {
    if (flowControl != 0) teilmodellklasse::FreeTracerGrids();
}

void siltingupclass::WriteStatistics() {
    if (flowControl == 0) return;
    for (StatOutput* s : {&statDisposition, &statRunoff})
        if (s->stat) s->stat->WriteLine();
    FlushTracerStatistics();
}

// ------------------------------------------------------------------ teardown

siltingupclass::~siltingupclass() {
    if (flowControl == 0) return;
    ReleaseInDestructor([&] { ReleaseAll(); });
}

void siltingupclass::ReleaseAll() {
    for (StatOutput* s : {&statDisposition, &statRunoff}) {
        if (!s->stat) continue;
        s->stat->Release();
        s->stat.reset();
    }
    for (OwnGrid* g : {&disposition, &rainPause, &kineticEnergy, &timeSinceTillage, &directRunoff}) {
        if (g->index > 0) ReleaseGrid(g->index);
        g->index = 0;
        g->data.reset();
    }
    minRainPause.clear();
    subbasinCodes.clear();
    expressions.clear();
}
