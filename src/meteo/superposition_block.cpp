// Reading the text of a superposition entity.
#include "meteo/superposition_block.hpp"

#include <cerrno>
#include <cstdlib>

namespace {

// The value of key in text from pos on: the text between the first "=" after the key and the
// next ";". On success pos moves past the key (as the next search starts there) and true is
// returned.
bool ValueOf(const std::string& text, std::size_t& pos, const std::string& key, std::string* value,
             std::size_t* keyEnd = nullptr) {
    const std::size_t k = text.find(key, pos);
    if (k == std::string::npos) return false;
    const std::size_t eq = text.find('=', k + key.size());
    if (eq == std::string::npos) return false;
    const std::size_t semi = text.find(';', eq + 1);
    if (semi == std::string::npos) return false;
    *value = text.substr(eq + 1, semi - eq - 1);
    if (keyEnd != nullptr) *keyEnd = k + key.size();
    pos = semi + 1;
    return true;
}

std::string FirstWord(const std::string& s) {
    const std::size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return "";
    const std::size_t b = s.find_first_of(" \t\r\n", a);
    return s.substr(a, b == std::string::npos ? std::string::npos : b - a);
}

long ToLong(const std::string& s) {
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 10);
    return errno == 0 ? v : 0;
}

double ToDouble(const std::string& s) {
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    return end == s.c_str() ? 0.0 : v;
}

}  // namespace

std::vector<std::string> SplitListValue(const std::string& value) {
    std::vector<std::string> tokens;
    std::size_t i = 0;
    const char* separators = "\n\t ;,\r";
    while (i < value.size()) {
        const std::size_t a = value.find_first_not_of(separators, i);
        if (a == std::string::npos) break;
        const std::size_t b = value.find_first_of(separators, a);
        tokens.push_back(value.substr(a, b == std::string::npos ? std::string::npos : b - a));
        if (b == std::string::npos) break;
        i = b;
    }
    return tokens;
}

long ParseEntityCount(const std::string& line) {
    if (line.find("NumberOfEntities") == std::string::npos) return -1;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) return 0;
    const std::size_t semi = line.find(';', eq + 1);
    const std::string number = line.substr(eq + 1, semi == std::string::npos ? std::string::npos : semi - eq - 1);
    const long n = ToLong(number);
    return n > 0 ? n : 0;
}

SuperpositionBlock ParseSuperpositionBlock(const std::string& text) {
    SuperpositionBlock b;
    b.name = FirstWord(text);
    const std::size_t open = text.find('{');
    const std::size_t close = open == std::string::npos ? std::string::npos : text.find('}', open + 1);
    const std::string body =
        open == std::string::npos ? std::string() : text.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);

    std::size_t pos = 0;
    std::string value;
    while (body.find("entityinputgrid", pos) != std::string::npos) {
        SuperpositionInput in;
        if (!ValueOf(body, pos, "entityinputgrid", &value)) {
            b.missingKey = "entityinputgrid";
            return b;
        }
        in.gridName = FirstWord(value);
        if (!ValueOf(body, pos, "regions", &value)) {
            b.missingKey = "regions";
            return b;
        }
        for (const std::string& t : SplitListValue(value)) in.regions.push_back(ToLong(t));
        std::size_t weightsEnd = 0;
        if (!ValueOf(body, pos, "weights", &value, &weightsEnd)) {
            b.missingKey = "weights";
            return b;
        }
        for (const std::string& t : SplitListValue(value)) in.weights.push_back(ToDouble(t));
        b.inputs.push_back(std::move(in));
        // The next record is searched right after the key "weights".
        pos = weightsEnd;
    }
    // The output settings follow the last record, in any order.
    const std::size_t tail = pos;
    struct Key {
        const char* key;
        std::string* text;
        long* number;
    };
    std::string writeCode, statCode;
    for (const Key& k : {Key{"outputgrid", &b.outputGrid, nullptr}, Key{"writecode", nullptr, &b.writeCode},
                         Key{"outputtable", &b.outputTable, nullptr}, Key{"statcode", nullptr, &b.statCode}}) {
        std::size_t p = tail;
        if (!ValueOf(body, p, k.key, &value)) {
            b.missingKey = k.key;
            return b;
        }
        if (k.text != nullptr) *k.text = FirstWord(value);
        if (k.number != nullptr) *k.number = ToLong(FirstWord(value));
    }
    return b;
}
