#pragma once
// The text of a file's rows made by the threads of a team and written in row order. The rows
// go in blocks: the rows of a block are formatted at once, each by one thread into a text of
// its own, then written one after the other by the calling thread, so that the file gets the
// same bytes in the same writes as from one thread. Rows too few to pay for a team, or a
// process of one thread, format and write them one at a time.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <omp.h>

#include "kernel/threading.hpp"

// Appends the line of a text grid's row as process 0 writes it: values 1..ncols of row separated
// by tabs ("-9999" throughout for a null row, one the grid does not hold), and the line's end.
void AppendGridTextRow(std::string& line, const double* row, int ncols);

// format(r, text) appends the text of row r (it must not throw); write(text) writes it.
template <class Format, class Write>
void FormatRowsInOrder(int first, int last, std::int64_t valuesPerRow, Format format, Write write) {
    if (last < first) return;
    const std::int64_t rows = static_cast<std::int64_t>(last) - first + 1;
    if (omp_get_max_threads() < 2 || !WorthThreads(rows * std::max<std::int64_t>(valuesPerRow, 1))) {
        std::string text;
        for (int r = first; r <= last; ++r) {
            text.clear();
            format(r, text);
            write(text);
        }
        return;
    }
    // About 64 Ki values a block, at least a few rows for every thread.
    constexpr std::int64_t kBlockValues = 65536;
    const std::int64_t perBlock =
        std::max<std::int64_t>(kBlockValues / std::max<std::int64_t>(valuesPerRow, 1), 4 * omp_get_max_threads());
    const int blockRows = static_cast<int>(std::min(perBlock, rows));
    std::vector<std::string> texts(static_cast<std::size_t>(blockRows));
    for (int begin = first; begin <= last; begin += blockRows) {
        const int end = std::min(last, begin + blockRows - 1);
#pragma omp parallel for schedule(runtime)
        for (int r = begin; r <= end; ++r) {
            std::string& text = texts[static_cast<std::size_t>(r - begin)];
            text.clear();
            format(r, text);
        }
        for (int r = begin; r <= end; ++r) write(texts[static_cast<std::size_t>(r - begin)]);
    }
}
