// The land-use table reader on arbitrary section text. Every accepted entry holds finite leaf
// areas, vegetation covers and roughness lengths, and albedos in [0, 1].
#include <cmath>

#include "table_fuzz_support.hpp"
#include "tables/landuse_table.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return RunTableReader("[landuse_table]\n", data, size, [](modelobject& r) {
        const auto table = ReadLanduseTableSection(r, 2);
        // Every entry must carry all its arrays in the sizes its fix-point count gives.
        for (std::size_t i = 1; i < table.size(); ++i) {
            const landuse_entry& e = table[i];
            const std::size_t n = static_cast<std::size_t>(e.fixPointCount) + 1;
            if (e.JulDays.size() != n || e.LAI.size() != n || e.nFactor.size() != n || e.SR_rough_coeff1.size() != 4)
                __builtin_trap();
            for (std::size_t k = 1; k < n; ++k) {
                if (!(std::isfinite(e.LAI[k]) && std::isfinite(e.VCF[k]) && std::isfinite(e.Z0[k]))) __builtin_trap();
                if (!(e.Albedo[k] >= 0 && e.Albedo[k] <= 1)) __builtin_trap();
            }
        }
    });
}
