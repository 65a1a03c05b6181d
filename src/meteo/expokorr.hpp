#pragma once
// Radiation and temperature correction by slope, aspect and shading ("[radiation_correction]").
// This build has none: switched on, it refuses; switched off, every operation returns at once.
#include "submodel/teilmod.hpp"

class expokorrklasse : public teilmodellklasse {
public:
    static constexpr int kUnavailableCode = 2053;
    expokorrklasse(unsigned& error, DiagLog* log, const SubmodelSettings& settings);
    Matrix* GetCorrectionGrid() { return nullptr; }
    void run(std::int64_t, std::int64_t, std::int64_t, std::int64_t) override {}
};
