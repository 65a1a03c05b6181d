#pragma once
// Diagnostics log of one MPI process: every message goes to the console and, filtered by
// level, to the per-process PI Diag XML file (version 1.2).
#include <fstream>
#include <iomanip>
#include <iosfwd>
#include <string>

class DiagLog {
public:
    // Level of each prefix; a text without prefix continues the open entry (or opens one at 4).
    enum Level { Fatal = 0, Error = 1, Warning = 2, Info = 3, Debug = 4, Skip = 5 };

    DiagLog(const std::string& fileName, int maxLevel);
    ~DiagLog();
    DiagLog(const DiagLog&) = delete;
    DiagLog& operator=(const DiagLog&) = delete;

    DiagLog& operator<<(const char* text);
    DiagLog& operator<<(const std::string& text);
    DiagLog& operator<<(int value);
    DiagLog& operator<<(long value);
    DiagLog& operator<<(long long value);
    DiagLog& operator<<(double value);
    DiagLog& operator<<(decltype(std::setw(0)) width);

    // Finishes the XML document and closes the file; safe to call more than once.
    void Close();

    const std::string& FileName() const { return fileName_; }
    int MaxLevel() const { return maxLevel_; }
    std::ostream& Console() { return *console_; }

    // Redirects the console output (tests capture it; production uses standard output).
    void SetConsole(std::ostream& os) { console_ = &os; }

    // The per-process file name: "_" and the rank inserted before the last "." of the last
    // path component, or "_<rank>.xml" appended when it has none.
    static std::string ProcessFileName(const std::string& name, int rank);
    // The escaping applied to every text before it goes into the file.
    static std::string Escape(const std::string& text);
    // Local time as 2016-09-25T14:05:09.
    static std::string TimeStamp();

private:
    void WriteXmlText(const std::string& text);
    void WriteXmlValue();
    bool FileUsable() const { return file_.is_open() && file_.good(); }
    bool ToFile() const { return FileUsable() && !suppressed_; }
    void OpenEntry(int level, bool closePrevious);
    // Once the file can no longer be written (a full disk), says so on standard error with the
    // system's reason: the entries still reach the console, the file misses them.
    void ReportFileFailure();
    template <class T> DiagLog& WriteNumber(T value);

    int rank_ = 0;
    int size_ = 1;
    std::ofstream file_;
    std::ostream* console_;
    bool atEntryStart_ = true;
    bool suppressed_ = false;
    int level_ = 0;
    std::string prepared_;
    std::string fileName_;
    int maxLevel_ = 4;
    bool closed_ = false;
    bool failureReported_ = false;
};

// The further entry after a failed open, write or close: the operating system's reason, as
// saved from errno right after the failing call ("No such file or directory", "Permission
// denied", "No space left on device"). Nothing when the call left no reason.
void LogSystemReason(DiagLog& log, int error);

// The same for a collective file operation: the MPI library's text of its error code (which
// holds the system's reason where the library gives one).
void LogMpiFileReason(DiagLog& log, int mpiError);

// A failed open, write or close that ends the run: takes the operating system's reason from
// errno first (logging can change it), then logs "FATAL: " and the text, the reason's entry, and
// throws ModelError(code).
[[noreturn]] void FailOnFile(DiagLog& log, const std::string& text, int code);
// The same with the reason saved where the call failed.
[[noreturn]] void FailOnFile(DiagLog& log, const std::string& text, int code, int reason);
