#pragma once
// Regression regions of the meteorological interpolation: ranking of the region codes and the
// weight grids that give every cell up to three regions, blended across region borders within
// the transition distance.
#include <cstdint>
#include <string>
#include <vector>
#include <mpi.h>

#include "kernel/decomposition.hpp"
#include "kernel/matrix.hpp"

class modelobject;

struct RegionRecord {
    std::int32_t centreRow = 0;
    std::int32_t centreCol = 0;
    double meanRow = 0;
    double meanCol = 0;
    double cellCount = 0;
};

struct RegionTables {
    static constexpr int kMaxRegions = 30;
    int regionCount = 0;
    int maxCode = 0;
    std::vector<std::int32_t> codeToRegion;  // codes 0..32767
    std::vector<RegionRecord> records;       // 1..regionCount (0 unused)
    std::vector<std::int32_t> codes;         // code of each region, 1..regionCount
};

// Ranks the region codes of region at the valid cells of zone as one row-order scan of the
// whole grid does: every process scans its own cells (zone unused) when the decomposition is
// linked, else process 0 scans all rows and broadcasts the tables. Collective.
void RankRegions(modelobject& obj, const Matrix* zone, const Matrix* region, const std::string& regionFile,
                 RegionTables& tables);

// The region and weight grids of a process. Grids for the second and third region
// are null when fewer regions exist.
struct RegionWeightGrids {
    Matrix* regions = nullptr;
    Matrix* weights1 = nullptr;
    Matrix* regions2 = nullptr;
    Matrix* weights2 = nullptr;
    Matrix* regions3 = nullptr;
    Matrix* weights3 = nullptr;
};

// The region rows the neighbourhoods of a process's cells reach (within the transition
// distance of the weight rows it computes), on their way from the owners of their cells.
struct RegionWindow {
    RegionWindow() = default;
    RegionWindow(RegionWindow&&) = default;
    RegionWindow& operator=(RegionWindow&&) = delete;  // the pending transfers name this window's rows
    ~RegionWindow();  // completes what is still under way
    double D = 0;     // the transition distance in cells
    int reach = 0;    // rows a neighbourhood reaches either side
    Matrix rows;      // the window
    std::vector<ColumnRange> columns;  // process 0's column ranges of every row
    // Per process: first and last weight row it computes, first and last own place, a flag.
    std::vector<std::int64_t> processes;
    std::vector<MPI_Request> requests;
    std::vector<MPI_Datatype> types;

    int First(int p) const { return static_cast<int>(processes[static_cast<std::size_t>(5 * p)]); }
    int Last(int p) const { return static_cast<int>(processes[static_cast<std::size_t>(5 * p + 1)]); }
    std::int64_t FirstPlace(int p) const { return processes[static_cast<std::size_t>(5 * p + 2)]; }
    std::int64_t LastPlace(int p) const { return processes[static_cast<std::size_t>(5 * p + 3)]; }
    int Top(int p) const { return First(p) - reach < 1 ? 1 : First(p) - reach; }
    int Bottom(int p, int nrows) const { return Last(p) + reach > nrows ? nrows : Last(p) + reach; }
};

// Sets process 0's region grid to nodata where the zone is nodata (in the rows it holds) and
// starts the transfer of each process's window: its own cells from its region grid (regions,
// valid at its own cells), the others' cells from their owners. transitionDistance in map units;
// columns are the per-row column ranges of the valid zone cells (process 0's count). Collective.
RegionWindow StartRegionWindow(modelobject& obj, const Matrix& zone, const std::vector<ColumnRange>& columns,
                               double transitionDistance, Matrix& regions);

// Completes the transfers of the window (collective in effect: a message of rows of several
// pieces moves only while its sender is inside MPI, so each process waits here for its own
// window and hands over its cells to the others' before it goes on to work of its own).
void CompleteRegionWindow(RegionWindow& window);

// Fills the weight grids of every process: all rows on process 0, the held rows elsewhere, each
// cell as a single process computes it. Each process computes the rows it holds (process 0 its
// own rows) from its window and process 0 receives the others. With one process the whole grid
// from the region grid itself. Collective.
void ComputeRegionWeights(modelobject& obj, RegionWindow& window, const Matrix& zone, int regionCount,
                          RegionWeightGrids& grids);

// The weights of rows lo..hi from a region grid holding nodata where the zone is nodata and
// every row within the transition distance (D cells) of those rows; zone and the weight grids
// hold rows lo..hi. Cells outside the column ranges are left as they are.
void RegionWeightRows(const Matrix& regions, const Matrix& zone, const std::vector<ColumnRange>& columns, int lo,
                      int hi, int nrows, int ncols, double D, int regionCount, double nodata,
                      RegionWeightGrids& grids);
