#pragma once
// Exact sums of doubles. The sum of a set of doubles is kept without any rounding as a long
// fixed-point number (32-bit digits in signed 64-bit words covering the whole double range),
// so it does not depend on the order of the additions, on how the values are split among
// threads or processes, or on the order in which the parts are joined. The exact total is
// rounded once, to the nearest double (ties to even), when it is read.
#include <mpi.h>

#include <array>
#include <cstdint>

#include "kernel/zonerecord.hpp"

class ExactSum {
public:
    // Words of 32-bit digits; digit i weighs 2^(32 i - 1074). The highest digit of a double
    // lies in word 65; the words above take the carries.
    static constexpr int kWords = 68;

    // Adds v exactly (a few integer operations). Non-finite values are summed apart and make
    // the result inf or nan as a plain sum would.
    void Add(double v);
    // The exact total rounded to the nearest double, ties to even.
    double Value() const;
    void Reset();
    bool IsZero() const;

    // Sums the accumulators sums[0..count-1] over all MPI processes exactly onto process 0;
    // afterwards process 0 holds the totals and every other process zeros. Collective.
    static void ReduceToRoot(ExactSum* sums, int count);

private:
    // Moves the carries up so that every word but the top one holds a digit in [0, 2^32).
    void Normalise();

    std::array<std::int64_t, kWords> words_{};
    double special_ = 0;      // sum of the non-finite values added
    std::uint32_t pending_ = 0;  // additions since the last normalisation
};

// The exact running sums of a zone record's n, sx and RelCellSum.
struct ExactZoneSums {
    ExactSum n, sx, RelCellSum;
    void Add(double weight, double value, double cellSum) {
        n.Add(weight);
        sx.Add(value);
        RelCellSum.Add(cellSum);
    }
    void Reset() {
        n.Reset();
        sx.Reset();
        RelCellSum.Reset();
    }
};

// Sums the exact zone sums acc[0..highest] over all processes onto process 0 and writes the
// rounded totals into records[0..highest] (n, sx and RelCellSum; zonenwert and rel untouched).
// Afterwards process 0 holds the totals and every other process zeros, in the accumulators and
// in the records. Collective.
void ReduceExactZoneRecords(ExactZoneSums* acc, zoneFZT* records, int highest);
