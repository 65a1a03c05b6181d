#include "routing/channel_pass.hpp"

namespace routing {

void PassSubChannel(const ChannelPassState& c, int j, std::span<double* const> lines, std::span<double* const> work,
                    std::span<const double> halfLives, std::span<double> decay, double* qaus, double& qvzuq,
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
    for (std::size_t t = 1; t < tracers; ++t) decay[t] = ChannelDecayFactor(d, c.dt, nSub, halfLives[t]);

    const int q = first + 1 + nSub + d;
    const int p = writePos;
    // A delay that grew leaves a gap behind the last stored value: it takes the smaller of that
    // value and the first new one, with the tracers of the same source.
    if (p + 1 < q) {
        const bool stored = x0[p] < z0[1];
        for (std::size_t t = 0; t < tracers; ++t) {
            const double g = stored ? lines[t][p] : work[t][1];
            for (int y = p + 1; y < q; ++y) lines[t][y] = g;
        }
    }
    for (std::size_t t = 0; t < tracers; ++t)
        for (int s = 1; s <= nSub; ++s) lines[t][q + s - 1] = work[t][s];

    // The block moves on by one step; tracers decay while they travel.
    for (int y = first + 1; y <= first + stride; ++y) x0[y] = x0[y + nSub];
    for (std::size_t t = 1; t < tracers; ++t) {
        double* x = lines[t];
        for (int y = first + 1; y <= first + stride; ++y) x[y] = x[y + nSub] * decay[t];
    }
    writePos = q - 1;

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
