#pragma once
// Irrigation ("[irrigation]"). This build has none: switched on, it refuses; switched off,
// every operation returns at once and its withdrawal table is null.
#include <vector>

#include "submodel/teilmod.hpp"

struct riverflow_table;

class irrigationclass : public teilmodellklasse {
public:
    static constexpr int kUnavailableCode = 2074;
    irrigationclass(unsigned& error, DiagLog* log, const SubmodelSettings& settings);
    void InitTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors, OutputCodeEntry* table,
                         int tableCount) override;
    void SetRiverflowTable(riverflow_table* /*table*/) {}
    void SetQg(RunoffArray* /*qg*/) {}
    void LinkSoilTracerStores() {}
    void SetMaxIrrigation(RunoffArray* /*maxIrrigation*/, RunoffArray* /*fromReservoirs*/) {}
    void SetRoutingTarget(std::vector<int>* /*target*/) {}
    void SetAbfrel(SubbasinValues* /*abfrel*/) {}
    std::vector<zoneFZT>* GetIrrigationTable() { return nullptr; }
    void run(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override {}
    void FlushStatistics() {}
};
