#include "etp_fixture.hpp"

#include <gtest/gtest.h>
#include <mpi.h>

#include <vector>

namespace etp_test {

std::string Section::Text() const {
    std::string t = "[evapotranspiration]\n1 flow control\n" + std::to_string(step) + " time step\n" +
                    std::to_string(method) + " method\n" + pec + "\n" + fh + "\n" + fk + " coast factor\n" +
                    etpName + " etp\n0 write\n" + etpStat + "\netr.asc\n0\n" + etrStat + "\nevap.asc\n0\n" + evapStat +
                    "\nevapr.asc\n0\n" + evapRealStat + "\nsnowevap.asc\n0\nsnowevap.stat 0\neip.asc\n0\n" +
                    eipStat + "\n" + rgexStat + "\n" +
                    c + " radiation coefficients\n" + cs + " sunshine coefficients\n" + tau + " transmissivity\n" +
                    "1000 scale height\n";
    for (int m = 1; m <= 12; ++m)
        t += StrFormat("%.17g amplitude\n", amplitudes.empty() ? amplitude : amplitudes[static_cast<std::size_t>(m - 1)]);
    t += fdv + " fraction of the day\n" + cloudLine + "\n\n";
    return t;
}

Matrix& EtpTest::Put(const std::string& name, double value, int rows, int cols) {
    memory_handling mh;
    Matrix& m = grids_[name];
    m = mh.matrix(1, rows, 1, cols, rows);
    m.fill(value);
    int index = 2;
    while (store_[index].hasFileName || store_[index].hasInternalName) ++index;
    GridStoreEntry& e = store_[index];
    e.grid = &m;
    e.fileName = name;
    e.hasFileName = true;
    e.internalName = name;
    e.hasInternalName = true;
    return m;
}

void EtpTest::PutRowResponseUnits(std::vector<HydrologicResponseUnit>& units) {
    settings_.spinUpSwitch = 1;
    units.assign(5, HydrologicResponseUnit{});
    Matrix& unit = Put("HydrologicResponseUnits", 0);
    Matrix& master = Put("MasterHydrologicResponseUnits", -9999);
    for (int r = 1; r <= 4; ++r) {
        int first = 0;
        for (int c = 5; c >= 1; --c) {
            unit[r][c] = r;
            if (submodel_test::kZones[r - 1][c - 1] != -9999) first = c;
        }
        units[static_cast<std::size_t>(r)].row = r;
        units[static_cast<std::size_t>(r)].column = first;
        master[r][first] = 1;
    }
    settings_.responseUnits = &units;
}

void EtpTest::PutStandardInputs(int method, double T) {
    Put("temperature", T);
    Put("[elevation_model]", 500);
    Put("landuse1", 1);
    Put("albedo", 0.2);
    if (method == 4) {
        Put("temperature_14", T);
        Put("air_humidity_14", 0.5);
    }
    if (method != 1) return;
    Put("wind_speed", 2);
    Put("air_humidity", 0.6);
    for (const char* n : {"leaf_area_index1", "root_depth1", "vegetation_coverage_degree1", "SurfaceCanopyResistance1",
                          "SurfaceIntercepResistance1", "RoughnessLength1"})
        Put(n, 0);
    Grid("leaf_area_index1").fill(3);
    Grid("root_depth1").fill(0.5);
    Grid("vegetation_coverage_degree1").fill(0.9);
    Grid("SurfaceCanopyResistance1").fill(70);
    Grid("RoughnessLength1").fill(0.1);
    Put("SurfaceEvaporationResistance", 250);
}

std::unique_ptr<verdunstungsmodellklasse> EtpTest::Make(const Section& s, unsigned& error, const std::string& extra) {
    submodel_test::WriteShared("test.ctl", submodel_test::ControlFile(s.Text(), extra));
    return std::make_unique<verdunstungsmodellklasse>(error, log_.get(), settings_);
}

std::unique_ptr<verdunstungsmodellklasse> EtpTest::Make(const Section& s) {
    unsigned error = 99;
    auto m = Make(s, error);
    EXPECT_EQ(error, 0u) << console_.str();
    return m;
}

int EtpTest::FindGridInStore(const std::string& name) const {
    for (int i = 1; i <= GridStore::kMaxIndex; ++i)
        if (store_[i].hasInternalName && store_[i].internalName == name && store_[i].grid != nullptr) return i;
    return 0;
}

void EtpTest::Hide(const std::string& name) {
    const int i = FindGridInStore(name);
    if (i > 0) store_[i].internalName = "hidden_" + name;
}

void EtpTest::ForOwnCells(const std::function<void(int, int)>& f) const {
    for (int r = settings_.firstRow; r <= settings_.lastRow; ++r)
        for (int c = 1; c <= 5; ++c)
            if (submodel_test::kZones[r - 1][c - 1] != -9999) f(r, c);
}

void EtpTest::ExpectLastZoneMeans(const std::string& file, const std::function<double(int, int)>& weighted,
                                  const std::function<double(int, int)>& weight, double rounding) const {
    // Sums of the weighed values at 0..3 and of the weights at 4..7: the basin, then zones 3, 5, 9.
    std::vector<double> sums(8, 0.0), all(8, 0.0);
    ForOwnCells([&](int r, int c) {
        const double code = submodel_test::kZones[r - 1][c - 1];
        for (const std::size_t z : {std::size_t{0}, std::size_t{code == 3 ? 1u : code == 5 ? 2u : 3u}}) {
            sums[z] += weighted(r, c);
            sums[4 + z] += weight(r, c);
        }
    });
    MPI_Allreduce(sums.data(), all.data(), 8, MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    if (talvo_test::Rank() != 0) return;
    const std::vector<double> v = LastRowOf(file);
    ASSERT_EQ(v.size(), 8u) << file;
    for (std::size_t z = 1; z <= 4; ++z)
        EXPECT_NEAR(v[3 + z], all[z % 4] / all[4 + z % 4], rounding) << file << " column " << z;
}

}  // namespace etp_test
