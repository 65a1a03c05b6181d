#pragma once
// Discharge routing through channels, lakes and reservoirs ("[routing_model]"). This build has
// none: switched on, it refuses; switched off, every operation returns at once and its getters
// give null.
#include <string>
#include <vector>

#include "submodel/teilmod.hpp"

struct riverflow_table;

class abflussmodellklasse : public teilmodellklasse {
public:
    static constexpr int kUnavailableCode = 2091;
    // settings carries the model's start date in place of the end date.
    abflussmodellklasse(unsigned& error, DiagLog* log, const SubmodelSettings& settings,
                        const TracerDescriptor* descriptors);
    void SetRunoffSource(RunoffArray* /*qg*/) {}
    void InitLakeModel(bool /*interceptionFirst*/) {}
    void CheckConnectionsAndInitRouting() {}
    void SetIrrigationTable(std::vector<zoneFZT>* /*table*/) {}
    void SetRiverflowTable(riverflow_table* /*table*/) {}
    void ReadStorageState(const std::string* /*fileName*/, unsigned /*warmStart*/) {}
    RunoffArray* GetMaxIrrig() { return nullptr; }
    RunoffArray* GetMaxIrrigFromReservoirs() { return nullptr; }
    // Rows 0..2 of subbasin positions (row 1: the irrigation chains).
    std::vector<std::vector<int>>* GetRoutingTarget() { return nullptr; }
    SubbasinValues* GetAbfrel() { return nullptr; }
    void run(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override {}
    void WriteOutputs() {}
    void Finish() {}
};
