// The multilayer land-use table reader on arbitrary section text.
#include "table_fuzz_support.hpp"
#include "tables/multilayer_landuse.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return RunTableReader("[multilayer_landuse]\n", data, size,
                          [](modelobject& r) { ReadMultilayerLanduseSection(r); });
}
