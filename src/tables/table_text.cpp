#include "tables/table_text.hpp"

#include <charconv>
#include <cmath>
#include <limits>

namespace table_text {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::size_t SkipSpace(std::string_view text, std::size_t pos) {
    while (pos < text.size() && IsSpace(text[pos])) ++pos;
    return pos;
}

std::size_t SkipDigits(std::string_view text, std::size_t pos) {
    while (pos < text.size() && IsDigit(text[pos])) ++pos;
    return pos;
}

}  // namespace

bool ScanLong(std::string_view text, std::size_t& pos, long long& value) {
    std::size_t p = SkipSpace(text, pos);
    const std::size_t start = p;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) ++p;
    const std::size_t digits = p;
    p = SkipDigits(text, p);
    if (p == digits) return false;
    // from_chars takes no leading '+'.
    const std::size_t from = text[start] == '+' ? start + 1 : start;
    long long v = 0;
    const auto res = std::from_chars(text.data() + from, text.data() + p, v);
    if (res.ec != std::errc() || res.ptr != text.data() + p) return false;
    value = v;
    pos = p;
    return true;
}

bool ScanInt(std::string_view text, std::size_t& pos, std::int32_t& value) {
    std::size_t p = pos;
    long long v = 0;
    if (!ScanLong(text, p, v)) return false;
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()) return false;
    value = static_cast<std::int32_t>(v);
    pos = p;
    return true;
}

bool ScanDouble(std::string_view text, std::size_t& pos, double& value) {
    std::size_t p = SkipSpace(text, pos);
    const std::size_t start = p;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) ++p;
    const std::size_t mantissa = p;
    p = SkipDigits(text, p);
    std::size_t digitCount = p - mantissa;
    if (p < text.size() && text[p] == '.') {
        const std::size_t fraction = p + 1;
        p = SkipDigits(text, fraction);
        digitCount += p - fraction;
    }
    if (digitCount == 0) return false;
    // An exponent counts only when digits follow the 'e' (and its sign).
    if (p < text.size() && (text[p] == 'e' || text[p] == 'E')) {
        std::size_t q = p + 1;
        if (q < text.size() && (text[q] == '+' || text[q] == '-')) ++q;
        const std::size_t expDigits = SkipDigits(text, q);
        if (expDigits > q) p = expDigits;
    }
    const std::size_t from = text[start] == '+' ? start + 1 : start;
    double v = 0;
    const auto res = std::from_chars(text.data() + from, text.data() + p, v);
    if (res.ec != std::errc() || res.ptr != text.data() + p || !std::isfinite(v)) return false;
    value = v;
    pos = p;
    return true;
}

bool ScanWord(std::string_view text, std::size_t& pos, std::string& word) {
    std::size_t p = SkipSpace(text, pos);
    const std::size_t start = p;
    while (p < text.size() && !IsSpace(text[p])) ++p;
    if (p == start) return false;
    word.assign(text.substr(start, p - start));
    pos = p;
    return true;
}

bool AtEnd(std::string_view text, std::size_t pos) { return SkipSpace(text, pos) >= text.size(); }

double LeadingDouble(std::string_view text) {
    std::size_t pos = 0;
    double v = 0;
    return ScanDouble(text, pos, v) ? v : 0.0;
}

std::int32_t LeadingInt(std::string_view text) {
    std::size_t pos = 0;
    std::int32_t v = 0;
    return ScanInt(text, pos, v) ? v : 0;
}

// A key counts where '=' follows it: a plain substring search would find "ksat" inside
// "ksat_topmodel" and read that key's value for every horizon.
std::size_t FindKey(std::string_view block, std::string_view key, bool last) {
    if (key.empty()) return std::string_view::npos;
    std::size_t found = std::string_view::npos;
    std::size_t from = 0;
    while (true) {
        const std::size_t at = block.find(key, from);
        if (at == std::string_view::npos) break;
        const std::size_t after = SkipSpace(block, at + key.size());
        if (after < block.size() && block[after] == '=') {
            found = at;
            if (!last) break;
        }
        from = at + 1;
    }
    return found;
}

std::string_view ValueText(std::string_view block, std::size_t keyPos, std::string_view key) {
    const std::size_t eq = block.find('=', keyPos + key.size());
    if (eq == std::string_view::npos) return {};
    std::size_t end = block.find(';', keyPos + key.size());
    if (end == std::string_view::npos || end < eq) end = block.size();
    return block.substr(eq + 1, end - eq - 1);
}

std::vector<std::string_view> SplitTokens(std::string_view text, std::string_view delimiters) {
    std::vector<std::string_view> tokens;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = text.find_first_not_of(delimiters, pos);
        if (start == std::string_view::npos) break;
        std::size_t end = text.find_first_of(delimiters, start);
        if (end == std::string_view::npos) end = text.size();
        tokens.push_back(text.substr(start, end - start));
        pos = end;
    }
    return tokens;
}

bool ScanDoubles(std::string_view text, int count, std::vector<double>& values) {
    values.clear();
    std::size_t pos = 0;
    for (int i = 0; i < count; ++i) {
        double v = 0;
        if (!ScanDouble(text, pos, v)) return false;
        values.push_back(v);
    }
    return true;
}

bool ReadStreamInt(std::FILE* stream, std::int32_t& value) {
    if (!stream) return false;
    int c = std::fgetc(stream);
    while (c != EOF && IsSpace(static_cast<char>(c))) c = std::fgetc(stream);
    std::string digits;
    if (c == '+' || c == '-') {
        digits += static_cast<char>(c);
        c = std::fgetc(stream);
    }
    while (c != EOF && IsDigit(static_cast<char>(c))) {
        digits += static_cast<char>(c);
        c = std::fgetc(stream);
    }
    if (c != EOF) std::ungetc(c, stream);
    std::size_t pos = 0;
    return ScanInt(digits, pos, value) && pos == digits.size();
}

bool ReadIntegerList(std::string_view text, std::vector<std::int32_t>& values) {
    values.clear();
    const std::size_t count = SplitTokens(text, " \t\r\n\v\f;,").size();
    std::size_t pos = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::int32_t v = 0;
        if (!ScanInt(text, pos, v)) return false;
        values.push_back(v);
    }
    return true;
}

bool ReadTableLine(std::FILE* stream, int maxChars, std::string& line) {
    line.clear();
    if (!stream) return false;
    std::vector<char> buf(static_cast<std::size_t>(maxChars) + 1);
    if (!std::fgets(buf.data(), static_cast<int>(buf.size()), stream)) return false;
    line.assign(buf.data());
    return true;
}

}  // namespace table_text
