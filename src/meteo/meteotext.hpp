#pragma once
// Text access shared by the readers of station files, regression files and grid lists: whole
// lines of any length with their byte offsets, blank-separated tokens and strict conversion of
// tokens to numbers (locale-independent, a token counts only when it is a number as a whole).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/controlfile.hpp"

namespace meteo_text {

// Splits a line at runs of blanks, tabs and carriage returns.
void SplitTokens(std::string_view line, std::vector<std::string_view>* tokens);

// True when the whole token is a finite number.
bool ParseNumber(std::string_view token, double* value);

// True when the token begins with a number (NaN and infinity included), whole or not: such a
// token is meant as a number, unlike a word of comment.
bool StartsLikeNumber(std::string_view token);

// True when the whole token is an integer of at most 18 digits.
bool ParseInteger(std::string_view token, std::int64_t* value);

}  // namespace meteo_text

// A file read line by line or in raw records, positioned by byte offsets so that a reader can
// close it between blocks and come back to the same place.
class LineFile {
public:
    bool Open(const std::string& name);
    bool IsOpen() const { return static_cast<bool>(file_); }
    // Reads the next line without its end-of-line; false at the end of the file.
    bool ReadLine(std::string* line);
    // Reads up to n bytes; returns the number read.
    std::size_t ReadBytes(void* buffer, std::size_t n);
    std::int64_t Tell() const;
    bool Seek(std::int64_t offset);
    // Closes the file; false when closing failed.
    bool Close();

private:
    FileHandle file_;
};
