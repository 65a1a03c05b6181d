// The snow model's time step: seasonal factors, the parallel cell loop, the copy to the cells
// of response units, zone statistics and grid outputs.
#include <omp.h>

#include <algorithm>
#include <cmath>

#include "kernel/nodata.hpp"
#include "kernel/steptimes.hpp"
#include "kernel/threading.hpp"
#include "kernel/zonegroups.hpp"
#include "kernel/zonelanes.hpp"
#include "setup/spinup.hpp"
#include "setup/tracer_ini.hpp"
#include "submodel/zonesums.hpp"
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
                          &statDeposition, &statSnowWithoutGlaciers, &statFirnMelt, &statIceMelt, &statSnowOnIce,
                          &statGlacierTotal, &statFirnWE, &statBalanceSubbasin, &statBalanceGlacier, &statThaw})
        if (s->stat) s->stat->Reset();
    ResetTracerStatistics();
    for (std::vector<zoneFZT>* rec : {&iceInput, &firnInput, &snowInput})
        for (zoneFZT& z : *rec) z.n = z.sx = z.RelCellSum = 0;
    glacierInputCells.clear();

    // Two regions: the copy reads master cells that the loop writes, so the loop must be
    // complete before any copy starts.
#pragma omp parallel if (WorthThreads(firstRow, lastRow, ncols))
    CellLoop(y, m, d);
#pragma omp parallel if (WorthThreads(firstRow, lastRow, ncols))
    CopyHRUStates();
    if (const int failure = cellLoopError_.exchange(0); failure != 0) throw ModelError(failure);

    const bool units = responseUnitGrid != nullptr && masterUnitGrid != nullptr;
    if (!units && snow::IsSlideMethod(method)) {
        TimedPart part("snow slides");
        Slides();
    }
    AddStatistics();
    StepStatistics();
    if (glacierMethod > 0) {
        RouteGlacierRunoff();
        if (statGlacierTotal.stat) statGlacierTotal.stat->Step(year, month, day, hour, 1);
        // The evaluation day's last step; the condition mixes the step (minutes) and the
        // time shift (minutes / 60) as the model defines it.
        const double shift = minToIntEnd / 60.0;
        if (glacier::IsDynamic(glacierMethod) && d == GMBEvalDay && m == GMBEvalMonth &&
            static_cast<double>(h) + (timeInterval + shift) / 60.0 > 24.001)
            YearlyGlacierStep();
    }
    WriteGrids();
}

void schneemodellklasse::CellLoop(std::int64_t y, std::int64_t m, std::int64_t d) {
    const bool units = responseUnitGrid != nullptr && masterUnitGrid != nullptr;
#pragma omp for schedule(runtime) nowait
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!zoneGrid->holds(r)) continue;
        const auto [c0, c1] = BasinColumnsOfRow(r);
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

const landuse_entry* schneemodellklasse::AlbedoEntry(int r, int c) const {
    const Matrix* lu = landuse[1];
    if (settings.landuseTable == nullptr || lu == nullptr) return nullptr;
    // Record 0 of the table holds the number of entries.
    const int code = static_cast<int>((*lu)[r][c]);
    if (code < 1 || code > settings.landuseTable[0].GetNumber()) return nullptr;
    return &settings.landuseTable[code];
}

double schneemodellklasse::LanduseAlbedo::operator()() {
    // Without a land use the cell keeps the albedo it has at the time of asking.
    if (entry == nullptr) return (*model.albedo)[r][c];
    if (!known) {
        value = entry->AlbedoAtDate(*model.log, d, m, y, 1, r, c, (*model.elevation)[r][c]);
        known = true;
    }
    return value;
}

double schneemodellklasse::SnowPassesOfCell(int r, int c, double& S, double& L, double& Tp, double& Ts, double& E,
                                            bool glacierPass, double splits[2][2], double& raisedInput,
                                            double& part) {
    using snow::CellInput;
    const double P = (*waterInput)[r][c];
    CellInput in;
    in.P = P;
    in.rmf = stepMeltFactor;
    in.lake = lakesOn && (*lakeCodes)[r][c] > 0 && (*pondingStorage)[r][c] > 0;
    in.glacierPass = glacierPass;
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
    st.Tp = Tp;
    st.Ts = Ts;
    const bool twoPasses = timeInterval > 720;
    double melt = 0, evaporation = 0;
    raisedInput = 0;
    for (int pass = twoPasses ? 0 : 1; pass <= 1; ++pass) {
        in.T = pass == 0 ? (*temperatureNight)[r][c] : (*temperature)[r][c];
        in.weight = twoPasses ? (pass == 0 ? nightFraction : dayFraction) : 1.0;
        if (glacierPass) {
            in.snowIn = splits[pass][0];
            in.rainIn = splits[pass][1];
        }
        st.E = 0;
        const snow::PassResult res = snow::SnowCellStep(physics_, in, st);
        if (!glacierPass) {
            splits[pass][0] = res.snow;
            splits[pass][1] = res.rain;
        }
        melt += res.melt;
        // The evaporation of the step is what both passes took from the snow, so that it matches
        // the snow's change (the last pass's alone would leave out the first's).
        evaporation += st.E;
        // Both passes split the original input; the raised input is their weighted sum.
        raisedInput += in.weight * res.P;
        part = res.snowPart;
    }
    S = st.S;
    L = st.L;
    Tp = st.Tp;
    Ts = st.Ts;
    E = evaporation;
    return melt;
}

void schneemodellklasse::HoldLiquid(double& S, double& L, double& out) const {
    // The liquid water beyond the cover's holding capacity leaves it. A cover kept at its capacity
    // (the slides move its liquid water with its solid one, in the same ratio) exceeds it only by
    // the rounding of the two stores (1e-16 mm): that is no water. Released, it would flow with
    // the cover's full concentration of every tracer and make the concentration of the cells' flows
    // below (interception, soil) depend on the stores' last bits.
    const double excess = L - CWH * S;
    if (excess > kRoundingOfCover * (S + L)) {
        out = excess;
        L = CWH * S;
    }
}

bool schneemodellklasse::ForcingMissing(int r, int c) const {
    auto missing = [&](const Matrix* g) { return g != nullptr && NoData((*g)[r][c], nodata); };
    if (missing(temperature) || missing(waterInput) || missing(windSpeed) || missing(vapourPressure)) return true;
    if (timeInterval > 720 && missing(temperatureNight)) return true;
    if (glacierMethod > 0 && glacier::UsesRadiation(glacierMethod) && missing(glacierRadiation)) return true;
    if (!snow::IsEnergyBalanceMethod(method)) return false;
    return missing(airHumidity) || missing(globalRadiation);
}

void schneemodellklasse::StepWithoutForcing(int r, int c) {
    // Without the weather of the step the cover stays as it is, and the water input passes it as
    // rain: the water must reach the ground whatever the weather data lack.
    const double P = waterInput != nullptr ? (*waterInput)[r][c] : nodata;
    const double passed = !NoData(P, nodata) && P > 0 ? P : 0.0;
    outflow.data[r][c] = passed;
    snowFraction.data[r][c] = 0;
    rainFraction.data[r][c] = passed;
    if (snowEvaporation != nullptr && snow::IsEnergyBalanceMethod(method)) (*snowEvaporation)[r][c] = 0;
    if (glacierMethod > 0) {
        if (meltG.index > 0) meltG.data[r][c] = 0;
        meltFirn.data[r][c] = 0;
        meltIce.data[r][c] = 0;
    }
    for (int t = 1; t <= tracerCount; ++t) {
        TracerRecord& rec = tracers[static_cast<std::size_t>(t)];
        const Matrix* in = upstreamFlux[static_cast<std::size_t>(t)];
        if (passed > 0)
            rec.flux[r][c] = in != nullptr ? (*in)[r][c] : 0.0;
        else
            rec.flux[r][c] = tracerDescriptors[t].evaporating == 1 ? rec.storage[r][c] : 0.0;
    }
}

void schneemodellklasse::SnowOfCell(int r, int c, std::int64_t y, std::int64_t m, std::int64_t d) {
    outflow.data[r][c] = 0;
    meltOnly.data[r][c] = 0;
    if (ForcingMissing(r, c)) {
        StepWithoutForcing(r, c);
        return;
    }
    double& S = solid.data[r][c];
    double& L = liquid.data[r][c];
    const double T = (*temperature)[r][c];
    const double k = T <= 0 ? -0.12 : -0.05;
    const double snowAlbedo = ALBsnow_min + (ALBsnow_max - ALBsnow_min) * std::exp(k * snowAge.data[r][c]);

    // Albedo before the step: a thin cover shows the land use. A cover still thin at the end of
    // the step shows it again: the date and the cell are the same, so the table is read once.
    LanduseAlbedo landAlbedo{*this, AlbedoEntry(r, c), r, c, y, m, d};
    (*albedo)[r][c] = S + L <= 2.5 ? landAlbedo() : snowAlbedo;

    double g = 0;
    if (glacierMethod > 0) {
        if (meltG.index > 0) meltG.data[r][c] = 0;
        meltFirn.data[r][c] = 0;
        meltIce.data[r][c] = 0;
        if (fractionOld.index > 0) fractionOld.data[r][c] = (*glacierFraction)[r][c];
        g = std::clamp((*glacierFraction)[r][c], 0.0, 1.0);
    }
    const bool onGlacier = g > 0;
    const bool glacierSnow = HasGlacierSnowGrids();

    const double P = (*waterInput)[r][c];
    double raisedInput = P;
    if (onGlacier && glacierMethod != 13) {
        GlacierSnowOfCell(r, c, P, T);
    } else {
        const double coverBefore = S + L;
        if (!onGlacier) {
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
        }
        const bool energy = snow::IsEnergyBalanceMethod(method);
        double Tp = energy ? snowTemp.data[r][c] : 0.0;
        double Ts = energy ? surfTemp.data[r][c] : 0.0;
        double E = 0, part = 0;
        double splits[2][2] = {{0, 0}, {0, 0}};
        const double melt = SnowPassesOfCell(r, c, S, L, Tp, Ts, E, false, splits, raisedInput, part);
        if (energy) {
            snowTemp.data[r][c] = Tp;
            surfTemp.data[r][c] = Ts;
            if (snowEvaporation != nullptr) (*snowEvaporation)[r][c] = E;
        }
        // Melt moves from the solid to the liquid storage; what the cover cannot hold leaves it.
        const double moved = std::min(melt, S);
        L += moved;
        S -= moved;
        HoldLiquid(S, L, outflow.data[r][c]);
        if (moved > 0) meltOnly.data[r][c] = outflow.data[r][c];
        if (raisedInput != P) (*waterInput)[r][c] = raisedInput;
        snowFraction.data[r][c] = part * raisedInput;
        rainFraction.data[r][c] = (1.0 - part) * raisedInput;
        if (onGlacier && glacierSnow) {
            // Method 13: the glacier part's snow runs the same passes with the cell's split.
            double& SG = solidG.data[r][c];
            double& LG = liquidG.data[r][c];
            double TpG = energy ? snowTempG.data[r][c] : 0.0;
            double TsG = energy ? surfTempG.data[r][c] : 0.0;
            double EG = 0, raisedG = 0, partG = 0;
            const double meltGlacier = SnowPassesOfCell(r, c, SG, LG, TpG, TsG, EG, true, splits, raisedG, partG);
            // Only the energy balance computes the glacier snow's evaporation; otherwise the grid
            // keeps what evapotranspiration took from it.
            if (energy) {
                snowTempG.data[r][c] = TpG;
                surfTempG.data[r][c] = TsG;
                evaporationG.data[r][c] = EG;
            }
            const double mg = std::min(meltGlacier, SG);
            LG += mg;
            SG -= mg;
            HoldLiquid(SG, LG, meltG.data[r][c]);
            FirnAndIceOfCell(r, c, T, mg);
        } else if (onGlacier) {
            FirnAndIceOfCell(r, c, T, moved);
        }
    }
    if (!onGlacier && glacierSnow) solidG.data[r][c] = liquidG.data[r][c] = totalG.data[r][c] = 0;

    if (!onGlacier) {
        const double O = outflow.data[r][c];
        for (int t = 1; t <= tracerCount; ++t) {
            TracerRecord& rec = tracers[static_cast<std::size_t>(t)];
            double& store = rec.storage[r][c];
            if (tracerDescriptors[t].evaporating == 1) {
                rec.flux[r][c] = store;
                continue;
            }
            // The outflow takes its share of the tracer the cover holds, never more than that and
            // never a negative rounding residue: divided by a rounding-size outflow, 1e-17 mg of
            // such a residue became a concentration of -1e78 in the water below.
            const double V = O + L + S;
            const double held = std::max(store, 0.0);
            const double x = std::min({V > 0 ? held * O / V : 0.0, O * tracerDescriptors[t].max_conc, held});
            store = held - x;
            rec.flux[r][c] = O > 0 ? x / O : 0.0;
        }
    }

    const double cover = S + L;
    daysSnow.data[r][c] = cover > 5 ? 1.0 / stepsPerDay : 0.0;
    if (T > T0R + transzone || raisedInput <= 1 || cover <= 5) {
        snowAge.data[r][c] += 1.0 / stepsPerDay;
        (*albedo)[r][c] = cover > 5 ? ALBsnow_min + (ALBsnow_max - ALBsnow_min) * std::exp(k * snowAge.data[r][c])
                                    : landAlbedo();
    } else {
        snowAge.data[r][c] = 0;
        (*albedo)[r][c] = ALBsnow_max;
    }
    total.data[r][c] = cover;
    if (glacierSnow) totalG.data[r][c] = solidG.data[r][c] + liquidG.data[r][c];
    if (permafrost) PermafrostOfCell(r, c);
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
            CopyGlacierStates(r, c, mr, mc);
        }
    }
}

void schneemodellklasse::AddSnowStatistics() {
    // The outputs that are on, each with the value of a cell it takes.
    struct Output {
        ZoneSumTarget target;
        const Matrix* grid;
        bool overNodata;  // only values above nodata count (the temperatures)
        const zonalstatistic* statistic;
    };
    const bool energy = snow::IsEnergyBalanceMethod(method);
    const bool slides = snow::IsSlideMethod(method);
    Output outputs[13];
    int count = 0;
    auto take = [&](StatOutput& s, const Matrix* grid, bool overNodata = false) {
        const ZoneSumTarget t = SumTargetOf(s.stat.get(), s.records);
        if (t.on()) outputs[count++] = Output{t, grid, overNodata, s.stat.get()};
    };
    // The storage (solid plus liquid) comes first, as before; a null grid stands for it.
    take(statStorage, nullptr);
    take(statOutflow, &outflow.data);
    take(statMeltOnly, &meltOnly.data);
    take(statDays, &daysSnow.data);
    take(statAge, &snowAge.data);
    take(statSnow, &snowFraction.data);
    take(statRain, &rainFraction.data);
    take(statAlbedo, albedo);
    if (energy) {
        take(statSnowTemp, &snowTemp.data, true);
        take(statSurfTemp, &surfTemp.data, true);
    }
    if (slides) {
        take(statInputMass, &inputMass.data);
        take(statMobileMass, &mobileMass.data);
        take(statDeposition, &deposition.data);
    }
    // The tables of the tracers the snow holds, of the cells without glacier.
    tracerSums_.assign(static_cast<std::size_t>(std::max(tracerCount, 0)) + 1, ZoneSumTarget{});
    bool tracerTables = false;
    for (int t = 1; t <= tracerCount; ++t) {
        TracerRecord& rec = tracers[static_cast<std::size_t>(t)];
        tracerSums_[static_cast<std::size_t>(t)] = SumTargetOf(rec.statistics.get(), rec.zones);
        tracerTables = tracerTables || tracerSums_[static_cast<std::size_t>(t)].on();
    }
    if (count == 0 && !tracerTables) return;
    statZones_.Prepare(firstRow, lastRow, ncols);
    const auto columns = [&](int r) { return zoneGrid->holds(r) ? std::pair{1, ncols} : std::pair{1, 0}; };
    const auto fill = [&](int r, int c1, int c2, int* zoneOf) {
        for (int c = c1; c <= c2; ++c) {
            zoneOf[c] = CellZoneGrid::kNone;
            if (!OwnCell(r, c)) continue;
            const long code = static_cast<long>(std::floor((*zoneGrid)[r][c] + 0.5));
            if (code < 0 || zoneIndex == nullptr || code >= static_cast<long>(zoneIndex->size())) continue;
            zoneOf[c] = (*zoneIndex)[static_cast<std::size_t>(code)];
        }
    };
    if (omp_get_max_threads() < 2 || !WorthThreads(firstRow, lastRow, ncols)) {
        // One walk over the cells in row order; its share owns every lane (the outputs in the
        // order above, then the tracers' tables).
        ZoneCellWeight weight(relCellArea, nrows, ncols);
        statZones_.FillAndWalkOwnLanes(
            firstRow, lastRow, count + tracerCount, columns, fill,
            [&](int r, int c, int zone, const ZoneLaneShare& share) {
                weight.At(r, c);
                for (int k = 0; k < count; ++k) {
                    if (!share.Owns(k)) continue;
                    const Output& o = outputs[k];
                    const double v = o.grid != nullptr ? (*o.grid)[r][c] : solid.data[r][c] + liquid.data[r][c];
                    if (o.overNodata && !(v > nodata + 1)) continue;
                    weight.Add(o.target, zone, v, 1);
                }
                if (!tracerTables) return;
                if (glacierFraction != nullptr && std::clamp((*glacierFraction)[r][c], 0.0, 1.0) > 0) return;
                const double cover = solid.data[r][c] + liquid.data[r][c];
                for (int t = 1; t <= tracerCount; ++t) {
                    if (!share.Owns(count - 1 + t)) continue;
                    // A concentration weighs with the snow that holds it, a mass with the cell.
                    const double w = tracerDescriptors[t].evaporating == 1 ? cover : 1.0;
                    weight.Add(tracerSums_[static_cast<std::size_t>(t)], zone,
                               tracers[static_cast<std::size_t>(t)].storage[r][c], w);
                }
            });
        return;
    }
    // The zones of the own cells by all threads; then one task per table (the outputs in the
    // order above, then the tracers' tables) and group of zones adds the cells of its zones in
    // row order.
    const bool zonesAsBefore = statZones_.FillOnce(firstRow, lastRow, columns, fill);
    statOutputs_.clear();
    for (int k = 0; k < count; ++k) statOutputs_.push_back(outputs[k].statistic);
    statTracers_.clear();
    for (int t = 1; t <= tracerCount; ++t) {
        if (!tracerSums_[static_cast<std::size_t>(t)].on()) continue;
        statOutputs_.push_back(tracers[static_cast<std::size_t>(t)].statistics.get());
        statTracers_.push_back(t);
    }
    const double nd = nodata;
    zoneTasks_.Run(
        statOutputs_, firstRow, lastRow,
        statZones_.TaskRows(columns),
        [&](int s, int r) {
            const double* solidRow = solid.data[r];
            const double* liquidRow = liquid.data[r];
            const double* values = nullptr;  // null: the storage, solid plus liquid
            const double* ice = nullptr;
            bool overNodata = false, tracer = false, concentration = false;
            if (s < count) {
                const Output& o = outputs[s];
                values = o.grid != nullptr ? (*o.grid)[r] : nullptr;
                overNodata = o.overNodata;
            } else {
                const int t = statTracers_[static_cast<std::size_t>(s - count)];
                values = tracers[static_cast<std::size_t>(t)].storage[r];
                ice = glacierFraction != nullptr ? (*glacierFraction)[r] : nullptr;
                tracer = true;
                concentration = tracerDescriptors[t].evaporating == 1;
            }
            return [=](int c, auto to) {
                if (tracer) {
                    // Cells without glacier only; a concentration weighs with the snow that
                    // holds it, a mass with the cell.
                    if (ice != nullptr && std::clamp(ice[c], 0.0, 1.0) > 0) return;
                    to(values[c], concentration ? solidRow[c] + liquidRow[c] : 1.0);
                    return;
                }
                const double v = values != nullptr ? values[c] : solidRow[c] + liquidRow[c];
                if (overNodata && !(v > nd + 1)) return;
                to(v, 1.0);
            };
        },
        zonesAsBefore);
}

void schneemodellklasse::AddStatistics() {
    AddSnowStatistics();
    if (glacierMethod == 0 && !permafrost) return;
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!zoneGrid->holds(r)) continue;
        for (int c = 1; c <= ncols; ++c) {
            if (!OwnCell(r, c)) continue;
            if (glacierMethod > 0) AddGlacierStatistics(r, c);
            if (permafrost && statThaw.stat) {
                const long code = static_cast<long>(std::floor((*zoneGrid)[r][c] + 0.5));
                if (code < 0 || zoneIndex == nullptr || code >= static_cast<long>(zoneIndex->size())) continue;
                statThaw.stat->AddValue(r, c, (*zoneIndex)[static_cast<std::size_t>(code)], (*thawDepth)[r][c], 1);
            }
        }
    }
}

void schneemodellklasse::StepStatistics() {
    StatOutput* const outputs[] = {&statStorage, &statOutflow, &statMeltOnly, &statDays, &statAge, &statSnow,
                                   &statRain, &statAlbedo, &statSnowTemp, &statSurfTemp, &statInputMass,
                                   &statMobileMass, &statDeposition, &statSnowWithoutGlaciers, &statFirnMelt,
                                   &statIceMelt, &statSnowOnIce, &statFirnWE, &statBalanceSubbasin,
                                   &statBalanceGlacier, &statThaw};
    // The records of these tables and of the tracers' reach process 0 in one exchange; each table
    // then steps where it did, the tracers' when their grids are written.
    std::vector<zonalstatistic*> stats;
    for (StatOutput* s : outputs) stats.push_back(s->stat.get());
    AppendTracerStatistics(stats);
    ReduceStatisticsTogether(stats);
    for (StatOutput* s : outputs)
        if (s->stat) s->stat->StepReduced(year, month, day, hour);
}

void schneemodellklasse::WriteGrids() {
    for (OwnGrid* g : {&total, &solid, &liquid, &daysSnow, &snowAge, &snowFraction, &rainFraction, &outflow,
                       &meltOnly, &inputMass, &mobileMass, &deposition, &snowTemp, &surfTemp, &meltFirn, &meltIce})
        if (g->index > 0) WriteStatisticGrids(g->index, true, false);
    if (glacier::IsDynamic(glacierMethod)) {
        WriteStackByCode(firn.index);
        for (OwnGrid* g : {&massBalance, &oldMassBalance, &solidG, &liquidG, &totalG, &meltG, &surfTempG, &snowTempG,
                           &evaporationG})
            if (g->index > 0) WriteStatisticGrids(g->index, true, false);
    }
    for (int t = 1; t <= tracerCount; ++t) {
        TracerRecord& rec = tracers[static_cast<std::size_t>(t)];
        if (rec.statistics) rec.statistics->StepReduced(year, month, day, hour);
        if (rec.storageIndex > 0) WriteStatisticGrids(rec.storageIndex, true, false);
    }
}
