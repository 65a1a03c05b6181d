// The state section "[SurfaceRoutingModel]" of the storage content file, read by surface routing
// on a 2 x 2 basin of two subbasins. A mismatch (a logged FATAL entry and code 71) is an
// expected result; anything else that escapes is a failure.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>

#include "kernel/diaglog.hpp"
#include "lateral/surfrout.hpp"
#include "tables/landuse_entry.hpp"

namespace {

struct Basin {
    Basin() {
        log.SetConsole(discard);
        std::FILE* f = std::fopen("fuzz_surfrout.ctl", "w");
        std::fputs("[SurfaceRoutingModel]\n1\n60\n5\nqd 0\nqi 0\nqb 0\nqg 0\nv.stk\n0\nf.stk\n0\n0.001\n10\n1e-6\n20\n"
                   "0\n3600\n0.01\n1\n0\nstat 0\nfuzz_state\n\n",
                   f);
        std::fclose(f);
        memory_handling mh;
        const char* names[] = {"zones",    "elevation",  "river_depth", "river_width", "river_links", "landuse1",
                               "vegetation_coverage_degree1", "soil_types", "SurfStorSiltingUp", "directflow",
                               "interflow"};
        for (int i = 0; i < 11; ++i) {
            grids[i] = mh.matrix(1, 2, 1, 2, 2);
            grids[i].fill(i == 0 ? 1 : (i == 1 ? 100 : 0));
            GridStoreEntry& e = store[i + 1];
            e.grid = &grids[i];
            e.fileName = names[i];
            e.hasFileName = true;
            e.internalName = names[i];
            e.hasInternalName = true;
        }
        grids[0][2][2] = 2;
        grids[5].fill(1);
        index = {0, 1, 2};
        records = {{0, 0, 0, 1, 0}, {3, 3, 1, 0.75, 3}, {1, 1, 2, 0.25, 1}};
        landuse.resize(2);
        settings.controlFileName = "fuzz_surfrout.ctl";
        settings.zoneIndex = &index;
        settings.zoneRecords = &records;
        settings.zoneCount = 2;
        settings.maxZoneCode = 2;
        settings.ncols = settings.nrows = 2;
        settings.firstRow = 1;
        settings.lastRow = 2;
        settings.cellsize = 10;
        settings.gridStore = &store;
        settings.landuseTable = landuse.data();
        unsigned error = 0;
        model = std::make_unique<surfaceroutingclass>(error, &log, settings);
        if (error == 0) model->CreateTracerGrids(error, 0, nullptr, nullptr, 0);
        if (error != 0) __builtin_trap();
    }
    std::ostream discard{nullptr};
    DiagLog log{"fuzz_surfrout_diag.xml", -1};
    GridStore store;
    Matrix grids[11];
    std::vector<int> index;
    std::vector<zoneFZT> records;
    std::vector<landuse_entry> landuse;
    SubmodelSettings settings;
    std::unique_ptr<surfaceroutingclass> model;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Basin basin;
    std::FILE* f = std::fopen(basin.model->storageFileName.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    try {
        basin.model->ReadStorageFile();
    } catch (const ModelError& e) {
        if (e.code() != 71) __builtin_trap();
    }
    return 0;
}
