// Grids of the snow slides made at construction on process 0: the deposition limit of every
// basin cell and the order of the basin cells by elevation (each process orders its own cells),
// with that order as ranks for the steps' moving.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "kernel/mpirows.hpp"
#include "surface/snowmod.hpp"

namespace {

// A basin cell in the elevation order of the slides: lower first, equal heights in row-major
// order. The place packs the row above the column, so that places order as the cells' indices
// (row - 1) * ncols + col - 1 do, and the row and column come back without a division.
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

}  // namespace

double MaxDepositionOfSlope(double factor, double slope, double maxSlope) {
    // Slopes at or above the limit (and a limit of 0) hold nothing: no division by 0 and no
    // negative limit.
    if (!(maxSlope > 0) || slope >= maxSlope) return 0.0;
    return std::max(0.0, factor * (1.0 - slope / maxSlope));
}

std::vector<std::uint64_t> schneemodellklasse::ElevationOrder() {
    // Each process orders its own basin cells; process 0 merges the ordered lists, which costs
    // a pass over the basin instead of a sort of it. The lists carry each cell's height with its
    // place (the owner's value, which process 0's whole elevation holds too), so that process 0
    // does not look the heights up again.
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
    std::sort(own.begin(), own.end(), Lower());
    std::vector<std::uint64_t> order;
    if (!distributed) {
        order.resize(own.size());
        for (std::size_t k = 0; k < own.size(); ++k) order[k] = own[k].place;
        return order;
    }
    // The lists are gathered as they are, cell records side by side in process order, straight
    // into the buffer process 0 merges them in.
    const int count = static_cast<int>(own.size());
    int processes = 1;
    MPI_Comm_size(MPI_COMM_WORLD, &processes);
    std::vector<int> counts(rank == 0 ? static_cast<std::size_t>(processes) : 0), starts(counts.size());
    MPI_Gather(&count, 1, MPI_INT, counts.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
    std::size_t n = 0;
    std::vector<std::size_t> bounds{0};
    for (std::size_t p = 0; p < counts.size(); ++p) {
        starts[p] = static_cast<int>(n);
        n += static_cast<std::size_t>(counts[p]);
        bounds.push_back(n);
    }
    // The values of both buffers are all written before they are read.
    std::unique_ptr<ElevatedCell[]> merged(new ElevatedCell[rank == 0 ? n : 0]), spare;
    MPI_Datatype record;
    MPI_Type_contiguous(static_cast<int>(sizeof(ElevatedCell)), MPI_BYTE, &record);
    MPI_Type_commit(&record);
    MPI_Gatherv(own.data(), count, record, merged.get(), counts.data(), starts.data(), record, 0, MPI_COMM_WORLD);
    MPI_Type_free(&record);
    if (rank != 0) return order;
    // The ordered lists merged in pairs of neighbours, level by level, between two buffers: every
    // cell moves once a level, instead of once for each list merged after its own. The order is
    // total (heights are finite, places unique), so any merging gives the same list. The last
    // two lists merge straight into the places.
    spare.reset(new ElevatedCell[bounds.size() > 3 ? n : 0]);
    while (bounds.size() > 3) {
        std::vector<std::size_t> next{0};
        for (std::size_t i = 0; i + 1 < bounds.size(); i += 2) {
            const std::size_t end = i + 2 < bounds.size() ? bounds[i + 2] : bounds[i + 1];
            ElevatedCell* const from = merged.get();
            std::merge(from + bounds[i], from + bounds[i + 1], from + bounds[i + 1], from + end, spare.get() + bounds[i],
                       Lower());
            next.push_back(end);
        }
        std::swap(merged, spare);
        bounds = std::move(next);
    }
    order.resize(n);
    const ElevatedCell* a = merged.get();
    const ElevatedCell* const aEnd = a + bounds[1];
    const ElevatedCell* b = aEnd;
    const ElevatedCell* const bEnd = merged.get() + n;
    std::uint64_t* to = order.data();
    while (a != aEnd && b != bEnd) *to++ = Lower()(*b, *a) ? (b++)->place : (a++)->place;
    for (; a != aEnd; ++a) *to++ = a->place;
    for (; b != bEnd; ++b) *to++ = b->place;
    return order;
}

Matrix schneemodellklasse::WholeGridOutsideZones() {
    // Rows 1 .. nrows with nodata in every cell and 0 in column 0, as a cleared allocation
    // holds it: the slide grids then write only the basin cells.
    return FilledCellsMatrix(1, nrows, 1, ncols, nrows, nodata);
}

void schneemodellklasse::CreateSlideGrids() {
    // The order of the cells by elevation is a collective; the whole-grid copies of the zones,
    // the elevation and the slope on process 0 are gathered beforehand (GatherWholeInputs).
    const int slopeIndex = GetGridIndex("slope_angle");
    const std::vector<std::uint64_t> order = ElevationOrder();
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
        maxDeposition.data = WholeGridOutsideZones();
        // In locals: a store into the grid could otherwise change them as far as the compiler knows.
        const double factor = maxDepositionFactor, maxSlope = maxDepositionSlope;
        for (int r = 1; r <= nrows; ++r) {
            double* const to = maxDeposition.data[r];
            const double* const z = zoneRow(r);
            if (z == nullptr) continue;
            const double* const s = slope.holds(r) ? slope[r] : nullptr;
            for (int c = 1; c <= ncols; ++c)
                if (z[c] != none) to[c] = MaxDepositionOfSlope(factor, s[c], maxSlope);
        }
        RegisterOwn(maxDeposition, "max_deposition", 1, nrows);
        maxDepositionGrid = &maxDeposition.data;
    }

    elevOrderRow.data = WholeGridOutsideZones();
    elevOrderCol.data = WholeGridOutsideZones();
    RegisterOwn(elevOrderRow, "elev_order_row", 1, nrows);
    RegisterOwn(elevOrderCol, "elev_order_col", 1, nrows);
    // The order as ranks for the moving of the steps, made in the same pass as the order grids:
    // what glacier::MakeSlideOrder reads back from them (the basin cell visited k-th moves the
    // snow of cell order[k]; unusable unless every basin cell is named once).
    glacier::SlideOrder ranks;
    ranks.ncols = ncols;
    ranks.usable = true;
    ranks.rankOf.assign(static_cast<std::size_t>(nrows + 1) * static_cast<std::size_t>(ncols + 1), -1);
    ranks.cells.reserve(order.size());
    // The pass with its tables in locals.
    bool usable = true;
    std::int32_t* const rankOf = ranks.rankOf.data();
    const std::size_t stride = static_cast<std::size_t>(ncols) + 1;
    double* const* const zoneRows = zone.rows();
    const std::uint64_t* const ordered = order.data();
    const std::size_t count = order.size();
    std::size_t k = 0;
    for (int r = 1; r <= nrows; ++r) {
        double* const rowOut = elevOrderRow.data[r];
        double* const colOut = elevOrderCol.data[r];
        const double* const z = zoneRow(r);
        if (z == nullptr) continue;
        for (int c = 1; c <= ncols; ++c) {
            const bool inBasin = z[c] != none;
            if (inBasin && k < count) {
                const std::uint64_t place = ordered[k];
                const int orderRow = static_cast<int>(place >> 32), orderCol = static_cast<int>(place & 0xffffffffU);
                rowOut[c] = orderRow;
                colOut[c] = orderCol;
                ++k;
                if (!usable) continue;
                std::int32_t& slot = rankOf[static_cast<std::size_t>(orderRow) * stride + static_cast<std::size_t>(orderCol)];
                if (zoneRows[orderRow][orderCol] == none || slot >= 0) {
                    usable = false;
                    continue;
                }
                // While the order is usable, rank k is the k-th cell of the order.
                slot = static_cast<std::int32_t>(k - 1);
            } else if (inBasin) {
                rowOut[c] = colOut[c] = none;
                usable = false;
            }
        }
    }
    // The cells of the ranks, in one pass of their own: the first k of the order.
    if (usable)
        for (std::size_t j = 0; j < k; ++j)
            ranks.cells.emplace_back(static_cast<int>(ordered[j] >> 32), static_cast<int>(ordered[j] & 0xffffffffU));
    ranks.usable = usable;
    slideOrder_ = ranks.usable ? std::move(ranks) : glacier::SlideOrder{};
}
