#pragma once
// The arithmetic of the groundwater solver on plain numbers and row pointers: leakage between
// two layers, the transmissivity of a face between two cells, the adaptive over-relaxation
// factor and one over-relaxation sweep of a layer over a band of rows. Nothing here knows the
// grid store, MPI or the log, so tests and benchmarks call it directly.
#include <cstdint>

namespace gwnum {

// Leakage rate (m/s) through the interface between an upper layer with head hu and a lower
// layer with head hd whose top is td, for the leakage coefficient k (1/s). Positive: water
// moves up. The head difference is limited to 1 m either way; a lower layer that is not full
// below a higher upper head draws water only through its unsaturated top.
double Leakage(double hu, double hd, double td, double k);

// Harmonic mean 2ab / (a + b) of two transmissivities, 0 when a + b is not positive.
inline double HarmonicMean(double a, double b) { return a + b > 0 ? 2.0 * a * b / (a + b) : 0.0; }

// One cell as a face sees it: head, top of the layer, effective and full thickness,
// conductivity in the face's direction and glacier fraction.
struct FaceCell {
    double h, top, bEff, b, k, g;
};

// Height below which a head counts as below the top of its layer (m).
constexpr double kConfinedMargin = 0.01;

// Storage coefficient of a cell in a step that starts at head h0: the layer's own st while the
// layer is full (h0 at or above its top), layer 1's st1 once the head is below the top (the
// layer then drains its pores like the uppermost layer). The solver and the cell balance both
// use it, so the balance of a converged cell is its storage change less its net inflow.
inline double StepStorage(double h0, double top, double st, double st1) { return h0 >= top ? st : st1; }

// Water a cell holds at head h, per unit of its area (m): its pores filled up to h with layer
// 1's coefficient st1 (the thickness b below top, at most), and above top the layer's own st
// for the water pressed into the full layer. Its change over a step is the step's storage
// coefficient times the head change, as the solver counts it, unless the head crosses the top.
inline double StoredWater(double h, double top, double b, double st, double st1) {
    const double pores = h >= top ? b : (h - top + b > 0 ? h - top + b : 0.0);
    return st1 * pores + (h > top ? st * (h - top) : 0.0);
}

// A cell as the faces on its four sides see it, thicknesses worked out once: head, glacier
// fraction and saturated thickness (m) for its own face along a row, its own face across rows
// and the face of a neighbour that it closes (confined cells use their full thickness; the three
// differ only for a head exactly at the confined limit).
struct FaceSide {
    double h, g, along, across, neighbour;
};

inline FaceSide SideOf(const FaceCell& s) {
    const double limit = s.top + kConfinedMargin;
    const double unconfined = s.h - s.top + s.bEff;
    // At exactly top + margin the cell is still unconfined along rows and confined across them.
    return {s.h, s.g, s.h > limit ? s.b : unconfined, s.h >= limit ? s.b : unconfined, s.h < limit ? unconfined : s.b};
}

// Transmissivity (m^2/s) of the face between cell and its next neighbour along a row (x,
// acrossRows false) or a column (y, acrossRows true), k and kn the conductivities of the face's
// direction in the two cells. neighbour is null when the face has no cell on the other side
// (grid edge, outside the basin, another zone where zones separate).
// A dry side (no saturated thickness) takes the other side's transmissivity when water flows
// from that side into it, so a dry cell fills but passes nothing on.
inline double FaceTransmissivity(const FaceSide& cell, double k, const FaceSide* neighbour, double kn,
                                 bool acrossRows) {
    double tc = cell.g > 0 ? 0.0 : (acrossRows ? cell.across : cell.along) * k;
    double tn = 0;
    if (neighbour != nullptr && !(neighbour->g > 0)) tn = neighbour->neighbour * kn;

    const double hn = neighbour != nullptr ? neighbour->h : 0.0;
    if (tc <= 0) tc = (neighbour != nullptr && tn > 0 && hn > cell.h && k > 0 && cell.g == 0) ? tn : 0.0;
    if (neighbour != nullptr && tn <= 0) tn = (tc > 0 && cell.h > hn && kn > 0 && neighbour->g == 0) ? tc : 0.0;
    return HarmonicMean(tc, tn);
}

// The same from the cells' values, the conductivity of the face's direction in their k.
inline double FaceTransmissivity(const FaceCell& cell, const FaceCell* neighbour, bool acrossRows) {
    const FaceSide n = neighbour != nullptr ? SideOf(*neighbour) : FaceSide{};
    return FaceTransmissivity(SideOf(cell), cell.k, neighbour != nullptr ? &n : nullptr,
                              neighbour != nullptr ? neighbour->k : 0.0, acrossRows);
}

// Adaptive over-relaxation factor from the new Gauss-Seidel value hn, the current iterate
// hstar and the previous iterate hp: 1 when hp equals hstar, else 1 + (hn - hstar) /
// (hstar - hp), then limited to (0, 2] (values not above 0 become 1).
double AdaptiveFactor(double hn, double hstar, double hp);

// The terms of one cell's new head that stay the same through the sweeps of a layer's step
// (faces, storage, sources and start heads change only between steps), computed once by
// PrepareSweeps and used by every sweep instead of computing them again: the same operations
// on the same values, so the heads are the same bit for bit.
struct alignas(64) SorCell {
    double cond[4];  // face conductances towards row r - 1, column c + 1, row r + 1, column c - 1
    double areaQ;    // cell area times (storage / dt times h0 plus the sources)
    double old;      // (1 - alpha) times h0 times the sum of the conductances
    double den;      // alpha times the sum of the conductances plus storage times area / dt
    double divisor;  // of the head change: 5 where h0 >= top, else 1
};

// First and last column of a row whose cells the sweeps update (first > last: none).
struct RowSpan {
    int first, last;
};

// Row pointers of one layer for a sweep (1-based rows and columns, as the model's grids).
// Rows firstRow - 1 and lastRow + 1 must be readable where they lie inside the grid.
struct SorLayer {
    int nrows = 0, ncols = 0;
    double* const* h = nullptr;         // current iterate, written in place
    const double* const* h0 = nullptr;  // head at the start of the step
    double* const* hp = nullptr;        // previous iterate (adaptive factor)
    const double* const* tx = nullptr;  // face transmissivity towards column c + 1
    const double* const* ty = nullptr;  // face transmissivity towards row r + 1
    const double* const* fixQ = nullptr;  // fixed inflow (m/s), values not above nodata are 0
    const double* const* st = nullptr;    // storage coefficient of the layer
    const double* const* st1 = nullptr;   // storage coefficient of layer 1
    const double* const* top = nullptr;
    const double* const* leakBelow = nullptr;  // interface to the layer below; null: none
    const double* const* leakAbove = nullptr;  // interface to the layer above; null: none
    const double* const* dx = nullptr;         // per-cell sizes; null: cellsize
    const double* const* dy = nullptr;
    // Cells the sweep updates: free (not fixed-head) active cells, one byte per cell at
    // r * stride + c.
    const std::uint8_t* update = nullptr;
    std::int64_t stride = 0;
    // Terms of the cells from PrepareSweeps, at (r - cellsFirstRow) * stride + c; null: every
    // sweep computes them.
    const SorCell* cells = nullptr;
    int cellsFirstRow = 0;
    // The same terms laid out for the vector sweep of row groups (PrepareSweeps' lanes); null:
    // the groups are swept cell by cell.
    const double* lanes = nullptr;
    // The updated columns of each row from PrepareSweeps, at r - cellsFirstRow; null: whole rows.
    // The sweeps visit only these columns: rows held beyond the basin cost nothing.
    const RowSpan* spans = nullptr;
    // First row of the band whose row groups the sweeps follow, swept in calls that each begin a
    // whole number of wide groups below it (0: not known). The band's last rows, where fewer than
    // a wide group, then go through the vector registers too, in the group of the band's last
    // kWideGroupRows rows (the rows above them left as they are); PrepareSweeps lays their terms
    // out after the band's where its firstRow is bandFirst (lanes of LaneTermsSize(bandFirst,
    // lastRow + kWideGroupRows)).
    int bandFirst = 0;
    double cellsize = 1, dt = 1, alpha = 1, nodata = -9999.0;
    double sor = 1;  // fixed factor when not adaptive
    bool adaptive = false;
};

struct SweepResult {
    double maxChange = 0;      // largest head change, divided by 5 where h0 >= top
    double factorSum = 0;      // adaptive factors applied
    std::int64_t factorCount = 0;
};

// One over-relaxation sweep over rows firstRow..lastRow (rows in increasing order, columns in
// increasing order, heads updated in place). Threads share the rows (with prepared terms) so
// that every cell reads the heads the sweep on one thread gives it: the result is the same bit
// for bit at any number of threads. A cell without storage and without transmissive faces
// keeps its head and counts no change.
// Cells of a band below which one thread sweeps it alone.
// A variable, so that a test can lower it and make a small grid split its loops.
inline std::int64_t threadedCells = 16384;
// Cells a block of a piece of rows holds at least where a team sweeps a band (pieces of more
// rows where the blocks are narrow), as long as every thread of the team gets a piece: each block
// begins and ends the staggered lanes of its row groups and is handed over between threads, so
// that with 8 threads on 500 columns pieces of 40 rows sweep 15% faster than pieces of 24.
// A variable, so that a test can make pieces of a few rows on a small grid.
inline std::int64_t minPieceBlockCells = 2048;
// Whether groups of rows go through vector registers where the processor has them (AVX2) and
// the layer has its lanes prepared. Set before PrepareSweeps. A variable, so that a test can
// compare both ways (they give the same heads bit for bit).
inline bool vectorSweeps = true;
// Rows one thread sweeps together in vector registers; bands cut at a multiple of it from their
// first row keep the groups of the whole band.
inline constexpr int kWideGroupRows = 8;
// Whether PrepareSweeps notes each row's first and last updated column, so that the sweeps leave
// out the columns outside them (else whole rows). A variable, so that a test can compare both
// ways (they give the same heads bit for bit).
inline bool rowSpans = true;
// The largest change and the factor sums continue those of before: a sweep of a band in two
// calls (rows firstRow..k, then k + 1..lastRow) gives what one call gives, bit for bit.
SweepResult SorSweep(const SorLayer& layer, int firstRow, int lastRow, const SweepResult& before = {});

// Whether a team sweeps the first pieces of a band's next sweep while the last pieces of the
// sweep before are still swept (SweepUntil). A variable, so that a test can compare with the
// sweeps one after the other (the heads are the same bit for bit).
inline bool overlapSweeps = true;
// Pieces whose heads went back to those of the last sweep (the sweep after it, begun there, did
// not happen), counted by SweepUntil over the run. A variable, so that a test can see that its
// sweeps ended where the next sweep had begun.
inline std::int64_t piecesPutBack = 0;

struct SweepsResult {
    int sweeps = 0;    // sweeps made (0: SweepUntil does not apply, nothing swept)
    SweepResult last;  // the result of the last one
};

// Sweeps rows firstRow..lastRow (the band of row groups from layer.bandFirst, the rows before it
// one by one) until a sweep's largest change is not above limit, or maxSweeps sweeps (at least
// one) are made, and gives every head what the sweeps one after the other give it, bit for bit: a
// cell of a sweep reads the heads of that sweep above and west of it and those of the sweep before
// below and east of it. A team of threads sweeps the next sweep's first pieces while the last
// pieces of a sweep are swept; where the sweep's cells swept so far changed no more than the
// limit, the next sweep may not happen: the heads of a piece are kept before that sweep begins it
// and put back if it does not happen. Applies to a band of at least threadedCells cells with
// prepared terms and a fixed factor, with more than one thread (else returns sweeps 0 at once).
SweepsResult SweepUntil(const SorLayer& layer, int firstRow, int lastRow, int maxSweeps, double limit);

// Fills the terms of the cells the sweeps update in rows firstRow..lastRow into cells (at
// (r - firstRow) * stride + c, (lastRow - firstRow + 1) * stride elements); the layer's other
// fields are read as SorSweep reads them. Valid until the faces, storage, sources or start
// heads change.
// With lanes (LaneTermsSize values) it also lays the terms out for the sweep of row groups in
// vector registers, on processors that have them (SorLayer::lanes); with spans (one per row) it
// notes the columns each row updates (SorLayer::spans). Lanes prepared with spans serve only the
// sweeps given the same spans (they cover only the columns these visit).
void PrepareSweeps(const SorLayer& layer, int firstRow, int lastRow, SorCell* cells, double* lanes = nullptr,
                   RowSpan* spans = nullptr);
std::int64_t LaneTermsSize(int firstRow, int lastRow, std::int64_t stride);

// The updated columns of each of rows firstRow..lastRow (spans[r - firstRow]), as PrepareSweeps
// notes them.
void UpdatedSpans(const SorLayer& layer, int firstRow, int lastRow, RowSpan* spans);
// Whether the sweeps of a band begin its row groups at the row ChooseBandFirst finds. A variable,
// so that a test can compare with groups from the band's first row (the heads are the same bit
// for bit).
inline bool chooseBandFirst = true;
// The first row of the band of row groups (SorLayer::bandFirst) for the sweeps of rows
// firstRow..lastRow, among rows first..last (firstRow <= first <= last <= lastRow, last - first < 4;
// the rows before it are swept one by one): the one whose plan of vector groups, groups and single
// rows, as SorSweep follows it, sweeps the fewest cells one at a time, a stage of a group in vector
// registers counted as two cells; the earliest of equal ones. spans: the rows' updated columns
// (UpdatedSpans). A cell goes through the same operations in every plan, so the choice changes no
// head; it moves rows of a band whose rows are fewer than a whole number of groups, where the
// band's first rows hold few cells, out of the single rows at its end.
int ChooseBandFirst(const SorLayer& layer, int firstRow, int lastRow, int first, int last, const RowSpan* spans);

// The new head of one cell before relaxation: (A Q + sum Ck hk - (1 - alpha) h0 sum C) /
// (alpha sum C + Sx A / dt) with Q = Sx h0 / dt + sources. Returns false (hn untouched) when
// the denominator is 0.
bool CellHead(double area, double sources, double storage, double dt, double alpha, double h0, const double* c,
              const double* hk, double* hn);

}  // namespace gwnum
