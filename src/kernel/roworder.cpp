#include "kernel/roworder.hpp"

#include <mpi.h>

#include <algorithm>

namespace {
// Message tag of the running sums (pairs of processes exchange them in program order).
constexpr int kSumsTag = 7031;
}  // namespace

RowOrder::RowOrder(modelobject& o) {
    if (o.size < 2) {
        for (int r = 1; r <= o.nrows; ++r) strips_.push_back({r, 1, o.ncols, 0});
    } else {
        strips_ = mpirows::AllStrips(o);
    }
    const std::size_t n = strips_.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (strips_[i].owner != o.rank) continue;
        if (!segments_.empty() && segments_.back().last + 1 == i) {
            segments_.back().last = i;
            continue;
        }
        Segment s;
        s.first = s.last = i;
        if (i > 0) s.from = strips_[i - 1].owner;
        segments_.push_back(s);
    }
    for (Segment& s : segments_) {
        if (s.last + 1 < n) {
            s.to = strips_[s.last + 1].owner;
        } else if (o.rank != 0) {
            s.to = 0;
        }
    }
    if (o.rank == 0 && n > 0 && strips_.back().owner != 0) finalFrom_ = strips_.back().owner;
}

void RowOrder::Receive(std::span<double> sums, int from) {
    MPI_Recv(sums.data(), static_cast<int>(sums.size()), MPI_DOUBLE, from, kSumsTag, MPI_COMM_WORLD,
             MPI_STATUS_IGNORE);
}

bool RowOrder::Arrived(int from) {
    int flag = 0;
    MPI_Iprobe(from, kSumsTag, MPI_COMM_WORLD, &flag, MPI_STATUS_IGNORE);
    return flag != 0;
}

void RowOrder::Send(std::span<const double> sums, int to) {
    MPI_Send(sums.data(), static_cast<int>(sums.size()), MPI_DOUBLE, to, kSumsTag, MPI_COMM_WORLD);
}

void RowOrder::Replay(std::span<double> sums, const std::vector<double>* kept) const {
    filled_.clear();
    for (std::size_t i = 0; i < sums.size(); ++i)
        if (!kept[i].empty()) filled_.push_back(i);
    std::size_t g = 0;
    const std::size_t last = filled_.size();
    // Each sum's additions depend on each other; four sums in step keep the processor busy.
    for (; g + 4 <= last; g += 4) {
        const std::vector<double>& a = kept[filled_[g]];
        const std::vector<double>& b = kept[filled_[g + 1]];
        const std::vector<double>& c = kept[filled_[g + 2]];
        const std::vector<double>& d = kept[filled_[g + 3]];
        double sa = sums[filled_[g]], sb = sums[filled_[g + 1]], sc = sums[filled_[g + 2]], sd = sums[filled_[g + 3]];
        const std::size_t n = std::min({a.size(), b.size(), c.size(), d.size()});
        for (std::size_t t = 0; t < n; ++t) {
            sa += a[t];
            sb += b[t];
            sc += c[t];
            sd += d[t];
        }
        for (std::size_t t = n; t < a.size(); ++t) sa += a[t];
        for (std::size_t t = n; t < b.size(); ++t) sb += b[t];
        for (std::size_t t = n; t < c.size(); ++t) sc += c[t];
        for (std::size_t t = n; t < d.size(); ++t) sd += d[t];
        sums[filled_[g]] = sa;
        sums[filled_[g + 1]] = sb;
        sums[filled_[g + 2]] = sc;
        sums[filled_[g + 3]] = sd;
    }
    for (; g < last; ++g) {
        const std::vector<double>& a = kept[filled_[g]];
        double sa = sums[filled_[g]];
        for (const double v : a) sa += v;
        sums[filled_[g]] = sa;
    }
}
