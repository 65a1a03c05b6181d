// Leakage, face transmissivities, the adaptive factor and the over-relaxation sweep.
#include "lateral/gwflow_numerics.hpp"

#include <omp.h>
#include <sched.h>

#include "kernel/hotloop.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

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

// The head change of a cell whose start head is at or above its top counts this fraction.
constexpr double kFullDivisor = 5.0;

inline double LoadShared(double& x) { return std::atomic_ref<double>(x).load(std::memory_order_relaxed); }
inline void StoreShared(double& x, double v) { std::atomic_ref<double>(x).store(v, std::memory_order_relaxed); }

// The rows of the grids the terms of a row's cells read, taken once per row (null where a grid
// is absent; north: there is a row above).
struct TermRows {
    const double *dx, *dy, *tyN, *tx, *ty, *h0, *top, *st, *st1, *leakBelow, *leakAbove, *fixQ;
    bool north;
};

TermRows TermRowsOf(const SorLayer& L, int r) {
    TermRows R;
    R.north = r > 1;
    R.dx = L.dx != nullptr ? L.dx[r] : nullptr;
    R.dy = L.dy != nullptr ? L.dy[r] : nullptr;
    R.tyN = R.north ? L.ty[r - 1] : nullptr;
    R.tx = L.tx[r];
    R.ty = L.ty[r];
    R.h0 = L.h0[r];
    R.top = L.top[r];
    R.st = L.st[r];
    R.st1 = L.st1[r];
    R.leakBelow = L.leakBelow != nullptr ? L.leakBelow[r] : nullptr;
    R.leakAbove = L.leakAbove != nullptr ? L.leakAbove[r] : nullptr;
    R.fixQ = L.fixQ[r];
    return R;
}

// The terms of the cell in column c of the row R that do not depend on the current heads.
SorCell CellTerms(const SorLayer& L, const TermRows& R, int c) {
    const double dx = R.dx != nullptr ? R.dx[c] : L.cellsize;
    const double dy = R.dy != nullptr ? R.dy[c] : L.cellsize;
    const double rx = dx / dy, ry = dy / dx;
    SorCell t;
    t.cond[0] = R.north ? rx * R.tyN[c] : 0.0;
    t.cond[1] = ry * R.tx[c];
    t.cond[2] = rx * R.ty[c];
    t.cond[3] = c > 1 ? ry * R.tx[c - 1] : 0.0;
    const double h0 = R.h0[c];
    const bool full = h0 >= R.top[c];
    const double storage = StepStorage(h0, R.top[c], R.st[c], R.st1[c]);
    double sources = 0;
    if (R.leakBelow != nullptr) sources += R.leakBelow[c];
    if (R.leakAbove != nullptr) sources -= R.leakAbove[c];
    const double q = R.fixQ[c];
    if (q > L.nodata) sources += q;
    // As CellHead: the sum, the denominator and the start-head part in its order.
    const double area = dx * dy;
    const double sumC = t.cond[0] + t.cond[1] + t.cond[2] + t.cond[3];
    t.den = L.alpha * sumC + storage * area / L.dt;
    t.areaQ = area * (storage / L.dt * h0 + sources);
    t.old = (1.0 - L.alpha) * h0 * sumC;
    t.divisor = full ? kFullDivisor : 1.0;
    return t;
}

// The rows a cell update reads and writes: its own row, the rows above and below (the row
// itself stands in where there is none; its values are not used) and the prepared terms.
struct SweepRowRefs {
    double* h;
    const double* h0;
    double* hN;
    const double* h0N;
    double* hS;
    const double* h0S;
    double* hp;
    const std::uint8_t* upd;
    const SorCell* cells;  // null: the terms are computed per cell
    RowSpan span;          // the columns the sweep updates (all without prepared spans)
    bool north, south;
};

SweepRowRefs RowRefs(const SorLayer& L, int r) {
    SweepRowRefs R;
    R.north = r > 1;
    R.south = r < L.nrows;
    R.h = L.h[r];
    R.h0 = L.h0[r];
    R.hN = L.h[R.north ? r - 1 : r];
    R.h0N = L.h0[R.north ? r - 1 : r];
    R.hS = L.h[R.south ? r + 1 : r];
    R.h0S = L.h0[R.south ? r + 1 : r];
    R.hp = L.hp != nullptr ? L.hp[r] : nullptr;
    R.upd = L.update + static_cast<std::int64_t>(r) * L.stride;
    R.cells = L.cells != nullptr ? L.cells + static_cast<std::int64_t>(r - L.cellsFirstRow) * L.stride : nullptr;
    R.span = L.spans != nullptr ? L.spans[r - L.cellsFirstRow] : RowSpan{1, L.ncols};
    return R;
}

// Largest head changes of cells whose change counts a fifth (start head at or above the top)
// and of the others, kept apart: the fifth of the largest is the largest of the fifths, as
// rounding never reverses an order, so the sweep divides once instead of once per cell.
struct LargestChanges {
    double full = 0, rest = 0;
    // Without a branch: the other largest is kept by a maximum with 0 (neither goes below 0),
    // so cells of both kinds mixed along a row cost no mispredicted jumps.
    void Add(double change, double divisor) {
        const bool isFull = divisor == kFullDivisor;
        full = std::max(full, isFull ? change : 0.0);
        rest = std::max(rest, isFull ? 0.0 : change);
    }
    double Max() const { return std::max(rest, full / kFullDivisor); }
};

// Updates the cell in column c of a row with the prepared terms and adds its change to m.
// With the adaptive factor the factor applied is stored at *factor (left alone for a cell the
// sweep leaves alone).
inline void UpdatePreparedCell(const SorLayer& L, const SweepRowRefs& R, int c, double* factor, LargestChanges& m) {
    if (R.upd[c] == 0) return;
    const double a = L.alpha, b = 1.0 - L.alpha;
    const int ncols = L.ncols;
    double* h = R.h;
    const double* h0 = R.h0;
    const double hs = LoadShared(h[c]);
    const double hk[4] = {R.north ? a * LoadShared(R.hN[c]) + b * R.h0N[c] : hs,
                          c < ncols ? a * h[c + 1] + b * h0[c + 1] : hs,
                          R.south ? a * LoadShared(R.hS[c]) + b * R.h0S[c] : hs,
                          c > 1 ? a * h[c - 1] + b * h0[c - 1] : hs};
    // As CellHead, with the terms of the step.
    const SorCell& t = R.cells[c];
    if (t.den == 0) return;
    const double hn =
        (t.areaQ + t.cond[0] * hk[0] + t.cond[1] * hk[1] + t.cond[2] * hk[2] + t.cond[3] * hk[3] - t.old) / t.den;
    m.Add(std::fabs(hn - hs), t.divisor);
    if (L.adaptive) {
        const double w = AdaptiveFactor(hn, hs, R.hp[c]);
        StoreShared(h[c], hs + w * (hn - hs));
        R.hp[c] = hs;
        *factor = w;
    } else {
        StoreShared(h[c], L.sor == 1.0 ? hn : hs + L.sor * (hn - hs));
    }
}

// Updates the cells of columns first..last of a row with prepared terms, each with a west and an
// east neighbour (1 < first, last < ncols), as UpdatePreparedCell does, with what holds for the
// whole row known beforehand: whether it has a row above and below and whether the factor is
// adaptive. Adds the changes to m and the adaptive factors to sum and count.
template <bool kNorth, bool kSouth, bool kAdaptive>
void SweepInnerColumns(const SorLayer& L, const SweepRowRefs& R, int first, int last, LargestChanges& m, double& sum,
                       std::int64_t& count) {
    const double a = L.alpha, b = 1.0 - L.alpha, sor = L.sor;
    const bool plain = L.sor == 1.0;
    const int ncols = L.ncols;
    double* const h = R.h;
    const double* const h0 = R.h0;
    for (int c = first; c <= last; ++c) {
        __builtin_prefetch(&R.cells[std::min(c + 8, ncols)]);
        if (R.upd[c] == 0) continue;
        const SorCell& t = R.cells[c];
        if (t.den == 0) continue;
        const double hs = LoadShared(h[c]);
        const double hk0 = kNorth ? a * LoadShared(R.hN[c]) + b * R.h0N[c] : hs;
        const double hk1 = a * h[c + 1] + b * h0[c + 1];
        const double hk2 = kSouth ? a * LoadShared(R.hS[c]) + b * R.h0S[c] : hs;
        const double hk3 = a * h[c - 1] + b * h0[c - 1];
        const double hn = (t.areaQ + t.cond[0] * hk0 + t.cond[1] * hk1 + t.cond[2] * hk2 + t.cond[3] * hk3 - t.old) / t.den;
        m.Add(std::fabs(hn - hs), t.divisor);
        if constexpr (kAdaptive) {
            const double w = AdaptiveFactor(hn, hs, R.hp[c]);
            StoreShared(h[c], hs + w * (hn - hs));
            R.hp[c] = hs;
            if (w != 0) {
                sum += w;
                ++count;
            }
        } else {
            StoreShared(h[c], plain ? hn : hs + sor * (hn - hs));
        }
    }
}

// Sweeps one row; returns its largest change and adds the adaptive factors to sum and count.
double SweepRow(const SorLayer& L, int r, double& sum, std::int64_t& count) {
    double maxChange = 0;
    const SweepRowRefs R = RowRefs(L, r);
    const int ncols = L.ncols;
    if (R.cells != nullptr) {
        LargestChanges m;
        auto edge = [&](int from, int to) {
            for (int c = from; c <= to; ++c) {
                // One cache line per cell: ask for the lines ahead, as the separate grids' streams did.
                __builtin_prefetch(&R.cells[std::min(c + 8, ncols)]);
                double w = 0;
                UpdatePreparedCell(L, R, c, &w, m);
                if (w != 0) {
                    sum += w;
                    ++count;
                }
            }
        };
        // The columns with both neighbours along the row take the loop made for the row: a row
        // swept alone (the band's first rows, rows at the ends of the process's rows) costs no
        // tests per cell that the row answers once.
        const int first = std::max(R.span.first, 2), last = std::min(R.span.last, ncols - 1);
        if (first > last) {
            edge(R.span.first, R.span.last);
            return m.Max();
        }
        edge(R.span.first, first - 1);
        const int kind = (R.north ? 4 : 0) + (R.south ? 2 : 0) + (L.adaptive ? 1 : 0);
        switch (kind) {
            case 0: SweepInnerColumns<false, false, false>(L, R, first, last, m, sum, count); break;
            case 1: SweepInnerColumns<false, false, true>(L, R, first, last, m, sum, count); break;
            case 2: SweepInnerColumns<false, true, false>(L, R, first, last, m, sum, count); break;
            case 3: SweepInnerColumns<false, true, true>(L, R, first, last, m, sum, count); break;
            case 4: SweepInnerColumns<true, false, false>(L, R, first, last, m, sum, count); break;
            case 5: SweepInnerColumns<true, false, true>(L, R, first, last, m, sum, count); break;
            case 6: SweepInnerColumns<true, true, false>(L, R, first, last, m, sum, count); break;
            default: SweepInnerColumns<true, true, true>(L, R, first, last, m, sum, count); break;
        }
        edge(last + 1, R.span.last);
        return m.Max();
    }
    const double a = L.alpha, b = 1.0 - L.alpha;
    double* h = R.h;
    const double* h0 = R.h0;
    const bool north = R.north, south = R.south;
    for (int c = 1; c <= ncols; ++c) {
        if (R.upd[c] == 0) continue;
        const double hs = LoadShared(h[c]);
        const double hk[4] = {north ? a * LoadShared(R.hN[c]) + b * R.h0N[c] : hs,
                              c < ncols ? a * h[c + 1] + b * h0[c + 1] : hs,
                              south ? a * LoadShared(R.hS[c]) + b * R.h0S[c] : hs,
                              c > 1 ? a * h[c - 1] + b * h0[c - 1] : hs};
        double hn;
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
        const double divisor = full ? kFullDivisor : 1.0;
        const double change = std::fabs(hn - hs) / divisor;
        maxChange = std::max(maxChange, change);
        if (L.adaptive) {
            const double w = AdaptiveFactor(hn, hs, L.hp[r][c]);
            StoreShared(h[c], hs + w * (hn - hs));
            L.hp[r][c] = hs;
            sum += w;
            ++count;
        } else {
            StoreShared(h[c], L.sor == 1.0 ? hn : hs + L.sor * (hn - hs));
        }
    }
    return maxChange;
}

// Rows swept together by SweepRowGroup: the widest group first, then the narrower ones for the
// rows left at the end of a run of held rows.
constexpr int kGroupRows = kWideGroupRows;
constexpr int kNarrowGroupRows = 4;

// The rows one thread sweeps together from row r of rows ..lastRow: a wide group (only where
// the groups go through vector registers: cell by cell a wide group is slower than a narrow
// one), a narrow group or a single row, as many of the rows from r as are held. SorSweep and
// PrepareSweeps follow the same plan, so the lane terms lie where the sweep looks for them.
int GroupAt(const SorLayer& L, int r, int lastRow, bool wide) {
    const int most = wide ? kGroupRows : kNarrowGroupRows;
    int held = 0;
    while (held < most && r + held <= lastRow && L.h[r + held] != nullptr) ++held;
    if (held == kGroupRows) return kGroupRows;
    if (held >= kNarrowGroupRows) return kNarrowGroupRows;
    return 1;
}

// ---- Wide groups in vector registers (processors with AVX2).
// In stage s of a wide group the kGroupRows cells (row r0 + i, column s - i) go through the
// same operations as in UpdatePreparedCell, four lanes to a register, each lane the operations
// of its own cell in their order (no fused multiply-add: the file is built with contraction off
// and the AVX2 functions do not enable FMA), so every head is the same bit for bit. What a cell
// reads comes from the stage before: its west neighbour and the cell above (the lane above one
// column back) are that stage's new heads, the cell below is the lane below's east neighbour
// of this stage (old), so per stage only the east neighbours are loaded. The stages where a
// lane lacks a west or east neighbour (the first kGroupRows and the last kGroupRows) and
// groups at the first or last row of the grid run the scalar updates.
constexpr int kLaneRegs = kGroupRows / 4;
// Terms of one stage per register of four lanes: the four conductances, areaQ, old, den (0 for
// a cell the sweep leaves alone), divisor and (1 - alpha) times the start head of the lane's
// east neighbour.
constexpr int kLaneFields = 9;
constexpr int kStageDoubles = kLaneRegs * kLaneFields * 4;
constexpr int kPrefetchStages = 4;
enum LaneField { kC0, kC1, kC2, kC3, kAreaQ, kOld, kDen, kDivisor, kEastStart };
// Whether the vector sweep can take the group from r0: neither the first nor the last row of the
// grid, at least one stage with both neighbours in every lane.
bool LaneGroup(const SorLayer& L, int r0) {
    return r0 > 1 && r0 + kGroupRows - 1 < L.nrows && L.ncols >= kGroupRows + 2;
}

// The stages of the group of G rows from r0 that update a cell: lane i (row r0 + i) works in its
// row's span shifted by i stages (first > last: none). Lanes before firstLane update nothing.
RowSpan GroupStages(const SorLayer& L, int r0, int G, int firstLane = 0) {
    RowSpan stages{L.ncols + G, 0};
    for (int i = firstLane; i < G; ++i) {
        const RowSpan span = L.spans != nullptr ? L.spans[r0 + i - L.cellsFirstRow] : RowSpan{1, L.ncols};
        if (span.first > span.last) continue;
        stages.first = std::min(stages.first, span.first + i);
        stages.last = std::max(stages.last, span.last + i);
    }
    return stages;
}

// The stages of a wide group the vector registers take: those that update a cell and where every
// lane has its west and east neighbour.
RowSpan LaneStageRange(const SorLayer& L, int r0, int firstLane = 0) {
    const RowSpan s = GroupStages(L, r0, kGroupRows, firstLane);
    return {std::max(s.first, kGroupRows + 1), std::min(s.last, L.ncols - 1)};
}

// The last rows of a band fewer than a wide group go through the vector registers in the group
// of the band's last kGroupRows rows, the rows above them (swept before) in lanes that update
// nothing, where there are at least kMinTailRows of them (fewer are cheaper cell by cell).
constexpr int kMinTailRows = 3;
// The count of such last rows of the band from L.bandFirst to lastRow (0: none).
int TailRows(const SorLayer& L, int lastRow) {
    if (L.bandFirst < 1) return 0;
    const int k = (lastRow - L.bandFirst + 1) % kGroupRows;
    const int r0 = lastRow - kGroupRows + 1;
    return k >= kMinTailRows && r0 >= L.bandFirst && LaneGroup(L, r0) ? k : 0;
}
// Their lanes lie after those of the band's rows.
const double* TailLanes(const SorLayer& L, int lastRow) {
    return L.lanes + static_cast<std::int64_t>(lastRow + 1 - L.cellsFirstRow) * L.stride * kLaneFields;
}

// Lays the terms of the wide group from r0 out by stage (see LaneTermsSize for the place; at
// tail for a band's last rows): those of the stages the vector registers take, and the east start
// terms of the two stages before. The lanes before firstLane update nothing.
void PrepareLanes(const SorLayer& L, int firstRow, int r0, const SorCell* cells, double* lanes, int firstLane = 0,
                  double* tail = nullptr) {
    const std::int64_t stride = L.stride;
    double* base = tail != nullptr ? tail : lanes + static_cast<std::int64_t>(r0 - firstRow) * stride * kLaneFields;
    const double b = 1.0 - L.alpha;
    const RowSpan range = LaneStageRange(L, r0, firstLane);
    if (range.first > range.last) return;
    for (int s = range.first - 2; s <= range.last; ++s) {
        double* stage = base + static_cast<std::int64_t>(s) * kStageDoubles;
        for (int i = 0; i < kGroupRows; ++i) {
            double* v = stage + (i / 4) * kLaneFields * 4 + i % 4;
            const int c = s - i;
            v[kEastStart * 4] = b * L.h0[r0 + i][c + 1];
            if (s < kGroupRows + 1) continue;
            const std::uint8_t upd = i < firstLane ? 0 : L.update[static_cast<std::int64_t>(r0 + i) * stride + c];
            const SorCell& t = cells[static_cast<std::int64_t>(r0 + i - firstRow) * stride + c];
            const SorCell none{};
            const SorCell& u = upd != 0 ? t : none;
            for (int k = 0; k < 4; ++k) v[(kC0 + k) * 4] = u.cond[k];
            v[kAreaQ * 4] = u.areaQ;
            v[kOld * 4] = u.old;
            v[kDen * 4] = upd != 0 ? t.den : 0.0;
            v[kDivisor * 4] = u.divisor;
        }
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
#define GW_AVX2 __attribute__((target("avx2")))

// Lanes one place down (lane i takes lane i - 1), lane 0 taking first.
GW_AVX2 inline void ShiftDown(const __m256d* x, double first, __m256d* out) {
    __m256d p[kLaneRegs];
    for (int k = 0; k < kLaneRegs; ++k) p[k] = _mm256_permute4x64_pd(x[k], _MM_SHUFFLE(2, 1, 0, 3));
    out[0] = _mm256_blend_pd(p[0], _mm256_set1_pd(first), 0x1);
    for (int k = 1; k < kLaneRegs; ++k) out[k] = _mm256_blend_pd(p[k], p[k - 1], 0x1);
}

// Lanes one place up (lane i takes lane i + 1), the last lane taking last.
GW_AVX2 inline void ShiftUp(const __m256d* x, double last, __m256d* out) {
    __m256d p[kLaneRegs];
    for (int k = 0; k < kLaneRegs; ++k) p[k] = _mm256_permute4x64_pd(x[k], _MM_SHUFFLE(0, 3, 2, 1));
    for (int k = 0; k + 1 < kLaneRegs; ++k) out[k] = _mm256_blend_pd(p[k], p[k + 1], 0x8);
    out[kLaneRegs - 1] = _mm256_blend_pd(p[kLaneRegs - 1], _mm256_set1_pd(last), 0x8);
}

// Lane i of register k from row r0 + 4k + i at column s - 4k - i + offset.
GW_AVX2 inline void LoadSkewed(double* const* rows, int s, int offset, __m256d* out) {
    for (int k = 0; k < kLaneRegs; ++k) {
        const int i = 4 * k, c = s - i + offset;
        out[k] = _mm256_set_pd(rows[i + 3][c - 3], rows[i + 2][c - 2], rows[i + 1][c - 1], rows[i][c]);
    }
}

GW_AVX2 inline void StoreSkewed(double* const* rows, int s, const __m256d* v) {
    for (int k = 0; k < kLaneRegs; ++k) {
        alignas(32) double x[4];
        _mm256_store_pd(x, v[k]);
        const int i = 4 * k;
        for (int j = 0; j < 4; ++j) rows[i + j][s - i - j] = x[j];
    }
}

// Field f of register k of a stage's terms.
GW_AVX2 inline __m256d LaneField(const double* stage, int k, int f) {
    return _mm256_loadu_pd(stage + (k * kLaneFields + f) * 4);
}

// The stages from first to last of the wide group from r0 (rows: its kGroupRows rows of h, hp,
// factors). Adds the largest changes to m. With kBlock only the lanes whose column lies in c0..c1
// update their cell (a block of columns of a team's sweep); the others keep their heads, previous
// iterates and factors, and their rows are the same thread's.
template <bool kBlock>
GW_AVX2 void LaneStages(const SorLayer& L, int r0, int first, int last, double* factors, LargestChanges& m,
                        const double* tail, int c0 = 1, int c1 = 0) {
    const double* base =
        tail != nullptr ? tail : L.lanes + static_cast<std::int64_t>(r0 - L.cellsFirstRow) * L.stride * kLaneFields;
    double* h[kGroupRows];
    double* hp[kGroupRows];
    double* w[kGroupRows];
    for (int i = 0; i < kGroupRows; ++i) {
        h[i] = L.h[r0 + i];
        hp[i] = L.adaptive ? L.hp[r0 + i] : nullptr;
        w[i] = factors + static_cast<std::int64_t>(i) * L.stride;
    }
    const double* hAbove = L.h[r0 - 1];
    const double* h0Above = L.h0[r0 - 1];
    const double* hBelow = L.h[r0 + kGroupRows];
    const double* h0Below = L.h0[r0 + kGroupRows];
    const double bs = 1.0 - L.alpha;
    const __m256d a = _mm256_set1_pd(L.alpha);
    const __m256d zero = _mm256_setzero_pd(), one = _mm256_set1_pd(1.0), two = _mm256_set1_pd(2.0);
    const __m256d fullDivisor = _mm256_set1_pd(kFullDivisor);
    const __m256d sor = _mm256_set1_pd(L.sor);
    const __m256d sign = _mm256_set1_pd(-0.0);
    const bool plain = L.sor == 1.0;
    // The lane numbers of each register, for the lanes in the block.
    __m256d laneOf[kLaneRegs];
    for (int k = 0; k < kLaneRegs; ++k) laneOf[k] = _mm256_set_pd(4 * k + 3, 4 * k + 2, 4 * k + 1, 4 * k);
    // The heads of the stage before (new), the heads of this stage's cells (old) and the east
    // start terms of the two stages before.
    __m256d hPrev[kLaneRegs], hCur[kLaneRegs], e1[kLaneRegs], e2[kLaneRegs];
    LoadSkewed(h, first, -1, hPrev);
    LoadSkewed(h, first, 0, hCur);
    for (int k = 0; k < kLaneRegs; ++k) {
        e1[k] = LaneField(base + static_cast<std::int64_t>(first - 1) * kStageDoubles, k, kEastStart);
        e2[k] = LaneField(base + static_cast<std::int64_t>(first - 2) * kStageDoubles, k, kEastStart);
    }
    __m256d maxFull = zero, maxRest = zero;
    for (int s = first; s <= last; ++s) {
        const double* stage = base + static_cast<std::int64_t>(s) * kStageDoubles;
        // The terms of a stage fill several cache lines and are read once: ask for those of a
        // later stage ahead of the streams the processor would find by itself.
        if (s + kPrefetchStages <= last)
            for (int line = 0; line < kStageDoubles; line += 8)
                __builtin_prefetch(stage + kPrefetchStages * kStageDoubles + line);
        __m256d hEast[kLaneRegs], eEast[kLaneRegs], hN[kLaneRegs], eN[kLaneRegs], hS[kLaneRegs], eS[kLaneRegs];
        LoadSkewed(h, s, 1, hEast);
        for (int k = 0; k < kLaneRegs; ++k) eEast[k] = LaneField(stage, k, kEastStart);
        // The first lane reads the row above in column s, the last lane the row below in column
        // s - kGroupRows + 1. In a block these rows are other threads' pieces: where the lane lies
        // outside the block (its value is not used) it reads the block's nearest column instead,
        // which no thread writes meanwhile (the piece above has finished the block, the piece
        // below not begun it).
        const int above = kBlock ? std::min(s, c1) : s;
        const int below = kBlock ? std::max(s - kGroupRows + 1, c0) : s - kGroupRows + 1;
        ShiftDown(hPrev, hAbove[above], hN);
        ShiftDown(e2, bs * h0Above[above], eN);
        ShiftUp(hEast, hBelow[below], hS);
        ShiftUp(eEast, bs * h0Below[below], eS);
        __m256d hNew[kLaneRegs];
        // Lane i works in column s - i: in the block where s - c1 <= i <= s - c0.
        const __m256d fromLane = _mm256_set1_pd(s - c1), toLane = _mm256_set1_pd(s - c0);
        for (int k = 0; k < kLaneRegs; ++k) {
            const __m256d hs = hCur[k];
            const __m256d k0 = _mm256_add_pd(_mm256_mul_pd(a, hN[k]), eN[k]);
            const __m256d k1 = _mm256_add_pd(_mm256_mul_pd(a, hEast[k]), eEast[k]);
            const __m256d k2 = _mm256_add_pd(_mm256_mul_pd(a, hS[k]), eS[k]);
            const __m256d k3 = _mm256_add_pd(_mm256_mul_pd(a, hPrev[k]), e2[k]);
            __m256d x = _mm256_add_pd(LaneField(stage, k, kAreaQ), _mm256_mul_pd(LaneField(stage, k, kC0), k0));
            x = _mm256_add_pd(x, _mm256_mul_pd(LaneField(stage, k, kC1), k1));
            x = _mm256_add_pd(x, _mm256_mul_pd(LaneField(stage, k, kC2), k2));
            x = _mm256_add_pd(x, _mm256_mul_pd(LaneField(stage, k, kC3), k3));
            x = _mm256_sub_pd(x, LaneField(stage, k, kOld));
            const __m256d den = LaneField(stage, k, kDen);
            const __m256d hn = _mm256_div_pd(x, den);
            __m256d update = _mm256_cmp_pd(den, zero, _CMP_NEQ_UQ);
            if constexpr (kBlock)
                update = _mm256_and_pd(update, _mm256_and_pd(_mm256_cmp_pd(laneOf[k], fromLane, _CMP_GE_OQ),
                                                             _mm256_cmp_pd(laneOf[k], toLane, _CMP_LE_OQ)));
            const __m256d d = _mm256_sub_pd(hn, hs);
            const __m256d change = _mm256_and_pd(_mm256_andnot_pd(sign, d), update);
            const __m256d full = _mm256_cmp_pd(LaneField(stage, k, kDivisor), fullDivisor, _CMP_EQ_OQ);
            // As std::max(kept, change): a NaN change keeps the kept value.
            maxFull = _mm256_max_pd(_mm256_and_pd(change, full), maxFull);
            maxRest = _mm256_max_pd(_mm256_andnot_pd(full, change), maxRest);
            __m256d next;
            if (L.adaptive) {
                // As AdaptiveFactor.
                alignas(32) double pv[4];
                const int i = 4 * k;
                for (int j = 0; j < 4; ++j) pv[j] = hp[i + j][s - i - j];
                const __m256d p = _mm256_load_pd(pv);
                __m256d f = _mm256_add_pd(one, _mm256_div_pd(d, _mm256_sub_pd(hs, p)));
                f = _mm256_blendv_pd(f, one, _mm256_cmp_pd(f, zero, _CMP_LE_OQ));
                f = _mm256_blendv_pd(f, two, _mm256_cmp_pd(two, f, _CMP_LT_OQ));
                f = _mm256_blendv_pd(f, one, _mm256_cmp_pd(p, hs, _CMP_EQ_OQ));
                next = _mm256_add_pd(hs, _mm256_mul_pd(f, d));
                alignas(32) double fv[4], hv[4];
                _mm256_store_pd(fv, _mm256_and_pd(f, update));
                _mm256_store_pd(hv, _mm256_blendv_pd(p, hs, update));
                for (int j = 0; j < 4; ++j) {
                    // A lane outside the block keeps the factor its own block stored.
                    if (!kBlock || (i + j >= s - c1 && i + j <= s - c0)) w[i + j][s - i - j] = fv[j];
                    hp[i + j][s - i - j] = hv[j];
                }
            } else {
                next = plain ? hn : _mm256_add_pd(hs, _mm256_mul_pd(sor, d));
            }
            hNew[k] = _mm256_blendv_pd(hs, next, update);
        }
        StoreSkewed(h, s, hNew);
        for (int k = 0; k < kLaneRegs; ++k) {
            hPrev[k] = hNew[k];
            hCur[k] = hEast[k];
            e2[k] = e1[k];
            e1[k] = eEast[k];
        }
    }
    alignas(32) double f[4], r[4];
    _mm256_store_pd(f, maxFull);
    _mm256_store_pd(r, maxRest);
    for (int j = 0; j < 4; ++j) {
        m.full = std::max(m.full, f[j]);
        m.rest = std::max(m.rest, r[j]);
    }
}
#else
template <bool kBlock>
void LaneStages(const SorLayer&, int, int, int, double*, LargestChanges&, const double*, int = 1, int = 0) {}
#endif


// Sweeps the columns c0..c1 of G consecutive rows from r0 with prepared terms, each row one column
// behind the row above: row r0 + i updates column s - i in stage s. Every cell reads what the
// sweep row after row gives it: the cell above and the cell to the west are already updated (the
// row above is ahead, the west cell came a stage earlier), the cells to the east and below are not
// yet (the row below is behind). The updates of one stage depend on each other not at all, so the
// processor overlaps their chains of operations, which one row after the other runs one at a
// time; a chain (products, sums, the division) is far longer than the work of one update, so the
// more rows run side by side, the less the processor waits. factors holds G rows of stride values
// for the adaptive factors (0 where none is applied). The rows before row r0 + firstLane are left
// as they are (a band's last rows, their lanes at tail). Sweeping a group's columns in blocks from
// the west, one block after the other, gives the updates of one sweep of its whole rows: every
// cell of a block is updated before any cell east of the block.
template <int G>
void SweepGroupColumns(const SorLayer& L, int r0, int c0, int c1, double* factors, LargestChanges& m,
                       int firstLane = 0, const double* tail = nullptr) {
    SweepRowRefs R[G];
    for (int i = 0; i < G; ++i) R[i] = RowRefs(L, r0 + i);
    const int ncols = L.ncols;
    const std::int64_t stride = L.stride;
    if (L.adaptive)
        for (int i = firstLane; i < G; ++i) {
            const int from = std::max(c0, R[i].span.first), to = std::min(c1, R[i].span.last);
            if (from <= to) std::fill(factors + i * stride + from, factors + i * stride + to + 1, 0.0);
        }
    double* w = factors;
    // Stage s: the rows whose column s - i lies in the block (the lower rows begin later, the upper
    // rows end earlier). Stages outside the group's spans update nothing and are left out.
    auto stage = [&](int s) {
        for (int i = std::max(firstLane, s - c1); i <= std::min(G - 1, s - c0); ++i) {
            const int c = s - i;
            UpdatePreparedCell(L, R[i], c, w + i * stride + c, m);
        }
    };
    RowSpan stages = GroupStages(L, r0, G, firstLane);
    stages = {std::max(stages.first, c0), std::min(stages.last, c1 + G - 1)};
    int s = stages.first;
    if (G == kGroupRows && LaneGroup(L, r0)) {
        // The vector registers take the stages of the block; where some lanes lie outside it
        // (the first and last kGroupRows - 1 stages of a block of a row's columns) these keep
        // their cells as they are.
        const bool whole = c0 <= 1 && c1 >= ncols;
        RowSpan lanes = LaneStageRange(L, r0, firstLane);
        lanes = {std::max(lanes.first, c0), std::min(lanes.last, c1 + G - 1)};
        if (lanes.first <= lanes.last) {
            for (; s < lanes.first; ++s) stage(s);
            if (whole)
                LaneStages<false>(L, r0, lanes.first, lanes.last, factors, m, tail);
            else
                LaneStages<true>(L, r0, lanes.first, lanes.last, factors, m, tail, c0, c1);
            s = lanes.last + 1;
        }
    }
    for (; s <= stages.last; ++s) {
        for (int i = firstLane; i < G; ++i) __builtin_prefetch(&R[i].cells[std::clamp(s - i + 8, 0, ncols)]);
        stage(s);
    }
}

// Sweeps the whole rows of the group of G rows from r0 (SweepGroupColumns) and adds the adaptive
// factors to sum and count in row order.
template <int G>
double SweepRowGroup(const SorLayer& L, int r0, double* factors, double& sum, std::int64_t& count, int firstLane = 0,
                     const double* tail = nullptr) {
    LargestChanges m;
    SweepGroupColumns<G>(L, r0, 1, L.ncols, factors, m, firstLane, tail);
    if (L.adaptive) {
        const std::int64_t stride = L.stride;
        for (int i = firstLane; i < G; ++i) {
            const RowSpan span = RowRefs(L, r0 + i).span;
            for (int c = span.first; c <= span.last; ++c) {
                const double f = factors[i * stride + c];
                if (f != 0) {
                    sum += f;
                    ++count;
                }
            }
        }
    }
    return m.Max();
}

// ---- A team of threads sweeping one band in the order of one thread.
// The band is cut into the wide groups, narrow groups and single rows of the one-thread sweep
// (SorSweep's plan, so that the lane terms lie where the groups look for them), these are gathered
// into pieces of rows, and the columns are cut into one block per thread. Block b of a piece is
// swept group after group once the piece above has finished block b and the piece itself block
// b - 1: then each cell reads what the sweep row after row gives it (the row above and the west
// cell updated, the east cell and the row below not yet), whatever the number of threads and
// whichever thread sweeps the block, and no two threads touch the same cell at the same time.
// The pieces are dealt to the threads in turn (piece p to thread p mod team, the same rows to the
// same thread in every sweep, whose caches hold them); a thread sweeps the blocks of its piece one
// after the other. A thread whose own piece is held up for a while sweeps the ready block of the
// first piece that has one instead: on a shared machine a thread of the team may wait for a core,
// and it then holds up only the block it sweeps, not its pieces and the pieces below them (the
// rest of the team sweeps them).
// About kPiecesPerThread pieces per thread keep the threads' wait for the first piece small
// against their work, and the pieces large enough to be worth a hand-over; where the blocks are
// narrow (many threads), pieces of more rows give each block minPieceBlockCells cells.
constexpr int kPiecesPerThread = 4;
constexpr int kMinBlockCols = 16;
// Looks at the pieces' progress before a thread without a ready block sleeps (as long as the
// runtime's own threads spin at a barrier: a wake-up costs far more than a stage).
constexpr int kSpins = 10000;
// Looks between which a spinning thread offers its core to any other thread ready to run: on a
// machine with more running threads than cores a thread of the team waiting for a block may sit
// on the core the thread sweeping that block waits for (with 8 threads at a load of about 19,
// the sweeps of the 6-hour run on 600 x 500 cells took 2.2 s against 2.5 s without); where no
// other thread waits for the core, the offer returns at once (about 0.16 us, against 0.7 us for
// the 64 looks), far less than a block.
constexpr int kYieldSpins = 64;
// One look of a spinning wait: a pause for the core's sibling, and every kYieldSpins looks the
// core offered to another thread.
inline void SpinOnce(int spins) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
    if (spins % kYieldSpins == kYieldSpins - 1) sched_yield();
}
// Looks at its own piece before a thread looks for a ready block of another piece (every
// kHelpSpins looks): a piece that flows waits far less for the piece above.
constexpr int kHelpSpins = 2000;
// Each piece has a count of its finished blocks, which the thread of the piece below waits on,
// and a count of its claimed blocks, which only the threads claiming a block touch: apart, so
// that a claim does not take the line the waiting thread reads. Pieces and counts lie 128 bytes
// apart (the processor fetches lines in pairs), so that a thread waiting on one count does not
// slow the thread writing another.
constexpr int kProgressStride = 64;
constexpr int kClaimedAt = 32;

// Claims the next block of piece p where it is ready (no block of it being swept, not all swept,
// and the piece above past it); returns the block, or -1. blocks: the count of blocks of a piece.
// A piece's claimed count is its finished count, or 1 more while a thread sweeps its next block.
int ClaimBlock(int* progress, int p, int blocks) {
    const std::atomic_ref<int> claimed(progress[p * kProgressStride + kClaimedAt]);
    const std::atomic_ref<int> finished(progress[p * kProgressStride]);
    int b = claimed.load(std::memory_order_relaxed);
    if (finished.load(std::memory_order_acquire) != b || b >= blocks) return -1;
    if (p > 0) {
        const std::atomic_ref<int> above(progress[(p - 1) * kProgressStride]);
        if (above.load(std::memory_order_acquire) <= b) return -1;
    }
    return claimed.compare_exchange_strong(b, b + 1, std::memory_order_acquire) ? b : -1;
}

// A group of the one-thread sweep's plan: G rows from r0 (kGroupRows, kNarrowGroupRows or a single
// row), the rows before r0 + firstLane left alone (the band's last rows, in the group of its last
// kGroupRows rows).
struct SweepUnit {
    int r0, G, firstLane;
};

// The team and the plan of a team's sweep of the held rows firstRow..lastRow: the groups of the
// one-thread sweep (units) and the first group of each piece (pieceStart, then the count of groups).
struct PiecePlan {
    int maxTeam = 1, tail = 0;
};

PiecePlan PlanPieces(const SorLayer& L, int firstRow, int lastRow, std::vector<SweepUnit>& units,
                     std::vector<int>& pieceStart) {
    const int ncols = L.ncols, rows = lastRow - firstRow + 1;
    // Every thread gets half of threadedCells cells at least (a hand-over costs far more than a
    // cell), so a band of threadedCells cells has a team of two.
    const std::int64_t cells = static_cast<std::int64_t>(rows) * ncols;
    PiecePlan plan;
    plan.maxTeam = static_cast<int>(
        std::clamp<std::int64_t>(2 * cells / std::max<std::int64_t>(1, threadedCells), 1, omp_get_max_threads()));
    const int maxTeam = plan.maxTeam;
    const int blockCols = std::max(kMinBlockCols, (ncols + maxTeam - 1) / maxTeam);
    const std::int64_t blockCells = std::max<std::int64_t>(0, minPieceBlockCells);
    const int blockRows = static_cast<int>(std::min<std::int64_t>(rows / maxTeam, (blockCells + blockCols - 1) / blockCols));
    const int pieceRows = std::max({1, rows / (kPiecesPerThread * maxTeam), blockRows});
    units.clear();
    pieceStart.clear();
    const bool wide = L.lanes != nullptr && vectorSweeps && CpuHasAvx2();
    const int tail = wide ? TailRows(L, lastRow) : 0;
    plan.tail = tail;
    int pieceFirst = firstRow;
    for (int r = firstRow; r <= lastRow;) {
        if (tail > 0 && lastRow - r + 1 == tail) {
            // The band's last rows share their group with rows of the wide group above them: the
            // piece of that group sweeps them.
            if (pieceStart.empty()) pieceStart.push_back(0);
            units.push_back({lastRow - kGroupRows + 1, kGroupRows, kGroupRows - tail});
            break;
        }
        const int g = GroupAt(L, r, lastRow, wide);
        if (L.h[r] != nullptr) {
            if (pieceStart.empty() || r - pieceFirst >= pieceRows) {
                pieceStart.push_back(static_cast<int>(units.size()));
                pieceFirst = r;
            }
            units.push_back({r, g, 0});
        }
        r += g;
    }
    if (!units.empty()) pieceStart.push_back(static_cast<int>(units.size()));
    return plan;
}

// Sweeps the held rows firstRow..lastRow with prepared terms on the threads of a team; the
// result as the one-thread sweep gives it (the adaptive factors are stored per cell and added
// in row order afterwards).
SweepResult SweepInPieces(const SorLayer& L, int firstRow, int lastRow, const SweepResult& before) {
    const int ncols = L.ncols, rows = lastRow - firstRow + 1;
    // The groups of the plan and the first group of each piece (then the count of groups).
    static thread_local std::vector<SweepUnit> units;
    static thread_local std::vector<int> pieceStart;
    const PiecePlan planned = PlanPieces(L, firstRow, lastRow, units, pieceStart);
    const int maxTeam = planned.maxTeam, tail = planned.tail;
    if (units.empty()) return before;
    const int pieces = static_cast<int>(pieceStart.size()) - 1;
    static thread_local std::vector<int> progress;
    static thread_local std::vector<double> factors;
    progress.assign(static_cast<std::size_t>(pieces) * kProgressStride, 0);
    const std::int64_t stride = L.stride;
    // The factors of each row at (r - firstRow) * stride; those of the group of the band's last
    // rows after them (its upper lanes, rows of the groups above, store no factors there).
    const std::size_t n = static_cast<std::size_t>(rows + kGroupRows) * static_cast<std::size_t>(stride);
    if (factors.size() < n) factors.resize(n);
    // The buffers of the calling thread, shared with the team.
    int* const done = progress.data();
    double* const fac = factors.data();
    const SweepUnit* const plan = units.data();
    const int* const starts = pieceStart.data();
    double maxChange = before.maxChange;
#pragma omp parallel num_threads(maxTeam) reduction(max : maxChange)
    {
        const int team = omp_get_num_threads();
        const int width = std::max(kMinBlockCols, (ncols + team - 1) / team);
        const int blocks = (ncols + width - 1) / width;
        // A piece's count of finished blocks.
        auto state = [&](int p) { return std::atomic_ref<int>(done[p * kProgressStride]); };
        LargestChanges m;
        auto sweepBlock = [&](int p, int b) {
            const int c0 = 1 + b * width, c1 = std::min(ncols, c0 + width - 1);
            for (int u = starts[p]; u < starts[p + 1]; ++u) {
                const SweepUnit& x = plan[u];
                if (x.firstLane > 0) {
                    SweepGroupColumns<kGroupRows>(L, x.r0, c0, c1, fac + rows * stride, m, x.firstLane,
                                                  TailLanes(L, lastRow));
                    continue;
                }
                double* const w = fac + (x.r0 - firstRow) * stride;
                if (x.G == kGroupRows)
                    SweepGroupColumns<kGroupRows>(L, x.r0, c0, c1, w, m);
                else if (x.G == kNarrowGroupRows)
                    SweepGroupColumns<kNarrowGroupRows>(L, x.r0, c0, c1, w, m);
                else
                    SweepGroupColumns<1>(L, x.r0, c0, c1, w, m);
            }
            state(p).store(b + 1, std::memory_order_release);
            state(p).notify_all();
        };
        // This thread's piece (pieces: none left); the pieces before first are all swept.
        int own = omp_get_thread_num(), first = 0;
        for (int spins = 0;; ++spins) {
            if (own < pieces) {
                const int b = ClaimBlock(done, own, blocks);
                if (b >= 0) {
                    sweepBlock(own, b);
                    spins = 0;
                    continue;
                }
                if (state(own).load(std::memory_order_acquire) == blocks) {
                    own += team;
                    spins = 0;
                    continue;
                }
            }
            // The last piece is swept after all the others (its blocks wait for those above).
            if (own >= pieces && state(pieces - 1).load(std::memory_order_acquire) == blocks) break;
            if (spins % kHelpSpins == kHelpSpins - 1) {
                // The ready block of the first piece that has one.
                int q = first, b = -1;
                for (; q < pieces; ++q) {
                    const int s = state(q).load(std::memory_order_acquire);
                    if (s == blocks) {
                        if (q == first) ++first;
                        continue;
                    }
                    b = ClaimBlock(done, q, blocks);
                    // A piece that has begun nothing: the pieces below it cannot have either.
                    if (b >= 0 || s == 0) break;
                }
                if (b >= 0) {
                    sweepBlock(q, b);
                    // Held up once, the own piece is likely held up again: the next look for a
                    // ready block comes right after the next look at the own piece.
                    spins = kHelpSpins - 2;
                    continue;
                }
                if (first == pieces) break;
            }
            if (spins < kSpins) {
                SpinOnce(spins);
                continue;
            }
            // Asleep until the piece this thread waits for moves on: its own piece where another
            // thread sweeps its block, else the piece above it; without a piece of its own, the
            // first piece not all swept. The wait returns at once where it has moved meanwhile.
            // A piece all swept, or a block that has become ready, does not move on by itself.
            spins = 0;
            int p = own < pieces ? own : first;
            int s = state(p).load(std::memory_order_acquire);
            if (s == blocks) continue;
            const std::atomic_ref<int> claimed(done[p * kProgressStride + kClaimedAt]);
            if (own < pieces && claimed.load(std::memory_order_relaxed) == s) {
                if (p == 0) continue;
                const int above = state(p - 1).load(std::memory_order_acquire);
                if (above > s) continue;
                p -= 1;
                s = above;
            }
            state(p).wait(s, std::memory_order_acquire);
        }
        maxChange = std::max(maxChange, m.Max());
    }
    double sum = before.factorSum;
    std::int64_t count = before.factorCount;
    if (L.adaptive) {
        for (int r = firstRow; r <= lastRow; ++r) {
            if (L.h[r] == nullptr) continue;
            // The sweep wrote the factor of every column of the row's span (0: none applied).
            const double* w = r > lastRow - tail ? fac + (rows + r - (lastRow - kGroupRows + 1)) * stride
                                                 : fac + (r - firstRow) * stride;
            const RowSpan span = RowRefs(L, r).span;
            for (int c = span.first; c <= span.last; ++c)
                if (w[c] != 0) {
                    sum += w[c];
                    ++count;
                }
        }
    }
    return {maxChange, sum, count};
}

}  // namespace

SweepResult SorSweep(const SorLayer& layer, int firstRow, int lastRow, const SweepResult& before) {
    double maxChange = before.maxChange, sum = before.factorSum;
    std::int64_t count = before.factorCount;
    // A small band is swept by one thread: a sweep is far cheaper than waking a team.
    const bool threaded = static_cast<std::int64_t>(lastRow - firstRow + 1) * layer.ncols >= threadedCells &&
                          omp_get_max_threads() > 1;
    if (!threaded && layer.cells != nullptr) {
        // One thread: rows held one after the other are swept in groups.
        static thread_local std::vector<double> factors;
        if (factors.size() < static_cast<std::size_t>(kGroupRows * layer.stride))
            factors.resize(static_cast<std::size_t>(kGroupRows * layer.stride));
        const bool wide = layer.lanes != nullptr && vectorSweeps && CpuHasAvx2();
        const int tail = wide ? TailRows(layer, lastRow) : 0;
        for (int r = firstRow; r <= lastRow;) {
            const int g = GroupAt(layer, r, lastRow, wide);
            if (tail > 0 && lastRow - r + 1 == tail) {
                maxChange = std::max(maxChange, SweepRowGroup<kGroupRows>(layer, lastRow - kGroupRows + 1, factors.data(),
                                                                          sum, count, kGroupRows - tail,
                                                                          TailLanes(layer, lastRow)));
                break;
            }
            if (g == kGroupRows)
                maxChange = std::max(maxChange, SweepRowGroup<kGroupRows>(layer, r, factors.data(), sum, count));
            else if (g == kNarrowGroupRows)
                maxChange =
                    std::max(maxChange, SweepRowGroup<kNarrowGroupRows>(layer, r, factors.data(), sum, count));
            else if (layer.h[r] != nullptr)
                maxChange = std::max(maxChange, SweepRow(layer, r, sum, count));
            r += g;
        }
        return {maxChange, sum, count};
    }
    if (threaded && layer.cells != nullptr) return SweepInPieces(layer, firstRow, lastRow, before);
    // Without prepared terms (tests and benchmarks comparing with them) one thread sweeps.
    for (int r = firstRow; r <= lastRow; ++r) {
        if (layer.h[r] == nullptr) continue;
        maxChange = std::max(maxChange, SweepRow(layer, r, sum, count));
    }
    return {maxChange, sum, count};
}

namespace {

// Where the sweeps of a layer's step overlap (SweepUntil): the state the team shares, each part on
// lines of its own (the counts of finished blocks are read by every thread at every look, the
// largest changes written at the end of every block).
struct alignas(128) OverlapShared {
    // Sweeps whose successor is certain (every sweep before this one found a change above the
    // limit): sweep j may begin once sweep j - 2 is among them.
    alignas(128) int decided = 0;
    // The last sweep (-1: not known yet) and its largest change.
    int last = -1;
    double lastChange = 0;
    // The largest change of the cells swept so far of sweeps of even and of odd number.
    alignas(128) double largest[2] = {0, 0};
    // Threads asleep, and the count that the threads finishing a block raise to wake them.
    alignas(128) int sleepers = 0;
    alignas(128) unsigned epoch = 0;
};

inline void RaiseShared(double& x, double v) {
    std::atomic_ref<double> a(x);
    double now = a.load(std::memory_order_relaxed);
    while (v > now && !a.compare_exchange_weak(now, v, std::memory_order_relaxed)) {
    }
}

}  // namespace

SweepsResult SweepUntil(const SorLayer& L, int firstRow, int lastRow, int maxSweeps, double limit) {
    const int bandFirst = std::max(firstRow, L.bandFirst);
    const std::int64_t bandCells = static_cast<std::int64_t>(lastRow - bandFirst + 1) * L.ncols;
    if (!overlapSweeps || L.adaptive || L.cells == nullptr || omp_get_max_threads() < 2 || bandFirst > lastRow ||
        bandCells < threadedCells)
        return {};
    const int ncols = L.ncols;
    maxSweeps = std::max(1, maxSweeps);
    // The band's pieces as a team sweeps one sweep of it; the rows before the band, one by one
    // as the sweep of one thread takes them, go first in the first piece.
    static thread_local std::vector<SweepUnit> units;
    static thread_local std::vector<int> pieceStart;
    const int maxTeam = PlanPieces(L, bandFirst, lastRow, units, pieceStart).maxTeam;
    if (units.empty()) return {};
    int before = 0;
    for (int r = firstRow; r < bandFirst; ++r)
        if (L.h[r] != nullptr) units.insert(units.begin() + before++, SweepUnit{r, 1, 0});
    for (std::size_t p = 1; p < pieceStart.size(); ++p) pieceStart[p] += before;
    const int pieces = static_cast<int>(pieceStart.size()) - 1;
    // Each piece's first and last row it updates, and the sweep before which its heads were kept
    // (-1: none).
    static thread_local std::vector<RowSpan> pieceRows;
    static thread_local std::vector<int> kept;
    pieceRows.assign(static_cast<std::size_t>(pieces), RowSpan{lastRow + 1, firstRow - 1});
    kept.assign(static_cast<std::size_t>(pieces), -1);
    for (int p = 0; p < pieces; ++p)
        for (int u = pieceStart[p]; u < pieceStart[p + 1]; ++u) {
            RowSpan& span = pieceRows[static_cast<std::size_t>(p)];
            span.first = std::min(span.first, units[u].r0 + units[u].firstLane);
            span.last = std::max(span.last, units[u].r0 + units[u].G - 1);
        }
    static thread_local std::vector<int> progress;
    progress.assign(static_cast<std::size_t>(pieces) * kProgressStride, 0);
    const std::int64_t stride = L.stride;
    static thread_local std::vector<double> keptHeads;
    const std::size_t heads = static_cast<std::size_t>(lastRow - firstRow + 1) * static_cast<std::size_t>(stride);
    if (keptHeads.size() < heads) keptHeads.resize(heads);
    // The factor rows the groups are given (the factors are not adaptive: nothing is stored).
    static thread_local std::vector<double> factors;
    if (factors.size() < static_cast<std::size_t>(kGroupRows * stride))
        factors.resize(static_cast<std::size_t>(kGroupRows * stride));
    const SweepUnit* const plan = units.data();
    const int* const starts = pieceStart.data();
    const RowSpan* const rowsOf = pieceRows.data();
    int* const done = progress.data();
    int* const keptBefore = kept.data();
    double* const keep = keptHeads.data();
    double* const fac = factors.data();
    const double* const tailLanes = TailLanes(L, lastRow);
    OverlapShared shared;
    auto rowSpan = [&](int r) { return L.spans != nullptr ? L.spans[r - L.cellsFirstRow] : RowSpan{1, ncols}; };
    auto copyRows = [&](int p, bool back) {
        for (int r = rowsOf[p].first; r <= rowsOf[p].last; ++r) {
            const RowSpan span = rowSpan(r);
            if (L.h[r] == nullptr || span.first > span.last) continue;
            double* const k = keep + static_cast<std::int64_t>(r - firstRow) * stride;
            if (back)
                std::copy(k + span.first, k + span.last + 1, L.h[r] + span.first);
            else
                std::copy(L.h[r] + span.first, L.h[r] + span.last + 1, k + span.first);
        }
    };
#pragma omp parallel num_threads(maxTeam)
    {
        const int team = omp_get_num_threads();
        const int width = std::max(kMinBlockCols, (ncols + team - 1) / team);
        const int blocks = (ncols + width - 1) / width;
        auto finished = [&](int p) { return std::atomic_ref<int>(done[p * kProgressStride]); };
        const std::atomic_ref<int> decided(shared.decided), last(shared.last), sleepers(shared.sleepers);
        const std::atomic_ref<unsigned> epoch(shared.epoch);
        // Block g of piece p counts the blocks of the piece's sweeps before: block g % blocks of
        // sweep g / blocks. It is ready when the piece has finished the blocks before it, the piece
        // above this block of the same sweep, the piece below this block of the sweep before (its
        // first row still holds the heads of that sweep, which this block reads), and sweep
        // g / blocks - 2 has a successor for certain. Claims it where it is; returns g, or -1.
        auto claim = [&](int p) {
            const std::atomic_ref<int> claimed(done[p * kProgressStride + kClaimedAt]);
            int g = claimed.load(std::memory_order_relaxed);
            if (finished(p).load(std::memory_order_acquire) != g) return -1;
            const int j = g / blocks;
            if (j >= maxSweeps || j > decided.load(std::memory_order_acquire) + 1) return -1;
            if (last.load(std::memory_order_acquire) >= 0) return -1;
            if (p > 0 && finished(p - 1).load(std::memory_order_acquire) <= g) return -1;
            if (j > 0 && p + 1 < pieces && finished(p + 1).load(std::memory_order_acquire) <= g - blocks) return -1;
            return claimed.compare_exchange_strong(g, g + 1, std::memory_order_acquire) ? g : -1;
        };
        auto sweepBlock = [&](int p, int g) {
            const int j = g / blocks, b = g % blocks;
            // A sweep that may not happen: the one before it has not ended, and its cells swept so
            // far changed no more than the limit. The piece's heads as that sweep left them are kept
            // to go back to where it ends the sweeps.
            if (b == 0 && j > 0 && decided.load(std::memory_order_acquire) < j &&
                !(LoadShared(shared.largest[(j - 1) & 1]) > limit)) {
                copyRows(p, false);
                keptBefore[p] = j;
            }
            const int c0 = 1 + b * width, c1 = std::min(ncols, c0 + width - 1);
            LargestChanges m;
            for (int u = starts[p]; u < starts[p + 1]; ++u) {
                const SweepUnit& x = plan[u];
                if (x.firstLane > 0)
                    SweepGroupColumns<kGroupRows>(L, x.r0, c0, c1, fac, m, x.firstLane, tailLanes);
                else if (x.G == kGroupRows)
                    SweepGroupColumns<kGroupRows>(L, x.r0, c0, c1, fac, m);
                else if (x.G == kNarrowGroupRows)
                    SweepGroupColumns<kNarrowGroupRows>(L, x.r0, c0, c1, fac, m);
                else
                    SweepGroupColumns<1>(L, x.r0, c0, c1, fac, m);
            }
            double& largest = shared.largest[j & 1];
            RaiseShared(largest, m.Max());
            if (p == pieces - 1 && b == blocks - 1) {
                // The sweep's last block: every block of the sweep came before it. Decided before
                // the block counts as finished, so that the decisions come in the order of the sweeps.
                const double change = LoadShared(largest);
                if (j + 1 < maxSweeps && change > limit) {
                    // The sweeps of its parity after the next begin from nothing.
                    StoreShared(largest, 0.0);
                    decided.store(j + 1, std::memory_order_release);
                } else {
                    shared.lastChange = change;
                    last.store(j, std::memory_order_release);
                }
            }
            finished(p).store(g + 1, std::memory_order_release);
            std::atomic_thread_fence(std::memory_order_seq_cst);
            if (sleepers.load(std::memory_order_relaxed) > 0 || last.load(std::memory_order_relaxed) >= 0) {
                epoch.fetch_add(1, std::memory_order_release);
                epoch.notify_all();
            }
        };
        // The pieces go to the threads in turn as in one sweep, piece p to thread p mod team in
        // every sweep; a thread whose next piece is held up for a while sweeps a ready block of
        // another piece, the lowest first (the pieces below hold up those above in the next sweep).
        // Not sooner: a block swept away from its own thread finds its rows in another core's
        // cache (with a look every 16 instead of every kHelpSpins, the 6-hour run on 600 x 500
        // cells spent half as much time again in the stages at 8 threads, its sweeps 0.22 s
        // against 0.19 s).
        const int self = omp_get_thread_num();
        int own = self, ownSweep = 0;
        auto other = [&]() {
            for (int q = pieces - 1; q >= 0; --q) {
                const int g = claim(q);
                if (g >= 0) {
                    sweepBlock(q, g);
                    return true;
                }
            }
            return false;
        };
        for (int spins = 0;; ++spins) {
            if (last.load(std::memory_order_acquire) >= 0) break;
            if (own < pieces) {
                if (finished(own).load(std::memory_order_acquire) >= (ownSweep + 1) * blocks) {
                    own += team;
                    if (own >= pieces) {
                        own = self;
                        ++ownSweep;
                    }
                    spins = 0;
                    continue;
                }
                const int g = claim(own);
                if (g >= 0) {
                    sweepBlock(own, g);
                    spins = 0;
                    continue;
                }
            }
            if (spins % kHelpSpins == kHelpSpins - 1 && other()) {
                spins = kHelpSpins - 1;
                continue;
            }
            if (spins < kSpins) {
                SpinOnce(spins);
                continue;
            }
            // Asleep until a block is finished or the sweeps end: the count is taken before the
            // last look, so that what changes after the look wakes this thread.
            spins = 0;
            sleepers.fetch_add(1, std::memory_order_seq_cst);
            const unsigned e = epoch.load(std::memory_order_acquire);
            std::atomic_thread_fence(std::memory_order_seq_cst);
            if (last.load(std::memory_order_acquire) < 0 && !other()) epoch.wait(e, std::memory_order_acquire);
            sleepers.fetch_sub(1, std::memory_order_relaxed);
        }
    }
    // The sweep after the last one never happened: the pieces it began go back to the last one's heads.
    const int lastSweep = shared.last;
    for (int p = 0; p < pieces; ++p)
        if (keptBefore[p] == lastSweep + 1) {
            copyRows(p, true);
            ++piecesPutBack;
        }
    return {lastSweep + 1, {shared.lastChange, 0.0, 0}};
}

namespace {

// A stage of a wide group in vector registers, in cells swept one at a time: about what it costs.
constexpr double kLaneStageCells = 2.0;

// Cells of the rows r0 + firstLane .. r0 + G - 1 of a group that are swept one at a time: all but
// those the stages s1..s2 take in vector registers (s1 > s2: none).
double CellsOneByOne(const SorLayer& L, int r0, int G, int firstLane, int s1, int s2) {
    double n = 0;
    for (int i = firstLane; i < G; ++i) {
        const RowSpan span = L.spans[r0 + i - L.cellsFirstRow];
        if (span.first > span.last) continue;
        n += span.last - span.first + 1;
        const int a = std::max(span.first, s1 - i), b = std::min(span.last, s2 - i);
        if (a <= b) n -= b - a + 1;
    }
    return n;
}

// The cost in cells of SorSweep's one-thread plan for rows firstRow..lastRow of the band from
// L.bandFirst.
double PlanCost(const SorLayer& L, int firstRow, int lastRow) {
    const bool wide = L.lanes != nullptr && vectorSweeps && CpuHasAvx2();
    const int tail = wide ? TailRows(L, lastRow) : 0;
    auto group = [&](int r0, int G, int firstLane) {
        if (G == kGroupRows && LaneGroup(L, r0)) {
            const RowSpan lanes = LaneStageRange(L, r0, firstLane);
            if (lanes.first <= lanes.last)
                return kLaneStageCells * (lanes.last - lanes.first + 1) +
                       CellsOneByOne(L, r0, G, firstLane, lanes.first, lanes.last);
        }
        return CellsOneByOne(L, r0, G, firstLane, 1, 0);
    };
    double cost = 0;
    for (int r = firstRow; r <= lastRow;) {
        const int g = GroupAt(L, r, lastRow, wide);
        if (tail > 0 && lastRow - r + 1 == tail) {
            cost += group(lastRow - kGroupRows + 1, kGroupRows, kGroupRows - tail);
            break;
        }
        cost += group(r, g, 0);
        r += g;
    }
    return cost;
}

}  // namespace

void UpdatedSpans(const SorLayer& layer, int firstRow, int lastRow, RowSpan* spans) {
    for (int r = firstRow; r <= lastRow; ++r) {
        RowSpan span{1, 0};
        if (layer.h[r] != nullptr) {
            const std::uint8_t* upd = layer.update + static_cast<std::int64_t>(r) * layer.stride;
            for (int c = 1; c <= layer.ncols; ++c)
                if (upd[c] != 0) {
                    if (span.first > span.last) span.first = c;
                    span.last = c;
                }
            if (!rowSpans) span = {1, layer.ncols};
        }
        spans[r - firstRow] = span;
    }
}

int ChooseBandFirst(const SorLayer& layer, int firstRow, int lastRow, int first, int last, const RowSpan* spans) {
    SorLayer L = layer;
    L.spans = spans;
    L.cellsFirstRow = firstRow;
    // The rows before the band, one by one.
    double before = 0;
    for (int r = firstRow; r < first; ++r) before += CellsOneByOne(L, r, 1, 0, 1, 0);
    int best = first;
    double least = 0;
    for (int b = first; b <= last; ++b) {
        L.bandFirst = b;
        const double cost = before + PlanCost(L, b, lastRow);
        if (b == first || cost < least) {
            best = b;
            least = cost;
        }
        before += CellsOneByOne(L, b, 1, 0, 1, 0);
    }
    return best;
}

std::int64_t LaneTermsSize(int firstRow, int lastRow, std::int64_t stride) {
    return static_cast<std::int64_t>(std::max(0, lastRow - firstRow + 1)) * stride * kLaneFields;
}

void PrepareSweeps(const SorLayer& layer, int firstRow, int lastRow, SorCell* cells, double* lanes,
                   RowSpan* spans) {
    const bool threaded = static_cast<std::int64_t>(lastRow - firstRow + 1) * layer.ncols >= threadedCells;
#pragma omp parallel for schedule(runtime) if (threaded)
    for (int r = firstRow; r <= lastRow; ++r) {
        RowSpan span{1, 0};
        if (layer.h[r] != nullptr) {
            const std::uint8_t* upd = layer.update + static_cast<std::int64_t>(r) * layer.stride;
            SorCell* row = cells + static_cast<std::int64_t>(r - firstRow) * layer.stride;
            const TermRows rows = TermRowsOf(layer, r);
            for (int c = 1; c <= layer.ncols; ++c)
                if (upd[c] != 0) {
                    row[c] = CellTerms(layer, rows, c);
                    if (span.first > span.last) span.first = c;
                    span.last = c;
                }
        }
        if (!rowSpans && layer.h[r] != nullptr) span = {1, layer.ncols};
        if (spans != nullptr) spans[r - firstRow] = span;
    }
    if (lanes == nullptr || !vectorSweeps || !CpuHasAvx2()) return;
    // The lanes follow the spans the sweeps will use.
    SorLayer view = layer;
    view.spans = spans;
    view.cellsFirstRow = firstRow;
    // The wide groups of the plan; each lays out the terms of its own rows' place.
    static thread_local std::vector<int> groups;
    groups.clear();
    for (int r = firstRow; r <= lastRow;) {
        const int g = GroupAt(view, r, lastRow, true);
        if (g == kGroupRows && LaneGroup(view, r)) groups.push_back(r);
        r += g;
    }
    const int* const starts = groups.data();
    const int count = static_cast<int>(groups.size());
#pragma omp parallel for schedule(runtime) if (threaded)
    for (int i = 0; i < count; ++i) PrepareLanes(view, firstRow, starts[i], cells, lanes);
    // The band's last rows (at the place TailLanes finds them).
    if (layer.bandFirst != firstRow) return;
    if (const int tail = TailRows(view, lastRow); tail > 0)
        PrepareLanes(view, firstRow, lastRow - kGroupRows + 1, cells, lanes, kGroupRows - tail,
                     lanes + static_cast<std::int64_t>(lastRow + 1 - firstRow) * view.stride * kLaneFields);
}

}  // namespace gwnum
