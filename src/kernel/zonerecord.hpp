#pragma once
// Travel-time zone record: the sums of one zone, added up over the cells of every process.
#include <mpi.h>

struct zoneFZT {
    double n;           // sum of the weights added
    double sx;          // sum of the weighted values
    double zonenwert;   // zone code
    double rel;         // the zone's area share of the basin
    double RelCellSum;  // sum of the cell weights
};

// Reduction operation over zone records (registered as commutative): adds n, sx and
// RelCellSum of in to inout and leaves zonenwert and rel of inout as they are.
extern "C" void AddZoneRecords(void* in, void* inout, int* count, MPI_Datatype* type);
