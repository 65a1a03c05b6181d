#include "lateral/surfrout_storage.hpp"

#include <cmath>

namespace surfrout {

double WholeFraction(double T, double limit) {
    if (!(limit > 0)) return T;
    const double m = std::floor(T / limit);
    return m > 0 ? T / m : T;
}

SubStepPlan PlanSubSteps(double stable, double T, double shortest, double longest) {
    if (!(longest > 0)) longest = T;
    SubStepPlan p;
    p.dt = T / (std::floor(T / stable) + 1.0);
    if (shortest > 0 && p.dt < shortest)
        p.dt = shortest;
    else if (p.dt > longest)
        p.dt = longest;
    // A step too short to be represented still advances the clock.
    if (!(p.dt > 0)) p.dt = longest;
    p.count = std::floor(T / p.dt) + 1.0;
    p.refresh = std::floor(p.count / (T / longest));
    return p;
}

double NextRefresh(double refresh, double count, double T, double longest) {
    if (!(longest > 0)) longest = T;
    return std::floor(refresh + count / (T / longest));
}

double LinearStorage(double inflow, double previous, double dt, const double* k) {
    if (k == nullptr) return inflow;
    const double e = std::exp(-dt / *k);
    return inflow * (1.0 - e) + e * previous;
}

double StorageConcentration(double inflow, double inflowConc, double previous, double previousConc, double dt,
                            const double* k, double updated) {
    if (!(updated > 0)) return 0;
    if (k == nullptr) return inflowConc;
    const double e = std::exp(-dt / *k);
    return (inflow * inflowConc * (1.0 - e) + previous * previousConc * e) / updated;
}

}  // namespace surfrout
