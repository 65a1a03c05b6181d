// The soil model's grids: the links it reads, its statistics outputs and the grids and stacks
// it publishes (own rows; some with a halo row).
#include <algorithm>
#include <cmath>

#include "soil/unsatzon.hpp"
#include "tables/irrigation_table.hpp"

namespace {
Matrix* GridOf(GridStore& store, int index) { return index > 0 ? store[index].grid : nullptr; }
}  // namespace

void unsatzonmodellklasse::LinkInputGrids() {
    GridStore& store = *gridStore;
    auto required = [&](const std::string& name) { return GridOf(store, GetGridIndex(name)); };
    auto optional = [&](const std::string& name) { return GridOf(store, FindGrid(name, true)); };
    in.zone = store[soilZones.gridIndex].grid;
    in.elevation = store[2].grid;

    const std::size_t layers = static_cast<std::size_t>(n_veg_layers) + 1;
    for (auto* v : {&in.landuse, &in.rootDepth, &in.vegCover, &in.lai, &in.canopyResistance, &in.intercepResistance,
                    &in.roughness, &in.potTranspiration, &in.realTranspiration})
        v->assign(layers, nullptr);
    for (int k = 1; k <= n_veg_layers; ++k) {
        const std::size_t i = static_cast<std::size_t>(k);
        auto layer = [&](const char* name) { return required(StrFormat("%s%d", name, k)); };
        // A run without a multilayer table has the single land-use grid under its plain name.
        const std::string landuseName = StrFormat("%s%d", "landuse", k);
        in.landuse[i] = (k == 1 && FindGrid(landuseName, true) <= 0) ? required("landuse") : required(landuseName);
        in.rootDepth[i] = layer("root_depth");
        in.vegCover[i] = layer("vegetation_coverage_degree");
        in.lai[i] = layer("leaf_area_index");
        in.canopyResistance[i] = layer("SurfaceCanopyResistance");
        in.intercepResistance[i] = layer("SurfaceIntercepResistance");
        in.roughness[i] = layer("RoughnessLength");
    }
    for (int k = 0; k <= n_veg_layers; ++k) {
        in.potTranspiration[static_cast<std::size_t>(k)] = required(StrFormat("%s%d", "pot_transpiration", k));
        in.realTranspiration[static_cast<std::size_t>(k)] = required(StrFormat("%s%d", "real_transpiration", k));
    }
    in.evapResistance = required("SurfaceEvaporationResistance");
    in.albedo = required("albedo");
    in.potEvaporation = required("potential_evaporation");
    in.realEvaporation = required("real_evaporation");
    in.slope = required("slope_angle");
    in.soilTypes = required("soil_types");
    in.gwStorageCoeff = optional(StrFormat("%s%d", "gw_storage_coeff_", 1));
    in.gwKx = optional(StrFormat("%s%d", "gw_k_x_", 1));
    in.gwKy = optional(StrFormat("%s%d", "gw_k_y_", 1));
    if (config.pond == 1) {
        maxPondingIndex = GetGridIndex("max_ponding_storage");
        in.maxPonding = store[maxPondingIndex].grid;
    }
    if (config.drainage == 1) {
        in.drainageDepth = required("drainage_depth");
        in.drainageDistance = required("drainage_distance");
    }
    if (config.clay == 1) in.clayDepth = required("clay_depth");
    in.snowSolid = optional("snowstorage_solid");
    in.flowTimes = optional("flow_times");
    if (heat.on()) {
        in.temperature = required("temperature");
        in.lowerBoundaryTemperature = optional("T_Lower_Boundary_Condition");
        in.lowerBoundaryHeatFlux = optional("HeatFlux_Lower_Boundary_Condition");
        lowerHeatFluxBoundary = in.lowerBoundaryHeatFlux != nullptr;
    }
    if (settings.irrigationTable != nullptr) in.irrigationCodes = required("irrigation_codes");
    in.siltingUp = optional("DirectRunoffSiltingUp");
    if (in.siltingUp == nullptr) {
        in.siltingUp = optional("SurfStorSiltingUp");
        surfaceStorageSiltingUp = in.siltingUp != nullptr;
    } else {
        in.siltedStore = optional("SurfStorSiltingUp");
    }
    if (settings.spinUpSwitch != 0) {
        in.responseUnits = required("HydrologicResponseUnits");
        in.masterResponseUnits = required("MasterHydrologicResponseUnits");
    }
}

void unsatzonmodellklasse::CreateStatistics() {
    struct StatisticEntry {
        int slot;
        const char* title;
        int decimals;
        bool on;
    };
    using C = SoilModelConfig;
    const StatisticEntry entries[] = {
        {C::GWSTAND, "groundwater level [m below surface] (GWSTAND)", 5, true},
        {C::GWN, "groundwater recharge per zone [mm] (GWN)", 5, true},
        {C::SB_1, "rel. soil moisture 0..root depth per zone ", 5, true},
        {C::SB_2, "abs. soil moisture 0..profile depth per zone ", 5, true},
        {C::ROOT, "root depth [mm per zone] ", 5, true},
        {C::INFEX, "Infiltration excess [mm per zone]  ", 5, true},
        {C::QD, "direct discharge [mm per Zone] (QD)", 6, true},
        {C::QI, "Interflow [mm per zone]", 6, true},
        {C::QB, "base flow [mm per Zone]", 6, true},
        {C::Qg, "total runoff [mm per zone] (sum of QB, QI und QD)", 6, true},
        {C::MACRO, "macropore_infiltration_per_zone_[mm] ", 6, true},
        {C::INFILT, "total_infiltration_per_zone_[mm] ", 6, true},
        {SUBSTEPS, "Number_of_Substeps_per_Time_Step[-] ", 6, config.method == 3},
        {TEMPER, "soil thaw depth [m] ", 5, heat.on()},
        {C::QDRAIN, "drainage discharge [mm per zone] (QDRAIN)", 5, in.drainageDepth != nullptr},
        {C::POND, "ponding water storage content [mm per zone]  ", 5, in.maxPonding != nullptr},
    };
    for (const StatisticEntry& s : entries)
        if (s.on) {
            const SoilModelConfig::NamedCode& nc = s.slot == SUBSTEPS ? config.substepStat
                                                   : s.slot == TEMPER ? heat.temperStat
                                                                      : config.stats[static_cast<std::size_t>(s.slot)];
            CreateStatistic(s.slot, nc.name, nc.code, s.title, s.decimals);
        }
}

void unsatzonmodellklasse::CreateStatistic(int slot, const std::string& fileName, long code, const char* title,
                                           int decimals) {
    const std::size_t i = static_cast<std::size_t>(slot);
    std::vector<zoneFZT>& records = statisticRecords[i];
    records.assign(static_cast<std::size_t>(soilZones.zoneCount) + 1, zoneFZT{});
    for (std::size_t z = 0; z < records.size() && z < soilZones.records.size(); ++z) {
        records[z].zonenwert = soilZones.records[z].zonenwert;
        records[z].rel = soilZones.records[z].rel;
    }
    int error = 0;
    statistics[i] = std::make_unique<zonalstatistic>(&error, log, relCellArea, nrows, ncols, records.data(),
                                                     soilZones.zoneCount, code, decimals, fileName, outputPath,
                                                     outputList[0], std::vector<int>(outputList.begin() + 1,
                                                                                     outputList.end()));
    if (error != 0) throw ModelError(error);
    if (rank == 0) statistics[i]->WriteHeader(title, moduleName, settings.outputCodes, settings.outputCodeCount);
}

int unsatzonmodellklasse::Register(const std::string& fileName, Matrix* grid, Stack* stack, const std::string& name,
                                   long code, int first, int last) {
    const int index = FirstFreeGridIndex();
    if (index > GridStore::kMaxIndex) {
        *log << "FATAL: no more free grids in memeory, (max. " << 1000 << ")!" << "[end-entry]";
        throw ModelError(12);
    }
    RegisterGrid(index, fileName, grid, stack, stack != nullptr ? nlayers : 0, name, code, first, last);
    registeredEntries.push_back(index);
    return index;
}

namespace {
struct RowSpan {
    int first, last;
};
}  // namespace

void unsatzonmodellklasse::RegisterOwnGrids() {
    using C = SoilModelConfig;
    const RowSpan ownRows{firstRow, lastRow};
    const RowSpan haloRows{std::max(1, firstRow - 1), std::min(nrows, lastRow + 1)};
    // The grid writer adds the output folder to these names.
    auto outName = [&](int o) { return config.outputs[static_cast<std::size_t>(o)].name; };
    auto outCode = [&](int o) { return static_cast<long>(config.outputs[static_cast<std::size_t>(o)].code); };
    auto grid = [&](Matrix& m, RowSpan rows, const std::string& file, const std::string& name, long code) {
        m = FilledMatrix(rows.first, rows.last, 1, ncols, nrows, nodata);
        return Register(file, &m, nullptr, name, code, rows.first, rows.last);
    };
    auto output = [&](Matrix& m, RowSpan rows, int o, const char* name) {
        return grid(m, rows, outName(o), name, outCode(o));
    };
    auto internal = [&](Matrix& m, RowSpan rows, const char* name) { return grid(m, rows, name, name, 0); };
    auto stack = [&](Stack& s, const char* name, const std::string& file, long code) {
        s = FilledMatrix3d(firstRow, lastRow, 1, ncols, nlayers, nrows, nodata);
        return Register(file, nullptr, &s, name, code, firstRow, lastRow);
    };
    OwnGrids& g = own;
    gwDistanceIndex = output(g.groundwaterDistance, config.readgrid == 2 ? ownRows : haloRows, C::GWSTAND_G,
                             "groundwater_distance");
    // The groundwater model exchanges the halo rows of the ponding storage when it uses ponds.
    if (in.maxPonding != nullptr)
        output(g.pondingStorage, haloRows, C::POND_G, "ponding_storage");
    stack(g.geodeticHeads, "geodetic_heads", outName(C::HGEO), outCode(C::HGEO));
    stack(g.theta, "theta", outName(C::Theta), outCode(C::Theta));
    stack(g.hydraulicHeads, "hydraulic_heads", outName(C::HH), outCode(C::HH));
    if (heat.on() && in.lowerBoundaryTemperature == nullptr) {
        lowerBoundaryIndex = internal(g.lowerBoundaryTemperature, ownRows, "T_Lower_Boundary_Condition");
        in.lowerBoundaryTemperature = &g.lowerBoundaryTemperature;
    }
    if (heat.on())
        stack(g.soilTemperature, "Soil_Temperature_Stack", heat.temperStack.name,
              heat.temperStack.code);
    // The groundwater model exchanges the halo rows of the base flow.
    output(g.baseflow, haloRows, C::DELTAGW, "baseflow");
    output(g.groundwaterLevel, ownRows, C::GWLEVEL, "groundwater_level");
    output(g.thetaInGwLevel, ownRows, C::GWTHETA, "Theta_in_GWLEVEL");
    stack(g.qDown, "q_down", outName(C::QUNTEN), outCode(C::QUNTEN));
    {
        const std::string ext = StrFormat("%s%s", "q_down", "ext");
        grid(g.qDownExt, ownRows, ext, ext, 0);
    }
    output(g.sb1, ownRows, C::SB05, "SB_1_grid");
    internal(g.meanThetaRootZone, ownRows, "MeanThetaInRootZone");
    if (settings.irrigationTable != nullptr) {
        output(g.irrigationAmounts, ownRows, C::IRRIG, "irrigation_amounts");
        internal(g.maxPumping, ownRows, "Max_Pumping");
        internal(g.sbLow, ownRows, "SBLOW_grid");
        internal(g.sbHigh, ownRows, "SBHIGH_grid");
    }
    if (FindGrid("ETR2ETP", true) <= 0) {
        grid(g.etr2etp, ownRows, "", "ETR2ETP", 0);
        in.etr2etp = &g.etr2etp;
    } else {
        in.etr2etp = (*gridStore)[FindGrid("ETR2ETP", true)].grid;
    }
    internal(g.gwTableExtern, ownRows, "GWTableExtern");
    internal(g.balance, ownRows, "Balance");
    internal(g.tangensBeta, ownRows, "tangens_beta");
    output(g.sb2, ownRows, C::SB1_, "SB_2_grid");
    output(g.macroporeInfiltration, ownRows, C::MACROPORE, "macropore_infiltration");
    if (config.method == 3)
        grid(g.substeps, ownRows, config.substepGrid.name, "number_of_substeps",
             config.substepGrid.code);
    output(g.rootGrid, ownRows, C::WURZ, "ROOTgrid");
    output(g.groundwaterRecharge, ownRows, C::GWN_G, "groundwater_recharge");
    output(g.capillaryUprise, ownRows, C::UPRISE, "Capillar_Uprise");
    output(g.percolation, ownRows, C::PERCOL, "Percolation");
    output(g.directflow, ownRows, C::QD_G, "directflow");
    output(g.interflow, ownRows, C::QI_G, "interflow");
    output(g.infiltrationExcess, ownRows, C::INFEX_G, "infiltration_excess");
    internal(g.totalInfiltration, ownRows, "total_infiltration");
    output(g.infiltrationSaturation, ownRows, C::SATT, "infiltration_saturation");
    if (heat.on() && in.gwKx != nullptr && in.gwKy != nullptr)
        frozenSoilIndex = internal(g.frozenSoilInGroundwater, haloRows, "frozenSoilInGroundwater");
    if (heat.on())
        grid(g.thawDepth, ownRows, heat.thawDepthGrid.name, "ThawDepthTMod",
             heat.thawDepthGrid.code);
    if (in.drainageDepth != nullptr) {
        output(g.drainageFlow, ownRows, C::QDRAIN_G, "drainage_flow");
        internal(g.drainageLevel, ownRows, "drainage_level");
    }
}

void unsatzonmodellklasse::EnableGroundwater() {
    if (flowControl == 0 || groundwaterActive != 0) return;
    groundwaterActive = 1;
    CreateRiverOutputs();
    own.soilBaseflow = FilledMatrix(firstRow, lastRow, 1, ncols, nrows, nodata);
    Register("soil_baseflow", &own.soilBaseflow, nullptr, "soil_baseflow", 0, firstRow, lastRow);
    // A warm start keeps the aquifer's rate of the last step of the run before, which its start
    // grid holds; otherwise the aquifer has not moved yet and its base flow starts at 0 m/s.
    if (config.readgrid == 1 || config.readgrid == 3) return;
    PrepareOwnCells();
    for (int r = firstRow; r <= lastRow; ++r)
        for (const int c : OwnColumns(r)) own.baseflow[r][c] = 0.0;
}

void unsatzonmodellklasse::CreateRiverOutputs() {
    if (!own.gwin.empty()) return;
    using C = SoilModelConfig;
    auto publish = [&](Matrix& m, int o, const char* name) {
        const SoilModelConfig::NamedCode& out = config.outputs[static_cast<std::size_t>(o)];
        m = FilledMatrix(firstRow, lastRow, 1, ncols, nrows, nodata);
        Register(out.name, &m, nullptr, name, out.code, firstRow, lastRow);
    };
    publish(own.gwin, C::GWIN_G, "river_infiltration");
    publish(own.gwex, C::GWEX_G, "river_exfiltration");
    CreateStatistic(C::GWIN, config.stats[C::GWIN].name, config.stats[C::GWIN].code,
                    "re-infiltration from rivers [mm per Zone]", 6);
    CreateStatistic(C::GWEX, config.stats[C::GWEX].name, config.stats[C::GWEX].code,
                    "base flow (exfiltration into rivers, only with gw-module active) [mm per Zone]", 6);
}
