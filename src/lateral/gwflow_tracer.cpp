// Tracer concentrations per layer: grids, statistics, decay factor and copy.
#include <cmath>

#include "lateral/gwflow.hpp"
#include "setup/tracer_ini.hpp"

void gwflowclass::CreateTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors,
                                    OutputCodeEntry* table, int tableCount) {
    error = 0;
    if (flowControl == 0) return;
    CatchIntoError(error, [&] {
        tracerCount = count;
        tracerDescriptors = descriptors;
        if (count < 1) return;
        gwTracers.clear();
        gwTracers.resize(static_cast<std::size_t>(count) + 1);
        const double subStepMinutes = timeInterval / (numSubSteps > 0 ? numSubSteps : 1);
        const std::vector<int> selected(outputList.begin() + 1, outputList.end());
        for (int t = 1; t <= count; ++t) {
            const TracerDescriptor& d = descriptors[t];
            GwTracer& tr = gwTracers[static_cast<std::size_t>(t)];
            tr.decays = d.radioactive != 0;
            if (d.radioactive == 1) tr.decay = DecayFactor(subStepMinutes, d.half_time);
            tr.layers.resize(static_cast<std::size_t>(layerCount) + 1);
            for (int l = 1; l <= layerCount; ++l) {
                TracerLayer& tl = tr.layers[static_cast<std::size_t>(l)];
                tl.zones.assign(static_cast<std::size_t>(zoneCount) + 1, zoneFZT{});
                for (int z = 0; z <= zoneCount && zoneRecords != nullptr; ++z) {
                    tl.zones[static_cast<std::size_t>(z)].zonenwert = (*zoneRecords)[static_cast<std::size_t>(z)].zonenwert;
                    tl.zones[static_cast<std::size_t>(z)].rel = (*zoneRecords)[static_cast<std::size_t>(z)].rel;
                }
                tl.statFileName = StrFormat("%s%.3s%.4s%.1d.%s", d.path.c_str(), d.name.c_str(), moduleName.c_str(), l,
                                            d.statext.c_str());
                int statError = 0;
                tl.stat = std::make_unique<zonalstatistic>(&statError, log, nullptr, nrows, ncols, tl.zones.data(),
                                                           zoneCount, d.statcode, 99, tl.statFileName, outputPath,
                                                           outputList.empty() ? 0 : outputList[0], selected);
                if (statError != 0) throw ModelError(statError);
                tl.stat->WriteHeader(StrFormat("tracer concentration for tracer %d in layer %d (%s) ", t, l,
                                               d.name.c_str()),
                                     moduleName, table, tableCount);
                tl.fileName = StrFormat("%s%.3s%.1d%.4s.%s", d.path.c_str(), d.name.c_str(), l, moduleName.c_str(),
                                        d.gridext.c_str());
                const std::string name = StrFormat("concstor_tracer_%d_layer_%d_%s", t, l, moduleName.c_str());
                const Layer& L = layers[static_cast<std::size_t>(l)];
                if (gridReadParameter == 1) {
                    ReadGrid(tl.fileName, &tl.conc, 0, true, false, nodata, false, false, false, true);
                    tl.index = TakeEntry(true);
                    RegisterGrid(tl.index, tl.fileName, &tl.conc, nullptr, 0, name, d.gridcode, HaloFirst(), HaloLast());
                } else {
                    tl.conc = HaloMatrix();
                    tl.conc.fill(nodata);
#pragma omp parallel for schedule(runtime) if (Threaded())
                    for (int r = firstRow; r <= lastRow; ++r) {
                        for (int c = 1; c <= ncols; ++c) {
                            if (!InZone(r, c) || !Own(r, c)) continue;
                            tl.conc[r][c] = d.gwini * (*L.thickness)[r][c] * (*L.storage)[r][c] * 1000.0;
                        }
                    }
                    tl.index = TakeEntry(true);
                    RegisterGrid(tl.index, tl.fileName, &tl.conc, nullptr, 0, name, d.gridcode, HaloFirst(), HaloLast());
                    MPIExchangeHalo(tl.index);
                }
            }
            tr.flux = HaloMatrix();
            tr.above = OwnMatrix();
            tr.fluxIndex = TakeEntry(true);
            RegisterGrid(tr.fluxIndex, tr.layers[1].fileName, &tr.flux, nullptr, 0,
                         StrFormat("concflux_tracer_%d_%s", t, moduleName.c_str()), 0, HaloFirst(), HaloLast());
        }
    });
}

void gwflowclass::FreeTracerGrids() {
    for (std::size_t t = 1; t < gwTracers.size(); ++t) {
        GwTracer& tr = gwTracers[t];
        for (std::size_t l = 1; l < tr.layers.size(); ++l) {
            TracerLayer& tl = tr.layers[l];
            if (tl.index > 0) ReleaseGrid(tl.index);
            tl.index = 0;
            if (tl.stat) tl.stat->Release();
            tl.stat.reset();
        }
        if (tr.fluxIndex > 0) ReleaseGrid(tr.fluxIndex);
        tr.fluxIndex = 0;
    }
    gwTracers.clear();
}

void gwflowclass::CopyTracers(int l) {
    Layer& L = layers[static_cast<std::size_t>(l)];
    const std::size_t li = static_cast<std::size_t>(l);
#pragma omp parallel for schedule(runtime) if (Threaded())
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!L.head.holds(r)) continue;
        // The rows of the look-ups, taken once per row.
        const double* const zone = zoneGrid != nullptr && zoneGrid->holds(r) ? (*zoneGrid)[r] : nullptr;
        const double* const regions = mpiRegions != nullptr && mpiRegions->holds(r) ? (*mpiRegions)[r] : nullptr;
        const double* const ice = glacier != nullptr ? (*glacier)[r] : nullptr;
        double* const head = L.head[r];
        // A cell is left alone where another process owns it; outside the basin its head has no
        // value. Every cell's values depend on that cell alone, so the heads and each tracer
        // take their own pass over the row.
        for (int c = 1; c <= ncols; ++c) {
            if (regions != nullptr && static_cast<int>(regions[c]) != rank) continue;
            if (!((zone != nullptr ? zone[c] : nodata) > nodata)) head[c] = nodata;
        }
        for (std::size_t t = 1; t < gwTracers.size(); ++t) {
            GwTracer& tr = gwTracers[t];
            double* const conc = tr.layers[li].conc[r];
            double* const kept = tr.above[r];
            const double* const mixed = tr.flux[r];
            for (int c = 1; c <= ncols; ++c) {
                if (regions != nullptr && static_cast<int>(regions[c]) != rank) continue;
                kept[c] = conc[c];
                // Outside the basin no value; fully glaciated cells went through no mixing: they
                // keep their concentration.
                if (!((zone != nullptr ? zone[c] : nodata) > nodata))
                    conc[c] = nodata;
                else if (GlacierOf(ice, c) < 1)
                    conc[c] = mixed[c];
            }
        }
    }
}
