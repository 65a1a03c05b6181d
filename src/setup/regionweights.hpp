#pragma once
// Regression regions of the meteorological interpolation: ranking of the region codes and the
// weight grids that give every cell up to three regions, blended across region borders within
// the transition distance.
#include <cstdint>
#include <string>
#include <vector>

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

// Ranks the region codes of region (all rows, process 0) at the valid cells of zone, then
// broadcasts the tables. Collective.
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

// Fills the weight grids of every process: all rows on process 0, the held rows elsewhere, each
// cell as a single process computes it. Each process computes its own rows (process 0 also the
// rows nobody else holds) from process 0's region grid, which is set to nodata where the zone
// is nodata, and process 0 receives the others. transitionDistance in map units; columns are
// the per-row column ranges of the valid zone cells (process 0's count). Collective.
void ComputeRegionWeights(modelobject& obj, const Matrix& zone, const std::vector<ColumnRange>& columns,
                          double transitionDistance, int regionCount, RegionWeightGrids& grids);

// The weights of rows lo..hi from a region grid holding nodata where the zone is nodata and
// every row within the transition distance (D cells) of those rows; zone and the weight grids
// hold rows lo..hi. Cells outside the column ranges are left as they are.
void RegionWeightRows(const Matrix& regions, const Matrix& zone, const std::vector<ColumnRange>& columns, int lo,
                      int hi, int nrows, int ncols, double D, int regionCount, double nodata,
                      RegionWeightGrids& grids);
