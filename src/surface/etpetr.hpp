#pragma once
// Evapotranspiration ("[evapotranspiration]"): potential evapotranspiration of every own cell by
// Penman-Monteith per vegetation layer (method 1), Hamon (2), Wendling (3) or Haude (4), with the
// corrected global radiation, the relative sunshine duration and a cloudiness index; the snow
// evaporation taken out of the potential values; the totals and statistics of the real values
// that the soil model fills in; and the open-water settings of "[lake_model]".
//
// Files: etpetr.cpp (time step and cell loop), etpetr_config.cpp (construction),
// etpetr_outputs.cpp (lakes, snow evaporation, real totals, statistics, release) and
// evaporation_physics.* (the physics of one cell and layer).
#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "kernel/zonegroups.hpp"
#include "kernel/zonestat.hpp"
#include "submodel/teilmod.hpp"
#include "submodel/zonesums.hpp"
#include "surface/evaporation_physics.hpp"

class verdunstungsmodellklasse : public teilmodellklasse {
public:
    static constexpr int kMaxSubSteps = 24;

    verdunstungsmodellklasse(unsigned& error, DiagLog* log, const SubmodelSettings& settings);
    ~verdunstungsmodellklasse() override;

    // The handed-over grids; each returns the flow control parameter.
    int SetCorrectionGrid(Matrix* grid);
    int SetSnowStorageGrid(Matrix* grid);
    void SetSnowMethod(int method) { snowMethod = method; }
    // Reads "[lake_model]" when the grid "lake_codes" exists.
    void ReadLakeModel(const std::string& section);
    // Keeps "soil_storage" and "available_soil_moisture" (error 33 when absent).
    void LinkSoilGrids();

    void PotentialEvapotranspirationStep(std::int64_t hour, std::int64_t day, std::int64_t month,
                                         std::int64_t year);
    void SnowEvaporationOnGlacier(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year);
    void RealEvapotranspirationOutput(std::int64_t, std::int64_t, std::int64_t, std::int64_t) {}
    void InterceptionEvaporationOutput(std::int64_t hour, std::int64_t day, std::int64_t month,
                                       std::int64_t year);
    void SubStep() {}
    void AfterSoilStep(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year);
    void FlushStatistics();

    static double SaturationVapourPressure(double T) { return evaporation::SaturationVapourPressure(T); }
    static int QuadraticRoots(double p, double q, double* x1, double* x2) {
        return evaporation::QuadraticRoots(p, q, x1, x2);
    }
    // Layer file names: "<name before the last '.'>_Layer_<k><rest from the '.'>"; a name without
    // '.' gets "_Layer_<k>" appended.
    static std::string LayerFileName(const std::string& name, int layer);

    // ---- configuration (read at construction)
    int method = 0;
    int layers = 1;  // n
    std::array<double, 14> pec{}, fh{}, amplitude{};
    double fk = 1;
    double radCoeff[4] = {0, 0, 0, 0};
    double cs[4] = {0, 0, 0, 0};
    double tau0 = 0, tau1 = 0, scaleHeight = 1, fd = 0, fn = 1, variability = 0;
    double x0 = 0;

    // ---- handed-over and linked grids
    Matrix* correctionGrid = nullptr;
    Matrix* snowStorage = nullptr;
    int snowMethod = 0;
    int lakeFlow = 0;
    int lakeInitMethod = 0;
    double albedoOpenWater = 0, z0OpenWater = 0;
    const Matrix* lakeGrid = nullptr;
    const Matrix* pondGrid = nullptr;
    const Matrix* soilStorage = nullptr;
    const Matrix* availableSoilMoisture = nullptr;
    const Matrix* interceptionEvaporation = nullptr;
    bool interceptionLinked = false;

    // ---- published grids, layers 0..n
    std::vector<Matrix> etp, etr, eip;
    std::vector<int> etpIndex, etrIndex, eipIndex;
    Matrix potEvaporation, realEvaporation, snowEvaporation, correctedRadiation, cloudiness, ownSsdTemp;
    // The day mean of the relative sunshine: the module's own grid, or a standard grid of the same
    // name from the control file, which carries it from a run to its warm start.
    Matrix* ssdTemp = &ownSsdTemp;
    int potEvaporationIndex = 0, realEvaporationIndex = 0, snowEvaporationIndex = 0;
    int correctedRadiationIndex = 0, cloudinessIndex = 0, ssdTempIndex = 0;

private:
    struct StatisticFile {
        std::string name;
        long code = 0;
    };
    // The prepared values of one step, shared by all cells.
    struct StepValues {
        bool noSun = false;
        int subSteps = 0;
        double dh = 0;
        std::array<double, kMaxSubSteps> sunSines{};
        double tau = 0;
        double amplitude = 0, shift = 0;
        double fday = 0, fnight = 0;
        int month = 1, day = 1;
        // The meteorological inputs the model has, for ForcingMissing.
        std::array<const Matrix*, 11> forcing{};
        int forcingCount = 0;
    };

    // construction (etpetr_config.cpp)
    void Construct();
    void ReadSection();
    void ReadMonthlyRow(std::array<double, 14>& row, const char* parameterName, const char* methodName);
    StatisticFile ReadStatisticFile(const std::string& key);
    void CheckParameters();
    void FindInputGrids();
    const Matrix* Required(const std::string& name) const;
    const Matrix* Optional(const std::string& name) const;
    void CreateLayerGrids();
    void CreateCellGrids();
    Matrix NewGrid(double ownValue);
    int Register(Matrix& grid, const std::string& fileName, const std::string& internalName, long writeCode,
                 const char* noRoomText, const char* noRoomTail);
    std::unique_ptr<zonalstatistic> NewStatistic(const StatisticFile& file, int decimals,
                                                 const std::string& header);
    void CloseControlFile();

    // step (etpetr.cpp)
    // OwnCell and ZoneOf in the header: the cell loops of both source files ask them per cell.
    bool OwnCell(int r, int c) const {
        if (zoneGrid == nullptr || !zoneGrid->holds(r) || (*zoneGrid)[r][c] == nodata) return false;
        return mpiRegions == nullptr || (*mpiRegions)[r][c] == rank;
    }
    bool MasterCell(int r, int c) const;
    // The unit's master cell of (r, c), false when the unit number is outside the unit table.
    bool MasterOf(int r, int c, int* mr, int* mc) const;
    // A cell of a response unit takes its master cell's potential values (every layer's etp and
    // eip, the potential evaporation).
    void TakePotentialOfMaster(int r, int c, int mr, int mc);
    void PrepareStep(StepValues& v);
    // The rows of row r of the grids the cell loop reads and writes, looked up once per row (a
    // grid the model does not have, or a row it does not hold, gives a null row). The layer
    // grids hold layers + 1 rows each, in the thread's own storage.
    struct CellRows {
        int r = 0;
        const double *zone = nullptr, *regions = nullptr, *master = nullptr;
        std::array<const double*, 11> forcing{};
        double *temperature = nullptr, *radiation = nullptr, *ssd = nullptr;
        const double *elevation = nullptr, *pressure = nullptr, *vapour = nullptr, *humidity = nullptr;
        const double *wind = nullptr, *rse = nullptr, *landuse0 = nullptr, *albedo = nullptr, *sunshine = nullptr;
        const double *correction = nullptr, *lake = nullptr, *pond = nullptr;
        double *correctedRadiation = nullptr, *cloudiness = nullptr, *potEvaporation = nullptr;
        double *realEvaporation = nullptr, *snowEvaporation = nullptr;
        double **etp = nullptr, **eip = nullptr, **etr = nullptr;
        const double **landuse = nullptr, **lai = nullptr, **vcf = nullptr, **rsc = nullptr, **rsi = nullptr;
        const double** z0 = nullptr;
        // The thread's memo of the layers' vegetation terms.
        evaporation::LayerMemo* memo = nullptr;
    };
    // A thread's storage of the layer grids' rows.
    struct LayerRowStorage {
        std::vector<double*> results;           // etp, eip, etr
        std::vector<const double*> vegetation;  // landuse, lai, vcf, rsc, rsi, z0
    };
    // Points rows at row r, the layer grids' rows kept in storage (3 and 6 times layers + 1).
    void FillRows(const StepValues& v, int r, CellRows& rows, LayerRowStorage& storage);
    void CellLoop(const StepValues& v);
    void Cell(const StepValues& v, const CellRows& rows, int c);
    // A meteorological input of the cell without data in this step (a step without any valid
    // station value): no evaporation demand arises in the cell.
    bool ForcingMissing(const StepValues& v, const CellRows& rows, int c) const;
    // The air pressure Radiation used at temperature T, for the layers of the same temperature.
    struct KnownPressure {
        bool known = false;
        double T = 0, p = 0;
    };
    void Radiation(const StepValues& v, const CellRows& rows, int c, double T, double* s, double* r_,
                   double* netShortwave, KnownPressure* known);
    void PenmanMonteithCell(const StepValues& v, const CellRows& rows, int c, double s, double netShortwave,
                            const KnownPressure& known);
    // What every layer of cell (r, c) takes alike in one part of the step (night or day at
    // temperature T): the air pressure and vapour pressure and the terms of the air.
    struct PartTerms {
        double pressure = 0, vapour = 0;
        evaporation::AirTerms air;
    };
    PartTerms Part(const CellRows& rows, int c, double T, const KnownPressure& known) const;
    // The inputs of the Penman-Monteith evaluations of layer i of cell (row, col) that both parts of
    // the step share; PenmanMonteithPart sets those of one part.
    evaporation::LayerInput LayerInputOf(int layer, const CellRows& rows, int col, double sunshine,
                                         double netShortwave, double laiAbove, bool lowest, bool top) const;
    // The Penman-Monteith values of a layer for one part of the step (night or day at temperature
    // T, the share fraction of the step): returns the potential transpiration, writes the soil and
    // interception evaporation.
    static double PenmanMonteithPart(evaporation::LayerInput& in, double T, double fraction, bool daytime,
                                     const PartTerms& terms, evaporation::LayerRunning& running,
                                     evaporation::LayerMemo& memo, double* soil, double* interception);
    void EmpiricalCell(const StepValues& v, int r, int c, double T, bool openWater);
    void StepStatistics();
    // Sums the records of the active statistics of a step over all processes in one collective;
    // their Step calls (StepReduced) follow in the order the outputs are written.
    static void ReduceTogether(std::initializer_list<const std::vector<std::unique_ptr<zonalstatistic>>*> lists,
                               std::initializer_list<const zonalstatistic*> single);
    void LogStep(const char* label, std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y);
    bool OpenWater(const CellRows& rows, int c) const {
        return rows.lake != nullptr && rows.pond != nullptr && rows.lake[c] > 0 && rows.pond[c] > 0;
    }
    // Position of the cell's zone in the zone records (0 for none).
    int ZoneOf(int r, int c) const {
        const double z = (*zoneGrid)[r][c];
        if (zoneIndex == nullptr || !(z >= 0) || z >= static_cast<double>(zoneIndex->size())) return 0;
        return (*zoneIndex)[static_cast<std::size_t>(z)];
    }
    std::pair<int, int> ColumnRange(int r) const;

    // outputs (etpetr_outputs.cpp)
    double GlacierFraction(int r, int c) const;
    // Takes the demands of cell (r, c) (soil evaporation at 0, the layers with land use at 1..n)
    // from the snow in the order of the layers, the soil last; taken grows by the amount.
    void TakeSnowEvaporation(int r, int c, std::span<double> demand, double& snow, double& taken) const;

    // ---- input grids
    Matrix* temperature = nullptr;       // methods 1-3; day temperature after a long method-1 step
    Matrix* temperatureNight = nullptr;  // method 1 above 720 minutes
    const Matrix* temperature14 = nullptr;
    const Matrix* elevation = nullptr;
    const Matrix* landuse0 = nullptr;
    std::vector<const Matrix*> landuse, lai, rootDepth, vcf, rsc, rsi, z0;
    const Matrix* albedo = nullptr;
    const Matrix* wind = nullptr;
    const Matrix* rse = nullptr;
    const Matrix* pressure = nullptr;
    const Matrix* vapour = nullptr;
    const Matrix* humidity = nullptr;
    const Matrix* vapour14 = nullptr;
    const Matrix* humidity14 = nullptr;
    Matrix* radiation = nullptr;
    const Matrix* sunshine = nullptr;
    const Matrix* responseUnitGrid = nullptr;
    const Matrix* masterUnitGrid = nullptr;
    const Matrix* glacierGrid = nullptr;
    bool netRadiation = false;
    bool useResponseUnits = false;
    const std::vector<HydrologicResponseUnit>* unitTable = nullptr;
    // Extinction and resistance increase per multilayer table position (0: the defaults).
    std::vector<double> extinction{0.3}, laiScale{10.0};

    // The temperatures a long method-1 step starts from, and the values it left in the grids:
    // a grid still holding what the step wrote was not refreshed, so the kept start value is
    // used again instead of adding the amplitude twice.
    Matrix dayBase, dayWritten, nightBase, nightWritten;

    // ---- snow evaporation on glaciers
    bool glacierGridsLooked = false;
    Matrix* snowEvaporationGlacier = nullptr;
    Matrix* solidSnowGlacier = nullptr;

    // ---- sunshine day mean of sub-daily steps
    int ssdCounter = 0;
    bool ssdDay = false;
    bool ssdGiven = false;     // "SSDTemp" is a standard grid, carried from the run before
    bool ssdResumed = false;   // its day count is taken up at the first step
    void ResumeSunshineDay(double shiftFraction);

    // ---- names, write codes and statistics
    std::string etpName, etrName, evapName, evapRealName, snowEvapName, eipName;
    long etpCode = 0, etrCode = 0, evapCode = 0, evapRealCode = 0, snowEvapCode = 0, eipCode = 0;
    StatisticFile etpStat, etrStat, evapStat, evapRealStat, snowEvapStat, eipStat, rgexStat, cloudStat;
    std::vector<std::vector<zoneFZT>> statRecords;
    std::vector<std::unique_ptr<zonalstatistic>> etpStats, etrStats, eipStats;
    // The statistics passes: the zone of each own cell of the row being added (-1 elsewhere)
    // and the glacier share of each cell.
    std::vector<int> rowZones;
    CellZoneGrid snowEvapZones_;  // the own cells' zones for the snow evaporation's statistics
    ZoneGroupTasks snowEvapTasks_;  // and the tasks that add them
    std::vector<double> rowGlacier;
    // The same passes by a team of threads (grids without response units): the zone of every own
    // cell of the own rows (ncols + 1 a row from firstRow), filled row by row by FillRowZones, and the
    // tasks that add the statistics by groups of zones.
    std::vector<int> cellZones;
    bool cellZonesFound = false;  // cellZones holds the zones (they stay from step to step)
    ZoneGroupTasks zoneTasks;
    bool ThreadedStatistics() const;
    void ThreadedZones();
    void SizeCellZones();
    void FillRowZones(int r);
    ZoneGroupTasks::RowZones ZonesOfRow(int r) const;
    // The real evapotranspiration's totals and statistics after the soil step, on one thread or
    // by the team.
    void SerialTotals();
    void ThreadedTotals();
    // The glacier share of cell c of a glacier grid row (none: 0), within 0..1.
    double GlacierShare(const double* glacier, int c) const;
    std::unique_ptr<zonalstatistic> evapStats, evapRealStats, snowEvapStats, rgexStats, cloudStats;
    const char* methodLabel = "";
};
