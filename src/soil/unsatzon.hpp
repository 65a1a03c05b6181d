#pragma once
// The soil model ("[unsatzon_model]"). This build has none: switched on, it refuses with
// "module unsatzon_model is not implemented"; switched off, every operation returns at once and
// every getter gives null or 0.
#include <cstdint>
#include <string>

#include "submodel/teilmod.hpp"

struct riverflow_table;

class unsatzonmodellklasse : public teilmodellklasse {
public:
    static constexpr int kUnavailableCode = 2061;
    unsatzonmodellklasse(unsigned& error, DiagLog* log, const SubmodelSettings& settings, unsigned numSubSteps);

    void DrainablePoreVolume() {}
    void SelectWaterInput(bool /*interceptionFirst*/) {}
    void SetDumpMode(bool dump, bool closeAfter) {
        dumpMode = dump;
        closeAfterDump = closeAfter;
    }
    void InitTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors, OutputCodeEntry* table,
                         int tableCount) override;
    RunoffArray* GetQg() { return nullptr; }
    RunoffArray* GetQBb() { return nullptr; }
    SubbasinValues* GetKelsqd() { return nullptr; }
    SubbasinValues* GetKelsqi() { return nullptr; }
    void SetRouteImmediately(int value) { routeImmediately = value; }
    riverflow_table* GetRiverflowTable() { return nullptr; }
    const std::string* GetStorageFileName() const { return nullptr; }
    void BeginTimeStep(std::int64_t, std::int64_t, std::int64_t, std::int64_t) {}
    void run(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override {}
    void ComputeSubbasinRunoff(std::int64_t, std::int64_t, std::int64_t, std::int64_t) {}
    void WriteOutputs() {}
    void ModelEnd(bool /*routingActive*/) {}
    void ApplyExternalGWTable(double /*externalTimeStep*/) {}
    void PreSpinUpDegreeDays(std::int64_t, std::int64_t, std::int64_t, std::int64_t) {}
    void PreSpinUpInitTemperatures() {}

    // The zone tables the soil model hands to surface routing, irrigation, groundwater and
    // discharge routing (the set-up's until it ranks "zonegrid_soilmodel" itself).
    const std::vector<int>* SoilZoneIndex() const { return zoneIndex; }
    const std::vector<zoneFZT>* SoilZoneRecords() const { return zoneRecords; }

    int groundwaterActive = 0;
    bool dumpMode = false;
    bool closeAfterDump = false;
    int routeImmediately = 0;
};
