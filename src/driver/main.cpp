#include "driver/entry.hpp"
#include "driver/mpi_start.hpp"
#include "driver/threads.hpp"

int main(int argc, char** argv) {
    RestartWithBriefSpinning(argv);
    SkipDeviceDiscovery();
    return TalvoMain(argc, argv);
}
