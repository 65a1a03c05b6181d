// The soil model's side of heat transfer: the settings and forcing of a cell's heat steps, the
// storing of its temperatures, thaw depth and frozen soil below the table, and the temperature
// profile of the first step.
#include <algorithm>

#include "kernel/nodata.hpp"
#include "kernel/threading.hpp"
#include "soil/unsatzon.hpp"
#include "tables/landuse_entry.hpp"
#include "tables/soil_entry.hpp"

namespace {
std::size_t U(int i) { return static_cast<std::size_t>(i); }
}  // namespace

soilstep::HeatSettings unsatzonmodellklasse::HeatStepSettings() const {
    soilstep::HeatSettings h;
    if (!heat.on()) return h;
    using H = SoilHeatConfig;
    h.method = std::max(1, heat.method);
    h.lamWater = heat[H::LamWat];
    h.lamIce = heat[H::LamIce];
    h.cWater = heat[H::CWater];
    h.cIce0 = heat[H::CIce0];
    h.cIce20 = heat[H::CIce20];
    h.rhoWater = heat[H::RhoWater];
    h.latentHeat = heat[H::LatHeat];
    h.shortest = heat[H::ShortestStep];
    h.longest = heat[H::LongestStep];
    return h;
}

double unsatzonmodellklasse::NFactorOf(int r, int c, double airTemperature) const {
    const bool freezing = airTemperature < 0;
    double nf = -1;
    const int landuseCount = settings.landuseTable != nullptr ? settings.landuseTable[0].GetNumber() : 0;
    const double code = in.landuse.size() > 1 && in.landuse[1] != nullptr ? (*in.landuse[1])[r][c] : nodata;
    const int lu = static_cast<int>(code);
    if (code > nodata && lu >= 1 && lu <= landuseCount) {
        const landuse_entry& e = settings.landuseTable[lu];
        // A land use without n-factor values over the year has none for the date.
        if (!e.nFactor.empty()) nf = e.NFactorAtDate(*log, stepDay, stepMonth, stepYear);
        if (nf < 0) nf = freezing ? e.GetNFactorFreezing() : e.GetNFactorThawing();
    }
    if (nf < 0) nf = freezing ? heat[SoilHeatConfig::NFactorFreezing] : heat[SoilHeatConfig::NFactorThawing];
    return nf;
}

void unsatzonmodellklasse::FillHeatForcing(int r, int c, int n, soilstep::CellForcing& f,
                                           soilstep::CellWork& work) const {
    // A step without air temperature data exchanges no heat with the air: the surface takes
    // the temperature of the top layer.
    const double air = (*in.temperature)[r][c];
    f.airTemperature = NoData(air, nodata) ? own.soilTemperature[r][c][1] : air;
    f.nFactor = NFactorOf(r, c, f.airTemperature);
    f.lowerTemperature = (*in.lowerBoundaryTemperature)[r][c];
    f.lowerFluxBoundary = lowerHeatFluxBoundary;
    f.lowerFlux = lowerHeatFluxBoundary ? (*in.lowerBoundaryHeatFlux)[r][c] : 0.0;
    const double* T = own.soilTemperature[r][c];
    for (int k = 1; k <= n; ++k) work.T[U(k)] = T[k];
}

void unsatzonmodellklasse::StoreHeatResult(int r, int c, int n, const soilstep::CellWork& work, int tableLayer) {
    const soil_entry& soil = SoilOf(r, c);
    double* T = own.soilTemperature[r][c];
    for (int k = 1; k <= n; ++k) T[k] = work.T[U(k)];
    const std::vector<double>& threshold = freezingThreshold[U(static_cast<int>((*in.soilTypes)[r][c]))];
    own.thawDepth[r][c] = soilstep::ThawDepth(soil, work.T.data(), threshold.data(), n);
    if (groundwaterActive != 0 && !own.frozenSoilInGroundwater.empty())
        own.frozenSoilInGroundwater[r][c] =
            soilstep::FrozenBelowTable(soil, work.T.data(), threshold.data(), n, tableLayer);
}

void unsatzonmodellklasse::InitialTemperatureProfile() {
    // Each layer between the air temperature at the surface and the lower boundary temperature,
    // by the relative depth of its centre. The rows are independent: threads share them.
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!own.soilTemperature.holds(r)) continue;
        for (int c = 1; c <= ncols; ++c) {
            double* T = own.soilTemperature[r][c];
            if (!IsOwnCell(r, c)) {
                std::fill(T + 1, T + nlayers + 1, nodata);
                continue;
            }
            const double* z = own.geodeticHeads[r][c];
            const int n = SoilOf(r, c).GetLayerCount();
            const double lower = (*in.lowerBoundaryTemperature)[r][c];
            const double air = NoData((*in.temperature)[r][c], nodata) ? lower : (*in.temperature)[r][c];
            T[0] = lower;
            const double depth = z[0] - z[n];
            for (int k = 1; k <= n; ++k) {
                const double w = depth > 0 ? (z[0] - (z[k - 1] + z[k]) / 2) / depth : 0.0;
                T[k] = lower * w + air * (1.0 - w);
            }
        }
    }
    deriveInitialTemperatures = false;
}
