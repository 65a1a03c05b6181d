#pragma once
// Exact sums of doubles. The sum of a set of doubles is kept without any rounding as a long
// fixed-point number (32-bit digits in signed 64-bit words covering the whole double range),
// so it does not depend on the order of the additions, on how the values are split among
// threads or processes, or on the order in which the parts are joined. The exact total is
// rounded once, to the nearest double (ties to even), when it is read.
#include <mpi.h>
#include <omp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kernel/zonerecord.hpp"

class ExactSum {
public:
    // Words of 32-bit digits; digit i weighs 2^(32 i - 1074). The highest digit of a double
    // lies in word 65; the words above take the carries.
    static constexpr int kWords = 68;

    // Adds v exactly (a few integer operations). Non-finite values are summed apart and make
    // the result inf or nan as a plain sum would.
    void Add(double v);
    // Adds the exact total of other, as adding its values one by one would: sums kept apart
    // (by threads, say) and merged in any order give the bits of one sum of all the values.
    void Merge(const ExactSum& other);
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
    void Merge(const ExactZoneSums& other) {
        n.Merge(other.n);
        sx.Merge(other.sx);
        RelCellSum.Merge(other.RelCellSum);
    }
};

// Rows first..last added into `count` exact zone sums: addRow(r, sumOf) adds the cells of row r,
// sumOf(i) naming sum i (0..count-1); target(i) is sum i itself. With a team of threads
// (threaded) each thread adds blocks of rows into copies of its own, merged into the sums
// afterwards (an exact sum's bits do not depend on the order of its additions), as long as a
// thread's copies number at most a 64th of the rows' cells (cells), so that the copies and their
// merging stay small beside the cells' work; else one thread adds every row.
template <class AddRow, class Target>
void AddRowsIntoExactSums(bool threaded, int first, int last, long cells, std::size_t count, AddRow addRow,
                          Target target) {
    const long team = omp_get_max_threads();
    if (threaded && team > 1 && static_cast<long>(count) * team * 64 <= cells) {
#pragma omp parallel
        {
            std::vector<ExactZoneSums> mine(count);
            const auto own = [&](std::size_t i) -> ExactZoneSums& { return mine[i]; };
#pragma omp for schedule(static) nowait
            for (int r = first; r <= last; ++r) addRow(r, own);
#pragma omp critical
            for (std::size_t i = 0; i < count; ++i) target(i).Merge(mine[i]);
        }
    } else {
        for (int r = first; r <= last; ++r) addRow(r, target);
    }
}

// The record's n, sx and RelCellSum plus the exact sums, rounded once.
zoneFZT WithExactSums(const zoneFZT& record, const ExactZoneSums& acc);

// Sums the records[0..highest] (n, sx, RelCellSum) together with the exact sums acc[0..highest]
// of every process exactly onto process 0, each total rounded once. Afterwards process 0 holds
// the totals in its records and every other process zeros (RelCellSum untouched where
// withCellSums is false); the exact sums are reset everywhere. zonenwert and rel are never
// touched. The result does not depend on how the added values are split among processes or
// threads, nor on their order. Collective.
void ReduceZoneRecordsExactly(ExactZoneSums* acc, zoneFZT* records, int highest, bool withCellSums);
// The same for several arrays of records in one reduction (each as the call above would leave it).
struct ZoneRecordBlock {
    ExactZoneSums* acc = nullptr;
    zoneFZT* records = nullptr;
    int highest = -1;
};
void ReduceZoneRecordBlocksExactly(std::span<const ZoneRecordBlock> blocks, bool withCellSums);
