// One cell's irrigation amount: fixed dates, the soil-moisture and ETR/ETP controls with their
// hysteresis within a day, and amounts that never fall below 0.
#include <gtest/gtest.h>

#include <vector>

#include "surface/irrigation_demand.hpp"

using namespace irrigation;

namespace {

Rule Dated(const std::vector<std::int64_t>& months, const std::vector<std::int64_t>& days,
           const std::vector<double>& amounts) {
    Rule r;
    r.method = 1;
    r.months = months;
    r.days = days;
    r.amounts = amounts;
    r.count = static_cast<int>(amounts.size()) - 1;
    return r;
}

}  // namespace

TEST(IrrigationDemand, FixedDatesGiveTheirShareOfTheDay) {
    const std::vector<std::int64_t> months{0, 1, 3}, days{0, 2, 15};
    const std::vector<double> amounts{0, 24, 10};
    const Rule r = Dated(months, days, amounts);
    const CellState cell;
    EXPECT_NEAR(Amount(r, cell, 0, 60, 2, 1), 1.0, 1e-15);
    EXPECT_NEAR(Amount(r, cell, 0, 1440, 15, 3), 10.0, 1e-15);
    EXPECT_EQ(Amount(r, cell, 5, 60, 3, 1), 0.0);
    EXPECT_EQ(Amount(r, cell, 0, 60, 2, 3), 0.0);
}

TEST(IrrigationDemand, SoilMoistureAndRatioControl) {
    Rule soil;
    soil.method = 3;
    Rule ratio;
    ratio.method = 4;
    ratio.ratioThreshold = 0.7;
    struct Case {
        const char* what;
        const Rule* rule;
        double sb, low, high, etr2etp, previous, dt, expected;
    };
    const Case cases[] = {
        {"dry, first step: fill to SBHIGH", &soil, 0.15, 0.2, 0.3, 1, 0, 60, 3.125},
        {"dry, later steps keep the amount", &soil, 0.10, 0.2, 0.3, 1, 3.125, 60, 3.125},
        {"wet but below SBHIGH keeps the amount within a day", &soil, 0.25, 0.2, 0.3, 1, 3.125, 60, 3.125},
        {"SBHIGH reached stops", &soil, 0.3, 0.2, 0.3, 1, 3.125, 60, 0},
        {"daily steps stop once wet", &soil, 0.25, 0.2, 0.3, 1, 3.125, 1440, 0},
        {"ratio below the threshold fills", &ratio, 0.15, 0.2, 0.3, 0.5, 0, 1440, 75},
        {"ratio above the threshold stops daily", &ratio, 0.15, 0.2, 0.3, 0.9, 75, 1440, 0},
        {"ratio above the threshold keeps hourly", &ratio, 0.15, 0.2, 0.3, 0.9, 3, 60, 3},
        // Soil above SBHIGH: no negative amount that would remove rain.
        {"wet soil under the ratio control", &ratio, 0.35, 0.2, 0.3, 0.5, 0, 60, 0},
        {"reversed thresholds", &soil, 0.25, 0.3, 0.2, 1, 0, 60, 0},
    };
    for (const Case& k : cases) {
        CellState cell;
        cell.soilMoisture = k.sb;
        cell.lower = k.low;
        cell.upper = k.high;
        cell.ratio = k.etr2etp;
        cell.rootDepth = 0.5;
        const double a = Amount(*k.rule, cell, k.previous, k.dt, 1, 1);
        EXPECT_NEAR(a, k.expected, 1e-12) << k.what;
        EXPECT_GE(a, 0.0) << k.what;
    }
    Rule none;
    none.method = 0;
    EXPECT_EQ(Amount(none, CellState{}, 4, 60, 1, 1), 0.0);
}
