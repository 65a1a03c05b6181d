// Pre-spin-up of the soil temperatures: freezing and thawing degree days and the annual mean
// air temperature accumulated over a temperature series before the model period, then the
// initial temperature profile from the top-of-permafrost temperature.
#include <algorithm>
#include <cmath>

#include "kernel/nodata.hpp"
#include "kernel/threading.hpp"
#include "soil/soilheat.hpp"
#include "soil/unsatzon.hpp"
#include "tables/landuse_entry.hpp"
#include "tables/soil_entry.hpp"

namespace {
std::size_t U(int i) { return static_cast<std::size_t>(i); }
constexpr double kGeothermalFlux = 0.06;  // W/m2 without a flux boundary
}  // namespace

void unsatzonmodellklasse::StartPreSpinUp() {
    const char* names[] = {"FreezingDegreeDays", "thawingDegreeDays", "DailyTemperature", "AnnualTemperature"};
    Matrix* grids[] = {&spinUp.freezing, &spinUp.thawing, &spinUp.daily, &spinUp.annual};
    for (int i = 0; i < 4; ++i) {
        // An existing freezing degree-day grid serves as the accumulator.
        const int existing = i == 0 ? FindGrid(names[i], true) : 0;
        if (existing > 0 && (*gridStore)[existing].grid != nullptr) {
            spinUp.accumulators[U(i)] = (*gridStore)[existing].grid;
            continue;
        }
        const int index = FirstFreeGridIndex();
        if (index > GridStore::kMaxIndex) {
            *log << "FATAL: no more free grids in memory, (max. " << 1000 << ")!" << "[end-entry]";
            throw ModelError(12);
        }
        *grids[i] = matrix(firstRow, lastRow, 1, ncols, nrows);
        grids[i]->fill(nodata);
        RegisterGrid(index, names[i], grids[i], nullptr, 0, names[i], 0, firstRow, lastRow);
        spinUp.entries.push_back(index);
        spinUp.accumulators[U(i)] = grids[i];
    }
    for (int r = firstRow; r <= lastRow; ++r)
        for (int c = 1; c <= ncols; ++c)
            if (IsOwnCell(r, c))
                for (Matrix* m : spinUp.accumulators) (*m)[r][c] = 0.0;
    for (Matrix* m : {&spinUp.daySteps, &spinUp.dataSteps}) {
        *m = matrix(firstRow, lastRow, 1, ncols, nrows);
        m->fill(0.0);
    }
    spinUp.active = true;
}

void unsatzonmodellklasse::PreSpinUpDegreeDays(std::int64_t hour, std::int64_t, std::int64_t, std::int64_t) {
    if (flowControl == 0) return;
    if (!heat.on() || in.temperature == nullptr) {
        *log << "FATAL: heat transfer model not active in unsatzon_model. This is required for pre-SpinUp!"
             << "[end-entry]";
        throw ModelError(1040);
    }
    if (!spinUp.active) StartPreSpinUp();
    ++spinUp.totalSteps;
    // A day ends with the step that ends at hour 24 of it; a daily (or longer) step ends one.
    const std::int64_t stepHours = static_cast<std::int64_t>(timeInterval / 60.0);
    const bool dayEnds = stepHours >= 24 || hour + stepHours == 24;
    Matrix& fdd = *spinUp.accumulators[0];
    Matrix& tdd = *spinUp.accumulators[1];
    Matrix& daily = *spinUp.accumulators[2];
    Matrix& annual = *spinUp.accumulators[3];
    Matrix& daySteps = spinUp.daySteps;
    Matrix& dataSteps = spinUp.dataSteps;
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r) {
        const ColumnRange cols = ColumnsOf(r);
        for (int c = cols.first; c <= cols.last; ++c) {
            if (!IsOwnCell(r, c)) continue;
            // A step without temperature data adds nothing to the sums nor to the steps they
            // are taken over; a day without any data adds no degree days.
            const double t = (*in.temperature)[r][c];
            if (!NoData(t, nodata)) {
                daily[r][c] += t;
                annual[r][c] += t;
                daySteps[r][c] += 1.0;
                dataSteps[r][c] += 1.0;
            }
            if (!dayEnds) continue;
            if (daySteps[r][c] > 0) {
                const double mean = daily[r][c] / daySteps[r][c];
                if (mean >= 0)
                    tdd[r][c] += mean;
                else
                    fdd[r][c] -= mean;
            }
            daily[r][c] = 0.0;
            daySteps[r][c] = 0.0;
        }
    }
}

void unsatzonmodellklasse::WritePreSpinUpResults() {
    // The degree days and the annual mean as whole grids from process 0; the temperature stack
    // under its output name, where a warm start reads it.
    const char* names[] = {"FreezingDegreeDays", "thawingDegreeDays", "AnnualTemperature"};
    const Matrix* grids[] = {spinUp.accumulators[0], spinUp.accumulators[1], spinUp.accumulators[3]};
    for (int i = 0; i < 3; ++i) {
        const int index = FindGrid(names[i], true);
        Matrix whole = index > 0 ? MPIGatherGridCopy(index) : Matrix();
        if (rank == 0) WriteGrid(names[i], whole.empty() ? *grids[i] : whole, textOutput, doublePrecision);
    }
    const int stackIndex = FindGrid("Soil_Temperature_Stack", true);
    Stack copy;
    if (textOutput && size > 1 && stackIndex > 0) copy = MPISynchroniseStackCopy(stackIndex);
    WriteStack(heat.temperStack.name, copy.empty() ? own.soilTemperature : copy, nlayers, textOutput,
               doublePrecision);
}

void unsatzonmodellklasse::PreSpinUpInitTemperatures() {
    if (flowControl == 0 || !spinUp.active) return;
    const double years = static_cast<double>(spinUp.totalSteps) * timeInterval / 525600.0;
    if (!(years > 0)) {
        *log << "WARNING: pre-SpinUp of " << moduleName << " without any step: soil temperatures are kept"
             << "[end-entry]";
    } else {
        const double lamW = heat[SoilHeatConfig::LamWat], lamI = heat[SoilHeatConfig::LamIce];
        const int landuseCount = settings.landuseTable != nullptr ? settings.landuseTable[0].GetNumber() : 0;
        Matrix& fdd = *spinUp.accumulators[0];
        Matrix& tdd = *spinUp.accumulators[1];
        Matrix& annual = *spinUp.accumulators[3];
        const Matrix& dataSteps = spinUp.dataSteps;
        const int n = nlayers;
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
        for (int r = firstRow; r <= lastRow; ++r) {
            std::vector<double> d(U(n) + 1), thawed(U(n) + 1), frozen(U(n) + 1), T(U(n) + 1);
            const ColumnRange cols = ColumnsOf(r);
            for (int c = cols.first; c <= cols.last; ++c) {
                // A cell without any temperature data keeps its temperatures.
                if (!IsOwnCell(r, c) || !(dataSteps[r][c] > 0)) continue;
                const soil_entry& soil = SoilOf(r, c);
                const int layers = std::min(n, static_cast<int>(soil.GetLayerCount()));
                for (int k = 1; k <= layers; ++k) {
                    const double thetaS = soil.theta_sat[U(k)], theta = own.theta[r][c][k];
                    const double lamS = soil.DryThermalConduct[U(k)];
                    d[U(k)] = own.geodeticHeads[r][c][k - 1] - own.geodeticHeads[r][c][k];
                    thawed[U(k)] = soilheat::DegreeDayConductivity(thetaS, theta, lamS, lamW);
                    frozen[U(k)] = soilheat::DegreeDayConductivity(thetaS, theta, lamS, lamI);
                }
                annual[r][c] /= dataSteps[r][c];
                const int j = soilheat::OneMetreLayer(d, layers);
                const int ref = j >= 3 ? j / 3 : 1;
                double nfF = heat[SoilHeatConfig::NFactorFreezing], nfT = heat[SoilHeatConfig::NFactorThawing];
                const int lu = static_cast<int>((*in.landuse[1])[r][c]);
                if (lu >= 1 && lu <= landuseCount) {
                    const landuse_entry& e = settings.landuseTable[lu];
                    if (e.GetNFactorFreezing() >= 0) nfF = e.GetNFactorFreezing();
                    if (e.GetNFactorThawing() >= 0) nfT = e.GetNFactorThawing();
                }
                double ttop = 0;
                soilheat::TopOfPermafrost(thawed[U(ref)], frozen[U(ref)], nfT, nfF, tdd[r][c], fdd[r][c], years, ttop);
                const double G = lowerHeatFluxBoundary && in.lowerBoundaryHeatFlux != nullptr
                                     ? (*in.lowerBoundaryHeatFlux)[r][c]
                                     : kGeothermalFlux;
                soilheat::InitialProfile(layers, d, thawed, frozen, annual[r][c], ttop, G, T);
                for (int k = 1; k <= layers; ++k) own.soilTemperature[r][c][k] = T[U(k)];
            }
        }
    }
    WritePreSpinUpResults();
    for (int index : spinUp.entries) ReleaseGrid(index);
    spinUp = SpinUpState{};
    // The profile of the pre-spin-up is the start: the first step does not replace it.
    deriveInitialTemperatures = false;
}
