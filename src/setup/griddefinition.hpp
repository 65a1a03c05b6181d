#pragma once
// What the control file says about a standard or variable grid beyond its grid-store entry:
// how it is read or created, its statistics table and its periodic re-reading. The reader of
// the grid definitions fills one per grid (defaultini::Definition of the grid's store index);
// the per-step work of the set-up uses them.
#include <cstdint>
#include <string>

#include "kernel/matrix.hpp"

struct GridDefinition {
    std::int32_t fillCode = 0;
    std::int32_t readCode = 1;  // 0 or less: created with the default value
    double defaultValue = 0;
    std::string outName;   // base name of the output files (empty: the file name)
    std::string statFile;  // statistics table of the grid (empty: none)
    long statCode = 0;

    // "periodicity": every periodSteps-th step of the periodCount-th new period (hour, day,
    // month or year, as the letters say) the grid is read from "<file>_YYYYMMDDHH".
    std::int32_t periodCount = -1;  // below 1: no periodicity
    std::string periodLetters;
    std::int32_t periodSteps = -1;
    // "persistent": false makes a re-read grid return to its first values revertSteps steps
    // after each switch.
    bool persistent = true;
    std::int32_t revertSteps = 0;
};

// Where a periodic grid stands in its period, and the values it returns to.
struct PeriodicState {
    std::int32_t periodsSeen = 0;
    std::int32_t stepsSeen = 0;
    std::int64_t lastValue = 9999;  // last observed hour, day or month; 9999 before the first step
    std::string currentFile;
    bool reverting = false;
    std::int32_t revertCounter = 0;
    Matrix firstValues;  // made at the first switch of a grid that is not persistent
};
