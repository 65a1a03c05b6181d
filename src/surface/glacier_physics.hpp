#pragma once
// Glacier physics of one cell or one subbasin: the three linear runoff storages of a
// glacierized subbasin, the firn levels (melt from the youngest level down and the yearly
// push-down), degree-day and radiation melt of snow, firn and ice on glaciers, the
// volume-area scaling of glacier records and the permafrost thaw depth.
// Plain numbers in and out: no grid store, no MPI, no log.
#include <span>

namespace glacier {

// Floors of the volume-area scaling: area in km2, volume in m x km2.
inline constexpr double kMinArea = 0.01;
inline constexpr double kMinVolume = 0.0543;

// Outflow of a linear storage with constant k (in steps) after one step with the given
// input: Q e^(-1/k) + (1 - e^(-1/k)) input. Constant input converges to the input.
double StorageOutflow(double outflow, double k, double input);

// The ice, firn and snow-on-glacier values of one subbasin.
struct Triple {
    double ice = 0, firn = 0, snow = 0;
};

// Routes the mean melt inputs of a subbasin (per cell of the subbasin) through its storages.
// phi is the glacierized share of the subbasin; the storages see input / phi. Returns the
// subbasin's runoff per cell, (Qice + Qfirn + Qsnow) phi; phi <= 0 empties the storages.
double RouteSubbasin(Triple& outflow, const Triple& k, const Triple& input, double phi);

// Yearly push-down of a firn column: levels[1..n] (level 1 the youngest), levels[0] their sum.
// Level k+1 takes level k (the deepest is dropped), level 1 takes swe, level 0 the new sum.
// nodata levels count as 0 in the sum.
void PushDownFirn(std::span<double> levels, double swe, double nodata);

// Takes melt from the firn levels, level 1 first (nodata counts as 0, an emptied level is 0),
// sets level 0 to the new sum and returns the part the firn could not supply.
double MeltFirn(std::span<double> levels, double melt, double nodata);

// Sum of levels 1..n, nodata counted as 0.
double FirnSum(std::span<const double> levels, double nodata);

// Melt parameters of glaciers ("[ice_firn]") with the step length.
struct MeltParameters {
    int method = 1;  // 1, 2, 11, 12, 13
    double T0 = 0;
    double DDFice = 0, DDFfirn = 0, DDFsnow = 0, MF = 0;
    double debrisScale = 1.0;
    double stepsPerDay = 24;
};

// Methods 2, 12 and 13 melt with radiation; 1 and 11 by degree days.
bool UsesRadiation(int method);
// Dynamic glacier methods (11, 12, 13).
bool IsDynamic(int method);

// Potential melt of the step (mm) for air temperature T above T0, else 0. snowFactor and
// iceFactor are the seasonal radiation factors, R the radiation, debris the cell's debris
// factor (1 without debris).
double SnowMelt(const MeltParameters& p, double T, double snowFactor, double R);
double FirnMeltRate(const MeltParameters& p, double T, double snowFactor, double R);
double IceMeltRate(const MeltParameters& p, double T, double iceFactor, double R, double debris);

// Volume-area scaling V = c A^exponent.
struct Scaling {
    double c = 28.5, exponent = 1.36;
};
// Volume of an area floored at kMinArea (the floored area is stored back).
double VolumeOfArea(double& area, Scaling s);
// Area of a volume floored at kMinVolume (the floored volume is stored back).
double AreaOfVolume(double& volume, Scaling s);

// Start values of a glacier record from its counted area.
struct StartValues {
    double area = 0, volume = 0, previousArea = 0, previousVolume = 0;
};
StartValues StartRecord(double countedArea, Scaling s);

// Snow-free and snow-cover day counters and thaw depth (m) of one permafrost cell.
struct PermafrostCell {
    double snowFreeDays = 0, snowCoverDays = 0, thawDepth = 0;
};
struct PermafrostParameters {
    double minSnowAgeRefreeze = 0;  // days of cover that refreeze the ground
    double maxSweSnowFree = 0;      // mm of snow still counted as snow-free
    double stepsPerDay = 24;
};
// One step: thaw = coefficient sqrt(snow-free days) while the cover stays at or below the
// snow-free limit; a lasting cover resets counter and thaw. Returns the new thaw depth.
double PermafrostStep(const PermafrostParameters& p, double cover, double coefficient, PermafrostCell& cell);

}  // namespace glacier
