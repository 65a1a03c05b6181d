#pragma once
// Small helpers of the set-up components that read the compiled control file on behalf of a
// set-up object and that look at the cells of the process.
#include <string>

#include "kernel/modelobject.hpp"

// Opens the compiled control file as the object's control-file stream for the life of the
// scope and gives the object back the stream it had before. A file that cannot be opened logs
// openText followed by the name and throws openCode.
class ControlFileScope {
public:
    ControlFileScope(modelobject& owner, const std::string& fileName, const char* openText, int openCode);
    ~ControlFileScope();
    ControlFileScope(const ControlFileScope&) = delete;
    ControlFileScope& operator=(const ControlFileScope&) = delete;

    std::FILE* stream() const { return owner_.ControlStream(); }
    // Closes the file now: "FATAL: error closing <name>", error 11, when that fails.
    void Close();

private:
    modelobject& owner_;
    std::string fileName_;
    FileHandle saved_;
};

// Reads one whitespace-delimited word of the control file: 1 when read, 0 when there is
// none, -1 when it is longer than maxLength characters (the rest of it is left unread).
int ReadControlWord(std::FILE* stream, std::string* word, std::size_t maxLength = modelobject::kLineLength);

// True when the cell belongs to this process: its "MPIRegions" value (truncated) is the
// process number in a row this process holds; without "MPIRegions" the cell's row must be one
// of the process's own rows.
bool OwnsCell(modelobject& owner, int row, int column);

// The value of a grid at a cell when the grid holds the row and the column exists.
inline bool HeldValue(const Matrix* grid, int row, int column, double* value) {
    if (grid == nullptr || !grid->holds(row) || column < 1 || column > grid->ncols()) return false;
    *value = (*grid)[row][column];
    return true;
}

// The highest error code of all processes (0 when none failed), so that every process can
// fail alike with an error found by only some of them. Collective.
int AgreeOnError(int code);
