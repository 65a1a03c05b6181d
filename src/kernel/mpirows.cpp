// Scatter, gather and gather-copy of grids and stacks between process 0 and the owners of
// the cells, and the halo exchange between neighbouring processes.
//
// A row is cut into strips, runs of columns with one owner, as the strip table "MPIHelper"
// says. Process 0 walks every row of its table, the other processes their own rows; both
// sides walk the rows in order and the strips of a row in column order, so the one message
// between process 0 and each owner holds the same strips in the same order on both sides.
// Before anything moves, every process checks its part of the table and all processes compare
// the strips they expect to exchange, so that a broken table ends every process with the same
// error instead of leaving some of them waiting for a message.
#include "kernel/mpirows.hpp"

#include <mpi.h>
#include <sched.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "kernel/gridio.hpp"
#include "kernel/rowselect.hpp"

namespace mpirows {
namespace {

struct Strip {
    int row, col, len, peer;
};

// Cells of a grid or stack as the transfers see them: values per cell and the first value
// of cell (r, c); the cells of one row follow each other without gaps.
struct GridCells {
    Matrix* m;
    int perCell() const { return 1; }
    bool holds(int r) const { return m->holds(r); }
    double* at(int r, int c) const { return (*m)[r] + c; }
};
struct StackCells {
    Stack* s;
    int levels;
    int perCell() const { return levels + 1; }
    bool holds(int r) const { return s->holds(r); }
    double* at(int r, int c) const { return (*s)[r][c]; }
};

class StripPlanner {
public:
    // A quiet planner finds the same errors but logs none (its caller logs them later, by
    // planning again, once it knows that the entry is due).
    StripPlanner(modelobject& o, bool parenthesised, bool quiet = false)
        : o_(o), parenthesised_(parenthesised), quiet_(quiet) {}

    // Every strip of process 0's table, its own included (process 0 only).
    int BuildAll(std::vector<Strip>* strips) { return BuildRoot(strips, true); }

    // The strips this process exchanges; returns an error code (0: none), the entry logged.
    int Build(std::vector<Strip>* strips) {
        return o_.rank == 0 ? BuildRoot(strips, false) : BuildOwner(strips);
    }

private:
    int TooManyStrips(int row) {
        if (quiet_) return 120;
        if (parenthesised_)
            *o_.log << "FATAL: MPI-Regions: to much strips to be stored in a grid row (in row " << row << ")"
                    << "[end-entry]";
        else
            *o_.log << "FATAL: MPI-Regions: to much strips to be stored in a grid row in row " << row
                    << "[end-entry]";
        return 120;
    }
    int BadStrip(int row, const char* what) {
        if (quiet_) return 120;
        *o_.log << "FATAL: MPI-Regions: " << what << " in row " << row << " of the strip table of mpi-rank "
                << o_.rank << "[end-entry]";
        return 120;
    }
    int FirstBasinColumn(int r) const {
        const Matrix& helper = *o_.mpiHelper;
        if (o_.basinColumns == nullptr) return static_cast<int>(helper[r][0]) + 1;
        if (r >= static_cast<int>(o_.basinColumns->size())) return 0;
        return (*o_.basinColumns)[static_cast<std::size_t>(r)].first;
    }

    int BuildRoot(std::vector<Strip>* strips, bool withRoot) {
        const Matrix& helper = *o_.mpiHelper;
        const int ncols = o_.ncols;
        for (int r = 1; r <= o_.nrows; ++r) {
            if (!helper.holds(r)) return BadStrip(r, "no row");
            const int first = FirstBasinColumn(r);
            if (first <= 0) continue;
            int c = first;
            for (int k = 1;; ++k) {
                if (2 * k > ncols) return TooManyStrips(r);
                const int owner = static_cast<int>(helper[r][2 * k - 1]);
                const int len = static_cast<int>(helper[r][2 * k]);
                if (len <= 0) break;
                if (c > ncols || len > ncols - c + 1) return BadStrip(r, "strip beyond the last column");
                if (owner >= o_.size) return BadStrip(r, "owner without process");
                if (owner > 0 || (withRoot && owner == 0)) strips->push_back({r, c, len, owner});
                c += len;
                if (2 * k + 2 > ncols) return TooManyStrips(r);
            }
        }
        return 0;
    }

    int BuildOwner(std::vector<Strip>* strips) {
        const Matrix& helper = *o_.mpiHelper;
        const int ncols = o_.ncols;
        for (int r = o_.firstRow; r <= o_.lastRow; ++r) {
            if (!helper.holds(r)) return BadStrip(r, "no row");
            for (int k = 1;; ++k) {
                if (2 * k > ncols) return TooManyStrips(r);
                const int first = static_cast<int>(helper[r][2 * k - 1]);
                if (first <= 0) break;
                const int len = static_cast<int>(helper[r][2 * k]);
                if (len <= 0 || first > ncols || len > ncols - first + 1)
                    return BadStrip(r, "strip beyond the last column");
                strips->push_back({r, first, len, 0});
                if (2 * k + 2 > ncols) return TooManyStrips(r);
            }
        }
        return 0;
    }

    modelobject& o_;
    bool parenthesised_;
    bool quiet_;
};

// Every strip must lie in rows the data holds, and a strip's values must fit one message.
template <class Cells>
int CheckCells(modelobject& o, const Cells& cells, const std::vector<Strip>& strips, const std::string& name,
               bool quiet = false) {
    for (const Strip& s : strips) {
        if (!cells.holds(s.row)) {
            if (quiet) return 120;
            *o.log << "FATAL: MPI-Regions: " << name << " holds no row " << s.row << " on mpi-rank " << o.rank
                   << "[end-entry]";
            return 120;
        }
        if (static_cast<long long>(s.len) * cells.perCell() > INT_MAX) {
            if (quiet) return 120;
            *o.log << "FATAL: MPI-Regions: a strip of " << name << " is too large in row " << s.row << "[end-entry]";
            return 120;
        }
    }
    return 0;
}

// What the processes compare before strips move: per process, the strips process 0 sends it
// and their cells ([0, n) and [n, 2n)), the same as each owner expects ([2n, 3n) and [3n, 4n)),
// and last the largest error code. Values are negated (-1 where a process says nothing), so
// that one all-reduce with MPI_MIN finds the largest of each and can share its buffer with
// other agreements of the same kind.
std::size_t StripCountsSize(const modelobject& o) { return 4 * static_cast<std::size_t>(o.size) + 1; }

void PutStripCounts(const modelobject& o, int error, const std::vector<Strip>& strips, long long* local) {
    const std::size_t n = static_cast<std::size_t>(o.size);
    std::fill(local, local + 4 * n, 1);
    local[4 * n] = -static_cast<long long>(error);
    if (o.rank == 0) {
        for (std::size_t p = 0; p < n; ++p) local[p] = local[n + p] = 0;
        for (const Strip& s : strips) {
            local[static_cast<std::size_t>(s.peer)] -= 1;
            local[n + static_cast<std::size_t>(s.peer)] -= s.len;
        }
    } else {
        const std::size_t me = static_cast<std::size_t>(o.rank);
        local[2 * n + me] = local[3 * n + me] = 0;
        for (const Strip& s : strips) {
            local[2 * n + me] -= 1;
            local[3 * n + me] -= s.len;
        }
    }
}

// Throws on all processes when a process reported an error or process 0 and an owner expect
// different strips (all: the reduced values of PutStripCounts).
void CheckStripCounts(modelobject& o, const long long* all) {
    const std::size_t n = static_cast<std::size_t>(o.size);
    if (all[4 * n] != 0) throw ModelError(static_cast<int>(-all[4 * n]));
    for (std::size_t p = 1; p < n; ++p) {
        if (all[p] == all[2 * n + p] && all[n + p] == all[3 * n + p]) continue;
        if (o.rank == 0)
            *o.log << "FATAL: MPI-Regions: the strip table of mpi-rank " << static_cast<int>(p)
                   << " does not match that of mpi-rank 0 (" << static_cast<long long>(-all[n + p]) << " cells, "
                   << static_cast<long long>(-all[3 * n + p]) << " expected)" << "[end-entry]";
        throw ModelError(120);
    }
}

// Agrees on the local errors and checks that process 0 and every owner expect the same
// number of strips and cells; throws on all processes when anything is wrong.
void AgreeOnStrips(modelobject& o, int error, const std::vector<Strip>& strips) {
    std::vector<long long> local(StripCountsSize(o)), all(local.size());
    PutStripCounts(o, error, strips, local.data());
    MPI_Allreduce(local.data(), all.data(), static_cast<int>(local.size()), MPI_LONG_LONG, MPI_MIN, MPI_COMM_WORLD);
    CheckStripCounts(o, all.data());
}

// The strips between process 0 and one owner move in one message, a type over the strips
// where they lie in row and column order (both sides list them so), and the messages to or
// from every owner are under way at once.
template <class Cells>
void Walk(modelobject& o, const Cells& cells, const std::vector<Strip>& strips, Direction direction) {
    constexpr int kTag = 0;  // rows are 1 and more: no row-tagged message of the same pair matches
    const std::size_t peers = static_cast<std::size_t>(o.size);
    std::vector<std::vector<int>> lengths(peers);
    std::vector<std::vector<MPI_Aint>> places(peers);
    for (const Strip& s : strips) {
        const std::size_t peer = static_cast<std::size_t>(o.rank == 0 ? s.peer : 0);
        MPI_Aint address = 0;
        MPI_Get_address(cells.at(s.row, s.col), &address);
        lengths[peer].push_back(s.len * cells.perCell());
        places[peer].push_back(address);
    }
    const bool send = (o.rank == 0) == (direction == Direction::Scatter);
    std::vector<MPI_Request> requests;
    std::vector<MPI_Datatype> types;
    requests.reserve(peers);
    types.reserve(peers);
    for (std::size_t p = 0; p < peers; ++p) {
        if (lengths[p].empty()) continue;
        MPI_Datatype type;
        MPI_Type_create_hindexed(static_cast<int>(lengths[p].size()), lengths[p].data(), places[p].data(), MPI_DOUBLE,
                                 &type);
        MPI_Type_commit(&type);
        types.push_back(type);
        requests.emplace_back();
        if (send)
            MPI_Isend(MPI_BOTTOM, 1, type, static_cast<int>(p), kTag, MPI_COMM_WORLD, &requests.back());
        else
            MPI_Irecv(MPI_BOTTOM, 1, type, static_cast<int>(p), kTag, MPI_COMM_WORLD, &requests.back());
    }
    MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
    for (MPI_Datatype& type : types) MPI_Type_free(&type);
}

// Plans, checks and agrees, then moves the strips between root (process 0's data) and the
// owners' data (the same object on every process except in the copy operations).
template <class Cells>
void Transfer(modelobject& o, const Cells& cells, Direction direction, const std::string& name, bool parenthesised,
              int presetError) {
    std::vector<Strip> strips;
    int error = presetError;
    if (error == 0) error = StripPlanner(o, parenthesised).Build(&strips);
    if (error == 0) error = CheckCells(o, cells, strips, name);
    AgreeOnStrips(o, error, strips);
    Walk(o, cells, strips, direction);
}

}  // namespace

struct GridGather::Strips {
    std::vector<Strip> list;
};

GridGather::GridGather(modelobject& o, Matrix* grid, std::string name, bool plan)
    : o_(o), grid_(grid), name_(std::move(name)), strips_(std::make_unique<Strips>()) {
    if (!plan) return;
    error_ = StripPlanner(o_, false, true).Build(&strips_->list);
    if (error_ == 0) error_ = CheckCells(o_, GridCells{grid_}, strips_->list, name_, true);
}

GridGather::~GridGather() = default;

std::size_t GridGather::AgreementSize() const { return StripCountsSize(o_); }

void GridGather::PutAgreement(long long* local) const { PutStripCounts(o_, error_, strips_->list, local); }

void GridGather::Agree(const long long* all) {
    if (error_ != 0) {
        // The quiet planning found an error: planning again logs its entry, as TransferGrid
        // does before it agrees.
        std::vector<Strip> again;
        if (StripPlanner(o_, false).Build(&again) == 0) CheckCells(o_, GridCells{grid_}, again, name_);
    }
    CheckStripCounts(o_, all);
}

void GridGather::Move() { Walk(o_, GridCells{grid_}, strips_->list, Direction::Gather); }

MPI_Datatype RowsType(const Matrix& grid, int first, int last, int ncols) {
    std::vector<MPI_Aint> places;
    for (int r = first; r <= last; ++r) {
        places.emplace_back();
        MPI_Get_address(grid[r] + 1, &places.back());
    }
    MPI_Datatype type;
    MPI_Type_create_hindexed_block(static_cast<int>(places.size()), ncols, places.data(), MPI_DOUBLE, &type);
    MPI_Type_commit(&type);
    return type;
}

bool Distributed(modelobject& o) {
    if (o.size < 2) return false;
    o.FindDecompositionGrids();
    return o.mpiRegions != nullptr && o.mpiHelper != nullptr;
}

void TransferGrid(modelobject& o, Matrix& grid, Direction direction, const std::string& name) {
    Transfer(o, GridCells{&grid}, direction, name, false, 0);
}

void TransferStack(modelobject& o, Stack& stack, int levels, Direction direction, const std::string& name,
                   bool parenthesised) {
    int error = 0;
    if (levels != stack.levels()) {
        *o.log << "FATAL: MPI-Regions: level count " << levels << " does not match the " << stack.levels()
               << " levels of stack " << name << "[end-entry]";
        error = 1010;
    }
    Transfer(o, StackCells{&stack, stack.levels()}, direction, name, parenthesised, error);
}

std::vector<Matrix> GatherGridCopies(modelobject& o, const std::vector<const Matrix*>& grids, const std::string& name) {
    // The grids travel as the levels of one stack: one plan and one message per process for all.
    const int n = static_cast<int>(grids.size());
    int error = 0;
    for (const Matrix* g : grids)
        if (g == nullptr) error = 120;
    if (error != 0) *o.log << "FATAL: MPI-Regions: a grid of " << name << " is not in memory" << "[end-entry]";
    const bool root = o.rank == 0;
    const int first = root ? 1 : o.firstRow, last = root ? o.nrows : o.lastRow;
    memory_handling mh;
    Stack packed = mh.matrix3d(first, last, 1, o.ncols, n - 1, o.nrows);
    const Matrix& regions = *o.mpiRegions;
    for (int r = first; r <= last; ++r)
        for (int c = 1; c <= o.ncols; ++c) {
            // The owners send their strips; process 0 keeps the cells of its own region.
            const bool keep = !root || (regions.holds(r) && regions[r][c] == 0);
            for (int k = 0; k < n; ++k) {
                const Matrix* g = grids[static_cast<std::size_t>(k)];
                packed[r][c][k] = keep && g != nullptr && g->holds(r) ? (*g)[r][c] : o.nodata;
            }
        }
    Transfer(o, StackCells{&packed, n - 1}, Direction::Gather, name, false, error);
    std::vector<Matrix> copies(static_cast<std::size_t>(n));
    if (!root) return copies;
    for (int k = 0; k < n; ++k) {
        Matrix& m = copies[static_cast<std::size_t>(k)];
        m = mh.matrix(1, o.nrows, 1, o.ncols, o.nrows);
        for (int r = 1; r <= o.nrows; ++r)
            for (int c = 1; c <= o.ncols; ++c) m[r][c] = packed[r][c][k];
    }
    return copies;
}

std::vector<Matrix> WholeGridCopies(modelobject& o, const std::vector<const Matrix*>& grids, const std::string& name) {
    const std::size_t n = grids.size();
    const Matrix* regions = o.mpiRegions;
    auto whole = [&](const Matrix* m) { return m != nullptr && m->holds(1) && m->holds(o.nrows) && m->ncols() >= o.ncols; };
    std::vector<int> gather(n, 0);
    if (o.rank == 0)
        for (std::size_t k = 0; k < n; ++k) gather[k] = whole(grids[k]) && whole(regions) ? 0 : 1;
    MPI_Bcast(gather.data(), static_cast<int>(n), MPI_INT, 0, MPI_COMM_WORLD);
    std::vector<const Matrix*> lacking;
    for (std::size_t k = 0; k < n; ++k)
        if (gather[k] != 0) lacking.push_back(grids[k]);
    std::vector<Matrix> gathered;
    if (!lacking.empty()) gathered = GatherGridCopies(o, lacking, name);
    std::vector<Matrix> copies(n);
    if (o.rank != 0) return copies;
    memory_handling mh;
    const double none = o.nodata;
    const int ncols = o.ncols;
    // The cells no process owns (nodata in the regions), as runs of columns of each row: found
    // once, they are the cells of every copy that take nodata instead of the grid's value.
    struct Run {
        int row, first, last;
    };
    std::vector<Run> unowned;
    // Finding the runs costs about a masked copy: worth it from two copies on.
    const bool byRuns = std::count(gather.begin(), gather.end(), 0) >= 2;
    if (byRuns)
        for (int r = 1; r <= o.nrows; ++r) {
            const double* owner = (*regions)[r];
            for (int c = 1; c <= ncols; ++c) {
                if (owner[c] != none) continue;
                const int first = c;
                while (c < ncols && owner[c + 1] == none) ++c;
                unowned.push_back({r, first, c});
            }
        }
    std::size_t next = 0;
    for (std::size_t k = 0; k < n; ++k) {
        if (gather[k] != 0) {
            copies[k] = std::move(gathered[next++]);
            continue;
        }
        Matrix& copy = copies[k];
        // Every value of columns 1..ncols is set below, so the copy is not cleared first: the
        // grid's row, then nodata in the runs of unowned cells, or cell by cell.
        copy = mh.UnsetMatrix(1, o.nrows, 1, o.ncols, o.nrows);
        if (byRuns) {
            for (int r = 1; r <= o.nrows; ++r) std::copy_n((*grids[k])[r] + 1, ncols, copy[r] + 1);
            for (const Run& run : unowned) std::fill(copy[run.row] + run.first, copy[run.row] + run.last + 1, none);
            continue;
        }
        // Every value read: the compiler may then select several at once.
        for (int r = 1; r <= o.nrows; ++r) {
            const double* owner = (*regions)[r];
            const double* value = (*grids[k])[r];
            double* to = copy[r];
            for (int c = 1; c <= ncols; ++c) {
                const double v = value[c];
                to[c] = owner[c] != none ? v : none;
            }
        }
    }
    return copies;
}

std::vector<OwnedStrip> AllStrips(modelobject& o) {
    std::vector<Strip> strips;
    int count = 0;
    if (o.rank == 0) {
        const int error = StripPlanner(o, false).BuildAll(&strips);
        count = error != 0 ? -error : static_cast<int>(strips.size());
    }
    MPI_Bcast(&count, 1, MPI_INT, 0, MPI_COMM_WORLD);
    if (count < 0) throw ModelError(-count);
    std::vector<int> flat(4 * static_cast<std::size_t>(count));
    if (o.rank == 0)
        for (std::size_t i = 0; i < strips.size(); ++i) {
            flat[4 * i] = strips[i].row;
            flat[4 * i + 1] = strips[i].col;
            flat[4 * i + 2] = strips[i].len;
            flat[4 * i + 3] = strips[i].peer;
        }
    if (count > 0) MPI_Bcast(flat.data(), 4 * count, MPI_INT, 0, MPI_COMM_WORLD);
    std::vector<OwnedStrip> all(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = {flat[4 * i], flat[4 * i + 1], flat[4 * i + 2], flat[4 * i + 3]};
    return all;
}

int OwnStrips(modelobject& o, std::vector<OwnedStrip>* strips) {
    std::vector<Strip> found;
    StripPlanner planner(o, false);
    const int error = o.rank == 0 ? planner.BuildAll(&found) : planner.Build(&found);
    for (const Strip& s : found)
        if (o.rank != 0 || s.peer == 0) strips->push_back({s.row, s.col, s.len, o.rank});
    return error;
}

std::vector<double> GatherLists(const std::vector<double>& mine, std::vector<int>* listCounts) {
    int rank = 0, size = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    const int count = static_cast<int>(mine.size());
    std::vector<int> counts(rank == 0 ? static_cast<std::size_t>(size) : 0), starts(counts.size());
    MPI_Gather(&count, 1, MPI_INT, counts.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
    std::vector<double> all;
    if (rank == 0) {
        int total = 0;
        for (std::size_t p = 0; p < counts.size(); ++p) {
            starts[p] = total;
            total += counts[p];
        }
        all.resize(static_cast<std::size_t>(total));
    }
    MPI_Gatherv(mine.data(), count, MPI_DOUBLE, all.data(), counts.data(), starts.data(), MPI_DOUBLE, 0,
                MPI_COMM_WORLD);
    if (listCounts != nullptr) *listCounts = std::move(counts);
    return all;
}

std::vector<double> ScatterLists(const std::vector<std::vector<double>>& perProcess) {
    int rank = 0, size = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    std::vector<int> counts(rank == 0 ? static_cast<std::size_t>(size) : 0, 0), starts(counts.size(), 0);
    std::vector<double> all;
    for (std::size_t p = 0; p < counts.size() && p < perProcess.size(); ++p) {
        starts[p] = static_cast<int>(all.size());
        counts[p] = static_cast<int>(perProcess[p].size());
        all.insert(all.end(), perProcess[p].begin(), perProcess[p].end());
    }
    int count = 0;
    MPI_Scatter(counts.data(), 1, MPI_INT, &count, 1, MPI_INT, 0, MPI_COMM_WORLD);
    std::vector<double> mine(static_cast<std::size_t>(count));
    MPI_Scatterv(all.data(), counts.data(), starts.data(), MPI_DOUBLE, mine.data(), count, MPI_DOUBLE, 0,
                 MPI_COMM_WORLD);
    return mine;
}

}  // namespace mpirows

using mpirows::Direction;

namespace {

// The data an operation works on: the argument, else the entry's data (null when neither).
Matrix* EntryGrid(const modelobject& o, int index, Matrix* grid) {
    if (grid) return grid;
    if (o.gridStore && index >= 1 && index <= GridStore::kMaxIndex) return (*o.gridStore)[index].grid;
    return nullptr;
}
Stack* EntryStack(const modelobject& o, int index, Stack* stack) {
    if (stack) return stack;
    if (o.gridStore && index >= 1 && index <= GridStore::kMaxIndex) return (*o.gridStore)[index].stack;
    return nullptr;
}
std::string EntryName(const modelobject& o, int index) {
    if (o.gridStore && index >= 1 && index <= GridStore::kMaxIndex) return (*o.gridStore)[index].internalName;
    return std::string();
}
int EntryLevels(const modelobject& o, int index) {
    if (o.gridStore && index >= 1 && index <= GridStore::kMaxIndex) return (*o.gridStore)[index].levels;
    return 0;
}
std::string DataName(const modelobject& o, int index) {
    std::string n = EntryName(o, index);
    return n.empty() ? "grid " + std::to_string(index) : n;
}

// No data to move is an error of the caller; all processes agree on it before they fail.
int MissingData(const modelobject& o, const void* data, int index, const char* operation) {
    if (data) return 0;
    *o.log << "FATAL: " << operation << ": no data at grid-store index " << index << "[end-entry]";
    return 12;
}

}  // namespace

void modelobject::FindDecompositionGrids() {
    if (!gridStore) return;
    if (!mpiRegions) {
        const int i = FindGrid("MPIRegions", true);
        if (i > 0) mpiRegions = (*gridStore)[i].grid;
    }
    if (!mpiHelper) {
        const int i = FindGrid("MPIHelper", true);
        if (i > 0) mpiHelper = (*gridStore)[i].grid;
    }
}

void modelobject::MPIScatterGrid(int index, Matrix* grid) {
    if (!mpirows::Distributed(*this)) return;
    Matrix* g = EntryGrid(*this, index, grid);
    gridio::ThrowAgreed(MissingData(*this, g, index, "MPIScatterGrid"), true);
    mpirows::TransferGrid(*this, *g, Direction::Scatter, DataName(*this, index));
}

void modelobject::MPIGatherGrid(int index, Matrix* grid) {
    if (!mpirows::Distributed(*this)) return;
    Matrix* g = EntryGrid(*this, index, grid);
    gridio::ThrowAgreed(MissingData(*this, g, index, "MPIGatherGrid"), true);
    mpirows::TransferGrid(*this, *g, Direction::Gather, DataName(*this, index));
}

namespace {

// Per row of the data, the same on all processes: the lowest process holding it (size where
// none does), and whether only its cells outside every region travel (packed: every holder of the
// row and process 0 know the row's regions) or the whole row.
struct RowHolders {
    std::vector<int> holder, packed;
};
// The same exchange agrees on the processes' error codes (0: none; data null where there is one):
// every process throws the largest; and, where none has one, on the strips of the gather.
RowHolders FindRowHolders(const modelobject& o, const Matrix* data, int error, mpirows::GridGather& gather) {
    const std::size_t n = static_cast<std::size_t>(o.nrows) + 1;
    // [0, n): holders, [n, 2n): packed rows, 2n: the negated error code (the minimum is the
    // largest code), then the gather's agreement.
    const std::size_t size = 2 * n + 1 + gather.AgreementSize();
    std::vector<long long> local(size, o.size), all(size, o.size);
    for (int r = 1; r <= o.nrows; ++r) {
        const std::size_t i = static_cast<std::size_t>(r);
        const bool held = data != nullptr && data->holds(r);
        if (held) local[i] = o.rank;
        const bool needsRegions = o.rank == 0 || held;
        local[n + i] = needsRegions && !o.mpiRegions->holds(r) ? 0 : 1;
    }
    local[2 * n] = -error;
    gather.PutAgreement(local.data() + 2 * n + 1);
    MPI_Allreduce(local.data(), all.data(), static_cast<int>(all.size()), MPI_LONG_LONG, MPI_MIN, MPI_COMM_WORLD);
    if (all[2 * n] < 0) throw ModelError(static_cast<int>(-all[2 * n]));
    gather.Agree(all.data() + 2 * n + 1);
    RowHolders rows;
    rows.holder.assign(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n));
    rows.packed.assign(all.begin() + static_cast<std::ptrdiff_t>(n), all.begin() + static_cast<std::ptrdiff_t>(2 * n));
    return rows;
}

// Tag of the cells outside the regions (the strips travel with tag 0).
constexpr int kOutsideTag = 1;

}  // namespace

Matrix modelobject::MPIGatherGridCopy(int index, const Matrix* grid, bool outsideCells) {
    if (!mpirows::Distributed(*this)) return Matrix();
    Matrix* source = EntryGrid(*this, index, const_cast<Matrix*>(grid));
    const int missing = MissingData(*this, source, index, "MPIGatherGridCopy");
    if (!outsideCells) gridio::ThrowAgreed(missing, true);
    // Cells no process owns come from the lowest process holding their row, as one process
    // holding every row has them: each holder sends the cells outside every region of its rows
    // (whole rows where a holder or process 0 does not know the row's regions) in one message,
    // before the strips. Finding the holders agrees on the missing data and on the strips too,
    // so that the strips move without an agreement of their own. Process 0 gathers into a copy
    // of its own: every value of columns 1..ncols is set by the rows' pass below, so the copy
    // is not cleared first.
    Matrix copy = rank == 0 ? UnsetMatrix(1, nrows, 1, ncols, nrows) : Matrix();
    std::optional<mpirows::GridGather> gather;
    if (outsideCells) gather.emplace(*this, rank == 0 ? &copy : source, DataName(*this, index), missing == 0);
    const RowHolders rows = outsideCells ? FindRowHolders(*this, source, missing, *gather) : RowHolders();
    // The strips, planned and agreed on already or (without the cells outside) now.
    auto moveStrips = [&](Matrix& into) {
        if (gather)
            gather->Move();
        else
            mpirows::TransferGrid(*this, into, Direction::Gather, DataName(*this, index));
    };
    const Matrix& regions = *mpiRegions;
    auto isHolder = [&](int r, int p) { return !rows.holder.empty() && rows.holder[static_cast<std::size_t>(r)] == p; };
    auto packed = [&](int r) { return rows.packed[static_cast<std::size_t>(r)] != 0; };
    if (rank != 0) {
        std::vector<double> outside;
        bool holder = false;  // a message, empty or not, where process 0 waits for one
        for (int r = 1; r <= nrows; ++r) {
            if (!isHolder(r, rank)) continue;
            holder = true;
            const double* values = (*source)[r];
            const double* regionRow = packed(r) ? regions[r] : nullptr;
            for (int c = 1; c <= ncols; ++c)
                if (regionRow == nullptr || regionRow[c] == nodata) outside.push_back(values[c]);
        }
        MPI_Request sent = MPI_REQUEST_NULL;
        if (holder)
            MPI_Isend(outside.data(), static_cast<int>(outside.size()), MPI_DOUBLE, 0, kOutsideTag, MPI_COMM_WORLD,
                      &sent);
        moveStrips(*source);
        MPI_Wait(&sent, MPI_STATUS_IGNORE);
        return Matrix();
    }
    // The other holders' cells outside every region, each holder's message after the one before.
    std::vector<bool> sends(static_cast<std::size_t>(size), false);
    for (int r = 1; r <= nrows && !rows.holder.empty(); ++r) {
        const int holder = rows.holder[static_cast<std::size_t>(r)];
        if (holder > 0 && holder < size) sends[static_cast<std::size_t>(holder)] = true;
    }
    // Each holder's values in a block of their own (no block is moved or filled before its
    // message arrives); per process: the next of its values and where they end.
    std::vector<std::unique_ptr<double[]>> outside(static_cast<std::size_t>(size));
    std::vector<std::size_t> first(static_cast<std::size_t>(size), 0), end(static_cast<std::size_t>(size), 0);
    for (int p = 1; p < size; ++p) {
        if (!sends[static_cast<std::size_t>(p)]) continue;
        MPI_Status status;
        MPI_Probe(p, kOutsideTag, MPI_COMM_WORLD, &status);
        int count = 0;
        MPI_Get_count(&status, MPI_DOUBLE, &count);
        const std::size_t received = static_cast<std::size_t>(std::max(count, 0));
        outside[static_cast<std::size_t>(p)].reset(new double[received]);
        MPI_Recv(outside[static_cast<std::size_t>(p)].get(), count, MPI_DOUBLE, p, kOutsideTag, MPI_COMM_WORLD,
                 MPI_STATUS_IGNORE);
        end[static_cast<std::size_t>(p)] = received;
    }
    // Each cell of a row comes from process 0's data where the row's region is 0, from the cells
    // outside every region where it is nodata (the whole row where process 0 does not know the
    // row's regions), and is nodata elsewhere until the owners' strips arrive. The cells outside
    // come from the lowest holder of the row: process 0's own row, or the holder's values in row
    // and column order (only the cells outside the regions for a packed row, every cell else).
    const double nd = nodata;
    const std::size_t cols = static_cast<std::size_t>(ncols);
    // Rows of cells from column 1 on.
    const std::vector<double> none(cols, nd);
    std::vector<double> partRow;
    for (int r = 1; r <= nrows; ++r) {
        const double* regionRow = mpiRegions->holds(r) ? (*mpiRegions)[r] + 1 : nullptr;
        const double* sourceRow = regionRow != nullptr && source->holds(r) ? (*source)[r] + 1 : none.data();
        const int holder = rows.holder.empty() ? size : rows.holder[static_cast<std::size_t>(r)];
        double* to = copy[r] + 1;
        const double* outsideRow = none.data();
        if (holder == 0) {
            outsideRow = (*source)[r] + 1;
        } else if (holder < size) {
            const std::size_t p = static_cast<std::size_t>(holder);
            const double* values = outside[p].get();
            if (packed(r) && regionRow != nullptr) {
                rowselect::SelectRowStreamed(to, regionRow, sourceRow, values, &first[p], end[p], nd, ncols);
                continue;
            }
            if (end[p] - first[p] >= cols) {
                outsideRow = values + first[p];
                first[p] += cols;
            } else {
                // A short message: the values it has left, then nodata.
                partRow.assign(cols, nd);
                for (std::size_t c = 0; c < cols && first[p] < end[p]; ++c) partRow[c] = values[first[p]++];
                outsideRow = partRow.data();
            }
        }
        // A row without regions lies outside every region.
        if (regionRow == nullptr)
            std::copy(outsideRow, outsideRow + cols, to);
        else
            rowselect::SelectRow(to, regionRow, sourceRow, outsideRow, nd, ncols);
    }
    moveStrips(copy);
    return copy;
}

void modelobject::MPIScatterStack(int index, Stack* stack, int levels) {
    if (!mpirows::Distributed(*this)) return;
    const std::string name = EntryName(*this, index);
    if (index >= 1) *log << "re-distributing stack " << name << " for mpi-rank " << rank << "[end-entry]";
    Stack* s = EntryStack(*this, index, stack);
    int error = MissingData(*this, s, index, "MPIScatterStack");
    if (levels == 0) {
        if (index >= 1) {
            levels = EntryLevels(*this, index);
        } else if (error == 0) {
            *log << "FATAL: no level-count given as (optional) parameter to MPIScatterStack. Please report to the "
                    "author."
                 << "[end-entry]";
            error = 1010;
        }
    }
    gridio::ThrowAgreed(error, true);
    mpirows::TransferStack(*this, *s, levels, Direction::Scatter, DataName(*this, index), false);
}

void modelobject::MPISynchroniseStack(int index, Stack* stack) {
    if (!mpirows::Distributed(*this)) return;
    const std::string name = EntryName(*this, index);
    *log << "synchronising stack " << name << " for mpi-rank " << rank << "[end-entry]";
    Stack* s = EntryStack(*this, index, stack);
    gridio::ThrowAgreed(MissingData(*this, s, index, "MPISynchroniseStack"), true);
    const int levels = index >= 1 ? EntryLevels(*this, index) : s->levels();
    mpirows::TransferStack(*this, *s, levels, Direction::Gather, DataName(*this, index), true);
}

Stack modelobject::MPISynchroniseStackCopy(int index, const Stack* stack) {
    if (!mpirows::Distributed(*this)) return Stack();
    const std::string name = EntryName(*this, index);
    *log << "synchronising stack " << name << " for mpi-rank " << rank << "[end-entry]";
    Stack* source = EntryStack(*this, index, const_cast<Stack*>(stack));
    gridio::ThrowAgreed(MissingData(*this, source, index, "MPISynchroniseStackCopy"), true);
    const int levels = index >= 1 ? EntryLevels(*this, index) : source->levels();
    if (rank != 0) {
        mpirows::TransferStack(*this, *source, levels, Direction::Gather, DataName(*this, index), true);
        return Stack();
    }
    Stack copy = matrix3d(1, nrows, 1, ncols, source->levels(), nrows);
    const int per = source->levels() + 1;
    for (int r = 1; r <= nrows; ++r) {
        const bool own = mpiRegions->holds(r) && source->holds(r);
        for (int c = 1; c <= ncols; ++c) {
            double* to = copy[r][c];
            if (own && (*mpiRegions)[r][c] == 0) {
                const double* from = (*source)[r][c];
                for (int l = 0; l < per; ++l) to[l] = from[l];
            } else {
                for (int l = 0; l < per; ++l) to[l] = nodata;
            }
        }
    }
    mpirows::TransferStack(*this, copy, levels, Direction::Gather, DataName(*this, index), true);
    return copy;
}

namespace {

// Halo runs must lie in rows the data holds and name another existing process; a broken
// list is reported instead of writing outside the rows. The data's name (of grid-store entry
// index) is looked up only for the report: the solvers start exchanges in their iterations.
template <class Cells>
void CheckHalo(const modelobject& o, const Cells& cells, const std::vector<HaloRecord>* list, const char* which,
               int index) {
    if (!list) return;
    for (const HaloRecord& h : *list) {
        const bool ok = cells.holds(h.row) && h.firstCol >= 1 && h.count >= 1 && h.firstCol <= o.ncols &&
                        h.count <= o.ncols - h.firstCol + 1 && h.rank >= 0 && h.rank < o.size && h.rank != o.rank &&
                        static_cast<long long>(h.count) * cells.perCell() <= INT_MAX;
        if (ok) continue;
        *o.log << "FATAL: MPI-Regions: halo record (row " << h.row << ", column " << h.firstCol << ", count " << h.count
               << ", rank " << h.rank << ") of the " << which << " list does not fit " << DataName(o, index)
               << " on mpi-rank " << o.rank << "[end-entry]";
        throw ModelError(120);
    }
}

// Starts the sends and receives of the halo runs of cells and adds their requests.
template <class Cells>
void StartHalo(const modelobject& o, const Cells& cells, bool rowTags, std::vector<MPI_Request>& requests,
               std::vector<MPI_Request>* early = nullptr) {
    if (o.sendHalo) {
        const std::vector<HaloRecord>& sends = *o.sendHalo;
        for (std::size_t i = 0; i < sends.size(); ++i) {
            const HaloRecord& h = sends[i];
            // A send posted early (its row already final) takes its place in the list.
            if (early != nullptr && i < early->size() && (*early)[i] != MPI_REQUEST_NULL) {
                requests.push_back((*early)[i]);
                (*early)[i] = MPI_REQUEST_NULL;
                continue;
            }
            requests.emplace_back();
            MPI_Isend(cells.at(h.row, h.firstCol), h.count * cells.perCell(), MPI_DOUBLE, h.rank, rowTags ? h.row : 0,
                      MPI_COMM_WORLD, &requests.back());
        }
    }
    if (o.recvHalo) {
        for (const HaloRecord& h : *o.recvHalo) {
            requests.emplace_back();
            MPI_Irecv(cells.at(h.row, h.firstCol), h.count * cells.perCell(), MPI_DOUBLE, h.rank, rowTags ? h.row : 0,
                      MPI_COMM_WORLD, &requests.back());
        }
    }
}

void WaitHalo(std::vector<MPI_Request>& requests, bool yielding) {
    if (requests.empty()) return;
    if (yielding)
        mpirows::WaitYielding(static_cast<int>(requests.size()), requests.data());
    else
        MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
}

template <class Cells>
void ExchangeHalo(const modelobject& o, const Cells& cells, bool rowTags, bool yielding = false) {
    std::vector<MPI_Request> requests;
    StartHalo(o, cells, rowTags, requests);
    WaitHalo(requests, yielding);
}

}  // namespace

namespace {

mpirows::GridCells CheckedHaloGrid(const modelobject& o, int index, Matrix* grid, const char* caller) {
    Matrix* g = EntryGrid(o, index, grid);
    if (!g) {
        MissingData(o, g, index, caller);
        throw ModelError(12);
    }
    const mpirows::GridCells cells{g};
    CheckHalo(o, cells, o.sendHalo, "send", index);
    CheckHalo(o, cells, o.recvHalo, "receive", index);
    return cells;
}

}  // namespace

void modelobject::MPIExchangeHalo(int index, Matrix* grid) {
    if (index < 0 || size < 2) return;
    ExchangeHalo(*this, CheckedHaloGrid(*this, index, grid, "MPIExchangeHalo"), true);
}

namespace {

void StartHalos(modelobject& o, std::span<Matrix* const> grids, std::vector<MPI_Request>& requests) {
    for (Matrix* g : grids) StartHalo(o, CheckedHaloGrid(o, 0, g, "MPIExchangeHalos"), true, requests);
}

void ExchangeHalos(modelobject& o, std::span<Matrix* const> grids, bool yielding) {
    if (o.size < 2) return;
    std::vector<MPI_Request> requests;
    StartHalos(o, grids, requests);
    WaitHalo(requests, yielding);
}

void StartHaloStack(modelobject& o, int index, Stack* stack, std::vector<MPI_Request>& requests) {
    Stack* s = EntryStack(o, index, stack);
    if (!s) {
        MissingData(o, s, index, "MPIExchangeHaloStack");
        throw ModelError(12);
    }
    const int levels = index >= 1 ? EntryLevels(o, index) : s->levels();
    if (levels != s->levels()) {
        *o.log << "FATAL: MPI-Regions: level count " << levels << " does not match the " << s->levels()
               << " levels of stack " << DataName(o, index) << "[end-entry]";
        throw ModelError(1010);
    }
    const mpirows::StackCells cells{s, levels};
    CheckHalo(o, cells, o.sendHalo, "send", index);
    CheckHalo(o, cells, o.recvHalo, "receive", index);
    StartHalo(o, cells, false, requests);
}

void ExchangeHaloStack(modelobject& o, int index, Stack* stack, bool yielding) {
    if (o.size < 2) return;
    std::vector<MPI_Request> requests;
    StartHaloStack(o, index, stack, requests);
    WaitHalo(requests, yielding);
}

}  // namespace

void modelobject::MPIExchangeHalos(std::span<Matrix* const> grids) { ExchangeHalos(*this, grids, false); }

double modelobject::MPIExchangeHaloAndMax(int index, double value, Matrix* grid) {
    if (size < 2) return value;
    std::vector<MPI_Request> requests;
    if (index >= 0) StartHalo(*this, CheckedHaloGrid(*this, index, grid, "MPIExchangeHaloAndMax"), true, requests);
    double all = value;
    requests.emplace_back();
    MPI_Iallreduce(&value, &all, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD, &requests.back());
    MPI_Waitall(static_cast<int>(requests.size()), requests.data(), MPI_STATUSES_IGNORE);
    return all;
}

namespace mpirows {

void RowHaloExchange::SendEarly(modelobject& o, int index, int lastFinal) {
    if (o.size < 2 || o.sendHalo == nullptr) return;
    const GridCells cells = CheckedHaloGrid(o, index, nullptr, "RowHaloExchange");
    const std::vector<HaloRecord>& sends = *o.sendHalo;
    early_.resize(sends.size(), MPI_REQUEST_NULL);
    for (std::size_t i = 0; i < sends.size(); ++i) {
        const HaloRecord& h = sends[i];
        if (h.row > lastFinal || early_[i] != MPI_REQUEST_NULL) continue;
        MPI_Isend(cells.at(h.row, h.firstCol), h.count * cells.perCell(), MPI_DOUBLE, h.rank, h.row, MPI_COMM_WORLD,
                  &early_[i]);
        anyEarly_ = true;
    }
}

void RowHaloExchange::Start(modelobject& o, int index) {
    requests_.clear();
    rows_.clear();
    receives_.clear();
    if (o.size < 2) return;
    StartHalo(o, CheckedHaloGrid(o, index, nullptr, "RowHaloExchange"), true, requests_, anyEarly_ ? &early_ : nullptr);
    anyEarly_ = false;
    // StartHalo posts the sends, then the receives, each in list order.
    for (const std::vector<HaloRecord>* list : {o.sendHalo, o.recvHalo})
        if (list != nullptr)
            for (const HaloRecord& h : *list) {
                rows_.push_back(h.row);
                receives_.push_back(list == o.recvHalo ? 1 : 0);
            }
}

void WaitYielding(int count, MPI_Request* requests) {
    for (;;) {
        int done = 0;
        MPI_Testall(count, requests, &done, MPI_STATUSES_IGNORE);
        if (done != 0) return;
        sched_yield();
    }
}

void RowHaloExchange::WaitRows(int lastRead, int lastWritten) {
    for (std::size_t i = 0; i < requests_.size(); ++i)
        if (requests_[i] != MPI_REQUEST_NULL && rows_[i] <= (receives_[i] != 0 ? lastRead : lastWritten)) {
            if (yielding_)
                WaitYielding(1, &requests_[i]);
            else
                MPI_Wait(&requests_[i], MPI_STATUS_IGNORE);
        }
}

void RowHaloExchange::WaitAll() {
    if (!requests_.empty()) {
        if (yielding_)
            WaitYielding(static_cast<int>(requests_.size()), requests_.data());
        else
            MPI_Waitall(static_cast<int>(requests_.size()), requests_.data(), MPI_STATUSES_IGNORE);
    }
    requests_.clear();
}

}  // namespace mpirows

void modelobject::MPIExchangeHaloStack(int index, Stack* stack) { ExchangeHaloStack(*this, index, stack, false); }

namespace mpirows {

HaloExchange::~HaloExchange() {
    if (!requests_.empty()) MPI_Waitall(static_cast<int>(requests_.size()), requests_.data(), MPI_STATUSES_IGNORE);
}

void HaloExchange::StartGrids(modelobject& o, std::span<Matrix* const> grids) {
    if (o.size < 2) return;
    StartHalos(o, grids, requests_);
}

void HaloExchange::StartStack(modelobject& o, int index) {
    if (o.size < 2) return;
    StartHaloStack(o, index, nullptr, requests_);
}

bool HaloExchange::Arrived() {
    if (requests_.empty()) return true;
    int done = 0;
    MPI_Testall(static_cast<int>(requests_.size()), requests_.data(), &done, MPI_STATUSES_IGNORE);
    if (done != 0) requests_.clear();
    return done != 0;
}

void HaloExchange::Wait() {
    if (requests_.empty()) return;
    WaitYielding(static_cast<int>(requests_.size()), requests_.data());
    requests_.clear();
}

}  // namespace mpirows
