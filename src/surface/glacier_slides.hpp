#pragma once
// Snow slides over a whole grid: cells are visited from the lowest to the highest; a cell on a
// steep enough slope releases a share of its snow, which moves with the mobile mass that has
// reached it to its same-zone neighbours by their direction fractions and is deposited there up
// to the deposition limit; the excess moves on as mobile mass. At the end every cell's
// deposition and mobile mass becomes snow of that cell, so the basin's snow is unchanged.
// The glacier part of a cell (fraction g) has its own storages. Whole grids in, no MPI or log.
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "kernel/matrix.hpp"

namespace glacier {

struct SlideGrids {
    const Matrix* zone = nullptr;
    const Matrix* orderRow = nullptr;  // elevation order: row-major visit gives the cells low to high
    const Matrix* orderCol = nullptr;
    const Matrix* fraction[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};  // 1 N, 2 W, 3 E, 4 S
    const Matrix* slope = nullptr;
    const Matrix* maxDeposition = nullptr;
    const Matrix* glacierFraction = nullptr;  // null: no glacier part
    Matrix* T = nullptr;
    Matrix* L = nullptr;
    Matrix* S = nullptr;
    Matrix* TG = nullptr;  // glacier part; null when absent
    Matrix* LG = nullptr;
    Matrix* SG = nullptr;
    Matrix* input = nullptr;
    Matrix* mobile = nullptr;
    Matrix* deposition = nullptr;
    int nrows = 0, ncols = 0;
    double nodata = -9999.0;
};

struct SlideParameters {
    double minSlideSlope = 30.0;
    double massFraction = 0.01;
};

// One slide pass; returns the number of cells visited.
std::int64_t SlidePass(const SlideGrids& g, const SlideParameters& p);

// The elevation order as ranks, made once from the order grids: rank of every cell of the zones
// and the cell of every rank. Not usable when the order grids do not name every cell once.
struct SlideOrder {
    int ncols = 0;
    bool usable = false;
    std::vector<std::int32_t> rankOf;            // per cell (Index); -1 outside the zones
    std::vector<std::pair<int, int>> cells;      // per rank: row, column
    std::size_t Index(int r, int c) const {
        return static_cast<std::size_t>(r) * static_cast<std::size_t>(ncols + 1) + static_cast<std::size_t>(c);
    }
};
SlideOrder MakeSlideOrder(const SlideGrids& g);

// The same pass, the same result bit for bit, visiting only the cells that release snow and the
// cells whose mobile mass grows before their turn (the visit of any other cell changes nothing).
std::int64_t SlidePass(const SlideGrids& g, const SlideParameters& p, const SlideOrder& order);

// The steps of a pass apart, for a pass whose cells lie with several owners. A release changes
// only its own cell and nothing else of the pass reads that cell's storages, so every release
// can come first; the moving then needs only the inputs, and each cell's end only its own
// deposition and mobile mass.
// Every cell of the zones without input, mobile mass and deposition (nodata outside the zones).
void ClearMoved(const SlideGrids& g);
// What the visit of cell (r, c) does to the cell itself: a releasing cell's storages give their
// share, and its input is stored (0 for a cell that releases nothing).
void ReleaseAt(const SlideGrids& g, const SlideParameters& p, int r, int c);
// The moving of a pass whose releases are done: from the releasing cells (ranks of `order`) and
// every cell whose mobile mass grows, in elevation order, the input and mobile mass go to the
// neighbours. touched(r, c) hears of every cell whose mobile mass or deposition it may set.
void MoveReleased(const SlideGrids& g, const SlideOrder& order, const std::vector<std::int32_t>& releasing,
                  const std::function<void(int, int)>& touched);
// The end of a pass for cell (r, c) of the zones: its deposition and mobile mass become its snow.
void AddMovedAt(const SlideGrids& g, int r, int c);

// True when cell (r, c) releases snow in a pass: storages not empty, a slope not below the limit.
// Without any such cell a pass moves nothing, and each cell ends as SettleCell leaves it.
bool ReleasesSnow(const SlideGrids& g, const SlideParameters& p, int r, int c);

// What a pass without any release leaves in cell (r, c): no input, mobile mass or deposition
// (nodata outside the zones), the storages as adding nothing leaves them.
void SettleCell(const SlideGrids& g, int r, int c);

// Total snow (1 - g) T + g TG over the basin cells (glacier part only where it exists).
double BasinSnow(const SlideGrids& g);

}  // namespace glacier
