#pragma once
// The cells of the whole grid in row order (rows 1..nrows, columns left to right), cut into
// strips of one owner, and sums accumulated in that order although every process adds only its
// own cells: the running sums travel from owner to owner along the strips and end on process 0,
// so they equal bit for bit what one process adding every cell in row order gets, whatever the
// number of processes.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include <omp.h>

#include "kernel/modelobject.hpp"
#include "kernel/mpirows.hpp"
#include "kernel/threading.hpp"

class RowOrder {
public:
    RowOrder() = default;
    // Collective. With one process every row whole; with several the strips of the decomposition
    // (which must be linked).
    explicit RowOrder(modelobject& o);

    // f(r, c) for every own cell, in row order.
    template <class F>
    void ForOwn(F&& f) const {
        for (const Segment& s : segments_) ForSegment(s, f);
    }

    // f(r, c) for every own cell, the strips shared among the threads: for work of a cell that
    // touches that cell alone, so that the order does not matter. A process of one thread goes
    // through them as ForOwn does.
    template <class F>
    void ForOwnShared(F&& f) const {
        if (omp_get_max_threads() < 2) {
            ForOwn(f);
            return;
        }
        std::int64_t cells = 0;
        for (const Segment& s : segments_)
            for (std::size_t i = s.first; i <= s.last; ++i) cells += strips_[i].len;
#pragma omp parallel if (WorthThreads(cells))
        for (const Segment& s : segments_) {
#pragma omp for schedule(runtime) nowait
            for (std::size_t i = s.first; i <= s.last; ++i) {
                const mpirows::OwnedStrip& strip = strips_[i];
                for (int c = strip.col; c < strip.col + strip.len; ++c) f(strip.row, c);
            }
        }
    }

    // Where add(r, c, to) puts a cell's part of the sums: to.Add(i, v) adds v to sums[i], at once
    // (a part that waits for nobody) or kept for later (a part that waits for running sums).
    // A zero is not kept: the sums start at +0 and so never become -0, and adding +0 or -0 to
    // any other value leaves it as it is.
    // to.AddWhole(i, v) is for sums of whole numbers only (counts: every value added to sums[i]
    // whole and every sum below 2^53): those are exact in any order, so the process adds its
    // own total once, after its last cells, instead of one addition per cell in the chain.
    struct AddNow {
        double* sums;
        double* whole;
        void Add(std::size_t i, double v) const { sums[i] += v; }
        void AddWhole(std::size_t i, double v) const { whole[i] += v; }
    };
    // Keeps a part's addends per sum (its own list for every sum), in the order they come.
    struct AddLater {
        std::vector<double>* kept;
        double* whole;
        void Add(std::size_t i, double v) const {
            if (v != 0.0) kept[i].push_back(v);
        }
        void AddWhole(std::size_t i, double v) const { whole[i] += v; }
    };

    // Sets sums to 0 and lets add(r, c, to) add every own cell to them in row order, the running
    // sums received from the owner of the cells before and sent on to the owner of the cells
    // after. The cells of a part that waits for running sums are visited before the wait and
    // their addends kept, per sum, so that the wait is followed only by the additions (the same
    // additions to each sum in the same order, several sums at once). Collective; afterwards
    // process 0 holds the sums over all cells, the others a part of them.
    //
    // With threads the cells of each part are first visited by the threads, each a piece of
    // consecutive strips, their addends kept per piece and sum; the chain then adds the pieces'
    // addends in piece order: each sum takes the same additions in the same order. add is then
    // called from several threads at once (for different cells) and must be safe for that.
    template <class F>
    void Accumulate(std::span<double> sums, F&& add) const {
        if (omp_get_max_threads() > 1 && WorthThreads(OwnCellCount())) {
            AccumulateInPieces(sums, add);
            return;
        }
        std::fill(sums.begin(), sums.end(), 0.0);
        wholes_.assign(sums.size(), 0.0);
        // The lists keep their room from step to step (the list of part k and sum i at
        // k * sums + i); only those of this call are emptied.
        const std::size_t lists = segments_.size() * sums.size();
        if (kept_.size() < lists) kept_.resize(lists);
        for (std::size_t j = 0; j < lists; ++j) kept_[j].clear();
        // A first part whose running sums have arrived already (a process that comes late) adds
        // its cells to them at once, as the part without a process before it does: the same
        // additions in the same order, without keeping and replaying them.
        const bool arrived = !segments_.empty() && segments_[0].from >= 0 && Arrived(segments_[0].from);
        for (std::size_t k = arrived ? 1 : 0; k < segments_.size(); ++k) {
            const Segment& s = segments_[k];
            if (s.from < 0) continue;
            const AddLater later{kept_.data() + k * sums.size(), wholes_.data()};
            ForSegment(s, [&](int r, int c) { add(r, c, later); });
        }
        const AddNow now{sums.data(), wholes_.data()};
        for (std::size_t k = 0; k < segments_.size(); ++k) {
            const Segment& s = segments_[k];
            if (s.from >= 0 && !(arrived && k == 0)) {
                Receive(sums, s.from);
                Replay(sums, kept_.data() + k * sums.size());
            } else {
                if (s.from >= 0) Receive(sums, s.from);
                ForSegment(s, [&](int r, int c) { add(r, c, now); });
            }
            if (k + 1 == segments_.size())
                for (std::size_t i = 0; i < sums.size(); ++i)
                    if (wholes_[i] != 0.0) sums[i] += wholes_[i];
            if (s.to >= 0) Send(sums, s.to);
        }
        if (finalFrom_ >= 0) Receive(sums, finalFrom_);
    }

private:
    // Consecutive strips of this process; from / to: the process before and after (-1: none).
    struct Segment {
        std::size_t first = 0, last = 0;
        int from = -1, to = -1;
    };
    std::int64_t OwnCellCount() const {
        std::int64_t cells = 0;
        for (const Segment& s : segments_)
            for (std::size_t i = s.first; i <= s.last; ++i) cells += strips_[i].len;
        return cells;
    }
    // Accumulate with the cells visited by a team of threads.
    template <class F>
    void AccumulateInPieces(std::span<double> sums, F&& add) const {
        std::fill(sums.begin(), sums.end(), 0.0);
        const std::size_t n = sums.size();
        const std::size_t pieces = static_cast<std::size_t>(omp_get_max_threads());
        // The lists of segment k, piece p and sum i at (k * pieces + p) * n + i; the whole-number
        // sums of piece p at p * n + i.
        const std::size_t lists = segments_.size() * pieces * n;
        if (kept_.size() < lists) kept_.resize(lists);
        for (std::size_t j = 0; j < lists; ++j) kept_[j].clear();
        pieceWholes_.assign(pieces * n, 0.0);
#pragma omp parallel num_threads(static_cast<int>(pieces))
        {
            const std::size_t p = static_cast<std::size_t>(omp_get_thread_num());
            const std::size_t team = static_cast<std::size_t>(omp_get_num_threads());
            for (std::size_t k = 0; k < segments_.size(); ++k) {
                const AddLater later{kept_.data() + (k * pieces + p) * n, pieceWholes_.data() + p * n};
                VisitPiece(segments_[k], p, team, [&](int r, int c) { add(r, c, later); });
            }
        }
        // Whole numbers sum exactly in any order.
        wholes_.assign(n, 0.0);
        for (std::size_t p = 0; p < pieces; ++p)
            for (std::size_t i = 0; i < n; ++i) wholes_[i] += pieceWholes_[p * n + i];
        for (std::size_t k = 0; k < segments_.size(); ++k) {
            const Segment& s = segments_[k];
            if (s.from >= 0) Receive(sums, s.from);
            for (std::size_t p = 0; p < pieces; ++p) Replay(sums, kept_.data() + (k * pieces + p) * n);
            if (k + 1 == segments_.size())
                for (std::size_t i = 0; i < n; ++i)
                    if (wholes_[i] != 0.0) sums[i] += wholes_[i];
            if (s.to >= 0) Send(sums, s.to);
        }
        if (finalFrom_ >= 0) Receive(sums, finalFrom_);
    }
    // f(r, c) for the cells of piece p of pieces of the segment: consecutive strips, about
    // equal in cells (a strip goes to the piece in which its first cell lies). A team smaller
    // than asked for leaves the lists of the pieces beyond it empty.
    template <class F>
    void VisitPiece(const Segment& s, std::size_t p, std::size_t pieces, F&& f) const {
        std::int64_t total = 0;
        for (std::size_t i = s.first; i <= s.last; ++i) total += strips_[i].len;
        std::int64_t before = 0;
        for (std::size_t i = s.first; i <= s.last; ++i) {
            const mpirows::OwnedStrip& strip = strips_[i];
            const std::size_t owner = total > 0 ? static_cast<std::size_t>(before * static_cast<std::int64_t>(pieces) / total) : 0;
            before += strip.len;
            if (owner < p) continue;
            if (owner > p) break;
            for (int c = strip.col; c < strip.col + strip.len; ++c) f(strip.row, c);
        }
    }
    template <class F>
    void ForSegment(const Segment& s, F&& f) const {
        for (std::size_t i = s.first; i <= s.last; ++i) {
            const mpirows::OwnedStrip& strip = strips_[i];
            for (int c = strip.col; c < strip.col + strip.len; ++c) f(strip.row, c);
        }
    }
    static void Receive(std::span<double> sums, int from);
    // Whether the running sums from that process are there to be received.
    static bool Arrived(int from);
    static void Send(std::span<const double> sums, int to);
    // Adds a part's kept lists (one per sum) to the sums, four sums at a time.
    void Replay(std::span<double> sums, const std::vector<double>* kept) const;

    std::vector<mpirows::OwnedStrip> strips_;
    std::vector<Segment> segments_;
    int finalFrom_ = -1;  // process 0: the owner of the last cells, when another process
    mutable std::vector<std::vector<double>> kept_;  // kept addends: per waiting part, per sum (reused)
    mutable std::vector<double> wholes_;             // this process's totals of the whole-number sums
    mutable std::vector<double> pieceWholes_;        // the same per piece of a team's visit
    mutable std::vector<std::size_t> filled_;        // the sums with kept addends (replay)
};
