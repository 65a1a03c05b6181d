// Bounds of the water content, the iteration of a sub-step, the storage change at the
// groundwater table and the water over a depth range.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "kernel/hotloop.hpp"
#include "soil/soilcolumn.hpp"
#include "tables/soil_entry.hpp"

namespace soilcolumn {

namespace {

std::size_t U(int i) { return static_cast<std::size_t>(i); }

// Fluxes of one layer during the redistribution; t = q[i-1] (top), b = q[i] (bottom).
struct LayerFluxes {
    double t, b, e, rIn, rOut;
    double inTotal, outTotal;
};

// Water above saturation: inflow from above gives way first, then inflow from below, then river
// infiltration (with river coupling both ways).
void RemoveExcess(LayerFluxes& x, double E, bool riverCondition) {
    auto riverRule = [&]() {
        if (riverCondition) {
            x.rIn += x.b;
            x.inTotal += x.b;
            x.b = 0;
        }
    };
    if (x.t <= 0 && x.b > 0) {
        x.t += E;
        if (x.t > 0) {
            x.b -= x.t;
            x.t = 0;
            if (x.b < 0) riverRule();
        }
    } else if (x.t <= 0) {
        x.t += E;
        if (x.t > 0 && riverCondition) {
            if (x.rIn < x.t) {
                x.t -= x.rIn;
                x.inTotal -= x.rIn;
                x.rIn = 0;
            } else {
                x.rIn -= x.t;
                x.inTotal -= x.t;
                x.t = 0;
            }
        }
    } else if (x.b >= 0) {
        x.b -= E;
        if (x.b < 0) riverRule();
    } else if (riverCondition) {
        if (x.rIn < E) {
            x.inTotal -= x.rIn;
            x.rIn = 0;
        } else {
            x.rIn -= E;
            x.inTotal -= E;
        }
    }
}

// Water below the residual content: the outflows of the layer give way. The second outflow is
// the lateral outflow when it is positive, else the exfiltration; what it cannot take stays on
// the flux it came from.
void CoverDeficit(LayerFluxes& x, double D, bool exfiltrationAllowed) {
    const bool lateral = x.e > 0;
    const bool exfil = !lateral && exfiltrationAllowed && x.rOut > 0;
    // Reduces the second outflow by amount; returns what it could not take.
    auto second = [&](double amount) {
        if (lateral) {
            const double take = std::min(amount, x.e);
            x.e -= take;
            return amount - take;
        }
        if (exfil) {
            const double take = std::min(amount, x.rOut);
            x.rOut -= take;
            x.outTotal -= take;
            return amount - take;
        }
        return amount;
    };
    if (x.t > 0 && x.b > 0) {
        x.t -= D;
        if (x.t < 0) x.t = -second(-x.t);
    } else if (x.t <= 0 && x.b > 0) {
        second(D);
    } else if (x.t > 0) {
        x.t -= D;
        if (x.t < 0) {
            x.b -= x.t;
            x.t = 0;
            if (x.b > 0) x.b = second(x.b);
        }
    } else {
        x.b += D;
        if (x.b > 0) {
            if (lateral || exfil) {
                x.b = second(x.b);
            } else {
                x.b = 0;
            }
        }
    }
}

}  // namespace

void ColumnState::Resize(int layers) {
    n = layers;
    typeSoil = nullptr;
    typeEdition = 0;
    const std::size_t size = U(layers) + 1;
    for (auto* v : {&thetaOld, &theta, &thetaMean, &thetaStar, &psiOld, &H, &z, &q, &e, &rIn, &rOut, &frozen, &K,
                    &fieldCapacity, &suctionLookupError, &share, &eOwn, &wOwn, &rOwn, &qOwn}) {
        v->assign(size, 0.0);
    }
    std::fill(frozen.begin(), frozen.end(), 1.0);
    sameTableAsAbove.assign(size, 0);
    suctionBounds.assign(size, SuctionBounds{});
    suctionBracket.assign(size, 0);
    startBracket.assign(size, 0);
    limitBracketUpper.assign(size, 0);
    limitBracketLower.assign(size, 0);
    halfBracketUpper.assign(size, 0);
    halfBracketLower.assign(size, 0);
    conductivityBracketUpper.assign(size, 0);
    conductivityBracketLower.assign(size, 0);
}

void ColumnState::SetSoil(const soil_entry& soil, double surfaceElevation) {
    if (n != soil.layerCount) Resize(soil.layerCount);
    typeSoil = nullptr;
    typeEdition = 0;
    z[0] = surfaceElevation;
    // Tables equal bit for bit to the layer above's give the same look-ups: the field capacity is
    // taken over, and the flux pass may reuse look-ups across the interface.
    auto sameBits = [](const soil_entry::PointTable& a, const soil_entry::PointTable& b) {
        return std::memcmp(a.data(), b.data(), sizeof a) == 0;
    };
    for (int i = 1; i <= n; ++i) {
        const std::size_t l = U(i);
        z[l] = z[l - 1] - soil.thickness[l];
        frozen[l] = 1.0;
        sameTableAsAbove[l] = i > 1 && sameBits(soil.retentionTheta[l], soil.retentionTheta[l - 1]) &&
                              sameBits(soil.retentionSuction[l], soil.retentionSuction[l - 1]) &&
                              sameBits(soil.conductivityTheta[l], soil.conductivityTheta[l - 1]) &&
                              sameBits(soil.relConductivity[l], soil.relConductivity[l - 1]);
        fieldCapacity[l] = sameTableAsAbove[l] ? fieldCapacity[l - 1] : soil.ThetaFromSuction(i, kFieldCapacitySuction);
        suctionLookupError[l] = sameTableAsAbove[l] ? suctionLookupError[l - 1] : SuctionLookupError(soil, i);
        suctionBounds[l] = sameTableAsAbove[l] ? suctionBounds[l - 1] : QuickSuctionBounds(soil, i);
    }
}

void BeginSubstep(ColumnState& col) {
    for (int i = 0; i <= col.n; ++i) {
        const std::size_t l = U(i);
        col.thetaOld[l] = col.theta[l];
        col.thetaMean[l] = col.theta[l];
        col.thetaStar[l] = col.theta[l];
        col.q[l] = 0;
        col.e[l] = 0;
        col.rIn[l] = 0;
        col.rOut[l] = 0;
    }
}

int RedistributeExcess(const soil_entry& soil, ColumnState& col, const CellValues& cell, const SolverSettings& set,
                       int maxPasses, SubstepTotals& totals) {
    const int L = WorkingRangeEnd(col, cell.tableLayer, cell.rootLayer, 3, true);
    const bool riverCondition = set.groundwaterActive && set.surfaceInteraction >= 2;
    const bool exfiltrationAllowed = set.groundwaterActive && set.surfaceInteraction >= 1;
    const double dt = cell.dt;
    int passes = 0;
    bool changed = true;
    while (changed && passes < maxPasses) {
        changed = false;
        ++passes;
        for (int i = L; i >= 1; --i) {
            const std::size_t l = U(i);
            const double d = soil.thickness[l];
            LayerFluxes x{col.q[l - 1], col.q[l], col.e[l], col.rIn[l], col.rOut[l],
                          totals.riverInfiltration, totals.riverExfiltration};
            const double star = col.thetaOld[l] + (x.b - x.t - x.e - x.rOut + x.rIn) * dt / d;
            col.thetaStar[l] = star;
            if (star > soil.theta_sat[l]) {
                RemoveExcess(x, (star - soil.theta_sat[l]) * d / dt, riverCondition && x.rIn > 0);
            } else if (star < soil.theta_res[l]) {
                double D = (soil.theta_res[l] - star) * d / dt;
                if (col.thetaOld[l] <= soil.theta_res[l]) {
                    D = (col.thetaOld[l] - star) * d / dt;
                    if (D <= 0) D = -x.b;
                }
                CoverDeficit(x, D, exfiltrationAllowed);
            } else {
                continue;
            }
            if (x.e < 0) x.e = 0;
            if (x.t != col.q[l - 1] || x.b != col.q[l] || x.e != col.e[l] || x.rIn != col.rIn[l] ||
                x.rOut != col.rOut[l]) {
                changed = true;
            }
            col.q[l - 1] = x.t;
            col.q[l] = x.b;
            col.e[l] = x.e;
            col.rIn[l] = x.rIn;
            col.rOut[l] = x.rOut;
            totals.riverInfiltration = x.inTotal;
            totals.riverExfiltration = x.outTotal;
        }
    }
    return passes;
}

TALVO_HOT_LOOP double IterationError(const soil_entry& soil, ColumnState& col, const CellValues& cell, int iteration) {
    const int L = WorkingRangeEnd(col, cell.tableLayer, cell.rootLayer, 0, true);
    const double dt = cell.dt;
    double err = 0;
    for (int i = 1; i <= L; ++i) {
        const std::size_t l = U(i);
        const double thetaNew =
            col.thetaOld[l] + (col.q[l] - col.q[l - 1] - col.e[l] - col.rOut[l] + col.rIn[l]) * dt / soil.thickness[l];
        err = std::max(err, std::fabs(col.theta[l] - thetaNew));
        if (iteration < 4) {
            col.thetaMean[l] = (col.theta[l] + thetaNew) / 2;
        } else {
            const double m = iteration - 3;
            col.thetaMean[l] = (m * col.thetaMean[l] + thetaNew) / (m + 1);
        }
        col.theta[l] = thetaNew;
    }
    return err;
}

IterationResult IterateSubstep(const soil_entry& soil, ColumnState& col, const CellValues& cell,
                               const SolverSettings& set, double infiltrationRate, const RiverExchangeHook& river,
                               SubstepTotals& totals) {
    IterationResult result;
    double tolerance = set.maxError;
    int count = 0;
    double err = 0;
    do {
        SubstepPrepare(soil, col, cell, count);
        SubstepFluxes(soil, col, cell, set, infiltrationRate, river, totals);
        RedistributeExcess(soil, col, cell, set, kRedistributionPasses, totals);
        ++count;
        if (count == 21) tolerance = 5 * set.maxError;
        err = IterationError(soil, col, cell, count);
    } while (err > tolerance && count < set.maxIterations);
    result.iterations = count;
    result.error = err;
    return result;
}

double WaterTableUpdate(const soil_entry& soil, const ColumnState& col, const SolverSettings& set,
                        const TableChange& c, double dt, const double* p, const SubstepTotals& totals) {
    const double F = c.factor;
    const int g0 = c.oldLayer, g1 = c.newLayer;
    if (set.externalTable) return g1 > 1 ? -F * col.q[U(g1 - 1)] : 0.0;
    const auto& ts = soil.theta_sat;
    const auto& d = soil.thickness;
    const auto& z = col.z;
    const double Z0 = c.oldElevation, Z1 = c.newElevation;
    double S = 0;
    if (g0 == g1) {
        const std::size_t g = U(g0);
        if (Z0 < Z1) {
            const double u = z[g - 1] - Z0;
            if (u != 0) S = (Z1 - Z0) * (ts[g] - (d[g] * col.thetaOld[g] - (Z0 - z[g]) * ts[g]) / u) * 1000;
        } else {
            const double u = z[g - 1] - Z1;
            if (u != 0) S = (Z1 - Z0) * (ts[g] - (d[g] * col.theta[g] - (Z1 - z[g]) * ts[g]) / u) * 1000;
        }
    } else if (g1 < g0) {
        for (int k = g1 + 1; k <= g0; ++k) S += (col.theta[U(k)] - col.thetaOld[U(k)]) * d[U(k)] * 1000;
        const std::size_t g = U(g1);
        S += (Z1 - z[g]) * (ts[g] - (col.theta[g] - dt * p[g] / d[g])) * 1000;
    } else {
        const std::size_t g = U(g0);
        S = (z[g] - Z0) * (ts[g] - col.theta[g]) * 1000;
        for (int k = g0 + 1; k <= g1 - 1; ++k) S -= d[U(k)] * (col.thetaOld[U(k)] - col.theta[U(k)]) * 1000;
    }
    double bracket = c.baseflow + p[0];
    if (set.groundwaterActive) bracket += totals.riverExfiltration - totals.riverInfiltration;
    return bracket * F + S;
}

double ThetaOverDepth(const soil_entry& soil, const double* theta, double top, double bottom, int mode,
                      double nodata) {
    if (bottom <= 0 || top < -0.0001) return nodata;
    const int n = soil.layerCount;
    double total = 0;
    for (int k = 1; k <= n; ++k) total += soil.thickness[U(k)];
    // A bottom at or below the profile's stops 1e-8 m above it; the whole profile (the profile
    // water of the soil's balance) takes every layer whole, so that its changes are the water the
    // column gained and lost.
    const double T = total - 1e-08;
    const double end = bottom == kWholeProfile ? total : bottom <= T ? bottom : T;
    const double range = end - top;
    if (!(range > 1e-08)) return 1.0;
    double sum = 0;
    double upper = 0;
    for (int k = 1; k <= n && upper < end; ++k) {
        const std::size_t l = U(k);
        const double lower = upper + soil.thickness[l];
        // A boundary within 1e-8 of top starts the next layer.
        if (lower > top + 1e-08) {
            const double part = std::min(lower, end) - std::max(upper, top);
            if (part > 0) sum += mode == 1 ? theta[l] * part : theta[l] / soil.theta_sat[l] * part / range;
        }
        upper = lower;
    }
    return sum;
}

}  // namespace soilcolumn
