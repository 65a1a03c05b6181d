// Retention, conductivity and freezing tables of the soil layers and their look-ups.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>
#include <gtest/gtest.h>

#include "table_test_support.hpp"
#include "tables/soil_entry.hpp"

namespace {

constexpr double kThetaSat = 0.45, kThetaRes = 0.05, kAlpha = 2.0, kN = 1.6, kTau = 0.5;
const double kM = 1.0 - 1.0 / kN;

double Se(double h) { return std::pow(1.0 / (1.0 + std::pow(kAlpha * h, kN)), kM); }

// A two-layer soil built through the block reader.
soil_entry TwoLayerSoil(DiagLog& log) {
    soil_entry e(1);
    e.ParseSoilBlock(log,
                     "1 loam { method = MultipleHorizons; layers = 2; thickness = 0.1; ksat = 1e-5; "
                     "theta_sat = 0.45; theta_res = 0.05; alpha = 2.0; Par_n = 1.6; }",
                     "MultipleHorizons");
    return e;
}

class SoilHydraulics : public TableTest {};

TEST_F(SoilHydraulics, RetentionLookupsFollowVanGenuchten) {
    const soil_entry s = TwoLayerSoil(Log());
    EXPECT_DOUBLE_EQ(s.ThetaFromSuction(1, 0.0), kThetaSat);
    EXPECT_DOUBLE_EQ(s.ThetaFromSuction(1, -3.0), kThetaSat);
    EXPECT_DOUBLE_EQ(s.ThetaFromSuction(1, 150.0), kThetaRes);
    EXPECT_DOUBLE_EQ(s.ThetaFromSuction(2, 1000.0), kThetaRes);
    // At a table point the closed form; between points linear.
    EXPECT_DOUBLE_EQ(s.ThetaFromSuction(1, 3.45), kThetaRes + (kThetaSat - kThetaRes) * Se(3.45));
    const double mid = 0.5 * (s.ThetaFromSuction(1, 20.0) + s.ThetaFromSuction(1, 35.0));
    EXPECT_NEAR(s.ThetaFromSuction(1, 27.5), mid, 1e-15);

    EXPECT_DOUBLE_EQ(s.SuctionFromTheta(1, kThetaSat), 0.0);
    EXPECT_DOUBLE_EQ(s.SuctionFromTheta(1, kThetaRes), 150.0);
    EXPECT_DOUBLE_EQ(s.SuctionFromTheta(1, 0.01), 150.0);
    // The inverse look-up returns every table point it is given the water content of.
    for (double h : {0.01, 0.1, 0.4, 3.45, 20.0, 125.0}) EXPECT_NEAR(s.SuctionFromTheta(1, s.ThetaFromSuction(1, h)), h, 1e-9 * h) << h;
    // Water content falls and suction rises monotonically.
    double last = kThetaSat;
    for (double h = 0.01; h < 150.0; h *= 1.3) {
        const double theta = s.ThetaFromSuction(1, h);
        EXPECT_LE(theta, last);
        last = theta;
    }
}

TEST_F(SoilHydraulics, RelativeConductivityOfTheDrierSide) {
    const soil_entry s = TwoLayerSoil(Log());
    const double theta = kThetaRes + (kThetaSat - kThetaRes) * Se(0.3);
    const double se = Se(0.3);
    const double kr = std::pow(se, kTau) * std::pow(1.0 - std::pow(1.0 - std::pow(se, 1.0 / kM), kM), 2.0);
    EXPECT_NEAR(s.RelConductivityFromTheta(1, theta, kThetaSat), kr, 1e-12);
    EXPECT_DOUBLE_EQ(s.RelConductivityFromTheta(1, kThetaSat, 0.2), s.RelConductivityFromTheta(1, 0.2, 0.2));
    EXPECT_DOUBLE_EQ(s.RelConductivityFromTheta(1, kThetaSat, 0.5), 1.0);
    EXPECT_DOUBLE_EQ(s.RelConductivityFromTheta(1, 0.01, 0.3), 0.0);
    EXPECT_DOUBLE_EQ(s.RelConductivityFromTheta(1, kThetaRes, 0.3), 0.0);
}

TEST_F(SoilHydraulics, LookupsStayInsideTheTablesForNonNumbers) {
    const soil_entry s = TwoLayerSoil(Log());
    EXPECT_TRUE(std::isnan(s.ThetaFromSuction(1, NAN)));
    EXPECT_TRUE(std::isnan(s.SuctionFromTheta(1, NAN)));
    EXPECT_TRUE(std::isnan(s.RelConductivityFromTheta(1, NAN, NAN)));
}

TEST_F(SoilHydraulics, FreezingTables) {
    soil_entry s = TwoLayerSoil(Log());
    // Before the tables are computed they read as zeros: no offset, nothing unfrozen below 0.
    double before[3] = {0, 9, 9};
    const double frost[3] = {0, -1.0, -1.0}, wet[3] = {0, 0.3, 0.3};
    s.UnfrozenFractionPerLayer(before, frost, wet);
    EXPECT_EQ(before[1], 0.0);
    EXPECT_EQ(s.FreezingOffset(1, 0.3), 0.0);
    const double c = 1.2;  // suction per degree below 0
    s.ComputeFreezingTables(1, c);
    s.ComputeFreezingTables(2, c);
    // Unfrozen saturation is the retention curve at the suction of the temperature.
    const double T = -2.5;
    EXPECT_DOUBLE_EQ(s.unfrozenSaturation[1][250], std::pow(1.0 / (std::pow(std::fabs(c * T) * kAlpha, kN) + 1), kM));

    double out[3] = {0, 0, 0}, deriv[3] = {0, 0, 0};
    const double warm[3] = {0, 0.5, 0.5}, theta[3] = {0, 0.3, 0.3};
    s.UnfrozenFractionPerLayer(out, warm, theta);
    s.FreezingDerivativePerLayer(deriv, warm, theta);
    EXPECT_EQ(out[1], 1.0);
    EXPECT_EQ(deriv[1], 0.0);
    const double coldest[3] = {0, -10.0, -11.0};
    s.UnfrozenFractionPerLayer(out, coldest, theta);
    EXPECT_EQ(out[1], 0.0);
    EXPECT_EQ(out[2], 0.0);

    // Offsets at the ends of the water-content range, and the fraction just below the offset.
    EXPECT_DOUBLE_EQ(s.FreezingOffset(1, kThetaRes), std::fabs(s.freezingOffset[1][0]));
    EXPECT_DOUBLE_EQ(s.FreezingOffset(1, kThetaSat), std::fabs(s.freezingOffset[1][1000]));
    const double cold[3] = {0, -3.0, -3.0};
    const double offset = s.FreezingOffset(1, 0.3);
    s.UnfrozenFractionPerLayer(out, cold, theta);
    s.FreezingDerivativePerLayer(deriv, cold, theta);
    const double y = (-3.0 + offset) * 1000 / -10.0;
    const int j = static_cast<int>(y);
    EXPECT_NEAR(out[1], s.unfrozenSaturation[1][j] * (1 - (y - j)) + s.unfrozenSaturation[1][j + 1] * (y - j), 1e-15);
    EXPECT_GT(deriv[1], 0.0);
    EXPECT_GE(out[1], 0.0);
    EXPECT_LE(out[1], 1.0);
    // Without temperatures nothing is touched.
    out[1] = 7;
    s.UnfrozenFractionPerLayer(out, nullptr, theta);
    EXPECT_EQ(out[1], 7);
}

TEST_F(SoilHydraulics, FreezingOffsetsStopWhereTheScanFromTheColdEndStops) {
    // Each offset comes from the last step below N whose derivative reaches the share i/N of the
    // peak, as a scan from step N - 1 towards 0 finds it: bit for bit for derivatives that rise
    // and fall, shares that fall (a negative factor), all zeros and no numbers.
    for (const double alpha : {2.0, 0.05, 40.0, static_cast<double>(NAN)})
        for (const double factor : {1.2, 0.7, -0.9, 0.0}) {
            soil_entry s = TwoLayerSoil(Log());
            s.alpha[1] = alpha;
            s.ComputeFreezingTables(1, factor);
            const int N = s.freezingSteps;
            const double dT = s.freezingTmin / N, *D = s.unfrozenDerivative[1].data();
            double peak = -HUGE_VAL, tPeak = dT;
            for (int j = 1; j <= N; ++j)
                std::tie(peak, tPeak) = D[j] > peak ? std::pair(D[j], j * dT) : std::pair(peak, tPeak);
            for (int i = 0; i <= N; ++i) {
                const double g = static_cast<double>(i) / N * peak;
                int j = N - 1;
                while (j > 0 && !(D[j] >= g)) --j;
                const double q = D[j] - D[j + 1] != 0 ? (g - D[j + 1]) / (D[j] - D[j + 1]) : 0.0;
                const double T = D[N] > g ? s.freezingTmin : dT * (j * q + (j + 1) * (1.0 - q));
                const double shift = 1.2999999999999998 * tPeak > T ? 1.15 * tPeak
                                     : tPeak * ((T - tPeak) * 0.1499999999999999 / (tPeak * 0.2999999999999998) + 1.0);
                const double expected = T >= tPeak ? 0.0 : T - shift;
                const double got = s.freezingOffset[1][static_cast<std::size_t>(i)];
                ASSERT_TRUE(std::memcmp(&got, &expected, sizeof got) == 0) << alpha << " " << factor << " share " << i;
            }
        }
}

TEST_F(SoilHydraulics, LayerHeatCapacity) {
    soil_entry s = TwoLayerSoil(Log());
    s.DryDensity = {1500, 1500, 1600};
    s.DryHeatCapacity = {800, 800, 900};
    const double T[3] = {0, -10.0, 5.0}, f[3] = {0, 0.4, 1.0}, extra[3] = {0, 1, 2}, theta[3] = {0, 0.3, 0.2};
    double out[3] = {0, 0, 0};
    s.ComputeLayerHeatCapacity(T, out, f, extra, theta, 1000.0, 4.2, 2.1, 1.9);
    const double ice = -10.0 / -20.0 * 1.9 + (-10.0 / 20.0 + 1.0) * 2.1;
    EXPECT_DOUBLE_EQ(out[1], 0.3 * 1000.0 * (0.4 * 4.2 + 0.6 * ice) + 1500 * 800 + 1);
    EXPECT_DOUBLE_EQ(out[2], 0.2 * 1000.0 * 4.2 + 1600 * 900 + 2);
}

TEST_F(SoilHydraulics, FreezingLookUpsTakeTheTablePointBelowHeldInTheTable) {
    // The look-ups interpolate between table point trunc(y) and the next, the point held to
    // 0..N - 1 (0 for no number), y the temperature below the freezing offset in table steps:
    // bit for bit on a dense sweep of temperatures with their neighbours, the ends of the range
    // and no number.
    soil_entry s = TwoLayerSoil(Log());
    s.ComputeFreezingTables(1, 1.2);
    s.ComputeFreezingTables(2, 0.7);
    const int N = s.freezingSteps;
    auto at = [&](const std::vector<double>& table, double y) {
        double jf = std::trunc(y);
        if (!(jf >= 0)) jf = 0;
        if (jf > N - 1) jf = N - 1;
        const int j = static_cast<int>(jf);
        return table[static_cast<std::size_t>(j) + 1] * (y - j) + table[static_cast<std::size_t>(j)] * (1.0 - (y - j));
    };
    auto bits = [](double v) {
        std::uint64_t b;
        std::memcpy(&b, &v, sizeof b);
        return b;
    };
    std::vector<double> temperatures{NAN, s.freezingTmin, std::nextafter(s.freezingTmin, 0.0), -0.0};
    for (int i = 1; i <= 4 * N; ++i) {
        const double t = s.freezingTmin * i / (4 * N);
        temperatures.insert(temperatures.end(), {t, std::nextafter(t, 0.0), std::nextafter(t, -20.0)});
    }
    int interpolated = 0;
    for (const double w : {0.05, 0.2, 0.37, 0.45})
        for (const double T : temperatures) {
            const double Ts[3] = {0, T, T}, theta[3] = {0, w, w};
            double u[3] = {0, 9, 9}, d[3] = {0, 9, 9};
            s.UnfrozenFractionPerLayer(u, Ts, theta);
            s.FreezingDerivativePerLayer(d, Ts, theta);
            for (int l = 1; l <= 2; ++l) {
                const std::size_t i = static_cast<std::size_t>(l);
                const double t = T + s.FreezingOffset(l, w);
                const double y = t * N / s.freezingTmin;
                const bool fraction = !(T > 0) && !(T <= s.freezingTmin) && !(t >= 0);
                const bool slope = T <= 0 && T >= s.freezingTmin && t < 0;
                if (fraction) {
                    ASSERT_EQ(bits(u[l]), bits(at(s.unfrozenSaturation[i], y))) << T << " " << w << " layer " << l;
                }
                if (slope) {
                    ASSERT_EQ(bits(d[l]), bits(at(s.unfrozenDerivative[i], y))) << T << " " << w << " layer " << l;
                }
                interpolated += fraction + slope;
            }
        }
    EXPECT_GT(interpolated, 4 * N);
}

TEST_F(SoilHydraulics, UnfrozenAndDerivativeInOnePassEqualTheTwoPasses) {
    soil_entry s = TwoLayerSoil(Log());
    s.ComputeFreezingTables(1, 1.2);
    s.ComputeFreezingTables(2, 0.7);
    // Temperatures across both ends of the freezing range and their neighbours, no number; water
    // contents below the residual, inside the range and above saturation.
    std::vector<double> temperatures{NAN, 3.0, 0.0, -0.0, -1e-300, -0.3, -2.5, -7.77, -10.0, -10.5, -40.0};
    for (double t : {0.0, -10.0})
        temperatures.insert(temperatures.end(), {std::nextafter(t, 1.0), std::nextafter(t, -20.0)});
    auto bits = [](double v) {
        std::uint64_t b;
        std::memcpy(&b, &v, sizeof b);
        return b;
    };
    for (double ta : temperatures)
        for (double tb : temperatures)
            for (double w : {0.01, 0.05, 0.2, 0.37, 0.45, 0.6}) {
                const double T[3] = {0, ta, tb}, theta[3] = {0, w, 0.45 - w / 2};
                double u1[3] = {0, 9, 9}, d1[3] = {0, 9, 9}, u2[3] = {0, 8, 8}, d2[3] = {0, 8, 8};
                s.UnfrozenFractionPerLayer(u1, T, theta);
                s.FreezingDerivativePerLayer(d1, T, theta);
                s.UnfrozenAndDerivativePerLayer(u2, d2, T, theta);
                for (int l = 1; l <= 2; ++l) {
                    ASSERT_EQ(bits(u2[l]), bits(u1[l])) << ta << " " << tb << " " << w << " layer " << l;
                    ASSERT_EQ(bits(d2[l]), bits(d1[l])) << ta << " " << tb << " " << w << " layer " << l;
                }
            }
    // Without temperatures nothing is touched.
    double u[3] = {0, 7, 7}, d[3] = {0, 7, 7};
    const double theta[3] = {0, 0.3, 0.3};
    s.UnfrozenAndDerivativePerLayer(u, d, nullptr, theta);
    EXPECT_EQ(u[1], 7);
    EXPECT_EQ(d[1], 7);
}

}  // namespace
