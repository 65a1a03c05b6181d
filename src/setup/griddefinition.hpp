#pragma once
// Definitions of the grids the control file names: the zone grid, the elevation model, the
// standard grids of "[standard_grids]" and the variable grids of "[variable_grids]". A standard
// grid line holds the file name and the internal name, then either the fill code (old form) or
// keys with values ("fillcode = 1 readcode = 0 ..."; new form); the old form may carry keys too.
#include <cstdint>
#include <string>
#include <vector>

#include "kernel/matrix.hpp"

struct GridDefinition {
    int index = 0;  // grid-store index
    std::string fileName;
    std::string internalName;
    int fillCode = 0;         // passed to the grid reader
    int readCode = 1;         // 0 or less: created from defaultValue instead of read
    double defaultValue = 0;  // value of created grids; fill value of the grid reader
    long writeCode = 0;
    std::string outName;   // base name of the output files; the file name by default
    std::string statFile;  // statistics table; empty: none
    int statCode = 0;
    bool variable = false;  // a grid of "[variable_grids]"

    // "periodicity": periodCount < 1 means none. The letters choose the observed date field.
    int periodCount = -1;
    std::string periodLetters;
    int periodSteps = -1;
    // "persistent" (read only with "periodicity"): false reverts to the first-read values
    // revertSteps steps after each switch.
    bool persistent = true;
    int revertSteps = 0;

    // State of the periodic re-reading: periods and steps seen, the last value of the observed
    // date field (9999: the first step counts as a new period), the current dated file name,
    // the revert counter, and the first-read values of a non-persistent grid.
    int periodsSeen = 0;
    int stepsSeen = 0;
    std::int64_t lastSeen = 9999;
    std::string currentFileName;
    bool reverting = false;
    int revertCounter = 0;
    Matrix firstValues;

    bool HasPeriodicity() const { return periodCount >= 1; }
};

// Outcome of parsing one line of "[standard_grids]".
enum class GridLineResult {
    Ok,
    NoNames,     // fewer than two words
    NoFillCode,  // neither the old form nor the key "fillcode"
};

// Parses one standard-grid line into def (file name, internal name and every key; keys that
// are absent keep the defaults of GridDefinition). A key whose text occurs without a readable
// value keeps its default and is reported in unreadableKeys.
GridLineResult ParseStandardGridLine(const std::string& line, GridDefinition* def,
                                     std::vector<std::string>* unreadableKeys);
