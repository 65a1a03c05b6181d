#include "surface/irrigation_supply.hpp"

#include <algorithm>

namespace irrigation {
namespace {

// Lowers a channel's discharge by q m3/s and recomputes its flow in mm; both end at 0 when
// the discharge would turn negative, and the flow is 0 for a channel without catchment area.
void LowerChannel(RiverChannel& ch, double q, double dt) {
    if (!ch.routed) return;
    ch.flowm3s -= q;
    if (ch.flowm3s < 0) {
        ch.flowm3s = 0;
        ch.flowMm = 0;
        return;
    }
    ch.flowMm = ch.area > 0 ? ch.flowm3s / ch.area * dt * 0.06 : 0.0;
}

}  // namespace

SupplyResult DrawSurfaceWater(const SupplyInput& in, std::span<const double> sx, std::span<double> maxirrig,
                              std::span<const double> reservoirs, std::span<RiverChannel> channels) {
    const int n = static_cast<int>(in.demand.size()) - 1;
    SupplyResult out;
    out.fromReservoirs.assign(static_cast<std::size_t>(n) + 1, 0.0);
    out.factor.assign(static_cast<std::size_t>(n) + 1, 1.0);
    auto at = [](auto& v, int i) -> auto& { return v[static_cast<std::size_t>(i)]; };

    for (int s = 1; s <= n; ++s) {
        const double m = at(reservoirs, s);
        at(out.fromReservoirs, s) = m <= 0 ? 0.0 : std::min(m, at(in.demand, s));
    }

    const bool linked = !channels.empty();
    for (int k = 1; k <= n; ++k) {
        const int t = at(in.targets, k);
        if (t <= 0) continue;
        if (t > n) {
            out.badSubbasin = k;
            return out;
        }
        const double U = at(in.demand, t) - at(out.fromReservoirs, t);
        const double W = std::max(0.0, std::min(U, at(maxirrig, t)));
        const double q = W * at(in.area, t) / (in.dt * 0.06);
        if (linked) LowerChannel(at(channels, t), q, in.dt);
        // Follow the chain below t; a chain longer than the number of subbasins is a cycle.
        int steps = 0;
        for (int j = at(in.targets, t); j > 0; j = at(in.targets, j)) {
            if (j > n) {
                out.badSubbasin = t;
                return out;
            }
            if (++steps > n) {
                out.badSubbasin = t;
                out.cyclic = true;
                return out;
            }
            if (at(in.area, j) > 0)
                at(maxirrig, j) = std::max(0.0, at(maxirrig, j) - W * at(in.area, t) / at(in.area, j));
            if (linked) LowerChannel(at(channels, j), q, in.dt);
        }
    }

    for (int s = 1; s <= n; ++s) {
        const double unmet = at(in.demand, s) - at(out.fromReservoirs, s);
        double F = 1.0;
        if (at(sx, s) > 0 && unmet > 1e-8) F = std::min(1.0, at(maxirrig, s) / unmet);
        at(out.factor, s) = F;
        at(maxirrig, s) = F;
        if (F < 1.0 || at(reservoirs, s) < at(in.demand, s)) out.shortage = true;
    }
    return out;
}

double ReducedAmount(double amount, double m, double A, double F) {
    const double r = m > 0 ? std::min(A / m, 1.0) : 0.0;
    const double p = m + F > 0 ? m / (m + F) : 0.0;
    return (1.0 - p) * amount * F + p * amount * r;
}

}  // namespace irrigation
