#include "driver/threads.hpp"

#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace {
bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}
}  // namespace

void RestartWithBriefSpinning(char** argv) {
    if (IsSet("OMP_WAIT_POLICY") || IsSet("GOMP_SPINCOUNT")) return;
    if (setenv("GOMP_SPINCOUNT", kBriefSpinCount, 1) != 0) return;
    execv("/proc/self/exe", argv);
    // The restart failed: the variable stays set (harmless) and the run goes on as it is.
}

int SetDefaultThreadCount(MPI_Comm world) {
    if (IsSet("OMP_NUM_THREADS")) return 0;
    MPI_Comm node = MPI_COMM_NULL;
    int onNode = 1;
    if (MPI_Comm_split_type(world, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &node) == MPI_SUCCESS &&
        node != MPI_COMM_NULL) {
        MPI_Comm_size(node, &onNode);
        MPI_Comm_free(&node);
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    const int cores = online > 0 ? static_cast<int>(online) : 1;
    const int threads = std::max(1, std::min(cores / std::max(onNode, 1), omp_get_num_procs()));
    omp_set_num_threads(threads);
    return threads;
}
