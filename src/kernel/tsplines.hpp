#pragma once
// Cubic splines from a regular, possibly rotated grid of source points (for example the cells of
// a coarser gridded data set) onto the model cells: natural splines along every source column
// give values on the rows of a fine raster, natural splines along those raster rows give the
// raster cells, and every model cell takes the value of the raster cell that holds its centre.
// Source points without data split a column or row into runs, each splined by itself.
//
// The geometry (raster, window of raster cells that hold model cells, marker raster) is fixed
// at construction; each time step only recomputes second derivatives and evaluations.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kernel/matrix.hpp"

class DiagLog;

// What a TSplines object is built from. Matrices are 1-based; the object copies the source
// coordinates and keeps pointers to the model coordinate grids and the mask.
struct SplineSetup {
    // Source points: source row 1 is the northern row. A coordinate not above the nodata value
    // stands for "unknown" and is replaced by the rotated reference point plus a multiple of the
    // spacing.
    int sourceRows = 0, sourceCols = 0;
    const Matrix* sourceX = nullptr;
    const Matrix* sourceY = nullptr;
    double dx = 0, dy = 0;
    // Model cells: centre coordinates ("CoordX", "CoordY") and an optional mask; only the rows
    // the grids hold are used.
    int modelRows = 0, modelCols = 0;
    const Matrix* coordX = nullptr;
    const Matrix* coordY = nullptr;
    const Matrix* mask = nullptr;
    double nodata = -9999.0;  // of the source values
    double fill = -9999.0;    // written where nothing can be interpolated
    double cellsize = 0;      // the raster cell size is cellsize / refinement
    int refinement = 1;
    bool extend = false;  // every run gets one extra point repeating its last value
    double centreX = 0, centreY = 0, angle = 0;  // rotation of the reference point (radians)
    double referenceX = 0, referenceY = 0;       // origin of source points without coordinates
    DiagLog* log = nullptr;                      // receives allocation failures
};

class TSplines : public memory_handling {
public:
    explicit TSplines(const SplineSetup& setup);
    TSplines(const TSplines&) = delete;
    TSplines& operator=(const TSplines&) = delete;

    // Rotates (x, y) about the rotation centre by -angle.
    virtual void RotatePoint(double x, double y, double* xOut, double* yOut, double angle) const;
    // Second derivatives y2[lo..hi] of the cubic spline through (x[i], y[i]); a slope above
    // 9.9e29 gives a natural end. Equal neighbouring abscissae: message and error 82.
    virtual void SecondDerivatives(std::span<const double> x, std::span<const double> y, int lo, int hi,
                                   std::span<double> y2, double slopeFirst, double slopeLast);
    // Spline value at x over the points 1..last; index last + 1 holds the point after the run
    // (the extension point, or an invalid marker). Values below nodata + 0.01 are invalid; an
    // interval with an invalid end, or x outside the points, gives the fill value (with the
    // extension flag an invalid upper end takes the lower end's values); x exactly on a valid
    // point gives its value. The lower and upper indices carry the interval from one call to
    // the next. Equal abscissae of a valid interval: message and error 82.
    virtual void Evaluate1D(double x, double nodata, double fill, std::span<const double> xa,
                            std::span<const double> ya, int* lower, int* upper, std::span<const double> y2a,
                            int last, double* result);
    // Per time step: second derivatives of every column run of the source values (rows
    // 1..sourceRows, columns 1..sourceCols; rows the matrix does not hold count as nodata).
    virtual void SetupColumns(const Matrix& values);
    // Per time step, after SetupColumns: splines onto the raster window and writes every cell
    // of the rows target holds (the fill value where nothing can be interpolated).
    virtual void InterpolateRaster(Matrix& target);
    virtual void ComputeWindow();
    virtual void WriteToGrid(Matrix& target) const;
    virtual void MarkModelCells();

    // Geometry, for callers and tests.
    int RasterRows() const { return rasterRows_; }
    int RasterCols() const { return rasterCols_; }
    double RasterCellsize() const { return rasterCell_; }
    double XMin() const { return xMin_; }
    double XMax() const { return xMax_; }
    double YMin() const { return yMin_; }
    double YMax() const { return yMax_; }
    int WindowFirstRow() const { return winRow1_; }
    int WindowLastRow() const { return winRow2_; }
    int WindowFirstCol() const { return winCol1_; }
    int WindowLastCol() const { return winCol2_; }
    double ReferenceX() const { return refX_; }
    double ReferenceY() const { return refY_; }
    bool Marked(int row, int col) const;
    // Raster value of the last interpolation (the fill value outside the window).
    double RasterValue(int row, int col) const;
    // Raster row and column of a point (may lie outside 1..rows, 1..cols).
    void RasterPosition(double x, double y, double* row, double* col) const;

protected:
    const std::string& MemoryOwnerName() const override;

private:
    // Work vectors for one run: indices 1..n, the extension point or the invalid marker at n + 1.
    struct Work {
        std::vector<double> x, y, y2, u;
        void Resize(std::size_t n);
    };
    struct EqualAbscissae {
        double xLower = 0, xUpper = 0;
        int lower = 0, upper = 0;
    };
    enum class Result { Value, Fill, Equal };

    static bool Spline(const double* x, const double* y, int lo, int hi, double* y2, double* u, double slopeFirst,
                       double slopeLast, EqualAbscissae* bad);
    Result Evaluate(double x, double nodata, double fill, const double* xa, const double* ya, const double* y2a,
                    std::size_t size, int last, int* lower, int* upper, double* result, EqualAbscissae* bad) const;
    [[noreturn]] static void ReportEqual(const EqualAbscissae& bad);

    bool ColumnToRaster(int c, EqualAbscissae* bad);
    bool RasterRow(int row, Work& w, EqualAbscissae* bad);
    double ColumnAbscissa(int c, int k) const { return colAbsY_[Slot(c, k)]; }
    std::size_t Slot(int c, int k) const { return static_cast<std::size_t>(c) * colStride_ + k; }
    std::size_t WinSlot(int row, int c) const {
        return static_cast<std::size_t>(row - winRow1_) * (sourceCols_ + 1) + c;
    }
    bool ValidCoordinate(const Matrix* m, int r, int c) const;
    template <class T> void Allocate(std::vector<T>& v, double count, T value, int number);

    // Inputs.
    int sourceRows_, sourceCols_;
    double dx_, dy_;
    int modelRows_, modelCols_;
    const Matrix* coordX_;
    const Matrix* coordY_;
    const Matrix* mask_;
    double nodata_, fill_;
    bool extend_;
    double centreX_, centreY_, angle_;
    double refX_, refY_;
    // Threshold of valid values and the value that marks invalid points in the work vectors.
    double validFrom_, invalid_;

    // Effective source coordinates, (row, column) at row * (sourceCols + 1) + column.
    std::vector<double> srcX_, srcY_;

    // Columns as splined onto the raster: for column c, points 1..sourceRows from south to north
    // (abscissa y, x of the point, value, second derivative) and the point after them.
    std::size_t colStride_ = 0;
    std::vector<double> colAbsY_, colAbsX_, colValue_, colY2_;
    // Second derivatives of the source points from the column set-up, (row, column) as srcX_.
    std::vector<double> srcY2_;

    double xMin_ = 0, xMax_ = 0, yMin_ = 0, yMax_ = 0;
    double rasterCell_ = 0;
    int rasterRows_ = 0, rasterCols_ = 0;
    int winRow1_ = 1, winRow2_ = 0, winCol1_ = 1, winCol2_ = 0;
    std::vector<std::uint16_t> marker_;  // (row, col) at row * (rasterCols + 1) + col

    // Over window rows x source columns: the column splines' values and the interpolated x of
    // each source column; and the raster window itself.
    std::vector<double> rowValue_, rowX_;
    std::vector<double> raster_;
    std::vector<Work> work_;
};
