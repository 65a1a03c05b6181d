#pragma once
// Flow directions of overland flow: slope and aspect of a cell from its 3 x 3 neighbourhood,
// the shares of its outflow towards the eight neighbours and the plan curvature of the terrain.
// Pure functions: plain numbers in, numbers out.
//
// Directions are numbered clockwise from the previous row: 1 = (r-1, c), 2 = (r-1, c+1),
// 3 = (r, c+1), 4 = (r+1, c+1), 5 = (r+1, c), 6 = (r+1, c-1), 7 = (r, c-1), 8 = (r-1, c-1).
// Arrays indexed by direction have 9 entries; entry 0 is the cell itself (or unused).

#include <array>
#include <cmath>
#include <cstring>

namespace surfrout {

constexpr int kRowStep[9] = {0, -1, -1, 0, 1, 1, 1, 0, -1};
constexpr int kColStep[9] = {0, 0, 1, 1, 1, 0, -1, -1, -1};

// Diagonal length factor of the slope search, and of the weights and velocities.
constexpr double kDiagonalSearch = 1.414;
constexpr double kDiagonal = 1.4142135;
constexpr double kDegreesPerRadian = 57.29577951307855;
constexpr double kRadiansPerDegree = 0.017453;

inline bool IsDiagonal(int d) { return d % 2 == 0; }
// The direction opposite d (d + 4, cyclic in 1..8).
inline int Opposite(int d) { return (d + 3) % 8 + 1; }

// Methods that send a cell's water along one direction only.
inline bool SingleDirection(int method) { return method == 2 || method == 4 || method == 5; }

// Cell types.
enum CellType { kNoType = 0, kRiverCell = 1, kInteriorCell = 2, kBorderCell = 3 };

// What a cell knows of its neighbourhood in one sub step.
struct Neighbourhood {
    double level[9];  // water level used for directions (cell at 0)
    double bare[9];   // terrain height z
    bool exists[9];   // inside the grid and not nodata in the zone grid
    bool inside[9];   // inside the grid with a zone value > 0
};

struct SlopeAspect {
    double slope = 0;
    double aspect = 0;
    int type = kNoType;
};

// Slope (largest drop per length), aspect in degrees and cell type of a non-river cell.
// interior: the cell is not on the grid border and all eight neighbours are inside.
SlopeAspect SlopeAndAspect(const Neighbourhood& n, bool interior, double cellsize);

// Main direction of an aspect by 45-degree sectors; delta receives the aspect's offset from
// the direction's own aspect (in (-22.5, 22.5]). Inline: once per computed cell and sub step.
inline int SectorOfAspect(double a, double* delta) {
    int m;
    if (a >= 337.5 || a < 22.5)
        m = 1;
    else if (a < 67.5)
        m = 2;
    else if (a < 112.5)
        m = 3;
    else if (a < 157.5)
        m = 4;
    else if (a < 202.5)
        m = 5;
    else if (a < 247.5)
        m = 6;
    else if (a < 292.5)
        m = 7;
    else
        m = 8;
    *delta = (m == 1 && a >= 337.5) ? a - 360.0 : a - (m - 1) * 45.0;
    return m;
}

// Outflow shares by aspect (interior cells): main direction and, for methods 1 and 3 at plan
// curvature <= 0, the two side neighbours. Shares towards higher neighbours are dropped.
// Returns the main direction when the shares sum to a positive value (normalised), else 0
// with all shares 0 (the cell then distributes by drops).
int AspectWeights(double aspect, int method, double curvature, const Neighbourhood& n, double w[9]);

// AspectWeights for an aspect along a flow direction (sector m, no offset: the aspect of most
// cells), looked up. Such an aspect's shares depend on m, on whether the method sends along one
// direction, on whether the curvature is <= 0 and on which of m and its two sides lie higher than
// the cell only: a table holds AspectWeights' own results for every such case, bit for bit
// (inline: once per computed cell and sub step).
struct OnAxisEntry {
    double w[9];
    int main;
};
extern const std::array<OnAxisEntry, 256> kOnAxisTable;  // by OnAxisKey

// Key of an aspect of sector m without offset: the sector, one direction or more, curvature <= 0,
// and bits 0, 1, 2 set when the left side, m and the right side lie higher than the cell.
inline unsigned OnAxisKey(int m, bool single, bool curvatureNotAbove0, unsigned higher) {
    return ((static_cast<unsigned>(m - 1) * 2u + (single ? 1u : 0u)) * 2u + (curvatureNotAbove0 ? 1u : 0u)) * 8u +
           higher;
}

inline int OnAxisAspectWeights(int m, int method, double curvature, const Neighbourhood& n, double w[9]) {
    const int left = m == 1 ? 8 : m - 1, right = m == 8 ? 1 : m + 1;
    const double level = n.level[0];
    const unsigned higher = (n.level[left] > level ? 1u : 0u) | (n.level[m] > level ? 2u : 0u) |
                            (n.level[right] > level ? 4u : 0u);
    const OnAxisEntry& e = kOnAxisTable[OnAxisKey(m, SingleDirection(method), curvature <= 0, higher)];
    std::memcpy(w, e.w, sizeof e.w);
    return e.main;
}

// Outflow shares by drops to the existing neighbours: single steepest neighbour for methods
// 2, 4 and 5, all downhill neighbours normalised for 1 and 3. Returns the main direction, 0
// for a pit (every drop <= 1e-5).
int DropWeights(int method, const Neighbourhood& n, double w[9]);

// Number of directions 1..8 whose share changed by at most 0.01 (inline: once per computed
// cell and sub step).
inline int UnchangedWeights(const double oldW[9], const double newW[9]) {
    int count = 0;
    for (int d = 1; d <= 8; ++d)
        if (std::fabs(oldW[d] - newW[d]) <= 0.01) ++count;
    return count;
}

// Plan curvature from a 3 x 3 block of heights z[row][col] (row 0 = previous row).
double PlanCurvature(const double z[3][3], double cellsize);

// Water levels of methods 1 and 2 ignore the water depth.
inline bool LevelWithWater(int method) { return method >= 3; }

}  // namespace surfrout
