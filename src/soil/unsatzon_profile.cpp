#include "soil/unsatzon_profile.hpp"

#include <algorithm>
#include <cmath>

#include "tables/soil_entry.hpp"

namespace soil_profile {

namespace {
double At(std::span<const double> v, int i) { return v[static_cast<std::size_t>(i)]; }
}  // namespace

double LayerCentre(std::span<const double> heads, int n, int k) {
    if (k <= n) return 0.5 * (At(heads, k - 1) + At(heads, k));
    const double last = At(heads, n - 1) - At(heads, n);
    return At(heads, n) - 0.5 * last;
}

int WaterTableLayerFromLevel(int n, double level) {
    const double g = std::floor(std::floor(static_cast<double>(n - 1) / level) + 1.4999);
    return static_cast<int>(std::clamp(g, 0.0, static_cast<double>(n)));
}

int WaterTableLayerFromDepth(std::span<const double> heads, int n, double depth) {
    if (depth <= At(heads, 0) - At(heads, 1)) return 0;
    for (int g = 1; g < n; ++g)
        if (At(heads, 0) - At(heads, g + 1) >= depth) return g;
    return n;
}

void HydrostaticColumn(const soil_entry& soil, std::span<const double> heads, int n, int g, std::span<double> theta,
                       std::span<double> hh) {
    theta[0] = soil.theta_sat[1];
    hh[0] = At(heads, 0);
    const double table = LayerCentre(heads, n, g + 1);
    for (int k = 1; k <= n; ++k) {
        const std::size_t i = static_cast<std::size_t>(k);
        const double centre = LayerCentre(heads, n, k);
        theta[i] = k <= g ? soil.ThetaFromSuction(k, centre - table) : soil.theta_sat[i];
        hh[i] = centre - soil.SuctionFromTheta(k, theta[i]);
    }
}

WaterTable FindWaterTable(std::span<const double> theta, std::span<const double> thetaSat,
                          std::span<const double> heads, int n) {
    WaterTable t{static_cast<double>(n), At(theta, 1), At(heads, n) - At(heads, 0)};
    enum { None, Running, Stopped } state = None;
    for (int k = n - 1; k >= 1; --k) {
        const bool saturated = At(theta, k) > 0.9995 * At(thetaSat, k);
        if (saturated && state != Stopped) {
            t.level = k;
            t.thetaAbove = At(theta, k - 1);
            t.distance = At(heads, k - 1) - At(heads, 0);
            state = Running;
        } else if (!saturated && state == Running) {
            state = Stopped;
        } else if (!saturated && state == None && At(thetaSat, k) != At(theta, n)) {
            state = Stopped;
        }
    }
    return t;
}

int DrainageLayer(std::span<const double> heads, int n, double depth) {
    const double e = depth - 0.01;
    if (!(e > 0)) return 0;
    for (int k = 1; k <= n; ++k)
        if (At(heads, 0) - At(heads, k) >= e) return k;
    return n;
}

double RootZoneWater(std::span<const double> theta, std::span<const double> thickness, int n, double rootDepth) {
    if (!(rootDepth > 0)) return At(theta, 1);
    double depth = -1e-8;
    for (int k = 1; k <= n; ++k) depth += At(thickness, k);
    if (rootDepth <= depth && rootDepth != 9999) depth = rootDepth;
    if (!(depth > 1e-8)) return 1.0;
    double sum = 0, top = 0;
    for (int k = 1; k <= n && top < depth; ++k) {
        const double d = std::min(At(thickness, k), depth - top);
        sum += At(theta, k) * d;
        top += At(thickness, k);
    }
    return sum / rootDepth;
}

}  // namespace soil_profile
