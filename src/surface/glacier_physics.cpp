// Glacier runoff storages, firn levels, glacier melt rates, volume-area scaling and the
// permafrost thaw depth.
#include "surface/glacier_physics.hpp"

#include <algorithm>
#include <cmath>

namespace glacier {

double StorageOutflow(double outflow, double k, double input) {
    const double e = std::exp(-1.0 / k);
    return outflow * e + (1.0 - e) * input;
}

double RouteSubbasin(Triple& q, const Triple& k, const Triple& in, double phi) {
    if (!(phi > 0)) {
        q = Triple{};
        return 0.0;
    }
    q.ice = StorageOutflow(q.ice, k.ice, in.ice / phi);
    q.firn = StorageOutflow(q.firn, k.firn, in.firn / phi);
    q.snow = StorageOutflow(q.snow, k.snow, in.snow / phi);
    return (q.ice + q.firn + q.snow) * phi;
}

double FirnSum(std::span<const double> levels, double nodata) {
    double sum = 0;
    for (std::size_t l = 1; l < levels.size(); ++l)
        if (levels[l] != nodata) sum += levels[l];
    return sum;
}

void PushDownFirn(std::span<double> levels, double swe, double nodata) {
    const std::size_t n = levels.size() - 1;
    if (n < 1) return;
    for (std::size_t l = n - 1; l >= 1; --l) levels[l + 1] = levels[l];
    levels[1] = swe;
    levels[0] = FirnSum(levels, nodata);
}

double MeltFirn(std::span<double> levels, double melt, double nodata) {
    double rest = melt;
    for (std::size_t l = 1; l < levels.size() && rest > 0; ++l) {
        const double have = levels[l] == nodata ? 0.0 : levels[l];
        const double take = std::min(have, rest);
        levels[l] = have - take;
        rest -= take;
    }
    levels[0] = FirnSum(levels, nodata);
    return rest;
}

bool UsesRadiation(int method) { return method == 2 || method == 12 || method == 13; }
bool IsDynamic(int method) { return method >= 11 && method <= 13; }

double SnowMelt(const MeltParameters& p, double T, double snowFactor, double R) {
    if (!(T > p.T0)) return 0.0;
    const double dT = T - p.T0;
    if (UsesRadiation(p.method)) return (p.MF / p.stepsPerDay + snowFactor * R) * dT;
    return p.DDFsnow * dT / p.stepsPerDay;
}

double FirnMeltRate(const MeltParameters& p, double T, double snowFactor, double R) {
    if (!(T > p.T0)) return 0.0;
    const double dT = T - p.T0;
    if (UsesRadiation(p.method)) return (p.MF / p.stepsPerDay + snowFactor * R) * dT;
    return p.DDFfirn * dT / p.stepsPerDay;
}

double IceMeltRate(const MeltParameters& p, double T, double iceFactor, double R, double debris) {
    if (!(T > p.T0)) return 0.0;
    const double dT = T - p.T0;
    const double f = debris * p.debrisScale;
    if (UsesRadiation(p.method)) return f * (p.MF / p.stepsPerDay + iceFactor * R) * dT;
    return f * p.DDFice * dT / p.stepsPerDay;
}

double VolumeOfArea(double& area, Scaling s) {
    area = std::max(area, kMinArea);
    return s.c * std::pow(area, s.exponent);
}

double AreaOfVolume(double& volume, Scaling s) {
    volume = std::max(volume, kMinVolume);
    return std::pow(volume / s.c, 1.0 / s.exponent);
}

StartValues StartRecord(double countedArea, Scaling s) {
    StartValues v;
    v.area = countedArea;
    v.volume = VolumeOfArea(v.area, s);
    v.previousVolume = v.volume <= kMinVolume ? kMinVolume : v.volume;
    v.previousArea = std::pow(v.previousVolume / s.c, 1.0 / s.exponent);
    return v;
}

double PermafrostStep(const PermafrostParameters& p, double cover, double coefficient, PermafrostCell& cell) {
    if (cover <= p.maxSweSnowFree) {
        cell.snowCoverDays = 0;
        cell.snowFreeDays += 1.0 / p.stepsPerDay;
        if (cell.snowFreeDays > 0) cell.thawDepth = coefficient * std::sqrt(cell.snowFreeDays);
    } else {
        cell.snowCoverDays += 1.0 / p.stepsPerDay;
        if (cell.snowCoverDays >= p.minSnowAgeRefreeze) {
            cell.snowFreeDays = 0;
            cell.thawDepth = 0;
        }
    }
    return cell.thawDepth;
}

}  // namespace glacier
