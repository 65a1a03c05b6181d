// The snow model's time step: seasonal factors, the parallel cell loop, the copy to the cells
// of response units, zone statistics and grid outputs.
#include <cmath>
#include <mpi.h>

#include "setup/spinup.hpp"
#include "setup/tracer_ini.hpp"
#include "surface/snowmod.hpp"
#include "tables/landuse_entry.hpp"

double schneemodellklasse::SeasonalMeltFactor(std::int64_t d, std::int64_t m) const {
    return rmfMean + rmfAmplitude * std::sin((snow::DayOfYear(d, m) + rmfOffset) * rmfFrequency);
}

double schneemodellklasse::SeasonalRadiationFactorSnow(std::int64_t d, std::int64_t m) const {
    return snow::SeasonalFactor(Asnow_min, Asnow_max, snow::DayOfYear(d, m));
}

double schneemodellklasse::SeasonalRadiationFactorIce(std::int64_t d, std::int64_t m) const {
    return snow::SeasonalFactor(Aice_min, Aice_max, snow::DayOfYear(d, m));
}

bool schneemodellklasse::OwnCell(int r, int c) const {
    if ((*zoneGrid)[r][c] == nodata) return false;
    if (mpiRegions != nullptr && mpiRegions->holds(r) && (*mpiRegions)[r][c] != rank) return false;
    return true;
}

void schneemodellklasse::run(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) {
    teilmodellklasse::run(h, d, m, y);
    if (flowControl == 0) return;
    hour = h;
    day = d;
    month = m;
    year = y;
    stepMeltFactor = SeasonalMeltFactor(d, m);
    stepIceFactor = SeasonalRadiationFactorIce(d, m);
    stepSnowFactor = SeasonalRadiationFactorSnow(d, m);
    ComputeDaylightFraction();
    for (StatOutput* s : {&statRain, &statSnow, &statDays, &statAge, &statAlbedo, &statOutflow, &statMeltOnly,
                          &statStorage, &statSnowTemp, &statSurfTemp, &statInputMass, &statMobileMass,
                          &statDeposition})
        if (s->stat) s->stat->Reset();
    MPI_Barrier(MPI_COMM_WORLD);

    // Two regions: the copy reads master cells that the loop writes, so the loop must be
    // complete before any copy starts.
#pragma omp parallel
    CellLoop(y, m, d);
#pragma omp parallel
    CopyHRUStates();
    if (const int failure = cellLoopError_.exchange(0); failure != 0) throw ModelError(failure);

    // Snow slides of the slide methods are made here by the slide model.
    AddStatistics();
    StepStatistics();
    // The glacier runoff routing and the yearly glacier step follow here with the glacier model.
    WriteGrids();
}

void schneemodellklasse::CellLoop(std::int64_t y, std::int64_t m, std::int64_t d) {
    const bool units = responseUnitGrid != nullptr && masterUnitGrid != nullptr;
#pragma omp for schedule(runtime) nowait
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!zoneGrid->holds(r)) continue;
        int c0 = 1, c1 = ncols;
        if (basinColumns != nullptr && r < static_cast<int>(basinColumns->size())) {
            c0 = (*basinColumns)[static_cast<std::size_t>(r)].first;
            c1 = (*basinColumns)[static_cast<std::size_t>(r)].last;
        }
        // A failure of the land-use table must not leave the parallel region: it is kept and
        // thrown by the step once the loop is over.
        try {
            for (int c = c0; c <= c1; ++c) {
                if (!OwnCell(r, c)) continue;
                if (units && (*masterUnitGrid)[r][c] == nodata) continue;
                SnowOfCell(r, c, y, m, d);
            }
        } catch (const ModelError& e) {
            int none = 0;
            cellLoopError_.compare_exchange_strong(none, e.code());
        } catch (...) {
            int none = 0;
            cellLoopError_.compare_exchange_strong(none, 103);
        }
    }
}

double schneemodellklasse::LanduseAlbedo(int r, int c, std::int64_t y, std::int64_t m, std::int64_t d) const {
    const Matrix* lu = landuse[1];
    if (settings.landuseTable == nullptr || lu == nullptr) return (*albedo)[r][c];
    // Record 0 of the table holds the number of entries.
    const int code = static_cast<int>((*lu)[r][c]);
    if (code < 1 || code > settings.landuseTable[0].GetNumber()) return (*albedo)[r][c];
    return settings.landuseTable[code].AlbedoAtDate(*log, d, m, y, 1, r, c, (*elevation)[r][c]);
}

void schneemodellklasse::SnowOfCell(int r, int c, std::int64_t y, std::int64_t m, std::int64_t d) {
    using snow::CellInput;
    outflow.data[r][c] = 0;
    meltOnly.data[r][c] = 0;
    double& S = solid.data[r][c];
    double& L = liquid.data[r][c];
    const double T = (*temperature)[r][c];
    const double k = T <= 0 ? -0.12 : -0.05;
    const double snowAlbedo = ALBsnow_min + (ALBsnow_max - ALBsnow_min) * std::exp(k * snowAge.data[r][c]);

    // Albedo before the step: a thin cover shows the land use.
    (*albedo)[r][c] = S + L <= 2.5 ? LanduseAlbedo(r, c, y, m, d) : snowAlbedo;

    // Cells with a glacierized part are handled by the glacier model here; without it every
    // cell is snow outside glaciers.

    const double P = (*waterInput)[r][c];
    const double coverBefore = S + L;
    for (int t = 1; t <= tracerCount; ++t) {
        TracerRecord& rec = tracers[static_cast<std::size_t>(t)];
        double& store = rec.storage[r][c];
        store *= rec.decayPerStep;
        if (P > 0) {
            const double cin = upstreamFlux[static_cast<std::size_t>(t)] != nullptr
                                   ? (*upstreamFlux[static_cast<std::size_t>(t)])[r][c]
                                   : 0.0;
            if (tracerDescriptors[t].evaporating == 1)
                store = WeightedMean(store, cin, coverBefore, P);
            else
                store += P * cin;
        }
    }

    CellInput in;
    in.P = P;
    in.rmf = stepMeltFactor;
    in.lake = lakesOn && (*lakeCodes)[r][c] > 0 && (*pondingStorage)[r][c] > 0;
    if (depositionIndex != nullptr) in.depositionIndex = (*depositionIndex)[r][c];
    if (windSpeed != nullptr) in.wind = (*windSpeed)[r][c];
    if (vapourPressure != nullptr) in.vapourPressure = (*vapourPressure)[r][c];
    if (correctionGrid != nullptr && correctionGrid->holds(r)) {
        in.hasRadiationCorrection = true;
        in.radiationCorrection = (*correctionGrid)[r][c];
    }
    const bool energy = snow::IsEnergyBalanceMethod(method);
    if (energy) {
        in.humidity = (*airHumidity)[r][c];
        in.cloudiness = (*cloudiness)[r][c];
        in.radiation = (*globalRadiation)[r][c];
        in.albedo = (*albedo)[r][c];
        in.elevation = (*elevation)[r][c];
        if (surfaceTemperature != nullptr) {
            in.hasSurfaceTemperature = true;
            in.surfaceTemperature = (*surfaceTemperature)[r][c];
        }
    }

    // One pass per step, or a night and a day pass for steps longer than half a day.
    snow::CellState st;
    st.S = S;
    st.L = L;
    st.Tp = energy ? snowTemp.data[r][c] : 0.0;
    st.Ts = energy ? surfTemp.data[r][c] : 0.0;
    const bool twoPasses = timeInterval > 720;
    double melt = 0, evaporation = 0, raisedInput = 0, part = 0;
    for (int pass = twoPasses ? 0 : 1; pass <= 1; ++pass) {
        in.T = pass == 0 ? (*temperatureNight)[r][c] : T;
        in.weight = twoPasses ? (pass == 0 ? nightFraction : dayFraction) : 1.0;
        st.E = 0;
        const snow::PassResult res = snow::SnowCellStep(physics_, in, st);
        melt += res.melt;
        evaporation += st.E;
        // Both passes split the original input; the raised input is their weighted sum.
        raisedInput += in.weight * res.P;
        part = res.snowPart;
    }
    S = st.S;
    L = st.L;
    if (energy) {
        snowTemp.data[r][c] = st.Tp;
        surfTemp.data[r][c] = st.Ts;
        if (snowEvaporation != nullptr) (*snowEvaporation)[r][c] = evaporation;
    }

    // Melt moves from the solid to the liquid storage; what the cover cannot hold leaves it.
    const double moved = std::min(melt, S);
    L += moved;
    S -= moved;
    if (L > CWH * S) {
        outflow.data[r][c] = L - CWH * S;
        L = CWH * S;
    }
    if (moved > 0) meltOnly.data[r][c] = outflow.data[r][c];
    if (raisedInput != P) (*waterInput)[r][c] = raisedInput;
    snowFraction.data[r][c] = part * raisedInput;
    rainFraction.data[r][c] = (1.0 - part) * raisedInput;

    const double O = outflow.data[r][c];
    for (int t = 1; t <= tracerCount; ++t) {
        TracerRecord& rec = tracers[static_cast<std::size_t>(t)];
        double& store = rec.storage[r][c];
        if (tracerDescriptors[t].evaporating == 1) {
            rec.flux[r][c] = store;
            continue;
        }
        const double V = O + L + S;
        const double x = std::min(V > 0 ? store * O / V : 0.0, O * tracerDescriptors[t].max_conc);
        store -= x;
        rec.flux[r][c] = O > 0 ? x / O : 0.0;
    }

    const double cover = S + L;
    daysSnow.data[r][c] = cover > 5 ? 1.0 / stepsPerDay : 0.0;
    if (T > T0R + transzone || raisedInput <= 1 || cover <= 5) {
        snowAge.data[r][c] += 1.0 / stepsPerDay;
        (*albedo)[r][c] = cover > 5 ? ALBsnow_min + (ALBsnow_max - ALBsnow_min) * std::exp(k * snowAge.data[r][c])
                                    : LanduseAlbedo(r, c, y, m, d);
    } else {
        snowAge.data[r][c] = 0;
        (*albedo)[r][c] = ALBsnow_max;
    }
    total.data[r][c] = cover;
    // Permafrost thaw depth follows here when permafrost is modelled.
}

void schneemodellklasse::CopyHRUStates() {
    if (responseUnitGrid == nullptr || masterUnitGrid == nullptr || settings.responseUnits == nullptr) return;
    const auto& units = *settings.responseUnits;
    const bool energy = snow::IsEnergyBalanceMethod(method);
    const bool slides = snow::IsSlideMethod(method);
#pragma omp for schedule(runtime) nowait
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!zoneGrid->holds(r)) continue;
        for (int c = 1; c <= ncols; ++c) {
            if (!OwnCell(r, c) || (*masterUnitGrid)[r][c] != nodata) continue;
            const double id = (*responseUnitGrid)[r][c];
            if (id == nodata || id < 1 || id >= static_cast<double>(units.size())) continue;
            const HydrologicResponseUnit& u = units[static_cast<std::size_t>(id)];
            const int mr = u.row, mc = u.column;
            for (OwnGrid* g : {&total, &solid, &daysSnow, &snowAge, &snowFraction, &rainFraction, &liquid, &outflow,
                               &meltOnly})
                g->data[r][c] = g->data[mr][mc];
            (*albedo)[r][c] = (*albedo)[mr][mc];
            if (energy) {
                snowTemp.data[r][c] = snowTemp.data[mr][mc];
                surfTemp.data[r][c] = surfTemp.data[mr][mc];
            }
            if (slides) {
                inputMass.data[r][c] = inputMass.data[mr][mc];
                mobileMass.data[r][c] = mobileMass.data[mr][mc];
                deposition.data[r][c] = deposition.data[mr][mc];
            }
        }
    }
}

void schneemodellklasse::AddStatistics() {
    bool any = false;
    for (StatOutput* s : {&statRain, &statSnow, &statDays, &statAge, &statAlbedo, &statOutflow, &statMeltOnly,
                          &statStorage, &statSnowTemp, &statSurfTemp, &statInputMass, &statMobileMass,
                          &statDeposition})
        any = any || (s->stat && s->stat->active());
    if (!any) return;
    const bool energy = snow::IsEnergyBalanceMethod(method);
    const bool slides = snow::IsSlideMethod(method);
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!zoneGrid->holds(r)) continue;
        for (int c = 1; c <= ncols; ++c) {
            if (!OwnCell(r, c)) continue;
            const long code = static_cast<long>(std::floor((*zoneGrid)[r][c] + 0.5));
            if (code < 0 || zoneIndex == nullptr || code >= static_cast<long>(zoneIndex->size())) continue;
            const int zone = (*zoneIndex)[static_cast<std::size_t>(code)];
            statStorage.stat->AddValue(r, c, zone, solid.data[r][c] + liquid.data[r][c], 1);
            statOutflow.stat->AddValue(r, c, zone, outflow.data[r][c], 1);
            statMeltOnly.stat->AddValue(r, c, zone, meltOnly.data[r][c], 1);
            statDays.stat->AddValue(r, c, zone, daysSnow.data[r][c], 1);
            statAge.stat->AddValue(r, c, zone, snowAge.data[r][c], 1);
            statSnow.stat->AddValue(r, c, zone, snowFraction.data[r][c], 1);
            statRain.stat->AddValue(r, c, zone, rainFraction.data[r][c], 1);
            statAlbedo.stat->AddValue(r, c, zone, (*albedo)[r][c], 1);
            if (energy) {
                if (snowTemp.data[r][c] > nodata + 1) statSnowTemp.stat->AddValue(r, c, zone, snowTemp.data[r][c], 1);
                if (surfTemp.data[r][c] > nodata + 1) statSurfTemp.stat->AddValue(r, c, zone, surfTemp.data[r][c], 1);
            }
            if (slides) {
                statInputMass.stat->AddValue(r, c, zone, inputMass.data[r][c], 1);
                statMobileMass.stat->AddValue(r, c, zone, mobileMass.data[r][c], 1);
                statDeposition.stat->AddValue(r, c, zone, deposition.data[r][c], 1);
            }
        }
    }
}

void schneemodellklasse::StepStatistics() {
    for (StatOutput* s : {&statStorage, &statOutflow, &statMeltOnly, &statDays, &statAge, &statSnow, &statRain,
                          &statAlbedo, &statSnowTemp, &statSurfTemp, &statInputMass, &statMobileMass,
                          &statDeposition})
        if (s->stat) s->stat->Step(year, month, day, hour, 1);
}

void schneemodellklasse::WriteGrids() {
    for (OwnGrid* g : {&total, &solid, &liquid, &daysSnow, &snowAge, &snowFraction, &rainFraction, &outflow,
                       &meltOnly, &inputMass, &mobileMass, &deposition, &snowTemp, &surfTemp})
        if (g->index > 0) WriteStatisticGrids(g->index, true, false);
    for (int t = 1; t <= tracerCount; ++t) {
        const int index = tracers[static_cast<std::size_t>(t)].storageIndex;
        if (index > 0) WriteStatisticGrids(index, true, false);
    }
}
