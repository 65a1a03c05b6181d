// Fuzz target of the set-up's reader of the zone grid's header (text, double or float
// form), which fixes the geometry of the whole model before any grid is read: every input
// must end with a usable geometry or with one of the reader's codes.
#include <cmath>
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "kernel/error.hpp"
#include "kernel/gridstore.hpp"
#include "setup/defltuzr.hpp"

using fuzz_support::Check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_gridheader");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_support::WriteInput("zone.grd", "", data, size);
    static GridStore store;
    unsigned error = 0;
    defaultini setup(error, &fuzz_support::QuietLog(), "none.ctl", 2, &store);
    Check(error == 0);
    GridDefinition& zone = setup.GridDefinitions().emplace_back();
    zone.fileName = "zone.grd";
    zone.internalName = "zone";
    std::int32_t ncols = 0, nrows = 0;
    double xll = 0, yll = 0, cell = 0, nodata = 0;
    int code = 0;
    try {
        setup.ReadGridHeader(&ncols, &nrows, &xll, &yll, &cell, &nodata);
    } catch (const ModelError& e) {
        code = e.code();
    }
    Check(code == 0 || code == 22);
    if (code != 0) return 0;
    Check(ncols >= 1 && nrows >= 1);
    Check(std::isfinite(xll) && std::isfinite(yll) && std::isfinite(nodata));
    Check(std::isfinite(cell) && cell > 0);
    return 0;
}
