// Dynamic phenology: once a day the start of the growing season (and for the chilling-day
// method the fix points of the season and the start of leaf fall) moves per cell and layer
// with the air temperature. The grids written here are read back by the interpolation of the
// land-use entries: "Pheno_start" gives the season start, "MultipleStartTimes" the per-cell
// fix-point days, "SumOfForcingUnits" the forcing sum of the degree-day method.
#include <algorithm>
#include <cmath>

#include "kernel/modelobject.hpp"
#include "kernel/threading.hpp"
#include "tables/landuse_grids.hpp"

// The state of one cell in one layer. D (fix-point days), S (leaf-fall start) and M (root-zone
// moisture) are null when the run has no such grid.
struct LanduseParameterGrids::PhenologyCell {
    double* F;       // forcing sum
    double* P;       // season start day, negative: not started
    double* Q;       // chilling sum
    double* Fstar;   // forcing threshold of the cell
    double* D;       // fix-point days, level 0 the threshold of the last point reached
    double* S;       // start day of leaf fall
    double* counter; // days toward leaf fall
    double T;        // the day's mean temperature
    double T7;       // 7-day mean temperature
    const double* M;
};

namespace {

constexpr double kStressMoistureTop = 150.0;
constexpr int kLeafFallDays = 5;

// Forcing unit of a day with mean temperature T over base temperature Tb.
double ForcingUnit(double T, double Tb) {
    if (!(T > Tb)) return 0.0;
    return 28.4 / (1.0 + std::exp(-0.185 * (T - Tb - 18.4)));
}

// Triangular chilling unit: full at DP2_T_Bc, none outside the two offsets.
double ChillingUnit(double T, const landuse_entry& e) {
    if (T <= e.DP2_Offset_1 || T >= e.DP2_Offset_2) return 0.0;
    if (T <= e.DP2_T_Bc) return (T - e.DP2_Offset_1) / (e.DP2_T_Bc - e.DP2_Offset_1);
    return (T - e.DP2_Offset_2) / (e.DP2_T_Bc - e.DP2_Offset_2);
}

// The season starts at the first fix point not before the day or not reached yet; the point
// after it (when the land use has one) follows at its table distance from the start.
void StartSeasonAtFixPoint(double* D, const landuse_entry& e, int d, double nodata) {
    const int n = e.fixPointCount;
    for (int p = 1; p <= n; ++p) {
        if (D[p] == nodata) return;
        if (d <= D[p] || D[p] <= 0) {
            D[p] = d;
            if (p + 1 <= n) D[p + 1] = e.GetJulDay(p + 1) + d;
            return;
        }
    }
}

void ResetFixPointDays(double* D, const landuse_entry& e) {
    if (D == nullptr) return;
    for (int k = 1; k <= e.fixPointCount; ++k) D[k] = e.GetJulDay(k);
}

}  // namespace

void LanduseParameterGrids::UpdateDynamicPhenology(int d, int layers) {
    if (!dynamic_) return;
    for (std::size_t i = 1; i < table_.size(); ++i) {
        landuse_entry& e = table_[i];
        if ((e.method == landuse_entry::kDynamicPhenology2 && e.DP2_t0_dorm == d) ||
            (e.method == landuse_entry::kDynamicPhenology4 && e.DP4_t0_dorm == d))
            e.simpleForcing = 0;
    }
    const int L = std::min(layers, layers_);
    const double nodata = setup_.nodata;
    const int first = setup_.firstRow, last = setup_.lastRow;
#pragma omp parallel for schedule(runtime) if (WorthThreads(first, last, setup_.ncols))
    for (int r = first; r <= last; ++r) {
        const ColumnRange cols = Columns(r);
        for (int c = cols.first; c <= cols.last; ++c) {
            if (!OwnCell(r, c)) continue;
            for (int l = 1; l <= L; ++l) {
                const Matrix* landuse = landuse_[static_cast<std::size_t>(l)];
                if (!landuse->holds(r)) continue;
                const double value = (*landuse)[r][c];
                const double position = std::trunc(value);
                // A value that is no table position fails in the parameter update that follows.
                if (!(value > nodata) || position < 1 || position >= static_cast<double>(table_.size())) continue;
                const landuse_entry& e = table_[static_cast<std::size_t>(position)];
                const PhenologyCell cell = CellState(l, r, c);
                switch (e.method) {
                    case landuse_entry::kDynamicPhenology1: SimpleForcingRule(cell, e, d); break;
                    case landuse_entry::kDynamicPhenology2:
                        e.simpleForcing ? SimpleForcingRule(cell, e, d) : ChillingRule(cell, e, d);
                        break;
                    case landuse_entry::kDynamicPhenology3:
                        if (cell.D != nullptr) DegreeDayRule(cell, e, d);
                        break;
                    case landuse_entry::kDynamicPhenology4:
                        e.simpleForcing ? SimpleForcingRule(cell, e, d) : ChillingDaysRule(cell, e, d);
                        break;
                    default: break;
                }
            }
        }
    }
}

LanduseParameterGrids::PhenologyCell LanduseParameterGrids::CellState(int l, int r, int c) const {
    const std::size_t slot = static_cast<std::size_t>(l);
    auto at = [&](LayerGrid g) { return &(*grids_[g][slot])[r][c]; };
    const Stack* D = startTimes_[slot];
    return PhenologyCell{at(kForcingSum),
                         at(kPhenoStart),
                         at(kChillingSum),
                         at(kForcingThreshold),
                         D != nullptr && D->holds(r) ? (*D)[r][c] : nullptr,
                         &(*leafFallStart_)[r][c],
                         &history_[r][c][0],
                         (*temperatureAvg_)[r][c],
                         (*movingAverage_)[r][c],
                         rootZoneMoisture_ != nullptr && rootZoneMoisture_->holds(r) ? &(*rootZoneMoisture_)[r][c]
                                                                                     : nullptr};
}

// Forcing scaled up by the soil moisture of the root zone above the entry's dry limit.
double LanduseParameterGrids::StressedForcing(const PhenologyCell& cell, const landuse_entry& e, double x) const {
    if (e.StressFactorDynPhen <= 0) return x;
    double s = 0;
    if (cell.M != nullptr && *cell.M >= e.HReduDry && kStressMoistureTop > e.HReduDry)
        s = (*cell.M - e.HReduDry) / (kStressMoistureTop - e.HReduDry);
    return (s * e.StressFactorDynPhen + 1) * x;
}

void LanduseParameterGrids::SimpleForcingRule(const PhenologyCell& cell, const landuse_entry& e, int d) const {
    if (*cell.P < 0 && e.DP1_t1_dorm <= d) {
        *cell.F += StressedForcing(cell, e, ForcingUnit(cell.T, e.DP1_T_Bf));
        if (*cell.F > e.FStar) {
            *cell.P = d;
            if (e.method == landuse_entry::kDynamicPhenology4 && cell.D != nullptr)
                StartSeasonAtFixPoint(cell.D, e, d, setup_.nodata);
        }
    }
    if (d == e.JDReset_TStart) {
        *cell.F = 0;
        *cell.P = -1;
        *cell.S = 0;
        ResetFixPointDays(cell.D, e);
    }
}

void LanduseParameterGrids::ChillingRule(const PhenologyCell& cell, const landuse_entry& e, int d) const {
    if (*cell.P < 0 && e.DP2_t1_dorm <= d) {
        *cell.F += StressedForcing(cell, e, ForcingUnit(cell.T, e.DP2_T_Bf));
        if (*cell.F > *cell.Fstar) *cell.P = d;
    }
    if (d >= e.DP2_t0_dorm || d < e.DP2_t1_dorm) *cell.Q += ChillingUnit(cell.T, e);
    if (d == e.JDReset_TStart) {
        *cell.F = 0;
        *cell.P = -1;
    }
    if (d == e.DP2_t0_dorm - 1) *cell.Q = 0;
    if (d == e.DP2_t1_dorm - 1) *cell.Fstar = e.DP2_Par_a * std::exp(*cell.Q * e.DP2_Par_b);
}

// Degree-days move the season through the fix points: point k is reached when the forcing sum
// attains its threshold; a point without threshold is reached on its table day.
void LanduseParameterGrids::DegreeDayRule(const PhenologyCell& cell, const landuse_entry& e, int d) const {
    double* D = cell.D;
    const int n = e.fixPointCount;
    int k = 1;
    while (k <= n && D[k] > 0 && d > D[k]) ++k;
    if (k <= n && e.GetJulDay(k) <= d && e.GetDP3Value(k) > 0) {
        D[k] = e.GetJulDay(k);
        D[0] = e.GetDP3Value(k);
    }
    *cell.F += StressedForcing(cell, e, cell.T > e.DP1_T_Bf ? cell.T - e.DP1_T_Bf : 0.0);
    // Only the fix points of the cell's own land use are marked; the levels beyond stay nodata.
    if (k <= n && D[k] < 0) {
        const double t = e.GetDP3Value(k);
        if (t <= *cell.F) {
            D[k] = d;
            D[0] = t;
        }
    }
    if (d == 1) {
        *cell.F = 0;
        D[0] = 0;
        for (int j = 1; j <= n; ++j)
            D[j] = e.GetDP3Value(j) < 0 || e.GetJulDay(j) < 2 ? e.GetJulDay(j) : -1;
    }
}

void LanduseParameterGrids::ChillingDaysRule(const PhenologyCell& cell, const landuse_entry& e, int d) const {
    if (*cell.P < 0 && e.DP4_t1_dorm <= d) {
        *cell.F += StressedForcing(cell, e, cell.T >= e.DP4_T1 ? cell.T - e.DP4_T1 : 0.0);
        if (*cell.F > *cell.Fstar) {
            *cell.P = d;
            if (cell.D != nullptr) StartSeasonAtFixPoint(cell.D, e, d, setup_.nodata);
        }
    }
    if ((d >= e.DP4_t0_dorm || *cell.P < 0) && cell.T <= e.DP4_T0) *cell.Q += 1;
    if (d == e.JDReset_TStart) {
        *cell.F = 0;
        *cell.P = -1;
        *cell.S = 0;
        ResetFixPointDays(cell.D, e);
    }
    if (d == e.DP4_t0_dorm - 1) *cell.Q = 0;
    if (d >= e.DP4_t1_dorm - 1 && *cell.P < 0)
        *cell.Fstar = *cell.Q > 0 ? e.DP4_Par_a + e.DP4_Par_b * std::log(*cell.Q) : e.DP4_Par_a;
    LeafFallRule(cell, e, d);
}

// Leaf fall starts after five days in a row with a 7-day mean below the entry's limit, at the
// latest on the table day of fix point DP4_SPSLF; that fix point moves to the day, the one
// after it by as much, and earlier points that would now lie after it are pulled before it.
void LanduseParameterGrids::LeafFallRule(const PhenologyCell& cell, const landuse_entry& e, int d) const {
    if (!(d >= e.DP4_t_xs1 && *cell.S <= 0 && *cell.P > 0)) return;
    *cell.counter = cell.T7 >= e.DP4_T_xylstop ? 0 : *cell.counter + 1;
    if (!(*cell.counter >= kLeafFallDays || d >= e.GetJulDay(e.DP4_SPSLF))) return;
    const int q = e.DP4_SPSLF, n = e.fixPointCount;
    double* D = cell.D;
    if (D != nullptr && q >= 1 && q <= n) {
        if (q + 1 <= n) D[q + 1] += d - D[q];
        D[q] = d;
        for (int k = 1; k < q; ++k)
            if (D[k] > d || D[k] < 0 || D[k] < D[k - 1]) D[k] = d - 1;
    }
    *cell.S = d;
}
