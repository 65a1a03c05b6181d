#pragma once
// Direct solar radiation on sloped, possibly shaded cells: the daylight share of a sub-step,
// the clear-sky beam of the sub-step, the incidence on a sloped cell, the correction factor and
// the temperature corrected by it, and the terrain shadow cast along the sun's rays. Plain
// numbers in, numbers out; the sub-model does the grids and the processes.
#include <cmath>
#include <cstdint>
#include <vector>

#include "kernel/matrix.hpp"

namespace radiation {

// Solar constant (W/m²) and the clear-sky transmission per air mass.
constexpr double kSolarConstant = 1367.0;
constexpr double kTransmission = 0.86;
// Below this sun elevation (radians) no beam reaches the ground.
constexpr double kMinimumElevation = 0.017;
// A sloped cell gets at most this many times the radiation of a horizontal one.
constexpr double kIncidenceCap = 5.0;
// Correction factors at or below this are taken as this for the temperature (ln 0.2 = -1.6094).
constexpr double kLowestFactor = 0.2;
constexpr double kLowestFactorLog = 1.6094;

// The dark share of the sub-step of length d centred on hour t, with sunrise and sunset already
// brought into 0..24.
struct SubStepLight {
    double darkBeforeSunrise = 0;
    double darkFraction = 0;
    double daylightFraction = 1;
    bool night = false;
};
SubStepLight SubStepDarkness(double t, double d, double sunrise, double sunset);

// The hour at which the sun is taken: the middle of the lit part of the sub-step.
inline double LitMiddle(double t, double d, const SubStepLight& l) {
    return t + l.darkBeforeSunrise + d / 2.0 * (l.daylightFraction - 1.0);
}

// Beam radiation of a sub-step of d hours on a surface normal to the rays (Wh/m²), with the sun
// at elevation (radians) and cosZ the cosine of its zenith angle.
double BeamRadiation(double d, double daylightFraction, double elevation, double cosZ);

// The sun of one sub-step as the incidence loop needs it.
struct SunStep {
    double cosZ = 1, sinZ = 0, cosAzimuth = 1, sinAzimuth = 0;
    double beam = 0;
    bool night = true;
};
SunStep MakeSunStep(double azimuth, double zenith, double beam, bool night);

// A cell's orientation, prepared once: cos(slope), sin(slope)·cos(aspect), sin(slope)·sin(aspect).
// Slope and aspect in degrees, aspect clockwise from north; nodata counts as horizontal.
struct CellOrientation {
    double cosSlope = 1, northSouth = 0, eastWest = 0;
};
CellOrientation OrientationOf(double slopeDegrees, double aspectDegrees, double nodata);

// Cosine of the angle between the sun and the cell normal, at least 0 (no sun from behind).
inline double CosIncidence(const CellOrientation& o, const SunStep& s) {
    const double g = o.cosSlope * s.cosZ + s.sinZ * (o.northSouth * s.cosAzimuth + o.eastWest * s.sinAzimuth);
    return g > 0.0 ? g : 0.0;
}

// Beam of the sub-step on the cell: none by night or in shadow; a cloudy cell (little sunshine)
// gets the horizontal share; never more than kIncidenceCap times the horizontal share.
inline double InclinedBeam(const CellOrientation& o, const SunStep& s, bool shaded, bool cloudy) {
    if (s.night || shaded) return 0.0;
    double g = CosIncidence(o, s);
    if (g > 0.0 && cloudy) g = s.cosZ;
    const double cap = kIncidenceCap * s.cosZ;
    return (g < cap ? g : cap) * s.beam;
}

// f = S / H, 0 when the horizontal sum H is 0.
inline double CorrectionFactor(double inclined, double horizontal) {
    return horizontal > 0.0 ? inclined / horizontal : 0.0;
}

// Temperature raised on sunny and lowered on shaded cells: T + c·ln(f)·r, with f taken as 0.2
// at most once the step had sun at all; T unchanged without sun.
inline double CorrectedTemperature(double t, double f, double horizontal, double scaling, double sunshine) {
    if (f > kLowestFactor) return t + scaling * std::log(f) * sunshine;
    if (horizontal > 0.0) return t - kLowestFactorLog * scaling * sunshine;
    return t;
}

// Marks with 1 the cells of zone that the terrain hides from a sun at azimuth (radians,
// clockwise from north) and elevation (radians), 0 the others (whole grids, rows 1..nrows,
// row 1 in the north). Cells whose zone value is zoneNodata are skipped. Returns the number of
// cells visited.
std::int64_t MarchTerrainShadow(const Matrix& elevationGrid, const Matrix& zone, Matrix& shadow, int nrows,
                                int ncols, double cellsize, double gridNodata, double zoneNodata, double azimuth,
                                double elevation);

// The march shared out among processes. The rays, in marching order, are those entering on the
// first row and then those entering on the first column; where rays cross, the later one's mark
// stands. Every process holds the whole terrain (cell (r, c) at (r - 1) * ncols + c - 1) and
// marches a block of rays; marks[cell] becomes lit (sunny) or lit + 1 (shaded) where its rays
// reach the zone, so that with each block's lit above the earlier blocks' the largest mark of a
// cell over all processes is the mark of the whole march.
struct Terrain {
    int nrows = 0, ncols = 0;
    std::vector<double> elevation;
    std::vector<unsigned char> inside;  // 1: the cell is in the zone, else 0
    // The runs of zone cells along each row (columns) and each column (rows): runs of row r are
    // the pairs rowRuns[2 j], rowRuns[2 j + 1] for rowRunStart[r - 1] <= j < rowRunStart[r]; the
    // same for columns. Set by FindZoneRuns.
    std::vector<int> rowRuns, rowRunStart, colRuns, colRunStart;
};

// Finds the runs of zone cells of the terrain's rows and columns from inside.
void FindZoneRuns(Terrain& terrain);

// The work of one ray of the march: the cells it visits and those of them in the zone (the cells
// it marks).
struct RayWork {
    std::int64_t visits = 0, zoneCells = 0;
};

// The work of every ray (numbers as in RayBlocks) for a sun at azimuth, counted from the zone runs
// without marching: rays are parallel and step alike, so each run of zone cells of a row (or
// column) is crossed by a range of neighbouring rays.
std::vector<RayWork> RaysWork(const Terrain& terrain, double azimuth);

// Bounds of parts blocks of rays (parts + 1 numbers, from 0 to nrows + ncols) of about equal
// work, for a sun at azimuth. Marking a zone cell costs several times a visit, and the zone may
// be spread very unevenly over the rays, so the blocks are balanced on both.
std::vector<int> RayBlocks(const Terrain& terrain, double azimuth, int parts);

// The columns a march marked in each row (index row - 1): first..last, none where last < first.
struct RowSpans {
    std::vector<int> first, last;
    void Clear(int nrows, int ncols) {
        first.assign(static_cast<std::size_t>(nrows), ncols + 1);
        last.assign(static_cast<std::size_t>(nrows), 0);
    }
};

// Marches rays first..last - 1 (numbers as in RayBlocks); returns the number of cells visited.
// spans widens to every cell marked.
std::int64_t MarchTerrainShadowRays(const Terrain& terrain, std::vector<std::uint8_t>& marks, RowSpans& spans,
                                    std::uint8_t lit, int first, int last, double cellsize, double gridNodata,
                                    double azimuth, double elevation);

}  // namespace radiation
