// Translation and retention of one channel: the linear storage, the pure lag, the volume held
// in a reach and the decay of tracers on their way.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "routing/channel_pass.hpp"

using namespace routing;

namespace {

// One channel element with its delay lines (water and one tracer) and sub-channel states, set
// up as the routing fills it before the first step (all empty).
struct TestChannel {
    WQTable table;
    ChannelPassState state;
    std::vector<std::vector<double>> lines, work;
    std::vector<std::vector<double>> qaus;
    std::vector<double> qvzuq;
    std::vector<int> pos;
    std::vector<double> halfLives{0, 0};
    DecayTable decay;

    TestChannel(const WQTable& t, double cm, int nSub, double halfLife = 0) : table(t) {
        state = ChannelPassState{&table, cm, cm, 60, nSub};
        const int m = static_cast<int>(table.m);
        const auto length = static_cast<std::size_t>(nSub + (nSub + table.maxDelta) * m + 1);
        lines.assign(2, std::vector<double>(length, 0.0));
        work.assign(2, std::vector<double>(static_cast<std::size_t>(nSub + 1), 0.0));
        qaus.assign(static_cast<std::size_t>(m + 1), std::vector<double>(static_cast<std::size_t>(nSub + 1), 0.0));
        qvzuq.assign(static_cast<std::size_t>(m + 2), 0.0);
        pos.assign(static_cast<std::size_t>(m + 2), 0);
        for (int j = 1; j <= m; ++j) pos[static_cast<std::size_t>(j)] = nSub + (j - 1) * table.Stride(nSub) + table.delta[1];
        halfLives[1] = halfLife;
    }
    // Routes one step of inflow u (every sub-interval) with tracer concentration c; returns the
    // outflow per sub-interval.
    std::vector<double> Step(const std::vector<double>& u, double c = 0) {
        for (std::size_t s = 1; s < work[0].size(); ++s) {
            work[0][s] = u[s - 1];
            work[1][s] = c;
        }
        // The pass takes the water and the tracer side by side.
        std::vector<double> l, w;
        for (std::size_t y = 0; y < lines[0].size(); ++y) l.insert(l.end(), {lines[0][y], lines[1][y]});
        for (std::size_t y = 0; y < work[0].size(); ++y) w.insert(w.end(), {work[0][y], work[1][y]});
        for (int j = static_cast<int>(table.m); j >= 1; --j)
            PassSubChannel(state, j, l.data(), w.data(), 2, halfLives, decay, qaus[static_cast<std::size_t>(j)].data(),
                           qvzuq[static_cast<std::size_t>(j)], pos[static_cast<std::size_t>(j)]);
        for (std::size_t y = 0; y < lines[0].size(); ++y)
            for (std::size_t t = 0; t < 2; ++t) lines[t][y] = l[2 * y + t];
        for (std::size_t y = 0; y < work[0].size(); ++y)
            for (std::size_t t = 0; t < 2; ++t) work[t][y] = w[2 * y + t];
        return std::vector<double>(work[0].begin() + 1, work[0].end());
    }
    // Water still in the element: values waiting in the delay lines and the storages.
    double Held() const {
        const int nSub = state.nSub, S = table.Stride(nSub);
        double held = 0;
        for (int j = 1; j <= static_cast<int>(table.m); ++j) {
            for (int y = (j - 1) * S + nSub + 1; y <= pos[static_cast<std::size_t>(j)]; ++y) held += lines[0][static_cast<std::size_t>(y)];
            for (int s = 1; s <= nSub; ++s) held += state.cm / (1 - state.cm) * qaus[static_cast<std::size_t>(j)][static_cast<std::size_t>(s)];
        }
        return held;
    }
};

// A table of one discharge class with the given delay, sub-channels and no flood plain.
WQTable OneClass(int delay, double m, int nSub) {
    WQTable t;
    t.qmin = t.qmax = 10;
    t.n = 1;
    t.dln = 0;
    for (auto* col : {&t.q, &t.qmm, &t.Q, &t.v, &t.vm, &t.vf, &t.t, &t.Rm, &t.Rf, &t.dm, &t.df, &t.share}) col->assign(3, 0.0);
    t.delta.assign(3, delay);
    t.m = m;
    t.maxDelta = delay;
    t.length = static_cast<int>((nSub + delay) * m);
    return t;
}

// The table the routing builds for a channel of the given length and storage constant.
WQTable Built(double L, double km, int nSub) {
    double values[10] = {km, km, 10, 50, 1, 30, 20, 0.001, L, 100};
    WQTable t;
    EXPECT_EQ(BuildWQTable(ChannelWithDefaults(values), 10, 10, 1, 60, nSub, t), TableStatus::Ok);
    return t;
}

}  // namespace

TEST(ChannelPass, LinearStorageDecaysByItsConstant) {
    // 1 m of channel, km 5 h: 10 mm once leave as (1 - c) 10, then c times the previous outflow.
    TestChannel ch(Built(1, 5, 1), std::exp(-1.0 / 5), 1);
    ASSERT_EQ(ch.table.delta[1], 0);
    // 10 (1 - c) c^n with c = exp(-0.2): 1.8126925, 1.4841071, 1.2150841 mm.
    const double c = std::exp(-0.2);
    const double expected[] = {10 * (1 - c), 10 * (1 - c) * c, 10 * (1 - c) * c * c};
    EXPECT_NEAR(expected[0], 1.8126925, 5e-8);
    EXPECT_NEAR(expected[1], 1.4841071, 5e-8);
    std::vector<double> out;
    for (int step = 0; step < 3; ++step) {
        const double q = ch.Step({step == 0 ? 10.0 : 0.0})[0];
        EXPECT_NEAR(q, expected[step], 1e-12) << step;
        if (!out.empty()) {
            EXPECT_NEAR(q / out.back(), std::exp(-0.2), 1e-9 * std::exp(-0.2));
        }
        out.push_back(q);
    }
}

TEST(ChannelPass, StorageFreeChannelIsAPureLag) {
    // Travel time 3.6 h: with km = kf = 0.01 h the input comes back 3 steps later, unchanged.
    const double perMetre = Built(1, 0.01, 1).t[1];
    const double L = 3.6 / perMetre;
    struct Case {
        int nSub;
        int delay;
    } cases[] = {{1, 3}, {4, 14}};
    for (const Case& c : cases) {
        TestChannel ch(Built(L, 0.01, c.nSub), std::exp(-1.0 / 0.01), c.nSub);
        ASSERT_EQ(ch.table.m, 1);
        ASSERT_EQ(ch.table.delta[1], c.delay) << c.nSub;
        // Sub-interval values 1..nSub*steps in a row: each comes back delay sub-intervals later.
        std::vector<double> in, out;
        for (int step = 0; step < 8; ++step) {
            std::vector<double> u;
            for (int s = 0; s < c.nSub; ++s) u.push_back(step < 2 ? 1.0 + in.size() + u.size() : 0.0);
            in.insert(in.end(), u.begin(), u.end());
            const std::vector<double> o = ch.Step(u);
            out.insert(out.end(), o.begin(), o.end());
        }
        for (std::size_t x = 0; x < out.size(); ++x) {
            const double expected = x >= static_cast<std::size_t>(c.delay) ? in[x - static_cast<std::size_t>(c.delay)] : 0.0;
            EXPECT_NEAR(out[x], expected, 1e-12) << "nSub " << c.nSub << " sub-interval " << x;
        }
    }
}

TEST(ChannelPass, ReachHoldsWhatCameInAndDidNotLeave) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> inflow(0.0, 5.0);
    struct Case {
        int delay;
        double m;
        int nSub;
        double km;
    } cases[] = {{0, 1, 1, 5}, {3, 1, 1, 2}, {2, 3, 1, 1}, {5, 2, 4, 3}};
    for (const Case& c : cases) {
        TestChannel ch(OneClass(c.delay, c.m, c.nSub), std::exp(-1.0 / c.km), c.nSub);
        double in = 0, out = 0;
        for (int step = 0; step < 400; ++step) {
            std::vector<double> u(static_cast<std::size_t>(c.nSub), 0.0);
            if (step < 50)
                for (double& x : u) x = inflow(random);
            for (double x : u) in += x;
            for (double o : ch.Step(u)) out += o;
            ASSERT_NEAR(in - out, ch.Held(), 1e-9 * in) << "delay " << c.delay << " step " << step;
        }
        EXPECT_NEAR(out, in, 1e-9 * in) << "delay " << c.delay;
    }
}

TEST(ChannelPass, TracerDecaysOverTheDelayOnly) {
    EXPECT_EQ(ChannelDecayFactor(3, 60, 1, 0), 1.0);
    EXPECT_EQ(ChannelDecayFactor(3, 60, 1, -9999), 1.0);
    EXPECT_NEAR(ChannelDecayFactor(24, 60, 1, 1), 0.5, 1e-10);
    EXPECT_NEAR(ChannelDecayFactor(48, 60, 2, 1), 0.5, 1e-10);
    // Half-life 1 day, 12 h delay: the tracer that waits in the line shrinks by sqrt(1/2)
    // per step it moves on; its concentration in the work series stays what entered.
    TestChannel ch(OneClass(12, 1, 1), 0.5, 1, 1.0);
    ch.Step({1.0}, 8.0);
    EXPECT_EQ(ch.work[1][1], 8.0);
    EXPECT_NEAR(ch.lines[1][static_cast<std::size_t>(ch.pos[1])], 8.0 * std::exp(-0.5 / 1.442695041111), 1e-12);
}

TEST(ChannelPass, GrowingDelayLeavesAnEmptyGapAndAShorterOneJoinsTheWaitingWater) {
    // Two classes: below 20 l/s/km2 (class 1) a delay of 1, above it a delay of 3.
    WQTable t = OneClass(1, 1, 1);
    t.qmin = 10;
    t.qmax = 20;
    t.dln = std::log(2.0);
    t.delta = {0, 1, 3};
    t.maxDelta = 3;
    t.length = 4;
    TestChannel ch(t, 0.5, 1);
    const double low = 5 * 60 / 16666.668, high = 30 * 60 / 16666.668;  // mm per step
    ch.Step({low});
    ch.Step({high});
    // The gap behind the last stored value holds no water; the new value stands behind it.
    EXPECT_EQ(ch.pos[1], 4);
    EXPECT_EQ(ch.lines[0][3], 0);
    EXPECT_EQ(ch.lines[0][4], high);
    // Back to the short delay: the new value joins what waited there, nothing is lost.
    ch.Step({low});
    EXPECT_EQ(ch.pos[1], 2);
    EXPECT_DOUBLE_EQ(ch.lines[0][2], low + high);
    EXPECT_EQ(ch.lines[0][3], 0);
}

// The factors a pass takes from the table are those of the formula for the delay, the step,
// the sub-intervals and the half-lives it is asked for, in whatever order they are asked.
TEST(ChannelPass, DecayTableGivesTheFactorOfEveryDelayAndHalfLife) {
    DecayTable table;
    std::vector<double> halfLives{0, 2.5, 0, 0.01};
    for (int round = 0; round < 2; ++round) {
        for (int d : {3, 0, 17, 3, 1, 40, 17}) {
            for (auto [dt, nSub] : {std::pair{60.0, 4}, std::pair{1440.0, 1}}) {
                const double* f = table.For(d, dt, nSub, halfLives);
                for (std::size_t t = 1; t < halfLives.size(); ++t)
                    EXPECT_EQ(f[t], ChannelDecayFactor(d, dt, nSub, halfLives[t])) << d << " " << dt << " " << t;
            }
        }
        halfLives = {0, 7, 1e-9};  // other tracers: nothing of the first ones is kept
    }
}
