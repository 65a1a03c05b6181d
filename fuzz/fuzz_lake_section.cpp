// Fuzz target of the section "[lake_model]" as the evapotranspiration and the groundwater model
// read it on a small basin whose cells are all lake cells with ponded water. What a reader
// accepts with lakes on has a known initialisation method, and for evapotranspiration an open
// water albedo in [0, 1] and a positive roughness length.
#include <memory>
#include <string>

#include "kernel/error.hpp"
#include "lake_fuzz_sections.hpp"
#include "lateral/gwflow.hpp"
#include "submodel_fuzz_support.hpp"
#include "surface/etpetr.hpp"

using fuzz_support::Check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_lake_section");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz_support::FuzzBasin basin(fuzz_support::JoinGrids(
        fuzz_support::JoinGrids(fuzz_support::EtpModelGrids(), fuzz_support::GroundwaterModelGrids()),
        {{"lake_codes", 1}, {"ponding_storage", 5}}));
    fuzz_support::WriteInput(basin.settings.controlFileName,
                             std::string("[evapotranspiration]\n") + fuzz_support::kEtpSection +
                                 "\n[groundwater_flow]\n" + fuzz_support::kGroundwaterSection + "\n[lake_model]\n",
                             data, size);
    {
        unsigned error = 0;
        auto etp = std::make_unique<verdunstungsmodellklasse>(error, basin.Log(), basin.settings);
        Check(error == 0 && etp->GetFlowControl() != 0);
        unsigned code = 0;
        try {
            etp->ReadLakeModel("[lake_model]");
        } catch (const ModelError& e) {
            code = static_cast<unsigned>(e.code());
        } catch (...) {
            code = 103;
        }
        Check(fuzz_support::ExpectedReaderCode(code));
        if (code == 0 && etp->lakeFlow != 0) {
            Check(etp->lakeInitMethod == 1 || etp->lakeInitMethod == 2);
            Check(etp->albedoOpenWater >= 0 && etp->albedoOpenWater <= 1);
            Check(etp->z0OpenWater > 0);
        }
    }
    {
        unsigned error = 0;
        auto gw = std::make_unique<gwflowclass>(error, basin.Log(), basin.settings, 1);
        Check(fuzz_support::ExpectedReaderCode(error));
        if (error == 0 && gw->lakeFlowControl != 0) Check(gw->lakeInitMethod == 1 || gw->lakeInitMethod == 2);
    }
    fuzz_support::RemoveWrittenFiles();
    return 0;
}
