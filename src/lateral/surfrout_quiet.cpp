// Quiet cells of the sub steps. Most of a basin is dry most of the time, and a dry cell whose
// neighbourhood keeps its water levels writes back, in every sub step, exactly the values it
// holds. Such a cell is skipped; it is recognised from flags that the passes keep per cell:
// - velocity pass: the cell's depth, the velocities 1-8 and the fluxes 0-8 are +0, its shares
//   came out bit for bit as in the pass before (so that the count of unchanged shares stays),
//   and no level of its 3 x 3 neighbourhood or its storage changed since: slopes, shares, main
//   direction and level are the same, and velocities and fluxes stay 0 whether the fluxes are
//   kept or computed anew.
// - storage pass: storage (so the depth), inflow, outflow (and tracer inflow, concentration and
//   direct-flow amount) are +0 and neither the cell nor a neighbour sends anything (with tracers: every
//   neighbour's concentration finite, so that 0 x concentration is 0): S = 0 + 0 - 0 stays +0.
// Values are compared as bits, so that -0 and NaN never pass for +0. Each call of run begins
// with new water, and the soil model and silting-up take surface water in between two calls:
// the start of a call marks the levels that differ from those the last call left, and takes the
// storage pass's flags anew from the water it starts with, so that its first sub steps skip the
// cells the new water does not reach. A quiet cell's computation in a call's first two velocity
// passes would write the count of unchanged shares (0 in the first, all of them in the second):
// that count is written for it. Cells of other processes in the halo rows get their flags from
// the exchanged values. The same file builds the per-cell tables: own
// basin cells by row and which neighbours exist and lie inside.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "lateral/surfrout.hpp"

namespace {

bool PositiveZero(double x) { return std::bit_cast<std::uint64_t>(x) == 0; }

bool SameBits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// x + (+0) gives x bit for bit.
bool KeepsWhenZeroAdded(double x) { return !std::isnan(x) && !(x == 0 && std::signbit(x)); }

}  // namespace

void surfaceroutingclass::BuildQuietCells() {
    const std::size_t cells = static_cast<std::size_t>(std::max(0, hi - lo + 3)) * FlagStride();
    ownFlag.assign(cells, 0);
    riverFlag.assign(cells, 0);
    for (int r = firstRow; r <= lastRow; ++r)
        for (const int c : OwnColumns(r)) ownFlag[FlagIndex(r, c)] = 1;
    levelSeen.assign(ownCols.size(), LevelSeen{0, 0});
    levelChanged.assign(cells, 0);
    sendsNothing.assign(cells, 1);
    concFinite.assign(cells, 1);
    calm.assign(cells, 1);
    settled.assign(cells, 0);
    dry.assign(cells, 0);
    storageWork.assign(cells, 0);
    sharesKnown.assign(cells, 0);
    cellType.assign(cells, 0);
    existsMask.assign(cells, 0);
    insideMask.assign(cells, 0);
    // Which neighbours exist (a zone value) and lie inside (a zone above 0), from one byte per
    // cell of the held rows (bit 0 exists, bit 1 inside; none in the columns beyond the grid).
    const std::size_t width = static_cast<std::size_t>(ncols) + 2;
    std::vector<unsigned char> kind(static_cast<std::size_t>(std::max(0, hi - lo + 1)) * width, 0);
    for (int r = lo; r <= hi; ++r) {
        const double* zone = zoneHalo[r];
        unsigned char* k = &kind[static_cast<std::size_t>(r - lo) * width];
        for (int c = 1; c <= ncols; ++c)
            k[c] = static_cast<unsigned char>((zone[c] != nodata ? 1u : 0u) | (zone[c] > 0 ? 2u : 0u));
    }
    // A row of the grid's rows, or a row without neighbours for the rows beyond the grid; the
    // masks are built a row at a time, one direction after the other over the whole row.
    const std::vector<unsigned char> noRow(width, 0);
    std::vector<std::uint16_t> exists(width, 0), inside(width, 0);
    for (int r = firstRow; r <= lastRow; ++r) {
        std::fill(exists.begin(), exists.end(), 0);
        std::fill(inside.begin(), inside.end(), 0);
        for (int d = 0; d <= 8; ++d) {
            const int rr = r + surfrout::kRowStep[d];
            const unsigned char* const k =
                rr < 1 || rr > nrows ? noRow.data() : &kind[static_cast<std::size_t>(rr - lo) * width];
            const int step = surfrout::kColStep[d];
            std::uint16_t* const e = exists.data();
            std::uint16_t* const i = inside.data();
            for (int c = 1; c <= ncols; ++c) {
                const unsigned v = k[c + step];
                e[c] = static_cast<std::uint16_t>(e[c] | ((v & 1u) << d));
                i[c] = static_cast<std::uint16_t>(i[c] | (((v >> 1) & 1u) << d));
            }
        }
        const auto at = static_cast<std::ptrdiff_t>(FlagIndex(r, 1));
        std::copy(exists.begin() + 1, exists.begin() + ncols + 1, existsMask.begin() + at);
        std::copy(inside.begin() + 1, inside.begin() + ncols + 1, insideMask.begin() + at);
    }
    // The cells of other processes in the held rows, from the own-cell flags of the own rows.
    foreignCells.clear();
    const double none = nodata;
    for (int r = lo; r <= hi; ++r) {
        const double* const zone = zoneHalo[r];
        const bool ownRow = r >= firstRow && r <= lastRow;
        const unsigned char* const own = ownRow ? &ownFlag[FlagIndex(r, 0)] : nullptr;
        for (int c = 1; c <= ncols; ++c)
            if (zone[c] != none && (own == nullptr || own[c] == 0))
                foreignCells.push_back(ForeignCell{r, c, FlagIndex(r, c), totalInput[r][c]});
    }
    SplitRows();
}

void surfaceroutingclass::SplitRows() {
    // Rows of lo .. hi that hold a cell of another process or receive halo values.
    std::vector<unsigned char> foreign(static_cast<std::size_t>(std::max(0, hi - lo + 1)), 0);
    const auto mark = [&](int r) {
        if (r >= lo && r <= hi) foreign[static_cast<std::size_t>(r - lo)] = 1;
    };
    for (const ForeignCell& f : foreignCells) mark(f.r);
    if (recvHalo != nullptr)
        for (const HaloRecord& h : *recvHalo) mark(h.row);
    const auto marked = [&](int r) { return r >= lo && r <= hi && foreign[static_cast<std::size_t>(r - lo)] != 0; };
    // Rows that are sent are edge rows too: the passes send the edge rows' values while they
    // compute the inner rows.
    std::vector<unsigned char> sent(foreign.size(), 0);
    if (sendHalo != nullptr)
        for (const HaloRecord& h : *sendHalo)
            if (h.row >= lo && h.row <= hi) sent[static_cast<std::size_t>(h.row - lo)] = 1;
    innerRows.clear();
    edgeRows.clear();
    for (int r = firstRow; r <= lastRow; ++r)
        (marked(r - 1) || marked(r) || marked(r + 1) || sent[static_cast<std::size_t>(r - lo)] != 0 ? edgeRows
                                                                                                 : innerRows)
            .push_back(r);
}

void surfaceroutingclass::NoteStartOfCall(int r, int c, std::size_t i, std::size_t f, bool riverMoved) {
    // Levels are compared with those the last sub steps left (not with those at this call's start):
    // the soil model and silting-up take the surface water in between two calls.
    const LevelSeen& seen = levelSeen[i];
    if (riverMoved || !SameBits((*surfaceStorage)[r][c], seen.storage) || !SameBits(totalInput[r][c], seen.depth))
        levelChanged[f] = 1;
    dry[f] = DryAfterStorage(r, c, riverFlag[f] != 0);
    bool finite = true;
    for (int t = 1; t <= tracerCount; ++t)
        finite = finite && std::isfinite(surfaceTracers[static_cast<std::size_t>(t)].conc[r][c]);
    concFinite[f] = finite;
    calm[f] = static_cast<unsigned char>(finite && sendsNothing[f] != 0);
}

void surfaceroutingclass::KeepQuietShares(int r, int c0, std::uint64_t quiet, long k) {
    // A quiet cell's shares come out as it holds them; the count of unchanged ones starts at 0 in
    // the first sub step of a call and counts all of them in the second. River cells have none.
    while (quiet != 0) {
        const int c = c0 + surfrout::TakeFirstFlag(&quiet);
        if (riverFlag[FlagIndex(r, c)] != 0) continue;
        double* w = weights[r][c];
        w[0] = k == 0 ? 0 : surfrout::UnchangedWeights(w, w);
    }
}

void surfaceroutingclass::NoteForeignLevels() {
    for (ForeignCell& f : foreignCells) {
        const double now = totalInput[f.r][f.c];
        levelChanged[f.flag] = std::bit_cast<std::uint64_t>(now) != std::bit_cast<std::uint64_t>(f.level);
        f.level = now;
    }
}

void surfaceroutingclass::NoteForeignFluxes() {
    for (const ForeignCell& f : foreignCells) {
        // Mostly dry cells that send nothing.
        const bool none = surfrout::SendsNothing(fluxes[f.r][f.c]);
        bool finite = true;
        for (int t = 1; t <= tracerCount; ++t)
            finite = finite && std::isfinite(surfaceTracers[static_cast<std::size_t>(t)].conc[f.r][f.c]);
        sendsNothing[f.flag] = none;
        concFinite[f.flag] = finite;
        calm[f.flag] = none && finite;
    }
}

bool surfaceroutingclass::DryAfterStorage(int r, int c, bool river) const {
    const double df = (*directflow)[r][c];
    if (!PositiveZero((*surfaceStorage)[r][c]) || !PositiveZero((*qIn)[r][c]) || !PositiveZero((*qOut)[r][c]) ||
        !(river ? KeepsWhenZeroAdded(df) : PositiveZero(df)))
        return false;
    for (int t = 1; t <= tracerCount; ++t) {
        const SurfaceTracer& st = surfaceTracers[static_cast<std::size_t>(t)];
        const double amount = (*st.concQD)[r][c];
        if (!PositiveZero(st.inflow[r][c]) || !PositiveZero(st.conc[r][c]) ||
            !(river ? KeepsWhenZeroAdded(amount) : PositiveZero(amount)))
            return false;
    }
    return true;
}
