#pragma once
// The base of every sub-model: its own control-file section with the flow control parameter
// (0 switches the module off) and the time step, the inner sub-steps, the floating-point-error
// flag, solar geometry, the module's tracer grids and the ranking of "zonegrid_soilmodel".
#include <array>
#include <memory>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "kernel/zonestat.hpp"
#include "kernel/gridstore.hpp"
#include "kernel/modelobject.hpp"
#include "kernel/outputcodes.hpp"
#include "kernel/zonerecord.hpp"

struct TracerDescriptor;
class landuse_entry;
class soil_entry;
class multilayer_landuse_entry;
struct irrigation_entry;
struct HydrologicResponseUnit;

// Runoff per tracer (0 = water, 1..9 tracers) and subbasin (1-based), in mm per step.
using RunoffArray = std::vector<std::vector<double>>;
// One value per subbasin (1-based).
using SubbasinValues = std::vector<double>;

struct ZoneRanking;

// The set-up values that the application hands to every sub-model constructor (the standard
// sub-model arguments). Pointers refer to data owned by the set-up object or by a sub-model
// and stay valid for the application's lifetime.
struct SubmodelSettings {
    std::string controlFileName;  // the compiled copy every reader opens
    int runInterval = 1;          // first value of "[output_interval]"
    int warningSwitch = 0;        // second value, handed to the meteorological inputs
    int thirdSwitch = 0;
    double minToIntEnd = 0;  // minutes from the hour of the meteorological data to the step end
    int meteoCount = 0;
    std::vector<std::string> meteoNames;  // positions 1..meteoCount
    double latitude = 0, longitude = 0, meridian = 0, timeShift = 0;
    std::vector<int> outputList{0};  // [0] = number of subbasins, then their codes
    // The subbasins of "[output_list]" that the zone tables of statistics codes 5 and 6 show.
    int SelectedZoneCount() const { return outputList.empty() ? 0 : outputList[0]; }
    std::vector<int> SelectedZones() const {
        return outputList.size() > 1 ? std::vector<int>(outputList.begin() + 1, outputList.end()) : std::vector<int>{};
    }
    int standardGridCount = 0;

    // Zone ranking: code-to-position map, records 0..zoneCount, count and highest code.
    const std::vector<int>* zoneIndex = nullptr;
    const std::vector<zoneFZT>* zoneRecords = nullptr;
    int zoneCount = 0;
    int maxZoneCode = 0;
    // Region ranking of the meteorological regressions.
    const std::vector<zoneFZT>* regionRecords = nullptr;
    int regionCount = 0;
    int maxRegionCode = 0;
    const std::vector<int>* regionIndex = nullptr;

    std::int32_t ncols = 0, nrows = 0, firstRow = 0, lastRow = 0;
    double xll = 0, yll = 0, cellsize = 0, nodata = -9999.0;
    std::int64_t startHour = 0, startDay = 0, startMonth = 0, startYear = 0;
    std::int64_t endHour = 0, endDay = 0, endMonth = 0, endYear = 0;

    const landuse_entry* landuseTable = nullptr;
    const soil_entry* soilTable = nullptr;
    const irrigation_entry* irrigationTable = nullptr;
    const multilayer_landuse_entry* multilayerTable = nullptr;

    bool textOutput = false;
    bool doublePrecision = false;
    ObjectRecord record;  // directory prefixes, halo lists, per-row column ranges
    const std::vector<std::int64_t>* cellsPerProcess = nullptr;

    GridStore* gridStore = nullptr;
    OutputCodeEntry* outputCodes = nullptr;
    int outputCodeCount = 0;
    int spinUpSwitch = 0;
    const std::vector<HydrologicResponseUnit>* responseUnits = nullptr;
    // "zonegrid_soilmodel" as a sub-model built before ranked it, taken over instead of a
    // ranking of its own (the grid and the cell weights do not change between the set-ups).
    const ZoneRanking* zoneRanking = nullptr;
};

// The grid store, the grid's geometry and this process's own rows of the settings, into a model
// object (a sub-model or an object a sub-model's set-up makes).
void TakeGridOfSettings(modelobject& o, const SubmodelSettings& s);

// The zone tables a sub-model ranks for itself ("zonegrid_soilmodel").
struct ZoneRanking {
    int gridIndex = 0;                // grid-store index of the ranked grid
    const Matrix* weights = nullptr;  // the cell weights of the ranking
    std::vector<int> index;
    std::vector<zoneFZT> records;
    int zoneCount = 0;
    int maxCode = 0;
};

class teilmodellklasse : public modelobject {
public:
    static constexpr int kMaxZoneCode = 32767;
    static constexpr int kMaxZones = 16000;
    static constexpr int kMaxSubbasins = 10000;

    // Stores the standard arguments and logs "DEBUG: initializing module <name>"; never throws,
    // so that a subclass constructor can catch the failures of ReadModuleSection into its
    // error out-parameter.
    teilmodellklasse(DiagLog* log, const std::string& moduleName, const SubmodelSettings& settings,
                     unsigned numSubSteps);
    ~teilmodellklasse() override;

    virtual int GetFlowControl() const { return flowControl; }
    virtual int GetTimeStep() const { return static_cast<int>(timeInterval); }
    virtual unsigned GetNumSubSteps() const { return numSubSteps; }
    virtual void SetNumSubSteps(unsigned n) { numSubSteps = n; }
    // Logs the floating-point error once after the signal set the flag; otherwise clears it.
    virtual void ReportFPE(unsigned i1, unsigned i2, unsigned i3, unsigned i4, double a1, double a2, double a3,
                           double a4, double a5);
    virtual double GetDeclination(int day, int month) const;
    virtual double GetTimeEquation(int day, int month) const;
    virtual double GetSunElevation(double latitude, double longitude, double hour, int day, int month) const;
    virtual void GetSunPosition(double latitude, double longitude, double hour, int day, int month,
                                double* azimuth, double* elevation) const;
    virtual double CosAngleBetween(double azimuth1, double zenith1, double azimuth2, double zenith2) const;
    virtual void GetSunriseSunset(double latitude, double longitude, int day, int month, double* sunrise,
                                  double* sunset) const;
    // extraHours: a part of an hour by which the sub-model's clock runs ahead of the stored hour.
    virtual void ComputeDaylightFraction(double extraHours = 0.0);
    virtual void InitTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors,
                                 OutputCodeEntry* table, int tableCount);
    virtual double Product(double x, double y) const { return x * y; }
    virtual double WeightedMean(double a, double b, double wa, double wb) const;
    virtual double ScaledRatio(double x, double y, double z) const;
    virtual void FreeTracerGrids();
    // The base step: stores the date and logs the step line on the steps of the run interval.
    virtual void run(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year);

    // Ranks the codes of "zonegrid_soilmodel" on process 0 and broadcasts the tables.
    void RankZones(ZoneRanking& ranking);
    // A zone statistics table over the sub-model's zones (zoneRecords): records is set to the
    // positions 0..zoneCount with their codes and area shares and no sums yet (the cell-weight
    // sums kept with keepCellSums), the table made on them and its header written.
    std::unique_ptr<zonalstatistic> CreateZoneStatistic(std::vector<zoneFZT>& records, const std::string& fileName,
                                                        int code, const std::string& title, const Matrix* weights,
                                                        int decimals, bool keepCellSums);

    // Called from the SIGFPE handler: only the atomic flag is touched. False when it was set.
    bool RaiseFpeFlag() noexcept {
        unsigned expected = 0;
        return fpeFlag.compare_exchange_strong(expected, 1);
    }
    unsigned FpeFlag() const noexcept { return fpeFlag.load(); }

    // Per-module tracer record: zone accumulators, grid-store entries of the concentration
    // storage and flux grids, and the decay factor of one step of this module.
    struct TracerRecord {
        std::vector<zoneFZT> zones;
        std::string statFileName;
        std::string storageFileName;
        int storageIndex = 0;
        int fluxIndex = 0;
        Matrix storage;
        Matrix flux;
        double decayPerStep = 1.0;
        // The tracer's zone table, written by the descriptor's statistics code.
        std::unique_ptr<zonalstatistic> statistics;
    };
    // The tracers' zone tables, for sub-models whose step fills them: clear the records at
    // the step's start, take the step (collective when reduce > 0) and write the buffered rows.
    void ResetTracerStatistics();
    void StepTracerStatistics(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour,
                              int reduce = 1);
    void FlushTracerStatistics();
    // The tracers' zone tables in the order StepTracerStatistics steps them (null: none), for a
    // step that reduces them together with other statistics.
    void AppendTracerStatistics(std::vector<zonalstatistic*>& stats) const;
    // Adds a cell's value of tracer t to the record of zone position zone.
    void AddTracerStatistic(int t, int row, int column, int zone, double value, double weight) {
        zonalstatistic* s = tracers[static_cast<std::size_t>(t)].statistics.get();
        if (s != nullptr) s->AddValue(row, column, zone, value, weight);
    }
    int TracerCount() const { return tracerCount; }
    const TracerRecord& Tracer(int i) const { return tracers[static_cast<std::size_t>(i)]; }
    // Factor by which a radioactive tracer decays in one step of this module's interval.
    static double DecayFactor(double intervalMinutes, double halfTimeDays);
    // The modules whose tracer flux grid ("concflux_tracer_<k>_<module>") gives the concentration
    // of the water that reaches the ground, in the order in which that water's grid is chosen:
    // of snow and interception the one that runs last, then the other, then irrigation (which
    // adds its water to the precipitation) and the input.
    static std::array<const char*, 4> GroundInputTracerSources(bool interceptionFirst);

    // ---- fields
    int tracerCount = 0;
    const TracerDescriptor* tracerDescriptors = nullptr;
    std::vector<TracerRecord> tracers;  // positions 1..tracerCount
    std::int32_t flowControl = 0;
    std::uint32_t warmStart = 0;
    // Whether a tracer's zone table takes the whole statistics extension of its descriptor (the
    // soil model's does), or its first three characters.
    bool tracerTableFullExtension = false;
    // The message (before "[end-entry]") when no grid-store entry is left for a tracer store.
    std::string tracerStoreFullMessage =
        "FATAL: no free grid left. Please contact the author to set the number of available grids to a larger value 1000";
    std::atomic<unsigned> fpeFlag{0};
    double timeInterval = 0;
    double stepsPerDay = 0;
    unsigned numSubSteps = 0;
    double latitude = 0, longitude = 0, meridian = 0;
    double dayFraction = 0, nightFraction = 0, darkBeforeSunrise = 0, darkAfterSunset = 0;
    std::uint32_t nightFlag = 0;
    double sunrise = 0, sunset = 0;
    double pi = 3.141592653;
    double degreesPerRadian = 57.29577952383886;
    double timeEquationTable[14] = {11.3, -3.2, -13.6, -12.6, -4.2, 2.8, 2.5, -3.5, -6.3, -0.3, 10.0, 16.4, 11.3, -3.2};
    const Matrix* zoneGrid = nullptr;
    double timeShift = 0;
    double minToIntEnd = 0;

    // Standard arguments kept for the subclasses.
    SubmodelSettings settings;
    std::vector<int> outputList;
    const std::vector<int>* zoneIndex = nullptr;
    const std::vector<zoneFZT>* zoneRecords = nullptr;
    int zoneCount = 0;
    int maxZoneCode = 0;

protected:
    // Reads the module's section "[<moduleName>]": flow control and time interval. A missing
    // section switches the module off unless it is required (then the seek's code is thrown).
    // With a non-zero flow control the control file stays open for the subclass.
    void ReadModuleSection(bool required);
    // Logs the module's banner line ("file <source>, compiled at <date>, <time>").
    void LogBanner(const char* sourceName);
};

// First free grid-store entry (holding no grid) from 1 upwards; 1000 when the store is full.
int FirstFreeGridEntry(const GridStore& store);

// Runs a sub-model constructor body with the error protocol of the construction: an int code
// (ModelError) goes into error, any other exception becomes 103.
template <class F>
void CatchIntoError(unsigned& error, F&& body) {
    error = 0;
    try {
        body();
    } catch (const ModelError& e) {
        error = static_cast<unsigned>(e.code());
    } catch (...) {
        error = 103;
    }
}
