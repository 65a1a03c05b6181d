// Fuzz target of the dated time-series table reader (and the string tokenizer that reads the
// control-file lists). The first byte chooses the block budget, so that small blocks and
// their boundaries are reached; the rest is the table file.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kernel/error.hpp"
#include "kernel/strhelp.hpp"
#include "kernel/tstable.hpp"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

void WalkTable(const std::string& path, std::uint64_t budget, std::size_t size) {
    TimeSeriesTable t(path, 0, budget);
    const int state = t.State();
    Check(state >= TimeSeriesTable::kMoreRows && state <= TimeSeriesTable::kFormatError);
    int y, m, d, h;
    t.SetRow(-1);
    // Every call advances the cursor or loads a block of at least one row, so the walk is
    // bounded by the number of lines.
    const std::size_t guard = 4 * (size + 4);
    std::size_t steps = 0;
    while (t.State() == TimeSeriesTable::kMoreRows || t.State() == TimeSeriesTable::kLastBlock) {
        t.NextRow();
        Check(++steps < guard);
        t.GetDate(y, m, d, h);
        for (std::int64_t c = -1; c <= t.Columns(); ++c) t.GetValue(c);
    }
    t.MoveRow(-2);
    t.MoveRow(INT64_MAX);
    t.SetRow(t.RowsInBlock());
    Check(t.GetValue(0) == TimeSeriesTable::kNoValue);
    t.GetDate(y, m, d, h);
    Check(y == 0 && m == 0 && d == 0 && h == 0);
    t.Clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint64_t budget = static_cast<std::uint64_t>(data[0] % 16) * 12 + 1;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    static const std::string path =
        (std::filesystem::temp_directory_path() / ("talvo_fuzz_tstable_" + std::to_string(getpid()))).string();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    try {
        WalkTable(path, budget, size);
    } catch (const ModelError& e) {
        Check(e.code() == 201 || e.code() == 202);
    }

    std::vector<std::string> tokens;
    SplitString(text, " \t;,\"", tokens, (data[0] & 1) != 0);
    SplitString(text, " \t;,", tokens, (data[0] & 2) != 0);
    std::string cut = text;
    SubStringInPlace(cut, static_cast<long>(data[0]) - 8, static_cast<long>(size) - 16);
    return 0;
}
