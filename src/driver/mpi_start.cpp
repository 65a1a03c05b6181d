#include "driver/mpi_start.hpp"

#include <cstdlib>

void SkipDeviceDiscovery() {
    // setenv with overwrite 0 keeps any value the user gave, the empty one included.
    setenv("HWLOC_COMPONENTS", kSkippedTopologyComponents, 0);
}
