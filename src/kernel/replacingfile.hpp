#pragma once
// A file that replaces its target only once it is complete: it is written under a temporary
// name in the target's folder and renamed over the target by Commit, so that a run killed while
// writing leaves the previous whole file (or none), never an empty or cut one.
#include <cstdio>
#include <string>

class ReplacingFile {
public:
    // Opens the temporary file with the fopen mode; check with operator bool.
    ReplacingFile(std::string target, const char* mode);
    // Removes the temporary file of a write that was not committed.
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    explicit operator bool() const { return file_ != nullptr; }
    std::FILE* get() const { return file_; }
    // Closes the temporary file and renames it over the target; false when either fails.
    bool Commit();

    // The temporary name of a target: the target with ".part" appended.
    static std::string TemporaryName(const std::string& target) { return target + ".part"; }

private:
    std::string target_;
    std::string temporary_;
    std::FILE* file_ = nullptr;
};

// For writers that cannot take a stream (collective MPI-IO): renames the temporary file over
// the target; false on failure.
bool CommitTemporary(const std::string& target);
