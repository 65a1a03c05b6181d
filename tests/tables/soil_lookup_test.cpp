// The suction and conductivity look-ups with a bracket hint give, bit for bit, the plain look-ups'
// results, whatever the hint: right, wrong, out of the table, on falling tables and on tables that
// do not fall; and the plain look-ups give the results of the bisection search of the bracket.
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "tables/soil_entry.hpp"

namespace {

constexpr int kPoints = soil_entry::kTablePoints;

soil_entry OneLayer(double n, double thetaSat = 0.43) {
    soil_entry e(1);
    e.layerCount = 1;
    e.theta_sat.assign(2, thetaSat);
    e.theta_res.assign(2, 0.078);
    e.alpha.assign(2, 3.6);
    e.Par_n.assign(2, n);
    e.Par_m.assign(2, 1.0 - 1.0 / n);
    e.Par_tau.assign(2, 0.5);
    e.conductivityTheta.assign(2, {});
    e.relConductivity.assign(2, {});
    e.retentionTheta.assign(2, {});
    e.retentionSuction.assign(2, {});
    e.AllocateLayerTables(1);
    return e;
}

// Water contents in runs of nearby values (as the column's flux limitation asks for them), every
// table point and its neighbours, values beyond both ends and no number; each with the hint the
// previous look-up left, and once more with a random hint.
void ExpectHintChangesNothing(const soil_entry& s) {
    std::mt19937 gen(49);
    std::uniform_real_distribution<double> u(0.0, 0.5), near(-1e-3, 1e-3);
    std::uniform_int_distribution<int> anyHint(-2, kPoints + 2);
    std::vector<double> xs;
    for (int run = 0; run < 300; ++run) {
        const double centre = u(gen);
        for (int i = 0; i < 10; ++i) xs.push_back(centre + near(gen));
    }
    for (const auto* t : {&s.retentionTheta[1], &s.conductivityTheta[1]})
        for (double p : *t) xs.insert(xs.end(), {p, std::nextafter(p, 0.0), std::nextafter(p, 1.0)});
    xs.insert(xs.end(), {-1.0, 2.0, NAN, 0.3});
    auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
    int hint = 0, krHint = 0, capHint = 0;
    for (double x : xs) {
        const std::uint64_t plain = bits(s.SuctionFromTheta(1, x));
        // The bracket found without the hint (counted where the table falls strictly) is the
        // bisection's.
        EXPECT_EQ(plain, bits(s.SuctionFromThetaBySearch(1, x))) << x;
        EXPECT_EQ(bits(s.RelConductivityFromTheta(1, x, 1.0)), bits(s.RelConductivityFromThetaBySearch(1, x, 1.0)))
            << x;
        EXPECT_EQ(bits(s.SuctionFromTheta(1, x, hint)), plain) << x;
        int other = anyHint(gen);
        EXPECT_EQ(bits(s.SuctionFromTheta(1, x, other)), plain) << x;
        // The conductivity look-up takes the smaller argument: x, or a frozen factor below it.
        const std::uint64_t kr = bits(s.RelConductivityFromTheta(1, x, 1.0));
        EXPECT_EQ(bits(s.RelConductivityFromTheta(1, x, 1.0, krHint)), kr) << x;
        other = anyHint(gen);
        EXPECT_EQ(bits(s.RelConductivityFromTheta(1, x, 1.0, other)), kr) << x;
        const double capped = x * 0.5;
        EXPECT_EQ(bits(s.RelConductivityFromTheta(1, 1.0, capped, capHint)),
                  bits(s.RelConductivityFromTheta(1, 1.0, capped)))
            << x;
    }
}

TEST(SoilLookups, SuctionHintGivesThePlainResult) {
    for (double n : {1.09, 1.56, 2.68}) {
        const soil_entry s = OneLayer(n);
        EXPECT_EQ(s.retentionFalls[1], 1);
        EXPECT_EQ(s.conductivityFalls[1], 1);
        ExpectHintChangesNothing(s);
    }
    // A residual content above the saturated one turns the curve round: no shortcut.
    const soil_entry rising = OneLayer(1.56, 0.05);
    EXPECT_EQ(rising.retentionFalls[1], 0);
    EXPECT_EQ(rising.conductivityFalls[1], 0);
    ExpectHintChangesNothing(rising);
    // A flat tail (the curve reaches the residual content early) is not strictly falling.
    const soil_entry flat = OneLayer(6.0);
    EXPECT_EQ(flat.retentionFalls[1], 0);
    EXPECT_EQ(flat.conductivityFalls[1], 0);
    ExpectHintChangesNothing(flat);
}

// The water content by suction counts its bracket where the suctions rise strictly (as every
// table the soil builds): the same bits as the bisection at every table point, beside it, between
// points, at and below 0, beyond the last point and for no number; a table whose suctions do not
// rise keeps the bisection.
TEST(SoilLookups, ThetaFromSuctionCountedIsTheBisection) {
    std::mt19937 gen(4949);
    std::uniform_real_distribution<double> wide(-1.0, 200.0), unit(0.0, 1.0);
    auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
    soil_entry flat = OneLayer(1.56);
    flat.retentionSuction[1][kPoints - 1] = flat.retentionSuction[1][kPoints - 2];
    flat.suctionRises[1] = 0;
    for (const soil_entry& s : {OneLayer(1.09), OneLayer(1.56), OneLayer(2.68), OneLayer(6.0), flat}) {
        std::vector<double> hs{0.0, -0.0, -1e-9, -3.0, 150.0, 1e6, NAN, 3.45};
        for (double p : s.retentionSuction[1])
            hs.insert(hs.end(), {p, std::nextafter(p, -1.0), std::nextafter(p, 1e9), p * 1.01 + 1e-4});
        for (int i = 0; i < 2000; ++i) hs.push_back(i % 2 ? wide(gen) : std::pow(unit(gen), 4) * 5);
        for (double h : hs) EXPECT_EQ(bits(s.ThetaFromSuction(1, h)), bits(s.ThetaFromSuctionBySearch(1, h))) << h;
    }
    EXPECT_EQ(OneLayer(1.56).suctionRises[1], 1);
}

}  // namespace
