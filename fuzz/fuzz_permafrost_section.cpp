// Fuzz target of the section "[permafrost]" read by the snow model on a small basin with the
// permafrost grids, the snow section of the example basin before it. What the reader accepts has
// a refreeze age and a snow-free water equivalent that are not negative and a reduced
// conductivity above 0.
#include <memory>
#include <string>

#include "snow_fuzz_sections.hpp"
#include "submodel_fuzz_support.hpp"
#include "surface/snowmod.hpp"

using fuzz_support::Check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_permafrost_section");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz_support::FuzzBasin basin(
        fuzz_support::JoinGrids(fuzz_support::SnowModelGrids(),
                                {{"ThawCoeffPermaFrost", 0.05}, {"PermafrostThawDepth", 0}, {"root_depth1", 1}}));
    fuzz_support::WriteInput(basin.settings.controlFileName,
                             std::string("[snow_model]\n") + fuzz_support::kSnowSection + "[permafrost]\n", data, size);
    unsigned error = 0;
    auto model = std::make_unique<schneemodellklasse>(error, basin.Log(), basin.settings);
    Check(fuzz_support::ExpectedReaderCode(error));
    if (error == 0 && model->permafrost) {
        Check(model->minSnowAgeRefreeze >= 0 && model->maxSweSnowFree >= 0);
        Check(model->reducedKsat > 0);
    }
    model.reset();
    fuzz_support::RemoveWrittenFiles();
    return 0;
}
