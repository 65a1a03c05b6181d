// Set-up of the soil model's tracers, runoff arrays and river exchange, run once after
// construction: travel-time zones, runoff arrays per tracer, the tracer stores with their
// incoming flux and decay, the river grids and the river record table.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <memory>

#include "kernel/threading.hpp"
#include "setup/tracer_ini.hpp"
#include "soil/unsatzon.hpp"
#include "tables/soil_entry.hpp"

namespace {
std::size_t U(int i) { return static_cast<std::size_t>(i); }
}  // namespace

void unsatzonmodellklasse::InitTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors,
                                           OutputCodeEntry* table, int tableCount) {
    error = 0;
    if (flowControl == 0) return;
    CatchIntoError(error, [&] {
        tracerCount = count < 0 ? 0 : count;
        BuildFlowTimeZones();
        const std::size_t S = U(soilZones.zoneCount) + 1;
        for (RunoffArray* a : {&Qg, &QD, &QI, &QBb, &QDd, &QIi}) a->assign(U(tracerCount) + 1, std::vector<double>(S, 0.0));
        // Routing, irrigation and groundwater read and fill the river records whenever they are
        // linked, so the table exists whenever the model runs.
        riverTable.assign(S, riverflow_table{});
        // A warm start continues the zone records and subbasin storages of the run before.
        if (config.readgrid == 1) ReadStorageState();
        if (config.surface_interaction != 0) {
            auto optional = [&](const char* name) {
                const int i = FindGrid(name, true);
                return i > 0 ? (*gridStore)[i].grid : nullptr;
            };
            riverDepth = optional("river_depth");
            riverWidth = optional("river_width");
            riverLinks = optional("river_links");
            kolmation = optional("kolmation");
            // The groundwater side of the exchange needs the first aquifer layer.
            in.gwStorageCoeff = (*gridStore)[GetGridIndex("gw_storage_coeff_1")].grid;
            GetGridIndex("aquifer_thickness_1");
            CreateRiverOutputs();
        }
    });
    if (error != 0 || count < 1) return;
    {
        // The soil reads its tracer store as a stack (below), not as the base's 2-D grid.
        const std::uint32_t warm = warmStart;
        warmStart = 0;
        tracerTableFullExtension = true;
        tracerStoreFullMessage =
            "FATAL: no free grid left. please contact the author to set the number of grids to a larger value ";
        teilmodellklasse::InitTracerGrids(error, count, descriptors, table, tableCount);
        warmStart = warm;
    }
    if (error != 0) return;
    // Decay per module sub-step; the incoming flux of each tracer from the first module that
    // publishes one, in the order in which the water input was chosen, so that the water and its
    // concentration come from the same module.
    CatchIntoError(error, [&] {
        AllocateTracerLayers();
        if (controlPointHere) CreateTracerPointFiles();
    });
    if (error != 0) return;
    tracerDecay.assign(U(count) + 1, 1.0);
    tracerInflux.assign(U(count) + 1, nullptr);
    tracerSiltedRunoff.assign(U(count) + 1, nullptr);
    const double stepMinutes = timeInterval / std::max(1u, numSubSteps);
    for (int k = 1; k <= count; ++k) {
        const TracerDescriptor& d = descriptors[k];
        if (d.radioactive == 1 && d.half_time > 0) tracerDecay[U(k)] = TracerDecayFactor(stepMinutes, d.half_time);
        for (const char* source : GroundInputTracerSources(interceptionFirst)) {
            const int i = FindGrid(StrFormat("concflux_tracer_%1d_%s", k, source), true);
            if (i > 0 && (*gridStore)[i].grid != nullptr) {
                tracerInflux[U(k)] = (*gridStore)[i].grid;
                break;
            }
        }
        // The tracer of silted-up runoff, which leaves with the direct flow.
        const int i = FindGrid(StrFormat("concflux_tracer_%1d_%s", k, "SiltingUpModel"), true);
        if (i > 0) tracerSiltedRunoff[U(k)] = (*gridStore)[i].grid;
    }
}

void unsatzonmodellklasse::AllocateTracerLayers() {
    const int T = tracerCount;
    tracerLayers.resize(U(T) + 1);
    for (auto* v : {&tracerDirect, &tracerInterflow, &tracerBaseflow}) v->resize(U(T) + 1);
    for (int k = 1; k <= T; ++k) {
        Stack& s = tracerLayers[U(k)];
        // A cold start sets every value below (by the threads, row by row).
        s = config.readgrid == 1 ? matrix3d(firstRow, lastRow, 1, ncols, nlayers, nrows)
                                 : UnsetMatrix3d(firstRow, lastRow, 1, ncols, nlayers, nrows);
        const TracerDescriptor& d = tracerDescriptors[k];
        TracerRecord& rec = tracers[U(k)];
        // The store is a stack of the layers with the surface store as level 0; its file takes
        // the whole grid extension of the tracer.
        rec.storageFileName =
            StrFormat("%s%.3s%.5s.%s", d.path.c_str(), d.name.c_str(), moduleName.c_str(), d.gridext.c_str());
        if (config.readgrid == 1) {
            ReadStackChecked(rec.storageFileName, &s, " levels");
        } else {
            // Mass tracers start with the mass of the start concentration in the layer's water.
            // The threads take blocks of rows (each row's cells set by one thread alone), so that
            // the stack's fresh pages are faulted in together.
            const bool mass = !TracerIsConcentration(k);
#pragma omp parallel for schedule(static) if (WorthThreads(firstRow, lastRow, ncols))
            for (int r = firstRow; r <= lastRow; ++r) {
                const ColumnRange cols = ColumnsOf(r);
                for (int c = 0; c <= ncols; ++c) {
                    const bool mine = c >= cols.first && c <= cols.last && IsOwnCell(r, c);
                    const soil_entry* soil = mine ? &SoilOf(r, c) : nullptr;
                    // Cells outside the basin hold nodata, as the written stack of a run on
                    // several processes has them there.
                    if (c >= 1 && !mine && in.zone != nullptr && in.zone->holds(r) && (*in.zone)[r][c] == nodata) {
                        std::fill(s[r][c], s[r][c] + nlayers + 1, nodata);
                        continue;
                    }
                    s[r][c][0] = 0.0;
                    for (int l = 1; l <= nlayers; ++l) {
                        const double water = soil != nullptr && l <= soil->GetLayerCount()
                                                 ? own.theta[r][c][l] * soil->thickness[U(l)] * 1000.0
                                                 : 0.0;
                        s[r][c][l] = mass ? d.soilini * water : d.soilini;
                    }
                }
            }
        }
        RegisterGrid(rec.storageIndex, rec.storageFileName, &rec.storage, &s, nlayers,
                     StrFormat("concstor_tracer_%d_%s", k, moduleName.c_str()), d.gridcode, firstRow, lastRow);
        UpdateTracerStoreGrid(k);
        for (auto* v : {&tracerDirect, &tracerInterflow, &tracerBaseflow}) {
            (*v)[U(k)] = matrix(firstRow, lastRow, 1, ncols, nrows);
            (*v)[U(k)].fill(0.0);
        }
    }
    for (int k = 1; k <= T; ++k) {
        for (const char* name : {"_CONC_QD_%i_", "_CONC_QI_%i_"}) {
            Matrix& m = name[7] == 'D' ? tracerDirect[U(k)] : tracerInterflow[U(k)];
            const int index = FirstFreeGridIndex();
            if (index > GridStore::kMaxIndex) {
                *log << "FATAL: no more free grids in memeory, (max. " << 1000 << ")!" << "[end-entry]";
                throw ModelError(12);
            }
            RegisterGrid(index, StrFormat(name, k), &m, nullptr, 0, StrFormat(name, k), 0, firstRow, lastRow);
            registeredEntries.push_back(index);
        }
    }
}

void unsatzonmodellklasse::CreateTracerPointFiles() {
    tracerPoints.clear();
    tracerPoints.resize(U(tracerCount) + 1);
    for (int k = 1; k <= tracerCount; ++k) {
        const TracerDescriptor& d = tracerDescriptors[k];
        // Relative names lie in the default output folder, as the grids of the tracer do.
        const std::string name = modelobject::ExpandPath(
            outputPath, StrFormat("%s%.3s%.5s.%s", d.path.c_str(), d.name.c_str(), "point", d.statext.c_str()));
        PointBuffer& b = tracerPoints[U(k)].buffer;
        b.values = nlayers + 1;
        b.capacity = std::max(1, static_cast<int>(2097152L / ((nlayers + 1) * 8L + 32L)));
        b.dates.assign(U(b.capacity) * 4, 0);
        b.data.assign(U(b.capacity) * U(b.values), 0.0);
        // The header waits under the temporary name until the first records, as the water's files.
        b.table = std::make_unique<TableFile>(name);
        std::string header = StrFormat("YY\tMM\tDD\tHH\t%s[%d][%d]", d.name.c_str(), config.control_row,
                                       config.control_col);
        for (int l = 1; l <= nlayers; ++l) header += StrFormat("[%d]\t", l);
        header += "\n";
        std::FILE* f = b.table->Open(false);
        if (f != nullptr) std::fputs(header.c_str(), f);
        if (f == nullptr || !b.table->Close()) {
            const int reason = errno;
            *log << "FATAL: error opening tracer concentration file " << name << "[end-entry]";
            LogSystemReason(*log, reason);
            throw ModelError(65);
        }
    }
}

void unsatzonmodellklasse::AddTracerPointRecords() {
    if (!controlPointHere || tracerPoints.empty()) return;
    const int r = config.control_row, c = config.control_col;
    if (!IsOwnCell(r, c)) return;
    const int n = SoilOf(r, c).GetLayerCount();
    for (int k = 1; k < static_cast<int>(tracerPoints.size()); ++k) {
        TracerPoint& point = tracerPoints[U(k)];
        if (point.buffer.filled >= point.buffer.capacity) FlushPointBuffer(point.buffer, 1, 0);
        const std::size_t at = U(point.buffer.filled);
        const std::int64_t date[4] = {stepYear, stepMonth, stepDay, stepHour};
        std::copy(date, date + 4, &point.buffer.dates[at * 4]);
        double* values = &point.buffer.data[at * U(point.buffer.values)];
        values[0] = 0.0;
        // Concentration per layer; a mass over a (nearly) dry layer shows as 1e9.
        for (int l = 1; l <= nlayers; ++l) {
            if (l > n) {
                values[l] = 0.0;
            } else if (TracerIsConcentration(k)) {
                values[l] = tracerLayers[U(k)][r][c][l];
            } else {
                values[l] = own.theta[r][c][l] > 1e-5 ? TracerConcentration(k, r, c, l) : 1e9;
            }
        }
        ++point.buffer.filled;
    }
}

void unsatzonmodellklasse::FlushTracerPointBuffers(bool end) {
    for (std::size_t k = 1; k < tracerPoints.size(); ++k) {
        PointBuffer& b = tracerPoints[k].buffer;
        if (!b.table) continue;
        if (!end || b.table->TakesHeldRows()) FlushPointBuffer(b, 1, 0);
        if (!end) continue;
        b.filled = 0;
        if (!NormalEndPending() && !b.table->Finish()) {
            const int reason = errno;
            *log << "FATAL: error opening tracer concentration file " << b.table->name() << "[end-entry]";
            LogSystemReason(*log, reason);
            throw ModelError(65);
        }
    }
}

double unsatzonmodellklasse::TracerDecayFactor(double minutes, double halfLifeDays) {
    return std::exp(-(minutes / 1440.0) / (halfLifeDays * 1.442695041111));
}

bool unsatzonmodellklasse::TracerIsConcentration(int t) const {
    return tracerDescriptors != nullptr && tracerDescriptors[t].evaporating == 1;
}

double unsatzonmodellklasse::TracerConcentration(int t, int r, int c, int layer) const {
    const double v = tracerLayers[U(t)][r][c][layer];
    if (TracerIsConcentration(t)) return v;
    const soil_entry& soil = SoilOf(r, c);
    const double water = own.theta[r][c][layer] * soil.thickness[U(layer)] * 1000.0;
    return water > 0 ? v / water : 0.0;
}

void unsatzonmodellklasse::UpdateTracerStoreGrid(int t) {
    // The concentration of every own cell's deepest layer, as TracerConcentration gives it, with
    // the cell's soil looked up once.
    Matrix& g = tracers[U(t)].storage;
    const bool concentration = TracerIsConcentration(t);
    PrepareOwnCells();
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r) {
        if (g.empty() || !g.holds(r)) continue;
        for (int c : OwnColumns(r)) {
            const soil_entry& soil = SoilOf(r, c);
            const int layer = soil.GetLayerCount();
            const double v = tracerLayers[U(t)][r][c][layer];
            if (concentration) {
                g[r][c] = v;
                continue;
            }
            const double water = own.theta[r][c][layer] * soil.thickness[U(layer)] * 1000.0;
            g[r][c] = water > 0 ? v / water : 0.0;
        }
    }
}

void unsatzonmodellklasse::LinkGroundwaterTracers() {
    if (groundwaterActive == 0 || gwLinked) return;
    gwLinked = true;
    const int a = FindGrid("aquifer_thickness_1", true);
    aquiferThickness = a > 0 ? (*gridStore)[a].grid : nullptr;
    gwTracerStore.assign(U(tracerCount) + 1, nullptr);
    for (int k = 1; k <= tracerCount; ++k) {
        const int i = FindGrid(StrFormat("concstor_tracer_%d_layer_1_%s", k, "groundwater_flow"), true);
        if (i > 0) gwTracerStore[U(k)] = (*gridStore)[i].grid;
    }
}
