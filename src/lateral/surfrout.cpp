#include "lateral/surfrout.hpp"

surfaceroutingclass::surfaceroutingclass(unsigned& error, DiagLog* log_, const SubmodelSettings& s)
    : teilmodellklasse(log_, "SurfaceRoutingModel", s, 1) {
    CatchIntoError(error, [&] { StartUnavailableModule("surfrout", kUnavailableCode); });
}

void surfaceroutingclass::CreateTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors,
                                            OutputCodeEntry* table, int tableCount) {
    error = 0;
    if (flowControl == 0) return;
    InitTracerGrids(error, count, descriptors, table, tableCount);
}
