// Solute balance of one soil column: tracers move with the water of a sub-step through the
// layer interfaces, leave with interflow, drainage, base flow and exfiltration, enter with
// river infiltration, and the saturated part of the column is mixed.
#include <algorithm>
#include <array>
#include <cmath>

#include "soil/soilcolumn_uptake.hpp"
#include "tables/soil_entry.hpp"

namespace soilcolumn {

namespace {

std::size_t U(int i) { return static_cast<std::size_t>(i); }
constexpr double kWholeShare = 0.99999;

// The five tracer fluxes of one layer: top inflow, bottom outflow, lateral, base flow, exfiltration.
struct LayerLoads {
    double T = 0, Bt = 0, L = 0, Q = 0, X = 0;
};

// The water content a layer's tracer value belongs to at the start of the sub-step: the base
// flow takes its water from (w) or puts it into (p) the layers before the sub-step begins, while
// its tracer load moves with the others here, so the content before that exchange.
double StartWater(const soil_entry& soil, const ColumnState& col, const SoluteWater& w, std::size_t l) {
    return col.thetaOld[l] + (w.w[l] - w.p[l]) * w.dt / soil.thickness[l];
}

int TransportDepth(const ColumnState& col, const SoluteWater& w) {
    const int n = col.n;
    const int g = w.tableLayer;
    if (g >= n) return n;
    int nt = g + 1;
    while (nt < n && w.p[U(nt + 1)] > 0) ++nt;
    while (nt < n && (col.rIn[U(nt + 1)] > 0 || col.rOut[U(nt + 1)] > 0)) ++nt;
    return nt;
}

// Limitation factor of the outflows of every transported layer and the own shares.
void OutflowShares(const soil_entry& soil, ColumnState& col, const SoluteWater& w, int nt) {
    for (int i = 1; i <= nt; ++i) {
        const std::size_t l = U(i);
        const double start = StartWater(soil, col, w, l);
        const double W = start > 0 ? start * soil.thickness[l] / w.dt : 0.0;
        const double O = col.e[l] + w.w[l] - col.q[l] + col.rOut[l];
        const double f = (start > 0 && O > W && W > 0) ? W / O : 1.0;
        col.share[l] = f;
        col.eOwn[l] = f * col.e[l];
        col.wOwn[l] = f * w.w[l];
        col.rOwn[l] = f * col.rOut[l];
        col.qOwn[l] = f * col.q[l];
    }
}

class MassTransport {
public:
    MassTransport(const soil_entry& s, const ColumnState& c, const SoluteWater& w, TracerColumn& t)
        : soil(s), col(c), water(w), tr(t), RF(t.par.maxValue * w.factor) {}

    // Mass that leaves layer j with a water flux Y (m/s), from its old value.
    double Leaving(int j, double Y) const {
        const std::size_t l = U(j);
        const double start = StartWater(soil, col, water, l);
        if (!(start > 0.001)) return 0.0;
        return (water.dt * Y / soil.thickness[l]) * tr.old[l] / start;
    }
    // Mass that the rest r of a flux out of layer i takes from above (the layer above's current
    // value, for layer 1 the surface store): the share of the water above that r carries, r Δt
    // over the layer's water d θ (both in m), of its mass.
    double FromAbove(int i, double r) const {
        if (!(r > 0)) return 0.0;
        if (i == 1) {
            const double S = water.directFlow - col.q[0];
            return S > 0 ? tr.value[0] * r / S : 0.0;
        }
        const std::size_t a = U(i - 1);
        if (!(col.theta[a] > 0)) return 0.0;
        return tr.value[a] * r * water.dt / (soil.thickness[a] * col.theta[a]);
    }
    // An outflow Y with own share Yf of layer i. Lateral, base-flow and exfiltration loads of an
    // unlimited layer carry its own value whole; the bottom flux always splits.
    double Outflow(int i, double Y, double Yf, bool wholeWhenUnlimited = true) const {
        double m;
        if (wholeWhenUnlimited && col.share[U(i)] > kWholeShare) {
            m = Leaving(i, Y);
        } else {
            m = Leaving(i, Yf) + FromAbove(i, std::max(0.0, Y - Yf));
        }
        return std::min(m, Y * RF);
    }

    LayerLoads Layer(int i, double topLoad) const {
        const std::size_t l = U(i);
        LayerLoads x;
        const double q0 = col.q[0];
        if (i == 1) {
            if (q0 < 0) {
                const double S = water.directFlow - q0;
                x.T = std::min(-q0 * RF, S > 0 ? (-q0 / S) * tr.old[0] : 0.0);
            } else {
                x.T = -std::min(q0 * RF, Leaving(1, q0));
            }
        } else {
            x.T = topLoad;
        }
        const double q = col.q[l];
        if (i < col.n) {
            if (q <= 0) {
                x.Bt = Outflow(i, -q, -col.qOwn[l], false);
            } else {
                x.Bt = -std::min(Leaving(i + 1, q), q * RF);
            }
        }
        x.L = Outflow(i, col.e[l], col.eOwn[l]);
        x.Q = Outflow(i, water.w[l], col.wOwn[l]);
        x.X = Outflow(i, col.rOut[l], col.rOwn[l]);
        if (water.groundwaterActive) x.Q -= tr.groundwater * water.p[l] * water.factor;
        return x;
    }

private:
    const soil_entry& soil;
    const ColumnState& col;
    const SoluteWater& water;
    TracerColumn& tr;
    double RF;
};

class ConcentrationTransport {
public:
    ConcentrationTransport(const soil_entry& s, const ColumnState& c, const SoluteWater& w, TracerColumn& t)
        : soil(s), col(c), water(w), tr(t), F(w.factor) {}

    double Outflow(int i, double Y, double Yf) const {
        const std::size_t l = U(i);
        if (col.share[l] > kWholeShare) return Y * tr.old[l] * F;
        return Yf * tr.old[l] * F + (Y - Yf) * tr.value[l - 1] * F;
    }

    LayerLoads Layer(int i, double topLoad) const {
        const std::size_t l = U(i);
        LayerLoads x;
        const double q0 = col.q[0];
        if (i == 1) {
            x.T = q0 < 0 ? -q0 * tr.old[0] * F : -q0 * tr.old[1] * F;
        } else {
            x.T = topLoad;
        }
        const double q = col.q[l];
        if (i < col.n) {
            if (q <= 0) {
                x.Bt = Outflow(i, -q, -col.qOwn[l]);
            } else {
                x.Bt = -q * tr.old[l + 1] * F;
            }
        }
        x.L = Outflow(i, col.e[l], col.eOwn[l]);
        x.Q = Outflow(i, water.w[l], col.wOwn[l]);
        x.X = Outflow(i, col.rOut[l], col.rOwn[l]);
        if (water.groundwaterActive) x.Q -= tr.groundwater * water.p[l] * F;
        return x;
    }
    // New concentration of layer i from its loads.
    double NewValue(int i, const LayerLoads& x, double river) const {
        const std::size_t l = U(i);
        const double d = soil.thickness[l];
        if (!(col.theta[l] > 0)) return 0.0;
        return (tr.old[l] * 1000 * StartWater(soil, col, water, l) * d + x.T - x.Bt - x.L - x.Q - x.X + river) /
               (1000 * d * col.theta[l]);
    }

private:
    const soil_entry& soil;
    const ColumnState& col;
    const SoluteWater& water;
    TracerColumn& tr;
    double F;
};

void Record(FpeReport& fpe, unsigned row, unsigned column, int layer, int tracer, const LayerLoads& x) {
    if (!fpe.raised || fpe.recorded) return;
    fpe.recorded = true;
    fpe.row = row;
    fpe.column = column;
    fpe.layer = static_cast<unsigned>(layer);
    fpe.tracer = static_cast<unsigned>(tracer);
    const double v[5] = {x.T, x.Bt, x.L, x.Q, x.X};
    std::copy(v, v + 5, fpe.flux);
}

// Mixing of the saturated part of the column (table layer down, with the aquifer under the
// groundwater model).
void MixSaturated(const soil_entry& soil, const ColumnState& col, const SoluteWater& w, TracerColumn& tr) {
    const int n = col.n, g = std::max(1, w.tableLayer);
    if (g > n) return;
    // The aquifer's water below the profile (none where the profile reaches below the aquifer).
    const double h = w.groundwaterActive ? std::max(0.0, w.aquiferThickness - (col.z[0] - col.z[U(n)])) : 0.0;
    double V = 0, M = 0;
    for (int k = g; k <= n; ++k) V += col.theta[U(k)] * soil.thickness[U(k)];
    if (tr.par.mass) {
        for (int k = g; k <= n; ++k) M += tr.value[U(k)];
        if (w.groundwaterActive) {
            M += tr.groundwater * soil.theta_sat[U(g)] * 1000 * h;
            V += h * soil.theta_sat[U(g)];
        }
        for (int k = g; k <= n; ++k)
            tr.value[U(k)] = V > 0 ? soil.thickness[U(k)] * col.theta[U(k)] * M / V : 0.0;
        if (w.groundwaterActive) tr.groundwater = V > 0 ? M / V / 1000 : 0.0;
        return;
    }
    tr.interflow = w.interflowTotal > 0 ? tr.interflow / w.interflowTotal : 0.0;
    tr.baseflow = w.cellBaseflow > 0 ? tr.baseflow / w.cellBaseflow : 0.0;
    tr.exfiltration = (w.groundwaterActive && w.exfiltrationTotal > 0) ? tr.exfiltration / w.exfiltrationTotal : 0.0;
    for (int k = g; k <= n; ++k) M += tr.value[U(k)] * col.theta[U(k)] * soil.thickness[U(k)];
    if (w.groundwaterActive) {
        M += tr.groundwater * soil.theta_sat[U(n)] * h;
        V += h * soil.theta_sat[U(n)];
    }
    for (int k = g; k <= n; ++k) tr.value[U(k)] = V > 0 ? M / V : 0.0;
    if (w.groundwaterActive) tr.groundwater = tr.value[U(n)];
}

}  // namespace

void MergeFpeReports(FpeReport& into, const FpeReport& other) {
    if (!other.recorded) return;
    auto key = [](const FpeReport& r) { return std::array<unsigned, 4>{r.row, r.column, r.layer, r.tracer}; };
    if (!into.recorded || key(other) < key(into)) {
        const bool raised = into.raised;
        into = other;
        into.raised = raised;
    }
}

void ColumnBalance(const soil_entry& soil, ColumnState& col, const SoluteWater& water, TracerColumn* tracers,
                   int tracerCount, unsigned row, unsigned column, FpeReport& fpe) {
    const int n = col.n;
    for (int t = 0; t < tracerCount; ++t) std::copy(tracers[t].value, tracers[t].value + n + 1, tracers[t].old);
    const int nt = TransportDepth(col, water);
    OutflowShares(soil, col, water, nt);
    for (int t = 0; t < tracerCount; ++t) {
        TracerColumn& tr = tracers[t];
        tr.interflow = tr.baseflow = tr.exfiltration = 0;
        LayerLoads x;
        double top = 0;
        const MassTransport mass(soil, col, water, tr);
        const ConcentrationTransport conc(soil, col, water, tr);
        for (int i = 1; i <= nt; ++i) {
            const std::size_t l = U(i);
            x = tr.par.mass ? mass.Layer(i, top) : conc.Layer(i, top);
            const double river = col.rIn[l] > 0 ? col.rIn[l] * tr.riverValue * water.factor : 0.0;
            if (tr.par.mass) {
                tr.value[l] = tr.old[l] + x.T - x.Bt - x.L - x.Q - x.X + river;
                if (i == 1) tr.value[0] -= x.T;
                tr.interflow += x.L;
                tr.baseflow += x.Q;
                tr.exfiltration += x.X;
            } else {
                tr.value[l] = conc.NewValue(i, x, river);
                tr.interflow += x.L / water.factor;
                tr.baseflow += x.Q / water.factor;
                tr.exfiltration += x.X / water.factor;
            }
            top = x.Bt;
            Record(fpe, row, column, i, t + 1, x);
        }
        // What leaves the deepest transported layer downward reaches the layer below it, so that
        // no load is lost at the end of the transported part.
        if (nt < n && x.Bt != 0) {
            const std::size_t b = U(nt + 1);
            if (tr.par.mass) {
                tr.value[b] += x.Bt;
            } else if (col.theta[b] > 0) {
                tr.value[b] += x.Bt / (1000 * soil.thickness[b] * col.theta[b]);
            }
        }
        MixSaturated(soil, col, water, tr);
        Record(fpe, row, column, n, t + 1, x);
    }
    for (int t = 0; t < tracerCount; ++t) {
        TracerColumn& tr = tracers[t];
        if (!tr.par.decays) continue;
        for (int i = 0; i <= n; ++i) tr.value[U(i)] *= tr.par.decayFactor;
    }
}

}  // namespace soilcolumn
