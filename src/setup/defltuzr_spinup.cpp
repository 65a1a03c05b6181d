// Spin-up settings ("[SpinUp]") and the hydrologic response units of the set-up object. The
// unit grids are owned by the set-up and registered among its grids.
#include "setup/defltuzr.hpp"

SpinUpSettings defaultini::CreateHRUs(std::vector<HydrologicResponseUnit>* units) {
    auto registerGrid = [this](const std::string& fileName, const std::string& internalName, int first, int last,
                               const char* noRoomText) {
        Matrix* grid = CreateOwnedGrid(first, last);
        return RegisterSetupGrid(fileName, internalName, grid, 0, first, last, noRoomText);
    };
    return CreateHydrologicResponseUnits(*this, compiledName_.empty() ? controlFileName : compiledName_, units,
                                         registerGrid);
}
