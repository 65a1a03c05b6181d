#include "lateral/siltingup.hpp"

siltingupclass::siltingupclass(unsigned& error, DiagLog* log_, const SubmodelSettings& s)
    : teilmodellklasse(log_, "SiltingUpModel", s, 1) {
    CatchIntoError(error, [&] { StartUnavailableModule("siltingup", kUnavailableCode); });
}

void siltingupclass::LinkTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors,
                                     OutputCodeEntry* table, int tableCount) {
    error = 0;
    if (flowControl == 0) return;
    InitTracerGrids(error, count, descriptors, table, tableCount);
}
