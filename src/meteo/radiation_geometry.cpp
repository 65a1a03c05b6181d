// Sun path sub-steps, incidence and terrain shadow of the radiation correction.
#include "meteo/radiation_geometry.hpp"

#include <cstdlib>

namespace radiation {

SubStepLight SubStepDarkness(double t, double d, double sunrise, double sunset) {
    const double t1 = t - d / 2.0;
    const double t2 = t + d / 2.0;
    SubStepLight l;
    l.darkBeforeSunrise = (t1 <= sunrise && sunrise < t2) ? sunrise - t1 : 0.0;
    double after = 0.0;
    if (sunset > sunrise) {
        if (t2 < sunset && t2 > sunrise)
            after = 0.0;
        else if (t1 < sunset && sunset < t2)
            after = t2 - sunset;
        else
            after = d;
    } else {
        if (sunset > t2)
            after = 0.0;
        else if (sunset > t1)
            after = t2 - sunset;
        else if (sunrise > t2)
            after = d;
        else
            after = 0.0;
    }
    double f = d > 0.0 ? (l.darkBeforeSunrise + after) / d : 1.0;
    if (f > 1.0) f -= 1.0;
    l.darkFraction = f;
    l.daylightFraction = 1.0 - f;
    l.night = f > 0.95 || l.daylightFraction < 0.05;
    return l;
}

double BeamRadiation(double d, double daylightFraction, double elevation, double cosZ) {
    if (!(elevation > kMinimumElevation)) return 0.0;
    return kSolarConstant * d * daylightFraction * std::pow(kTransmission, 0.9 / cosZ);
}

SunStep MakeSunStep(double azimuth, double zenith, double beam, bool night) {
    SunStep s;
    s.night = night;
    if (night) return s;
    s.cosZ = std::cos(zenith);
    s.sinZ = std::sin(zenith);
    s.cosAzimuth = std::cos(azimuth);
    s.sinAzimuth = std::sin(azimuth);
    s.beam = beam;
    return s;
}

CellOrientation OrientationOf(double slopeDegrees, double aspectDegrees, double nodata) {
    CellOrientation o;
    if (slopeDegrees == nodata || aspectDegrees == nodata || !std::isfinite(slopeDegrees) ||
        !std::isfinite(aspectDegrees))
        return o;
    const double rad = 3.141592653 / 180.0;
    const double s = slopeDegrees * rad;
    const double a = aspectDegrees * rad;
    o.cosSlope = std::cos(s);
    o.northSouth = std::sin(s) * std::cos(a);
    o.eastWest = std::sin(s) * std::sin(a);
    return o;
}

namespace {

// One ray from (row, col): the horizon sinks by drop per major step; cells below it are shaded.
struct Ray {
    int dr, dc;         // direction of a row and a column step
    bool rowsMajor;     // a major step moves one row (else one column)
    int majorCount;     // nrows or ncols: the error term's wrap
    int increment;      // growth of the error term per major step
    double drop;        // height drop per major step
    double gridNodata;
};

std::int64_t March(const Ray& ray, int row, int col, const Matrix& elevationGrid, const Matrix& zone, Matrix& shadow,
                   int nrows, int ncols, double zoneNodata) {
    double horizon = elevationGrid[row][col];
    int error = -ray.majorCount / 2;
    std::int64_t visits = 0;
    while (row >= 1 && row <= nrows && col >= 1 && col <= ncols) {
        ++visits;
        const double z = elevationGrid[row][col];
        if (zone[row][col] != zoneNodata) {
            if (horizon > z) {
                shadow[row][col] = 1.0;
            } else {
                shadow[row][col] = 0.0;
                horizon = z;
            }
        }
        if (ray.rowsMajor) {
            row += ray.dr;
            error += ray.increment;
            if (error >= 0) {
                col += ray.dc;
                error -= ray.majorCount;
            }
            horizon -= ray.drop;
        } else {
            col += ray.dc;
            error += ray.increment;
            if (error >= 0) {
                row += ray.dr;
                error -= ray.majorCount;
            }
            if (horizon > ray.gridNodata) horizon -= ray.drop;
        }
    }
    return visits;
}

}  // namespace

std::int64_t MarchTerrainShadow(const Matrix& elevationGrid, const Matrix& zone, Matrix& shadow, int nrows,
                                int ncols, double cellsize, double gridNodata, double zoneNodata, double azimuth,
                                double elevation) {
    const double half = 1.570796326795;
    Ray ray{};
    if (azimuth <= half) {
        ray.dr = 1;
        ray.dc = -1;
    } else if (azimuth <= 3.14159265359) {
        ray.dr = -1;
        ray.dc = -1;
    } else if (azimuth <= 3 * half) {
        ray.dr = -1;
        ray.dc = 1;
    } else {
        ray.dr = 1;
        ray.dc = 1;
    }
    ray.gridNodata = gridNodata;
    const double ca = std::cos(azimuth), sa = std::sin(azimuth);
    const double rise = std::tan(elevation);
    ray.rowsMajor = std::fabs(ca) > 0.707106781;
    if (ray.rowsMajor) {
        ray.majorCount = nrows;
        ray.increment = static_cast<int>(std::fabs(nrows * sa / ca));
        ray.drop = std::fabs(cellsize / ca) * rise;
    } else {
        ray.majorCount = ncols;
        ray.increment = static_cast<int>(std::fabs(ncols * ca / sa));
        ray.drop = std::fabs(cellsize / sa) * rise;
    }
    // Rays enter at the grid edges that face the sun: the first row and the first column in
    // marching order.
    const int firstRow = ray.dr > 0 ? 1 : nrows;
    const int firstCol = ray.dc > 0 ? 1 : ncols;
    std::int64_t visits = 0;
    for (int k = 0; k < ncols; ++k) {
        const int c = ray.dc > 0 ? 1 + k : ncols - k;
        visits += March(ray, firstRow, c, elevationGrid, zone, shadow, nrows, ncols, zoneNodata);
    }
    for (int k = 0; k < nrows; ++k) {
        const int r = ray.dr > 0 ? 1 + k : nrows - k;
        visits += March(ray, r, firstCol, elevationGrid, zone, shadow, nrows, ncols, zoneNodata);
    }
    return visits;
}

}  // namespace radiation
