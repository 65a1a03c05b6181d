#include "setup/griddefinition.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Reads whitespace-separated items from a text, as scanf does with "%s", "%d" and "%lf".
class ItemReader {
public:
    ItemReader(const std::string& text, std::size_t pos) : text_(text), pos_(pos) {}

    bool Word(std::string* out) {
        Skip();
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !IsSpace(text_[pos_])) ++pos_;
        if (pos_ == start) return false;
        *out = text_.substr(start, pos_ - start);
        return true;
    }
    bool Int(int* out) {
        Skip();
        const char* start = text_.c_str() + pos_;
        char* end = nullptr;
        errno = 0;
        const long v = std::strtol(start, &end, 10);
        if (end == start || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
        pos_ += static_cast<std::size_t>(end - start);
        *out = static_cast<int>(v);
        return true;
    }
    bool Double(double* out) {
        Skip();
        const char* start = text_.c_str() + pos_;
        char* end = nullptr;
        const double v = std::strtod(start, &end);
        if (end == start) return false;
        pos_ += static_cast<std::size_t>(end - start);
        *out = v;
        return true;
    }
    std::size_t Position() const { return pos_; }

private:
    void Skip() {
        while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
    }
    const std::string& text_;
    std::size_t pos_;
};

// The value text of a key: what follows the first '=' after the key's first occurrence.
// Returns false when the key does not occur; value is empty when no '=' follows it.
bool KeyValue(const std::string& rest, const char* key, std::string* value) {
    const std::size_t at = rest.find(key);
    if (at == std::string::npos) return false;
    const std::size_t eq = rest.find('=', at);
    *value = eq == std::string::npos ? std::string() : rest.substr(eq + 1);
    return true;
}

}  // namespace

GridLineResult ParseStandardGridLine(const std::string& line, GridDefinition* def,
                                     std::vector<std::string>* unreadableKeys) {
    ItemReader names(line, 0);
    if (!names.Word(&def->fileName) || !names.Word(&def->internalName)) return GridLineResult::NoNames;
    // Old form: a fill code follows the names; new form: the keys start right after them.
    std::size_t restStart = names.Position();
    int oldFillCode = 0;
    ItemReader old(line, restStart);
    const bool oldForm = old.Int(&oldFillCode);
    if (oldForm) restStart = old.Position();
    const std::string rest = line.substr(restStart);

    auto note = [&](const char* key) {
        if (unreadableKeys) unreadableKeys->emplace_back(key);
    };
    std::string value;
    bool fillKey = false;
    if (KeyValue(rest, "fillcode", &value)) {
        int v = 0;
        if (ItemReader(value, 0).Int(&v)) {
            def->fillCode = v;
            fillKey = true;
        } else {
            note("fillcode");
        }
    }
    if (!fillKey) {
        if (!oldForm) return GridLineResult::NoFillCode;
        def->fillCode = oldFillCode;
    }
    auto intKey = [&](const char* key, int* target) {
        if (!KeyValue(rest, key, &value)) return;
        int v = 0;
        if (ItemReader(value, 0).Int(&v))
            *target = v;
        else
            note(key);
    };
    auto wordKey = [&](const char* key, std::string* target) {
        if (!KeyValue(rest, key, &value)) return;
        if (!ItemReader(value, 0).Word(target)) note(key);
    };
    intKey("readcode", &def->readCode);
    if (KeyValue(rest, "defaultValue", &value) && !ItemReader(value, 0).Double(&def->defaultValue))
        note("defaultValue");
    int writeCode = static_cast<int>(def->writeCode);
    intKey("writecode", &writeCode);
    def->writeCode = writeCode;
    def->outName = def->fileName;
    wordKey("outname", &def->outName);
    wordKey("statfile", &def->statFile);
    intKey("statcode", &def->statCode);
    if (KeyValue(rest, "periodicity", &value)) {
        ItemReader items(value, 0);
        int count = 0, steps = 0;
        std::string letters;
        if (items.Int(&count) && items.Word(&letters) && items.Int(&steps)) {
            def->periodCount = count;
            def->periodLetters = letters.substr(0, 99);
            def->periodSteps = steps;
        } else {
            note("periodicity");
        }
        if (KeyValue(rest, "persistent", &value)) {
            ItemReader p(value, 0);
            int flag = 0, revert = 0;
            if (p.Int(&flag) && p.Int(&revert)) {
                def->persistent = flag != 0;
                def->revertSteps = revert;
            } else {
                note("persistent");
            }
        }
    }
    return GridLineResult::Ok;
}
