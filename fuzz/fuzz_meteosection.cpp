// Fuzz target of the section of a meteorological input ("[temperature]" here): method, its
// file lines, result grid, statistics, interpolation settings, limits and the scenario table
// or grids, read as the interpolator is built on a 4 x 5 grid. The input is the text after
// the section line. Every input must end with an interpolator or with a model error's code
// (103 stands for any other exception). "/" is taken out of the input so that every file the interpolator opens or
// writes lies in the target's own folder; written files are removed after each input.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "kernel/gridio.hpp"
#include "kernel/gridstore.hpp"
#include "kernel/outputcodes.hpp"
#include "meteo/meteoint.hpp"

using fuzz_support::Check;

namespace {
constexpr int kRows = 4, kCols = 5;

void NoWait(int) {}

struct Domain {
    Matrix zones, elevation, relArea, coordX, coordY;
    std::vector<int> zoneIndex{0, 1};
    std::vector<zoneFZT> zoneRecords{{0, 0, 0, 0.019, 0}, {19, 19, 1, 1.0, 19}};

    explicit Domain(DiagLog* log) {
        modelobject maker(log, "none", 0, false, false, ObjectRecord{});
        for (Matrix* m : {&zones, &elevation, &relArea, &coordX, &coordY}) *m = maker.matrix(1, kRows, 1, kCols, kRows);
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                zones[r][c] = r == 1 && c == 1 ? -9999 : 1;
                elevation[r][c] = 100.0 * r + 10.0 * c;
                relArea[r][c] = 1.0;
                coordX[r][c] = (c - 1) * 1000.0;
                coordY[r][c] = (kRows - r) * 1000.0;
            }
    }
};

void Name(GridStoreEntry& e, Matrix* grid, const std::string& name) {
    e.grid = grid;
    e.fileName = name;
    e.hasFileName = true;
    e.internalName = name;
    e.hasInternalName = true;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::EnterPrivateFolder("fuzz_meteosection");
    gridio::SetRetryWait(NoWait);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::replace(text.begin(), text.end(), '/', '_');
    fuzz_support::WriteInput("input.ctl", "[temperature]\n" + text, nullptr, 0);
    DiagLog& log = fuzz_support::QuietLog();
    static Domain domain(&log);
    auto store = std::make_unique<GridStore>();
    Name((*store)[1], &domain.zones, "zones.asc");
    Name((*store)[2], &domain.elevation, "elevation.asc");
    Name((*store)[3], &domain.relArea, "RelCellArea");
    Name((*store)[4], &domain.coordX, "CoordX");
    Name((*store)[5], &domain.coordY, "CoordY");
    std::vector<OutputCodeEntry> outputCodes(kOutputCodeTableSize);

    SubmodelSettings settings;
    settings.controlFileName = "input.ctl";
    settings.zoneIndex = &domain.zoneIndex;
    settings.zoneRecords = &domain.zoneRecords;
    settings.zoneCount = settings.maxZoneCode = 1;
    settings.ncols = kCols;
    settings.nrows = kRows;
    settings.firstRow = 1;
    settings.lastRow = kRows;
    settings.cellsize = 1000;
    settings.startDay = settings.endDay = settings.startMonth = 1;
    settings.endMonth = 2;
    settings.startYear = settings.endYear = 2000;
    settings.gridStore = store.get();
    settings.outputCodes = outputCodes.data();
    settings.outputCodeCount = kOutputCodeTableSize;
    {
        unsigned error = 0;
        meteointerpol interpolator(error, &log, "temperature", settings, 6);
        Check(error != 103);
        if (error == 0) {
            Check(interpolator.method >= 1 && interpolator.method <= meteointerpol::kMaxMethod);
            Check(static_cast<bool>(interpolator.ResultGrid()));
            // Settings that would lose station values: missing marker -N inside the limits,
            // no valid range, no reach, weights that are not finite.
            Check(interpolator.N > 0);
            Check(!(-interpolator.N >= interpolator.lowerLimit && -interpolator.N <= interpolator.upperLimit));
            Check(interpolator.maxDistance > 0);
        }
    }
    fuzz_support::RemoveWrittenFiles();
    return 0;
}
