// Snow slides and deposition over the whole grid.
#include "surface/glacier_slides.hpp"

#include <omp.h>

#include <algorithm>
#include <functional>
#include <queue>
#include <vector>

#include "kernel/threading.hpp"

namespace glacier {

namespace {

double Clipped(const SlideGrids& g, int r, int c) {
    if (g.glacierFraction == nullptr || g.TG == nullptr) return 0.0;
    return std::clamp((*g.glacierFraction)[r][c], 0.0, 1.0);
}

// Releases share f of a storage: T shrinks by f T, L keeps its ratio, S = T - L.
double Release(double& T, double& L, double& S, double f) {
    const double old = T;
    const double out = f * T;
    T = T - out;
    L = L * T / old;
    S = T - L;
    return out;
}

// Adds D to a storage, keeping the liquid ratio; an empty storage takes it all as solid.
void Add(double& T, double& L, double& S, double D) {
    if (T <= 0) {
        L = 0;
        T = S = D;
        return;
    }
    const double next = T + D;
    L = L * next / T;
    T = next;
    S = T - L;
}

}  // namespace

// Every cell of the zones starts without input, mobile mass and deposition.
void ClearMoved(const SlideGrids& g) {
    const double nd = g.nodata;
#pragma omp parallel for schedule(runtime) if (WorthThreads(1, g.nrows, g.ncols))
    for (int r = 1; r <= g.nrows; ++r) {
        double* in = (*g.input)[r];
        double* mo = (*g.mobile)[r];
        double* de = (*g.deposition)[r];
        const double* z = (*g.zone)[r];
        for (int c = 1; c <= g.ncols; ++c) {
            const double v = z[c] == nd ? nd : 0.0;
            in[c] = mo[c] = de[c] = v;
        }
    }
}

void ReleaseAt(const SlideGrids& g, const SlideParameters& p, int r, int c) {
    const double gf = Clipped(g, r, c);
    double& T = (*g.T)[r][c];
    double& input = (*g.input)[r][c];
    const bool hasTG = g.TG != nullptr;
    const double TGv = hasTG ? (*g.TG)[r][c] : 0.0;
    input = 0;
    if ((T <= 0 && (!hasTG || TGv <= 0)) || (*g.slope)[r][c] < p.minSlideSlope) return;
    if (gf < 1 && T > 0) {
        const double out = Release(T, (*g.L)[r][c], (*g.S)[r][c], p.massFraction);
        input = out * (1 - gf);
    }
    if (hasTG && TGv > 0 && gf > 0) {
        const double out = Release((*g.TG)[r][c], (*g.LG)[r][c], (*g.SG)[r][c], p.massFraction);
        input += out * gf;
    }
}

void AddMovedAt(const SlideGrids& g, int r, int c) {
    const double D = (*g.deposition)[r][c] + (*g.mobile)[r][c];
    const double gf = Clipped(g, r, c);
    const bool hasTG = g.TG != nullptr;
    if (gf < 1 || !hasTG) Add((*g.T)[r][c], (*g.L)[r][c], (*g.S)[r][c], D);
    if (hasTG && gf > 0) Add((*g.TG)[r][c], (*g.LG)[r][c], (*g.SG)[r][c], D);
}

namespace {

// Moves the input and the mobile mass that has reached cell (r, c) to its same-zone neighbours;
// deposited(nr, nc) hears of every cell that receives a deposition, moved(nr, nc) of every cell
// whose mobile mass grows.
template <class D, class F>
void MoveFrom(const SlideGrids& g, int r, int c, D&& deposited, F&& moved) {
    static constexpr int dr[5] = {0, -1, 0, 0, 1};
    static constexpr int dc[5] = {0, 0, -1, 1, 0};
    const Matrix& zone = *g.zone;
    const double nd = g.nodata;
    double& mobile = (*g.mobile)[r][c];
    const double M = (*g.input)[r][c] + mobile;
    // Nothing to move: the directions need not be looked at.
    if (M == 0) return;
    const double myZone = zone[r][c];
    double share[5] = {0, 0, 0, 0, 0};
    double sum = 0;
    for (int d = 1; d <= 4; ++d) {
        const int nr = r + dr[d], nc = c + dc[d];
        if (nr < 1 || nr > g.nrows || nc < 1 || nc > g.ncols) continue;
        if (zone[nr][nc] == nd || zone[nr][nc] != myZone) continue;
        share[d] = (*g.fraction[d])[r][c];
        sum += share[d];
    }
    if (sum > 0)
        for (double& s : share) s /= sum;
    if (!(sum > 0)) {
        mobile = M;
        return;
    }
    mobile = 0;
    for (int d = 1; d <= 4; ++d) {
        if (!(share[d] > 0)) continue;
        const int nr = r + dr[d], nc = c + dc[d];
        double& dep = (*g.deposition)[nr][nc];
        dep += share[d] * M;
        deposited(nr, nc);
        const double limit = (*g.maxDeposition)[nr][nc];
        if (dep > limit) {
            (*g.mobile)[nr][nc] += dep - limit;
            dep = limit;
            moved(nr, nc);
        }
    }
}

// Releases the snow of cell (r, c) and moves it with the mobile mass that has reached the cell.
template <class F>
void VisitCell(const SlideGrids& g, const SlideParameters& p, int r, int c, F&& moved) {
    ReleaseAt(g, p, r, c);
    MoveFrom(g, r, c, [](int, int) {}, moved);
}

// Every cell's deposition and mobile mass becomes snow of that cell (each cell alone: the rows
// may go to threads).
void AddMoved(const SlideGrids& g) {
#pragma omp parallel for schedule(runtime) if (WorthThreads(1, g.nrows, g.ncols))
    for (int r = 1; r <= g.nrows; ++r)
        for (int c = 1; c <= g.ncols; ++c)
            if ((*g.zone)[r][c] != g.nodata) AddMovedAt(g, r, c);
}

// Releases the snow of the releasing cells of row r and hands their ranks to released, in column order.
template <class F>
void ReleaseRow(const SlideGrids& g, const SlideParameters& p, const SlideOrder& order, int r, F&& released) {
    for (int c = 1; c <= g.ncols; ++c)
        if (ReleasesSnow(g, p, r, c)) {
            ReleaseAt(g, p, r, c);
            released(order.rankOf[order.Index(r, c)]);
        }
}

// Releases the snow of every releasing cell and lists their ranks in row order. A release changes
// only its own cell, so the rows may go to threads: each row's releasing cells are then counted
// first, and every row writes its ranks straight to their place in the list.
std::vector<std::int32_t> ReleaseAll(const SlideGrids& g, const SlideParameters& p, const SlideOrder& order) {
    std::vector<std::int32_t> releasing;
    if (omp_get_max_threads() < 2 || !WorthThreads(1, g.nrows, g.ncols)) {
        for (int r = 1; r <= g.nrows; ++r) ReleaseRow(g, p, order, r, [&](std::int32_t k) { releasing.push_back(k); });
        return releasing;
    }
    // first[r]: the releasing cells of the rows before r.
    std::vector<std::size_t> first(static_cast<std::size_t>(g.nrows) + 2, 0);
#pragma omp parallel
    {
#pragma omp for schedule(runtime)
        for (int r = 1; r <= g.nrows; ++r) {
            std::size_t n = 0;
            for (int c = 1; c <= g.ncols; ++c) n += ReleasesSnow(g, p, r, c) ? 1 : 0;
            first[static_cast<std::size_t>(r) + 1] = n;
        }
#pragma omp single
        {
            for (std::size_t r = 2; r < first.size(); ++r) first[r] += first[r - 1];
            releasing.resize(first.back());
        }
#pragma omp for schedule(runtime)
        for (int r = 1; r <= g.nrows; ++r) {
            std::int32_t* to = releasing.data() + first[static_cast<std::size_t>(r)];
            ReleaseRow(g, p, order, r, [&](std::int32_t k) { *to++ = k; });
        }
    }
    return releasing;
}

}  // namespace

std::int64_t SlidePass(const SlideGrids& g, const SlideParameters& p) {
    ClearMoved(g);
    std::int64_t visits = 0;
    for (int vr = 1; vr <= g.nrows; ++vr)
        for (int vc = 1; vc <= g.ncols; ++vc) {
            if ((*g.zone)[vr][vc] == g.nodata) continue;
            ++visits;
            VisitCell(g, p, static_cast<int>((*g.orderRow)[vr][vc]), static_cast<int>((*g.orderCol)[vr][vc]),
                      [](int, int) {});
        }
    AddMoved(g);
    return visits;
}

SlideOrder MakeSlideOrder(const SlideGrids& g) {
    SlideOrder o;
    o.ncols = g.ncols;
    o.rankOf.assign(static_cast<std::size_t>(g.nrows + 1) * static_cast<std::size_t>(g.ncols + 1), -1);
    for (int vr = 1; vr <= g.nrows; ++vr)
        for (int vc = 1; vc <= g.ncols; ++vc) {
            if ((*g.zone)[vr][vc] == g.nodata) continue;
            const double fr = (*g.orderRow)[vr][vc], fc = (*g.orderCol)[vr][vc];
            // The order must name every cell of the zones once; else the pass visits every cell.
            if (!(fr >= 1 && fr <= g.nrows && fc >= 1 && fc <= g.ncols)) return SlideOrder{};
            const int r = static_cast<int>(fr), c = static_cast<int>(fc);
            std::int32_t& rank = o.rankOf[o.Index(r, c)];
            if ((*g.zone)[r][c] == g.nodata || rank >= 0) return SlideOrder{};
            rank = static_cast<std::int32_t>(o.cells.size());
            o.cells.push_back({r, c});
        }
    o.usable = true;
    return o;
}

std::int64_t SlidePass(const SlideGrids& g, const SlideParameters& p, const SlideOrder& order) {
    if (!order.usable || order.ncols != g.ncols) return SlidePass(g, p);
    ClearMoved(g);
    // A release changes only its own cell, which nothing else of the pass reads: every release
    // can come before the moving.
    MoveReleased(g, order, ReleaseAll(g, p, order), [](int, int) {});
    AddMoved(g);
    return static_cast<std::int64_t>(order.cells.size());
}

void MoveReleased(const SlideGrids& g, const SlideOrder& order, const std::vector<std::int32_t>& releasing,
                  const std::function<void(int, int)>& touched) {
    // The releasing cells, then every cell whose mobile mass grows before its turn, in elevation
    // order; every other cell's visit would change nothing.
    std::vector<char> queued(order.cells.size(), 0);
    std::priority_queue<std::int32_t, std::vector<std::int32_t>, std::greater<>> due;
    for (const std::int32_t k : releasing) {
        if (k < 0 || queued[static_cast<std::size_t>(k)] != 0) continue;
        queued[static_cast<std::size_t>(k)] = 1;
        due.push(k);
    }
    while (!due.empty()) {
        const std::int32_t k = due.top();
        due.pop();
        const auto [r, c] = order.cells[static_cast<std::size_t>(k)];
        touched(r, c);
        MoveFrom(g, r, c, touched, [&](int nr, int nc) {
            const std::int32_t j = order.rankOf[order.Index(nr, nc)];
            if (j <= k || queued[static_cast<std::size_t>(j)] != 0) return;
            queued[static_cast<std::size_t>(j)] = 1;
            due.push(j);
        });
    }
}

bool ReleasesSnow(const SlideGrids& g, const SlideParameters& p, int r, int c) {
    if ((*g.zone)[r][c] == g.nodata) return false;
    // As the pass decides.
    const bool empty = (*g.T)[r][c] <= 0 && (g.TG == nullptr || (*g.TG)[r][c] <= 0);
    return !empty && !((*g.slope)[r][c] < p.minSlideSlope);
}

void SettleCell(const SlideGrids& g, int r, int c) {
    if ((*g.zone)[r][c] == g.nodata) {
        (*g.input)[r][c] = (*g.mobile)[r][c] = (*g.deposition)[r][c] = g.nodata;
        return;
    }
    (*g.input)[r][c] = (*g.mobile)[r][c] = (*g.deposition)[r][c] = 0.0;
    AddMovedAt(g, r, c);
}

double BasinSnow(const SlideGrids& g) {
    double sum = 0;
    for (int r = 1; r <= g.nrows; ++r)
        for (int c = 1; c <= g.ncols; ++c) {
            if ((*g.zone)[r][c] == g.nodata) continue;
            const double gf = Clipped(g, r, c);
            sum += (1 - gf) * (*g.T)[r][c];
            if (g.TG != nullptr && gf > 0) sum += gf * (*g.TG)[r][c];
        }
    return sum;
}

}  // namespace glacier
