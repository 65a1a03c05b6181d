// Fuzz target of "[SpinUp]" with its class grids: the input is the text after the section
// line, read on a 3 x 4 grid whose grids hold ordinary, huge, tiny and non-numeric values.
// Every input must end with settings and units whose grids name only known units, or with
// one of the reader's codes. The unit grids are written into the target's own folder.
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "kernel/error.hpp"
#include "kernel/gridstore.hpp"
#include "kernel/modelobject.hpp"
#include "setup/spinup.hpp"

using fuzz_support::Check;

namespace {
constexpr int kRows = 3, kCols = 4;
constexpr double kNodata = -9999;

Matrix Filled(modelobject& o, const double (&values)[kRows][kCols]) {
    Matrix m = o.matrix(1, kRows, 1, kCols, kRows);
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) m[r][c] = values[r - 1][c - 1];
    return m;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_spinup");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_support::WriteInput("input.ctl", "[SpinUp]\n", data, size);
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    static const double kZone[kRows][kCols] = {{kNodata, 1, 1, 2}, {1, 1, 2, 2}, {3, 3, 3, kNodata}};
    static const double kElevation[kRows][kCols] = {
        {5, 120.5, 1e300, -1e300}, {kNodata, 0.25, 99999, -3}, {2e9, 4.9e-324, 7, 8}};
    static const double kSoil[kRows][kCols] = {{1, 2, kNodata, 4}, {inf, -inf, nan, 1}, {1, 1, 2, 2}};
    static const double kUnits[kRows][kCols] = {{4, 4, 9e18, 1e300}, {nan, inf, 4, 5}, {-7, 5, 5, kNodata}};

    auto store = std::make_unique<GridStore>();
    modelobject host(&fuzz_support::QuietLog(), "input.ctl", 0, true, false, ObjectRecord{});
    host.SetModuleName("defaults");
    host.gridStore = store.get();
    host.ncols = kCols;
    host.nrows = kRows;
    host.cellsize = 100;
    host.nodata = kNodata;
    host.firstRow = 1;
    host.lastRow = kRows;
    Matrix zone = Filled(host, kZone), elevation = Filled(host, kElevation), soil = Filled(host, kSoil),
           given = Filled(host, kUnits);
    host.RegisterGrid(1, "zones.asc", &zone, nullptr, 0, "[zone_grid]", 0, 1, kRows);
    host.RegisterGrid(2, "dem.asc", &elevation, nullptr, 0, "[elevation_model]", 0, 1, kRows);
    host.RegisterGrid(3, "soil.asc", &soil, nullptr, 0, "soil", 0, 1, kRows);
    // A given unit grid beside class grids is refused; inputs of odd length run without one, so
    // that the classification is reached as well.
    if (size % 2 == 0) host.RegisterGrid(4, "hru.asc", &given, nullptr, 0, "HydrologicResponseUnits", 0, 1, kRows);

    std::deque<Matrix> owned;
    std::vector<HydrologicResponseUnit> units;
    int code = 0;
    SpinUpSettings settings;
    try {
        settings = CreateHydrologicResponseUnits(
            host, "input.ctl", &units,
            [&](const std::string& file, const std::string& name, int first, int last, const char* noRoom) {
                const int index = host.FirstFreeGridIndex();
                if (index > GridStore::kMaxIndex) {
                    *host.log << noRoom << 1000 << ")" << "[end-entry]";
                    throw ModelError(12);
                }
                owned.push_back(host.matrix(first, last, 1, kCols, kRows));
                host.RegisterGrid(index, file, &owned.back(), nullptr, 0, name, 0, first, last);
                return index;
            });
    } catch (const ModelError& e) {
        code = e.code();
    }
    Check(code == 0 || code == 17 || code == 33 || code == 1030 || code == 1031);
    if (code != 0 || settings.spinUpSwitch == 0) return 0;
    Check(!units.empty() && units[0].id == 0);
    for (std::size_t i = 0; i < units.size(); ++i) Check(units[i].id == i);
    const int unitsIndex = host.FindGrid("HydrologicResponseUnits", true);
    Check(unitsIndex > 0);
    const Matrix& grid = *(*store)[unitsIndex].grid;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
            if (kZone[r - 1][c - 1] == kNodata || grid[r][c] == kNodata) continue;
            if (&grid == &given && !std::isfinite(grid[r][c])) continue;
            Check(grid[r][c] >= 1 && grid[r][c] < static_cast<double>(units.size()));
        }
    return 0;
}
