// Grid and stack files of any content: the readers must refuse what they cannot read with an
// error code, never crash or read outside their buffers. The first byte chooses the reader.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "kernel/gridio.hpp"
#include "kernel/modelobject.hpp"

namespace {
std::ostringstream g_console;
std::unique_ptr<DiagLog> g_log;
std::unique_ptr<GridStore> g_store;
Matrix g_zone;

void NoWait(int) {}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const auto dir = std::filesystem::temp_directory_path() / ("talvo_fuzz_grid_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    g_log = std::make_unique<DiagLog>("fuzz_diag.xml", 0);
    g_log->SetConsole(g_console);
    g_store = std::make_unique<GridStore>();
    gridio::SetRetryWait(NoWait);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    {
        std::ofstream out("input.grd", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    g_console.str("");
    modelobject o(g_log.get(), "none", 0, false, true, ObjectRecord{});
    o.gridStore = g_store.get();
    o.ncols = 4;
    o.nrows = 3;
    o.firstRow = 1 + (mode >> 6 & 1);
    o.lastRow = 3;
    o.xllcorner = 0;
    o.yllcorner = 0;
    o.cellsize = 1;
    o.nodata = -9999;
    if (!g_zone) {
        g_zone = o.matrix(1, 3, 1, 4, 3);
        g_zone.fill(1.0);
        g_zone[2][2] = -9999;
        o.RegisterGrid(1, "zone", &g_zone, nullptr, 0, "[zone_grid]", 0, 1, 3);
    }
    try {
        if (mode & 1) {
            Stack s;
            o.ReadStack("input.grd", &s, (mode & 2) != 0);
        } else {
            Matrix m;
            const int fill = (mode >> 2) % 3;
            o.ReadGrid("input.grd", &m, fill, true, false, 0.5, (mode & 16) != 0, (mode & 2) != 0, false,
                       (mode & 32) != 0);
        }
    } catch (const ModelError&) {
    }
    return 0;
}
