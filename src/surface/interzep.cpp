#include "surface/interzep.hpp"

interzeptionsmodellklasse::interzeptionsmodellklasse(unsigned& error, DiagLog* log_, const SubmodelSettings& s)
    : teilmodellklasse(log_, "interception_model", s, 1) {
    CatchIntoError(error, [&] { StartUnavailableModule("interzep", kUnavailableCode); });
}

void interzeptionsmodellklasse::InitTracerGrids(unsigned& error, int count, const TracerDescriptor* descriptors,
                                                OutputCodeEntry* table, int tableCount) {
    error = 0;
    if (flowControl == 0) return;
    teilmodellklasse::InitTracerGrids(error, count, descriptors, table, tableCount);
}
