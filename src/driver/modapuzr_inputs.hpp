#pragma once
// One meteorological input as the time loop sees it: its date, its step, its records and its
// outputs. The interpolators of "[meteo_names]" are used through this interface.
#include <cstdint>
#include <memory>
#include <string>

#include "submodel/teilmod.hpp"

class meteointerpol;
class zonalstatistic;

class MeteoInput {
public:
    virtual ~MeteoInput() = default;
    virtual int Method() const = 0;
    virtual void SetWarnings(int value) = 0;
    virtual void SetHourOffset(double hours) = 0;
    virtual void SetStatus(int word) = 0;
    virtual void GetDate(std::int64_t* hour, std::int64_t* day, std::int64_t* month, std::int64_t* year) const = 0;
    virtual void ComputeElevationRegression(int flag) = 0;
    virtual void run(std::int64_t hour, std::int64_t day, std::int64_t month, std::int64_t year) = 0;
    // run without the exchange of its zone statistics, whose records (null: none, run did all)
    // the caller then sums over the processes and steps with StepReducedStatistics.
    // Process 0: whether the next step of the zone statistics may write their table.
    virtual bool StatisticsMayWrite() const { return false; }
    virtual zonalstatistic* RunBeforeReduction(std::int64_t hour, std::int64_t day, std::int64_t month,
                                               std::int64_t year) {
        run(hour, day, month, year);
        return nullptr;
    }
    virtual void WriteOutputGrid() = 0;
    virtual void AdvanceRecords() = 0;
    virtual bool IsAtEnd() const = 0;
    // Whether the data end with the current record before the end date of the run (the
    // input then logs the WARNING naming the file); inputs without files never end early.
    virtual bool DataEndWithThisStep() { return false; }
    // DataEndWithThisStep from the records read already, without a WARNING: 1 or 0, or -1
    // when the answer needs a read of a file.
    virtual int BufferedDataEnd() const { return 0; }
    // When the run ends with its second record: its one interval must be the modules' step.
    virtual void CheckOnlyInterval(std::int64_t) {}
    virtual void EndAtCurrentDate() = 0;
    virtual void FlushStatistics() = 0;
    virtual void Rewind() = 0;
    // The interpolator behind the input (handed to the precipitation correction); may be null.
    virtual meteointerpol* Interpolator() { return nullptr; }
};

// Builds the interpolator of one input, its result grid registered at gridIndex.
std::unique_ptr<MeteoInput> MakeInterpolatorInput(unsigned& error, DiagLog* log, const std::string& name,
                                                  const SubmodelSettings& settings, int gridIndex);
