#pragma once
// One call of the soil column of a cell: the sub-steps with snow-melt bypass, ponding, macropore
// infiltration, root water uptake and soil evaporation, base flow, the flux iteration, the water
// table and the booking of every water flux. Plain numbers and the column's arrays in, the
// cell's sums out; no grid store, MPI or log (the soil model does the plumbing).
//
// Grid amounts are mm per model step; one call is one of N inner sub-steps of the step, and is
// split into k water sub-steps. D = dt_min * 60000 / N / k turns mm per sub-step into m/s.
#include <array>
#include <vector>

#include "soil/soilcolumn.hpp"
#include "soil/soilcolumn_uptake.hpp"

namespace soilstep {

using soilcolumn::CellValues;
using soilcolumn::ColumnState;
using soilcolumn::SolverSettings;

// Snow cover (mm) above which part of the water input bypasses the soil.
inline constexpr double kBypassSnowCover = 10.0;
// A layer counts as saturated above this share of theta_s.
inline constexpr double kSaturatedShare = 0.9995;
// Ponding storage (mm) above which a lake cell gets no macropore infiltration.
inline constexpr double kLakePondingMacropores = 1.0;
// Most vegetation layers a cell can have.
inline constexpr int kMaxVegetationLayers = 8;
// Most tracers.
inline constexpr int kMaxTracers = 9;
// A sub-step that needs more iterations than this is logged.
inline constexpr int kLoggedIterations = 100;
// Slow sub-steps a thread keeps room for.
inline constexpr std::size_t kSlowReserve = 256;

// A sub-step that needed more than kLoggedIterations iterations (row and column set by the caller).
struct SlowSubstep {
    int row = 0, column = 0;
    int iterations = 0;
    double error = 0;
};

// One vegetation layer of the cell (index 1..V).
struct VegetationLayer {
    bool present = false;  // land-use code above nodata
    soilcolumn::RootParameters par;
    double transpiration = 0;  // potential, mm per step
    double rootDepth = 0;      // m
    double coverage = 0;
};

// Step-wide settings.
struct StepSettings {
    int method = 2;                 // 2: one sub-step; 3: dynamic sub-steps
    int N = 1;                      // inner sub-steps of the model step
    double dtMinutes = 60;          // model step
    double minStep = 1;             // shortest dynamic sub-step, s (method 3)
    bool groundwaterModel = false;  // base flow comes from the groundwater model
    SolverSettings solver;
};

// Per-cell inputs of one call.
struct CellForcing {
    double waterInput = 0;    // mm per step
    bool hasSnow = false;
    double snow = 0;          // "snowstorage_solid", mm
    double snowRunoffShare = 0;  // of the subbasin
    bool ponding = false;     // "max_ponding_storage" above 0
    double maxPonding = 0;    // mm
    bool hasSiltedUp = false;
    double siltedUp = 0;      // water standing on the surface ("SurfStorSiltingUp"), mm
    double siltedRunoff = 0;  // direct runoff of silted-up surfaces ("DirectRunoffSiltingUp"), mm per step
    bool macroporesOff = false;  // lake cell with standing water
    int vegetationLayers = 0;    // V
    std::array<VegetationLayer, kMaxVegetationLayers + 1> veg{};
    double potentialEvaporation = 0;  // mm per step
    double Q0 = 0;            // base flow at the surface, mm per step
    // With the groundwater model: the aquifer's base flow of the cell from its last step, m/s
    // (positive where its head fell and the aquifer took water away, negative where it rose).
    double groundwaterBaseflow = 0;
    double kelsqlat = 0;      // reciprocal recession depth, 1/m
    double clayDepth = 0;     // m, 0 for none
    bool irrigationFromGroundwater = false;
    // Tracers of the water input (concentration, or amount per mm for amount tracers).
    int tracerCount = 0;
    std::array<double, kMaxTracers> inputConcentration{};
    // Of the silted-up runoff: concentration, or amount per mm for amount tracers.
    std::array<double, kMaxTracers> siltedRunoffConcentration{};
    // With the groundwater model: thickness of the aquifer's first layer, m (its part below the
    // profile mixes with the saturated layers).
    double aquiferThickness = 0;
};

// The cell's sums of the call (mm unless stated) and its new state values.
struct CellResult {
    double directflow = 0, interflow = 0, drainage = 0, baseflow = 0;
    // Surface water of the store that entered the cell's input or ponding storage (not the part
    // that served transpiration); the direct flow returns what of it did not infiltrate.
    double surfaceWaterTaken = 0;
    double recharge = 0, percolation = 0, uprise = 0;
    double infiltrationExcess = 0, totalInfiltration = 0, macropore = 0;
    std::array<double, kMaxVegetationLayers + 1> transpiration{};  // real, per vegetation layer
    double evaporation = 0;                                        // real soil evaporation
    double irrigationTaken = 0;
    double riverInfiltration = 0;  // m of water over the cell taken from the river in the call
    double riverExfiltration = 0;
    int substeps = 1;
    int worstRow = 0;  // not set here; for the caller's log
    // State after the call.
    double sb1 = 0;           // root-zone water content
    double meanThetaRoot = 0; // suction of the root-zone water content (m), as the phenology reads it
    double sb2 = 0;           // profile water, mm
    double rootDepth = 0;     // mm
    double tableDistance = 0; // m, negative below the surface
    int tableLayer = 1;
    double thetaAtTable = 0;
    double topFlux = 0;       // flux through the surface, m/s (last sub-step)
    // Tracer loads of the call (amount tracers) or flow-weighted sums (concentration tracers).
    std::array<double, kMaxTracers> tracerDirect{}, tracerInterflow{}, tracerBaseflow{};
};

// Work arrays of one thread, sized for the deepest soil (re-used for every cell).
struct CellWork {
    explicit CellWork(int layers = 1) { Resize(layers); }
    void Resize(int layers);
    // Sizes the tracer arrays for count tracers (allocates only when they grow).
    void ResizeTracers(int count, int layers);
    ColumnState col;
    std::vector<double> cap, inflow, fraction, weight, uptake, uptakeSum, evap, p, w;
    std::vector<double> tracerValue, tracerOld;
    std::vector<soilcolumn::TracerColumn> tracerColumns;
    // Slow sub-steps of the pass, in the order this thread computed them.
    std::vector<SlowSubstep> slow;
};

// Water-table helpers shared with the external-table operation.
int TableLayerOf(const soil_entry& soil, const ColumnState& col);

// Sub-step count of the call (method 3: limited by the layers' travel times above the table).
int SubstepCount(const soil_entry& soil, const ColumnState& col, const StepSettings& set, int tableLayer,
                 double waterInput);

// Runs the call. The column must hold the cell's z, theta and heads (H of every layer); pond and
// thetaAtTable are the cell's stored values (updated). Returns the sums of the call.
// River exchange, when the hook is set, is called in every iteration.
// Tracers (optional): one column per tracer (values 0..n, level 0 the surface store) that the
// solute balance carries along with the water; fpe receives the first floating-point report.
// A column's decay factor is that of the whole call; StepCell turns it into the factor of its
// water sub-steps, so that a tracer decays by the same amount however the call is split.
struct CellTracers {
    soilcolumn::TracerColumn* columns = nullptr;
    soilcolumn::FpeReport* fpe = nullptr;
    unsigned row = 0, column = 0;
};
CellResult StepCell(const soil_entry& soil, CellWork& work, CellValues& cell, const StepSettings& set,
                    const CellForcing& in, double& pond, double& thetaAtTable,
                    const soilcolumn::RiverExchangeHook& river = {}, const CellTracers& tracers = {});

// Stored water of the column, m (sum of theta * d).
double StoredWater(const soil_entry& soil, const ColumnState& col);

}  // namespace soilstep
