#pragma once
// Spin-up settings ("[SpinUp]") and the hydrologic response units: cells with the same
// combination of classes of chosen grids, or with the same value of a given unit grid, form
// one unit.
#include <cstdint>
#include <string>

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
