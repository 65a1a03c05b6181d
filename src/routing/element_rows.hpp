#pragma once
// The buffered rows of an abstraction or reservoir file: rows of a date and values held in one
// block of memory and appended to the file in one go. The file is a TableFile: its header waits
// under the temporary name until the first rows (or the normal end), so that a run that fails
// leaves the file of the run before.
#include <cstdio>
#include <string>
#include <vector>

#include "kernel/replacingfile.hpp"

class DiagLog;

namespace routing {

// The budget of a row buffer in bytes.
constexpr long kElementBufferBytes = 2097152;

// Starts the table anew with the header `head` writes. False when it cannot be written (errno
// tells why).
template <class Head>
bool StartElementFile(TableFile& table, Head&& head) {
    std::FILE* f = table.Open(false);
    if (f == nullptr) return false;
    head(f);
    return table.Close();
}

// Appends `rows` rows of `width` doubles (year, month, day, hour, values) to the table as
// "%2.0lf" x 4 and "\t%lg" per value, with the interrupt signal held off meanwhile and the
// program's handler installed again afterwards. A table that cannot be written is FATAL 65.
void AppendRows(TableFile& table, const std::vector<double>& buffer, int rows, std::size_t width, DiagLog& log);

// The end of the file's writer: the held rows go to the table where it takes them
// (TableFile::TakesHeldRows), and at the normal end a table that holds only its header is put
// in place. `rows` becomes 0. A table that cannot be written is FATAL 65.
void EndElementFile(TableFile& table, const std::vector<double>& buffer, int& rows, std::size_t width, DiagLog& log);

}  // namespace routing
