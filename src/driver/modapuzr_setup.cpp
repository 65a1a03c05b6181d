// The set-up of this build: an adapter that lets the application drive the set-up object
// `defaultini` through the interface ModelSetup. It runs the step-wise initialisation, turns the
// global settings into the standard sub-model arguments, builds the spin-up's hydrologic response
// units and forwards the per-step work and the external coupling. The parameter tables (land use,
// soil, multilayer land use, irrigation) are read by the set-up's steps into the table set the
// adapter owns.
#include "driver/modapuzr_setup.hpp"

#include <algorithm>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/steptimes.hpp"
#include "setup/defltuzr.hpp"
#include "tables/parametertableset.hpp"

namespace {

// The soil-model variant whose tables the application reads.
constexpr int kSoilModelVariant = 2;

class DefaultSetup : public ModelSetup {
public:
    DefaultSetup(unsigned& error, DiagLog* log, const std::string& controlFile, OutputCodeEntry* outputTable,
                 int outputTableCount, GridStore* store)
        : setup_(std::make_unique<defaultini>(error, log, controlFile, kSoilModelVariant, store)),
          tables_(std::make_shared<ParameterTableSet>()),
          outputTable_(outputTable),
          outputTableCount_(outputTableCount) {
        setup_->SetParameterTables(tables_);
    }

    void Initialise(SubmodelSettings& s, SpinUpState& spinUp) override;
    double GetMaxElevation() override { return setup_->GetMaxElevation(); }
    int ReadSubsteps() override { return setup_->ReadSubsteps(); }
    void SetStatus(int word) override { setup_->SetStatus(word); }
    void SetEndDate(std::int64_t y, std::int64_t m, std::int64_t d, std::int64_t h) override {
        setup_->SetEndDate(y, m, d, h);
    }

    void UpdatePeriodicGrids(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) override {
        setup_->UpdatePeriodicGrids(h, d, m, y);
    }
    void UpdateDynamicLanduseParameters(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y,
                                        int stepMinutes) override {
        setup_->UpdateDynamicLanduseParameters(h, d, m, y, stepMinutes);
    }
    void WriteStandardGrids(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) override {
        setup_->WriteStandardGrids(h, d, m, y);
    }
    void WriteVariableGrids(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) override {
        setup_->WriteVariableGrids(h, d, m, y);
    }
    void ResetStandardGridStatistics() override { setup_->ResetStandardGridStatistics(); }
    void AddStandardGridStatistics() override { setup_->AddStandardGridStatistics(); }
    void StepStandardGridStatistics(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) override {
        setup_->StepStandardGridStatistics(h, d, m, y);
    }
    void WriteStandardGridStatisticLines() override { setup_->WriteStandardGridStatisticLines(); }

    bool IsExternallyCoupled() override { return setup_->IsExternallyCoupled(); }
    char GetCouplingModeLetter() override { return setup_->GetCouplingModeLetter(); }
    std::string GetSemaphoreFileName() override { return setup_->GetSemaphoreFileName(); }
    long GetCouplingWaitInterval() override { return static_cast<long>(setup_->GetCouplingWaitInterval()); }
    void ReadExternalGrids(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y) override {
        setup_->ReadExternalGrids(y, m, d, h);
    }
    bool HasExternalGWTable() override { return setup_->HasExternalGWTable(); }
    double GetExternalTimeStep() override { return setup_->GetExternalTimeStep(); }
    void WriteExternalOutput(std::int64_t d, std::int64_t m, std::int64_t y, bool endOfDay, bool endOfMonth,
                             bool endOfYear) override {
        setup_->WriteExternalOutput(d, m, y, endOfDay, endOfMonth, endOfYear);
    }
    void AccumulateExternalOutput() override { setup_->AccumulateExternalOutput(); }
    std::string GetExternalSemaphoreFileName() override { return setup_->GetExternalSemaphoreFileName(); }
    const char* GetExternalSemaphoreContent() override { return setup_->GetExternalSemaphoreContent().c_str(); }
    void LinkExternalGrids(OutputCodeEntry* table, int count) override { setup_->LinkExternalGrids(table, count); }

private:
    void RunInitSteps();
    void CopyZoneTables(const GlobalSettings& g, SubmodelSettings& s);
    void CopyRegionTables(const GlobalSettings& g, SubmodelSettings& s);
    void CopyTables(SubmodelSettings& s) const;
    void CopyGlobalSettings(const GlobalSettings& g, SubmodelSettings& s);

    std::unique_ptr<defaultini> setup_;
    std::shared_ptr<ParameterTableSet> tables_;
    // The application's table of statistics outputs, where the standard-grid statistics register.
    OutputCodeEntry* outputTable_ = nullptr;
    int outputTableCount_ = 0;
    // The arguments every sub-model keeps a reference to.
    std::vector<int> zoneIndex_;
    std::vector<zoneFZT> zoneRecords_;
    std::vector<int> regionIndex_;
    std::vector<std::int64_t> cellsPerProcess_;
};

void DefaultSetup::RunInitSteps() {
    bool done = false;
    while (!done) setup_->InitStep(done);
}

// Zone tables in the form of the sub-models: code-to-zone map and zone records.
void DefaultSetup::CopyZoneTables(const GlobalSettings& g, SubmodelSettings& s) {
    zoneIndex_.assign(g.zones.codeToZone.begin(), g.zones.codeToZone.end());
    zoneRecords_.clear();
    for (const ZoneRecord& z : g.zones.records)
        zoneRecords_.push_back(zoneFZT{z.weightedCount, z.cellCount, z.code, z.share, z.weightedCount2});
    s.zoneIndex = &zoneIndex_;
    s.zoneRecords = &zoneRecords_;
    s.zoneCount = g.zones.zoneCount;
    s.maxZoneCode = g.zones.maxCode;
}

void DefaultSetup::CopyRegionTables(const GlobalSettings& g, SubmodelSettings& s) {
    regionIndex_.assign(g.regions.codeToRegion.begin(), g.regions.codeToRegion.end());
    s.regionIndex = &regionIndex_;
    s.regionCount = g.regions.regionCount;
    s.maxRegionCode = g.regions.maxCode;
}

void DefaultSetup::CopyTables(SubmodelSettings& s) const {
    s.landuseTable = tables_->Landuse().empty() ? nullptr : tables_->Landuse().data();
    s.soilTable = tables_->Soil().empty() ? nullptr : tables_->Soil().data();
    s.irrigationTable = tables_->Irrigation().empty() ? nullptr : tables_->Irrigation().data();
    s.multilayerTable = tables_->MultilayerLanduse().empty() ? nullptr : tables_->MultilayerLanduse().data();
}

void DefaultSetup::CopyGlobalSettings(const GlobalSettings& g, SubmodelSettings& s) {
    s.controlFileName = g.controlFileName;
    s.runInterval = g.outputInterval;
    s.warningSwitch = g.meteoOption;
    s.thirdSwitch = g.thirdSwitch;
    s.minToIntEnd = g.minToIntEnd;
    s.meteoCount = g.meteoCount;
    s.meteoNames = g.meteoNames;
    s.meteoNames.resize(static_cast<std::size_t>(std::max(g.meteoCount, 0)) + 1);
    s.latitude = g.latitude;
    s.longitude = g.longitude;
    s.meridian = g.referenceMeridian;
    s.timeShift = g.timeShift;
    s.outputList.assign(g.outputListCodes.begin(), g.outputListCodes.end());
    if (s.outputList.empty()) s.outputList.assign(1, 0);
    s.standardGridCount = g.standardGridCount;
    s.ncols = g.ncols;
    s.nrows = g.nrows;
    s.firstRow = g.firstRow;
    s.lastRow = g.lastRow;
    s.xll = g.xllcorner;
    s.yll = g.yllcorner;
    s.cellsize = g.cellsize;
    s.nodata = g.nodata;
    s.startHour = g.startHour;
    s.startDay = g.startDay;
    s.startMonth = g.startMonth;
    s.startYear = g.startYear;
    s.endHour = g.endHour;
    s.endDay = g.endDay;
    s.endMonth = g.endMonth;
    s.endYear = g.endYear;
    s.textOutput = g.textOutput;
    s.doublePrecision = g.doublePrecision;
    // The halo lists and column ranges stay with the set-up object for the whole run.
    s.record = ObjectRecord{g.inputPath, g.outputPath, setup_->sendHalo, setup_->recvHalo, setup_->basinColumns};
    cellsPerProcess_ = g.cellsPerProcess;
    s.cellsPerProcess = &cellsPerProcess_;
}

void DefaultSetup::Initialise(SubmodelSettings& s, SpinUpState& spinUp) {
    RunInitSteps();
    TimedPart part("set-up: statistics, response units");
    setup_->CreateStandardGridStatistics(outputTable_, outputTableCount_);
    const GlobalSettings g = setup_->GetGlobalSettings();
    CopyGlobalSettings(g, s);
    CopyZoneTables(g, s);
    CopyRegionTables(g, s);
    CopyTables(s);
    spinUp = SpinUpState{};
    static_cast<SpinUpSettings&>(spinUp) = setup_->CreateHRUs(&spinUp.responseUnits);
}

}  // namespace

std::unique_ptr<ModelSetup> MakeDefaultSetup(unsigned& error, DiagLog* log, const std::string& controlFile,
                                             OutputCodeEntry* table, int tableCount, GridStore* store) {
    error = 0;
    auto setup = std::make_unique<DefaultSetup>(error, log, controlFile, table, tableCount, store);
    return setup;
}
