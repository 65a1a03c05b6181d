// Fuzz target of the section "[ice_firn]" read by the snow model with a dynamic glacier on a small
// basin: glaciers 7 and 8 (one in each subbasin) covering half of every cell, the snow section of
// the example basin, the input as the glacier section. What the reader accepts has a known
// method, melt factors and slide storage constants that are not negative, albedo ranges in
// order, and for dynamic glaciers firn levels and elevation bands of at least one, a positive
// volume-area relation and an evaluation date that exists.
#include <memory>
#include <string>

#include "snow_fuzz_sections.hpp"
#include "submodel_fuzz_support.hpp"
#include "surface/glacier_physics.hpp"
#include "surface/snowmod.hpp"

using fuzz_support::Check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_glacier_section");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz_support::FuzzBasin basin(fuzz_support::JoinGrids(
        fuzz_support::SnowModelGrids(), {{"global_radiation", 100}, {"GlacierizedCells", 0.5}, {"GlacierCodes", 7}}));
    // Every glacier lies in one subbasin: the cell of subbasin 2 holds glacier 8.
    static const bool codesSet = [] {
        GridStore& store = *basin.settings.gridStore;
        for (int i = 1; i <= GridStore::kMaxIndex; ++i)
            if (store[i].grid != nullptr && store[i].internalName == "GlacierCodes") (*store[i].grid)[2][2] = 8;
        return true;
    }();
    Check(codesSet);
    fuzz_support::WriteInput(basin.settings.controlFileName,
                             std::string("[snow_model]\n") + fuzz_support::kSnowSection + "[ice_firn]\n", data, size);
    unsigned error = 0;
    auto model = std::make_unique<schneemodellklasse>(error, basin.Log(), basin.settings);
    Check(fuzz_support::ExpectedReaderCode(error));
    if (error == 0 && model->GetFlowControl() != 0 && model->glacierMethod != 0) {
        const schneemodellklasse& s = *model;
        const int m = s.glacierMethod;
        Check(m == 1 || m == 2 || m == 11 || m == 12 || m == 13);
        Check(s.DDFice >= 0 && s.DDFfirn >= 0 && s.DDFsnow >= 0 && s.MF >= 0);
        Check(s.Aice_min >= 0 && s.Aice_max >= s.Aice_min && s.Asnow_min >= 0 && s.Asnow_max >= s.Asnow_min);
        Check(s.kice_els >= 0 && s.kfirn_els >= 0 && s.ksnow_els >= 0);
        if (glacier::IsDynamic(m)) {
            Check(s.firn_levels >= 1 && s.numElevBands >= 1);
            Check(s.VAscaling > 0 && s.VAexponent > 0);
            Check(s.GMBEvalMonth >= 1 && s.GMBEvalMonth <= 12);
            const int longest[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
            Check(s.GMBEvalDay >= 1 && s.GMBEvalDay <= longest[s.GMBEvalMonth - 1]);
        }
    }
    model.reset();
    fuzz_support::RemoveWrittenFiles();
    return 0;
}
