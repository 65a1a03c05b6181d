#include "kernel/roworder.hpp"

#include <mpi.h>

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

void RowOrder::Send(std::span<const double> sums, int to) {
    MPI_Send(sums.data(), static_cast<int>(sums.size()), MPI_DOUBLE, to, kSumsTag, MPI_COMM_WORLD);
}
