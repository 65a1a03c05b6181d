#pragma once
// Surface runoff routing on the grid ("[SurfaceRoutingModel]"). This build has none: switched
// on, it refuses; switched off, every operation returns at once and its getters give null.
#include "submodel/teilmod.hpp"

class surfaceroutingclass : public teilmodellklasse {
public:
    static constexpr int kUnavailableCode = 2081;
    surfaceroutingclass(unsigned& error, DiagLog* log, const SubmodelSettings& settings);
    void CreateTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors, OutputCodeEntry* table,
                           int tableCount);
    void SetQBb(RunoffArray* /*qbb*/) {}
    void SetKelsqd(SubbasinValues* /*k*/) {}
    void SetKelsqi(SubbasinValues* /*k*/) {}
    RunoffArray* GetQg() { return nullptr; }
    void ShiftFlowTimeZones(std::int64_t, std::int64_t, std::int64_t, std::int64_t) {}
    void run(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override {}
    void RouteFlowTimeZones(std::int64_t, std::int64_t, std::int64_t, std::int64_t) {}
    void ModelEnd(bool /*earlierWriter*/) {}
    void FlushStatistics() {}
};
