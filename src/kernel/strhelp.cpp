// String tokenizer and substring helpers.
#include "kernel/strhelp.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// End (one past the closing quote) of the quoted token that begins at start. A quote after a
// backslash does not close the token unless that backslash is itself escaped.
std::size_t QuotedTokenEnd(const std::string& text, std::size_t start) {
    std::size_t from = start;
    for (;;) {
        const std::size_t q = text.find('"', from + 1);
        if (q == std::string::npos) return text.size();
        const bool escaped = text[q - 1] == '\\' && !(q >= start + 2 && text[q - 2] == '\\');
        if (!escaped) return q + 1;
        from = q;
    }
}

// Number of characters kept from first on, when the text has length characters.
std::size_t KeptLength(std::size_t length, long first, long lastOffset) {
    const auto from = static_cast<std::size_t>(first);
    if (from >= length) return 0;
    const std::size_t available = length - from;
    const auto wanted = static_cast<std::size_t>(lastOffset);
    return wanted >= available ? available : wanted + 1;
}

}  // namespace

std::size_t SplitString(const std::string& text, const std::string& delimiters, std::vector<std::string>& tokens,
                        bool keepEmpty) {
    const std::size_t n = text.size();
    std::size_t start = text.find_first_not_of(delimiters);
    if (start == std::string::npos) {
        if (!keepEmpty) return tokens.size();
        start = text.find_first_of(delimiters);
    }
    const bool quotesDelimit = delimiters.find('"') != std::string::npos;
    while (start < n) {
        std::size_t end;
        if (text[start] == '"' && !quotesDelimit) {
            end = QuotedTokenEnd(text, start);
        } else {
            end = text.find_first_of(delimiters, start);
            if (end == std::string::npos || end > n) end = n;
        }
        tokens.push_back(text.substr(start, end - start));
        start = text.find_first_not_of(delimiters, end);
    }
    if (keepEmpty && n > 0 && delimiters.find(text[n - 1]) != std::string::npos) tokens.emplace_back();
    return tokens.size();
}

std::size_t StringPosition(const std::string& text, const std::string& needle) {
    const std::size_t pos = text.find(needle);
    return pos == std::string::npos ? 0 : pos;
}

std::string& SubStringInPlace(std::string& text, long first, long lastOffset) {
    if (first < 0 || lastOffset < 0) return text;
    const std::size_t kept = KeptLength(text.size(), first, lastOffset);
    if (kept == 0) {
        text.clear();
    } else {
        text.erase(0, static_cast<std::size_t>(first));
        text.resize(kept);
    }
    return text;
}

char* SubStringInPlace(char* text, long first, long lastOffset) {
    if (text == nullptr || first < 0 || lastOffset < 0) return text;
    const std::size_t kept = KeptLength(std::strlen(text), first, lastOffset);
    if (kept > 0) std::memmove(text, text + first, kept);
    text[kept] = '\0';
    return text;
}

void AppendG(std::string& out, double value) {
    char text[64];
    // The general format with a precision is defined as printf's "%.*g"; values that are not
    // finite keep printf's own spelling.
    if (std::isfinite(value)) {
        const std::to_chars_result written = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 6);
        out.append(text, written.ptr);
        return;
    }
    const int n = std::snprintf(text, sizeof text, "%g", value);
    out.append(text, static_cast<std::size_t>(n));
}
