// The file blocks of "[special_output]": key lookup, entity extraction and the entities' points
// on a 4 x 5 grid. Failures (a logged FATAL entry and a thrown code) are expected results.
#include <cstdint>
#include <ostream>
#include <string>

#include "submodel/teilmod_pointoutput.hpp"
#include "kernel/diaglog.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::ostream discard(nullptr);
    static DiagLog log("fuzz_specialoutput_diag.xml", -1);
    log.SetConsole(discard);
    static teilmodellklasse owner(&log, "special_output", SubmodelSettings{}, 3);
    owner.ncols = 5;
    owner.nrows = 4;
    owner.cellsize = 1000;
    const std::string block(reinterpret_cast<const char*>(data), size);
    using namespace special_output_keys;
    long n = 0;
    ReadIntValue(block, "numfiles", &n);
    ReadStringValue(block, "header");
    std::size_t pos = 0;
    while (block.find("entity", pos) != std::string::npos) {
        const std::string text = ExtractEntityBlock(block, &pos);
        if (text.empty()) break;
        try {
            SpecialOutputEntity entity(&log, text, owner, 3);
            for (int i = 0; i < entity.Points(); ++i)
                if (entity.columns[static_cast<std::size_t>(i)] < 1 || entity.rows[static_cast<std::size_t>(i)] > 4)
                    __builtin_trap();
        } catch (const ModelError&) {
        }
    }
    return 0;
}
