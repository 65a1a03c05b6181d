// Fuzz target of the section "[radiation_correction]" read by the radiation correction on a
// small basin. What the reader accepts has one of its methods (unknown ones take the default)
// and at least one sub-step per step, none shorter than a second.
#include <memory>

#include "meteo/expokorr.hpp"
#include "submodel_fuzz_support.hpp"

using fuzz_support::Check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_radiation_correction_section");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz_support::FuzzBasin basin({{"temperature", 5},
                                          {"slope_angle", 10},
                                          {"slope_aspect", 180},
                                          {"sunshine_duration", 0.5},
                                          {"global_radiation", 100}});
    basin.WriteSection("[radiation_correction]\n", data, size);
    unsigned error = 0;
    auto model = std::make_unique<expokorrklasse>(error, basin.Log(), basin.settings);
    Check(fuzz_support::ExpectedReaderCode(error));
    if (error == 0 && model->GetFlowControl() != 0) {
        Check(model->Method() >= 1 && model->Method() <= 4);
        Check(model->Splittings() >= 1);
        Check(model->Splittings() <= 1 || model->Splittings() <= 60.0 * (model->GetTimeStep() + 1));
    }
    model.reset();
    fuzz_support::RemoveWrittenFiles();
    return 0;
}
