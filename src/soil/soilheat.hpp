#pragma once
// Heat conduction in one soil column: layer conductivity, latent heat capacity of freezing
// water, the explicit flux scheme with its limiter and the implicit tridiagonal scheme with
// optional heat advection by water. Layers are 1..n; index 0 is the surface where used.
// Fluxes are positive upwards (W/m2); q[k] is the flux through the bottom of layer k.
#include <span>

namespace soilheat {

constexpr double kAirConductivity = 0.0262;       // W/(m K)
constexpr double kWaterHeatCapacity = 4187000.0;  // J/(m3 K)

// Conductivity of a layer of porosity thetaS, water content theta and unfrozen fraction f,
// with the mineral, water and ice conductivities.
double Conductivity(double thetaS, double theta, double f, double lamSoil, double lamWater, double lamIce);
// The mineral part of that conductivity: lamSoil to the power of the mineral share. It does not
// depend on the unfrozen fraction, so a layer that freezes or thaws at a fixed water content
// keeps it.
double MineralFactor(double thetaS, double theta, double lamSoil);
// Conductivity with the mineral part given (MineralFactor of the same thetaS, theta and lamSoil):
// the same value as Conductivity, bit for bit.
double ConductivityWithMineral(double thetaS, double theta, double f, double mineral, double lamWater,
                               double lamIce);
// Apparent heat capacity of the water freezing or thawing in a layer (J/(m3 K)).
inline double LatentHeatCapacity(double theta, double residual, double dSdT, double latentHeat, double rhoWater) {
    return theta > residual ? latentHeat * rhoWater * (theta - residual) * dSdT : 0.0;
}

struct Column {
    int n = 0;
    std::span<const double> lambda;    // 1..n
    std::span<const double> capacity;  // 1..n, volumetric J/(m3 K)
    std::span<const double> thickness; // 1..n, m
};

// Fluxes q[0..n] of the explicit scheme for a surface temperature and a lower boundary temperature.
void LayerFluxes(const Column& col, std::span<const double> T, double surface, double lower, std::span<double> q);
// Temperature changes dT[1..n] over dt seconds from the fluxes.
void TemperatureChange(const Column& col, std::span<const double> q, double dt, std::span<double> dT);
// Applies the changes from the last layer up; with limit on no layer overshoots its
// neighbours' temperatures at the start of the step (taken from `start`).
void ApplyChanges(int n, std::span<double> T, std::span<const double> start, std::span<const double> dT,
                  std::span<const double> q, bool limit, double lower, double air);
// One explicit step: T[1..n] advances over dt seconds. q and dT are work arrays of n + 1.
void ExplicitStep(const Column& col, std::span<double> T, double surface, double lower, double air, double dt,
                  std::span<double> q, std::span<double> dT, std::span<double> start);

// Water moving heat through the column (implicit scheme with advection).
struct Advection {
    std::span<const double> flux;        // 0..n, m/s, negative downwards
    std::span<const double> macropore;   // 1..n, m/s of macropore water entering each layer (negative)
    double waterTemperature = 0;         // temperature of the water entering
};

// Work arrays of the implicit scheme, each n + 1 long.
struct Tridiagonal {
    std::span<double> a, b, c, r;
};

// One implicit step: Tnew[1..n] from Told over dt seconds; lowerFlux is used when fluxBoundary.
void ImplicitStep(const Column& col, std::span<const double> Told, double surface, double lower, bool fluxBoundary,
                  double lowerFlux, double dt, const Advection* advection, Tridiagonal work, std::span<double> Tnew);

// Number of heat sub-steps of a step of dt seconds from the trial change of layer 1.
int HeatSubsteps(double trialChange, double air, double T1, double dt, double shortest, double longest);

// ---- initial temperatures from degree days of a temperature series before the model period

// Temperature at the top of permafrost from thawing and freezing degree days over a period of
// `years`; false (no value) when the period is empty.
bool TopOfPermafrost(double lamThawed, double lamFrozen, double nThawing, double nFreezing, double thawingDays,
                     double freezingDays, double years, double& ttop);
// Conductivity of a layer with all its water liquid (or all frozen, with lamIce as lamWater).
double DegreeDayConductivity(double thetaS, double theta, double lamSoil, double lamWater);
// Layer (1-based) where the summed thicknesses reach 1 m, or n.
int OneMetreLayer(std::span<const double> thickness, int n);
// Initial temperatures T[1..n]: with permafrost (ttop below 0) ttop at the 1 m layer, linear
// above it from the annual mean at the surface and rising below it by the geothermal flux G
// (W/m2); without permafrost the annual mean in layer 1, rising by G below.
void InitialProfile(int n, std::span<const double> thickness, std::span<const double> lamThawed,
                    std::span<const double> lamFrozen, double annualMean, double ttop, double G, std::span<double> T);

}  // namespace soilheat
