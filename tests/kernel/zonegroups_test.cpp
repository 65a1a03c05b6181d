// Zone statistics added by a team of threads in groups of zones: every record must get the sums
// of one thread adding the cells in row order, bit for bit, whatever the number of threads and
// however the zones outnumber the threads or lie outside the statistics.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "kernel/zonegroups.hpp"
#include "kernel/zonestat.hpp"
#include "kernel_fixture.hpp"

namespace {

constexpr int kRows = 37, kCols = 29;

class ZoneGroupTest : public talvo_test::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        weights_ = memory_.matrix(1, kRows, 1, kCols, kRows);
        values_ = memory_.matrix(1, kRows, 1, kCols, kRows);
        zones_.assign(static_cast<std::size_t>(kRows) * (kCols + 1), -1);
        for (int r = 1; r <= kRows; ++r)
            for (int c = 1; c <= kCols; ++c) {
                // Weights and values of very different sizes, so that another order of the
                // additions would change the sums' last bits; a few cells without a weight.
                weights_[r][c] = (r * 7 + c) % 11 == 0 ? -9999.0 : 0.5 + ((r * 13 + c * 5) % 17) / 7.0;
                values_[r][c] = std::ldexp(1.0 + ((r * 31 + c * 17) % 97) / 97.0, (r * c) % 40 - 20);
                // Zones 0..40 scattered over the cells, some cells outside every zone (-1) and
                // some beyond the zones of the smaller statistic.
                const int z = (r * 5 + c * 3) % 44 - 2;
                Zone(r, c) = z;
            }
    }
    int& Zone(int r, int c) {
        return zones_[static_cast<std::size_t>(r - 1) * (kCols + 1) + static_cast<std::size_t>(c)];
    }
    std::unique_ptr<zonalstatistic> Make(std::vector<zoneFZT>& records, int zones) {
        records.assign(static_cast<std::size_t>(zones) + 1, zoneFZT{});
        int error = -1;
        auto s = std::make_unique<zonalstatistic>(&error, log_.get(), &weights_, kRows, kCols, records.data(), zones,
                                                  4001, 3, "stat.txt", "", 0, std::vector<int>{});
        EXPECT_EQ(error, 0);
        return s;
    }
    // Each cell adds value (or value / 2 with weight 3 for the second statistic) in row order,
    // on one thread, through the row adder.
    void AddSerially(const zonalstatistic& s, int k) {
        for (int r = 1; r <= kRows; ++r) {
            if (r == 5) continue;  // a row without own cells
            s.Row(r).AddCells(1, kCols, &Zone(r, 0), [&](int c, auto&& to) { Add(k, values_[r][c], to); });
        }
    }
    template <class To>
    static void Add(int k, double value, To&& to) {
        if (k == 0) {
            to(value, 1.0);
        } else {
            to(value / 2, 3.0);
            to(-value, 0.25);
        }
    }
    static bool SameBits(const std::vector<zoneFZT>& a, const std::vector<zoneFZT>& b) {
        return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(zoneFZT)) == 0;
    }

    memory_handling memory_;
    Matrix weights_, values_;
    std::vector<int> zones_;
};

TEST_F(ZoneGroupTest, GroupsOfZonesGiveTheSumsOfOneThreadInRowOrder) {
    std::vector<zoneFZT> oneMany, oneFew;
    auto many = Make(oneMany, 40);
    auto few = Make(oneFew, 5);
    AddSerially(*many, 0);
    AddSerially(*few, 1);
    // The order matters: the rows added bottom-up give other sums.
    std::vector<zoneFZT> upward;
    auto reversed = Make(upward, 40);
    for (int r = kRows; r >= 1; --r)
        if (r != 5) reversed->Row(r).AddCells(1, kCols, &Zone(r, 0), [&](int c, auto&& to) { to(values_[r][c], 1.0); });
    EXPECT_FALSE(SameBits(oneMany, upward));

    const int before = omp_get_max_threads();
    for (const int threads : {1, 3, 8}) {
        omp_set_num_threads(threads);
        std::vector<zoneFZT> teamMany, teamFew;
        auto a = Make(teamMany, 40);
        auto b = Make(teamFew, 5);
        ZoneGroupTasks tasks;
        // Twice with the same tasks: the second run adds onto the first's sums.
        for (int round = 0; round < 2; ++round)
            tasks.Run({a.get(), b.get()}, 1, kRows,
                      [&](int r) {
                          return r == 5 ? ZoneGroupTasks::RowZones{} : ZoneGroupTasks::RowZones{&Zone(r, 0), 1, kCols};
                      },
                      [&](int s, int r) { return [&, s, r](int c, auto&& to) { Add(s, values_[r][c], to); }; });
        std::vector<zoneFZT> twiceMany, twiceFew;
        auto c = Make(twiceMany, 40);
        auto d = Make(twiceFew, 5);
        for (int round = 0; round < 2; ++round) {
            AddSerially(*c, 0);
            AddSerially(*d, 1);
        }
        EXPECT_TRUE(SameBits(teamMany, twiceMany)) << threads << " threads";
        EXPECT_TRUE(SameBits(teamFew, twiceFew)) << threads << " threads";
        for (auto* s : {a.get(), b.get(), c.get(), d.get()}) s->Release();
    }
    omp_set_num_threads(before);
    // Zones -1, -2 and those beyond a statistic's last zone add nothing: zone 0 and the last
    // zone of the smaller statistic got cells, and the records hold only the cells of their zone.
    EXPECT_GT(oneFew[0].n, 0.0);
    EXPECT_GT(oneFew[5].n, 0.0);
    int cellsOfZone3 = 0;
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) cellsOfZone3 += r != 5 && Zone(r, c) == 3 ? 1 : 0;
    EXPECT_EQ(oneMany[3].n, cellsOfZone3);
    for (auto* s : {many.get(), few.get(), reversed.get()}) s->Release();
}

// Zones in patches, as subbasins lie: a group's zones take only some rows and a stretch of each,
// so a task walks only those stretches and must still find every cell of its zones.
TEST_F(ZoneGroupTest, ZonesInPatchesGiveTheSumsOfOneThreadInRowOrder) {
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) Zone(r, c) = (r - 1) / 9 * 4 + (c - 1) / 8 + (c == 3 ? -1 : 0);
    std::vector<zoneFZT> serial;
    auto one = Make(serial, 16);
    AddSerially(*one, 1);
    const int before = omp_get_max_threads();
    for (const int threads : {2, 3, 8}) {
        omp_set_num_threads(threads);
        std::vector<zoneFZT> team;
        auto a = Make(team, 16);
        ZoneGroupTasks tasks;
        tasks.Run({a.get()}, 1, kRows,
                  [&](int r) {
                      return r == 5 ? ZoneGroupTasks::RowZones{} : ZoneGroupTasks::RowZones{&Zone(r, 0), 1, kCols};
                  },
                  [&](int, int r) { return [&, r](int c, auto&& to) { Add(1, values_[r][c], to); }; });
        EXPECT_TRUE(SameBits(team, serial)) << threads << " threads";
        a->Release();
    }
    omp_set_num_threads(before);
    EXPECT_GT(serial[16].n, 0.0);
    one->Release();
}

// Zones that stay from call to call: the stretches found once serve the later calls of the same
// rows and groups, and are found anew when the team or the rows change.
TEST_F(ZoneGroupTest, KeptStretchesServeOnlyTheRowsAndGroupsTheyWereFoundFor) {
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c) Zone(r, c) = (r - 1) / 9 * 4 + (c - 1) / 8 + (c == 3 ? -1 : 0);
    struct Call {
        int threads, first, last;
        bool zonesAsBefore;
    };
    const Call calls[] = {{3, 1, kRows, false}, {3, 1, kRows, true}, {8, 1, kRows, true},
                          {8, 1, kRows, true},  {8, 11, 30, true},   {3, 11, 30, true}};
    std::vector<zoneFZT> team, serial;
    auto a = Make(team, 16);
    auto one = Make(serial, 16);
    ZoneGroupTasks tasks;
    const int before = omp_get_max_threads();
    for (const Call& call : calls) {
        omp_set_num_threads(call.threads);
        tasks.Run({a.get()}, call.first, call.last,
                  [&](int r) { return ZoneGroupTasks::RowZones{&Zone(r, 0), 1, kCols}; },
                  [&](int, int r) { return [&, r](int c, auto&& to) { Add(1, values_[r][c], to); }; },
                  call.zonesAsBefore);
        for (int r = call.first; r <= call.last; ++r)
            one->Row(r).AddCells(1, kCols, &Zone(r, 0), [&](int c, auto&& to) { Add(1, values_[r][c], to); });
        EXPECT_TRUE(SameBits(team, serial)) << call.threads << " threads, rows " << call.first << ".." << call.last;
    }
    omp_set_num_threads(before);
    a->Release();
    one->Release();
}

// Statistics of grids with zones of their own (the inputs of a step, each with its grid of
// zones) in one team run: each statistic gets the sums of one thread over its own zones, with
// stretches found for each, and found anew when the statistics change.
TEST_F(ZoneGroupTest, StatisticsWithZonesOfTheirOwnGiveTheSumsOfOneThreadEach) {
    std::vector<int> patches(zones_.size(), -1);
    for (int r = 1; r <= kRows; ++r)
        for (int c = 1; c <= kCols; ++c)
            patches[static_cast<std::size_t>(r - 1) * (kCols + 1) + static_cast<std::size_t>(c)] =
                (r - 1) / 9 * 4 + (c - 1) / 8 + (c == 3 ? -1 : 0);
    const auto patchRow = [&](int r) { return &patches[static_cast<std::size_t>(r - 1) * (kCols + 1)]; };
    std::vector<zoneFZT> serialScattered, serialPatches;
    auto one = Make(serialScattered, 40);
    auto two = Make(serialPatches, 16);
    const int before = omp_get_max_threads();
    for (int round = 0; round < 2; ++round) {
        AddSerially(*one, 0);
        for (int r = 1; r <= kRows; ++r)
            two->Row(r).AddCells(1, kCols, patchRow(r), [&](int c, auto&& to) { Add(1, values_[r][c], to); });
    }
    for (const int threads : {2, 3, 8}) {
        omp_set_num_threads(threads);
        std::vector<zoneFZT> scattered, patched, alone;
        auto a = Make(scattered, 40);
        auto b = Make(patched, 16);
        auto c = Make(alone, 16);
        ZoneGroupTasks tasks;
        // Twice together (the second with the stretches kept), then a statistic of the patches
        // alone twice with the same tasks, told that the zones are as before: its stretches must
        // be found for it, not taken from the pair.
        for (int round = 0; round < 4; ++round) {
            std::vector<const zonalstatistic*> statistics = {a.get(), b.get()};
            if (round >= 2) statistics = {c.get()};
            tasks.Run(statistics, 1, kRows,
                      [&](int s, int r) {
                          if (round >= 2 || s == 1) return ZoneGroupTasks::RowZones{patchRow(r), 1, kCols};
                          return r == 5 ? ZoneGroupTasks::RowZones{} : ZoneGroupTasks::RowZones{&Zone(r, 0), 1, kCols};
                      },
                      [&](int s, int r) {
                          const int k = round >= 2 ? 1 : s;
                          return [&, k, r](int col, auto&& to) { Add(k, values_[r][col], to); };
                      },
                      round >= 1);
        }
        EXPECT_TRUE(SameBits(scattered, serialScattered)) << threads << " threads";
        EXPECT_TRUE(SameBits(patched, serialPatches)) << threads << " threads";
        EXPECT_TRUE(SameBits(alone, serialPatches)) << threads << " threads";
        for (auto* s : {a.get(), b.get(), c.get()}) s->Release();
    }
    omp_set_num_threads(before);
    one->Release();
    two->Release();
}

}  // namespace
