#pragma once
// Grids that the set-up derives on process 0 over the whole grid (cell sizes, coordinates,
// slope and aspect, regression weights) reach the other processes row by row: every process
// receives exactly the rows it holds, so that each of its cells has the value a single
// process would compute, whatever the decomposition.
#include "kernel/matrix.hpp"

class modelobject;

// Collective. Process 0 must hold every row 1..nrows of grid; each other process receives the
// rows it holds (columns 1..ncols). With one process nothing moves. A process 0 that lacks a
// row another process needs is error 120 on every process.
void ShareRowsFromRoot(modelobject& obj, Matrix& grid);
