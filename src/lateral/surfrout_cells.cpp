// Per-cell work of the sub steps: the neighbourhood of a cell as the pure flow-direction and
// velocity functions see it, its outflow shares, velocities and fluxes, and its inflow and
// outflow of one sub step; the plan curvature of the terrain at set-up.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kernel/mpirows.hpp"
#include "lateral/surfrout.hpp"
#include "lateral/surfrout_flowdir.hpp"
#include "lateral/surfrout_velocity.hpp"
#include "tables/landuse_entry.hpp"

using namespace surfrout;

namespace {

// The bits 0..7 of a byte as eight flags (flag d = bit d).
constexpr auto kBitFlags = [] {
    std::array<std::array<bool, 8>, 256> table{};
    for (unsigned m = 0; m < 256; ++m)
        for (unsigned d = 0; d < 8; ++d) table[m][d] = ((m >> d) & 1u) != 0;
    return table;
}();

// Bits 0..8 of a neighbour mask as the flags of directions 0..8.
void MaskToFlags(unsigned mask, bool flags[9]) {
    std::copy_n(kBitFlags[mask & 0xFFu].data(), 8, flags);
    flags[8] = ((mask >> 8) & 1u) != 0;
}

// The roughness a land use gives the flow: Strickler value, crop distances, drag and the two sets
// of friction coefficients.
void TakeLanduseRoughness(const landuse_entry& lu, RoughnessParams& p) {
    p.K_ST = lu.GetSR_K_ST();
    p.cropDistX = lu.GetSR_CropDistX();
    p.cropDistY = lu.GetSR_CropDistY();
    p.C_WR = lu.GetSR_C_WR();
    lu.GetSR_rough_coeff1(&p.coeff1[0], &p.coeff1[1], &p.coeff1[2]);
    lu.GetSR_rough_coeff2(&p.coeff2[0], &p.coeff2[1], &p.coeff2[2]);
}

// The shares w[1..8] replaced by fresh[1..8] in one sweep that compares them as
// UnchangedWeights does (within 0.01; a NaN difference never is) and bit for bit: returns the
// count of shares within 0.01 of the old ones, *same tells whether all came out bit for bit.
// Two directions at a time where the processor has SSE2 (every x86-64 one): the magnitude of
// the difference is taken by clearing its sign bit, as std::fabs does.
int ReplaceShares(double* w, const double* fresh, bool* same) {
#if defined(__SSE2__)
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    const __m128d limit = _mm_set1_pd(0.01);
    __m128i differs = _mm_setzero_si128();
    int unchanged = 0;
    for (int d = 1; d <= 8; d += 2) {
        const __m128d old = _mm_loadu_pd(w + d), now = _mm_loadu_pd(fresh + d);
        const int near = _mm_movemask_pd(_mm_cmple_pd(_mm_and_pd(_mm_sub_pd(old, now), magnitude), limit));
        unchanged += (near & 1) + (near >> 1);
        differs = _mm_or_si128(differs, _mm_xor_si128(_mm_castpd_si128(old), _mm_castpd_si128(now)));
        _mm_storeu_pd(w + d, now);
    }
    *same = _mm_movemask_epi8(_mm_cmpeq_epi8(differs, _mm_setzero_si128())) == 0xFFFF;
    return unchanged;
#else
    int unchanged = 0;
    std::uint64_t differs = 0;
    for (int d = 1; d <= 8; ++d) {
        if (std::fabs(w[d] - fresh[d]) <= 0.01) ++unchanged;
        differs |= std::bit_cast<std::uint64_t>(w[d]) ^ std::bit_cast<std::uint64_t>(fresh[d]);
        w[d] = fresh[d];
    }
    *same = differs == 0;
    return unchanged;
#endif
}

}  // namespace

void surfaceroutingclass::BuildNeighbourhood(int r, int c, std::size_t f, Neighbourhood* n) const {
    const bool withWater = LevelWithWater(method);
    const unsigned exists = existsMask[f], inside = insideMask[f];
    MaskToFlags(exists, n->exists);
    MaskToFlags(inside, n->inside);
    // Rows r - 1, r, r + 1 (a row beyond the grid is never read: its neighbours do not exist).
    const double* const z[3] = {terrain[r - 1], terrain[r], r < nrows ? terrain[r + 1] : nullptr};
    const double* const depth[3] = {totalInput[r - 1], totalInput[r], r < nrows ? totalInput[r + 1] : nullptr};
    if ((exists & 0x1FFu) == 0x1FFu && (inside & 0x1FEu) == 0x1FEu) {
        // Every neighbour exists and lies inside (most cells): no flag to look at.
        for (int d = 0; d <= 8; ++d) {
            const int i = kRowStep[d] + 1, cc = c + kColStep[d];
            const double bare = z[i][cc];
            n->bare[d] = bare;
            n->level[d] = bare + (withWater ? depth[i][cc] : 0.0);
        }
        return;
    }
    for (int d = 0; d <= 8; ++d) {
        const int i = kRowStep[d] + 1, cc = c + kColStep[d];
        const double bare = (exists >> d) & 1u ? z[i][cc] : 0.0;
        const double h = (withWater && (d == 0 || ((inside >> d) & 1u))) ? depth[i][cc] : 0.0;
        n->bare[d] = bare;
        n->level[d] = bare + h;
    }
}

void surfaceroutingclass::ComputeSlopes(int r, int c, double* slope, double* aspect, int* type) const {
    Neighbourhood n;
    BuildNeighbourhood(r, c, FlagIndex(r, c), &n);
    SlopesAt(r, c, FlagIndex(r, c), n, IsRiver(r, c), slope, aspect, type);
}

void surfaceroutingclass::ComputeFlowWeights(int r, int c, int* type, long k, double slope, double aspect) {
    Neighbourhood n;
    BuildNeighbourhood(r, c, FlagIndex(r, c), &n);
    WeightsAt(r, c, n, type, k, slope, aspect);
}

void surfaceroutingclass::ComputeVelocities(int r, int c, long k, long refresh, int type) {
    Neighbourhood n;
    BuildNeighbourhood(r, c, FlagIndex(r, c), &n);
    VelocitiesAt(r, c, n, k, refresh, type);
}

void surfaceroutingclass::SlopesAt(int r, int c, std::size_t f, const Neighbourhood& n, bool river, double* slope,
                                   double* aspect,
                                   int* type) const {
    *slope = 0;
    *aspect = 0;
    *type = kNoType;
    if (river) {
        *type = kRiverCell;
        return;
    }
    // Not on the grid border, every neighbour inside (bits 1..8 of the inside mask).
    const bool interior =
        r > 1 && r < nrows && c > 1 && c < ncols && (insideMask[f] & 0x1FEu) == 0x1FEu;
    const SlopeAspect sa = SlopeAndAspect(n, interior, cellsize);
    *slope = sa.slope;
    *aspect = sa.aspect;
    *type = sa.type;
}

bool surfaceroutingclass::WeightsAt(int r, int c, const Neighbourhood& n, int* type, long k, double slope,
                                    double aspect) {
    if (*type != kInteriorCell && *type != kBorderCell) return true;
    double* w = weights[r][c];
    double* v = velocity[r][c];
    double fresh[9];
    int main = 0;
    if (*type == kInteriorCell && slope != 0) {
        double delta = 0;
        const int sector = SectorOfAspect(aspect, &delta);
        const double planCurvature = (*curvature)[r][c];
        main = delta == 0 && lookUpOnAxisShares ? OnAxisAspectWeights(sector, method, planCurvature, n, fresh)
                                                : AspectWeights(aspect, method, planCurvature, n, fresh);
        if (main == 0) *type = kBorderCell;
    }
    if (*type == kBorderCell || slope == 0) main = DropWeights(method, n, fresh);
    bool same = true;
    const int unchanged = ReplaceShares(w, fresh, &same);
    v[0] = main;
    v[kLevels] = terrain[r][c] + (*surfaceStorage)[r][c] / 1000.0;
    w[0] = k >= 1 ? unchanged : 0;
    return same;
}

void surfaceroutingclass::KeepWeights(int r, int c, int type, long k) {
    if (type != kInteriorCell && type != kBorderCell) return;
    double* w = weights[r][c];
    velocity[r][c][kLevels] = terrain[r][c] + (*surfaceStorage)[r][c] / 1000.0;
    w[0] = k >= 1 ? UnchangedWeights(w, w) : 0;
}

bool surfaceroutingclass::KeepsFluxes(int r, int c, long k, long refresh) const {
    return weights[r][c][0] >= 8 && k != 0 && k != refresh && method != 5;
}

void surfaceroutingclass::VelocitiesAt(int r, int c, const Neighbourhood& n, long k, long refresh, int type) {
    double* w = weights[r][c];
    double* v = velocity[r][c];
    double* q = fluxes[r][c];
    const int main = static_cast<int>(v[0]);
    const double h = totalInput[r][c];
    const double longest = maxSubStep > 0 ? maxSubStep : CouplingStep();
    // What the cell holds, as a flux over the longest sub step: no sub step may take more.
    const double holds = cellsize * cellsize * std::max(h, 0.0) / longest;
    if (KeepsFluxes(r, c, k, refresh)) {
        // Kept fluxes were computed for the water of an earlier sub step.
        ScaleFluxesTo(holds, q);
        q[0] = main >= 1 && main <= 8 ? q[main] : q[0];
        return;
    }
    q[0] = 0;
    double sum = 0, lastQ2 = 0;
    bool fallback = false;
    if (h <= 0) {
        // A dry cell sends nothing in any direction.
        for (int d = 1; d <= 8; ++d) {
            v[d] = 0;
            q[d] = 0;
        }
    } else {
        RoughnessParams p;
        const int pos = static_cast<int>(cellLanduse[r][c]);
        if (pos >= 0 && settings.landuseTable != nullptr) {
            const landuse_entry& lu = settings.landuseTable[pos];
            p.cultivation = lu.GetSR_cultivation();
            TakeLanduseRoughness(lu, p);
            p.residueCover = residueCover[r][c];
            p.stemDiameter = stemDiameter[r][c];
        }
        p.minCropDepth = minCropDepth;
        p.aNLTolerance = aNLTolerance;
        p.aNLIterations = aNLIterations;
        const VelocitySettings vs{velocityTolerance, velocityIterations, concentrationFactor};
        const double level = n.level[0];
        for (int d = 1; d <= 8; ++d) {
            if (w[d] <= 0) {
                v[d] = 0;
                q[d] = 0;
                continue;
            }
            if (v[d] <= 0) v[d] = 0.1;
            const double length = IsDiagonal(d) ? kDiagonal * cellsize : cellsize;
            const double drop = level - n.level[d];
            double sl = drop / length;
            if (type == kInteriorCell && !(n.bare[0] > n.level[d]))
                sl = (n.level[Opposite(d)] - n.level[d]) / (2 * length);
            const double sq = sl > 0 ? std::sqrt(sl) : 0.0;
            const double q1 = cellsize * cellsize * w[d] * h / longest;
            const double q2 = drop * w[d] * cellsize * 2 * cellsize / longest;
            lastQ2 = q2;
            if (method == 5) {
                v[d] = FixedCoefficientVelocity(h, sq, length, minSubStep);
                q[d] = v[d] * length * h;
            } else {
                const DirectionFlow f = RoughnessFlow(v[d], sq, std::min(q1, q2), length, h, (*criticalShear)[r][c],
                                                      p, vs, &fallback);
                v[d] = f.velocity;
                q[d] = f.flux;
            }
            sum += q[d];
        }
    }
    if (fallback) roughnessFallback = true;
    // Every method, the fixed coefficient of method 5 too, sends no more than the cell holds.
    if (sum > 0) sum = ScaleFluxesTo(std::min(holds, lastQ2), q);
    q[0] = main >= 1 && main <= 8 ? q[main] : sum;
}

// The velocity pass of a sub step lives beside the per-cell work it calls for every cell it
// computes, so that the compiler can take that work in. Each cell's work reads the levels and
// flags of its neighbourhood and writes its own values only: the rows may come in any order.
void surfaceroutingclass::VelocityRows(std::span<const int> rows, long k, long refresh) {
    // No team for no rows (a single process has no edge rows): waking the threads would be all
    // the pass did.
    if (rows.empty()) return;
    const bool skip = skipQuietCells;
    long quiet = 0, kept = 0;
    // The first pass of a call finds the stable sub step over the cells it computes: a cell it
    // skips holds velocities of +0, which bound nothing.
    double stable = 1e36;
    const int chunks = ChunksPerRow();
    if (Threaded()) ShareRows(rows, omp_get_max_threads(), VelocityWorkCounts());
#pragma omp parallel reduction(+ : quiet, kept) reduction(min : stable) if (Threaded())
    {
        const ThreadPart part = PartOfThisThread(rows.size());
        for (std::size_t n = part.first; n < part.end; ++n) {
            const int r = rows[n];
            const int from = part.From(n), to = part.To(n);
            const std::size_t rowFlags = FlagIndex(r, 0);
            unsigned char* work8 = &chunkWork[static_cast<std::size_t>(r - firstRow) * static_cast<std::size_t>(chunks)];
            int computed = 0;
            for (int chunk = from; chunk < to; ++chunk) {
                const int c0 = 1 + 8 * chunk;
                const std::size_t f0 = rowFlags + static_cast<std::size_t>(c0);
                std::uint64_t changed = 0;
                std::uint64_t work = VelocityWork(f0, skip, &changed);
                const std::uint64_t own = surfrout::LoadFlags(&ownFlag[f0]);
                work8[chunk] = static_cast<unsigned char>(surfrout::FlagCount(work));
                computed += surfrout::FlagCount(work);
                quiet += surfrout::FlagCount(own) - surfrout::FlagCount(work);
                if (k <= 1 && work != own) KeepQuietShares(r, c0, own & ~work, k);
                // Cells whose shares were computed from the levels their neighbourhood still holds.
                const std::uint64_t keep =
                    skip && work != 0 ? surfrout::LoadFlags(&sharesKnown[f0]) & ~changed : 0;
                while (work != 0) {
                    const int c = c0 + surfrout::TakeFirstFlag(&work);
                    const std::size_t f = f0 + static_cast<std::size_t>(c - c0);
                    surfrout::Neighbourhood n;
                    int type = 0;
                    bool sameWeights = true;
                    if ((keep >> (8 * (c - c0))) & 1u) {
                        type = cellType[f];
                        KeepWeights(r, c, type, k);  // the shares come out as they were
                        ++kept;
                        // Velocities read the levels only for water (or NaN) whose fluxes are computed.
                        if (!(totalInput[r][c] <= 0) && !KeepsFluxes(r, c, k, refresh)) BuildNeighbourhood(r, c, f, &n);
                    } else {
                        BuildNeighbourhood(r, c, f, &n);
                        double slope = 0, aspect = 0;
                        SlopesAt(r, c, f, n, riverFlag[f] != 0, &slope, &aspect, &type);
                        sameWeights = WeightsAt(r, c, n, &type, k, slope, aspect);
                        cellType[f] = static_cast<unsigned char>(type);
                        sharesKnown[f] = 1;
                    }
                    VelocitiesAt(r, c, n, k, refresh, type);
                    if (k == 0) stable = std::min(stable, StableStepOfCell(r, c));
                    settled[f] = Settled(r, c, k, sameWeights);
                    const bool none = surfrout::SendsNothing(fluxes[r][c]);
                    sendsNothing[f] = none;
                    calm[f] = static_cast<unsigned char>(none && concFinite[f] != 0);
                }
            }
            // A row that two threads share is counted from its chunks below.
            if (from == 0 && to == chunks) countedWork[static_cast<std::size_t>(r - firstRow)] = computed;
        }
    }
    KeepWorkCounts(rows, VelocityWorkCounts());
    quietCellPasses += quiet;
    keptSharePasses += kept;
    stableSubStep = std::min(stableSubStep, stable);
}

double surfaceroutingclass::ComputeRoughness(double v, double depth, double residue, double rootSlope, int /*row*/,
                                             int /*col*/, int landuseCode, int cultivation) {
    RoughnessParams p;
    if (landuseCode >= 0 && settings.landuseTable != nullptr) {
        TakeLanduseRoughness(settings.landuseTable[landuseCode], p);
    }
    p.cultivation = cultivation;
    p.residueCover = residue;
    p.minCropDepth = minCropDepth;
    p.aNLTolerance = aNLTolerance;
    p.aNLIterations = aNLIterations;
    bool fallback = false;
    const double kr = FlowCoefficient(v, depth, rootSlope, p, &fallback);
    if (fallback) roughnessFallback = true;
    return kr;
}

void surfaceroutingclass::ComputeCellFluxes(int r, int c, double dt) {
    const std::size_t f = FlagIndex(r, c);
    CellFluxes(r, c, f, dt, tracerCount > 0 && (FiniteAround(f) & 1u) != 0);
}

void surfaceroutingclass::CellFluxes(int r, int c, std::size_t f, double dt, bool finiteAround) {
    const unsigned exists = existsMask[f];
    // The flux rows r - 1, r, r + 1 as contiguous blocks (a row beyond the grid is never read).
    constexpr std::size_t perCell = kLevels + 1;
    const double* const rows[3] = {r > 1 ? fluxes.rowBlock(r - 1) : nullptr, fluxes.rowBlock(r),
                                   r < nrows ? fluxes.rowBlock(r + 1) : nullptr};
    // What each existing neighbour sends towards this cell (along the opposite direction).
    double from[9] = {};
    double in = 0, out = 0;
    if ((exists & 0x1FEu) == 0x1FEu) {
        // Every neighbour exists (most cells): no flag to look at.
        for (int d = 1; d <= 8; ++d) {
            const std::size_t cc = static_cast<std::size_t>(c + kColStep[d]);
            from[d] = rows[kRowStep[d] + 1][cc * perCell + static_cast<std::size_t>(Opposite(d))];
            in += from[d];
        }
    } else {
        for (int d = 1; d <= 8; ++d) {
            if (!((exists >> d) & 1u)) continue;
            const std::size_t cc = static_cast<std::size_t>(c + kColStep[d]);
            from[d] = rows[kRowStep[d] + 1][cc * perCell + static_cast<std::size_t>(Opposite(d))];
            in += from[d];
        }
    }
    // A direction that sends nothing adds +0, which leaves the sum (+0 or positive) as it is.
    const double* q = rows[1] + static_cast<std::size_t>(c) * perCell;
    for (int d = 1; d <= 8; ++d) out += q[d] > 0 ? q[d] : 0.0;
    (*qIn)[r][c] = in * dt;
    (*qOut)[r][c] = out * dt;
    for (int t = 1; t <= tracerCount; ++t) {
        SurfaceTracer& st = surfaceTracers[static_cast<std::size_t>(t)];
        double tracerIn = 0;
        if (finiteAround) {
            // A neighbour that sends nothing (+0 or -0, and from[d] of a missing one is 0) adds
            // +0 or -0 times a finite concentration, which leaves the sum as it is: the sum starts
            // at +0 and so never is -0.
            for (int d = 1; d <= 8; ++d)
                if (from[d] != 0) tracerIn += from[d] * st.conc[r + kRowStep[d]][c + kColStep[d]];
        } else {
            for (int d = 1; d <= 8; ++d)
                if ((exists >> d) & 1u) tracerIn += from[d] * st.conc[r + kRowStep[d]][c + kColStep[d]];
        }
        st.inflow[r][c] = tracerIn * 1000.0 * dt;
    }
}

namespace {

// Mean of the neighbours of (r, c) that hold a value (value(rr, cc) is nodata where none is),
// added in the order of the flow directions; nodata when no neighbour holds one.
template <class Value>
double NeighbourMean(int r, int c, int nrows, int ncols, double nodata, Value&& value) {
    double sum = 0;
    int count = 0;
    for (int d = 1; d <= 8; ++d) {
        const int rr = r + kRowStep[d], cc = c + kColStep[d];
        if (rr < 1 || rr > nrows || cc < 1 || cc > ncols) continue;
        const double v = value(rr, cc);
        if (v == nodata) continue;
        sum += v;
        ++count;
    }
    return count > 0 ? sum / count : nodata;
}

}  // namespace

void surfaceroutingclass::FillFromNeighbours(int r, int c, Matrix& grid) const {
    const double mean = NeighbourMean(r, c, nrows, ncols, nodata,
                                      [&](int rr, int cc) { return grid.holds(rr) ? grid[rr][cc] : nodata; });
    if (mean != nodata) grid[r][c] = mean;
}

void surfaceroutingclass::ComputePlanCurvature() {
    Matrix& k = *curvature;
    for (int r = firstRow; r <= lastRow; ++r) {
        std::fill(k[r] + 1, k[r] + ncols + 1, nodata);
        if (r == 1 || r == nrows) continue;
        for (const int c : OwnColumns(r)) {
            if (c == 1 || c == ncols) continue;
            double z[3][3];
            bool complete = true;
            for (int i = 0; i < 3 && complete; ++i)
                for (int j = 0; j < 3 && complete; ++j) {
                    z[i][j] = terrain[r - 1 + i][c - 1 + j];
                    complete = z[i][j] != nodata;
                }
            if (complete) k[r][c] = PlanCurvature(z, cellsize);
        }
    }
    // Gaps (basin cells without a curvature) are filled in row order over the whole grid, so
    // that every division of the grid among the processes fills them alike: a gap takes the
    // mean of its neighbours as filled so far.
    const bool distributed = size > 1 && mpiRegions != nullptr && mpiHelper != nullptr;
    if (!distributed) {
        const Matrix& zone = *(*gridStore)[1].grid;
        for (int r = firstRow; r <= lastRow; ++r) {
            if (!k.holds(r) || !zone.holds(r)) continue;
            for (int c = 1; c <= ncols; ++c)
                if (zone[r][c] != nodata && k[r][c] == nodata) FillFromNeighbours(r, c, k);
        }
        return;
    }
    FillCurvatureGapsOnProcessZero(k);
}

// The gaps of a divided grid are filled on process 0 from the cells around them alone: each
// process lists (index and value, in row order) its gaps and its cells next to a cell without
// a value here (an own gap, or another process's cell, which may be a gap); process 0 fills
// the gaps in row order and sends each filled gap to its process. A cell with a curvature has
// a complete neighbourhood of basin cells, so every neighbour with a value of a gap is listed.
void surfaceroutingclass::FillCurvatureGapsOnProcessZero(Matrix& k) {
    std::vector<double> mine;
    for (int r = firstRow; r <= lastRow; ++r)
        for (const int c : OwnColumns(r)) {
            // Cells on the border of the grid are gaps: the neighbours looked at lie inside.
            bool listed = k[r][c] == nodata;
            for (int d = 1; d <= 8 && !listed; ++d) listed = k[r + kRowStep[d]][c + kColStep[d]] == nodata;
            if (!listed) continue;
            mine.push_back(static_cast<double>((r - 1) * ncols + c - 1));
            mine.push_back(k[r][c]);
        }
    std::vector<int> counts;
    const std::vector<double> all = mpirows::GatherLists(mine, &counts);
    std::vector<std::vector<double>> filled(rank == 0 ? static_cast<std::size_t>(size) : 0);
    if (rank == 0) {
        struct Listed {
            long index;
            double value;
            int owner;
        };
        std::vector<Listed> cells;
        cells.reserve(all.size() / 2);
        // Every list comes in row order and names cells no other list names: the lists merged one
        // after the other give the cells in row order (a list that starts after the cells before
        // it needs no merge, as with regions of whole rows).
        const auto byIndex = [](const Listed& a, const Listed& b) { return a.index < b.index; };
        const auto appendRun = [&](std::size_t from) {
            if (from > 0 && from < cells.size() && byIndex(cells[from], cells[from - 1]))
                std::inplace_merge(cells.begin(), cells.begin() + static_cast<std::ptrdiff_t>(from), cells.end(),
                                   byIndex);
        };
        std::size_t at = 0;
        for (int p = 0; p < size; ++p) {
            const std::size_t from = cells.size();
            for (int n = 0; n < counts[static_cast<std::size_t>(p)]; n += 2, at += 2)
                cells.push_back({static_cast<long>(all[at]), all[at + 1], p});
            appendRun(from);
        }
        // A zone cell in no process's region is a gap of the whole grid too. Zone values that
        // rank as zones (codes from 0) lie above -2, so only a nodata value above that leaves
        // such cells; process 0 holds both grids whole.
        if (nodata >= -2.0) {
            const std::size_t from = cells.size();
            const Matrix& zone = *(*gridStore)[1].grid;
            for (int r = 1; r <= nrows; ++r)
                for (int c = 1; c <= ncols; ++c)
                    if (zone[r][c] != nodata && (*mpiRegions)[r][c] == nodata)
                        cells.push_back({static_cast<long>(r - 1) * ncols + c - 1, nodata, -1});
            appendRun(from);
        }
        // Where each listed cell stands in the list, by its index (-1: not listed).
        std::vector<int> listedAt(static_cast<std::size_t>(nrows) * static_cast<std::size_t>(ncols), -1);
        for (std::size_t i = 0; i < cells.size(); ++i) listedAt[static_cast<std::size_t>(cells[i].index)] = static_cast<int>(i);
        auto valueAt = [&](int rr, int cc) {
            const int i = listedAt[static_cast<std::size_t>(rr - 1) * static_cast<std::size_t>(ncols) + static_cast<std::size_t>(cc - 1)];
            return i >= 0 ? cells[static_cast<std::size_t>(i)].value : nodata;
        };
        for (Listed& cell : cells) {
            if (cell.value != nodata) continue;
            const int r = static_cast<int>(cell.index / ncols) + 1, c = static_cast<int>(cell.index % ncols) + 1;
            cell.value = NeighbourMean(r, c, nrows, ncols, nodata, valueAt);
            if (cell.value == nodata || cell.owner < 0) continue;
            if (cell.owner == 0) {
                k[r][c] = cell.value;
                continue;
            }
            filled[static_cast<std::size_t>(cell.owner)].push_back(static_cast<double>(cell.index));
            filled[static_cast<std::size_t>(cell.owner)].push_back(cell.value);
        }
    }
    const std::vector<double> back = mpirows::ScatterLists(filled);
    for (std::size_t i = 0; i + 1 < back.size(); i += 2) {
        const int index = static_cast<int>(back[i]);
        const int r = index / ncols + 1, c = index % ncols + 1;
        if (k.holds(r)) k[r][c] = back[i + 1];
    }
}
