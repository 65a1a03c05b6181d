// Construction of the interception model: the section "[interception_model]", the input grids,
// the per-layer grids and zone statistics; its tracer links and its teardown.
#include "kernel/error.hpp"
#include "kernel/threading.hpp"
#include "surface/interzep.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

#include "setup/tracer_ini.hpp"
#include "tables/landuse_entry.hpp"
#include "tables/multilayer_landuse.hpp"

std::string LayerFileName(const std::string& name, int layer) {
    if (layer == 0) return name;
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) return StrFormat("%s_Layer_%d", name.c_str(), layer);
    return StrFormat("%.*s_Layer_%d%s", static_cast<int>(dot), name.c_str(), layer, name.c_str() + dot);
}

interzeptionsmodellklasse::interzeptionsmodellklasse(unsigned& error, DiagLog* log_, const SubmodelSettings& s)
    : teilmodellklasse(log_, "interception_model", s, 1) {
    CatchIntoError(error, [&] { Construct(); });
}

void interzeptionsmodellklasse::Construct() {
    ReadModuleSection(false);
    if (flowControl == 0) return;
    LogBanner("interzep");
    FindDecompositionGrids();
    const multilayer_landuse_entry* table = settings.multilayerTable;
    layerCount = LanduseLayerCount(table);

    ReadSection();
    LinkInputGrids();
    CreateGrids();
    CreateStatistics();
    const int g = FindGrid("GlacierizedCells") > 0 ? FindGrid("GlacierizedCells") : FindGrid("ice_firn");
    glacier = g > 0 ? (*gridStore)[g].grid : nullptr;
    if (settings.spinUpSwitch != 0) {
        responseUnitGrid = (*gridStore)[GetGridIndex("HydrologicResponseUnits")].grid;
        masterUnitGrid = (*gridStore)[GetGridIndex("MasterHydrologicResponseUnits")].grid;
    }
    if (settings.landuseTable != nullptr) landuseCount_ = settings.landuseTable[0].GetNumber();
    constructed_ = true;
}

// ------------------------------------------------------------------ the section

void interzeptionsmodellklasse::ReadStatistics(std::string& name, int& code, const char* key) {
    ReadFileNameAndCode(ControlStream(), &name, &code, key + ("[" + moduleName + "]"));
}

void interzeptionsmodellklasse::ReadSection() {
    const std::string s = "[" + moduleName + "]";
    std::FILE* f = ControlStream();
    ReadValue(f, "%d", &method, " method for " + s);
    // Codes other than 1, 2, 11 and 12 evaporate nothing; those above 10 run before the snow.
    ReadValue(f, "%s", &outflowName, "name outflow grid for " + s);
    ReadValue(f, "%d", &outflowCode, "write code outflow grid for " + s);
    ReadStatistics(outflowStatName, outflowStatCode, "name outflow statistics file for ");
    ReadValue(f, "%s", &evaporationName, "name potential interception evaporation grid for " + s);
    ReadValue(f, "%d", &evaporationCode, "write code potential interception evaporation grid for " + s);
    ReadStatistics(evaporationStatName, evaporationStatCode, "name potential interception statistics file for ");
    ReadValue(f, "%s", &storageName, "name interception storage grid for " + s);
    ReadValue(f, "%d", &storageCode, "write code interception storage grid for " + s);
    ReadStatistics(storageStatName, storageStatCode, "name interception storage statistics file for ");
    ReadBoundedValue(f, "%lf", &maxThickness, "parameter interception storage maximum water layer thickness for " + s,
                     bound::NonNegative);
    ReadValue(f, "%d", &readGrid, "readgrid parameter for " + s);
    std::FILE* raw = controlFile.release();
    if (std::fclose(raw) != 0) {
        FailOnFile(*log, "error closing " + controlFileName, 11);
    }
}

// ------------------------------------------------------------------ grids

void interzeptionsmodellklasse::LinkInputGrids() {
    auto required = [&](const std::string& name) { return (*gridStore)[GetGridIndex(name)].grid; };
    const std::size_t slots = static_cast<std::size_t>(layerCount) + 1;
    vegetation.assign(slots, LayerInputs{});
    for (int k = 1; k <= layerCount; ++k) {
        LayerInputs& v = vegetation[static_cast<std::size_t>(k)];
        v.landuse = required(StrFormat("landuse%d", k));
        v.lai = required(StrFormat("leaf_area_index%d", k));
        v.cover = required(StrFormat("vegetation_coverage_degree%d", k));
    }
    potentialTranspiration.assign(slots, nullptr);
    interceptionDemand.assign(slots, nullptr);
    realTranspiration.assign(slots, nullptr);
    for (int k = 0; k <= layerCount; ++k) {
        const std::size_t i = static_cast<std::size_t>(k);
        potentialTranspiration[i] = required(StrFormat("pot_transpiration%d", k));
        interceptionDemand[i] = required(StrFormat("potential_InterceptionEvap%d", k));
        realTranspiration[i] = required(StrFormat("real_transpiration%d", k));
    }
    if (!interception::RunsBeforeSnow(method))
        waterInput = (*gridStore)[GetGridIndexOf3("snowcover_outflow", "precipitation", "ungueltiger_Name")].grid;
    else
        waterInput = required("precipitation");
    elevation = (*gridStore)[2].grid;
}

void interzeptionsmodellklasse::CreateGrid(OwnGrid& grid, const std::string& name, int writeCode, bool read) {
    // Without a file every cell is set below, so the values are not cleared first. A read grid
    // holds nodata where the file gives this process no value (outside the basin, where the rows
    // are shared), as the whole file gives it at one process.
    grid.data = read ? FilledMatrix(firstRow, lastRow, 1, ncols, nrows, nodata)
                     : UnsetMatrix(firstRow, lastRow, 1, ncols, nrows);
    if (read) {
        ReadGrid(ExpandPath(inputPath, grid.fileName), &grid.data, 0, false);
    } else {
        // Row pointers and nodata in locals: a store into the grid could otherwise change them as
        // far as the compiler knows.
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
            for (int c = 1; c <= ncols; ++c) to[c] = zone[c] != none ? 0.0 : none;
        }
    }
    // Every grid takes the first entry that holds nothing.
    const int index = FirstFreeGridEntry(*gridStore);
    if (index >= 1000) {
        *log << "FATAL: no free grid left. Please contact the author to set the number of available grids to a "
                "larger number "
             << 1000 << "[end-entry]";
        throw ModelError(12);
    }
    RegisterGrid(index, grid.fileName, &grid.data, nullptr, 0, name, writeCode, firstRow, lastRow);
    grid.index = index;
}

void interzeptionsmodellklasse::CreateGrids() {
    // Sized once: the grid store keeps pointers to the layers' grids.
    layers.resize(static_cast<std::size_t>(layerCount) + 1);
    for (int k = 0; k <= layerCount; ++k) {
        Layer& l = layers[static_cast<std::size_t>(k)];
        l.storage.fileName = LayerFileName(storageName, k);
        l.evaporation.fileName = LayerFileName(evaporationName, k);
        l.throughfall.fileName = LayerFileName(outflowName, k);
        CreateGrid(l.storage, StrFormat("interception_storage%d", k), storageCode, readGrid == 1);
        CreateGrid(l.evaporation, StrFormat("interception_evaporation%d", k), evaporationCode, false);
        CreateGrid(l.throughfall, StrFormat("throughfall%d", k), outflowCode, false);
    }
}

// ------------------------------------------------------------------ statistics

std::unique_ptr<zonalstatistic> interzeptionsmodellklasse::MakeStatistic(std::vector<zoneFZT>& records,
                                                                        const std::string& fileName, int code,
                                                                        const std::string& title) {
    return CreateZoneStatistic(records, fileName, code, title, relCellArea, 4, false);
}

void interzeptionsmodellklasse::CreateStatistics() {
    for (int k = 0; k <= layerCount; ++k) {
        Layer& l = layers[static_cast<std::size_t>(k)];
        l.evaporationStat = MakeStatistic(l.evaporationRecords, LayerFileName(evaporationStatName, k),
                                          evaporationStatCode,
                                          StrFormat("interception_evaporation_in_mm_layer_%d_", k));
        l.storageStat = MakeStatistic(l.storageRecords, LayerFileName(storageStatName, k), storageStatCode,
                                      StrFormat("interception_storage_in_mm_layer_%d_", k));
        l.throughfallStat = MakeStatistic(l.throughfallRecords, LayerFileName(outflowStatName, k), outflowStatCode,
                                          StrFormat("throughfall_in_mm_layer_%d_", k));
    }
}

void interzeptionsmodellklasse::FlushStatistics() {
    if (flowControl == 0) return;
    ForEachStatistic([](zonalstatistic& s) { s.WriteLine(); });
    FlushTracerStatistics();
}

// ------------------------------------------------------------------ tracers and teardown

void interzeptionsmodellklasse::LinkTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors,
                                                OutputCodeEntry* table, int tableCount) {
    error = 0;
    if (flowControl == 0) return;
    InitTracerGrids(error, count, descriptors, table, tableCount);
    if (error != 0) return;
    CatchIntoError(error, [&] {
        tracerInput.assign(static_cast<std::size_t>(std::max(count, 0)) + 1, nullptr);
        // The concentration of the water caught: the snow's outflow when interception runs after
        // snow, else the precipitation's (irrigation's or the input's).
        constexpr std::array<const char*, 3> sources{"snow_model", "irrigation", "input"};
        for (int t = 1; t <= count; ++t)
            for (std::size_t s = method > 10 ? 1 : 0; s < sources.size(); ++s) {
                const int i = FindGrid(StrFormat("concflux_tracer_%1d_%s", t, sources[s]), true);
                if (i <= 0) continue;
                tracerInput[static_cast<std::size_t>(t)] = (*gridStore)[i].grid;
                break;
            }
    });
}

void interzeptionsmodellklasse::FreeTracerGrids() {
    if (flowControl != 0) teilmodellklasse::FreeTracerGrids();
}

interzeptionsmodellklasse::~interzeptionsmodellklasse() {
    if (flowControl <= 0) return;
    ReleaseInDestructor([&] { ReleaseAll(); });
}

void interzeptionsmodellklasse::ReleaseAll() {
    ForEachStatistic([](zonalstatistic& s) { s.Release(); });
    for (Layer& l : layers) {
        l.evaporationStat.reset();
        l.storageStat.reset();
        l.throughfallStat.reset();
        for (OwnGrid* g : {&l.throughfall, &l.storage, &l.evaporation}) {
            if (g->index > 0) ReleaseGrid(g->index);
            g->index = 0;
            g->data.reset();
        }
    }
}
