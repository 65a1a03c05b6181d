// Fuzz target of the shared control-file readers that every sub-model section uses for its
// parameters and table rows: bounded values (one a line) and rows of numbers read one line at a
// time. The first byte picks the range; whatever the reader accepts lies inside it, and a row
// holds only finite or non-finite numbers taken from its own line.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "kernel/error.hpp"
#include "kernel/modelobject.hpp"
#include "kernel/valuebound.hpp"

using fuzz_support::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    static const ValueBound kRanges[] = {bound::Positive, bound::NonNegative, bound::Fraction, bound::Below(2),
                                         bound::AtLeast(1), bound::Within(-0.5, 0.5), {0, 1, true, false},
                                         bound::Above(1)};
    const ValueBound range = kRanges[data[0] & 7];
    const bool rows = (data[0] & 8) != 0;
    std::string text = "[fuzz_section]\n";
    text.append(reinterpret_cast<const char*>(data + 1), size - 1);
    static std::ostream discard(nullptr);
    static DiagLog log("fuzz_rows_diag.xml", -1);
    log.SetConsole(discard);
    modelobject reader(&log, "fuzz", 0, false, false, ObjectRecord{});
    reader.SetModuleName("fuzz");
    reader.controlFile.reset(fmemopen(text.data(), text.size(), "r"));
    if (!reader.ControlStream()) return 0;
    try {
        reader.SeekSection("[fuzz_section]", true);
        for (int i = 0; i < 64; ++i) {
            if (rows) {
                std::vector<double> numbers;
                std::string line;
                if (!ReadNumberRow(reader.ControlStream(), &numbers, &line)) break;
                Check(line.find('\n') == std::string::npos);
                Check(numbers.size() <= line.size());
            } else {
                double v = 0;
                int n = 0;
                if (i % 2 == 0) {
                    reader.ReadBoundedValue(reader.ControlStream(), "%lf", &v, "value", range);
                    Check(std::isfinite(v) && range.Holds(v));
                } else {
                    reader.ReadBoundedValue(reader.ControlStream(), "%d", &n, "count", range);
                    Check(range.Holds(n));
                }
            }
        }
    } catch (const ModelError& e) {
        Check(e.code() == 17);
    }
    return 0;
}
