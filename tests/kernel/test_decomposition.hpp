#pragma once
// A test-only division of a small grid among the MPI processes, made the way the set-up's
// load balancing does it with equally fast processes: the valid cells in row-major order,
// the highest process number taking the first share; the owner grid "MPIRegions" and the
// strip table "MPIHelper" registered in the grid store, the basin column ranges and the
// halo lists. Every process computes the whole division itself from the full zone grid.
#include <cstdint>
#include <vector>

#include "kernel/modelobject.hpp"

namespace talvo_test {

struct TestDecomposition {
    Matrix regions;  // "MPIRegions": all rows on process 0, own rows +-1 elsewhere
    Matrix helper;   // "MPIHelper"
    std::vector<ColumnRange> basin;
    std::vector<HaloRecord> sendHalo, recvHalo;
    std::vector<std::int64_t> cellsPerProcess;
    std::vector<int> firstRow, lastRow;  // own rows of every process
    // Owner of every cell (index [r][c], 1-based; -1 for cells outside the basin).
    std::vector<std::vector<int>> owner;
    int lo = 1, hi = 0;  // rows this process stores
};

// Divides the cells of zone (valid where above nodata; all rows present) among `processes`
// processes as this process (`rank`) sees it, registers "MPIRegions" and "MPIHelper" at the
// first free store indices of o and sets o's own rows, basin columns and halo lists.
void Decompose(modelobject& o, const std::vector<std::vector<double>>& zone, TestDecomposition* d);

// The halo receive list of process p for a given owner grid (the rule of the set-up).
std::vector<HaloRecord> ReceiveList(const std::vector<std::vector<int>>& owner, int p, int lo, int hi, int ncols);

}  // namespace talvo_test
