#pragma once
// The one exception type of the model: it carries the system's integer error code.
// Every failure is logged as a "FATAL: " entry where it is found, then this is thrown;
// the program entry turns the code into the MPI abort status.
#include <exception>
#include <string>

class ModelError : public std::exception {
public:
    explicit ModelError(int code) : code_(code), text_("Talvo error code " + std::to_string(code)) {}
    int code() const noexcept { return code_; }
    const char* what() const noexcept override { return text_.c_str(); }

private:
    int code_;
    std::string text_;
};

// A failure that one process finds where the others cannot be told at once (a table that
// process 0 writes within a step): its FATAL entry is logged where it happens, and its code waits
// here for the next point where every process takes part (the start of the next step, the end of
// the run), where all of them stop with it. The first code is kept.
inline int& DeferredFailureCode() {
    static int code = 0;
    return code;
}
inline void DeferFailure(int code) {
    if (DeferredFailureCode() == 0) DeferredFailureCode() = code;
}
// The waiting code (0 when none); it waits no more.
inline int TakeDeferredFailure() {
    const int code = DeferredFailureCode();
    DeferredFailureCode() = 0;
    return code;
}

// Runs the release work of a destructor. A failure there (a table that cannot be completed) has
// been logged as a FATAL entry where it happened; it cannot leave a destructor, which would end
// the program at once.
template <class Work>
void ReleaseInDestructor(Work&& work) noexcept {
    try {
        work();
    } catch (...) {
    }
}
