#pragma once
// One call of the soil column of a cell: the sub-steps with snow-melt bypass, ponding, macropore
// infiltration, root water uptake and soil evaporation, base flow, the flux iteration, the water
// table and the booking of every water flux. Plain numbers and the column's arrays in, the
// cell's sums out; no grid store, MPI or log (the soil model does the plumbing).
//
// Grid amounts are mm per model step; one call is one of N inner sub-steps of the step, and is
// split into k water sub-steps. D = dt_min * 60000 / N / k turns mm per sub-step into m/s.
#include <array>
#include <cstdint>
#include <vector>

#include "soil/soilcolumn.hpp"
#include "soil/soilcolumn_uptake.hpp"
#include "soil/unsatzon_dump.hpp"

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

// Soil heat transfer of the column (method 0: off).
struct HeatSettings {
    int method = 0;  // 10 or less: explicit; above 10: implicit; above 11: implicit with advection
    double lamWater = 0.5562, lamIce = 2.33;        // W/(m K)
    double cWater = 4187, cIce0 = 2090, cIce20 = 1940;  // J/(kg K)
    double rhoWater = 1000;                         // kg/m3
    double latentHeat = 334000;                     // J/kg
    double shortest = 60, longest = 1800;           // heat sub-step limits, s
    bool on() const { return method > 0; }
};

// A sub-step that failed the dump-mode check, with the column's snapshot. Arrays hold n + 1
// values each: fourteen taken before the iteration (psiOld, K, thetaStar, thetaOld, thetaMean,
// H, z, q, e, theta_s, thickness, field capacity, theta_r, theta), with heat seven more taken after
// the heat steps (unfrozen fraction, temperatures before, conductivity, heat capacity, latent heat
// capacity, dS/dT, temperatures after).
struct DumpRecord {
    soildump::Flags flags;
    int substep = 1;
    int rootLayers = 1;
    double tableDistance = 0;  // m, at the start of the sub-step
    double input = 0;          // water input of the sub-step, mm
    double baseflow = 0;       // m/s
    int vegetationLayers = 0;
    const double* transpiration = nullptr;  // real, mm, 0..V
    int n = 0;
    const double* arrays = nullptr;  // 14 (21 with heat) arrays of n + 1
    bool heat = false;
    double heatDt = 0;
    int k = 1;
    double ds = 0;
    int m = 0, h = 0;
    double airTemperature = 0;
};
// Receives every failing sub-step in dump mode (set by the soil model; null: no dump mode).
struct DumpHook {
    void (*call)(void* context, const DumpRecord& record) = nullptr;
    void* context = nullptr;
    bool on() const { return call != nullptr; }
};

// Step-wide settings.
struct StepSettings {
    int method = 2;                 // 2: one sub-step; 3: dynamic sub-steps
    int N = 1;                      // inner sub-steps of the model step
    double dtMinutes = 60;          // model step
    double minStep = 1;             // shortest dynamic sub-step, s (method 3)
    bool groundwaterModel = false;  // base flow comes from the groundwater model
    SolverSettings solver;
    HeatSettings heat;
    DumpHook dump;
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
    // Of the water standing on the surface (siltedUp): concentration.
    std::array<double, kMaxTracers> siltedUpConcentration{};
    // Heat transfer: air temperature, the cell's n-factor, the lower boundary (a temperature,
    // or a heat flux in W/m2 that only the implicit scheme uses).
    double airTemperature = 0;
    double nFactor = 1;
    double lowerTemperature = 0;
    bool lowerFluxBoundary = false;
    double lowerFlux = 0;
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
    int heatSubsteps = 0;  // heat sub-steps of the call (0 without heat transfer)
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

// Work arrays of one thread, sized for the deepest soil (re-used for every cell). Aligned to
// a cache line: the threads' copies lie side by side, and a cell writes the fields at both ends
// of its copy.
struct alignas(64) CellWork {
    explicit CellWork(int layers = 1) { Resize(layers); }
    // Set once the thread that uses this copy has built it anew (its arrays from its own heap).
    bool builtByItsThread = false;
    void Resize(int layers);
    // Sizes the tracer arrays for count tracers (allocates only when they grow).
    void ResizeTracers(int count, int layers);
    ColumnState col;
    std::vector<double> cap, inflow, fraction, weight, uptake, uptakeSum, evap, p, w;
    std::vector<double> tracerValue, tracerOld;
    std::vector<soilcolumn::TracerColumn> tracerColumns;
    // Heat transfer: layer temperatures (in and out of StepCell), unfrozen fractions, their
    // temperature derivative, conductivities, latent and total heat capacities, and the work
    // arrays of the two schemes.
    std::vector<double> T, Tnew, unfrozen, dSdT, lambda, latent, heatCapacity, heatFlux, heatChange, heatStart;
    std::vector<double> ta, tb, tc, tr, macroporeFlux;
    // The arguments each layer's conductivity was last computed from (bit patterns; NaN until
    // the first): the heat sub-steps of a water sub-step keep the water contents, and a layer
    // whose unfrozen fraction stays the same keeps its conductivity.
    std::vector<std::array<double, 6>> lambdaArguments;
    // The same for the mineral part of the conductivity (theta_s, water content, dry soil's
    // conductivity), which a layer keeps while it freezes or thaws at a fixed water content.
    std::vector<std::array<double, 3>> mineralArguments;
    std::vector<double> mineral;
    // The layers' freezing offsets of their water contents, kept over the heat sub-steps of one
    // water sub-step (the water contents stay the same); NaN where not computed yet.
    std::vector<double> freezingOffsets;
    // Per layer: 1 where its temperature was above 0 when its heat properties were last computed.
    std::vector<std::uint8_t> thawed;
    // Off: every memo above is bypassed and each value computed afresh, and the column's flux
    // limitation evaluates every step of its bisection (the plain computation the memos and the
    // early end are checked against).
    bool memos = true;
    // Control point: with recordLayers set, StepCell sums per layer the water roots took (mm,
    // element 0 the soil evaporation) and the interflow (mm) of the call.
    bool recordLayers = false;
    std::vector<double> layerEtr, layerInterflow;
    // Dump mode only: the snapshot of the sub-step (sized on first use).
    std::vector<double> snapshot;
    // Slow sub-steps of the pass, in the order this thread computed them.
    std::vector<SlowSubstep> slow;
};

// What a column takes from its soil type alone, derived once per type by ColumnState::SetSoil:
// the field capacities, which layers' tables equal the layer above's and the bounds of the
// suction look-ups. A pass over the cells
// takes them from here instead of deriving them again for every cell.
class SoilTypeColumns {
public:
    // Derives the values of soil types 1..count of the table (element 0 holds the count).
    void Prepare(const soil_entry* table);
    // Sets col for a cell of the soil with the given surface elevation, bit for bit as
    // col.SetSoil(soil, surfaceElevation) does (which it calls for a soil not prepared).
    void SetColumn(ColumnState& col, const soil_entry& soil, double surfaceElevation) const;
    // Field capacities (index 1..n) of a prepared soil, else null.
    const double* FieldCapacity(const soil_entry& soil) const;

private:
    struct Type {
        std::vector<double> fieldCapacity;
        std::vector<unsigned char> sameTableAsAbove;
        std::vector<double> suctionLookupError;
        std::vector<soilcolumn::SuctionBounds> suctionBounds;
    };
    const Type* Find(const soil_entry& soil) const;
    const soil_entry* table_ = nullptr;
    std::vector<Type> types_;  // 1..count
    // Number of this set-up, unique over every SoilTypeColumns of the run: a column that holds
    // the values of a soil of the same set-up needs only its elevations and frozen factors.
    std::uint64_t edition_ = 0;
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

// Heat transfer (unsatzon_step_heat.cpp). The properties of every layer from work.T and the
// column's water contents: unfrozen fraction, conductivity, latent and total heat capacity.
// With freezingOffsets (work.freezingOffsets, the water contents unchanged since they were
// filled) the freezing offsets are taken from there.
// With keepThawed (the water contents unchanged since the last call for the same soil and
// settings) a layer above 0 degrees then and now keeps its properties.
void HeatProperties(const soil_entry& soil, CellWork& work, const HeatSettings& heat, bool freezingOffsets = false,
                    bool keepThawed = false);
// Heat sub-steps the model step needs, from a trial explicit step over the whole step
// (updates the properties first).
int HeatStepCount(const soil_entry& soil, CellWork& work, const StepSettings& set, const CellForcing& in);
// One heat sub-step of dt seconds of the scheme of the method; work.T holds the new temperatures.
// The implicit scheme with advection takes the column's water fluxes q and work.macroporeFlux.
// freezingOffsets, keepThawed: as HeatProperties's.
void HeatSubstep(const soil_entry& soil, CellWork& work, const StepSettings& set, const CellForcing& in, double dt,
                 bool freezingOffsets = false, bool keepThawed = false);

// The h heat sub-steps of dt seconds after a water sub-step, with its fluxes and macropore water;
// then, with frozenFactors (for a next water sub-step of the call), the column's frozen factors
// from the new temperatures.
void HeatSteps(const soil_entry& soil, CellWork& work, const StepSettings& set, const CellForcing& in, int h,
               double dt, bool frozenFactors = true);
// Depth (m) at which the temperatures T[1..n], linear between the layer centres, reach the
// layers' freezing thresholds: 0 when layer 1 is frozen, the profile depth when no layer is.
double ThawDepth(const soil_entry& soil, const double* T, const double* threshold, int n);
// Summed thickness (m) of the layers from the table layer down that are at or below their threshold.
double FrozenBelowTable(const soil_entry& soil, const double* T, const double* threshold, int n, int tableLayer);

// Stored water of the column, m (sum of theta * d).
double StoredWater(const soil_entry& soil, const ColumnState& col);

}  // namespace soilstep
