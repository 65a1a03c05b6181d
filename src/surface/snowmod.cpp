#include "surface/snowmod.hpp"

schneemodellklasse::schneemodellklasse(unsigned& error, DiagLog* log_, const SubmodelSettings& s)
    : teilmodellklasse(log_, "snow_model", s, 1) {
    CatchIntoError(error, [&] { StartUnavailableModule("snowmod", kUnavailableCode); });
}

void schneemodellklasse::LinkTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors,
                                         OutputCodeEntry* table, int tableCount) {
    error = 0;
    if (flowControl == 0) return;
    InitTracerGrids(error, count, descriptors, table, tableCount);
}
