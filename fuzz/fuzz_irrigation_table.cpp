// The irrigation table reader (with its schedule texts) on arbitrary section text.
#include "table_fuzz_support.hpp"
#include "tables/irrigation_table.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return RunTableReader("[irrigation]\n1\n[irrigation_table]\n", data, size, [](modelobject& r) {
        std::vector<irrigation_entry> table;
        ReadIrrigationSections(r, 2, table);
        for (std::size_t i = 1; i < table.size(); ++i) {
            const irrigation_entry& e = table[i];
            if (e.tabcnt > irrigation_entry::kMaxEvents) __builtin_trap();
            for (std::int32_t k = 1; e.method == 2 && k <= e.tabcnt; ++k) {
                const auto m = e.months[static_cast<std::size_t>(k)], d = e.days[static_cast<std::size_t>(k)];
                if (m < 1 || m > 12 || d < 1 || d > 31) __builtin_trap();
            }
        }
    });
}
