#include "surface/etpetr.hpp"

verdunstungsmodellklasse::verdunstungsmodellklasse(unsigned& error, DiagLog* log_, const SubmodelSettings& s)
    : teilmodellklasse(log_, "evapotranspiration", s, 1) {
    CatchIntoError(error, [&] { StartUnavailableModule("etpetr", kUnavailableCode); });
}
