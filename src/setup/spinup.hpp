#pragma once
// Spin-up settings ("[SpinUp]") and the hydrologic response units: cells with the same
// combination of classes of chosen grids, or with the same value of a given unit grid, form
// one unit. The work operates on the set-up object and its grid store, so that every set-up
// of the model can call it; the set-up only says how a new grid is kept and registered.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class Matrix;
class modelobject;

// One hydrologic response unit: cells with the same class key. Ids are given by each process
// for its own cells, 1, 2, ... in the order the process first meets a unit; position 0 of the
// list is a record with id 0 and an empty key.
struct HydrologicResponseUnit {
    std::uint64_t id = 0;
    std::string key;
    std::int32_t row = 0;  // master cell: the first cell of the unit in row-major order
    std::int32_t column = 0;
    unsigned char flag = 0;
};

// "[SpinUp]": all 0 when the section is missing.
struct SpinUpSettings {
    std::int32_t spinUpSwitch = 0;  // 0 off; the time loop repeats the period when it is 1
    std::int32_t doTemperaturePreSpinUp = 0;
    std::int32_t repeatCnt = 0;
};

// Allocates a grid over rows first..last that lives as long as the set-up, registers it in the
// grid store under the two names and returns its store index. A full store logs noRoomText
// followed by 1000 and ")" and throws 12.
using RegisterUnitGrid = std::function<int(const std::string& fileName, const std::string& internalName, int first,
                                           int last, const char* noRoomText)>;

// Reads "[SpinUp]" from the compiled control file and, when spin-up is on, builds the unit grids
// "HydrologicResponseUnits" and "MasterHydrologicResponseUnits", fills units (record 0 first)
// and writes the grids: every process its part under "<file>_<rank>", process 0 the whole
// grids. Collective over all processes.
SpinUpSettings CreateHydrologicResponseUnits(modelobject& setup, const std::string& compiledControlFile,
                                             std::vector<HydrologicResponseUnit>* units,
                                             const RegisterUnitGrid& registerGrid);

// The class of a value of a class grid: floor(v / width), v replaced by sqrt(|v|) when the
// method text contains "sqrt".
double HydrologicClass(double value, double width, const std::string& method);
// The key text of a class: "%04.0lf" followed by an apostrophe.
std::string HydrologicClassKey(double classValue);
