#include "kernel/statefiles.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <set>

#include "kernel/diaglog.hpp"
#include "kernel/error.hpp"
#include "kernel/replacingfile.hpp"

namespace {
// The set of the run in progress on this process; each process writes files of its own.
StateFileSet* g_activeSet = nullptr;
}  // namespace

StateFileSet::StateFileSet() { g_activeSet = this; }

StateFileSet::~StateFileSet() {
    Discard();
    if (g_activeSet == this) g_activeSet = nullptr;
}

void StateFileSet::Commit(DiagLog& log) {
    if (failed_) {
        Discard();
        throw ModelError(18);
    }
    for (const std::string& name : names_) {
        const std::string temporary = ReplacingFile::TemporaryName(name);
        if (std::rename(temporary.c_str(), name.c_str()) != 0) {
            const int reason = errno;
            log << "FATAL: cannot put the state file " << temporary << " in place of " << name << "[end-entry]";
            LogSystemReason(log, reason);
            Discard();
            throw ModelError(18);
        }
    }
    names_.clear();
}

void StateFileSet::Discard() {
    for (const std::string& name : names_) std::remove(ReplacingFile::TemporaryName(name).c_str());
    names_.clear();
    failed_ = false;
}

FileHandle OpenStateSection(const std::string& name, bool append) {
    StateFileSet* set = g_activeSet;
    if (set == nullptr) return OpenFile(name, statefiles::SectionMode(name, append));
    statefiles::MarkStarted(name);
    std::vector<std::string>& names = set->names_;
    const bool first = std::find(names.begin(), names.end(), name) == names.end();
    if (first) names.push_back(name);
    return OpenFile(ReplacingFile::TemporaryName(name), append && !first ? "a" : "w");
}

bool CloseStateSection(FileHandle file) {
    std::FILE* f = file.release();
    if (f == nullptr) return false;
    const bool written = std::fflush(f) == 0 && std::ferror(f) == 0;
    const int reason = errno;
    const bool closed = std::fclose(f) == 0;
    if (!written) errno = reason;
    return written && closed;
}

void MarkStateFailed() {
    if (g_activeSet != nullptr) g_activeSet->failed_ = true;
}

void StateWriteFailed(DiagLog& log, const std::string& message, int reason) {
    MarkStateFailed();
    log << "FATAL: " << message << "[end-entry]";
    LogSystemReason(log, reason);
    throw ModelError(18);
}

void RequireFiniteStorage(DiagLog& log, double value, const char* label, const std::string& file) {
    if (std::isfinite(value)) return;
    log << "FATAL: error in storage file content reading " << label << " in " << file << ": the value " << value
        << " is not a finite number" << "[end-entry]";
    throw ModelError(71);
}

namespace statefiles {
namespace {

struct Registry {
    std::mutex lock;
    std::set<std::string> started;
    bool writing = false;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

}  // namespace

void BeginRun() {
    Registry& r = TheRegistry();
    const std::lock_guard<std::mutex> guard(r.lock);
    r.started.clear();
    r.writing = false;
}

void BeginWritingState() {
    Registry& r = TheRegistry();
    const std::lock_guard<std::mutex> guard(r.lock);
    r.writing = true;
}

bool WritingState() {
    Registry& r = TheRegistry();
    const std::lock_guard<std::mutex> guard(r.lock);
    return r.writing;
}

bool StartedThisRun(const std::string& name) {
    Registry& r = TheRegistry();
    const std::lock_guard<std::mutex> guard(r.lock);
    return r.started.count(name) > 0;
}

void MarkStarted(const std::string& name) {
    Registry& r = TheRegistry();
    const std::lock_guard<std::mutex> guard(r.lock);
    r.started.insert(name);
}

const char* SectionMode(const std::string& name, bool append) {
    const bool ours = append && StartedThisRun(name);
    MarkStarted(name);
    return ours ? "a" : "w";
}

}  // namespace statefiles
