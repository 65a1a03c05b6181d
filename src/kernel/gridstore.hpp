#pragma once
// The grid store: the one table through which all cell data passes between model objects.
// A producer registers each grid or stack under an internal name; consumers look the name up
// once, at construction, and keep the data pointer. Entry 0 is never used; 1..999 are.
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "kernel/matrix.hpp"

struct GridStoreEntry {
    Matrix* grid = nullptr;  // not owned; null for stack-only entries
    Matrix sumGrid;          // running sum or mean (owned; allocated when the tens digit asks)
    Matrix missingSteps;     // per cell, steps of the period without data (allocated at the first)
    Matrix minGrid;
    Matrix maxGrid;
    Stack* stack = nullptr;  // not owned; null for grid entries
    std::int32_t levels = 0;
    std::string fileName;  // empty: the entry holds no file name
    std::string sumFileName;
    std::string minFileName;
    std::string maxFileName;
    std::string internalName;  // at most 100 characters; empty: no name
    bool hasFileName = false;
    bool hasInternalName = false;
    // Write-code digits.
    std::int32_t units = 0;     // output mode
    std::int32_t tens = 0;      // period of the sum or mean
    std::int32_t minFlag = 0;   // hundreds digit 1 or 3
    std::int32_t maxFlag = 0;   // hundreds digit 2 or 3
    std::int32_t extremesStarted = 0;
    std::int32_t stackCopied = 0;
    double stepCount = 0;
    std::int32_t thousands = 0;  // vegetation-period output: 1 sum, 2 mean
    Matrix vegGrid;
    std::string vegFileName;
    std::int32_t vegEndFlag = 0;
    std::int32_t vegStartFlag = 0;
    Matrix* vegStart = nullptr;
    Matrix* vegStop = nullptr;
    Matrix* vegDuration = nullptr;
    std::string baseFileName;
    bool ownsBaseFileName = false;
    std::string readFileName;  // the input file the grid was read from; empty: made by the program
    std::int64_t datedCounter = 0;
    std::int64_t lastYear = 0, lastMonth = 0, lastDay = 0, lastHour = 0;
    std::int64_t firstRow = 0, lastRow = 0;
};

// The write code split into its digits.
struct WriteCodeDigits {
    int units, tens, hundreds, thousands, minFlag, maxFlag;
};
WriteCodeDigits SplitWriteCode(long code);

class GridStore {
public:
    static constexpr int kEntries = 1001;
    static constexpr int kMaxIndex = 999;
    GridStoreEntry& operator[](int index) { return entries_[static_cast<std::size_t>(index)]; }
    const GridStoreEntry& operator[](int index) const { return entries_[static_cast<std::size_t>(index)]; }
    // Bytes of the grids and stacks the entries hold on this process (a grid or stack named by
    // several entries counts once), with their sums, extremes and vegetation-period grids.
    std::size_t HeldBytes() const;

private:
    std::array<GridStoreEntry, kEntries> entries_{};
};
