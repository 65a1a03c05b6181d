// Initial soil temperatures from freezing and thawing degree days (see soilheat.hpp).
#include <cmath>

#include "soil/soilheat.hpp"

namespace soilheat {

namespace {
std::size_t U(int i) { return static_cast<std::size_t>(i); }
}  // namespace

bool TopOfPermafrost(double lamThawed, double lamFrozen, double nThawing, double nFreezing, double thawingDays,
                     double freezingDays, double years, double& ttop) {
    if (!(years > 0) || lamFrozen == 0.0) return false;
    ttop = (lamThawed * nThawing * thawingDays - nFreezing * lamFrozen * freezingDays) / (lamFrozen * years * 365.0);
    return true;
}

double DegreeDayConductivity(double thetaS, double theta, double lamSoil, double lamWater) {
    const double m = theta + 1.0 - thetaS;
    return std::pow(lamSoil, (1.0 - thetaS) / m) * m * std::pow(lamWater, theta / m) +
           kAirConductivity * (thetaS - theta);
}

int OneMetreLayer(std::span<const double> thickness, int n) {
    double sum = 0;
    for (int k = 1; k <= n; ++k) {
        sum += thickness[U(k)];
        if (sum >= 1.0) return k;
    }
    return n;
}

void InitialProfile(int n, std::span<const double> thickness, std::span<const double> lamThawed,
                    std::span<const double> lamFrozen, double annualMean, double ttop, double G, std::span<double> T) {
    if (!(ttop < 0)) {
        T[1] = annualMean;
        for (int k = 2; k <= n; ++k) T[U(k)] = T[U(k - 1)] + thickness[U(k)] * G / lamThawed[U(k)];
        return;
    }
    const int j = OneMetreLayer(thickness, n);
    T[U(j)] = ttop;
    for (int k = j + 1; k <= n; ++k) {
        const double lam = T[U(k - 1)] <= 0 ? lamFrozen[U(k)] : lamThawed[U(k)];
        T[U(k)] = T[U(k - 1)] + thickness[U(k)] * G / lam;
    }
    // Above the 1 m layer: linear in depth (layer bottoms) from the annual mean at the surface.
    double depthJ = 0;
    for (int k = 1; k <= j; ++k) depthJ += thickness[U(k)];
    double depth = 0;
    for (int k = 1; k < j; ++k) {
        depth += thickness[U(k)];
        T[U(k)] = annualMean + (ttop - annualMean) * depth / depthJ;
    }
}

}  // namespace soilheat
