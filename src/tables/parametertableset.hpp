#pragma once
// The parameter tables of one model run: the land-use, soil, multilayer land-use and
// irrigation tables, read through the set-up object's control file in its initialisation
// steps and checked against the code grids. The application hands one to the set-up object
// (defaultini::SetParameterTables); the sub-models read the tables from it.
#include <memory>
#include <vector>

#include "setup/parametertables.hpp"
#include "tables/irrigation_table.hpp"
#include "tables/landuse_entry.hpp"
#include "tables/landuse_grids.hpp"
#include "tables/multilayer_landuse.hpp"
#include "tables/soil_entry.hpp"

class ParameterTableSet : public ParameterTables {
public:
    void ReadMultilayerLanduseTable(defaultini& setup) override;
    void ReadLanduseTable(defaultini& setup) override;
    void ReadSoilTable(defaultini& setup) override;
    int ReadIrrigation(defaultini& setup) override;

    int MultilayerLayerCount() const override;
    double MultilayerLanduseCode(int position, int layer) const override;

    void CheckLanduse(defaultini& setup, int gridIndex) override;
    void check_irrig_Codes(defaultini& setup, int gridIndex) override;
    void ClearIrrigationTable() override { irrigation_.clear(); }
    void check_SOIL_Codes(defaultini& setup, int gridIndex) override;
    void RecheckLanduse(defaultini& setup, int gridIndex) override;
    // The land-use parameter grids of every layer, created for the start date.
    void generateMultiLayerParameterGrids(defaultini& setup, int layers) override;
    void UpdateDynamicLanduseParameters(defaultini& setup, std::int64_t hour, std::int64_t day, std::int64_t month,
                                        std::int64_t year, int stepMinutes) override;
    void WriteEndOfRunGrids(defaultini& setup) override;
    const LanduseParameterGrids* LanduseGrids() const { return landuseGrids_.get(); }

    // Records 0..N of each table (record 0 holds N as its code); empty when the run has none.
    const std::vector<landuse_entry>& Landuse() const { return landuse_; }
    std::vector<landuse_entry>& Landuse() { return landuse_; }
    const std::vector<soil_entry>& Soil() const { return soil_; }
    std::vector<soil_entry>& Soil() { return soil_; }
    const std::vector<multilayer_landuse_entry>& MultilayerLanduse() const { return multilayer_; }
    std::vector<multilayer_landuse_entry>& MultilayerLanduse() { return multilayer_; }
    const std::vector<irrigation_entry>& Irrigation() const { return irrigation_; }
    std::vector<irrigation_entry>& Irrigation() { return irrigation_; }

private:
    std::vector<landuse_entry> landuse_;
    // Declared after the table it refers to, so that it goes first.
    std::unique_ptr<LanduseParameterGrids> landuseGrids_;
    std::vector<soil_entry> soil_;
    std::vector<multilayer_landuse_entry> multilayer_;
    std::vector<irrigation_entry> irrigation_;
};
