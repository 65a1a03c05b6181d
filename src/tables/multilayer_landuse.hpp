#pragma once
// The multilayer land-use table "[multilayer_landuse]": each type stacks land uses of the
// land-use table on one cell, one per vegetation layer.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class DiagLog;
class modelobject;

class multilayer_landuse_entry {
public:
    static constexpr std::size_t kMaxNameLength = 199;

    multilayer_landuse_entry() = default;
    explicit multilayer_landuse_entry(std::int32_t code_) : code(code_) {}

    // Fills the record from one block; failures throw 112 (no "Landuse_Layers") or 110.
    void ParseMultilayerLanduseBlock(DiagLog& log, std::string_view text);
    // Reads the integer list of key into values ([0] = count, codes in 1..count). False when
    // the key is absent.
    bool ReadMultilayerValueList(std::string_view text, std::string_view key, std::vector<std::int32_t>& values,
                                 std::int32_t& count);

    // Land-use code of layer j (1..layerCount); false when the record holds no code there.
    bool HasLayerCode(std::int32_t j) const {
        return j >= 1 && j <= layerCount && static_cast<std::size_t>(j) < layerCodes.size();
    }

    std::string name;
    std::int32_t code = 0;
    std::vector<std::int32_t> layerCodes;  // [0] = k, [1..k] land-use codes; empty until read
    std::int32_t layerCount = 1;           // k
    std::vector<std::int32_t> layerCodesAsRead;
    std::int32_t codeAsRead = 0;
    double k_extinct = 0.3;
    double LAI_scale = 10.0;
};

// Reads "[multilayer_landuse]" through reader's control-file stream. Returns an empty table
// when the section is absent, else records 0..count (record 0 holds the count as its code).
// Failures are logged and thrown as ModelError (110, 111, 112).
std::vector<multilayer_landuse_entry> ReadMultilayerLanduseSection(modelobject& reader);

// Land-use layers of a run: those of the table's first type (every type has as many), 1 without
// a table. Record 0 holds only the count, so its own layer count says nothing.
inline int LanduseLayerCount(const multilayer_landuse_entry* table) {
    return table != nullptr && table[0].code >= 1 ? (table[1].layerCount > 1 ? table[1].layerCount : 1) : 1;
}
