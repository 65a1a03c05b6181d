// Fuzz target of the section "[SurfaceRoutingModel]" read by surface routing on a small basin.
// What the reader accepts has tolerances and A_NL iterations of 0 or more and a concentration
// factor below infinity (one of 1 or less changes nothing).
#include <cmath>
#include <memory>

#include "lateral/surfrout.hpp"
#include "submodel_fuzz_support.hpp"

using fuzz_support::Check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_surfrout_section");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz_support::FuzzBasin basin({{"river_depth", 0},
                                          {"river_width", 0},
                                          {"river_links", 0},
                                          {"landuse1", 1},
                                          {"vegetation_coverage_degree1", 0.5},
                                          {"soil_types", 1},
                                          {"SurfStorSiltingUp", 0},
                                          {"directflow", 0},
                                          {"interflow", 0}});
    basin.WriteSection("[SurfaceRoutingModel]\n", data, size);
    unsigned error = 0;
    auto model = std::make_unique<surfaceroutingclass>(error, basin.Log(), basin.settings);
    Check(fuzz_support::ExpectedReaderCode(error));
    if (error == 0 && model->GetFlowControl() != 0) {
        Check(model->aNLTolerance >= 0 && model->velocityTolerance >= 0);
        Check(model->aNLIterations >= 0);
        Check(model->minCropDepth >= 0 && model->concentrationFactor < HUGE_VAL);
    }
    model.reset();
    fuzz_support::RemoveWrittenFiles();
    return 0;
}
