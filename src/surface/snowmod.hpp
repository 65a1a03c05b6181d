#pragma once
// Snow, glaciers and permafrost ("[snow_model]"). This build has none: switched on, it refuses;
// switched off, every operation returns at once and every getter gives null or 0.
#include <string>

#include "submodel/teilmod.hpp"

class schneemodellklasse : public teilmodellklasse {
public:
    static constexpr int kUnavailableCode = 2072;
    schneemodellklasse(unsigned& error, DiagLog* log, const SubmodelSettings& settings);
    void SetCorrectionGrid(Matrix* grid) { correctionGrid = grid; }
    Matrix* GetSolidSnowStorage() { return nullptr; }
    int GetMethod() const { return 0; }
    void LinkPrecipitation(bool /*interceptionFirst*/) {}
    void ReadLakeModel(const std::string& /*section*/) {}
    void LinkTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors, OutputCodeEntry* table,
                         int tableCount);
    void SetQg(RunoffArray* /*qg*/) {}
    void ReadStorageFile(const std::string* /*fileName*/, unsigned /*warmStart*/) {}
    void run(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override {}
    void FlushStatistics() {}

    Matrix* correctionGrid = nullptr;
};
