// Exact sums: the same values in any order and any split among processes give the same bits,
// and the total is the exact sum rounded once (ties to even). Runs at 1, 2 and 4 processes.
#include <gtest/gtest.h>

#include <mpi.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <random>
#include <vector>

#include "kernel/exactsum.hpp"
#include "kernel_fixture.hpp"

namespace {

using talvo_test::Rank;
using talvo_test::Size;

double SumOf(const std::vector<double>& v) {
    ExactSum s;
    for (double x : v) s.Add(x);
    return s.Value();
}

// Values over a wide range of magnitudes and both signs, many of which cancel.
std::vector<double> MixedValues(unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> mant(-1.0, 1.0);
    std::uniform_int_distribution<int> expo(-60, 60);
    std::vector<double> v;
    for (int i = 0; i < 2000; ++i) {
        const double x = std::ldexp(mant(gen), expo(gen));
        v.push_back(x);
        if (i % 3 == 0) v.push_back(-x);
    }
    v.push_back(1e300);
    v.push_back(-1e300);
    v.push_back(4.9e-324);
    return v;
}

TEST(ExactSumTest, CorrectlyRoundedWhereAPlainSumIsNot) {
    const double u = std::ldexp(1.0, -53);  // half an ulp of 1
    // Cancellation: the plain sum loses the 1 entirely.
    EXPECT_EQ(SumOf({1e100, 1.0, -1e100}), 1.0);
    // Two half-ulps make one ulp; added one by one to 1 each would round away.
    EXPECT_EQ(SumOf({1.0, u, u}), 1.0 + 2 * u);
    // Exact ties go to the even neighbour ...
    EXPECT_EQ(SumOf({1.0, u}), 1.0);
    EXPECT_EQ(SumOf({1.0 + 2 * u, u}), 1.0 + 4 * u);
    // ... and any bit below the tie, however small, rounds up.
    EXPECT_EQ(SumOf({1.0, u, std::ldexp(1.0, -1000)}), 1.0 + 2 * u);
    EXPECT_EQ(SumOf({1.0, u, 4.9e-324}), 1.0 + 2 * u);
    // Negative totals round the same way in magnitude.
    EXPECT_EQ(SumOf({-1.0, -u, -u}), -(1.0 + 2 * u));
    EXPECT_EQ(SumOf({-1.0, -u}), -1.0);
    EXPECT_EQ(SumOf({2.0, -3.0, 0.25}), -0.75);
    // Exact zero, and a total that cancels to nothing.
    EXPECT_EQ(SumOf({}), 0.0);
    EXPECT_EQ(SumOf({0.1, 0.2, -0.1, -0.2}), 0.0);
}

TEST(ExactSumTest, TinyAndHugeValues) {
    const double tiny = 4.9e-324;  // smallest subnormal
    EXPECT_EQ(SumOf({tiny, tiny, tiny}), 3 * tiny);
    EXPECT_EQ(SumOf({DBL_MIN, -tiny}), DBL_MIN - tiny);
    EXPECT_EQ(SumOf({-tiny, -tiny}), -2 * tiny);
    // The intermediate 2 x DBL_MAX would overflow a plain sum.
    EXPECT_EQ(SumOf({DBL_MAX, DBL_MAX, -DBL_MAX}), DBL_MAX);
    EXPECT_EQ(SumOf({DBL_MAX, DBL_MAX}), HUGE_VAL);
    EXPECT_EQ(SumOf({-DBL_MAX, -DBL_MAX}), -HUGE_VAL);
    EXPECT_EQ(SumOf({1e308, tiny, -1e308}), tiny);
    EXPECT_EQ(SumOf({HUGE_VAL, 1.0}), HUGE_VAL);
    EXPECT_TRUE(std::isnan(SumOf({HUGE_VAL, -HUGE_VAL, 1.0})));
}

TEST(ExactSumTest, AnyOrderGivesTheSameBits) {
    std::vector<double> v = MixedValues(7);
    const double first = SumOf(v);
    std::mt19937 gen(11);
    for (int k = 0; k < 5; ++k) {
        std::shuffle(v.begin(), v.end(), gen);
        EXPECT_EQ(SumOf(v), first);
    }
    std::reverse(v.begin(), v.end());
    EXPECT_EQ(SumOf(v), first);
}

// Parts kept apart (as threads keep them) and merged in any order and any grouping give the bits
// of one sum of every value, also when values are added after a merge; an empty part changes
// nothing, and non-finite values merge as they add.
TEST(ExactSumTest, PartsMergedInAnyOrderGiveTheBitsOfOneSum) {
    const std::vector<double> v = MixedValues(13);
    const double whole = SumOf(v);
    std::mt19937 gen(17);
    std::uniform_int_distribution<std::size_t> pick(0, 4);
    std::vector<std::vector<double>> split(5);
    for (double x : v) split[pick(gen)].push_back(x);
    const auto parts = [&] {
        std::vector<ExactSum> p(6);  // the last one stays empty
        for (std::size_t k = 0; k < split.size(); ++k) {
            std::vector<double> mine = split[k];
            std::shuffle(mine.begin(), mine.end(), gen);
            for (double x : mine) p[k].Add(x);
        }
        return p;
    };
    std::vector<ExactSum> p = parts();
    ExactSum forward;
    for (const ExactSum& s : p) forward.Merge(s);
    EXPECT_EQ(forward.Value(), whole);
    p = parts();
    for (std::size_t k = p.size() - 1; k > 0; --k) p[k - 1].Merge(p[k]);
    EXPECT_EQ(p[0].Value(), whole);
    // Pairs, then the pairs' merges.
    p = parts();
    p[0].Merge(p[1]);
    p[2].Merge(p[3]);
    p[4].Merge(p[5]);
    p[2].Merge(p[4]);
    p[2].Merge(p[0]);
    EXPECT_EQ(p[2].Value(), whole);
    // Adding goes on after a merge.
    p = parts();
    ExactSum later = p[0];
    later.Merge(p[1]);
    for (std::size_t k = 2; k < split.size(); ++k)
        for (double x : split[k]) later.Add(x);
    EXPECT_EQ(later.Value(), whole);

    ExactSum inf, negInf, one;
    inf.Add(HUGE_VAL);
    negInf.Add(-HUGE_VAL);
    one.Add(1.0);
    one.Merge(inf);
    EXPECT_EQ(one.Value(), HUGE_VAL);
    one.Merge(negInf);
    EXPECT_TRUE(std::isnan(one.Value()));
}

// A sum merged with itself again and again: the count of additions it stands for passes the
// point where its words must carry, and the total stays exact (doubling is exact in binary).
TEST(ExactSumTest, RepeatedSelfMergesStayExact) {
    ExactSum s;
    s.Add(0.1);
    s.Add(-1e-300);
    s.Add(std::ldexp(1.0, 900));
    s.Add(-std::ldexp(1.0, 900));
    const double start = s.Value();
    for (int k = 1; k <= 40; ++k) {
        const ExactSum copy = s;
        s.Merge(copy);
        ASSERT_EQ(s.Value(), std::ldexp(start, k)) << k;
    }
}

// Every process adds its share (in its own order) and the shares are joined across processes:
// the total has the bits of one process adding everything.
TEST(ExactSumTest, ProcessSplitGivesTheSameBits) {
    std::vector<double> v = MixedValues(3);
    const double whole = SumOf(v);
    std::vector<ExactSum> sums(2);
    std::mt19937 gen(static_cast<unsigned>(5 + Rank()));
    std::vector<std::size_t> order(v.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), gen);
    for (std::size_t i : order)
        if (static_cast<int>(i % static_cast<std::size_t>(Size())) == Rank()) {
            sums[0].Add(v[i]);
            sums[1].Add(-2 * v[i]);
        }
    ExactSum::ReduceToRoot(sums.data(), 2);
    if (Rank() == 0) {
        EXPECT_EQ(sums[0].Value(), whole);
        EXPECT_EQ(sums[1].Value(), -2 * whole);
    } else {
        EXPECT_TRUE(sums[0].IsZero());
        EXPECT_TRUE(sums[1].IsZero());
    }
}

// Zone records: the records' own values and the exact sums of every process, reduced exactly
// into the records on process 0; the sums start again from zero.
TEST(ExactSumTest, ZoneRecordsReduceOntoProcessZero) {
    std::vector<ExactZoneSums> acc(3);
    std::vector<zoneFZT> rec(3, zoneFZT{0, 0, 7, 0.5, 0});
    if (Rank() == 0) rec[1].sx = 1e20;  // e.g. a value carried from the last step
    const int cells = 1000;
    for (int c = 0; c < cells; ++c)
        if (c % Size() == Rank()) acc[1 + c % 2].Add(1.0, 0.1 * c, 0.3);
    acc[1].sx.Add(-1e20);
    ReduceZoneRecordsExactly(acc.data(), rec.data(), 2, true);
    if (Rank() == 0) {
        ExactSum sx;
        for (int c = 1; c < cells; c += 2) sx.Add(0.1 * c);
        EXPECT_EQ(rec[2].n, 500.0);
        EXPECT_EQ(rec[2].sx, sx.Value());
        ExactSum cellSum, even;
        for (int c = 0; c < 500; ++c) cellSum.Add(0.3);
        EXPECT_EQ(rec[1].RelCellSum, cellSum.Value());
        // 1e20 - Size() x 1e20 + the even cells' values.
        for (int c = 0; c < cells; c += 2) even.Add(0.1 * c);
        even.Add(1e20 * (1 - Size()));
        EXPECT_EQ(rec[1].sx, even.Value());
        EXPECT_EQ(rec[0].n, 0.0);
    } else {
        EXPECT_EQ(rec[1].sx, 0.0);
    }
    EXPECT_TRUE(acc[1].sx.IsZero());
    EXPECT_EQ(rec[1].zonenwert, 7.0);
    EXPECT_EQ(rec[1].rel, 0.5);
    // WithExactSums: the record plus the sums, rounded once.
    ExactZoneSums one;
    one.Add(1.0, std::ldexp(1.0, -53), 0.0);
    one.sx.Add(std::ldexp(1.0, -53));
    const zoneFZT r = WithExactSums(zoneFZT{2.0, 1.0, 0, 0, 0}, one);
    EXPECT_EQ(r.n, 3.0);
    EXPECT_EQ(r.sx, 1.0 + std::ldexp(1.0, -52));
}

// Several arrays of records reduced in one message end as each reduced alone: every record's
// total on process 0, zeros elsewhere, the sums reset; an empty block (no sums) is passed over,
// and without cell sums RelCellSum keeps its value.
TEST(ExactSumTest, BlocksOfRecordsReduceAsEachAlone) {
    for (const bool withCellSums : {true, false}) {
        const std::vector<int> highest = {1, 3, 0, 2};
        std::vector<std::vector<ExactZoneSums>> accA, accB;
        std::vector<std::vector<zoneFZT>> recA, recB;
        for (std::size_t b = 0; b < highest.size(); ++b) {
            const std::size_t n = static_cast<std::size_t>(highest[b]) + 1;
            accA.emplace_back(n);
            recA.emplace_back(n, zoneFZT{0.5 * static_cast<double>(b), 1e-3, 4, 0.25, 2.0});
            for (std::size_t z = 0; z < n; ++z)
                for (int c = 0; c < 60; ++c)
                    if (c % Size() == Rank())
                        accA[b][z].Add(1.0, 0.1 * c + 1e17 * static_cast<double>(z % 2) - static_cast<double>(b),
                                       0.3 * c);
        }
        accB = accA;
        recB = recA;
        std::vector<ZoneRecordBlock> blocks;
        for (std::size_t b = 0; b < highest.size(); ++b) {
            blocks.push_back({accA[b].data(), recA[b].data(), highest[b]});
            if (b == 1) blocks.push_back({nullptr, nullptr, 5});
            ReduceZoneRecordsExactly(accB[b].data(), recB[b].data(), highest[b], withCellSums);
        }
        ReduceZoneRecordBlocksExactly(blocks, withCellSums);
        for (std::size_t b = 0; b < highest.size(); ++b)
            for (std::size_t z = 0; z < recA[b].size(); ++z) {
                EXPECT_EQ(recA[b][z].n, recB[b][z].n) << b << " " << z;
                EXPECT_EQ(recA[b][z].sx, recB[b][z].sx) << b << " " << z;
                EXPECT_EQ(recA[b][z].RelCellSum, recB[b][z].RelCellSum) << b << " " << z;
                EXPECT_TRUE(accA[b][z].sx.IsZero());
                EXPECT_TRUE(Rank() != 0 || recA[b][z].n > 59.0) << b << " " << z;
            }
    }
}

}  // namespace
