// The reduction of zone records used by the zone statistics.
#include "kernel/zonerecord.hpp"

#include <mpi.h>

#include <algorithm>
#include <vector>

namespace {
// Message tag of the zone records sent to process 0 (each pair of processes in program order).
constexpr int kZoneRecordsTag = 7033;
}  // namespace

void ReduceZoneRecordSets(std::span<zoneFZT* const> records, std::span<const int> highest, bool copyAll) {
    const auto takesPart = [&](std::size_t k) { return records[k] != nullptr && highest[k] >= 0; };
    std::size_t count = 0;
    for (std::size_t k = 0; k < records.size(); ++k)
        if (takesPart(k)) count += static_cast<std::size_t>(highest[k]) + 1;
    if (count == 0) return;
    int initialised = 0;
    MPI_Initialized(&initialised);
    int rank = 0, size = 1;
    if (initialised) {
        MPI_Comm_rank(MPI_COMM_WORLD, &rank);
        MPI_Comm_size(MPI_COMM_WORLD, &size);
    }
    // The arrays one after the other, three fields per record (zonenwert and rel stay with their
    // owner).
    std::vector<double> mine(3 * count);
    std::size_t at = 0;
    for (std::size_t k = 0; k < records.size(); ++k) {
        if (!takesPart(k)) continue;
        for (int i = 0; i <= highest[k]; ++i, at += 3) {
            const zoneFZT& z = records[k][i];
            mine[at] = z.n;
            mine[at + 1] = z.sx;
            mine[at + 2] = z.RelCellSum;
        }
    }
    std::vector<double> all;
    if (size > 1) {
        // Each process sends its values straight to process 0 instead of through a gather's
        // tree: no process waits there for the processes below it, only process 0 for all.
        const int n = static_cast<int>(3 * count);
        if (rank == 0) {
            all.resize(3 * count * static_cast<std::size_t>(size));
            std::copy(mine.begin(), mine.end(), all.begin());
            std::vector<MPI_Request> received(static_cast<std::size_t>(size - 1), MPI_REQUEST_NULL);
            for (int p = 1; p < size; ++p)
                MPI_Irecv(all.data() + 3 * count * static_cast<std::size_t>(p), n, MPI_DOUBLE, p, kZoneRecordsTag,
                          MPI_COMM_WORLD, &received[static_cast<std::size_t>(p - 1)]);
            MPI_Waitall(size - 1, received.data(), MPI_STATUSES_IGNORE);
        } else {
            MPI_Send(mine.data(), n, MPI_DOUBLE, 0, kZoneRecordsTag, MPI_COMM_WORLD);
        }
    } else {
        all = mine;
    }
    // Each value is summed from +0.0 in rank order, as in ReduceZoneRecords.
    std::vector<double> sum(3 * count, 0.0);
    if (rank == 0) {
        for (int p = 0; p < size; ++p) {
            const double* part = all.data() + 3 * count * static_cast<std::size_t>(p);
            for (std::size_t v = 0; v < 3 * count; ++v) sum[v] += part[v];
        }
    }
    at = 0;
    for (std::size_t k = 0; k < records.size(); ++k) {
        if (!takesPart(k)) continue;
        for (int i = 0; i <= highest[k]; ++i, at += 3) {
            zoneFZT& z = records[k][i];
            z.n = sum[at];
            z.sx = sum[at + 1];
            if (copyAll) z.RelCellSum = sum[at + 2];
        }
    }
}

void ReduceZoneRecords(zoneFZT* records, int highest, bool copyAll) {
    zoneFZT* const one[] = {records};
    const int highestOfOne[] = {highest};
    ReduceZoneRecordSets(one, highestOfOne, copyAll);
}
