#include "routing/channel_pass.hpp"

#include <algorithm>

namespace routing {

namespace {
// The pass for kTracers tracers and kSub sub-intervals, or for any number (`tracers`, c.nSub)
// where they are 0: water alone gets a pass whose positions are plain indices, and water alone
// in one sub-interval one without loops over the sub-intervals.
template <std::size_t kTracers, int kSub>
void Pass(const ChannelPassState& c, int j, double* lines, double* work, std::size_t tracers,
          std::span<const double> halfLives, DecayTable& decayTable, double* qaus, double& qvzuq, int& writePos) {
    const WQTable& table = *c.table;
    const int nSub = kSub > 0 ? kSub : c.nSub;
    const double perMm = SpecificRunoffPerMm(c.dt);
    const std::size_t T = kTracers > 0 ? kTracers : tracers;
    const int stride = table.Stride(nSub);
    const int first = (j - 1) * stride;  // position before the block of sub-channel j
    auto X = [&](int y) { return lines + static_cast<std::size_t>(y) * T; };
    auto Z = [&](int s) { return work + static_cast<std::size_t>(s) * T; };

    // Delay of the class of the largest inflow.
    double zmax = Z(1)[0];
    for (int s = 2; s <= nSub; ++s) zmax = Z(s)[0] > zmax ? Z(s)[0] : zmax;
    const int d = table.delta[static_cast<std::size_t>(WQClassOfRunoff(table, SpecificRunoffOf(zmax, perMm)))];
    static constexpr double kNoDecay = 1.0;
    // Entry 0 of the factors is 1: the water moves unchanged.
    const double* decay = T > 1 ? decayTable.For(d, c.dt, nSub, halfLives) : &kNoDecay;

    const int q = first + 1 + nSub + d;
    const int p = writePos;
    // Positions first + nSub + 1 .. p hold the water that entered in earlier steps and has not
    // left yet. A delay that grew leaves positions behind it that hold no water: they stay empty
    // and take the tracers of the first new value.
    for (int y = p + 1; y < q; ++y) {
        double* v = X(y);
        const double* w = Z(1);
        v[0] = 0;
        for (std::size_t t = 1; t < T; ++t) v[t] = w[t];
    }
    // New water joins what waits at its positions; what a shorter delay leaves behind its last
    // new position joins that position. The hydrograph changes its shape, never its water.
    const int end = q + nSub - 1;
    const int mixed = std::clamp(p - q + 1, 0, nSub);  // sub-intervals that arrive where water waits
    for (int s = 1; s <= mixed; ++s) {
        double* v = X(q + s - 1);
        const double* w = Z(s);
        for (std::size_t t = 1; t < T; ++t) v[t] = MixConcentration(v[t], w[t], v[0], w[0]);
        v[0] += w[0];
    }
    {
        const double* from = Z(mixed + 1);
        double* to = X(q + mixed);
        const std::size_t n = static_cast<std::size_t>(nSub - mixed) * T;
        if constexpr (kTracers == 1) {
            for (std::size_t k = 0; k < n; ++k) to[k] = from[k];
        } else {
            std::copy_n(from, n, to);
        }
    }
    for (int y = end + 1; y <= p; ++y) {
        double* e = X(end);
        const double* v = X(y);
        for (std::size_t t = 1; t < T; ++t) e[t] = MixConcentration(e[t], v[t], e[0], v[0]);
        e[0] += v[0];
    }

    // The block moves on by one step up to the last stored value (behind it the block holds
    // nothing); tracers decay while they travel.
    writePos = q - 1;
    const int moved = std::min(writePos, first + stride);
    const std::size_t step = static_cast<std::size_t>(nSub) * T;
    if (T == 1) {
        for (int y = first + 1; y <= moved; ++y) lines[y] = lines[y + nSub];
    } else {
        for (int y = first + 1; y <= moved; ++y) {
            double* __restrict a = X(y);
            const double* __restrict b = a + step;
            for (std::size_t t = 0; t < T; ++t) a[t] = b[t] * decay[t];
        }
    }
    if (const int from = std::max(moved, first) + 1; from <= first + stride) {
        if constexpr (kTracers == 1) {
            // A few positions: a loop, not a call.
            for (int y = from; y <= first + stride; ++y) lines[y] = 0;
        } else {
            std::fill(X(from), X(first + stride + 1), 0.0);
        }
    }

    // Retention of what leaves the delay line in this step.
    double amax = X(first + 1)[0];
    for (int s = 2; s <= nSub; ++s) amax = X(first + s)[0] > amax ? X(first + s)[0] : amax;
    const double a = table.share[static_cast<std::size_t>(WQClassOfRunoff(table, SpecificRunoffOf(amax, perMm)))];
    const double aPrev = qvzuq;
    for (int s = 1; s <= nSub; ++s) {
        const double out = RetentionOutflow(X(first + s)[0], qaus[s], c.cm, c.cf, a, aPrev);
        qaus[s] = out;
        Z(s)[0] = out;
    }
    qvzuq = a;
}

// Every sub-channel of a channel, the last first.
template <std::size_t kTracers, int kSub>
void PassAll(const ChannelPassState& c, double* lines, double* work, std::size_t tracers,
             std::span<const double> halfLives, DecayTable& decay, SubChannelRows& qaus, double* qvzuq, int* writePos) {
    for (int j = static_cast<int>(c.table->m); j >= 1; --j) {
        const auto jj = static_cast<std::size_t>(j);
        Pass<kTracers, kSub>(c, j, lines, work, tracers, halfLives, decay, qaus[jj], qvzuq[jj], writePos[jj]);
    }
}
}  // namespace

void PassChannel(const ChannelPassState& c, double* lines, double* work, std::size_t tracers,
                 std::span<const double> halfLives, DecayTable& decay, SubChannelRows& qaus, double* qvzuq,
                 int* writePos) {
    if (tracers == 1 && c.nSub == 1) PassAll<1, 1>(c, lines, work, tracers, halfLives, decay, qaus, qvzuq, writePos);
    else if (tracers == 1) PassAll<1, 0>(c, lines, work, tracers, halfLives, decay, qaus, qvzuq, writePos);
    else PassAll<0, 0>(c, lines, work, tracers, halfLives, decay, qaus, qvzuq, writePos);
}

void PassSubChannel(const ChannelPassState& c, int j, double* lines, double* work, std::size_t tracers,
                    std::span<const double> halfLives, DecayTable& decay, double* qaus, double& qvzuq,
                    int& writePos) {
    if (tracers == 1 && c.nSub == 1) Pass<1, 1>(c, j, lines, work, tracers, halfLives, decay, qaus, qvzuq, writePos);
    else if (tracers == 1) Pass<1, 0>(c, j, lines, work, tracers, halfLives, decay, qaus, qvzuq, writePos);
    else Pass<0, 0>(c, j, lines, work, tracers, halfLives, decay, qaus, qvzuq, writePos);
}

}  // namespace routing
