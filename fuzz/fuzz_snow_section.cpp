// Fuzz target of the section "[snow_model]" read by the snow model on a small basin. What the
// reader accepts has parameters in their physical ranges (every method number is read: those
// other than 1 to 14 accumulate snow without melt).
#include <memory>

#include "submodel_fuzz_support.hpp"
#include "surface/snowmod.hpp"

using fuzz_support::Check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_snow_section");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz_support::FuzzBasin basin(fuzz_support::SnowModelGrids());
    basin.WriteSection("[snow_model]\n", data, size);
    unsigned error = 0;
    auto model = std::make_unique<schneemodellklasse>(error, basin.Log(), basin.settings);
    Check(fuzz_support::ExpectedReaderCode(error));
    if (error == 0 && model->GetFlowControl() != 0) {
        const schneemodellklasse& s = *model;
        Check(s.transzone >= 0 && s.CRFR >= 0 && s.C0 >= 0 && s.C1 >= 0 && s.C2 >= 0 && s.z0 >= 0);
        Check(s.CWH >= 0 && s.CWH <= 1);
        Check(s.RMFMIN >= 0 && s.RMFMAX >= s.RMFMIN);
        Check(s.ALBsnow_min >= 0 && s.ALBsnow_min <= s.ALBsnow_max && s.ALBsnow_max <= 1);
    }
    model.reset();
    fuzz_support::RemoveWrittenFiles();
    return 0;
}
