// Grids written by the processes in turn (see sharedwrites.hpp).
#include "kernel/sharedwrites.hpp"

#include <cstdint>
#include <utility>

#include "kernel/decomposition.hpp"
#include "kernel/gridio.hpp"
#include "kernel/modelobject.hpp"
#include "kernel/mpistate.hpp"

namespace {

// Tag of a whole grid sent to its writer: above every row tag of the grid transfers.
constexpr int kGridTag = 32111;

struct PendingWrite {
    modelobject* owner = nullptr;
    Matrix copy;
    std::string name;
    bool ownCells = false;
    int writer = 0;
    MPI_Request request = MPI_REQUEST_NULL;
    MPI_Datatype type = MPI_DATATYPE_NULL;
};

struct SharedState {
    int depth = 0;
    int turn = 0;
    int written = 0;                    // grids of the scope written through a process in turn
    int failure = 0;                    // the first failure of this process's writes in the scope
    std::vector<PendingWrite> pending;  // process 0: the copies sent, until the scope agrees
    // Process 0's relative cell area and basin columns, each copied once per grid it points to.
    long long areaSource = 0, columnsSource = 0;
    Matrix area;
    std::vector<ColumnRange> columns;
    Matrix received;  // a writer's grid, kept for its next one (every written value arrives anew)
};

SharedState& State() {
    static SharedState s;
    return s;
}

// Columns 1..ncols of rows 1..nrows of grid, at their addresses (committed; the caller frees it).
MPI_Datatype WholeRowsType(const Matrix& grid, int nrows, int ncols) {
    std::vector<MPI_Aint> places(static_cast<std::size_t>(nrows));
    for (int r = 1; r <= nrows; ++r) MPI_Get_address(grid[r] + 1, &places[static_cast<std::size_t>(r - 1)]);
    MPI_Datatype type;
    MPI_Type_create_hindexed_block(nrows, ncols, places.data(), MPI_DOUBLE, &type);
    MPI_Type_commit(&type);
    return type;
}

bool HoldsAllRows(const Matrix& grid, int nrows) {
    for (int r = 1; r <= nrows; ++r)
        if (!grid.holds(r)) return false;
    return true;
}

void WriteCopy(modelobject& o, Matrix& grid, const std::string& name, bool ownCells) {
    if (ownCells)
        o.WriteGridOwnCells(name, grid, o.textOutput, o.doublePrecision);
    else
        o.WriteGrid(name, grid, o.textOutput, o.doublePrecision);
}

// Process 0 completes the sends of the scope (each writer took its grid as it was sent).
void CompleteSends(SharedState& s) {
    for (PendingWrite& p : s.pending) {
        if (p.request != MPI_REQUEST_NULL) MPI_Wait(&p.request, MPI_STATUS_IGNORE);
        if (p.type != MPI_DATATYPE_NULL) MPI_Type_free(&p.type);
    }
}

}  // namespace

SharedGridWrites::SharedGridWrites() { ++State().depth; }

SharedGridWrites::~SharedGridWrites() {
    if (finished_) return;
    SharedState& s = State();
    if (--s.depth > 0) return;
    if (MpiRunning()) CompleteSends(s);
    s.pending.clear();
    s.failure = 0;
    s.written = 0;
}

void SharedGridWrites::Finish() {
    finished_ = true;
    SharedState& s = State();
    if (--s.depth > 0) return;
    int size = 1, rank = 0;
    if (MpiRunning()) {
        MPI_Comm_size(MPI_COMM_WORLD, &size);
        MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    }
    // Every process took part in the same writes: a scope without any agrees on nothing.
    if (size < 2 || s.written == 0) {
        s.pending.clear();
        s.failure = 0;
        return;
    }
    s.written = 0;
    CompleteSends(s);
    std::vector<int> codes(static_cast<std::size_t>(size), 0);
    const int mine = s.failure;
    s.failure = 0;
    MPI_Allgather(&mine, 1, MPI_INT, codes.data(), 1, MPI_INT, MPI_COMM_WORLD);
    // Process 0 writes the grids of a failed writer again: the same failure then stands in its
    // own log, with the code every process stops with.
    int code = 0;
    if (rank == 0)
        for (PendingWrite& p : s.pending)
            if (code == 0 && codes[static_cast<std::size_t>(p.writer)] != 0)
                code = gridio::Attempt([&] { WriteCopy(*p.owner, p.copy, p.name, p.ownCells); });
    s.pending.clear();
    gridio::ThrowAgreed(code, true);
}

bool SharedGridWrites::Write(modelobject& o, Matrix& copy, const std::string& name, bool ownCells) {
    SharedState& s = State();
    if (s.depth == 0 || o.size < 2 || !MpiRunning()) return false;
    const int nrows = o.nrows, ncols = o.ncols;
    // What process 0 weights its statistics with: its relative area (1 when it holds every row,
    // -1 when not: it then writes itself) and basin columns, and where each lies.
    long long described[5] = {0, 0, -1, 0, 0};
    if (o.rank == 0) {
        described[0] = o.relCellArea == nullptr ? 0 : HoldsAllRows(*o.relCellArea, nrows) ? 1 : -1;
        described[1] = static_cast<long long>(reinterpret_cast<std::uintptr_t>(o.relCellArea));
        described[2] = o.basinColumns == nullptr ? -1 : static_cast<long long>(o.basinColumns->size());
        described[3] = static_cast<long long>(reinterpret_cast<std::uintptr_t>(o.basinColumns));
        described[4] = HoldsAllRows(copy, nrows) ? 1 : 0;
    }
    MPI_Bcast(described, 5, MPI_LONG_LONG, 0, MPI_COMM_WORLD);
    if (described[0] < 0 || described[4] == 0 || nrows < 1 || ncols < 1) return false;

    if (described[0] == 1 && s.areaSource != described[1]) {
        if (o.rank != 0) s.area = o.matrix(1, nrows, 1, ncols, nrows);
        MPI_Datatype type = WholeRowsType(o.rank == 0 ? *o.relCellArea : s.area, nrows, ncols);
        MPI_Bcast(MPI_BOTTOM, 1, type, 0, MPI_COMM_WORLD);
        MPI_Type_free(&type);
        s.areaSource = described[1];
    }
    if (described[2] >= 0 && s.columnsSource != described[3]) {
        static_assert(sizeof(ColumnRange) == 2 * sizeof(std::int32_t));
        s.columns = o.rank == 0 ? *o.basinColumns : std::vector<ColumnRange>(static_cast<std::size_t>(described[2]));
        MPI_Bcast(s.columns.data(), static_cast<int>(described[2]) * 2, MPI_INT32_T, 0, MPI_COMM_WORLD);
        s.columnsSource = described[3];
    }

    const int writer = 1 + s.turn++ % (o.size - 1);
    ++s.written;
    if (o.rank == 0) {
        s.pending.push_back(PendingWrite{&o, std::move(copy), name, ownCells, writer, MPI_REQUEST_NULL, MPI_DATATYPE_NULL});
        PendingWrite& p = s.pending.back();
        p.type = WholeRowsType(p.copy, nrows, ncols);
        MPI_Isend(MPI_BOTTOM, 1, p.type, writer, kGridTag, MPI_COMM_WORLD, &p.request);
        return true;
    }
    if (o.rank != writer) return true;
    if (s.received.rowCount() != nrows || s.received.ncols() != ncols || !HoldsAllRows(s.received, nrows))
        s.received = o.matrix(1, nrows, 1, ncols, nrows);
    Matrix& grid = s.received;
    MPI_Datatype type = WholeRowsType(grid, nrows, ncols);
    MPI_Recv(MPI_BOTTOM, 1, type, 0, kGridTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    MPI_Type_free(&type);
    const Matrix* area = o.relCellArea;
    std::vector<ColumnRange>* columns = o.basinColumns;
    o.relCellArea = described[0] == 1 ? &s.area : nullptr;
    o.basinColumns = described[2] >= 0 ? &s.columns : nullptr;
    const int code = gridio::Attempt([&] { WriteCopy(o, grid, name, ownCells); });
    o.relCellArea = area;
    o.basinColumns = columns;
    if (s.failure == 0) s.failure = code;
    return true;
}
