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

void RowOrder::Send(std::span<const double> sums, int to) {
    MPI_Send(sums.data(), static_cast<int>(sums.size()), MPI_DOUBLE, to, kSumsTag, MPI_COMM_WORLD);
}

void RowOrder::GroupKept(std::size_t sumCount) const {
    grouped_.resize(addends_.size());
    runs_.clear();
    runEnds_.clear();
    std::size_t begin = 0;
    for (std::size_t k = 0; k < segments_.size(); ++k) {
        const std::size_t end = ends_[k];
        if (end > begin) {
            place_.assign(sumCount, 0);
            for (std::size_t j = begin; j < end; ++j) ++place_[addends_[j].i];
            std::size_t at = begin;
            for (std::size_t i = 0; i < sumCount; ++i) {
                const std::size_t count = place_[i];
                if (count == 0) continue;
                runs_.push_back({i, at, at + count});
                place_[i] = at;
                at += count;
            }
            for (std::size_t j = begin; j < end; ++j) grouped_[place_[addends_[j].i]++] = addends_[j].v;
        }
        runEnds_.push_back(runs_.size());
        begin = end;
    }
}

void RowOrder::Replay(std::span<double> sums, std::size_t k) const {
    std::size_t g = k > 0 ? runEnds_[k - 1] : 0;
    const std::size_t last = runEnds_[k];
    const double* v = grouped_.data();
    // Each sum's additions depend on each other; four sums in step keep the processor busy.
    for (; g + 4 <= last; g += 4) {
        const Run &a = runs_[g], &b = runs_[g + 1], &c = runs_[g + 2], &d = runs_[g + 3];
        double sa = sums[a.i], sb = sums[b.i], sc = sums[c.i], sd = sums[d.i];
        const std::size_t n = std::min({a.end - a.begin, b.end - b.begin, c.end - c.begin, d.end - d.begin});
        for (std::size_t t = 0; t < n; ++t) {
            sa += v[a.begin + t];
            sb += v[b.begin + t];
            sc += v[c.begin + t];
            sd += v[d.begin + t];
        }
        for (std::size_t t = a.begin + n; t < a.end; ++t) sa += v[t];
        for (std::size_t t = b.begin + n; t < b.end; ++t) sb += v[t];
        for (std::size_t t = c.begin + n; t < c.end; ++t) sc += v[t];
        for (std::size_t t = d.begin + n; t < d.end; ++t) sd += v[t];
        sums[a.i] = sa;
        sums[b.i] = sb;
        sums[c.i] = sc;
        sums[d.i] = sd;
    }
    for (; g < last; ++g) {
        const Run& a = runs_[g];
        double sa = sums[a.i];
        for (std::size_t t = a.begin; t < a.end; ++t) sa += v[t];
        sums[a.i] = sa;
    }
}
