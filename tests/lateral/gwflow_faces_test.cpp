// Each face of a groundwater step joins the start heads, tops, thawed thicknesses, conductivities
// and glacier fractions of its own two cells, whichever thread computes a row and in whatever
// order the rows come.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>

#include "gwflow_fixture.hpp"
#include "lateral/gwflow_numerics.hpp"

using namespace gwtest;

namespace {

class GwFaces : public GwDomain {};

}  // namespace

TEST_F(GwFaces, EachFaceJoinsTheValuesOfItsTwoCellsWhicheverThreadComputesItsRows) {
    // One thread takes each row's cells over from the row above; a team dealt rows one by one
    // never can, a team dealt blocks of rows can within its blocks.
    const int rows = 30, cols = 17;
    const std::int64_t oldThreshold = gwnum::threadedCells;
    gwnum::threadedCells = 60;
    const int oldThreads = omp_get_max_threads();
    omp_sched_t oldKind;
    int oldChunk = 0;
    omp_get_schedule(&oldKind, &oldChunk);
    for (const auto [flow, threads, chunk] : {std::array{1, 1, 0}, std::array{3, 3, 1}, std::array{3, 3, 0}}) {
        // Two zones, cells outside the basin at the rows' ends and a whole row outside, heads far
        // below and above the tops (some exactly at the confined limit), glacier fractions from
        // below 0 to above 1, varied conductivities, thicknesses and thaw depths.
        Init(rows, cols, 100.0, 4.0);
        index_[2] = 2;
        records_.push_back({0, 0, 2, 0.5, 0});
        s_.zoneCount = 2;
        s_.maxZoneCode = 2;
        grids_.clear();
        for (int i = 2; i < 1000; ++i) store_[i] = GridStoreEntry{};
        StandardGrids(2, 10, -1, 1e-4, 2e-3, 6.0);
        Matrix &ice = Grid("GlacierizedCells", 0), &thaw = Grid("PermafrostThawDepth", 0);
        Grid("SnowFreeDaysGrid", 0);
        Grid("ThawCoeffPermaFrost", 0);
        for (int r = 1; r <= rows; ++r)
            for (int c = 1; c <= cols; ++c) {
                if (r >= 6 && r <= 25 && c > 11) zone_[r][c] = 2;
                if ((c == 1 && r % 4 == 0) || (c == cols && r % 5 == 1) || r == 14) zone_[r][c] = -9999;
                const double v = std::sin(0.53 * r + 0.29 * c * c);
                Find("groundwater_distance")[r][c] = (r + c) % 7 == 0 ? 0.01 : -2.5 + 2.8 * v;
                Find("gw_k_x_1")[r][c] = (r * c) % 11 == 0 ? 1e-9 : 1e-4 * (1.2 + v);
                Find("gw_k_y_1")[r][c] = 1e-4 * (1.2 - v);
                Find("gw_k_x_2")[r][c] = 2e-5 * (2 + std::cos(0.3 * r * c));
                Find("gw_k_y_2")[r][c] = 2e-5 * (2 + v);
                Find("aquifer_thickness_1")[r][c] = 5 + v;
                ice[r][c] = (r + 2 * c) % 9 == 0 ? 1.5 : ((r + c) % 6 == 0 ? 0.4 * v : 0.0);
                thaw[r][c] = (r + c) % 5 == 0 ? -9999 : 3 + 3 * v;
            }
        Section sec;
        sec.layers = 2;
        sec.flow = flow;
        sec.maxiter = 5;  // the faces come from the start heads
        auto g = MakeOk(sec);
        omp_set_num_threads(threads);
        omp_set_schedule(omp_sched_static, chunk);
        for (int day = 1; day <= 2; ++day) {
            Step(*g, day);
            int differ = 0;
            for (int l = 1; l <= 2; ++l) {
                const auto& L = g->layers[static_cast<std::size_t>(l)];
                const std::string n = std::to_string(l);
                const Matrix &b = Find("aquifer_thickness_" + n), &kx = Find("gw_k_x_" + n), &ky = Find("gw_k_y_" + n);
                auto cell = [&](int r, int c, const Matrix& k) {
                    const double conducting = l == 1 && thaw[r][c] > -9999 ? std::min(thaw[r][c], b[r][c]) : b[r][c];
                    return gwnum::FaceCell{L.headOld[r][c], L.top[r][c], conducting, b[r][c], k[r][c],
                                           std::clamp(ice[r][c], 0.0, 1.0)};
                };
                auto joins = [&](int r, int c, int r2, int c2) {
                    return r2 <= rows && c2 <= cols && zone_[r2][c2] != -9999 &&
                           (flow != 3 || zone_[r][c] == zone_[r2][c2]);
                };
                for (int r = s_.firstRow; r <= s_.lastRow; ++r)
                    for (int c = 1; c <= cols; ++c) {
                        double tx = 0, ty = 0;
                        if (zone_[r][c] != -9999 && ice[r][c] < 1) {
                            const bool e = joins(r, c, r, c + 1), s = joins(r, c, r + 1, c);
                            const gwnum::FaceCell east = e ? cell(r, c + 1, kx) : gwnum::FaceCell{};
                            const gwnum::FaceCell south = s ? cell(r + 1, c, ky) : gwnum::FaceCell{};
                            tx = gwnum::FaceTransmissivity(cell(r, c, kx), e ? &east : nullptr, false);
                            ty = gwnum::FaceTransmissivity(cell(r, c, ky), s ? &south : nullptr, true);
                        }
                        differ += std::memcmp(&tx, &L.tx[r][c], sizeof tx) != 0;
                        differ += std::memcmp(&ty, &L.ty[r][c], sizeof ty) != 0;
                    }
            }
            EXPECT_EQ(differ, 0) << "flow " << flow << ", " << threads << " threads, chunk " << chunk << ", day "
                                 << day;
        }
        omp_set_num_threads(oldThreads);
        omp_set_schedule(oldKind, oldChunk);
    }
    gwnum::threadedCells = oldThreshold;
}
