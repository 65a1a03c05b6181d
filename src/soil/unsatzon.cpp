#include "soil/unsatzon.hpp"

unsatzonmodellklasse::unsatzonmodellklasse(unsigned& error, DiagLog* log_, const SubmodelSettings& s,
                                           unsigned numSubSteps_)
    : teilmodellklasse(log_, "unsatzon_model", s, numSubSteps_) {
    CatchIntoError(error, [&] { StartUnavailableModule("unsatzon", kUnavailableCode); });
}

void unsatzonmodellklasse::InitTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors,
                                           OutputCodeEntry* table, int tableCount) {
    error = 0;
    if (flowControl == 0) return;
    teilmodellklasse::InitTracerGrids(error, count, descriptors, table, tableCount);
}
