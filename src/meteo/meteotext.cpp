#include "meteo/meteotext.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace meteo_text {

namespace {
bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// A leading '+' is accepted as the C library readers accept it; from_chars does not.
std::string_view DropPlus(std::string_view token) {
    if (token.size() > 1 && token[0] == '+' && token[1] != '-' && token[1] != '+') token.remove_prefix(1);
    return token;
}
}  // namespace

void SplitTokens(std::string_view line, std::vector<std::string_view>* tokens) {
    tokens->clear();
    std::size_t i = 0;
    const std::size_t n = line.size();
    while (i < n) {
        while (i < n && IsSeparator(line[i])) ++i;
        const std::size_t start = i;
        while (i < n && !IsSeparator(line[i])) ++i;
        if (i > start) tokens->push_back(line.substr(start, i - start));
    }
}

bool ParseNumber(std::string_view token, double* value) {
    token = DropPlus(token);
    if (token.empty()) return false;
    double v = 0;
    const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), v);
    if (ec != std::errc() || end != token.data() + token.size() || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

bool StartsLikeNumber(std::string_view token) {
    token = DropPlus(token);
    double v = 0;
    const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), v);
    return end != token.data() && (ec == std::errc() || ec == std::errc::result_out_of_range);
}

bool ParseInteger(std::string_view token, std::int64_t* value) {
    token = DropPlus(token);
    const std::size_t digits = token.size() - (!token.empty() && token[0] == '-' ? 1 : 0);
    if (digits == 0 || digits > 18) return false;
    std::int64_t v = 0;
    const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), v);
    if (ec != std::errc() || end != token.data() + token.size()) return false;
    *value = v;
    return true;
}

}  // namespace meteo_text

bool LineFile::Open(const std::string& name) {
    file_ = OpenFile(name, "rb");
    return static_cast<bool>(file_);
}

bool LineFile::ReadLine(std::string* line) {
    line->clear();
    std::FILE* f = file_.get();
    int c = getc_unlocked(f);
    if (c == EOF) return false;
    // A last line without end-of-line still counts as a line.
    while (c != EOF && c != '\n') {
        line->push_back(static_cast<char>(c));
        c = getc_unlocked(f);
    }
    return true;
}

std::size_t LineFile::ReadBytes(void* buffer, std::size_t n) { return std::fread(buffer, 1, n, file_.get()); }

std::int64_t LineFile::Tell() const { return static_cast<std::int64_t>(ftello(file_.get())); }

bool LineFile::Seek(std::int64_t offset) { return fseeko(file_.get(), static_cast<off_t>(offset), SEEK_SET) == 0; }

bool LineFile::Close() {
    std::FILE* f = file_.release();
    return f == nullptr || std::fclose(f) == 0;
}
