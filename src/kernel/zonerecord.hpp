#pragma once
// The zone record: what the statistics of one zone (subbasin, flow-time zone) accumulate in a
// step. Arrays of them are indexed by zone position 0..nzones; position 0 is a spare record
// (record 0 of a ranking holds the basin area in rel). Also the table entry through which
// zone statistics report their last rows.
#include <mpi.h>

#include <span>

#include "kernel/outputcodes.hpp"

struct zoneFZT {
    double n = 0;           // sum of the weights added
    double sx = 0;          // sum of the weighted values
    double zonenwert = 0;   // zone code
    double rel = 0;         // area share of the zone in the basin
    double RelCellSum = 0;  // sum of the cell weights
};
static_assert(sizeof(zoneFZT) == 5 * sizeof(double), "zone records travel as five doubles");

// The most flow-time zones a subbasin may have: zone numbers become array sizes and integers.
inline constexpr double kMaxFlowTimeZones = 1e6;
// The share of a machine's memory the flow-time zone records of the soil model, and those of
// surface routing, may take at most (each, so that both leave half of it to the rest).
inline constexpr double kFlowTimeZoneMemoryShare = 0.25;

// One entry of the table of statistics outputs (ten 64-bit words: date, value count and
// references to the live arrays of one statistics table; see outputcodes.hpp).
using OutputCodeRecord = OutputCodeEntry;

// Reduction operation over zone records (registered as commutative): adds n, sx and
// RelCellSum of in to inout and leaves zonenwert and rel of inout as they are.
extern "C" void AddZoneRecords(void* in, void* inout, int* count, MPI_Datatype* type);

// Sums n, sx and RelCellSum of records 0..highest over all MPI processes onto process 0.
// Process 0 adds the contributions in rank order, starting from +0.0, so the sums do not
// depend on how MPI combines messages. Afterwards process 0 holds the sums and every other
// process 0 in the copied fields; with copyAll false only n and sx are copied back (the other
// processes keep their RelCellSum). zonenwert and rel are never touched. Collective.
void ReduceZoneRecords(zoneFZT* records, int highest, bool copyAll);

// ReduceZoneRecords for several record arrays in one collective: array k holds records
// 0..highest[k] (a null array or a negative highest is left out, as ReduceZoneRecords leaves
// it). Every field gets the sums and the copies one ReduceZoneRecords call per array would give.
// Collective; returns at once on every process when no array takes part.
void ReduceZoneRecordSets(std::span<zoneFZT* const> records, std::span<const int> highest, bool copyAll);
