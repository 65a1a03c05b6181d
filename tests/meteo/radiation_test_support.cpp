#include "radiation_test_support.hpp"

#include <mpi.h>

#include <algorithm>

#include "setup/mpiregions.hpp"

namespace meteo_test {

std::string RadiationSection(int method, int interval, int splittings, double scaling, int stepMinutes,
                             int writeCode) {
    const std::string code = std::to_string(writeCode);
    return "[radiation_correction]\n1 flow control\n" + std::to_string(stepMinutes) + " time step\n" +
           std::to_string(method) + " method\ntkorr.asc\n" + code + "\n" + std::to_string(scaling) +
           " scaling\nexkorr.asc\n" + code + "\nshadow.asc\n" + code + "\n" + std::to_string(interval) +
           " number if timesteps\n" + std::to_string(splittings) + " splittings\n\n";
}

void RadiationTest::SetUp() {
    DomainTest::SetUp();
    memory_handling mh;
    for (Matrix* m : {&elevation_, &slope_, &aspect_, &temperature_, &sunshine_}) *m = mh.matrix(1, 4, 1, 5, 4);
    Add(elevation_, "[elevation_model]");
    Add(slope_, "slope_angle");
    Add(aspect_, "slope_aspect");
    Add(temperature_, "temperature");
    Fill(temperature_, [](int r, int c) { return 10.0 + r + 0.1 * c; });
    settings_.latitude = 47.0;
    settings_.longitude = 15.0;
    settings_.meridian = 15.0;
}

void RadiationTest::Add(Matrix& grid, const std::string& name) {
    GridStoreEntry& e = store_[next_++];
    e.grid = &grid;
    e.fileName = name + ".asc";
    e.hasFileName = true;
    e.internalName = name;
    e.hasInternalName = true;
    e.firstRow = 1;
    e.lastRow = 4;
}

void RadiationTest::DecomposeInBands() {
    memory_handling mh;
    regions_ = mh.matrix(1, 4, 0, 5, 4);
    helper_ = mh.matrix(1, 4, 0, 5, 4);
    const int size = talvo_test::Size();
    for (int r = 1; r <= 4; ++r) {
        int owner = 0;
        for (int p = 0; p < size; ++p)
            if (r >= p * 4 / size + 1 && r <= (p + 1) * 4 / size) owner = p;
        for (int c = 0; c <= 5; ++c) {
            regions_[r][c] = owner;
            helper_[r][c] = 0;
        }
        helper_[r][1] = talvo_test::Rank() == 0 ? owner : 1;
        helper_[r][2] = 5;
    }
    Add(regions_, "MPIRegions");
    Add(helper_, "MPIHelper");
}

void RadiationTest::DecomposeCellRuns() {
    memory_handling mh;
    regions_ = mh.matrix(1, 4, 0, 5, 4);
    helper_ = mh.matrix(1, 4, 0, 5, 4);
    regions_.fill(-9999.0);
    const int size = talvo_test::Size(), rank = talvo_test::Rank();
    int cells = 0;
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) cells += submodel_test::kZones[r - 1][c - 1] != -9999 ? 1 : 0;
    int k = 0;
    settings_.firstRow = 5;
    settings_.lastRow = 0;
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) {
            if (submodel_test::kZones[r - 1][c - 1] == -9999) continue;
            const int owner = k++ * size / cells;
            regions_[r][c] = owner;
            if (owner != rank) continue;
            settings_.firstRow = std::min(settings_.firstRow, r);
            settings_.lastRow = std::max(settings_.lastRow, r);
        }
    for (int r = 1; r <= 4; ++r)
        if (rank == 0)
            BuildHelperRowAll(regions_[r], helper_[r], 5, -9999.0);
        else
            BuildHelperRowOwn(regions_[r], helper_[r], 5, rank);
    Add(regions_, "MPIRegions");
    Add(helper_, "MPIHelper");
}

std::vector<double> RadiationTest::WholeGridOfProcessZero(const std::string& name) const {
    std::vector<double> whole(20, 0.0);
    if (talvo_test::Rank() == 0)
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 5; ++c) whole[static_cast<std::size_t>((r - 1) * 5 + c - 1)] = At(name, r, c);
    MPI_Bcast(whole.data(), 20, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    return whole;
}

void RadiationTest::Fill(Matrix& grid, const std::function<double(int, int)>& value) {
    for (int r = 1; r <= 4; ++r)
        for (int c = 1; c <= 5; ++c) grid[r][c] = value(r, c);
}

std::unique_ptr<expokorrklasse> RadiationTest::Make(const std::string& section, unsigned* error) {
    submodel_test::WriteShared("test.ctl", submodel_test::ControlFile(section));
    return std::make_unique<expokorrklasse>(*error, log_.get(), settings_);
}

double RadiationTest::At(const std::string& name, int r, int c) const {
    for (int i = 1; i < 1000; ++i)
        if (store_[i].hasInternalName && store_[i].internalName == name && store_[i].grid != nullptr)
            return (*store_[i].grid)[r][c];
    ADD_FAILURE() << name << " not registered";
    return -1e300;
}

}  // namespace meteo_test
