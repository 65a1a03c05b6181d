#pragma once
// The meteorological input: interpolation of one input onto the grid (`meteointerpol`),
// precipitation correction ("[precipitation_correction]", required) and regional superposition
// ("[RegionalSuperposition]"). This build has none of them: an input named in "[meteo_names]",
// and a correction or superposition that is switched on, stop the construction with
// "module <name> is not implemented"; switched off, every operation returns at once.
#include <cstdint>
#include <string>
#include <vector>

#include "driver/teilmod.hpp"

class meteointerpol : public modelobject {
public:
    static constexpr int kUnavailableCode = 2050;
    // name: the input's section name and the internal name of its result grid, registered at
    // gridIndex.
    meteointerpol(unsigned& error, DiagLog* log, const std::string& name, const SubmodelSettings& settings,
                  int gridIndex);
    ~meteointerpol() override;

    virtual void SetWarnings(int value) { warningSwitch = value; }
    virtual void SetHourOffset(double hours) { hourOffset = hours; }
    virtual void GetDate(std::int64_t* h, std::int64_t* d, std::int64_t* m, std::int64_t* y) const;
    virtual void run(std::int64_t h, std::int64_t d, std::int64_t m, std::int64_t y);
    virtual void AdvanceRecords() {}
    virtual bool IsAtEnd() const { return true; }
    virtual void EndAtCurrentDate() {}
    virtual void FlushStatistics() {}
    virtual void Rewind() {}
    virtual void ComputeElevationRegression(int) {}
    virtual void WriteOutputGrid() {}

    int method = 0;  // interpolation method (10 and 11 use an elevation regression)
    int warningSwitch = 0;
    int gridIndex = 0;
};


class precicorrclass : public modelobject {
public:
    static constexpr int kUnavailableCode = 2051;
    precicorrclass(unsigned& error, DiagLog* log, const std::vector<meteointerpol*>& inputs,
                   const std::vector<std::string>& names, const SubmodelSettings& settings);
    void SetMaxElevation(double value) { maxElevation = value; }
    void CorrectStations() {}
    void CorrectGrid() {}
    int GetFlowControl() const { return doIt; }

    int doIt = 0;
    double maxElevation = 0;
};

class RegionalSuperposition : public teilmodellklasse {
public:
    static constexpr int kUnavailableCode = 2052;
    RegionalSuperposition(unsigned& error, DiagLog* log, const SubmodelSettings& settings);
    void run(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override {}
    void WriteStatistics() {}
    void FlushStatistics() {}
};
