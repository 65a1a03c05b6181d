#pragma once
// The land-use, soil, multilayer land-use and irrigation tables are read and checked by the
// tables library, which builds on the set-up. The set-up object reaches them only through this
// interface: the application hands an implementation to defaultini::SetParameterTables before
// the step-wise initialisation. Without one, the steps of the tables do nothing and the run has
// no tables.
//
// The readers use the set-up object's open control file (ControlStream, SeekSection,
// ReadValue); errors are logged and thrown as ModelError like everywhere else.
#include <cstdint>

class defaultini;

class ParameterTables {
public:
    virtual ~ParameterTables() = default;

    // Step 3: "[multilayer_landuse]", then "[landuse_table]".
    virtual void ReadMultilayerLanduseTable(defaultini& /*setup*/) {}
    virtual void ReadLanduseTable(defaultini& /*setup*/) {}
    // Step 4: "[soil_table]".
    virtual void ReadSoilTable(defaultini& /*setup*/) {}
    // Step 5: "[irrigation]" and "[irrigation_table]"; returns the irrigation switch.
    virtual int ReadIrrigation(defaultini& /*setup*/) { return 0; }

    // Number of layers of the multilayer land-use table; 0 when the run has none.
    virtual int MultilayerLayerCount() const { return 0; }
    // Land-use code of a layer of the multilayer record at a table position; -9999 when the
    // record has fewer layers.
    virtual double MultilayerLanduseCode(int /*position*/, int /*layer*/) const { return -9999.0; }

    // Code checks; the index is the grid-store index of the grid, 0 when it does not exist.
    // Step 13: "landuse".
    virtual void CheckLanduse(defaultini& /*setup*/, int /*gridIndex*/) {}
    // Step 14: land-use parameter grids for the number of land-use layers.
    virtual void generateMultiLayerParameterGrids(defaultini& /*setup*/, int /*layers*/) {}
    // Step 15 (irrigation switch not 0): "irrigation_codes".
    virtual void check_irrig_Codes(defaultini& /*setup*/, int /*gridIndex*/) {}
    // Step 15 (irrigation switch 0): the run has no irrigation table.
    virtual void ClearIrrigationTable() {}
    // Step 16: "soil_types".
    virtual void check_SOIL_Codes(defaultini& /*setup*/, int /*gridIndex*/) {}
    // Time loop: the land-use grid was read again from a periodic file. Its codes get the
    // check and the code-to-position mapping of the start; the tables, already rewritten at
    // start, stay as they are. (Soil and irrigation grids go through their start checks.)
    virtual void RecheckLanduse(defaultini& /*setup*/, int /*gridIndex*/) {}

    // End of the run: the state grids of the land-use parameter grids that are kept as files.
    virtual void WriteEndOfRunGrids(defaultini& /*setup*/) {}

    // Time loop: the land-use parameter grids follow the date (step length in minutes).
    virtual void UpdateDynamicLanduseParameters(defaultini& /*setup*/, std::int64_t /*hour*/, std::int64_t /*day*/,
                                                std::int64_t /*month*/, std::int64_t /*year*/, int /*stepMinutes*/) {}
};
