#include "interpolator_fixture.hpp"

#include <sstream>

namespace meteo_test {

std::string Section(const std::string& name, int method, const std::string& fileLines, const SectionValues& v) {
    std::ostringstream s;
    s << "test control file\n\n[" << name << "]\n"
      << method << " method\n"
      << fileLines << v.resultGrid << " result grid\n"
      << v.writeCode << " write code\n"
      << v.scaling << " scaling\n"
      << v.statistics << " statistics\n"
      << v.nodata << " nodata\n"
      << v.idwWeight << " idw weight\n"
      << v.idwFraction << " idw fraction\n"
      << v.maxDistance << " maximum distance\n"
      << v.slope << " anisotropy slope\n"
      << v.ratio << " anisotropy ratio\n"
      << v.lowerLimit << " lower limit\n"
      << v.lowerReplacement << " lower replacement\n"
      << v.upperLimit << " upper limit\n"
      << v.upperReplacement << " upper replacement\n"
      << v.scenario << "\n\n[other]\n";
    return s.str();
}

namespace {
void Name(GridStoreEntry& e, Matrix* grid, const std::string& name) {
    e.grid = grid;
    e.fileName = name;
    e.hasFileName = true;
    e.internalName = name;
    e.hasInternalName = true;
}
}  // namespace

void InterpolatorTest::SetUp() {
    MeteoFileTest::SetUp();
    memory_handling mh;
    const int size = talvo_test::Size(), rank = talvo_test::Rank();
    auto owner = [&](int r) {
        for (int p = 0; p < size; ++p)
            if (r >= p * kRows / size + 1 && r <= (p + 1) * kRows / size) return p;
        return 0;
    };
    for (Matrix* m : {&zones, &elevation, &relArea, &coordX, &coordY, &regions}) *m = mh.matrix(1, kRows, 1, kCols, kRows);
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) {
            zones[r][c] = InBasin(r, c) ? 1 : -9999;
            elevation[r][c] = CellZ(r, c);
            relArea[r][c] = 1.0;
            coordX[r][c] = CellX(c);
            coordY[r][c] = CellY(r);
            regions[r][c] = owner(r);
        }
    Name(store[1], &zones, "zones.asc");
    Name(store[2], &elevation, "elevation.asc");
    Name(store[3], &relArea, "RelCellArea");
    Name(store[4], &coordX, "CoordX");
    Name(store[5], &coordY, "CoordY");
    Name(store[6], &regions, "MPIRegions");
    zoneIndex.assign(2, 0);
    zoneIndex[1] = 1;
    zoneRecords = {{0, 0, 0, 0.019, 0}, {19, 19, 1, 1.0, 19}};
    outputCodes.assign(kOutputCodeTableSize, OutputCodeEntry{});

    settings = SubmodelSettings{};
    settings.controlFileName = "test.ctl";
    settings.zoneIndex = &zoneIndex;
    settings.zoneRecords = &zoneRecords;
    settings.zoneCount = settings.maxZoneCode = 1;
    settings.ncols = kCols;
    settings.nrows = kRows;
    settings.firstRow = rank * kRows / size + 1;
    settings.lastRow = (rank + 1) * kRows / size;
    settings.cellsize = kCell;
    settings.startHour = settings.endHour = 0;
    settings.startDay = settings.endDay = settings.startMonth = 1;
    settings.endMonth = 2;
    settings.startYear = settings.endYear = 2000;
    settings.gridStore = &store;
    settings.outputCodes = outputCodes.data();
    settings.outputCodeCount = kOutputCodeTableSize;
}

std::unique_ptr<meteointerpol> InterpolatorTest::Make(const std::string& name, unsigned* error) {
    int index = 1;
    while (index < 1000 && (store[index].hasFileName || store[index].hasInternalName)) ++index;
    auto ip = std::make_unique<meteointerpol>(*error, log.get(), name, settings, index);
    return ip;
}

}  // namespace meteo_test
