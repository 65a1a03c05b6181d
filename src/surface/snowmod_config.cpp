// Construction of the snow model: the section "[snow_model]", the input grids, the own grids
// and the zone statistics.
#include <algorithm>
#include <cstdio>

#include "kernel/steptimes.hpp"
#include "kernel/threading.hpp"
#include "surface/snowmod.hpp"
#include "tables/multilayer_landuse.hpp"

namespace {
constexpr double kFreezingK = 273.16;
}

schneemodellklasse::schneemodellklasse(unsigned& error, DiagLog* log_, const SubmodelSettings& s)
    : teilmodellklasse(log_, "snow_model", s, 1) {
    workFirstRow = firstRow;
    workLastRow = lastRow;
    CatchIntoError(error, [&] { Construct(); });
}

void schneemodellklasse::Construct() {
    // Finer rows of the snow's set-up in the timing table (the grids' rows in CreateGrids).
    PartSeconds ps({"snow set-up: zone ranking", "snow set-up: section, statistics"});
    ps.Mark();
    ReadModuleSection(false);
    if (flowControl == 0) return;
    LogBanner("snowmod");

    elevation = (*gridStore)[2].grid;
    RankZones(soilZones);
    ps.Add(0);
    FindDecompositionGrids();
    // One land-use grid per layer of the set-up's multilayer land use, one without it.
    const multilayer_landuse_entry* table = settings.multilayerTable;
    landuseLayers = table != nullptr && table[0].code >= 1 ? std::max(1, table[1].layerCount) : 1;
    landuse.assign(static_cast<std::size_t>(landuseLayers) + 1, nullptr);

    ReadSection();
    CreateStatistics();
    rmfMean = RMFMIN + (RMFMAX - RMFMIN) / 2.0;
    rmfAmplitude = (RMFMAX - RMFMIN) / 2.0;
    LinkInputGrids();
    ps.Add(1);
    ps.Report();
    CreateGrids();

    if (T0R < T0) {
        *log << "ERROR: \n-----------------------------------------------------------------------\n"
             << "   T0R (threshold temperature rain/snow) < T0 (threshold temperature snow melt)  \n"
             << "   because these thresholds are contradicting each other, T0R was set to T0!                    \n"
             << "-----------------------------------------------------------------------" << "[end-entry]";
        T0R = T0;
    }
    status = 0;
    if (settings.spinUpSwitch != 0) {
        responseUnitGrid = Linked("HydrologicResponseUnits");
        masterUnitGrid = Linked("MasterHydrologicResponseUnits");
    }

    physics_.method = method;
    physics_.transzone = transzone;
    physics_.T0R = T0R;
    physics_.T0 = T0;
    physics_.CRFR = CRFR;
    physics_.C0 = C0;
    physics_.C1 = C1;
    physics_.C2 = C2;
    physics_.LWINcorr = LWINcorr;
    physics_.LWOUTcorr = LWOUTcorr;
    physics_.timeStep = timeInterval;
    physics_.stepsPerDay = stepsPerDay;
    physics_.nodata = nodata;
    constructed_ = true;
}

// ------------------------------------------------------------------ the section

void schneemodellklasse::ReadGridName(OwnGrid& grid, const char* nameKey, const char* codeKey) {
    const std::string section = "[" + moduleName + "]";
    ReadValue(ControlStream(), "%s", &grid.fileName, nameKey + section);
    ReadValue(ControlStream(), "%d", &grid.writeCode, codeKey + section);
}

void schneemodellklasse::ReadStatistics(StatOutput& out, const char* key) {
    ReadFileNameAndCode(ControlStream(), &out.fileName, &out.code, key + ("[" + moduleName + "]"));
}

void schneemodellklasse::ReadSection() {
    const std::string s = "[" + moduleName + "]";
    std::FILE* f = ControlStream();
    ReadValue(f, "%d", &method, "method for " + s);
    // Methods 1 to 14 melt and refreeze; any other code accumulates snow without either.
    ReadBoundedValue(f, "%lf", &transzone, "transzone for " + s, bound::NonNegative);
    ReadValue(f, "%lf", &T0R, "T0R for " + s);
    ReadValue(f, "%lf", &T0, "T0 for " + s);
    ReadBoundedValue(f, "%lf", &CWH, "CWH for " + s, bound::Fraction);
    ReadBoundedValue(f, "%lf", &CRFR, "CRFR for " + s, bound::NonNegative);
    ReadBoundedValue(f, "%lf", &C0, "C0 for " + s, bound::NonNegative);
    ReadBoundedValue(f, "%lf", &C1, "C1 for " + s, bound::NonNegative);
    ReadBoundedValue(f, "%lf", &C2, "C2 for " + s, bound::NonNegative);
    ReadBoundedValue(f, "%lf", &z0, "z0 for " + s, bound::NonNegative);
    ReadBoundedValue(f, "%lf", &RMFMIN, "RMFMIN for " + s, bound::NonNegative);
    ReadBoundedValue(f, "%lf", &RMFMAX, "RMFMAX for " + s, bound::AtLeast(RMFMIN));
    ReadBoundedValue(f, "%lf", &ALBsnow_min, "ALBsnow_min for " + s, bound::Fraction);
    ReadBoundedValue(f, "%lf", &ALBsnow_max, "ALBsnow_max for " + s, bound::Within(ALBsnow_min, 1));
    ReadGridName(rainFraction, "Name of the rain-grid for ", "Writegrid of rain-grid for ");
    ReadStatistics(statRain, "Name of the rain statistics for ");
    ReadGridName(snowFraction, "Name of the snow grid for ", "Writegrid of the snow grid for ");
    ReadStatistics(statSnow, "Name of the snow statistics for ");
    ReadGridName(daysSnow, "Name of the snowdays grid for ", "Writegrid of the snowdays grid for ");
    ReadStatistics(statDays, "Name of the snowdays statistics for ");
    ReadGridName(snowAge, "Name of the snow age grid for ", "Writegrid of the snow age grid for ");
    ReadStatistics(statAge, "Name of the snow age statistics for ");
    ReadStatistics(statAlbedo, "name of the albedo statistics for ");
    ReadGridName(outflow, "Name of the snow outflow grid for ", "Writegrid of the snow outflow grid for ");
    ReadStatistics(statOutflow, "Name of the snow outflow statistics for ");
    ReadGridName(meltOnly, "Name of the snow melt only outflow grid for ",
                 "Writegrid of the snow melt only outflow grid for ");
    ReadStatistics(statMeltOnly, "Name of the snow melt only outflow statistics for ");
    ReadGridName(solid, "Name of the snow storage grids for ", "Writegrid of the snow storage grids for ");
    ReadGridName(liquid, "Name of the liquid storage grids for ", "Writegrid of the liquid storage grids for ");
    ReadStatistics(statStorage, "Name of the total snow storage statistics for ");
    ReadGridName(total, "name of the total snow storage grid for ", "Writegrid of the total snow storage grid for ");
    ReadValue(f, "%d", &readStorage, "readgrid forr storage grids for " + s);

    // Process 0 holds the state grids of the whole basin for the slide methods.
    if (rank == 0 && snow::IsSlideMethod(method)) {
        workFirstRow = 1;
        workLastRow = nrows;
        wholeGrid = true;
    }
    if (method > 4) ReadExtendedValues();

    std::FILE* raw = controlFile.release();
    if (std::fclose(raw) != 0) {
        *log << "FATAL: cannot close " << controlFileName << "[end-entry]";
        throw ModelError(11);
    }
}

void schneemodellklasse::ReadExtendedValues() {
    const std::string s = "[" + moduleName + "]";
    std::FILE* f = ControlStream();
    // The first extended line is read whole: an empty or very short line means the section
    // ends after the values of the simple methods.
    std::string line;
    int ch;
    while ((ch = std::fgetc(f)) != EOF && ch != '\n' && line.size() < 1200) line += static_cast<char>(ch);
    if (line.size() < 3) {
        *log << "FATAL: cannot read additional parameters for snow model methods 5 to 11 from " << controlFileName
             << "[end-entry]";
        throw ModelError(404);
    }
    char first[1201] = {0};
    std::sscanf(line.c_str(), "%1200s", first);
    snowTemp.fileName = first;
    ReadValue(f, "%d", &snowTemp.writeCode, "Writegrid of the snow pack temperature grid for " + s);
    ReadStatistics(statSnowTemp, "Name of the snow pack temperature statistics for ");
    ReadGridName(surfTemp, "Name of the snow surface temperature grid for ",
                 "Writegrid of the snow surface temperature grid for ");
    ReadStatistics(statSurfTemp, "Name of the snow surface temperature statistics for ");
    ReadGridName(inputMass, "Name of the input mass grid for ", "Writegrid of the input mass grid for ");
    ReadStatistics(statInputMass, "Name of the input mass statistics for ");
    ReadGridName(mobileMass, "Name of the mobile mass grid for ", "Writegrid of the mobile mass grid for ");
    ReadStatistics(statMobileMass, "Name of the mobile mass statistics for ");
    ReadGridName(deposition, "Name of the deposition grid for ", "Writegrid of the deposition grid for ");
    ReadStatistics(statDeposition, "Name of the deposition statistics for ");

    ReadValue(f, "%lf", &maxDepositionSlope, "maximum slope for deposition for " + s);
    if (maxDepositionSlope < 0 || maxDepositionSlope > 90) {
        *log << "FATAL: maxDepositionSlope not within parameter bounds of [0...90] Here: " << maxDepositionSlope
             << "[end-entry]";
        throw ModelError(405);
    }
    ReadValue(f, "%lf", &maxDepositionFactor, "maximum deposition factor for " + s);
    if (!(maxDepositionFactor > 0)) {
        *log << "FATAL: maxDepositionFactor not within parameter bounds of (0...inf). Here: " << maxDepositionFactor
             << "[end-entry]";
        throw ModelError(406);
    }
    ReadValue(f, "%lf", &minSlideSlope, "minimum slope for slides for " + s);
    if (minSlideSlope < 0 || minSlideSlope > 90) {
        *log << "FATAL: minSlideSlope not within parameter bounds of [0...90]. Here: " << minSlideSlope
             << "[end-entry]";
        throw ModelError(407);
    }
    ReadValue(f, "%lf", &slideMassFrac, "slide mass fraction for " + s);
    if (!(slideMassFrac > 0) || slideMassFrac > 1.0) {
        *log << "FATAL: slideMassFrac not within parameter bounds of (0...1.0]. Here: " << slideMassFrac
             << "[end-entry]";
        throw ModelError(408);
    }
    ReadValue(f, "%lf", &LWINcorr, "incoming long wave radiation correction factor for " + s);
    if (!(LWINcorr > 0) || LWINcorr > 3.0) {
        *log << "FATAL: incoming long wave radiation correction factor LWINcorr not within parameter bounds of "
                "(0...3.0]. Here: "
             << LWINcorr << "[end-entry]";
        throw ModelError(408);
    }
    ReadValue(f, "%lf", &LWOUTcorr, "outgoing long wave radiation correction factor for " + s);
    if (!(LWOUTcorr > 0) || LWOUTcorr > 3.0) {
        *log << "FATAL: outgoing long wave radiation correction factor LWOUTcorr not within parameter bounds of "
                "(0...3.0]. Here: "
             << LWOUTcorr << "[end-entry]";
        throw ModelError(408);
    }
}

// ------------------------------------------------------------------ statistics

void schneemodellklasse::CreateStatistic(StatOutput& out, const char* title, int decimals) {
    out.stat = CreateZoneStatistic(out.records, out.fileName, out.code, title, relCellArea, decimals, true);
}

void schneemodellklasse::CreateStatistics() {
    CreateStatistic(statOutflow, "snow_melt_(effective_outflow_from_snow_cover)___", 4);
    CreateStatistic(statMeltOnly, "snow_melt_only(effective_outflow_from_snow_cover)___", 4);
    CreateStatistic(statStorage, "snow_storage_in_mm___", 3);
    CreateStatistic(statDays, "snow_days____", 3);
    CreateStatistic(statAge, "snow_age____", 3);
    CreateStatistic(statSnow, "p_snow____", 3);
    CreateStatistic(statRain, "p_rain____", 3);
    CreateStatistic(statAlbedo, "albedo____", 3);
    if (snow::IsEnergyBalanceMethod(method)) {
        CreateStatistic(statSnowTemp, "snowtemp____", 3);
        CreateStatistic(statSurfTemp, "surftemp____", 3);
    }
    if (snow::IsSlideMethod(method)) {
        CreateStatistic(statInputMass, "input_mass____", 3);
        CreateStatistic(statMobileMass, "mobile_mass____", 3);
        CreateStatistic(statDeposition, "deposition____", 3);
    }
}

// ------------------------------------------------------------------ input grids

const Matrix* schneemodellklasse::Linked(const std::string& name) { return (*gridStore)[GetGridIndex(name)].grid; }

const Matrix* schneemodellklasse::Optional(const std::string& name) {
    const int i = FindGrid(name);
    return i > 0 ? (*gridStore)[i].grid : nullptr;
}

void schneemodellklasse::LinkInputGrids() {
    albedo = (*gridStore)[GetGridIndex("albedo")].grid;
    const int evaporation = FindGrid("snow_evaporation");
    snowEvaporation = evaporation > 0 ? (*gridStore)[evaporation].grid : nullptr;
    for (int l = 1; l <= landuseLayers; ++l)
        landuse[static_cast<std::size_t>(l)] = (*gridStore)[GetGridIndex(StrFormat("%s%d", "landuse", l))].grid;
    ReadGlacierSection();
    if (method == 4) vapourPressure = Linked("vapor_pressure");
    if (snow::NeedsWindSpeed(method)) windSpeed = Linked("wind_speed");
    temperature = (*gridStore)[GetGridIndexOf3("corr_temperature", "temperature", "temperature_14")].grid;
    temperatureNight = timeInterval > 720 ? Linked("temperature_night") : temperature;
    if (snow::IsSlideMethod(method)) {
        slideFraction[1] = Linked("slidefraction1");
        slideFraction[2] = Linked("slidefraction2");
        slideFraction[3] = Linked("slidefraction3");
        slideFraction[4] = Linked("slidefraction4");
        slopeAngle = Linked("slope_angle");
    }
    if (snow::IsDepositionMethod(method)) depositionIndex = Linked("deposition_index");
    if (snow::IsEnergyBalanceMethod(method)) {
        cloudiness = Linked("cloudiness");
        airHumidity = Linked("air_humidity");
        globalRadiation = Linked("AspectCorrectedGlobalRadiation");
        surfaceTemperature = Optional("surfacetemperature");
    }
}

// ------------------------------------------------------------------ own grids

int schneemodellklasse::NextFreeEntry() const {
    // Every grid takes the first entry that holds nothing, checked one by one: an entry past
    // the first free one may already be taken.
    for (int i = 1; i < 1000; ++i) {
        const GridStoreEntry& e = (*gridStore)[i];
        if (e.grid == nullptr && e.stack == nullptr && !e.hasInternalName) return i;
    }
    *log << "FATAL: no free grid left. Please contact the author to set the number of available grids to a larger "
            "number "
         << 1000 << "[end-entry]";
    throw ModelError(12);
}

void schneemodellklasse::RegisterOwn(OwnGrid& grid, const char* name, int first, int last) {
    const int index = NextFreeEntry();
    RegisterGrid(index, grid.fileName, &grid.data, nullptr, 0, name, grid.writeCode, first, last);
    grid.index = index;
}

void schneemodellklasse::CreateZeroGrid(OwnGrid& grid, const char* name, bool workRows) {
    const int first = workRows ? workFirstRow : firstRow;
    const int last = workRows ? workLastRow : lastRow;
    // Every cell of every held row is set below, so the values are not cleared first. The rows
    // are the grid's first writes: the threads take contiguous shares of them (each row is
    // set from the zones or the first such grid alone).
    grid.data = UnsetMatrix(first, last, 1, ncols, nrows);
    Matrix& data = grid.data;
    const Matrix*& made = zeroGridMade_[workRows ? 1 : 0];
    const Matrix* const copied = shareZeroGrids_ ? made : nullptr;
    const Matrix* const zones = zoneGrid;
    const double none = nodata;
    const int cols = ncols;
#pragma omp parallel for schedule(static) if (WorthThreads(first, last, cols))
    for (int r = first; r <= last; ++r) {
        if (!data.holds(r)) continue;
        double* const row = data[r];
        if (copied != nullptr) {
            std::copy_n((*copied)[r] + 1, cols, row + 1);
            continue;
        }
        if (zones == nullptr || !zones->holds(r)) {
            std::fill(row + 1, row + cols + 1, none);
            continue;
        }
        const double* const zone = (*zones)[r];
        for (int c = 1; c <= cols; ++c) row[c] = zone[c] != none ? 0.0 : none;
    }
    if (shareZeroGrids_ && copied == nullptr) made = &grid.data;
    RegisterOwn(grid, name, first, last);
}

void schneemodellklasse::CreateStateGrid(OwnGrid& grid, const char* name, bool workRows, bool temperatureGrid) {
    const int first = workRows ? workFirstRow : firstRow;
    const int last = workRows ? workLastRow : lastRow;
    if (readStorage == 1) {
        // Cells the file gives this process no value for (outside the basin, where the rows
        // are shared) hold nodata, as the whole file gives them at one process.
        grid.data = FilledMatrix(first, last, 1, ncols, nrows, nodata);
        ReadGrid(ExpandPath(inputPath, grid.fileName), &grid.data, temperatureGrid ? 2 : 0, false, false,
                 temperatureGrid ? kFreezingK : nodata, false, wholeGrid && workRows);
        RegisterOwn(grid, name, first, last);
        return;
    }
    if (temperatureGrid) {
        grid.data = FilledMatrix(first, last, 1, ncols, nrows, nodata);
        RegisterOwn(grid, name, first, last);
        return;
    }
    CreateZeroGrid(grid, name, workRows);
}

void schneemodellklasse::CreateGrids() {
    PartSeconds ps({"snow set-up: whole inputs", "snow set-up: state grids", "snow set-up: slide order",
                    "snow set-up: zero grids", "snow set-up: deposition limit",
                    "snow set-up: glacier, permafrost"});
    ps.Mark();
    if (snow::IsSlideMethod(method) || glacier::IsDynamic(glacierMethod)) GatherWholeInputs();
    ps.Add(0);
    // Nothing writes to the zero grids made here before the last of them is made: the later ones
    // copy the first one of the same rows.
    shareZeroGrids_ = true;
    CreateStateGrid(solid, "snowstorage_solid", true, false);
    CreateStateGrid(liquid, "snowstorage_liquid", true, false);
    CreateStateGrid(total, "snow_storage_total", true, false);
    CreateStateGrid(daysSnow, "days_snow", false, false);
    CreateStateGrid(snowAge, "snow_age", false, false);
    if (snow::IsEnergyBalanceMethod(method)) {
        CreateStateGrid(snowTemp, "snowtemp", true, true);
        CreateStateGrid(surfTemp, "surftemp", true, true);
    }
    ps.Add(1);
    if (snow::IsSlideMethod(method)) {
        CreateSlideGrids();
        ps.Add(2);
        CreateZeroGrid(inputMass, "input_mass", true);
        CreateZeroGrid(mobileMass, "mobile_mass", true);
        CreateZeroGrid(deposition, "deposition", true);
    }
    CreateZeroGrid(snowFraction, "snow_fraction", false);
    CreateZeroGrid(rainFraction, "rain_fraction", false);
    CreateZeroGrid(outflow, "snowcover_outflow", false);
    CreateZeroGrid(meltOnly, "melt_from_snowcover", false);
    shareZeroGrids_ = false;
    zeroGridMade_[0] = zeroGridMade_[1] = nullptr;
    ps.Add(3);
    if (snow::IsSlideMethod(method)) GatherMaxDeposition();
    ps.Add(4);
    CreateGlacierGrids();
    SetUpPermafrost();
    ps.Add(5);
    ps.Report();
}
