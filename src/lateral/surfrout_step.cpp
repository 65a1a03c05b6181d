// One coupling pass of surface routing: the soil model's direct flow joins the surface
// storage, flows over the grid in adaptive sub steps agreed by all processes, and what river
// cells collected is handed to the travel-time zones of the subbasins.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <span>

#include "kernel/mpirows.hpp"
#include "lateral/surfrout.hpp"
#include "lateral/surfrout_storage.hpp"
#include "setup/tracer_ini.hpp"
#include "tables/landuse_entry.hpp"

void surfaceroutingclass::StartLevelExchange() {
    // The depths and the tracers' concentrations in one exchange.
    std::array<Matrix*, kMaxTracers + 1> written{&totalInput};
    for (int t = 1; t <= tracerCount; ++t)
        written[static_cast<std::size_t>(t)] = &surfaceTracers[static_cast<std::size_t>(t)].conc;
    levelExchange.StartGrids(*this, std::span(written.data(), static_cast<std::size_t>(tracerCount) + 1));
}

void surfaceroutingclass::ListDatedCells() {
    // The cells whose land use is cultivated (residue cover or crop stems): the land uses and
    // the table are those of the set-up, so the list holds for the whole run.
    datedCells.clear();
    datedCellsOf = settings.landuseTable;
    if (datedCellsOf == nullptr) return;
    for (int r = firstRow; r <= lastRow; ++r)
        for (int c = 1; c <= ncols; ++c) {
            const int pos = static_cast<int>(cellLanduse[r][c]);
            if (pos < 0) continue;
            const int cultivation = datedCellsOf[pos].GetSR_cultivation();
            if (cultivation == 1 || cultivation == 2) datedCells.push_back({r, c});
        }
}

void surfaceroutingclass::UpdateDatedValues() {
    // Residue cover and stem diameter change with the date only: looked up once per pass, in
    // row order, for the cultivated cells alone.
    if (settings.landuseTable == nullptr) return;
    if (datedCellsOf != settings.landuseTable) ListDatedCells();
    for (const auto& [r, c] : datedCells) {
        const landuse_entry& lu = settings.landuseTable[static_cast<int>(cellLanduse[r][c])];
        const int layer = static_cast<int>(cellLayer[r][c]);
        if (lu.GetSR_cultivation() == 1)
            residueCover[r][c] = lu.SR_ResidCovrgAtDate(*log, day, month, year, layer, r, c, (*elevation)[r][c]);
        else
            stemDiameter[r][c] = lu.SR_StemDiameterAtDate(*log, day, month, year, layer, r, c, (*elevation)[r][c]);
    }
}

void surfaceroutingclass::StartPass() {
    // The direct flow joins the water on the surface. Whoever took that water in during the pass
    // (silting-up, the soil model) has emptied the store, so nothing is counted twice; water that
    // nobody took (a second coupling pass beside silting-up) stays.
#pragma omp parallel for schedule(runtime) if (Threaded())
    for (int r = firstRow; r <= lastRow; ++r) {
        const std::size_t row = static_cast<std::size_t>(r - firstRow);
        for (int i = ownStart[row]; i < ownStart[row + 1]; ++i) {
            const int c = ownCols[static_cast<std::size_t>(i)];
            const std::size_t f = FlagIndex(r, c);
            // The river grids as they are for this call's sub steps.
            const bool river = IsRiver(r, c);
            const bool riverMoved = (riverFlag[f] != 0) != river;
            riverFlag[f] = river;
            const double df = (*directflow)[r][c];
            const double left = std::max(0.0, (*surfaceStorage)[r][c]);
            (*surfaceStorage)[r][c] = left + df;
            totalInput[r][c] = (*surfaceStorage)[r][c] / 1000.0;
            for (int t = 1; t <= tracerCount; ++t) {
                SurfaceTracer& st = surfaceTracers[static_cast<std::size_t>(t)];
                const double held = (*st.surfaceStore)[r][c];
                st.conc[r][c] = !(left > 0)         ? (*st.concQD)[r][c]
                                : st.storeHoldsMass ? (held + (*st.concQD)[r][c] * df) / (left + df)
                                                    : WeightedMean(held, (*st.concQD)[r][c], left, df);
                (*st.surfaceStore)[r][c] = 0;
                (*st.concQD)[r][c] = 0;
            }
            (*directflow)[r][c] = 0;
            NoteStartOfCall(r, c, static_cast<std::size_t>(i), f, riverMoved);
        }
    }
}

void surfaceroutingclass::run(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    if (flowControl == 0) return;
    hour = h;
    day = d;
    month = m;
    year = y;
    callTimes.Mark();
    const double T = CouplingStep();
    PrepareWorkCounts();
    UpdateDatedValues();
    StartPass();
    // The call starts with new depths and concentrations. The fluxes' halo rows hold what the last
    // velocity pass sent: only that pass writes fluxes.
    StartLevelExchange();
    callTimes.Add(kCallEnds);

    double elapsed = 0, dt = 0;
    surfrout::SubStepPlan plan;
    long k = 0;
    long refresh = 0;
    clipped = 0;
    quietCellPasses = 0;
    keptSharePasses = 0;
    while (elapsed < T - 0.5 * minSubStep) {
        // Each grid's halo rows are exchanged after the pass that writes it: the velocity pass
        // writes the fluxes, the storage pass the water depths. Exchanging a grid that no pass
        // wrote since its last exchange would bring the values the halo rows hold already. Sub
        // steps are short, and a process waits for its neighbours in each: the passes compute
        // the inner rows while the exchanges travel and send the edge rows' values as soon as
        // they can (a waiting process gives its core away, where the processes outnumber the
        // free cores).
        if (k == 0) stableSubStep = 1e36;
        VelocityPass(k, refresh);
        if (k == 0) {
            double stable = stableSubStep;
            double global = stable;
            MPI_Allreduce(&stable, &global, 1, MPI_DOUBLE, MPI_MIN, MPI_COMM_WORLD);
            plan = surfrout::PlanSubSteps(global, T, minSubStep, maxSubStep);
            dt = plan.dt;
            refresh = static_cast<long>(std::min(plan.refresh, 1e15));
            callTimes.Add(kSubStepAgreement);
        } else if (k == refresh) {
            refresh = static_cast<long>(std::min(surfrout::NextRefresh(static_cast<double>(refresh), plan.count, T,
                                                                       maxSubStep),
                                                 1e15));
        }
        ++k;
        // Quiet cells are known from the storage pass before, or for the first one of a call
        // from the start of the call.
        StoragePass(dt, skipQuietCells);
        callTimes.Add(kStoragePasses);
        elapsed += dt;
    }
    levelExchange.Wait();
    callTimes.Add(kHaloWaits);
    lastStep = dt;
    lastSubSteps = k;
    ReportFPE(0, 0, static_cast<unsigned>(method), static_cast<unsigned>(k), T, dt, elapsed, clipped, 0);
    if (roughnessFallback && !fallbackReported) {
        *log << "WARNING: surface routing: a flow coefficient of conserving cultivation was not finite and "
                "positive (no residue cover?); K_ST was used instead"
             << "[end-entry]";
        fallbackReported = true;
    }
    EndPass();
    callTimes.Add(kCallEnds);
    callTimes.Report();
}

void surfaceroutingclass::VelocityPass(long k, long refresh) {
    // The inner rows a few at a time (a few per thread) until the neighbours' levels are in,
    // then the edge rows, whose fluxes the neighbours wait for, then the rest of the inner rows.
    const std::size_t rowsBetweenLooks = 4 * static_cast<std::size_t>(std::max(1, omp_get_max_threads()));
    const std::span<const int> inner(innerRows);
    std::size_t done = 0;
    while (done < inner.size() && !levelExchange.Arrived()) {
        const std::size_t n = std::min(rowsBetweenLooks, inner.size() - done);
        VelocityRows(inner.subspan(done, n), k, refresh);
        done += n;
    }
    callTimes.Add(kVelocityPasses);
    levelExchange.Wait();
    callTimes.Add(kHaloWaits);
    NoteForeignLevels();
    VelocityRows(edgeRows, k, refresh);
    fluxExchange.StartStack(*this, fluxIndex);
    VelocityRows(inner.subspan(done), k, refresh);
    callTimes.Add(kVelocityPasses);
}

double surfaceroutingclass::StableSubTimeStep() const {
    double best = 1e36;
#pragma omp parallel for schedule(runtime) reduction(min : best) if (Threaded())
    for (int r = firstRow; r <= lastRow; ++r) {
        const std::size_t row = static_cast<std::size_t>(r - firstRow);
        for (int i = ownStart[row]; i < ownStart[row + 1]; ++i)
            best = std::min(best, StableStepOfCell(r, ownCols[static_cast<std::size_t>(i)]));
    }
    return best;
}

namespace {
// Storage left within this share of the water that was in a cell and entered it is rounding.
constexpr double kRoundingOfWater = 1e-12;
}  // namespace

void surfaceroutingclass::StoragePass(double dt, bool skipQuiet) {
    double created = 0;
    if (tracerCount > 0) {
        // Tracer inflows read the neighbours' concentrations before any cell changes them.
        TracerInflowRows(innerRows, dt, skipQuiet);
        callTimes.Add(kStoragePasses);
        fluxExchange.Wait();
        callTimes.Add(kHaloWaits);
        NoteForeignFluxes();
        TracerInflowRows(edgeRows, dt, skipQuiet);
        // The edge rows' new levels go out before the inner rows are computed (no row that is
        // sent is an inner row); the water the clip created is summed inner rows first.
        const double edge = StorageRows(edgeRows, dt, skipQuiet);
        StartLevelExchange();
        created += StorageRows(innerRows, dt, skipQuiet);
        created += edge;
    } else {
        created += StorageRows(innerRows, dt, skipQuiet);
        callTimes.Add(kStoragePasses);
        fluxExchange.Wait();
        callTimes.Add(kHaloWaits);
        NoteForeignFluxes();
        created += StorageRows(edgeRows, dt, skipQuiet);
        StartLevelExchange();
    }
    clipped += created;
}

void surfaceroutingclass::PrepareWorkCounts() {
    const int chunks = ChunksPerRow();
    const std::size_t width = static_cast<std::size_t>(chunks);
    if (chunkWork.size() != rowWork.size() * width) {
        chunkWork.assign(rowWork.size() * width, 0);
        for (int r = firstRow; r <= lastRow; ++r)
            for (int chunk = 0; chunk < chunks; ++chunk)
                chunkWork[static_cast<std::size_t>(r - firstRow) * width + static_cast<std::size_t>(chunk)] =
                    static_cast<unsigned char>(surfrout::FlagCount(surfrout::LoadFlags(&ownFlag[FlagIndex(r, 1 + 8 * chunk)])));
    }
    if (storageChunkWork.size() != chunkWork.size()) {
        storageRowWork = rowWork;
        storageChunkWork = chunkWork;
    }
}

void surfaceroutingclass::ShareRows(std::span<const int> rows, int threads, PassWork work) {
    const int chunks = ChunksPerRow();
    const std::size_t width = static_cast<std::size_t>(chunks);
    const std::vector<int>& rowCells = *work.rows;
    const std::vector<unsigned char>& chunkCells = *work.chunks;
    // The scan of a row's flags looks at 8 cells at a time, each look about a sixteenth of the
    // work of one computed cell: a row's scan weighs ncols / 128 cells. (Weighed more, the scans
    // of the dry rows decide the shares and the threads with the wet rows get too many cells.)
    // In units of a chunk's scan, a cell weighs chunks.
    const long scan = ncols / 128 + 1;
    const long cell = chunks;
    const long team = threads;
    long total = 0;
    for (const int r : rows) total += (rowCells[static_cast<std::size_t>(r - firstRow)] + scan) * cell;
    // Thread t starts at the first chunk with at least t / threads of the total before it.
    shareStart.assign(static_cast<std::size_t>(threads) + 1, RowPlace{rows.size(), 0});
    shareStart[0] = RowPlace{0, 0};
    long before = 0;
    long t = 1;
    for (std::size_t i = 0; i < rows.size() && t < team; ++i) {
        const std::size_t row = static_cast<std::size_t>(rows[i] - firstRow);
        const long weight = (rowCells[row] + scan) * cell;
        if ((before + weight) * team > t * total) {
            long at = before;
            for (int chunk = 0; chunk < chunks && t < team; ++chunk) {
                for (; t < team && at * team >= t * total; ++t) shareStart[static_cast<std::size_t>(t)] = RowPlace{i, chunk};
                at += chunkCells[row * width + static_cast<std::size_t>(chunk)] * cell + scan;
            }
        }
        before += weight;
    }
}

surfaceroutingclass::ThreadPart surfaceroutingclass::PartOfThisThread(std::size_t rowCount) const {
    const int chunks = ChunksPerRow();
    const int threads = omp_get_num_threads();
    const std::size_t t = static_cast<std::size_t>(omp_get_thread_num());
    if (threads <= 1) return {0, rowCount, 0, chunks, chunks};
    if (shareStart.size() != static_cast<std::size_t>(threads) + 1) {
        // A team of another size than the one shared for (not the team of the process's
        // threads): its first thread takes all rows.
        return t == 0 ? ThreadPart{0, rowCount, 0, chunks, chunks} : ThreadPart{0, 0, 0, 0, chunks};
    }
    const RowPlace from = shareStart[t], to = shareStart[t + 1];
    // The part ends before chunk to.chunk of row to.row: with that row where the chunk is not its first.
    if (to.row >= rowCount) return {from.row, rowCount, from.chunk, chunks, chunks};
    return to.chunk > 0 ? ThreadPart{from.row, to.row + 1, from.chunk, to.chunk, chunks}
                        : ThreadPart{from.row, to.row, from.chunk, chunks, chunks};
}

void surfaceroutingclass::KeepWorkCounts(std::span<const int> rows, PassWork work) {
    // The threads' shares were taken from the counts: they change once they all are done.
    for (const int r : rows) {
        const std::size_t row = static_cast<std::size_t>(r - firstRow);
        (*work.rows)[row] = countedWork[row];
    }
    const std::size_t width = static_cast<std::size_t>(ChunksPerRow());
    for (const RowPlace& at : shareStart) {
        if (at.chunk == 0 || at.row >= rows.size()) continue;
        const std::size_t row = static_cast<std::size_t>(rows[at.row] - firstRow);
        const unsigned char* cells = work.chunks->data() + row * width;
        (*work.rows)[row] = std::accumulate(cells, cells + width, 0);
    }
}

void surfaceroutingclass::TracerInflowRows(std::span<const int> rows, double dt, bool skipQuiet) {
    if (rows.empty()) return;  // no team for no rows, as in VelocityRows
    if (Threaded()) ShareRows(rows, omp_get_max_threads(), StorageWorkCounts());
#pragma omp parallel if (Threaded())
    {
        const ThreadPart part = PartOfThisThread(rows.size());
        for (std::size_t n = part.first; n < part.end; ++n) {
            const int r = rows[n];
            const int from = part.From(n), to = part.To(n);
            const std::size_t rowFlags = FlagIndex(r, 0);
            for (int chunk = from; chunk < to; ++chunk) {
                const int c0 = 1 + 8 * chunk;
                const std::size_t f0 = rowFlags + static_cast<std::size_t>(c0);
                std::uint64_t work = StorageWork(f0, skipQuiet);
                // Within the row and its padding: no other thread's cells.
                std::memcpy(&storageWork[f0], &work, sizeof work);
                if (work == 0) continue;
                const std::uint64_t finite = FiniteAround(f0);
                while (work != 0) {
                    const int i = surfrout::TakeFirstFlag(&work);
                    CellFluxes(r, c0 + i, f0 + static_cast<std::size_t>(i), dt, ((finite >> (8 * i)) & 1u) != 0);
                }
            }
        }
    }
}

double surfaceroutingclass::StorageRows(std::span<const int> rows, double dt, bool skipQuiet) {
    // No team for no rows, as in VelocityRows; the water created is then +0, as the sum
    // over no cells would be.
    if (rows.empty()) return 0.0;
    const double toMM = 1000.0 / (cellsize * cellsize);
    double created = 0;
    long quiet = 0;
    // Each cell's storage reads its own values and its neighbours' fluxes (and with tracers the
    // inflow taken before): the cells may come in any order.
    const int chunks = ChunksPerRow();
    if (Threaded()) ShareRows(rows, omp_get_max_threads(), StorageWorkCounts());
#pragma omp parallel reduction(+ : created, quiet) if (Threaded())
    {
        const ThreadPart part = PartOfThisThread(rows.size());
        for (std::size_t n = part.first; n < part.end; ++n) {
            const int r = rows[n];
            const int from = part.From(n), to = part.To(n);
            const std::size_t rowFlags = FlagIndex(r, 0);
            unsigned char* work8 = &storageChunkWork[static_cast<std::size_t>(r - firstRow) * static_cast<std::size_t>(chunks)];
            int computed = 0;
            for (int chunk = from; chunk < to; ++chunk) {
                const int c0 = 1 + 8 * chunk;
                const std::size_t f0 = rowFlags + static_cast<std::size_t>(c0);
                // The tracers' decisions were taken before any concentration changed.
                std::uint64_t work = tracerCount > 0 ? surfrout::LoadFlags(&storageWork[f0]) : StorageWork(f0, skipQuiet);
                const std::uint64_t own = surfrout::LoadFlags(&ownFlag[f0]);
                work8[chunk] = static_cast<unsigned char>(surfrout::FlagCount(work));
                computed += surfrout::FlagCount(work);
                if (work != own) {
                    // Quiet cells keep their levels; the others are set below.
                    const std::uint64_t keep = (own & ~work) * 0xFF;
                    const std::uint64_t changed = surfrout::LoadFlags(&levelChanged[f0]) & ~keep;
                    std::memcpy(&levelChanged[f0], &changed, sizeof changed);
                    quiet += surfrout::FlagCount(own) - surfrout::FlagCount(work);
                }
                while (work != 0) {
                    const int c = c0 + surfrout::TakeFirstFlag(&work);
                    const std::size_t f = f0 + static_cast<std::size_t>(c - c0);
                    if (tracerCount == 0) CellFluxes(r, c, f, dt, false);
                    double in = (*qIn)[r][c] * toMM;
                    double out = (*qOut)[r][c] * toMM;
                    double& S = (*surfaceStorage)[r][c];
                    const double depthBefore = totalInput[r][c], storageBefore = S;
                    double mass[kMaxTracers + 1];
                    for (int t = 1; t <= tracerCount; ++t) {
                        const SurfaceTracer& st = surfaceTracers[static_cast<std::size_t>(t)];
                        const double conc = st.conc[r][c];
                        mass[t] = S * conc + st.inflow[r][c] / (cellsize * cellsize) - conc * out;
                    }
                    S = S + in - out;
                    if (S < 0) {
                        // The outflow gives up the missing water; the receivers keep the full flux.
                        created -= S * cellsize * cellsize / 1000.0;
                        out = out + S;
                        S = 0;
                    }
                    (*qIn)[r][c] = in;
                    (*qOut)[r][c] = out;
                    const bool river = riverFlag[f] != 0;
                    bool finite = true;
                    for (int t = 1; t <= tracerCount; ++t) {
                        SurfaceTracer& st = surfaceTracers[static_cast<std::size_t>(t)];
                        double conc = S > 0 ? mass[t] / S : 0.0;
                        if (S > 0 && S <= kRoundingOfWater * (storageBefore + in)) {
                            // What is left of a cell that empties is the rounding of its water, and its
                            // mass the rounding of equal amounts: their ratio says nothing. The remainder
                            // keeps the concentration of the water it comes from.
                            conc = (storageBefore * st.conc[r][c] + st.inflow[r][c] / (cellsize * cellsize)) /
                                   (storageBefore + in);
                        }
                        if (river) {
                            (*st.concQD)[r][c] += conc * S;
                            conc = 0;
                        } else {
                            (*st.concQD)[r][c] = 0;
                        }
                        st.conc[r][c] = conc;
                        finite = finite && std::isfinite(conc);
                    }
                    if (river) {
                        (*directflow)[r][c] += S;
                        S = 0;
                        totalInput[r][c] = 0;
                    } else {
                        (*directflow)[r][c] = 0;
                        totalInput[r][c] = S / 1000.0;
                    }
                    levelChanged[f] = std::bit_cast<std::uint64_t>(S) != std::bit_cast<std::uint64_t>(storageBefore) ||
                                      std::bit_cast<std::uint64_t>(totalInput[r][c]) != std::bit_cast<std::uint64_t>(depthBefore);
                    concFinite[f] = finite;
                    calm[f] = static_cast<unsigned char>(finite && sendsNothing[f] != 0);
                    dry[f] = DryAfterStorage(r, c, river);
                }
            }
            // A row that two threads share is counted from its chunks below.
            if (from == 0 && to == chunks) countedWork[static_cast<std::size_t>(r - firstRow)] = computed;
        }
    }
    KeepWorkCounts(rows, StorageWorkCounts());
    quietCellPasses += quiet;
    return created;
}

void surfaceroutingclass::StorageTableLane(int lane) {
    const zonalstatistic* stat = lane == 0 ? statistics[4].get() : storageTracerStats[static_cast<std::size_t>(lane)].get();
    SurfaceTracer* st = lane > 0 ? &surfaceTracers[static_cast<std::size_t>(lane)] : nullptr;
    for (int r = firstRow; r <= lastRow; ++r) {
        const std::size_t row = static_cast<std::size_t>(r - firstRow);
        // The row's weights looked up once.
        const zonalstatistic::RowAdder adder = stat->Row(r);
        const double* storage = (*surfaceStorage)[r];
        for (int i = ownStart[row]; i < ownStart[row + 1]; ++i) {
            const int s = ownSubbasin[static_cast<std::size_t>(i)];
            if (s <= 0) continue;
            const int c = ownCols[static_cast<std::size_t>(i)];
            if (st == nullptr) {
                adder.Add(c, s, storage[c], 1.0);
                continue;
            }
            // The storage's concentration weighed with the water it sits in; then the store kept
            // until the next call takes it.
            double& conc = st->conc[r][c];
            adder.Add(c, s, conc, storage[c]);
            (*st->surfaceStore)[r][c] = st->storeHoldsMass ? conc * storage[c] : conc;
            conc = 0;
        }
    }
}

int surfaceroutingclass::EndPassTeam() const {
    if (!Threaded()) return 1;
    // Each thread after the first keeps sums of every record: a bounded room for them all.
    constexpr std::size_t kRoom = std::size_t{32} << 20;
    const std::size_t perThread = exactQD.size() * (2 * sizeof(ExactZoneSums) + 2 * sizeof(std::int64_t) + 1);
    const std::size_t fit = 1 + kRoom / std::max<std::size_t>(perThread, 1);
    return static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(std::max(1, omp_get_max_threads())), fit));
}

void surfaceroutingclass::EndPass() {
    const double nsub = static_cast<double>(numSubSteps > 0 ? numSubSteps : 1);
    // Every cell adds 1 to the cell count n of its zone's record of the water's direct runoff and
    // interflow: the cells are counted per record and the count added once (the exact sum of ones).
    // So are the cells of relative area 1 (the rule) in the records' sums of the areas.
    zoneCells.assign(exactQD.size(), 0);
    unitAreaCells.assign(exactQD.size(), 0);
    const int team = EndPassTeam();
    if (threadZoneSums.size() + 1 < static_cast<std::size_t>(team))
        threadZoneSums.resize(static_cast<std::size_t>(team) - 1);
    for (int t = 1; t < team; ++t) {
        ThreadZoneSums& p = threadZoneSums[static_cast<std::size_t>(t) - 1];
        if (p.qd.size() == exactQD.size()) continue;
        p.qd.assign(exactQD.size(), ExactZoneSums{});
        p.qi.assign(exactQD.size(), ExactZoneSums{});
        p.cells.assign(exactQD.size(), 0);
        p.unitAreaCells.assign(exactQD.size(), 0);
        p.touched.assign(exactQD.size(), 0);
    }
    // The storage tables are plain sums, each walked in row order by one thread (a lane: the
    // water's, each tracer's) beside the rows' exact sums, which read nothing a lane writes. A
    // tracer's lane also keeps its store and clears its concentration, which it reads.
    std::array<int, kMaxTracers + 1> lanes{};
    int laneCount = 0;
    std::array<bool, kMaxTracers + 1> storeInRows{};
    if (statistics[4] && statistics[4]->active()) lanes[static_cast<std::size_t>(laneCount++)] = 0;
    for (int t = 1; t <= tracerCount; ++t) {
        const std::size_t i = static_cast<std::size_t>(t);
        const bool lane = i < storageTracerStats.size() && storageTracerStats[i] && storageTracerStats[i]->active();
        if (lane) lanes[static_cast<std::size_t>(laneCount++)] = t;
        storeInRows[i] = !lane;
    }
    // The own cells' subbasins, from the zone grid that gave the own cells.
    if (ownSubbasin.size() != ownCols.size()) {
        ownSubbasin.resize(ownCols.size());
#pragma omp parallel for schedule(runtime) if (Threaded())
        for (int r = firstRow; r <= lastRow; ++r) {
            const std::size_t row = static_cast<std::size_t>(r - firstRow);
            for (int i = ownStart[row]; i < ownStart[row + 1]; ++i)
                ownSubbasin[static_cast<std::size_t>(i)] = Subbasin(r, ownCols[static_cast<std::size_t>(i)]);
        }
    }
#pragma omp parallel num_threads(team) if (team > 1)
    {
        const int t = omp_get_thread_num();
        const int threads = omp_get_num_threads();
        for (int k = t; k < laneCount; k += threads) StorageTableLane(lanes[static_cast<std::size_t>(k)]);
        ZoneSumTarget to{exactQD.data(), exactQI.data(), zoneCells.data(), unitAreaCells.data(), nullptr};
        if (t > 0) {
            ThreadZoneSums& p = threadZoneSums[static_cast<std::size_t>(t) - 1];
            to = {p.qd.data(), p.qi.data(), p.cells.data(), p.unitAreaCells.data(), p.touched.data()};
        }
        // The threads of the lanes come late: the rows go to whoever is free.
#pragma omp for schedule(dynamic) nowait
        for (int r = firstRow; r <= lastRow; ++r) EndPassRow(r, nsub, to, storeInRows.data());
    }
    MergeThreadZoneSums(team);
    for (std::size_t at = 0; at < zoneCells.size(); ++at)
        if (zoneCells[at] != 0) {
            exactQD[at].n.Add(static_cast<double>(zoneCells[at]));
            exactQI[at].n.Add(static_cast<double>(zoneCells[at]));
            if (unitAreaCells[at] != 0) {
                exactQD[at].RelCellSum.Add(static_cast<double>(unitAreaCells[at]));
                exactQI[at].RelCellSum.Add(static_cast<double>(unitAreaCells[at]));
            }
        }
}

void surfaceroutingclass::MergeThreadZoneSums(int team) {
    for (int t = 1; t < team; ++t) {
        ThreadZoneSums& p = threadZoneSums[static_cast<std::size_t>(t) - 1];
        for (std::size_t at = 0; at < p.touched.size(); ++at) {
            if (p.touched[at] == 0) continue;
            exactQD[at].Merge(p.qd[at]);
            exactQI[at].Merge(p.qi[at]);
            zoneCells[at] += p.cells[at];
            unitAreaCells[at] += p.unitAreaCells[at];
            p.qd[at].Reset();
            p.qi[at].Reset();
            p.cells[at] = 0;
            p.unitAreaCells[at] = 0;
            p.touched[at] = 0;
        }
    }
}

void surfaceroutingclass::EndPassRow(int r, double nsub, const ZoneSumTarget& to, const bool* storeInRows) {
    // The exact sums ignore a zero: none is added.
    const auto addNonZero = [](ExactSum& sum, double v) {
        if (v != 0) sum.Add(v);
    };
    const std::size_t row = static_cast<std::size_t>(r - firstRow);
    for (int i = ownStart[row]; i < ownStart[row + 1]; ++i) {
        const int c = ownCols[static_cast<std::size_t>(i)];
        levelSeen[static_cast<std::size_t>(i)] = {(*surfaceStorage)[r][c], totalInput[r][c]};
        const int s = ownSubbasin[static_cast<std::size_t>(i)];
        if (s <= 0) continue;
        const bool river = riverFlag[FlagIndex(r, c)] != 0;
        const double df = (*directflow)[r][c];
        const double inf = (*interflow)[r][c];
        const double w = cellArea != nullptr ? (*cellArea)[r][c] : 1.0;
        // Zones were counted at set-up; the bound keeps a grid changed since then in range.
        const std::size_t z = static_cast<std::size_t>(
            std::min(FlowTimeZone(r, c), static_cast<int>(maxzeit[static_cast<std::size_t>(s)])));
        for (int t = 1; t <= tracerCount && river; ++t) {
            Matrix& amount = *surfaceTracers[static_cast<std::size_t>(t)].concQD;
            amount[r][c] = df > 0 ? amount[r][c] / df : 0.0;
        }
        // Summed exactly: the subbasin sums must not depend on the split among processes.
        const std::size_t water = zoneOffset[Slot(0, s)] + z;
        ++to.cells[water];
        if (to.touched != nullptr) to.touched[water] = 1;
        ExactZoneSums& qd = to.qd[water];
        ExactZoneSums& qi = to.qi[water];
        if (river) addNonZero(qd.sx, w * df * nsub);
        // Interflow is a rate per pass like direct flow: both count nsub times.
        addNonZero(qi.sx, w * inf * nsub);
        if (w == 1.0) {
            ++to.unitAreaCells[water];
        } else {
            qd.RelCellSum.Add(w);
            qi.RelCellSum.Add(w);
        }
        for (int t = 1; t <= tracerCount; ++t) {
            SurfaceTracer& st = surfaceTracers[static_cast<std::size_t>(t)];
            // Both grids hold concentrations here (river cells' amounts were turned into
            // concentrations above) for tracers of either kind: each counts with its water,
            // so that a record's sx over RelCellSum is the concentration of its runoff.
            const std::size_t at = zoneOffset[Slot(t, s)] + z;
            if (to.touched != nullptr) to.touched[at] = 1;
            ExactZoneSums& td = to.qd[at];
            ExactZoneSums& ti = to.qi[at];
            addNonZero(td.n, df);
            if (river) addNonZero(td.sx, w * (*st.concQD)[r][c] * df * nsub);
            addNonZero(td.RelCellSum, w * df);
            addNonZero(ti.n, inf);
            addNonZero(ti.sx, w * (*st.concQI)[r][c] * inf * nsub);
            addNonZero(ti.RelCellSum, w * inf);
            if (!storeInRows[t]) continue;  // the tracer's storage-table lane keeps it
            (*st.surfaceStore)[r][c] = st.storeHoldsMass ? st.conc[r][c] * (*surfaceStorage)[r][c] : st.conc[r][c];
            st.conc[r][c] = 0;
        }
    }
}
