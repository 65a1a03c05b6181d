#include "setup/ctlcompiler.hpp"

#include <cstdlib>
#include <sstream>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"

namespace {
// Values holding one of these words are never compared for duplicates.
constexpr const char* kNonNumbers[] = {"inf", "nan", "INF", "NAN", "Inf", "Nan"};

bool IsBlank(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\v' || ch == '\f'; }

// Length of a line as the readers see it: without the blank put in front and the line end.
std::size_t ContentLength(const std::string& text) {
    std::size_t n = text.size();
    if (n > 0 && text[n - 1] == '\n') --n;
    if (n > 0 && text[0] == ' ') --n;
    return n;
}
}  // namespace

bool ControlFileCompiler::ReadPiece(std::FILE* source, std::string* piece) {
    piece->clear();
    int c;
    while (piece->size() < static_cast<std::size_t>(kPieceLength) && (c = std::getc(source)) != EOF) {
        piece->push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    return !piece->empty();
}

bool ControlFileCompiler::SkipCommentTail(const std::string& piece, bool* inComment) {
    const bool ends = piece.back() == '\n';
    if (*inComment) {
        *inComment = !ends;
        return true;
    }
    *inComment = !ends && piece.find('#') != std::string::npos;
    return false;
}

void ControlFileCompiler::LineError(const char* what, long lineNumber, const std::string& text) const {
    *log_ << "FATAL: \n-----------------------------------------------------------"
          << "\npossible error in control file!\n" << what << lineNumber << ":\n" << text
          << "\n\n-----------------------------------------------------------\n" << "[end-entry]";
    throw ModelError(17);
}

std::string ControlFileCompiler::SubstituteSymbols(std::string text, long lineNumber, std::size_t count,
                                                   long selfSlot) const {
    // Comment cut: the '#' becomes the line end, and the character before it stays: cutting that
    // one too would change a value written against its comment ("47.5#note" would read 47.). A
    // line that begins with '#' (right after the blank put in front of every line) leaves nothing
    // at all.
    const std::size_t hash = text.find('#');
    if (hash != std::string::npos && hash > 0) {
        if (hash == 1 && text[0] == ' ') {
            text.resize(1);
        } else {
            text.resize(hash);
            text += '\n';
        }
    }
    if (text.find("$set") != std::string::npos) return text;

    if (count > symbols_.size()) count = symbols_.size();
    // A correct line holds at most 1200 characters, so more substitutions than that can only
    // come from a symbol that keeps bringing itself back.
    std::size_t substitutions = 0;
    std::size_t pos;
    while ((pos = text.find('$')) != std::string::npos) {
        std::size_t end = pos;
        while (end < text.size() && !IsBlank(text[end])) ++end;
        std::string word = text.substr(pos, end - pos);
        const std::size_t slashes = word.find("//");
        if (slashes != std::string::npos) word.resize(slashes);
        const std::size_t semicolon = word.find(';');
        if (semicolon != std::string::npos) word.resize(semicolon);

        std::size_t slot = 0;
        while (slot < count && symbols_[slot].name != word) ++slot;
        if (slot == count) LineError("undefined symbol at line ", lineNumber, text);
        if (static_cast<long>(slot) == selfSlot || ++substitutions > kMaxLineLength)
            LineError("symbol refers to itself at line ", lineNumber, text);
        text.replace(pos, word.size(), symbols_[slot].value);
    }

    std::size_t slashes;
    while ((slashes = text.find("//")) != std::string::npos) text.erase(slashes, 2);

    if (ContentLength(text) > kMaxLineLength)
        LineError("line longer than 1200 characters after substitution at line ", lineNumber, text);
    return text;
}

void ControlFileCompiler::WarnDuplicateValue(std::size_t slot) const {
    const std::string& value = symbols_[slot].value;
    for (const char* word : kNonNumbers)
        if (value.find(word) != std::string::npos) return;
    char* rest = nullptr;
    std::strtod(value.c_str(), &rest);
    if (rest != nullptr && *rest == '\0') return;
    for (std::size_t j = 0; j < slot; ++j) {
        if (symbols_[j].value != value) continue;
        *log_ << "INFO: \n------------------------ WARNING --------------------------"
              << "\npossible error in control file!\n" << "content of symbol " << symbols_[j].name
              << " is the same as symbol " << symbols_[slot].name << ", \n (which is: " << value << ").\n"
              << "this may lead to collusions!" << "\n-----------------------------------------------------------\n"
              << "[end-entry]";
    }
}

void ControlFileCompiler::AddDefinition(const std::string& line, long lineNumber) {
    // Words: "$set", the name, "=", the value; the first and third are not examined.
    std::istringstream words(line);
    std::string first, name, third, value;
    words >> first >> name >> third >> value;
    symbols_.push_back({name, value});
    const std::size_t slot = symbols_.size() - 1;
    // The value may use the symbols of earlier lines; its comment part and "//" go as in a line.
    value = SubstituteSymbols(value, lineNumber, symbols_.size(), static_cast<long>(slot));
    if (!value.empty() && value.back() == '\n') value.pop_back();
    symbols_[slot].value = value;
    WarnDuplicateValue(slot);
}

void ControlFileCompiler::CollectSymbols(std::FILE* source) {
    std::string piece;
    long lineNumber = 0;
    bool inComment = false;
    while (ReadPiece(source, &piece)) {
        ++lineNumber;
        if (SkipCommentTail(piece, &inComment)) continue;
        if (piece[0] == '#') continue;
        const std::string text = " " + piece;
        if (text.find("$set") == std::string::npos) continue;
        AddDefinition(text, lineNumber);
    }
}

void ControlFileCompiler::WriteCopy(std::FILE* source, std::FILE* target) {
    std::string piece;
    long lineNumber = 0;
    bool inComment = false;
    while (ReadPiece(source, &piece)) {
        ++lineNumber;
        if (SkipCommentTail(piece, &inComment)) continue;
        const std::string text = SubstituteSymbols(" " + piece, lineNumber, symbols_.size());
        // Definitions that start in the first column are left out of the copy.
        if (text.size() > 1 && text[1] == '$') continue;
        if (text.size() > 1) std::fwrite(text.data() + 1, 1, text.size() - 1, target);
    }
}
