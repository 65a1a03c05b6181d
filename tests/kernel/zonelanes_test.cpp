// The lanes of zone sums shared among a team: every (output, zone) lane has exactly one thread,
// whatever the team's size, the outputs past 64 and the zones below 0; and the outputs of one
// zone spread over the whole team, so that no thread walks the cells for nothing.
#include <gtest/gtest.h>

#include <vector>

#include "kernel/zonelanes.hpp"

namespace {

TEST(ZoneLanesTest, EveryLaneHasOneThreadAndTheTeamShares) {
    for (int threads = 1; threads <= 9; ++threads) {
        std::vector<ZoneLaneShare> team;
        for (int t = 0; t < threads; ++t) team.emplace_back(t, threads);
        for (int zone : {-2, -1, 0, 1, 2, 3, 7, 8, 9, 63, 64, 1000}) {
            std::vector<int> lanesOf(static_cast<std::size_t>(threads), 0);
            for (ZoneLaneShare& s : team) s.Zone(zone);
            for (int k = 0; k < 150; ++k) {
                int owners = 0;
                for (int t = 0; t < threads; ++t) {
                    if (!team[static_cast<std::size_t>(t)].Owns(k)) continue;
                    ++owners;
                    if (k < threads) ++lanesOf[static_cast<std::size_t>(t)];
                }
                ASSERT_EQ(owners, 1) << threads << " threads, zone " << zone << ", output " << k;
            }
            // The first `threads` outputs of a zone go to different threads.
            for (int n : lanesOf) EXPECT_EQ(n, 1) << threads << " threads, zone " << zone;
        }
    }
}

}  // namespace
