#pragma once
// Owning handle of a C stream: the control file and the grid files are read with scanf-style
// formats, as their layout is defined by such formats.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

struct FileCloser {
    void operator()(std::FILE* f) const noexcept {
        if (f) std::fclose(f);
    }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

inline FileHandle OpenFile(const std::string& name, const char* mode) {
    return FileHandle(std::fopen(name.c_str(), mode));
}

// Appends text to the text log (modell_<rank>.log) and checks that it got there. A text log that
// cannot be written is said once on standard error with the system's reason; false then.
bool AppendToTextLog(const std::string& name, const std::string& text);
// The same into a text log the caller has opened (for appending) already; a null handle is a
// failed open (errno tells why). Closes it.
bool WriteTextLog(FileHandle file, const std::string& name, const std::string& text);

// printf-style formatting into a std::string (no length limit).
std::string StrFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The sections looked for by the model objects of this process since the last clear, so that a
// section of the control file that nothing reads can be reported.
void NoteSectionSought(const std::string& section);
bool SectionWasSought(const std::string& section);
const std::vector<std::string>& SectionsSought();
void ClearSectionsSought();

// One row of a control-file table, read one line at a time: the numbers the line begins with
// (up to the first token that is not a whole number, where a comment may start) and the line
// itself for messages. Lines holding only blanks are passed over. False at the end of the file.
bool ReadNumberRow(std::FILE* stream, std::vector<double>* numbers, std::string* line);
