#pragma once
// When a loop over cells is worth a team of threads. Waking the threads and joining them again
// costs more than a few thousand light cells take on one thread; below that the loop runs on the
// calling thread alone. The results are the same either way.
#include <cstdint>

inline constexpr std::int64_t kThreadedCells = 4096;

// A loop that is the first to write a new grid's pages (the set-up's grids) shares its rows with
// schedule(static): each thread then faults in the pages of one contiguous share of rows, and the
// threads seldom take the lock of the same page table. The runtime default hands out one row at
// a time, so that every thread faults in pages next to those of every other.

inline bool WorthThreads(std::int64_t cells) { return cells > kThreadedCells; }

// rows first..last (none when last < first) of ncols cells each.
inline bool WorthThreads(std::int64_t first, std::int64_t last, std::int64_t ncols) {
    return last >= first && WorthThreads((last - first + 1) * ncols);
}
