// Text grid files written by process 0 with the lines of their rows formatted by every process.
// Formatting a number as text costs far more than reading or sending it: with several processes
// process 0 hands each other process the values of a block of rows, every process formats its
// block (process 0 the first), and the lines come back to process 0 in row order, which then
// writes them as its own (see GridWriter::Text). The lines are those process 0 would format
// itself, so the file gets the same bytes.
#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kernel/modelobject.hpp"
#include "kernel/rowtext.hpp"
#include "kernel/strhelp.hpp"

void AppendGridTextRow(std::string& line, const double* row, int ncols) {
    for (int c = 1; c <= ncols; ++c) {
        if (c > 1) line += '\t';
        if (row != nullptr)
            AppendG(line, row[c]);
        else
            line += "-9999";
    }
    line += '\n';
}

namespace {

// The longest text of one value ("-1.23457e+308", or printf's spelling of a value that is no
// number) with its separator.
constexpr std::int64_t kMostBytesPerValue = 16;

// Rows [first, last] of the block of process p among n (every process one, the first rows to
// process 0).
void BlockRows(int nrows, int n, int p, int* first, int* last) {
    *first = static_cast<int>(static_cast<std::int64_t>(nrows) * p / n) + 1;
    *last = static_cast<int>(static_cast<std::int64_t>(nrows) * (p + 1) / n);
}

// The lines of rows [first, last]; values(r) gives row r (indexed from column 1) or null for a
// row written as nodata.
template <class Values>
std::string FormatBlock(int first, int last, int ncols, Values values) {
    std::string text;
    FormatRowsInOrder(
        first, last, ncols, [&](int r, std::string& line) { AppendGridTextRow(line, values(r), ncols); },
        [&](const std::string& line) { text += line; });
    return text;
}

}  // namespace

void modelobject::FormatTextRowsTogether(const std::vector<const Matrix*>& grids) {
    if (size < 2 || grids.empty()) return;
    const int n = size;
    // Every message stays below the counts one message can carry, or process 0 formats alone.
    std::int64_t mostRows = 0;
    for (int p = 0; p < n; ++p) {
        int first = 0, last = 0;
        BlockRows(nrows, n, p, &first, &last);
        mostRows = std::max<std::int64_t>(mostRows, last - first + 1);
    }
    const std::int64_t rowValues = static_cast<std::int64_t>(ncols) + 1;
    if (mostRows * rowValues * static_cast<std::int64_t>(n) > INT_MAX ||
        mostRows * (static_cast<std::int64_t>(ncols) * kMostBytesPerValue + 1) * n > INT_MAX)
        return;
    // Which grids process 0 has to write.
    std::vector<int> present(grids.size(), 0);
    if (rank == 0)
        for (std::size_t k = 0; k < grids.size(); ++k) present[k] = grids[k] != nullptr ? 1 : 0;
    MPI_Bcast(present.data(), static_cast<int>(present.size()), MPI_INT, 0, MPI_COMM_WORLD);

    // Process 0 sends the rows after its own block, each process's block in one piece.
    int myFirst = 0, myLast = 0, rootFirst = 0, rootLast = 0;
    BlockRows(nrows, n, rank, &myFirst, &myLast);
    BlockRows(nrows, n, 0, &rootFirst, &rootLast);
    std::vector<int> valueCounts(static_cast<std::size_t>(n), 0), valueStarts(static_cast<std::size_t>(n), 0);
    for (int p = 1; p < n; ++p) {
        int first = 0, last = 0;
        BlockRows(nrows, n, p, &first, &last);
        valueCounts[static_cast<std::size_t>(p)] = static_cast<int>((last - first + 1) * rowValues);
        valueStarts[static_cast<std::size_t>(p)] = static_cast<int>((first - 1 - rootLast) * rowValues);
    }
    for (std::size_t k = 0; k < grids.size(); ++k) {
        if (present[k] == 0) continue;
        // Each row of a block goes as a flag in column 0 (1: held, 0: written as nodata) and its
        // values.
        std::vector<double> sent;
        if (rank == 0) {
            const Matrix& grid = *grids[k];
            const int cols = std::min(ncols, grid.ncols());
            sent.assign(static_cast<std::size_t>((nrows - rootLast) * rowValues), 0.0);
            for (int r = rootLast + 1; r <= nrows; ++r) {
                double* to = sent.data() + static_cast<std::size_t>((r - rootLast - 1) * rowValues);
                if (!grid.holds(r)) continue;
                to[0] = 1.0;
                std::copy(grid[r] + 1, grid[r] + cols + 1, to + 1);
            }
        }
        std::vector<double> block(rank == 0 ? 0 : static_cast<std::size_t>(valueCounts[static_cast<std::size_t>(rank)]));
        MPI_Scatterv(sent.data(), valueCounts.data(), valueStarts.data(), MPI_DOUBLE, block.data(),
                     rank == 0 ? 0 : valueCounts[static_cast<std::size_t>(rank)], MPI_DOUBLE, 0, MPI_COMM_WORLD);
        std::string text;
        if (rank == 0) {
            const Matrix& grid = *grids[k];
            text = FormatBlock(myFirst, myLast, ncols,
                               [&](int r) -> const double* { return grid.holds(r) ? grid[r] : nullptr; });
        } else {
            text = FormatBlock(myFirst, myLast, ncols, [&](int r) -> const double* {
                const double* row = block.data() + static_cast<std::size_t>((r - myFirst) * rowValues);
                return row[0] != 0 ? row : nullptr;
            });
        }
        // The lines of the other processes after process 0's, in the order of the processes.
        const int mine = rank == 0 ? 0 : static_cast<int>(text.size());
        std::vector<int> textCounts(static_cast<std::size_t>(n), 0), textStarts(static_cast<std::size_t>(n), 0);
        MPI_Gather(&mine, 1, MPI_INT, textCounts.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
        std::string others;
        if (rank == 0) {
            std::int64_t total = 0;
            for (int p = 0; p < n; ++p) {
                textStarts[static_cast<std::size_t>(p)] = static_cast<int>(total);
                total += textCounts[static_cast<std::size_t>(p)];
            }
            others.resize(static_cast<std::size_t>(total));
        }
        MPI_Gatherv(text.data(), mine, MPI_CHAR, others.data(), textCounts.data(), textStarts.data(), MPI_CHAR, 0,
                    MPI_COMM_WORLD);
        if (rank != 0) continue;
        text += others;
        formattedTextRows_.push_back({grids[k], std::move(text)});
    }
}

bool modelobject::TakeFormattedTextRows(const Matrix& grid, std::string* text) {
    for (auto it = formattedTextRows_.begin(); it != formattedTextRows_.end(); ++it) {
        if (it->grid != &grid) continue;
        *text = std::move(it->text);
        formattedTextRows_.erase(it);
        return true;
    }
    return false;
}
