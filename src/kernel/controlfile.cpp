// Control-file access, the fatal read/write messages and the text log of modelobject.
#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>
#include <mutex>
#include <type_traits>
#include <unordered_map>

#include <sys/stat.h>
#include <unistd.h>

#include "kernel/modelobject.hpp"

std::string StrFormat(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list copy;
    va_copy(copy, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), fmt, ap);
        out.resize(static_cast<std::size_t>(n));
    }
    va_end(ap);
    return out;
}

std::string ReadLineRest(std::FILE* stream) {
    char buf[modelobject::kLineLength + 1];
    if (!std::fgets(buf, sizeof buf, stream)) return std::string();
    return std::string(buf);
}

namespace {
// Reads one whitespace-delimited token of at most 1199 characters. Returns 1 on success,
// 0 when nothing could be read, -1 when the token is longer than the limit.
int ReadToken(std::FILE* stream, std::string* token) {
    char buf[modelobject::kLineLength];
    if (std::fscanf(stream, "%1199s", buf) != 1) return 0;
    const int next = std::fgetc(stream);
    if (next != EOF) {
        std::ungetc(next, stream);
        if (!std::isspace(next)) return -1;
    }
    *token = buf;
    return 1;
}

// Every object of a run reads its sections from the same control file, and each search reads the
// file from its start. Where the searches end is therefore kept per file content: one pass with
// the search's own reads notes, for the first line of each first token, where the stream stands
// after that line, and where a search for a name the file does not hold ends. A search then goes
// straight there when the file still holds the same bytes.
struct SectionPlaces {
    std::string content;
    std::unordered_map<std::string, long> after;
    // Where a search that finds nothing ends, and whether it has met the end of the file there.
    long end = -1;
    bool endAtEof = false;
};

// Control files larger than this are searched as they are read, without keeping their content.
constexpr std::size_t kMaxIndexedBytes = std::size_t{1} << 22;
// Runs read one control file; tests and tools may read a few in turn.
constexpr std::size_t kMaxIndexedFiles = 4;

std::mutex placesMutex;
std::list<SectionPlaces> knownFiles;

// The size of the open regular file, or -1.
long long FileSize(int fd) {
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<long long>(st.st_size);
}

// Whether the file from offset 0 holds exactly the bytes of content (read in pieces, without
// moving the stream).
bool HoldsContent(int fd, const std::string& content) {
    char piece[16384];
    std::size_t done = 0;
    while (done < content.size()) {
        const std::size_t want = std::min(sizeof piece, content.size() - done);
        const ssize_t n = pread(fd, piece, want, static_cast<off_t>(done));
        if (n <= 0 || std::memcmp(piece, content.data() + done, static_cast<std::size_t>(n)) != 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return pread(fd, piece, 1, static_cast<off_t>(done)) == 0;
}

// The whole content of the open file of the given size, without moving the stream; false when the
// file cannot be read or holds another number of bytes.
bool ReadContent(int fd, std::size_t size, std::string* content) {
    content->resize(size);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = pread(fd, content->data() + got, size - got, static_cast<off_t>(got));
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    char extra = 0;
    return pread(fd, &extra, 1, static_cast<off_t>(got)) == 0;
}

// The search's loop over the whole file (see SeekSection), noting every first token's first place.
bool NotePlaces(std::FILE* f, SectionPlaces* places) {
    std::rewind(f);
    std::string token;
    bool lastFailed = false;
    while (!(std::feof(f) || lastFailed)) {
        std::string next;
        lastFailed = ReadToken(f, &next) != 1;
        token = lastFailed ? std::string() : next;
        ReadLineRest(f);
        if (!lastFailed && !std::feof(f)) {
            const long place = std::ftell(f);
            if (place < 0) return false;
            places->after.emplace(token, place);
        }
    }
    places->end = std::ftell(f);
    places->endAtEof = std::feof(f) != 0;
    return places->end >= 0 && !std::ferror(f);
}

// Puts the stream where the search for section would leave it: 1 when found, 0 when not, -1 when
// the file must be read.
int SeekKnownPlace(std::FILE* f, const std::string& section) {
    if (section.empty()) return -1;
    const int fd = fileno(f);
    const long long size = FileSize(fd);
    if (size < 0 || static_cast<unsigned long long>(size) > kMaxIndexedBytes) return -1;
    const std::lock_guard<std::mutex> lock(placesMutex);
    auto it = knownFiles.begin();
    while (it != knownFiles.end() &&
           (it->content.size() != static_cast<std::size_t>(size) || !HoldsContent(fd, it->content)))
        ++it;
    if (it == knownFiles.end()) {
        SectionPlaces places;
        if (!ReadContent(fd, static_cast<std::size_t>(size), &places.content) || !NotePlaces(f, &places)) return -1;
        if (knownFiles.size() >= kMaxIndexedFiles) knownFiles.pop_back();
        knownFiles.push_front(std::move(places));
        it = knownFiles.begin();
    } else if (it != knownFiles.begin()) {
        knownFiles.splice(knownFiles.begin(), knownFiles, it);
    }
    std::clearerr(f);
    const auto found = it->after.find(section);
    if (found != it->after.end()) return std::fseek(f, found->second, SEEK_SET) == 0 ? 1 : -1;
    if (std::fseek(f, it->end, SEEK_SET) != 0) return -1;
    // At the end of the file the search has met it: one more read says so.
    if (it->endAtEof && std::fgetc(f) != EOF) return -1;
    return 0;
}
}  // namespace

int modelobject::SeekSection(const std::string& section, bool fatal) {
    currentSection_ = section;
    NoteSectionSought(section);
    std::FILE* f = controlFile.get();
    if (!f) {
        if (fatal) ControlFileError(section, "(EOF)");
        return 0;
    }
    if (const int known = SeekKnownPlace(f, section); known >= 0) {
        if (known == 0 && fatal) ControlFileError(section, "(EOF)");
        return known;
    }
    std::rewind(f);
    std::string token;
    bool lastFailed = false;
    while (token != section) {
        if (std::feof(f) || lastFailed) break;
        std::string next;
        lastFailed = ReadToken(f, &next) != 1;
        token = lastFailed ? std::string() : next;
        ReadLineRest(f);
    }
    if (std::feof(f) || token != section) {
        if (fatal) ControlFileError(section, "(EOF)");
        return 0;
    }
    return 1;
}

template <class T>
int modelobject::ReadOne(std::FILE* stream, const char* format, T* target, const std::string& key,
                         std::string* rest) {
    if (stream && std::fscanf(stream, format, target) == 1) {
        if constexpr (std::is_floating_point_v<T>) RequireFinite(static_cast<double>(*target), key);
        std::string r = ReadLineRest(stream);
        if (rest) *rest = r;
        return 1;
    }
    *log << "--> In .\n  Next line in Talvo control file: " << "[end-entry]";
    std::string token;
    if (stream) ReadToken(stream, &token);
    *log << token << "[end-entry]";
    ControlFileError(key, moduleName);
}

int modelobject::ReadValue(std::FILE* s, const char* f, double* t, const std::string& k, std::string* r) {
    return ReadOne(s, f, t, k, r);
}
int modelobject::ReadValue(std::FILE* s, const char* f, float* t, const std::string& k, std::string* r) {
    return ReadOne(s, f, t, k, r);
}
int modelobject::ReadValue(std::FILE* s, const char* f, int* t, const std::string& k, std::string* r) {
    return ReadOne(s, f, t, k, r);
}
int modelobject::ReadValue(std::FILE* s, const char* f, long* t, const std::string& k, std::string* r) {
    return ReadOne(s, f, t, k, r);
}

int modelobject::ReadValue(std::FILE* stream, const char* /*format*/, std::string* target, const std::string& key,
                           std::string* rest) {
    std::string token;
    const int got = stream ? ReadToken(stream, &token) : 0;
    if (got == 1) {
        *target = token;
        std::string r = ReadLineRest(stream);
        if (rest) *rest = r;
        return 1;
    }
    if (got < 0) ControlFileError(key, moduleName);  // over-long token
    *log << "--> In .\n  Next line in Talvo control file: " << "[end-entry]";
    token.clear();
    if (stream) ReadToken(stream, &token);
    *log << token << "[end-entry]";
    ControlFileError(key, moduleName);
}

template <class T>
int modelobject::ReadPair(std::FILE* stream, const char* format, T* t1, T* t2, const std::string& key,
                          std::string* rest) {
    if (!stream || std::fscanf(stream, format, t1, t2) != 2) ControlFileError(key, moduleName);
    if constexpr (std::is_floating_point_v<T>) {
        RequireFinite(static_cast<double>(*t1), key);
        RequireFinite(static_cast<double>(*t2), key);
    }
    std::string r = ReadLineRest(stream);
    if (rest) *rest = r;
    return 2;
}

int modelobject::ReadTwoValues(std::FILE* s, const char* f, double* a, double* b, const std::string& k,
                               std::string* r) {
    return ReadPair(s, f, a, b, k, r);
}
int modelobject::ReadTwoValues(std::FILE* s, const char* f, long* a, long* b, const std::string& k, std::string* r) {
    return ReadPair(s, f, a, b, k, r);
}
int modelobject::ReadTwoValues(std::FILE* s, const char* f, int* a, int* b, const std::string& k, std::string* r) {
    return ReadPair(s, f, a, b, k, r);
}

void modelobject::ReadFileNameAndCode(std::FILE* stream, std::string* name, int* code, const std::string& key) {
    char buffer[kLineLength + 1] = {0};
    int value = 0;
    if (stream == nullptr || std::fscanf(stream, "%1200s%d", buffer, &value) != 2) ControlFileError(key, moduleName);
    ReadLineRest(stream);
    *name = buffer;
    *code = value;
}

int modelobject::ReadOptionalValue(std::FILE* stream, const char* format, double* target, const std::string& key) {
    double value = 0;
    const int got = stream ? std::fscanf(stream, format, &value) : 0;
    if (stream) ReadLineRest(stream);
    if (got != 1) return 0;
    RequireFinite(value, key);
    *target = value;
    return 1;
}

int modelobject::ReadCount(std::FILE* stream, int* target, const std::string& key, std::string* rest) {
    ReadValue(stream, "%d", target, key, rest);
    if (*target >= 0) return 1;
    *log << "FATAL: error in control file, " << key << "; " << moduleName << ": the count " << *target
         << " in section " << currentSection_ << " is below 0!" << "[end-entry]";
    throw ModelError(17);
}

void modelobject::ReadCountOrNone(std::FILE* stream, int* target, const std::string& key) {
    ReadValue(stream, "%d", target, key);
    if (*target < 0) *target = 0;
}

void modelobject::RequireFinite(double value, const std::string& key) {
    if (std::isfinite(value)) return;
    *log << "FATAL: error in control file, " << key << "; " << moduleName << ": the value " << value
         << " in section " << currentSection_ << " is not a finite number!" << "[end-entry]";
    throw ModelError(17);
}

void modelobject::RequireInRange(double value, const std::string& key, const ValueBound& range) {
    RequireBound(*log, "control file", currentSection_, key, moduleName, value, range);
}

int modelobject::ReadBoundedValue(std::FILE* stream, const char* format, double* target, const std::string& key,
                                  const ValueBound& range, std::string* rest) {
    ReadOne(stream, format, target, key, rest);
    RequireInRange(*target, key, range);
    return 1;
}

int modelobject::ReadBoundedValue(std::FILE* stream, const char* format, int* target, const std::string& key,
                                  const ValueBound& range, std::string* rest) {
    ReadOne(stream, format, target, key, rest);
    RequireInRange(static_cast<double>(*target), key, range);
    return 1;
}

void modelobject::RequireKnownMethod(int method, const std::string& key, std::initializer_list<int> known) {
    for (int k : known)
        if (k == method) return;
    std::string list;
    for (int k : known) list += (list.empty() ? "" : ", ") + std::to_string(k);
    UnknownMethodError(*log, currentSection_, key, moduleName, method, list);
}

void modelobject::ControlFileError(const std::string& key, const std::string& place) {
    *log << "FATAL: error in control file, " << key << "; " << place << "not found!" << "[end-entry]";
    throw ModelError(17);
}

void modelobject::WriteError(const std::string& fileName, int number) {
    FailOnFile(*log, "write error " + fileName + " ! (" + std::to_string(number) + ")", 18);
}

void modelobject::ReadError(const std::string& fileName, int number) {
    *log << "FATAL: read error " << fileName << " ! (" << number << ")" << "[end-entry]";
    throw ModelError(19);
}

void modelobject::WriteLog(const std::string& text) {
    if (rank != 0) return;
    std::time_t now = std::time(nullptr);
    char stamp[64];
    ctime_r(&now, stamp);
    AppendToTextLog(StrFormat("modell_%d.log", rank), StrFormat("%s: %s\n", stamp, text.c_str()));
}

bool AppendToTextLog(const std::string& name, const std::string& text) {
    return WriteTextLog(OpenFile(name, "a"), name, text);
}

bool WriteTextLog(FileHandle file, const std::string& name, const std::string& text) {
    std::FILE* f = file.release();
    bool ok = f != nullptr && std::fputs(text.c_str(), f) >= 0 && std::fflush(f) == 0;
    int reason = errno;
    if (f != nullptr && std::fclose(f) != 0 && ok) {
        ok = false;
        reason = errno;
    }
    if (ok) return true;
    static bool reported = false;
    if (!reported) {
        reported = true;
        std::fprintf(stderr, "Talvo: the text log %s cannot be written, its lines are lost: %s\n", name.c_str(),
                     std::strerror(reason));
    }
    return false;
}

bool ReadNumberRow(std::FILE* stream, std::vector<double>* numbers, std::string* line) {
    numbers->clear();
    for (;;) {
        if (!stream) return false;
        *line = ReadLineRest(stream);
        if (line->empty()) return false;
        if (line->find_first_not_of(" \t\r\n\v\f") != std::string::npos) break;
    }
    const char* p = line->c_str();
    for (;;) {
        while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
        if (*p == '\0') break;
        char* end = nullptr;
        const double v = std::strtod(p, &end);
        if (end == p || (*end != '\0' && !std::isspace(static_cast<unsigned char>(*end)))) break;
        numbers->push_back(v);
        p = end;
    }
    while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) line->pop_back();
    return true;
}

namespace {
std::vector<std::string>& SoughtSections() {
    static std::vector<std::string> sections;
    return sections;
}
}  // namespace

void NoteSectionSought(const std::string& section) {
    if (!SectionWasSought(section)) SoughtSections().push_back(section);
}

bool SectionWasSought(const std::string& section) {
    const auto& all = SoughtSections();
    return std::find(all.begin(), all.end(), section) != all.end();
}

const std::vector<std::string>& SectionsSought() { return SoughtSections(); }

void ClearSectionsSought() { SoughtSections().clear(); }
