#include "test_decomposition.hpp"

#include <algorithm>
#include <cmath>

namespace talvo_test {

namespace {
// Rows a process stores: its own rows and one more on each side inside the grid.
void StoredRows(int first, int last, int nrows, int* lo, int* hi) {
    *lo = first > 1 ? first - 1 : first;
    *hi = last < nrows ? last + 1 : last;
}
}  // namespace

std::vector<HaloRecord> ReceiveList(const std::vector<std::vector<int>>& owner, int p, int lo, int hi, int ncols) {
    const int nrows = static_cast<int>(owner.size()) - 1;
    // Neighbours of p's cells that another process owns.
    std::vector<std::vector<int>> halo(owner.size(), std::vector<int>(static_cast<std::size_t>(ncols) + 1, -1));
    for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) {
            if (owner[r][c] != p) continue;
            for (int dr = -1; dr <= 1; ++dr)
                for (int dc = -1; dc <= 1; ++dc) {
                    const int rr = r + dr, cc = c + dc;
                    if (rr < 1 || rr > nrows || cc < 1 || cc > ncols) continue;
                    const int o = owner[rr][cc];
                    if (o >= 0 && o != p) halo[rr][cc] = o;
                }
        }
    std::vector<HaloRecord> list;
    for (int r = lo; r <= hi; ++r) {
        bool beforeIsHalo = false;
        int beforeOwner = -1;
        for (int c = 1; c <= ncols; ++c) {
            const int o = halo[r][c];
            if (o < 0) {
                beforeIsHalo = false;
                continue;
            }
            if (beforeIsHalo && beforeOwner == o) {
                list.back().count += 1;
            } else if (list.empty() || list.back().rank != o || list.back().row != r) {
                list.push_back({r, c, 1, o});
            } else {
                list.back().count = c - list.back().firstCol + 1;
            }
            beforeIsHalo = true;
            beforeOwner = o;
        }
    }
    return list;
}

void Decompose(modelobject& o, const std::vector<std::vector<double>>& zone, TestDecomposition* d) {
    const int nrows = o.nrows, ncols = o.ncols, size = o.size, rank = o.rank;
    const double nodata = o.nodata;
    long long n = 0;
    for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c)
            if (zone[r][c] > nodata) ++n;

    // Shares of equally fast processes; the last process takes what rounding leaves.
    std::vector<long long> share(static_cast<std::size_t>(size));
    long long sum = 0;
    for (int i = 0; i < size; ++i) {
        share[i] = static_cast<long long>(std::floor(static_cast<double>(n) / size + 0.4999));
        sum += share[i];
    }
    share[size - 1] += n - sum;

    d->owner.assign(static_cast<std::size_t>(nrows) + 1, std::vector<int>(static_cast<std::size_t>(ncols) + 1, -1));
    d->firstRow.assign(static_cast<std::size_t>(size), -1);
    d->lastRow.assign(static_cast<std::size_t>(size), -1);
    int p = size - 1;
    for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c) {
            if (!(zone[r][c] > nodata)) continue;
            if (d->firstRow[p] < 0) d->firstRow[p] = d->lastRow[p] = r;
            d->owner[r][c] = p;
            if (--share[p] == 0) {
                d->lastRow[p] = r;
                if (p > 0) --p;
            }
        }
    for (int i = 0; i < size; ++i)
        if (d->firstRow[i] >= 0 && d->lastRow[i] < d->firstRow[i]) d->lastRow[i] = d->firstRow[i];

    StoredRows(d->firstRow[rank], d->lastRow[rank], nrows, &d->lo, &d->hi);
    const int from = rank == 0 ? 1 : d->lo, to = rank == 0 ? nrows : d->hi;
    d->regions = o.matrix(from, to, 1, ncols, nrows);
    d->helper = o.matrix(from, to, 1, ncols, nrows);
    d->regions.fill(nodata);
    for (int r = from; r <= to; ++r)
        for (int c = 1; c <= ncols; ++c)
            if (d->owner[r][c] >= 0) d->regions[r][c] = d->owner[r][c];

    // Strip table: process 0 describes every row, the others their own strips.
    for (int r = from; r <= to; ++r) {
        if (rank == 0) {
            int c = 1;
            while (c <= ncols && d->owner[r][c] < 0) ++c;
            d->helper[r][0] = c - 1;
            int k = 1;
            while (c <= ncols) {
                const int value = d->owner[r][c];
                int len = 0;
                while (c <= ncols && d->owner[r][c] == value) ++c, ++len;
                if (2 * k <= ncols) {
                    d->helper[r][2 * k - 1] = value < 0 ? nodata : value;
                    d->helper[r][2 * k] = len;
                }
                ++k;
            }
        } else if (r >= d->firstRow[rank] && r <= d->lastRow[rank]) {
            int k = 1;
            for (int c = 1; c <= ncols;) {
                if (d->owner[r][c] != rank) {
                    ++c;
                    continue;
                }
                const int start = c;
                while (c <= ncols && d->owner[r][c] == rank) ++c;
                if (2 * k <= ncols) {
                    d->helper[r][2 * k - 1] = start;
                    d->helper[r][2 * k] = c - start;
                }
                ++k;
            }
        }
    }

    d->basin.assign(static_cast<std::size_t>(nrows) + 1, ColumnRange{0, 0});
    for (int r = 1; r <= nrows; ++r) {
        int first = 0, last = 0;
        for (int c = 1; c <= ncols; ++c)
            if (zone[r][c] > nodata) {
                if (first == 0) first = c;
                last = c;
            }
        d->basin[r] = {first, last};
    }

    d->cellsPerProcess.assign(static_cast<std::size_t>(size), 0);
    for (int r = 1; r <= nrows; ++r)
        for (int c = 1; c <= ncols; ++c)
            if (d->owner[r][c] >= 0) ++d->cellsPerProcess[d->owner[r][c]];

    d->recvHalo = ReceiveList(d->owner, rank, d->lo, d->hi, ncols);
    d->sendHalo.clear();
    for (int q = 0; q < size; ++q) {
        if (q == rank || d->firstRow[q] < 0) continue;
        int qlo, qhi;
        StoredRows(d->firstRow[q], d->lastRow[q], nrows, &qlo, &qhi);
        for (const HaloRecord& h : ReceiveList(d->owner, q, qlo, qhi, ncols))
            if (h.rank == rank) d->sendHalo.push_back({h.row, h.firstCol, h.count, q});
    }

    const int index = o.FirstFreeGridIndex();
    o.RegisterGrid(index, "", &d->regions, nullptr, 0, "MPIRegions", 0, from, to);
    o.RegisterGrid(index + 1, "", &d->helper, nullptr, 0, "MPIHelper", 0, from, to);
    o.firstRow = d->firstRow[rank];
    o.lastRow = d->lastRow[rank];
    o.basinColumns = &d->basin;
    o.sendHalo = &d->sendHalo;
    o.recvHalo = &d->recvHalo;
    o.mpiRegions = nullptr;
    o.mpiHelper = nullptr;
}

}  // namespace talvo_test
