// Construction of the evapotranspiration model: the section "[evapotranspiration]", its checks,
// the input grids and the published grids with their statistics.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "kernel/controlfile.hpp"
#include "kernel/threading.hpp"
#include "surface/etpetr.hpp"
#include "tables/multilayer_landuse.hpp"

namespace {
constexpr const char* kModelErrorHead =
    "FATAL: \n---------------------- error in evapotranspiration model ------------------- \n";
constexpr const char* kRule = "\n\n-----------------------------------------------------------------------\n";
}  // namespace

verdunstungsmodellklasse::verdunstungsmodellklasse(unsigned& error, DiagLog* log_, const SubmodelSettings& s)
    : teilmodellklasse(log_, "evapotranspiration", s, 1) {
    CatchIntoError(error, [&] { Construct(); });
}

void verdunstungsmodellklasse::Construct() {
    ReadModuleSection(false);
    if (flowControl == 0) return;
    LogBanner("etpetr");
    if (mpiRegions == nullptr) FindDecompositionGrids();

    const multilayer_landuse_entry* table = settings.multilayerTable;
    if (table != nullptr && table[0].code >= 1) {
        layers = LanduseLayerCount(table);
        const int count = table[0].code;
        extinction.assign(static_cast<std::size_t>(count) + 1, 0.3);
        laiScale.assign(static_cast<std::size_t>(count) + 1, 10.0);
        for (int i = 1; i <= count; ++i) {
            extinction[static_cast<std::size_t>(i)] = table[i].k_extinct;
            laiScale[static_cast<std::size_t>(i)] = table[i].LAI_scale;
        }
    }
    ReadSection();
    CheckParameters();
    CloseControlFile();
    FindInputGrids();
    CreateLayerGrids();
    CreateCellGrids();
    useResponseUnits = settings.spinUpSwitch != 0;
    unitTable = settings.responseUnits;
}

void verdunstungsmodellklasse::CloseControlFile() {
    std::FILE* f = controlFile.release();
    if (f != nullptr && std::fclose(f) != 0) {
        FailOnFile(*log, "error closing " + controlFileName, 11);
    }
}

void verdunstungsmodellklasse::ReadMonthlyRow(std::array<double, 14>& row, const char* parameterName,
                                              const char* methodName) {
    std::FILE* f = ControlStream();
    for (int m = 1; m <= 12; ++m) {
        if (std::fscanf(f, "%lf", &row[static_cast<std::size_t>(m)]) != 1 ||
            !std::isfinite(row[static_cast<std::size_t>(m)])) {
            *log << kModelErrorHead << "there have to be 12 (monthly) values for the " << parameterName
                 << "-parameter for \n" << methodName << "-evaporation in the control file." << kRule
                 << "[end-entry]";
            throw ModelError(45);
        }
    }
    row[0] = row[12];
    row[13] = row[1];
}

verdunstungsmodellklasse::StatisticFile verdunstungsmodellklasse::ReadStatisticFile(const std::string& key) {
    char name[kLineLength];
    long code = 0;
    std::FILE* f = ControlStream();
    if (std::fscanf(f, "%1199s%ld", name, &code) != 2) ControlFileError(key, moduleName);
    ReadLineRest(f);
    return {name, code};
}

void verdunstungsmodellklasse::ReadSection() {
    std::FILE* f = ControlStream();
    const std::string of = moduleName;
    ReadValue(f, "%d", &method, "Methode fuer " + of);
    if (method > 1 && layers > 1) {
        *log << kModelErrorHead
             << "\nModelling evapotranspiration after HAMON, WENDLING or HAUDE is only possible\nfor unlayered "
                "Vegetation. Actual parameters: method: "
             << method << ", number of layers: " << layers << kRule << "[end-entry]";
        throw ModelError(44);
    }
    if (method > 1 && timeInterval < 1440) {
        *log << kModelErrorHead
             << "\nModelling evapotranspiration after HAMON, WENDLING or HAUDE is only possible\nfor daily time "
                "steps or larger. The actual time step is less than 1440 min.\nactual parameters: method: "
             << method << ", timestep: " << timeInterval << " minutes" << kRule << "[end-entry]";
        throw ModelError(44);
    }
    ReadMonthlyRow(pec, "PEC", "HAMON");
    ReadMonthlyRow(fh, "fh", "HAUDE");
    ReadValue(f, "%lf", &fk, "fk - Coastfactor (WENDLING) for" + of);
    ReadValue(f, "%s", &etpName, "Name of the ETP-Grids for " + of);
    ReadValue(f, "%ld", &etpCode, "Writegrid ETP for " + of);
    etpStat = ReadStatisticFile("Name of ETP-stat.file for " + of);
    ReadValue(f, "%s", &etrName, "Name of the ETR-Grids for " + of);
    ReadValue(f, "%ld", &etrCode, "Writegrid ETR for    " + of);
    etrStat = ReadStatisticFile("Name of the ETR-stat.file for " + of);
    ReadValue(f, "%s", &evapName, "Name of the evaporation_potential-grid for " + of);
    ReadValue(f, "%ld", &evapCode, "Writegrid EVAP for    " + of);
    evapStat = ReadStatisticFile("Name of the evaporation_potential-stat.files for " + of);
    ReadValue(f, "%s", &evapRealName, "Name of the evaporation_real grid for " + of);
    ReadValue(f, "%ld", &evapRealCode, "Writegrid evaporation real for    " + of);
    evapRealStat = ReadStatisticFile("Name of the evaporation_real-stat.files for " + of);
    ReadValue(f, "%s", &snowEvapName, "Name of the snow evaporation grid for " + of);
    ReadValue(f, "%ld", &snowEvapCode, "Writegrid snow evaporation for    " + of);
    snowEvapStat = ReadStatisticFile("Name of the evaporation_real-stat.files for " + of);
    ReadValue(f, "%s", &eipName, "Name of the EIP-Grids for " + of);
    ReadValue(f, "%ld", &eipCode, "Writegrid ETP for " + of);
    eipStat = ReadStatisticFile("Name of EIP-stat.file for " + of);
    rgexStat = ReadStatisticFile("Name of the RGEX-stat.file for " + of);

    if (std::fscanf(f, "%lf%lf%lf%lf", &radCoeff[0], &radCoeff[1], &radCoeff[2], &radCoeff[3]) != 4)
        ControlFileError("radiation coefficients c0..c3 for " + of, moduleName);
    ReadLineRest(f);
    if (std::fscanf(f, "%lf%lf%lf%lf", &cs[0], &cs[1], &cs[2], &cs[3]) != 4)
        ControlFileError("sunshine coefficients CS[0]..CS[3] for " + of, moduleName);
    ReadLineRest(f);
    ReadTwoValues(f, "%lf%lf", &tau0, &tau1, "transmissivity and its amplitude for " + of);
    // The transmissivity of a step, tau0 + tau1 cos(season), is a fraction whatever the season.
    RequireInRange(tau0, "transmissivity and its amplitude for " + of, bound::Fraction);
    const double swing = std::min(tau0, 1.0 - tau0);
    RequireInRange(tau1, "transmissivity amplitude for " + of, bound::Within(-swing, swing));
    ReadBoundedValue(f, "%lf", &scaleHeight, "scale height of the temperature amplitude for " + of, bound::Positive);
    for (int m = 1; m <= 12; ++m)
        ReadBoundedValue(f, "%lf", &amplitude[static_cast<std::size_t>(m)],
                         StrFormat("daily temperature amplitude of month %d for ", m) + of, bound::NonNegative);
    amplitude[0] = amplitude[12];
    amplitude[13] = amplitude[1];
    if (std::fscanf(f, "%lf%lf", &fd, &variability) != 2) {
        *log << "FATAL: error reading fraction for temperature amplitude for day/night\n"
             << "or the annual variability\n" << "[end-entry]";
        throw ModelError(10);
    }
    ReadLineRest(f);
    cloudStat = {"cloudiness", 0};
    const std::string line = ReadLineRest(f);
    if (line.size() >= 3) {
        char name[kLineLength];
        long code = 0;
        if (std::sscanf(line.c_str(), "%1199s%ld", name, &code) == 2) cloudStat = {name, code};
    }
}

void verdunstungsmodellklasse::CheckParameters() {
    if (!(fd >= 0 && fd <= 1)) {
        *log << "FATAL: \n---------------------------- error in control file --------------------\n\nThe splitting "
                "of the temperature amplitude between day and night\nhas to be done in a way that the fraction "
                "for the bright day is between 0..1\nread: amplitude_fraction_day: "
             << fd << kRule << "[end-entry]";
        throw ModelError(10);
    }
    fn = 1.0 - fd;
    if (radCoeff[0] < 0.05) {
        *log << "FATAL: fraction of diffuse radiation is too small: " << radCoeff[0] << " (should be 0.05 ... 0.5)\n"
             << "[end-entry]";
        throw ModelError(10);
    }
    if (radCoeff[0] > 0.5) {
        *log << "FATAL: fraction of diffuse radiation is too large: " << radCoeff[0] << " (should be 0.05 ... 0.5)\n"
             << "[end-entry]";
        throw ModelError(10);
    }
    const double sum = radCoeff[0] + radCoeff[1] + radCoeff[2] + radCoeff[3];
    if (std::fabs(sum - 1.0) > 0.01) {
        *log << "FATAL: die Koeffizienten fuer die Modellierung der Globalstrahlung muessen in ihrer Summe 1 "
                "ergeben\n"
             << " derzeitige Summe: " << radCoeff[0] << " + " << radCoeff[1] << " + " << radCoeff[2] << " + "
             << radCoeff[3] << " = " << sum
             << "[end-entry]";
        throw ModelError(10);
    }
    const evaporation::SunshineRootStatus status = evaporation::SunshineRoot(cs, &x0);
    if (status == evaporation::SunshineRootStatus::notRelated) {
        *log << "FATAL: The coefficients for sunshine duration modelling are wrong!\nThere must be at minimum a "
                "linear relationship\nbetween radiation and sunshine duration\nCS[0]="
             << cs[0] << ", CS[1]=" << cs[1] << ", CS[2]=" << cs[2] << ", CS[3]=" << cs[3] << "\n\n"
             << "[end-entry]";
        throw ModelError(10);
    }
    if (status == evaporation::SunshineRootStatus::noRoot) {
        *log << "FATAL: \n----------------------------!! Error !! -----------------------\nThe coefficients for "
                "sunshine duration modelling are wrong!\nNo null point (root) was found between 0 and 1!\nCS[0]="
             << cs[0] << ", CS[1]=" << cs[1] << ", CS[2]=" << cs[2] << ", CS[3]=" << cs[3]
             << "\n\nuse e.g.: CS[0]=0.072, CS[1]=-0.808, CS[2]=1.749, CS[3]=-0.239\n"
                "----------------------------------------------------------------"
             << "[end-entry]";
        throw ModelError(10);
    }
}

const Matrix* verdunstungsmodellklasse::Required(const std::string& name) const {
    return (*gridStore)[GetGridIndex(name)].grid;
}

const Matrix* verdunstungsmodellklasse::Optional(const std::string& name) const {
    const int i = FindGrid(name);
    return i > 0 ? (*gridStore)[i].grid : nullptr;
}

void verdunstungsmodellklasse::FindInputGrids() {
    const bool hasPressure = FindGrid("air_pressure") > 0;
    bool hasHumidity = false, hasVapour = false, hasRadiation = false, hasSunshine = false;
    if (method == 1) {
        hasHumidity = FindGrid("air_humidity") > 0;
        hasVapour = FindGrid("vapor_pressure") > 0;
    } else if (method == 4) {
        hasHumidity = FindGrid("air_humidity_14") > 0;
        hasVapour = FindGrid("vapor_pressure_14") > 0;
    }
    if (method == 1 || method == 3) {
        netRadiation = FindGrid("net_radiation") > 0;
        hasRadiation = netRadiation || FindGrid("global_radiation") > 0;
        hasSunshine = FindGrid("sunshine_duration") > 0;
    }
    if (method != 2 && method != 4 && !hasRadiation && !hasSunshine) {
        *log << "FATAL: --------------------------- ERROR ----------------------------------------\n"
             << "Evapotranspiration requires at least one of the following entities\n"
             << "erlative sunshine duration (SSD, in 1/1)  or global radiation  (RG, in Wh/m^2).\n"
             << "or net radiation (RN, in Wh/m^2) (either RG or RN!)\n"
             << "-------------------------------------------------------------------\n" << "[end-entry]";
        throw ModelError(46);
    }
    if ((method == 1 || method == 4) && !hasVapour && !hasHumidity) {
        *log << "FATAL: ---------------------------- ERROR ---------------------------------------\n"
             << "Evapotranspiration requires at least one of the following entities\n"
             << "vapor pressure (e, in mbar) or relative air humidity (RLF, in 1/1).\n"
             << "-------------------------------------------------------------------\n" << "[end-entry]";
        throw ModelError(46);
    }

    auto mutableGrid = [&](int index) { return (*gridStore)[index].grid; };
    if (method <= 3) {
        const int i = FindGrid("corr_temperature");
        temperature = mutableGrid(i > 0 ? i : GetGridIndex("temperature"));
    }
    if (method == 4) temperature14 = Required("temperature_14");
    if (method == 1 && timeInterval > 720) temperatureNight = mutableGrid(GetGridIndex("temperature_night"));
    elevation = Required("[elevation_model]");
    if (layers > 1) landuse0 = Required("landuse");
    const std::size_t slots = static_cast<std::size_t>(layers) + 1;
    for (auto* v : {&landuse, &lai, &rootDepth, &vcf, &rsc, &rsi, &z0}) v->assign(slots, nullptr);
    for (int i = 1; i <= layers; ++i) {
        const std::size_t k = static_cast<std::size_t>(i);
        const std::string n = std::to_string(i);
        landuse[k] = Required("landuse" + n);
        if (method != 1) continue;
        lai[k] = Required("leaf_area_index" + n);
        rootDepth[k] = Required("root_depth" + n);
        vcf[k] = Required("vegetation_coverage_degree" + n);
        rsc[k] = Required("SurfaceCanopyResistance" + n);
        rsi[k] = Required("SurfaceIntercepResistance" + n);
        z0[k] = Required("RoughnessLength" + n);
    }
    if (method == 1 || method == 3) albedo = Required("albedo");
    if (method == 1) {
        wind = Required("wind_speed");
        rse = Required("SurfaceEvaporationResistance");
        if (hasPressure) pressure = Optional("air_pressure");
        if (hasVapour) vapour = Optional("vapor_pressure");
        if (hasHumidity) humidity = Optional("air_humidity");
    }
    if (method == 4) {
        vapour14 = Optional("vapor_pressure_14");
        humidity14 = Optional("air_humidity_14");
    }
    if (method == 1 || method == 3) {
        radiation = mutableGrid(FindGrid(netRadiation ? "net_radiation" : "global_radiation"));
        sunshine = Optional("sunshine_duration");
    }
    if (mpiRegions == nullptr) FindDecompositionGrids();
    if (settings.spinUpSwitch != 0) {
        responseUnitGrid = Required("HydrologicResponseUnits");
        masterUnitGrid = Required("MasterHydrologicResponseUnits");
    }
    glacierGrid = Optional("GlacierizedCells");
    if (glacierGrid == nullptr) glacierGrid = Optional("ice_firn");
}

std::string verdunstungsmodellklasse::LayerFileName(const std::string& name, int layer) {
    const std::size_t slash = name.find_last_of('/');
    const std::size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return name + "_Layer_" + std::to_string(layer);
    return name.substr(0, dot) + "_Layer_" + std::to_string(layer) + name.substr(dot);
}

Matrix verdunstungsmodellklasse::NewGrid(double ownValue) {
    // The own cells as OwnCell gives them, with the zone and region rows looked up once per row.
    Matrix m = FilledMatrix(firstRow, lastRow, 1, ncols, nrows, nodata);
    const double none = nodata;
    const double own = rank;
#pragma omp parallel for schedule(runtime) if (WorthThreads(firstRow, lastRow, ncols))
    for (int r = firstRow; r <= lastRow; ++r) {
        if (zoneGrid == nullptr || !zoneGrid->holds(r)) continue;
        const double* const zone = (*zoneGrid)[r];
        const double* const regions = mpiRegions != nullptr ? (*mpiRegions)[r] : nullptr;
        double* const to = m[r];
        for (int col = 1; col <= ncols; ++col)
            if (zone[col] != none && (regions == nullptr || regions[col] == own)) to[col] = ownValue;
    }
    return m;
}

int verdunstungsmodellklasse::Register(Matrix& grid, const std::string& fileName, const std::string& internalName,
                                       long writeCode, const char* noRoomText, const char* noRoomTail) {
    const int index = FirstFreeGridIndex();
    if (index > GridStore::kMaxIndex) {
        *log << noRoomText << GridStore::kMaxIndex + 1 << noRoomTail << "[end-entry]";
        throw ModelError(12);
    }
    RegisterGrid(index, fileName, &grid, nullptr, 0, internalName, writeCode, grid.firstRow(), grid.lastRow());
    return index;
}

std::unique_ptr<zonalstatistic> verdunstungsmodellklasse::NewStatistic(const StatisticFile& file, int decimals,
                                                                       const std::string& header) {
    statRecords.emplace_back(zoneRecords != nullptr ? *zoneRecords : std::vector<zoneFZT>{});
    std::vector<zoneFZT>& records = statRecords.back();
    int error = 0;
    auto stat = std::make_unique<zonalstatistic>(&error, log, relCellArea, nrows, ncols,
                                                 records.empty() ? nullptr : records.data(), zoneCount, file.code,
                                                 decimals, file.name, outputPath, settings.SelectedZoneCount(),
                                                 settings.SelectedZones());
    if (error != 0) throw ModelError(error);
    if (rank == 0) stat->WriteHeader(header, moduleName, settings.outputCodes, settings.outputCodeCount);
    return stat;
}

void verdunstungsmodellklasse::CreateLayerGrids() {
    static const char* const kLabels[] = {"", "(Penman/Monteith)_", "(HAMON)_", "(WENDLING)_", "(HAUDE)_"};
    methodLabel = method >= 1 && method <= 4 ? kLabels[method] : "";
    const std::size_t slots = static_cast<std::size_t>(layers) + 1;
    etp.resize(slots);
    etr.resize(slots);
    eip.resize(slots);
    etpIndex.assign(slots, 0);
    etrIndex.assign(slots, 0);
    eipIndex.assign(slots, 0);
    // The records of every statistic stay where they are: reserve them all at once.
    statRecords.reserve(3 * slots + 5);
    for (int i = 0; i <= layers; ++i) {
        const std::size_t k = static_cast<std::size_t>(i);
        auto layerName = [&](const std::string& base) { return i == 0 ? base : LayerFileName(base, i); };
        auto layerStat = [&](const StatisticFile& f) { return StatisticFile{layerName(f.name), f.code}; };
        const std::string etpFile = layerName(etpName), etrFile = layerName(etrName), eipFile = layerName(eipName);
        etp[k] = NewGrid(0.0);
        etpIndex[k] = Register(etp[k], etpFile, StrFormat("%s%d", "pot_transpiration", i), etpCode,
                               "FATAL: no free grid left", "");
        etpStats.push_back(NewStatistic(layerStat(etpStat), 5, etpFile + methodLabel));
        etr[k] = NewGrid(0.0);
        etrIndex[k] = Register(etr[k], etrFile, StrFormat("%s%d", "real_transpiration", i), etrCode,
                               "FATAL: no free grid left of ", "!\n");
        etrStats.push_back(NewStatistic(
            layerStat(etrStat), 5,
            i == 0 ? std::string("total_Evapotranspiration_as_sum_of_ETR1..n_EI1..n_EVAR_and_EVRS_") : etrFile));
        eip[k] = NewGrid(0.0);
        eipIndex[k] = Register(eip[k], eipFile, StrFormat("%s%d", "potential_InterceptionEvap", i), eipCode,
                               "FATAL: no free ghrid left of ", "!\n");
        eipStats.push_back(NewStatistic(layerStat(eipStat), 5, eipFile));
    }
}

void verdunstungsmodellklasse::CreateCellGrids() {
    const char* noRoom = "FATAL: no free grid left of ";
    potEvaporation = NewGrid(0.0);
    potEvaporationIndex = Register(potEvaporation, evapName, "potential_evaporation", evapCode, noRoom, "!\n");
    realEvaporation = NewGrid(0.0);
    realEvaporationIndex = Register(realEvaporation, evapRealName, "real_evaporation", evapRealCode, noRoom, "!\n");
    snowEvaporation = NewGrid(0.0);
    snowEvaporationIndex = Register(snowEvaporation, snowEvapName, "snow_evaporation", snowEvapCode, noRoom, "!\n");
    correctedRadiation = NewGrid(0.0);
    correctedRadiationIndex =
        Register(correctedRadiation, "correctedradiation", "AspectCorrectedGlobalRadiation", 0, noRoom, "!\n");
    cloudiness = NewGrid(0.0);
    cloudinessIndex = Register(cloudiness, cloudStat.name, "cloudiness", 0, noRoom, "!\n");
    if (const int given = FindGrid("SSDTemp"); given > 0) {
        ssdTemp = (*gridStore)[given].grid;
        ssdGiven = true;
    } else {
        ownSsdTemp = NewGrid(0.5);
        ssdTempIndex = Register(ownSsdTemp, "SSDTemp", "SSDTemp", 0, noRoom, "!\n");
    }

    evapStats = NewStatistic(evapStat, 5, "potential_evaporation");
    evapRealStats = NewStatistic(evapRealStat, 5, "real_evaporation");
    snowEvapStats = NewStatistic(snowEvapStat, 5, "snow_evaporation");
    rgexStats = NewStatistic(rgexStat, 2, "Global_Radiation_corrected_by_Exposition_");
    cloudStats = NewStatistic(cloudStat, 2, "cloudiness");

    if (method == 1 && timeInterval > 720) {
        for (Matrix* m : {&dayBase, &dayWritten, &nightBase, &nightWritten}) {
            *m = matrix(firstRow, lastRow, 1, ncols, nrows);
            m->fill(std::nan(""));
        }
    }
}

int verdunstungsmodellklasse::SetCorrectionGrid(Matrix* grid) {
    if (flowControl != 0) correctionGrid = grid;
    return flowControl;
}

int verdunstungsmodellklasse::SetSnowStorageGrid(Matrix* grid) {
    if (flowControl != 0) snowStorage = grid;
    return flowControl;
}
