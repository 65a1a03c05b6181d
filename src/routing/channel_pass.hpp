#pragma once
// One time step of water through one sub-channel of a routing channel: translation in a delay
// line by the delay of the discharge class, then retention in two parallel linear storages,
// one for the main channel and one for the flood plain. Plain numbers and pointers in, numbers
// out: no log, no grid store, no allocation.
#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#include "routing/channel.hpp"

namespace routing {

// ln 2 as the half-life of a tracer enters its decay: exp(-t / (T x 1.442695041111)).
inline constexpr double kHalfLifeScale = 1.442695041111;

// Outflow of the two parallel linear storages of one sub-interval: u is the inflow, o the
// outflow of the same sub-interval in the previous step, a and aPrev the flood-plain shares of
// this and of the previous step, cm and cf the retention factors of main channel and flood plain.
// Together they act as one storage with the factor e = cm (1 - a) + cf a, which holds
// e / (1 - e) times its outflow. While the share stays, out = (1 - e) u + e o. When the share
// changes, the water stored under the previous factor is released under the new one, so the
// storage keeps its water: out = (1 - e) (u + ePrev / (1 - ePrev) o).
inline double RetentionOutflow(double u, double o, double cm, double cf, double a, double aPrev) {
    if (a == aPrev || cm == cf)
        return (1 - cm) * (1 - a) * u + cm * (1 - aPrev) * o + (1 - cf) * a * u + cf * aPrev * o;
    const double e = cm * (1 - a) + cf * a, ePrev = cm * (1 - aPrev) + cf * aPrev;
    const double stored = ePrev < 1 ? ePrev / (1 - ePrev) * o : 0.0;
    return (1 - e) * (u + stored);
}

// Decay of a tracer with half-life halfLife (days) over delay sub-intervals of a step of dt
// minutes split into nSub sub-intervals; a tracer without a positive half-life does not decay.
inline double ChannelDecayFactor(int delay, double dt, int nSub, double halfLife) {
    if (!(halfLife > 0)) return 1.0;
    const double tau = delay * dt / nSub / 60 / 24;
    return std::exp(-tau / (halfLife * kHalfLifeScale));
}

// Volume-weighted mean of two concentrations; 0 when both volumes are 0.
inline double MixConcentration(double a, double b, double wa, double wb) {
    const double w = std::fabs(wa) + std::fabs(wb);
    return w == 0 ? 0.0 : (a * std::fabs(wa) + b * std::fabs(wb)) / w;
}

// Largest of entries 1..nSub of a series.
inline double MaxOfSubIntervals(const double* series, int nSub) {
    double m = series[1];
    for (int s = 2; s <= nSub; ++s) m = series[s] > m ? series[s] : m;
    return m;
}

// The state of one channel element that a pass reads and rewrites.
struct ChannelPassState {
    const WQTable* table = nullptr;
    double cm = 0, cf = 0;  // retention factors exp(-1/k)
    double dt = 60;         // time step, minutes
    int nSub = 1;           // time sub-intervals
};

// The decay factors of the tracers by delay, computed once for each delay a pass meets: the
// factor depends on the delay, the step, the sub-intervals and the half-life only.
class DecayTable {
public:
    // Factors of tracers 1..tracers-1 (entry 0 unused) for a delay of d sub-intervals.
    const double* For(int d, double dt, int nSub, std::span<const double> halfLives) {
        if (dt != dt_ || nSub != nSub_ || halfLives.size() != tracers_ ||
            !std::equal(halfLives.begin(), halfLives.end(), halfLives_.begin())) {
            dt_ = dt;
            nSub_ = nSub;
            tracers_ = halfLives.size();
            halfLives_.assign(halfLives.begin(), halfLives.end());
            known_.clear();
            values_.clear();
        }
        const auto row = static_cast<std::size_t>(d < 0 ? 0 : d);
        if (row >= known_.size()) {
            known_.resize(row + 1, 0);
            values_.resize((row + 1) * tracers_, 1.0);
        }
        double* v = values_.data() + row * tracers_;
        if (!known_[row]) {
            for (std::size_t t = 1; t < tracers_; ++t) v[t] = ChannelDecayFactor(d, dt, nSub, halfLives[t]);
            known_[row] = 1;
        }
        return v;
    }

private:
    double dt_ = -1;
    int nSub_ = 0;
    std::size_t tracers_ = 0;
    std::vector<double> halfLives_;
    std::vector<char> known_;
    std::vector<double> values_;
};

// The values of one tracer in delay lines whose tracers stand side by side: position y at
// base[y * stride].
template <class V>
class TracerLine {
public:
    TracerLine() = default;
    TracerLine(V* base, std::size_t size, std::size_t stride) : base_(base), size_(size), stride_(stride) {}
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    V& operator[](std::size_t y) const { return base_[y * stride_]; }
    V& back() const { return (*this)[size_ - 1]; }

private:
    V* base_ = nullptr;
    std::size_t size_ = 0, stride_ = 1;
};

// The outflows of a channel's sub-channels in one block: row j (sub-channel j) holds the
// sub-intervals 0..width-1, rows[j][s].
class SubChannelRows {
public:
    void assign(std::size_t rows, std::size_t width, double value) {
        width_ = width;
        values_.assign(rows * width, value);
    }
    std::size_t size() const { return width_ > 0 ? values_.size() / width_ : 0; }
    double* operator[](std::size_t j) { return values_.data() + j * width_; }
    const double* operator[](std::size_t j) const { return values_.data() + j * width_; }
    std::span<const double> Row(std::size_t j) const { return {(*this)[j], width_}; }
    const double* data() const { return values_.data(); }

private:
    std::size_t width_ = 0;
    std::vector<double> values_;
};

// Passes the work series through sub-channel j (1-based). The tracers (0 = water) stand side by
// side: position y of tracer t of the delay lines at lines[y * tracers + t], sub-interval s
// (1..nSub) of tracer t of the work series at work[s * tracers + t]. halfLives[t] is the
// tracer's half-life in days (entry 0 unused, halfLives.size() == tracers). The block of
// sub-channel j spans the positions (j-1)*S+1 .. j*S with S = largest delay + nSub. The water
// of the work series is replaced by the outflow; its tracers keep what entered the element.
void PassSubChannel(const ChannelPassState& c, int j, double* lines, double* work, std::size_t tracers,
                    std::span<const double> halfLives, DecayTable& decay, double* qaus, double& qvzuq,
                    int& writePos);

// Passes the work series through every sub-channel of a channel, the last sub-channel first
// and the first one last, as PassSubChannel does for each: sub-channel j's outflows at
// qaus[j], its flood-plain share at qvzuq[j] and its write position at writePos[j].
void PassChannel(const ChannelPassState& c, double* lines, double* work, std::size_t tracers,
                 std::span<const double> halfLives, DecayTable& decay, SubChannelRows& qaus, double* qvzuq,
                 int* writePos);

}  // namespace routing
