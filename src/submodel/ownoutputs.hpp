#pragma once
// What a sub-model writes of its own: grids it creates and zone statistics tables it keeps.
#include <memory>
#include <string>
#include <vector>

#include "kernel/matrix.hpp"
#include "kernel/zonerecord.hpp"
#include "kernel/zonestat.hpp"

// A grid the model creates: file name and write code from the section, data and entry.
struct OwnGrid {
    std::string fileName;
    int writeCode = 0;
    Matrix data;
    int index = 0;  // grid-store entry; 0 when not registered
};

// One zone statistics output: file name and code from the section, its records (zone
// positions 0..N) and the table that writes them.
struct StatOutput {
    std::string fileName;
    int code = 0;
    std::vector<zoneFZT> records;
    std::unique_ptr<zonalstatistic> stat;
};
