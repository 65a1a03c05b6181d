#pragma once
// The physics of potential evapotranspiration for one cell: vapour pressure, clear-sky
// radiation, cloudiness, the three empirical methods and the Penman-Monteith evaporation of one
// vegetation layer. Plain numbers in, numbers out: no grid store, no MPI, no log.
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>

namespace evaporation {

// Saturation vapour pressure over water, hPa, for T in °C.
double SaturationVapourPressure(double T);
// Slope of the saturation vapour pressure curve, hPa/K.
double VapourPressureSlope(double T);
// Psychrometric constant, hPa/K, for air pressure p (hPa) and T (°C).
double PsychrometricConstant(double p, double T);
// Barometric air pressure, hPa, at elevation z (m) and air temperature T (°C).
double BarometricPressure(double z, double T);
// Latent heat of vaporisation in Wh/m² per mm of water at T (°C).
double LatentHeat(double T);

// Real roots of x² + p·x + q: their number (2, 1 or 0); x1 <= x2, both the double root for one
// root and both 0 for none.
int QuadraticRoots(double p, double q, double* x1, double* x2);

// The relative global radiation below which the relative sunshine duration of the cubic
// CS[0] + CS[1]·r + CS[2]·r² + CS[3]·r³ is 0.
enum class SunshineRootStatus { found, notRelated, noRoot };
SunshineRootStatus SunshineRoot(const double cs[4], double* x0);

// Relative sunshine duration from the relative global radiation r (0 at or below x0 and where
// the cubic is negative, at most 1).
double SunshineFromRadiation(const double cs[4], double x0, double r);
// Relative global radiation c0 + c1·s + c2·s² + c3·s³ for the relative sunshine duration s.
double RadiationFromSunshine(const double c[4], double s);

// Clear-sky global radiation of the daylight part of a step, Wh/m²: the sum over the
// sub-steps of Δh·1367·sk·τ^((p/1013)/sk), sk the sine of the sun height in the sub-step.
// A sub-step with the sun at or below the horizon adds nothing.
double ClearSkyRadiation(std::span<const double> sunSines, double dh, double tau, double p);

// Cloudiness index 0..1 from the relative global radiation r.
double Cloudiness(double r);

// Hamon: potential evapotranspiration in mm for T (°C), the monthly factor f and the daylight
// fraction of the step; never negative.
double Hamon(double T, double f, double fday);
// Wendling: mm from the global radiation of the step (Wh/m²), the albedo, the coast factor fk
// and T (°C); never negative.
double Wendling(double rg, double albedo, double fk, double T);
// Haude: mm from the 14 h temperature, its relative humidity (used when hasHumidity, clamped
// to [0, 1]) or vapour pressure e14 (hPa), and the monthly factor fh; at most 7 mm.
double Haude(double T14, bool hasHumidity, double rh14, double e14, double fh);

// The last argument and result of each library call of a layer whose argument comes from the
// vegetation parameters (leaf area, cover, roughness): neighbouring cells of one land use repeat
// them, so the call is made again only for an argument of other bits. An argument of the same
// bits gives the same result, so the values are those of the plain calls. One per thread.
class LayerMemo {
public:
    double Exp(double x) { return Take(exp_, x, [](double a) { return std::exp(a); }); }
    double Log(double x) { return Take(log_, x, [](double a) { return std::log(a); }); }
    // 0.6 to the power x.
    double Pow06(double x) { return Take(pow06_, x, [](double a) { return std::pow(0.6, a); }); }

private:
    struct Last {
        bool known = false;
        std::uint64_t bits = 0;
        double value = 0;
    };
    template <class F>
    static double Take(Last& last, double x, F f) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
        if (!last.known || last.bits != bits) last = Last{true, bits, f(x)};
        return last.value;
    }
    Last exp_, log_, pow06_;
};

// Aerodynamic resistance of the top layer, s/m, for roughness length z0 (m) and wind u (m/s).
double AerodynamicResistance(double z0, double u);
double AerodynamicResistance(double z0, double u, LayerMemo& memo);
// Surface resistance of a vegetation layer, s/m, by day or by night.
double SurfaceResistance(double lai, double vcf, double rsc, bool daytime);
double SurfaceResistance(double lai, double vcf, double rsc, bool daytime, LayerMemo& memo);

// Everything one Penman-Monteith evaluation of a layer and one part of the step reads.
struct LayerInput {
    double T = 0;         // air temperature of the part, °C
    double fraction = 0;  // share of the step: fday or fnight
    bool daytime = false;
    bool top = false;     // the first layer (takes its energy from the radiation)
    bool lowest = false;  // the last layer with vegetation data (gives the soil evaporation)
    bool openWater = false;
    double lai = 0, vcf = 0, rsc = 0, rsi = 0, z0 = 0, rse = 0;
    double wind = 0;
    double pressure = 0;  // hPa
    double vapour = 0;    // hPa
    double stepMinutes = 0;
    double c0 = 0;           // diffuse fraction of the global radiation
    double sunshine = 0;     // relative sunshine duration s
    double netShortwave = 0; // S, Wh/m² of the step
    bool netRadiationGiven = false;
    double netRadiation = 0;  // RN of the step, Wh/m²
    double extinction = 0.3, laiScale = 10.0;
    double laiAbove = 0;  // leaf area of the valid layers above
};

// Running values of one cell, passed down its layers.
struct LayerRunning {
    double raTop = 0;
    double remainderNight = 0;
    double remainderDay = 0;
};

struct LayerResult {
    double transpiration = 0;
    double interception = 0;
    double soil = 0;
};

// The terms of the air at temperature T (°C) and pressure p (hPa) that every layer of a cell
// takes in one part of the step.
struct AirTerms {
    double latentHeat = 0;  // LatentHeat(T)
    double saturation = 0;  // SaturationVapourPressure(T)
    double ratio = 0;       // VapourPressureSlope(T) / PsychrometricConstant(p, T)
};
AirTerms Air(double T, double p);

// Potential transpiration, interception evaporation and (lowest layer) soil evaporation of one
// layer for one part of the step, in mm.
LayerResult PenmanMonteithLayer(const LayerInput& in, LayerRunning& running);
// The same with the terms of the air at in.T and in.pressure given (Air(in.T, in.pressure)).
LayerResult PenmanMonteithLayer(const LayerInput& in, const AirTerms& air, LayerRunning& running);
// The same with the memo of the thread's last vegetation terms.
LayerResult PenmanMonteithLayer(const LayerInput& in, const AirTerms& air, LayerRunning& running, LayerMemo& memo);

// Takes an evaporation demand E from a snow store S: the amount taken goes to taken, E and S
// shrink by it.
void TakeFromSnow(double& demand, double& snow, double& taken);

}  // namespace evaporation
