// Grids of the snow slides made at construction on process 0: the deposition limit of every
// basin cell and the order of the basin cells by elevation.
#include <algorithm>
#include <vector>

#include "surface/snowmod.hpp"

namespace {

struct ElevatedCell {
    int row, col;
    double z;
};

}  // namespace

double MaxDepositionOfSlope(double factor, double slope, double maxSlope) {
    // Slopes at or above the limit (and a limit of 0) hold nothing: no division by 0 and no
    // negative limit.
    if (!(maxSlope > 0) || slope >= maxSlope) return 0.0;
    return std::max(0.0, factor * (1.0 - slope / maxSlope));
}

void schneemodellklasse::CreateSlideGrids() {
    // Whole-grid copies of the zone grid, the elevation and the slope on process 0 (gathers are
    // collective, so every process takes part).
    const int slopeIndex = GetGridIndex("slope_angle");
    Matrix zoneCopy = MPIGatherGridCopy(1);
    Matrix elevationCopy = MPIGatherGridCopy(2);
    Matrix slopeCopy = MPIGatherGridCopy(slopeIndex);
    if (rank != 0) return;
    const Matrix& zone = zoneCopy.empty() ? *zoneGrid : zoneCopy;
    const Matrix& z = elevationCopy.empty() ? *elevation : elevationCopy;
    const Matrix& slope = slopeCopy.empty() ? *(*gridStore)[slopeIndex].grid : slopeCopy;
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
    std::vector<ElevatedCell> cells;
    for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c)
            if (inBasin(r, c)) cells.push_back({r, c, z[r][c]});
    std::stable_sort(cells.begin(), cells.end(), [](const ElevatedCell& a, const ElevatedCell& b) { return a.z < b.z; });
    std::size_t k = 0;
    for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) {
            if (inBasin(r, c)) {
                elevOrderRow.data[r][c] = cells[k].row;
                elevOrderCol.data[r][c] = cells[k].col;
                ++k;
            } else {
                elevOrderRow.data[r][c] = elevOrderCol.data[r][c] = nodata;
            }
        }
}
