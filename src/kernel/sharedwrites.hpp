#pragma once
// Grids written by the processes in turn. Process 0 gathers every grid that is written from the
// cells of all processes; inside a SharedGridWrites scope it does not write the gathered copy
// itself but sends it whole to the next process in turn, which writes it while process 0 gathers
// the next grid. A writer weights the header statistics with process 0's relative cell areas and
// basin columns (copied to every process once), so each file is byte for byte the one process 0
// would write. A write that fails is agreed on when the scope finishes: process 0 then writes
// the grids of the failed writers itself, so that its log holds the failure and every process
// stops with its code.
#include <string>
#include <vector>

#include <mpi.h>

#include "kernel/matrix.hpp"

class modelobject;

class SharedGridWrites {
public:
    // Opens the scope on this process (not collective); scopes may nest, the outermost agrees.
    SharedGridWrites();
    // Agrees on the writes of the scope (collective) and closes it; throws the agreed code.
    void Finish();
    // Without Finish (an error left the scope): process 0's sends are completed and the
    // failures of the scope are dropped (the error that left it ends the run).
    ~SharedGridWrites();
    SharedGridWrites(const SharedGridWrites&) = delete;
    SharedGridWrites& operator=(const SharedGridWrites&) = delete;

    // Inside an open scope with more than one process: writes the grid gathered on process 0
    // (copy; empty elsewhere) through a process in turn and returns true (collective). False
    // when no scope is open or the grids cannot be written elsewhere: the caller writes as before.
    static bool Write(modelobject& o, Matrix& copy, const std::string& name, bool ownCells);

private:
    bool finished_ = false;
};
