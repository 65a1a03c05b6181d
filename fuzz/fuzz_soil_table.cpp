// The soil table reader on arbitrary section text, followed by look-ups on every layer.
#include "table_fuzz_support.hpp"
#include "tables/soil_table.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return RunTableReader("[soil_table]\n", data, size, [](modelobject& r) {
        auto table = ReadSoilTableSection(r, 2);
        for (std::size_t i = 1; i < table.size(); ++i) {
            soil_entry& e = table[i];
            for (std::int32_t l = 0; l <= e.layerCount; ++l) {
                e.ThetaFromSuction(l, 0.5);
                e.SuctionFromTheta(l, 0.2);
                e.RelConductivityFromTheta(l, 0.2, 0.3);
            }
            e.ComputeFreezingTables(1, 1.2);
            std::vector<double> out(static_cast<std::size_t>(e.layerCount) + 1), temperature(out.size(), -2.0),
                theta(out.size(), 0.25);
            e.UnfrozenFractionPerLayer(out.data(), temperature.data(), theta.data());
            e.FreezingDerivativePerLayer(out.data(), temperature.data(), theta.data());
        }
    });
}
