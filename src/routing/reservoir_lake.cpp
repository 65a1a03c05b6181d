// The lake of a reservoir: its cells in "lake_codes", the water-level/volume table of their
// terrain, and the exchange of its water with their ponding storage.
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "kernel/decomposition.hpp"
#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/matrix.hpp"
#include "kernel/threading.hpp"
#include "routing/reservoir.hpp"

namespace routing {

namespace {
// Cells whose full levels differ by this much or less belong to one level; the margin keeps a
// difference of exactly 1 cm, which decimal terrain values only approximate, inside.
constexpr double kLevelTolerance = 0.01 + 1e-9;
}  // namespace

double Reservoir::ReferenceLevel() const { return levels_.empty() ? 0.0 : levels_[0]; }

void Reservoir::InitLake(const LakeGrids& g, int tgIndex) {
    grids_ = g;
    grids_.shareVolumes = nullptr;  // used by this set-up only
    lake_ = true;
    const std::string name = std::to_string(code_);
    firstCol_ = g.ncols + 1;
    firstRow_ = g.nrows + 1;
    lastCol_ = lastRow_ = 0;
    bool first = true;
    double reference = 0;
    // Process 0 takes the water of every lake cell: the lake grids hold every row of "lake_codes"
    // with a lake cell (rows without one may be missing), and the other grids the rows the codes
    // hold, else cells would silently be missing from the lake.
    auto requireRow = [&](const Matrix* m, const char* grid, int r) {
        if (m != nullptr && !m->holds(r))
            Fatal("lake " + name + ": the grid \"" + grid + "\" holds no row " + std::to_string(r) +
                      " on this process, so the lake cannot take the water of its cells",
                  226);
    };
    for (int r = 1; r <= g.nrows; ++r) {
        if (!g.codes->holds(r)) continue;
        requireRow(g.zones, "zonegrid_soilmodel", r);
        requireRow(g.elevation, "[elevation_model]", r);
        requireRow(g.maxPonding, "max_ponding_storage", r);
        int c0 = 1, c1 = g.ncols;
        if (g.columns != nullptr && static_cast<std::size_t>(r) < g.columns->size()) {
            c0 = (*g.columns)[static_cast<std::size_t>(r)].first;
            c1 = (*g.columns)[static_cast<std::size_t>(r)].last;
        }
        for (int c = std::max(1, c0); c <= std::min(c1, g.ncols); ++c) {
            const double zone = (*g.zones)[r][c];
            if (zone == g.nodata || (*g.codes)[r][c] != code_) continue;
            const double e = (*g.elevation)[r][c];
            const double level = (*g.maxPonding)[r][c] / 1000 + e;
            if (first) reference = level;
            first = false;
            if (std::fabs(reference - level) > kLevelTolerance) {
                *log_ << "FATAL: \n============== ERROR ====================\n" << "Error in initialization for lake "
                      << code_ << "." << "All Cells for a lake must have the same Altitude value for DEM + MAXPOND\n"
                      << "Value at row " << r << ", col " << c << " is " << e << "\n"
                      << "but first value of dhm for this lake was " << reference << "\n"
                      << "\n\n=======================================\n" << "[end-entry]";
                throw ModelError(213);
            }
            const int z = static_cast<int>(zone);
            const int index = (g.zoneIndex != nullptr && z >= 0 && static_cast<std::size_t>(z) < g.zoneIndex->size())
                                  ? (*g.zoneIndex)[static_cast<std::size_t>(z)]
                                  : 0;
            if (index != tgIndex) {
                *log_ << "FATAL:  error in routing description or LAKE grid:\n" << " Lake " << code_
                      << " must be located completely within subbasin " << tgCode_ << "." << "[end-entry]";
                throw ModelError(224);
            }
            firstCol_ = std::min(firstCol_, c);
            lastCol_ = std::max(lastCol_, c);
            firstRow_ = std::min(firstRow_, r);
            lastRow_ = std::max(lastRow_, r);
        }
    }
    if (first) {
        // A reservoir without lake cells stays a reservoir: a basin can have lakes and reservoirs
        // under their rules side by side.
        lake_ = false;
        *log_ << "INFO: lake " << name << " of subbasin " << tgCode_
              << " has no cell in \"lake_codes\": it is routed as a reservoir, without a water-level/volume table"
              << "[end-entry]";
        return;
    }

    for (int r = firstRow_; r <= lastRow_; ++r) {
        requireRow(g.ponding, "ponding_storage", r);
        requireRow(g.transpiration, "real_transpiration0", r);
        requireRow(g.downflow, "q_downext", r);
        requireRow(g.baseflow, "baseflow", r);
        requireRow(g.precipitation, "PrecOnLakes", r);
        for (std::size_t t = 1; t < g.tracers.size(); ++t)
            if (g.tracers[t] != nullptr && !g.tracers[t]->holds(r))
                Fatal("lake " + name + ": the tracer storage " + std::to_string(t) + " holds no row " +
                          std::to_string(r) + " on this process, so the lake cannot take the tracers of its cells",
                      226);
    }

    // The terrain of the lake: lowest bottom and full level.
    double Bmin = 0, Wmax = 0;
    bool any = false;
    EachLakeCell([&](int r, int c) {
        const double e = (*grids_.elevation)[r][c];
        const double w = e + (*grids_.maxPonding)[r][c] / 1000;
        Bmin = any ? std::min(Bmin, e) : e;
        Wmax = any ? std::max(Wmax, w) : w;
        any = true;
    });
    const double D = Wmax - Bmin;
    if (!(D > 0))
        Fatal("lake " + name + " of subbasin " + std::to_string(tgCode_) +
                  " has no depth: its full level (elevation + maximum ponding storage) is not above its lowest bottom",
              226);
    // Three bands of levels below the full level: 1 cm over the first 4 m, 2 cm over the next
    // 10 m, 5 cm below. The small margins keep whole multiples of a step from rounding down.
    int P1 = 0, P2 = 0, P3 = 0;
    double cover1 = 0, cover2 = 0, R = 0;
    if (D >= 4.0) {
        P1 = 400;
        cover1 = 4.0;
        R = D - 4.0;
    } else {
        P1 = static_cast<int>(D / 0.01 + 1e-9);
        cover1 = D;
    }
    if (P1 == 0) P1 = 1;
    if (R >= 10.0) {
        P2 = 500;
        cover2 = 10.0;
    } else {
        P2 = static_cast<int>(R / 0.02 + 1e-9);
        cover2 = R;
    }
    P3 = static_cast<int>(std::ceil((R - cover2) / 0.05 - 1e-9));
    P3 = std::max(P3, 0);
    const int n = P1 + P2 + P3 + 1;
    levels_.assign(static_cast<std::size_t>(n), 0.0);
    volumes_.assign(static_cast<std::size_t>(n), 0.0);
    for (int i = 0; i < P1; ++i) levels_[static_cast<std::size_t>(i)] = Wmax - 0.01 * i;
    for (int i = 0; i < P2; ++i) levels_[static_cast<std::size_t>(P1 + i)] = (Wmax - cover1) - 0.02 * i;
    for (int i = 0; i < P3; ++i) levels_[static_cast<std::size_t>(P1 + P2 + i)] = (Wmax - cover1 - cover2) - 0.05 * i;
    levels_[static_cast<std::size_t>(n - 1)] = Bmin;
    const double a = g.cellsize * g.cellsize;
    std::vector<double> bottoms;
    EachLakeCell([&](int r, int c) { bottoms.push_back((*grids_.elevation)[r][c]); });
    const std::size_t count = static_cast<std::size_t>(n - 1);
    if (g.shareVolumes)
        g.shareVolumes(bottoms, levels_, count, a, volumes_);
    else
        LakeLevelVolumesOnThreads(bottoms, levels_.data(), count, a, volumes_.data());

    // The table waits under its temporary name until the normal end (EndOutput), so that a failed
    // run leaves the table of the run before.
    char file[64];
    std::snprintf(file, sizeof file, "W_V_Table_%02d.dat", code_);
    levelVolume_.SetName(file);
    std::FILE* f = levelVolume_.Open(false);
    if (f == nullptr) LevelVolumeFailed();
    std::fprintf(f, "waterlevel-volume-table lake %d\nLevel[m a.s.l.]\tVolume[m^3]\n", code_);
    for (int i = 0; i < n; ++i) std::fprintf(f, "%g\t%g\n", levels_[static_cast<std::size_t>(i)], volumes_[static_cast<std::size_t>(i)]);
    if (!levelVolume_.Close()) LevelVolumeFailed();
}

namespace {
// LakeLevelVolumes in the room of under (which holds at least the bottoms' count).
void SumLevelVolumes(const std::vector<double>& bottoms, std::vector<double>& under, const double* levels,
                     std::size_t count, double cellArea, double* volumes) {
    // A cell not under a level is under none below it: each level looks only at the cells under
    // the level before (a level above the one before looks at every cell again).
    under = bottoms;
    for (std::size_t i = 0; i < count; ++i) {
        const double L = levels[i];
        if (i > 0 && !(L <= levels[i - 1])) under = bottoms;
        double V = 0;
        double* const cells = under.data();
        const std::size_t cellCount = under.size();
        std::size_t kept = 0;
        for (std::size_t k = 0; k < cellCount; ++k) {
            const double e = cells[k];
            if (e < L) {
                V += cellArea * (L - e);
                cells[kept++] = e;
            }
        }
        under.resize(kept);
        volumes[i] = V;
    }
}
}  // namespace

void LakeLevelVolumes(const std::vector<double>& bottoms, const double* levels, std::size_t count, double cellArea,
                      double* volumes) {
    std::vector<double> under;
    SumLevelVolumes(bottoms, under, levels, count, cellArea, volumes);
}

void LakeLevelVolumesOnThreads(const std::vector<double>& bottoms, const double* levels, std::size_t count,
                               double cellArea, double* volumes) {
    // A cell under a level costs a comparison and an addition, far less than the cell of a grid
    // loop: a team pays from some sixteen times as many (the example basin's lake sums on one thread).
    const std::int64_t work = static_cast<std::int64_t>(bottoms.size()) * static_cast<std::int64_t>(count);
    const int runs = static_cast<int>(std::min<std::int64_t>(omp_get_max_threads(), static_cast<std::int64_t>(count)));
    if (runs < 2 || !WorthThreads(work / 16)) {
        LakeLevelVolumes(bottoms, levels, count, cellArea, volumes);
        return;
    }
    // Each run's room, taken before the team starts.
    std::vector<std::vector<double>> under(static_cast<std::size_t>(runs), std::vector<double>(bottoms.size()));
#pragma omp parallel for schedule(static) num_threads(runs)
    for (int p = 0; p < runs; ++p) {
        const std::size_t first = count * static_cast<std::size_t>(p) / static_cast<std::size_t>(runs);
        const std::size_t last = count * static_cast<std::size_t>(p + 1) / static_cast<std::size_t>(runs);
        SumLevelVolumes(bottoms, under[static_cast<std::size_t>(p)], levels + first, last - first, cellArea,
                        volumes + first);
    }
}

void Reservoir::LevelVolumeFailed() {
    FailOnFile(*log_, "error opening " + levelVolume_.name() + " for writing the waterlevel-volume-relation to disk.",
               225);
}

namespace {
// Linear inter- and extrapolation of the falling table (from, to) at the value v of `from`.
double TableLookup(const std::vector<double>& from, const std::vector<double>& to, double v) {
    const std::size_t n = from.size();
    if (n < 2) return n == 1 ? to[0] : 0.0;
    std::size_t i = 1;
    if (from[1] > v && n > 2) {
        i = 2;
        while (i < n - 1 && from[i] > v) ++i;
    }
    return ((from[i - 1] - v) * to[i] + (v - from[i]) * to[i - 1]) / (from[i - 1] - from[i]);
}
}  // namespace

double Reservoir::VolumeToLevel(double V) const { return lake_ ? TableLookup(volumes_, levels_, V) : 0.0; }

double Reservoir::LevelToVolume(double W) const { return lake_ ? TableLookup(levels_, volumes_, W) : 0.0; }

bool Reservoir::TracerLoad(int t) const {
    return static_cast<std::size_t>(t) < grids_.tracerLoads.size() && grids_.tracerLoads[static_cast<std::size_t>(t)];
}

// The concentration of tracer t in the water p (mm) standing on a lake cell: a load the soil
// keeps is divided by the water that carries it.
double Reservoir::CellConcentration(int t, int r, int c, double p) const {
    const double v = (*grids_.tracers[static_cast<std::size_t>(t)])[r][c][0];
    return TracerLoad(t) ? v / p : v;
}

double Reservoir::CollectLakeCells(std::vector<double>& content) const {
    std::fill(content.begin(), content.end(), 0.0);
    if (!lake_) return 0.0;
    const double a = grids_.cellsize * grids_.cellsize;
    EachLakeCell([&](int r, int c) {
        const double p = (*grids_.ponding)[r][c];
        if (!(p > 0)) return;
        const double v = p / 1000 * a;
        content[0] += v;
        for (int t = 1; t <= nTr_ && static_cast<std::size_t>(t) < grids_.tracers.size(); ++t)
            if (grids_.tracers[static_cast<std::size_t>(t)] != nullptr)
                content[static_cast<std::size_t>(t)] += CellConcentration(t, r, c, p) * v;
    });
    for (int t = 1; t <= nTr_; ++t)
        content[static_cast<std::size_t>(t)] = content[0] > 0 ? content[static_cast<std::size_t>(t)] / content[0] : 0.0;
    return content[0];
}

void Reservoir::DistributeLevel(double V) {
    if (!lake_) return;
    const double W = VolumeToLevel(V);
    EachLakeCell([&](int r, int c) {
        const double e = (*grids_.elevation)[r][c];
        const bool wet = W > e;
        (*grids_.ponding)[r][c] = wet ? (W - e) * 1000 : 0.0;
        for (int t = 1; t <= nTr_ && static_cast<std::size_t>(t) < grids_.tracers.size(); ++t)
            if (grids_.tracers[static_cast<std::size_t>(t)] != nullptr)
                (*grids_.tracers[static_cast<std::size_t>(t)])[r][c][0] =
                    !wet ? 0.0
                    : TracerLoad(t) ? content_[static_cast<std::size_t>(t)] * (*grids_.ponding)[r][c]
                                    : content_[static_cast<std::size_t>(t)];
    });
}

void Reservoir::InitFromLakeCells() {
    std::fill(content_.begin(), content_.end(), 0.0);
    if (!lake_) return;
    bool done = false;
    EachLakeCell([&](int r, int c) {
        const double p = (*grids_.ponding)[r][c];
        if (done || !(p > 0)) return;
        done = true;
        content_[0] = LevelToVolume(p / 1000 + (*grids_.elevation)[r][c]);
        for (int t = 1; t <= nTr_ && static_cast<std::size_t>(t) < grids_.tracers.size(); ++t)
            if (grids_.tracers[static_cast<std::size_t>(t)] != nullptr)
                content_[static_cast<std::size_t>(t)] = CellConcentration(t, r, c, p);
    });
}

}  // namespace routing
