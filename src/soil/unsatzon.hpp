#pragma once
// The soil model ("[unsatzon_model]"): a layered soil column per cell with ponding, drainage,
// clay layer, interflow, capillary rise, optional soil heat and per-subbasin runoff.
//
// This file holds the object, its configuration and its set-up. Construction reads the
// section, the per-subbasin rows, "[heat_transfer]", "[unsatzon_tuning]" and "[permafrost]",
// links and publishes the grids, sets the initial state, reads the soil side of
// "[lake_model]" and writes the model-start summary. The time step (unsatzon_step*.cpp) runs
// the column of every cell, adds the runoff of the cells to the travel-time zone records of
// their subbasin and (unsatzon_runoff.cpp) routes it through the subbasin storages; river and
// external groundwater-table exchange live in unsatzon_river.cpp, the tracer and river set-up
// in unsatzon_tracers.cpp.
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kernel/exactsum.hpp"
#include "kernel/steptimes.hpp"
#include "kernel/replacingfile.hpp"
#include "kernel/zonestat.hpp"
#include "soil/unsatzon_step_column.hpp"
#include "submodel/riverflow_table.hpp"
#include "submodel/teilmod.hpp"

// One record of the per-subbasin glacier table (travels as an MPI structure of 24 bytes).
struct GlacierSubbasinRecord {
    bool glacierized = false;
    double fractionSum = 0;
    double iceFreeSum = 0;
};

// The values of "[unsatzon_model]" after the flow control parameter and the time step.
struct SoilModelConfig {
    // Statistics outputs, in reading order.
    enum Stat { QDRAIN, GWSTAND, GWN, SB_1, SB_2, ROOT, INFEX, POND, QD, QI, QB, Qg, GWIN, GWEX, MACRO, INFILT };
    static constexpr int kStatCount = 16;
    // Output grids and stacks, in reading order.
    enum Out {
        SB05, SB1_, WURZ, Theta, HH, HGEO, QUNTEN, GWSTAND_G, GWTHETA, GWN_G, GWLEVEL, QDRAIN_G, SATT, INFEX_G,
        QD_G, QI_G, DELTAGW, GWIN_G, GWEX_G, POND_G, UPRISE, PERCOL, MACROPORE, IRRIG
    };
    static constexpr int kOutputCount = 24;
    // Point files of the control point, in reading order.
    enum Point { QBOTTOM, THETA_FILE, HHYD, OTHERDATA, ETR_DETAIL, INTERFLOW };
    static constexpr int kPointFileCount = 6;

    struct NamedCode {
        std::string name;
        int code = 0;
    };

    int method = 0;
    int surface_interaction = 0;
    int pond = 0;
    int drainage = 0;
    int clay = 0;
    double ksat_clay = 0;
    double ini_gw_level = 0;
    std::array<NamedCode, kStatCount> stats{};
    std::array<NamedCode, kOutputCount> outputs{};
    int control_row = 0, control_col = 0;
    std::array<std::string, kPointFileCount> pointFiles{};
    int readgrid = 0;
    std::string storageFileName;  // "<name>_<process>"
    double dParameterMinStep = 0;
    NamedCode substepStat;
    NamedCode substepGrid;
};

// "[heat_transfer]": switch, method and the 19 constants (defaults when the section is absent).
struct SoilHeatConfig {
    static constexpr int kConstantCount = 19;
    enum Constant {
        LowBoundBase, LapseRate, CDrySoil, RhoDrySoil, LamDrySoil, Kmin, LamWat, LamIce, CWater, CIce20, CIce0,
        LatHeat, RhoWater, Factor, SEForStat, ShortestStep, LongestStep, NFactorFreezing, NFactorThawing
    };
    static const std::array<const char*, kConstantCount> kKeys;
    static const std::array<double, kConstantCount> kDefaults;

    int control = 0;
    int method = 0;
    std::array<double, kConstantCount> constants = kDefaults;
    std::string temperatureFile;
    SoilModelConfig::NamedCode temperStat;
    SoilModelConfig::NamedCode temperStack;
    SoilModelConfig::NamedCode thawDepthGrid;
    bool on() const { return control > 0; }
    double operator[](Constant k) const { return constants[static_cast<std::size_t>(k)]; }
};

// The per-subbasin parameters, positions 1..n of the soil model's zone ranking.
struct SubbasinParameters {
    SubbasinValues subbasin_codes, kelsqd, kelsqi, flussdichte, kelsqlat, Q0, SR_Anteil;
};

class unsatzonmodellklasse : public teilmodellklasse {
public:
    // A hydrologic response unit whose master cell cannot be read on this process.
    static constexpr int kResponseUnitCode = 2062;

    unsatzonmodellklasse(unsigned& error, DiagLog* log, const SubmodelSettings& settings, unsigned numSubSteps);
    ~unsatzonmodellklasse() override;

    void SetNumSubSteps(unsigned n) override { numSubSteps = n; }
    void InitTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors, OutputCodeEntry* table,
                         int tableCount) override;

    // --- water input, response units and dump flags
    // Chooses the grid feeding the soil surface once: the first present of the three names in
    // the order the flag gives (snow or interception ran last); later calls keep it. Called
    // before InitTracerGrids, which takes the water's concentration in the same order.
    void SelectWaterInput(bool interceptionFirst);
    void SetDumpMode(bool dump, bool closeAfter) {
        dumpMode = dump;
        closeAfterDump = closeAfter;
    }
    // Gives every dependent cell of a response unit its master cell's soil grids and stacks.
    void ResponseUnitPass();
    // Couples the columns to the groundwater model below them (called once after both exist):
    // the base flow of a column becomes the aquifer's "baseflow" rate of the cell, and the
    // river exchange grids and statistics GWIN and GWEX are created.
    void EnableGroundwater();

    // --- the soil side of "[lake_model]" (run by the constructor)
    void ReadLakeModel(const std::string& section);

    // --- getters (null when the module is off)
    const std::string* GetStorageFileName() const { return flowControl == 0 ? nullptr : &config.storageFileName; }
    SubbasinValues* GetKelsqd() { return flowControl == 0 ? nullptr : &subbasins.kelsqd; }
    SubbasinValues* GetKelsqi() { return flowControl == 0 ? nullptr : &subbasins.kelsqi; }
    riverflow_table* GetRiverflowTable() { return flowControl == 0 || riverTable.empty() ? nullptr : riverTable.data(); }
    // The runoff arrays per tracer and subbasin (null while the module is off; 57 when missing).
    RunoffArray* GetQg() { return RunoffGetter(Qg, "Qg"); }
    RunoffArray* GetQD() { return RunoffGetter(QD, "QD"); }
    RunoffArray* GetQI() { return RunoffGetter(QI, "QI"); }
    RunoffArray* GetQBb() { return RunoffGetter(QBb, "QBb"); }
    int GetReadGrid() const { return config.readgrid; }
    void SetRouteImmediately(int value) { routeImmediately = value; }

    // --- step operations
    // "Max_Pumping": water above field capacity from the table layer to the last-but-one layer.
    void DrainablePoreVolume();
    // Date, step line, shift of the travel-time zones towards the outlet, statistics reset.
    void BeginTimeStep(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year);
    // One inner sub-step: the column pass, response units, and the zone and statistics records.
    void run(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year) override;
    // Subbasin runoff of the step from the outlet zone through the storages (collective);
    // steps the statistics and writes the grids that are due.
    void ComputeSubbasinRunoff();
    // Flushes the statistics buffers.
    void WriteOutputs();
    // End of the run: the state section (appended after the discharge routing's when append),
    // the soil-water summary and the release of every grid and buffer.
    void ModelEnd(bool append);

    // --- the storage content file (warm start)
    // Writes the section "[unsatzon_model]"; append opens the file with "a", else with "w".
    void WriteStorageState(bool append);
    // Reads and checks the section; restores the zone records and the subbasin storages.
    void ReadStorageState();
    // Moves the column towards the external groundwater table of "GWTableExtern".
    void ApplyExternalGWTable();
    // One step of the temperature series before the model period: degree days and means.
    void PreSpinUpDegreeDays(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year);
    // After the last such step: the soil temperature profile of every cell.
    void PreSpinUpInitTemperatures();
    // Writes the degree-day grids, the annual mean and the temperature stack of the pre-spin-up.
    void WritePreSpinUpResults();
    struct SpinUpState {
        bool active = false;
        long totalSteps = 0;
        Matrix freezing, thawing, daily, annual;
        std::array<Matrix*, 4> accumulators{};  // freezing, thawing, daily, annual
        std::vector<int> entries;              // grid-store entries registered here
        // Per cell the steps with temperature data, of the day so far and of the whole pre-spin-up:
        // the means are taken over those steps.
        Matrix daySteps, dataSteps;
    } spinUp;

    // The soil model's own ranking of "zonegrid_soilmodel", handed to surface routing,
    // irrigation, groundwater and discharge routing (the set-up's while the module is off).
    const std::vector<int>* SoilZoneIndex() const { return flowControl == 0 ? zoneIndex : &soilZones.index; }
    const std::vector<zoneFZT>* SoilZoneRecords() const {
        return flowControl == 0 ? zoneRecords : &soilZones.records;
    }
    int SoilZoneCount() const { return flowControl == 0 ? zoneCount : soilZones.zoneCount; }
    int SoilMaxZoneCode() const { return flowControl == 0 ? maxZoneCode : soilZones.maxCode; }

    // ---- configuration
    SoilModelConfig config;
    SoilHeatConfig heat;
    double max_error = 1e-5;
    double max_iterations = 100;
    double reduced_ksat = 1e-9;
    int nlayers = 0;
    int n_veg_layers = 1;
    ZoneRanking soilZones;
    SubbasinParameters subbasins;
    int lake_control = 0;
    int lake_init_method = 0;
    std::string config_tag;
    std::vector<GlacierSubbasinRecord> glacier_table;
    bool deriveInitialTemperatures = false;
    // A warm start read the root zone's water ("SB_1_grid") and the irrigation amounts the run
    // before left.
    bool rootZoneWaterRead = false;
    bool irrigationAmountsRead = false;
    bool lowerHeatFluxBoundary = false;
    bool surfaceStorageSiltingUp = false;

    int groundwaterActive = 0;
    bool dumpMode = false;
    bool closeAfterDump = false;
    // Dump files written in this run.
    std::atomic<int> dumpsWritten{0};
    // Writes the snapshot file of a failing sub-step of cell (r, c); with -closeAfterDump only
    // the first of the run. A file that cannot be opened is skipped.
    void WriteDumpFile(int r, int c, const soilstep::DumpRecord& record);
    int routeImmediately = 0;
    // Interception runs before snow, so the water input is the snow's outflow.
    bool interceptionFirst = false;

    // ---- grids read (links into the grid store; null where absent)
    struct InputGrids {
        const Matrix* zone = nullptr;  // "zonegrid_soilmodel"
        const Matrix* elevation = nullptr;
        std::vector<Matrix*> landuse, rootDepth, vegCover, lai, canopyResistance, intercepResistance, roughness;
        std::vector<Matrix*> potTranspiration, realTranspiration;  // layers 0..V
        Matrix *evapResistance = nullptr, *albedo = nullptr, *potEvaporation = nullptr, *realEvaporation = nullptr;
        Matrix *slope = nullptr, *soilTypes = nullptr;
        Matrix *gwStorageCoeff = nullptr, *gwKx = nullptr, *gwKy = nullptr;
        Matrix* maxPonding = nullptr;
        Matrix *drainageDepth = nullptr, *drainageDistance = nullptr, *clayDepth = nullptr;
        Matrix *snowSolid = nullptr, *flowTimes = nullptr;
        Matrix *temperature = nullptr, *lowerBoundaryTemperature = nullptr, *lowerBoundaryHeatFlux = nullptr;
        Matrix *irrigationCodes = nullptr, *siltingUp = nullptr, *permafrostThawDepth = nullptr;
        // "SurfStorSiltingUp" while silting-up runs (it, not the soil model, takes the store in).
        Matrix* siltedStore = nullptr;
        Matrix *glacierFraction = nullptr, *glacierFractionOld = nullptr;
        Matrix *responseUnits = nullptr, *masterResponseUnits = nullptr;
        Matrix* lakeCodes = nullptr;
        Matrix* waterInput = nullptr;
        Matrix* etr2etp = nullptr;
    } in;

    // ---- grids and stacks this model owns and publishes
    struct OwnGrids {
        Matrix groundwaterDistance, pondingStorage, lowerBoundaryTemperature, baseflow, groundwaterLevel,
            thetaInGwLevel, qDownExt, sb1, meanThetaRootZone, irrigationAmounts, maxPumping, sbLow, sbHigh, etr2etp,
            gwTableExtern, balance, tangensBeta, sb2, macroporeInfiltration, substeps, rootGrid, groundwaterRecharge,
            capillaryUprise, percolation, directflow, interflow, infiltrationExcess, totalInfiltration,
            infiltrationSaturation, frozenSoilInGroundwater, thawDepth, drainageFlow, drainageLevel;
        // With the groundwater model: river infiltration and exfiltration (mm per step) and the
        // base flow the columns gave up (mm per step; the groundwater model overwrites "baseflow").
        Matrix gwin, gwex, soilBaseflow;
        Stack geodeticHeads, theta, hydraulicHeads, soilTemperature, qDown;
    } own;
    int gwDistanceIndex = 0, lowerBoundaryIndex = 0, frozenSoilIndex = 0, maxPondingIndex = 0;
    // Grid-store entries this model registered (released when it goes).
    std::vector<int> registeredEntries;

    // Statistics outputs in the order of SoilModelConfig::Stat, then SUBSTEPS, temper and the
    // glacier part of SB_2; null where not created.
    enum ExtraStat { SUBSTEPS = SoilModelConfig::kStatCount, TEMPER, SB2_GLACIER, kAllStats };
    std::array<std::unique_ptr<zonalstatistic>, kAllStats> statistics;
    std::array<std::vector<zoneFZT>, kAllStats> statisticRecords;

    // ---- control point
    struct PointBuffer {
        int values = 0;    // doubles per record
        int capacity = 0;  // records
        int filled = 0;
        std::vector<std::int64_t> dates;  // four words per record
        std::vector<double> data;
        // The file: its header waits under the temporary name until the first records (or the
        // normal end), so that a run that fails leaves the file of the run before.
        std::unique_ptr<TableFile> table;
    };
    std::vector<PointBuffer> pointBuffers;  // hhyd, theta, q_bottom, etr, interflow, otherdata[, temperature]
    bool controlPointHere = false;
    // Appends the buffered records over the value range first..last (0: the layer count) and
    // empties the buffer; nothing happens for an empty buffer.
    void FlushPointBuffer(PointBuffer& buffer, int first, int last);
    // Flushes the buffers of the control point in the order of the files (only the full ones
    // with onlyFull).
    void FlushPointBuffers(bool onlyFull = false);
    // The end of the control point's files: the buffered records go where the file takes them
    // (TableFile::TakesHeldRows) and, at the normal end, a file with its header alone is put in
    // place.
    void EndPointFiles();
    // Appends the step's records of the control point (owner process only) and writes the
    // buffers that are full.
    void RecordControlPoint();
    // Per-layer transpiration (element 0 evaporation) and interflow of the control cell's last
    // call, mm, and its water sub-steps.
    std::vector<double> pointEtr, pointInterflow;
    int pointSubsteps = 1;
    // Adds one record with the step's date (the caller flushes a full buffer first).
    void AddPointRecord(int buffer, std::span<const double> values);

    // ---- helpers shared by the set-up files
    const soil_entry& SoilOf(int r, int c) const;
    bool IsOwnCell(int r, int c) const;
    // Column range of row r that this process holds.
    ColumnRange ColumnsOf(int r) const;
    // The own cells of row r (firstRow..lastRow) in column order, as IsOwnCell finds them over
    // ColumnsOf(r). PrepareOwnCells lists them once and again only when the zone or decomposition
    // grid the list was made from is another; both are fixed for a run.
    void PrepareOwnCells();
    std::span<const int> OwnColumns(int r) const {
        const std::size_t i = static_cast<std::size_t>(r - firstRow);
        return {ownColumns.data() + ownRowStart[i], ownRowStart[i + 1] - ownRowStart[i]};
    }
    std::vector<int> ownColumns;
    std::vector<std::size_t> ownRowStart;  // per row from firstRow, and the end
    const Matrix* ownCellsZone = nullptr;
    const Matrix* ownCellsRegions = nullptr;

    // ---- time step
    // Travel-time zone records [tracer 0..T][subbasin 1..S][zone 0..Z_s].
    using ZoneRecords = std::vector<std::vector<std::vector<zoneFZT>>>;
    ZoneRecords zoneFZT_QD, zoneFZT_QI;
    std::vector<int> zonesPerSubbasin;  // Z_s, 1-based
    // Base-flow records per subbasin, water [0] and tracers [1..T].
    std::vector<std::vector<zoneFZT>> baseflowRecords;
    // The cells' contributions to the records above, summed exactly (same indices), so that
    // the subbasin sums do not depend on how cells are split among processes.
    using ExactZoneRecords = std::vector<std::vector<std::vector<ExactZoneSums>>>;
    ExactZoneRecords exactQD, exactQI;
    std::vector<std::vector<ExactZoneSums>> exactBaseflow;
    RunoffArray QD, QI, QDd, QIi, QBb, Qg;
    std::vector<riverflow_table> riverTable;  // 1-based subbasin positions
    bool externalTable = false;
    bool flowTimeZones = false;
    std::int64_t stepHour = 0, stepDay = 0, stepMonth = 0, stepYear = 0;
    // Whether this call of run is a later pass of the step the call before ran (the coupling
    // passes of "[soil_surface_groundwater_substeps]" share the step's date): the real
    // evapotranspiration of the passes then adds up, as the step's potential values are shared
    // among them.
    bool laterPassOfStep = false;
    std::int64_t lastPassDate = -1;  // the date of the last call of run, as one number
    // Surface water that each own cell received back in its last call: the part of
    // "SurfStorSiltingUp" it took in when the soil model takes that store itself, and, while
    // surface routing runs beside silting-up, the share of the call of the store that silting-up
    // took in at the start of the step (it returns through the water input and the silted-up
    // runoff). The runoff records count direct flow less this, so water that surface routing keeps
    // on the surface from step to step is counted once, when it first runs off.
    Matrix surfaceWaterTaken;
    // The store as surface routing left it at the end of the last step (silting-up runs).
    Matrix surfaceWaterLeft;
    void KeepSurfaceWaterLeft();
    bool CountsSurfaceWater() const {
        return surfaceStorageSiltingUp || (routeImmediately != 0 && in.siltingUp != nullptr);
    }
    // Cells computed after the parallel pass, one by one in cell order (river exchange).
    Matrix serialCells;
    bool riverExchange = false;  // the columns exchange water with rivers in this pass
    std::vector<soilstep::CellWork> cellWork;  // one per thread
    // The soil types' field capacities and equal tables, derived at the start of each pass.
    soilstep::SoilTypeColumns soilTypeColumns;
    // The settings of the cells of a pass (dump mode adds each cell's hook to a copy).
    soilstep::StepSettings passSettings;
    std::vector<soilcolumn::FpeReport> fpeReports;  // one per thread
    Matrix* riverLinks = nullptr;
    Matrix *riverDepth = nullptr, *riverWidth = nullptr, *kolmation = nullptr;
    std::vector<double> tracerDecay;  // per tracer, per module sub-step (1: no decay)
    std::vector<const Matrix*> tracerInflux;  // per tracer: the flux grid of the water input
    std::vector<const Matrix*> tracerSiltedRunoff;  // per tracer: silting-up's flux grid, or null
    // Per tracer: the concentration of the water surface routing leaves on the surface (its own
    // store grid, registered after the soil's tracer grids: looked up at the first step), or null.
    std::vector<const Matrix*> tracerSurfaceWater;
    bool surfaceWaterTracersLooked = false;
    std::vector<Stack> tracerLayers;           // per tracer: values of the surface store and layers
    // Per tracer: concentration of direct flow, interflow and base flow of every cell.
    std::vector<Matrix> tracerDirect, tracerInterflow, tracerBaseflow;
    // Decay factor of a radioactive tracer over `minutes` for a half-life in days.
    static double TracerDecayFactor(double minutes, double halfLifeDays);

    // Tracer layers of every cell and the concentration grids of the runoff.
    void AllocateTracerLayers();
    // The control-point file of every tracer, with its header (owner of the control point).
    void CreateTracerPointFiles();
    // Per tracer: the layer concentrations of the control point, buffered (owner only).
    struct TracerPoint {
        PointBuffer buffer;
    };
    std::vector<TracerPoint> tracerPoints;  // 1..T
    // One record per tracer with the step's date (a full buffer is written first).
    void AddTracerPointRecords();
    // Writes the buffered records; at the end of a run (end true) as the water's files do:
    // held records only where the file takes them, a header alone put in place at the normal end.
    void FlushTracerPointBuffers(bool end = false);
    // Builds the travel-time zones from "flow_times" (collective).
    void BuildFlowTimeZones();
    // Seconds of the column pass and of what follows it in a call (the zone sums above all), as
    // rows of the run's timing table.
    enum PassTime { kColumnPassTime, kZoneSumTime };
    PartSeconds passTimes{"soil: column pass", "soil: zone sums, response units, points"};
    // The column pass over the own rows (parallel) and then the serial river cells.
    void SoilColumnPass();
    // The cell's water input, surface water, vegetation and base-flow values; true with ponding.
    bool FillForcing(int r, int c, int s, soilstep::CellForcing& f, double& pond) const;
    // Writes the column and the sums of a call into the cell's grids and stacks.
    void StoreCellResult(int r, int c, const soil_entry& soil, const soilcolumn::ColumnState& col,
                         const soilstep::CellResult& res, const soilstep::CellForcing& f, const double* pond, int N);
    // Asks the processor for the stored layer values of cell (r, c), which the pass reads next.
    void PrefetchCellState(int r, int c) const;
    // One cell of the column pass; returns an error code (0 when fine).
    int ColumnCell(int r, int c, soilstep::CellWork& work);
    // The river exchange grids and their statistics (with surface interaction or the
    // groundwater model; created once).
    void CreateRiverOutputs();
    // Adds the cells' runoff to the zone records and the statistics.
    void AccumulateZones();
    // A statistic AccumulateZones adds to. The ice-free part w = 1 - g of a cell adds the value
    // of grid (times the inner sub-steps where perSubstep; no grid: that part adds nothing), the
    // glacier part g adds 0; the glacier's change of the profile water adds the same value for
    // both parts.
    struct ZoneStatistic {
        const zonalstatistic* statistic = nullptr;
        int slot = 0;
        const Matrix* grid = nullptr;
        bool perSubstep = false;
        // The additions of a cell of subbasin position s with glacier part g and value v.
        void AddCell(const zonalstatistic::RowAdder& adder, int c, int s, double g, double v) const;
    };
    // The statistics written, but the subbasins' runoff, which is filled in after the pass; returns
    // their count.
    int ZoneStatistics(std::array<ZoneStatistic, kAllStats>& walked) const;
    // The value cell (r, c) adds to statistic x.
    double ZoneStatisticValue(const ZoneStatistic& x, int r, int c) const;
    // A cell's subbasin position s (0: none of the travel-time zone records), flow-time zone z,
    // glacier and ice-free parts and area.
    struct ZonePlace {
        int s = 0, z = 1;
        double g = 0, w = 1, A = 1;
    };
    int ZoneSubbasinOf(int r, int c) const;
    double ZoneCellArea(int r, int c) const;
    ZonePlace ZonePlaceOf(int r, int c, int s) const;
    // The exact sums of a cell: record(t, kind) for direct flow (0), interflow (1) and base flow
    // (2) of the water (t = 0) and the tracers, where owns(t, kind).
    template <class Record, class Owns>
    void AddExactZoneSums(int r, int c, const ZonePlace& p, Record&& record, Owns&& owns);
    // The exact records of the subbasin looked up last, per (t, kind) at 3 t + kind: the zones
    // of the direct flow and of the interflow, the base flow's record.
    struct ExactZoneView {
        std::vector<ExactZoneSums*> first;
        int s = -1;
        ExactZoneSums& Record(int t, int kind, int z) const {
            ExactZoneSums* f = first[static_cast<std::size_t>(3 * t + kind)];
            return kind == 2 ? *f : f[z];
        }
    };
    struct ExactZoneCopy;
    // Points the view at subbasin s's records, in the records or in a thread's copy (when the
    // subbasin is another than the view's).
    void LookUpExactZones(ExactZoneView& view, int s, ExactZoneCopy* copy);
    // AccumulateZones on a team of threads (the copies prepared where copies is set).
    void AccumulateZonesThreaded(const std::array<ZoneStatistic, kAllStats>& walked, int count, bool copies);
    // The exact zone sums of AccumulateZones on several threads: each thread adds those of the
    // rows it takes into its own copy, and the copies are merged into exactQD, exactQI and
    // exactBaseflow afterwards (exact sums merged in any order give the bits of one sum). The
    // records in one flat order: per tracer and subbasin the zones of the direct flow, then those
    // of the interflow; after them per tracer the subbasins' base flow.
    struct ExactZoneCopy {
        std::vector<ExactZoneSums> sums;
        std::vector<std::uint8_t> added;  // per record: the thread added to it in this pass
    };
    std::vector<ExactZoneCopy> exactCopies;       // per thread
    // AccumulateZones on several threads: each own cell's subbasin position (0: none), flow-time
    // zone and glacier part, in the order of ownColumns, as the threads found them by rows.
    struct ZoneCellPlace {
        int s = 0, z = 1;
        double g = 0;
    };
    std::vector<ZoneCellPlace> zoneCellPlaces;
    std::vector<ExactZoneSums*> exactCopyTargets;  // per record: the sums it merges into
    std::vector<std::size_t> exactCopyFirst;       // per (tracer, subbasin): the direct flow's zone 0
    std::vector<std::size_t> exactCopyBaseflow;    // per tracer: the base flow of subbasin 0
    // The copies of a pass take at most this many bytes; with a larger table of records each
    // kind of sum (the direct flow, interflow and base flow of the water and of each tracer) is
    // added up by one thread walking every cell.
    std::size_t exactCopyLimit = std::size_t{64} << 20;
    // Lays out the flat records and gives each of threads copies (false: they would exceed the
    // limit).
    bool PrepareExactCopies(int threads);
    // River exchange of one column (called in every iteration of a river cell).
    void RiverExchange(soilcolumn::ColumnState& col, const soilcolumn::CellValues& cell, int r, int c,
                       double& infiltration, double& exfiltration);
    int SubbasinOf(int r, int c) const;
    // The tracer value t of the river water of the cell's channel (0 without a linked river).
    double RiverTracerValue(int r, int c, int t) const;
    // Sets the summed outputs of a cell to 0 (fully glacierised cells).
    void ZeroCellSums(int r, int c);
    // Layer values of tracer t are concentrations ("evaporating"), else masses.
    bool TracerIsConcentration(int t) const;
    // Heat transfer settings of the column pass from "[heat_transfer]".
    soilstep::HeatSettings HeatStepSettings() const;
    // n-factor of the cell: its land use's for the date, else by the sign of the air temperature
    // the land use's, else the section's freezing or thawing n-factor.
    double NFactorOf(int r, int c, double airTemperature) const;
    // Per soil type and layer: the temperature at which the unfrozen saturation falls to
    // " dTModSEForStat " (the frozen-layer threshold of the thaw depth).
    std::vector<std::vector<double>> freezingThreshold;
    // The cell's air and lower-boundary temperatures and n-factor, and its layer temperatures.
    void FillHeatForcing(int r, int c, int n, soilstep::CellForcing& f, soilstep::CellWork& work) const;
    // Stores the layer temperatures, "ThawDepthTMod" and "frozenSoilInGroundwater" of the cell.
    void StoreHeatResult(int r, int c, int n, const soilstep::CellWork& work, int tableLayer);
    // First step of a cold start: the layers between air and lower boundary temperature.
    void InitialTemperatureProfile();
    // Concentration of tracer t in a layer of the cell (masses over the layer's water; 0 dry).
    double TracerConcentration(int t, int r, int c, int layer) const;
    // The 2-D grid of the tracer's store: the concentration of the cell's deepest layer (what
    // irrigation from groundwater and lakes read).
    void UpdateTracerStoreGrid(int t);
    // With the groundwater model: "aquifer_thickness_1" and the aquifer's tracer store of layer 1
    // (linked at the first pass, once both models have set up their grids).
    void LinkGroundwaterTracers();
    bool gwLinked = false;
    const Matrix* aquiferThickness = nullptr;
    std::vector<Matrix*> gwTracerStore;  // per tracer, or null
    // The cell's irrigation takes its water from the groundwater (origin 1).
    bool IrrigationFromGroundwater(int r, int c) const;

private:
    RunoffArray* RunoffGetter(RunoffArray& a, const char* name);
    void Construct();
    // "[unsatzon_model]" values (unsatzon_config.cpp).
    void ReadSection();
    void ReadSubbasinRows();
    void ReadStorageSettings();
    void CheckSection();
    void ReadHeatTransfer();
    void ReadTuning();
    void ReadPermafrost();
    void CompleteSoilTable();
    void ReopenControlFile();
    void CloseControlFile();
    // Grids (unsatzon_grids.cpp).
    void LinkInputGrids();
    void CreateStatistics();
    void RegisterOwnGrids();
    void CreateStatistic(int slot, const std::string& fileName, long code, const char* title, int decimals);
    int Register(const std::string& fileName, Matrix* grid, Stack* stack, const std::string& name, long code,
                 int first, int last);
    // Initial state (unsatzon_initial.cpp).
    void SetInitialState();
    void ReadInitialState();
    void CheckStartWaterContents(const std::string& fileName);
    void ComputeGeodeticHeads();
    void ComputeProfileState();
    void DerivedStartGrids();
    double LowerBoundaryTemperature(double elevation) const;
    void CreateControlPoint();
    void BuildConfigTag();
    void BuildGlacierTable();
    void WriteStartSummary();
    // Soil water of the control point and the basin means, at start or at the end of the run.
    void WriteSoilWaterSummary(bool atEnd);
    // Creates and registers the degree-day accumulators (first pre-spin-up step).
    void StartPreSpinUp();
    // State reading helpers (unsatzon_state.cpp).
    void ReadStorageValue(std::FILE* f, double control, const char* label);
    [[noreturn]] void StorageMismatch(const char* label, double control, double stored);
    bool constructed = false;
    bool ended = false;
    // The stack's level count must be the layer count (error 13; the message says "level" for
    // the state stacks, "levels" for a tracer's store).
    void ReadStackChecked(const std::string& fileName, Stack* target, const char* levelWord = " level");
    // Lakes (unsatzon_lakes.cpp).
    void SaturateLakeCell(int r, int c);
};
