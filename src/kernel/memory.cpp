#include "kernel/memory.hpp"

#include <mpi.h>
#include <unistd.h>

#include <cmath>

#include "kernel/diaglog.hpp"
#include "kernel/mpistate.hpp"

double MachineMemoryBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return static_cast<double>(pages) * static_cast<double>(pageSize);
}

bool FitsInMemoryShare(DiagLog& log, double bytes, double share, const std::string& what) {
    int onMachine = 1;
    const bool mpi = MpiRunning();
    if (mpi) {
        MPI_Comm machine = MPI_COMM_NULL;
        if (MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &machine) == MPI_SUCCESS &&
            machine != MPI_COMM_NULL) {
            MPI_Comm_size(machine, &onMachine);
            MPI_Comm_free(&machine);
        }
    }
    const double memory = MachineMemoryBytes();
    int fits = memory <= 0 || !(bytes * onMachine > memory * share) ? 1 : 0;
    // Machines of one run may differ: every process stops where one would.
    if (mpi) MPI_Allreduce(MPI_IN_PLACE, &fits, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
    if (fits != 0) return true;
    log << "FATAL: " << what << " would take " << std::ceil(bytes / 1e6) << " MB on each of the " << onMachine
        << " processes of this machine, more than " << 100 * share << " % of its memory (" << std::floor(memory / 1e6)
        << " MB)"
        << "[end-entry]";
    return false;
}
