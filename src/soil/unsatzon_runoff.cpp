// Subbasin runoff of the soil model: the travel-time zones built at start, the shift of the
// zone records at the start of every step, and the runoff of the outlet zone through one
// linear storage per subbasin and component.
#include "soil/unsatzon_runoff.hpp"

#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "kernel/memory.hpp"
#include "kernel/threading.hpp"
#include "soil/unsatzon.hpp"
#include "tables/soil_entry.hpp"

namespace {
std::size_t U(int i) { return static_cast<std::size_t>(i); }

}  // namespace

extern "C" void SumZoneRecords(void* in, void* inout, int* count, MPI_Datatype*) {
    const auto* a = static_cast<const zoneFZT*>(in);
    auto* b = static_cast<zoneFZT*>(inout);
    for (int i = 0; i < *count; ++i) {
        b[i].n += a[i].n;
        b[i].RelCellSum += a[i].RelCellSum;
        b[i].sx = 0;
    }
}

void unsatzonmodellklasse::BuildFlowTimeZones() {
    *log << "looking for longest flow travel time" << "[end-entry]";
    const int S = soilZones.zoneCount;
    const int T = tracerCount;
    std::vector<double> zones(U(S) + 1, 0.0);
    flowTimeZones = in.flowTimes != nullptr;
    if (!flowTimeZones) {
        std::fill(zones.begin() + 1, zones.end(), 1.0);
    } else {
        // A nodata or negative flow time has no zone; the first such cell (in row order over all
        // processes) stops the run on every process. A flow time of 0 is in the outlet zone.
        // The threads take blocks of rows, each its own maxima and first bad cell, merged (a
        // maximum and a minimum in any order).
        long long firstBad = std::numeric_limits<long long>::max();
        double tooLong = 0;  // a flow time whose zone lies beyond the most zones, if any
#pragma omp parallel if (WorthThreads(firstRow, lastRow, ncols))
        {
            std::vector<double> highest(zones);
            long long bad = std::numeric_limits<long long>::max();
            double beyond = 0;
#pragma omp for schedule(static) nowait
            for (int r = firstRow; r <= lastRow; ++r) {
                const ColumnRange cols = ColumnsOf(r);
                for (int c = cols.first; c <= cols.last; ++c) {
                    if (!IsOwnCell(r, c)) continue;
                    const double t = (*in.flowTimes)[r][c];
                    if (t == nodata || !(t >= 0)) {
                        bad = std::min(bad, static_cast<long long>(r) * (ncols + 1) + c);
                        continue;
                    }
                    // Zone numbers become array sizes and integers: beyond the most zones they
                    // are an error.
                    if (!(std::ceil(t / 60.0 / timeInterval) <= kMaxFlowTimeZones)) {
                        beyond = std::max(beyond, t);
                        continue;
                    }
                    const int z = std::max(1, soilrunoff::FlowTimeZone(t, timeInterval));
                    (*in.flowTimes)[r][c] = z;
                    const int s = SubbasinOf(r, c);
                    if (s >= 1 && s <= S) highest[U(s)] = std::max(highest[U(s)], static_cast<double>(z));
                }
            }
#pragma omp critical
            {
                firstBad = std::min(firstBad, bad);
                tooLong = std::max(tooLong, beyond);
                for (std::size_t s = 1; s < zones.size(); ++s) zones[s] = std::max(zones[s], highest[s]);
            }
        }
        MPI_Allreduce(MPI_IN_PLACE, &firstBad, 1, MPI_LONG_LONG, MPI_MIN, MPI_COMM_WORLD);
        if (firstBad != std::numeric_limits<long long>::max()) {
            const int index = FindGrid("flow_times", true);
            *log << "FATAL: the flow travel time of the basin cell in row " << firstBad / (ncols + 1) << ", column "
                 << firstBad % (ncols + 1) << " of " << (*gridStore)[index].fileName
                 << " is nodata or negative; every basin cell needs a flow time of 0 s or more" << "[end-entry]";
            throw ModelError(6);
        }
        MPI_Allreduce(MPI_IN_PLACE, &tooLong, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
        if (tooLong != 0) {
            const int index = FindGrid("flow_times", true);
            *log << "FATAL: the flow travel time of " << tooLong << " s in " << (*gridStore)[index].fileName
                 << " makes more than " << kMaxFlowTimeZones << " time zones of " << timeInterval << " minutes"
                 << "[end-entry]";
            throw ModelError(6);
        }
    }
    MPI_Allreduce(MPI_IN_PLACE, zones.data(), S + 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
    zonesPerSubbasin.assign(U(S) + 1, 0);
    double records = 0;
    for (int s = 1; s <= S; ++s) {
        zonesPerSubbasin[U(s)] = static_cast<int>(zones[U(s)]);
        records += zones[U(s)] + 1;
    }
    // Each zone of each subbasin and tracer keeps plain and exact records of direct runoff and
    // interflow: long travel times in many subbasins multiply.
    const double bytes = records * (T + 1) * 2.0 * (sizeof(zoneFZT) + sizeof(ExactZoneSums));
    if (!FitsInMemoryShare(*log, bytes, kFlowTimeZoneMemoryShare, "the soil model's flow travel time zones (up to " +
                                              StrFormat("%.0f", *std::max_element(zones.begin(), zones.end())) +
                                              " in a subbasin)"))
        throw ModelError(6);
    for (ZoneRecords* a : {&zoneFZT_QD, &zoneFZT_QI}) {
        a->assign(U(T) + 1, std::vector<std::vector<zoneFZT>>(U(S) + 1));
        for (int t = 0; t <= T; ++t)
            for (int s = 1; s <= S; ++s) (*a)[U(t)][U(s)].assign(U(std::max(0, zonesPerSubbasin[U(s)])) + 1, zoneFZT{});
    }
    baseflowRecords.assign(U(T) + 1, std::vector<zoneFZT>(U(S) + 1));
    for (ExactZoneRecords* a : {&exactQD, &exactQI}) {
        a->assign(U(T) + 1, std::vector<std::vector<ExactZoneSums>>(U(S) + 1));
        for (int t = 0; t <= T; ++t)
            for (int s = 1; s <= S; ++s)
                (*a)[U(t)][U(s)].assign(U(std::max(0, zonesPerSubbasin[U(s)])) + 1, ExactZoneSums{});
    }
    exactBaseflow.assign(U(T) + 1, std::vector<ExactZoneSums>(U(S) + 1));
    const std::string logName = StrFormat("modell_%d.log", 0);
    if (!flowTimeZones) {
        for (int t = 0; t <= T; ++t)
            for (int s = 1; s <= S; ++s) {
                zoneFZT_QD[U(t)][U(s)][1].rel = 1.0;
                zoneFZT_QI[U(t)][U(s)][1].rel = 1.0;
            }
        if (rank == 0 &&
            !AppendToTextLog(logName,
                             "flow time distribution will not be calculated since no flow time grid was provided\n"))
            *log << "WARNING: log file " << logName << " could not be opened" << "[end-entry]";
        return;
    }
    // A dot in the log per own row.
    *log << std::string(U(std::max(0, lastRow - firstRow + 1)), '.') << "[end-entry]";
    // The cells of each subbasin and zone, summed exactly. With a team each thread sums blocks of
    // rows into sums of its own (subbasin after subbasin, zones 0..Z each), merged afterwards: an
    // exact sum's bits do not depend on the order of its additions.
    std::vector<std::size_t> offset(U(S) + 2, 0);
    for (int s = 1; s <= S; ++s) offset[U(s) + 1] = offset[U(s)] + U(std::max(0, zonesPerSubbasin[U(s)])) + 1;
    const std::size_t plain = offset[U(S) + 1];
    const auto addCells = [&](int r, auto&& sumOf) {
        const ColumnRange cols = ColumnsOf(r);
        for (int c = cols.first; c <= cols.last; ++c) {
            if (!IsOwnCell(r, c)) continue;
            const int s = SubbasinOf(r, c);
            if (s < 1 || s > S) continue;
            const int z = std::clamp(static_cast<int>((*in.flowTimes)[r][c]), 0, zonesPerSubbasin[U(s)]);
            const double a = relCellArea != nullptr && relCellArea->holds(r) ? (*relCellArea)[r][c] : 1.0;
            sumOf(offset[U(s)] + U(z)).Add(a, 0.0, a);
        }
    };
    std::vector<ExactZoneSums*> target(plain);
    for (int s = 1; s <= S; ++s)
        for (std::size_t z = 0; z < offset[U(s) + 1] - offset[U(s)]; ++z) target[offset[U(s)] + z] = &exactQD[0][U(s)][z];
    const long ownCells = static_cast<long>(std::max(0, lastRow - firstRow + 1)) * ncols;
    AddRowsIntoExactSums(WorthThreads(firstRow, lastRow, ncols), firstRow, lastRow, ownCells, plain, addCells,
                         [&](std::size_t i) -> ExactZoneSums& { return *target[i]; });
    // Counts of every process summed exactly onto process 0 (whatever the division), then the
    // same counts on every process: the records of every subbasin in one reduction and one
    // broadcast.
    std::vector<ZoneRecordBlock> blocks;
    for (int s = 1; s <= S; ++s) {
        std::vector<zoneFZT>& q = zoneFZT_QD[0][U(s)];
        blocks.push_back({exactQD[0][U(s)].data(), q.data(), static_cast<int>(q.size()) - 1});
    }
    ReduceZoneRecordBlocksExactly(blocks, true);
    std::vector<zoneFZT> all;
    for (int s = 1; s <= S; ++s) all.insert(all.end(), zoneFZT_QD[0][U(s)].begin(), zoneFZT_QD[0][U(s)].end());
    MPI_Bcast(all.data(), static_cast<int>(5 * all.size()), MPI_DOUBLE, 0, MPI_COMM_WORLD);
    std::size_t next = 0;
    for (int s = 1; s <= S; ++s) {
        std::vector<zoneFZT>& q = zoneFZT_QD[0][U(s)];
        for (std::size_t z = 0; z < q.size(); ++z, ++next) {
            q[z] = all[next];
            zoneFZT_QI[0][U(s)][z].n = q[z].n;
            zoneFZT_QI[0][U(s)][z].RelCellSum = q[z].RelCellSum;
        }
    }
    std::string text = "flow time distribution:\n";
    for (int s = 1; s <= S; ++s) {
        const int Z = zonesPerSubbasin[U(s)];
        const int code = static_cast<int>(subbasins.subbasin_codes.size() > U(s) ? subbasins.subbasin_codes[U(s)] : s);
        text += StrFormat("TG\t%4d\t(%3d\tZonen):", code, Z);
        double total = 0;
        for (int z = 1; z <= Z; ++z) total += zoneFZT_QD[0][U(s)][U(z)].n;
        if (Z < 1 || total == 0) {
            const int idx = FindGrid("flow_times", true);
            *log << "FATAL: all cells in " << (idx > 0 ? (*gridStore)[idx].fileName : std::string("flow_times"))
                 << ", subbasin " << code << " are NODATA!" << "[end-entry]";
            throw ModelError(6);
        }
        for (int z = 1; z <= Z; ++z) {
            const double rel = zoneFZT_QD[0][U(s)][U(z)].n / total;
            for (int t = 0; t <= T; ++t) {
                // Tracer records take their share after the water counts are cleared: 0.
                const double v = t == 0 ? rel : 0.0;
                zoneFZT_QD[U(t)][U(s)][U(z)].rel = zoneFZT_QI[U(t)][U(s)][U(z)].rel = v;
                zoneFZT_QD[U(t)][U(s)][U(z)].zonenwert = zoneFZT_QI[U(t)][U(s)][U(z)].zonenwert = z;
            }
            text += StrFormat("\t%5.3f", rel);
            if (z == 1 && rel <= 0) {
                *log << "FATAL: in flow-travel-time grid: the first time zone of subbasin " << s << " has no cells!"
                     << "[end-entry]";
                throw ModelError(61);
            }
        }
        text += "\n";
        for (int z = 1; z <= Z; ++z) zoneFZT_QD[0][U(s)][U(z)].n = 0;
    }
    if (rank == 0 && !AppendToTextLog(logName, text))
        *log << "WARNING: error opening log-file " << logName << "[end-entry]";
    // Sums of every zone at or beyond each record, kept on process 0 only: every other
    // process starts from zero, so each step's reduction counts them once.
    for (int s = 1; s <= S; ++s) {
        for (ZoneRecords* a : {&zoneFZT_QD, &zoneFZT_QI}) {
            std::vector<zoneFZT>& q = (*a)[0][U(s)];
            for (int z = zonesPerSubbasin[U(s)] - 1; z >= 1; --z) {
                q[U(z)].n += q[U(z + 1)].n;
                q[U(z)].RelCellSum += q[U(z + 1)].RelCellSum;
            }
            if (rank != 0)
                for (zoneFZT& rec : q) rec.n = rec.RelCellSum = 0;
        }
    }
}

void unsatzonmodellklasse::BeginTimeStep(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year) {
    if (flowControl == 0) return;
    if (mpiRegions == nullptr) FindDecompositionGrids();
    stepHour = modelobject::hour = hour;
    stepDay = modelobject::day = day;
    stepMonth = modelobject::month = month;
    stepYear = modelobject::year = year;
    const int interval = settings.runInterval <= 0 ? 1 : settings.runInterval;
    if (interval == 1 || (static_cast<std::int64_t>(hourOffset) + hour) % interval == 0)
        *log << StrFormat("%20s", moduleName.c_str()) << " " << day << "." << month << "." << year << " " << hour
             << ". h " << "(time of meteo data)" << config_tag << "[end-entry]";
    if (heat.on() && deriveInitialTemperatures) InitialTemperatureProfile();
    if (!surfaceWaterTracersLooked) {
        surfaceWaterTracersLooked = true;
        tracerSurfaceWater.assign(U(std::max(tracerCount, 0)) + 1, nullptr);
        for (int k = 1; surfaceStorageSiltingUp && k <= tracerCount; ++k) {
            const int i = FindGrid(StrFormat("surface_storage_tracer_%d_%s", k, "SurfaceRoutingModel"), true);
            if (i > 0) tracerSurfaceWater[U(k)] = (*gridStore)[i].grid;
        }
    }
    for (ZoneRecords* a : {&zoneFZT_QD, &zoneFZT_QI})
        for (auto& perTracer : *a)
            for (std::size_t s = 1; s < perTracer.size(); ++s) {
                std::vector<zoneFZT>& q = perTracer[s];
                const int Z = static_cast<int>(q.size()) - 1;
                for (int z = 1; z < Z; ++z) {
                    q[U(z)].n = q[U(z + 1)].n;
                    q[U(z)].sx = q[U(z + 1)].sx;
                    q[U(z)].RelCellSum = q[U(z + 1)].RelCellSum;
                }
                if (Z >= 1) q[U(Z)].n = q[U(Z)].sx = q[U(Z)].RelCellSum = 0;
            }
    for (ExactZoneRecords* a : {&exactQD, &exactQI})
        for (auto& perTracer : *a)
            for (std::size_t s = 1; s < perTracer.size(); ++s) {
                std::vector<ExactZoneSums>& q = perTracer[s];
                const std::size_t Z = q.size() - 1;
                for (std::size_t z = 1; z < Z; ++z) q[z] = q[z + 1];
                if (Z >= 1) q[Z].Reset();
            }
    for (auto& perTracer : baseflowRecords)
        for (zoneFZT& rec : perTracer) rec.n = rec.sx = rec.RelCellSum = 0;
    for (auto& perTracer : exactBaseflow)
        for (ExactZoneSums& rec : perTracer) rec.Reset();
    for (auto& st : statistics)
        if (st) st->Reset();
    for (int t = 1; t <= tracerCount; ++t)
        if (tracers[U(t)].statistics) tracers[U(t)].statistics->Reset();
}

void unsatzonmodellklasse::ComputeSubbasinRunoff() {
    if (flowControl == 0) return;
    // Silting-up takes this in at the start of the next step.
    KeepSurfaceWaterLeft();
    using C = SoilModelConfig;
    const int S = soilZones.zoneCount;
    const int T = tracerCount;
    // Every subbasin's and tracer's records in one reduction.
    std::vector<ZoneRecordBlock> blocks;
    for (int t = 0; t <= T; ++t)
        for (int s = 1; s <= S; ++s) {
            const int highest = std::min(1, zonesPerSubbasin[U(s)]);
            blocks.push_back({exactQD[U(t)][U(s)].data(), zoneFZT_QD[U(t)][U(s)].data(), highest});
            blocks.push_back({exactQI[U(t)][U(s)].data(), zoneFZT_QI[U(t)][U(s)].data(), highest});
        }
    for (int t = 0; t <= T; ++t) blocks.push_back({exactBaseflow[U(t)].data(), baseflowRecords[U(t)].data(), S});
    ReduceZoneRecordBlocksExactly(blocks, true);

    if (Qg.empty() || Qg[0].empty()) {
        *log << "FATAL: Qg[" << 1 << "] not initialized (may be, tracer module not linked? -> programmers error!)"
             << "[end-entry]";
        throw ModelError(57);
    }
    auto mean = [](const zoneFZT& z) { return z.RelCellSum > 0 ? z.sx / z.RelCellSum : 0.0; };
    auto setStat = [&](int slot, int s, double value) {
        std::vector<zoneFZT>& rec = statisticRecords[U(slot)];
        if (!statistics[U(slot)] || U(s) >= rec.size()) return;
        rec[U(s)].n = rec[U(s)].RelCellSum = rec[U(s)].rel;
        rec[U(s)].sx = rec[U(s)].rel * value;
    };
    if (rank == 0) {
        const bool immediately = routeImmediately != 0;
        for (int s = 1; s <= S; ++s) {
            const double fd = soilrunoff::StorageFactor(timeInterval, subbasins.kelsqd[U(s)], immediately);
            const double fi = soilrunoff::StorageFactor(timeInterval, subbasins.kelsqi[U(s)], immediately);
            for (int t = 0; t <= T; ++t) {
                QD[U(t)][U(s)] = mean(zoneFZT_QD[U(t)][U(s)][1]);
                QI[U(t)][U(s)] = mean(zoneFZT_QI[U(t)][U(s)][1]);
            }
            const double qd = soilrunoff::StorageOutflow(QD[0][U(s)], QDd[0][U(s)], fd);
            const double qi = soilrunoff::StorageOutflow(QI[0][U(s)], QIi[0][U(s)], fi);
            for (int t = 1; t <= T; ++t) {
                QDd[U(t)][U(s)] = soilrunoff::StorageConcentration(QD[0][U(s)], QD[U(t)][U(s)], QDd[0][U(s)],
                                                                   QDd[U(t)][U(s)], fd, qd);
                QIi[U(t)][U(s)] = soilrunoff::StorageConcentration(QI[0][U(s)], QI[U(t)][U(s)], QIi[0][U(s)],
                                                                   QIi[U(t)][U(s)], fi, qi);
            }
            QDd[0][U(s)] = qd;
            QIi[0][U(s)] = qi;
            QBb[0][U(s)] = std::max(0.0, mean(baseflowRecords[0][U(s)]));
            double total = QDd[0][U(s)] + QIi[0][U(s)] + QBb[0][U(s)];
            if (U(s) < glacier_table.size() && glacier_table[U(s)].glacierized) total += Qg[0][U(s)];
            Qg[0][U(s)] = total;
            setStat(C::QD, s, QDd[0][U(s)]);
            setStat(C::QI, s, QIi[0][U(s)]);
            setStat(C::QB, s, QBb[0][U(s)]);
            setStat(C::Qg, s, Qg[0][U(s)]);
            for (int t = 1; t <= T; ++t) {
                QBb[U(t)][U(s)] = mean(baseflowRecords[U(t)][U(s)]);
                // Flow-weighted over the parts that leave: the direct flow is net of the surface
                // water surface routing takes back, which can exceed it; weighed in below 0, its
                // concentration (of the water that left, none) would raise the mean above every part's.
                const double b = std::max(0.0, QBb[0][U(s)]), i = std::max(0.0, QIi[0][U(s)]);
                const double d = std::max(0.0, QDd[0][U(s)]);
                const double W = b + i + d;
                Qg[U(t)][U(s)] =
                    W > 0 ? (QBb[U(t)][U(s)] * b + QIi[U(t)][U(s)] * i + QDd[U(t)][U(s)] * d) / W : 0.0;
                zoneFZT& rec = baseflowRecords[U(t)][U(s)];
                rec.sx = Qg[U(t)][U(s)];
                rec.n = rec.RelCellSum = 1.0;
            }
        }
    }
    // The tracers' grids: the concentration of the first layer of every cell (a mass over a
    // dry layer gives 99999), the store's 2-D grid and its stack output.
    for (int t = 1; t <= T && U(t) < tracerLayers.size(); ++t) {
        Matrix& flux = tracers[U(t)].flux;
        const bool concentration = TracerIsConcentration(t);
        PrepareOwnCells();
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
        for (int r = firstRow; r <= lastRow; ++r) {
            if (flux.empty() || !flux.holds(r)) continue;
            for (int c : OwnColumns(r)) {
                const double v = tracerLayers[U(t)][r][c][1];
                const double water = own.theta[r][c][1] * SoilOf(r, c).thickness[1] * 1000.0;
                flux[r][c] = concentration ? v : own.theta[r][c][1] > 0.0001 ? v / water : 99999.0;
            }
        }
        UpdateTracerStoreGrid(t);
        WriteStackByCode(tracers[U(t)].storageIndex);
    }
    // The runoff statistics hold what process 0 computed above (zeros elsewhere): they need no
    // reduction over the processes. The records of the others reach process 0 in one exchange.
    auto filledOnRoot = [](std::size_t slot) { return slot == C::QD || slot == C::QI || slot == C::QB || slot == C::Qg; };
    std::vector<zonalstatistic*> reduced;
    for (std::size_t slot = 0; slot < statistics.size(); ++slot)
        if (!filledOnRoot(slot)) reduced.push_back(statistics[slot].get());
    ReduceStatisticsTogether(reduced);
    for (std::size_t slot = 0; slot < statistics.size(); ++slot) {
        zonalstatistic* st = statistics[slot].get();
        if (st == nullptr) continue;
        if (filledOnRoot(slot))
            st->StepFilledOnRoot(stepYear, stepMonth, stepDay, stepHour);
        else
            st->StepReduced(stepYear, stepMonth, stepDay, stepHour);
    }
    for (int t = 1; t <= T; ++t) {
        // The tracer's zone table holds the subbasins' base-flow records (total runoff value),
        // which the reduction above left on process 0 alone.
        std::vector<zoneFZT>& zones = tracers[U(t)].zones;
        for (int s = 1; s <= S && U(s) < zones.size(); ++s) {
            const zoneFZT& rec = baseflowRecords[U(t)][U(s)];
            zones[U(s)].sx = rec.sx;
            zones[U(s)].n = rec.n;
            zones[U(s)].RelCellSum = rec.RelCellSum;
        }
        if (tracers[U(t)].statistics)
            tracers[U(t)].statistics->StepFilledOnRoot(stepYear, stepMonth, stepDay, stepHour);
    }
    for (int index : registeredEntries) {
        const GridStoreEntry& e = (*gridStore)[index];
        if (e.stack != nullptr)
            WriteStackByCode(index);
        else if (e.grid != nullptr)
            WriteStatisticGrids(index, true, false);
    }
}

void unsatzonmodellklasse::WriteOutputs() {
    if (flowControl == 0) return;
    FlushPointBuffers();
    FlushTracerPointBuffers();
    for (auto& st : statistics)
        if (st) st->FlushBuffer();
    FlushTracerStatistics();
}

RunoffArray* unsatzonmodellklasse::RunoffGetter(RunoffArray& a, const char* name) {
    if (flowControl == 0) return nullptr;
    if (!a.empty() && !a[0].empty()) return &a;
    if (!a.empty())
        *log << "FATAL: " << name << "[0] not initialized (may be, tracer module not linked? -> programmers error!)"
             << "[end-entry]";
    else
        *log << "FATAL: " << name << " not initialized (may be, tracer module not linked? -> programmers error!)"
             << "[end-entry]";
    throw ModelError(57);
}
