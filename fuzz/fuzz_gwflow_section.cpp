// Fuzz target of the section "[groundwater_flow]" read by the groundwater model on a small
// basin of one aquifer layer. What the reader accepts has at least one sweep, an error bound of
// 0 or more, a time weight in [0, 1] and an over-relaxation factor below 2.
#include <memory>

#include "lateral/gwflow.hpp"
#include "submodel_fuzz_support.hpp"

using fuzz_support::Check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_gwflow_section");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz_support::FuzzBasin basin(fuzz_support::GroundwaterModelGrids());
    basin.WriteSection("[groundwater_flow]\n", data, size);
    unsigned error = 0;
    auto model = std::make_unique<gwflowclass>(error, basin.Log(), basin.settings, 1);
    Check(fuzz_support::ExpectedReaderCode(error));
    if (error == 0 && model->GetFlowControl() != 0) {
        Check(model->maxErrorAllowed >= 0);
        Check(model->alpha >= 0 && model->alpha <= 1);
        Check(model->sorParameter < 2);
    }
    model.reset();
    fuzz_support::RemoveWrittenFiles();
    return 0;
}
