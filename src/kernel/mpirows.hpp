#pragma once
// Strip transfers between process 0 and the owners of grid rows, shared by the public
// scatter and gather operations of modelobject and by the grid and stack readers.
#include <mpi.h>

#include <memory>

#include <span>
#include <string>
#include <vector>

#include "kernel/modelobject.hpp"

namespace mpirows {

enum class Direction { Scatter, Gather };

// Moves the owners' strips of a grid between process 0 and the owners. The caller has made
// sure that there are several processes and that the decomposition grids are linked. All
// processes check the strip table first and fail alike when it is broken (error 120).
void TransferGrid(modelobject& o, Matrix& grid, Direction direction, const std::string& name);
// TransferGrid's gather in three steps, so that its agreement travels in the caller's own
// all-reduce (MPI_MIN over long long): the constructor plans and checks this process's strips
// (logging nothing yet; plan false: no strips and grid may be null, as where the caller has found an error of its
// own), PutAgreement fills AgreementSize() values of the caller's buffer, Agree reads the reduced
// values and fails as TransferGrid does (the same entries, error 120 on every process), Move
// moves the strips.
class GridGather {
public:
    GridGather(modelobject& o, Matrix* grid, std::string name, bool plan);
    ~GridGather();
    GridGather(const GridGather&) = delete;
    GridGather& operator=(const GridGather&) = delete;
    std::size_t AgreementSize() const;
    void PutAgreement(long long* local) const;
    void Agree(const long long* all);
    void Move();

private:
    modelobject& o_;
    Matrix* grid_;
    std::string name_;
    struct Strips;
    std::unique_ptr<Strips> strips_;
    int error_ = 0;
};
// The same for a stack of the given levels (which must be the stack's own); parenthesised
// selects the "(in row N)" form of the too-many-strips message.
void TransferStack(modelobject& o, Stack& stack, int levels, Direction direction, const std::string& name,
                   bool parenthesised);

// A strip of a row: columns col .. col + len - 1, all owned by owner.
struct OwnedStrip {
    int row, col, len, owner;
};
// Every strip of process 0's strip table, in row and column order, on every process
// (collective). A broken table ends every process alike (error 120).
std::vector<OwnedStrip> AllStrips(modelobject& o);
// The strips of the cells this process owns, from its own rows of the strip table (not
// collective); returns an error code (0: none, 120: a broken table, logged).
int OwnStrips(modelobject& o, std::vector<OwnedStrip>* strips);

// Lists of values of any length (collective): every process's list, one after the other in
// process order, on process 0 (empty elsewhere), with the length of each list in counts there
// when asked; and each process's own list of perProcess (which process 0 alone fills, one list
// per process) from process 0.
std::vector<double> GatherLists(const std::vector<double>& mine, std::vector<int>* counts = nullptr);
std::vector<double> ScatterLists(const std::vector<std::vector<double>>& perProcess);

// Columns 1..ncols of the rows first..last of grid, where they lie, as one committed type
// (for one message over several rows); the caller frees it.
MPI_Datatype RowsType(const Matrix& grid, int first, int last, int ncols);
// Whole copies on process 0 of several grids (own rows elsewhere), as modelobject::MPIGatherGridCopy
// makes each of them, moved in one transfer (collective; empty matrices on the other processes).
// The caller has made sure that there are several processes and the decomposition grids are linked.
std::vector<Matrix> GatherGridCopies(modelobject& o, const std::vector<const Matrix*>& grids, const std::string& name);
// The same copies, made by process 0 itself from the grids it holds whole (the owners hold the
// same values in their cells): the value of every cell a process owns, nodata elsewhere. Only
// the grids process 0 does not hold whole are gathered (collective).
std::vector<Matrix> WholeGridCopies(modelobject& o, const std::vector<const Matrix*>& grids, const std::string& name);

// True when strips can move: several processes and both decomposition grids linked.
bool Distributed(modelobject& o);

// Waits for count requests as MPI_Waitall does, but gives the processor away between looks
// (MPI_Testall, then sched_yield): where processes outnumber the free cores, the process waited
// for gets to run sooner than behind a spinning wait.
void WaitYielding(int count, MPI_Request* requests);

// The same exchanges started now and completed later, so that a pass can compute the cells that
// do not read the halo rows while the messages travel. The grids and stacks the exchange moves
// must not be written before Wait: their own rows are being sent, their halo rows received.
// Wait waits as WaitYielding does; an exchange still open at destruction is completed then.
class HaloExchange {
public:
    HaloExchange() = default;
    HaloExchange(const HaloExchange&) = delete;
    HaloExchange& operator=(const HaloExchange&) = delete;
    ~HaloExchange();
    void StartGrids(modelobject& o, std::span<Matrix* const> grids);
    // The stack of a grid-store entry (its levels as registered).
    void StartStack(modelobject& o, int index);
    // Whether every message is in (complete), without waiting: a pass can compute other cells
    // until it is; also lets the messages move on, which they do only while the process is in MPI.
    bool Arrived();
    void Wait();

private:
    std::vector<MPI_Request> requests_;
};

// A halo exchange of a grid entry under way (message tag = row, as MPIExchangeHalo), completed in
// parts: a pass going down the own rows needs the halo rows above its first rows at its start,
// those below its last rows only before its last rows. With one process nothing is exchanged.
class RowHaloExchange {
public:
    // Starts the exchange; the one before must be complete. Sends posted by SendEarly since the
    // start before belong to this exchange.
    void Start(modelobject& o, int index);
    // Posts the sends of the next exchange from own rows up to lastFinal now, while the one under
    // way may still be open: the caller changes these rows no more before that exchange starts,
    // so they carry what Start would send, and the neighbours can take them sooner.
    void SendEarly(modelobject& o, int index, int lastFinal);
    // Completes the receives into rows up to lastRead and the sends from rows up to lastWritten.
    void WaitRows(int lastRead, int lastWritten);
    void WaitAll();
    // From now on WaitRows and WaitAll wait as WaitYielding does.
    void YieldWhileWaiting() { yielding_ = true; }

private:
    bool yielding_ = false;
    std::vector<MPI_Request> requests_;
    std::vector<int> rows_;
    std::vector<char> receives_;
    // The sends of the next exchange posted early: their request per send record (null: not yet).
    std::vector<MPI_Request> early_;
    bool anyEarly_ = false;
};

}  // namespace mpirows
