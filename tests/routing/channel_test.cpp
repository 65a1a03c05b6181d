// Hydraulics of a routing channel: Manning-Strickler depths, the compound split between main
// channel and flood plain, the sub-channels and delays of the water-level/discharge table.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "routing/channel.hpp"

using namespace routing;

namespace {

ChannelParams Wide() {
    const double v[10] = {2, 4, 10, 50, 1, 30, 20, 0.001, 5000, 100};
    return ChannelWithDefaults(v);
}

}  // namespace

TEST(ChannelTest, ManningDepthOfARectangle) {
    // Q 10 m3/s in a 10 m wide channel, Manning 30, slope 0.001.
    const ManningResult r = ManningVelocity(10, 10, 1.0, 30, std::sqrt(0.001));
    EXPECT_NEAR(r.v, 0.8937, 0.01);
    EXPECT_NEAR(r.h, 1.1189, 0.02);
    // Continuity and the Manning-Strickler law hold for the result.
    EXPECT_NEAR(r.v * r.h * 10, 10, 0.1);
    EXPECT_NEAR(r.R, r.h * 10 / (2 * r.h + 10), 1e-12);
    EXPECT_NEAR(r.v, std::pow(r.R, 0.66667) * 30 * std::sqrt(0.001), 0.005);
}

TEST(ChannelTest, CompoundFlowConservesDischargeAndLevels) {
    const ChannelParams p = Wide();
    for (double Q : {30.0, 100.0, 400.0}) {
        const CompoundFlow f = CompoundChannelFlow(Q, p, 1.0);
        EXPECT_NEAR(f.Qm + f.Qf, Q, 1e-9) << Q;
        EXPECT_GT(f.Qf, 0) << Q;
        EXPECT_GE(f.Qm, 0) << Q;
        EXPECT_LE(std::fabs(f.main.h - f.flood.h - p.D), 0.01) << Q;
    }
    // Below the bank the flood plain stays dry.
    const CompoundFlow low = CompoundChannelFlow(0.5, p, 1.0);
    EXPECT_EQ(low.Qf, 0);
    EXPECT_EQ(low.flood.v, 0);
    EXPECT_EQ(low.flood.h, 0);
    EXPECT_LT(low.main.h, p.D);
}

TEST(ChannelTest, DefaultsForValuesNotAboveZero) {
    const double zeros[10] = {};
    const ChannelParams p = ChannelWithDefaults(zeros);
    EXPECT_EQ(p.km, 0.01);
    EXPECT_EQ(p.kf, 0.01);
    EXPECT_EQ(p.bm, 0.1);
    EXPECT_EQ(p.bf, 0.1);
    EXPECT_EQ(p.D, 0.1);
    EXPECT_EQ(p.Mm, 1.0);
    EXPECT_EQ(p.Mf, 1.0);
    EXPECT_EQ(p.sqrtI, 0.0316);
    EXPECT_EQ(p.L, 1.0);
    EXPECT_EQ(p.A, 1e-06);
}

TEST(ChannelTest, DefaultChannelGetsATableWithPositiveVelocities) {
    // Small class flows in the all-default channel: the flood plain must never take more water
    // than the main channel carries.
    const double zeros[10] = {};
    WQTable t;
    ASSERT_EQ(BuildWQTable(ChannelWithDefaults(zeros), 10, 1000, 2, 60, 1, t), TableStatus::Ok);
    for (int c = 1; c <= 3; ++c) {
        EXPECT_GT(t.v[c], 0) << c;
        EXPECT_TRUE(std::isfinite(t.t[c])) << c;
        EXPECT_GE(t.share[c], 0) << c;
        EXPECT_LE(t.share[c], 1) << c;
    }
    EXPECT_GE(t.m, 1);
}

TEST(ChannelTest, TableClassesAreLogSpaced) {
    WQTable t;
    ASSERT_EQ(BuildWQTable(Wide(), 10, 1000, 2, 60, 4, t), TableStatus::Ok);
    EXPECT_NEAR(t.q[1], 10, 1e-9);
    EXPECT_NEAR(t.q[2], 100, 1e-9);
    EXPECT_NEAR(t.q[3], 1000, 1e-9);
    EXPECT_NEAR(t.qmm[2], 0.0036 * 100, 1e-12);
    EXPECT_NEAR(t.Q[3], 1000.0 / 1000 * 100, 1e-9);
    for (int c = 1; c <= 3; ++c) {
        EXPECT_NEAR(t.t[c], 5000 / t.v[c] / 3600, 1e-12);
        EXPECT_EQ(t.delta[c], static_cast<int>(t.t[c] / t.m / 60 * 60 * 4));
        EXPECT_LE(t.delta[c], t.maxDelta);
    }
    EXPECT_EQ(t.length, static_cast<int>((4 + t.maxDelta) * t.m));
    // The slowest class is at most one step slower than the fastest per sub-channel.
    EXPECT_LE(t.t[1] / t.m, t.t[3] / t.m + 1.0 + 1e-12);
}

TEST(ChannelTest, SubChannelsOfSlowAndFastClasses) {
    EXPECT_EQ(SubChannels(5, 1, 60), 4);  // 5/4 = 1.25 is not above 1/4 + 1
    EXPECT_EQ(SubChannels(1.5, 1, 60), 1);
    EXPECT_EQ(SubChannels(0.5, 1, 60), 1);  // class 1 faster than the top class
    EXPECT_EQ(SubChannels(100, 0, 30), 200);
    EXPECT_EQ(SubChannels(1e12, 0, 60), 0);  // no channel of a million sub-channels
    EXPECT_EQ(SubChannels(NAN, 0, 60), 0);
}

TEST(ChannelTest, ClassIndexOfRunoffs) {
    WQTable t;
    ASSERT_EQ(BuildWQTable(Wide(), 10, 1000, 2, 60, 1, t), TableStatus::Ok);
    EXPECT_EQ(WQClassIndex(t, 0.0, 60), 1);
    EXPECT_EQ(WQClassIndex(t, 1.0, 60), 2);
    EXPECT_EQ(WQClassIndex(t, 100.0, 60), 3);
    EXPECT_EQ(WQClassIndex(t, 1e9, 60), 3);
    EXPECT_EQ(WQClassIndex(t, -5, 60), 1);
    EXPECT_EQ(WQClassIndex(t, NAN, 60), 1);
    // With qmin = qmax every runoff falls into class 1.
    WQTable flat;
    ASSERT_EQ(BuildWQTable(Wide(), 50, 50, 2, 60, 1, flat), TableStatus::Ok);
    EXPECT_EQ(WQClassIndex(flat, 100.0, 60), 1);
    EXPECT_NEAR(flat.q[1], flat.q[3], 1e-12);
}

// The class look-up by buckets of the runoff's bits gives the logarithm's class for every
// runoff: on both sides of every class boundary (runoffs a few units in the last place apart),
// at the bucket edges, over the whole range and outside it, for wide and narrow tables, many
// classes and a class count that is no whole number.
TEST(ChannelTest, BucketClassIsTheClassOfTheLogarithm) {
    struct Range {
        double qmin, qmax, n, dt;
    };
    const Range ranges[] = {{10, 30, 10, 5},     {10, 1000, 100, 60}, {10, 1000, 2, 60},   {0.5, 5000, 20, 60},
                            {10, 1000, 2.5, 60}, {1, 1.5, 300, 15},   {1e-3, 1e6, 1000, 1440}};
    std::mt19937_64 rng(49);
    for (const Range& r : ranges) {
        WQTable t;
        ASSERT_EQ(BuildWQTable(Wide(), r.qmin, r.qmax, r.n, r.dt, 1, t), TableStatus::Ok);
        ASSERT_FALSE(t.bucketClass.empty()) << r.qmin << " " << r.qmax << " " << r.n;
        long fast = 0, checked = 0;
        for (int b : t.bucketClass) fast += b > 0;
        // Most buckets hold one class.
        EXPECT_GT(fast, static_cast<long>(t.bucketClass.size()) * 3 / 4);
        const double scale = 16666.668 / r.dt;
        auto check = [&](double q) {
            ++checked;
            ASSERT_EQ(WQClassIndex(t, q, r.dt), WQClassIndexByLog(t, q, r.dt)) << "q " << q << " qmin " << r.qmin;
        };
        auto around = [&](double q) {
            double lo = q, hi = q;
            for (int i = 0; i < 40; ++i) {
                check(lo);
                check(hi);
                lo = std::nextafter(lo, 0.0);
                hi = std::nextafter(hi, 1e300);
            }
        };
        for (int c = 0; c <= static_cast<int>(r.n) + 2; ++c) around(r.qmin * std::exp(c * t.dln) / scale);
        for (std::size_t b = 0; b <= t.bucketClass.size(); ++b)
            around(std::bit_cast<double>((t.bucketFirst + b) << t.bucketShift) / scale);
        std::uniform_real_distribution<double> logRange(std::log(r.qmin) - 3, std::log(r.qmax) + 3);
        for (int i = 0; i < 200000; ++i) check(std::exp(logRange(rng)) / scale);
        for (double q : {0.0, -0.0, -5.0, 1e-300, 5e-324, 1e300, std::numeric_limits<double>::infinity(),
                         -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()})
            check(q);
        EXPECT_GT(checked, 200000);
    }
    // Tables without a class range take the logarithm's way: one class.
    WQTable flat;
    ASSERT_EQ(BuildWQTable(Wide(), 50, 50, 2, 60, 1, flat), TableStatus::Ok);
    EXPECT_TRUE(flat.bucketClass.empty());
}

TEST(ChannelTest, UnitConversionsAreInverse) {
    EXPECT_NEAR(MmToM3s(1, 100, 60), 27.7777778, 1e-6);
    EXPECT_NEAR(M3sToMm(MmToM3s(1, 100, 60), 100, 60), 1, 1e-8);
    // A day of 1 mm over 86.4 km2 is about 1 m3/s.
    EXPECT_NEAR(MmToM3s(1, 86.4, 1440), 1.0, 1e-6);
}

TEST(ChannelTest, RangesThatGiveNoTable) {
    struct Case {
        double qmin, qmax, n;
        int nSub;
        bool valid;
    } cases[] = {{10, 1000, 2, 1, true},  {10, 10, 1, 1, true},     {0, 1000, 2, 1, false},
                 {-1, 1000, 2, 1, false}, {10, 5, 2, 1, false},     {10, 1000, 0.5, 1, false},
                 {10, 1000, 2, 0, false}, {10, NAN, 2, 1, false},   {10, INFINITY, 2, 1, false}};
    for (const Case& c : cases) {
        EXPECT_EQ(ValidTableRange(c.qmin, c.qmax, c.n, c.nSub), c.valid) << c.qmin << " " << c.qmax << " " << c.n;
        WQTable t;
        EXPECT_EQ(BuildWQTable(Wide(), c.qmin, c.qmax, c.n, 60, c.nSub, t) == TableStatus::Ok, c.valid);
    }
}

TEST(ChannelTest, ChannelsWithoutVelocityOrWithEndlessDelaysAreRejected) {
    // A huge channel length asks for delay lines no model can hold.
    double v[10] = {2, 4, 10, 50, 1, 30, 20, 0.001, 1e15, 100};
    WQTable t;
    EXPECT_EQ(BuildWQTable(ChannelWithDefaults(v), 10, 1000, 2, 60, 1, t), TableStatus::TooManySubChannels);
    ChannelParams p = Wide();
    p.sqrtI = 0;  // a flat channel carries nothing
    EXPECT_EQ(BuildWQTable(p, 10, 1000, 2, 60, 1, t), TableStatus::NoVelocity);
}

TEST(ChannelTest, FloodPlainNeverTakesMoreThanTheMainChannelCarries) {
    // The classes of the all-default channel (1e-8 to 1e-6 m3/s): moving the full exchange
    // would leave the main channel with negative flow and carry a zero velocity down the table.
    const double zeros[10] = {};
    const ChannelParams p = ChannelWithDefaults(zeros);
    auto meanVelocity = [](const CompoundFlow& f) {
        return (f.Qm * f.main.v + f.Qf * f.flood.v) / (f.Qm + f.Qf);
    };
    for (double Q : {1e-6, 1e-7, 1e-8}) {
        // A carried velocity that is not positive restarts from 1.0.
        for (double carried : {1.0, 0.0, -1.0, static_cast<double>(NAN)}) {
            const CompoundFlow f = CompoundChannelFlow(Q, p, carried);
            EXPECT_GE(f.Qm, 0) << Q;
            EXPECT_GE(f.Qf, 0) << Q;
            EXPECT_NEAR(f.Qm + f.Qf, Q, Q * 1e-12) << Q;
            EXPECT_GT(meanVelocity(f), 0) << Q << " " << carried;
            EXPECT_EQ(meanVelocity(f), meanVelocity(CompoundChannelFlow(Q, p, 1.0))) << Q << " " << carried;
        }
    }
}
