// The module's tracer records and its concentration storage and flux grids.
#include <cmath>

#include "kernel/error.hpp"
#include "kernel/threading.hpp"
#include "submodel/teilmod.hpp"
#include "setup/tracer_ini.hpp"

double teilmodellklasse::DecayFactor(double intervalMinutes, double halfTimeDays) {
    return std::exp(-(intervalMinutes / 60.0 / 24.0) / (1.442695041111 * halfTimeDays));
}

std::array<const char*, 4> teilmodellklasse::GroundInputTracerSources(bool interceptionFirst) {
    if (interceptionFirst) return {"snow_model", "interception_model", "irrigation", "input"};
    return {"interception_model", "snow_model", "irrigation", "input"};
}

void teilmodellklasse::InitTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors,
                                       OutputCodeEntry* table, int tableCount) {
    CatchIntoError(error, [&] {
        tracerCount = count;
        if (count < 1) return;
        tracerDescriptors = descriptors;
        tracers.clear();
        // Sized once: the grid store keeps pointers to the records' grids.
        tracers.resize(static_cast<std::size_t>(count) + 1);
        for (int i = 1; i <= count; ++i) {
            const TracerDescriptor& d = descriptors[i];
            TracerRecord& r = tracers[static_cast<std::size_t>(i)];
            // Each module decays with its own step; the shared descriptor is never written.
            if (d.radioactive == 1) r.decayPerStep = DecayFactor(timeInterval, d.half_time);

            r.zones.assign(static_cast<std::size_t>(zoneCount) + 1, zoneFZT{});
            if (zoneRecords != nullptr) {
                for (int z = 0; z <= zoneCount && z < static_cast<int>(zoneRecords->size()); ++z) {
                    r.zones[static_cast<std::size_t>(z)].zonenwert = (*zoneRecords)[static_cast<std::size_t>(z)].zonenwert;
                    r.zones[static_cast<std::size_t>(z)].rel = (*zoneRecords)[static_cast<std::size_t>(z)].rel;
                }
            }
            const std::string extension = tracerTableFullExtension ? d.statext : d.statext.substr(0, 3);
            r.statFileName = StrFormat("%s%.3s%.5s.%s", d.path.c_str(), d.name.c_str(), moduleName.c_str(),
                                       extension.c_str());
            int statError = 0;
            // The table lies in the default output folder, as the tracer's grids do.
            r.statistics = std::make_unique<zonalstatistic>(&statError, log, relCellArea, nrows, ncols,
                                                            r.zones.data(), zoneCount, d.statcode, 99,
                                                            r.statFileName, outputPath, settings.SelectedZoneCount(),
                                                            settings.SelectedZones());
            if (statError != 0) throw ModelError(statError);
            r.statistics->WriteHeader(StrFormat("tracer concentration for tracer %d (%s) ", i, d.name.c_str()),
                                      moduleName, table, tableCount);

            const int storageIndex = FirstFreeGridEntry(*gridStore);
            if (storageIndex >= 1000) {
                *log << tracerStoreFullMessage << "[end-entry]";
                throw ModelError(12);
            }
            r.storageFileName = StrFormat("%s%.3s%.5s.%.3s", d.path.c_str(), d.name.c_str(), moduleName.c_str(),
                                          d.gridext.c_str());
            if (warmStart == 1) {
                // A warm start continues from the stored tracer state.
                ReadGrid(r.storageFileName, &r.storage);
            } else {
                r.storage = matrix(firstRow, lastRow, 1, ncols, nrows);
                // The threads take blocks of rows, so that the grid's fresh pages are faulted in together.
                const Matrix& store = r.storage;
#pragma omp parallel for schedule(static) if (WorthThreads(firstRow, lastRow, ncols))
                for (int row = firstRow; row <= lastRow; ++row) {
                    if (!store.holds(row)) continue;
                    const bool zoneRow = zoneGrid != nullptr && zoneGrid->holds(row);
                    for (int c = 1; c <= ncols; ++c)
                        store[row][c] = (zoneRow && zoneGrid->operator[](row)[c] == nodata) ? nodata : 0.0;
                }
            }
            RegisterGrid(storageIndex, r.storageFileName, &r.storage, nullptr, 0,
                         StrFormat("concstor_tracer_%d_%s", i, moduleName.c_str()), d.gridcode, firstRow, lastRow);
            r.storageIndex = storageIndex;

            // The flux grid takes the next free entry (normally the one after the storage grid).
            const int fluxIndex = FirstFreeGridEntry(*gridStore);
            r.flux = matrix(firstRow, lastRow, 1, ncols, nrows);
            RegisterGrid(fluxIndex, r.storageFileName, &r.flux, nullptr, 0,
                         StrFormat("concflux_tracer_%d_%s", i, moduleName.c_str()), 0, firstRow, lastRow);
            r.fluxIndex = fluxIndex;
        }
    });
}

void teilmodellklasse::ResetTracerStatistics() {
    for (int t = 1; t <= tracerCount && static_cast<std::size_t>(t) < tracers.size(); ++t)
        if (tracers[static_cast<std::size_t>(t)].statistics) tracers[static_cast<std::size_t>(t)].statistics->Reset();
}

void teilmodellklasse::StepTracerStatistics(std::int64_t year, std::int64_t month, std::int64_t day,
                                            std::int64_t hour, int reduce) {
    for (int t = 1; t <= tracerCount && static_cast<std::size_t>(t) < tracers.size(); ++t)
        if (tracers[static_cast<std::size_t>(t)].statistics)
            tracers[static_cast<std::size_t>(t)].statistics->Step(year, month, day, hour, reduce);
}

void teilmodellklasse::AppendTracerStatistics(std::vector<zonalstatistic*>& stats) const {
    for (int t = 1; t <= tracerCount && static_cast<std::size_t>(t) < tracers.size(); ++t)
        stats.push_back(tracers[static_cast<std::size_t>(t)].statistics.get());
}

void teilmodellklasse::FlushTracerStatistics() {
    for (int t = 1; t <= tracerCount && static_cast<std::size_t>(t) < tracers.size(); ++t)
        if (tracers[static_cast<std::size_t>(t)].statistics) tracers[static_cast<std::size_t>(t)].statistics->WriteLine();
}

void teilmodellklasse::FreeTracerGrids() {
    for (std::size_t i = 1; i < tracers.size(); ++i) {
        TracerRecord& r = tracers[i];
        if (r.storageIndex > 0) ReleaseGrid(r.storageIndex);
        if (r.fluxIndex > 0) ReleaseGrid(r.fluxIndex);
        r.storageIndex = r.fluxIndex = 0;
        if (r.statistics) r.statistics->Release();
        r.statistics.reset();
    }
    tracers.clear();
}
