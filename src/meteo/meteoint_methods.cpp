// meteointerpol: the per-cell methods (inverse-distance weighting, nearest station with and
// without lapse rate, elevation regression), the scenario change at a cell, and the
// preparations made once at construction (anisotropy, rotated coordinates, station distances).
#include <cmath>

#include "meteo/meteoint.hpp"

namespace {

constexpr double kHalfPi = 1.570796326795;

// A point rotated by -theta around the grid's lower-left corner.
void Rotate(double x, double y, double x0, double y0, double theta, double* rx, double* ry) {
    const double dx = x - x0;
    const double dy = y - y0;
    const double r = std::sqrt(dx * dx + dy * dy);
    double alpha;
    if (dx == 0) {
        alpha = dy > 0 ? kHalfPi : -kHalfPi;
    } else {
        alpha = std::atan2(dy, dx);
    }
    *rx = x0 + r * std::cos(alpha - theta);
    *ry = y0 + r * std::sin(alpha - theta);
}

}  // namespace

double meteointerpol::IDWWeights(double x, double y, int file, double* w) const {
    const StationFile& f = input_->Station(file);
    const int n = f.StationCount();
    const double* v = f.Values().data();
    const double* sx = f.X().data();
    const double* sy = f.Y().data();
    double sum = 0, weightSum = 0;
    for (int k = 1; k <= n; ++k) {
        double weight = 0;
        if (!(v[k] < -N)) {
            const double d2 = (sx[k] - x) * (sx[k] - x) + (sy[k] - y) * (sy[k] - y);
            if (weightingMode == 2000) {
                if (d2 == 0) {
                    weight = maxDistance >= 1 ? 1.0 : 0.0;
                } else {
                    weight = d2 <= maxDistance ? 1.0 / d2 : 0.0;
                }
            } else {
                const double d = d2 <= 0 ? 1.0 : std::sqrt(d2);
                if (d <= maxDistance) weight = weightingMode == 1000 ? 1.0 / d : std::pow(d, -idwWeight);
            }
        }
        w[k] = weight;
        weightSum += weight;
        sum += weight * v[k];
    }
    return weightSum == 0 ? -N - 1 : sum / weightSum;
}

double meteointerpol::IDWWeightsAnisotropic(double x, double y, int file, double* w) const {
    const StationFile& f = input_->Station(file);
    const int n = f.StationCount();
    const double* v = f.Values().data();
    const double* sx = stationRotX[static_cast<std::size_t>(file)].data();
    const double* sy = stationRotY[static_cast<std::size_t>(file)].data();
    double sum = 0, weightSum = 0;
    for (int k = 1; k <= n; ++k) {
        double weight = 0;
        if (!(v[k] < -N)) {
            const double dx = (sx[k] - x) * anisotropyRatio;
            const double d2 = dx * dx + (sy[k] - y) * (sy[k] - y);
            if (weightingMode == 2000) {
                if (d2 == 0) {
                    weight = maxDistance >= 1 ? 1.0 : 0.0;
                } else {
                    weight = d2 <= maxDistance ? 1.0 / d2 : 0.0;
                }
            } else {
                const double d = d2 <= 0 ? 1.0 : std::sqrt(d2);
                if (d <= maxDistance) weight = weightingMode == 1000 ? 1.0 / d : std::pow(d, -idwWeight);
            }
        }
        w[k] = weight;
        weightSum += weight;
        sum += weight * v[k];
    }
    return weightSum == 0 ? -N - 1 : sum / weightSum;
}

double meteointerpol::Thiessen(double x, double y, int file) const {
    const StationFile& f = input_->Station(file);
    const double* v = f.Values().data();
    double best = 1e20;
    double value = -N - 1;
    for (int k = 1; k <= f.StationCount(); ++k) {
        if (v[k] < -N) continue;
        const double d2 = (f.X()[static_cast<std::size_t>(k)] - x) * (f.X()[static_cast<std::size_t>(k)] - x) +
                          (f.Y()[static_cast<std::size_t>(k)] - y) * (f.Y()[static_cast<std::size_t>(k)] - y);
        // On equal distance the later station wins.
        if (d2 <= best) {
            best = d2;
            value = v[k];
        }
    }
    return value;
}

double meteointerpol::ThiessenWithLapseRate(double x, double y, double z, double lapse, double hi,
                                            double upper) const {
    const StationFile& f = input_->Station(0);
    const double* v = f.Values().data();
    double best = 1e20;
    int nearest = 0;
    for (int k = 1; k <= f.StationCount(); ++k) {
        if (v[k] < -N) continue;
        const auto i = static_cast<std::size_t>(k);
        const double d2 = (f.X()[i] - x) * (f.X()[i] - x) + (f.Y()[i] - y) * (f.Y()[i] - y);
        // On equal distance the earlier station wins.
        if (d2 < best) {
            best = d2;
            nearest = k;
        }
    }
    if (nearest == 0) return -N - 1;
    const double value = v[nearest];
    if (pType && value == 0) return 0;
    const double h = f.Altitude()[static_cast<std::size_t>(nearest)];
    if (!(hi > -9998.0)) return value + (z - h) * lapse;
    if (hi >= h) return z <= hi ? value + (z - h) * lapse : value + (hi - h) * lapse + (z - hi) * upper;
    return z <= hi ? value + (hi - h) * upper + (z - hi) * lapse : value + (z - h) * upper;
}

double meteointerpol::RegressionValue(double x, double y, double z) const {
    const auto& p = regression;
    using R = RegressionFile;
    if (p[R::a1] < -N) return -N - 1;
    if (!(p[R::p0] < -N) && x != nodata && y != nodata) {
        const double plane = p[R::p0] + p[R::px] * x + p[R::py] * y;
        if (z < p[R::h1]) return plane + p[R::b1] * z;
        if (z <= p[R::h2]) return plane - p[R::a1] + p[R::a2] + p[R::b2] * z;
        return plane - p[R::a1] + p[R::a3] + p[R::b3] * z;
    }
    if (z < p[R::h1]) return p[R::a1] + p[R::b1] * z;
    if (z <= p[R::h2]) return p[R::a2] + p[R::b2] * z;
    return p[R::a3] + p[R::b3] * z;
}

double meteointerpol::Determinant3(const double* a, const double* b, const double* c) const {
    return a[1] * b[2] * c[3] + b[1] * c[2] * a[3] + c[1] * a[2] * b[3] - a[3] * b[2] * c[1] - b[3] * c[2] * a[1] -
           a[2] * c[3] * b[1];
}

double meteointerpol::ScenarioChange(double x, double y, int row, int column) const {
    if (SzenMeth == 5 || SzenMeth == 6) return scenarioGrid[row][column];
    // Without scenario points the change leaves the value as it is.
    if (SzenNum < 1 || scenarioTable.empty()) return SzenMeth == 1 ? 0.0 : 1.0;
    double best = 1e15;
    double change = 0;
    for (const auto& p : scenarioTable) {
        const double d2 = (p[1] - x) * (p[1] - x) + (p[2] - y) * (p[2] - y);
        if (d2 <= best) {
            best = d2;
            change = p[15];
        }
    }
    return change;
}

void meteointerpol::CheckAnisotropy() {
    weightingMode = static_cast<int>(std::floor(1000.0 * idwWeight));
    if (anisotropySlope < -kHalfPi || anisotropySlope > kHalfPi) {
        *log << "FATAL: anisotropy slope has to range from -90 to +90 degree \n" << "[end-entry]";
        throw ModelError(54);
    }
    if (anisotropyRatio <= 0 || anisotropyRatio > 1) {
        *log << "FATAL: ratio of anisotropy has to range from +1 to >0 liegen" << "[end-entry]";
        throw ModelError(54);
    }
    for (int i = 0; i < MeteoInputFiles::StationFileCount(method); ++i) {
        const StationFile& f = input_->Station(i);
        auto& rx = stationRotX[static_cast<std::size_t>(i)];
        auto& ry = stationRotY[static_cast<std::size_t>(i)];
        rx = f.X();
        ry = f.Y();
        if (anisotropyRatio >= 1) continue;
        for (std::size_t k = 1; k < rx.size(); ++k)
            Rotate(f.X()[k], f.Y()[k], xllcorner, yllcorner, anisotropySlope, &rx[k], &ry[k]);
    }
}

void meteointerpol::CreateRotatedCoordinates() {
    if (!(anisotropyRatio < 1) || MeteoInputFiles::StationFileCount(method) == 0) return;
    rotatedX = matrix(firstRow, lastRow, 1, ncols, nrows);
    rotatedY = matrix(firstRow, lastRow, 1, ncols, nrows);
    for (int r = firstRow; r <= lastRow; ++r) {
        for (int c = 1; c <= ncols; ++c) {
            if ((*coordX)[r][c] == nodata) {
                rotatedX[r][c] = rotatedY[r][c] = nodata;
                continue;
            }
            Rotate((*coordX)[r][c], (*coordY)[r][c], xllcorner, yllcorner, anisotropySlope, &rotatedX[r][c],
                   &rotatedY[r][c]);
        }
    }
    for (int k = 0; k < 2; ++k) {
        const int index = FirstFreeGridIndex();
        if (index >= 1000) {
            *log << "FATAL: no more free grids in memeory, (max. " << 1000 << ")!" << "[end-entry]";
            throw ModelError(12);
        }
        const std::string grid = (k == 0 ? "CoordXRot_" : "CoordYRot_") + name;
        RegisterGrid(index, grid, k == 0 ? &rotatedX : &rotatedY, nullptr, 0, grid, 0, firstRow, lastRow);
        (k == 0 ? rotatedXIndex : rotatedYIndex) = index;
    }
}

void meteointerpol::MeanStationDistances() {
    *log << "calculating average horizontal and vertical distance to the next station..." << "[end-entry]";
    const auto& x = stationRotX[0];
    const auto& y = stationRotY[0];
    const int n = Station(0).StationCount();
    double hSum = 0, vSum = 0;
    int hCount = 0, vCount = 0;
    for (int k = 1; k <= n; ++k) {
        double h = -9999.0, v = -9999.0;
        for (int j = 1; j <= n; ++j) {
            const double dx = x[static_cast<std::size_t>(j)] - x[static_cast<std::size_t>(k)];
            const double dy = y[static_cast<std::size_t>(j)] - y[static_cast<std::size_t>(k)];
            const double d = std::sqrt(dx * dx + dy * dy);
            if (std::fabs(dy) <= std::fabs(dx) && dx > 0 && (h < -1000 || d < h)) h = d;
            if (std::fabs(dy) > std::fabs(dx) && dy > 0 && (v < -1000 || d < v)) v = d;
        }
        if (h > -1000) {
            hSum += h;
            ++hCount;
        }
        if (v > -1000) {
            vSum += v;
            ++vCount;
        }
    }
    meanHorizontal = hCount > 0 ? hSum / hCount : -9999.0;
    meanVertical = vCount > 0 ? vSum / vCount : -9999.0;
    *log << "avg. horizontal distance: " << meanHorizontal << " m" << "[end-entry]";
    *log << "avg. vertical   distance: " << meanVertical << " m" << "[end-entry]";
    boxFraction = 0.25;
}
