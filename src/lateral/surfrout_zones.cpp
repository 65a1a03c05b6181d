// Travel-time zones and subbasin runoff of surface routing: the zone records of direct runoff
// and interflow per tracer and subbasin, their shift at each step start, and at each step end
// the reduction over the processes, the two single linear storages and the total runoff.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "kernel/memory.hpp"
#include "kernel/writecode.hpp"
#include "lateral/surfrout.hpp"
#include "lateral/surfrout_storage.hpp"
#include "setup/tracer_ini.hpp"

void surfaceroutingclass::CreateTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors,
                                            OutputCodeEntry* table, int tableCount) {
    error = 0;
    if (flowControl == 0) return;
    CatchIntoError(error, [&] {
        unsigned baseError = 0;
        InitTracerGrids(baseError, count, descriptors, table, tableCount);
        if (baseError != 0) throw ModelError(static_cast<int>(baseError));
        InitFlowTimeZones();
        surfaceTracers.clear();
        surfaceTracers.resize(static_cast<std::size_t>(tracerCount) + 1);
        for (int t = 1; t <= tracerCount; ++t) {
            SurfaceTracer& st = surfaceTracers[static_cast<std::size_t>(t)];
            st.concQD = (*gridStore)[GetGridIndex(StrFormat("_CONC_QD_%i_", t))].grid;
            st.concQI = (*gridStore)[GetGridIndex(StrFormat("_CONC_QI_%i_", t))].grid;
            const int silting = FindGrid(StrFormat("concstor_tracer_%d_%s", t, "SiltingUpModel"), true);
            if (silting > 0) {
                st.surfaceStore = (*gridStore)[silting].grid;
                st.sharedIndex = silting;
                st.storeHoldsMass = tracerDescriptors[t].evaporating != 1;
            } else {
                st.ownStore = matrix(lo, hi, 1, ncols, nrows);
                st.ownStore.fill(nodata);
                for (int r = firstRow; r <= lastRow; ++r)
                    for (int c = 1; c <= ncols; ++c)
                        if (OwnBasinCell(r, c)) st.ownStore[r][c] = 0;
                st.surfaceStore = &st.ownStore;
                st.storeIndex = RegisterOwn(StrFormat("surface_storage_tracer_%d_%s", t, moduleName.c_str()),
                                            &st.ownStore, nullptr, 0, "", 0, lo, hi);
                MPIExchangeHalo(st.storeIndex);
            }
            st.conc = matrix(lo, hi, 1, ncols, nrows);
            st.conc.fill(0);
            st.inflow = matrix(firstRow, lastRow, 1, ncols, nrows);
            st.inflow.fill(0);
        }
        CreateStorageTracerStatistics(table, tableCount);
        const RunoffArray zero(static_cast<std::size_t>(tracerCount) + 1,
                               std::vector<double>(static_cast<std::size_t>(zoneCount) + 1, 0.0));
        Qg = QD = QDd = QI = QIi = zero;
        if (readGrids == 1) {
            ReadStorageFile();
            ReadVelocityStack();
        }
    });
}

void surfaceroutingclass::CreateStorageTracerStatistics(OutputCodeEntry* table, int tableCount) {
    for (auto& stat : storageTracerStats)
        if (stat) stat->Release();
    storageTracerStats.clear();
    storageTracerStats.resize(static_cast<std::size_t>(tracerCount) + 1);
    storageTracerRecords.assign(static_cast<std::size_t>(tracerCount) + 1, statRecords[4]);
    if (!statistics[4] || !statistics[4]->active()) return;
    for (int t = 1; t <= tracerCount; ++t) {
        const TracerDescriptor& d = tracerDescriptors[t];
        std::vector<zoneFZT>& records = storageTracerRecords[static_cast<std::size_t>(t)];
        int err = 0;
        auto stat = std::make_unique<zonalstatistic>(
            &err, log, cellArea != nullptr ? cellArea : relCellArea, nrows, ncols, records.data(), zoneCount,
            d.statcode, 99, StrFormat("%s%.3s%.5s_storage.%.3s", d.path.c_str(), d.name.c_str(), moduleName.c_str(),
                                      d.statext.c_str()),
            outputPath, settings.SelectedZoneCount(), settings.SelectedZones());  // in the default output folder
        if (err != 0) throw ModelError(err);
        stat->WriteHeader(StrFormat("tracer concentration of the surface storage for tracer %d (%s) ", t,
                                    d.name.c_str()),
                          moduleName, table, tableCount);
        storageTracerStats[static_cast<std::size_t>(t)] = std::move(stat);
    }
}

void surfaceroutingclass::FreeTracerGrids() {
    for (SurfaceTracer& st : surfaceTracers)
        if (st.storeIndex > 0 && gridStore != nullptr) {
            ReleaseGrid(st.storeIndex);
            st.storeIndex = 0;
        }
    for (auto& stat : storageTracerStats)
        if (stat) stat->Release();
    storageTracerStats.clear();
    teilmodellklasse::FreeTracerGrids();
}

int surfaceroutingclass::FlowTimeZone(int r, int c) const {
    if (flowTimes == nullptr) return 1;
    // Runoff of a cell with no travel time arrives in the step like that of zone 1.
    return std::max(1, static_cast<int>((*flowTimes)[r][c]));
}

void surfaceroutingclass::CheckFlowTimes() {
    const std::string& file = (*gridStore)[FindGrid("flow_times")].fileName;
    // The first cell in row order whose zone is negative or nodata, over all processes.
    long long first = std::numeric_limits<long long>::max();
    double tooLarge = 0;
    for (int r = firstRow; r <= lastRow; ++r)
        for (int c = 1; c <= ncols; ++c) {
            if (!OwnBasinCell(r, c)) continue;
            const double z = (*flowTimes)[r][c];
            if (z < 0) first = std::min(first, static_cast<long long>(r - 1) * ncols + (c - 1));
            // Zone numbers become array sizes and integers: beyond a million they are an error.
            else if (!(z <= kMaxFlowTimeZones)) tooLarge = z;
        }
    MPI_Allreduce(MPI_IN_PLACE, &first, 1, MPI_LONG_LONG, MPI_MIN, MPI_COMM_WORLD);
    if (first != std::numeric_limits<long long>::max()) {
        *log << "FATAL: flow travel time zone in " << file << " is negative or nodata at row " << first / ncols + 1
             << ", column " << first % ncols + 1 << " (counted from 1); every cell of the basin needs a zone of 0 or more"
             << "[end-entry]";
        throw ModelError(6);
    }
    MPI_Allreduce(MPI_IN_PLACE, &tooLarge, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    if (tooLarge != 0 || std::isnan(tooLarge)) {
        *log << "FATAL: flow travel time zone " << tooLarge << " in " << file << " is out of range (at most "
             << kMaxFlowTimeZones << ")" << "[end-entry]";
        throw ModelError(6);
    }
}

void surfaceroutingclass::InitFlowTimeZones() {
    *log << "looking for longest flow travel time" << "[end-entry]";
    const std::size_t nsub = static_cast<std::size_t>(zoneCount) + 1;
    maxzeit.assign(nsub, 0.0);
    if (flowTimes != nullptr) {
        CheckFlowTimes();
        // Every subbasin has zone 1, also when all its cells have no travel time.
        for (std::size_t s = 1; s < nsub; ++s) maxzeit[s] = 1;
        // The threads take blocks of rows, each its own maxima, merged (a maximum in any order).
#pragma omp parallel if (Threaded())
        {
            std::vector<double> highest(maxzeit);
#pragma omp for schedule(static) nowait
            for (int r = firstRow; r <= lastRow; ++r)
                for (int c = 1; c <= ncols; ++c) {
                    if (!OwnBasinCell(r, c)) continue;
                    const int s = Subbasin(r, c);
                    if (s > 0)
                        highest[static_cast<std::size_t>(s)] =
                            std::max(highest[static_cast<std::size_t>(s)], static_cast<double>(FlowTimeZone(r, c)));
                }
#pragma omp critical
            for (std::size_t s = 1; s < nsub; ++s) maxzeit[s] = std::max(maxzeit[s], highest[s]);
        }
        MPI_Allreduce(MPI_IN_PLACE, maxzeit.data(), static_cast<int>(nsub), MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    } else {
        for (std::size_t s = 1; s < nsub; ++s) maxzeit[s] = 1;
    }
    zoneOffset.assign(static_cast<std::size_t>(tracerCount + 1) * nsub, 0);
    std::size_t total = 0;
    for (int t = 0; t <= tracerCount; ++t)
        for (int s = 0; s <= zoneCount; ++s) {
            zoneOffset[Slot(t, s)] = total;
            total += static_cast<std::size_t>(std::max(0.0, maxzeit[static_cast<std::size_t>(s)])) + 1;
        }
    // Each zone of each subbasin and tracer keeps plain and exact records of direct runoff and
    // interflow: long travel times in many subbasins multiply.
    const double bytes = static_cast<double>(total) * 2.0 * (sizeof(zoneFZT) + sizeof(ExactZoneSums));
    if (!FitsInMemoryShare(*log, bytes, kFlowTimeZoneMemoryShare,
                           "the flow travel time zones of surface routing (up to " +
                               StrFormat("%.0f", *std::max_element(maxzeit.begin(), maxzeit.end())) + " in a subbasin)"))
        throw ModelError(6);
    zonesQD.assign(total, zoneFZT{});
    zonesQI.assign(total, zoneFZT{});
    exactQD.assign(total, ExactZoneSums{});
    exactQI.assign(total, ExactZoneSums{});
    const std::string logName = StrFormat("modell_%d.log", 0);

    if (flowTimes == nullptr) {
        for (int t = 0; t <= tracerCount; ++t)
            for (int s = 1; s <= zoneCount; ++s) {
                ZoneQD(t, s)[1].rel = 1.0;
                ZoneQI(t, s)[1].rel = 1.0;
            }
        if (rank == 0 &&
            !AppendToTextLog(logName, "flow time distribution will not be calculated (no flow time grid provided)\n"))
            *log << "WARNING: log-file " << logName << " could not be opened" << "[end-entry]";
        return;
    }
    // A dot in the log per own row.
    *log << std::string(static_cast<std::size_t>(std::max(0, lastRow - firstRow + 1)), '.') << "[end-entry]";
    // The cells of each subbasin and zone, summed exactly: with a team each thread sums blocks of
    // rows into sums of its own, merged afterwards (an exact sum's bits do not depend on the order
    // of its additions). The sums of direct runoff without tracer lie first, up to those of tracer 1.
    const std::size_t plain = tracerCount >= 1 ? zoneOffset[Slot(1, 0)] : total;
    const auto addCells = [&](int r, auto&& sumOf) {
        for (int c = 1; c <= ncols; ++c) {
            if (!OwnBasinCell(r, c)) continue;
            const int s = Subbasin(r, c);
            if (s <= 0) continue;
            const int z = FlowTimeZone(r, c);
            const double w = cellArea != nullptr ? (*cellArea)[r][c] : 1.0;
            sumOf(zoneOffset[Slot(0, s)] + static_cast<std::size_t>(z)).Add(w, 0.0, w);
        }
    };
    const long ownCells = static_cast<long>(std::max(0, lastRow - firstRow + 1)) * ncols;
    AddRowsIntoExactSums(Threaded(), firstRow, lastRow, ownCells, plain, addCells,
                         [&](std::size_t i) -> ExactZoneSums& { return exactQD[i]; });
    // Exact sums on process 0 (whatever the division), then the same sums on every process: the
    // records of every subbasin in one reduction and one broadcast (they follow each other).
    if (zoneCount >= 1) {
        std::vector<ZoneRecordBlock> blocks;
        for (int s = 1; s <= zoneCount; ++s)
            blocks.push_back({ExactQD(0, s), ZoneQD(0, s), static_cast<int>(maxzeit[static_cast<std::size_t>(s)])});
        ReduceZoneRecordBlocksExactly(blocks, true);
        const std::size_t first = zoneOffset[Slot(0, 1)];
        const std::size_t end = zoneOffset[Slot(0, zoneCount)] + static_cast<std::size_t>(blocks.back().highest) + 1;
        MPI_Bcast(&zonesQD[first], static_cast<int>(5 * (end - first)), MPI_DOUBLE, 0, MPI_COMM_WORLD);
        for (std::size_t i = first; i < end; ++i) {
            zonesQI[i].n = zonesQD[i].n;
            zonesQI[i].RelCellSum = zonesQD[i].RelCellSum;
        }
    }

    FileHandle logFile;
    if (rank == 0) {
        logFile = OpenFile(logName, "a");
        if (!logFile)
            *log << "WARNING:warning: error opening log-file " << logName << "[end-entry]";
        else
            std::fputs("Flow time distribution:\n", logFile.get());
    }
    for (int s = 1; s <= zoneCount; ++s) {
        const int mz = static_cast<int>(maxzeit[static_cast<std::size_t>(s)]);
        const int code = zoneRecords ? static_cast<int>((*zoneRecords)[static_cast<std::size_t>(s)].zonenwert) : s;
        if (logFile) std::fprintf(logFile.get(), "TG\t%4d\t(%3d\tZonen):", code, mz);
        double total = 0;
        for (int z = 1; z <= mz; ++z) total += ZoneQD(0, s)[z].n;
        if (total == 0) {
            *log << "FATAL: all cells in " << (*gridStore)[FindGrid("flow_times")].fileName << ", subbasin " << code
                 << " are NODATA!" << "[end-entry]";
            throw ModelError(6);
        }
        for (int z = 1; z <= mz; ++z) {
            const double rel = ZoneQD(0, s)[z].n / total;
            for (int t = 0; t <= tracerCount; ++t) {
                ZoneQD(t, s)[z].rel = ZoneQI(t, s)[z].rel = rel;
                ZoneQD(t, s)[z].zonenwert = ZoneQI(t, s)[z].zonenwert = z;
            }
            if (logFile) std::fprintf(logFile.get(), "\t%5.3f", rel);
            if (z == 1 && !(rel > 0)) {
                *log << "FATAL: in flow-travel-time grid: the first time zone of subbasin " << s << " has no cells!"
                     << "[end-entry]";
                throw ModelError(61);
            }
        }
        for (int z = 1; z <= mz; ++z) ZoneQD(0, s)[z].n = 0;
        if (logFile) std::fputs("\n", logFile.get());
    }
    // A record of zone z holds the cells of every zone at or beyond z: after each shift the
    // outlet zone then holds the weights of all cells whose runoff is on its way, as it does once
    // a run has gone on longer than the longest travel time. The records are kept on process 0
    // only: the step reductions add those of all processes, so they count once whatever the
    // division.
    for (int s = 1; s <= zoneCount; ++s)
        for (zoneFZT* zones : {ZoneQD(0, s), ZoneQI(0, s)}) {
            const int mz = static_cast<int>(maxzeit[static_cast<std::size_t>(s)]);
            for (int z = mz - 1; z >= 1; --z) {
                zones[z].n += zones[z + 1].n;
                zones[z].RelCellSum += zones[z + 1].RelCellSum;
            }
            if (rank != 0)
                for (int z = 0; z <= mz; ++z) zones[z].n = zones[z].RelCellSum = 0;
        }
}

void surfaceroutingclass::ShiftFlowTimeZones(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    teilmodellklasse::run(h, d, m, y);
    if (flowControl == 0) return;
    for (auto& s : statistics)
        if (s) s->Reset();
    ResetTracerStatistics();
    for (auto& stat : storageTracerStats)
        if (stat) stat->Reset();
    for (int t = 0; t <= tracerCount; ++t)
        for (int s = 1; s <= zoneCount; ++s) {
            const int mz = static_cast<int>(maxzeit[static_cast<std::size_t>(s)]);
            for (zoneFZT* zones : {ZoneQD(t, s), ZoneQI(t, s)}) {
                for (int z = 1; z < mz; ++z) {
                    zones[z].n = zones[z + 1].n;
                    zones[z].sx = zones[z + 1].sx;
                    zones[z].RelCellSum = zones[z + 1].RelCellSum;
                }
                if (mz >= 1) zones[mz].n = zones[mz].sx = zones[mz].RelCellSum = 0;
            }
            for (ExactZoneSums* sums : {ExactQD(t, s), ExactQI(t, s)}) {
                for (int z = 1; z < mz; ++z) sums[z] = sums[z + 1];
                if (mz >= 1) sums[mz].Reset();
            }
        }
}

void surfaceroutingclass::RouteSubbasin(int s, double dt) {
    const std::size_t si = static_cast<std::size_t>(s);
    const zoneFZT& zd = ZoneQD(0, s)[1];
    const zoneFZT& zi = ZoneQI(0, s)[1];
    QD[0][si] = zd.RelCellSum > 0 ? zd.sx / zd.RelCellSum : 0.0;
    QI[0][si] = zi.RelCellSum > 0 ? zi.sx / zi.RelCellSum : 0.0;
    for (int t = 1; t <= tracerCount; ++t) {
        const zoneFZT& td = ZoneQD(t, s)[1];
        const zoneFZT& ti = ZoneQI(t, s)[1];
        QD[static_cast<std::size_t>(t)][si] = td.RelCellSum > 0 ? td.sx / td.RelCellSum : 0.0;
        QI[static_cast<std::size_t>(t)][si] = ti.RelCellSum > 0 ? ti.sx / ti.RelCellSum : 0.0;
    }
    const double* kd = kelsqd != nullptr ? &(*kelsqd)[si] : nullptr;
    const double* ki = kelsqi != nullptr ? &(*kelsqi)[si] : nullptr;
    const double weight = statRecords[0][si].rel;
    auto drain = [&](RunoffArray& in, RunoffArray& store, const double* k, zoneFZT& stat) {
        const double updated = surfrout::LinearStorage(in[0][si], store[0][si], dt, k);
        for (int t = 1; t <= tracerCount; ++t) {
            const std::size_t ti = static_cast<std::size_t>(t);
            store[ti][si] = surfrout::StorageConcentration(in[0][si], in[ti][si], store[0][si], store[ti][si], dt, k,
                                                          updated);
        }
        store[0][si] = updated;
        stat.n = stat.RelCellSum = weight;
        stat.sx = updated * weight;
    };
    drain(QD, QDd, kd, statRecords[0][si]);
    drain(QI, QIi, ki, statRecords[1][si]);
    const double base = QBb != nullptr ? (*QBb)[0][si] : 0.0;
    Qg[0][si] = QDd[0][si] + QIi[0][si] + base;
    for (std::size_t i : {std::size_t{2}, std::size_t{3}}) statRecords[i][si].n = statRecords[i][si].RelCellSum = weight;
    statRecords[2][si].sx = base * weight;
    statRecords[3][si].sx = Qg[0][si] * weight;
}

void surfaceroutingclass::RouteFlowTimeZones(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    if (flowControl == 0) return;
    if (!linksReported && (QBb == nullptr || kelsqd == nullptr || kelsqi == nullptr)) {
        *log << "INFO: surface routing without the soil model's base flow and recession constants: base flow 0, "
                "direct runoff and interflow pass their storages unchanged"
             << "[end-entry]";
    }
    linksReported = true;
    // Every subbasin's and tracer's record of zone 1, whose runoff reaches the outlet in this
    // step, in one reduction (the zones beyond stay on their processes until they shift there;
    // no runoff counts in zone 0).
    std::vector<ZoneRecordBlock> blocks;
    for (int t = 0; t <= tracerCount; ++t)
        for (int s = 1; s <= zoneCount; ++s) {
            blocks.push_back({ExactQD(t, s) + 1, ZoneQD(t, s) + 1, 0});
            blocks.push_back({ExactQI(t, s) + 1, ZoneQI(t, s) + 1, 0});
        }
    ReduceZoneRecordBlocksExactly(blocks, true);
    if (rank == 0)
        for (int s = 1; s <= zoneCount; ++s) RouteSubbasin(s, timeInterval);
    // The runoff statistics (0..3) hold what process 0 routed, zeros elsewhere: they need no
    // reduction over the processes. The storage's (4) sums the cells of every process.
    for (std::size_t i = 0; i < statistics.size(); ++i) {
        if (!statistics[i]) continue;
        if (i != 4)
            statistics[i]->StepFilledOnRoot(y, m, d, h);
        else
            statistics[i]->Step(y, m, d, h, 1);
    }
    for (int t = 1; t <= tracerCount; ++t) {
        const std::size_t ti = static_cast<std::size_t>(t);
        for (int s = 1; s <= zoneCount; ++s) {
            const std::size_t si = static_cast<std::size_t>(s);
            const double b = QBb != nullptr ? (*QBb)[0][si] : 0.0;
            const double bc = QBb != nullptr && ti < QBb->size() ? (*QBb)[ti][si] : 0.0;
            const double i = QIi[0][si], dd = QDd[0][si];
            Qg[ti][si] = b + i + dd > 0 ? (b * bc + i * QIi[ti][si] + dd * QDd[ti][si]) / (b + i + dd) : 0.0;
            // Process 0 alone routed the subbasins; the others' records stay empty for the sum.
            if (rank == 0 && ti < tracers.size() && si < tracers[ti].zones.size()) {
                tracers[ti].zones[si].sx = Qg[ti][si];
                tracers[ti].zones[si].n = tracers[ti].zones[si].RelCellSum = 1;
            }
        }
        if (tracers[ti].statistics) tracers[ti].statistics->StepFilledOnRoot(y, m, d, h);
        if (ti < storageTracerStats.size() && storageTracerStats[ti]) storageTracerStats[ti]->Step(y, m, d, h, 1);
        SurfaceTracer& st = surfaceTracers[ti];
        if (st.storeIndex > 0) WriteStatisticGrids(st.storeIndex, true, false);
    }
    WriteSharedTracerStores();
    WriteStackByCode(velocityIndex);
    WriteStackByCode(fluxIndex);
}

void surfaceroutingclass::WriteSharedTracerStores() {
    // Silting-up writes its tracer stores in its own step, before surface routing changes them:
    // at the end of the run their plain files get the stores as the step leaves them, which is
    // what a warm start reads.
    const writecode::OutputDate date{year, month, day, hour};
    if (!writecode::Ends(GetHourOffset(), date, endKey).run) return;
    for (const SurfaceTracer& st : surfaceTracers) {
        if (st.sharedIndex <= 0) continue;
        const GridStoreEntry& e = (*gridStore)[st.sharedIndex];
        if (e.units == 0 || e.grid == nullptr) continue;
        Matrix copy;
        if (size > 1) copy = MPIGatherGridCopy(st.sharedIndex, nullptr, true);
        if (rank == 0) WriteGrid(e.baseFileName, copy.empty() ? *e.grid : copy, textOutput, doublePrecision);
    }
}
