#pragma once
// A file that replaces its target only once it is complete: it is written under a temporary
// name in the target's folder and renamed over the target by Commit, so that a run killed while
// writing leaves the previous whole file (or none), never an empty or cut one.
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

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
    // Closes the temporary file and leaves it in place for a later writer to complete and
    // commit (CommitTemporary); the target stays as it is. False when the close fails.
    bool Keep();

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

// Some files are complete only at the normal end of a run (a table that holds only its
// header): while a run is under way, and once it has failed, they are not put in place, so
// that a failed run leaves the files of the run before. Outside a run (a module used on its
// own) and from the normal end of a run on, they are.
void SetNormalEndPending(bool pending);
bool NormalEndPending();

// A table file that grows by blocks of rows during a run. Its header starts it anew under the
// temporary name and is put in place only with the first rows (or, header alone, at the normal
// end), so that a run that fails before leaves the table of the run before. Each later block
// is appended to a copy of the table, which replaces it once complete: a full disk or a kill
// while a block is written loses no row written before.
class TableFile {
public:
    TableFile() = default;
    explicit TableFile(std::string name) : name_(std::move(name)) {}
    // Removes a header that never got its rows nor a normal end.
    ~TableFile();
    TableFile(const TableFile&) = delete;
    TableFile& operator=(const TableFile&) = delete;

    // Opens the table for its header (append false) or for a block of rows (append true);
    // null when it cannot be opened or copied (errno tells why).
    std::FILE* Open(bool append);
    // Closes what Open opened: a header stays under the temporary name, rows put the table in
    // place. False when a write, the close or the rename failed (errno tells why).
    bool Close();
    // At the normal end: puts a table that holds only its header in place. False on failure.
    bool Finish();

    const std::string& name() const { return name_; }
    // Names the table before it is first opened.
    void SetName(std::string name) { name_ = std::move(name); }
    bool pending() const { return pending_; }
    // Whether rows held back in memory may still go to the table at the end of its writer: at
    // the normal end of a run and outside a run always; in a run that failed only when this
    // run has already put the table in place (else the table of the run before stays).
    bool TakesHeldRows() const { return !(pending_ && NormalEndPending()); }

private:
    std::string name_;
    std::unique_ptr<ReplacingFile> file_;
    bool header_ = false;   // the open file holds the header
    bool pending_ = false;  // the header waits under the temporary name
};
