// Fuzz target of the section "[unsatzon_model]" (with "[heat_transfer]" and the tuning and
// permafrost sections it looks for) read by the soil model on a small basin of one soil type.
// What the reader accepts has a known method, a control point inside the grid, subbasin
// values in their physical ranges, tuning limits that allow an iteration and soil heat constants
// above 0 (n-factors not negative).
#include <cmath>
#include <memory>
#include <vector>

#include "soil/unsatzon.hpp"
#include "submodel_fuzz_support.hpp"

using fuzz_support::Check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_soil_section");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz_support::FuzzBasin basin = [] {
        auto grids = fuzz_support::SoilModelGrids();
        grids.emplace_back("temperature", 2);
        return fuzz_support::FuzzBasin(grids);
    }();
    static std::vector<soil_entry> soils = fuzz_support::LoamSoilTable(*basin.Log());
    basin.settings.soilTable = soils.data();
    basin.WriteSection("[unsatzon_model]\n", data, size);
    unsigned error = 0;
    auto model = std::make_unique<unsatzonmodellklasse>(error, basin.Log(), basin.settings, 1u);
    Check(fuzz_support::ExpectedReaderCode(error));
    if (error == 0 && model->GetFlowControl() != 0) {
        const SoilModelConfig& c = model->config;
        Check(c.method == 2 || c.method == 3);
        Check(c.control_row >= 0 && c.control_row <= 2 && c.control_col >= 0 && c.control_col <= 2);
        for (std::size_t i = 1; i <= 2; ++i) {
            Check(model->subbasins.flussdichte[i] >= 0 && std::isfinite(model->subbasins.Q0[i]));
            Check(model->subbasins.SR_Anteil[i] >= 0 && model->subbasins.SR_Anteil[i] <= 1);
        }
        Check(model->max_error >= 0 && model->max_iterations >= 1 && model->max_iterations <= 2147483647.0);
        const SoilHeatConfig& h = model->heat;
        if (h.on()) {
            for (int k = SoilHeatConfig::CDrySoil; k <= SoilHeatConfig::RhoWater; ++k)
                Check(h[static_cast<SoilHeatConfig::Constant>(k)] > 0);
            Check(h[SoilHeatConfig::ShortestStep] > 0 && h[SoilHeatConfig::LongestStep] > 0);
            Check(h[SoilHeatConfig::NFactorFreezing] >= 0 && h[SoilHeatConfig::NFactorThawing] >= 0);
        }
    }
    model.reset();
    fuzz_support::RemoveWrittenFiles();
    return 0;
}
