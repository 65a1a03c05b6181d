#include "setup/rootrows.hpp"

#include <mpi.h>

#include <algorithm>
#include <vector>

#include "kernel/modelobject.hpp"
#include "kernel/mpistate.hpp"

namespace {

// Columns 1..ncols of the given rows of grid, at their addresses.
MPI_Datatype RowsType(const Matrix& grid, const std::vector<int>& rows, int ncols) {
    std::vector<MPI_Aint> places(rows.size());
    for (std::size_t k = 0; k < rows.size(); ++k) MPI_Get_address(grid[rows[k]] + 1, &places[k]);
    MPI_Datatype type;
    MPI_Type_create_hindexed_block(static_cast<int>(rows.size()), ncols, places.data(), MPI_DOUBLE, &type);
    MPI_Type_commit(&type);
    return type;
}

}  // namespace

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

    // Each process's rows move in one message (a type over the rows where they lie), all at once.
    if (obj.rank == 0) {
        std::vector<MPI_Request> requests;
        std::vector<MPI_Datatype> types;
        for (int p = 1; p < obj.size; ++p) {
            const auto first = wanted.begin() + offsets[static_cast<std::size_t>(p)];
            const auto last = wanted.begin() + offsets[static_cast<std::size_t>(p) + 1];
            if (first == last) continue;
            types.push_back(RowsType(grid, std::vector<int>(first, last), obj.ncols));
            requests.emplace_back();
            MPI_Isend(MPI_BOTTOM, 1, types.back(), p, 0, MPI_COMM_WORLD, &requests.back());
        }
        MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
        for (MPI_Datatype& type : types) MPI_Type_free(&type);
    } else if (!rows.empty()) {
        MPI_Datatype type = RowsType(grid, rows, obj.ncols);
        MPI_Recv(MPI_BOTTOM, 1, type, 0, 0, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        MPI_Type_free(&type);
    }
}
