// The zone-record reduction over all processes and the transfer of masked cell values
// between their owners and process 0 (the discharge routing runs on process 0 alone).
#include <mpi.h>

#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

#include "kernel/gridio.hpp"
#include "kernel/modelobject.hpp"

// The reduction operation of zone records: adds n, sx and RelCellSum and leaves zonenwert and
// rel of the in-out record as they are.
extern "C" void AddZoneRecords(void* in, void* inout, int* count, MPI_Datatype*) {
    const zoneFZT* a = static_cast<const zoneFZT*>(in);
    zoneFZT* b = static_cast<zoneFZT*>(inout);
    for (int i = 0; i < *count; ++i) {
        b[i].n += a[i].n;
        b[i].sx += a[i].sx;
        b[i].RelCellSum += a[i].RelCellSum;
    }
}

void modelobject::MPIReduceZoneRecords(zoneFZT* records, int n, bool withCellSums) {
    if (size < 2 || records == nullptr || n < 0) return;
    MPI_Datatype recordType;
    MPI_Type_contiguous(5, MPI_DOUBLE, &recordType);
    MPI_Type_commit(&recordType);
    MPI_Op add;
    MPI_Op_create(AddZoneRecords, 1, &add);
    std::vector<zoneFZT> result(static_cast<std::size_t>(n) + 1, zoneFZT{0, 0, 0, 0, 0});
    MPI_Reduce(records, result.data(), n + 1, recordType, add, 0, MPI_COMM_WORLD);
    for (int i = 0; i <= n; ++i) {
        records[i].n = result[static_cast<std::size_t>(i)].n;
        records[i].sx = result[static_cast<std::size_t>(i)].sx;
        if (withCellSums) records[i].RelCellSum = result[static_cast<std::size_t>(i)].RelCellSum;
    }
    MPI_Op_free(&add);
    MPI_Type_free(&recordType);
}

namespace {

// The cells taken for the routing: rows in order, within a row the basin columns, where the
// mask grid is above nodata. Process 0 walks every row, the others their own rows (their
// own cells lie there). Calls visit(row, column, owner) for each taken cell.
class RegionWalk {
public:
    RegionWalk(modelobject& o, const Matrix* mask) : o_(o), mask_(mask) {}

    // Checks that the grids hold every row walked; returns an error code, the entry logged.
    int Check(const Matrix* values, const Matrix* target) const {
        const auto [from, to] = Rows();
        for (int r = from; r <= to; ++r) {
            const auto [c1, c2] = Columns(r);
            if (c1 > c2) continue;
            for (const Matrix* m : std::initializer_list<const Matrix*>{mask_, values, o_.mpiRegions, target}) {
                if (m != nullptr && !m->holds(r)) {
                    *o_.log << "FATAL: region values: a grid holds no row " << r << " on mpi-rank " << o_.rank
                            << "[end-entry]";
                    return 120;
                }
            }
        }
        return 0;
    }

    template <class Visit>
    void Each(Visit&& visit) const {
        const auto [from, to] = Rows();
        const Matrix& regions = *o_.mpiRegions;
        const Matrix& mask = *mask_;
        for (int r = from; r <= to; ++r) {
            const auto [c1, c2] = Columns(r);
            for (int c = c1; c <= c2; ++c) {
                if (!(mask[r][c] > o_.nodata)) continue;
                visit(r, c, static_cast<int>(regions[r][c]));
            }
        }
    }

private:
    std::pair<int, int> Rows() const {
        if (o_.rank == 0) return {1, o_.nrows};
        return {std::max(1, o_.firstRow), std::min(o_.nrows, o_.lastRow)};
    }
    std::pair<int, int> Columns(int r) const {
        if (o_.basinColumns == nullptr) return {1, o_.ncols};
        if (r < 0 || r >= static_cast<int>(o_.basinColumns->size())) return {1, 0};
        const ColumnRange& range = (*o_.basinColumns)[static_cast<std::size_t>(r)];
        return {std::max(1, range.first), std::min(o_.ncols, range.last)};
    }

    modelobject& o_;
    const Matrix* mask_;
};

Matrix* IndexedGrid(const modelobject& o, int index) {
    if (!o.gridStore || index < 1 || index > GridStore::kMaxIndex) return nullptr;
    return (*o.gridStore)[index].grid;
}

// Checks the grids and that the count of every process matches the cells the walk takes
// for it; all processes agree on the result. counts[p] is the number of cells of process p.
void CheckRegionTransfer(modelobject& o, const char* operation, const Matrix* values, const Matrix* mask,
                         const Matrix* target, std::span<const std::int64_t> counts) {
    int error = 0;
    if (!values || !mask) {
        *o.log << "FATAL: " << operation << ": no value or mask grid in the grid store" << "[end-entry]";
        error = 12;
    } else if (counts.size() < static_cast<std::size_t>(o.size)) {
        *o.log << "FATAL: " << operation << ": cell counts given for " << static_cast<long>(counts.size())
               << " processes, there are " << o.size << "[end-entry]";
        error = 120;
    }
    const RegionWalk walk(o, mask);
    if (error == 0) error = walk.Check(values, target);
    if (error == 0) {
        std::vector<std::int64_t> walked(static_cast<std::size_t>(o.size), 0);
        bool badOwner = false;
        walk.Each([&](int, int, int owner) {
            if (owner >= o.size) {
                badOwner = true;
            } else if (o.rank == 0 ? owner >= 1 : owner == o.rank) {
                ++walked[static_cast<std::size_t>(owner)];
            }
        });
        for (int p = 1; p < o.size && error == 0 && !badOwner; ++p) {
            if (o.rank != 0 && p != o.rank) continue;
            const std::int64_t want = counts[static_cast<std::size_t>(p)];
            const std::int64_t got = walked[static_cast<std::size_t>(p)];
            if (want == got && want <= INT_MAX) continue;
            *o.log << "FATAL: " << operation << ": " << static_cast<long long>(want)
                   << " cells given for mpi-rank " << p << ", the mask grid has " << static_cast<long long>(got)
                   << "[end-entry]";
            error = 120;
        }
        if (badOwner) {
            *o.log << "FATAL: " << operation << ": MPIRegions names a process that does not exist" << "[end-entry]";
            error = 120;
        }
    }
    gridio::ThrowAgreed(error, true);
}

}  // namespace

namespace {

static_assert(sizeof(RegionCell) == 2 * sizeof(std::int32_t), "cells travel as pairs of 32-bit integers");

// The cells the walk takes for each process: on process 0 those of every process, elsewhere
// the process's own.
RegionCells WalkedCells(modelobject& o, const Matrix* mask) {
    RegionCells cells;
    cells.cells.resize(static_cast<std::size_t>(o.size));
    RegionWalk(o, mask).Each([&](int r, int c, int owner) {
        if (owner >= o.size || (o.rank != 0 && owner != o.rank)) return;
        cells.cells[static_cast<std::size_t>(std::max(owner, 0))].push_back({r, c});
    });
    return cells;
}

// The transfers proper: one message per process and value grid, tag = the process number,
// process 0 taking the processes in order.
void CollectCells(const modelobject& o, const RegionCells& cells, CellValues values, CellValues target) {
    if (o.rank != 0) {
        const std::vector<RegionCell>& own = cells.Of(o.rank);
        std::vector<double> buffer(own.size());
        for (std::size_t i = 0; i < own.size(); ++i) buffer[i] = values.at(own[i].row, own[i].col);
        MPI_Send(buffer.data(), static_cast<int>(buffer.size()), MPI_DOUBLE, 0, o.rank, MPI_COMM_WORLD);
        return;
    }
    if (!target.same(values))
        for (const RegionCell& cell : cells.Of(0)) target.at(cell.row, cell.col) = values.at(cell.row, cell.col);
    std::vector<double> buffer;
    for (int p = 1; p < o.size; ++p) {
        const std::vector<RegionCell>& list = cells.Of(p);
        buffer.resize(list.size());
        MPI_Recv(buffer.data(), static_cast<int>(buffer.size()), MPI_DOUBLE, p, p, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        for (std::size_t i = 0; i < list.size(); ++i) target.at(list[i].row, list[i].col) = buffer[i];
    }
}

void DistributeCells(const modelobject& o, const RegionCells& cells, CellValues values, CellValues source) {
    if (o.rank != 0) {
        const std::vector<RegionCell>& own = cells.Of(o.rank);
        std::vector<double> buffer(own.size());
        MPI_Recv(buffer.data(), static_cast<int>(buffer.size()), MPI_DOUBLE, 0, o.rank, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        for (std::size_t i = 0; i < own.size(); ++i) values.at(own[i].row, own[i].col) = buffer[i];
        return;
    }
    if (!source.same(values))
        for (const RegionCell& cell : cells.Of(0)) values.at(cell.row, cell.col) = source.at(cell.row, cell.col);
    std::vector<double> buffer;
    for (int p = 1; p < o.size; ++p) {
        const std::vector<RegionCell>& list = cells.Of(p);
        buffer.resize(list.size());
        for (std::size_t i = 0; i < list.size(); ++i) buffer[i] = source.at(list[i].row, list[i].col);
        MPI_Send(buffer.data(), static_cast<int>(buffer.size()), MPI_DOUBLE, p, p, MPI_COMM_WORLD);
    }
}

// Every process's cells must lie in rows the grids hold there (process 0: its own cells for
// the grid it copies from or into, every cell for the other): 0, or the code after the FATAL entry.
int CellRowsError(modelobject& o, const char* operation, const RegionCells& cells, CellValues own, CellValues whole) {
    int error = 0;
    if (cells.cells.size() < static_cast<std::size_t>(o.size) || own.empty() || (o.rank == 0 && whole.empty())) {
        *o.log << "FATAL: " << operation << ": no cell list or no value grid" << "[end-entry]";
        error = 12;
    }
    for (int p = 0; p < o.size && error == 0; ++p) {
        if (o.rank != 0 && p != o.rank) continue;
        for (const RegionCell& cell : cells.Of(p)) {
            const bool held = (p == o.rank ? own.holds(cell.row) : true) && (o.rank != 0 || whole.holds(cell.row));
            if (held) continue;
            *o.log << "FATAL: " << operation << ": a grid holds no row " << cell.row << " on mpi-rank " << o.rank
                   << "[end-entry]";
            error = 120;
            break;
        }
    }
    return error;
}

// The same check for several grids, agreed by all processes: the first that fails names the error.
void CheckCellRows(modelobject& o, const char* operation, const RegionCells& cells,
                   std::span<const CellValuePair> grids) {
    int error = 0;
    for (const CellValuePair& g : grids)
        if (error == 0) error = CellRowsError(o, operation, cells, g.values, g.target);
    gridio::ThrowAgreed(error, true);
}

}  // namespace

void modelobject::MPICollectRegionValues(int valueIndex, int maskIndex, std::span<const std::int64_t> counts,
                                         Matrix* target) {
    if (size < 2) return;
    FindDecompositionGrids();
    if (!mpiRegions) return;
    Matrix* values = IndexedGrid(*this, valueIndex);
    const Matrix* mask = IndexedGrid(*this, maskIndex);
    CheckRegionTransfer(*this, "MPICollectRegionValues", values, mask, rank == 0 ? target : nullptr, counts);
    CollectCells(*this, WalkedCells(*this, mask), values, target != nullptr && rank == 0 ? target : values);
}

void modelobject::MPIDistributeRegionValues(int valueIndex, int maskIndex, std::span<const std::int64_t> counts) {
    if (size < 2) return;
    FindDecompositionGrids();
    if (!mpiRegions) return;
    Matrix* values = IndexedGrid(*this, valueIndex);
    const Matrix* mask = IndexedGrid(*this, maskIndex);
    CheckRegionTransfer(*this, "MPIDistributeRegionValues", values, mask, nullptr, counts);
    DistributeCells(*this, WalkedCells(*this, mask), values, values);
}

RegionCells modelobject::MPIGatherRegionCells(int maskIndex, std::span<const std::int64_t> counts) {
    RegionCells cells;
    cells.cells.resize(static_cast<std::size_t>(size));
    FindDecompositionGrids();
    const Matrix* mask = IndexedGrid(*this, maskIndex);
    int error = 0;
    if (!mask || !mpiRegions) {
        *log << "FATAL: MPIGatherRegionCells: no mask grid or no \"MPIRegions\" in the grid store" << "[end-entry]";
        error = 12;
    } else if (counts.size() < static_cast<std::size_t>(size)) {
        *log << "FATAL: MPIGatherRegionCells: cell counts given for " << static_cast<long>(counts.size())
             << " processes, there are " << size << "[end-entry]";
        error = 120;
    }
    std::vector<RegionCell>& own = cells.cells[static_cast<std::size_t>(rank)];
    for (int r = std::max(1, firstRow); r <= std::min(nrows, lastRow) && error == 0; ++r) {
        int c1 = 1, c2 = ncols;
        if (basinColumns != nullptr) {
            const bool known = r < static_cast<int>(basinColumns->size());
            c1 = known ? std::max(1, (*basinColumns)[static_cast<std::size_t>(r)].first) : 1;
            c2 = known ? std::min(ncols, (*basinColumns)[static_cast<std::size_t>(r)].last) : 0;
        }
        if (c1 > c2) continue;
        if (!mask->holds(r) || !mpiRegions->holds(r)) {
            *log << "FATAL: MPIGatherRegionCells: a grid holds no row " << r << " on mpi-rank " << rank << "[end-entry]";
            error = 120;
            break;
        }
        for (int c = c1; c <= c2; ++c)
            if ((*mask)[r][c] > nodata && static_cast<int>((*mpiRegions)[r][c]) == rank) own.push_back({r, c});
    }
    if (error == 0 && static_cast<std::int64_t>(own.size()) != counts[static_cast<std::size_t>(rank)]) {
        *log << "FATAL: MPIGatherRegionCells: " << static_cast<long long>(counts[static_cast<std::size_t>(rank)])
             << " cells given for mpi-rank " << rank << ", the mask grid has " << static_cast<long long>(own.size())
             << "[end-entry]";
        error = 120;
    }
    gridio::ThrowAgreed(error, true);
    if (rank != 0) {
        MPI_Send(own.data(), static_cast<int>(2 * own.size()), MPI_INT32_T, 0, rank, MPI_COMM_WORLD);
        return cells;
    }
    for (int p = 1; p < size; ++p) {
        std::vector<RegionCell>& list = cells.cells[static_cast<std::size_t>(p)];
        list.resize(static_cast<std::size_t>(counts[static_cast<std::size_t>(p)]));
        MPI_Recv(list.data(), static_cast<int>(2 * list.size()), MPI_INT32_T, p, p, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    }
    cells.firstRow = nrows + 1;
    cells.lastRow = 0;
    for (const auto& list : cells.cells)
        for (const RegionCell& cell : list) {
            cells.firstRow = std::min(cells.firstRow, static_cast<int>(cell.row));
            cells.lastRow = std::max(cells.lastRow, static_cast<int>(cell.row));
        }
    return cells;
}

void modelobject::MPICollectRegionCells(const RegionCells& cells, std::span<const CellValuePair> grids) {
    if (size < 2) return;
    CheckCellRows(*this, "MPICollectRegionCells", cells, grids);
    // The values of all grids in one message per process, grid after grid, tag = the process.
    const std::size_t k = grids.size();
    if (rank != 0) {
        const std::vector<RegionCell>& own = cells.Of(rank);
        std::vector<double> buffer;
        buffer.reserve(own.size() * k);
        for (const CellValuePair& g : grids)
            for (const RegionCell& cell : own) buffer.push_back(g.values.at(cell.row, cell.col));
        MPI_Send(buffer.data(), static_cast<int>(buffer.size()), MPI_DOUBLE, 0, rank, MPI_COMM_WORLD);
        return;
    }
    for (const CellValuePair& g : grids)
        if (!g.target.same(g.values))
            for (const RegionCell& cell : cells.Of(0)) g.target.at(cell.row, cell.col) = g.values.at(cell.row, cell.col);
    std::vector<double> buffer;
    for (int p = 1; p < size; ++p) {
        const std::vector<RegionCell>& list = cells.Of(p);
        buffer.resize(list.size() * k);
        MPI_Recv(buffer.data(), static_cast<int>(buffer.size()), MPI_DOUBLE, p, p, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        std::size_t at = 0;
        for (const CellValuePair& g : grids)
            for (const RegionCell& cell : list) g.target.at(cell.row, cell.col) = buffer[at++];
    }
}

void modelobject::MPIDistributeRegionCells(const RegionCells& cells, std::span<const CellValuePair> grids) {
    if (size < 2) return;
    CheckCellRows(*this, "MPIDistributeRegionCells", cells, grids);
    // The values of all grids in one message per process, grid after grid, tag = the process.
    const std::size_t k = grids.size();
    if (rank != 0) {
        const std::vector<RegionCell>& own = cells.Of(rank);
        std::vector<double> buffer(own.size() * k);
        MPI_Recv(buffer.data(), static_cast<int>(buffer.size()), MPI_DOUBLE, 0, rank, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        std::size_t at = 0;
        for (const CellValuePair& g : grids)
            for (const RegionCell& cell : own) g.values.at(cell.row, cell.col) = buffer[at++];
        return;
    }
    for (const CellValuePair& g : grids)
        if (!g.target.same(g.values))
            for (const RegionCell& cell : cells.Of(0)) g.values.at(cell.row, cell.col) = g.target.at(cell.row, cell.col);
    std::vector<double> buffer;
    for (int p = 1; p < size; ++p) {
        const std::vector<RegionCell>& list = cells.Of(p);
        buffer.resize(list.size() * k);
        std::size_t at = 0;
        for (const CellValuePair& g : grids)
            for (const RegionCell& cell : list) buffer[at++] = g.target.at(cell.row, cell.col);
        MPI_Send(buffer.data(), static_cast<int>(buffer.size()), MPI_DOUBLE, p, p, MPI_COMM_WORLD);
    }
}
