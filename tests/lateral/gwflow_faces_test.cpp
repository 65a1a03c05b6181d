// The faces a groundwater step computes: each face's transmissivity comes from the start heads,
// tops, thicknesses (thawed or not frozen), conductivities and glacier fractions of the two
// cells it joins, whichever thread computes the row and in whatever order the rows come.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "gwflow_fixture.hpp"
#include "lateral/gwflow_numerics.hpp"

using namespace gwtest;

namespace {

class GwFaces : public GwDomain {
protected:
    static constexpr int kRows = 30, kCols = 17;

    // Two zones (the second in the east of rows 6 to 25), cells outside the basin at the rows'
    // ends and a whole row outside, heads from far below the top to above it (some exactly at
    // the confined limit), glacier fractions from below 0 to above 1, and conductivities, layer
    // thicknesses and thaw depths (or frozen parts) varying from cell to cell.
    void VariedFaces(bool frozen) {
        Init(kRows, kCols, 100.0, 4.0);
        index_[2] = 2;
        records_.push_back({0, 0, 2, 0.5, 0});
        s_.zoneCount = 2;
        s_.maxZoneCode = 2;
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                if (r >= 6 && r <= 25 && c > 11) zone_[r][c] = 2;
                if ((c == 1 && r % 4 == 0) || (c == kCols && r % 5 == 1) || r == 14) zone_[r][c] = -9999;
            }
        StandardGrids(2, 10, -1, 1e-4, 2e-3, 6.0);
        Grid("GlacierizedCells", 0);
        if (frozen) {
            Grid("ThawDepthTMod", 0);
            Grid("frozenSoilInGroundwater", 0);
        } else {
            Grid("PermafrostThawDepth", 0);
            Grid("SnowFreeDaysGrid", 0);
            Grid("ThawCoeffPermaFrost", 0);
        }
        Matrix& depth = Find(frozen ? "frozenSoilInGroundwater" : "PermafrostThawDepth");
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                const double v = std::sin(0.53 * r + 0.29 * c * c);
                Find("groundwater_distance")[r][c] = (r + c) % 7 == 0 ? 0.01 : -2.5 + 2.8 * v;
                Find("gw_k_x_1")[r][c] = (r * c) % 11 == 0 ? 1e-9 : 1e-4 * (1.2 + v);
                Find("gw_k_y_1")[r][c] = 1e-4 * (1.2 - v);
                Find("gw_k_x_2")[r][c] = 2e-5 * (2 + std::cos(0.3 * r * c));
                Find("gw_k_y_2")[r][c] = 2e-5 * (2 + v);
                Find("aquifer_thickness_1")[r][c] = 5 + v;
                Find("GlacierizedCells")[r][c] = (r + 2 * c) % 9 == 0 ? 1.5 : ((r + c) % 6 == 0 ? 0.4 * v : 0.0);
                depth[r][c] = (r + c) % 5 == 0 ? -9999 : 3 + 3 * v;
            }
    }

    // The transmissivities of both layers' faces after a step, recomputed here face by face from
    // the grids, the start heads and the layer tops; returns the faces that differ in any bit.
    int FacesThatDiffer(const gwflowclass& g, bool frozen, int flow) {
        const Matrix& ice = Find("GlacierizedCells");
        const Matrix& depth = Find(frozen ? "frozenSoilInGroundwater" : "PermafrostThawDepth");
        int differ = 0;
        for (int l = 1; l <= 2; ++l) {
            const auto& L = g.layers[static_cast<std::size_t>(l)];
            const std::string n = std::to_string(l);
            const Matrix &b = Find("aquifer_thickness_" + n), &kx = Find("gw_k_x_" + n), &ky = Find("gw_k_y_" + n);
            auto side = [&](int r, int c, const Matrix& k) {
                double effective = b[r][c];
                if (l == 1 && depth[r][c] > -9999)
                    effective = frozen ? std::max(0.0, b[r][c] - depth[r][c]) : std::min(depth[r][c], b[r][c]);
                return gwnum::FaceCell{L.headOld[r][c], L.top[r][c], effective, b[r][c], k[r][c],
                                       std::clamp(ice[r][c], 0.0, 1.0)};
            };
            auto joins = [&](int r, int c, int r2, int c2) {
                return r2 <= kRows && c2 <= kCols && zone_[r2][c2] != -9999 && (flow != 3 || zone_[r][c] == zone_[r2][c2]);
            };
            for (int r = s_.firstRow; r <= s_.lastRow; ++r)
                for (int c = 1; c <= kCols; ++c) {
                    double tx = 0, ty = 0;
                    if (zone_[r][c] != -9999 && ice[r][c] < 1) {
                        const gwnum::FaceCell east = joins(r, c, r, c + 1) ? side(r, c + 1, kx) : gwnum::FaceCell{};
                        const gwnum::FaceCell south = joins(r, c, r + 1, c) ? side(r + 1, c, ky) : gwnum::FaceCell{};
                        tx = gwnum::FaceTransmissivity(side(r, c, kx), joins(r, c, r, c + 1) ? &east : nullptr, false);
                        ty = gwnum::FaceTransmissivity(side(r, c, ky), joins(r, c, r + 1, c) ? &south : nullptr, true);
                    }
                    differ += std::memcmp(&tx, &L.tx[r][c], sizeof tx) != 0;
                    differ += std::memcmp(&ty, &L.ty[r][c], sizeof ty) != 0;
                }
        }
        return differ;
    }
};

}  // namespace

TEST_F(GwFaces, EachFaceJoinsTheValuesOfItsTwoCellsWhicheverThreadComputesItsRows) {
    // One thread takes each row's cells over from the row above; a team with rows dealt out one
    // by one never can, a team with blocks of rows can within its blocks. Every way must give the
    // faces of the cells they join, over two steps (the second from the heads the first left).
    const std::int64_t oldThreshold = gwnum::threadedCells;
    gwnum::threadedCells = 60;
    omp_sched_t oldKind;
    int oldChunk = 0;
    omp_get_schedule(&oldKind, &oldChunk);
    const int oldThreads = omp_get_max_threads();
    // Each way of dealing the rows with thawed and frozen layers, zones joined and separate.
    struct Case {
        bool frozen;
        int flow, threads;
        omp_sched_t kind;
        int chunk;
    };
    for (const Case k : {Case{false, 1, 1, omp_sched_static, 0}, Case{true, 3, 3, omp_sched_static, 1},
                         Case{false, 3, 3, omp_sched_static, 0}, Case{true, 1, 2, omp_sched_dynamic, 2}}) {
        const bool frozen = k.frozen;
        const int flow = k.flow;
        VariedFaces(frozen);
        Section sec;
        sec.layers = 2;
        sec.flow = flow;
        // The faces come from the start heads: a few sweeps do.
        sec.maxiter = 5;
        auto g = MakeOk(sec);
        omp_set_num_threads(k.threads);
        omp_set_schedule(k.kind, k.chunk);
        for (int day = 1; day <= 2; ++day) {
            Step(*g, day);
            EXPECT_EQ(FacesThatDiffer(*g, frozen, flow), 0)
                << (frozen ? "frozen" : "thawed") << ", flow " << flow << ", " << k.threads << " threads, chunk "
                << k.chunk << ", day " << day;
        }
        omp_set_num_threads(oldThreads);
        omp_set_schedule(oldKind, oldChunk);
        grids_.clear();
        for (int i = 2; i < 1000; ++i) store_[i] = GridStoreEntry{};
    }
    gwnum::threadedCells = oldThreshold;
}
