#pragma once
// The settings the set-up object hands to the application once its initialisation is done;
// the application keeps its copy and passes it to every sub-model it constructs.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernel/decomposition.hpp"
#include "setup/regionweights.hpp"
#include "setup/zoneranking.hpp"

class ParameterTables;

struct GlobalSettings {
    // The compiled control file every reader opens ("<control file>_<rank>.$$$").
    std::string controlFileName;

    // "[output_interval]"
    std::int32_t outputInterval = 0;  // run interval of every sub-model
    std::int32_t meteoOption = 0;     // second value, 0 or 1: handed to every meteorological input
    std::int32_t thirdSwitch = 0;     // third value, 0 or 1: kept, no further effect
    double minToIntEnd = 0;           // minutes from the hour of the meteorological data to the step end

    // "[meteo_data_count]" and "[meteo_names]": names 1..meteoCount (slot 0 empty)
    std::int32_t meteoCount = 0;
    std::vector<std::string> meteoNames;

    // "[coordinates]"
    double latitude = 0;
    double longitude = 0;
    double referenceMeridian = 0;
    double timeShift = 0;  // data time to local time

    // "[output_list]": codes 1..outputListCount; slot 0 holds the count
    std::int32_t outputListCount = 0;
    std::vector<std::int32_t> outputListCodes;

    // Grids the set-up registered as standard grids (standard, variable and derived grids).
    std::int32_t standardGridCount = 0;

    ZoneTables zones;
    RegionTables regions;

    // Geometry of the whole grid and the own rows of this process.
    std::int32_t ncols = 0;
    std::int32_t nrows = 0;
    std::int32_t firstRow = 0;
    std::int32_t lastRow = 0;
    double xllcorner = 0;
    double yllcorner = 0;
    double cellsize = 0;
    double nodata = -9999.0;

    // Model period.
    std::int64_t startHour = 0, startDay = 0, startMonth = 0, startYear = 0;
    std::int64_t endHour = 0, endDay = 0, endMonth = 0, endYear = 0;

    // The land-use, soil, multilayer land-use and irrigation tables (null without tables).
    std::shared_ptr<ParameterTables> tables;

    // Output format and the directory prefixes for relative file names.
    bool textOutput = false;       // "WriteAsciiGrids"
    bool doublePrecision = false;  // "WriteDoubleGrids"
    std::string inputPath;         // "InitialStateDirectory"
    std::string outputPath;        // "DefaultOutputDirectory"

    // Process decomposition: valid cells per process and the halo lists of this process.
    std::vector<std::int64_t> cellsPerProcess;
    std::vector<HaloRecord> sendHalo;
    std::vector<HaloRecord> recvHalo;
};
