#pragma once
// Grids that the set-up derives on process 0 over the whole grid (cell sizes, coordinates,
// slope and aspect, regression weights) reach the other processes row by row: every process
// receives the rows it holds, or those of them it cannot derive itself, so that each of its
// cells has the value a single process would compute, whatever the decomposition.
#include <vector>

#include "kernel/matrix.hpp"

class modelobject;

// Collective. Process 0 must hold every row 1..nrows of grid; each other process receives the
// rows it holds (columns 1..ncols). With one process nothing moves. A process 0 that lacks a
// row is error 120 on every process.
void ShareRowsFromRoot(modelobject& obj, Matrix& grid);
// The rows of grid a process other than 0 holds (none on process 0): the rows ShareRowsFromRoot moves.
std::vector<int> HeldRowsOffRoot(const modelobject& obj, const Matrix& grid);

// The same for the rows each process names (ascending, held by it; process 0 names none):
// only those rows move.
void ShareChosenRowsFromRoot(modelobject& obj, Matrix& grid, const std::vector<int>& rows);

// A grid and the rows a process names of it.
struct SharedRows {
    Matrix* grid;
    std::vector<int> rows;
};
// The same for several grids at once (every process names the same grids in the same order):
// one exchange, and one message per process for the rows of all of them.
void ShareChosenRowsFromRoot(modelobject& obj, const std::vector<SharedRows>& parts);
