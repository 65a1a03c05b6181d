#pragma once
// Macropore infiltration, root water uptake with soil evaporation, and the solute balance of
// one soil column. Plain arrays in, arrays out (layers 1..n, index 0 as stated per array); no
// grid store, MPI or log inside the column functions.
#include <cstdint>

#include "soil/soilcolumn.hpp"

class DiagLog;

namespace soilcolumn {

// Refuses macropore parameters that would give no number ("CapacityRedu" below 0 raised to a
// fractional depth): "FATAL: " entry naming the soil type, error 17. Called when the soil model
// starts, once per soil type.
void CheckMacroporeParameters(DiagLog& log, const soil_entry& soil);

// Moves the part of the supply rate above "PMacroThresh" into the layers whose middle lies above
// "MacroDepth", filling them from the deepest. supply (m/s) is reduced by the total / stepFactor;
// stepFactor turns a rate into mm for the step. capacity and inflow (rate) are written for every
// layer 1..n; theta changes. Returns the total in mm.
double MacroporeInfiltration(const soil_entry& soil, double& supply, double stepFactor, double* theta,
                             double* capacity, double* inflow);

// Land-use values of a vegetation layer.
struct RootParameters {
    double rootDist = 0;      // shape of the root distribution
    double hReduDry = 0;      // suction (m) at which dry stress begins
    double tReduWet = 1;      // fraction of theta_s at which wet stress begins
    double limitReduWet = 1;  // uptake factor at saturation
};

// Outputs per layer 1..n (index 0 unused).
struct RootArrays {
    double* fraction = nullptr;     // rooted part of the layer / root depth
    double* weight = nullptr;       // root weight after stress
    double* uptake = nullptr;       // uptake of this vegetation layer, m/s
    double* uptakeSum = nullptr;    // running sums over the vegetation layers, m/s (added to)
    double* evaporation = nullptr;  // soil evaporation per layer, m/s
};

// Root water uptake of one vegetation layer and soil evaporation. rootDepth is raised to at
// least the first layer's thickness. transpiration T and evaporation demand E0 in m/s;
// evapMaxDepth De in m. evaporationSum is added to. Returns the number of layers visited.
// sameTableAsAbove (optional, per layer as ColumnState's): a layer whose tables equal the layer
// above's takes that layer's water content of dry stress instead of looking it up again.
int RootDistribution(const soil_entry& soil, const RootParameters& par, double& rootDepth, double coverage,
                     double transpiration, double evaporationDemand, double dt, double evapMaxDepth,
                     const double* theta, const double* z, int tableLayer, const RootArrays& out,
                     double& evaporationSum, const unsigned char* sameTableAsAbove = nullptr);

// Per tracer: what the layer values mean and how they decay.
struct TracerParameters {
    bool mass = false;         // layer values are masses (else concentrations)
    double maxValue = 0;       // R: largest value a unit of water carries (mass tracers)
    bool decays = false;       // radioactive
    double decayFactor = 1.0;  // per sub-step
};
// Decay factor of a sub-step of `minutes` for a half-life in days.
double DecayFactor(double halfLifeDays, double minutes);

// One tracer of the column.
struct TracerColumn {
    TracerParameters par;
    double* value = nullptr;  // 0..n, 0 = surface store
    double* old = nullptr;    // 0..n, filled with the values at the start
    double riverValue = 0;    // the river's value (river infiltration)
    double groundwater = 0;   // the groundwater model's value of the cell (in/out)
    // Sums of the call (masses for mass tracers, concentrations for concentration tracers).
    double interflow = 0, baseflow = 0, exfiltration = 0;
};

// Water of the sub-step the solutes move with.
struct SoluteWater {
    double dt = 0;        // s
    double factor = 0;    // F: mm per sub-step for a rate in m/s
    int tableLayer = 1;   // g
    const double* p = nullptr;  // inflow from below, 0..n (m/s)
    const double* w = nullptr;  // base-flow withdrawal per layer, 0..n (m/s)
    double exfiltrationTotal = 0;  // B, m/s
    double interflowTotal = 0;     // I, m/s
    double directFlow = 0;         // S, m/s
    double cellBaseflow = 0;       // the cell's "baseflow" value
    bool groundwaterActive = false;
    double aquiferThickness = 0;   // "aquifer_thickness_1", m (groundwater model)
};

// First floating-point report of a column, handed to the caller, which logs it once and
// serialised; nothing is logged inside the column.
struct FpeReport {
    bool raised = false;    // in: the floating-point flag of the model is set
    bool recorded = false;  // out: a report was taken
    unsigned row = 0, column = 0, layer = 0, tracer = 0;
    double flux[5] = {0, 0, 0, 0, 0};
};

// Keeps in `into` the earlier (by row, column, layer, tracer) of two recorded reports, so that
// the one entry the caller logs after a parallel pass does not depend on the threads.
void MergeFpeReports(FpeReport& into, const FpeReport& other);

// Solute balance of the column for the sub-step (moves no water).
void ColumnBalance(const soil_entry& soil, ColumnState& col, const SoluteWater& water, TracerColumn* tracers,
                   int tracerCount, unsigned row, unsigned column, FpeReport& fpe);

}  // namespace soilcolumn
