#pragma once
// The runoff of a step that the descriptions route, by flow index, sub-interval and tracer. The
// values of one flow index lie together (sub-interval after sub-interval, the tracers of each
// side by side), so that a description reads and writes a few cache lines per flow index.
#include <cstddef>
#include <vector>

namespace routing {

class FlowHistory {
public:
    // Tracers 0..tracers-1, sub-intervals 1..nSub, flow indices 0..flows-1, all 0.
    void Assign(int tracers, int nSub, std::size_t flows) {
        tracers_ = static_cast<std::size_t>(tracers);
        block_ = tracers_ * static_cast<std::size_t>(nSub);
        flows_ = flows;
        values_.assign(block_ * flows, 0.0);
    }
    double& operator()(int t, int s, std::size_t i) { return values_[Index(t, s, i)]; }
    double operator()(int t, int s, std::size_t i) const { return values_[Index(t, s, i)]; }
    bool Empty() const { return values_.empty(); }
    std::size_t Flows() const { return flows_; }
    // The values of flow index i: tracer t of sub-interval s at [(s - 1) * tracers + t].
    double* At(std::size_t i) { return values_.data() + i * block_; }
    const double* At(std::size_t i) const { return values_.data() + i * block_; }

private:
    std::size_t Index(int t, int s, std::size_t i) const {
        return i * block_ + static_cast<std::size_t>(s - 1) * tracers_ + static_cast<std::size_t>(t);
    }
    std::size_t tracers_ = 0, block_ = 0, flows_ = 0;
    std::vector<double> values_;
};

}  // namespace routing
