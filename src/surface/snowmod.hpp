#pragma once
// The snow model ("[snow_model]"): per cell a solid and a liquid snow storage and, for the
// energy-balance methods, the pack and surface temperatures. The class reads its section,
// links its input grids, registers its state and flux grids, runs the cell physics of
// snow_physics.hpp over its own cells every step, writes its zone statistics and keeps the
// per-subbasin glacier runoff values in the state file.
//
// Files: snowmod.cpp (links, accessors, teardown), snowmod_config.cpp (section and grids),
// snowmod_slides.cpp (deposition limit and elevation order of the slide methods),
// snowmod_step.cpp (time step and cell loop), snowmod_state.cpp (state file section),
// snowmod_glacier_config.cpp ("[ice_firn]", "[permafrost]", glacier table and records),
// snowmod_glacier_grids.cpp (glacier grids), snowmod_glacier_step.cpp (glacier part of the
// cell loop, permafrost, slides, glacier statistics and runoff, yearly glacier step).
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kernel/mpirows.hpp"
#include "kernel/zonegroups.hpp"
#include "kernel/zonestat.hpp"
#include "submodel/ownoutputs.hpp"
#include "submodel/teilmod.hpp"
#include "submodel/zonesums.hpp"
#include "surface/glacier_balance.hpp"
#include "surface/glacier_physics.hpp"
#include "surface/glacier_slides.hpp"
#include "surface/snow_physics.hpp"

// Deposition limit of a cell on a slope (degrees): factor * (1 - slope / maxSlope), and 0 where
// the slope reaches the limit or the limit is 0.
double MaxDepositionOfSlope(double factor, double slope, double maxSlope);

class schneemodellklasse : public teilmodellklasse {
public:
    schneemodellklasse(unsigned& error, DiagLog* log, const SubmodelSettings& settings);
    ~schneemodellklasse() override;

    // --- links and accessors (every one returns at once when the module is off)
    void SetCorrectionGrid(Matrix* grid) { correctionGrid = grid; }
    Matrix* GetSolidSnowStorage();
    int GetMethod() const { return flowControl > 0 ? method : 0; }
    // The ranking of "zonegrid_soilmodel" made at construction (null without the snow model).
    const ZoneRanking* SoilZoneRanking() const { return flowControl != 0 && constructed_ ? &soilZones : nullptr; }
    void LinkPrecipitation(bool interceptionFirst);
    void ReadLakeModel(const std::string& section);
    void LinkTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors, OutputCodeEntry* table,
                         int tableCount);
    void FreeTracerGrids() override;
    void SetQg(RunoffArray* qg);
    void FlushStatistics();

    // --- state file section
    void ReadStorageFile(const std::string* fileName, unsigned mode);
    void WriteStorageFile(bool append);
    [[noreturn]] void StorageMismatch(const std::string& item, double controlValue, double fileValue);

    // --- time step and its parallel loops
    void run(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year) override;
    // Snow physics of every own (master) cell; called inside a parallel region.
    void CellLoop(std::int64_t year, std::int64_t month, std::int64_t day);
    // Copies the master cell's states to the other cells of each response unit (parallel region).
    void CopyHRUStates();

    // --- seasonal factors and vapour pressure
    double SeasonalMeltFactor(std::int64_t day, std::int64_t month) const;
    double SeasonalRadiationFactorSnow(std::int64_t day, std::int64_t month) const;
    double SeasonalRadiationFactorIce(std::int64_t day, std::int64_t month) const;
    double SaturationVapourPressureIce(double T) const { return snow::SaturationVapourPressureIce(T); }

    // The outflows of the glacier runoff storages per subbasin (1-based); empty while the
    // model has no glacier runoff. The glacier model fills them.
    void SetGlacierOutflows(std::vector<double> ice, std::vector<double> firn, std::vector<double> snowOnIce);
    const std::vector<double>& IceOutflow() const { return Qice_slr; }

    using OwnGrid = ::OwnGrid;
    using StatOutput = ::StatOutput;

    // ---- parameters of "[snow_model]"
    int method = 0;
    double transzone = 0, T0R = 0, T0 = 0, CWH = 0, CRFR = 0, C0 = 0, C1 = 0, C2 = 0, z0 = 0;
    double RMFMIN = 0, RMFMAX = 0, ALBsnow_min = 0, ALBsnow_max = 0;
    int readStorage = 0;
    double maxDepositionSlope = 55.0, maxDepositionFactor = 1.0, minSlideSlope = 30.0, slideMassFrac = 0.01;
    double LWINcorr = 1.0, LWOUTcorr = 1.0;
    double Asnow_min = 0, Asnow_max = 0, Aice_min = 0, Aice_max = 0;
    // Seasonal melt factor: mean, amplitude, angular frequency per day and day offset.
    double rmfMean = 0, rmfAmplitude = 0, rmfFrequency = 0.017214206, rmfOffset = -80;

    // Factors of the current step.
    double stepMeltFactor = 0, stepSnowFactor = 0, stepIceFactor = 0;

    // Work rows: the own rows, or all rows on process 0 for the slide methods.
    int workFirstRow = 0, workLastRow = -1;
    bool wholeGrid = false;

    // ---- own grids
    OwnGrid solid, liquid, total, daysSnow, snowAge, snowTemp, surfTemp;
    OwnGrid maxDeposition, elevOrderRow, elevOrderCol, inputMass, mobileMass, deposition;
    OwnGrid snowFraction, rainFraction, outflow, meltOnly;
    Matrix* maxDepositionGrid = nullptr;  // own or of the control file

    // ---- statistics
    StatOutput statRain, statSnow, statDays, statAge, statAlbedo, statOutflow, statMeltOnly, statStorage;
    StatOutput statSnowTemp, statSurfTemp, statInputMass, statMobileMass, statDeposition;

    // ---- linked grids
    const Matrix* elevation = nullptr;
    ZoneRanking soilZones;
    int landuseLayers = 1;
    std::vector<const Matrix*> landuse;  // positions 1..landuseLayers
    Matrix* albedo = nullptr;
    Matrix* snowEvaporation = nullptr;
    const Matrix* vapourPressure = nullptr;
    const Matrix* windSpeed = nullptr;
    const Matrix* temperature = nullptr;
    const Matrix* temperatureNight = nullptr;
    const Matrix* slideFraction[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    const Matrix* slopeAngle = nullptr;
    const Matrix* depositionIndex = nullptr;
    const Matrix* cloudiness = nullptr;
    const Matrix* airHumidity = nullptr;
    const Matrix* globalRadiation = nullptr;
    const Matrix* surfaceTemperature = nullptr;
    Matrix* waterInput = nullptr;
    Matrix* correctionGrid = nullptr;
    const Matrix* responseUnitGrid = nullptr;
    const Matrix* masterUnitGrid = nullptr;
    bool interceptionFirst = false;
    bool lakesOn = false;
    const Matrix* lakeCodes = nullptr;
    const Matrix* pondingStorage = nullptr;
    RunoffArray* Qg = nullptr;
    std::vector<const Matrix*> upstreamFlux;  // tracer input concentrations, 1..tracerCount
    std::string storageFileName;

    // Outflows of the glacier runoff storages per subbasin (1-based).
    std::vector<double> Qice_slr, Qfirn_slr, Qsnow_slr;

    // ---- glaciers ("[ice_firn]"); glacierMethod 0 = no glacier model
    int glacierMethod = 0;
    double DDFice = 0, DDFfirn = 0, DDFsnow = 0, MF = 0;
    double kice_els = 1, kfirn_els = 1, ksnow_els = 1;
    int firn_levels = 1;
    double firn_base = 0, deltafirnper100m = 0;
    int GMBEvalDay = 0, GMBEvalMonth = 0;
    double VAscaling = 28.5, VAexponent = 1.36;
    int numElevBands = 1, extraWeightFactorBand0 = 0;
    int readGlacierGrids = 0;
    double debrisScale = 1.0;
    double glacierConversion = 0.85;
    // Per ranked zone of "zonegrid_soilmodel": glacier table and the mean melt inputs.
    struct GlacierSubbasinRecord {
        bool hasGlacier = false;
        double glacierCells = 0;
        double freeCells = 0;
    };
    std::vector<GlacierSubbasinRecord> glacierTable;
    std::vector<zoneFZT> iceInput, firnInput, snowInput;  // melt sums of the step per ranked zone
    // The step's melt inputs of the own cells in row-major order, kGlacierInputFields values
    // each; process 0 sums all processes' cells in row-major order, so the sums do not depend
    // on how the cells are shared.
    static constexpr std::size_t kGlacierInputFields = 7;
    std::vector<double> glacierInputCells;
    Matrix* glacierFraction = nullptr;  // "ice_firn" or "GlacierizedCells" (own rows)
    Matrix* glacierCodes = nullptr;     // "GlacierCodes" (own rows)
    int fractionIndex = 0, codesIndex = 0;
    const Matrix* debris = nullptr;
    const Matrix* glacierRadiation = nullptr;
    OwnGrid meltFirn, meltIce, firn, massBalance, oldMassBalance;
    OwnGrid solidG, liquidG, totalG, meltG, surfTempG, snowTempG, evaporationG, fractionOld, codesOld;
    Stack firnStack;
    StatOutput statFirnMelt, statIceMelt, statSnowOnIce, statGlacierTotal, statSnowWithoutGlaciers;
    StatOutput statFirnWE, statBalanceSubbasin, statBalanceGlacier;
    glacier::GlacierList glacierList;
    // Whole grids on process 0 (empty elsewhere and with one process).
    Matrix soilZoneWhole, fractionWhole, codesWhole, zoneWhole, elevationWhole;
    Matrix slopeWhole, slideFractionWhole[5], maxDepositionWhole;

    // ---- permafrost ("[permafrost]")
    bool permafrost = false;
    double minSnowAgeRefreeze = 0, maxSweSnowFree = 0, reducedKsat = 0;
    Matrix* snowFreeDays = nullptr;
    Matrix* snowCoverDays = nullptr;
    const Matrix* thawCoefficient = nullptr;
    Matrix* thawDepth = nullptr;
    Matrix* rootDepth1 = nullptr;
    OwnGrid snowFreeOwn, snowCoverOwn;
    StatOutput statThaw;

    bool HasGlacierSnowGrids() const { return totalG.index > 0; }
    // Whole-grid views on process 0 (the store grid when it is whole already).
    const Matrix& SoilZones() const;
    Matrix& FractionView();
    Matrix& CodesView();
    // The yearly glacier step (every process; whole-grid work on process 0).
    void YearlyGlacierStep();
    // The slide pass (every process; the pass on process 0).
    void Slides();
    bool slidesStarted_ = false;
    glacier::SlideOrder slideOrder_;  // process 0: the elevation order as ranks, made with the order grids
    // While CreateGrids makes its zero grids: the first one of the own rows [0] and of the work
    // rows [1], whose values the later ones of the same rows take (nothing writes to them before
    // the last is made); null otherwise.
    bool shareZeroGrids_ = false;
    const Matrix* zeroGridMade_[2] = {nullptr, nullptr};
    // Once, with several processes (collective): process 0's strips of the owners, every process's
    // own cells.
    void PrepareSlides(glacier::SlideGrids& s);
    // A pass with several processes: the owners release and end their own cells, process 0 moves
    // the released snow; only the releasing and the touched cells travel.
    void MoveReleasedSnow(glacier::SlideGrids& s, const glacier::SlideParameters& parameters,
                          const std::vector<std::pair<int, int>>& releasing);
    std::vector<std::pair<int, int>> ownSlideCells_;  // own cells in row order
    std::vector<std::pair<int, int>> slideReleasing_; // own cells that release snow in this step
    std::vector<mpirows::OwnedStrip> slideStrips_;    // process 0: the strips of every owner, in row order
    int SlideOwner(int r, int c) const;               // process 0: the owner of a cell (-1: none)
    // Process 0: the cells whose input, mobile mass or deposition the last moving set (the next
    // clears only them; all after a whole-grid pass), and a mark per cell reused by every moving.
    std::vector<std::size_t> slideMoved_;
    bool slideClearAll_ = true;
    std::vector<char> slideSeen_;
    // Glacier runoff of the step (process 0) into the "glacier_melt_total" record and Qg.
    void RouteGlacierRunoff();
    // Sums the melt inputs of every process's cells on process 0 in row-major order.
    void SumGlacierInputs();

private:
    // Construction steps (snowmod_config.cpp).
    void Construct();
    void ReadSection();
    void ReadExtendedValues();
    void ReadGridName(OwnGrid& grid, const char* nameKey, const char* codeKey);
    void ReadStatistics(StatOutput& out, const char* key);
    void CreateStatistics();
    void CreateStatistic(StatOutput& out, const char* title, int decimals);
    void LinkInputGrids();
    void CreateGrids();
    void CreateStateGrid(OwnGrid& grid, const char* name, bool workRows, bool temperatureGrid);
    void CreateZeroGrid(OwnGrid& grid, const char* name, bool workRows);
    void CreateSlideGrids();
    Matrix WholeUnsetGrid();
    // Process 0: every basin cell as its row and column, lowest first (equal heights in
    // row-major order); empty elsewhere (collective).
    std::vector<std::pair<int, int>> ElevationOrder();
    void RegisterOwn(OwnGrid& grid, const char* name, int first, int last);
    int NextFreeEntry() const;
    const Matrix* Linked(const std::string& name);
    const Matrix* Optional(const std::string& name);

    // Glaciers and permafrost (snowmod_glacier_*.cpp).
    void ReadGlacierSection();
    void ReadGlacierDynamicValues(const std::string& section);
    void CheckGlacierGrids();
    void CreateGlacierStatistics();
    void CreateRankedStatistic(StatOutput& out, const char* title, int decimals);
    void BuildGlacierTable();
    void BroadcastGlacierTable();
    void CreateGlacierGrids();
    void CreateDynamicGlacierGrids();
    void CreateInsideGrid(OwnGrid& grid, const char* name, bool workRows, bool read);
    void StartGlacierRecords();
    void SetUpPermafrost();
    void ReadPermafrostSection();
    void GatherWholeInputs();
    // Process 0, with the grid and the regions whole: no cell outside every process's region
    // holds a value.
    bool NodataWhereUnowned(const Matrix& grid) const;
    void GatherMaxDeposition();
    void CloseControlFile();
    void GlacierSnowOfCell(int r, int c, double P, double T);
    void FirnAndIceOfCell(int r, int c, double T, double glacierSnowMelt);
    double SnowPassesOfCell(int r, int c, double& S, double& L, double& Tp, double& Ts, double& E, bool glacierPass,
                            double splits[2][2], double& raisedInput, double& part);
    // Moves the liquid water beyond CWH * S out of the cover into out; an excess within
    // kRoundingOfCover of the cover's water is rounding and stays.
    void HoldLiquid(double& S, double& L, double& out) const;
    static constexpr double kRoundingOfCover = 1e-12;
    const Matrix& WholeZones() const;
    const Matrix& WholeElevation() const;
    void PermafrostOfCell(int r, int c);
    void AddGlacierStatistics(int r, int c);
    void CopyGlacierStates(int r, int c, int mr, int mc);
    int RankedZone(int r, int c) const;
    bool InsideSoilZones(int r, int c) const;
    glacier::GlacierGrids WholeGlacierGrids();

    // Cell work (snowmod_step.cpp).
    void SnowOfCell(int r, int c, std::int64_t year, std::int64_t month, std::int64_t day);
    // A meteorological input of the cell without data in this step (a step without any valid
    // station value): the cell keeps its snow and gives no outflow, melt or evaporation.
    bool ForcingMissing(int r, int c) const;
    void StepWithoutForcing(int r, int c);
    // The land-use table entry of the cell's first land-use layer; null without a valid code.
    const landuse_entry* AlbedoEntry(int r, int c) const;
    // The albedo a cell's land use gives at the step's date, read from the table at the first
    // call of the cell's step and kept for the later ones.
    struct LanduseAlbedo {
        const schneemodellklasse& model;
        const landuse_entry* entry;
        int r, c;
        std::int64_t y, m, d;
        double value = 0;
        bool known = false;
        double operator()();
    };
    void AddStatistics();
    // The zone statistics of the step and the tables of the snow's tracers, in one pass.
    void AddSnowStatistics();
    std::vector<ZoneSumTarget> tracerSums_;  // the step's tracer tables that are on, 1..tracerCount
    CellZoneGrid statZones_;                  // the zones of the own cells, for the zone sums
    // The tables the zone group tasks fill: the outputs that are on, then the tracers' tables
    // that are on (their tracers in statTracers_).
    std::vector<const zonalstatistic*> statOutputs_;
    std::vector<int> statTracers_;
    ZoneGroupTasks zoneTasks_;
    void StepStatistics();
    void WriteGrids();
    bool OwnCell(int r, int c) const;

    // Teardown (snowmod.cpp).
    void ReleaseAll();

    snow::SnowParameters physics_;
    std::atomic<int> cellLoopError_{0};
    bool constructed_ = false;
};
