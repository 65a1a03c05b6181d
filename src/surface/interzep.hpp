#pragma once
// Interception ("[interception_model]"). This build has none: switched on, it refuses; switched
// off, every operation returns at once and its method is 0.
#include "submodel/teilmod.hpp"

class interzeptionsmodellklasse : public teilmodellklasse {
public:
    static constexpr int kUnavailableCode = 2073;
    interzeptionsmodellklasse(unsigned& error, DiagLog* log, const SubmodelSettings& settings);
    // Above 10 interception runs before snow.
    int GetMethod() const { return 0; }
    void InitTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors, OutputCodeEntry* table,
                         int tableCount) override;
    void run(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override {}
    void FlushStatistics() {}
};
