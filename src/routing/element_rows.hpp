#pragma once
// The buffered rows of an abstraction or reservoir file: rows of a date and values held in one
// block of memory and appended to the file in one go.
#include <string>
#include <vector>

class DiagLog;

namespace routing {

// The budget of a row buffer in bytes.
constexpr long kElementBufferBytes = 2097152;

// Appends `rows` rows of `width` doubles (year, month, day, hour, values) to the file as
// "%2.0lf" x 4 and "\t%lg" per value, with the interrupt signal held off meanwhile and the
// program's handler installed again afterwards. A file that cannot be opened is FATAL 65.
void AppendRows(const std::string& file, const std::vector<double>& buffer, int rows, std::size_t width, DiagLog& log);

}  // namespace routing
