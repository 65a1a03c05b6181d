#pragma once
// Cell physics of the silting-up (sealing) of tilled soil by rain: the erodibility value K from
// the grain-size fractions, the kinetic energy of rain per mm, the time since the last soil
// tillage, the built-in laws of disposition and infiltration capacity, and the split of the
// water on the surface into infiltration and direct runoff. Plain numbers in, numbers out.
#include <cstdint>

namespace silting {

// Rain intensities (mm/h) at or below this count as a dry step.
constexpr double kDryIntensity = 0.05;
// From this intensity (mm/h) on, the energy per mm of rain no longer grows.
constexpr double kEnergyLimitIntensity = 76.2;
// A tillage list whose element 0 lies below this holds no tillage.
constexpr std::int32_t kNoTillage = -9997;
// Time since tillage on the day of tillage itself (days).
constexpr double kTillageDayValue = 0.3;

// Parameters A..H of the built-in laws.
struct BuiltInParameters {
    double A = 65.0;   // initial infiltration rate I_0, mm/h
    double B = 12.2;   // final infiltration rate I_inf = B K^C (100 sand)^D
    double C = 0.52;
    double D = -0.64;
    double E = 0.013;  // disposition E (100 sand)^F K^G t^H
    double F = -1.03;
    double G = 0.7;
    double H = -0.19;
};

// Grain-size fractions of a soil in list order: sand, silt, clay, stones1..4 (summing to 1).
struct GrainSizes {
    double sand = 0, silt = 0, clay = 0, stones1 = 0, stones2 = 0, stones3 = 0, stones4 = 0;
};

// K = 10^(0.5 * sum of each fraction times the log10 of its representative grain size term).
double GrainSizeK(const GrainSizes& g);

// Rain intensity in mm/h of input mm falling within dtMinutes.
inline double RainIntensity(double input, double dtMinutes) { return input / (dtMinutes / 60.0); }

// Kinetic energy of rain per mm at intensity P (mm/h): 0 when dry, 11.89 + 8.73 log10(P) up to
// 76.2 mm/h and 28.33 from there on.
double RainEnergyPerMm(double P);

// Rain pause in days after a step of dtMinutes with intensity P: grows on dry steps, else 0.
double NextRainPause(double pause, double P, double dtMinutes);

// Whether the tillage list (element 0 = last day - 366, 1..count the days) holds any tillage.
inline bool HasTillage(const std::int32_t* days) { return days != nullptr && days[0] >= kNoTillage; }

// Days since the last tillage on day of year jd; 0 without tillage, 0.3 on a tillage day, and
// previous where the list gives no reference day.
double TimeSinceTillage(int jd, std::int32_t count, const std::int32_t* days, double previous);

// Built-in laws: final infiltration rate (mm/h) and disposition (0 for t <= 0).
double FinalInfiltrationRate(const BuiltInParameters& p, double K, double sand);
double Disposition(const BuiltInParameters& p, double K, double sand, double timeSinceTillage);

// The parts of the built-in laws that depend on the soil alone, computed once per soil type:
// the final infiltration rate and the disposition factor E (100 sand)^F K^G.
struct SoilLaws {
    double finalRate = 0;
    double dispositionFactor = 0;
};
SoilLaws PrepareSoilLaws(const BuiltInParameters& p, double K, double sand);
// Disposition from the prepared factor: factor t^H, 0 for t <= 0.
double Disposition(const SoilLaws& soil, double H, double timeSinceTillage);

// Energy brought by the rain of one step: P W (1 - cover) dt / 60.
inline double StepEnergy(double P, double W, double cover, double dtMinutes) {
    return P * W * (1.0 - cover) * dtMinutes / 60.0;
}

// Accumulated kinetic energy since the last rain pause: 0 on untilled soil, restarts with the
// step's energy after a pause of at least minPause days, else grows by it.
double NextKineticEnergy(double energy, double stepEnergy, double pause, double minPause, double timeSinceTillage);

// Infiltration capacity of the step (mm): (exp(-disposition E) (I_0 - I_inf) + I_inf) dt / 60.
// An infinite final rate (soil without sand) is an unlimited capacity.
double InfiltrationCapacity(double disposition, double energy, double I0, double Iinf, double dtMinutes);

// Water on the surface (input + store) split by the capacity V: what infiltrates stays with the
// cell's water input, the rest is direct runoff. Untilled soil has no direct runoff. The runoff
// lies in [0, water] for any capacity (a negative or undefined capacity takes none).
struct WaterSplit {
    double water = 0;         // input + store, the new store
    double infiltration = 0;  // what the water-input grid keeps
    double runoff = 0;        // direct runoff, mm per step
};
WaterSplit SplitWater(double input, double store, double capacity, bool tilled);

// One cell and step with the built-in laws.
struct CellInput {
    double input = 0;            // water input of the step, mm
    double store = 0;            // surface store before the step, mm
    double K = 1, sand = 0;      // soil values
    double cover = 0;            // residue plus vegetation cover, at most 1
    double timeSinceTillage = 0; // this step's value, days
    bool tilled = false;
    double minPause = 0;         // minimum rain pause of the subbasin, days
    double dtMinutes = 60;
};
struct CellState {
    double rainPause = 0;    // days
    double energy = 0;       // kinetic energy since the last rain pause
    double disposition = 0;
};
WaterSplit BuiltInCellStep(const BuiltInParameters& p, const CellInput& in, CellState& state);

}  // namespace silting
