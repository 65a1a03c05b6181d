// Spin-up settings ("[SpinUp]") and the hydrologic response units.
//
// Placeholder: filled in by the spin-up work. Until then a run has no spin-up.
#include "setup/defltuzr.hpp"

SpinUpSettings defaultini::CreateHRUs(std::vector<HydrologicResponseUnit>* units) {
    if (units) units->clear();
    return SpinUpSettings{};
}
