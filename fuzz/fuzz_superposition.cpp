// Fuzz target of the reader of regional superposition entities: the "NumberOfEntities" line
// and an entity block. Whatever the text, reading ends, every input record holds what its
// lists hold, and a complete block names its output settings.
#include <cstdint>
#include <string>

#include "meteo/superposition_block.hpp"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const long count = ParseEntityCount(text);
    Check(count >= -1);
    Check((count == -1) == (text.find("NumberOfEntities") == std::string::npos));

    const SuperpositionBlock b = ParseSuperpositionBlock(text);
    Check(b.name.size() <= text.size());
    Check(b.name.find_first_of(" \t\r\n") == std::string::npos);
    for (const SuperpositionInput& in : b.inputs) {
        Check(in.gridName.find_first_of(" \t\r\n") == std::string::npos);
        Check(in.regions.size() <= text.size());
        Check(in.weights.size() <= text.size());
    }
    if (b.missingKey.empty()) Check(text.find("statcode") != std::string::npos);
    for (const std::string& t : SplitListValue(text)) Check(!t.empty() && t.find_first_of("\n\t ;,\r") == std::string::npos);
    return 0;
}
