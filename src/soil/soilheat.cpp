// Heat conduction in one soil column (see soilheat.hpp).
#include "soil/soilheat.hpp"

#include <algorithm>
#include <cmath>

namespace soilheat {

namespace {
std::size_t U(int i) { return static_cast<std::size_t>(i); }
}  // namespace

double Conductivity(double thetaS, double theta, double f, double lamSoil, double lamWater, double lamIce) {
    return ConductivityWithMineral(thetaS, theta, f, MineralFactor(thetaS, theta, lamSoil), lamWater, lamIce);
}

double MineralFactor(double thetaS, double theta, double lamSoil) {
    if (thetaS - theta < 0.01) return std::pow(lamSoil, 1.0 - thetaS);
    return std::pow(lamSoil, (1.0 - thetaS) / (theta + (1.0 - thetaS)));
}

double ConductivityWithMineral(double thetaS, double theta, double f, double mineral, double lamWater,
                               double lamIce) {
    if (thetaS - theta < 0.01) {
        if (f < 0.99) return mineral * std::pow(lamWater, f * theta) * std::pow(lamIce, (1.0 - f) * theta);
        return mineral * std::pow(lamWater, thetaS);
    }
    const double air = thetaS - theta;
    const double m = theta + (1.0 - thetaS);
    double solid = m * mineral * std::pow(lamWater, f * theta / m);
    if (f < 0.99) solid *= std::pow(lamIce, (1.0 - f) * theta / m);
    return kAirConductivity * air + solid;
}

void LayerFluxes(const Column& col, std::span<const double> T, double surface, double lower, std::span<double> q) {
    const int n = col.n;
    const auto& l = col.lambda;
    const auto& d = col.thickness;
    q[0] = -2.0 * l[1] / d[1] * (surface - T[1]);
    for (int k = 1; k < n; ++k)
        q[U(k)] = -2.0 * l[U(k)] * (T[U(k)] - T[U(k + 1)]) / (d[U(k)] + d[U(k + 1)]);
    q[U(n)] = -2.0 * l[U(n)] / d[U(n)] * (T[U(n)] - lower);
}

void TemperatureChange(const Column& col, std::span<const double> q, double dt, std::span<double> dT) {
    for (int k = 1; k <= col.n; ++k)
        dT[U(k)] = dt / (col.thickness[U(k)] * col.capacity[U(k)]) * (q[U(k)] - q[U(k - 1)]);
}

void ApplyChanges(int n, std::span<double> T, std::span<const double> start, std::span<const double> dT,
                  std::span<const double> q, bool limit, double lower, double air) {
    for (int k = n; k >= 1; --k) {
        double& t = T[U(k)];
        t += dT[U(k)];
        if (!limit) continue;
        const double below = k == n ? lower : start[U(k + 1)];
        // A column of one layer takes level 0 of the start values as the layer above.
        const double above = (k == 1 && n > 1) ? air : start[U(k - 1)];
        const bool upIn = q[U(k - 1)] >= 0, upOut = q[U(k)] >= 0;
        if (upIn && upOut)
            t = std::min(t, below);
        else if (upIn && !upOut)
            t = std::max(t, std::min(below, above));
        else if (!upIn && !upOut)
            t = std::min(t, above);
        else
            t = std::min(t, std::max(below, above));
    }
}

void ExplicitStep(const Column& col, std::span<double> T, double surface, double lower, double air, double dt,
                  std::span<double> q, std::span<double> dT, std::span<double> start) {
    std::copy(T.begin(), T.begin() + col.n + 1, start.begin());
    LayerFluxes(col, T, surface, lower, q);
    TemperatureChange(col, q, dt, dT);
    ApplyChanges(col.n, T, start, dT, q, true, lower, air);
}

void ImplicitStep(const Column& col, std::span<const double> Told, double surface, double lower, bool fluxBoundary,
                  double lowerFlux, double dt, const Advection* adv, Tridiagonal w, std::span<double> Tnew) {
    const int n = col.n;
    const double* l = col.lambda.data();
    const double* d = col.thickness.data();
    const double* H = col.capacity.data();
    const double* T0 = Told.data();
    double* A = w.a.data();
    double* B = w.b.data();
    double* C = w.c.data();
    double* R = w.r.data();
    const double Cw = kWaterHeatCapacity;
    const double Tb = fluxBoundary ? lowerFlux * d[n] / (2.0 * l[n]) + T0[n] : lower;
    double gTop = 2.0 * l[1] * dt / (d[1] * d[1] * H[1]);
    double gBot = 2.0 * l[n] * dt / (d[n] * d[n] * H[n]);
    // One pass down the layers: each layer's coefficients, then at once the forward elimination
    // of its lower diagonal with the layer above. The coefficients' divisions do not wait for the
    // elimination, so the processor overlaps them with its chain of divisions, whose last values
    // stay in registers. The operations are those of coefficients first and elimination after.
    double bAbove = 0, cAbove = 0, rAbove = 0;
    for (int k = 1; k <= n; ++k) {
        const double S = dt / (d[k] * H[k]);
        double a = k > 1 ? -2.0 * l[k - 1] * dt / ((d[k - 1] + d[k]) * d[k] * H[k]) : 0.0;
        double c = k < n ? -2.0 * l[k] * dt / ((d[k + 1] + d[k]) * d[k] * H[k]) : 0.0;
        double m = 0.0, Tw = 0.0;
        if (adv != nullptr) {
            const double qTop = adv->flux[U(k - 1)], qBottom = adv->flux[U(k)];
            if (qTop < 0) {
                if (k == 1) gTop += qTop * Cw * S;
                else a -= qTop * Cw * S;
            }
            if (qBottom > 0) {
                if (k == n) gBot -= qBottom * Cw * S;
                else c += qBottom * Cw * S;
            }
            m = adv->macropore[U(k)];
            Tw = adv->waterTemperature;
        }
        double b = 1.0 - a - c - m * Cw * S;
        // Macropore water reaching the last layer carries the lower boundary temperature.
        double r = T0[k] - S * m * Cw * (k == n && n > 1 ? Tb : Tw);
        // Surface coupling of the first layer, lower boundary coupling of the last; a column
        // of one layer has both.
        if (k == 1) {
            b += gTop;
            r += surface * gTop;
        }
        if (k == n) {
            b += gBot;
            r += gBot * Tb;
        }
        if (k > 1) {
            const double f = a / bAbove;
            b -= f * cAbove;
            r -= f * rAbove;
        }
        A[k] = a;
        B[k] = bAbove = b;
        C[k] = cAbove = c;
        R[k] = rAbove = r;
    }
    double* X = Tnew.data();
    double x = R[n] / B[n];
    X[n] = x;
    for (int k = n - 1; k >= 1; --k) {
        x = (R[k] - C[k] * x) / B[k];
        X[k] = x;
    }
}

int HeatSubsteps(double trialChange, double air, double T1, double dt, double shortest, double longest) {
    // shortest and longest are positive (checked when the settings are read), so the count is bounded.
    int N = 1;
    for (;;) {
        const double len = dt / N;
        const bool tooLarge = std::fabs(trialChange) > std::fabs(0.25 * (air - T1) * N) && len > shortest;
        if (!tooLarge && !(len > longest)) return N;
        ++N;
    }
}

}  // namespace soilheat
