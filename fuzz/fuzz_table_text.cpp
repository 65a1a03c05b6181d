// Fuzz target of the scanning helpers the table readers read their section heads and entry
// lines with: lines from the stream in pieces, integers from the stream, and numbers, words,
// keys and lists inside a line. The first byte chooses the longest piece of a line.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tables/table_text.hpp"

namespace {
void Check(bool condition) {
    if (!condition) __builtin_trap();
}

struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using Stream = std::unique_ptr<std::FILE, Closer>;

Stream Open(std::string& text) { return Stream(fmemopen(text.data(), text.size(), "r")); }

void ScanLine(const std::string& line) {
    using namespace table_text;
    std::size_t pos = 0;
    // Every scan either moves forward or leaves pos where it was.
    for (int kind = 0; pos < line.size(); kind = (kind + 1) % 4) {
        const std::size_t before = pos;
        long long l = 0;
        std::int32_t i = 0;
        double d = 0;
        std::string w;
        bool ok = false;
        if (kind == 0) ok = ScanLong(line, pos, l);
        if (kind == 1) ok = ScanInt(line, pos, i);
        if (kind == 2) ok = ScanDouble(line, pos, d);
        if (kind == 3) ok = ScanWord(line, pos, w);
        Check(ok ? pos > before && pos <= line.size() : pos == before);
        if (!ok && kind == 3) break;
    }
    const std::size_t key = FindKey(line, "key");
    if (key != std::string::npos) {
        Check(key < line.size());
        const std::string_view value = ValueText(line, key, "key");
        Check(value.data() >= line.data() && value.data() + value.size() <= line.data() + line.size());
    }
    const std::size_t last = FindKey(line, "key", true);
    Check((last == std::string::npos) == (key == std::string::npos) && (key == std::string::npos || last >= key));
    for (const std::string_view token : SplitTokens(line, " ;,")) Check(!token.empty());
    std::vector<std::int32_t> ints;
    if (ReadIntegerList(line, ints)) Check(ints.size() == SplitTokens(line, " \t\r\n\v\f;,").size());
    std::vector<double> values;
    if (ScanDoubles(line, 3, values)) Check(values.size() >= 3);
    LeadingDouble(line);
    LeadingInt(line);
    AtEnd(line, 0);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const int maxChars = 1 + data[0] % 80;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (text.empty()) return 0;

    // Lines in pieces: without zero bytes, the pieces give back the whole text.
    {
        Stream s = Open(text);
        std::string line, whole;
        std::size_t pieces = 0;
        while (table_text::ReadTableLine(s.get(), maxChars, line)) {
            Check(line.size() <= static_cast<std::size_t>(maxChars));
            const std::size_t end = line.find('\n');
            Check(end == std::string::npos || end + 1 == line.size());
            whole += line;
            ScanLine(line);
            Check(++pieces <= text.size());
        }
        if (text.find('\0') == std::string::npos) Check(whole == text);
    }
    // Integers from the stream, skipping a character after each failure.
    {
        Stream s = Open(text);
        std::size_t steps = 0;
        while (!std::feof(s.get())) {
            std::int32_t value = 0;
            if (!table_text::ReadStreamInt(s.get(), value) && std::fgetc(s.get()) == EOF) break;
            Check(++steps <= 2 * text.size() + 2);
        }
    }
    return 0;
}
