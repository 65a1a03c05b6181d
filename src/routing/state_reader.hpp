#pragma once
// Reading the routing section of the storage content file: numbers in the order the writer put
// them, each a finite number or a FATAL entry with the position reached (the number of the
// block's header line) and code 71.
#include <cstdio>
#include <string>

class DiagLog;

namespace routing {

class StateReader {
public:
    StateReader(std::FILE* f, const std::string& fileName, DiagLog& log) : f_(f), name_(fileName), log_(log) {}
    // An integer; what names it in the message when it cannot be read.
    int Integer(const char* what);
    // A finite number.
    double Value();
    // Skips the rest of the current line.
    void SkipLine();
    // Logs "FATAL: <what> in file <name> (position <n>)" and throws 71.
    [[noreturn]] void Fail(const char* what);
    int position = 1;

private:
    std::FILE* f_;
    std::string name_;
    DiagLog& log_;
};

// A stored value that differs from the control file: FATAL entry and code 72.
[[noreturn]] void StorageMismatch(DiagLog& log, const std::string& name, double controlValue, double fileValue);

}  // namespace routing
