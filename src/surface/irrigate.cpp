#include "surface/irrigate.hpp"

irrigationclass::irrigationclass(unsigned& error, DiagLog* log_, const SubmodelSettings& s)
    : teilmodellklasse(log_, "irrigation", s, 1) {
    CatchIntoError(error, [&] { StartUnavailableModule("irrigate", kUnavailableCode); });
}

void irrigationclass::InitTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors,
                                      OutputCodeEntry* table, int tableCount) {
    error = 0;
    if (flowControl == 0) return;
    teilmodellklasse::InitTracerGrids(error, count, descriptors, table, tableCount);
}
