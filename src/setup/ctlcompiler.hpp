#pragma once
// Control-file preprocessor. A control file may define text symbols with lines
//     $set $dir = /data/basin/
// and use them in any line ("$dir//zones.grd" becomes "/data/basin/zones.grd"). A first pass
// collects the symbols, a second pass writes the copy with every symbol replaced, comments cut
// at '#', every "//" removed and the "$set" lines of the first column left out. Only this
// preprocessor reads the file the user wrote; every other reader opens the copy.
#include <cstdio>
#include <string>
#include <vector>

class DiagLog;

class ControlFileCompiler {
public:
    // Lines are read in pieces of at most this many characters, each piece a line of its own.
    static constexpr int kPieceLength = 1199;
    // Longest line of the copy (without its line end) after substitution.
    static constexpr std::size_t kMaxLineLength = 1200;

    explicit ControlFileCompiler(DiagLog* log) : log_(log) {}

    // Pass 1: collects the "$set" definitions of the stream (from its current position).
    void CollectSymbols(std::FILE* source);
    // Pass 2: writes the substituted copy of the stream (from its current position).
    void WriteCopy(std::FILE* source, std::FILE* target);

    // Comment cut, substitution with symbols 1..count (0-based slots 0..count-1 here) and
    // "//" removal of one line. selfSlot is the slot being defined in pass 1 (-1 in pass 2): a
    // value that names its own symbol is an error. Fatal errors are logged and thrown (17).
    std::string SubstituteSymbols(std::string text, long lineNumber, std::size_t count, long selfSlot = -1) const;

    struct Symbol {
        std::string name;  // as written, with its leading '$'
        std::string value;
    };
    const std::vector<Symbol>& Symbols() const { return symbols_; }

private:
    // Reads the next piece of at most kPieceLength characters; false at the end of the file.
    static bool ReadPiece(std::FILE* source, std::string* piece);
    // The pieces that follow a comment up to its line end belong to the comment, not to the
    // control file: true for such a piece. inComment carries the state from piece to piece.
    static bool SkipCommentTail(const std::string& piece, bool* inComment);
    void AddDefinition(const std::string& line, long lineNumber);
    void WarnDuplicateValue(std::size_t slot) const;
    [[noreturn]] void LineError(const char* what, long lineNumber, const std::string& text) const;

    DiagLog* log_;
    std::vector<Symbol> symbols_;
};
