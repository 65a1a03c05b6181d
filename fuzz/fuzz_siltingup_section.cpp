// Fuzz target of the section "[SiltingUpModel]" read by the silting-up model on a small basin of
// two subbasins. What the reader accepts gives every subbasin a minimum rain pause of 0 or more,
// taken from rows that each stood on one line.
#include <cmath>
#include <memory>

#include "lateral/siltingup.hpp"
#include "submodel_fuzz_support.hpp"

using fuzz_support::Check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_siltingup_section");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz_support::FuzzBasin basin({{"landuse1", 1},
                                          {"vegetation_coverage_degree1", 0.5},
                                          {"soil_types", 1},
                                          {"SurfStorSiltingUp", 0},
                                          {"precipitation", 1}});
    basin.WriteSection("[SiltingUpModel]\n", data, size);
    unsigned error = 0;
    auto model = std::make_unique<siltingupclass>(error, basin.Log(), basin.settings);
    Check(fuzz_support::ExpectedReaderCode(error));
    if (error == 0 && model->GetFlowControl() != 0) {
        for (std::size_t i = 1; i < model->minRainPause.size(); ++i)
            Check(std::isfinite(model->minRainPause[i]) && model->minRainPause[i] >= 0);
    }
    model.reset();
    fuzz_support::RemoveWrittenFiles();
    return 0;
}
