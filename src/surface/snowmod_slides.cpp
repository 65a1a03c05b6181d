// Grids of the snow slides made at construction on process 0: the deposition limit of every
// basin cell and the order of the basin cells by elevation (each process orders its own cells).
#include <algorithm>
#include <vector>

#include "kernel/mpirows.hpp"
#include "surface/snowmod.hpp"

namespace {

// A basin cell in the elevation order of the slides: lower first, equal heights in row-major
// order (the cell's index (row - 1) * ncols + col - 1 orders them).
struct ElevatedCell {
    double z;
    int index;
};

bool Lower(const ElevatedCell& a, const ElevatedCell& b) {
    return a.z < b.z || (!(b.z < a.z) && a.index < b.index);
}

}  // namespace

double MaxDepositionOfSlope(double factor, double slope, double maxSlope) {
    // Slopes at or above the limit (and a limit of 0) hold nothing: no division by 0 and no
    // negative limit.
    if (!(maxSlope > 0) || slope >= maxSlope) return 0.0;
    return std::max(0.0, factor * (1.0 - slope / maxSlope));
}

std::vector<int> schneemodellklasse::ElevationOrder() {
    // Each process orders its own basin cells; process 0 merges the ordered lists, which costs
    // a pass over the basin instead of a sort of it.
    const bool distributed = mpirows::Distributed(*this);
    std::vector<ElevatedCell> own;
    const int first = distributed ? firstRow : 1, last = distributed ? lastRow : nrows;
    for (int r = first; r <= last; ++r) {
        if (!zoneGrid->holds(r)) continue;
        for (int c = 1; c <= ncols; ++c)
            if ((*zoneGrid)[r][c] != nodata && (!distributed || (*mpiRegions)[r][c] == rank))
                own.push_back({(*elevation)[r][c], (r - 1) * ncols + c - 1});
    }
    std::sort(own.begin(), own.end(), Lower);
    std::vector<int> order;
    if (!distributed) {
        order.reserve(own.size());
        for (const ElevatedCell& e : own) order.push_back(e.index);
        return order;
    }
    std::vector<double> mine;
    mine.reserve(own.size());
    for (const ElevatedCell& e : own) mine.push_back(e.index);
    std::vector<int> counts;
    const std::vector<double> all = mpirows::GatherLists(mine, &counts);
    if (rank != 0) return order;
    const Matrix& z = WholeElevation();
    std::vector<ElevatedCell> merged, next;
    merged.reserve(all.size());
    next.reserve(all.size());
    std::size_t at = 0;
    for (int count : counts) {
        const std::size_t mid = merged.size();
        for (int k = 0; k < count; ++k, ++at) {
            const int index = static_cast<int>(all[at]);
            merged.push_back({z[index / ncols + 1][index % ncols + 1], index});
        }
        std::inplace_merge(merged.begin(), merged.begin() + static_cast<std::ptrdiff_t>(mid), merged.end(), Lower);
    }
    order.reserve(merged.size());
    for (const ElevatedCell& e : merged) order.push_back(e.index);
    return order;
}

void schneemodellklasse::CreateSlideGrids() {
    // The order of the cells by elevation is a collective; the whole-grid copies of the zones,
    // the elevation and the slope on process 0 are gathered beforehand (GatherWholeInputs).
    const int slopeIndex = GetGridIndex("slope_angle");
    const std::vector<int> order = ElevationOrder();
    if (rank != 0) return;
    const Matrix& zone = WholeZones();
    const Matrix& slope = slopeWhole.empty() ? *(*gridStore)[slopeIndex].grid : slopeWhole;
    auto inBasin = [&](int r, int c) { return zone.holds(r) && zone[r][c] != nodata; };

    const int existing = FindGrid("max_deposition");
    if (existing > 0) {
        maxDepositionGrid = (*gridStore)[existing].grid;
    } else {
        maxDeposition.data = matrix(1, nrows, 1, ncols, nrows);
        for (int r = 1; r <= nrows; ++r)
            for (int c = 1; c <= ncols; ++c)
                maxDeposition.data[r][c] = inBasin(r, c) ? MaxDepositionOfSlope(maxDepositionFactor, slope[r][c],
                                                                                  maxDepositionSlope)
                                                         : nodata;
        RegisterOwn(maxDeposition, "max_deposition", 1, nrows);
        maxDepositionGrid = &maxDeposition.data;
    }

    elevOrderRow.data = matrix(1, nrows, 1, ncols, nrows);
    elevOrderCol.data = matrix(1, nrows, 1, ncols, nrows);
    RegisterOwn(elevOrderRow, "elev_order_row", 1, nrows);
    RegisterOwn(elevOrderCol, "elev_order_col", 1, nrows);
    std::size_t k = 0;
    for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) {
            if (inBasin(r, c) && k < order.size()) {
                elevOrderRow.data[r][c] = order[k] / ncols + 1;
                elevOrderCol.data[r][c] = order[k] % ncols + 1;
                ++k;
            } else {
                elevOrderRow.data[r][c] = elevOrderCol.data[r][c] = nodata;
            }
        }
}
