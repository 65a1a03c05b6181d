#pragma once
// The irrigation amount of one cell in one step, from its irrigation rule: fixed dates
// (methods 1 and 2), soil-moisture control (3) or control by the ratio of real to potential
// evapotranspiration (4), and the pumping limit of groundwater irrigation. Plain numbers in and
// out; the irrigation model runs it for every irrigated cell.
#include <cstdint>
#include <span>

namespace irrigation {

// Where the water comes from.
constexpr int kGroundwater = 1;
constexpr int kSurfaceWater = 2;

// The rule of one irrigation type (a record of the irrigation table).
struct Rule {
    int method = 0;              // below 1: no irrigation
    double ratioThreshold = 0;   // method 4: irrigate below this ratio of real to potential ET
    // Dated amounts of methods 1 and 2 (mm per day), entries 1..count of the spans.
    std::span<const std::int64_t> months;
    std::span<const std::int64_t> days;
    std::span<const double> amounts;
    int count = 0;
};

// The state of the cell that the demand methods compare.
struct CellState {
    double soilMoisture = 0;  // SB
    double lower = 0;         // SBLOW
    double upper = 0;         // SBHIGH
    double ratio = 1;         // ETR / ETP
    double rootDepth = 0;     // m
};

// The amount in mm for a step of dt minutes on day/month; previous is the amount of the step
// before. The soil-moisture methods fill the root zone up to the upper threshold and keep the
// amount within a day for sub-daily steps. Never below 0: a soil above the upper threshold
// needs no water.
double Amount(const Rule& rule, const CellState& cell, double previous, double dt, std::int64_t day,
              std::int64_t month);

// The water that fills the root zone from SB up to SBHIGH over its depth, spread over a day
// and taken for one step of dt minutes; 0 when SB already lies at or above SBHIGH.
double RefillAmount(const CellState& cell, double dt);

}  // namespace irrigation
