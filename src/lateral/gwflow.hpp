#pragma once
// Multi-layer groundwater flow ("[groundwater_flow]"). This build has none: switched on, it
// refuses; switched off, every operation returns at once.
#include "submodel/teilmod.hpp"

struct riverflow_table;

class gwflowclass : public teilmodellklasse {
public:
    static constexpr int kUnavailableCode = 2082;
    gwflowclass(unsigned& error, DiagLog* log, const SubmodelSettings& settings, unsigned numSubSteps);
    void CreateTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors, OutputCodeEntry* table,
                           int tableCount);
    void SetRiverflowTable(riverflow_table* /*table*/) {}
    void SetQg(RunoffArray* /*qg*/) {}
    void BeginTimeStep(std::int64_t, std::int64_t, std::int64_t, std::int64_t) {}
    void run(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override {}
    void WriteOutputs(std::int64_t, std::int64_t, std::int64_t, std::int64_t) {}
    void FlushStatistics() {}
};
