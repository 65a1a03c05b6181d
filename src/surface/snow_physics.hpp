#pragma once
// Snow physics of one cell for one pass of one time step: the split of the water input into
// snow and rain, accumulation, melt by the degree-day, wind, combination and energy-balance
// formulas, refreezing and (energy balance) sublimation with the pack and surface temperatures.
// Plain numbers in and out: no grid store, no MPI, no log.
#include <cstdint>

namespace snow {

// Kelvin of 0 degrees Celsius as the snow model uses it.
inline constexpr double kFreezing = 273.16;

// Parameters of "[snow_model]" the cell step uses, with the step length.
struct SnowParameters {
    int method = 1;
    double transzone = 0, T0R = 0, T0 = 0, CRFR = 0, C0 = 0, C1 = 0, C2 = 0;
    double LWINcorr = 1.0, LWOUTcorr = 1.0;
    double timeStep = 60;     // minutes
    double stepsPerDay = 24;  // 1440 / timeStep
    double nodata = -9999.0;
};

// Methods by what they do (see the method table of the model).
bool IsEnergyBalanceMethod(int method);  // 5, 6, 7, 11
bool IsDepositionMethod(int method);     // 7, 9, 10, 11, 13, 14
bool IsSlideMethod(int method);          // 6, 7, 8, 9, 12, 14
bool NeedsWindSpeed(int method);         // all but 1, 8, 9, 10

// What one pass of one cell reads.
struct CellInput {
    double P = 0;        // water input of the step, mm (deposition raises it)
    double T = 0;        // air temperature, degrees C
    double weight = 1;   // share of the step this pass stands for
    bool lake = false;   // open-water cell: all input is rain
    bool glacierPass = false;
    double snowIn = 0, rainIn = 0;  // glacier pass: the split the first pass left
    double depositionIndex = 0;
    double wind = 0;           // m/s
    double vapourPressure = 0; // hPa (method 4)
    double humidity = 0;       // relative, fraction
    double cloudiness = 0;     // fraction
    double radiation = 0;      // short-wave of the step, Wh/m2
    double albedo = 0;
    double elevation = 0;      // m
    bool hasSurfaceTemperature = false;
    double surfaceTemperature = 0;  // K, or degrees C when below 100
    bool hasRadiationCorrection = false;
    double radiationCorrection = 1;
    double rmf = 0;  // seasonal melt factor of the day
};

// Per-cell state, in and out. Temperatures in K, nodata where there is no snow.
struct CellState {
    double S = 0, L = 0, W = 0;
    double Tp = 0, Ts = 0;
    double E = 0;  // snow evaporation of the pass (positive: loss), left unchanged when none
};

// What a pass returns besides the state.
struct PassResult {
    double melt = 0;      // mm, already multiplied by the weight
    double snowPart = 0;  // share of the input falling as snow
    double snow = 0, rain = 0;  // split amounts of the step (after deposition), mm
    double P = 0;         // water input after deposition
    int evaluations = 0;  // energy-balance evaluations of the cold-case search
};

// Share of the input falling as snow at air temperature T.
double SnowPart(double T, double T0R, double transzone);

// Seasonal factor mean + amplitude * sin((n - 80) * 2 pi / 365), n the day of the year.
double SeasonalFactor(double minValue, double maxValue, int dayOfYear);
// Day of the year from day and month with the fixed month lengths (February 28).
int DayOfYear(std::int64_t day, std::int64_t month);

// Saturation vapour pressure over ice, hPa (T in degrees C).
double SaturationVapourPressureIce(double T);

// Terms of the surface energy balance, W/m2, for a surface at Ts (K).
struct EnergyBalance {
    double Tk = 0;       // air temperature, K
    double ea = 0;       // vapour pressure of the air, hPa
    double fu = 0;       // wind function
    double constant = 0; // short-wave, incoming long-wave, heat of rain and snow, ground heat
    double LWOUTcorr = 1;
    double LatentHeat(double Ts) const;
    double OutgoingLongWave(double Ts) const;
    double TotalWithLatent(double Ts, double LE) const;
};
EnergyBalance MakeEnergyBalance(const SnowParameters& p, const CellInput& in, double snow, double rain);

// Wet-bulb temperature (degrees C) for air at T with vapour pressure ea and elevation z.
double WetBulbTemperature(double T, double ea, double elevation);

// One pass of one cell; see the model description of the snow cell step.
PassResult SnowCellStep(const SnowParameters& p, const CellInput& in, CellState& st);

}  // namespace snow
