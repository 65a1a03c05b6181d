#pragma once
// The text of one entity of the regional superposition:
//
//   name { entityinputgrid = grid; regions = 1 2 3; weights = 0.5 0.2 1;
//          entityinputgrid = ...;  regions = ...;   weights = ...;
//          outputgrid = file; writecode = 0; outputtable = file; statcode = 0; }
//
// A value is the text between the first "=" after its key and the next ";". Reading does not
// look at the grid store or the regions; that is the entity's construction.
#include <string>
#include <vector>

struct SuperpositionInput {
    std::string gridName;
    std::vector<long> regions;
    std::vector<double> weights;
};

struct SuperpositionBlock {
    std::string name;
    std::vector<SuperpositionInput> inputs;
    std::string outputGrid;
    long writeCode = 0;
    std::string outputTable;
    long statCode = 0;
    // The first key that the block lacks (or whose value has no "=" and ";"); empty when none.
    std::string missingKey;
};

SuperpositionBlock ParseSuperpositionBlock(const std::string& text);

// The tokens of a list value: split at newline, tab, blank, ";" and ",".
std::vector<std::string> SplitListValue(const std::string& value);

// The entity count of the line holding "NumberOfEntities": the base-10 integer between the
// first "=" and the first ";" (0 when it is no number); -1 without the keyword.
long ParseEntityCount(const std::string& line);
