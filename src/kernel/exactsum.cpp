// Exact, order-independent sums of doubles (see exactsum.hpp).
#include "kernel/exactsum.hpp"

#include <bit>
#include <cmath>
#include <vector>

namespace {
constexpr std::int64_t kDigit = std::int64_t{1} << 32;
constexpr std::uint64_t kLow = 0xffffffffu;
// Additions between normalisations: each adds less than 2^32 to a word, so 2^30 of them keep
// every word far from the int64 range.
constexpr std::uint32_t kPendingLimit = std::uint32_t{1} << 30;
}  // namespace

void ExactSum::Add(double v) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    if (biased == 0x7ff) {
        special_ += v;
        return;
    }
    std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
    if (m == 0 && biased == 0) return;
    // v = m * 2^(pos - 1074) with pos >= 0.
    int pos = 0;
    if (biased != 0) {
        m |= std::uint64_t{1} << 52;
        pos = biased - 1;
    }
    const int w = pos >> 5;
    const int shift = pos & 31;
    const unsigned __int128 x = static_cast<unsigned __int128>(m) << shift;
    const auto d0 = static_cast<std::int64_t>(static_cast<std::uint64_t>(x) & kLow);
    const auto d1 = static_cast<std::int64_t>(static_cast<std::uint64_t>(x >> 32) & kLow);
    const auto d2 = static_cast<std::int64_t>(static_cast<std::uint64_t>(x >> 64));
    if (bits >> 63) {
        words_[static_cast<std::size_t>(w)] -= d0;
        words_[static_cast<std::size_t>(w + 1)] -= d1;
        words_[static_cast<std::size_t>(w + 2)] -= d2;
    } else {
        words_[static_cast<std::size_t>(w)] += d0;
        words_[static_cast<std::size_t>(w + 1)] += d1;
        words_[static_cast<std::size_t>(w + 2)] += d2;
    }
    if (++pending_ >= kPendingLimit) Normalise();
}

void ExactSum::Merge(const ExactSum& other) {
    special_ += other.special_;
    // Each word of a sum stays below (additions since its normalisation + 1) x 2^32 in magnitude,
    // so the words of both add without overflow while the additions of both stay below the limit.
    if (pending_ + other.pending_ + 1 < kPendingLimit) {
        for (int i = 0; i < kWords; ++i) words_[static_cast<std::size_t>(i)] += other.words_[static_cast<std::size_t>(i)];
        pending_ += other.pending_ + 1;
        return;
    }
    ExactSum t = other;
    t.Normalise();
    Normalise();
    for (int i = 0; i < kWords; ++i) words_[static_cast<std::size_t>(i)] += t.words_[static_cast<std::size_t>(i)];
    pending_ = 1;
}

void ExactSum::Normalise() {
    std::int64_t carry = 0;
    for (int i = 0; i < kWords - 1; ++i) {
        const std::int64_t t = words_[static_cast<std::size_t>(i)] + carry;
        // Floor division by 2^32: the digit stays in [0, 2^32).
        carry = t >> 32;
        words_[static_cast<std::size_t>(i)] = t - carry * kDigit;
    }
    words_[kWords - 1] += carry;
    pending_ = 0;
}

void ExactSum::Reset() {
    words_.fill(0);
    special_ = 0;
    pending_ = 0;
}

bool ExactSum::IsZero() const {
    ExactSum t = *this;
    t.Normalise();
    for (std::int64_t w : t.words_)
        if (w != 0) return false;
    return t.special_ == 0;
}

double ExactSum::Value() const {
    if (special_ != 0 || special_ != special_) return special_;
    ExactSum t = *this;
    t.Normalise();
    std::array<std::int64_t, kWords>& d = t.words_;
    const bool negative = d[kWords - 1] < 0;
    if (negative) {
        // Two's complement over the digits gives the magnitude.
        std::int64_t borrow = 0;
        for (int i = 0; i < kWords - 1; ++i) {
            const std::int64_t v = -d[static_cast<std::size_t>(i)] - borrow;
            borrow = v < 0 ? 1 : 0;
            d[static_cast<std::size_t>(i)] = v + borrow * kDigit;
        }
        d[kWords - 1] = -d[kWords - 1] - borrow;
    }
    // The top word may exceed one digit only for totals far beyond the double range.
    if (d[kWords - 1] >= kDigit) return negative ? -HUGE_VAL : HUGE_VAL;
    int top = kWords - 1;
    while (top >= 0 && d[static_cast<std::size_t>(top)] == 0) --top;
    if (top < 0) return 0.0;
    const auto digit = [&](int i) -> std::uint64_t {
        return i >= 0 && i < kWords ? static_cast<std::uint64_t>(d[static_cast<std::size_t>(i)]) : 0u;
    };
    // Highest set bit, counted from bit 0 of word 0.
    const int msb = 32 * top + (63 - std::countl_zero(digit(top)));
    // The lowest kept bit: 53 significant bits, but not below 2^-1074 (subnormal results).
    const int low = msb - 52 > 0 ? msb - 52 : 0;
    // Kept bits [low, msb] and the round bit low-1; any lower bit makes the sticky.
    auto bitsFrom = [&](int from, int count) {  // bits [from, from+count), count <= 54, from >= 0
        const int w0 = from >> 5;
        const unsigned __int128 chunk = (static_cast<unsigned __int128>(digit(w0 + 2)) << 64) |
                                        (static_cast<unsigned __int128>(digit(w0 + 1)) << 32) | digit(w0);
        const auto r = static_cast<std::uint64_t>(chunk >> (from & 31));
        return count >= 64 ? r : r & ((std::uint64_t{1} << count) - 1);
    };
    std::uint64_t mant = bitsFrom(low, msb - low + 1);
    if (low > 0) {
        const int roundPos = low - 1;
        const bool roundBit = (digit(roundPos >> 5) >> (roundPos & 31)) & 1u;
        bool sticky = false;
        if (roundBit) {
            const int wr = roundPos >> 5;
            const std::uint64_t below = digit(wr) & ((std::uint64_t{1} << (roundPos & 31)) - 1);
            sticky = below != 0;
            for (int i = wr - 1; i >= 0 && !sticky; --i) sticky = d[static_cast<std::size_t>(i)] != 0;
            if (sticky || (mant & 1u)) ++mant;
        }
    }
    const double r = std::ldexp(static_cast<double>(mant), low - 1074);
    return negative ? -r : r;
}

void ExactSum::ReduceToRoot(ExactSum* sums, int count) {
    if (sums == nullptr || count <= 0) return;
    int initialised = 0;
    MPI_Initialized(&initialised);
    int size = 1, rank = 0;
    if (initialised) {
        MPI_Comm_size(MPI_COMM_WORLD, &size);
        MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    }
    if (size < 2) return;
    // Normalised words are digits below 2^32 (top word small): the int64 sum over the processes
    // cannot overflow. The non-finite parts travel beside them.
    const std::size_t stride = kWords + 1;
    std::vector<std::int64_t> mine(stride * static_cast<std::size_t>(count));
    std::vector<double> special(static_cast<std::size_t>(count));
    for (int k = 0; k < count; ++k) {
        ExactSum& s = sums[k];
        s.Normalise();
        for (int i = 0; i < kWords; ++i) mine[stride * static_cast<std::size_t>(k) + static_cast<std::size_t>(i)] = s.words_[static_cast<std::size_t>(i)];
        special[static_cast<std::size_t>(k)] = s.special_;
    }
    std::vector<std::int64_t> total(rank == 0 ? mine.size() : 0);
    std::vector<double> totalSpecial(rank == 0 ? special.size() : 0);
    MPI_Reduce(mine.data(), total.data(), static_cast<int>(mine.size()), MPI_INT64_T, MPI_SUM, 0, MPI_COMM_WORLD);
    MPI_Reduce(special.data(), totalSpecial.data(), count, MPI_DOUBLE, MPI_SUM, 0, MPI_COMM_WORLD);
    for (int k = 0; k < count; ++k) {
        ExactSum& s = sums[k];
        s.Reset();
        if (rank != 0) continue;
        for (int i = 0; i < kWords; ++i) s.words_[static_cast<std::size_t>(i)] = total[stride * static_cast<std::size_t>(k) + static_cast<std::size_t>(i)];
        s.special_ = totalSpecial[static_cast<std::size_t>(k)];
    }
}

zoneFZT WithExactSums(const zoneFZT& record, const ExactZoneSums& acc) {
    zoneFZT r = record;
    auto total = [](ExactSum s, double v) {
        s.Add(v);
        return s.Value();
    };
    r.n = total(acc.n, record.n);
    r.sx = total(acc.sx, record.sx);
    r.RelCellSum = total(acc.RelCellSum, record.RelCellSum);
    return r;
}

void ReduceZoneRecordsExactly(ExactZoneSums* acc, zoneFZT* records, int highest, bool withCellSums) {
    const ZoneRecordBlock block{acc, records, highest};
    ReduceZoneRecordBlocksExactly(std::span(&block, 1), withCellSums);
}

void ReduceZoneRecordBlocksExactly(std::span<const ZoneRecordBlock> blocks, bool withCellSums) {
    // One message for the three fields of all records of every block.
    std::size_t total = 0;
    for (const ZoneRecordBlock& b : blocks)
        if (b.acc != nullptr && b.records != nullptr && b.highest >= 0) total += static_cast<std::size_t>(b.highest) + 1;
    if (total == 0) return;
    std::vector<ExactSum> all(3 * total);
    std::size_t k = 0;
    for (const ZoneRecordBlock& b : blocks) {
        if (b.acc == nullptr || b.records == nullptr || b.highest < 0) continue;
        for (std::size_t i = 0; i <= static_cast<std::size_t>(b.highest); ++i, k += 3) {
            all[k] = b.acc[i].n;
            all[k].Add(b.records[i].n);
            all[k + 1] = b.acc[i].sx;
            all[k + 1].Add(b.records[i].sx);
            all[k + 2] = b.acc[i].RelCellSum;
            all[k + 2].Add(b.records[i].RelCellSum);
            b.acc[i].Reset();
        }
    }
    ExactSum::ReduceToRoot(all.data(), static_cast<int>(3 * total));
    k = 0;
    for (const ZoneRecordBlock& b : blocks) {
        if (b.acc == nullptr || b.records == nullptr || b.highest < 0) continue;
        for (std::size_t i = 0; i <= static_cast<std::size_t>(b.highest); ++i, k += 3) {
            b.records[i].n = all[k].Value();
            b.records[i].sx = all[k + 1].Value();
            if (withCellSums) b.records[i].RelCellSum = all[k + 2].Value();
        }
    }
}
