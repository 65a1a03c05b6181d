#include "tables/multilayer_landuse.hpp"

#include <exception>

#include "kernel/modelobject.hpp"
#include "tables/table_text.hpp"

using namespace table_text;

namespace {

constexpr int kBlockFailure = 110;
constexpr int kLayerCountMismatch = 111;
constexpr int kNoLayers = 112;
constexpr int kLineLength = 1200;

[[noreturn]] void BlockUnreadable(DiagLog& log, std::int32_t code, std::string_view text) {
    log << "FATAL: multilayer_landuse_table code " << code << ": some parameters could not be read\n"
        << std::string(text) << "[end-entry]";
    throw ModelError(kBlockFailure);
}

}  // namespace

bool multilayer_landuse_entry::ReadMultilayerValueList(std::string_view text, std::string_view key,
                                                       std::vector<std::int32_t>& values, std::int32_t& count) {
    const std::size_t at = FindKey(text, key);
    if (at == std::string_view::npos) return false;
    // Pieces between commas that do not begin with a number are passed over.
    std::vector<std::int32_t> codes;
    for (std::string_view piece : SplitTokens(ValueText(text, at, key), ",;")) {
        std::size_t pos = 0;
        std::int32_t v = 0;
        if (ScanInt(piece, pos, v)) codes.push_back(v);
    }
    count = static_cast<std::int32_t>(codes.size());
    values.assign(1, count);
    values.insert(values.end(), codes.begin(), codes.end());
    return true;
}

void multilayer_landuse_entry::ParseMultilayerLanduseBlock(DiagLog& log, std::string_view text) {
    if (FindKey(text, "Landuse_Layers") == std::string_view::npos) {
        log << "FATAL: multiple landuse table: parameter Landuse_Layers not found " << std::string(text)
            << "[end-entry]";
        throw ModelError(kNoLayers);
    }
    try {
        std::size_t pos = 0;
        std::string word;
        if (!ScanInt(text, pos, code)) BlockUnreadable(log, code, text);
        codeAsRead = code;
        if (!ScanWord(text, pos, word) || word.size() > kMaxNameLength) BlockUnreadable(log, code, text);
        name = word;
        std::vector<std::int32_t> codes;
        std::int32_t k = 0;
        ReadMultilayerValueList(text, "Landuse_Layers", codes, k);
        // A type without any layer code could not be placed on a cell.
        if (k < 1) BlockUnreadable(log, code, text);
        layerCodes = codes;
        layerCount = k;
        layerCodesAsRead = codes;
        const std::size_t ke = FindKey(text, "k_extinct");
        k_extinct = ke == std::string_view::npos ? 0.3 : LeadingDouble(ValueText(text, ke, "k_extinct"));
        const std::size_t ls = FindKey(text, "LAI_scale");
        LAI_scale = ls == std::string_view::npos ? 10.0 : LeadingDouble(ValueText(text, ls, "LAI_scale"));
    } catch (const ModelError&) {
        throw;
    } catch (const std::exception&) {
        BlockUnreadable(log, code, text);
    }
}

std::vector<multilayer_landuse_entry> ReadMultilayerLanduseSection(modelobject& reader) {
    std::vector<multilayer_landuse_entry> table;
    if (!reader.SeekSection("[multilayer_landuse]", false)) return table;
    DiagLog& log = *reader.log;
    std::FILE* stream = reader.ControlStream();
    std::int32_t count = 0;
    if (!ReadStreamInt(stream, count) || count < 0) {
        log << "FATAL: multilayer_landuse_table: the number of entries could not be read (a number of 0 or more "
               "is needed)"
            << "[end-entry]";
        throw ModelError(kBlockFailure);
    }
    ReadLineRest(stream);
    table.emplace_back(count);
    std::string line;
    std::string more;
    for (std::int32_t i = 1; i <= count; ++i) {
        multilayer_landuse_entry entry(i);
        if (!ReadTableLine(stream, kLineLength, line)) BlockUnreadable(log, i, "(end of file)\n");
        // Only a line naming "Landuse_Layers" starts an entry's block; any other line leaves
        // the record as it was created.
        if (line.find("Landuse_Layers") != std::string::npos) {
            std::string text = line;
            while (text.find('}') == std::string::npos) {
                if (!ReadTableLine(stream, kLineLength, more)) BlockUnreadable(log, i, text);
                text += more;
            }
            entry.ParseMultilayerLanduseBlock(log, text);
        }
        table.push_back(std::move(entry));
        const multilayer_landuse_entry& now = table[static_cast<std::size_t>(i)];
        const multilayer_landuse_entry& before = table[static_cast<std::size_t>(i) - 1];
        if (i >= 2 && now.layerCount != before.layerCount) {
            log << "FATAL: \nThe numbers of landuse layers has to be equal for all multilayer-landuse types\n"
                   "(here: multilayer-landuse type "
                << now.code << ": " << now.layerCount << " layers, but multilayer-landuse type " << before.code << ": "
                << before.layerCount << " layers)\n\n"
                << "[end-entry]";
            throw ModelError(kLayerCountMismatch);
        }
    }
    return table;
}
