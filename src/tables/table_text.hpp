#pragma once
// Scanning helpers shared by the table readers: numbers, words and key/value pairs inside the
// text of a table entry, and reading entry lines from the control-file stream.
//
// Numbers are written in plain decimal notation (sign, digits, point, exponent); "inf", "nan" and
// hexadecimal forms are not numbers here, and a value outside the range of its type is not read.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace table_text {

// Each Scan function skips white space from pos, reads one item and moves pos behind it.
// On failure pos is left unchanged and false is returned.
bool ScanLong(std::string_view text, std::size_t& pos, long long& value);
bool ScanInt(std::string_view text, std::size_t& pos, std::int32_t& value);
bool ScanDouble(std::string_view text, std::size_t& pos, double& value);
// A white-space delimited word (any length).
bool ScanWord(std::string_view text, std::size_t& pos, std::string& word);
// True when only white space is left from pos on.
bool AtEnd(std::string_view text, std::size_t pos);

// The leading number of a value text (blanks skipped), 0 when it does not begin with one.
double LeadingDouble(std::string_view text);
std::int32_t LeadingInt(std::string_view text);

// Position of an occurrence of key that is followed, after optional white space, by "=";
// the first such occurrence, or the last one when last is set. npos when there is none.
std::size_t FindKey(std::string_view block, std::string_view key, bool last = false);
// The value text of a key found at keyPos: behind the "=" that follows the key, up to the
// first ";" behind the key (or the end of the block).
std::string_view ValueText(std::string_view block, std::size_t keyPos, std::string_view key);

// Non-empty tokens of text separated by any of the delimiter characters.
std::vector<std::string_view> SplitTokens(std::string_view text, std::string_view delimiters);

// Reads numbers one after the other from text until count are read; false when one cannot be read.
bool ScanDoubles(std::string_view text, int count, std::vector<double>& values);

// An integer read from the stream as "%d" reads it (white space and line ends skipped first),
// range-checked. The stream stands behind the number afterwards.
bool ReadStreamInt(std::FILE* stream, std::int32_t& value);

// Reads an integer list: the count is the number of tokens between white space, ';' and ',',
// and that many integers, separated by white space, must then be readable in order.
bool ReadIntegerList(std::string_view text, std::vector<std::int32_t>& values);

// One line of a table from the control-file stream, at most maxChars characters (a longer
// line is returned in pieces by consecutive calls), with its line end. False at the end of
// the file with nothing read.
bool ReadTableLine(std::FILE* stream, int maxChars, std::string& line);

}  // namespace table_text
