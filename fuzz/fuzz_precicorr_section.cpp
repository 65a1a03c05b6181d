// Fuzz target of the section "[precipitation_correction]" read by the precipitation correction
// on a small basin with precipitation, temperature and wind grids. What the reader accepts has
// catch factors whose constants and wind slopes are not negative.
#include <memory>
#include <string>
#include <vector>

#include "meteo/precicorr.hpp"
#include "submodel_fuzz_support.hpp"

using fuzz_support::Check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_precicorr_section");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz_support::FuzzBasin basin({{"precipitation", 1}, {"temperature", 2}, {"wind_speed", 3}});
    basin.WriteSection("[precipitation_correction]\n", data, size);
    unsigned error = 0;
    auto model = std::make_unique<precicorrclass>(error, basin.Log(), std::vector<meteointerpol*>{nullptr},
                                                  std::vector<std::string>{""}, basin.settings);
    Check(fuzz_support::ExpectedReaderCode(error));
    if (error == 0) {
        const undercatch::Coefficients& k = model->Coefficients();
        Check(k.constantRain >= 0 && k.slopeRain >= 0 && k.constantSnow >= 0 && k.slopeSnow >= 0);
    }
    model.reset();
    fuzz_support::RemoveWrittenFiles();
    return 0;
}
