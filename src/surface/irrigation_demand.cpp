#include "surface/irrigation_demand.hpp"

#include <algorithm>

namespace irrigation {

double RefillAmount(const CellState& cell, double dt) {
    const double deficit = (cell.upper - cell.soilMoisture) * cell.rootDepth * 1000.0 * dt / 1440.0;
    return std::max(0.0, deficit);
}

double Amount(const Rule& rule, const CellState& cell, double previous, double dt, std::int64_t day,
              std::int64_t month) {
    if (rule.method < 1) return 0.0;
    if (rule.method == 1 || rule.method == 2) {
        for (int i = 1; i <= rule.count; ++i)
            if (rule.days[static_cast<std::size_t>(i)] == day && rule.months[static_cast<std::size_t>(i)] == month)
                return std::max(0.0, rule.amounts[static_cast<std::size_t>(i)] * dt / 1440.0);
        return 0.0;
    }
    if (rule.method != 3 && rule.method != 4) return 0.0;
    const bool wetEnough = rule.method == 3 ? cell.soilMoisture >= cell.lower : cell.ratio >= rule.ratioThreshold;
    if (wetEnough) {
        if (dt >= 1440 || cell.upper <= cell.soilMoisture) return 0.0;
        return std::max(0.0, previous);
    }
    if (previous == 0) return RefillAmount(cell, dt);
    return std::max(0.0, previous);
}

}  // namespace irrigation
