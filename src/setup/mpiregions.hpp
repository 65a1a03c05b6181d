#pragma once
// Division of the grid among the MPI processes: every valid zone cell gets one owner, in
// row-major order with the highest process first, with shares that follow the measured speed
// of each process. Produces the owner grid "MPIRegions", the strip table "MPIHelper", the halo
// grid "MPIHalo", each process's row range, the cells per process and the halo run lists.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kernel/decomposition.hpp"
#include "kernel/matrix.hpp"

class modelobject;

// Weight of each process: 1/value for a positive value, else 1; normalised to sum 1.
std::vector<double> PerformanceWeights(const std::vector<double>& speedValues);

// Cells of each process: floor(n * weight + 0.4999), the last process corrected so that the
// shares add up to n. A share below one cell is raised to one, taken from the largest share,
// so that no process is left without cells. Requires n >= number of processes.
std::vector<std::int64_t> CellShares(std::int64_t validCells, const std::vector<double>& weights);

// The three decomposition grids of one process, over its stored rows.
struct DecompositionGrids {
    Matrix regions;  // owner of every valid cell, nodata elsewhere
    Matrix helper;   // strip table
    Matrix halo;     // owner of neighbouring foreign cells, nodata elsewhere
};

struct DecompositionResult {
    int ownFirstRow = 1;
    int ownLastRow = 1;
    std::vector<std::int64_t> cellsPerProcess;
    std::vector<HaloRecord> sendHalo;
    std::vector<HaloRecord> recvHalo;
};

// Called on every process once its three grids are allocated over rows lo..hi (process 0's
// halo grid may hold only its own rows and the rows next to them), so that the caller can
// register them in the grid store ("MPIRegions", "MPIHelper", "MPIHalo").
using RegisterDecompositionGrids = std::function<void(DecompositionGrids&, int lo, int hi)>;

// Assigns owners row-major, the highest process first (nodata on the cells that are not
// valid); fills first/last rows per process.
// Exposed for tests; the zone grid and regions span all rows.
void AssignOwners(const Matrix& zone, Matrix& regions, int nrows, int ncols, double nodata,
                  std::vector<std::int64_t> shares, std::vector<int>& firstRows, std::vector<int>& lastRows);

// Process 0's strip-table row: slot 0 the leading nodata cells, then (owner, length) pairs of
// runs up to the last valid cell (nodata between valid cells is a run of its own). Returns false when the row has more runs than fit into its ncols slots with room left
// for the pair that ends the list (k runs need ncols >= 2k + 2), as the row transfers read it.
// A row that holds zeros already (a fresh grid) keeps them after the pairs instead of getting
// them again.
bool BuildHelperRowAll(const double* regionsRow, double* helperRow, int ncols, double nodata, bool zeroed = false);
// Another process's strip-table row: (first column, length) of each run it owns.
bool BuildHelperRowOwn(const double* regionsRow, double* helperRow, int ncols, int rank);

// Runs of halo cells of one owner in the rows lo..hi of the halo grid.
// The largest number of equally fast processes, up to upTo, among which the zone grid can be
// divided with every row's strips fitting into its row of "MPIHelper" (1 when none above 1 does).
int MaxProcessesForGrid(memory_handling& mh, const Matrix& zone, int nrows, int ncols, double nodata, int upTo);

std::vector<HaloRecord> ReceiveHaloRuns(const Matrix& halo, int lo, int hi, int ncols);

// The first column from c on (end + 1 when none up to end) whose value is not v: a NaN never
// equals v. Four cells at a time where the processor has AVX2 (only comparisons: the same column).
int EqualRunEnd(const double* row, int c, int end, double v);

// The whole decomposition, collective over all processes. zone holds all rows on process 0
// (unused elsewhere). Logs the "MPI ..." lines, writes "halo<rank>.txt" and ends with a barrier.
void CreateMPIRegions(modelobject& obj, const Matrix* zone, DecompositionGrids& grids, DecompositionResult& result,
                      const RegisterDecompositionGrids& registerGrids);

// Speed value of this process: the first number of "MpiSpeedFactor.dat", or the time of the
// benchmark loop when the file is missing or does not start with a number.
double ProcessSpeedValue(modelobject& obj);

// The speed file of a process: its first token, when it is a finite number, is the
// process's relative cost (into *value).
enum class SpeedFactorFile { Missing, Unusable, Read };
SpeedFactorFile ReadSpeedFactorFile(const std::string& name, double* value);
// The parallel loop body of the benchmark over three n x n matrices.
void SpeedBenchmarkLoop(Matrix& a, Matrix& b, Matrix& c, int rows, int cols);
