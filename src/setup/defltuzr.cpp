// Construction, the step machine of the initialisation, the global settings and destruction
// of the set-up object.
#include "setup/defltuzr.hpp"

#include <exception>

#include <mpi.h>

#include "kernel/steptimes.hpp"

namespace {
bool MpiRunning() {
    int initialised = 0;
    int finalised = 0;
    MPI_Initialized(&initialised);
    MPI_Finalized(&finalised);
    return initialised && !finalised;
}
}  // namespace

// The steps in their order. A step with a log text logs it before its work and "...ok" after
// it; steps whose log depends on the configuration log inside their work.
const defaultini::StepEntry defaultini::kSteps[kLastStep + 1] = {
    {nullptr, &defaultini::Step0CompileAndOutputControl},
    {nullptr, &defaultini::Step1GridDefinitions},
    {nullptr, &defaultini::Step2ModelTime},
    {nullptr, &defaultini::Step3LanduseTables},
    {nullptr, &defaultini::Step4SoilTable},
    {nullptr, &defaultini::Step5IrrigationAndRadiation},
    {nullptr, &defaultini::Step6ZoneGridAndDecomposition},
    {nullptr, &defaultini::Step7RankAndDistribute},
    {nullptr, &defaultini::Step8StandardGrids},
    {nullptr, &defaultini::Step9RelativeCellArea},
    {nullptr, &defaultini::CreateCellSizeGrids},
    {nullptr, &defaultini::CreateCoordinateGrids},
    {nullptr, &defaultini::Step12Elevation},
    {nullptr, &defaultini::Step13LanduseCodes},
    {nullptr, &defaultini::Step14LanduseParameterGrids},
    {nullptr, &defaultini::Step15IrrigationCodes},
    {"check_SOIL_Codes...", &defaultini::Step16SoilCodes},
    {nullptr, &defaultini::StepNothing},
    {"make_Slope_and_Aspect...", &defaultini::make_Slope_and_Aspect},
    {"check_ice_firn_grid...", &defaultini::check_ice_firn_grid},
    {"MakeRegionWeightGrids...", &defaultini::MakeRegionWeightGrids},
    {nullptr, &defaultini::StepNothing},
    {"GetCouplingParameters...", &defaultini::GetCouplingParameters},
    {nullptr, &defaultini::Step23Finish},
};

defaultini::defaultini(unsigned& error, DiagLog* log_, const std::string& controlFileName_, int soilVariant,
                       GridStore* store)
    : modelobject(log_, controlFileName_, 0, false, false, ObjectRecord{}) {
    error = 0;
    try {
        runInterval = 0;
        *log << "file " << "defltuzr" << ", compiled at " << __DATE__ << ", " << __TIME__ << "[end-entry]";
        SetModuleName("defaults");
        soilVariant_ = soilVariant;
        gridStore = store;
        step_ = 0;
        landuseLayers_.assign(1, nullptr);
        sendHalo = &sendHaloList_;
        recvHalo = &recvHaloList_;
        basinColumns = &zones_.columns;
    } catch (const ModelError& e) {
        error = static_cast<unsigned>(e.code());
    } catch (...) {
        error = 103;
    }
}

defaultini::~defaultini() {
    // The per-cell fix-point days of the end of a run are kept for a later start. Only a run
    // that reached its end date writes them: a run stopped by a failure would wait in the
    // collective write for processes that are gone.
    if (tables_ && std::uncaught_exceptions() == 0 && MpiRunning() && DateKey(year, month, day, hour) >= endKey) {
        try {
            tables_->WriteEndOfRunGrids(*this);
        } catch (const ModelError&) {
            // The writer has logged the failure; a destructor cannot pass it on.
        }
    }
    // The statistics tables write their last rows while the grids still exist.
    ReleaseStandardGridStatistics();
    // The entries go before the grids they point to; the tables free themselves with their owner.
    if (gridStore) {
        for (auto it = registered_.rbegin(); it != registered_.rend(); ++it) {
            try {
                ReleaseGrid(*it);
            } catch (const ModelError&) {
                // Only indices the store accepted are in the list; nothing is left to release.
            }
        }
    }
    registered_.clear();
    ownedGrids_.clear();
}

void defaultini::InitStep(bool& done) {
    done = false;
    if (step_ <= kLastStep) {
        const StepEntry& entry = kSteps[step_];
        if (entry.logText) *log << entry.logText << "[end-entry]";
        {
            const std::string name = "set-up step " + std::to_string(step_);
            TimedPart part(entry.logText ? entry.logText : name.c_str());
            (this->*entry.work)();
        }
        if (entry.logText) *log << "...ok" << "[end-entry]";
        ++step_;
    }
    done = step_ > kLastStep;
}

GlobalSettings defaultini::GetGlobalSettings() {
    GlobalSettings s;
    s.controlFileName = compiledName_;
    s.outputInterval = outputInterval_;
    s.meteoOption = meteoOption_;
    s.thirdSwitch = thirdSwitch_;
    s.minToIntEnd = minToIntEnd_;
    s.meteoCount = meteoCount_;
    s.meteoNames = meteoNames_;
    s.latitude = latitude_;
    s.longitude = longitude_;
    s.referenceMeridian = referenceMeridian_;
    s.timeShift = timeShift_;
    s.outputListCount = outputListCount_;
    s.outputListCodes = outputListCodes_;
    s.standardGridCount = standardGridCount_;
    s.zones = zones_;
    s.regions = regions_;
    s.ncols = ncols;
    s.nrows = nrows;
    s.firstRow = firstRow;
    s.lastRow = lastRow;
    s.xllcorner = xllcorner;
    s.yllcorner = yllcorner;
    s.cellsize = cellsize;
    s.nodata = nodata;
    s.startHour = startHour_;
    s.startDay = startDay_;
    s.startMonth = startMonth_;
    s.startYear = startYear_;
    s.endHour = endHour;
    s.endDay = endDay;
    s.endMonth = endMonth;
    s.endYear = endYear;
    s.tables = tables_;
    s.textOutput = textOutput;
    s.doublePrecision = doublePrecision;
    s.inputPath = inputPath;
    s.outputPath = outputPath;
    s.cellsPerProcess = cellsPerProcess_;
    s.sendHalo = sendHaloList_;
    s.recvHalo = recvHaloList_;
    return s;
}

void defaultini::OpenControlFile() {
    controlFile = OpenFile(controlFileName, "r");
    if (!controlFile) {
        FailOnFile(*log, "error opening " + controlFileName, 28);
    }
}

void defaultini::CloseControlFile() {
    if (!controlFile) return;
    if (std::fclose(controlFile.release()) != 0) {
        FailOnFile(*log, "error closing " + controlFileName, 11);
    }
}

void defaultini::Step0CompileAndOutputControl() {
    compiledName_ = CompileControlFile(controlFileName);
    controlFileName = compiledName_;
    ReadOutputControl(compiledName_);
    hourOffset = minToIntEnd_ / 60.0;
}

void defaultini::Step1GridDefinitions() {
    OpenControlFile();
    ReadStandardGrids();
}

void defaultini::Step2ModelTime() { ReadModelTime(); }

void defaultini::Step3LanduseTables() {
    if (!tables_) return;
    tables_->ReadMultilayerLanduseTable(*this);
    tables_->ReadLanduseTable(*this);
}

void defaultini::Step4SoilTable() {
    if (tables_) tables_->ReadSoilTable(*this);
}

void defaultini::Step5IrrigationAndRadiation() {
    irrigationSwitch_ = 0;
    if (tables_) irrigationSwitch_ = tables_->ReadIrrigation(*this);
    ReadRadiationCorrection();
    CloseControlFile();
}

void defaultini::Step6ZoneGridAndDecomposition() {
    zoneData_ = nullptr;
    elevationData_ = nullptr;
    iceFirnData_ = nullptr;
    ReadZoneGrid();
    CreateMPIRegions();
}

void defaultini::Step7RankAndDistribute() {
    RankZones();
    DistributeZoneGrid();
}

void defaultini::Step8StandardGrids() {
    if (MpiRunning()) MPI_Barrier(MPI_COMM_WORLD);
    CreateStandardGridData();
    *log << "before reading variable grids" << rank << "[end-entry]";
    if (MpiRunning()) MPI_Barrier(MPI_COMM_WORLD);
    variableGridCount_ = ReadVariableGrids();
    *log << "...ok" << "[end-entry]";
}

void defaultini::Step9RelativeCellArea() {
    const int index = FindSetupGrid("RelCellArea");
    relCellArea = index > 0 ? (*gridStore)[index].grid : nullptr;
}

void defaultini::Step12Elevation() {
    const int index = FindSetupGrid("[elevation_model]");
    elevationData_ = index > 0 ? (*gridStore)[index].grid : nullptr;
    maxElevation_ = index > 0 ? GridMaximum(index) : nodata;
}

void defaultini::Step13LanduseCodes() {
    const int index = FindSetupGrid("landuse");
    if (tables_) tables_->CheckLanduse(*this, index);
    if (index == 0) {
        landuseLayers_.clear();
        landuseLayerCount_ = 0;
        return;
    }
    if (tables_ && tables_->MultilayerLayerCount() > 0) {
        CreateLanduseGrids();
        landuseLayerCount_ = tables_->MultilayerLayerCount();
        return;
    }
    GridStoreEntry& entry = (*gridStore)[index];
    landuseLayers_.assign(2, entry.grid);
    entry.internalName = StrFormat("%s1", entry.internalName.c_str());
    landuseLayerCount_ = 1;
}

void defaultini::Step14LanduseParameterGrids() {
    if (landuseLayers_.empty()) return;
    *log << "generateMultiLayerParameterGrids..." << "[end-entry]";
    if (tables_) tables_->generateMultiLayerParameterGrids(*this, landuseLayerCount_);
    *log << "...ok" << "[end-entry]";
}

void defaultini::Step15IrrigationCodes() {
    if (irrigationSwitch_ == 0) {
        if (tables_) tables_->ClearIrrigationTable();
        return;
    }
    *log << "check_irrig_Codes" << "[end-entry]";
    if (tables_) tables_->check_irrig_Codes(*this, FindSetupGrid("irrigation_codes"));
    *log << "...ok" << "[end-entry]";
}

void defaultini::Step16SoilCodes() {
    if (tables_) tables_->check_SOIL_Codes(*this, FindSetupGrid("soil_types"));
    KeepMappedCodes();
}

void defaultini::Step23Finish() {
    CloseControlFile();
    SetRunInterval(1);
}
