// Fuzz target of the section "[interception_model]" read by the interception model on a small
// basin. What the reader accepts has a storage capacity of 0 or more (every method number is
// accepted: codes other than 1, 2, 11 and 12 evaporate nothing).
#include <memory>

#include "submodel_fuzz_support.hpp"
#include "surface/interzep.hpp"

using fuzz_support::Check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_interception_section");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz_support::FuzzBasin basin({{"landuse1", 1},
                                          {"leaf_area_index1", 2},
                                          {"vegetation_coverage_degree1", 0.8},
                                          {"pot_transpiration0", 0.1},
                                          {"pot_transpiration1", 0.1},
                                          {"potential_InterceptionEvap0", 0.1},
                                          {"potential_InterceptionEvap1", 0.1},
                                          {"real_transpiration0", 0},
                                          {"real_transpiration1", 0},
                                          {"snowcover_outflow", 1},
                                          {"precipitation", 1}});
    basin.WriteSection("[interception_model]\n", data, size);
    unsigned error = 0;
    auto model = std::make_unique<interzeptionsmodellklasse>(error, basin.Log(), basin.settings);
    Check(fuzz_support::ExpectedReaderCode(error));
    if (error == 0 && model->GetFlowControl() != 0) {
        Check(model->maxThickness >= 0);
    }
    model.reset();
    fuzz_support::RemoveWrittenFiles();
    return 0;
}
