#include "routing/channel_pass.hpp"

#include <algorithm>

namespace routing {

void PassSubChannel(const ChannelPassState& c, int j, std::span<double* const> lines, std::span<double* const> work,
                    std::span<const double> halfLives, DecayTable& decayTable, double* qaus, double& qvzuq,
                    int& writePos) {
    const WQTable& table = *c.table;
    const int nSub = c.nSub;
    const auto tracers = lines.size();
    const int stride = table.Stride(nSub);
    const int first = (j - 1) * stride;  // position before the block of sub-channel j
    double* x0 = lines[0];
    double* z0 = work[0];

    // Delay of the class of the largest inflow.
    const int d = table.delta[static_cast<std::size_t>(WQClassIndex(table, MaxOfSubIntervals(z0, nSub), c.dt))];
    const double* decay = tracers > 1 ? decayTable.For(d, c.dt, nSub, halfLives) : nullptr;

    const int q = first + 1 + nSub + d;
    const int p = writePos;
    // Positions first + nSub + 1 .. p hold the water that entered in earlier steps and has not
    // left yet. A delay that grew leaves positions behind it that hold no water: they stay empty
    // and take the tracers of the first new value.
    for (int y = p + 1; y < q; ++y) {
        x0[y] = 0;
        for (std::size_t t = 1; t < tracers; ++t) lines[t][y] = work[t][1];
    }
    // New water joins what waits at its positions; what a shorter delay leaves behind its last
    // new position joins that position. The hydrograph changes its shape, never its water.
    const int end = q + nSub - 1;
    const int mixed = std::clamp(p - q + 1, 0, nSub);  // sub-intervals that arrive where water waits
    for (int s = 1; s <= mixed; ++s) {
        const int y = q + s - 1;
        for (std::size_t t = 1; t < tracers; ++t) lines[t][y] = MixConcentration(lines[t][y], work[t][s], x0[y], z0[s]);
        x0[y] += z0[s];
    }
    for (std::size_t t = 0; t < tracers; ++t) {
        double* x = lines[t] + (q - 1);
        const double* z = work[t];
        for (int s = mixed + 1; s <= nSub; ++s) x[s] = z[s];
    }
    for (int y = end + 1; y <= p; ++y) {
        for (std::size_t t = 1; t < tracers; ++t) lines[t][end] = MixConcentration(lines[t][end], lines[t][y], x0[end], x0[y]);
        x0[end] += x0[y];
    }

    // The block moves on by one step up to the last stored value (behind it the block holds
    // nothing); tracers decay while they travel.
    writePos = q - 1;
    const int moved = std::min(writePos, first + stride);
    for (int y = first + 1; y <= moved; ++y) x0[y] = x0[y + nSub];
    for (std::size_t t = 1; t < tracers; ++t) {
        double* x = lines[t];
        const double f = decay[t];
        for (int y = first + 1; y <= moved; ++y) x[y] = x[y + nSub] * f;
    }
    for (std::size_t t = 0; t < tracers; ++t) std::fill(lines[t] + std::max(moved, first) + 1, lines[t] + first + stride + 1, 0.0);

    // Retention of what leaves the delay line in this step.
    const double a = table.share[static_cast<std::size_t>(WQClassIndex(table, MaxOfSubIntervals(x0 + first, nSub), c.dt))];
    const double aPrev = qvzuq;
    for (int s = 1; s <= nSub; ++s) {
        const double out = RetentionOutflow(x0[first + s], qaus[s], c.cm, c.cf, a, aPrev);
        qaus[s] = out;
        z0[s] = out;
    }
    qvzuq = a;
}

}  // namespace routing
