// Fuzz target of the standard-grid line of "[standard_grids]": any text gives a result, and a
// parsed line always carries both names.
#include <cstdint>
#include <string>
#include <vector>

#include "setup/griddefinition.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    GridDefinition def;
    std::vector<std::string> unreadable;
    const GridLineResult result = ParseStandardGridLine(line, &def, &unreadable);
    if (result == GridLineResult::Ok && (def.fileName.empty() || def.internalName.empty())) __builtin_trap();
    if (result == GridLineResult::Ok && def.outName.empty()) __builtin_trap();
    return 0;
}
