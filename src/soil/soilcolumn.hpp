#pragma once
// Water movement in the layered soil column of one cell during one sub-step: Darcy fluxes
// between layers, hydraulic heads, interface conductivities with interflow and drainage, the
// limitation of fluxes against crossing heads, the redistribution of water beyond saturation or
// below the residual water content, the iteration of the new water contents, the storage change
// at the groundwater table and the water over a depth range.
//
// Everything here works on the arrays of one column and the read-only soil record: no grid
// store, no MPI, no log, no allocation. Layers are 1..n from the surface; interface arrays run
// 0..n (interface 0 is the surface, interface i the bottom of layer i). Lengths are in m, fluxes
// in m/s and positive upward, heads are elevations.
#include <cstdint>
#include <vector>

class soil_entry;

namespace soilcolumn {

// Suction (m) at which a layer holds its field capacity.
inline constexpr double kFieldCapacitySuction = 3.45;
// Conductivity (m/s) of a layer below the thaw depth, and the infiltration a frozen top layer
// admits, unless the model sets its own ("reduced_ksat" of the permafrost settings).
inline constexpr double kFrozenConductivity = 1e-9;
// Heads that cross by no more than this (m) count as not crossed.
inline constexpr double kHeadTolerance = 0.001;
// Evaluations of the flux limitation before it gives up and returns its last value.
inline constexpr int kLimitEvaluations = 51;
// Passes of the redistribution the column pass asks for.
inline constexpr int kRedistributionPasses = 10;
// "Whole profile" as the bottom of a depth range.
inline constexpr double kWholeProfile = 9999.0;

// Model-wide values the solver reads (from the soil model's section).
struct SolverSettings {
    double maxError = 1e-5;
    int maxIterations = 100;
    int surfaceInteraction = 0;      // 0 none, 1 exfiltration only, 2 both ways
    bool groundwaterActive = false;  // river exchange runs only with the groundwater model
    double kSatClay = 0;             // m/s
    bool externalTable = false;      // an external groundwater table was applied this run
    double frozenConductivity = kFrozenConductivity;  // m/s, layers below the thaw depth
};

// Values of one cell for the sub-step.
struct CellValues {
    double dt = 0;             // sub-step length, s
    int tableLayer = 1;        // g: layer that holds the groundwater table
    double tableDistance = 0;  // table elevation minus surface elevation, m (negative below)
    int rootLayer = 1;         // r: deepest layer with root uptake, at least 1
    int clayLayer = 0;         // c: layer holding the clay depth, 0 for none
    int drainageLayer = 0;     // layer of the drains, 0 without drainage
    double drainageDistance = 0;
    double channelDensity = 0;  // 1/m, of the cell's subbasin
    double tanBeta = 0;
    bool hasThawDepth = false;
    double thawDepth = 0;  // m, used when hasThawDepth
    double cellsize = 0;   // m
};

// Per layer, what bounds the quick suctions of the flux limitation over every bracket of the
// layer's retention table: the largest water content (absolute), the largest of twice a
// bracket's suction span over its water content span, and the largest suction (absolute).
struct SuctionBounds {
    double theta = 0, slope = 0, suction = 0;
};

// Work and state arrays of one column (n + 1 values each, index 0 unused for layer arrays).
// The caller keeps one per thread, sized for the deepest soil, and re-uses it for every cell.
struct ColumnState {
    int n = 0;
    std::vector<double> thetaOld, theta, thetaMean, thetaStar;  // m3/m3
    std::vector<double> psiOld;                                 // suction at the start of the sub-step, m
    std::vector<double> H;                                      // hydraulic heads, m
    std::vector<double> z;                                      // z[0] surface, z[i] bottom of layer i, m
    std::vector<double> q;                                      // interface fluxes, m/s, positive upward
    std::vector<double> e;                                      // lateral outflow (interflow + drainage), m/s
    std::vector<double> rIn, rOut;                              // river infiltration / exfiltration, m/s
    std::vector<double> frozen;                                 // frozen-soil factor, 1 when unfrozen
    std::vector<double> K;                                      // saturated conductivities in use, m/s
    std::vector<double> fieldCapacity;                          // water content at 3.45 m suction
    std::vector<unsigned char> sameTableAsAbove;                // layer's look-up tables equal the layer above's
    // Per layer a bound on how far a suction look-up in its retention table lies from the curve
    // drawn straight between the table points, where that curve never rises with the water
    // content (water contents falling strictly, suctions from 0 upward); -1 otherwise.
    std::vector<double> suctionLookupError;
    std::vector<SuctionBounds> suctionBounds;
    std::vector<int> suctionBracket;  // per layer the last bracket of the heads' suction look-ups (a hint)
    // Per layer the last bracket of the heads of the water contents themselves at the start of a
    // call (a hint for the next column's): the sub-steps' heads look up the unfrozen water, which
    // lies in another bracket where a layer is partly frozen.
    std::vector<int> startBracket;
    // Per interface i the last brackets of the flux limitation's first look-ups of layers i and
    // i + 1 (hints for the next iteration, whose water contents there move little).
    std::vector<int> limitBracketUpper, limitBracketLower;
    // The same for the first step of the limitation's bisection (half the flux), whose water
    // contents lie mostly several brackets away from those of the whole flux.
    std::vector<int> halfBracketUpper, halfBracketLower;
    // The same for the two conductivity look-ups of interface i (mean water contents of layers i
    // and i + 1 in the table of layer i).
    std::vector<int> conductivityBracketUpper, conductivityBracketLower;
    // Work arrays of the solute balance.
    std::vector<double> share, eOwn, wOwn, rOwn, qOwn;
    // Off: the flux limitation evaluates the plain heads at every step of its bisection (the
    // plain computation its quick suctions, their hints and its early end are checked against).
    bool bisectionShortcut = true;
    // Which soil type's values (field capacities, equal tables, look-up bounds) the arrays hold,
    // as set by the soil model's per-type copies: the soil and the number of the copies' set-up
    // (0: none; Resize and SetSoil clear it).
    const soil_entry* typeSoil = nullptr;
    std::uint64_t typeEdition = 0;

    ColumnState() = default;
    explicit ColumnState(int layers) { Resize(layers); }
    // Sizes every array for n layers (allocates only when the capacity is too small).
    void Resize(int layers);
    // Fills z from the surface elevation and the soil's thicknesses, the field capacities, and
    // sets the frozen factors to 1 (resizing first when the soil has another layer count).
    void SetSoil(const soil_entry& soil, double surfaceElevation);
};

// Per sub-step totals the flux solver returns.
struct SubstepTotals {
    double drainage = 0;          // m/s, drainage of the drain layer
    double riverInfiltration = 0;  // m/s, A
    double riverExfiltration = 0;  // m/s, B
};

// River exchange of the column, supplied by the soil model: fills rIn and rOut of the column
// and sets the infiltration and exfiltration totals. Called in every iteration when the
// groundwater model is active.
struct RiverExchangeHook {
    void (*call)(void* context, ColumnState& column, const CellValues& cell, double& infiltrationTotal,
                 double& exfiltrationTotal) = nullptr;
    void* context = nullptr;
};

// Last layer of the working range: k = 0 for the heads and the iteration error, 1 for the
// fluxes (without margin), 3 for the redistribution.
int WorkingRangeEnd(const ColumnState& col, int tableLayer, int rootLayer, int k, bool margin);

// Flux through the interface between two layers, positive upward.
inline double DarcyFlux(double K, double headUpper, double headLower, double dUpper, double dLower) {
    return K * (headUpper - headLower) / ((dUpper + dLower) * -0.5);
}

// Bound of a suction look-up's distance from the curve between the table points for layer i, or
// -1 where that curve may rise with the water content (see ColumnState::suctionLookupError).
double SuctionLookupError(const soil_entry& soil, int i);

// The bounds of layer i's retention table (see SuctionBounds).
SuctionBounds QuickSuctionBounds(const soil_entry& soil, int i);

// Conductivity of interface i (between layers i and i + 1) from the mean water contents of
// the sub-step, with the clay layer, the conductivity ratio limit and the table rules.
double InterfaceConductivity(const soil_entry& soil, const ColumnState& col, const CellValues& cell,
                             const SolverSettings& set, int i);
// Interflow plus drainage of layer i (m/s), limited to the water above field capacity; the
// drainage is also stored in totals.
double LateralOutflow(const soil_entry& soil, const ColumnState& col, const CellValues& cell, int i,
                      SubstepTotals& totals);

// Starts a sub-step: the current water contents become the old and mean ones, and the fluxes
// q, e, rIn, rOut are cleared over the whole column.
void BeginSubstep(ColumnState& col);

// Heads of iteration `iteration` (0 refreshes psiOld).
void SubstepPrepare(const soil_entry& soil, ColumnState& col, const CellValues& cell, int iteration);

// Fluxes of one iteration: q[0..], e[1..], drainage and river exchange.
void SubstepFluxes(const soil_entry& soil, ColumnState& col, const CellValues& cell, const SolverSettings& set,
                   double infiltrationRate, const RiverExchangeHook& river, SubstepTotals& totals);

// q[i] limited so that the heads of layers i and i + 1 do not cross; may scale e[i].
// evaluations (optional) receives the number of head evaluations of the bisection (fewer than
// its steps where the heads are known to stay crossed down to no flux: the remaining steps then
// only halve the flux).
double LimitInterfaceFlux(const soil_entry& soil, ColumnState& col, int i, double dt, int* evaluations = nullptr);

// Corrects the fluxes so that no layer leaves [theta_r, theta_s]; returns the passes made.
int RedistributeExcess(const soil_entry& soil, ColumnState& col, const CellValues& cell, const SolverSettings& set,
                       int maxPasses, SubstepTotals& totals);

// New water contents, the relaxed mean, and the largest change against the previous iterate.
double IterationError(const soil_entry& soil, ColumnState& col, const CellValues& cell, int iteration);

// One sub-step's iteration as the column pass runs it: heads, fluxes, redistribution and
// error until the tolerance or the iteration limit. Non-convergence is no error.
struct IterationResult {
    int iterations = 0;
    double error = 0;
};
IterationResult IterateSubstep(const soil_entry& soil, ColumnState& col, const CellValues& cell,
                               const SolverSettings& set, double infiltrationRate, const RiverExchangeHook& river,
                               SubstepTotals& totals);

// Change of the groundwater table between two sub-steps.
struct TableChange {
    int oldLayer = 1, newLayer = 1;           // g0, g1
    double oldElevation = 0, newElevation = 0;  // Z0, Z1
    double baseflow = 0;                       // base flow of the cell, m/s
    double factor = 0;                         // F: mm per sub-step for a rate in m/s
};
// Storage change at the table in mm for the sub-step: positive for water that reaches the table
// from above, negative for capillary rise. p: inflow from below (m/s), p[0] pushed to the surface.
double WaterTableUpdate(const soil_entry& soil, const ColumnState& col, const SolverSettings& set,
                        const TableChange& change, double dt, const double* p, const SubstepTotals& totals);

// Water over a depth range in m (mode 1) or mean relative saturation (mode 0). bottom 9999 is the
// whole profile (every layer whole); a bottom below the profile stops 1e-8 m above its end;
// bottom <= 0 or top < -0.0001 gives nodata; a range of 1e-8 or less gives 1.
double ThetaOverDepth(const soil_entry& soil, const double* theta, double top, double bottom, int mode,
                      double nodata);

}  // namespace soilcolumn
