// Macropore infiltration and root water uptake with soil evaporation of one soil column.
#include <algorithm>
#include <cmath>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "soil/soilcolumn_uptake.hpp"
#include "tables/soil_entry.hpp"

namespace soilcolumn {

namespace {
std::size_t U(int i) { return static_cast<std::size_t>(i); }
constexpr int kBadParameter = 17;
}  // namespace

void CheckMacroporeParameters(DiagLog& log, const soil_entry& soil) {
    if (soil.CapacityRedu < 0) {
        log << "FATAL: soil type " << static_cast<int>(soil.code) << " (" << soil.name
            << "): CapacityRedu = " << soil.CapacityRedu
            << " is negative; the macropore capacity is CapacityRedu to the power of the depth, so it must be 0 or "
               "more\n"
            << "[end-entry]";
        throw ModelError(kBadParameter);
    }
}

double MacroporeInfiltration(const soil_entry& soil, double& supply, double stepFactor, double* theta,
                             double* capacity, double* inflow) {
    const int n = soil.layerCount;
    for (int k = 1; k <= n; ++k) {
        capacity[U(k)] = 0;
        inflow[U(k)] = 0;
    }
    if (!(supply > soil.PMacroThresh)) return 0.0;
    int j = 0;
    double above = 0;
    for (int k = 1; k <= n; ++k) {
        const double middle = above + soil.thickness[U(k)] / 2;
        if (!(middle < soil.MacroDepth)) break;
        capacity[U(k)] = soil.MacroCapacity * std::pow(soil.CapacityRedu, middle);
        j = k;
        above += soil.thickness[U(k)];
    }
    double R = std::min(soil.MacroCapacity, supply - soil.PMacroThresh);
    if (j == 0 || !(R > 0)) return 0.0;
    double total = 0;
    for (int k = j; k >= 1 && R > 0; --k) {
        const std::size_t l = U(k);
        const double d = soil.thickness[l];
        const double free = (soil.theta_sat[l] - theta[l]) * d * 1000;
        if (free <= 0) continue;
        const double A = std::min({R * stepFactor, capacity[l] * stepFactor, free});
        if (A == free) {
            theta[l] = soil.theta_sat[l];
        } else {
            theta[l] += A / (1000 * d);
        }
        inflow[l] = A / stepFactor;
        R -= A / stepFactor;
        total += A;
    }
    supply -= total / stepFactor;
    return total;
}

namespace {

// Raw root weights of the layers reached (returns N); fraction written per layer.
int RootWeights(const soil_entry& soil, double rd, double rootDist, const double* z, double* fraction,
                double* weight) {
    const int n = soil.layerCount;
    const double zr = z[0] - rd - 1e-05;
    int k = 0;
    do {
        ++k;
        const std::size_t l = U(k);
        double part, middle;
        if (z[l] > zr) {
            part = soil.thickness[l];
            middle = (z[0] - z[l]) - part / 2;
        } else {
            part = z[l - 1] - zr - 1e-05;
            middle = rd - part / 2;
        }
        fraction[l] = part / rd;
        weight[l] = (1 - middle / rd) * (middle * rootDist / rd + 1) * (part / rd);
    } while (z[U(k)] > zr && k < n);
    return k;
}

}  // namespace

int RootDistribution(const soil_entry& soil, const RootParameters& par, double& rootDepth, double coverage,
                     double transpiration, double evaporationDemand, double dt, double evapMaxDepth,
                     const double* theta, const double* z, int tableLayer, const RootArrays& out,
                     double& evaporationSum, const unsigned char* sameTableAsAbove) {
    const int n = soil.layerCount;
    const double rd = std::max(rootDepth, soil.thickness[1]);
    rootDepth = rd;
    double* w = out.weight;
    for (int k = 1; k <= n; ++k) {
        w[U(k)] = 0;
        out.fraction[U(k)] = 0;
        out.uptake[U(k)] = 0;
        out.evaporation[U(k)] = 0;
    }
    const int N = RootWeights(soil, rd, par.rootDist, z, out.fraction, w);

    // Weights below 0 (strongly negative shapes) count as 0; with nothing left, layer 1 takes all.
    double sum = 0;
    for (int k = 1; k <= N; ++k) {
        w[U(k)] = std::max(0.0, w[U(k)]);
        sum += w[U(k)];
    }
    if (sum > 0) {
        for (int k = 1; k <= N; ++k) w[U(k)] /= sum;
    } else {
        w[1] = 1.0;
    }

    // Wet and dry stress; removed weight moves down above the table, the rest is unserved.
    double unserved = 0;
    double dry = 0;  // the look-up of the layer above
    for (int k = 1; k <= N; ++k) {
        const std::size_t l = U(k);
        const double ts = soil.theta_sat[l], tw = soil.theta_res[l];
        if (k == 1 || sameTableAsAbove == nullptr || sameTableAsAbove[l] == 0)
            dry = soil.ThetaFromSuction(k, par.hReduDry);
        double th = dry;
        if (!(th > tw)) th = (2 * tw + ts) / 3;
        double s = 0;
        if (par.tReduWet * ts < theta[l]) {
            const double x1 = par.tReduWet * ts, x = std::min(theta[l], ts);
            const double span = ts - x1;
            const double fw = span == 0 ? 1.0 : 1.0 * (ts - x) / span + par.limitReduWet * (x - x1) / span;
            if (fw < 1) s = 1 - fw;
        }
        if (theta[l] < th) {
            if (theta[l] <= tw) {
                s = 1;
            } else {
                const double fd = (theta[l] - tw) / (th - tw);
                if (fd < 1) s = 1 - fd;
            }
        }
        const double removed = s * w[l];
        if (k < tableLayer && k < N) {
            const double moved = std::min(removed, 2 * w[l + 1]);
            w[l + 1] += moved;
            unserved += removed - moved;
        } else {
            unserved += removed;
        }
        w[l] -= removed;
    }

    for (int k = 1; k <= N; ++k) {
        out.uptake[U(k)] = coverage * transpiration * w[U(k)];
        out.uptakeSum[U(k)] += out.uptake[U(k)];
    }

    // Soil evaporation from the top down, always from layer 1.
    double R = unserved * transpiration * coverage + evaporationDemand;
    double above = 0;
    for (int k = 1; k <= n && (k == 1 || above < evapMaxDepth); ++k) {
        const std::size_t l = U(k);
        const double ts = soil.theta_sat[l], d = soil.thickness[l];
        const double dry = (ts - theta[l]) / ts;
        double v = (1 - dry * dry) * R;
        if (theta[l] <= (out.uptake[l] * coverage + v) * dt / d) v = (1 - coverage) * theta[l] * d / dt;
        const double taken = std::min(v, R);
        out.evaporation[l] = taken;
        R -= taken;
        evaporationSum += taken;
        above += d;
    }
    return N;
}

double DecayFactor(double halfLifeDays, double minutes) {
    if (!(halfLifeDays > 0)) return 1.0;
    return std::pow(0.5, minutes / (halfLifeDays * 1440.0));
}

}  // namespace soilcolumn
