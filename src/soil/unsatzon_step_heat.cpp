// Heat transfer of a cell's soil column within one call (see unsatzon_step_column.hpp): layer
// properties from the temperatures and water contents, the number of heat sub-steps and one heat
// sub-step of the explicit or the implicit scheme.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cmath>

#include "soil/soilheat.hpp"
#include "soil/unsatzon_step_column.hpp"
#include "tables/soil_entry.hpp"

namespace soilstep {

namespace {
std::size_t U(int i) { return static_cast<std::size_t>(i); }

// Equal bit patterns (as memcmp compares them), element by element without a library call.
template <std::size_t N>
bool SameBits(const std::array<double, N>& a, const std::array<double, N>& b) {
    bool same = true;
    for (std::size_t i = 0; i < N; ++i)
        same = same & (std::bit_cast<std::uint64_t>(a[i]) == std::bit_cast<std::uint64_t>(b[i]));
    return same;
}

soilheat::Column HeatColumn(const soil_entry& soil, const CellWork& w) {
    const std::size_t size = U(w.col.n) + 1;
    return {w.col.n, {w.lambda.data(), size}, {w.heatCapacity.data(), size}, {soil.thickness.data(), size}};
}

// The properties of layer k from its temperature and water content (see HeatProperties); inline in
// the loops over the layers, which then keep their values in registers.
[[gnu::always_inline]] inline void LayerProperties(const soil_entry& soil, CellWork& w, const HeatSettings& h, int k,
                                                   double* offsets) {
    const std::size_t l = U(k);
    const double T = w.T[l];
    const double theta = w.col.theta[l];
    const bool memos = w.memos;
    w.thawed[l] = T > 0;
    soil.UnfrozenAndDerivative(k, T, theta, offsets == nullptr ? nullptr : offsets + l, w.unfrozen[l], w.dSdT[l]);
    // Equal bits give the same powers: the conductivity is computed again only when an
    // argument changed, and its mineral part only when one of its own arguments did.
    const std::array<double, 6> arguments{soil.theta_sat[l], theta, w.unfrozen[l], soil.DryThermalConduct[l],
                                          h.lamWater, h.lamIce};
    // The water content and the unfrozen fraction change most often: they are compared first.
    const std::array<double, 6>& last = w.lambdaArguments[l];
    const bool same = std::bit_cast<std::uint64_t>(arguments[2]) == std::bit_cast<std::uint64_t>(last[2]) &&
                      std::bit_cast<std::uint64_t>(arguments[1]) == std::bit_cast<std::uint64_t>(last[1]) &&
                      SameBits(arguments, last);
    if (!memos || !same) {
        const std::array<double, 3> mineralArguments{arguments[0], arguments[1], arguments[3]};
        if (!memos || !SameBits(mineralArguments, w.mineralArguments[l])) {
            w.mineral[l] = soilheat::MineralFactor(arguments[0], arguments[1], arguments[3]);
            w.mineralArguments[l] = mineralArguments;
        }
        w.lambda[l] = soilheat::ConductivityWithMineral(arguments[0], arguments[1], arguments[2], w.mineral[l],
                                                        arguments[4], arguments[5]);
        w.lambdaArguments[l] = arguments;
    }
    w.latent[l] = soilheat::LatentHeatCapacity(theta, soil.theta_res[l], w.dSdT[l], h.latentHeat, h.rhoWater);
    w.heatCapacity[l] =
        soil.LayerHeatCapacity(k, T, w.unfrozen[l], w.latent[l], theta, h.rhoWater, h.cWater, h.cIce0, h.cIce20);
}
}  // namespace

void HeatProperties(const soil_entry& soil, CellWork& w, const HeatSettings& h, bool freezingOffsets,
                    bool keepThawed) {
    const int n = w.col.n;
    keepThawed = keepThawed && w.memos;
    double* offsets = freezingOffsets && w.memos ? w.freezingOffsets.data() : nullptr;
    for (int k = 1; k <= n; ++k) {
        // Above 0 degrees a layer's properties do not depend on its temperature: a layer that
        // was above 0 when they were last computed, at the same water content, keeps them.
        if (keepThawed && w.thawed[U(k)] != 0 && w.T[U(k)] > 0) continue;
        LayerProperties(soil, w, h, k, offsets);
    }
}

int HeatStepCount(const soil_entry& soil, CellWork& w, const StepSettings& set, const CellForcing& in) {
    const double dt = set.dtMinutes * 60.0;
    const double surface = in.nFactor * in.airTemperature;
    double change;
    if (w.memos) {
        // The count needs the trial change of layer 1 alone, and the water numerics the unfrozen
        // fractions: the other layers' properties (their derivatives too) wait for the first heat
        // sub-step, which computes them from the sub-step's water contents. The same operations
        // as below.
        LayerProperties(soil, w, set.heat, 1, nullptr);
        for (int k = 2; k <= w.col.n; ++k) {
            const std::size_t l = U(k);
            w.unfrozen[l] = soil.UnfrozenFraction(k, w.T[l], w.col.theta[l]);
            w.thawed[l] = 0;
        }
        const int n = w.col.n;
        const double* l = w.lambda.data();
        const double* d = soil.thickness.data();
        const double* T = w.T.data();
        const double q0 = -2.0 * l[1] / d[1] * (surface - T[1]);
        const double q1 =
            n > 1 ? -2.0 * l[1] * (T[1] - T[2]) / (d[1] + d[2]) : -2.0 * l[n] / d[n] * (T[n] - in.lowerTemperature);
        change = dt / (d[1] * w.heatCapacity[1]) * (q1 - q0);
    } else {
        HeatProperties(soil, w, set.heat);
        const soilheat::Column column = HeatColumn(soil, w);
        const std::size_t size = U(w.col.n) + 1;
        // Trial explicit step over the whole model step, without limiting; only layer 1's change counts.
        soilheat::LayerFluxes(column, {w.T.data(), size}, surface, in.lowerTemperature, {w.heatFlux.data(), size});
        soilheat::TemperatureChange(column, {w.heatFlux.data(), size}, dt, {w.heatChange.data(), size});
        change = w.heatChange[1];
    }
    return soilheat::HeatSubsteps(change, in.airTemperature, w.T[1], dt, set.heat.shortest, set.heat.longest);
}

void HeatSubstep(const soil_entry& soil, CellWork& w, const StepSettings& set, const CellForcing& in, double dt,
                 bool freezingOffsets, bool keepThawed) {
    HeatProperties(soil, w, set.heat, freezingOffsets, keepThawed);
    const soilheat::Column column = HeatColumn(soil, w);
    const std::size_t size = U(w.col.n) + 1;
    const std::span<double> T{w.T.data(), size};
    const double surface = in.nFactor * in.airTemperature;
    if (set.heat.method <= 10) {
        // The limiter takes the surface temperature the fluxes see as the level above layer 1:
        // with the bare air temperature a column under an n-factor other than 1 could not cool
        // (or warm) its top below its second layer.
        soilheat::ExplicitStep(column, T, surface, in.lowerTemperature, surface, dt,
                               {w.heatFlux.data(), size}, {w.heatChange.data(), size}, {w.heatStart.data(), size});
        return;
    }
    // Infiltrating water enters at 0 degrees under snow, else at the air temperature.
    soilheat::Advection adv{{w.col.q.data(), size},
                            {w.macroporeFlux.data(), size},
                            in.hasSnow && in.snow > 0 ? 0.0 : in.airTemperature};
    const soilheat::Tridiagonal work{{w.ta.data(), size}, {w.tb.data(), size}, {w.tc.data(), size},
                                     {w.tr.data(), size}};
    soilheat::ImplicitStep(column, T, surface, in.lowerTemperature, in.lowerFluxBoundary, in.lowerFlux, dt,
                           set.heat.method > 11 ? &adv : nullptr, work, {w.Tnew.data(), size});
    std::copy(w.Tnew.begin() + 1, w.Tnew.begin() + static_cast<std::ptrdiff_t>(size), w.T.begin() + 1);
}

void HeatSteps(const soil_entry& soil, CellWork& w, const StepSettings& set, const CellForcing& in, int h,
               double dt, bool frozenFactors) {
    // Macropore water enters its layers (m/s, downward).
    for (int i = 1; i <= w.col.n; ++i) w.macroporeFlux[U(i)] = in.macroporesOff ? 0.0 : -w.inflow[U(i)];
    // The water contents stay the same over the heat sub-steps: their freezing offsets are kept.
    std::fill(w.freezingOffsets.begin(), w.freezingOffsets.begin() + w.col.n + 1, NAN);
    // So do the properties of the layers above 0 degrees from the second sub-step on.
    for (int j = 0; j < h; ++j) HeatSubstep(soil, w, set, in, dt, true, j > 0);
    // The water numerics of the next sub-step see the new unfrozen fractions, from the freezing
    // offsets the sub-steps kept (the water contents are still theirs).
    if (frozenFactors)
        soil.UnfrozenFractionPerLayer(w.col.frozen.data(), w.T.data(), w.col.theta.data(),
                                      w.memos ? w.freezingOffsets.data() : nullptr);
}

double ThawDepth(const soil_entry& soil, const double* T, const double* threshold, int n) {
    double top = 0, lastNode = 0, lastExcess = 0;
    for (int k = 1; k <= n; ++k) {
        const double d = soil.thickness[U(k)];
        const double node = top + d / 2;
        const double excess = T[k] - threshold[k];
        if (!(excess > 0)) {
            if (k == 1) return 0.0;
            return lastNode + (node - lastNode) * lastExcess / (lastExcess - excess);
        }
        lastNode = node;
        lastExcess = excess;
        top += d;
    }
    return top;
}

double FrozenBelowTable(const soil_entry& soil, const double* T, const double* threshold, int n, int tableLayer) {
    double sum = 0;
    for (int k = std::max(1, tableLayer); k <= n; ++k)
        if (T[k] <= threshold[k]) sum += soil.thickness[U(k)];
    return sum;
}

}  // namespace soilstep
