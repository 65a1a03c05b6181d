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

void modelobject::MPICollectRegionValues(int valueIndex, int maskIndex, std::span<const std::int64_t> counts,
                                         Matrix* target) {
    if (size < 2) return;
    FindDecompositionGrids();
    if (!mpiRegions) return;
    Matrix* values = IndexedGrid(*this, valueIndex);
    const Matrix* mask = IndexedGrid(*this, maskIndex);
    CheckRegionTransfer(*this, "MPICollectRegionValues", values, mask, rank == 0 ? target : nullptr, counts);
    const RegionWalk walk(*this, mask);
    if (rank != 0) {
        std::vector<double> buffer;
        buffer.reserve(static_cast<std::size_t>(counts[static_cast<std::size_t>(rank)]));
        walk.Each([&](int r, int c, int owner) {
            if (owner == rank) buffer.push_back((*values)[r][c]);
        });
        MPI_Send(buffer.data(), static_cast<int>(buffer.size()), MPI_DOUBLE, 0, rank, MPI_COMM_WORLD);
        return;
    }
    std::vector<std::vector<double>> buffers(static_cast<std::size_t>(size));
    for (int p = 1; p < size; ++p) {
        auto& b = buffers[static_cast<std::size_t>(p)];
        b.resize(static_cast<std::size_t>(counts[static_cast<std::size_t>(p)]));
        MPI_Recv(b.data(), static_cast<int>(b.size()), MPI_DOUBLE, p, p, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    }
    std::vector<std::size_t> next(static_cast<std::size_t>(size), 0);
    Matrix& into = target ? *target : *values;
    walk.Each([&](int r, int c, int owner) {
        if (owner < 1) {
            if (target) (*target)[r][c] = (*values)[r][c];
            return;
        }
        const std::size_t p = static_cast<std::size_t>(owner);
        into[r][c] = buffers[p][next[p]++];
    });
}

void modelobject::MPIDistributeRegionValues(int valueIndex, int maskIndex, std::span<const std::int64_t> counts) {
    if (size < 2) return;
    FindDecompositionGrids();
    if (!mpiRegions) return;
    Matrix* values = IndexedGrid(*this, valueIndex);
    const Matrix* mask = IndexedGrid(*this, maskIndex);
    CheckRegionTransfer(*this, "MPIDistributeRegionValues", values, mask, nullptr, counts);
    const RegionWalk walk(*this, mask);
    if (rank == 0) {
        std::vector<std::vector<double>> buffers(static_cast<std::size_t>(size));
        for (int p = 1; p < size; ++p)
            buffers[static_cast<std::size_t>(p)].reserve(static_cast<std::size_t>(counts[static_cast<std::size_t>(p)]));
        walk.Each([&](int r, int c, int owner) {
            if (owner >= 1) buffers[static_cast<std::size_t>(owner)].push_back((*values)[r][c]);
        });
        for (int p = 1; p < size; ++p) {
            const auto& b = buffers[static_cast<std::size_t>(p)];
            MPI_Send(b.data(), static_cast<int>(b.size()), MPI_DOUBLE, p, p, MPI_COMM_WORLD);
        }
        return;
    }
    std::vector<double> buffer(static_cast<std::size_t>(counts[static_cast<std::size_t>(rank)]));
    MPI_Recv(buffer.data(), static_cast<int>(buffer.size()), MPI_DOUBLE, 0, rank, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    std::size_t i = 0;
    walk.Each([&](int r, int c, int owner) {
        if (owner == rank) (*values)[r][c] = buffer[i++];
    });
}
