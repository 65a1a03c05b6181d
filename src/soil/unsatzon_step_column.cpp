// One call of a cell's soil column (see unsatzon_step_column.hpp).
#include "soil/unsatzon_step_column.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "tables/soil_entry.hpp"

namespace soilstep {

namespace {
std::size_t U(int i) { return static_cast<std::size_t>(i); }

// Water taken from the table layer downward, each layer down to field capacity; returns the
// part of `need` (m) that could not be covered. Layer withdrawals (m) are added to taken.
double TakeFromTable(const soil_entry& soil, ColumnState& col, int g, double need, double* taken) {
    for (int i = g; i <= col.n && need > 0; ++i) {
        const std::size_t l = U(i);
        const double d = soil.thickness[l];
        const double avail = (col.theta[l] - col.fieldCapacity[l]) * d;
        if (avail <= 0) continue;
        const double take = std::min(need, avail);
        col.theta[l] -= take / d;
        need -= take;
        if (taken != nullptr) taken[l] += take;
    }
    return need;
}

// Heads of every layer from the water contents.
void FillHeads(const soil_entry& soil, ColumnState& col) {
    for (int i = 1; i <= col.n; ++i) {
        const std::size_t l = U(i);
        col.H[l] = (col.z[l - 1] + col.z[l]) / 2 - soil.SuctionFromTheta(i, col.theta[l], col.startBracket[l]);
    }
}

int ClayLayer(const soil_entry& soil, int n, double clayDepth) {
    if (!(clayDepth > 0) || n < 1) return 0;
    double sum = 0;
    for (int i = 1; i <= n; ++i) {
        sum += soil.thickness[U(i)];
        if (sum >= clayDepth) return i;
    }
    return n;
}

// Root water uptake and soil evaporation of all vegetation layers for one sub-step (ds seconds,
// D mm per m/s). Demands in mm per sub-step (already reduced by surface water). Adds the real
// transpiration and evaporation (mm) to res; returns the deepest root layer and root depth.
struct RootResult {
    int layer = 1;
    double depth = 0;
};
RootResult Uptake(const soil_entry& soil, CellWork& w, const CellForcing& in, const double* demand, double E0mm,
                  int g, double ds, double D, CellResult& res) {
    ColumnState& col = w.col;
    const int n = col.n;
    RootResult rr;
    std::fill(w.uptakeSum.begin(), w.uptakeSum.end(), 0.0);
    for (int j = 1; j <= in.vegetationLayers; ++j) {
        const VegetationLayer& v = in.veg[U(j)];
        if (!v.present) continue;
        const bool last = j == in.vegetationLayers || !in.veg[U(j + 1)].present;
        const double T = demand[j] / D;
        const double E0 = last ? E0mm / D : 0.0;
        double rd = v.rootDepth, evapSum = 0;
        std::fill(w.evap.begin(), w.evap.end(), 0.0);
        std::fill(w.uptake.begin(), w.uptake.end(), 0.0);
        const soilcolumn::RootArrays out{w.fraction.data(), w.weight.data(), w.uptake.data(), w.uptakeSum.data(),
                                         w.evap.data()};
        const int nj =
            soilcolumn::RootDistribution(soil, v.par, rd, v.coverage, T, E0, ds, soil.EvapMaxDepth, col.theta.data(),
                                         col.z.data(), g, out, evapSum,
                                         w.memos ? col.sameTableAsAbove.data() : nullptr);
        double taken = 0;
        for (int i = 1; i <= std::min(nj, n); ++i) {
            const std::size_t l = U(i);
            const double d = soil.thickness[l];
            const double u = w.uptake[l] * ds;
            if (!(u > 0)) continue;
            double layerTaken;
            if (i <= g) {
                const double before = col.theta[l];
                col.theta[l] -= u / d;
                if (col.theta[l] < 0) col.theta[l] = std::min(before, i == 1 ? 0.0 : soil.theta_res[l]);
                layerTaken = (before - col.theta[l]) * d;
            } else {
                layerTaken = u - TakeFromTable(soil, col, g, u, nullptr);
            }
            taken += layerTaken;
            if (w.recordLayers) w.layerEtr[l] += layerTaken * 1000.0;
        }
        res.transpiration[U(j)] += taken * 1000.0;
        double evaporated = 0;
        for (int i = 1; i <= n; ++i) {
            const std::size_t l = U(i);
            const double e = w.evap[l] * ds;
            if (!(e > 0)) break;
            const double take = std::min(e, std::max(0.0, col.theta[l] * soil.thickness[l]));
            col.theta[l] -= take / soil.thickness[l];
            evaporated += take;
        }
        res.evaporation += evaporated * 1000.0;
        if (w.recordLayers) w.layerEtr[0] += evaporated * 1000.0;
        rr.layer = std::max(rr.layer, nj);
        rr.depth = std::max(rr.depth, rd);
    }
    rr.layer = std::min(std::max(rr.layer, 1), n);
    return rr;
}

// Elevation of the water table in layer g from its water content and the one at the table.
double TableElevation(const soil_entry& soil, const ColumnState& col, int g, double thetaGw) {
    const std::size_t l = U(g);
    if (g == 1 && col.theta[1] > kSaturatedShare * soil.theta_sat[1]) return col.z[0];
    const double ts = soil.theta_sat[l];
    double z = ts - thetaGw > 0.0001 ? col.z[l] + (col.theta[l] - thetaGw) * soil.thickness[l] / (ts - thetaGw)
                                     : col.z[l - 1];
    z = std::max(z, col.z[l]);
    z = std::min(z, col.z[l - 1]);
    return z;
}
// Snow-melt bypass, silted-up water and ponding of one sub-step (amounts in mm): surface water
// serves the transpiration demand first; input and bypass are what reaches the soil surface.
void SurfaceWater(const CellForcing& in, int k, double* demand, double& pond, double& input, double& bypass,
                  CellResult& res) {
    double silted = in.hasSiltedUp ? in.siltedUp / k : 0.0;
    if (in.hasSnow && in.snow > kBypassSnowCover && input > 0) {
        bypass = in.snowRunoffShare * input;
        input -= bypass;
    }
    auto serveTranspiration = [&](double& water) {
        for (int j = 1; j <= in.vegetationLayers && water > 0; ++j) {
            if (!in.veg[U(j)].present) continue;
            const double take = std::min(demand[j], water);
            demand[j] -= take;
            water -= take;
            res.transpiration[U(j)] += take;
        }
    };
    if (!in.ponding) {
        if (in.hasSiltedUp) {
            serveTranspiration(silted);
            input += silted;
            res.surfaceWaterTaken += silted;
        }
        return;
    }
    pond += silted + bypass;
    serveTranspiration(pond);
    // Transpiration is served from the water stored before the surface water that joined it.
    res.surfaceWaterTaken += std::min(silted, pond);
    input += pond;
    bypass = 0;
    pond = input;
}

// Base flow without the groundwater model (m/s, as taken): a negative rate fills the column from
// below (p, p[0] pushed to the surface), a positive one drains the table layer and those below
// down to field capacity (withdrawal rates in w). Returns the rate and the new table layer.
double BaseFlow(const soil_entry& soil, CellWork& work, double QB, double ds, int& g) {
    ColumnState& col = work.col;
    const int n = col.n;
    std::fill(work.p.begin(), work.p.begin() + n + 1, 0.0);
    std::fill(work.w.begin(), work.w.begin() + n + 1, 0.0);
    if (QB < 0) {
        double need = -QB * ds;
        for (int i = n; i >= 1 && need > 0; --i) {
            const std::size_t l = U(i);
            if (col.theta[l] > kSaturatedShare * soil.theta_sat[l]) continue;
            const double take = std::min(need, (soil.theta_sat[l] - col.theta[l]) * soil.thickness[l]);
            col.theta[l] += take / soil.thickness[l];
            work.p[l] = take / ds;
            need -= take;
        }
        work.p[0] = need / ds;
    }
    g = TableLayerOf(soil, col);
    if (QB > 0) {
        const double left = TakeFromTable(soil, col, g, QB * ds, work.w.data());
        for (int i = g; i <= n; ++i) work.w[U(i)] /= ds;  // withdrawal rates, m/s
        QB -= left / ds;
    }
    return QB;
}
// Solute balance of the sub-step and the loads that leave with the runoff (mm of water given;
// direct of the surface water that did not infiltrate, the rest of which stays in the pond).
void MoveTracers(const soil_entry& soil, ColumnState& col, const soilcolumn::SoluteWater& water,
                 const CellTracers& tracers, int T, double direct, double surface, double interflow,
                 double baseflow, CellResult& res) {
    soilcolumn::FpeReport local;
    soilcolumn::ColumnBalance(soil, col, water, tracers.columns, T, tracers.row, tracers.column,
                              tracers.fpe != nullptr ? *tracers.fpe : local);
    const double leaving = surface > 0 ? direct / surface : 1.0;
    for (int t = 0; t < T; ++t) {
        soilcolumn::TracerColumn& tr = tracers.columns[t];
        if (tr.par.mass) {
            // Direct flow carries away its share of what did not infiltrate from the surface
            // store; the pond keeps the rest.
            const double moved = tr.value[0] * leaving;
            res.tracerDirect[U(t)] += moved;
            tr.value[0] -= moved;
            res.tracerInterflow[U(t)] += tr.interflow;
            res.tracerBaseflow[U(t)] += tr.baseflow;
        } else {
            res.tracerDirect[U(t)] += tr.value[0] * direct;
            res.tracerInterflow[U(t)] += tr.interflow * interflow;
            res.tracerBaseflow[U(t)] += tr.baseflow * baseflow;
        }
    }
}
// Interflow above the table (m/s, returned), the water content at the table, the new table level
// and the storage change at the table of the sub-step.
double TableUpdate(const soil_entry& soil, CellWork& work, CellValues& cell, const StepSettings& set, int g0, int g,
                   double oldElevation, double QB, double D, const soilcolumn::SubstepTotals& totals,
                   double& thetaAtTable, CellResult& res) {
    const ColumnState& col = work.col;
    const double ds = cell.dt;
    double interflow = 0;
    for (int i = 1; i < g; ++i) interflow += col.e[U(i)];
    const std::size_t gl = U(g);
    // Net outflow of the table layer: the fluxes through its faces, interflow and the river
    // exchange, the roots' uptake and the base flow drawn from it, less the inflow from below.
    const double outflow = col.q[gl - 1] - col.q[gl] + col.e[gl] + col.rOut[gl] - col.rIn[gl] - work.p[gl] +
                           work.uptakeSum[gl] + work.w[gl];
    // Lowered by a positive outflow, down to field capacity; a value already below it is not
    // raised (a cold start takes the water content of the layer above the table).
    if (outflow > 0)
        thetaAtTable = std::max(thetaAtTable - outflow * ds / soil.thickness[gl],
                                std::min(thetaAtTable, col.fieldCapacity[gl]));
    const double newElevation = TableElevation(soil, col, g, thetaAtTable);
    cell.tableDistance = newElevation - col.z[0];
    const soilcolumn::TableChange change{g0, g, oldElevation, newElevation, QB, D};
    const double W = soilcolumn::WaterTableUpdate(soil, col, set.solver, change, ds, work.p.data(), totals);
    res.recharge += W;
    if (W >= 0)
        res.percolation += W;
    else
        res.uprise += W;
    return interflow;
}
// Dump mode: the column arrays at the start of the sub-step (before the iteration).
void TakeSnapshot(const soil_entry& soil, CellWork& w, bool heat) {
    const ColumnState& col = w.col;
    const std::size_t size = U(col.n) + 1;
    w.snapshot.assign(size * (heat ? 21 : 14), 0.0);
    const std::vector<double>* parts[] = {&col.psiOld, &col.K,       &col.thetaStar, &col.thetaOld, &col.thetaMean,
                                          &col.H,      &col.z,       &col.q,         &col.e,        &soil.theta_sat,
                                          &soil.thickness, &col.fieldCapacity, &soil.theta_res, &col.theta};
    double* out = w.snapshot.data();
    for (const std::vector<double>* p : parts)
        out = std::copy(p->begin(), p->begin() + static_cast<std::ptrdiff_t>(size), out);
    if (heat) std::copy(w.T.begin(), w.T.begin() + static_cast<std::ptrdiff_t>(size), w.snapshot.begin() + 15 * size);
}

// Dump mode: the heat arrays after the heat steps, around the temperatures before them.
void CompleteSnapshot(CellWork& w) {
    const std::size_t size = U(w.col.n) + 1;
    const std::vector<double>* parts[] = {&w.unfrozen, nullptr, &w.lambda, &w.heatCapacity, &w.latent, &w.dSdT, &w.T};
    for (std::size_t a = 0; a < 7; ++a)
        if (parts[a] != nullptr)
            std::copy(parts[a]->begin(), parts[a]->begin() + static_cast<std::ptrdiff_t>(size),
                      w.snapshot.begin() + static_cast<std::ptrdiff_t>((14 + a) * size));
}
// Dump mode: checks the new state of the sub-step; a failing one goes to the soil model with its
// snapshot (baseflow: mm of the sub-step).
void CheckSubstep(const soil_entry& soil, CellWork& w, const StepSettings& set, const CellForcing& in,
                  double baseflow, DumpRecord d) {
    const ColumnState& col = w.col;
    const std::size_t size = U(col.n) + 1;
    const std::span<const double> none;
    const std::span<const double> Told = d.heat ? std::span<const double>(w.snapshot.data() + 15 * size, size) : none;
    const std::span<const double> Tnew = d.heat ? std::span<const double>(w.T.data(), size) : none;
    d.flags = soildump::Check(col.n, {col.theta.data(), size}, {soil.theta_sat.data(), size}, baseflow, Told, Tnew,
                              in.nFactor * in.airTemperature);
    if (!d.flags.any()) return;
    if (d.heat) CompleteSnapshot(w);
    set.dump.call(set.dump.context, d);
}

// Heat and water sub-steps agree (m heat, k water sub-steps of the call); returns the heat
// sub-steps per water sub-step.
int AgreeSubsteps(int& m, int& k) {
    if (m <= 2 * k) {
        if (m <= k)
            m = k;
        else
            k = m;
        return 1;
    }
    m = (m / k + 1) * k;
    return m / k;
}
}  // namespace

void CellWork::Resize(int layers) {
    col.Resize(layers);
    const std::size_t size = static_cast<std::size_t>(layers) + 1;
    for (auto* v : {&cap, &inflow, &fraction, &weight, &uptake, &uptakeSum, &evap, &p, &w, &T, &Tnew, &unfrozen,
                    &dSdT, &lambda, &latent, &heatCapacity, &heatFlux, &heatChange, &heatStart, &ta, &tb, &tc, &tr,
                    &macroporeFlux, &layerEtr, &layerInterflow})
        if (v->size() < size) v->assign(size, 0.0);
    if (lambdaArguments.size() < size) lambdaArguments.assign(size, {NAN, NAN, NAN, NAN, NAN, NAN});
    if (mineralArguments.size() < size) mineralArguments.assign(size, {NAN, NAN, NAN});
    if (mineral.size() < size) mineral.assign(size, 0.0);
    if (freezingOffsets.size() < size) freezingOffsets.assign(size, NAN);
    if (thawed.size() < size) thawed.assign(size, 0);
    // Room for the slow sub-steps of a pass, so that the cell loop seldom allocates.
    if (slow.capacity() < kSlowReserve) slow.reserve(kSlowReserve);
}

void CellWork::ResizeTracers(int count, int layers) {
    const std::size_t size = static_cast<std::size_t>(count) * (static_cast<std::size_t>(layers) + 1);
    if (tracerValue.size() < size) {
        tracerValue.assign(size, 0.0);
        tracerOld.assign(size, 0.0);
    }
    if (tracerColumns.size() < static_cast<std::size_t>(count)) tracerColumns.resize(static_cast<std::size_t>(count));
}

void SoilTypeColumns::Prepare(const soil_entry* table) {
    static std::atomic<std::uint64_t> editions{0};
    edition_ = ++editions;
    table_ = table;
    const int count = table != nullptr ? std::max(0, static_cast<int>(table[0].code)) : 0;
    types_.resize(U(count) + 1);
    ColumnState col;
    for (int t = 1; t <= count; ++t) {
        col.SetSoil(table[t], 0.0);
        const auto end = static_cast<std::ptrdiff_t>(col.n) + 1;
        types_[U(t)].fieldCapacity.assign(col.fieldCapacity.begin(), col.fieldCapacity.begin() + end);
        types_[U(t)].sameTableAsAbove.assign(col.sameTableAsAbove.begin(), col.sameTableAsAbove.begin() + end);
        types_[U(t)].suctionLookupError.assign(col.suctionLookupError.begin(), col.suctionLookupError.begin() + end);
        types_[U(t)].suctionBounds.assign(col.suctionBounds.begin(), col.suctionBounds.begin() + end);
    }
}

const SoilTypeColumns::Type* SoilTypeColumns::Find(const soil_entry& soil) const {
    if (table_ == nullptr || &soil <= table_ || &soil >= table_ + types_.size()) return nullptr;
    const Type& t = types_[static_cast<std::size_t>(&soil - table_)];
    return t.fieldCapacity.size() == U(soil.layerCount) + 1 ? &t : nullptr;
}

void SoilTypeColumns::SetColumn(ColumnState& col, const soil_entry& soil, double surfaceElevation) const {
    const Type* t = Find(soil);
    if (t == nullptr) {
        col.SetSoil(soil, surfaceElevation);
        return;
    }
    // SetSoil's steps, with the values that depend on the soil alone copied (unless the column
    // holds them already, from the last cell of the same soil).
    if (col.n != soil.layerCount) col.Resize(soil.layerCount);
    col.z[0] = surfaceElevation;
    for (int i = 1; i <= col.n; ++i) {
        const std::size_t l = U(i);
        col.z[l] = col.z[l - 1] - soil.thickness[l];
        col.frozen[l] = 1.0;
    }
    if (col.typeSoil == &soil && col.typeEdition == edition_) return;
    for (int i = 1; i <= col.n; ++i) {
        const std::size_t l = U(i);
        col.sameTableAsAbove[l] = t->sameTableAsAbove[l];
        col.fieldCapacity[l] = t->fieldCapacity[l];
        col.suctionLookupError[l] = t->suctionLookupError[l];
        col.suctionBounds[l] = t->suctionBounds[l];
    }
    col.typeSoil = &soil;
    col.typeEdition = edition_;
}

const double* SoilTypeColumns::FieldCapacity(const soil_entry& soil) const {
    const Type* t = Find(soil);
    return t != nullptr ? t->fieldCapacity.data() : nullptr;
}

int TableLayerOf(const soil_entry& soil, const ColumnState& col) {
    int g = col.n;
    while (g > 1 && col.theta[U(g)] > kSaturatedShare * soil.theta_sat[U(g)]) --g;
    return g;
}

double StoredWater(const soil_entry& soil, const ColumnState& col) {
    double s = 0;
    for (int i = 1; i <= col.n; ++i) s += col.theta[U(i)] * soil.thickness[U(i)];
    return s;
}

int SubstepCount(const soil_entry& soil, const ColumnState& col, const StepSettings& set, int tableLayer,
                 double waterInput) {
    if (set.method != 3) return 1;
    const double dti = set.dtMinutes * 60.0 / set.N;
    double t = dti;
    for (int i = 1; i < tableLayer && i <= col.n; ++i) {
        const std::size_t l = U(i);
        // Frozen water slows the travel (the factor is 1 without heat transfer).
        const double Kr =
            waterInput > 0 ? 1.0 : soil.RelConductivityFromTheta(i, col.theta[l], std::max(0.5, col.frozen[l]));
        if (Kr <= 0) continue;
        t = std::min(t, soil.thickness[l] / (Kr * soil.ksat[l]));
    }
    t = std::max(t, set.minStep);
    return std::max(1, static_cast<int>(std::ceil(dti / t)));
}

CellResult StepCell(const soil_entry& soil, CellWork& work, CellValues& cell, const StepSettings& set,
                    const CellForcing& in, double& pond, double& thetaAtTable,
                    const soilcolumn::RiverExchangeHook& river, const CellTracers& tracers) {
    ColumnState& col = work.col;
    const int n = col.n;
    CellResult res;
    col.bisectionShortcut = work.memos;
    FillHeads(soil, col);
    // Heat sub-steps m of the call; the unfrozen fractions of the start enter the water numerics.
    int m = 0;
    if (set.heat.on()) {
        m = HeatStepCount(soil, work, set, in);
        for (int i = 1; i <= n; ++i) col.frozen[U(i)] = work.unfrozen[U(i)];
    }
    int k = SubstepCount(soil, col, set, cell.tableLayer, in.waterInput);
    const int h = set.heat.on() ? AgreeSubsteps(m, k) : 0;
    res.substeps = k;
    res.heatSubsteps = m;
    if (work.recordLayers) {
        std::fill(work.layerEtr.begin(), work.layerEtr.end(), 0.0);
        std::fill(work.layerInterflow.begin(), work.layerInterflow.end(), 0.0);
    }
    const double ds = set.dtMinutes * 60.0 / set.N / k;
    const double D = ds * 1000.0;
    const double perSub = 1.0 / (static_cast<double>(set.N) * k);
    cell.dt = ds;
    cell.clayLayer = ClayLayer(soil, n, in.clayDepth);
    double maxRootDepth = 0;
    double demand[kMaxVegetationLayers + 1] = {};
    const int T = tracers.columns != nullptr ? std::min(in.tracerCount, kMaxTracers) : 0;
    for (int t = 0; t < T; ++t) {
        soilcolumn::TracerParameters& par = tracers.columns[t].par;
        if (par.decays && k > 1) par.decayFactor = std::pow(par.decayFactor, 1.0 / k);
    }

    for (int s = 1; s <= k; ++s) {
        // Demands and water input of the sub-step (mm).
        for (int j = 1; j <= in.vegetationLayers; ++j) demand[j] = in.veg[U(j)].transpiration * perSub;
        double input = in.waterInput * perSub;
        double bypass = 0;
        // With ponding the surface store holds the pond's tracer, to which the water arriving
        // in the sub-step adds its own.
        const double pondBefore = pond;
        const double arriving = input + (in.hasSiltedUp ? in.siltedUp / k : 0.0);
        SurfaceWater(in, k, demand, pond, input, bypass, res);
        // The surface store of each tracer receives the water that reaches the soil surface: a
        // mass tracer its load, a concentration tracer takes the concentration of that water
        // (without water it keeps its value, and only decay changes it), mixed with the pond's.
        for (int t = 0; t < T; ++t) {
            soilcolumn::TracerColumn& tr = tracers.columns[t];
            const double cIn = in.inputConcentration[U(t)];
            if (in.hasSiltedUp) {
                // The water standing on the surface brings its own tracer (all of it: the part
                // that transpires leaves its tracer behind).
                const double silted = in.siltedUp / k, fell = arriving - silted;
                const double load = fell * cIn + silted * in.siltedUpConcentration[U(t)];
                if (tr.par.mass)
                    tr.value[0] += load;
                else if (in.ponding && arriving > 0)
                    tr.value[0] = (tr.value[0] * pondBefore + load) / (pondBefore + arriving);
                else if (!in.ponding && bypass + input > 0)
                    tr.value[0] = load / arriving;
            } else if (in.ponding) {
                if (tr.par.mass)
                    tr.value[0] += arriving * cIn;
                else if (arriving > 0)
                    tr.value[0] = (tr.value[0] * pondBefore + cIn * arriving) / (pondBefore + arriving);
            } else if (tr.par.mass) {
                tr.value[0] += (bypass + input) * cIn;
            } else if (bypass + input > 0) {
                tr.value[0] = cIn;
            }
        }
        double inRate = input / D;
        const double bypassRate = bypass / D;

        double macro = 0;
        if (!in.macroporesOff)
            macro = soilcolumn::MacroporeInfiltration(soil, inRate, D, col.theta.data(), work.cap.data(),
                                                      work.inflow.data());
        res.macropore += macro;

        const int g0 = cell.tableLayer;
        const double oldElevation = col.z[0] + cell.tableDistance;
        const RootResult rr =
            Uptake(soil, work, in, demand, in.potentialEvaporation * perSub, g0, ds, D, res);
        maxRootDepth = std::max(maxRootDepth, rr.depth);

        // Base flow: the groundwater model's rate of the cell, else the subbasin's recession.
        int g = 1;
        const double QB0 = set.groundwaterModel ? in.groundwaterBaseflow
                                                : in.Q0 * std::exp(cell.tableDistance * in.kelsqlat) * perSub / D;
        const double QB = BaseFlow(soil, work, QB0, ds, g);
        res.baseflow += QB * D;
        if (in.irrigationFromGroundwater) res.irrigationTaken += std::max(0.0, -QB * D);

        cell.tableLayer = g;
        cell.rootLayer = rr.layer;
        soilcolumn::SubstepTotals totals;
        soilcolumn::BeginSubstep(col);
        const bool dump = set.dump.on();
        if (dump) TakeSnapshot(soil, work, h > 0);
        const soilcolumn::IterationResult it =
            soilcolumn::IterateSubstep(soil, col, cell, set.solver, inRate, river, totals);
        if (it.iterations > kLoggedIterations) work.slow.push_back({0, 0, it.iterations, it.error});
        if (work.recordLayers)
            for (int i = 1; i <= n; ++i) work.layerInterflow[U(i)] += col.e[U(i)] * D;

        const double heatDt = h > 0 ? set.dtMinutes * 60.0 / set.N / m : 0.0;
        // The frozen factors after the last sub-step would serve no water numerics: the next
        // call of a cell starts from those of its temperatures then.
        if (h > 0) HeatSteps(soil, work, set, in, h, heatDt, s < k);
        if (dump)
            CheckSubstep(soil, work, set, in, QB * D,
                         DumpRecord{.flags = {}, .substep = s, .rootLayers = rr.layer,
                                    .tableDistance = oldElevation - col.z[0], .input = input, .baseflow = QB,
                                    .vegetationLayers = in.vegetationLayers,
                                    .transpiration = res.transpiration.data(), .n = n,
                                    .arrays = work.snapshot.data(), .heat = h > 0, .heatDt = heatDt, .k = k,
                                    .ds = ds, .m = m, .h = h, .airTemperature = in.airTemperature});

        const double interflow =
            TableUpdate(soil, work, cell, set, g0, g, oldElevation, QB, D, totals, thetaAtTable, res);

        // Infiltration, excess, direct flow and the ponding limit.
        const double q0 = col.q[0];
        double excess;
        if (q0 < 0) {
            res.totalInfiltration += -q0 * D;
            excess = (inRate + q0 + bypassRate) * D;
        } else {
            excess = (inRate + bypassRate) * D;
        }
        double direct = excess / D + work.p[0];
        const double surfaceRate = direct;  // before the pond keeps its part
        if (in.ponding) {
            // The excess is what the water standing on the surface at the start of the sub-step
            // (the pond with the input) could not take beyond the macropores; the pond still
            // holds that water here, before the limit below sets its new level.
            excess -= pond - macro;
            // The limit is tested on the water left on the surface after infiltration: tested on
            // the pond as it stood before it, a full pond would send its excess away and still
            // let the soil take its infiltration, making that water twice.
            const double surface = direct * D;
            if (surface > in.maxPonding) {
                direct = (surface - in.maxPonding) / D;
                pond = in.maxPonding;
            } else {
                pond = surface;
                direct = 0;
            }
        }
        if (T > 0) {
            soilcolumn::SoluteWater water;
            water.dt = ds;
            water.factor = D;
            water.tableLayer = g;
            water.p = work.p.data();
            water.w = work.w.data();
            water.exfiltrationTotal = totals.riverExfiltration;
            water.interflowTotal = interflow;
            water.directFlow = surfaceRate;
            water.cellBaseflow = QB;
            water.groundwaterActive = set.groundwaterModel;
            water.aquiferThickness = in.aquiferThickness;
            MoveTracers(soil, col, water, tracers, T, direct * D, surfaceRate * D, interflow * D, QB * D, res);
        }
        res.infiltrationExcess += std::max(0.0, excess);
        // Runoff of silted-up surfaces never reaches the soil; it leaves with the direct flow.
        res.directflow += direct * D + in.siltedRunoff * perSub;
        for (int t = 0; t < T; ++t)
            res.tracerDirect[U(t)] += in.siltedRunoff * perSub * in.siltedRunoffConcentration[U(t)];
        res.interflow += interflow * D;
        res.drainage += totals.drainage * D;
        res.riverInfiltration += totals.riverInfiltration * ds;
        res.riverExfiltration += totals.riverExfiltration * ds;
        res.topFlux = q0;
    }

    res.tableLayer = cell.tableLayer;
    res.tableDistance = cell.tableDistance;
    res.thetaAtTable = thetaAtTable;
    if (maxRootDepth > 0) {
        res.sb1 = soilcolumn::ThetaOverDepth(soil, col.theta.data(), 0, maxRootDepth, 1, -9999.0) / maxRootDepth;
    } else {
        res.sb1 = col.theta[1];
    }
    // Phenology compares the suction (m) of the root zone's mean water content with its limits
    // (the curve takes a water content: the mean relative saturation would give a suction near 0).
    res.meanThetaRoot = soil.SuctionFromTheta(1, res.sb1);
    res.sb2 = soilcolumn::ThetaOverDepth(soil, col.theta.data(), 0, soilcolumn::kWholeProfile, 1, -9999.0) * 1000.0;
    res.rootDepth = maxRootDepth * 1000.0;
    return res;
}

}  // namespace soilstep
