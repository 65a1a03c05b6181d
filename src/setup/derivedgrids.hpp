#pragma once
// Computations behind the grids that the set-up derives from the zone grid and the elevation
// model: cell sizes and relative cell area, cell coordinates, slope and aspect.
#include <string>
#include <vector>

#include "kernel/decomposition.hpp"
#include "kernel/matrix.hpp"

// File name of a derived grid: the base name up to its last '.', then the suffix (".$csx"...).
std::string DerivedFileName(const std::string& base, const std::string& suffix);

// Sets a cell to the mean of its valid neighbours (up to eight, inside the grid); unchanged
// when none is valid.
void FillFromNeighbours(Matrix& grid, int row, int col, int nrows, int ncols, double nodata);

// Which of the three cell-size grids the control file gave (the others are derived here).
struct CellSizeSources {
    bool xGiven = false;
    bool yGiven = false;
    bool areaGiven = false;
    // The relative area is not known either: every valid cell counts as one (set here).
    bool unitArea = false;
};

// Outcome of the cell-size check: 0 fine, else the failing cell and kind (1 zero Y, 2 zero X,
// 3 mismatch of X * Y and the relative area).
struct CellSizeProblem {
    int kind = 0;
    int row = 0;
    int col = 0;
    double x = 0, y = 0, area = 0;
};

// Derives the missing cell-size grids over rows lo..hi; stops at the first failing cell.
CellSizeProblem DeriveCellSizes(const Matrix& zone, Matrix& sizeX, Matrix& sizeY, Matrix& relArea, int lo, int hi,
                                int ncols, double cellsize, double nodata, const CellSizeSources& src);

// Coordinates of the lower-left corners over the own rows lo..hi, accumulated from the cell
// sizes when accumulate is true, in two parts: the coordinates before masking
// (AccumulateCoordinates), then nodata where the zone is nodata (MaskCoordinates). Given the zone, AccumulateCoordinates masks the
// rows lo..hi itself, each once the row above has taken its y coordinates, except the rows
// flagged in unmasked (indexed by row), which are left to the caller.
void AccumulateCoordinates(const Matrix* sizeX, const Matrix* sizeY, Matrix& coordX, Matrix& coordY, int lo, int hi,
                           int nrows, int ncols, double xll, double yll, double cellsize, double nodata,
                           const std::vector<ColumnRange>* columns, bool accumulate, const Matrix* zone = nullptr,
                           const std::vector<char>* unmasked = nullptr);
void MaskCoordinates(const Matrix& zone, Matrix& coordX, Matrix& coordY, int lo, int hi, int ncols, double nodata);

// Coordinates before masking over rows lo..below-1, from row below, which holds its values
// before masking: the y coordinates accumulate from the row below up, so a process that has
// that one row of the whole-grid result derives the rows above it exactly. Given the zone, the
// rows lo..below leave masked (those flagged in unmasked excepted).
void CoordinatesAboveRow(const Matrix* sizeX, const Matrix* sizeY, Matrix& coordX, Matrix& coordY, int lo, int below,
                         int nrows, int ncols, double xll, double yll, double cellsize, double nodata,
                         bool accumulate, const Matrix* zone = nullptr, const std::vector<char>* unmasked = nullptr);

// Slope (degrees) and aspect (degrees from north, clockwise) of the whole grid from the four
// neighbours, with gaps filled from neighbours in row order. A null output is not computed.
void ComputeSlopeAspect(const Matrix& elevation, Matrix* slope, Matrix* aspect, int nrows, int ncols,
                        double cellsize, double nodata);

// The same in parts, for rows computed apart. SlopeAspectRow: the slope and aspect of one row
// (columns 1..ncols; a null output is not computed) from the elevation rows above, at and below
// it, before any gap is filled; returns the count of columns it notes in columns (room for
// ncols), in order: those that may hold a gap. FillSlopeAspectGaps: the first and last row set
// to nodata, then the gaps of the whole grids filled in row order, rows 2..nrows-1 at their
// noted columns (noted holds, for each of these rows in turn, the count and then the columns).
int SlopeAspectRow(const double* above, const double* here, const double* below, double* slope, double* aspect,
                   int ncols, double cellsize, double nodata, int* columns);
void FillSlopeAspectGaps(const Matrix& elevation, Matrix* slope, Matrix* aspect, int nrows, int ncols, double nodata,
                         const std::vector<int>& noted);
