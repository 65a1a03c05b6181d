// Fuzz target of the reader of the snow model's section in the storage content file (the warm
// start): a snow model with a (static) glacier is built once on a small basin of two subbasins,
// then every input is the section's text after its head line. The reader either keeps the
// values it had or restores slide storages that are finite numbers.
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "kernel/error.hpp"
#include "snow_fuzz_sections.hpp"
#include "submodel_fuzz_support.hpp"
#include "surface/snowmod.hpp"

using fuzz_support::Check;

namespace {

// "[snow_model]" of the example basin and "[ice_firn]" of a static glacier: degree-day factors,
// albedos, slide storage constants and outputs.
const std::string kSections =
    std::string(fuzz_support::kSnowSection) +
    "[ice_firn]\n1\n6\n5\n100\n2\n0.01\n0.02\n0.005\n0.01\n10\n20\n5\n0\n0\n0\n"
    "firn_melt.asc\n0\nqfirn.txt 0\nice_melt.asc\n0\nqice.txt 0\nqglac.txt 0\n\n";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_snow_state");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz_support::FuzzBasin basin(
        fuzz_support::JoinGrids(fuzz_support::SnowModelGrids(), {{"ice_firn", 0.5}}));
    static std::unique_ptr<schneemodellklasse> model = [] {
        const std::string& sections = kSections;
        basin.WriteSection("[snow_model]\n", reinterpret_cast<const std::uint8_t*>(sections.data()),
                           sections.size());
        unsigned error = 0;
        auto m = std::make_unique<schneemodellklasse>(error, basin.Log(), basin.settings);
        Check(error == 0 && m->GetFlowControl() != 0);
        return m;
    }();
    fuzz_support::WriteInput("snowstate.txt", "[snow_model]\n", data, size);
    const std::string name = "snowstate.txt";
    try {
        model->ReadStorageFile(&name, 1);
    } catch (const ModelError& e) {
        Check(e.code() != 0);
        return 0;
    }
    for (std::size_t i = 1; i <= 2; ++i)
        Check(std::isfinite(model->Qice_slr[i]) && std::isfinite(model->Qfirn_slr[i]) &&
              std::isfinite(model->Qsnow_slr[i]));
    return 0;
}
