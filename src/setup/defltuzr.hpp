#pragma once
// The set-up object of one model run (module "defaults"). The application constructs it before
// any sub-model and calls InitStep until it reports the end; each call performs one step of the
// initialisation: compile the control file, read the output control, the grid definitions, the
// model period and the parameter tables, read and distribute the zone grid, create the standard
// and derived grids, check the code grids and read the coupling settings. GetGlobalSettings then
// hands the results to the application. The object lives as long as the application: its grids
// stay in the grid store.
//
// The class is split by concern over neighbouring files:
//   defltuzr.cpp           construction, the step machine, global settings, destruction
//   defltuzr_compile.cpp   control-file preprocessor (symbols, comments)
//   defltuzr_time.cpp      model time, radiation-correction switch, coupling sub-steps
//   defltuzr_output.cpp    output control
//   defltuzr_periodic.cpp  per-step output, periodic grids and statistics of the set-up's grids
//   defltuzr_registry.cpp  grid-store registrations of the set-up
//   defltuzr_grids.cpp     zone, elevation, standard and variable grids
//   defltuzr_derived.cpp   cell sizes, coordinates, slope and aspect, ice and firn
//   defltuzr_ranking.cpp   zone ranking
//   defltuzr_regions.cpp   region ranking and regression weights
//   defltuzr_decomp.cpp    load balancing and decomposition
//   defltuzr_coupling.cpp  external file coupling
//   defltuzr_spinup.cpp    spin-up settings and hydrologic response units
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "kernel/gridstore.hpp"
#include "kernel/modelobject.hpp"
#include "kernel/outputcodes.hpp"
#include "kernel/zonestat.hpp"
#include "setup/coupling.hpp"
#include "setup/globalsettings.hpp"
#include "setup/griddefinition.hpp"
#include "setup/mpiregions.hpp"
#include "setup/parametertables.hpp"
#include "setup/spinup.hpp"

struct PeriodDate;

class defaultini : public modelobject {
public:
    // Number of steps of the initialisation (0..kLastStep).
    static constexpr int kLastStep = 23;

    // Follows the constructor protocol of the model: an error code is stored in error (any
    // other exception as 103) and the constructor returns; the caller throws it on.
    defaultini(unsigned& error, DiagLog* log, const std::string& controlFileName, int soilVariant, GridStore* store);
    ~defaultini() override;

    // Hands the parameter tables to the set-up (before the first InitStep).
    void SetParameterTables(std::shared_ptr<ParameterTables> tables) { tables_ = std::move(tables); }
    ParameterTables* Tables() const { return tables_.get(); }
    // Every step: the land-use parameter grids follow the date (nothing without tables).
    void UpdateDynamicLanduseParameters(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year,
                                        int stepMinutes) {
        if (tables_) tables_->UpdateDynamicLanduseParameters(*this, hour, day, month, year, stepMinutes);
    }

    // Performs the step the counter names and advances it; sets done after the last step.
    void InitStep(bool& done);
    int CurrentStep() const { return step_; }
    // Called once after the last step: the settings every sub-model receives.
    GlobalSettings GetGlobalSettings();
    // Number of coupling sub-steps of soil, surface routing, evapotranspiration and groundwater.
    int ReadSubsteps();

    // --- control-file preprocessor
    // Writes the substituted copy "<source>_<rank>.$$$" and returns its name.
    std::string CompileControlFile(const std::string& sourceName);

    // --- step bodies of this object
    void ReadOutputControl(const std::string& controlFileName);
    void ReadModelTime();
    // A period whose dates do not exist or whose end lies before its start is error 17.
    void CheckModelPeriod(const PeriodDate& start, const PeriodDate& end);
    void ReadRadiationCorrection();

    // --- step bodies filled by the grid, ranking, decomposition and coupling work
    void ReadStandardGrids();
    void ReadGridHeader(std::int32_t* ncolsOut, std::int32_t* nrowsOut, double* xll, double* yll, double* cell,
                        double* nodataOut);
    void ReadZoneGrid();
    void CreateMPIRegions();
    void RankZones();
    // The rows each process writes of a binary file of the set-up's own grids (two values per
    // process on process 0, the own pair elsewhere): those strictly between its first and last
    // own row, none on process 0. Gathered once, at the first shared write, which every process
    // makes alike.
    const std::vector<int>& WriterRows();
    void WriteDecompositionGrids();
    void DistributeZoneGrid();
    void CreateStandardGridData();
    void KeepFirstValues(GridDefinition& def);
    void KeepMappedCodes();
    int ReadVariableGrids();
    void CreateCellSizeGrids();
    void CreateCoordinateGrids();
    void CreateLanduseGrids();
    void make_Slope_and_Aspect();
    void check_ice_firn_grid();
    void MakeRegionWeightGrids();
    void GetCouplingParameters();
    // Maximum of a grid-store grid over the valid cells of all processes (collective).
    double GridMaximum(int index);
    double GetMaxElevation() const { return maxElevation_; }
    // Sets a cell to the mean of its valid neighbours (unchanged when none is valid).
    void FillFromNeighbours(int row, int col, Matrix& grid) const;

    // --- grid definitions of the control file: zone grid, elevation model, standard and
    // variable grids, in the order of their grid-store indices
    std::vector<GridDefinition>& GridDefinitions() { return gridDefinitions_; }
    const std::vector<GridDefinition>& GridDefinitions() const { return gridDefinitions_; }
    // The definition of the grid at a grid-store index; null when the control file names none.
    GridDefinition* DefinitionAt(int index);
    // Whether process 0 keeps every row of the grid of a definition (the others hold their own
    // rows with the halo).
    bool WholeOnProcessZero(const GridDefinition& def) const;
    // Whether the control file's "[snow_model]" switches on a method with snow slides.
    bool SnowSlidesSwitchedOn() const;
    // The three decomposition grids of this process ("MPIRegions", "MPIHelper", "MPIHalo").
    const DecompositionGrids& Decomposition() const { return decomposition_; }
    int VariableGridCount() const { return variableGridCount_; }
    int LanduseLayerCount() const { return landuseLayerCount_; }
    // Land-use grid of each layer (slot 0: the "landuse" grid); empty without land use.
    const std::vector<Matrix*>& LanduseLayers() const { return landuseLayers_; }

    // --- time loop (output control, periodic grids, statistics)
    void UpdatePeriodicGrids(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year);
    void WriteStandardGrids(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year);
    void WriteVariableGrids(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year);
    void ResetStandardGridStatistics();
    void AddStandardGridStatistics();
    void StepStandardGridStatistics(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year);
    void WriteStandardGridStatisticLines();
    // Once, after the initialisation: a zone statistics table for every grid of the set-up
    // whose definition names a statistics file; each registers in the table of statistics
    // outputs.
    void CreateStandardGridStatistics(OutputCodeEntry* table, int tableCount);

    // --- external coupling
    bool IsExternallyCoupled() const { return couplingMode_ == 1; }
    const std::string& GetSemaphoreFileName() const { return semaphoreFile_; }
    const std::string& GetExternalSemaphoreFileName() const { return externalSemaphoreFile_; }
    const std::string& GetExternalSemaphoreContent() const { return externalSemaphoreContent_; }
    std::int64_t GetCouplingWaitInterval() const { return couplingWaitInterval_; }
    char GetCouplingModeLetter() const { return couplingLetter_; }
    int GetExternalTimeStep() const { return externalTimeStep_; }
    bool HasExternalGWTable() const;
    void ReadExternalGrids(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour);
    void AccumulateExternalOutput();
    void WriteExternalOutput(std::int64_t day, std::int64_t month, std::int64_t year, bool endOfDay,
                             bool endOfMonth, bool endOfYear);
    // After all sub-models exist: the grids and statistics the coupling reads and writes.
    void LinkExternalGrids(const OutputCodeEntry* table, int entries);

    // --- spin-up: settings of "[SpinUp]" and the hydrologic response units
    SpinUpSettings CreateHRUs(std::vector<HydrologicResponseUnit>* units);

    // --- grid-store registrations of the set-up
    // Registers a grid at the first entry without an internal name and keeps its index in the
    // list of the set-up's grids. No free entry up to 999: logs noRoomText + 1000 + ")" and
    // throws 12.
    int RegisterSetupGrid(const std::string& fileName, const std::string& internalName, Matrix* grid,
                          long writeCode, int first, int last,
                          const char* noRoomText = "FATAL: no free grid found in memory (at position ");
    // A grid owned by the set-up (freed with it): rows first..last of the whole grid, zeroed.
    Matrix* CreateOwnedGrid(int first, int last);
    // The same with every value v.
    Matrix* CreateOwnedGrid(int first, int last, double v);
    // The same with only the column before the first zeroed: the caller sets every cell.
    Matrix* CreateOwnedGridToBeSet(int first, int last);
    // First entry without an internal name, or 1000 when the store is full.
    int FirstFreeEntry() const;
    // Fills an entry the set-up registered earlier with its data, write code and rows (the
    // definitions of the control file are registered by name before the grid is read).
    void UpdateSetupGrid(int index, Matrix* grid, long writeCode, int first, int last);
    // Keeps a grid read elsewhere for the lifetime of the set-up; returns its stable address.
    Matrix* AdoptOwnedGrid(Matrix grid);
    // Grid-store indices registered by the set-up, in the order of registration: the standard
    // grids of output, statistics, periodic re-reading and destruction.
    const std::vector<int>& RegisteredIndices() const { return registered_; }
    // Rows a shared grid covers on this process: all rows on process 0, elsewhere the own rows
    // with one halo row each side.
    void SharedGridRows(int* first, int* last) const;

    // --- read access for the steps and the tables
    int SoilModelVariant() const { return soilVariant_; }
    int RadiationCorrection() const { return radiationCorrection_; }
    int IrrigationSwitch() const { return irrigationSwitch_; }
    int StandardGridCount() const { return standardGridCount_; }
    const ZoneTables& Zones() const { return zones_; }
    const RegionTables& Regions() const { return regions_; }
    std::int64_t StartHour() const { return startHour_; }
    std::int64_t StartDay() const { return startDay_; }
    std::int64_t StartMonth() const { return startMonth_; }
    std::int64_t StartYear() const { return startYear_; }
    const std::string& CompiledControlFileName() const { return compiledName_; }

protected:
    // Opens the compiled control file as the object's control-file stream (error 28).
    void OpenControlFile();
    // Closes the control-file stream (error 11).
    void CloseControlFile();

private:
    using StepWork = void (defaultini::*)();
    struct StepEntry {
        const char* logText;  // null: the step logs nothing
        StepWork work;
    };
    static const StepEntry kSteps[kLastStep + 1];

    void Step0CompileAndOutputControl();
    void Step1GridDefinitions();
    void Step2ModelTime();
    void Step3LanduseTables();
    void Step4SoilTable();
    void Step5IrrigationAndRadiation();
    void Step6ZoneGridAndDecomposition();
    void Step7RankAndDistribute();
    void Step8StandardGrids();
    void Step9RelativeCellArea();
    void Step12Elevation();
    void Step13LanduseCodes();
    void Step14LanduseParameterGrids();
    void Step15IrrigationCodes();
    void Step16SoilCodes();
    void StepNothing() {}
    void Step23Finish();

    // Index of a grid of the store by internal name, 0 when absent.
    int FindSetupGrid(const std::string& name) const;

    // Grid definitions and their data (defltuzr_grids.cpp).
    void DefineGrid(GridDefinition def, const char* noRoomText);
    GridDefinition ReadStandardGridLine(int number);
    GridDefinition* DefinitionNamed(const std::string& internalName);
    void ReadWholeGridOnRoot(GridDefinition& def);
    void DefinedGridRows(const GridDefinition& def, int* first, int* last) const;
    void ReadDefinedGrid(GridDefinition& def, double fillValue);
    void CreateDefinedGrid(GridDefinition& def, bool validIsAboveNodata);
    bool ReadsTheZoneGrid(const GridDefinition& def) const;
    void CopyZoneGrid(GridDefinition& def);
    void ReadVariableGridLine(int number);
    // Decomposition (defltuzr_decomp.cpp).
    void RegisterDecompositionGrids(int lo, int hi);
    void DistributeWholeGrid(GridDefinition& def);

    int step_ = 0;
    int soilVariant_ = 0;
    std::string compiledName_;
    std::shared_ptr<ParameterTables> tables_;

    // "[output_interval]", "[coordinates]", "[output_list]", "[meteo_data_count]", "[meteo_names]"
    std::int32_t outputInterval_ = 0;
    std::int32_t meteoOption_ = 0;
    std::int32_t thirdSwitch_ = 0;
    double minToIntEnd_ = 0;
    std::int32_t meteoCount_ = 0;
    std::vector<std::string> meteoNames_;
    double latitude_ = 0, longitude_ = 0, referenceMeridian_ = 0, timeShift_ = 0;
    std::int32_t outputListCount_ = 0;
    std::vector<std::int32_t> outputListCodes_;

    std::int64_t startHour_ = 0, startDay_ = 0, startMonth_ = 0, startYear_ = 0;

    std::int32_t standardGridCount_ = 0;
    // Process 0 keeps the slide fractions whole (the snow slides use them so); set before the
    // standard grids are made.
    bool slideFractionsWhole_ = true;
    std::int32_t radiationCorrection_ = 0;
    std::int32_t irrigationSwitch_ = 0;
    std::int32_t variableGridCount_ = 0;
    std::vector<int> variableGridIndices_;

    // Land-use layer grids (slot 0 unused) and their number.
    std::vector<Matrix*> landuseLayers_;
    std::int32_t landuseLayerCount_ = 0;

    const Matrix* zoneData_ = nullptr;
    const Matrix* elevationData_ = nullptr;
    const Matrix* iceFirnData_ = nullptr;
    double maxElevation_ = 0;

    // Coupling settings.
    std::int32_t couplingMode_ = 0;
    std::string semaphoreFile_;
    std::int64_t couplingWaitInterval_ = 100;
    char couplingLetter_ = 'I';
    std::int32_t externalTimeStep_ = 0;
    std::string externalSemaphoreFile_;
    std::string externalSemaphoreContent_;
    ExternalCoupling coupling_{*this};

    std::vector<GridDefinition> gridDefinitions_;

    // Decomposition.
    DecompositionGrids decomposition_;
    std::vector<std::int64_t> cellsPerProcess_;
    std::vector<HaloRecord> sendHaloList_;
    std::vector<HaloRecord> recvHaloList_;

    ZoneTables zones_;
    RegionTables regions_;

    // --- derived grids, regions, periodic grids and statistics
    // Registers a grid of the set-up over the shared rows (all rows on process 0, the own rows
    // with a halo row each side elsewhere), zeroed; returns its data.
    Matrix* CreateSharedGrid(const std::string& fileName, const std::string& internalName, int* index,
                             const char* noRoomText = "FATAL: no free grid found in memory (at position ");
    // The data of a grid-store entry; an entry without data is error 33.
    Matrix* DataOf(int index);
    // Writes the grid of a store entry once under its file name (process 0's rows); the list
    // form writes several in turn and agrees on a failure once for all of them.
    void WriteOnce(int index);
    void WriteOnce(const std::vector<int>& indexes);
    // The one-pass write of the leading plain binary grids of WriteOnce (collective: with several
    // processes the others write their inner rows); the count process 0 committed, 0 elsewhere.
    std::size_t WriteTogether(const std::vector<int>& indexes);
    // Every process throws the code process 0 found (0: none), so that a failure of work done
    // on process 0 alone ends all processes alike. Collective.
    void FailAlike(int code, const char* what);
    void SwitchPeriodicGrid(GridDefinition& def, std::int64_t hour, std::int64_t day, std::int64_t month,
                            std::int64_t year);
    void RevertPeriodicGrid(GridDefinition& def);
    // After a land-use, soil or irrigation grid changed: the code check and code-to-position
    // mapping of the start, and the land-use layer grids.
    void AfterCodeGridChange(const GridDefinition& def, bool checkCodes);
    void RefillLanduseLayers();
    void ReleaseStandardGridStatistics();

    int cellSizeXIndex_ = 0, cellSizeYIndex_ = 0, relCellAreaIndex_ = 0;
    int coordXIndex_ = 0, coordYIndex_ = 0;
    int slopeIndex_ = 0, aspectIndex_ = 0;
    double transitionDistance_ = 0;
    struct StandardGridStatistic {
        int index = 0;
        std::vector<zoneFZT> records;  // zone positions 0..nzones
        std::unique_ptr<zonalstatistic> statistic;
    };
    std::vector<StandardGridStatistic> statistics_;

    // Grid-store indices the set-up registered, and the grids it owns (stable addresses).
    std::vector<int> registered_;
    std::vector<int> writerRows_;
    std::deque<Matrix> ownedGrids_;
};
