#pragma once
// Evapotranspiration ("[evapotranspiration]"). This build has none: switched on, it refuses;
// switched off, every operation returns at once.
#include <string>

#include "submodel/teilmod.hpp"

class verdunstungsmodellklasse : public teilmodellklasse {
public:
    static constexpr int kUnavailableCode = 2071;
    verdunstungsmodellklasse(unsigned& error, DiagLog* log, const SubmodelSettings& settings);
    void SetCorrectionGrid(Matrix* grid) { correctionGrid = grid; }
    void SetSnowStorageGrid(Matrix* grid) { snowStorage = grid; }
    void SetSnowMethod(int method) { snowMethod = method; }
    void ReadLakeModel(const std::string& /*section*/) {}
    void PotentialEvapotranspirationStep(std::int64_t, std::int64_t, std::int64_t, std::int64_t) {}
    void SnowEvaporationOnGlacier(std::int64_t, std::int64_t, std::int64_t, std::int64_t) {}
    void InterceptionEvaporationOutput(std::int64_t, std::int64_t, std::int64_t, std::int64_t) {}
    void SubStep(std::int64_t, std::int64_t, std::int64_t, std::int64_t) {}
    void AfterSoilStep(std::int64_t, std::int64_t, std::int64_t, std::int64_t) {}
    void FlushStatistics() {}

    Matrix* correctionGrid = nullptr;
    Matrix* snowStorage = nullptr;
    int snowMethod = 0;
};
