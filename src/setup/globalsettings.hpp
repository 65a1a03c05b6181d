#pragma once
// The settings the set-up object hands to the application once its initialisation is done;
// the application keeps its copy and passes it to every sub-model it constructs.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernel/decomposition.hpp"

class ParameterTables;

// One zone of the zone ranking; slot 0 of the record array holds the totals.
struct ZoneRecord {
    double n = 0;           // weighted cell count (relative cell areas summed)
    double sx = 0;          // cell count
    double zonenwert = 0;   // zone code
    double rel = 0;         // share of the weighted total; slot 0: total area in km2
    double RelCellSum = 0;  // weighted cell count again
};

// Zones are numbered 1..zoneCount in ascending order of their codes.
struct ZoneTables {
    std::int32_t zoneCount = 0;
    std::int32_t highestCode = 0;
    std::vector<std::int32_t> zoneOfCode;   // codes 0..highestCode; 0 for codes that do not occur
    std::vector<ZoneRecord> records;        // slots 0..zoneCount
    std::vector<ColumnRange> columnRanges;  // rows 0..nrows; (0, -1) for rows without valid cells
};

// One regression region; the centre is the mean position rounded towards zero.
struct RegionRecord {
    std::int32_t centreRow = 0;
    std::int32_t centreCol = 0;
    double meanRow = 0;
    double meanCol = 0;
    double cellCount = 0;
};

struct RegionTables {
    std::int32_t regionCount = 0;
    std::int32_t highestCode = 0;
    std::vector<std::int32_t> regionOfCode;  // codes 0..highestCode
    std::vector<RegionRecord> records;       // slots 0..regionCount
    double transitionDistance = 0;           // map units
};

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
