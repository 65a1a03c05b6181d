#pragma once
// Dynamic glaciers over whole grids: the glacier records with their elevation bands, built
// from the glacier code and fraction grids, and the yearly balance that turns the mass balance
// of the year into a new volume and area (volume-area scaling) and then removes or adds
// glacierized cell fractions band by band, lowest band weighted most.
//
// Every operation covers all basin cells of rows 1..nrows of the grids it is given, so the
// result does not depend on how the rows are shared among processes. Bands hold cell
// positions, never addresses into grids, so grids refilled by gathers stay valid.
// Messages are handed to a callback; nothing here logs, allocates grids or talks to MPI.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kernel/matrix.hpp"
#include "surface/glacier_physics.hpp"

namespace glacier {

struct CellPos {
    int row = 0, col = 0;
};

// One elevation band of a glacier: its bounds and its cells with their not-changeable flags.
struct Band {
    double lower = 0, upper = 0, width = 0;
    std::vector<CellPos> cells;
    std::vector<int> fixed;  // 1: not changeable in the current direction

    std::int64_t count() const { return static_cast<std::int64_t>(cells.size()); }
    void Clear();
    // Marks the cells that cannot change in the direction of u and returns the others:
    // shrinking (u < 0) needs a fraction above 0, growing (u > 0) one below 1.
    std::int64_t Changeable(double u, const Matrix& fraction);
    // Spreads u per changeable cell over the band in at most five passes and returns the part
    // that could not be placed. A cell emptied by shrinking loses its code (-9999); a cell
    // filled by growth stops at 1. stuck is set when five passes leave a change.
    double Apply(double u, Matrix& fraction, Matrix& codes, bool& stuck) const;
};

// One glacier.
struct Glacier {
    int code = 0;
    double cellSize = 100.0;
    std::int64_t cells = 0;
    double area = 0, volume = 0, previousArea = 0, previousVolume = 0;
    Scaling scaling;
    double lowest = 10000.0, highest = -10000.0;
    int numBands = 1;
    double toChange = 0, remainder = 0;
    double sum1 = 0, sum2 = 0, sum3 = 0, mean = 0;
    int extraWeight = 0;
    int subbasin = 0;
    std::vector<Band> bands;

    // Count of one cell: area grows by cellArea (m2) x fraction; the first cell sets the
    // elevation range, later ones widen it when track is set.
    void AddCell(bool track, double cellArea, double z, double fraction);
    // count, area and elevation range back to their start.
    void ResetCount();
    void BuildBands();
    void ClearBands();
    void AddToBand(CellPos p, double z);
    // Weighted number of band applications per unit change of the current direction.
    double Applications(double u, const Matrix& fraction);
    // One pass over the bands: band i applied (n - i) times, band 0 extraWeight x n more.
    // Returns the sum of the remainders; stuckCount, when given, counts the applications that
    // ended their five passes with a change left.
    double ApplyAll(double u, Matrix& fraction, Matrix& codes, bool& stuck, int* stuckCount = nullptr) const;
};

// The grids the glacier records are built from and change (whole grids, 1-based).
struct GlacierGrids {
    const Matrix* zone = nullptr;
    const Matrix* elevation = nullptr;
    Matrix* fraction = nullptr;  // "GlacierizedCells"
    Matrix* codes = nullptr;     // "GlacierCodes"
    const Matrix* fractionOld = nullptr;
    const Matrix* codesOld = nullptr;
    Matrix* massBalance = nullptr;
    const Matrix* oldMassBalance = nullptr;
    Matrix* firn = nullptr;       // level 0 of the firn stack
    Stack* firnStack = nullptr;   // may be null
    int firnLevels = 1;
    int nrows = 0, ncols = 0;
    double nodata = -9999.0;
    double cellSize = 100.0;
};

// A glacier whose cells lie in two subbasins.
struct SubbasinConflict {
    bool found = false;
    int code = 0, firstSubbasin = 0, row = 0, col = 0, zone = 0;
};

class GlacierList {
public:
    using Note = std::function<void(const std::string&)>;

    Scaling scaling;
    int numBands = 1;
    int extraWeight = 0;
    double conversion = 0.85;  // mass balance to ice volume

    std::vector<Glacier> glaciers;
    std::map<int, std::size_t> position;

    // Builds the records from the glacier cells in row-major order (their counted area and
    // elevation range, previous volume from the balance grids); stops at a subbasin conflict.
    SubbasinConflict Build(const GlacierGrids& g);
    // Start values from the counted areas, the bands and their cells.
    void Start(const GlacierGrids& g);
    // Recount of one glacier (code >= 0) or all.
    void Collect(const GlacierGrids& g, int code, bool track);
    // Refill of the bands of one glacier (code >= 0) or all: the edge and partly covered cells
    // without firn.
    void FillBands(const GlacierGrids& g, int code);
    // Candidate ice-free cells next to the glacier, in up to four passes; returns the number.
    int Grow(GlacierGrids& g, int code);
    // The yearly balance; messages go to note. Returns the number of band applications that
    // could not place their change (the caller writes the standard-error line for each).
    int Balance(GlacierGrids& g, const Note& note);
    // Spreads the balance of the area each glacier lost over the cells it still covers.
    void SpreadLostBalance(GlacierGrids& g, int code);

    Glacier* Find(int code);

private:
    bool IsBasin(const GlacierGrids& g, int r, int c) const;
    bool Neighbour(const GlacierGrids& g, int r, int c, int dir, int& nr, int& nc) const;
    int GrowPass(GlacierGrids& g, Glacier& gl, bool keepFirn, bool widened);
    // Count, area and elevation range of one glacier from the grids (the range tracked only
    // when its cells are found no other way).
    void Recount(const GlacierGrids& g, Glacier& gl);
};

}  // namespace glacier
