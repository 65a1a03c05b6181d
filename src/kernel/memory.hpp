#pragma once
// Memory a process may count on for records whose size follows from input values: checked
// before they are allocated, so that a value typed wrongly in an input ends the run with a
// message instead of the system stopping the processes for lack of memory.
#include <string>

class DiagLog;

// Physical memory of this machine in bytes; 0 where the system does not tell.
double MachineMemoryBytes();

// Whether `bytes` on each MPI process of this machine stay within `share` (0 to 1) of the
// machine's physical memory. Where they do not (on any process), every process logs "FATAL: " +
// what + " would take N MB on each of the P processes of this machine, more than S % of its
// memory (M MB)" and the result is false on every process. True where the system does not tell
// its memory. Collective over MPI_COMM_WORLD when MPI runs.
bool FitsInMemoryShare(DiagLog& log, double bytes, double share, const std::string& what);
