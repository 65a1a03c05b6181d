#include "routing/abfluss.hpp"

abflussmodellklasse::abflussmodellklasse(unsigned& error, DiagLog* log_, const SubmodelSettings& s,
                                         const TracerDescriptor*)
    : teilmodellklasse(log_, "routing_model", s, 1) {
    CatchIntoError(error, [&] { StartUnavailableModule("abfluss", kUnavailableCode); });
}
