#pragma once
// Grids that the set-up derives on process 0 over the whole grid (cell sizes, coordinates,
// slope and aspect, regression weights) reach the other processes row by row: every process
// receives the rows it holds, or those of them it cannot derive itself, so that each of its
// cells has the value a single process would compute, whatever the decomposition.
#include <vector>

#include "kernel/matrix.hpp"

class modelobject;

// The rows of grid a process other than 0 holds (none on process 0).
std::vector<int> HeldRowsOffRoot(const modelobject& obj, const Matrix& grid);

// A grid and the rows a process names of it (ascending, held by it; process 0 names none).
struct SharedRows {
    Matrix* grid;
    std::vector<int> rows;
};
// Collective. Process 0 must hold every row 1..nrows of each grid; each other process receives
// the rows it names (columns 1..ncols), of every grid at once (every process names the same
// grids in the same order): one exchange, and one message per process for the rows of all of
// them. With one process nothing moves. A process 0 that lacks a row is error 120 on every
// process.
void ShareChosenRowsFromRoot(modelobject& obj, const std::vector<SharedRows>& parts);
