// meteointerpol: the per-cell methods (inverse-distance weighting, nearest station with and
// without lapse rate, elevation regression, bilinear interpolation between look-up stations)
// and the scenario change at a cell. They run concurrently in the cell loop and write only the
// weights array of the calling thread.
#include <cmath>

#include "meteo/meteoint.hpp"

namespace {
// Weight of a station at squared distance d2. Mode 2000 (weight 2) compares squared distances
// with the squared maximum distance, and a co-located station gets weight 1; other modes use
// the distance itself (mode 1000: weight 1).
inline double InverseDistanceWeight(double d2, int mode, double maxDistance, double power) {
    if (mode == 2000) {
        if (d2 == 0) return maxDistance >= 1 ? 1.0 : 0.0;
        return d2 <= maxDistance ? 1.0 / d2 : 0.0;
    }
    const double d = d2 <= 0 ? 1.0 : std::sqrt(d2);
    if (!(d <= maxDistance)) return 0.0;
    return mode == 1000 ? 1.0 / d : std::pow(d, -power);
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
            weight = InverseDistanceWeight(d2, weightingMode, maxDistance, idwWeight);
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
            weight = InverseDistanceWeight(d2, weightingMode, maxDistance, idwWeight);
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

double meteointerpol::Idw(double x, double y, int file, double* weights) const {
    return anisotropyRatio < 1.0 ? IDWWeightsAnisotropic(x, y, file, weights) : IDWWeights(x, y, file, weights);
}

double meteointerpol::Bilinear(double x, double y, int file, int row, int column, double* weights) const {
    return Bilinear(x, y, file,
                    {LookUpStation(row, column, kUpperRight), LookUpStation(row, column, kUpperLeft),
                     LookUpStation(row, column, kLowerLeft), LookUpStation(row, column, kLowerRight)},
                    weights);
}

double meteointerpol::Bilinear(double x, double y, int file, const std::array<int, 4>& corners, double* weights) const {
    const std::vector<double>& v = input_->Station(file).Values();
    const auto& sx = stationRotX[0];
    const auto& sy = stationRotY[0];
    // A corner whose station has no valid value counts as missing.
    auto corner = [&](Corner which) {
        const int s = corners[static_cast<std::size_t>(which)];
        return s > 0 && !(v[static_cast<std::size_t>(s)] < -N) ? s : 0;
    };
    const int s1 = corner(kUpperRight), s2 = corner(kUpperLeft), s3 = corner(kLowerLeft), s4 = corner(kLowerRight);
    if (s1 == s2 && s2 == s3 && s3 == s4)
        return s1 != 0 ? v[static_cast<std::size_t>(s1)] : IDWWeightsAnisotropic(x, y, file, weights);
    const auto at = [](int s) { return static_cast<std::size_t>(s); };
    if (s1 == 0 || s2 == 0 || s3 == 0 || s4 == 0 || sx[at(s1)] == sx[at(s2)] || sy[at(s3)] == sy[at(s2)])
        return IDWWeightsAnisotropic(x, y, file, weights);
    const double t = (x - sx[at(s2)]) / (sx[at(s1)] - sx[at(s2)]);
    const double u = (y - sy[at(s2)]) / (sy[at(s3)] - sy[at(s2)]);
    return (1 - t) * (1 - u) * v[at(s2)] + t * (1 - u) * v[at(s1)] + (1 - t) * u * v[at(s3)] + t * u * v[at(s4)];
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
