#pragma once
// The cells that move between their owners and process 0 in a region transfer (the lake cells
// of the routing), and a view of the values of a cell in a grid or in one level of a stack.
#include <cstdint>
#include <vector>

#include "kernel/matrix.hpp"

struct RegionCell {
    std::int32_t row = 0;
    std::int32_t col = 0;
};

// Per process the masked cells it owns, in transfer order (rows in order, within a row the
// basin columns). Process 0 holds the lists of every process, the others only their own.
struct RegionCells {
    std::vector<std::vector<RegionCell>> cells;  // index: process number
    // Process 0: the first and last row of all cells (lastRow < firstRow when there are none).
    int firstRow = 1, lastRow = 0;
    const std::vector<RegionCell>& Of(int process) const { return cells[static_cast<std::size_t>(process)]; }
};

// The values of a cell: of a grid, or of one level of a stack.
struct CellValues {
    CellValues(Matrix* g) : grid(g) {}  // NOLINT: a grid is the usual case
    CellValues(Stack* s, int l) : stack(s), level(l) {}
    Matrix* grid = nullptr;
    Stack* stack = nullptr;
    int level = 0;
    bool empty() const { return grid == nullptr && stack == nullptr; }
    bool holds(int r) const { return grid != nullptr ? grid->holds(r) : stack != nullptr && stack->holds(r); }
    double& at(int r, int c) const { return grid != nullptr ? (*grid)[r][c] : (*stack)[r][c][level]; }
    bool same(const CellValues& o) const { return grid == o.grid && stack == o.stack && level == o.level; }
};

// A grid's own values and where process 0 stores them (see MPICollectRegionCells).
struct CellValuePair {
    CellValues values, target;
};
