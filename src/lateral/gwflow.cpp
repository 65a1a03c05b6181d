#include "lateral/gwflow.hpp"

gwflowclass::gwflowclass(unsigned& error, DiagLog* log_, const SubmodelSettings& s, unsigned numSubSteps_)
    : teilmodellklasse(log_, "groundwater_flow", s, numSubSteps_) {
    CatchIntoError(error, [&] { StartUnavailableModule("gwflow", kUnavailableCode); });
}

void gwflowclass::CreateTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors,
                                    OutputCodeEntry* table, int tableCount) {
    error = 0;
    if (flowControl == 0) return;
    InitTracerGrids(error, count, descriptors, table, tableCount);
}
