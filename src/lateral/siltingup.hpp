#pragma once
// Silting-up of the soil surface ("[SiltingUpModel]"). This build has none: switched on, it
// refuses; switched off, every operation returns at once.
#include "submodel/teilmod.hpp"

class siltingupclass : public teilmodellklasse {
public:
    static constexpr int kUnavailableCode = 2083;
    siltingupclass(unsigned& error, DiagLog* log, const SubmodelSettings& settings);
    void UpdateInputGrid(bool /*interceptionFirst*/) {}
    void LinkTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors, OutputCodeEntry* table,
                         int tableCount);
    void run(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override {}
    void WriteStatistics() {}
};
