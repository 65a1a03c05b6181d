// Fuzz target of the reader of the soil model's section in the storage content file (the warm
// start): the model is built once on a small basin of two subbasins, then every input is the
// section's text after its head line. The reader either stops with a FATAL entry or restores
// zone records and storages that are finite numbers.
#include <cmath>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "kernel/error.hpp"
#include "soil/unsatzon.hpp"
#include "submodel_fuzz_support.hpp"

using fuzz_support::Check;

namespace {

// "[unsatzon_model]" with every statistic and grid switched off, no control point and the
// subbasin rows of codes 1 and 2; a cold start, the state is read by the target.
std::string SoilSection() {
    std::string t = "1 flow control\n60 time step\n2 method\n0\n0\n0\n0\n1e-9\n2\n";
    for (int i = 0; i < SoilModelConfig::kStatCount; ++i) t += "stat" + std::to_string(i) + ".txt 0\n";
    for (int i = 0; i < SoilModelConfig::kOutputCount; ++i) t += "out" + std::to_string(i) + ".asc\n0\n";
    t += "0 0\nqbot.txt\ntheta.txt\nhhyd.txt\nother.txt\netr.txt\nqi.txt\n";
    t += "1 2\n2 2\n50 50\n1 1\n100 100\n0.1 0.1\n0.5 0.5\n0\nsoilstate.txt\n\n";
    return t;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_soil_state");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz_support::FuzzBasin basin(fuzz_support::SoilModelGrids());
    static std::vector<soil_entry> soils = fuzz_support::LoamSoilTable(*basin.Log());
    static std::unique_ptr<unsatzonmodellklasse> model = [] {
        basin.settings.soilTable = soils.data();
        const std::string section = SoilSection();
        basin.WriteSection("[unsatzon_model]\n", reinterpret_cast<const std::uint8_t*>(section.data()),
                           section.size());
        unsigned error = 0;
        auto m = std::make_unique<unsatzonmodellklasse>(error, basin.Log(), basin.settings, 1u);
        Check(error == 0 && m->GetFlowControl() != 0);
        // The runoff arrays and travel-time zones the state fills.
        m->InitTracerGrids(error, 0, nullptr, nullptr, 0);
        Check(error == 0);
        m->config.storageFileName = "soilstate.txt";
        return m;
    }();
    fuzz_support::WriteInput("soilstate.txt", "[unsatzon_model]\n", data, size);
    try {
        model->ReadStorageState();
    } catch (const ModelError& e) {
        Check(e.code() != 0);
        return 0;
    }
    for (std::size_t s = 1; s <= 2; ++s) {
        Check(std::isfinite(model->QDd[0][s]) && std::isfinite(model->QIi[0][s]));
        for (std::size_t z = 1; z < model->zoneFZT_QD[0][s].size(); ++z)
            Check(std::isfinite(model->zoneFZT_QD[0][s][z].n) && std::isfinite(model->zoneFZT_QI[0][s][z].n));
    }
    return 0;
}
