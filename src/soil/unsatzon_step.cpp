// The soil model's step: the column pass over the own cells, the response units, and the
// adding of every cell's runoff into the travel-time zone records and the statistics.
#include <omp.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <span>

#include "kernel/threading.hpp"
#include "setup/tracer_ini.hpp"
#include "soil/unsatzon.hpp"
#include "tables/irrigation_table.hpp"
#include "tables/landuse_entry.hpp"
#include "tables/soil_entry.hpp"

namespace {
std::size_t U(int i) { return static_cast<std::size_t>(i); }
double Glacier(const Matrix* g, int r, int c) {
    if (g == nullptr) return 0.0;
    return std::clamp((*g)[r][c], 0.0, 1.0);
}
}  // namespace

int unsatzonmodellklasse::SubbasinOf(int r, int c) const {
    const double z = (*in.zone)[r][c];
    if (!(z >= 0) || z >= static_cast<double>(soilZones.index.size())) return 0;
    return soilZones.index[static_cast<std::size_t>(z)];
}

void unsatzonmodellklasse::run(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year) {
    if (flowControl == 0) return;
    const std::int64_t date = ((year * 100 + month) * 100 + day) * 100 + hour;
    laterPassOfStep = date == lastPassDate;
    lastPassDate = date;
    stepHour = hour;
    stepDay = day;
    stepMonth = month;
    stepYear = year;
    passTimes.Mark();
    SoilColumnPass();
    passTimes.Add(kColumnPassTime);
    if (in.responseUnits != nullptr) ResponseUnitPass();
    RecordControlPoint();
    AccumulateZones();
    AddTracerPointRecords();
    passTimes.Add(kZoneSumTime);
    passTimes.Report();
}

bool unsatzonmodellklasse::FillForcing(int r, int c, int s, soilstep::CellForcing& f, double& pond) const {
    f.waterInput = in.waterInput != nullptr ? std::max(0.0, (*in.waterInput)[r][c]) : 0.0;
    if (in.snowSolid != nullptr) {
        f.hasSnow = true;
        f.snow = (*in.snowSolid)[r][c];
    }
    f.snowRunoffShare = s > 0 ? subbasins.SR_Anteil[U(s)] : 0.0;
    const bool hasPond = in.maxPonding != nullptr && (*in.maxPonding)[r][c] > 0;
    f.ponding = hasPond;
    f.maxPonding = hasPond ? (*in.maxPonding)[r][c] : 0.0;
    if (surfaceStorageSiltingUp && in.siltingUp != nullptr && (*in.siltingUp)[r][c] > 0) {
        f.hasSiltedUp = true;
        f.siltedUp = (*in.siltingUp)[r][c];
    } else if (!surfaceStorageSiltingUp && in.siltingUp != nullptr) {
        f.siltedRunoff = std::max(0.0, (*in.siltingUp)[r][c]);
    }
    pond = hasPond ? std::max(0.0, own.pondingStorage[r][c]) : 0.0;
    f.macroporesOff = lake_control != 0 && in.lakeCodes != nullptr && (*in.lakeCodes)[r][c] != nodata && pond >= 1.0;
    f.vegetationLayers = std::min(n_veg_layers, soilstep::kMaxVegetationLayers);
    const int landuseCount = settings.landuseTable != nullptr ? settings.landuseTable[0].GetNumber() : 0;
    for (int j = 1; j <= f.vegetationLayers; ++j) {
        soilstep::VegetationLayer& v = f.veg[U(j)];
        const double code = (*in.landuse[U(j)])[r][c];
        const int pos = static_cast<int>(code);
        v.present = code > nodata && pos >= 1 && pos <= landuseCount;
        if (!v.present) continue;
        const landuse_entry& lu = settings.landuseTable[pos];
        v.par = soilcolumn::RootParameters{lu.GetRootDist(), lu.GetHReduDry(), lu.GetTReduWet(), lu.GetLimitReduWet()};
        v.transpiration = std::max(0.0, (*in.potTranspiration[U(j)])[r][c]);
        v.rootDepth = std::max(0.0, (*in.rootDepth[U(j)])[r][c]);
        v.coverage = (*in.vegCover[U(j)])[r][c];
    }
    f.potentialEvaporation = std::max(0.0, (*in.potEvaporation)[r][c]);
    f.Q0 = s > 0 ? subbasins.Q0[U(s)] : 0.0;
    if (groundwaterActive != 0) {
        // The groundwater model's last value, read before this cell's own write of "baseflow".
        const double v = own.baseflow[r][c];
        f.groundwaterBaseflow = std::isfinite(v) && v != nodata ? v : 0.0;
    }
    f.kelsqlat = s > 0 ? subbasins.kelsqlat[U(s)] : 0.0;
    f.clayDepth = in.clayDepth != nullptr ? (*in.clayDepth)[r][c] : 0.0;
    f.irrigationFromGroundwater = IrrigationFromGroundwater(r, c);
    return hasPond;
}

void unsatzonmodellklasse::StoreCellResult(int r, int c, const soil_entry& soil, const soilcolumn::ColumnState& col,
                                           const soilstep::CellResult& res, const soilstep::CellForcing& f,
                                           const double* pond, int N) {
    const int n = soil.GetLayerCount();
    double* theta = own.theta[r][c];
    for (int i = 1; i <= n; ++i) {
        theta[i] = col.theta[U(i)];
        own.hydraulicHeads[r][c][i] = col.H[U(i)];
    }
    for (int i = 0; i <= n; ++i) own.qDown[r][c][i] = col.q[U(i)];
    own.qDownExt[r][c] = col.q[0];
    own.groundwaterDistance[r][c] = res.tableDistance;
    own.groundwaterLevel[r][c] = res.tableLayer;
    own.thetaInGwLevel[r][c] = res.thetaAtTable;
    own.baseflow[r][c] = res.baseflow;
    if (!own.soilBaseflow.empty()) own.soilBaseflow[r][c] = res.baseflow;
    if (!own.gwin.empty()) {
        own.gwin[r][c] = res.riverInfiltration * 1000.0;
        own.gwex[r][c] = res.riverExfiltration * 1000.0;
    }
    own.directflow[r][c] = res.directflow;
    own.interflow[r][c] = res.interflow;
    own.groundwaterRecharge[r][c] = res.recharge;
    own.percolation[r][c] = res.percolation;
    own.capillaryUprise[r][c] = res.uprise;
    own.infiltrationExcess[r][c] = res.infiltrationExcess;
    own.totalInfiltration[r][c] = res.totalInfiltration;
    own.macroporeInfiltration[r][c] = res.macropore;
    if (!own.drainageFlow.empty()) own.drainageFlow[r][c] = res.drainage;
    // Groundwater irrigation: the water the column took from below adds to the cell's amounts.
    if (f.irrigationFromGroundwater && !own.irrigationAmounts.empty()) own.irrigationAmounts[r][c] += res.irrigationTaken;
    if (pond != nullptr) own.pondingStorage[r][c] = *pond;
    if (!own.substeps.empty()) own.substeps[r][c] = res.substeps;
    (*in.realTranspiration[0])[r][c] = 0.0;
    // Each pass transpires and evaporates its share of the step: the passes add up.
    const auto pass = [&](double& sum, double value) { sum = laterPassOfStep ? sum + value : value; };
    for (int j = 1; j <= n_veg_layers; ++j)
        pass((*in.realTranspiration[U(j)])[r][c], j <= f.vegetationLayers ? res.transpiration[U(j)] : 0.0);
    pass((*in.realEvaporation)[r][c], res.evaporation);
    own.sb1[r][c] = res.sb1;
    own.meanThetaRootZone[r][c] = res.meanThetaRoot;
    own.sb2[r][c] = res.sb2;
    own.rootGrid[r][c] = res.rootDepth;
    if (in.gwStorageCoeff != nullptr) {
        const std::size_t g = U(res.tableLayer);
        (*in.gwStorageCoeff)[r][c] = std::max(0.01, soil.theta_sat[g] - col.fieldCapacity[g]);
    }
    if (settings.irrigationTable != nullptr && in.etr2etp != nullptr && !own.sbHigh.empty()) {
        double real = 0, potential = 0;
        for (int j = 1; j <= f.vegetationLayers; ++j) {
            real += res.transpiration[U(j)];
            potential += f.veg[U(j)].transpiration / N;
        }
        (*in.etr2etp)[r][c] =
            res.sb1 < own.sbHigh[r][c] && f.vegetationLayers > 0 && potential > 0 ? real / potential : 1.0;
    }
}

int unsatzonmodellklasse::ColumnCell(int r, int c, soilstep::CellWork& work) {
    using soilstep::CellForcing;
    const soil_entry& soil = SoilOf(r, c);
    const int n = soil.GetLayerCount();
    // A skipped cell (all glacier, or a dependent cell of a response unit) still hands on its
    // flux through the surface.
    if (in.glacierFraction != nullptr && (*in.glacierFraction)[r][c] >= 1.0) {
        ZeroCellSums(r, c);
        own.qDownExt[r][c] = own.qDown[r][c][0];
        return 0;
    }
    if (in.responseUnits != nullptr && in.masterResponseUnits != nullptr &&
        (*in.masterResponseUnits)[r][c] == nodata) {
        own.qDownExt[r][c] = own.qDown[r][c][0];
        return 0;
    }
    const int s = SubbasinOf(r, c);
    soilcolumn::ColumnState& col = work.col;
    double* theta = own.theta[r][c];
    soilTypeColumns.SetColumn(col, soil, own.geodeticHeads[r][c][0]);
    for (int i = 1; i <= n; ++i) col.theta[U(i)] = theta[i];

    soilcolumn::CellValues cell;
    cell.tableLayer = std::clamp(static_cast<int>(own.groundwaterLevel[r][c]), 1, n);
    cell.tableDistance = own.groundwaterDistance[r][c];
    cell.cellsize = cellsize;
    cell.channelDensity = s > 0 ? subbasins.flussdichte[U(s)] : 0.0;
    // Interflow never runs uphill: a negative slope gives none.
    cell.tanBeta = own.tangensBeta.empty() || own.tangensBeta[r][c] == nodata ? 0.0
                                                                               : std::max(0.0, own.tangensBeta[r][c]);
    if (in.permafrostThawDepth != nullptr && (*in.permafrostThawDepth)[r][c] > nodata) {
        // The thaw depth (m, positive downward); the layers below it conduct only reduced_ksat.
        cell.hasThawDepth = true;
        cell.thawDepth = (*in.permafrostThawDepth)[r][c];
    }
    if (in.drainageDepth != nullptr) {
        cell.drainageLayer = own.drainageLevel.empty() ? 0 : static_cast<int>(own.drainageLevel[r][c]);
        cell.drainageDistance = (*in.drainageDistance)[r][c];
    }

    // The pass's settings; in dump mode with the cell's own hook.
    soilstep::StepSettings dumpSettings;
    struct DumpContext {
        unsatzonmodellklasse* model;
        int r, c;
    } dumpContext{this, r, c};
    if (dumpMode) {
        dumpSettings = passSettings;
        dumpSettings.dump.context = &dumpContext;
        dumpSettings.dump.call = [](void* p, const soilstep::DumpRecord& d) {
            auto* x = static_cast<DumpContext*>(p);
            x->model->WriteDumpFile(x->r, x->c, d);
        };
    }
    const soilstep::StepSettings& set = dumpMode ? dumpSettings : passSettings;

    CellForcing f;
    double pond = 0;
    const bool hasPond = FillForcing(r, c, s, f, pond);
    if (set.heat.on()) FillHeatForcing(r, c, n, f, work);
    struct Context {
        unsatzonmodellklasse* model;
        int r, c;
    } ctx{this, r, c};
    soilcolumn::RiverExchangeHook hook;
    const bool riverCell = !serialCells.empty() && serialCells[r][c] > 0;
    if (riverExchange) {
        hook.context = &ctx;
        hook.call = [](void* p, soilcolumn::ColumnState& cl, const soilcolumn::CellValues& cv, double& a, double& b) {
            auto* x = static_cast<Context*>(p);
            x->model->RiverExchange(cl, cv, x->r, x->c, a, b);
        };
    }
    // Tracers of the column: the layer values of the cell, the input concentration.
    const int T = std::min(tracerCount, soilstep::kMaxTracers);
    soilstep::CellTracers ct;
    if (T > 0) {
        f.tracerCount = T;
        for (int t = 0; t < T; ++t) {
            soilcolumn::TracerColumn& tc = work.tracerColumns[U(t)];
            const std::size_t k = U(t + 1);
            tc.par.mass = !TracerIsConcentration(t + 1);
            tc.par.maxValue = tracerDescriptors != nullptr ? tracerDescriptors[t + 1].max_conc : 0.0;
            tc.par.decays = tracerDecay[k] != 1.0;
            tc.par.decayFactor = tracerDecay[k];
            tc.value = &work.tracerValue[U(t) * (U(nlayers) + 1)];
            tc.old = &work.tracerOld[U(t) * (U(nlayers) + 1)];
            // River water brings the channel's tracer value; the aquifer below the column its own.
            tc.riverValue = riverExchange ? RiverTracerValue(r, c, t + 1) : 0.0;
            Matrix* gw = k < gwTracerStore.size() ? gwTracerStore[k] : nullptr;
            tc.groundwater = gw != nullptr ? (*gw)[r][c] : 0.0;
            const double* stored = tracerLayers[k][r][c];
            std::copy(stored, stored + n + 1, tc.value);
            // The layers below the water table are the aquifer's water and take its value.
            if (gw != nullptr)
                for (int l = cell.tableLayer; l <= n; ++l)
                    tc.value[l] = tc.par.mass ? tc.groundwater * col.theta[U(l)] * soil.thickness[U(l)] * 1000.0
                                              : tc.groundwater;
            const Matrix* silted = k < tracerSiltedRunoff.size() ? tracerSiltedRunoff[k] : nullptr;
            f.siltedRunoffConcentration[U(t)] = silted != nullptr ? (*silted)[r][c] : 0.0;
            // Where silting-up hands the water input on, that water holds the water that stood on
            // the surface too, and silting-up's flux grid holds the concentration of the mixture.
            f.inputConcentration[U(t)] = silted != nullptr && (*silted)[r][c] != nodata ? (*silted)[r][c]
                                         : tracerInflux[k] != nullptr             ? (*tracerInflux[k])[r][c]
                                                                                  : 0.0;
            const Matrix* surface = k < tracerSurfaceWater.size() ? tracerSurfaceWater[k] : nullptr;
            f.siltedUpConcentration[U(t)] = surface != nullptr ? (*surface)[r][c] : f.inputConcentration[U(t)];
        }
        if (aquiferThickness != nullptr) f.aquiferThickness = (*aquiferThickness)[r][c];
        ct.columns = work.tracerColumns.data();
        ct.fpe = &fpeReports[U(omp_get_thread_num())];
        ct.row = static_cast<unsigned>(r);
        ct.column = static_cast<unsigned>(c);
    }
    double thetaGw = own.thetaInGwLevel[r][c];
    const std::size_t slowBefore = work.slow.size();
    // The control cell (one cell, one thread) keeps its per-layer fluxes for its records.
    work.recordLayers = controlPointHere && r == config.control_row && c == config.control_col;
    const soilstep::CellResult res = soilstep::StepCell(soil, work, cell, set, f, pond, thetaGw, hook, ct);
    if (work.recordLayers) {
        pointEtr.assign(work.layerEtr.begin(), work.layerEtr.begin() + nlayers + 1);
        pointInterflow.assign(work.layerInterflow.begin(), work.layerInterflow.begin() + nlayers + 1);
        pointSubsteps = res.substeps;
        work.recordLayers = false;
    }
    for (int t = 0; t < T; ++t) {
        const std::size_t k = U(t + 1);
        const soilcolumn::TracerColumn& tc = work.tracerColumns[U(t)];
        std::copy(tc.value, tc.value + n + 1, tracerLayers[k][r][c]);
        if (k < gwTracerStore.size() && gwTracerStore[k] != nullptr) (*gwTracerStore[k])[r][c] = tc.groundwater;
        // Concentrations of the runoff: loads (or flow-weighted sums) over the water.
        auto conc = [](double load, double water) { return water > 0 ? load / water : 0.0; };
        tracerDirect[k][r][c] = conc(res.tracerDirect[U(t)], res.directflow);
        tracerInterflow[k][r][c] = conc(res.tracerInterflow[U(t)], res.interflow);
        tracerBaseflow[k][r][c] = conc(res.tracerBaseflow[U(t)], res.baseflow);
    }

    StoreCellResult(r, c, soil, col, res, f, hasPond ? &pond : nullptr, set.N);
    if (f.hasSiltedUp) {
        // The surface water is the soil's now: what does not infiltrate leaves with the direct
        // flow, which surface routing takes back into the store.
        surfaceWaterTaken[r][c] = res.surfaceWaterTaken;
        (*in.siltingUp)[r][c] = 0.0;
    } else if (routeImmediately != 0 && !surfaceWaterTaken.empty()) {
        surfaceWaterTaken[r][c] = surfaceWaterLeft.empty() ? 0.0 : surfaceWaterLeft[r][c] / set.N;
    }
    if (set.heat.on()) StoreHeatResult(r, c, n, work, res.tableLayer);
    for (std::size_t i = slowBefore; i < work.slow.size(); ++i) {
        work.slow[i].row = r;
        work.slow[i].column = c;
    }
    if (closeAfterDump && dumpsWritten.load() > 0) return soildump::kCloseAfterDumpCode;
    if (riverCell && res.riverInfiltration > 0) {
        const int link = static_cast<int>((*riverLinks)[r][c]);
        const int pos = link >= 0 && U(link) < soilZones.index.size() ? soilZones.index[U(link)] : 0;
        // The cell's mean rate over the call (m^3/s), booked once: the exchange limits the river's
        // infiltration against its flow in m^3/s, which a sum over sub-steps would exceed.
        riverTable[U(pos)].soilExchange += res.riverInfiltration / (timeInterval * 60.0 / set.N) * cellsize * cellsize;
    }
    return 0;
}

void unsatzonmodellklasse::PrefetchCellState(int r, int c) const {
    auto fetch = [&](const Stack& s) {
        if (s.empty()) return;
        const double* p = s[r][c];
        __builtin_prefetch(p);
        __builtin_prefetch(p + nlayers);
    };
    for (const Stack* s : {&own.theta, &own.hydraulicHeads, &own.qDown, &own.geodeticHeads, &own.soilTemperature})
        fetch(*s);
    for (int t = 1; t <= tracerCount && U(t) < tracerLayers.size(); ++t) fetch(tracerLayers[U(t)]);
}

void unsatzonmodellklasse::KeepSurfaceWaterLeft() {
    if (in.siltedStore == nullptr) return;
    if (surfaceWaterLeft.empty()) surfaceWaterLeft = matrix(firstRow, lastRow, 1, ncols, nrows);
    PrepareOwnCells();
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r) {
        if (!in.siltedStore->holds(r)) continue;
        const double* store = (*in.siltedStore)[r];
        double* left = surfaceWaterLeft[r];
        for (int c : OwnColumns(r)) left[c] = std::max(0.0, store[c]);
    }
}

void unsatzonmodellklasse::WriteDumpFile(int r, int c, const soilstep::DumpRecord& d) {
    // Diagnostics only: one file at a time, in the working directory, native binary.
#pragma omp critical(soil_dump)
    if (!(closeAfterDump && dumpsWritten.load() > 0)) {
        const std::string name = soildump::FileName(d.flags, r, c, d.substep, stepYear, stepMonth, stepDay, stepHour);
        if (std::FILE* f = std::fopen(name.c_str(), "wb")) {
            auto ints = [&](std::initializer_list<std::int32_t> v) {
                for (std::int32_t x : v) std::fwrite(&x, sizeof x, 1, f);
            };
            auto doubles = [&](const double* v, std::size_t count) { std::fwrite(v, sizeof(double), count, f); };
            auto one = [&](double x) { doubles(&x, 1); };
            const std::size_t size = U(d.n) + 1, veg = U(d.vegetationLayers) + 1;
            ints({d.rootLayers});
            one(d.tableDistance);
            one(d.input);
            one(d.baseflow);
            doubles(d.transpiration, veg);
            doubles(d.arrays, 14 * size);
            if (d.heat) {
                doubles(d.arrays + 14 * size, 7 * size);
                one(d.heatDt);
            }
            ints({static_cast<std::int32_t>((*in.soilTypes)[r][c])});
            for (int j = 0; j <= d.vegetationLayers; ++j) one(j >= 1 ? (*in.landuse[U(j)])[r][c] : 0.0);
            ints({static_cast<std::int32_t>(stepHour), static_cast<std::int32_t>(stepDay),
                  static_cast<std::int32_t>(stepMonth), static_cast<std::int32_t>(stepYear)});
            one(d.k);
            one(d.ds);
            if (d.heat) {
                one(d.m);
                ints({d.h});
                one(d.airTemperature);
            }
            std::fclose(f);
            dumpsWritten.fetch_add(1);
        }
    }
}

bool unsatzonmodellklasse::IrrigationFromGroundwater(int r, int c) const {
    if (settings.irrigationTable == nullptr || in.irrigationCodes == nullptr) return false;
    const double code = (*in.irrigationCodes)[r][c];
    const int count = settings.irrigationTable[0].code;
    return code >= 1 && code <= count && settings.irrigationTable[static_cast<int>(code)].origin == 1;
}

void unsatzonmodellklasse::ZeroCellSums(int r, int c) {
    for (Matrix* m : {&own.drainageFlow, &own.infiltrationExcess, &own.totalInfiltration, &own.directflow,
                      &own.interflow, &own.pondingStorage, &own.macroporeInfiltration, &own.groundwaterRecharge,
                      &own.percolation, &own.capillaryUprise, &own.substeps, &own.baseflow, &own.soilBaseflow,
                      &own.gwin, &own.gwex})
        if (!m->empty() && m->holds(r)) (*m)[r][c] = 0.0;
    for (Matrix* m : in.realTranspiration)
        if (m != nullptr) (*m)[r][c] = 0.0;
    (*in.realEvaporation)[r][c] = 0.0;
}

void unsatzonmodellklasse::SoilColumnPass() {
    const int threads = omp_get_max_threads();
    if (static_cast<int>(cellWork.size()) < threads) cellWork.resize(U(threads), soilstep::CellWork(nlayers));
    for (soilstep::CellWork& w : cellWork) w.slow.clear();
    soilTypeColumns.Prepare(settings.soilTable);
    PrepareOwnCells();
    // The settings every cell of the pass shares.
    passSettings = soilstep::StepSettings{};
    passSettings.method = config.method;
    passSettings.N = static_cast<int>(std::max(1u, numSubSteps));
    passSettings.dtMinutes = timeInterval;
    passSettings.minStep = config.dParameterMinStep;
    passSettings.groundwaterModel = groundwaterActive != 0;
    passSettings.solver.maxError = max_error;
    passSettings.solver.maxIterations = static_cast<int>(max_iterations);
    passSettings.solver.surfaceInteraction = config.surface_interaction;
    passSettings.solver.groundwaterActive = groundwaterActive != 0;
    passSettings.solver.kSatClay = config.ksat_clay;
    passSettings.solver.externalTable = externalTable;
    passSettings.solver.frozenConductivity = reduced_ksat;
    passSettings.heat = HeatStepSettings();
    if (CountsSurfaceWater() && surfaceWaterTaken.empty())
        surfaceWaterTaken = matrix(firstRow, lastRow, 1, ncols, nrows);
    fpeReports.assign(U(threads), soilcolumn::FpeReport{});
    for (soilcolumn::FpeReport& f : fpeReports) f.raised = FpeFlag() != 0;
    if (tracerCount > 0) LinkGroundwaterTracers();
    // Every cell may lose water to a river beside it (exfiltration); cells linked to a river that
    // may give water (interaction 2) share it and run one by one after the parallel pass.
    riverExchange = groundwaterActive != 0 && config.surface_interaction >= 1 && riverDepth != nullptr &&
                    riverWidth != nullptr;
    const bool river = riverExchange && config.surface_interaction >= 2 && riverLinks != nullptr;
    if (river && serialCells.empty()) serialCells = matrix(firstRow, lastRow, 1, ncols, nrows);
    int firstError = 0;
    int errorRow = 0, errorCol = 0;
#pragma omp parallel if (WorthThreads(firstRow, lastRow, ncols))
    {
        soilstep::CellWork& work = cellWork[U(omp_get_thread_num())];
        // Each thread builds its own work arrays and sizes its own tracer arrays, so that they
        // come from its own part of the heap: allocated one thread after the other, the arrays
        // of neighbouring threads would share cache lines, which every sub-step of a cell writes.
        if (!work.builtByItsThread) {
            work = soilstep::CellWork(nlayers);
            work.builtByItsThread = true;
        }
        work.ResizeTracers(tracerCount, nlayers);
#pragma omp for schedule(runtime)
        for (int r = firstRow; r <= lastRow; ++r) {
            const std::span<const int> cols = OwnColumns(r);
            for (std::size_t k = 0; k < cols.size(); ++k) {
                const int c = cols[k];
                if (k + 1 < cols.size()) PrefetchCellState(r, cols[k + 1]);
                if (!surfaceWaterTaken.empty()) surfaceWaterTaken[r][c] = 0.0;
                if (river) serialCells[r][c] = (*riverLinks)[r][c] > 0 ? 1 : 0;
                if (river && serialCells[r][c] > 0) continue;
                // A failure inside the region is carried out of it: the first by cell order wins.
                int code = 0;
                try {
                    code = ColumnCell(r, c, work);
                } catch (const ModelError& e) {
                    code = e.code() != 0 ? e.code() : 103;
                } catch (...) {
                    code = 103;
                }
                if (code != 0) {
#pragma omp critical(soil_pass_error)
                    if (firstError == 0 || r < errorRow || (r == errorRow && c < errorCol)) {
                        firstError = code;
                        errorRow = r;
                        errorCol = c;
                    }
                }
            }
        }
    }
    if (firstError == soildump::kCloseAfterDumpCode && closeAfterDump && dumpsWritten.load() > 0)
        throw ModelError(soildump::ReportCloseAfterDump(*log));
    if (firstError != 0) throw ModelError(firstError);
    soilcolumn::FpeReport fpe;
    for (const soilcolumn::FpeReport& f : fpeReports) soilcolumn::MergeFpeReports(fpe, f);
    if (fpe.recorded)
        ReportFPE(fpe.row, fpe.column, fpe.layer, fpe.tracer, fpe.flux[0], fpe.flux[1], fpe.flux[2], fpe.flux[3],
                  fpe.flux[4]);
    if (river) {
        // River cells share the water of their river: one after the other, in cell order.
        const int tableSize = static_cast<int>(riverTable.size()) - 1;
        for (int r = firstRow; r <= lastRow; ++r) {
            for (int c : OwnColumns(r)) {
                if (serialCells[r][c] <= 0) continue;
                const int link = static_cast<int>((*riverLinks)[r][c]);
                const int pos = link >= 0 && U(link) < soilZones.index.size() ? soilZones.index[U(link)] : 0;
                if (link < 1 || link >= static_cast<int>(soilZones.index.size()) || pos < 1 || pos > tableSize) {
                    *log << "FATAL: \n\n -------- error! ---------------------------------------------\n\n"
                         << "There is a river link \"" << link << "\" from the river link grid\n"
                         << "which is not valid for the current routing structure -> there is no routing \n"
                         << "description for a river with code " << link << "\n"
                         << "Please check your River link grid if there are cells defined as routing link "
                         << link << " and replace those values by nodata (-9999).\n"
                         << "---------------------------------------------------------------" << "[end-entry]";
                    throw ModelError(199);
                }
                ColumnCell(r, c, cellWork[0]);
            }
        }
    }
    // Sub-steps that needed more than 100 iterations, one line each, in cell order and, within a
    // cell, in sub-step order; on process 0 only.
    if (rank != 0) return;
    std::vector<soilstep::SlowSubstep> slow;
    for (const soilstep::CellWork& w : cellWork) slow.insert(slow.end(), w.slow.begin(), w.slow.end());
    if (slow.empty()) return;
    std::stable_sort(slow.begin(), slow.end(), [](const soilstep::SlowSubstep& a, const soilstep::SlowSubstep& b) {
        return a.row != b.row ? a.row < b.row : a.column < b.column;
    });
    const std::string name = StrFormat("modell_%d.log", 0);
    FileHandle file = OpenFile(name, "a");
    if (!file) FailOnFile(*log, "error opening log-file " + name, 5);
    std::string lines;
    for (const soilstep::SlowSubstep& x : slow)
        lines += StrFormat("%2d.%2d., %2d h r=%3d, c=%3d : ziter=%3d, max_err = %lg \n", static_cast<int>(stepDay),
                           static_cast<int>(stepMonth), static_cast<int>(stepHour), x.row, x.column, x.iterations,
                           x.error);
    WriteTextLog(std::move(file), name, lines);
}

bool unsatzonmodellklasse::PrepareExactCopies(int threads) {
    if (exactQD.empty() || exactQI.size() != exactQD.size() || exactBaseflow.size() != exactQD.size()) return false;
    const std::size_t tracers = exactQD.size(), subbasins = exactQD[0].size();
    std::size_t count = 0;
    for (std::size_t t = 0; t < tracers; ++t) {
        if (exactQD[t].size() != subbasins || exactQI[t].size() != subbasins) return false;
        for (std::size_t s = 0; s < subbasins; ++s) {
            if (exactQI[t][s].size() != exactQD[t][s].size()) return false;
            count += 2 * exactQD[t][s].size();
        }
        count += exactBaseflow[t].size();
    }
    if (count == 0 || count * U(threads) * sizeof(ExactZoneSums) > exactCopyLimit) return false;
    // The records' addresses, taken afresh each pass (cheap beside the pass).
    exactCopyTargets.resize(count);
    exactCopyFirst.resize(tracers * subbasins);
    exactCopyBaseflow.resize(tracers);
    std::size_t k = 0;
    for (std::size_t t = 0; t < tracers; ++t)
        for (std::size_t s = 0; s < subbasins; ++s) {
            exactCopyFirst[t * subbasins + s] = k;
            for (ExactZoneSums& e : exactQD[t][s]) exactCopyTargets[k++] = &e;
            for (ExactZoneSums& e : exactQI[t][s]) exactCopyTargets[k++] = &e;
        }
    for (std::size_t t = 0; t < tracers; ++t) {
        exactCopyBaseflow[t] = k;
        for (ExactZoneSums& e : exactBaseflow[t]) exactCopyTargets[k++] = &e;
    }
    if (exactCopies.size() < U(threads)) exactCopies.resize(U(threads));
    for (ExactZoneCopy& copy : exactCopies)
        if (copy.sums.size() != count) {
            copy.sums.assign(count, ExactZoneSums{});
            copy.added.assign(count, 0);
        }
    return true;
}

int unsatzonmodellklasse::ZoneStatistics(std::array<ZoneStatistic, kAllStats>& walked) const {
    using C = SoilModelConfig;
    int count = 0;
    auto walk = [&](int slot, const Matrix* grid, bool perSubstep) {
        const zonalstatistic* st = statistics[U(slot)].get();
        if (st != nullptr && st->active()) walked[U(count++)] = ZoneStatistic{st, slot, grid, perSubstep};
    };
    const bool river = !own.gwin.empty();
    walk(C::SB_1, &own.sb1, false);
    walk(C::SB_2, &own.sb2, false);
    walk(SB2_GLACIER, nullptr, false);
    walk(C::ROOT, &own.rootGrid, false);
    walk(C::INFEX, &own.infiltrationExcess, true);
    walk(C::GWN, &own.groundwaterRecharge, true);
    walk(C::MACRO, &own.macroporeInfiltration, true);
    walk(SUBSTEPS, own.substeps.empty() ? nullptr : &own.substeps, false);
    walk(C::INFILT, &own.totalInfiltration, true);
    walk(C::GWSTAND, &own.groundwaterDistance, false);
    walk(TEMPER, own.thawDepth.empty() ? nullptr : &own.thawDepth, false);
    walk(C::GWIN, river ? &own.gwin : nullptr, true);
    walk(C::GWEX, river ? &own.gwex : nullptr, true);
    walk(C::POND, in.maxPonding != nullptr ? &own.pondingStorage : nullptr, false);
    walk(C::QDRAIN, own.drainageFlow.empty() ? nullptr : &own.drainageFlow, true);
    return count;
}

double unsatzonmodellklasse::ZoneStatisticValue(const ZoneStatistic& x, int r, int c) const {
    if (x.slot == SB2_GLACIER) {
        if (in.glacierFractionOld == nullptr || in.glacierFraction == nullptr) return 0.0;
        const double gNew = (*in.glacierFraction)[r][c], gOld = (*in.glacierFractionOld)[r][c];
        return gNew >= 0 && gOld >= 0 && gNew != gOld ? (gNew - gOld) * own.sb2[r][c] : 0.0;
    }
    if (x.grid == nullptr) return 0.0;
    const double N = std::max(1u, numSubSteps);
    return x.perSubstep ? (*x.grid)[r][c] * N : (*x.grid)[r][c];
}

void unsatzonmodellklasse::ZoneStatistic::AddCell(const zonalstatistic::RowAdder& adder, int c, int s, double g,
                                                  double v) const {
    const double w = 1.0 - g;
    if (w > 0 && (grid != nullptr || slot == SB2_GLACIER)) adder.Add(c, s, v, w);
    if (g > 0) adder.Add(c, s, slot == SB2_GLACIER ? v : 0.0, g);
}

int unsatzonmodellklasse::ZoneSubbasinOf(int r, int c) const {
    const int s = SubbasinOf(r, c);
    return s < 1 || U(s) >= zonesPerSubbasin.size() ? 0 : s;
}

double unsatzonmodellklasse::ZoneCellArea(int r, int c) const {
    return relCellArea != nullptr && relCellArea->holds(r) && (*relCellArea)[r][c] > nodata ? (*relCellArea)[r][c]
                                                                                            : 1.0;
}

unsatzonmodellklasse::ZonePlace unsatzonmodellklasse::ZonePlaceOf(int r, int c, int s) const {
    ZonePlace p;
    p.s = s;
    p.g = Glacier(in.glacierFraction, r, c);
    p.w = 1.0 - p.g;
    p.A = ZoneCellArea(r, c);
    if (flowTimeZones && in.flowTimes != nullptr)
        p.z = std::clamp(static_cast<int>((*in.flowTimes)[r][c]), 1, zonesPerSubbasin[U(s)]);
    return p;
}

template <class Record, class Owns>
void unsatzonmodellklasse::AddExactZoneSums(int r, int c, const ZonePlace& p, Record&& record, Owns&& owns) {
    const double N = std::max(1u, numSubSteps);
    const double w = p.w, g = p.g, A = p.A;
    if (w > 0) {
        const double qd = own.directflow[r][c], qi = own.interflow[r][c];
        const double taken = surfaceWaterTaken.empty() ? 0.0 : surfaceWaterTaken[r][c];
        if (owns(0, 0)) record(0, 0).Add(w, (qd - taken) * A * w * N, A * w);
        if (owns(0, 1)) record(0, 1).Add(w, qi * A * w * N, A * w);
        // Base flow, also when its statistics output is off (the subbasin runoff needs it).
        // With the groundwater model only the exfiltration into rivers leaves the basin
        // here; the aquifer's other drainage leaves through its own boundaries.
        double qb;
        if (groundwaterActive != 0) {
            qb = own.gwex.empty() ? 0.0 : own.gwex[r][c];
        } else {
            qb = own.baseflow[r][c];
            if (!own.irrigationAmounts.empty() && IrrigationFromGroundwater(r, c))
                qb -= own.irrigationAmounts[r][c] / (timeInterval * 60000.0 / N);
        }
        if (owns(0, 2)) record(0, 2).Add(w, qb * N * A * w, A * w);
        for (int t = 1; t <= tracerCount; ++t) {
            // Flow-weighted. The runoff grids hold concentrations for both kinds of
            // tracer (a mass tracer's load over its water), so flow x value is the load.
            auto addTracer = [&](ExactZoneSums& rec, double flow, double value) {
                rec.Add(flow * w, flow * value * A * w * N, A * flow * w);
            };
            if (owns(t, 0)) addTracer(record(t, 0), qd, tracerDirect[U(t)][r][c]);
            if (owns(t, 1)) addTracer(record(t, 1), qi, tracerInterflow[U(t)][r][c]);
            if (owns(t, 2)) addTracer(record(t, 2), qb, tracerBaseflow[U(t)][r][c]);
        }
    }
    if (g > 0) {
        if (owns(0, 0)) record(0, 0).Add(g, 0.0, A * g);
        if (owns(0, 1)) record(0, 1).Add(g, 0.0, A * g);
        if (owns(0, 2)) record(0, 2).Add(g, 0.0, A * g);
    }
}

void unsatzonmodellklasse::LookUpExactZones(ExactZoneView& view, int s, ExactZoneCopy* copy) {
    if (s == view.s) return;
    view.s = s;
    const int T = tracerCount;
    view.first.resize(U(3 * (T + 1)));
    for (int t = 0; t <= T; ++t) {
        if (copy != nullptr) {
            ExactZoneSums* qd = copy->sums.data() + exactCopyFirst[U(t) * exactQD[0].size() + U(s)];
            view.first[U(3 * t)] = qd;
            view.first[U(3 * t + 1)] = qd + exactQD[U(t)][U(s)].size();
            view.first[U(3 * t + 2)] = copy->sums.data() + exactCopyBaseflow[U(t)] + U(s);
        } else {
            view.first[U(3 * t)] = exactQD[U(t)][U(s)].data();
            view.first[U(3 * t + 1)] = exactQI[U(t)][U(s)].data();
            view.first[U(3 * t + 2)] = &exactBaseflow[U(t)][U(s)];
        }
    }
}

void unsatzonmodellklasse::AccumulateZones() {
    PrepareOwnCells();
    std::array<ZoneStatistic, kAllStats> walked{};
    const int count = ZoneStatistics(walked);
    const bool threaded = WorthThreads(firstRow, lastRow, ncols) && omp_get_max_threads() > 1;
    if (threaded) {
        // On several threads the exact sums go by rows into the threads' copies, merged into
        // the records afterwards, each copy's record cleared for the next pass.
        const bool copies = PrepareExactCopies(omp_get_max_threads());
        AccumulateZonesThreaded(walked, count, copies);
        if (!copies) return;
        for (ExactZoneCopy& copy : exactCopies)
            for (std::size_t k = 0; k < copy.sums.size(); ++k) {
                if (copy.added[k] == 0) continue;
                exactCopyTargets[k]->Merge(copy.sums[k]);
                copy.sums[k].Reset();
                copy.added[k] = 0;
            }
        return;
    }
    // One thread: every cell's additions as it is walked.
    std::array<zonalstatistic::RowAdder, kAllStats> adders{};
    ExactZoneView view;
    for (int r = firstRow; r <= lastRow; ++r) {
        for (int j = 0; j < count; ++j) adders[U(j)] = walked[U(j)].statistic->Row(r);
        for (int c : OwnColumns(r)) {
            const int s = ZoneSubbasinOf(r, c);
            if (s == 0) continue;
            const ZonePlace p = ZonePlaceOf(r, c, s);
            for (int j = 0; j < count; ++j)
                walked[U(j)].AddCell(adders[U(j)], c, s, p.g, ZoneStatisticValue(walked[U(j)], r, c));
            LookUpExactZones(view, s, nullptr);
            AddExactZoneSums(
                r, c, p, [&](int t, int kind) -> ExactZoneSums& { return view.Record(t, kind, p.z); },
                [](int, int) { return true; });
        }
    }
}

void unsatzonmodellklasse::AccumulateZonesThreaded(const std::array<ZoneStatistic, kAllStats>& walked, int count,
                                                   bool copies) {
    // The threads take rows and note each own cell's place. Then each statistic is added up by
    // one thread over the own cells in row order, so that every record gets its additions in
    // the order of one thread; beside those tasks the other threads add the exact sums, by
    // blocks of rows into their copies or, without copies, one kind of sum each.
    zoneCellPlaces.resize(ownColumns.size());
    const int rows = lastRow - firstRow + 1;
    const int blocks = copies ? std::min(rows, 4 * omp_get_max_threads()) : 3 * (tracerCount + 1);
    const int tasks = count + blocks;
#pragma omp parallel
    {
#pragma omp for schedule(runtime)
        for (int r = firstRow; r <= lastRow; ++r) {
            ZoneCellPlace* places = zoneCellPlaces.data() + ownRowStart[U(r - firstRow)];
            const std::span<const int> cols = OwnColumns(r);
            for (std::size_t k = 0; k < cols.size(); ++k) {
                const int c = cols[k];
                const int s = ZoneSubbasinOf(r, c);
                places[k].s = s;
                if (s == 0) continue;
                const ZonePlace p = ZonePlaceOf(r, c, s);
                places[k].z = p.z;
                places[k].g = p.g;
            }
        }
        ExactZoneView view;
        ExactZoneCopy* copy = copies ? &exactCopies[U(omp_get_thread_num())] : nullptr;
        // The exact sums of the own cells of rows r1..r2 where owns(t, kind).
        auto addExactRows = [&](int r1, int r2, auto&& owns) {
            for (int r = r1; r <= r2; ++r) {
                const ZoneCellPlace* places = zoneCellPlaces.data() + ownRowStart[U(r - firstRow)];
                const std::span<const int> cols = OwnColumns(r);
                for (std::size_t k = 0; k < cols.size(); ++k) {
                    const ZoneCellPlace& cp = places[k];
                    if (cp.s == 0) continue;
                    const int c = cols[k];
                    const ZonePlace p{cp.s, cp.z, cp.g, 1.0 - cp.g, ZoneCellArea(r, c)};
                    LookUpExactZones(view, cp.s, copy);
                    auto record = [&](int t, int kind) -> ExactZoneSums& {
                        ExactZoneSums& rec = view.Record(t, kind, p.z);
                        if (copy != nullptr) copy->added[U(&rec - copy->sums.data())] = 1;
                        return rec;
                    };
                    AddExactZoneSums(r, c, p, record, owns);
                }
            }
        };
#pragma omp for schedule(dynamic, 1)
        for (int task = 0; task < tasks; ++task) {
            if (task < count) {
                const ZoneStatistic& x = walked[U(task)];
                for (int r = firstRow; r <= lastRow; ++r) {
                    const ZoneCellPlace* places = zoneCellPlaces.data() + ownRowStart[U(r - firstRow)];
                    const std::span<const int> cols = OwnColumns(r);
                    const zonalstatistic::RowAdder adder = x.statistic->Row(r);
                    for (std::size_t k = 0; k < cols.size(); ++k)
                        if (places[k].s != 0)
                            x.AddCell(adder, cols[k], places[k].s, places[k].g, ZoneStatisticValue(x, r, cols[k]));
                }
            } else if (copies) {
                const int b = task - count;
                addExactRows(firstRow + b * rows / blocks, firstRow + (b + 1) * rows / blocks - 1,
                             [](int, int) { return true; });
            } else {
                const int t = (task - count) / 3, kind = (task - count) % 3;
                addExactRows(firstRow, lastRow, [&](int tt, int kk) { return tt == t && kk == kind; });
            }
        }
    }
}
