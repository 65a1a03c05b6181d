#pragma once
// The state files of a run. Several modules write their sections into state files at the end
// of a run, one after the other; a module appends its section only to a file that an earlier
// writer of this run started, and otherwise starts the file, so that a state file never carries
// a section of an earlier run before this run's (the readers take the first section they find).
#include <string>

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
