#pragma once
// What the application needs of the set-up object of a run: the step-wise initialisation that
// yields the standard sub-model arguments, the grids it keeps up to date and writes in every
// step, and the external coupling. The application talks to the set-up only through this
// interface, so that tests can give it a small domain of their own.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "submodel/teilmod.hpp"
#include "setup/spinup.hpp"

// What the application keeps of "[SpinUp]": the settings and the hydrologic response units.
struct SpinUpState : SpinUpSettings {
    std::vector<HydrologicResponseUnit> responseUnits;
};

class ModelSetup {
public:
    virtual ~ModelSetup() = default;

    // Runs the whole initialisation (the steps, the standard-grid statistics, the hand-out of
    // the global settings, the spin-up settings and response units). Errors are thrown.
    virtual void Initialise(SubmodelSettings& settings, SpinUpState& spinUp) = 0;
    virtual double GetMaxElevation() = 0;
    // Number of inner sub-steps of "[soil_surface_groundwater_substeps]" (1 without it).
    virtual int ReadSubsteps() = 0;
    virtual void SetStatus(int word) = 0;
    virtual void SetEndDate(std::int64_t year, std::int64_t month, std::int64_t day, std::int64_t hour) = 0;

    // ---- per step
    virtual void UpdatePeriodicGrids(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year) = 0;
    virtual void UpdateDynamicLanduseParameters(std::int64_t hour, std::int64_t day, std::int64_t month,
                                                std::int64_t year, int stepMinutes) = 0;
    virtual void WriteStandardGrids(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year) = 0;
    virtual void WriteVariableGrids(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year) = 0;
    virtual void ResetStandardGridStatistics() = 0;
    virtual void AddStandardGridStatistics() = 0;
    virtual void StepStandardGridStatistics(std::int64_t hour, std::int64_t day, std::int64_t month,
                                            std::int64_t year) = 0;
    virtual void WriteStandardGridStatisticLines() = 0;

    // ---- external coupling
    virtual bool IsExternallyCoupled() = 0;
    virtual char GetCouplingModeLetter() = 0;
    virtual std::string GetSemaphoreFileName() = 0;
    virtual long GetCouplingWaitInterval() = 0;
    virtual void ReadExternalGrids(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year) = 0;
    virtual bool HasExternalGWTable() = 0;
    virtual double GetExternalTimeStep() = 0;
    // The date is that of the period's start; the flags tell whether the day, month or year has
    // changed since.
    virtual void WriteExternalOutput(std::int64_t day, std::int64_t month, std::int64_t year, bool endOfDay,
                                     bool endOfMonth, bool endOfYear) = 0;
    virtual void AccumulateExternalOutput() = 0;
    virtual std::string GetExternalSemaphoreFileName() = 0;
    // Null: the semaphore file is left empty.
    virtual const char* GetExternalSemaphoreContent() = 0;
    virtual void LinkExternalGrids(OutputCodeEntry* table, int count) = 0;
};

// The set-up of this build for a control file (error receives a construction failure code).
std::unique_ptr<ModelSetup> MakeDefaultSetup(unsigned& error, DiagLog* log, const std::string& controlFile,
                                             OutputCodeEntry* table, int tableCount, GridStore* store);
