#pragma once
// The program's OpenMP set-up where the user leaves it open: how long idle threads spin and
// how many threads each process runs.
#include <mpi.h>

// Spin count of idle threads (GNU OpenMP) when neither OMP_WAIT_POLICY nor GOMP_SPINCOUNT is
// set: a thread waiting at a barrier spins this many rounds, then sleeps until it is woken.
inline constexpr const char* kBriefSpinCount = "10000";

// Where the user set neither OMP_WAIT_POLICY nor GOMP_SPINCOUNT, restarts the program (same
// process, same arguments) with GOMP_SPINCOUNT set to kBriefSpinCount: the GNU runtime reads
// its wait policy once, when it is loaded, before main. Returns when nothing is to be done or
// the restart failed (the run goes on with the runtime's own policy). Call before MPI_Init.
void RestartWithBriefSpinning(char** argv);

// Threads per process where OMP_NUM_THREADS is not set: the cores of the node shared among the
// processes on that node (at least one, and no more than the cores the process may run on).
// Returns the number chosen, 0 where the user's setting holds. Call after MPI_Init, before the
// first parallel region.
int SetDefaultThreadCount(MPI_Comm world);
