#include "tables/soil_table.hpp"

#include "kernel/modelobject.hpp"
#include "tables/table_text.hpp"

namespace {

constexpr int kLineLength = 1200;

bool StartsBlock(const std::string& line) {
    return line.find("MultipleHorizons") != std::string::npos || line.find("method") != std::string::npos ||
           line.find('{') != std::string::npos;
}

[[noreturn]] void EntryUnreadable(DiagLog& log, const char* kind, std::int32_t code, const std::string& text,
                                  int error) {
    log << kind << code << ": some values could not be read\n" << text << "[end-entry]";
    throw ModelError(error);
}

}  // namespace

std::vector<soil_entry> ReadSoilTableSection(modelobject& reader, int soilModelVariant) {
    DiagLog& log = *reader.log;
    reader.SeekSection("[soil_table]", true);
    std::FILE* stream = reader.ControlStream();
    std::int32_t count = 0;
    if (!table_text::ReadStreamInt(stream, count) || count < 0) {
        log << "FATAL: soil table: the number of entries could not be read (a number of 0 or more is needed)"
            << "[end-entry]";
        throw ModelError(29);
    }
    ReadLineRest(stream);

    std::vector<soil_entry> table;
    table.emplace_back(count);
    std::string line;
    std::string more;
    for (std::int32_t i = 1; i <= count; ++i) {
        soil_entry entry(i);
        if (!table_text::ReadTableLine(stream, kLineLength, line))
            EntryUnreadable(log, "FATAL: soil table code ", i, "(end of file)\n", 30);
        if (StartsBlock(line)) {
            std::string text = line;
            while (text.find('}') == std::string::npos) {
                if (!table_text::ReadTableLine(stream, kLineLength, more))
                    EntryUnreadable(log, "FATAL: Soil table code ", i, text, 29);
                text += more;
            }
            entry.ParseSoilBlock(log, text, "MultipleHorizons");
        } else {
            entry.ReadFixedFormat(log, line, soilModelVariant);
        }
        table.push_back(std::move(entry));
        const soil_entry& now = table[static_cast<std::size_t>(i)];
        const soil_entry& before = table[static_cast<std::size_t>(i) - 1];
        if (i >= 2 && now.layerCount != before.layerCount) {
            log << "FATAL: the numbers of soil layers has to be equal for all soil types\n(here: soil type "
                << now.code << ": " << now.layerCount << " layers, but soil type " << before.code << ": "
                << before.layerCount << " layers)\n\n"
                << "[end-entry]";
            throw ModelError(30);
        }
    }
    return table;
}
