#include "meteo/expokorr.hpp"

expokorrklasse::expokorrklasse(unsigned& error, DiagLog* log_, const SubmodelSettings& s)
    : teilmodellklasse(log_, "radiation_correction", s, 1) {
    CatchIntoError(error, [&] { StartUnavailableModule("expokorr", kUnavailableCode); });
}
