#pragma once
// The land-use parameter grids: per land-use layer the root depth, vegetation coverage, leaf
// area index, canopy and interception resistances, roughness length and the balance
// vegetation period, the albedo and soil-evaporation resistance of layer 1, and the state
// grids of dynamic phenology. The sub-models look them up by name in the grid store.
//
// The set-up object owns one of these once the land-use layer grids ("landuse1".."landuseL")
// exist: the constructor creates, registers and fills the grids for the start date (all
// processes together), UpdateDynamicLanduseParameters follows the date in every step and
// renews the grids in the last step of each day, after the day's phenology.
//
//   landuse_grids.cpp         creation and first fill
//   landuse_grids_update.cpp  the per-step and daily update
//   landuse_phenology.cpp     dynamic phenology (season start, chilling, leaf fall)
#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "kernel/decomposition.hpp"
#include "kernel/matrix.hpp"
#include "tables/landuse_entry.hpp"

class DiagLog;
class GridStore;
class modelobject;

class LanduseParameterGrids {
public:
    struct Date {
        std::int64_t hour = 0, day = 0, month = 0, year = 0;
    };

    // Grids of every layer, in the order they are created; the last four exist only when a
    // land use has a dynamic phenology method.
    enum LayerGrid {
        kRootDepth,
        kCoverage,
        kLeafAreaIndex,
        kCanopyResistance,
        kInterceptionResistance,
        kRoughness,
        kVegetationStart,
        kVegetationStop,
        kVegetationDuration,
        kForcingSum,
        kPhenoStart,
        kChillingSum,
        kForcingThreshold,
        kLayerGridCount
    };
    static constexpr int kPhenologyGrids = kForcingSum;
    static const char* const kLayerGridNames[kLayerGridCount];

    // Creates and fills the grids (collective). table: records 0..N, kept by reference; its
    // entries receive references to the per-cell phenology grids. Failures are logged and
    // thrown: 12 (no "albedo", store full), 33 (zone, elevation or a land-use layer grid
    // missing), 31 (a land-use value that is no table position) and 150-154 of the table;
    // every process then throws the same code.
    // continued: the run continues the one that wrote the "albedo" grid it read (a warm start).
    // The grids made at the start then leave the albedo as read and take the values of the last
    // daily renewal of that run, those of the day before the start; otherwise those of the start.
    LanduseParameterGrids(modelobject& setup, std::vector<landuse_entry>& table, int layers, const Date& start,
                          bool continued = false);
    // The entry of the daily renewal in the last step of a day (hour offset + hour = 24): "INFO:
    // actual parameters" with the date, every day when the set-up runs every step, else with
    // "(time of meteo data)" when the offset and the hour of the previous renewal make a multiple
    // of its run interval. Logged with and without land-use layer grids.
    static void LogDailyRenewal(modelobject& setup, std::int64_t hour, std::int64_t day, std::int64_t month,
                                std::int64_t year, std::int64_t previousHour);
    ~LanduseParameterGrids();
    LanduseParameterGrids(const LanduseParameterGrids&) = delete;
    LanduseParameterGrids& operator=(const LanduseParameterGrids&) = delete;

    // Every step, after the meteorological inputs of the step exist (collective).
    void UpdateDynamicLanduseParameters(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year,
                                        int stepMinutes);
    // The day's phenology for day of year d over layers 1..layers (this process's cells).
    void UpdateDynamicPhenology(int d, int layers);
    // At the end of the run: every layer's per-cell fix-point days ("MultipleStartTimes") to
    // the stack's file name followed by "_End", in the run's output format (collective).
    void WriteStartTimesAtEnd();

    bool Dynamic() const { return dynamic_; }
    bool CellFixPoints() const { return cellFixPoints_; }
    int Layers() const { return layers_; }
    // The grid of a layer and its grid-store index (null and 0 when it does not exist).
    Matrix* Grid(LayerGrid g, int layer) const { return grids_[g][static_cast<std::size_t>(layer)]; }
    int Index(LayerGrid g, int layer) const { return indices_[g][static_cast<std::size_t>(layer)]; }
    Stack* StartTimes(int layer) const { return startTimes_[static_cast<std::size_t>(layer)]; }
    // Grid-store index of a layer's "MultipleStartTimes" stack (written by its write code 3).
    int StartTimesIndex(int layer) const { return startTimesIndex_[static_cast<std::size_t>(layer)]; }
    // The entries this object registered (it releases them when it is destroyed).
    const std::vector<int>& RegisteredIndices() const { return registered_; }
    const Stack& TemperatureHistory() const { return history_; }

private:
    struct Cell {
        int row, col;
        double altitude;
    };

    // --- creation
    void CreateAndFill();
    // Gives back the grid-store entries and the entries' references to this object's grids.
    void Release();
    void ScanTable();
    void FindInputs();
    Matrix* TakeOrCreate(const std::string& name, int* index, long writeCode = 0);
    void CreateSharedGrids();
    void CreateLayerGrids(int layer);
    void CreateStartTimes(int layer);
    void SetEntryReferences();
    void FillLayer(int layer);
    struct SeasonShare;
    // The cells of one row (faults logged to log when not null, thrown either way).
    void FillRow(DiagLog* log, int layer, int row, SeasonShare& share);
    void FillCell(DiagLog* log, int layer, const Cell& cell, landuse_entry& e, SeasonShare& share);
    void ExchangeLayerHalos(int layer);
    void AgreeOnFailure(int localCode) const;

    // --- update
    void LookUpTemperature();
    void AccumulateTemperature(int stepMinutes);
    void DailyMeans();
    void MeansOverMinutesWithData();
    void UpdateParameters(int d, const Date& date);
    void UpdateRow(DiagLog* log, int row, int d, const Date& date);
    void SetVegetationFlags(int d);
    void CountVegetationDuration();

    // --- phenology
    struct PhenologyCell;
    PhenologyCell CellState(int layer, int row, int col) const;
    void SimpleForcingRule(const PhenologyCell& cell, const landuse_entry& e, int d) const;
    void ChillingRule(const PhenologyCell& cell, const landuse_entry& e, int d) const;
    void DegreeDayRule(const PhenologyCell& cell, const landuse_entry& e, int d) const;
    void ChillingDaysRule(const PhenologyCell& cell, const landuse_entry& e, int d) const;
    void LeafFallRule(const PhenologyCell& cell, const landuse_entry& e, int d) const;
    double StressedForcing(const PhenologyCell& cell, const landuse_entry& e, double x) const;

    // --- cells
    // The entry a land-use value points to, null for nodata; a value that is no table position
    // throws 31 (with its message when log is given).
    landuse_entry* Entry(DiagLog* log, double value, int layer, int row, int col) const;
    bool ValidZone(int row, int col) const;
    bool OwnCell(int row, int col) const;
    ColumnRange Columns(int row) const;
    double Altitude(int row, int col) const;

    modelobject& setup_;
    DiagLog& log_;
    GridStore& store_;
    std::vector<landuse_entry>& table_;
    const int layers_;
    const Date start_;
    const bool continued_;
    Date values_;  // the date of the values the grids start with
    int lo_ = 1, hi_ = 0;  // rows of the grids: own rows and one neighbour row each side

    int maxFixPoints_ = 0;
    bool dynamic_ = false;
    bool cellFixPoints_ = false;

    const Matrix* zone_ = nullptr;
    const Matrix* elevation_ = nullptr;
    const Matrix* regions_ = nullptr;
    std::vector<const Matrix*> landuse_;  // per layer, slot 0 unused

    std::array<std::vector<Matrix*>, kLayerGridCount> grids_;
    std::array<std::vector<int>, kLayerGridCount> indices_;
    // Per layer: bit g - kPhenologyGrids set where phenology grid g was created here, not given.
    std::vector<unsigned> freshPhenology_;
    std::vector<Stack*> startTimes_;
    std::vector<int> startTimesIndex_;

    Matrix* albedo_ = nullptr;
    Matrix* evaporationResistance_ = nullptr;
    int evaporationIndex_ = 0;
    Matrix* temperatureAvg_ = nullptr;
    Matrix* leafFallStart_ = nullptr;
    Matrix* movingAverage_ = nullptr;
    int movingAverageIndex_ = 0;
    Stack history_;  // levels 1..7 the last daily means, level 0 the leaf-fall day counter
    // Minutes of the day so far, and per cell those without temperature data: the day's mean is
    // taken over the minutes with data.
    double dayMinutes_ = 0;
    Matrix missingMinutes_;
    const Matrix* temperature_ = nullptr;
    const Matrix* rootZoneMoisture_ = nullptr;

    int dayCounter_ = 0;
    Date lastDaily_;
    std::vector<int> failedRows_;

    std::deque<Matrix> ownedGrids_;
    std::deque<Stack> ownedStacks_;
    std::vector<int> registered_;
};
