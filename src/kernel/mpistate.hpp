#pragma once
// Whether MPI calls can be made now: initialised and not yet finalised.
#include <mpi.h>

inline bool MpiRunning() {
    int initialised = 0, finalised = 0;
    MPI_Initialized(&initialised);
    MPI_Finalized(&finalised);
    return initialised && !finalised;
}
