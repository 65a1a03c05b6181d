#pragma once
// Soil types and columns for the column solver tests and benchmark: van Genuchten soils built
// directly from their parameters, hydrostatic columns, and a small driver that runs one sub-step
// in the order of the soil model's column pass while it books every water flux.
#include <cmath>
#include <vector>

#include "soil/soilcolumn.hpp"
#include "soil/soilcolumn_uptake.hpp"
#include "tables/soil_entry.hpp"

namespace soilcolumn_test {

using namespace soilcolumn;

struct SoilLayout {
    int layers = 10;
    double thickness = 0.1;
    double ksat = 2.89e-6;  // loam
    double thetaSat = 0.43, thetaRes = 0.078, alpha = 3.6, n = 1.56, tau = 0.5;
};

inline soil_entry MakeSoil(const SoilLayout& s) {
    soil_entry e(1);
    e.name = "loam";
    e.layerCount = s.layers;
    const std::size_t size = static_cast<std::size_t>(s.layers) + 1;
    e.thickness.assign(size, s.thickness);
    e.ksat.assign(size, s.ksat);
    e.theta_sat.assign(size, s.thetaSat);
    e.theta_res.assign(size, s.thetaRes);
    e.alpha.assign(size, s.alpha);
    e.Par_n.assign(size, s.n);
    e.Par_m.assign(size, 1.0 - 1.0 / s.n);
    e.Par_tau.assign(size, s.tau);
    e.conductivityTheta.assign(size, {});
    e.relConductivity.assign(size, {});
    e.retentionTheta.assign(size, {});
    e.retentionSuction.assign(size, {});
    for (int l = 0; l <= s.layers; ++l) e.AllocateLayerTables(l);
    e.maxratio = 1000.0;
    e.EvapMaxDepth = s.thickness;
    e.PMacroThresh = 1000.0 / 3600000.0;
    e.MacroCapacity = 0;
    e.CapacityRedu = 1.0;
    e.MacroDepth = 1.0;
    return e;
}

inline double Stored(const soil_entry& soil, const ColumnState& col) {
    double s = 0;
    for (int i = 1; i <= col.n; ++i) s += col.theta[static_cast<std::size_t>(i)] * soil.thickness[static_cast<std::size_t>(i)];
    return s;
}

// Heads of every layer from the water contents, as the model's initial state has them (the
// iteration refreshes the heads down to the layer above the last).
inline void InitialHeads(const soil_entry& soil, ColumnState& col) {
    for (int i = 1; i <= col.n; ++i) {
        const std::size_t l = static_cast<std::size_t>(i);
        col.H[l] = (col.z[l - 1] + col.z[l]) / 2 - soil.SuctionFromTheta(i, col.theta[l]);
    }
}

// Column in hydrostatic equilibrium with a table at the bottom of the profile.
inline ColumnState HydrostaticColumn(const soil_entry& soil) {
    ColumnState col(soil.layerCount);
    col.SetSoil(soil, 100.0);
    for (int i = 1; i <= col.n; ++i) {
        const std::size_t l = static_cast<std::size_t>(i);
        const double zm = (col.z[l - 1] + col.z[l]) / 2;
        col.theta[l] = soil.ThetaFromSuction(i, zm - col.z[static_cast<std::size_t>(col.n)]);
        col.H[l] = col.z[static_cast<std::size_t>(col.n)];
    }
    return col;
}

// Layer that holds the table: from the bottom up, the first layer that is not saturated.
inline int TableLayer(const soil_entry& soil, const ColumnState& col) {
    int g = col.n;
    while (g > 1 && col.theta[static_cast<std::size_t>(g)] > 0.9995 * soil.theta_sat[static_cast<std::size_t>(g)]) --g;
    return g;
}

// Inputs of one sub-step (rates in m/s).
struct Forcing {
    double rain = 0, transpiration = 0, evaporation = 0;
    bool roots = false;
    double rootDepth = 0.3;
};

// Water booked in one sub-step (m of water).
struct Booked {
    double infiltration = 0, macropore = 0, uptake = 0, evaporation = 0, lateral = 0, river = 0, excess = 0;
    int iterations = 0;
    double Net() const { return infiltration + macropore - uptake - evaporation - lateral + river; }
};

// Per-thread work of the driver.
struct DriverWork {
    explicit DriverWork(int n)
        : cap(static_cast<std::size_t>(n) + 1), inflow(cap.size()), fraction(cap.size()), weight(cap.size()),
          uptake(cap.size()), uptakeSum(cap.size()), evap(cap.size()) {}
    std::vector<double> cap, inflow, fraction, weight, uptake, uptakeSum, evap;
};

// One sub-step in the column pass's order: macropores, root uptake and soil evaporation, table
// layer, iteration; every flux booked.
inline Booked RunSubstep(const soil_entry& soil, ColumnState& col, CellValues& cell, const SolverSettings& set,
                         const Forcing& f, DriverWork& w) {
    Booked b;
    const double dt = cell.dt;
    const double stepFactor = dt * 1000;
    double supply = f.rain;
    b.macropore = MacroporeInfiltration(soil, supply, stepFactor, col.theta.data(), w.cap.data(), w.inflow.data()) / 1000;
    cell.rootLayer = 1;
    if (f.roots) {
        double rd = f.rootDepth, evapSum = 0;
        const RootArrays out{w.fraction.data(), w.weight.data(), w.uptake.data(), w.uptakeSum.data(), w.evap.data()};
        const int N = RootDistribution(soil, RootParameters{0, 30.0, 0.95, 0.5}, rd, 0.8, f.transpiration,
                                       f.evaporation, dt, soil.EvapMaxDepth, col.theta.data(), col.z.data(),
                                       TableLayer(soil, col), out, evapSum);
        cell.rootLayer = N;
        for (int i = 1; i <= col.n; ++i) {
            const std::size_t l = static_cast<std::size_t>(i);
            const double d = soil.thickness[l];
            const double take = std::min((w.uptake[l] + w.evap[l]) * dt, std::max(0.0, (col.theta[l] - soil.theta_res[l]) * d));
            const double u = std::min(w.uptake[l] * dt, take);
            b.uptake += u;
            b.evaporation += take - u;
            col.theta[l] -= take / d;
        }
    }
    cell.tableLayer = TableLayer(soil, col);
    cell.tableDistance = col.z[static_cast<std::size_t>(cell.tableLayer)] - col.z[0];
    SubstepTotals totals;
    BeginSubstep(col);
    const IterationResult r = IterateSubstep(soil, col, cell, set, supply, RiverExchangeHook{}, totals);
    b.iterations = r.iterations;
    b.infiltration = -col.q[0] * dt;
    b.excess = (supply + col.q[0]) * dt;
    for (int i = 1; i <= col.n; ++i) {
        const std::size_t l = static_cast<std::size_t>(i);
        b.lateral += col.e[l] * dt;
        b.river += (col.rIn[l] - col.rOut[l]) * dt;
    }
    return b;
}

}  // namespace soilcolumn_test
