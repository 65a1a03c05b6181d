#pragma once
// The state files written at the end of a run (the storage contents a warm start reads back).
// A state file holds the sections of several modules. While a run's StateFileSet exists, every
// section goes into "<name>.part", and the file is put in place of the old one only by Commit,
// once every module's section is in it: a run that fails or is killed meanwhile leaves the
// state of the run before, never a file with some sections, nor a second section appended to
// the old one. A module that writes its section with no set in place (a module on its own)
// writes the file itself.
//
// Each module writes its section through OpenStateSection and CloseStateSection and reports a
// failure through StateWriteFailed (FATAL 18).
#include <string>
#include <vector>

#include "kernel/controlfile.hpp"
#include "kernel/error.hpp"

class DiagLog;

class StateFileSet {
public:
    // Collects the state files of this process from now on (one set at a time).
    StateFileSet();
    // Removes the temporary files of a set that was not committed: the old files stay.
    ~StateFileSet();
    StateFileSet(const StateFileSet&) = delete;
    StateFileSet& operator=(const StateFileSet&) = delete;

    // Puts every state file written since the last commit in place. A state whose writing
    // failed is never put in place: its temporary files are removed and 18 is thrown (the
    // failing writer has logged why); a rename that fails is a FATAL entry and 18 as well.
    void Commit(DiagLog& log);
    // Removes the temporary files written since the last commit.
    void Discard();
    // True when a section of this set failed to be written.
    bool Failed() const { return failed_; }

private:
    friend FileHandle OpenStateSection(const std::string& name, bool append);
    friend void MarkStateFailed();
    std::vector<std::string> names_;  // in the order of their first section
    bool failed_ = false;
};

// Opens the file of one module's section of the state file name. Within a set, the first
// section of the set starts the temporary file anew (a leftover of a killed run is
// overwritten) and a later one appends to it when append is true; with no set, the file itself
// is appended to only when append is true and an earlier writer of this run started it, and
// otherwise started anew. Null when it cannot be opened
// (errno tells why).
FileHandle OpenStateSection(const std::string& name, bool append);

// Closes a section's file and checks that every write reached it; false when not (errno tells
// why).
bool CloseStateSection(FileHandle file);

// Marks the state of the current set as failed, so that Commit puts none of it in place.
void MarkStateFailed();

// Logs "FATAL: " + message and the system's reason (saved from errno by the caller), marks the
// state as failed and throws 18.
[[noreturn]] void StateWriteFailed(DiagLog& log, const std::string& message, int reason);

// A storage read from a state file that is not a finite number would run through every later
// step: logs "FATAL: error in storage file content reading <label> in <file>: the value <v> is
// not a finite number" and throws 71.
void RequireFiniteStorage(DiagLog& log, double value, const char* label, const std::string& file);

// Runs one module's state write within its end-of-run work. A failure (logged by the writer)
// marks the state as failed and waits as a deferred failure; the module's remaining end work
// goes on, so that every process takes part in the same exchanges, and the processes stop
// together before any state file is put in place (a state write may fail on one process only).
template <class Write>
void WriteStateDeferred(Write&& write) {
    try {
        write();
    } catch (const ModelError& e) {
        MarkStateFailed();
        DeferFailure(e.code());
    }
}

// Which state files a writer of this run has started, and whether the run ended normally, so
// that a module appends its section only to a file that an earlier writer of this run started
// (the readers take the first section they find) and a failed run writes no state.
namespace statefiles {

// Forgets the files of an earlier run; the state of a failed run is not written.
void BeginRun();
// The run has ended normally and its end-of-run work writes the state.
void BeginWritingState();
bool WritingState();

// True when a writer of this run started the file of that name (as opened).
bool StartedThisRun(const std::string& name);
// Notes that a writer of this run started the file.
void MarkStarted(const std::string& name);
// The fopen mode of a section writer that wants to append: "a" for a file that this run
// started, else "w"; the file counts as started from then on.
const char* SectionMode(const std::string& name, bool append);

}  // namespace statefiles
