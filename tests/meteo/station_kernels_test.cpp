// The station kernels give, bit for bit, what plain one-cell-at-a-time loops give: inverse
// distance (weight 2, maximum distance, a station on the cell) and the nearest station (the
// later one on equal distance), on runs of cells that fill whole blocks and that end in a part.
#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "meteo/station_kernels.hpp"

namespace {

struct Case {
    std::vector<double> sx, sy, sv, cx, cy;
    meteo_kernel::IdwStations stations;

    Case(int stationCount, int cells, double maxDistance) {
        std::mt19937 gen(49);
        std::uniform_real_distribution<double> u(0.0, 1000.0);
        for (int k = 0; k < stationCount; ++k) {
            // Stations on a 50 m raster, so that cells on the same raster meet some of them.
            sx.push_back(50.0 * static_cast<int>(u(gen) / 50.0));
            sy.push_back(50.0 * static_cast<int>(u(gen) / 50.0));
            sv.push_back(u(gen) / 100.0 - 3.0);
        }
        for (int i = 0; i < cells; ++i) {
            const bool onStation = i % 7 == 3 && stationCount > 0;
            cx.push_back(onStation ? sx[static_cast<std::size_t>(i % stationCount)] : u(gen));
            cy.push_back(onStation ? sy[static_cast<std::size_t>(i % stationCount)] : u(gen));
        }
        stations.x = sx.data();
        stations.y = sy.data();
        stations.value = sv.data();
        stations.count = stationCount;
        stations.maxDistance2 = maxDistance * maxDistance;
        stations.colocatedWeight = 1.0;
        stations.missing = -9999.0;
    }

    double PlainInverseDistance(std::size_t i) const {
        double sum = 0, weightSum = 0;
        for (std::size_t k = 0; k < sv.size(); ++k) {
            const double dx = sx[k] - cx[i], dy = sy[k] - cy[i];
            const double d2 = dx * dx + dy * dy;
            const double w = d2 == 0 ? stations.colocatedWeight : d2 <= stations.maxDistance2 ? 1.0 / d2 : 0.0;
            weightSum += w;
            sum += w * sv[k];
        }
        return weightSum == 0 ? stations.missing : sum / weightSum;
    }

    double PlainNearest(std::size_t i) const {
        double best = 1e20, value = stations.missing;
        for (std::size_t k = 0; k < sv.size(); ++k) {
            const double dx = sx[k] - cx[i], dy = sy[k] - cy[i];
            const double d2 = dx * dx + dy * dy;
            if (d2 <= best) {
                best = d2;
                value = sv[k];
            }
        }
        return value;
    }
};

std::uint64_t Bits(double x) { return std::bit_cast<std::uint64_t>(x); }

TEST(StationKernels, SameAsPlainLoopsBitForBit) {
    for (const int cells : {1, 7, 8, 64, 203}) {
        for (const double reach : {1e9, 150.0}) {
            Case c(37, cells, reach);
            std::vector<double> idw(static_cast<std::size_t>(cells)), nearest(static_cast<std::size_t>(cells));
            meteo_kernel::InverseDistanceSquared(c.stations, c.cx.data(), c.cy.data(), cells, idw.data());
            meteo_kernel::NearestStation(c.stations, c.cx.data(), c.cy.data(), cells, nearest.data());
            int missing = 0;
            for (std::size_t i = 0; i < idw.size(); ++i) {
                EXPECT_EQ(Bits(idw[i]), Bits(c.PlainInverseDistance(i))) << cells << " cells, cell " << i;
                EXPECT_EQ(Bits(nearest[i]), Bits(c.PlainNearest(i))) << cells << " cells, cell " << i;
                missing += idw[i] == c.stations.missing;
            }
            // A short reach leaves some cells without a station, a long one none.
            if (reach > 1e6) {
                EXPECT_EQ(missing, 0);
            }
        }
    }
}

TEST(StationKernels, NoStationGivesTheMissingValue) {
    Case c(0, 9, 1e9);
    std::vector<double> idw(9), nearest(9);
    meteo_kernel::InverseDistanceSquared(c.stations, c.cx.data(), c.cy.data(), 9, idw.data());
    meteo_kernel::NearestStation(c.stations, c.cx.data(), c.cy.data(), 9, nearest.data());
    for (std::size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(idw[i], -9999.0);
        EXPECT_EQ(nearest[i], -9999.0);
    }
}

}  // namespace
