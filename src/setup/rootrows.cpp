#include "setup/rootrows.hpp"

#include <mpi.h>

#include <algorithm>
#include <vector>

#include "kernel/modelobject.hpp"
#include "kernel/mpistate.hpp"

void ShareRowsFromRoot(modelobject& obj, Matrix& grid) {
    std::vector<int> rows;
    if (obj.rank != 0 && !grid.empty())
        for (int r = std::max(grid.firstRow(), 1); r <= std::min(grid.lastRow(), obj.nrows); ++r) rows.push_back(r);
    ShareChosenRowsFromRoot(obj, grid, rows);
}

void ShareChosenRowsFromRoot(modelobject& obj, Matrix& grid, const std::vector<int>& rows) {
    if (obj.size < 2 || !MpiRunning()) return;
    const int count = obj.rank == 0 ? 0 : static_cast<int>(rows.size());
    std::vector<int> counts(static_cast<std::size_t>(obj.size), 0);
    MPI_Gather(&count, 1, MPI_INT, counts.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
    std::vector<int> offsets(static_cast<std::size_t>(obj.size) + 1, 0);
    for (std::size_t p = 0; p < counts.size(); ++p) offsets[p + 1] = offsets[p] + counts[p];
    std::vector<int> wanted(static_cast<std::size_t>(std::max(offsets.back(), 1)), 0);
    MPI_Gatherv(rows.data(), count, MPI_INT, wanted.data(), counts.data(), offsets.data(), MPI_INT, 0,
                MPI_COMM_WORLD);

    int missing = 0;
    if (obj.rank == 0) {
        for (int r = 1; r <= obj.nrows && missing == 0; ++r)
            if (!grid.holds(r)) missing = r;
        if (missing) *obj.log << "FATAL: process 0 holds no row " << missing << " of a derived grid" << "[end-entry]";
    }
    MPI_Bcast(&missing, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (missing) throw ModelError(120);

    if (obj.rank == 0) {
        for (int p = 1; p < obj.size; ++p)
            for (int k = offsets[static_cast<std::size_t>(p)]; k < offsets[static_cast<std::size_t>(p) + 1]; ++k) {
                const int r = wanted[static_cast<std::size_t>(k)];
                MPI_Send(grid[r] + 1, obj.ncols, MPI_DOUBLE, p, r, MPI_COMM_WORLD);
            }
    } else {
        for (int r : rows) MPI_Recv(grid[r] + 1, obj.ncols, MPI_DOUBLE, 0, r, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    }
}
