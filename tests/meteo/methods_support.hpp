#pragma once
// Station files of any layout for the method tests, and the per-cell checks against values
// worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "interpolator_fixture.hpp"

namespace meteo_test {

struct StationPoint {
    double x, y, z;
};

// Lines 1 to 5 of a station file with these stations.
inline std::string StationHeaderOf(const std::vector<StationPoint>& stations) {
    std::ostringstream s;
    s << std::setprecision(15) << "stations\nYY MM DD HH";
    for (const auto& p : stations) s << ' ' << p.z;
    s << "\nYY MM DD HH";
    for (const auto& p : stations) s << ' ' << p.x;
    s << "\nYY MM DD HH";
    for (const auto& p : stations) s << ' ' << p.y;
    s << "\nfifth\n";
    return s.str();
}

// The record of 1 January 2000 at the given hour.
inline std::string RecordOf(int hour, const std::vector<double>& values) {
    std::ostringstream s;
    s << std::setprecision(15) << "2000 1 1 " << hour;
    for (double v : values) s << ' ' << v;
    s << '\n';
    return s.str();
}

// Inverse-distance weighting with weight 2 over the valid stations (a station at the point
// gets weight 1).
inline double IdwByHand(double x, double y, const std::vector<StationPoint>& stations,
                        const std::vector<double>& values) {
    double sum = 0, weights = 0;
    for (std::size_t k = 0; k < stations.size(); ++k) {
        if (values[k] < -9999) continue;
        const double d2 = (stations[k].x - x) * (stations[k].x - x) + (stations[k].y - y) * (stations[k].y - y);
        const double w = d2 == 0 ? 1.0 : 1.0 / d2;
        sum += w * values[k];
        weights += w;
    }
    return sum / weights;
}

class MethodTest : public InterpolatorTest {
protected:
    // An interpolator "temperature" of the method over the station files and the lines that
    // follow them in the section; nullptr (with a failed expectation) when it cannot be built.
    std::unique_ptr<meteointerpol> Build(int method, const std::string& stationFile, const std::string& otherLines,
                                         const SectionValues& v = {}) {
        Share("st.dat", stationFile);
        Share("test.ctl", Section("temperature", method, "st.dat\n" + otherLines, v));
        unsigned error = 0;
        auto ip = Make("temperature", &error);
        EXPECT_EQ(error, 0u) << Console();
        return error == 0 ? std::move(ip) : nullptr;
    }
    unsigned BuildError(int method, const std::string& stationFile, const std::string& otherLines,
                        const SectionValues& v = {}) {
        Share("st.dat", stationFile);
        Share("test.ctl", Section("temperature", method, "st.dat\n" + otherLines, v));
        unsigned error = 0;
        Make("temperature", &error);
        return error;
    }
    static void Step(meteointerpol& ip) {
        std::int64_t h, d, m, y;
        ip.GetDate(&h, &d, &m, &y);
        ip.run(h, d, m, y);
        ip.AdvanceRecords();
    }
    // Every own basin cell of the result is within 1e-9 of expected(r, c).
    template <class F>
    void ExpectNear(const meteointerpol& ip, F expected) const {
        for (int r = settings.firstRow; r <= settings.lastRow; ++r)
            for (int c = 1; c <= kCols; ++c) {
                const double want = InBasin(r, c) ? expected(r, c) : -9999.0;
                EXPECT_NEAR(ip.ResultGrid()[r][c], want, 1e-9) << "row " << r << " column " << c;
            }
    }
    bool Holds(int r) const { return r >= settings.firstRow && r <= settings.lastRow; }
    // Cell (r, c) of the result, checked by the process that holds row r.
    void ExpectCell(const meteointerpol& ip, int r, int c, double want, double tolerance = 1e-12) const {
        if (!Holds(r)) return;
        EXPECT_NEAR(ip.ResultGrid()[r][c], want, tolerance) << "row " << r << " column " << c;
    }
    double Cell(const meteointerpol& ip, int r, int c) const { return ip.ResultGrid()[r][c]; }
    // The strip table "MPIHelper" of the row transfers (whole rows: the owner and the length on
    // process 0, the first column and the length elsewhere) in the store, so that grids read from
    // files reach every process's rows and process 0 gathers the grids it writes.
    void InstallRowHelper() {
        memory_handling mh;
        rowHelper_ = mh.matrix(1, kRows, 1, kCols, kRows);
        rowHelper_.fill(0);
        for (int r = 1; r <= kRows; ++r) {
            rowHelper_[r][1] = talvo_test::Rank() == 0 ? regions[r][1] : 1;
            rowHelper_[r][2] = kCols;
        }
        int i = 1;
        while (store[i].hasFileName || store[i].hasInternalName) ++i;
        store[i].grid = &rowHelper_;
        store[i].fileName = store[i].internalName = "MPIHelper";
        store[i].hasFileName = store[i].hasInternalName = true;
    }

private:
    Matrix rowHelper_;
};

}  // namespace meteo_test
