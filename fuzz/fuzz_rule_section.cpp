// Fuzz target of the operating-rule reader: the fuzzed bytes follow the section name
// "[abstraction_rule_reservoir_1]" in a control file. The section is read and parsed, and the
// parsed table is evaluated on a few dates and volumes; every outcome but a ModelError with a
// FATAL entry and code 34 is a failure, and every evaluation must be a number.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "routing/rules.hpp"

namespace {
void Check(bool condition) {
    if (!condition) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 40000) return 0;
    const std::string section = "[abstraction_rule_reservoir_1]";
    std::string text = "control file\n" + section + "\n" + std::string(reinterpret_cast<const char*>(data), size);
    std::ostringstream console;
    DiagLog log("", 4);
    log.SetConsole(console);
    std::FILE* f = fmemopen(text.data(), text.size(), "r");
    if (f == nullptr) return 0;
    try {
        routing::SeekRuleSection(f, section, log);
        const routing::RuleTable r = routing::ParseRules(routing::ReadSectionLines(f), section, log);
        Check(r.nRows >= 1 && r.nCols >= 1);
        for (int k = 2; k <= r.nCols; ++k) Check(r.day[static_cast<std::size_t>(k)] > r.day[static_cast<std::size_t>(k - 1)]);
        for (int month : {0, 1, 2, 3, 7, 12})
            for (int day : {1, 15, 29, 31}) {
                const routing::SeasonalPosition p = r.Position(month, day);
                Check(p.k >= 1 && p.k <= r.nCols && std::isfinite(p.w));
                (void)r.Active(p.k, 2020, month, day, 0, true);
                (void)r.Active(p.k, 2020, month, day, 13, false);
                for (double V : {-1.0, 0.0, 1e3, 1e6, 1e12}) (void)r.Lookup(p, V);
            }
    } catch (const ModelError& e) {
        Check(e.code() == 34);
        Check(!console.str().empty());
    }
    std::fclose(f);
    return 0;
}
