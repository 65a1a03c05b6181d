#include "surface/evaporation_physics.hpp"

#include <algorithm>
#include <cmath>

namespace evaporation {

namespace {
constexpr double kKelvin = 273.15;
constexpr double kStefanBoltzmann = 5.67e-08;  // W/(m²·K⁴)
constexpr double kSolarConstant = 1367.0;      // W/m²
constexpr double kStandardPressure = 1013.0;   // hPa
}  // namespace

double SaturationVapourPressure(double T) { return 6.1078 * std::exp(17.269 * T / (237.3 + T)); }

double VapourPressureSlope(double T) {
    const double d = 237.3 + T;
    return 25029.0 * std::exp(17.26 * T / d) / (d * d);
}

double PsychrometricConstant(double p, double T) { return p * 1.6158 / (2500.8 - 2.372 * T); }

double BarometricPressure(double z, double T) { return kStandardPressure * std::exp(-z / (7991.0 + 29.33 * T)); }

double LatentHeat(double T) { return 694.67 - 0.6589 * T; }

int QuadraticRoots(double p, double q, double* x1, double* x2) {
    const double d = p * p / 4.0 - q;
    if (d > 0) {
        const double w = std::sqrt(d);
        *x1 = -p / 2.0 - w;
        *x2 = -p / 2.0 + w;
        return 2;
    }
    if (d == 0) {
        *x1 = *x2 = -p / 2.0;
        return 1;
    }
    *x1 = *x2 = 0.0;
    return 0;
}

SunshineRootStatus SunshineRoot(const double cs[4], double* x0) {
    const auto inUnit = [](double x) { return x >= 0.0 && x <= 1.0; };
    double root = 0;
    bool found = false;
    if (cs[3] != 0) {
        // The stationary points of the cubic: the local minimum is where sunshine starts.
        const double p = 2.0 * cs[2] / (3.0 * cs[3]);
        const double q = cs[1] / (3.0 * cs[3]);
        const double d = p * p / 4.0 - q;
        if (d > 0) {
            const double hi = -p / 2.0 + std::sqrt(d), lo = -p / 2.0 - std::sqrt(d);
            if (inUnit(hi)) root = hi, found = true;
            else if (inUnit(lo)) root = lo, found = true;
        } else if (d == 0 && inUnit(-p / 2.0)) {
            root = -p / 2.0, found = true;
        }
    } else if (cs[2] != 0) {
        double lo = 0, hi = 0;
        const int n = QuadraticRoots(cs[1] / cs[2], cs[0] / cs[2], &lo, &hi);
        if (n == 2) {
            if (inUnit(hi)) root = hi, found = true;
            else if (inUnit(lo)) root = lo, found = true;
        } else if (n == 1 && inUnit(lo)) {
            root = lo, found = true;
        }
    } else if (cs[1] != 0) {
        root = -cs[0] / cs[1];
        found = inUnit(root);
    } else {
        return SunshineRootStatus::notRelated;
    }
    if (!found) return SunshineRootStatus::noRoot;
    *x0 = root;
    return SunshineRootStatus::found;
}

double SunshineFromRadiation(const double cs[4], double x0, double r) {
    if (r <= x0) return 0.0;
    const double s = cs[0] + r * (cs[1] + r * (cs[2] + r * cs[3]));
    if (s < 0) return 0.0;
    return std::min(s, 1.0);
}

double RadiationFromSunshine(const double c[4], double s) { return c[0] + s * (c[1] + s * (c[2] + s * c[3])); }

double ClearSkyRadiation(std::span<const double> sunSines, double dh, double tau, double p) {
    const double mass = p / kStandardPressure;
    double sum = 0;
    for (const double sk : sunSines)
        if (sk > 0) sum += dh * kSolarConstant * sk * std::pow(tau, mass / sk);
    return sum;
}

double Cloudiness(double r) {
    if (r > 1.0) return 0.0;
    return std::min(1.0, 0.997 + 0.4473 * r - 1.4059 * r * r);
}

double Hamon(double T, double f, double fday) {
    const double e = SaturationVapourPressure(T) * (0.1651 * f + 0.1651 * f) * fday * 216.7 / (T + 273.3);
    return std::max(e, 0.0);
}

double Wendling(double rg, double albedo, double fk, double T) {
    const double e = (rg * 0.36 * (1.1 - albedo) + 93.0 * fk) * (T + 22.0) / ((T + 123.0) * 150.0);
    return std::max(e, 0.0);
}

double Haude(double T14, bool hasHumidity, double rh14, double e14, double fh) {
    const double es = T14 < 0 ? 6.11 * std::exp(22.46 * T14 / (T14 + 272.46))
                              : 6.11 * std::exp(17.62 * T14 / (T14 + 243.12));
    // A humidity above 1 (a percentage or an overshoot) means saturated air, below 0 dry air.
    const double rh = hasHumidity ? rh14 : e14 / es;
    const double dryness = 1.0 - std::clamp(rh, 0.0, 1.0);
    return std::min(es * fh * dryness, 7.0);
}

double AerodynamicResistance(double z0, double u) {
    LayerMemo memo;
    return AerodynamicResistance(z0, u, memo);
}

double AerodynamicResistance(double z0, double u, LayerMemo& memo) {
    if (z0 > 2.0) return 25.0 / (1.0 + 0.54 * u);
    const double l = memo.Log(20.0 / z0);
    return 4.72 * l * l / (1.0 + 0.54 * u);
}

double SurfaceResistance(double lai, double vcf, double rsc, bool daytime) {
    LayerMemo memo;
    return SurfaceResistance(lai, vcf, rsc, daytime, memo);
}

double SurfaceResistance(double lai, double vcf, double rsc, bool daytime, LayerMemo& memo) {
    if (lai > 0 && vcf > 0) {
        if (!(rsc > 0)) return 0.0;
        return daytime ? rsc / (1.0 - memo.Pow06(lai * vcf)) : 1.0 / (0.0004 * lai * vcf);
    }
    return rsc > 0 ? 2500.0 : 0.0;
}

AirTerms Air(double T, double p) {
    AirTerms air;
    air.latentHeat = LatentHeat(T);
    air.saturation = SaturationVapourPressure(T);
    air.ratio = VapourPressureSlope(T) / PsychrometricConstant(p, T);
    return air;
}

LayerResult PenmanMonteithLayer(const LayerInput& in, LayerRunning& running) {
    return PenmanMonteithLayer(in, Air(in.T, in.pressure), running);
}

LayerResult PenmanMonteithLayer(const LayerInput& in, const AirTerms& air, LayerRunning& running) {
    LayerMemo memo;
    return PenmanMonteithLayer(in, air, running, memo);
}

LayerResult PenmanMonteithLayer(const LayerInput& in, const AirTerms& air, LayerRunning& running, LayerMemo& memo) {
    const double T = in.T;
    const double lambda = air.latentHeat;
    double& remainder = in.daytime ? running.remainderDay : running.remainderNight;

    // The energy reaching this layer: the radiation balance for the top layer, else what the
    // layers above left in this part of the step.
    double energy;
    if (in.top) {
        if (in.netRadiationGiven) {
            energy = in.fraction * in.netRadiation / lambda;
        } else {
            const double rnl = (0.48 - 0.065 * std::sqrt(in.vapour)) * (in.c0 + (1.0 - in.c0) * in.sunshine) *
                               kStefanBoltzmann * (in.stepMinutes / 60.0) * in.fraction *
                               std::pow(T + kKelvin, 4);
            energy = in.daytime ? 0.9 * (in.netShortwave - rnl) / lambda : -rnl / lambda;
        }
    } else {
        energy = remainder;
    }
    double q = (1.0 - memo.Exp(-in.extinction * in.lai)) * in.vcf * energy;
    remainder = std::max(0.0, energy - q);
    if (in.openWater) q = energy;  // the water surface takes all energy that reaches it

    const double es = air.saturation;
    const double ratio = air.ratio;
    const double deficit = std::max(0.0, es - in.vapour);

    double ra;
    if (in.top) {
        ra = AerodynamicResistance(in.z0, in.wind, memo);
        running.raTop = ra;
    } else {
        ra = running.raTop + in.laiScale * in.laiAbove;
    }
    const double rs = SurfaceResistance(in.lai, in.vcf, in.rsc, in.daytime, memo);
    const double ea = in.fraction * in.stepMinutes * 60.0 * 0.216876 * deficit / ((T + kKelvin) * ra);

    LayerResult out;
    out.transpiration = (ratio * q + ea) / (ratio + 1.0 + rs / ra);
    if (in.openWater) return out;
    out.interception = (ratio * q + ea) / (ratio + 1.0 + in.rsi / ra);
    if (in.lowest) out.soil = (ratio * remainder + ea) / (ratio + 1.0 + in.rse / ra);
    return out;
}

void TakeFromSnow(double& demand, double& snow, double& taken) {
    if (demand <= snow) {
        taken += demand;
        snow -= demand;
        demand = 0.0;
    } else {
        taken += snow;
        demand -= snow;
        snow = 0.0;
    }
}

}  // namespace evaporation
