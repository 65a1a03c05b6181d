#pragma once
// Small string helpers of the control-file readers, the output naming and the table readers.
#include <cstddef>
#include <string>
#include <vector>

// Appends the tokens of text, separated by any of the delimiter characters, to tokens and
// returns the number of tokens in the list. A token that begins with a double quote runs to
// the closing double quote (an escaped quote does not close it) and keeps its quotes.
// Runs of delimiters between tokens give no empty tokens; with keepEmpty, a text that ends in
// a delimiter gives one empty token at its end (and a text of delimiters only one more).
std::size_t SplitString(const std::string& text, const std::string& delimiters, std::vector<std::string>& tokens,
                        bool keepEmpty = false);

// Offset of the first occurrence of needle in text, 0 when it does not occur. A match at
// offset 0 also gives 0: callers treat 0 as not found.
std::size_t StringPosition(const std::string& text, const std::string& needle);

// Keeps the characters first .. first + lastOffset (both included) of text, moved to its
// start, and returns text. The range is clamped to the text; a negative first or lastOffset
// leaves text unchanged.
std::string& SubStringInPlace(std::string& text, long first, long lastOffset);
// The same on a zero-terminated string, which it only ever shortens.
char* SubStringInPlace(char* text, long first, long lastOffset);

// Appends value as "%g" writes it (six significant digits, trailing zeros dropped), the same
// bytes, without going through the formatted-output machinery of the C library.
void AppendG(std::string& out, double value);
