// Fuzz target of the section "[evapotranspiration]" read by the evapotranspiration model on a
// small basin with every input grid of its methods. What the reader accepts has a known method,
// a transmissivity that stays a fraction through the year, a positive scale height, amplitudes
// that are not negative and radiation coefficients that sum to 1.
#include <cmath>
#include <memory>

#include "submodel_fuzz_support.hpp"
#include "surface/etpetr.hpp"

using fuzz_support::Check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_etp_section");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz_support::FuzzBasin basin(fuzz_support::EtpModelGrids());
    basin.WriteSection("[evapotranspiration]\n", data, size);
    unsigned error = 0;
    auto model = std::make_unique<verdunstungsmodellklasse>(error, basin.Log(), basin.settings);
    Check(fuzz_support::ExpectedReaderCode(error));
    if (error == 0 && model->GetFlowControl() != 0) {
        const verdunstungsmodellklasse& m = *model;
        Check(m.method >= 1 && m.method <= 4);
        Check(m.tau0 >= 0 && m.tau0 <= 1 && std::fabs(m.tau1) <= std::min(m.tau0, 1 - m.tau0));
        Check(m.scaleHeight > 0);
        for (int k = 0; k <= 13; ++k) Check(m.amplitude[static_cast<std::size_t>(k)] >= 0);
        Check(m.fd >= 0 && m.fd <= 1);
        Check(m.radCoeff[0] >= 0.05 && m.radCoeff[0] <= 0.5);
        Check(std::fabs(m.radCoeff[0] + m.radCoeff[1] + m.radCoeff[2] + m.radCoeff[3] - 1) <= 0.01);
    }
    model.reset();
    fuzz_support::RemoveWrittenFiles();
    return 0;
}
