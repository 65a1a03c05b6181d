// Grids of the snow slides made at construction on process 0: the deposition limit of every
// basin cell and the order of the basin cells by elevation (each process orders its own cells),
// with that order as ranks for the steps' moving.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <mpi.h>
#include <omp.h>
#include <utility>
#include <vector>

#include "kernel/mpirows.hpp"
#include "kernel/threading.hpp"
#include "surface/snowmod.hpp"

namespace {

// A basin cell in the elevation order of the slides: lower first, equal heights in row-major
// order. The place packs the row above the column, so that places order as the cells' indices
// (row - 1) * ncols + col - 1 do, and the row and column come back without a division.
// Message tag of the ordered lists of the elevation order.
constexpr int kElevationOrderTag = 7041;

struct ElevatedCell {
    double z;
    std::uint64_t place;
};

std::uint64_t PlaceOf(int r, int c) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(r)) << 32) | static_cast<std::uint32_t>(c);
}

// A function object rather than a function, so that the sort and the merges inline the test.
struct Lower {
    bool operator()(const ElevatedCell& a, const ElevatedCell& b) const {
        return a.z < b.z || (!(b.z < a.z) && a.place < b.place);
    }
};

// An unsigned integer per height that orders as the heights do (0 and -0 alike): the sign bit
// set for a positive height, every bit flipped for a negative one.
std::uint64_t HeightKey(double z) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(z == 0.0 ? 0.0 : z);
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// Orders a list in place order (row-major) as Lower does: a stable radix sort on the height
// keys, 11 bits a pass, keeps equal heights in place order. A pass in which every cell has the
// same digit is skipped (it would move nothing). The threads of a team take one contiguous share
// of the list each: every pass counts the digits of each share, and a cell moves to the place
// after the cells of lower digits and after those of the same digit in the shares before its
// own, so the list is the one a single thread gives.
void SortByHeight(std::vector<ElevatedCell>& cells) {
    const std::size_t n = cells.size();
    if (n < 2) return;
    constexpr int kBits = 11;
    constexpr std::size_t kBins = std::size_t{1} << kBits;
    const int team = WorthThreads(static_cast<std::int64_t>(n)) ? std::max(1, omp_get_max_threads()) : 1;
    std::vector<std::uint64_t> keys(n), movedKeys(n);
    std::vector<ElevatedCell> moved(n);
    // start[t * kBins + d]: where share t puts its next cell of digit d.
    std::vector<std::size_t> start(static_cast<std::size_t>(team) * kBins);
    bool skip = false;
#pragma omp parallel num_threads(team) if (team > 1)
    {
        const auto t = static_cast<std::size_t>(omp_get_thread_num());
        const auto shares = static_cast<std::size_t>(omp_get_num_threads());
        const std::size_t from = n * t / shares, to = n * (t + 1) / shares;
        std::size_t* const mine = start.data() + t * kBins;
        for (std::size_t i = from; i < to; ++i) keys[i] = HeightKey(cells[i].z);
        for (int shift = 0; shift < 64; shift += kBits) {
            std::fill(mine, mine + kBins, 0);
            for (std::size_t i = from; i < to; ++i) ++mine[(keys[i] >> shift) & (kBins - 1)];
#pragma omp barrier
#pragma omp single
            {
                std::size_t sum = 0;
                skip = false;
                for (std::size_t d = 0; d < kBins && !skip; ++d) {
                    std::size_t digit = 0;
                    for (std::size_t u = 0; u < shares; ++u) digit += start[u * kBins + d];
                    skip = digit == n;
                }
                if (!skip)
                    for (std::size_t d = 0; d < kBins; ++d)
                        for (std::size_t u = 0; u < shares; ++u) sum += std::exchange(start[u * kBins + d], sum);
            }
            if (skip) continue;
            for (std::size_t i = from; i < to; ++i) {
                const std::size_t at = mine[(keys[i] >> shift) & (kBins - 1)]++;
                moved[at] = cells[i];
                movedKeys[at] = keys[i];
            }
#pragma omp barrier
#pragma omp single
            {
                std::swap(cells, moved);
                std::swap(keys, movedKeys);
            }
        }
    }
}

// Row and column of a place.
std::pair<int, int> CellOf(std::uint64_t place) {
    return {static_cast<int>(place >> 32), static_cast<int>(place & 0xffffffffU)};
}

// The cells of the processes' ordered lists (own: this process's) in one order, on process 0
// (empty elsewhere). Collective.
std::vector<std::pair<int, int>> MergeAcrossProcesses(std::vector<ElevatedCell>& own, int rank) {
    // The ordered lists are merged in a tree of processes: at each level a process receives the
    // list of its partner (the process half a level's width above it), merges it into its own
    // and goes on, while the partner is done. Each level's merges run side by side, so process 0
    // merges its own growing list once a level instead of every cell once a level, and the last
    // merge writes the places straight away. The order is total (heights are finite, places
    // unique), so any merging gives the same list.
    std::vector<std::pair<int, int>> order;
    int processes = 1;
    MPI_Comm_size(MPI_COMM_WORLD, &processes);
    MPI_Datatype record;
    MPI_Type_contiguous(static_cast<int>(sizeof(ElevatedCell)), MPI_BYTE, &record);
    MPI_Type_commit(&record);
    std::vector<ElevatedCell> theirs, merged;
    for (int width = 1; width < processes; width *= 2) {
        if (rank % (2 * width) != 0) {
            MPI_Send(own.data(), static_cast<int>(own.size()), record, rank - width, kElevationOrderTag,
                     MPI_COMM_WORLD);
            break;
        }
        const int partner = rank + width;
        if (partner >= processes) continue;
        MPI_Status status;
        MPI_Probe(partner, kElevationOrderTag, MPI_COMM_WORLD, &status);
        int count = 0;
        MPI_Get_count(&status, record, &count);
        // The lists are overwritten whole: cleared first, a growing one is not copied over.
        theirs.clear();
        theirs.resize(static_cast<std::size_t>(count));
        MPI_Recv(theirs.data(), count, record, partner, kElevationOrderTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        if (rank == 0 && 2 * width >= processes) {
            // The last merge: the cells alone.
            order.resize(own.size() + theirs.size());
            const ElevatedCell *a = own.data(), *b = theirs.data();
            const ElevatedCell* const aEnd = a + own.size();
            const ElevatedCell* const bEnd = b + theirs.size();
            std::pair<int, int>* to = order.data();
            while (a != aEnd && b != bEnd) *to++ = CellOf(Lower()(*b, *a) ? (b++)->place : (a++)->place);
            for (; a != aEnd; ++a) *to++ = CellOf(a->place);
            for (; b != bEnd; ++b) *to++ = CellOf(b->place);
            break;
        }
        merged.clear();
        merged.resize(own.size() + theirs.size());
        std::merge(own.begin(), own.end(), theirs.begin(), theirs.end(), merged.begin(), Lower());
        std::swap(own, merged);
    }
    MPI_Type_free(&record);
    return order;
}

}  // namespace

double MaxDepositionOfSlope(double factor, double slope, double maxSlope) {
    // Slopes at or above the limit (and a limit of 0) hold nothing: no division by 0 and no
    // negative limit.
    if (!(maxSlope > 0) || slope >= maxSlope) return 0.0;
    return std::max(0.0, factor * (1.0 - slope / maxSlope));
}

std::vector<std::pair<int, int>> schneemodellklasse::ElevationOrder() {
    // Each process orders its own basin cells and the ordered lists are merged, which costs a
    // pass over the basin instead of a sort of it. The lists carry each cell's height with its
    // place (the owner's value, which process 0's whole elevation holds too), so that no merge
    // looks the heights up again.
    const bool distributed = mpirows::Distributed(*this);
    std::vector<ElevatedCell> own;
    const int first = distributed ? firstRow : 1, last = distributed ? lastRow : nrows;
    // At most every cell of the rows: no growing of the list on the way.
    own.reserve(static_cast<std::size_t>(std::max(0, last - first + 1)) * static_cast<std::size_t>(ncols));
    for (int r = first; r <= last; ++r) {
        if (!zoneGrid->holds(r)) continue;
        const double* const zone = (*zoneGrid)[r];
        const double* const z = (*elevation)[r];
        const double* const owner = distributed ? (*mpiRegions)[r] : nullptr;
        for (int c = 1; c <= ncols; ++c)
            if (zone[c] != nodata && (owner == nullptr || owner[c] == rank)) own.push_back({z[c], PlaceOf(r, c)});
    }
    // The list is in place order here, as the sort needs it.
    SortByHeight(own);
    if (!distributed) {
        std::vector<std::pair<int, int>> order(own.size());
        for (std::size_t k = 0; k < own.size(); ++k) order[k] = CellOf(own[k].place);
        return order;
    }
    return MergeAcrossProcesses(own, rank);
}

Matrix schneemodellklasse::WholeUnsetGrid() {
    // Rows 1 .. nrows with 0 in column 0, as a cleared allocation holds it, and the cells not
    // set: the slide grids write each cell once, the basin cells' values and nodata elsewhere,
    // instead of a pass of nodata over the whole grid before the basin cells.
    return UnsetMatrix(1, nrows, 1, ncols, nrows);
}

void schneemodellklasse::CreateSlideGrids() {
    // The order of the cells by elevation is a collective; the whole-grid copies of the zones,
    // the elevation and the slope on process 0 are gathered beforehand (GatherWholeInputs).
    const int slopeIndex = GetGridIndex("slope_angle");
    std::vector<std::pair<int, int>> order = ElevationOrder();
    if (rank != 0) return;
    const Matrix& zone = WholeZones();
    const Matrix& slope = slopeWhole.empty() ? *(*gridStore)[slopeIndex].grid : slopeWhole;
    const double none = nodata;
    // Row r of the zones, or null where process 0 holds no such row (no basin cell in it).
    auto zoneRow = [&](int r) -> const double* { return zone.holds(r) ? zone[r] : nullptr; };

    const int existing = FindGrid("max_deposition");
    if (existing > 0) {
        maxDepositionGrid = (*gridStore)[existing].grid;
    } else {
        maxDeposition.data = WholeUnsetGrid();
        // In locals: a store into the grid could otherwise change them as far as the compiler knows.
        const double factor = maxDepositionFactor, maxSlope = maxDepositionSlope;
#pragma omp parallel for schedule(static) if (WorthThreads(1, nrows, ncols))
        for (int r = 1; r <= nrows; ++r) {
            double* const to = maxDeposition.data[r];
            const double* const z = zoneRow(r);
            if (z == nullptr) {
                std::fill(to + 1, to + ncols + 1, none);
                continue;
            }
            const double* const s = slope.holds(r) ? slope[r] : nullptr;
            for (int c = 1; c <= ncols; ++c)
                to[c] = z[c] != none ? MaxDepositionOfSlope(factor, s[c], maxSlope) : none;
        }
        RegisterOwn(maxDeposition, "max_deposition", 1, nrows);
        maxDepositionGrid = &maxDeposition.data;
    }

    // The order as ranks for the moving of the steps (the basin cell visited k-th moves the snow
    // of cell order[k]; unusable unless every basin cell is named once), made from the first k
    // cells of the order, k the count of the basin cells.
    // firstOfRow[r]: the basin cells of the rows before r (the place in the order of the first
    // basin cell of row r), firstOfRow[nrows + 1] all of them.
    std::vector<std::size_t> firstOfRow(static_cast<std::size_t>(nrows) + 2, 0);
#pragma omp parallel for schedule(runtime) if (WorthThreads(1, nrows, ncols))
    for (int r = 1; r <= nrows; ++r) {
        std::size_t cells = 0;
        if (const double* const z = zoneRow(r))
            for (int c = 1; c <= ncols; ++c) cells += z[c] != none ? 1 : 0;
        firstOfRow[static_cast<std::size_t>(r) + 1] = cells;
    }
    for (std::size_t r = 2; r < firstOfRow.size(); ++r) firstOfRow[r] += firstOfRow[r - 1];
    const std::size_t basinCells = firstOfRow.back();
    const std::size_t k = std::min(basinCells, order.size());
    bool usable = basinCells <= order.size();
    glacier::SlideOrder ranks;
    if (usable) {
        ranks.ncols = ncols;
        ranks.rankOf.assign(static_cast<std::size_t>(nrows + 1) * static_cast<std::size_t>(ncols + 1), -1);
        std::int32_t* const rankOf = ranks.rankOf.data();
        const std::size_t stride = static_cast<std::size_t>(ncols) + 1;
        double* const* const zoneRows = zone.rows();
        for (std::size_t j = 0; j < k && usable; ++j) {
            const auto [orderRow, orderCol] = order[j];
            std::int32_t& slot = rankOf[static_cast<std::size_t>(orderRow) * stride + static_cast<std::size_t>(orderCol)];
            usable = zoneRows[orderRow][orderCol] != none && slot < 0;
            slot = static_cast<std::int32_t>(j);
        }
    }
    // The order grids: the k-th basin cell in row order names the k-th cell of the order (what the
    // steps fall back to without usable ranks).
    elevOrderRow.data = WholeUnsetGrid();
    elevOrderCol.data = WholeUnsetGrid();
    RegisterOwn(elevOrderRow, "elev_order_row", 1, nrows);
    RegisterOwn(elevOrderCol, "elev_order_col", 1, nrows);
#pragma omp parallel for schedule(static) if (WorthThreads(1, nrows, ncols))
    for (int r = 1; r <= nrows; ++r) {
        std::size_t next = firstOfRow[static_cast<std::size_t>(r)];
        double* const rowOut = elevOrderRow.data[r];
        double* const colOut = elevOrderCol.data[r];
        const double* const z = zoneRow(r);
        for (int c = 1; c <= ncols; ++c) {
            if (z == nullptr || z[c] == none || next >= order.size()) {
                rowOut[c] = colOut[c] = none;
                if (z != nullptr && z[c] != none) ++next;
                continue;
            }
            rowOut[c] = order[next].first;
            colOut[c] = order[next++].second;
        }
    }
    if (usable) {
        order.resize(k);
        ranks.cells = std::move(order);
    }
    ranks.usable = usable;
    slideOrder_ = ranks.usable ? std::move(ranks) : glacier::SlideOrder{};
}
