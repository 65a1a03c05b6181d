// Fuzz target of the whole "[special_output]" section as the module reads it: flow control,
// time step, the "numfiles" line and the file blocks, on a 4 x 5 grid that holds a grid, a
// stack and the owner grid. The input is the text after the section line. Every input must
// end with a module that holds its files or with one of the module's codes. The module writes
// the header lines of its files at once; "/" is taken out of the input so that every file
// lands in the target's own folder, and the files are removed after each input.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "kernel/gridstore.hpp"
#include "submodel/teilmod_pointoutput.hpp"

using fuzz_support::Check;

namespace {
struct Domain {
    GridStore store;
    Matrix regions, moisture;
    Stack layers;
    std::vector<int> zoneIndex = std::vector<int>(2, 0);

    void Put(int index, const std::string& name, Matrix* grid, Stack* stack, int levels) {
        GridStoreEntry& e = store[index];
        e.grid = grid;
        e.stack = stack;
        e.levels = levels;
        e.fileName = name + ".asc";
        e.hasFileName = true;
        e.internalName = name;
        e.hasInternalName = true;
    }
    explicit Domain(DiagLog* log) {
        modelobject maker(log, "none", 0, false, false, ObjectRecord{});
        regions = maker.matrix(1, 4, 1, 5, 4);
        moisture = maker.matrix(1, 4, 1, 5, 4);
        layers = maker.matrix3d(1, 4, 1, 5, 3, 4);
        regions.fill(0.0);
        moisture.fill(0.25);
        Put(2, "MPIRegions", &regions, nullptr, 0);
        Put(3, "soil_moisture", &moisture, nullptr, 0);
        Put(4, "soil_layers", nullptr, &layers, 3);
    }
};
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_outputpoints_section");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::replace(text.begin(), text.end(), '/', '_');
    fuzz_support::WriteInput("input.ctl", "[special_output]\n" + text, nullptr, 0);
    DiagLog& log = fuzz_support::QuietLog();
    static Domain domain(&log);
    SubmodelSettings settings;
    settings.controlFileName = "input.ctl";
    settings.ncols = 5;
    settings.nrows = 4;
    settings.firstRow = 1;
    settings.lastRow = 4;
    settings.cellsize = 1000;
    settings.zoneIndex = &domain.zoneIndex;
    settings.gridStore = &domain.store;
    unsigned error = 0;
    SpecialOutputClass module(settings, 3, error, &log);
    fuzz_support::RemoveWrittenFiles();
    Check(error == 0 || error == 17 || error == 63 || error == 104 || (error >= 1006 && error <= 1008));
    if (error != 0) return 0;
    if (module.GetFlowControl() == 0) Check(module.NumFiles() == 0);
    Check(module.NumFiles() >= 0 && module.NumFiles() <= 100000);
    for (int i = 0; i < module.NumFiles(); ++i)
        for (const auto& entity : module.File(i).Entities()) Check(entity != nullptr);
    return 0;
}
