#include "setup/rootrows.hpp"

#include <mpi.h>

#include <algorithm>
#include <vector>

#include "kernel/modelobject.hpp"

namespace {
bool MpiRunning() {
    int initialised = 0, finalised = 0;
    MPI_Initialized(&initialised);
    MPI_Finalized(&finalised);
    return initialised && !finalised;
}
}  // namespace

void ShareRowsFromRoot(modelobject& obj, Matrix& grid) {
    if (obj.size < 2 || !MpiRunning()) return;
    // The held row range of every process (matrices hold one contiguous range of rows).
    int range[2] = {std::max(grid.firstRow(), 1), std::min(grid.lastRow(), obj.nrows)};
    if (grid.empty()) range[0] = 1, range[1] = 0;
    std::vector<int> ranges(static_cast<std::size_t>(obj.size) * 2, 0);
    MPI_Gather(range, 2, MPI_INT, ranges.data(), 2, MPI_INT, 0, MPI_COMM_WORLD);

    int missing = 0;
    if (obj.rank == 0) {
        for (int r = 1; r <= obj.nrows && missing == 0; ++r)
            if (!grid.holds(r)) missing = r;
        if (missing) *obj.log << "FATAL: process 0 holds no row " << missing << " of a derived grid" << "[end-entry]";
    }
    MPI_Bcast(&missing, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (missing) throw ModelError(120);

    if (obj.rank == 0) {
        for (int p = 1; p < obj.size; ++p) {
            const int lo = ranges[static_cast<std::size_t>(2 * p)], hi = ranges[static_cast<std::size_t>(2 * p + 1)];
            for (int r = lo; r <= hi; ++r) MPI_Send(grid[r] + 1, obj.ncols, MPI_DOUBLE, p, r, MPI_COMM_WORLD);
        }
    } else {
        for (int r = range[0]; r <= range[1]; ++r)
            MPI_Recv(grid[r] + 1, obj.ncols, MPI_DOUBLE, 0, r, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    }
}
