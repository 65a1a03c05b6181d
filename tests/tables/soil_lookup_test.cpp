// The soil-table look-ups give, bit for bit, the results of a plain bisection over the table
// points, on ordered tables and on tables with flat parts, unordered points or arguments equal
// to a point, which the branch-free bracket hands back to the bisection.
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "tables/soil_entry.hpp"

namespace {

constexpr int kPoints = soil_entry::kTablePoints;
using Table = soil_entry::PointTable;

std::size_t I(int i) { return static_cast<std::size_t>(i); }

// The bisection the look-ups are measured against, stopping at a point equal to x.
int ReferenceBracket(const Table& t, double x, bool rising) {
    int low = 1, high = kPoints, mid = (high - 1) / 2 + 1;
    while (low <= high) {
        const bool below = rising ? x <= t[I(mid)] : x >= t[I(mid)];
        if (below) {
            high = mid - 1;
        } else {
            low = mid + 1;
        }
        if (t[I(mid)] == x) break;
        mid = (high - low) / 2 + low;
    }
    return high < 0 ? 0 : high > kPoints - 1 ? kPoints - 1 : high;
}

double ReferenceTheta(const soil_entry& s, double h) {
    const Table& hR = s.retentionSuction[1];
    const Table& th = s.retentionTheta[1];
    if (h >= hR[kPoints]) return th[kPoints];
    const int k = ReferenceBracket(hR, h, true);
    const double w = hR[I(k + 1)] - hR[I(k)];
    if (w < 0.001) return th[I(k)];
    const double f = (h - hR[I(k)]) / w;
    return f * th[I(k + 1)] + (1.0 - f) * th[I(k)];
}

double ReferenceSuction(const soil_entry& s, double theta) {
    const Table& hR = s.retentionSuction[1];
    const Table& th = s.retentionTheta[1];
    if (theta <= th[kPoints]) return hR[kPoints];
    if (theta >= th[1]) return 0.0;
    const int k = ReferenceBracket(th, theta, false);
    const double span = th[I(k)] - th[I(k + 1)];
    const double f = span > 0 ? (theta - th[I(k + 1)]) / span : 0.0;
    return hR[I(k)] * f + (1.0 - f) * hR[I(k + 1)];
}

double ReferenceKr(const soil_entry& s, double theta) {
    const Table& th = s.conductivityTheta[1];
    const Table& kr = s.relConductivity[1];
    if (theta < th[kPoints]) return kr[kPoints];
    if (theta >= th[1]) return 1.0;
    const int k = ReferenceBracket(th, theta, false);
    const double span = th[I(k)] - th[I(k + 1)];
    const double f = span > 0 ? (theta - th[I(k + 1)]) / span : 0.0;
    return kr[I(k)] * f + (1.0 - f) * kr[I(k + 1)];
}

soil_entry OneLayer(double n) {
    soil_entry e(1);
    e.layerCount = 1;
    e.theta_sat.assign(2, 0.43);
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

// Arguments: random ones over and beyond the range, every table point and its neighbours,
// a number below and above everything, and no number.
std::vector<double> Arguments(const Table& t, double low, double high) {
    std::mt19937 gen(49);
    std::uniform_real_distribution<double> u(low, high);
    std::vector<double> xs;
    for (int i = 0; i < 4000; ++i) xs.push_back(u(gen));
    for (double p : t) {
        xs.push_back(p);
        xs.push_back(std::nextafter(p, -1e300));
        xs.push_back(std::nextafter(p, 1e300));
    }
    xs.insert(xs.end(), {-1e300, 1e300, NAN, -0.0});
    return xs;
}

void ExpectSameAsBisection(const soil_entry& s, const char* what) {
    for (double x : Arguments(s.retentionTheta[1], -0.1, 0.6)) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(s.SuctionFromTheta(1, x)),
                  std::bit_cast<std::uint64_t>(ReferenceSuction(s, x)))
            << what << " suction of " << x;
    }
    for (double x : Arguments(s.conductivityTheta[1], -0.1, 0.6)) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(s.RelConductivityFromTheta(1, x, 1.0)),
                  std::bit_cast<std::uint64_t>(ReferenceKr(s, x)))
            << what << " conductivity of " << x;
    }
    for (double h : Arguments(s.retentionSuction[1], -5.0, 200.0)) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(s.ThetaFromSuction(1, h)),
                  std::bit_cast<std::uint64_t>(ReferenceTheta(s, h)))
            << what << " water content of " << h;
    }
}

TEST(SoilLookups, OrderedTablesGiveTheBisectionResults) {
    for (double n : {1.09, 1.56, 2.68, 6.0}) ExpectSameAsBisection(OneLayer(n), "van Genuchten");
}

TEST(SoilLookups, FlatAndUnorderedTablesGiveTheBisectionResults) {
    soil_entry flat = OneLayer(1.56);
    for (Table* t : {&flat.retentionTheta[1], &flat.conductivityTheta[1]})
        for (int k = 20; k <= kPoints; ++k) (*t)[I(k)] = (*t)[20];
    flat.retentionSuction[1][12] = flat.retentionSuction[1][11];
    ExpectSameAsBisection(flat, "flat");

    soil_entry unordered = OneLayer(1.56);
    for (Table* t : {&unordered.retentionTheta[1], &unordered.conductivityTheta[1], &unordered.retentionSuction[1]})
        std::swap((*t)[5], (*t)[17]);
    ExpectSameAsBisection(unordered, "unordered");

    soil_entry rising = OneLayer(1.56);
    rising.theta_sat[1] = 0.05;  // a residual content above the saturated one turns the curve round
    rising.AllocateLayerTables(1);
    ExpectSameAsBisection(rising, "reversed");
}

}  // namespace
