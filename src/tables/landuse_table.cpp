#include "tables/landuse_table.hpp"

#include "kernel/modelobject.hpp"
#include "tables/table_text.hpp"

namespace {

// Entry lines are read in pieces of at most this many characters.
constexpr int kLinePiece = 1199;

// The method name of a block head line, or null for an old fixed-format line.
const char* BlockMethodName(const std::string& line) {
    static const char* const names[] = {"VariableDayCount", "DynamicPhenology_1", "DynamicPhenology_2",
                                        "DynamicPhenology_3", "DynamicPhenology_4"};
    for (const char* n : names) {
        if (line.find(n) != std::string::npos) {
            const bool block = line.find("method") != std::string::npos && line.find('{') != std::string::npos;
            return block ? n : nullptr;
        }
    }
    return nullptr;
}

// The first entry value of at least 1 in table order, else the fallback.
std::int32_t FirstPositive(const std::vector<landuse_entry>& table, std::int32_t landuse_entry::*field,
                           std::int32_t fallback) {
    for (std::size_t i = 1; i < table.size(); ++i) {
        if (table[i].*field >= 1) return table[i].*field;
    }
    return fallback;
}

[[noreturn]] void EntryUnreadable(DiagLog& log, std::int32_t code, const std::string& text) {
    log << "FATAL: landuse table code " << code << ": some values could not be read\n" << text << "[end-entry]";
    throw ModelError(29);
}

}  // namespace

std::vector<landuse_entry> ReadLanduseTableSection(modelobject& reader, int soilModelVariant) {
    DiagLog& log = *reader.log;
    reader.SeekSection("[landuse_table]", true);
    std::FILE* stream = reader.ControlStream();
    std::int32_t count = 0;
    if (!table_text::ReadStreamInt(stream, count) || count < 0) {
        log << "FATAL: landuse table: the number of entries could not be read (a number of 0 or more is needed)"
            << "[end-entry]";
        throw ModelError(29);
    }
    ReadLineRest(stream);

    // Records are added as their entries are read, so a count larger than the table ends at
    // the end of the file instead of in a huge allocation.
    std::vector<landuse_entry> table;
    table.emplace_back(count);
    std::string line;
    for (std::int32_t i = 1; i <= count; ++i) {
        landuse_entry entry(i);
        if (!table_text::ReadTableLine(stream, kLinePiece, line)) EntryUnreadable(log, i, "(end of file)\n");
        if (const char* methodName = BlockMethodName(line)) {
            std::string text = line;
            std::string more;
            while (text.find('}') == std::string::npos) {
                if (!table_text::ReadTableLine(stream, kLinePiece, more))
                    EntryUnreadable(log, i, text.substr(text.find('{')));
                text += more;
            }
            entry.ParseLanduseBlock(log, text, methodName);
        } else {
            entry.ReadFixedFormat(log, line, soilModelVariant);
        }
        table.push_back(std::move(entry));
    }

    landuse_entry& head = table[0];
    head.JDVegetationResetForBalance = FirstPositive(table, &landuse_entry::JDVegetationResetForBalance, 1);
    head.JDVegetationWriteForBalance = FirstPositive(table, &landuse_entry::JDVegetationWriteForBalance, 365);
    return table;
}
