// Darcy fluxes between cells, the soil model's base flow and the water balance of every cell
// with the upwind mixing of the tracers.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#include <omp.h>

#include "lateral/gwflow.hpp"

void gwflowclass::ComputeFluxesAndBaseflow() {
    // The fluxes of every layer and the base flow read the heads and write grids of their own,
    // each cell from its row and the row below: a row goes through all of them at once.
#pragma omp parallel for schedule(runtime) if (Threaded())
    for (int r = firstRow; r <= lastRow; ++r) {
        for (int l = 1; l <= layerCount; ++l) FluxRow(l, r);
        BaseflowRow(r);
    }
}

void gwflowclass::FluxRow(int l, int r) {
    auto zoneRow = [&](int rr) { return zoneGrid != nullptr && zoneGrid->holds(rr) ? (*zoneGrid)[rr] : nullptr; };
    Layer& L = layers[static_cast<std::size_t>(l)];
    if (!L.flowX.holds(r)) return;
    const gwnum::RowSpan span = ZoneColumns(r);
    FillBeyond(L.flowX[r], span, nodata);
    FillBeyond(L.flowY[r], span, nodata);
    // The rows the faces of a row read, taken once (rows beyond the grid are never read).
    const double *const zone = zoneRow(r), *const zoneS = r < nrows ? zoneRow(r + 1) : nullptr;
    const double* const regions = mpiRegions != nullptr && mpiRegions->holds(r) ? (*mpiRegions)[r] : nullptr;
    const double *const ice = glacier != nullptr ? (*glacier)[r] : nullptr,
                       *const iceS = glacier != nullptr && r < nrows ? (*glacier)[r + 1] : nullptr;
    const double *const head = L.head[r], *const headS = r < nrows ? L.head[r + 1] : nullptr;
    const double *const kx = (*L.kx)[r], *const ky = (*L.ky)[r];
    const double *const sizeX = cellSizeX != nullptr ? (*cellSizeX)[r] : nullptr,
                       *const sizeY = cellSizeY != nullptr ? (*cellSizeY)[r] : nullptr;
    double *const flowX = L.flowX[r], *const flowY = L.flowY[r];
    for (int c = span.first; c <= span.last; ++c) {
        const double z = zone != nullptr ? zone[c] : nodata;
        // Outside the basin no process computes a flow: nodata, at any number of processes.
        if (z == nodata) {
            flowX[c] = flowY[c] = nodata;
            continue;
        }
        if (regions != nullptr && static_cast<int>(regions[c]) != rank) continue;
        if (GlacierOf(ice, c) >= 1) {
            flowX[c] = flowY[c] = 0;
            continue;
        }
        const bool cellIn = z > nodata;
        const double h = head[c];
        // Faces towards the next column and the next row; at the grid edge only a cell outside
        // the basin marks the face as having no value.
        auto face = [&](const double* zoneN, const double* iceN, const double* headN, int cn, bool inside,
                        double k, double size) {
            if (!inside) return cellIn ? 0.0 : nodata;
            if (!cellIn || !((zoneN != nullptr ? zoneN[cn] : nodata) > nodata)) return nodata;
            if (GlacierOf(iceN, cn) >= 1) return 0.0;
            return (h - headN[cn]) * k / size;
        };
        flowX[c] = face(zone, ice, head, c + 1, c < ncols, kx[c], sizeX != nullptr ? sizeX[c] : dx);
        flowY[c] = face(zoneS, iceS, headS, c, r < nrows, ky[c], sizeY != nullptr ? sizeY[c] : dy);
    }
}

void gwflowclass::BaseflowRow(int r) {
    const Layer& L = layers[1];
    const double dt = dtSeconds;
    if (!baseflow->holds(r)) return;
    const gwnum::RowSpan span = ZoneColumns(r);
    // The rows looked at, taken once per row.
    const double* const zone = zoneGrid != nullptr && zoneGrid->holds(r) ? (*zoneGrid)[r] : nullptr;
    const double* const regions = mpiRegions != nullptr && mpiRegions->holds(r) ? (*mpiRegions)[r] : nullptr;
    const double* const ice = glacier != nullptr ? (*glacier)[r] : nullptr;
    const double *const head = L.head[r], *const start = L.headOld[r], *const st = (*L.storage)[r];
    double* const out = (*baseflow)[r];
    for (int c = span.first; c <= span.last; ++c) {
        if (regions != nullptr && static_cast<int>(regions[c]) != rank) continue;
        if (zone == nullptr || zone[c] == nodata) continue;
        out[c] = GlacierOf(ice, c) < 1 ? (start[c] - head[c]) * st[c] / dt : 0.0;
    }
}

// The upwind mixing and the zone sums of the tracers live beside the balance that calls them for
// every cell, so that its loop can take them in.
void gwflowclass::TracerMixing(const TracerRows* rows, std::size_t slots, int c, double volume, const double* in,
                               double water, const MixFaces& faces) {
    for (std::size_t t = 1; t < slots; ++t) {
        const TracerRows& R = rows[t];
        const double cc = R.conc[c];
        double face[6];
        face[0] = faces.from[0] ? R.north[c] : cc;
        face[1] = faces.from[1] ? R.conc[c + 1] : cc;
        face[2] = faces.from[2] ? R.south[c] : cc;
        face[3] = faces.from[3] ? R.conc[c - 1] : cc;
        face[4] = faces.from[4] ? R.above[c] : cc;
        face[5] = faces.from[5] ? R.below[c] : cc;
        double mass = cc * volume;
        for (int k = 0; k < 6; ++k)
            if (in[k] != 0) mass += in[k] * face[k];
        R.flux[c] = water > 0 ? mass / water : 0.0;
    }
}

void gwflowclass::AddTracerZones(int l, const TracerRows* rows, std::size_t slots, double zones,
                                 const double* zone, const double* rel, int c, double water) {
    const double z = zone != nullptr ? zone[c] : nodata;
    const int zi = z >= 0 && z < zones ? (*zoneIndex)[static_cast<std::size_t>(z)] : 0;
    const double weight = rel != nullptr ? rel[c] : 1.0;
    for (std::size_t t = 1; t < slots; ++t) {
        const double next = rows[t].flux[c];
        zoneFZT& zs = gwTracers[t].layers[static_cast<std::size_t>(l)].zones[static_cast<std::size_t>(zi)];
        // Without cell areas the weights are the cells' water volumes.
        zs.sx += rel != nullptr ? next * weight : next;
        zs.n += rel != nullptr ? weight * water : water;
        zs.RelCellSum += rel != nullptr ? weight : water;
    }
}

void gwflowclass::TracerRowsOf(int l, int r, TracerRows* rows) const {
    const std::size_t li = static_cast<std::size_t>(l);
    for (std::size_t t = 1; t < gwTracers.size(); ++t) {
        const GwTracer& tr = gwTracers[t];
        const Matrix& conc = tr.layers[li].conc;
        TracerRows& R = rows[t];
        R.conc = conc[r];
        R.north = r > 1 ? conc[r - 1] : nullptr;
        R.south = r < nrows ? conc[r + 1] : nullptr;
        R.above = tr.above[r];
        R.below = l < layerCount ? tr.layers[li + 1].conc[r] : nullptr;
        R.flux = tr.flux[r];
    }
}

template <bool kKeep>
void gwflowclass::BalanceRow(int l, int r, double dt, double zoneCodes, TracerRows* const mixRows,
                             double* const kept) {
    Layer& L = layers[static_cast<std::size_t>(l)];
    const Matrix& st1 = *layers[1].storage;
    const Layer* above = l > 1 ? &layers[static_cast<std::size_t>(l) - 1] : nullptr;
    const std::size_t tracerSlots = gwTracers.size();
    TracerRowsOf(l, r, mixRows);
    const gwnum::RowSpan span = ZoneColumns(r);
    FillBeyond(L.balance[r], span, nodata);
    if (kKeep && span.first <= span.last)
        std::fill(kept + span.first, kept + span.last + 1, std::numeric_limits<double>::quiet_NaN());
    // The rows the balance of a row reads, taken once (null where a grid is absent or the
    // row not held; rows beyond the grid are never read).
    auto zoneRow = [&](int rr) { return zoneGrid != nullptr && zoneGrid->holds(rr) ? (*zoneGrid)[rr] : nullptr; };
    const double* const zone = zoneRow(r);
    const double* const zoneN = r > 1 ? zoneRow(r - 1) : nullptr;
    const double* const zoneS = r < nrows ? zoneRow(r + 1) : nullptr;
    const double* const regions = mpiRegions != nullptr && mpiRegions->holds(r) ? (*mpiRegions)[r] : nullptr;
    const double* const ice = glacier != nullptr ? (*glacier)[r] : nullptr;
    const double *const head = L.head[r], *const headN = r > 1 ? L.head[r - 1] : nullptr,
                       *const headS = r < nrows ? L.head[r + 1] : nullptr, *const start = L.headOld[r];
    const double *const thick = (*L.thickness)[r], *const topRow = L.top[r], *const stRow = (*L.storage)[r],
                       *const st1Row = st1[r], *const fixQ = (*L.fixQ)[r];
    const double *const fx = L.flowX[r], *const fy = L.flowY[r], *const fyN = r > 1 ? L.flowY[r - 1] : nullptr;
    const double *const tx = L.tx[r], *const ty = L.ty[r], *const tyN = r > 1 ? L.ty[r - 1] : nullptr;
    const double *const sizeX = cellSizeX != nullptr ? (*cellSizeX)[r] : nullptr,
                       *const sizeY = cellSizeY != nullptr ? (*cellSizeY)[r] : nullptr;
    const double* const leakUp = above != nullptr ? above->leakage[r] : nullptr;
    const double* const leakDown = l < layerCount ? L.leakage[r] : nullptr;
    const double* const rel = relCellArea != nullptr ? (*relCellArea)[r] : nullptr;
    double* const balance = L.balance[r];
    for (int c = span.first; c <= span.last; ++c) {
        const double z = zone != nullptr ? zone[c] : nodata;
        if (z == nodata) {
            balance[c] = nodata;
            continue;
        }
        if (regions != nullptr && static_cast<int>(regions[c]) != rank) continue;
        if (ice != nullptr && (ice[c] < 0 ? 0.0 : (ice[c] > 1 ? 1.0 : ice[c])) >= 1) {
            balance[c] = 0;
            continue;
        }
        if (!(z > nodata)) continue;
        const double h = head[c], h0 = start[c];
        const double b = thick[c];
        const double dx_ = sizeX != nullptr ? sizeX[c] : dx, dy_ = sizeY != nullptr ? sizeY[c] : dy,
                     area = dx_ * dy_;
        const double st = stRow[c];
        const double volume = gwnum::StoredWater(h0, topRow[c], b, st, st1Row[c]) * area;
        // Inflow volumes over the step: north, east, south, west, from above, from below.
        double in[6] = {0, 0, 0, 0, 0, 0};
        if (r > 1 && zoneN != nullptr && zoneN[c] != nodata && fyN[c] != nodata)
            in[0] = (headN[c] - h) / dy_ * tyN[c] * dx_ * dt;
        if (c < ncols && zone[c + 1] != nodata && fx[c] != nodata)
            in[1] = (head[c + 1] - h) / dx_ * tx[c] * dy_ * dt;
        if (r < nrows && zoneS != nullptr && zoneS[c] != nodata && fy[c] != nodata)
            in[2] = (headS[c] - h) / dy_ * ty[c] * dx_ * dt;
        if (c > 1 && zone[c - 1] != nodata && fx[c - 1] != nodata)
            in[3] = (head[c - 1] - h) / dx_ * tx[c - 1] * dy_ * dt;
        if (leakUp != nullptr) in[4] = -leakUp[c] * area * dt;
        if (leakDown != nullptr) in[5] = leakDown[c] * area * dt;
        const double total = volume + in[0] + in[1] + in[2] + in[3] + in[4] + in[5];
        // Storage change with the coefficient the solver used in this step, less every
        // inflow the solver saw (the fixed inflow too): 0 in a converged free cell, minus
        // the inflow in a fixed-head cell.
        const double storage = gwnum::StepStorage(h0, topRow[c], st, st1Row[c]);
        const double q = fixQ[c] > nodata ? fixQ[c] * dt : 0.0;
        balance[c] = ((h - h0) * storage - (total - volume) / area - q) * 1000.0;
        // The new concentration belongs to the water W the step leaves in the cell, the
        // fixed inflow and a fixed head's exchange taking or bringing the cell's own
        // concentration. Where the head crosses the layer's top, the solver stored the whole
        // change with one coefficient: W gets the water the new head holds beyond that, so
        // the next step starts from the tracer this one kept.
        if (tracerSlots != 0) {
            const double held = gwnum::StoredWater(h, topRow[c], b, st, st1Row[c]) * area;
            const double water = total + (held - volume - storage * area * (h - h0));
            // Upwind: an inflow brings the concentration of the cell it comes from, an
            // outflow takes the cell's own.
            MixFaces faces;
            faces.from[0] = r > 1 && fyN[c] > 0;
            faces.from[1] = !(fx[c] > 0) && c < ncols;
            faces.from[2] = !(fy[c] > 0) && r < nrows;
            faces.from[3] = c > 1 && fx[c - 1] > 0;
            faces.from[4] = leakUp != nullptr && leakUp[c] < 0;
            faces.from[5] = leakDown != nullptr && !(leakDown[c] < 0);
            TracerMixing(mixRows, tracerSlots, c, volume, in, water, faces);
            if constexpr (kKeep)
                kept[c] = water;
            else if (!std::isnan(water))
                AddTracerZones(l, mixRows, tracerSlots, zoneCodes, zone, rel, c, water);
        }
    }
}

void gwflowclass::ComputeLayerBalance(int l, double dt) {
    Layer& L = layers[static_cast<std::size_t>(l)];
    // The zone sums of the tracers add the mixed cells in row order. One thread meets the cells
    // in that order and adds each as it mixes it. In a team a thread keeps the water each mixed
    // cell of its row keeps (NaN: not mixed) and marks the row; a thread that has marked a row and
    // finds no other adding takes the marked rows from the first not yet added on, each row in
    // column order, so that the sums are added while the others mix later rows and no thread
    // waits for another. The rows left when the team ends are added after it.
    const bool team = Threaded() && omp_get_max_threads() > 1;
    const bool keep = !gwTracers.empty() && team;
    const std::size_t width = static_cast<std::size_t>(ncols) + 2;
    const std::size_t rows = static_cast<std::size_t>(std::max(0, lastRow - firstRow + 1));
    static thread_local std::vector<double> mixedWater;
    static thread_local std::vector<int> mixedRows;
    if (keep) {
        if (mixedWater.size() < rows * width) mixedWater.resize(rows * width);
        mixedRows.assign(rows, 0);
    }
    double* const water = mixedWater.data();
    int* const mixed = mixedRows.data();
    // The tracers' rows a row of cells mixes with, taken once per row: a block per thread.
    const std::size_t tracerSlots = gwTracers.size();
    const double zoneCodes = zoneIndex != nullptr ? static_cast<double>(zoneIndex->size()) : 0.0;
    static thread_local std::vector<TracerRows> tracerRows;
    if (tracerRows.size() < tracerSlots * static_cast<std::size_t>(omp_get_max_threads()))
        tracerRows.resize(tracerSlots * static_cast<std::size_t>(omp_get_max_threads()));
    TracerRows* const rowBlocks = tracerRows.data();
    if (!keep) {
#pragma omp parallel for schedule(runtime) if (Threaded())
        for (int r = firstRow; r <= lastRow; ++r) {
            if (!L.balance.holds(r)) continue;
            const std::size_t thread = static_cast<std::size_t>(omp_get_thread_num());
            BalanceRow<false>(l, r, dt, zoneCodes, rowBlocks + tracerSlots * thread, nullptr);
        }
        return;
    }
    // The first row whose mixed cells are not added yet, and whether a thread is adding: only the
    // thread adding (and the calling thread after the team) reads and moves it.
    int nextRow = firstRow, adding = 0;
    auto addMarkedRows = [&](TracerRows* block) {
        for (; nextRow <= lastRow; ++nextRow) {
            const std::size_t i = static_cast<std::size_t>(nextRow - firstRow);
            if (std::atomic_ref<int>(mixed[i]).load(std::memory_order_acquire) == 0) return;
            if (!L.balance.holds(nextRow)) continue;
            // Only cells of a row's zone span are mixed.
            TracerRowsOf(l, nextRow, block);
            const gwnum::RowSpan span = ZoneColumns(nextRow);
            const double* const zone = zoneGrid != nullptr && zoneGrid->holds(nextRow) ? (*zoneGrid)[nextRow] : nullptr;
            const double* const rel = relCellArea != nullptr ? (*relCellArea)[nextRow] : nullptr;
            const double* const kept = water + i * width;
            for (int c = span.first; c <= span.last; ++c)
                if (!std::isnan(kept[c])) AddTracerZones(l, block, tracerSlots, zoneCodes, zone, rel, c, kept[c]);
        }
    };
#pragma omp parallel for schedule(runtime)
    for (int r = firstRow; r <= lastRow; ++r) {
        const std::size_t i = static_cast<std::size_t>(r - firstRow);
        TracerRows* const block = rowBlocks + tracerSlots * static_cast<std::size_t>(omp_get_thread_num());
        if (L.balance.holds(r)) BalanceRow<true>(l, r, dt, zoneCodes, block, water + i * width);
        std::atomic_ref<int>(mixed[i]).store(1, std::memory_order_release);
        const std::atomic_ref<int> adder(adding);
        if (adder.exchange(1, std::memory_order_acquire) == 0) {
            addMarkedRows(block);
            adder.store(0, std::memory_order_release);
        }
    }
    addMarkedRows(rowBlocks);
}
