// Grids derived from the zone grid and the elevation model: cell sizes and relative cell area,
// cell coordinates, slope and aspect, and the ice and firn grid.
//
// Process 0 holds every row of the zone grid, the elevation model and the standard grids, so
// it derives each grid over the whole domain (it checks every cell and counts the files'
// statistics; each other process writes the rows of the files strictly inside its own rows).
// Every other process derives the cell sizes and coordinates of the rows strictly between its
// first and last own row itself: each valid cell of such a row is its own, so it holds all the
// values that row needs. The rows that other processes' cells share come from process 0, as
// do slope and aspect: they need the elevation model outside the basin, which only process 0
// holds, so each process computes a block of rows from the elevation rows process 0 hands it,
// and process 0 fills their gaps, which runs through the rows in order (a filled cell feeding
// the next row), once it has every row back. The zone ranking has refused every zone value that
// is neither nodata nor a valid code, so each cell the derivations treat as a cell has an owner.
// Every held cell thus has the value a single process computes, whatever the decomposition, and
// the file process 0 writes is the same for any number of processes.
// Without a zone grid (no domain) there is nothing to derive.
#include <mpi.h>

#include <algorithm>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "kernel/mpistate.hpp"
#include "setup/defltuzr.hpp"
#include "setup/derivedgrids.hpp"
#include "setup/rootrows.hpp"

namespace {

// The held rows of grid outside first < r < last: the rows another process derives cells of.
std::vector<int> RowsOutside(const Matrix& grid, int first, int last, int nrows) {
    std::vector<int> rows;
    if (grid.empty()) return rows;
    for (int r = std::max(grid.firstRow(), 1); r <= std::min(grid.lastRow(), nrows); ++r)
        if (r <= first || r >= last) rows.push_back(r);
    return rows;
}

// Slope and aspect at several processes (collective; slope, aspect and the geometry alike on
// every process, elevation process 0's whole copy). The rows 2..nrows-1 are cut into equal
// blocks, one per process: process 0 hands each process the elevation rows its block reads,
// every process computes its block, and process 0 takes the rows back with their noted
// columns, puts them into its whole grids and fills the gaps of the whole grids in row order.
// A row's values depend only on the three elevation rows it reads, so each is what process 0
// alone computes, and the filling is the one of the computation in one pass.
void SlopeAspectInBlocks(const Matrix* elevation, Matrix* slope, Matrix* aspect, int rank, int size, int nrows,
                         int ncols, double cellsize, double nodata) {
    constexpr int kRowsTag = 4100, kNotedTag = 4101;
    const long long inner = std::max(nrows - 2, 0);
    const auto block = [&](int p) {
        return std::pair{2 + static_cast<int>(inner * p / size), 1 + static_cast<int>(inner * (p + 1) / size)};
    };
    const std::size_t stride = static_cast<std::size_t>(ncols) + 1;
    std::vector<Matrix*> grids;
    for (Matrix* m : {slope, aspect})
        if (m) grids.push_back(m);
    std::vector<int> columns(stride);
    if (rank != 0) {
        const auto [lo, hi] = block(rank);
        if (lo > hi) return;
        // The elevation rows lo-1..hi+1, then the computed rows of each grid, each row at a
        // stride of ncols + 1 so that column c of a row lies at c.
        const int rows = hi - lo + 1;
        const auto rowsType = [&](int count) {
            MPI_Datatype type;
            MPI_Type_vector(count, ncols, static_cast<int>(stride), MPI_DOUBLE, &type);
            MPI_Type_commit(&type);
            return type;
        };
        // Columns 1..ncols of every row are received or computed, column 0 is never read: the
        // buffers start uninitialised.
        const auto e = std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(rows + 2) * stride);
        MPI_Datatype type = rowsType(rows + 2);
        MPI_Recv(e.get() + 1, 1, type, 0, kRowsTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        MPI_Type_free(&type);
        const std::size_t rowCount = static_cast<std::size_t>(rows);
        const auto out = std::make_unique_for_overwrite<double[]>(grids.size() * rowCount * stride);
        std::vector<int> noted;
        for (int k = 0; k < rows; ++k) {
            const auto at = [&](std::size_t g) { return out.get() + (g * rowCount + k) * stride; };
            const int count = SlopeAspectRow(e.get() + k * stride, e.get() + (k + 1) * stride,
                                             e.get() + (k + 2) * stride, slope ? at(0) : nullptr,
                                             aspect ? at(slope ? 1 : 0) : nullptr, ncols, cellsize, nodata,
                                             columns.data());
            noted.push_back(count);
            noted.insert(noted.end(), columns.begin(), columns.begin() + count);
        }
        type = rowsType(static_cast<int>(grids.size()) * rows);
        MPI_Send(out.get() + 1, 1, type, 0, kRowsTag, MPI_COMM_WORLD);
        MPI_Type_free(&type);
        MPI_Send(noted.data(), static_cast<int>(noted.size()), MPI_INT, 0, kNotedTag, MPI_COMM_WORLD);
        return;
    }
    // Columns 1..ncols of rows from..to of each grid in turn, where they lie.
    const auto placesType = [&](const std::vector<const Matrix*>& of, int from, int to) {
        std::vector<MPI_Aint> places;
        for (const Matrix* m : of)
            for (int r = from; r <= to; ++r) {
                MPI_Aint place;
                MPI_Get_address((*m)[r] + 1, &place);
                places.push_back(place);
            }
        MPI_Datatype type;
        MPI_Type_create_hindexed_block(static_cast<int>(places.size()), ncols, places.data(), MPI_DOUBLE, &type);
        MPI_Type_commit(&type);
        return type;
    };
    std::vector<MPI_Request> requests, sends;
    std::vector<MPI_Datatype> types;
    const std::vector<const Matrix*> results(grids.begin(), grids.end());
    for (int p = 1; p < size; ++p) {
        const auto [lo, hi] = block(p);
        if (lo > hi) continue;
        types.push_back(placesType(results, lo, hi));
        requests.emplace_back();
        MPI_Irecv(MPI_BOTTOM, 1, types.back(), p, kRowsTag, MPI_COMM_WORLD, &requests.back());
        types.push_back(placesType({elevation}, lo - 1, hi + 1));
        sends.emplace_back();
        MPI_Isend(MPI_BOTTOM, 1, types.back(), p, kRowsTag, MPI_COMM_WORLD, &sends.back());
    }
    // The elevation rows are on their way only while this process is inside MPI (large messages
    // move as the sender hands them over): the others can start on their blocks only once
    // they are through, so they go before this process's own block, not after it.
    MPI_Waitall(static_cast<int>(sends.size()), sends.data(), MPI_STATUSES_IGNORE);
    std::vector<int> noted;
    const auto [lo0, hi0] = block(0);
    for (int r = lo0; r <= hi0; ++r) {
        const int count = SlopeAspectRow((*elevation)[r - 1], (*elevation)[r], (*elevation)[r + 1],
                                         slope ? (*slope)[r] : nullptr, aspect ? (*aspect)[r] : nullptr, ncols,
                                         cellsize, nodata, columns.data());
        noted.push_back(count);
        noted.insert(noted.end(), columns.begin(), columns.begin() + count);
    }
    // The noted columns of each block after those of the blocks above it.
    for (int p = 1; p < size; ++p) {
        const auto [lo, hi] = block(p);
        if (lo > hi) continue;
        MPI_Status status;
        MPI_Probe(p, kNotedTag, MPI_COMM_WORLD, &status);
        int count = 0;
        MPI_Get_count(&status, MPI_INT, &count);
        const std::size_t at = noted.size();
        noted.resize(at + static_cast<std::size_t>(count));
        MPI_Recv(noted.data() + at, count, MPI_INT, p, kNotedTag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    }
    MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
    for (MPI_Datatype& type : types) MPI_Type_free(&type);
    FillSlopeAspectGaps(*elevation, slope, aspect, nrows, ncols, nodata, noted);
}

}  // namespace

void defaultini::FailAlike(int code, const char* what) {
    int initialised = 0, finalised = 0;
    MPI_Initialized(&initialised);
    MPI_Finalized(&finalised);
    if (initialised && !finalised && size > 1) MPI_Bcast(&code, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (code == 0) return;
    if (rank != 0) *log << "FATAL: " << what << " failed on process 0" << "[end-entry]";
    throw ModelError(code);
}

Matrix* defaultini::CreateSharedGrid(const std::string& fileName, const std::string& internalName, int* index,
                                     const char* noRoomText) {
    int first = 0, last = 0;
    SharedGridRows(&first, &last);
    Matrix* grid = CreateOwnedGrid(first, last);
    *index = RegisterSetupGrid(fileName, internalName, grid, 0, first, last, noRoomText);
    ++standardGridCount_;
    return grid;
}

Matrix* defaultini::DataOf(int index) {
    GridStoreEntry& e = (*gridStore)[index];
    if (e.grid == nullptr) {
        *log << "FATAL: grid " << e.internalName << " (" << e.fileName << ") is not in memory" << "[end-entry]";
        throw ModelError(33);
    }
    return e.grid;
}

void defaultini::WriteOnce(int index) { WriteOnce(std::vector<int>{index}); }

void defaultini::WriteOnce(const std::vector<int>& indexes) {
    // Process 0 writes alone, the grids in turn up to the first that fails; that failure ends
    // every process alike, agreed on once for all of them.
    int failure = 0;
    const std::span<const int> rest = std::span(indexes).subspan(WriteTogether(indexes));
    // Text files: every process formats a share of the rows of each grid process 0 writes.
    if (textOutput && size > 1 && MpiRunning()) {
        std::vector<const Matrix*> grids;
        for (const int index : rest)
            grids.push_back(rank == 0 && index >= 1 && index < GridStore::kEntries ? (*gridStore)[index].grid : nullptr);
        FormatTextRowsTogether(grids);
    }
    for (const int index : rest) {
        GridStoreEntry& e = (*gridStore)[index];
        const int saved = e.units;
        e.units = 1;
        try {
            WriteStatisticGrids(index, false, false);
        } catch (const ModelError& error) {
            failure = error.code();
        }
        e.units = saved;
        if (failure != 0) break;
    }
    DropFormattedTextRows();
    FailAlike(failure, "writing a derived grid");
}

const std::vector<int>& defaultini::WriterRows() {
    if (!writerRows_.empty()) return writerRows_;
    const int mine[2] = {rank == 0 ? 1 : firstRow + 1, rank == 0 ? 0 : lastRow - 1};
    writerRows_.assign(2 * static_cast<std::size_t>(size), 0);
    if (size > 1 && MpiRunning()) MPI_Gather(mine, 2, MPI_INT, writerRows_.data(), 2, MPI_INT, 0, MPI_COMM_WORLD);
    if (rank != 0) std::copy(mine, mine + 2, writerRows_.begin() + 2 * rank);
    return writerRows_;
}

std::size_t defaultini::WriteTogether(const std::vector<int>& indexes) {
    // Binary files of plain grids (no sums, extremes or vegetation periods kept) are written in
    // one pass over the rows, their statistics side by side; the rest, and any file that pass did
    // not finish, one by one by process 0 (which reports a fault). With several processes each
    // other process writes the rows strictly between its first and last own row (every cell of
    // them is its own, so it holds them as process 0 does) while process 0 checks and counts every
    // row and writes the others. Every process sees the same entries here, so all take part alike.
    if (textOutput || gridStore == nullptr || indexes.size() < 2) return 0;
    std::vector<std::pair<std::string, const Matrix*>> files;
    for (const int index : indexes) {
        if (index < 1 || index > GridStore::kEntries - 1) break;
        const GridStoreEntry& e = (*gridStore)[index];
        if (e.grid == nullptr || e.tens != 0 || e.minFlag != 0 || e.maxFlag != 0 || e.thousands != 0) break;
        files.emplace_back(e.baseFileName, e.grid);
    }
    if (files.size() < 2) return 0;
    FindDecompositionGrids();
    int written = 0;
    if (size > 1 && MpiRunning()) written = WriteBinaryGridsShared(files, doublePrecision, WriterRows());
    if (rank != 0) return 0;
    if (written == 0) written = WriteBinaryGrids(files, doublePrecision);
    for (int k = 0; k < written; ++k) (*gridStore)[indexes[static_cast<std::size_t>(k)]].stepCount += 1;
    return static_cast<std::size_t>(written);
}

void defaultini::CreateCellSizeGrids() {
    const Matrix* zone = (*gridStore)[1].grid;
    if (zone == nullptr) return;
    const std::string& zoneFile = (*gridStore)[1].fileName;
    CellSizeSources src;
    Matrix* X = nullptr;
    Matrix* Y = nullptr;
    Matrix* A = nullptr;

    cellSizeXIndex_ = FindSetupGrid("CellSizeX");
    src.xGiven = cellSizeXIndex_ > 0;
    X = src.xGiven ? DataOf(cellSizeXIndex_)
                   : CreateSharedGrid(DerivedFileName(zoneFile, ".$csx"), "CellSizeX", &cellSizeXIndex_);
    cellSizeYIndex_ = FindSetupGrid("CellSizeY");
    src.yGiven = cellSizeYIndex_ > 0;
    Y = src.yGiven ? DataOf(cellSizeYIndex_)
                   : CreateSharedGrid(DerivedFileName(zoneFile, ".$csy"), "CellSizeY", &cellSizeYIndex_);
    relCellAreaIndex_ = relCellArea ? FindSetupGrid("RelCellArea") : 0;
    src.areaGiven = relCellAreaIndex_ > 0;
    if (src.areaGiven) {
        A = DataOf(relCellAreaIndex_);
    } else {
        A = CreateSharedGrid(DerivedFileName(zoneFile, ".$rca"), "RelCellArea", &relCellAreaIndex_);
        relCellArea = A;
    }
    *log << "Checking cell sizes for variable Cells..." << "[end-entry]";

    // Process 0 derives every row; the others the rows between their first and last own row.
    const int lo = rank == 0 ? 1 : firstRow + 1;
    const int hi = rank == 0 ? nrows : lastRow - 1;
    // Without both cell sizes the relative area is not known: every cell counts as one.
    src.unitArea = !src.areaGiven && !(src.xGiven && src.yGiven);
    const CellSizeProblem p = DeriveCellSizes(*zone, *X, *Y, *A, lo, hi, ncols, cellsize, nodata, src);
    int failure = 0;
    if (rank == 0) {
        if (p.kind == 1) {
            *log << "FATAL: cell size in y direction is zero at row " << p.row << ", column " << p.col
                 << ",\nread from file " << (*gridStore)[cellSizeYIndex_].fileName << "[end-entry]";
        } else if (p.kind == 2) {
            *log << "FATAL: cell size in x direction is zero at row " << p.row << ", column " << p.col
                 << ",\nread from file " << (*gridStore)[cellSizeXIndex_].fileName << "\n" << "[end-entry]";
        } else if (p.kind == 3) {
            *log << "FATAL: Cell size Y (" << p.y << ", from " << (*gridStore)[cellSizeYIndex_].fileName
                 << ") times\ncell size X (" << p.x << ", from " << (*gridStore)[cellSizeXIndex_].fileName
                 << ") \ndivided by the mean cell area is " << p.x * p.y / (cellsize * cellsize)
                 << " and differs from \nthe relative grid cell size " << p.area << " (from "
                 << (*gridStore)[relCellAreaIndex_].fileName << ") by more than 0.001%%\n" << "[end-entry]";
        }
        if (p.kind != 0) failure = 66;
    }
    FailAlike(failure, "the cell size check");

    // Given grids were set to nodata outside the basin as well: all three are shared.
    const std::pair<bool, int> grids[] = {
        {!src.xGiven, cellSizeXIndex_}, {!src.yGiven, cellSizeYIndex_}, {!src.areaGiven, relCellAreaIndex_}};
    std::vector<SharedRows> shared;
    std::vector<int> written;
    for (const auto& [derived, index] : grids) {
        Matrix& grid = *(*gridStore)[index].grid;
        shared.push_back({&grid, rank == 0 ? std::vector<int>() : RowsOutside(grid, firstRow, lastRow, nrows)});
        if (derived) written.push_back(index);
    }
    ShareChosenRowsFromRoot(*this, shared);
    WriteOnce(written);
}

void defaultini::CreateCoordinateGrids() {
    const Matrix* zone = (*gridStore)[1].grid;
    if (zone == nullptr) return;
    const std::string& zoneFile = (*gridStore)[1].fileName;
    // The other processes keep their own rows; process 0 keeps them all, as it writes them.
    const int first = rank == 0 ? 1 : firstRow;
    const int last = rank == 0 ? nrows : lastRow;
    Matrix* cx = CreateOwnedGrid(first, last);
    coordXIndex_ = RegisterSetupGrid(DerivedFileName(zoneFile, ".$cx"), "CoordX", cx, 0, first, last);
    ++standardGridCount_;
    Matrix* cy = CreateOwnedGrid(first, last);
    coordYIndex_ = RegisterSetupGrid(DerivedFileName(zoneFile, ".$cy"), "CoordY", cy, 0, first, last);
    ++standardGridCount_;

    const Matrix* X = cellSizeXIndex_ > 0 ? (*gridStore)[cellSizeXIndex_].grid : nullptr;
    const Matrix* Y = cellSizeYIndex_ > 0 ? (*gridStore)[cellSizeYIndex_].grid : nullptr;
    const bool accumulate = relCellArea != nullptr;
    // The y coordinates accumulate from the last row up: each other process takes its last own
    // row before masking from process 0 and derives the rows above it, then takes its first and
    // last own row (which other processes' cells may share) as masked. Each row is masked as
    // soon as the row above has taken its y coordinates; on process 0 the other processes'
    // last own rows only once they have them.
    std::vector<int> lastRows(static_cast<std::size_t>(size), 0);
    if (size > 1 && MpiRunning()) MPI_Gather(&lastRow, 1, MPI_INT, lastRows.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
    std::vector<char> sentBeforeMasking(static_cast<std::size_t>(nrows) + 2, 0);
    for (int p = 1; p < size; ++p) {
        const int r = lastRows[static_cast<std::size_t>(p)];
        if (r >= 1 && r <= nrows) sentBeforeMasking[static_cast<std::size_t>(r)] = 1;
    }
    if (rank == 0)
        AccumulateCoordinates(X, Y, *cx, *cy, 1, nrows, nrows, ncols, xllcorner, yllcorner, cellsize, nodata,
                              &zones_.columns, accumulate, zone, &sentBeforeMasking);
    const std::vector<int> below = rank == 0 ? std::vector<int>() : std::vector<int>{lastRow};
    ShareChosenRowsFromRoot(*this, {{cx, below}, {cy, below}});
    if (rank == 0)
        for (int r = 1; r <= nrows; ++r)
            if (sentBeforeMasking[static_cast<std::size_t>(r)]) MaskCoordinates(*zone, *cx, *cy, r, r, ncols, nodata);
    if (rank != 0)
        CoordinatesAboveRow(X, Y, *cx, *cy, firstRow, lastRow, nrows, ncols, xllcorner, yllcorner, cellsize, nodata,
                            accumulate, zone);
    const std::vector<int> shared = rank == 0 ? std::vector<int>() : RowsOutside(*cx, firstRow, lastRow, nrows);
    ShareChosenRowsFromRoot(*this, {{cx, shared}, {cy, shared}});
    WriteOnce({coordXIndex_, coordYIndex_});
}

void defaultini::make_Slope_and_Aspect() {
    const int elevationIndex = FindSetupGrid("[elevation_model]");
    if (elevationIndex == 0 || (*gridStore)[elevationIndex].grid == nullptr || (*gridStore)[1].grid == nullptr)
        return;
    slopeIndex_ = FindSetupGrid("slope_angle");
    aspectIndex_ = FindSetupGrid("slope_aspect");
    if (slopeIndex_ > 0 && aspectIndex_ > 0) return;

    const std::string& demFile = (*gridStore)[elevationIndex].fileName;
    Matrix* slope = nullptr;
    Matrix* aspect = nullptr;
    if (slopeIndex_ == 0)
        slope = CreateSharedGrid(DerivedFileName(demFile, ".$sl"), "slope_angle", &slopeIndex_,
                                 "FATAL: no free grid found in memeory (at position ");
    if (aspectIndex_ == 0) {
        if (FirstFreeEntry() > GridStore::kMaxIndex) {
            *log << "FATAL: no free grid left (at position " << GridStore::kMaxIndex + 1 << ")\n" << "[end-entry]";
            throw ModelError(12);
        }
        aspect = CreateSharedGrid(DerivedFileName(demFile, ".$ex"), "slope_aspect", &aspectIndex_);
    }
    *log << "calculating the lokal topography (aspect, slope ...).. " << "[end-entry]";

    // Process 0 holds the whole elevation model as read; a row it lacks comes from the owners
    // (gathered only then: rows process 0 holds are taken from its own copy).
    const Matrix& own = *(*gridStore)[elevationIndex].grid;
    int whole = 1;
    if (rank == 0)
        for (int r = 1; r <= nrows; ++r) whole = whole && own.holds(r) ? 1 : 0;
    if (size > 1) MPI_Bcast(&whole, 1, MPI_INT, 0, MPI_COMM_WORLD);
    Matrix gathered = whole ? Matrix() : MPIGatherGridCopy(elevationIndex);
    const Matrix* elevation = &own;
    int failure = 0;
    if (rank == 0) {
        if (!gathered.empty()) {
            for (int r = 1; r <= nrows; ++r)
                if (own.holds(r)) std::copy(own[r] + 1, own[r] + ncols + 1, gathered[r] + 1);
            elevation = &gathered;
        }
        for (int r = 1; r <= nrows && failure == 0; ++r) {
            if (elevation->holds(r)) continue;
            *log << "FATAL: row " << r << " of the elevation model " << demFile << " is not in memory"
                 << "[end-entry]";
            failure = 33;
        }
    }
    FailAlike(failure, "slope and aspect");
    if (size > 1 && MpiRunning())
        SlopeAspectInBlocks(elevation, slope, aspect, rank, size, nrows, ncols, cellsize, nodata);
    else if (rank == 0)
        ComputeSlopeAspect(*elevation, slope, aspect, nrows, ncols, cellsize, nodata);
    std::vector<SharedRows> shared;
    std::vector<int> written;
    for (const auto& [m, index] : {std::pair{slope, slopeIndex_}, std::pair{aspect, aspectIndex_}}) {
        if (!m) continue;
        shared.push_back({m, HeldRowsOffRoot(*this, *m)});
        written.push_back(index);
    }
    ShareChosenRowsFromRoot(*this, shared);
    WriteOnce(written);
}

void defaultini::check_ice_firn_grid() {
    int i = 1;
    for (; i <= GridStore::kMaxIndex && (*gridStore)[i].hasFileName; ++i) {
        if ((*gridStore)[i].internalName == "ice_firn") {
            iceFirnData_ = (*gridStore)[i].grid;
            return;
        }
    }
    *log << "INFO: ice-grid not found in memory (at position " << i << ")" << "[end-entry]";
}
