#pragma once
// The table of statistics outputs: the application owns it (200 usable entries) and hands it to
// every object that writes zone statistics. Each statistics table publishes here the date of
// its header, its number of values per row and references to its live per-column arrays, so a
// reader sees the values of the last row written. An entry is free while lastValues is null.
#include <cstdint>
#include <string>

struct OutputCodeEntry {
    std::int64_t year = 0, month = 0, day = 0, hour = 0;
    std::int64_t valueCount = 0;           // values per row (columns + 1, columns 1-based)
    double* lastValues = nullptr;          // values of the last row, 1-based
    double* secondValues = nullptr;        // a second per-column array, 1-based
    double* areas = nullptr;               // zone area share per column, 1-based
    const std::string* title = nullptr;    // the table's title
    std::int64_t* codes = nullptr;         // zone code per column, 1-based (0: basin total)

    bool isFree() const { return lastValues == nullptr; }
};

// Number of usable entries of the application's table.
constexpr int kOutputCodeTableSize = 200;
