#include "setup/rootrows.hpp"

#include <mpi.h>

#include <algorithm>
#include <vector>

#include "kernel/modelobject.hpp"
#include "kernel/mpistate.hpp"

namespace {

// Columns 1..ncols of the given rows of each grid in turn, at their addresses.
MPI_Datatype RowsType(const std::vector<SharedRows>& parts, int ncols) {
    std::vector<MPI_Aint> places;
    for (const SharedRows& part : parts)
        for (int r : part.rows) {
            MPI_Aint place;
            MPI_Get_address((*part.grid)[r] + 1, &place);
            places.push_back(place);
        }
    MPI_Datatype type;
    MPI_Type_create_hindexed_block(static_cast<int>(places.size()), ncols, places.data(), MPI_DOUBLE, &type);
    MPI_Type_commit(&type);
    return type;
}

}  // namespace

std::vector<int> HeldRowsOffRoot(const modelobject& obj, const Matrix& grid) {
    std::vector<int> rows;
    if (obj.rank != 0 && !grid.empty())
        for (int r = std::max(grid.firstRow(), 1); r <= std::min(grid.lastRow(), obj.nrows); ++r) rows.push_back(r);
    return rows;
}

void ShareChosenRowsFromRoot(modelobject& obj, const std::vector<SharedRows>& parts) {
    if (obj.size < 2 || !MpiRunning()) return;
    // Each process sends the number of rows it names of each grid, then the rows.
    std::vector<int> named;
    for (const SharedRows& part : parts) named.push_back(obj.rank == 0 ? 0 : static_cast<int>(part.rows.size()));
    if (obj.rank != 0)
        for (const SharedRows& part : parts) named.insert(named.end(), part.rows.begin(), part.rows.end());
    const int count = static_cast<int>(named.size());
    std::vector<int> counts(static_cast<std::size_t>(obj.size), 0);
    MPI_Gather(&count, 1, MPI_INT, counts.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
    std::vector<int> offsets(static_cast<std::size_t>(obj.size) + 1, 0);
    for (std::size_t p = 0; p < counts.size(); ++p) offsets[p + 1] = offsets[p] + counts[p];
    std::vector<int> wanted(static_cast<std::size_t>(std::max(offsets.back(), 1)), 0);
    MPI_Gatherv(named.data(), count, MPI_INT, wanted.data(), counts.data(), offsets.data(), MPI_INT, 0,
                MPI_COMM_WORLD);

    int missing = 0;
    if (obj.rank == 0) {
        for (std::size_t j = 0; j < parts.size() && missing == 0; ++j)
            for (int r = 1; r <= obj.nrows && missing == 0; ++r)
                if (!parts[j].grid->holds(r)) missing = r;
        if (missing) *obj.log << "FATAL: process 0 holds no row " << missing << " of a derived grid" << "[end-entry]";
    }
    MPI_Bcast(&missing, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (missing) throw ModelError(120);

    // Each process's rows of every grid move in one message (a type over the rows where they
    // lie), all at once.
    if (obj.rank == 0) {
        std::vector<MPI_Request> requests;
        std::vector<MPI_Datatype> types;
        for (int p = 1; p < obj.size; ++p) {
            const int* list = wanted.data() + offsets[static_cast<std::size_t>(p)];
            std::vector<SharedRows> theirs;
            std::size_t next = parts.size();
            for (std::size_t j = 0; j < parts.size(); ++j) {
                const auto n = static_cast<std::size_t>(list[j]);
                theirs.push_back(SharedRows{parts[j].grid, std::vector<int>(list + next, list + next + n)});
                next += n;
            }
            if (next == parts.size()) continue;
            types.push_back(RowsType(theirs, obj.ncols));
            requests.emplace_back();
            MPI_Isend(MPI_BOTTOM, 1, types.back(), p, 0, MPI_COMM_WORLD, &requests.back());
        }
        MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
        for (MPI_Datatype& type : types) MPI_Type_free(&type);
    } else if (count > static_cast<int>(parts.size())) {
        MPI_Datatype type = RowsType(parts, obj.ncols);
        MPI_Recv(MPI_BOTTOM, 1, type, 0, 0, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        MPI_Type_free(&type);
    }
}
