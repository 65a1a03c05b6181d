#include "tables/parametertableset.hpp"

#include "setup/defltuzr.hpp"
#include "tables/code_checks.hpp"
#include "tables/landuse_table.hpp"
#include "tables/soil_table.hpp"

void ParameterTableSet::ReadMultilayerLanduseTable(defaultini& setup) {
    multilayer_ = ReadMultilayerLanduseSection(setup);
}

void ParameterTableSet::ReadLanduseTable(defaultini& setup) {
    landuse_ = ReadLanduseTableSection(setup, setup.SoilModelVariant());
}

void ParameterTableSet::ReadSoilTable(defaultini& setup) { soil_ = ReadSoilTableSection(setup, setup.SoilModelVariant()); }

int ParameterTableSet::ReadIrrigation(defaultini& setup) {
    return ReadIrrigationSections(setup, setup.SoilModelVariant(), irrigation_);
}

int ParameterTableSet::MultilayerLayerCount() const {
    return multilayer_.size() >= 2 ? multilayer_[1].layerCount : 0;
}

double ParameterTableSet::MultilayerLanduseCode(int position, int layer) const {
    if (position < 1 || static_cast<std::size_t>(position) >= multilayer_.size()) return -9999.0;
    const multilayer_landuse_entry& m = multilayer_[static_cast<std::size_t>(position)];
    return m.HasLayerCode(layer) ? m.layerCodes[static_cast<std::size_t>(layer)] : -9999.0;
}

namespace {
// A code grid of the control file that process 0 does not keep whole is held by every process
// over its own rows, as read: each checks its own cells. One that process 0 keeps whole (written
// by its write code, read again periodically) is checked there and sent out as before.
CodeGridRows RowsOf(defaultini& setup, int gridIndex) {
    const GridDefinition* def = setup.DefinitionAt(gridIndex);
    return def && !setup.WholeOnProcessZero(*def) ? CodeGridRows::OwnCells : CodeGridRows::WholeOnProcessZero;
}
}  // namespace

void ParameterTableSet::CheckLanduse(defaultini& setup, int gridIndex) {
    CheckLanduseGrid(setup, gridIndex, landuse_, multilayer_, RowsOf(setup, gridIndex));
}

void ParameterTableSet::RecheckLanduse(defaultini& setup, int gridIndex) {
    RecheckLanduseGrid(setup, gridIndex, landuse_, multilayer_, RowsOf(setup, gridIndex));
}

void ParameterTableSet::check_irrig_Codes(defaultini& setup, int gridIndex) {
    CheckIrrigationGrid(setup, gridIndex, irrigation_, RowsOf(setup, gridIndex));
}

void ParameterTableSet::check_SOIL_Codes(defaultini& setup, int gridIndex) {
    CheckSoilGrid(setup, gridIndex, soil_, RowsOf(setup, gridIndex));
}

void ParameterTableSet::generateMultiLayerParameterGrids(defaultini& setup, int layers) {
    // The snow model changes the albedo in every step, so a run that reads it from a file
    // continues the run that wrote it: a warm start.
    bool albedoRead = false;
    for (const GridDefinition& def : setup.GridDefinitions())
        if (def.internalName == "albedo") albedoRead = def.variable ? def.readCode == 1 : def.readCode > 0;
    landuseGrids_ = std::make_unique<LanduseParameterGrids>(
        setup, landuse_, layers,
        LanduseParameterGrids::Date{setup.StartHour(), setup.StartDay(), setup.StartMonth(), setup.StartYear()},
        albedoRead);
}

void ParameterTableSet::WriteEndOfRunGrids(defaultini&) {
    if (landuseGrids_) landuseGrids_->WriteStartTimesAtEnd();
}

void ParameterTableSet::UpdateDynamicLanduseParameters(defaultini& setup, std::int64_t hour, std::int64_t day,
                                                       std::int64_t month, std::int64_t year, int stepMinutes) {
    if (landuseGrids_) {
        landuseGrids_->UpdateDynamicLanduseParameters(hour, day, month, year, stepMinutes);
    } else {
        // Without land-use grids the daily renewal has nothing to renew but its entry; no hour is
        // stored for the next one.
        LanduseParameterGrids::LogDailyRenewal(setup, hour, day, month, year, 0);
    }
}
