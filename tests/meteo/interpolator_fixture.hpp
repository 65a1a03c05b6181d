#pragma once
// A small domain for the interpolator tests: 4 rows x 5 columns of 1000 m, lower-left corner at
// (0, 0), one zone (the upper-left cell outside the basin), rows in bands over the processes, and the grids an
// interpolator looks up (zones, elevation, "RelCellArea", "CoordX", "CoordY", "MPIRegions").
#include <memory>
#include <string>
#include <vector>

#include "meteo/meteoint.hpp"
#include "meteo_test_support.hpp"

namespace meteo_test {

constexpr int kRows = 4;
constexpr int kCols = 5;
constexpr double kCell = 1000.0;

// Cell coordinates are those of the lower-left corner, as the set-up's "CoordX"/"CoordY".
inline double CellX(int c) { return (c - 1) * kCell; }
inline double CellY(int r) { return (kRows - r) * kCell; }
inline double CellZ(int r, int c) { return 100.0 * r + 10.0 * c; }
inline bool InBasin(int r, int c) { return !(r == 1 && c == 1); }

// The lines of an interpolator section after the method and the station/regression lines.
struct SectionValues {
    std::string resultGrid = "result_grid";
    long writeCode = 0;
    double scaling = 1.0;
    std::string statistics = "stat.txt 0";
    double nodata = 9999;
    double idwWeight = 2;
    double idwFraction = 0.5;
    double maxDistance = 30000;
    double slope = 0;
    double ratio = 1;
    double lowerLimit = -1000, lowerReplacement = -1000, upperLimit = 1000, upperReplacement = 1000;
    std::string scenario = "0 SzenUse";
};

std::string Section(const std::string& name, int method, const std::string& fileLines, const SectionValues& v = {});

class InterpolatorTest : public MeteoFileTest {
protected:
    void SetUp() override;

    // Builds an interpolator of the section in "test.ctl"; its error code goes to error.
    std::unique_ptr<meteointerpol> Make(const std::string& name, unsigned* error);
    // Every own basin cell of the result equals expected(r, c).
    template <class F>
    void ExpectCells(const meteointerpol& ip, F expected) const {
        for (int r = settings.firstRow; r <= settings.lastRow; ++r)
            for (int c = 1; c <= kCols; ++c) {
                const double want = InBasin(r, c) ? expected(r, c) : -9999.0;
                EXPECT_DOUBLE_EQ(ip.ResultGrid()[r][c], want) << "row " << r << " column " << c;
            }
    }

    GridStore store;
    Matrix zones, elevation, relArea, coordX, coordY, regions;
    std::vector<int> zoneIndex;
    std::vector<zoneFZT> zoneRecords;
    std::vector<OutputCodeEntry> outputCodes;
    SubmodelSettings settings;
};

}  // namespace meteo_test
