// Leakage, face transmissivities, the adaptive factor and the over-relaxation sweep.
#include "lateral/gwflow_numerics.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>

namespace gwnum {

double Leakage(double hu, double hd, double td, double k) {
    double d;
    if (hu >= hd && td > hd) {
        // The lower layer is not full: the upper one drains into it through the gap between
        // its head and the lower layer's top, and never draws water up from it.
        d = std::min(td - hu, 0.0);
    } else {
        d = hd - hu;
    }
    return std::clamp(d, -1.0, 1.0) * k;
}

double HarmonicMean(double a, double b) { return a + b > 0 ? 2.0 * a * b / (a + b) : 0.0; }

namespace {

// Saturated thickness times conductivity; confined cells use their full thickness.
double SideTransmissivity(const FaceCell& s, bool confined) {
    const double thickness = confined ? s.b : s.h - s.top + s.bEff;
    return thickness * s.k;
}

}  // namespace

double FaceTransmissivity(const FaceCell& cell, const FaceCell* nb, bool acrossRows) {
    const double limit = cell.top + kConfinedMargin;
    // At exactly top + margin the cell is still unconfined along rows and confined across them.
    const bool confined = acrossRows ? cell.h >= limit : cell.h > limit;
    double tc = cell.g > 0 ? 0.0 : SideTransmissivity(cell, confined);
    double tn = 0;
    if (nb != nullptr && !(nb->g > 0)) tn = SideTransmissivity(*nb, !(nb->h < nb->top + kConfinedMargin));

    const double hn = nb != nullptr ? nb->h : 0.0;
    if (tc <= 0) tc = (nb != nullptr && tn > 0 && hn > cell.h && cell.k > 0 && cell.g == 0) ? tn : 0.0;
    if (nb != nullptr && tn <= 0) tn = (tc > 0 && cell.h > hn && nb->k > 0 && nb->g == 0) ? tc : 0.0;
    return HarmonicMean(tc, tn);
}

double AdaptiveFactor(double hn, double hstar, double hp) {
    if (hp == hstar) return 1.0;
    const double w = 1.0 + (hn - hstar) / (hstar - hp);
    if (w <= 0) return 1.0;
    return std::min(w, 2.0);
}

bool CellHead(double area, double sources, double storage, double dt, double alpha, double h0, const double* c,
              const double* hk, double* hn) {
    const double sumC = c[0] + c[1] + c[2] + c[3];
    const double den = alpha * sumC + storage * area / dt;
    if (den == 0) return false;
    const double q = storage / dt * h0 + sources;
    *hn = (area * q + c[0] * hk[0] + c[1] * hk[1] + c[2] * hk[2] + c[3] * hk[3] - (1.0 - alpha) * h0 * sumC) / den;
    return true;
}

namespace {

inline double LoadShared(double& x) { return std::atomic_ref<double>(x).load(std::memory_order_relaxed); }
inline void StoreShared(double& x, double v) { std::atomic_ref<double>(x).store(v, std::memory_order_relaxed); }

// The terms of the cell at r, c that do not depend on the current heads.
SorCell CellTerms(const SorLayer& L, int r, int c) {
    const bool north = r > 1;
    const double dx = L.dx != nullptr ? L.dx[r][c] : L.cellsize;
    const double dy = L.dy != nullptr ? L.dy[r][c] : L.cellsize;
    const double rx = dx / dy, ry = dy / dx;
    SorCell t;
    t.cond[0] = north ? rx * L.ty[r - 1][c] : 0.0;
    t.cond[1] = ry * L.tx[r][c];
    t.cond[2] = rx * L.ty[r][c];
    t.cond[3] = c > 1 ? ry * L.tx[r][c - 1] : 0.0;
    const double h0 = L.h0[r][c];
    const bool full = h0 >= L.top[r][c];
    const double storage = StepStorage(h0, L.top[r][c], L.st[r][c], L.st1[r][c]);
    double sources = 0;
    if (L.leakBelow != nullptr) sources += L.leakBelow[r][c];
    if (L.leakAbove != nullptr) sources -= L.leakAbove[r][c];
    const double q = L.fixQ[r][c];
    if (q > L.nodata) sources += q;
    // As CellHead: the sum, the denominator and the start-head part in its order.
    const double area = dx * dy;
    const double sumC = t.cond[0] + t.cond[1] + t.cond[2] + t.cond[3];
    t.den = L.alpha * sumC + storage * area / L.dt;
    t.areaQ = area * (storage / L.dt * h0 + sources);
    t.old = (1.0 - L.alpha) * h0 * sumC;
    t.divisor = full ? 5.0 : 1.0;
    return t;
}

// Sweeps one row; returns its largest change and adds the adaptive factors to sum and count.
double SweepRow(const SorLayer& L, int r, double& sum, std::int64_t& count) {
    double maxChange = 0;
    const double a = L.alpha, b = 1.0 - L.alpha;
    double* h = L.h[r];
    const double* h0 = L.h0[r];
    const std::uint8_t* upd = L.update + static_cast<std::int64_t>(r) * L.stride;
    const bool north = r > 1, south = r < L.nrows;
    // The neighbour rows (the row itself stands in where there is none; its values are not used).
    double* hN = L.h[north ? r - 1 : r];
    const double* h0N = L.h0[north ? r - 1 : r];
    double* hS = L.h[south ? r + 1 : r];
    const double* h0S = L.h0[south ? r + 1 : r];
    const SorCell* cells =
        L.cells != nullptr ? L.cells + static_cast<std::int64_t>(r - L.cellsFirstRow) * L.stride : nullptr;
    const int ncols = L.ncols;
    const bool adaptive = L.adaptive;
    const double sor = L.sor;
    for (int c = 1; c <= ncols; ++c) {
        if (upd[c] == 0) continue;
        const double hs = LoadShared(h[c]);
        const double hk[4] = {north ? a * LoadShared(hN[c]) + b * h0N[c] : hs,
                              c < ncols ? a * h[c + 1] + b * h0[c + 1] : hs,
                              south ? a * LoadShared(hS[c]) + b * h0S[c] : hs,
                              c > 1 ? a * h[c - 1] + b * h0[c - 1] : hs};
        double hn, divisor;
        if (cells != nullptr) {
            // As CellHead, with the terms of the step.
            // One cache line per cell: ask for the lines ahead, as the separate grids' streams did.
            __builtin_prefetch(&cells[std::min(c + 8, ncols)]);
            const SorCell& t = cells[c];
            if (t.den == 0) continue;
            hn = (t.areaQ + t.cond[0] * hk[0] + t.cond[1] * hk[1] + t.cond[2] * hk[2] + t.cond[3] * hk[3] - t.old) /
                 t.den;
            divisor = t.divisor;
        } else {
            const double dx = L.dx != nullptr ? L.dx[r][c] : L.cellsize;
            const double dy = L.dy != nullptr ? L.dy[r][c] : L.cellsize;
            const double rx = dx / dy, ry = dy / dx;
            double cond[4];
            cond[0] = north ? rx * L.ty[r - 1][c] : 0.0;
            cond[1] = ry * L.tx[r][c];
            cond[2] = rx * L.ty[r][c];
            cond[3] = c > 1 ? ry * L.tx[r][c - 1] : 0.0;
            const bool full = h0[c] >= L.top[r][c];
            const double storage = StepStorage(h0[c], L.top[r][c], L.st[r][c], L.st1[r][c]);
            double sources = 0;
            if (L.leakBelow != nullptr) sources += L.leakBelow[r][c];
            if (L.leakAbove != nullptr) sources -= L.leakAbove[r][c];
            const double q = L.fixQ[r][c];
            if (q > L.nodata) sources += q;
            if (!CellHead(dx * dy, sources, storage, L.dt, L.alpha, h0[c], cond, hk, &hn)) continue;
            divisor = full ? 5.0 : 1.0;
        }
        const double change = std::fabs(hn - hs) / divisor;
        maxChange = std::max(maxChange, change);
        if (adaptive) {
            const double w = AdaptiveFactor(hn, hs, L.hp[r][c]);
            StoreShared(h[c], hs + w * (hn - hs));
            L.hp[r][c] = hs;
            sum += w;
            ++count;
        } else {
            StoreShared(h[c], sor == 1.0 ? hn : hs + sor * (hn - hs));
        }
    }
    return maxChange;
}

}  // namespace

SweepResult SorSweep(const SorLayer& layer, int firstRow, int lastRow) {
    double maxChange = 0, sum = 0;
    std::int64_t count = 0;
    // A small band is swept by one thread: a sweep is far cheaper than waking a team.
    const bool threaded = static_cast<std::int64_t>(lastRow - firstRow + 1) * layer.ncols >= threadedCells;
#pragma omp parallel for schedule(runtime) reduction(max : maxChange) reduction(+ : sum, count) if (threaded)
    for (int r = firstRow; r <= lastRow; ++r) {
        if (layer.h[r] == nullptr) continue;
        maxChange = std::max(maxChange, SweepRow(layer, r, sum, count));
    }
    return {maxChange, sum, count};
}

void PrepareSweeps(const SorLayer& layer, int firstRow, int lastRow, SorCell* cells) {
    const bool threaded = static_cast<std::int64_t>(lastRow - firstRow + 1) * layer.ncols >= threadedCells;
#pragma omp parallel for schedule(runtime) if (threaded)
    for (int r = firstRow; r <= lastRow; ++r) {
        if (layer.h[r] == nullptr) continue;
        const std::uint8_t* upd = layer.update + static_cast<std::int64_t>(r) * layer.stride;
        SorCell* row = cells + static_cast<std::int64_t>(r - firstRow) * layer.stride;
        for (int c = 1; c <= layer.ncols; ++c)
            if (upd[c] != 0) row[c] = CellTerms(layer, r, c);
    }
}

}  // namespace gwnum
