#include "driver/entry.hpp"
#include "driver/threads.hpp"

int main(int argc, char** argv) {
    RestartWithBriefSpinning(argv);
    return TalvoMain(argc, argv);
}
