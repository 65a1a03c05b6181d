// The soil table reader on arbitrary section text, followed by look-ups on every layer.
#include "fuzz_support.hpp"
#include "table_fuzz_support.hpp"
#include "tables/soil_table.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return RunTableReader("[soil_table]\n", data, size, [](modelobject& r) {
        auto table = ReadSoilTableSection(r, 2);
        for (std::size_t i = 1; i < table.size(); ++i) {
            soil_entry& e = table[i];
            // What the reader accepts is a soil: positive conductivity, thickness and alpha,
            // n above 1 and 0 <= theta_res < theta_sat <= 1 in every layer (before scaling).
            for (std::int32_t l = 1; l <= e.layerCount; ++l) {
                const std::size_t k = static_cast<std::size_t>(l);
                if (e.ksat.size() <= k || e.theta_sat.size() <= k || e.theta_res.size() <= k) break;
                fuzz_support::Check(e.ksat[k] > 0 && e.alpha[k] > 0 && e.Par_n[k] > 1);
                fuzz_support::Check(e.theta_res[k] >= 0 && e.theta_res[k] < e.theta_sat[k] && e.theta_sat[k] <= 1);
            }
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
