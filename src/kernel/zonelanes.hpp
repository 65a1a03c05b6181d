#pragma once
// Zone sums of a cell loop shared among the threads of a team, every record getting its
// additions in the order one thread makes them. A record belongs to a lane (output k, zone
// position): every thread walks all the cells in row order and makes only the additions of the
// lanes it owns, so that each record is added to by one thread, in row order, and its sums are
// the same to the last bit as on one thread. Lane (k, zone) belongs to thread
// ((k mod 64) + zone) mod threads: the outputs of one cell go to different threads, and so do
// the zones of one output.
#include <omp.h>

#include <climits>
#include <cstdint>

class ZoneLaneShare {
public:
    // The share of thread thread in a team of threads (a team of one owns every lane).
    ZoneLaneShare(int thread, int threads) : thread_(thread), threads_(threads < 1 ? 1 : threads) {
        for (int k = 0; k < 64; k += threads_) pattern_ |= std::uint64_t{1} << k;
    }
    // The share of the calling thread in its team.
    static ZoneLaneShare OfThisThread() { return ZoneLaneShare(omp_get_thread_num(), omp_get_num_threads()); }

    // The zone position of the cell walked next.
    void Zone(int zone) {
        if (zone == zone_) return;
        zone_ = zone;
        long long first = (static_cast<long long>(thread_) - zone) % threads_;
        if (first < 0) first += threads_;
        mask_ = pattern_ << first;
    }
    // Whether this thread makes the additions of output k to the zone set last.
    bool Owns(int k) const { return ((mask_ >> (static_cast<unsigned>(k) & 63u)) & 1u) != 0; }

    // Whether this thread makes any addition of the outputs 0..n-1 to the zone set last.
    bool OwnsAnyBelow(int n) const {
        if (n >= 64) return mask_ != 0;
        return n > 0 && (mask_ & ((std::uint64_t{1} << n) - 1)) != 0;
    }

private:
    int thread_;
    int threads_;
    std::uint64_t pattern_ = 0;  // bits 0, threads, 2 threads, ...
    std::uint64_t mask_ = 0;     // bit k: this thread owns lane (k, zone_)
    int zone_ = INT_MIN;
};
