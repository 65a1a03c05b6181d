// The groundwater time step: leakage, start heads, transmissivities, the over-relaxation
// solver per layer with its agreement over the processes, fluxes, base flow and balances.
#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "kernel/mpirows.hpp"
#include "kernel/mpistate.hpp"
#include "kernel/steptimes.hpp"
#include "lateral/gwflow.hpp"


void gwflowclass::BeginTimeStep(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    if (flowControl == 0) return;
    if (omp_in_parallel()) {
        hour = h;
        day = d;
        month = m;
        year = y;
        return;
    }
    teilmodellklasse::run(h, d, m, y);
}

void gwflowclass::FillActiveMask() {
    zoneSpans.assign(static_cast<std::size_t>(std::max(0, lastRow - firstRow + 1)), gwnum::RowSpan{1, 0});
#pragma omp parallel for schedule(runtime) if (Threaded())
    for (int r = firstRow; r <= lastRow; ++r) {
        gwnum::RowSpan& span = zoneSpans[static_cast<std::size_t>(r - firstRow)];
        // The rows looked at, taken once per row.
        const double* const zone = zoneGrid != nullptr && zoneGrid->holds(r) ? (*zoneGrid)[r] : nullptr;
        const double* const regions = mpiRegions != nullptr && mpiRegions->holds(r) ? (*mpiRegions)[r] : nullptr;
        const double* const ice = glacier != nullptr ? (*glacier)[r] : nullptr;
        std::uint8_t* const active = activeMask.data() + Cell(r, 0);
        for (int c = 1; c <= ncols; ++c) {
            const bool in = zone != nullptr && zone[c] != nodata;
            const bool own = regions == nullptr || static_cast<int>(regions[c]) == rank;
            active[c] = in && own && GlacierOf(ice, c) < 1 ? 1 : 0;
            if (!in) continue;
            if (span.first > span.last) span.first = c;
            span.last = c;
        }
    }
}

void gwflowclass::ExchangeHalos(std::span<const int> indices, std::initializer_list<Matrix*> linked) {
    if (size < 2) return;
    std::vector<Matrix*>& grids = haloGrids_;
    grids.clear();
    for (int index : indices) grids.push_back((*gridStore)[index].grid);
    for (Matrix* g : linked)
        if (g != nullptr) grids.push_back(g);
    MPIExchangeHalos(grids);
}

void gwflowclass::run(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    if (flowControl == 0) return;
    hour = h;
    day = d;
    month = m;
    year = y;
    dtSeconds = 60.0 * timeInterval / (numSubSteps > 0 ? numSubSteps : 1);
    // The tracer tables take one row a model step: they start afresh at the first of the step's
    // coupling passes only (reset in every pass, a step of several passes never completed a row).
    const std::int64_t stepKey = ((y * 13 + m) * 32 + d) * 25 + h;
    if (stepKey != tracerTableStep_) {
        tracerTableStep_ = stepKey;
        for (std::size_t t = 1; t < gwTracers.size(); ++t)
            for (std::size_t l = 1; l < gwTracers[t].layers.size(); ++l)
                if (gwTracers[t].layers[l].stat) gwTracers[t].layers[l].stat->Reset();
    }
    FillActiveMask();

    // Leakage is read only at the cell itself, so its own-rows grid needs no halo exchange.
    for (int l = 1; l < layerCount; ++l) ComputeLeakage(l);
    // Each layer's start touches only its own cells: the halo rows of all layers and of the
    // linked grids the faces read travel together afterwards, with one wait. The heads of the
    // step before are read at own cells only (the oscillations), so their halo rows stay home.
    std::vector<int>& halo = haloIndices_;
    halo.clear();
    for (int l = 1; l <= layerCount; ++l) {
        StartLayerStep(l);
        const Layer& L = layers[static_cast<std::size_t>(l)];
        halo.insert(halo.end(), {L.headIndex, L.oldIndex});
    }
    ExchangeHalos(halo, {thawDepth, frozenSoil, pond, gwDistance});
    ComputeTransmissivities();
    // The fixed heads of every layer, after the faces (which read the heads as the step began)
    // and before any solve: a solve reads and changes only its own layer's heads.
    for (int l = 1; l <= layerCount; ++l) SetFixedHeads(l);
    // The faces of every layer travel together, with one wait: no solve changes them (a solve
    // changes only its layer's heads). The flows' halo rows are not read before the exchange
    // after the fluxes of this step brings them anew. The heads and start heads with the fixed
    // heads travel with them: the sweeps of each layer begin with them.
    halo.clear();
    for (int l = 1; l <= layerCount; ++l) {
        const Layer& L = layers[static_cast<std::size_t>(l)];
        halo.insert(halo.end(), {L.txIndex, L.tyIndex, L.headIndex, L.oldIndex});
    }
    ExchangeHalos(halo);
    for (int l = 1; l <= layerCount; ++l) SolveLayer(l);
    ReportSolves();

    // Every layer's solve ends with the halo rows of its heads exchanged after its last sweep (no
    // later solve changes them): the fluxes and the balance read them as they are.
    ComputeFluxesAndBaseflow();
    // The balance and the upwind mixing read the neighbours' fluxes of this step (the row above's
    // and, where a row is split between processes, the west neighbour's) and their tracer values,
    // which the soil model and the last step changed on their own processes; the control point
    // reads the base flow of the cell west of it.
    halo.clear();
    for (int l = 1; l <= layerCount; ++l)
        halo.insert(halo.end(), {layers[static_cast<std::size_t>(l)].flowXIndex, layers[static_cast<std::size_t>(l)].flowYIndex});
    for (std::size_t t = 1; t < gwTracers.size(); ++t)
        for (std::size_t l = 1; l < gwTracers[t].layers.size(); ++l) halo.push_back(gwTracers[t].layers[l].index);
    if (controlRow >= 1 && controlCol >= 1) halo.push_back(baseflowIndex);
    ExchangeHalos(halo);
    for (int l = 1; l <= layerCount; ++l) {
        ComputeLayerBalance(l, dtSeconds);
        CopyTracers(l);
    }
    AppendControlRecord();
}

void gwflowclass::SetFixedHeads(int l) {
    Layer& L = layers[static_cast<std::size_t>(l)];
#pragma omp parallel for schedule(runtime) if (Threaded())
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!L.head.holds(r)) continue;
        // Beyond the zone span no cell is active.
        const gwnum::RowSpan span = ZoneColumns(r);
        const std::uint8_t* const active = activeMask.data() + Cell(r, 0);
        const double* const fixed = (*L.fixH)[r];
        double *const head = L.head[r], *const start = L.headOld[r], *const before = L.headOldOld[r];
        for (int c = span.first; c <= span.last; ++c)
            if (active[c] != 0 && fixed[c] != nodata) head[c] = start[c] = before[c] = fixed[c];
    }
}

void gwflowclass::MarkFreeCells(int l) {
    Layer& L = layers[static_cast<std::size_t>(l)];
#pragma omp parallel for schedule(runtime) if (Threaded())
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!L.head.holds(r)) continue;
        // Beyond the zone span no cell is active.
        const gwnum::RowSpan span = ZoneColumns(r);
        std::uint8_t* const freeRow = freeMask.data() + Cell(r, 0);
        if (span.first > span.last) {
            std::fill(freeRow + 1, freeRow + ncols + 1, std::uint8_t{0});
            continue;
        }
        std::fill(freeRow + 1, freeRow + span.first, std::uint8_t{0});
        std::fill(freeRow + span.last + 1, freeRow + ncols + 1, std::uint8_t{0});
        // The sweeps of this layer update its active cells without a fixed head of this layer
        // (each layer has its own fixed heads).
        const std::uint8_t* const active = activeMask.data() + Cell(r, 0);
        const double* const fixed = (*L.fixH)[r];
        for (int c = span.first; c <= span.last; ++c) freeRow[c] = active[c] != 0 && fixed[c] == nodata ? 1 : 0;
    }
}

// The largest change of each sweep over all processes (MPI_MAX), started when the sweep ends and
// completed in the order started. Up to kSlots may be under way; one more waits for the oldest.
struct gwflowclass::SweepMaxima {
    static constexpr int kSlots = 64;
    double own[kSlots] = {}, all[kSlots] = {};
    MPI_Request requests[kSlots] = {};
    int oldest = 0, open = 0;

    // Starts the agreement on value; returns its slot.
    int Start(double value) {
        if (open == kSlots) WaitOldest();
        const int k = (oldest + open) % kSlots;
        own[k] = value;
        MPI_Iallreduce(&own[k], &all[k], 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD, &requests[k]);
        ++open;
        return k;
    }
    // Whether the agreement in slot k (started at most kSlots agreements ago) is complete, with its
    // maximum in value then; does not wait.
    bool Done(int k, double& value) {
        int done = 0;
        MPI_Test(&requests[k], &done, MPI_STATUS_IGNORE);
        if (done != 0) value = all[k];
        return done != 0;
    }
    // Completes every agreement under way; returns the maximum of the one started last.
    double WaitAll() {
        const int last = (oldest + open - 1 + kSlots) % kSlots;
        while (open > 0) WaitOldest();
        return all[last];
    }
    // Completes the agreements up to the one started `behind` before the last (behind < kSlots,
    // and no more agreements were started since that one than kSlots); returns its maximum.
    double WaitBehindLast(int behind) {
        const int k = ((oldest + open - 1 - behind) % kSlots + kSlots) % kSlots;
        while (open > behind) WaitOldest();
        return all[k];
    }

    // Lets the agreements under way progress (they move on only while this process is in MPI).
    void Poll() {
        int done = 0;
        if (open > 0) MPI_Test(&requests[oldest], &done, MPI_STATUS_IGNORE);
    }

private:
    void WaitOldest() {
        if (waitForEveryAgreement)
            MPI_Wait(&requests[oldest], MPI_STATUS_IGNORE);
        else
            mpirows::WaitYielding(1, &requests[oldest]);
        oldest = (oldest + 1) % kSlots;
        --open;
    }
};

void gwflowclass::SolveLayer(int l) {
    Layer& L = layers[static_cast<std::size_t>(l)];
    // The cells the sweeps update: the fixed heads were set before the step's exchange of the
    // faces and heads, and no sweep changes them.
    MarkFreeCells(l);
    // The faces, storage, sources and start heads stay as they are through the sweeps.
    const std::size_t terms =
        static_cast<std::size_t>(std::max(0, lastRow - firstRow + 1)) * static_cast<std::size_t>(ncols + 2);
    if (sorCells.size() < terms) sorCells.resize(terms);
    // With room for the lanes of the band's last rows after the band's own.
    const std::size_t laneTerms = static_cast<std::size_t>(
        gwnum::LaneTermsSize(firstRow, lastRow + gwnum::kWideGroupRows, static_cast<std::int64_t>(ncols) + 2));
    if (sorLanes.size() < laneTerms) sorLanes.resize(laneTerms);
    sorSpans.resize(static_cast<std::size_t>(std::max(0, lastRow - firstRow + 1)));
    const bool team = Threaded() && omp_get_max_threads() > 1;
    // The row groups of the sweeps go through the vector registers only below the grid's first
    // row (they read the row above): the process holding it sweeps that row alone, and its band
    // of groups begins with the second row. The terms of the band lie where the cells' terms of
    // the whole own rows put them.
    int bandFirst = firstRow == 1 && lastRow > 1 ? 2 : firstRow;
    if (gwnum::chooseBandFirst && !team && lastRow > bandFirst) {
        // A band whose rows are not a whole number of groups ends in rows swept one by one: where
        // its first rows hold fewer cells than these (a row shared with the neighbour), the band
        // of groups begins a few rows later and those rows are swept one by one instead. The rows
        // before the band are swept before the halo rows below have come: they must not read them.
        gwnum::SorLayer terms = SweepView(l);
        terms.lanes = sorLanes.data();
        gwnum::UpdatedSpans(terms, firstRow, lastRow, sorSpans.data());
        const int last = std::min({bandFirst + 3, lastRow, FirstHaloRowBelow() - 1});
        if (last > bandFirst)
            bandFirst = gwnum::ChooseBandFirst(terms, firstRow, lastRow, bandFirst, last, sorSpans.data());
    }
    L.bandFirst = bandFirst;
    {
        gwnum::SorLayer terms = SweepView(l);
        terms.bandFirst = bandFirst;
        const std::size_t before = static_cast<std::size_t>(bandFirst - firstRow);
        if (before > 0) gwnum::PrepareSweeps(terms, firstRow, bandFirst - 1, sorCells.data(), nullptr, sorSpans.data());
        gwnum::PrepareSweeps(terms, bandFirst, lastRow, sorCells.data() + before * static_cast<std::size_t>(ncols + 2),
                             sorLanes.data() + gwnum::LaneTermsSize(firstRow, bandFirst - 1, ncols + 2),
                             sorSpans.data() + before);
    }
    int counter = 0;
    double change = 0;
    if (!sweepMaxima_) sweepMaxima_ = std::make_shared<SweepMaxima>();
    const int split = waitForEveryAgreement ? lastRow : SweepSplit(bandFirst);
    gwnum::SorLayer view = SweepView(l);
    view.bandFirst = bandFirst;
    mpirows::RowHaloExchange halo;
    // A sweep is short: a process that waits gives its core to the one it waits for where the
    // processes outnumber the free cores.
    if (!waitForEveryAgreement) halo.YieldWhileWaiting();
    // The sweeps that found no change above the limit on this process and whose agreement this
    // process has not looked at yet, oldest first: the sweeps after them are trials. Each one is
    // looked at agreementLag sweeps later (at the last sweep at once); its heads are kept till then.
    const int lag = std::clamp(agreementLag, 1, SweepMaxima::kSlots - 1);
    std::vector<SweepCandidate>& candidates = candidates_;
    candidates.clear();
    // Rows from..to swept in pieces of whole row groups, with a look at the agreements under way
    // between them: their messages go on while this process sweeps, so that an agreement is
    // complete when a process within the limit waits for it. Rows a team of threads shares are
    // swept in one piece.
    const bool inPieces = size > 1 && !team && !waitForEveryAgreement;
    // The own rows the neighbours read (sent at the end of each sweep) that come first in a sweep:
    // swept in pieces, a process sends them as soon as the sweep is past them, so that the
    // neighbour above has them before it reaches its last rows. The neighbour takes them only
    // into the receive it posts after its own sweep, so it reads the same values as before.
    int firstSent = lastRow + 1;
    if (inPieces && sendHalo != nullptr)
        for (const HaloRecord& h : *sendHalo)
            if (h.row <= split) firstSent = std::min(firstSent, h.row);
    bool sentEarly = false;
    // The heads of a sweep within the limit on this process are kept during the next sweep, each
    // piece of rows just before it is swept (it is then at hand for the sweep): keepSlot is the
    // block (-1: none). Where the agreement on that sweep has come meanwhile and the sweep did not
    // end the solve, its heads are never put back, and the rest of them are not kept.
    int keepSlot = -1, keepAgreement = -1;
    auto keepRows = [&](int from, int to) {
        if (keepSlot < 0) return;
        double agreed = 0;
        if (keepAgreement >= 0 && sweepMaxima_->Done(keepAgreement, agreed)) {
            keepAgreement = -1;
            if (agreed > maxErrorAllowed) {
                keepSlot = -1;
                return;
            }
        }
        KeepTrialHeads(view, keepSlot, from, to);
    };
    auto sweepRows = [&](int from, int to, gwnum::SweepResult res) {
        constexpr int kPieceRows = 2 * gwnum::kWideGroupRows;
        if (!inPieces) {
            keepRows(from, to);
            return gwnum::SorSweep(view, from, to, res);
        }
        for (int r = from; r <= to; r += kPieceRows) {
            const int end = std::min(to, r + kPieceRows - 1);
            keepRows(r, end);
            res = gwnum::SorSweep(view, r, end, res);
            if (!sentEarly && end >= firstSent) {
                halo.SendEarly(*this, L.headIndex, end);
                sentEarly = true;
            }
            sweepMaxima_->Poll();
        }
        return res;
    };
    // The solve's own rows of the step-times table (TALVO_STEP_TIMES), added by each process
    // without a barrier: they lie inside the groundwater part, which ends in one. The time from the
    // end of a sweep to the beginning of the next counts to the agreements: it starts the exchange
    // and the agreement on the sweep and looks at those due.
    enum { kSweeps, kHaloWaits, kAgreements };
    PartSeconds times({"groundwater: sweeps", "groundwater: halo waits", "groundwater: agreements"});
    times.Mark();
    // One process whose rows a team shares has neither halo rows nor agreements between its
    // sweeps: the team begins each next sweep while the last pieces of the sweep before are swept.
    gwnum::SweepsResult overlapped;
    if (size == 1 && team) overlapped = gwnum::SweepUntil(view, firstRow, lastRow, maxiter, maxErrorAllowed);
    if (overlapped.sweeps > 0) {
        times.Add(kSweeps);
        counter = overlapped.sweeps;
        change = overlapped.last.maxChange;
        factorSum = overlapped.last.factorSum;
        factorCount = overlapped.last.factorCount;
    }
    while (overlapped.sweeps == 0) {
        ++counter;
        times.Add(kAgreements);
        // The rows up to split read only halo rows above them: they are swept while the rows
        // below are still on their way (the sends from the rows a part changes complete first).
        halo.WaitRows(split + 1, split);
        times.Add(kHaloWaits);
        sentEarly = false;
        gwnum::SweepResult res;
        if (bandFirst > firstRow) {
            keepRows(firstRow, bandFirst - 1);
            res = gwnum::SorSweep(view, firstRow, bandFirst - 1);
        }
        res = sweepRows(bandFirst, split, res);
        times.Add(kSweeps);
        halo.WaitAll();
        times.Add(kHaloWaits);
        if (split < lastRow) res = sweepRows(split + 1, lastRow, res);
        times.Add(kSweeps);
        keepSlot = -1;
        const double own = res.maxChange;
        // The halo rows of the next sweep: the sweeps change only the current heads (the start
        // heads and the heads of the step before stay as the first exchange brought them), and
        // after the last sweep the exchange brings what the exchange of the heads after all
        // layers brings, which nothing reads before it. They go first: the neighbours wait for
        // them to begin their next sweep, while the agreement is looked at only sweeps later.
        halo.Start(*this, L.headIndex);
        const int agreement = size > 1 ? sweepMaxima_->Start(own) : -1;
        factorSum = res.factorSum;
        factorCount = res.factorCount;
        // maxiter of 0 or less allows one sweep, so that a layer that does not converge ends.
        const bool lastSweep = counter >= maxiter;
        if (size > 1 && !waitForEveryAgreement) {
            // The solve ends at the first sweep the processes agree is within the limit: only a
            // sweep within the limit on this process can be one. The candidates due are looked at
            // in order; every process holds the same ones due at the same sweep.
            std::size_t looked = 0;
            bool ended = false;
            for (; looked < candidates.size() && !ended; ++looked) {
                const SweepCandidate& due = candidates[looked];
                if (!lastSweep && due.sweep > counter - lag) break;
                const double agreed = sweepMaxima_->WaitBehindLast(counter - due.sweep);
                if (agreed > maxErrorAllowed) continue;
                // That sweep ended the solve: the ones after it never happened. Its heads go back
                // and the neighbours get them again, while the oscillations are counted below.
                halo.WaitAll();
                sweepMaxima_->WaitAll();
                RestoreTrialHeads(view, due.sweep % lag);
                halo.Start(*this, L.headIndex);
                counter = due.sweep;
                change = agreed;
                res = due.result;
                factorSum = res.factorSum;
                factorCount = res.factorCount;
                ended = true;
            }
            if (ended) break;
            candidates.erase(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(looked));
            if (lastSweep) {
                change = sweepMaxima_->WaitAll();
                break;
            }
            // The largest change of all processes is at least this process's own: while that
            // exceeds the limit, the sweeps go on whatever the others found, without waiting for
            // them to agree (their agreement completes on the way). Within the limit the sweeps
            // go on as trials, this one's heads kept to go back to, while the processes agree.
            if (!(own > maxErrorAllowed)) {
                keepSlot = counter % lag;
                keepAgreement = agreement;
                candidates.push_back({counter, res});
            }
            continue;
        }
        if (!lastSweep && own > maxErrorAllowed && !waitForEveryAgreement) continue;
        change = size > 1 ? sweepMaxima_->WaitAll() : own;
        if (lastSweep || !(change > maxErrorAllowed)) break;
    }
    times.Add(kAgreements);
    times.Report();
    L.sweeps = counter;
    L.lastChange = change;

    // The count reads only own rows: the halo rows of the last sweep's heads arrive meanwhile.
    // The counts of all layers are added over the processes together after the last solve
    // (ReportSolves), so that no layer's solve waits for the processes to meet.
    CountOscillations(l);
    L.report = {oscillations, factorCount, oscillationSum, oscillationMax, factorSum};
    halo.WaitAll();
}

void gwflowclass::ReportSolves() {
    // Each layer's count travels with the sum of its changes, as doubles: a count of cells is a
    // whole number far below 2^53, so its sum is exact, and each element of a sum adds in the same
    // order whatever the length of the buffer. The largest changes go on their way beside the
    // sums (a maximum is the same whatever the order the processes' values meet in). The buffer:
    // each layer's sum and count, the same over all processes, each layer's largest change, the
    // largest over all processes.
    const std::size_t n = static_cast<std::size_t>(std::max(0, layerCount));
    reportSums_.assign(6 * n, 0.0);
    double* const own = reportSums_.data();
    double* const all = own + 2 * n;
    double* const largest = own + 4 * n;
    double* const largestAll = own + 5 * n;
    for (std::size_t i = 0; i < n; ++i) {
        const SolveReport& R = layers[i + 1].report;
        own[2 * i] = R.oscillationSum;
        own[2 * i + 1] = static_cast<double>(R.oscillations);
        largest[i] = largestAll[i] = R.oscillationMax;
    }
    MPI_Request maxRequest = MPI_REQUEST_NULL;
    if (size > 1)
        MPI_Iallreduce(largest, largestAll, static_cast<int>(n), MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD, &maxRequest);
    MPI_Allreduce(own, all, static_cast<int>(2 * n), MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    MPI_Wait(&maxRequest, MPI_STATUS_IGNORE);

    const bool report =
        !omp_in_parallel() && (runInterval <= 1 || (hour + static_cast<std::int64_t>(hourOffset)) % runInterval == 0);
    for (std::size_t i = 0; i < n; ++i) {
        const Layer& L = layers[i + 1];
        // The figures of the last layer stay with the model.
        oscillations = static_cast<std::int64_t>(all[2 * i + 1]);
        oscillationSum = all[2 * i];
        oscillationMax = largestAll[i];
        factorSum = L.report.factorSum;
        factorCount = L.report.factorCount;
        if (!report) continue;
        // With no updated cell on this process the mean factor is reported as the neutral 1.
        const double f = adaptive ? (factorCount > 0 ? factorSum / static_cast<double>(factorCount) : 1.0)
                                  : sorParameter;
        const double a = oscillations > 0 ? oscillationSum / static_cast<double>(oscillations) : 0.0;
        *log << "GWlevel " << static_cast<int>(i + 1) << ", MPI-rank " << rank << ", Steps " << L.sweeps << " err "
             << L.lastChange << ", SOR " << f << ", osc. at " << static_cast<long long>(oscillations)
             << " points (av: " << a << ", max " << oscillationMax << ")" << "[end-entry]";
    }
}

void gwflowclass::ComputeLeakage(int l) {
    Layer& U = layers[static_cast<std::size_t>(l)];
    const Layer& D = layers[static_cast<std::size_t>(l) + 1];
#pragma omp parallel for schedule(runtime) if (Threaded())
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!U.leakage.holds(r)) continue;
        // The rows looked at, taken once per row.
        const double* const zone = zoneGrid != nullptr && zoneGrid->holds(r) ? (*zoneGrid)[r] : nullptr;
        const double* const regions = mpiRegions != nullptr && mpiRegions->holds(r) ? (*mpiRegions)[r] : nullptr;
        const double* const ice = glacier != nullptr ? (*glacier)[r] : nullptr;
        const double *const up = U.head[r], *const down = D.head[r], *const top = D.top[r], *const k = (*U.kolmation)[r];
        double* const leakage = U.leakage[r];
        for (int c = 1; c <= ncols; ++c) {
            if (regions != nullptr && static_cast<int>(regions[c]) != rank) continue;
            if (zone == nullptr || zone[c] == nodata || GlacierOf(ice, c) >= 1) {
                leakage[c] = 0;
                continue;
            }
            leakage[c] = gwnum::Leakage(up[c], down[c], top[c], k[c]);
        }
    }
}

void gwflowclass::StartLayerStep(int l) {
    Layer& L = layers[static_cast<std::size_t>(l)];
#pragma omp parallel for schedule(runtime) if (Threaded())
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!L.head.holds(r)) continue;
        const gwnum::RowSpan span = ZoneColumns(r);
        // The rows looked at, taken once per row (the soil's grids only for layer 1).
        const std::uint8_t* const active = activeMask.data() + Cell(r, 0);
        double *const head = L.head[r], *const start = L.headOld[r], *const before = L.headOldOld[r],
                     *const iterate = L.headIter[r];
        const double* const distance = l == 1 && gwDistance != nullptr ? (*gwDistance)[r] : nullptr;
        const double* const z = l == 1 && elevation != nullptr ? (*elevation)[r] : nullptr;
        const double* const ponded = l == 1 && pond != nullptr ? (*pond)[r] : nullptr;
        const double* const surface = l == 1 && surfStorage != nullptr ? (*surfStorage)[r] : nullptr;
        for (int c = span.first; c <= span.last; ++c) {
            if (active[c] == 0) continue;
            before[c] = start[c];
            double v = head[c];
            if (l == 1) {
                const double d = distance[c];
                v = d + z[c];
                if (ponded != nullptr && std::fabs(d) < 0.001) {
                    v += ponded[c] / 1000.0;
                } else if (surface != nullptr && surface[c] > 0 && std::fabs(d) < 0.001) {
                    v += surface[c] / 1000.0;
                }
                head[c] = v;
            }
            iterate[c] = v;
            start[c] = v;
            for (std::size_t t = 1; t < gwTracers.size(); ++t) {
                GwTracer& tr = gwTracers[t];
                if (tr.decays) tr.layers[static_cast<std::size_t>(l)].conc[r][c] *= tr.decay;
            }
        }
    }
}

void gwflowclass::ComputeTransmissivities() {
    // The rows of the grids a face reads, taken once per row.
    struct FaceRows {
        const double *h = nullptr, *top = nullptr, *b = nullptr, *frozen = nullptr, *thaw = nullptr, *g = nullptr;
    };
    const std::size_t width = static_cast<std::size_t>(ncols) + 2;
    const std::size_t team = Threaded() ? static_cast<std::size_t>(std::max(1, omp_get_max_threads())) : 1;
    if (faceSides_.size() < 2 * width * team) faceSides_.resize(2 * width * team);
    for (int l = 1; l <= layerCount; ++l) {
        Layer& L = layers[static_cast<std::size_t>(l)];
        auto zoneRow = [&](int r) { return zoneGrid != nullptr && zoneGrid->holds(r) ? (*zoneGrid)[r] : nullptr; };
        // Each basin cell of row r as its faces see it: computed once and read by its own faces
        // and by those of its west and north neighbours. Cells outside the basin are no side of
        // any face and are left alone.
        auto fillRow = [&](int r, gwnum::FaceSide* cells) {
            const double* const zone = zoneRow(r);
            if (zone == nullptr) return;
            FaceRows w;
            w.h = L.head[r];
            w.top = L.top[r];
            w.b = (*L.thickness)[r];
            // Only layer 1 conducts through its thawed part.
            if (l == 1 && frozenSoil != nullptr)
                w.frozen = (*frozenSoil)[r];
            else if (l == 1 && thawDepth != nullptr)
                w.thaw = (*thawDepth)[r];
            w.g = glacier != nullptr ? (*glacier)[r] : nullptr;
            const gwnum::RowSpan span = ZoneColumns(r);
            for (int c = span.first; c <= span.last; ++c) {
                if (zone[c] == nodata) continue;
                const double b = w.b[c];
                double effective = b;
                if (w.frozen != nullptr) {
                    const double f = w.frozen[c];
                    effective = f > nodata ? std::max(0.0, b - f) : b;
                } else if (w.thaw != nullptr) {
                    // The grid holds the thaw depth as a positive depth, as the soil model reads it:
                    // the layer conducts through its thawed part, at most its whole thickness.
                    const double t = w.thaw[c];
                    effective = t > nodata ? std::min(t, b) : b;
                }
                cells[c] = gwnum::SideOf(gwnum::FaceCell{w.h[c], w.top[c], effective, b, 0.0, GlacierOf(w.g, c)});
            }
        };
#pragma omp parallel if (Threaded())
        {
            gwnum::FaceSide* own = faceSides_.data() + 2 * width * static_cast<std::size_t>(omp_get_thread_num());
            gwnum::FaceSide* below = own + width;
            // The row whose cells below holds (0: none): when this thread's next row is that row,
            // its cells are taken over instead of computed again.
            int belowRow = 0;
#pragma omp for schedule(runtime)
            for (int r = firstRow; r <= lastRow; ++r) {
                if (!L.tx.holds(r)) continue;
                const gwnum::RowSpan span = ZoneColumns(r);
                FillBeyond(L.tx[r], span, 0.0);
                FillBeyond(L.ty[r], span, 0.0);
                if (belowRow == r)
                    std::swap(own, below);
                else
                    fillRow(r, own);
                belowRow = 0;
                if (r < nrows) {
                    fillRow(r + 1, below);
                    belowRow = r + 1;
                }
                const double* const zone = zoneRow(r);
                const double* const zoneBelow = r < nrows ? zoneRow(r + 1) : nullptr;
                const double* const regions =
                    mpiRegions != nullptr && mpiRegions->holds(r) ? (*mpiRegions)[r] : nullptr;
                const double *const kx = (*L.kx)[r], *const ky = (*L.ky)[r];
                const double* const kyBelow = r < nrows ? (*L.ky)[r + 1] : nullptr;
                double *const tx = L.tx[r], *const ty = L.ty[r];
                for (int c = span.first; c <= span.last; ++c) {
                    const double z = zone != nullptr ? zone[c] : nodata;
                    if ((regions != nullptr && static_cast<int>(regions[c]) != rank) || z == nodata || own[c].g >= 1) {
                        tx[c] = ty[c] = 0;
                        continue;
                    }
                    const double zEast = c < ncols ? zone[c + 1] : nodata;
                    const bool east = zEast != nodata && (flowControl != 3 || z == zEast);
                    tx[c] = east ? gwnum::FaceTransmissivity(own[c], kx[c], &own[c + 1], kx[c + 1], false)
                                 : gwnum::FaceTransmissivity(own[c], kx[c], nullptr, 0.0, false);
                    const double zSouth = zoneBelow != nullptr ? zoneBelow[c] : nodata;
                    const bool south = zSouth != nodata && (flowControl != 3 || z == zSouth);
                    ty[c] = south ? gwnum::FaceTransmissivity(own[c], ky[c], &below[c], kyBelow[c], true)
                                  : gwnum::FaceTransmissivity(own[c], ky[c], nullptr, 0.0, true);
                }
            }
        }
    }
}

gwnum::SorLayer gwflowclass::SweepView(int l) {
    Layer& L = layers[static_cast<std::size_t>(l)];
    gwnum::SorLayer v;
    v.nrows = nrows;
    v.ncols = ncols;
    v.h = L.head.rows();
    v.h0 = L.headOld.rows();
    v.hp = L.headIter.rows();
    v.tx = L.tx.rows();
    v.ty = L.ty.rows();
    v.fixQ = L.fixQ->rows();
    v.st = L.storage->rows();
    v.st1 = layers[1].storage->rows();
    v.top = L.top.rows();
    v.leakBelow = l < layerCount ? L.leakage.rows() : nullptr;
    v.leakAbove = l > 1 ? layers[static_cast<std::size_t>(l) - 1].leakage.rows() : nullptr;
    v.dx = cellSizeX != nullptr ? cellSizeX->rows() : nullptr;
    v.dy = cellSizeY != nullptr ? cellSizeY->rows() : nullptr;
    v.update = freeMask.data();
    v.stride = ncols + 2;
    v.cellsize = cellsize;
    v.dt = dtSeconds;
    v.alpha = alpha;
    v.nodata = nodata;
    v.sor = sorParameter;
    v.adaptive = adaptive;
    v.cells = sorCells.empty() ? nullptr : sorCells.data();
    v.lanes = sorLanes.empty() ? nullptr : sorLanes.data();
    v.spans = sorSpans.empty() ? nullptr : sorSpans.data();
    v.cellsFirstRow = firstRow;
    return v;
}

int gwflowclass::FirstHaloRowBelow() const {
    int below = lastRow + 2;
    if (recvHalo != nullptr)
        for (const HaloRecord& h : *recvHalo)
            if (h.row > firstRow) below = std::min(below, h.row);
    return below;
}

int gwflowclass::SweepSplit(int bandFirst) const {
    // The first halo row below the first own row: rows from two above it on read it.
    const int below = FirstHaloRowBelow();
    // Whole groups of rows before the split, so that the groups of the two parts are those of the
    // whole band (the vector terms are laid out by the groups of the band).
    const int rows = std::max(0, below - 2 - bandFirst + 1);
    return below > lastRow + 1 ? lastRow : bandFirst - 1 + rows / gwnum::kWideGroupRows * gwnum::kWideGroupRows;
}

void gwflowclass::KeepTrialHeads(const gwnum::SorLayer& view, int slot, int from, int to) {
    const std::size_t stride = static_cast<std::size_t>(ncols) + 2;
    const std::size_t rows = static_cast<std::size_t>(std::max(0, lastRow - firstRow + 1));
    const std::size_t block = rows * stride * (view.adaptive ? 2 : 1);
    const std::size_t slots = static_cast<std::size_t>(slot) + 1;
    if (trialHeads.size() < block * slots) trialHeads.resize(block * slots);
    double* const heads = trialHeads.data() + block * static_cast<std::size_t>(slot);
    double* const iterates = heads + rows * stride;
    for (int r = from; r <= to; ++r) {
        const gwnum::RowSpan span = sorSpans[static_cast<std::size_t>(r - firstRow)];
        if (span.first > span.last) continue;
        const std::size_t at = static_cast<std::size_t>(r - firstRow) * stride;
        const std::size_t n = static_cast<std::size_t>(span.last - span.first + 1);
        std::copy_n(view.h[r] + span.first, n, heads + at + static_cast<std::size_t>(span.first));
        if (view.adaptive) std::copy_n(view.hp[r] + span.first, n, iterates + at + static_cast<std::size_t>(span.first));
    }
}

void gwflowclass::RestoreTrialHeads(const gwnum::SorLayer& view, int slot) {
    const std::size_t stride = static_cast<std::size_t>(ncols) + 2;
    const std::size_t rows = static_cast<std::size_t>(std::max(0, lastRow - firstRow + 1));
    const std::size_t block = rows * stride * (view.adaptive ? 2 : 1);
    const double* const heads = trialHeads.data() + block * static_cast<std::size_t>(slot);
    const double* const iterates = heads + rows * stride;
    for (int r = firstRow; r <= lastRow; ++r) {
        const gwnum::RowSpan span = sorSpans[static_cast<std::size_t>(r - firstRow)];
        if (span.first > span.last) continue;
        const std::size_t at = static_cast<std::size_t>(r - firstRow) * stride + static_cast<std::size_t>(span.first);
        const std::size_t n = static_cast<std::size_t>(span.last - span.first + 1);
        std::copy_n(heads + at, n, view.h[r] + span.first);
        if (view.adaptive) std::copy_n(iterates + at, n, view.hp[r] + span.first);
    }
}

std::int64_t gwflowclass::CountOscillations(int l) {
    const Layer& L = layers[static_cast<std::size_t>(l)];
    const double e = maxErrorAllowed;
    // The change of the step at an own zone cell of row r whose head turned round (-1 where it
    // did not). Only own zone cells count: the listed columns of each row, in column order, so
    // that neither the zone grid nor the regions are read cell by cell.
    struct Turns {
        const double *h, *h0, *h00;
    };
    auto turnsOf = [&](int r) { return Turns{L.head[r], L.headOld[r], L.headOldOld[r]}; };
    auto turn = [&](const Turns& w, int c) {
        const double d1 = w.h0[c] - w.h00[c];
        const double d2 = w.h[c] - w.h0[c];
        return (d1 > e && d2 < -e) || (d1 < -e && d2 > e) ? std::fabs(d2) : -1.0;
    };
    // Counted per row by the threads; the changes are added afterwards in row order, as one
    // thread adds them, whichever rows the threads took.
    static thread_local std::vector<std::int64_t> perRow;
    perRow.assign(static_cast<std::size_t>(std::max(0, lastRow - firstRow + 1)), 0);
    std::int64_t* const rowCount = perRow.data();
    double mx = 0;
#pragma omp parallel for schedule(runtime) reduction(max : mx) if (Threaded())
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!L.head.holds(r)) continue;
        std::int64_t k = 0;
        const Turns w = turnsOf(r);
        for (const int c : OwnZoneColumns(r)) {
            const double d = turn(w, c);
            if (d >= 0) {
                ++k;
                mx = std::max(mx, d);
            }
        }
        rowCount[r - firstRow] = k;
    }
    std::int64_t n = 0;
    double sum = 0;
    for (int r = firstRow; r <= lastRow; ++r) {
        if (rowCount[r - firstRow] == 0) continue;
        n += rowCount[r - firstRow];
        const Turns w = turnsOf(r);
        for (const int c : OwnZoneColumns(r)) {
            const double d = turn(w, c);
            if (d >= 0) sum += d;
        }
    }
    oscillations = n;
    oscillationSum = sum;
    oscillationMax = mx;
    return n;
}
