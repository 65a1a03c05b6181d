// Darcy fluxes between cells, the soil model's base flow and the water balance of every cell
// with the upwind mixing of the tracers.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "lateral/gwflow.hpp"

void gwflowclass::ComputeFluxes() {
    for (int l = 1; l <= layerCount; ++l) {
        Layer& L = layers[static_cast<std::size_t>(l)];
#pragma omp parallel for schedule(runtime) if (Threaded())
        for (int r = firstRow; r <= lastRow; ++r) {
            if (!L.flowX.holds(r)) continue;
            const gwnum::RowSpan span = ZoneColumns(r);
            FillBeyond(L.flowX[r], span, nodata);
            FillBeyond(L.flowY[r], span, nodata);
            for (int c = span.first; c <= span.last; ++c) {
                const double z = ZoneValue(r, c);
                // Outside the basin no process computes a flow: nodata, at any number of processes.
                if (z == nodata) {
                    L.flowX[r][c] = L.flowY[r][c] = nodata;
                    continue;
                }
                if (!Own(r, c)) continue;
                if (Glacier(r, c) >= 1) {
                    L.flowX[r][c] = L.flowY[r][c] = 0;
                    continue;
                }
                const bool cellIn = z > nodata;
                const double h = L.head[r][c];
                // Faces towards the next column and the next row; at the grid edge only a
                // cell outside the basin marks the face as having no value.
                auto face = [&](int rn, int cn, bool inside, const Matrix& k, double size) {
                    if (!inside) return cellIn ? 0.0 : nodata;
                    if (!cellIn || !(ZoneValue(rn, cn) > nodata)) return nodata;
                    if (Glacier(rn, cn) >= 1) return 0.0;
                    return (h - L.head[rn][cn]) * k[r][c] / size;
                };
                L.flowX[r][c] = face(r, c + 1, c < ncols, *L.kx, Dx(r, c));
                L.flowY[r][c] = face(r + 1, c, r < nrows, *L.ky, Dy(r, c));
            }
        }
    }
}

void gwflowclass::ComputeBaseflow() {
    const Layer& L = layers[1];
    const double dt = dtSeconds;
#pragma omp parallel for schedule(runtime) if (Threaded())
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!baseflow->holds(r)) continue;
        const gwnum::RowSpan span = ZoneColumns(r);
        for (int c = span.first; c <= span.last; ++c) {
            if (!Own(r, c) || !InZone(r, c)) continue;
            (*baseflow)[r][c] =
                Glacier(r, c) < 1 ? (L.headOld[r][c] - L.head[r][c]) * (*L.storage)[r][c] / dt : 0.0;
        }
    }
}

void gwflowclass::ComputeLayerBalance(int l, double dt) {
    Layer& L = layers[static_cast<std::size_t>(l)];
    const Matrix& st1 = *layers[1].storage;
    const Layer* above = l > 1 ? &layers[static_cast<std::size_t>(l) - 1] : nullptr;
    // The water each mixed cell keeps (NaN: not mixed), for the zone sums of the tracers.
    static thread_local std::vector<double> mixedWater;
    if (!gwTracers.empty())
        mixedWater.assign(static_cast<std::size_t>(std::max(0, lastRow - firstRow + 1)) *
                              static_cast<std::size_t>(ncols + 2),
                          std::numeric_limits<double>::quiet_NaN());
    double* const kept = gwTracers.empty() ? nullptr : mixedWater.data();
#pragma omp parallel for schedule(runtime) if (Threaded())
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!L.balance.holds(r)) continue;
        const gwnum::RowSpan span = ZoneColumns(r);
        FillBeyond(L.balance[r], span, nodata);
        for (int c = span.first; c <= span.last; ++c) {
            if (!InZone(r, c)) {
                L.balance[r][c] = nodata;
                continue;
            }
            if (!Own(r, c)) continue;
            if (Glacier(r, c) >= 1) {
                L.balance[r][c] = 0;
                continue;
            }
            if (!(ZoneValue(r, c) > nodata)) continue;
            const double h = L.head[r][c], h0 = L.headOld[r][c];
            const double b = (*L.thickness)[r][c];
            const double dx_ = Dx(r, c), dy_ = Dy(r, c), area = dx_ * dy_;
            const double st = (*L.storage)[r][c];
            const double volume = gwnum::StoredWater(h0, L.top[r][c], b, st, st1[r][c]) * area;
            // Inflow volumes over the step: north, east, south, west, from above, from below.
            double in[6] = {0, 0, 0, 0, 0, 0};
            if (r > 1 && InZone(r - 1, c) && L.flowY[r - 1][c] != nodata)
                in[0] = (L.head[r - 1][c] - h) / dy_ * L.ty[r - 1][c] * dx_ * dt;
            if (c < ncols && InZone(r, c + 1) && L.flowX[r][c] != nodata)
                in[1] = (L.head[r][c + 1] - h) / dx_ * L.tx[r][c] * dy_ * dt;
            if (r < nrows && InZone(r + 1, c) && L.flowY[r][c] != nodata)
                in[2] = (L.head[r + 1][c] - h) / dy_ * L.ty[r][c] * dx_ * dt;
            if (c > 1 && InZone(r, c - 1) && L.flowX[r][c - 1] != nodata)
                in[3] = (L.head[r][c - 1] - h) / dx_ * L.tx[r][c - 1] * dy_ * dt;
            if (above != nullptr) in[4] = -above->leakage[r][c] * area * dt;
            if (l < layerCount) in[5] = L.leakage[r][c] * area * dt;
            const double total = volume + in[0] + in[1] + in[2] + in[3] + in[4] + in[5];
            // Storage change with the coefficient the solver used in this step, less every
            // inflow the solver saw (the fixed inflow too): 0 in a converged free cell, minus
            // the inflow in a fixed-head cell.
            const double storage = gwnum::StepStorage(h0, L.top[r][c], st, st1[r][c]);
            const double q = (*L.fixQ)[r][c] > nodata ? (*L.fixQ)[r][c] * dt : 0.0;
            L.balance[r][c] = ((h - h0) * storage - (total - volume) / area - q) * 1000.0;
            // The new concentration belongs to the water W the step leaves in the cell, the
            // fixed inflow and a fixed head's exchange taking or bringing the cell's own
            // concentration. Where the head crosses the layer's top, the solver stored the whole
            // change with one coefficient: W gets the water the new head holds beyond that, so
            // the next step starts from the tracer this one kept.
            if (!gwTracers.empty()) {
                const double held = gwnum::StoredWater(h, L.top[r][c], b, st, st1[r][c]) * area;
                const double water = total + (held - volume - storage * area * (h - h0));
                TracerMixing(l, r, c, volume, in, water);
                kept[static_cast<std::int64_t>(r - firstRow) * (ncols + 2) + c] = water;
            }
        }
    }
    // The zone sums in the order of the cells, as one thread adds them, whichever rows the
    // threads took.
    if (kept == nullptr) return;
    for (int r = firstRow; r <= lastRow; ++r)
        for (int c = 1; c <= ncols; ++c) {
            const double water = kept[static_cast<std::int64_t>(r - firstRow) * (ncols + 2) + c];
            if (!std::isnan(water)) AddTracerZones(l, r, c, water);
        }
}
